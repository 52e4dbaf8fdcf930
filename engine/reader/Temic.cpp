// Temic T5557 transponders on text-mode readers: the reader's "t57" commands, the search of the
// parameter pair a transponder answers to, the four Temic card commands and the scan of the field
// that reports transponders as keys.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

constexpr UINT64 kNoPassword = 0xFFFFFFFFFFFFFFFFull;
constexpr UINT kSearchPair = 0xFFFFFFFF;
constexpr BYTE kPlainStep = 0xFF;  // a scan entry whose first parameter is this sends "t57 00"
constexpr BYTE kIdBlock1 = 0x81, kIdBlock2 = 0x82;
constexpr UINT kBlocks = 8;
constexpr size_t kMaxNumberBytes = 15;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

BYTE Byte(UINT64 value, int index) { return BYTE(value >> (8 * index)); }

std::string WriteCommand(BYTE block, BYTE p0, BYTE p1, UINT data, UINT64 password, bool lock) {
  char text[96];
  if (password == kNoPassword) {
    snprintf(text, sizeof text, "t57 %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x\r", lock ? 2u : 1u, block,
             Byte(data, 0), Byte(data, 1), Byte(data, 2), Byte(data, 3), p0, p1);
  } else {
    snprintf(text, sizeof text, "t57 %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x\r", lock ? 4u : 3u,
             block, Byte(password, 0), Byte(password, 1), Byte(password, 2), Byte(password, 3), Byte(data, 0),
             Byte(data, 1), Byte(data, 2), Byte(data, 3), p0, p1);
  }
  return text;
}

std::string ReadCommand(BYTE block, BYTE p0, BYTE p1, UINT64 password) {
  char text[64];
  if (password == kNoPassword) {
    snprintf(text, sizeof text, "t57 05 %.2x %.2x %.2x\r", block, p0, p1);
  } else {
    snprintf(text, sizeof text, "t57 06 %.2x %.2x %.2x %.2x %.2x %.2x %.2x\r", block, Byte(password, 0),
             Byte(password, 1), Byte(password, 2), Byte(password, 3), p0, p1);
  }
  return text;
}

// One command and its answer line, lower-cased. False when no line came (the read's error stays).
bool Exchange(CReader* reader, const std::string& command, std::string* line) {
  if (!reader->ExchangeLine(command, true)) return false;
  *line = Lower(reader->ReplyBuffer);
  return true;
}

// The ID of a transponder from its two identification blocks.
void MakeId(const BYTE first[4], const BYTE second[4], bool full, _KEYNUM_INFO* id) {
  BYTE bytes[8];
  if (full) {
    std::memcpy(bytes, first, 4);
    std::memcpy(bytes + 4, second, 4);
    MakeKeyNum(bytes, 8, *id);
  } else {
    bytes[0] = first[3];
    std::memcpy(bytes + 1, second, 4);
    MakeKeyNum(bytes, 5, *id);
  }
}

// What the scan and the search read of the add-in's settings, copied in one go. The host's thread
// replaces the scan list under the add-in lock, so the list is never read while it is being swapped;
// the reader's own lock is not held here (the add-in lock comes first).
struct TemicSettings {
  _TEMICREAD_INFO Temic;
  UINT KeyTypes = KEY_TYPES_ALL;
  UINT IdentKeyDelay = 0;
  UINT DelayKeyTypes = 0;
};

TemicSettings CopySettings() {
  TemicSettings copy;
  if (!g_pVombra) return copy;
  CCriticalSectionLock lock(g_pVombra->GetLock());
  copy.Temic = g_pVombra->GetTemic();
  copy.KeyTypes = g_pVombra->GetKeyTypes();
  copy.IdentKeyDelay = g_pVombra->GetIdentKeyDelay();
  copy.DelayKeyTypes = g_pVombra->GetDelayKeyTypes();
  return copy;
}

// Every Temic key leaves the list, the last first, each with its loss event.
void RemoveTemicKeys(CReader* reader) {
  reader->RemoveKeys([](const _KEY_INFO& key) { return key.KeyType == KT_TEMIC; }, true);
}

// The data value of block k in a write record: little-endian at byte 4 (k - first block).
UINT BlockData(const _CMD_RWTEMIC_INFO* cmd, UINT k) {
  const size_t at = size_t(k - cmd->Block) * 4;
  return UINT(cmd->Data[at]) | UINT(cmd->Data[at + 1]) << 8 | UINT(cmd->Data[at + 2]) << 16 |
         UINT(cmd->Data[at + 3]) << 24;
}

// Block and count of a read or write record: a first block of 8 or more, or a count below 1 taken
// as signed (the add-in passes the application's int), is refused; the count is cut to the blocks
// left. 0 when refused.
UINT BlockRange(const _CMD_RWTEMIC_INFO* cmd) {
  if (cmd->Block >= kBlocks) return 0;
  const int count = int(cmd->Count);
  if (count < 1) return 0;
  return std::min(UINT(count), kBlocks - cmd->Block);
}

}  // namespace

// --- Exchanges -----------------------------------------------------------------------------------

bool CReader::TemicWriteBlock(BYTE block, BYTE p0, BYTE p1, UINT data, UINT64 password, bool lock) {
  if (RequestTries < 1) {
    SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
    return false;
  }
  const std::string command = WriteCommand(block, p0, p1, data, password, lock);
  for (UINT attempt = 0; attempt < RequestTries; ++attempt) {
    std::string line;
    if (!Exchange(this, command, &line)) return false;
    if (Contains(line, "ok")) {
      SetLastError(0, nullptr);
      return true;
    }
    if (Contains(line, "err")) {
      SetLastError(Contains(line, "no t5") ? VOMBRA_E_NO_KEY : VOMBRA_E_READER_ERROR, nullptr);
      return false;
    }
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  }
  return false;
}

bool CReader::TemicInit() {
  // Block 0 of a fresh transponder: the configuration the reader's default pair (02 00) talks to.
  return TemicWriteBlock(0, 0x02, 0x00, 0x40801400, kNoPassword, false);
}

bool CReader::TemicReadBlock(BYTE block, BYTE p0, BYTE p1, BYTE out[4], UINT64 password, int attempts) {
  if (attempts < 1) {
    SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
    return false;
  }
  const std::string command = ReadCommand(block, p0, p1, password);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    std::string line;
    if (!Exchange(this, command, &line)) return false;
    if (Contains(line, "err")) {
      if (!Contains(line, "no t5")) {
        SetLastError(VOMBRA_E_READER_ERROR, nullptr);
        return false;
      }
      SetLastError(VOMBRA_E_NO_KEY, nullptr);
      // A transponder at the edge of the field may miss one command; asking twice is enough.
      if (attempt == 0 && attempts > 1) continue;
      return false;
    }
    BYTE bytes[4] = {};
    int digits = 0;
    for (char c : line) {
      const int value = HexDigit(c);
      if (value < 0) break;
      bytes[digits / 2] = BYTE(bytes[digits / 2] << 4 | value);
      if (++digits == 8) break;
    }
    if (digits == 8) {
      std::memcpy(out, bytes, 4);
      SetLastError(0, nullptr);
      return true;
    }
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  }
  return false;
}

bool CReader::TemicReadId(_KEYNUM_INFO* id, BYTE p0, BYTE p1, bool full, UINT64 password, int attempts) {
  *id = {};
  BYTE first[4], second[4];
  if (!TemicReadBlock(kIdBlock1, p0, p1, first, password, attempts)) return false;
  if (!TemicReadBlock(kIdBlock2, p0, p1, second, password, attempts)) return false;
  MakeId(first, second, full, id);
  return true;
}

bool CReader::SendT57Zero() {
  if (RequestTries < 1) {
    SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
    return false;
  }
  std::string line;
  if (!Exchange(this, "t57 00\r", &line)) return false;
  if (Contains(line, "err")) {
    SetLastError(VOMBRA_E_READER_ERROR, nullptr);
    return false;
  }
  SetLastError(0, nullptr);
  return true;
}

// --- The parameter search ------------------------------------------------------------------------

bool CReader::TemicFindBlock(BYTE block, UINT64 password, BYTE out[4]) {
  // A command posted meanwhile makes the slot pending again: the search stops for it all the same.
  const _CMD_INFO* own;
  {
    CCriticalSectionLock lock(&Lock);
    own = Command.get();
  }
  auto finish = [this]() {
    if (!Running) SetLastError(E_ABORT, nullptr);
    return SUCCEEDED(LastError);
  };
  if (HeldKeyType == KT_TEMIC && HeldUid.Length &&
      TemicReadBlock(block, LOBYTE(HeldParam), HIBYTE(HeldParam), out, password, int(RequestTries))) {
    return finish();
  }
  // One copy per search: the host may replace the list while the search pauses.
  const std::vector<UINT> entries = CopySettings().Temic.ScanParams;
  for (UINT entry : entries) {
    if (!IsCommandCurrent(own) || !Running) {
      SetLastError(E_ABORT, nullptr);
      return false;
    }
    const BYTE p0 = BYTE(entry), p1 = BYTE(entry >> 8);
    if (p0 != kPlainStep) {
      if (TemicReadBlock(block, p0, p1, out, password, 1)) {
        HeldKeyType = KT_TEMIC;
        HeldParam = WORD(entry);
        return finish();
      }
      if (LastError != VOMBRA_E_NO_KEY) return finish();
    } else if (!SendT57Zero()) {
      return finish();
    }
    const UINT pause = entry >> 16;
    if (pause == 0) continue;
    // The pause waits on the wake event, so that a broken command or a stop ends it early; a wake
    // meant for other changes is taken here, and the thread applies those at its next pass.
    const DWORD start = Ticks();
    for (;;) {
      const DWORD left = TimerRemaining(start, pause, Ticks());
      if (left == 0) break;
      const DWORD result = WaitForSingleObject(WakeEvent, left);
      if (result == WAIT_TIMEOUT) break;
      if (result != WAIT_OBJECT_0) {
        SetLastError(E_FAIL, nullptr);
        return false;
      }
      if (!IsCommandCurrent(own) || !Running) {
        SetLastError(E_ABORT, nullptr);
        return false;
      }
    }
  }
  SetLastError(VOMBRA_E_NO_KEY, nullptr);
  return finish();
}

// --- Card commands -------------------------------------------------------------------------------

bool CReader::CmdInitTemic(CReader* reader, _CMD_INFO* record) {
  if (!(reader->StatusFlags & RSF_TEMIC)) return reader->CompleteCommand(record, VOMBRA_E_NOT_SUPPORTED);
  if (!reader->IsCommandCurrent(record)) return false;
  reader->TemicInit();
  return reader->CompleteCommand(record, reader->LastError);
}

bool CReader::CmdFindTemic(CReader* reader, _CMD_INFO* record) {
  if (!(reader->StatusFlags & RSF_TEMIC)) return reader->CompleteCommand(record, VOMBRA_E_NOT_SUPPORTED);
  if (!reader->IsCommandCurrent(record)) return false;
  auto* cmd = static_cast<_CMD_FINDTEMIC_INFO*>(record);
  const bool full = (cmd->Mode & 0x2) != 0;
  if (cmd->Parameter != kSearchPair) {
    reader->TemicReadId(&cmd->Id, BYTE(cmd->Parameter), BYTE(cmd->Parameter >> 8), full, cmd->Password,
                        int(reader->RequestTries));
  } else {
    BYTE first[4], second[4];
    if (reader->TemicFindBlock(kIdBlock1, cmd->Password, first) &&
        reader->TemicReadBlock(kIdBlock2, LOBYTE(reader->HeldParam), HIBYTE(reader->HeldParam), second,
                               cmd->Password, int(reader->RequestTries))) {
      MakeId(first, second, full, &reader->HeldUid);
      cmd->Parameter = reader->HeldParam;
      cmd->Id = reader->HeldUid;
    }
  }
  reader->HoldAfterCommand();
  return reader->CompleteCommand(record, reader->LastError);
}

bool CReader::CmdReadTemic(CReader* reader, _CMD_INFO* record) {
  if (!(reader->StatusFlags & RSF_TEMIC)) return reader->CompleteCommand(record, VOMBRA_E_NOT_SUPPORTED);
  if (!reader->IsCommandCurrent(record)) return false;
  auto* cmd = static_cast<_CMD_RWTEMIC_INFO*>(record);
  const UINT count = BlockRange(cmd);
  if (count == 0) return reader->CompleteCommand(record, E_INVALIDARG);
  cmd->Count = count;
  cmd->Data.clear();
  const UINT first = cmd->Block;
  BYTE data[4];
  WORD pair;
  if (cmd->Parameter != kSearchPair) {
    pair = WORD(cmd->Parameter);
    reader->TemicReadBlock(BYTE(first), LOBYTE(pair), HIBYTE(pair), data, cmd->Password, int(reader->RequestTries));
  } else {
    reader->TemicFindBlock(BYTE(first), cmd->Password, data);
    pair = reader->HeldParam;
  }
  if (SUCCEEDED(reader->LastError)) {
    cmd->Parameter = pair;
    cmd->Data.insert(cmd->Data.end(), data, data + 4);
    ++cmd->Done;
    for (UINT k = first + 1; k < first + count; ++k) {
      if (!reader->IsCommandCurrent(record)) return false;
      if (!reader->TemicReadBlock(BYTE(k), LOBYTE(pair), HIBYTE(pair), data, cmd->Password, 1)) break;
      cmd->Data.insert(cmd->Data.end(), data, data + 4);
      ++cmd->Done;
    }
  }
  reader->HoldAfterCommand();
  return reader->CompleteCommand(record, reader->LastError);
}

bool CReader::CmdWriteTemic(CReader* reader, _CMD_INFO* record) {
  if (!(reader->StatusFlags & RSF_TEMIC)) return reader->CompleteCommand(record, VOMBRA_E_NOT_SUPPORTED);
  if (!reader->IsCommandCurrent(record)) return false;
  auto* cmd = static_cast<_CMD_RWTEMIC_INFO*>(record);
  UINT count = BlockRange(cmd);
  // A block without its four bytes of data is never written with made-up ones: a zeroed
  // configuration or password block can make a transponder unusable.
  if (count == 0 || cmd->Data.size() < size_t(count) * 4) return reader->CompleteCommand(record, E_INVALIDARG);
  cmd->Count = count;
  const UINT first = cmd->Block;
  const bool lock = cmd->Lock != 0;

  // Presence: the configuration block must answer, with the pair given or found.
  BYTE probe[4];
  WORD pair;
  if (cmd->Parameter != kSearchPair) {
    pair = WORD(cmd->Parameter);
    reader->TemicReadBlock(0, LOBYTE(pair), HIBYTE(pair), probe, cmd->Password, int(reader->RequestTries));
  } else {
    reader->TemicFindBlock(0, cmd->Password, probe);
    pair = reader->HeldParam;
  }
  HRESULT firstFailure = S_OK;
  if (SUCCEEDED(reader->LastError)) {
    cmd->Parameter = pair;
    bool passwordFailed = false;
    // The password block first: once it is written the transponder wants the new password.
    if (cmd->Password != kNoPassword && first + count == kBlocks) {
      if (!reader->IsCommandCurrent(record)) return false;
      const UINT password = BlockData(cmd, kBlocks - 1);
      if (reader->TemicWriteBlock(BYTE(kBlocks - 1), LOBYTE(pair), HIBYTE(pair), password, cmd->Password, lock)) {
        --count;
        ++cmd->Done;
        cmd->Password = password;
      } else {
        passwordFailed = true;
      }
    }
    if (!passwordFailed) {
      bool lastWritten = true;
      for (int k = int(first + count) - 1; k >= int(std::max(first, 1u)); --k) {
        if (!reader->IsCommandCurrent(record)) return false;
        lastWritten = reader->TemicWriteBlock(BYTE(k), LOBYTE(pair), HIBYTE(pair), BlockData(cmd, UINT(k)),
                                              cmd->Password, lock);
        if (lastWritten) {
          ++cmd->Done;
        } else if (firstFailure == S_OK) {
          firstFailure = reader->LastError;
        }
      }
      // The configuration block last, and only after the block next to it went through: a wrong
      // configuration can change the pair the transponder answers to.
      if (first == 0 && lastWritten) {
        if (!reader->IsCommandCurrent(record)) return false;
        if (reader->TemicWriteBlock(0, LOBYTE(pair), HIBYTE(pair), BlockData(cmd, 0), cmd->Password, lock)) {
          ++cmd->Done;
        } else if (firstFailure == S_OK) {
          firstFailure = reader->LastError;
        }
      }
    }
  }
  reader->HoldAfterCommand();
  // A block that failed is never hidden behind a later success.
  return reader->CompleteCommand(record, FAILED(firstFailure) ? firstFailure : reader->LastError);
}

// --- The scan of the field -----------------------------------------------------------------------

void CReader::TemicScanPoll() {
  if (ScanInterval == INFINITE) return;
  if (ScanInterval > 0 && !TimerDue(NextWait, LastRequestTime, ScanInterval, Ticks())) return;
  TemicScanStep();
  ShortenWait(NextWait, ScanInterval);
}

void CReader::TemicScanStep() {
  const TemicSettings settings = CopySettings();
  const std::vector<UINT>& entries = settings.Temic.ScanParams;
  if (entries.empty()) {
    ScanInterval = INFINITE;
    return;
  }
  const int last = int(entries.size()) - 1;
  if (ScanIndex < 0 || ScanIndex > last) ScanIndex = 0;
  const UINT entry = entries[size_t(ScanIndex)];
  const UINT flags = settings.Temic.Flags;
  const UINT64 password = (flags & TF_PASSWORD) ? UINT64(settings.Temic.Password) : kNoPassword;

  if (ScanIndex == 0 && !(StatusFlags & RSF_TEMIC_CYCLE)) {
    StatusFlags |= RSF_TEMIC_CYCLE;
    if (Events) Events->OnTemicScanCycle(this);
  }

  bool found = false;
  const BYTE p0 = BYTE(entry), p1 = BYTE(entry >> 8);
  if (p0 == kPlainStep) {
    SendT57Zero();
  } else if (!(settings.KeyTypes & (1u << KT_TEMIC))) {
    HeldUid = {};
  } else {
    _KEY_INFO key;
    if (!TemicReadId(&key.Uid, p0, p1, (flags & TF_FULL_ID) != 0, password, 1)) {
      HeldUid = {};
    } else {
      found = true;
      key.KeyType = KT_TEMIC;
      key.Param = WORD(entry);
      INT64 listed;
      {
        CCriticalSectionLock lock(&Lock);
        listed = FindKeyByUid(Keys, KT_TEMIC, key.Uid);
        if (listed >= 0) key = Keys[size_t(listed)];
      }
      bool readNow = false;
      if ((flags & TF_DATA) && (listed < 0 || key.NumberStatus != 0)) {
        // A listed key may still hold the blocks of an earlier read that broke off.
        key.Number = {};
        const UINT block = settings.Temic.Block;
        if (block >= kBlocks) {
          key.NumberStatus = E_INVALIDARG;
        } else {
          const UINT n = std::min({settings.Temic.Count, kBlocks - block, 4u});
          key.NumberStatus = 0;
          for (UINT i = 0; i < n; ++i) {
            BYTE data[4];
            if (!TemicReadBlock(BYTE(block + i), p0, p1, data, password, 1)) {
              key.NumberStatus = LastError;
              break;
            }
            const size_t room = kMaxNumberBytes - key.Number.Length;
            const size_t take = std::min<size_t>(4, room);
            std::memcpy(key.Number.Data + key.Number.Length, data, take);
            key.Number.Length = BYTE(key.Number.Length + take);
          }
          readNow = key.NumberStatus == 0;
        }
      }
      if (listed < 0 || readNow) {
        RemoveTemicKeys(this);
        if (key.Uid.Length) AddKey(key, true);
        if (settings.IdentKeyDelay != 0 && (settings.DelayKeyTypes & DKT_TEMIC)) {
          if (settings.IdentKeyDelay != INFINITE) ShortenWait(NextWait, settings.IdentKeyDelay);
          HeldKeyType = key.KeyType;
          HeldUid = key.Uid;
          HeldCardFlags = key.CardFlags;
          HeldParam = key.Param;
          StatusFlags |= RSF_HOLD;
        }
      }
    }
  }

  ScanInterval = entry >> 16;
  LastRequestTime = Ticks();
  HoldStart = LastRequestTime;
  if (StatusFlags & RSF_HOLD) return;
  if (found) {
    // Also at the last entry: a transponder that answers there keeps the cycle open, rather than
    // being reported found and lost in the same step.
    ScanInterval = std::max(ScanInterval, KeyPollPeriod);
  } else if (ScanIndex == last) {
    if (StatusFlags & RSF_TEMIC_CYCLE) {
      RemoveTemicKeys(this);
      StatusFlags &= ~RSF_TEMIC_CYCLE;
      if (Events) Events->OnTemicScanCycle(this);
    }
    ScanInterval = std::max(ScanInterval, KeyPollPeriod);
    ScanIndex = -1;
  } else {
    ++ScanIndex;
  }
}
