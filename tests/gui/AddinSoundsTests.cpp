// Event sounds in a GUI host (this is a GUI-subsystem program, so Init makes the hidden window):
// a reader thread's request for a non-WAV sound reaches MCI only on the window's thread, WAV files
// play on the reader thread itself, and the later of two requests wins.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "FakeHost.h"
#include "SoundRecorder.h"
#include "Vombra.h"
#include "addin/SettingsFixture.h"

namespace {

using Texts = std::vector<std::wstring>;

tVariant Str(const wchar_t* text) {
  tVariant v{};
  v.pwstrVal = const_cast<WCHAR_T*>(text);
  v.wstrLen = uint32_t(wcslen(text));
  v.vt = VTYPE_PWSTR;
  return v;
}

class AddinSoundsTest : public SettingsKeyTest {
 protected:
  void SetUp() override {
    SettingsKeyTest::SetUp();
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    ASSERT_TRUE(addin.Init(host.Connection()));
    ASSERT_NE(addin.Window, nullptr);
  }
  void TearDown() override {
    addin.Done();
    SettingsKeyTest::TearDown();
  }

  void SetPath(long prop, const wchar_t* path) {
    tVariant value = Str(path);
    ASSERT_TRUE(addin.SetPropVal(prop, &value));
  }

  // Plays the slots from a thread of their own, as a reader does.
  void FromReaderThread(std::vector<int> slots) {
    std::thread reader([&] {
      readerThread = GetCurrentThreadId();
      for (int slot : slots) addin.PlayEventSound(slot);
    });
    reader.join();
  }

  // Runs the window's messages until none is left.
  void PumpWindow() {
    MSG message;
    while (PeekMessageW(&message, addin.Window, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }

  CSoundRecorder recorder;
  CFakeHost host;
  CVombra addin{L"VombraExtension"};
  DWORD readerThread = 0;
};

TEST_F(AddinSoundsTest, NonWaveSoundIsPlayedByTheWindowThread) {
  SetPath(37, L"C:\\Sounds\\sent.mp3");
  FromReaderThread({0});
  EXPECT_TRUE(recorder.Commands().empty()) << "nothing before the window runs";
  PumpWindow();
  std::vector<RecordedSoundCall> commands = recorder.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].Text, L"open \"C:\\Sounds\\sent.mp3\" type mpegvideo alias media");
  EXPECT_EQ(commands[1].Text, L"play media from 0");
  for (const RecordedSoundCall& call : commands) EXPECT_EQ(call.Thread, GetCurrentThreadId());
  EXPECT_TRUE(recorder.Plays().empty());
}

TEST_F(AddinSoundsTest, WaveSoundIsPlayedOnTheReaderThreadWithoutTheWindow) {
  SetPath(40, L"C:\\Sounds\\lost.WAV");
  FromReaderThread({3});
  std::vector<RecordedSoundCall> plays = recorder.Plays();
  ASSERT_EQ(plays.size(), 1u);
  EXPECT_EQ(plays[0].Text, L"C:\\Sounds\\lost.WAV");
  EXPECT_EQ(plays[0].Flags, DWORD(0x20003));
  EXPECT_EQ(plays[0].Thread, readerThread);
  PumpWindow();
  EXPECT_TRUE(recorder.Commands().empty());
}

TEST_F(AddinSoundsTest, LaterRequestWinsAndIsPlayedOncePerMessage) {
  SetPath(38, L"C:\\s\\error.mp3");
  SetPath(39, L"C:\\s\\connect.mp3");
  SetPath(41, L"C:\\s\\driver.mid");
  FromReaderThread({1});
  PumpWindow();
  recorder.Clear();
  // Both posted before the window runs: slot 4 is requested last.
  FromReaderThread({2, 4});
  PumpWindow();
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media", L"open \"C:\\s\\driver.mid\" type sequencer alias media",
                                           L"play media from 0", L"play media from 0"}));
}

TEST_F(AddinSoundsTest, DoneClosesTheOpenFile) {
  SetPath(42, L"C:\\s\\found.mid");
  FromReaderThread({5});
  PumpWindow();
  recorder.Clear();
  addin.Done();
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.Window, nullptr);
}

}  // namespace
