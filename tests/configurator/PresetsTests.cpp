// The preset formats: the resource as shipped, the first start, the merge rules over texts of the
// tests' own, language changes, and every preset checked and a few applied by the real Vombra.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "FakeHost.h"
#include "NativeApi.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "Xml.h"

namespace {

// The presets' names in resource order (ids 1..50).
const wchar_t* const kNames[50] = {
    L"777",
    L"DALLAS",
    L"SentrelLite",
    L"SentrelSaaS, Sigur",
    L"Tarvelon защищенный",
    L"PERCo; Стражъ; пр.",
    L"PW-500 EH",
    L"PW-500 EH (с кодом кнопки)",
    L"Reader Mifare",
    L"RusSentrel",
    L"Synel SY-760",
    L"Tag-IT",
    L"WIN-PAK, режим OH для N-1000",
    L"WIN-PAK, режим Wiegand-34",
    L"WIN-PAK, стандартный режим",
    L"KD-6 A",
    L"KD-6 A 2",
    L"KD-6 A (HID)",
    L"KD-6 A (ТМ)",
    L"АРМ «Орион» (Dallas), Орион-PRO",
    L"АРМ «Орион» 7.5.2 (Wiegand)",
    L"АРМ «Орион» 7.5.2, Орион-PRO",
    L"АРМ «Орион» 7.6.3",
    L"Ангстрем (СРЧ-125)",
    L"Грифонтер; КОДОС; СШС-офис; АРМ «Орион» 7.5.1; ParsecNET; LEGOS",
    L"Десятичный (max UID8, min 10цифр)",
    L"КОНТУР, ПНФ «СТЕЛЛА»",
    L"Орион (23 бита)",
    L"ПО БАРС (HID)",
    L"ПО БАРС (Mifare)",
    L"Рексофт",
    L"Рубеж-08, ПНФ «Сигма-ИС»",
    L"СКУД \"Эра\" (rk-73)",
    L"Семь печатей (TSS)",
    L"Семь печатей (TSS) (с кодом кнопки)",
    L"Сторк (Dallas)",
    L"ШЭЛТ-ADEMANT",
    L"Шелни",
    L"Шелни (с кодом кнопки)",
    L"Шэлт",
    L"ЭВС СК-24",
    L"Эра; ProxWay; WIN-PAK; Кронверк",
    L"Orvel TemicID",
    L"BAS IP (шестнадцатеричный)",
    L"BAS IP (десятичный)",
    L"Орион (30 бит)",
    L"Орион-PRO (UID6)",
    L"Kantech",
    L"Реверс 8000",
    L"Шестнадцатеричный (max UID8)",
};

// A presets text of the tests' own: items as "<ItemN>...</ItemN>" inside the resource's layout.
std::wstring PresetsText(const std::wstring& items) {
  return L"<?xml version=\"1.0\"?><Vombra><Configurator version=\"1.1\"><Formats>" + items +
         L"</Formats></Configurator></Vombra>";
}

std::wstring Item(UINT id, const std::wstring& name, const std::wstring& templ = L"%u",
                  const std::wstring& params = L"b0") {
  const std::wstring tag = L"Item" + std::to_wstring(id);
  return L"<" + tag + L"><Name>" + name + L"</Name><Template>" + templ + L"</Template><Params>" + params +
         L"</Params><Comment>from the text</Comment><KeyFilters>5</KeyFilters></" + tag + L">";
}

// The raw RCDATA 805 of the test program.
std::string PresetsResource() {
  HRSRC resource = FindResourceExW(GetModuleHandleW(nullptr), RT_RCDATA, MAKEINTRESOURCEW(IDR_PRESET_FORMATS),
                                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (!resource) return std::string();
  HGLOBAL loaded = LoadResource(GetModuleHandleW(nullptr), resource);
  return std::string(static_cast<const char*>(LockResource(loaded)),
                     SizeofResource(GetModuleHandleW(nullptr), resource));
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
  return TRUE;
}

class PresetsTest : public ConfiguratorTest {};

// --- The resource

TEST_F(PresetsTest, TheResourceIsOneEnglishUtf8TextInTheFormatsLayout) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(GetModuleHandleW(nullptr), RT_RCDATA, MAKEINTRESOURCEW(IDR_PRESET_FORMATS),
                         CollectLanguage, LONG_PTR(&languages));
  EXPECT_EQ(languages, (std::vector<WORD>{1033}));
  const std::string bytes = PresetsResource();
  ASSERT_GT(bytes.size(), 3u);
  EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_NE(bytes.find("<Name>СКУД &quot;Эра&quot; (rk-73)</Name>"), std::string::npos)
      << "the quotes as entities";

  std::wstring text;
  MultiByteToWide(bytes.data() + 3, bytes.size() - 3, text, CP_UTF8);
  CMemXML xml;
  xml.Parse(text.c_str(), text.size());
  const CMXNode* configurator = xml.GetRoot().FindPath(L"Vombra\\Configurator", false);
  ASSERT_NE(configurator, nullptr);
  EXPECT_EQ(configurator->GetAttribute(L"version"), L"1.1");
  const CMXNode* formats = configurator->FindChild(L"Formats");
  ASSERT_NE(formats, nullptr);
  ASSERT_EQ(formats->GetChildren().size(), 50u);
  int withKeySize = 0;
  for (size_t i = 0; i < 50; ++i) {
    const CMXNode* item = formats->GetChildren()[i];
    SCOPED_TRACE(testing::Message() << "item " << i + 1);
    EXPECT_EQ(item->GetName(), L"Item" + std::to_wstring(i + 1));
    EXPECT_TRUE(item->GetAttributes().empty()) << "no item goes to the add-in unasked";
    for (const wchar_t* element : {L"Name", L"Params", L"Template", L"Comment", L"KeyFilters"}) {
      EXPECT_NE(item->FindChild(element), nullptr) << testing::PrintToString(std::wstring(element));
    }
    if (item->FindChild(L"KeySize")) ++withKeySize;
    UINT keyFilters = 0;
    ASSERT_TRUE(StrToUInt(item->FindChild(L"KeyFilters")->GetText().c_str(), keyFilters));
    EXPECT_EQ(keyFilters & 1u, 1u) << "every preset is in the Default view";
    EXPECT_LT(keyFilters, 128u) << "only the six filters of the resource";
  }
  EXPECT_EQ(withKeySize, 1);

  const CMXNode* filters = configurator->FindChild(L"KeyFilters");
  ASSERT_NE(filters, nullptr);
  std::vector<_KEYFILTER_INFO> expected = DefaultKeyFilters();
  expected.push_back({6, L"Temic", 0x100, 0, 1, 0});
  ASSERT_EQ(filters->GetChildren().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const CMXNode* item = filters->GetChildren()[i];
    SCOPED_TRACE(testing::Message() << "key filter " << i + 1);
    EXPECT_EQ(item->GetAttribute(L"tabVisible"), L"1");
    EXPECT_EQ(item->FindChild(L"Name")->GetText(), expected[i].Name);
    EXPECT_EQ(item->FindChild(L"KeyTypes")->GetText(), std::to_wstring(expected[i].KeyTypes));
    EXPECT_EQ(item->FindChild(L"KeySize")->GetText(), std::to_wstring(expected[i].KeySize));
  }
}

// --- The first start

TEST_F(PresetsTest, AFirstStartGivesTheFiftyPresetsMarkedInTheUiLanguage) {
  const struct {
    LANGID language;
    const wchar_t* prefix;
  } cases[] = {{kEnglishUi, L"\n[P] "}, {kRussianUi, L"\n[П] "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    SetUILanguage(c.language);
    CAppSettings document;
    HintRecorder view(document);
    document.LoadPresetFormats(0, false);
    ASSERT_EQ(document.formats.size(), 50u);
    for (size_t i = 0; i < 50; ++i) {
      EXPECT_EQ(document.formats[i].Id, i + 1);
      EXPECT_EQ(document.formats[i].Name, c.prefix + std::wstring(kNames[i])) << i + 1;
      EXPECT_EQ(document.formats[i].Flags & ~FORMAT_MUST_STORE, 0u) << i + 1;
    }
    EXPECT_EQ(document.presetsLanguage, c.language);
    EXPECT_TRUE(document.formatsEdited);
    EXPECT_TRUE(document.configModified);
    EXPECT_TRUE(document.settingsModified);
    EXPECT_TRUE(view.Hints & HINT_FORMATS);
  }
}

TEST_F(PresetsTest, TheGivenRowsAreExact) {
  std::wstring synelParams = L"set(0,m01234567)%8";
  for (int i = 0; i < 12; ++i) synelParams += L"\r\nset(0,get(0)/8)%8";
  synelParams += L"\r\n(get(0)/8)%8";
  std::wstring synelTemplate;
  for (int i = 0; i < 14; ++i) synelTemplate += L"%d";
  const struct {
    UINT id;
    std::wstring params;
    std::wstring templ;
    UINT keyFilters;
  } rows[] = {
      {1, L"b3 b2 w01", L"%u\\t%u\\t%u", 3},
      {2, L"b6 b5 b4 b3 b2 b1 b0 bX", L"%.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X", 5},
      {4, L"b2 w01", L"%.3u,%.5u", 25},  // the add-in's own default format
      {9, L"(l012 << 8) + 0x88", L"%.10u", 7},
      {11, synelParams, synelTemplate, 63},
      {16, L"b2 w01", L"%.3u\\t%.5u", 41},
      {26, L"m01234567", L"%.10u", 63},
      {43, L"lh4EFCDA", L"000000%.6X", 65},
      {50, L"bL*2 m01234567", L"%.*X", 63},
  };
  CAppSettings document;
  document.LoadPresetFormats(0, false);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    const int index = document.FindFormatIndex(row.id);
    ASSERT_GE(index, 0);
    const _FORMAT_INFO_EX& format = document.formats[size_t(index)];
    EXPECT_EQ(format.Params, row.params);
    EXPECT_EQ(format.Template, row.templ);
    EXPECT_EQ(format.KeyFilters, row.keyFilters);
  }
  EXPECT_EQ(document.formats[1].Comment, L"Touch Memory");
}

// --- Merging

TEST_F(PresetsTest, AReloadKeepsTheTechniciansPartsAndRestoresTheFormat) {
  CAppSettings document;
  document.LoadPresetFormats(0, false);
  _FORMAT_INFO_EX& kd6 = document.formats[15];
  kd6.Comment = L"my comment";
  kd6.KeyFilters = 0x9;
  kd6.Flags |= FORMAT_SAVE_IN_VOMBRA;
  kd6.Template = L"%x";
  kd6.Params = L"b0";
  document.formats.push_back(MakeFormat(77, L"Mine"));
  document.ClearFormatIndex();
  document.LoadPresetFormats(0, false);
  ASSERT_EQ(document.formats.size(), 51u);
  const _FORMAT_INFO_EX& after = document.formats[15];
  EXPECT_EQ(after.Id, 16u);
  EXPECT_EQ(after.Comment, L"my comment");
  EXPECT_EQ(after.KeyFilters, 0x9u);
  EXPECT_TRUE(after.Flags & FORMAT_SAVE_IN_VOMBRA);
  EXPECT_EQ(after.Template, L"%.3u\\t%.5u");
  EXPECT_EQ(after.Params, L"b2 w01");
  EXPECT_EQ(document.formats.back().Name, L"Mine");
}

struct MergeCase {
  const char* title;
  std::vector<_FORMAT_INFO_EX> document;
  std::wstring text;
  bool adopt;
  std::vector<std::wstring> expected;  // IdsAndNames after the merge
};

TEST_F(PresetsTest, MergeRules) {
  const std::wstring mifareParams = L"(l012 &lt;&lt; 8) + 0x88";
  const MergeCase cases[] = {
      {"a preset the resource lost goes, a user format never",
       {MakeFormat(1, L"\n[P] Gone"), MakeFormat(2, L"\n[P] Stay"), MakeFormat(3, L"User")},
       PresetsText(Item(2, L"Stay")),
       false,
       {L"2:^[P] Stay", L"3:User"}},
      {"adopt: an old copy of a preset becomes it",
       {MakeFormat(5, L"Reader Mifare", L"%.10u", L"(l012 << 8) + 0x88")},
       PresetsText(Item(9, L"Reader Mifare", L"%.10u", mifareParams)),
       true,
       {L"5:^[P] Reader Mifare"}},
      {"adopt: another template stays a user format, the preset beside it",
       {MakeFormat(5, L"Reader Mifare", L"%u", L"(l012 << 8) + 0x88")},
       PresetsText(Item(9, L"Reader Mifare", L"%.10u", mifareParams)),
       true,
       {L"5:Reader Mifare", L"9:^[P] Reader Mifare"}},
      {"without adopt a copy stays a user format",
       {MakeFormat(5, L"Reader Mifare", L"%.10u", L"(l012 << 8) + 0x88")},
       PresetsText(Item(9, L"Reader Mifare", L"%.10u", mifareParams)),
       false,
       {L"5:Reader Mifare", L"9:^[P] Reader Mifare"}},
      {"an item whose id a user format holds gets a fresh id",
       {MakeFormat(3, L"User")},
       PresetsText(Item(3, L"Q")),
       false,
       {L"3:User", L"1:^[P] Q"}},
      {"an item whose id another preset holds gets a fresh id",
       {MakeFormat(7, L"\n[P] Y"), MakeFormat(1, L"U")},
       PresetsText(Item(7, L"X") + Item(8, L"Y")),
       false,
       {L"7:^[P] Y", L"1:U", L"2:^[P] X"}},
      {"a repeated item number",
       {},
       PresetsText(Item(4, L"A") + Item(4, L"B")),
       false,
       {L"4:^[P] A", L"1:^[P] B"}},
      {"an item in any case and one without a number",
       {},
       PresetsText(L"<iTeM6><Name>C</Name></iTeM6><Item><Name>D</Name></Item>"),
       false,
       {L"6:^[P] C", L"1:^[P] D"}},
      {"an item without a name is skipped",
       {},
       PresetsText(L"<Item6><Template>%u</Template></Item6>"),
       false,
       {}},
      {"another language's mark is renewed",
       {MakeFormat(2, L"\n[П] Z")},
       PresetsText(Item(2, L"Z")),
       false,
       {L"2:^[P] Z"}},
      {"a mark without a blank", {MakeFormat(4, L"\nW")}, PresetsText(Item(4, L"W")), false, {L"4:^[P] W"}},
      {"a broken text gives what the parser yields",
       {},
       L"<Vombra><Configurator><Formats><Item1><Name>A</Name></Item1><Item2><Name>B",
       false,
       {L"1:^[P] A"}},
      {"no Formats element: every preset goes",
       {MakeFormat(1, L"\n[P] A"), MakeFormat(2, L"U")},
       L"<Vombra/>",
       false,
       {L"2:U"}},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.title);
    CAppSettings document;
    document.formats = c.document;
    for (UINT id = 0; id < 12; ++id) document.FindFormatIndex(id);
    HintRecorder view(document);
    document.MergePresetFormats(c.text, kRussianUi, c.adopt);
    EXPECT_EQ(IdsAndNames(document.formats), c.expected);
    std::set<UINT> ids;
    for (const _FORMAT_INFO_EX& format : document.formats) {
      EXPECT_TRUE(ids.insert(format.Id).second) << format.Id;
      EXPECT_EQ(document.FindFormatIndex(format.Id), LinearIndex(document.formats, format.Id));
      EXPECT_EQ(format.Flags & FORMAT_FROM_RESOURCE, 0u) << "the working mark is gone";
    }
    EXPECT_EQ(document.presetsLanguage, kRussianUi) << "the language asked for is recorded";
    EXPECT_TRUE(document.formatsEdited);
    EXPECT_TRUE(document.settingsModified);
    EXPECT_TRUE(view.Hints & HINT_FORMATS);
  }
}

TEST_F(PresetsTest, AnUpdatedPresetKeepsItsCommentKeyFiltersFlagsAndId) {
  CAppSettings document;
  _FORMAT_INFO_EX preset = MakeFormat(12, L"\n[P] P", L"%x", L"b1", FORMAT_SAVE_IN_VOMBRA);
  preset.Comment = L"mine";
  preset.KeyFilters = 0x41;
  document.formats = {preset};
  document.MergePresetFormats(PresetsText(Item(3, L"P", L"%u", L"b0")), kEnglishUi, false);
  ASSERT_EQ(document.formats.size(), 1u);
  const _FORMAT_INFO_EX& after = document.formats[0];
  EXPECT_EQ(after.Id, 12u);
  EXPECT_EQ(after.Template, L"%u");
  EXPECT_EQ(after.Params, L"b0");
  EXPECT_EQ(after.Comment, L"mine");
  EXPECT_EQ(after.KeyFilters, 0x41u);
  EXPECT_TRUE(after.Flags & FORMAT_SAVE_IN_VOMBRA);
}

// --- Languages

TEST_F(PresetsTest, ALanguageChangeRenewsTheMarks) {
  CAppSettings document;
  document.LoadPresetFormats(0, false);
  SetUILanguage(kRussianUi);
  document.LoadPresetFormats(0, false);
  ASSERT_EQ(document.formats.size(), 50u);
  for (size_t i = 0; i < 50; ++i) {
    EXPECT_EQ(document.formats[i].Id, i + 1);
    EXPECT_EQ(document.formats[i].Name, L"\n[П] " + std::wstring(kNames[i]));
  }
  EXPECT_EQ(document.presetsLanguage, kRussianUi);
}

TEST_F(PresetsTest, ANextStartInAnotherLanguageReloadsThePresets) {
  ScratchFolder folder;
  const std::wstring path = folder / L"ConfigVombra.xml";
  {
    CAppSettings english;
    english.SetConfigPath(path.c_str());
    english.LoadPresetFormats(0, false);
    english.formats[20].Comment = L"kept";
    english.formats.push_back(MakeFormat(90, L"User"));
    english.SaveConfig(true);
  }
  struct Case {
    LANGID language;
    bool reloaded;
    const wchar_t* prefix;
  } cases[] = {{kEnglishUi, false, L"\n[P] "}, {kRussianUi, true, L"\n[П] "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    SetUILanguage(c.language);
    CAppSettings document;
    document.SetConfigPath(path.c_str());
    document.LoadConfig(true);
    ASSERT_EQ(document.formats.size(), 51u);
    EXPECT_EQ(document.formats[0].Name, c.prefix + std::wstring(kNames[0]));
    EXPECT_EQ(document.formats[20].Comment, L"kept");
    EXPECT_EQ(document.formats[50].Name, L"User");
    EXPECT_EQ(document.presetsLanguage, c.language);
    EXPECT_EQ(document.formatsEdited, c.reloaded);
    EXPECT_EQ(document.configModified, c.reloaded) << "a reload asks for the file to be saved";
  }
}

// --- The presets in the real add-in

typedef long (*GetClassObjectFn)(const WCHAR_T*, IComponentBase**);
typedef long (*DestroyObjectFn)(IComponentBase**);

// Vombra.dll as the platform would host it.
class HostedAddin {
 public:
  HostedAddin() {
    m_module = LoadLibraryW(L"Vombra.dll");
    if (!m_module) return;
    auto create = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module, "GetClassObject")));
    if (create) create(L"VombraExtension", &m_addin);
    if (m_addin) {
      m_addin->setMemManager(m_host.Memory());
      if (!m_addin->Init(m_host.Connection())) Release();
    }
  }
  ~HostedAddin() {
    Release();
    if (m_module) FreeLibrary(m_module);
  }
  HostedAddin(const HostedAddin&) = delete;
  HostedAddin& operator=(const HostedAddin&) = delete;

  bool Ready() const { return m_addin != nullptr; }

  // CheckFormat(Template, Params, Position): its answer, and the position of a fault.
  bool CheckFormat(const std::wstring& templ, const std::wstring& params, long* position) {
    tVariant args[3] = {Text(templ), Text(params), {}};
    args[2].vt = VTYPE_NULL;
    tVariant result{};
    const bool answer = m_addin->CallAsFunc(m_addin->FindMethod(L"CheckFormat"), &result, args, 3);
    *position = (args[2].vt == VTYPE_I4) ? args[2].lVal : -1;
    return answer && result.vt == VTYPE_BOOL && result.bVal;
  }

  // Format(Text, Template, Params, KeyType, Key) with the key as hexadecimal text; "<failed>" when
  // the add-in refuses.
  std::wstring Format(const std::wstring& templ, const std::wstring& params, UINT keyType,
                      const std::wstring& key) {
    tVariant args[5] = {{}, Text(templ), Text(params), {}, Text(key)};
    args[0].vt = VTYPE_NULL;
    args[3].vt = VTYPE_UI4;
    args[3].ulVal = keyType;
    tVariant result{};
    const bool answer = m_addin->CallAsFunc(m_addin->FindMethod(L"Format"), &result, args, 5);
    std::wstring text = (answer && result.bVal) ? CFakeHost::Text(args[0]) : L"<failed>";
    m_host.FreeVariant(args[0]);
    return text;
  }

 private:
  static tVariant Text(const std::wstring& text) {
    tVariant value{};
    value.vt = VTYPE_PWSTR;
    value.pwstrVal = const_cast<WCHAR_T*>(reinterpret_cast<const WCHAR_T*>(text.c_str()));
    value.wstrLen = uint32_t(text.size());
    return value;
  }

  void Release() {
    if (!m_addin) return;
    m_addin->Done();
    auto destroy =
        reinterpret_cast<DestroyObjectFn>(reinterpret_cast<void*>(GetProcAddress(m_module, "DestroyObject")));
    if (destroy) destroy(&m_addin);
    m_addin = nullptr;
  }

  CFakeHost m_host;
  HMODULE m_module = nullptr;
  IComponentBase* m_addin = nullptr;
};

class HostedPresetsTest : public PresetsTest {
 protected:
  void SetUp() override {
    PresetsTest::SetUp();
    m_document.LoadPresetFormats(0, false);
    ASSERT_EQ(m_document.formats.size(), 50u);
    m_addin.reset(new HostedAddin);
    ASSERT_TRUE(m_addin->Ready()) << "Vombra.dll must lie beside the test program";
  }
  void TearDown() override {
    m_addin.reset();
    PresetsTest::TearDown();
  }

  // The add-in reads the settings key on Init: keep other programs' tests out of it meanwhile.
  CleanSettingsKeys m_registry;
  CAppSettings m_document;
  std::unique_ptr<HostedAddin> m_addin;
};

TEST_F(HostedPresetsTest, EveryPresetPassesTheAddinsCheck) {
  for (const _FORMAT_INFO_EX& format : m_document.formats) {
    long position = -2;
    EXPECT_TRUE(m_addin->CheckFormat(format.Template, format.Params, &position))
        << format.Id << " fails at " << position;
  }
  // The check can fail: a preset with one parameter too few is refused.
  long position = 0;
  EXPECT_FALSE(m_addin->CheckFormat(m_document.formats[3].Template, L"b2", &position));
}

TEST_F(HostedPresetsTest, PresetsFormatTypicalKeysAsWorkedOutByHand) {
  // An Em-Marine key [1234] 012,12345 (bytes 39 30 0C 34 12), a 4-byte Mifare UID C3B2A104 (bytes
  // 04 A1 B2 C3), a 7-byte one 66554433221104, a 433 MHz fob with button nibble A, an iCode UID.
  const wchar_t* const kEmMarine = L"39300C3412";
  struct Case {
    UINT id;
    UINT keyType;
    const wchar_t* key;
    const wchar_t* text;
  };
  const Case cases[] = {
      {4, KT_EM_MARINE, kEmMarine, L"012,12345"},
      {16, KT_EM_MARINE, kEmMarine, L"012\t12345"},
      {15, KT_EM_MARINE, kEmMarine, L"0186073"},  // 26-bit Wiegand: parity 0, 0x0C, 0x3039, parity 1
      {28, KT_EM_MARINE, kEmMarine, L"0798777"},  // 0x0C3039 below 2^23
      {49, KT_EM_MARINE, kEmMarine, L"39300C"},
      {33, KT_EM_MARINE, kEmMarine, L"12345012"},
      {30, KT_MIFARE_1K, L"04A1B2C3", L"3283263748"},
      {32, KT_MIFARE_1K, L"04A1B2C3", L"04A1B2C3"},
      {31, KT_MIFARE_1K, L"04112233445566", L"66554433221104"},
      {45, KT_MIFARE_1K, L"04112233445566", L"28804199028494596"},
      {35, KT_COD433, L"39300C5A", L"012.12345.10"},
      {12, KT_ICODE, L"0102030405060708", L"0807060504030201"},
      {11, KT_EM_MARINE, L"53", L"32100000000000"},  // 0x53 is octal 123: its digits lowest first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const int index = m_document.FindFormatIndex(c.id);
    ASSERT_GE(index, 0);
    const _FORMAT_INFO_EX& format = m_document.formats[size_t(index)];
    EXPECT_EQ(m_addin->Format(format.Template, format.Params, c.keyType, c.key), c.text);
  }
}

}  // namespace
