// The reader search dialog against the scripted fake add-in (this program is ConfigVombraSearch.exe, so
// the name rule makes the host load VombraSearch.dll): the lines, status and buttons for a table of
// "FindNext" scripts stepped by WM_TIMER 1, and "FindClose" once per search however it ends.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "../classlib/ModalStep.h"
#include "ConfigResourceIds.h"
#include "FakeAddin.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "SearchReadersDialog.h"
#include "Strings.h"
#include "TestVombra.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr int32_t kTimeout = int32_t(0x80040230);
constexpr int32_t kNoMore = int32_t(0x80040231);
constexpr int32_t kNotOpen = int32_t(0x80040233);
constexpr UINT kAbort = 3;
constexpr UINT kSearchAgain = 4;

CPageTestApp theApp;

std::vector<std::wstring> g_boxes;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_boxes.push_back(config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"");
  if (button) *button = IDOK;
  if (radio) *radio = 0;
  if (verified) *verified = FALSE;
  return S_OK;
}

FakeFindAnswer Reader(const wchar_t* port, int32_t model, int32_t serial, uint32_t version) {
  FakeFindAnswer answer{};
  answer.Kind = FAKE_FIND_READER;
  wcsncpy(answer.Port, port, 23);
  answer.Model = model;
  answer.SerialNumber = serial;
  answer.Version = version;
  return answer;
}

// A reader whose outputs all come in other types than the add-in's.
FakeFindAnswer OddReader() {
  FakeFindAnswer answer = Reader(L"", 1, 5, 0x0201);
  answer.OddTypes = true;
  return answer;
}

FakeFindAnswer Answer(FakeFindKind kind, int32_t code, const wchar_t* text) {
  FakeFindAnswer answer{};
  answer.Kind = kind;
  answer.Code = code;
  wcsncpy(answer.Text, text, 63);
  return answer;
}

FakeFindAnswer TimedOut() { return Answer(FAKE_FIND_FALSE, kTimeout, L"Timeout readers search."); }
FakeFindAnswer NoMore() { return Answer(FAKE_FIND_FALSE, kNoMore, L"No more readers."); }

class SearchReaders : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    MessageBoxSeam.TaskDialogIndirect = ScriptedTaskDialog;
    g_boxes.clear();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraSearch-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_NE(m_host, nullptr);
    m_host->Load();
    ASSERT_TRUE(m_host->IsLoaded());
    HMODULE fake = GetModuleHandleW(L"VombraSearch.dll");
    ASSERT_NE(fake, nullptr);
    auto get =
        reinterpret_cast<PFN_FAKE_ADDIN_STATE>(reinterpret_cast<void*>(GetProcAddress(fake, "FakeAddinGetState")));
    ASSERT_NE(get, nullptr);
    state = get();
    *state = FakeAddinState{};
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraSearchParent", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraSearchParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override {
    if (m_parent) DestroyWindow(m_parent);
    if (m_host) m_host->Unload();
    m_host.reset();
    MessageBoxSeam.TaskDialogIndirect = nullptr;
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  void Script(const std::vector<FakeFindAnswer>& answers) {
    ASSERT_LE(answers.size(), 16u);
    for (size_t i = 0; i < answers.size(); ++i) state->Find[i] = answers[i];
    state->FindCount = int(answers.size());
  }
  // The dialog as the Methods tab shows it, but modeless: its first step has run when this returns.
  std::unique_ptr<CSearchReadersDialog> Open() {
    auto dialog = std::make_unique<CSearchReadersDialog>(m_host.get());
    EXPECT_TRUE(CDialog::CreateFromTemplate(dialog.get(), IDD_SEARCH_READERS, m_parent));
    return dialog;
  }
  static void Tick(CSearchReadersDialog& dialog) { SendMessageW(dialog.hwnd, WM_TIMER, 1, 0); }
  static void Command(CSearchReadersDialog& dialog, UINT id) {
    SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog.hwnd, id)));
  }
  static std::wstring Text(HWND dialog, int id) {
    wchar_t text[2048] = L"";
    GetDlgItemTextW(dialog, id, text, 2048);
    return text;
  }
  // What the window shows agrees with the searching flag: Abort, Search again, the marquee.
  static void ExpectShowsSearching(CSearchReadersDialog& dialog, bool searching) {
    EXPECT_EQ(dialog.searching, searching);
    EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog.hwnd, kAbort)) != FALSE, searching);
    EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog.hwnd, kSearchAgain)) != FALSE, !searching);
    // The dialog itself is not shown here: the bar's own style tells.
    EXPECT_EQ((GetWindowLongW(GetDlgItem(dialog.hwnd, IDC_SEARCH_PROGRESS), GWL_STYLE) & WS_VISIBLE) != 0, searching);
  }
  int JournalCount(const wchar_t* name) const {
    int count = 0;
    for (int i = 0; i < state->Calls && i < 64; ++i) count += wcscmp(state->Journal[i].Name, name) == 0;
    return count;
  }

  FakeAddinState* state = nullptr;
  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  HWND m_parent = nullptr;
};

TEST(FoundReaderLineTest, ModelSerialNumberAndVersionAsTheyAreKnown) {
  SetUILanguage(kEnglish);
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  const struct {
    const wchar_t* Port;
    int32_t Model;
    int32_t Serial;
    uint32_t Version;
    const wchar_t* Line;
  } cases[] = {
      {L"COM3", 1, 321, 0x00030201, L"COM3 - KD-6 A s/n 321 v1.2.3\r\n"},
      {L"COM4", 12, -1, 0, L"COM4 - KD-6 G\r\n"},
      {L"COM5", 0, 0, 0, L"COM5 - ? s/n 0\r\n"},  // a serial number of 0 is shown, only -1 hides it
      {L"COM6", 13, -2, 0x0105, L"COM6 - ? s/n -2 v5.1\r\n"},
      {L"COM7", -1, 7, 0x1FF, L"COM7 - ? s/n 7 v1\r\n"},
      {L"", 2, -1, 0, L" - Orvel 3A\r\n"},
  };
  for (const auto& c : cases) {
    std::wstring line;
    FoundReaderLine(c.Port, c.Model, c.Serial, c.Version, line);
    EXPECT_EQ(line, c.Line) << "port " << std::string(c.Port, c.Port + wcslen(c.Port));
  }
}

TEST_F(SearchReaders, ScriptsGiveTheirLinesStatusAndOneFindClose) {
  const struct {
    const char* Name;
    std::vector<FakeFindAnswer> Script;
    int Ticks;
    const wchar_t* Results;
    const wchar_t* Status;
    bool Searching;  // after the ticks
    int FindNextCalls;
  } cases[] = {
      {"nothing at all", {}, 0, L"", L"Nothing was found.", false, 1},
      {"two readers of no known model",
       {Reader(L"COM3", 0, 0, 0), Reader(L"COM4", 0, -1, 0)},
       0,
       L"COM3 - ? s/n 0\r\nCOM4 - ?\r\n",
       L"The search is complete. 2 readers found.",
       false,
       3},
      {"outputs of other types keep nothing of the reader before",
       {Reader(L"COM3", 1, 1, 0x0201), OddReader()},
       0,
       L"COM3 - KD-6 A s/n 1 v1.2\r\n - ?\r\n",
       L"The search is complete. 2 readers found.",
       false,
       3},
      {"a time-out waits for the tick",
       {TimedOut(), Reader(L"COM6", 1, 321, 0x00030201)},
       0,
       L"",
       L"Search for readers...",
       true,
       1},
      {"a time-out, then a reader and the end on the tick",
       {TimedOut(), Reader(L"COM6", 1, 321, 0x00030201), NoMore()},
       1,
       L"COM6 - KD-6 A s/n 321 v1.2.3\r\n",
       L"The search is complete. 1 readers found.",
       false,
       3},
      {"another error is shown and ends the search",
       {Reader(L"COM7", 12, -1, 0), Answer(FAKE_FIND_FALSE, kNotOpen, L"Device is not open.")},
       0,
       L"COM7 - KD-6 G\r\nDevice is not open.\r\n",
       L"The search is complete. 1 readers found.",
       false,
       2},
      {"a failed search with no reader is not \"nothing found\"",
       {TimedOut(), Answer(FAKE_FIND_FALSE, kNotOpen, L"Device is not open.")},
       1,
       L"Device is not open.\r\n",
       L"The search is complete. 0 readers found.",
       false,
       2},
      {"refused at the start",
       {Answer(FAKE_FIND_REFUSE, 0, L"The port is busy.")},
       0,
       L"Failed to execute method \"FindNext\". The port is busy.\r\n",
       L"The search is complete. 0 readers found.",
       false,
       1},
      {"the add-in throws on a tick",
       {TimedOut(), Reader(L"COM8", 3, 9, 0), Answer(FAKE_FIND_THROW, 0, L"search broke")},
       2,
       L"COM8 - KD-6 B s/n 9\r\nsearch broke\r\n",
       L"The search is complete. 1 readers found.",
       false,
       3},
      {"ticks after the end step nothing", {NoMore()}, 3, L"", L"Nothing was found.", false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    *state = FakeAddinState{};
    Script(c.Script);
    auto dialog = Open();
    for (int i = 0; i < c.Ticks; ++i) Tick(*dialog);
    EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_RESULTS), c.Results);
    EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), c.Status);
    ExpectShowsSearching(*dialog, c.Searching);
    EXPECT_EQ(state->FindNextCalls, c.FindNextCalls);
    EXPECT_EQ(state->FindCloseCalls, c.Searching ? 0 : 1);
    // Every step asks with five empty outputs and no time to wait.
    for (int i = 0; i < state->Calls && i < 64; ++i) {
      const FakeAddinCall& call = state->Journal[i];
      if (wcscmp(call.Name, L"FindNext") != 0) continue;
      ASSERT_EQ(call.Count, 6);
      for (int p = 0; p < 5; ++p) EXPECT_EQ(call.Types[p], VTYPE_EMPTY) << "output " << p;
      EXPECT_EQ(call.Types[5], VTYPE_UI4);
      EXPECT_EQ(call.Numbers[5], 0u);
    }
    dialog->Destroy();
    EXPECT_EQ(state->FindCloseCalls, 1) << "closing ends a running search, never a finished one again";
    EXPECT_TRUE(g_boxes.empty());
  }
}

TEST_F(SearchReaders, AbortAndSearchAgainCloseTheRunningSearchOnce) {
  Script({Reader(L"COM3", 1, 1, 0), TimedOut(), Reader(L"COM9", 2, 2, 0), TimedOut()});
  auto dialog = Open();
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_RESULTS), L"COM3 - KD-6 A s/n 1\r\n");
  ExpectShowsSearching(*dialog, true);

  // Search again: the running search is closed, the results emptied and a new search started.
  Command(*dialog, kSearchAgain);
  EXPECT_EQ(state->FindCloseCalls, 1);
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_RESULTS), L"COM9 - Orvel 3A s/n 2\r\n");
  EXPECT_EQ(dialog->found, 1);
  ExpectShowsSearching(*dialog, true);
  ASSERT_GE(state->Calls, 2);
  const int closeAt = [&] {
    for (int i = 0; i < state->Calls; ++i)
      if (wcscmp(state->Journal[i].Name, L"FindClose") == 0) return i;
    return -1;
  }();
  ASSERT_GE(closeAt, 0);
  EXPECT_EQ(std::wstring(state->Journal[closeAt + 1].Name), L"FindNext") << "closed before the new search";

  // Abort: closed at once, and a late tick steps nothing.
  Command(*dialog, kAbort);
  EXPECT_EQ(state->FindCloseCalls, 2);
  ExpectShowsSearching(*dialog, false);
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), L"The search is complete. 1 readers found.");
  const int steps = state->FindNextCalls;
  Tick(*dialog);
  Command(*dialog, kAbort);
  EXPECT_EQ(state->FindNextCalls, steps);
  EXPECT_EQ(state->FindCloseCalls, 2);

  // Search again when idle starts a search without closing anything first.
  Command(*dialog, kSearchAgain);
  EXPECT_EQ(state->FindCloseCalls, 3) << "the new search ran past the script's end";
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), L"Nothing was found.");
  dialog->Destroy();
  EXPECT_EQ(state->FindCloseCalls, 3);
  EXPECT_EQ(JournalCount(L"FindClose"), 3);
}

TEST_F(SearchReaders, ClosingTheModalDialogDuringASearchClosesItOnce) {
  Script({Reader(L"COM3", 1, 1, 0), TimedOut(), TimedOut()});
  CSearchReadersDialog dialog(m_host.get());
  bool wasSearching = false;
  std::wstring caption;
  DWORD selStart = 0, selEnd = 0;
  int length = -1;
  bool focused = false;
  RunLater(
      [&] {
        wasSearching = dialog.searching;
        // Shown with the caret after the results, nothing selected.
        HWND edit = GetDlgItem(dialog.hwnd, IDC_SEARCH_RESULTS);
        focused = GetFocus() == edit;
        SendMessageW(edit, EM_GETSEL, WPARAM(&selStart), LPARAM(&selEnd));
        length = GetWindowTextLengthW(edit);
        wchar_t text[64] = L"";
        GetWindowTextW(dialog.hwnd, text, 64);
        caption = text;
        SendMessageW(dialog.hwnd, WM_COMMAND, IDCANCEL, 0);
      },
      30);
  EXPECT_EQ(dialog.DoModal(IDD_SEARCH_READERS, m_parent, false), IDCANCEL);
  EXPECT_EQ(caption, L"Search readers");
  EXPECT_TRUE(wasSearching);
  EXPECT_TRUE(focused);
  EXPECT_GT(length, 0);
  EXPECT_EQ(selStart, DWORD(length));
  EXPECT_EQ(selEnd, DWORD(length));
  EXPECT_FALSE(dialog.searching);
  EXPECT_EQ(state->FindCloseCalls, 1);
}

TEST_F(SearchReaders, AFindCloseThatThrowsStillFinishes) {
  Script({Reader(L"COM3", 1, 1, 0)});
  state->FindCloseThrows = true;
  auto dialog = Open();
  EXPECT_EQ(state->FindCloseCalls, 1);
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_RESULTS), L"COM3 - KD-6 A s/n 1\r\nthe search would not close\r\n");
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), L"The search is complete. 1 readers found.");
  ExpectShowsSearching(*dialog, false);
  dialog->Destroy();
  EXPECT_EQ(state->FindCloseCalls, 1);
}

TEST_F(SearchReaders, RussianTemplateAndTexts) {
  SetUILanguage(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));
  Script({Reader(L"COM3", 1, 1, 0)});
  auto dialog = Open();
  wchar_t caption[64] = L"";
  GetWindowTextW(dialog->hwnd, caption, 64);
  EXPECT_STREQ(caption, L"Поиск считывателей");
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), L"Поиск завершён. Найдено считывателей: 1.");
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_RESULTS), L"COM3 - KD-6 A с/н 1\r\n");
  dialog->Destroy();
  *state = FakeAddinState{};
  dialog = Open();
  EXPECT_EQ(Text(dialog->hwnd, IDC_SEARCH_STATUS), L"Ничего не найдено.");
  dialog->Destroy();
  SetUILanguage(kEnglish);
}

}  // namespace
