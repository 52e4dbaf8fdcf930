// The card-command methods: the keys a reader sees, the continuation of a held scan, the twelve card
// commands posted to a reader's thread, and the status, break and result of the last command.
//
// A command never runs on the caller's thread. The method puts a record into the reader's slot and
// waits for CommandEvent (or returns at once); the reader thread runs the record's handler. A host
// thread that waits is listed in CommandWaits, so that closing the reader releases it and it never
// touches a reader that is gone.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CardGeometry.h"
#include "Core.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "ProtoBinary.h"
#include "Reader.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

constexpr UINT kMifareUlPageBytes = 4;
constexpr UINT kMifareUlPageLimit = 255;  // pages 0..254
constexpr size_t kMifareBlockBytes = 16;
constexpr int kMifareMaxSector = 39;
constexpr int kMifareMaxBlock = 15;
// The largest card has 256 blocks; a longer walk would only wrap over the same blocks again.
constexpr int kMifareMaxCount = 256;
constexpr UINT kTemicBlocks = 8;
constexpr size_t kTemicBlockBytes = 4;
constexpr size_t kPasswordBytes = 8;
constexpr UINT64 kNoPassword = 0xFFFFFFFFFFFFFFFFull;
constexpr UINT kTemicKeyType = 8;

// Every card the commands can meet, by the walks they allow (the held card decides which applies).
constexpr MifareGeometry kMifareGeometries[] = {{5, 20}, {16, 64}, {32, 128}, {40, 256}};

// Hexadecimal text into at most max bytes: "0x" and more digits read from the end, so a number
// written most significant digit first lands least significant byte first.
size_t HexTextToBytes(const wchar_t* text, size_t chars, BYTE* out, size_t max) {
  if (chars > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    return HexToBytesReversed(text + 2, int(chars - 2), out, max);
  return HexToBytes(text, int(chars), out, max);
}

// An argument into n bytes (zeros beyond what it gives); given receives how many bytes it gave.
// False for a type that holds no bytes.
bool VariantToBytes(const tVariant& value, size_t n, std::vector<BYTE>& out, size_t* given) {
  out.assign(n, 0);
  size_t count = 0;
  auto copyNumber = [&](size_t width) {
    count = std::min(width, n);
    for (size_t i = 0; i < count; ++i) out[i] = BYTE(value.ullVal >> (8 * i));
  };
  switch (VariantType(&value)) {
    case VTYPE_EMPTY:
    case VTYPE_NULL:
      break;
    case VTYPE_I2:
    case VTYPE_UI2:
      copyNumber(2);
      break;
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_INT:
    case VTYPE_UINT:
      copyNumber(4);
      break;
    case VTYPE_I1:
    case VTYPE_UI1:
      copyNumber(1);
      break;
    case VTYPE_I8:
    case VTYPE_UI8:
      copyNumber(8);
      break;
    case VTYPE_PSTR:
    case VTYPE_BLOB:
      if (value.pstrVal) {
        count = std::min<size_t>(BlockBytes(value), n);
        if (count) std::memcpy(out.data(), value.pstrVal, count);
      }
      break;
    case VTYPE_PWSTR:
      if (value.pwstrVal && n) count = HexTextToBytes(value.pwstrVal, TextChars(value), out.data(), n);
      break;
    default:
      return false;
  }
  if (given) *given = count;
  return true;
}

// A Password argument: none (all ones) when it is not given.
bool PasswordOf(const tVariant& value, UINT64& password) {
  if (!IsGiven(value)) {
    password = kNoPassword;
    return true;
  }
  std::vector<BYTE> bytes;
  if (!VariantToBytes(value, kPasswordBytes, bytes, nullptr)) return false;
  password = 0;
  for (size_t i = 0; i < kPasswordBytes; ++i) password |= UINT64(bytes[i]) << (8 * i);
  return true;
}

// Whether the zero padding of a Mifare write (the bytes after the given ones) would reach a sector
// trailer on any card whose layout admits the start: an all-zero trailer locks its sector for good.
// The held card is known only to the reader thread, so every layout counts.
bool PaddingReachesTrailer(int sector, int block, int count, size_t given) {
  for (const MifareGeometry& geometry : kMifareGeometries) {
    if (sector >= geometry.Sectors || block > SectorLastBlock(sector)) continue;
    int s = sector, b = block, a = AbsoluteBlock(sector, block);
    if (a >= geometry.Blocks) continue;
    for (int i = 0; i < count; ++i) {
      const bool padded = size_t(i + 1) * kMifareBlockBytes > given;
      if (padded && b == SectorLastBlock(s)) return true;
      NextBlock(geometry, s, b, a);
    }
  }
  return false;
}

// The record's handler by command code.
bool (*HandlerOf(UINT code))(CReader*, _CMD_INFO*) {
  switch (code) {
    case CMD_READ_MIFARE_UL: return &CReader::CmdReadMifareUL;
    case CMD_WRITE_MIFARE_UL: return &CReader::CmdWriteMifareUL;
    case CMD_READ_MIFARE_C: return &CReader::CmdReadMifareC;
    case CMD_WRITE_MIFARE_C: return &CReader::CmdWriteMifareC;
    case CMD_READ_MIFARE_P: return &CReader::CmdReadMifareP;
    case CMD_WRITE_MIFARE_P: return &CReader::CmdWriteMifareP;
    case CMD_WRITE_MIFARE_KEYS: return &CReader::CmdWriteMifareKeys;
    case CMD_SIGNAL: return &CReader::CmdSignal;
    case CMD_INIT_TEMIC: return &CReader::CmdInitTemic;
    case CMD_FIND_TEMIC: return &CReader::CmdFindTemic;
    case CMD_READ_TEMIC: return &CReader::CmdReadTemic;
    case CMD_WRITE_TEMIC: return &CReader::CmdWriteTemic;
    default: return nullptr;
  }
}

// Whether the reader thread has let go of a record the slot and the caller still hold. A broken
// handler keeps appending until its next check; its results are only read once it has returned.
bool HandlerReleased(const std::shared_ptr<_CMD_INFO>& record) {
  const bool released = record.use_count() <= 2;
  // Pairs with the release of the reader thread's reference, so its last writes are visible.
  std::atomic_thread_fence(std::memory_order_acquire);
  return released;
}

}  // namespace

// --- Shared steps --------------------------------------------------------------------------------

void CVombra::WatchCommand(CReader* reader) {
  WaitingReader = nullptr;
  {
    CommandEventUse use(*this);
    if (use.Event()) ResetEvent(use.Event());
  }
  WaitingReader = reader;
}

void CVombra::SignalCommandEvent() {
  CommandEventUse use(*this);
  if (use.Event()) SetEvent(use.Event());
}

void CVombra::PostCommand(CReader* reader, const std::shared_ptr<_CMD_INFO>& record, UINT code, UINT total) {
  record->Command = code;
  record->Done = 0;
  record->Total = total;
  record->Handler = HandlerOf(code);
  reader->Post(record);
}

CVombra::CommandWaitEntry::CommandWaitEntry(CVombra& addin, CReader* reader) : Addin(addin), Wait{reader, false} {
  CCriticalSectionLock lock(&Addin.Lock);
  Addin.CommandWaits.push_back(&Wait);
}

CVombra::CommandWaitEntry::~CommandWaitEntry() {
  CCriticalSectionLock lock(&Addin.Lock);
  auto& waits = Addin.CommandWaits;
  waits.erase(std::remove(waits.begin(), waits.end(), &Wait), waits.end());
}

bool CVombra::AwaitCommand(CommandWaitEntry& entry, UINT timeout, const std::function<void()>& read) {
  const _CMD_INFO* watched = nullptr;
  {
    // The reader is alive while the add-in lock is held and the wait is not marked gone.
    CCriticalSectionLock lock(&Lock);
    if (!entry.Wait.ReaderGone) {
      CCriticalSectionLock readerLock(&entry.Wait.Reader->Lock);
      watched = entry.Wait.Reader->Command.get();
    }
  }
  // Over when the reader is gone, or its command ended, was broken or was replaced.
  WaitCommand(timeout, [&]() {
    CCriticalSectionLock lock(&Lock);
    if (entry.Wait.ReaderGone) return true;
    CReader* reader = entry.Wait.Reader;
    CCriticalSectionLock readerLock(&reader->Lock);
    return reader->CommandStatus != E_PENDING || reader->Command.get() != watched;
  });
  // Under the add-in lock a closing reader cannot go before read is done with it.
  CCriticalSectionLock lock(&Lock);
  if (entry.Wait.ReaderGone) return false;
  CCriticalSectionLock readerLock(&entry.Wait.Reader->Lock);
  read();
  return true;
}

void CVombra::ReleaseCommandWaits(CReader* reader) {
  bool waited = false;
  {
    CCriticalSectionLock lock(&Lock);
    for (_COMMAND_WAIT* wait : CommandWaits) {
      if (reader && wait->Reader != reader) continue;
      wait->ReaderGone = true;
      waited = true;
    }
  }
  if (waited) SignalCommandEvent();
}

// What every posting method does after its own checks: break the running command, post the record,
// wait, and read the outcome. True with the record's results ready for the out parameters; false with
// the last error set.
bool CVombra::RunCommand(CReader* reader, const std::shared_ptr<_CMD_INFO>& record, UINT code, UINT total,
                         UINT timeout) {
  // Listed before the command is posted, so that a Close from now on releases this thread.
  CommandWaitEntry entry(*this, reader);
  reader->BreakCommand();
  WatchCommand(reader);
  PostCommand(reader, record, code, total);
  HRESULT status = E_ABORT;
  const bool present = AwaitCommand(entry, timeout, [&]() {
    // A newer command replaced this one: it was broken.
    if (reader->Command == record) status = reader->CommandStatus;
  });
  if (!present) status = E_ABORT;
  if (status < 0) {
    SetError(status, nullptr);
    return false;
  }
  return true;
}

// --- Methods 34 and 35 ---------------------------------------------------------------------------

bool CVombra::GetKeyInfo(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 8) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_I4};
  if (!CheckArgs(params, count, kTypes, 2)) return true;
  const int32_t index = params[1].lVal;
  if (index < 0) return Refuse();
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;

  bool found = false;
  std::wstring text;
  UINT keyType = 0;
  _KEYNUM_INFO uid{};
  _KEYNUM_INFO number{};
  int32_t info1 = -1, info2 = -1;
  {
    CCriticalSectionLock lock(&reader->Lock);
    if (device->Address != -1) {
      auto record = reader->AddressMap.find(device->Address);
      if (index == 0 && record != reader->AddressMap.end()) {
        found = true;
        keyType = record->second.KeyType;
        uid = record->second.Key;
        text = record->second.Text;
      }
    } else {
      int position = 0;
      for (const _KEY_INFO& key : reader->Keys) {
        // A key whose number is still being read is not there yet for the application.
        if (key.NumberStatus == E_PENDING) continue;
        if (position++ != index) continue;
        found = true;
        text = key.Text;
        keyType = key.KeyType;
        uid = key.Uid;
        if (key.NumberStatus == 0) number = key.Number;
        if (key.NumberStatus == 1) number = key.Uid;
        const UINT flags = key.CardFlags;
        if (keyType == kTemicKeyType) {
          info1 = key.Param;
        } else {
          if ((flags & (CF_ISO14443_4 | CF_PLUS)) == (CF_ISO14443_4 | CF_PLUS)) info1 = (flags & CF_PLUS_X) ? 1 : 0;
          if ((flags & (CF_ISO14443_4 | CF_LEVEL_KNOWN)) == (CF_ISO14443_4 | CF_LEVEL_KNOWN))
            info2 = int32_t((flags & CF_LEVEL) >> 4);
        }
        break;
      }
    }
  }
  if (!found) {
    SetError(VOMBRA_E_NO_KEY, nullptr);
    return true;
  }
  StringToVariant(&params[2], text.c_str());
  SetI4(&params[3], int32_t(keyType));
  BlobToVariant(&params[4], uid.Data, std::min<size_t>(uid.Length, sizeof uid.Data));
  BlobToVariant(&params[5], number.Data, std::min<size_t>(number.Length, sizeof number.Data));
  SetI4(&params[6], info1);
  SetI4(&params[7], info2);
  SetBool(result, true);
  return true;
}

bool CVombra::ContinueScanning(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR};
  if (!CheckArgs(params, count, kTypes, 1)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  device->Reader->ContinueScan();
  SetBool(result, true);
  return true;
}

// --- Methods 36 to 41: Ultralight pages, Classic and Plus blocks ----------------------------------

bool CVombra::MifareULCommand(tVariant* result, tVariant* params, long count, bool write) {
  if (!result || !params || count < 5) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_I4, VTYPE_EMPTY, VTYPE_I4, VTYPE_I4};
  if (!CheckArgs(params, count, kTypes, 5)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  const UINT page = params[1].ulVal;
  if (page >= kMifareUlPageLimit) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  // The count is unsigned: a negative one reads up to the last page.
  const UINT requested = params[3].ulVal;
  const UINT pages = UINT64(page) + requested <= kMifareUlPageLimit ? requested : kMifareUlPageLimit - page;
  if (pages == 0) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  auto record = std::make_shared<_CMD_MUL_INFO>();
  record->Page = page;
  record->Count = int(pages);
  if (write && !VariantToBytes(params[2], size_t(pages) * kMifareUlPageBytes, record->Data, nullptr)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  const UINT code = write ? CMD_WRITE_MIFARE_UL : CMD_READ_MIFARE_UL;
  if (!RunCommand(device->Reader, record, code, pages, params[4].ulVal)) return true;
  if (!write && !IsNullArg(params[2])) BlobToVariant(&params[2], record->Data.data(), record->Data.size());
  SetBool(result, true);
  return true;
}

bool CVombra::MifareBlockCommand(tVariant* result, tVariant* params, long count, bool write, bool plus) {
  // Plus adds the mode flag at 8; timeout and key index move one on.
  const long n = plus ? 11 : 10;
  if (!result || !params || count < n) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kClassic[] = {VTYPE_PWSTR, VTYPE_I4, VTYPE_I4,   VTYPE_EMPTY, VTYPE_I4,
                                          VTYPE_UI4,   VTYPE_BOOL, VTYPE_BOOL, VTYPE_I4,  VTYPE_EMPTY};
  static const VARIANT_TYPE kPlus[] = {VTYPE_PWSTR, VTYPE_I4,   VTYPE_I4,   VTYPE_EMPTY, VTYPE_I4, VTYPE_UI4,
                                       VTYPE_BOOL,  VTYPE_BOOL, VTYPE_BOOL, VTYPE_I4,    VTYPE_EMPTY};
  const UINT optional = plus ? 0x3E0 : 0x1E0;
  if (!CheckArgs(params, count, plus ? kPlus : kClassic, n, optional)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;

  const int sector = params[1].lVal;
  const int block = params[2].lVal;
  const int blocks = params[4].lVal;
  if (sector < 0 || sector > kMifareMaxSector || block < 0 || block > kMifareMaxBlock || blocks < 1 ||
      blocks > kMifareMaxCount) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  const tVariant& keyMask = params[5];
  const tVariant& keyB = params[6];
  const tVariant& skipTrailers = params[7];
  const tVariant& timeoutArg = params[plus ? 9 : 8];
  tVariant& keyIndexOut = params[plus ? 10 : 9];

  auto record = std::make_shared<_CMD_MC_INFO>();
  record->Sector = sector;
  record->Block = block;
  record->Count = blocks;
  if (IsGiven(keyB) && TruthOfFirstByte(keyB)) record->Flags |= MCF_KEY_B;
  if (IsGiven(keyMask) && keyMask.ulVal != 0) record->Flags |= MCF_STORED_KEYS;
  if (plus) {
    record->Flags |= MCF_PLUS_MODE;
    if (IsGiven(params[8]) && !TruthOfFirstByte(params[8])) record->Flags &= ~UINT(MCF_PLUS_MODE);
  }
  record->KeyMask = IsGiven(keyMask) ? keyMask.ulVal : 0;
  record->Key = plus ? AuthKeyMP : AuthKeyMC;
  record->SkipTrailers = IsGiven(skipTrailers) ? skipTrailers.ui8Val : 0;
  record->KeyIndex = -1;
  if (write) {
    size_t given = 0;
    if (!VariantToBytes(params[3], size_t(blocks) * kMifareBlockBytes, record->Data, &given) ||
        (!record->SkipTrailers && PaddingReachesTrailer(sector, block, blocks, given))) {
      SetError(E_INVALIDARG, nullptr);
      return true;
    }
  }
  const UINT timeout = IsGiven(timeoutArg) ? timeoutArg.ulVal : INFINITE;
  const UINT code = plus ? (write ? CMD_WRITE_MIFARE_P : CMD_READ_MIFARE_P)
                         : (write ? CMD_WRITE_MIFARE_C : CMD_READ_MIFARE_C);
  if (!RunCommand(device->Reader, record, code, UINT(blocks), timeout)) return true;
  if (!write && !IsNullArg(params[3])) BlobToVariant(&params[3], record->Data.data(), record->Data.size());
  if (!IsNullArg(keyIndexOut)) SetI4(&keyIndexOut, record->KeyIndex);
  SetBool(result, true);
  return true;
}

bool CVombra::ReadMifareUL(tVariant* result, tVariant* params, long count) {
  return MifareULCommand(result, params, count, false);
}
bool CVombra::WriteMifareUL(tVariant* result, tVariant* params, long count) {
  return MifareULCommand(result, params, count, true);
}
bool CVombra::ReadMifareC(tVariant* result, tVariant* params, long count) {
  return MifareBlockCommand(result, params, count, false, false);
}
bool CVombra::WriteMifareC(tVariant* result, tVariant* params, long count) {
  return MifareBlockCommand(result, params, count, true, false);
}
bool CVombra::ReadMifareP(tVariant* result, tVariant* params, long count) {
  return MifareBlockCommand(result, params, count, false, true);
}
bool CVombra::WriteMifareP(tVariant* result, tVariant* params, long count) {
  return MifareBlockCommand(result, params, count, true, true);
}

// --- Methods 42 and 43: keys into the reader, signal patterns -------------------------------------

bool CVombra::WriteMifareKeysToReader(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 5) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_I4, VTYPE_EMPTY, VTYPE_BOOL, VTYPE_I4};
  if (!CheckArgs(params, count, kTypes, 5, 0x8)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  const size_t length = IsGiven(params[3]) && TruthOfFirstByte(params[3]) ? 16 : 6;

  auto record = std::make_shared<_CMD_WRITEKEYSM_INFO>();
  const tVariant& keys = params[2];
  switch (VariantType(&keys)) {
    case VTYPE_EMPTY:
    case VTYPE_NULL:
      break;
    case VTYPE_PWSTR: {
      const std::wstring text = TextByLength(keys);
      size_t p = 0;
      while (p < text.size()) {
        size_t stop = text.find(L';', p);
        if (stop == std::wstring::npos) stop = text.size();
        // Blanks around a piece do not make it a key; a blank piece keeps its slot unwritten.
        size_t first = p, last = stop;
        while (first < last && text[first] == L' ') ++first;
        while (last > first && text[last - 1] == L' ') --last;
        _AUTHKEY_INFO key{};
        if (first < last) {
          key.Length = BYTE(length);
          HexTextToBytes(text.c_str() + first, last - first, key.Data, sizeof key.Data);
        }
        record->Keys.push_back(key);
        if (stop == text.size()) break;
        // A last ';' (blanks after it included) adds no key.
        p = stop + 1;
        while (p < text.size() && text[p] == L' ') ++p;
      }
      break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB: {
      // A shorter last run is dropped: reading on would go beyond the argument.
      const BYTE* bytes = reinterpret_cast<const BYTE*>(keys.pstrVal);
      const size_t size = BlockBytes(keys);
      for (size_t at = 0; at + length <= size; at += length) {
        _AUTHKEY_INFO key{};
        key.Length = BYTE(length);
        std::memcpy(key.Data, bytes + at, length);
        record->Keys.push_back(key);
      }
      break;
    }
    default:
      return Refuse();
  }
  record->FirstSlot = params[1].ulVal;
  const UINT total = UINT(record->Keys.size());
  if (!RunCommand(device->Reader, record, CMD_WRITE_MIFARE_KEYS, total, params[4].ulVal)) return true;
  SetBool(result, true);
  return true;
}

bool CVombra::Signal(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 3) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_BOOL};
  if (!CheckArgs(params, count, kTypes, 3, 0x2)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  reader->BreakCommand();
  const tVariant& pattern = params[1];
  if (IsGiven(pattern) && VariantType(&pattern) != VTYPE_PWSTR) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  auto record = std::make_shared<_CMD_SIGN_INFO>();
  if (IsGiven(pattern)) record->Pattern = TextByLength(pattern);
  record->Restart = params[2].ui8Val;
  // A signal is not waited for and leaves WaitingReader alone: a method still waiting on this reader
  // (its command broken just now) is released when the signal ends.
  PostCommand(reader, record, CMD_SIGNAL, 1);
  SetBool(result, true);
  return true;
}

// --- Methods 44 to 47: Temic transponders ---------------------------------------------------------

bool CVombra::InitializeTemic(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 2) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 2)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  auto record = std::make_shared<_CMD_INFO>();
  if (!RunCommand(device->Reader, record, CMD_INIT_TEMIC, 1, params[1].ulVal)) return true;
  SetBool(result, true);
  return true;
}

bool CVombra::FindTemic(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_BOOL, VTYPE_EMPTY, VTYPE_I4, VTYPE_EMPTY, VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 6)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  auto record = std::make_shared<_CMD_FINDTEMIC_INFO>();
  if (!PasswordOf(params[4], record->Password)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  record->Mode = TruthOfFirstByte(params[1]) ? 2 : 0;
  record->Parameter = params[3].ulVal;
  if (!RunCommand(device->Reader, record, CMD_FIND_TEMIC, 1, params[5].ulVal)) return true;
  if (!IsNullArg(params[2]))
    BlobToVariant(&params[2], record->Id.Data, std::min<size_t>(record->Id.Length, sizeof record->Id.Data));
  if (!IsNullArg(params[3])) SetI4(&params[3], int32_t(record->Parameter));
  SetBool(result, true);
  return true;
}

bool CVombra::ReadTemic(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 7) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_I4, VTYPE_EMPTY, VTYPE_I4,
                                        VTYPE_I4,    VTYPE_EMPTY, VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 7)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  // A transponder has blocks 0 to 7; the count is cut to the blocks left.
  const UINT block = params[1].ulVal;
  const int32_t requested = params[3].lVal;
  if (block >= kTemicBlocks || requested < 1) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  const UINT blocks = std::min(UINT(requested), kTemicBlocks - block);
  auto record = std::make_shared<_CMD_RWTEMIC_INFO>();
  if (!PasswordOf(params[5], record->Password)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  record->Block = block;
  record->Count = blocks;
  record->Parameter = params[4].ulVal;
  record->Lock = 0;
  const UINT total = blocks + (params[4].lVal < 0 ? 1 : 0);
  if (!RunCommand(device->Reader, record, CMD_READ_TEMIC, total, params[6].ulVal)) return true;
  if (!IsNullArg(params[2])) BlobToVariant(&params[2], record->Data.data(), record->Data.size());
  if (!IsNullArg(params[4])) SetI4(&params[4], int32_t(record->Parameter));
  SetBool(result, true);
  return true;
}

bool CVombra::WriteTemic(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 8) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_I4,    VTYPE_EMPTY, VTYPE_I4,
                                        VTYPE_I4,    VTYPE_EMPTY, VTYPE_BOOL,  VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 8)) return true;
  const _DEVICEID_INFO* device = FindCommandDevice(params[0]);
  if (!device) return true;
  const int32_t block = params[1].lVal;
  const int32_t requested = params[3].lVal;
  if (block < 0 || block >= int32_t(kTemicBlocks)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  const int32_t blocks = INT64(block) + requested <= kTemicBlocks ? requested : int32_t(kTemicBlocks) - block;
  if (blocks < 1) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  auto record = std::make_shared<_CMD_RWTEMIC_INFO>();
  if (!VariantToBytes(params[2], size_t(blocks) * kTemicBlockBytes, record->Data, nullptr) ||
      !PasswordOf(params[5], record->Password)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  record->Block = UINT(block);
  record->Count = UINT(blocks);
  record->Parameter = params[4].ulVal;
  record->Lock = params[6].ui8Val;
  if (!RunCommand(device->Reader, record, CMD_WRITE_TEMIC, UINT(blocks), params[7].ulVal)) return true;
  SetBool(result, true);
  return true;
}

// --- Methods 48 to 50: following a command --------------------------------------------------------

bool CVombra::GetCommandStatus(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 6)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  const UINT timeout = params[5].ulVal;

  HRESULT status = 0;
  UINT code = 0, done = 0, total = 0;
  auto read = [&]() {
    status = reader->CommandStatus;
    if (reader->Command) {
      code = reader->Command->Command;
      done = reader->Command->Done;
      total = reader->Command->Total;
    }
  };
  bool taken = false;
  if (timeout != 0) {
    CommandWaitEntry entry(*this, reader);
    WatchCommand(reader);
    HRESULT now;
    {
      CCriticalSectionLock lock(&reader->Lock);
      now = reader->CommandStatus;
    }
    if (now != E_PENDING) {
      WaitingReader = nullptr;
    } else if (!AwaitCommand(entry, timeout, read)) {
      // Closed while this call waited.
      SetError(VOMBRA_E_NOT_OPENED, nullptr);
      return true;
    } else {
      taken = true;
    }
  }
  if (!taken) {
    CCriticalSectionLock lock(&reader->Lock);
    read();
  }
  if (!IsNullArg(params[1])) SetUI4(&params[1], code);
  if (!IsNullArg(params[2])) SetI4(&params[2], status);
  if (!IsNullArg(params[3])) SetUI4(&params[3], done);
  if (!IsNullArg(params[4])) SetUI4(&params[4], total);
  SetBool(result, true);
  return true;
}

bool CVombra::BreakCommand(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR};
  if (!CheckArgs(params, count, kTypes, 1)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  reader->BreakCommand();
  // The handler may be in a pause that only a wake cuts short.
  reader->Wake();
  // A broken command completes nothing; a host thread waiting for it would otherwise wait for ever.
  if (WaitingReader.load() == reader) SignalCommandEvent();
  SetBool(result, true);
  return true;
}

bool CVombra::GetCommandResult(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 4) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_UI4};
  if (!CheckArgs(params, count, kTypes, 2)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  std::shared_ptr<_CMD_INFO> record;
  HRESULT status;
  {
    CCriticalSectionLock lock(&reader->Lock);
    record = reader->Command;
    status = reader->CommandStatus;
  }
  std::vector<BYTE> data;
  int32_t value = -1;
  const UINT code = params[1].ulVal;
  // The handler writes the results without a lock: they are read once it has finished with them.
  const bool settled = record && status != E_PENDING && (status != E_ABORT || HandlerReleased(record));
  if (settled && record->Command == code) {
    switch (code) {
      case CMD_READ_MIFARE_UL:
      case CMD_WRITE_MIFARE_UL:
        data = static_cast<_CMD_MUL_INFO*>(record.get())->Data;
        break;
      case CMD_READ_MIFARE_C:
      case CMD_WRITE_MIFARE_C:
      case CMD_READ_MIFARE_P:
      case CMD_WRITE_MIFARE_P: {
        const _CMD_MC_INFO* blocks = static_cast<_CMD_MC_INFO*>(record.get());
        data = blocks->Data;
        value = blocks->KeyIndex;
        break;
      }
      case CMD_FIND_TEMIC: {
        const _KEYNUM_INFO& id = static_cast<_CMD_FINDTEMIC_INFO*>(record.get())->Id;
        data.assign(id.Data, id.Data + std::min<size_t>(id.Length, sizeof id.Data));
        break;
      }
      case CMD_READ_TEMIC:
      case CMD_WRITE_TEMIC: {
        const _CMD_RWTEMIC_INFO* blocks = static_cast<_CMD_RWTEMIC_INFO*>(record.get());
        data = blocks->Data;
        value = int32_t(blocks->Parameter);
        break;
      }
      default:
        break;
    }
  }
  if (!IsNullArg(params[2])) BlobToVariant(&params[2], data.data(), data.size());
  if (!IsNullArg(params[3])) SetI4(&params[3], value);
  SetBool(result, true);
  return true;
}
