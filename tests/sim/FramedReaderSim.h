// Test support: a reader of model 9. It answers the text identification request ("i" CR) and then
// speaks byte-stuffed frames ending with 0xC0: the key query (0x61) answers the Temic and Em-Marine
// codes in its field, the indication (0x02) is recorded and acknowledged. On demand it corrupts the
// check of its next replies, sends a reply in two pieces split right after its first escape byte, or
// refuses indications. The frame coding here is the simulator's own, written from the wire format.
#pragma once

// TextReaderSim.h brings Winsock 2, which must come before windows.h.
#include "TextReaderSim.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../doubles/FakePort.h"

class CFramedReaderModel {
 public:
  CFramedReaderModel();

  // The replies to what the host wrote, each a piece of bytes to deliver in turn.
  std::vector<std::string> Take(const std::string& bytes);

  // Escapes C0 and DB as the reader does.
  static std::string Stuff(const std::string& plain);
  // A whole frame: escaped bytes and check, then C0.
  static std::string Frame(const std::string& plain);

  SimIdentity Identity;
  std::string Temic;     // 8 bytes in the field; empty: none
  std::string EmMarine;  // 5 bytes; empty: none
  int CorruptReplies = 0;   // the next n replies go out with a wrong check
  bool SplitAfterEscape = false;  // the next reply with an escape arrives in two pieces
  BYTE IndicateStatus = 0xAA;

  // What the reader took in: the decoded request frames (command, payload; check removed).
  std::vector<std::string> Frames;
  std::vector<std::pair<BYTE, BYTE>> Indications;

 private:
  std::vector<std::string> Answer(const std::string& plain);
  std::string m_input;
};

// The reader behind the in-process fake port. The second piece of a split reply arrives after
// SplitDelay ms by the fake port's clock.
class CFramedSimFakePort : public CFakePort {
 public:
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override;

  // Guarded by Mutex while the reader thread runs.
  std::mutex Mutex;
  CFramedReaderModel Model;
  DWORD SplitDelay = 20;
};
