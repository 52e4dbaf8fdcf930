// The host's calls that end readers (Close, Done, the host's destroy) against a reader whose thread
// is caught in a device call: each returns within its bound, nothing of that thread reaches the host
// afterwards, and the add-in object stays until the thread has ended.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "AddinModule.h"
#include "MethodCallFixture.h"
#include "Reader.h"
#include "VombraContext.h"
#include "doubles/StuckPort.h"

namespace {

constexpr DWORD kSlack = 400;
// The most a host call that ends readers may take.
constexpr DWORD kBound = kReaderStopWait + kEventsShutWait + kSlack;

template <class Condition>
bool Eventually(Condition condition, DWORD limit = 5000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start >= limit) return false;
    Sleep(10);
  }
  return true;
}

class ReaderCloseBoundTest : public MethodCallTest {
 protected:
  void SetUp() override {
    MethodCallTest::SetUp();
    addin.LiveParams.ConnectPeriod = 100;
    addin.LiveParams.RequestTimeout = 1000;
  }
  void TearDown() override {
    port->LetGo();
    EXPECT_TRUE(Eventually([&] { return addin.Holds == 1; })) << "the thread let go of the add-in";
    addin.StopReaders();
    MethodCallTest::TearDown();
  }

  std::wstring OpenStuck() {
    addin.LiveParams.Port = L"COM5";
    MethodCall call = Call(L"Open", {Empty()});
    EXPECT_TRUE(call.BoolResult());
    std::wstring id = call.Params[0].vt == VTYPE_PWSTR ? TakeText(call.Params[0]) : std::wstring();
    EXPECT_TRUE(port->WaitEntered());
    return id;
  }

  ScopedThreadLanguage english{kEnglish};
  CStuckPort* port = new CStuckPort;
  CKdPortPtr hold{port};
  COnePortFactory factory{port};
  ScopedPortFactory scopedFactory{&factory};
};

TEST_F(ReaderCloseBoundTest, CloseAndDoneReturnWithinTheirBound) {
  for (bool done : {false, true}) {
    SCOPED_TRACE(done ? "Done" : "Close");
    port->Arm();
    const std::wstring id = OpenStuck();
    const size_t events = host.Events().size();
    const DWORD start = GetTickCount();
    if (done) {
      addin.Done();
    } else {
      MethodCall call = Call(L"Close", {Str(id)});
      EXPECT_TRUE(call.BoolResult());
    }
    EXPECT_LT(GetTickCount() - start, kBound);
    EXPECT_TRUE(addin.Readers.empty());
    EXPECT_EQ(addin.Holds, 2) << "the caught thread holds the add-in";
    port->LetGo();
    EXPECT_TRUE(Eventually([&] { return addin.Holds == 1; }));
    EXPECT_EQ(host.Events().size(), events) << "nothing of the thread reaches the host after it let go";
    port->Stuck = false;
  }
}

TEST_F(ReaderCloseBoundTest, DeviceTestOfAStuckOpenReaderReportsABusyPortInTime) {
  OpenStuck();
  addin.LiveParams.ConnectTimeout = 1000;
  const DWORD start = GetTickCount();
  MethodCall test = Call(L"DeviceTest", {Empty(), Empty()});
  EXPECT_LT(GetTickCount() - start, kBound);
  EXPECT_FALSE(test.BoolResult());
  TakeText(test.Params[0]);
  TakeText(test.Params[1]);
  EXPECT_EQ(LastError(), VOMBRA_E_PORT_BUSY);
  EXPECT_EQ(addin.Readers.size(), 1u) << "the open reader stays";
}

// The host destroys the object (DestroyObject's slot 0) while a reader's thread is caught: the call
// returns in time, and the object goes only when that thread has ended.
TEST(ReaderDestroyBound, TheObjectOutlivesTheCaughtThread) {
  ScopedThreadLanguage english{kEnglish};
  CStuckPort* port = new CStuckPort;
  CKdPortPtr hold(port);
  COnePortFactory factory(port);
  ScopedPortFactory scopedFactory(&factory);
  CFakeHost host;
  auto* addin = new CVombra(L"VombraExtension");
  ASSERT_TRUE(addin->setMemManager(host.Memory()));
  addin->Host = static_cast<IAddInDefBase*>(&host);
  addin->LiveParams.Port = L"COM5";
  tVariant result{};
  tVariant params[1] = {};
  ASSERT_TRUE(addin->Open(&result, params, 1));
  ASSERT_TRUE(result.bVal);
  host.FreeVariant(params[0]);
  ASSERT_TRUE(port->WaitEntered());

  const DWORD start = GetTickCount();
  static_cast<IInitDoneBase*>(addin)->ScalarDeletingDestructor(1);
  EXPECT_LT(GetTickCount() - start, kBound);
  EXPECT_EQ(g_pVombra, static_cast<IVombraContext*>(addin)) << "the object is still there for the thread";
  port->LetGo();
  EXPECT_TRUE(Eventually([] { return g_pVombra == nullptr; })) << "the object goes with the thread";
}

}  // namespace
