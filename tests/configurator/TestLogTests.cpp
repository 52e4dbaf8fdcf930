// The test log's line format: a batch written with one append, each record read back by its line, the
// escaping of backslash, CR and LF in every text, and lines that do not parse.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Core.h"
#include "FileBytes.h"
#include "TestLog.h"

namespace {

class TestLogFixture : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"VombraTestLog-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    m_log.Open(m_path.c_str());
  }
  void TearDown() override {
    m_log.Close();
    DeleteFileW(m_path.c_str());
  }

  std::wstring m_path;
  CTestLog m_log;
};

_TEST_EVENT_INFO Record(int32_t time, int32_t kind, const wchar_t* source, const wchar_t* message,
                        const wchar_t* data) {
  _TEST_EVENT_INFO record;
  record.Time = time;
  record.Kind = kind;
  record.Source = source;
  record.Message = message;
  record.Data = data;
  return record;
}

constexpr int32_t kTime = ((13 * 60 + 5) * 60 + 9) * 1000 + 42;  // 13:05:09.042

TEST_F(TestLogFixture, ABatchIsOneWriteOfOneLinePerRecord) {
  const std::vector<_TEST_EVENT_INFO> batch = {
      Record(kTime, 1, L"COM3", L"TracksData", L"123,45678"),
      Record(0, 3, L"Vombra", L"Port busy", L"message=1004, error=-2147467259"),
      Record(86399999, 2, L"", L"", L""),
  };
  m_log.WriteEvents(batch.data(), batch.size());
  EXPECT_EQ(FileBytes(m_path),
            "13:05:09.042 [I COM3] TracksData | 123,45678\r\n"
            "00:00:00.000 [E Vombra] Port busy | message=1004, error=-2147467259\r\n"
            "23:59:59.999 [W ]  | \r\n");
  EXPECT_EQ(m_log.GetLineCount(), 3u);
}

TEST_F(TestLogFixture, RecordsRoundTrip) {
  struct Row {
    _TEST_EVENT_INFO Written;
    _TEST_EVENT_INFO Read;
  };
  const Row rows[] = {
      {Record(kTime, 1, L"COM3", L"TracksData", L"123,45678"), Record(kTime, 1, L"COM3", L"TracksData", L"123,45678")},
      // Line breaks and backslashes in all three texts stay on one line and come back.
      {Record(kTime, 3, L"Vom\\bra\r\n", L"Line one\r\nline two\\", L"a\nb\rc\\d\\n"),
       Record(kTime, 3, L"Vom\\bra\r\n", L"Line one\r\nline two\\", L"a\nb\rc\\d\\n")},
      // The split is at the last bar: one in the message survives.
      {Record(kTime, 1, L"COM1", L"A | B", L"x"), Record(kTime, 1, L"COM1", L"A | B", L"x")},
      // A bar in the data is not escaped: what stands before it reads as the end of the message.
      {Record(kTime, 1, L"COM1", L"M", L"p|q"), Record(kTime, 1, L"COM1", L"M | p", L"q")},
      // A bracket in the source ends the source there.
      {Record(kTime, 1, L"CO]M3", L"TracksData", L"1"), Record(kTime, 1, L"CO", L"M3] TracksData", L"1")},
      // Spaces around the message and the data are lost.
      {Record(kTime, 1, L"S", L"  padded  ", L"  d  "), Record(kTime, 1, L"S", L"padded", L"d")},
      {Record(kTime, 2, L"S", L"W", L"w"), Record(kTime, 2, L"S", L"W", L"w")},
      {Record(kTime, 0, L"S", L"Unknown", L""), Record(kTime, -1, L"S", L"Unknown", L"")},
      {Record(kTime, -1, L"S", L"Unparsed", L""), Record(kTime, -1, L"S", L"Unparsed", L"")},
      {Record(kTime, 7, L"S", L"Seven", L"7"), Record(kTime, -1, L"S", L"Seven", L"7")},
      {Record(kTime, 1, L"COM4", L"ДанныеКарты", L"Ключ №5"), Record(kTime, 1, L"COM4", L"ДанныеКарты", L"Ключ №5")},
  };
  size_t line = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << line);
    m_log.WriteEvents(&row.Written, 1);
    ASSERT_EQ(m_log.GetLineCount(), line + 1);
    _TEST_EVENT_INFO read = Record(1, 5, L"stale", L"stale", L"stale");
    ASSERT_EQ(m_log.ReadEvent(line, read), 1u);
    EXPECT_EQ(read.Time, row.Read.Time);
    EXPECT_EQ(read.Kind, row.Read.Kind);
    EXPECT_EQ(read.Source, row.Read.Source);
    EXPECT_EQ(read.Message, row.Read.Message);
    EXPECT_EQ(read.Data, row.Read.Data);
    ++line;
  }
  _TEST_EVENT_INFO untouched = Record(1, 5, L"s", L"m", L"d");
  EXPECT_EQ(m_log.ReadEvent(line, untouched), 0u);
  EXPECT_EQ(untouched.Kind, 5);
  EXPECT_EQ(untouched.Source, L"s");
}

TEST_F(TestLogFixture, LinesThatDoNotParse) {
  struct Row {
    const wchar_t* Line;
    int32_t Time;
    int32_t Kind;
    const wchar_t* Source;
    const wchar_t* Message;
    const wchar_t* Data;
  };
  const Row rows[] = {
      {L"short line", 0, -1, L"", L"", L""},
      {L"no bracket anywhere in this line", 0, -1, L"", L"", L""},
      {L"ab:cd:ef.ghi [I COM1] M | D", 0, -1, L"", L"", L""},
      {L"01:02:03.004 [i x] lower case letter", 3723004, 1, L"x", L"lower case letter", L""},
      {L"01:02:03.004 [Q src] odd letter | d", 3723004, -1, L"src", L"odd letter", L"d"},
      // The bracket must close at position 16 or later.
      {L"01:02:03.004 [E] no source here | d", 0, -1, L"", L"", L""},
  };
  for (const Row& row : rows) {
    m_log.AppendLine(row.Line);
  }
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(testing::Message() << "\"" << row.Line << "\"");
    _TEST_EVENT_INFO read = Record(1, 5, L"stale", L"stale", L"stale");
    ASSERT_EQ(m_log.ReadEvent(i, read), 1u);
    EXPECT_EQ(read.Time, row.Time);
    EXPECT_EQ(read.Kind, row.Kind);
    EXPECT_EQ(read.Source, row.Source);
    EXPECT_EQ(read.Message, row.Message);
    EXPECT_EQ(read.Data, row.Data);
  }
}

TEST(UnescapeLogText, Pairs) {
  struct Row {
    const wchar_t* Text;
    int64_t Length;
    const wchar_t* Result;
  };
  const Row rows[] = {
      {L"plain", -1, L"plain"},          {L"a\\\\b", -1, L"a\\b"},      {L"a\\nb\\rc", -1, L"a\nb\rc"},
      {L"a\\xb", -1, L"ab"},             {L"end\\", -1, L"end"},        {L"\\\\n", -1, L"\\n"},
      {L"cut\\nhere", 4, L"cut"},         {L"", -1, L""},
  };
  for (const Row& row : rows) {
    std::wstring out = L"stale";
    UnescapeLogText(out, row.Text, row.Length);
    EXPECT_EQ(out, row.Result) << row.Text;
  }
}

}  // namespace
