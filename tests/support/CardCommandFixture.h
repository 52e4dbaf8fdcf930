// Test support: a connected binary-mode reader in front of the simulated device, and card-command
// records built and posted the way the add-in does it (shared record in the slot, status E_PENDING),
// with the handler then run on the test's thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AddinModule.h"
#include "ByteText.h"
#include "FakeContext.h"
#include "Reader.h"
#include "ReaderEventsRecorder.h"
#include "doubles/FakeClock.h"
#include "doubles/FakePort.h"
#include "sim/BinaryReaderSim.h"

template <class T>
std::shared_ptr<T> MakeCommand(UINT code, bool (*handler)(CReader*, _CMD_INFO*), UINT total) {
  auto record = std::make_shared<T>();
  record->Command = code;
  record->Total = total;
  record->Handler = handler;
  return record;
}

// Puts the record into the reader's slot as pending, as a card method does before it wakes the thread.
inline void PostCommand(CReader& reader, const std::shared_ptr<_CMD_INFO>& record) {
  CCriticalSectionLock lock(&reader.Lock);
  reader.Command = record;
  reader.CommandStatus = E_PENDING;
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

class CardCommandFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new CBinarySimFakePort(SimIdentity());
    port->UseVirtualTime(&clock);
    port->Model.Binary = true;
    factory.Add(port);
    reader.Init(&events, L"COM3");
    reader.SetTimeouts(10000, 3000, INFINITE, 300, 1);
    reader.Running = 1;
    ASSERT_TRUE(reader.OpenPort(PK_COM, L"COM3", 9600, 0, 1000, INFINITE));
    reader.State = RS_CONNECTED;
    reader.Mode = PM_BINARY;
    reader.Model = RM_KD6_B;
    context.IdentKeyDelay = 0;  // no hold unless a test asks for one
  }
  void TearDown() override { reader.Running = 0; }

  // Posts the record and runs its handler as the reader thread would; the slot's status after it.
  HRESULT Run(const std::shared_ptr<_CMD_INFO>& record) {
    PostCommand(reader, record);
    record->Handler(&reader, record.get());
    return reader.CommandStatus;
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

  std::shared_ptr<_CMD_MC_INFO> Blocks(UINT code, int sector, int block, int count) {
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

  std::shared_ptr<_CMD_MUL_INFO> Pages(UINT code, UINT page, int count) {
    auto record = MakeCommand<_CMD_MUL_INFO>(
        code, code == CMD_READ_MIFARE_UL ? &CReader::CmdReadMifareUL : &CReader::CmdWriteMifareUL, UINT(count));
    record->Page = page;
    record->Count = count;
    return record;
  }

  // The card memory as the device holds it now.
  std::string Memory(size_t card, size_t offset, size_t size) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    return port->Model.CardMemory(card).substr(offset, size);
  }

  ScopedThreadLanguage english{kEnglish};
  CFakeContext context;
  ScopedContext scopedContext{&context};
  CFakeClock clock{5000};
  ScopedClock scopedClock{&clock};
  CFakePortFactory factory;
  ScopedPortFactory scopedFactory{&factory};
  CBinarySimFakePort* port = nullptr;
  CReaderEventsRecorder events;
  CReader reader;
};
