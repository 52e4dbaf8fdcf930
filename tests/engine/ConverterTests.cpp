// Readers behind a converter: the addressed requests byte for byte, the echo, the key answers of the
// newer and the older firmware, the connect of each address with its own events, the 333 ms key
// poll, the disconnect events on Stop and the device test of an address.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>

#include "ByteText.h"
#include "Clock.h"
#include "Messages.h"
#include "ReaderFixture.h"
#include "sim/ConverterSim.h"

namespace {

const char kInfo7[] = "KD-6 A S/N: 4321 [301]\r\nSoftware version: 1.4\r\n";

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here the exchanges of one address over a scripted port, with the reader as the
// converter poll leaves it.
class ConverterProtocolTest : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    port = AddPort(new CFakePort);
    InitReader(500, 2);
    reader.AddAddress(7);
    reader.ApplyChanges();
    ASSERT_TRUE(Connected(PM_CONVERTER, RM_UNKNOWN));
    reader.Address = 7;
  }

  // The firmware the address record holds, as its identification left it.
  void SetFirmware(UINT version) {
    CCriticalSectionLock lock(&reader.Lock);
    reader.AddressMap[7].Version = version;
  }

  CFakePort* port = nullptr;
};

struct InfoCase {
  const char* name;
  int address;
  const char* request;
  std::string reply;
  bool ok;
};

void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class ConverterInfoTest : public ConverterProtocolTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ConverterInfoTest, RequestAndReply) {
  const InfoCase& c = GetParam();
  port->Expect(c.request, c.reply, 10);
  UINT hwCode = 0, serial = 0, version = 0;
  std::wstring info;
  EXPECT_EQ(c.ok, reader.QueryConverterInfo(c.address, &hwCode, &serial, &version, 500, 1, &info));
  EXPECT_EQ(std::vector<std::string>{c.request}, port->Writes());
  if (c.ok) {
    EXPECT_EQ(0x301u, hwCode);
    EXPECT_EQ(4321u, serial);
    EXPECT_EQ(0x0401u, version);
    EXPECT_EQ(L"KD-6 A S/N: 4321 [301]\r\nSoftware version: 1.4\r\n", info);
  } else {
    EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConverterInfoTest,
    ::testing::Values(InfoCase{"NoEcho", 7, "#00007 i\r", kInfo7, true},
                      InfoCase{"EchoLineSkipped", 7, "#00007 i\r", std::string("00007\r\n") + kInfo7, true},
                      // The address and one more character still count as the echo.
                      InfoCase{"EchoWithOneMoreCharacter", 7, "#00007 i\r", std::string("00007>\r\n") + kInfo7, true},
                      InfoCase{"LongAddressWithAllDigits", 123456, "#123456 i\r", std::string("123456\r\n") + kInfo7,
                               true},
                      // Two more characters make it the first answer line, which lacks "S/N:".
                      InfoCase{"AddressLineWithMoreIsTheAnswer", 7, "#00007 i\r", std::string("00007 ok\r\n") + kInfo7,
                               false},
                      InfoCase{"Silent", 7, "#00007 i\r", "", false}),
    [](const ::testing::TestParamInfo<InfoCase>& info) { return std::string(info.param.name); });

TEST_F(ConverterProtocolTest, IdentificationWithoutAttemptsSendsNothing) {
  UINT hwCode = 0, serial = 0, version = 0;
  EXPECT_FALSE(reader.QueryConverterInfo(7, &hwCode, &serial, &version, 500, 0, nullptr));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(port->Writes().empty());
}

struct KeyCase {
  const char* name;
  UINT firmware;                 // of the address record
  std::vector<std::string> replies;  // one per attempt sent
  bool ok;
  UINT keyType;
  std::wstring uid;  // most significant byte first
  HRESULT error;
  // Left in the receive buffer before the request: the cut-off start of an answer that came too late
  // for an earlier request, maybe another address's.
  std::string stale = std::string();
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class ConverterKeyTest : public ConverterProtocolTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(ConverterKeyTest, AnswerForms) {
  const KeyCase& c = GetParam();
  SetFirmware(c.firmware);
  reader.RxBuffer = c.stale;
  for (const std::string& reply : c.replies) port->Expect("#00007 r\r", reply + "\r\n", 10);
  UINT type = 99;
  _KEYNUM_INFO uid = {};
  EXPECT_EQ(c.ok, reader.RequestConverterKey(7, &type, &uid));
  EXPECT_EQ(c.replies.size(), port->Writes().size());
  if (c.ok) {
    EXPECT_EQ(c.keyType, type);
    EXPECT_EQ(c.uid, HexOf(uid));
  } else {
    EXPECT_EQ(c.error, reader.LastError);
  }
}

// 409 packs as (409 << 8) | 0xFF, 410 likewise.
constexpr UINT kFw409 = 0x199FF;
constexpr UINT kFw410 = 0x19AFF;

INSTANTIATE_TEST_SUITE_P(
    Forms, ConverterKeyTest,
    ::testing::Values(
        // Em-Marine: code 0A1B in front, series 123 = 7B, number 45678 = B26E.
        KeyCase{"KeyLine", 0x0401, {"Em-Marine[0A1B] 123,45678"}, true, KT_EM_MARINE, L"0A1B7BB26E", 0},
        KeyCase{"NoCard", 0x0401, {"NO CARD"}, true, 0, L"", 0},
        // 12345 = 0x3039, least significant byte first in five bytes.
        KeyCase{"Decimal409", kFw409, {"00007 12345"}, true, 0, L"0000003039", 0},
        KeyCase{"Decimal410", kFw410, {"00007 12345"}, true, 0, L"0000003039", 0},
        KeyCase{"DecimalNoCard", kFw409, {"00007 No card"}, true, 0, L"", 0},
        KeyCase{"DecimalZero", kFw409, {"00007 0"}, true, 0, L"0000000000", 0},
        // 2^40 + 5: the low 40 bits are kept.
        KeyCase{"DecimalAbove40Bits", kFw409, {"00007 1099511627781"}, true, 0, L"0000000005", 0},
        // 2^64 - 1 still parses; 2^64 does not.
        KeyCase{"DecimalLargest", kFw409, {"00007 18446744073709551615"}, true, 0, L"FFFFFFFFFF", 0},
        KeyCase{"DecimalOverflow", kFw409, {"00007 18446744073709551616", "00007 18446744073709551616"}, false, 0,
                L"", VOMBRA_E_READ_TIMEOUT},
        KeyCase{"DecimalNotANumber", kFw409, {"00007 x", "00007 x"}, false, 0, L"", VOMBRA_E_READ_TIMEOUT},
        KeyCase{"DecimalTrailingText", kFw409, {"00007 12345abc", "00007 12345abc"}, false, 0, L"",
                VOMBRA_E_READ_TIMEOUT},
        KeyCase{"DecimalNegative", kFw409, {"00007 -5", "00007 -5"}, false, 0, L"", VOMBRA_E_READ_TIMEOUT},
        // The answer of another address is no answer; the retry gets the right one.
        KeyCase{"DecimalOtherAddress", kFw409, {"00008 12345", "00007 12345"}, true, 0, L"0000003039", 0},
        // A key line where the older firmware answers in decimal is no answer either.
        KeyCase{"DecimalGotKeyLine", kFw409, {"Em-Marine[0A1B] 123,45678", "Em-Marine[0A1B] 123,45678"}, false,
                0, L"", VOMBRA_E_READ_TIMEOUT},
        KeyCase{"Garbage", 0x0401, {"what?", "what?"}, false, 0, L"", VOMBRA_E_READ_TIMEOUT},
        // The stale start would make this answer another key (or none): it is dropped before asking.
        KeyCase{"StaleStartOfAnEarlierAnswer", 0x0401, {"Em-Marine[0A1B] 123,45678"}, true, KT_EM_MARINE,
                L"0A1B7BB26E", 0, "Em-Marine[0000] 0"},
        KeyCase{"StaleStartBeforeNoCard", 0x0401, {"No card"}, true, 0, L"", 0, "Em-Marine[0000] 000,000"},
        KeyCase{"Silent", 0x0401, {""}, false, 0, L"", VOMBRA_E_READ_TIMEOUT}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(ConverterProtocolTest, KeyRequestForAnAddressWithoutRecordMakesNone) {
  port->Expect("#00009 r\r", "No card\r\n", 10);
  UINT type = 0;
  _KEYNUM_INFO uid = {};
  EXPECT_TRUE(reader.RequestConverterKey(9, &type, &uid));
  CCriticalSectionLock lock(&reader.Lock);
  EXPECT_EQ(1u, reader.AddressMap.size());
  EXPECT_EQ(0u, reader.AddressMap.count(9));
}

TEST_F(ConverterProtocolTest, KeyRequestWithoutAttemptsSendsNothing) {
  reader.SetTimeouts(10000, 3000, INFINITE, 500, 0);
  UINT type = 0;
  _KEYNUM_INFO uid = {};
  EXPECT_FALSE(reader.RequestConverterKey(7, &type, &uid));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(port->Writes().empty());
}

// A key line the converter lets through during an exchange is no key of the converter: its keys
// come from the address polls.
TEST_F(ConverterProtocolTest, KeyLineCaughtDuringAnExchangeIsDropped) {
  port->Expect("#00007 i\r", std::string("Em-Marine[0A1B] 123,45678\r\n") + kInfo7, 10);
  UINT hwCode = 0, serial = 0, version = 0;
  ASSERT_TRUE(reader.QueryConverterInfo(7, &hwCode, &serial, &version, 500, 1, nullptr));
  // The thread handles what an exchange caught at its next pass; the text pass does that first.
  reader.TextModePoll();
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_TRUE(events.Kinds().empty());
}

// --- The converter behind the fake port, driven step by step as the thread drives it.

SimIdentity Identity(const char* name, unsigned hwCode, unsigned serial, const char* version) {
  SimIdentity id;
  id.ModelName = name;
  id.HwCode = hwCode;
  id.Serial = serial;
  id.Version = version;
  return id;
}

// The converter simulator behind the fake port, its keys printed as "123,45678" (series byte 2, number
// bytes 0..1).
class ConverterFlowTest : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    port = AddPort(new CConverterSimFakePort);
    UseSeriesNumberFormat();
    InitReader(500, 2);
  }

  void AddReader(int address, const SimIdentity& identity, const std::string& key = std::string()) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.Readers[address] = SimAddressReader{identity, key};
  }
  void SetKey(int address, const std::string& key) {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.Readers[address].FieldKey = key;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> hold(port->Mutex);
    return port->Model.Requests;
  }
  void Listen(std::initializer_list<int> addresses) {
    for (int address : addresses) reader.AddAddress(address);
    reader.ApplyChanges();
  }
  // One converter pass of the thread.
  void Poll() {
    reader.NextWait = INFINITE;
    reader.ConverterModePoll();
  }
  _ADDRESS_INFO Record(int address) {
    CCriticalSectionLock lock(&reader.Lock);
    return reader.AddressMap.at(address);
  }
  // Two KD-6 A at addresses 3 and 5, both connected by the first pass.
  void ConnectTwoReaders() {
    AddReader(3, Identity("KD-6 A", 0x301, 333, "1.4"));
    AddReader(5, Identity("KD-6 A", 0x301, 555, "1.4"));
    Listen({3, 5});
    ASSERT_TRUE(reader.Connect());
    Poll();
    ASSERT_EQ(2u, events.Count("connect"));
  }
  // Kind and address of each event, as "connect@3".
  std::vector<std::string> Trail() {
    std::vector<std::string> out;
    for (const auto& e : events.Events()) out.push_back(e.Kind + "@" + std::to_string(e.Address));
    return out;
  }

  CConverterSimFakePort* port = nullptr;
};

const char kKeyLine[] = "Em-Marine[0A1B] 123,45678";

TEST_F(ConverterFlowTest, EachAddressConnectsWithItsOwnIdentityAndEvents) {
  AddReader(3, Identity("KD-6 A", 0x301, 333, "1.4"), kKeyLine);
  AddReader(5, Identity("KD-6 C", 0x302, 555, "2.0"));
  port->Model.Echo = true;
  Listen({5, 3, 4});  // nothing answers at 4

  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(PM_CONVERTER), reader.Mode);
  EXPECT_EQ(UINT(RM_UNKNOWN), reader.Model);
  EXPECT_EQ((FakeConfigCall{9600, 0, 13}), port->ConfigCalls().front());
  // The converter itself raises no connect and asks nothing.
  EXPECT_TRUE(events.Kinds().empty());
  EXPECT_TRUE(Requests().empty());

  Poll();
  EXPECT_EQ((std::vector<std::string>{"#00003 i", "#00003 r", "#00004 i", "#00004 i", "#00005 i", "#00005 r"}),
            Requests());
  EXPECT_EQ((std::vector<std::string>{"connect@3", "connect@5"}), Trail());
  const _ADDRESS_INFO three = Record(3), four = Record(4), five = Record(5);
  EXPECT_EQ(UINT(RS_CONNECTED), three.State);
  EXPECT_EQ(UINT(RM_KD6_A), three.Model);
  EXPECT_EQ(333u, three.SerialNumber);
  EXPECT_EQ(L"KD-6 A S/N: 333 [301]\r\nSoftware version: 1.4\r\n", three.InfoText);
  // The key in the field at connect is recorded silently, with its text.
  EXPECT_EQ(UINT(KT_EM_MARINE), three.KeyType);
  EXPECT_EQ(L"0A1B7BB26E", HexOf(three.Key));
  EXPECT_EQ(L"123,45678", three.Text);
  EXPECT_EQ(UINT(RS_DISCONNECTED), four.State);
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, four.LastError);
  EXPECT_EQ(UINT(RM_KD6_C), five.Model);
  EXPECT_EQ(555u, five.SerialNumber);
  EXPECT_EQ(0u, five.Key.Length);
  EXPECT_EQ(RS_CONNECTED, reader.GetState(3));
  EXPECT_EQ(RS_DISCONNECTED, reader.GetState(4));
  // The reader itself keeps no identity of its own.
  EXPECT_EQ(0xFFFFFFFFu, reader.SerialNumber);
  EXPECT_TRUE(reader.Keys.empty());

  // The failed address is not tried again by time.
  clock.Advance(10000);
  Poll();
  const std::vector<std::string> requests = Requests();
  EXPECT_EQ(2, std::count(requests.begin(), requests.end(), std::string("#00004 i")));
}

TEST_F(ConverterFlowTest, KeysArePolledEvery333Milliseconds) {
  ASSERT_NO_FATAL_FAILURE(ConnectTwoReaders());
  EXPECT_EQ(333u, reader.NextWait);
  const size_t asked = Requests().size();

  clock.Advance(332);
  Poll();
  EXPECT_EQ(asked, Requests().size());
  EXPECT_EQ(1u, reader.NextWait);

  clock.Advance(1);
  Poll();
  const std::vector<std::string> requests = Requests();
  EXPECT_EQ((std::vector<std::string>{"#00003 r", "#00005 r"}),
            std::vector<std::string>(requests.begin() + ptrdiff_t(asked), requests.end()));
  EXPECT_EQ(333u, reader.NextWait);
  EXPECT_EQ(2u, events.Events().size());

  // A key at 5: found and transferred from the record of 5.
  SetKey(5, kKeyLine);
  clock.Advance(333);
  Poll();
  auto recorded = events.Events();
  ASSERT_EQ(4u, recorded.size());
  EXPECT_EQ("found", recorded[2].Kind);
  EXPECT_EQ(5, recorded[2].Address);
  EXPECT_EQ(0, recorded[2].Index);
  EXPECT_EQ(L"0A1B7BB26E", recorded[2].Uid);
  EXPECT_EQ("number", recorded[3].Kind);
  EXPECT_EQ(5, recorded[3].Address);
  EXPECT_EQ(L"123,45678", recorded[3].Text);

  // The same key again: nothing.
  clock.Advance(333);
  Poll();
  EXPECT_EQ(4u, events.Events().size());

  // Another key straight away: the old one is lost first.
  SetKey(5, "Em-Marine[0000] 001,00002");
  clock.Advance(333);
  Poll();
  recorded = events.Events();
  ASSERT_EQ(7u, recorded.size());
  EXPECT_EQ("lost", recorded[4].Kind);
  EXPECT_EQ(L"0A1B7BB26E", recorded[4].Uid);
  EXPECT_EQ(L"0A1B7BB26E", recorded[4].Number);
  EXPECT_EQ(L"123,45678", recorded[4].Text);
  EXPECT_EQ("found", recorded[5].Kind);
  EXPECT_EQ("number", recorded[6].Kind);
  EXPECT_EQ(L"001,00002", recorded[6].Text);

  SetKey(5, "");
  clock.Advance(333);
  Poll();
  recorded = events.Events();
  ASSERT_EQ(8u, recorded.size());
  EXPECT_EQ("lost@5", recorded[7].Kind + "@" + std::to_string(recorded[7].Address));
  EXPECT_EQ(0u, Record(5).Key.Length);
  EXPECT_EQ(0u, events.Count("error"));
}

TEST_F(ConverterFlowTest, OlderFirmwareKeysArriveAsDecimalNumbers) {
  AddReader(7, Identity("KD-6 A", 0x301, 77, "409"));
  Listen({7});
  ASSERT_TRUE(reader.Connect());
  Poll();
  ASSERT_EQ(1u, events.Count("connect"));
  EXPECT_EQ(0x199FFu, Record(7).Version);

  SetKey(7, "12345");
  clock.Advance(333);
  Poll();
  EXPECT_EQ("#00007 r", Requests().back());
  auto recorded = events.Events();
  ASSERT_EQ(3u, recorded.size());
  EXPECT_EQ("found", recorded[1].Kind);
  EXPECT_EQ(L"0000003039", recorded[1].Uid);
  EXPECT_EQ(0u, recorded[1].KeyType);
  // Byte 2 is 0, bytes 0..1 are 0x3039 = 12345.
  EXPECT_EQ("number", recorded[2].Kind);
  EXPECT_EQ(L"000,12345", recorded[2].Text);
  EXPECT_EQ(7, recorded[2].Address);
}

TEST_F(ConverterFlowTest, ConnectingAgainConnectsTheAddressesAgain) {
  ASSERT_NO_FATAL_FAILURE(ConnectTwoReaders());

  // As after a port error: the port goes, the converter connects again.
  reader.Disconnect();
  factory.Add(port);  // the same device behind the port the reader opens next
  ASSERT_TRUE(reader.Connect());
  Poll();
  EXPECT_EQ((std::vector<std::string>{"connect@3", "connect@5", "disconnect@-1", "disconnect@3", "disconnect@5",
                                      "connect@3", "connect@5"}),
            Trail());
}

// The host asks for a reconnect of address 5, and a key is put into its field once the address
// reports its connect. A request that comes while the address waits to connect, is connecting, or
// before a connect the converter's return started is answered by that connect, and the key is
// reported; one that comes once the address is connected connects it again, and the key is taken
// silently as a key found at connect.
enum class AskedWhen { WhileDue, DuringTheConnect, BeforeTheLinkCameBack, OnceConnected };

struct ReconnectCase {
  const char* name;
  AskedWhen when;
  std::vector<std::string> trail;
};

void PrintTo(const ReconnectCase& c, std::ostream* os) { *os << c.name; }

// The converter's port, with a look at each request before the device takes it.
class CWatchedConverterPort : public CConverterSimFakePort {
 public:
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override {
    if (OnWrite) OnWrite(std::string(reinterpret_cast<const char*>(data), size));
    return CConverterSimFakePort::Write(data, size, timeout);
  }
  std::function<void(const std::string&)> OnWrite;
};

class ConverterWatchedTest : public ConverterFlowTest {
 protected:
  void SetUp() override {
    clock.Set(100000);
    watched = new CWatchedConverterPort;
    port = AddPort(watched);
    UseSeriesNumberFormat();
    InitReader(500, 2);
  }
  // Runs f once, at the first request to the address.
  void AtFirstRequestTo(int address, std::function<void()> f) {
    const std::string request = "#" + std::string(5 - std::to_string(address).size(), '0') +
                                std::to_string(address) + " i";
    watched->OnWrite = [request, f, done = false](const std::string& bytes) mutable {
      if (done || bytes.rfind(request, 0) != 0) return;
      done = true;
      f();
    };
  }
  CWatchedConverterPort* watched = nullptr;
};

class ConverterReconnectTest : public ConverterWatchedTest, public ::testing::WithParamInterface<ReconnectCase> {};

TEST_P(ConverterReconnectTest, IsAnsweredByTheNextConnectOfTheAddress) {
  const ReconnectCase& c = GetParam();
  AddReader(3, Identity("KD-6 A", 0x301, 333, "1.4"));
  if (c.when == AskedWhen::BeforeTheLinkCameBack) {
    Listen({3, 5});  // nothing answers at 5 yet
    ASSERT_TRUE(reader.Connect());
    Poll();
    ASSERT_EQ(UINT(RS_DISCONNECTED), Record(5).State);
    reader.Reconnect(5);
    // The link goes and comes back before the thread takes the request up.
    reader.Disconnect();
    factory.Add(port);
    ASSERT_TRUE(reader.Connect());
    AddReader(5, Identity("KD-6 A", 0x301, 555, "1.4"));
  } else {
    AddReader(5, Identity("KD-6 A", 0x301, 555, "1.4"));
    Listen({3, 5});
    ASSERT_TRUE(reader.Connect());
    if (c.when == AskedWhen::WhileDue) reader.Reconnect(5);
    if (c.when == AskedWhen::DuringTheConnect) AtFirstRequestTo(5, [&] { reader.Reconnect(5); });
  }
  Poll();
  ASSERT_EQ(UINT(RS_CONNECTED), Record(5).State);
  if (c.when == AskedWhen::OnceConnected) reader.Reconnect(5);

  SetKey(5, kKeyLine);
  clock.Advance(333);
  reader.ApplyChanges();
  Poll();
  EXPECT_EQ(c.trail, Trail());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ConverterReconnectTest,
    ::testing::Values(
        ReconnectCase{"WhileDue", AskedWhen::WhileDue, {"connect@3", "connect@5", "found@5", "number@5"}},
        ReconnectCase{"DuringTheConnect", AskedWhen::DuringTheConnect,
                      {"connect@3", "connect@5", "found@5", "number@5"}},
        ReconnectCase{"BeforeTheLinkCameBack", AskedWhen::BeforeTheLinkCameBack,
                      {"connect@3", "disconnect@-1", "disconnect@3", "connect@3", "connect@5", "found@5", "number@5"}},
        ReconnectCase{"OnceConnected", AskedWhen::OnceConnected, {"connect@3", "connect@5", "connect@5"}}),
    [](const ::testing::TestParamInfo<ReconnectCase>& info) { return std::string(info.param.name); });

// The link goes while an address connects: the port's failure leaves the pass for the converter's
// port error (which disconnects the converter and brings the link back), and the address, not yet
// connected, is left disconnected with the port's error.
TEST_F(ConverterWatchedTest, LinkLostWhileAnAddressConnectsIsTheConvertersPortError) {
  AddReader(3, Identity("KD-6 A", 0x301, 333, "1.4"));
  AddReader(5, Identity("KD-6 A", 0x301, 555, "1.4"));
  Listen({3, 5});
  ASSERT_TRUE(reader.Connect());
  const HRESULT reset = HRESULT_FROM_WIN32(WSAECONNRESET);
  AtFirstRequestTo(5, [&] { watched->Drop(reset); });
  EXPECT_THROW(Poll(), CKdPortException);
  EXPECT_EQ(UINT(RS_CONNECTED), Record(3).State);
  const _ADDRESS_INFO five = Record(5);
  EXPECT_EQ(UINT(RS_DISCONNECTED), five.State);
  EXPECT_EQ(reset, five.LastError);
  EXPECT_EQ((std::vector<std::string>{"connect@3"}), Trail());
}

TEST_F(ConverterFlowTest, UnsupportedReaderAtAnAddressStaysDisconnected) {
  AddReader(3, Identity("KD-X", 0x777, 1, "1.0"));
  Listen({3});
  ASSERT_TRUE(reader.Connect());
  Poll();
  const _ADDRESS_INFO three = Record(3);
  EXPECT_EQ(UINT(RS_DISCONNECTED), three.State);
  EXPECT_NE(0u, three.Flags & AF_UNSUPPORTED);
  EXPECT_EQ(E_FAIL, three.LastError);
  EXPECT_EQ(L"Reader model (0x777) is not supported.", three.LastErrorText);
  // An address raises no error event of its own.
  EXPECT_TRUE(events.Kinds().empty());
}

TEST_F(ConverterFlowTest, DeviceTestOfAnAddressLeavesTheReadersIdentityAlone) {
  AddReader(7, Identity("KD-6 A", 0x301, 4321, "1.4"));
  port->Model.Echo = true;
  std::wstring info;
  EXPECT_TRUE(reader.TestDevice(7, 0, 0, 1000, INFINITE, 500, 1, &info));
  EXPECT_EQ(L"KD-6 A S/N: 4321 [301]\r\nSoftware version: 1.4\r\n", info);
  EXPECT_EQ(UINT(RM_UNKNOWN), reader.Model);
  EXPECT_EQ(0xFFFFFFFFu, reader.SerialNumber);
  EXPECT_EQ("#00007 i", Requests().front());
  reader.Stop();
}

// --- With the reader's own thread.

TEST_F(ConverterFlowTest, StopDisconnectsTheReaderThenEachAddressInOrder) {
  AddReader(3, Identity("KD-6 A", 0x301, 333, "1.4"));
  AddReader(5, Identity("KD-6 A", 0x301, 555, "1.4"));
  reader.Running = 0;
  reader.AddAddress(5);
  reader.AddAddress(3);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("connect", 2, 20000));
  reader.Stop();
  EXPECT_EQ((std::vector<std::string>{"connect@3", "connect@5", "disconnect@-1", "disconnect@3", "disconnect@5"}),
            Trail());
  EXPECT_EQ(0, events.CallsUnderLock());
}

// --- Over loopback TCP, with the thread.

// The converter simulator over loopback TCP, for the reader's own thread on real time.
class ConverterTcpTest : public ReaderFixture {
 protected:
  void SetUp() override {
    UseRealTime();
    UseSeriesNumberFormat();
  }
};

TEST_F(ConverterTcpTest, TwoAddressesReportTheirKeys) {
  CConverterSim sim;
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CConverterModel& m) {
    m.Echo = true;
    m.Readers[3] = SimAddressReader{Identity("KD-6 A", 0x301, 333, "1.4"), ""};
    m.Readers[5] = SimAddressReader{Identity("KD-6 A", 0x301, 555, "410"), ""};
  });
  reader.Init(&events, sim.PortName().c_str());
  reader.SetTimeouts(10000, 500, INFINITE, 2000, 2);
  reader.AddAddress(3);
  reader.AddAddress(5);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("connect", 2, 20000));
  sim.Change([](CConverterModel& m) {
    m.Readers[3].FieldKey = kKeyLine;
    m.Readers[5].FieldKey = "65539";  // 0x010003: series 1, number 3
  });
  ASSERT_TRUE(events.WaitFor("number", 2, 20000));
  reader.Stop();
  std::map<int, std::wstring> texts;
  for (const auto& e : events.Events()) {
    if (e.Kind == "number") texts[e.Address] = e.Text;
  }
  EXPECT_EQ((std::map<int, std::wstring>{{3, L"123,45678"}, {5, L"001,00003"}}), texts);
  EXPECT_EQ(0u, events.Count("error"));
}

}  // namespace
