// Ultralight page commands in the text and binary protocols against the simulated devices, and card
// commands handed to a running reader thread over loopback TCP the way the add-in posts them.
// CardCommandFixture.h: the binary device's fixture on the shared ReaderFixture (English texts, a fake
// context, a manual clock, the fake port factory, a reader with its events recorder), the simulated
// cards and the command records.
#include "CardCommandFixture.h"

#include "Messages.h"
#include "sim/TextReaderSim.h"

namespace {

const char kUlUid[] = "04 11 22 33 44 55 66";

// --- Binary protocol ----------------------------------------------------------------------------

using UltralightBinaryTest = CardCommandFixture;

TEST_F(UltralightBinaryTest, SixPagesComeFromTwoReads) {
  AddCard(UltralightCard(kUlUid));
  auto read = Pages(CMD_READ_MIFARE_UL, 4, 6);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ((std::vector<std::string>{"04", "08"}), Payloads(0x51));
  // Pages 4..9 are bytes 16..39, which hold A0 + 16 .. A0 + 39.
  std::string expected;
  for (int i = 16; i < 40; ++i) expected += char(0xA0 + i);
  EXPECT_EQ(HexText(expected), HexText(DataOf(read->Data)));
  EXPECT_EQ(6u, read->Done);
  // The Ultralight is selected with the wake-up flag.
  EXPECT_EQ((std::vector<std::string>{"80"}), Payloads(0x45));
}

TEST_F(UltralightBinaryTest, WriteThenReadGivesTheDataBack) {
  AddCard(UltralightCard(kUlUid));
  auto write = Pages(CMD_WRITE_MIFARE_UL, 5, 3);
  write->Data = VectorOf(Bytes("01 02 03 04 05 06 07 08 09 0A 0B 0C"));
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ((std::vector<std::string>{"05 01 02 03 04", "06 05 06 07 08", "07 09 0A 0B 0C"}), Payloads(0x53));
  EXPECT_EQ(3u, write->Done);
  Commands();

  auto read = Pages(CMD_READ_MIFARE_UL, 5, 3);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ("01 02 03 04 05 06 07 08 09 0A 0B 0C", HexText(DataOf(read->Data)));
  // The card held since the write is read as it is.
  EXPECT_EQ("51", Commands());
}

TEST_F(UltralightBinaryTest, ShortLastPageIsZeroFilled) {
  AddCard(UltralightCard(kUlUid));
  auto write = Pages(CMD_WRITE_MIFARE_UL, 4, 2);
  write->Data = VectorOf(Bytes("01 02 03 04 05"));
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ((std::vector<std::string>{"04 01 02 03 04", "05 05 00 00 00"}), Payloads(0x53));
}

TEST_F(UltralightBinaryTest, HeldCardThatWentAwayIsSelectedOnce) {
  AddCard(UltralightCard(kUlUid));
  ASSERT_EQ(S_OK, Run(Pages(CMD_READ_MIFARE_UL, 0, 1)));
  Commands();
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.RemoveCard(Bytes(kUlUid));  // nothing selected any more
    port->Model.AddCard(UltralightCard(kUlUid));
  }
  auto read = Pages(CMD_READ_MIFARE_UL, 0, 1);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ("51 23 45 51", Commands());
  EXPECT_EQ(4u, read->Data.size());

  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.RemoveCard(Bytes(kUlUid));
  }
  auto write = Pages(CMD_WRITE_MIFARE_UL, 4, 1);
  write->Data = VectorOf(Bytes("01 02 03 04"));
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(write));
  // Status 6 of the write, then one fresh selection that finds nothing, and the search closed.
  EXPECT_EQ("53 23 45 24", Commands());
  EXPECT_EQ(0u, write->Done);
}

// --- Text protocol ------------------------------------------------------------------------------

// A KD-6 A connected in text mode on the fake port to the text-reader simulator.
class UltralightTextTest : public ReaderFixture {
 protected:
  void SetUp() override {
    port = AddPort(new CSimFakePort(SimIdentity()));
    InitReader(1000, 2);
    ASSERT_TRUE(Connected(PM_TEXT, RM_KD6_A));
  }

  CSimFakePort* port = nullptr;
};

TEST_F(UltralightTextTest, WriteThenReadGivesTheDataBack) {
  auto write = Pages(CMD_WRITE_MIFARE_UL, 4, 2);
  write->Data = VectorOf(Bytes("DE AD BE EF 01 02 03 04"));
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ(2u, write->Done);

  auto read = Pages(CMD_READ_MIFARE_UL, 4, 6);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ(6u, read->Done);
  // Pages 4 and 5 as written; pages 6..9 were never written and hold their own number.
  EXPECT_EQ("DE AD BE EF 01 02 03 04 06 06 06 06 07 07 07 07 08 08 08 08 09 09 09 09",
            HexText(DataOf(read->Data)));
  EXPECT_EQ((std::vector<std::string>{"put 04 de ad be ef\r", "put 05 01 02 03 04\r", "get 04\r", "get 08\r"}),
            port->Writes());
  EXPECT_EQ(2u, events.Count("command"));
}

TEST_F(UltralightTextTest, ReadNeedsModelOneToThreeButWriteDoesNot) {
  reader.Model = RM_KD6_C;
  EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, Run(Pages(CMD_READ_MIFARE_UL, 4, 1)));
  EXPECT_TRUE(port->Writes().empty());
  auto write = Pages(CMD_WRITE_MIFARE_UL, 4, 1);
  write->Data = VectorOf(Bytes("01 02 03 04"));
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ((std::vector<std::string>{"put 04 01 02 03 04\r"}), port->Writes());
}

TEST_F(UltralightTextTest, FailedPageEndsTheCommandWithItsError) {
  port->Expect("get 00\r", "no card\r\n");
  auto read = Pages(CMD_READ_MIFARE_UL, 0, 8);
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(read));
  EXPECT_TRUE(read->Data.empty());
  EXPECT_EQ(0u, read->Done);
}

// --- Through the reader thread ------------------------------------------------------------------

// The reader's own thread on real time, against a simulator over loopback TCP.
class CommandThreadTest : public ReaderFixture {
 protected:
  void SetUp() override { UseRealTime(); }

  // Posts the record, wakes the thread and waits (real time, generously) for its completion.
  HRESULT Post(const std::shared_ptr<_CMD_INFO>& record, size_t completions) {
    PostCommand(reader, record);
    SetEvent(reader.WakeEvent);
    if (!events.WaitFor("command", completions, 20000)) return E_PENDING;
    return reader.CommandStatus;
  }
};

TEST_F(CommandThreadTest, WritesAndReadsCardsOverTcp) {
  CBinaryReaderSim sim(Model3Identity());
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CBinaryReaderModel& m) {
    m.AddCard(UltralightCard(kUlUid));
    m.AddCard(Classic1KCard("04 01 02 03"));
  });
  reader.Init(&events, sim.PortName().c_str());
  reader.SetPortParams(0, RDF_BINARY, 0, 0, false);
  reader.SetTimeouts(10000, 500, INFINITE, 1000, 2);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("connect", 1, 20000));

  auto ulWrite = MakeCommand<_CMD_MUL_INFO>(CMD_WRITE_MIFARE_UL, &CReader::CmdWriteMifareUL, 2);
  ulWrite->Page = 6;
  ulWrite->Count = 2;
  ulWrite->Data = VectorOf(Bytes("11 22 33 44 55 66 77 88"));
  EXPECT_EQ(S_OK, Post(ulWrite, 1));
  auto ulRead = MakeCommand<_CMD_MUL_INFO>(CMD_READ_MIFARE_UL, &CReader::CmdReadMifareUL, 2);
  ulRead->Page = 6;
  ulRead->Count = 2;
  EXPECT_EQ(S_OK, Post(ulRead, 2));
  EXPECT_EQ("11 22 33 44 55 66 77 88", HexText(DataOf(ulRead->Data)));

  // A command takes the first card that answers: the Ultralight leaves the field first.
  sim.Change([](CBinaryReaderModel& m) { m.RemoveCard(Bytes(kUlUid)); });

  auto mcWrite = MakeCommand<_CMD_MC_INFO>(CMD_WRITE_MIFARE_C, &CReader::CmdWriteMifareC, 1);
  mcWrite->Sector = 5;
  mcWrite->Block = 2;
  mcWrite->Count = 1;
  mcWrite->Key = AuthKey(std::string(6, '\xFF'));
  mcWrite->Data = VectorOf(Bytes("A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"));
  EXPECT_EQ(S_OK, Post(mcWrite, 3));
  auto mcRead = MakeCommand<_CMD_MC_INFO>(CMD_READ_MIFARE_C, &CReader::CmdReadMifareC, 1);
  mcRead->Sector = 5;
  mcRead->Block = 2;
  mcRead->Count = 1;
  mcRead->Key = AuthKey(std::string(6, '\xFF'));
  EXPECT_EQ(S_OK, Post(mcRead, 4));
  EXPECT_EQ("A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF", HexText(DataOf(mcRead->Data)));
  EXPECT_EQ(0u, events.Count("error"));
}

}  // namespace
