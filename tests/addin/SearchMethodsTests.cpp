// FindNext and FindClose through the dispatcher: refusals, the outputs of a reader found (PC/SC
// readers through the winscard.dll double), time-outs that resume, the end that lasts until
// FindClose, settings fixed when the search starts, and a search that fails to start.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddinModule.h"
#include "Exceptions.h"
#include "FakeDevices.h"
#include "MethodCallFixture.h"
#include "PortEnum.h"
#include "SearchReaders.h"
#include "doubles/FakePort.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

constexpr HRESULT kSearchTimeout = HRESULT(0x80040230);
constexpr HRESULT kNoMoreReaders = HRESULT(0x80040231);

struct Found {
  std::wstring Port;
  int32_t Model = 0;
  int32_t Serial = 0;
  uint32_t Version = 0;
  std::wstring Info;
};

class SearchMethods : public MethodCallTest {
 protected:
  // FindNext with the five outputs and the time-out; *found is filled when it answered true.
  MethodCall FindNext(tVariant timeout, Found* found = nullptr) {
    MethodCall call = Call(L"FindNext", {Empty(), Empty(), Empty(), Empty(), Empty(), timeout});
    if (call.Answer && call.BoolResult()) {
      Found f;
      f.Port = TakeText(call.Params[0]);
      EXPECT_EQ(call.Params[1].vt, VTYPE_I4);
      f.Model = call.Params[1].lVal;
      EXPECT_EQ(call.Params[2].vt, VTYPE_I4);
      f.Serial = call.Params[2].lVal;
      EXPECT_EQ(call.Params[3].vt, VTYPE_UI4);
      f.Version = call.Params[3].ulVal;
      f.Info = TakeText(call.Params[4]);
      if (found) *found = f;
    }
    return call;
  }
  // FindNext that must answer false; the last error it left.
  HRESULT FindNextFails(tVariant timeout) {
    MethodCall call = FindNext(timeout);
    EXPECT_TRUE(call.Answer);
    EXPECT_FALSE(call.BoolResult());
    return addin.LastError;
  }
  bool FindClose() {
    MethodCall call = Call(L"FindClose", {});
    return call.Answer && call.BoolResult();
  }

  ScopedThreadLanguage english{kEnglish};
};

TEST_F(SearchMethods, RefusedCalls) {
  MethodCall fewer = Call(L"FindNext", {Empty(), Empty(), Empty(), Empty(), Empty()});
  EXPECT_FALSE(fewer.Answer);
  EXPECT_EQ(addin.LastError, kInvalidArg);

  tVariant params[6] = {};
  params[5] = I4(0);
  EXPECT_FALSE(addin.CallAsProc(addin.FindMethod(L"FindNext"), params, 6)) << "no place for the result";
  EXPECT_EQ(addin.LastError, kInvalidArg);
  EXPECT_FALSE(addin.CallAsProc(addin.FindMethod(L"FindClose"), nullptr, 0));
  EXPECT_EQ(addin.LastError, kInvalidArg);

  EXPECT_EQ(FindNextFails(Str(L"100")), kParamType) << "the time-out must be a number";
  EXPECT_EQ(addin.Search, nullptr) << "a refused call starts no search";
}

class PcscSearch : public SearchMethods {
 protected:
  void SetUp() override {
    SearchMethods::SetUp();
    ASSERT_TRUE(smartCards.Loaded()) << "the winscard.dll test double is not loaded";
    ASSERT_EQ(smartCards.Reset(), SCARD_S_SUCCESS);
    ASSERT_EQ(smartCards.PlugReader(L"Reader A 0"), SCARD_S_SUCCESS);
    ASSERT_EQ(smartCards.PlugReader(L"Reader B 0"), SCARD_S_SUCCESS);
    addin.SearchFlags = SF_CCID;
  }
  CWinscardDouble smartCards;
};

// "Auto" in Open: a search of its own, the first reader whose port is not open yet wins.
TEST_F(PcscSearch, OpenAutoTakesTheFirstReaderNotOpenYet) {
  auto open = [this](bool* ok) {
    addin.LiveParams.Port = L"Auto";
    MethodCall call = Call(L"Open", {Empty()});
    EXPECT_TRUE(call.Answer);
    *ok = call.BoolResult();
    return call.Params[0].vt == VTYPE_PWSTR ? TakeText(call.Params[0]) : std::wstring();
  };
  bool ok = false;
  EXPECT_EQ(open(&ok), L"Reader A 0");
  EXPECT_TRUE(ok);
  EXPECT_EQ(open(&ok), L"Reader B 0");
  EXPECT_TRUE(ok);
  open(&ok);
  EXPECT_FALSE(ok);
  std::wstring text;
  EXPECT_EQ(LastError(&text), HRESULT(0x80040232));
  EXPECT_EQ(text, L"Reader is not found.");
  EXPECT_EQ(addin.LiveParams.Port, L"Auto") << "the port found is not written back";
  EXPECT_EQ(addin.Search, nullptr) << "the application's FindNext sequence is left alone";
  EXPECT_EQ(addin.Readers.size(), 2u);
  addin.StopReaders();
}

TEST_F(PcscSearch, ReadersComeOutUntilTheEndWhichLastsUntilFindClose) {
  Found first, second;
  ASSERT_TRUE(FindNext(I4(-1), &first).BoolResult());
  EXPECT_EQ(first.Port, L"Reader A 0");
  EXPECT_EQ(first.Model, 12);
  EXPECT_EQ(first.Serial, -1);
  EXPECT_EQ(first.Version, 0u);
  EXPECT_EQ(first.Info, L"");
  ASSERT_TRUE(FindNext(I4(-1), &second).BoolResult());
  EXPECT_EQ(second.Port, L"Reader B 0");

  ASSERT_EQ(smartCards.PlugReader(L"Reader C 0"), SCARD_S_SUCCESS);  // too late for this search
  EXPECT_EQ(FindNextFails(I4(-1)), kNoMoreReaders);
  std::wstring text;
  EXPECT_EQ(LastError(&text), kNoMoreReaders);
  EXPECT_EQ(text, L"No more readers.");
  EXPECT_EQ(FindNextFails(I4(0)), kNoMoreReaders) << "the end is repeated until FindClose";

  EXPECT_TRUE(FindClose());
  EXPECT_EQ(addin.Search, nullptr);
  EXPECT_TRUE(FindClose()) << "twice in a row";
  std::vector<std::wstring> ports;
  Found next;
  while (FindNext(I4(-1), &next).BoolResult()) ports.push_back(next.Port);
  EXPECT_EQ(ports, (std::vector<std::wstring>{L"Reader A 0", L"Reader B 0", L"Reader C 0"}))
      << "a new search after FindClose";
}

TEST_F(SearchMethods, TimeoutZeroResumesAndSettingsAreFixedAtTheStart) {
  CFakeDevices devices;
  devices.AddSerialComm(L"\\Device\\Serial3", L"COM3");
  CFakePortFactory factory;
  ScopedPortFactory scopedFactory(&factory);
  auto* port = new CFakePort;  // silent
  factory.Add(port);
  addin.SearchFlags = SF_STD_COM;
  addin.LiveParams.RequestTimeout = 40;
  addin.LiveParams.RequestTries = 2;

  EXPECT_EQ(FindNextFails(I4(0)), kSearchTimeout);
  std::wstring text;
  EXPECT_EQ(LastError(&text), kSearchTimeout);
  EXPECT_EQ(text, L"Timeout readers search.");
  addin.LiveParams.RequestTries = 5;  // not for the running search

  HRESULT hr = kSearchTimeout;
  for (int i = 0; i < 400 && hr == kSearchTimeout; ++i) {
    Sleep(5);
    hr = FindNextFails(I4(0));
  }
  EXPECT_EQ(hr, kNoMoreReaders);
  EXPECT_EQ(factory.Names(), std::vector<std::wstring>{L"COM3"});
  EXPECT_EQ(port->Writes().size(), 4u) << "two tries at each of the two speeds";
  EXPECT_TRUE(FindClose());
}

TEST_F(SearchMethods, CandidatesAreSortedAndLeaveOutOpenPorts) {
  CFakeDevices devices;
  devices.AddSerialComm(L"\\Device\\Serial1", L"COM5");
  devices.AddSerialComm(L"\\Device\\Serial2", L"COM3");
  devices.AddSerialComm(L"\\Device\\Serial3", L"COM4");
  addin.SearchFlags = SF_STD_COM;
  addin.Readers[L"COM4"].reset(new CReader);  // open, though never started

  std::vector<_SEARCHPORT_INFO> ports;
  addin.ListSearchPorts(ports);
  std::vector<std::wstring> names;
  for (const _SEARCHPORT_INFO& port : ports) names.push_back(port.Name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"COM3", L"COM5"}));
  addin.Readers.clear();
}

// A local-address lookup that fails, as a host-name lookup can.
class FailingTarget : public IUdpSearchTarget {
 public:
  void GetLocalAddresses(std::vector<ULONG>&) override {
    ++Calls;
    ThrowOSException(WSAHOST_NOT_FOUND);
  }
  sockaddr_in GetDestination() override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(9);
    return to;
  }
  int Calls = 0;
};

TEST_F(SearchMethods, SearchThatFailsToStartIsStartedAgainByTheNextCall) {
  FailingTarget target;
  IUdpSearchTarget* previous = g_pUdpSearchTarget;
  g_pUdpSearchTarget = &target;
  addin.SearchFlags = SF_IP;

  EXPECT_EQ(FindNextFails(I4(0)), E_FAIL);
  EXPECT_EQ(addin.Search, nullptr);
  EXPECT_EQ(FindNextFails(I4(0)), E_FAIL) << "not \"No more readers.\" from a search that never ran";
  EXPECT_EQ(target.Calls, 2);
  g_pUdpSearchTarget = previous;
}

}  // namespace
