// The CSV reader and writer: a file's bytes and the list separator against the rows read, the rows
// written against the file's bytes, and the target surviving every failed or abandoned write.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "CsvTable.h"
#include "SettingsTestSupport.h"

namespace {

typedef std::vector<std::vector<std::wstring>> Rows;

class CsvTest : public ConfiguratorTest {
 protected:
  ScratchFolder folder;

  void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }

  // Every row of the file through the interface: columns up to columnCount, then NextRow.
  Rows ReadAll(const std::string& bytes, const wchar_t* listSeparator) {
    const std::wstring path = folder / L"in.csv";
    WriteBytes(path, bytes);
    CCsvTableImport reader;
    reader.listSeparator = listSeparator;
    reader.Open(path.c_str());
    Rows rows;
    if (reader.rowCount == 0) return rows;
    do {
      std::vector<std::wstring> row;
      do {
        std::wstring cell;
        EXPECT_TRUE(reader.GetString(cell));
        row.push_back(cell);
      } while (reader.MoveColumn(1));
      rows.push_back(row);
    } while (reader.NextRow());
    return rows;
  }

  // The files of the scratch folder, to see that no temporary is left.
  std::vector<std::wstring> Files() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }
};

struct ReadCase {
  const char* what;
  std::string bytes;
  const wchar_t* listSeparator;
  Rows rows;
};

TEST_F(CsvTest, ReadsRowsAsSpreadsheetProgramsWriteThem) {
  const ReadCase cases[] = {
      {"UTF-8 mark", "\xEF\xBB\xBFName;Id\r\n\xD0\x96;1\r\n", L";", {{L"Name", L"Id"}, {L"\x0416", L"1"}}},
      {"UTF-16 LE mark", std::string("\xFF\xFEN\0;\0x\0\r\0\n\0\x16\x04;\0" "1\0\r\0\n\0", 22), L";",
       {{L"N", L"x"}, {L"\x0416", L"1"}}},
      {"UTF-8 without mark", "Name;Id\n\xD0\x96\xD0\xB5;7\n", L";", {{L"Name", L"Id"}, {L"\x0416\x0435", L"7"}}},
      {"CR LF, LF and CR alike", "a;b\r\nc;d\ne;f\rg;h\r\n", L";",
       {{L"a", L"b"}, {L"c", L"d"}, {L"e", L"f"}, {L"g", L"h"}}},
      {"blank line skipped", "a;b\n\nc;d\n", L";", {{L"a", L"b"}, {L"c", L"d"}}},
      {"leading LF", "\na;b\nc;d\n", L";", {{L"a", L"b"}, {L"c", L"d"}}},
      {"last line without end", "a;b\r\nc;d", L";", {{L"a", L"b"}, {L"c", L"d"}}},
      {"quoted separator and CR LF", "a;b\r\n\"x;y\";\"1\r\n2\"\r\nz;w\r\n", L";",
       {{L"a", L"b"}, {L"x;y", L"1\r\n2"}, {L"z", L"w"}}},
      {"doubled quotes", "a;b\r\n\"say \"\"hi\"\"\";\"\"\"\"\r\n", L";", {{L"a", L"b"}, {L"say \"hi\"", L"\""}}},
      {"quote inside a field is a character", "a;b\r\n5\" door;x\r\nnext;y\r\n", L";",
       {{L"a", L"b"}, {L"5\" door", L"x"}, {L"next", L"y"}}},
      {"quoted last field, lone CR", "a;\"b\"\r\"c\";d\r", L";", {{L"a", L"b"}, {L"c", L"d"}}},
      {"short record reads empty cells", "a;b;c\r\nx;\r\n", L";", {{L"a", L"b", L"c"}, {L"x", L"", L""}}},
      {"comma list separator", "a,b\r\n1,\"2,3\"\r\n", L",", {{L"a", L"b"}, {L"1", L"2,3"}}},
      {"pipe list separator", "a|b\r\n1|2\r\n", L"|", {{L"a", L"b"}, {L"1", L"2"}}},
      {"TAB list separator", "a\tb\r\n1\t2\r\n", L"\t", {{L"a", L"b"}, {L"1", L"2"}}},
      {"comma file under semicolon list separator", "a,b\r\n1,2\r\n", L";", {{L"a", L"b"}, {L"1", L"2"}}},
      // One separator per file: a semicolon in a later row is text, not a column break.
      {"separator from the first record only", "Name,Id\r\na; b,c\r\n", L",", {{L"Name", L"Id"}, {L"a; b", L"c"}}},
      {"quoted header gives its separator", "\"Na;me\",Id\r\nx,1\r\n", L";", {{L"Na;me", L"Id"}, {L"x", L"1"}}},
      {"one column falls back on the list separator", "Name\r\na|b\r\n", L"|", {{L"Name"}, {L"a"}}},
      {"empty file", "", L";", {}},
      {"only a mark", "\xEF\xBB\xBF", L";", {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadAll(c.bytes, c.listSeparator), c.rows);
  }
}

TEST_F(CsvTest, AnsiFileWithoutMarkReadsInTheAnsiCodePage) {
  // The suite runs with a Russian locale (tests/CMakeLists.txt), so the ANSI code page is 1251.
  ASSERT_EQ(GetACP(), 1251u);
  // C6 E5 EB is not valid UTF-8: the reader falls back on the ANSI code page.
  EXPECT_EQ(ReadAll("Name;Id\r\n\xC6\xE5\xEB;1\r\n", L";"),
            (Rows{{L"Name", L"Id"}, {L"\x0416\x0435\x043B", L"1"}}));
}

TEST_F(CsvTest, UnclosedQuoteIsAnErrorNamingFileAndLine) {
  struct {
    std::string bytes;
    int line;
  } cases[] = {
      {"a;b\r\nc;\"open\r\nmore\r\n", 2},
      {"a;b\n\nc;d\n\"x", 4},
      {"\"", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::wstring path = folder / L"bad.csv";
    WriteBytes(path, c.bytes);
    CCsvTableImport reader;
    reader.listSeparator = L";";
    try {
      reader.Open(path.c_str());
      ADD_FAILURE() << "an open quote was read";
    } catch (const CCsvFormatException& e) {
      EXPECT_EQ(e.Line(), c.line);
      std::string name;
      WideToMultiByte(path.c_str(), path.size(), name, CP_ACP);
      EXPECT_EQ(std::string(e.what()), name + ", line " + std::to_string(c.line) + ": a quoted field is not closed.");
    }
  }
}

TEST_F(CsvTest, MissingFileThrowsFileException) {
  CCsvTableImport reader;
  EXPECT_THROW(reader.Open((folder / L"none.csv").c_str()), CFileException);
}

TEST_F(CsvTest, ColumnMovesStayInsideTheHeader) {
  WriteBytes(folder / L"in.csv", "a;b\r\n1;2;3\r\n");
  CCsvTableImport reader;
  reader.listSeparator = L";";
  reader.Open((folder / L"in.csv").c_str());
  EXPECT_EQ(reader.columnCount, 2);
  EXPECT_FALSE(reader.MoveColumn(-1));
  EXPECT_TRUE(reader.MoveColumn(1));
  EXPECT_FALSE(reader.MoveColumn(1));
  EXPECT_EQ(reader.column, 1);
  ASSERT_TRUE(reader.NextRow());
  EXPECT_EQ(reader.column, 0);
  EXPECT_EQ(reader.row, 1);
  EXPECT_FALSE(reader.NextRow());
}

TEST_F(CsvTest, NumbersReadFromTheCellText) {
  WriteBytes(folder / L"n.csv", "12abc;0;abc;-7;;3.5e1;99999999999999999999\r\n");
  CCsvTableImport reader;
  reader.listSeparator = L";";
  reader.Open((folder / L"n.csv").c_str());
  struct {
    bool intOk;
    int64_t intValue;
    bool doubleOk;
    double doubleValue;
  } expected[] = {{true, 12, true, 12.0}, {true, 0, true, 0.0},  {false, 0, false, 0},
                  {true, -7, true, -7.0}, {false, 0, false, 0}, {true, 3, true, 35.0},
                  {true, INT64_MAX, true, 1e20}};
  for (const auto& e : expected) {
    SCOPED_TRACE(reader.column);
    int64_t i = 55;
    double d = 5.5;
    errno = ERANGE;  // left over from an earlier call: it must not reject a valid zero
    EXPECT_EQ(reader.GetInt64(i), e.intOk);
    EXPECT_EQ(i, e.intOk ? e.intValue : 55);
    errno = ERANGE;
    EXPECT_EQ(reader.GetDouble(d), e.doubleOk);
    EXPECT_DOUBLE_EQ(d, e.doubleOk ? e.doubleValue : 5.5);
    reader.MoveColumn(1);
  }
}

TEST_F(CsvTest, WritesExactBytes) {
  struct {
    const wchar_t* listSeparator;
    std::vector<std::wstring> fields;
    std::string line;
  } cases[] = {
      {L";", {L"", L"", L"x"}, ";;x\r\n"},
      {L";", {L"a;b", L"c"}, "\"a;b\";c\r\n"},
      {L";", {L"a\"b"}, "\"a\"\"b\"\r\n"},
      {L";", {L"1\r\n2", L" sp "}, "\"1\r\n2\"; sp \r\n"},
      {L";", {L"\x0416", L"a,b"}, "\xD0\x96;a,b\r\n"},
      {L",", {L"a,b", L"c;d"}, "\"a,b\",c;d\r\n"},
      {L"\t", {L"a\tb", L"c"}, "\"a\tb\"\tc\r\n"},
      {L"", {L"a", L"b"}, "a;b\r\n"},
      {L"\"", {L"a", L"b"}, "a;b\r\n"},
      {L" ", {L"a", L"b"}, "a;b\r\n"},
      {L";;", {L"a", L"b"}, "a;b\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.listSeparator)));
    const std::wstring path = folder / L"out.csv";
    {
      CCsvTableExport writer;
      writer.separator = c.listSeparator;
      writer.Create(int(c.fields.size()), 1, path.c_str());
      for (const std::wstring& field : c.fields) EXPECT_TRUE(writer.PutString(field.c_str()));
      EXPECT_FALSE(writer.PutString(L"extra"));
      EXPECT_TRUE(writer.NextRow());
      EXPECT_FALSE(writer.NextRow());
      writer.Finish();
      writer.Close(false);
    }
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF" + c.line);
  }
}

TEST_F(CsvTest, IntegersAndRowsKeepTheirTexts) {
  const std::wstring path = folder / L"out.csv";
  CCsvTableExport writer;
  writer.separator = L";";
  writer.Create(2, 3, path.c_str());
  writer.PutString(L"#");
  writer.PutString(L"Id");
  writer.NextRow();
  writer.PutInteger(-2147483647 - 1);
  writer.PutInteger(42);
  writer.NextRow();
  writer.Close(false);
  EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF#;Id\r\n-2147483648;42\r\n");
}

// A fault injected into the second WriteFile of the export (the first line after the mark).
int g_writeCalls;
BOOL WINAPI FailingSecondWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  if (++g_writeCalls != 2) return WriteFile(file, buffer, count, written, overlapped);
  *written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

TEST_F(CsvTest, TargetKeepsItsBytesUntilTheWriteCompletes) {
  const std::wstring path = folder / L"target.csv";
  const std::string old = "old bytes\r\n";
  enum Ending { kWriteFails, kDiscard, kDestroyed };
  for (Ending ending : {kWriteFails, kDiscard, kDestroyed}) {
    SCOPED_TRACE(ending);
    WriteBytes(path, old);
    {
      CCsvTableExport writer;
      writer.separator = L";";
      writer.Create(1, 2, path.c_str());
      EXPECT_EQ(Files().size(), 2u) << "the temporary lies beside the target";
      writer.PutString(L"new");
      if (ending == kWriteFails) {
        g_pfnWriteFile = FailingSecondWrite;
        g_writeCalls = 1;  // the mark was written before the seam
        EXPECT_THROW(writer.NextRow(), CFileException);
        g_pfnWriteFile = WriteFile;
      } else {
        writer.NextRow();
      }
      if (ending == kDiscard) writer.Close(true);
    }
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(Files(), std::vector<std::wstring>{L"target.csv"});
  }
}

TEST_F(CsvTest, CreateInAMissingFolderThrowsAndLeavesNothing) {
  CCsvTableExport writer;
  EXPECT_THROW(writer.Create(1, 1, (folder / L"no\\out.csv").c_str()), CFileException);
  EXPECT_TRUE(Files().empty());
}

TEST_F(CsvTest, WrittenTablesReadBackUnchanged) {
  const std::vector<std::wstring> texts = {
      L"plain", L"", L" spaced ", L"semi;colon", L"com,ma", L"tab\there", L"quote\"in", L"\"lead",
      L"line\r\nbreak", L"lf\nonly", L"\x041A\x0438\x0440\x0438\x043B\x043B\x0438\x0446\x0430", L"5\" door", L"|"};
  for (const wchar_t* sep : {L";", L",", L"\t"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(sep)));
    Rows rows = {{L"Name", L"Template", L"Comment"}};
    for (size_t i = 0; i < texts.size(); ++i) {
      rows.push_back({texts[i], texts[(i + 3) % texts.size()], texts[(i + 7) % texts.size()]});
    }
    rows.push_back({L"", L"", L"last"});
    const std::wstring path = folder / L"trip.csv";
    {
      CCsvTableExport writer;
      writer.separator = sep;
      writer.Create(3, int(rows.size()), path.c_str());
      for (const auto& row : rows) {
        for (const auto& cell : row) writer.PutString(cell.c_str());
        writer.NextRow();
      }
      writer.Close(false);
    }
    // Read with a different list separator: the file's own is detected.
    EXPECT_EQ(ReadAll(ReadBytes(path), L"|"), rows);
  }
}

}  // namespace
