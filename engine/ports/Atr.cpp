#include "Atr.h"

#include <algorithm>
#include <cstring>

bool ParseAtr(_ATR_INFO& out, const BYTE* atr, UINT length) {
  out.Bytes.clear();
  out.HistoricalCount = 0;
  if (length < 2 || length > 33 || !atr) return false;
  if (atr[0] != 0x3B && atr[0] != 0x3F) return false;
  out.Bytes[1] = atr[0];
  out.Bytes[2] = atr[1];
  const BYTE historical = atr[1] & 0x0F;
  UINT next = 2;
  BYTE y = atr[1] & 0xF0;
  for (BYTE level = 1; level <= 7 && y; ++level) {
    BYTE td = 0;
    for (BYTE k = 0; k < 4; ++k) {
      if (!(y & (0x10 << k))) continue;
      // An ATR that announces more interface bytes than it holds is malformed.
      if (next >= length) return false;
      out.Bytes[(BYTE)(4 * level - 1 + k)] = atr[next];
      if (k == 3) td = atr[next];
      ++next;
    }
    if (!(y & 0x80)) break;
    y = td & 0xF0;
  }
  if (length - next < historical) return false;
  memcpy(out.Historical, atr + next, historical);
  out.HistoricalCount = historical;
  next += historical;
  if (length - next == 1) out.Bytes[31] = atr[next];
  return true;
}

namespace {

struct CardRow {
  BYTE length;
  BYTE key[9];
  KEY_TYPE type;
  UINT subCode;
};

// Ordered by key length, then key bytes, for the binary search. Two-byte keys are the card names of
// the PC/SC work group's contactless storage-card ATRs; the others are whole historical-byte strings.
const CardRow kCards[] = {
    {1, {0x80}, KT_DESFIRE, 0},
    {2, {0x00, 0x01}, KT_MIFARE_1K, 0},
    {2, {0x00, 0x02}, KT_MIFARE_4K, 0},
    {2, {0x00, 0x03}, KT_MIFARE_UL, 0},
    {2, {0x00, 0x26}, KT_MIFARE_MINI, 0},
    {2, {0x00, 0x36}, KT_MIFARE_PLUS_2K, 25},
    {2, {0x00, 0x37}, KT_MIFARE_PLUS_4K, 25},
    {2, {0x00, 0x38}, KT_MIFARE_PLUS_2K, 41},
    {2, {0x00, 0x39}, KT_MIFARE_PLUS_4K, 41},
    {2, {0x00, 0x3A}, KT_MIFARE_UL, 0},
    {7, {0xC1, 0x05, 0x2F, 0x2F, 0x01, 0xBC, 0xD6}, KT_MIFARE_PLUS_4K, 7},
    {8, {'J', 'C', 'O', 'P', '3', 'P', '6', '0'}, KT_SMART_MX_4K, 1},
};

bool RowBefore(const CardRow& row, const CardRow& key) {
  if (row.length != key.length) return row.length < key.length;
  return memcmp(row.key, key.key, row.length) < 0;
}

}  // namespace

KEY_TYPE KeyTypeFromAtr(const _ATR_INFO& atr, UINT* subCode) {
  if (subCode) *subCode = 0;
  // Contactless cards behind a PC/SC reader: direct convention, only TD1 after T0, TD1 leads to TD2
  // alone, T=1, and historical bytes that name the card.
  if (atr.Byte(1) != 0x3B || (atr.Byte(2) & 0xF0) != 0x80 || atr.Byte(6) != 0x80 || atr.Byte(10) != 0x01 ||
      atr.HistoricalCount == 0 || atr.HistoricalCount > sizeof atr.Historical)
    return KT_UNKNOWN;
  static const BYTE kCardNamePrefix[] = {0x80, 0x4F};
  static const BYTE kRegisteredId[] = {0xA0, 0x00, 0x00, 0x03, 0x06};
  CardRow key{};
  if (atr.HistoricalCount >= 11 && memcmp(atr.Historical, kCardNamePrefix, 2) == 0 &&
      memcmp(atr.Historical + 3, kRegisteredId, sizeof kRegisteredId) == 0) {
    key.length = 2;
    key.key[0] = atr.Historical[9];
    key.key[1] = atr.Historical[10];
  } else {
    if (atr.HistoricalCount > sizeof key.key) return KT_UNKNOWN;
    key.length = atr.HistoricalCount;
    memcpy(key.key, atr.Historical, key.length);
  }
  const CardRow* end = kCards + sizeof kCards / sizeof kCards[0];
  const CardRow* found = std::lower_bound(kCards, end, key, RowBefore);
  if (found == end || found->length != key.length || memcmp(found->key, key.key, key.length) != 0)
    return KT_UNKNOWN;
  if (subCode) *subCode = found->subCode;
  return found->type;
}
