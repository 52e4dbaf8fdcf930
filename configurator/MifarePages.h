// The Mifare Classic and Mifare Plus SL3 sub-pages of the Reading keys page: reading a number from a
// card block, with key A or B, authenticated by a typed key or by key cells of the reader's memory
// chosen in a check list. The two differ only in their settings group and key length. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"
#include "TableCtrl.h"

// A key text: an optional "0x" (any case), then 1..12 (Classic) or 1..32 (Plus) hexadecimal digits,
// written last byte first; an odd count reads as if a 0 stood before it. The key gets 6 or 16 bytes,
// the missing high ones 0. False for anything else (out unchanged).
bool ParseAuthKeyMC(const wchar_t* text, _AUTHKEY_INFO& out);
bool ParseAuthKeyMP(const wchar_t* text, _AUTHKEY_INFO& out);
// The key as shown: upper-case hexadecimal, last byte first.
std::wstring AuthKeyText(const _AUTHKEY_INFO& key);

// The 32 rows of the key-cell list: row i is cell i, checked when bit i of the mask copy is set.
class CMCKeysViewData : public CVirtualListViewData {
 public:
  struct ROW {
    std::wstring text;
    int cell = 0;
  };
  int GetItemCount() override { return 32; }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;
  static void MakeRow(int row, ROW& out);
  const ROW& GetRow(int row);
  void FillCache(int from, int to);

  UINT mask = 0;
  std::vector<ROW> cache;
  int cacheFrom = 0;
  ROW spare;
};
class CMPKeysViewData : public CMCKeysViewData {};

class CMifareCPage : public CAppPage {
 public:
  // On the application's settings document.
  CMifareCPage();
  explicit CMifareCPage(CAppSettings& settings);
  ~CMifareCPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  void UpdateData(bool save) override;

  void UpdateKeySource();
  void FillBlockCombo();
  void EnableControls();
  // When the key text changed since it was loaded or stored: a key that parses is stored when it
  // differs. False when the text is refused (nothing stored).
  bool StoreAuthKey();
  void SetMask(UINT mask);
  static void OnListDataEvent(void* owner, CVirtualListViewData* data, int event);

  CAnchorLayout layout;
  CMCKeysViewData* data;
  bool keyChanged = false;  // 1102 typed into since it was loaded or stored

 protected:
  CMifareCPage(CAppSettings& settings, _MIFAREREAD_INFO& group, CMCKeysViewData* data, UINT templateId);
  bool ParseKey(const wchar_t* text, _AUTHKEY_INFO& out) const;
  void ToggleCell(int row);

  CAppSettings& m_settings;
  _MIFAREREAD_INFO& m_group;
  bool m_plus;

 private:
  BOOL OnInitDialog();
};

class CMifarePPage : public CMifareCPage {
 public:
  CMifarePPage();
  explicit CMifarePPage(CAppSettings& settings);
};
