// Two host threads on one add-in object: one opens and closes readers over and over while the other
// keeps calling the methods that find a reader by its device ID and use it (key info, continued
// scanning, breaking and reading a command, posting one with and without a wait). A reader closed
// under a method that found it, or a device table changed under a lookup, shows as a crash, a heap
// fault or a call that never returns; the host's memory must balance afterwards.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CommandFixture.h"
#include "FakeHost.h"
#include "Reader.h"
#include "Vombra.h"
#include "doubles/FakePort.h"

namespace {

// Every reader gets a port of its own that opens and never answers.
class CIdlePortFactory : public IKdPortFactory {
 public:
  IKdPort* CreatePort(const wchar_t*, bool) override { return new CFakePort; }
};

// Arguments owned by the calling thread.
class Args {
 public:
  tVariant Text(const std::wstring& text) {
    m_texts.push_back(text);
    tVariant value{};
    value.pwstrVal = &m_texts.back()[0];
    value.wstrLen = uint32_t(text.size());
    value.vt = VTYPE_PWSTR;
    return value;
  }
  static tVariant Number(int32_t number) {
    tVariant value{};
    value.lVal = number;
    value.vt = VTYPE_I4;
    return value;
  }
  static tVariant Nothing() { return tVariant{}; }

 private:
  std::vector<std::wstring> m_texts;
};

class ReaderLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
    // Init, which makes the event, is not run: it would read the registry.
    addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    addin.LiveParams.Port = L"COM7";
    addin.LiveParams.ConnectPeriod = 50;
    addin.LiveParams.RequestTimeout = 50;
  }
  void TearDown() override {
    addin.StopReaders();
    EXPECT_EQ(host.OutstandingBlocks(), 0u);
    EXPECT_EQ(host.StrayFrees(), 0u);
  }

  // Calls the method as a function and hands every block the add-in put into the values back to the
  // host; the result's truth.
  bool Call(const wchar_t* name, std::vector<tVariant> params) {
    const long method = addin.FindMethod(name);
    std::vector<tVariant> given = params;
    tVariant result{};
    const bool answer =
        addin.CallAsFunc(method, &result, params.empty() ? nullptr : params.data(), long(params.size()));
    for (size_t i = 0; i < params.size(); ++i) {
      if (params[i].pstrVal != given[i].pstrVal) host.FreeVariant(params[i]);
    }
    const bool truth = answer && result.vt == VTYPE_BOOL && result.bVal;
    host.FreeVariant(result);
    return truth;
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
  CIdlePortFactory factory;
  ScopedPortFactory scopedFactory{&factory};
};

TEST_F(ReaderLifetime, ReadersClosedUnderMethodsThatFoundThemAreNeverUsedAfterward) {
  const DWORD kRun = 3000;
  const std::wstring id = L"COM7";
  std::atomic<bool> stop{false};
  std::atomic<int> opened{0};
  std::atomic<int> foundOpen{0};
  std::atomic<long> calls{0};

  std::thread closer([&] {
    while (!stop) {
      Args args;
      if (Call(L"Open", {Args::Nothing()})) ++opened;
      Sleep(opened % 3);
      Call(L"Close", {args.Text(id)});
    }
  });

  std::thread user([&] {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kRun) {
      Args args;
      int found = 0;
      found += Call(L"GetKeyInfo", {args.Text(id), Args::Number(0), Args::Nothing(), Args::Nothing(),
                                    Args::Nothing(), Args::Nothing(), Args::Nothing(), Args::Nothing()});
      found += Call(L"ContinueScanning", {args.Text(id)});
      found += Call(L"BreakCommand", {args.Text(id)});
      found += Call(L"GetCommandResult", {args.Text(id), Args::Number(1), Args::Nothing(), Args::Nothing()});
      found += Call(L"Signal", {args.Text(id), Args::Nothing(), Args::Number(0)});
      // Posted and waited for: the wait lets the other thread's Close in.
      Call(L"ReadMifareUL", {args.Text(id), Args::Number(4), Args::Nothing(), Args::Number(1), Args::Number(5)});
      Call(L"GetCommandStatus", {args.Text(id), Args::Nothing(), Args::Nothing(), Args::Nothing(),
                                 Args::Nothing(), Args::Number(3)});
      if (found) ++foundOpen;
      calls += 7;
    }
    stop = true;
  });

  user.join();
  closer.join();
  EXPECT_GT(opened.load(), 10) << "readers opened";
  EXPECT_GT(foundOpen.load(), 10) << "rounds that found a reader open";
  EXPECT_GT(calls.load(), 100);
  addin.StopReaders();
  EXPECT_TRUE(addin.Readers.empty());
  EXPECT_TRUE(addin.DeviceIds.empty());
}

// A method held up inside the reader it found (the test holds the reader's lock, as its thread
// would): a Close from another host thread must wait until the method is done with the reader.
class ReaderInUse : public CommandTest {};

TEST_F(ReaderInUse, CloseWaitsForTheMethodThatFoundTheReader) {
  // The method and its arguments after the device ID.
  struct Case {
    const wchar_t* method;
    std::vector<tVariant> rest;
  };
  const Case cases[] = {
      {L"GetKeyInfo", {I4(0), Empty(), Empty(), Empty(), Empty(), Empty(), Empty()}},
      {L"ContinueScanning", {}},
      {L"BreakCommand", {}},
      {L"GetCommandResult", {UI4(1), Empty(), Empty()}},
      {L"Signal", {Empty(), I4(0)}},
  };
  // Close takes the reader only with its last device ID.
  addin.DeviceIds.erase(kConverterId);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method, c.method + wcslen(c.method)));
    if (!Reader) {
      std::unique_ptr<CReader> reader(new CReader);
      reader->Init(static_cast<IReaderEvents*>(&addin), L"COM9");
      Reader = reader.get();
      addin.Readers.emplace(L"COM9", std::move(reader));
      addin.DeviceIds.emplace(kId, _DEVICEID_INFO{-1, Reader});
    }
    std::vector<tVariant> params{Str(kId)};
    params.insert(params.end(), c.rest.begin(), c.rest.end());
    tVariant closeId = Str(kId);
    MethodCall used;
    bool closed = false;
    std::atomic<bool> closeReturned{false};
    EnterCriticalSection(&Reader->Lock);
    std::thread user([&] {
      used.Params = params;
      used.Answer = addin.CallAsFunc(addin.FindMethod(c.method), &used.Result, used.Params.data(),
                                     long(used.Params.size()));
    });
    // The user thread is inside its call once it holds the call lock.
    const DWORD start = GetTickCount();
    while (addin.CallOwner == 0 && GetTickCount() - start < 1000) Sleep(1);
    std::thread closer([&] {
      tVariant result{};
      closed = addin.CallAsFunc(addin.FindMethod(L"Close"), &result, &closeId, 1) && result.bVal;
      closeReturned = true;
    });
    Sleep(200);
    EXPECT_FALSE(closeReturned.load()) << "Close went ahead under a method using the reader";
    EXPECT_EQ(addin.DeviceIds.count(kId), 1u) << "the reader was closed under the method";
    LeaveCriticalSection(&Reader->Lock);
    user.join();
    closer.join();
    EXPECT_TRUE(used.Answer);
    EXPECT_EQ(used.Result.vt, VTYPE_BOOL);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(addin.DeviceIds.empty());
    for (tVariant& value : used.Params) {
      if (value.vt == VTYPE_PWSTR && value.pwstrVal != params[0].pwstrVal) host.FreeVariant(value);
      if (value.vt == VTYPE_BLOB) host.FreeVariant(value);
    }
    host.FreeVariant(used.Result);
    Reader = nullptr;
  }
}

}  // namespace
