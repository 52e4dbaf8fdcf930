// The reply loop the binary and the framed protocol share: the same scenarios, one row per protocol,
// over a scripted fake port on virtual time: a reply split across reads, a reply to something else
// passed over, noise that never ends, silence, and a thread that is stopping.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "AddinModule.h"
#include "ByteText.h"
#include "Clock.h"
#include "FakeContext.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderEventsRecorder.h"
#include "doubles/FakeClock.h"
#include "doubles/FakePort.h"

namespace {

// A binary frame as the device builds it: STX, sequence, total length, command, payload, 16-bit sum.
std::string BinaryFrame(int sequence, int command, const std::string& payload) {
  std::string f;
  f += char(0x02);
  f += char(sequence);
  f += char(payload.size() + 6);
  f += char(command);
  f += payload;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  f += char(sum & 0xFF);
  f += char((sum >> 8) & 0xFF);
  return f;
}

// A framed reply as model 9 sends it: command, body, the check that makes the sum 0 modulo 256, the
// delimiter. The bodies used here need no escaping, and neither do their checks.
std::string FramedReply(int command, const std::string& body) {
  std::string f(1, char(command));
  f += body;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  const char check = char((0x100 - (sum & 0xFF)) & 0xFF);
  if (check == '\xC0' || check == '\xDB') ADD_FAILURE() << "pick a body whose check needs no escaping";
  f += check;
  f += '\xC0';
  return f;
}

constexpr BYTE kSequence = 5;
constexpr BYTE kFramedCommand = 0x61;

struct ReplyProtocol {
  const char* Name;
  std::string (*Wanted)(const std::string& body);  // the reply the read waits for
  std::string (*Other)(const std::string& body);   // a good reply, but to something else
  bool (*Read)(CReader& reader, std::string* body, UINT timeout);
};

void PrintTo(const ReplyProtocol& c, std::ostream* os) { *os << c.Name; }

const ReplyProtocol kProtocols[] = {
    {"Binary", [](const std::string& b) { return BinaryFrame(kSequence, 0x45, b); },
     [](const std::string& b) { return BinaryFrame(kSequence - 1, 0x45, b); },
     [](CReader& r, std::string* body, UINT timeout) {
       r.Sequence = kSequence;
       return r.ReadBinReply(body, timeout);
     }},
    {"Framed", [](const std::string& b) { return FramedReply(kFramedCommand, b); },
     [](const std::string& b) { return FramedReply(0x02, b); },
     [](CReader& r, std::string* body, UINT timeout) {
       return r.ReadFramedReply(body, kFramedCommand, timeout);
     }},
};

class ReplyLoopTest : public ::testing::TestWithParam<ReplyProtocol> {
 protected:
  void SetUp() override {
    port = new CFakePort;
    port->UseVirtualTime(&clock);
    factory.Add(port);
    reader.Init(&events, L"COM3");
    reader.Running = 1;
    ASSERT_TRUE(reader.OpenPort(PK_COM, L"COM3", 9600, 0, 1000, INFINITE));
  }
  void TearDown() override { reader.Running = 0; }

  bool Read(std::string* body, UINT timeout) { return GetParam().Read(reader, body, timeout); }

  ScopedThreadLanguage english{kEnglish};
  CFakeContext context;
  ScopedContext scopedContext{&context};
  CFakeClock clock{100000};
  ScopedClock scopedClock{&clock};
  CFakePortFactory factory;
  ScopedPortFactory scopedFactory{&factory};
  CFakePort* port = nullptr;
  CReaderEventsRecorder events;
  CReader reader;
};

TEST_P(ReplyLoopTest, ReplySplitAcrossReadsIsPutTogether) {
  const std::string reply = GetParam().Wanted(Bytes("55 01 02 03"));
  port->Arrive(reply.substr(0, 2), 10);
  port->Arrive(reply.substr(2, reply.size() - 3), 20);
  port->Arrive(reply.substr(reply.size() - 1), 30);
  std::string body;
  ASSERT_TRUE(Read(&body, 1000));
  EXPECT_EQ("55 01 02 03", HexText(body));
  EXPECT_TRUE(reader.RxBuffer.empty());
}

TEST_P(ReplyLoopTest, ReplyToSomethingElseIsPassedOverWithinTheSameLimit) {
  port->Arrive(GetParam().Other(Bytes("55 09")), 10);
  port->Arrive(GetParam().Wanted(Bytes("55 02")), 900);
  const DWORD start = clock.Now();
  std::string body;
  ASSERT_TRUE(Read(&body, 1000));
  EXPECT_EQ("55 02", HexText(body));
  EXPECT_LE(TicksElapsed(start, clock.Now()), 1000u);
}

TEST_P(ReplyLoopTest, NoiseWithoutEndStopsAtTheLimit) {
  // Bad for both: a binary header that claims no length, a framed frame whose check is wrong.
  for (DWORD i = 1; i <= 200; ++i) port->Arrive(Bytes("02 01 00 C0"), 20 * i);
  const DWORD start = clock.Now();
  std::string body;
  EXPECT_FALSE(Read(&body, 1000));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(body.empty());
  EXPECT_LT(TicksElapsed(start, clock.Now()), 1100u);
}

TEST_P(ReplyLoopTest, SilenceIsWaitedForToTheLimit) {
  const DWORD start = clock.Now();
  std::string body = "stale";
  EXPECT_FALSE(Read(&body, 1000));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(body.empty());
  EXPECT_GE(TicksElapsed(start, clock.Now()), 1000u);
  EXPECT_LT(TicksElapsed(start, clock.Now()), 1100u);
}

TEST_P(ReplyLoopTest, AStoppingThreadWaitsForNothing) {
  reader.Running = 0;
  port->Arrive(GetParam().Wanted(Bytes("55")), 10);
  const DWORD start = clock.Now();
  std::string body;
  EXPECT_FALSE(Read(&body, 1000));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(start, clock.Now());
}

INSTANTIATE_TEST_SUITE_P(Protocols, ReplyLoopTest, ::testing::ValuesIn(kProtocols),
                         [](const ::testing::TestParamInfo<ReplyProtocol>& info) {
                           return std::string(info.param.Name);
                         });

}  // namespace
