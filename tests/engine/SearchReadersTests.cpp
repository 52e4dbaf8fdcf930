// The reader search: the speed probe of serial candidates over fake ports, replies in pieces, open
// failures, the queue and time-outs, TCP candidates against a loopback listener, the converter
// broadcast against a loopback responder, PC/SC readers through the winscard.dll double, and the
// candidate list taken from the serial-port map. Every address used is on 127.0.0.0/8.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CcidWatcher.h"
#include "FakeContext.h"
#include "FakeDevices.h"
#include "LoopbackPeer.h"
#include "SearchReaders.h"
#include "doubles/FakePort.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

constexpr HRESULT kSearchTimeout = HRESULT(0x80040230);
constexpr HRESULT kNoMoreReaders = HRESULT(0x80040231);

// The identification answer of a text reader: model line with serial and hardware code, then the
// firmware line. Version "2.5" packs as 2 | 5 << 8.
const char kReplyKd6A[] = "KD-6 A S/N: 12345 [301]\r\nSoftware version: 2.5\r\n";
const wchar_t kReplyKd6AWide[] = L"KD-6 A S/N: 12345 [301]\r\nSoftware version: 2.5\r\n";
constexpr UINT kKd6AModel = 1;
constexpr UINT kKd6ASerial = 12345;
constexpr UINT kKd6AVersion = 0x0502;

ULONG Loopback(BYTE last) { return htonl(0x7F000000u | last); }

// ---- Test-side peers ----

class WinsockUser {
 public:
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockUser() { WSACleanup(); }
};

// A text reader behind a TCP port on 127.0.0.1: answers every "i" CR with its reply (none when the
// reply is empty) and counts connections and requests.
class TcpReader : WinsockUser {
 public:
  explicit TcpReader(std::string reply) : m_reply(std::move(reply)) {
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = Loopback(1);
    bind(m_listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(m_listener, 8);
    int length = sizeof at;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&at), &length);
    m_port = ntohs(at.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~TcpReader() {
    m_stop = true;
    m_thread.join();
    closesocket(m_listener);
  }
  std::wstring Name() const { return L"127.0.0.1:" + std::to_wstring(m_port); }
  USHORT Port() const { return m_port; }
  int Connections() const { return m_connections; }
  int Requests() const { return m_requests; }

 private:
  void Run() {
    SOCKET peer = INVALID_SOCKET;
    std::string received;
    while (!m_stop) {
      fd_set read;
      FD_ZERO(&read);
      FD_SET(m_listener, &read);
      if (peer != INVALID_SOCKET) FD_SET(peer, &read);
      timeval wait{0, 20000};
      if (select(0, &read, nullptr, nullptr, &wait) <= 0) continue;
      if (FD_ISSET(m_listener, &read)) {
        if (peer != INVALID_SOCKET) closesocket(peer);
        peer = accept(m_listener, nullptr, nullptr);
        received.clear();
        ++m_connections;
        continue;
      }
      char buffer[512];
      int n = recv(peer, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closesocket(peer);
        peer = INVALID_SOCKET;
        continue;
      }
      received.append(buffer, size_t(n));
      for (size_t at; (at = received.find("i\r")) != std::string::npos;) {
        received.erase(0, at + 2);
        ++m_requests;
        if (!m_reply.empty()) send(peer, m_reply.data(), int(m_reply.size()), 0);
      }
    }
    if (peer != INVALID_SOCKET) closesocket(peer);
  }

  std::string m_reply;
  SOCKET m_listener;
  USHORT m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::atomic<int> m_requests{0};
};

// A converter on 127.0.0.1 answering "SEEK M561IP" with the datagrams given (an empty string is an
// empty datagram), and recording the senders of the requests.
class UdpConverter : WinsockUser {
 public:
  explicit UdpConverter(std::vector<std::string> replies) : m_replies(std::move(replies)) {
    m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = Loopback(1);
    bind(m_socket, reinterpret_cast<sockaddr*>(&at), sizeof at);
    int length = sizeof at;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&at), &length);
    m_port = ntohs(at.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~UdpConverter() {
    m_stop = true;
    m_thread.join();
    closesocket(m_socket);
  }
  USHORT Port() const { return m_port; }
  std::vector<ULONG> Senders() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_senders;
  }

 private:
  void Run() {
    while (!m_stop) {
      fd_set read;
      FD_ZERO(&read);
      FD_SET(m_socket, &read);
      timeval wait{0, 20000};
      if (select(0, &read, nullptr, nullptr, &wait) <= 0) continue;
      char buffer[256];
      sockaddr_in from{};
      int length = sizeof from;
      int n = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n != 11 || std::string(buffer, 11) != "SEEK M561IP") continue;
      {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_senders.push_back(from.sin_addr.s_addr);
      }
      for (const std::string& reply : m_replies) {
        sendto(m_socket, reply.data(), int(reply.size()), 0, reinterpret_cast<sockaddr*>(&from), length);
      }
    }
  }

  std::vector<std::string> m_replies;
  SOCKET m_socket;
  USHORT m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::vector<ULONG> m_senders;
};

// Keeps the broadcast on loopback: the given local addresses, the converter as destination.
class LoopbackTarget : public IUdpSearchTarget {
 public:
  LoopbackTarget(std::vector<ULONG> locals, USHORT port) : m_locals(std::move(locals)), m_port(port) {}
  void GetLocalAddresses(std::vector<ULONG>& out) override { out = m_locals; }
  sockaddr_in GetDestination() override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = Loopback(1);
    to.sin_port = htons(m_port);
    return to;
  }

 private:
  std::vector<ULONG> m_locals;
  USHORT m_port;
};

class ScopedUdpTarget {
 public:
  explicit ScopedUdpTarget(IUdpSearchTarget* target) : m_previous(g_pUdpSearchTarget) { g_pUdpSearchTarget = target; }
  ~ScopedUdpTarget() { g_pUdpSearchTarget = m_previous; }

 private:
  IUdpSearchTarget* m_previous;
};

// ---- Fixture ----

struct SearchSettings {
  UINT Flags = 0;
  BYTE StopBits = 0;
  UINT ConnectTimeout = 1000;
  UINT RxPeriod = INFINITE;
  UINT RequestTimeout = 60;
  UINT RequestTries = 2;
  UINT FindIpTimeout = 300;
  UINT FindIpTries = 1;
  bool Nvt = false;
};

class SearchTest : public ::testing::Test {
 protected:
  SearchTest() : m_context(&context), m_factory(&factory) {}

  // A fake serial port handed to the next candidate.
  CFakePort* NewPort() {
    auto* port = new CFakePort;
    factory.Add(port);
    return port;
  }

  void Start(const std::vector<_SEARCHPORT_INFO>& ports, const SearchSettings& s = SearchSettings(),
             CCcidConnection* watcher = nullptr) {
    search.Start(s.Flags, s.StopBits, s.ConnectTimeout, s.RxPeriod, s.RequestTimeout, s.RequestTries,
                 s.FindIpTimeout, s.FindIpTries, s.Nvt, &ports, watcher);
  }

  // Steps the search to its end (bounded): the readers found, in order.
  std::vector<_FOUNDREADER_INFO> FindAll(DWORD limit = 10000) {
    std::vector<_FOUNDREADER_INFO> found;
    const DWORD start = GetTickCount();
    for (;;) {
      _FOUNDREADER_INFO reader;
      HRESULT hr = search.FindNext(reader, 200);
      if (hr == S_OK) {
        found.push_back(reader);
      } else if (hr == kNoMoreReaders) {
        break;
      } else {
        EXPECT_EQ(hr, kSearchTimeout);
      }
      if (GetTickCount() - start > limit) {
        ADD_FAILURE() << "the search did not end";
        break;
      }
    }
    return found;
  }

  std::vector<std::wstring> Lines(const std::wstring& source, UINT number) {
    std::vector<std::wstring> texts;
    for (const FakeLogLine& line : context.LogLines()) {
      if (line.Source == source && line.Number == number) texts.push_back(line.Text);
    }
    return texts;
  }

  // Ends the search (its last log line and the closing of its ports) before the test looks.
  void End() { m_owned.reset(); }

  CFakeContext context;
  CFakePortFactory factory;
  std::unique_ptr<CSearchReaders> m_owned{new CSearchReaders};
  CSearchReaders& search = *m_owned;

 private:
  ScopedContext m_context;
  ScopedPortFactory m_factory;
};

std::vector<UINT> Speeds(const CFakePort* port) {
  std::vector<UINT> speeds;
  for (const FakeConfigCall& call : port->ConfigCalls()) speeds.push_back(call.Baud);
  return speeds;
}

// ---- The speed probe ----

struct SpeedCase {
  const char* Name;
  UINT Models;
  UINT ReaderBaud;  // 0: the port never answers
  UINT Tries;
  bool Found;
  std::vector<UINT> Speeds;  // the line speed of every try, in order
};
void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.Name; }

class SpeedProbe : public SearchTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedProbe, TriesEachAllowedSpeedTheGivenNumberOfTimes) {
  const SpeedCase& c = GetParam();
  CFakePort* port = NewPort();
  for (int i = 0; i < 10; ++i) port->Expect("i\r", kReplyKd6A, 0, c.ReaderBaud ? c.ReaderBaud : 1);
  SearchSettings settings;
  settings.RequestTries = c.Tries;
  Start({{L"COM7", c.Models}}, settings);

  std::vector<_FOUNDREADER_INFO> found = FindAll();

  EXPECT_EQ(Speeds(port), c.Speeds);
  EXPECT_EQ(port->Writes().size(), c.Speeds.size()) << "one request per try";
  ASSERT_EQ(found.size(), c.Found ? 1u : 0u);
  if (c.Found) {
    EXPECT_EQ(found[0].Port, L"COM7");
    EXPECT_EQ(found[0].Model, kKd6AModel);
    EXPECT_EQ(found[0].SerialNumber, kKd6ASerial);
    EXPECT_EQ(found[0].Version, kKd6AVersion);
    EXPECT_EQ(found[0].Info, kReplyKd6AWide);
  }
  EXPECT_FALSE(port->IsOpen()) << "the search closes every port it is done with";
}

INSTANTIATE_TEST_SUITE_P(
    Search, SpeedProbe,
    ::testing::Values(
        SpeedCase{"AnyModelAt9600", 0xFFFFFFFF, 9600, 2, true, {9600}},
        SpeedCase{"AnyModelAt115200", 0xFFFFFFFF, 115200, 2, true, {9600, 9600, 115200}},
        SpeedCase{"AnyModelSilent", 0xFFFFFFFF, 0, 2, false, {9600, 9600, 115200, 115200}},
        SpeedCase{"ThreeTriesSilent", 0xFFFFFFFF, 0, 3, false, {9600, 9600, 9600, 115200, 115200, 115200}},
        SpeedCase{"ZeroTriesMeansOne", 0xFFFFFFFF, 0, 0, false, {9600, 115200}},
        SpeedCase{"Model9OnlyAt115200", 0x200, 115200, 2, true, {115200}},
        SpeedCase{"Model9OnlySilent", 0x200, 0, 2, false, {115200, 115200}},
        SpeedCase{"Model7OnlyNeverAt115200", 0x80, 115200, 2, false, {9600, 9600}},
        SpeedCase{"NoKnownModel", 0x1000, 9600, 2, false, {}}),
    [](const ::testing::TestParamInfo<SpeedCase>& info) { return std::string(info.param.Name); });

// ---- Replies ----

TEST_F(SearchTest, ReplyInPiecesIsCollectedWithoutAskingAgain) {
  CFakePort* port = NewPort();
  port->Expect("i\r", "KD-6 A ");                                    // no line end yet
  port->Arrive("S/N: 12345 [301]\r\n", 40);                           // the rest of the first line
  port->Arrive("Software version: 2.5\r\n", 80);
  SearchSettings settings;
  settings.RequestTimeout = 2000;
  Start({{L"COM3", 0xFFFFFFFF}}, settings);

  std::vector<_FOUNDREADER_INFO> found = FindAll();

  EXPECT_EQ(port->Writes().size(), 1u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Info, kReplyKd6AWide);
  EXPECT_EQ(found[0].SerialNumber, kKd6ASerial);
}

struct ReplyCase {
  const char* Name;
  const char* Reply;
  size_t Writes;  // requests until the probe gives up (two tries per speed)
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.Name; }

class ProbeReplies : public SearchTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ProbeReplies, GiveNoReader) {
  CFakePort* port = NewPort();
  for (int i = 0; i < 6; ++i) port->Expect("i\r", GetParam().Reply);
  Start({{L"COM4", 0xFFFFFFFF}});
  EXPECT_TRUE(FindAll().empty());
  EXPECT_EQ(port->Writes().size(), GetParam().Writes);
}

INSTANTIATE_TEST_SUITE_P(
    Search, ProbeReplies,
    ::testing::Values(
        // Identified, but a hardware code of no model: finished at once.
        ReplyCase{"UnknownHardwareCode", "XX S/N: 7 [999]\r\nSoftware version: 1.0\r\n", 1},
        // Complete, with "S/N:" but no bracketed code: no reader here.
        ReplyCase{"NoHardwareCode", "XX S/N: 7\r\nSoftware version: 1.0\r\n", 1},
        // A whole line without "S/N:" is a failed try, at each speed.
        ReplyCase{"NoSerialLine", "ERROR\r\n", 4}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.Name); });

TEST_F(SearchTest, PortThatCannotOpenIsRetriedAndLogged) {
  CFakePort* port = NewPort();
  const HRESULT notThere = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  port->FailOpen(notThere);
  port->FailOpen(notThere);
  SearchSettings settings;
  settings.StopBits = 2;
  Start({{L"COM9", 0x80}}, settings);  // 9600 only

  EXPECT_TRUE(FindAll().empty());
  EXPECT_EQ(port->OpenCount(), 0);
  std::vector<std::wstring> failures = Lines(L"Search COM9", 3);
  ASSERT_EQ(failures.size(), 2u);
  const std::wstring expected = L"Failed to open port \"COM9\" (9600,N,8,2) (code 0x80070002): ";
  EXPECT_EQ(failures[0].substr(0, expected.size()), expected);
}

TEST_F(SearchTest, LogsTheProbeOfAPort) {
  CFakePort* port = NewPort();
  port->Expect("i\r", kReplyKd6A);
  Start({{L"COM5", 0xFFFFFFFF}});
  ASSERT_EQ(FindAll().size(), 1u);
  End();

  std::vector<std::wstring> texts = context.LogTexts(L"Search COM5");
  std::vector<std::wstring> expected = {
      L"Open port \"COM5\" (9600,N,8,1).",
      L"> i\\r",
      L"< KD-6 A S/N: 12345 [301]\\r\\nSoftware version: 2.5\\r\\n",
      L"Closed port \"COM5\".",
  };
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(Lines(L"Search", 49), std::vector<std::wstring>{L"Beginning of readers search"});
  EXPECT_EQ(Lines(L"Search", 50), std::vector<std::wstring>{L"End of readers search"});
}

// ---- The queue, time-outs and stopping ----

TEST_F(SearchTest, TimeoutZeroStepsTheSearchUntilTheReaderAnswers) {
  CFakePort* port = NewPort();
  port->Expect("i\r", kReplyKd6A, 150);
  SearchSettings settings;
  settings.RequestTimeout = 3000;
  Start({{L"COM6", 0xFFFFFFFF}}, settings);

  _FOUNDREADER_INFO reader;
  EXPECT_EQ(search.FindNext(reader, 0), kSearchTimeout);
  HRESULT hr = kSearchTimeout;
  for (int i = 0; i < 300 && hr == kSearchTimeout; ++i) {
    Sleep(5);
    hr = search.FindNext(reader, 0);
  }
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(reader.Port, L"COM6");
  EXPECT_EQ(search.FindNext(reader, 0), kNoMoreReaders);
  EXPECT_EQ(search.FindNext(reader, INFINITE), kNoMoreReaders) << "the end is final";
}

TEST_F(SearchTest, ReadersFoundTogetherComeOneByOne) {
  CFakePort* a = NewPort();
  CFakePort* b = NewPort();
  a->Expect("i\r", "KD-6 A S/N: 1 [301]\r\nSoftware version: 1.0\r\n");
  b->Expect("i\r", "PX S/N: 2 [821]\r\nSoftware version: 3.1\r\n");
  Start({{L"COM1", 0xFFFFFFFF}, {L"COM2", 0xFFFFFFFF}});

  std::vector<_FOUNDREADER_INFO> found = FindAll();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Port, L"COM1");
  EXPECT_EQ(found[0].SerialNumber, 1u);
  EXPECT_EQ(found[1].Port, L"COM2");
  EXPECT_EQ(found[1].Model, 9u);
  EXPECT_EQ(found[1].Version, 3u | 1u << 8);
}

TEST_F(SearchTest, StopEventAbortsTheWait) {
  NewPort();  // silent
  SearchSettings settings;
  settings.RequestTimeout = 5000;
  Start({{L"COM8", 0xFFFFFFFF}}, settings);
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  search.StopEvent = stop;
  _FOUNDREADER_INFO reader;
  const DWORD start = GetTickCount();
  try {
    search.FindNext(reader, INFINITE);
    ADD_FAILURE() << "FindNext returned";
  } catch (const CSearchRdException& e) {
    EXPECT_EQ(e.Code(), E_ABORT);
  }
  EXPECT_LT(GetTickCount() - start, 2000u);
  search.StopEvent = nullptr;
  CloseHandle(stop);
}

// ---- TCP candidates ----

TEST_F(SearchTest, TcpReaderIsFoundOnLoopback) {
  TcpReader reader(kReplyKd6A);
  SearchSettings settings;
  settings.RequestTimeout = 2000;
  Start({{reader.Name(), 0xFFFFFFFF}}, settings);
  std::vector<_FOUNDREADER_INFO> found = FindAll();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Port, reader.Name());
  EXPECT_EQ(found[0].Model, kKd6AModel);
  EXPECT_EQ(found[0].SerialNumber, kKd6ASerial);
  EXPECT_EQ(found[0].Info, kReplyKd6AWide);
}

struct TcpSpeedCase {
  const char* Name;
  bool Nvt;
  int Requests;  // two tries at 9600, and two at 115200 only through a Telnet converter
};
void PrintTo(const TcpSpeedCase& c, std::ostream* os) { *os << c.Name; }

class TcpSpeeds : public SearchTest, public ::testing::WithParamInterface<TcpSpeedCase> {};

TEST_P(TcpSpeeds, RawTcpIsTriedOnlyAt9600) {
  TcpReader silent("");
  SearchSettings settings;
  settings.Nvt = GetParam().Nvt;
  Start({{silent.Name(), 0xFFFFFFFF}}, settings);
  EXPECT_TRUE(FindAll().empty());
  EXPECT_EQ(silent.Requests(), GetParam().Requests);
}

INSTANTIATE_TEST_SUITE_P(Search, TcpSpeeds,
                         ::testing::Values(TcpSpeedCase{"Raw", false, 2}, TcpSpeedCase{"Telnet", true, 4}),
                         [](const ::testing::TestParamInfo<TcpSpeedCase>& info) {
                           return std::string(info.param.Name);
                         });

TEST_F(SearchTest, FailedConnectIsRetriedWithANewConnection) {
  const std::wstring name = L"127.0.0.1:" + std::to_wstring(CLoopbackPeer::UnusedPort());
  Start({{name, 0x80}});  // 9600 only: two tries
  EXPECT_TRUE(FindAll().empty());
  EXPECT_EQ(Lines(L"Search " + name, 2).size(), 2u) << "each try opens (connects) again";
}

// ---- Converters by UDP broadcast ----

// Two channels of a converter: the second is switched off (port 0) or names another address.
std::string ConverterReply(UINT port1, const char* address1, UINT port2, const char* address2) {
  return "M561IP 00:0C:11:22:33:44 CH1PORT=" + std::to_string(port1) + " CH2PORT=" + std::to_string(port2) +
         " CH1ADDR=" + address1 + " CH2ADDR=" + address2;
}

class UdpSearch : public SearchTest {
 protected:
  SearchSettings Settings() {
    SearchSettings s;
    s.Flags = SF_IP;
    s.RequestTimeout = 2000;  // the converter's reader answers at once; a loaded machine may be slow
    return s;
  }
};

TEST_F(UdpSearch, ConverterReplyGivesOneCandidateAndItsReader) {
  TcpReader reader(kReplyKd6A);
  UdpConverter converter({ConverterReply(reader.Port(), "0.0.0.0", 0, "0.0.0.0")});
  LoopbackTarget target({Loopback(1), Loopback(2)}, converter.Port());
  ScopedUdpTarget scoped(&target);
  Start({}, Settings());

  std::vector<_FOUNDREADER_INFO> found = FindAll();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Port, reader.Name());
  EXPECT_EQ(found[0].SerialNumber, kKd6ASerial);
  // Wine reports the sender of a loopback datagram as 127.0.0.1 whatever the socket was bound to, so
  // the count tells: one broadcast, none from the address 127.0.0.1 itself.
  EXPECT_EQ(converter.Senders().size(), 1u) << "127.0.0.1 is not a local address to broadcast from";
  const std::wstring sent = L"UDP 127.0.0.1:" + std::to_wstring(converter.Port()) + L" > SEEK M561IP";
  EXPECT_EQ(Lines(L"Search", 47), std::vector<std::wstring>{sent});
}

struct RepeatCase {
  const char* Name;
  bool EmptyFirst;  // an empty datagram comes before the replies
  int Replies;      // copies of the reply per broadcast
  UINT Tries;
};
void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.Name; }

class UdpRepeats : public UdpSearch, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(UdpRepeats, GiveOneCandidate) {
  const RepeatCase& c = GetParam();
  TcpReader reader(kReplyKd6A);
  std::vector<std::string> replies;
  if (c.EmptyFirst) replies.push_back("");
  for (int i = 0; i < c.Replies; ++i) replies.push_back(ConverterReply(reader.Port(), "0.0.0.0", 0, "0.0.0.0"));
  UdpConverter converter(replies);
  LoopbackTarget target({Loopback(2)}, converter.Port());
  ScopedUdpTarget scoped(&target);
  SearchSettings settings = Settings();
  settings.FindIpTries = c.Tries;
  Start({}, settings);

  std::vector<_FOUNDREADER_INFO> found = FindAll();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Port, reader.Name());
  EXPECT_EQ(reader.Connections(), 1);
  EXPECT_EQ(converter.Senders().size(), size_t(c.Tries)) << "one broadcast per try";
}

INSTANTIATE_TEST_SUITE_P(Search, UdpRepeats,
                         ::testing::Values(RepeatCase{"EmptyDatagramFirst", true, 1, 1},
                                           RepeatCase{"SameReplyTwice", false, 2, 1},
                                           RepeatCase{"SameReplyToEachBroadcast", false, 1, 2}),
                         [](const ::testing::TestParamInfo<RepeatCase>& info) { return std::string(info.param.Name); });

TEST_F(UdpSearch, ChannelsOfOtherAddressesOrPortZeroAreNotProbed) {
  TcpReader reader(kReplyKd6A);
  UdpConverter converter({ConverterReply(reader.Port(), "10.1.2.3", 0, "0.0.0.0")});
  LoopbackTarget target({Loopback(2)}, converter.Port());
  ScopedUdpTarget scoped(&target);
  Start({}, Settings());
  EXPECT_TRUE(FindAll().empty());
  EXPECT_EQ(reader.Connections(), 0);
  EXPECT_EQ(converter.Senders().size(), 1u);
}

struct ReplyParseCase {
  const char* Name;
  std::string Reply;
  bool Ok;
  UINT Port1, Port2;
  const char* Address1;
  const char* Address2;
};
void PrintTo(const ReplyParseCase& c, std::ostream* os) { *os << c.Name; }

class IpReplyParsing : public ::testing::TestWithParam<ReplyParseCase> {};

TEST_P(IpReplyParsing, SplitsTheFields) {
  const ReplyParseCase& c = GetParam();
  // Copied into a block of exactly the reply's length: the parser must not read past it.
  std::unique_ptr<char[]> bytes(new char[c.Reply.size() + 1]);
  memcpy(bytes.get(), c.Reply.data(), c.Reply.size());
  bytes[c.Reply.size()] = ' ';
  UINT ports[2] = {99, 99};
  std::string addresses[2];
  ASSERT_EQ(ParseIpSearchReply(bytes.get(), c.Reply.size(), ports, addresses), c.Ok);
  if (!c.Ok) return;
  EXPECT_EQ(ports[0], c.Port1);
  EXPECT_EQ(ports[1], c.Port2);
  EXPECT_EQ(addresses[0], c.Address1);
  EXPECT_EQ(addresses[1], c.Address2);
}

INSTANTIATE_TEST_SUITE_P(
    Search, IpReplyParsing,
    ::testing::Values(
        ReplyParseCase{"Plain", "A B CH1PORT=10001 CH2PORT=0 CH1ADDR=0.0.0.0 CH2ADDR=1.2.3.4", true, 10001, 0,
                       "0.0.0.0", "1.2.3.4"},
        ReplyParseCase{"SixthEndsAtBlank", "A B PPPPPPPP5 QQQQQQQQ6 RRRRRRRRx SSSSSSSSy more", true, 5, 6, "x", "y"},
        ReplyParseCase{"FiveFields", "A B CH1PORT=1 CH2PORT=2 CH1ADDR=x", false, 0, 0, "", ""},
        ReplyParseCase{"ShortThird", "A B CH1PORT= CH2PORT=2 CH1ADDR=x CH2ADDR=y", false, 0, 0, "", ""},
        ReplyParseCase{"ShortSixth", "A B CH1PORT=1 CH2PORT=2 CH1ADDR=x CH2ADDR=", false, 0, 0, "", ""},
        ReplyParseCase{"Empty", "", false, 0, 0, "", ""}),
    [](const ::testing::TestParamInfo<ReplyParseCase>& info) { return std::string(info.param.Name); });

// ---- PC/SC readers ----

TEST_F(SearchTest, PcscReadersAreFoundFirstAndOnlyWithTheirFlag) {
  CWinscardDouble smartCards;
  ASSERT_TRUE(smartCards.Loaded()) << "the winscard.dll test double is not loaded";
  ASSERT_EQ(smartCards.Reset(), SCARD_S_SUCCESS);
  ASSERT_EQ(smartCards.PlugReader(L"Reader A 0"), SCARD_S_SUCCESS);
  ASSERT_EQ(smartCards.PlugReader(L"Reader B 0"), SCARD_S_SUCCESS);
  CCcidConnection watcher;

  {
    const std::vector<_SEARCHPORT_INFO> none;
    CSearchReaders without;
    without.Start(0, 0, 1000, INFINITE, 60, 2, 300, 1, false, &none, &watcher);
    _FOUNDREADER_INFO reader;
    EXPECT_EQ(without.FindNext(reader, 0), kNoMoreReaders);
  }

  SearchSettings settings;
  settings.Flags = SF_CCID;
  Start({}, settings, &watcher);
  std::vector<_FOUNDREADER_INFO> found = FindAll();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Port, L"Reader A 0");
  EXPECT_EQ(found[1].Port, L"Reader B 0");
  for (const _FOUNDREADER_INFO& reader : found) {
    EXPECT_EQ(reader.Model, 12u);
    EXPECT_EQ(reader.SerialNumber, 0xFFFFFFFFu);
    EXPECT_EQ(reader.Version, 0u);
    EXPECT_TRUE(reader.Info.empty());
  }
  watcher.Stop(true);
}

// ---- The candidate list from the serial-port map ----

TEST_F(SearchTest, WithoutAListTheSerialPortMapGivesTheCandidates) {
  CFakeDevices devices;
  devices.AddSerialComm(L"\\Device\\Serial3", L"COM3");
  devices.AddSerialComm(L"\\Device\\VCP0", L"COM4");  // not a standard port
  CFakePort* port = NewPort();
  port->Expect("i\r", kReplyKd6A);
  search.Start(SF_STD_COM, 0, 1000, INFINITE, 60, 2, 300, 1, false, nullptr, nullptr);

  std::vector<_FOUNDREADER_INFO> found = FindAll();
  EXPECT_EQ(factory.Names(), std::vector<std::wstring>{L"COM3"});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Port, L"COM3");
}

}  // namespace
