// The key model: key types, reader models, key-number records and their short text, the parsers of
// text-protocol key lines and identification replies, the Dallas CRC-8 and the Wiegand frame.
// Pure code without state: it includes no Windows header beyond PlatformTypes.h, so the format
// language and its fuzzers can build it natively.
#pragma once

#include <cstddef>
#include <string>

#include "PlatformTypes.h"

// The kind of a key, 0..21. Every key-type mask holds bit (1 << type) for each type it admits.
typedef UINT KEY_TYPE;
enum : KEY_TYPE {
  KT_UNKNOWN = 0,
  KT_EM_MARINE = 1,
  KT_HID = 2,
  KT_ICODE = 3,
  KT_COD433 = 4,
  KT_COD433F = 5,
  KT_CAME = 6,
  KT_DALLAS = 7,
  KT_TEMIC = 8,
  KT_MIFARE_UL = 9,
  KT_MIFARE_1K = 10,
  KT_MIFARE_2K = 11,
  KT_MIFARE_4K = 12,
  KT_MIFARE_PLUS = 13,
  KT_MIFARE_PLUS_1K = 14,
  KT_MIFARE_PLUS_2K = 15,
  KT_MIFARE_PLUS_4K = 16,
  KT_SMART_MX_1K = 17,
  KT_SMART_MX_4K = 18,
  KT_DESFIRE = 19,
  KT_PROX = 20,
  KT_MIFARE_MINI = 21,
};
constexpr UINT KEY_TYPE_COUNT = 22;
constexpr UINT KEY_TYPES_ALL = 0x3FFFFF;

// Short names of the key types as log lines and events show them ("X", "EM", "HID", ...).
extern const wchar_t* const g_KeyTypeNames[KEY_TYPE_COUNT];
// The short name, or an empty text for a number outside 0..21.
const wchar_t* KeyTypeName(KEY_TYPE type);

// A reader model, 0..12: as a setting 0 means automatic, as a detected model not identified.
typedef UINT READER_MODEL;
enum : READER_MODEL {
  RM_UNKNOWN = 0,
  RM_KD6_A = 1,
  RM_ORVEL_3A = 2,
  RM_KD6_B = 3,
  RM_ORVEL_3B = 4,
  RM_KD6_H = 5,
  RM_KD6_C = 6,
  RM_KD6_D = 7,
  RM_ORVEL_7 = 8,
  RM_PX2210 = 9,
  RM_KD6_E = 10,
  RM_KD6_MQF = 11,
  RM_KD6_G = 12,
};
constexpr UINT READER_MODEL_COUNT = 13;

// Display names of the models ("?", "KD-6 A", ..., "KD-6 G").
extern const wchar_t* const g_ReaderModelNames[READER_MODEL_COUNT];
// The display name, or "?" for a number outside 0..12.
const wchar_t* ReaderModelName(READER_MODEL model);

// A key number: up to 15 bytes, least significant byte first; bytes from Length on are 0.
// Em-Marine: bytes 0..1 number, 2 series, 3..4 further code, Length 5.
// HID: bytes 0..1 card number, 2..5 up to four code bytes, Length 6.
struct _KEYNUM_INFO {
  BYTE Length;
  BYTE Data[15];
};
static_assert(sizeof(_KEYNUM_INFO) == 16, "key number record layout");

// A Mifare authentication key.
struct _AUTHKEY_INFO {
  BYTE Length;
  BYTE Data[19];
};
static_assert(sizeof(_AUTHKEY_INFO) == 20, "authentication key record layout");

void MakeKeyNum(const BYTE* data, int n, _KEYNUM_INFO& out);
// memcmp of the common bytes, then the shorter record is the smaller.
int CompareKeyNum(const _KEYNUM_INFO& a, const _KEYNUM_INFO& b);
void MakeAuthKey(const BYTE* data, int n, _AUTHKEY_INFO& out);

// The short text of a key number: Em-Marine "[%.2X%.2X] %.3d,%.5d", HID "[code] number", any other
// type its bytes in upper-case hex, most significant byte first.
void KeyNumToStr(std::wstring& out, const _KEYNUM_INFO& key, KEY_TYPE type);

// Parses a key line of a text-protocol reader, such as "Em-Marine[1234] 012,12345". model, firmware
// (packed version) and differentCodes describe the connected reader, whose quirks some builders
// undo. True when a key type other than 0 resulted.
bool ParseKeyLine(const wchar_t* line, UINT* type, _KEYNUM_INFO* key, READER_MODEL model, UINT firmware,
                  bool differentCodes);

// Parses a reader's identification reply (serial number, hardware code, packed firmware version).
// 1 when understood, 0 otherwise; *incomplete (when given) is 1 while fewer than two lines arrived.
int ParseReaderInfo(const wchar_t* text, UINT* hwCode, UINT* serial, UINT* version, UINT* incomplete);

READER_MODEL ModelFromHwCode(UINT hwCode);

// CRC-8/MAXIM (1-Wire): reflected polynomial 0x8C, initial 0, no final XOR; n < 1 gives 0.
BYTE DallasCrc8(const BYTE* data, ptrdiff_t n);

// A Wiegand frame of `bits` bits (1..64) around bits - 2 data bits taken little-endian from data,
// with odd parity over the low half in bit 0 and even parity over the high half in bit bits - 1.
// With flag 0 and bits < 37 the header bits `bits` and 37 are set as well.
UINT64 MakeWiegandFrame(UINT bits, const BYTE* data, size_t n, UINT flag);
