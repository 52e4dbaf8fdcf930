// One port's reader: its settings, identity and state, the keys in its field, the converter-address
// records, the slot of the one pending card command, and the thread that connects it, polls it and
// reports what it sees through IReaderEvents.
//
// The host's threads only call the setters, the address, state, reconnect, command and stop
// operations; everything else runs on the reader's own thread (or, during a device test, on the
// caller's thread while the reader thread is stopped).
#pragma once

#include <windows.h>

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
};

class CReader;

// The base of every card-command record; the records and their handlers come with the card commands.
struct _CMD_INFO {
  UINT Command = 0;
  UINT Done = 0;
  UINT Total = 0;
  bool (*Handler)(CReader* reader, _CMD_INFO* record) = nullptr;
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

  // --- Key reporting ----------------------------------------------------------------------------
  bool FormatKey(UINT keyType, const _KEYNUM_INFO* key, std::wstring* text);
  void UpdateKeyList(const _KEY_INFO& key, bool events);
  INT64 AddKey(const _KEY_INFO& key, bool events);
  void UpdateKeyNumber(INT64 index, HRESULT status, const _KEYNUM_INFO& number, bool events);
  void RemoveKey(INT64 index, bool events);

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
