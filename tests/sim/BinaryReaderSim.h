// Test support: a reader in binary mode with virtual cards in its field. It answers the text
// identification request until switched to binary mode, then takes request frames and answers each
// with a reply frame carrying the request's sequence number. Cards have a UID, SAK, ATQA, ATS,
// answers to the two identification probes, the outcome of the transport-key authentications, a
// sector key and a memory image that block and page reads and writes really use; the reader keeps
// the keys stored into its 32 slots for the stored-key authentications. The test puts cards into the
// field and takes them out. On demand the reader needs waking after a speed change (the first request
// after it is lost), corrupts its next replies, refuses activation or the next authentications, or
// lets the test act on each request as it arrives.
#pragma once

// TextReaderSim.h brings Winsock 2, which must come before windows.h.
#include "TextReaderSim.h"

#include "LoopbackSim.h"
#include "SimFakePort.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct SimCard {
  std::string Uid;
  BYTE Sak = 0x08;
  WORD Atqa = 0x0004;
  std::string Ats;          // empty: activation fails with a reader error
  bool LevelProbeOk = false;  // the 01 48 probe
  bool PlusProbeOk = false;   // the 20-byte probe
  // Status of the Classic authentication of block 0x91 with the transport key (0x55, 8 wrong key,
  // other: no such block).
  BYTE Block91Status = 1;
  // Status of the Plus authentications of key addresses 0x4040 and 0x4042.
  BYTE Plus4040Status = 1;
  BYTE Plus4042Status = 1;
  std::string SectorKey = std::string(6, '\xFF');  // every Classic sector's key A and key B
  std::string PlusKey = std::string(16, '\xFF');   // every Plus sector key
  std::string Memory;       // 16 bytes a block (4 a page on Ultralight, read 16 at a time)
};

// A KD-6 B (model 3) with firmware 1.8, the firmware that takes the speed command.
inline SimIdentity Model3Identity() {
  SimIdentity id;
  id.ModelName = "KD-6 B";
  id.HwCode = 0x811;
  id.Serial = 777;
  id.Version = "1.8";
  return id;
}

// The device itself, without a transport.
class CBinaryReaderModel {
 public:
  explicit CBinaryReaderModel(const SimIdentity& identity) : m_identity(identity) {}

  // The bytes answering what the host wrote (may hold several requests or part of one).
  std::string Take(const std::string& bytes);

  // The reader starts afresh, as after its power came back: text mode, nothing half-received.
  void Restart();

  void AddCard(const SimCard& card);
  void RemoveCard(const std::string& uid);
  // The memory of the card at that position in the field, as the writes have left it.
  const std::string& CardMemory(size_t index) const { return m_field.at(index).Memory; }

  bool Binary = false;             // the reader starts in text mode
  bool WakeAfterSpeedChange = false;
  bool ActivationUnsupported = false;
  int CorruptReplies = 0;          // the next n replies go out with a wrong sum
  // The reader's key slots: 6-byte Classic keys or 16-byte Plus keys; empty: never stored.
  std::vector<std::string> StoredKeys;
  BYTE SignalReply = 0;  // the data byte answering each signal request
  // The next n card authentications (not the identification's probes) answer this status.
  int RefuseAuth = 0;
  BYTE RefuseAuthStatus = 5;

  // Requests seen in binary mode, as (sequence, command, payload) frames without STX and sum.
  struct Request {
    BYTE Sequence;
    BYTE Command;
    std::string Payload;
  };
  std::vector<Request> Requests;
  // Called with each request before it is answered (on the thread that wrote it).
  std::function<void(const Request&)> OnRequest;
  int SpeedIndex = -1;  // from the last mode command with a speed

 private:
  std::string Answer(const Request& request);
  std::string Reply(BYTE sequence, BYTE command, const std::string& payload);
  SimCard* Selected();

  SimIdentity m_identity;
  std::string m_input;
  std::vector<SimCard> m_field;
  size_t m_cursor = 0;
  int m_selected = -1;
  bool m_asleep = false;
  int m_authSector = -1;  // Classic sector (or Plus key address) opened by the last authentication
};

// The device behind the in-process fake port.
using CBinarySimFakePort = CSimDeviceFakePort<CBinaryReaderModel>;

// The same device on the far side of a loopback TCP connection (a raw link, no Telnet), served by
// its own thread; the test's thread changes the field through Change.
class CBinaryReaderSim : public CLoopbackSim<CBinaryReaderModel> {
 public:
  explicit CBinaryReaderSim(const SimIdentity& identity) : CLoopbackSim(identity) {}
};
