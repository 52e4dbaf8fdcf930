// Test support for the pages and dialogs: the test program's own application object and a window
// class for the windows a test puts them in.
#pragma once

#include <windows.h>

#include "WinApp.h"

// An application without help or pre-translation of its own; each test program makes one.
class CPageTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

// Registers the class on the first call (later calls find it there). False when it cannot be had.
inline bool RegisterTestWindowClass(const wchar_t* name, WNDPROC procedure) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc)) return true;
  wc.cbSize = sizeof wc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpfnWndProc = procedure;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}
