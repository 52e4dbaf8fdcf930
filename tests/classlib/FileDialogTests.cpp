// The file dialog wrapper: the filter and name buffer it hands the system, the paths it makes of the
// answer, cancel leaving everything as it was, and one real open dialog cancelled from inside its loop.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Core.h"
#include "FileDialog.h"
#include "Strings.h"
#include "Wnd.h"
#include "ModalStep.h"

namespace {

constexpr UINT kFilterId = 60200;
const std::wstring kFilter(L"CSV files (*.csv)\0*.csv\0Text files (*.txt)\0*.txt\0\0", 50);

class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

CTestApp theApp;

// What the seam saw of one OPENFILENAMEW, and what it answers.
struct SeenDialog {
  bool Save = false;
  DWORD StructSize = 0;
  HWND Owner = nullptr;
  HINSTANCE Instance = nullptr;
  std::wstring Filter;  // up to and with the double NUL
  DWORD FilterIndex = 0;
  std::wstring Buffer;  // the whole buffer, nMaxFile characters
  DWORD MaxFile = 0;
  DWORD Flags = 0;
  bool InitialDir = false;
  bool DefaultExt = false;
};

struct Script {
  BOOL Chosen = TRUE;
  std::wstring Answer;  // written to the buffer as is (embedded NULs included)
  DWORD FilterIndex = 1;
};

std::vector<SeenDialog> g_seen;
Script g_script;

std::wstring DoubleNulString(const wchar_t* text) {
  size_t n = 0;
  while (text[n] || text[n + 1]) ++n;
  return std::wstring(text, n + 2);
}

BOOL Record(OPENFILENAMEW* ofn, bool save) {
  SeenDialog seen;
  seen.Save = save;
  seen.StructSize = ofn->lStructSize;
  seen.Owner = ofn->hwndOwner;
  seen.Instance = ofn->hInstance;
  seen.Filter = DoubleNulString(ofn->lpstrFilter);
  seen.FilterIndex = ofn->nFilterIndex;
  seen.Buffer.assign(ofn->lpstrFile, ofn->nMaxFile);
  seen.MaxFile = ofn->nMaxFile;
  seen.Flags = ofn->Flags;
  seen.InitialDir = ofn->lpstrInitialDir != nullptr;
  seen.DefaultExt = ofn->lpstrDefExt != nullptr;
  g_seen.push_back(seen);
  if (!g_script.Chosen) return FALSE;
  if (g_script.Answer.size() + 1 > ofn->nMaxFile) return FALSE;
  std::copy(g_script.Answer.begin(), g_script.Answer.end(), ofn->lpstrFile);
  ofn->lpstrFile[g_script.Answer.size()] = L'\0';
  ofn->nFilterIndex = g_script.FilterIndex;
  return TRUE;
}
BOOL WINAPI ScriptedOpen(OPENFILENAMEW* ofn) { return Record(ofn, false); }
BOOL WINAPI ScriptedSave(OPENFILENAMEW* ofn) { return Record(ofn, true); }

class FileDialogFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    FileDialogSeam.GetOpenFileName = &ScriptedOpen;
    FileDialogSeam.GetSaveFileName = &ScriptedSave;
    g_seen.clear();
    g_script = Script();
  }
  void TearDown() override { FileDialogSeam = CFileDialogSeam(); }
};

// The initial buffer: the names, each closed by a NUL, one more NUL, then NULs to 4096 at least.
std::wstring InitialBuffer(const std::vector<std::wstring>& names, size_t size) {
  std::wstring buffer;
  for (const std::wstring& name : names) buffer += name + L'\0';
  buffer += L'\0';
  buffer.resize(size, L'\0');
  return buffer;
}

TEST_F(FileDialogFixture, FilterBufferAndFlagsReachTheDialog) {
  const HWND owner = HWND(0x1234);
  struct Case {
    const char* Name;
    std::vector<std::wstring> Files;
    int FilterIndex;
    bool Save;
    DWORD Flags;
    size_t BufferSize;
  } cases[] = {
      {"no name", {}, 2, false, OFN_FILEMUSTEXIST | OFN_HIDEREADONLY, 4096},
      {"one name, save", {L"C:\\data\\formats.csv"}, 1, true, OFN_EXPLORER | OFN_OVERWRITEPROMPT, 4096},
      {"two names", {L"a.csv", L"b.txt"}, 0, false, OFN_ALLOWMULTISELECT | OFN_EXPLORER, 4096},
      {"name filling 4096 exactly", {std::wstring(4094, L'n')}, 1, false, 0, 4096},
      {"name one longer", {std::wstring(4095, L'n')}, 1, false, 0, 4097},
      {"name of 5000", {std::wstring(5000, L'n')}, 1, true, 0, 5002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    g_seen.clear();
    g_script.Chosen = FALSE;
    std::vector<std::wstring> files = c.Files;
    int filterIndex = c.FilterIndex;
    EXPECT_FALSE(ShowFileDialog(files, &filterIndex, c.Save, kFilterId, owner, c.Flags));
    ASSERT_EQ(g_seen.size(), 1u);
    const SeenDialog& seen = g_seen[0];
    EXPECT_EQ(seen.Save, c.Save);
    EXPECT_EQ(seen.StructSize, sizeof(OPENFILENAMEW));
    EXPECT_EQ(seen.Owner, owner);
    EXPECT_EQ(seen.Instance, g_hInstance);
    EXPECT_EQ(seen.Filter, kFilter);
    EXPECT_EQ(seen.FilterIndex, DWORD(c.FilterIndex));
    EXPECT_EQ(seen.MaxFile, DWORD(c.BufferSize));
    EXPECT_TRUE(seen.Buffer == InitialBuffer(c.Files, c.BufferSize));
    EXPECT_EQ(seen.Flags, c.Flags);
    EXPECT_FALSE(seen.InitialDir);
    EXPECT_FALSE(seen.DefaultExt);
  }
}

TEST_F(FileDialogFixture, CancelChangesNeitherListNorFilterIndex) {
  for (bool save : {false, true}) {
    SCOPED_TRACE(save ? "save" : "open");
    g_script.Chosen = FALSE;
    g_script.Answer = L"C:\\other.csv";
    g_script.FilterIndex = 2;
    std::vector<std::wstring> files{L"first.csv", L"second.csv"};
    int filterIndex = 1;
    EXPECT_FALSE(ShowFileDialog(files, &filterIndex, save, kFilterId, nullptr, OFN_ALLOWMULTISELECT));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"first.csv", L"second.csv"}));
    EXPECT_EQ(filterIndex, 1);
  }
}

TEST_F(FileDialogFixture, AnswerBecomesFullPaths) {
  using Paths = std::vector<std::wstring>;
  struct Case {
    const char* Name;
    DWORD Flags;
    std::wstring Answer;
    Paths Expected;
  } cases[] = {
      {"single selection", OFN_EXPLORER, L"C:\\data\\keys.csv", {L"C:\\data\\keys.csv"}},
      {"several chosen", OFN_ALLOWMULTISELECT | OFN_EXPLORER, std::wstring(L"C:\\data\0a.csv\0b.txt\0", 20),
       {L"C:\\data\\a.csv", L"C:\\data\\b.txt"}},
      {"several in a root folder", OFN_ALLOWMULTISELECT | OFN_EXPLORER,
       std::wstring(L"C:\\\0a.csv\0b.csv\0", 16),
       {L"C:\\a.csv", L"C:\\b.csv"}},
      // One chosen file with multiple selection: the buffer holds that file's full path alone.
      {"one chosen of several allowed", OFN_ALLOWMULTISELECT | OFN_EXPLORER, L"C:\\data\\keys.csv",
       {L"C:\\data\\keys.csv"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    g_script.Answer = c.Answer;
    g_script.FilterIndex = 2;
    std::vector<std::wstring> files{L"old.csv"};
    int filterIndex = 1;
    EXPECT_TRUE(ShowFileDialog(files, &filterIndex, false, kFilterId, nullptr, c.Flags));
    EXPECT_EQ(files, c.Expected);
    EXPECT_EQ(filterIndex, 2);
  }
}

TEST_F(FileDialogFixture, OldStyleSelectionGetsTheLongNames) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"VombraFileDialog-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring longName = L"Key formats of the office.csv";
  const std::wstring longPath = folder + L"\\" + longName;
  HANDLE file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  wchar_t shortPath[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH), 0u);
  std::wstring shortText(shortPath);
  const size_t slash = shortText.rfind(L'\\');
  const std::wstring shortFolder = shortText.substr(0, slash);
  const std::wstring shortName = shortText.substr(slash + 1);
  ASSERT_EQ(shortFolder.find(L' '), std::wstring::npos);
  ASSERT_NE(shortName, longName);

  // The old style separates with spaces; a name that does not exist is kept as given.
  g_script.Answer = shortFolder + L" " + shortName + L" MISSING.CSV";
  std::vector<std::wstring> files;
  EXPECT_TRUE(ShowFileDialog(files, nullptr, false, kFilterId, nullptr, OFN_ALLOWMULTISELECT));
  EXPECT_EQ(files,
            (std::vector<std::wstring>{shortFolder + L"\\" + longName, shortFolder + L"\\MISSING.CSV"}));

  DeleteFileW(longPath.c_str());
  RemoveDirectoryW(folder.c_str());
}

// ---- The real dialog ----



TEST(RealFileDialog, CancelledOpenDialogChangesNothing) {
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  FileDialogSeam = CFileDialogSeam();
  bool shown = false;
  int attempts = 0;
  std::function<void()> cancel = [&] {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&dialog));
    if (!dialog) {
      if (++attempts < 100) RunLater(cancel, 100);
      return;
    }
    shown = true;
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  };
  RunLater(cancel, 100);
  std::vector<std::wstring> files{L"formats.csv"};
  int filterIndex = 2;
  EXPECT_FALSE(ShowFileDialog(files, &filterIndex, false, kFilterId, nullptr,
                              OFN_ENABLESIZING | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY));
  g_step = nullptr;
  EXPECT_TRUE(shown);
  EXPECT_EQ(files, std::vector<std::wstring>{L"formats.csv"});
  EXPECT_EQ(filterIndex, 2);
}

}  // namespace
