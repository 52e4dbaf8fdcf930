#include "FormatApply.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <exception>

#include "KdPlatform.h"
#include "Messages.h"

namespace {

enum Modifier { MOD_NONE, MOD_LL, MOD_I32, MOD_I64, MOD_H, MOD_L, MOD_W, MOD_I };

// One "%" conversion of a template as the scanner read it.
struct Conversion {
  size_t Offset = 0;       // of the "%"
  size_t ConversionAt = 0; // of the conversion character (the template's end when there is none)
  size_t End = 0;          // just past the conversion
  wchar_t Flags[6] = {};   // each of "-+0 #" once, in the order written
  bool WidthStar = false;
  int Width = -1;  // -1: none
  bool PrecisionStar = false;
  int Precision = -1;  // -1: none; a lone "." is 0
  Modifier Mod = MOD_NONE;
  wchar_t Letter = 0;
  int Kind = KDARG_UNSUPPORTED;
};

constexpr int kNumberCap = 1000000000;  // literal widths saturate here; anything above the text cap fails anyway

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool IsIntegerLetter(wchar_t c) { return c && wcschr(L"diouxX", c); }

int KindOf(wchar_t letter, Modifier mod) {
  switch (letter) {
    case L'd': case L'i': case L'o': case L'u': case L'x': case L'X':
      if (mod == MOD_H) return KDARG_INT16;
      if (mod == MOD_L || mod == MOD_I32) return KDARG_INT32;
      return KDARG_INT64;
    case L'e': case L'E': case L'f': case L'g': case L'G': case L'a': case L'A':
      return KDARG_DOUBLE;
    case L'c': return mod == MOD_H ? KDARG_CHAR : KDARG_WCHAR;
    case L'C': return (mod == MOD_L || mod == MOD_W) ? KDARG_WCHAR : KDARG_CHAR;
    case L's': return mod == MOD_H ? KDARG_STRING : KDARG_WSTRING;
    case L'S': return (mod == MOD_L || mod == MOD_W) ? KDARG_WSTRING : KDARG_STRING;
    case L'n': return KDARG_COUNT;
    case L'p': return KDARG_POINTER;
    default: return KDARG_UNSUPPORTED;
  }
}

int ReadNumber(const wchar_t* t, size_t& i) {
  int value = 0;
  for (; IsDigit(t[i]); ++i) value = int(std::min<int64_t>(kNumberCap, int64_t(value) * 10 + (t[i] - L'0')));
  return value;
}

// Scans templ from "%" to "%"; "%%" is literal text and no conversion.
void ScanTemplate(const wchar_t* t, std::vector<Conversion>& conversions) {
  conversions.clear();
  size_t i = 0;
  while (t[i]) {
    if (t[i] != L'%') {
      ++i;
      continue;
    }
    if (t[i + 1] == L'%') {
      i += 2;
      continue;
    }
    Conversion c;
    c.Offset = i++;
    for (size_t n = 0; t[i] && wcschr(L"-+0 #", t[i]); ++i)
      if (!wcschr(c.Flags, t[i])) c.Flags[n++] = t[i];
    if (t[i] == L'*') {
      c.WidthStar = true;
      ++i;
    } else if (IsDigit(t[i])) {
      c.Width = ReadNumber(t, i);
    }
    if (t[i] == L'.') {
      ++i;
      if (t[i] == L'*') {
        c.PrecisionStar = true;
        ++i;
      } else {
        c.Precision = ReadNumber(t, i);
      }
    }
    if (wcsncmp(t + i, L"ll", 2) == 0) c.Mod = MOD_LL, i += 2;
    else if (wcsncmp(t + i, L"I32", 3) == 0) c.Mod = MOD_I32, i += 3;
    else if (wcsncmp(t + i, L"I64", 3) == 0) c.Mod = MOD_I64, i += 3;
    else if (t[i] == L'h') c.Mod = MOD_H, ++i;
    else if (t[i] == L'l') c.Mod = MOD_L, ++i;
    else if (t[i] == L'w') c.Mod = MOD_W, ++i;
    else if (t[i] == L'I') c.Mod = MOD_I, ++i;
    c.ConversionAt = i;
    c.Letter = t[i];
    c.Kind = KindOf(c.Letter, c.Mod);
    if (!t[i]) {  // the template ends inside the conversion
      c.End = i;
      conversions.push_back(c);
      break;
    }
    c.End = ++i;
    conversions.push_back(c);
  }
}

size_t KindCount(const std::vector<Conversion>& conversions) {
  size_t n = 0;
  for (const auto& c : conversions) n += 1 + (c.WidthStar ? 1 : 0) + (c.PrecisionStar ? 1 : 0);
  return n;
}

void AppendDecimal(std::wstring& out, uint64_t magnitude) {
  wchar_t digits[24];
  size_t n = 0;
  do {
    digits[n++] = wchar_t(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  while (n) out += digits[--n];
}

void SignedDecimal(std::wstring& out, int64_t value) {
  out.clear();
  uint64_t magnitude = uint64_t(value);
  if (value < 0) {
    out += L'-';
    magnitude = 0 - magnitude;
  }
  AppendDecimal(out, magnitude);
}

// Literal text between conversions; "%%" stands for one "%".
bool AppendLiteral(std::wstring& out, const wchar_t* t, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (out.size() >= kMaxNumberChars) return false;
    out += t[i];
    if (t[i] == L'%') ++i;
  }
  return true;
}

// Fills the conversions with the values; false when the text cannot be made: a conversion that
// printf cannot take safely (unknown ones would misread later arguments, %n writes through a
// pointer), or a text beyond kMaxNumberChars.
bool FormatValues(std::wstring& out, const wchar_t* t, const std::vector<Conversion>& conversions,
                  const std::vector<int64_t>& values) {
  for (const auto& c : conversions)
    if (c.Kind == KDARG_UNSUPPORTED || c.Kind == KDARG_COUNT) return false;
  out.clear();
  size_t next = 0;
  auto take = [&]() -> int64_t {
    int64_t v = next < values.size() ? values[next] : 0;
    ++next;
    return v;
  };
  size_t literalFrom = 0;
  std::wstring head, text;
  for (const auto& c : conversions) {
    if (!AppendLiteral(out, t, literalFrom, c.Offset)) return false;
    literalFrom = c.End;

    bool leftAlign = false;
    int64_t width = c.Width;
    if (c.WidthStar) {
      width = int32_t(uint32_t(uint64_t(take())));
      if (width < 0) {  // a negative width from the list means left alignment
        leftAlign = true;
        width = -width;
      }
    }
    int64_t precision = c.Precision;
    if (c.PrecisionStar) {
      precision = int32_t(uint32_t(uint64_t(take())));
      if (precision < 0) precision = -1;  // as if none was given
    }
    const int64_t value = take();
    if (c.Kind == KDARG_POINTER) precision = -1;  // msvcrt prints a pointer at 16 digits whatever is asked

    // Sizes beyond the cap either make a text beyond it, or (strings, characters, %g without '#',
    // %p) change nothing above it: the digits of a double end long before.
    const bool alternate = wcschr(c.Flags, L'#') != nullptr;
    if (width > int64_t(kMaxNumberChars)) return false;
    if (precision > int64_t(kMaxNumberChars)) {
      const bool digitsFollowPrecision =
          c.Kind <= KDARG_INT64 || (c.Kind == KDARG_DOUBLE && (alternate || (c.Letter != L'g' && c.Letter != L'G')));
      if (digitsFollowPrecision) return false;
      precision = int64_t(kMaxNumberChars);
    }

    head.assign(1, L'%');
    head += c.Flags;
    if (leftAlign && !wcschr(c.Flags, L'-')) head += L'-';
    if (width >= 0) AppendDecimal(head, uint64_t(width));
    if (precision >= 0) {
      head += L'.';
      AppendDecimal(head, uint64_t(precision));
    }
    if (c.Kind == KDARG_STRING || c.Kind == KDARG_WSTRING) SignedDecimal(text, value);

    const size_t room = kMaxNumberChars - out.size();
    wchar_t local[128];
    int written = KdFormatArgument(local, std::min(room + 1, sizeof local / sizeof *local), head, c.Kind, c.Letter,
                                   value, text);
    if (written >= 0) {
      out.append(local, size_t(written));
    } else if (room + 1 > sizeof local / sizeof *local) {
      std::vector<wchar_t> large(room + 1);
      written = KdFormatArgument(large.data(), large.size(), head, c.Kind, c.Letter, value, text);
      if (written < 0) return false;
      out.append(large.data(), size_t(written));
    } else {
      return false;
    }
  }
  return AppendLiteral(out, t, literalFrom, wcslen(t));
}

}  // namespace

void DecodeEscapes(std::wstring& out, const wchar_t* text) {
  std::wstring result;
  const wchar_t* p = text ? text : L"";
  while (*p) {
    if (*p != L'\\') {
      result += *p++;
      continue;
    }
    const wchar_t c = *++p;
    if (!c) break;  // a backslash at the end stands for nothing
    ++p;
    switch (c) {
      case L'n': result += L'\n'; break;
      case L'r': result += L'\r'; break;
      case L't': result += L'\t'; break;
      case L'"': case L'\'': case L'\\': case L'?': result += c; break;
      case L'a': case L'b': case L'f': case L'v': break;
      case L'#': {
        unsigned code = 0, n = 0;
        for (; n < 3 && IsDigit(*p); ++n, ++p) code = code * 10 + unsigned(*p - L'0');
        if (n) result += wchar_t(code);
        break;
      }
      case L'$':
      case L'x': {
        unsigned code = 0, n = 0;
        for (; n < 4 && HexValue(*p) >= 0; ++n, ++p) code = code * 16 + unsigned(HexValue(*p));
        if (n) result += wchar_t(code);
        break;
      }
      default:
        if (c >= L'0' && c <= L'7') {
          unsigned code = unsigned(c - L'0');
          for (unsigned n = 1; n < 3 && *p >= L'0' && *p <= L'7'; ++n, ++p) code = code * 8 + unsigned(*p - L'0');
          result += wchar_t(code);
        } else {
          result += c;
        }
    }
  }
  out.swap(result);
}

void ParseFormatTemplate(std::vector<int>& kinds, const wchar_t* templ, std::wstring* result,
                         std::vector<size_t>* offsets) {
  const wchar_t* t = templ ? templ : L"";
  std::vector<Conversion> conversions;
  ScanTemplate(t, conversions);
  kinds.clear();
  if (offsets) offsets->clear();
  size_t copied = 0;
  std::wstring rewritten;
  for (const auto& c : conversions) {
    if (c.WidthStar) kinds.push_back(KDARG_INT32);
    if (c.PrecisionStar) kinds.push_back(KDARG_INT32);
    kinds.push_back(c.Kind);
    if (offsets) offsets->push_back(c.Offset);
    if (result && c.Mod == MOD_NONE && IsIntegerLetter(c.Letter)) {
      rewritten.append(t + copied, c.ConversionAt - copied);
      rewritten += L"ll";
      copied = c.ConversionAt;
    }
  }
  if (result) {
    rewritten.append(t + copied);
    result->swap(rewritten);
  }
}

void FormatKeyNumber(std::wstring& out, const wchar_t* templ, const wchar_t* params, const _KEYNUM_INFO* key) {
  std::wstring decoded;
  DecodeEscapes(decoded, templ);
  std::vector<Conversion> conversions;
  ScanTemplate(decoded.c_str(), conversions);  // a decoded NUL ends the template here
  CKdParser parser;
  parser.Parse(params);
  const size_t length = key ? std::min<size_t>(key->Length, sizeof key->Data) : 0;
  parser.Evaluate(key ? key->Data : nullptr, length);
  std::wstring text;
  if (!FormatValues(text, decoded.c_str(), conversions, parser.Values)) text.clear();
  out.swap(text);
}

HRESULT CheckFormatText(const wchar_t* templ, const wchar_t* params, size_t* position, std::wstring* text) {
  std::vector<Conversion> conversions;
  ScanTemplate(templ ? templ : L"", conversions);
  HRESULT result = S_OK;
  size_t at = SIZE_MAX;
  std::wstring message;
  bool haveMessage = false;
  auto first = [&](int kind) {
    for (const auto& c : conversions)
      if (c.Kind == kind) return &c;
    return static_cast<const Conversion*>(nullptr);
  };
  if (const Conversion* c = first(KDARG_UNSUPPORTED)) {
    result = VOMBRA_E_TEMPLATE_SPEC;
    at = c->Offset;
  } else if (const Conversion* n = first(KDARG_COUNT)) {
    result = VOMBRA_E_TEMPLATE_SPEC;
    at = n->Offset;
  } else {
    try {
      CKdParser parser;
      parser.Parse(params);
      if (KindCount(conversions) > parser.Expressions.size()) result = VOMBRA_E_FEW_PARAMS;
    } catch (const CKdParserException& e) {
      result = e.Code;
      at = e.Position;
      KdAnsiToWide(e.Message.c_str(), message);
      haveMessage = true;
    } catch (const std::exception& e) {
      result = E_FAIL;
      KdAnsiToWide(e.what(), message);
      haveMessage = true;
    }
  }
  if (result < 0 && !haveMessage) KdMessageText(result, message);
  if (result >= 0) message.clear();
  if (position) *position = at;
  if (text) text->swap(message);
  return result;
}
