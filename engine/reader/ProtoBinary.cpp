// The binary frame protocol: the frame and its check, the request/reply exchange with its attempts
// and the wake-up after a speed change, and the typed commands of readers in binary mode.
#include "ProtoBinary.h"

#include <algorithm>
#include <cstring>

#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"

using namespace reader_support;

namespace {

void PutWord(std::string& s, UINT value) {
  s += char(value & 0xFF);
  s += char((value >> 8) & 0xFF);
}

void PutDword(std::string& s, UINT value) {
  PutWord(s, value & 0xFFFF);
  PutWord(s, value >> 16);
}

}  // namespace

bool CReader::ReadBinReply(std::string* data, UINT timeout) {
  data->clear();
  return ReadFrameReply(timeout, [&] { return ScanBinReply(RxBuffer, Sequence, data); });
}

bool CReader::BinRequest(BYTE command, const BYTE* payload, int length, int* status, std::string* replyData) {
  LastRequestTime = Ticks();
  ++Sequence;
  TxBuffer = BuildBinFrame(Sequence, command, payload, length);
  const BYTE* frame = Bytes(TxBuffer);
  const UINT size = UINT(TxBuffer.size());
  // Bytes still held from before this request are no reply to it. A garbage STX with a length byte
  // no reply reaches, or half a reply cut short, would stay at the head of the buffer and make every
  // later reply look incomplete until enough replies had piled up behind it.
  RxBuffer.clear();
  if (StatusFlags & RSF_WAKEUP) {
    // After a speed change the reader's UART may swallow the first bytes: send copies until it
    // answers anything; an answer to a copy carries this sequence number and serves as the reply.
    StatusFlags &= ~RSF_WAKEUP;
    for (int i = 0; i < 3; ++i) {
      WriteWire(frame, size, RequestTimeout, true);
      ReplyBuffer.clear();
      ReadWire(100, 30, true);
      if (!RxBuffer.empty()) break;
    }
    Sleep(50);
    ReplyBuffer.clear();
    ReadWire(100, 0, true);
  }
  for (int attempt = 0; attempt < int(RequestTries); ++attempt) {
    WriteWire(frame, size, RequestTimeout, true);
    ReplyBuffer.clear();
    if (!ReadBinReply(&ReplyBuffer, RequestTimeout)) {
      // What the attempt left unfinished would shadow the next attempt's reply in the same way.
      RxBuffer.clear();
      continue;
    }
    if (ReplyBuffer.empty()) {
      SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
      continue;
    }
    *status = int(static_cast<signed char>(ReplyBuffer[0]));
    if (replyData) replyData->assign(ReplyBuffer, 1, std::string::npos);
    SetLastError(0, nullptr);
    return true;
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

namespace {

// The common ending of a typed command whose only good status is ok.
bool OkOnly(CReader* reader, int status) {
  if (status == kBinStatusOk) return true;
  reader->SetLastError(VOMBRA_E_READER_ERROR, nullptr);
  return false;
}

}  // namespace

bool CReader::BinSetMode(bool text, int speed) {
  const BYTE payload[2] = {BYTE(text ? 0 : 1), BYTE(speed < 0 ? 0x80 : speed)};
  int status = 0;
  if (!BinRequest(kBinSetMode, payload, 2, &status, nullptr)) return false;
  if (!OkOnly(this, status)) return false;
  if (speed < 0) return true;
  if (speed >= int(sizeof(kBinSpeeds) / sizeof(kBinSpeeds[0]))) {
    SetLastError(E_INVALIDARG, nullptr);
    return false;
  }
  UINT baud = 0;
  BYTE stopBits = 0, eventChar = 0;
  HRESULT hr = Port->GetConfig(&baud, &stopBits, &eventChar);
  if (SUCCEEDED(hr)) {
    if (baud != kBinSpeeds[speed]) StatusFlags |= RSF_WAKEUP;
    hr = Port->SetConfig(kBinSpeeds[speed], stopBits, eventChar);
  }
  if (FAILED(hr)) {
    // The reader already runs at the new speed: the link is lost until the next connect. The
    // port's own code goes with the exception; the exchange itself had succeeded.
    SetLastError(hr, nullptr);
    ThrowPortException(hr, Port->GetName());
  }
  return true;
}

bool CReader::BinSearchStart() {
  static const BYTE payload[3] = {0x00, 0x0A, 0x00};
  int status = 0;
  return BinRequest(kBinSearchStart, payload, 3, &status, nullptr) && OkOnly(this, status);
}

bool CReader::BinSearchEnd() {
  static const BYTE payload[1] = {0x00};
  int status = 0;
  return BinRequest(kBinSearchEnd, payload, 1, &status, nullptr) && OkOnly(this, status);
}

bool CReader::BinSignal(BYTE code, BYTE value, BYTE* out) {
  const BYTE payload[2] = {code, value};
  int status = 0;
  std::string data;
  if (!BinRequest(kBinSignal, payload, 2, &status, &data) || !OkOnly(this, status)) return false;
  if (data.empty()) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  if (out) *out = BYTE(data[0]);
  return true;
}

bool CReader::BinSelectCard(bool wake, BYTE* sak, WORD* atqa, _KEYNUM_INFO* uid) {
  StatusFlags &= ~RSF_CARD_ACTIVE;
  const BYTE payload[1] = {BYTE(wake ? 0x80 : 0x00)};
  int status = 0;
  std::string data;
  if (!BinRequest(kBinSelectCard, payload, 1, &status, &data)) return false;
  if (status == kBinStatusNoCard) {
    *sak = 0;
    *atqa = 0;
    uid->Length = 0;
    return true;
  }
  if (!OkOnly(this, status)) return false;
  // Three bytes name a card without its UID; without a UID the card cannot be told from the next.
  if (data.size() < 4) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  const BYTE* d = Bytes(data);
  *atqa = WORD(d[0] | (d[1] << 8));
  *sak = d[2];
  MakeKeyNum(d + 3, int(std::min<size_t>(data.size() - 3, 15)), *uid);
  return true;
}

bool CReader::BinSelectUid(const _KEYNUM_INFO* uid) {
  StatusFlags &= ~RSF_CARD_ACTIVE;
  BYTE payload[16];
  payload[0] = 0x81;
  const int n = std::min<int>(uid->Length, 15);
  memcpy(payload + 1, uid->Data, size_t(n));
  int status = 0;
  if (!BinRequest(kBinSelectUid, payload, n + 1, &status, nullptr)) return false;
  if (status == kBinStatusNoCard) {
    SetLastError(VOMBRA_E_NO_KEY, nullptr);
    return false;
  }
  return OkOnly(this, status);
}

bool CReader::BinActivate(std::string* ats) {
  StatusFlags |= RSF_CARD_ACTIVE;
  static const BYTE payload[1] = {0x00};
  int status = 0;
  std::string data;
  if (!BinRequest(kBinActivate, payload, 1, &status, &data)) return false;
  if (status == kBinStatusNotSupported) {
    StatusFlags |= RSF_ACTIVATION_UNSUPPORTED;
    SetLastError(VOMBRA_E_READER_ERROR, nullptr);
    return false;
  }
  if (!OkOnly(this, status)) return false;
  if (ats) *ats = std::move(data);
  return true;
}

bool CReader::BinNextCard() {
  int status = 0;
  if (!BinRequest(kBinNextCard, nullptr, 0, &status, nullptr)) return false;
  // Model 4 answers "no card" when the last card of the pass has been passed over.
  if (status == kBinStatusNoCard && Model == RM_ORVEL_3B) return true;
  return OkOnly(this, status);
}

namespace {

bool AuthStatus(CReader* reader, int status, bool plus) {
  switch (status) {
    case kBinStatusOk:
      return true;
    case kBinStatusAuthNoCard:
      reader->SetLastError(VOMBRA_E_NO_KEY, nullptr);
      return false;
    case kBinStatusAuthFailed:
      reader->SetLastError(VOMBRA_E_KEY_AUTH, nullptr);
      return false;
    case kBinStatusPlusBlock:
      if (plus) {
        reader->SetLastError(VOMBRA_E_MIFARE_BLOCK, nullptr);
        return false;
      }
      break;
  }
  reader->SetLastError(VOMBRA_E_READER_ERROR, nullptr);
  return false;
}

}  // namespace

bool CReader::BinAuthClassic(BYTE block, BYTE keyB, const _AUTHKEY_INFO* key) {
  BYTE payload[8] = {BYTE(keyB + 2), block};
  memcpy(payload + 2, key->Data, 6);
  int status = 0;
  return BinRequest(kBinAuthClassic, payload, 8, &status, nullptr) && AuthStatus(this, status, false);
}

bool CReader::BinAuthClassicStored(BYTE block, BYTE keyB, UINT mask, int* keyIndex) {
  std::string payload;
  payload += char(keyB);
  payload += char(block);
  PutDword(payload, mask);
  PutWord(payload, 0);
  int status = 0;
  std::string data;
  if (!BinRequest(kBinAuthClassic, Bytes(payload), int(payload.size()), &status, &data)) return false;
  if (!AuthStatus(this, status, false)) return false;
  if (data.empty()) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  *keyIndex = int(static_cast<signed char>(data[0])) - 1;
  return true;
}

bool CReader::BinAuthPlus(WORD keyAddress, const _AUTHKEY_INFO* key) {
  std::string payload;
  payload += char(0x02);
  PutWord(payload, keyAddress);
  payload.append(reinterpret_cast<const char*>(key->Data), 16);
  int status = 0;
  return BinRequest(kBinAuthPlus, Bytes(payload), int(payload.size()), &status, nullptr) &&
         AuthStatus(this, status, true);
}

bool CReader::BinAuthPlusStored(WORD keyAddress, UINT mask, int* keyIndex) {
  std::string payload;
  payload += char(0x00);
  PutWord(payload, keyAddress);
  PutDword(payload, mask);
  PutWord(payload, 0);
  int status = 0;
  std::string data;
  if (!BinRequest(kBinAuthPlus, Bytes(payload), int(payload.size()), &status, &data)) return false;
  if (!AuthStatus(this, status, false)) return false;
  if (data.empty()) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  const BYTE* d = Bytes(data);
  *keyIndex = data.size() == 1 ? int(static_cast<signed char>(d[0])) - 1 : int(d[0] | (d[1] << 8)) - 1;
  return true;
}

namespace {

bool BlockReply(CReader* reader, int status, const std::string& data, BYTE out[16]) {
  if (status == kBinStatusCardGone) {
    reader->SetLastError(VOMBRA_E_NO_KEY, nullptr);
    return false;
  }
  if (!OkOnly(reader, status)) return false;
  if (data.size() < 16) {
    reader->SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  memcpy(out, data.data(), 16);
  return true;
}

}  // namespace

bool CReader::BinReadBlock(BYTE block, BYTE out[16]) {
  const BYTE payload[1] = {block};
  int status = 0;
  std::string data;
  return BinRequest(kBinReadBlock, payload, 1, &status, &data) && BlockReply(this, status, data, out);
}

bool CReader::BinReadPlusBlock(BYTE block, BYTE out[16], BYTE mode) {
  const BYTE payload[4] = {mode, block, 0x00, 0x01};
  int status = 0;
  std::string data;
  return BinRequest(kBinReadPlusBlock, payload, 4, &status, &data) && BlockReply(this, status, data, out);
}

bool CReader::BinCardCommand(const BYTE* probe, int length) {
  int status = 0;
  std::string data;
  if (!BinRequest(kBinCardCommand, probe, length, &status, &data)) return false;
  if (status == kBinStatusOk && data.size() >= 2 && BYTE(data[data.size() - 2]) == 0x00 &&
      BYTE(data[data.size() - 1]) == 0x90) {
    return true;
  }
  SetLastError(VOMBRA_E_READER_ERROR, nullptr);
  return false;
}

bool CReader::QueryAts(std::string* ats, std::string* historical) {
  ats->clear();
  historical->clear();
  SetLastError(0, nullptr);
  if (!(StatusFlags & RSF_ACTIVATION_UNSUPPORTED) && BinActivate(ats) && ats->size() >= 2) {
    const BYTE t0 = BYTE((*ats)[1]);
    const size_t offset = 2 + ((t0 & 0x10) ? 1 : 0) + ((t0 & 0x20) ? 1 : 0) + ((t0 & 0x40) ? 1 : 0);
    if (offset < ats->size()) historical->assign(*ats, offset, std::string::npos);
  }
  return SUCCEEDED(LastError);
}
