// The dispatcher: what becomes of an exception that leaves a method body, through CallAsProc and
// CallAsFunc, and what the host is told.
#include <windows.h>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "Core.h"
#include "Exceptions.h"
#include "FakeHost.h"
#include "Vombra.h"

namespace {

enum class Throw { Com, ComWin32, BadAlloc, Std, OS };

// An add-in object whose spare method slot runs a body that throws what the test asks for, after
// giving its result a BOOL value when told to.
class CThrowingVombra : public CVombra {
 public:
  CThrowingVombra() : CVombra(L"VombraExtension") {}

  bool ThrowingBody(tVariant* result, tVariant*, long) {
    if (result && setResultFirst) {
      result->bVal = true;
      result->vt = VTYPE_BOOL;
    }
    switch (kind) {
      case Throw::Com:
        throw CComException(HRESULT(0x80040219), g_hResInstance);
      case Throw::ComWin32:
        throw CComException(HRESULT(5), g_hResInstance);
      case Throw::BadAlloc:
        throw std::bad_alloc();
      case Throw::Std:
        throw std::runtime_error("broken reader");
      case Throw::OS:
        throw COSException(ERROR_ACCESS_DENIED);
    }
    return true;
  }

  Throw kind = Throw::Std;
  bool setResultFirst = false;
};

constexpr long kSpareMethod = 20;  // FindFormat: its body arrives with the format methods

struct ThrowCase {
  const char* name;
  Throw kind;
  HRESULT lastError;      // what the last error holds afterwards
  long reported;          // the code the host receives
  const char* ownText;    // the exception's own text, or null when the code's message is used
};

std::wstring Widen(const char* text) {
  std::wstring out;
  AnsiToWide(text, -1, out);
  return out;
}

std::wstring TextOf(Throw kind) {
  switch (kind) {
    case Throw::Com:
      return Widen(CComException(HRESULT(0x80040219), g_hResInstance).what());
    case Throw::ComWin32:
      return Widen(CComException(HRESULT(5), g_hResInstance).what());
    case Throw::Std:
      return L"broken reader";
    case Throw::OS:
      return Widen(COSException(ERROR_ACCESS_DENIED).what());
    case Throw::BadAlloc:
      break;
  }
  return std::wstring();
}

const ThrowCase kThrowCases[] = {
    {"add-in HRESULT", Throw::Com, HRESULT(0x80040219), long(0x80040219), "own"},
    {"Windows error number", Throw::ComWin32, HRESULT(5), long(0x80070005), "own"},
    {"out of memory", Throw::BadAlloc, HRESULT(0x8007000E), long(0x8007000E), nullptr},
    {"standard exception", Throw::Std, HRESULT(0x80004005), long(0x80004005), "own"},
    {"OS exception", Throw::OS, HRESULT(0x80004005), long(0x80004005), "own"},
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);  // connected, without Init's registry reading
    addin.Methods[kSpareMethod] = static_cast<CVombra::MethodBody>(&CThrowingVombra::ThrowingBody);
  }
  void TearDown() override { EXPECT_EQ(host.OutstandingBlocks(), 0u); }

  CFakeHost host;
  CThrowingVombra addin;
};

TEST_F(DispatchTest, ProcedureReportsEveryExceptionToTheHost) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    CFakeHost local;
    addin.Host = static_cast<IAddInDefBase*>(&local);
    addin.kind = c.kind;
    addin.SetError(S_OK, nullptr);
    EXPECT_FALSE(addin.CallAsProc(kSpareMethod, nullptr, 0));
    EXPECT_EQ(addin.LastError, c.lastError);
    if (c.ownText) {
      EXPECT_EQ(addin.LastErrorText, TextOf(c.kind));
    }
    auto errors = local.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, 1004);
    EXPECT_EQ(errors[0].Source, L"Vombra");
    EXPECT_EQ(errors[0].Description, addin.LastErrorText);
    EXPECT_EQ(errors[0].Scode, c.reported);
  }
}

TEST_F(DispatchTest, FunctionWithoutAResultReportsTheException) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    CFakeHost local;
    addin.Host = static_cast<IAddInDefBase*>(&local);
    addin.kind = c.kind;
    tVariant result{};
    EXPECT_FALSE(addin.CallAsFunc(kSpareMethod, &result, nullptr, 0));
    EXPECT_EQ(addin.LastError, c.lastError);
    if (c.ownText) {
      EXPECT_EQ(addin.LastErrorText, TextOf(c.kind));
    }
    auto errors = local.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Description, addin.LastErrorText);
    EXPECT_EQ(errors[0].Scode, c.reported);
  }
}

TEST_F(DispatchTest, FunctionThatHadSetItsBoolResultAnswersFalseQuietly) {
  addin.setResultFirst = true;
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    addin.kind = c.kind;
    tVariant result{};
    EXPECT_TRUE(addin.CallAsFunc(kSpareMethod, &result, nullptr, 0));
    EXPECT_EQ(result.vt, VTYPE_BOOL);
    EXPECT_FALSE(result.bVal);
    EXPECT_EQ(addin.LastError, c.lastError);
    // Out of memory keeps an empty text here; GetLastError makes it on demand.
    EXPECT_EQ(addin.LastErrorText, c.ownText ? TextOf(c.kind) : std::wstring());
  }
  EXPECT_TRUE(host.Errors().empty());
  // The same body as a procedure is reported.
  addin.kind = Throw::Std;
  EXPECT_FALSE(addin.CallAsProc(kSpareMethod, nullptr, 0));
  EXPECT_EQ(host.Errors().size(), 1u);
}

TEST_F(DispatchTest, RefusedCallsAndUnknownNumbersFailWithoutAReport) {
  tVariant result{};
  tVariant param{};
  EXPECT_FALSE(addin.CallAsFunc(9, &result, &param, 1)) << "DoAdditionalAction refuses";
  EXPECT_FALSE(addin.CallAsFunc(2, &result, nullptr, 0)) << "GetLastError without its parameter";
  EXPECT_EQ(addin.LastError, E_INVALIDARG);
  EXPECT_FALSE(addin.CallAsFunc(53, &result, nullptr, 0));
  EXPECT_FALSE(addin.CallAsFunc(-1, &result, nullptr, 0));
  EXPECT_FALSE(addin.CallAsProc(53, nullptr, 0));
  EXPECT_TRUE(host.Errors().empty());
}

TEST_F(DispatchTest, WithoutMemoryGetVersionFailsWithOutOfMemory) {
  CVombra bare(L"VombraExtension");
  bare.Host = static_cast<IAddInDefBase*>(&host);
  tVariant result{};
  EXPECT_FALSE(bare.CallAsFunc(0, &result, nullptr, 0));
  EXPECT_NE(result.vt, VTYPE_PWSTR) << "no string the host would free";
  auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Scode, long(0x8007000E));
  EXPECT_EQ(bare.LastError, HRESULT(0x8007000E));
}

TEST_F(DispatchTest, ErrorsWithoutAHostGoNowhere) {
  addin.Host = nullptr;
  addin.kind = Throw::Com;
  EXPECT_FALSE(addin.CallAsProc(kSpareMethod, nullptr, 0));
  EXPECT_EQ(addin.LastError, HRESULT(0x80040219));
  EXPECT_TRUE(host.Errors().empty());
}

}  // namespace
