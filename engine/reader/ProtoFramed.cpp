// The framed protocol of model 9: the frame coding, the request and its reply, the key query, the
// indication and the poll that compares the reader's keys with the key list.
#include "ProtoFramed.h"

#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

// The two key types model 9 reports, as KeyTypes bits.
constexpr UINT kFramedEmMarineBit = 1u << KT_EM_MARINE;
constexpr UINT kFramedTemicBit = 1u << KT_TEMIC;

}  // namespace

bool CReader::ReadFramedReply(std::string* body, BYTE command, UINT timeout) {
  body->clear();
  return ReadFrameReply(timeout, [&] { return ScanFramedReply(RxBuffer, command, body); });
}

bool CReader::FramedRequest(BYTE command, const BYTE* payload, int length, bool* statusOk, std::string* data) {
  TxBuffer = BuildFramedRequest(command, payload, length);
  for (UINT attempt = 0; attempt < RequestTries; ++attempt) {
    WriteWire(Bytes(TxBuffer), UINT(TxBuffer.size()), RequestTimeout, true);
    ReplyBuffer.clear();
    if (!ReadFramedReply(&ReplyBuffer, command, RequestTimeout)) continue;
    if (ReplyBuffer.empty()) {
      SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
      continue;
    }
    *statusOk = BYTE(ReplyBuffer[0]) == kFramedStatusOk;
    if (data) data->assign(ReplyBuffer, 1, std::string::npos);
    SetLastError(0, nullptr);
    return true;
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::FramedQueryKeys(_KEYNUM_INFO* emMarine, _KEYNUM_INFO* temic) {
  static const BYTE kPayload[] = {0x0B, 0x64, 0x03};
  bool ok = false;
  std::string data;
  if (!FramedRequest(kFramedQueryKeys, kPayload, int(sizeof kPayload), &ok, &data)) return false;
  ParseFramedKeys(ok, data, emMarine, temic);
  return true;
}

bool CReader::FramedIndicate(BYTE a, BYTE b) {
  const BYTE payload[] = {a, b};
  bool ok = false;
  if (!FramedRequest(kFramedIndicate, payload, int(sizeof payload), &ok, nullptr)) return false;
  if (!ok) {
    SetLastError(VOMBRA_E_READER_ERROR, nullptr);
    return false;
  }
  return true;
}

void CReader::PollFramed(bool initial) {
  HoldStart = Ticks();
  _KEY_INFO found[2];
  int count = 0;
  const UINT keyTypes = g_pVombra ? g_pVombra->GetKeyTypes() : KEY_TYPES_ALL;
  if (keyTypes & (kFramedEmMarineBit | kFramedTemicBit)) {
    _KEYNUM_INFO emMarine, temic;
    if (!FramedQueryKeys(&emMarine, &temic)) return;
    if (emMarine.Length) {
      found[0].KeyType = KT_EM_MARINE;
      found[0].Uid = emMarine;
      if (keyTypes & kFramedEmMarineBit) count = 1;
    }
    if (temic.Length) {
      found[count].KeyType = KT_TEMIC;
      found[count].Uid = temic;
      if (keyTypes & kFramedTemicBit) ++count;
    }
  }

  bool empty;
  if (initial) {
    {
      CCriticalSectionLock lock(&Lock);
      Keys.clear();
    }
    // Through AddKey, so that the keys found at connect have their number texts too.
    for (int i = 0; i < count; ++i) AddKey(found[i], false);
    {
      CCriticalSectionLock lock(&Lock);
      empty = Keys.empty();
    }
  } else {
    bool wasEmpty;
    {
      CCriticalSectionLock lock(&Lock);
      wasEmpty = Keys.empty();
      for (_KEY_INFO& key : Keys) key.NotSeen = 1;
    }
    bool added = false;
    for (int i = 0; i < count && Running; ++i) {
      INT64 index;
      {
        CCriticalSectionLock lock(&Lock);
        index = FindKeyByUid(Keys, found[i].KeyType, found[i].Uid);
        if (index >= 0) Keys[size_t(index)].NotSeen = 0;
      }
      if (index < 0) {
        UpdateKeyList(found[i], true);
        added = true;
      }
    }
    RemoveKeys([](const _KEY_INFO& key) { return key.NotSeen != 0; }, true);
    {
      CCriticalSectionLock lock(&Lock);
      empty = Keys.empty();
    }
    // The indication follows the field: it changes only with a new key or an emptied field.
    if (!added && (wasEmpty || !empty)) return;
  }

  if (empty) {
    FramedIndicate(1, 0);
  } else if (FramedIndicate(0x0C, 5)) {
    FramedIndicate(2, 0);
  }
}

void CReader::FramedModePoll() {
  if (StatusFlags & RSF_PORT_EVENT) {
    // The reader sends nothing unasked: bytes that come on their own are stale.
    Port->Purge(true, false);
    StatusFlags &= ~RSF_PORT_EVENT;
  }
  if (KeyPollPeriod == INFINITE) return;
  if (TimerDue(NextWait, HoldStart, KeyPollPeriod, Ticks())) {
    PollFramed(false);
    ShortenWait(NextWait, KeyPollPeriod);
  }
}
