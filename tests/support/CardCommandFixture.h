// Test support: the cards of the simulated binary-mode device, card-command records built the way the
// add-in builds them, and BinaryDeviceFixture, a ReaderFixture whose reader is connected in binary mode
// in front of that device. CardCommandFixture runs the records there as the reader thread would (Run:
// shared record in the slot, status E_PENDING, then the handler on the test's thread).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ByteText.h"
#include "ReaderFixture.h"
#include "sim/BinaryReaderSim.h"

template <class T>
std::shared_ptr<T> MakeCommand(UINT code, bool (*handler)(CReader*, _CMD_INFO*), UINT total) {
  auto record = std::make_shared<T>();
  record->Command = code;
  record->Total = total;
  record->Handler = handler;
  return record;
}

inline _AUTHKEY_INFO AuthKey(const std::string& bytes) {
  _AUTHKEY_INFO key = {};
  MakeAuthKey(reinterpret_cast<const BYTE*>(bytes.data()), int(bytes.size()), key);
  return key;
}

inline std::string DataOf(const std::vector<BYTE>& data) { return std::string(data.begin(), data.end()); }
inline std::vector<BYTE> VectorOf(const std::string& bytes) { return std::vector<BYTE>(bytes.begin(), bytes.end()); }

// A Mifare Classic 1K card whose byte i holds i mod 251, every sector opened by FF FF FF FF FF FF.
inline SimCard Classic1KCard(const char* uid) {
  SimCard card;
  card.Uid = Bytes(uid);
  card.Sak = 0x08;
  card.Memory.assign(16 * 64, '\0');
  for (size_t i = 0; i < card.Memory.size(); ++i) card.Memory[i] = char(i % 251);
  return card;
}

// A Mifare Ultralight of 16 pages whose byte i holds A0 + i.
inline SimCard UltralightCard(const char* uid) {
  SimCard card;
  card.Uid = Bytes(uid);
  card.Sak = 0x00;
  card.Memory.assign(64, '\0');
  for (size_t i = 0; i < card.Memory.size(); ++i) card.Memory[i] = char(0xA0 + i);
  return card;
}

// A Mifare Plus X 4K at security level 3 (SAK 20, level probe answered, the 4K key address
// refused with a wrong key): 256 blocks, byte i holding i mod 251, every sector key 16 x 11.
inline SimCard Plus4KCard(const char* uid) {
  SimCard card;
  card.Uid = Bytes(uid);
  card.Sak = 0x20;
  card.Atqa = 0x0044;
  card.Ats = Bytes("0C 75 77 81 02 C1 05 2F 2F 01 BC D6");
  card.LevelProbeOk = true;
  card.Plus4040Status = 0x55;
  card.Plus4042Status = 8;
  card.PlusKey = std::string(16, '\x11');
  card.Memory.assign(16 * 256, '\0');
  for (size_t i = 0; i < card.Memory.size(); ++i) card.Memory[i] = char(i % 251);
  return card;
}

// The records of the Mifare Classic and Plus block commands (code 3 to 6), with the key the cards
// above open with: FF x 6 for Classic, 11 x 16 for Plus.
inline std::shared_ptr<_CMD_MC_INFO> Blocks(UINT code, int sector, int block, int count) {
  bool (*handler)(CReader*, _CMD_INFO*) = code == CMD_READ_MIFARE_C    ? &CReader::CmdReadMifareC
                                          : code == CMD_WRITE_MIFARE_C ? &CReader::CmdWriteMifareC
                                          : code == CMD_READ_MIFARE_P  ? &CReader::CmdReadMifareP
                                                                       : &CReader::CmdWriteMifareP;
  auto record = MakeCommand<_CMD_MC_INFO>(code, handler, UINT(count));
  record->Sector = sector;
  record->Block = block;
  record->Count = count;
  const bool plus = code == CMD_READ_MIFARE_P || code == CMD_WRITE_MIFARE_P;
  record->Key = plus ? AuthKey(std::string(16, '\x11')) : AuthKey(std::string(6, '\xFF'));
  if (plus) record->Flags = MCF_PLUS_MODE;
  return record;
}

// The record of an Ultralight page read or write.
inline std::shared_ptr<_CMD_MUL_INFO> Pages(UINT code, UINT page, int count) {
  auto record = MakeCommand<_CMD_MUL_INFO>(
      code, code == CMD_READ_MIFARE_UL ? &CReader::CmdReadMifareUL : &CReader::CmdWriteMifareUL, UINT(count));
  record->Page = page;
  record->Count = count;
  return record;
}

// A model 3 reader (KD-6 B) connected in binary mode on the fake port to the simulated device, whose
// field the test fills; exchanges of one attempt of 300 ms.
class BinaryDeviceFixture : public ReaderFixture {
 protected:
  void SetUp() override {
    port = AddPort(new CBinarySimFakePort(SimIdentity()));
    port->Model.Binary = true;
    InitReader(300, 1);
    ASSERT_TRUE(Connected(PM_BINARY, RM_KD6_B));
  }

  // The command bytes of the requests the device answered since the last call.
  std::string Commands() {
    std::lock_guard<std::mutex> hold(port->Mutex);
    std::string out;
    for (const auto& r : port->Model.Requests) out += char(r.Command);
    port->Model.Requests.clear();
    return HexText(out);
  }

  // The payloads of one request kind among the requests since the last Commands call.
  std::vector<std::string> Payloads(BYTE command) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    std::vector<std::string> out;
    for (const auto& r : port->Model.Requests) {
      if (r.Command == command) out.push_back(HexText(r.Payload));
    }
    return out;
  }

  void AddCard(const SimCard& card) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.AddCard(card);
  }

  // The card memory as the device holds it now.
  std::string Memory(size_t card, size_t offset, size_t size) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    return port->Model.CardMemory(card).substr(offset, size);
  }

  CBinarySimFakePort* port = nullptr;
};

// The same, for card commands: no key hold after a command unless a test asks for one.
class CardCommandFixture : public BinaryDeviceFixture {
 protected:
  void SetUp() override {
    BinaryDeviceFixture::SetUp();
    context.IdentKeyDelay = 0;
  }
};
