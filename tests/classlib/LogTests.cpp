// The line-indexed log: the bytes each append writes, the index it keeps, reading lines back between
// appends, and an append that fails (a refused or short write) leaving the index as the file is.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Core.h"
#include "File.h"
#include "FileBytes.h"
#include "Log.h"

namespace {

class LogFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"VombraLogTest-" + std::to_wstring(GetCurrentProcessId()) + L".log";
  }
  void TearDown() override {
    g_pfnWriteFile = WriteFile;
    m_log.Close();
    DeleteFileW(m_path.c_str());
  }

  std::wstring m_path;
  CLog m_log;
};

TEST_F(LogFixture, OpenStartsEmptyEvenOverAnOldFile) {
  HANDLE old = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(old, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(old, "old\r\nlines\r\n", 12, &written, nullptr);
  CloseHandle(old);

  m_log.Open(m_path.c_str());
  EXPECT_EQ(m_log.GetLineCount(), 0u);
  EXPECT_EQ(FileBytes(m_path), "");
  EXPECT_EQ(m_log.GetPath(), m_path);
}

TEST_F(LogFixture, AppendsWriteExactBytesAndIndexEveryLineFeed) {
  struct Row {
    const wchar_t* Text;
    const char* Bytes;              // what the append adds to the file
    std::vector<std::wstring> Lines;  // the lines it adds, read back
  };
  const Row rows[] = {
      {L"a", "a\r\n", {L"a\r\n"}},
      {L"b\r\n", "b\r\n", {L"b\r\n"}},
      {L"x\ny", "x\ny\r\n", {L"x\n", L"y\r\n"}},
      {L"", "\r\n", {L"\r\n"}},
      {L"Ключ №5", "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87 \xE2\x84\x96" "5\r\n", {L"Ключ №5\r\n"}},
      {L"tail\r", "tail\r\r\n", {L"tail\r\r\n"}},
  };
  m_log.Open(m_path.c_str());
  std::string expected;
  std::vector<std::wstring> lines;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "appending row " << lines.size());
    m_log.AppendLine(row.Text);
    expected += row.Bytes;
    lines.insert(lines.end(), row.Lines.begin(), row.Lines.end());
    EXPECT_EQ(FileBytes(m_path), expected);
    ASSERT_EQ(m_log.GetLineCount(), lines.size());
    // Reading moves the file pointer; the next append must still land at the end.
    for (size_t i = 0; i < lines.size(); ++i) {
      std::wstring text;
      EXPECT_EQ(m_log.ReadLine(i, text), 1u);
      EXPECT_EQ(text, lines[i]) << "line " << i;
    }
  }
  std::wstring untouched = L"keep";
  EXPECT_EQ(m_log.ReadLine(m_log.GetLineCount(), untouched), 0u);
  EXPECT_EQ(m_log.ReadLine(m_log.GetLineCount() + 5, untouched), 0u);
  EXPECT_EQ(untouched, L"keep");
}

// The write the log makes, replaced: refuse it, or write only some bytes and report that.
BOOL WINAPI RefusedWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  if (written) *written = 0;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI ShortWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  return WriteFile(file, buffer, count > 2 ? 2 : count, written, overlapped);
}

TEST_F(LogFixture, FailedAppendLeavesTheIndexAsBefore) {
  struct Row {
    const char* Name;
    PFN_WRITE_FILE Write;
    int Cause;
    int OsError;
    const char* BytesAfter;  // the file after the failure and one more good append of "d"
    const wchar_t* LineAfter;
  };
  const Row rows[] = {
      {"refused", RefusedWrite, CAUSE_ACCESS_DENIED, ERROR_ACCESS_DENIED, "first\r\nd\r\n", L"d\r\n"},
      // The partial bytes belong to no line until a later line feed ends them.
      {"short", ShortWrite, CAUSE_DISK_FULL, -1, "first\r\nx\nd\r\n", L"x\nd\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    m_log.Open(m_path.c_str());
    m_log.AppendLine(L"first");
    g_pfnWriteFile = row.Write;
    try {
      m_log.AppendLine(L"x\ny");
      ADD_FAILURE() << "the append did not throw";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.Cause(), row.Cause);
      EXPECT_EQ(e.OsError(), row.OsError);
      EXPECT_EQ(e.FileName(), m_path);
    }
    g_pfnWriteFile = WriteFile;
    EXPECT_EQ(m_log.GetLineCount(), 1u);
    m_log.AppendLine(L"d");
    EXPECT_EQ(FileBytes(m_path), row.BytesAfter);
    ASSERT_EQ(m_log.GetLineCount(), 2u);
    std::wstring text;
    m_log.ReadLine(1, text);
    EXPECT_EQ(text, row.LineAfter);
  }
}

TEST_F(LogFixture, OpenFailureNamesThePath) {
  const std::wstring bad = m_path + L"-missing-folder\\x.log";
  try {
    m_log.Open(bad.c_str());
    ADD_FAILURE() << "opened a file in a missing folder";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.FileName(), bad);
    EXPECT_EQ(e.Cause(), CAUSE_BAD_PATH);
  }
  EXPECT_FALSE(m_log.IsOpen());
}

TEST_F(LogFixture, OthersMayReadTheLogWhileItIsOpen) {
  m_log.Open(m_path.c_str());
  m_log.AppendLine(L"shared");
  HANDLE reader = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
}

}  // namespace
