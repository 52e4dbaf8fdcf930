// The TCP port against a loopback peer: connecting, the name split, raw and Telnet NVT bytes on the
// wire, the speed command, flow control without loss, the peer going away, stop and time-outs.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ByteText.h"
#include "FakeContext.h"
#include "LoopbackPeer.h"
#include "Messages.h"
#include "TcpPort.h"
#include "doubles/FakeClock.h"

namespace {

constexpr DWORD kWait = 3000;

class TcpPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Listening());
    for (HANDLE* event : {&stop, &write, &read, &rx}) *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    port = new CKdTcpPort;
    hold = CKdPortPtr(port);
    port->SetParams(peer.PortName().c_str(), stop, write, read, rx);
  }
  void TearDown() override {
    hold.Reset();
    for (HANDLE event : {stop, write, read, rx}) CloseHandle(event);
  }

  void Connect(UINT nvt, UINT baud) {
    port->Nvt = nvt;
    ASSERT_EQ(port->SetConfig(baud, 0, 0), S_OK);
    ASSERT_EQ(port->Open(kWait), S_OK);
    ASSERT_TRUE(peer.Accept(kWait));
  }
  // What the reader's loop does between exchanges: handle the port's event as it fires.
  HRESULT PumpUntil(const std::function<bool()>& done, DWORD timeout) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > timeout) return S_FALSE;
      if (WaitForSingleObject(rx, 20) == WAIT_OBJECT_0) {
        HRESULT hr = port->OnRxEvent();
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  }
  UINT RxCount() {
    UINT count = 0;
    EXPECT_EQ(port->GetRxCount(&count), S_OK);
    return count;
  }

  CFakeContext context;
  ScopedContext installed{&context};
  CLoopbackPeer peer;
  HANDLE stop = nullptr, write = nullptr, read = nullptr, rx = nullptr;
  CKdTcpPort* port = nullptr;
  CKdPortPtr hold;
};

// --- connecting ---

TEST_F(TcpPortTest, NameWithoutPortPartIsRefused) {
  const wchar_t* names[] = {L"127.0.0.1", L":4001", L""};
  for (const wchar_t* name : names) {
    port->SetParams(name, stop, write, read, rx);
    EXPECT_EQ(port->Open(kWait), E_INVALIDARG) << "name '" << std::string(name, name + wcslen(name)) << "'";
    EXPECT_FALSE(port->IsOpen());
  }
}

TEST_F(TcpPortTest, NameIsSplitAtItsLastColon) {
  CLoopbackPeer peer6(AF_INET6);
  if (!peer6.Listening()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  port->SetParams(peer6.PortName().c_str(), stop, write, read, rx);
  ASSERT_EQ(port->Open(kWait), S_OK);
  EXPECT_TRUE(peer6.Accept(kWait));
}

TEST_F(TcpPortTest, RefusedConnectionKeepsTheWinsockCode) {
  std::wstring name = L"127.0.0.1:" + std::to_wstring(CLoopbackPeer::UnusedPort());
  port->SetParams(name.c_str(), stop, write, read, rx);
  EXPECT_EQ(port->Open(kWait), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(TcpPortTest, OpenOnOpenPortChangesNothing) {
  Connect(0, 0);
  EXPECT_EQ(port->Open(kWait), S_OK);
  EXPECT_FALSE(peer.Accept(200)) << "a second connection was made";
}

TEST_F(TcpPortTest, OpenWithoutWaitingCompletesOnTheConnectEvent) {
  port->Nvt = 1;
  port->SetConfig(9600, 0, 0);
  ASSERT_EQ(port->Open(0), S_OK);
  EXPECT_TRUE(port->GetStateFlags() & PSF_CONNECT_PENDING);
  // Written before the connection is made: it must follow the speed command, not be lost or lead.
  const BYTE data[] = {'h', 'i'};
  ASSERT_EQ(port->Write(data, 2, 0), S_OK);
  ASSERT_TRUE(peer.Accept(kWait));
  ASSERT_EQ(PumpUntil([&] { return !(port->GetStateFlags() & PSF_CONNECT_PENDING); }, kWait), S_OK);
  EXPECT_EQ(HexText(peer.Receive(12, kWait)), "FF FA 2C 01 00 00 25 80 FF F0 68 69");
}

// A loopback listener whose accept queue is full: further connects get no answer at all, as from a
// converter that is switched off. Linux drops a SYN while the queue is full.
class SilentListener {
 public:
  SilentListener() {
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listener, 0) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    m_port = ntohs(address.sin_port);
    // Fill the queue until a connect stays unanswered.
    for (int i = 0; i < 8 && !m_silent; ++i) {
      SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      u_long nonBlocking = 1;
      ioctlsocket(s, FIONBIO, &nonBlocking);
      connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fd_set set;
      FD_ZERO(&set);
      FD_SET(s, &set);
      timeval wait{0, 300000};
      m_silent = select(0, nullptr, &set, nullptr, &wait) == 0;
      m_fillers[i] = s;
    }
  }
  ~SilentListener() {
    for (SOCKET s : m_fillers) {
      if (s != INVALID_SOCKET) closesocket(s);
    }
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
  }
  bool Silent() const { return m_silent; }
  std::wstring PortName() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

 private:
  SOCKET m_listener = INVALID_SOCKET;
  SOCKET m_fillers[8] = {INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET,
                         INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET};
  USHORT m_port = 0;
  bool m_silent = false;
};

TEST_F(TcpPortTest, UnansweredConnectEndsWithTheConnectTimeout) {
  SilentListener silent;
  if (!silent.Silent()) GTEST_SKIP() << "this system answers connects to a full accept queue";
  port->SetParams(silent.PortName().c_str(), stop, write, read, rx);
  const DWORD start = GetTickCount();
  EXPECT_EQ(port->Open(500), HRESULT(0x80040215));
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 450u);
  EXPECT_LT(took, 3000u);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(TcpPortTest, StopEndsAConnectWaitAtOnce) {
  SilentListener silent;
  if (!silent.Silent()) GTEST_SKIP() << "this system answers connects to a full accept queue";
  port->SetParams(silent.PortName().c_str(), stop, write, read, rx);
  SetEvent(stop);
  const DWORD start = GetTickCount();
  EXPECT_EQ(port->Open(10000), E_ABORT);
  EXPECT_LT(GetTickCount() - start, 2000u);
  EXPECT_FALSE(port->IsOpen());
}

// --- bytes on the wire ---

struct SpeedCase {
  UINT nvt;
  UINT baud;
  const char* wire;  // what the peer sees first after connecting
};

void PrintTo(const SpeedCase& c, std::ostream* os) { *os << (c.nvt ? "NVT " : "raw ") << c.baud; }

class TcpSpeedAtOpen : public TcpPortTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(TcpSpeedAtOpen, SpeedCommandLeadsTheConnection) {
  const SpeedCase& c = GetParam();
  Connect(c.nvt, c.baud);
  const BYTE marker = 'Z';
  ASSERT_EQ(port->Write(&marker, 1, kWait), S_OK);
  std::string expected = Bytes(c.wire) + "Z";
  EXPECT_EQ(HexText(peer.Receive(expected.size() + 1, 500)), HexText(expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpSpeedAtOpen,
                         ::testing::Values(SpeedCase{1, 9600, "FF FA 2C 01 00 00 25 80 FF F0"},
                                           SpeedCase{1, 115200, "FF FA 2C 01 00 01 C2 00 FF F0"},
                                           // a speed byte 0xFF is doubled inside the command
                                           SpeedCase{1, 0xFF, "FF FA 2C 01 00 00 00 FF FF FF F0"},
                                           SpeedCase{1, 0xFF00, "FF FA 2C 01 00 00 FF FF 00 FF F0"},
                                           SpeedCase{1, 0, ""},    // speed kept: nothing to say
                                           SpeedCase{0, 9600, ""}  // raw TCP has no far-side speed
                                           ),
                         [](const ::testing::TestParamInfo<SpeedCase>& info) {
                           return std::string(info.param.nvt ? "Nvt" : "Raw") + std::to_string(info.param.baud);
                         });

struct WireCase {
  const char* name;
  UINT nvt;
  const char* data;  // what the owner writes or reads
  const char* wire;  // what travels
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class TcpWire : public TcpPortTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(TcpWire, WrittenDataReachesThePeerEncoded) {
  const WireCase& c = GetParam();
  Connect(c.nvt, 0);
  std::string data = Bytes(c.data);
  ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(data.data()), UINT(data.size()), kWait), S_OK);
  std::string wire = Bytes(c.wire);
  EXPECT_EQ(HexText(peer.Receive(wire.size() + 1, 500)), HexText(wire));
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpWire,
                         ::testing::Values(WireCase{"RawKeepsIac", 0, "01 FF 02", "01 FF 02"},
                                           WireCase{"NvtDoublesIac", 1, "01 FF 02", "01 FF FF 02"},
                                           WireCase{"NvtDoublesEveryIac", 1, "FF FF", "FF FF FF FF"},
                                           WireCase{"NvtPlainText", 1, "41 0D", "41 0D"}),
                         [](const ::testing::TestParamInfo<WireCase>& info) { return info.param.name; });

struct ReceiveCase {
  const char* name;
  UINT nvt;
  const char* wire;
  const char* data;
};

void PrintTo(const ReceiveCase& c, std::ostream* os) { *os << c.name; }

class TcpReceive : public TcpPortTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(TcpReceive, ReceivedBytesAreDeliveredDecoded) {
  const ReceiveCase& c = GetParam();
  Connect(c.nvt, 0);
  ASSERT_TRUE(peer.Send(Bytes(c.wire)));
  std::string expected = Bytes(c.data);
  std::string got;
  EXPECT_EQ(port->Read(&got, UINT(expected.size()), kWait), S_OK);
  // Nothing beyond the data may follow.
  EXPECT_EQ(port->Read(&got, 1, 200), S_OK);
  EXPECT_EQ(HexText(got), HexText(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpReceive,
    ::testing::Values(ReceiveCase{"RawKeepsEverything", 0, "41 FF FF 42 FF FB 01", "41 FF FF 42 FF FB 01"},
                      ReceiveCase{"NvtUndoublesIac", 1, "41 FF FF 42", "41 FF 42"},
                      ReceiveCase{"NvtDropsCommandKeepsOptionByte", 1, "FF FB 01 41", "01 41"},
                      ReceiveCase{"NvtDropsSubnegotiation", 1, "41 FF FA 2C 65 00 FF F0 42", "41 42"},
                      ReceiveCase{"NvtDoubledIacInsideSubnegotiation", 1, "41 FF FA 2C FF FF 01 FF F0 42", "41 42"}),
    [](const ::testing::TestParamInfo<ReceiveCase>& info) { return info.param.name; });

TEST_F(TcpPortTest, SubnegotiationSplitAcrossReceivesIsRemovedOnceComplete) {
  Connect(1, 0);
  ASSERT_TRUE(peer.Send(Bytes("41 FF FA 2C 01 00")));
  std::string got;
  ASSERT_EQ(port->Read(&got, 1, kWait), S_OK);
  ASSERT_EQ(HexText(got), "41");
  // The open subnegotiation is not data yet.
  EXPECT_EQ(port->Read(&got, 1, 200), S_OK);
  EXPECT_EQ(HexText(got), "41");
  EXPECT_EQ(RxCount(), 0u);
  ASSERT_TRUE(peer.Send(Bytes("00 25 80 FF F0 42 FF")));
  ASSERT_EQ(port->Read(&got, 1, kWait), S_OK);
  EXPECT_EQ(HexText(got), "41 42");
  // An IAC at the end of one receive pairs with the first byte of the next.
  ASSERT_TRUE(peer.Send(Bytes("FF 43")));
  ASSERT_EQ(port->Read(&got, 2, kWait), S_OK);
  EXPECT_EQ(HexText(got), "41 42 FF 43");
}

TEST_F(TcpPortTest, SpeedChangeIsSentOncePerNewSpeed) {
  Connect(1, 4800);
  EXPECT_EQ(HexText(peer.Receive(10, kWait)), "FF FA 2C 01 00 00 12 C0 FF F0");
  EXPECT_EQ(port->SetConfig(9600, 0, 13), S_OK);
  EXPECT_EQ(port->SetConfig(9600, 0, 13), S_OK);
  EXPECT_EQ(port->SetConfig(0, 0, 13), S_OK);  // 0 keeps the speed
  EXPECT_EQ(port->SetConfig(115200, 2, 13), S_OK);
  EXPECT_EQ(HexText(peer.Receive(21, 500)), "FF FA 2C 01 00 00 25 80 FF F0 FF FA 2C 01 00 01 C2 00 FF F0");
  UINT baud = 0;
  BYTE stopBits = 0, eventChar = 0;
  port->GetConfig(&baud, &stopBits, &eventChar);
  EXPECT_EQ(baud, 115200u);
  EXPECT_EQ(stopBits, 2);
  EXPECT_EQ(eventChar, 13);
}

TEST_F(TcpPortTest, RawPortNeverSendsASpeed) {
  Connect(0, 4800);
  EXPECT_EQ(port->SetConfig(9600, 0, 0), S_OK);
  const BYTE marker = 'Z';
  ASSERT_EQ(port->Write(&marker, 1, kWait), S_OK);
  EXPECT_EQ(peer.Receive(2, 300), "Z");
}

// --- flow control ---

TEST_F(TcpPortTest, DataRefusedByAFullSocketIsSentLaterInOrder) {
  Connect(0, 0);
  // Messages with their own numbers in every byte, so that a lost, repeated or reordered piece shows.
  std::string sent;
  auto message = [](size_t index, size_t size) {
    std::string m(size, '\0');
    for (size_t i = 0; i < size; ++i) m[i] = char((index * 7 + i) & 0xFF);
    return m;
  };
  size_t index = 0;
  while (!(port->GetStateFlags() & PSF_WRITE_PENDING) && index < 512) {
    std::string m = message(index++, 256 * 1024 + 13);
    ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(m.data()), UINT(m.size()), 0), S_OK);
    sent += m;
  }
  ASSERT_TRUE(port->GetStateFlags() & PSF_WRITE_PENDING) << "the socket never filled up";
  // More while the socket is full: queued behind, not dropped.
  std::string tail = message(index++, 1000);
  ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(tail.data()), UINT(tail.size()), 0), S_OK);
  sent += tail;
  // The peer reads nothing yet: a write that must finish runs out of time.
  const BYTE end[] = {'E', 'N', 'D'};
  EXPECT_EQ(port->Write(end, 3, 200), VOMBRA_E_WRITE_TIMEOUT);
  sent += "END";

  std::string received;
  const DWORD start = GetTickCount();
  while (received.size() < sent.size() && GetTickCount() - start < 20000) {
    received += peer.Receive(sent.size() - received.size(), 10);
    if (WaitForSingleObject(rx, 0) == WAIT_OBJECT_0) {
      ASSERT_EQ(port->OnRxEvent(), S_OK);
    }
  }
  ASSERT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "the byte stream differs from what was written";
}

TEST_F(TcpPortTest, PurgeOfQueuedDataNeverCutsAMessage) {
  Connect(1, 0);
  auto message = [](size_t index, size_t size) {
    std::string m(size, '\0');
    for (size_t i = 0; i < size; ++i) m[i] = char((index * 13 + i) % 0xFF);  // no IAC: one byte per byte
    return m;
  };
  std::string sent;
  std::vector<size_t> boundaries{0};
  size_t index = 0;
  while (!(port->GetStateFlags() & PSF_WRITE_PENDING) && index < 512) {
    std::string m = message(index++, 256 * 1024 + 7);
    ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(m.data()), UINT(m.size()), 0), S_OK);
    sent += m;
    boundaries.push_back(sent.size());
  }
  ASSERT_TRUE(port->GetStateFlags() & PSF_WRITE_PENDING) << "the socket never filled up";
  for (int i = 0; i < 3; ++i) {
    std::string m = message(index++, 5000);
    ASSERT_EQ(port->Write(reinterpret_cast<const BYTE*>(m.data()), UINT(m.size()), 0), S_OK);
    sent += m;
    boundaries.push_back(sent.size());
  }
  ASSERT_EQ(port->Purge(false, true), S_OK);

  std::string received;
  DWORD quietSince = GetTickCount();
  while (GetTickCount() - quietSince < 500) {
    std::string part = peer.Receive(1 << 20, 10);
    if (!part.empty()) quietSince = GetTickCount();
    received += part;
    if (WaitForSingleObject(rx, 0) == WAIT_OBJECT_0) {
      ASSERT_EQ(port->OnRxEvent(), S_OK);
    }
  }
  ASSERT_LE(received.size(), sent.size());
  EXPECT_TRUE(received == sent.substr(0, received.size())) << "bytes changed on the way";
  EXPECT_NE(std::find(boundaries.begin(), boundaries.end(), received.size()), boundaries.end())
      << "the stream ends inside a message, after " << received.size() << " bytes";
  EXPECT_LE(received.size(), boundaries[boundaries.size() - 4]) << "messages queued before the purge still went";
}

// --- the link going away ---

TEST_F(TcpPortTest, PeerClosingIsADisconnectAfterItsLastBytes) {
  Connect(0, 0);
  ASSERT_TRUE(peer.Send("bye"));
  peer.Close();
  std::string got;
  EXPECT_EQ(port->Read(&got, 10, kWait), VOMBRA_E_PORT_DISCONNECTED);
  EXPECT_EQ(got, "bye");
}

TEST_F(TcpPortTest, PeerResetIsADisconnect) {
  Connect(0, 0);
  peer.Reset();
  std::string got;
  EXPECT_EQ(port->Read(&got, 10, kWait), VOMBRA_E_PORT_DISCONNECTED);
}

TEST_F(TcpPortTest, ReopenStartsWithoutTheOldConnectionsBytes) {
  Connect(1, 0);
  // Old data and half a Telnet command left unread.
  ASSERT_TRUE(peer.Send(Bytes("6F 6C 64 FF")));
  ASSERT_EQ(PumpUntil([&] { return RxCount() == 3; }, kWait), S_OK);
  ASSERT_EQ(port->Close(), S_OK);
  ASSERT_EQ(port->Open(kWait), S_OK);
  ASSERT_TRUE(peer.Accept(kWait));
  // Read after the old IAC this would be 0xFF and a dropped command.
  ASSERT_TRUE(peer.Send(Bytes("FF FF 6E 65 77")));
  std::string got;
  EXPECT_EQ(port->Read(&got, 10, 500), S_OK);
  EXPECT_EQ(HexText(got), "FF 6E 65 77");
}

// --- counting, purging, stopping, time-outs ---

TEST_F(TcpPortTest, RxCountFollowsReceivedAndDeliveredBytes) {
  Connect(0, 0);
  EXPECT_EQ(RxCount(), 0u);
  ASSERT_TRUE(peer.Send("12345"));
  ASSERT_EQ(PumpUntil([&] { return RxCount() == 5; }, kWait), S_OK);
  std::string got;
  ASSERT_EQ(port->Read(&got, 2, 0), S_OK);
  EXPECT_EQ(got, "12");
  EXPECT_EQ(RxCount(), 3u);
}

TEST_F(TcpPortTest, PurgeDropsReceivedBytes) {
  Connect(0, 0);
  ASSERT_TRUE(peer.Send("abc"));
  ASSERT_EQ(PumpUntil([&] { return RxCount() == 3; }, kWait), S_OK);
  EXPECT_EQ(port->Purge(true, false), S_OK);
  EXPECT_EQ(RxCount(), 0u);
  ASSERT_TRUE(peer.Send("d"));
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, kWait), S_OK);
  EXPECT_EQ(got, "d");
}

TEST_F(TcpPortTest, StopEndsAReadAtOnce) {
  Connect(0, 0);
  SetEvent(stop);
  const DWORD start = GetTickCount();
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, 10000), E_ABORT);
  EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST_F(TcpPortTest, ReadTimeOutHoldsAcrossTheTickWrap) {
  Connect(0, 0);
  CFakeClock clock;
  clock.FollowSystemFrom(0xFFFFFFFF - 50);
  ScopedClock installedClock(&clock);
  const DWORD start = GetTickCount();
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, 400), S_OK);
  const DWORD took = GetTickCount() - start;
  EXPECT_TRUE(got.empty());
  EXPECT_GE(took, 350u);
  EXPECT_LT(took, 3000u);
}

TEST_F(TcpPortTest, EndCharacterWakesTheOwnerForACompleteLine) {
  Connect(0, 0);
  ASSERT_EQ(port->SetConfig(0, 0, 13), S_OK);
  ASSERT_TRUE(peer.Send("AB\r"));
  ASSERT_EQ(PumpUntil([&] { return RxCount() == 3; }, kWait), S_OK);
  // The port raised RxEvent itself once the line end was in.
  EXPECT_EQ(WaitForSingleObject(rx, 0), WAIT_OBJECT_0);
}

}  // namespace
