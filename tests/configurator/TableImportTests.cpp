// Importing the formats table into the settings document: the header (either language), matching by
// name, ids, placing, the default, replace and its question, and nothing changed on a failure; then
// export and import through a CSV file in English, Russian and from English to Russian.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "CsvTable.h"
#include "FileDialog.h"
#include "FormatsPage.h"
#include "FormatsTable.h"
#include "KeyFiltersTable.h"
#include "SettingsTestSupport.h"
#include "TableCommands.h"

namespace {

typedef std::vector<std::vector<std::wstring>> Rows;

// A table held in memory; NextRow onto row `failAt` throws as a broken file or Office would.
class MemoryTable : public CBTableImport {
 public:
  explicit MemoryTable(Rows table, int failAt = -1) : rows(std::move(table)), failAt(failAt) {}
  void Open(const wchar_t*) override {
    columnCount = rows.empty() ? 0 : int(rows[0].size());
    rowCount = int(rows.size());
  }
  bool MoveColumn(int delta) override {
    if (column + delta < 0 || column + delta >= columnCount) return false;
    column += delta;
    return true;
  }
  bool NextRow() override {
    if (row + 1 == failAt) ThrowFileException(CAUSE_HARDWARE, -1, L"t.csv");
    if (row + 1 >= rowCount) return false;
    ++row;
    column = 0;
    return true;
  }
  bool GetString(std::wstring& out) override {
    out = size_t(column) < rows[size_t(row)].size() ? rows[size_t(row)][size_t(column)] : L"";
    return true;
  }
  Rows rows;
  int failAt;
};

_FORMAT_INFO_EX Format(UINT id, const wchar_t* name, const wchar_t* templ, UINT flags = 0, UINT filters = 0) {
  _FORMAT_INFO_EX f;
  f.Id = id;
  f.Name = name;
  f.Template = templ;
  f.Flags = flags;
  f.KeyFilters = filters;
  return f;
}

class FormatsImportTest : public ConfiguratorTest {
 protected:
  CAppSettings settings;
  std::vector<int> asked;

  void SetUp() override {
    ConfiguratorTest::SetUp();
    settings.formats = {Format(1, L"\n[P] Preset", L"%P", FORMAT_PRESET), Format(2, L"Alpha", L"%A"),
                        Format(3, L"Beta", L"%B"), Format(4, L"Gamma", L"%G")};
    settings.formatsNewId = 5;
    settings.ClearFormatIndex();
    settings.DefaultFormatId = 3;
  }

  TABLE_IMPORT_RESULT Import(Rows rows, bool replace, bool answer = true, UINT filter = 0, int failAt = -1) {
    MemoryTable table(std::move(rows), failAt);
    return ImportFormats(settings, filter, table, L"t.csv", replace, [&](int removed) {
      asked.push_back(removed);
      return answer;
    });
  }

  // "id:name:template" per format, in list order.
  std::wstring List() const {
    std::wstring out;
    for (const auto& f : settings.formats) {
      out += std::to_wstring(f.Id) + L":" + (f.Name[0] == L'\n' ? L"^" + f.Name.substr(1) : f.Name) + L":" +
             f.Template + (f.Flags & FORMAT_PRESET ? L"!" : L"") + (f.Flags & FORMAT_DELETED ? L"~" : L"") + L" ";
    }
    return out;
  }
};

const std::wstring kBefore = L"1:^[P] Preset:%P! 2:Alpha:%A 3:Beta:%B 4:Gamma:%G ";

TEST_F(FormatsImportTest, MergesByNamePlacingTheTableFirst) {
  struct Case {
    const char* what;
    Rows rows;
    bool replace;
    std::wstring list;
  } cases[] = {
      {"merge updates and adds, file order first, rest in old order",
       {{L"Name", L"Template"}, {L"Gamma", L"%g"}, {L"New", L"%n"}, {L"Alpha", L"%A"}}, false,
       L"4:Gamma:%g 5:New:%n 2:Alpha:%A 1:^[P] Preset:%P! 3:Beta:%B "},
      {"replace removes unnamed user formats, keeps presets",
       {{L"Name", L"Template"}, {L"Beta", L"%b"}}, true, L"3:Beta:%b 1:^[P] Preset:%P! "},
      {"a repeated name updates its first place again",
       {{L"Name", L"Template"}, {L"Beta", L"%1"}, {L"Alpha", L"%2"}, {L"Beta", L"%3"}}, false,
       L"3:Beta:%3 2:Alpha:%2 1:^[P] Preset:%P! 4:Gamma:%G "},
      {"Russian titles under the English interface",
       {{L"\x0418\x043C\x044F", L"\x0428\x0430\x0431\x043B\x043E\x043D"}, {L"Alpha", L"%r"}}, false,
       L"2:Alpha:%r 1:^[P] Preset:%P! 3:Beta:%B 4:Gamma:%G "},
      {"no title: columns by position, first row is data",
       {{L"+", L"7", L"77", L"Pos", L"%p"}}, false, L"77:Pos:%p " + kBefore},
      {"a preset matched by its mark updates no template",
       {{L"Name", L"Template", L"Comment"}, {L"[P] Preset", L"%P", L"c"}}, true, L"1:^[P] Preset:%P! "},
      {"the Russian mark matches the preset too", {{L"Name"}, {L"[\x041F] Preset"}}, false, kBefore},
      {"a preset mark with another template is a user name",
       {{L"Name", L"Template"}, {L"[P] Preset", L"%X"}}, false, L"5:[P] Preset:%X " + kBefore},
      {"another letter in brackets is a user name", {{L"Name"}, {L"[A] Preset"}}, false,
       L"5:[A] Preset: " + kBefore},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    EXPECT_EQ(Import(c.rows, c.replace), TABLE_IMPORTED);
    EXPECT_EQ(List(), c.list);
  }
  SetUp();
  Import({{L"Name", L"Comment"}, {L"[P] Preset", L"note"}}, false);
  EXPECT_EQ(settings.formats[0].Comment, L"note");
}

TEST_F(FormatsImportTest, FileIdsKeptOnlyWhenValidAndFree) {
  Import({{L"Id", L"Name"},
          {L"0", L"Zero"},
          {L"4294967295", L"AllOnes"},
          {L"4294967301", L"Wraps"},
          {L"3", L"Taken"},
          {L"4294967294", L"Top"},
          {L"-1", L"Negative"},
          {L"x", L"Text"}},
         false);
  std::vector<std::pair<std::wstring, UINT>> got;
  for (const auto& f : settings.formats) got.push_back({f.Name, f.Id});
  const std::vector<std::pair<std::wstring, UINT>> expected = {
      {L"Zero", 5}, {L"AllOnes", 6}, {L"Wraps", 7}, {L"Taken", 8}, {L"Top", 0xFFFFFFFEu}, {L"Negative", 9},
      {L"Text", 10}, {L"\n[P] Preset", 1}, {L"Alpha", 2}, {L"Beta", 3}, {L"Gamma", 4}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(settings.formatsNewId, 11u);
}

TEST_F(FormatsImportTest, FreshIdsWrapToTheFirstFree) {
  settings.formatsNewId = kMaxFormatId;
  settings.formats.push_back(Format(kMaxFormatId, L"Last", L""));
  Import({{L"Id", L"Name"}, {L"0", L"A"}}, false);
  EXPECT_EQ(settings.formats[0].Name, L"A");
  EXPECT_EQ(settings.formats[0].Id, 5u);  // wrapped to the first free from 1
}

TEST_F(FormatsImportTest, ChoiceColumnSetsTheDefaultOfTheFilter) {
  settings.keyFilters = DefaultKeyFilters();
  const UINT second = settings.keyFilters[1].Id;
  struct Case {
    const char* what;
    Rows rows;
    UINT filter;
    UINT defaultId, filterFormat;
  } cases[] = {
      {"last chosen row wins", {{L"Choice", L"Name"}, {L"+", L"Alpha"}, {L"x", L"Gamma"}, {L"-", L"Beta"}}, 0, 4, 0},
      {"a chosen new row gives its new id", {{L"Choice", L"Name"}, {L"+", L"Fresh"}}, 0, 5, 0},
      {"no chosen row clears the default", {{L"Choice", L"Name"}, {L"-", L"Alpha"}}, 0, 0, 0},
      {"without a Choice column the default stays", {{L"Name"}, {L"Alpha"}}, 0, 3, 0},
      {"another filter's default", {{L"Choice", L"Name"}, {L"+", L"Beta"}}, second, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    settings.keyFilters = DefaultKeyFilters();
    for (auto& f : settings.keyFilters) f.FormatId = 0;
    Import(c.rows, false, true, c.filter);
    EXPECT_EQ(settings.DefaultFormatId, c.defaultId);
    EXPECT_EQ(settings.keyFilters[1].FormatId, c.filterFormat);
  }
}

TEST_F(FormatsImportTest, VisibleAndSaveColumnsAddressTheCurrentFilter) {
  Import({{L"Name", L"Save in the settings of the Vombra", L"Visible"}, {L"Alpha", L"+", L"+"}, {L"N", L"-", L"+"}},
         false, true, 3);
  EXPECT_EQ(settings.formats[0].Flags & FORMAT_SAVE_IN_VOMBRA, UINT(FORMAT_SAVE_IN_VOMBRA));
  EXPECT_EQ(settings.formats[0].KeyFilters, 1u << 3);
  EXPECT_EQ(settings.formats[1].KeyFilters, 1u << 3);
  EXPECT_EQ(settings.formats[1].Flags, 0u);
}

// The registry part of the settings changes with what the add-in keeps: a Save or Visible bit, or any
// field of a format saved in it or needed by it.
TEST_F(FormatsImportTest, SettingsAreMarkedOnlyWhenWhatTheAddinKeepsChanges) {
  const std::wstring save = L"Save in the settings of the Vombra";
  struct Case {
    const char* what;
    Rows rows;
    UINT betaFlags;
    bool settingsModified;
  } cases[] = {
      {"template of a format only the list holds", {{L"Name", L"Template"}, {L"Alpha", L"%x"}}, 0, false},
      {"nothing changed", {{L"Name", L"Template"}, {L"Beta", L"%B"}}, FORMAT_MUST_STORE, false},
      {"template of a format the add-in needs", {{L"Name", L"Template"}, {L"Beta", L"%x"}}, FORMAT_MUST_STORE, true},
      {"comment of a format saved in the add-in", {{L"Name", L"Comment"}, {L"Beta", L"c"}}, FORMAT_SAVE_IN_VOMBRA,
       true},
      {"Save set", {{L"Name", save}, {L"Alpha", L"+"}}, 0, true},
      {"Save cleared", {{L"Name", save}, {L"Beta", L"-"}}, FORMAT_SAVE_IN_VOMBRA, true},
      {"Visible set", {{L"Name", L"Visible"}, {L"Alpha", L"+"}}, 0, true},
      {"a new format", {{L"Name"}, {L"New"}}, 0, false},
      {"a new format saved in the add-in", {{L"Name", save}, {L"New", L"+"}}, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    settings.formats[2].Flags |= c.betaFlags;
    settings.settingsModified = false;
    EXPECT_EQ(Import(c.rows, false), TABLE_IMPORTED);
    EXPECT_EQ(settings.settingsModified, c.settingsModified);
  }
}

TEST_F(FormatsImportTest, ReplaceAsksBeforeRemovingAndNothingChangesOnRefusalOrEmptyTable) {
  struct Case {
    const char* what;
    Rows rows;
    bool replace;
    bool answer;
    UINT confirm;
    TABLE_IMPORT_RESULT result;
    std::vector<int> asked;
    bool unchanged;
  } cases[] = {
      {"refused", {{L"Name"}, {L"Alpha"}}, true, false, CONFIRM_DEFAULT, TABLE_CANCELLED, {2}, true},
      {"accepted", {{L"Name"}, {L"Alpha"}}, true, true, CONFIRM_DEFAULT, TABLE_IMPORTED, {2}, false},
      {"question off", {{L"Name"}, {L"Alpha"}}, true, false, 0, TABLE_IMPORTED, {}, false},
      {"nothing to remove", {{L"Name"}, {L"Alpha"}, {L"Beta"}, {L"Gamma"}}, true, false, CONFIRM_DEFAULT,
       TABLE_IMPORTED, {}, false},
      {"merge never asks", {{L"Name"}, {L"Alpha"}}, false, false, CONFIRM_DEFAULT, TABLE_IMPORTED, {}, false},
      {"header only", {{L"Name", L"Template"}}, true, true, CONFIRM_DEFAULT, TABLE_NO_ROWS, {}, true},
      {"empty table", {}, true, true, CONFIRM_DEFAULT, TABLE_NO_ROWS, {}, true},
      {"foreign header gives one nameless row", {{L"Foo", L"Bar"}}, true, true, CONFIRM_DEFAULT, TABLE_NO_ROWS, {},
       true},
      {"rows without names", {{L"Name", L"Template"}, {L"", L"%x"}}, true, true, CONFIRM_DEFAULT, TABLE_NO_ROWS, {},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    asked.clear();
    settings.ConfirmFlags = c.confirm;
    EXPECT_EQ(Import(c.rows, c.replace, c.answer), c.result);
    EXPECT_EQ(asked, c.asked);
    if (c.unchanged) EXPECT_EQ(List(), kBefore);
    else EXPECT_NE(List(), kBefore);
  }
}

TEST_F(FormatsImportTest, ReaderFailingAtAnyRowChangesNothing) {
  const Rows rows = {{L"Choice", L"Name", L"Template"}, {L"+", L"Alpha", L"%1"}, {L"-", L"New", L"%2"},
                     {L"-", L"Gamma", L"%3"}};
  for (int failAt = 1; failAt <= 3; ++failAt) {
    SCOPED_TRACE(failAt);
    for (bool replace : {false, true}) {
      SetUp();
      EXPECT_THROW(Import(rows, replace, true, 0, failAt), CFileException);
      EXPECT_EQ(List(), kBefore);
      EXPECT_EQ(settings.DefaultFormatId, 3u);
      EXPECT_EQ(settings.formatsNewId, 5u);
    }
  }
}

// Export to CSV, then import into the same list: same table, nothing added, order kept.
class FormatsRoundTripTest : public FormatsImportTest {
 protected:
  ScratchFolder folder;
};

TEST_F(FormatsRoundTripTest, CsvExportImportsBackUnchanged) {
  const std::vector<std::wstring> texts = {L"semi;colon", L"com,ma", L"tab\tin", L"say \"hi\"", L"two\r\nlines",
                                           L" spaced ", L"\x041A\x0438\x0440\x0438\x043B\x043B\x0438\x0446\x0430", L""};
  struct Case {
    LANGID exportLanguage, importLanguage;
    const wchar_t* separator;
  } cases[] = {{kEnglishUi, kEnglishUi, L";"},
               {kEnglishUi, kEnglishUi, L","},
               {kRussianUi, kRussianUi, L"\t"},
               {kRussianUi, kRussianUi, L";"},
               {kEnglishUi, kRussianUi, L","}};
  const std::vector<int> kinds = {FMTCOL_NAME, FMTCOL_NUMBER, FMTCOL_CHOICE, FMTCOL_ID, FMTCOL_TEMPLATE,
                                  FMTCOL_PARAMS, FMTCOL_COMMENT, FMTCOL_SAMPLE, FMTCOL_SAVE, FMTCOL_VISIBLE};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.separator)) + " " + std::to_string(c.exportLanguage) + "->" +
                 std::to_string(c.importLanguage));
    SetUp();
    for (size_t i = 0; i < texts.size(); ++i) {
      _FORMAT_INFO_EX f = Format(UINT(10 + i), (L"N" + texts[i]).c_str(), texts[(i + 1) % texts.size()].c_str(),
                                 i % 2 ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u, i % 3 ? 1u : 0u);
      f.Params = texts[(i + 2) % texts.size()];
      f.Comment = texts[(i + 3) % texts.size()];
      settings.formats.push_back(f);
    }
    settings.ClearFormatIndex();
    const std::vector<_FORMAT_INFO_EX> before = settings.formats;
    std::vector<int> rows;
    for (size_t i = 0; i < settings.formats.size(); ++i) rows.push_back(int(i));
    const std::wstring path = folder / L"formats.csv";
    SetUILanguage(c.exportLanguage);
    {
      CCsvTableExport writer;
      writer.separator = c.separator;
      WriteFormatsTable(settings, 0, 3, rows, kinds, [](int) { return std::wstring(L"sample"); }, writer,
                        path.c_str());
    }
    SetUILanguage(c.importLanguage);
    CCsvTableImport reader;
    reader.listSeparator = L";";
    ASSERT_EQ(ImportFormats(settings, 0, reader, path.c_str(), true, nullptr), TABLE_IMPORTED);
    ASSERT_EQ(settings.formats.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
      SCOPED_TRACE(i);
      const _FORMAT_INFO_EX& a = before[i];
      const _FORMAT_INFO_EX& b = settings.formats[i];
      EXPECT_EQ(b.Id, a.Id);
      EXPECT_EQ(b.Name, a.Name);
      EXPECT_EQ(b.Template, a.Template);
      EXPECT_EQ(b.Params, a.Params);
      EXPECT_EQ(b.Comment, a.Comment);
      EXPECT_EQ(b.Flags & (FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA), a.Flags & (FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA));
      EXPECT_EQ(b.KeyFilters, a.KeyFilters);
    }
    EXPECT_EQ(settings.DefaultFormatId, 3u);
  }
}

// The key filters dialog's working list.
class KeyFiltersImportTest : public ConfiguratorTest {
 protected:
  std::vector<_KEYFILTER_INFO> filters;
  UINT cursor = 4;
  UINT formatsFilterId = 2;
  std::vector<int> asked;
  bool limit = false;

  void SetUp() override {
    ConfiguratorTest::SetUp();
    filters = {{1, L"One", 0x1, 0, KEYFILTER_SHOW_TAB, 7}, {2, L"Two", 0x2, 4, 0, 0}, {3, L"Three", 0x4, 8, KEYFILTER_SHOW_TAB, 0}};
    cursor = 4;
    formatsFilterId = 2;
    asked.clear();
  }

  TABLE_IMPORT_RESULT Import(Rows rows, bool replace, bool answer = true, int failAt = -1) {
    MemoryTable table(std::move(rows), failAt);
    return ImportKeyFilters({&filters, &cursor, &formatsFilterId}, table, L"t.csv", replace,
                            [&](int removed) {
                              asked.push_back(removed);
                              return answer;
                            },
                            &limit);
  }

  // "id:name:types:size:flags:format" per filter.
  std::wstring List() const {
    std::wstring out;
    for (const auto& f : filters) {
      out += std::to_wstring(f.Id) + L":" + f.Name + L":" + std::to_wstring(f.KeyTypes) + L":" +
             std::to_wstring(f.KeySize) + L":" + std::to_wstring(f.Flags) + L":" + std::to_wstring(f.FormatId) + L" ";
    }
    return out;
  }
};

const std::wstring kFiltersBefore = L"1:One:1:0:1:7 2:Two:2:4:0:0 3:Three:4:8:1:0 ";

TEST_F(KeyFiltersImportTest, MergesByNameIntoTheWorkingList) {
  struct Case {
    const char* what;
    Rows rows;
    bool replace;
    std::wstring list;
    UINT formatsFilter;
  } cases[] = {
      {"update and add, file order first",
       {{L"Name", L"Visible", L"Key size"}, {L"Three", L"-", L"9"}, {L"New", L"+", L"2"}}, false,
       L"3:Three:4:9:0:0 4:New:0:2:1:0 1:One:1:0:1:7 2:Two:2:4:0:0 ", 2},
      {"replace removes the unnamed and their Formats filter",
       {{L"Name", L"Key types"}, {L"One", L"3"}}, true, L"1:One:3:0:1:7 ", 0},
      {"a repeated name updates its first place",
       {{L"Name", L"Key size"}, {L"Two", L"1"}, {L"One", L"2"}, {L"Two", L"3"}}, false,
       L"2:Two:2:3:0:0 1:One:1:2:1:7 3:Three:4:8:1:0 ", 2},
      {"Russian titles",
       {{L"\x0418\x043C\x044F", L"\x0420\x0430\x0437\x043C\x0435\x0440 \x043A\x043B\x044E\x0447\x0430"}, {L"One", L"5"}},
       false, L"1:One:1:5:1:7 2:Two:2:4:0:0 3:Three:4:8:1:0 ", 2},
      {"no title: columns by position", {{L"-", L"1", L"9", L"Pos", L"16", L"3"}}, false,
       L"9:Pos:16:3:0:0 " + kFiltersBefore, 2},
      {"file ids: free kept, taken or out of range fresh",
       {{L"Id", L"Name"}, {L"3", L"Taken"}, {L"31", L"Top"}, {L"32", L"Over"}, {L"0", L"Zero"}}, false,
       L"4:Taken:0:0:1:0 31:Top:0:0:1:0 5:Over:0:0:1:0 6:Zero:0:0:1:0 " + kFiltersBefore, 2},
      {"key types and sizes out of range are absent",
       {{L"Name", L"Key types", L"Key size"}, {L"One", L"4194304", L"65536"}, {L"Two", L"-1", L"65535"}}, false,
       L"1:One:1:0:1:7 2:Two:2:65535:0:0 3:Three:4:8:1:0 ", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    EXPECT_EQ(Import(c.rows, c.replace), TABLE_IMPORTED);
    EXPECT_EQ(List(), c.list);
    EXPECT_EQ(formatsFilterId, c.formatsFilter);
  }
}

TEST_F(KeyFiltersImportTest, ReplacedFiltersFreeTheirIdsAndTheLimitSkipsRows) {
  // 31 new names replacing 31 filters: the old ones free their ids first.
  filters.clear();
  Rows rows = {{L"Name"}};
  for (UINT id = 1; id <= 31; ++id) {
    filters.push_back({id, L"old" + std::to_wstring(id), 0, 0, 0, 0});
    rows.push_back({L"new" + std::to_wstring(id)});
  }
  EXPECT_EQ(Import(rows, true), TABLE_IMPORTED);
  EXPECT_EQ(filters.size(), 31u);
  EXPECT_EQ(filters[0].Name, L"new1");
  EXPECT_FALSE(limit);
  EXPECT_EQ(asked, std::vector<int>{31});
  // Merging them again adds nothing past 31: rows are skipped and the limit told.
  rows = {{L"Name"}, {L"extra1"}, {L"new5"}, {L"extra2"}};
  EXPECT_EQ(Import(rows, false), TABLE_IMPORTED);
  EXPECT_TRUE(limit);
  EXPECT_EQ(filters.size(), 31u);
  EXPECT_EQ(filters[0].Name, L"new5");
}

TEST_F(KeyFiltersImportTest, NothingChangesOnRefusalEmptyTableOrFailure) {
  EXPECT_EQ(Import({{L"Name"}, {L"One"}}, true, false), TABLE_CANCELLED);
  EXPECT_EQ(asked, std::vector<int>{2});
  EXPECT_EQ(Import({{L"Name", L"Id"}}, true), TABLE_NO_ROWS);
  EXPECT_EQ(Import({{L"Name"}, {L""}}, true), TABLE_NO_ROWS);
  EXPECT_EQ(Import({{L"Foreign", L"Header"}}, true), TABLE_NO_ROWS);
  for (int failAt = 1; failAt <= 2; ++failAt) {
    EXPECT_THROW(Import({{L"Name"}, {L"One"}, {L"New"}}, true, true, failAt), CFileException);
  }
  EXPECT_EQ(List(), kFiltersBefore);
  EXPECT_EQ(cursor, 4u);
  EXPECT_EQ(formatsFilterId, 2u);
}

class KeyFiltersRoundTripTest : public KeyFiltersImportTest {
 protected:
  ScratchFolder folder;
};

TEST_F(KeyFiltersRoundTripTest, CsvExportImportsBackUnchanged) {
  struct Case {
    LANGID exportLanguage, importLanguage;
    const wchar_t* separator;
  } cases[] = {{kEnglishUi, kEnglishUi, L";"}, {kRussianUi, kRussianUi, L","}, {kEnglishUi, kRussianUi, L"\t"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.separator)));
    SetUp();
    filters.push_back({9, L"\x0414\x0432\x0435\x0440\x044C; \"\x0432\x0445\x043E\x0434\"", 0x3FFFFF, 65535, 0, 0});
    filters.push_back({12, L"tab\tand,comma", 0, 0, KEYFILTER_SHOW_TAB, 0});
    filters.push_back({13, L" spaced ", 1, 2, 0, 0});
    filters.push_back({14, L"two\r\nlines", 2, 3, KEYFILTER_SHOW_TAB, 0});
    filters.push_back({15, L"\"quoted\"", 0, 1, 0, 0});
    const std::vector<_KEYFILTER_INFO> before = filters;
    const std::wstring expected = List();
    const std::wstring path = folder / L"filters.csv";
    SetUILanguage(c.exportLanguage);
    {
      CCsvTableExport writer;
      writer.separator = c.separator;
      WriteKeyFiltersTable(filters, {KFCOL_NAME, KFCOL_NUMBER, KFCOL_VISIBLE, KFCOL_ID, KFCOL_KEY_TYPES, KFCOL_KEY_SIZE},
                           writer, path.c_str());
    }
    SetUILanguage(c.importLanguage);
    CCsvTableImport reader;
    reader.listSeparator = L";";
    ASSERT_EQ(ImportKeyFilters({&filters, &cursor, &formatsFilterId}, reader, path.c_str(), true, nullptr, &limit),
              TABLE_IMPORTED);
    EXPECT_EQ(List(), expected);
    EXPECT_EQ(formatsFilterId, 2u);
  }
}

// The file dialogs of the commands: the entry they open on, the type the chosen entry gives, the
// extension added, through the dialog seam.
struct DialogScript {
  DWORD openedIndex = 0;
  DWORD flags = 0;
  DWORD chosenIndex = 1;
  const wchar_t* name = L"";
  BOOL ok = TRUE;
};
DialogScript g_dialog;

BOOL WINAPI ScriptedDialog(OPENFILENAMEW* ofn) {
  g_dialog.openedIndex = ofn->nFilterIndex;
  g_dialog.flags = ofn->Flags;
  if (!g_dialog.ok) return FALSE;
  wcsncpy(ofn->lpstrFile, g_dialog.name, ofn->nMaxFile);
  ofn->nFilterIndex = g_dialog.chosenIndex;
  return TRUE;
}

class TableDialogTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    FileDialogSeam.GetOpenFileName = ScriptedDialog;
    FileDialogSeam.GetSaveFileName = ScriptedDialog;
  }
  void TearDown() override {
    FileDialogSeam = CFileDialogSeam();
    ConfiguratorTest::TearDown();
  }
};

TEST_F(TableDialogTest, ExportDialogOpensOnTheRememberedTypeAndAddsTheExtension) {
  struct Case {
    UINT type;
    DWORD opened, chosen;
    const wchar_t* name;
    UINT newType;
    const wchar_t* path;
  } cases[] = {
      {EXPORT_XLS, 3, 3, L"C:\\t\\out", EXPORT_XLS, L"C:\\t\\out.xls"},
      {EXPORT_XLSX, 2, 2, L"C:\\t\\out", EXPORT_XLSX, L"C:\\t\\out.xlsx"},
      {EXPORT_ODS, 4, 4, L"C:\\t\\out", EXPORT_ODS, L"C:\\t\\out.ods"},
      {EXPORT_CSV, 1, 4, L"C:\\t\\out", EXPORT_ODS, L"C:\\t\\out.ods"},
      {EXPORT_CSV, 1, 1, L"C:\\t\\out.txt", EXPORT_CSV, L"C:\\t\\out.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    g_dialog = DialogScript();
    g_dialog.chosenIndex = c.chosen;
    g_dialog.name = c.name;
    UINT type = c.type;
    std::wstring path;
    ASSERT_TRUE(ChooseExportFile(nullptr, IDS_FORMATS_EXPORT_FILTER, type, path));
    EXPECT_EQ(g_dialog.openedIndex, c.opened);
    EXPECT_TRUE(g_dialog.flags & OFN_OVERWRITEPROMPT);
    EXPECT_EQ(type, c.newType);
    EXPECT_EQ(path, c.path);
  }
  g_dialog = DialogScript();
  g_dialog.ok = FALSE;
  UINT type = EXPORT_XLS;
  std::wstring path;
  EXPECT_FALSE(ChooseExportFile(nullptr, IDS_FORMATS_EXPORT_FILTER, type, path));
  EXPECT_EQ(type, UINT(EXPORT_XLS));
}

// The file dialogs' filters and the messages of the commands have Russian twins of their own.
TEST(TableTexts, EveryTextHasARussianTwin) {
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  for (UINT id : {UINT(IDS_FORMATS_EXPORT_FILTER), UINT(IDS_FORMATS_IMPORT_FILTER), UINT(IDS_KEY_FILTERS_EXPORT_FILTER),
                  UINT(IDS_KEY_FILTERS_IMPORT_FILTER), UINT(IDS_CSV_QUOTE_OPEN), UINT(IDS_IMPORT_NO_ROWS),
                  UINT(IDS_IMPORT_REPLACE_QUESTION), UINT(IDS_OFFICE_NOT_STARTED), UINT(IDS_XLS_TOO_MANY_ROWS)}) {
    SCOPED_TRACE(id);
    const std::wstring english = LoadStrIn(id, kEnglishUi), russian = LoadStrIn(id, kRussianUi);
    EXPECT_FALSE(english.empty());
    EXPECT_FALSE(russian.empty());
    EXPECT_NE(russian, english);
  }
}

TEST_F(TableDialogTest, ImportDialogAndReaderFollowTypeAndExtension) {
  g_dialog = DialogScript();
  g_dialog.chosenIndex = 3;
  g_dialog.name = L"C:\\t\\in.xlsx";
  UINT type = TABLE_EXCEL;
  std::wstring path;
  ASSERT_TRUE(ChooseImportFile(nullptr, IDS_FORMATS_IMPORT_FILTER, type, path));
  EXPECT_EQ(g_dialog.openedIndex, 2u);
  EXPECT_TRUE(g_dialog.flags & OFN_FILEMUSTEXIST);
  EXPECT_EQ(type, UINT(TABLE_CALC));
  // ".csv" and ".xlsx" decide over the chosen type; anything else follows it.
  EXPECT_TRUE(IsCsvTable(TABLE_CALC, L"a.CSV"));
  EXPECT_FALSE(IsCsvTable(TABLE_CSV, L"a.xlsx"));
  EXPECT_TRUE(IsCsvTable(TABLE_CSV, L"a.txt"));
  EXPECT_FALSE(IsCsvTable(TABLE_EXCEL, L"a.txt"));
  EXPECT_NE(dynamic_cast<CCsvTableImport*>(MakeTableImport(TABLE_EXCEL, L"a.csv").get()), nullptr);
  EXPECT_EQ(dynamic_cast<CCsvTableImport*>(MakeTableImport(TABLE_CSV, L"a.xlsx").get()), nullptr);
}

}  // namespace
