#include "FrameCodec.h"

#include <algorithm>

#include "Messages.h"

namespace {

const BYTE* Bytes(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

WORD Sum16(const BYTE* data, size_t n) {
  WORD sum = 0;
  for (size_t i = 0; i < n; ++i) sum = WORD(sum + data[i]);
  return sum;
}

// The lengths of the two codes in a model-9 key-query reply.
constexpr size_t kFramedTemicLength = 8;
constexpr size_t kFramedEmMarineLength = 5;
// In a reply that is not ok, this bit of the first data byte says an Em-Marine code follows.
constexpr BYTE kFramedEmMarineOnly = 0x20;

}  // namespace

std::string BuildBinFrame(BYTE sequence, BYTE command, const BYTE* payload, int length) {
  length = std::max(0, std::min(length, kBinMaxPayload));
  std::string frame;
  frame.reserve(size_t(length) + kBinOverhead);
  frame += char(kBinStx);
  frame += char(sequence);
  frame += char(length + kBinOverhead);
  frame += char(command);
  if (length) frame.append(reinterpret_cast<const char*>(payload), size_t(length));
  const WORD sum = Sum16(Bytes(frame), frame.size());
  frame += char(sum & 0xFF);
  frame += char(sum >> 8);
  return frame;
}

HRESULT CheckBinFrame(const BYTE* buffer, int count, UINT* sequence, UINT* command, std::string* data) {
  if (count < kBinOverhead || buffer[0] != kBinStx) return VOMBRA_E_BAD_RESPONSE;
  const int total = buffer[2];
  // A length below the header and sum would point the sum inside the header, or before the buffer.
  if (total < kBinOverhead || total > count) return VOMBRA_E_BAD_RESPONSE;
  *sequence = buffer[1];
  *command = buffer[3];
  if (buffer[3] != kBinUncheckedCommand) {
    const WORD expected = WORD(buffer[total - 2] | (buffer[total - 1] << 8));
    if (Sum16(buffer, size_t(total - 2)) != expected) return VOMBRA_E_BAD_RESPONSE;
  }
  data->assign(reinterpret_cast<const char*>(buffer) + 4, size_t(total - kBinOverhead));
  return S_OK;
}

ReplyScan ScanBinReply(std::string& rx, BYTE sequence, std::string* data) {
  const size_t stx = rx.find(char(kBinStx));
  if (stx == std::string::npos) {
    rx.clear();
  } else if (stx) {
    rx.erase(0, stx);
  }
  if (rx.size() < size_t(kBinOverhead) || rx.size() < size_t(BYTE(rx[2]))) return ReplyScan::kIncomplete;
  UINT gotSequence = 0, command = 0;
  std::string payload;
  if (CheckBinFrame(Bytes(rx), int(rx.size()), &gotSequence, &command, &payload) < 0) {
    // The 0x02 may have been noise inside a frame: look for the next one rather than trust a
    // length that a bad frame gave.
    rx.erase(0, 1);
    return ReplyScan::kDropped;
  }
  rx.erase(0, BYTE(rx[2]));
  if (gotSequence != sequence) return ReplyScan::kDropped;
  *data = std::move(payload);
  return ReplyScan::kTaken;
}

void StuffBytes(std::string* out, const BYTE* data, int count) {
  for (int i = 0; i < count; ++i) {
    if (data[i] == kFrameEnd) {
      out->push_back(char(kFrameEscape));
      out->push_back(char(kFrameEscapedEnd));
    } else if (data[i] == kFrameEscape) {
      out->push_back(char(kFrameEscape));
      out->push_back(char(kFrameEscapedEscape));
    } else {
      out->push_back(char(data[i]));
    }
  }
}

void UnstuffBytes(const BYTE* data, int count, std::string* out) {
  for (int i = 0; i < count; ++i) {
    if (data[i] != kFrameEscape) {
      out->push_back(char(data[i]));
      continue;
    }
    if (i + 1 >= count) break;
    const BYTE next = data[++i];
    if (next == kFrameEscapedEnd) {
      out->push_back(char(kFrameEnd));
    } else if (next == kFrameEscapedEscape) {
      out->push_back(char(kFrameEscape));
    }
  }
}

std::string BuildFramedRequest(BYTE command, const BYTE* payload, int length) {
  std::string plain(1, char(command));
  if (length > 0) plain.append(reinterpret_cast<const char*>(payload), size_t(length));
  BYTE sum = 0;
  for (char c : plain) sum = BYTE(sum + BYTE(c));
  plain.push_back(char(BYTE(0x100 - sum)));
  std::string frame;
  StuffBytes(&frame, Bytes(plain), int(plain.size()));
  frame.push_back(char(kFrameEnd));
  return frame;
}

HRESULT DecodeFramedReply(const BYTE* frame, int count, UINT* command, std::string* body) {
  body->clear();
  if (count < 3) return VOMBRA_E_BAD_RESPONSE;
  // The check covers the values, not their escaped form, as on the request side: a check byte that
  // needs escaping could not sum to 0 otherwise.
  std::string plain;
  UnstuffBytes(frame, count - 1, &plain);
  if (plain.size() < 2) return VOMBRA_E_BAD_RESPONSE;
  BYTE sum = 0;
  for (char c : plain) sum = BYTE(sum + BYTE(c));
  if (sum != 0) return VOMBRA_E_BAD_RESPONSE;
  // A frame that begins with an escape sequence carries a command no request uses.
  *command = frame[0] == kFrameEscape ? UINT(0x100) : UINT(BYTE(plain[0]));
  body->assign(plain, 1, plain.size() - 2);
  return S_OK;
}

ReplyScan ScanFramedReply(std::string& rx, BYTE command, std::string* body) {
  const size_t end = rx.find(char(kFrameEnd));
  if (end == std::string::npos) return ReplyScan::kIncomplete;
  UINT got = 0;
  std::string decoded;
  const HRESULT hr = DecodeFramedReply(Bytes(rx), int(end + 1), &got, &decoded);
  rx.erase(0, end + 1);
  // A bad frame, or the reply to another command, goes up to its delimiter.
  if (hr < 0 || got != command) return ReplyScan::kDropped;
  *body = std::move(decoded);
  return ReplyScan::kTaken;
}

void ParseFramedKeys(bool statusOk, const std::string& data, _KEYNUM_INFO* emMarine, _KEYNUM_INFO* temic) {
  *emMarine = {};
  *temic = {};
  const BYTE* d = Bytes(data);
  if (statusOk) {
    if (data.size() >= 1 + kFramedTemicLength) MakeKeyNum(d + 1, int(kFramedTemicLength), *temic);
    if (data.size() >= 1 + kFramedTemicLength + kFramedEmMarineLength) {
      MakeKeyNum(d + 1 + kFramedTemicLength, int(kFramedEmMarineLength), *emMarine);
    }
  } else if (data.size() >= 1 + kFramedEmMarineLength && (d[0] & kFramedEmMarineOnly)) {
    MakeKeyNum(d + 1, int(kFramedEmMarineLength), *emMarine);
  }
}
