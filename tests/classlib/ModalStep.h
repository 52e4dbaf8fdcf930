// Test support for modal code: a step that runs once inside whatever loop is pumping (a dialog's modal
// loop, a task or file dialog's own), from a timer of the test's thread. Cross-thread clicks are
// unreliable under Wine; a same-thread timer runs inside the loop.
#pragma once

#include <windows.h>

#include <cwchar>
#include <functional>
#include <utility>

inline std::function<void()> g_step;

inline void CALLBACK StepTimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  std::function<void()> step = std::move(g_step);
  g_step = nullptr;
  if (step) step();
}

inline void RunLater(std::function<void()> step, UINT delay) {
  g_step = std::move(step);
  SetTimer(nullptr, 0, delay, &StepTimerProc);
}

// EnumThreadWindows callback: the first visible dialog-class window into *found.
inline BOOL CALLBACK FindVisibleDialog(HWND wnd, LPARAM found) {
  wchar_t className[16] = L"";
  GetClassNameW(wnd, className, 16);
  if (IsWindowVisible(wnd) && wcscmp(className, L"#32770") == 0) {
    *reinterpret_cast<HWND*>(found) = wnd;
    return FALSE;
  }
  return TRUE;
}
