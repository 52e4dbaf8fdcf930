// The add-in log file: where it lies, what a line looks like, the header, the level switch, the start
// anew at the size limit, clearing, and writers of two threads or two add-in objects never mixing
// their lines. Every test points the log at a folder of its own, never at the user's log.
#include <windows.h>

#include <gtest/gtest.h>

#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AddinLog.h"
#include "AddinModule.h"
#include "Core.h"
#include "Exceptions.h"
#include "Variant.h"
#include "Vombra.h"

namespace {

constexpr HRESULT kFileAccessDenied = HRESULT(0x80040205);

std::wstring UniqueTempFolder() {
  static LONG counter = 0;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t name[64];
  swprintf(name, 64, L"VombraLogTest-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
  return std::wstring(temp) + name;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void AppendBytes(const std::wstring& path, size_t count, char fill) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string chunk(65536, fill);
  while (count > 0) {
    DWORD n = DWORD(count < chunk.size() ? count : chunk.size());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, chunk.data(), n, &written, nullptr));
    count -= written;
  }
  CloseHandle(file);
}

// Lines without their CR LF; fails the test when a line end is not CR LF or the file does not end with one.
std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "the file does not end with CR LF";
      lines.push_back(bytes.substr(start));
      break;
    }
    std::string line = bytes.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "a lone line-end byte in: " << line;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

int MillisecondsOfDay(const SYSTEMTIME& t) {
  return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

// The "hh:mm:ss.mmm " stamp at the start of a line, as milliseconds of the day; -1 when malformed.
int StampOf(const std::string& line) {
  int h, m, s, ms;
  char tail;
  if (line.size() < 13 || line[2] != ':' || line[5] != ':' || line[8] != '.' || line[12] != ' ') return -1;
  if (std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d%c", &h, &m, &s, &ms, &tail) != 5) return -1;
  if (h > 23 || m > 59 || s > 59 || ms > 999) return -1;
  return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

// What follows the 13-character stamp.
std::string AfterStamp(const std::string& line) { return line.size() > 13 ? line.substr(13) : std::string(); }

// One add-in object's log state, as the object holds it, pointed at the test's folder.
struct LogState {
  CRITICAL_SECTION lock;
  UINT level = 5;
  UINT maxSize = kLogNoSizeLimit;
  std::wstring path;
  LogState() { InitializeCriticalSection(&lock); }
  ~LogState() { DeleteCriticalSection(&lock); }
  CAddinLog Writer() { return CAddinLog(&lock, &level, &maxSize, &path); }
};

HRESULT Text(LogState& state, UINT level, const wchar_t* source, UINT number, const wchar_t* text) {
  return state.Writer().LogText(level, source, number, text, -1);
}

HRESULT Message(LogState& state, UINT level, const wchar_t* source, UINT id, ...) {
  va_list args;
  va_start(args, id);
  HRESULT hr = state.Writer().LogV(level, source, id, args);
  va_end(args);
  return hr;
}

HRESULT Printf(LogState& state, UINT level, const wchar_t* source, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  HRESULT hr = state.Writer().LogPrintfV(level, source, format, args);
  va_end(args);
  return hr;
}

class AddinLog : public ::testing::Test {
 protected:
  void SetUp() override {
    m_folder = UniqueTempFolder();
    g_logFolder = m_folder + L"\\Tarvelon\\Vombra";
    m_log = g_logFolder + L"\\Vombra.log";
  }
  void TearDown() override {
    g_logFolder.clear();
    RemoveTree(m_folder);
  }

  std::wstring m_folder;
  std::wstring m_log;
  ScopedThreadLanguage m_english{kEnglish};
};

// --- Where the file lies.

TEST_F(AddinLog, PathIsTheFileInTheLogFolder) {
  std::wstring path;
  GetLogFilePath(path);
  EXPECT_EQ(path, m_folder + L"\\Tarvelon\\Vombra\\Vombra.log");
}

TEST(AddinLogPath, ProductPathIsUnderRoamingApplicationData) {
  ASSERT_TRUE(g_logFolder.empty());
  wchar_t roaming[MAX_PATH];
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, roaming)));
  std::wstring path;
  GetLogFilePath(path);  // only the name is made; nothing is written there
  EXPECT_EQ(path, std::wstring(roaming) + L"\\Tarvelon\\Vombra\\Vombra.log");
}

TEST_F(AddinLog, MissingFoldersAreMadeByTheFirstLine) {
  ASSERT_FALSE(FileExists(m_folder));
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"first"), S_OK);
  EXPECT_TRUE(FileExists(m_log));
  EXPECT_EQ(state.path, m_log);
}

TEST_F(AddinLog, FolderThatCannotBeMadeGivesTheWindowsError) {
  // A file where the folder should be.
  CreateDirectoryW(m_folder.c_str(), nullptr);
  AppendBytes(m_folder + L"\\Tarvelon", 1, 'x');
  LogState state;
  HRESULT hr = Text(state, kLogInfo, nullptr, 0, L"lost");
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32) << std::hex << hr;
}

// --- What a line looks like.

template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

struct LineCase {
  const char* name;
  SYSTEMTIME time;
  UINT level;
  const wchar_t* source;
  UINT number;
  const wchar_t* text;
  const wchar_t* expected;
};

SYSTEMTIME At(WORD h, WORD m, WORD s, WORD ms) {
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 12;
  t.wDay = 8;
  t.wHour = h;
  t.wMinute = m;
  t.wSecond = s;
  t.wMilliseconds = ms;
  return t;
}

const LineCase kLines[] = {
    {"Header", At(14, 3, 7, 218), kLogInfo, nullptr, 1001, L"Log 08.12.2026",
     L"14:03:07.218 [I01001] Log 08.12.2026"},
    {"Received", At(14, 3, 7, 300), kLogInfo, L"COM3", 6, L"< AB", L"14:03:07.300 [I00006 COM3] < AB"},
    {"EmptySourceKeepsBlank", At(9, 0, 0, 0), kLogError, L"", 7, L"hello", L"09:00:00.000 [E00007 ] hello"},
    {"Warning", At(23, 59, 59, 999), kLogWarning, nullptr, 0, L"w", L"23:59:59.999 [W00000] w"},
    {"UnknownLevelIsInformation", At(0, 0, 0, 5), 9, nullptr, 42, L"x", L"00:00:00.005 [I00042] x"},
    {"LargeNumberKeepsAllDigits", At(1, 2, 3, 4), kLogInfo, nullptr, 123456, L"n", L"01:02:03.004 [I123456] n"},
    {"EmptyText", At(10, 10, 10, 10), kLogInfo, L"TCP", 3, L"", L"10:10:10.010 [I00003 TCP] "},
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class AddinLogLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(AddinLogLine, Formats) {
  const LineCase& c = GetParam();
  std::wstring line;
  FormatLogLine(line, c.time, c.level, c.source, c.number, c.text, -1);
  EXPECT_EQ(line, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddinLogLine, ::testing::ValuesIn(kLines), CaseName<LineCase>);

TEST(AddinLogLineLimits, TextAndSourceAreCut) {
  const std::wstring prefix = L"00:00:00.000 [I00000";
  struct Case {
    size_t sourceChars, textChars;
    size_t keptSource, keptText;
  } cases[] = {
      {4, 1023, 4, 1023},
      {4, 1024, 4, 1023},
      {4, 100000, 4, 1023},
      {256, 10, 256, 10},
      {257, 10, 256, 10},
      {5000, 5000, 256, 1023},
  };
  for (const Case& c : cases) {
    std::wstring source(c.sourceChars, L's');
    std::wstring text(c.textChars, L't');
    std::wstring line;
    FormatLogLine(line, At(0, 0, 0, 0), kLogInfo, source.c_str(), 0, text.c_str(), long(text.size()));
    EXPECT_EQ(line, prefix + L" " + std::wstring(c.keptSource, L's') + L"] " + std::wstring(c.keptText, L't'))
        << c.sourceChars << "/" << c.textChars;
  }
}

TEST(AddinLogLineLimits, CutNeverSplitsASurrogatePair) {
  // U+1F600 as a pair at positions 1022 and 1023: keeping 1023 characters would keep half of it.
  std::wstring text(1022, L'a');
  text += L"\xD83D\xDE00";
  std::wstring line;
  FormatLogLine(line, At(0, 0, 0, 0), kLogInfo, nullptr, 0, text.c_str(), long(text.size()));
  EXPECT_EQ(line, L"00:00:00.000 [I00000] " + std::wstring(1022, L'a'));
}

TEST(AddinLogLineLimits, LengthLimitsTheTextGiven) {
  std::wstring line;
  FormatLogLine(line, At(0, 0, 0, 0), kLogInfo, nullptr, 0, L"abcdef", 3);
  EXPECT_EQ(line, L"00:00:00.000 [I00000] abc");
}

// --- The header and the lines written at level 5.

TEST_F(AddinLog, HeaderThenLinesAtLevel5) {
  LogState state;
  state.level = 5;
  SYSTEMTIME before;
  GetLocalTime(&before);
  EXPECT_EQ(Message(state, kLogInfo, L"COM3", 1006, L"AB CD"), S_OK);
  EXPECT_EQ(Printf(state, kLogError, nullptr, L"port %s at %d", L"COM4", 9600), S_OK);
  EXPECT_EQ(Text(state, kLogWarning, L"", 77, L"given"), S_OK);
  EXPECT_EQ(Message(state, kLogInfo, nullptr, 1051), S_OK);
  SYSTEMTIME after;
  GetLocalTime(&after);

  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 5u);
  char date[32];
  std::snprintf(date, sizeof date, "%02d.%02d.%04d", before.wDay, before.wMonth, before.wYear);
  const std::string header = AfterStamp(lines[0]);
  const std::string headerStart = std::string("[I01001] Log ") + date + " (Vombra v1.9.5.7, Windows v";
  EXPECT_EQ(header.compare(0, headerStart.size(), headerStart), 0) << header;
  // The Windows version: dotted numbers, then the closing parenthesis ends the line.
  const std::string windows = header.size() > headerStart.size() ? header.substr(headerStart.size()) : "";
  ASSERT_GE(windows.size(), 2u) << header;
  EXPECT_EQ(windows.back(), ')');
  EXPECT_EQ(windows.find_first_not_of("0123456789."), windows.size() - 1) << windows;
  EXPECT_TRUE(isdigit(static_cast<unsigned char>(windows[0]))) << windows;

  EXPECT_EQ(AfterStamp(lines[1]), "[I00006 COM3] < AB CD");
  EXPECT_EQ(AfterStamp(lines[2]), "[E00000] port COM4 at 9600");
  EXPECT_EQ(AfterStamp(lines[3]), "[W00077 ] given");
  EXPECT_EQ(AfterStamp(lines[4]), "[I00051] Finish");

  // Stamps are the local time of writing, in order (unless the test ran across midnight).
  const int from = MillisecondsOfDay(before);
  const int to = MillisecondsOfDay(after);
  if (from <= to) {
    int previous = from;
    for (const std::string& line : lines) {
      int stamp = StampOf(line);
      EXPECT_GE(stamp, previous) << line;
      EXPECT_LE(stamp, to) << line;
      previous = stamp;
    }
  }
}

// The Russian texts in the ANSI code page (question marks where the code page has no Cyrillic).
std::string Ansi(const wchar_t* text) {
  std::string out;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  out.resize(size_t(n));
  WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.pop_back();
  return out;
}

TEST_F(AddinLog, MessagesFollowTheThreadLanguage) {
  LogState state;
  {
    ScopedThreadLanguage russian(kRussian);
    EXPECT_EQ(Message(state, kLogInfo, nullptr, 1012), S_OK);
  }
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 2u);
  const std::string header = Ansi(L"[I01001] Журнал ");
  EXPECT_EQ(AfterStamp(lines[0]).compare(0, header.size(), header), 0) << lines[0];
  EXPECT_EQ(AfterStamp(lines[1]), Ansi(L"[I00012] Считыватель отключен"));
}

TEST_F(AddinLog, TextIsWrittenInTheAnsiCodePage) {
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"caf\u00e9"), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 2u);
  char acp[8] = {};
  WideCharToMultiByte(CP_ACP, 0, L"\u00e9", 1, acp, sizeof acp, nullptr, nullptr);
  ASSERT_EQ(std::strlen(acp), 1u) << "the ANSI code page is a single-byte one under the test run";
  EXPECT_EQ(AfterStamp(lines[1]), std::string("[I00000] caf") + acp);
}

TEST_F(AddinLog, HeaderIsWrittenOncePerOpening) {
  LogState state;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"line"), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(AfterStamp(lines[i]), "[I00000] line");
}

TEST_F(AddinLog, ReopeningAppendsANewHeaderToTheOldFile) {
  {
    LogState first;
    EXPECT_EQ(Text(first, kLogInfo, nullptr, 0, L"one"), S_OK);
  }
  LogState second;  // another object: its log is not open yet
  EXPECT_EQ(Text(second, kLogInfo, nullptr, 0, L"two"), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0);
  EXPECT_EQ(AfterStamp(lines[1]), "[I00000] one");
  EXPECT_EQ(AfterStamp(lines[2]).compare(0, 9, "[I01001] "), 0);
  EXPECT_EQ(AfterStamp(lines[3]), "[I00000] two");
}

// --- The level switch.

TEST_F(AddinLog, LevelZeroWritesNothingAndOpensNothing) {
  LogState state;
  state.level = 0;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"x"), E_ABORT);
  EXPECT_EQ(Message(state, kLogError, nullptr, 1014, L"y"), E_ABORT);
  EXPECT_EQ(Printf(state, kLogError, nullptr, L"%d", 1), E_ABORT);
  EXPECT_EQ(state.Writer().OpenLog(), E_ABORT);
  EXPECT_TRUE(state.path.empty());
  EXPECT_FALSE(FileExists(m_log));
}

TEST_F(AddinLog, LevelZeroAlsoStopsALogThatIsOpen) {
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"kept"), S_OK);
  state.level = 0;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"refused"), E_ABORT);
  state.level = 1;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"again"), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(AfterStamp(lines[1]), "[I00000] kept");
  EXPECT_EQ(AfterStamp(lines[2]), "[I00000] again");
}

TEST_F(AddinLog, EveryLevelAboveZeroWrites) {
  for (UINT level = 1; level <= 6; ++level) {
    LogState state;
    state.level = level;
    EXPECT_EQ(Text(state, kLogInfo, nullptr, level, L"x"), S_OK) << level;
  }
  // Six objects, six openings: a header and a line each.
  EXPECT_EQ(SplitLines(ReadBytes(m_log)).size(), 12u);
}

// --- The start anew at LogMaxSize.

struct RotationCase {
  const char* name;
  UINT maxSize;
  size_t fileBytes;  // the file's size before the line
  bool rotates;
};

const RotationCase kRotations[] = {
    {"ZeroBelowOneMegabyte", 0, 1048575, false},
    {"ZeroAtOneMegabyte", 0, 1048576, true},
    {"OneBelowTwoMegabytes", 1, 2097151, false},
    {"OneAtTwoMegabytes", 1, 2097152, true},
    {"NoLimit", kLogNoSizeLimit, 2097152, false},
};

void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }

class AddinLogRotation : public AddinLog, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(AddinLogRotation, MovesTheContentToOldOnlyBeyondTheLimit) {
  const RotationCase& c = GetParam();
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"opened"), S_OK);  // header and one line, unlimited
  size_t written = ReadBytes(m_log).size();
  ASSERT_LT(written, c.fileBytes);
  AppendBytes(m_log, c.fileBytes - written, 'z');
  const std::string before = ReadBytes(m_log);
  ASSERT_EQ(before.size(), c.fileBytes);
  // An older copy, which a rotation replaces.
  AppendBytes(m_log + L".old", 10, 'o');

  state.maxSize = c.maxSize;
  EXPECT_EQ(Text(state, kLogWarning, nullptr, 5, L"next"), S_OK);

  const std::string after = ReadBytes(m_log);
  const std::string old = ReadBytes(m_log + L".old");
  if (c.rotates) {
    EXPECT_EQ(old, before);
    std::vector<std::string> lines = SplitLines(after);
    ASSERT_EQ(lines.size(), 1u) << "the file starts anew with the line alone, no header";
    EXPECT_EQ(AfterStamp(lines[0]), "[W00005] next");
  } else {
    EXPECT_EQ(old, std::string(10, 'o'));
    ASSERT_GT(after.size(), before.size());
    EXPECT_EQ(after.compare(0, before.size(), before), 0);
    std::vector<std::string> tail = SplitLines(after.substr(before.size()));
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(AfterStamp(tail[0]), "[W00005] next");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AddinLogRotation, ::testing::ValuesIn(kRotations), CaseName<RotationCase>);

TEST_F(AddinLog, RotationWithoutAnOldCopyMakesOne) {
  LogState state;
  state.maxSize = 0;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"opened"), S_OK);
  AppendBytes(m_log, 1048576, 'z');
  ASSERT_FALSE(FileExists(m_log + L".old"));
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"next"), S_OK);
  EXPECT_GT(ReadBytes(m_log + L".old").size(), 1048576u);
  EXPECT_EQ(SplitLines(ReadBytes(m_log)).size(), 1u);
}

// --- Clearing.

TEST_F(AddinLog, ClearEmptiesTheFileAndTheNextLineWritesANewHeader) {
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"before"), S_OK);
  EXPECT_EQ(state.Writer().Clear(false), S_OK);
  EXPECT_TRUE(FileExists(m_log));
  EXPECT_EQ(ReadBytes(m_log).size(), 0u);
  EXPECT_TRUE(state.path.empty());
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"after"), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0);
  EXPECT_EQ(AfterStamp(lines[1]), "[I00000] after");
}

TEST_F(AddinLog, ClearWithDeleteRemovesTheFile) {
  LogState state;
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"before"), S_OK);
  EXPECT_EQ(state.Writer().Clear(true), S_OK);
  EXPECT_FALSE(FileExists(m_log));
  EXPECT_TRUE(state.path.empty());
  EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"after"), S_OK);
  EXPECT_EQ(SplitLines(ReadBytes(m_log)).size(), 2u);
}

TEST_F(AddinLog, ClearWithoutAFileSucceeds) {
  for (bool remove : {false, true}) {
    LogState state;
    EXPECT_EQ(state.Writer().Clear(remove), S_OK) << "no folder, remove " << remove;
    CreateDirectoryPath(g_logFolder.c_str());
    EXPECT_EQ(state.Writer().Clear(remove), S_OK) << "folder without file, remove " << remove;
    EXPECT_FALSE(FileExists(m_log));
    RemoveTree(m_folder);
  }
}

TEST_F(AddinLog, ClearOfAFileHeldWithoutSharingIsAccessDenied) {
  for (bool remove : {false, true}) {
    LogState state;
    EXPECT_EQ(Text(state, kLogInfo, nullptr, 0, L"held"), S_OK);
    const std::string content = ReadBytes(m_log);
    // Another program reads it and shares it for reading only: neither for writing nor for deleting.
    HANDLE other = CreateFileW(m_log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.Writer().Clear(remove), kFileAccessDenied) << "remove " << remove;
    CloseHandle(other);
    EXPECT_TRUE(state.path.empty());
    EXPECT_EQ(ReadBytes(m_log), content) << "remove " << remove;
    RemoveTree(m_folder);
  }
}

TEST_F(AddinLog, ClearOfAnUnusablePathThrowsTheWindowsError) {
  CreateDirectoryW(m_folder.c_str(), nullptr);
  g_logFolder = m_folder + L"\\bad|name";
  LogState state;
  EXPECT_THROW(state.Writer().Clear(true), COSException);
  EXPECT_THROW(state.Writer().Clear(false), COSException);
}

// --- Concurrent writers.

// Lines "T<writer> <sequence> " plus padding, so that a mixed-up line would show.
std::wstring WorkerLine(int writer, int sequence) {
  wchar_t head[32];
  swprintf(head, 32, L"T%d %03d ", writer, sequence);
  return head + std::wstring(60 + sequence % 40, wchar_t(L'a' + writer));
}

void CheckWorkerLines(const std::vector<std::string>& lines, int writers, int perWriter, size_t headers) {
  std::vector<int> next(size_t(writers), 0);
  size_t seenHeaders = 0;
  for (const std::string& line : lines) {
    ASSERT_NE(StampOf(line), -1) << line;
    std::string rest = AfterStamp(line);
    if (rest.compare(0, 9, "[I01001] ") == 0) {
      ++seenHeaders;
      continue;
    }
    int writer = -1, sequence = -1;
    ASSERT_EQ(std::sscanf(rest.c_str(), "[I00000] T%d %d ", &writer, &sequence), 2) << line;
    ASSERT_TRUE(writer >= 0 && writer < writers) << line;
    std::wstring expected = L"[I00000] " + WorkerLine(writer, sequence);
    EXPECT_EQ(rest, std::string(expected.begin(), expected.end())) << "line not whole";
    EXPECT_EQ(sequence, next[size_t(writer)]) << "lost or reordered line of writer " << writer;
    next[size_t(writer)] = sequence + 1;
  }
  EXPECT_EQ(seenHeaders, headers);
  for (int w = 0; w < writers; ++w) EXPECT_EQ(next[size_t(w)], perWriter) << "writer " << w;
}

TEST_F(AddinLog, TwoThreadsOfOneObjectWriteWholeLines) {
  constexpr int kLines = 500;
  LogState state;
  auto work = [&state](int writer) {
    for (int i = 0; i < kLines; ++i) {
      std::wstring text = WorkerLine(writer, i);
      EXPECT_EQ(state.Writer().LogText(kLogInfo, nullptr, 0, text.c_str(), -1), S_OK);
    }
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  EXPECT_EQ(lines.size(), size_t(2 * kLines + 1));
  CheckWorkerLines(lines, 2, kLines, 1);
}

// Two add-in objects (each with its own lock, as in two processes) share only the file: the byte-range
// lock alone keeps their lines apart.
TEST_F(AddinLog, TwoObjectsAppendingToOneFileWriteWholeLines) {
  constexpr int kLines = 500;
  LogState first;
  LogState second;
  LogState* states[] = {&first, &second};
  auto work = [&states](int writer) {
    for (int i = 0; i < kLines; ++i) {
      std::wstring text = WorkerLine(writer, i);
      EXPECT_EQ(states[writer]->Writer().LogText(kLogInfo, nullptr, 0, text.c_str(), -1), S_OK);
    }
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  EXPECT_EQ(lines.size(), size_t(2 * kLines + 2));
  CheckWorkerLines(lines, 2, kLines, 2);
}

// A second process appends to the same file with the same discipline: the test starts its own
// executable again with the flags below, and that copy writes as writer 1 instead of running tests
// (from a test environment, which GoogleTest sets up only when the filter leaves a test to run).
constexpr wchar_t kChildFlag[] = L"--vombra-log-child=";
constexpr wchar_t kFolderFlag[] = L"--vombra-log-folder=";
// The child's exit code when it wrote all its lines: a copy that ran tests instead exits 0 or 1.
constexpr DWORD kChildWroteAll = 0x4C4F47;

std::wstring GoEventName(DWORD parent) { return L"Local\\VombraLogTestGo-" + std::to_wstring(parent); }

class ChildWriterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring parent;
    std::wstring folder;
    for (int i = 1; args && i < count; ++i) {
      std::wstring arg = args[i];
      if (arg.rfind(kChildFlag, 0) == 0) parent = arg.substr(wcslen(kChildFlag));
      if (arg.rfind(kFolderFlag, 0) == 0) folder = arg.substr(wcslen(kFolderFlag));
    }
    LocalFree(args);
    if (parent.empty()) return;
    // Never the user's own log: without a folder the child writes nothing.
    if (folder.empty()) ExitProcess(2);
    g_logFolder = folder;
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, GoEventName(DWORD(std::stoul(parent))).c_str());
    if (!go || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) ExitProcess(3);
    CloseHandle(go);
    LogState state;
    UINT failures = 0;
    for (int i = 0; i < 500; ++i) {
      std::wstring text = WorkerLine(1, i);
      if (state.Writer().LogText(kLogInfo, nullptr, 0, text.c_str(), -1) != S_OK) ++failures;
    }
    ExitProcess(failures ? 4 : kChildWroteAll);
  }
};

const auto* childWriter = ::testing::AddGlobalTestEnvironment(new ChildWriterEnvironment);

TEST_F(AddinLog, TwoProcessesAppendingToOneFileWriteWholeLines) {
  constexpr int kLines = 500;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, GoEventName(GetCurrentProcessId()).c_str());
  ASSERT_NE(go, nullptr);
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=AddinLogPath.* " + kChildFlag +
                         std::to_wstring(GetCurrentProcessId()) + L" \"" + kFolderFlag + g_logFolder + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  // Both writers start together; this process's lines interleave with the child's.
  LogState state;
  SetEvent(go);
  for (int i = 0; i < kLines; ++i) {
    std::wstring text = WorkerLine(0, i);
    EXPECT_EQ(state.Writer().LogText(kLogInfo, nullptr, 0, text.c_str(), -1), S_OK);
  }
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(go);
  EXPECT_EQ(exitCode, kChildWroteAll) << "the child did not write all its lines";
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  EXPECT_EQ(lines.size(), size_t(2 * kLines + 2));
  CheckWorkerLines(lines, 2, kLines, 2);
}

// --- The two methods, called the way the host calls them.

tVariant Empty() {
  tVariant v{};
  v.vt = VTYPE_EMPTY;
  return v;
}
tVariant Null() {
  tVariant v{};
  v.vt = VTYPE_NULL;
  return v;
}
tVariant I4(int32_t value) {
  tVariant v{};
  v.vt = VTYPE_I4;
  v.lVal = value;
  return v;
}
tVariant UI4(uint32_t value) {
  tVariant v{};
  v.vt = VTYPE_UI4;
  v.ulVal = value;
  return v;
}
tVariant Bool(bool value) {
  tVariant v{};
  v.vt = VTYPE_BOOL;
  v.bVal = value;
  return v;
}
tVariant R8(double value) {
  tVariant v{};
  v.vt = VTYPE_R8;
  v.dblVal = value;
  return v;
}
tVariant Str(const wchar_t* text) {
  tVariant v{};
  v.vt = VTYPE_PWSTR;
  v.pwstrVal = const_cast<WCHAR_T*>(text);
  v.wstrLen = uint32_t(wcslen(text));
  return v;
}

class AddinLogMethods : public AddinLog {
 protected:
  void SetUp() override {
    AddinLog::SetUp();
    m_addin.LogLevel = 5;  // 6 would add the call log's own lines
    m_addLog = m_addin.FindMethod(L"AddLog");
    m_clearLog = m_addin.FindMethod(L"ClearLog");
    ASSERT_GE(m_addLog, 0);
    ASSERT_GE(m_clearLog, 0);
  }

  // Calls AddLog as a function; the call's answer, the BOOL result (false when it is not a BOOL).
  bool AddLog(std::vector<tVariant> params, bool* result) {
    tVariant value{};
    bool answer = m_addin.CallAsFunc(m_addLog, &value, params.data(), long(params.size()));
    *result = value.vt == VTYPE_BOOL && value.bVal;
    return answer;
  }
  bool ClearLog(std::vector<tVariant> params, bool* result) {
    tVariant value{};
    bool answer = m_addin.CallAsFunc(m_clearLog, &value, params.data(), long(params.size()));
    *result = value.vt == VTYPE_BOOL && value.bVal;
    return answer;
  }

  CVombra m_addin{L"VombraExtension"};
  long m_addLog = -1;
  long m_clearLog = -1;
};

struct AddLogCase {
  const char* name;
  tVariant level, number, source, text;
  const char* line;  // the line after its stamp; null when the call writes nothing
  HRESULT error;     // the last error afterwards
};

void PrintTo(const AddLogCase& c, std::ostream* os) { *os << c.name; }

const AddLogCase kAddLogCases[] = {
    {"ErrorWithoutSource", I4(2), UI4(7), Empty(), Str(L"hello"), "[E00007 ] hello", S_OK},
    {"LevelAboveTwoIsInformation", I4(9), UI4(7), Empty(), Str(L"hello"), "[I00007 ] hello", S_OK},
    {"NegativeLevelIsInformation", I4(-1), UI4(3), Empty(), Str(L"x"), "[I00003 ] x", S_OK},
    {"WarningWithSource", I4(1), UI4(12345), Str(L"COM3"), Str(L"text"), "[W12345 COM3] text", S_OK},
    {"NullSourceKeepsBlank", I4(0), UI4(0), Null(), Str(L"t"), "[I00000 ] t", S_OK},
    {"NumbersOfOtherTypes", UI4(2), I4(8), Empty(), Str(L"n"), "[E00008 ] n", S_OK},
    {"BooleanLevel", Bool(true), UI4(1), Empty(), Str(L"b"), "[W00001 ] b", S_OK},
    {"EmptyText", I4(0), UI4(4), Str(L""), Str(L""), "[I00004 ] ", S_OK},
    {"LevelLeftOut", Empty(), UI4(1), Empty(), Str(L"t"), nullptr, HRESULT(0x80040202)},
    {"NumberNull", I4(0), Null(), Empty(), Str(L"t"), nullptr, HRESULT(0x80040202)},
    {"NumberAsText", I4(0), Str(L"7"), Empty(), Str(L"t"), nullptr, HRESULT(0x80040202)},
    {"TextAsNumber", I4(0), UI4(1), Empty(), I4(5), nullptr, HRESULT(0x80040202)},
    {"TextLeftOut", I4(0), UI4(1), Empty(), Empty(), nullptr, HRESULT(0x80040202)},
    {"SourceAsNumber", I4(0), UI4(1), I4(3), Str(L"t"), nullptr, HRESULT(0x80040202)},
    {"SourceAsReal", I4(0), UI4(1), R8(1.5), Str(L"t"), nullptr, HRESULT(0x80040202)},
};

class AddLogCases : public AddinLogMethods, public ::testing::WithParamInterface<AddLogCase> {};

TEST_P(AddLogCases, WritesTheLineOrRefusesTheType) {
  const AddLogCase& c = GetParam();
  m_addin.LastError = HRESULT(0x12345678);  // AddLog must set it either way
  bool result = true;
  EXPECT_TRUE(AddLog({c.level, c.number, c.source, c.text}, &result));
  EXPECT_EQ(result, c.line != nullptr);
  EXPECT_EQ(m_addin.LastError, c.error);
  EXPECT_TRUE(m_addin.LastErrorText.empty());
  if (c.line) {
    std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0);
    EXPECT_EQ(AfterStamp(lines[1]), c.line);
  } else {
    EXPECT_FALSE(FileExists(m_log));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AddLogCases, ::testing::ValuesIn(kAddLogCases), CaseName<AddLogCase>);

TEST_F(AddinLogMethods, AddLogWritesAtEveryLogLevelButZero) {
  for (UINT level : {1u, 2u, 3u, 4u, 5u}) {
    m_addin.LogLevel = level;
    bool result = false;
    EXPECT_TRUE(AddLog({I4(0), UI4(level), Empty(), Str(L"x")}, &result));
    EXPECT_TRUE(result) << level;
    EXPECT_EQ(m_addin.LastError, S_OK);
  }
  // One header, then one line per level.
  EXPECT_EQ(SplitLines(ReadBytes(m_log)).size(), 6u);
}

TEST_F(AddinLogMethods, AddLogAtLevelZeroAnswersFalseWithAbort) {
  for (bool openedBefore : {false, true}) {
    m_addin.LogLevel = openedBefore ? 5 : 0;
    bool result = false;
    if (openedBefore) {
      ASSERT_TRUE(AddLog({I4(0), UI4(1), Empty(), Str(L"opened")}, &result) && result);
    }
    const std::string content = ReadBytes(m_log);
    m_addin.LogLevel = 0;
    result = true;
    EXPECT_TRUE(AddLog({I4(0), UI4(2), Empty(), Str(L"refused")}, &result));
    EXPECT_FALSE(result) << "opened before: " << openedBefore;
    EXPECT_EQ(m_addin.LastError, E_ABORT);
    EXPECT_EQ(ReadBytes(m_log), content);
  }
}

TEST_F(AddinLogMethods, RefusedCallsOfAddLog) {
  tVariant four[] = {I4(0), UI4(1), Empty(), Str(L"t")};
  tVariant value{};
  EXPECT_FALSE(m_addin.CallAsFunc(m_addLog, &value, four, 3)) << "three parameters";
  EXPECT_EQ(m_addin.LastError, E_INVALIDARG);
  EXPECT_FALSE(m_addin.CallAsFunc(m_addLog, &value, nullptr, 0)) << "no parameters";
  EXPECT_FALSE(m_addin.CallAsProc(m_addLog, four, 4)) << "no result";
  EXPECT_EQ(m_addin.LastError, E_INVALIDARG);
  EXPECT_FALSE(FileExists(m_log));
}

TEST_F(AddinLogMethods, ClearLogEmptiesOrDeletesTheFile) {
  struct Case {
    tVariant remove;
    bool fileRemains;
  } cases[] = {{Bool(false), true}, {Bool(true), false}, {I4(0), true}, {I4(1), false}};
  for (size_t i = 0; i < 4; ++i) {
    bool result = false;
    ASSERT_TRUE(AddLog({I4(0), UI4(1), Empty(), Str(L"before")}, &result) && result);
    EXPECT_TRUE(ClearLog({cases[i].remove}, &result)) << i;
    EXPECT_TRUE(result) << i;
    EXPECT_EQ(FileExists(m_log), cases[i].fileRemains) << i;
    if (cases[i].fileRemains) {
      EXPECT_EQ(ReadBytes(m_log).size(), 0u) << i;
    }
    // The next line opens the log again with a new header.
    ASSERT_TRUE(AddLog({I4(0), UI4(2), Empty(), Str(L"after")}, &result) && result);
    std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
    ASSERT_EQ(lines.size(), 2u) << i;
    EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0) << i;
    EXPECT_EQ(AfterStamp(lines[1]), "[I00002 ] after") << i;
    RemoveTree(m_folder);
  }
}

TEST_F(AddinLogMethods, ClearLogRefusesADeleteThatIsNotATruthValueOrNumber) {
  bool result = false;
  ASSERT_TRUE(AddLog({I4(0), UI4(1), Empty(), Str(L"kept")}, &result) && result);
  const std::string content = ReadBytes(m_log);
  for (tVariant remove : {Empty(), Null(), Str(L"true")}) {
    result = true;
    EXPECT_TRUE(ClearLog({remove}, &result)) << remove.vt;
    EXPECT_FALSE(result) << remove.vt;
    EXPECT_EQ(m_addin.LastError, HRESULT(0x80040202)) << remove.vt;
  }
  EXPECT_EQ(ReadBytes(m_log), content);
}

TEST_F(AddinLogMethods, ClearLogWithoutAFileAnswersTrue) {
  for (bool remove : {false, true}) {
    bool result = false;
    EXPECT_TRUE(ClearLog({Bool(remove)}, &result));
    EXPECT_TRUE(result) << remove;
  }
}

TEST_F(AddinLogMethods, ClearLogOfAFileHeldWithoutDeleteSharingAnswersFalse) {
  bool result = false;
  ASSERT_TRUE(AddLog({I4(0), UI4(1), Empty(), Str(L"held")}, &result) && result);
  HANDLE other = CreateFileW(m_log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  result = true;
  EXPECT_TRUE(ClearLog({Bool(true)}, &result));
  CloseHandle(other);
  EXPECT_FALSE(result);
  EXPECT_EQ(m_addin.LastError, kFileAccessDenied);
  EXPECT_TRUE(FileExists(m_log));
  // LogPath was forgotten: the next line starts with a header again.
  ASSERT_TRUE(AddLog({I4(0), UI4(3), Empty(), Str(L"next")}, &result) && result);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(AfterStamp(lines[2]).compare(0, 9, "[I01001] "), 0);
}

TEST_F(AddinLogMethods, RefusedCallsOfClearLog) {
  tVariant remove = Bool(false);
  tVariant value{};
  EXPECT_FALSE(m_addin.CallAsFunc(m_clearLog, &value, &remove, 0));
  EXPECT_EQ(m_addin.LastError, E_INVALIDARG);
  EXPECT_FALSE(m_addin.CallAsFunc(m_clearLog, &value, nullptr, 1));
  EXPECT_FALSE(m_addin.CallAsProc(m_clearLog, &remove, 1));
}

// The object's own life-cycle lines: the header first, then Init's line; Done's; the destructor's
// "Finish" only at level 6.
TEST_F(AddinLogMethods, LifeCycleLinesFollowTheHeader) {
  for (UINT level : {5u, 6u}) {
    {
      CVombra addin(L"VombraExtension");
      addin.LogLevel = level;
      EXPECT_TRUE(addin.Init(nullptr));
      addin.Done();
    }
    std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
    ASSERT_EQ(lines.size(), level == 6 ? 4u : 3u) << level;
    EXPECT_EQ(AfterStamp(lines[0]).compare(0, 9, "[I01001] "), 0) << level;
    EXPECT_EQ(AfterStamp(lines[1]), "[I00000] CVombra::Init()") << level;
    EXPECT_EQ(AfterStamp(lines[2]), "[I00000] CVombra::Done()") << level;
    if (level == 6) {
      EXPECT_EQ(AfterStamp(lines[3]), "[I00051] Finish");
    }
    RemoveTree(m_folder);
  }
}

// The add-in object's writers reach the same file: the engine's string-table lines and free texts.
TEST_F(AddinLogMethods, ObjectWritersShareTheLog) {
  EXPECT_EQ(m_addin.Log(kLogInfo, L"COM5", 1004, L"COM5"), S_OK);
  m_addin.LogPrintf(kLogError, L"COM5", L"%s %d", L"code", 5);
  EXPECT_EQ(m_addin.LogText(kLogWarning, nullptr, 99, L"given", 3), S_OK);
  std::vector<std::string> lines = SplitLines(ReadBytes(m_log));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(AfterStamp(lines[1]), "[I00004 COM5] Closed port \"COM5\".");
  EXPECT_EQ(AfterStamp(lines[2]), "[E00000 COM5] code 5");
  EXPECT_EQ(AfterStamp(lines[3]), "[W00099] giv");
}

}  // namespace
