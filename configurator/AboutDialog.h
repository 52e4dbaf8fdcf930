// The About box: the program's name in large type, its version with the build date, the maker's notice
// and two links (shown, not followed). Modal; opened by the main window.
#pragma once

#include <windows.h>

#include <string>

#include "Dialog.h"

class CAboutDialog : public CModalDialog {
 public:
  CAboutDialog() = default;
  // Destroys the window when it still exists, then the title font.
  ~CAboutDialog() override;

  // WM_INITDIALOG fills the title, its font and the version; WM_DESTROY frees the font.
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // IDOK and IDCANCEL end the dialog with themselves; nothing else is handled.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;

  // The day of a build given in the form of __DATE__ and __TIME__ ("Mar  5 2024", "13:45:10"), in the
  // short date form of the C run-time's current locale (SetUILanguage sets it). Empty when the texts do
  // not parse or the time does not convert.
  static void FormatBuildDate(const char* date, const char* time, std::wstring& out);
  // This build's __DATE__ and __TIME__.
  static const char kBuildDate[];
  static const char kBuildTime[];

  HFONT titleFont = nullptr;  // owned; null until made

 private:
  BOOL OnInitDialog();
};
