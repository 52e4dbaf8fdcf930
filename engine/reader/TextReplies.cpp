#include "TextReplies.h"

#include <cstdio>

namespace {

// Only decimal digits (after leading blanks), at least one, within 64 bits.
bool ParseDecimal(const std::wstring& text, UINT64* value) {
  size_t i = 0;
  while (i < text.size() && text[i] == L' ') ++i;
  if (i == text.size()) return false;
  UINT64 number = 0;
  for (; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c < L'0' || c > L'9') return false;
    const UINT64 digit = UINT64(c - L'0');
    if (number > (~UINT64(0) - digit) / 10) return false;
    number = number * 10 + digit;
  }
  *value = number;
  return true;
}

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

}  // namespace

bool TakeTextLine(std::string& rx, std::string* line) {
  const size_t cr = rx.find('\r');
  if (cr == std::string::npos) return false;
  size_t begin = 0;
  while (begin < cr && rx[begin] == '\n') ++begin;
  line->assign(rx, begin, cr - begin);
  rx.erase(0, cr + 1);
  return true;
}

bool IsOverlongTextLine(const std::string& rx) {
  return rx.size() > kMaxTextLine && rx.find('\r') == std::string::npos;
}

bool IsNoCard(const std::wstring& line) {
  static const wchar_t kNoCard[] = L"no card";
  if (line.size() != sizeof kNoCard / sizeof kNoCard[0] - 1) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (LowerAscii(line[i]) != kNoCard[i]) return false;
  }
  return true;
}

bool LooksLikeKeyLine(const std::wstring& line) {
  return line.find(L'[') != std::wstring::npos && line.find(L':') == std::wstring::npos;
}

void CutLineEnd(std::wstring* line) {
  while (!line->empty() && (line->back() == L'\r' || line->back() == L'\n')) line->pop_back();
}

std::string ConverterAddressText(int address) {
  char text[16];
  snprintf(text, sizeof text, "%.5u", unsigned(address));
  return text;
}

bool IsConverterEcho(const std::string& reply, int address) {
  const std::string echo = ConverterAddressText(address);
  return reply.compare(0, echo.size(), echo) == 0 && reply.size() < echo.size() + 4;
}

DecimalAnswer ParseDecimalAnswer(const std::wstring& line, int address, _KEYNUM_INFO* uid) {
  const size_t blank = line.find(L' ');
  UINT64 answered = 0;
  if (blank == std::wstring::npos || !ParseDecimal(line.substr(0, blank), &answered) ||
      answered != UINT64(UINT(address))) {
    return DecimalAnswer::kNone;
  }
  const std::wstring rest = line.substr(blank + 1);
  if (IsNoCard(rest)) {
    *uid = {};
    return DecimalAnswer::kNoCard;
  }
  UINT64 number = 0;
  if (!ParseDecimal(rest, &number)) return DecimalAnswer::kNone;
  BYTE bytes[5];
  for (int i = 0; i < 5; ++i) bytes[i] = BYTE(number >> (8 * i));
  MakeKeyNum(bytes, 5, *uid);
  return DecimalAnswer::kKey;
}

bool ParseUltralightPages(const std::string& lines, BYTE data[16]) {
  size_t pos = 0;
  for (int line = 0; line < 4; ++line) {
    const size_t cr = lines.find('\r', pos);
    if (cr == std::string::npos) return false;
    const std::string text = lines.substr(pos, cr - pos);
    unsigned number, v[4];
    if (sscanf(text.c_str(), "%x: %x %x %x %x", &number, &v[0], &v[1], &v[2], &v[3]) != 5) return false;
    for (int i = 0; i < 4; ++i) data[line * 4 + i] = BYTE(v[i]);
    pos = cr + 1;
    while (pos < lines.size() && lines[pos] == '\n') ++pos;
  }
  return true;
}
