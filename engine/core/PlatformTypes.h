// The Windows type names that pure engine code (key model, format language) uses, so that it also
// builds natively on Linux for sanitizers and fuzzing. On Windows they come from <windows.h> itself.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

// Same sizes as on Windows (LLP64): DWORD and LONG stay 32-bit although Linux's long is 64-bit.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef int64_t INT64;
typedef uint64_t UINT64;
// No winerror.h here; the codes themselves come from the generated Messages.h.
typedef int32_t HRESULT;
#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#endif

static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(UINT) == 4 && sizeof(BOOL) == 4 &&
                  sizeof(UINT64) == 8,
              "Windows type sizes");
