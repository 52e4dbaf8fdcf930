// libFuzzer target: what readers send back. The first byte chooses the entry point; the receive
// streams arrive in cuts of 1 to 16 bytes chosen by the second. Besides crashes and sanitizer
// reports it checks that every scan step makes progress, that a frame that passes its check encodes
// back to the same bytes, and that no parsed key is longer than 15 bytes.
#include <cstring>
#include <string>

#include "FrameCodec.h"
#include "FuzzSupport.h"
#include "KeyModel.h"
#include "Messages.h"
#include "TextReplies.h"

using fuzz::Cuts;
using fuzz::ExactBytes;

namespace {

void CheckKey(const _KEYNUM_INFO& key) {
  FUZZ_CHECK(key.Length <= 15);
  for (size_t i = key.Length; i < sizeof key.Data; ++i) FUZZ_CHECK(key.Data[i] == 0);
}

// Text lines: taken out of the stream as the reader thread does, each tested and parsed as a key
// line of the model and firmware the header names.
void TextStream(const uint8_t* p, size_t n) {
  if (n < 4) return;
  const READER_MODEL model = p[0] % READER_MODEL_COUNT;
  const UINT firmware = UINT(p[1]) << 8 | 0xFF;
  const bool differentCodes = p[2] & 1;
  Cuts cuts(p[3]);
  p += 4;
  n -= 4;
  std::string rx;
  size_t pos = 0;
  while (pos < n) {
    const size_t cut = std::min(cuts.Next(), n - pos);
    rx.append(reinterpret_cast<const char*>(p + pos), cut);
    pos += cut;
    std::string line;
    while (true) {
      const size_t before = rx.size();
      if (!TakeTextLine(rx, &line)) break;
      FUZZ_CHECK(rx.size() < before);
      FUZZ_CHECK(line.find('\r') == std::string::npos);
      std::wstring text = fuzz::Widen(line);
      CutLineEnd(&text);
      if (IsNoCard(text)) continue;
      UINT type = 0;
      _KEYNUM_INFO key;
      std::memset(&key, 0xEE, sizeof key);
      if (LooksLikeKeyLine(text) && ParseKeyLine(text.c_str(), &type, &key, model, firmware, differentCodes)) {
        FUZZ_CHECK(type != 0 && type < KEY_TYPE_COUNT);
        CheckKey(key);
      }
    }
    if (IsOverlongTextLine(rx)) rx.clear();
    FUZZ_CHECK(rx.size() <= kMaxTextLine + 16);
  }
}

// The identification reply as it grows line by line.
void Identification(const uint8_t* p, size_t n) {
  std::wstring text;
  for (size_t i = 0; i < n; ++i) {
    text += wchar_t(p[i]);
    if (p[i] != '\n' && i + 1 != n) continue;
    UINT hwCode = 0, serial = 0, version = 0, incomplete = 0;
    const int understood = ParseReaderInfo(text.c_str(), &hwCode, &serial, &version, &incomplete);
    FUZZ_CHECK(understood == 0 || understood == 1);
    FUZZ_CHECK(incomplete <= 1);
    ModelFromHwCode(hwCode);
  }
}

// A frame checked where it stands: in a block of exactly its size, and encoded back when it passes.
void BinFrame(const uint8_t* p, size_t n) {
  const ExactBytes frame(p, n);
  UINT sequence = 0, command = 0;
  std::string data;
  if (CheckBinFrame(frame.data(), int(n), &sequence, &command, &data) != S_OK) return;
  const size_t total = frame.data()[2];
  FUZZ_CHECK(total <= n && data.size() + kBinOverhead == total);
  if (command == kBinUncheckedCommand) return;  // its sum is not checked, so not rebuilt either
  const std::string rebuilt =
      BuildBinFrame(BYTE(sequence), BYTE(command), reinterpret_cast<const BYTE*>(data.data()), int(data.size()));
  FUZZ_CHECK(rebuilt.size() == total && std::memcmp(rebuilt.data(), frame.data(), total) == 0);
}

// Binary replies out of a stream: noise, bad frames and other sequences are passed over.
void BinStream(const uint8_t* p, size_t n) {
  if (n < 2) return;
  const BYTE sequence = p[0];
  Cuts cuts(p[1]);
  p += 2;
  n -= 2;
  BinFrame(p, n);
  std::string rx;
  size_t pos = 0;
  while (pos < n) {
    const size_t cut = std::min(cuts.Next(), n - pos);
    rx.append(reinterpret_cast<const char*>(p + pos), cut);
    pos += cut;
    while (true) {
      const size_t before = rx.size();
      std::string data;
      const ReplyScan found = ScanBinReply(rx, sequence, &data);
      if (found == ReplyScan::kIncomplete) {
        FUZZ_CHECK(rx.size() <= before);
        break;
      }
      FUZZ_CHECK(rx.size() < before);
      if (found == ReplyScan::kTaken) FUZZ_CHECK(data.size() <= size_t(kBinMaxPayload));
    }
  }
}

// A model-9 frame up to its delimiter: decoded in a block of its size; one without stray escapes
// encodes back to the same bytes.
void FramedFrame(const uint8_t* p, size_t n) {
  const ExactBytes frame(p, n);
  UINT command = 0;
  std::string body;
  if (DecodeFramedReply(frame.data(), int(n), &command, &body) != S_OK) return;
  FUZZ_CHECK(command <= 0x100);
  std::string plain;
  UnstuffBytes(frame.data(), int(n) - 1, &plain);
  std::string canonical;
  StuffBytes(&canonical, reinterpret_cast<const BYTE*>(plain.data()), int(plain.size()));
  if (canonical.size() != n - 1 || std::memcmp(canonical.data(), frame.data(), n - 1) != 0) return;
  const std::string rebuilt =
      BuildFramedRequest(BYTE(plain[0]), reinterpret_cast<const BYTE*>(body.data()), int(body.size()));
  FUZZ_CHECK(rebuilt.size() == n && std::memcmp(rebuilt.data(), frame.data(), n - 1) == 0);
  FUZZ_CHECK(BYTE(rebuilt.back()) == kFrameEnd);
}

void FramedStream(const uint8_t* p, size_t n) {
  if (n < 2) return;
  const BYTE command = p[0];
  Cuts cuts(p[1]);
  p += 2;
  n -= 2;
  // Escaping is undone exactly: whatever the bytes, stuffed and unstuffed they come back.
  std::string stuffed, unstuffed;
  StuffBytes(&stuffed, p, int(n));
  UnstuffBytes(reinterpret_cast<const BYTE*>(stuffed.data()), int(stuffed.size()), &unstuffed);
  FUZZ_CHECK(unstuffed.size() == n && std::memcmp(unstuffed.data(), p, n) == 0);
  FUZZ_CHECK(stuffed.find(char(kFrameEnd)) == std::string::npos);

  // Unstuffing never reads past what it is given, whatever the last byte.
  const ExactBytes block(p, n);
  std::string decoded;
  UnstuffBytes(block.data(), int(n), &decoded);
  FUZZ_CHECK(decoded.size() <= n);

  std::string rx;
  size_t pos = 0;
  while (pos < n) {
    const size_t cut = std::min(cuts.Next(), n - pos);
    rx.append(reinterpret_cast<const char*>(p + pos), cut);
    pos += cut;
    while (true) {
      const size_t before = rx.size();
      const size_t end = rx.find(char(kFrameEnd));
      if (end != std::string::npos) FramedFrame(reinterpret_cast<const uint8_t*>(rx.data()), end + 1);
      std::string body;
      const ReplyScan found = ScanFramedReply(rx, command, &body);
      if (found == ReplyScan::kIncomplete) break;
      FUZZ_CHECK(rx.size() < before);
      if (found != ReplyScan::kTaken || body.empty()) continue;
      _KEYNUM_INFO emMarine, temic;
      const std::string keys = body.substr(1);
      ParseFramedKeys(BYTE(body[0]) == kFramedStatusOk, keys, &emMarine, &temic);
      CheckKey(emMarine);
      CheckKey(temic);
      // A code is only ever taken whole from the bytes that came.
      for (const _KEYNUM_INFO* key : {&emMarine, &temic}) {
        if (!key->Length) continue;
        const size_t at = key == &temic ? 1 : keys.size() >= 14 && BYTE(body[0]) == kFramedStatusOk ? 9 : 1;
        FUZZ_CHECK(at + key->Length <= keys.size());
        FUZZ_CHECK(std::memcmp(key->Data, keys.data() + at, key->Length) == 0);
      }
    }
  }
}

// A converter's first line and its decimal key answers for the address the header names.
void Converter(const uint8_t* p, size_t n) {
  if (n < 2) return;
  const int address = p[0] | p[1] << 8;
  p += 2;
  n -= 2;
  const std::string reply(reinterpret_cast<const char*>(p), n);
  IsConverterEcho(reply, address);
  std::wstring line = fuzz::Widen(reply);
  CutLineEnd(&line);
  _KEYNUM_INFO uid;
  std::memset(&uid, 0xEE, sizeof uid);
  switch (ParseDecimalAnswer(line, address, &uid)) {
    case DecimalAnswer::kKey:
      FUZZ_CHECK(uid.Length <= 5);
      CheckKey(uid);
      break;
    case DecimalAnswer::kNoCard:
      FUZZ_CHECK(uid.Length == 0);
      break;
    case DecimalAnswer::kNone:
      break;
  }
}

void UltralightPages(const uint8_t* p, size_t n) {
  BYTE data[16];
  ParseUltralightPages(std::string(reinterpret_cast<const char*>(p), n), data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* p = data + 1;
  const size_t n = size - 1;
  switch (data[0] % 7) {
    case 0: TextStream(p, n); break;
    case 1: Identification(p, n); break;
    case 2: BinStream(p, n); break;
    case 3: FramedStream(p, n); break;
    case 4: Converter(p, n); break;
    case 5: UltralightPages(p, n); break;
    case 6: BinFrame(p, n); break;
  }
  return 0;
}
