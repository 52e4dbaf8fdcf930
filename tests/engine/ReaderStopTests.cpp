// Stopping and waking the reader's thread from the host's side: a stop ends the thread wherever it is
// caught, a device test of a running reader is not cut short by the stop before it, and the slot and
// wake operations hand their work to the thread.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "AddinModule.h"
#include "FakeContext.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderEventsRecorder.h"
#include "doubles/FakePort.h"
#include "sim/TextReaderSim.h"

namespace {

class ReaderStopTest : public ::testing::Test {
 protected:
  ScopedThreadLanguage english{kEnglish};
  CFakeContext context;
  ScopedContext scoped{&context};
  CFakePortFactory factory;
  ScopedPortFactory scopedFactory{&factory};
  CReaderEventsRecorder events;
  CReader reader;
};

// Real-time polling for what the reader thread does on its own.
template <class Condition>
bool Eventually(Condition condition, DWORD limit = 5000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start >= limit) return false;
    Sleep(10);
  }
  return true;
}

// Stops the reader on a helper thread; true when Stop returned within limit (real time). A stop that
// hangs is freed afterwards by setting both events by hand, so that the test fails rather than hangs.
bool StopsWithin(CReader& reader, DWORD limit) {
  std::promise<void> stopped;
  std::future<void> done = stopped.get_future();
  std::thread stopper([&] {
    reader.Stop();
    stopped.set_value();
  });
  const bool inTime = done.wait_for(std::chrono::milliseconds(limit)) == std::future_status::ready;
  if (!inTime) {
    SetEvent(reader.BreakEvent);
    SetEvent(reader.WakeEvent);
  }
  stopper.join();
  return inTime;
}

// Where the thread is when the host stops it.
struct StopCase {
  const char* Name;
  // Starts the reader and returns once its thread is there.
  bool (*Arrange)(CReader& reader, CFakePortFactory& factory, CReaderEventsRecorder& events);
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.Name; }

// Inside the identification's read, which would last 20 s: only the break event ends it early.
bool InAnExchange(CReader& reader, CFakePortFactory& factory, CReaderEventsRecorder&) {
  auto* port = new CFakePort;  // answers nothing
  factory.Add(port);
  reader.SetTimeouts(1000, 3000, INFINITE, 20000, 1);
  reader.Start();
  return Eventually([&] { return !port->Writes().empty(); });
}

// In the loop's wait with no timer running (a failed connect, no reconnect period): only the wake
// event ends it.
bool InItsWait(CReader& reader, CFakePortFactory& factory, CReaderEventsRecorder& events) {
  auto* port = new CFakePort;
  port->FailOpen(VOMBRA_E_PORT_BUSY);
  factory.Add(port);
  reader.SetTimeouts(1000, INFINITE, INFINITE, 1000, 1);
  reader.Start();
  return events.WaitFor("error", 1, 5000);
}

const StopCase kStopCases[] = {
    {"InAnExchange", InAnExchange},
    {"InItsWait", InItsWait},
};

class ReaderStopPlaceTest : public ReaderStopTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(ReaderStopPlaceTest, StopEndsTheThreadAtOnce) {
  reader.Init(&events, L"COM3");
  ASSERT_TRUE(GetParam().Arrange(reader, factory, events));
  EXPECT_TRUE(StopsWithin(reader, 3000));
  EXPECT_FALSE(reader.IsStarted());
  EXPECT_EQ(0, reader.Running.load());
}

INSTANTIATE_TEST_SUITE_P(Places, ReaderStopPlaceTest, ::testing::ValuesIn(kStopCases),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                           return std::string(info.param.Name);
                         });

// A connected text reader idles in the loop's wait, so the stop ends it through the wake event and the
// break event stays set; the test's identification, whose reply takes a moment, must not be cut short
// by it.
TEST_F(ReaderStopTest, DeviceTestOfARunningReaderIsNotCutShortByTheStop) {
  SimIdentity identity;
  identity.ModelName = "KD-6 C";
  identity.HwCode = 0x302;
  identity.Serial = 4711;
  const std::string info = CTextReaderModel::InfoReply(identity);
  auto* port = new CFakePort;
  // The thread's connect, the device test, the thread's connect again: each opens the port afresh.
  for (const char* step : {"connect", "test", "connect again"}) {
    factory.Add(port);
    port->Expect("i\r", info, 10);
    if (std::string(step) != "test") port->Expect("r\n", "No card\r\n", 10);
  }
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(1000, 3000, INFINITE, 1000, 1);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("connect", 1, 5000));

  std::wstring text;
  EXPECT_TRUE(reader.TestDevice(-1, 0, 0, 1000, INFINITE, 1000, 1, &text)) << std::hex << reader.LastError;
  EXPECT_EQ(std::wstring(info.begin(), info.end()), text);
  EXPECT_EQ(4711u, reader.SerialNumber);
  EXPECT_TRUE(reader.IsStarted());
  EXPECT_TRUE(events.WaitFor("connect", 2, 5000));
  reader.Stop();
  EXPECT_TRUE(port->UnexpectedWrites().empty());
  EXPECT_EQ(0u, events.Count("error"));
}

// What each host operation hands to a reader whose thread is not running, seen on its events and
// its change bits.
struct HandOverCase {
  const char* Name;
  void (*Act)(CReader& reader);
  bool Wakes;
  bool Breaks;
  UINT Changes;
};

void PrintTo(const HandOverCase& c, std::ostream* os) { *os << c.Name; }

const HandOverCase kHandOverCases[] = {
    {"Wake", [](CReader& r) { r.Wake(); }, true, false, 0},
    {"ContinueScan", [](CReader& r) { r.ContinueScan(); }, true, false, RC_CONTINUE_SCAN},
    {"Post", [](CReader& r) { r.Post(std::make_shared<_CMD_INFO>()); }, true, false, 0},
    {"BreakCommand", [](CReader& r) { r.BreakCommand(); }, false, false, 0},
    // No thread to stop: nothing at all, so a later start is not met by stale events.
    {"RequestStopWithoutThread", [](CReader& r) { EXPECT_FALSE(r.RequestStop()); }, false, false, 0},
};

class ReaderHandOverTest : public ReaderStopTest, public ::testing::WithParamInterface<HandOverCase> {
 protected:
  void SetUp() override {
    reader.Init(&events, L"COM3");
    reader.Changes = 0;
  }
};

TEST_P(ReaderHandOverTest, SignalsWhatTheThreadNeeds) {
  const HandOverCase& c = GetParam();
  reader.Running = 1;
  c.Act(reader);
  EXPECT_EQ(c.Wakes, WaitForSingleObject(reader.WakeEvent, 0) == WAIT_OBJECT_0);
  EXPECT_EQ(c.Breaks, WaitForSingleObject(reader.BreakEvent, 0) == WAIT_OBJECT_0);
  EXPECT_EQ(c.Changes, reader.Changes);
  EXPECT_EQ(1, reader.Running.load());
}

INSTANTIATE_TEST_SUITE_P(Operations, ReaderHandOverTest, ::testing::ValuesIn(kHandOverCases),
                         [](const ::testing::TestParamInfo<HandOverCase>& info) {
                           return std::string(info.param.Name);
                         });

TEST_F(ReaderStopTest, PostedCommandReplacesTheOneBefore) {
  reader.Init(&events, L"COM3");
  auto first = std::make_shared<_CMD_INFO>();
  auto second = std::make_shared<_CMD_INFO>();
  reader.Post(first);
  EXPECT_TRUE(reader.IsCommandCurrent(first.get()));
  EXPECT_EQ(E_PENDING, reader.CommandStatus.load());

  reader.Post(second);
  EXPECT_FALSE(reader.IsCommandCurrent(first.get()));
  EXPECT_TRUE(reader.IsCommandCurrent(second.get()));
  EXPECT_FALSE(reader.CompleteCommand(first.get(), S_OK));
  EXPECT_TRUE(reader.CompleteCommand(second.get(), S_OK));

  // A break, then the next post: the slot is pending again for the new record only.
  reader.Post(first);
  reader.BreakCommand();
  EXPECT_FALSE(reader.IsCommandCurrent(first.get()));
  reader.Post(second);
  EXPECT_TRUE(reader.IsCommandCurrent(second.get()));
  EXPECT_EQ(1u, events.Count("command"));
}

TEST_F(ReaderStopTest, ContinuedScanBecomesDueOnTheThreadsNextPass) {
  reader.Init(&events, L"COM3");
  reader.Changes = 0;
  reader.ContinueScan();
  reader.ApplyChanges();
  EXPECT_NE(0u, reader.StatusFlags & RSF_SCAN_DUE);
  EXPECT_EQ(0u, reader.Changes);
}

}  // namespace
