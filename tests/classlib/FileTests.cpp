// Files: error causes and their texts in both languages, CFile's open modes, sharing and locking,
// whole-file UTF-8 reading and the replacing write, path helpers and the regjump lookup.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "Core.h"
#include "File.h"
#include "RegistryTestLock.h"
#include "Strings.h"

namespace {

constexpr LANGID kEnglish = 1033;
constexpr LANGID kRussian = 1049;

// The texts of causes 0..14, as a user reads them; "%s" stands for the file name.
const wchar_t* const kCauseTexts[2][15] = {
    {
        L"No error occurred.",
        L"An unknown error occurred while accessing %s.",
        L"%s was not found.",
        L"%s contains an incorrect path.",
        L"Could not open %s because there are too many open files.",
        L"Access to %s was denied.",
        L"An incorrect file handle was associated with %s.",
        L"Could not remove %s because it is the current directory.",
        L"Could not create %s because the directory is full.",
        L"Seek failed on %s",
        L"Encountered a hardware I/O error while accessing %s.",
        L"Encountered a sharing violation while accessing %s.",
        L"Encountered a locking violation while accessing %s.",
        L"Disk full while accessing %s.",
        L"Attempted to access %s past its end.",
    },
    {
        L"Ошибок не произошло.",
        L"При обращении к %s произошла неизвестная ошибка.",
        L"%s не найден.",
        L"%s содержит неверный путь.",
        L"Не удалось открыть %s: открыто слишком много файлов.",
        L"Доступ к %s запрещён.",
        L"С %s связан неверный дескриптор файла.",
        L"Не удалось удалить %s: это текущая папка.",
        L"Не удалось создать %s: папка переполнена.",
        L"Ошибка позиционирования в %s",
        L"Аппаратная ошибка ввода-вывода при обращении к %s.",
        L"Нарушение совместного доступа при обращении к %s.",
        L"Нарушение блокировки при обращении к %s.",
        L"Диск переполнен при обращении к %s.",
        L"Попытка обращения к %s за его концом.",
    },
};

// The message a CFileException must carry: the cause's text with the name, in the ANSI code page.
std::string ExpectedMessage(LANGID language, int cause, const std::wstring& name) {
  std::wstring text = kCauseTexts[language == kRussian ? 1 : 0][cause];
  const size_t at = text.find(L"%s");
  if (at != std::wstring::npos) text.replace(at, 2, name);
  std::string ansi;
  WideToMultiByte(text.c_str(), text.size(), ansi, CP_ACP);
  return ansi;
}

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

// A scratch folder of its own per test, the current directory while the test runs, and the language
// set per test; everything is put back afterwards.
class FileFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    static LONG counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t name[64];
    swprintf(name, 64, L"VombraFileTest-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    m_folder = std::wstring(temp) + name;
    ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr)) << GetLastError();
    GetCurrentDirectoryW(MAX_PATH, temp);
    m_savedDirectory = temp;
    SetCurrentDirectoryW(m_folder.c_str());
  }
  void TearDown() override {
    SetCurrentDirectoryW(m_savedDirectory.c_str());
    RemoveTree(m_folder);
    SetUILanguage(kEnglish);
  }

  std::wstring In(const std::wstring& name) const { return m_folder + L"\\" + name; }

  // The folder's entries, sorted, without "." and "..".
  std::vector<std::wstring> Listing() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    CFindFile find;
    for (bool more = find.FindFirst((m_folder + L"\\*").c_str(), &found); more;
         more = find.FindNext(&found)) {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    CFindFile find;
    for (bool more = find.FindFirst((folder + L"\\*").c_str(), &found); more; more = find.FindNext(&found)) {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    }
    find.Close();
    RemoveDirectoryW(folder.c_str());
  }

  std::wstring m_folder;
  std::wstring m_savedDirectory;
};

// ErrorToCause and the texts

struct CauseRow {
  int cause;
  std::initializer_list<DWORD> errors;
};

const CauseRow kCauseRows[] = {
    {CAUSE_NONE, {0}},
    {CAUSE_GENERIC, {1, 7, 31, 87, 1234, 0xFFFFFFFF}},
    {CAUSE_NOT_FOUND, {2, 6, 18, 107}},
    {CAUSE_BAD_PATH,
     {3, 15, 17, 34, 52, 53, 55, 67, 70, 85, 111, 123, 124, 125, 144, 154, 161, 206, 208, 267}},
    {CAUSE_TOO_MANY_OPEN, {4, 36, 68, 113}},
    {CAUSE_ACCESS_DENIED, {5, 12, 19, 29, 54, 58, 64, 65, 71, 80, 82, 86, 170, 183, 999}},
    {CAUSE_BAD_HANDLE, {11, 26, 60, 66, 114, 182, 191, 193}},
    {CAUSE_CURRENT_DIR, {16, 145}},
    {CAUSE_DIR_FULL, {62}},
    {CAUSE_BAD_SEEK, {24, 25, 27, 30, 131, 132}},
    {CAUSE_HARDWARE, {20, 21, 22, 23, 57, 59, 88, 117, 995, 996, 997}},
    {CAUSE_SHARING, {32}},
    {CAUSE_LOCKING, {33, 108, 167}},
    {CAUSE_DISK_FULL, {39, 112}},
    {CAUSE_PAST_END, {38}},
};

TEST(FileErrorToCause, MapsEveryListedErrorAndNothingElse) {
  for (const CauseRow& row : kCauseRows) {
    for (DWORD error : row.errors)
      EXPECT_EQ(CFileException::ErrorToCause(error), row.cause) << "error " << error;
  }
  // Neighbours of listed errors fall to the generic cause.
  for (DWORD error : {8u, 35u, 63u, 168u, 184u, 268u, 994u, 998u, 1000u}) {
    EXPECT_EQ(CFileException::ErrorToCause(error), CAUSE_GENERIC) << "error " << error;
  }
}

class FileMessageTest : public FileFixture, public testing::WithParamInterface<LANGID> {};

TEST_P(FileMessageTest, EveryCauseNamesTheFile) {
  SetUILanguage(GetParam());
  const std::wstring name = L"C:\\Data\\Config 100%.xml";  // a '%' in a name is text, not a format
  for (const CauseRow& row : kCauseRows) {
    const DWORD error = *row.errors.begin();
    try {
      ThrowFileOsError(error, name.c_str());
      ADD_FAILURE() << "no exception";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.Cause(), row.cause);
      EXPECT_EQ(e.OsError(), int(error));
      EXPECT_EQ(e.FileName(), name);
      EXPECT_EQ(std::string(e.what()), ExpectedMessage(GetParam(), row.cause, name)) << "cause " << row.cause;
    }
  }
}

TEST_P(FileMessageTest, TextIsMadeInTheLanguageOfThrowing) {
  SetUILanguage(GetParam());
  const CFileException made(CAUSE_DISK_FULL, -1, L"x");
  SetUILanguage(GetParam() == kRussian ? kEnglish : kRussian);
  EXPECT_EQ(std::string(made.what()), ExpectedMessage(GetParam(), CAUSE_DISK_FULL, L"x"));
  EXPECT_EQ(made.OsError(), -1);
}

TEST_P(FileMessageTest, ResourceExceptionText) {
  SetUILanguage(GetParam());
  const std::wstring text =
      GetParam() == kRussian ? L"Требуемый ресурс недоступен." : L"A required resource was unavailable.";
  std::string ansi;
  WideToMultiByte(text.c_str(), text.size(), ansi, CP_ACP);
  try {
    ThrowResourceException();
  } catch (const CResourceException& e) {
    EXPECT_EQ(std::string(e.what()), ansi);
    return;
  }
  ADD_FAILURE() << "no exception";
}

INSTANTIATE_TEST_SUITE_P(Languages, FileMessageTest, testing::Values(kEnglish, kRussian));

// CFile::Open

enum class Target { kMissing, kExisting, kName259, kName260, kEmpty, kNull, kMissingFolder };
// How another handle holds the existing file while Open runs: its access and its sharing.
struct Holder {
  DWORD access;
  DWORD share;
};
constexpr Holder kNoHolder = {0, 0xFFFFFFFF};
constexpr int kNoLength = -1;

struct OpenCase {
  const char* name;
  Target target;
  UINT mode;
  Holder holder;
  int cause;    // -1: Open succeeds
  int osError;  // expected OS error on failure
  int length;   // the file's length after a successful Open
  friend void PrintTo(const OpenCase& row, std::ostream* out) { *out << row.name; }
};

const OpenCase kOpenCases[] = {
    {"Name259Opens", Target::kName259, CFILE_READ, kNoHolder, -1, 0, 5},
    {"Name260RefusedBeforeDisk", Target::kName260, CFILE_CREATE | CFILE_WRITE, kNoHolder, CAUSE_BAD_PATH, -1,
     kNoLength},
    {"EmptyName", Target::kEmpty, CFILE_READ, kNoHolder, CAUSE_BAD_PATH, -1, kNoLength},
    {"NullName", Target::kNull, CFILE_READ, kNoHolder, CAUSE_BAD_PATH, -1, kNoLength},
    {"MissingFile", Target::kMissing, CFILE_READ, kNoHolder, CAUSE_NOT_FOUND, ERROR_FILE_NOT_FOUND,
     kNoLength},
    {"MissingFolder", Target::kMissingFolder, CFILE_READ, kNoHolder, CAUSE_BAD_PATH, ERROR_PATH_NOT_FOUND,
     kNoLength},
    {"ReadKeepsFile", Target::kExisting, CFILE_READ, kNoHolder, -1, 0, 5},
    {"CreateTruncates", Target::kExisting, CFILE_CREATE | CFILE_WRITE, kNoHolder, -1, 0, 0},
    {"CreateNoTruncateKeeps", Target::kExisting, CFILE_CREATE | CFILE_NO_TRUNCATE | CFILE_READWRITE,
     kNoHolder, -1, 0, 5},
    {"CreateMakesMissingFile", Target::kMissing, CFILE_CREATE | CFILE_WRITE, kNoHolder, -1, 0, 0},
    {"WithoutCreateNothingIsMade", Target::kMissing, CFILE_NO_TRUNCATE | CFILE_WRITE, kNoHolder,
     CAUSE_NOT_FOUND, ERROR_FILE_NOT_FOUND, kNoLength},
    {"HeldExclusively",
     Target::kExisting,
     CFILE_READ | CFILE_SHARE_DENY_NONE,
     {GENERIC_READ, 0},
     CAUSE_SHARING,
     ERROR_SHARING_VIOLATION,
     kNoLength},
    {"ExclusiveBesideReader",
     Target::kExisting,
     CFILE_READ | CFILE_SHARE_EXCLUSIVE,
     {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
     CAUSE_SHARING,
     ERROR_SHARING_VIOLATION,
     kNoLength},
    {"DenyWriteBesideWriter",
     Target::kExisting,
     CFILE_READ | CFILE_SHARE_DENY_WRITE,
     {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
     CAUSE_SHARING,
     ERROR_SHARING_VIOLATION,
     kNoLength},
    {"DenyReadBesideReader",
     Target::kExisting,
     CFILE_WRITE | CFILE_SHARE_DENY_READ,
     {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
     CAUSE_SHARING,
     ERROR_SHARING_VIOLATION,
     kNoLength},
    {"DenyNoneBesideWriter",
     Target::kExisting,
     CFILE_READ | CFILE_SHARE_DENY_NONE,
     {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
     -1,
     0,
     5},
    {"DenyWriteBesideReader",
     Target::kExisting,
     CFILE_READ | CFILE_SHARE_DENY_WRITE,
     {GENERIC_READ, FILE_SHARE_READ},
     -1,
     0,
     5},
    {"BinaryBitIgnored", Target::kExisting, CFILE_READ | CFILE_BINARY, kNoHolder, -1, 0, 5},
};

class FileOpenTest : public FileFixture, public testing::WithParamInterface<std::tuple<OpenCase, LANGID>> {
 protected:
  // The name Open is given, and the full path it stands for.
  void MakeTarget(Target target, std::wstring& name, std::wstring& full) {
    switch (target) {
      case Target::kMissing:
        name = L"x";
        full = In(L"x");
        return;
      case Target::kExisting:
        name = L"data.bin";
        full = In(name);
        WriteBytes(full, "12345");
        return;
      case Target::kMissingFolder:
        name = L"nofolder\\x";
        full = In(name);
        return;
      case Target::kEmpty:
      case Target::kNull:
        name.clear();
        full.clear();
        return;
      case Target::kName259:
      case Target::kName260: {
        // A folder as long as CreateDirectory allows (MAX_PATH - 12 characters), and a file in it that
        // makes the full name MAX_PATH - 1 characters long.
        const std::wstring folder =
            m_folder + L"\\" + std::wstring(MAX_PATH - 13 - m_folder.size() - 1, L'd');
        ASSERT_EQ(folder.size(), size_t(MAX_PATH - 13));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
        full = folder + L"\\" + std::wstring(MAX_PATH - 1 - folder.size() - 1, L'f');
        ASSERT_EQ(full.size(), size_t(MAX_PATH - 1));
        WriteBytes(full, "12345");
        if (target == Target::kName260) full += L'g';
        name = full;
        return;
      }
    }
  }
};

TEST_P(FileOpenTest, OpensOrNamesTheFailure) {
  const OpenCase& c = std::get<0>(GetParam());
  const LANGID language = std::get<1>(GetParam());
  SetUILanguage(language);
  std::wstring name;
  std::wstring full;
  MakeTarget(c.target, name, full);
  if (HasFatalFailure()) return;
  HANDLE holder = INVALID_HANDLE_VALUE;
  if (c.holder.share != kNoHolder.share) {
    holder = CreateFileW(full.c_str(), c.holder.access, c.holder.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
  }

  CFile file;
  CFileException error;
  const bool opened = file.Open(c.target == Target::kNull ? nullptr : name.c_str(), c.mode, &error);
  if (c.cause < 0) {
    ASSERT_TRUE(opened) << error.what();
    EXPECT_EQ(file.GetFilePath(), full);
    EXPECT_EQ(int(file.GetLength()), c.length);
  } else {
    EXPECT_FALSE(opened);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.GetFilePath().empty());
    EXPECT_EQ(error.Cause(), c.cause);
    EXPECT_EQ(error.OsError(), c.osError);
    EXPECT_EQ(error.FileName(), name);  // as given, not the full path
    EXPECT_EQ(std::string(error.what()), ExpectedMessage(language, c.cause, name));
    // A refused open of a missing file creates nothing.
    if (c.target == Target::kMissing || c.target == Target::kName260 || c.target == Target::kMissingFolder) {
      EXPECT_EQ(GetFileAttributesW(full.c_str()), INVALID_FILE_ATTRIBUTES);
    }
  }
  file.Close();
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  // Opening for reading or refusing never changes the file.
  if (c.target == Target::kExisting && (c.cause >= 0 || !(c.mode & CFILE_CREATE))) {
    EXPECT_EQ(ReadBytes(full), "12345");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FileOpenTest,
                         testing::Combine(testing::ValuesIn(kOpenCases), testing::Values(kEnglish, kRussian)),
                         [](const testing::TestParamInfo<std::tuple<OpenCase, LANGID>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == kRussian ? "_ru" : "_en");
                         });

TEST_F(FileFixture, OpenWithoutErrorOutputOnlyAnswers) {
  CFile file;
  EXPECT_FALSE(file.Open(L"missing.bin", CFILE_READ, nullptr));
  EXPECT_FALSE(file.Open(nullptr, CFILE_READ, nullptr));
}

TEST_F(FileFixture, OpenClosesTheFileHeldBefore) {
  WriteBytes(In(L"a.bin"), "a");
  WriteBytes(In(L"b.bin"), "bb");
  CFile file;
  ASSERT_TRUE(file.Open(L"a.bin", CFILE_READ, nullptr));
  ASSERT_TRUE(file.Open(L"b.bin", CFILE_READ, nullptr));
  EXPECT_EQ(file.GetFilePath(), In(L"b.bin"));
  EXPECT_EQ(file.GetLength(), 2u);
  // a.bin is no longer held: an exclusive open succeeds.
  CFile other;
  EXPECT_TRUE(other.Open(L"a.bin", CFILE_READ | CFILE_SHARE_EXCLUSIVE, nullptr));
}

// CFile operations

TEST_F(FileFixture, ReadWriteSeekAndLength) {
  CFile file;
  ASSERT_TRUE(file.Open(L"ops.bin", CFILE_CREATE | CFILE_READWRITE, nullptr));
  file.Write("hello world", 11);
  file.Write("ignored", 0);
  EXPECT_EQ(file.GetLength(), 11u);
  EXPECT_EQ(file.GetPosition(), 11u);
  EXPECT_EQ(file.Seek(-5, FILE_END), 6u);
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, 0), 0u);
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 5u);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 0u);  // at the end
  file.SetLength(5);
  EXPECT_EQ(file.GetLength(), 5u);
  EXPECT_EQ(file.GetPosition(), 5u);
  file.Flush();
  try {
    file.Seek(-1, FILE_BEGIN);
    ADD_FAILURE() << "a seek before the start succeeded";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_BAD_SEEK);
    EXPECT_EQ(e.FileName(), In(L"ops.bin"));
  }
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(file.GetFilePath().empty());
  file.Close();
  file.Flush();
  EXPECT_EQ(ReadBytes(In(L"ops.bin")), "hello");
}

TEST_F(FileFixture, PositionPastFourGigabytes) {
  CFile file;
  ASSERT_TRUE(file.Open(L"sparse.bin", CFILE_CREATE | CFILE_READWRITE, nullptr));
  // The low part equals INVALID_SET_FILE_POINTER: a position, not a failure.
  const uint64_t distant = 0x1FFFFFFFFull;
  EXPECT_EQ(file.Seek(int64_t(distant), FILE_BEGIN), distant);
  EXPECT_EQ(file.GetPosition(), distant);
}

TEST_F(FileFixture, LockedRangeRefusesOtherHandle) {
  WriteBytes(In(L"lock.bin"), "0123456789");
  CFile first;
  CFile second;
  ASSERT_TRUE(first.Open(L"lock.bin", CFILE_READWRITE | CFILE_SHARE_DENY_NONE, nullptr));
  ASSERT_TRUE(second.Open(L"lock.bin", CFILE_READWRITE | CFILE_SHARE_DENY_NONE, nullptr));
  first.LockRange(0, 4);
  for (LANGID language : {kEnglish, kRussian}) {
    SetUILanguage(language);
    try {
      second.LockRange(2, 1);
      ADD_FAILURE() << "a locked range was locked twice";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.Cause(), CAUSE_LOCKING);
      EXPECT_EQ(e.OsError(), ERROR_LOCK_VIOLATION);
      EXPECT_EQ(std::string(e.what()), ExpectedMessage(language, CAUSE_LOCKING, In(L"lock.bin")));
    }
  }
  second.LockRange(4, 2);  // next to the locked range
  first.UnlockRange(0, 4);
  second.LockRange(0, 4);
  second.UnlockRange(0, 4);
  second.UnlockRange(4, 2);
  try {
    second.UnlockRange(0, 4);
    ADD_FAILURE() << "an unlocked range was unlocked again";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CFileException::ErrorToCause(DWORD(e.OsError())));
    EXPECT_EQ(e.FileName(), In(L"lock.bin"));
  }
}

// Seam: a WriteFile that fails on a chosen call, short or with an error.

struct WriteFault {
  int failingCall;  // 1-based
  DWORD error;      // 0: a short write
};
WriteFault g_fault;
int g_writeCalls;

BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                            LPOVERLAPPED overlapped) {
  if (++g_writeCalls != g_fault.failingCall) return WriteFile(file, buffer, count, written, overlapped);
  if (g_fault.error) {
    *written = 0;
    SetLastError(g_fault.error);
    return FALSE;
  }
  return WriteFile(file, buffer, count / 2, written, overlapped);  // half of it reaches the disk
}

class WriteSeam {
 public:
  explicit WriteSeam(WriteFault fault) {
    g_fault = fault;
    g_writeCalls = 0;
    g_pfnWriteFile = FaultyWriteFile;
  }
  ~WriteSeam() { g_pfnWriteFile = WriteFile; }
};

TEST_F(FileFixture, ShortWriteIsDiskFull) {
  CFile file;
  ASSERT_TRUE(file.Open(L"short.bin", CFILE_CREATE | CFILE_WRITE, nullptr));
  WriteSeam seam({1, 0});
  try {
    file.Write("0123456789", 10);
    ADD_FAILURE() << "a short write passed";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_DISK_FULL);
    EXPECT_EQ(e.OsError(), -1);
    EXPECT_EQ(std::string(e.what()), ExpectedMessage(kEnglish, CAUSE_DISK_FULL, In(L"short.bin")));
  }
}

// ReadUtf8File / WriteUtf8File

struct ReadCase {
  const char* name;
  std::string bytes;
  std::wstring text;
};

const ReadCase kReadCases[] = {
    {"Empty", "", L""},
    {"MarkOnly", "\xEF\xBB\xBF", L""},
    {"MarkAndText", "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xB8 <a/>\r\n", L"\x041F\x0440\x0438 <a/>\r\n"},
    {"TextWithoutMark", "\xD0\x9F\xD1\x80\xD0\xB8", L"\x041F\x0440\x0438"},
    {"MarkNotAtStart", "a\xEF\xBB\xBF", L"a\xFEFF"},
    {"TwoByteFileKept", "ab", L"ab"},
};

TEST_F(FileFixture, ReadUtf8FileTable) {
  for (const ReadCase& c : kReadCases) {
    WriteBytes(In(L"read.txt"), c.bytes);
    std::wstring text = L"stale";
    ReadUtf8File(In(L"read.txt").c_str(), text);
    EXPECT_EQ(text, c.text) << c.name;
  }
  // Two bytes that begin a mark are not taken for one.
  WriteBytes(In(L"read.txt"), "\xEF\xBB");
  std::wstring text;
  ReadUtf8File(In(L"read.txt").c_str(), text);
  EXPECT_FALSE(text.empty());
}

TEST_F(FileFixture, ReadUtf8FileMissingNamesIt) {
  std::wstring text;
  try {
    ReadUtf8File(L"absent.xml", text);
    ADD_FAILURE() << "a missing file was read";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_NOT_FOUND);
    EXPECT_EQ(e.FileName(), L"absent.xml");
  }
}

TEST_F(FileFixture, WriteUtf8FileWritesMarkAndReplacesWhole) {
  const std::wstring target = In(L"out.xml");
  WriteBytes(target, std::string(100, 'z'));  // longer than what replaces it
  const std::wstring text = L"<a>\x0416</a>\r\n";
  WriteUtf8File(target.c_str(), text.c_str(), text.size());
  EXPECT_EQ(ReadBytes(target), "\xEF\xBB\xBF<a>\xD0\x96</a>\r\n");
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"out.xml"});
  std::wstring back;
  ReadUtf8File(target.c_str(), back);
  EXPECT_EQ(back, text);

  WriteUtf8File(target.c_str(), L"", 0);
  EXPECT_EQ(ReadBytes(target), "");
  WriteUtf8File(In(L"new.xml").c_str(), L"x", size_t(-1));
  EXPECT_EQ(ReadBytes(In(L"new.xml")), "\xEF\xBB\xBFx");
  EXPECT_EQ(Listing(), (std::vector<std::wstring>{L"new.xml", L"out.xml"}));
}

struct ReplaceFailure {
  const char* name;
  WriteFault fault;
  int cause;
  int osError;
  friend void PrintTo(const ReplaceFailure& row, std::ostream* out) { *out << row.name; }
};

const ReplaceFailure kReplaceFailures[] = {
    {"ShortTextWrite", {2, 0}, CAUSE_DISK_FULL, -1},
    {"ShortMarkWrite", {1, 0}, CAUSE_DISK_FULL, -1},
    {"DiskFullError", {2, ERROR_DISK_FULL}, CAUSE_DISK_FULL, ERROR_DISK_FULL},
    {"DeviceError", {2, ERROR_CRC}, CAUSE_HARDWARE, ERROR_CRC},
};

class FileReplaceTest : public FileFixture, public testing::WithParamInterface<ReplaceFailure> {};

TEST_P(FileReplaceTest, FailedWriteKeepsOldFileAndLeavesNoTemporary) {
  const std::wstring target = In(L"ConfigVombra.xml");
  const std::string old = "\xEF\xBB\xBF<old/>\r\n";
  WriteBytes(target, old);
  const std::wstring text(5000, L'n');
  WriteSeam seam(GetParam().fault);
  try {
    WriteUtf8File(target.c_str(), text.c_str(), text.size());
    ADD_FAILURE() << "the failed write was reported as success";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), GetParam().cause);
    EXPECT_EQ(e.OsError(), GetParam().osError);
    EXPECT_EQ(e.FileName(), target);
    EXPECT_EQ(std::string(e.what()), ExpectedMessage(kEnglish, GetParam().cause, target));
  }
  EXPECT_EQ(g_writeCalls, GetParam().fault.failingCall);
  EXPECT_EQ(ReadBytes(target), old);
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"ConfigVombra.xml"});
}

INSTANTIATE_TEST_SUITE_P(Failures, FileReplaceTest, testing::ValuesIn(kReplaceFailures),
                         [](const testing::TestParamInfo<ReplaceFailure>& info) { return info.param.name; });

TEST_F(FileFixture, WriteIntoMissingFolderNamesTarget) {
  const std::wstring target = In(L"gone\\out.xml");
  try {
    WriteUtf8File(target.c_str(), L"x", 1);
    ADD_FAILURE() << "a file was written into a missing folder";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_BAD_PATH);
    EXPECT_EQ(e.FileName(), target);
  }
  EXPECT_TRUE(Listing().empty());
}

TEST_F(FileFixture, WriteOverFolderKeepsIt) {
  const std::wstring target = In(L"folder.xml");
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  EXPECT_THROW(WriteUtf8File(target.c_str(), L"x", 1), CFileException);
  EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(Listing(), std::vector<std::wstring>{L"folder.xml"});
}

// Path helpers

TEST(FileExtension, Table) {
  const struct {
    const wchar_t* path;
    int offset;  // -1: the terminating NUL
  } cases[] = {
      {L"C:\\dir.d\\file", -1}, {L"name.tar.gz", 8},    {L"name.", 4}, {L"noext", -1},
      {L".hidden", 0},          {L"C:\\a.b\\c.txt", 8}, {L"", -1},     {L"a\\.", 2},
  };
  for (const auto& c : cases) {
    const size_t expected = c.offset < 0 ? wcslen(c.path) : size_t(c.offset);
    EXPECT_EQ(size_t(GetFileExtension(c.path) - c.path), expected)
        << std::string(c.path, c.path + wcslen(c.path));
  }
}

TEST_F(FileFixture, FullFilePathResolvesRelativeNames) {
  wchar_t out[MAX_PATH];
  CFileException error;
  ASSERT_TRUE(GetFullFilePath(out, L"sub\\..\\name.txt", &error));
  EXPECT_EQ(std::wstring(out), In(L"name.txt"));
  const std::wstring tooLong = In(std::wstring(MAX_PATH, L'n'));
  EXPECT_FALSE(GetFullFilePath(out, tooLong.c_str(), &error));
  EXPECT_EQ(error.Cause(), CAUSE_BAD_PATH);
  EXPECT_EQ(error.FileName(), tooLong);
}

TEST(FileFolders, AppDataFolderExists) {
  std::wstring folder;
  GetAppDataFolder(folder);
  ASSERT_FALSE(folder.empty());
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// FindRegJumpAppPath, on entries of the current user's App Paths.

const wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";

struct RegJumpCase {
  const char* name;
  const wchar_t* subkey;
  DWORD type;
  std::wstring value;
  int extraBytes;  // bytes past the characters: 2 a NUL, -1 the last character torn in half
  bool found;
  friend void PrintTo(const RegJumpCase& row, std::ostream* out) { *out << row.name; }
};

const RegJumpCase kRegJumpCases[] = {
    {"Plain", L"regjump.exe", REG_SZ, L"C:\\Tools\\regjump.exe", 2, true},
    {"NameIgnoresCase", L"RegJump.EXE", REG_SZ, L"C:\\Tools\\regjump.exe", 2, true},
    {"Expandable", L"regjump.exe", REG_EXPAND_SZ, L"%ProgramFiles%\\regjump.exe", 2, true},
    {"EmptyValue", L"regjump.exe", REG_SZ, L"", 0, true},
    // (An even count without the NUL cannot be stored everywhere: Wine adds the NUL itself.)
    {"TornLastCharacter", L"regjump.exe", REG_SZ, L"C:\\Tools\\regjump.exe", -1, false},
    {"NumberValue", L"regjump.exe", REG_DWORD, L"", 0, false},
    {"OtherTool", L"regjumper.exe", REG_SZ, L"C:\\Tools\\regjumper.exe", 2, false},
};

class RegJumpTest : public testing::TestWithParam<RegJumpCase> {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kAppPaths) + L"\\regjump.exe").c_str(), 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      GTEST_SKIP() << "regjump.exe is installed for the machine; the user's entries cannot be seen past it";
    }
  }
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, m_subkey.c_str()); }
  // Every row writes the same App Paths entry, and CTest runs the rows as processes side by side.
  RegistryTestLock m_lock;
  std::wstring m_subkey;
};

TEST_P(RegJumpTest, FindsOnlyUsableEntries) {
  const RegJumpCase& c = GetParam();
  m_subkey = std::wstring(kAppPaths) + L"\\" + c.subkey;
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, m_subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  if (c.type == REG_DWORD) {
    const DWORD number = 7;
    RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
  } else {
    const DWORD bytes = DWORD(int(c.value.size() * sizeof(wchar_t)) + c.extraBytes);
    RegSetValueExW(key, nullptr, 0, c.type, reinterpret_cast<const BYTE*>(c.value.c_str()), bytes);
  }
  RegCloseKey(key);

  std::wstring out = L"untouched";
  const bool found = FindRegJumpAppPath(out);
  EXPECT_EQ(found, c.found);
  if (c.found) {
    EXPECT_EQ(out, c.value);
  } else {
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, RegJumpTest, testing::ValuesIn(kRegJumpCases),
                         [](const testing::TestParamInfo<RegJumpCase>& info) { return info.param.name; });

}  // namespace
