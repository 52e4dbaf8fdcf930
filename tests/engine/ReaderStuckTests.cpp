// A reader whose thread is caught in a device call that ignores every way of ending it: the host's
// calls that stop the reader return within their bound, the thread is left to end by itself, owning
// the reader, and nothing of it reaches the add-in's events after that.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "FakeContext.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderEventsRecorder.h"
#include "doubles/StuckPort.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr DWORD kSlack = 400;

class CHoldCountingContext : public CFakeContext {
 public:
  void HoldForThread() override { ++Holds; }
  void ReleaseForThread() override { --Holds; }
  std::atomic<int> Holds{0};
};

template <class Condition>
bool Eventually(Condition condition, DWORD limit = 5000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start >= limit) return false;
    Sleep(10);
  }
  return true;
}

class ReaderStuckTest : public ::testing::Test {
 protected:
  void SetUp() override { port->Expect("i\r", "", 0); }
  void TearDown() override {
    // Whatever happened, no thread stays caught past the test.
    port->LetGo();
    EXPECT_TRUE(Eventually([&] { return context.Holds == 0; })) << "the reader left to its thread was never deleted";
  }
  std::unique_ptr<CReader> StartedReader() {
    std::unique_ptr<CReader> reader(new CReader);
    reader->Init(&events, L"COM5");
    reader->SetTimeouts(1000, 100, INFINITE, 1000, 1);
    reader->Start();
    return reader;
  }

  CHoldCountingContext context;
  ScopedContext scoped{&context};
  CStuckPort* port = new CStuckPort;
  CKdPortPtr hold{port};
  COnePortFactory factory{port};
  ScopedPortFactory scopedFactory{&factory};
  CReaderEventsRecorder events;
};

// Connected, the reader polls its port; the poll's read hangs, and when it comes back with an
// error the thread would report the error and the disconnect.
TEST_F(ReaderStuckTest, RetireReturnsInItsBoundAndTheThreadEndsLaterWithTheReader) {
  SimIdentity identity;
  identity.ModelName = "KD-6 C";
  identity.HwCode = 0x302;
  identity.Serial = 4711;
  port->Stuck = false;
  port->Expect("i\r", CTextReaderModel::InfoReply(identity), 10);
  port->Expect("r\n", "No card\r\n", 10);
  std::unique_ptr<CReader> reader(new CReader);
  reader->Init(&events, L"COM5");
  reader->SetTimeouts(1000, 100, 50, 1000, 1);
  reader->Start();
  ASSERT_TRUE(events.WaitFor("connect", 1, 5000));
  port->Arm();
  ASSERT_TRUE(port->WaitEntered());
  const size_t before = events.Events().size();

  const DWORD start = GetTickCount();
  CReader::Retire(std::move(reader));
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took + 20, kReaderStopWait) << "a thread is given its time to end";
  EXPECT_LT(took, kReaderStopWait + kEventsShutWait + kSlack);
  EXPECT_EQ(context.Holds, 1) << "the thread holds the context while it runs";

  port->LetGo();
  EXPECT_TRUE(Eventually([&] { return context.Holds == 0; })) << "the thread deletes its reader as it ends";
  EXPECT_EQ(events.Kinds().size(), before) << "nothing reaches the add-in after the host let go";
  EXPECT_FALSE(port->IsOpen()) << "the thread closed its port on the way out";
}

TEST_F(ReaderStuckTest, RetireOfAReaderThatEndsWaitsForItAndKeepsNothing) {
  port->Stuck = false;
  std::unique_ptr<CReader> reader = StartedReader();
  ASSERT_TRUE(Eventually([&] { return !port->Writes().empty(); }));
  const DWORD start = GetTickCount();
  CReader::Retire(std::move(reader));
  EXPECT_LT(GetTickCount() - start, kReaderStopWait / 2);
  EXPECT_EQ(context.Holds, 0);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(ReaderStuckTest, DeviceTestOfAStuckReaderReportsTheBusyPortAndTheReaderGoesOn) {
  std::unique_ptr<CReader> reader = StartedReader();
  ASSERT_TRUE(port->WaitEntered());

  const DWORD start = GetTickCount();
  std::wstring info;
  EXPECT_FALSE(reader->TestDevice(-1, 0, 0, 1000, INFINITE, 200, 1, &info));
  EXPECT_LT(GetTickCount() - start, kReaderStopWait + kSlack);
  EXPECT_EQ(reader->LastError, VOMBRA_E_PORT_BUSY);
  EXPECT_TRUE(reader->IsStarted());
  EXPECT_EQ(reader->Running.load(), 1) << "the stop was taken back";

  // Let go, the thread carries on with its reconnects rather than ending.
  port->Stuck = false;
  const size_t writes = port->Writes().size();
  port->LetGo();
  EXPECT_TRUE(Eventually([&] { return port->Writes().size() > writes; }));
  EXPECT_TRUE(reader->IsStarted());
  CReader::Retire(std::move(reader));
}

}  // namespace
