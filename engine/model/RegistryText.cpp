#include "RegistryText.h"

#include <algorithm>
#include <cwchar>

std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t chars) {
  std::vector<std::wstring> list;
  size_t pos = 0;
  while (pos < chars) {
    size_t length = wcsnlen(data + pos, chars - pos);
    if (length == 0) break;
    list.emplace_back(data + pos, length);
    pos += length + 1;
  }
  return list;
}

bool ParseHex64(const std::wstring& text, UINT64* value) {
  const wchar_t* p = text.c_str();
  while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
  auto isHex = [](wchar_t c) { return (c >= L'0' && c <= L'9') || ((c | 0x20) >= L'a' && (c | 0x20) <= L'f'); };
  if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && isHex(p[2])) p += 2;
  UINT64 result = 0;
  bool digits = false;
  bool overflow = false;
  for (;; ++p) {
    unsigned d;
    if (*p >= L'0' && *p <= L'9') {
      d = unsigned(*p - L'0');
    } else if (*p >= L'a' && *p <= L'f') {
      d = unsigned(*p - L'a' + 10);
    } else if (*p >= L'A' && *p <= L'F') {
      d = unsigned(*p - L'A' + 10);
    } else {
      break;
    }
    digits = true;
    if (result >> 60) overflow = true;
    result = result << 4 | d;
  }
  *value = overflow ? ~UINT64(0) : result;
  return digits;
}

std::vector<UINT> ParseScanParams(const std::wstring& text) {
  std::vector<UINT> list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    if (end > start) {
      // "%d,%d,%d": each number may follow white space and a sign; the commas must follow directly.
      const wchar_t* p = text.c_str() + start;
      const wchar_t* stop = text.c_str() + end;
      UINT numbers[3] = {};
      int count = 0;
      while (count < 3) {
        if (count > 0) {
          if (p >= stop || *p != L',') break;
          ++p;
        }
        while (p < stop && (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))) ++p;
        bool negative = p < stop && *p == L'-';
        if (p < stop && (*p == L'-' || *p == L'+')) ++p;
        if (p >= stop || *p < L'0' || *p > L'9') break;
        UINT value = 0;
        for (; p < stop && *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + UINT(*p - L'0');
        numbers[count++] = negative ? 0u - value : value;
      }
      if (count >= 2) {
        UINT entry = (numbers[0] & 0xFF) | (numbers[1] & 0xFF) << 8;
        if (count == 3) entry += numbers[2] << 16;
        list.push_back(entry);
      }
    }
    start = end + 1;
  }
  return list;
}

bool ParseItemName(const std::wstring& name, UINT* id) {
  if (name.compare(0, 4, L"Item") != 0) return false;
  const wchar_t* p = name.c_str() + 4;
  while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
  if (*p == L'+') ++p;
  if (*p < L'0' || *p > L'9') return false;
  UINT64 value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) value = std::min<UINT64>(value * 10 + UINT(*p - L'0'), 0xFFFFFFFFull);
  *id = UINT(value);
  return true;
}

std::wstring ScanParamsText(const std::vector<UINT>& list) {
  std::wstring text;
  for (UINT entry : list) {
    text += std::to_wstring(entry & 0xFF) + L',' + std::to_wstring((entry >> 8) & 0xFF) + L',' +
            std::to_wstring(entry >> 16) + L';';
  }
  return text;
}
