// The Test page with the real Vombra.dll (this program is TestPageRoad.exe, no longer than
// ConfigVombra.exe, so the name rule gives it Vombra.dll) and a text-protocol reader simulated on a
// loopback port: "Port" typed in the property dialog reaches the add-in; the reader opened through the
// host is listed; its key arrives in the Events tab, becomes the last key and is read back by "GetKeyInfo"
// in the Methods tab's method dialog; the add-in's language switches alone; Close empties the list. The
// settings key holds only SettingFlags 0: the add-in runs on its built-in defaults.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "EventsPage.h"
#include "MethodDialog.h"
#include "MethodsPage.h"
#include "PageTestSupport.h"
#include "PropertiesPage.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "Strings.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "classlib/ModalStep.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The configurator's own application: the method dialog shows values through it.
CConfigVombraApp theApp;

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

class TestPageRoad : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraTestPageRoad-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD settingFlags = 0;
    RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags),
                   sizeof settingFlags);
    RegCloseKey(key);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraTestPageRoad", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraTestPageRoad", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 700, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    m_page = std::make_unique<CTestPage>(*m_host, m_settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_TEST, m_parent));
  }
  void TearDown() override {
    m_page.reset();
    if (m_parent) DestroyWindow(m_parent);
    m_host.reset();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // Pumps this thread's messages (the host's events, the page's timers) until `done` holds.
  template <class Done>
  bool PumpUntil(Done done, DWORD timeout) {
    const DWORD start = GetTickCount();
    for (;;) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (done()) return true;
      if (GetTickCount() - start > timeout) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
  }

  HWND Devices() { return GetDlgItem(m_page->hwnd, IDC_TEST_DEVICES); }
  std::wstring DeviceRow(int row) {
    wchar_t text[256] = {};
    if (SendMessageW(Devices(), CB_GETLBTEXTLEN, row, 0) >= 256) return L"<long>";
    SendMessageW(Devices(), CB_GETLBTEXT, row, LPARAM(text));
    return text;
  }
  HWND EventsList() { return GetDlgItem(m_page->eventsPage->hwnd, IDC_EVENTS_LIST); }
  std::wstring Cell(int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(EventsList(), LVM_GETITEMTEXTW, row, LPARAM(&item));
    return text;
  }
  // The newest card data in the Events tab, once the refresh timer showed it.
  bool AwaitCardData(const std::wstring& message) {
    return PumpUntil([&] { return SendMessageW(EventsList(), LVM_GETITEMCOUNT, 0, 0) > 0 && Cell(0, 2) == message; },
                     8000);
  }

  // Selects the row of `nameEn` on a list tab, sends `command` to the tab and runs `step` on the dialog it
  // opens; a dialog the step leaves open is cancelled. False when no dialog opened.
  bool RunFromTab(int tab, UINT listId, const wchar_t* nameEn, UINT command, const std::function<void(HWND)>& step) {
    if (!m_page->SelectTab(tab)) return false;
    CAppPage* page = tab == TEST_TAB_METHODS ? static_cast<CAppPage*>(m_page->methodsPage)
                                             : static_cast<CAppPage*>(m_page->propertiesPage);
    HWND list = page ? GetDlgItem(page->hwnd, listId) : nullptr;
    int row = -1;
    for (int i = 0; list && i < int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); ++i) {
      wchar_t text[64] = L"";
      LVITEMW item{};
      item.iSubItem = 2;  // the English name
      item.pszText = text;
      item.cchTextMax = 64;
      SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&item));
      if (wcscmp(text, nameEn) == 0) row = i;
    }
    if (row < 0) return false;
    LVITEMW item{};
    item.stateMask = item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, row, LPARAM(&item));
    bool ran = false;
    std::function<void()> once = [&] {
      HWND dialog = nullptr;
      EnumThreadWindows(GetCurrentThreadId(), FindVisibleDialog, LPARAM(&dialog));
      if (!dialog) return RunLater(once, 50);  // the dialog is not up yet
      ran = true;
      step(dialog);
      if (IsWindow(dialog) && IsWindowVisible(dialog)) SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    };
    RunLater(once, 50);
    SendMessageW(page->hwnd, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
    m_page->SelectTab(TEST_TAB_EVENTS);
    return ran;
  }

  // Calls `method` in the method dialog from the Methods tab: the protocol's lines without time stamps.
  std::vector<std::wstring> CallFromMethodsTab(const wchar_t* method) {
    std::vector<std::wstring> lines;
    const bool ran = RunFromTab(TEST_TAB_METHODS, IDC_METH_LIST, method, ID_METH_EXECUTE, [&](HWND dialog) {
      SendMessageW(dialog, WM_COMMAND, IDC_METHDLG_EXECUTE, 0);
      wchar_t text[4096] = L"";
      GetDlgItemTextW(dialog, IDC_METHDLG_PROTOCOL, text, 4096);
      const std::wstring protocol = text;
      for (size_t start = 0; start < protocol.size();) {
        size_t end = protocol.find(L"\r\n", start);
        if (end == std::wstring::npos) end = protocol.size();
        const std::wstring line = protocol.substr(start, end - start);
        lines.push_back(line.size() > 13 && line[2] == L':' && line[8] == L'.' ? line.substr(13) : line);
        start = end + 2;
      }
    });
    if (!ran) lines.assign(1, L"<no method dialog>");
    return lines;
  }

  CleanSettingsKeys m_keys;
  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CTestPage> m_page;
};

TEST_F(TestPageRoad, AReaderOpenedThroughTheHostIsListedAndItsKeysArriveInEitherLanguage) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  ASSERT_TRUE(m_host->IsLoaded());

  // "Port" typed in the property dialog is stored in the add-in and read back into its row.
  const std::wstring port = sim.PortName();
  ASSERT_TRUE(RunFromTab(TEST_TAB_PROPERTIES, IDC_PROP_LIST, L"Port", IDC_PROP_CHANGE, [&](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_VALUE_STRING, port.c_str());
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
  }));
  std::wstring portValue;
  for (const _TEST_PROP_INFO& row : m_page->propertiesPage->rows.rows) {
    if (row.NameEn == L"Port") portValue = row.ValueText;
  }
  EXPECT_EQ(portValue, L"\"" + port + L"\"");

  ASSERT_TRUE(m_host->SetParameter(L"Port", port.c_str()));
  std::wstring id;
  ASSERT_TRUE(m_host->Open(&id));
  const std::wstring connected = id + L" " + Str(IDS_TEST_STATUS_BASE + 3) + L" - ";
  ASSERT_TRUE(PumpUntil([&] { return DeviceRow(0).compare(0, connected.size(), connected) == 0; }, 10000))
      << "row: " << std::string(DeviceRow(0).begin(), DeviceRow(0).end());
  // The simulator's identity: model "KD-6 A", serial 12345, version 1.0 (shown without its zero part).
  EXPECT_EQ(DeviceRow(0), connected + L"KD-6 A s/n 12345 v1");
  EXPECT_TRUE(m_page->statusTimer);

  sim.SendLine("Em-Marine[1234] 012,12345");
  ASSERT_TRUE(AwaitCardData(L"TracksData"));
  EXPECT_EQ(Cell(0, 1), id);
  EXPECT_EQ(Cell(0, 3), L"012,12345") << "the number by the add-in's default format";
  const BYTE keyBytes[5] = {0x39, 0x30, 0x0C, 0x34, 0x12};  // number low byte first, series, code
  EXPECT_EQ(m_settings.lastKeyType, 1u) << "the key became the last key";
  ASSERT_EQ(m_settings.lastKey.Length, 5);
  EXPECT_EQ(memcmp(m_settings.lastKey.Data, keyBytes, 5), 0);

  // The same key read back by hand: the reader's ID and index 0 remembered for "GetKeyInfo".
  _METHOD_ARG_INFO device;
  device.Vt = VTYPE_PWSTR;
  device.Items = {id};
  _METHOD_ARG_INFO index;
  index.Vt = VTYPE_I4;
  index.Items = {L"0"};
  m_settings.methodArgs[L"GetKeyInfo"] = {device, index};
  const std::vector<std::wstring> lines = CallFromMethodsTab(L"GetKeyInfo");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"Call...");
  EXPECT_EQ(lines[1].compare(0, 14, L"Successfully. "), 0) << std::string(lines[1].begin(), lines[1].end());
  const std::vector<std::wstring> rest(lines.begin() + 2, lines.end());
  const std::vector<std::wstring> expected = {
      L"Result: True", L"Argument Output values:", L"  0: \"" + id + L"\"", L"  1: 0",
      L"  2: \"012,12345\"", L"  3: 1",  // the text the reader sent and the type
      L"  4: [5]{39300C3412}", L"  5: [5]{39300C3412}", L"  6: -1", L"  7: -1", L"----------"};
  EXPECT_EQ(rest, expected);

  // Russian for the add-in only.
  SendMessageW(m_page->eventsPage->hwnd, WM_COMMAND, MAKEWPARAM(ID_EVENTS_RUSSIAN, 0), 0);
  sim.SendLine("Em-Marine[1234] 012,12346");
  ASSERT_TRUE(AwaitCardData(L"ДанныеКарты"));
  EXPECT_EQ(Str(IDS_TEST_LOAD_DLL), L"&Load DLL") << "the configurator stays English";
  EXPECT_EQ(PRIMARYLANGID(GetThreadUILanguage()), LANG_ENGLISH);

  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_CLOSE, BN_CLICKED), 0);
  EXPECT_EQ(SendMessageW(Devices(), CB_GETCOUNT, 0, 0), 0);
  EXPECT_FALSE(m_page->statusTimer);
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  EXPECT_FALSE(m_host->IsLoaded());
}

}  // namespace
