#pragma once
// The method dialog calls one method of the hosted add-in with the arguments the user composed and keeps
// a timed protocol of each call; the argument dialog edits one argument's type and value. The arguments,
// their short history and their column widths are remembered per method in the settings document.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "AppSettings.h"
#include "Dialog.h"
#include "Layout.h"

class CTestVombra;

constexpr size_t kArgHistoryLength = 5;

// The argument dialog's OK on an argument's items: `before` was item 0 when the dialog opened. A changed,
// non-empty earlier value moves down to item 1, a repeat of the new value further down is dropped, and
// the list is kept to five items.
void PushArgHistory(std::vector<std::wstring>& items, const std::wstring& before);
// A default applied to an argument's items (see CMethodDialog::ApplyDefault).
void ApplyDefaultItems(std::vector<std::wstring>& items, const std::wstring& defaultText);
// The tVariant type of an argument dialog's type index.
WORD ArgTypeFromIndex(int typeIndex);
// A cell of the method dialog's table: an argument's value (row 0) or default (row 1).
void ArgCellText(WORD vt, const std::vector<std::wstring>* items, const std::wstring* text, std::wstring& out);

class CMethodDialog : public CModalDialog {
 public:
  // Without settings the application's document.
  CMethodDialog(CTestVombra* host, UINT method, CAppSettings* settings = nullptr);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  void FillCells();
  // Runs the argument dialog for argument `k` (from 0).
  void EditArgument(int k);
  // Makes the reported default argument `k`'s value, asking first under the reset confirmation.
  void ApplyDefault(int k);
  // Calls the method and writes the protocol.
  void Execute();
  // One protocol line with the local time.
  void AppendLine(const std::wstring& text);

  CTestVombra* host;
  UINT method;
  CAnchorLayout layout;
  METHOD_ARGS args;
  HWND list = nullptr;
  bool modified = false;
  std::wstring name;
  int selRow = -1;
  int selColumn = -1;  // 1 .. argument count
  CAppSettings& settings;

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  void SelectCell(int row, int column);
  void OnCustomDraw(NMLVCUSTOMDRAW* draw, LRESULT* result);
};

class CMethArgDialog : public CModalDialog {
 public:
  CMethArgDialog(int index, int typeIndex, const std::vector<std::wstring>& items, int defaultType,
                 const std::wstring& defaultText);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;

  void SetType(int index);
  void ShowValue();
  // False when a number does not scan (item 0 stays).
  bool ReadValue();
  void SetHexMode(bool hex);

  int index;
  int typeIndex;
  std::vector<std::wstring> items;
  bool hexMode = false;
  int defaultType;
  std::wstring defaultText;
  HWND editors[4] = {};
  int kind = 0;  // 0 none, 1 Boolean, 2 Number, 3 text

 private:
  BOOL OnInitDialog();
  void DestroyEditors();
  HWND Make(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int cx, int cy, UINT id,
            DWORD exStyle = 0);
  void FillCombo(HWND combo);
};
