#include "Strings.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdarg>
#include <cwchar>
#include <vector>

namespace {

LANGID g_uiLanguage = 0;  // 0 until SetUILanguage is called

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

// A length of (size_t)-1 means NUL-terminated (-1 for the Win32 call); longer texts than an int can count
// are refused.
bool ToWin32Length(size_t length, int& out) {
  if (length == size_t(-1)) {
    out = -1;
    return true;
  }
  if (length == 0 || length > size_t(INT_MAX)) return false;
  out = int(length);
  return true;
}

}  // namespace

size_t MultiByteToWide(const char* text, size_t length, std::wstring& out, UINT codePage) {
  out.clear();
  int count;
  if (!text || !ToWin32Length(length, count)) return 0;
  const int size = MultiByteToWideChar(codePage, 0, text, count, nullptr, 0);
  if (size <= 0) return 0;
  out.resize(size_t(size));
  if (MultiByteToWideChar(codePage, 0, text, count, &out[0], size) != size) {
    out.clear();
    return 0;
  }
  if (count == -1) out.pop_back();  // the terminating NUL was converted too
  return out.size();
}

size_t WideToMultiByte(const wchar_t* text, size_t length, std::string& out, UINT codePage) {
  out.clear();
  int count;
  if (!text || !ToWin32Length(length, count)) return 0;
  const int size = WideCharToMultiByte(codePage, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return 0;
  out.resize(size_t(size));
  if (WideCharToMultiByte(codePage, 0, text, count, &out[0], size, nullptr, nullptr) != size) {
    out.clear();
    return 0;
  }
  if (count == -1) out.pop_back();
  return out.size();
}

size_t LoadStrAppendFormat(std::wstring& out, UINT id, ...) {
  std::wstring format;
  LoadStr(id, format);
  va_list args;
  va_start(args, id);
  StrAppendFormatV(out, format.c_str(), args);
  va_end(args);
  return out.size();
}

size_t BytesToHexReversed(const BYTE* data, size_t n, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return 0;
  const size_t digits = n * 2 < outChars - 1 ? n * 2 : outChars - 1;
  for (size_t i = 0; i < digits; ++i) {
    const BYTE byte = data[n - 1 - i / 2];
    out[i] = kHexDigits[i % 2 ? byte & 0xF : byte >> 4];
  }
  out[digits] = L'\0';
  return digits;
}

void BytesToHexStrReversed(const BYTE* data, size_t n, std::wstring& out) {
  out.resize(n * 2);
  if (n) BytesToHexReversed(data, n, &out[0], n * 2 + 1);
}

void IntToStr(int value, std::wstring& out) { out = std::to_wstring(value); }

void Int64ToStr(long long value, std::wstring& out) { out = std::to_wstring(value); }

bool StrToUInt(const wchar_t* text, UINT& out) {
  if (!text) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long value = wcstoul(text, &end, 10);
  if (value == 0 && (end == text || errno == ERANGE)) return false;
  out = UINT(value);
  return true;
}

void EncodeEscapes(std::wstring& out, const wchar_t* text, size_t length) {
  std::wstring result;
  if (text) {
    const size_t n = length == size_t(-1) ? wcslen(text) : length;
    result.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      wchar_t escaped = 0;
      switch (text[i]) {
        case L'\t': escaped = L't'; break;
        case L'\n': escaped = L'n'; break;
        case L'\r': escaped = L'r'; break;
        case L'"': case L'\'': case L'\\': escaped = text[i]; break;
        default: break;
      }
      if (escaped) {
        result += L'\\';
        result += escaped;
      } else {
        result += text[i];
      }
    }
  }
  out.swap(result);
}

void SetUILanguage(LANGID language) {
  // ApplyThreadLocale is the one place that applies a language to a thread: the C run-time locale by its
  // English name (_wsetlocale: MinGW's std::locale knows no named locales) and the thread's language for
  // resources (SetThreadLocale too: Wine loads resources by the thread locale only).
  g_lcid = MAKELCID(language, SORT_DEFAULT);
  ApplyThreadLocale();
  g_uiLanguage = language;
}

LANGID GetUILanguage() { return g_uiLanguage ? g_uiLanguage : GetThreadUILanguage(); }

HRESULT InvokeDispatch(WORD flags, VARIANT* result, IDispatch* object, const wchar_t* name, int count, ...) {
  if (!object || !name) return E_POINTER;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    Trace(L"IDispatch::GetIDsOfNames(\"%s\") failed w/err 0x%08lx", name, hr);
    return hr;
  }
  // DISPPARAMS holds the arguments last-first, which is the order the callers pass them in.
  std::vector<VARIANT> arguments(count > 0 ? size_t(count) : 0);
  va_list args;
  va_start(args, count);
  for (VARIANT& argument : arguments) argument = va_arg(args, VARIANT);
  va_end(args);
  DISPID namedPut = DISPID_PROPERTYPUT;
  DISPPARAMS params{};
  params.rgvarg = arguments.empty() ? nullptr : arguments.data();
  params.cArgs = UINT(arguments.size());
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &namedPut;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception{};
  hr = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result, &exception, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    Trace(L"Ole exception: %s\r\n", exception.bstrDescription ? exception.bstrDescription : L"");
  } else if (FAILED(hr)) {
    Trace(L"IDispatch::Invoke(\"%s\"=%08lx) failed w/err 0x%08lx\r\n", name, id, hr);
  }
  // The callee allocates these for the caller.
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

void Trace(const wchar_t*, ...) {}
