// Excel and Calc tables through the fake office: the exact automation conversation of each import and
// export, every step made to fail in turn, the office not starting, and tables that leave and come back.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "AppSettings.h"
#include "Exceptions.h"
#include "FormatsPage.h"
#include "FormatsTable.h"
#include "KeyFiltersTable.h"
#include "Strings.h"
#include "OfficeAuto.h"
#include "OfficeTables.h"
#include "doubles/FakeOffice.h"

namespace {

std::wstring ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"<absent>";
  DWORD size = GetFileSize(file, nullptr), read = 0;
  std::wstring bytes(size / sizeof(wchar_t) + 1, L'\0');
  ReadFile(file, &bytes[0], size, &read, nullptr);
  CloseHandle(file);
  return bytes;
}

class OfficeAutoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetExceptionStringIds(IDS_CONFIG_SYSTEM_ERROR, IDS_CONFIG_COM_ERROR);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    swprintf(name, 64, L"OfficeAuto%lu_%lu", GetCurrentProcessId(), ++s_counter);
    m_dir = std::wstring(base) + name;
    CreateDirectoryW(m_dir.c_str(), nullptr);
    office = std::make_unique<FakeOffice>();
  }
  void TearDown() override {
    office.reset();
    for (const std::wstring& file : Files()) DeleteFileW((m_dir + L"\\" + file).c_str());
    RemoveDirectoryW(m_dir.c_str());
    CoUninitialize();
  }
  std::wstring Path(const wchar_t* name) const { return m_dir + L"\\" + name; }
  std::vector<std::wstring> Files() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((m_dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }
  void NewOffice() {
    office.reset();
    office = std::make_unique<FakeOffice>();
  }

  std::unique_ptr<FakeOffice> office;
  std::wstring m_dir;
  static unsigned long s_counter;
};
unsigned long OfficeAutoTest::s_counter = 0;

// A table of three columns: header, then three rows (not square, so a swapped layout shows); column 2
// holds numbers put as integers.
void PutTable(CBTableExport& table, const wchar_t* path) {
  table.Create(3, 4, path);
  const wchar_t* texts[4][3] = {
      {L"Name", L"Id", L"Code"}, {L"Door", nullptr, L"0012"}, {L"", nullptr, L"5\" x"}, {L"Gate", nullptr, L""}};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 3; ++c) {
      if (texts[r][c]) EXPECT_TRUE(table.PutString(texts[r][c]));
      else EXPECT_TRUE(table.PutInteger(r * 100));
    }
    EXPECT_FALSE(table.PutString(L"past the last column"));
    EXPECT_TRUE(table.NextRow());
  }
  table.Finish();
}

std::vector<std::vector<std::wstring>> ReadTable(CBTableImport& table) {
  std::vector<std::vector<std::wstring>> rows;
  if (table.rowCount == 0) return rows;
  do {
    std::vector<std::wstring> cells;
    do {
      std::wstring text;
      EXPECT_TRUE(table.GetString(text));
      cells.push_back(text);
    } while (table.MoveColumn(1));
    rows.push_back(cells);
  } while (table.NextRow());
  return rows;
}

using Rows = std::vector<std::vector<std::wstring>>;

std::wstring Joined(const std::vector<std::wstring>& lines) {
  std::wstring text;
  for (const std::wstring& line : lines) text += line + L"\n";
  return text;
}

#define EXPECT_JOURNAL(office, ...) \
  EXPECT_EQ(Joined(std::vector<std::wstring>{__VA_ARGS__}), Joined(NormalisedJournal(office)))

// ---- The conversations ----

TEST_F(OfficeAutoTest, ExcelExportToXlsxFormatsTextColumnsThenSavesOverTheTarget) {
  std::wstring target = Path(L"t.xlsx");
  {
    CExcelTableExport table;
    table.numberFormats = {L"@", L"", L"@"};
    PutTable(table, target.c_str());
    table.Close(false);
  }
  EXPECT_JOURNAL(*office, L"create excel", L"get excel.Application()", L"get excel.Workbooks()",
                 L"put excel.Visible=false", L"put excel.DisplayAlerts=false", L"workbooks.Add()",
                 L"get workbook.ActiveSheet()", L"put application.EnableEvents=false",
                 // "@" on the data rows of columns 1 and 3, before the values arrive
                 L"get sheet.Cells()", L"get cells.Item(2,1)", L"get cells.Item(4,1)",
                 L"get sheet.Range(range,range)", L"put range.NumberFormat=\"@\"",
                 L"get sheet.Cells()", L"get cells.Item(2,3)", L"get cells.Item(4,3)",
                 L"get sheet.Range(range,range)", L"put range.NumberFormat=\"@\"",
                 L"get sheet.Cells()", L"get cells.Item(1,1)", L"get cells.Item(4,3)",
                 L"get sheet.Range(range,range)", L"put range.Value=array[1..4,1..3]",
                 L"get sheet.Columns()", L"get columns.Item(1)", L"column.AutoFit()", L"get columns.Item(2)",
                 L"column.AutoFit()", L"get columns.Item(3)", L"column.AutoFit()",
                 L"put application.EnableEvents=true", L"put excel.DisplayAlerts=false",
                 L"workbook.SaveAs(\"<temp>\")", L"put excel.DisplayAlerts=false", L"excel.Quit()");
  ASSERT_EQ(1u, office->savedPaths.size());
  EXPECT_NE(target, office->savedPaths[0]);
  EXPECT_EQ(L".xlsx", office->savedPaths[0].substr(office->savedPaths[0].size() - 5));
  EXPECT_EQ(std::vector<std::wstring>{L"t.xlsx"}, Files());
  EXPECT_EQ(0, office->OutstandingReferences());
  EXPECT_TRUE(office->enableEvents);
}

TEST_F(OfficeAutoTest, ExcelExportToXlsPassesFileFormat56AndRefusesMoreRowsThanXlsHolds) {
  std::wstring target = Path(L"t.xls");
  {
    CExcelTableExport table;
    table.fileFormat = 56;
    PutTable(table, target.c_str());
    table.Close(false);
  }
  auto journal = NormalisedJournal(*office);
  EXPECT_NE(journal.end(), std::find(journal.begin(), journal.end(), L"workbook.SaveAs(\"<temp>\",56)"));
  FakeSheet saved;
  EXPECT_TRUE(FakeOffice::ReadWorkbook(target, saved));

  NewOffice();
  CExcelTableExport big;
  big.fileFormat = 56;
  EXPECT_THROW(big.Create(3, 65537, Path(L"big.xls").c_str()), CException);
  EXPECT_TRUE(office->journal.empty()) << "Excel was started for a table it would cut";
  EXPECT_EQ(std::vector<std::wstring>{L"t.xls"}, Files());
}

TEST_F(OfficeAutoTest, ExcelExportToAWindowLeavesTheVisibleWorkbookToTheUser) {
  {
    CExcelTableExport table;
    PutTable(table, nullptr);
    table.Close(false);
  }
  EXPECT_JOURNAL(*office, L"create excel", L"get excel.Application()", L"get excel.Workbooks()",
                 L"put excel.Visible=true", L"workbooks.Add()", L"get workbook.ActiveSheet()",
                 L"put application.EnableEvents=false",
                 // columns 1 and 3 were put as text in the data rows: "@" without being asked
                 L"get sheet.Cells()", L"get cells.Item(2,1)", L"get cells.Item(4,1)",
                 L"get sheet.Range(range,range)", L"put range.NumberFormat=\"@\"",
                 L"get sheet.Cells()", L"get cells.Item(2,3)", L"get cells.Item(4,3)",
                 L"get sheet.Range(range,range)", L"put range.NumberFormat=\"@\"",
                 L"get sheet.Cells()", L"get cells.Item(1,1)",
                 L"get cells.Item(4,3)", L"get sheet.Range(range,range)", L"put range.Value=array[1..4,1..3]",
                 L"get sheet.Columns()", L"get columns.Item(1)", L"column.AutoFit()", L"get columns.Item(2)",
                 L"column.AutoFit()", L"get columns.Item(3)", L"column.AutoFit()",
                 L"put application.EnableEvents=true");
  EXPECT_EQ(0, office->quits);
  EXPECT_TRUE(office->visible);
  EXPECT_EQ(0, office->OutstandingReferences());
}

TEST_F(OfficeAutoTest, ExcelImportReadsTheUsedRangeAndQuits) {
  std::wstring source = Path(L"in.xlsx");
  FakeSheet sheet;
  // The used range starts at C3: it is read from there on.
  sheet[{3, 3}] = {VT_BSTR, 0, L"Name"};
  sheet[{3, 4}] = {VT_BSTR, 0, L"Id"};
  sheet[{4, 3}] = {VT_BSTR, 0, L"Door\rA"};
  sheet[{4, 4}] = {VT_R8, 2023, L""};
  sheet[{5, 4}] = {VT_R8, 2.5, L""};
  FakeOffice::WriteWorkbook(source, sheet);
  Rows rows;
  {
    CExcelTableImport table;
    table.Open(source.c_str());
    EXPECT_EQ(3, table.rowCount);
    EXPECT_EQ(2, table.columnCount);
    rows = ReadTable(table);
  }
  // Blank cells read as empty text, numbers without trailing decimals, a lone CR kept.
  EXPECT_EQ((Rows{{L"Name", L"Id"}, {L"Door\rA", L"2023"}, {L"", L"2.5"}}), rows);
  EXPECT_JOURNAL(*office, L"create excel", L"get excel.Application()", L"get excel.Workbooks()",
                 L"put excel.Visible=false", L"put excel.DisplayAlerts=false",
                 L"workbooks.Open(\"" + source + L"\")", L"get workbook.ActiveSheet()", L"get sheet.UsedRange()",
                 L"get range.Value()", L"put excel.DisplayAlerts=false", L"excel.Quit()");
  EXPECT_EQ(0, office->OutstandingReferences());

  // A used range of one cell is a single value, not a table.
  FakeOffice::WriteWorkbook(source, FakeSheet{{{1, 1}, {VT_BSTR, 0, L"Name"}}});
  CExcelTableImport single;
  single.Open(source.c_str());
  EXPECT_EQ(0, single.rowCount);
  std::wstring text;
  EXPECT_FALSE(single.GetString(text));
}

TEST_F(OfficeAutoTest, CalcExportToOdsLocksTheDocumentAndTerminatesTheOfficeItStarted) {
  std::wstring target = Path(L"t.ods");
  {
    COOCalcTableExport table;
    PutTable(table, target.c_str());
    table.Close(false);
  }
  EXPECT_JOURNAL(*office, L"create serviceManager", L"serviceManager.CreateInstance(\"com.sun.star.frame.Desktop\")",
                 L"desktop.getComponents()", L"components.hasElements()",
                 L"serviceManager.Bridge_GetStruct(\"com.sun.star.beans.PropertyValue\")",
                 L"put property.name=\"Hidden\"", L"put property.value=true",
                 L"desktop.LoadComponentFromURL(\"private:factory/scalc\",\"_blank\",0,array[0..0]{property})",
                 L"document.GetSheets()", L"sheets.getByIndex(0)", L"document.lockControllers()",
                 L"document.addActionLock()", L"sheet.getCellRangeByPosition(0,0,2,3)",
                 L"range.setDataArray(array[1..3,1..4])", L"get sheet.Columns()", L"columns.getByIndex(0)",
                 L"put column.optimalWidth=true", L"columns.getByIndex(1)", L"put column.optimalWidth=true",
                 L"columns.getByIndex(2)", L"put column.optimalWidth=true", L"document.unLockControllers()",
                 L"document.removeActionLock()", L"document.storeAsURL(\"<temp-url>\",array[0..-1])",
                 L"document.close(true)", L"desktop.getComponents()", L"components.hasElements()",
                 L"desktop.terminate()");
  EXPECT_EQ(std::vector<std::wstring>{L"t.ods"}, Files());
  EXPECT_EQ(0, office->controllerLocks);
  EXPECT_EQ(0, office->actionLocks);
  EXPECT_EQ(0, office->OutstandingReferences());
}

TEST_F(OfficeAutoTest, CalcExportToAWindowKeepsTheDocumentAndTheOfficeRunning) {
  {
    COOCalcTableExport table;
    PutTable(table, nullptr);
    table.Close(false);
  }
  EXPECT_JOURNAL(*office, L"create serviceManager", L"serviceManager.CreateInstance(\"com.sun.star.frame.Desktop\")",
                 L"desktop.getComponents()", L"components.hasElements()",
                 L"desktop.LoadComponentFromURL(\"private:factory/scalc\",\"_blank\",0,array[0..-1])",
                 L"document.GetSheets()", L"sheets.getByIndex(0)", L"document.lockControllers()",
                 L"document.addActionLock()", L"sheet.getCellRangeByPosition(0,0,2,3)",
                 L"range.setDataArray(array[1..3,1..4])", L"get sheet.Columns()", L"columns.getByIndex(0)",
                 L"put column.optimalWidth=true", L"columns.getByIndex(1)", L"put column.optimalWidth=true",
                 L"columns.getByIndex(2)", L"put column.optimalWidth=true", L"document.unLockControllers()",
                 L"document.removeActionLock()");
  EXPECT_EQ(1u, office->components.size());
  EXPECT_EQ(0, office->terminates);
  EXPECT_EQ(0, office->OutstandingReferences());
}

TEST_F(OfficeAutoTest, CalcImportReadsRowArraysAndLeavesTheUsersOfficeAlone) {
  std::wstring source = Path(L"in.ods");
  FakeSheet sheet;
  sheet[{3, 3}] = {VT_BSTR, 0, L"Name"};
  sheet[{3, 4}] = {VT_BSTR, 0, L"Id"};
  sheet[{4, 3}] = {VT_BSTR, 0, L"Door\rA"};
  sheet[{4, 4}] = {VT_R8, 7, L""};
  FakeOffice::WriteWorkbook(source, sheet);
  office->OpenUserDocument(L"file://localhost/C:/user/other.ods");
  Rows rows;
  {
    COOCalcTableImport table;
    table.Open(source.c_str());
    EXPECT_EQ(2, table.rowCount);
    EXPECT_EQ(2, table.columnCount);
    rows = ReadTable(table);
  }
  EXPECT_EQ((Rows{{L"Name", L"Id"}, {L"Door\r\nA", L"7"}}), rows);
  std::wstring url = COOCalcAuto::PathToFileUrl(source.c_str());
  EXPECT_JOURNAL(*office, L"create serviceManager", L"serviceManager.CreateInstance(\"com.sun.star.frame.Desktop\")",
                 L"desktop.getComponents()", L"components.hasElements()", L"desktop.getComponents()",
                 L"components.createEnumeration()", L"enumeration.hasMoreElements()", L"enumeration.nextElement()",
                 L"document.getURL()", L"enumeration.hasMoreElements()",
                 L"serviceManager.Bridge_GetStruct(\"com.sun.star.beans.PropertyValue\")",
                 L"put property.name=\"Hidden\"", L"put property.value=true",
                 L"desktop.LoadComponentFromURL(\"" + url + L"\",\"_blank\",0,array[0..0]{property})",
                 L"document.GetSheets()", L"sheets.getByIndex(0)", L"sheet.createCursor()",
                 L"cursor.gotoStartOfUsedArea(false)", L"cursor.gotoEndOfUsedArea(true)",
                 L"cursor.getRangeAddress()", L"get address.StartColumn()", L"get address.StartRow()",
                 L"get address.EndColumn()", L"get address.EndRow()", L"sheet.getCellRangeByPosition(2,2,3,3)",
                 L"range.getDataArray()", L"document.close(true)");
  EXPECT_TRUE(office->IsUserDocumentOpen());
  EXPECT_EQ(0, office->terminates);
  EXPECT_EQ(0, office->OutstandingReferences());
}

TEST_F(OfficeAutoTest, CalcImportOfAFileTheUserHasOpenReadsItAndLeavesItOpen) {
  std::wstring source = Path(L"user.ods");
  FakeOffice::WriteWorkbook(source, FakeSheet{{{1, 1}, {VT_BSTR, 0, L"on disk"}}});
  // The user's copy is served through the document already on the desktop.
  office->OpenUserDocument(COOCalcAuto::PathToFileUrl(source.c_str()));
  {
    COOCalcTableImport table;
    table.Open(source.c_str());
    EXPECT_EQ(1, table.rowCount);
  }
  auto journal = NormalisedJournal(*office);
  EXPECT_EQ(journal.end(), std::find_if(journal.begin(), journal.end(), [](const std::wstring& entry) {
              return entry.find(L"LoadComponentFromURL") != std::wstring::npos ||
                     entry.find(L"close") != std::wstring::npos || entry.find(L"terminate") != std::wstring::npos;
            })) << Joined(journal);
  EXPECT_TRUE(office->IsUserDocumentOpen());
  EXPECT_EQ(0, office->OutstandingReferences());
}

// ---- Every step failing ----

struct Scenario {
  const char* name;
  const wchar_t* file;                                             // the target or source in the folder
  std::function<void(const std::wstring&)> run;                    // throws on failure
};

std::vector<Scenario> Scenarios() {
  return {
      {"excel export", L"t.xlsx",
       [](const std::wstring& path) {
         CExcelTableExport table;
         table.numberFormats = {L"@"};
         PutTable(table, path.c_str());
         table.Close(false);
       }},
      {"excel export xls", L"t.xls",
       [](const std::wstring& path) {
         CExcelTableExport table;
         table.fileFormat = 56;
         PutTable(table, path.c_str());
         table.Close(false);
       }},
      {"excel window", nullptr,
       [](const std::wstring&) {
         CExcelTableExport table;
         PutTable(table, nullptr);
         table.Close(false);
       }},
      {"excel import", L"in.xlsx",
       [](const std::wstring& path) {
         CExcelTableImport table;
         table.Open(path.c_str());
         ReadTable(table);
       }},
      {"calc export", L"t.ods",
       [](const std::wstring& path) {
         COOCalcTableExport table;
         PutTable(table, path.c_str());
         table.Close(false);
       }},
      {"calc window", nullptr,
       [](const std::wstring&) {
         COOCalcTableExport table;
         PutTable(table, nullptr);
         table.Close(false);
       }},
      {"calc import", L"in.ods",
       [](const std::wstring& path) {
         COOCalcTableImport table;
         table.Open(path.c_str());
         ReadTable(table);
       }},
  };
}

TEST_F(OfficeAutoTest, AFailureAtAnyStepIsThrownAndLeavesFilesOfficeAndReferencesAsTheyWere) {
  FakeSheet old{{{1, 1}, {VT_BSTR, 0, L"old"}}, {{1, 2}, {VT_BSTR, 0, L"x"}}, {{2, 1}, {VT_R8, 1, L""}}};
  for (const Scenario& scenario : Scenarios()) {
    for (const std::wstring& file : Files()) DeleteFileW(Path(file.c_str()).c_str());
    std::wstring path = scenario.file ? Path(scenario.file) : L"";
    bool window = !scenario.file;
    bool calc = std::string(scenario.name).find("calc") == 0;
    // A clean run first: its journal length is the number of steps to break.
    if (scenario.file) FakeOffice::WriteWorkbook(path, old);
    NewOffice();
    office->OpenUserDocument(L"file://localhost/C:/user/other.ods");
    ASSERT_NO_THROW(scenario.run(path)) << scenario.name;
    int steps = int(office->journal.size());
    for (int step = 2; step <= steps; ++step) {
      SCOPED_TRACE(std::string(scenario.name) + " failing at step " + std::to_string(step));
      if (scenario.file) FakeOffice::WriteWorkbook(path, old);
      std::wstring before = scenario.file ? ReadBytes(path) : L"";
      NewOffice();
      office->OpenUserDocument(L"file://localhost/C:/user/other.ods");
      office->failAt = step;
      bool thrown = false;
      try {
        scenario.run(path);
      } catch (const CException&) {
        thrown = true;
      }
      std::wstring failed = office->journal.size() >= size_t(step) ? office->journal[size_t(step) - 1] : L"";
      // Excel fits what columns it can: a column it cannot fit is no failure.
      bool ignorable = failed.find(L"AutoFit") != std::wstring::npos;
      EXPECT_TRUE(thrown || ignorable) << Joined(office->journal);
      if (!thrown) continue;
      if (scenario.file) {
        EXPECT_EQ(before, ReadBytes(path));
        EXPECT_EQ(std::vector<std::wstring>{scenario.file}, Files());
      }
      EXPECT_LE(office->quits, 1);
      EXPECT_TRUE(office->enableEvents);
      EXPECT_EQ(0, office->controllerLocks);
      EXPECT_EQ(0, office->actionLocks);
      EXPECT_EQ(0, office->terminates);
      EXPECT_TRUE(office->IsUserDocumentOpen());
      // A refused close or Quit is not repeated: the office said no once.
      if (calc && failed.find(L"document.close") == std::wstring::npos) {
        EXPECT_EQ(1u, office->components.size()) << "a document of ours was left open";
      }
      if (!calc && !window && failed.find(L"excel.Quit") == std::wstring::npos) {
        EXPECT_EQ(1, office->quits) << "the hidden Excel was left running";
      }
      EXPECT_EQ(0, office->OutstandingReferences());
      for (const std::wstring& entry : office->journal) EXPECT_EQ(std::wstring::npos, entry.find(L"!bad")) << entry;
    }
  }
}

TEST_F(OfficeAutoTest, AnOfficeThatDoesNotStartIsAnErrorAndNothingIsCalled) {
  FakeOffice::WriteWorkbook(Path(L"in.xlsx"), FakeSheet{{{1, 1}, {VT_BSTR, 0, L"a"}}, {{2, 1}, {VT_BSTR, 0, L"b"}}});
  FakeOffice::WriteWorkbook(Path(L"in.ods"), FakeSheet{{{1, 1}, {VT_BSTR, 0, L"a"}}});
  std::wstring before = ReadBytes(Path(L"in.xlsx"));
  for (const Scenario& scenario : Scenarios()) {
    SCOPED_TRACE(scenario.name);
    NewOffice();
    office->failCreate = true;
    std::wstring path = scenario.file ? Path(scenario.file) : L"";
    std::string message;
    try {
      scenario.run(path);
    } catch (const CException& e) {
      message = e.what();
    }
    bool calc = std::string(scenario.name).find("calc") == 0;
    EXPECT_EQ(0u, message.find(calc ? "LibreOffice Calc could not be started." : "Microsoft Excel could not be started."))
        << message;
    EXPECT_NE(std::string::npos, message.find("0x80080005")) << "the cause is not named: " << message;
    EXPECT_EQ(1u, office->journal.size()) << Joined(office->journal);
    EXPECT_EQ(0, office->OutstandingReferences());
    // A failed export leaves no file; a failed import leaves its source.
    std::vector<std::wstring> files = Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::wstring>{L"in.ods", L"in.xlsx"}), files);
  }
  EXPECT_EQ(before, ReadBytes(Path(L"in.xlsx")));
  // Excel answering but unusable is quit, not left hidden.
  NewOffice();
  office->failAt = 3;  // get excel.Workbooks
  CExcelTableImport table;
  EXPECT_THROW(table.Open(Path(L"in.xlsx").c_str()), CException);
  EXPECT_EQ(1, office->quits);
  EXPECT_EQ(0, office->OutstandingReferences());
}

// ---- Round trips ----

TEST_F(OfficeAutoTest, TablesComeBackThroughExcelAndCalcAsTheyWereWritten) {
  Rows table = {{L"Name", L"Id", L"Code"}, {L"Door", L"100", L"0012"}, {L"", L"200", L"5\" x"}, {L"Gate", L"300", L""}};
  {
    CExcelTableExport out;
    out.numberFormats = {L"@", L"", L"@"};
    PutTable(out, Path(L"t.xlsx").c_str());
    out.Close(false);
    CExcelTableImport in;
    in.Open(Path(L"t.xlsx").c_str());
    EXPECT_EQ(table, ReadTable(in));
  }
  {
    COOCalcTableExport out;
    PutTable(out, Path(L"t.ods").c_str());
    out.Close(false);
    COOCalcTableImport in;
    in.Open(Path(L"t.ods").c_str());
    EXPECT_EQ(table, ReadTable(in));
    // Reading stopped on the last cell; one column back is the last row's number.
    EXPECT_TRUE(in.MoveColumn(-1));
    int64_t id = 0;
    EXPECT_TRUE(in.GetInt64(id));
    EXPECT_EQ(300, id);
  }
  // Told to format nothing, Excel takes "0012" for a number: the text format is what keeps the name.
  CExcelTableExport out;
  out.numberFormats = {L""};
  PutTable(out, Path(L"plain.xlsx").c_str());
  out.Close(false);
  CExcelTableImport in;
  in.Open(Path(L"plain.xlsx").c_str());
  EXPECT_EQ(L"12", ReadTable(in)[1][2]);
}

TEST_F(OfficeAutoTest, DiscardedExportsLeaveTheTargetAsItWas) {
  FakeOffice::WriteWorkbook(Path(L"t.xlsx"), FakeSheet{{{1, 1}, {VT_BSTR, 0, L"old"}}});
  FakeOffice::WriteWorkbook(Path(L"t.ods"), FakeSheet{{{1, 1}, {VT_BSTR, 0, L"old"}}});
  std::wstring xlsx = ReadBytes(Path(L"t.xlsx")), ods = ReadBytes(Path(L"t.ods"));
  {
    CExcelTableExport excel;
    PutTable(excel, Path(L"t.xlsx").c_str());
    excel.Close(true);
    COOCalcTableExport calc;
    PutTable(calc, Path(L"t.ods").c_str());
    // destroyed unclosed
  }
  EXPECT_EQ(xlsx, ReadBytes(Path(L"t.xlsx")));
  EXPECT_EQ(ods, ReadBytes(Path(L"t.ods")));
  std::vector<std::wstring> files = Files();
  std::sort(files.begin(), files.end());
  EXPECT_EQ((std::vector<std::wstring>{L"t.ods", L"t.xlsx"}), files);
  EXPECT_EQ(1, office->quits);
  EXPECT_EQ(0, office->controllerLocks);
  EXPECT_EQ(0, office->actionLocks);
  EXPECT_TRUE(office->components.empty());
  EXPECT_EQ(0, office->OutstandingReferences());
}

// Formats and key filters leave through the office and come back the same, in either language and from
// English to Russian: what the office turns into numbers (ids, "0012", "2023") and blank cells included.
TEST_F(OfficeAutoTest, FormatsAndKeyFiltersComeBackThroughTheOfficeUnchanged) {
  const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), russian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
  const std::vector<std::wstring> texts = {L"0012", L"2023", L"1e3", L"two\r\nlines", L"say \"hi\"; ok",
                                           L"\x041A\x0438\x0440\x0438\x043B\x043B\x0438\x0446\x0430", L""};
  const std::vector<int> kinds = {FMTCOL_NAME, FMTCOL_NUMBER, FMTCOL_CHOICE, FMTCOL_ID, FMTCOL_TEMPLATE,
                                  FMTCOL_PARAMS, FMTCOL_COMMENT, FMTCOL_SAVE, FMTCOL_VISIBLE};
  struct Case {
    bool calc;
    LANGID exportLanguage, importLanguage;
  } cases[] = {{false, english, english}, {false, russian, russian}, {false, english, russian},
               {true, english, english}, {true, russian, russian}, {true, english, russian}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.calc ? "calc " : "excel ") + std::to_string(c.exportLanguage) + "->" +
                 std::to_string(c.importLanguage));
    const std::wstring path = Path(c.calc ? L"formats.ods" : L"formats.xlsx");
    CAppSettings settings;
    for (size_t i = 0; i < texts.size(); ++i) {
      _FORMAT_INFO_EX f;
      f.Id = UINT(10 + i);
      f.Name = texts[i].empty() ? L"blank" : texts[i];
      f.Template = texts[(i + 1) % texts.size()];
      f.Params = texts[(i + 2) % texts.size()];
      f.Comment = texts[(i + 3) % texts.size()];
      f.Flags = i % 2 ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u;
      f.KeyFilters = i % 3 ? 1u : 0u;
      settings.formats.push_back(f);
    }
    settings.formatsNewId = 20;
    settings.ClearFormatIndex();
    settings.DefaultFormatId = 12;
    const std::vector<_FORMAT_INFO_EX> before = settings.formats;
    std::vector<int> rows;
    for (size_t i = 0; i < before.size(); ++i) rows.push_back(int(i));
    SetUILanguage(c.exportLanguage);
    {
      std::unique_ptr<CBTableExport> writer;
      if (c.calc) writer.reset(new COOCalcTableExport);
      else writer.reset(new CExcelTableExport);
      WriteFormatsTable(settings, 0, 12, rows, kinds, [](int) { return std::wstring(L"sample"); }, *writer,
                        path.c_str());
    }
    SetUILanguage(c.importLanguage);
    std::unique_ptr<CBTableImport> reader;
    if (c.calc) reader.reset(new COOCalcTableImport);
    else reader.reset(new CExcelTableImport);
    ASSERT_EQ(TABLE_IMPORTED, ImportFormats(settings, 0, *reader, path.c_str(), true, nullptr));
    ASSERT_EQ(before.size(), settings.formats.size());
    for (size_t i = 0; i < before.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(before[i].Id, settings.formats[i].Id);
      EXPECT_EQ(before[i].Name, settings.formats[i].Name);
      EXPECT_EQ(before[i].Template, settings.formats[i].Template);
      EXPECT_EQ(before[i].Params, settings.formats[i].Params);
      EXPECT_EQ(before[i].Comment, settings.formats[i].Comment);
      EXPECT_EQ(before[i].Flags & FORMAT_SAVE_IN_VOMBRA, settings.formats[i].Flags & FORMAT_SAVE_IN_VOMBRA);
      EXPECT_EQ(before[i].KeyFilters, settings.formats[i].KeyFilters);
    }
    EXPECT_EQ(12u, settings.DefaultFormatId);

    std::vector<_KEYFILTER_INFO> filters = {{1, L"0012", 0x3FFFFF, 65535, KEYFILTER_SHOW_TAB, 0},
                                            {2, L"\x0414\x0432\x0435\x0440\x044C; \"x\"", 0, 0, 0, 0},
                                            {3, L"2023", 0x5, 8, 0, 0}};
    const std::vector<_KEYFILTER_INFO> filtersBefore = filters;
    UINT cursor = 4, formatsFilterId = 2;
    const std::wstring filtersPath = Path(c.calc ? L"filters.ods" : L"filters.xls");
    SetUILanguage(c.exportLanguage);
    {
      std::unique_ptr<CBTableExport> writer;
      if (c.calc) {
        writer.reset(new COOCalcTableExport);
      } else {
        auto* excel = new CExcelTableExport;
        excel->fileFormat = 56;
        writer.reset(excel);
      }
      WriteKeyFiltersTable(filters, {KFCOL_NAME, KFCOL_NUMBER, KFCOL_VISIBLE, KFCOL_ID, KFCOL_KEY_TYPES, KFCOL_KEY_SIZE},
                           *writer, filtersPath.c_str());
    }
    SetUILanguage(c.importLanguage);
    if (c.calc) reader.reset(new COOCalcTableImport);
    else reader.reset(new CExcelTableImport);
    bool limit = false;
    ASSERT_EQ(TABLE_IMPORTED, ImportKeyFilters({&filters, &cursor, &formatsFilterId}, *reader, filtersPath.c_str(),
                                               true, nullptr, &limit));
    ASSERT_EQ(filtersBefore.size(), filters.size());
    for (size_t i = 0; i < filters.size(); ++i) {
      EXPECT_EQ(filtersBefore[i].Id, filters[i].Id);
      EXPECT_EQ(filtersBefore[i].Name, filters[i].Name);
      EXPECT_EQ(filtersBefore[i].KeyTypes, filters[i].KeyTypes);
      EXPECT_EQ(filtersBefore[i].KeySize, filters[i].KeySize);
      EXPECT_EQ(filtersBefore[i].Flags, filters[i].Flags);
    }
    EXPECT_EQ(0, office->OutstandingReferences());
  }
  SetUILanguage(english);
}

// ---- Pieces ----

TEST(OfficeUrl, PathsBecomeFileUrls) {
  struct {
    const wchar_t* path;
    const wchar_t* url;
  } cases[] = {
      {L"C:\\My Files\\t.ods", L"file://localhost/C:/My%20Files/t.ods"},
      {L"C:\\a#b%c\\x.ods", L"file://localhost/C:/a%23b%25c/x.ods"},
      {L"C:\\\x0424\x0430\x0439\x043B.ods", L"file://localhost/C:/%D0%A4%D0%B0%D0%B9%D0%BB.ods"},
      {L"\\\\server\\share\\a b.ods", L"file://server/share/a%20b.ods"},
      {L"C:\\x-y_z~1.ods", L"file://localhost/C:/x-y_z~1.ods"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.url, COOCalcAuto::PathToFileUrl(c.path)) << c.path;
}

TEST(OfficeCells, ConversionsByVariantType) {
  auto make = [](VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
  };
  VARIANT i4 = make(VT_I4), ui4 = make(VT_UI4), r8 = make(VT_R8), r4 = make(VT_R4), i8 = make(VT_I8),
          boolean = make(VT_BOOL), empty = make(VT_EMPTY);
  i4.lVal = -5;
  ui4.ulVal = 0xFFFFFFFFu;
  r8.dblVal = -2.75;
  r4.fltVal = 4.0f;
  i8.llVal = -9000000000LL;
  boolean.boolVal = VARIANT_TRUE;
  struct {
    VARIANT* cell;
    bool textOk;
    const wchar_t* text;
    CellNumber number;
    double value;
    int64_t integer;
  } cases[] = {
      {&i4, true, L"-5", CellNumber::Value, -5, -5},
      {&ui4, true, L"-1", CellNumber::Value, 4294967295.0, 4294967295LL},
      {&r8, true, L"-2.75", CellNumber::Value, -2.75, -2},
      {&r4, true, L"4", CellNumber::Value, 4, 4},
      {&i8, true, L"-9000000000", CellNumber::Value, -9e9, -9000000000LL},
      {&empty, true, L"", CellNumber::NotNumber, 0, 0},
      {&boolean, false, L"", CellNumber::NotNumber, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cell->vt);
    std::wstring text = L"stale";
    EXPECT_EQ(c.textOk, CellToString(*c.cell, text, false));
    EXPECT_EQ(c.text, text);
    double value = 0;
    int64_t integer = 0;
    EXPECT_EQ(c.number, CellToDouble(*c.cell, value));
    EXPECT_EQ(c.number, CellToInt64(*c.cell, integer));
    if (c.number == CellNumber::Value) {
      EXPECT_EQ(c.value, value);
      EXPECT_EQ(c.integer, integer);
    }
  }
  VARIANT text = make(VT_BSTR);
  text.bstrVal = SysAllocString(L"a\rb\r\nc\r");
  std::wstring out;
  EXPECT_TRUE(CellToString(text, out, true));
  EXPECT_EQ(L"a\r\nb\r\nc\r\n", out);
  EXPECT_TRUE(CellToString(text, out, false));
  EXPECT_EQ(L"a\rb\r\nc\r", out);
  double number;
  EXPECT_EQ(CellNumber::Text, CellToDouble(text, number));
  VariantClear(&text);
}

TEST(OfficeCom, InitialisationIsBalancedAndAWrongApartmentIsAnError) {
  std::thread([] {
    {
      CComInit first;
      CComInit second;  // S_FALSE, given back too
    }
    // Balanced: the thread is uninitialised again, so a fresh start answers S_OK.
    HRESULT hr = CoInitialize(nullptr);
    EXPECT_EQ(S_OK, hr);
    if (SUCCEEDED(hr)) CoUninitialize();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_THROW(CComInit wrongMode, CComException);
    CoUninitialize();
    hr = CoInitialize(nullptr);
    EXPECT_EQ(S_OK, hr) << "a failed initialisation was given back";
    if (SUCCEEDED(hr)) CoUninitialize();
  }).join();
}

}  // namespace
