// Opening and closing readers through the methods, as the application calls
// them: the road of a key from the loopback text-reader simulator to the host's
// event, the device IDs of Open/Close sequences with converter addresses and
// the busy rule, and the per-reader methods.
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "AddinModule.h"
#include "Core.h"
#include "Messages.h"
#include "MethodCallFixture.h"
#include "Reader.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr HRESULT kPortName = HRESULT(0x80040210);
constexpr HRESULT kPortBusy = HRESULT(0x80040212);
constexpr HRESULT kReaderNotFound = HRESULT(0x80040232);
constexpr HRESULT kNotOpened = HRESULT(0x80040233);

// The threads of this process; a reader's thread shows up here while it runs.
int ProcessThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more;
       more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return n;
}

class ReaderMethodsTest : public MethodCallTest {
protected:
  void SetUp() override {
    MethodCallTest::SetUp();
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // The built-in format: series and number of an Em-Marine key, "%.3u,%.5u"
    // over bytes 2 and 0-1.
    _FORMAT_INFO format;
    format.Id = 1;
    format.Name = L"SentrelSaaS";
    format.Template = L"%.3u,%.5u";
    format.Params = L"b2 w01";
    format.KeyFilters = 1;
    addin.Formats.push_back(format);
    addin.DefaultFormatId = 1;
    addin.LiveParams.ConnectPeriod = 500;
    addin.LiveParams.RequestTimeout = 1000;
  }
  void TearDown() override {
    addin.StopReaders();
    MethodCallTest::TearDown();
    WSACleanup();
  }

  // Open with the port text as the live Port; the device ID, or "" when the
  // result is false.
  std::wstring Open(const std::wstring &port, bool *ok = nullptr) {
    addin.LiveParams.Port = port;
    MethodCall call = Call(L"Open", {Empty()});
    EXPECT_TRUE(call.Answer);
    if (ok)
      *ok = call.BoolResult();
    if (call.Params[0].vt == VTYPE_PWSTR)
      return TakeText(call.Params[0]);
    return std::wstring();
  }
  bool Close(const std::wstring &id) {
    MethodCall call = Call(L"Close", {Str(id)});
    EXPECT_TRUE(call.Answer);
    return call.BoolResult();
  }

  // Waits until the host holds count events with that name; false on timeout.
  bool WaitEvents(const std::wstring &name, size_t count, DWORD timeout) {
    const DWORD start = GetTickCount();
    do {
      size_t n = 0;
      for (const auto &event : host.Events())
        n += event.Message == name;
      if (n >= count)
        return true;
      Sleep(20);
    } while (GetTickCount() - start < timeout);
    return false;
  }
  size_t EventCount(const std::wstring &name) {
    size_t n = 0;
    for (const auto &event : host.Events())
      n += event.Message == name;
    return n;
  }

  ScopedThreadLanguage english{kEnglish};
};

// --- The road of a key, end to end.

TEST_F(ReaderMethodsTest, KeyTravelsFromTheSimulatorToTheHostAndCloseEndsIt) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  addin.ExternalEventFlags = 0x7;
  bool ok = false;
  const std::wstring id = Open(sim.PortName(), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(sim.PortName(), id);
  ASSERT_TRUE(WaitEvents(L"DeviceConnect", 1, 10000));

  MethodCall status = Call(L"GetStatus", {Str(id)});
  EXPECT_EQ(3, status.IntResult()) << "connected";

  sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(WaitEvents(L"TracksData", 1, 5000));
  sim.SendLine("No card");
  ASSERT_TRUE(WaitEvents(L"NoCard", 1, 5000));
  Sleep(200);
  auto events = host.Events();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(L"TracksData", events[1].Message);
  EXPECT_EQ(id, events[1].Source);
  EXPECT_EQ(L"012,12345", events[1].Data);
  EXPECT_EQ(L"NoCard", events[2].Message);
  EXPECT_EQ(L"012,12345", events[2].Data);

  const int threadsOpen = ProcessThreads();
  EXPECT_TRUE(Close(id));
  const size_t afterClose = host.Events().size();
  EXPECT_EQ(threadsOpen - 1, ProcessThreads()) << "the reader's thread is gone";
  EXPECT_TRUE(addin.Readers.empty());
  sim.SendLine("Em-Marine[0000] 012,54321");
  Sleep(300);
  EXPECT_EQ(afterClose, host.Events().size()) << "nothing after Close";
  EXPECT_EQ(0, Call(L"GetStatus", {Str(id)}).IntResult());
}

TEST_F(ReaderMethodsTest, RussianLocaleGivesRussianEventNames) {
  CTextReaderSim sim(SimIdentity(), true);
  const LCID saved = g_lcid;
  {
    ScopedThreadLanguage russian{kRussian};
    addin.SetLocale(nullptr);
  }
  addin.ExternalEventFlags = 0x1;
  bool ok = false;
  Open(sim.PortName(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(WaitEvents(L"УстройствоПодключено", 1, 10000));
  sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(WaitEvents(L"ДанныеКарты", 1, 5000));
  EXPECT_EQ(L"012,12345", host.Events().back().Data);
  addin.StopReaders();
  g_lcid = saved;
}

TEST_F(ReaderMethodsTest, FormatErrorRaisesDriverErrorAndNoNumber) {
  CTextReaderSim sim(SimIdentity(), true);
  addin.Formats[0].Params = L"q"; // no such parameter letter
  bool ok = false;
  const std::wstring id = Open(sim.PortName(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(sim.WaitConnections(1, 10000));
  // The key arrives once the reader has connected; the connect itself raises
  // nothing here.
  for (int i = 0; i < 100 && Call(L"GetStatus", {Str(id)}).IntResult() != 3;
       ++i)
    Sleep(50);
  sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(WaitEvents(L"DriverError", 1, 5000));
  Sleep(300);
  EXPECT_EQ(0u, EventCount(L"TracksData"));
  EXPECT_EQ(sim.PortName(), host.Events().back().Source);
}

// --- Open and Close sequences.

enum class Op { Open, Close };

struct Step {
  Op Kind;
  const wchar_t *Text; // the port text for Open, the device ID for Close
  bool Ok;
  const wchar_t *Id; // Open's device ID when Ok
  HRESULT Error;     // the last error when not Ok
};

struct SequenceCase {
  const char *Name;
  std::vector<Step> Steps;
  size_t Readers; // open readers at the end
};

void PrintTo(const SequenceCase &c, std::ostream *out) { *out << c.Name; }

// Ports nobody listens on: the readers keep trying to connect, which is no
// error of Open.
#define P1 L"127.0.0.1:1"
#define P2 L"127.0.0.1:2"

class OpenCloseTest : public ReaderMethodsTest,
                      public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(OpenCloseTest, GivesDeviceIdsAndErrors) {
  const SequenceCase &c = GetParam();
  addin.Ports[P2] = _PORT_INFO{P2, L"Turnstile"};
  addin.SearchFlags = 0;  // "Auto" searches nothing: no serial candidates, converters or PC/SC readers
  int n = 0;
  for (const Step &step : c.Steps) {
    SCOPED_TRACE(::testing::Message() << "step " << ++n);
    addin.SetError(S_OK, nullptr);
    if (step.Kind == Op::Open) {
      bool ok = false;
      std::wstring id = Open(step.Text, &ok);
      EXPECT_EQ(step.Ok, ok);
      if (step.Ok) {
        EXPECT_EQ(step.Id, id);
      }
    } else {
      EXPECT_EQ(step.Ok, Close(step.Text));
    }
    if (!step.Ok) {
      EXPECT_EQ(step.Error, LastError());
    }
  }
  EXPECT_EQ(c.Readers, addin.Readers.size());
  for (const auto &reader : addin.Readers)
    EXPECT_TRUE(reader.second->IsStarted()) << "each open reader runs";
  for (const auto &entry : addin.DeviceIds) {
    bool held = false;
    for (const auto &reader : addin.Readers)
      held = held || reader.second.get() == entry.second.Reader;
    EXPECT_TRUE(held) << "every device ID leads to an open reader";
  }
}

const SequenceCase kSequences[] = {
    {"SamePortTwiceOneReader",
     {{Op::Open, P1, true, P1, 0}, {Op::Open, P1, true, P1, 0}},
     1},
    {"TwoPorts",
     {{Op::Open, P1, true, P1, 0},
      {Op::Open, L"127.0.0.1:3", true, L"127.0.0.1:3", 0}},
     2},
    {"CloseEndsTheReader",
     {{Op::Open, P1, true, P1, 0}, {Op::Close, P1, true, nullptr, 0}},
     0},
    {"ConverterAddressesShareOneReader",
     {{Op::Open, P1 L"\\1", true, P1 L"\\1", 0},
      {Op::Open, P1 L"\\2", true, P1 L"\\2", 0}},
     1},
    {"FirstAddressClosedReaderStays",
     {{Op::Open, P1 L"\\1", true, P1 L"\\1", 0},
      {Op::Open, P1 L"\\2", true, P1 L"\\2", 0},
      {Op::Close, P1 L"\\1", true, nullptr, 0}},
     1},
    {"LastAddressClosedReaderGoes",
     {{Op::Open, P1 L"\\1", true, P1 L"\\1", 0},
      {Op::Open, P1 L"\\2", true, P1 L"\\2", 0},
      {Op::Close, P1 L"\\1", true, nullptr, 0},
      {Op::Close, P1 L"\\2", true, nullptr, 0}},
     0},
    {"AddressOnAPlainPortIsBusy",
     {{Op::Open, P1, true, P1, 0},
      {Op::Open, P1 L"\\1", false, nullptr, kPortBusy}},
     1},
    {"PlainOnAConverterPortIsBusy",
     {{Op::Open, P1 L"\\1", true, P1 L"\\1", 0},
      {Op::Open, P1, false, nullptr, kPortBusy}},
     1},
    {"LargeAddressIsValid",
     {{Op::Open, P1 L"\\123456", true, P1 L"\\123456", 0}},
     1},
    {"NonNumericTailMeansNoAddress",
     {{Op::Open, P1 L"\\x", true, P1 L"\\x", 0},
      {Op::Open, P1 L"\\1", false, nullptr, kPortBusy}},
     1},
    {"NegativeAddressRefused",
     {{Op::Open, P1 L"\\-2", false, nullptr, kPortName}},
     0},
    {"EmptyPortRefused", {{Op::Open, L"", false, nullptr, kPortName}}, 0},
    // Two texts of one port: each ID is registered, and the reader stays while
    // one of them is open.
    {"TwoTextsOfOnePortCloseOne",
     {{Op::Open, P1, true, P1, 0},
      {Op::Open, P1 L"\\", true, P1 L"\\", 0},
      {Op::Close, P1, true, nullptr, 0}},
     1},
    {"TwoTextsOfOnePortCloseBoth",
     {{Op::Open, P1 L"\\", true, P1 L"\\", 0},
      {Op::Open, P1 L"\\x", true, P1 L"\\x", 0},
      {Op::Close, P1 L"\\x", true, nullptr, 0},
      {Op::Close, P1 L"\\", true, nullptr, 0}},
     0},
    {"MappedPortAnswersItsDeviceId",
     {{Op::Open, P2, true, L"Turnstile", 0},
      {Op::Close, P2, false, nullptr, kNotOpened},
      {Op::Close, L"Turnstile", true, nullptr, 0}},
     0},
    {"CloseUnknown", {{Op::Close, L"COM77", false, nullptr, kNotOpened}}, 0},
    {"CloseTwice",
     {{Op::Open, P1, true, P1, 0},
      {Op::Close, P1, true, nullptr, 0},
      {Op::Close, P1, false, nullptr, kNotOpened}},
     0},
    // "Auto" in any case runs the search; with nothing to search it finds no reader.
    {"AutoAnyCase",
     {{Op::Open, L"auto", false, nullptr, kReaderNotFound},
      {Op::Open, L"AUTO", false, nullptr, kReaderNotFound},
      {Op::Open, L"АВТО", false, nullptr, kReaderNotFound},
      {Op::Open, L"авто", false, nullptr, kReaderNotFound}},
     0},
};

INSTANTIATE_TEST_SUITE_P(
    Sequences, OpenCloseTest, ::testing::ValuesIn(kSequences),
    [](const ::testing::TestParamInfo<SequenceCase> &info) {
      return info.param.Name;
    });

// --- Refusals and unknown device IDs of the per-reader methods.

TEST_F(ReaderMethodsTest, UnknownDeviceIdAndRefusals) {
  addin.SetError(S_OK, nullptr);
  MethodCall status = Call(L"GetStatus", {Str(L"COM9")});
  EXPECT_EQ(0, status.IntResult());
  EXPECT_EQ(S_OK, addin.LastError) << "an unknown ID is no error of GetStatus";

  struct Case {
    const wchar_t *Method;
    std::vector<tVariant> Params;
    bool Answer;
    HRESULT Error;
  };
  const std::vector<Case> cases = {
      {L"Reconnect", {Str(L"COM9")}, true, kNotOpened},
      {L"UpdateReaderParameters", {Str(L"COM9"), I4(1)}, true, kNotOpened},
      {L"GetReaderInfo",
       {Str(L"COM9"), Empty(), Empty(), Empty(), Empty()},
       true,
       kNotOpened},
      {L"Reconnect", {I4(3)}, true, kParamType},
      {L"UpdateReaderParameters",
       {Str(L"COM9"), Str(L"yes")},
       true,
       kParamType},
      {L"GetReaderInfo",
       {I4(1), Empty(), Empty(), Empty(), Empty()},
       true,
       kParamType},
      {L"Close", {I4(1)}, false, kInvalidArg},
      {L"GetStatus", {I4(1)}, false, kInvalidArg},
      {L"UpdateReaderParameters", {Str(L"COM9")}, false, kInvalidArg},
      {L"GetReaderInfo", {Str(L"COM9"), Empty()}, false, kInvalidArg},
      {L"DeviceTest", {Empty()}, false, kInvalidArg},
      {L"Open", {}, false, kInvalidArg},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::string(c.Method, c.Method + wcslen(c.Method)));
    MethodCall call = Call(c.Method, c.Params);
    EXPECT_EQ(c.Answer, call.Answer);
    if (c.Answer) {
      EXPECT_FALSE(call.BoolResult());
    }
    EXPECT_EQ(c.Error, addin.LastError);
  }
}

// Apply false copies the reader's own settings back into the live parameters;
// Apply true hands the live ones to the reader. Port, Prefix and Suffix stay.
TEST_F(ReaderMethodsTest, UpdateReaderParametersBothWays) {
  addin.LiveParams.ConnectTimeout = 4000;
  addin.LiveParams.FormatId = 7;
  addin.LiveParams.Suffix = 10;
  bool ok = false;
  const std::wstring id = Open(P1, &ok);
  ASSERT_TRUE(ok);
  CReader *reader = addin.DeviceIds.at(id).Reader;
  EXPECT_EQ(4000u, reader->ConnectTimeout);
  EXPECT_EQ(7u, reader->FormatId);

  addin.LiveParams.ConnectTimeout = 6000;
  addin.LiveParams.FormatId = 9;
  addin.LiveParams.Port = L"COM1";
  EXPECT_TRUE(Call(L"UpdateReaderParameters", {Str(id), Typed(VTYPE_BOOL, 0)})
                  .BoolResult());
  EXPECT_EQ(4000u, addin.LiveParams.ConnectTimeout);
  EXPECT_EQ(7u, addin.LiveParams.FormatId);
  EXPECT_EQ(L"COM1", addin.LiveParams.Port);
  EXPECT_EQ(10u, addin.LiveParams.Suffix);

  addin.LiveParams.ConnectTimeout = 6000;
  addin.LiveParams.FormatId = 9;
  EXPECT_TRUE(Call(L"UpdateReaderParameters", {Str(id), Typed(VTYPE_BOOL, 1)})
                  .BoolResult());
  EXPECT_EQ(6000u, reader->ConnectTimeout);
  EXPECT_EQ(9u, reader->FormatId);
}

// Before identification a reader answers the values it was built with; a
// converter address without a record answers as a fresh record.
TEST_F(ReaderMethodsTest, GetReaderInfoBeforeIdentification) {
  for (const wchar_t *port : {P1, P2 L"\\4"}) {
    bool ok = false;
    const std::wstring id = Open(port, &ok);
    ASSERT_TRUE(ok);
    MethodCall call =
        Call(L"GetReaderInfo", {Str(id), Empty(), Empty(), Empty(), Empty()});
    ASSERT_TRUE(call.BoolResult());
    EXPECT_EQ(0, call.Params[1].lVal);
    EXPECT_EQ(-1, call.Params[2].lVal);
    EXPECT_EQ(VTYPE_UI4, call.Params[3].vt);
    EXPECT_EQ(0u, call.Params[3].ulVal);
    EXPECT_EQ(L"", TakeText(call.Params[4]));
  }
}

// The device test identifies the simulated reader; on an open port it tests the
// open reader rather than opening the port a second time, and leaves it
// running.
TEST_F(ReaderMethodsTest, DeviceTestIdentifiesAndKeepsAnOpenReader) {
  SimIdentity identity;
  CTextReaderSim sim(identity, true);
  addin.LiveParams.Port = sim.PortName();
  MethodCall test = Call(L"DeviceTest", {Empty(), Empty()});
  ASSERT_TRUE(test.Answer);
  EXPECT_TRUE(test.BoolResult());
  EXPECT_FALSE(TakeText(test.Params[0]).empty());
  EXPECT_EQ(L"", TakeText(test.Params[1]));
  EXPECT_TRUE(addin.Readers.empty()) << "the test registers nothing";

  bool ok = false;
  const std::wstring id = Open(sim.PortName(), &ok);
  ASSERT_TRUE(ok);
  const int connections = sim.Connections();
  MethodCall again = Call(L"DeviceTest", {Empty(), Empty()});
  EXPECT_TRUE(again.BoolResult());
  TakeText(again.Params[0]);
  TakeText(again.Params[1]);
  EXPECT_EQ(1u, addin.Readers.size());
  EXPECT_TRUE(addin.Readers.begin()->second->IsStarted())
      << "the open reader runs again";
  EXPECT_GE(sim.Connections(), connections);
}

TEST_F(ReaderMethodsTest, DeviceTestFailureReportsTheReadersError) {
  addin.LiveParams.Port = P1;
  addin.LiveParams.ConnectTimeout = 1000;
  MethodCall test = Call(L"DeviceTest", {Empty(), Empty()});
  ASSERT_TRUE(test.Answer);
  EXPECT_FALSE(test.BoolResult());
  EXPECT_EQ(L"", TakeText(test.Params[0]));
  EXPECT_EQ(L"", TakeText(test.Params[1]));
  EXPECT_TRUE(FAILED(addin.LastError));
  EXPECT_FALSE(addin.LastErrorText.empty());
  EXPECT_TRUE(addin.Readers.empty()) << "the test registers nothing";
}

// Done stops every reader, however many are open.
TEST_F(ReaderMethodsTest, StopReadersEndsEveryThread) {
  for (int i = 0; i < 70; ++i) {
    bool ok = false;
    Open(L"127.0.0.1:" + std::to_wstring(100 + i), &ok);
    ASSERT_TRUE(ok);
  }
  const int threadsOpen = ProcessThreads();
  addin.Done();
  EXPECT_TRUE(addin.Readers.empty());
  EXPECT_TRUE(addin.DeviceIds.empty());
  EXPECT_EQ(threadsOpen - 70, ProcessThreads())
      << "every reader's thread has ended";
}

} // namespace
