// Connecting a reader over a scripted fake port: identification and its speed fallback, unsupported
// hardware, the per-model set-up, line-speed choices and the timed reconnect.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ByteText.h"
#include "LoopbackPeer.h"
#include "Messages.h"
#include "ReaderFixture.h"

namespace {

// The identification reply of a reader: model name, serial and hardware code, then the version.
std::string InfoReply(const char* name, unsigned serial, unsigned hwCode, const char* version) {
  char text[160];
  snprintf(text, sizeof text, "%s S/N: %u [%X]\r\nSoftware version: %s\r\n", name, serial, hwCode, version);
  return text;
}

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here a reader on a scripted fake port, not yet connected, one attempt per
// exchange.
class ReaderConnectTest : public ReaderFixture {
 protected:
  void SetUp() override {
    port = AddPort(new CFakePort);
    InitReader(1000, 1);
  }

  CFakePort* port = nullptr;
};

TEST_F(ReaderConnectTest, IdentifiesAt9600AndRecordsTheKeyInTheFieldSilently) {
  port->Expect("i\r", InfoReply("KD-6 A", 12345, 0x301, "1.4"), 10);
  port->Expect("r\n", "Em-Marine[0A1B] 123,45678\r\n", 10);
  reader.SetPortParams(0, 0, 0, 0, false);

  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(RS_CONNECTED, reader.GetState(-1));
  EXPECT_EQ(UINT(RM_KD6_A), reader.Model);
  EXPECT_EQ(12345u, reader.SerialNumber);
  EXPECT_EQ(0x0401u, reader.Version);  // 1.4: major in the low byte
  EXPECT_EQ(UINT(PM_TEXT), reader.Mode);
  ASSERT_FALSE(port->ConfigCalls().empty());
  EXPECT_EQ((FakeConfigCall{9600, 0, 13}), port->ConfigCalls().front());
  EXPECT_TRUE(port->UnexpectedWrites().empty());
  // The key answered at connect is recorded without events.
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_EM_MARINE), reader.Keys[0].KeyType);
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());

  // The port, traffic and connect lines, in the order they were written.
  std::vector<std::wstring> texts;
  for (const auto& line : context.LogLines()) {
    if (line.Number == 2 || line.Number == 7 || line.Number == 10) texts.push_back(line.Text);
  }
  EXPECT_EQ((std::vector<std::wstring>{L"Open port \"COM3\" (9600,N,8,1).", L"> i\\r", L"> r\\n",
                                       L"Connected reader KD-6 A s/n 12345 FW v1.4."}),
            texts);
}

TEST_F(ReaderConnectTest, RetriesAt115200WhenNothingAnswersAt9600) {
  // The reader hears only 115200: the first request at 9600 gets no reply.
  port->Expect("i\r", InfoReply("KD-6 A", 7, 0x301, "1.0"), 10, 115200);
  port->Expect("i\r", InfoReply("KD-6 A", 7, 0x301, "1.0"), 10, 115200);
  port->Expect("r\n", "No card\r\n", 10);

  ASSERT_TRUE(reader.Connect());
  auto calls = port->ConfigCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ((FakeConfigCall{9600, 0, 13}), calls[0]);
  EXPECT_EQ((FakeConfigCall{115200, 0, 13}), calls[1]);
  EXPECT_TRUE(reader.StatusFlags & RSF_WAKEUP);
  EXPECT_EQ(7u, reader.SerialNumber);
}

TEST_F(ReaderConnectTest, FixedModelSettingDoesNotRetryAtAnotherSpeed) {
  port->Expect("i\r", InfoReply("KD-6 A", 7, 0x301, "1.0"), 10, 115200);
  reader.SetPortParams(0, 0, RM_KD6_A, 0, false);

  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  for (const auto& call : port->ConfigCalls()) EXPECT_NE(115200u, call.Baud);
}

TEST_F(ReaderConnectTest, UnsupportedHardwareFailsWithTheExactText) {
  port->Expect("i\r", InfoReply("KD-X", 1, 0x777, "1.0"), 10);

  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(RS_DISCONNECTED, reader.GetState(-1));
  EXPECT_TRUE(reader.StatusFlags & RSF_UNSUPPORTED);
  auto recorded = events.Events();
  ASSERT_EQ(1u, recorded.size());
  EXPECT_EQ("error", recorded[0].Kind);
  EXPECT_EQ(E_FAIL, recorded[0].Code);
  EXPECT_EQ(L"Unable to connect to the reader. Reader model (0x777) is not supported.", recorded[0].Text);
  EXPECT_EQ(1, port->CloseCount());
}

// The output-format programming of model 7, byte for byte.
struct Model7Case {
  UINT flags;
  std::vector<std::string> requests;
};

class Model7Test : public ReaderConnectTest, public ::testing::WithParamInterface<Model7Case> {};

TEST_P(Model7Test, SendsTheThreeCommandsInOrder) {
  const Model7Case& c = GetParam();
  port->Expect("i\r", InfoReply("KD-6 D", 99, 0x303, "1.0"), 10);
  for (const auto& request : c.requests) port->Expect(request, "OK\r\n", 10);
  reader.SetPortParams(0, c.flags, 0, 0, false);

  ASSERT_TRUE(reader.Connect());
  std::vector<std::string> expected{"i\r"};
  expected.insert(expected.end(), c.requests.begin(), c.requests.end());
  EXPECT_EQ(expected, port->Writes());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Model7Test,
    ::testing::Values(Model7Case{RDF_WIEGAND,
                                 {"tFMTEm-Marine[%.2X%.2X] %.3d,%.5d\\r\\n\r\n", "tARGb4 b3 b2 w01\r\n",
                                  "tNOCNo card\\r\\n\r\n"}},
                      Model7Case{0,
                                 {"tFMTDALLAS[%.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X] 000,00000\\r\\n\r\n",
                                  "tARGb7 b6 b5 b4 b3 b2 b1 b0\r\n", "tNOCNo card\\r\\n\r\n"}}));

class Model7ErrorTest : public ReaderConnectTest, public ::testing::WithParamInterface<int> {};

TEST_P(Model7ErrorTest, AnErrorReplyFailsTheConnectAndStopsTheSequence) {
  const int failing = GetParam();
  const std::vector<std::string> requests{"tFMTEm-Marine[%.2X%.2X] %.3d,%.5d\\r\\n\r\n", "tARGb4 b3 b2 w01\r\n",
                                          "tNOCNo card\\r\\n\r\n"};
  port->Expect("i\r", InfoReply("KD-6 D", 99, 0x303, "1.0"), 10);
  for (int i = 0; i <= failing; ++i) port->Expect(requests[size_t(i)], i == failing ? "Error 2\r\n" : "ok\r\n", 10);
  reader.SetPortParams(0, RDF_WIEGAND, 0, 0, false);

  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(VOMBRA_E_READER_ERROR, reader.LastError);
  EXPECT_EQ(size_t(failing) + 2, port->Writes().size());
  ASSERT_EQ(1u, events.Count("error"));
  EXPECT_EQ(VOMBRA_E_READER_ERROR, events.Events()[0].Code);
}

INSTANTIATE_TEST_SUITE_P(EachCommand, Model7ErrorTest, ::testing::Values(0, 1, 2));

// Model 9: the line goes to 115200 with the frame delimiter as event character, then the first poll
// (an empty field: the no-key indication).
TEST_F(ReaderConnectTest, Model9ConnectsInFramedMode) {
  port->Expect("i\r", InfoReply("PX-2210", 3, 0x821, "1.0"), 10);
  port->Expect(Bytes("61 0B 64 03 2D C0"), Bytes("61 01 00 9E C0"), 10);  // 61 + 01 + 00 + 9E = 100
  port->Expect(Bytes("02 01 00 FD C0"), Bytes("02 AA 54 C0"), 10);        // 02 + AA + 54 = 100
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(RM_PX2210), reader.Model);
  EXPECT_EQ(UINT(PM_FRAMED), reader.Mode);
  EXPECT_EQ((FakeConfigCall{115200, 0, 0xC0}), port->ConfigCalls().back());
  EXPECT_TRUE(port->UnexpectedWrites().empty());
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());
}

// A converter connects its port only; its addresses connect on the poll, and it raises no connect of
// its own.
TEST_F(ReaderConnectTest, ConverterConnectsWithoutIdentification) {
  reader.AddAddress(1);
  reader.RebuildAddresses();
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(UINT(PM_CONVERTER), reader.Mode);
  EXPECT_EQ(RS_CONNECTED, reader.GetState(-1));
  EXPECT_EQ((FakeConfigCall{9600, 0, 13}), port->ConfigCalls().back());
  EXPECT_TRUE(port->Writes().empty());
  EXPECT_TRUE(events.Kinds().empty());
}

TEST_F(ReaderConnectTest, DeviceTestIdentifiesAndLeavesTheThreadRunning) {
  port->Expect("i\r", InfoReply("KD-6 A", 555, 0x301, "2.1"), 10);
  std::wstring info;
  EXPECT_TRUE(reader.TestDevice(-1, 0, 0, 1000, INFINITE, 1000, 1, &info));
  EXPECT_EQ(L"KD-6 A S/N: 555 [301]\r\nSoftware version: 2.1\r\n", info);
  EXPECT_EQ(555u, reader.SerialNumber);
  EXPECT_TRUE(reader.IsStarted());
  reader.Stop();
}

TEST_F(ReaderConnectTest, PendingCommandOnAFailedConnectEndsWithTheError) {
  port->Expect("i\r", InfoReply("KD-X", 1, 0x777, "1.0"), 10);
  auto command = std::make_shared<_CMD_INFO>();
  reader.Command = command;
  reader.CommandStatus = E_PENDING;

  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(E_FAIL, reader.CommandStatus.load());
  EXPECT_EQ(1u, events.Count("command"));
}

// ApplySpeed's choice of rate for a requested speed.
struct SpeedCase {
  UINT model;
  UINT version;
  UINT requested;
  UINT chosen;  // 0: no rate, the speed is not changed
};

class SpeedChoiceTest : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedChoiceTest, PicksTheRate) {
  const SpeedCase& c = GetParam();
  const UINT mask = ModelSpeedMask(c.model, c.version);
  if (c.chosen == 0) {
    EXPECT_EQ(0u, mask);
  } else {
    ASSERT_NE(0u, mask);
    EXPECT_EQ(c.chosen, ChooseSpeed(mask, c.requested));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SpeedChoiceTest,
    ::testing::Values(SpeedCase{RM_KD6_MQF, 0, 50000, 38400}, SpeedCase{RM_KD6_MQF, 0, 1200, 9600},
                      SpeedCase{RM_KD6_MQF, 0, 0, 115200}, SpeedCase{RM_KD6_MQF, 0, 230400, 115200},
                      SpeedCase{RM_KD6_A, 0, 0, 9600}, SpeedCase{RM_PX2210, 0, 9600, 115200},
                      SpeedCase{RM_KD6_B, 0x0801, 0, 115200},   // firmware 1.8
                      SpeedCase{RM_KD6_B, 0x0901, 0, 9600},     // firmware 1.9
                      SpeedCase{RM_ORVEL_3B, 0x0A02, 0, 115200},  // 2.10
                      SpeedCase{RM_ORVEL_3B, 0x0902, 0, 9600},    // 2.9
                      SpeedCase{RM_ORVEL_3B, 0x0003, 19200, 19200},  // 3.0
                      SpeedCase{RM_ORVEL_3A, 0, 0, 0}, SpeedCase{RM_ORVEL_7, 0, 0, 0}, SpeedCase{RM_KD6_G, 0, 0, 0}));

TEST_F(ReaderConnectTest, ApplySpeedReconfiguresTheOpenPortWithoutReconnecting) {
  ASSERT_TRUE(reader.OpenPort(PK_COM, L"COM3", 9600, 0, 1000, INFINITE));
  reader.Model = RM_KD6_MQF;

  EXPECT_TRUE(reader.ApplySpeed(50000));
  EXPECT_EQ((FakeConfigCall{38400, 0, 13}), port->ConfigCalls().back());
  EXPECT_TRUE(reader.StatusFlags & RSF_WAKEUP);
  EXPECT_EQ(1, port->OpenCount());

  reader.Model = RM_ORVEL_7;  // no speeds of its own: nothing changes
  const size_t calls = port->ConfigCalls().size();
  EXPECT_FALSE(reader.ApplySpeed(9600));
  EXPECT_EQ(calls, port->ConfigCalls().size());
}

// A loopback peer on real time instead of the fake port.
class ReaderRawTcp : public ReaderFixture {
 protected:
  void SetUp() override { UseRealTime(); }
};

TEST_F(ReaderRawTcp, NoRetryAt115200OverRawTcp) {
  CLoopbackPeer peer;
  ASSERT_TRUE(peer.Listening());
  reader.Init(&events, peer.PortName().c_str());
  reader.SetTimeouts(3000, 3000, INFINITE, 300, 1);
  reader.SetPortParams(0, 0, 0, 0, false);  // no RDF_NVT: raw
  reader.Running = 1;

  EXPECT_FALSE(reader.Connect());
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  ASSERT_TRUE(peer.Accept(2000));
  // One request only: the reconfigured second try never went out.
  EXPECT_EQ("i\r", peer.ReceiveUntilQuiet(200));
  reader.Running = 0;
}

// The thread: no timed retry after unsupported hardware until a reconnect is asked for.
TEST_F(ReaderConnectTest, UnsupportedHardwareIsNotRetriedByTimeUntilReconnect) {
  port->Expect("i\r", InfoReply("KD-X", 1, 0x777, "1.0"), 10);
  port->Expect("i\r", InfoReply("KD-X", 1, 0x777, "1.0"), 10);
  reader.Running = 0;
  reader.Start();
  ASSERT_TRUE(events.WaitFor("error", 1, 5000));

  clock.Advance(60000);  // twenty connect periods
  SetEvent(reader.WakeEvent);
  Sleep(300);
  EXPECT_EQ(1u, port->Writes().size());
  EXPECT_EQ(1u, events.Count("error"));

  factory.Add(port);  // the failed connect let its port go; the next one is made afresh
  reader.Reconnect(-1);
  ASSERT_TRUE(events.WaitFor("error", 2, 5000));
  EXPECT_EQ(2u, port->Writes().size());
  reader.Stop();
}

}  // namespace
