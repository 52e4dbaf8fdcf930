// The Connection page over a settings document and a PC/SC watcher of its own, the page alone on a parent
// window that forwards the watcher's WM_USER+2 as the main window does. The winscard.dll double plays
// the PC/SC service; message boxes and shell execution go through their seams; registry cases run under
// CleanSettingsKeys.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "Exceptions.h"
#include "MainPage.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "RegistryStore.h"
#include "RegistryTestLock.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "UiHelpers.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

CConfigVombraApp theApp;

const wchar_t kParentClass[] = L"MainPageTestsParent";

// ---- Scripted questions.

struct BoxAnswer {
  int Button;
  BOOL DoNotAsk;
};
std::vector<std::wstring> g_boxes;
std::vector<bool> g_boxDoNotAsk;
std::deque<BoxAnswer> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  g_boxes.push_back(config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"");
  g_boxDoNotAsk.push_back(config->pszVerificationText != nullptr);
  BoxAnswer answer{IDCANCEL, FALSE};
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer.Button;
  if (verified) *verified = answer.DoNotAsk;
  return S_OK;
}

// ---- Recorded shell calls.

struct ShellCall {
  std::wstring File, Verb, Parameters;
  ULONG Mask;
  int Show;
  HWND Owner;
};
std::vector<ShellCall> g_shellCalls;
DWORD g_shellError = 0;  // non-zero: the call fails with it

std::wstring Text(const wchar_t* text) { return text ? text : L"<null>"; }

BOOL WINAPI RecordingShellExecute(SHELLEXECUTEINFOW* info) {
  g_shellCalls.push_back({Text(info->lpFile), Text(info->lpVerb), Text(info->lpParameters), info->fMask,
                          info->nShow, info->hwnd});
  if (g_shellError) {
    SetLastError(g_shellError);
    return FALSE;
  }
  return TRUE;
}

// ---- The parent: forwards WM_USER+2 to the page and counts it.

std::atomic<HWND> g_parent{nullptr};
int g_readerMessages = 0;

LRESULT CALLBACK ParentProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 2) {
    ++g_readerMessages;
    if (HWND page = GetWindow(wnd, GW_CHILD)) SendMessageW(page, WM_USER + 2, 0, 0);
    return 0;
  }
  return DefWindowProcW(wnd, message, wParam, lParam);
}

void ReadersChanged(void*, CCcidConnection*, int) {
  if (HWND parent = g_parent.load()) PostMessageW(parent, WM_USER + 2, 0, 0);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A value of its own in the serial-port map, removed again at the end.
// One more value in the serial-port map, under the lock every suite that changes the map shares (the
// search suites replace the whole map while they run).
class SerialPortValue {
 public:
  SerialPortValue(const wchar_t* name, const wchar_t* port)
      : m_name(name), m_mutex(CreateMutexW(nullptr, FALSE, L"VombraPortDeviceTests")) {
    if (m_mutex) WaitForSingleObject(m_mutex, INFINITE);  // an abandoned mutex is still ours
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                    KEY_WRITE, nullptr, &key, nullptr);
    if (key) {
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(port), DWORD((wcslen(port) + 1) * 2));
      RegCloseKey(key);
    }
  }
  ~SerialPortValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE, &key) == 0) {
      RegDeleteValueW(key, m_name.c_str());
      RegCloseKey(key);
    }
    if (m_mutex) {
      ReleaseMutex(m_mutex);
      CloseHandle(m_mutex);
    }
  }
  SerialPortValue(const SerialPortValue&) = delete;
  SerialPortValue& operator=(const SerialPortValue&) = delete;

 private:
  std::wstring m_name;
  HANDLE m_mutex;
};

class MainPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kParentClass, ParentProc));
    m_parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 700, 600, nullptr,
                               nullptr, nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
    g_parent = m_parent;
    g_readerMessages = 0;
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    ShellExecuteSeam.ShellExecuteEx = &RecordingShellExecute;
    g_boxes.clear();
    g_boxDoNotAsk.clear();
    g_answers.clear();
    g_shellCalls.clear();
    g_shellError = 0;
    ASSERT_TRUE(m_double.Loaded()) << "the winscard.dll test double is not loaded (tools/wine-ctest.sh)";
    ASSERT_EQ(m_double.Reset(), SCARD_S_SUCCESS);
    m_watcher.reset(new CCcidConnection());
    m_watcher->ListCallback = {nullptr, &ReadersChanged};
  }
  void TearDown() override {
    m_page.reset();
    m_watcher.reset();
    g_parent = nullptr;
    DestroyWindow(m_parent);
    Pump();
    MessageBoxSeam = CMessageBoxSeam();
    ShellExecuteSeam = CShellExecuteSeam();
    ConfiguratorTest::TearDown();
  }

  void Open(int width = 700, int height = 600) {
    m_page.reset(new CMainPage(m_settings, *m_watcher));
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_MAIN, m_parent));
    SetWindowPos(m_page->hwnd, nullptr, 0, 0, width, height, SWP_NOZORDER);
    ShowWindow(m_page->hwnd, SW_SHOW);
    Settle();
  }
  // The watcher has nothing more to report and every message it caused has been handled.
  void Settle() {
    m_double.WaitIdle(2000);
    for (int i = 0; i < 10; ++i) {
      Pump();
      Sleep(10);
    }
  }

  HWND Item(UINT id) { return GetDlgItem(m_page->hwnd, int(id)); }
  bool Checked(UINT id) { return IsDlgButtonChecked(m_page->hwnd, int(id)) == BST_CHECKED; }
  bool Enabled(UINT id) { return IsWindowEnabled(Item(id)) != FALSE; }
  void Click(UINT id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
  std::wstring ItemText(UINT id) {
    std::wstring text;
    GetWindowTextString(Item(id), text);
    return text;
  }
  // A user's typing: the edit reports EN_CHANGE to the page.
  void Type(UINT id, const wchar_t* text) { SetWindowTextW(Item(id), text); }
  // A user's choice in a drop-down list: the selection and its CBN_SELCHANGE.
  void Choose(UINT id, int index) {
    ComboBox_SetCurSel(Item(id), index);
    SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(Item(id)));
  }
  int Selection(UINT id) { return ComboBox_GetCurSel(Item(id)); }
  std::vector<std::wstring> ComboItems(UINT id) {
    std::vector<std::wstring> items;
    HWND combo = Item(id);
    for (int i = 0; i < ComboBox_GetCount(combo); ++i) {
      wchar_t text[256] = L"";
      ComboBox_GetLBText(combo, i, text);
      items.push_back(text);
    }
    return items;
  }
  std::vector<std::wstring> ListItems() {
    std::vector<std::wstring> items;
    HWND list = Item(IDC_MAIN_PORTS);
    for (int i = 0; i < ListBox_GetCount(list); ++i) {
      wchar_t text[256] = L"";
      ListBox_GetText(list, i, text);
      items.push_back(text);
    }
    return items;
  }
  void Command(UINT id, UINT code = 0) { SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, code), 0); }

  CAppSettings m_settings;
  CWinscardDouble m_double;
  std::unique_ptr<CCcidConnection> m_watcher;
  HWND m_parent = nullptr;
  std::unique_ptr<CMainPage> m_page;
};

// ---- Load and save.

TEST_F(MainPageTest, OpeningShowsTheDocumentAndChangesNothing) {
  m_settings.SearchFlags = 0x1 | 0x2 | 0x8 | 0x10;
  m_settings.FindIpTimeout = 2500;
  m_settings.FindIpTries = 4;
  m_settings.Model = 8;
  m_settings.Speed = 57600;
  m_settings.StopBits = 2;
  m_settings.ReaderFlags = RDF_WIEGAND | RDF_NVT;
  m_settings.ConnectTimeout = 7000;
  m_settings.ConnectPeriod = 1500;
  m_settings.RxPeriod = 250;
  m_settings.ReqTimeout = 900;
  m_settings.ReqTries = 5;
  m_settings.LogLevel = 4;
  m_settings.LogMaxSize = 12;
  m_settings.extEventsEnabled = true;
  m_settings.ExternalEventFlags = 0x1 | 0x8;
  m_settings.SettingFlags = STF_SAVE_AT_END;
  m_settings.hive = 1;
  m_settings.formats = {MakeFormat(7, L"Seven"), MakeFormat(9, L"\n[P] Nine")};
  m_settings.ClearFormatIndex();
  m_settings.FormatId = 9;
  m_settings.AdditionalPorts = {L"COM30", L"10.0.0.1:4001"};
  Open();

  EXPECT_TRUE(Checked(IDC_MAIN_SEARCH_COM));
  EXPECT_TRUE(Checked(IDC_MAIN_SEARCH_VIRTUAL));
  EXPECT_FALSE(Checked(IDC_MAIN_SEARCH_VIDPID));
  EXPECT_TRUE(Checked(IDC_MAIN_SEARCH_DESCRIPTION));
  EXPECT_TRUE(Checked(IDC_MAIN_SEARCH_IP));
  EXPECT_FALSE(Checked(IDC_MAIN_SEARCH_CCID));
  EXPECT_EQ(ItemText(IDC_MAIN_FIND_TIMEOUT), L"2500");
  EXPECT_EQ(ItemText(IDC_MAIN_FIND_TRIES), L"4");
  EXPECT_EQ(ItemText(IDC_MAIN_MODEL), L"Orvel 7");
  EXPECT_EQ(ItemText(IDC_MAIN_SPEED), L"57600");
  EXPECT_EQ(ItemText(IDC_MAIN_STOP_BITS), L"2");
  EXPECT_TRUE(Checked(IDC_MAIN_WIEGAND));
  EXPECT_FALSE(Checked(IDC_MAIN_BINARY));
  EXPECT_FALSE(Checked(IDC_MAIN_DIFFERENT_CODES));
  EXPECT_TRUE(Checked(IDC_MAIN_NVT));
  EXPECT_EQ(ItemText(IDC_MAIN_CONNECT_TIMEOUT), L"7000");
  EXPECT_EQ(ItemText(IDC_MAIN_CONNECT_PERIOD), L"1500");
  EXPECT_EQ(ItemText(IDC_MAIN_RX_PERIOD), L"250");
  EXPECT_EQ(ItemText(IDC_MAIN_REQ_TIMEOUT), L"900");
  EXPECT_EQ(ItemText(IDC_MAIN_REQ_TRIES), L"5");
  EXPECT_EQ(ComboItems(IDC_MAIN_FORMAT), (std::vector<std::wstring>{L"Auto", L"Seven", L"[P] Nine"}));
  EXPECT_EQ(Selection(IDC_MAIN_FORMAT), 2);
  EXPECT_EQ(ItemText(IDC_MAIN_LOG_LEVEL), L"Info");
  EXPECT_EQ(ItemText(IDC_MAIN_LOG_SIZE), L"12");
  EXPECT_TRUE(Checked(IDC_MAIN_EVENTS_ENABLED));
  EXPECT_TRUE(Checked(IDC_MAIN_EVENT_CONNECT));
  EXPECT_FALSE(Checked(IDC_MAIN_EVENT_DISCONNECT));
  EXPECT_FALSE(Checked(IDC_MAIN_EVENT_NO_CARD));
  EXPECT_TRUE(Checked(IDC_MAIN_EVENT_COMMAND));
  EXPECT_FALSE(Checked(IDC_MAIN_LOAD_AT_START));
  EXPECT_TRUE(Checked(IDC_MAIN_SAVE_AT_END));
  EXPECT_EQ(ItemText(IDC_MAIN_STORAGE), L"HKLM Registry (for all users)");
  EXPECT_EQ(ListItems(), m_settings.AdditionalPorts);
  EXPECT_FALSE(m_settings.settingsModified);
  EXPECT_FALSE(m_settings.configModified);

  // Load, Refresh and a reader-list change leave the settings unmodified too.
  m_page->UpdateData(false);
  Click(IDC_MAIN_REFRESH);
  SendMessageW(m_page->hwnd, WM_USER + 2, 0, 0);
  EXPECT_FALSE(m_settings.settingsModified);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(MainPageTest, ModelsComeFromTheEngineTable) {
  Open();
  std::vector<std::wstring> expected = {L"Auto"};
  for (UINT i = 1; i < READER_MODEL_COUNT; ++i) expected.push_back(g_ReaderModelNames[i]);
  EXPECT_EQ(ComboItems(IDC_MAIN_MODEL), expected);
  EXPECT_EQ(ComboItems(IDC_MAIN_SPEED),
            (std::vector<std::wstring>{L"Auto", L"9600", L"19200", L"38400", L"57600", L"115200", L"230400"}));
  EXPECT_EQ(ComboItems(IDC_MAIN_STOP_BITS), (std::vector<std::wstring>{L"1", L"1.5", L"2"}));
  EXPECT_EQ(ComboItems(IDC_MAIN_LOG_LEVEL), (std::vector<std::wstring>{L"Disabled", L"Assert", L"Error", L"Warning",
                                                                         L"Info", L"Debug", L"Verbose"}));
}

// The odd values a registry may hold: shown as well as they can be, saved back as they were.
struct LoadEdgeCase {
  const char* name;
  void (*set)(CAppSettings&);
  UINT control;
  std::wstring shown;  // the control's text
  int selection;       // -2: not a list
  void (*check)(const CAppSettings&);
};
void PrintTo(const LoadEdgeCase& c, std::ostream* os) { *os << c.name; }

class MainPageLoadEdges : public MainPageTest, public ::testing::WithParamInterface<LoadEdgeCase> {};

TEST_P(MainPageLoadEdges, ShowAndSaveBack) {
  const LoadEdgeCase& c = GetParam();
  c.set(m_settings);
  Open();
  EXPECT_EQ(ItemText(c.control), c.shown);
  if (c.selection != -2) {
    EXPECT_EQ(Selection(c.control), c.selection);
  }
  m_page->UpdateData(true);
  c.check(m_settings);
  EXPECT_FALSE(m_settings.settingsModified);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, MainPageLoadEdges,
    ::testing::Values(
        LoadEdgeCase{"russian_auto",
                     [](CAppSettings& s) { s.Portname = L"\u0430\u0412\u0422\u041E"; }, IDC_MAIN_PORT, L"Auto", 0,
                     [](const CAppSettings& s) { EXPECT_EQ(s.Portname, L"Auto"); }},
        LoadEdgeCase{"tcp_address_kept", [](CAppSettings& s) { s.Portname = L"127.0.0.1:4001"; }, IDC_MAIN_PORT,
                     L"127.0.0.1:4001", -1, [](const CAppSettings& s) { EXPECT_EQ(s.Portname, L"127.0.0.1:4001"); }},
        LoadEdgeCase{"speed_4800_not_listed", [](CAppSettings& s) { s.Speed = 4800; }, IDC_MAIN_SPEED, L"", -1,
                     [](const CAppSettings& s) { EXPECT_EQ(s.Speed, 4800u); }},
        LoadEdgeCase{"stop_bits_5", [](CAppSettings& s) { s.StopBits = 5; }, IDC_MAIN_STOP_BITS, L"", -1,
                     [](const CAppSettings& s) { EXPECT_EQ(s.StopBits, 5u); }},
        LoadEdgeCase{"model_13_not_taken", [](CAppSettings& s) { s.Model = 13; }, IDC_MAIN_MODEL, L"", -1,
                     [](const CAppSettings& s) { EXPECT_EQ(s.Model, 13u); }},
        LoadEdgeCase{"no_log_limit_shows_minus_one", [](CAppSettings& s) { s.LogMaxSize = 0xFFFFFFFF; },
                     IDC_MAIN_LOG_SIZE, L"-1", -2,
                     [](const CAppSettings& s) { EXPECT_EQ(s.LogMaxSize, 0xFFFFFFFFu); }},
        LoadEdgeCase{"untouched_0xFFFFFFF0_kept", [](CAppSettings& s) { s.RxPeriod = 0xFFFFFFF0; },
                     IDC_MAIN_RX_PERIOD, L"-16", -2,
                     [](const CAppSettings& s) { EXPECT_EQ(s.RxPeriod, 0xFFFFFFF0u); }},
        LoadEdgeCase{"untouched_zero_tries_kept", [](CAppSettings& s) { s.ReqTries = 0; }, IDC_MAIN_REQ_TRIES, L"0",
                     -2, [](const CAppSettings& s) { EXPECT_EQ(s.ReqTries, 0u); }},
        LoadEdgeCase{"events_off_keeps_flags", [](CAppSettings& s) {
                       s.extEventsEnabled = false;
                       s.ExternalEventFlags = 0x6;
                     },
                     IDC_MAIN_EVENTS_ENABLED, L"Enabled", -2,
                     [](const CAppSettings& s) {
                       EXPECT_FALSE(s.extEventsEnabled);
                       EXPECT_EQ(s.ExternalEventFlags, 0x6u);
                     }}),
    [](const ::testing::TestParamInfo<LoadEdgeCase>& info) { return std::string(info.param.name); });

TEST_F(MainPageTest, EventsSwitchEnablesItsBoxesAndKeepsTheirTicks) {
  m_settings.extEventsEnabled = true;
  m_settings.ExternalEventFlags = 0x2;
  Open();
  EXPECT_TRUE(Enabled(IDC_MAIN_EVENT_DISCONNECT));
  Click(IDC_MAIN_EVENTS_ENABLED);
  for (UINT id : {IDC_MAIN_EVENT_CONNECT, IDC_MAIN_EVENT_DISCONNECT, IDC_MAIN_EVENT_NO_CARD, IDC_MAIN_EVENT_COMMAND})
    EXPECT_FALSE(Enabled(id)) << id;
  EXPECT_TRUE(Checked(IDC_MAIN_EVENT_DISCONNECT));
  EXPECT_TRUE(m_settings.settingsModified);
  EXPECT_TRUE(m_settings.configModified);  // the switch is kept in the configuration file too
  m_page->UpdateData(true);
  EXPECT_FALSE(m_settings.extEventsEnabled);
  EXPECT_EQ(m_settings.ExternalEventFlags, 0x2u);
}

TEST_F(MainPageTest, SearchBoxesStoredOnClickAndEnableTheirControls) {
  m_settings.SearchFlags = 0x1;
  Open();
  EXPECT_FALSE(Enabled(IDC_MAIN_SEARCH_VIDPID));
  EXPECT_FALSE(Enabled(IDC_MAIN_FIND_TIMEOUT));
  EXPECT_FALSE(Enabled(IDC_MAIN_FIND_TRIES_LABEL));
  Click(IDC_MAIN_SEARCH_VIRTUAL);
  EXPECT_EQ(m_settings.SearchFlags, 0x3u);
  EXPECT_TRUE(Enabled(IDC_MAIN_SEARCH_VIDPID));
  EXPECT_TRUE(Enabled(IDC_MAIN_SEARCH_DESCRIPTION));
  Click(IDC_MAIN_SEARCH_IP);
  EXPECT_EQ(m_settings.SearchFlags, 0x13u);
  for (UINT id : {IDC_MAIN_FIND_TIMEOUT_LABEL, IDC_MAIN_FIND_TIMEOUT, IDC_MAIN_FIND_TIMEOUT_SPIN,
                  IDC_MAIN_FIND_TRIES_LABEL, IDC_MAIN_FIND_TRIES, IDC_MAIN_FIND_TRIES_SPIN})
    EXPECT_TRUE(Enabled(id)) << id;
  Click(IDC_MAIN_SEARCH_CCID);
  EXPECT_EQ(m_settings.SearchFlags, 0x33u);
  // Read on save: the other boxes change nothing until then.
  Click(IDC_MAIN_SEARCH_COM);
  Click(IDC_MAIN_SEARCH_VIDPID);
  EXPECT_EQ(m_settings.SearchFlags, 0x33u);
  EXPECT_TRUE(m_settings.settingsModified);
  m_settings.SearchFlags |= 0x40;  // a bit the page does not show
  m_page->UpdateData(true);
  EXPECT_EQ(m_settings.SearchFlags, 0x76u);
}

TEST_F(MainPageTest, ListsStoreTheirChoicesAtOnce) {
  m_settings.formats = {MakeFormat(7, L"Seven"), MakeFormat(9, L"Nine")};
  m_settings.ClearFormatIndex();
  Open();
  HintRecorder others(m_settings);
  Choose(IDC_MAIN_FORMAT, 2);
  EXPECT_EQ(m_settings.FormatId, 9u);
  EXPECT_TRUE(others.Hints & HINT_CONNECTION);
  m_settings.settingsModified = false;
  Choose(IDC_MAIN_LOG_LEVEL, 6);
  EXPECT_EQ(m_settings.LogLevel, 6u);
  EXPECT_TRUE(m_settings.settingsModified);
  m_settings.settingsModified = false;
  Choose(IDC_MAIN_LOG_LEVEL, 6);  // the same level again is no change
  EXPECT_FALSE(m_settings.settingsModified);
  Choose(IDC_MAIN_STORAGE, 1);
  EXPECT_EQ(m_settings.hive, 1);
  EXPECT_TRUE(m_settings.settingsModified);
  Choose(IDC_MAIN_STORAGE, 0);
  EXPECT_EQ(m_settings.hive, 0);
}

TEST_F(MainPageTest, FormatComboFollowsTheFormatList) {
  m_settings.formats = {MakeFormat(7, L"Seven")};
  m_settings.ClearFormatIndex();
  m_settings.FormatId = 7;
  Open();
  // Visible: refilled at once.
  m_settings.formats.push_back(MakeFormat(8, L"Eight"));
  m_settings.FormatsChanged(true);
  EXPECT_EQ(ComboItems(IDC_MAIN_FORMAT), (std::vector<std::wstring>{L"Auto", L"Seven", L"Eight"}));
  // Hidden: only marked stale, refilled when shown.
  ShowWindow(m_page->hwnd, SW_HIDE);
  m_settings.formats.erase(m_settings.formats.begin());
  m_settings.FormatsChanged(true);
  EXPECT_FALSE(m_page->formatComboFilled);
  EXPECT_EQ(ComboItems(IDC_MAIN_FORMAT).size(), 3u);
  ShowWindow(m_page->hwnd, SW_SHOW);
  EXPECT_EQ(ComboItems(IDC_MAIN_FORMAT), (std::vector<std::wstring>{L"Auto", L"Eight"}));
  // Another view's choice of the readers' format: re-selected.
  m_settings.SetFormatId(8);
  EXPECT_EQ(Selection(IDC_MAIN_FORMAT), 1);
}

// ---- Number edits.

struct NumberCase {
  const char* name;
  UINT control;
  const wchar_t* typed;
  bool accepted;
  UINT stored;  // when accepted
};
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class MainPageNumbers : public MainPageTest, public ::testing::WithParamInterface<NumberCase> {};

UINT CAppSettings::*FieldOf(UINT control) {
  switch (control) {
    case IDC_MAIN_FIND_TIMEOUT: return &CAppSettings::FindIpTimeout;
    case IDC_MAIN_FIND_TRIES: return &CAppSettings::FindIpTries;
    case IDC_MAIN_CONNECT_TIMEOUT: return &CAppSettings::ConnectTimeout;
    case IDC_MAIN_CONNECT_PERIOD: return &CAppSettings::ConnectPeriod;
    case IDC_MAIN_RX_PERIOD: return &CAppSettings::RxPeriod;
    case IDC_MAIN_REQ_TIMEOUT: return &CAppSettings::ReqTimeout;
    case IDC_MAIN_REQ_TRIES: return &CAppSettings::ReqTries;
    default: return &CAppSettings::LogMaxSize;
  }
}

TEST_P(MainPageNumbers, ChangedTextIsCheckedBeforeAnythingIsStored) {
  const NumberCase& c = GetParam();
  m_settings.SearchFlags = 0x10;  // the search group's edits enabled
  Open();
  UINT CAppSettings::*field = FieldOf(c.control);
  const UINT old = m_settings.*field;
  Click(IDC_MAIN_WIEGAND);  // read on save: written only when the whole save goes through
  Type(c.control, c.typed);
  EXPECT_TRUE(m_settings.settingsModified);
  if (c.accepted) {
    m_page->UpdateData(true);
    EXPECT_EQ(m_settings.*field, c.stored);
    EXPECT_TRUE(m_settings.ReaderFlags & RDF_WIEGAND);
    return;
  }
  try {
    m_page->UpdateData(true);
    ADD_FAILURE() << "no exception";
  } catch (const CException& e) {
    std::wstring message;
    AnsiToWide(e.what(), -1, message);
    // The field is named by its group and label.
    std::wstring label = c.control == IDC_MAIN_FIND_TRIES || c.control == IDC_MAIN_REQ_TRIES ? L"Attempts request"
                         : c.control == IDC_MAIN_LOG_SIZE ? L"Max log file size (MB)"
                                                          : L"";
    if (!label.empty()) {
      EXPECT_NE(message.find(label), std::wstring::npos) << message;
    }
    EXPECT_NE(message.find(L"2147483647"), std::wstring::npos) << message;
  }
  EXPECT_EQ(m_settings.*field, old);
  EXPECT_FALSE(m_settings.ReaderFlags & RDF_WIEGAND);
  EXPECT_EQ(GetFocus(), Item(c.control));
  DWORD start = 0, end = 0;
  SendMessageW(Item(c.control), EM_GETSEL, WPARAM(&start), LPARAM(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, DWORD(wcslen(c.typed)));
}

INSTANTIATE_TEST_SUITE_P(
    Edits, MainPageNumbers,
    ::testing::Values(NumberCase{"letters_after_digits", IDC_MAIN_CONNECT_TIMEOUT, L"12a", false, 0},
                      NumberCase{"empty", IDC_MAIN_REQ_TIMEOUT, L"", false, 0},
                      NumberCase{"zero_tries", IDC_MAIN_REQ_TRIES, L"0", false, 0},
                      NumberCase{"zero_search_tries", IDC_MAIN_FIND_TRIES, L"0", false, 0},
                      NumberCase{"below_minus_one", IDC_MAIN_LOG_SIZE, L"-2", false, 0},
                      NumberCase{"above_int_max", IDC_MAIN_RX_PERIOD, L"2147483648", false, 0},
                      NumberCase{"minus_one_is_no_limit", IDC_MAIN_LOG_SIZE, L"-1", true, 0xFFFFFFFF},
                      NumberCase{"int_max", IDC_MAIN_CONNECT_PERIOD, L"2147483647", true, 2147483647},
                      NumberCase{"search_timeout", IDC_MAIN_FIND_TIMEOUT, L"4500", true, 4500},
                      NumberCase{"one_try", IDC_MAIN_REQ_TRIES, L"1", true, 1}),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

// ---- Ports.

TEST_F(MainPageTest, PortListHoldsSerialPortsThenReadersInTheServiceOrder) {
  SerialPortValue serial(L"\\Device\\VombraTest9", L"com9");
  ASSERT_EQ(m_double.PlugReader(L"Zeta Reader 0"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.PlugReader(L"ACS ACR122 0"), SCARD_S_SUCCESS);
  Open();
  const std::vector<std::wstring> items = ComboItems(IDC_MAIN_PORT);
  ASSERT_GE(items.size(), 4u);
  EXPECT_EQ(items[0], L"Auto");
  EXPECT_EQ(items[items.size() - 2], L"Zeta Reader 0");
  EXPECT_EQ(items.back(), L"ACS ACR122 0");
  const auto com9 = std::find(items.begin(), items.end(), L"COM9");
  EXPECT_NE(com9, items.end()) << "the serial port upper-cased";
  EXPECT_LT(com9 - items.begin(), ptrdiff_t(items.size()) - 2) << "serial ports come first";
  EXPECT_EQ(Selection(IDC_MAIN_PORT), 0);
  EXPECT_EQ(m_double.Counters().Allocations, 0);
}

TEST_F(MainPageTest, PluggedReaderIsListedByItselfAndAnUnsavedChoiceStays) {
  Open();
  EXPECT_TRUE(m_watcher->IsPnpNotificationAdded());
  g_readerMessages = 0;
  // The user typed a port, not saved yet.
  SetWindowTextW(Item(IDC_MAIN_PORT), L"10.1.1.1:4001");
  m_settings.settingsModified = false;
  ASSERT_EQ(m_double.PlugReader(L"Reader A"), SCARD_S_SUCCESS);
  Settle();
  EXPECT_EQ(g_readerMessages, 1);
  std::vector<std::wstring> items = ComboItems(IDC_MAIN_PORT);
  EXPECT_EQ(items.back(), L"Reader A");
  EXPECT_EQ(ItemText(IDC_MAIN_PORT), L"10.1.1.1:4001");
  EXPECT_FALSE(m_settings.settingsModified);
  EXPECT_EQ(m_settings.Portname, L"Auto");

  // A reader chosen from the list stays chosen while another comes and goes.
  Choose(IDC_MAIN_PORT, int(items.size()) - 1);
  ASSERT_EQ(m_double.PlugReader(L"Reader B"), SCARD_S_SUCCESS);
  Settle();
  EXPECT_EQ(g_readerMessages, 2);
  EXPECT_EQ(ItemText(IDC_MAIN_PORT), L"Reader A");
  ASSERT_EQ(m_double.UnplugReader(L"Reader B"), SCARD_S_SUCCESS);
  Settle();
  EXPECT_EQ(g_readerMessages, 3);
  items = ComboItems(IDC_MAIN_PORT);
  EXPECT_EQ(items.back(), L"Reader A");
  EXPECT_EQ(ItemText(IDC_MAIN_PORT), L"Reader A");
  m_page->UpdateData(true);
  EXPECT_EQ(m_settings.Portname, L"Reader A");
}

TEST_F(MainPageTest, AutoStaysSelectedThroughARefresh) {
  m_settings.Portname = L"Auto";
  Open();
  ASSERT_EQ(m_double.PlugReader(L"Reader A"), SCARD_S_SUCCESS);
  Settle();
  EXPECT_EQ(Selection(IDC_MAIN_PORT), 0);
  m_page->UpdateData(true);
  EXPECT_EQ(m_settings.Portname, L"Auto");
}

TEST_F(MainPageTest, WithoutServiceOnlySerialPortsAndNoMessage) {
  SerialPortValue serial(L"\\Device\\VombraTest9", L"COM9");
  ASSERT_EQ(m_double.PlugReader(L"Zeta Reader 0"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  Open();
  const std::vector<std::wstring> items = ComboItems(IDC_MAIN_PORT);
  EXPECT_NE(std::find(items.begin(), items.end(), L"COM9"), items.end());
  EXPECT_EQ(std::find(items.begin(), items.end(), L"Zeta Reader 0"), items.end());
  EXPECT_FALSE(m_watcher->IsPnpNotificationAdded());
  Click(IDC_MAIN_REFRESH);
  EXPECT_TRUE(g_boxes.empty());
  // The service back: Refresh finds the reader.
  ASSERT_EQ(m_double.SetService(true), SCARD_S_SUCCESS);
  Click(IDC_MAIN_REFRESH);
  EXPECT_EQ(ComboItems(IDC_MAIN_PORT).back(), L"Zeta Reader 0");
}

// ---- Favourite ports: one script per row, run on New, Apply, Delete, Delete all, Sort, Move.

enum PortStep { SELECT, TYPE, NEW, APPLY, DEL, DEL_ALL, SORT, UP, DOWN };
struct PortAction {
  PortStep step;
  int index = 0;                // SELECT
  const wchar_t* text = nullptr;  // TYPE
  int answer = 0;                // for a question: IDOK or IDCANCEL
  BOOL doNotAsk = FALSE;
};
struct PortScript {
  const char* name;
  std::vector<std::wstring> ports;
  std::vector<PortAction> actions;
  std::vector<std::wstring> result;
  int selection;
  bool modified;
  std::vector<std::wstring> boxes;  // the texts shown
  UINT confirm;                     // ConfirmFlags afterwards
  // New, Delete, Apply (tool bar), Move Up, Move Down enabled afterwards
  bool buttons[5];
};
void PrintTo(const PortScript& c, std::ostream* os) { *os << c.name; }

class MainPagePortScripts : public MainPageTest, public ::testing::WithParamInterface<PortScript> {};

TEST_P(MainPagePortScripts, Run) {
  const PortScript& c = GetParam();
  m_settings.AdditionalPorts = c.ports;
  Open();
  for (const PortAction& action : c.actions) {
    if (action.answer) g_answers.push_back({action.answer, action.doNotAsk});
    switch (action.step) {
      case SELECT:
        ListBox_SetCurSel(Item(IDC_MAIN_PORTS), action.index);
        SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_MAIN_PORTS, LBN_SELCHANGE), LPARAM(Item(IDC_MAIN_PORTS)));
        break;
      case TYPE: Type(IDC_MAIN_PORT_NAME, action.text); break;
      case NEW: Command(ID_PORT_NEW); break;
      case APPLY: Command(ID_PORT_APPLY); break;
      case DEL: Command(ID_PORT_DELETE); break;
      case DEL_ALL: Command(ID_PORT_DELETE_ALL); break;
      case SORT: Command(ID_PORT_SORT); break;
      case UP: Click(ID_PORT_MOVE_UP); break;
      case DOWN: Click(ID_PORT_MOVE_DOWN); break;
    }
  }
  EXPECT_EQ(m_settings.AdditionalPorts, c.result);
  EXPECT_EQ(ListItems(), c.result);
  EXPECT_EQ(m_page->selectedPort, c.selection);
  EXPECT_EQ(ListBox_GetCurSel(Item(IDC_MAIN_PORTS)), c.selection);
  EXPECT_EQ(m_settings.settingsModified, c.modified);
  EXPECT_EQ(g_boxes, c.boxes);
  EXPECT_EQ(m_settings.ConfirmFlags, c.confirm);
  HWND bar = Item(IDC_MAIN_PORT_TOOLBAR);
  EXPECT_EQ(SendMessageW(bar, TB_ISBUTTONENABLED, ID_PORT_NEW, 0) != 0, c.buttons[0]) << "New";
  EXPECT_EQ(SendMessageW(bar, TB_ISBUTTONENABLED, ID_PORT_DELETE, 0) != 0, c.buttons[1]) << "Delete";
  EXPECT_EQ(SendMessageW(bar, TB_ISBUTTONENABLED, ID_PORT_APPLY, 0) != 0, c.buttons[2]) << "Apply";
  EXPECT_EQ(Enabled(ID_PORT_MOVE_UP), c.buttons[3]) << "Move Up";
  EXPECT_EQ(Enabled(ID_PORT_MOVE_DOWN), c.buttons[4]) << "Move Down";
}

const std::wstring kRequired = L"Field must be filled in.";
const std::wstring kExists = L"A port with that name already exists.";
constexpr UINT kConfirm = CONFIRM_DEFAULT;

INSTANTIATE_TEST_SUITE_P(
    Ports, MainPagePortScripts,
    ::testing::Values(
        PortScript{"new_appends_and_selects", {L"COM3"}, {{TYPE, 0, L"COM7"}, {NEW}}, {L"COM3", L"COM7"}, 1, true, {},
                   kConfirm, {true, true, true, true, false}},
        PortScript{"new_empty_asks_for_a_name", {L"COM3"}, {{NEW}}, {L"COM3"}, -1, false, {kRequired}, kConfirm,
                   {false, false, false, false, false}},
        PortScript{"new_existing_refused_case_counts",
                   {L"COM3"},
                   {{TYPE, 0, L"COM3"}, {NEW}, {TYPE, 0, L"com3"}, {NEW}},
                   {L"COM3", L"com3"},
                   1,
                   true,
                   {kExists},
                   kConfirm,
                   {true, true, true, true, false}},
        PortScript{"selecting_fills_the_edit_apply_replaces",
                   {L"COM3", L"COM4"},
                   {{SELECT, 0}, {TYPE, 0, L"COM5"}, {APPLY}},
                   {L"COM5", L"COM4"},
                   0,
                   true,
                   {},
                   kConfirm,
                   {true, true, true, false, true}},
        PortScript{"apply_same_text_changes_nothing", {L"COM3", L"COM4"}, {{SELECT, 1}, {APPLY}}, {L"COM3", L"COM4"}, 1,
                   false, {}, kConfirm, {true, true, true, true, false}},
        PortScript{"apply_other_entry_refused",
                   {L"COM3", L"COM4"},
                   {{SELECT, 1}, {TYPE, 0, L"COM3"}, {APPLY}},
                   {L"COM3", L"COM4"},
                   1,
                   false,
                   {kExists},
                   kConfirm,
                   {true, true, true, true, false}},
        PortScript{"apply_empty_refused",
                   {L"COM3"},
                   {{SELECT, 0}, {TYPE, 0, L""}, {APPLY}},
                   {L"COM3"},
                   0,
                   false,
                   {kRequired},
                   kConfirm,
                   {false, true, false, false, false}},
        PortScript{"delete_cancelled",
                   {L"COM3", L"COM4"},
                   {{SELECT, 0}, {DEL, 0, nullptr, IDCANCEL}},
                   {L"COM3", L"COM4"},
                   0,
                   false,
                   {L"Remove \"COM3\"?"},
                   kConfirm,
                   {true, true, true, false, true}},
        PortScript{"delete_last_entry_moves_selection_up",
                   {L"COM3", L"COM4"},
                   {{SELECT, 1}, {DEL, 0, nullptr, IDOK}},
                   {L"COM3"},
                   0,
                   true,
                   {L"Remove \"COM4\"?"},
                   kConfirm,
                   {true, true, true, false, false}},
        PortScript{"delete_only_entry_leaves_no_selection",
                   {L"COM3"},
                   {{SELECT, 0}, {DEL, 0, nullptr, IDOK, TRUE}},
                   {},
                   -1,
                   true,
                   {L"Remove \"COM3\"?"},
                   kConfirm & ~CONFIRM_DELETE_ITEM,
                   {true, false, false, false, false}},
        PortScript{"delete_all_counts",
                   {L"COM3", L"COM4", L"COM5"},
                   {{SELECT, 1}, {DEL_ALL, 0, nullptr, IDOK}},
                   {},
                   -1,
                   true,
                   {L"Remove 3 items?"},
                   kConfirm,
                   {true, false, false, false, false}},
        PortScript{"sort_by_code_units_keeps_the_selection",
                   {L"com1", L"COM2", L"COM10"},
                   {{SELECT, 0}, {SORT}},
                   {L"COM10", L"COM2", L"com1"},
                   2,
                   true,
                   {},
                   kConfirm,
                   {true, true, true, true, false}},
        PortScript{"move_up_then_down",
                   {L"A", L"B", L"C"},
                   {{SELECT, 2}, {UP}, {UP}},
                   {L"C", L"A", L"B"},
                   0,
                   true,
                   {},
                   kConfirm,
                   {true, true, true, false, true}},
        PortScript{"move_down_to_the_end",
                   {L"A", L"B", L"C"},
                   {{SELECT, 0}, {DOWN}, {DOWN}},
                   {L"B", L"C", L"A"},
                   2,
                   true,
                   {},
                   kConfirm,
                   {true, true, true, true, false}}),
    [](const ::testing::TestParamInfo<PortScript>& info) { return std::string(info.param.name); });

// ---- Tool bar tips.

TEST_F(MainPageTest, ToolBarTipsAreTheTextAfterTheLineFeed) {
  Open();
  HWND bar = Item(IDC_MAIN_PORT_TOOLBAR);
  EXPECT_TRUE(IsWindowVisible(bar));
  EXPECT_TRUE(GetWindowLongW(bar, GWL_STYLE) & TBSTYLE_TOOLTIPS);
  EXPECT_EQ(SendMessageW(bar, TB_BUTTONCOUNT, 0, 0), 4);
  const struct {
    int command;
    size_t size;
    std::wstring tip;
  } cases[] = {{ID_PORT_APPLY, 80, L"Save Favorite Port Changes"},
               {ID_PORT_NEW, 80, L"Add New Favorite Port"},
               {ID_PORT_DELETE, 80, L"Delete Favorite Port"},
               {ID_PORT_NEW, 5, L"Add "}};
  for (const auto& c : cases) {
    wchar_t buffer[80];
    wmemset(buffer, L'#', 80);
    NMTBGETINFOTIPW tip{};
    tip.hdr.hwndFrom = bar;
    tip.hdr.idFrom = IDC_MAIN_PORT_TOOLBAR;
    tip.hdr.code = TBN_GETINFOTIPW;
    tip.pszText = buffer;
    tip.cchTextMax = int(c.size);
    tip.iItem = c.command;
    SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_MAIN_PORT_TOOLBAR, LPARAM(&tip));
    EXPECT_EQ(std::wstring(buffer), c.tip) << c.command;
  }
}

// ---- Scrolling.

struct WheelCase {
  const char* name;
  UINT lines;  // WHEEL_PAGESCROLL for page scrolling
  int startLines;
  int delta;
  int expectedLines;  // in 60-pixel lines; -100: one page down from the start, -200: one page up
};
void PrintTo(const WheelCase& c, std::ostream* os) { *os << c.name; }

class MainPageWheel : public MainPageTest, public ::testing::WithParamInterface<WheelCase> {
 protected:
  void SetUp() override {
    MainPageTest::SetUp();
    SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &m_savedLines, 0);
  }
  void TearDown() override {
    SystemParametersInfoW(SPI_SETWHEELSCROLLLINES, m_savedLines, nullptr, 0);
    MainPageTest::TearDown();
  }
  UINT m_savedLines = 3;
};

TEST_P(MainPageWheel, MovesThePage) {
  const WheelCase& c = GetParam();
  ASSERT_TRUE(SystemParametersInfoW(SPI_SETWHEELSCROLLLINES, c.lines, nullptr, 0));
  Open(700, 100);
  CPageScroller& scroller = m_page->scroller;
  ASSERT_GT(scroller.contentHeight - scroller.pageHeight, 8 * 60) << "the page must scroll far for this table";
  for (int i = 0; i < c.startLines; ++i) SendMessageW(m_page->hwnd, WM_VSCROLL, SB_LINEDOWN, 0);
  const int start = scroller.posY;
  ASSERT_EQ(start, c.startLines * 60);
  RECT rect;
  GetWindowRect(m_page->hwnd, &rect);
  const LRESULT answer = SendMessageW(m_page->hwnd, WM_MOUSEWHEEL, MAKEWPARAM(0, WORD(short(c.delta))),
                                      MAKELPARAM(rect.left + 10, rect.top + 10));
  EXPECT_EQ(answer, 0);
  int expected = start + c.expectedLines * 60;
  if (c.expectedLines == -100) expected = start + scroller.pageHeight;
  if (c.expectedLines == -200) expected = start - scroller.pageHeight;
  EXPECT_EQ(scroller.posY, expected);
  EXPECT_EQ(GetScrollPos(m_page->hwnd, SB_VERT), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Wheel, MainPageWheel,
    ::testing::Values(WheelCase{"notch_down", 3, 0, -120, 1}, WheelCase{"notch_up", 3, 4, 120, -1},
                      WheelCase{"six_notches_down", 3, 0, -720, 6}, WheelCase{"six_notches_up", 3, 7, 720, -6},
                      WheelCase{"fine_wheel_moves_one_line", 3, 2, 40, -1},
                      WheelCase{"fine_wheel_down", 3, 2, -40, 1},
                      WheelCase{"page_down", WHEEL_PAGESCROLL, 0, -120, -100},
                      WheelCase{"page_up", WHEEL_PAGESCROLL, 5, 120, -200}),
    [](const ::testing::TestParamInfo<WheelCase>& info) { return std::string(info.param.name); });

TEST_F(MainPageTest, TheEndShowsTheLowestControl) {
  Open(700, 600);
  CPageScroller& scroller = m_page->scroller;
  ASSERT_GT(scroller.contentHeight, scroller.pageHeight) << "the page is taller than 600 pixels";
  for (int i = 0; i < 5; ++i) SendMessageW(m_page->hwnd, WM_VSCROLL, SB_PAGEDOWN, 0);
  RECT client;
  GetClientRect(m_page->hwnd, &client);
  int lowest = 0;
  for (HWND child = GetWindow(m_page->hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, m_page->hwnd, reinterpret_cast<POINT*>(&rect), 2);
    lowest = std::max(lowest, int(rect.bottom));
  }
  EXPECT_GT(lowest, 0);
  EXPECT_LE(lowest, client.bottom);
  EXPECT_GE(lowest, client.bottom - 8 - 1);
  // A page that fits: the wheel is left to the default.
  SetWindowPos(m_page->hwnd, nullptr, 0, 0, 700, 2000, SWP_NOZORDER);
  EXPECT_EQ(scroller.posY, 0);
}

TEST_F(MainPageTest, GroupBoxesClipTheirSiblings) {
  Open();
  for (UINT id : {IDC_MAIN_READER_GROUP, IDC_MAIN_LOG_GROUP, IDC_MAIN_SEARCH_GROUP, IDC_MAIN_EVENTS_GROUP,
                  IDC_MAIN_VOMBRA_GROUP, IDC_MAIN_PORTS_GROUP}) {
    ASSERT_NE(Item(id), nullptr) << id;
    EXPECT_TRUE(GetWindowLongW(Item(id), GWL_STYLE) & WS_CLIPSIBLINGS) << id;
  }
}

// A regjump.exe placed where the page looks for it, taken away at the end. App Paths is one per prefix:
// the registry test lock keeps suites running side by side from seeing each other's entry.
class RegJumpPlace {
 public:
  enum Where { NOWHERE, SEARCH_PATH, APP_PATHS };
  explicit RegJumpPlace(Where where, const std::wstring& source = L"") : m_where(where) {
    wchar_t path[4096];
    GetEnvironmentVariableW(L"PATH", path, 4096);
    m_savedPath = path;
    if (where == NOWHERE) return;
    m_exe = m_folder / L"regjump.exe";
    if (source.empty()) {
      WriteBytes(m_exe, "MZ");
    } else {
      CopyFileW(source.c_str(), m_exe.c_str(), FALSE);
    }
    if (where == SEARCH_PATH) {
      SetEnvironmentVariableW(L"PATH", (m_folder.Path() + L";" + m_savedPath).c_str());
    } else {
      HKEY key = nullptr;
      RegCreateKeyExW(HKEY_CURRENT_USER, kAppPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_exe.c_str()),
                     DWORD((m_exe.size() + 1) * 2));
      RegCloseKey(key);
    }
  }
  ~RegJumpPlace() {
    SetEnvironmentVariableW(L"PATH", m_savedPath.c_str());
    if (m_where == APP_PATHS) RegDeleteKeyW(HKEY_CURRENT_USER, kAppPath);
  }
  const std::wstring& Exe() const { return m_exe; }

 private:
  static constexpr const wchar_t* kAppPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\regjump.exe";
  RegistryTestLock m_lock;
  Where m_where;
  ScratchFolder m_folder;
  std::wstring m_exe;
  std::wstring m_savedPath;
};

// ---- Context menus: read while TrackPopupMenu runs, then closed.

// Item id -> state (MF_GRAYED etc.) of the menu that opened; empty when none opened.
std::vector<std::pair<UINT, UINT>> g_menuItems;
bool g_menuSeen = false;

// Runs until it finds the menu (a busy machine may show it late); ContextMenu stops it either way.
void CALLBACK ReadMenuTimer(HWND, UINT, UINT_PTR id, DWORD) {
  // This thread's menu window: suites running side by side show menus of their own.
  HWND menuWnd = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND wnd, LPARAM found) -> BOOL {
        wchar_t className[16] = L"";
        GetClassNameW(wnd, className, 16);
        if (wcscmp(className, L"#32768") != 0 || !IsWindowVisible(wnd)) return TRUE;
        *reinterpret_cast<HWND*>(found) = wnd;
        return FALSE;
      },
      LPARAM(&menuWnd));
  HMENU menu = menuWnd ? HMENU(SendMessageW(menuWnd, MN_GETHMENU, 0, 0)) : nullptr;
  if (!menu) return;
  KillTimer(nullptr, id);
  g_menuSeen = true;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    const UINT item = GetMenuItemID(menu, i);
    if (item != 0 && item != UINT(-1)) g_menuItems.push_back({item, GetMenuState(menu, item, MF_BYCOMMAND)});
  }
  EndMenu();
}

class MainPageMenus : public MainPageTest {
 protected:
  // Right click on the control (its centre); the menu's items.
  std::vector<std::pair<UINT, UINT>> ContextMenu(UINT control) {
    g_menuItems.clear();
    g_menuSeen = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &ReadMenuTimer);
    RECT rect;
    GetWindowRect(Item(control), &rect);
    HWND target = Item(control);
    // Group boxes pass the click to the page, as Windows does (they are transparent to the mouse).
    wchar_t className[32] = L"";
    GetClassNameW(target, className, 32);
    if ((GetWindowLongW(target, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX && _wcsicmp(className, L"Button") == 0) {
      target = m_page->hwnd;
      rect.bottom = rect.top + 6;  // on the frame's caption line
      rect.left += 10;
      rect.right = rect.left + 2;
    }
    SendMessageW(m_page->hwnd, WM_CONTEXTMENU, WPARAM(target),
                 MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2));
    KillTimer(nullptr, timer);
    Pump();
    return g_menuItems;
  }
  static std::vector<UINT> Ids(const std::vector<std::pair<UINT, UINT>>& items) {
    std::vector<UINT> ids;
    for (auto& item : items) ids.push_back(item.first);
    return ids;
  }
  static bool Grayed(const std::vector<std::pair<UINT, UINT>>& items, UINT id) {
    for (auto& item : items)
      if (item.first == id) return (item.second & MF_GRAYED) != 0;
    ADD_FAILURE() << "no item " << id;
    return false;
  }
};

// Each control opens its own menu, and only these do.
TEST_F(MainPageMenus, ControlsOpenTheirMenus) {
  RegJumpPlace noRegJump(RegJumpPlace::NOWHERE);
  Open();
  const std::vector<UINT> registry = {ID_REGISTRY_OPEN, ID_REGISTRY_DELETE};  // no regjump in the prefix
  const std::vector<UINT> log = {ID_LOG_OPEN, ID_LOG_GO, ID_LOG_CLEAR};
  const std::vector<UINT> ports = {ID_PORT_DELETE, ID_PORT_DELETE_ALL, ID_PORT_MOVE_UP, ID_PORT_MOVE_DOWN,
                                   ID_PORT_SORT};
  const struct {
    UINT control;
    std::vector<UINT> items;
  } cases[] = {{IDC_MAIN_LOAD_AT_START, registry}, {IDC_MAIN_SAVE_AT_END, registry},
               {IDC_MAIN_VOMBRA_GROUP, registry},  {IDC_MAIN_STORAGE, registry},
               {IDC_MAIN_LOG_GROUP, log},          {IDC_MAIN_LOG_LEVEL, log},
               {IDC_MAIN_PORTS, ports},            {IDC_MAIN_WIEGAND, {}},
               {IDC_MAIN_READER_GROUP, {}},        {IDC_MAIN_PORT_NAME, {}}};
  for (const auto& c : cases) EXPECT_EQ(Ids(ContextMenu(c.control)), c.items) << c.control;
}

TEST_F(MainPageMenus, PortsMenuFollowsTheListAndSelection) {
  m_settings.AdditionalPorts = {L"A", L"B", L"C"};
  Open();
  const struct {
    int selection;
    bool del, delAll, up, down, sort;
  } cases[] = {{-1, true, false, true, true, false},
               {0, false, false, true, false, false},
               {1, false, false, false, false, false},
               {2, false, false, false, true, false}};
  for (const auto& c : cases) {
    ListBox_SetCurSel(Item(IDC_MAIN_PORTS), c.selection);
    SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_MAIN_PORTS, LBN_SELCHANGE), LPARAM(Item(IDC_MAIN_PORTS)));
    auto items = ContextMenu(IDC_MAIN_PORTS);
    EXPECT_EQ(Grayed(items, ID_PORT_DELETE), c.del) << c.selection;
    EXPECT_EQ(Grayed(items, ID_PORT_DELETE_ALL), c.delAll) << c.selection;
    EXPECT_EQ(Grayed(items, ID_PORT_MOVE_UP), c.up) << c.selection;
    EXPECT_EQ(Grayed(items, ID_PORT_MOVE_DOWN), c.down) << c.selection;
    EXPECT_EQ(Grayed(items, ID_PORT_SORT), c.sort) << c.selection;
  }
  // One entry: nothing to sort; none: nothing to delete.
  m_settings.AdditionalPorts = {L"A"};
  m_page->UpdateData(false);
  auto items = ContextMenu(IDC_MAIN_PORTS);
  EXPECT_TRUE(Grayed(items, ID_PORT_SORT));
  EXPECT_FALSE(Grayed(items, ID_PORT_DELETE_ALL));
  m_settings.AdditionalPorts.clear();
  m_page->UpdateData(false);
  items = ContextMenu(IDC_MAIN_PORTS);
  EXPECT_TRUE(Grayed(items, ID_PORT_DELETE_ALL));
  EXPECT_TRUE(Grayed(items, ID_PORT_DELETE));
}

// The add-in's log file where the page looks for it: its state is kept and put back, and no other test
// program touches it meanwhile (the add-in writes it as its settings say: the settings lock guards both).
class ProductLog {
 public:
  ProductLog() : m_path(CMainPage::LogFilePath()) {
    m_folder = m_path.substr(0, m_path.rfind(L'\\'));
    const DWORD attributes = GetFileAttributesW(m_path.c_str());
    m_existed = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (m_existed) m_bytes = ReadBytes(m_path);
    Absent();
  }
  ~ProductLog() {
    Absent();
    if (m_existed) WriteBytes(m_path, m_bytes);
  }
  void Absent() {
    if (GetFileAttributesW(m_path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveDirectoryW(m_path.c_str());
    }
    DeleteFileW(m_path.c_str());
  }
  void Present(const std::string& bytes) {
    Absent();
    CreateDirectoryPath(m_folder.c_str());
    WriteBytes(m_path, bytes);
  }
  void Folder() {
    Absent();
    CreateDirectoryPath(m_path.c_str());
  }
  const std::wstring& Path() const { return m_path; }

 private:
  RegistryTestLock m_lock;
  std::wstring m_path, m_folder;
  bool m_existed = false;
  std::string m_bytes;
};

TEST_F(MainPageMenus, LogMenuNeedsTheLogFile) {
  ProductLog log;
  EXPECT_NE(log.Path().find(L"\\Tarvelon\\Vombra\\Vombra.log"), std::wstring::npos);
  Open();
  const struct {
    const char* name;
    void (*make)(ProductLog&);
    bool grayed;
  } cases[] = {{"absent", [](ProductLog& l) { l.Absent(); }, true},
               {"present", [](ProductLog& l) { l.Present("line\r\n"); }, false},
               {"a_folder", [](ProductLog& l) { l.Folder(); }, true}};
  for (const auto& c : cases) {
    c.make(log);
    auto items = ContextMenu(IDC_MAIN_LOG_LEVEL);
    ASSERT_EQ(items.size(), 3u) << c.name;
    for (auto& item : items) EXPECT_EQ((item.second & MF_GRAYED) != 0, c.grayed) << c.name << " " << item.first;
  }
}

TEST_F(MainPageMenus, ClearLogEmptiesTheFileAndLeavesAFolderAlone) {
  ProductLog log;
  Open();
  log.Present("some lines\r\nmore\r\n");
  Command(ID_LOG_CLEAR);
  EXPECT_TRUE(FileExists(log.Path()));
  EXPECT_EQ(ReadBytes(log.Path()), "");
  log.Folder();
  Command(ID_LOG_CLEAR);
  EXPECT_TRUE(GetFileAttributesW(log.Path().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  log.Absent();
  Command(ID_LOG_CLEAR);
  EXPECT_FALSE(FileExists(log.Path()));
  EXPECT_TRUE(g_boxes.empty());
  // A file that cannot be opened for writing: the error is shown.
  log.Present("held\r\n");
  HANDLE held = CreateFileW(log.Path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Command(ID_LOG_CLEAR);
  CloseHandle(held);
  EXPECT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(ReadBytes(log.Path()), "held\r\n");
}

TEST_F(MainPageMenus, RegistryMenuFollowsRegJumpAndTheStoredSettings) {
  Open();
  struct Case {
    const char* name;
    RegJumpPlace::Where regJump;
    const wchar_t* hkcuValue;  // a value in the HKCU settings key
    const wchar_t* hklmValue;
    bool emptyHkcuKey;
    bool goPresent;
    bool deleteGrayed;
  };
  const Case cases[] = {{"nothing_stored_no_regjump", RegJumpPlace::NOWHERE, nullptr, nullptr, false, false, true},
                        {"empty_key_counts_as_nothing", RegJumpPlace::NOWHERE, nullptr, nullptr, true, false, true},
                        {"hkcu_data", RegJumpPlace::SEARCH_PATH, L"Portname", nullptr, false, true, false},
                        {"hklm_data", RegJumpPlace::APP_PATHS, nullptr, L"Portname", false, true, false}};
  for (const Case& c : cases) {
    CleanSettingsKeys keys;
    RegJumpPlace regJump(c.regJump);
    for (auto [root, value] : {std::make_pair(HKEY_CURRENT_USER, c.hkcuValue),
                               std::make_pair(HKEY_LOCAL_MACHINE, c.hklmValue)}) {
      if (!value && !(root == HKEY_CURRENT_USER && c.emptyHkcuKey)) continue;
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExW(root, kSettingsKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
      if (value) RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"COM1"), 10);
      RegCloseKey(key);
    }
    auto items = ContextMenu(IDC_MAIN_SAVE_AT_END);
    const std::vector<UINT> ids = Ids(items);
    EXPECT_EQ(std::find(ids.begin(), ids.end(), UINT(ID_REGISTRY_GO)) != ids.end(), c.goPresent) << c.name;
    EXPECT_EQ(Grayed(items, ID_REGISTRY_DELETE), c.deleteGrayed) << c.name;
    EXPECT_FALSE(Grayed(items, ID_REGISTRY_OPEN)) << c.name;
  }
}

// ---- Shell calls.

struct ShellCase {
  const char* name;
  UINT command;
  RegJumpPlace::Where regJump;
  BYTE hive;
  const wchar_t* file;  // "<log>", "<regjump>" stand for the paths of the fixture
  const wchar_t* verb;
  const wchar_t* parameters;
};
void PrintTo(const ShellCase& c, std::ostream* os) { *os << c.name; }

class MainPageShell : public MainPageTest, public ::testing::WithParamInterface<ShellCase> {};

TEST_P(MainPageShell, StartsTheRightProgram) {
  const ShellCase& c = GetParam();
  RegJumpPlace regJump(c.regJump);
  m_settings.hive = c.hive;
  Open();
  Command(c.command);
  ASSERT_EQ(g_shellCalls.size(), 1u);
  const ShellCall& call = g_shellCalls[0];
  const std::wstring log = CMainPage::LogFilePath();
  std::wstring file = c.file;
  if (file == L"<log>") file = log;
  if (file == L"<regjump>") file = regJump.Exe();
  std::wstring verb = c.verb;
  if (verb == L"<elevated>") verb = IsWindowsVistaOrLater() ? L"runas" : L"open";
  std::wstring parameters = c.parameters;
  const size_t logMark = parameters.find(L"<log>");
  if (logMark != std::wstring::npos) parameters.replace(logMark, 5, log);
  EXPECT_EQ(_wcsicmp(call.File.c_str(), file.c_str()), 0) << call.File;
  EXPECT_EQ(call.Verb, verb);
  EXPECT_EQ(call.Parameters, parameters);
  EXPECT_EQ(call.Mask, ULONG(SEE_MASK_FLAG_NO_UI | SEE_MASK_UNICODE));
  EXPECT_EQ(call.Show, SW_SHOWNORMAL);
  EXPECT_EQ(call.Owner, nullptr);
  EXPECT_TRUE(g_boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MainPageShell,
    ::testing::Values(
        ShellCase{"open_log", ID_LOG_OPEN, RegJumpPlace::NOWHERE, 0, L"<log>", L"open", L"<null>"},
        ShellCase{"go_log", ID_LOG_GO, RegJumpPlace::NOWHERE, 0, L"explorer.exe", L"open", L"/select, \"<log>\""},
        ShellCase{"open_registry", ID_REGISTRY_OPEN, RegJumpPlace::NOWHERE, 0, L"regedit.exe", L"open", L"<null>"},
        ShellCase{"regjump_on_search_path_hkcu", ID_REGISTRY_GO, RegJumpPlace::SEARCH_PATH, 0, L"<regjump>",
                  L"<elevated>", L"HKCU\\Software\\Tarvelon\\Vombra"},
        ShellCase{"regjump_in_app_paths_hklm", ID_REGISTRY_GO, RegJumpPlace::APP_PATHS, 1, L"<regjump>",
                  L"<elevated>", L"HKLM\\Software\\Tarvelon\\Vombra"},
        ShellCase{"no_regjump_falls_back_to_regedit", ID_REGISTRY_GO, RegJumpPlace::NOWHERE, 1, L"regedit.exe",
                  L"open", L"<null>"}),
    [](const ::testing::TestParamInfo<ShellCase>& info) { return std::string(info.param.name); });

TEST_F(MainPageTest, FailedShellCallIsShown) {
  SetExceptionStringIds(IDS_CONFIG_SYSTEM_ERROR, IDS_CONFIG_COM_ERROR);  // as the program does at start-up
  Open();
  g_shellError = ERROR_FILE_NOT_FOUND;
  for (UINT command : {ID_LOG_OPEN, ID_LOG_GO, ID_REGISTRY_OPEN, ID_REGISTRY_GO}) {
    g_boxes.clear();
    Command(command);
    ASSERT_EQ(g_boxes.size(), 1u) << command;
    EXPECT_EQ(g_boxes[0].rfind(L"System error. Code: 2.", 0), 0u) << std::string(g_boxes[0].begin(), g_boxes[0].end());
  }
}

// The one real start through the shell: a regjump.exe that records how it was started.
TEST_F(MainPageTest, RegJumpReallyStartsWithTheKey) {
  std::wstring folder;
  GetModuleFolder(nullptr, folder);
  const std::wstring fake = folder + L"FakeRegJump.exe";
  ASSERT_TRUE(FileExists(fake)) << "FakeRegJump.exe is built beside the tests";
  ShellExecuteSeam = CShellExecuteSeam();  // the system's
  RegJumpPlace regJump(RegJumpPlace::SEARCH_PATH, fake);
  ScratchFolder scratch;
  const std::wstring record = scratch / L"record.txt";
  SetEnvironmentVariableW(L"FAKE_REGJUMP_RECORD", record.c_str());
  m_settings.hive = 1;
  Open();
  Command(ID_REGISTRY_GO);
  SetEnvironmentVariableW(L"FAKE_REGJUMP_RECORD", nullptr);
  EXPECT_TRUE(g_boxes.empty()) << (g_boxes.empty() ? "" : std::string(g_boxes[0].begin(), g_boxes[0].end()));
  std::string bytes;
  for (int i = 0; i < 200 && bytes.empty(); ++i) {
    Sleep(50);
    bytes = ReadBytes(record);
  }
  const std::wstring line(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  EXPECT_NE(line.find(L"HKLM\\Software\\Tarvelon\\Vombra"), std::wstring::npos) << std::string(line.begin(), line.end());
}

// ---- Registry.

bool KeyExists(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void StoreValue(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  const DWORD one = 1;
  RegSetValueExW(key, L"Model", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  RegCloseKey(key);
}

TEST_F(MainPageTest, DeleteSettingsAsksThenRemovesBothHives) {
  Open();
  CleanSettingsKeys keys;
  StoreValue(HKEY_CURRENT_USER, kSettingsKeyPath);
  StoreValue(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
  StoreValue(HKEY_CURRENT_USER, L"Software\\Tarvelon\\VombraTestOther");  // another product of the maker

  g_answers.push_back({IDCANCEL, FALSE});
  Command(ID_REGISTRY_DELETE);
  EXPECT_EQ(g_boxes, (std::vector<std::wstring>{L"Really?"}));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kSettingsKeyPath));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSettingsKeyPath));

  g_answers.push_back({IDOK, FALSE});
  Command(ID_REGISTRY_DELETE);
  EXPECT_EQ(g_boxes.size(), 2u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kSettingsKeyPath));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSettingsKeyPath));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Tarvelon\\VombraTestOther"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Tarvelon")) << "not empty: kept";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Tarvelon")) << "empty: removed";
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tarvelon\\VombraTestOther");
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tarvelon");
}

// Every row of the control table set on the page, saved as the main window saves, and read back by the
// add-in's own loader.
TEST_F(MainPageTest, SavedSettingsAreWhatTheLoaderReads) {
  m_settings.formats = {MakeFormat(7, L"Seven"), MakeFormat(9, L"Nine")};
  m_settings.ClearFormatIndex();
  // Bits the page does not show must survive.
  m_settings.SearchFlags = 0x40;
  m_settings.ReaderFlags = 0x8;
  m_settings.SettingFlags = 0x4;
  m_settings.Portname = L"Auto";
  Open();
  {
    CleanSettingsKeys keys;
    for (UINT id : {IDC_MAIN_SEARCH_COM, IDC_MAIN_SEARCH_VIRTUAL, IDC_MAIN_SEARCH_VIDPID, IDC_MAIN_SEARCH_DESCRIPTION,
                    IDC_MAIN_SEARCH_CCID, IDC_MAIN_SEARCH_IP, IDC_MAIN_WIEGAND, IDC_MAIN_BINARY,
                    IDC_MAIN_DIFFERENT_CODES, IDC_MAIN_NVT, IDC_MAIN_LOAD_AT_START, IDC_MAIN_SAVE_AT_END,
                    IDC_MAIN_EVENTS_ENABLED, IDC_MAIN_EVENT_CONNECT, IDC_MAIN_EVENT_DISCONNECT,
                    IDC_MAIN_EVENT_NO_CARD, IDC_MAIN_EVENT_COMMAND})
      Click(id);
    Type(IDC_MAIN_FIND_TIMEOUT, L"4100");
    Type(IDC_MAIN_FIND_TRIES, L"3");
    Type(IDC_MAIN_CONNECT_TIMEOUT, L"-1");
    Type(IDC_MAIN_CONNECT_PERIOD, L"2100");
    Type(IDC_MAIN_RX_PERIOD, L"150");
    Type(IDC_MAIN_REQ_TIMEOUT, L"1200");
    Type(IDC_MAIN_REQ_TRIES, L"7");
    Type(IDC_MAIN_LOG_SIZE, L"25");
    Choose(IDC_MAIN_MODEL, 12);
    Choose(IDC_MAIN_SPEED, 6);
    Choose(IDC_MAIN_STOP_BITS, 1);
    Choose(IDC_MAIN_FORMAT, 2);
    Choose(IDC_MAIN_LOG_LEVEL, 5);
    SetWindowTextW(Item(IDC_MAIN_PORT_NAME), L"COM40");
    Command(ID_PORT_NEW);
    SetWindowTextW(Item(IDC_MAIN_PORT_NAME), L"127.0.0.1:4001");
    Command(ID_PORT_NEW);
    ComboBox_SetCurSel(Item(IDC_MAIN_PORT), -1);
    SetWindowTextW(Item(IDC_MAIN_PORT), L"COM33");
    m_page->UpdateData(true);
    // The registry keeps only the four named reader flags: the page keeps the others in the document.
    EXPECT_EQ(m_settings.ReaderFlags, 0x8u | RDF_WIEGAND | RDF_BINARY | RDF_DIFFERENT_CODES | RDF_NVT);
    m_settings.SaveSettings();

    _SETTINGS_INFO loaded;
    RegLoadSettings(loaded, SP_MAIN | SP_LISTS);
    EXPECT_EQ(loaded.Hive, 0);
    EXPECT_EQ(loaded.SearchFlags, 0x40u | 0x3F);
    EXPECT_EQ(loaded.FindIpTimeout, 4100u);
    EXPECT_EQ(loaded.FindIpTries, 3u);
    EXPECT_EQ(loaded.AdditionalPorts, (std::vector<std::wstring>{L"COM40", L"127.0.0.1:4001"}));
    EXPECT_EQ(loaded.Portname, L"COM33");
    EXPECT_EQ(loaded.Model, 12u);
    EXPECT_EQ(loaded.Speed, 230400u);
    EXPECT_EQ(loaded.StopBits, 1u);
    EXPECT_EQ(loaded.Flags, UINT(RDF_WIEGAND | RDF_BINARY | RDF_DIFFERENT_CODES | RDF_NVT));
    EXPECT_EQ(loaded.ConnectTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(loaded.ConnectPeriod, 2100u);
    EXPECT_EQ(loaded.RxPeriod, 150u);
    EXPECT_EQ(loaded.ReqTimeout, 1200u);
    EXPECT_EQ(loaded.ReqTries, 7u);
    EXPECT_EQ(loaded.FormatId, 9u);
    EXPECT_EQ(loaded.LogLevel, 5u);
    EXPECT_EQ(loaded.LogMaxSize, 25u);
    EXPECT_EQ(loaded.ExternalEventFlags, 0xFu);
    EXPECT_EQ(loaded.SettingFlags, 0x4u | STF_LOAD_AT_START | STF_SAVE_AT_END);

    // Storage HKLM: the key moves there.
    Choose(IDC_MAIN_STORAGE, 1);
    m_page->UpdateData(true);
    m_settings.SaveSettings();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kSettingsKeyPath));
    _SETTINGS_INFO machine;
    RegLoadSettings(machine, SP_MAIN | SP_LISTS);
    EXPECT_EQ(machine.Hive, 1);
    EXPECT_EQ(machine.Portname, L"COM33");
  }
}

// ---- Over Wine's own winscard.dll: a child process started from a folder without the double.

const wchar_t kStubChildVariable[] = L"MAIN_PAGE_STUB_RESULT";

void CheckPageOverStub(const wchar_t* resultFile) {
  CWinscardDouble probe;
  ASSERT_FALSE(probe.Loaded()) << "the test double was loaded where Wine's stub was asked for";
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  SetUILanguage(kEnglishUi);
  ASSERT_TRUE(RegisterTestWindowClass(kParentClass, ParentProc));
  HWND parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 700, 600, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  std::vector<std::wstring> serial;
  ListComPorts(serial);
  {
    CAppSettings settings;
    CCcidConnection watcher;
    CMainPage page(settings, watcher);
    ASSERT_TRUE(CDialog::CreateFromTemplate(&page, IDD_PAGE_MAIN, parent));
    HWND combo = GetDlgItem(page.hwnd, IDC_MAIN_PORT);
    std::vector<std::wstring> items;
    for (int i = 1; i < ComboBox_GetCount(combo); ++i) {
      wchar_t text[256] = L"";
      ComboBox_GetLBText(combo, i, text);
      items.push_back(text);
    }
    EXPECT_EQ(items, serial);
    EXPECT_NE(std::find(items.begin(), items.end(), L"COM9"), items.end());
    EXPECT_FALSE(watcher.IsPnpNotificationAdded());
    EXPECT_FALSE(watcher.IsStarted());
    EXPECT_FALSE(settings.settingsModified);
    SendMessageW(GetDlgItem(page.hwnd, IDC_MAIN_REFRESH), BM_CLICK, 0, 0);
    EXPECT_EQ(ComboBox_GetCount(combo), int(serial.size() + 1));
  }
  DestroyWindow(parent);
  if (::testing::Test::HasFailure()) return;
  WriteBytes(resultFile, "ok");
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(MainPageOverWineStub, ListsSerialPortsOnly) {
  wchar_t resultFile[MAX_PATH];
  if (GetEnvironmentVariableW(kStubChildVariable, resultFile, MAX_PATH)) {
    CheckPageOverStub(resultFile);
    return;
  }
  if (!RunningOnWine()) GTEST_SKIP() << "Wine's stub winscard.dll exists only under Wine";
  SerialPortValue serial(L"\\Device\\VombraStub9", L"com9");
  // Wine takes the DLL overrides from the environment it started with, but falls back to its own
  // winscard.dll for a program whose folder holds no double: so the child is a copy of this executable,
  // with the add-in module the test support wants, in a folder of its own.
  ScratchFolder folder;
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring exe = folder / L"MainPageStubChild.exe";
  const std::wstring result = folder / L"result.txt";
  ASSERT_TRUE(CopyFileW(self, exe.c_str(), FALSE)) << "error " << GetLastError();
  std::wstring selfFolder;
  GetModuleFolder(nullptr, selfFolder);
  ASSERT_TRUE(CopyFileW((selfFolder + L"Vombra.dll").c_str(), (folder / L"Vombra.dll").c_str(), FALSE));

  std::wstring command = L"\"" + exe + L"\" --gtest_filter=MainPageOverWineStub.ListsSerialPortsOnly";
  SetEnvironmentVariableW(kStubChildVariable, result.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL created =
      CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  const DWORD createError = GetLastError();
  SetEnvironmentVariableW(kStubChildVariable, nullptr);
  ASSERT_TRUE(created) << "error " << createError;
  const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, 5000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the page hung over the stub";
  EXPECT_EQ(exitCode, 0u) << "the child's checks failed or it crashed";
  EXPECT_EQ(ReadBytes(result), "ok") << "the child did not run its checks to the end";
}

}  // namespace
