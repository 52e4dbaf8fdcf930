// The few things the format language and the format applier need from Windows: the message-table
// text of a code, ANSI text, and the run-time's printf for one conversion. KdPlatform.cpp supplies
// them for Windows; the native sanitizer and fuzz build links its own stand-ins instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KdParser.h"

// The add-in message-table text of a code in the thread's language, without the trailing line break;
// false (and text untouched) when there is none.
bool KdMessageText(HRESULT code, std::wstring& text);
void KdWideToAnsi(const std::wstring& text, std::string& out);
void KdAnsiToWide(const char* text, std::wstring& out);

// Formats one argument with Microsoft's wide printf rules. head is "%", flags, and literal width and
// precision (no asterisks); the platform adds the length modifier that matches the argument kind
// (1..8, 10) and the conversion character. text is the argument of the string kinds (7 and 8).
// Returns the characters written, or -1 when they do not fit into capacity - 1 characters.
int KdFormatArgument(wchar_t* buffer, size_t capacity, const std::wstring& head, int kind,
                     wchar_t conversion, int64_t value, const std::wstring& text);
