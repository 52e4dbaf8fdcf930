// Readers behind a converter through the add-in's methods: two addresses opened on one loopback
// converter, each connected and reporting its keys to the host from its own device ID.
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "AddinModule.h"
#include "MethodCallFixture.h"
#include "Reader.h"
#include "sim/ConverterSim.h"

namespace {

class ConverterMethodsTest : public MethodCallTest {
 protected:
  void SetUp() override {
    MethodCallTest::SetUp();
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // Series and number of an Em-Marine key: "%.3u,%.5u" over bytes 2 and 0-1.
    _FORMAT_INFO format;
    format.Id = 1;
    format.Name = L"SeriesNumber";
    format.Template = L"%.3u,%.5u";
    format.Params = L"b2 w01";
    format.KeyFilters = 1;
    addin.Formats.push_back(format);
    addin.DefaultFormatId = 1;
    addin.LiveParams.ConnectPeriod = 500;
    addin.LiveParams.RequestTimeout = 2000;
    // The simulated converter is a raw TCP link.
    addin.LiveParams.Flags &= ~RDF_NVT;
    addin.ExternalEventFlags = 0x7;
  }
  void TearDown() override {
    addin.StopReaders();
    MethodCallTest::TearDown();
    WSACleanup();
  }

  std::wstring Open(const std::wstring& port) {
    addin.LiveParams.Port = port;
    MethodCall call = Call(L"Open", {Empty()});
    EXPECT_TRUE(call.Answer);
    EXPECT_TRUE(call.BoolResult()) << "Open " << std::string(port.begin(), port.end());
    return call.Params[0].vt == VTYPE_PWSTR ? TakeText(call.Params[0]) : std::wstring();
  }
  bool WaitEvents(const std::wstring& name, size_t count, DWORD timeout) {
    const DWORD start = GetTickCount();
    do {
      size_t n = 0;
      for (const auto& event : host.Events()) n += event.Message == name;
      if (n >= count) return true;
      Sleep(20);
    } while (GetTickCount() - start < timeout);
    return false;
  }
  // Source and data of every event with that name.
  std::multimap<std::wstring, std::wstring> Events(const std::wstring& name) {
    std::multimap<std::wstring, std::wstring> out;
    for (const auto& event : host.Events()) {
      if (event.Message == name) out.emplace(event.Source, event.Data);
    }
    return out;
  }

  ScopedThreadLanguage english{kEnglish};
};

SimIdentity Identity(unsigned serial, const char* version) {
  SimIdentity id;
  id.ModelName = "KD-6 A";
  id.HwCode = 0x301;
  id.Serial = serial;
  id.Version = version;
  return id;
}

TEST_F(ConverterMethodsTest, KeysOfTwoAddressesReachTheHostFromTheirOwnDeviceIds) {
  CConverterSim sim;
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CConverterModel& m) {
    m.Echo = true;
    m.Readers[3] = SimAddressReader{Identity(333, "1.4"), ""};
    m.Readers[5] = SimAddressReader{Identity(555, "409"), ""};
  });
  const std::wstring id3 = Open(sim.PortName() + L"\\3");
  const std::wstring id5 = Open(sim.PortName() + L"\\5");
  EXPECT_EQ(sim.PortName() + L"\\3", id3);
  EXPECT_EQ(sim.PortName() + L"\\5", id5);
  ASSERT_TRUE(WaitEvents(L"DeviceConnect", 2, 20000));
  EXPECT_EQ((std::multimap<std::wstring, std::wstring>{{id3, L""}, {id5, L""}}), Events(L"DeviceConnect"));
  EXPECT_EQ(3, Call(L"GetStatus", {Str(id3)}).IntResult());
  EXPECT_EQ(3, Call(L"GetStatus", {Str(id5)}).IntResult());

  sim.Change([](CConverterModel& m) {
    m.Readers[3].FieldKey = "Em-Marine[0000] 012,12345";
    m.Readers[5].FieldKey = "65539";  // 0x010003: series 1, number 3
  });
  ASSERT_TRUE(WaitEvents(L"TracksData", 2, 20000));
  EXPECT_EQ((std::multimap<std::wstring, std::wstring>{{id3, L"012,12345"}, {id5, L"001,00003"}}),
            Events(L"TracksData"));

  sim.Change([](CConverterModel& m) { m.Readers[3].FieldKey.clear(); });
  ASSERT_TRUE(WaitEvents(L"NoCard", 1, 20000));
  EXPECT_EQ((std::multimap<std::wstring, std::wstring>{{id3, L"012,12345"}}), Events(L"NoCard"));
  EXPECT_EQ(2u, Events(L"TracksData").size());

  MethodCall close = Call(L"Close", {Str(id3)});
  EXPECT_TRUE(close.BoolResult());
  EXPECT_EQ(0, Call(L"GetStatus", {Str(id3)}).IntResult());
  EXPECT_EQ(3, Call(L"GetStatus", {Str(id5)}).IntResult());
}

// An address whose identification failed waits, disconnected, for a reconnect request. Closed and
// opened again before its reader let it go (the reader's thread busy elsewhere; here the test holds
// the reader's lock, as that thread would), it is the same record: the Open must ask for its connect
// as an Open of a device ID already open does, or the address never comes back.
TEST_F(ConverterMethodsTest, AnAddressReopenedBeforeItsReaderLetItGoConnectsAgain) {
  addin.LiveParams.RequestTimeout = 300;
  CConverterSim sim;
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CConverterModel& m) { m.Readers[3] = SimAddressReader{Identity(333, "1.4"), ""}; });
  const std::wstring id3 = Open(sim.PortName() + L"\\3");
  const std::wstring id5 = Open(sim.PortName() + L"\\5");
  ASSERT_TRUE(WaitEvents(L"DeviceConnect", 1, 20000));
  // Address 5 asked for its identity, twice, and got no answer.
  const DWORD start = GetTickCount();
  auto asked5 = [&] {
    return sim.Inspect([](const CConverterModel& m) { return std::count(m.Requests.begin(), m.Requests.end(), "#00005 i"); });
  };
  while ((asked5() < 2 || Call(L"GetStatus", {Str(id5)}).IntResult() != RS_DISCONNECTED) &&
         GetTickCount() - start < 20000) {
    Sleep(20);
  }
  ASSERT_EQ(2, asked5());
  ASSERT_EQ(int(RS_DISCONNECTED), Call(L"GetStatus", {Str(id5)}).IntResult());

  sim.Change([](CConverterModel& m) { m.Readers[5] = SimAddressReader{Identity(555, "1.4"), ""}; });
  CReader* reader = addin.Readers.begin()->second.get();
  EnterCriticalSection(&reader->Lock);
  EXPECT_TRUE(Call(L"Close", {Str(id5)}).BoolResult());
  EXPECT_EQ(id5, Open(sim.PortName() + L"\\5"));
  LeaveCriticalSection(&reader->Lock);
  ASSERT_TRUE(WaitEvents(L"DeviceConnect", 2, 20000));
  EXPECT_EQ((std::multimap<std::wstring, std::wstring>{{id3, L""}, {id5, L""}}), Events(L"DeviceConnect"));
  EXPECT_EQ(int(RS_CONNECTED), Call(L"GetStatus", {Str(id5)}).IntResult());
}

}  // namespace
