// PC/SC card access: result and status-word checks, the APDUs, card connect and disconnect, the
// watcher's events and the card-present processing, and the PC/SC branches of the card commands.
#include <algorithm>

#include "CardGeometry.h"
#include "CcidWatcher.h"
#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "ResourceIds.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

// Card event bits of the slot callback.
constexpr UINT kCardAbsent = 0x1;
constexpr UINT kCardPresent = 0x2;
constexpr UINT kReaderGone = 0x4;

// Hold kinds (DelayKeyTypes bits) of the cards a PC/SC reader holds.
constexpr UINT kHoldClassic = 0x1;
constexpr UINT kHoldUltralight = 0x4;

// A cancelled card connection is tried again after at most this long.
constexpr UINT kCancelledRetry = 250;

// Reply buffers of the APDUs.
constexpr UINT kUidReply = 24;
constexpr UINT kReadReply = 32;
constexpr UINT kUpdateReply = 8;
constexpr UINT kShortReply = 4;
// Data bytes a read binary asks for (its Le).
constexpr UINT kReadLength = 16;
constexpr UINT kMaxUpdateData = 27;

CCcidConnection* Watcher() { return g_pVombra ? g_pVombra->GetWatcher() : nullptr; }

// One APDU over the connected card: the SCard result and the status word decide. On success
// *replyLength is the number of reply bytes with the status word.
bool Exchange(CReader* reader, const BYTE* command, UINT length, BYTE* reply, UINT* replyLength) {
  DWORD received = *replyLength;
  const LONG result = SCardTransmit(reader->Card, reader->Pci, command, length, nullptr, reply, &received);
  const bool ok = reader->CheckSCard(result) && reader->CheckSW(reply, received);
  *replyLength = ok ? UINT(received) : 0;
  if (LogLevel() < 5) return ok;
  if (ok) {
    reader->Log(0, IDS_LOG_SENT, TrafficText(command, length, true).c_str());
    reader->Log(0, IDS_LOG_RECEIVED, TrafficText(reply, received, true).c_str());
    return ok;
  }
  HRESULT code;
  std::wstring text;
  {
    CCriticalSectionLock lock(&reader->Lock);
    code = reader->LastError;
    text = reader->LastErrorText;
  }
  if (text.empty()) {
    FormatMessageText(text, g_hResInstance, DWORD(code));
    reader->SetLastError(code, text.c_str());
  }
  std::wstring escaped;
  EscapeLogTextW(escaped, text.c_str(), -1);
  reader->Log(2, IDS_LOG_PORT_ERROR, UINT(code), escaped.c_str());
  return ok;
}

}  // namespace

bool CReader::CheckSCard(LONG result) {
  LastSCardResult = result;
  if (result == SCARD_S_SUCCESS) return true;
  std::wstring text;
  StrFormat(text, L"0x%08X", UINT(result));
  SetLastError(E_FAIL, text.c_str());
  return false;
}

bool CReader::CheckSW(const BYTE* response, UINT length) {
  if (length < 2) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  const BYTE sw1 = response[length - 2];
  const BYTE sw2 = response[length - 1];
  if (sw1 == 0x90 && sw2 == 0x00) return true;
  std::wstring text;
  StrFormat(text, L"0x%04X", UINT(sw2) << 8 | sw1);
  SetLastError(E_FAIL, text.c_str());
  return false;
}

bool CReader::CcidGetUid(_KEYNUM_INFO* uid) {
  static const BYTE kGetUid[] = {0xFF, 0xCA, 0x00, 0x00, 0x00};
  BYTE reply[kUidReply];
  UINT length = sizeof reply;
  if (!Exchange(this, kGetUid, sizeof kGetUid, reply, &length)) return false;
  MakeKeyNum(reply, int(length - 2), *uid);
  return true;
}

bool CReader::CcidReadBinary(BYTE block, BYTE* buffer, UINT* length) {
  const BYTE command[] = {0xFF, 0xB0, 0x00, block, BYTE(kReadLength)};
  UINT received = *length;
  if (!Exchange(this, command, sizeof command, buffer, &received)) return false;
  // A reader that returns fewer bytes than asked for would leave stale buffer bytes in the caller's
  // data; such a reply is no answer to the read.
  if (received - 2 < kReadLength) {
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
    return false;
  }
  *length = received - 2;
  return true;
}

bool CReader::CcidUpdateBinary(BYTE block, const BYTE* data, BYTE length) {
  length = std::min<BYTE>(length, BYTE(kMaxUpdateData));
  BYTE command[5 + kMaxUpdateData] = {0xFF, 0xD6, 0x00, block, length};
  if (length) memcpy(command + 5, data, length);
  BYTE reply[kUpdateReply];
  UINT received = sizeof reply;
  return Exchange(this, command, 5u + length, reply, &received);
}

bool CReader::CcidAuthenticate(BYTE block, bool keyB) {
  const BYTE command[] = {0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, block, BYTE(keyB ? 0x61 : 0x60), 0x00};
  BYTE reply[kShortReply];
  UINT received = sizeof reply;
  return Exchange(this, command, sizeof command, reply, &received);
}

bool CReader::CcidLoadKey(const _AUTHKEY_INFO* key) {
  BYTE command[11] = {0xFF, 0x82, 0x00, 0x00, 0x06};
  memcpy(command + 5, key->Data, 6);
  BYTE reply[kShortReply];
  UINT received = sizeof reply;
  return Exchange(this, command, sizeof command, reply, &received);
}

bool CReader::ConnectCard() {
  if (!Card) {
    std::wstring reader;
    {
      CCriticalSectionLock lock(&Lock);
      reader = PortName;
    }
    CCcidConnection* watcher = Watcher();
    const SCARDCONTEXT context = watcher ? watcher->Context.load() : 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (!CheckSCard(SCardConnectW(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                  &card, &protocol)))
      return false;
    Card = card;
    Pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  }
  wchar_t names[200];
  DWORD nameChars = 200;
  DWORD state = 0;
  DWORD protocol = 0;
  BYTE atr[48];
  DWORD atrLength = sizeof atr;
  if (!CheckSCard(SCardStatusW(Card, names, &nameChars, &state, &protocol, atr, &atrLength))) return false;
  _ATR_INFO parsed;
  if (ParseAtr(parsed, atr, atrLength)) {
    UINT subCode = 0;
    HeldKeyType = KeyTypeFromAtr(parsed, &subCode);
    HeldCardFlags = subCode;
  }
  if (!CcidGetUid(&HeldUid)) return false;
  SetLastError(0, nullptr);
  return true;
}

void CReader::DisconnectCard() {
  if (!Card) return;
  SCardDisconnect(Card, SCARD_RESET_CARD);
  Card = 0;
  Pci = SCARD_PCI_T1;
  // The flags go with the type and the UID, so the next card never inherits them.
  HeldKeyType = 0;
  HeldUid = {};
  HeldCardFlags = 0;
}

void CReader::OnCcidEvent(void* context, CCcidConnection*, int event) {
  CReader* reader = static_cast<CReader*>(context);
  const UINT bit = event == CCID_NO_CARD ? kCardAbsent : event == CCID_CARD_PRESENT ? kCardPresent : kReaderGone;
  {
    CCriticalSectionLock lock(&reader->Lock);
    reader->CardEvent |= bit;
  }
  SetEvent(reader->WakeEvent);
}

void CReader::OnCardEvents() {
  UINT bits;
  {
    CCriticalSectionLock lock(&Lock);
    bits = CardEvent.exchange(0);
  }
  CCcidConnection* watcher = Watcher();
  const bool announced = watcher && WatcherSlot && watcher->IsSlotAnnounced(WatcherSlot);
  if (!announced) {
    // The reader is gone (or has not been seen yet): its card and keys with it.
    DisconnectCard();
    StatusFlags &= ~RSF_HOLD;
    UpdateKeyList(_KEY_INFO{}, true);
    // Only a reader that was connected is reported disconnected; one still connecting stays so, and the
    // watcher reports it when it comes back.
    if (State == RS_CONNECTED) {
      {
        CCriticalSectionLock lock(&Lock);
        State = RS_DISCONNECTED;
      }
      ReportDisconnected();
    }
    return;
  }
  if (State != RS_CONNECTED) {
    {
      CCriticalSectionLock lock(&Lock);
      State = RS_CONNECTED;
    }
    ReportConnected(Model, SerialNumber, Version);
  }
  if (bits & kCardAbsent) {
    DisconnectCard();
    StatusFlags &= ~RSF_HOLD;
    UpdateKeyList(_KEY_INFO{}, true);
  }
  if (bits & kCardPresent) OnCardPresent();
}

bool CReader::OnCardPresent() {
  SetLastError(0, nullptr);
  if (ConnectCard()) {
    _KEY_INFO key;
    key.KeyType = HeldKeyType;
    key.Uid = HeldUid;
    key.CardFlags = HeldCardFlags;
    key.NumberStatus = 1;
    UINT kind = 0;
    if (IsClassicKind(HeldKeyType, HeldCardFlags)) {
      kind = kHoldClassic;
      if (g_pVombra && g_pVombra->GetMifareC().Enabled) ReadClassicNumberCcid(&key);
    } else if (HeldKeyType == KT_MIFARE_UL) {
      kind = kHoldUltralight;
      const _ULREAD_INFO ul = g_pVombra ? g_pVombra->GetMifareUL() : _ULREAD_INFO{};
      if (ul.Enabled) {
        if (ul.Page > 15 || ul.Count < 1) {
          key.NumberStatus = E_INVALIDARG;
        } else {
          BYTE data[kReadReply];
          UINT length = sizeof data;
          if (CcidReadBinary(BYTE(ul.Page), data, &length)) {
            const UINT n = std::min<UINT>(std::min<UINT>(4 * std::min<UINT>(ul.Count, 4), length), 15);
            MakeKeyNum(data, int(n), key.Number);
            key.NumberStatus = 0;
          } else {
            key.NumberStatus = LastError;
          }
        }
      }
    }
    UpdateKeyList(key, true);
    const UINT delay = g_pVombra ? g_pVombra->GetIdentKeyDelay() : 0;
    const UINT holdMask = g_pVombra ? g_pVombra->GetDelayKeyTypes() : 0;
    if (delay != 0 && (holdMask & kind)) {
      if (delay != INFINITE) ShortenWait(NextWait, delay);
      HoldStart = Ticks();
      StatusFlags |= RSF_HOLD;
    }
    if (!(StatusFlags & RSF_HOLD)) DisconnectCard();
  }
  if (LastSCardResult == SCARD_E_CANCELLED) {
    {
      CCriticalSectionLock lock(&Lock);
      CardEvent |= kCardPresent;
    }
    ShortenWait(NextWait, kCancelledRetry);
    return false;
  }
  return LastError >= 0;
}

bool CReader::ReadClassicNumberCcid(_KEY_INFO* key) {
  const _MIFAREREAD_INFO settings = g_pVombra ? g_pVombra->GetMifareC() : _MIFAREREAD_INFO{};
  const MifareGeometry geometry = CommandGeometry(key->KeyType);
  if (settings.Sect >= UINT(geometry.Sectors)) {
    key->NumberStatus = E_INVALIDARG;
    return false;
  }
  const int sector = int(settings.Sect);
  const int block = sector < 32 ? sector * 4 + int(settings.Block % 4) : (sector - 24) * 16 + int(settings.Block % 16);
  if (block >= geometry.Blocks) {
    key->NumberStatus = E_INVALIDARG;
    return false;
  }
  BYTE data[kReadReply];
  UINT length = sizeof data;
  if (!CcidLoadKey(&settings.AuthKey) || !CcidAuthenticate(BYTE(block), (settings.Flags & 1) != 0) ||
      !CcidReadBinary(BYTE(block), data, &length)) {
    key->NumberStatus = LastError;
    return false;
  }
  MakeKeyNum(data, int(std::min<UINT>(length, 15)), key->Number);
  key->NumberStatus = 0;
  return true;
}

bool CReader::RegisterCcidReader(const wchar_t* port, std::wstring* info) {
  ReleaseCcidSlot();
  // Forgotten until the registration succeeds: a reader that cannot register is retried by time like
  // any reader that failed to connect.
  Model = RM_UNKNOWN;
  CCcidConnection* watcher = Watcher();
  HRESULT hr = E_FAIL;
  size_t slot = 0;
  if (watcher) hr = watcher->AddReader(port, _CCIDCALLBACK_INFO{this, &CReader::OnCcidEvent}, &slot);
  WatcherSlot = SUCCEEDED(hr) ? slot : 0;
  SetLastError(hr, nullptr);
  if (FAILED(hr)) return false;
  Model = RM_KD6_G;
  SerialNumber = 0xFFFFFFFF;
  Version = 0;
  {
    CCriticalSectionLock lock(&Lock);
    InfoText.clear();
  }
  if (info) info->clear();
  return true;
}

void CReader::ReleaseCcidSlot() {
  if (!WatcherSlot) return;
  DisconnectCard();
  HeldKeyType = 0;
  HeldUid = {};
  HeldCardFlags = 0;
  if (CCcidConnection* watcher = Watcher()) watcher->RemoveReader(WatcherSlot);
  WatcherSlot = 0;
  // Events of the slot given back are stale: a new slot reports the reader's state afresh.
  CCriticalSectionLock lock(&Lock);
  CardEvent = 0;
}

bool CReader::IsCcidSlotAnnounced() {
  CCcidConnection* watcher = Watcher();
  return watcher && WatcherSlot && watcher->IsSlotAnnounced(WatcherSlot);
}

void CReader::CcidModePoll() {
  if (State == RS_DISCONNECTED) Connect();
  if (CardEvent) OnCardEvents();
  if ((StatusFlags & RSF_HOLD) && g_pVombra) {
    const UINT delay = g_pVombra->GetIdentKeyDelay();
    if (delay != INFINITE && TimerDue(NextWait, HoldStart, delay, Ticks())) {
      DisconnectCard();
      StatusFlags &= ~RSF_HOLD;
    }
  }
}

// ---- Card commands over PC/SC ----

namespace {

// The end of every PC/SC command: the hold, or the card let go, then the completion.
bool FinishCcidCommand(CReader* reader, _CMD_INFO* record) {
  if (!reader->HoldAfterCommand()) reader->DisconnectCard();
  HRESULT code;
  {
    CCriticalSectionLock lock(&reader->Lock);
    code = reader->LastError;
  }
  return reader->CompleteCommand(record, code);
}

// A command broken or replaced meanwhile is not completed; its card is let go unless a hold runs.
bool AbandonCcidCommand(CReader* reader) {
  if (!(reader->StatusFlags & RSF_HOLD)) reader->DisconnectCard();
  return false;
}

// The held card of a command: connected when needed and of the kind the command works with.
bool CommandCard(CReader* reader, bool (*kind)(UINT keyType, UINT flags)) {
  if (!reader->Card && !reader->ConnectCard()) return false;
  if (!kind(reader->HeldKeyType, reader->HeldCardFlags)) {
    reader->SetLastError(VOMBRA_E_NO_KEY, nullptr);
    return false;
  }
  return true;
}

bool IsUltralight(UINT keyType, UINT) { return keyType == KT_MIFARE_UL; }

// Mifare Classic blocks from (Sector, Block) on: read into Data, or written from it.
bool ClassicBlocksCcid(CReader* reader, _CMD_MC_INFO* record, bool write) {
  if (!write) record->Data.clear();
  if (!CommandCard(reader, IsClassicKind)) return FinishCcidCommand(reader, record);
  const MifareGeometry geometry = CommandGeometry(reader->HeldKeyType);
  int sector = record->Sector;
  int block = record->Block;
  if (sector < 0 || sector >= geometry.Sectors || block < 0 || block > SectorLastBlock(sector) ||
      AbsoluteBlock(sector, block) >= geometry.Blocks) {
    reader->SetLastError(E_INVALIDARG, nullptr);
    return FinishCcidCommand(reader, record);
  }
  int absolute = AbsoluteBlock(sector, block);
  reader->SetLastError(0, nullptr);
  if (!reader->CcidLoadKey(&record->Key)) return FinishCcidCommand(reader, record);
  const bool keyB = (record->Flags & MCF_KEY_B) != 0;
  int left = record->Count;
  int authenticated = -1;
  size_t position = 0;
  while (left >= 1) {
    if (!reader->IsCommandCurrent(record)) return AbandonCcidCommand(reader);
    if (sector != authenticated) {
      if (!reader->CcidAuthenticate(BYTE(absolute), keyB)) break;
      authenticated = sector;
    }
    if (!(record->SkipTrailers && block == SectorLastBlock(sector))) {
      if (write) {
        // Nothing left to write: an update without data is no block write.
        if (position >= record->Data.size()) break;
        const size_t chunk = std::min<size_t>(16, record->Data.size() - position);
        if (!reader->CcidUpdateBinary(BYTE(absolute), record->Data.data() + position, BYTE(chunk))) break;
        position += chunk;
      } else {
        BYTE data[kReadReply];
        UINT length = sizeof data;
        if (!reader->CcidReadBinary(BYTE(absolute), data, &length)) break;
        record->Data.insert(record->Data.end(), data, data + 16);
      }
      --left;
      ++record->Done;
    }
    NextBlock(geometry, sector, block, absolute);
  }
  return FinishCcidCommand(reader, record);
}

}  // namespace

bool CReader::ReadMifareULCcid(_CMD_MUL_INFO* record) {
  record->Data.clear();
  if (CommandCard(this, IsUltralight)) {
    UINT page = record->Page;
    int left = record->Count;
    while (left > 0) {
      if (!IsCommandCurrent(record)) return AbandonCcidCommand(this);
      BYTE data[kReadReply];
      UINT length = sizeof data;
      if (!CcidReadBinary(BYTE(page), data, &length)) break;
      const int pages = std::min(left, 4);
      record->Data.insert(record->Data.end(), data, data + 4 * pages);
      record->Done += UINT(pages);
      page += 4;
      left -= pages;
    }
  }
  return FinishCcidCommand(this, record);
}

bool CReader::WriteMifareULCcid(_CMD_MUL_INFO* record) {
  if (CommandCard(this, IsUltralight)) {
    UINT page = record->Page;
    size_t position = 0;
    while (record->Count > 0) {
      if (!IsCommandCurrent(record)) return AbandonCcidCommand(this);
      // Nothing left to write: an update without data is no page write.
      if (position >= record->Data.size()) break;
      const size_t chunk = std::min<size_t>(4, record->Data.size() - position);
      if (!CcidUpdateBinary(BYTE(page), record->Data.data() + position, BYTE(chunk))) break;
      position += chunk;
      --record->Count;
      ++record->Done;
      page = (page + 1) % 256;
    }
  }
  return FinishCcidCommand(this, record);
}

bool CReader::ReadMifareCCcid(_CMD_MC_INFO* record) { return ClassicBlocksCcid(this, record, false); }

bool CReader::WriteMifareCCcid(_CMD_MC_INFO* record) { return ClassicBlocksCcid(this, record, true); }
