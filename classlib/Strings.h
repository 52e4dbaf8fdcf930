// String, language and automation helpers of the class library, beside the engine's (Core.h: LoadStr,
// StrFormat, hexadecimal text; FormatApply.h: DecodeEscapes).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "Core.h"

// Conversions with an explicit code page; length (size_t)-1 means up to the terminating NUL. A failed
// conversion gives an empty text. The result is the length of `out`.
size_t MultiByteToWide(const char* text, size_t length, std::wstring& out, UINT codePage);
size_t WideToMultiByte(const wchar_t* text, size_t length, std::string& out, UINT codePage);

// Appends string `id` formatted printf-style with the arguments; returns the new length.
size_t LoadStrAppendFormat(std::wstring& out, UINT id, ...);

// Hexadecimal text from the last byte to the first (key numbers are held least significant byte first).
// The buffer form writes at most outChars - 1 digits and a NUL; the result is the digit count.
size_t BytesToHexReversed(const BYTE* data, size_t n, wchar_t* out, size_t outChars);
void BytesToHexStrReversed(const BYTE* data, size_t n, std::wstring& out);

void IntToStr(int value, std::wstring& out);
void Int64ToStr(long long value, std::wstring& out);
// Decimal text as wcstoul reads it (white space and a sign accepted, stops at the first non-digit). A zero
// counts only when a digit was read without a range error; an overflow gives the largest value. `out` is
// set only on success.
bool StrToUInt(const wchar_t* text, UINT& out);

// The inverse of DecodeEscapes for stored texts: TAB, LF, CR, ", ' and \ become \t, \n, \r, \", \', \\.
void EncodeEscapes(std::wstring& out, const wchar_t* text, size_t length = size_t(-1));

// Switches the configurator's language: the C run-time locale by its English name (Russian_Russia for
// 1049; a name the run-time rejects is ignored), and the thread's language for string tables and dialogs.
void SetUILanguage(LANGID language);
// The language SetUILanguage last set, else the thread's user-interface language.
LANGID GetUILanguage();

// A late-bound call of `name` on `object`. The `count` VARIANT arguments follow, the member's last argument
// first (DISPPARAMS order); DISPATCH_PROPERTYPUT adds the DISPID_PROPERTYPUT named argument. Failures are
// traced and returned; an unknown name is never invoked.
HRESULT InvokeDispatch(WORD flags, VARIANT* result, IDispatch* object, const wchar_t* name, int count, ...);

// The class library's diagnostic sink; it writes nowhere.
void Trace(const wchar_t* format, ...);
