// The serial port on a pty that stands in for a COM port (the pty peer fixture, tools/pty_peer.py):
// line settings as the line sees them, bytes both ways, reads with time-outs, purge, stop, the modem
// lines (through the ptymodem shim) and opening errors. What a pty cannot show (a busy port, an
// unplugged adapter) is left to the fake port.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ByteText.h"
#include "ComPort.h"
#include "FakeContext.h"
#include "Messages.h"
#include "PtyPeer.h"
#include "doubles/FakeClock.h"

namespace {

constexpr DWORD kWait = 3000;
// TIOCM_* bits as the shim keeps them.
constexpr int kLineDtr = 0x002;
constexpr int kLineRts = 0x004;

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!peer.Available()) GTEST_SKIP() << peer.WhyNot();
    ASSERT_TRUE(peer.SetSpeed(38400));
    for (HANDLE* event : {&stop, &write, &read, &rx}) *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    port = new CKdComPort;
    hold = CKdPortPtr(port);
    port->SetParams(peer.ComName().c_str(), stop, write, read, rx);
  }
  void TearDown() override {
    hold.Reset();
    for (HANDLE event : {stop, write, read, rx}) {
      if (event) CloseHandle(event);
    }
  }

  void OpenAt(UINT baud, BYTE stopBits = 0, BYTE eventChar = 0) {
    ASSERT_EQ(port->SetConfig(baud, stopBits, eventChar), S_OK);
    ASSERT_EQ(port->Open(0), S_OK);
    ASSERT_TRUE(peer.Clear());
  }
  UINT RxCount() {
    UINT count = 0;
    EXPECT_EQ(port->GetRxCount(&count), S_OK);
    return count;
  }
  bool WaitForRxCount(UINT count) {
    const DWORD start = GetTickCount();
    while (RxCount() < count) {
      if (GetTickCount() - start > kWait) return false;
      Sleep(10);
    }
    return RxCount() == count;
  }

  CFakeContext context;
  ScopedContext installed{&context};
  CPtyPeer peer;
  HANDLE stop = nullptr, write = nullptr, read = nullptr, rx = nullptr;
  CKdComPort* port = nullptr;
  CKdPortPtr hold;
};

// --- opening ---

TEST(ComPortOpen, UnmappedNameIsAPortThatDoesNotExist) {
  CFakeContext context;
  context.LogLevel = 5;
  ScopedContext installed(&context);
  CKdPortPtr port(new CKdComPort);
  port->SetParams(L"COM250", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(port->Open(0), HRESULT(0x80040211));
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(context.LogTexts(L"COM250"), std::vector<std::wstring>{L"Port not exists"});
}

struct LineCase {
  UINT baud;
  BYTE stopBits;  // DCB code
  int lineStopBits;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.baud << " baud, DCB stop bits " << int(c.stopBits); }

class ComPortLine : public ComPortTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ComPortLine, OpenSetsEightDataBitsNoParityAndTheGivenSpeed) {
  const LineCase& c = GetParam();
  // Something else left the line with parity and another speed.
  OpenAt(c.baud, c.stopBits);
  PtyLineSettings line = peer.Line();
  EXPECT_EQ(line.Speed, int(c.baud));
  EXPECT_EQ(line.DataBits, 8);
  EXPECT_EQ(line.Parity, 'N');
  EXPECT_EQ(line.StopBits, c.lineStopBits);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortLine,
                         ::testing::Values(LineCase{9600, ONESTOPBIT, 1}, LineCase{19200, TWOSTOPBITS, 2},
                                           LineCase{57600, ONESTOPBIT, 1}, LineCase{115200, TWOSTOPBITS, 2}),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                           return std::to_string(info.param.baud) + "_" + std::to_string(info.param.lineStopBits);
                         });

TEST_F(ComPortTest, SpeedZeroKeepsTheLinesSpeedAndReportsIt) {
  ASSERT_TRUE(peer.SetSpeed(57600));
  OpenAt(0);
  EXPECT_EQ(peer.Line().Speed, 57600);
  UINT baud = 0;
  port->GetConfig(&baud, nullptr, nullptr);
  EXPECT_EQ(baud, 57600u);
}

TEST_F(ComPortTest, SetConfigOnAnOpenPortChangesTheLine) {
  OpenAt(9600);
  ASSERT_EQ(port->SetConfig(115200, TWOSTOPBITS, 0), S_OK);
  PtyLineSettings line = peer.Line();
  EXPECT_EQ(line.Speed, 115200);
  EXPECT_EQ(line.StopBits, 2);
  // Speed 0 keeps the speed; the stop bits still change.
  ASSERT_EQ(port->SetConfig(0, ONESTOPBIT, 13), S_OK);
  line = peer.Line();
  EXPECT_EQ(line.Speed, 115200);
  EXPECT_EQ(line.StopBits, 1);
  UINT baud = 0;
  BYTE stopBits = 9, eventChar = 0;
  port->GetConfig(&baud, &stopBits, &eventChar);
  EXPECT_EQ(baud, 115200u);
  EXPECT_EQ(stopBits, ONESTOPBIT);
  EXPECT_EQ(eventChar, 13);
}

TEST_F(ComPortTest, OpenAndCloseTwiceAreHarmless) {
  OpenAt(9600);
  EXPECT_EQ(port->Open(0), S_OK);
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->Close(), S_OK);
  EXPECT_EQ(port->Close(), S_OK);
  EXPECT_FALSE(port->IsOpen());
}

struct LogCase {
  UINT logLevel;
  bool logged;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << "LogLevel " << c.logLevel; }

class ComPortLog : public ComPortTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(ComPortLog, OpenAndCloseAreLoggedFromLevelFive) {
  context.LogLevel = GetParam().logLevel;
  OpenAt(9600);
  port->Close();
  std::vector<std::wstring> expected;
  if (GetParam().logged) expected = {L"Port is open", L"Port is closed"};
  EXPECT_EQ(context.LogTexts(peer.ComName()), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortLog, ::testing::Values(LogCase{4, false}, LogCase{5, true}),
                         [](const ::testing::TestParamInfo<LogCase>& info) {
                           return "Level" + std::to_string(info.param.logLevel);
                         });

// --- bytes both ways ---

TEST_F(ComPortTest, WrittenBytesReachTheLineUnchanged) {
  OpenAt(115200);
  // Line ends and 0xFF must pass untouched, and more than the driver's output queue at once.
  std::string data = Bytes("00 0A 0D FF 41 80 11 13");
  for (int i = 0; i < 300; ++i) data += char(i * 37);
  ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(data.data()), UINT(data.size()), kWait), S_OK);
  EXPECT_EQ(HexText(peer.Receive(data.size() + 1, 1000)), HexText(data));
}

TEST_F(ComPortTest, ReceivedBytesAreReadUnchanged) {
  OpenAt(9600, ONESTOPBIT, 13);
  const std::string data = Bytes("01 0D 0A FF 00 41 0D");
  ASSERT_TRUE(peer.Send(data));
  std::string got;
  EXPECT_EQ(port->Read(&got, UINT(data.size()), kWait), S_OK);
  EXPECT_EQ(HexText(got), HexText(data));
}

TEST_F(ComPortTest, ReadTakesNoMoreThanAskedAndTheRestIsCounted) {
  OpenAt(9600);
  ASSERT_TRUE(peer.Send("ABCDE"));
  ASSERT_TRUE(WaitForRxCount(5));
  std::string got = "x";
  EXPECT_EQ(port->Read(&got, 2, 0), S_OK);
  EXPECT_EQ(got, "xAB");
  EXPECT_EQ(RxCount(), 3u);
  EXPECT_EQ(port->Read(&got, 10, 300), S_OK);
  EXPECT_EQ(got, "xABCDE");
}

TEST_F(ComPortTest, ReadWithoutTimeReturnsAtOnceAndMissesNothingLater) {
  OpenAt(9600);
  std::string got;
  const DWORD start = GetTickCount();
  EXPECT_EQ(port->Read(&got, 1, 0), S_OK);
  EXPECT_LT(GetTickCount() - start, 500u);
  EXPECT_TRUE(got.empty());
  // The byte may land in a read the first call left in flight; it must still be delivered.
  ASSERT_TRUE(peer.Send("X"));
  EXPECT_EQ(port->Read(&got, 1, kWait), S_OK);
  EXPECT_EQ(got, "X");
}

struct TimeoutCase {
  const char* name;
  bool nearWrap;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }

class ComPortReadTimeout : public ComPortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ComPortReadTimeout, ReadWithNothingArrivingLastsItsTimeout) {
  OpenAt(9600);
  CFakeClock clock;
  clock.FollowSystemFrom(GetParam().nearWrap ? 0xFFFFFFFF - 100 : 1000);
  ScopedClock installedClock(&clock);
  port->RxPeriod = 50;
  std::string got;
  const DWORD start = GetTickCount();
  EXPECT_EQ(port->Read(&got, 1, 400), S_OK);
  const DWORD took = GetTickCount() - start;
  EXPECT_TRUE(got.empty());
  EXPECT_GE(took, 350u);
  EXPECT_LT(took, 3000u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortReadTimeout,
                         ::testing::Values(TimeoutCase{"Plain", false}, TimeoutCase{"AcrossTickWrap", true}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) { return info.param.name; });

TEST_F(ComPortTest, PurgeDropsWhatWasReceived) {
  OpenAt(9600);
  ASSERT_TRUE(peer.Send("abc"));
  ASSERT_TRUE(WaitForRxCount(3));
  EXPECT_EQ(port->Purge(true, false), S_OK);
  EXPECT_EQ(RxCount(), 0u);
  ASSERT_TRUE(peer.Send("d"));
  std::string got;
  EXPECT_EQ(port->Read(&got, 2, 500), S_OK);
  EXPECT_EQ(got, "d");
}

TEST_F(ComPortTest, StopEndsAReadAtOnce) {
  OpenAt(9600);
  SetEvent(stop);
  const DWORD start = GetTickCount();
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, 10000), E_ABORT);
  EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST_F(ComPortTest, CloseWithAReadInFlightLetsTheNextOpenReadCleanly) {
  OpenAt(9600);
  std::string got;
  ASSERT_EQ(port->Read(&got, 1, 0), S_OK);
  ASSERT_EQ(port->Close(), S_OK);
  ASSERT_EQ(port->Open(0), S_OK);
  ASSERT_TRUE(peer.Send("Y"));
  EXPECT_EQ(port->Read(&got, 1, kWait), S_OK);
  EXPECT_EQ(got, "Y");
  // And a port destroyed with a read in flight.
  ASSERT_EQ(port->Read(&got, 1, 0), S_OK);
  hold.Reset();
  port = nullptr;
}

// --- modem lines ---

TEST_F(ComPortTest, DtrAndRtsFollowTheirCalls) {
  OpenAt(9600);
  struct Step {
    bool dtr;  // which line
    bool on;
    int expected;  // DTR and RTS bits afterwards
  };
  const Step steps[] = {
      {true, true, kLineDtr},
      {false, true, kLineDtr | kLineRts},
      {true, false, kLineRts},
      {false, false, 0},
  };
  for (const Step& step : steps) {
    ASSERT_EQ(step.dtr ? port->SetDTR(step.on) : port->SetRTS(step.on), S_OK);
    int lines = peer.ModemLines();
    ASSERT_NE(lines, -1) << "the modem-line shim is not loaded";
    EXPECT_EQ(lines & (kLineDtr | kLineRts), step.expected) << (step.dtr ? "DTR " : "RTS ") << step.on;
  }
}

}  // namespace
