// Card commands: what every handler shares (the current check, the hold after a command) and the
// handlers of the Mifare and signal commands in the text and binary protocols. The PC/SC branches
// live with the PC/SC card access.
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

bool CReader::IsCommandCurrent(const _CMD_INFO* record) {
  CCriticalSectionLock lock(&Lock);
  return CommandStatus == E_PENDING && Command.get() == record;
}

bool CReader::HoldAfterCommand() {
  const UINT delay = g_pVombra ? g_pVombra->GetIdentKeyDelay() : 0;
  if (delay == 0) return false;
  HoldStart = Ticks();
  ShortenWait(NextWait, delay);
  StatusFlags |= RSF_HOLD;
  return true;
}

namespace {

// A read or write never needs more blocks than the largest card has; more would only walk the
// card again and again.
constexpr int kMaxCommandBlocks = 256;

constexpr int kReaderKeySlots = 32;

bool Refuse(CReader* reader, _CMD_INFO* record) { return reader->CompleteCommand(record, VOMBRA_E_NOT_SUPPORTED); }

// The card writes answer kBinStatusCardGone when the card has left the field.
bool WriteRequest(CReader& reader, BYTE command, const BYTE* payload, int length) {
  int status = 0;
  if (!reader.BinRequest(command, payload, length, &status, nullptr)) return false;
  if (status == kBinStatusOk) return true;
  reader.SetLastError(status == kBinStatusCardGone ? VOMBRA_E_NO_KEY : VOMBRA_E_READER_ERROR, nullptr);
  return false;
}

bool FieldEmpty(CReader& reader) {
  CCriticalSectionLock lock(&reader.Lock);
  return reader.Keys.empty();
}

// The next bytes of a write for one page or block, zero-filled past the end of the data.
void TakeData(const std::vector<BYTE>& data, size_t position, BYTE* out, size_t size) {
  memset(out, 0, size);
  if (position < data.size()) memcpy(out, data.data() + position, std::min(size, data.size() - position));
}

// --- Ultralight --------------------------------------------------------------------------------

bool ReadUltralightText(CReader& reader, _CMD_MUL_INFO* cmd) {
  if (reader.Model != RM_KD6_A && reader.Model != RM_ORVEL_3A && reader.Model != RM_KD6_B) {
    return Refuse(&reader, cmd);
  }
  UINT page = cmd->Page;
  int left = cmd->Count;
  while (left > 0) {
    if (!reader.IsCommandCurrent(cmd)) return false;
    BYTE data[16];
    if (!reader.ReadMifareULText(page, data)) return reader.CompleteCommand(cmd, reader.LastError);
    const int pages = std::min(left, 4);
    cmd->Data.insert(cmd->Data.end(), data, data + 4 * pages);
    cmd->Done += UINT(pages);
    page += 4;
    left -= pages;
  }
  return reader.CompleteCommand(cmd, 0);
}

bool ReadUltralightBinary(CReader& reader, _CMD_MUL_INFO* cmd) {
  if (!reader.IsCommandCurrent(cmd)) return false;
  // A held Ultralight may have gone since it was selected: one fresh selection is allowed then.
  bool retry = false;
  if (reader.HeldKeyType == KT_MIFARE_UL) {
    retry = true;
  } else if (!reader.SelectULCard()) {
    return reader.CompleteCommand(cmd, reader.LastError);
  }
  reader.SetLastError(0, nullptr);
  UINT page = cmd->Page;
  int left = cmd->Count;
  while (left > 0) {
    if (!reader.IsCommandCurrent(cmd)) return false;
    BYTE data[16];
    if (reader.BinReadBlock(BYTE(page), data)) {
      const int pages = std::min(left, 4);
      cmd->Data.insert(cmd->Data.end(), data, data + 4 * pages);
      cmd->Done += UINT(pages);
      page += 4;
      left -= pages;
      continue;
    }
    if (retry && reader.LastError != E_ABORT) {
      retry = false;
      if (reader.SelectULCard()) continue;
    }
    break;
  }
  reader.HoldAfterCommand();
  return reader.CompleteCommand(cmd, reader.LastError);
}

// Pages of the write: 4 bytes each; a last, shorter page is zero-filled rather than dropped.
size_t PageCount(const _CMD_MUL_INFO* cmd) { return (cmd->Data.size() + 3) / 4; }

bool WriteUltralightText(CReader& reader, _CMD_MUL_INFO* cmd) {
  UINT page = cmd->Page;
  const size_t pages = PageCount(cmd);
  for (size_t i = 0; i < pages; ++i) {
    if (!reader.IsCommandCurrent(cmd)) return false;
    BYTE data[4];
    TakeData(cmd->Data, 4 * i, data, 4);
    if (!reader.WriteMifareULText(page, data)) return reader.CompleteCommand(cmd, reader.LastError);
    ++cmd->Done;
    ++page;
  }
  return reader.CompleteCommand(cmd, 0);
}

// --- Mifare Classic and Plus -------------------------------------------------------------------

// The card a Classic or Plus command works with: the held card as it is (one fresh selection
// allowed later), or a fresh selection. False when no card could be had; the error is recorded.
bool PrepareMifareCard(CReader& reader, bool plus, bool write, bool* retry) {
  bool usable = false;
  *retry = false;
  if (plus ? IsPlusKind(reader.HeldKeyType, reader.HeldCardFlags)
           : IsClassicKind(reader.HeldKeyType, reader.HeldCardFlags)) {
    *retry = true;
    if (plus) {
      usable = (reader.StatusFlags & RSF_CARD_ACTIVE) || reader.BinActivate(nullptr);
    } else if (!(reader.StatusFlags & RSF_CARD_ACTIVE)) {
      usable = true;
    } else if (write ? reader.BinSearchStart() : reader.BinSearchEnd()) {
      // An activated card speaks ISO 14443-4 only; it answers Classic commands again once it has
      // been selected anew by its UID.
      Sleep(10);
      usable = reader.BinSelectUid(&reader.HeldUid);
    }
  }
  if (usable) return true;
  return plus ? reader.SelectPlusCard() : reader.SelectClassicCard();
}

// Whether a write would pad a sector trailer with zeros: an all-zero trailer can lock its sector for
// good, so such a write is refused before anything is written.
bool PadsTrailer(const _CMD_MC_INFO* cmd, const MifareGeometry& geometry, int sector, int block, int absolute) {
  size_t position = 0;
  for (int left = cmd->Count; left > 0;) {
    const bool trailer = block == SectorLastBlock(sector);
    if (!(cmd->SkipTrailers && trailer)) {
      if (trailer && cmd->Data.size() < position + 16) return true;
      position += 16;
      --left;
    }
    NextBlock(geometry, sector, block, absolute);
  }
  return false;
}

// Reads or writes Count blocks of a Classic (plus = false) or Plus card in binary mode.
bool RunMifareBlocks(CReader& reader, _CMD_MC_INFO* cmd, bool plus, bool write) {
  if (!reader.IsCommandCurrent(cmd)) return false;
  bool retry = false;
  if (!PrepareMifareCard(reader, plus, write, &retry)) return reader.CompleteCommand(cmd, reader.LastError);

  const bool keyB = (cmd->Flags & MCF_KEY_B) != 0;
  const bool stored = (cmd->Flags & MCF_STORED_KEYS) != 0;
  const BYTE mode = (cmd->Flags & MCF_PLUS_MODE) ? 2 : 0;
  for (;;) {
    if (!write) cmd->Data.clear();
    const UINT type = reader.HeldKeyType;
    const bool typeOk = !plus                 ? true
                        : write               ? type >= KT_MIFARE_1K && type <= KT_SMART_MX_4K && type != KT_MIFARE_PLUS
                                              : type >= KT_MIFARE_PLUS_1K && type <= KT_SMART_MX_4K;
    if (!typeOk) {
      reader.SetLastError(VOMBRA_E_NO_KEY, nullptr);
      break;
    }
    const MifareGeometry geometry = CommandGeometry(type);
    int sector = cmd->Sector;
    int block = cmd->Block;
    if (sector < 0 || sector >= geometry.Sectors || block < 0 || block > SectorLastBlock(sector) ||
        AbsoluteBlock(sector, block) >= geometry.Blocks) {
      reader.SetLastError(E_INVALIDARG, nullptr);
      break;
    }
    int absolute = AbsoluteBlock(sector, block);
    if (write && PadsTrailer(cmd, geometry, sector, block, absolute)) {
      reader.SetLastError(E_INVALIDARG, nullptr);
      break;
    }
    reader.SetLastError(0, nullptr);

    int left = cmd->Count;
    int authenticated = -1;
    size_t position = 0;
    bool authFailed = false;
    bool failed = false;
    while (left > 0) {
      if (!reader.IsCommandCurrent(cmd)) return false;
      if (sector != authenticated) {
        bool ok;
        if (plus) {
          const WORD address = WORD(0x4000 + 2 * sector + (keyB ? 1 : 0));
          ok = stored ? reader.BinAuthPlusStored(address, cmd->KeyMask, &cmd->KeyIndex)
                      : reader.BinAuthPlus(address, &cmd->Key);
        } else {
          ok = stored ? reader.BinAuthClassicStored(BYTE(absolute), keyB, cmd->KeyMask, &cmd->KeyIndex)
                      : reader.BinAuthClassic(BYTE(absolute), keyB, &cmd->Key);
        }
        if (!ok) {
          authFailed = true;
          break;
        }
        authenticated = sector;
      }
      if (!(cmd->SkipTrailers && block == SectorLastBlock(sector))) {
        BYTE data[16];
        bool ok;
        if (write) {
          BYTE payload[20];
          int length;
          if (plus) {
            payload[0] = mode;
            payload[1] = BYTE(absolute & 0xFF);
            payload[2] = BYTE(absolute >> 8);
            payload[3] = 0x01;
            TakeData(cmd->Data, position, payload + 4, 16);
            length = 20;
          } else {
            payload[0] = BYTE(absolute);
            TakeData(cmd->Data, position, payload + 1, 16);
            length = 17;
          }
          ok = WriteRequest(reader, plus ? kBinWritePlusBlock : kBinWriteClassicBlock, payload, length);
          if (ok) position += 16;
        } else {
          ok = plus ? reader.BinReadPlusBlock(BYTE(absolute), data, mode) : reader.BinReadBlock(BYTE(absolute), data);
          if (ok) cmd->Data.insert(cmd->Data.end(), data, data + 16);
        }
        if (!ok) {
          failed = true;
          break;
        }
        --left;
        ++cmd->Done;
      }
      NextBlock(geometry, sector, block, absolute);
    }
    if (failed || !authFailed) break;
    // A wrong key stays wrong; anything else may be a card that was lost and is back.
    if (!retry || reader.LastError == E_ABORT || reader.LastError == VOMBRA_E_KEY_AUTH) break;
    retry = false;
    if (!(plus ? reader.SelectPlusCard() : reader.SelectClassicCard())) break;
  }
  reader.HoldAfterCommand();
  return reader.CompleteCommand(cmd, reader.LastError);
}

// Refuses a block count beyond the largest card before anything is sent.
bool BlockCountRefused(CReader* reader, _CMD_MC_INFO* cmd) {
  if (cmd->Count <= kMaxCommandBlocks) return false;
  reader->SetLastError(E_INVALIDARG, nullptr);
  reader->CompleteCommand(cmd, E_INVALIDARG);
  return true;
}

// --- Signal patterns ---------------------------------------------------------------------------

BYTE SignValue(wchar_t c) {
  switch (c) {
    case L'1':
      return 3;
    case L'2':
      return 2;
    case L'3':
      return 1;
    default:
      return 0;
  }
}

}  // namespace

bool CReader::WriteMifareULBinary(_CMD_MUL_INFO* cmd) {
  if (!IsCommandCurrent(cmd)) return false;
  bool retry = false;
  if (HeldKeyType == KT_MIFARE_UL) {
    retry = true;
  } else if (!SelectULCard()) {
    return CompleteCommand(cmd, LastError);
  }
  SetLastError(0, nullptr);
  UINT page = cmd->Page;
  const size_t pages = PageCount(cmd);
  for (size_t i = 0; i < pages;) {
    if (!IsCommandCurrent(cmd)) return false;
    BYTE payload[5] = {BYTE(page)};
    TakeData(cmd->Data, 4 * i, payload + 1, 4);
    if (WriteRequest(*this, kBinWriteUltralightPage, payload, 5)) {
      ++cmd->Done;
      ++page;
      ++i;
      continue;
    }
    if (retry && LastError != E_ABORT) {
      retry = false;
      if (SelectULCard()) continue;
    }
    break;
  }
  HoldAfterCommand();
  return CompleteCommand(cmd, LastError);
}

bool CReader::ReadMifareCBinary(_CMD_MC_INFO* cmd) { return RunMifareBlocks(*this, cmd, false, false); }

bool CReader::WriteMifareCBinary(_CMD_MC_INFO* cmd) { return RunMifareBlocks(*this, cmd, false, true); }

bool CReader::CmdReadMifareUL(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MUL_INFO*>(record);
  cmd->Data.clear();
  switch (reader->Mode) {
    case PM_TEXT:
      return ReadUltralightText(*reader, cmd);
    case PM_BINARY:
      return ReadUltralightBinary(*reader, cmd);
    case PM_CCID:
      return reader->ReadMifareULCcid(cmd);
    default:
      return Refuse(reader, record);
  }
}

bool CReader::CmdWriteMifareUL(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MUL_INFO*>(record);
  switch (reader->Mode) {
    case PM_TEXT:
      return WriteUltralightText(*reader, cmd);
    case PM_BINARY:
      return reader->WriteMifareULBinary(cmd);
    case PM_CCID:
      return reader->WriteMifareULCcid(cmd);
    default:
      return Refuse(reader, record);
  }
}

bool CReader::CmdReadMifareC(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MC_INFO*>(record);
  if (reader->Mode != PM_BINARY && reader->Mode != PM_CCID) return Refuse(reader, record);
  if (BlockCountRefused(reader, cmd)) return false;
  return reader->Mode == PM_BINARY ? reader->ReadMifareCBinary(cmd) : reader->ReadMifareCCcid(cmd);
}

bool CReader::CmdWriteMifareC(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MC_INFO*>(record);
  if (reader->Mode != PM_BINARY && reader->Mode != PM_CCID) return Refuse(reader, record);
  if (BlockCountRefused(reader, cmd)) return false;
  return reader->Mode == PM_BINARY ? reader->WriteMifareCBinary(cmd) : reader->WriteMifareCCcid(cmd);
}

bool CReader::CmdReadMifareP(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MC_INFO*>(record);
  if (reader->Mode != PM_BINARY) return Refuse(reader, record);
  if (BlockCountRefused(reader, cmd)) return false;
  return RunMifareBlocks(*reader, cmd, true, false);
}

bool CReader::CmdWriteMifareP(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_MC_INFO*>(record);
  if (reader->Mode != PM_BINARY) return Refuse(reader, record);
  if (BlockCountRefused(reader, cmd)) return false;
  return RunMifareBlocks(*reader, cmd, true, true);
}

bool CReader::CmdWriteMifareKeys(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_WRITEKEYSM_INFO*>(record);
  if (reader->Mode != PM_BINARY) return Refuse(reader, record);
  if (!reader->IsCommandCurrent(cmd)) return false;
  if (cmd->FirstSlot > UINT(kReaderKeySlots)) {
    reader->SetLastError(E_INVALIDARG, nullptr);
    return reader->CompleteCommand(cmd, E_INVALIDARG);
  }
  UINT slot = cmd->FirstSlot;
  for (size_t i = 0; i < cmd->Keys.size() && slot < UINT(kReaderKeySlots); ++i, ++slot) {
    if (!reader->IsCommandCurrent(cmd)) return false;
    const _AUTHKEY_INFO& key = cmd->Keys[i];
    if (key.Length == 0) continue;
    BYTE payload[18] = {BYTE(slot / 16), BYTE(slot % 16)};
    int length;
    if (key.Length >= 16) {
      memcpy(payload + 2, key.Data, 16);
      length = 18;
    } else {
      // Short keys are sent as Classic keys of six bytes.
      memset(payload + 2, 0xFF, 6);
      memcpy(payload + 2, key.Data, std::min<size_t>(key.Length, 6));
      length = 8;
    }
    int status = 0;
    if (!reader->BinRequest(kBinStoreKey, payload, length, &status, nullptr)) {
      return reader->CompleteCommand(cmd, reader->LastError);
    }
    if (status != kBinStatusOk) {
      reader->SetLastError(VOMBRA_E_READER_ERROR, nullptr);
      return reader->CompleteCommand(cmd, VOMBRA_E_READER_ERROR);
    }
  }
  return reader->CompleteCommand(cmd, 0);
}

bool CReader::CmdSignal(CReader* reader, _CMD_INFO* record) {
  auto* cmd = static_cast<_CMD_SIGN_INFO*>(record);
  if (reader->Mode != PM_BINARY) return Refuse(reader, record);
  if (!reader->IsCommandCurrent(cmd)) return false;
  if (cmd->Restart) reader->StatusFlags &= ~RSF_SIGNAL;
  const BYTE steady = FieldEmpty(*reader) ? kBinSteadyEmpty : kBinSteadyKey;
  if (cmd->Pattern.empty()) {
    reader->BinSignal(steady, 0, nullptr);
    return reader->CompleteCommand(cmd, reader->LastError);
  }
  const bool running = (reader->StatusFlags & RSF_SIGNAL) != 0;
  if (!running) reader->SignalDuration = 0;
  const std::wstring& text = cmd->Pattern;
  size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < text.size() && text[pos] == L' ') ++pos;
  };
  bool first = true;
  while (pos < text.size()) {
    if (!reader->IsCommandCurrent(cmd)) return false;
    BYTE code = (first && cmd->Restart) ? kBinPatternRestart : kBinPatternStep;
    first = false;
    for (int sign = 0; sign < 3; ++sign) {
      skipBlanks();
      if (pos >= text.size()) break;
      code |= BYTE(SignValue(text[pos++]) << (2 * sign));
    }
    skipBlanks();
    UINT64 ms = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
      // Past a day the number means nothing more; capping it keeps the product from overflowing.
      ms = std::min<UINT64>(ms * 10 + UINT64(text[pos] - L'0'), 86400000);
      ++pos;
    }
    if (pos < text.size() && text[pos] == L';') ++pos;
    // The reader takes whole sixteenths of a second in one byte: longer steps play their longest.
    const BYTE time = BYTE(std::min<UINT64>(ms * 16 / 1000, 0xFF));
    BYTE reply = 0;
    if (!reader->BinSignal(code, time, &reply)) break;
    if ((reply & kBinPatternFull) == kBinPatternFull) break;
    reader->SignalDuration += UINT(time) * 1000 / 16;
  }
  if (!running) {
    reader->StatusFlags |= RSF_SIGNAL;
    reader->SignalStart = Ticks();
  }
  return reader->CompleteCommand(cmd, reader->LastError);
}
