// The class library's string, language and automation helpers, and the engine's exception texts as the
// configurator words them.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <map>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "Exceptions.h"
#include "FormatApply.h"
#include "Strings.h"

namespace {

constexpr LANGID kEnglish = 1033, kRussian = 1049;

// The program is its own resource module, as ConfigVombra.exe is, and words the engine's exceptions with its
// own strings, as its start-up does.
class ConfiguratorModule : public ::testing::Environment {
 public:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetExceptionStringIds(IDS_CONFIG_SYSTEM_ERROR, IDS_CONFIG_COM_ERROR);
  }
};
const auto* const kModule = ::testing::AddGlobalTestEnvironment(new ConfiguratorModule);

// Restores English for the C run-time and the thread however a language test ends.
class LanguageTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUILanguage(kEnglish); }
};

std::wstring RuntimeLocale() {
  const wchar_t* name = _wsetlocale(LC_ALL, nullptr);
  return name ? name : L"";
}

// ---- Conversions ----

// Each row converts both ways: the narrow text to the wide one and back.
TEST(TextConversion, BothWaysTable) {
  struct Case {
    const char* Name;
    std::string Narrow;
    std::wstring Wide;
    UINT CodePage;
    bool Counted;   // passed with its length, else NUL-terminated (-1)
    bool Converts;  // false: both ways give an empty text
  } cases[] = {
      {"UTF-8", "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87 key", L"Ключ key", CP_UTF8, false, true},
      {"counted, an inner NUL kept", std::string("a\0b", 3), std::wstring(L"a\0b", 3), CP_UTF8, true, true},
      {"ANSI", "plain", L"plain", CP_ACP, true, true},
      {"empty", "", L"", CP_UTF8, false, true},
      {"zero length", "", L"", CP_UTF8, true, true},
      {"unknown code page", "abc", L"abc", 12345, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::wstring wide = L"old";
    const std::wstring expectedWide = c.Converts ? c.Wide : L"";
    EXPECT_EQ(MultiByteToWide(c.Narrow.c_str(), c.Counted ? c.Narrow.size() : size_t(-1), wide, c.CodePage),
              expectedWide.size());
    EXPECT_EQ(wide, expectedWide);
    std::string narrow = "old";
    const std::string expectedNarrow = c.Converts ? c.Narrow : "";
    EXPECT_EQ(WideToMultiByte(c.Wide.c_str(), c.Counted ? c.Wide.size() : size_t(-1), narrow, c.CodePage),
              expectedNarrow.size());
    EXPECT_EQ(narrow, expectedNarrow);
  }
  std::wstring wide = L"old";
  EXPECT_EQ(MultiByteToWide("abcdef", 3, wide, CP_UTF8), 3u);
  EXPECT_EQ(wide, L"abc") << "a counted text ends at its length";
  EXPECT_EQ(MultiByteToWide(nullptr, size_t(-1), wide, CP_UTF8), 0u);
  EXPECT_EQ(wide, L"");
  std::string narrow = "old";
  EXPECT_EQ(WideToMultiByte(nullptr, 3, narrow, CP_UTF8), 0u);
  EXPECT_EQ(narrow, "");
}

// ---- Hexadecimal and numbers ----

TEST(HexText, BytesReversedTable) {
  const BYTE key[] = {0x01, 0x02, 0x0A, 0xF0};
  struct Case {
    size_t Bytes, OutChars;
    const wchar_t* Expected;
  } cases[] = {
      {3, 7, L"0A0201"}, {4, 9, L"F00A0201"}, {0, 1, L""}, {3, 4, L"0A0"}, {4, 2, L"F"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Expected);
    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    EXPECT_EQ(BytesToHexReversed(key, c.Bytes, buffer, c.OutChars), wcslen(c.Expected));
    EXPECT_STREQ(buffer, c.Expected);
    EXPECT_EQ(buffer[c.OutChars], L'#') << "nothing is written past the buffer";
    if (c.OutChars == c.Bytes * 2 + 1) {
      std::wstring text = L"old";
      BytesToHexStrReversed(key, c.Bytes, text);
      EXPECT_EQ(text, c.Expected);
    }
  }
}

TEST(Numbers, StrToUIntTable) {
  struct Case {
    const wchar_t* Text;
    bool Ok;
    UINT Value;
  } cases[] = {
      {L"0", true, 0},
      {L"000", true, 0},
      {L"12", true, 12},
      {L"12abc", true, 12},
      {L"  7", true, 7},
      {L"+5", true, 5},
      {L"-0", true, 0},
      {L"0x10", true, 0},
      {L"4294967295", true, 4294967295u},
      {L"-1", true, 4294967295u},
      {L"4294967296", true, 4294967295u},
      {L"99999999999999999999", true, 4294967295u},
      {L"", false, 0},
      {L"abc", false, 0},
      {L"   ", false, 0},
      {L"-", false, 0},
      {L"+x", false, 0},
      {nullptr, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text ? c.Text : L"(null)");
    UINT out = 0xDEADBEEF;
    EXPECT_EQ(StrToUInt(c.Text, out), c.Ok);
    EXPECT_EQ(out, c.Ok ? c.Value : 0xDEADBEEF) << "a failure leaves the value alone";
  }
}

TEST(Numbers, SignedDecimalTable) {
  struct Case {
    long long Value;
    const wchar_t* Expected;
  } cases[] = {{0, L"0"}, {-1, L"-1"}, {INT_MAX, L"2147483647"}, {INT_MIN, L"-2147483648"}};
  for (const Case& c : cases) {
    std::wstring text;
    IntToStr(int(c.Value), text);
    EXPECT_EQ(text, c.Expected);
  }
  std::wstring text;
  Int64ToStr(LLONG_MIN, text);
  EXPECT_EQ(text, L"-9223372036854775808");
  Int64ToStr(5000000000LL, text);
  EXPECT_EQ(text, L"5000000000");
}

// ---- Escapes ----

TEST(Escapes, EncodeWritesTheSixEscapes) {
  std::wstring out = L"old";
  EncodeEscapes(out, L"a\tb\nc\rd\"e'f\\g?h");
  EXPECT_EQ(out, L"a\\tb\\nc\\rd\\\"e\\'f\\\\g?h");
  EncodeEscapes(out, L"x\ty", 1);
  EXPECT_EQ(out, L"x") << "a counted text ends at its length";
  EncodeEscapes(out, nullptr);
  EXPECT_EQ(out, L"");
}

TEST(Escapes, DecodeGivesBackWhatEncodeWrote) {
  const wchar_t* texts[] = {
      L"%.3u,%.5u",
      L"line one\r\nline two\n",
      L"\ttabbed\t\t",
      L"say \"hi\" and 'bye'",
      L"C:\\Keys\\",
      L"\\",
      L"\\n is no line break",
      L"\\x41 \\#65 \\101 \\$41 stay as typed",
      L"trailing backslash \\",
      L"Ключ № 1\t\"Ёж\"",
      L"",
  };
  for (const wchar_t* text : texts) {
    SCOPED_TRACE(text);
    std::wstring encoded, decoded;
    EncodeEscapes(encoded, text);
    EXPECT_EQ(encoded.find_first_of(L"\t\r\n"), std::wstring::npos);
    DecodeEscapes(decoded, encoded.c_str());
    EXPECT_EQ(decoded, text);
  }
}

// ---- Loading and formatting strings ----

TEST(StringTable, LoadStrAppendFormatAppends) {
  std::wstring text = L"Open: ";
  EXPECT_EQ(LoadStrAppendFormat(text, IDS_CONFIG_SYSTEM_ERROR, 5), wcslen(L"Open: System error. Code: 5."));
  EXPECT_EQ(text, L"Open: System error. Code: 5.");
  EXPECT_EQ(LoadStrAppendFormat(text, 0xFFF0), text.size()) << "a missing string appends nothing";
  EXPECT_EQ(text, L"Open: System error. Code: 5.");
}

TEST(ExceptionTexts, EngineExceptionsUseTheConfiguratorsStrings) {
  const std::string os = COSException(5).what();
  EXPECT_EQ(os.rfind("System error. Code: 5.", 0), 0u) << os;
  const std::string com = CComException(E_FAIL, nullptr).what();
  EXPECT_EQ(com.rfind("COM error 0x80004005", 0), 0u) << com;
  EXPECT_STREQ(COSException(0).what(), "A call to an OS function failed");
}

// ---- Language ----

TEST_F(LanguageTest, RussianSwitchesStringsAndTheRuntimeLocale) {
  SetUILanguage(kRussian);
  EXPECT_EQ(GetUILanguage(), kRussian);
  EXPECT_EQ(RuntimeLocale().rfind(L"Russian_Russia", 0), 0u) << RuntimeLocale();
  std::wstring text;
  LoadStr(IDS_PRESET_PREFIX, text);
  EXPECT_EQ(text, L"[П]");
  LoadStr(IDS_CONFIG_COM_ERROR, text);
  EXPECT_EQ(text, L"Ошибка COM %#.8x");
  EXPECT_STREQ(localeconv()->decimal_point, ",") << "the run-time formats numbers the Russian way";

  SetUILanguage(kEnglish);
  EXPECT_EQ(GetUILanguage(), kEnglish);
  EXPECT_EQ(RuntimeLocale().rfind(L"English_United States", 0), 0u) << RuntimeLocale();
  LoadStr(IDS_PRESET_PREFIX, text);
  EXPECT_EQ(text, L"[P]");
  LoadStr(IDS_CONFIG_SYSTEM_ERROR, text);
  EXPECT_EQ(text, L"System error. Code: %d.");
  EXPECT_STREQ(localeconv()->decimal_point, ".");
}

TEST_F(LanguageTest, BothLanguagesHoldEveryConfiguratorString) {
  const UINT ids[] = {IDS_CONFIG_SYSTEM_ERROR, IDS_CONFIG_COM_ERROR, IDS_PRESET_PREFIX};
  for (UINT id : ids) {
    SCOPED_TRACE(id);
    std::wstring english, russian;
    SetUILanguage(kEnglish);
    LoadStr(id, english);
    SetUILanguage(kRussian);
    LoadStr(id, russian);
    EXPECT_FALSE(english.empty());
    EXPECT_FALSE(russian.empty());
    EXPECT_NE(english, russian);
  }
}

// ---- Automation ----

// An automation object with two members: "Cells"(row, column) answers row * 100 + column, "Value" is a
// property. It journals what it is asked.
class CFakeDispatch : public IDispatch {
 public:
  struct Call {
    DISPID Id;
    WORD Flags;
    LCID Locale;
    std::vector<LONG> Arguments;  // rgvarg as it arrives (last argument first)
    std::vector<DISPID> Named;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override {
    nameLocales.push_back(locale);
    const std::map<std::wstring, DISPID> known = {{L"Cells", 1}, {L"Value", 2}, {L"Fails", 3}};
    auto found = count == 1 ? known.find(names[0]) : known.end();
    if (found == known.end()) {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    ids[0] = found->second;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    Call call{id, flags, locale, {}, {}};
    for (UINT i = 0; i < params->cArgs; ++i) call.Arguments.push_back(params->rgvarg[i].lVal);
    for (UINT i = 0; i < params->cNamedArgs; ++i) call.Named.push_back(params->rgdispidNamedArgs[i]);
    calls.push_back(call);
    const UINT positional = params->cArgs - params->cNamedArgs;
    if (id == 1 && positional == 2 && result) {
      // DISPPARAMS: the member's first argument is the last entry.
      result->vt = VT_I4;
      result->lVal = params->rgvarg[1].lVal * 100 + params->rgvarg[0].lVal;
      return S_OK;
    }
    if (id == 2 && (flags & DISPATCH_PROPERTYPUT)) {
      if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTOPTIONAL;
      value = params->rgvarg[0].lVal;
      return S_OK;
    }
    if (id == 2 && (flags & DISPATCH_PROPERTYGET) && result) {
      result->vt = VT_I4;
      result->lVal = value;
      return S_OK;
    }
    if (id == 3) {
      exception->bstrDescription = SysAllocString(L"refused");
      exception->scode = E_FAIL;
      return DISP_E_EXCEPTION;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
  std::vector<Call> calls;
  std::vector<LCID> nameLocales;
  LONG value = 0;
};

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

TEST(Automation, UnknownNameIsNeverInvoked) {
  CFakeDispatch fake;
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(InvokeDispatch(DISPATCH_METHOD, &result, &fake, L"Nope", 1, Long(1)), DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(fake.nameLocales, std::vector<LCID>{LOCALE_USER_DEFAULT});
}

TEST(Automation, ArgumentsArePassedLastFirst) {
  CFakeDispatch fake;
  VARIANT result;
  VariantInit(&result);
  // Cells(row 2, column 3): the caller names the last argument first.
  ASSERT_EQ(InvokeDispatch(DISPATCH_PROPERTYGET, &result, &fake, L"Cells", 2, Long(3), Long(2)), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 203);
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].Id, 1);
  EXPECT_EQ(fake.calls[0].Locale, LCID(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(fake.calls[0].Arguments, (std::vector<LONG>{3, 2}));
  EXPECT_TRUE(fake.calls[0].Named.empty());
}

TEST(Automation, PropertyPutNamesItsArgument) {
  CFakeDispatch fake;
  ASSERT_EQ(InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, &fake, L"Value", 1, Long(42)), S_OK);
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].Flags, WORD(DISPATCH_PROPERTYPUT));
  EXPECT_EQ(fake.calls[0].Named, std::vector<DISPID>{DISPID_PROPERTYPUT});
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(InvokeDispatch(DISPATCH_PROPERTYGET, &result, &fake, L"Value", 0), S_OK);
  EXPECT_EQ(result.lVal, 42);
  EXPECT_TRUE(fake.calls[1].Named.empty());
}

TEST(Automation, FailuresComeBackAsTheyAre) {
  CFakeDispatch fake;
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(InvokeDispatch(DISPATCH_METHOD, &result, &fake, L"Fails", 0), DISP_E_EXCEPTION);
  EXPECT_EQ(InvokeDispatch(DISPATCH_METHOD, &result, &fake, L"Cells", 1, Long(1)), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(fake.calls.size(), 2u);
  EXPECT_EQ(InvokeDispatch(DISPATCH_METHOD, &result, nullptr, L"Cells", 0), E_POINTER);
}

}  // namespace
