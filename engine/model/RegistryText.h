// The text forms of values in the settings key: multi-string lists, the older hexadecimal
// authorization key, the Temic scan list and the numbered item keys. No Windows header, so that the
// native sanitizer build and its fuzzers compile it as it is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PlatformTypes.h"

// Splits REG_MULTI_SZ data at its NULs, up to the first empty string. The data need not end in NULs:
// only the characters the value really holds are looked at.
std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t chars);

// The hexadecimal number of an older Passw value, as wcstoull reads it: leading blanks and a 0x
// prefix allowed, too large saturates. False when there are no digits.
bool ParseHex64(const std::wstring& text, UINT64* value);

// The Temic scan list, "a,b,c;" per entry: a and b are the step's two parameter bytes, c its pause.
// An entry packs a | b << 8 | c << 16; an entry with fewer than two numbers is left out.
std::vector<UINT> ParseScanParams(const std::wstring& text);
// The list's text as ParseScanParams reads it back.
std::wstring ScanParamsText(const std::vector<UINT>& list);

// "Item%u": the number after the prefix, which scanf would also find after blanks or a '+'; a number
// past 32 bits saturates.
bool ParseItemName(const std::wstring& name, UINT* id);
