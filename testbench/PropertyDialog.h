#pragma once
// The property dialog: one property of the hosted add-in edited by its type (number in decimal or
// hexadecimal, Boolean, text or bytes) and written back with SetPropVal.
#include <windows.h>

#include <memory>
#include <string>

#include "Dialog.h"
#include "VariantArray.h"

class CTestVombra;

class CPropertyDialog : public CModalDialog {
 public:
  CPropertyDialog(CTestVombra* host, UINT property);
  ~CPropertyDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;

  // The value into the editors.
  void ShowValue();
  // The editors into the value; false (value unchanged) when a number does not scan.
  bool ReadValue();
  void SetHexMode(bool hex);

  CTestVombra* host;
  UINT property;
  std::unique_ptr<CVariantArray> value;
  bool writable = false;
  bool hexMode = false;
  HWND controls[4] = {};

 private:
  BOOL OnInitDialog();
  void CreateEditors(const RECT& place);
  HWND Make(const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int x, int y, int cx, int cy,
            UINT id);
  void OnOk();
  HWND Editor() const;
};

// A number typed in decimal or, with a leading "0x" (any case), hexadecimal; `hex` tells which was
// read. False when no digit could be read or characters follow the number.
bool ScanNumber(const std::wstring& text, bool& hex, long long& value);
