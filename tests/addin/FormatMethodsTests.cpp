// The format methods through the dispatcher: inserting, changing, deleting and clearing formats, their
// IDs, the ID-to-index cache, checking a format and formatting a key; and the refusals of all sixteen
// list methods.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MethodCallFixture.h"
#include "Vombra.h"

namespace {

constexpr HRESULT kFormatName = HRESULT(0x80040234);
constexpr HRESULT kFormatExists = HRESULT(0x80040235);
constexpr HRESULT kFewParams = HRESULT(0x80040236);
constexpr HRESULT kTemplateSpec = HRESULT(0x80040237);
constexpr HRESULT kUnexpectedEnd = HRESULT(0x80040239);
constexpr HRESULT kFail = HRESULT(0x80004005);
constexpr UINT kListsPart = 2;

class FormatMethodsTest : public MethodCallTest {
 protected:
  MethodCall Insert(int32_t index, const std::wstring& name, tVariant comment = Null(), tVariant id = UI4(0)) {
    return Call(L"InsertFormat", {I4(index), Str(name), Str(L"%u"), Str(L"b0"), comment, id});
  }

  void Put(UINT id, const std::wstring& name) {
    _FORMAT_INFO format;
    format.Id = id;
    format.Name = name;
    format.Template = L"%u";
    format.Params = L"b0";
    addin.Formats.push_back(format);
  }

  int32_t FindById(UINT id) { return Call(L"FindFormatByID", {UI4(id)}).IntResult(); }

  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    for (const auto& format : addin.Formats) names.push_back(format.Name);
    return names;
  }
};

TEST_F(FormatMethodsTest, InsertPlacesFormatsAndReturnsIndexAndId) {
  struct Step {
    int32_t index;
    const wchar_t* name;
    int32_t returnedIndex;
    UINT returnedId;
  };
  const Step steps[] = {
      {-1, L"A", 0, 1},
      {0, L"B", 0, 2},
      {-1, L"C", 2, 3},
      {1, L"D", 1, 4},
      {99, L"E", 4, 5},
  };
  for (const Step& step : steps) {
    MethodCall call = Insert(step.index, step.name);
    ASSERT_TRUE(call.Answer) << step.name;
    EXPECT_TRUE(call.BoolResult()) << step.name;
    EXPECT_EQ(call.Params[0].vt, VTYPE_I4);
    EXPECT_EQ(call.Params[0].lVal, step.returnedIndex) << step.name;
    EXPECT_EQ(call.Params[5].vt, VTYPE_UI4);
    EXPECT_EQ(call.Params[5].ulVal, step.returnedId) << step.name;
  }
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"B", L"D", L"A", L"C", L"E"}));
  EXPECT_EQ(addin.FormatNewId, 6u);
  EXPECT_EQ(addin.ModifiedParts, kListsPart);
  EXPECT_EQ(addin.Formats[0].KeyFilters, 1u);
  EXPECT_EQ(addin.Formats[0].Flags, 2u);
}

TEST_F(FormatMethodsTest, InsertedFormatReadsBackThroughGetFormat) {
  MethodCall insert =
      Call(L"InsertFormat", {I4(-1), Str(L"Wiegand"), Str(L"%.3u,%.5u"), Str(L"b2 w01"), Str(L"26 bit"), Null()});
  ASSERT_TRUE(insert.BoolResult());
  EXPECT_EQ(insert.Params[5].vt, VTYPE_NULL) << "a NULL Id argument receives nothing";
  ASSERT_TRUE(Call(L"InsertFormat", {I4(-1), Str(L"plain"), Str(L"%u"), Str(L"b0"), Empty(), Empty()}).BoolResult());

  MethodCall get = Call(L"GetFormat", {I4(0), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(get.Answer);
  EXPECT_TRUE(get.BoolResult());
  EXPECT_EQ(TakeText(get.Params[1]), L"Wiegand");
  EXPECT_EQ(TakeText(get.Params[2]), L"%.3u,%.5u");
  EXPECT_EQ(TakeText(get.Params[3]), L"b2 w01");
  EXPECT_EQ(TakeText(get.Params[4]), L"26 bit");
  EXPECT_EQ(get.Params[5].vt, VTYPE_UI4);
  EXPECT_EQ(get.Params[5].ulVal, 1u);

  get = Call(L"GetFormat", {I4(1), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(get.BoolResult());
  EXPECT_EQ(TakeText(get.Params[1]), L"plain");
  EXPECT_EQ(TakeText(get.Params[2]), L"%u");
  EXPECT_EQ(TakeText(get.Params[3]), L"b0");
  EXPECT_EQ(TakeText(get.Params[4]), L"") << "an omitted comment is empty";
  EXPECT_EQ(get.Params[5].ulVal, 2u);

  get = Call(L"GetFormat", {I4(2), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(get.Answer);
  EXPECT_FALSE(get.BoolResult());
  EXPECT_EQ(LastError(), kBounds);
  get = Call(L"GetFormat", {Str(L"0"), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(get.Answer);
  EXPECT_FALSE(get.BoolResult());
  EXPECT_EQ(LastError(), kParamType);
}

TEST_F(FormatMethodsTest, RefusedInsertsChangeNothing) {
  Put(1, L"Main");
  addin.FormatNewId = 2;
  const struct {
    const wchar_t* name;
    HRESULT code;
  } cases[] = {{L"", kFormatName}, {L"Main", kFormatExists}};
  for (const auto& c : cases) {
    MethodCall call = Insert(-1, c.name);
    ASSERT_TRUE(call.Answer);
    EXPECT_FALSE(call.BoolResult()) << c.name;
    EXPECT_EQ(LastError(), c.code) << c.name;
  }
  MethodCall call = Call(L"InsertFormat", {I4(-1), Str(L"x"), Null(), Str(L"b0"), Null(), Null()});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult()) << "the template is not optional";
  EXPECT_EQ(LastError(), kParamType);
  EXPECT_EQ(addin.Formats.size(), 1u);
  EXPECT_EQ(addin.FormatNewId, 2u);
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(FormatMethodsTest, NewIdsSkipUsedOnesWrapAndAreNeverZero) {
  struct Case {
    const char* what;
    std::vector<UINT> present;
    UINT nextId;
    UINT expectedId;
    UINT expectedNext;
  };
  const Case cases[] = {
      {"the next ID", {1}, 7, 7, 8},
      {"used ones skipped", {3, 4}, 3, 5, 6},
      {"a stored next ID of 0", {}, 0, 1, 2},
      {"a stored next ID of 0 with 1 used", {1, 2}, 0, 3, 4},
      {"the highest ID that is given", {}, 0xFFFFFFFE, 0xFFFFFFFE, 0xFFFFFFFF},
      {"0xFFFFFFFF is never given: wrap", {1, 2}, 0xFFFFFFFF, 3, 4},
      {"wrap past a used top", {0xFFFFFFFE, 1}, 0xFFFFFFFE, 2, 3},
  };
  for (const Case& c : cases) {
    addin.Formats.clear();
    addin.FormatIndexCache.clear();
    for (UINT id : c.present) Put(id, L"P" + std::to_wstring(id));
    addin.FormatNewId = c.nextId;
    MethodCall call = Insert(-1, L"new");
    ASSERT_TRUE(call.BoolResult()) << c.what;
    EXPECT_EQ(call.Params[5].ulVal, c.expectedId) << c.what;
    EXPECT_EQ(addin.FormatNewId, c.expectedNext) << c.what;
  }
}

TEST_F(FormatMethodsTest, SetFormatRules) {
  Put(1, L"first");
  Put(2, L"second");
  addin.Formats[0].Comment = L"kept";

  MethodCall call = Call(L"SetFormat", {I4(0), Str(L"first"), Str(L"%X"), Null(), Empty()});
  ASSERT_TRUE(call.Answer);
  EXPECT_TRUE(call.BoolResult()) << "its own name is accepted";
  EXPECT_EQ(addin.Formats[0].Template, L"%X");
  EXPECT_EQ(addin.Formats[0].Params, L"b0");
  EXPECT_EQ(addin.Formats[0].Comment, L"kept");
  EXPECT_EQ(addin.ModifiedParts, kListsPart);

  call = Call(L"SetFormat", {I4(1), Str(L"Second"), Null(), Str(L"b0 +"), Str(L"")});
  EXPECT_TRUE(call.BoolResult()) << "parameters are stored unchecked";
  EXPECT_EQ(addin.Formats[1].Name, L"Second");
  EXPECT_EQ(addin.Formats[1].Params, L"b0 +");
  EXPECT_EQ(addin.Formats[1].Comment, L"");

  addin.ModifiedParts = 0;
  const struct {
    const char* what;
    int32_t index;
    const wchar_t* name;
    HRESULT code;
  } cases[] = {
      {"another format's name", 0, L"Second", kFormatExists},
      {"an empty name", 0, L"", kFormatName},
      {"index equal to the length", 2, L"z", kBounds},
      {"negative index", -1, L"z", kBounds},
  };
  for (const auto& c : cases) {
    call = Call(L"SetFormat", {I4(c.index), Str(c.name), Str(L"%o"), Null(), Null()});
    ASSERT_TRUE(call.Answer) << c.what;
    EXPECT_FALSE(call.BoolResult()) << c.what;
    EXPECT_EQ(LastError(), c.code) << c.what;
  }
  EXPECT_EQ(addin.Formats[0].Template, L"%X");
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(FormatMethodsTest, FindFormatGivesTheIndexByExactName) {
  Put(40, L"alpha");
  Put(41, L"beta");
  EXPECT_EQ(Call(L"FindFormat", {Str(L"beta")}).IntResult(), 1);
  EXPECT_EQ(Call(L"FindFormat", {Str(L"Beta")}).IntResult(), -1);
  EXPECT_EQ(Call(L"FindFormat", {Str(L"")}).IntResult(), -1);
  tVariant result{};
  tVariant number = UI4(40);
  EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(L"FindFormat"), &result, &number, 1));
  EXPECT_EQ(LastError(), kInvalidArg);
}

TEST_F(FormatMethodsTest, FindFormatByIdReadsTheIdByItsType) {
  Put(0xFFFFFFFF, L"all ones");
  Put(0xFFFF, L"16 ones");
  Put(0xFF, L"8 ones");
  Put(7, L"seven");
  const struct {
    const char* what;
    uint16_t type;
    uint64_t raw;
    int32_t index;
  } cases[] = {
      {"I1 -1 sign-extended", VTYPE_I1, 0xFF, 0},
      {"I2 -1 sign-extended", VTYPE_I2, 0xFFFF, 0},
      {"UI1 zero-extended", VTYPE_UI1, 0xFF, 2},
      {"UI2 zero-extended", VTYPE_UI2, 0xFFFF, 1},
      {"I2 upper bytes ignored", VTYPE_I2, 0xAB0007, 3},
      {"I8 low 32 bits", VTYPE_I8, 0x100000007ull, 3},
      {"UI8 low 32 bits", VTYPE_UI8, 0xFFFFFFFF000000FFull, 2},
      {"I4", VTYPE_I4, 7, 3},
      {"UINT", VTYPE_UINT, 0xFFFFFFFF, 0},
      {"unknown ID", VTYPE_UI4, 8, -1},
  };
  for (const auto& c : cases) {
    MethodCall call = Call(L"FindFormatByID", {Typed(c.type, c.raw)});
    ASSERT_TRUE(call.Answer) << c.what;
    EXPECT_EQ(call.IntResult(), c.index) << c.what;
  }
  for (tVariant refused : {R8(7.0), Str(L"7"), Null()}) {
    tVariant result{};
    EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(L"FindFormatByID"), &result, &refused, 1));
    EXPECT_EQ(LastError(), kInvalidArg);
  }
}

TEST_F(FormatMethodsTest, CacheKeptBySetAndEmptiedByInsertDeleteAndClear) {
  Put(10, L"ten");
  Put(20, L"twenty");
  addin.FormatNewId = 30;
  EXPECT_EQ(FindById(20), 1);
  EXPECT_EQ(FindById(30), -1);
  EXPECT_FALSE(addin.FormatIndexCache.empty());

  // A change of a format keeps the cache and its answers.
  const size_t cached = addin.FormatIndexCache.size();
  ASSERT_TRUE(Call(L"SetFormat", {I4(0), Str(L"TEN"), Null(), Null(), Null()}).BoolResult());
  EXPECT_EQ(addin.FormatIndexCache.size(), cached);
  EXPECT_EQ(FindById(30), -1);

  // The insert gets ID 30 at the front: both the stored -1 and the stored index 1 are gone.
  MethodCall insert = Insert(0, L"thirty");
  ASSERT_TRUE(insert.BoolResult());
  ASSERT_EQ(insert.Params[5].ulVal, 30u);
  EXPECT_EQ(FindById(30), 0);
  EXPECT_EQ(FindById(20), 2);

  ASSERT_TRUE(Call(L"DeleteFormat", {I4(0)}).BoolResult());
  EXPECT_EQ(FindById(20), 1);
  EXPECT_EQ(FindById(30), -1);

  ASSERT_TRUE(Call(L"ClearFormats", {}).BoolResult());
  EXPECT_EQ(FindById(10), -1);
  EXPECT_TRUE(addin.Formats.empty());
}

TEST_F(FormatMethodsTest, DeleteAndClear) {
  Put(1, L"a");
  Put(2, L"b");
  MethodCall call = Call(L"DeleteFormat", {I4(2)});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(LastError(), kBounds);
  EXPECT_EQ(addin.ModifiedParts, 0u);

  ASSERT_TRUE(Call(L"DeleteFormat", {I4(0)}).BoolResult());
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"b"}));
  EXPECT_EQ(addin.ModifiedParts, kListsPart);

  addin.ModifiedParts = 0;
  ASSERT_TRUE(Call(L"ClearFormats", {}).BoolResult());
  EXPECT_EQ(addin.ModifiedParts, kListsPart);
  addin.ModifiedParts = 0;
  call = Call(L"ClearFormats", {});
  ASSERT_TRUE(call.Answer);
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(addin.ModifiedParts, 0u) << "clearing an empty list changes nothing";
}

TEST_F(FormatMethodsTest, CheckFormatReportsTheFirstFaultAndItsPosition) {
  const struct {
    const wchar_t* templ;
    const wchar_t* params;
    bool ok;
    HRESULT code;
    int32_t position;
  } cases[] = {
      {L"%.3u,%.5u", L"b2 w01", true, S_OK, -1},
      {L"%u,%u", L"b0", false, kFewParams, -1},
      {L"%k", L"", false, kTemplateSpec, 0},
      {L"ab%n", L"b0", false, kTemplateSpec, 2},
      {L"%u", L"b0 +", false, kUnexpectedEnd, 4},
      {L"\\x25u", L"", true, S_OK, -1},  // escapes are not decoded when checking
  };
  for (const auto& c : cases) {
    addin.SetError(S_OK, nullptr);
    MethodCall call = Call(L"CheckFormat", {Str(c.templ), Str(c.params), Null()});
    ASSERT_TRUE(call.Answer) << c.templ;
    EXPECT_EQ(call.BoolResult(), c.ok) << c.templ;
    EXPECT_EQ(call.Params[2].vt, VTYPE_I4) << c.templ;
    EXPECT_EQ(call.Params[2].lVal, c.position) << c.templ;
    EXPECT_EQ(LastError(), c.code) << c.templ;
  }
  MethodCall call = Call(L"CheckFormat", {Str(L"%u,%u"), Str(L"b0"), Null()});
  std::wstring text;
  EXPECT_EQ(LastError(&text), kFewParams);
  EXPECT_EQ(text, L"Not enough parameters.");
  call = Call(L"CheckFormat", {Str(L"%u"), Empty(), Null()});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(LastError(), kParamType);
}

// The key that Format builds from its last argument, shown through its length and three bytes.
TEST_F(FormatMethodsTest, FormatBuildsTheKeyFromEachArgumentType) {
  std::string twenty;
  for (int i = 1; i <= 20; ++i) twenty += char(i);
  const struct {
    const char* what;
    tVariant key;
    const wchar_t* params;
    const wchar_t* text;
  } cases[] = {
      {"hex number text", Str(L"0x0102"), L"bl b0 b1", L"2:2,1"},
      {"hex number text, capital X, odd digits", Str(L"0X102"), L"bl b0 b1", L"2:2,1"},
      {"hex byte pairs", Str(L"0102"), L"bl b0 b1", L"2:1,2"},
      {"\"0x\" alone is byte pairs", Str(L"0x"), L"bl b0 b1", L"1:0,0"},
      {"empty text", Str(L""), L"bl b0 b1", L"0:0,0"},
      {"EMPTY", Empty(), L"bl b0 b1", L"0:0,0"},
      {"NULL", Null(), L"bl b0 b1", L"0:0,0"},
      {"I1", Typed(VTYPE_I1, 0x7788), L"bl b0 b1", L"1:136,0"},
      {"UI2", Typed(VTYPE_UI2, 0x030201), L"bl b0 b1", L"2:1,2"},
      {"I4", I4(0x04030201), L"bl b0 b3", L"4:1,4"},
      {"UINT upper half ignored", Typed(VTYPE_UINT, 0x0908070604030201ull), L"bl b0 b3", L"4:1,4"},
      {"I8", Typed(VTYPE_I8, 0x0807060504030201ull), L"bl b0 b7", L"8:1,8"},
      {"BLOB of 20 bytes: the first 15", Blob(twenty), L"bl be bf", L"15:15,0"},
      {"PSTR of 3 bytes", Blob("\x0A\x0B\x0C", VTYPE_PSTR), L"bl b0 b2", L"3:10,12"},
  };
  for (const auto& c : cases) {
    MethodCall call = Call(L"Format", {Null(), Str(L"%u:%u,%u"), Str(c.params), UI4(1), c.key});
    ASSERT_TRUE(call.Answer) << c.what;
    EXPECT_TRUE(call.BoolResult()) << c.what;
    EXPECT_EQ(TakeText(call.Params[0]), c.text) << c.what;
  }
}

TEST_F(FormatMethodsTest, FormatAppliesTheTemplateAndClearsTheLastError) {
  addin.SetError(kBounds, L"old");
  MethodCall call = Call(L"Format", {Empty(), Str(L"%.3u,%.5u"), Str(L"b2 w01"), UI4(21), Str(L"0x0C3039")});
  ASSERT_TRUE(call.Answer);
  ASSERT_TRUE(call.BoolResult());
  // Byte 2 is 0x0C = 12, bytes 0 and 1 are 0x3039 = 12345.
  EXPECT_EQ(TakeText(call.Params[0]), L"012,12345");
  std::wstring text;
  EXPECT_EQ(LastError(&text), S_OK);
}

TEST_F(FormatMethodsTest, FormatFailures) {
  const struct {
    const char* what;
    tVariant keyType;
    const wchar_t* params;
    tVariant key;
    HRESULT code;
  } cases[] = {
      {"key type 22", UI4(22), L"b0", Str(L"01"), kInvalidArg},
      {"key type -1", I4(-1), L"b0", Str(L"01"), kInvalidArg},
      {"key of type R8", UI4(1), L"b0", R8(1.0), kInvalidArg},
      {"key of type BOOL", UI4(1), L"b0", Typed(VTYPE_BOOL, 1), kInvalidArg},
      {"key type as text", Str(L"1"), L"b0", Str(L"01"), kParamType},
      {"parameters that do not parse", UI4(1), L"b0 +", Str(L"01"), kFail},
      {"a division by zero", UI4(1), L"b0 / b1", Str(L"0100"), kFail},
      {"a remainder by zero", UI4(1), L"b0 % (b1 - 1)", Str(L"0101"), kFail},
  };
  for (const auto& c : cases) {
    MethodCall call = Call(L"Format", {Null(), Str(L"%u"), Str(c.params), c.keyType, c.key});
    ASSERT_TRUE(call.Answer) << c.what;
    EXPECT_FALSE(call.BoolResult()) << c.what;
    EXPECT_EQ(call.Params[0].vt, VTYPE_NULL) << c.what << ": no text handed out";
    EXPECT_EQ(LastError(), c.code) << c.what;
  }
  // The parser's own message reaches GetLastError.
  Call(L"Format", {Null(), Str(L"%u"), Str(L"b0 +"), UI4(1), Str(L"01")});
  std::wstring text;
  EXPECT_EQ(LastError(&text), kFail);
  EXPECT_NE(text.find(L"Unexpected end of expression."), std::wstring::npos) << std::string(text.begin(), text.end());
  EXPECT_TRUE(host.Errors().empty()) << "a false result, not a host error";
}

// Without memory for the out texts the call still answers, with a false result and E_OUTOFMEMORY.
TEST_F(FormatMethodsTest, NoMemoryForTheTextsGivesAFalseResult) {
  Put(1, L"a");
  host.FailAllocations = true;
  MethodCall get = Call(L"GetFormat", {I4(0), Null(), Null(), Null(), Null(), Null()});
  MethodCall format = Call(L"Format", {Null(), Str(L"%u"), Str(L"b0"), UI4(1), Str(L"05")});
  host.FailAllocations = false;
  for (MethodCall* call : {&get, &format}) {
    ASSERT_TRUE(call->Answer);
    EXPECT_EQ(call->Result.vt, VTYPE_BOOL);
    EXPECT_FALSE(call->Result.bVal);
  }
  EXPECT_EQ(addin.LastError, HRESULT(0x8007000E));
}

// Every list method refuses a call without a result or with too few parameters.
TEST(FormatAndKeyFilterRefusals, TooFewParametersOrNoResultFailTheCall) {
  CFakeHost host;
  CVombra addin(L"VombraExtension");
  addin.setMemManager(host.Memory());
  const struct {
    const wchar_t* name;
    long count;
  } methods[] = {
      {L"FindKeyFilterByID", 1}, {L"FindKeyFilterForKey", 3}, {L"GetKeyFilter", 6}, {L"SetKeyFilter", 5},
      {L"InsertKeyFilter", 6},   {L"DeleteKeyFilter", 1},     {L"ClearKeyFilters", 0}, {L"FindFormatByID", 1},
      {L"FindFormat", 1},        {L"GetFormat", 6},           {L"SetFormat", 5},    {L"InsertFormat", 6},
      {L"DeleteFormat", 1},      {L"ClearFormats", 0},        {L"CheckFormat", 3},  {L"Format", 5},
  };
  long number = 12;
  for (const auto& m : methods) {
    ASSERT_EQ(addin.FindMethod(m.name), number) << "the method's place in the table";
    ++number;
    std::vector<tVariant> params(6);
    for (tVariant& p : params) p.vt = VTYPE_I4;
    tVariant result{};
    if (m.count > 0) {
      addin.SetError(S_OK, nullptr);
      EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(m.name), &result, params.data(), m.count - 1)) << m.name;
      EXPECT_EQ(addin.LastError, kInvalidArg) << m.name;
      addin.SetError(S_OK, nullptr);
      EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(m.name), &result, nullptr, m.count)) << m.name;
      EXPECT_EQ(addin.LastError, kInvalidArg) << m.name;
    }
    addin.SetError(S_OK, nullptr);
    EXPECT_FALSE(addin.CallAsProc(addin.FindMethod(m.name), params.data(), m.count)) << m.name << " without result";
    EXPECT_EQ(addin.LastError, kInvalidArg) << m.name;
  }
  EXPECT_EQ(host.OutstandingBlocks(), 0u);
}

}  // namespace
