// The card-command methods' side of a command: the arguments they check, clamp, convert and refuse,
// the record they post, the device IDs they take, what GetCommandResult and GetKeyInfo hand back.
// The reader's thread never runs here; the records are read from its slot.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "CommandFixture.h"

namespace {

// One argument as a table writes it.
struct Arg {
  uint16_t Type;
  uint64_t Number;
  std::wstring Text;
  std::string Bytes;
};
Arg I4(int32_t n) { return {VTYPE_I4, uint64_t(uint32_t(n)), L"", ""}; }
Arg UI4(uint32_t n) { return {VTYPE_UI4, n, L"", ""}; }
Arg I8(int64_t n) { return {VTYPE_I8, uint64_t(n), L"", ""}; }
Arg Bool(bool b) { return {VTYPE_BOOL, uint64_t(b), L"", ""}; }
Arg R8() { return {VTYPE_R8, 0x3FF0000000000000ull, L"", ""}; }
Arg Nul() { return {VTYPE_NULL, 0, L"", ""}; }
Arg Emp() { return {VTYPE_EMPTY, 0, L"", ""}; }
Arg S(const wchar_t* text) { return {VTYPE_PWSTR, 0, text, ""}; }
Arg B(const std::string& bytes) { return {VTYPE_BLOB, 0, L"", bytes}; }
const Arg kDev = S(L"COM9");

enum class Outcome { Refused, Failed, Posted };

struct PostCase {
  const char* Name;
  const wchar_t* Method;
  std::vector<Arg> Args;
  Outcome Expect;
  HRESULT Error = 0;  // Refused, Failed: the last error
  UINT Code = 0;      // Posted: the record's command code and Total
  UINT Total = 0;
  std::function<void(const _CMD_INFO&)> Check = nullptr;  // Posted: the record's own fields
};

void PrintTo(const PostCase& c, std::ostream* out) { *out << c.Name; }

class CommandArgsTest : public CommandTest, public ::testing::WithParamInterface<PostCase> {
 protected:
  std::vector<tVariant> Make(const std::vector<Arg>& args) {
    std::vector<tVariant> values;
    for (const Arg& a : args) {
      if (a.Type == VTYPE_PWSTR) {
        values.push_back(Str(a.Text));
      } else if (a.Type == VTYPE_BLOB) {
        values.push_back(Blob(a.Bytes));
      } else {
        values.push_back(Typed(a.Type, a.Number));
      }
    }
    return values;
  }
};

const _CMD_MUL_INFO& Ul(const _CMD_INFO& r) { return static_cast<const _CMD_MUL_INFO&>(r); }
const _CMD_MC_INFO& Mc(const _CMD_INFO& r) { return static_cast<const _CMD_MC_INFO&>(r); }
const _CMD_WRITEKEYSM_INFO& Keys(const _CMD_INFO& r) { return static_cast<const _CMD_WRITEKEYSM_INFO&>(r); }
const _CMD_SIGN_INFO& Sign(const _CMD_INFO& r) { return static_cast<const _CMD_SIGN_INFO&>(r); }
const _CMD_FINDTEMIC_INFO& Find(const _CMD_INFO& r) { return static_cast<const _CMD_FINDTEMIC_INFO&>(r); }
const _CMD_RWTEMIC_INFO& Rw(const _CMD_INFO& r) { return static_cast<const _CMD_RWTEMIC_INFO&>(r); }

std::string DataOf(const std::vector<BYTE>& data) { return std::string(data.begin(), data.end()); }
std::string Zeros(size_t n) { return std::string(n, '\0'); }
std::string KeyBytes(const _AUTHKEY_INFO& key) {
  return std::string(reinterpret_cast<const char*>(key.Data), key.Length);
}

// Classic reads: sector, block, count, key mask, key B, skip trailers, then timeout 0 and KeyIndex.
std::vector<Arg> ClassicRead(Arg sector, Arg block, Arg count, Arg mask = UI4(0), Arg keyB = Bool(false),
                             Arg skip = Bool(false)) {
  return {kDev, sector, block, Emp(), count, mask, keyB, skip, I4(0), Emp()};
}
std::vector<Arg> ClassicWrite(int sector, int block, int count, Arg data, bool skip = false) {
  return {kDev, I4(sector), I4(block), data, I4(count), UI4(0), Bool(false), Bool(skip), I4(0), Emp()};
}
std::vector<Arg> PlusRead(Arg mode) {
  return {kDev, I4(2), I4(0), Emp(), I4(1), UI4(0), Bool(false), Bool(false), mode, I4(0), Emp()};
}

const PostCase kPostCases[] = {
    // Ultralight: the count is cut at page 254, taken as unsigned.
    {"UlCountCutAtLastPage", L"ReadMifareUL", {kDev, I4(250), Emp(), I4(10), I4(0)}, Outcome::Posted, 0, 1, 5,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(250u, Ul(r).Page);
       EXPECT_EQ(5, Ul(r).Count);
       EXPECT_TRUE(Ul(r).Data.empty());
     }},
    {"UlNegativeCountReadsToTheEnd", L"ReadMifareUL", {kDev, I4(10), Emp(), I4(-1), I4(0)}, Outcome::Posted, 0, 1,
     245, [](const _CMD_INFO& r) { EXPECT_EQ(245, Ul(r).Count); }},
    {"UlPage255", L"ReadMifareUL", {kDev, I4(255), Emp(), I4(1), I4(0)}, Outcome::Failed, E_INVALIDARG},
    {"UlNegativePage", L"ReadMifareUL", {kDev, I4(-1), Emp(), I4(1), I4(0)}, Outcome::Failed, E_INVALIDARG},
    {"UlCountZero", L"ReadMifareUL", {kDev, I4(0), Emp(), I4(0), I4(0)}, Outcome::Failed, E_INVALIDARG},
    {"UlWriteHexTextZeroFilled", L"WriteMifareUL", {kDev, I4(3), S(L"0102"), I4(2), I4(0)}, Outcome::Posted, 0, 2,
     2, [](const _CMD_INFO& r) {
       EXPECT_EQ(3u, Ul(r).Page);
       EXPECT_EQ(Bytes({1, 2}) + Zeros(6), DataOf(Ul(r).Data));
     }},
    {"UlWriteNumberLowByteFirst", L"WriteMifareUL", {kDev, I4(3), I4(0x04030201), I4(1), I4(0)}, Outcome::Posted,
     0, 2, 1, [](const _CMD_INFO& r) { EXPECT_EQ(Bytes({1, 2, 3, 4}), DataOf(Ul(r).Data)); }},
    {"UlWriteBlobCutToThePages", L"WriteMifareUL", {kDev, I4(0), B("ABCDEFGH"), I4(1), I4(0)}, Outcome::Posted, 0,
     2, 1, [](const _CMD_INFO& r) { EXPECT_EQ("ABCD", DataOf(Ul(r).Data)); }},
    {"UlWriteFloatData", L"WriteMifareUL", {kDev, I4(0), R8(), I4(1), I4(0)}, Outcome::Failed, E_INVALIDARG},
    {"UlPageAsText", L"ReadMifareUL", {kDev, S(L"1"), Emp(), I4(1), I4(0)}, Outcome::Failed, kParamType},
    {"DeviceIdAsNumber", L"ReadMifareUL", {I4(9), I4(1), Emp(), I4(1), I4(0)}, Outcome::Failed, kParamType},

    // Classic and Plus: bounds, the 256-block limit, flags and the key copy.
    {"ClassicSector40", L"ReadMifareC", ClassicRead(I4(40), I4(0), I4(1)), Outcome::Failed, E_INVALIDARG},
    {"ClassicBlock16", L"ReadMifareC", ClassicRead(I4(32), I4(16), I4(1)), Outcome::Failed, E_INVALIDARG},
    {"ClassicNegativeBlock", L"ReadMifareC", ClassicRead(I4(0), I4(-1), I4(1)), Outcome::Failed, E_INVALIDARG},
    {"ClassicCountZero", L"ReadMifareC", ClassicRead(I4(0), I4(0), I4(0)), Outcome::Failed, E_INVALIDARG},
    {"ClassicCount257", L"ReadMifareC", ClassicRead(I4(0), I4(0), I4(257)), Outcome::Failed, E_INVALIDARG},
    {"ClassicCount256", L"ReadMifareC", ClassicRead(I4(39), I4(15), I4(256)), Outcome::Posted, 0, 3, 256,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(39, Mc(r).Sector);
       EXPECT_EQ(15, Mc(r).Block);
       EXPECT_EQ(256, Mc(r).Count);
     }},
    {"ClassicAllFlags", L"ReadMifareC", ClassicRead(I4(1), I4(2), I4(3), UI4(0x5), Bool(true), Bool(true)),
     Outcome::Posted, 0, 3, 3,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(UINT(MCF_KEY_B | MCF_STORED_KEYS), Mc(r).Flags);
       EXPECT_EQ(5u, Mc(r).KeyMask);
       EXPECT_EQ(1, Mc(r).SkipTrailers);
       EXPECT_EQ(-1, Mc(r).KeyIndex);
       EXPECT_EQ(Bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), KeyBytes(Mc(r).Key));
       EXPECT_TRUE(Mc(r).Data.empty());
     }},
    {"ClassicOptionalsLeftOut", L"ReadMifareC", ClassicRead(I4(1), I4(0), I4(1), Nul(), Nul(), Emp()),
     Outcome::Posted, 0, 3, 1,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(0u, Mc(r).Flags);
       EXPECT_EQ(0u, Mc(r).KeyMask);
       EXPECT_EQ(0, Mc(r).SkipTrailers);
     }},
    {"ClassicSectorLeftOut", L"ReadMifareC", ClassicRead(Nul(), I4(0), I4(1)), Outcome::Failed, kParamType},
    {"ClassicKeyBAsText", L"ReadMifareC", ClassicRead(I4(1), I4(0), I4(1), UI4(0), S(L"1")), Outcome::Failed,
     kParamType},
    {"PlusModeByDefault", L"ReadMifareP", PlusRead(Bool(true)), Outcome::Posted, 0, 5, 1,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(UINT(MCF_PLUS_MODE), Mc(r).Flags);
       EXPECT_EQ(std::string(16, '\x5A'), KeyBytes(Mc(r).Key));
     }},
    {"PlusModeCleared", L"ReadMifareP", PlusRead(Bool(false)), Outcome::Posted, 0, 5, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ(0u, Mc(r).Flags); }},
    {"PlusModeLeftOut", L"ReadMifareP", PlusRead(Nul()), Outcome::Posted, 0, 5, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ(UINT(MCF_PLUS_MODE), Mc(r).Flags); }},

    // Classic and Plus writes: the data's byte order, and zero padding kept out of sector trailers.
    {"ClassicWriteHexFromTheEnd", L"WriteMifareC", ClassicWrite(1, 0, 1, S(L"0x0102")), Outcome::Posted, 0, 4, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ(Bytes({2, 1}) + Zeros(14), DataOf(Mc(r).Data)); }},
    {"ClassicWriteHexFromTheStart", L"WriteMifareC", ClassicWrite(1, 0, 1, S(L"0102")), Outcome::Posted, 0, 4, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ(Bytes({1, 2}) + Zeros(14), DataOf(Mc(r).Data)); }},
    {"ClassicPaddingIntoTrailer", L"WriteMifareC", ClassicWrite(1, 0, 4, B(std::string(48, 'd'))),
     Outcome::Failed, E_INVALIDARG},
    {"ClassicPaddingPartlyIntoTrailer", L"WriteMifareC", ClassicWrite(15, 2, 2, B(std::string(20, 'd'))),
     Outcome::Failed, E_INVALIDARG},
    {"ClassicNoDataOverTrailer", L"WriteMifareC", ClassicWrite(0, 3, 1, Nul()), Outcome::Failed, E_INVALIDARG},
    {"ClassicPaddingBeforeTrailer", L"WriteMifareC", ClassicWrite(15, 2, 1, B("xy")), Outcome::Posted, 0, 4, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ("xy" + Zeros(14), DataOf(Mc(r).Data)); }},
    {"ClassicTrailerGivenInFull", L"WriteMifareC", ClassicWrite(1, 0, 4, B(std::string(64, 't'))), Outcome::Posted,
     0, 4, 4, [](const _CMD_INFO& r) { EXPECT_EQ(std::string(64, 't'), DataOf(Mc(r).Data)); }},
    {"ClassicPaddingWithTrailersSkipped", L"WriteMifareC", ClassicWrite(1, 0, 4, B(std::string(16, 'd')), true),
     Outcome::Posted, 0, 4, 4,
     [](const _CMD_INFO& r) { EXPECT_EQ(std::string(16, 'd') + Zeros(48), DataOf(Mc(r).Data)); }},
    // Sector 31 ends the walk on 32-sector cards (next: sector 0, trailer 3 blocks on) but goes on into
    // sector 32 (16 blocks) on 40-sector cards: the padding reaches a trailer on the first only.
    {"ClassicPaddingTrailerOnSomeCard", L"WriteMifareC", ClassicWrite(31, 3, 5, B(std::string(64, 'd'))),
     Outcome::Failed, E_INVALIDARG},
    {"PlusPaddingIntoTrailer", L"WriteMifareP",
     {kDev, I4(2), I4(2), B("x"), I4(2), UI4(0), Bool(false), Bool(false), Bool(true), I4(0), Emp()},
     Outcome::Failed, E_INVALIDARG},
    {"ClassicWriteBoolData", L"WriteMifareC", ClassicWrite(1, 0, 1, Bool(true)), Outcome::Failed, E_INVALIDARG},

    // Keys into the reader.
    {"KeysTextWithBlankPiece", L"WriteMifareKeysToReader",
     {kDev, I4(4), S(L"A0A1A2A3A4A5; ;0x0102"), Bool(false), I4(0)}, Outcome::Posted, 0, 7, 3,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(4u, Keys(r).FirstSlot);
       ASSERT_EQ(3u, Keys(r).Keys.size());
       EXPECT_EQ(Bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), KeyBytes(Keys(r).Keys[0]));
       EXPECT_EQ(0, Keys(r).Keys[1].Length);
       EXPECT_EQ(Bytes({2, 1, 0, 0, 0, 0}), KeyBytes(Keys(r).Keys[2]));
     }},
    {"KeysTrailingSemicolon", L"WriteMifareKeysToReader", {kDev, I4(0), S(L"01;  02;  "), Nul(), I4(0)},
     Outcome::Posted, 0, 7, 2,
     [](const _CMD_INFO& r) {
       ASSERT_EQ(2u, Keys(r).Keys.size());
       EXPECT_EQ(Bytes({2, 0, 0, 0, 0, 0}), KeyBytes(Keys(r).Keys[1]));
     }},
    {"KeysLongText", L"WriteMifareKeysToReader", {kDev, I4(0), S(L"0x01"), Bool(true), I4(0)}, Outcome::Posted, 0,
     7, 1, [](const _CMD_INFO& r) { EXPECT_EQ(Bytes({1}) + Zeros(15), KeyBytes(Keys(r).Keys[0])); }},
    {"KeysBlobShortRunDropped", L"WriteMifareKeysToReader", {kDev, I4(0), B("abcdefghijklm"), Bool(false), I4(0)},
     Outcome::Posted, 0, 7, 2,
     [](const _CMD_INFO& r) {
       ASSERT_EQ(2u, Keys(r).Keys.size());
       EXPECT_EQ("ghijkl", KeyBytes(Keys(r).Keys[1]));
     }},
    {"KeysBlobLong", L"WriteMifareKeysToReader", {kDev, I4(0), B(std::string(32, 'k')), Bool(true), I4(0)},
     Outcome::Posted, 0, 7, 2, [](const _CMD_INFO& r) { EXPECT_EQ(16, Keys(r).Keys[1].Length); }},
    {"KeysNone", L"WriteMifareKeysToReader", {kDev, I4(0), Nul(), Bool(false), I4(0)}, Outcome::Posted, 0, 7, 0,
     [](const _CMD_INFO& r) { EXPECT_TRUE(Keys(r).Keys.empty()); }},
    {"KeysAsNumber", L"WriteMifareKeysToReader", {kDev, I4(0), I4(1), Bool(false), I4(0)}, Outcome::Refused,
     E_INVALIDARG},

    // Temic.
    {"TemicInit", L"InitializeTemic", {kDev, UI4(0)}, Outcome::Posted, 0, 9, 1, nullptr},
    {"TemicFindFullNoPassword", L"FindTemic", {kDev, Bool(true), Emp(), I4(-1), Nul(), UI4(0)}, Outcome::Posted, 0,
     10, 1,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(2u, Find(r).Mode);
       EXPECT_EQ(0xFFFFFFFFu, Find(r).Parameter);
       EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, Find(r).Password);
       EXPECT_EQ(0, Find(r).Id.Length);
     }},
    {"TemicFindNumberPassword", L"FindTemic", {kDev, Bool(false), Emp(), I4(0x0101), I4(0x12345678), UI4(0)},
     Outcome::Posted, 0, 10, 1,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(0u, Find(r).Mode);
       EXPECT_EQ(0x0101u, Find(r).Parameter);
       EXPECT_EQ(0x12345678ull, Find(r).Password);
     }},
    {"TemicFindTextPassword", L"FindTemic", {kDev, Bool(false), Emp(), I4(-1), S(L"0x0102030405060708A"), UI4(0)},
     Outcome::Posted, 0, 10, 1,
     [](const _CMD_INFO& r) { EXPECT_EQ(0x102030405060708Aull, Find(r).Password); }},
    {"TemicFindFloatPassword", L"FindTemic", {kDev, Bool(false), Emp(), I4(-1), R8(), UI4(0)}, Outcome::Failed,
     E_INVALIDARG},
    {"TemicReadBlock8", L"ReadTemic", {kDev, I4(8), Emp(), I4(1), I4(-1), Nul(), UI4(0)}, Outcome::Failed,
     E_INVALIDARG},
    {"TemicReadNegativeBlock", L"ReadTemic", {kDev, I4(-1), Emp(), I4(1), I4(-1), Nul(), UI4(0)}, Outcome::Failed,
     E_INVALIDARG},
    {"TemicReadCountZero", L"ReadTemic", {kDev, I4(1), Emp(), I4(0), I4(-1), Nul(), UI4(0)}, Outcome::Failed,
     E_INVALIDARG},
    {"TemicReadNegativeCount", L"ReadTemic", {kDev, I4(1), Emp(), I4(-3), I4(-1), Nul(), UI4(0)}, Outcome::Failed,
     E_INVALIDARG},
    {"TemicReadCountCutSearchCounted", L"ReadTemic", {kDev, I4(6), Emp(), I4(5), I4(-1), I8(7), UI4(0)},
     Outcome::Posted, 0, 11, 3,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(6u, Rw(r).Block);
       EXPECT_EQ(2u, Rw(r).Count);
       EXPECT_EQ(7ull, Rw(r).Password);
       EXPECT_EQ(0, Rw(r).Lock);
     }},
    {"TemicReadWithParameter", L"ReadTemic", {kDev, I4(1), Emp(), I4(2), I4(0x0101), Nul(), UI4(0)},
     Outcome::Posted, 0, 11, 2, [](const _CMD_INFO& r) { EXPECT_EQ(0x0101u, Rw(r).Parameter); }},
    {"TemicWriteBlock8", L"WriteTemic", {kDev, I4(8), B("abcd"), I4(1), I4(-1), Nul(), Bool(false), UI4(0)},
     Outcome::Failed, E_INVALIDARG},
    {"TemicWriteCountZero", L"WriteTemic", {kDev, I4(1), B("abcd"), I4(0), I4(-1), Nul(), Bool(false), UI4(0)},
     Outcome::Failed, E_INVALIDARG},
    {"TemicWriteCountCut", L"WriteTemic", {kDev, I4(6), B("abcdefghij"), I4(5), I4(-1), Nul(), Bool(true), UI4(0)},
     Outcome::Posted, 0, 12, 2,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(2u, Rw(r).Count);
       EXPECT_EQ("abcdefgh", DataOf(Rw(r).Data));
       EXPECT_EQ(1, Rw(r).Lock);
     }},

    // A signal is posted and not waited for.
    {"SignalPattern", L"Signal", {kDev, S(L"123 500;1 100"), Bool(false)}, Outcome::Posted, 0, 8, 1,
     [](const _CMD_INFO& r) {
       EXPECT_EQ(L"123 500;1 100", Sign(r).Pattern);
       EXPECT_EQ(0, Sign(r).Restart);
     }},
    {"SignalNoPattern", L"Signal", {kDev, Nul(), Bool(true)}, Outcome::Posted, 0, 8, 1,
     [](const _CMD_INFO& r) {
       EXPECT_TRUE(Sign(r).Pattern.empty());
       EXPECT_EQ(1, Sign(r).Restart);
     }},
};

TEST_P(CommandArgsTest, ChecksClampsAndPosts) {
  const PostCase& c = GetParam();
  std::memset(addin.AuthKeyMC.Data, 0, sizeof addin.AuthKeyMC.Data);
  std::memcpy(addin.AuthKeyMC.Data, "\xA0\xA1\xA2\xA3\xA4\xA5", 6);
  std::memset(addin.AuthKeyMP.Data, 0x5A, 16);
  addin.SetError(S_OK, nullptr);
  MethodCall call = Call(c.Method, Make(c.Args));
  const bool signal = std::wstring(c.Method) == L"Signal";
  switch (c.Expect) {
    case Outcome::Refused:
      EXPECT_FALSE(call.Answer);
      EXPECT_EQ(c.Error, addin.LastError);
      EXPECT_EQ(nullptr, Slot());
      break;
    case Outcome::Failed:
      EXPECT_TRUE(call.Answer);
      EXPECT_EQ(VTYPE_BOOL, call.Result.vt);
      EXPECT_FALSE(call.BoolResult());
      EXPECT_EQ(c.Error, addin.LastError);
      EXPECT_EQ(nullptr, Slot()) << "nothing posted";
      break;
    case Outcome::Posted: {
      EXPECT_TRUE(call.Answer);
      // Time-out 0: the command runs on and the method says so; a signal is never waited for.
      EXPECT_EQ(signal, call.BoolResult());
      EXPECT_EQ(signal ? S_OK : kPending, addin.LastError);
      EXPECT_EQ(kPending, Status());
      std::shared_ptr<_CMD_INFO> record = Slot();
      ASSERT_NE(nullptr, record);
      EXPECT_EQ(c.Code, record->Command);
      EXPECT_EQ(c.Total, record->Total);
      EXPECT_EQ(0u, record->Done);
      EXPECT_NE(nullptr, record->Handler);
      if (c.Check) c.Check(*record);
      EXPECT_EQ(nullptr, addin.WaitingReader.load()) << "time-out 0 leaves no waiting reader";
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandArgsTest, ::testing::ValuesIn(kPostCases),
                         [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.Name; });

// --- Device IDs and refusals, method by method.

struct MethodShape {
  const wchar_t* Name;
  int Params;
  bool Card;  // a card command: refused behind a converter
};

const MethodShape kMethods[] = {
    {L"GetKeyInfo", 8, false},       {L"ContinueScanning", 1, false},   {L"ReadMifareUL", 5, true},
    {L"WriteMifareUL", 5, true},     {L"ReadMifareC", 10, true},        {L"WriteMifareC", 10, true},
    {L"ReadMifareP", 11, true},      {L"WriteMifareP", 11, true},       {L"WriteMifareKeysToReader", 5, true},
    {L"Signal", 3, true},            {L"InitializeTemic", 2, true},     {L"FindTemic", 6, true},
    {L"ReadTemic", 7, true},         {L"WriteTemic", 8, true},          {L"GetCommandStatus", 6, false},
    {L"BreakCommand", 1, false},     {L"GetCommandResult", 4, false},
};

class CommandDeviceTest : public CommandTest {
 protected:
  // Arguments that pass the method's type check: the device ID, then numbers (a signal's pattern
  // left out). Every call here ends before it writes an output.
  std::vector<tVariant> Args(const MethodShape& m, const std::wstring& id, int n) {
    std::vector<tVariant> args(size_t(n), I4(1));
    if (n > 0) args[0] = Str(id);
    if (n > 1 && std::wstring(m.Name) == L"Signal") args[1] = Null();
    return args;
  }
};

TEST_F(CommandDeviceTest, UnknownDeviceIdIsNotRegistered) {
  for (const MethodShape& m : kMethods) {
    SCOPED_TRACE(::testing::Message() << std::string(m.Name, m.Name + wcslen(m.Name)));
    addin.SetError(S_OK, nullptr);
    MethodCall call = Call(m.Name, Args(m, L"COM8", m.Params));
    EXPECT_TRUE(call.Answer);
    EXPECT_FALSE(call.BoolResult());
    EXPECT_EQ(kNotOpened, addin.LastError);
  }
  EXPECT_EQ(nullptr, Slot());
}

TEST_F(CommandDeviceTest, CardCommandsBehindAConverterAreNotSupported) {
  for (const MethodShape& m : kMethods) {
    if (!m.Card) continue;
    SCOPED_TRACE(::testing::Message() << std::string(m.Name, m.Name + wcslen(m.Name)));
    addin.SetError(S_OK, nullptr);
    MethodCall call = Call(m.Name, Args(m, kConverterId, m.Params));
    EXPECT_TRUE(call.Answer);
    EXPECT_FALSE(call.BoolResult());
    EXPECT_EQ(kNotSupported, addin.LastError);
  }
  EXPECT_EQ(nullptr, Slot());
  EXPECT_EQ(0, Status());
  // Following a command and continuing a scan are no card commands: a converter address is taken.
  MethodCall status = Call(L"GetCommandStatus", {Str(kConverterId), Null(), Null(), Null(), Null(), UI4(0)});
  EXPECT_TRUE(status.BoolResult());
  MethodCall scan = Call(L"ContinueScanning", {Str(kConverterId)});
  EXPECT_TRUE(scan.BoolResult());
}

TEST_F(CommandDeviceTest, TooFewParametersOrNoResultRefuseTheCall) {
  for (const MethodShape& m : kMethods) {
    SCOPED_TRACE(::testing::Message() << std::string(m.Name, m.Name + wcslen(m.Name)));
    addin.SetError(S_OK, nullptr);
    EXPECT_FALSE(Call(m.Name, Args(m, kId, m.Params - 1)).Answer);
    EXPECT_EQ(E_INVALIDARG, addin.LastError);
    addin.SetError(S_OK, nullptr);
    std::vector<tVariant> args = Args(m, kId, m.Params);
    EXPECT_FALSE(addin.CallAsProc(addin.FindMethod(m.Name), args.data(), long(args.size())));
    EXPECT_EQ(E_INVALIDARG, addin.LastError);
  }
  EXPECT_EQ(nullptr, Slot());
}

// --- GetCommandResult: what each code hands back.

struct ResultCase {
  const char* Name;
  std::function<std::shared_ptr<_CMD_INFO>()> Make;
  UINT Asked;
  std::string Data;
  int32_t Value;
};

void PrintTo(const ResultCase& c, std::ostream* out) { *out << c.Name; }

std::shared_ptr<_CMD_INFO> UlRecord(UINT code) {
  auto r = std::make_shared<_CMD_MUL_INFO>();
  r->Command = code;
  r->Data = {1, 2, 3, 4};
  return r;
}
std::shared_ptr<_CMD_INFO> McRecord(UINT code) {
  auto r = std::make_shared<_CMD_MC_INFO>();
  r->Command = code;
  r->Data.assign(16, 7);
  r->KeyIndex = 3;
  return r;
}
std::shared_ptr<_CMD_INFO> TemicRecord(UINT code) {
  auto r = std::make_shared<_CMD_RWTEMIC_INFO>();
  r->Command = code;
  r->Data = {9, 8, 7, 6};
  r->Parameter = 0x0102;
  return r;
}

const ResultCase kResultCases[] = {
    {"UlRead", [] { return UlRecord(1); }, 1, Bytes({1, 2, 3, 4}), -1},
    {"UlWrite", [] { return UlRecord(2); }, 2, Bytes({1, 2, 3, 4}), -1},
    {"ClassicRead", [] { return McRecord(3); }, 3, std::string(16, '\7'), 3},
    {"PlusWrite", [] { return McRecord(6); }, 6, std::string(16, '\7'), 3},
    {"Keys",
     [] {
       auto r = std::make_shared<_CMD_WRITEKEYSM_INFO>();
       r->Command = 7;
       r->Keys.resize(2);
       return std::shared_ptr<_CMD_INFO>(r);
     },
     7, "", -1},
    {"TemicInit",
     [] {
       auto r = std::make_shared<_CMD_INFO>();
       r->Command = 9;
       return r;
     },
     9, "", -1},
    {"TemicFind",
     [] {
       auto r = std::make_shared<_CMD_FINDTEMIC_INFO>();
       r->Command = 10;
       r->Id.Length = 5;
       std::memcpy(r->Id.Data, "\x11\x22\x33\x44\x55", 5);
       r->Parameter = 0x0101;
       return std::shared_ptr<_CMD_INFO>(r);
     },
     10, Bytes({0x11, 0x22, 0x33, 0x44, 0x55}), -1},
    {"TemicRead", [] { return TemicRecord(11); }, 11, Bytes({9, 8, 7, 6}), 0x0102},
    {"TemicWrite", [] { return TemicRecord(12); }, 12, Bytes({9, 8, 7, 6}), 0x0102},
    {"OtherCodeAsked", [] { return McRecord(3); }, 4, "", -1},
    {"NoRecord", [] { return std::shared_ptr<_CMD_INFO>(); }, 1, "", -1},
};

class CommandResultTest : public CommandTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(CommandResultTest, HandsBackDataAndValue) {
  const ResultCase& c = GetParam();
  {
    CCriticalSectionLock lock(&Reader->Lock);
    Reader->Command = c.Make();
    Reader->CommandStatus = Reader->Command ? S_OK : 0;
  }
  MethodCall call = Call(L"GetCommandResult", {Str(kId), UI4(c.Asked), Empty(), Empty()});
  EXPECT_TRUE(call.Answer);
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(c.Data, TakeBlob(call.Params[2]));
  EXPECT_EQ(VTYPE_I4, call.Params[3].vt);
  EXPECT_EQ(c.Value, call.Params[3].lVal);
}

INSTANTIATE_TEST_SUITE_P(Table, CommandResultTest, ::testing::ValuesIn(kResultCases),
                         [](const ::testing::TestParamInfo<ResultCase>& info) { return info.param.Name; });

TEST_F(CommandTest, ResultOfABrokenCommandIsWhatItHadAndARunningOneHasNone) {
  Reader->Command = McRecord(3);
  Reader->CommandStatus = kAbort;
  MethodCall broken = Call(L"GetCommandResult", {Str(kId), UI4(3), Empty(), Null()});
  EXPECT_EQ(std::string(16, '\7'), TakeBlob(broken.Params[2]));
  EXPECT_EQ(VTYPE_NULL, broken.Params[3].vt) << "a NULL output is left alone";

  // Until the handler completes, its appends may still move the data.
  Reader->CommandStatus = kPending;
  MethodCall running = Call(L"GetCommandResult", {Str(kId), UI4(3), Empty(), Empty()});
  EXPECT_EQ("", TakeBlob(running.Params[2]));
  EXPECT_EQ(-1, running.Params[3].lVal);

  // Broken while the reader thread still holds the record: not yet.
  std::shared_ptr<_CMD_INFO> threadHold = Slot();
  Reader->CommandStatus = kAbort;
  MethodCall held = Call(L"GetCommandResult", {Str(kId), UI4(3), Empty(), Empty()});
  EXPECT_EQ("", TakeBlob(held.Params[2]));
}

// --- GetKeyInfo over a reader's key list.

_KEYNUM_INFO Num(const std::string& bytes) {
  _KEYNUM_INFO n{};
  n.Length = BYTE(bytes.size());
  std::memcpy(n.Data, bytes.data(), bytes.size());
  return n;
}

_KEY_INFO Key(UINT type, UINT flags, const std::string& uid, HRESULT status, const std::string& number,
              const wchar_t* text, WORD param = 0) {
  _KEY_INFO k;
  k.KeyType = type;
  k.CardFlags = flags;
  k.Uid = Num(uid);
  k.Number = Num(number);
  k.NumberStatus = status;
  k.Text = text;
  k.Param = param;
  return k;
}

struct KeyInfo {
  std::wstring Text;
  int32_t KeyType;
  std::string Uid, Number;
  int32_t Info1, Info2;
};

class KeyInfoTest : public CommandTest {
 protected:
  // GetKeyInfo; false with the call's outcome when it failed.
  bool Get(const std::wstring& id, int index, KeyInfo& info) {
    MethodCall call = Call(L"GetKeyInfo", {Str(id), I4(index), Null(), Null(), Null(), Null(), Null(), Null()});
    EXPECT_TRUE(call.Answer);
    if (!call.BoolResult()) return false;
    info.Text = TakeText(call.Params[2]);
    info.KeyType = call.Params[3].lVal;
    info.Uid = TakeBlob(call.Params[4]);
    info.Number = TakeBlob(call.Params[5]);
    info.Info1 = call.Params[6].lVal;
    info.Info2 = call.Params[7].lVal;
    return true;
  }
};

TEST_F(KeyInfoTest, WalksTheKeysSkippingThoseStillBeingRead) {
  Reader->Keys = {
      Key(10, 0, "\x01\x02\x03\x04", kPending, "", L"pending"),
      Key(10, 0, "\x01\x02\x03\x05", 0, "\xAA\xBB", L"classic"),
      Key(14, 0x01 | 0x02 | 0x04 | 0x08 | 0x30, "\x07\x07\x07\x07\x07\x07\x07", 1, "", L"plus-x"),
      Key(13, 0x01 | 0x02 | 0x08 | 0x10, "\x08", HRESULT(0x80040219), "\x99", L"plus-level1"),
      Key(8, 0, "\x01\x02\x03\x04\x05", 1, "", L"temic", 0x0102),
  };
  const KeyInfo expected[] = {
      {L"classic", 10, "\x01\x02\x03\x05", "\xAA\xBB", -1, -1},
      {L"plus-x", 14, "\x07\x07\x07\x07\x07\x07\x07", "\x07\x07\x07\x07\x07\x07\x07", 1, 3},
      {L"plus-level1", 13, "\x08", "", 0, 1},
      {L"temic", 8, "\x01\x02\x03\x04\x05", "\x01\x02\x03\x04\x05", 0x0102, -1},
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    KeyInfo info;
    ASSERT_TRUE(Get(kId, i, info));
    EXPECT_EQ(expected[i].Text, info.Text);
    EXPECT_EQ(expected[i].KeyType, info.KeyType);
    EXPECT_EQ(expected[i].Uid, info.Uid);
    EXPECT_EQ(expected[i].Number, info.Number);
    EXPECT_EQ(expected[i].Info1, info.Info1);
    EXPECT_EQ(expected[i].Info2, info.Info2);
  }
  KeyInfo none;
  EXPECT_FALSE(Get(kId, 4, none));
  EXPECT_EQ(kNoKey, addin.LastError);
}

TEST_F(KeyInfoTest, OnlyKeyBeingReadIsNoKeyAndNegativeIndexIsRefused) {
  Reader->Keys = {Key(10, 0, "\x01", kPending, "", L"")};
  KeyInfo info;
  EXPECT_FALSE(Get(kId, 0, info));
  EXPECT_EQ(kNoKey, addin.LastError);
  MethodCall call = Call(L"GetKeyInfo", {Str(kId), I4(-1), Null(), Null(), Null(), Null(), Null(), Null()});
  EXPECT_FALSE(call.Answer);
  EXPECT_EQ(E_INVALIDARG, addin.LastError);
}

TEST_F(KeyInfoTest, ConverterAddressHasOneKeyAtIndexZero) {
  KeyInfo info;
  EXPECT_FALSE(Get(kConverterId, 0, info)) << "no record for the address yet";
  EXPECT_EQ(kNoKey, addin.LastError);
  _ADDRESS_INFO record;
  record.KeyType = 1;
  record.Key = Num("\x30\x39\x0C");
  record.Text = L"012,12345";
  Reader->AddressMap[5] = record;
  ASSERT_TRUE(Get(kConverterId, 0, info));
  EXPECT_EQ(L"012,12345", info.Text);
  EXPECT_EQ(1, info.KeyType);
  EXPECT_EQ("\x30\x39\x0C", info.Uid);
  EXPECT_EQ("", info.Number);
  EXPECT_EQ(-1, info.Info1);
  EXPECT_EQ(-1, info.Info2);
  EXPECT_FALSE(Get(kConverterId, 1, info));
  EXPECT_EQ(kNoKey, addin.LastError);
}

TEST_F(CommandTest, ContinueScanningHandsTheReaderAContinuation) {
  Reader->Changes = 0;
  ResetEvent(Reader->WakeEvent);
  MethodCall call = Call(L"ContinueScanning", {Str(kId)});
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(UINT(RC_CONTINUE_SCAN), Reader->Changes);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Reader->WakeEvent, 0));
}

}  // namespace
