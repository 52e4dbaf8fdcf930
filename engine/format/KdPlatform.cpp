// Windows side of the format language: message-table texts, ANSI text and msvcrt's printf.
#include "KdPlatform.h"

#include <windows.h>

#include <cstdio>

#include "Core.h"

bool KdMessageText(HRESULT code, std::wstring& text) {
  return FormatMessageText(text, g_hResInstance, DWORD(code));
}

void KdWideToAnsi(const std::wstring& text, std::string& out) { WideToAnsi(text.c_str(), int(text.size()), out); }

void KdAnsiToWide(const char* text, std::wstring& out) { AnsiToWide(text, -1, out); }

int KdFormatArgument(wchar_t* buffer, size_t capacity, const std::wstring& head, int kind,
                     wchar_t conversion, int64_t value, const std::wstring& text) {
  if (!buffer || capacity == 0) return -1;
  // The modifier is chosen by the kind, not copied from the template: msvcrt reads l as 32 bits,
  // and h/l before c and s pick the narrow or wide form in either printf family.
  std::wstring spec = head;
  int written = -1;
  std::string narrow;
  switch (kind) {
    case 1:
      spec += L'h';
      spec += conversion;
      written = _snwprintf(buffer, capacity, spec.c_str(), int(value));
      break;
    case 2:
      spec += L'l';
      spec += conversion;
      written = _snwprintf(buffer, capacity, spec.c_str(), long(value));
      break;
    case 3:
      spec += L"ll";
      spec += conversion;
      written = _snwprintf(buffer, capacity, spec.c_str(), (long long)value);
      break;
    case 4:
      spec += conversion;
      written = _snwprintf(buffer, capacity, spec.c_str(), double(value));
      break;
    case 5:
      spec += L"hc";
      written = _snwprintf(buffer, capacity, spec.c_str(), int(BYTE(value)));
      break;
    case 6:
      spec += L"lc";
      written = _snwprintf(buffer, capacity, spec.c_str(), int(WORD(value)));
      break;
    case 7:
      narrow.assign(text.begin(), text.end());  // the decimal text is ASCII
      spec += L"hs";
      written = _snwprintf(buffer, capacity, spec.c_str(), narrow.c_str());
      break;
    case 8:
      spec += L"ls";
      written = _snwprintf(buffer, capacity, spec.c_str(), text.c_str());
      break;
    case 10:
      spec += L'p';
      written = _snwprintf(buffer, capacity, spec.c_str(), static_cast<void*>(nullptr));
      break;
    default:
      return -1;
  }
  // msvcrt answers -1 when the text does not fit, and count without a terminator when it just fits.
  return (written < 0 || size_t(written) >= capacity) ? -1 : written;
}
