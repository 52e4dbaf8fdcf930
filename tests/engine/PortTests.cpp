// What both ports share: reference counting and QueryInterface, line settings on a closed port, the
// exception a reader throws for a failed port call, the error mapping, and the factory that picks
// the port for a name.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "AddinModule.h"
#include "ComPort.h"
#include "FakeContext.h"
#include "Messages.h"
#include "Port.h"
#include "PortFactory.h"
#include "TcpPort.h"
#include "doubles/FakePort.h"

namespace {

// Counts its own destruction, to see when the last reference goes.
class CountedPort : public CKdComPort {
 public:
  explicit CountedPort(int* destroyed) : m_destroyed(destroyed) {}
  ~CountedPort() override { ++*m_destroyed; }

 private:
  int* m_destroyed;
};

TEST(PortReferences, LastReleaseDestroysThePort) {
  int destroyed = 0;
  IKdPort* port = new CountedPort(&destroyed);
  EXPECT_EQ(port->AddRef(), 1u);
  EXPECT_EQ(port->AddRef(), 2u);
  EXPECT_EQ(port->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(port->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(PortReferences, QueryInterfaceAnswersOnlyIUnknown) {
  int destroyed = 0;
  CKdPortPtr port(new CountedPort(&destroyed));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(port->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(port->AddRef(), 2u) << "a refused QueryInterface changed the count";
  port->Release();
  ASSERT_EQ(port->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(port.Get()));
  EXPECT_EQ(port->Release(), 1u) << "QueryInterface must add one reference";
  port.Reset();
  EXPECT_EQ(destroyed, 1);
}

struct ClosedPortCase {
  const char* name;
  IKdPort* (*make)();
};

void PrintTo(const ClosedPortCase& c, std::ostream* os) { *os << c.name; }

class ClosedPort : public ::testing::TestWithParam<ClosedPortCase> {
 protected:
  CFakeContext context;
  ScopedContext installed{&context};
};

TEST_P(ClosedPort, SettingsAreOnlyStoredAndCallsAreHarmless) {
  CKdPortPtr port(GetParam().make());
  port->SetParams(L"127.0.0.1:1", nullptr, nullptr, nullptr, nullptr);
  EXPECT_STREQ(port->GetName(), L"127.0.0.1:1");
  EXPECT_EQ(port->SetConfig(19200, TWOSTOPBITS, 0xC0), S_OK);
  UINT baud = 0;
  BYTE stopBits = 0, eventChar = 0;
  EXPECT_EQ(port->GetConfig(&baud, &stopBits, &eventChar), S_OK);
  EXPECT_EQ(baud, 19200u);
  EXPECT_EQ(stopBits, TWOSTOPBITS);
  EXPECT_EQ(eventChar, 0xC0);
  EXPECT_EQ(port->GetConfig(nullptr, nullptr, nullptr), S_OK);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(port->GetStateFlags(), 0u);
  UINT count = 99;
  EXPECT_EQ(port->GetRxCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port->Purge(true, true), S_OK);
  EXPECT_EQ(port->Close(), S_OK);
  std::string buffer;
  EXPECT_TRUE(FAILED(port->Read(&buffer, 1, 0)));
  const BYTE byte = 0;
  EXPECT_TRUE(FAILED(port->Write(&byte, 1, 0)));
  EXPECT_TRUE(buffer.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ClosedPort,
                         ::testing::Values(ClosedPortCase{"Serial", []() -> IKdPort* { return new CKdComPort; }},
                                           ClosedPortCase{"Tcp", []() -> IKdPort* { return new CKdTcpPort; }}),
                         [](const ::testing::TestParamInfo<ClosedPortCase>& info) { return info.param.name; });

TEST(TcpPortSetup, DtrAndRtsDoNothing) {
  CFakeContext context;
  ScopedContext installed(&context);
  CKdPortPtr port(new CKdTcpPort);
  EXPECT_EQ(port->SetDTR(true), S_OK);
  EXPECT_EQ(port->SetRTS(false), S_OK);
}

struct MappingCase {
  const char* name;
  bool winsock;
  DWORD error;
  HRESULT expected;
};

void PrintTo(const MappingCase& c, std::ostream* os) { *os << c.name; }

class PortErrorMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(PortErrorMapping, MapsToTheDisconnectCodeOrKeepsTheSystemCode) {
  const MappingCase& c = GetParam();
  EXPECT_EQ(c.winsock ? PortErrorFromWinsock(int(c.error)) : PortErrorFromWin32(c.error), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortErrorMapping,
    ::testing::Values(MappingCase{"Win32Aborted", false, 995, HRESULT(0x80040213)},
                      MappingCase{"Win32AccessDenied", false, 5, HRESULT(0x80070005)},
                      MappingCase{"Win32GenFailure", false, 31, HRESULT(0x8007001F)},
                      MappingCase{"WinsockAborted", true, 10053, HRESULT(0x80040213)},
                      MappingCase{"WinsockReset", true, 10054, HRESULT(0x80040213)},
                      MappingCase{"WinsockRefused", true, 10061, HRESULT(0x8007274D)},
                      MappingCase{"WinsockTimedOut", true, 10060, HRESULT(0x8007274C)}),
    [](const ::testing::TestParamInfo<MappingCase>& info) { return info.param.name; });

TEST(PortException, CarriesCodeTextAndTheCodesMessage) {
  ScopedThreadLanguage language(kEnglish);
  try {
    ThrowPortException(HRESULT(0x80040213), L"COM7");
    FAIL() << "nothing thrown";
  } catch (const CKdPortException& e) {
    EXPECT_EQ(e.Code(), HRESULT(0x80040213));
    EXPECT_EQ(e.Text(), L"COM7");
    EXPECT_STREQ(e.what(), "Port is disconnected.");
    // Copies keep all three.
    CKdPortException copy(e);
    EXPECT_EQ(copy.Code(), e.Code());
    EXPECT_EQ(copy.Text(), e.Text());
    EXPECT_STREQ(copy.what(), e.what());
  }
}

TEST(PortException, WithoutTextKeepsAnEmptyText) {
  ScopedThreadLanguage language(kEnglish);
  CKdPortException e(HRESULT(0x80040211), nullptr);
  EXPECT_TRUE(e.Text().empty());
  EXPECT_STREQ(e.what(), "Port not exists.");
}

struct FactoryCase {
  const wchar_t* name;
  bool nvt;
  bool tcp;
  UINT expectedNvt;
};

void PrintTo(const FactoryCase& c, std::ostream* os) {
  *os << std::string(c.name, c.name + wcslen(c.name)) << (c.nvt ? " nvt" : "");
}

class PortFactory : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(PortFactory, NameDecidesTheKindOfPort) {
  const FactoryCase& c = GetParam();
  CKdPortPtr port(CreateKdPort(c.name, c.nvt));
  ASSERT_TRUE(port);
  auto* tcp = dynamic_cast<CKdTcpPort*>(port.Get());
  auto* serial = dynamic_cast<CKdComPort*>(port.Get());
  EXPECT_EQ(tcp != nullptr, c.tcp);
  EXPECT_EQ(serial != nullptr, !c.tcp);
  if (tcp) {
    EXPECT_EQ(tcp->Nvt, c.expectedNvt);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PortFactory,
                         ::testing::Values(FactoryCase{L"COM3", true, false, 0}, FactoryCase{L"COM1", false, false, 0},
                                           FactoryCase{L"127.0.0.1:4001", true, true, 1},
                                           FactoryCase{L"127.0.0.1:4001", false, true, 0},
                                           FactoryCase{L"10.0.0.5:23", true, true, 1}));

TEST(PortFactorySeam, InstalledFactoryHandsOutTheTestsPortsThenRealOnes) {
  CFakePortFactory factory;
  CFakePort* fake = new CFakePort;
  CKdPortPtr held(fake);
  factory.Add(fake);
  {
    ScopedPortFactory installed(&factory);
    CKdPortPtr first(CreateKdPort(L"COM9", false));
    EXPECT_EQ(first.Get(), fake);
    CKdPortPtr second(CreateKdPort(L"127.0.0.1:1", true));
    EXPECT_NE(dynamic_cast<CKdTcpPort*>(second.Get()), nullptr);
  }
  EXPECT_EQ(g_pPortFactory, &DefaultPortFactory());
  EXPECT_EQ(factory.Names(), (std::vector<std::wstring>{L"COM9", L"127.0.0.1:1"}));
}

}  // namespace
