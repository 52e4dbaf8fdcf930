// What the parser fuzz targets share: an exact-size copy of the input (so that AddressSanitizer sees
// a read past the end), the cuts that a receive stream arrives in, and the check that fails a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace fuzz {

// A failed property of the parser: reported and turned into a crash, which libFuzzer keeps.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// The input's bytes in a block of exactly their size.
class ExactBytes {
 public:
  ExactBytes(const uint8_t* data, size_t size) : m_block(new uint8_t[size ? size : 1]), m_size(size) {
    for (size_t i = 0; i < size; ++i) m_block[i] = data[i];
  }
  const uint8_t* data() const { return m_block.get(); }
  size_t size() const { return m_size; }

 private:
  std::unique_ptr<uint8_t[]> m_block;
  size_t m_size;
};

// The lengths a stream arrives in: 1 to 16 bytes, from a seed byte of the input.
class Cuts {
 public:
  explicit Cuts(uint8_t seed) : m_state(seed * 2654435761u + 1) {}
  size_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return 1 + m_state % 16;
  }

 private:
  uint32_t m_state;
};

// Bytes as the text a reader's line becomes on the host (one character per byte, Latin-1 here).
inline std::wstring Widen(const std::string& bytes) {
  std::wstring text;
  for (char c : bytes) text += wchar_t(static_cast<unsigned char>(c));
  return text;
}

}  // namespace fuzz
