// libFuzzer target: the reader search's replies. The first byte chooses a converter's UDP answer
// (in a block of exactly its size) or an identification arriving over a candidate port in cuts
// chosen by the second byte, judged step by step as the search judges it.
#include <string>

#include "FuzzSupport.h"
#include "KeyModel.h"
#include "SearchReplies.h"

namespace {

void UdpAnswer(const uint8_t* p, size_t n) {
  const fuzz::ExactBytes reply(p, n);
  UINT ports[2] = {};
  std::string addresses[2];
  if (!ParseIpSearchReply(reinterpret_cast<const char*>(reply.data()), n, ports, addresses)) return;
  FUZZ_CHECK(addresses[0].size() + addresses[1].size() <= n);
  FUZZ_CHECK(addresses[0].find(' ') == std::string::npos && addresses[1].find(' ') == std::string::npos);
}

void Identification(const uint8_t* p, size_t n) {
  if (n < 1) return;
  fuzz::Cuts cuts(p[0]);
  ++p;
  --n;
  std::string rx;
  std::wstring info;
  size_t pos = 0;
  while (pos < n) {
    const size_t cut = std::min(cuts.Next(), n - pos);
    rx.append(reinterpret_cast<const char*>(p + pos), cut);
    pos += cut;
    if (info.empty() && rx.find("S/N:") == std::string::npos) {
      // An answer without the identification is judged once its first line is whole.
      if (HasLineEnd(rx)) rx.clear();
      continue;
    }
    info += fuzz::Widen(rx);
    rx.clear();
    UINT hwCode = 0, serial = 0, version = 0, incomplete = 1;
    const int understood = ParseReaderInfo(info.c_str(), &hwCode, &serial, &version, &incomplete);
    if (incomplete) continue;
    if (understood) FUZZ_CHECK(ModelFromHwCode(hwCode) < READER_MODEL_COUNT);
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    Identification(data + 1, size - 1);
  } else {
    UdpAnswer(data + 1, size - 1);
  }
  return 0;
}
