// What the method bodies share besides the object: reading an argument by its rule, the host's form of
// an error code and the copy of a text into the host's memory. The helpers that need the add-in
// object's state (the last error, the argument check, the device lookup, the string and blob results)
// are CVombra members declared in Vombra.h; MethodSupport.cpp defines them with these.
#pragma once

#include <windows.h>

#include <string>

#include "NativeApi.h"

// Whether an argument was given: neither EMPTY (left out) nor NULL.
bool IsGiven(const tVariant& value);
// NULL: the caller passed nothing to write an out value into.
bool IsNullArg(const tVariant& value);

// A text argument's length: wstrLen characters when they can all be read, otherwise the characters up
// to the first NUL of the readable part (the host's texts end with one); 0 for a null pointer.
size_t TextChars(const tVariant& value);
// A PSTR or BLOB argument's length: strLen bytes, as far as they can be read; 0 for a null pointer.
size_t BlockBytes(const tVariant& value);

// A text argument of TextChars characters, NULs and all: the host's length is what a value carries.
std::wstring TextByLength(const tVariant& value);
// A text argument up to its first NUL, whatever length the host gives: what a list name is compared by.
// A text without a NUL ends with the readable memory.
std::wstring TextUpToNul(const tVariant& value);

// A truth argument as its first byte, whatever its type: a number stands in for a BOOL.
bool TruthOfFirstByte(const tVariant& value);
// A truth argument by its type: a real compares with zero, a 64-bit number whole, the rest as 32 bits.
bool TruthOfValue(const tVariant& value);

// A positive code (a Windows error number) as the host receives it: 0x8007xxxx.
HRESULT HostErrorCode(HRESULT code);

// The text with its NUL in memory of the host's memory manager; null without a manager or memory.
WCHAR_T* CopyToHost(IMemoryManager* memory, const wchar_t* text);
