#include "SettingsXmlText.h"

namespace {

// Names of the control characters 0 to 32.
const wchar_t* const kControlNames[33] = {
    L"NUL", L"SOH", L"STX", L"ETX", L"EOT", L"ENQ", L"ACK", L"BEL", L"BS",  L"TAB", L"LF",
    L"VT",  L"FF",  L"CR",  L"SO",  L"SI",  L"DLE", L"DC1", L"DC2", L"DC3", L"DC4", L"NAK",
    L"SYN", L"ETB", L"CAN", L"EM",  L"SUB", L"ESC", L"FS",  L"GS",  L"RS",  L"US",  L"SPACE",
};

bool IsHighSurrogate(unsigned c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(unsigned c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::wstring SettingsXmlEscape(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    const unsigned u = unsigned(c);
    switch (c) {
      case L'&': out += L"&amp;"; continue;
      case L'<': out += L"&lt;"; continue;
      case L'>': out += L"&gt;"; continue;
      case L'"': out += L"&quot;"; continue;
      case L'\t': out += L"&#x9;"; continue;
      case L'\n': out += L"&#xA;"; continue;
      case L'\r': out += L"&#xD;"; continue;
      default: break;
    }
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(unsigned(text[i + 1]))) {
      out += c;
      out += text[++i];
    } else if (u < 0x20 || u == 0xFFFE || u == 0xFFFF || IsHighSurrogate(u) || IsLowSurrogate(u) || u > 0x10FFFF) {
      out += wchar_t(0xFFFD);
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring SettingsControlLabel(int value) {
  if (value < 0) return L"&lt;NONE&gt;";
  if (value <= 32) return std::to_wstring(value) + L" (" + kControlNames[value] + L")";
  if (value < 127) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    return std::to_wstring(value) + L" (&#x" + kHex[value >> 4] + kHex[value & 15] + L";)";
  }
  return L"127 (DEL)";
}
