#include "KeyDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "MessageBox.h"
#include "Wnd.h"

namespace {

constexpr int kKeyDialogSlot = 6;
constexpr int kEmMarineHexFirst = 3;
constexpr int kHidHexFirst = 2;
constexpr int kDecimalBytes = 8;
const wchar_t kDigits[] = L"0123456789";
const wchar_t kHexDigits[] = L"0123456789abcdefABCDEF";

int ClampedLength(const _KEYNUM_INFO& key) { return std::min<int>(key.Length, kKeyMaxSize); }

// Bytes [first, end) of the key, the last one first, as upper-case hex.
void AppendHexDown(const _KEYNUM_INFO& key, int first, int end, std::wstring& out) {
  static const wchar_t kUpper[] = L"0123456789ABCDEF";
  for (int i = end - 1; i >= first; --i) {
    out += kUpper[key.Data[i] >> 4];
    out += kUpper[key.Data[i] & 0xF];
  }
}

// Decimal digits padded with zeros to `width`. Written here rather than through the run-time's "%llu",
// which older msvcrt builds do not know.
void AppendDecimal(uint64_t value, size_t width, std::wstring& out) {
  std::wstring digits = std::to_wstring(value);
  if (digits.size() < width) out.append(width - digits.size(), L'0');
  out += digits;
}

uint64_t LowBytes(const _KEYNUM_INFO& key, int count) {
  uint64_t value = 0;
  for (int i = std::min(count, ClampedLength(key)) - 1; i >= 0; --i) value = value << 8 | key.Data[i];
  return value;
}

bool IsBlank(wchar_t ch) { return ch == L' ' || ch == L'\t'; }
bool IsDigit(wchar_t ch) { return ch >= L'0' && ch <= L'9'; }
int HexValue(wchar_t ch) {
  if (IsDigit(ch)) return ch - L'0';
  if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
  if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
  return -1;
}

// One pass over a number text; every read refuses what it cannot take whole.
class CKeyTextReader {
 public:
  explicit CKeyTextReader(const wchar_t* text) : m_p(text) {}

  void SkipBlanks() {
    while (IsBlank(*m_p)) ++m_p;
  }
  bool Take(wchar_t ch) {
    if (*m_p != ch) return false;
    ++m_p;
    return true;
  }
  bool AtEnd() {
    SkipBlanks();
    return *m_p == L'\0';
  }
  // Unsigned decimal digits (no sign, no blanks inside) of at most `max`.
  bool ReadDecimal(uint64_t max, uint64_t* value) {
    if (!IsDigit(*m_p)) return false;
    wchar_t* stop = nullptr;
    errno = 0;
    const unsigned long long read = std::wcstoull(m_p, &stop, 10);
    if (errno != 0 || stop == m_p || read > max) return false;
    m_p = stop;
    *value = read;
    return true;
  }
  // "[hex]" when the text goes on with "[": the digits between the brackets, else nothing.
  bool ReadBracketed(std::wstring* hex) {
    SkipBlanks();
    if (!Take(L'[')) return true;
    const wchar_t* close = std::wcschr(m_p, L']');
    if (!close) return false;
    hex->assign(m_p, close);
    m_p = close + 1;
    return true;
  }

 private:
  const wchar_t* m_p;
};

// Hex digits (blanks around them allowed) into bytes[first...], the last pair the lowest byte. A
// non-zero byte that lands at or past `size` does not fit.
bool StoreHex(const std::wstring& text, int first, int size, BYTE* bytes) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  int index = first;
  for (size_t low = end; low > begin; index++) {
    const int lowValue = HexValue(text[low - 1]);
    const int highValue = low - 1 > begin ? HexValue(text[low - 2]) : 0;
    if (lowValue < 0 || highValue < 0) return false;
    const BYTE value = BYTE(highValue << 4 | lowValue);
    if (index >= size) {
      if (value != 0) return false;
    } else {
      bytes[index] = value;
    }
    low = low - 1 > begin ? low - 2 : begin;
  }
  return true;
}

void PutLittleEndian(uint64_t value, int count, BYTE* bytes) {
  for (int i = 0; i < count; ++i) bytes[i] = BYTE(value >> (8 * i));
}

}  // namespace

void FormatKeyText(const _KEYNUM_INFO& key, int format, std::wstring& out) {
  out.clear();
  const int length = ClampedLength(key);
  switch (format) {
    case KEY_INPUT_EM_MARINE:
      if (length == 0) return;
      if (length > kEmMarineHexFirst) {
        out += L'[';
        AppendHexDown(key, kEmMarineHexFirst, length, out);
        out += L"] ";
      }
      AppendDecimal(length > 2 ? key.Data[2] : 0, 3, out);
      out += L',';
      AppendDecimal(LowBytes(key, 2), 5, out);
      return;
    case KEY_INPUT_HID:
      if (length > kHidHexFirst) {
        out += L'[';
        AppendHexDown(key, kHidHexFirst, length, out);
        out += L"] ";
      }
      AppendDecimal(LowBytes(key, 2), 5, out);
      return;
    case KEY_INPUT_DECIMAL:
      if (length > kDecimalBytes) {
        out += L'[';
        AppendHexDown(key, kDecimalBytes, length, out);
        out += L"] ";
        AppendDecimal(LowBytes(key, kDecimalBytes), 20, out);
      } else {
        AppendDecimal(LowBytes(key, kDecimalBytes), 0, out);
      }
      return;
    default:
      AppendHexDown(key, 0, length, out);
      return;
  }
}

bool ParseKeyText(const wchar_t* text, int format, int size, _KEYNUM_INFO& key) {
  if (!text || size < 1 || size > kKeyMaxSize) return false;
  BYTE bytes[kKeyMaxSize] = {};
  CKeyTextReader reader(text);
  std::wstring hex;
  uint64_t number = 0;
  switch (format) {
    case KEY_INPUT_EM_MARINE: {
      uint64_t series = 0;
      if (!reader.ReadBracketed(&hex) || !StoreHex(hex, kEmMarineHexFirst, size, bytes)) return false;
      reader.SkipBlanks();
      if (!reader.ReadDecimal(0xFF, &series)) return false;
      reader.SkipBlanks();
      if (!reader.Take(L',') && !reader.Take(L'.')) return false;
      reader.SkipBlanks();
      if (!reader.ReadDecimal(0xFFFF, &number) || !reader.AtEnd()) return false;
      PutLittleEndian(number, 2, bytes);
      bytes[2] = BYTE(series);
      break;
    }
    case KEY_INPUT_HID:
      if (!reader.ReadBracketed(&hex) || !StoreHex(hex, kHidHexFirst, size, bytes)) return false;
      reader.SkipBlanks();
      if (!reader.ReadDecimal(0xFFFF, &number) || !reader.AtEnd()) return false;
      PutLittleEndian(number, 2, bytes);
      break;
    case KEY_INPUT_DECIMAL:
      if (!reader.ReadBracketed(&hex) || !StoreHex(hex, kDecimalBytes, size, bytes)) return false;
      reader.SkipBlanks();
      if (!reader.ReadDecimal(UINT64_MAX, &number) || !reader.AtEnd()) return false;
      PutLittleEndian(number, kDecimalBytes, bytes);
      break;
    case KEY_INPUT_HEX:
      if (!StoreHex(text, 0, size, bytes)) return false;
      break;
    default:
      return false;
  }
  // The decimal parts were stored whole; what they put past the size does not fit.
  for (int i = size; i < kKeyMaxSize; ++i)
    if (bytes[i] != 0) return false;
  key = {};
  key.Length = BYTE(size);
  std::copy_n(bytes, size, key.Data);
  return true;
}

void GetKeyMask(int format, int size, _KEY_MASK_INFO& out) {
  out = {};
  // Hex positions in front of the decimal part, one pair per byte above the decimal bytes.
  auto bracketed = [&out, size](int decimalBytes, const wchar_t* decimalMask,
                                const wchar_t* decimalTemplate) {
    const size_t pairs = size_t(2 * (size - decimalBytes));
    out.mask = L" " + std::wstring(pairs, L'A') + L"  " + decimalMask;
    out.inputTemplate = L"[" + std::wstring(pairs, L'_') + L"] " + decimalTemplate;
    out.validChars = kHexDigits;
  };
  switch (format) {
    case KEY_INPUT_EM_MARINE:
      if (size <= kEmMarineHexFirst) {
        out = {L"ddd,ddddd", L"___,_____", kDigits};
      } else {
        bracketed(kEmMarineHexFirst, L"ddd,ddddd", L"___,_____");
      }
      return;
    case KEY_INPUT_HID:
      if (size <= kHidHexFirst) {
        out = {L"ddddd", L"_____", kDigits};
      } else {
        bracketed(kHidHexFirst, L"ddddd", L"_____");
      }
      return;
    case KEY_INPUT_DECIMAL:
      if (size <= kDecimalBytes) {
        out.validChars = L"1234567890";
      } else {
        bracketed(kDecimalBytes, std::wstring(20, L'd').c_str(), std::wstring(20, L'_').c_str());
      }
      return;
    default:
      out = {std::wstring(size_t(2 * size), L'A'), std::wstring(size_t(2 * size), L'_'), kHexDigits};
      return;
  }
}

// ---- The dialog ----

LRESULT CKeyDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      if (!layout.anchors.empty()) layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_GETMINMAXINFO:
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {450, 250};
      return 0;
    case WM_DESTROY:
      App()->ExchangeWindowPos(true, hwnd, kKeyDialogSlot, -1);
      // The edit goes with the dialog; its own procedure must be back before it does.
      numberEdit.Destroy();
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

BOOL CKeyDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  SendDlgItemMessageW(hwnd, IDC_KEY_SIZE_SPIN, UDM_SETRANGE32, 1, kKeyMaxSize);

  numberEdit.getInputOnly = false;
  numberEdit.setInputOnly = false;
  numberEdit.Attach(hwnd, IDC_KEY_NUMBER);

  std::wstring text;
  for (UINT id = IDS_KEY_FORMAT_EM_MARINE; id <= IDS_KEY_FORMAT_DECIMAL; ++id) {
    LoadStr(id, text);
    SendDlgItemMessageW(hwnd, IDC_KEY_INPUT_FORMAT, CB_ADDSTRING, 0, LPARAM(text.c_str()));
  }
  // 0 is the document's "never chosen"; anything else unknown comes from a hand-edited file.
  if (InputFormat < KEY_INPUT_EM_MARINE || InputFormat > KEY_INPUT_DECIMAL) InputFormat = KEY_INPUT_HEX;
  Key.Length = BYTE(ClampedLength(Key));
  KeySize = Key.Length ? Key.Length : kKeyDefaultSize;

  CConfigVombraApp* app = App();
  app->LoadKeyTypeNames();
  for (const wchar_t* name : app->keyTypeNames)
    SendDlgItemMessageW(hwnd, IDC_KEY_TYPE, CB_ADDSTRING, 0, LPARAM(name ? name : L""));

  layout.owner = hwnd;
  layout.anchors.clear();  // the object may run more than once
  layout.AddControl(IDC_KEY_NUMBER_GROUP, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_KEY_NUMBER, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_KEY_FORMAT_LABEL, ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_KEY_INPUT_FORMAT, ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDOK, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDCANCEL, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  {
    CMuteNotifyScope mute(hwnd);
    SendDlgItemMessageW(hwnd, IDC_KEY_TYPE, CB_SETCURSEL, WPARAM(KeyType), 0);
    SendDlgItemMessageW(hwnd, IDC_KEY_INPUT_FORMAT, CB_SETCURSEL, WPARAM(InputFormat - 1), 0);
    SetDlgItemInt(hwnd, IDC_KEY_SIZE, UINT(KeySize), FALSE);
    BuildMask();
    ExchangeNumber(false);
  }
  app->ExchangeWindowPos(false, hwnd, kKeyDialogSlot, -1);
  return TRUE;
}

void CKeyDialog::BuildMask() {
  _KEY_MASK_INFO info;
  GetKeyMask(InputFormat, KeySize, info);
  numberEdit.SetMask(info.mask.c_str(), info.inputTemplate.c_str(), info.validChars.c_str());
}

bool CKeyDialog::ExchangeNumber(bool fromControl) {
  bool accepted = true;
  if (fromControl) {
    std::wstring text;
    GetWindowTextString(numberEdit.hwnd, text);
    if (text.empty())
      Key = {};
    else
      accepted = ParseKeyText(text.c_str(), InputFormat, KeySize, Key);
  }
  // Growing adds zero bytes; shrinking drops the top ones for good.
  for (int i = std::min(int(Key.Length), KeySize); i < kKeyMaxSize; ++i) Key.Data[i] = 0;
  Key.Length = BYTE(KeySize);
  if (!fromControl) {
    std::wstring text;
    FormatKeyText(Key, InputFormat, text);
    SetWindowTextW(numberEdit.hwnd, text.c_str());
  }
  return accepted;
}

void CKeyDialog::ChangeInputFormat(int format, int size) {
  ExchangeNumber(true);
  InputFormat = format;
  KeySize = size;
  CMuteNotifyScope mute(hwnd);
  BuildMask();
  ExchangeNumber(false);
}

bool CKeyDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDOK:
      OnOK();
      return true;
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case IDC_KEY_TYPE:
      if (notifyCode != CBN_SELCHANGE) break;
      {
        const LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
        if (index >= 0 && index < kKeyTypeCount) KeyType = int(index);
      }
      return true;
    case IDC_KEY_SIZE:
      if (notifyCode != EN_CHANGE) break;
      {
        std::wstring text;
        GetWindowTextString(control, text);
        uint64_t size = 0;
        CKeyTextReader reader(text.c_str());
        reader.SkipBlanks();
        // A size the key record cannot hold is ignored: size, key and mask stay as they are.
        if (reader.ReadDecimal(kKeyMaxSize, &size) && reader.AtEnd() && size >= 1)
          ChangeInputFormat(InputFormat, int(size));
      }
      return true;
    case IDC_KEY_INPUT_FORMAT:
      if (notifyCode != CBN_SELCHANGE) break;
      {
        const LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
        if (index >= 0 && index < 4) ChangeInputFormat(int(index) + 1, KeySize);
      }
      return true;
    default:
      break;
  }
  return CModalDialog::OnCommand(id, notifyCode, control);
}

void CKeyDialog::OnOK() {
  if (!ExchangeNumber(true)) {
    // Storing the old key in place of what was typed would lose the typing without a word.
    ShowMessageBoxRes(IDS_KEY_OUT_OF_RANGE, MB_OK | MB_ICONEXCLAMATION, hwnd);
    SendMessageW(hwnd, WM_NEXTDLGCTL, WPARAM(numberEdit.hwnd), TRUE);
    return;
  }
  CAppSettings& settings = App()->settings;
  {
    _DOC_UPDATE_INFO batch(&settings, this);
    if (settings.keyEditFormat != UINT(InputFormat)) {
      settings.keyEditFormat = UINT(InputFormat);
      settings.SetConfigModified(true);
    }
    settings.SetLastKey(UINT(KeyType), Key);
    settings.EndUpdate(batch);
  }
  EndDialog(IDOK);
}
