// Test helper of the list-method suites: an add-in object with a fake host (no Init, so no registry),
// argument builders, and a call by method name through CallAsFunc that hands back the answer, the
// result and the arguments as the method left them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "Vombra.h"

struct MethodCall {
  bool Answer = false;          // what CallAsFunc answered
  tVariant Result{};            // the method's result
  std::vector<tVariant> Params;  // the arguments after the call

  bool BoolResult() const { return Result.vt == VTYPE_BOOL && Result.bVal; }
  int32_t IntResult() const { return Result.vt == VTYPE_I4 ? Result.lVal : INT32_MIN; }
};

class MethodCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
  }

  void TearDown() override { EXPECT_EQ(host.OutstandingBlocks(), 0u) << "every handed-out text freed"; }

  static tVariant Empty() { return tVariant{}; }
  static tVariant Null() {
    tVariant value{};
    value.vt = VTYPE_NULL;
    return value;
  }
  static tVariant I4(int32_t number) {
    tVariant value{};
    value.lVal = number;
    value.vt = VTYPE_I4;
    return value;
  }
  static tVariant UI4(uint32_t number) {
    tVariant value{};
    value.ulVal = number;
    value.vt = VTYPE_UI4;
    return value;
  }
  static tVariant R8(double number) {
    tVariant value{};
    value.dblVal = number;
    value.vt = VTYPE_R8;
    return value;
  }
  static tVariant Typed(uint16_t type, uint64_t raw) {
    tVariant value{};
    value.ullVal = raw;
    value.vt = type;
    return value;
  }
  // A text argument; the fixture keeps the characters alive for the test.
  tVariant Str(const std::wstring& text) {
    texts.push_back(text);
    tVariant value{};
    value.pwstrVal = &texts.back()[0];
    value.wstrLen = uint32_t(text.size());
    value.vt = VTYPE_PWSTR;
    return value;
  }
  tVariant Blob(const std::string& bytes, uint16_t type = VTYPE_BLOB) {
    blobs.push_back(bytes);
    tVariant value{};
    value.pstrVal = &blobs.back()[0];
    value.strLen = uint32_t(bytes.size());
    value.vt = type;
    return value;
  }

  // Calls the method of that English name as a function; the arguments come back in the record, and
  // texts the add-in put there are the test's to free (TakeText).
  MethodCall Call(const wchar_t* method, std::vector<tVariant> params) {
    MethodCall call;
    long number = addin.FindMethod(method);
    EXPECT_GE(number, 0) << "method name";
    call.Params = std::move(params);
    call.Answer = addin.CallAsFunc(number, &call.Result, call.Params.empty() ? nullptr : call.Params.data(),
                                   long(call.Params.size()));
    return call;
  }

  // The text of an output argument that the add-in filled; frees the host's block.
  std::wstring TakeText(tVariant& value) {
    EXPECT_EQ(value.vt, VTYPE_PWSTR);
    std::wstring text = CFakeHost::Text(value);
    if (value.vt == VTYPE_PWSTR) host.FreeVariant(value);
    return text;
  }

  // GetLastError through the dispatcher: the code, and the text in text.
  HRESULT LastError(std::wstring* text = nullptr) {
    MethodCall call = Call(L"GetLastError", {Empty()});
    std::wstring description = TakeText(call.Params[0]);
    if (text) *text = description;
    return call.Result.lVal;
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
  std::deque<std::wstring> texts;
  std::deque<std::string> blobs;
};

constexpr HRESULT kInvalidArg = HRESULT(0x80070057);
constexpr HRESULT kBounds = HRESULT(0x8000000B);
constexpr HRESULT kParamType = HRESULT(0x80040202);
