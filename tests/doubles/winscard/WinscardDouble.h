// Control side of the winscard.dll test double. Wine's own winscard.dll cannot establish a context, so
// the test run loads ours instead (WINEDLLOVERRIDES winscard=n, the double sits beside the test
// executables). It simulates one smart-card service with readers that are plugged and unplugged,
// cards with an ATR and scripted APDU replies, and status waits that SCardCancel ends. A card can also
// be a virtual contactless card that answers the PC/SC storage-card commands itself: its UID (FF CA),
// Ultralight pages or Mifare Classic blocks (FF B0 read, FF D6 update), and the Classic key load and
// authentication (FF 82, FF 86) against a key per sector. Every APDU sent is kept in a transcript. A test drives
// it through the one extra export, WinscardDoubleControl, which this header binds at run time: linked
// against nothing, a test can also tell when Wine's stub was loaded instead of the double.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum WINSCARD_DOUBLE_COMMAND : DWORD {
  // No readers, no cards, no contexts, counters zero, the service running, the gate open.
  WSD_RESET = 1,
  // Reader: a reader appears (empty) / disappears, taking its card with it.
  WSD_PLUG_READER,
  WSD_UNPLUG_READER,
  // Reader, Data = the ATR (1..36 bytes), Value = SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1 (0: T1).
  WSD_INSERT_CARD,
  WSD_REMOVE_CARD,
  // The commands that set up a card (SCRIPT_APDU, SET_UID, SET_MEMORY, SET_SECTOR_KEY) change the card
  // on the reader, or with none on it the next card inserted, so it is whole when it is reported.
  // Reader: its card answers the command APDU in Data with the bytes in Reply (unscripted: what the
  // virtual card answers, else 6D 00).
  WSD_SCRIPT_APDU,
  // Value 0: the service stops (waits end with SCARD_E_SERVICE_STOPPED, every context dies, new
  // contexts fail with SCARD_E_NO_SERVICE); Value 1: it runs again.
  WSD_SET_SERVICE,
  // Every context becomes invalid (SCARD_E_INVALID_HANDLE), as after a restart of the service.
  WSD_INVALIDATE_CONTEXTS,
  // Value 1: every SCardGetStatusChangeW call stops before its wait begins, so an SCardCancel sent
  // meanwhile finds no wait to end (as on Windows); Value 0 lets the held calls go on.
  WSD_HOLD_WAITS,
  // Ends every status wait with SCARD_E_CANCELLED: frees a watcher that a failed test left waiting.
  WSD_CANCEL_ALL,
  // Wait up to Timeout ms until a status wait blocks with nothing left to report about any change
  // made so far / until a call is held at the gate / until SCardCancel was called Value times.
  // SCARD_E_TIMEOUT when the time runs out.
  WSD_WAIT_IDLE,
  WSD_WAIT_HELD,
  WSD_WAIT_CANCELS,
  // Fills Counters.
  WSD_GET_COUNTERS,
  // Reader: its card answers FF CA 00 00 00 with the UID in Data (none set: 6A 81).
  WSD_SET_UID,
  // Reader: its card's memory is Data, in units of Value bytes: 4 = Ultralight pages, 16 = Mifare
  // Classic blocks (whose sectors then need authentication; every sector key starts as FF x 6).
  WSD_SET_MEMORY,
  // Reader: sector Value of its Classic card opens with the 6-byte key in Data, as key A or key B.
  WSD_SET_SECTOR_KEY,
  // Reader: copies its card's memory into Output (OutputLength in: its size, out: the memory size).
  WSD_GET_MEMORY,
  // The next Count calls of the function Call (WSD_CALL_*) fail with the result in Value.
  WSD_FAIL_CALLS,
  // Copies the APDUs sent so far into Output (each as one length byte and its bytes; OutputLength in:
  // the size, out: the bytes used) and starts the transcript anew.
  WSD_TAKE_TRANSCRIPT,
};

enum WINSCARD_DOUBLE_CALL : DWORD {
  WSD_CALL_CONNECT = 1,
  WSD_CALL_STATUS,
  WSD_CALL_TRANSMIT,
};

struct WINSCARD_DOUBLE_COUNTERS {
  LONG OpenContexts;  // established and not yet released
  LONG Establishes;   // successful SCardEstablishContext calls
  LONG Releases;      // successful SCardReleaseContext calls
  LONG Cancels;       // SCardCancel calls, whatever their result
  LONG StatusCalls;   // SCardGetStatusChangeW calls
  LONG BlockedWaits;  // status waits blocked now
  LONG Allocations;   // SCARD_AUTOALLOCATE blocks not yet given back with SCardFreeMemory
  LONG OpenCards;     // SCardConnectW handles not yet disconnected
};

struct WINSCARD_DOUBLE_REQUEST {
  DWORD Command;
  const wchar_t* Reader;
  const BYTE* Data;
  DWORD DataLength;
  const BYTE* Reply;
  DWORD ReplyLength;
  DWORD Value;
  DWORD Timeout;
  WINSCARD_DOUBLE_COUNTERS Counters;
  DWORD Call;
  DWORD Count;
  BYTE* Output;
  DWORD OutputLength;
};

extern "C" typedef LONG(WINAPI* WINSCARD_DOUBLE_CONTROL)(WINSCARD_DOUBLE_REQUEST* request);

// The test's handle on the double. Loaded() is false when the process runs Wine's stub (or no
// winscard.dll at all); every other call then answers SCARD_E_NO_SERVICE.
class CWinscardDouble {
 public:
  CWinscardDouble() {
    HMODULE module = GetModuleHandleW(L"winscard.dll");
    if (module) m_control = (WINSCARD_DOUBLE_CONTROL)(void*)GetProcAddress(module, "WinscardDoubleControl");
  }
  bool Loaded() const { return m_control != nullptr; }

  LONG Reset() { return Call(WSD_RESET); }
  LONG PlugReader(const wchar_t* reader) { return Call(WSD_PLUG_READER, reader); }
  LONG UnplugReader(const wchar_t* reader) { return Call(WSD_UNPLUG_READER, reader); }
  LONG InsertCard(const wchar_t* reader, const std::vector<BYTE>& atr, DWORD protocol = 0) {
    return Call(WSD_INSERT_CARD, reader, atr, {}, protocol);
  }
  LONG RemoveCard(const wchar_t* reader) { return Call(WSD_REMOVE_CARD, reader); }
  LONG ScriptApdu(const wchar_t* reader, const std::vector<BYTE>& command, const std::vector<BYTE>& reply) {
    return Call(WSD_SCRIPT_APDU, reader, command, reply);
  }
  LONG SetService(bool running) { return Call(WSD_SET_SERVICE, nullptr, {}, {}, running ? 1 : 0); }
  LONG InvalidateContexts() { return Call(WSD_INVALIDATE_CONTEXTS); }
  LONG HoldWaits(bool hold) { return Call(WSD_HOLD_WAITS, nullptr, {}, {}, hold ? 1 : 0); }
  LONG CancelAll() { return Call(WSD_CANCEL_ALL); }
  LONG WaitIdle(DWORD timeout = 5000) { return Call(WSD_WAIT_IDLE, nullptr, {}, {}, 0, timeout); }
  LONG WaitHeld(DWORD timeout = 5000) { return Call(WSD_WAIT_HELD, nullptr, {}, {}, 0, timeout); }
  LONG WaitCancels(DWORD count, DWORD timeout = 5000) {
    return Call(WSD_WAIT_CANCELS, nullptr, {}, {}, count, timeout);
  }
  LONG SetUid(const wchar_t* reader, const std::vector<BYTE>& uid) { return Call(WSD_SET_UID, reader, uid); }
  LONG SetMemory(const wchar_t* reader, DWORD unit, const std::vector<BYTE>& memory) {
    return Call(WSD_SET_MEMORY, reader, memory, {}, unit);
  }
  LONG SetSectorKey(const wchar_t* reader, DWORD sector, const std::vector<BYTE>& key) {
    return Call(WSD_SET_SECTOR_KEY, reader, key, {}, sector);
  }
  std::vector<BYTE> Memory(const wchar_t* reader) {
    std::vector<BYTE> memory(4096);
    WINSCARD_DOUBLE_REQUEST request{};
    request.Command = WSD_GET_MEMORY;
    request.Reader = reader;
    request.Output = memory.data();
    request.OutputLength = (DWORD)memory.size();
    if (!m_control || m_control(&request) != SCARD_S_SUCCESS) return {};
    memory.resize(request.OutputLength);
    return memory;
  }
  LONG FailCalls(DWORD call, LONG result, DWORD count = 1) {
    if (!m_control) return SCARD_E_NO_SERVICE;
    WINSCARD_DOUBLE_REQUEST request{};
    request.Command = WSD_FAIL_CALLS;
    request.Call = call;
    request.Value = (DWORD)result;
    request.Count = count;
    return m_control(&request);
  }
  // The APDUs sent since the last call, in order.
  std::vector<std::vector<BYTE>> TakeTranscript() {
    std::vector<BYTE> bytes(65536);
    WINSCARD_DOUBLE_REQUEST request{};
    request.Command = WSD_TAKE_TRANSCRIPT;
    request.Output = bytes.data();
    request.OutputLength = (DWORD)bytes.size();
    std::vector<std::vector<BYTE>> apdus;
    if (!m_control || m_control(&request) != SCARD_S_SUCCESS) return apdus;
    for (size_t i = 0; i < request.OutputLength; i += 1 + bytes[i])
      apdus.emplace_back(bytes.begin() + i + 1, bytes.begin() + i + 1 + bytes[i]);
    return apdus;
  }
  WINSCARD_DOUBLE_COUNTERS Counters() {
    WINSCARD_DOUBLE_REQUEST request{};
    request.Command = WSD_GET_COUNTERS;
    if (m_control) m_control(&request);
    return request.Counters;
  }

 private:
  LONG Call(DWORD command, const wchar_t* reader = nullptr, const std::vector<BYTE>& data = {},
            const std::vector<BYTE>& reply = {}, DWORD value = 0, DWORD timeout = 0) {
    if (!m_control) return SCARD_E_NO_SERVICE;
    WINSCARD_DOUBLE_REQUEST request{};
    request.Command = command;
    request.Reader = reader;
    request.Data = data.data();
    request.DataLength = (DWORD)data.size();
    request.Reply = reply.data();
    request.ReplyLength = (DWORD)reply.size();
    request.Value = value;
    request.Timeout = timeout;
    return m_control(&request);
  }

  WINSCARD_DOUBLE_CONTROL m_control = nullptr;
};
