// The Mifare Ultralight and Temic (T5557) sub-pages of the Reading keys page: which pages of an Ultralight
// card hold the number; the Temic scan parameters and how a number is read from the transponder (its
// UID or data blocks, with an optional password). GUI thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"

// One or more items "a,b" or "a,b,c" separated by ';' (empty items skipped, blanks allowed before a
// number), a and b 0..255, c 0..65535; each becomes a | b << 8 | c << 16. False for anything else and
// for a text without an item (the add-in reads an empty list as its defaults); `list` is emptied first
// and holds the items read before the refusal.
bool ParseTemicScanParams(const wchar_t* text, std::vector<UINT>& list);
// The list as shown: "%d,%d,%d;" per entry.
std::wstring TemicScanParamsText(const std::vector<UINT>& list);
// An optional "0x" (any case), then 1..8 hexadecimal digits.
bool ParseTemicPassword(const wchar_t* text, UINT* out);

class CMifareULPage : public CAppPage {
 public:
  CMifareULPage();
  explicit CMifareULPage(CAppSettings& settings);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  void UpdateData(bool save) override;
  void EnableControls();

 private:
  BOOL OnInitDialog();
  CAppSettings& m_settings;
};

class CTemicPage : public CAppPage {
 public:
  CTemicPage();
  explicit CTemicPage(CAppSettings& settings);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  void UpdateData(bool save) override;
  void EnableControls();
  // Store the edit's text when it parses; false when refused (nothing stored).
  bool StoreScanParams();
  bool StorePassword();

  CAnchorLayout layout;
  bool scanChanged = false;      // 1183 typed into since it was loaded or stored
  bool passwordChanged = false;  // 1163 likewise

 private:
  BOOL OnInitDialog();
  CAppSettings& m_settings;
};
