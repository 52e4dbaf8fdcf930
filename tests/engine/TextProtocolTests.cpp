// The text protocol over a scripted fake port: line reading, the exchanges and their error replies,
// unsolicited key and "No card" lines, and the deferred key loss.
#include <windows.h>

#include <gtest/gtest.h>

#include "Clock.h"
#include "Messages.h"
#include "ReaderFixture.h"

namespace {

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here a KD-6 A connected in text mode on a scripted fake port, keys printed as
// "123,45678" for the Em-Marine key line below (series byte 2, number bytes 0..1).
class TextProtocolTest : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    port = AddPort(new CFakePort);
    UseSeriesNumberFormat();
    InitReader(1000, 2);
    ASSERT_TRUE(Connected(PM_TEXT, RM_KD6_A));
  }

  // Bytes that arrive unasked, then one text-mode pass of the thread.
  void Poll(const std::string& bytes) {
    port->Arrive(bytes);
    reader.StatusFlags |= RSF_PORT_EVENT;
    reader.NextWait = INFINITE;
    reader.TextModePoll();
  }

  CFakePort* port = nullptr;
};

const char kKeyLine[] = "Em-Marine[0A1B] 123,45678";

TEST_F(TextProtocolTest, LeadingLineFeedsAndEmptyLinesAreSkipped) {
  port->Arrive("\n\r\nS/N: 123\r");
  std::string reply;
  ASSERT_TRUE(reader.ReadLines(&reply, 1, 1000, true));
  EXPECT_EQ("S/N: 123\r\n", reply);
  EXPECT_TRUE(reader.RxBuffer.empty());
}

TEST_F(TextProtocolTest, EmptyLineCountsOnceAReplyHasBegun) {
  port->Arrive("first\r\n\r\nrest\r\n");
  std::string reply;
  ASSERT_TRUE(reader.ReadLines(&reply, 2, 1000, false));
  EXPECT_EQ("first\r\n\r\n", reply);
}

TEST_F(TextProtocolTest, ExchangeEndsAtItsLimitWhileBytesKeepComing) {
  // A byte every 50 ms for 5 s, never a carriage return.
  for (DWORD i = 1; i <= 100; ++i) port->Arrive("x", 50 * i);
  const DWORD start = clock.Now();
  std::string reply;
  EXPECT_FALSE(reader.ReadLines(&reply, 1, 1000, true));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_LT(TicksElapsed(start, clock.Now()), 1500u);
}

TEST_F(TextProtocolTest, OverlongUnterminatedLineIsDiscarded) {
  port->Arrive(std::string(kMaxTextLine + 10, 'g'));
  std::string reply;
  EXPECT_FALSE(reader.ReadLines(&reply, 1, 1000, true));
  EXPECT_EQ(VOMBRA_E_BAD_RESPONSE, reader.LastError);
  EXPECT_TRUE(reader.RxBuffer.empty());
}

TEST_F(TextProtocolTest, LinesInterceptedDuringAnExchangeAreHandledAfterIt) {
  _KEY_INFO held;
  held.KeyType = KT_EM_MARINE;
  held.Uid.Length = 5;
  reader.Keys.push_back(held);
  port->Arrive(std::string("No card\r\n") + kKeyLine + "\r\n");
  port->Expect("put 04 01 02 03 04\r", "ok\r\n", 10);
  const BYTE data[4] = {1, 2, 3, 4};

  ASSERT_TRUE(reader.WriteMifareULText(4, data));
  EXPECT_EQ("ok\r\n", reader.ReplyBuffer);
  EXPECT_TRUE(events.Events().empty());  // nothing nested inside the exchange

  reader.NextWait = INFINITE;
  reader.TextModePoll();
  EXPECT_EQ((std::vector<std::string>{"lost", "found", "number"}), events.Kinds());
  EXPECT_EQ(L"123,45678", events.Events()[2].Text);
}

TEST_F(TextProtocolTest, KeyLineDuringAConnectIsDropped) {
  reader.State = RS_CONNECTING;
  port->Arrive(std::string(kKeyLine) + "\r\n");
  port->Expect("put 04 01 02 03 04\r", "ok\r\n", 10);
  const BYTE data[4] = {1, 2, 3, 4};
  ASSERT_TRUE(reader.WriteMifareULText(4, data));
  EXPECT_EQ("ok\r\n", reader.ReplyBuffer);
  reader.State = RS_CONNECTED;
  reader.TextModePoll();
  EXPECT_TRUE(events.Events().empty());
  EXPECT_TRUE(reader.Keys.empty());
}

TEST_F(TextProtocolTest, KeyLineAndNoCardAsUnsolicitedLines) {
  Poll(std::string(kKeyLine) + "\r\n");
  ASSERT_EQ((std::vector<std::string>{"found", "number"}), events.Kinds());
  EXPECT_EQ(L"123,45678", events.Events()[1].Text);
  Poll("NO CARD\r\n");
  EXPECT_EQ((std::vector<std::string>{"found", "number", "lost"}), events.Kinds());
  EXPECT_TRUE(reader.Keys.empty());
}

TEST_F(TextProtocolTest, DisabledKeyTypeIsIgnoredAsALineButRecordedAtConnect) {
  context.KeyTypes = KEY_TYPES_ALL & ~(1u << KT_EM_MARINE);
  Poll(std::string(kKeyLine) + "\r\n");
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_TRUE(events.Events().empty());

  port->Expect("r\n", std::string(kKeyLine) + "\r\n", 10);
  reader.StartText();
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(L"123,45678", reader.Keys[0].Text);
  EXPECT_TRUE(events.Events().empty());
}

// With a port check period the poll reads on its own schedule, not on port events.
TEST_F(TextProtocolTest, PortCheckPeriodPollsWithoutPortEvents) {
  reader.RxPeriod = 200;
  reader.LastPollTime = clock.Now();
  port->Arrive(std::string(kKeyLine) + "\r\n");
  clock.Advance(150);
  reader.NextWait = INFINITE;
  reader.TextModePoll();
  EXPECT_TRUE(events.Events().empty());
  EXPECT_EQ(50u, reader.NextWait);

  clock.Advance(50);
  reader.NextWait = INFINITE;
  reader.TextModePoll();
  EXPECT_EQ((std::vector<std::string>{"found", "number"}), events.Kinds());
  EXPECT_EQ(200u, reader.NextWait);
}

TEST_F(TextProtocolTest, UnrecognisedLinesAreReportedOnce) {
  // '[' together with ':' is never a key line.
  Poll("KD-6 A S/N: 5 [301]\r\ngarbage\r\n");
  auto recorded = events.Events();
  ASSERT_EQ(1u, recorded.size());
  EXPECT_EQ("error", recorded[0].Kind);
  EXPECT_EQ(VOMBRA_E_UNKNOWN_MESSAGE, recorded[0].Code);
  EXPECT_EQ(L"The reader message was not recognized. Probably not factory firmware.", recorded[0].Text);
  Poll("more garbage\r\n");
  EXPECT_EQ(1u, events.Count("error"));
  EXPECT_EQ(RS_CONNECTED, reader.GetState(-1));
}

// The deferred loss of a Temic-capable reader, also across the wrap of the tick count.
class DeferredNoCardTest : public TextProtocolTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(DeferredNoCardTest, LossIsReportedAfter3000ms) {
  clock.Set(GetParam());
  context.Temic.Enabled = true;
  reader.StatusFlags |= RSF_TEMIC;
  Poll(std::string(kKeyLine) + "\r\n");
  Poll("No card\r\n");
  EXPECT_EQ(0u, events.Count("lost"));
  EXPECT_EQ(kNoCardDelay, reader.NextWait);

  clock.Advance(2999);
  reader.NextWait = INFINITE;
  reader.TextModePoll();
  EXPECT_EQ(0u, events.Count("lost"));
  EXPECT_EQ(1u, reader.NextWait);

  clock.Advance(1);
  reader.TextModePoll();
  EXPECT_EQ(1u, events.Count("lost"));
}

INSTANTIATE_TEST_SUITE_P(Ticks, DeferredNoCardTest, ::testing::Values(DWORD(100000), DWORD(0xFFFFF000)));

TEST_F(TextProtocolTest, KeyBeforeTheDelayCancelsTheLoss) {
  context.Temic.Enabled = true;
  reader.StatusFlags |= RSF_TEMIC;
  Poll(std::string(kKeyLine) + "\r\n");
  Poll("No card\r\n");
  clock.Advance(1000);
  Poll(std::string(kKeyLine) + "\r\n");
  clock.Advance(5000);
  reader.TextModePoll();
  EXPECT_EQ(0u, events.Count("lost"));
}

TEST_F(TextProtocolTest, KeyLineOnATemicReaderSparesTheTemicKeys) {
  reader.StatusFlags |= RSF_TEMIC;
  _KEY_INFO temic;
  temic.KeyType = KT_TEMIC;
  temic.Uid.Length = 8;
  reader.Keys.push_back(temic);
  Poll(std::string(kKeyLine) + "\r\n");
  ASSERT_EQ(2u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_TEMIC), reader.Keys[0].KeyType);
}

// Every exchange with no attempts fails at once without sending anything.
TEST_F(TextProtocolTest, NoAttemptsMeansNothingIsSent) {
  reader.SetTimeouts(10000, 3000, INFINITE, 1000, 0);
  UINT a, b, c;
  _KEYNUM_INFO uid;
  BYTE data[16] = {};
  EXPECT_FALSE(reader.QueryInfo(&a, &b, &c, 1000, 0, nullptr));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_FALSE(reader.SetOutputFormat("x"));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_FALSE(reader.RequestKeyLine(&a, &uid));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_FALSE(reader.ReadMifareULText(4, data));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_FALSE(reader.WriteMifareULText(4, data));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(port->Writes().empty());
}

struct UlWriteCase {
  const char* reply;
  bool ok;
  HRESULT error;
};

class UlWriteTest : public TextProtocolTest, public ::testing::WithParamInterface<UlWriteCase> {};

TEST_P(UlWriteTest, ReplyDecidesTheOutcome) {
  const UlWriteCase& c = GetParam();
  port->Expect("put 0a ff 00 10 7f\r", c.reply, 10);
  const BYTE data[4] = {0xFF, 0x00, 0x10, 0x7F};
  EXPECT_EQ(c.ok, reader.WriteMifareULText(10, data));
  EXPECT_EQ(c.error, reader.LastError);
  EXPECT_EQ(1u, port->Writes().size());
}

INSTANTIATE_TEST_SUITE_P(Replies, UlWriteTest,
                         ::testing::Values(UlWriteCase{"done\r\n", true, 0},
                                           UlWriteCase{"err: page lock\r\n", false, VOMBRA_E_KEY_DATA_LOCKED},
                                           UlWriteCase{"ERROR\r\n", false, VOMBRA_E_READER_ERROR},
                                           UlWriteCase{"Error: no card\r\n", false, VOMBRA_E_NO_KEY}));

TEST_F(TextProtocolTest, UltralightReadParsesFourLines) {
  port->Expect("get 04\r", "04: 1 2 3 4\r\n05: a b c d\r\n06: 10 20 30 40\r\n07: ff fe fd fc\r\nOK\r\n", 10);
  BYTE data[16] = {};
  ASSERT_TRUE(reader.ReadMifareULText(4, data));
  const BYTE expected[16] = {1, 2, 3, 4, 0xA, 0xB, 0xC, 0xD, 0x10, 0x20, 0x30, 0x40, 0xFF, 0xFE, 0xFD, 0xFC};
  EXPECT_EQ(0, memcmp(expected, data, 16));
}

TEST_F(TextProtocolTest, UltralightReadWithoutOkIsRetriedThenTimesOut) {
  // Four good data lines, then a closing line that is not "ok".
  const std::string lines = "04: 1 2 3 4\r\n05: 1 2 3 4\r\n06: 1 2 3 4\r\n07: 1 2 3 4\r\ndone\r\n";
  port->Expect("get 04\r", lines, 10);
  port->Expect("get 04\r", lines, 10);
  BYTE data[16] = {};
  EXPECT_FALSE(reader.ReadMifareULText(4, data));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(2u, port->Writes().size());
}

TEST_F(TextProtocolTest, UltralightReadNoCardIsNotRetried) {
  port->Expect("get 04\r", "no card\r\n", 10);
  BYTE data[16] = {};
  EXPECT_FALSE(reader.ReadMifareULText(4, data));
  EXPECT_EQ(VOMBRA_E_NO_KEY, reader.LastError);
  EXPECT_EQ(1u, port->Writes().size());
}

TEST_F(TextProtocolTest, UltralightKeyGetsFifteenBytesOfPages) {
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = 4;
  context.MifareUL.Count = 4;
  context.Formats[0].Template = L"%u";
  context.Formats[0].Params = L"b0";
  port->Expect("get 04\r", "04: 1 2 3 4\r\n05: 5 6 7 8\r\n06: 9 a b c\r\n07: d e f 10\r\nok\r\n", 10);
  Poll("Mifare[04A1B2C3D4E5F6] UL\r\n");
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  EXPECT_EQ(15, reader.Keys[0].Number.Length);
  EXPECT_EQ(15, reader.Keys[0].Number.Data[14]);
  EXPECT_EQ(L"1", reader.Keys[0].Text);
}

TEST_F(TextProtocolTest, UltralightPageOutOfRangeStillReportsTheKey) {
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = 16;
  Poll("Mifare[04A1B2C3D4E5F6] UL\r\n");
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(E_INVALIDARG, reader.Keys[0].NumberStatus);
  EXPECT_EQ((std::vector<std::string>{"found", "numberError"}), events.Kinds());
  EXPECT_TRUE(port->Writes().empty());
}

TEST_F(TextProtocolTest, IdentificationWithGarbageFirstIsRetried) {
  port->Expect("i\r", "@#!\r\n", 10);
  port->Expect("i\r", "KD-6 A S/N: 42 [301]\r\nSoftware version: 2.3\r\n", 10);
  UINT hw = 0, serial = 0, version = 0;
  std::wstring info;
  ASSERT_TRUE(reader.QueryInfo(&hw, &serial, &version, 1000, 2, &info));
  EXPECT_EQ(0x301u, hw);
  EXPECT_EQ(42u, serial);
  EXPECT_EQ(0x0302u, version);
  EXPECT_EQ(L"KD-6 A S/N: 42 [301]\r\nSoftware version: 2.3\r\n", info);
}

}  // namespace
