// The framed protocol of model 9: escaping both ways, the request frames byte for byte, the reply
// check, and a model-9 reader connected and polled: keys found and lost with the indication only on
// a change, a stuffed byte split across reads, a bad check retried, the 333 ms poll.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ByteText.h"
#include "Clock.h"
#include "Messages.h"
#include "ProtoFramed.h"
#include "ReaderFixture.h"
#include "sim/FramedReaderSim.h"

namespace {

const BYTE* B(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

// --- Frame coding.

struct StuffCase {
  const char* plain;
  const char* stuffed;
};

void PrintTo(const StuffCase& c, std::ostream* os) { *os << c.plain; }

class StuffTest : public ::testing::TestWithParam<StuffCase> {};

TEST_P(StuffTest, EscapesBothWays) {
  const std::string plain = Bytes(GetParam().plain), stuffed = Bytes(GetParam().stuffed);
  std::string out = "x";  // appended to, not replaced
  StuffBytes(&out, B(plain), int(plain.size()));
  EXPECT_EQ(HexText("x" + stuffed), HexText(out));
  std::string back;
  UnstuffBytes(B(stuffed), int(stuffed.size()), &back);
  EXPECT_EQ(HexText(plain), HexText(back));
}

INSTANTIATE_TEST_SUITE_P(Table, StuffTest,
                         ::testing::Values(StuffCase{"", ""}, StuffCase{"C0", "DB 01"}, StuffCase{"DB", "DB DD"},
                                           StuffCase{"01 C0 DB 02", "01 DB 01 DB DD 02"},
                                           StuffCase{"C0 C0", "DB 01 DB 01"}, StuffCase{"DB 01", "DB DD 01"},
                                           StuffCase{"00 01 DD FF", "00 01 DD FF"}));

TEST(UnstuffTest, StrayEscapesGiveNothing) {
  struct {
    const char* stuffed;
    const char* plain;
  } cases[] = {{"DB 05", ""}, {"11 DB 05 22", "11 22"}, {"11 DB", "11"}, {"DB", ""}, {"DB DB 01", "01"}};
  for (const auto& c : cases) {
    const std::string stuffed = Bytes(c.stuffed);
    std::string out;
    UnstuffBytes(B(stuffed), int(stuffed.size()), &out);
    EXPECT_EQ(HexText(Bytes(c.plain)), HexText(out)) << c.stuffed;
  }
}

TEST(UnstuffTest, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += char(i);
  std::string stuffed;
  StuffBytes(&stuffed, B(all), int(all.size()));
  EXPECT_EQ(std::string::npos, stuffed.find(char(0xC0)));
  EXPECT_EQ(all.size() + 2, stuffed.size());  // C0 and DB take two bytes each
  std::string back;
  UnstuffBytes(B(stuffed), int(stuffed.size()), &back);
  EXPECT_EQ(all, back);
}

TEST(FramedRequestTest, FramesByteForByte) {
  struct {
    BYTE command;
    const char* payload;
    const char* frame;
  } cases[] = {
      {0x61, "0B 64 03", "61 0B 64 03 2D C0"},  // 61 + 0B + 64 + 03 = D3, check 2D
      {0x02, "01 00", "02 01 00 FD C0"},
      {0x02, "0C 05", "02 0C 05 ED C0"},
      {0x02, "02 00", "02 02 00 FC C0"},
      {0x02, "C0 DB", "02 DB 01 DB DD 63 C0"},  // 02 + C0 + DB = 19D, check 63
      {0x40, "00", "40 00 DB 01 C0"},           // check C0, escaped
      {0x25, "", "25 DB DD C0"},                // check DB, escaped
  };
  for (const auto& c : cases) {
    const std::string payload = Bytes(c.payload);
    EXPECT_EQ(c.frame, HexText(BuildFramedRequest(c.command, B(payload), int(payload.size())))) << c.frame;
  }
}

TEST(FramedReplyTest, DecodesAndChecks) {
  struct {
    const char* frame;
    HRESULT result;
    UINT command;
    const char* body;
  } cases[] = {
      {"61 AA 00 F5 C0", S_OK, 0x61, "AA 00"},                // 61 + AA + 00 + F5 = 200
      {"61 AA 00 F6 C0", VOMBRA_E_BAD_RESPONSE, 0, ""},       // sum off by one
      {"61 AA DB 01 35 C0", S_OK, 0x61, "AA C0"},             // escaped body byte: 61 + AA + C0 + 35 = 200
      {"61 DF DB 01 C0", S_OK, 0x61, "DF"},                   // escaped check C0: 61 + DF + C0 = 200
      {"61 9F C0", S_OK, 0x61, ""},                           // no body at all
      {"61 C0", VOMBRA_E_BAD_RESPONSE, 0, ""},
      {"C0", VOMBRA_E_BAD_RESPONSE, 0, ""},
  };
  for (const auto& c : cases) {
    const std::string frame = Bytes(c.frame);
    UINT command = 0;
    std::string body = "stale";
    EXPECT_EQ(c.result, DecodeFramedReply(B(frame), int(frame.size()), &command, &body)) << c.frame;
    if (c.result == S_OK) {
      EXPECT_EQ(c.command, command) << c.frame;
      EXPECT_EQ(c.body, HexText(body)) << c.frame;
    }
  }
}

// A frame that begins with an escape sequence answers no request, even when it checks.
TEST(FramedReplyTest, LeadingEscapeMatchesNoCommand) {
  const std::string frame = Bytes("DB 01 AA 96 C0");  // C0 + AA + 96 = 200
  UINT command = 0;
  std::string body;
  ASSERT_EQ(S_OK, DecodeFramedReply(B(frame), int(frame.size()), &command, &body));
  EXPECT_NE(0xC0u, command);
  EXPECT_NE(UINT(kFramedQueryKeys), command);
}

// --- A model-9 reader behind the fake port.

const char kEm[] = "6E B2 7B 1B 0A";                   // Em-Marine 0A1B 123,45678 as received
const char kTemic[] = "11 22 33 44 55 66 77 88";

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here the model-9 simulator behind the fake port, the reader set to model 9 and
// its keys printed as "123,45678" (series byte 2, number bytes 0..1).
class FramedReaderTest : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    port = AddPort(new CFramedSimFakePort);
    UseSeriesNumberFormat();
    InitReader(500, 2);
    reader.SetPortParams(0, 0, RM_PX2210, 0, false);
    reader.ApplyChanges();
  }

  void Field(const char* em, const char* temic) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.EmMarine = Bytes(em);
    port->Model.Temic = Bytes(temic);
  }
  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> hold(port->Mutex);
    std::vector<std::string> out;
    for (const auto& f : port->Model.Frames) out.push_back(HexText(f));
    return out;
  }
  std::vector<std::pair<BYTE, BYTE>> Indications() {
    std::lock_guard<std::mutex> hold(port->Mutex);
    return port->Model.Indications;
  }
  // One framed pass of the thread after the poll period.
  void Poll() {
    clock.Advance(333);
    reader.NextWait = INFINITE;
    reader.FramedModePoll();
  }

  CFramedSimFakePort* port = nullptr;
};

using Indication = std::pair<BYTE, BYTE>;
const Indication kNoKey{1, 0};
const Indication kKeyFirst{0x0C, 5};
const Indication kKeySecond{2, 0};

TEST_F(FramedReaderTest, ConnectsAt115200WithTheDelimiterAsEventCharacter) {
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(RM_PX2210), reader.Model);
  EXPECT_EQ(UINT(PM_FRAMED), reader.Mode);
  EXPECT_EQ((FakeConfigCall{115200, 0, 0xC0}), port->ConfigCalls().back());
  EXPECT_EQ("i\r", port->Writes().front());
  EXPECT_EQ((std::vector<std::string>{"61 0B 64 03", "02 01 00"}), Frames());
  EXPECT_EQ(std::vector<Indication>{kNoKey}, Indications());
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());
}

TEST_F(FramedReaderTest, KeysInTheFieldAtConnectAreListedWithTheirTextsSilently) {
  Field(kEm, kTemic);
  ASSERT_TRUE(reader.Connect());
  ASSERT_EQ(2u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_EM_MARINE), reader.Keys[0].KeyType);
  EXPECT_EQ(L"0A1B7BB26E", HexOf(reader.Keys[0].Uid));
  EXPECT_EQ(L"123,45678", reader.Keys[0].Text);
  EXPECT_EQ(UINT(KT_TEMIC), reader.Keys[1].KeyType);
  EXPECT_EQ(L"8877665544332211", HexOf(reader.Keys[1].Uid));
  // Temic 11 22 33 ...: series 0x33 = 51, number 0x11 + 256 * 0x22 = 8721.
  EXPECT_EQ(L"051,08721", reader.Keys[1].Text);
  EXPECT_EQ((std::vector<Indication>{kKeyFirst, kKeySecond}), Indications());
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());
}

TEST_F(FramedReaderTest, IndicationFollowsOnlyAChangeOfTheField) {
  ASSERT_TRUE(reader.Connect());
  const size_t start = Indications().size();

  Field(kEm, "");
  Poll();
  EXPECT_EQ((std::vector<std::string>{"connect", "found", "number"}), events.Kinds());
  EXPECT_EQ(L"123,45678", events.Events()[2].Text);
  EXPECT_EQ(start + 2, Indications().size());
  EXPECT_EQ(kKeySecond, Indications().back());

  // The same key: nothing at all.
  Poll();
  EXPECT_EQ(3u, events.Events().size());
  EXPECT_EQ(start + 2, Indications().size());

  // A second key joins: found, and the indication again.
  Field(kEm, kTemic);
  Poll();
  EXPECT_EQ(5u, events.Events().size());
  EXPECT_EQ(start + 4, Indications().size());

  // One of two leaves: lost, the field is not empty, the indication stays.
  Field(kEm, "");
  Poll();
  auto recorded = events.Events();
  ASSERT_EQ(6u, recorded.size());
  EXPECT_EQ("lost", recorded[5].Kind);
  EXPECT_EQ(UINT(KT_TEMIC), recorded[5].KeyType);
  EXPECT_EQ(start + 4, Indications().size());

  // The last leaves: lost and the empty-field indication.
  Field("", "");
  Poll();
  EXPECT_EQ("lost", events.Events().back().Kind);
  EXPECT_EQ(start + 5, Indications().size());
  EXPECT_EQ(kNoKey, Indications().back());
  EXPECT_TRUE(reader.Keys.empty());
}

TEST_F(FramedReaderTest, KeyTypesDecideWhatIsAskedAndReported) {
  Field(kEm, kTemic);
  context.KeyTypes = 1u << KT_TEMIC;
  ASSERT_TRUE(reader.Connect());
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_TEMIC), reader.Keys[0].KeyType);

  // Neither type: no query goes out and the held key is lost.
  context.KeyTypes = 1u << KT_MIFARE_1K;
  const size_t frames = Frames().size();
  Poll();
  EXPECT_EQ(frames + 1, Frames().size());
  EXPECT_EQ("02 01 00", Frames().back());
  EXPECT_EQ((std::vector<std::string>{"connect", "lost"}), events.Kinds());
}

TEST_F(FramedReaderTest, EmMarineAloneComesInTheOtherReplyForm) {
  ASSERT_TRUE(reader.Connect());
  Field(kEm, "");  // status not AA, first data byte with 0x20
  _KEYNUM_INFO em, temic;
  ASSERT_TRUE(reader.FramedQueryKeys(&em, &temic));
  EXPECT_EQ(L"0A1B7BB26E", HexOf(em));
  EXPECT_EQ(0, temic.Length);
}

TEST_F(FramedReaderTest, StuffedByteSplitAcrossReads) {
  ASSERT_TRUE(reader.Connect());
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.Temic = Bytes("C0 DB C0 01 02 03 04 05");
    port->Model.SplitAfterEscape = true;
  }
  _KEYNUM_INFO em, temic;
  ASSERT_TRUE(reader.FramedQueryKeys(&em, &temic));
  EXPECT_EQ(L"0504030201C0DBC0", HexOf(temic));
  EXPECT_FALSE(port->Model.SplitAfterEscape);  // the reply did come in two pieces
}

TEST_F(FramedReaderTest, ReplyWithABadCheckIsDroppedAndTheRequestRetried) {
  ASSERT_TRUE(reader.Connect());
  Field(kEm, "");
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.CorruptReplies = 1;
  }
  const DWORD before = Ticks();
  _KEYNUM_INFO em, temic;
  ASSERT_TRUE(reader.FramedQueryKeys(&em, &temic));
  EXPECT_EQ(L"0A1B7BB26E", HexOf(em));
  // The retry came after the request timeout.
  EXPECT_GE(Ticks() - before, 500u);
  const auto frames = Frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[frames.size() - 1], frames[frames.size() - 2]);
}

TEST_F(FramedReaderTest, SilentReaderLeavesTheListAlone) {
  Field(kEm, "");
  ASSERT_TRUE(reader.Connect());
  ASSERT_EQ(1u, reader.Keys.size());
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.CorruptReplies = 100;
  }
  Poll();
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(1u, reader.Keys.size());
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());
}

TEST_F(FramedReaderTest, RefusedIndicationSkipsTheSecond) {
  ASSERT_TRUE(reader.Connect());
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.IndicateStatus = 0x01;
  }
  Field(kEm, "");
  Poll();
  EXPECT_EQ(kKeyFirst, Indications().back());
  EXPECT_EQ(VOMBRA_E_READER_ERROR, reader.LastError);
  EXPECT_EQ(1u, events.Count("found"));
}

TEST_F(FramedReaderTest, PolledEvery333Milliseconds) {
  ASSERT_TRUE(reader.Connect());
  const size_t frames = Frames().size();
  // The period counts from the start of the last poll.
  reader.NextWait = INFINITE;
  clock.Set(reader.HoldStart + 332);
  reader.FramedModePoll();
  EXPECT_EQ(frames, Frames().size());
  EXPECT_EQ(1u, reader.NextWait);
  clock.Advance(1);
  reader.NextWait = INFINITE;
  reader.FramedModePoll();
  EXPECT_EQ(frames + 1, Frames().size());
  EXPECT_EQ("61 0B 64 03", Frames().back());
  EXPECT_EQ(333u, reader.NextWait);
}

}  // namespace
