// "Key properties": the modal dialog in which the technician types or corrects the document's last key,
// the key the Formats page renders its samples from. The number is typed under an input mask in one of
// four input formats that mirror how readers print keys. GUI thread only.
#pragma once

#include <windows.h>

#include <string>

#include "Dialog.h"
#include "KeyModel.h"
#include "Layout.h"
#include "MaskedEdit.h"

// The input formats of the number edit.
enum : int {
  KEY_INPUT_EM_MARINE = 1,  // "[hex b(n-1)..b3] " series b2 "," number b1b0
  KEY_INPUT_HID = 2,        // "[hex b(n-1)..b2] " number b1b0
  KEY_INPUT_HEX = 3,        // every byte in hex, most significant first
  KEY_INPUT_DECIMAL = 4,    // "[hex b(n-1)..b8] " b7..b0 as one decimal number
};

constexpr int kKeyMaxSize = 15;
constexpr int kKeyDefaultSize = 5;

// The number text of `key` (its Length bytes) in input format `format` (1..4); any other format gives
// the hexadecimal text. Hexadecimal digits are upper case.
void FormatKeyText(const _KEYNUM_INFO& key, int format, std::wstring& out);
// Reads `text` in input format `format` as a key of `size` bytes (1..15). True: `key` holds the value,
// Length = size, every byte from `size` on zero. False, `key` untouched, when the text does not follow
// the format or its value does not fit: a series above 255, a number above 65535, a decimal above 64
// bits, or any non-zero byte at or past `size`.
bool ParseKeyText(const wchar_t* text, int format, int size, _KEYNUM_INFO& key);

// The number edit's mask, template and accepted characters for a format and size (1..15).
struct _KEY_MASK_INFO {
  std::wstring mask;
  std::wstring inputTemplate;
  std::wstring validChars;
};
void GetKeyMask(int format, int size, _KEY_MASK_INFO& out);

class CKeyDialog : public CModalDialog {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;

  // Sets the number edit's mask from InputFormat and KeySize.
  void BuildMask();
  // fromControl false: the key is cut or zero-extended to KeySize and shown. True: the edit's text is
  // read into Key (empty text: all zero); the length becomes KeySize either way. False when the text was
  // refused (Key then keeps its bytes).
  bool ExchangeNumber(bool fromControl);
  // Reads the number with the current format and size, then switches to `format` and `size` and shows
  // the key again, so its bytes survive the change (a larger size adds zero bytes).
  void ChangeInputFormat(int format, int size);

  // Filled by the caller before DoModal: the document's last key type, last key and keyEditFormat (0
  // opens in hexadecimal). After OK they hold what was stored.
  int KeyType = 0;
  int KeySize = kKeyDefaultSize;
  _KEYNUM_INFO Key = {};
  int InputFormat = KEY_INPUT_HEX;

  CAnchorLayout layout;
  CMaskedEdit numberEdit;

 private:
  BOOL OnInitDialog();
  void OnOK();
};
