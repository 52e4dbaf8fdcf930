// The engine's lowest layer: module state, string and message tables, text conversion and formatting,
// hexadecimal text, versions, the thread locale, folders and the helpers that make log text.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>
#include <vector>

struct tVariant;

// Written once when the module is attached; g_hResInstance holds the string and message tables.
extern HINSTANCE g_hInstance;
extern HINSTANCE g_hResInstance;
// The locale every thread of the add-in applies; written by the host's thread, read by reader threads.
extern LCID g_lcid;

// String tables. Texts are at most 511 characters; a missing id gives an empty text.
int LoadStr(UINT id, std::wstring& out);
int LoadStrFormat(std::wstring& out, UINT id, ...);

// CP_ACP conversions; length -1 means up to the terminating NUL.
int AnsiToWide(const char* text, int length, std::wstring& out);
int WideToAnsi(const wchar_t* text, int length, std::string& out);

// printf-style formatting with Microsoft's wide rules (%s wide, %S narrow). The whole text is kept,
// however long; a format the run-time rejects gives an empty text.
int StrFormat(std::wstring& out, const wchar_t* format, ...);
int StrFormatV(std::wstring& out, const wchar_t* format, va_list args);
int StrAppendFormat(std::wstring& out, const wchar_t* format, ...);
int StrAppendFormatV(std::wstring& out, const wchar_t* format, va_list args);

// Hexadecimal text: upper-case on output; on input any non-hex character counts as 0.
size_t BytesToHex(const BYTE* data, size_t n, wchar_t* buffer, size_t bufferChars);
void BytesToHexStr(const BYTE* data, size_t n, std::wstring& out);
size_t HexToBytes(const wchar_t* hex, int length, BYTE* out, size_t max);
size_t HexToBytesReversed(const wchar_t* hex, int length, BYTE* out, size_t max);

void UIntToStr(UINT value, std::wstring& out);
// A packed version: major in the low byte up to revision in the high byte; a low byte of 0xFF
// marks a single number larger than 254 held in the upper bytes.
void VersionToStr(UINT version, std::wstring& out);
UINT GetFileVersionNumber(const wchar_t* file);
bool IsWindowsVistaOrLater();

// Applies g_lcid to the calling thread: the C run-time locale and the thread's language.
void ApplyThreadLocale();

BOOL CreateDirectoryPath(const wchar_t* path);

// How many of the bytes at data can be read: all of them when the memory is, otherwise only what
// lies before unreadable memory. A host that gives a length beyond its block must not take the
// process down.
size_t ReadableBytes(const void* data, size_t bytes);

// Log text of port traffic and of Native API values.
void EscapeLogText(std::wstring& out, const char* bytes, int length);
void EscapeLogTextW(std::wstring& out, const wchar_t* text, int length);
void BytesToHexDump(std::wstring& out, const BYTE* data, size_t n);
void VariantToText(const tVariant* value, std::wstring& out);

// Text of an error code: the add-in's own codes (facility ITF) from the module's message table,
// every other code from the system. Trailing CR/LF removed; out is untouched when no text is found.
bool FormatMessageTextArray(std::wstring& out, HMODULE module, DWORD id, const DWORD_PTR* inserts);

template <class... Inserts>
bool FormatMessageText(std::wstring& out, HMODULE module, DWORD id, Inserts... inserts) {
  if constexpr (sizeof...(inserts) == 0) {
    return FormatMessageTextArray(out, module, id, nullptr);
  } else {
    const DWORD_PTR array[] = {(DWORD_PTR)inserts...};
    return FormatMessageTextArray(out, module, id, array);
  }
}
