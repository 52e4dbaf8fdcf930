// What the class library's window suites share: the test program as its own application, and a window
// class whose windows are window objects.
#pragma once

#include <windows.h>

#include "WinApp.h"
#include "Wnd.h"

// The test program is its own application (define one object per program).
class CWindowTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

// Registers, once per name, a class of this program whose windows reach their objects through
// CWnd::StaticWndProc; false when the class cannot be registered.
inline bool RegisterObjectWindowClass(const wchar_t* name) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc)) return true;
  wc = {};
  wc.cbSize = sizeof wc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
  wc.lpfnWndProc = &CWnd::StaticWndProc;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}
