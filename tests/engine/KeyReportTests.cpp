// Key reporting: the key list as a state machine (reports in, IReaderEvents calls and number texts
// out), the choice of the format and what a broken format does.
#include <windows.h>

#include <gtest/gtest.h>

#include "Core.h"
#include "Messages.h"
#include "ReaderFixture.h"

namespace {

_KEYNUM_INFO Key(std::initializer_list<BYTE> bytes) {
  _KEYNUM_INFO key = {};
  for (BYTE b : bytes) key.Data[key.Length++] = b;
  return key;
}

struct Report {
  UINT type;
  _KEYNUM_INFO uid;
  HRESULT status;
  _KEYNUM_INFO number;
};

// What the add-in would see: kind, index, and the number text (or the lost key's uid/number/text).
struct Expected {
  std::string kind;
  INT64 index;
  std::wstring text;
  std::wstring uid = L"";
  std::wstring number = L"";
  HRESULT code = 0;
};

struct ListCase {
  const char* name;
  bool temicReader;
  std::vector<Report> reports;
  std::vector<Expected> events;
  size_t keysLeft;
};

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.name; }

const _KEYNUM_INFO kNone = {};
const _KEYNUM_INFO kA = Key({0x05, 0x11, 0x22, 0x33, 0x44});
const _KEYNUM_INFO kB = Key({0x2A, 0x01});

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder; here the reader object alone, its key list fed by hand.
class KeyReportTest : public ReaderFixture {
 protected:
  void SetUp() override {
    // Format 1 prints byte 0 in decimal: its texts are worked out by hand below.
    AddFormat(1, L"%u", L"b0");
    context.DefaultFormatId = 1;
    reader.Init(&events, L"COM3");
  }
};

class KeyListTest : public KeyReportTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(KeyListTest, ReportsProduceTheseEvents) {
  const ListCase& c = GetParam();
  if (c.temicReader) reader.StatusFlags |= RSF_TEMIC;
  for (const Report& r : c.reports) {
    _KEY_INFO key;
    key.KeyType = r.type;
    key.Uid = r.uid;
    key.NumberStatus = r.status;
    key.Number = r.number;
    reader.UpdateKeyList(key, true);
  }
  auto recorded = events.Events();
  ASSERT_EQ(c.events.size(), recorded.size());
  for (size_t i = 0; i < recorded.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.events[i].kind, recorded[i].Kind);
    if (c.events[i].kind == "lost") {
      EXPECT_EQ(c.events[i].uid, recorded[i].Uid);
      EXPECT_EQ(c.events[i].number, recorded[i].Number);
    } else {
      EXPECT_EQ(c.events[i].index, recorded[i].Index);
    }
    if (c.events[i].kind == "numberError") {
      EXPECT_EQ(c.events[i].code, recorded[i].Code);
    }
    if (c.events[i].kind != "found") {
      EXPECT_EQ(c.events[i].text, recorded[i].Text);
    }
  }
  EXPECT_EQ(c.keysLeft, reader.Keys.size());
  EXPECT_EQ(0, events.CallsUnderLock());
}

std::wstring MessageOf(HRESULT code) {
  std::wstring text;
  FormatMessageText(text, AddinModule(), DWORD(code));
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyListTest,
    ::testing::Values(
        ListCase{"FoundWithoutNumberTakesTextFromUid", false, {{KT_EM_MARINE, kA, 1, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"5"}}, 1},
        ListCase{"SameKeyTwiceChangesNothing", false,
                 {{KT_EM_MARINE, kA, 1, kNone}, {KT_EM_MARINE, kA, 1, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"5"}}, 1},
        ListCase{"SameUidOtherTypeIsAnotherKey", false,
                 {{KT_EM_MARINE, kA, 1, kNone}, {KT_HID, kA, 1, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"5"}, {"found", 1, L""}, {"number", 1, L"5"}}, 2},
        ListCase{"NumberReadLaterIsAnnouncedAgain", false,
                 {{KT_MIFARE_1K, kA, 1, kNone}, {KT_MIFARE_1K, kA, 0, Key({7})}},
                 {{"found", 0, L""}, {"number", 0, L"5"}, {"number", 0, L"7"}}, 1},
        ListCase{"ValidNumberChangingToAnotherIsSilent", false,
                 {{KT_MIFARE_1K, kA, 0, Key({7})}, {KT_MIFARE_1K, kA, 0, Key({8})}},
                 {{"found", 0, L""}, {"number", 0, L"7"}}, 1},
        ListCase{"ValidNumberBecomingInvalidIsSilent", false,
                 {{KT_MIFARE_1K, kA, 0, Key({7})}, {KT_MIFARE_1K, kA, VOMBRA_E_NO_KEY, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"7"}}, 1},
        ListCase{"PendingNumberFollowsLater", false,
                 {{KT_MIFARE_1K, kA, E_PENDING, kNone}, {KT_MIFARE_1K, kA, 0, Key({9})}},
                 {{"found", 0, L""}, {"number", 0, L"9"}}, 1},
        ListCase{"FailedReadIsATransferError", false, {{KT_MIFARE_1K, kA, VOMBRA_E_KEY_AUTH, kNone}},
                 {{"found", 0, L""}, {"numberError", 0, MessageOf(VOMBRA_E_KEY_AUTH), L"", L"", VOMBRA_E_KEY_AUTH}},
                 1},
        ListCase{"NumberReadAfterFailureIsAnnounced", false,
                 {{KT_MIFARE_1K, kA, VOMBRA_E_KEY_AUTH, kNone}, {KT_MIFARE_1K, kA, 0, Key({3})}},
                 {{"found", 0, L""},
                  {"numberError", 0, MessageOf(VOMBRA_E_KEY_AUTH), L"", L"", VOMBRA_E_KEY_AUTH},
                  {"number", 0, L"3"}},
                 1},
        ListCase{"EmptyKeyLosesTheKeyWithUidAsNumber", false,
                 {{KT_EM_MARINE, kA, 1, kNone}, {0, kNone, 1, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"5"}, {"lost", -1, L"5", L"4433221105", L"4433221105"}}, 0},
        ListCase{"LostKeyCarriesItsReadNumber", false,
                 {{KT_MIFARE_1K, kB, 0, Key({0x10, 0x20})}, {0, kNone, 1, kNone}},
                 {{"found", 0, L""}, {"number", 0, L"16"}, {"lost", -1, L"16", L"012A", L"2010"}}, 0},
        ListCase{"EmptyKeyRemovesFromTheLast", false,
                 {{KT_EM_MARINE, kA, 1, kNone}, {KT_MIFARE_1K, kB, 1, kNone}, {0, kNone, 1, kNone}},
                 {{"found", 0, L""},
                  {"number", 0, L"5"},
                  {"found", 1, L""},
                  {"number", 1, L"42"},
                  {"lost", -1, L"42", L"012A", L"012A"},
                  {"lost", -1, L"5", L"4433221105", L"4433221105"}},
                 0},
        ListCase{"TemicReaderKeepsTemicKeysOnEmptyKey", true,
                 {{KT_TEMIC, kA, 1, kNone}, {KT_EM_MARINE, kB, 1, kNone}, {0, kNone, 1, kNone}},
                 {{"found", 0, L""},
                  {"number", 0, L"5"},
                  {"found", 1, L""},
                  {"number", 1, L"42"},
                  {"lost", -1, L"42", L"012A", L"012A"}},
                 1}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(KeyReportTest, WithoutEventsTheListChangesButNothingIsRaised) {
  _KEY_INFO key;
  key.KeyType = KT_EM_MARINE;
  key.Uid = kA;
  reader.UpdateKeyList(key, false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(L"5", reader.Keys[0].Text);
  reader.UpdateKeyList(_KEY_INFO(), false);
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_TRUE(events.Events().empty());
  // The found and lost lines are still written.
  std::vector<UINT> numbers;
  for (const auto& line : context.LogLines()) numbers.push_back(line.Number);
  EXPECT_EQ((std::vector<UINT>{15, 16}), numbers);
}

TEST_F(KeyReportTest, KeyReportEndsADeferredLoss) {
  reader.NoCardPending = 1;
  _KEY_INFO key;
  key.KeyType = KT_EM_MARINE;
  key.Uid = kA;
  reader.UpdateKeyList(key, true);
  EXPECT_EQ(0, reader.NoCardPending);
}

// The format choice: reader format, else the first matching filter, else the default.
struct FormatChoice {
  const char* name;
  UINT readerFormat;
  std::vector<_KEYFILTER_INFO> filters;
  UINT defaultFormat;
  UINT keyType;
  std::wstring text;
};

class FormatChoiceTest : public KeyReportTest, public ::testing::WithParamInterface<FormatChoice> {
 protected:
  void SetUp() override {
    KeyReportTest::SetUp();
    // Each format prints its own letter before byte 0, so the text names the format used.
    const wchar_t* templates[] = {L"A%u", L"B%u", L"C%u"};
    context.Formats.clear();
    for (UINT i = 0; i < 3; ++i) AddFormat(i + 1, templates[i], L"b0");
    AddFormat(4, L"", L"b0");
  }
};

_KEYFILTER_INFO Filter(UINT types, UINT size, UINT format) {
  _KEYFILTER_INFO filter;
  filter.KeyTypes = types;
  filter.KeySize = size;
  filter.FormatId = format;
  return filter;
}

TEST_P(FormatChoiceTest, ChoosesTheFormat) {
  const FormatChoice& c = GetParam();
  context.KeyFilters = c.filters;
  context.DefaultFormatId = c.defaultFormat;
  reader.SetFormatId(c.readerFormat);
  std::wstring text = L"stale";
  EXPECT_TRUE(reader.FormatKey(c.keyType, &kA, &text));  // kA: 5 bytes, byte 0 = 5
  EXPECT_EQ(c.text, text);
}

constexpr UINT kEm = 1u << KT_EM_MARINE;
constexpr UINT kHid = 1u << KT_HID;

INSTANTIATE_TEST_SUITE_P(
    Rules, FormatChoiceTest,
    ::testing::Values(
        FormatChoice{"ReaderFormatWins", 2, {Filter(kEm, 0, 3)}, 1, KT_EM_MARINE, L"B5"},
        FormatChoice{"DeletedReaderFormatGivesNoText", 9, {Filter(kEm, 0, 3)}, 1, KT_EM_MARINE, L""},
        FormatChoice{"FirstFilterOfRightSize", 0, {Filter(kEm, 6, 2), Filter(kEm, 0, 3)}, 1, KT_EM_MARINE, L"C5"},
        FormatChoice{"FilterOfExactSize", 0, {Filter(kEm, 5, 2), Filter(kEm, 0, 3)}, 1, KT_EM_MARINE, L"B5"},
        FormatChoice{"FilterOfOtherTypeIsSkipped", 0, {Filter(kHid, 0, 2)}, 3, KT_EM_MARINE, L"C5"},
        FormatChoice{"MatchingFilterWithoutFormatFallsToDefault", 0, {Filter(kEm, 0, 0), Filter(kEm, 0, 2)}, 1,
                     KT_EM_MARINE, L"A5"},
        FormatChoice{"NothingAtAll", 0, {Filter(kHid, 0, 2)}, 0, KT_EM_MARINE, L""},
        FormatChoice{"EmptyTemplate", 4, {}, 1, KT_EM_MARINE, L""}),
    [](const ::testing::TestParamInfo<FormatChoice>& info) { return std::string(info.param.name); });

TEST_F(KeyReportTest, KeyWithoutFormatIsFoundAndLogged) {
  context.DefaultFormatId = 0;
  context.LogLevel = 2;
  _KEY_INFO key;
  key.KeyType = KT_EM_MARINE;
  key.Uid = kA;
  reader.UpdateKeyList(key, true);
  EXPECT_EQ((std::vector<std::string>{"found"}), events.Kinds());
  auto lines = context.LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(19u, lines[0].Number);
  EXPECT_EQ(1u, lines[0].Level);
}

TEST_F(KeyReportTest, SetFormatIdLogsOnlyAChange) {
  reader.SetFormatId(5);
  reader.SetFormatId(5);
  auto lines = context.LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(20u, lines[0].Number);
  EXPECT_EQ(L"The format for the reader is set, ID = 5.", lines[0].Text);
}

class BadFormatTest : public KeyReportTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(BadFormatTest, OneReaderErrorAndOneTransferErrorPerKey) {
  context.Formats[0].Params = GetParam();
  for (const _KEYNUM_INFO& uid : {kA, kB}) {
    _KEY_INFO key;
    key.KeyType = KT_EM_MARINE;
    key.Uid = uid;
    reader.UpdateKeyList(key, true);
  }
  auto recorded = events.Events();
  ASSERT_EQ((std::vector<std::string>{"error", "found", "numberError", "error", "found", "numberError"}),
            events.Kinds());
  for (size_t i : {0u, 3u}) {
    EXPECT_TRUE(FAILED(recorded[i].Code));
    EXPECT_EQ(recorded[i].Code, recorded[i + 2].Code);
    EXPECT_EQ(INT64(i / 3), recorded[i + 2].Index);
  }
  EXPECT_EQ(L"", reader.Keys[0].Text);
}

TEST_F(KeyReportTest, FormatErrorLeavesAPendingCommandRunning) {
  context.Formats[0].Params = L"b0 / (b1 - b1)";
  auto command = std::make_shared<_CMD_INFO>();
  reader.Command = command;
  reader.CommandStatus = E_PENDING;
  _KEY_INFO key;
  key.KeyType = KT_EM_MARINE;
  key.Uid = kA;
  reader.UpdateKeyList(key, true);
  EXPECT_EQ(1u, events.Count("error"));
  EXPECT_EQ(0u, events.Count("command"));
  EXPECT_EQ(E_PENDING, reader.CommandStatus.load());
}

INSTANTIATE_TEST_SUITE_P(Formats, BadFormatTest, ::testing::Values(L"b0 / (b1 - b1)", L"b0 +", L"nosuchname"));

}  // namespace
