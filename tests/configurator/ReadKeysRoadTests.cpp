// The Reading keys page inside the main window, against the registry and the real Vombra.dll (this
// program is built as ReadKeysRoad.exe, no longer than ConfigVombra.exe, so the name rule gives it
// Vombra.dll): every sub-page value saved reaches the registry as the engine's store reads it, comes back
// through the add-in's own SaveSettings and the configurator's Load, and a close after a mode click asks
// and saves it. A refused text stops Save and closing before anything is written.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "ReadKeysPage.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "TestVombra.h"
#include "VariantArray.h"
#include "Wnd.h"

namespace {

CConfigVombraApp theApp;

struct SeenBox {
  std::wstring Content;
};
std::vector<SeenBox> g_boxes;
std::deque<int> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  g_boxes.push_back({config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L""});
  int answer = IDCANCEL;
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer;
  if (verified) *verified = FALSE;
  return S_OK;
}

std::wstring Text(HWND wnd) {
  std::wstring text;
  GetWindowTextString(wnd, text);
  return text;
}

std::wstring String(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

// A value under the settings key as "TYPE value": DWORD and QWORD in hex, strings as they stand.
std::wstring RegistryValue(const wchar_t* subkey, const wchar_t* name) {
  std::wstring path = kSettingsKeyPath;
  if (*subkey) path += std::wstring(L"\\") + subkey;
  BYTE data[512] = {};
  DWORD size = sizeof data - 2, type = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS)
    return L"<absent>";
  wchar_t text[64];
  switch (type) {
    case REG_DWORD:
      swprintf(text, 64, L"DWORD %X", *reinterpret_cast<DWORD*>(data));
      return text;
    case REG_QWORD:
      swprintf(text, 64, L"QWORD %llX", *reinterpret_cast<unsigned long long*>(data));
      return text;
    case REG_SZ:
      return L"SZ " + std::wstring(reinterpret_cast<wchar_t*>(data));
    default:
      return L"other";
  }
}

bool SettingsKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class ReadKeysRoadTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    CAppSettings& settings = theApp.settings;
    settings.ResetConfig(false);
    settings.ResetSettings();
    settings.ConfirmFlags = 0;
    settings.formatsEdited = false;
    settings.SetConfigPath((m_folder / L"ConfigVombra.xml").c_str());
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    g_boxes.clear();
    g_answers.clear();
    ASSERT_TRUE(theApp.CreateMainFrame());
    m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
    ASSERT_NE(m_frame, nullptr);
    ASSERT_TRUE(m_frame->SelectPage(PAGE_READ_KEYS));
    ShowWindow(m_frame->hwnd, SW_SHOW);  // the focus goes only to a shown window
    m_host = dynamic_cast<CReadKeysPage*>(m_frame->GetPage(PAGE_READ_KEYS));
    ASSERT_NE(m_host, nullptr);
  }
  void TearDown() override {
    if (m_frame) {
      if (m_frame->hwnd) DestroyWindow(m_frame->hwnd);
      delete m_frame;
      theApp.mainWnd = nullptr;
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    MessageBoxSeam = CMessageBoxSeam();
    theApp.settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }

  HWND Sub(int index) {
    EXPECT_TRUE(m_host->ShowSubPage(index));
    return m_host->GetSubPage(index)->hwnd;
  }
  void ClickFrame(UINT id) {
    SendMessageW(m_frame->hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(m_frame->hwnd, int(id))));
  }
  static void Click(HWND page, UINT id) { SendDlgItemMessageW(page, int(id), BM_CLICK, 0, 0); }
  static void Type(HWND page, UINT id, const wchar_t* text) { SetDlgItemTextW(page, int(id), text); }
  static void Choose(HWND page, UINT id, int index) {
    HWND combo = GetDlgItem(page, int(id));
    SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
  }
  // A click on a cell's check box, as the list tells its page.
  static void ClickCellBox(HWND page, int row) {
    HWND list = GetDlgItem(page, IDC_RK_KEY_CELLS);
    RECT bounds{LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(list, LVM_GETITEMRECT, WPARAM(row), LPARAM(&bounds));
    NMITEMACTIVATE click{};
    click.hdr = {list, IDC_RK_KEY_CELLS, UINT(NM_CLICK)};
    click.iItem = row;
    click.ptAction = {bounds.left + 6, (bounds.top + bounds.bottom) / 2};
    SendMessageW(page, WM_NOTIFY, IDC_RK_KEY_CELLS, LPARAM(&click));
  }
  std::wstring Status() const { return Text(GetDlgItem(m_frame->hwnd, IDC_MAIN_STATUS)); }

  CleanSettingsKeys m_registry;
  ScratchFolder m_folder;
  CMainFrame* m_frame = nullptr;
  CReadKeysPage* m_host = nullptr;
};

TEST_F(ReadKeysRoadTest, EverySubPageValueReachesTheRegistryTheAddInAndComesBack) {
  HWND general = Sub(RK_GENERAL);
  SendMessageW(general, WM_COMMAND, MAKEWPARAM(32876, 0), 0);  // Uncheck "Mifare Classic"
  Type(general, IDC_RK_DELAY, L"-1");
  Click(general, IDC_RK_HOLD_TEMIC);
  HWND classic = Sub(RK_MIFARE_C);
  Type(classic, IDC_RK_AUTH_KEY, L"0x0102030405");
  HWND plus = Sub(RK_MIFARE_P);
  Type(plus, IDC_RK_AUTH_KEY, L"00112233445566778899AABBCCDDEEFF");
  Click(plus, IDC_RK_KEY_CELLS_MODE);
  SendMessageW(plus, WM_COMMAND, MAKEWPARAM(ID_KEY_CELLS_UNCHECK_ALL, 0), 0);
  ClickCellBox(plus, 0);
  ClickCellBox(plus, 5);
  HWND ultralight = Sub(RK_MIFARE_UL);
  Choose(ultralight, IDC_RK_UL_PAGE, 7);
  Choose(ultralight, IDC_RK_UL_COUNT, 1);
  HWND temic = Sub(RK_TEMIC);
  Click(temic, IDC_RK_TEMIC_ENABLED);
  Type(temic, IDC_RK_TEMIC_SCAN, L"1,2,3;2,0,0;;1,0,0");
  Click(temic, IDC_RK_TEMIC_DATA);
  Click(temic, IDC_RK_TEMIC_USE_PASSWORD);
  Type(temic, IDC_RK_TEMIC_PASSWORD, L"1A2B3C4D");
  ClickFrame(ID_CONFIG_SAVE);
  ASSERT_EQ(Status(), String(IDS_CONFIG_SAVED));

  // As the engine's store reads them, and as they stand in the registry.
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_ALL);
  EXPECT_EQ(record.KeyTypes, 0x1FE3FFu);
  EXPECT_EQ(record.IdentKeyDelay, 0xFFFFFFFFu);
  EXPECT_EQ(record.DelayKeyTypes, 8u);
  EXPECT_EQ(record.MifareP.Mask, 0x21u);
  EXPECT_EQ(record.MifareP.Flags, 0x2u);
  EXPECT_EQ(record.MifareUL.Page, 7u);
  EXPECT_EQ(record.MifareUL.Count, 2u);
  EXPECT_EQ(record.Temic.ScanParams, std::vector<UINT>({0x30201, 2, 1}));
  EXPECT_EQ(record.Temic.Flags, 5u);
  EXPECT_TRUE(record.Temic.Enabled);
  EXPECT_EQ(record.Temic.Password, 0x1A2B3C4Du);
  EXPECT_EQ(RegistryValue(L"", L"KeyTypes"), L"DWORD 1FE3FF");
  EXPECT_EQ(RegistryValue(L"", L"IdentKeyDelay"), L"DWORD FFFFFFFF");
  EXPECT_EQ(RegistryValue(L"", L"DelayKeyTypes"), L"DWORD 8");
  EXPECT_EQ(RegistryValue(L"MifareC", L"AuthKey"), L"QWORD 102030405");
  EXPECT_EQ(RegistryValue(L"MifareP", L"AuthKey"), L"SZ FFEEDDCCBBAA99887766554433221100");
  EXPECT_EQ(RegistryValue(L"MifareP", L"Mask"), L"DWORD 21");
  EXPECT_EQ(RegistryValue(L"Temic", L"ScanParams"), L"SZ 1,2,3;2,0,0;1,0,0;");

  // The add-in reads them at its start and writes them again itself, into an emptied key.
  {
    std::unique_ptr<CTestVombra> host(CTestVombra::Create(m_folder.Path().c_str()));
    ASSERT_NO_THROW(host->Load());
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    ASSERT_FALSE(SettingsKeyExists());
    CVariantArray values(2, host.get());
    values.SetUInt(1, SP_ALL);
    ASSERT_TRUE(host->CallMethod(L"SaveSettings", &values[0], &values[1], 1));
    EXPECT_TRUE(values[0].bVal);
    host->Unload();
  }
  // The configurator's Load shows what the add-in wrote.
  theApp.settings.ResetSettings();
  m_host->UpdateData(false);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"1000") << "the reset reached the page";
  ClickFrame(ID_CONFIG_LOAD);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"-1");
  EXPECT_EQ(IsDlgButtonChecked(general, IDC_RK_HOLD_TEMIC), UINT(BST_CHECKED));
  EXPECT_EQ(SendDlgItemMessageW(general, IDC_RK_KEY_TYPES, LVM_GETITEMSTATE, 10, LVIS_STATEIMAGEMASK) >> 12, 1);
  EXPECT_EQ(SendDlgItemMessageW(general, IDC_RK_KEY_TYPES, LVM_GETITEMSTATE, 9, LVIS_STATEIMAGEMASK) >> 12, 2);
  EXPECT_EQ(Text(GetDlgItem(classic, IDC_RK_AUTH_KEY)), L"000102030405");
  EXPECT_EQ(Text(GetDlgItem(plus, IDC_RK_AUTH_KEY)), L"00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(IsDlgButtonChecked(plus, IDC_RK_KEY_CELLS_MODE), UINT(BST_CHECKED));
  EXPECT_EQ(theApp.settings.MifareP.Mask, 0x21u);
  EXPECT_EQ(SendDlgItemMessageW(ultralight, IDC_RK_UL_PAGE, CB_GETCURSEL, 0, 0), 7);
  EXPECT_EQ(SendDlgItemMessageW(ultralight, IDC_RK_UL_COUNT, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Text(GetDlgItem(temic, IDC_RK_TEMIC_SCAN)), L"1,2,3;2,0,0;1,0,0;");
  EXPECT_EQ(Text(GetDlgItem(temic, IDC_RK_TEMIC_PASSWORD)), L"1A2B3C4D");
  EXPECT_EQ(IsDlgButtonChecked(temic, IDC_RK_TEMIC_DATA), UINT(BST_CHECKED));
  EXPECT_FALSE(theApp.settings.settingsModified);

  // Only the mode changes; closing asks, and "Yes" saves it.
  Click(temic, IDC_RK_TEMIC_UID);
  EXPECT_EQ(theApp.settings.Temic.Flags, 4u);
  EXPECT_TRUE(theApp.settings.settingsModified);
  g_answers = {IDYES};
  EXPECT_TRUE(m_frame->QueryClose());
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].Content, String(IDS_SAVE_CHANGES));
  EXPECT_EQ(RegistryValue(L"Temic", L"Flags"), L"DWORD 4");
}

TEST_F(ReadKeysRoadTest, ARefusedTextStopsSaveAndClosingBeforeAnythingIsWritten) {
  theApp.settings.MifareC.Enabled = true;
  m_host->UpdateData(false);
  HWND classic = Sub(RK_MIFARE_C);
  HWND edit = GetDlgItem(classic, IDC_RK_AUTH_KEY);
  Type(classic, IDC_RK_AUTH_KEY, L"12F5");  // taken: the settings are modified
  Type(classic, IDC_RK_AUTH_KEY, L"12G4");
  m_frame->SelectPage(PAGE_MAIN);
  Sub(RK_GENERAL);
  ClickFrame(ID_CONFIG_SAVE);
  EXPECT_NE(Status().find(String(IDS_RK_REFUSED_MC_KEY)), std::wstring::npos) << std::string(Status().begin(), Status().end());
  EXPECT_NE(Status(), String(IDS_CONFIG_SAVED));
  EXPECT_FALSE(SettingsKeyExists());
  EXPECT_EQ(m_frame->currentPage, PAGE_READ_KEYS);
  EXPECT_EQ(m_host->shown, RK_MIFARE_C);
  EXPECT_EQ(GetFocus(), edit);

  // Closing: "Save changes?" Yes, then the refusal with the question whether to quit anyway.
  g_answers = {IDYES, IDCANCEL};
  EXPECT_FALSE(m_frame->QueryClose());
  ASSERT_EQ(g_boxes.size(), 2u);
  EXPECT_EQ(g_boxes[1].Content.find(String(IDS_SAVE_FAILED_QUIT)), 0u);
  EXPECT_NE(g_boxes[1].Content.find(String(IDS_RK_REFUSED_MC_KEY)), std::wstring::npos);
  EXPECT_FALSE(SettingsKeyExists());

  // Fixed, the same Save goes through.
  Type(classic, IDC_RK_AUTH_KEY, L"12F4");
  ClickFrame(ID_CONFIG_SAVE);
  EXPECT_EQ(Status(), String(IDS_CONFIG_SAVED));
  EXPECT_EQ(RegistryValue(L"MifareC", L"AuthKey"), L"QWORD 12F4");
}

}  // namespace
