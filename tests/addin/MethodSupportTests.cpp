// The helpers under every method body: the argument check with its optional parameters, the two
// rules of reading a text argument, the two rules of reading a truth argument, the device lookup by
// ID, the host's error code and the copies into the host's memory.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "GuardedBlock.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "Vombra.h"

namespace {

tVariant Typed(uint16_t type, uint64_t raw = 0) {
  tVariant value{};
  value.ullVal = raw;
  value.vt = type;
  return value;
}

// A PWSTR over text with the length the host claims, which may differ from the text's own.
tVariant Text(const wchar_t* text, uint32_t length) {
  tVariant value{};
  value.pwstrVal = const_cast<WCHAR_T*>(text);
  value.wstrLen = length;
  value.vt = VTYPE_PWSTR;
  return value;
}

uint64_t RawOf(double number) {
  uint64_t raw;
  std::memcpy(&raw, &number, sizeof raw);
  return raw;
}

class MethodSupportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(addin.setMemManager(host.Memory())); }
  void TearDown() override {
    EXPECT_EQ(host.OutstandingBlocks(), 0u) << "a block handed to the host was not freed";
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

// --- The argument check ---------------------------------------------------------------------------

struct ArgsCase {
  const char* Name;
  std::vector<VARIANT_TYPE> Expected;
  UINT Optional;
  std::vector<tVariant> Args;
  bool Accepted;
};

void PrintTo(const ArgsCase& c, std::ostream* out) { *out << c.Name; }

const tVariant kEmpty = Typed(VTYPE_EMPTY);
const tVariant kNull = Typed(VTYPE_NULL);
const tVariant kI4 = Typed(VTYPE_I4, 7);
const tVariant kText = Text(L"COM1", 4);

// Ten parameters: the last ones lie beyond where an eight-slot copy of the types would stop looking.
std::vector<VARIANT_TYPE> TenNumbers() { return std::vector<VARIANT_TYPE>(10, VTYPE_I4); }
std::vector<tVariant> TenArgs(size_t at, const tVariant& odd) {
  std::vector<tVariant> args(10, kI4);
  args[at] = odd;
  return args;
}

const ArgsCase kArgsCases[] = {
    {"every number type stands for I4, UI4, BOOL, I8 and UI8",
     {VTYPE_I4, VTYPE_UI4, VTYPE_BOOL, VTYPE_I8, VTYPE_UI8},
     0,
     {Typed(VTYPE_R8, RawOf(1.5)), Typed(VTYPE_UI1, 1), Typed(VTYPE_I4, 1), Typed(VTYPE_BOOL, 1),
      Typed(VTYPE_UINT, 3)},
     true},
    {"a text is no number", {VTYPE_I4}, 0, {kText}, false},
    {"a number is no text", {VTYPE_PWSTR}, 0, {kI4}, false},
    {"a blob takes a narrow string", {VTYPE_BLOB}, 0, {Typed(VTYPE_PSTR)}, true},
    {"a blob refuses a wide string", {VTYPE_BLOB}, 0, {kText}, false},
    {"another type only itself", {VTYPE_DATE}, 0, {Typed(VTYPE_R8, RawOf(1.0))}, false},
    {"type 0 takes anything", {VTYPE_EMPTY, VTYPE_PWSTR}, 0, {Typed(VTYPE_CLSID), kText}, true},
    {"a missing parameter is refused", {VTYPE_PWSTR, VTYPE_I4}, 0, {kText}, false},
    {"a missing parameter is refused even when optional", {VTYPE_PWSTR, VTYPE_I4}, 0x2, {kText}, false},
    {"EMPTY passes where optional", {VTYPE_PWSTR, VTYPE_I4}, 0x2, {kText, kEmpty}, true},
    {"NULL passes where optional", {VTYPE_PWSTR, VTYPE_I4}, 0x2, {kText, kNull}, true},
    {"EMPTY is refused where not optional", {VTYPE_PWSTR, VTYPE_I4}, 0x1, {kText, kEmpty}, false},
    {"a given optional parameter is still checked", {VTYPE_PWSTR, VTYPE_I4}, 0x2, {kText, kText}, false},
    {"a wrong tenth parameter is refused", TenNumbers(), 0, TenArgs(9, kText), false},
    {"a wrong ninth parameter is refused beside optional ones", TenNumbers(), 0x3, TenArgs(8, kText), false},
    {"an optional tenth parameter may be left out", TenNumbers(), 0x200, TenArgs(9, kEmpty), true},
    {"a tenth parameter left out where not optional is refused", TenNumbers(), 0x100, TenArgs(9, kNull),
     false},
};

class CheckArgsTest : public MethodSupportTest, public ::testing::WithParamInterface<ArgsCase> {};

TEST_P(CheckArgsTest, AnswersAndSetsTheLastErrorOnlyOnARefusal) {
  const ArgsCase& c = GetParam();
  std::vector<tVariant> args = c.Args;
  addin.SetError(S_FALSE, L"earlier");
  const bool accepted =
      addin.CheckArgs(args.data(), long(args.size()), c.Expected.data(), long(c.Expected.size()), c.Optional);
  EXPECT_EQ(accepted, c.Accepted);
  if (c.Accepted) {
    EXPECT_EQ(addin.LastError, S_FALSE) << "an accepted call leaves the last error alone";
    EXPECT_EQ(addin.LastErrorText, L"earlier");
  } else {
    EXPECT_EQ(addin.LastError, VOMBRA_E_PARAM_TYPE);
    EXPECT_EQ(addin.LastErrorText, L"");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CheckArgsTest, ::testing::ValuesIn(kArgsCases));

TEST_F(MethodSupportTest, CheckArgsWithoutParametersRefusesWhatItChecks) {
  const VARIANT_TYPE checked[] = {VTYPE_I4};
  const VARIANT_TYPE unchecked[] = {VTYPE_EMPTY};
  EXPECT_FALSE(addin.CheckArgs(nullptr, 0, checked, 1, 0x1));
  EXPECT_EQ(addin.LastError, VOMBRA_E_PARAM_TYPE);
  addin.SetError(S_OK, nullptr);
  EXPECT_TRUE(addin.CheckArgs(nullptr, 0, unchecked, 1));
  EXPECT_EQ(addin.LastError, S_OK);
}

// --- Reading arguments ----------------------------------------------------------------------------

struct TextCase {
  const char* Name;
  tVariant Value;
  std::wstring ByLength;
  std::wstring UpToNul;
};

const wchar_t kWithNul[] = L"ab\0cd";

const TextCase kTextCases[] = {
    {"a NUL inside the given length", Text(kWithNul, 5), std::wstring(kWithNul, 5), L"ab"},
    {"a length short of the text", Text(L"abcdef", 3), L"abc", L"abcdef"},
    {"the length and the text agree", Text(L"COM1", 4), L"COM1", L"COM1"},
    {"no text at all", Text(nullptr, 4), L"", L""},
};

TEST(MethodSupportArgs, TextIsReadByItsRule) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TextByLength(c.Value), c.ByLength);
    EXPECT_EQ(TextUpToNul(c.Value), c.UpToNul);
  }
}

// A host's text that runs into the end of its block: neither rule reads past the block, whatever
// length the host gives and whether or not a NUL ends the text.
TEST(MethodSupportArgs, TextsEndWithTheHostsBlock) {
  GuardedBlock bare(4 * sizeof(WCHAR_T));
  std::memcpy(bare.Data(), L"COM7", 4 * sizeof(WCHAR_T));  // the block ends right after "7"
  GuardedBlock ended(5 * sizeof(WCHAR_T));
  std::memcpy(ended.Data(), L"COM7", 5 * sizeof(WCHAR_T));
  const WCHAR_T* bareText = static_cast<const WCHAR_T*>(bare.Data());
  const WCHAR_T* endedText = static_cast<const WCHAR_T*>(ended.Data());
  const TextCase cases[] = {
      {"no NUL, its own length", Text(bareText, 4), L"COM7", L"COM7"},
      {"no NUL, no length", Text(bareText, 0), L"", L"COM7"},
      {"no NUL, a megabyte claimed", Text(bareText, 1u << 20), L"COM7", L"COM7"},
      {"no NUL, the whole range claimed", Text(bareText, 0xFFFFFFFFu), L"COM7", L"COM7"},
      {"a NUL, a megabyte claimed", Text(endedText, 1u << 20), L"COM7", L"COM7"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TextByLength(c.Value), c.ByLength);
    EXPECT_EQ(TextUpToNul(c.Value), c.UpToNul);
  }
}

struct TruthCase {
  const char* Name;
  tVariant Value;
  bool FirstByte;
  bool ByValue;
};

const TruthCase kTruthCases[] = {
    {"BOOL true", Typed(VTYPE_BOOL, 1), true, true},
    {"BOOL false", Typed(VTYPE_BOOL, 0), false, false},
    {"I4 with a zero low byte", Typed(VTYPE_I4, 0x100), false, true},
    {"UI4 2", Typed(VTYPE_UI4, 2), true, true},
    {"I8 above 32 bits", Typed(VTYPE_I8, 1ull << 40), false, true},
    {"R8 one half", Typed(VTYPE_R8, RawOf(0.5)), false, true},
    {"R8 zero", Typed(VTYPE_R8, RawOf(0.0)), false, false},
    {"R4 with garbage above it", Typed(VTYPE_R4, 0xFFFFFFFF00000000ull), false, false},
};

TEST(MethodSupportArgs, TruthIsReadByItsRule) {
  for (const TruthCase& c : kTruthCases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TruthOfFirstByte(c.Value), c.FirstByte);
    EXPECT_EQ(TruthOfValue(c.Value), c.ByValue);
  }
}

TEST(MethodSupportArgs, GivenMeansNeitherEmptyNorNull) {
  struct Case {
    uint16_t Type;
    bool Given;
    bool Null;
  } cases[] = {
      {VTYPE_EMPTY, false, false},
      {VTYPE_NULL, false, true},
      {VTYPE_I4, true, false},
      {VTYPE_PWSTR, true, false},
      {uint16_t(0x2000 | VTYPE_NULL), false, true},  // flag bits above the type do not count
      {uint16_t(0x2000 | VTYPE_EMPTY), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Type);
    EXPECT_EQ(IsGiven(Typed(c.Type)), c.Given);
    EXPECT_EQ(IsNullArg(Typed(c.Type)), c.Null);
  }
}

// --- The device an ID names -----------------------------------------------------------------------

TEST_F(MethodSupportTest, DeviceIsFoundByTheIdsGivenLength) {
  CReader* const direct = reinterpret_cast<CReader*>(0x1000);
  CReader* const converter = reinterpret_cast<CReader*>(0x2000);
  addin.DeviceIds[L"COM1"] = _DEVICEID_INFO{-1, direct};
  addin.DeviceIds[L"COM2\\3"] = _DEVICEID_INFO{3, converter};

  struct Case {
    const char* Name;
    tVariant Id;
    CReader* Found;         // FindDevice
    HRESULT FoundError;
    CReader* CommandFound;  // FindCommandDevice
    HRESULT CommandError;
  } cases[] = {
      {"a reader of its own", Text(L"COM1", 4), direct, S_FALSE, direct, S_FALSE},
      {"the text beyond the given length is not part of the ID", Text(L"COM1X", 4), direct, S_FALSE, direct,
       S_FALSE},
      {"a converter address has no cards", Text(L"COM2\\3", 6), converter, S_FALSE, nullptr,
       VOMBRA_E_NOT_SUPPORTED},
      {"an ID never handed out", Text(L"COM9", 4), nullptr, VOMBRA_E_NOT_OPENED, nullptr,
       VOMBRA_E_NOT_OPENED},
      {"a prefix of an ID", Text(L"COM", 3), nullptr, VOMBRA_E_NOT_OPENED, nullptr, VOMBRA_E_NOT_OPENED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    addin.SetError(S_FALSE, nullptr);
    const _DEVICEID_INFO* found = addin.FindDevice(c.Id);
    EXPECT_EQ(found ? found->Reader : nullptr, c.Found);
    EXPECT_EQ(addin.LastError, c.FoundError);
    addin.SetError(S_FALSE, nullptr);
    const _DEVICEID_INFO* command = addin.FindCommandDevice(c.Id);
    EXPECT_EQ(command ? command->Reader : nullptr, c.CommandFound);
    EXPECT_EQ(addin.LastError, c.CommandError);
  }
  addin.DeviceIds.clear();
}

// --- Codes and results for the host ---------------------------------------------------------------

TEST(MethodSupportCodes, WindowsErrorNumbersTravelAsWin32Results) {
  struct Case {
    HRESULT Code;
    HRESULT Host;
  } cases[] = {
      {S_OK, S_OK},
      {HRESULT(ERROR_ACCESS_DENIED), HRESULT(0x80070005)},
      {HRESULT(0x12345), HRESULT(0x80072345)},  // only the low word is a Windows error number
      {E_INVALIDARG, E_INVALIDARG},
      {VOMBRA_E_PARAM_TYPE, VOMBRA_E_PARAM_TYPE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Code);
    EXPECT_EQ(HostErrorCode(c.Code), c.Host);
  }
}

TEST_F(MethodSupportTest, TextCopyForTheHostKeepsItsNul) {
  EXPECT_EQ(CopyToHost(nullptr, L"abc"), nullptr);
  WCHAR_T* copy = CopyToHost(static_cast<IMemoryManager*>(host.Memory()), L"Порт");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::wstring(copy, 4), L"Порт");
  EXPECT_EQ(copy[4], L'\0');
  EXPECT_EQ(host.OutstandingBlocks(), 1u);
  void* block = copy;
  static_cast<IMemoryManager*>(host.Memory())->FreeMemory(&block);

  host.FailAllocations = true;
  EXPECT_EQ(CopyToHost(static_cast<IMemoryManager*>(host.Memory()), L"abc"), nullptr);
}

TEST_F(MethodSupportTest, StringResultNeedsTheHostsMemory) {
  tVariant value = Typed(VTYPE_I4, 5);
  addin.StringToVariant(&value, nullptr);
  EXPECT_EQ(value.vt, VTYPE_PWSTR);
  EXPECT_EQ(value.wstrLen, 0u);
  EXPECT_EQ(CFakeHost::Text(value), L"");
  host.FreeVariant(value);

  host.FailAllocations = true;
  tVariant kept = Typed(VTYPE_I4, 5);
  EXPECT_THROW(addin.StringToVariant(&kept, L"abc"), std::bad_alloc);
  EXPECT_EQ(kept.vt, VTYPE_I4) << "no PWSTR type without its memory";
}

TEST_F(MethodSupportTest, BlobResultCopiesTheBytesOrIsEmpty) {
  const BYTE bytes[] = {0x00, 0xFF, 0x10};
  tVariant value = Typed(VTYPE_I8, ~0ull);
  addin.BlobToVariant(&value, bytes, sizeof bytes);
  ASSERT_EQ(value.vt, VTYPE_BLOB);
  ASSERT_EQ(value.strLen, 3u);
  EXPECT_EQ(std::memcmp(value.pstrVal, bytes, sizeof bytes), 0);
  host.FreeVariant(value);

  const size_t before = host.AllocatedBlocks();
  tVariant empty = Typed(VTYPE_I8, ~0ull);
  addin.BlobToVariant(&empty, bytes, 0);
  EXPECT_EQ(empty.vt, VTYPE_BLOB);
  EXPECT_EQ(empty.strLen, 0u);
  EXPECT_EQ(empty.pstrVal, nullptr);
  EXPECT_EQ(host.AllocatedBlocks(), before) << "no block for no bytes";

  host.FailAllocations = true;
  tVariant failed = Typed(VTYPE_I8, ~0ull);
  addin.BlobToVariant(&failed, bytes, sizeof bytes);
  EXPECT_EQ(failed.vt, VTYPE_BLOB);
  EXPECT_EQ(failed.strLen, 0u);
  EXPECT_EQ(failed.pstrVal, nullptr);
}

}  // namespace
