// The reader object: what the setters hand to the thread, converter-address records, the command
// slot, and the thread's timed reconnect on an injected clock (across the 32-bit wrap).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "Messages.h"
#include "ReaderFixture.h"
#include "sim/TextReaderSim.h"

namespace {

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here the reader object alone, its thread never started.
class ReaderObjectTest : public ReaderFixture {
 protected:
  void SetUp() override { reader.Init(&events, L"COM3"); }
  // The changes handed over so far, taken as the thread takes them.
  UINT TakeChanges() {
    UINT changes = reader.Changes;
    reader.Changes = 0;
    return changes;
  }
};

struct ParamsCase {
  const char* name;
  UINT detectedModel;
  BYTE stopBits;
  UINT flags;
  UINT model;
  UINT speed;
  UINT changes;  // beyond RC_PARAMS
};

class SetPortParamsTest : public ReaderObjectTest, public ::testing::WithParamInterface<ParamsCase> {};

TEST_P(SetPortParamsTest, DecidesOnAReconnect) {
  const ParamsCase& c = GetParam();
  // Start from stop bits 0, flags RDF_BINARY, automatic model, speed 9600.
  reader.SetPortParams(0, RDF_BINARY, 0, 9600, false);
  TakeChanges();
  reader.Model = c.detectedModel;
  reader.SetPortParams(c.stopBits, c.flags, c.model, c.speed, false);
  EXPECT_EQ(RC_PARAMS | c.changes, TakeChanges());
  EXPECT_EQ(c.speed, reader.Speed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetPortParamsTest,
    ::testing::Values(ParamsCase{"Nothing", 0, 0, RDF_BINARY, 0, 9600, 0},
                      ParamsCase{"SpeedOnly", 0, 0, RDF_BINARY, 0, 115200, RC_SPEED},
                      ParamsCase{"StopBits", 0, 2, RDF_BINARY, 0, 9600, RC_RECONNECT},
                      ParamsCase{"ModelSetting", 0, 0, RDF_BINARY, 5, 9600, RC_RECONNECT},
                      ParamsCase{"BinaryFlag", 0, 0, 0, 0, 9600, RC_RECONNECT},
                      ParamsCase{"WiegandOnModel7", RM_KD6_D, 0, RDF_BINARY | RDF_WIEGAND, 0, 9600, RC_RECONNECT},
                      ParamsCase{"WiegandOnOtherModel", RM_KD6_A, 0, RDF_BINARY | RDF_WIEGAND, 0, 9600, 0},
                      ParamsCase{"NvtFlagAlone", 0, 0, RDF_BINARY | RDF_NVT, 0, 9600, 0},
                      ParamsCase{"SpeedAndModel", 0, 0, RDF_BINARY, 3, 19200, RC_SPEED | RC_RECONNECT}),
    [](const ::testing::TestParamInfo<ParamsCase>& info) { return std::string(info.param.name); });

TEST_F(ReaderObjectTest, WakeSetsBreakOnlyForAReconnect) {
  reader.SetPortParams(0, 0, 0, 19200, true);  // speed only
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reader.BreakEvent, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader.WakeEvent, 0));
  reader.SetPortParams(1, 0, 0, 19200, true);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader.BreakEvent, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader.WakeEvent, 0));
}

TEST_F(ReaderObjectTest, AddressesKeepOneRecordEachAndGoWithTheirLastListing) {
  EXPECT_EQ(0u, reader.GetState(7));
  reader.AddAddress(7);
  reader.AddAddress(7);
  reader.AddAddress(3);
  EXPECT_EQ(UINT(RS_DISCONNECTED), reader.GetState(7));  // listed, no record yet

  // Reconnect of an address without a record: nothing at all, no wake.
  WaitForSingleObject(reader.WakeEvent, 0);
  TakeChanges();
  reader.Reconnect(7);
  EXPECT_EQ(0u, TakeChanges());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reader.WakeEvent, 0));

  reader.RebuildAddresses();
  ASSERT_EQ(2u, reader.AddressMap.size());
  EXPECT_EQ(UINT(AF_CONNECT_DUE), reader.AddressMap[7].Flags);

  reader.RemoveAddress(7);
  reader.RebuildAddresses();
  EXPECT_EQ(2u, reader.AddressMap.size());  // still listed once
  reader.RemoveAddress(7);
  reader.RebuildAddresses();
  EXPECT_EQ(1u, reader.AddressMap.size());
  EXPECT_EQ(0u, reader.GetState(7));
  TakeChanges();
  reader.RemoveAddress(7);  // not listed: nothing
  EXPECT_EQ(0u, TakeChanges());
}

TEST_F(ReaderObjectTest, AddressReconnectForgetsTheIdentification) {
  reader.AddAddress(3);
  reader.RebuildAddresses();
  _ADDRESS_INFO& record = reader.AddressMap[3];
  record.Flags = 0;
  record.Model = RM_KD6_A;
  record.SerialNumber = 99;
  record.InfoText = L"x";
  TakeChanges();
  reader.Reconnect(3);
  EXPECT_EQ(UINT(RC_ADDRESS_RECONNECT), TakeChanges());
  reader.MarkAddressesForReconnect();
  EXPECT_EQ(0u, record.Model);
  EXPECT_EQ(0xFFFFFFFFu, record.SerialNumber);
  EXPECT_TRUE(record.InfoText.empty());
  EXPECT_EQ(UINT(AF_CONNECT_DUE), record.Flags);
  EXPECT_EQ(0u, record.Changes);
}

TEST_F(ReaderObjectTest, LastErrorReachesTheAddressRecords) {
  reader.AddAddress(3);
  reader.AddAddress(4);
  reader.RebuildAddresses();
  reader.SetLastError(E_FAIL, L"all");
  EXPECT_EQ(L"all", reader.AddressMap[3].LastErrorText);
  EXPECT_EQ(L"all", reader.AddressMap[4].LastErrorText);
  reader.Address = 4;
  reader.SetLastError(E_ABORT, nullptr);
  EXPECT_EQ(E_FAIL, reader.AddressMap[3].LastError);
  EXPECT_EQ(E_ABORT, reader.AddressMap[4].LastError);
  EXPECT_TRUE(reader.AddressMap[4].LastErrorText.empty());
}

TEST_F(ReaderObjectTest, CommandCompletesOnceAndNotAfterABreak) {
  auto command = std::make_shared<_CMD_INFO>();
  reader.Command = command;
  reader.CommandStatus = E_PENDING;
  EXPECT_TRUE(reader.CompleteCommand(command.get(), S_OK));
  EXPECT_FALSE(reader.CompleteCommand(command.get(), S_OK));
  EXPECT_EQ(1u, events.Count("command"));

  reader.CommandStatus = E_PENDING;
  reader.BreakCommand();
  EXPECT_FALSE(reader.CompleteCommand(command.get(), S_OK));
  EXPECT_EQ(E_ABORT, reader.CommandStatus.load());
  EXPECT_EQ(1u, events.Count("command"));

  _CMD_INFO other;
  reader.CommandStatus = E_PENDING;
  EXPECT_FALSE(reader.CompleteCommand(&other, S_OK));  // not the pending one
}

TEST_F(ReaderObjectTest, ErrorReportEndsThePendingCommandButAnAbortIsNoError) {
  auto command = std::make_shared<_CMD_INFO>();
  reader.Command = command;
  reader.CommandStatus = E_PENDING;
  reader.ReportError(1, E_ABORT, L"");
  EXPECT_EQ(E_ABORT, reader.CommandStatus.load());
  EXPECT_EQ((std::vector<std::string>{"command"}), events.Kinds());
  EXPECT_TRUE(context.LogLines().empty());

  reader.ReportError(2, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), L"denied");
  EXPECT_EQ((std::vector<std::string>{"command", "error"}), events.Kinds());
  auto lines = context.LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(13u, lines[0].Number);
  EXPECT_EQ(L"OS error (code 5): denied", lines[0].Text);
}

// The thread's timed reconnect, counted from the start of each attempt, across the tick wrap; the thread
// runs on the manual clock, against a fake port that is busy at every open.
class TimedReconnectTest : public ReaderFixture, public ::testing::WithParamInterface<DWORD> {};

TEST_P(TimedReconnectTest, NextAttemptComesAfterTheConnectPeriod) {
  clock.Set(GetParam());
  CFakePort* port = new CFakePort;
  for (int i = 0; i < 3; ++i) {
    factory.Add(port);
    port->FailOpen(VOMBRA_E_PORT_BUSY);
  }
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(1000, 3000, INFINITE, 1000, 1);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("error", 1, 5000));
  EXPECT_EQ(VOMBRA_E_PORT_BUSY, events.Events()[0].Code);

  clock.Advance(2999);
  SetEvent(reader.WakeEvent);
  Sleep(300);
  EXPECT_EQ(1u, events.Count("error"));

  clock.Advance(1);
  SetEvent(reader.WakeEvent);
  EXPECT_TRUE(events.WaitFor("error", 2, 5000));
  reader.Stop();
}

INSTANTIATE_TEST_SUITE_P(Ticks, TimedReconnectTest, ::testing::Values(DWORD(5000), DWORD(0xFFFFF800)));

using ReaderThread = ReaderFixture;

TEST_F(ReaderThread, NoTimedReconnectWithAnInfinitePeriod) {
  CFakePort* port = new CFakePort;
  factory.Add(port);
  factory.Add(port);
  port->FailOpen(VOMBRA_E_PORT_BUSY);
  port->FailOpen(VOMBRA_E_PORT_BUSY);
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(1000, INFINITE, INFINITE, 1000, 1);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("error", 1, 5000));
  clock.Advance(1000000);
  SetEvent(reader.WakeEvent);
  Sleep(300);
  EXPECT_EQ(1u, events.Count("error"));
  reader.Reconnect(-1);
  EXPECT_TRUE(events.WaitFor("error", 2, 5000));
  reader.Stop();
}

}  // namespace

namespace {

// The text-reader simulator behind the fake port, driven by the reader's thread: a dropped link is
// one port error, one 1005 line, a disconnect and then a reconnect.
class ReaderOverSimulatedPort : public ReaderFixture {
 protected:
  void SetUp() override {
    UseRealTime();
    UseSeriesNumberFormat();
  }
};

TEST_F(ReaderOverSimulatedPort, KeysDropAndReconnect) {
  SimIdentity identity;
  identity.ModelName = "KD-6 C";
  identity.HwCode = 0x302;
  auto* port = new CSimFakePort(identity);
  port->Model.FieldKey = "Em-Marine[0A1B] 123,45678";
  factory.Add(port);
  factory.Add(port);  // the reconnect makes its port afresh
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(1000, 200, INFINITE, 1000, 2);
  reader.Start();

  ASSERT_TRUE(events.WaitFor("connect", 1, 5000));
  EXPECT_EQ(UINT(RM_KD6_C), reader.Model);
  EXPECT_TRUE(reader.StatusFlags & RSF_TEMIC);
  EXPECT_EQ((std::vector<std::string>{"i\r", "r\n"}), port->Writes());
  {
    CCriticalSectionLock lock(&reader.Lock);
    ASSERT_EQ(1u, reader.Keys.size());
    EXPECT_EQ(L"123,45678", reader.Keys[0].Text);
  }
  // Temic reading is off, so "No card" is not deferred.
  port->Arrive("No card\r\n");
  ASSERT_TRUE(events.WaitFor("lost", 1, 5000));
  EXPECT_EQ(L"123,45678", events.Events().back().Text);

  port->Drop(VOMBRA_E_PORT_DISCONNECTED);
  ASSERT_TRUE(events.WaitFor("connect", 2, 5000));
  reader.Stop();
  EXPECT_EQ((std::vector<std::string>{"connect", "lost", "disconnect", "error", "connect", "disconnect"}),
            events.Kinds());
  EXPECT_EQ(VOMBRA_E_PORT_DISCONNECTED, events.Events()[3].Code);
  size_t portErrors = 0;
  for (const auto& line : context.LogLines()) portErrors += line.Number == 5;
  EXPECT_EQ(1u, portErrors);
  EXPECT_EQ(0, events.CallsUnderLock());
}

}  // namespace
