// One port's reader: its settings, identity and state, the keys in its field, the converter-address
// records, the slot of the one pending card command, and the thread that connects it, polls it and
// reports what it sees through IReaderEvents.
//
// The host's threads only call the setters, the address, state, reconnect, command and stop
// operations; everything else runs on the reader's own thread (or, during a device test, on the
// caller's thread while the reader thread is stopped).
#pragma once

#include <windows.h>
#include <winscard.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FrameCodec.h"
#include "KeyModel.h"
#include "Port.h"
#include "ReaderEvents.h"
#include "ReaderEventsGate.h"
#include "Settings.h"
#include "TextReplies.h"
#include "Thread.h"

enum READER_STATE : UINT {
  RS_DISCONNECTED = 1,
  RS_CONNECTING = 2,
  RS_CONNECTED = 3,
};

enum PROTOCOL_MODE : UINT {
  PM_TEXT = 1,
  PM_BINARY = 2,
  PM_FRAMED = 3,
  PM_CONVERTER = 4,
  PM_CCID = 5,
};

// Changes handed from the host's threads to the reader thread.
enum READER_CHANGES : UINT {
  RC_RECONNECT = 0x1,
  RC_SPEED = 0x2,
  RC_PARAMS = 0x4,
  RC_ADDRESSES = 0x8,
  RC_ADDRESS_RECONNECT = 0x10,
  RC_CONTINUE_SCAN = 0x20,
};

enum READER_STATUS_FLAGS : UINT {
  RSF_UNSUPPORTED = 0x1,
  RSF_TEMIC = 0x2,
  RSF_TEMIC_CYCLE = 0x8,
  RSF_DIFFERENT_CODES = 0x20,
  RSF_UNRECOGNISED = 0x40,
  RSF_CONNECT_DUE = 0x80,
  RSF_PORT_EVENT = 0x100,
  RSF_SIGNAL = 0x400,
  RSF_WAKEUP = 0x800,
  RSF_SPEED_COMMAND = 0x1000,
  RSF_ACTIVATION_UNSUPPORTED = 0x2000,
  RSF_CARD_ACTIVE = 0x4000,
  RSF_SCAN_DUE = 0x8000,
  RSF_HOLD = 0x10000,
};

enum ADDRESS_FLAGS : UINT {
  AF_UNSUPPORTED = 0x1,
  AF_CONNECT_DUE = 0x80,
  AF_REBUILD_MARK = 0x200,  // only during RebuildAddresses
};

// One reader behind a converter.
struct _ADDRESS_INFO {
  UINT Model = 0;
  UINT SerialNumber = 0xFFFFFFFF;
  UINT Version = 0;
  std::wstring InfoText;
  UINT State = RS_DISCONNECTED;
  UINT Time = 0;
  UINT Flags = AF_CONNECT_DUE;
  UINT Changes = 0;  // 0x1 reconnect requested
  HRESULT LastError = 0;
  std::wstring LastErrorText;
  UINT KeyType = 0;
  _KEYNUM_INFO Key = {};
  std::wstring Text;
};

// One key in the reader's field.
struct _KEY_INFO {
  UINT KeyType = 0;
  UINT CardFlags = 0;
  _KEYNUM_INFO Uid = {};
  _KEYNUM_INFO Number = {};
  HRESULT NumberStatus = 1;  // 1 not read, 0 Number valid, < 0 failed, E_PENDING still to come
  std::wstring Text;
  BYTE NotSeen = 0;
  WORD Param = 0;  // a Temic key: the parameter pair it answered to (first byte + 256 x second)
};

class CReader;
class CCcidConnection;

// Card commands: the codes, and the records the add-in fills and the reader thread carries out.
enum CMD_CODE : UINT {
  CMD_READ_MIFARE_UL = 1,
  CMD_WRITE_MIFARE_UL = 2,
  CMD_READ_MIFARE_C = 3,
  CMD_WRITE_MIFARE_C = 4,
  CMD_READ_MIFARE_P = 5,
  CMD_WRITE_MIFARE_P = 6,
  CMD_WRITE_MIFARE_KEYS = 7,
  CMD_SIGNAL = 8,
  CMD_INIT_TEMIC = 9,
  CMD_FIND_TEMIC = 10,
  CMD_READ_TEMIC = 11,
  CMD_WRITE_TEMIC = 12,
};

enum MIFARE_CMD_FLAGS : UINT {
  MCF_KEY_B = 0x1,
  MCF_STORED_KEYS = 0x2,
  MCF_PLUS_MODE = 0x4,
};

// The base of every record; alone it is the record of InitializeTemic. Records are held through
// shared_ptr<_CMD_INFO> and deleted as their own type (make_shared keeps the deleter).
struct _CMD_INFO {
  UINT Command = 0;
  UINT Done = 0;
  UINT Total = 0;
  bool (*Handler)(CReader* reader, _CMD_INFO* record) = nullptr;
};

// Ultralight pages (codes 1, 2): 4 bytes per page.
struct _CMD_MUL_INFO : _CMD_INFO {
  UINT Page = 0;
  int Count = 0;
  std::vector<BYTE> Data;
};

// Mifare Classic and Plus blocks (codes 3 to 6): 16 bytes per block.
struct _CMD_MC_INFO : _CMD_INFO {
  int Sector = 0;
  int Block = 0;
  int Count = 0;
  UINT Flags = 0;
  UINT KeyMask = 0;
  _AUTHKEY_INFO Key = {};
  std::vector<BYTE> Data;
  BYTE SkipTrailers = 0;
  int KeyIndex = -1;
};

// Keys stored in the reader (code 7); a key of length 0 keeps its slot unwritten.
struct _CMD_WRITEKEYSM_INFO : _CMD_INFO {
  UINT FirstSlot = 0;
  std::vector<_AUTHKEY_INFO> Keys;
};

// A signal pattern (code 8).
struct _CMD_SIGN_INFO : _CMD_INFO {
  std::wstring Pattern;
  BYTE Restart = 0;
};

// Finding a Temic transponder (code 10).
struct _CMD_FINDTEMIC_INFO : _CMD_INFO {
  UINT Mode = 0;
  _KEYNUM_INFO Id = {};
  UINT Parameter = 0xFFFFFFFF;
  UINT64 Password = 0xFFFFFFFFFFFFFFFFull;
};

// Reading or writing Temic blocks (codes 11, 12): 4 bytes per block.
struct _CMD_RWTEMIC_INFO : _CMD_INFO {
  UINT Block = 0;
  UINT Count = 0;
  std::vector<BYTE> Data;
  UINT Parameter = 0xFFFFFFFF;
  UINT64 Password = 0xFFFFFFFFFFFFFFFFull;
  BYTE Lock = 0;
};

// The first index in keys with that type and an equal uid; -1 when none.
INT64 FindKeyByUid(const std::vector<_KEY_INFO>& keys, UINT keyType, const _KEYNUM_INFO& uid);

// The line speeds a model supports, as a mask over kReaderSpeeds (0: the speed is never changed).
UINT ModelSpeedMask(UINT model, UINT version);
constexpr UINT kReaderSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400};
// The rate ApplySpeed picks for a requested speed (0: the highest) from a non-empty mask.
UINT ChooseSpeed(UINT mask, UINT speed);

// How long a host call waits for a stopped reader's thread to end. It exceeds the longest close of a
// port (a serial port's cancel wait), so only a thread caught in a device call runs over.
constexpr DWORD kReaderStopWait = 1000;
// How long a reader left to its thread waits for an event already passing to the add-in.
constexpr DWORD kEventsShutWait = 200;

class IVombraContext;

// How long the deferred "No card" waits for the key to come back.
constexpr DWORD kNoCardDelay = 3000;

class CReader : public CThread {
 public:
  CReader();
  ~CReader() override;

  // --- Operations of the host's threads ---------------------------------------------------------
  void Init(IReaderEvents* events, const wchar_t* port);
  void SetPortParams(BYTE stopBits, UINT connectFlags, UINT modelSetting, UINT speed, bool wake);
  void SetTimeouts(UINT connectTimeout, UINT connectPeriod, UINT rxPeriod, UINT requestTimeout, UINT requestTries);
  void SetFormatId(UINT id);
  void AddAddress(int address);
  void RemoveAddress(int address);
  UINT GetState(int address);
  void Reconnect(int address);
  void Start();
  // Asks the thread to end and returns at once; Join (or Stop) waits for it. Three steps, each needed
  // by a thread caught in a different place: Running cleared (the loop and every exchange test it), the
  // break event set (a port exchange under way ends with E_ABORT instead of running out its
  // time-out), the wake event set (the loop's wait and a handler's pause end). The event that did not
  // end the thread stays signalled: the break would cut short the next exchange on the port, so a
  // caller that exchanges itself next resets it (TestDevice does). False, doing nothing, when no
  // thread is started. Host threads; safe under the add-in lock, since it does not wait.
  bool RequestStop();
  // RequestStop, Join, and the port closed (a PC/SC reader's watcher slot given back). Never under the
  // add-in lock: the thread may be waiting for it.
  void Stop();
  // Stop, but waiting no longer than limit ms for the thread; false, with the thread still running
  // and still owning the port, when it has not ended by then.
  bool StopFor(DWORD limit);
  // Ends a reader the caller owns within limit ms (after RequestStop, when several end together). A
  // thread still caught in a device call then is never terminated: it is left to end by itself with
  // the reader, which it deletes as it ends; from this moment no event of it reaches the add-in, and
  // it holds the context (g_pVombra) alive until then. Never under the add-in lock.
  static void Retire(std::unique_ptr<CReader> reader, DWORD limit = kReaderStopWait);
  // Wakes the thread for one pass of its loop: settings given without a wake take effect, and a
  // handler pausing on the wake event (the Temic search) looks at its command again.
  void Wake();
  // Makes record the pending command (a command it replaces is no longer current to its handler) and
  // wakes the thread to carry it out. The caller fills the record (code, handler, totals) before; the
  // outcome is read under Lock once CommandStatus is no longer E_PENDING or Command is another record.
  void Post(const std::shared_ptr<_CMD_INFO>& record);
  // A binary scan held on a card goes on at once: the next pass runs and ends the hold.
  void ContinueScan();
  void SetLastError(HRESULT code, const wchar_t* text);
  // Breaks the pending command (its handler stops at its next check); wakes nothing: a handler in a
  // pause needs Wake as well.
  void BreakCommand();
  bool CompleteCommand(_CMD_INFO* cmd, HRESULT code);
  void Log(UINT level, UINT id, ...);
  // The device test, on the caller's thread: a running thread is stopped (RequestStop, Join, and the
  // break event its stop left set is reset so that the test's own exchanges are not cut short), the
  // device at address (-1: the reader itself) is identified with these settings into info, and the
  // thread is started again.
  bool TestDevice(int address, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                  UINT requestTimeout, UINT requestTries, std::wstring* info);

  // --- The thread -------------------------------------------------------------------------------
  void ApplyChanges();
  // The thread at the end of its loop: true when it leaves for good, false when its stop was
  // withdrawn meanwhile.
  bool LeaveLoop();
  // Takes back a stop the thread has not yet acted on (a device test that could not wait for a
  // thread caught in a device call); false when the thread is already leaving.
  bool WithdrawStop();
  void ReportError(int kind, HRESULT code, const wchar_t* text);
  void TextModePoll();

  // --- Connecting -------------------------------------------------------------------------------
  bool Connect();
  // The per-model set-up after the identification: the protocol mode, what the firmware can do and the
  // first exchanges of that mode. False with the last error set when the set-up failed.
  bool SetUpModel(UINT flags, UINT speed, BYTE stopBits);
  void Disconnect();
  bool OpenAndIdentify(const wchar_t* port, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                       UINT requestTimeout, UINT requestTries, std::wstring* info);
  bool OpenOrConfigurePort(PORT_KIND kind, const wchar_t* port, UINT baud, BYTE stopBits, UINT connectTimeout,
                           UINT rxPeriod);
  bool OpenPort(PORT_KIND kind, const wchar_t* port, UINT baud, BYTE stopBits, UINT connectTimeout, UINT rxPeriod);
  bool ReconfigurePort(UINT baud, BYTE stopBits, BYTE eventChar);
  void ClosePort();
  bool ApplySpeed(UINT speed);
  bool TestConnect(int address, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                   UINT requestTimeout, UINT requestTries, std::wstring* info);
  size_t ReadWire(UINT size, UINT timeout, bool binary);
  void WriteWire(const BYTE* data, UINT size, UINT timeout, bool binary);

  // --- Text protocol ----------------------------------------------------------------------------
  bool ReadLines(std::string* reply, int lines, UINT timeout, bool intercept);
  // One try of a request and its one reply line into ReplyBuffer; intercept as for ReadLines (key
  // lines the reader sends meanwhile are kept for after the exchange). False with the read's error.
  bool ExchangeLine(const std::string& request, bool intercept);
  bool QueryInfo(UINT* hwCode, UINT* serial, UINT* firmware, UINT timeout, int attempts, std::wstring* info);
  bool SetOutputFormat(const char* text);
  bool SetOutputArgs(const char* text);
  bool SetNoCardText();
  bool RequestKeyLine(UINT* keyType, _KEYNUM_INFO* uid);
  bool ReadMifareULText(UINT page, BYTE data[16]);
  bool WriteMifareULText(UINT page, const BYTE data[4]);
  void PollText();
  void ProcessTextLines();
  bool OnKeyLine(const wchar_t* line);
  void OnNoCard(bool defer);
  void StartText();

  // --- Binary frame protocol --------------------------------------------------------------------
  bool ReadBinReply(std::string* data, UINT timeout);
  bool BinRequest(BYTE command, const BYTE* payload, int length, int* status, std::string* replyData);
  bool BinSetMode(bool text, int speed);
  bool BinSearchStart();
  bool BinSearchEnd();
  bool BinSignal(BYTE code, BYTE value, BYTE* out);
  bool BinSelectCard(bool wake, BYTE* sak, WORD* atqa, _KEYNUM_INFO* uid);
  bool BinSelectUid(const _KEYNUM_INFO* uid);
  bool BinActivate(std::string* ats);
  bool BinNextCard();
  bool BinAuthClassic(BYTE block, BYTE keyB, const _AUTHKEY_INFO* key);
  bool BinAuthClassicStored(BYTE block, BYTE keyB, UINT mask, int* keyIndex);
  bool BinAuthPlus(WORD keyAddress, const _AUTHKEY_INFO* key);
  bool BinAuthPlusStored(WORD keyAddress, UINT mask, int* keyIndex);
  bool BinReadBlock(BYTE block, BYTE out[16]);
  bool BinReadPlusBlock(BYTE block, BYTE out[16], BYTE mode);
  bool BinCardCommand(const BYTE* probe, int length);
  bool QueryAts(std::string* ats, std::string* historical);

  // --- Binary card scan -------------------------------------------------------------------------
  bool IdentifyCard(bool wake, UINT* keyType, _KEYNUM_INFO* uid, UINT* cardFlags, INT64* listIndex);
  void ReadClassicNumber(_KEY_INFO* key);
  void ReadPlusNumber(_KEY_INFO* key);
  void ScanBinary(bool initial);
  void BinaryModePoll();
  // Select a card of the command's kind and hold it (closing an open scan pass).
  bool SelectULCard();
  bool SelectClassicCard();
  bool SelectPlusCard();

  // --- Card commands (reader thread) ------------------------------------------------------------
  // The handlers the add-in puts into the records, one per code.
  static bool CmdReadMifareUL(CReader* reader, _CMD_INFO* record);
  static bool CmdWriteMifareUL(CReader* reader, _CMD_INFO* record);
  static bool CmdReadMifareC(CReader* reader, _CMD_INFO* record);
  static bool CmdWriteMifareC(CReader* reader, _CMD_INFO* record);
  static bool CmdReadMifareP(CReader* reader, _CMD_INFO* record);
  static bool CmdWriteMifareP(CReader* reader, _CMD_INFO* record);
  static bool CmdWriteMifareKeys(CReader* reader, _CMD_INFO* record);
  static bool CmdSignal(CReader* reader, _CMD_INFO* record);
  static bool CmdInitTemic(CReader* reader, _CMD_INFO* record);
  static bool CmdFindTemic(CReader* reader, _CMD_INFO* record);
  static bool CmdReadTemic(CReader* reader, _CMD_INFO* record);
  static bool CmdWriteTemic(CReader* reader, _CMD_INFO* record);
  // Whether record is still the pending command (not broken, not replaced).
  bool IsCommandCurrent(const _CMD_INFO* record);
  // The card hold that follows a command when KeyHoldTimeout is not 0; true when it was started.
  bool HoldAfterCommand();
  // The PC/SC branches of the Ultralight and Mifare Classic commands.
  bool ReadMifareULCcid(_CMD_MUL_INFO* record);
  bool WriteMifareULCcid(_CMD_MUL_INFO* record);
  bool ReadMifareCCcid(_CMD_MC_INFO* record);
  bool WriteMifareCCcid(_CMD_MC_INFO* record);
  // The binary branches of the Ultralight write and the Mifare Classic commands.
  bool WriteMifareULBinary(_CMD_MUL_INFO* record);
  bool ReadMifareCBinary(_CMD_MC_INFO* record);
  bool WriteMifareCBinary(_CMD_MC_INFO* record);

  // --- Temic T5557 transponders (reader thread, text mode) --------------------------------------
  // A password of all ones means none; any other is used through its low 32 bits.
  bool TemicInit();
  bool TemicWriteBlock(BYTE block, BYTE p0, BYTE p1, UINT data, UINT64 password, bool lock);
  bool TemicReadBlock(BYTE block, BYTE p0, BYTE p1, BYTE out[4], UINT64 password, int attempts);
  bool TemicReadId(_KEYNUM_INFO* id, BYTE p0, BYTE p1, bool full, UINT64 password, int attempts);
  bool SendT57Zero();
  bool TemicFindBlock(BYTE block, UINT64 password, BYTE out[4]);
  void TemicScanPoll();
  void TemicScanStep();

  // --- PC/SC card access (reader thread) --------------------------------------------------------
  bool CheckSCard(LONG result);
  bool CheckSW(const BYTE* response, UINT length);
  bool CcidGetUid(_KEYNUM_INFO* uid);
  bool CcidReadBinary(BYTE block, BYTE* buffer, UINT* length);
  bool CcidUpdateBinary(BYTE block, const BYTE* data, BYTE length);
  bool CcidAuthenticate(BYTE block, bool keyB);
  bool CcidLoadKey(const _AUTHKEY_INFO* key);
  bool ConnectCard();
  void DisconnectCard();
  // The watcher's slot callback (watcher thread): only records the event and wakes the thread.
  static void OnCcidEvent(void* context, CCcidConnection* watcher, int event);
  void OnCardEvents();
  bool OnCardPresent();
  bool ReadClassicNumberCcid(_KEY_INFO* key);
  // Connecting a PC/SC reader: its registration with the watcher, and giving the slot back.
  bool RegisterCcidReader(const wchar_t* port, std::wstring* info);
  void ReleaseCcidSlot();
  bool IsCcidSlotAnnounced();
  // The thread's pass for a PC/SC reader: connect, card events, the end of a card hold.
  void CcidModePoll();

  // --- Key reporting ----------------------------------------------------------------------------
  bool FormatKey(UINT keyType, const _KEYNUM_INFO* key, std::wstring* text);
  void UpdateKeyList(const _KEY_INFO& key, bool events);
  INT64 AddKey(const _KEY_INFO& key, bool events);
  void UpdateKeyNumber(INT64 index, HRESULT status, const _KEYNUM_INFO& number, bool events);
  void RemoveKey(INT64 index, bool events);
  // Removes, the last first, every listed key that gone picks (looked at under Lock, which is not held
  // while RemoveKey reports), each with its loss event when events is set; returns how many keys were
  // listed before.
  INT64 RemoveKeys(const std::function<bool(const _KEY_INFO&)>& gone, bool events);

  // --- Converter protocol (the address served is Address) ---------------------------------------
  bool QueryConverterInfo(int address, UINT* hwCode, UINT* serial, UINT* firmware, UINT timeout, int attempts,
                          std::wstring* info);
  bool RequestConverterKey(int address, UINT* keyType, _KEYNUM_INFO* uid);
  // Before a converter request: drops what is left of earlier answers.
  void DropStaleAnswer();
  bool ConnectAddress(_ADDRESS_INFO* record);
  void PollAddressKey(bool silent, _ADDRESS_INFO* record);
  // The converter row of the connect: addresses due again, the keys of connected ones silently.
  void StartConverter();
  void ConverterModePoll();
  // The identification of a device test of the address Address; the reader's identity stays.
  bool IdentifyAddress(PORT_KIND kind, const wchar_t* port, BYTE stopBits, UINT connectTimeout, UINT rxPeriod,
                       UINT requestTimeout, UINT requestTries, std::wstring* info);

  // --- Framed protocol of model 9 -----------------------------------------------------------------
  bool FramedRequest(BYTE command, const BYTE* payload, int length, bool* statusOk, std::string* data);
  bool ReadFramedReply(std::string* body, BYTE command, UINT timeout);
  bool FramedQueryKeys(_KEYNUM_INFO* emMarine, _KEYNUM_INFO* temic);
  bool FramedIndicate(BYTE a, BYTE b);
  void PollFramed(bool initial);
  void FramedModePoll();

  // --- Converter-address records (thread, reader lock held) -------------------------------------
  void RebuildAddresses();
  void MarkAddressesForReconnect();

  // --- Data -------------------------------------------------------------------------------------
  // Settings: written by the setters on the host's threads under Lock; the thread copies what it needs
  // under Lock (a device test reads them on the caller's thread while the thread is stopped).
  std::wstring PortName;
  BYTE StopBits = 0;
  UINT Speed = 0;
  UINT ConnectTimeout = 10000;
  UINT ConnectPeriod = 3000;
  UINT RxPeriod = INFINITE;
  UINT RequestTimeout = 3000;
  UINT RequestTries = 2;
  UINT KeyPollPeriod = 333;
  UINT ConnectFlags = 0;
  UINT ModelSetting = 0;
  UINT FormatId = 0;
  IReaderEvents* Events = nullptr;
  // Init points Events here; the gate forwards to the add-in's handler until Retire shuts it.
  CReaderEventsGate EventsGate;
  // The context a thread left to end by itself holds; let go by the destructor.
  IVombraContext* HeldContext = nullptr;

  // Converter addresses: Addresses is written by AddAddress and RemoveAddress (host threads) under
  // Lock and read by the thread under Lock; AddressMap is built by the thread under Lock, which reads it
  // without the lock, and its records' states, identities and keys are written under Lock; Reconnect
  // marks a record's Changes under Lock. The host's threads read both only under Lock.
  std::map<int, _ADDRESS_INFO> AddressMap;
  std::vector<int> Addresses;

  // Thread and synchronisation. Running: written by Start, RequestStop and TestDevice, read by the
  // thread without the lock. The events: made by Init, closed by the destructor, set from any thread.
  // Changes: or-ed in by the host's threads and taken by the thread, both under Lock. NextWait: the
  // thread's own.
  std::atomic<BYTE> Running{0};
  // Set under Lock by the thread when it leaves its loop for good; a stop withdrawn before that
  // (WithdrawStop) keeps it running.
  bool Leaving = false;
  HANDLE BreakEvent = nullptr;
  HANDLE WakeEvent = nullptr;
  HANDLE WriteEvent = nullptr;
  HANDLE ReadEvent = nullptr;
  HANDLE RxEvent = nullptr;
  UINT NextWait = INFINITE;
  CRITICAL_SECTION Lock;
  UINT Changes = 0;

  // Identity and state, written by the thread (by the caller's thread during a device test). The host's
  // threads read the identity (Model, SerialNumber, Version, InfoText) under Lock; InfoText and the
  // reset on a reconnect are written under Lock, the UINTs without it as the identification finds them
  // (a UINT is never read torn). State is atomic and read without the lock. The command slot: Command
  // is set by Post and read under Lock; CommandStatus is set by Post, BreakCommand and the completion
  // under Lock and may be glanced at without it. The rest is the thread's own.
  UINT Model = 0;
  UINT SerialNumber = 0xFFFFFFFF;
  UINT Version = 0;
  std::wstring InfoText;
  std::atomic<UINT> State{RS_DISCONNECTED};
  std::atomic<HRESULT> CommandStatus{0};
  std::shared_ptr<_CMD_INFO> Command;
  BYTE NoCardPending = 0;
  UINT NoCardTime = 0;
  CKdPortPtr Port;
  UINT ConnectTime = 0;
  std::string RxBuffer;
  UINT LastPollTime = 0;
  UINT Mode = 0;
  UINT StatusFlags = 0;

  // Protocol members: the thread's own, except Keys, LastError and LastErrorText, which are written
  // under Lock and read by the host's threads under Lock, and CardEvent (see below).
  std::vector<_KEY_INFO> Keys;
  UINT HoldStart = 0;
  // The signal pattern running on the reader: its start and total length in ms.
  UINT SignalStart = 0;
  UINT SignalDuration = 0;
  HRESULT LastError = 0;
  std::wstring LastErrorText;
  std::string TxBuffer;
  std::string ReplyBuffer;
  int Address = -1;
  BYTE Sequence = 0;      // of the last request sent; wraps
  UINT LastRequestTime = 0;  // of the last binary request, for the keep-alive
  // The binary scan: -1 no pass open, 0..15 cards handled in the open pass, 16 pass finished.
  int ScanIndex = -1;
  UINT HeldKeyType = 0;
  _KEYNUM_INFO HeldUid = {};
  UINT HeldCardFlags = 0;
  // The Temic scan (reader thread only): the held transponder's parameter pair, and the pause before
  // the next scan step (INFINITE: no scan until the next connect).
  WORD HeldParam = 0;
  UINT ScanInterval = 0;
  // PC/SC: the 1-based watcher slot (0 none); the card event bits the slot callback sets under the
  // lock (0x1 card absent, 0x2 card present, 0x4 reader gone); the connected card with its transmit
  // header; the result of the latest SCard call.
  size_t WatcherSlot = 0;
  std::atomic<UINT> CardEvent{0};
  SCARDHANDLE Card = 0;
  const SCARD_IO_REQUEST* Pci = SCARD_PCI_T1;
  LONG LastSCardResult = 0;

 protected:
  DWORD Run() override;

 private:
  // The error report; endCommand false leaves a pending command running (a key's format error has
  // nothing to do with the command).
  void ReportErrorEx(int kind, HRESULT code, const wchar_t* text, bool endCommand);
  // Raises the error of a failed connect and completes a pending command with it.
  void FailConnect();
  // The log line and the event of a reader (or the converter address Address) that connected or
  // disconnected; never under the lock, as the host is called.
  void ReportConnected(UINT model, UINT serial, UINT version);
  void ReportDisconnected();
  // Ends a pending command with code, as an error report does.
  void FailPendingCommand(HRESULT code);
  // One programming command of model 7 (tFMT, tARG, tNOC).
  bool ProgramText(const std::string& request);
  // The source text of this reader's log lines.
  std::wstring LogSource() const;
  // What a reply scan found in RxBuffer (FrameCodec.h).
  using ReplyScan = ::ReplyScan;
  // The reply loop of the binary and the framed protocol: scan RxBuffer, read more while the time-out
  // lasts, until scan takes a reply. False with VOMBRA_E_READ_TIMEOUT when none came in time or the
  // thread is stopping.
  bool ReadFrameReply(UINT timeout, const std::function<ReplyScan()>& scan);
  // One read of reply bytes for an exchange that began at start: false once limit has passed (after a
  // last look at bytes already waiting, so that noise that keeps coming cannot hold the exchange).
  bool ReadMoreReply(DWORD start, UINT limit, bool* finalRead, bool binary);
  // The rest of an identification reply whose first line is in ReplyBuffer: the lines up to the one
  // naming the firmware are appended. False when the first line names no serial number or the reply
  // breaks off before the firmware line.
  bool ReadInfoReply(UINT timeout);
  // Parses ReplyBuffer as an identification into info and the numbers; false with
  // VOMBRA_E_BAD_RESPONSE when it is not one.
  bool ParseInfoReply(UINT* hwCode, UINT* serial, UINT* firmware, std::wstring* info);
  // Takes the next complete line out of RxBuffer (leading line feeds skipped); false when none.
  bool TakeLine(std::string* line);
  // Drops an over-long unterminated line from RxBuffer; true when it did.
  bool DropOverlongLine();
  // Handles the key lines an exchange cut out of the receive buffer, after the exchange.
  void HandleInterceptedLines();

  std::vector<std::wstring> m_interceptedKeyLines;
  int m_exchangeDepth = 0;
};
