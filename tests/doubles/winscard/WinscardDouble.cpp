// The winscard.dll test double: one simulated smart-card service inside the test process. Its rules
// follow the Windows resource manager where the engine depends on them:
//  - a status wait returns at once when any watched entry's state differs from its current state
//    (SCARD_STATE_UNAWARE always differs), else it blocks until a change, SCardCancel or its time-out;
//  - SCardCancel ends only waits that have already begun; a cancel sent earlier is lost;
//  - a reader the service does not know reads SCARD_STATE_UNKNOWN | CHANGED | IGNORE, and an entry
//    whose current state holds SCARD_STATE_IGNORE is left out of the watching;
//  - the upper 16 bits of an event state count the card insertions and removals of that reader, and
//    the \\?PnP?\Notification entry's upper 16 bits the number of readers;
//  - a connected card adds SCARD_STATE_INUSE to its reader's state;
//  - a virtual contactless card answers as PC/SC readers do for storage cards: 90 00 on success, 6A 81
//    for a function it lacks, 6A 82 past its memory, 67 00 for a wrong length, 63 00 for a refused
//    authentication and 69 82 for a Classic block of a sector not authenticated; a reset (disconnect
//    or a new connection) forgets the authentication. A scripted reply comes before all of this.
// This file defines the data exports that <winscard.h> (also pulled in by <windows.h>) declares as
// imported ones.
#define WINSCARDDATA
#include <windows.h>
#include <winscard.h>

#include "WinscardDouble.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

const wchar_t kPnpNotification[] = L"\\\\?PnP?\\Notification";

struct Card {
  std::vector<BYTE> atr;
  DWORD protocol = SCARD_PROTOCOL_T1;
  std::map<std::vector<BYTE>, std::vector<BYTE>> replies;
  UINT64 serial = 0;  // tells a card from the one that was on the reader before
  bool hasUid = false;
  std::vector<BYTE> uid;
  DWORD unit = 0;  // 0 no memory, 4 Ultralight pages, 16 Classic blocks
  std::vector<BYTE> memory;
  std::map<DWORD, std::vector<BYTE>> sectorKeys;  // Classic sectors whose key is not FF x 6
  int authenticated = -1;                          // the Classic sector opened since the last reset
};

struct Reader {
  std::wstring name;
  bool hasCard = false;
  Card card;
  DWORD events = 0;  // insertions and removals, the upper word of the event state
  std::map<BYTE, std::vector<BYTE>> loadedKeys;  // the reader's key slots (FF 82)
  Card next;  // what the next card inserted holds besides its ATR (set while the reader is empty)
};

// The card that a set-up command of the test changes: the one on the reader, else the next one.
Card& Target(Reader& reader) { return reader.hasCard ? reader.card : reader.next; }

struct Connection {
  std::wstring reader;
  UINT64 cardSerial;
  DWORD protocol;
};

struct Wait {
  SCARDCONTEXT context;
  UINT64 version;  // the world version it blocked at
  LONG result = SCARD_S_SUCCESS;
  bool ended = false;
};

// Everything below is guarded by g_lock; g_changed wakes blocked waits and the test's WAIT_ commands.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;

struct World {
  bool serviceRunning = true;
  bool holdWaits = false;
  UINT64 version = 1;  // bumped by every change a status wait could report
  UINT64 nextSerial = 1;
  ULONG_PTR nextHandle = 0x5C000;
  std::vector<Reader> readers;
  std::set<SCARDCONTEXT> contexts;
  std::map<SCARDHANDLE, Connection> connections;
  std::set<void*> allocations;
  std::vector<Wait*> waits;
  LONG held = 0;
  WINSCARD_DOUBLE_COUNTERS counters{};
  DWORD failCall = 0;
  LONG failResult = SCARD_S_SUCCESS;
  DWORD failCount = 0;
  std::vector<std::vector<BYTE>> transcript;
};
// The readers named in WINSCARD_DOUBLE_READERS (separated by ";") are plugged from the start: a program
// that cannot drive the double itself (the configurator in the screen tour) still finds readers.
World* NewWorld() {
  World* world = new World;
  wchar_t names[1024] = L"";
  const DWORD length = GetEnvironmentVariableW(L"WINSCARD_DOUBLE_READERS", names, 1024);
  if (length == 0 || length >= 1024) return world;
  for (const wchar_t* start = names; *start;) {
    const wchar_t* end = wcschr(start, L';');
    const std::wstring name(start, end ? size_t(end - start) : wcslen(start));
    const bool known = std::any_of(world->readers.begin(), world->readers.end(),
                                   [&](const Reader& reader) { return reader.name == name; });
    if (!name.empty() && !known) {
      world->readers.emplace_back();
      world->readers.back().name = name;
    }
    if (!end) break;
    start = end + 1;
  }
  return world;
}

World* g_world = NewWorld();  // never freed: threads of the test may still call in at process exit

class Guard {
 public:
  Guard() { AcquireSRWLockExclusive(&g_lock); }
  ~Guard() { ReleaseSRWLockExclusive(&g_lock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

void Changed() {
  ++g_world->version;
  WakeAllConditionVariable(&g_changed);
}

Reader* FindReader(const wchar_t* name) {
  if (!name) return nullptr;
  for (Reader& reader : g_world->readers)
    if (reader.name == name) return &reader;
  return nullptr;
}

// SCARD_S_SUCCESS for a live context; otherwise what Windows answers for a dead one.
LONG CheckContext(SCARDCONTEXT context) {
  if (!g_world->serviceRunning) return SCARD_E_SERVICE_STOPPED;
  return g_world->contexts.count(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

DWORD ReaderState(const wchar_t* name, std::vector<BYTE>* atr) {
  const Reader* reader = FindReader(name);
  if (!reader) return SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;
  DWORD state = reader->events << 16;
  if (!reader->hasCard) return state | SCARD_STATE_EMPTY;
  state |= SCARD_STATE_PRESENT;
  for (const auto& connection : g_world->connections)
    if (connection.second.reader == reader->name && connection.second.cardSerial == reader->card.serial) {
      state |= SCARD_STATE_INUSE;
      break;
    }
  if (atr) *atr = reader->card.atr;
  return state;
}

// Fills the event states; true when any entry has something to report.
bool Survey(SCARD_READERSTATEW* states, DWORD count) {
  bool any = false;
  for (DWORD i = 0; i < count; ++i) {
    SCARD_READERSTATEW& entry = states[i];
    if (entry.dwCurrentState & SCARD_STATE_IGNORE) {
      entry.dwEventState = entry.dwCurrentState & ~SCARD_STATE_CHANGED;
      continue;
    }
    DWORD state;
    std::vector<BYTE> atr;
    if (entry.szReader && wcscmp(entry.szReader, kPnpNotification) == 0)
      state = (DWORD)g_world->readers.size() << 16;  // the number of readers, as Windows reports it
    else
      state = ReaderState(entry.szReader, &atr);
    const DWORD current = entry.dwCurrentState & ~SCARD_STATE_CHANGED;
    const bool changed = entry.dwCurrentState == SCARD_STATE_UNAWARE || state != current;
    entry.dwEventState = state | (changed ? SCARD_STATE_CHANGED : 0);
    entry.cbAtr = (DWORD)std::min<size_t>(atr.size(), sizeof entry.rgbAtr);
    if (!atr.empty()) memcpy(entry.rgbAtr, atr.data(), entry.cbAtr);
    any = any || changed;
  }
  return any;
}

bool WaitUntil(DWORD timeout, bool (*done)(DWORD), DWORD value) {
  const ULONGLONG deadline = GetTickCount64() + timeout;
  while (!done(value)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    SleepConditionVariableSRW(&g_changed, &g_lock, (DWORD)(deadline - now), 0);
  }
  return true;
}

bool IsIdle(DWORD) {
  for (const Wait* wait : g_world->waits)
    if (!wait->ended && wait->version == g_world->version) return true;
  return false;
}
bool IsHeld(DWORD) { return g_world->held > 0; }
bool HasCancels(DWORD count) { return g_world->counters.Cancels >= (LONG)count; }

void EndWaits(LONG result, bool (*which)(const Wait&, SCARDCONTEXT), SCARDCONTEXT context) {
  for (Wait* wait : g_world->waits)
    if (!wait->ended && which(*wait, context)) {
      wait->ended = true;
      wait->result = result;
    }
  WakeAllConditionVariable(&g_changed);
}
bool AnyWait(const Wait&, SCARDCONTEXT) { return true; }
bool WaitOn(const Wait& wait, SCARDCONTEXT context) { return wait.context == context; }

void* Allocate(size_t bytes) {
  void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
  if (block) {
    g_world->allocations.insert(block);
    g_world->counters.Allocations = (LONG)g_world->allocations.size();
  }
  return block;
}

// Copies a multi-string into the caller's buffer, or into a block of ours for SCARD_AUTOALLOCATE.
LONG ReturnMultiString(const std::wstring& text, LPWSTR out, LPDWORD chars) {
  if (!chars) return SCARD_E_INVALID_PARAMETER;
  const DWORD needed = (DWORD)text.size();
  if (*chars == SCARD_AUTOALLOCATE) {
    if (!out) return SCARD_E_INVALID_PARAMETER;
    wchar_t* block = (wchar_t*)Allocate(needed * sizeof(wchar_t));
    if (!block) return SCARD_E_NO_MEMORY;
    memcpy(block, text.data(), needed * sizeof(wchar_t));
    *(wchar_t**)out = block;
    *chars = needed;
    return SCARD_S_SUCCESS;
  }
  if (!out) {
    *chars = needed;
    return SCARD_S_SUCCESS;
  }
  if (*chars < needed) {
    *chars = needed;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  memcpy(out, text.data(), needed * sizeof(wchar_t));
  *chars = needed;
  return SCARD_S_SUCCESS;
}

// The connection behind a handle, with its card still on the reader.
LONG FindCard(SCARDHANDLE handle, Connection** connection, Reader** reader) {
  if (!g_world->serviceRunning) return SCARD_E_SERVICE_STOPPED;
  auto found = g_world->connections.find(handle);
  if (found == g_world->connections.end()) return SCARD_E_INVALID_HANDLE;
  Reader* on = FindReader(found->second.reader.c_str());
  if (!on) return SCARD_E_READER_UNAVAILABLE;
  if (!on->hasCard || on->card.serial != found->second.cardSerial) return SCARD_W_REMOVED_CARD;
  *connection = &found->second;
  *reader = on;
  return SCARD_S_SUCCESS;
}

// The scripted failure of this call, if one is due.
bool FailingCall(DWORD call, LONG* result) {
  World& w = *g_world;
  if (w.failCall != call || w.failCount == 0) return false;
  --w.failCount;
  *result = w.failResult;
  return true;
}

// The Classic sector of an absolute block: 4 blocks per sector below block 128, 16 from there on.
int ClassicSector(DWORD block) { return block < 128 ? int(block / 4) : int(32 + (block - 128) / 16); }

std::vector<BYTE> Status(BYTE sw1, BYTE sw2) { return {sw1, sw2}; }

// What a virtual contactless card (and its reader) answers to a PC/SC storage-card command.
std::vector<BYTE> VirtualCard(Reader& reader, const BYTE* apdu, DWORD n) {
  Card& card = reader.card;
  if (n < 5 || apdu[0] != 0xFF) return Status(0x6D, 0x00);
  const BYTE ins = apdu[1];
  const DWORD block = apdu[3];
  if (ins == 0xCA) {
    if (n != 5 || apdu[2] != 0x00 || apdu[3] != 0x00) return Status(0x6A, 0x81);
    if (!card.hasUid) return Status(0x6A, 0x81);
    std::vector<BYTE> reply = card.uid;
    reply.push_back(0x90);
    reply.push_back(0x00);
    return reply;
  }
  if (ins == 0x82) {
    if (n != 11 || apdu[4] != 6) return Status(0x67, 0x00);
    reader.loadedKeys[apdu[3]].assign(apdu + 5, apdu + 11);
    return Status(0x90, 0x00);
  }
  if (ins == 0x86) {
    if (n != 10 || apdu[4] != 5 || apdu[5] != 0x01) return Status(0x67, 0x00);
    if (card.unit != 16) return Status(0x6A, 0x81);
    const DWORD target = apdu[7];
    if ((apdu[8] != 0x60 && apdu[8] != 0x61) || (target + 1) * 16 > card.memory.size()) return Status(0x6A, 0x82);
    auto loaded = reader.loadedKeys.find(apdu[9]);
    const int sector = ClassicSector(target);
    auto own = card.sectorKeys.find(DWORD(sector));
    const std::vector<BYTE> key = own != card.sectorKeys.end() ? own->second : std::vector<BYTE>(6, 0xFF);
    if (loaded == reader.loadedKeys.end() || loaded->second != key) {
      card.authenticated = -1;
      return Status(0x63, 0x00);
    }
    card.authenticated = sector;
    return Status(0x90, 0x00);
  }
  if (ins == 0xB0 || ins == 0xD6) {
    if (card.unit == 0) return Status(0x6A, 0x81);
    const size_t offset = block * card.unit;
    const bool read = ins == 0xB0;
    const size_t length = apdu[4];
    if (read ? n != 5 || length == 0 : n != 5 + length || length != card.unit) return Status(0x67, 0x00);
    if (offset + length > card.memory.size()) return Status(0x6A, 0x82);
    if (card.unit == 16 && card.authenticated != ClassicSector(block)) return Status(0x69, 0x82);
    if (!read) {
      memcpy(card.memory.data() + offset, apdu + 5, length);
      return Status(0x90, 0x00);
    }
    std::vector<BYTE> reply(card.memory.begin() + offset, card.memory.begin() + offset + length);
    reply.push_back(0x90);
    reply.push_back(0x00);
    return reply;
  }
  return Status(0x6D, 0x00);
}

LONG Control(WINSCARD_DOUBLE_REQUEST* request) {
  Guard guard;
  World& w = *g_world;
  Reader* reader = FindReader(request->Reader);
  switch (request->Command) {
    case WSD_RESET: {
      EndWaits(SCARD_E_CANCELLED, AnyWait, 0);
      for (void* block : w.allocations) HeapFree(GetProcessHeap(), 0, block);
      w.allocations.clear();
      w.readers.clear();
      w.contexts.clear();
      w.connections.clear();
      w.serviceRunning = true;
      w.holdWaits = false;
      w.counters = WINSCARD_DOUBLE_COUNTERS{};
      w.failCount = 0;
      w.transcript.clear();
      Changed();
      return SCARD_S_SUCCESS;
    }
    case WSD_PLUG_READER:
      if (!request->Reader || !*request->Reader || reader) return SCARD_E_INVALID_PARAMETER;
      w.readers.emplace_back();
      w.readers.back().name = request->Reader;
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_UNPLUG_READER:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      w.readers.erase(w.readers.begin() + (reader - w.readers.data()));
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_INSERT_CARD:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if (reader->hasCard || request->DataLength < 1 || request->DataLength > 36)
        return SCARD_E_INVALID_PARAMETER;
      reader->hasCard = true;
      reader->card = reader->next;
      reader->next = Card{};
      reader->card.atr.assign(request->Data, request->Data + request->DataLength);
      reader->card.protocol = request->Value ? request->Value : SCARD_PROTOCOL_T1;
      reader->card.serial = w.nextSerial++;
      ++reader->events;
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_REMOVE_CARD:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if (!reader->hasCard) return SCARD_E_NO_SMARTCARD;
      reader->hasCard = false;
      ++reader->events;
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_SCRIPT_APDU:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      Target(*reader).replies[std::vector<BYTE>(request->Data, request->Data + request->DataLength)] =
          std::vector<BYTE>(request->Reply, request->Reply + request->ReplyLength);
      return SCARD_S_SUCCESS;
    case WSD_SET_SERVICE:
      if (request->Value == 0 && w.serviceRunning) {
        w.serviceRunning = false;
        w.contexts.clear();
        w.connections.clear();
        w.counters.OpenContexts = 0;
        w.counters.OpenCards = 0;
        EndWaits(SCARD_E_SERVICE_STOPPED, AnyWait, 0);
      } else if (request->Value != 0) {
        w.serviceRunning = true;
      }
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_INVALIDATE_CONTEXTS:
      w.contexts.clear();
      w.connections.clear();
      w.counters.OpenContexts = 0;
      w.counters.OpenCards = 0;
      EndWaits(SCARD_E_INVALID_HANDLE, AnyWait, 0);
      Changed();
      return SCARD_S_SUCCESS;
    case WSD_HOLD_WAITS:
      w.holdWaits = request->Value != 0;
      WakeAllConditionVariable(&g_changed);
      return SCARD_S_SUCCESS;
    case WSD_CANCEL_ALL:
      EndWaits(SCARD_E_CANCELLED, AnyWait, 0);
      return SCARD_S_SUCCESS;
    case WSD_WAIT_IDLE:
      return WaitUntil(request->Timeout, IsIdle, 0) ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
    case WSD_WAIT_HELD:
      return WaitUntil(request->Timeout, IsHeld, 0) ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
    case WSD_WAIT_CANCELS:
      return WaitUntil(request->Timeout, HasCancels, request->Value) ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
    case WSD_SET_UID:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if (request->DataLength > 32) return SCARD_E_INVALID_PARAMETER;
      Target(*reader).hasUid = true;
      Target(*reader).uid.assign(request->Data, request->Data + request->DataLength);
      return SCARD_S_SUCCESS;
    case WSD_SET_MEMORY:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if ((request->Value != 4 && request->Value != 16) || request->DataLength % request->Value)
        return SCARD_E_INVALID_PARAMETER;
      Target(*reader).unit = request->Value;
      Target(*reader).memory.assign(request->Data, request->Data + request->DataLength);
      return SCARD_S_SUCCESS;
    case WSD_SET_SECTOR_KEY:
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if (request->DataLength != 6) return SCARD_E_INVALID_PARAMETER;
      Target(*reader).sectorKeys[request->Value].assign(request->Data, request->Data + 6);
      return SCARD_S_SUCCESS;
    case WSD_GET_MEMORY: {
      if (!reader) return SCARD_E_UNKNOWN_READER;
      if (!reader->hasCard) return SCARD_E_NO_SMARTCARD;
      const std::vector<BYTE>& memory = reader->card.memory;
      if (!request->Output || request->OutputLength < memory.size()) return SCARD_E_INSUFFICIENT_BUFFER;
      if (!memory.empty()) memcpy(request->Output, memory.data(), memory.size());
      request->OutputLength = (DWORD)memory.size();
      return SCARD_S_SUCCESS;
    }
    case WSD_FAIL_CALLS:
      w.failCall = request->Call;
      w.failResult = (LONG)request->Value;
      w.failCount = request->Count;
      return SCARD_S_SUCCESS;
    case WSD_TAKE_TRANSCRIPT: {
      DWORD used = 0;
      for (const std::vector<BYTE>& apdu : w.transcript) {
        if (!request->Output || apdu.size() > 255 || used + 1 + apdu.size() > request->OutputLength)
          return SCARD_E_INSUFFICIENT_BUFFER;
        request->Output[used] = (BYTE)apdu.size();
        if (!apdu.empty()) memcpy(request->Output + used + 1, apdu.data(), apdu.size());
        used += 1 + (DWORD)apdu.size();
      }
      request->OutputLength = used;
      w.transcript.clear();
      return SCARD_S_SUCCESS;
    }
    case WSD_GET_COUNTERS:
      request->Counters = w.counters;
      request->Counters.BlockedWaits = 0;
      for (const Wait* wait : w.waits)
        if (!wait->ended) ++request->Counters.BlockedWaits;
      return SCARD_S_SUCCESS;
  }
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace

extern "C" {

LONG WINAPI WinscardDoubleControl(WINSCARD_DOUBLE_REQUEST* request) {
  return request ? Control(request) : SCARD_E_INVALID_PARAMETER;
}

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  if (!context) return SCARD_E_INVALID_PARAMETER;
  if (scope > SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
  Guard guard;
  if (!g_world->serviceRunning) return SCARD_E_NO_SERVICE;
  *context = g_world->nextHandle++;
  g_world->contexts.insert(*context);
  ++g_world->counters.Establishes;
  g_world->counters.OpenContexts = (LONG)g_world->contexts.size();
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
  Guard guard;
  const LONG result = CheckContext(context);
  if (result != SCARD_S_SUCCESS) return result;
  g_world->contexts.erase(context);
  EndWaits(SCARD_E_INVALID_HANDLE, WaitOn, context);
  ++g_world->counters.Releases;
  g_world->counters.OpenContexts = (LONG)g_world->contexts.size();
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) {
  Guard guard;
  return CheckContext(context);
}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
  Guard guard;
  ++g_world->counters.Cancels;
  WakeAllConditionVariable(&g_changed);  // for WSD_WAIT_CANCELS
  const LONG result = CheckContext(context);
  if (result != SCARD_S_SUCCESS) return result;
  EndWaits(SCARD_E_CANCELLED, WaitOn, context);
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT context, LPCWSTR, LPWSTR readers, LPDWORD chars) {
  Guard guard;
  if (!g_world->serviceRunning) return SCARD_E_NO_SERVICE;
  // Windows lists readers without a context too.
  if (context != 0 && !g_world->contexts.count(context)) return SCARD_E_INVALID_HANDLE;
  if (g_world->readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
  std::wstring list;
  for (const Reader& reader : g_world->readers) {
    list += reader.name;
    list += L'\0';
  }
  list += L'\0';
  return ReturnMultiString(list, readers, chars);
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID memory) {
  Guard guard;
  auto found = g_world->allocations.find(const_cast<void*>(memory));
  if (found == g_world->allocations.end()) return SCARD_E_INVALID_PARAMETER;
  HeapFree(GetProcessHeap(), 0, *found);
  g_world->allocations.erase(found);
  g_world->counters.Allocations = (LONG)g_world->allocations.size();
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEW states, DWORD count) {
  Guard guard;
  World& w = *g_world;
  ++w.counters.StatusCalls;
  LONG result = CheckContext(context);
  if (result != SCARD_S_SUCCESS) return result;
  if (count && !states) return SCARD_E_INVALID_PARAMETER;
  if (w.holdWaits) {
    ++w.held;
    WakeAllConditionVariable(&g_changed);
    while (w.holdWaits) SleepConditionVariableSRW(&g_changed, &g_lock, INFINITE, 0);
    --w.held;
    result = CheckContext(context);
    if (result != SCARD_S_SUCCESS) return result;
  }
  const ULONGLONG deadline = timeout == INFINITE ? 0 : GetTickCount64() + timeout;
  auto wait = std::make_unique<Wait>();
  wait->context = context;
  w.waits.push_back(wait.get());
  for (;;) {
    if (Survey(states, count)) break;
    wait->version = w.version;
    WakeAllConditionVariable(&g_changed);  // for WSD_WAIT_IDLE
    DWORD slice = INFINITE;
    if (timeout != INFINITE) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        wait->ended = true;
        wait->result = SCARD_E_TIMEOUT;
        break;
      }
      slice = (DWORD)(deadline - now);
    }
    const UINT64 seen = w.version;
    while (!wait->ended && w.version == seen) {
      if (!SleepConditionVariableSRW(&g_changed, &g_lock, slice, 0) && timeout != INFINITE) break;
    }
    if (wait->ended) break;
  }
  w.waits.erase(std::find(w.waits.begin(), w.waits.end(), wait.get()));
  return wait->ended ? wait->result : SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectW(SCARDCONTEXT context, LPCWSTR name, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD active) {
  Guard guard;
  LONG result = CheckContext(context);
  if (result != SCARD_S_SUCCESS) return result;
  if (FailingCall(WSD_CALL_CONNECT, &result)) return result;
  if (!name || !card || !active) return SCARD_E_INVALID_PARAMETER;
  if (share != SCARD_SHARE_SHARED && share != SCARD_SHARE_EXCLUSIVE) return SCARD_E_INVALID_VALUE;
  Reader* reader = FindReader(name);
  if (!reader) return SCARD_E_UNKNOWN_READER;
  if (!reader->hasCard) return SCARD_E_NO_SMARTCARD;
  if (!(protocols & reader->card.protocol)) return SCARD_E_PROTO_MISMATCH;
  *card = g_world->nextHandle++;
  *active = reader->card.protocol;
  reader->card.authenticated = -1;
  g_world->connections[*card] = Connection{reader->name, reader->card.serial, reader->card.protocol};
  g_world->counters.OpenCards = (LONG)g_world->connections.size();
  Changed();  // the reader reads SCARD_STATE_INUSE now
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD) {
  Guard guard;
  if (!g_world->serviceRunning) return SCARD_E_SERVICE_STOPPED;
  auto found = g_world->connections.find(card);
  if (found == g_world->connections.end()) return SCARD_E_INVALID_HANDLE;
  Reader* reader = FindReader(found->second.reader.c_str());
  if (reader && reader->hasCard && reader->card.serial == found->second.cardSerial) reader->card.authenticated = -1;
  g_world->connections.erase(found);
  g_world->counters.OpenCards = (LONG)g_world->connections.size();
  Changed();
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardStatusW(SCARDHANDLE card, LPWSTR names, LPDWORD nameChars, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength) {
  Guard guard;
  Connection* connection;
  Reader* reader;
  LONG result;
  if (FailingCall(WSD_CALL_STATUS, &result)) return result;
  result = FindCard(card, &connection, &reader);
  if (result != SCARD_S_SUCCESS) return result;
  if (nameChars) {
    std::wstring list = reader->name;
    list += L'\0';
    list += L'\0';
    result = ReturnMultiString(list, names, nameChars);
    if (result != SCARD_S_SUCCESS) return result;
  }
  if (state) *state = SCARD_SPECIFIC;
  if (protocol) *protocol = connection->protocol;
  if (atrLength) {
    const DWORD needed = (DWORD)reader->card.atr.size();
    if (atr && *atrLength < needed) {
      *atrLength = needed;
      return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (atr) memcpy(atr, reader->card.atr.data(), needed);
    *atrLength = needed;
  }
  return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command, DWORD commandLength,
                          LPSCARD_IO_REQUEST, LPBYTE reply, LPDWORD replyLength) {
  Guard guard;
  Connection* connection;
  Reader* reader;
  LONG result;
  if (FailingCall(WSD_CALL_TRANSMIT, &result)) return result;
  result = FindCard(card, &connection, &reader);
  if (result != SCARD_S_SUCCESS) return result;
  if (!sendPci || !command || !commandLength || !reply || !replyLength) return SCARD_E_INVALID_PARAMETER;
  g_world->transcript.emplace_back(command, command + commandLength);
  // A protocol control block for the other protocol is a caller's fault the double reports.
  if (sendPci->dwProtocol != connection->protocol) return SCARD_E_PROTO_MISMATCH;
  auto found = reader->card.replies.find(std::vector<BYTE>(command, command + commandLength));
  const std::vector<BYTE> answer =
      found == reader->card.replies.end() ? VirtualCard(*reader, command, commandLength) : found->second;
  if (*replyLength < answer.size()) return SCARD_E_INSUFFICIENT_BUFFER;
  memcpy(reply, answer.data(), answer.size());
  *replyLength = (DWORD)answer.size();
  return SCARD_S_SUCCESS;
}

}  // extern "C"
