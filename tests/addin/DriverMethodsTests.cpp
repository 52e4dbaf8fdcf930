// The driver calls that need no reader: version, description, last error, one parameter at a time
// and the (absent) additional actions, as the host calls them by number.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "AddinModule.h"
#include "FakeHost.h"
#include "Vombra.h"

namespace {

class DriverMethodsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);  // connected, without Init's registry reading
  }
  void TearDown() override {
    EXPECT_EQ(host.OutstandingBlocks(), 0u) << "a block handed to the host was not freed";
    EXPECT_TRUE(host.Errors().empty());
  }

  tVariant Text(const wchar_t* text) {
    tVariant value{};
    value.pwstrVal = const_cast<WCHAR_T*>(text);
    value.wstrLen = uint32_t(wcslen(text));
    value.vt = VTYPE_PWSTR;
    return value;
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

TEST_F(DriverMethodsTest, GetVersionGivesTheVersionText) {
  tVariant result{};
  ASSERT_TRUE(addin.CallAsFunc(addin.FindMethod(L"GetVersion"), &result, nullptr, 0));
  EXPECT_EQ(result.vt, VTYPE_PWSTR);
  EXPECT_EQ(result.wstrLen, 7u);
  EXPECT_EQ(CFakeHost::Text(result), L"1.9.5.7");
  EXPECT_EQ(result.pwstrVal[7], L'\0');
  host.FreeVariant(result);
}

TEST_F(DriverMethodsTest, GetVersionAsAProcedureAllocatesNothing) {
  EXPECT_TRUE(addin.CallAsProc(0, nullptr, 0));
  EXPECT_EQ(host.AllocatedBlocks(), 0u);
}

TEST_F(DriverMethodsTest, GetDescriptionFillsItsSevenOutputsInTheThreadsLanguage) {
  struct Case {
    LANGID language;
    const wchar_t* description;
  } cases[] = {
      {kEnglish, L"Driver for input devices"},
      {kRussian, L"Драйвер для подключения устройств ввода"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    ScopedThreadLanguage language(c.language);
    tVariant params[7] = {};
    tVariant result{};
    ASSERT_TRUE(addin.CallAsFunc(addin.FindMethod(L"ПолучитьОписание"), &result, params, 7));
    EXPECT_EQ(result.vt, VTYPE_BOOL);
    EXPECT_TRUE(result.bVal);
    EXPECT_EQ(CFakeHost::Text(params[0]), L"Vombra");
    EXPECT_EQ(CFakeHost::Text(params[1]), c.description);
    EXPECT_EQ(CFakeHost::Text(params[2]), L"СчитывательМагнитныхКарт");
    EXPECT_EQ(params[3].vt, VTYPE_I4);
    EXPECT_EQ(params[3].lVal, 1005);
    EXPECT_EQ(params[4].vt, VTYPE_BOOL);
    EXPECT_FALSE(params[4].bVal);
    EXPECT_EQ(params[5].vt, VTYPE_BOOL);
    EXPECT_TRUE(params[5].bVal);
    EXPECT_EQ(params[6].vt, VTYPE_PWSTR);
    EXPECT_FALSE(CFakeHost::Text(params[6]).empty());
    for (tVariant& p : params) host.FreeVariant(p);
  }
}

TEST_F(DriverMethodsTest, CallsWithTooFewParametersAreRefused) {
  struct Case {
    const wchar_t* method;
    long count;
  } cases[] = {
      {L"GetDescription", 6}, {L"GetDescription", 0}, {L"GetLastError", 0},
      {L"SetParameter", 1},   {L"GetAdditionalActions", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.method)) + " with " + std::to_string(c.count));
    tVariant params[7] = {};
    tVariant result{};
    addin.SetError(S_OK, nullptr);
    EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(c.method), &result, c.count ? params : nullptr, c.count));
    EXPECT_EQ(addin.LastError, E_INVALIDARG);
    EXPECT_TRUE(addin.LastErrorText.empty());
  }
  EXPECT_EQ(host.AllocatedBlocks(), 0u);
}

TEST_F(DriverMethodsTest, GetLastErrorMakesTheTextOnceAndKeepsIt) {
  ScopedThreadLanguage language(kEnglish);
  tVariant params[2] = {Text(L"port"), {}};
  params[1].lVal = 1;
  params[1].vt = VTYPE_I4;
  tVariant result{};
  ASSERT_TRUE(addin.CallAsFunc(4, &result, params, 2));
  EXPECT_FALSE(result.bVal);
  EXPECT_EQ(addin.LastError, HRESULT(0x80040201));
  EXPECT_TRUE(addin.LastErrorText.empty()) << "texts are made on demand";

  for (int call = 0; call < 2; ++call) {
    SCOPED_TRACE(call);
    tVariant description{};
    tVariant code{};
    ASSERT_TRUE(addin.CallAsFunc(2, &code, &description, 1));
    EXPECT_EQ(code.vt, VTYPE_I4);
    EXPECT_EQ(code.lVal, int32_t(0x80040201));
    EXPECT_EQ(CFakeHost::Text(description), L"Parameter does not exist.");
    host.FreeVariant(description);
  }
  EXPECT_EQ(addin.LastErrorText, L"Parameter does not exist.");
}

TEST_F(DriverMethodsTest, GetLastErrorOfAFreshObjectIsZero) {
  tVariant description{};
  tVariant code{};
  ASSERT_TRUE(addin.CallAsFunc(2, &code, &description, 1));
  EXPECT_EQ(code.vt, VTYPE_I4);
  EXPECT_EQ(code.lVal, 0);
  EXPECT_EQ(description.vt, VTYPE_PWSTR);
  host.FreeVariant(description);
}

struct ParameterCase {
  const char* name;
  const wchar_t* parameter;
  tVariant value;
  bool result;
  HRESULT lastError;  // S_OK: the last error is not touched
  std::function<bool(const _READERPARAMS_INFO&)> check;
};

tVariant Number(int32_t n, uint16_t type = VTYPE_I4) {
  tVariant value{};
  value.lVal = n;
  value.vt = type;
  return value;
}

tVariant Truth(bool b) {
  tVariant value{};
  value.bVal = b;
  value.vt = VTYPE_BOOL;
  return value;
}

TEST_F(DriverMethodsTest, SetParameterSetsOneLiveConnectionField) {
  const _READERPARAMS_INFO defaults;
  const tVariant com3 = Text(L"COM3");
  const tVariant empty = Text(L"");
  const ParameterCase cases[] = {
      {"port", L"Port", com3, true, S_OK, [](auto& p) { return p.Port == L"COM3"; }},
      {"port by Russian name", L"Порт", com3, true, S_OK, [](auto& p) { return p.Port == L"COM3"; }},
      {"empty port stays set", L"Port", empty, false, HRESULT(0x80040210), [](auto& p) { return p.Port.empty(); }},
      {"port not a text", L"Port", Number(3), false, HRESULT(0x80040202), [&](auto& p) { return p.Port == defaults.Port; }},
      {"name in lower case", L"port", com3, false, HRESULT(0x80040201), [&](auto& p) { return p.Port == defaults.Port; }},
      {"property outside 6..21", L"LogLevel", Number(5), false, HRESULT(0x80040201), [](auto&) { return true; }},
      {"model 12", L"Model", Number(12), true, S_OK, [](auto& p) { return p.Model == 12; }},
      {"model 13", L"Model", Number(13), false, E_INVALIDARG, [](auto& p) { return p.Model == 0; }},
      {"model -1", L"Model", Number(-1), false, E_INVALIDARG, [](auto& p) { return p.Model == 0; }},
      {"speed", L"Speed", Number(9600), true, S_OK, [](auto& p) { return p.Speed == 9600; }},
      {"speed by Russian name", L"Скорость", Number(19200), true, S_OK, [](auto& p) { return p.Speed == 19200; }},
      {"stop bits", L"StopBits", Number(2), true, S_OK, [](auto& p) { return p.StopBits == 2; }},
      {"connect timeout", L"ConnectTimeout", Number(500), true, S_OK, [](auto& p) { return p.ConnectTimeout == 500; }},
      {"connect period", L"ConnectPeriod", Number(700), true, S_OK, [](auto& p) { return p.ConnectPeriod == 700; }},
      {"rx period", L"RxPeriod", Number(50), true, S_OK, [](auto& p) { return p.RxPeriod == 50; }},
      {"request timeout", L"RequestTimeout", Number(900), true, S_OK, [](auto& p) { return p.RequestTimeout == 900; }},
      {"request tries", L"RequestTries", Number(5), true, S_OK, [](auto& p) { return p.RequestTries == 5; }},
      {"wiegand on", L"Wiegand", Truth(true), true, S_OK, [](auto& p) { return p.Flags == (0x16 | 0x1); }},
      {"binary off", L"BinaryMode", Truth(false), true, S_OK, [](auto& p) { return p.Flags == (0x16 & ~0x2); }},
      {"different codes off", L"DifferentRK73", Truth(false), true, S_OK, [](auto& p) { return p.Flags == (0x16 & ~0x4); }},
      {"nvt off", L"NVT", Truth(false), true, S_OK, [](auto& p) { return p.Flags == (0x16 & ~0x10); }},
      {"format id", L"ReaderFormatID", Number(7, VTYPE_UI4), true, S_OK, [](auto& p) { return p.FormatId == 7; }},
      {"prefix none", L"Prefix", Number(-1), true, S_OK, [](auto& p) { return p.Prefix == 0xFFFFFFFF; }},
      {"suffix without range check", L"Suffix", Number(300), true, S_OK, [](auto& p) { return p.Suffix == 300; }},
  };
  for (const ParameterCase& c : cases) {
    SCOPED_TRACE(c.name);
    CVombra fresh(L"VombraExtension");
    ASSERT_TRUE(fresh.setMemManager(host.Memory()));
    tVariant params[2] = {Text(c.parameter), c.value};
    tVariant result{};
    ASSERT_TRUE(fresh.CallAsFunc(4, &result, params, 2));
    EXPECT_EQ(result.vt, VTYPE_BOOL);
    EXPECT_EQ(result.bVal, c.result);
    EXPECT_EQ(fresh.LastError, c.lastError);
    EXPECT_TRUE(c.check(fresh.LiveParams));
    EXPECT_EQ(fresh.SavedParams.Port, defaults.Port) << "the saved copy is not touched";
    EXPECT_EQ(fresh.SavedParams.Flags, defaults.Flags);
    EXPECT_EQ(fresh.ModifiedParts, 0u);
  }
}

TEST_F(DriverMethodsTest, SetParameterRefusesANameThatIsNotAText) {
  tVariant params[2] = {Number(6), Text(L"COM3")};
  tVariant result{};
  ASSERT_TRUE(addin.CallAsFunc(4, &result, params, 2));
  EXPECT_FALSE(result.bVal);
  EXPECT_EQ(addin.LastError, HRESULT(0x80040202));
  EXPECT_EQ(addin.LiveParams.Port, L"Auto");
}

TEST_F(DriverMethodsTest, AdditionalActionsAreNone) {
  tVariant actions = Number(1);
  tVariant result{};
  ASSERT_TRUE(addin.CallAsFunc(8, &result, &actions, 1));
  EXPECT_TRUE(result.bVal);
  EXPECT_EQ(actions.vt, VTYPE_PWSTR);
  EXPECT_EQ(actions.wstrLen, 0u);
  EXPECT_EQ(CFakeHost::Text(actions), L"");
  host.FreeVariant(actions);

  addin.SetError(HRESULT(0x80040232), L"kept", size_t(-1));
  tVariant name = Text(L"Anything");
  tVariant none{};
  EXPECT_FALSE(addin.CallAsFunc(9, &none, &name, 1));
  EXPECT_EQ(none.vt, VTYPE_EMPTY) << "the result is not touched";
  EXPECT_EQ(addin.LastError, HRESULT(0x80040232));
  EXPECT_EQ(addin.LastErrorText, L"kept");
}

}  // namespace
