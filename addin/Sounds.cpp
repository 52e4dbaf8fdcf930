// Event sounds: WAV files straight from the reader thread, every other file through MCI on the
// hidden window's thread, which keeps one file open under the alias "media" for replays.
#include "Sounds.h"

#include <cwchar>
#include <string>

#include "Core.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

constexpr UINT WM_PLAY_MEDIA = WM_USER + 1;
constexpr DWORD PLAY_FLAGS = SND_ASYNC | SND_NODEFAULT | SND_FILENAME;
const wchar_t CLOSE_MEDIA[] = L"close media";
const wchar_t PLAY_MEDIA[] = L"play media from 0";

// The extension from the last "." of the path, lower-cased; empty without a ".".
std::wstring LowerExtension(const wchar_t* path) {
  const wchar_t* dot = path ? wcsrchr(path, L'.') : nullptr;
  if (!dot) return std::wstring();
  std::wstring extension(dot);
  if (!extension.empty()) CharLowerBuffW(&extension[0], DWORD(extension.size()));
  return extension;
}

}  // namespace

SoundCalls g_SoundCalls = {&PlaySoundW, &mciSendStringW};

bool IsWaveFile(const wchar_t* path) { return LowerExtension(path) == L".wav"; }

const wchar_t* MciDeviceType(const wchar_t* path) {
  std::wstring extension = LowerExtension(path);
  if (extension == L".wav") return L"waveaudio";
  if (extension == L".mid") return L"sequencer";
  return L"mpegvideo";
}

bool CVombra::PlayEventSound(int slot) {
  if (slot < 0 || size_t(slot) >= SOUND_COUNT) return true;
  std::wstring path;
  {
    CCriticalSectionLock lock(&Lock);
    path = SoundFileList[slot];
  }
  if (path.empty()) return true;
  if (IsWaveFile(path.c_str())) {
    // Asynchronous and without the default sound: a missing file stays silent and the reader thread
    // is not held up.
    g_SoundCalls.PlaySound(path.c_str(), nullptr, PLAY_FLAGS);
    return true;
  }
  // MCI keeps an alias per thread (Wine even reserves it for others), so every MCI command goes
  // through the one window thread.
  HWND window = Window;
  if (window) {
    RequestedSound = slot;
    PostMessageW(window, WM_PLAY_MEDIA, 0, 0);
  }
  return true;
}

void CVombra::PlayMedia() {
  const int requested = RequestedSound;
  if (OpenSound != requested) {
    if (OpenSound != -1) {
      g_SoundCalls.SendMciString(CLOSE_MEDIA, nullptr, 0, nullptr);
      OpenSound = -1;
    }
    std::wstring path;
    if (requested >= 0 && size_t(requested) < SOUND_COUNT) {
      CCriticalSectionLock lock(&Lock);
      path = SoundFileList[requested];
    }
    if (!path.empty()) {
      std::wstring command;
      StrFormat(command, L"open \"%s\" type %s alias media", path.c_str(), MciDeviceType(path.c_str()));
      if (g_SoundCalls.SendMciString(command.c_str(), nullptr, 0, nullptr) == 0) OpenSound = requested;
    }
  }
  if (OpenSound != -1) g_SoundCalls.SendMciString(PLAY_MEDIA, nullptr, 0, nullptr);
}

void CVombra::CloseMedia() {
  if (OpenSound == -1) return;
  g_SoundCalls.SendMciString(CLOSE_MEDIA, nullptr, 0, nullptr);
  OpenSound = -1;
}
