// The settings record the add-in and the configurator share, its list records and bit words, and the
// kind of transport a port name asks for.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "KeyModel.h"

// Which parts of the settings a load or save covers.
enum SETTINGS_PARTS : UINT {
  SP_MAIN = 0x1,   // every value from Portname to SoundFileList
  SP_LISTS = 0x2,  // DefaultFormatId, key filters, formats
  SP_PORTS = 0x4,  // the port table
  SP_ALL = 0x7,
};

// Connection flags of a reader (the Flags setting).
enum READER_FLAGS : UINT {
  RDF_WIEGAND = 0x1,          // model 7 readers are programmed for Wiegand output
  RDF_BINARY = 0x2,           // binary frame protocol where the model allows it
  RDF_DIFFERENT_CODES = 0x4,  // the buttons of a 433 MHz fob are told apart
  RDF_NVT = 0x10,             // Telnet NVT on TCP ports
};

// Events raised besides "TracksData" and "DriverError" (the ExternalEventFlags setting).
enum : UINT {
  EEF_DEVICE_CONNECT = 0x1,
  EEF_DEVICE_DISCONNECT = 0x2,
  EEF_NO_CARD = 0x4,
  EEF_COMMAND = 0x8,
};

// Card kinds to which the key hold time applies (the DelayKeyTypes setting).
enum : UINT {
  DKT_MIFARE_CLASSIC = 0x1,
  DKT_MIFARE_PLUS = 0x2,
  DKT_MIFARE_UL = 0x4,
  DKT_TEMIC = 0x8,
};

// The SettingFlags setting.
enum : UINT {
  STF_LOAD_AT_START = 0x1,  // clear: the add-in starts with a built-in default format
  STF_SAVE_AT_END = 0x2,    // changed parts are saved when the add-in ends
};

// Stored bits of a format's Flags.
enum : UINT {
  FORMAT_PRESET = 0x1,
  FORMAT_SAVE_IN_VOMBRA = 0x2,
};

struct _KEYFILTER_INFO {
  UINT Id = 0;  // 1..31
  std::wstring Name;
  UINT KeyTypes = 0;  // bit (1 << KEY_TYPE)
  UINT KeySize = 0;   // key length in bytes; 0 = any
  UINT Flags = 0;     // not stored; 1 for every filter the add-in holds
  UINT FormatId = 0;  // 0 = none
};

struct _FORMAT_INFO {
  UINT Id = 0;
  std::wstring Name;
  std::wstring Template;
  std::wstring Params;
  std::wstring Comment;
  UINT KeyFilters = 0;
  UINT Flags = 0;  // FORMAT_PRESET, FORMAT_SAVE_IN_VOMBRA
};

struct _PORT_INFO {
  std::wstring Port;  // equal to the key of the port table
  std::wstring DeviceId;
};

// Reading a Mifare Classic or Plus block into the key's number.
struct _MIFAREREAD_INFO {
  bool Enabled = false;
  UINT Sect = 0;
  UINT Block = 1;
  UINT Flags = 0;  // 0x1 key B, 0x2 keys stored in the reader
  UINT Mask = 0xFFFFFFFF;
  _AUTHKEY_INFO AuthKey = {};
};

// Reading Mifare Ultralight pages.
struct _ULREAD_INFO {
  bool Enabled = false;
  UINT Page = 4;
  UINT Count = 1;
};

// The Temic group's Flags.
enum : UINT {
  TF_DATA = 0x1,      // the key's number is read from blocks; clear: the ID only
  TF_FULL_ID = 0x2,   // the whole 8-byte manufacturer code; clear: the 5-byte ID
  TF_PASSWORD = 0x4,  // the transponder is read with Password
};

// Reading Temic transponder blocks. Each ScanParams word: bits 0-7 and 8-15 the step's two
// parameters, bits 16-31 the pause after it in ms.
struct _TEMICREAD_INFO {
  std::vector<UINT> ScanParams;
  bool Enabled = false;
  UINT Flags = 0;
  UINT Block = 1;
  UINT Count = 1;
  UINT Password = 0;
};

constexpr size_t SOUND_COUNT = 7;

struct _SETTINGS_INFO {
  _SETTINGS_INFO();

  BYTE Hive = 0;         // 0 HKEY_CURRENT_USER, 1 HKEY_LOCAL_MACHINE: where it was loaded, where it is saved
  BYTE LegacyNames = 0;  // the load met older value names; the next save removes them
  std::wstring Portname = L"Auto";
  UINT Model = 0;
  UINT Speed = 0;
  UINT StopBits = 0;
  UINT Flags = RDF_BINARY | RDF_DIFFERENT_CODES | RDF_NVT;
  UINT LogLevel = 0;
  UINT LogMaxSize = 0xFFFFFFFF;
  UINT ExternalEventFlags = 0;
  UINT ConnectTimeout = 10000;
  UINT ReqTimeout = 3000;
  UINT ReqTries = 2;
  UINT ConnectPeriod = 3000;
  UINT RxPeriod = 0xFFFFFFFF;
  UINT FormatId = 0;
  UINT Prefix = 0xFFFFFFFF;
  UINT Suffix = 13;
  UINT SettingFlags = STF_LOAD_AT_START;
  UINT SearchFlags = 0x2E;
  UINT FindIpTimeout = 3000;
  UINT FindIpTries = 1;
  std::vector<std::wstring> AdditionalPorts;
  UINT KeyTypes = KEY_TYPES_ALL;
  UINT IdentKeyDelay = 1000;
  UINT DelayKeyTypes = 0;
  _MIFAREREAD_INFO MifareC;
  _MIFAREREAD_INFO MifareP;
  _ULREAD_INFO MifareUL;
  _TEMICREAD_INFO Temic;
  bool SoundEnabled = false;
  std::wstring SoundFileList[SOUND_COUNT];  // number sent, send error, connected, disconnected, driver error, key
                                            // found, key lost
  UINT DefaultFormatId = 0;
  std::vector<_KEYFILTER_INFO> KeyFilters;  // matching order
  UINT KeyFilterNewId = 1;
  UINT KeyFilterSortCol = 0;
  std::vector<_FORMAT_INFO> Formats;
  UINT FormatNewId = 1;
  std::unordered_map<std::wstring, _PORT_INFO> Ports;  // device ID per port name
};

// The connection parameters of one reader.
struct _READERPARAMS_INFO {
  std::wstring Port = L"Auto";
  UINT Model = 0;
  UINT Speed = 0;
  UINT StopBits = 0;
  UINT Flags = RDF_BINARY | RDF_DIFFERENT_CODES | RDF_NVT;
  UINT ConnectTimeout = 10000;
  UINT RequestTimeout = 3000;
  UINT RequestTries = 2;
  UINT ConnectPeriod = 3000;
  UINT RxPeriod = 0xFFFFFFFF;
  UINT FormatId = 0;
  UINT Prefix = 0xFFFFFFFF;
  UINT Suffix = 13;
};

enum PORT_KIND : UINT {
  PK_NONE = 0,   // empty name
  PK_COM12 = 1,  // COM1 or COM2
  PK_COM = 2,    // COM3 and above
  PK_TCP = 3,    // address:port, begins with a digit
  PK_CCID = 4,   // anything else: a PC/SC reader name
};

PORT_KIND GetPortKind(const wchar_t* port);

// The first key filter whose Name equals name exactly (same length, same code units), or -1.
int KeyFilterIndexByName(const std::vector<_KEYFILTER_INFO>& list, const wchar_t* name);
// The first key filter from start on whose KeyTypes has bit (keyType & 31) and whose KeySize is 0 or
// keySize, or -1; a start not inside the list means 0. The list's order is the filters' priority: this
// is how a key's filter is chosen.
int KeyFilterIndexForKey(const std::vector<_KEYFILTER_INFO>& list, UINT keyType, UINT keySize, int start);
