// Card commands from the application's side to the simulated devices and back: Open over loopback,
// then the methods as the application calls them, waiting or following the command. What a write
// leaves on the card is checked in the simulator's own memory, what a read returns against it.
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteText.h"
#include "CardCommandFixture.h"
#include "CommandFixture.h"
#include "doubles/winscard/WinscardDouble.h"
#include "sim/TemicTransponder.h"
#include "sim/TextReaderSim.h"

namespace {

SimIdentity BinaryReader() {
  SimIdentity id;
  id.ModelName = "KD-6 B";
  id.HwCode = 0x811;
  id.Serial = 777;
  id.Version = "1.8";
  return id;
}

SimIdentity TemicReader() {
  SimIdentity id;
  id.ModelName = "KD-6 C";
  id.HwCode = 0x302;
  return id;
}

class CardMethodsSimTest : public MethodCallTest {
 protected:
  void SetUp() override {
    MethodCallTest::SetUp();
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    addin.LiveParams.ConnectPeriod = 500;
    addin.LiveParams.RequestTimeout = 1000;
    // No card hold after a command: each command finds the card as it is.
    addin.IdentKeyDelay = 0;
  }
  void TearDown() override {
    addin.StopReaders();
    MethodCallTest::TearDown();
    WSACleanup();
  }

  // Opens the port and waits (generously) until the reader is connected; the device ID.
  std::wstring OpenConnected(const std::wstring& port, UINT flags) {
    addin.LiveParams.Port = port;
    addin.LiveParams.Flags = flags;
    MethodCall open = Call(L"Open", {Empty()});
    EXPECT_TRUE(open.BoolResult());
    const std::wstring id = TakeText(open.Params[0]);
    const DWORD start = GetTickCount();
    while (Call(L"GetStatus", {Str(id)}).IntResult() != RS_CONNECTED && GetTickCount() - start < 20000) Sleep(20);
    EXPECT_EQ(int(RS_CONNECTED), Call(L"GetStatus", {Str(id)}).IntResult());
    return id;
  }

  std::string TakeBlob(tVariant& value) {
    EXPECT_EQ(VTYPE_BLOB, value.vt);
    std::string bytes;
    if (value.vt == VTYPE_BLOB && value.pstrVal) bytes.assign(value.pstrVal, value.strLen);
    host.FreeVariant(value);
    return bytes;
  }

  // A Classic or Plus block method with the data argument, waiting without limit.
  MethodCall Blocks(const wchar_t* method, const std::wstring& id, int sector, int block, int count,
                    tVariant data) {
    std::vector<tVariant> args = {Str(id), I4(sector), I4(block), data, I4(count), Null(), Null(), Null()};
    if (std::wstring(method).find(L"MifareP") != std::wstring::npos) args.push_back(Null());
    args.push_back(I4(-1));
    args.push_back(Empty());
    return Call(method, args);
  }

  ScopedThreadLanguage english{kEnglish};
};

TEST_F(CardMethodsSimTest, ClassicWriteThenReadOverBinaryProtocol) {
  CBinaryReaderSim sim(BinaryReader());
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CBinaryReaderModel& m) { m.AddCard(Classic1KCard("04 01 02 03")); });
  const std::wstring id = OpenConnected(sim.PortName(), RDF_BINARY);

  std::string data;
  for (int i = 0; i < 32; ++i) data += char(0xC0 + i);
  MethodCall write = Blocks(L"WriteMifareC", id, 5, 0, 2, Blob(data));
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  EXPECT_EQ(-1, write.Params[9].lVal) << "no stored key used";
  // Sector 5 begins at block 20, byte 320.
  sim.Change([&](CBinaryReaderModel& m) { EXPECT_EQ(HexText(data), HexText(m.CardMemory(0).substr(320, 32))); });

  MethodCall read = Blocks(L"ReadMifareC", id, 5, 0, 3, Empty());
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  std::string expected = data;
  for (int i = 352; i < 368; ++i) expected += char(i % 251);  // block 22 as the card was made
  EXPECT_EQ(HexText(expected), HexText(TakeBlob(read.Params[3])));

  // The same blocks through time-out 0, the status and the result.
  MethodCall again = Call(L"ReadMifareC", {Str(id), I4(5), I4(0), Empty(), I4(2), Null(), Null(), Null(), I4(0),
                                           Null()});
  EXPECT_FALSE(again.BoolResult());
  EXPECT_EQ(kPending, addin.LastError);
  MethodCall status = Call(L"GetCommandStatus", {Str(id), Empty(), Empty(), Empty(), Empty(), UI4(0xFFFFFFFF)});
  EXPECT_EQ(3u, status.Params[1].ulVal);
  EXPECT_EQ(S_OK, status.Params[2].lVal);
  EXPECT_EQ(2u, status.Params[3].ulVal);
  EXPECT_EQ(2u, status.Params[4].ulVal);
  MethodCall result = Call(L"GetCommandResult", {Str(id), UI4(3), Empty(), Empty()});
  EXPECT_EQ(HexText(data), HexText(TakeBlob(result.Params[2])));
  EXPECT_EQ(-1, result.Params[3].lVal);
}

TEST_F(CardMethodsSimTest, PlusWriteThenReadWithTheAuthorizationKey) {
  CBinaryReaderSim sim(BinaryReader());
  sim.Change([](CBinaryReaderModel& m) { m.AddCard(Plus4KCard("04 0A 0B 0C 0D 0E 0F")); });
  const std::wstring id = OpenConnected(sim.PortName(), RDF_BINARY);
  std::memset(addin.AuthKeyMP.Data, 0x11, 16);

  MethodCall write = Blocks(L"WriteMifareP", id, 33, 4, 1, Str(L"00112233445566778899AABBCCDDEEFF"));
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  // Sector 33 begins at block 16 x (33 - 24) = 144; block 4 of it is 148, byte 2368.
  const std::string written = Bytes("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
  sim.Change([&](CBinaryReaderModel& m) { EXPECT_EQ(HexText(written), HexText(m.CardMemory(0).substr(2368, 16))); });

  MethodCall read = Blocks(L"ReadMifareP", id, 33, 4, 1, Empty());
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  EXPECT_EQ(HexText(written), HexText(TakeBlob(read.Params[3])));
}

TEST_F(CardMethodsSimTest, UltralightWriteThenReadOverBinaryProtocol) {
  CBinaryReaderSim sim(BinaryReader());
  sim.Change([](CBinaryReaderModel& m) { m.AddCard(UltralightCard("04 11 22 33 44 55 66")); });
  const std::wstring id = OpenConnected(sim.PortName(), RDF_BINARY);

  MethodCall write = Call(L"WriteMifareUL", {Str(id), I4(6), Str(L"1122334455667788"), I4(2), I4(-1)});
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  MethodCall read = Call(L"ReadMifareUL", {Str(id), I4(6), Empty(), I4(2), I4(-1)});
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  EXPECT_EQ("11 22 33 44 55 66 77 88", HexText(TakeBlob(read.Params[2])));
}

TEST_F(CardMethodsSimTest, UltralightWriteThenReadOverTextProtocol) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  const std::wstring id = OpenConnected(sim.PortName(), 0);

  MethodCall write = Call(L"WriteMifareUL", {Str(id), I4(4), Str(L"DEADBEEF01020304"), I4(2), I4(-1)});
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  MethodCall read = Call(L"ReadMifareUL", {Str(id), I4(4), Empty(), I4(3), I4(-1)});
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  // Page 6 was never written and holds its own number.
  EXPECT_EQ("DE AD BE EF 01 02 03 04 06 06 06 06", HexText(TakeBlob(read.Params[2])));
}

TEST_F(CardMethodsSimTest, ClassicCommandsAreNotSupportedInTextMode) {
  CTextReaderSim sim(SimIdentity(), true);
  const std::wstring id = OpenConnected(sim.PortName(), 0);
  MethodCall read = Blocks(L"ReadMifareC", id, 1, 0, 1, Empty());
  EXPECT_FALSE(read.BoolResult());
  EXPECT_EQ(kNotSupported, addin.LastError);
}

TEST_F(CardMethodsSimTest, KeysGoIntoTheReadersSlots) {
  CBinaryReaderSim sim(BinaryReader());
  const std::wstring id = OpenConnected(sim.PortName(), RDF_BINARY);
  MethodCall keys =
      Call(L"WriteMifareKeysToReader", {Str(id), I4(2), Str(L"A0A1A2A3A4A5;;B0B1B2B3B4B5"), Null(), I4(-1)});
  ASSERT_TRUE(keys.BoolResult()) << std::hex << addin.LastError;
  sim.Change([](CBinaryReaderModel& m) {
    ASSERT_GE(m.StoredKeys.size(), 5u);
    EXPECT_EQ("A0 A1 A2 A3 A4 A5", HexText(m.StoredKeys[2]));
    EXPECT_EQ("", m.StoredKeys[3]) << "the empty piece keeps its slot unwritten";
    EXPECT_EQ("B0 B1 B2 B3 B4 B5", HexText(m.StoredKeys[4]));
  });
}

TEST_F(CardMethodsSimTest, SignalEndRaisesTheCommandEvent) {
  CBinaryReaderSim sim(BinaryReader());
  const std::wstring id = OpenConnected(sim.PortName(), RDF_BINARY);
  addin.ExternalEventFlags = EEF_COMMAND;
  MethodCall signal = Call(L"Signal", {Str(id), Str(L"123 500"), Typed(VTYPE_BOOL, 1)});
  EXPECT_TRUE(signal.BoolResult());
  const DWORD start = GetTickCount();
  bool raised = false;
  while (!raised && GetTickCount() - start < 20000) {
    for (const auto& event : host.Events()) raised = raised || (event.Message == L"Command" && event.Source == id);
    if (!raised) Sleep(20);
  }
  EXPECT_TRUE(raised);
  MethodCall status = Call(L"GetCommandStatus", {Str(id), Empty(), Empty(), Empty(), Empty(), UI4(0)});
  EXPECT_EQ(8u, status.Params[1].ulVal);
  EXPECT_EQ(S_OK, status.Params[2].lVal);
}

TEST_F(CardMethodsSimTest, TemicWriteFindAndRead) {
  CTemicTransponder tag;
  tag.SetPair(1, 1);
  tag.SetId({0x00, 0x00, 0x00, 0x12}, {0x34, 0x56, 0x78, 0x9A});
  CTextReaderSim sim(TemicReader(), true);
  sim.SetTemic(tag.Hook());
  const std::wstring id = OpenConnected(sim.PortName(), 0);

  MethodCall write = Call(L"WriteTemic", {Str(id), I4(1), Str(L"0102030405060708"), I4(2), I4(0x0101), Null(),
                                          Typed(VTYPE_BOOL, 0), UI4(0xFFFFFFFF)});
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  EXPECT_EQ((TemicBlock{1, 2, 3, 4}), tag.Block(1));
  EXPECT_EQ((TemicBlock{5, 6, 7, 8}), tag.Block(2));

  MethodCall find = Call(L"FindTemic", {Str(id), Typed(VTYPE_BOOL, 0), Empty(), I4(-1), Null(), UI4(0xFFFFFFFF)});
  ASSERT_TRUE(find.BoolResult()) << std::hex << addin.LastError;
  // Without the full code: the last byte of block 0x81, then block 0x82.
  EXPECT_EQ("12 34 56 78 9A", HexText(TakeBlob(find.Params[2])));
  EXPECT_EQ(0x0101, find.Params[3].lVal) << "the pair it answered to";

  MethodCall read = Call(L"ReadTemic", {Str(id), I4(1), Empty(), I4(2), I4(-1), Null(), UI4(0xFFFFFFFF)});
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  EXPECT_EQ("01 02 03 04 05 06 07 08", HexText(TakeBlob(read.Params[2])));
  EXPECT_EQ(0x0101, read.Params[4].lVal);
}

// --- PC/SC, over the winscard.dll test double.

const wchar_t kCcidReader[] = L"CCID Reader 0";

std::vector<BYTE> Counting(size_t n) {
  std::vector<BYTE> memory(n);
  for (size_t i = 0; i < n; ++i) memory[i] = BYTE(i);
  return memory;
}

// A contactless storage card's ATR naming the card (00 01 Mifare 1K, 00 03 Ultralight), with its check byte.
std::vector<BYTE> CardAtr(BYTE name) {
  std::vector<BYTE> atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                           0x03, 0x06, 0x03, 0x00, name, 0x00, 0x00, 0x00, 0x00};
  BYTE check = 0;
  for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  atr.push_back(check);
  return atr;
}

class CardMethodsCcidTest : public CardMethodsSimTest {
 protected:
  void SetUp() override {
    CardMethodsSimTest::SetUp();
    ASSERT_TRUE(m_double.Loaded()) << "the winscard.dll test double is not loaded";
    ASSERT_EQ(SCARD_S_SUCCESS, m_double.Reset());
    ASSERT_EQ(SCARD_S_SUCCESS, m_double.PlugReader(kCcidReader));
    ASSERT_EQ(SCARD_S_SUCCESS, m_double.SetUid(kCcidReader, {0x04, 0xA1, 0xB2, 0xC3}));
  }
  CWinscardDouble m_double;
};

TEST_F(CardMethodsCcidTest, ClassicWriteThenRead) {
  ASSERT_EQ(SCARD_S_SUCCESS, m_double.SetMemory(kCcidReader, 16, Counting(16 * 64)));
  for (DWORD sector = 0; sector < 16; ++sector)
    ASSERT_EQ(SCARD_S_SUCCESS, m_double.SetSectorKey(kCcidReader, sector, std::vector<BYTE>(6, 0xFF)));
  ASSERT_EQ(SCARD_S_SUCCESS, m_double.InsertCard(kCcidReader, CardAtr(0x01)));
  const std::wstring id = OpenConnected(kCcidReader, 0);

  const std::string data = Bytes("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF");
  MethodCall write = Blocks(L"WriteMifareC", id, 2, 1, 1, Blob(data));
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  // Sector 2, block 1 is block 9: bytes 144 to 159.
  const std::vector<BYTE> memory = m_double.Memory(kCcidReader);
  ASSERT_GE(memory.size(), 160u);
  EXPECT_EQ(HexText(data), HexText(std::string(memory.begin() + 144, memory.begin() + 160)));

  MethodCall read = Blocks(L"ReadMifareC", id, 2, 0, 2, Empty());
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  std::string expected;
  for (int i = 128; i < 144; ++i) expected += char(i);
  EXPECT_EQ(HexText(expected + data), HexText(TakeBlob(read.Params[3])));
}

TEST_F(CardMethodsCcidTest, UltralightWriteThenRead) {
  ASSERT_EQ(SCARD_S_SUCCESS, m_double.SetMemory(kCcidReader, 4, Counting(64)));
  ASSERT_EQ(SCARD_S_SUCCESS, m_double.InsertCard(kCcidReader, CardAtr(0x03)));
  const std::wstring id = OpenConnected(kCcidReader, 0);

  MethodCall write = Call(L"WriteMifareUL", {Str(id), I4(5), Str(L"0xAABBCCDD"), I4(1), I4(-1)});
  ASSERT_TRUE(write.BoolResult()) << std::hex << addin.LastError;
  MethodCall read = Call(L"ReadMifareUL", {Str(id), I4(4), Empty(), I4(2), I4(-1)});
  ASSERT_TRUE(read.BoolResult()) << std::hex << addin.LastError;
  // Page 4 as the card was made; page 5 as written, the text read from its end.
  EXPECT_EQ("10 11 12 13 DD CC BB AA", HexText(TakeBlob(read.Params[2])));
}

}  // namespace
