// A binary-mode reader connected against the simulated device: the exact request sequence of the
// connect with its consecutive sequence numbers, the wake-up after the speed change, the initial
// scan, the farewell back to text mode at 9600, and the keep-alive of the binary poll.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ByteText.h"
#include "Core.h"
#include "Messages.h"
#include "ReaderFixture.h"
#include "sim/BinaryReaderSim.h"

namespace {

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here a reader not yet connected, on the fake port in front of the simulated
// model 3.
class BinaryConnectTest : public ReaderFixture {
 protected:
  void SetUp() override {
    port = AddPort(new CBinarySimFakePort(Model3Identity()));
    InitReader(500, 2);
  }

  // The binary requests the device answered, each as "sequence command payload" in hex.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> hold(port->Mutex);
    std::vector<std::string> out;
    for (const auto& r : port->Model.Requests) out.push_back(HexText(std::string{char(r.Sequence), char(r.Command)} + r.Payload));
    return out;
  }

  CBinarySimFakePort* port = nullptr;
};

TEST_F(BinaryConnectTest, EmptyFieldRequestSequence) {
  port->Model.WakeAfterSpeedChange = true;
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(RM_KD6_B), reader.Model);
  EXPECT_EQ(UINT(PM_BINARY), reader.Mode);
  const std::vector<std::string> expected = {
      "01 2F 01 80",     // binary mode, speed kept
      "02 2F 01 04",     // the speed command: index 4 = 115200
      "03 24 00",        // the second wake-up copy, answered
      "03 24 00",        // the request itself
      "04 23 00 0A 00",  // the initial scan's pass
      "05 45 00",        // no card
      "06 24 00",        // pass end
      "07 20 8B 01",     // indication: field empty, nothing new
      "08 20 8B 01",
  };
  EXPECT_EQ(expected, Requests());
  ASSERT_FALSE(port->ConfigCalls().empty());
  EXPECT_EQ(115200u, port->ConfigCalls().back().Baud);
  EXPECT_EQ(1u, events.Count("connect"));
}

TEST_F(BinaryConnectTest, CardInTheFieldAtConnectIsListedWithoutEvents) {
  SimCard card;
  card.Uid = Bytes("04 11 22 33");
  card.Sak = 0x08;
  port->Model.AddCard(card);
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  ASSERT_TRUE(reader.Connect());
  const std::vector<std::string> expected = {
      "01 2F 01 80", "02 2F 01 04",
      "03 24 00", "03 24 00",  // the first wake-up copy is answered at once, then the request
      "04 23 00 0A 00",
      "05 45 00",  // the card
      "06 48 00",  // its ATS query fails: a Classic 1K, no probe
      "07 43",     // next card
      "08 45 00",  // none
      "09 24 00",    "0A 20 8E 01", "0B 20 8E 01",
  };
  EXPECT_EQ(expected, Requests());
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_MIFARE_1K), reader.Keys[0].KeyType);
  EXPECT_EQ(0u, events.Count("found"));
}

TEST_F(BinaryConnectTest, SilentBinaryModeFailsTheConnect) {
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  // Identification works, then every frame is swallowed.
  port->Model.WakeAfterSpeedChange = false;
  port->Model.CorruptReplies = 1000;
  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(1u, events.Count("error"));
}

TEST_F(BinaryConnectTest, DisconnectReturnsTheReaderToTextModeAt9600) {
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  ASSERT_TRUE(reader.Connect());
  const size_t before = Requests().size();
  reader.Disconnect();
  std::vector<std::string> after = Requests();
  after.erase(after.begin(), after.begin() + ptrdiff_t(before));
  // Requests 1..8 as in the empty-field connect above; the farewell continues the count.
  EXPECT_EQ((std::vector<std::string>{"09 20 95 01", "0A 2F 00 00"}), after);
  EXPECT_FALSE(port->Model.Binary);
  EXPECT_EQ(0, port->Model.SpeedIndex);
}

TEST_F(BinaryConnectTest, TextModeSpeedIsSetByTheModeCommand) {
  reader.SetPortParams(0, 0, 0, 38400, false);
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(PM_TEXT), reader.Mode);
  // Text protocol kept (00), speed index 2 = 38400; nothing else goes out as a frame.
  EXPECT_EQ((std::vector<std::string>{"01 2F 00 02"}), Requests());
  ASSERT_FALSE(port->ConfigCalls().empty());
  EXPECT_EQ(38400u, port->ConfigCalls().back().Baud);
  EXPECT_EQ(13, port->ConfigCalls().back().EventChar);
}

TEST_F(BinaryConnectTest, KeepAliveAfter18SecondsOfQuiet) {
  context.IdentKeyDelay = INFINITE;
  context.DelayKeyTypes = DKT_MIFARE_CLASSIC;
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  ASSERT_TRUE(reader.Connect());
  // A card held without limit: scans stop, the keep-alive must not.
  SimCard card;
  card.Uid = Bytes("04 11 22 33");
  port->Model.AddCard(card);
  clock.Advance(400);
  reader.BinaryModePoll();
  ASSERT_EQ(1u, events.Count("found"));
  ASSERT_NE(0u, reader.StatusFlags & RSF_HOLD);
  const size_t held = Requests().size();

  clock.Advance(17000);
  reader.NextWait = INFINITE;
  reader.BinaryModePoll();
  EXPECT_EQ(held, Requests().size());
  EXPECT_LE(reader.NextWait, 1000u);

  clock.Advance(1000);
  reader.NextWait = INFINITE;
  reader.BinaryModePoll();
  std::vector<std::string> now = Requests();
  ASSERT_EQ(held + 1, now.size());
  EXPECT_EQ(" 2F 01 80", now.back().substr(2));
  EXPECT_EQ(18000u, reader.NextWait);
}

}  // namespace

namespace {

// The main road over loopback TCP: the reader thread connects to the simulated device, scans it
// and reports each card kind with its number text.
class BinaryTcpTest : public ReaderFixture {
 protected:
  void SetUp() override {
    UseRealTime();
    UseSeriesNumberFormat();  // byte 2, then b0 + 256 * b1
  }
};

// The number texts reported, in order.
std::vector<std::wstring> NumberTexts(const std::vector<ReaderEventRecord>& records) {
  std::vector<std::wstring> texts;
  for (const auto& r : records) {
    if (r.Kind == "number") texts.push_back(r.Text);
  }
  return texts;
}

TEST_F(BinaryTcpTest, ConnectsScansAndReportsEveryCardKind) {
  CBinaryReaderSim sim(Model3Identity());
  ASSERT_TRUE(sim.Listening());
  context.MifareC.Enabled = true;
  context.MifareC.Sect = 1;
  context.MifareC.Block = 2;
  MakeAuthKey(reinterpret_cast<const BYTE*>("\xFF\xFF\xFF\xFF\xFF\xFF"), 6, context.MifareC.AuthKey);
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = 4;
  context.MifareUL.Count = 2;
  reader.Init(&events, sim.PortName().c_str());
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  reader.SetTimeouts(10000, 500, INFINITE, 1000, 2);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("connect", 1, 10000));

  sim.Change([](CBinaryReaderModel& m) {
    SimCard classic;
    classic.Uid = Bytes("04 01 01 01");
    classic.Sak = 0x08;
    classic.Memory.assign(16 * 64, '\0');
    for (size_t i = 0; i < classic.Memory.size(); ++i) classic.Memory[i] = char(i % 251);
    m.AddCard(classic);
    SimCard ul;
    ul.Uid = Bytes("04 02 02 02 02 02 02");
    ul.Sak = 0x00;
    ul.Memory.assign(64, '\0');
    for (size_t i = 0; i < ul.Memory.size(); ++i) ul.Memory[i] = char(0xA0 + i);
    m.AddCard(ul);
    SimCard plus;
    plus.Uid = Bytes("04 A1 B2 C3 D4 E5 F6");
    plus.Sak = 0x10;
    m.AddCard(plus);
    SimCard desfire;
    desfire.Uid = Bytes("04 0B 16 21 2C 37 42");
    desfire.Sak = 0x20;
    desfire.Atqa = 0x0344;
    desfire.Ats = Bytes("06 75 77 81 02 80");
    m.AddCard(desfire);
  });
  ASSERT_TRUE(events.WaitFor("number", 4, 10000));
  // In field order. Classic 1K: block 6 holds 60 61 62 ...: 0x62 = 98, 0x60 + 256 * 0x61 = 24928.
  // Ultralight: pages 4 and 5 hold B0 .. B7: 0xB2 = 178, 0xB0 + 256 * 0xB1 = 45488.
  // Plus 2K, from its UID 04 A1 B2 ...: 0xB2 = 178, 0x04 + 256 * 0xA1 = 41220.
  // DESFire, from its UID 04 0B 16 ...: 0x16 = 22, 0x04 + 256 * 0x0B = 2820.
  EXPECT_EQ((std::vector<std::wstring>{L"098,24928", L"178,45488", L"178,41220", L"022,02820"}),
            NumberTexts(events.Events()));
  {
    CCriticalSectionLock lock(&reader.Lock);
    ASSERT_EQ(4u, reader.Keys.size());
    EXPECT_EQ(UINT(KT_MIFARE_1K), reader.Keys[0].KeyType);
    EXPECT_EQ(UINT(KT_MIFARE_UL), reader.Keys[1].KeyType);
    EXPECT_EQ(UINT(KT_MIFARE_PLUS_2K), reader.Keys[2].KeyType);
    EXPECT_EQ(UINT(KT_DESFIRE), reader.Keys[3].KeyType);
  }
  EXPECT_EQ(4u, events.Count("found"));

  sim.Change([](CBinaryReaderModel& m) { m.RemoveCard(Bytes("04 02 02 02 02 02 02")); });
  ASSERT_TRUE(events.WaitFor("lost", 1, 5000));
  Sleep(500);
  EXPECT_EQ(1u, events.Count("lost"));
  EXPECT_EQ(4u, events.Count("found"));
  EXPECT_EQ(0u, events.Count("error"));
}

}  // namespace
