// The Connection dialog with the real Vombra.dll (this program is ConnRoad.exe, no longer than
// ConfigVombra.exe, so the name rule gives it Vombra.dll) and a text-protocol reader simulated on a
// loopback port named in the stored "AdditionalPorts": the Test page's "Open..." shows the driver's
// state, version and settings form, tests the device, saves and opens it; the reader is listed and
// selected and its key arrives in the Events tab. The search settings stay off the network.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "DevOpenDialog.h"
#include "EventsPage.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "ParamsPage.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "Strings.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "XmlPage.h"
#include "sim/TextReaderSim.h"
#include "../classlib/ModalStep.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

CPageTestApp theApp;

struct ShownBox {
  std::wstring Text;
  bool Error;
};
std::vector<ShownBox> g_boxes;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL*) {
  g_boxes.push_back({config->pszContent ? config->pszContent : L"", config->pszMainIcon == TD_ERROR_ICON});
  if (button) *button = IDOK;
  return S_OK;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring WindowText(HWND wnd) {
  wchar_t text[256] = L"";
  GetWindowTextW(wnd, text, 256);
  return text;
}

std::wstring ComboItem(HWND combo, int index) {
  const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
  if (length < 0) return L"<none>";
  std::wstring text(size_t(length) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, index, LPARAM(&text[0]));
  text.resize(size_t(length));
  return text;
}

COLORREF CharColour(HWND edit, LONG at) {
  CHARRANGE one{at, at + 1};
  SendMessageW(edit, EM_EXSETSEL, 0, LPARAM(&one));
  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  SendMessageW(edit, EM_GETCHARFORMAT, SCF_SELECTION, LPARAM(&format));
  return format.dwEffects & CFE_AUTOCOLOR ? CLR_DEFAULT : format.crTextColor;
}

std::wstring HeldText(HWND edit) {
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
  const LRESULT chars = SendMessageW(edit, EM_GETTEXTLENGTHEX, WPARAM(&length), 0);
  std::wstring text(size_t(chars > 0 ? chars : 0) + 1, L'\0');
  GETTEXTEX get{};
  get.cb = DWORD(text.size() * sizeof(wchar_t));
  get.flags = GT_DEFAULT;
  get.codepage = 1200;
  text.resize(size_t(SendMessageW(edit, EM_GETTEXTEX, WPARAM(&get), LPARAM(&text[0]))));
  return text;
}

class ConnectionRoad : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    MessageBoxSeam.TaskDialogIndirect = ScriptedTaskDialog;
    g_boxes.clear();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraConnRoad-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    m_parent = nullptr;
  }
  void TearDown() override {
    m_page.reset();
    if (m_parent) DestroyWindow(m_parent);
    m_host.reset();
    MessageBoxSeam = CMessageBoxSeam();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // The stored settings the add-in's Init reads: its stored settings in force (SettingFlags 1), the
  // simulator's port among the additional ports, and the search left to the serial and PC/SC ports.
  void StoreSettings(const std::wstring& port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD settingFlags = 1;
    RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags),
                   sizeof settingFlags);
    std::wstring ports = port + L'\0';
    RegSetValueExW(key, L"AdditionalPorts", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(ports.c_str()),
                   DWORD((ports.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }

  void MakePage() {
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraConnRoad", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraConnRoad", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 700, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    m_page = std::make_unique<CTestPage>(*m_host, m_settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_TEST, m_parent));
  }

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

  CleanSettingsKeys m_keys;  // the registry lock, for the whole road
  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CTestPage> m_page;
};

// The dialog object behind the visible Connection dialog of this thread.
CDevOpenDialog* VisibleConnectionDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindVisibleDialog, LPARAM(&found));
  if (!found) return nullptr;
  return dynamic_cast<CDevOpenDialog*>(reinterpret_cast<CWnd*>(GetWindowLongPtrW(found, DWLP_USER)));
}

void InDialogLater(std::function<void(CDevOpenDialog& dialog)> act, int tries = 100) {
  RunLater(
      [act, tries] {
        if (CDevOpenDialog* dialog = VisibleConnectionDialog()) {
          act(*dialog);
        } else if (tries > 0) {
          InDialogLater(act, tries - 1);
        }
      },
      50);
}

TEST_F(ConnectionRoad, AReaderOpenedThroughTheConnectionDialogIsSelectedAndItsKeysArrive) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  const std::wstring port = sim.PortName();
  StoreSettings(port);
  MakePage();
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  ASSERT_TRUE(m_host->IsLoaded());
  ASSERT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, IDC_TEST_OPEN)));
  // The stored settings hold no format yet: one for the readers to choose in the form.
  int32_t formatIndex = -1;
  uint32_t formatId = 0;
  ASSERT_TRUE(m_host->InsertFormat(formatIndex, L"%.3u,%.5u", L"b2 w01", &formatId));

  bool visited = false;
  InDialogLater([&](CDevOpenDialog& dialog) {
    visited = true;
    // Whatever the checks find, the dialog ends: its loop never waits for a step that bailed out.
    [&] {
      CParamsPage* form = dialog.Form();
      ASSERT_NE(form, nullptr);
      EXPECT_EQ(WindowText(GetDlgItem(form->hwnd, IDC_PARAMS_DRIVER)), L"Installed");
      EXPECT_EQ(WindowText(GetDlgItem(form->hwnd, IDC_PARAMS_VERSION)), L"1.9.5.7");
      EXPECT_TRUE(g_boxes.empty());

      // One tab of three groups and seven fields.
      HWND tabs = GetDlgItem(form->hwnd, IDC_PARAMS_TABS);
      ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 1);
      wchar_t caption[64] = L"";
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      item.pszText = caption;
      item.cchTextMax = 64;
      SendMessageW(tabs, TCM_GETITEMW, 0, LPARAM(&item));
      EXPECT_STREQ(caption, L"Parameters");
      ASSERT_EQ(form->tabs.size(), 1u);
      CXmlParsPage& tab = *form->tabs[0];
      std::vector<std::wstring> groups, fields;
      for (const _XML_CONTROL_INFO& control : tab.controls) {
        if (control.Kind == 1) groups.push_back(WindowText(control.Wnd));
      }
      for (const _XML_PARAM_INFO& parameter : tab.descriptors) fields.push_back(parameter.Name);
      EXPECT_EQ(groups, (std::vector<std::wstring>{L"Reader connection", L"Key format", L"Device parameters"}));
      EXPECT_EQ(fields, (std::vector<std::wstring>{L"Port", L"Model", L"Speed", L"Wiegand", L"ReaderFormatID",
                                                   L"Prefix", L"Suffix"}));
      auto input = [&](const wchar_t* name) -> const _XML_CONTROL_INFO* {
        for (const _XML_CONTROL_INFO& control : tab.controls) {
          if (control.Kind >= 3 && control.Param >= 0 && tab.descriptors[size_t(control.Param)].Name == name)
            return &control;
        }
        return nullptr;
      };
      const _XML_CONTROL_INFO* wiegand = input(L"Wiegand");
      ASSERT_NE(wiegand, nullptr);
      EXPECT_EQ(wiegand->Kind, 5);
      const _XML_CONTROL_INFO* prefix = input(L"Prefix");
      ASSERT_NE(prefix, nullptr);
      ASSERT_EQ(prefix->Kind, 4);
      const std::vector<std::wstring>& prefixValues = tab.descriptors[size_t(prefix->Param)].ChoiceValues;
      EXPECT_EQ(prefixValues.size(), 129u);
      for (size_t i = 0; i < prefixValues.size(); ++i) {
        if (prefixValues[i] == L"33") {
          EXPECT_EQ(ComboItem(prefix->Wnd, int(i)), L"33 (!)");
        }
      }

      // The simulator's port, offered among the additional ports.
      const _XML_CONTROL_INFO* portList = input(L"Port");
      ASSERT_NE(portList, nullptr);
      ASSERT_EQ(portList->Kind, 4);
      const std::vector<std::wstring>& ports = tab.descriptors[size_t(portList->Param)].ChoiceValues;
      int portIndex = -1;
      for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i] == port) portIndex = int(i);
      }
      ASSERT_GE(portIndex, 0) << "the stored additional port is offered";
      SendMessageW(portList->Wnd, CB_SETCURSEL, WPARAM(portIndex), 0);
      const _XML_CONTROL_INFO* formatList = input(L"ReaderFormatID");
      ASSERT_NE(formatList, nullptr);
      const std::vector<std::wstring>& formats = tab.descriptors[size_t(formatList->Param)].ChoiceValues;
      int formatRow = -1;
      for (size_t i = 0; i < formats.size(); ++i) {
        if (formats[i] == std::to_wstring(formatId)) formatRow = int(i);
      }
      ASSERT_GE(formatRow, 0) << "the new format is offered";
      SendMessageW(formatList->Wnd, CB_SETCURSEL, WPARAM(formatRow), 0);

      // The XML tab holds the description, its tags coloured.
      CXmlPage* xml = dialog.XmlPage(DEV_OPEN_PARAMS_XML);
      ASSERT_NE(xml, nullptr);
      const std::wstring held = HeldText(xml->edit);
      const size_t settings = held.find(L"<Settings");
      ASSERT_NE(settings, std::wstring::npos);
      EXPECT_EQ(CharColour(xml->edit, LONG(settings)), RGB(255, 0, 0));
      for (size_t i = 1; i <= 8; ++i) EXPECT_EQ(CharColour(xml->edit, LONG(settings + i)), RGB(0, 0, 255)) << i;
      const size_t closing = held.find(L"</Page>");
      ASSERT_NE(closing, std::wstring::npos);
      EXPECT_EQ(CharColour(xml->edit, LONG(closing + 1)), RGB(255, 0, 0));
      EXPECT_EQ(CharColour(xml->edit, LONG(closing + 2)), RGB(0, 0, 255));
      const size_t value = held.find(L"Value=\"");
      ASSERT_NE(value, std::wstring::npos);
      EXPECT_EQ(CharColour(xml->edit, LONG(value + 1)), COLORREF(CLR_DEFAULT)) << "attributes keep the default colour";

      // Device Test: the add-in's own text in an information box.
      SendMessageW(form->hwnd, WM_COMMAND, MAKEWPARAM(ID_PARAMS_DEVICE_TEST, 0), 0);
      ASSERT_EQ(g_boxes.size(), 1u);
      EXPECT_FALSE(g_boxes[0].Error) << Narrow(g_boxes[0].Text);
      EXPECT_FALSE(g_boxes[0].Text.empty());

      SendMessageW(form->hwnd, WM_COMMAND, MAKEWPARAM(IDC_PARAMS_SAVE, BN_CLICKED), 0);
    }();
    if (dialog.result == -1) dialog.EndDialog(IDCANCEL);
  });
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_OPEN, BN_CLICKED), 0);
  ASSERT_TRUE(visited);
  ASSERT_EQ(g_boxes.size(), 1u) << Narrow(g_boxes.back().Text);

  // The dialog ended with 1: the reader is listed and selected.
  ASSERT_EQ(m_host->GetOpenDevices().size(), 1u);
  const std::wstring id = m_host->GetOpenDevices()[0];
  HWND devices = GetDlgItem(m_page->hwnd, IDC_TEST_DEVICES);
  ASSERT_EQ(SendMessageW(devices, CB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(SendMessageW(devices, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(ComboItem(devices, 0).compare(0, id.size(), id), 0);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, IDC_TEST_CLOSE)));

  // Its key arrives in the Events tab.
  HWND events = GetDlgItem(m_page->eventsPage->hwnd, IDC_EVENTS_LIST);
  auto cell = [&](int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(events, LVM_GETITEMTEXTW, row, LPARAM(&item));
    return std::wstring(text);
  };
  const std::wstring connected = id + L" " + [] {
    std::wstring text;
    LoadStr(IDS_TEST_STATUS_BASE + 3, text);
    return text;
  }();
  ASSERT_TRUE(PumpUntil([&] { return ComboItem(devices, 0).compare(0, connected.size(), connected) == 0; }, 10000))
      << Narrow(ComboItem(devices, 0));
  sim.SendLine("Em-Marine[0000] 012,12345");
  const bool arrived = PumpUntil(
      [&] { return SendMessageW(events, LVM_GETITEMCOUNT, 0, 0) > 0 && cell(0, 2) == L"TracksData"; }, 10000);
  ASSERT_TRUE(arrived) << "newest event: " << Narrow(cell(0, 2)) << " " << Narrow(cell(0, 3));
  EXPECT_EQ(cell(0, 1), id);
  EXPECT_GT(m_settings.lastKey.Length, 0);

  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_CLOSE, BN_CLICKED), 0);
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  EXPECT_FALSE(m_host->IsLoaded());
}

}  // namespace
