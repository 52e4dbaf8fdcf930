// libFuzzer target: the ATR parser and the card table behind it, on the input in a block of exactly
// its size. A parsed ATR holds only the positions of its characters and at most 15 historical bytes.
#include "Atr.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::ExactBytes atr(data, size);
  _ATR_INFO parsed;
  parsed.Bytes[99] = 1;  // what an earlier parse left must go
  if (!ParseAtr(parsed, atr.data(), UINT(size))) return 0;
  FUZZ_CHECK(size >= 2 && size <= 33);
  FUZZ_CHECK(parsed.HistoricalCount <= sizeof parsed.Historical);
  FUZZ_CHECK(parsed.Byte(1) == data[0] && parsed.Byte(2) == data[1]);
  for (const auto& entry : parsed.Bytes) FUZZ_CHECK(entry.first >= 1 && entry.first <= 31);
  // Interface characters, historical bytes and TCK are all taken from the input, none twice.
  FUZZ_CHECK(parsed.Bytes.size() + parsed.HistoricalCount <= size);
  UINT subCode = 0xDEAD;
  const KEY_TYPE type = KeyTypeFromAtr(parsed, &subCode);
  FUZZ_CHECK(type < KEY_TYPE_COUNT);
  if (type == KT_UNKNOWN) FUZZ_CHECK(subCode == 0);
  return 0;
}
