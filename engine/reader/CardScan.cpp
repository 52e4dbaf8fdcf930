// The binary card scan: telling card kinds apart from their select answer, ATS and probes, reading
// a key's number from card memory, and the scan passes that keep the key list in step with the
// cards in the field, with the card hold and the reader's indication.
#include <algorithm>
#include <cstring>

#include "CardGeometry.h"
#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "ProtoBinary.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

// The historical bytes of the two Mifare Plus variants; bytes 2 and 3 vary with the card.
bool HistoricalIs(const std::string& h, const BYTE (&pattern)[7], bool anyMiddle) {
  if (h.size() != 7) return false;
  for (int i = 0; i < 7; ++i) {
    if (anyMiddle && (i == 2 || i == 3)) continue;
    if (BYTE(h[size_t(i)]) != pattern[i]) return false;
  }
  return true;
}

const BYTE kPlusS[7] = {0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
const BYTE kPlusX[7] = {0xC1, 0x05, 0x2F, 0x2F, 0x01, 0xBC, 0xD6};
// The security-level probe and the Mifare Plus probe of the identification.
const BYTE kLevelProbe[2] = {0x01, 0x48};
const BYTE kPlusProbe[20] = {0x13, 0xA8, 0x00, 0x90, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

_AUTHKEY_INFO TransportKey(int length) {
  _AUTHKEY_INFO key = {};
  key.Length = BYTE(length);
  memset(key.Data, 0xFF, 6);
  return key;
}

// Sectors of a Classic-compatible card by key type; Plus readers pass plus = true.
int SectorCount(UINT keyType, bool plus) {
  switch (keyType) {
    case KT_MIFARE_1K:
    case KT_MIFARE_PLUS_1K:
    case KT_SMART_MX_1K:
      return plus && keyType == KT_MIFARE_1K ? 0 : 16;
    case KT_MIFARE_2K:
      return plus ? 0 : 32;
    case KT_MIFARE_PLUS_2K:
      return 32;
    case KT_MIFARE_4K:
      return plus ? 0 : 40;
    case KT_MIFARE_PLUS_4K:
    case KT_SMART_MX_4K:
      return 40;
    default:
      return plus ? 0 : 5;
  }
}

// The absolute block of a sector's block, or -1 when the settings fall outside the card.
int BlockOf(int sectors, UINT sect, UINT block) {
  if (sect >= UINT(sectors)) return -1;
  const UINT b = sect < 32 ? sect * 4 + block % 4 : (sect - 24) * 16 + block % 16;
  const UINT blocks = sectors < 32 ? UINT(sectors) * 4 : UINT(sectors - 24) * 16;
  return b < blocks ? int(b) : -1;
}

}  // namespace

bool CReader::IdentifyCard(bool wake, UINT* keyType, _KEYNUM_INFO* uid, UINT* cardFlags, INT64* listIndex) {
  BYTE sak = 0;
  WORD atqa = 0;
  if (!BinSelectCard(wake, &sak, &atqa, uid)) return false;
  *keyType = 0;
  *listIndex = -1;
  if (uid->Length == 0) return true;
  {
    CCriticalSectionLock lock(&Lock);
    for (size_t i = 0; i < Keys.size(); ++i) {
      if (CompareKeyNum(Keys[i].Uid, *uid) != 0) continue;
      *listIndex = INT64(i);
      *keyType = Keys[i].KeyType;
      *cardFlags = Keys[i].CardFlags;
      return true;
    }
  }
  UINT flags = 0;
  UINT type = 0;
  // The first query sets the activation mark even when it fails, so its answer is kept for the
  // later steps rather than asked again.
  std::string ats, historical;
  bool queried = false;
  auto query = [&] {
    if (queried || (StatusFlags & RSF_CARD_ACTIVE)) return;
    queried = true;
    QueryAts(&ats, &historical);
  };
  // The Classic and Smart MX rows share the Plus ATS test; only the key types differ.
  auto classicRow = [&](UINT plusType, UINT classicType) {
    query();
    if (historical.size() == 7) {
      flags |= CF_ISO14443_4;
      if (HistoricalIs(historical, kPlusS, false)) {
        flags |= 0x1A;
        type = plusType;
      } else if (HistoricalIs(historical, kPlusX, false)) {
        flags |= 0x1E;
        type = plusType;
      }
    } else {
      type = classicType;
    }
  };

  if (sak & 0x02) {
    type = 0;
  } else if (!(sak & (0x08 | 0x10 | 0x20))) {
    type = KT_MIFARE_UL;
  } else if ((sak & 0x10) && !(sak & 0x08)) {
    flags = 0x29;
    type = (sak & 0x01) ? KT_MIFARE_PLUS_4K : KT_MIFARE_PLUS_2K;
  } else if ((sak & 0x20) && !(sak & 0x08)) {
    query();
    if (StatusFlags & RSF_ACTIVATION_UNSUPPORTED) {
      if (atqa == 0x0002 || atqa == 0x0042) {
        flags |= CF_ISO14443_4;
        type = KT_MIFARE_PLUS_4K;
      } else if (atqa == 0x0004 || atqa == 0x0044) {
        flags |= CF_ISO14443_4;
        type = KT_MIFARE_PLUS_2K;
      } else if (atqa == 0x0344) {
        type = KT_DESFIRE;
      } else {
        flags |= CF_ISO14443_4;
        type = KT_MIFARE_PLUS;
      }
    } else if (historical.size() < 7) {
      type = KT_DESFIRE;
    } else {
      flags |= CF_ISO14443_4;
      const bool s = HistoricalIs(historical, kPlusS, true), x = HistoricalIs(historical, kPlusX, true);
      if (s || x) {
        flags |= x ? 0x07 : 0x03;
        flags |= BinCardCommand(kLevelProbe, 2) ? 0x38 : 0x08;
      }
    }
  } else if (!(sak & 0x10)) {
    if (sak & 0x01) {
      type = KT_MIFARE_MINI;
    } else if (sak & 0x20) {
      flags = CF_ISO14443_4;
      type = KT_SMART_MX_1K;
    } else {
      classicRow(KT_MIFARE_PLUS_2K, KT_MIFARE_1K);
    }
  } else {
    if (sak & 0x01) {
      type = KT_MIFARE_2K;
    } else if (sak & 0x20) {
      flags = CF_ISO14443_4;
      type = KT_SMART_MX_4K;
    } else {
      classicRow(KT_MIFARE_PLUS_4K, KT_MIFARE_4K);
    }
  }
  *keyType = type;
  *cardFlags = flags;
  if (StatusFlags & RSF_ACTIVATION_UNSUPPORTED) return true;

  int level = 0;  // 0: none
  if (type == 0) {
    query();
    const int tl = ats.empty() ? 0 : BYTE(ats[0]);
    if (tl <= 1) {
      level = 1;
    } else if (tl <= 6) {
      level = 2;
    } else {
      level = 3;
      flags |= CF_ISO14443_4;
    }
  } else if (flags & CF_ISO14443_4) {
    level = 3;
  } else if (type >= KT_MIFARE_1K && type <= KT_MIFARE_4K) {
    level = 1;
  }

  if ((flags & 0x09) == 0x01) {
    query();
    if (BinCardCommand(kPlusProbe, 20)) {
      flags |= CF_LEVEL_KNOWN;
    } else {
      flags |= BinCardCommand(kLevelProbe, 2) ? 0x38 : 0x18;
    }
  }

  if (type == 0) {
    if (level == 1 || (level == 3 && (flags & CF_LEVEL) == 0x10)) {
      if (BinSearchStart()) {
        Sleep(10);
        if (BinSelectUid(uid)) {
          _AUTHKEY_INFO key = TransportKey(6);
          if (BinAuthClassic(0x91, 0, &key) || LastError == VOMBRA_E_KEY_AUTH) {
            type = level == 1 ? KT_MIFARE_4K : KT_MIFARE_PLUS_4K;
          }
        }
      }
    } else if (level == 3 && (flags & CF_LEVEL) == 0x30) {
      _AUTHKEY_INFO key = TransportKey(16);
      if (!BinAuthPlus(0x4040, &key) && LastError != VOMBRA_E_KEY_AUTH) {
        if (LastError == VOMBRA_E_MIFARE_BLOCK) type = KT_MIFARE_PLUS_1K;
      } else if (BinAuthPlus(0x4042, &key) || LastError == VOMBRA_E_KEY_AUTH) {
        type = KT_MIFARE_PLUS_4K;
      } else if (LastError == VOMBRA_E_MIFARE_BLOCK) {
        type = KT_MIFARE_PLUS_2K;
      }
    }
  }
  *keyType = type;
  *cardFlags = flags;
  return true;
}

void CReader::ReadClassicNumber(_KEY_INFO* key) {
  const _MIFAREREAD_INFO settings = g_pVombra->GetMifareC();
  const int block = BlockOf(SectorCount(key->KeyType, false), settings.Sect, settings.Block);
  if (block < 0) {
    key->NumberStatus = E_INVALIDARG;
    return;
  }
  bool ok = true;
  if (StatusFlags & RSF_CARD_ACTIVE) ok = BinSearchEnd() && BinSelectUid(&key->Uid);
  if (ok) {
    const BYTE keyB = BYTE(settings.Flags & 0x1);
    if (settings.Flags & 0x2) {
      int index = 0;
      ok = BinAuthClassicStored(BYTE(block), keyB, settings.Mask, &index);
    } else {
      ok = BinAuthClassic(BYTE(block), keyB, &settings.AuthKey);
    }
  }
  BYTE data[16];
  if (ok && BinReadBlock(BYTE(block), data)) {
    MakeKeyNum(data, 15, key->Number);
    key->NumberStatus = 0;
  } else {
    key->NumberStatus = LastError;
  }
}

void CReader::ReadPlusNumber(_KEY_INFO* key) {
  const int sectors = SectorCount(key->KeyType, true);
  if (!sectors) return;
  const _MIFAREREAD_INFO settings = g_pVombra->GetMifareP();
  const int block = BlockOf(sectors, settings.Sect, settings.Block);
  if (block < 0) {
    key->NumberStatus = E_INVALIDARG;
    return;
  }
  bool ok = true;
  if (!(StatusFlags & RSF_CARD_ACTIVE)) ok = BinActivate(nullptr);
  if (ok) {
    const WORD address = WORD(0x4000 + 2 * settings.Sect + (settings.Flags & 0x1));
    if (settings.Flags & 0x2) {
      int index = 0;
      ok = BinAuthPlusStored(address, settings.Mask, &index);
    } else {
      ok = BinAuthPlus(address, &settings.AuthKey);
    }
  }
  BYTE data[16];
  if (ok && BinReadPlusBlock(BYTE(block), data, 0)) {
    MakeKeyNum(data, 15, key->Number);
    key->NumberStatus = 0;
  } else {
    key->NumberStatus = LastError;
  }
}

void CReader::ScanBinary(bool initial) {
  // A scan that runs ends any hold: left set, a hold without time limit that ContinueScanning cut
  // short would keep the following passes from ever becoming due.
  StatusFlags &= ~(RSF_SCAN_DUE | RSF_HOLD);
  bool notify = initial;
  bool fresh = false;
  if (initial) {
    CCriticalSectionLock lock(&Lock);
    Keys.clear();
  }
  const UINT keyTypes = g_pVombra->GetKeyTypes();
  const UINT holdTimeout = g_pVombra->GetIdentKeyDelay();
  const UINT holdMask = g_pVombra->GetDelayKeyTypes();
  const bool autoClassic = g_pVombra->GetMifareC().Enabled;
  const bool autoPlus = g_pVombra->GetMifareP().Enabled;
  const _ULREAD_INFO ul = g_pVombra->GetMifareUL();

  if (ScanIndex == -1) {
    {
      CCriticalSectionLock lock(&Lock);
      for (_KEY_INFO& key : Keys) key.NotSeen = 1;
    }
    HoldStart = Ticks();
    if (keyTypes & kBinScanKeyTypes) {
      if (!BinSearchStart()) {
        // The pass is tried again a poll period from now; nothing else may wake the loop before
        // the keep-alive when the link has gone quiet.
        ShortenWait(NextWait, KeyPollPeriod);
        return;
      }
      Sleep(10);
      ScanIndex = 0;
    } else {
      ScanIndex = kBinScanCards;
    }
  }

  bool held = false;
  while (ScanIndex < kBinScanCards) {
    UINT type = 0, flags = 0;
    _KEYNUM_INFO uid = {};
    INT64 index = -1;
    if (!IdentifyCard(false, &type, &uid, &flags, &index) || uid.Length == 0) {
      ScanIndex = kBinScanCards;
      break;
    }
    if (type < 32 && (keyTypes & (1u << type))) {
      if (index >= 0) {
        CCriticalSectionLock lock(&Lock);
        if (size_t(index) < Keys.size()) Keys[size_t(index)].NotSeen = 0;
      } else {
        _KEY_INFO key;
        key.Uid = uid;
        key.KeyType = type;
        key.CardFlags = flags;
        key.NumberStatus = 1;
        UINT kind = 0;
        if (IsClassicKind(type, flags)) {
          kind = DKT_MIFARE_CLASSIC;
          if (autoClassic) ReadClassicNumber(&key);
        } else if (IsPlusKind(type, flags)) {
          kind = DKT_MIFARE_PLUS;
          if (autoPlus) ReadPlusNumber(&key);
        } else if (type == KT_MIFARE_UL) {
          kind = DKT_MIFARE_UL;
          if (ul.Enabled) {
            BYTE data[16];
            if (ul.Page > 15 || ul.Count < 1) {
              key.NumberStatus = E_INVALIDARG;
            } else if (BinReadBlock(BYTE(ul.Page), data)) {
              MakeKeyNum(data, int(std::min<UINT>(4 * ul.Count, 15)), key.Number);
              key.NumberStatus = 0;
            } else {
              key.NumberStatus = LastError;
            }
          }
        }
        UpdateKeyList(key, !initial);
        if (!initial) {
          notify = fresh = true;
          if (holdTimeout != 0 && (holdMask & kind)) {
            if (holdTimeout != INFINITE) ShortenWait(NextWait, holdTimeout);
            HeldKeyType = type;
            HeldUid = uid;
            HeldCardFlags = flags;
            StatusFlags |= RSF_HOLD;
            held = true;
            break;
          }
        }
      }
    }
    ++ScanIndex;
    HeldKeyType = 0;
    HeldUid = {};
    HeldCardFlags = 0;
    if (!BinNextCard() || !Running) ScanIndex = kBinScanCards;
  }

  if (!held) {
    BinSearchEnd();
    const INT64 count = RemoveKeys([](const _KEY_INFO& key) { return key.NotSeen != 0; }, true);
    bool empty;
    {
      CCriticalSectionLock lock(&Lock);
      empty = Keys.empty();
    }
    if (count > 0 && empty) notify = true;
    ScanIndex = -1;
    HeldKeyType = 0;
    HeldUid = {};
    HeldCardFlags = 0;
    HoldStart = Ticks();
    ShortenWait(NextWait, KeyPollPeriod);
  }

  if (notify) {
    bool empty;
    {
      CCriticalSectionLock lock(&Lock);
      empty = Keys.empty();
    }
    const BYTE code = empty ? kBinShowEmpty : kBinShowKey;
    BinSignal(code, 1, nullptr);
    BinSignal(fresh ? BYTE(code | kBinShowNew) : code, 1, nullptr);
    if (fresh) BinSignal(kBinGreetNew, 1, nullptr);
    StatusFlags &= ~RSF_SIGNAL;
  }
}

namespace {

enum class CommandCard { Ultralight, Classic, Plus };

bool AcceptsCard(CommandCard kind, UINT keyType, UINT flags) {
  switch (kind) {
    case CommandCard::Ultralight:
      return keyType == KT_MIFARE_UL;
    case CommandCard::Classic:
      return IsClassicKind(keyType, flags);
    case CommandCard::Plus:
      return IsPlusKind(keyType, flags);
  }
  return false;
}

// A card command takes the field over: an open pass is closed without its end (its keys stay
// listed), and the card found first becomes the held card when it is of the command's kind.
bool SelectCommandCard(CReader& r, CommandCard kind) {
  r.HeldKeyType = 0;
  r.HeldUid = {};
  r.HeldCardFlags = 0;
  if (r.ScanIndex != -1) {
    r.ScanIndex = -1;
    r.HoldStart = Ticks();
    ShortenWait(r.NextWait, r.KeyPollPeriod);
  }
  if (!r.BinSearchStart()) return false;
  Sleep(10);
  UINT type = 0, flags = 0;
  _KEYNUM_INFO uid = {};
  INT64 index = -1;
  bool ok = r.IdentifyCard(kind == CommandCard::Ultralight, &type, &uid, &flags, &index);
  if (ok && (uid.Length == 0 || !AcceptsCard(kind, type, flags))) {
    r.SetLastError(VOMBRA_E_NO_KEY, nullptr);
    ok = false;
  }
  if (ok && kind == CommandCard::Classic && (r.StatusFlags & RSF_CARD_ACTIVE)) {
    // The activation of the identification left the card in ISO 14443-4: select it anew.
    ok = r.BinSearchEnd();
    if (ok) {
      Sleep(10);
      ok = r.BinSelectUid(&uid);
    }
  }
  if (ok && kind == CommandCard::Plus && !(r.StatusFlags & RSF_CARD_ACTIVE)) ok = r.BinActivate(nullptr);
  if (!ok) {
    const HRESULT error = r.LastError;
    const std::wstring text = r.LastErrorText;
    r.BinSearchEnd();
    r.SetLastError(error, text.empty() ? nullptr : text.c_str());
    return false;
  }
  r.HeldKeyType = type;
  r.HeldUid = uid;
  r.HeldCardFlags = flags;
  return true;
}

}  // namespace

bool CReader::SelectULCard() { return SelectCommandCard(*this, CommandCard::Ultralight); }

bool CReader::SelectClassicCard() { return SelectCommandCard(*this, CommandCard::Classic); }

bool CReader::SelectPlusCard() { return SelectCommandCard(*this, CommandCard::Plus); }

void CReader::BinaryModePoll() {
  if (StatusFlags & RSF_PORT_EVENT) {
    // Every exchange is a request and its reply: bytes that come on their own are stale.
    Port->Purge(true, false);
    StatusFlags &= ~RSF_PORT_EVENT;
  }
  if (TimerDue(NextWait, LastRequestTime, kBinKeepAlive, Ticks())) {
    BinSetMode(false, kBinKeepSpeed);
    ShortenWait(NextWait, kBinKeepAlive);
  }
  const DWORD now = Ticks();
  if (StatusFlags & RSF_HOLD) {
    const UINT delay = g_pVombra ? g_pVombra->GetIdentKeyDelay() : 0;
    if (delay != INFINITE && TimerDue(NextWait, HoldStart, delay, now)) {
      StatusFlags &= ~RSF_HOLD;
      StatusFlags |= RSF_SCAN_DUE;
    }
  } else if (KeyPollPeriod != INFINITE && TimerDue(NextWait, HoldStart, KeyPollPeriod, now)) {
    StatusFlags |= RSF_SCAN_DUE;
  }
  if (StatusFlags & RSF_SCAN_DUE) ScanBinary(false);
  if ((StatusFlags & RSF_SIGNAL) && TimerDue(NextWait, SignalStart, SignalDuration, Ticks())) {
    // The pattern has played: the indication goes back to what the field holds.
    bool empty;
    {
      CCriticalSectionLock lock(&Lock);
      empty = Keys.empty();
    }
    BinSignal(empty ? kBinSteadyEmpty : kBinSteadyKey, 0, nullptr);
    StatusFlags &= ~RSF_SIGNAL;
  }
}
