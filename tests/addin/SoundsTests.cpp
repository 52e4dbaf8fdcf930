// Event sounds without a window: which slot sounds through PlaySoundW, which MCI commands the window's
// playing sends (called here directly, as the window procedure would), and when the one open MCI
// file is closed. The recorder stands in for both Windows calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "SettingsFixture.h"
#include "SoundRecorder.h"
#include "Vombra.h"

namespace {

using Texts = std::vector<std::wstring>;

constexpr DWORD kPlayFlags = 0x20003;  // SND_ASYNC | SND_NODEFAULT | SND_FILENAME

tVariant Str(const wchar_t* text) {
  tVariant v{};
  v.pwstrVal = const_cast<WCHAR_T*>(text);
  v.wstrLen = uint32_t(wcslen(text));
  v.vt = VTYPE_PWSTR;
  return v;
}

tVariant Bool(bool truth) {
  tVariant v{};
  v.bVal = truth;
  v.vt = VTYPE_BOOL;
  return v;
}

class SoundsTest : public ::testing::Test {
 protected:
  // Plays a slot the way the window does on message 0x401.
  void WindowPlays(int slot) {
    addin.RequestedSound = slot;
    addin.PlayMedia();
  }
  bool Set(long number, tVariant value) { return addin.SetPropVal(number, &value); }

  CSoundRecorder recorder;
  CVombra addin{L"VombraExtension"};
};

// --- PlayEventSound on the reader's thread.

struct WaveCase {
  const char* Name;
  const wchar_t* Path;
  bool Plays;  // through PlaySoundW; anything else needs the window, which this object lacks
};

void PrintTo(const WaveCase& c, std::ostream* out) { *out << c.Name; }

const WaveCase kWaveCases[] = {
    {"LowerCase", L"C:\\Sounds\\beep.wav", true},
    {"UpperCase", L"C:\\Sounds\\beep.WAV", true},
    {"MixedCase", L"beep.Wav", true},
    {"WaveInTheMiddle", L"C:\\Sounds\\beep.wav.mp3", false},
    {"NoDot", L"C:\\Sounds\\wav", false},
    {"DotInTheFolderOnly", L"C:\\Sounds.wav\\beep", false},
    {"LongerExtension", L"C:\\beep.wave", false},
    {"Mp3", L"C:\\beep.mp3", false},
};

class WaveSounds : public SoundsTest, public ::testing::WithParamInterface<WaveCase> {};

TEST_P(WaveSounds, WaveFilesPlayAtOnceOthersNeedTheWindow) {
  const WaveCase& c = GetParam();
  addin.SoundFileList[3] = c.Path;
  EXPECT_TRUE(addin.PlayEventSound(3));
  std::vector<RecordedSoundCall> plays = recorder.Plays();
  if (c.Plays) {
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].Text, c.Path);
    EXPECT_EQ(plays[0].Flags, kPlayFlags);
    EXPECT_EQ(plays[0].Thread, GetCurrentThreadId()) << "on the reporting thread";
  } else {
    EXPECT_TRUE(plays.empty());
    EXPECT_EQ(addin.RequestedSound, -1) << "no window: nothing requested";
  }
  EXPECT_TRUE(recorder.Commands().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, WaveSounds, ::testing::ValuesIn(kWaveCases),
                         [](const ::testing::TestParamInfo<WaveCase>& info) { return std::string(info.param.Name); });

TEST_F(SoundsTest, EmptySlotPlaysNothing) {
  for (int slot = 0; slot < 7; ++slot) EXPECT_TRUE(addin.PlayEventSound(slot));
  EXPECT_TRUE(recorder.Plays().empty());
  EXPECT_TRUE(recorder.Commands().empty());
}

// Each sound property fills the slot that the events of that slot play: "SoundFoundKey" the
// driver-error slot 4 and "SoundLostKey" the key-found slot 5; slot 6 has no property.
TEST_F(SoundsTest, EachPropertyFillsTheSlotItsEventsPlay) {
  const wchar_t* const paths[] = {L"C:\\s\\transfer.wav",   L"C:\\s\\transfer-error.wav", L"C:\\s\\connect.wav",
                                  L"C:\\s\\disconnect.wav", L"C:\\s\\driver-error.wav",   L"C:\\s\\key-found.wav"};
  for (long prop = 37; prop <= 42; ++prop) ASSERT_TRUE(Set(prop, Str(paths[prop - 37])));
  for (int slot = 0; slot < 7; ++slot) addin.PlayEventSound(slot);
  std::vector<RecordedSoundCall> plays = recorder.Plays();
  ASSERT_EQ(plays.size(), 6u);
  for (int slot = 0; slot < 6; ++slot) EXPECT_EQ(plays[slot].Text, paths[slot]) << slot;
}

// --- The window's MCI playing.

struct DeviceCase {
  const char* Name;
  const wchar_t* Path;
  const wchar_t* Open;
};

void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.Name; }

const DeviceCase kDeviceCases[] = {
    {"Mp3", L"C:\\Sounds\\key.mp3", L"open \"C:\\Sounds\\key.mp3\" type mpegvideo alias media"},
    {"Midi", L"C:\\Sounds\\key.mid", L"open \"C:\\Sounds\\key.mid\" type sequencer alias media"},
    {"MidiUpperCase", L"C:\\Sounds\\key.MID", L"open \"C:\\Sounds\\key.MID\" type sequencer alias media"},
    {"Wave", L"C:\\Sounds\\key.wav", L"open \"C:\\Sounds\\key.wav\" type waveaudio alias media"},
    {"NoDot", L"C:\\Sounds\\key", L"open \"C:\\Sounds\\key\" type mpegvideo alias media"},
    {"Midi2", L"C:\\Sounds\\key.midi", L"open \"C:\\Sounds\\key.midi\" type mpegvideo alias media"},
    {"DotInFolder", L"C:\\My.Sounds\\key", L"open \"C:\\My.Sounds\\key\" type mpegvideo alias media"},
};

class MciSoundDevices : public SoundsTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(MciSoundDevices, OpenTheFileAsItsDeviceTypeAndPlayIt) {
  const DeviceCase& c = GetParam();
  addin.SoundFileList[5] = c.Path;
  WindowPlays(5);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{c.Open, L"play media from 0"}));
  EXPECT_EQ(addin.OpenSound, 5);
  EXPECT_TRUE(recorder.Plays().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, MciSoundDevices, ::testing::ValuesIn(kDeviceCases),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.Name); });

TEST_F(SoundsTest, SameSlotReplaysWithoutReopeningAnotherSlotClosesFirst) {
  addin.SoundFileList[0] = L"C:\\a.mp3";
  addin.SoundFileList[1] = L"C:\\b.mp3";
  WindowPlays(0);
  recorder.Clear();
  WindowPlays(0);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"play media from 0"}));

  recorder.Clear();
  WindowPlays(1);
  EXPECT_EQ(recorder.CommandTexts(),
            (Texts{L"close media", L"open \"C:\\b.mp3\" type mpegvideo alias media", L"play media from 0"}));
  EXPECT_EQ(addin.OpenSound, 1);
}

TEST_F(SoundsTest, FileThatDoesNotOpenIsTriedAgainNextTime) {
  addin.SoundFileList[2] = L"C:\\missing.mp3";
  recorder.SetOpenAnswer(277);
  WindowPlays(2);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"open \"C:\\missing.mp3\" type mpegvideo alias media"}));
  EXPECT_EQ(addin.OpenSound, -1);
  recorder.Clear();
  WindowPlays(2);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"open \"C:\\missing.mp3\" type mpegvideo alias media"}));
}

TEST_F(SoundsTest, EmptySlotClosesTheOpenFileAndPlaysNothing) {
  addin.SoundFileList[0] = L"C:\\a.mp3";
  WindowPlays(0);
  recorder.Clear();
  WindowPlays(4);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.OpenSound, -1);
}

// --- Closing the open file from the host's side.

TEST_F(SoundsTest, ChangingThePathOfTheOpenSlotClosesIt) {
  addin.SoundFileList[5] = L"C:\\found.mid";
  addin.SoundFileList[0] = L"C:\\sent.mp3";
  WindowPlays(5);
  recorder.Clear();
  ASSERT_TRUE(Set(37, Str(L"C:\\other.mp3")));  // slot 0: not the open one
  EXPECT_TRUE(recorder.Commands().empty());
  EXPECT_EQ(addin.OpenSound, 5);
  ASSERT_TRUE(Set(42, Str(L"C:\\found2.mid")));  // "SoundLostKey": slot 5, open
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.OpenSound, -1);

  recorder.Clear();
  WindowPlays(5);
  EXPECT_EQ(recorder.CommandTexts(),
            (Texts{L"open \"C:\\found2.mid\" type sequencer alias media", L"play media from 0"}));
}

TEST_F(SoundsTest, SoundsOffClosesTheOpenFileOnce) {
  ASSERT_TRUE(Set(36, Bool(true)));
  addin.SoundFileList[1] = L"C:\\error.mp3";
  WindowPlays(1);
  recorder.Clear();
  ASSERT_TRUE(Set(36, Bool(false)));
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.OpenSound, -1);
  ASSERT_TRUE(Set(36, Bool(false)));
  ASSERT_TRUE(Set(36, Bool(true)));
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"})) << "nothing open, nothing more to close";
}

TEST_F(SoundsTest, DoneClosesTheOpenFile) {
  addin.SoundFileList[3] = L"C:\\gone.mp3";
  WindowPlays(3);
  recorder.Clear();
  addin.Done();
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.OpenSound, -1);
}

class SoundsSettingsTest : public SettingsKeyTest {
 protected:
  CSoundRecorder recorder;
  CVombra addin{L"VombraExtension"};
};

TEST_F(SoundsSettingsTest, LoadingTheMainPartClosesTheOpenFileAndOnlyThatPart) {
  addin.SoundFileList[0] = L"C:\\before.mp3";
  addin.RequestedSound = 0;
  addin.PlayMedia();
  recorder.Clear();
  addin.ReadSettings(SP_LISTS);
  EXPECT_TRUE(recorder.Commands().empty());
  addin.ReadSettings(SP_MAIN);
  EXPECT_EQ(recorder.CommandTexts(), (Texts{L"close media"}));
  EXPECT_EQ(addin.OpenSound, -1);
}

}  // namespace
