// Native stand-ins for the Windows side of the format language, so that the parser, the template
// scanner and the applier run under the sanitizers and the fuzzer on Linux. The formatter follows
// msvcrt's results for the argument kinds the applier hands over; no message table exists here.
#include <cwchar>

#include "KdPlatform.h"

bool KdMessageText(HRESULT, std::wstring&) { return false; }

void KdWideToAnsi(const std::wstring& text, std::string& out) {
  out.clear();
  for (wchar_t c : text) out += (c > 0 && c < 0x80) ? char(c) : '?';
}

void KdAnsiToWide(const char* text, std::wstring& out) {
  out.clear();
  for (const char* p = text ? text : ""; *p; ++p) out += wchar_t(static_cast<unsigned char>(*p));
}

int KdFormatArgument(wchar_t* buffer, size_t capacity, const std::wstring& head, int kind,
                     wchar_t conversion, int64_t value, const std::wstring& text) {
  if (!buffer || capacity == 0) return -1;
  // wchar_t is 32-bit here and glibc's l is 64-bit: the conversion is rebuilt in ISO terms per kind.
  std::wstring spec = head;
  int written = -1;
  switch (kind) {
    case 1:
      spec += L'h';
      spec += conversion;
      written = swprintf(buffer, capacity, spec.c_str(), int(value));
      break;
    case 2:
      spec += conversion;
      written = swprintf(buffer, capacity, spec.c_str(), int(value));
      break;
    case 3:
      spec += L"ll";
      spec += conversion;
      written = swprintf(buffer, capacity, spec.c_str(), (long long)value);
      break;
    case 4:
      spec += conversion;
      written = swprintf(buffer, capacity, spec.c_str(), double(value));
      break;
    case 5:  // a byte of the code page; Latin-1 stands in for it
      spec += L"lc";
      written = swprintf(buffer, capacity, spec.c_str(), wint_t(static_cast<unsigned char>(value)));
      break;
    case 6:
      spec += L"lc";
      written = swprintf(buffer, capacity, spec.c_str(), wint_t(static_cast<uint16_t>(value)));
      break;
    case 7:
    case 8:
      spec += L"ls";
      written = swprintf(buffer, capacity, spec.c_str(), text.c_str());
      break;
    case 10:  // msvcrt prints a null pointer as sixteen upper-case hexadecimal zeros
      spec += L".16llX";
      written = swprintf(buffer, capacity, spec.c_str(), 0ull);
      break;
    default:
      return -1;
  }
  return (written < 0 || size_t(written) >= capacity) ? -1 : written;
}
