// The main window: pages made once on their first selection, the confirmation questions, what closing
// stores, a failed load, the event-sound player's commands, the size limits and layout, the About box,
// the accelerators and the captions in both languages. In process under Xvfb, with the message boxes and
// the sound calls scripted at their seams.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "../classlib/ModalStep.h"
#include "AdvancedPage.h"
#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MainFrame.h"
#include "MainPage.h"
#include "MessageBox.h"
#include "TestPage.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "UiHelpers.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

CConfigVombraApp theApp;

const wchar_t kSettingsPath[] = L"Software\\Tarvelon\\Vombra";

// ---- The message boxes, scripted.

struct SeenBox {
  std::wstring Content;
  std::vector<int> Buttons;
  bool HasDoNotAsk = false;
};

struct BoxAnswer {
  int Button;
  BOOL DoNotAsk;
};

std::vector<SeenBox> g_boxes;
std::deque<BoxAnswer> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  SeenBox seen;
  seen.Content = config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"";
  for (UINT i = 0; i < config->cButtons; ++i) seen.Buttons.push_back(config->pButtons[i].nButtonID);
  seen.HasDoNotAsk = config->pszVerificationText != nullptr;
  g_boxes.push_back(seen);
  BoxAnswer answer{IDCANCEL, FALSE};
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer.Button;
  if (verified) *verified = answer.DoNotAsk;
  return S_OK;
}

// ---- The sound calls, recorded.

std::vector<std::wstring> g_soundCalls;  // "play <file> <flags>" or "mci <command> [notify]"
MCIERROR g_mciOpenAnswer = 0;
HWND g_mciNotifyWindow = nullptr;

BOOL WINAPI RecordPlaySound(LPCWSTR sound, HMODULE, DWORD flags) {
  g_soundCalls.push_back(L"play " + std::wstring(sound ? sound : L"<none>") + L" " + std::to_wstring(flags));
  return TRUE;
}

MCIERROR WINAPI RecordMci(LPCWSTR command, LPWSTR, UINT, HWND notify) {
  std::wstring text = command;
  g_soundCalls.push_back(L"mci " + text + (notify ? L" ->window" : L""));
  if (notify) g_mciNotifyWindow = notify;
  return text.compare(0, 5, L"open ") == 0 ? g_mciOpenAnswer : 0;
}

// ---- A view that counts the sound-playing hints.

struct HintCounter {
  int soundPlaying = 0;
  static void OnHints(void* owner, CDocument*, const uint64_t* hints) {
    if (*hints & HINT_SOUND_PLAYING) ++static_cast<HintCounter*>(owner)->soundPlaying;
  }
};

std::wstring WindowText(HWND wnd) {
  std::wstring text;
  GetWindowTextString(wnd, text);
  return text;
}

bool IsShown(HWND wnd) { return (GetWindowLongW(wnd, GWL_STYLE) & WS_VISIBLE) != 0; }

class MainFrameTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    CAppSettings& settings = theApp.settings;
    settings.ResetConfig(false);
    settings.ResetSettings();
    settings.formatsEdited = false;
    settings.SetConfigPath(ConfigPath().c_str());
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    SoundSeam.PlaySoundProc = &RecordPlaySound;
    SoundSeam.MciSendStringProc = &RecordMci;
    g_boxes.clear();
    g_answers.clear();
    g_soundCalls.clear();
    g_mciOpenAnswer = 0;
    g_mciNotifyWindow = nullptr;
    ASSERT_TRUE(theApp.CreateMainFrame());
    m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
    ASSERT_NE(m_frame, nullptr);
    ASSERT_NE(m_frame->hwnd, nullptr);
  }

  void TearDown() override {
    CloseFrame();
    MessageBoxSeam = CMessageBoxSeam();
    SoundSeam = CSoundSeam();
    theApp.settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }

  void CloseFrame() {
    if (m_frame) {
      if (m_frame->hwnd) DestroyWindow(m_frame->hwnd);
      delete m_frame;
      m_frame = nullptr;
      theApp.mainWnd = nullptr;
    }
    // The frame's WM_DESTROY posts WM_QUIT for the run loop; no loop runs here.
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }

  std::wstring ConfigPath() const { return m_folder / L"ConfigVombra.xml"; }

  // The configuration file, held open without sharing: it can be neither read nor written.
  HANDLE HoldFileOpen() {
    HANDLE file = CreateFileW(ConfigPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    return file;
  }

  // A button press as the button itself sends it.
  void Click(UINT id) {
    HWND button = GetDlgItem(m_frame->hwnd, int(id));
    SendMessageW(m_frame->hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(button));
  }

  // The user picks tab `index`: the tab control's selection moves and it tells its parent.
  void PickTab(int index) {
    HWND tab = GetDlgItem(m_frame->hwnd, IDC_MAIN_TAB);
    SendMessageW(tab, TCM_SETCURSEL, WPARAM(index), 0);
    NMHDR header{tab, IDC_MAIN_TAB, UINT(TCN_SELCHANGE)};
    SendMessageW(m_frame->hwnd, WM_NOTIFY, IDC_MAIN_TAB, LPARAM(&header));
  }

  std::wstring Status() const { return WindowText(GetDlgItem(m_frame->hwnd, IDC_MAIN_STATUS)); }

  bool SettingsKeyExists() const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  CleanSettingsKeys m_registry;
  ScratchFolder m_folder;
  CMainFrame* m_frame = nullptr;
};

// ---- Pages

TEST_F(MainFrameTest, EachPageIsMadeOnceOnItsFirstSelection) {
  // The first page comes with the window; no other exists before its tab is picked.
  ASSERT_NE(m_frame->GetPage(PAGE_MAIN), nullptr);
  for (int i = 1; i < PAGE_COUNT; ++i) EXPECT_EQ(m_frame->GetPage(i), nullptr) << i;

  CAppPage* made[PAGE_COUNT] = {m_frame->GetPage(PAGE_MAIN)};
  const int picks[] = {3, 4, 0, 3, 5, 1, 2, 4, 0, 5};
  for (int index : picks) {
    SCOPED_TRACE(index);
    PickTab(index);
    CAppPage* page = m_frame->GetPage(index);
    ASSERT_NE(page, nullptr);
    if (!made[index]) made[index] = page;
    EXPECT_EQ(page, made[index]) << "a page was made again";
    EXPECT_EQ(m_frame->currentPage, index);
    EXPECT_EQ(GetParent(page->hwnd), m_frame->hwnd);
    EXPECT_EQ(page->templateId, kPageTemplateFirst + UINT(index));
    // Only the current page is shown.
    for (int other = 0; other < PAGE_COUNT; ++other) {
      if (CAppPage* p = m_frame->GetPage(other)) {
        EXPECT_EQ(IsShown(p->hwnd), other == index) << other;
      }
    }
    // It fills the tab control's display area.
    HWND tab = GetDlgItem(m_frame->hwnd, IDC_MAIN_TAB);
    RECT display{};
    GetClientRect(tab, &display);
    SendMessageW(tab, TCM_ADJUSTRECT, FALSE, LPARAM(&display));
    MapWindowPoints(tab, m_frame->hwnd, reinterpret_cast<POINT*>(&display), 2);
    RECT placed{};
    GetWindowRect(page->hwnd, &placed);
    MapWindowPoints(nullptr, m_frame->hwnd, reinterpret_cast<POINT*>(&placed), 2);
    EXPECT_TRUE(EqualRect(&placed, &display));
  }
  EXPECT_NE(dynamic_cast<CAdvancedPage*>(m_frame->GetPage(PAGE_ADVANCED)), nullptr);
  std::set<CAppPage*> distinct(std::begin(made), std::end(made));
  EXPECT_EQ(distinct.size(), size_t(PAGE_COUNT));
}

TEST_F(MainFrameTest, TabsAndButtonsSpeakTheUserInterfaceLanguage) {
  struct Case {
    LANGID Language;
    std::vector<std::wstring> Tabs;
    std::vector<std::wstring> Buttons;
  } cases[] = {
      {kEnglishUi,
       {L"Main", L"Formats", L"Reading keys", L"Sound", L"Configurator", L"Test"},
       {L"Load", L"Save", L"Reset all", L"Help"}},
      {kRussianUi,
       {L"Основные", L"Форматы", L"Чтение ключей", L"Звук", L"Конфигуратор", L"Тест"},
       {L"Загрузить", L"Сохранить", L"Сбросить всё", L"Справка"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Language);
    CloseFrame();
    SetUILanguage(c.Language);
    ASSERT_TRUE(theApp.CreateMainFrame());
    m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
    HWND tab = GetDlgItem(m_frame->hwnd, IDC_MAIN_TAB);
    ASSERT_EQ(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0), LRESULT(c.Tabs.size()));
    for (size_t i = 0; i < c.Tabs.size(); ++i) {
      wchar_t text[64] = L"";
      TCITEMW item{};
      item.mask = TCIF_TEXT | TCIF_PARAM;
      item.pszText = text;
      item.cchTextMax = 64;
      ASSERT_TRUE(SendMessageW(tab, TCM_GETITEMW, i, LPARAM(&item)));
      EXPECT_EQ(std::wstring(text), c.Tabs[i]);
      EXPECT_EQ(item.lParam, LPARAM(i + 1));
    }
    const UINT ids[] = {ID_CONFIG_LOAD, ID_CONFIG_SAVE, ID_CONFIG_RESET_ALL, ID_MAIN_HELP};
    for (size_t i = 0; i < 4; ++i)
      EXPECT_EQ(WindowText(GetDlgItem(m_frame->hwnd, int(ids[i]))), c.Buttons[i]);
  }
}

struct HelpCall {
  HWND Caller;
  UINT Command;
  DWORD_PTR Data;
};
std::vector<HelpCall> g_helpCalls;

HWND WINAPI RecordHtmlHelp(HWND caller, LPCWSTR, UINT command, DWORD_PTR data) {
  g_helpCalls.push_back({caller, command, data});
  return nullptr;
}

TEST_F(MainFrameTest, HelpButtonFollowsTheHelpFileAndShowsTheCurrentPagesTopic) {
  std::wstring helpFile;
  theApp.GetHelpFile(helpFile);
  ASSERT_EQ(GetFileAttributesW(helpFile.c_str()), INVALID_FILE_ATTRIBUTES) << "a help file is present";
  // Without a help file the Help button is hidden.
  EXPECT_FALSE(IsShown(GetDlgItem(m_frame->hwnd, ID_MAIN_HELP)));
  for (UINT id : {ID_CONFIG_LOAD, ID_CONFIG_SAVE, ID_CONFIG_RESET_ALL}) {
    EXPECT_TRUE(IsShown(GetDlgItem(m_frame->hwnd, int(id)))) << id;
  }
  // With one it is there.
  WriteBytes(helpFile, "stand-in");
  struct RemoveAfter {
    std::wstring Path;
    ~RemoveAfter() { DeleteFileW(Path.c_str()); }
  } remove{helpFile};
  HtmlHelpSeam.HtmlHelp = &RecordHtmlHelp;
  g_helpCalls.clear();
  CloseFrame();
  g_helpCalls.clear();
  ASSERT_TRUE(theApp.CreateMainFrame());
  m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
  EXPECT_TRUE(IsShown(GetDlgItem(m_frame->hwnd, ID_MAIN_HELP)));

  PickTab(PAGE_SOUND);
  Click(ID_MAIN_HELP);
  ASSERT_EQ(g_helpCalls.size(), 1u);
  EXPECT_EQ(g_helpCalls[0].Command, UINT(HH_HELP_CONTEXT));
  EXPECT_EQ(g_helpCalls[0].Data, DWORD_PTR(0x20000 + 953));
  // The class library's help request answers with the same topic.
  PickTab(PAGE_TEST);
  EXPECT_EQ(SendMessageW(m_frame->hwnd, WM_COMMANDHELP, 0, 0), TRUE);
  ASSERT_EQ(g_helpCalls.size(), 2u);
  EXPECT_EQ(g_helpCalls[1].Data, DWORD_PTR(0x20000 + 955));

  // F1 in a page walks up from the focus to the first window that answers: here the main window.
  ShowWindow(m_frame->hwnd, SW_SHOW);
  PickTab(PAGE_ADVANCED);
  HWND box = GetDlgItem(m_frame->GetPage(PAGE_ADVANCED)->hwnd, IDC_CONFIRM_LOAD);
  SetFocus(box);
  ASSERT_EQ(GetFocus(), box);
  HELPINFO info{};
  info.cbSize = sizeof info;
  info.iContextType = HELPINFO_WINDOW;
  info.hItemHandle = box;
  SendMessageW(m_frame->hwnd, WM_HELP, 0, LPARAM(&info));
  ASSERT_EQ(g_helpCalls.size(), 3u);
  EXPECT_EQ(g_helpCalls[2].Command, UINT(HH_HELP_CONTEXT));
  EXPECT_EQ(g_helpCalls[2].Data, DWORD_PTR(0x20000 + 954));

  HWND frame = m_frame->hwnd;
  g_helpCalls.clear();
  CloseFrame();
  ASSERT_EQ(g_helpCalls.size(), 2u);
  for (const HelpCall& call : g_helpCalls) {
    EXPECT_EQ(call.Command, UINT(HH_CLOSE_ALL));
    EXPECT_EQ(call.Caller, frame);
  }
  EXPECT_TRUE(theApp.openHelpFile.empty());
  HtmlHelpSeam = CHtmlHelpSeam();
}

TEST_F(MainFrameTest, ActivationGivesTheFocusBackWhereItWas) {
  ShowWindow(m_frame->hwnd, SW_SHOW);
  HWND save = GetDlgItem(m_frame->hwnd, ID_CONFIG_SAVE);
  HWND tab = GetDlgItem(m_frame->hwnd, IDC_MAIN_TAB);
  struct Case {
    bool Disable;
    bool Hide;
    bool Restored;
  } cases[] = {{false, false, true}, {true, false, false}, {false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Disable << c.Hide);
    EnableWindow(save, TRUE);
    ShowWindow(save, SW_SHOW);
    SetFocus(save);
    SendMessageW(m_frame->hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_EQ(m_frame->focusWnd, save);
    SetFocus(tab);
    if (c.Disable) EnableWindow(save, FALSE);
    if (c.Hide) ShowWindow(save, SW_HIDE);
    SendMessageW(m_frame->hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_EQ(GetFocus() == save, c.Restored);
  }
  EnableWindow(save, TRUE);
  ShowWindow(save, SW_SHOW);
}

TEST_F(MainFrameTest, TrainingCardsRunTheirCommand) {
  theApp.settings.ConfirmFlags = 0;
  struct Case {
    WPARAM Card;
    LPARAM Data;
    UINT Ran;
  } cases[] = {
      {5555, 0x10000 + ID_CONFIG_SAVE, ID_CONFIG_SAVE},
      {5555, ID_CONFIG_SAVE, 0},  // not above 0xFFFF
      {5554, 0x10000 + ID_CONFIG_SAVE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Data);
    m_frame->SetStatusText(0, 0);
    SendMessageW(m_frame->hwnd, WM_TCARD, c.Card, c.Data);
    MSG message;
    while (PeekMessageW(&message, m_frame->hwnd, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    EXPECT_EQ(m_frame->statusCommand, c.Ran);
  }
}

// ---- Confirmations

TEST_F(MainFrameTest, CommandsAskByTheirConfirmFlagAndDoNotAskClearsIt) {
  struct Case {
    UINT Command;
    UINT Flags;
    BoxAnswer Answer;
    bool Asked;
    bool Ran;
    UINT FlagsAfter;
  } cases[] = {
      // The defaults ask before Load and Reset all, not before Save.
      {ID_CONFIG_LOAD, 0x17, {IDOK, FALSE}, true, true, 0x17},
      {ID_CONFIG_LOAD, 0x17, {IDCANCEL, FALSE}, true, false, 0x17},
      {ID_CONFIG_LOAD, 0x17, {IDCANCEL, TRUE}, true, false, 0x13},
      {ID_CONFIG_LOAD, 0x17, {IDOK, TRUE}, true, true, 0x13},
      {ID_CONFIG_LOAD, 0x13, {IDCANCEL, FALSE}, false, true, 0x13},
      {ID_CONFIG_SAVE, 0x17, {IDCANCEL, FALSE}, false, true, 0x17},
      {ID_CONFIG_SAVE, 0x1F, {IDCANCEL, FALSE}, true, false, 0x1F},
      {ID_CONFIG_SAVE, 0x1F, {IDOK, TRUE}, true, true, 0x17},
      {ID_CONFIG_RESET_ALL, 0x17, {IDCANCEL, FALSE}, true, false, 0x17},
      {ID_CONFIG_RESET_ALL, 0x17, {IDCANCEL, TRUE}, true, false, 0x07},
      {ID_CONFIG_RESET_ALL, 0x07, {IDCANCEL, FALSE}, false, true, 0x07},
  };
  CAppSettings& settings = theApp.settings;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << c.Command << " flags 0x" << std::hex << c.Flags
                                    << " answer " << std::dec << c.Answer.Button << " do-not-ask "
                                    << c.Answer.DoNotAsk);
    settings.ConfirmFlags = c.Flags;
    settings.SetSettingsModified(false);
    settings.SetConfigModified(false);
    m_frame->SetStatusText(0, IDS_CONFIG_SAVED);
    settings.formats.clear();
    settings.ClearFormatIndex();
    g_boxes.clear();
    g_answers = {c.Answer};

    Click(c.Command);

    ASSERT_EQ(g_boxes.size(), size_t(c.Asked));
    if (c.Asked) {
      EXPECT_EQ(g_boxes[0].Content, L"Really?");
      EXPECT_EQ(g_boxes[0].Buttons, (std::vector<int>{IDOK, IDCANCEL}));
      EXPECT_TRUE(g_boxes[0].HasDoNotAsk);
    }
    EXPECT_EQ(m_frame->statusCommand, c.Ran ? c.Command : 0u);
    if (c.Command == ID_CONFIG_RESET_ALL) {
      // Reset all leaves both parts to be saved; the flags then are the defaults again, unless refused.
      EXPECT_EQ(settings.settingsModified, c.Ran);
      EXPECT_EQ(settings.configModified, c.Ran || c.FlagsAfter != c.Flags);
      EXPECT_EQ(settings.ConfirmFlags, c.Ran ? UINT(CONFIRM_DEFAULT) : c.FlagsAfter);
      EXPECT_EQ(settings.formats.empty(), !c.Ran) << "the preset formats";
      EXPECT_EQ(Status(), c.Ran ? L"" : L"Configuration is saved.");
    } else {
      EXPECT_EQ(settings.ConfirmFlags, c.FlagsAfter);
      if (c.Command == ID_CONFIG_SAVE) {
        EXPECT_EQ(FileExists(ConfigPath()), c.Ran);
      }
      if (c.Ran) {
        EXPECT_EQ(Status(),
                  c.Command == ID_CONFIG_LOAD ? L"Configuration is loaded." : L"Configuration is saved.");
      }
    }
    DeleteFileW(ConfigPath().c_str());
  }
}

TEST_F(MainFrameTest, StatusOfLoadOrSaveIsClearedByTheNextChange) {
  CAppSettings& settings = theApp.settings;
  settings.ConfirmFlags = 0;
  Click(ID_CONFIG_SAVE);
  ASSERT_EQ(Status(), L"Configuration is saved.");
  settings.SetKeyTypes(0x3);  // marks the settings modified
  EXPECT_EQ(Status(), L"");
  EXPECT_EQ(m_frame->statusCommand, UINT(ID_CONFIG_SAVE));

  // A status of another command stays.
  m_frame->SetStatusText(ID_CONFIG_RESET_ALL, IDS_CONFIG_LOADED);
  settings.SetSettingsModified(false);
  settings.SetKeyTypes(0x7);
  EXPECT_EQ(Status(), L"Configuration is loaded.");
}

// ---- Load and Save

TEST_F(MainFrameTest, LoadFailingOnABrokenRegistryValueReportsItAndPagesShowWhatLoaded) {
  CAppSettings& settings = theApp.settings;
  settings.ConfirmFlags = 0;
  // The file holds a format; the document lost it since.
  _FORMAT_INFO_EX format;
  format.Id = 7;
  format.Name = L"Kept in file";
  format.Template = L"%u";
  settings.formats.push_back(format);
  settings.ClearFormatIndex();
  settings.SaveConfig(true);
  settings.formats.clear();
  settings.ClearFormatIndex();
  // A DWORD value stored eight bytes wide cannot be read.
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  const BYTE wide[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  RegSetValueExW(key, L"Model", 0, REG_BINARY, wide, sizeof wide);
  RegCloseKey(key);
  // The Configurator page is open, and the document changed behind its back.
  PickTab(PAGE_ADVANCED);
  HWND page = m_frame->GetPage(PAGE_ADVANCED)->hwnd;
  settings.tableGrid = !settings.tableGrid;

  EXPECT_FALSE(m_frame->OnLoad());

  const std::wstring prefix = L"Configuration load error: ";
  const std::wstring status = Status();
  ASSERT_EQ(status.compare(0, prefix.size(), prefix), 0) << std::string(status.begin(), status.end());
  EXPECT_GT(status.size(), prefix.size()) << "the system's text is missing";
  EXPECT_EQ(m_frame->statusCommand, UINT(ID_CONFIG_LOAD));
  EXPECT_NE(FindFormatIndexByName(settings.formats, L"Kept in file"), -1)
      << "the file's formats did not load";
  EXPECT_EQ(IsDlgButtonChecked(page, IDC_TABLE_GRID) == BST_CHECKED, settings.tableGrid)
      << "the page was not refreshed";
}

TEST_F(MainFrameTest, SaveAndLoadSetAndClearTheTestPagesSettingsSavedFlag) {
  CAppSettings& settings = theApp.settings;
  settings.ConfirmFlags = 0;
  PickTab(PAGE_TEST);
  auto* test = dynamic_cast<CTestPage*>(m_frame->GetPage(PAGE_TEST));
  ASSERT_NE(test, nullptr);
  EXPECT_FALSE(test->settingsSaved);
  ASSERT_TRUE(m_frame->OnSave());
  EXPECT_TRUE(test->settingsSaved) << "Reconnect must have the add-in reload the saved settings";
  ASSERT_TRUE(m_frame->OnLoad());
  EXPECT_FALSE(test->settingsSaved);
  DeleteFileW(ConfigPath().c_str());
}

TEST_F(MainFrameTest, SaveFailureShowsTheErrorInTheStatusLine) {
  CAppSettings& settings = theApp.settings;
  settings.ConfirmFlags = 0;
  settings.SetKeyTypes(0x5);
  HANDLE held = HoldFileOpen();
  EXPECT_FALSE(m_frame->OnSave());
  CloseHandle(held);
  const std::wstring prefix = L"Configuration save error: ";
  const std::wstring status = Status();
  EXPECT_EQ(status.compare(0, prefix.size(), prefix), 0);
  EXPECT_GT(status.size(), prefix.size());
  // The registry part went through before the file failed.
  EXPECT_TRUE(SettingsKeyExists());
  EXPECT_FALSE(settings.settingsModified);
}

// ---- Closing

TEST_F(MainFrameTest, ClosingStoresTheLayoutAlwaysAndTheRestOnlyAfterYes) {
  enum FileState { kCurrent, kMissing };
  struct Case {
    const char* Name;
    bool SettingsChanged;
    bool UiChanged;
    bool FormatAdded;
    FileState File;
    int Answer;  // 0: no question expected
    bool Closes;
    bool RegistryWritten;
    bool FileChanged;
    bool FileHasFormat;
  } cases[] = {
      {"nothing changed", false, false, false, kCurrent, 0, true, false, false, false},
      {"only the UI", false, true, false, kCurrent, 0, true, false, true, false},
      {"format, No", false, true, true, kCurrent, IDNO, true, false, true, false},
      {"format, No, no file", false, true, true, kMissing, IDNO, true, false, false, false},
      {"format, Yes", false, true, true, kCurrent, IDYES, true, false, true, true},
      {"format, Yes, no file", false, false, true, kMissing, IDYES, true, false, true, true},
      {"settings, No", true, false, false, kCurrent, IDNO, true, false, false, false},
      {"settings, Yes", true, false, false, kCurrent, IDYES, true, true, false, false},
      {"settings, Cancel", true, true, true, kCurrent, IDCANCEL, false, false, false, false},
  };
  CAppSettings& settings = theApp.settings;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    // The stored state: this window's placement and the file, nothing pending.
    settings.formats.clear();
    settings.ClearFormatIndex();
    theApp.ExchangeWindowPos(true, m_frame->hwnd, FORM_APP_WIN, 0);
    settings.SaveConfig(true);
    settings.SetConfigModified(false);
    settings.SetSettingsModified(false);
    ASSERT_FALSE(settings.formatsEdited);
    if (c.File == kMissing) DeleteFileW(ConfigPath().c_str());
    const std::string before = ReadBytes(ConfigPath());

    if (c.SettingsChanged) settings.SetKeyTypes(settings.KeyTypes ^ 0x10);
    if (c.UiChanged)
      settings.SetConfirmFlags(CONFIRM_SAVE_CONFIG, !(settings.ConfirmFlags & CONFIRM_SAVE_CONFIG));
    if (c.FormatAdded) {
      _FORMAT_INFO_EX format;
      format.Id = 42;
      format.Name = L"Zebra";
      format.Template = L"%u";
      settings.formats.push_back(format);
      settings.FormatsChanged(false);
    }
    g_boxes.clear();
    g_answers = {{c.Answer, FALSE}};

    EXPECT_EQ(m_frame->QueryClose(), c.Closes);

    ASSERT_EQ(g_boxes.size(), size_t(c.Answer != 0));
    if (c.Answer) {
      EXPECT_EQ(g_boxes[0].Content, L"Save changes?");
      EXPECT_EQ(g_boxes[0].Buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    }
    EXPECT_EQ(SettingsKeyExists(), c.RegistryWritten);
    const std::string after = ReadBytes(ConfigPath());
    EXPECT_EQ(after != before, c.FileChanged);
    EXPECT_EQ(after.find("Zebra") != std::string::npos, c.FileHasFormat);
  }
}

TEST_F(MainFrameTest, AFailedSaveAtExitAsksWhetherToQuitAnyway) {
  CAppSettings& settings = theApp.settings;
  for (int answer : {IDOK, IDCANCEL}) {
    SCOPED_TRACE(answer);
    settings.SetConfigModified(true);
    g_boxes.clear();
    g_answers = {{answer, FALSE}};
    HANDLE held = HoldFileOpen();
    EXPECT_EQ(m_frame->QueryClose(), answer == IDOK);
    CloseHandle(held);
    ASSERT_EQ(g_boxes.size(), 1u);
    const std::wstring start = L"Failed to save settings. Quit anyway?\r\n\r\n";
    EXPECT_EQ(g_boxes[0].Content.compare(0, start.size(), start), 0);
    EXPECT_GT(g_boxes[0].Content.size(), start.size());
    EXPECT_EQ(g_boxes[0].Buttons, (std::vector<int>{IDOK, IDCANCEL}));
  }
}

TEST_F(MainFrameTest, SystemCloseAndEndOfSessionGoThroughTheQuestion) {
  CAppSettings& settings = theApp.settings;
  settings.SetKeyTypes(0x9);
  g_answers = {{IDCANCEL, FALSE}, {IDCANCEL, FALSE}};
  EXPECT_EQ(SendMessageW(m_frame->hwnd, WM_QUERYENDSESSION, 0, 0), FALSE);
  // The system's command carries state in its low bits.
  SendMessageW(m_frame->hwnd, WM_SYSCOMMAND, SC_CLOSE | 0x2, 0);
  EXPECT_EQ(g_boxes.size(), 2u);
  EXPECT_TRUE(IsWindow(m_frame->hwnd)) << "Cancel closed the window";

  g_answers = {{IDNO, FALSE}};
  HWND wnd = m_frame->hwnd;
  SendMessageW(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_FALSE(SettingsKeyExists());
  MSG quit;
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "no WM_QUIT for the run loop";
}

// ---- Sounds

TEST_F(MainFrameTest, SoundPlayerSendsTheRightCommands) {
  CAppSettings& settings = theApp.settings;
  settings.SoundFiles[0] = L"C:\\Media\\key.WAV";
  settings.SoundFiles[1] = L"C:\\Media\\lost.mid";
  settings.SoundFiles[2] = L"C:\\Media\\dir.v2\\song";
  settings.SoundFiles[3] = L"C:\\Media\\tune.mp3";
  settings.SoundFiles[4] = L"";
  const std::wstring async = std::to_wstring(SND_FILENAME | SND_NODEFAULT | SND_ASYNC);
  struct Step {
    int Event;  // -1: StopSound
    std::vector<std::wstring> Calls;
    int OpenAfter;
    int MciAfter;
  } steps[] = {
      {0, {L"play C:\\Media\\key.WAV " + async}, 0, -1},
      // A MID file of another event stops the WAV file and opens a sequencer.
      {1,
       {L"play <none> 0", L"mci open \"C:\\Media\\lost.mid\" type sequencer alias media",
        L"mci play media from 0 notify ->window"},
       1,
       1},
      // The same sound again is played from the start without opening it again.
      {1, {L"mci play media from 0 notify ->window"}, 1, 1},
      // A WAV file after MCI closes the device first.
      {0, {L"mci close media", L"play C:\\Media\\key.WAV " + async}, 0, -1},
      // A name without an extension (a dot in a folder name does not count) and anything else: mpegvideo.
      {2,
       {L"play <none> 0", L"mci open \"C:\\Media\\dir.v2\\song\" type mpegvideo alias media",
        L"mci play media from 0 notify ->window"},
       2,
       2},
      {3,
       {L"mci close media", L"mci open \"C:\\Media\\tune.mp3\" type mpegvideo alias media",
        L"mci play media from 0 notify ->window"},
       3,
       3},
      // No file: nothing happens, the sound that plays goes on.
      {4, {}, 3, 3},
      {-1, {L"mci close media"}, -1, -1},
      {-1, {}, -1, -1},
      {0, {L"play C:\\Media\\key.WAV " + async}, 0, -1},
      {-1, {L"play <none> 0"}, -1, -1},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    g_soundCalls.clear();
    if (step.Event >= 0) {
      m_frame->PlayEventSound(step.Event);
    } else {
      m_frame->StopSound();
    }
    EXPECT_EQ(g_soundCalls, step.Calls);
    EXPECT_EQ(m_frame->openSound, step.OpenAfter);
    EXPECT_EQ(m_frame->mciSound, step.MciAfter);
  }
  EXPECT_EQ(g_mciNotifyWindow, m_frame->hwnd);
}

TEST_F(MainFrameTest, FailedMciOpenPlaysNothing) {
  theApp.settings.SoundFiles[5] = L"C:\\Media\\broken.mid";
  g_mciOpenAnswer = 277;
  m_frame->PlayEventSound(5);
  EXPECT_EQ(g_soundCalls,
            (std::vector<std::wstring>{L"mci open \"C:\\Media\\broken.mid\" type sequencer alias media"}));
  EXPECT_EQ(m_frame->openSound, -1);
  EXPECT_EQ(m_frame->mciSound, -1);
}

TEST_F(MainFrameTest, EndOfPlaybackKeepsTheDeviceOpenAndTellsTheViews) {
  CAppSettings& settings = theApp.settings;
  settings.SoundFiles[1] = L"C:\\Media\\lost.mid";
  HintCounter counter;
  int view = settings.AddView({&counter, &HintCounter::OnHints, 0});
  m_frame->PlayEventSound(1);
  EXPECT_EQ(counter.soundPlaying, 1);
  ASSERT_EQ(m_frame->mciSound, 1);

  SendMessageW(m_frame->hwnd, MM_MCINOTIFY, MCI_NOTIFY_SUCCESSFUL, 1);
  EXPECT_EQ(m_frame->mciSound, -1);
  EXPECT_EQ(m_frame->openSound, 1);
  EXPECT_EQ(counter.soundPlaying, 2);

  g_soundCalls.clear();
  m_frame->PlayEventSound(1);
  EXPECT_EQ(g_soundCalls, (std::vector<std::wstring>{L"mci play media from 0 notify ->window"}));
  EXPECT_EQ(m_frame->mciSound, 1);
  settings.RemoveView(view);
}

TEST_F(MainFrameTest, TurningSoundsOffStopsWhatPlays) {
  CAppSettings& settings = theApp.settings;
  settings.SoundFiles[0] = L"C:\\Media\\key.wav";
  settings.SoundFiles[1] = L"C:\\Media\\lost.mid";
  struct Case {
    int Event;
    std::wstring StopCall;
  } cases[] = {{1, L"mci close media"}, {0, L"play <none> 0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Event);
    settings.SoundEnabled = true;
    m_frame->PlayEventSound(c.Event);
    ASSERT_EQ(m_frame->openSound, c.Event);
    g_soundCalls.clear();
    {
      _DOC_UPDATE_INFO batch(&settings, nullptr);
      settings.SoundEnabled = false;
      settings.UpdateAllViews(HINT_SOUND_ENABLED);
    }
    EXPECT_EQ(g_soundCalls, (std::vector<std::wstring>{c.StopCall}));
    EXPECT_EQ(m_frame->openSound, -1);
  }
  // Turning them on stops nothing.
  m_frame->PlayEventSound(1);
  g_soundCalls.clear();
  {
    _DOC_UPDATE_INFO batch(&settings, nullptr);
    settings.SoundEnabled = true;
    settings.UpdateAllViews(HINT_SOUND_ENABLED);
  }
  EXPECT_TRUE(g_soundCalls.empty());
  EXPECT_EQ(m_frame->openSound, 1);
}

// ---- Size and layout

TEST_F(MainFrameTest, ShrinkingStopsAt700By600) {
  MINMAXINFO info{};
  SendMessageW(m_frame->hwnd, WM_GETMINMAXINFO, 0, LPARAM(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, 700);
  EXPECT_EQ(info.ptMinTrackSize.y, 600);
}

TEST_F(MainFrameTest, ResizeLaysOutTheChildrenButMinimisingDoesNot) {
  HWND tab = GetDlgItem(m_frame->hwnd, IDC_MAIN_TAB);
  HWND status = GetDlgItem(m_frame->hwnd, IDC_MAIN_STATUS);
  HWND save = GetDlgItem(m_frame->hwnd, ID_CONFIG_SAVE);
  auto rectIn = [this](HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, m_frame->hwnd, reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  SendMessageW(m_frame->hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(900, 700));
  RECT tabRect = rectIn(tab);
  EXPECT_EQ(tabRect.right - tabRect.left, 900);
  EXPECT_EQ(tabRect.bottom - tabRect.top, 700 - 39);
  RECT saveRect = rectIn(save);
  EXPECT_EQ(saveRect.left, 126);
  EXPECT_EQ(saveRect.top, 700 - 31);
  RECT statusRect = rectIn(status);
  EXPECT_EQ(statusRect.left, 480);
  EXPECT_EQ(statusRect.right, 900 - 8);
  RECT pageRect = rectIn(m_frame->GetPage(PAGE_MAIN)->hwnd);
  EXPECT_LT(pageRect.bottom, tabRect.bottom);
  EXPECT_GT(pageRect.right - pageRect.left, 800);

  SendMessageW(m_frame->hwnd, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(160, 30));
  RECT after = rectIn(tab);
  EXPECT_TRUE(EqualRect(&after, &tabRect));
  after = rectIn(save);
  EXPECT_TRUE(EqualRect(&after, &saveRect));
}

// ---- About, accelerators

// What a step found of the About box inside its modal loop.
struct AboutProbe {
  HWND Dialog = nullptr;
  HWND Owner = nullptr;
  int Tries = 0;
};

// Runs inside the modal loop: the loop may dispatch a due timer before its first idle pass shows the
// dialog, so the step looks again until the box is visible, then closes it.
void ProbeAbout(AboutProbe* probe) {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&found));
  if (!found) {
    if (++probe->Tries < 200) {
      RunLater([probe] { ProbeAbout(probe); }, 20);
    } else {
      PostQuitMessage(0);  // ends a loop that never showed its box; the test then fails
    }
    return;
  }
  probe->Dialog = found;
  probe->Owner = GetWindow(found, GW_OWNER);
  SendMessageW(found, WM_COMMAND, IDCANCEL, 0);
}

BOOL CALLBACK FindAnyDialog(HWND wnd, LPARAM found) {
  wchar_t className[16] = L"";
  GetClassNameW(wnd, className, 16);
  if (wcscmp(className, L"#32770") == 0) {
    *reinterpret_cast<HWND*>(found) = wnd;
    return FALSE;
  }
  return TRUE;
}

TEST_F(MainFrameTest, AboutComesFromTheSystemMenuItemOnly) {
  HMENU systemMenu = GetSystemMenu(m_frame->hwnd, FALSE);
  wchar_t text[64] = L"";
  ASSERT_GT(GetMenuStringW(systemMenu, ID_APP_ABOUT, text, 64, MF_BYCOMMAND), 0);
  EXPECT_STREQ(text, L"&About Vombra Configurator...");

  AboutProbe probe;
  RunLater([&probe] { ProbeAbout(&probe); }, 20);
  SendMessageW(m_frame->hwnd, WM_SYSCOMMAND, ID_APP_ABOUT, 0);
  MSG quit;
  EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the About box never showed";
  ASSERT_NE(probe.Dialog, nullptr);
  EXPECT_EQ(probe.Owner, m_frame->hwnd);
  EXPECT_FALSE(IsWindow(probe.Dialog)) << "the About box outlived its loop";
  EXPECT_TRUE(IsWindowEnabled(m_frame->hwnd));

  // The item's id with a system command's state bits is not the item: nothing opens. Should a box open
  // all the same, the probe closes it rather than leave the test hanging.
  AboutProbe wrong;
  wrong.Tries = 190;
  RunLater([&wrong] { ProbeAbout(&wrong); }, 20);
  SendMessageW(m_frame->hwnd, WM_SYSCOMMAND, ID_APP_ABOUT | 0x1, 0);
  g_step = nullptr;  // its timer then finds nothing to run
  while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
  EXPECT_EQ(wrong.Dialog, nullptr);
  HWND any = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindAnyDialog, LPARAM(&any));
  EXPECT_EQ(any, nullptr);
}

TEST_F(MainFrameTest, AcceleratorsAreF5ForLoadAndCtrlSForSave) {
  ACCEL table[8] = {};
  const int count = CopyAcceleratorTableW(m_frame->accelerators, table, 8);
  ASSERT_EQ(count, 2);
  std::set<std::pair<WORD, WORD>> keys;  // {key, command}
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(table[i].fVirt & FVIRTKEY);
    keys.insert({table[i].key, table[i].cmd});
    EXPECT_EQ(table[i].fVirt & (FCONTROL | FALT | FSHIFT), table[i].key == 'S' ? FCONTROL : 0);
  }
  EXPECT_EQ(keys, (std::set<std::pair<WORD, WORD>>{{VK_F5, ID_CONFIG_LOAD}, {'S', ID_CONFIG_SAVE}}));

  // F5 pressed in a page runs Load.
  theApp.settings.ConfirmFlags = 0;
  MSG key{};
  key.hwnd = m_frame->GetPage(PAGE_MAIN)->hwnd;
  key.message = WM_KEYDOWN;
  key.wParam = VK_F5;
  key.lParam = 0x003F0001;
  EXPECT_TRUE(m_frame->PreTranslateMessage(&key));
  MSG message;
  while (PeekMessageW(&message, m_frame->hwnd, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  EXPECT_EQ(m_frame->statusCommand, UINT(ID_CONFIG_LOAD));
}

// The watcher's reader-list message reaches the Connection page, which lists the reader plugged in.
TEST_F(MainFrameTest, ReaderListChangeReachesTheConnectionPage) {
  CWinscardDouble service;
  ASSERT_TRUE(service.Loaded());
  theApp.readersWatcher.Stop(true);  // a context of an earlier case dies with the reset
  ASSERT_EQ(service.Reset(), SCARD_S_SUCCESS);
  auto* page = dynamic_cast<CMainPage*>(m_frame->GetPage(PAGE_MAIN));
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(service.PlugReader(L"Frame Reader 0"), SCARD_S_SUCCESS);
  EXPECT_TRUE(page->portNames.empty() || page->portNames.back() != L"Frame Reader 0");
  SendMessageW(m_frame->hwnd, WM_USER + 2, 0, 0);
  ASSERT_FALSE(page->portNames.empty());
  EXPECT_EQ(page->portNames.back(), L"Frame Reader 0");
  EXPECT_FALSE(theApp.settings.settingsModified);
  theApp.readersWatcher.Stop(true);
  service.Reset();
}

}  // namespace
