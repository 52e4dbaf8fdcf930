// The serial port against a driver that mishandles cancellation: a close, a purge and a search never
// wait longer than the port's bound for operations the driver does not end, and the records such an
// operation may still complete into stay alive with the keeper until it does.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <thread>
#include <string>
#include <vector>

#include "ComPort.h"
#include "FakeContext.h"
#include "PortFactory.h"
#include "PtyPeer.h"
#include "Messages.h"
#include "SearchReaders.h"
#include "doubles/FakeComIo.h"
#include "doubles/FakePort.h"

namespace {

// What a host call may take beyond the port's own bound: scheduling under a loaded test run.
constexpr DWORD kSlack = 400;

class ComCancelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CKdComKeeper::Instance().ReleaseAll();
    for (HANDLE* event : {&stop, &write, &read, &rx}) *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  void TearDown() override {
    CKdComKeeper::Instance().ReleaseAll();
    for (HANDLE event : {stop, write, read, rx}) CloseHandle(event);
  }

  // A port over io with a read, a write and the comm-event wait in flight.
  CKdPortPtr BusyPort(CFakeComIo& io, const wchar_t* name = L"COM9") {
    auto* port = new CKdComPort(&io);
    CKdPortPtr hold(port);
    port->SetParams(name, stop, write, read, rx);
    EXPECT_EQ(port->Open(0), S_OK);
    std::string received;
    EXPECT_EQ(port->Read(&received, 8, 0), S_OK);
    const BYTE data[] = {'i', '\r'};
    EXPECT_EQ(port->Write(data, 2, 0), S_OK);
    EXPECT_EQ(io.Pending(), 3u) << "a read, a write and the comm-event wait";
    return hold;
  }

  static DWORD TimedClose(IKdPort* port, HRESULT* hr) {
    const DWORD start = GetTickCount();
    *hr = port->Close();
    return GetTickCount() - start;
  }

  CFakeContext context;
  HANDLE stop = nullptr, write = nullptr, read = nullptr, rx = nullptr;
};

struct CloseCase {
  const char* Name;
  CFakeComIo::CancelMode Mode;
  DWORD LateDelay;
  DWORD MinTime;     // the close waited at least this long
  size_t KeptAfter;  // record blocks the keeper holds after the close
};
void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.Name; }

class ComCloseBound : public ComCancelTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ComCloseBound, CloseReturnsWithinItsBound) {
  const CloseCase& c = GetParam();
  CFakeComIo io(c.Mode, c.LateDelay);
  CKdPortPtr port = BusyPort(io);
  HRESULT hr = E_FAIL;
  const DWORD took = TimedClose(port.Get(), &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(io.Closes(), 1);
  EXPECT_GE(io.Cancels(), 1);
  EXPECT_GE(took + 20, c.MinTime) << "a driver that ends the cancel in time is waited for";
  EXPECT_LT(took, kComCancelWait + kSlack);
  EXPECT_EQ(CKdComKeeper::Instance().Count(), c.KeptAfter);
  // The records the port works with from now on are not the ones handed over.
  io.CompleteAll();
  EXPECT_TRUE(io.AllWritesWentToKeptRecords());
  EXPECT_EQ(CKdComKeeper::Instance().Count(), 0u) << "completed records are let go";
}

INSTANTIATE_TEST_SUITE_P(
    ComCancel, ComCloseBound,
    ::testing::Values(CloseCase{"CancelEndsAtOnce", CFakeComIo::CancelMode::AtOnce, 0, 0, 0},
                      CloseCase{"CancelEndsWithinTheBound", CFakeComIo::CancelMode::Late, 100, 100, 0},
                      CloseCase{"CancelEndsAfterTheBound", CFakeComIo::CancelMode::Late, 1500, kComCancelWait, 1},
                      CloseCase{"CancelNeverEnds", CFakeComIo::CancelMode::Never, 0, kComCancelWait, 1},
                      CloseCase{"HandleCloseEndsIt", CFakeComIo::CancelMode::OnClose, 0, kComCancelWait, 0}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.Name); });

TEST_F(ComCancelTest, LateCompletionWritesOnlyIntoTheKeptRecordsAndThePortGoesOn) {
  CFakeComIo io(CFakeComIo::CancelMode::Never);
  CKdPortPtr port = BusyPort(io);
  ASSERT_EQ(port->Close(), S_OK);
  ASSERT_EQ(CKdComKeeper::Instance().Count(), 1u);
  const size_t abandoned = io.Pending();
  ASSERT_EQ(abandoned, 3u);

  EXPECT_EQ(io.PendingKept(), 3u);

  // Opened again, the port's new operations use records of their own.
  ASSERT_EQ(port->Open(0), S_OK);
  std::string received;
  ASSERT_EQ(port->Read(&received, 8, 0), S_OK);
  EXPECT_EQ(io.Pending(), 5u) << "the three abandoned, the new comm-event wait and the new read";
  EXPECT_EQ(io.PendingKept(), 3u) << "only the abandoned ones are the keeper's";
  io.CompleteAll();
  EXPECT_EQ(CKdComKeeper::Instance().Count(), 0u);
  // The new read's bytes reach the port.
  EXPECT_EQ(port->Read(&received, 16, 0), S_OK);
  EXPECT_EQ(received, std::string(16, char(0xA5)));
}

TEST_F(ComCancelTest, OnlyAFewBlocksAreKeptPerPort) {
  CFakeComIo io(CFakeComIo::CancelMode::Never);
  CKdPortPtr port = BusyPort(io);
  auto* serial = static_cast<CKdComPort*>(port.Get());
  for (size_t i = 1; i < kMaxKeptComRecords; ++i) {
    ASSERT_EQ(serial->Close(), S_OK);
    ASSERT_EQ(serial->Open(0), S_OK);
  }
  ASSERT_EQ(serial->Close(), S_OK);
  EXPECT_EQ(CKdComKeeper::Instance().KeptFor(L"COM9"), kMaxKeptComRecords);
  const int opens = io.Opens();
  EXPECT_EQ(serial->Open(0), VOMBRA_E_PORT_BUSY) << "a driver holding that many is stuck";
  EXPECT_EQ(io.Opens(), opens);
  // Another port is not held back by this one.
  CFakeComIo other(CFakeComIo::CancelMode::AtOnce);
  CKdPortPtr second = BusyPort(other, L"COM10");
  EXPECT_TRUE(second->IsOpen());
  // Once the driver lets go, the port opens again.
  io.CompleteAll();
  EXPECT_EQ(serial->Open(0), S_OK);
}

TEST_F(ComCancelTest, PurgeOfAReadThatNeverEndsClosesThePortAsDisconnected) {
  for (bool rx : {true, false}) {
    SCOPED_TRACE(rx ? "receive side" : "send side");
    CFakeComIo io(CFakeComIo::CancelMode::Never);
    CKdPortPtr port = BusyPort(io);
    const DWORD start = GetTickCount();
    EXPECT_EQ(port->Purge(rx, !rx), VOMBRA_E_PORT_DISCONNECTED);
    EXPECT_LT(GetTickCount() - start, kComCancelWait + kSlack);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(CKdComKeeper::Instance().Count(), 1u);
    io.CompleteAll();
    EXPECT_TRUE(io.AllWritesWentToKeptRecords());
    CKdComKeeper::Instance().ReleaseAll();
  }
}

TEST_F(ComCancelTest, UnloadLetsGoOfRecordsStillInFlight) {
  CFakeComIo io(CFakeComIo::CancelMode::Never);
  {
    CKdPortPtr port = BusyPort(io);
    // The last reference closes the port, as a reader going away does.
  }
  EXPECT_EQ(CKdComKeeper::Instance().Count(), 1u);
  CKdComKeeper::Instance().ReleaseAll();
  EXPECT_EQ(CKdComKeeper::Instance().Count(), 0u);
}

// ---- The search over a port whose driver never ends a cancel ----

// The silent port COM1 is a serial port over the stuck driver; the reader on COM2 is the fake port.
class StuckFirstFactory : public IKdPortFactory {
 public:
  StuckFirstFactory(CFakeComIo* io, CFakePort* reader) : m_io(io), m_reader(reader) {}
  IKdPort* CreatePort(const wchar_t* name, bool) override {
    if (std::wstring(name) == L"COM1") return new CKdComPort(m_io);
    return m_reader;
  }

 private:
  CFakeComIo* m_io;
  CFakePort* m_reader;
};

TEST_F(ComCancelTest, SearchAnswersWithinItsTimeoutAndGoesOnWithTheNextPort) {
  ScopedContext scoped(&context);
  CFakeComIo io(CFakeComIo::CancelMode::Never);
  auto* reader = new CFakePort;
  CKdPortPtr hold(reader);
  reader->Expect("i\r", "KD-6 A S/N: 12345 [301]\r\nSoftware version: 2.5\r\n", 0, 9600);
  StuckFirstFactory factory(&io, reader);
  ScopedPortFactory scopedFactory(&factory);

  CSearchReaders search;
  const std::vector<_SEARCHPORT_INFO> ports = {{L"COM1", 0xFFFFFFFF}, {L"COM2", 0xFFFFFFFF}};
  search.Start(0, 0, 1000, INFINITE, 60, 1, 300, 1, false, &ports, nullptr);
  constexpr UINT kTimeout = 200;
  std::vector<std::wstring> found;
  const DWORD begin = GetTickCount();
  for (;;) {
    _FOUNDREADER_INFO next;
    const DWORD start = GetTickCount();
    const HRESULT hr = search.FindNext(next, kTimeout);
    EXPECT_LT(GetTickCount() - start, kTimeout + kComCancelWait + kSlack);
    if (hr == S_OK) found.push_back(next.Port);
    if (hr == VOMBRA_E_NO_MORE_READERS) break;
    ASSERT_LT(GetTickCount() - begin, 10000u) << "the search did not end";
  }
  EXPECT_EQ(found, std::vector<std::wstring>{L"COM2"});
  EXPECT_GE(io.Closes(), 1) << "the silent port was tried and closed";
  EXPECT_GE(CKdComKeeper::Instance().Count(), 1u) << "its stuck operations went to the keeper";
}

// The same over the pty peer as a real serial line: the reader answers on COM21 while the port
// before it in the list sits on a driver that never ends a cancel.
class StuckBesidePtyFactory : public IKdPortFactory {
 public:
  StuckBesidePtyFactory(CFakeComIo* io, std::wstring stuck) : m_io(io), m_stuck(std::move(stuck)) {}
  IKdPort* CreatePort(const wchar_t* name, bool nvt) override {
    if (m_stuck == name) return new CKdComPort(m_io);
    return DefaultPortFactory().CreatePort(name, nvt);
  }

 private:
  CFakeComIo* m_io;
  std::wstring m_stuck;
};

TEST_F(ComCancelTest, SearchOverThePtyFindsTheReaderBesideAStuckPort) {
  CPtyPeer peer;
  if (!peer.Available()) GTEST_SKIP() << peer.WhyNot();
  ASSERT_TRUE(peer.Clear());
  ScopedContext scoped(&context);
  CFakeComIo io(CFakeComIo::CancelMode::Never);
  StuckBesidePtyFactory factory(&io, L"COM29");
  ScopedPortFactory scopedFactory(&factory);
  // The reader behind the pty answers every identification request.
  std::atomic<bool> answering{true};
  std::thread reader([&] {
    std::string heard;
    while (answering) {
      heard += peer.Receive(16, 100);
      const size_t request = heard.find("i\r");
      if (request == std::string::npos) continue;
      heard.erase(0, request + 2);
      peer.Send("KD-6 A S/N: 12345 [301]\r\nSoftware version: 2.5\r\n");
    }
  });

  CSearchReaders search;
  const std::vector<_SEARCHPORT_INFO> ports = {{L"COM29", 0xFFFFFFFF}, {peer.ComName(), 0xFFFFFFFF}};
  search.Start(0, 0, 1000, INFINITE, 500, 1, 300, 1, false, &ports, nullptr);
  constexpr UINT kTimeout = 200;
  std::vector<std::wstring> found;
  const DWORD begin = GetTickCount();
  for (;;) {
    _FOUNDREADER_INFO next;
    const DWORD start = GetTickCount();
    const HRESULT hr = search.FindNext(next, kTimeout);
    EXPECT_LT(GetTickCount() - start, kTimeout + kComCancelWait + kSlack);
    if (hr == S_OK) found.push_back(next.Port);
    if (hr == VOMBRA_E_NO_MORE_READERS || GetTickCount() - begin > 10000) break;
  }
  answering = false;
  reader.join();
  EXPECT_EQ(found, std::vector<std::wstring>{peer.ComName()});
  EXPECT_GE(io.Closes(), 1) << "the stuck port was tried and closed";
  EXPECT_GE(CKdComKeeper::Instance().Count(), 1u);
}

}  // namespace
