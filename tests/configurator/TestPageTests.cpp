// The Test page and its Events tab against the scripted fake add-in (this program is
// ConfigVombraFakePage.exe, so the name rule makes the host load VombraFakePage.dll): the device list's
// order, row texts and selection, the status timer, Close, Reconnect, load and unload, the last key, and
// the Events tab over the test log (newest first, the refresh timer, Clear, the add-in's language, the
// context menu's language mark, help by the event's name).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <htmlhelp.h>

#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "EventsPage.h"
#include "FakeAddin.h"
#include "KeyModel.h"
#include "MessageBox.h"
#include "MethodsPage.h"
#include "PageTestSupport.h"
#include "PropertiesPage.h"
#include "Strings.h"
#include "TestLog.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The configurator's own application: the Events tab's help goes through it.
CConfigVombraApp theApp;

std::vector<std::wstring> g_shown;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_shown.push_back(config->pszContent ? config->pszContent : L"");
  if (button) *button = IDOK;
  if (radio) *radio = 0;
  if (verified) *verified = FALSE;
  return S_OK;
}

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::wstring Version(UINT version) {
  std::wstring text;
  VersionToStr(version, text);
  return text;
}

class TestPageFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    MessageBoxSeam.TaskDialogIndirect = ScriptedTaskDialog;
    g_shown.clear();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraTestPage-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraTestPageParent", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraTestPageParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 700, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
    m_page = std::make_unique<CTestPage>(*m_host, m_settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_TEST, m_parent));
    ASSERT_NE(m_page->eventsPage, nullptr);
  }
  void TearDown() override {
    m_page.reset();
    if (m_parent) DestroyWindow(m_parent);
    m_host.reset();
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    MessageBoxSeam.TaskDialogIndirect = nullptr;
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  FakeAddinState* State() {
    HMODULE fake = GetModuleHandleW(L"VombraFakePage.dll");
    if (!fake) return nullptr;
    auto get = reinterpret_cast<PFN_FAKE_ADDIN_STATE>(reinterpret_cast<void*>(GetProcAddress(fake, "FakeAddinGetState")));
    return get ? get() : nullptr;
  }

  void Click(UINT id) { SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

  void LoadFake() {
    Click(IDC_TEST_LOAD);
    ASSERT_TRUE(m_host->IsLoaded());
    ASSERT_NE(State(), nullptr);
  }

  void AddReader(const wchar_t* id, int32_t model, int32_t serial, uint32_t version, int32_t status,
                 bool unknown = false, bool odd = false) {
    FakeReaderInfo& reader = State()->Readers[State()->ReaderCount++];
    reader = FakeReaderInfo{};
    wcsncpy(reader.DeviceId, id, 15);
    reader.Model = model;
    reader.SerialNumber = serial;
    reader.Version = version;
    reader.Status = status;
    reader.Unknown = unknown;
    reader.OddTypes = odd;
  }

  // Opens the reader through the host, as the Connection dialog does.
  void OpenReader(const wchar_t* id) {
    wcsncpy(State()->DeviceId, id, 31);
    std::wstring opened;
    ASSERT_TRUE(m_host->Open(&opened));
    ASSERT_EQ(opened, id);
  }

  int CallCount(const wchar_t* name) {
    int count = 0;
    for (int i = 0; i < State()->Calls && i < 64; ++i) count += wcscmp(State()->Journal[i].Name, name) == 0;
    return count;
  }

  HWND Devices() const { return GetDlgItem(m_page->hwnd, IDC_TEST_DEVICES); }
  int DeviceCount() const { return int(SendMessageW(Devices(), CB_GETCOUNT, 0, 0)); }
  int Selection() const { return int(SendMessageW(Devices(), CB_GETCURSEL, 0, 0)); }
  std::wstring DeviceRow(int row) const {
    const int length = int(SendMessageW(Devices(), CB_GETLBTEXTLEN, row, 0));
    if (length < 0) return L"<none>";
    std::wstring text(size_t(length) + 1, L'\0');
    SendMessageW(Devices(), CB_GETLBTEXT, row, LPARAM(&text[0]));
    text.resize(size_t(length));
    return text;
  }
  bool Enabled(UINT id) const { return IsWindowEnabled(GetDlgItem(m_page->hwnd, id)) != FALSE; }
  std::wstring ButtonText(UINT id) const {
    wchar_t text[64] = {};
    GetDlgItemTextW(m_page->hwnd, id, text, 64);
    return text;
  }

  // Dispatches what waits for the host's hidden window (the add-in's events).
  void PumpHost() {
    MSG msg;
    while (PeekMessageW(&msg, m_host->GetHostWindow(), 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  // --- the Events tab
  CEventsPage& Events() { return *m_page->eventsPage; }
  HWND EventsList() { return GetDlgItem(Events().hwnd, IDC_EVENTS_LIST); }
  int EventRows() { return int(SendMessageW(EventsList(), LVM_GETITEMCOUNT, 0, 0)); }
  std::wstring Cell(int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(EventsList(), LVM_GETITEMTEXTW, row, LPARAM(&item));
    return text;
  }
  int Image(int row) {
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = -7;
    SendMessageW(EventsList(), LVM_GETITEMW, 0, LPARAM(&item));
    return item.iImage;
  }
  void Tick() { SendMessageW(Events().hwnd, WM_TIMER, 1, 0); }

  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CTestPage> m_page;
};

// --- device list ---

TEST_F(TestPageFixture, ListsOpenReadersInOrdinalOrderWithTheirRowTexts) {
  LoadFake();
  AddReader(L"COM7", 1, 123, 0x01020003, 3);
  AddReader(L"COM10", 0, 55, 7, 2);                  // model 0 hides s/n and version
  AddReader(L"COM3", 2, 9, 0, 1, /*unknown*/ true);  // GetReaderInfo false: ID and state only
  AddReader(L"COM3A", 3, -1, 0, 0);                  // s/n -1 and version 0 not shown, state unknown
  AddReader(L"COM4", 4, 77, 5, 7, false, /*odd*/ true);  // wrong types and a state out of range
  AddReader(L"COM5", 13, 5, 5, 3);                       // a model out of range
  for (const wchar_t* id : {L"COM7", L"COM10", L"COM3", L"COM3A", L"COM4", L"COM5"}) OpenReader(id);

  const std::wstring rows[] = {
      L"COM10 " + Str(IDS_TEST_STATUS_BASE + 2),
      L"COM3 " + Str(IDS_TEST_STATUS_BASE + 1),
      L"COM3A - " + std::wstring(ReaderModelName(READER_MODEL(3))),
      L"COM4 - " + std::wstring(ReaderModelName(READER_MODEL(4))),  // state 7 lies outside 0..3
      L"COM5 " + Str(IDS_TEST_STATUS_BASE + 3),
      L"COM7 " + Str(IDS_TEST_STATUS_BASE + 3) + L" - " + ReaderModelName(READER_MODEL(1)) + L" s/n 123 v" +
          Version(0x01020003),
  };
  ASSERT_EQ(DeviceCount(), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(DeviceRow(i), rows[i]) << "row " << i;
  EXPECT_EQ(Selection(), 5) << "the first reader opened stays selected while rows go in before it";
  EXPECT_TRUE(Enabled(IDC_TEST_CLOSE));
  EXPECT_TRUE(Enabled(IDC_TEST_RECONNECT));
  EXPECT_TRUE(Enabled(IDC_TEST_OPEN)) << "\"Open...\" follows the loaded add-in";
  EXPECT_TRUE(m_page->statusTimer);
}

TEST_F(TestPageFixture, AStatusChangeRewritesOneRowAndKeepsTheSelection) {
  LoadFake();
  AddReader(L"COM7", 1, 1, 0, 3);
  AddReader(L"COM10", 1, 2, 0, 3);
  AddReader(L"COM3", 1, 3, 0, 3);
  for (const wchar_t* id : {L"COM7", L"COM10", L"COM3"}) OpenReader(id);
  SendMessageW(Devices(), CB_SETCURSEL, 2, 0);  // COM7
  const std::wstring first = DeviceRow(0);
  State()->Readers[0].Status = 1;
  SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
  EXPECT_EQ(DeviceRow(2).substr(0, 5 + Str(IDS_TEST_STATUS_BASE + 1).size()),
            L"COM7 " + Str(IDS_TEST_STATUS_BASE + 1));
  EXPECT_EQ(DeviceRow(0), first);
  EXPECT_EQ(Selection(), 2);
  EXPECT_EQ(DeviceCount(), 3);
}

TEST_F(TestPageFixture, ClosingTheSelectedRowSelectsTheFirstAndTheLastLeavesNone) {
  LoadFake();
  for (const wchar_t* id : {L"COM7", L"COM10", L"COM3"}) OpenReader(id);
  SendMessageW(Devices(), CB_SETCURSEL, 1, 0);  // COM3
  Click(IDC_TEST_CLOSE);
  ASSERT_EQ(DeviceCount(), 2);
  EXPECT_EQ(Selection(), 0);
  EXPECT_EQ(DeviceRow(0).substr(0, 6), L"COM10 ");
  Click(IDC_TEST_CLOSE);
  Click(IDC_TEST_CLOSE);
  EXPECT_EQ(DeviceCount(), 0);
  EXPECT_EQ(Selection(), -1);
  EXPECT_FALSE(Enabled(IDC_TEST_CLOSE));
  EXPECT_FALSE(Enabled(IDC_TEST_RECONNECT));
  EXPECT_FALSE(m_page->statusTimer);
  EXPECT_EQ(CallCount(L"Close"), 3);
}

TEST_F(TestPageFixture, ReconnectAfterASaveReloadsTheSettingsOnce) {
  LoadFake();
  OpenReader(L"COM7");
  m_page->settingsSaved = true;
  Click(IDC_TEST_RECONNECT);
  Click(IDC_TEST_RECONNECT);
  EXPECT_EQ(CallCount(L"LoadSettings"), 1);
  EXPECT_EQ(CallCount(L"Reconnect"), 2);
  EXPECT_FALSE(m_page->settingsSaved);
  // A refused reload shows the add-in's text and keeps the flag for the next try.
  m_page->settingsSaved = true;
  State()->FailNext = true;
  Click(IDC_TEST_RECONNECT);
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_NE(g_shown[0].find(L"LoadSettings"), std::wstring::npos) << std::string(g_shown[0].begin(), g_shown[0].end());
  EXPECT_TRUE(m_page->settingsSaved);
  EXPECT_EQ(CallCount(L"Reconnect"), 2);
}

TEST_F(TestPageFixture, UnloadEmptiesTheListAndStopsTheTimer) {
  EXPECT_EQ(ButtonText(IDC_TEST_LOAD), Str(IDS_TEST_LOAD_DLL));
  EXPECT_FALSE(Enabled(IDC_TEST_DEVICES));
  LoadFake();
  EXPECT_EQ(ButtonText(IDC_TEST_LOAD), Str(IDS_TEST_UNLOAD_DLL));
  EXPECT_TRUE(Enabled(IDC_TEST_DEVICES));
  OpenReader(L"COM7");
  ASSERT_TRUE(m_page->statusTimer);
  // The Properties and Methods tabs, made while the add-in is loaded, list its members.
  ASSERT_TRUE(m_page->SelectTab(TEST_TAB_PROPERTIES));
  ASSERT_TRUE(m_page->SelectTab(TEST_TAB_METHODS));
  EXPECT_EQ(SendMessageW(GetDlgItem(m_page->hwnd, IDC_TEST_TABS), TCM_GETCURSEL, 0, 0), TEST_TAB_METHODS);
  const HWND lists[] = {GetDlgItem(m_page->propertiesPage->hwnd, IDC_PROP_LIST),
                        GetDlgItem(m_page->methodsPage->hwnd, IDC_METH_LIST)};
  for (HWND list : lists) EXPECT_GT(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
  Click(IDC_TEST_LOAD);
  EXPECT_FALSE(m_host->IsLoaded());
  for (HWND list : lists) EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
  EXPECT_EQ(DeviceCount(), 0);
  EXPECT_FALSE(m_page->statusTimer);
  EXPECT_EQ(ButtonText(IDC_TEST_LOAD), Str(IDS_TEST_LOAD_DLL));
  EXPECT_FALSE(Enabled(IDC_TEST_DEVICES));
  EXPECT_FALSE(Enabled(IDC_TEST_CLOSE));
  EXPECT_TRUE(g_shown.empty());
}

TEST_F(TestPageFixture, ARefusedLoadShowsTheHostTextAndLeavesThePage) {
  SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, L"init-fails");
  Click(IDC_TEST_LOAD);
  EXPECT_FALSE(m_host->IsLoaded());
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0], Str(IDS_HOST_INIT_FAILED));
  EXPECT_EQ(ButtonText(IDC_TEST_LOAD), Str(IDS_TEST_LOAD_DLL));
  EXPECT_FALSE(Enabled(IDC_TEST_DEVICES));
}

TEST_F(TestPageFixture, CardDataBecomesTheLastKey) {
  LoadFake();
  State()->KeyType = 5;
  State()->KeyLength = 3;
  CVariantArray values(4, m_host.get());
  values.SetInt(1, 1);
  values.SetString(2, L"TracksData");
  values.SetString(3, L"123");
  m_host->CallMethod(L"Emit", &values[0], &values[1], 3);
  PumpHost();
  EXPECT_EQ(m_settings.lastKeyType, 5u);
  ASSERT_EQ(m_settings.lastKey.Length, 3);
  EXPECT_EQ(m_settings.lastKey.Data[0], 0x11);
  EXPECT_EQ(m_settings.lastKey.Data[2], 0x13);
  EXPECT_EQ(CallCount(L"GetKeyInfo"), 1);
  EXPECT_EQ(std::wstring(State()->Journal[State()->Calls - 1].Texts[0]), L"FAKE");
}

TEST_F(TestPageFixture, LoadingOrUnloadingTheAppsAddinHasTheSamplesRenderedAgain) {
  // The application's own host (the one the Formats page renders samples with).
  theApp.dataFolder = m_folder;
  CTestVombra* appHost = theApp.GetTestHost();
  ASSERT_NE(appHost, nullptr);
  std::vector<uint64_t> hints;
  auto record = [](void* owner, CDocument*, const uint64_t* bits) {
    static_cast<std::vector<uint64_t>*>(owner)->push_back(*bits);
  };
  int view = theApp.settings.AddView({&hints, record, 0});
  auto lastKeyHints = [&] {
    int count = 0;
    for (uint64_t bits : hints) count += (bits & HINT_LAST_KEY) != 0;
    return count;
  };
  appHost->Load();
  EXPECT_TRUE(appHost->IsLoaded());
  EXPECT_EQ(lastKeyHints(), 1) << "samples by the loaded add-in";
  hints.clear();
  appHost->Unload();
  EXPECT_EQ(lastKeyHints(), 1) << "samples of an add-in now gone are stale";
  theApp.settings.RemoveView(view);
}

// --- Events tab ---

TEST_F(TestPageFixture, TheEventsTabShowsTheLogNewestFirst) {
  _TEST_EVENT_INFO records[3];
  records[0] = {(13 * 3600 + 5 * 60 + 7) * 1000 + 9, 1, L"COM7", L"TracksData", L"first"};
  records[1] = {0, 2, L"COM8", L"Warn", L"midnight"};
  records[2] = {1, 3, L"COM9", L"Error", L"last"};
  m_host->GetLog().WriteEvents(records, 3);
  Events().UpdateData(false);
  ASSERT_EQ(EventRows(), 3);
  EXPECT_EQ(Cell(0, 3), L"last");
  EXPECT_EQ(Cell(0, 0), L"00:00:00.001");
  EXPECT_EQ(Cell(1, 0), L"") << "a time of 0 shows nothing";
  EXPECT_EQ(Cell(2, 0), L"13:05:07.009");
  EXPECT_EQ(Cell(2, 1), L"COM7");
  EXPECT_EQ(Cell(2, 2), L"TracksData");
  EXPECT_EQ(Image(0), 2);
  EXPECT_EQ(Image(1), 1);
  EXPECT_EQ(Image(2), 0);

  // Hiding Source keeps every text in its column.
  COLUMN_SET set = DefaultColumnSet(CS_EVENTS);
  set[EVTCOL_SOURCE].flags &= ~COLUMN_VISIBLE;
  m_settings.eventsColumns = set;
  {
    _DOC_UPDATE_INFO batch(&m_settings, nullptr);
    m_settings.AddViewDetail(VIEW_DETAIL_EVENTS_COLUMNS);
    m_settings.UpdateAllViews(HINT_VIEW_OPTIONS);
  }
  EXPECT_EQ(Cell(2, 1), L"TracksData");
  EXPECT_EQ(Cell(2, 2), L"first");
}

TEST_F(TestPageFixture, ABurstRefreshesOncePerTickAndAQuietTickStopsTheTimer) {
  LoadFake();
  CVariantArray values(4, m_host.get());
  values.SetInt(1, 3);
  values.SetString(2, L"NoCard");
  values.SetString(3, L"k");
  m_host->CallMethod(L"Emit", &values[0], &values[1], 3);
  PumpHost();
  EXPECT_TRUE(Events().refreshTimer);
  EXPECT_EQ(EventRows(), 0) << "rows wait for the tick";
  m_host->CallMethod(L"Emit", &values[0], &values[1], 3);
  PumpHost();
  EXPECT_EQ(EventRows(), 0);
  Tick();
  EXPECT_EQ(EventRows(), 6);
  EXPECT_EQ(Cell(0, 3), L"k#2");
  EXPECT_TRUE(Events().refreshTimer);
  Tick();
  EXPECT_FALSE(Events().refreshTimer);
  // The next event starts it again.
  m_host->CallMethod(L"Emit", &values[0], &values[1], 3);
  PumpHost();
  EXPECT_TRUE(Events().refreshTimer);
}

TEST_F(TestPageFixture, ClearEmptiesTheFileAndTheList) {
  _TEST_EVENT_INFO record{1000, 1, L"S", L"M", L"old"};
  m_host->GetLog().WriteEvents(&record, 1);
  Events().UpdateData(false);
  ASSERT_EQ(EventRows(), 1);
  SendMessageW(Events().hwnd, WM_COMMAND, MAKEWPARAM(ID_EVENTS_CLEAR, BN_CLICKED), 0);
  EXPECT_EQ(EventRows(), 0);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW((m_folder + L"\\TestVombra.log").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 0u);
  record.Data = L"new";
  m_host->GetLog().WriteEvents(&record, 1);
  Events().ReloadRows();
  ASSERT_EQ(EventRows(), 1);
  EXPECT_EQ(Cell(0, 3), L"new");
}

TEST_F(TestPageFixture, TheSameLanguageTwiceCallsSetLocaleOnce) {
  // Not loaded: nothing.
  SendMessageW(Events().hwnd, WM_COMMAND, MAKEWPARAM(ID_EVENTS_RUSSIAN, 0), 0);
  EXPECT_NE(PRIMARYLANGID(LANGIDFROMLCID(m_host->ThreadLocale)), LANG_RUSSIAN);
  LoadFake();
  const int calls = State()->SetLocaleCalls;
  const LCID threadLocale = GetThreadLocale();
  const LANGID uiLanguage = GetThreadUILanguage();
  for (UINT command : {ID_EVENTS_RUSSIAN, ID_EVENTS_RUSSIAN}) {
    SendMessageW(Events().hwnd, WM_COMMAND, MAKEWPARAM(command, 0), 0);
  }
  EXPECT_EQ(State()->SetLocaleCalls, calls + 1);
  EXPECT_EQ(std::wstring(State()->Locale), L"ru_RU");
  EXPECT_EQ(m_host->ThreadLocale, MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT));
  EXPECT_EQ(GetThreadLocale(), threadLocale) << "the configurator keeps its own language";
  EXPECT_EQ(GetThreadUILanguage(), uiLanguage);
  SendMessageW(Events().hwnd, WM_COMMAND, MAKEWPARAM(ID_EVENTS_ENGLISH, 0), 0);
  EXPECT_EQ(State()->SetLocaleCalls, calls + 2);
  EXPECT_EQ(std::wstring(State()->Locale), L"en_EN");
  EXPECT_TRUE(g_shown.empty());
}

// --- the Events tab's context menu and help ---

// The language items' marks of the context menu that opened: English, Russian; -1 each when none opened.
int g_menuMarks[2] = {-1, -1};

// Reads this thread's open menu (its "Language" submenu) and closes it; waits while none is up yet.
void CALLBACK ReadLanguageMarks(HWND, UINT, UINT_PTR id, DWORD) {
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
  HMENU language = GetSubMenu(menu, 0);
  const UINT items[2] = {ID_EVENTS_ENGLISH, ID_EVENTS_RUSSIAN};
  for (int i = 0; i < 2; ++i) {
    const UINT state = language ? GetMenuState(language, items[i], MF_BYCOMMAND) : UINT(-1);
    g_menuMarks[i] = state == UINT(-1) ? -1 : (state & MF_CHECKED) ? 1 : 0;
  }
  EndMenu();
}

TEST_F(TestPageFixture, TheContextMenuMarksTheLanguageTheAddinHolds) {
  struct Step {
    const char* what;
    UINT command;  // 0: none before the menu
    bool load;
    int english, russian;
  };
  const Step steps[] = {
      {"loaded, the thread's own language", 0, true, 1, 0},
      {"Russian chosen", ID_EVENTS_RUSSIAN, false, 0, 1},
      {"Russian again", ID_EVENTS_RUSSIAN, false, 0, 1},
      {"English chosen", ID_EVENTS_ENGLISH, false, 1, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.load) LoadFake();
    if (step.command) SendMessageW(Events().hwnd, WM_COMMAND, MAKEWPARAM(step.command, 0), 0);
    g_menuMarks[0] = g_menuMarks[1] = -1;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &ReadLanguageMarks);
    NMHDR click{EventsList(), IDC_EVENTS_LIST, UINT(NM_RCLICK)};
    SendMessageW(Events().hwnd, WM_NOTIFY, IDC_EVENTS_LIST, LPARAM(&click));
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_menuMarks[0], step.english);
    EXPECT_EQ(g_menuMarks[1], step.russian);
  }
  EXPECT_TRUE(g_shown.empty());
}

struct HelpCall {
  UINT command;
  DWORD_PTR data;
  std::wstring keyword;
};
std::vector<HelpCall> g_help;
HWND g_keywordAnswer = nullptr;

HWND WINAPI RecordHelp(HWND, LPCWSTR, UINT command, DWORD_PTR data) {
  HelpCall call{command, data, L""};
  if (command == HH_KEYWORD_LOOKUP) {
    const auto* link = reinterpret_cast<const HH_AKLINK*>(data);
    call.keyword = link->pszKeywords ? link->pszKeywords : L"";
    call.data = 0;
  }
  g_help.push_back(call);
  return command == HH_KEYWORD_LOOKUP ? g_keywordAnswer : nullptr;
}

TEST_F(TestPageFixture, HelpLooksUpTheSelectedEventsNameElseShowsTheTabsTopic) {
  std::wstring helpFile;
  theApp.GetHelpFile(helpFile);
  ASSERT_EQ(GetFileAttributesW(helpFile.c_str()), INVALID_FILE_ATTRIBUTES) << "a help file is present";
  HANDLE file = CreateFileW(helpFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);  // only its presence counts
  struct Remove {
    std::wstring path;
    ~Remove() { DeleteFileW(path.c_str()); }
  } remove{helpFile};
  HtmlHelpSeam.HtmlHelp = &RecordHelp;
  _TEST_EVENT_INFO records[2] = {{1000, 1, L"COM7", L"TracksData", L"k"}, {2000, 3, L"COM7", L"", L"no name"}};
  m_host->GetLog().WriteEvents(records, 2);
  Events().UpdateData(false);
  ASSERT_EQ(EventRows(), 2);

  const HelpCall topic{HH_HELP_CONTEXT, DWORD_PTR(0x20000 + IDD_TEST_EVENTS), L""};
  const HelpCall lookup{HH_KEYWORD_LOOKUP, 0, L"TracksData"};
  struct Case {
    const char* what;
    int row;  // selected row, -1 none
    bool keywordFound;
    std::vector<HelpCall> calls;
  };
  const Case cases[] = {
      {"an event whose name has a topic", 1, true, {lookup}},
      {"an event whose name has none", 1, false, {lookup, topic}},
      {"an event without a name", 0, true, {topic}},
      {"nothing selected", -1, true, {topic}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_help.clear();
    g_keywordAnswer = c.keywordFound ? m_parent : nullptr;
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED;
    SendMessageW(EventsList(), LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&item));
    item.state = LVIS_SELECTED;
    if (c.row >= 0) SendMessageW(EventsList(), LVM_SETITEMSTATE, c.row, LPARAM(&item));
    SendMessageW(Events().hwnd, WM_COMMANDHELP, 0, 0);
    ASSERT_EQ(g_help.size(), c.calls.size());
    for (size_t i = 0; i < c.calls.size(); ++i) {
      EXPECT_EQ(g_help[i].command, c.calls[i].command);
      EXPECT_EQ(g_help[i].data, c.calls[i].data);
      EXPECT_EQ(g_help[i].keyword, c.calls[i].keyword);
    }
  }
  HtmlHelpSeam.HtmlHelp = nullptr;
  theApp.openHelpFile.clear();
}

}  // namespace
