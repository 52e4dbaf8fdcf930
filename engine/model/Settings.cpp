#include "Settings.h"

#include <algorithm>
#include <cstring>

_SETTINGS_INFO::_SETTINGS_INFO() {
  // The cards' published transport keys: six 0xFF bytes for Classic, sixteen for Plus.
  BYTE ff[16];
  std::memset(ff, 0xFF, sizeof ff);
  MakeAuthKey(ff, 6, MifareC.AuthKey);
  MakeAuthKey(ff, 16, MifareP.AuthKey);
  // (first, second, pause): (2,0,0) (1,1,0) (2,1,0) (1,0,0) (255,0,1000)
  Temic.ScanParams = {0x00000002, 0x00000101, 0x00000102, 0x00000001, 0x03E800FF};
}

namespace {

bool IsSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; }

}  // namespace

PORT_KIND GetPortKind(const wchar_t* port) {
  if (!port || !*port) return PK_NONE;
  if (*port >= L'0' && *port <= L'9') return PK_TCP;
  if (UpperAscii(port[0]) != L'C' || UpperAscii(port[1]) != L'O' || UpperAscii(port[2]) != L'M') return PK_CCID;
  // The number after "COM" as wcstol reads it: blanks and a sign first, digits up to the first other
  // character, saturating rather than overflowing.
  const wchar_t* p = port + 3;
  while (IsSpace(*p)) ++p;
  bool negative = (*p == L'-');
  if (*p == L'-' || *p == L'+') ++p;
  long long n = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) n = std::min(n * 10 + (*p - L'0'), 0x7FFFFFFFll);
  if (negative) n = -n;
  if (n < 1) return PK_CCID;
  return n <= 2 ? PK_COM12 : PK_COM;
}

int KeyFilterIndexByName(const std::vector<_KEYFILTER_INFO>& list, const wchar_t* name) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].Name == name) return int(i);
  }
  return -1;
}

// A start outside the list searches from the beginning, so a search continued past the last filter
// wraps round.
int KeyFilterIndexForKey(const std::vector<_KEYFILTER_INFO>& list, UINT keyType, UINT keySize, int start) {
  size_t first = start > 0 && size_t(start) < list.size() ? size_t(start) : 0;
  const UINT bit = 1u << (keyType & 31);
  for (size_t i = first; i < list.size(); ++i) {
    if ((list[i].KeyTypes & bit) && (list[i].KeySize == 0 || list[i].KeySize == keySize)) return int(i);
  }
  return -1;
}
