// The application object: start-up (portable mode, data folder, the single-instance test, an unreadable
// configuration, the start show command), the run loop's idle passes, window placements, the Native API
// value texts and name tables, help through its seam, and the built program itself (a second copy, its
// manifest and its imports).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <htmlhelp.h>

#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "AppPage.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "File.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "SettingsKey.h"
#include "Strings.h"

CConfigVombraApp theApp;

namespace {

const wchar_t kMainClass[] = L"ConfigVombra";

std::wstring ProgramFolder() {
  std::wstring folder;
  GetModuleFolder(nullptr, folder);
  return folder;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path.c_str();
  DWORD written = 0;
  WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// A fresh folder under the temporary folder, removed with its contents at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    path = std::wstring(temp) + L"AppTests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
    RemoveTree(path);
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~ScratchFolder() { RemoveTree(path); }
  std::wstring path;  // no trailing backslash
};

// Files and folders placed beside the test program, removed at the end.
class BesideProgram {
 public:
  ~BesideProgram() {
    for (auto it = m_paths.rbegin(); it != m_paths.rend(); ++it) RemoveTree(*it), DeleteFileW(it->c_str());
  }
  std::wstring File(const std::wstring& relative, const std::string& bytes = "x") {
    const std::wstring path = ProgramFolder() + relative;
    m_paths.push_back(path);
    WriteBytes(path, bytes);
    return path;
  }
  std::wstring Folder(const std::wstring& relative) {
    const std::wstring path = ProgramFolder() + relative;
    m_paths.push_back(path);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
  }

 private:
  std::vector<std::wstring> m_paths;
};

// A window of the main window's class, as another running configurator has it.
class OtherConfigurator {
 public:
  OtherConfigurator() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kMainClass;
    m_atom = RegisterClassExW(&windowClass);
    wnd = CreateWindowExW(0, kMainClass, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  }
  ~OtherConfigurator() {
    if (wnd) DestroyWindow(wnd);
    if (m_atom) UnregisterClassW(kMainClass, GetModuleHandleW(nullptr));
  }
  HWND wnd = nullptr;

 private:
  ATOM m_atom = 0;
};

struct ShownBox {
  std::wstring text;
  UINT type;
};
std::vector<ShownBox> g_boxes;

HRESULT WINAPI RecordTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* checked) {
  UINT type = 0;
  if (config->pszMainIcon == TD_ERROR_ICON) type = MB_ICONHAND;
  g_boxes.push_back({config->pszContent ? config->pszContent : L"", type});
  if (button) *button = IDOK;
  if (checked) *checked = FALSE;
  return S_OK;
}

int WINAPI RecordMessageBox(HWND, LPCWSTR text, LPCWSTR, UINT type) {
  g_boxes.push_back({text ? text : L"", type});
  return IDOK;
}

class AppTest : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = GetModuleHandleW(nullptr);
    g_hResInstance = g_hInstance;
    g_boxes.clear();
    m_savedSeam = MessageBoxSeam;
    MessageBoxSeam.TaskDialogIndirect = &RecordTaskDialog;
    MessageBoxSeam.MessageBox = &RecordMessageBox;
  }
  void TearDown() override {
    MessageBoxSeam = m_savedSeam;
    theApp.mainWnd = nullptr;
  }

 private:
  CMessageBoxSeam m_savedSeam;
};

// --- Start-up ---

TEST(AppStartup, PortableModeTable) {
  struct Case {
    const char* name;
    const wchar_t* file;    // made as a file
    const wchar_t* folder;  // made as a folder
    bool portable;
  };
  const Case cases[] = {
      {"nothing beside the program", nullptr, nullptr, false},
      {"marker file", L"portable_mode_enabled", nullptr, true},
      {"marker folder", nullptr, L"portable_mode_enabled", false},
      {"configuration file", L"ConfigVombra.xml", nullptr, true},
      {"configuration folder", nullptr, L"ConfigVombra.xml", false},
      {"another file", L"portable_mode", nullptr, false},
  };
  for (const Case& c : cases) {
    ScratchFolder scratch;
    if (c.file) WriteBytes(scratch.path + L"\\" + c.file, "");
    if (c.folder) CreateDirectoryW((scratch.path + L"\\" + c.folder).c_str(), nullptr);
    EXPECT_EQ(IsPortableFolder(scratch.path + L"\\"), c.portable) << c.name;
  }
}

TEST(AppStartup, ModuleFolderKeepsOneTrailingBackslash) {
  std::wstring folder;
  GetModuleFolder(nullptr, folder);
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::wstring full(path, length);
  ASSERT_GE(folder.size(), 2u);
  EXPECT_EQ(folder.back(), L'\\');
  EXPECT_NE(folder[folder.size() - 2], L'\\');
  EXPECT_EQ(full.compare(0, folder.size(), folder), 0);
  EXPECT_EQ(full.find(L'\\', folder.size()), std::wstring::npos);  // the file name alone is left
}

TEST_F(AppTest, PortableMarkerBesideTheProgramMakesItTheDataFolder) {
  BesideProgram beside;
  beside.File(L"portable_mode_enabled");
  OtherConfigurator other;
  ASSERT_TRUE(other.wnd);
  theApp.settings.formats.clear();
  EXPECT_EQ(theApp.InitInstance(SW_SHOWNORMAL), -1);
  EXPECT_TRUE(theApp.portableMode);
  const std::wstring folder = ProgramFolder();
  EXPECT_EQ(theApp.dataFolder, folder.substr(0, folder.size() - 1));
  EXPECT_EQ(theApp.settings.configPath, folder + L"ConfigVombra.xml");
  EXPECT_FALSE(theApp.settings.formats.empty()) << "no configuration: the built-in presets";
  // Another configurator runs: silently over, its window neither activated nor joined by a second.
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(theApp.mainWnd, nullptr);
  EXPECT_EQ(FindWindowExW(nullptr, other.wnd, kMainClass, nullptr), nullptr);
}

// Points the user's application-data folder at `folder` for the length of a scope.
class AppDataRedirect {
 public:
  explicit AppDataRedirect(const std::wstring& folder) {
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
    m_had = RegQueryValueExW(m_key, L"AppData", nullptr, &m_type, m_old, &m_oldSize) == ERROR_SUCCESS;
    RegSetValueExW(m_key, L"AppData", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   DWORD((folder.size() + 1) * sizeof(wchar_t)));
  }
  ~AppDataRedirect() {
    if (m_had) {
      RegSetValueExW(m_key, L"AppData", 0, m_type, m_old, m_oldSize);
    } else {
      RegDeleteValueW(m_key, L"AppData");
    }
    RegCloseKey(m_key);
  }

 private:
  static constexpr const wchar_t* kKey =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  HKEY m_key = nullptr;
  bool m_had = false;
  DWORD m_type = 0;
  BYTE m_old[2048] = {};
  DWORD m_oldSize = sizeof(m_old);
};

TEST_F(AppTest, DataFolderIsMadeInTheUsersApplicationData) {
  RegistryTestLock lock;  // the user's shell folders are registry settings too
  ScratchFolder scratch;
  const std::wstring roaming = scratch.path + L"\\Roaming";
  CreateDirectoryW(roaming.c_str(), nullptr);
  AppDataRedirect redirect(roaming);
  std::wstring appData;
  GetAppDataFolder(appData);
  ASSERT_EQ(appData, roaming) << "the shell did not take the redirected folder";
  ASSERT_FALSE(IsPortableFolder(ProgramFolder())) << "a leftover marker beside the test program";

  OtherConfigurator other;
  EXPECT_EQ(theApp.InitInstance(SW_SHOWNORMAL), -1);
  EXPECT_FALSE(theApp.portableMode);
  EXPECT_EQ(theApp.dataFolder, roaming + L"\\Tarvelon\\Vombra");
  EXPECT_TRUE(IsFolder(roaming + L"\\Tarvelon\\Vombra"));
  EXPECT_EQ(theApp.settings.configPath, roaming + L"\\Tarvelon\\Vombra\\ConfigVombra.xml");
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(AppTest, DataFolderThatCannotBeMadeEndsSilently) {
  RegistryTestLock lock;
  ScratchFolder scratch;
  const std::wstring blocker = scratch.path + L"\\Roaming";
  WriteBytes(blocker, "a file where the folder would go");
  AppDataRedirect redirect(blocker);
  std::wstring appData;
  GetAppDataFolder(appData);
  ASSERT_EQ(appData, blocker);

  theApp.dataFolder.clear();
  EXPECT_EQ(theApp.InitInstance(SW_SHOWNORMAL), -1);
  EXPECT_FALSE(IsFolder(blocker + L"\\Tarvelon"));
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(FindWindowW(kMainClass, nullptr), nullptr);
}

TEST_F(AppTest, UnreadableConfigurationShowsItsErrorAndEnds) {
  BesideProgram beside;
  const std::wstring config = beside.File(L"ConfigVombra.xml", "<?xml version=\"1.0\"?><ConfigVombra/>");
  HANDLE held =
      CreateFileW(config.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const int result = theApp.InitInstance(SW_SHOWNORMAL);
  CloseHandle(held);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(theApp.portableMode);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].type & MB_ICONMASK, UINT(MB_ICONHAND));
  EXPECT_NE(g_boxes[0].text.find(L"ConfigVombra.xml"), std::wstring::npos) << g_boxes[0].text.c_str();
  EXPECT_EQ(FindWindowW(kMainClass, nullptr), nullptr);
  // The mutex was let go on the way out: it can be taken at once.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"ConfigVombra");
  ASSERT_TRUE(mutex);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST_F(AppTest, StartShowsTheMainWindowInTheStartShowCommand) {
  CleanSettingsKeys clean;
  BesideProgram beside;
  beside.File(L"portable_mode_enabled");
  struct Case {
    int command;
    bool iconic;
    bool zoomed;
  };
  const Case cases[] = {
      {SW_SHOWNORMAL, false, false}, {SW_SHOWMINNOACTIVE, true, false}, {SW_SHOWMAXIMIZED, false, true}};
  for (const Case& c : cases) {
    theApp.settings.showStates[0] = 0;
    ASSERT_EQ(theApp.InitInstance(c.command), 0) << c.command;
    ASSERT_TRUE(theApp.mainWnd && theApp.mainWnd->hwnd);
    HWND main = theApp.mainWnd->hwnd;
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_EQ(IsIconic(main) != FALSE, c.iconic) << c.command;
    EXPECT_EQ(IsZoomed(main) != FALSE, c.zoomed) << c.command;
    EXPECT_EQ(FindWindowW(kMainClass, nullptr), main);
    EXPECT_TRUE(g_boxes.empty());
    // The mutex was let go once the window existed.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"ConfigVombra");
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);

    theApp.mainWnd->Destroy();
    delete theApp.mainWnd;
    theApp.mainWnd = nullptr;
    UnregisterClassW(kMainClass, GetModuleHandleW(nullptr));
    theApp.mainClassAtom = 0;
    MSG quit;
    while (PeekMessageW(&quit, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
}

TEST(AppStartup, ShowCommandMergeTable) {
  struct Case {
    int stored;
    UINT history;
    int command;
    int merged;
  };
  const Case cases[] = {
      {0, HISTORY_DEFAULT, SW_SHOWNORMAL, 0},
      {0, HISTORY_DEFAULT, SW_SHOWMINIMIZED, SHOW_STATE_MINIMIZED},
      {0, HISTORY_DEFAULT, SW_MINIMIZE, SHOW_STATE_MINIMIZED},
      {0, HISTORY_DEFAULT, SW_SHOWMINNOACTIVE, SHOW_STATE_MINIMIZED},
      {0, HISTORY_DEFAULT, SW_SHOWMAXIMIZED, SHOW_STATE_MAXIMIZED},
      {SHOW_STATE_MAXIMIZED, HISTORY_DEFAULT, SW_SHOWMINNOACTIVE,
       SHOW_STATE_MAXIMIZED | SHOW_STATE_MINIMIZED},
      {SHOW_STATE_MAXIMIZED, HISTORY_DEFAULT, SW_SHOWNOACTIVATE, SHOW_STATE_MAXIMIZED},
      {0, HISTORY_DEFAULT, SW_SHOWDEFAULT, 0},
      {0, HISTORY_DEFAULT, SW_HIDE, 0},
      // With the show state remembered, the stored one wins.
      {0, HISTORY_DEFAULT | HISTORY_SHOW_STATE, SW_SHOWMINNOACTIVE, 0},
      {SHOW_STATE_MAXIMIZED, HISTORY_SHOW_STATE, SW_SHOWMINIMIZED, SHOW_STATE_MAXIMIZED},
      {0, HISTORY_SHOW_STATE, SW_SHOWMAXIMIZED, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MergeShowCommand(c.stored, c.history, c.command), c.merged)
        << "stored " << c.stored << " history " << c.history << " command " << c.command;
  }
}

// --- The run loop ---

struct IdleRecord {
  std::vector<int> passes;  // page slot of each OnIdle call in order
  int passesAtWake = -1;
  HWND painted = nullptr;
};
IdleRecord g_idle;

class CountingPage : public CAppPage {
 public:
  explicit CountingPage(int slot) : CAppPage(950 + slot), m_slot(slot) {}
  void OnIdle() override {
    g_idle.passes.push_back(m_slot);
    // The end of the first idle period (both pages, two passes): a WM_PAINT, then a wake-up later.
    if (g_idle.passes.size() == 4) {
      PostMessageW(g_idle.painted, WM_PAINT, 0, 0);
      SetTimer(nullptr, 0, 300, &Wake);
    }
  }

 private:
  static void CALLBACK Wake(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_idle.passesAtWake = int(g_idle.passes.size());
    SetTimer(nullptr, 0, 300, &Quit);
  }
  static void CALLBACK Quit(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostQuitMessage(7);
  }
  int m_slot;
};

TEST_F(AppTest, RunGivesTwoIdlePassesPerPeriodAndNoneAfterPaint) {
  g_idle = {};
  g_idle.painted = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(g_idle.painted);
  MSG stale;
  while (PeekMessageW(&stale, nullptr, 0, 0, PM_REMOVE)) {
  }
  auto* frame = new CMainFrame;
  frame->pages[PAGE_FORMATS] = new CountingPage(PAGE_FORMATS);
  frame->pages[PAGE_ADVANCED] = new CountingPage(PAGE_ADVANCED);
  theApp.mainWnd = frame;

  EXPECT_EQ(theApp.Run(), 7);
  DestroyWindow(g_idle.painted);

  EXPECT_EQ(theApp.mainWnd, nullptr) << "the main window object goes with the loop";
  // The WM_PAINT began no idle period: the wake-up found the first period's passes only.
  EXPECT_EQ(g_idle.passesAtWake, 4);
  // Two periods (the start, the wake-up's timer message), two passes each, pages in tab order; the quit
  // timer's message is followed by WM_QUIT, so no third period.
  const std::vector<int> expected = {PAGE_FORMATS, PAGE_ADVANCED, PAGE_FORMATS, PAGE_ADVANCED,
                                     PAGE_FORMATS, PAGE_ADVANCED, PAGE_FORMATS, PAGE_ADVANCED};
  EXPECT_EQ(g_idle.passes, expected);
}

TEST_F(AppTest, ReaderListChangePostsToTheMainWindow) {
  CWnd main;
  main.hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(main.hwnd);
  theApp.mainWnd = &main;
  theApp.readersWatcher.ListCallback = {&theApp, &CConfigVombraApp::OnReadersChanged};
  theApp.readersWatcher.ListCallback.Proc(theApp.readersWatcher.ListCallback.Context, &theApp.readersWatcher,
                                          1);
  MSG posted;
  ASSERT_TRUE(PeekMessageW(&posted, main.hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(posted.message, UINT(WM_USER + 2));
  EXPECT_EQ(posted.wParam, 0u);
  EXPECT_EQ(posted.lParam, 0);
  theApp.mainWnd = nullptr;
  // Without a main window nothing is posted anywhere.
  CConfigVombraApp::OnReadersChanged(&theApp, &theApp.readersWatcher, 1);
  EXPECT_FALSE(PeekMessageW(&posted, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
}

// A window object that records what it was asked to pre-translate.
class CAskedWnd : public CWnd {
 public:
  bool PreTranslateMessage(MSG* message) override {
    asked.push_back(message->hwnd);
    return answer;
  }
  std::vector<HWND> asked;
  bool answer = false;
};

TEST_F(AppTest, PreTranslationAsksUpToTheMainWindowThenTheMainWindowForOtherTopLevels) {
  CAskedWnd main, child, dialog;
  main.hwnd =
      CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  child.hwnd =
      CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, main.hwnd, nullptr, nullptr, nullptr);
  HWND plain =
      CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, child.hwnd, nullptr, nullptr, nullptr);
  dialog.hwnd =
      CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  HWND dialogControl =
      CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, dialog.hwnd, nullptr, nullptr, nullptr);
  for (CWnd* object : {static_cast<CWnd*>(&main), static_cast<CWnd*>(&child), static_cast<CWnd*>(&dialog)}) {
    theApp.MapWindow(object);
  }
  auto ask = [](HWND target) {
    MSG message = {};
    message.hwnd = target;
    message.message = WM_KEYDOWN;
    return theApp.PreTranslateMessage(&message);
  };
  auto reset = [&](bool mainAnswer, bool childAnswer, bool dialogAnswer) {
    main.asked.clear();
    child.asked.clear();
    dialog.asked.clear();
    main.answer = mainAnswer;
    child.answer = childAnswer;
    dialog.answer = dialogAnswer;
  };

  theApp.mainWnd = nullptr;
  reset(true, true, true);
  EXPECT_FALSE(ask(plain)) << "no main window";
  EXPECT_TRUE(main.asked.empty() && child.asked.empty());

  theApp.mainWnd = &main;
  reset(true, true, false);
  EXPECT_TRUE(ask(plain));
  EXPECT_EQ(child.asked.size(), 1u);
  EXPECT_TRUE(main.asked.empty()) << "the first object that takes it ends the walk";

  reset(true, false, false);
  EXPECT_TRUE(ask(plain));
  EXPECT_EQ(child.asked.size(), 1u);
  EXPECT_EQ(main.asked.size(), 1u) << "asked once, on the walk";

  reset(false, false, false);
  EXPECT_FALSE(ask(plain));
  EXPECT_EQ(main.asked.size(), 1u);

  // Another top-level window (a dialog): its own objects first, then the main window's accelerators decide.
  reset(true, false, false);
  EXPECT_TRUE(ask(dialogControl));
  EXPECT_EQ(dialog.asked.size(), 1u);
  EXPECT_EQ(main.asked.size(), 1u);
  reset(false, false, true);
  EXPECT_TRUE(ask(dialogControl));
  EXPECT_TRUE(main.asked.empty());

  for (CWnd* object : {static_cast<CWnd*>(&main), static_cast<CWnd*>(&child), static_cast<CWnd*>(&dialog)}) {
    theApp.UnmapWindow(object);
  }
  DestroyWindow(dialog.hwnd);
  DestroyWindow(main.hwnd);
  main.hwnd = child.hwnd = dialog.hwnd = nullptr;
  theApp.mainWnd = nullptr;
}

struct ViewRecord {
  std::vector<uint64_t> hints;
  std::vector<UINT> details;
};

void RecordView(void* owner, CDocument*, const uint64_t* hints) {
  auto* record = static_cast<ViewRecord*>(owner);
  record->hints.push_back(*hints);
  record->details.push_back(theApp.settings.GetViewDetail());
}

TEST_F(AppTest, TablesReachTheDocumentsViewOptionsAndChooserColumns) {
  ViewRecord view;
  int index = theApp.settings.AddView({&view, &RecordView, 0});
  theApp.settings.configModified = false;
  theApp.settings.noSortHeader = false;
  EXPECT_EQ(theApp.GetSettingsDocument(), &theApp.settings);

  theApp.ToggleNoSortHeader();
  EXPECT_TRUE(theApp.GetNoSortHeader());
  EXPECT_TRUE(theApp.settings.configModified);
  ASSERT_FALSE(view.hints.empty());
  EXPECT_TRUE(view.hints.back() & HINT_VIEW_OPTIONS);
  EXPECT_EQ(view.details.back() & VIEW_DETAIL_NO_SORT_HEADER, UINT(VIEW_DETAIL_NO_SORT_HEADER));
  theApp.ToggleNoSortHeader();
  EXPECT_FALSE(theApp.GetNoSortHeader());

  theApp.settings.tableGrid = true;
  theApp.settings.altListBkColor = false;
  EXPECT_TRUE(theApp.GetTableGrid());
  EXPECT_FALSE(theApp.GetAltListBkColor());

  COLUMN_SET columns;
  theApp.settings.chooserColumns.clear();
  EXPECT_FALSE(theApp.GetChooserColumns(columns)) << "nothing stored: the chooser's own layout";
  theApp.settings.configModified = false;
  const COLUMN_SET stored = {{120, 1, 0, COLUMN_VISIBLE}, {80, 0, 1, COLUMN_VISIBLE | COLUMN_AUTOSIZE}};
  theApp.StoreChooserColumns(stored);
  EXPECT_TRUE(theApp.settings.configModified);
  ASSERT_TRUE(theApp.GetChooserColumns(columns));
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0].width, 120);
  EXPECT_EQ(columns[1].order, 0);
  EXPECT_EQ(columns[1].flags, UINT(COLUMN_VISIBLE | COLUMN_AUTOSIZE));

  theApp.mainWnd = nullptr;
  EXPECT_EQ(theApp.GetSharedToolTip(), nullptr);
  theApp.settings.RemoveView(index);
}

// --- Window placements ---

TEST(AppWindowPos, CenterInRangeTable) {
  struct Case {
    int refLow, refHigh, size, areaLow, areaHigh, expected;
  };
  const Case cases[] = {
      {100, 501, 201, 0, 1024, 200},    // 300 - 100
      {0, 1024, 300, 0, 1024, 362},     // 512 - 150
      {0, 1023, 301, 0, 1023, 361},     // 511 - 150: both halves rounded down
      {-1023, 0, 301, -2000, 0, -661},  // -511 - 150: towards zero, not down (-512 - 150)
      {-5, 0, 3, -100, 100, -3},        // -2 - 1
      {800, 1000, 300, 0, 1024, 724},   // off the far edge: pulled back
      {-200, 0, 300, 0, 1024, 0},       // off the near edge
      {0, 1024, 2000, 0, 1024, 0},      // larger than the area: the near edge wins
      {100, 300, 50, 120, 1024, 175},   // inside: unchanged
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CenterInRange(c.refLow, c.refHigh, c.size, c.areaLow, c.areaHigh), c.expected)
        << c.refLow << ".." << c.refHigh << " size " << c.size << " in " << c.areaLow << ".." << c.areaHigh;
  }
}

RECT WorkArea() {
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
  return info.rcWork;
}

RECT NormalRect(HWND wnd) {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  GetWindowPlacement(wnd, &placement);
  return placement.rcNormalPosition;
}

HWND MakeTopWindow(int x, int y, int cx, int cy, bool visible) {
  return CreateWindowExW(0, L"STATIC", L"", WS_POPUP | (visible ? WS_VISIBLE : 0), x, y, cx, cy, nullptr,
                         nullptr, nullptr, nullptr);
}

class AppWindowPosTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    m_saved.History = theApp.settings.History;
    for (int i = 0; i < FORM_SLOT_COUNT; ++i) {
      theApp.settings.positions[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
      theApp.settings.sizes[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
    }
    theApp.settings.showStates[0] = 0;
    theApp.settings.configModified = false;
  }
  void TearDown() override {
    theApp.settings.History = m_saved.History;
    theApp.settings.configModified = false;
    AppTest::TearDown();
  }
  CWnd main;

 private:
  struct {
    UINT History;
  } m_saved;
};

TEST_F(AppWindowPosTest, UnsetPositionCentresOverTheMainWindowOrTheWorkArea) {
  const RECT area = WorkArea();
  struct Case {
    const char* name;
    bool mainWindow;
    RECT mainRect;  // x, y, cx, cy
    bool mainVisible;
    bool mainMinimized;
    POINT expected;
  };
  const int areaMidX = (area.left + area.right) / 2 - 201 / 2;
  const int areaMidY = (area.top + area.bottom) / 2 - 101 / 2;
  const Case cases[] = {
      {"over the main window", true, {100, 100, 401, 301}, true, false, {200, 200}},
      {"clamped at the far edges",
       true,
       {area.right - 150, area.bottom - 120, 300, 240},
       true,
       false,
       {area.right - 201, area.bottom - 101}},
      {"clamped at the near edges",
       true,
       {area.left - 250, area.top - 200, 300, 240},
       true,
       false,
       {area.left, area.top}},
      {"hidden main window: the work area", true, {100, 100, 401, 301}, false, false, {areaMidX, areaMidY}},
      {"minimised main window: the work area", true, {100, 100, 401, 301}, true, true, {areaMidX, areaMidY}},
      {"no main window: the work area", false, {}, false, false, {areaMidX, areaMidY}},
  };
  for (const Case& c : cases) {
    if (c.mainWindow) {
      main.hwnd =
          MakeTopWindow(c.mainRect.left, c.mainRect.top, c.mainRect.right, c.mainRect.bottom, c.mainVisible);
      if (c.mainMinimized) ShowWindow(main.hwnd, SW_MINIMIZE);
      theApp.mainWnd = &main;
    } else {
      theApp.mainWnd = nullptr;
    }
    HWND dialog = MakeTopWindow(0, 0, 50, 50, false);
    theApp.settings.sizes[FORM_FORMAT] = {201, 101};
    EXPECT_TRUE(theApp.ExchangeWindowPos(false, dialog, FORM_FORMAT, -1)) << c.name;
    const RECT placed = NormalRect(dialog);
    EXPECT_EQ(placed.left, c.expected.x) << c.name;
    EXPECT_EQ(placed.top, c.expected.y) << c.name;
    EXPECT_EQ(placed.right - placed.left, 201) << c.name;
    EXPECT_EQ(placed.bottom - placed.top, 101) << c.name;
    EXPECT_FALSE(IsWindowVisible(dialog)) << c.name << ": a dialog is placed hidden";
    DestroyWindow(dialog);
    main.Destroy();
    main.hwnd = nullptr;
  }
}

TEST_F(AppWindowPosTest, StoredValuesStandAndMissingSizeComesFromTheWindow) {
  HWND dialog = MakeTopWindow(10, 20, 333, 222, false);
  theApp.settings.positions[FORM_KEY] = {40, FORM_POS_UNSET};
  theApp.settings.sizes[FORM_KEY] = {FORM_POS_UNSET, 150};
  ASSERT_TRUE(theApp.ExchangeWindowPos(false, dialog, FORM_KEY, -1));
  const RECT area = WorkArea();
  const RECT placed = NormalRect(dialog);
  EXPECT_EQ(placed.left, 40);
  EXPECT_EQ(placed.right - placed.left, 333);
  EXPECT_EQ(placed.bottom - placed.top, 150);
  EXPECT_EQ(placed.top, (area.top + area.bottom) / 2 - 75);
  DestroyWindow(dialog);
  EXPECT_FALSE(theApp.ExchangeWindowPos(false, dialog, FORM_KEY, -1)) << "a window that is gone";
  EXPECT_FALSE(theApp.ExchangeWindowPos(true, dialog, FORM_KEY, -1));
}

TEST_F(AppWindowPosTest, ShowStatesRoundTripWithRestoreToMaximized) {
  struct Case {
    int stored;
    bool iconic;
    bool zoomed;
    bool zoomedAfterRestore;
  };
  const Case cases[] = {
      {0, false, false, false},
      {SHOW_STATE_MAXIMIZED, false, true, true},
      {SHOW_STATE_MINIMIZED, true, false, false},
      {SHOW_STATE_MINIMIZED | SHOW_STATE_MAXIMIZED, true, false, true},
  };
  for (const Case& c : cases) {
    HWND wnd = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                               nullptr, nullptr);
    main.hwnd = wnd;
    theApp.mainWnd = &main;
    theApp.settings.positions[FORM_APP_WIN] = {30, 40};
    theApp.settings.sizes[FORM_APP_WIN] = {320, 240};
    theApp.settings.showStates[0] = c.stored;
    ASSERT_TRUE(theApp.ExchangeWindowPos(false, wnd, FORM_APP_WIN, 0)) << c.stored;
    EXPECT_TRUE(IsWindowVisible(wnd)) << c.stored;
    EXPECT_EQ(IsIconic(wnd) != FALSE, c.iconic) << c.stored;
    EXPECT_EQ(IsZoomed(wnd) != FALSE, c.zoomed) << c.stored;
    // Saving gives back what was restored, and the normal rectangle whatever the state.
    theApp.settings.showStates[0] = -1;
    theApp.settings.positions[FORM_APP_WIN] = {FORM_POS_UNSET, FORM_POS_UNSET};
    ASSERT_TRUE(theApp.ExchangeWindowPos(true, wnd, FORM_APP_WIN, 0));
    EXPECT_EQ(theApp.settings.showStates[0], c.stored);
    EXPECT_EQ(theApp.settings.positions[FORM_APP_WIN].x, 30);
    EXPECT_EQ(theApp.settings.positions[FORM_APP_WIN].y, 40);
    EXPECT_EQ(theApp.settings.sizes[FORM_APP_WIN].cx, 320);
    EXPECT_EQ(theApp.settings.sizes[FORM_APP_WIN].cy, 240);
    if (c.iconic) {
      ShowWindow(wnd, SW_RESTORE);
      EXPECT_EQ(IsZoomed(wnd) != FALSE, c.zoomedAfterRestore) << c.stored;
    }
    main.Destroy();
    main.hwnd = nullptr;
  }
}

TEST_F(AppWindowPosTest, SaveMarksTheConfigurationOnlyForRememberedChanges) {
  struct Case {
    UINT history;
    bool move;
    bool resize;
    bool minimize;
    bool modified;
  };
  const Case cases[] = {
      {0, true, true, true, false},
      {HISTORY_POSITIONS, true, false, false, true},
      {HISTORY_POSITIONS, false, true, true, false},
      {HISTORY_SIZES, false, true, false, true},
      {HISTORY_SIZES, true, false, true, false},
      {HISTORY_SHOW_STATE, false, false, true, true},
      {HISTORY_SHOW_STATE, true, true, false, false},
      {HISTORY_DEFAULT | HISTORY_SHOW_STATE, false, false, false, false},
  };
  for (const Case& c : cases) {
    HWND wnd = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 60, 300, 200, nullptr,
                               nullptr, nullptr, nullptr);
    theApp.settings.History = c.history;
    ASSERT_TRUE(theApp.ExchangeWindowPos(true, wnd, FORM_APP_WIN, 0));
    theApp.settings.configModified = false;
    if (c.move) SetWindowPos(wnd, nullptr, 70, 80, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    if (c.resize) SetWindowPos(wnd, nullptr, 0, 0, 310, 210, SWP_NOMOVE | SWP_NOZORDER);
    if (c.minimize) ShowWindow(wnd, SW_MINIMIZE);
    ASSERT_TRUE(theApp.ExchangeWindowPos(true, wnd, FORM_APP_WIN, 0));
    EXPECT_EQ(theApp.settings.configModified, c.modified)
        << "history " << c.history << " move " << c.move << " resize " << c.resize << " minimise "
        << c.minimize;
    // Stored whether remembered or not.
    EXPECT_EQ(theApp.settings.positions[FORM_APP_WIN].x, c.move ? 70 : 50);
    EXPECT_EQ(theApp.settings.sizes[FORM_APP_WIN].cx, c.resize ? 310 : 300);
    EXPECT_EQ(theApp.settings.showStates[0], c.minimize ? SHOW_STATE_MINIMIZED : 0);
    DestroyWindow(wnd);
  }
}

// --- Values and names ---

tVariant Value(uint16_t vt, uint64_t bits) {
  tVariant value;
  std::memset(&value, 0, sizeof(value));
  value.ullVal = bits;
  value.vt = vt;
  return value;
}

TEST_F(AppTest, VariantToDisplayTextTable) {
  char blob[] = {'\x01', '\xAB', '\xFF'};
  WCHAR_T text[] = L"abcdef";
  struct Case {
    const char* name;
    tVariant value;
    bool shown;
    const wchar_t* expected;
  };
  tVariant blobValue = Value(VTYPE_BLOB, 0);
  blobValue.pstrVal = blob;
  blobValue.strLen = 3;
  tVariant stringValue = Value(VTYPE_PSTR, 0);
  stringValue.pstrVal = blob;
  stringValue.strLen = 2;
  tVariant emptyBlob = Value(VTYPE_BLOB, 0);
  emptyBlob.pstrVal = blob;
  tVariant wide = Value(VTYPE_PWSTR, 0);
  wide.pwstrVal = text;
  wide.wstrLen = 3;
  tVariant emptyWide = Value(VTYPE_PWSTR, 0);
  emptyWide.pwstrVal = text;
  const Case cases[] = {
      {"empty", Value(VTYPE_EMPTY, 0), true, L"Undefined"},
      {"null", Value(VTYPE_NULL, 0), true, L"Null"},
      // Narrow numbers at their own width, whatever the bytes above them hold.
      {"I1", Value(VTYPE_I1, 0x12345680), true, L"-128"},
      {"UI1", Value(VTYPE_UI1, 0x12345680), true, L"128"},
      {"I2", Value(VTYPE_I2, 0xABCD8001), true, L"-32767"},
      {"UI2", Value(VTYPE_UI2, 0xABCD8001), true, L"32769"},
      // 32-bit numbers signed, as every number edit shows them; the upper half is not theirs.
      {"I4", Value(VTYPE_I4, 0x77777777FFFFFFFEull), true, L"-2"},
      {"UI4", Value(VTYPE_UI4, 0xFFFFFFFF), true, L"-1"},
      {"INT", Value(VTYPE_INT, 123456), true, L"123456"},
      {"UINT", Value(VTYPE_UINT, 0x80000000), true, L"-2147483648"},
      {"blob", blobValue, true, L"[3]{01ABFF}"},
      {"narrow string", stringValue, true, L"[2]{01AB}"},
      {"empty blob", emptyBlob, true, L"[0]{}"},
      {"true", Value(VTYPE_BOOL, 1), true, L"True"},
      {"false", Value(VTYPE_BOOL, 0), true, L"False"},
      {"wide string of its length", wide, true, L"\"abc\""},
      {"empty wide string", emptyWide, true, L"\"\""},
      {"R8", Value(VTYPE_R8, 0), false, L""},
      {"I8", Value(VTYPE_I8, 5), false, L""},
      {"date", Value(VTYPE_DATE, 0), false, L""},
  };
  for (const Case& c : cases) {
    std::wstring out = L"left over";
    EXPECT_EQ(theApp.VariantToDisplayText(c.value, out), c.shown) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(AppValues, VariantTypeIndexTable) {
  const std::pair<uint16_t, int> cases[] = {
      {VTYPE_EMPTY, 2},
      {VTYPE_NULL, 1},
      {VTYPE_I4, 3},
      {VTYPE_UI4, 3},
      {VTYPE_PWSTR, 4},
      {VTYPE_BOOL, 5},
      {VTYPE_PSTR, 6},
      {VTYPE_BLOB, 6},
      {VTYPE_I2, 0},
      {VTYPE_R8, 0},
      {VTYPE_INT, 0},
      {VTYPE_UI1, 0},
      {uint16_t(0x1000 | VTYPE_I4), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CConfigVombraApp::VariantTypeIndex(c.first), c.second) << c.first;
}

TEST_F(AppTest, ValueTextsFollowTheLanguage) {
  theApp.LoadVariantTypeNames();
  theApp.LoadBoolNames();
  const wchar_t* variantNames[] = {L"?",      L"Null",    L"Undefined", L"Number",
                                   L"String", L"Boolean", L"BinaryData"};
  for (int i = 0; i < kVariantTypeNameCount; ++i) EXPECT_STREQ(theApp.variantTypeNames[i], variantNames[i]);
  EXPECT_STREQ(theApp.boolNames[0], L"False");
  EXPECT_STREQ(theApp.boolNames[1], L"True");

  SetUILanguage(1049);
  std::wstring out;
  theApp.VariantToDisplayText(Value(VTYPE_BOOL, 1), out);
  const std::wstring russianTrue = out;
  theApp.VariantToDisplayText(Value(VTYPE_EMPTY, 0), out);
  const std::wstring russianUndefined = out;
  theApp.LoadBoolNames();  // loaded once: stays English
  SetUILanguage(1033);
  EXPECT_EQ(russianTrue, L"Истина");
  EXPECT_EQ(russianUndefined, L"Неопределено");
  EXPECT_STREQ(theApp.boolNames[1], L"True");
}

std::string KeyTypeResource(LANGID language) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(IDR_KEY_TYPE_NAMES), language);
  if (!resource) return std::string();
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
  return std::string(data, SizeofResource(module, resource));
}

TEST_F(AppTest, KeyTypeNamesInBothLanguages) {
  struct Case {
    LANGID language;
    const wchar_t* first;
    const wchar_t* em;
    const wchar_t* smartMx4k;
  };
  const Case cases[] = {
      {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), L"not identified", L"Em-Marine proximity key",
       L"Smart MX with Mifare 4K"},
      {MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), L"не определён", L"бесконтактный ключ Em-Marine",
       L"Smart MX с Mifare 4K"},
  };
  for (const Case& c : cases) {
    const std::string bytes = KeyTypeResource(c.language);
    ASSERT_GT(bytes.size(), 3u) << c.language;
    EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "UTF-8 with its mark";
    EXPECT_NE(bytes.back(), '\n') << "the last name ends the text";
    EXPECT_NE(bytes.back(), '\r');
    size_t lineBreaks = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
      ++lineBreaks;
    EXPECT_EQ(lineBreaks, size_t(kKeyTypeCount - 1));
    std::wstring text;
    const wchar_t* names[kKeyTypeCount];
    ParseKeyTypeNames(bytes.data(), bytes.size(), text, names);
    EXPECT_STREQ(names[0], c.first);
    EXPECT_STREQ(names[1], c.em);
    EXPECT_STREQ(names[18], c.smartMx4k);
    EXPECT_STREQ(names[21], L"Mifare Mini");
    for (int i = 0; i < kKeyTypeCount; ++i) EXPECT_GT(wcslen(names[i]), 0u) << i;
  }
  // The program's own table, in the thread's language, loaded once.
  theApp.LoadKeyTypeNames();
  EXPECT_STREQ(theApp.keyTypeNames[1], L"Em-Marine proximity key");
  EXPECT_STREQ(theApp.keyTypeNames[21], L"Mifare Mini");
  const wchar_t* first = theApp.keyTypeNames[0];
  theApp.LoadKeyTypeNames();
  EXPECT_EQ(theApp.keyTypeNames[0], first);
}

TEST(AppValues, KeyTypeNameTextsTable) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::wstring> names;  // the first ones; the rest empty
  };
  const Case cases[] = {
      {"UTF-8 with the mark",
       "\xEF\xBB\xBF"
       "a\r\n\xD0\xB1\r\nc",
       {L"a", L"\x0431", L"c"}},
      {"ANSI without the mark", "a\r\nb", {L"a", L"b"}},
      {"a lone CR separates too",
       "\xEF\xBB\xBF"
       "a\rb\r\nc",
       {L"a", L"b", L"c"}},
      {"a last CR LF leaves an empty name", "a\r\n", {L"a", L""}},
      {"an empty line", "a\r\n\r\nc", {L"a", L"", L"c"}},
      {"the mark alone", "\xEF\xBB\xBF", {}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) {
    std::wstring text;
    const wchar_t* names[kKeyTypeCount];
    ParseKeyTypeNames(c.bytes.data(), c.bytes.size(), text, names);
    for (int i = 0; i < kKeyTypeCount; ++i) {
      const std::wstring expected = i < int(c.names.size()) ? c.names[i] : L"";
      EXPECT_EQ(std::wstring(names[i]), expected) << c.name << ", name " << i;
    }
  }
  // More than 22 lines: the 22nd name ends at its CR.
  std::string many;
  for (int i = 0; i < 25; ++i) many += std::to_string(i) + "\r\n";
  std::wstring text;
  const wchar_t* names[kKeyTypeCount];
  ParseKeyTypeNames(many.data(), many.size(), text, names);
  EXPECT_STREQ(names[21], L"21");
}

TEST_F(AppTest, SharedImageListHoldsEightImagesOfSixteen) {
  HIMAGELIST list = theApp.GetImageList();
  ASSERT_TRUE(list);
  EXPECT_EQ(theApp.GetImageList(), list);
  EXPECT_EQ(ImageList_GetImageCount(list), 8);
  int cx = 0, cy = 0;
  ImageList_GetIconSize(list, &cx, &cy);
  EXPECT_EQ(cx, 16);
  EXPECT_EQ(cy, 16);
}

// --- Help ---

struct HelpCall {
  HWND caller;
  std::wstring file;
  UINT command;
  DWORD_PTR data;
  std::wstring keyword;
  int cbStruct;
  BOOL indexOnFail;
};
std::vector<HelpCall> g_help;
HWND g_helpAnswer = nullptr;

HWND WINAPI RecordHtmlHelp(HWND caller, LPCWSTR file, UINT command, DWORD_PTR data) {
  HelpCall call = {caller, file ? file : L"", command, data, L"", 0, FALSE};
  if (command == HH_KEYWORD_LOOKUP) {
    const auto* link = reinterpret_cast<const HH_AKLINK*>(data);
    call.keyword = link->pszKeywords ? link->pszKeywords : L"";
    call.cbStruct = link->cbStruct;
    call.indexOnFail = link->fIndexOnFail;
    call.data = 0;
  }
  g_help.push_back(call);
  return command == HH_KEYWORD_LOOKUP ? g_helpAnswer : nullptr;
}

class AppHelpTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    g_help.clear();
    HtmlHelpSeam.HtmlHelp = &RecordHtmlHelp;
    theApp.openHelpFile.clear();
    wchar_t abbreviation[16] = {};
    GetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_SABBREVLANGNAME, abbreviation, 16);
    language = abbreviation;
  }
  void TearDown() override {
    HtmlHelpSeam.HtmlHelp = nullptr;
    theApp.openHelpFile.clear();
    AppTest::TearDown();
  }
  std::wstring language;
};

TEST_F(AppHelpTest, WithoutAHelpFileNothingIsCalled) {
  std::wstring file;
  theApp.GetHelpFile(file);
  EXPECT_EQ(file, ProgramFolder() + L"Vombra_RUS.chm");
  EXPECT_FALSE(theApp.ShowHelp(951));
  EXPECT_FALSE(theApp.ShowHelp(0));
  EXPECT_FALSE(theApp.ShowHelpKeyword(L"Format"));
  EXPECT_TRUE(g_help.empty());
  EXPECT_TRUE(theApp.openHelpFile.empty());
}

TEST_F(AppHelpTest, OnlyAnotherLanguagesFileInTheHelpFolderLeavesHelpOut) {
  if (language == L"RUS") GTEST_SKIP() << "the system's own language is the other one";
  BesideProgram beside;
  beside.Folder(L"Help");
  beside.File(L"Help\\Vombra_RUS.chm");
  std::wstring file;
  theApp.GetHelpFile(file);
  EXPECT_EQ(file, ProgramFolder() + L"Vombra_RUS.chm");
  EXPECT_FALSE(theApp.ShowHelp(951));
  EXPECT_TRUE(g_help.empty());
}

TEST_F(AppHelpTest, HelpFolderFileTakesContextsTopicsAndKeywords) {
  BesideProgram beside;
  beside.Folder(L"Help");
  const std::wstring help = beside.File(L"Help\\Vombra_" + language + L".chm");
  CWnd main;
  main.hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  theApp.mainWnd = &main;

  std::wstring file;
  theApp.GetHelpFile(file);
  EXPECT_EQ(file, help);
  EXPECT_TRUE(theApp.ShowHelp(951));
  EXPECT_TRUE(theApp.ShowHelp(0));
  g_helpAnswer = main.hwnd;
  EXPECT_TRUE(theApp.ShowHelpKeyword(L"Format"));
  g_helpAnswer = nullptr;
  EXPECT_FALSE(theApp.ShowHelpKeyword(L"Nothing"));
  theApp.mainWnd = nullptr;

  ASSERT_EQ(g_help.size(), 4u);
  EXPECT_EQ(g_help[0].command, UINT(HH_HELP_CONTEXT));
  EXPECT_EQ(g_help[0].data, DWORD_PTR(0x20000 + 951));
  EXPECT_EQ(g_help[0].file, help);
  EXPECT_EQ(g_help[0].caller, main.hwnd);
  EXPECT_EQ(g_help[1].command, UINT(HH_DISPLAY_TOPIC));
  EXPECT_EQ(g_help[1].data, 0u);
  EXPECT_EQ(g_help[2].command, UINT(HH_KEYWORD_LOOKUP));
  EXPECT_EQ(g_help[2].keyword, L"Format");
  EXPECT_EQ(g_help[2].cbStruct, 56);
  EXPECT_FALSE(g_help[2].indexOnFail);
  EXPECT_EQ(g_help[3].keyword, L"Nothing");
  EXPECT_EQ(theApp.openHelpFile, help);
}

TEST_F(AppHelpTest, AnotherFileClosesTheOpenHelpFirst) {
  BesideProgram beside;
  const std::wstring fallback = beside.File(L"Vombra_RUS.chm");
  theApp.openHelpFile = L"C:\\elsewhere\\Vombra_ENU.chm";
  EXPECT_TRUE(theApp.ShowHelp(952));
  EXPECT_TRUE(theApp.ShowHelp(953));
  ASSERT_EQ(g_help.size(), 3u);
  EXPECT_EQ(g_help[0].command, UINT(HH_CLOSE_ALL));
  EXPECT_EQ(g_help[1].command, UINT(HH_HELP_CONTEXT));
  EXPECT_EQ(g_help[1].file, fallback);
  EXPECT_EQ(g_help[2].command, UINT(HH_HELP_CONTEXT)) << "the same file stays open";
  EXPECT_EQ(g_help[1].caller, nullptr) << "no main window, no owner";
  EXPECT_EQ(theApp.openHelpFile, fallback);
}

TEST(AppHelp, RealHtmlHelpAnswersWithoutAWindow) {
  // hhctrl.ocx loads; closing everything with nothing open shows nothing.
  EXPECT_EQ(CallHtmlHelp(nullptr, nullptr, HH_CLOSE_ALL, 0), nullptr);
}

// --- The built program ---

std::wstring ProgramPath() { return ProgramFolder() + L"ConfigVombra.exe"; }

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  const DWORD size = GetFileSize(file, nullptr);
  bytes.resize(size);
  DWORD read = 0;
  ReadFile(file, &bytes[0], size, &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

// The names of the DLLs a PE32+ file imports, read from its import directory.
std::vector<std::string> ImportedDlls(const std::string& image) {
  std::vector<std::string> names;
  if (image.size() < sizeof(IMAGE_DOS_HEADER)) return names;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  auto offsetOf = [&](DWORD rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const auto& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize) {
        return rva - s.VirtualAddress + s.PointerToRawData;
      }
    }
    return 0;
  };
  size_t at = offsetOf(directory.VirtualAddress);
  if (!at) return names;
  for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + at); entry->Name;
       ++entry) {
    names.push_back(image.data() + offsetOf(entry->Name));
  }
  return names;
}

TEST(AppProgram, ImportsOnlySystemDlls) {
  const std::string image = ReadBytes(ProgramPath());
  ASSERT_FALSE(image.empty()) << "ConfigVombra.exe beside the test";
  const std::vector<std::string> dlls = ImportedDlls(image);
  ASSERT_GE(dlls.size(), 3u);
  const char* system[] = {"kernel32.dll", "user32.dll",  "gdi32.dll",    "advapi32.dll", "comctl32.dll",
                          "comdlg32.dll", "shell32.dll", "shlwapi.dll",  "ole32.dll",    "oleaut32.dll",
                          "version.dll",  "winmm.dll",   "winscard.dll", "msvcrt.dll",   "ws2_32.dll",
                          "setupapi.dll", "uxtheme.dll", "imm32.dll",    "cfgmgr32.dll", "bcrypt.dll"};
  bool kernel = false;
  for (const std::string& dll : dlls) {
    bool known = false;
    for (const char* name : system) known = known || _stricmp(dll.c_str(), name) == 0;
    EXPECT_TRUE(known) << dll;
    kernel = kernel || _stricmp(dll.c_str(), "kernel32.dll") == 0;
  }
  EXPECT_TRUE(kernel);
}

TEST(AppProgram, ManifestAsksForCommonControlsSix) {
  HMODULE image = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(image);
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_TRUE(resource);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                             SizeofResource(image, resource));
  FreeLibrary(image);
  const size_t controls = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
  ASSERT_NE(controls, std::string::npos) << manifest;
  const size_t end = manifest.find("/>", controls);
  const std::string identity = manifest.substr(controls, end - controls);
  EXPECT_NE(identity.find("version=\"6.0.0.0\""), std::string::npos) << identity;
  EXPECT_EQ(manifest.find("dpiAware"), std::string::npos) << "DPI awareness is not asked";
}

struct ProcessWindows {
  DWORD process;
  int mine = 0;
  int others = 0;
};

BOOL CALLBACK CountMainWindows(HWND wnd, LPARAM param) {
  auto* count = reinterpret_cast<ProcessWindows*>(param);
  wchar_t name[32] = {};
  GetClassNameW(wnd, name, 32);
  if (wcscmp(name, kMainClass) == 0) {
    DWORD process = 0;
    GetWindowThreadProcessId(wnd, &process);
    (process == count->process ? count->mine : count->others)++;
  }
  return TRUE;
}

PROCESS_INFORMATION Start(const std::wstring& exe, const std::wstring& folder) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + exe + L"\"";
  CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                 &process);
  return process;
}

TEST(AppProgram, SecondCopyEndsWithMinusOneAndTheFirstKeepsItsWindow) {
  CleanSettingsKeys clean;
  ScratchFolder scratch;
  const std::wstring exe = scratch.path + L"\\ConfigVombra.exe";
  ASSERT_TRUE(CopyFileW(ProgramPath().c_str(), exe.c_str(), FALSE));
  WriteBytes(scratch.path + L"\\portable_mode_enabled", "");

  PROCESS_INFORMATION first = Start(exe, scratch.path);
  ASSERT_TRUE(first.hProcess);
  ProcessWindows windows{first.dwProcessId};
  for (int i = 0; i < 300 && windows.mine == 0; ++i) {
    if (WaitForSingleObject(first.hProcess, 100) == WAIT_OBJECT_0) break;
    windows = {first.dwProcessId};
    EnumWindows(&CountMainWindows, LPARAM(&windows));
  }
  ASSERT_EQ(windows.mine, 1) << "the first copy shows its main window";

  PROCESS_INFORMATION second = Start(exe, scratch.path);
  ASSERT_TRUE(second.hProcess);
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(second.hProcess, &code);
  EXPECT_EQ(code, 0xFFFFFFFFu);

  windows = {first.dwProcessId};
  EnumWindows(&CountMainWindows, LPARAM(&windows));
  EXPECT_EQ(windows.mine, 1);
  EXPECT_EQ(windows.others, 0);
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), DWORD(WAIT_TIMEOUT)) << "the first copy still runs";
  // Its data stayed beside it.
  EXPECT_FALSE(IsFolder(scratch.path + L"\\Tarvelon"));

  TerminateProcess(first.hProcess, 0);
  WaitForSingleObject(first.hProcess, 10000);
  for (HANDLE handle : {first.hProcess, first.hThread, second.hProcess, second.hThread}) CloseHandle(handle);
}

}  // namespace
