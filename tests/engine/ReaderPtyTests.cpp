// A reader on a real serial port of the test prefix (a pty with a Linux-side peer playing the
// reader): the line settings the connect makes, the identification exchange, and an unmapped name.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "Core.h"
#include "Messages.h"
#include "PtyPeer.h"
#include "ReaderFixture.h"

namespace {

// ReaderFixture on real time: English texts, a fake context, the fake port factory (no fake ports: the
// reader opens the real one) and a reader with its events recorder.
class ReaderPty : public ReaderFixture {
 protected:
  void SetUp() override { UseRealTime(); }
};

TEST_F(ReaderPty, ConnectsWithTheLineSettingsTheReaderNeeds) {
  CPtyPeer peer;
  if (!peer.Available()) GTEST_SKIP() << peer.WhyNot();
  reader.Init(&events, peer.ComName().c_str());
  reader.SetPortParams(2, 0, RM_KD6_A, 0, false);  // two stop bits, model fixed
  reader.SetTimeouts(1000, 3000, INFINITE, 2000, 1);
  reader.Running = 1;
  ASSERT_TRUE(peer.Clear());

  bool connected = false;
  std::thread connecting([&] { connected = reader.Connect(); });
  const std::string request = peer.Receive(2, 3000);
  PtyLineSettings line = peer.Line();
  peer.Send("KD-6 A S/N: 321 [301]\r\nSoftware version: 1.2\r\n");
  const std::string keyRequest = peer.Receive(2, 3000);
  peer.Send("No card\r\n");
  connecting.join();

  EXPECT_EQ("i\r", request);
  EXPECT_EQ("r\n", keyRequest);
  EXPECT_EQ(9600, line.Speed);
  EXPECT_EQ(8, line.DataBits);
  EXPECT_EQ('N', line.Parity);
  EXPECT_EQ(2, line.StopBits);
  ASSERT_TRUE(connected);
  EXPECT_EQ(321u, reader.SerialNumber);
  EXPECT_EQ((std::vector<std::string>{"connect"}), events.Kinds());
  reader.Running = 0;
}

TEST_F(ReaderPty, SilentReaderTimesOut) {
  CPtyPeer peer;
  if (!peer.Available()) GTEST_SKIP() << peer.WhyNot();
  reader.Init(&events, peer.ComName().c_str());
  reader.SetPortParams(0, 0, RM_KD6_A, 0, false);
  reader.SetTimeouts(1000, 3000, INFINITE, 500, 2);
  reader.Running = 1;
  ASSERT_TRUE(peer.Clear());

  const DWORD start = GetTickCount();
  EXPECT_FALSE(reader.Connect());
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 900u);  // two attempts of 500 ms
  EXPECT_LT(elapsed, 3000u);
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ("i\ri\r", peer.Receive(4, 1000));
  reader.Running = 0;
}

TEST_F(ReaderPty, UnmappedNameIsPortNotExists) {
  reader.Init(&events, L"COM199");
  reader.Running = 1;
  EXPECT_FALSE(reader.Connect());
  ASSERT_EQ(1u, events.Count("error"));
  EXPECT_EQ(VOMBRA_E_PORT_NOT_EXIST, events.Events()[0].Code);
  std::wstring message;
  FormatMessageText(message, AddinModule(), DWORD(VOMBRA_E_PORT_NOT_EXIST));
  EXPECT_EQ(L"Unable to connect to the reader. " + message, events.Events()[0].Text);
  reader.Running = 0;
}

}  // namespace
