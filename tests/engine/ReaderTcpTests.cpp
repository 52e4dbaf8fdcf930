// A text-protocol reader simulated behind a loopback TCP converter, driven by the reader's own
// thread end to end: connect, keys and "No card", garbage, a dropped link, timed reconnects and stop.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "Messages.h"
#include "ReaderFixture.h"
#include "sim/TextReaderSim.h"

namespace {

const char kKeyLine[] = "Em-Marine[0A1B] 123,45678";

// ReaderFixture: English texts (for the reader's thread too), a fake context, the fake port factory and
// a reader with its events recorder. Here on real time against the text-reader simulator over loopback
// TCP, keys printed as "123,45678" for kKeyLine.
class ReaderTcpTest : public ReaderFixture {
 protected:
  void SetUp() override {
    UseRealTime();
    UseSeriesNumberFormat();
  }

  size_t LogCount(UINT number) const {
    size_t n = 0;
    for (const auto& line : context.LogLines()) n += line.Number == number;
    return n;
  }
};

class ReaderTcpEndToEndTest : public ReaderTcpTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReaderTcpEndToEndTest, ConnectsReportsKeysSurvivesGarbageAndADroppedLink) {
  const bool nvt = GetParam();
  CTextReaderSim sim(SimIdentity(), nvt);
  ASSERT_TRUE(sim.Listening());
  reader.Init(&events, sim.PortName().c_str());
  // The default connection flags, with or without Telnet NVT.
  const UINT flags = RDF_BINARY | RDF_DIFFERENT_CODES | (nvt ? UINT(RDF_NVT) : 0u);
  reader.SetPortParams(0, flags, 0, 0, false);
  reader.SetTimeouts(10000, 500, INFINITE, 1000, 2);
  reader.Start();

  ASSERT_TRUE(events.WaitFor("connect", 1, 10000));
  EXPECT_EQ(1u, LogCount(10));
  EXPECT_EQ(RS_CONNECTED, reader.GetState(-1));
  EXPECT_EQ((std::vector<std::string>{"i", "r"}), sim.Requests());
  if (nvt) {
    EXPECT_EQ(9600u, sim.Baud());
  }

  sim.SendLine(kKeyLine);
  ASSERT_TRUE(events.WaitFor("number", 1, 5000));
  sim.SendLine("No card");
  ASSERT_TRUE(events.WaitFor("lost", 1, 5000));
  auto recorded = events.Events();
  ASSERT_EQ((std::vector<std::string>{"connect", "found", "number", "lost"}), events.Kinds());
  EXPECT_EQ(L"123,45678", recorded[2].Text);
  EXPECT_EQ(L"123,45678", recorded[3].Text);

  // Garbage, with bytes a Telnet stream must carry doubled: one report, the link stays.
  sim.SendRaw("\xFF\x01garbage\r\n");
  ASSERT_TRUE(events.WaitFor("error", 1, 5000));
  sim.SendRaw("more garbage\r\n");
  Sleep(300);
  EXPECT_EQ(1u, events.Count("error"));
  EXPECT_EQ(VOMBRA_E_UNKNOWN_MESSAGE, events.Events().back().Code);
  EXPECT_EQ(RS_CONNECTED, reader.GetState(-1));

  sim.Drop();
  ASSERT_TRUE(events.WaitFor("connect", 2, 10000));
  EXPECT_EQ(1u, LogCount(5));
  EXPECT_EQ(2u, events.Count("error"));
  EXPECT_EQ(1u, events.Count("disconnect"));
  EXPECT_EQ(2, sim.Connections());

  // Stop while the thread waits for the next port event: at once, and nothing follows.
  const DWORD start = GetTickCount();
  reader.Stop();
  EXPECT_LT(GetTickCount() - start, 1000u);
  const size_t count = events.Events().size();
  Sleep(300);
  EXPECT_EQ(count, events.Events().size());
  EXPECT_EQ(0, events.CallsUnderLock());
}

INSTANTIATE_TEST_SUITE_P(Links, ReaderTcpEndToEndTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Nvt" : "Raw"; });

// Behind a converter the line speed travels as the Telnet COM-PORT option: 44, SET-BAUDRATE (1), and
// the speed in four bytes, most significant first.
TEST_F(ReaderTcpTest, SpeedFallbackReachesTheConverterAsSetBaudRate) {
  CTextReaderSim sim(SimIdentity(), true);
  sim.SetRequiredBaud(115200);
  reader.Init(&events, sim.PortName().c_str());
  reader.SetPortParams(0, RDF_NVT, 0, 0, false);
  reader.SetTimeouts(3000, 3000, INFINITE, 500, 1);
  reader.Running = 1;
  ASSERT_TRUE(reader.Connect());
  EXPECT_TRUE(reader.StatusFlags & RSF_WAKEUP);
  EXPECT_EQ(115200u, sim.Baud());
  const std::string at9600("\x2C\x01\x00\x00\x25\x80", 6);
  const std::string at115200("\x2C\x01\x00\x01\xC2\x00", 6);
  auto subs = sim.Subnegotiations();
  ASSERT_GE(subs.size(), 2u);
  EXPECT_EQ(at9600, subs.front());
  EXPECT_EQ(at115200, subs.back());
  EXPECT_EQ((std::vector<std::string>{"i", "i", "r"}), sim.Requests());
  reader.Running = 0;
}

TEST_F(ReaderTcpTest, ReconnectAttemptsStartConnectPeriodApart) {
  CTextReaderSim sim(SimIdentity(), false);
  sim.SetSilent(true);
  reader.Init(&events, sim.PortName().c_str());
  reader.SetPortParams(0, 0, 0, 0, false);  // raw: one request per attempt
  // Each attempt lasts about 400 ms; a period counted from its end would space them 1400 ms apart.
  reader.SetTimeouts(3000, 1000, INFINITE, 400, 1);
  reader.Start();
  const DWORD start = GetTickCount();
  while (sim.Requests().size() < 4 && GetTickCount() - start < 8000) Sleep(20);
  reader.Stop();
  auto ticks = sim.RequestTicks();
  ASSERT_GE(ticks.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_GE(ticks[i] - ticks[i - 1], 850u);
    EXPECT_LE(ticks[i] - ticks[i - 1], 1250u);
  }
  // Each failed attempt is reported once.
  EXPECT_GE(events.Count("error"), 3u);
}

TEST_F(ReaderTcpTest, StopDuringAnIdentificationReturnsAtOnceWithoutAnError) {
  CTextReaderSim sim(SimIdentity(), true);
  sim.SetSilent(true);
  reader.Init(&events, sim.PortName().c_str());
  reader.SetPortParams(0, RDF_NVT, 0, 0, false);
  reader.SetTimeouts(3000, 3000, INFINITE, 20000, 2);
  reader.Start();
  const DWORD begin = GetTickCount();
  while (sim.Requests().empty() && GetTickCount() - begin < 5000) Sleep(10);
  ASSERT_FALSE(sim.Requests().empty());

  const DWORD start = GetTickCount();
  reader.Stop();
  EXPECT_LT(GetTickCount() - start, 1000u);
  Sleep(200);
  EXPECT_TRUE(events.Events().empty());  // a stop is no error
  EXPECT_EQ(RS_DISCONNECTED, reader.GetState(-1));
}

TEST_F(ReaderTcpTest, NobodyListeningIsReportedAndRetried) {
  const USHORT unused = [] {
    CTextReaderSim probe(SimIdentity(), false);
    std::wstring name = probe.PortName();
    return USHORT(std::stoi(name.substr(name.rfind(L':') + 1)));
  }();
  const std::wstring name = L"127.0.0.1:" + std::to_wstring(unused);
  reader.Init(&events, name.c_str());
  reader.SetPortParams(0, RDF_NVT, 0, 0, false);
  reader.SetTimeouts(2000, 300, INFINITE, 1000, 1);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("error", 2, 10000));
  reader.Stop();
  auto recorded = events.Events();
  EXPECT_EQ(0u, recorded[0].Text.find(L"Unable to connect to the reader. "));
  EXPECT_TRUE(FAILED(recorded[0].Code));
  EXPECT_EQ(0u, events.Count("connect"));
}

}  // namespace
