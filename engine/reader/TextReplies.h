// The byte-level side of the text protocol and of readers behind a converter: lines out of the
// receive buffer, the tests of a line, the converter's echo and decimal answers, and the Ultralight
// page reply. No I/O and no Windows header, so that the native sanitizer build and its fuzzers
// compile it as it is.
#pragma once

#include <cstddef>
#include <string>

#include "KeyModel.h"
#include "PlatformTypes.h"

// A line longer than this without a carriage return is garbage, not a line still arriving.
constexpr size_t kMaxTextLine = 4096;

// Takes the next complete line (up to its carriage return, leading line feeds skipped) out of rx;
// false, with rx untouched, when none has come whole.
bool TakeTextLine(std::string& rx, std::string* line);
// An unterminated line has grown past kMaxTextLine.
bool IsOverlongTextLine(const std::string& rx);

// The whole line "No card" in any case, as a reader reports an empty field.
bool IsNoCard(const std::wstring& line);
// A key line names its code in brackets; an identification line holds ':' as well.
bool LooksLikeKeyLine(const std::wstring& line);
// Drops the carriage returns and line feeds at the end of a line.
void CutLineEnd(std::wstring* line);

// The address as it travels to a converter: decimal with at least five digits.
std::string ConverterAddressText(int address);
// The first line of an identification through a converter is the converter's echo of the address
// rather than the reader's answer.
bool IsConverterEcho(const std::string& reply, int address);

// What a key answer of firmware 409/410 behind a converter says: "<address> <number>" or
// "<address> No card".
enum class DecimalAnswer { kNone, kNoCard, kKey };
// The answer for address in line (line ends already cut); kKey fills *uid with the number's five low
// bytes. An answer for another address, or anything not of that form, is kNone.
DecimalAnswer ParseDecimalAnswer(const std::wstring& line, int address, _KEYNUM_INFO* uid);

// The sixteen bytes of an Ultralight read's reply, in lower case: its first four lines are
// "pp: b0 b1 b2 b3", each ending with a carriage return; false when they are not.
bool ParseUltralightPages(const std::string& lines, BYTE data[16]);
