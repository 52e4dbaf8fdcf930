// The fake port that reader tests script: exchanges, replies gated by speed, delays in virtual time
// (across the tick wrap), a dropped link, refused opens and the record of line settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "FakeContext.h"
#include "Messages.h"
#include "doubles/FakeClock.h"
#include "doubles/FakePort.h"

namespace {

class FakePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new CFakePort;
    hold = CKdPortPtr(port);
    port->SetParams(L"COM5", nullptr, nullptr, nullptr, nullptr);
  }
  HRESULT WriteText(const std::string& text) {
    return port->Write(reinterpret_cast<const BYTE*>(text.data()), UINT(text.size()), 1000);
  }

  CFakeClock clock{0xFFFFFF00};
  ScopedClock installed{&clock};
  CFakePort* port = nullptr;
  CKdPortPtr hold;
};

TEST_F(FakePortTest, ExpectedWriteGetsItsReplyAndOthersAreRecorded) {
  port->UseVirtualTime(&clock);
  port->Expect("i\r", "Model 7\r\n");
  ASSERT_EQ(port->Open(0), S_OK);
  EXPECT_EQ(WriteText("junk"), S_OK);
  EXPECT_EQ(WriteText("i\r"), S_OK);
  std::string got;
  EXPECT_EQ(port->Read(&got, 100, 50), S_OK);
  EXPECT_EQ(got, "Model 7\r\n");
  EXPECT_EQ(port->ExchangesLeft(), 0u);
  EXPECT_EQ(port->UnexpectedWrites(), std::vector<std::string>{"junk"});
  EXPECT_EQ(port->Writes(), (std::vector<std::string>{"junk", "i\r"}));
}

TEST_F(FakePortTest, ReplyComesOnlyAtItsSpeed) {
  port->UseVirtualTime(&clock);
  port->Expect("i\r", "", 0);
  port->Expect("i\r", "ok\r\n", 0, 115200);
  ASSERT_EQ(port->SetConfig(9600, 0, 13), S_OK);
  ASSERT_EQ(port->Open(0), S_OK);
  ASSERT_EQ(WriteText("i\r"), S_OK);
  std::string got;
  EXPECT_EQ(port->Read(&got, 10, 100), S_OK);
  EXPECT_EQ(got, "");
  ASSERT_EQ(port->SetConfig(115200, 0, 13), S_OK);
  ASSERT_EQ(WriteText("i\r"), S_OK);
  EXPECT_EQ(port->Read(&got, 10, 100), S_OK);
  EXPECT_EQ(got, "ok\r\n");
}

TEST_F(FakePortTest, DelayedReplyRunsInVirtualTimeAcrossTheWrap) {
  port->UseVirtualTime(&clock);
  port->Expect("q", "a", 500);
  ASSERT_EQ(port->Open(0), S_OK);
  ASSERT_EQ(WriteText("q"), S_OK);
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, 300), S_OK);
  EXPECT_EQ(got, "");
  EXPECT_EQ(Ticks(), 0xFFFFFF00u + 300);
  EXPECT_EQ(port->Read(&got, 1, 300), S_OK);
  EXPECT_EQ(got, "a");
  // The reply came 500 ms after the write, not at the end of the second read's time-out.
  EXPECT_EQ(Ticks(), DWORD(0xFFFFFF00u + 500));
}

TEST_F(FakePortTest, DroppedLinkFailsUntilReopened) {
  ASSERT_EQ(port->Open(0), S_OK);
  port->Drop(VOMBRA_E_PORT_DISCONNECTED);
  std::string got;
  EXPECT_EQ(port->Read(&got, 1, 0), VOMBRA_E_PORT_DISCONNECTED);
  EXPECT_EQ(WriteText("x"), VOMBRA_E_PORT_DISCONNECTED);
  EXPECT_EQ(port->OnRxEvent(), VOMBRA_E_PORT_DISCONNECTED);
  port->Close();
  ASSERT_EQ(port->Open(0), S_OK);
  EXPECT_EQ(port->OnRxEvent(), S_OK);
  EXPECT_EQ(port->OpenCount(), 2);
  EXPECT_EQ(port->CloseCount(), 1);
}

TEST_F(FakePortTest, RefusedOpensComeFirst) {
  port->FailOpen(VOMBRA_E_PORT_BUSY);
  EXPECT_EQ(port->Open(0), VOMBRA_E_PORT_BUSY);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(port->Open(0), S_OK);
}

TEST_F(FakePortTest, LineSettingsAreRecordedAndSpeedZeroKeepsTheOpenLinesSpeed) {
  port->SetConfig(9600, 0, 13);
  ASSERT_EQ(port->Open(0), S_OK);
  port->SetConfig(0, 2, 0xC0);
  UINT baud = 0;
  port->GetConfig(&baud, nullptr, nullptr);
  EXPECT_EQ(baud, 9600u);
  EXPECT_EQ(port->ConfigCalls(), (std::vector<FakeConfigCall>{{9600, 0, 13}, {0, 2, 0xC0}}));
}

TEST_F(FakePortTest, UnsolicitedBytesArriveInOrder) {
  port->UseVirtualTime(&clock);
  ASSERT_EQ(port->Open(0), S_OK);
  port->Arrive("second", 20);
  port->Arrive("first");
  std::string got;
  EXPECT_EQ(port->Read(&got, 11, 100), S_OK);
  EXPECT_EQ(got, "firstsecond");
}

}  // namespace
