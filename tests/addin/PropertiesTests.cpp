// The 48 properties as the host sees them: a value in (type and content) gives an answer, a last
// error, a value read back and a mark of the changed settings part. Expected values are the
// documented defaults and hand-worked bit and byte arithmetic.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "AddinLog.h"
#include "AddinModule.h"
#include "Core.h"
#include "FakeHost.h"
#include "Vombra.h"

namespace {

constexpr HRESULT kParamType = HRESULT(0x80040202);
constexpr HRESULT kInvalidArg = HRESULT(0x80070057);
constexpr HRESULT kEarlierError = HRESULT(0x80040215);

tVariant Bool(bool truth) {
  tVariant v{};
  v.bVal = truth;
  v.vt = VTYPE_BOOL;
  return v;
}

tVariant I4(int32_t n) {
  tVariant v{};
  v.lVal = n;
  v.vt = VTYPE_I4;
  return v;
}

tVariant UI4(uint32_t n) {
  tVariant v{};
  v.ulVal = n;
  v.vt = VTYPE_UI4;
  return v;
}

tVariant I8(int64_t n) {
  tVariant v{};
  v.llVal = n;
  v.vt = VTYPE_I8;
  return v;
}

tVariant UI8(uint64_t n) {
  tVariant v{};
  v.ullVal = n;
  v.vt = VTYPE_UI8;
  return v;
}

// The add-in copies what it keeps, so a value may point at a literal.
tVariant Str(const wchar_t* text) {
  tVariant v{};
  v.pwstrVal = const_cast<WCHAR_T*>(text);
  v.wstrLen = uint32_t(wcslen(text));
  v.vt = VTYPE_PWSTR;
  return v;
}

tVariant Bytes(VARIANT_TYPE type, const char* data, uint32_t length) {
  tVariant v{};
  v.pstrVal = const_cast<char*>(data);
  v.strLen = length;
  v.vt = type;
  return v;
}

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
    addin.SetError(kEarlierError, L"earlier");
  }

  // Reads a property into an owned copy: the type and, for texts, the text.
  struct Read {
    bool Answer = false;
    uint16_t Type = VTYPE_EMPTY;
    uint32_t Number = 0;  // BOOL as 0/1, I4 and UI4 as their 32 bits
    std::wstring Text;
  };
  Read Get(long number) {
    Read read;
    tVariant value{};
    read.Answer = addin.GetPropVal(number, &value);
    read.Type = value.vt;
    if (value.vt == VTYPE_BOOL) read.Number = value.bVal ? 1 : 0;
    if (value.vt == VTYPE_I4 || value.vt == VTYPE_UI4) read.Number = value.ulVal;
    if (value.vt == VTYPE_PWSTR) read.Text = CFakeHost::Text(value);
    host.FreeVariant(value);
    return read;
  }
  bool Set(long number, tVariant value) { return addin.SetPropVal(number, &value); }

  void ExpectRefused(long number, const tVariant& value, HRESULT code) {
    EXPECT_FALSE(Set(number, value));
    EXPECT_EQ(addin.LastError, code);
    EXPECT_TRUE(addin.LastErrorText.empty()) << "a refused value empties the text";
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

// --- Numbers and truth values: one table over every property of that kind.

struct NumberCase {
  const char* Name;
  long Prop;
  tVariant In;
  HRESULT Error;  // S_OK: accepted
  uint16_t ReadType;
  uint32_t ReadValue;
  UINT Mark;
};

void PrintTo(const NumberCase& c, std::ostream* out) { *out << c.Name; }

const NumberCase kNumberCases[] = {
    // Search flags, default 0x2E: the standard ports bit is clear, the others of the table set.
    {"SearchStandardOn", 0, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"SearchVirtualOff", 1, Bool(false), S_OK, VTYPE_BOOL, 0, 1},
    {"SearchCcidAlreadyOn", 2, Bool(true), S_OK, VTYPE_BOOL, 1, 0},
    {"SearchIpOn", 3, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    // A truth value is the first byte only: 0x100 is false.
    {"SearchIpFirstByteZero", 3, I4(0x100), S_OK, VTYPE_BOOL, 0, 0},
    {"SearchCcidOffByNumber", 2, UI4(0), S_OK, VTYPE_BOOL, 0, 1},
    {"FindIpTimeout", 4, UI4(5000), S_OK, VTYPE_UI4, 5000, 1},
    {"FindIpTimeoutUnchanged", 4, UI4(3000), S_OK, VTYPE_UI4, 3000, 0},
    {"FindIpTries", 5, I4(3), S_OK, VTYPE_I4, 3, 1},
    // A number is the first 32 bits whatever the type: 0x1_00000004 gives 4.
    {"FindIpTriesFromI8", 5, I8(0x100000004LL), S_OK, VTYPE_I4, 4, 1},
    {"ModelTwelve", 7, I4(12), S_OK, VTYPE_I4, 12, 1},
    {"ModelThirteen", 7, I4(13), kInvalidArg, VTYPE_I4, 0, 0},
    {"ModelMinusOne", 7, I4(-1), kInvalidArg, VTYPE_I4, 0, 0},
    {"Speed", 8, I4(9600), S_OK, VTYPE_I4, 9600, 1},
    {"StopBits", 9, I4(2), S_OK, VTYPE_I4, 2, 1},
    {"ConnectTimeoutUnchanged", 10, I4(10000), S_OK, VTYPE_I4, 10000, 0},
    {"ConnectPeriod", 11, I4(500), S_OK, VTYPE_I4, 500, 1},
    {"RxPeriodUnchanged", 12, I4(-1), S_OK, VTYPE_I4, 0xFFFFFFFF, 0},
    {"RxPeriod", 12, UI4(250), S_OK, VTYPE_I4, 250, 1},
    {"RequestTimeout", 13, I4(100), S_OK, VTYPE_I4, 100, 1},
    {"RequestTries", 14, I4(5), S_OK, VTYPE_I4, 5, 1},
    // Connection flags, default 0x16: binary, different codes and NVT set, Wiegand clear.
    {"WiegandOn", 15, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"BinaryAlreadyOn", 16, Bool(true), S_OK, VTYPE_BOOL, 1, 0},
    {"DifferentCodesOff", 17, Bool(false), S_OK, VTYPE_BOOL, 0, 1},
    {"NvtOff", 18, Bool(false), S_OK, VTYPE_BOOL, 0, 1},
    {"ReaderFormatId", 19, UI4(7), S_OK, VTYPE_UI4, 7, 1},
    {"PrefixNoneUnchanged", 20, I4(-1), S_OK, VTYPE_I4, 0xFFFFFFFF, 0},
    {"PrefixZero", 20, I4(0), S_OK, VTYPE_I4, 0, 1},
    {"Prefix127", 20, I4(127), S_OK, VTYPE_I4, 127, 1},
    {"Prefix128", 20, I4(128), kInvalidArg, VTYPE_I4, 0xFFFFFFFF, 0},
    {"PrefixMinusTwo", 20, I4(-2), kInvalidArg, VTYPE_I4, 0xFFFFFFFF, 0},
    {"SuffixNone", 21, I4(-1), S_OK, VTYPE_I4, 0xFFFFFFFF, 1},
    {"SuffixUnchanged", 21, I4(13), S_OK, VTYPE_I4, 13, 0},
    {"Suffix200", 21, I4(200), kInvalidArg, VTYPE_I4, 13, 0},
    {"LogLevelFive", 22, I4(5), S_OK, VTYPE_I4, 5, 1},
    {"LogLevelSeven", 22, I4(7), kInvalidArg, VTYPE_I4, 0, 0},
    {"MaxLogSize", 23, UI4(10), S_OK, VTYPE_UI4, 10, 1},
    {"DefaultFormatIdMarksTheLists", 24, UI4(3), S_OK, VTYPE_UI4, 3, 2},
    {"DefaultFormatIdUnchanged", 24, UI4(0), S_OK, VTYPE_UI4, 0, 0},
    {"KeyTypes", 25, UI4(0x6), S_OK, VTYPE_UI4, 0x6, 1},
    {"KeyHoldTimeout", 26, I4(0), S_OK, VTYPE_I4, 0, 1},
    {"HoldMifareC", 27, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"HoldMifareP", 28, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"HoldMifareUL", 29, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"HoldTemic", 30, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"HoldTemicAlreadyOff", 30, Bool(false), S_OK, VTYPE_BOOL, 0, 0},
    {"AutoMifareC", 32, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"AutoMifareP", 33, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"AutoMifareUL", 34, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"AutoTemic", 35, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"AutoTemicAlreadyOff", 35, Bool(false), S_OK, VTYPE_BOOL, 0, 0},
    {"AutoMifareCFirstByteOnly", 32, I4(0x200), S_OK, VTYPE_BOOL, 0, 0},
    {"SoundEnabled", 36, Bool(true), S_OK, VTYPE_BOOL, 1, 1},
    {"SoundEnabledByByte", 36, I4(2), S_OK, VTYPE_BOOL, 1, 1},
    {"SettingsModifiedTrueMarksAll", 43, Bool(true), S_OK, VTYPE_BOOL, 1, 7},
    {"SettingsModifiedFalse", 43, Bool(false), S_OK, VTYPE_BOOL, 0, 0},
};

class NumberProperties : public PropertiesTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberProperties, AnswerLastErrorReadBackAndMark) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(Set(c.Prop, c.In), c.Error == S_OK);
  if (c.Error == S_OK) {
    EXPECT_EQ(addin.LastError, kEarlierError) << "success leaves the last error";
    EXPECT_EQ(addin.LastErrorText, L"earlier");
  } else {
    EXPECT_EQ(addin.LastError, c.Error);
    EXPECT_TRUE(addin.LastErrorText.empty());
  }
  Read read = Get(c.Prop);
  EXPECT_TRUE(read.Answer);
  EXPECT_EQ(read.Type, c.ReadType);
  EXPECT_EQ(read.Number, c.ReadValue);
  EXPECT_EQ(addin.ModifiedParts, c.Mark);
}

INSTANTIATE_TEST_SUITE_P(Table, NumberProperties, ::testing::ValuesIn(kNumberCases),
                         [](const ::testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.Name); });

// --- A flag property changes its own bit of the word and no other.

struct FlagCase {
  const char* Name;
  long Prop;
  bool On;
  UINT (*Word)(const CVombra&);
  UINT Expected;
};

void PrintTo(const FlagCase& c, std::ostream* out) { *out << c.Name; }

UINT SearchWord(const CVombra& a) { return a.SearchFlags; }
UINT LiveFlags(const CVombra& a) { return a.LiveParams.Flags; }
UINT SavedFlags(const CVombra& a) { return a.SavedParams.Flags; }
UINT HoldWord(const CVombra& a) { return a.DelayKeyTypes; }

const FlagCase kFlagCases[] = {
    {"StandardComOn", 0, true, SearchWord, 0x2F},
    {"VirtualComOff", 1, false, SearchWord, 0x2C},
    {"CcidOff", 2, false, SearchWord, 0x0E},
    {"IpOn", 3, true, SearchWord, 0x3E},
    {"WiegandOnLive", 15, true, LiveFlags, 0x17},
    {"WiegandOnSaved", 15, true, SavedFlags, 0x17},
    {"BinaryOff", 16, false, LiveFlags, 0x14},
    {"DifferentCodesOff", 17, false, SavedFlags, 0x12},
    {"NvtOff", 18, false, LiveFlags, 0x06},
    {"HoldMifareC", 27, true, HoldWord, 0x1},
    {"HoldMifareP", 28, true, HoldWord, 0x2},
    {"HoldMifareUL", 29, true, HoldWord, 0x4},
    {"HoldTemic", 30, true, HoldWord, 0x8},
};

class FlagProperties : public PropertiesTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagProperties, TouchOnlyTheirBit) {
  const FlagCase& c = GetParam();
  ASSERT_TRUE(Set(c.Prop, Bool(c.On)));
  EXPECT_EQ(c.Word(addin), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FlagProperties, ::testing::ValuesIn(kFlagCases),
                         [](const ::testing::TestParamInfo<FlagCase>& info) { return std::string(info.param.Name); });

// --- Connection parameters: live always, stored and marked only when the stored value differs.

TEST_F(PropertiesTest, PortChangesLiveAndStoredAndMarksOnlyTheFirstTime) {
  ASSERT_TRUE(Set(6, Str(L"COM5")));
  EXPECT_EQ(addin.LiveParams.Port, L"COM5");
  EXPECT_EQ(addin.SavedParams.Port, L"COM5");
  EXPECT_EQ(addin.ModifiedParts, 1u);
  EXPECT_EQ(Get(6).Text, L"COM5");

  addin.ModifiedParts = 0;
  ASSERT_TRUE(Set(6, Str(L"COM5")));
  EXPECT_EQ(addin.ModifiedParts, 0u);

  ASSERT_TRUE(Set(6, Str(L"")));
  EXPECT_EQ(addin.SavedParams.Port, L"") << "an empty port is allowed";
  EXPECT_EQ(addin.ModifiedParts, 1u);
}

TEST_F(PropertiesTest, PortRefusesEveryTypeButAWideText) {
  for (const tVariant& value : {I4(5), Bool(true), Bytes(VTYPE_PSTR, "COM5", 4), tVariant{}}) {
    ExpectRefused(6, value, kParamType);
  }
  EXPECT_EQ(addin.LiveParams.Port, L"Auto");
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(PropertiesTest, ConnectionValueEqualToTheStoredOneUpdatesOnlyTheLiveCopy) {
  // As after SetParameter, which changes the live copy alone.
  addin.SavedParams.Speed = 9600;
  addin.LiveParams.Speed = 1200;
  addin.LiveParams.Flags = 0x17;
  ASSERT_TRUE(Set(8, I4(9600)));
  EXPECT_EQ(addin.LiveParams.Speed, 9600u);
  EXPECT_EQ(Get(8).Number, 9600u);
  ASSERT_TRUE(Set(15, Bool(false)));  // Wiegand: live had it, stored did not
  EXPECT_EQ(addin.LiveParams.Flags, 0x16u);
  EXPECT_EQ(addin.SavedParams.Flags, 0x16u);
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(PropertiesTest, ReadingShowsTheLiveParameters) {
  addin.LiveParams.Model = 9;
  addin.SavedParams.Model = 4;
  addin.LiveParams.Port = L"127.0.0.1:7000";
  EXPECT_EQ(Get(7).Number, 9u);
  EXPECT_EQ(Get(6).Text, L"127.0.0.1:7000");
}

TEST_F(PropertiesTest, SettingsModifiedKeepsTheMarksWhileTheyAgree) {
  addin.ModifiedParts = SP_LISTS;
  ASSERT_TRUE(Set(43, Bool(true)));
  EXPECT_EQ(addin.ModifiedParts, UINT(SP_LISTS)) << "already marked: no change";
  EXPECT_EQ(Get(43).Number, 1u);
  ASSERT_TRUE(Set(43, Bool(false)));
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

// --- Counts, read-only and unknown numbers.

TEST_F(PropertiesTest, CountsFollowTheLists) {
  addin.Formats.resize(3);
  addin.KeyFilters.resize(2);
  Read formats = Get(44);
  Read filters = Get(45);
  EXPECT_EQ(formats.Type, VTYPE_I4);
  EXPECT_EQ(formats.Number, 3u);
  EXPECT_EQ(filters.Type, VTYPE_I4);
  EXPECT_EQ(filters.Number, 2u);
}

TEST_F(PropertiesTest, ReadOnlyAndUnknownNumbersChangeNothingNotEvenTheLastError) {
  for (long number : {44L, 45L, 48L, -1L, 1000L}) {
    EXPECT_FALSE(Set(number, I4(1))) << number;
    EXPECT_EQ(addin.LastError, kEarlierError) << number;
    EXPECT_EQ(addin.LastErrorText, L"earlier") << number;
  }
  EXPECT_EQ(addin.ModifiedParts, 0u);
  for (long number : {48L, -1L}) EXPECT_FALSE(Get(number).Answer) << number;
}

TEST_F(PropertiesTest, ATextThatCannotBeMadeIsReportedAndAnswersFalse) {
  host.FailAllocations = true;
  for (long number : {6L, 31L, 37L, 46L}) {
    EXPECT_FALSE(Get(number).Answer) << number;
    EXPECT_EQ(addin.LastError, E_FAIL) << number;
    EXPECT_FALSE(addin.LastErrorText.empty()) << number;
  }
  std::vector<FakeHostError> errors = host.Errors();
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0].Scode, E_FAIL);
  EXPECT_EQ(host.OutstandingBlocks(), 0u);
}

// --- The Temic scan list as text.

struct ScanCase {
  const char* Name;
  const wchar_t* In;
  bool Accepted;
  const wchar_t* ReadBack;
  UINT Mark;
};

void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.Name; }

const ScanCase kScanCases[] = {
    {"TwoEntries", L"3,1;7,2,500", true, L"3,1,0;7,2,500;", 1},
    {"BadLastPieceKeepsTheFirst", L"3,1;7", false, L"3,1,0;", 0},
    {"BadFirstPieceEmptiesTheList", L"7;3,1", false, L"", 0},
    {"EmptyTextEmptiesTheList", L"", true, L"", 1},
    {"EmptyPiecesAreSkipped", L";;4,5;;", true, L"4,5,0;", 1},
    // 300 & 0xFF = 44; -1 & 0xFF = 255; 65535 fills bits 16-31.
    {"ParametersAreBytes", L"300,-1,65535", true, L"44,255,65535;", 1},
    {"BlanksBeforeNumbers", L" 2, 9 ,1", true, L"2,9,0;", 1},
    {"BlankBeforeTheCommaEndsThePiece", L"2 ,9", false, L"", 0},
    {"TrailingTextIgnored", L"1,2,3x;4,5", true, L"1,2,3;4,5,0;", 1},
    {"TheDefaultListWrittenBack", L"2,0,0;1,1,0;2,1,0;1,0,0;255,0,1000;", true,
     L"2,0,0;1,1,0;2,1,0;1,0,0;255,0,1000;", 1},
};

class TemicScanProperty : public PropertiesTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(TemicScanProperty, ParsesAndReadsBack) {
  const ScanCase& c = GetParam();
  EXPECT_EQ(Set(31, Str(c.In)), c.Accepted);
  EXPECT_EQ(addin.LastError, c.Accepted ? kEarlierError : kInvalidArg);
  Read read = Get(31);
  EXPECT_EQ(read.Type, VTYPE_PWSTR);
  EXPECT_EQ(read.Text, c.ReadBack);
  EXPECT_EQ(addin.ModifiedParts, c.Mark);
}

INSTANTIATE_TEST_SUITE_P(Table, TemicScanProperty, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.Name); });

TEST_F(PropertiesTest, TemicScanListDefaultAndEntries) {
  EXPECT_EQ(Get(31).Text, L"2,0,0;1,1,0;2,1,0;1,0,0;255,0,1000;");
  ASSERT_TRUE(Set(31, Str(L"3,1;7,2,500")));
  // (3 | 1 << 8) and (7 | 2 << 8 | 500 << 16).
  EXPECT_EQ(addin.Temic.ScanParams, (std::vector<UINT>{0x0103, 0x01F40207}));
}

TEST_F(PropertiesTest, TemicScanListRefusesANumber) {
  ExpectRefused(31, I4(3), kParamType);
  EXPECT_EQ(addin.Temic.ScanParams.size(), 5u);
}

// --- The authentication keys.

struct KeyCase {
  const char* Name;
  long Prop;
  tVariant In;
  HRESULT Error;
  const wchar_t* ReadBack;
  BYTE Length;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.Name; }

const char kEightBytes[] = "\x01\x02\x03\x04\x05\x06\x07\x08";
const char kTwentyBytes[] = "ABCDEFGHIJKLMNOPQRST";

const KeyCase kKeyCases[] = {
    {"McHexInWrittenOrder", 46, Str(L"A1B2C3"), S_OK, L"A1B2C3", 3},
    {"McHexWithPrefixReversed", 46, Str(L"0x0102030405"), S_OK, L"0504030201", 5},
    {"McUpperCasePrefix", 46, Str(L"0XaBcD"), S_OK, L"CDAB", 2},
    {"McOnlyTwelveDigitsCount", 46, Str(L"1122334455667788"), S_OK, L"112233445566", 6},
    // After "0x" the first twelve digits are the number, least significant byte last written.
    {"McPrefixedOnlyTwelveDigits", 46, Str(L"0x11223344556677"), S_OK, L"665544332211", 6},
    {"McOddDigitCount", 46, Str(L"ABC"), S_OK, L"ABC0", 2},
    {"McEmptyText", 46, Str(L""), S_OK, L"", 0},
    {"McBlobOfEightKeepsSix", 46, Bytes(VTYPE_BLOB, kEightBytes, 8), S_OK, L"010203040506", 6},
    {"McNarrowTextAsBytes", 46, Bytes(VTYPE_PSTR, "AB", 2), S_OK, L"4142", 2},
    {"McEmptyBlob", 46, Bytes(VTYPE_BLOB, kEightBytes, 0), S_OK, L"", 0},
    {"McI8LowSixBytes", 46, I8(0x7766554433221100LL), S_OK, L"001122334455", 6},
    {"McUI8", 46, UI8(0xFFULL), S_OK, L"FF0000000000", 6},
    {"McNumberRefused", 46, I4(5), kParamType, L"FFFFFFFFFFFF", 6},
    {"McBoolRefused", 46, Bool(true), kParamType, L"FFFFFFFFFFFF", 6},
    {"MpHexInWrittenOrder", 47, Str(L"00112233445566778899AABBCCDDEEFF"), S_OK,
     L"00112233445566778899AABBCCDDEEFF", 16},
    {"MpOnlyThirtyTwoDigitsCount", 47, Str(L"00112233445566778899AABBCCDDEEFF11"), S_OK,
     L"00112233445566778899AABBCCDDEEFF", 16},
    {"MpHexWithPrefixReversed", 47, Str(L"0x010203"), S_OK, L"030201", 3},
    {"MpBlobKeepsSixteen", 47, Bytes(VTYPE_BLOB, kTwentyBytes, 20), S_OK, L"4142434445464748494A4B4C4D4E4F50", 16},
    {"MpI8Refused", 47, I8(1), kParamType, L"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 16},
};

class AuthKeyProperties : public PropertiesTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(AuthKeyProperties, FormsGiveTheStoredBytes) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(Set(c.Prop, c.In), c.Error == S_OK);
  EXPECT_EQ(addin.LastError, c.Error == S_OK ? kEarlierError : c.Error);
  Read read = Get(c.Prop);
  EXPECT_EQ(read.Type, VTYPE_PWSTR);
  EXPECT_EQ(read.Text, c.ReadBack);
  const _AUTHKEY_INFO& key = c.Prop == 46 ? addin.AuthKeyMC : addin.AuthKeyMP;
  EXPECT_EQ(key.Length, c.Length);
  EXPECT_EQ(addin.ModifiedParts, 0u) << "the keys are never marked";
}

INSTANTIATE_TEST_SUITE_P(Table, AuthKeyProperties, ::testing::ValuesIn(kKeyCases),
                         [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.Name); });

TEST_F(PropertiesTest, PrefixedKeyIsStoredLeastSignificantByteFirst) {
  ASSERT_TRUE(Set(46, Str(L"0x0102030405")));
  const BYTE expected[] = {0x05, 0x04, 0x03, 0x02, 0x01};
  ASSERT_EQ(addin.AuthKeyMC.Length, 5);
  EXPECT_EQ(std::memcmp(addin.AuthKeyMC.Data, expected, 5), 0);
}

// --- Sound paths: properties 37 to 42 reach slots 0 to 5, in that order.

struct SoundSlotCase {
  long Prop;
  int Slot;
};

void PrintTo(const SoundSlotCase& c, std::ostream* out) { *out << "property " << c.Prop; }

class SoundPathProperties : public PropertiesTest, public ::testing::WithParamInterface<SoundSlotCase> {};

TEST_P(SoundPathProperties, ReachTheirSlotAndMarkAlways) {
  const SoundSlotCase& c = GetParam();
  ASSERT_TRUE(Set(c.Prop, Str(L"C:\\Sounds\\a.wav")));
  for (int slot = 0; slot < 7; ++slot) {
    EXPECT_EQ(addin.SoundFileList[slot], slot == c.Slot ? L"C:\\Sounds\\a.wav" : L"") << slot;
  }
  EXPECT_EQ(Get(c.Prop).Text, L"C:\\Sounds\\a.wav");
  EXPECT_EQ(addin.ModifiedParts, 1u);
  addin.ModifiedParts = 0;
  ASSERT_TRUE(Set(c.Prop, Str(L"C:\\Sounds\\a.wav")));
  EXPECT_EQ(addin.ModifiedParts, 1u) << "marked even when the path is the same";
}

// "SoundFoundKey" (41) holds the driver-error sound and "SoundLostKey" (42) the key-found sound.
INSTANTIATE_TEST_SUITE_P(Table, SoundPathProperties,
                         ::testing::Values(SoundSlotCase{37, 0}, SoundSlotCase{38, 1}, SoundSlotCase{39, 2},
                                           SoundSlotCase{40, 3}, SoundSlotCase{41, 4}, SoundSlotCase{42, 5}));

TEST_F(PropertiesTest, SoundPathOf260CharactersIsRefused) {
  std::wstring longest = L"C:\\" + std::wstring(252, L'a') + L".wav";  // 259 characters
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_TRUE(Set(39, Str(longest.c_str())));
  EXPECT_EQ(addin.SoundFileList[2], longest);

  addin.ModifiedParts = 0;
  std::wstring tooLong = L"C:\\" + std::wstring(253, L'a') + L".wav";
  ExpectRefused(39, Str(tooLong.c_str()), kInvalidArg);
  EXPECT_EQ(addin.SoundFileList[2], longest);
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(PropertiesTest, SoundPathRefusesANumber) {
  ExpectRefused(37, I4(1), kParamType);
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

// --- The log of SetPropVal at level 6.

std::vector<std::string> LogLines(const std::wstring& path) {
  std::vector<std::string> lines;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lines;
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    // Without the 13-character time stamp.
    lines.push_back(bytes.substr(start + 13, end - start - 13));
  }
  return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

class PropertiesLogTest : public PropertiesTest {
 protected:
  void SetUp() override {
    PropertiesTest::SetUp();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraPropertiesLog-" + std::to_wstring(GetCurrentProcessId());
    g_logFolder = m_folder;
    m_log = m_folder + L"\\Vombra.log";
    addin.LogLevel = 6;
  }
  void TearDown() override {
    addin.LogLevel = 0;
    addin.LogPath.clear();
    DeleteFileW(m_log.c_str());
    RemoveDirectoryW(m_folder.c_str());
    g_logFolder.clear();
  }
  std::wstring m_folder;
  std::wstring m_log;
  ScopedThreadLanguage m_english{kEnglish};
};

TEST_F(PropertiesLogTest, EverySettingWritesItsLineAndTheOutcome) {
  ASSERT_TRUE(Set(8, I4(9600)));
  EXPECT_FALSE(Set(7, I4(13)));
  EXPECT_FALSE(Set(44, I4(1)));
  EXPECT_FALSE(Set(48, I4(1)));
  std::vector<std::string> lines = LogLines(m_log);
  ASSERT_EQ(lines.size(), 9u);  // the header and two lines per call
  EXPECT_TRUE(StartsWith(lines[1], "[I00044] Setting property Speed = ")) << lines[1];
  EXPECT_EQ(lines[2], "[I00045] The setting of the property has been successfully completed.");
  EXPECT_TRUE(StartsWith(lines[3], "[I00044] Setting property Model = ")) << lines[3];
  EXPECT_TRUE(StartsWith(lines[4], "[E00046] Property setting error (code 0x80070057): ")) << lines[4];
  EXPECT_TRUE(StartsWith(lines[5], "[I00044] Setting property FormatCount = ")) << lines[5];
  EXPECT_TRUE(StartsWith(lines[6], "[E00046] Property setting error (code 0x80070057): ")) << lines[6];
  EXPECT_TRUE(StartsWith(lines[7], "[I00044] Setting property #48 = ")) << lines[7];
  EXPECT_TRUE(StartsWith(lines[8], "[E00046] Property setting error (code 0x80070057): ")) << lines[8];
  // The refused Model filled the empty text of its error; the read-only number changed nothing.
  EXPECT_EQ(addin.LastError, kInvalidArg);
  EXPECT_FALSE(addin.LastErrorText.empty());
}

TEST_F(PropertiesLogTest, RussianNamesWhenTheLocaleIsRussian) {
  ScopedThreadLanguage russian(kRussian);
  LCID saved = g_lcid;
  g_lcid = MAKELCID(kRussian, SORT_DEFAULT);
  ASSERT_TRUE(Set(8, I4(9600)));
  g_lcid = saved;
  std::vector<std::string> lines = LogLines(m_log);
  ASSERT_GE(lines.size(), 2u);
  // The property's Russian name, as the host's name table gives it, in the log's code page.
  std::wstring name = g_PropNamesRu[8];
  char ansi[64] = {};
  WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr);
  EXPECT_NE(lines[1].find(std::string(" ") + ansi + " = "), std::string::npos) << lines[1];
}

}  // namespace
