// The two Windows calls through which event sounds are played. They sit behind a table of pointers
// so that a test can see which files would have sounded and which MCI commands were sent: real
// playback cannot be observed on a machine without a sound device.
#pragma once

#include <windows.h>

#include <mmsystem.h>

struct SoundCalls {
  BOOL(WINAPI* PlaySound)(LPCWSTR sound, HMODULE module, DWORD flags);
  MCIERROR(WINAPI* SendMciString)(LPCWSTR command, LPWSTR answer, UINT answerChars, HWND callback);
};

// The process's table; the system calls unless a test has replaced them.
extern SoundCalls g_SoundCalls;

// The MCI device type of a sound file, by the path's extension (the text from its last ".").
const wchar_t* MciDeviceType(const wchar_t* path);
// Whether the path's extension is ".wav" in any case.
bool IsWaveFile(const wchar_t* path);
