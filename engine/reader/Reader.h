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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KeyModel.h"
#include "Port.h"
#include "ReaderEvents.h"
#include "Settings.h"
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

// How long the deferred "No card" waits for the key to come back.
constexpr DWORD kNoCardDelay = 3000;
// A line longer than this without a carriage return is garbage, not a line still arriving.
constexpr size_t kMaxTextLine = 4096;

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
  void Stop();
  void SetLastError(HRESULT code, const wchar_t* text);
  void BreakCommand();
  bool CompleteCommand(_CMD_INFO* cmd, HRESULT code);
  void Log(UINT level, UINT id, ...);
  bool TestDevice(int address, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                  UINT requestTimeout, UINT requestTries, std::wstring* info);

  // --- The thread -------------------------------------------------------------------------------
  void ApplyChanges();
  void ReportError(int kind, HRESULT code, const wchar_t* text);
  void TextModePoll();

  // --- Connecting -------------------------------------------------------------------------------
  bool Connect();
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

  // --- Converter protocol (the address served is Address) ---------------------------------------
  bool QueryConverterInfo(int address, UINT* hwCode, UINT* serial, UINT* firmware, UINT timeout, int attempts,
                          std::wstring* info);
  bool RequestConverterKey(int address, UINT* keyType, _KEYNUM_INFO* uid);
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
  // Settings, written by the setters under the lock.
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

  // Converter addresses.
  std::map<int, _ADDRESS_INFO> AddressMap;
  std::vector<int> Addresses;

  // Thread and synchronisation. Running and State are read by other threads without the lock.
  std::atomic<BYTE> Running{0};
  HANDLE BreakEvent = nullptr;
  HANDLE WakeEvent = nullptr;
  HANDLE WriteEvent = nullptr;
  HANDLE ReadEvent = nullptr;
  HANDLE RxEvent = nullptr;
  UINT NextWait = INFINITE;
  CRITICAL_SECTION Lock;
  UINT Changes = 0;

  // Identity and state.
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

  // Protocol members.
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
  // Ends a pending command with code, as an error report does.
  void FailPendingCommand(HRESULT code);
  // One programming command of model 7 (tFMT, tARG, tNOC).
  bool ProgramText(const std::string& request);
  // The source text of this reader's log lines.
  std::wstring LogSource() const;
  // Takes the next complete line out of RxBuffer (leading line feeds skipped); false when none.
  bool TakeLine(std::string* line);
  // Drops an over-long unterminated line from RxBuffer; true when it did.
  bool DropOverlongLine();
  // Handles the key lines an exchange cut out of the receive buffer, after the exchange.
  void HandleInterceptedLines();

  std::vector<std::wstring> m_interceptedKeyLines;
  int m_exchangeDepth = 0;
};
