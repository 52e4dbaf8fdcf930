// The answer to reset of a card behind a PC/SC reader: its characters, and the key type it names. No
// Windows header, so that the native sanitizer build and its fuzzers compile it as it is.
#pragma once

#include <map>

#include "KeyModel.h"
#include "PlatformTypes.h"

// An ATR split into its characters. Positions: 1 TS, 2 T0; TA(i) 4i-1, TB(i) 4i, TC(i) 4i+1, TD(i)
// 4i+2 for the interface levels i = 1..7; 31 TCK.
struct _ATR_INFO {
  std::map<BYTE, BYTE> Bytes;
  BYTE Historical[15] = {};
  BYTE HistoricalCount = 0;

  // A position the ATR does not hold reads as 0.
  BYTE Byte(BYTE position) const {
    auto found = Bytes.find(position);
    return found == Bytes.end() ? 0 : found->second;
  }
};

bool ParseAtr(_ATR_INFO& out, const BYTE* atr, UINT length);
// The key type of a contactless card from its ATR; subCode (may be null) gets the card-flags value of
// the matching card-table row, 0 otherwise.
KEY_TYPE KeyTypeFromAtr(const _ATR_INFO& atr, UINT* subCode);
