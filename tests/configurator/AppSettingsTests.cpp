// The settings document: the registry merge of the formats and the id index, the formats the add-in
// needs, the repairs before a delivery, key filters as the registry gives them, every registry value
// saved and loaded, and the setters' hints.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"

namespace {

const std::wstring kKeyPath = kSettingsKeyPath;

// A key below the settings key (or the key itself) for a test to fill.
class RawKey {
 public:
  explicit RawKey(const std::wstring& sub, HKEY root = HKEY_CURRENT_USER) {
    const std::wstring path = sub.empty() ? kKeyPath : kKeyPath + L"\\" + sub;
    EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
              ERROR_SUCCESS);
  }
  ~RawKey() { RegCloseKey(m_key); }
  RawKey(const RawKey&) = delete;
  RawKey& operator=(const RawKey&) = delete;

  RawKey& Dword(const wchar_t* name, DWORD value) {
    EXPECT_EQ(RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    return *this;
  }
  RawKey& Sz(const wchar_t* name, const std::wstring& text) {
    EXPECT_EQ(RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             DWORD((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    return *this;
  }

 private:
  HKEY m_key = nullptr;
};

// A stored format as the registry holds it.
struct StoredFormat {
  UINT id;
  const wchar_t* name;
  UINT flags;  // FORMAT_PRESET, FORMAT_SAVE_IN_VOMBRA
  const wchar_t* templ;
};

void StoreFormats(const std::vector<StoredFormat>& stored) {
  _SETTINGS_INFO record;
  for (const StoredFormat& s : stored) {
    _FORMAT_INFO format;
    format.Id = s.id;
    format.Name = s.name;
    format.Flags = s.flags;
    format.Template = s.templ;
    format.Params = L"b0";
    record.Formats.push_back(format);
  }
  RegSaveSettings(record, SP_LISTS);
}

// What the add-in would load: the stored formats as "id:name:P" (P for a preset).
std::vector<std::wstring> RegistryFormats() {
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_LISTS);
  std::vector<std::wstring> out;
  for (const _FORMAT_INFO& f : record.Formats) {
    out.push_back(std::to_wstring(f.Id) + L":" + f.Name + ((f.Flags & FORMAT_PRESET) ? L":P" : L""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The list as "id:name:template:flags" (flags in hex, a preset's line feed as "^").
std::vector<std::wstring> Describe(const std::vector<_FORMAT_INFO_EX>& formats) {
  std::vector<std::wstring> out = IdsAndNames(formats);
  for (size_t i = 0; i < formats.size(); ++i) {
    wchar_t flags[16];
    swprintf(flags, 16, L"%x", formats[i].Flags);
    out[i] += L":" + formats[i].Template + L":" + flags;
  }
  return out;
}

// The id index answers as a front-to-back search does, for every id held and some that are not,
// and no id is held twice or is 0.
void ExpectIndexConsistent(CAppSettings& document, const std::string& where) {
  SCOPED_TRACE(where);
  std::set<UINT> ids;
  for (const _FORMAT_INFO_EX& format : document.formats) {
    EXPECT_NE(format.Id, 0u);
    EXPECT_TRUE(ids.insert(format.Id).second) << "id " << format.Id << " held twice";
  }
  for (UINT id = 0; id <= 64; ++id) ids.insert(id);
  for (UINT id : ids)
    EXPECT_EQ(document.FindFormatIndex(id), LinearIndex(document.formats, id)) << "id " << id;
}

class AppSettingsTest : public ConfiguratorTest {
 protected:
  CleanSettingsKeys m_clean;
};

// --- The registry merge

struct MergeCase {
  const char* title;
  std::vector<_FORMAT_INFO_EX> document;
  std::vector<StoredFormat> registry;
  std::vector<std::wstring> expected;  // Describe() after the merge and its delivery
};

TEST_F(AppSettingsTest, RegistryFormatsMergeIntoTheList) {
  const UINT kDocOnly = FORMAT_SELECTED | FORMAT_SAMPLE_VALID | FORMAT_FROM_RESOURCE;
  const MergeCase cases[] = {
      {"an unknown id is kept", {}, {{7, L"A", 0, L"%x"}}, {L"7:A:%x:0"}},
      {"same id and name: the registry's values",
       {MakeFormat(3, L"A")},
       {{3, L"A", 0, L"%x"}},
       {L"3:A:%x:0"}},
      {"an id of another name: the format of its own name lends its id",
       {MakeFormat(3, L"X"), MakeFormat(5, L"A")},
       {{3, L"A", 0, L"%x"}},
       {L"3:X:%u:0", L"5:A:%x:0"}},
      {"an id of another name and no format of its name: a new id",
       {MakeFormat(1, L"X"), MakeFormat(3, L"Y")},
       {{3, L"A", 0, L"%x"}},
       {L"1:X:%u:0", L"3:Y:%u:0", L"2:A:%x:0"}},
      {"a stored preset joins the document's preset",
       {MakeFormat(2, L"\n[P] P")},
       {{2, L"P", FORMAT_PRESET, L"%x"}},
       {L"2:^[P] P:%x:1"}},
      {"a preset stored under another id joins by name and takes that id",
       {MakeFormat(2, L"\n[P] P")},
       {{9, L"P", FORMAT_PRESET, L"%x"}},
       {L"9:^[P] P:%x:1"}},
      {"a plain format and a preset of the same text stay apart",
       {MakeFormat(2, L"\n[P] P")},
       {{4, L"P", 0, L"%x"}},
       {L"2:^[P] P:%u:0", L"4:P:%x:0"}},
      {"the document's own bits go, the stored ones come",
       {MakeFormat(4, L"A", L"%u", L"b0", kDocOnly)},
       {{4, L"A", FORMAT_SAVE_IN_VOMBRA, L"%x"}},
       {L"4:A:%x:20002"}},
      // Item2 comes before Item5: C meets B's id and gets the first free one, 3; A then takes 5.
      {"several, in registry key order",
       {MakeFormat(1, L"A"), MakeFormat(2, L"B")},
       {{2, L"C", 0, L"%x"}, {5, L"A", 0, L"%x"}},
       {L"5:A:%x:0", L"2:B:%u:0", L"3:C:%x:0"}},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.title);
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    StoreFormats(c.registry);
    CAppSettings document;
    document.formats = c.document;
    // Look-ups before the merge leave index entries the merge must not trust.
    for (UINT id = 0; id <= 12; ++id) document.FindFormatIndex(id);
    document.LoadSettings();
    EXPECT_EQ(Describe(document.formats), c.expected);
    ExpectIndexConsistent(document, c.title);
  }
}

TEST_F(AppSettingsTest, AfterAFirstStartStoredFormatsGetIdsPastThePresets) {
  // Item51 "A" keeps 51; Item7 "B" meets preset 7 and needs a new id, which 51 no longer is.
  StoreFormats({{51, L"A", 0, L"%u"}, {7, L"B", 0, L"%u"}});
  CAppSettings document;
  document.LoadPresetFormats(0, false);
  ASSERT_EQ(document.formats.size(), 50u);
  document.LoadSettings();
  ASSERT_EQ(document.formats.size(), 52u);
  const std::vector<std::wstring> added =
      IdsAndNames({document.formats.begin() + 50, document.formats.end()});
  std::vector<std::wstring> sorted = added;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::wstring>{L"51:A", L"52:B"}));
  ExpectIndexConsistent(document, "first start");
}

TEST_F(AppSettingsTest, RandomChangesKeepTheIdIndexTrue) {
  ScratchFolder folder;
  std::mt19937 random(20240611);
  auto pick = [&](int n) { return int(random() % unsigned(n)); };
  CAppSettings document;
  document.SetConfigPath((folder / L"ConfigVombra.xml").c_str());
  const LANGID language = CAppSettings::PresetsLanguage();
  int added = 0;
  for (int step = 0; step < 120; ++step) {
    // Stale "none" entries are what a careless index keeps: ask for ids before every change.
    for (int i = 0; i < 6; ++i) document.FindFormatIndex(UINT(pick(40)));
    const int operation = pick(6);
    std::string what;
    switch (operation) {
      case 0: {
        what = "registry merge";
        // Distinct names, as the add-in keeps them.
        static const wchar_t* const kNames[] = {L"A", L"B", L"C", L"D", L"E", L"F"};
        std::vector<int> order = {0, 1, 2, 3, 4, 5};
        std::shuffle(order.begin(), order.end(), random);
        std::vector<StoredFormat> stored;
        for (int n = pick(4); n >= 0; --n) {
          stored.push_back(
              {UINT(1 + pick(30)), kNames[order[size_t(n)]], pick(3) == 0 ? UINT(FORMAT_PRESET) : 0u, L"%u"});
        }
        // One registry key per id.
        std::sort(stored.begin(), stored.end(),
                  [](const StoredFormat& a, const StoredFormat& b) { return a.id < b.id; });
        stored.erase(std::unique(stored.begin(), stored.end(),
                                 [](const StoredFormat& a, const StoredFormat& b) { return a.id == b.id; }),
                     stored.end());
        CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
        StoreFormats(stored);
        document.LoadSettings();
        break;
      }
      case 1: {
        what = "preset merge";
        std::wstring text = L"<Vombra><Configurator><Formats>";
        for (int n = pick(5); n >= 0; --n) {
          const std::wstring id = std::to_wstring(1 + pick(30));
          text += L"<Item" + id + L"><Name>P" + std::to_wstring(pick(6)) +
                  L"</Name><Template>%u</Template></Item" + id + L">";
        }
        text += L"</Formats></Configurator></Vombra>";
        document.MergePresetFormats(text, language, pick(2) == 0);
        break;
      }
      case 2: {
        what = "add";
        const UINT id = document.NewFormatId();
        ASSERT_NE(id, 0u);
        document.formats.push_back(MakeFormat(id, L"N" + std::to_wstring(++added)));
        document.FormatsChanged(true);
        break;
      }
      case 3: {
        what = "delete and purge";
        if (document.formats.empty()) break;
        for (int n = pick(3); n >= 0; --n) {
          document.formats[size_t(pick(int(document.formats.size())))].Flags |= FORMAT_DELETED;
        }
        EXPECT_GT(document.PurgeDeletedFormats(), 0u);
        break;
      }
      case 4: {
        what = "save and reload the configuration";
        document.presetsLanguage = language;
        document.SaveConfig(true);
        document.LoadConfig(false);
        break;
      }
      default: {
        what = "reorder";
        if (document.formats.size() < 2) break;
        std::swap(document.formats.front(), document.formats.back());
        document.FormatsChanged(false);
        break;
      }
    }
    ExpectIndexConsistent(document, "step " + std::to_string(step) + ": " + what);
    if (HasFailure()) return;
  }
}

// --- Ids

TEST_F(AppSettingsTest, NewFormatIdSkipsHeldIdsAndWraps) {
  struct Case {
    UINT cursor;
    std::vector<UINT> held;
    UINT id;
    UINT cursorAfter;
  };
  const Case cases[] = {
      {1, {}, 1, 2},
      {1, {1, 2, 3}, 4, 5},
      {5, {5, 6}, 7, 8},
      {0, {}, 1, 2},   // newId="0" written by hand counts as 1
      {0, {1}, 2, 3},  //
      {0xFFFFFFFE, {0xFFFFFFFE, 1}, 2, 3},
      {0xFFFFFFFE, {}, 0xFFFFFFFE, 0xFFFFFFFF},
      {0xFFFFFFFF, {1}, 2, 3},
      {7, {7, 1, 2}, 8, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cursor " << c.cursor << ", " << c.held.size() << " held");
    CAppSettings document;
    for (UINT id : c.held) document.formats.push_back(MakeFormat(id, L"F" + std::to_wstring(id)));
    document.formatsNewId = c.cursor;
    EXPECT_EQ(document.NewFormatId(), c.id);
    EXPECT_EQ(document.formatsNewId, c.cursorAfter);
    // The search for a free id leaves no "none" behind for the id handed out: the caller enters it.
    document.formats.push_back(MakeFormat(c.id, L"new"));
    EXPECT_EQ(document.FindFormatIndex(c.id), int(document.formats.size() - 1));
  }
}

TEST_F(AppSettingsTest, NextFreeKeyFilterIdTable) {
  auto filters = [](std::vector<UINT> ids) {
    std::vector<_KEYFILTER_INFO> list;
    for (UINT id : ids) list.push_back({id, L"F" + std::to_wstring(id), 0x3FFFFF, 0, 1, 0});
    return list;
  };
  std::vector<UINT> allButFour, all;
  for (UINT id = 1; id <= 31; ++id) {
    all.push_back(id);
    if (id != 4) allButFour.push_back(id);
  }
  struct Case {
    const char* title;
    std::vector<UINT> used;
    UINT cursor;
    UINT id;
    UINT cursorAfter;
  };
  const Case cases[] = {
      {"after the defaults", {1, 2, 3, 4, 5}, 6, 6, 7},
      {"a cursor of 0 starts at 1", {1, 2, 3, 4, 5}, 0, 6, 7},
      {"an empty list", {}, 0, 1, 2},
      {"wraps below the cursor", allButFour, 10, 4, 5},
      {"31 then wraps", {31}, 31, 1, 2},
      {"a cursor past 31", {1, 2}, 40, 3, 4},
      {"all taken", all, 3, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    UINT cursor = c.cursor;
    EXPECT_EQ(NextFreeKeyFilterId(filters(c.used), cursor), c.id);
    EXPECT_EQ(cursor, c.cursorAfter);
  }
}

// --- What the add-in needs

TEST_F(AppSettingsTest, OnlyFormatsTheAddinNeedsAreStored) {
  struct Case {
    const char* title;
    UINT savedInVombra;  // format id with FORMAT_SAVE_IN_VOMBRA, 0 none
    UINT formatId;
    UINT defaultFormatId;
    UINT filterFormatId;
    std::vector<UINT> stored;
  };
  const Case cases[] = {
      {"nothing refers to a format", 0, 0, 0, 0, {}}, {"saved in the add-in", 2, 0, 0, 0, {2}},
      {"the readers' format", 0, 3, 0, 0, {3}},       {"the default format", 0, 0, 4, 0, {4}},
      {"a key filter's format", 0, 0, 0, 5, {5}},     {"all four", 2, 3, 4, 5, {2, 3, 4, 5}},
      {"one format for all", 3, 3, 3, 3, {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    CAppSettings document;
    HintRecorder view(document);
    for (UINT id = 1; id <= 5; ++id) document.formats.push_back(MakeFormat(id, L"F" + std::to_wstring(id)));
    document.formats[2].Name = L"\n[P] F3";  // a preset goes to the registry under its plain name
    document.FormatsChanged(false);
    view.Reset();
    {
      _DOC_UPDATE_INFO batch(&document);
      if (c.savedInVombra) document.formats[c.savedInVombra - 1].Flags |= FORMAT_SAVE_IN_VOMBRA;
      document.FormatsChanged(true);
      document.SetFormatId(c.formatId);
      document.SetDefaultFormatId(c.defaultFormatId);
      document.keyFilters[0].FormatId = c.filterFormatId;
      document.FormatUsageChanged();
    }
    std::vector<UINT> marked;
    for (const _FORMAT_INFO_EX& f : document.formats) {
      if (f.Flags & FORMAT_MUST_STORE) marked.push_back(f.Id);
    }
    EXPECT_EQ(marked, c.stored);
    EXPECT_EQ((view.Hints & HINT_FORMAT_STORE) != 0, !c.stored.empty());
    document.SaveSettings();
    std::vector<std::wstring> expected;
    for (UINT id : c.stored)
      expected.push_back(std::to_wstring(id) + (id == 3 ? L":F3:P" : L":F" + std::to_wstring(id)));
    EXPECT_EQ(RegistryFormats(), expected);
  }
}

TEST_F(AppSettingsTest, ReferencesToARemovedFormatAreReset) {
  enum Reference { kReaders, kDefault, kKeyFilter };
  struct Case {
    const char* title;
    Reference reference;
    UINT deleted;
    UINT after;  // the reference after the purge
  };
  const Case cases[] = {
      {"readers' format deleted", kReaders, 2, 0},       {"readers' format kept", kReaders, 3, 2},
      {"default format deleted", kDefault, 2, 0},        {"default format kept", kDefault, 3, 2},
      {"key filter's format deleted", kKeyFilter, 2, 0}, {"key filter's format kept", kKeyFilter, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CAppSettings document;
    for (UINT id = 1; id <= 3; ++id) document.formats.push_back(MakeFormat(id, L"F" + std::to_wstring(id)));
    switch (c.reference) {
      case kReaders:
        document.SetFormatId(2);
        break;
      case kDefault:
        document.SetDefaultFormatId(2);
        break;
      case kKeyFilter:
        document.keyFilters[1].FormatId = 2;
        document.FormatUsageChanged();
        break;
    }
    document.SetSettingsModified(false);
    HintRecorder view(document);
    document.formats[c.deleted - 1].Flags |= FORMAT_DELETED;
    EXPECT_EQ(document.PurgeDeletedFormats(), 1u);
    const UINT reference = c.reference == kReaders   ? document.FormatId
                           : c.reference == kDefault ? document.DefaultFormatId
                                                     : document.keyFilters[1].FormatId;
    EXPECT_EQ(reference, c.after);
    EXPECT_TRUE(document.settingsModified);
    EXPECT_EQ(IdsAndNames(document.formats).size(), 2u);
    const uint64_t repaired = c.reference == kReaders ? HINT_CONNECTION : HINT_FORMAT_USAGE;
    EXPECT_EQ((view.Hints & repaired) != 0, c.after == 0);
  }
}

// --- Key filters from the registry

TEST_F(AppSettingsTest, KeyFiltersNeverStoredGiveTheDefaults) {
  struct Case {
    const char* title;
    std::function<void()> store;
    std::vector<UINT> ids;
    UINT newId;
  };
  const std::vector<UINT> defaults = {1, 2, 3, 4, 5};
  const Case cases[] = {
      {"no settings key", [] {}, defaults, 6},
      {"no KeyFilters subkey", [] { RawKey(L"").Sz(L"Portname", L"COM3"); }, defaults, 6},
      {"no NewId value", [] { RawKey(L"KeyFilters").Dword(L"SortCol", 2); }, defaults, 6},
      {"NewId 1 and no items", [] { RawKey(L"KeyFilters").Dword(L"NewId", 1); }, defaults, 6},
      {"NewId 0 and no items", [] { RawKey(L"KeyFilters").Dword(L"NewId", 0); }, defaults, 6},
      {"NewId 4 and no items: the technician removed them all",
       [] { RawKey(L"KeyFilters").Dword(L"NewId", 4); },
       {},
       4},
      {"one stored filter",
       [] {
         RawKey(L"KeyFilters").Dword(L"NewId", 9);
         RawKey(L"KeyFilters\\Item7").Sz(L"Name", L"Own").Dword(L"KeyTypes", 2);
       },
       {7},
       9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    c.store();
    CAppSettings document;
    document.keyFilters.clear();
    document.KeyFilterNewId = 77;
    document.LoadSettings();
    std::vector<UINT> ids;
    for (const _KEYFILTER_INFO& filter : document.keyFilters) {
      ids.push_back(filter.Id);
      EXPECT_EQ(filter.Flags, 1u) << "every loaded filter is shown as a tab";
    }
    EXPECT_EQ(ids, c.ids);
    EXPECT_EQ(document.KeyFilterNewId, c.newId);
  }
  const std::vector<_KEYFILTER_INFO> table = DefaultKeyFilters();
  ASSERT_EQ(table.size(), 5u);
  const struct {
    const wchar_t* name;
    UINT keyTypes;
    UINT keySize;
  } expected[] = {{L"Mifare (4 UId)", 0x3FFE00, 4},
                  {L"Mifare (7 UId)", 0x3FFE00, 7},
                  {L"Em-Marine,RK-73", 0x72, 0},
                  {L"HID", 0x4, 0},
                  {L"iCode", 0x8, 0}};
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].Name, expected[i].name);
    EXPECT_EQ(table[i].KeyTypes, expected[i].keyTypes) << i;
    EXPECT_EQ(table[i].KeySize, expected[i].keySize) << i;
    EXPECT_EQ(table[i].FormatId, 0u) << i;
  }
}

// --- Every registry value

// Each registry-part field as text, by name.
FIELD_TEXTS RegistryFields(const CAppSettings& d) {
  auto n = [](UINT v) { return std::to_wstring(v); };
  auto mifare = [&](const _MIFAREREAD_INFO& m) {
    std::wstring key;
    for (BYTE i = 0; i < m.AuthKey.Length; ++i) key += n(m.AuthKey.Data[i]) + L".";
    return n(m.Enabled) + L"," + n(m.Sect) + L"," + n(m.Block) + L"," + n(m.Flags) + L"," + n(m.Mask) + L"," +
           key;
  };
  std::wstring scan, ports, sounds;
  for (UINT p : d.Temic.ScanParams) scan += n(p) + L";";
  for (const std::wstring& p : d.AdditionalPorts) ports += p + L";";
  for (const std::wstring& s : d.SoundFiles) sounds += s + L";";
  std::wstring filters;
  for (const _KEYFILTER_INFO& f : d.keyFilters) {
    filters +=
        n(f.Id) + L"," + f.Name + L"," + n(f.KeyTypes) + L"," + n(f.KeySize) + L"," + n(f.FormatId) + L";";
  }
  return {
      {"Portname", d.Portname},
      {"Model", n(d.Model)},
      {"Speed", n(d.Speed)},
      {"StopBits", n(d.StopBits)},
      {"ReaderFlags", n(d.ReaderFlags)},
      {"LogLevel", n(d.LogLevel)},
      {"LogMaxSize", n(d.LogMaxSize)},
      {"ExternalEvents", n(d.extEventsEnabled) + L"," + n(d.ExternalEventFlags)},
      {"ConnectTimeout", n(d.ConnectTimeout)},
      {"ReqTimeout", n(d.ReqTimeout)},
      {"ReqTries", n(d.ReqTries)},
      {"ConnectPeriod", n(d.ConnectPeriod)},
      {"RxPeriod", n(d.RxPeriod)},
      {"FormatId", n(d.FormatId)},
      {"Prefix", n(d.Prefix)},
      {"Suffix", n(d.Suffix)},
      {"SettingFlags", n(d.SettingFlags)},
      {"SearchFlags", n(d.SearchFlags)},
      {"FindIpTimeout", n(d.FindIpTimeout)},
      {"FindIpTries", n(d.FindIpTries)},
      {"AdditionalPorts", ports},
      {"KeyTypes", n(d.KeyTypes)},
      {"IdentKeyDelay", n(d.IdentKeyDelay)},
      {"DelayKeyTypes", n(d.DelayKeyTypes)},
      {"MifareC", mifare(d.MifareC)},
      {"MifareP", mifare(d.MifareP)},
      {"MifareUL", n(d.MifareUL.Enabled) + L"," + n(d.MifareUL.Page) + L"," + n(d.MifareUL.Count)},
      {"Temic", n(d.Temic.Enabled) + L"," + n(d.Temic.Flags) + L"," + scan + L"," + n(d.Temic.Block) + L"," +
                    n(d.Temic.Count) + L"," + n(d.Temic.Password)},
      {"SoundEnabled", n(d.SoundEnabled)},
      {"SoundFiles", sounds},
      {"DefaultFormatId", n(d.DefaultFormatId)},
      {"KeyFilters", filters},
      {"KeyFilterNewId", n(d.KeyFilterNewId)},
      {"KeyFilterSortCol", n(d.KeyFilterSortCol)},
  };
}

void SetEveryRegistryField(CAppSettings& d) {
  d.Portname = L"COM7";
  d.Model = 5;
  d.Speed = 19200;
  d.StopBits = 2;
  d.ReaderFlags = RDF_WIEGAND | RDF_NVT;
  d.LogLevel = 4;
  d.LogMaxSize = 12;
  d.extEventsEnabled = true;
  d.ExternalEventFlags = EEF_NO_CARD | EEF_COMMAND;
  d.ConnectTimeout = 1111;
  d.ReqTimeout = 2222;
  d.ReqTries = 5;
  d.ConnectPeriod = 3333;
  d.RxPeriod = 4444;
  d.FormatId = 21;
  d.Prefix = 2;
  d.Suffix = 10;
  d.SettingFlags = STF_SAVE_AT_END;
  d.SearchFlags = 0x31;
  d.FindIpTimeout = 5555;
  d.FindIpTries = 3;
  d.AdditionalPorts = {L"COM9", L"10.0.0.1:4001"};
  d.KeyTypes = 0x1FF;
  d.IdentKeyDelay = 250;
  d.DelayKeyTypes = DKT_MIFARE_UL | DKT_TEMIC;
  const BYTE key[] = {1, 2, 3, 4, 5, 6};
  d.MifareC = {true, 3, 2, 1, 0xFF, {}};
  MakeAuthKey(key, 6, d.MifareC.AuthKey);
  const BYTE longKey[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 8, 9, 10, 11, 12, 13, 14, 15};
  d.MifareP = {true, 5, 0, 2, 0xFFFF0000, {}};
  MakeAuthKey(longKey, 16, d.MifareP.AuthKey);
  d.MifareUL = {true, 8, 3};
  d.Temic.Enabled = true;
  d.Temic.Flags = TF_DATA | TF_PASSWORD;
  d.Temic.ScanParams = {0x102, 0x3E80001};
  d.Temic.Block = 3;
  d.Temic.Count = 2;
  d.Temic.Password = 0x1234;
  d.SoundEnabled = true;
  for (size_t i = 0; i < SOUND_COUNT; ++i) d.SoundFiles[i] = L"C:\\Sounds\\" + std::to_wstring(i) + L".wav";
  d.DefaultFormatId = 22;
  // The registry lists the items by key name (Item12 before Item3): ids in that order keep the list's.
  d.keyFilters = {{3, L"Only HID", 0x4, 6, 1, 21}, {7, L"Rest", 0x3FFFFF, 0, 1, 22}};
  d.KeyFilterNewId = 13;
  d.KeyFilterSortCol = 3;
  d.formats = {MakeFormat(21, L"Readers"), MakeFormat(22, L"Default")};
}

TEST_F(AppSettingsTest, EveryRegistryValueIsSavedAndLoadedAndThePortsStayAlone) {
  RawKey(L"Ports\\COM5").Sz(L"DeviceId", L"USB\\VID_0403");
  const std::wstring portsBefore = DumpRegistryTree(HKEY_CURRENT_USER, (kKeyPath + L"\\Ports").c_str());

  CAppSettings saved;
  SetEveryRegistryField(saved);
  saved.SetSettingsModified(true);
  saved.SaveSettings();
  EXPECT_FALSE(saved.settingsModified);
  EXPECT_EQ(DumpRegistryTree(HKEY_CURRENT_USER, (kKeyPath + L"\\Ports").c_str()), portsBefore);

  CAppSettings loaded;
  loaded.SetSettingsModified(true);
  loaded.LoadSettings();
  EXPECT_FALSE(loaded.settingsModified);
  const CAppSettings defaults;
  ExpectEveryFieldBack(RegistryFields(saved), RegistryFields(loaded), RegistryFields(defaults));
  EXPECT_EQ(IdsAndNames(loaded.formats), (std::vector<std::wstring>{L"21:Readers", L"22:Default"}));
  EXPECT_EQ(DumpRegistryTree(HKEY_CURRENT_USER, (kKeyPath + L"\\Ports").c_str()), portsBefore);
}

TEST_F(AppSettingsTest, ExternalEventsSwitchedOffKeepTheirFlagsInTheDocumentOnly) {
  CAppSettings saved;
  saved.extEventsEnabled = false;
  saved.ExternalEventFlags = EEF_DEVICE_CONNECT | EEF_NO_CARD;
  saved.SaveSettings();
  DWORD stored = 0xFFFF;
  DWORD bytes = sizeof stored;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kKeyPath.c_str(), L"ExternalEventFlags", RRF_RT_REG_DWORD,
                         nullptr, &stored, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(stored, 0u);

  CAppSettings loaded;
  loaded.extEventsEnabled = true;
  loaded.ExternalEventFlags = EEF_COMMAND;
  loaded.LoadSettings();
  EXPECT_FALSE(loaded.extEventsEnabled);
  EXPECT_EQ(loaded.ExternalEventFlags, UINT(EEF_COMMAND));
}

TEST_F(AppSettingsTest, ResetSettingsLeavesWhatBelongsElsewhere) {
  CAppSettings document;
  SetEveryRegistryField(document);
  document.hive = 1;
  document.legacyNames = true;
  document.settingsModified = true;
  const auto formats = IdsAndNames(document.formats);
  const std::vector<_KEYFILTER_INFO> filters = document.keyFilters;
  document.ResetSettings();
  const CAppSettings defaults;
  const auto after = RegistryFields(document);
  const auto initial = RegistryFields(defaults);
  const std::set<std::string> untouched = {"AdditionalPorts", "KeyFilters", "KeyFilterNewId",
                                           "KeyFilterSortCol"};
  for (size_t i = 0; i < after.size(); ++i) {
    if (untouched.count(after[i].first)) {
      EXPECT_NE(after[i].second, initial[i].second) << after[i].first;
    } else {
      EXPECT_EQ(after[i].second, initial[i].second) << after[i].first;
    }
  }
  EXPECT_EQ(document.hive, 1);
  EXPECT_TRUE(document.legacyNames);
  EXPECT_FALSE(document.settingsModified);
  EXPECT_EQ(IdsAndNames(document.formats), formats);
  EXPECT_EQ(document.keyFilters.size(), filters.size());
}

// --- Setters and hints

TEST_F(AppSettingsTest, SettersTellEveryViewButTheSender) {
  struct Case {
    const char* title;
    std::function<void(CAppSettings&)> change;
    uint64_t hints;  // what the other view receives; the sender receives nothing
    UINT detail;
  };
  const Case cases[] = {
      {"the same sound file", [](CAppSettings& d) { d.SetSoundFile(2, L""); }, 0, 0},
      {"another sound file", [](CAppSettings& d) { d.SetSoundFile(2, L"x.wav"); },
       HINT_SOUND_FILES | HINT_SETTINGS_MODIFIED | HINT_CONFIG_MODIFIED, 0},
      {"the readers' format", [](CAppSettings& d) { d.SetFormatId(7); },
       HINT_CONNECTION | HINT_SETTINGS_MODIFIED, 0},
      {"the default format", [](CAppSettings& d) { d.SetDefaultFormatId(7); },
       HINT_FORMAT_USAGE | HINT_SETTINGS_MODIFIED, 0},
      {"key types", [](CAppSettings& d) { EXPECT_TRUE(d.SetKeyTypes(0x2)); }, HINT_SETTINGS_MODIFIED, 0},
      {"the same key types", [](CAppSettings& d) { EXPECT_FALSE(d.SetKeyTypes(KEY_TYPES_ALL)); }, 0, 0},
      {"a Mifare mask", [](CAppSettings& d) { d.SetMifarePMask(0xF0); }, HINT_SETTINGS_MODIFIED, 0},
      {"the formats filter", [](CAppSettings& d) { d.SetFormatsFilter(3); },
       HINT_VIEW_OPTIONS | HINT_CONFIG_MODIFIED, VIEW_DETAIL_FMT_FILTER},
      {"formats view flags", [](CAppSettings& d) { d.SetFormatsViewFlags(FORMATS_VIEW_HIDDEN, true); },
       HINT_VIEW_OPTIONS | HINT_CONFIG_MODIFIED, VIEW_DETAIL_FORMATS_VIEW_FLAGS},
      {"formats view flags already so",
       [](CAppSettings& d) { d.SetFormatsViewFlags(FORMATS_VIEW_PRESETS, true); }, 0, 0},
      {"key filters, the filtered one gone",
       [](CAppSettings& d) {
         d.fmtFilter = 4;
         d.keyFilters.erase(d.keyFilters.begin() + 3);
         d.KeyFiltersChanged();
       },
       HINT_KEY_FILTERS | HINT_SETTINGS_MODIFIED | HINT_VIEW_OPTIONS | HINT_CONFIG_MODIFIED,
       VIEW_DETAIL_FMT_FILTER},
      {"key filters, the filtered one kept",
       [](CAppSettings& d) {
         d.fmtFilter = 4;
         d.KeyFiltersChanged();
       },
       HINT_KEY_FILTERS | HINT_SETTINGS_MODIFIED, 0},
      {"confirmation flags", [](CAppSettings& d) { d.SetConfirmFlags(CONFIRM_DELETE_ITEM, false); },
       HINT_CONFIRM_FLAGS | HINT_CONFIG_MODIFIED, 0},
      {"the export type", [](CAppSettings& d) { d.SetFormatsExportType(4); }, HINT_CONFIG_MODIFIED, 0},
      {"the last key",
       [](CAppSettings& d) {
         _KEYNUM_INFO key = {2, {0x39, 0x30}};
         d.SetLastKey(1, key);
       },
       HINT_LAST_KEY | HINT_CONFIG_MODIFIED, 0},
      {"the same last key", [](CAppSettings& d) { d.SetLastKey(0, _KEYNUM_INFO{}); }, 0, 0},
      {"the formats list", [](CAppSettings& d) { d.FormatsChanged(false); },
       HINT_FORMATS | HINT_CONFIG_MODIFIED, 0},
      {"the formats list and the registry", [](CAppSettings& d) { d.FormatsChanged(true); },
       HINT_FORMATS | HINT_CONFIG_MODIFIED | HINT_SETTINGS_MODIFIED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CAppSettings document;
    HintRecorder sender(document), other(document);
    {
      _DOC_UPDATE_INFO batch(&document, &sender);
      c.change(document);
    }
    EXPECT_EQ(other.Hints, c.hints);
    EXPECT_EQ(other.Calls, c.hints ? 1 : 0);
    EXPECT_EQ(other.Detail, c.detail);
    EXPECT_EQ(sender.Hints, 0u);
    EXPECT_EQ(document.GetViewDetail(), 0u) << "the detail is published only during the delivery";
    EXPECT_EQ(document.settingsModified, (c.hints & HINT_SETTINGS_MODIFIED) != 0);
    EXPECT_EQ(document.configModified, (c.hints & HINT_CONFIG_MODIFIED) != 0);
  }
}

TEST_F(AppSettingsTest, ANewLastKeyOrFormatListMakesEverySampleStale) {
  struct Case {
    const char* title;
    std::function<void(CAppSettings&)> change;
    bool stale;
  };
  const Case cases[] = {
      {"last key",
       [](CAppSettings& d) {
         d.SetLastKey(1, _KEYNUM_INFO{1, {5}});
       },
       true},
      {"format list", [](CAppSettings& d) { d.FormatsChanged(false); }, true},
      {"readers' format", [](CAppSettings& d) { d.SetFormatId(2); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CAppSettings document;
    document.formats = {MakeFormat(1, L"A", L"%u", L"b0", FORMAT_SAMPLE_VALID),
                        MakeFormat(2, L"B", L"%u", L"b0", FORMAT_SAMPLE_VALID)};
    c.change(document);
    for (const _FORMAT_INFO_EX& format : document.formats) {
      EXPECT_EQ((format.Flags & FORMAT_SAMPLE_VALID) == 0, c.stale) << format.Id;
    }
  }
}

// --- The settings key as a whole

class SettingsKeyTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    m_rootPath = L"Software\\VombraConfigTestRoot" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, m_rootPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &m_root, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(m_root);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_rootPath.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_rootPath.c_str());
    ConfiguratorTest::TearDown();
  }

  std::wstring m_rootPath;
  HKEY m_root = nullptr;
};

TEST_F(SettingsKeyTest, HasDataAndDeleteTree) {
  struct Case {
    const char* title;
    std::function<void(HKEY)> make;
    bool hasData;
  };
  const Case cases[] = {
      {"no key", [](HKEY) {}, false},
      {"an empty key", [](HKEY root) { RawKey(L"", root); }, false},
      {"a value", [](HKEY root) { RawKey(L"", root).Dword(L"Model", 3); }, true},
      {"a subkey only", [](HKEY root) { RawKey(L"Formats\\Item1", root); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    c.make(m_root);
    EXPECT_EQ(SettingsKeyHasData(m_root), c.hasData);
    EXPECT_NO_THROW(DeleteSettingsTree(m_root));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(m_root, kKeyPath.c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SettingsKeyHasData(m_root));
  }
}

}  // namespace
