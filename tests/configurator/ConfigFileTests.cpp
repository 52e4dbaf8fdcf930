// ConfigVombra.xml: the file a clean machine gets, every section saved and read back, window
// placements, files of other versions, what survives a save, failed saves, the save after "No" on
// exit, and hand-edited format items.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "AppSettings.h"
#include "File.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"

namespace {

const std::wstring kUnset = L"-2147483648";

// A file's text from its lines: each a nesting depth (one TAB each) and its content, ended by CR LF.
std::wstring Lines(const std::vector<std::pair<int, std::wstring>>& lines) {
  std::wstring text;
  for (const auto& line : lines) text += std::wstring(size_t(line.first), L'\t') + line.second + L"\r\n";
  return text;
}

class ConfigFileTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    m_path = m_folder / L"ConfigVombra.xml";
  }

  // A document that reads and writes this test's file.
  void Attach(CAppSettings& document) { document.SetConfigPath(m_path.c_str()); }

  void WriteConfig(const std::wstring& text) { WriteBytes(m_path, Utf8File(text)); }

  // The saved file parsed back.
  void ParseFile(CMemXML& xml) {
    std::wstring text;
    ReadUtf8File(m_path.c_str(), text);
    xml.Parse(text.c_str(), text.size());
  }

  ScratchFolder m_folder;
  std::wstring m_path;
};

// --- A clean machine

TEST_F(ConfigFileTest, ACleanMachineGetsExactlyThisFile) {
  CAppSettings document;
  Attach(document);
  _FORMAT_INFO_EX preset = MakeFormat(1, L"\n[P] KD-6 A", L"%.3u\\t%.5u", L"b2 w01");
  preset.KeyFilters = 41;
  _FORMAT_INFO_EX own = MakeFormat(7, L"Mine", L"%u", L"(l012 << 8) + 0x88", FORMAT_SAVE_IN_VOMBRA);
  own.Comment = L"It's \"ours\"";
  own.KeyFilters = 0xFFFFFFFF;
  document.formats = {preset, own};
  document.formatsNewId = 8;
  document.presetsLanguage = 1033;
  document.SaveConfig(true);

  auto column = [](const wchar_t* n, const wchar_t* width, const wchar_t* order, const wchar_t* align,
                   const wchar_t* visible, const wchar_t* autoSize) {
    return std::wstring(L"<Item") + n + L" width=\"" + width + L"\" order=\"" + order + L"\" align=\"" +
           align + L"\" visible=\"" + visible + L"\" autoSize=\"" + autoSize + L"\"/>";
  };
  const std::wstring unset4 = L"[" + kUnset + L"," + kUnset + L"," + kUnset + L"," + kUnset + L"]";
  const std::wstring expected = Lines({
      {0, L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"},
      {0, L"<Vombra>"},
      {1, L"<Configurator version=\"2.1\">"},
      {2, L"<Main advExtEvents=\"0\">"},
      {3,
       L"<Confirm deleteItem=\"1\" replaceItem=\"1\" loadConfig=\"1\" saveConfig=\"0\" "
       L"resetToDefault=\"1\"/>"},
      {2, L"</Main>"},
      {2, L"<LastKey keyType=\"0\" keyNumber=\"\"/>"},
      {2, L"<UI altListBkColor=\"1\" tableGrid=\"0\" noSortHeader=\"0\" keyEditFormat=\"0\">"},
      {3, L"<FormPos>"},
      {4, L"<AppWin>" + unset4 + L"</AppWin>"},
      {4, L"<Columns>" + unset4 + L"</Columns>"},
      {4, L"<KeyFilters>" + unset4 + L"</KeyFilters>"},
      {4, L"<Format>" + unset4 + L"</Format>"},
      {4, L"<DevOpen>" + unset4 + L"</DevOpen>"},
      {4, L"<Method>" + unset4 + L"</Method>"},
      {4, L"<Key>" + unset4 + L"</Key>"},
      {3, L"</FormPos>"},
      {3,
       L"<Formats showPreset=\"1\" showHidden=\"0\" showUnsavedVombra=\"1\" fmtFilter=\"0\" import=\"1\" "
       L"export=\"1\">"},
      {4, L"<Columns>"},
      {5, column(L"1", L"20", L"1", L"0", L"1", L"0")},
      {5, column(L"2", L"35", L"0", L"1", L"1", L"0")},
      {5, column(L"3", L"35", L"2", L"2", L"0", L"0")},
      {5, column(L"4", L"180", L"3", L"0", L"1", L"0")},
      {5, column(L"5", L"50", L"4", L"0", L"0", L"0")},
      {5, column(L"6", L"50", L"5", L"0", L"0", L"0")},
      {5, column(L"7", L"150", L"6", L"0", L"0", L"0")},
      {5, column(L"8", L"150", L"7", L"0", L"1", L"0")},
      {5, column(L"9", L"20", L"8", L"0", L"0", L"0")},
      {5, column(L"10", L"20", L"9", L"0", L"0", L"0")},
      {4, L"</Columns>"},
      {3, L"</Formats>"},
      {3, L"<KeyFilters import=\"1\" export=\"1\">"},
      {4, L"<Columns>"},
      {5, column(L"1", L"20", L"0", L"0", L"1", L"0")},
      {5, column(L"2", L"35", L"1", L"0", L"1", L"0")},
      {5, column(L"3", L"35", L"2", L"2", L"0", L"0")},
      {5, column(L"4", L"150", L"3", L"0", L"1", L"0")},
      {5, column(L"5", L"100", L"4", L"0", L"1", L"0")},
      {5, column(L"6", L"45", L"5", L"0", L"1", L"0")},
      {4, L"</Columns>"},
      {3, L"</KeyFilters>"},
      {3, L"<Sounds>"},
      {4, L"<Columns>"},
      {5, column(L"1", L"150", L"0", L"0", L"1", L"0")},
      {5, column(L"2", L"200", L"1", L"0", L"1", L"0")},
      {5, column(L"3", L"25", L"2", L"2", L"1", L"0")},
      {5, column(L"4", L"25", L"3", L"2", L"1", L"0")},
      {5, column(L"5", L"25", L"4", L"2", L"1", L"0")},
      {4, L"</Columns>"},
      {3, L"</Sounds>"},
      {3, L"<Events>"},
      {4, L"<Columns>"},
      {5, column(L"1", L"110", L"0", L"0", L"1", L"0")},
      {5, column(L"2", L"80", L"1", L"0", L"1", L"0")},
      {5, column(L"3", L"100", L"2", L"0", L"1", L"0")},
      {5, column(L"4", L"60", L"3", L"0", L"1", L"0")},
      {4, L"</Columns>"},
      {3, L"</Events>"},
      {3, L"<Properties sortColumn=\"0\">"},
      {4, L"<Columns>"},
      {5, column(L"1", L"30", L"0", L"0", L"1", L"0")},
      {5, column(L"2", L"125", L"1", L"0", L"1", L"0")},
      {5, column(L"3", L"125", L"2", L"0", L"1", L"0")},
      {5, column(L"4", L"70", L"3", L"0", L"1", L"0")},
      {5, column(L"5", L"25", L"4", L"0", L"1", L"0")},
      {5, column(L"6", L"60", L"5", L"0", L"1", L"0")},
      {4, L"</Columns>"},
      {3, L"</Properties>"},
      {3, L"<Methods sortColumn=\"0\">"},
      {4, L"<Columns>"},
      {5, column(L"1", L"30", L"0", L"0", L"1", L"0")},
      {5, column(L"2", L"125", L"1", L"0", L"1", L"0")},
      {5, column(L"3", L"125", L"2", L"0", L"1", L"0")},
      {5, column(L"4", L"40", L"3", L"0", L"1", L"0")},
      {5, column(L"5", L"35", L"4", L"0", L"1", L"0")},
      {5, column(L"6", L"60", L"5", L"0", L"1", L"0")},
      {4, L"</Columns>"},
      {3, L"</Methods>"},
      {2, L"</UI>"},
      {2, L"<MethArgs/>"},
      {2, L"<Formats newId=\"8\" sortColumn=\"0\" presetsVersion=\"5\" presetsLanguage=\"1033\">"},
      {3, L"<Item1 enabled=\"0\">"},
      {4, L"<Name>\\n[P] KD-6 A</Name>"},
      {4, L"<Template>%.3u\\\\t%.5u</Template>"},
      {4, L"<Params>b2 w01</Params>"},
      {4, L"<Comment/>"},
      {4, L"<KeyFilters>41</KeyFilters>"},
      {3, L"</Item1>"},
      {3, L"<Item7 enabled=\"1\">"},
      {4, L"<Name>Mine</Name>"},
      {4, L"<Template>%u</Template>"},
      {4, L"<Params>(l012 &lt;&lt; 8) + 0x88</Params>"},
      {4, L"<Comment>It\\&apos;s \\&quot;ours\\&quot;</Comment>"},
      {4, L"<KeyFilters>4294967295</KeyFilters>"},
      {3, L"</Item7>"},
      {2, L"</Formats>"},
      {1, L"</Configurator>"},
      {0, L"</Vombra>"},
  });
  EXPECT_EQ(ReadBytes(m_path), Utf8File(expected));
  EXPECT_FALSE(document.formatsEdited);
  EXPECT_FALSE(document.configModified);

  // The same document read back; a file the configurator made has no history, so it is 0x1003.
  CAppSettings loaded;
  Attach(loaded);
  loaded.History = 0;
  loaded.LoadConfig(true);
  EXPECT_EQ(loaded.History, UINT(HISTORY_DEFAULT));
  EXPECT_EQ(IdsAndNames(loaded.formats), IdsAndNames(document.formats));
}

// --- Every section

// Each configuration-part field that the file keeps, as text, by name.
FIELD_TEXTS ConfigFields(const CAppSettings& d) {
  auto n = [](long long v) { return std::to_wstring(v); };
  auto columns = [&](const COLUMN_SET& set) {
    std::wstring text;
    for (const auto& c : set)
      text += n(c.width) + L"," + n(c.order) + L"," + n(c.align) + L"," + n(c.flags) + L";";
    return text;
  };
  std::wstring placements, key, args, formats;
  for (int i = 0; i < FORM_SLOT_COUNT; ++i) {
    placements += n(d.positions[i].x) + L"," + n(d.positions[i].y) + L"," + n(d.sizes[i].cx) + L"," +
                  n(d.sizes[i].cy) + L";";
  }
  for (BYTE i = 0; i < d.lastKey.Length; ++i) key += n(d.lastKey.Data[i]) + L".";
  for (const auto& method : d.methodArgs) {
    args += method.first + L"(";
    for (const _METHOD_ARG_INFO& arg : method.second) {
      args += n(arg.Vt) + L"/" + n(arg.Width) + L":";
      for (const std::wstring& item : arg.Items) args += item + L"|";
    }
    args += L")";
  }
  for (const _FORMAT_INFO_EX& f : d.formats) {
    formats += n(f.Id) + L"[" + f.Name + L"][" + f.Template + L"][" + f.Params + L"][" + f.Comment + L"]" +
               n(f.KeyFilters) + L"," + n(f.Flags & FORMAT_SAVE_IN_VOMBRA) + L";";
  }
  return {
      {"History", n(d.History)},
      {"placements", placements},
      {"showStates", n(d.showStates[0]) + L"," + n(d.showStates[1])},
      {"tableGrid", n(d.tableGrid)},
      {"altListBkColor", n(d.altListBkColor)},
      {"noSortHeader", n(d.noSortHeader)},
      {"soundsColumns", columns(d.soundsColumns)},
      {"formatsColumns", columns(d.formatsColumns)},
      {"keyFiltersColumns", columns(d.keyFiltersColumns)},
      {"eventsColumns", columns(d.eventsColumns)},
      {"propertiesColumns", columns(d.propertiesColumns)},
      {"methodsColumns", columns(d.methodsColumns)},
      {"formatsSortColumn", n(d.formatsSortColumn)},
      {"propertiesSortColumn", n(d.propertiesSortColumn)},
      {"methodsSortColumn", n(d.methodsSortColumn)},
      {"formatsViewFlags", n(d.formatsViewFlags)},
      {"fmtFilter", n(d.fmtFilter)},
      {"formatsImportType", n(d.formatsImportType)},
      {"formatsExportType", n(d.formatsExportType)},
      {"keyFiltersImportType", n(d.keyFiltersImportType)},
      {"keyFiltersExportType", n(d.keyFiltersExportType)},
      {"keyEditFormat", n(d.keyEditFormat)},
      {"ConfirmFlags", n(d.ConfirmFlags)},
      {"lastKey", n(d.lastKeyType) + L":" + key},
      {"methodArgs", args},
      {"ExternalEventFlags", n(d.ExternalEventFlags)},
      {"formats", formats},
      {"formatsNewId", n(d.formatsNewId)},
      {"presetsLanguage", n(d.presetsLanguage)},
  };
}

TEST_F(ConfigFileTest, EverySectionComesBack) {
  // History is only ever written by hand; a current file keeps it.
  WriteConfig(
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\"><Main "
      L"history=\"1203\"/></Configurator></Vombra>");
  CAppSettings saved;
  Attach(saved);
  saved.LoadConfig(true);
  ASSERT_EQ(saved.History, 0x1203u);
  for (int i = 0; i < FORM_SLOT_COUNT; ++i) {
    saved.positions[i] = {10 * i - 5, 20 * i};
    saved.sizes[i] = {300 + i, 200 - i};
  }
  saved.showStates[0] = SHOW_STATE_MAXIMIZED;
  saved.showStates[1] = SHOW_STATE_MINIMIZED;
  saved.tableGrid = true;
  saved.altListBkColor = false;
  saved.noSortHeader = true;
  saved.soundsColumns[1] = {222, 3, 1, COLUMN_AUTOSIZE};
  saved.formatsColumns[0] = {21, 9, 2, COLUMN_VISIBLE | COLUMN_AUTOSIZE};
  saved.keyFiltersColumns[5] = {46, 0, 1, 0};
  saved.eventsColumns[3] = {61, 2, 2, COLUMN_AUTOSIZE};
  saved.propertiesColumns[2] = {126, 5, 1, 0};
  saved.methodsColumns[4] = {36, 1, 2, COLUMN_VISIBLE | COLUMN_AUTOSIZE};
  saved.formatsSortColumn = -4;
  saved.propertiesSortColumn = 2;
  saved.methodsSortColumn = -1;
  saved.formatsViewFlags = FORMATS_VIEW_HIDDEN;
  saved.fmtFilter = 3;
  saved.formatsImportType = 3;
  saved.formatsExportType = 6;
  saved.keyFiltersImportType = 0;
  saved.keyFiltersExportType = 5;
  saved.keyEditFormat = 4;
  saved.ConfirmFlags = CONFIRM_REPLACE_ITEM | CONFIRM_SAVE_CONFIG;
  saved.lastKeyType = 1;
  saved.lastKey = {5, {0x39, 0x30, 0x0C, 0x34, 0x12}};
  saved.methodArgs[L"Open"] = {{22, {L"COM3", L"a <b> & \"c\""}, 0, L"", 120}, {3, {L"5"}, 0, L"", 75}};
  saved.methodArgs[L"Format"] = {{0, {}, 0, L"", -1}};
  saved.ExternalEventFlags = 0xAB;
  _FORMAT_INFO_EX tabs = MakeFormat(3, L"\n[P] Tabs", L"%u\t%u\\t%u", L"b0\r\nb1", FORMAT_SAVE_IN_VOMBRA);
  tabs.Comment = L"quotes \" ' and \\ backslash";
  tabs.KeyFilters = 0xFFFFFFFF;
  _FORMAT_INFO_EX other = MakeFormat(12, L"Другой", L"%.8X", L"l0123 & 0xFF");
  other.KeyFilters = 6;
  saved.formats = {tabs, other};
  saved.formatsNewId = 13;
  saved.presetsLanguage = CAppSettings::PresetsLanguage();
  saved.SetConfigModified(true);
  saved.SaveConfig(true);
  EXPECT_FALSE(saved.configModified);

  CAppSettings loaded;
  Attach(loaded);
  loaded.LoadConfig(true);
  const CAppSettings defaults;
  ExpectEveryFieldBack(ConfigFields(saved), ConfigFields(loaded), ConfigFields(defaults));
  EXPECT_FALSE(loaded.configModified);
  EXPECT_FALSE(loaded.formatsEdited);
}

TEST_F(ConfigFileTest, FormPosTextsRead) {
  const int U = FORM_POS_UNSET;
  struct Case {
    const wchar_t* text;
    POINT position;
    SIZE size;
    int state;  // 9: left as it was
  };
  const Case cases[] = {
      {L"[10,20,300,200]", {10, 20}, {300, 200}, 9},
      {L"[10,,300]", {10, 300}, {U, U}, 9},  // empty pieces are skipped
      {L"[10,x,300,200]", {10, U}, {300, 200}, 9},
      {L"[1 2  3,4]", {1, 2}, {3, 4}, 9},
      {L"[1,2,3,4,2]", {1, 2}, {3, 4}, 2},
      {L"[1,2,3,4,-1]", {1, 2}, {3, 4}, 9},
      {L"[1,2,3,4,x]", {1, 2}, {3, 4}, 9},
      {L"[1,2,3,4,5,6]", {1, 2}, {3, 4}, 5},
      {L"[5]", {5, U}, {U, U}, 9},
      {L"[-5,+6,0x10,7]", {-5, 6}, {0, 7}, 9},
      {L"[]", {7, 7}, {7, 7}, 9},  // not the bracket form: nothing changes
      {L" [1,2,3,4]", {7, 7}, {7, 7}, 9},
      {L"1,2,3,4", {7, 7}, {7, 7}, 9},
      {L"[1,2,3,4", {7, 7}, {7, 7}, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
    CMemXML xml;
    const std::wstring text = std::wstring(L"<UI><FormPos><AppWin>") + c.text + L"</AppWin><Key>" + c.text +
                              L"</Key><Format>[1,1,1,1,3]</Format></FormPos></UI>";
    xml.Parse(text.c_str());
    POINT positions[FORM_SLOT_COUNT];
    SIZE sizes[FORM_SLOT_COUNT];
    for (int i = 0; i < FORM_SLOT_COUNT; ++i) positions[i] = {7, 7}, sizes[i] = {7, 7};
    int states[SHOW_STATE_COUNT] = {9, 9};
    CAppConfig::ReadFormPos(xml.GetRoot().FindChild(L"UI"), positions, sizes, states);
    for (int slot : {int(FORM_APP_WIN), int(FORM_KEY)}) {
      EXPECT_EQ(positions[slot].x, c.position.x) << slot;
      EXPECT_EQ(positions[slot].y, c.position.y) << slot;
      EXPECT_EQ(sizes[slot].cx, c.size.cx) << slot;
      EXPECT_EQ(sizes[slot].cy, c.size.cy) << slot;
    }
    EXPECT_EQ(states[0], c.state);
    EXPECT_EQ(states[1], 3) << "the format dialog's state";
    EXPECT_EQ(positions[FORM_COLUMNS].x, 7) << "a slot without an element stays";
  }
}

TEST_F(ConfigFileTest, FormPosWritesKeepThePairNotGiven) {
  struct Case {
    const char* title;
    bool positions, sizes, states;
    const wchar_t* appWin;  // AppWin's text after the write; the file had [1,2,3,4]
    const wchar_t* key;     // Key's; the file had none
  };
  const Case cases[] = {
      {"positions only", true, false, false, L"[10,20,3,4]", L"[70,80,-2147483648,-2147483648]"},
      {"sizes only", false, true, false, L"[1,2,30,40]", L"[-2147483648,-2147483648,90,100]"},
      {"both", true, true, false, L"[10,20,30,40]", L"[70,80,90,100]"},
      {"both and the show states", true, true, true, L"[10,20,30,40,2]", L"[70,80,90,100]"},
      {"show states only", false, false, true, L"[1,2,3,4,2]",
       L"[-2147483648,-2147483648,-2147483648,-2147483648]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CAppConfig config;
    config.Parse(L"<UI><FormPos><AppWin>[1,2,3,4]</AppWin></FormPos></UI>");
    POINT positions[FORM_SLOT_COUNT];
    SIZE sizes[FORM_SLOT_COUNT];
    for (int i = 0; i < FORM_SLOT_COUNT; ++i)
      positions[i] = {10 * i + 10, 10 * i + 20}, sizes[i] = {30 + 10 * i, 40 + 10 * i};
    positions[FORM_KEY] = {70, 80};
    sizes[FORM_KEY] = {90, 100};
    const int states[SHOW_STATE_COUNT] = {SHOW_STATE_MAXIMIZED, 0};
    CMXNode* ui = config.GetRoot().FindChild(L"UI");
    config.WriteFormPos(ui, c.positions ? positions : nullptr, c.sizes ? sizes : nullptr,
                        c.states ? states : nullptr);
    EXPECT_EQ(ui->FindPath(L"FormPos\\AppWin", false)->GetText(), c.appWin);
    EXPECT_EQ(ui->FindPath(L"FormPos\\Key", false)->GetText(), c.key);
    EXPECT_TRUE(config.IsModified());
  }
}

// --- Other versions

TEST_F(ConfigFileTest, AFile11IsReadByTheOldRulesAndRewrittenWhole) {
  WriteConfig(Lines({
      {0, L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"},
      {0, L"<Vombra>"},
      {1, L"<Configurator version=\"1.1\">"},
      {2, L"<Main confirm=\"6\"/>"},
      {2, L"<UI keyEditFormat=\"2\">"},
      {3, L"<Formats showHidden=\"1\" fmtFilter=\"3\" import=\"2\"/>"},
      {3, L"<KeyFilters import=\"2\"/>"},
      {3, L"<Sounds><Columns><Item1 width=\"99\"/></Columns></Sounds>"},
      {2, L"</UI>"},
      {2, L"<Custom keep=\"no\"/>"},
      {2, L"<Formats newId=\"60\">"},
      {3,
       L"<Item40><Name>Reader Mifare</Name><Template>%.10u</Template>"
       L"<Params>(l012 &lt;&lt; 8) + 0x88</Params><KeyFilters>1</KeyFilters></Item40>"},
      {3, L"<Item41><Name>Mine</Name><Template>%u</Template><Params>b0</Params></Item41>"},
      {2, L"</Formats>"},
      {1, L"</Configurator>"},
      {0, L"</Vombra>"},
  }));
  CAppSettings document;
  Attach(document);
  document.LoadConfig(true);
  // confirm 6: load and save asked, delete not; replace and reset keep their defaults.
  EXPECT_EQ(document.ConfirmFlags, UINT(CONFIRM_REPLACE_ITEM | CONFIRM_LOAD_CONFIG | CONFIRM_SAVE_CONFIG |
                                        CONFIRM_RESET_TO_DEFAULT));
  EXPECT_EQ(document.keyEditFormat, 2u);
  EXPECT_EQ(document.formatsViewFlags, UINT(FORMATS_VIEW_DEFAULT))
      << "1.x kept the Formats element otherwise";
  EXPECT_EQ(document.fmtFilter, 0u);
  EXPECT_EQ(document.formatsImportType, 1u);
  EXPECT_EQ(document.keyFiltersImportType, 1u);
  EXPECT_EQ(document.soundsColumns[0].width, 99);
  // The old copy of a preset became it (adopt mode) and kept its id; the presets whose ids the old
  // file's formats hold got new ones past newId.
  ASSERT_EQ(document.formats.size(), 51u);
  EXPECT_EQ(IdsAndNames({document.formats[0], document.formats[1]}),
            (std::vector<std::wstring>{L"40:^[P] Reader Mifare", L"41:Mine"}));
  EXPECT_EQ(LinearIndex(document.formats, 9), -1) << "no second Reader Mifare";
  EXPECT_EQ(document.formats[LinearIndex(document.formats, 60)].Name, L"\n[P] Шэлт");
  EXPECT_EQ(document.formats[LinearIndex(document.formats, 61)].Name, L"\n[P] ЭВС СК-24");
  EXPECT_EQ(document.formatsNewId, 62u);
  EXPECT_TRUE(document.formatsEdited);

  document.SaveConfig(false);
  CMemXML xml;
  ParseFile(xml);
  CMXNode* configurator = xml.GetRoot().FindPath(L"Vombra\\Configurator", false);
  ASSERT_NE(configurator, nullptr);
  EXPECT_EQ(configurator->GetAttribute(L"version"), L"2.1");
  EXPECT_EQ(configurator->FindChild(L"Custom"), nullptr) << "another version's file is replaced whole";
  EXPECT_EQ(configurator->FindPath(L"Formats", false)->GetChildren().size(), 51u) << "formats written anyway";
  EXPECT_EQ(configurator->FindPath(L"Main", false)->GetAttribute(L"confirm"), L"");
  EXPECT_FALSE(document.formatsEdited);

  CAppSettings again;
  Attach(again);
  again.LoadConfig(true);
  EXPECT_EQ(IdsAndNames(again.formats), IdsAndNames(document.formats));
  EXPECT_EQ(again.ConfirmFlags, document.ConfirmFlags);
}

TEST_F(ConfigFileTest, AFileOfAnotherVersionIsReadAndRewrittenWhole) {
  WriteConfig(
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"3.0\"><Main><Confirm deleteItem=\"0\"/></Main>"
      L"<UI><Formats showHidden=\"1\" import=\"2\"/></UI><Custom/>"
      L"<Formats presetsVersion=\"5\" presetsLanguage=\"1033\"><Item4><Name>Four</Name></Item4></Formats>"
      L"</Configurator></Vombra>");
  CAppSettings document;
  Attach(document);
  document.LoadConfig(true);
  EXPECT_EQ(document.ConfirmFlags & CONFIRM_DELETE_ITEM, 0u);
  EXPECT_EQ(document.formatsViewFlags, UINT(FORMATS_VIEW_DEFAULT | FORMATS_VIEW_HIDDEN));
  EXPECT_EQ(document.formatsImportType, 2u);
  EXPECT_EQ(IdsAndNames(document.formats), (std::vector<std::wstring>{L"4:Four"}));

  document.formats.push_back(MakeFormat(5, L"Five"));
  document.SaveConfig(false);
  CMemXML xml;
  ParseFile(xml);
  CMXNode* configurator = xml.GetRoot().FindPath(L"Vombra\\Configurator", false);
  ASSERT_NE(configurator, nullptr);
  EXPECT_EQ(configurator->GetAttribute(L"version"), L"2.1");
  EXPECT_EQ(configurator->FindChild(L"Custom"), nullptr);
  EXPECT_NE(configurator->FindPath(L"Formats\\Item5", false), nullptr);
}

TEST_F(ConfigFileTest, ACurrentFileKeepsWhatTheConfiguratorDoesNotWrite) {
  WriteConfig(
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\"><Main history=\"3\" note=\"hand\"/>"
      L"<UI zoom=\"2\"/><Custom a=\"1\"><Deep>text</Deep></Custom>"
      L"<Formats presetsVersion=\"5\" presetsLanguage=\"1033\"><Item3><Name>Old</Name></Item3></Formats>"
      L"</Configurator><Other/></Vombra>");
  CAppSettings document;
  Attach(document);
  document.LoadConfig(true);
  EXPECT_EQ(document.History, 3u);
  document.formats = {MakeFormat(8, L"New")};
  document.tableGrid = true;
  document.SaveConfig(false);

  CMemXML xml;
  ParseFile(xml);
  CMXNode* configurator = xml.GetRoot().FindPath(L"Vombra\\Configurator", false);
  ASSERT_NE(configurator, nullptr);
  EXPECT_EQ(configurator->FindPath(L"Main", false)->GetAttribute(L"history"), L"3");
  EXPECT_EQ(configurator->FindPath(L"Main", false)->GetAttribute(L"note"), L"hand");
  EXPECT_EQ(configurator->FindPath(L"UI", false)->GetAttribute(L"zoom"), L"2");
  EXPECT_EQ(configurator->FindPath(L"UI", false)->GetAttribute(L"tableGrid"), L"1");
  ASSERT_NE(configurator->FindPath(L"Custom\\Deep", false), nullptr);
  EXPECT_EQ(configurator->FindPath(L"Custom\\Deep", false)->GetText(), L"text");
  EXPECT_NE(xml.GetRoot().FindPath(L"Vombra\\Other", false), nullptr);
  EXPECT_NE(configurator->FindPath(L"Formats\\Item3", false), nullptr)
      << "formats not asked for stay as on disk";
  EXPECT_EQ(configurator->FindPath(L"Formats\\Item8", false), nullptr);
  // History 3 remembers no show state: the placements carry four numbers.
  EXPECT_EQ(configurator->FindPath(L"UI\\FormPos\\AppWin", false)->GetText(),
            L"[" + kUnset + L"," + kUnset + L"," + kUnset + L"," + kUnset + L"]");
}

// --- Saving

TEST_F(ConfigFileTest, ADeletedFolderIsCreatedAgain) {
  CAppSettings document;
  const std::wstring path = m_folder / L"gone\\deeper\\ConfigVombra.xml";
  document.SetConfigPath(path.c_str());
  document.SaveConfig(true);
  EXPECT_TRUE(FileExists(path));
  CAppSettings loaded;
  loaded.SetConfigPath(path.c_str());
  loaded.LoadConfig(true);
  EXPECT_EQ(loaded.keyEditFormat, 0u) << "the value saved, not LoadConfig's starting 3";
}

BOOL WINAPI DiskFullWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  // Half of it reaches the disk, then the disk is full.
  WriteFile(file, buffer, count / 2, written, overlapped);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

TEST_F(ConfigFileTest, AFailedSaveKeepsTheOldFileAndBothFlags) {
  struct Case {
    const char* title;
    std::wstring path;  // the configuration file
    bool diskFull;
    std::wstring named;  // what the exception names
  };
  const std::wstring blocker = m_folder / L"blocker";
  WriteBytes(blocker, "a file where a folder should be");
  const Case cases[] = {
      {"the disk fills up", m_path, true, m_path},
      {"the folder cannot be made", blocker + L"\\sub\\ConfigVombra.xml", false, blocker + L"\\sub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    WriteConfig(L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\"/></Vombra>");
    const std::string before = ReadBytes(m_path);
    CAppSettings document;
    document.SetConfigPath(c.path.c_str());
    document.formats = {MakeFormat(1, L"One")};
    document.FormatsChanged(false);
    ASSERT_TRUE(document.configModified && document.formatsEdited);
    HintRecorder view(document);
    if (c.diskFull) g_pfnWriteFile = DiskFullWriteFile;
    try {
      document.SaveConfig(true);
      ADD_FAILURE() << "the save passed";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.FileName(), c.named);
      if (c.diskFull) {
        EXPECT_EQ(e.Cause(), CAUSE_DISK_FULL);
      }
    }
    g_pfnWriteFile = WriteFile;
    EXPECT_EQ(ReadBytes(m_path), before);
    EXPECT_TRUE(document.configModified);
    EXPECT_TRUE(document.formatsEdited);
    EXPECT_EQ(view.Hints & HINT_CONFIG_MODIFIED, 0u);
    // Nothing but the file and the blocker are left in the folder: no temporary.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((m_folder.Path() + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
      if (data.cFileName[0] != L'.') names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"ConfigVombra.xml", L"blocker"}));
  }
}

TEST_F(ConfigFileTest, TheSaveAfterNoOnExit) {
  // The technician refused to save: formats are not written, and a file that would have to be
  // replaced whole is left alone.
  const std::wstring old11 =
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"1.1\"><Formats>"
      L"<Item2><Name>Kept</Name></Item2></Formats></Configurator></Vombra>";
  const std::wstring current =
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\"><UI tableGrid=\"0\"/>"
      L"<Formats newId=\"3\"><Item2><Name>Kept</Name></Item2></Formats></Configurator></Vombra>";
  struct Case {
    const char* title;
    const std::wstring* file;  // null: no file
    CONFIG_SAVE_MODE mode;
    bool written;
    bool refusedFormatsWritten;
  };
  const Case cases[] = {
      {"no file", nullptr, CONFIG_SAVE_UPDATE_ONLY, false, false},
      {"a 1.1 file", &old11, CONFIG_SAVE_UPDATE_ONLY, false, false},
      {"a 2.1 file", &current, CONFIG_SAVE_UPDATE_ONLY, true, false},
      {"no file, whole rewrite", nullptr, CONFIG_SAVE_REWRITE, true, true},
      {"a 1.1 file, whole rewrite", &old11, CONFIG_SAVE_REWRITE, true, true},
      {"a 2.1 file, whole rewrite", &current, CONFIG_SAVE_REWRITE, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    DeleteFileW(m_path.c_str());
    if (c.file) WriteConfig(*c.file);
    const std::string before = ReadBytes(m_path);
    CAppSettings document;
    Attach(document);
    document.formats = {MakeFormat(9, L"Refused")};
    document.FormatsChanged(false);
    document.tableGrid = true;
    document.SaveConfig(false, c.mode);
    if (!c.written) {
      EXPECT_EQ(FileExists(m_path), c.file != nullptr);
      EXPECT_EQ(ReadBytes(m_path), before);
      EXPECT_TRUE(document.configModified);
      continue;
    }
    CMemXML xml;
    ParseFile(xml);
    CMXNode* configurator = xml.GetRoot().FindPath(L"Vombra\\Configurator", false);
    ASSERT_NE(configurator, nullptr);
    EXPECT_EQ(configurator->GetAttribute(L"version"), L"2.1");
    EXPECT_EQ(configurator->FindPath(L"UI", false)->GetAttribute(L"tableGrid"), L"1");
    EXPECT_EQ(configurator->FindPath(L"Formats\\Item9", false) != nullptr, c.refusedFormatsWritten);
    if (!c.refusedFormatsWritten) {
      EXPECT_NE(configurator->FindPath(L"Formats\\Item2", false), nullptr);
    }
    EXPECT_FALSE(document.configModified);
    EXPECT_EQ(document.formatsEdited, !c.refusedFormatsWritten);
  }
}

// --- Reading what hands and other programs leave

TEST_F(ConfigFileTest, HandEditedFormatItemsGetUniqueIds) {
  WriteConfig(
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\">"
      L"<Formats newId=\"0\" presetsVersion=\"5\" presetsLanguage=\"1033\">"
      L"<Item5><Name>A</Name></Item5>"
      L"<Item5><Name>B</Name></Item5>"
      L"<item17><Name>C</Name></item17>"
      L"<ITEM2><Name>D</Name></ITEM2>"
      L"<Item><Name>E</Name></Item>"
      L"<Item-3><Name>F</Name></Item-3>"
      L"<Item4294967295><Name>G</Name></Item4294967295>"
      L"<Item9/>"
      L"<Item10 enabled=\"7\"><Name>H</Name><Template>%d\\t%d</Template></Item10>"
      L"</Formats></Configurator></Vombra>");
  CAppSettings document;
  Attach(document);
  document.LoadConfig(true);
  // The repeated id and the items without a usable number get fresh ids in list order from 1
  // (newId 0 counts as 1): B 1, E 3, F 4, G 6.
  EXPECT_EQ(IdsAndNames(document.formats),
            (std::vector<std::wstring>{L"5:A", L"1:B", L"17:C", L"2:D", L"3:E", L"4:F", L"6:G", L"10:H"}));
  EXPECT_EQ(document.formatsNewId, 7u);
  const _FORMAT_INFO_EX& h = document.formats.back();
  EXPECT_EQ(h.Flags, UINT(FORMAT_SAVE_IN_VOMBRA | FORMAT_MUST_STORE)) << "the add-in needs what it saves";
  EXPECT_EQ(h.Template, L"%d\t%d");
  EXPECT_EQ(h.KeyFilters, 0xFFFFFFFFu) << "no KeyFilters element: all";
  EXPECT_EQ(document.formats.size(), 8u) << "presets of version 5 in this language are not loaded again";
}

TEST_F(ConfigFileTest, AttributeNumbersAreTakenOnlyWhenTheyAreNumbers) {
  struct Case {
    const wchar_t* ui;  // the UI element's attributes and children
    std::function<UINT(const CAppSettings&)> field;
    UINT expected;
  };
  const Case cases[] = {
      {L"keyEditFormat=\"9\"", [](const CAppSettings& d) { return d.keyEditFormat; }, 0},
      {L"keyEditFormat=\"4\"", [](const CAppSettings& d) { return d.keyEditFormat; }, 4},
      {L"keyEditFormat=\"x\"", [](const CAppSettings& d) { return d.keyEditFormat; }, 3},
      {L"keyEditFormat=\" 0\"", [](const CAppSettings& d) { return d.keyEditFormat; }, 0},
      {L"><Formats import=\"4\"/", [](const CAppSettings& d) { return d.formatsImportType; }, 1},
      {L"><Formats import=\"3\"/", [](const CAppSettings& d) { return d.formatsImportType; }, 3},
      {L"><Formats export=\"7\"/", [](const CAppSettings& d) { return d.formatsExportType; }, 1},
      {L"><Formats export=\"0\"/", [](const CAppSettings& d) { return d.formatsExportType; }, 0},
      {L"><KeyFilters export=\"6abc\"/", [](const CAppSettings& d) { return d.keyFiltersExportType; }, 6},
      {L"tableGrid=\"yes\"", [](const CAppSettings& d) { return UINT(d.tableGrid); }, 0},
      {L"altListBkColor=\"00\"", [](const CAppSettings& d) { return UINT(d.altListBkColor); }, 0},
      {L"><Formats showPreset=\"\"/", [](const CAppSettings& d) { return d.formatsViewFlags; }, 5},
      {L"><Formats showPreset=\"0\"/", [](const CAppSettings& d) { return d.formatsViewFlags; }, 4},
      {L"><Properties sortColumn=\"-3\"/", [](const CAppSettings& d) { return UINT(d.propertiesSortColumn); },
       UINT(-3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.ui)));
    std::wstring ui = std::wstring(L"<UI ") + c.ui;
    ui += (ui.back() == L'/') ? L"></UI>" : L"/>";
    WriteConfig(L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\">" + ui +
                L"</Configurator></Vombra>");
    CAppSettings document;
    Attach(document);
    document.LoadConfig(true);
    EXPECT_EQ(c.field(document), c.expected);
  }
}

TEST_F(ConfigFileTest, TheFileKeepsTheExternalEventFlagsOfASwitchThatIsOff) {
  WriteConfig(
      L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"2.1\"><Main advExtEvents=\"c\"/>"
      L"</Configurator></Vombra>");
  const struct {
    bool enabled;
    UINT flags;  // before the load, as the registry gave them
    UINT after;
  } cases[] = {{false, 0x3, 0xC}, {true, 0x3, 0x3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.enabled);
    CAppSettings document;
    Attach(document);
    document.extEventsEnabled = c.enabled;
    document.ExternalEventFlags = c.flags;
    document.LoadConfig(true);
    EXPECT_EQ(document.ExternalEventFlags, c.after);
  }
}

TEST_F(ConfigFileTest, MissingAndUnreadableFiles) {
  CAppSettings missing;
  Attach(missing);
  missing.formats = {MakeFormat(1, L"Gone")};
  ASSERT_NO_THROW(missing.LoadConfig(true));
  EXPECT_TRUE(missing.formats.empty()) << "no presets either";
  EXPECT_EQ(missing.keyEditFormat, 3u);
  EXPECT_EQ(missing.History, UINT(HISTORY_DEFAULT));

  WriteConfig(L"<Vombra/>");
  HANDLE held = CreateFileW(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  CAppSettings locked;
  Attach(locked);
  try {
    locked.LoadConfig(true);
    ADD_FAILURE() << "a file held without sharing was read";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_SHARING);
    EXPECT_EQ(e.FileName(), m_path);
  }
  CloseHandle(held);
}

TEST_F(ConfigFileTest, IdsAndTheirReferencesComeBackThroughFileAndRegistry) {
  CleanSettingsKeys registry;
  CAppSettings saved;
  Attach(saved);
  saved.formats = {MakeFormat(3, L"Three"), MakeFormat(7, L"Seven"), MakeFormat(12, L"Twelve")};
  saved.FormatsChanged(true);
  saved.SetFormatId(7);
  saved.SetDefaultFormatId(12);
  saved.keyFilters[2].FormatId = 3;
  saved.FormatUsageChanged();
  saved.presetsLanguage = CAppSettings::PresetsLanguage();
  saved.SaveSettings();
  saved.SaveConfig(true);

  CAppSettings loaded;
  Attach(loaded);
  loaded.LoadConfig(true);
  loaded.LoadSettings();
  EXPECT_EQ(IdsAndNames(loaded.formats), (std::vector<std::wstring>{L"3:Three", L"7:Seven", L"12:Twelve"}));
  EXPECT_EQ(loaded.FormatId, 7u);
  EXPECT_EQ(loaded.DefaultFormatId, 12u);
  EXPECT_EQ(loaded.keyFilters[2].FormatId, 3u);
  EXPECT_FALSE(loaded.settingsModified) << "no reference had to be repaired";
}

}  // namespace
