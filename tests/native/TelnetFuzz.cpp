// libFuzzer target: the Telnet NVT receive filter. The first byte chooses between a raw stream and a
// stream built from the rest of the input as data, commands and subnegotiations; the second byte
// chooses the cuts it arrives in. A raw stream must filter to the same data whole and in cuts; a
// built one must give exactly its data: no command, subnegotiation byte or escape left in it.
#include <string>

#include "FuzzSupport.h"
#include "Telnet.h"

using fuzz::Cuts;

namespace {

std::string Filter(const std::string& wire, Cuts* cuts) {
  CTelnetFilter filter;
  std::string data;
  size_t pos = 0;
  while (pos < wire.size()) {
    const size_t cut = cuts ? std::min(cuts->Next(), wire.size() - pos) : wire.size();
    filter.Feed(wire.data() + pos, cut, data);
    pos += cut;
  }
  return data;
}

// Op bytes: 0 data (a length byte and the bytes), 1 a two-byte command, 2 a subnegotiation (a length
// byte, the content, and its end byte).
void Build(const uint8_t* p, size_t n, std::string* wire, std::string* data) {
  size_t i = 0;
  auto next = [&]() -> BYTE { return i < n ? p[i++] : 0; };
  while (i < n) {
    switch (next() % 3) {
      case 0: {
        const size_t length = next() % 32;
        std::string chunk;
        for (size_t k = 0; k < length && i < n; ++k) chunk += char(next());
        TelnetEscape(reinterpret_cast<const BYTE*>(chunk.data()), chunk.size(), *wire);
        *data += chunk;
        break;
      }
      case 1: {
        BYTE command = next();
        if (command == kTelnetIac || command == kTelnetSb) command = kTelnetSe;
        *wire += char(kTelnetIac);
        *wire += char(command);
        break;
      }
      case 2: {
        const size_t length = size_t(next()) * 4;  // up to 1020: within the filter's limit
        std::string content;
        for (size_t k = 0; k < length && i < n; ++k) content += char(next());
        BYTE end = next();
        if (end == kTelnetIac) end = kTelnetSe;
        *wire += char(kTelnetIac);
        *wire += char(kTelnetSb);
        TelnetEscape(reinterpret_cast<const BYTE*>(content.data()), content.size(), *wire);
        *wire += char(kTelnetIac);
        *wire += char(end);
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Cuts cuts(data[1]);
  const uint8_t* p = data + 2;
  const size_t n = size - 2;
  if (data[0] & 1) {
    std::string wire, expected;
    Build(p, n, &wire, &expected);
    FUZZ_CHECK(Filter(wire, nullptr) == expected);
    FUZZ_CHECK(Filter(wire, &cuts) == expected);
  } else {
    const std::string wire(reinterpret_cast<const char*>(p), n);
    const std::string whole = Filter(wire, nullptr);
    FUZZ_CHECK(whole.size() <= wire.size());
    FUZZ_CHECK(Filter(wire, &cuts) == whole);
  }
  return 0;
}
