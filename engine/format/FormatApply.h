// The format applier: a key-number format's template (printf-style, with backslash escapes) filled
// with the values of its parameter expressions over a key's bytes, and the checker of a format.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "KdParser.h"
#include "KeyModel.h"

// The argument a template conversion consumes.
enum : int {
  KDARG_UNSUPPORTED = 0,
  KDARG_INT16 = 1,
  KDARG_INT32 = 2,  // also every asterisk width or precision
  KDARG_INT64 = 3,
  KDARG_DOUBLE = 4,
  KDARG_CHAR = 5,
  KDARG_WCHAR = 6,
  KDARG_STRING = 7,
  KDARG_WSTRING = 8,
  KDARG_COUNT = 9,  // %n
  KDARG_POINTER = 10,
};

// Longest number text a format may produce; a longer one is a formatting failure (empty text).
constexpr size_t kMaxNumberChars = 4096;

// Replaces out with text after decoding its backslash escapes (\n, \x2C, \#065, \101, ...).
void DecodeEscapes(std::wstring& out, const wchar_t* text);

// One kind per value the template consumes, in order. result (when given) receives the template with
// "ll" inserted before every d, i, o, u, x and X that has no length modifier; offsets (when given)
// the offset of each conversion's "%".
void ParseFormatTemplate(std::vector<int>& kinds, const wchar_t* templ, std::wstring* result = nullptr,
                         std::vector<size_t>* offsets = nullptr);

// Replaces out with the number text of key. Throws CKdParserException when params does not parse or
// divides by zero (out is then unchanged); a template that cannot be formatted gives an empty text.
void FormatKeyNumber(std::wstring& out, const wchar_t* templ, const wchar_t* params, const _KEYNUM_INFO* key);

// S_OK or the first fault of a format. position receives the fault's offset, or SIZE_MAX when it has
// none; text the fault's text (emptied on success).
HRESULT CheckFormatText(const wchar_t* templ, const wchar_t* params, size_t* position, std::wstring* text);
