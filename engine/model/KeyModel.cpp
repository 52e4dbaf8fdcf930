#include "KeyModel.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

const wchar_t* const g_KeyTypeNames[KEY_TYPE_COUNT] = {
    L"X",   L"EM",  L"HID", L"IC",   L"COD433", L"COD433F", L"CAME",   L"DS",     L"TEMIC", L"UL", L"M1K",
    L"M2K", L"M4K", L"M+",  L"M+1K", L"M+2K",   L"M+4K",    L"SMXM1K", L"SMXM4K", L"DF",    L"PX", L"MINI",
};

const wchar_t* const g_ReaderModelNames[READER_MODEL_COUNT] = {
    L"?",      L"KD-6 A",  L"Orvel 3A", L"KD-6 B", L"Orvel 3B",  L"KD-6 H", L"KD-6 C",
    L"KD-6 D", L"Orvel 7", L"PX-2210",  L"KD-6 E", L"KD-6 MQ-F", L"KD-6 G",
};

const wchar_t* KeyTypeName(KEY_TYPE type) { return type < KEY_TYPE_COUNT ? g_KeyTypeNames[type] : L""; }

const wchar_t* ReaderModelName(READER_MODEL model) {
  return g_ReaderModelNames[model < READER_MODEL_COUNT ? model : RM_UNKNOWN];
}

namespace {

constexpr size_t kMaxKeyBytes = sizeof(_KEYNUM_INFO::Data);
constexpr size_t kMaxNameChars = 15;
const wchar_t kHexDigits[] = L"0123456789ABCDEF";

// Only ASCII matters: every name the readers send is ASCII, and lower-casing through the locale
// would make the result depend on the thread that parses.
wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// White space as scanf's %s and %d skip it.
bool IsSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int DigitValue(wchar_t c, unsigned base) {
  unsigned v;
  if (c >= L'0' && c <= L'9') {
    v = unsigned(c - L'0');
  } else if (c >= L'a' && c <= L'z') {
    v = unsigned(c - L'a') + 10;
  } else if (c >= L'A' && c <= L'Z') {
    v = unsigned(c - L'A') + 10;
  } else {
    return -1;
  }
  return v < base ? int(v) : -1;
}

// Reads an unsigned number the way the C library's wcstoul does for these replies (leading blanks,
// a 0x prefix in base 16; too large saturates at 0xFFFFFFFF). Returns the number of digits read;
// *pos moves past them only when there were any.
size_t ReadNumber(const wchar_t*& pos, unsigned base, UINT* value) {
  const wchar_t* p = pos;
  while (IsBlank(*p)) ++p;
  if (base == 16 && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && DigitValue(p[2], 16) >= 0) p += 2;
  UINT64 result = 0;
  size_t digits = 0;
  for (int d; (d = DigitValue(*p, base)) >= 0; ++p, ++digits) {
    result = std::min<UINT64>(result * base + UINT64(d), 0xFFFFFFFFull);
  }
  *value = digits ? UINT(result) : 0;
  if (digits) pos = p;
  return digits;
}

// Lower-cased copy of at most the first 15 characters of [begin, end).
std::wstring ShortLowerName(const wchar_t* begin, const wchar_t* end) {
  std::wstring name(begin, begin + std::min<size_t>(size_t(end - begin), kMaxNameChars));
  for (wchar_t& c : name) c = LowerAscii(c);
  return name;
}

int FindName(const std::wstring& name, const wchar_t* const* table, int count) {
  for (int i = 0; i < count; ++i) {
    if (name == table[i]) return i;
  }
  return -1;
}

// Key-line names, in the order the builders below refer to them.
enum LineName { LN_EM_MARINE, LN_HID, LN_MIFARE, LN_ICODE, LN_COD433_FIX, LN_COD433, LN_CAME433, LN_DALLAS };
const wchar_t* const kLineNames[] = {L"em-marine",  L"hid",    L"mifare",  L"icode",
                                     L"cod433 fix", L"cod433", L"came433", L"dallas"};
const wchar_t* const kMifareSubNames[] = {L"ul", L"1k", L"4k", L"df", L"px"};
const KEY_TYPE kMifareSubTypes[] = {KT_MIFARE_UL, KT_MIFARE_1K, KT_MIFARE_4K, KT_DESFIRE, KT_PROX};

// The items a key line may carry after its bracketed code.
struct LineItems {
  bool paren = false;  // "(ATQA SAK)"
  UINT atqa = 0;
  UINT sak = 0;
  bool decimal = false;  // "first,second"
  UINT first = 0;
  UINT second = 0;
  int subName = -1;  // index into kMifareSubNames
};

void ReadItems(const wchar_t* p, LineItems& items) {
  bool word = false;
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (!*p) return;
    if (!items.paren && *p == L'(') {
      ++p;
      if (ReadNumber(p, 16, &items.atqa)) {
        if (*p) ++p;  // the separator between ATQA and SAK
        ReadNumber(p, 16, &items.sak);
      }
      if (*p) ++p;  // ')'
      items.paren = true;
    } else if (!items.decimal && IsDigit(*p)) {
      ReadNumber(p, 10, &items.first);
      if (*p && !IsBlank(*p)) {
        ++p;  // ','
        ReadNumber(p, 10, &items.second);
      }
      items.decimal = true;
    } else if (!word) {
      const wchar_t* begin = p;
      while (*p && !IsBlank(*p)) ++p;
      if (p == begin) return;
      items.subName = FindName(ShortLowerName(begin, p), kMifareSubNames, int(std::size(kMifareSubNames)));
      word = true;
    } else {
      return;
    }
  }
}

// Nibble of a code digit. The readers send only hex digits; anything else is folded to a nibble
// rather than rejected, as the devices have always been read.
BYTE CodeNibble(wchar_t c) {
  if (c >= L'0' && c <= L'9') return BYTE(c - L'0');
  if (c >= L'A' && c <= L'F') return BYTE(c - L'A' + 10);
  return BYTE((unsigned(c) - unsigned(L'a') + 10u) & 0xFu);
}

// Code bytes between the brackets, right to left: byte 0 is the last digit pair of the text.
size_t ReadCodeBytes(const wchar_t* open, const wchar_t* close, BYTE (&code)[kMaxKeyBytes]) {
  std::memset(code, 0, sizeof code);
  size_t digits = 0;
  for (const wchar_t* p = close - 1; p > open && digits < 2 * kMaxKeyBytes; --p, ++digits) {
    BYTE nibble = CodeNibble(*p);
    code[digits / 2] |= (digits % 2) ? BYTE(nibble << 4) : nibble;
  }
  return digits / 2;
}

KEY_TYPE MifareTypeFromSak(UINT sak, UINT atqa) {
  if (sak & 0x02) return KT_UNKNOWN;
  if ((sak & 0x08) && (sak & 0x10)) {
    if (sak & 0x01) return KT_MIFARE_2K;
    return (sak & 0x20) ? KT_SMART_MX_4K : KT_MIFARE_4K;
  }
  if (sak & 0x08) {
    if (sak & 0x01) return KT_MIFARE_MINI;
    return (sak & 0x20) ? KT_SMART_MX_1K : KT_MIFARE_1K;
  }
  if (sak & 0x10) return (sak & 0x01) ? KT_MIFARE_PLUS_4K : KT_MIFARE_PLUS_2K;
  if (sak & 0x20) {
    switch (atqa & 0xFFFF) {
      case 0x0002:
      case 0x0042:
        return KT_MIFARE_PLUS_4K;
      case 0x0004:
      case 0x0044:
        return KT_MIFARE_PLUS_2K;
      case 0x0344:
        return KT_DESFIRE;
      default:
        return KT_MIFARE_PLUS;
    }
  }
  return KT_MIFARE_UL;
}

void PutWord(BYTE* data, UINT value) {
  data[0] = BYTE(value);
  data[1] = BYTE(value >> 8);
}

void AppendHex(std::wstring& out, UINT64 value, int minDigits) {
  wchar_t buffer[16];
  int n = 0;
  while (value || n < minDigits) {
    buffer[n++] = kHexDigits[value & 0xF];
    value >>= 4;
    if (n == int(std::size(buffer))) break;
  }
  while (n) out += buffer[--n];
}

void AppendDecimal(std::wstring& out, UINT value, int minDigits) {
  wchar_t buffer[10];
  int n = 0;
  do {
    buffer[n++] = wchar_t(L'0' + value % 10);
    value /= 10;
  } while (value);
  for (int pad = minDigits - n; pad > 0; --pad) out += L'0';
  while (n) out += buffer[--n];
}

}  // namespace

void MakeKeyNum(const BYTE* data, int n, _KEYNUM_INFO& out) {
  std::memset(&out, 0, sizeof out);
  if (n < 1 || !data) return;
  out.Length = BYTE(std::min<size_t>(size_t(n), kMaxKeyBytes));
  std::memcpy(out.Data, data, out.Length);
}

int CompareKeyNum(const _KEYNUM_INFO& a, const _KEYNUM_INFO& b) {
  size_t la = std::min<size_t>(a.Length, kMaxKeyBytes);
  size_t lb = std::min<size_t>(b.Length, kMaxKeyBytes);
  int r = std::memcmp(a.Data, b.Data, std::min(la, lb));
  if (r) return r;
  return la < lb ? -1 : la > lb ? 1 : 0;
}

void MakeAuthKey(const BYTE* data, int n, _AUTHKEY_INFO& out) {
  std::memset(&out, 0, sizeof out);
  if (n < 1 || !data) return;
  out.Length = BYTE(std::min<size_t>(size_t(n), sizeof out.Data));
  std::memcpy(out.Data, data, out.Length);
}

void KeyNumToStr(std::wstring& out, const _KEYNUM_INFO& key, KEY_TYPE type) {
  out.clear();
  const BYTE* d = key.Data;
  const int length = std::min<int>(key.Length, int(kMaxKeyBytes));
  if (type == KT_EM_MARINE) {
    // "[%.2X%.2X] %.3d,%.5d"
    out += L'[';
    AppendHex(out, d[4], 2);
    AppendHex(out, d[3], 2);
    out += L"] ";
    AppendDecimal(out, d[2], 3);
    out += L',';
    AppendDecimal(out, UINT(d[0] | d[1] << 8), 5);
  } else if (type == KT_HID) {
    // "[%.*X] %d" with precision 2k: a precision of 0 prints nothing for the value 0, and a negative
    // one counts as none, which prints a single 0.
    int k = std::min(length - 2, 4);
    UINT code = 0;
    for (int i = k - 1; i >= 0; --i) code = code << 8 | d[2 + i];
    out += L'[';
    if (k > 0) {
      AppendHex(out, code, 2 * k);
    } else if (k < 0) {
      out += L'0';
    }
    out += L"] ";
    AppendDecimal(out, UINT(d[0] | d[1] << 8), 1);
  } else {
    for (int i = length - 1; i >= 0; --i) AppendHex(out, d[i], 2);
  }
}

bool ParseKeyLine(const wchar_t* line, UINT* type, _KEYNUM_INFO* key, READER_MODEL model, UINT firmware,
                  bool differentCodes) {
  *type = KT_UNKNOWN;
  std::memset(key, 0, sizeof *key);
  if (!line) return false;
  const wchar_t* open = std::wcschr(line, L'[');
  if (!open) return false;
  int name = FindName(ShortLowerName(line, open), kLineNames, int(std::size(kLineNames)));
  if (name < 0) return false;
  const wchar_t* close = std::wcschr(open + 1, L']');
  if (!close) return false;

  BYTE code[kMaxKeyBytes];
  const size_t n = ReadCodeBytes(open, close, code);
  LineItems items;
  ReadItems(close + 1, items);

  // The code bytes as the line writes them, most significant first.
  BYTE text[kMaxKeyBytes];
  for (size_t i = 0; i < n; ++i) text[i] = code[n - 1 - i];

  BYTE* data = key->Data;
  switch (name) {
    case LN_EM_MARINE:
      if (!items.decimal) break;
      *type = KT_EM_MARINE;
      PutWord(data, items.second);
      data[2] = BYTE(items.first);
      if (n >= 1) data[3] = code[0];
      if (n >= 2) data[4] = code[1];
      key->Length = 5;
      break;

    case LN_HID:
      if (!items.decimal) break;
      *type = KT_HID;
      PutWord(data, items.first);
      if (model == RM_KD6_A && firmware == 106) {
        // This firmware sends the card number and code as one run of bytes, most significant first.
        // Only the six bytes of an HID record are taken, so nothing lingers beyond its length.
        std::memcpy(data, text, std::min<size_t>(n, 6));
      } else {
        std::memcpy(data + 2, code, std::min<size_t>(n, 4));
      }
      key->Length = 6;
      break;

    case LN_MIFARE:
      if (items.subName >= 0) {
        *type = kMifareSubTypes[items.subName];
      } else if (items.paren) {
        *type = MifareTypeFromSak(items.sak, items.atqa);
      }
      // Longer UIDs arrive with their first four bytes in front; the key keeps them at the end.
      if (n <= 4) {
        std::memcpy(data, text, n);
      } else {
        std::memcpy(data, text + 4, n - 4);
        std::memcpy(data + (n - 4), text, 4);
      }
      key->Length = BYTE(n);
      break;

    case LN_ICODE: {
      if (!items.decimal) break;
      *type = KT_ICODE;
      PutWord(data, items.second);
      data[2] = BYTE(items.first);
      size_t extra = n > 3 ? std::min<size_t>(n - 3, 12) : 0;
      std::memcpy(data + 3, code + 3, extra);
      key->Length = BYTE(3 + extra);
      break;
    }

    case LN_COD433_FIX:
    case LN_COD433: {
      *type = (name == LN_COD433_FIX) ? KT_COD433F : KT_COD433;
      PutWord(data, items.second);
      data[2] = BYTE(items.first);
      data[3] = (n == 4) ? BYTE((code[0] & 0xF0) | (code[1] >> 4)) : code[0];
      key->Length = 4;
      // Some firmware reports the fob's button code with the two nibbles the other way round.
      bool sendsSwapped = (model == RM_KD6_C && (firmware & 0x01)) || (model == RM_ORVEL_7 && (firmware & 0xFF) >= 10);
      if (sendsSwapped != differentCodes) {
        BYTE b2 = data[2], b3 = data[3];
        data[2] = BYTE((b3 << 4) | (b2 & 0x0F));
        data[3] = BYTE((b3 & 0xF0) | (b2 >> 4));
      }
      break;
    }

    case LN_CAME433:
      if (!items.decimal) break;
      *type = KT_CAME;
      PutWord(data, items.second);
      data[2] = BYTE(items.first);
      key->Length = 3;
      break;

    case LN_DALLAS:
      *type = KT_DALLAS;
      if (n == 8 && DallasCrc8(code, 7) == code[7]) {
        // A whole 1-Wire ROM: keep the serial, drop the family code and the CRC.
        std::memcpy(data, code + 1, 6);
        key->Length = 6;
      } else {
        std::memcpy(data, code, n);
        key->Length = BYTE(n);
      }
      break;
  }
  return *type != KT_UNKNOWN;
}

int ParseReaderInfo(const wchar_t* text, UINT* hwCode, UINT* serial, UINT* version, UINT* incomplete) {
  if (incomplete) *incomplete = 1;
  if (!text) return 0;

  // A reply is complete once two real lines have arrived; a lone CR before the LF is no line.
  int lines = 0;
  const wchar_t* lineStart = text;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p == L'\n') {
      if (p - lineStart >= 2) ++lines;
      lineStart = p + 1;
    }
  }
  if (lines < 2) return 0;
  if (incomplete) *incomplete = 0;

  const wchar_t* p = std::wcsstr(text, L"S/N:");
  if (!p) return 0;
  p += 4;
  if (*p == L' ') ++p;
  UINT number = 0;
  ReadNumber(p, 10, &number);
  *serial = number;

  const wchar_t* open = std::wcschr(p, L'[');
  if (!open) return 0;
  const wchar_t* close = std::wcschr(open + 1, L']');
  if (!close) return 0;
  const wchar_t* q = open + 1;
  ReadNumber(q, 16, &number);
  *hwCode = number;
  if (*hwCode == 0x811 && std::wcsstr(text, L"MQ-F")) *hwCode = 0x20498;

  *version = 0;
  const wchar_t* pos = close;
  static const wchar_t kVersion[] = L"Software version:";
  if (const wchar_t* v = std::wcsstr(close, kVersion)) {
    pos = v + std::size(kVersion) - 1;
    if (*pos == L' ') ++pos;
    UINT part = 0;
    if (ReadNumber(pos, 10, &part)) {
      if (part >= 255) {
        *version = (part << 8) | 0xFF;
      } else {
        *version = part;
        for (int shift = 8; shift < 32 && *pos == L'.'; shift += 8) {
          ++pos;
          ReadNumber(pos, 10, &part);
          *version |= (part & 0xFF) << shift;
        }
      }
    }
  }

  const wchar_t* build = std::wcsstr(pos, L"Build");
  if (!build) return 1;
  p = build + 5;
  if (*p == L' ') ++p;
  // "%7s %d %d ...": the month token is cut at seven characters whatever the reader sends.
  while (*p && IsSpace(*p)) ++p;
  if (!*p) return 1;
  wchar_t month[8] = {};
  for (size_t i = 0; i < 7 && *p && !IsSpace(*p); ++i, ++p) month[i] = LowerAscii(*p);
  int day = 0, year = 0;
  auto readInt = [&p](int* out) {
    const wchar_t* s = p;
    while (*s && IsSpace(*s)) ++s;
    bool negative = (*s == L'-');
    if (*s == L'-' || *s == L'+') ++s;
    if (!IsDigit(*s)) return false;
    long long v = 0;
    for (; IsDigit(*s); ++s) v = std::min(v * 10 + (*s - L'0'), 0x7FFFFFFFll);
    *out = int(negative ? -v : v);
    p = s;
    return true;
  };
  if (readInt(&day)) readInt(&year);
  static const wchar_t kMonths[] = L"janfebmaraprmayjunjulaugsepoctnovdec";
  const wchar_t* found = std::wcsstr(kMonths, month);
  int monthIndex = found ? int(found - kMonths) / 3 : 0;

  if (*version == 0 && (*hwCode == 0x802 || *hwCode == 0xFFFF)) {
    *version = (day == 16 && monthIndex == 10 && year == 2010) ? 0x6309 : 1;
  }
  return 1;
}

READER_MODEL ModelFromHwCode(UINT hwCode) {
  static const struct {
    UINT code;
    READER_MODEL model;
  } kCodes[] = {
      {0x301, RM_KD6_A},    {0x501, RM_ORVEL_3A}, {0x811, RM_KD6_B},     {0x903, RM_ORVEL_3B},
      {0xF11, RM_KD6_H},    {0x302, RM_KD6_C},    {0x303, RM_KD6_D},     {0x802, RM_ORVEL_7},
      {0xFFFF, RM_ORVEL_7}, {0x821, RM_PX2210},   {0x20498, RM_KD6_MQF},
  };
  for (const auto& entry : kCodes) {
    if (entry.code == hwCode) return entry.model;
  }
  return RM_UNKNOWN;
}

BYTE DallasCrc8(const BYTE* data, ptrdiff_t n) {
  BYTE crc = 0;
  for (ptrdiff_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? BYTE((crc >> 1) ^ 0x8C) : BYTE(crc >> 1);
  }
  return crc;
}

UINT64 MakeWiegandFrame(UINT bits, const BYTE* data, size_t n, UINT flag) {
  // Signed: a frame of one or two bits has no data bits at all.
  const int d = int(bits) - 2;
  UINT64 value = 0;
  if (d > 0 && data) {
    size_t take = std::min<size_t>({(size_t(d) + 7) / 8, n, 8});
    for (size_t i = take; i-- > 0;) value = value << 8 | data[i];
    if (d < 64) value &= (UINT64(1) << d) - 1;
  }
  UINT64 frame = value << 1;
  const int half = d / 2 + int(bits & 1);
  auto ones = [value](int from, int to) {  // data bits from .. to - 1
    int count = 0;
    for (int i = std::max(from, 0); i < to && i < 64; ++i) count += int((value >> i) & 1);
    return count;
  };
  if (ones(0, half) % 2 == 0) frame |= 1;
  const int highFrom = (bits & 1) ? half - 1 : half;
  if (ones(highFrom, d) % 2 == 1 && bits <= 64) frame |= UINT64(1) << (bits - 1);
  if (bits < 37 && flag == 0) frame |= (UINT64(1) << bits) | (UINT64(1) << 37);
  return frame;
}
