// The Sound page in the real main window (tab 3): what the table shows per row and column layout, the
// in-place editor's click rules on the test clock (timer 1 sent, never waited for), the media files the
// combo offers, Play and Stop over the sound calls, the Open dialog's path rules, Delete with its
// question, the list's menu read while it is open, and every sound stored through Save as the add-in's
// loader reads it. In process under Xvfb; the message boxes, the Open dialog, Explorer and the sound
// calls are scripted at their seams; one smoke test plays real files through Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "../classlib/ModalStep.h"
#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Controls.h"
#include "FileDialog.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "SoundPage.h"
#include "doubles/FakeClock.h"

namespace {

CConfigVombraApp theApp;

// ---- Scripted message boxes.

struct BoxAnswer {
  int Button;
  BOOL DoNotAsk;
};
std::vector<std::wstring> g_boxes;
std::deque<BoxAnswer> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  g_boxes.push_back(config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"");
  BoxAnswer answer{IDCANCEL, FALSE};
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer.Button;
  if (verified) *verified = answer.DoNotAsk;
  return S_OK;
}

// ---- Scripted Open dialog: the initial name it was given, and the path it answers (none: cancelled).

std::vector<std::wstring> g_dialogInitialNames;
std::vector<DWORD> g_dialogFlags;
std::wstring g_dialogAnswer;

BOOL WINAPI ScriptedOpen(OPENFILENAMEW* ofn) {
  g_dialogInitialNames.push_back(ofn->lpstrFile);
  g_dialogFlags.push_back(ofn->Flags);
  if (g_dialogAnswer.empty() || g_dialogAnswer.size() + 1 > ofn->nMaxFile) return FALSE;
  lstrcpynW(ofn->lpstrFile, g_dialogAnswer.c_str(), int(ofn->nMaxFile));
  return TRUE;
}

// ---- Recorded sound calls and Explorer starts.

std::vector<std::wstring> g_soundCalls;  // "play <file> <flags>" or "mci <command>"
MCIERROR g_mciOpenAnswer = 0;

BOOL WINAPI RecordPlaySound(LPCWSTR sound, HMODULE, DWORD flags) {
  g_soundCalls.push_back(L"play " + std::wstring(sound ? sound : L"<none>") + L" " + std::to_wstring(flags));
  return TRUE;
}

MCIERROR WINAPI RecordMci(LPCWSTR command, LPWSTR, UINT, HWND) {
  const std::wstring text = command;
  g_soundCalls.push_back(L"mci " + text);
  return text.compare(0, 5, L"open ") == 0 ? g_mciOpenAnswer : 0;
}

std::vector<std::wstring> g_shellCalls;  // "verb|file|parameters"
BOOL g_shellAnswer = TRUE;

BOOL WINAPI RecordShellExecute(SHELLEXECUTEINFOW* info) {
  g_shellCalls.push_back(std::wstring(info->lpVerb) + L"|" + info->lpFile + L"|" + info->lpParameters);
  if (!g_shellAnswer) SetLastError(ERROR_FILE_NOT_FOUND);
  return g_shellAnswer;
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

const std::wstring kAsync = std::to_wstring(SND_FILENAME | SND_NODEFAULT | SND_ASYNC);

class SoundPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    CAppSettings& settings = theApp.settings;
    settings.ResetConfig(false);
    settings.ResetSettings();
    settings.SoundEnabled = true;
    settings.SoundFiles[0] = L"C:\\Media\\key.wav";
    settings.SoundFiles[1] = L"C:\\Media\\lost.mid";
    settings.SoundFiles[2] = L"C:\\Media\\tune.mp3";
    settings.configModified = false;
    settings.SetConfigPath((m_folder / L"ConfigVombra.xml").c_str());
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    FileDialogSeam.GetOpenFileName = &ScriptedOpen;
    SoundSeam.PlaySoundProc = &RecordPlaySound;
    SoundSeam.MciSendStringProc = &RecordMci;
    ExplorerSeam.ShellExecuteEx = &RecordShellExecute;
    g_boxes.clear();
    g_answers.clear();
    g_dialogInitialNames.clear();
    g_dialogFlags.clear();
    g_dialogAnswer.clear();
    g_soundCalls.clear();
    g_mciOpenAnswer = 0;
    g_shellCalls.clear();
    g_shellAnswer = TRUE;
    ASSERT_TRUE(theApp.CreateMainFrame());
    m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
    ShowWindow(m_frame->hwnd, SW_SHOW);
    ASSERT_TRUE(m_frame->SelectPage(PAGE_SOUND));
    m_page = dynamic_cast<CSoundPage*>(m_frame->GetPage(PAGE_SOUND));
    ASSERT_NE(m_page, nullptr);
    ASSERT_NE(m_page->table.hwnd, nullptr);
    settings.settingsModified = false;
  }

  void TearDown() override {
    if (m_frame) {
      if (m_frame->hwnd) DestroyWindow(m_frame->hwnd);
      delete m_frame;
      theApp.mainWnd = nullptr;
    }
    Pump();
    MessageBoxSeam = CMessageBoxSeam();
    FileDialogSeam = CFileDialogSeam();
    SoundSeam = CSoundSeam();
    ExplorerSeam = CExplorerSeam();
    theApp.settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }

  HWND List() const { return m_page->table.hwnd; }
  HWND Combo() const { return GetDlgItem(m_page->hwnd, IDC_SOUND_COMBO); }

  // The list-view column showing `kind`, -1 when hidden.
  int ColumnOf(int kind) const { return m_page->table.GetHeaderIndex(kind); }

  std::wstring CellText(int row, int column) {
    wchar_t text[300] = L"";
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 300;
    SendMessageW(List(), LVM_GETITEMW, 0, LPARAM(&item));
    return text;
  }
  int CellImage(int row, int column) {
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iSubItem = column;
    item.iImage = -99;
    SendMessageW(List(), LVM_GETITEMW, 0, LPARAM(&item));
    return item.iImage;
  }

  // Rows selected as the user leaves them: the first focused.
  void SelectRows(const std::vector<int>& rows) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
    for (size_t i = 0; i < rows.size(); ++i) {
      state.state = LVIS_SELECTED | (i == 0 ? LVIS_FOCUSED : 0);
      SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(rows[i]), LPARAM(&state));
    }
  }

  POINT CellCentre(int row, int column) {
    RECT cell{};
    cell.top = column;
    cell.left = LVIR_BOUNDS;
    SendMessageW(List(), LVM_GETSUBITEMRECT, row, LPARAM(&cell));
    RECT item{};
    SendMessageW(HWND(SendMessageW(List(), LVM_GETHEADER, 0, 0)), HDM_GETITEMRECT, column, LPARAM(&item));
    return POINT{(item.left + item.right) / 2, (cell.top + cell.bottom) / 2};
  }

  void SendListNotify(UINT code, int row, int column) {
    NMITEMACTIVATE note{};
    note.hdr = {List(), IDC_SOUND_LIST, code};
    note.iItem = row;
    note.iSubItem = column;
    note.ptAction = CellCentre(row, column);
    SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_SOUND_LIST, LPARAM(&note));
  }
  // A click as the list reports it: the row is focused and selected first.
  void Click(int row, int kind) {
    SelectRows({row});
    SendListNotify(NM_CLICK, row, ColumnOf(kind));
  }

  void Key(WORD key, bool shift = false) {
    BYTE keys[256];
    GetKeyboardState(keys);
    const BYTE saved = keys[VK_SHIFT];
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    NMLVKEYDOWN note{};
    note.hdr = {List(), IDC_SOUND_LIST, UINT(LVN_KEYDOWN)};
    note.wVKey = key;
    SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_SOUND_LIST, LPARAM(&note));
    keys[VK_SHIFT] = saved;
    SetKeyboardState(keys);
  }

  void Command(UINT id) { SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

  std::wstring Files(int count = 3) const {
    std::wstring text;
    for (int i = 0; i < count; ++i) text += (i ? L"|" : L"") + theApp.settings.SoundFiles[i];
    return text;
  }

  ScratchFolder m_folder;
  CMainFrame* m_frame = nullptr;
  CSoundPage* m_page = nullptr;
};

// ---- What the table shows

TEST_F(SoundPageTest, RowsShowNamesFilesAndImagesInEveryColumnLayout) {
  m_frame->mciSound = 1;  // the MIDI file of row 1 plays
  struct Layout {
    const char* Name;
    COLUMN_SET Columns;  // width, order, align, flags
  } layouts[] = {
      {"default", DefaultColumnSet(CS_SOUNDS)},
      {"Event hidden", {{150, 0, 0, 0}, {200, 1, 0, 1}, {25, 2, 2, 1}, {25, 3, 2, 1}, {25, 4, 2, 1}}},
      {"Play first, Go hidden", {{150, 1, 0, 1}, {200, 2, 0, 1}, {25, 0, 2, 1}, {25, 3, 2, 0}, {25, 4, 2, 1}}},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.Name);
    {
      _DOC_UPDATE_INFO batch(&theApp.settings, nullptr);
      theApp.settings.soundsColumns = layout.Columns;
      theApp.settings.AddViewDetail(VIEW_DETAIL_SOUNDS_COLUMNS);
      theApp.settings.UpdateAllViews(HINT_VIEW_OPTIONS);
    }
    ASSERT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), 7);
    // Each visible kind read from the column the list shows it in.
    for (int row : {0, 1, 3}) {
      SCOPED_TRACE(row);
      const bool hasFile = row != 3;
      const int event = ColumnOf(SNDCOL_EVENT), file = ColumnOf(SNDCOL_FILE), play = ColumnOf(SNDCOL_PLAY),
                go = ColumnOf(SNDCOL_GO), browse = ColumnOf(SNDCOL_BROWSE);
      const wchar_t* names[] = {L"Key number is transmitted", L"Error transmission key number", L"",
                                L"Reader is disconnected"};
      if (event >= 0) { EXPECT_EQ(CellText(row, event), names[row]); }
      if (file >= 0) { EXPECT_EQ(CellText(row, file), theApp.settings.SoundFiles[row]); }
      if (file >= 0) { EXPECT_EQ(CellImage(row, file), I_IMAGENONE); }
      if (play >= 0) {
        EXPECT_EQ(CellImage(row, play), !hasFile ? I_IMAGENONE : row == 1 ? SOUND_IMAGE_STOP : SOUND_IMAGE_PLAY);
        EXPECT_EQ(CellText(row, play), L"");
      }
      if (go >= 0) { EXPECT_EQ(CellImage(row, go), hasFile ? SOUND_IMAGE_GO : I_IMAGENONE); }
      if (browse >= 0) { EXPECT_EQ(CellImage(row, browse), SOUND_IMAGE_FOLDER); }
    }
  }
  EXPECT_EQ(ColumnOf(SNDCOL_GO), -1);
  int order[4] = {};
  ASSERT_TRUE(SendMessageW(List(), LVM_GETCOLUMNORDERARRAY, 4, LPARAM(order)));
  EXPECT_EQ(order[0], ColumnOf(SNDCOL_PLAY));
  m_frame->mciSound = -1;
}

TEST_F(SoundPageTest, SwitchAndViewOptionsFollowTheDocument) {
  HWND box = GetDlgItem(m_page->hwnd, IDC_SOUND_ENABLED);
  EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_TRUE(IsWindowEnabled(List()));

  // The user's click: the document follows, the list is disabled, the settings are modified.
  HintRecorder hints(theApp.settings);
  SendMessageW(box, BM_CLICK, 0, 0);
  EXPECT_FALSE(theApp.settings.SoundEnabled);
  EXPECT_TRUE(theApp.settings.settingsModified);
  EXPECT_TRUE(hints.Hints & HINT_SOUND_ENABLED);
  EXPECT_FALSE(IsWindowEnabled(List()));

  // The document's change (a load): the box and the list follow.
  {
    _DOC_UPDATE_INFO batch(&theApp.settings, nullptr);
    theApp.settings.SoundEnabled = true;
    theApp.settings.UpdateAllViews(HINT_SOUND_ENABLED);
  }
  EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_TRUE(IsWindowEnabled(List()));

  for (bool grid : {true, false}) {
    SCOPED_TRACE(grid);
    _DOC_UPDATE_INFO batch(&theApp.settings, nullptr);
    theApp.settings.tableGrid = grid;
    theApp.settings.AddViewDetail(VIEW_DETAIL_TABLE_GRID);
    theApp.settings.UpdateAllViews(HINT_VIEW_OPTIONS);
    theApp.settings.EndUpdate(batch);
    const DWORD style = DWORD(SendMessageW(List(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    EXPECT_EQ((style & LVS_EX_GRIDLINES) != 0, grid);
  }
}

// ---- The in-place editor

TEST_F(SoundPageTest, EditScript) {
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  SetForegroundWindow(m_frame->hwnd);
  const int fileColumn = ColumnOf(SNDCOL_FILE);
  auto timer = [&] { SendMessageW(m_page->hwnd, WM_TIMER, 1, 0); };
  auto typeText = [&](const wchar_t* text) { SetWindowTextW(Combo(), text); };
  auto key = [&](WORD vk) { SendMessageW(m_page->editBox, WM_KEYDOWN, vk, 0); };
  // Opens the editor on row 1 the way a user does: select, wait, click the file, timer.
  auto open = [&] {
    Click(1, SNDCOL_FILE);
    clock.Advance(501);
    SendListNotify(NM_CLICK, 1, fileColumn);
    timer();
  };
  struct Step {
    const char* Name;
    std::function<void()> Act;
    const wchar_t* State;  // editing, timer, row 1's file, settings modified, dialogs, boxes
  } steps[] = {
      {"first click selects", [&] { Click(1, SNDCOL_FILE); }, L"edit=0 timer=0 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"second click at 500 ms is too soon",
       [&] {
         clock.Advance(500);
         SendListNotify(NM_CLICK, 1, fileColumn);
       },
       L"edit=0 timer=0 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"a click later starts the timer",
       [&] {
         clock.Advance(1);
         SendListNotify(NM_CLICK, 1, fileColumn);
       },
       L"edit=0 timer=1 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"the timer opens the combo with the file", timer, L"edit=1 timer=0 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"a case-only change is no change",
       [&] {
         typeText(L"c:\\MEDIA\\LOST.MID");
         key(VK_RETURN);
       },
       L"edit=0 timer=0 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"Esc drops the text",
       [&] {
         open();
         typeText(L"C:\\Media\\other.mid");
         key(VK_ESCAPE);
       },
       L"edit=0 timer=0 file=C:\\Media\\lost.mid mod=0 dlg=0"},
      {"Enter stores",
       [&] {
         open();
         typeText(L"C:\\Media\\Ключ.wav");
         key(VK_RETURN);
       },
       L"edit=0 timer=0 file=C:\\Media\\Ключ.wav mod=1 dlg=0"},
      {"a Cyrillic case-only change is no change",
       [&] {
         theApp.settings.settingsModified = false;
         open();
         typeText(L"C:\\Media\\КЛЮЧ.WAV");
         key(VK_RETURN);
       },
       L"edit=0 timer=0 file=C:\\Media\\Ключ.wav mod=0 dlg=0"},
      {"focus loss stores",
       [&] {
         open();
         typeText(L"C:\\Media\\focus.wav");
         SetFocus(GetDlgItem(m_page->hwnd, IDC_SOUND_ENABLED));
       },
       L"edit=0 timer=0 file=C:\\Media\\focus.wav mod=1 dlg=0"},
      {"another row commits the edit",
       [&] {
         theApp.settings.settingsModified = false;
         open();
         typeText(L"C:\\Media\\moved.wav");
         Click(4, SNDCOL_EVENT);
       },
       L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=1 dlg=0"},
      {"a double click opens the Open dialog instead",
       [&] {
         theApp.settings.settingsModified = false;
         Click(1, SNDCOL_FILE);
         clock.Advance(600);
         SendListNotify(NM_CLICK, 1, fileColumn);
         SendListNotify(NM_DBLCLK, 1, fileColumn);
         timer();  // a timer message already queued does nothing now
       },
       L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=0 dlg=1"},
      {"Insert opens it for the selected row", [&] { Key(VK_INSERT); },
       L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=0 dlg=2"},
      {"Return too", [&] { SendListNotify(NM_RETURN, -1, 0); }, L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=0 dlg=3"},
      {"no selection: Insert does nothing",
       [&] {
         SelectRows({});
         Key(VK_INSERT);
       },
       L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=0 dlg=3"},
      {"a pending timer stops when the list loses the focus",
       [&] {
         Click(1, SNDCOL_FILE);
         clock.Advance(600);
         SendListNotify(NM_CLICK, 1, fileColumn);
         NMHDR note{List(), IDC_SOUND_LIST, UINT(NM_KILLFOCUS)};
         SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_SOUND_LIST, LPARAM(&note));
       },
       L"edit=0 timer=0 file=C:\\Media\\moved.wav mod=0 dlg=3"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.Name);
    step.Act();
    const std::wstring state = L"edit=" + std::to_wstring(m_page->editing) + L" timer=" +
                               std::to_wstring(m_page->editTimer) + L" file=" + theApp.settings.SoundFiles[1] +
                               L" mod=" + std::to_wstring(theApp.settings.settingsModified) +
                               L" dlg=" + std::to_wstring(g_dialogInitialNames.size());
    EXPECT_EQ(state, step.State);
    EXPECT_EQ(IsWindowVisible(Combo()) != FALSE, m_page->editing);
  }
  EXPECT_EQ(g_dialogInitialNames.front(), L"C:\\Media\\moved.wav");
}

// Clicks the list view handles itself, with the notifications it sends of its own (Wine's list takes the
// focus off the clicked row and gives it back on each click).
TEST_F(SoundPageTest, SecondRealClickOnTheSelectedFileOpensTheEditor) {
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  const POINT cell = CellCentre(2, ColumnOf(SNDCOL_FILE));
  auto click = [&] {
    PostMessageW(List(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(cell.x, cell.y));
    PostMessageW(List(), WM_LBUTTONUP, 0, MAKELPARAM(cell.x, cell.y));
    Pump();
  };
  click();
  EXPECT_EQ(m_page->editRow, 2);
  EXPECT_FALSE(m_page->editTimer);
  clock.Advance(600);
  click();
  EXPECT_EQ(m_page->editRow, 2);
  ASSERT_TRUE(m_page->editTimer);
  SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
  EXPECT_TRUE(m_page->editing);
  EXPECT_TRUE(IsWindowVisible(Combo()));
}

TEST_F(SoundPageTest, ComboSitsOnTheFileCellAboveTheListWhateverTheColumnOrder) {
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  // The file column first (Event hidden): column 0, whose bounds the list answers for the whole row.
  {
    _DOC_UPDATE_INFO batch(&theApp.settings, nullptr);
    theApp.settings.soundsColumns = {{150, 0, 0, 0}, {200, 1, 0, 1}, {25, 2, 2, 1}, {25, 3, 2, 1}, {25, 4, 2, 1}};
    theApp.settings.AddViewDetail(VIEW_DETAIL_SOUNDS_COLUMNS);
    theApp.settings.UpdateAllViews(HINT_VIEW_OPTIONS);
  }
  ASSERT_EQ(ColumnOf(SNDCOL_FILE), 0);
  Click(2, SNDCOL_FILE);
  clock.Advance(600);
  SendListNotify(NM_CLICK, 2, 0);
  SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
  ASSERT_TRUE(m_page->editing);
  RECT combo, header;
  GetWindowRect(Combo(), &combo);
  HWND headerWnd = HWND(SendMessageW(List(), LVM_GETHEADER, 0, 0));
  SendMessageW(headerWnd, HDM_GETITEMRECT, 0, LPARAM(&header));
  MapWindowPoints(headerWnd, nullptr, reinterpret_cast<POINT*>(&header), 2);
  EXPECT_EQ(combo.left, header.left);
  EXPECT_EQ(combo.right, header.right);
  // Topmost among the page's children: the list does not paint over it.
  EXPECT_EQ(GetWindow(m_page->hwnd, GW_CHILD), Combo());
  wchar_t text[300] = L"";
  GetWindowTextW(Combo(), text, 300);
  EXPECT_STREQ(text, L"C:\\Media\\tune.mp3");
}

// The media folder of the Windows folder, with files of this test's own in a folder of its own.
class MediaFixture {
 public:
  MediaFixture() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    media = std::wstring(windows) + L"\\Media";
    CreateDirectoryW(media.c_str(), nullptr);
    folder = media + L"\\VombraTest" + std::to_wstring(GetCurrentProcessId());
    ScratchFolder::Remove(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\sub").c_str(), nullptr);
    for (const wchar_t* name : {L"b.Mid", L"a.WAV", L"c.mp3", L"d.txt", L"noext", L"sub\\z.wav", L"E.Wav"})
      WriteBytes(folder + L"\\" + name, "x");
  }
  ~MediaFixture() { ScratchFolder::Remove(folder); }
  std::wstring media;
  std::wstring folder;
};

TEST_F(SoundPageTest, ComboOffersTheMediaFilesInPathOrderAndStoresOnlyThePath) {
  MediaFixture fixture;
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  Click(4, SNDCOL_FILE);
  clock.Advance(600);
  SendListNotify(NM_CLICK, 4, ColumnOf(SNDCOL_FILE));
  SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
  ASSERT_TRUE(m_page->editing);

  const int count = int(SendMessageW(Combo(), CB_GETCOUNT, 0, 0));
  std::vector<std::wstring> ours;
  int first = -1;
  const std::wstring prefix = fixture.folder + L"\\";
  for (int i = 0; i < count; ++i) {
    std::vector<wchar_t> text(size_t(SendMessageW(Combo(), CB_GETLBTEXTLEN, i, 0)) + 1);
    SendMessageW(Combo(), CB_GETLBTEXT, i, LPARAM(text.data()));
    std::wstring entry = text.data();
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    if (first < 0) first = i;
    // The display name follows the path after the separator.
    const size_t cut = entry.find(L" \t// ");
    ASSERT_NE(cut, std::wstring::npos) << entry.c_str();
    EXPECT_FALSE(entry.substr(cut + 5).empty());
    ours.push_back(entry.substr(prefix.size(), cut - prefix.size()));
  }
  EXPECT_EQ(ours, (std::vector<std::wstring>{L"sub\\z.wav", L"a.WAV", L"b.Mid", L"c.mp3", L"E.Wav"}));

  // A drop-down choice: the combo takes the entry, then the page stores what precedes the separator.
  ASSERT_GE(first, 0);
  SendMessageW(Combo(), CB_SETCURSEL, first + 1, 0);
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_SOUND_COMBO, CBN_SELENDOK), LPARAM(Combo()));
  EXPECT_TRUE(m_page->editing);  // not before the posted message
  Pump();
  EXPECT_FALSE(m_page->editing);
  EXPECT_EQ(theApp.settings.SoundFiles[4], prefix + L"a.WAV");
}

// ---- Play and stop

TEST_F(SoundPageTest, PlayOrStopScript) {
  theApp.settings.SoundFiles[3] = L"C:\\Media\\refused.mp3";
  const int play = ColumnOf(SNDCOL_PLAY);
  auto notifyEnd = [&] { SendMessageW(m_frame->hwnd, MM_MCINOTIFY, MCI_NOTIFY_ABORTED, 1); };
  struct Step {
    const char* Name;
    std::function<void()> Act;
    std::vector<std::wstring> Calls;
    int Playing;                  // mciSound afterwards
    std::vector<int> PlayImages;  // rows 0..4
  } steps[] = {
      {"MIDI plays and shows stop", [&] { Click(1, SNDCOL_PLAY); },
       {L"mci open \"C:\\Media\\lost.mid\" type sequencer alias media", L"mci play media from 0 notify"},
       1,
       {2, 3, 2, 2, I_IMAGENONE}},
      {"any Play cell stops it", [&] { Click(0, SNDCOL_PLAY); }, {L"mci stop media"}, -1, {2, 2, 2, 2, I_IMAGENONE}},
      {"the next click plays again", [&] { Click(1, SNDCOL_PLAY); },
       {L"mci close media", L"mci open \"C:\\Media\\lost.mid\" type sequencer alias media",
        L"mci play media from 0 notify"},
       1,
       {2, 3, 2, 2, I_IMAGENONE}},
      {"its end turns the image back", notifyEnd, {}, -1, {2, 2, 2, 2, I_IMAGENONE}},
      {"a WAV file has no playing state", [&] { Click(0, SNDCOL_PLAY); },
       {L"mci close media", L"play C:\\Media\\key.wav " + kAsync},
       -1,
       {2, 2, 2, 2, I_IMAGENONE}},
      {"and restarts on each click", [&] { Command(ID_SOUND_PLAY); },
       {L"play <none> 0", L"play C:\\Media\\key.wav " + kAsync},
       -1,
       {2, 2, 2, 2, I_IMAGENONE}},
      {"a refused open plays nothing",
       [&] {
         g_mciOpenAnswer = 277;
         Click(3, SNDCOL_PLAY);
         g_mciOpenAnswer = 0;
       },
       {L"play <none> 0", L"mci open \"C:\\Media\\refused.mp3\" type mpegvideo alias media"},
       -1,
       {2, 2, 2, 2, I_IMAGENONE}},
      {"an event without a file plays nothing", [&] { Click(4, SNDCOL_PLAY); }, {}, -1, {2, 2, 2, 2, I_IMAGENONE}},
      {"MP3 plays", [&] { Click(2, SNDCOL_PLAY); },
       {L"mci open \"C:\\Media\\tune.mp3\" type mpegvideo alias media", L"mci play media from 0 notify"},
       2,
       {2, 2, 3, 2, I_IMAGENONE}},
      {"sounds off while playing closes it",
       [&] { SendMessageW(GetDlgItem(m_page->hwnd, IDC_SOUND_ENABLED), BM_CLICK, 0, 0); },
       {L"mci close media"},
       -1,
       {2, 2, 2, 2, I_IMAGENONE}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.Name);
    g_soundCalls.clear();
    step.Act();
    EXPECT_EQ(g_soundCalls, step.Calls);
    EXPECT_EQ(m_frame->mciSound, step.Playing);
    std::vector<int> images;
    for (int row = 0; row < 5; ++row) images.push_back(CellImage(row, play));
    EXPECT_EQ(images, step.PlayImages);
  }
}

// Real files through Wine's players: they start and end (or fail) without hanging the page.
TEST_F(SoundPageTest, RealWaveAndMidiFilesStartAndEnd) {
  SoundSeam = CSoundSeam();
  ScratchFolder folder;
  // 0.1 s of 8-bit mono silence at 8 kHz.
  std::string wave = "RIFF";
  const uint32_t samples = 800;
  auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  wave += le32(36 + samples) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) +
          le16(8) + "data" + le32(samples) + std::string(samples, char(0x80));
  // One short note.
  const std::string track = std::string("\x00\x90\x3C\x40\x10\x80\x3C\x40\x00\xFF\x2F\x00", 12);
  std::string midi = std::string("MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60", 14) + "MTrk" +
                     std::string{0, 0, 0, char(track.size())} + track;
  WriteBytes(folder / L"beep.wav", wave);
  WriteBytes(folder / L"note.mid", midi);
  theApp.settings.SoundFiles[0] = folder / L"beep.wav";
  theApp.settings.SoundFiles[1] = folder / L"note.mid";

  // Each click comes back at once; the WAV file has no playing state.
  DWORD start = GetTickCount();
  Click(0, SNDCOL_PLAY);
  EXPECT_EQ(m_frame->mciSound, -1);
  Click(1, SNDCOL_PLAY);
  EXPECT_LT(GetTickCount() - start, 3000u);
  // Wine's sequencer may end at once, play, or wait for a device it has not; the Play image follows
  // whatever it does, and a click on a playing sound stops it.
  start = GetTickCount();
  while (m_frame->mciSound != -1 && GetTickCount() - start < 2000) {
    Pump();
    Sleep(20);
  }
  const int play = ColumnOf(SNDCOL_PLAY);
  EXPECT_EQ(CellImage(1, play), m_frame->mciSound == 1 ? SOUND_IMAGE_STOP : SOUND_IMAGE_PLAY);
  if (m_frame->mciSound == 1) {
    Click(1, SNDCOL_PLAY);
    EXPECT_EQ(m_frame->mciSound, -1);
    EXPECT_EQ(CellImage(1, play), SOUND_IMAGE_PLAY);
  }
  m_frame->StopSound();
}

// ---- The Open dialog, Explorer, Delete

TEST_F(SoundPageTest, OpenDialogStoresThroughTheDocumentAndRefusesPathsTheAddinCannotLoad) {
  HintRecorder hints(theApp.settings);
  struct Case {
    const char* Name;
    std::wstring Answer;  // empty: cancelled
    std::wstring Stored;
    bool Modified;
    size_t Boxes;
  } cases[] = {
      {"cancelled", L"", L"C:\\Media\\tune.mp3", false, 0},
      {"the same path", L"C:\\Media\\tune.mp3", L"C:\\Media\\tune.mp3", false, 0},
      {"a case change is a change here", L"C:\\Media\\TUNE.mp3", L"C:\\Media\\TUNE.mp3", true, 0},
      {"259 characters", L"C:\\" + std::wstring(252, L'a') + L".wav", L"C:\\" + std::wstring(252, L'a') + L".wav",
       true, 0},
      {"260 characters", L"C:\\" + std::wstring(253, L'b') + L".wav", L"C:\\" + std::wstring(252, L'a') + L".wav",
       false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    theApp.settings.settingsModified = false;
    hints.Reset();
    g_boxes.clear();
    g_dialogAnswer = c.Answer;
    Click(2, SNDCOL_BROWSE);
    EXPECT_EQ(theApp.settings.SoundFiles[2], c.Stored);
    EXPECT_EQ(theApp.settings.settingsModified, c.Modified);
    // Other views hear of it (the page itself redraws its row).
    EXPECT_EQ((hints.Hints & HINT_SOUND_FILES) != 0, c.Modified);
    EXPECT_EQ(g_boxes.size(), c.Boxes);
    EXPECT_EQ(CellText(2, ColumnOf(SNDCOL_FILE)), c.Stored);
  }
  EXPECT_EQ(g_dialogFlags.back() & (OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER),
            DWORD(OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER));
}

TEST_F(SoundPageTest, GoSelectsTheFileInExplorerAndShowsAFailure) {
  Click(0, SNDCOL_GO);
  Click(4, SNDCOL_GO);  // no file: nothing
  EXPECT_EQ(g_shellCalls, (std::vector<std::wstring>{L"open|explorer.exe|/select, \"C:\\Media\\key.wav\""}));
  EXPECT_TRUE(g_boxes.empty());
  g_shellAnswer = FALSE;
  SelectRows({1});
  Command(ID_SOUND_GO);
  EXPECT_EQ(g_shellCalls.size(), 2u);
  EXPECT_EQ(g_boxes.size(), 1u);
}

TEST_F(SoundPageTest, DeleteAsksForTheSelectedRowsAndShiftClearsWithoutAsking) {
  struct Case {
    const char* Name;
    std::vector<int> Rows;
    bool Shift;
    std::deque<BoxAnswer> Answers;
    std::vector<std::wstring> Boxes;
    std::wstring Files;  // rows 0..3
    bool Modified;
    UINT ConfirmAfter;
  } cases[] = {
      {"no selection", {}, false, {}, {}, L"C:\\Media\\key.wav|C:\\Media\\lost.mid|C:\\Media\\tune.mp3|", false,
       CONFIRM_DEFAULT},
      {"three rows, Cancel", {0, 1, 3}, false, {{IDCANCEL, FALSE}}, {L"Remove 3 items?"},
       L"C:\\Media\\key.wav|C:\\Media\\lost.mid|C:\\Media\\tune.mp3|", false, CONFIRM_DEFAULT},
      {"three rows, OK", {0, 1, 3}, false, {{IDOK, FALSE}}, {L"Remove 3 items?"}, L"||C:\\Media\\tune.mp3|", true,
       CONFIRM_DEFAULT},
      {"rows without files modify nothing", {0, 3}, true, {}, {}, L"||C:\\Media\\tune.mp3|", false,
       CONFIRM_DEFAULT},
      {"Shift clears without asking", {2}, true, {}, {}, L"|||", true, CONFIRM_DEFAULT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    theApp.settings.settingsModified = false;
    g_boxes.clear();
    g_answers = c.Answers;
    SelectRows(c.Rows);
    Key(VK_DELETE, c.Shift);
    EXPECT_EQ(g_boxes, c.Boxes);
    EXPECT_EQ(Files(4), c.Files);
    EXPECT_EQ(theApp.settings.settingsModified, c.Modified);
    EXPECT_EQ(theApp.settings.ConfirmFlags, c.ConfirmAfter);
  }
  // "Do not ask" clears the flag whatever the answer.
  theApp.settings.SoundFiles[5] = L"C:\\Media\\found.wav";
  g_answers = {{IDCANCEL, TRUE}};
  SelectRows({5});
  Key(VK_DELETE);
  EXPECT_EQ(theApp.settings.SoundFiles[5], L"C:\\Media\\found.wav");
  EXPECT_EQ(theApp.settings.ConfirmFlags & CONFIRM_DELETE_ITEM, 0u);
}

// ---- The list's menu, read while it is open

struct MenuSeen {
  std::vector<UINT> States;  // choose, go, play, select all: MF_GRAYED or 0
  std::wstring ChooseText;
  std::wstring SelectAllText;
  UINT Default = 0;
};
MenuSeen g_menuSeen;

BOOL CALLBACK FindMenuWindow(HWND wnd, LPARAM found) {
  wchar_t name[16] = L"";
  GetClassNameW(wnd, name, 16);
  if (wcscmp(name, L"#32768") == 0 && IsWindowVisible(wnd)) {
    *reinterpret_cast<HWND*>(found) = wnd;
    return FALSE;
  }
  return TRUE;
}

void ReadOpenMenu() {
  HWND menuWnd = nullptr;
  EnumWindows(&FindMenuWindow, LPARAM(&menuWnd));
  HMENU menu = menuWnd ? HMENU(SendMessageW(menuWnd, MN_GETHMENU, 0, 0)) : nullptr;
  g_menuSeen = MenuSeen();
  if (menu) {
    for (UINT id : {ID_SOUND_CHOOSE, ID_SOUND_GO, ID_SOUND_PLAY, ID_SOUND_SELECT_ALL})
      g_menuSeen.States.push_back(GetMenuState(menu, id, MF_BYCOMMAND) & MF_GRAYED);
    wchar_t text[100] = L"";
    GetMenuStringW(menu, ID_SOUND_CHOOSE, text, 100, MF_BYCOMMAND);
    g_menuSeen.ChooseText = text;
    GetMenuStringW(menu, ID_SOUND_SELECT_ALL, text, 100, MF_BYCOMMAND);
    g_menuSeen.SelectAllText = text;
    g_menuSeen.Default = GetMenuDefaultItem(menu, FALSE, 0);
  }
  EndMenu();
}

TEST_F(SoundPageTest, ListMenuEnablesGoAndPlayForOneRowWithAFile) {
  struct Case {
    const char* Name;
    std::vector<int> Rows;
    std::vector<UINT> States;
  } cases[] = {
      {"none", {}, {0, MF_GRAYED, MF_GRAYED, 0}},
      {"one with a file", {1}, {0, 0, 0, 0}},
      {"one without", {4}, {0, MF_GRAYED, MF_GRAYED, 0}},
      {"two with files", {0, 1}, {0, MF_GRAYED, MF_GRAYED, 0}},
  };
  // The key names are the keyboard layout's.
  std::wstring enter, ctrlA;
  GetHotKeyText(enter, VK_RETURN);
  GetHotKeyText(ctrlA, 0x200 | 'A');
  SetForegroundWindow(m_frame->hwnd);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SelectRows(c.Rows);
    RunLater(&ReadOpenMenu, 100);
    RECT rect;
    GetWindowRect(List(), &rect);
    SendMessageW(m_page->hwnd, WM_CONTEXTMENU, WPARAM(List()), MAKELPARAM(rect.left + 40, rect.top + 60));
    EXPECT_EQ(g_menuSeen.States, c.States);
    EXPECT_EQ(g_menuSeen.ChooseText, L"&Choose file...\t" + enter);
    EXPECT_EQ(g_menuSeen.SelectAllText, L"Select &All\t" + ctrlA);
    EXPECT_EQ(g_menuSeen.Default, UINT(ID_SOUND_CHOOSE));
  }
  // The menu's hot keys were the menu's only.
  EXPECT_TRUE(theApp.menuHotKeys.empty());
  // Select All.
  Command(ID_SOUND_SELECT_ALL);
  EXPECT_EQ(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0), 7);
}

// ---- Columns

TEST_F(SoundPageTest, ColumnChangesGoToTheDocumentAndResetAsksUnlessShift) {
  NMHDR* header = nullptr;
  _TBLN_COLUMNS_INFO change{};
  change.hdr = {List(), IDC_SOUND_LIST, TBLN_COLUMNSCHANGED};
  change.what = COLCHANGE_WIDTH;
  m_page->table.columns[SNDCOL_FILE].width = 321;
  header = &change.hdr;
  EXPECT_EQ(SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_SOUND_LIST, LPARAM(header)), 1);
  EXPECT_TRUE(theApp.settings.configModified);
  EXPECT_EQ(theApp.settings.soundsColumns[SNDCOL_FILE].width, 321);

  std::vector<_COLUMN_INFO> columns = m_page->table.columns;
  _TBLN_RESET_INFO reset{};
  reset.hdr = {List(), IDC_SOUND_LIST, TBLN_RESETCOLUMNS};
  reset.columns = &columns;
  struct Case {
    bool NoConfirm;
    int Answer;
    LRESULT Result;
    size_t Boxes;
    int Width;
  } cases[] = {{false, IDCANCEL, 0, 1, 321}, {false, IDOK, 1, 1, 200}, {true, IDCANCEL, 1, 0, 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Answer);
    columns[SNDCOL_FILE].width = 321;
    reset.noConfirm = c.NoConfirm;
    g_boxes.clear();
    g_answers = {{c.Answer, FALSE}};
    EXPECT_EQ(SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_SOUND_LIST, LPARAM(&reset.hdr)), c.Result);
    EXPECT_EQ(g_boxes.size(), c.Boxes);
    EXPECT_EQ(columns[SNDCOL_FILE].width, c.Width);
  }
}

// ---- Save: what the add-in's loader reads

TEST_F(SoundPageTest, EverySoundSetOnThePageIsWhatTheAddinLoads) {
  CleanSettingsKeys registry;
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  std::wstring expected[SOUND_COUNT];
  for (int row = 0; row < int(SOUND_COUNT); ++row) {
    expected[row] = L"C:\\Media\\Событие " + std::to_wstring(row) + (row % 2 ? L".mid" : L".wav");
    if (row % 2) {
      g_dialogAnswer = expected[row];
      Click(row, SNDCOL_BROWSE);
    } else {
      Click(row, SNDCOL_FILE);
      clock.Advance(600);
      SendListNotify(NM_CLICK, row, ColumnOf(SNDCOL_FILE));
      SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
      SetWindowTextW(Combo(), expected[row].c_str());
      SendMessageW(m_page->editBox, WM_KEYDOWN, VK_RETURN, 0);
    }
  }
  SendMessageW(GetDlgItem(m_page->hwnd, IDC_SOUND_ENABLED), BM_CLICK, 0, 0);
  EXPECT_FALSE(theApp.settings.SoundEnabled);
  SendMessageW(GetDlgItem(m_page->hwnd, IDC_SOUND_ENABLED), BM_CLICK, 0, 0);
  ASSERT_TRUE(theApp.settings.settingsModified);
  ASSERT_TRUE(m_frame->OnSave());

  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_MAIN);
  EXPECT_TRUE(record.SoundEnabled);
  for (int row = 0; row < int(SOUND_COUNT); ++row) EXPECT_EQ(record.SoundFileList[row], expected[row]) << row;
}

// ---- Leaving

TEST_F(SoundPageTest, DestroyingThePageLeavesTheDocumentAndTheEditorsProcedures) {
  CFakeClock clock(100000);
  ScopedClock scope(&clock);
  Click(1, SNDCOL_FILE);
  clock.Advance(600);
  SendListNotify(NM_CLICK, 1, ColumnOf(SNDCOL_FILE));
  SendMessageW(m_page->hwnd, WM_TIMER, 1, 0);
  HWND edit = m_page->editBox;
  ASSERT_NE(edit, nullptr);
  const WNDPROC saved = m_page->editBoxSavedProc;
  EXPECT_EQ(WNDPROC(GetWindowLongPtrW(edit, GWLP_WNDPROC)), &CSoundPage::EditBoxProc);
  // Watched from the edit's WM_DESTROY, which comes after the page's own: the page has put back the
  // procedure it saved (here a watcher that forwards to the edit's own).
  static WNDPROC procAtDestroy;
  procAtDestroy = nullptr;
  struct Watch {
    static LRESULT CALLBACK Proc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
      if (message == WM_DESTROY) procAtDestroy = WNDPROC(GetWindowLongPtrW(wnd, GWLP_WNDPROC));
      return CallWindowProcW(WNDPROC(GetPropW(wnd, L"TestSaved")), wnd, message, wParam, lParam);
    }
  };
  SetPropW(edit, L"TestSaved", HANDLE(saved));
  m_page->editBoxSavedProc = &Watch::Proc;
  DestroyWindow(m_page->hwnd);
  EXPECT_EQ(procAtDestroy, &Watch::Proc);
  EXPECT_EQ(m_page->table.hwnd, nullptr);
  EXPECT_EQ(m_page->viewIndex, -1);
  EXPECT_EQ(m_page->rows.callback, nullptr);
}

}  // namespace
