#include "PropertyDialog.h"

#include <commctrl.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MessageBox.h"
#include "Strings.h"
#include "PropertiesPage.h"
#include "TestListPage.h"
#include "TestVombra.h"

// Wide enough for the Russian "Hexadecimal".
constexpr int kRadioWidth = 125;

bool ScanNumber(const std::wstring& text, bool& hex, long long& value) {
  size_t start = 0;
  while (start < text.size() && iswspace(text[start])) ++start;
  size_t end = text.size();
  while (end > start && iswspace(text[end - 1])) --end;
  const std::wstring body = text.substr(start, end - start);
  hex = body.size() >= 2 && body[0] == L'0' && (body[1] == L'x' || body[1] == L'X');
  const wchar_t* digits = body.c_str() + (hex ? 2 : 0);
  if (!*digits || (hex && !iswxdigit(*digits))) return false;
  wchar_t* stop = nullptr;
  errno = 0;
  long long number = 0;
  if (hex) {
    number = static_cast<long long>(wcstoull(digits, &stop, 16));
  } else {
    number = wcstoll(digits, &stop, 10);
  }
  if (stop == digits || *stop || errno == ERANGE) return false;
  value = number;
  return true;
}

CPropertyDialog::CPropertyDialog(CTestVombra* host, UINT property) : host(host), property(property) {
  value.reset(new CVariantArray(1, static_cast<IMemoryManager*>(host)));
}

CPropertyDialog::~CPropertyDialog() = default;

LRESULT CPropertyDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_DESTROY:
      for (HWND& control : controls) {
        if (control) DestroyWindow(control);
        control = nullptr;
      }
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

HWND CPropertyDialog::Make(const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int x, int y, int cx,
                           int cy, UINT id) {
  HWND control = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, hwnd,
                                 reinterpret_cast<HMENU>(UINT_PTR(id)), g_hInstance, nullptr);
  if (control) {
    SendMessageW(control, WM_SETFONT, SendMessageW(hwnd, WM_GETFONT, 0, 0), FALSE);
    if (!writable) EnableWindow(control, FALSE);
    for (HWND& slot : controls) {
      if (!slot) {
        slot = control;
        break;
      }
    }
  }
  return control;
}

void CPropertyDialog::CreateEditors(const RECT& place) {
  const int x = place.left, y = place.top, width = place.right - place.left;
  std::wstring decimal, hexadecimal;
  LoadStr(IDS_RADIX_DECIMAL, decimal);
  LoadStr(IDS_RADIX_HEX, hexadecimal);
  const uint16_t vt = (*value)[0].vt;
  switch (vt) {
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8: {
      const bool wide = vt == VTYPE_I8 || vt == VTYPE_UI8;
      HWND edit = Make(L"Edit", L"", ES_RIGHT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, x, y, wide ? 160 : 100,
                       23, wide ? IDC_VALUE_NUMBER64 : IDC_VALUE_NUMBER);
      if (!wide) {
        INITCOMMONCONTROLSEX init{sizeof init, ICC_UPDOWN_CLASS};
        InitCommonControlsEx(&init);
        Make(UPDOWN_CLASSW, L"", UDS_WRAP | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS |
                 UDS_NOTHOUSANDS, WS_EX_CLIENTEDGE, 0, 0, 0, 0, IDC_VALUE_SPIN);
        (void)edit;
      }
      Make(L"Button", decimal.c_str(), BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 0, place.right - kRadioWidth, y, kRadioWidth, 21,
           IDC_RADIX_DECIMAL);
      Make(L"Button", hexadecimal.c_str(), BS_AUTORADIOBUTTON, 0, place.right - kRadioWidth, y + 21, kRadioWidth, 21,
           IDC_RADIX_HEX);
      break;
    }
    case VTYPE_BOOL: {
      std::wstring yes, no;
      LoadStr(IDS_TRUE, yes);
      LoadStr(IDS_FALSE, no);
      Make(L"Button", yes.c_str(), BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 0, x, y, 75, 23, IDC_VALUE_TRUE);
      Make(L"Button", no.c_str(), BS_AUTORADIOBUTTON, 0, x + 83, y, 75, 23, IDC_VALUE_FALSE);
      break;
    }
    case VTYPE_PWSTR:
      Make(L"Edit", L"", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, x, y, width, 23, IDC_VALUE_STRING);
      break;
    case VTYPE_BLOB:
      Make(L"Edit", L"", ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, x, y, width, 65,
           IDC_VALUE_BINARY);
      break;
    default:
      break;
  }
}

BOOL CPropertyDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  IComponentBase* component = host ? host->Component : nullptr;
  if (component) {
    try {
      writable = component->IsPropWritable(long(property));
    } catch (...) {
      writable = false;
    }
    if (!ReadProperty(component, long(property), &(*value)[0])) value->Clear(0);
  }
  RECT place{};
  if (HWND marker = GetDlgItem(hwnd, IDC_PROPDLG_PLACE)) {
    GetWindowRect(marker, &place);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&place), 2);
    DestroyWindow(marker);
  }
  CreateEditors(place);
  UINT typeText = 0;
  switch ((*value)[0].vt) {
    case VTYPE_EMPTY: typeText = IDS_VARIANT_TYPE_FIRST + 2; break;
    case VTYPE_NULL: typeText = IDS_VARIANT_TYPE_FIRST + 1; break;
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8: typeText = IDS_VARIANT_TYPE_FIRST + 3; break;
    case VTYPE_BOOL: typeText = IDS_VARIANT_TYPE_FIRST + 5; break;
    case VTYPE_PWSTR: typeText = IDS_VARIANT_TYPE_FIRST + 4; break;
    case VTYPE_BLOB: typeText = IDS_VARIANT_TYPE_FIRST + 6; break;
    default: break;
  }
  std::wstring text, ru, en;
  if (typeText) LoadStr(typeText, text);
  SetDlgItemTextW(hwnd, IDC_PROPDLG_TYPE, text.c_str());
  if (host) {
    host->GetPropName(ru, long(property), 1);
    host->GetPropName(en, long(property), 0);
  }
  SetDlgItemTextW(hwnd, IDC_PROPDLG_NAME, (ru + L" (" + en + L")").c_str());
  SetHexMode(false);
  ShowValue();
  if (HWND editor = Editor()) SetFocus(editor);
  CenterWindow();
  return FALSE;  // the focus is set
}

HWND CPropertyDialog::Editor() const { return controls[0]; }

void CPropertyDialog::SetHexMode(bool hex) {
  hexMode = hex;
  CheckRadioButton(hwnd, IDC_RADIX_DECIMAL, IDC_RADIX_HEX, hex ? IDC_RADIX_HEX : IDC_RADIX_DECIMAL);
  if (HWND spin = GetDlgItem(hwnd, IDC_VALUE_SPIN)) {
    SendMessageW(spin, UDM_SETBASE, hex ? 16 : 10, 0);
    if (hex) {
      SendMessageW(spin, UDM_SETRANGE32, 0, -1);
    } else {
      SendMessageW(spin, UDM_SETRANGE32, WPARAM(INT_MIN), INT_MAX);
    }
  }
}

void CPropertyDialog::ShowValue() {
  const tVariant& v = (*value)[0];
  std::wstring text;
  switch (v.vt) {
    case VTYPE_I4:
    case VTYPE_UI4:
      StrFormat(text, hexMode ? L"0x%.8X" : L"%d", v.lVal);
      SetDlgItemTextW(hwnd, IDC_VALUE_NUMBER, text.c_str());
      break;
    case VTYPE_I8:
      StrFormat(text, hexMode ? L"0x%.8llX" : L"%lld", v.llVal);
      SetDlgItemTextW(hwnd, IDC_VALUE_NUMBER64, text.c_str());
      break;
    case VTYPE_UI8:
      StrFormat(text, hexMode ? L"0x%.8llX" : L"%llu", v.ullVal);
      SetDlgItemTextW(hwnd, IDC_VALUE_NUMBER64, text.c_str());
      break;
    case VTYPE_BOOL:
      CheckRadioButton(hwnd, IDC_VALUE_TRUE, IDC_VALUE_FALSE, v.bVal ? IDC_VALUE_TRUE : IDC_VALUE_FALSE);
      break;
    case VTYPE_PWSTR:
      if (v.pwstrVal) text.assign(v.pwstrVal, v.wstrLen);
      SetDlgItemTextW(hwnd, IDC_VALUE_STRING, text.c_str());
      break;
    case VTYPE_BLOB:
      BytesToHexStr(reinterpret_cast<const BYTE*>(v.pstrVal), v.pstrVal ? v.strLen : 0, text);
      SetDlgItemTextW(hwnd, IDC_VALUE_BINARY, text.c_str());
      break;
    default:
      break;
  }
}

bool CPropertyDialog::ReadValue() {
  const uint16_t vt = (*value)[0].vt;
  std::wstring text;
  switch (vt) {
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8: {
      const bool wide = vt == VTYPE_I8 || vt == VTYPE_UI8;
      GetDlgItemText(wide ? IDC_VALUE_NUMBER64 : IDC_VALUE_NUMBER, text);
      bool hex = false;
      long long number = 0;
      const bool scanned = ScanNumber(text, hex, number);
      if (hex != hexMode) SetHexMode(hex);
      if (!scanned) return false;
      if (vt == VTYPE_I4) value->SetInt(0, int32_t(number));
      if (vt == VTYPE_UI4) value->SetUInt(0, uint32_t(number));
      if (vt == VTYPE_I8) value->SetInt64(0, number);
      if (vt == VTYPE_UI8) value->SetUInt64(0, uint64_t(number));
      return true;
    }
    case VTYPE_BOOL:
      value->SetBool(0, IsDlgButtonChecked(hwnd, IDC_VALUE_TRUE) == BST_CHECKED);
      return true;
    case VTYPE_PWSTR:
      GetDlgItemText(IDC_VALUE_STRING, text);
      value->SetString(0, text.c_str(), int64_t(text.size()));
      return true;
    case VTYPE_BLOB: {
      GetDlgItemText(IDC_VALUE_BINARY, text);
      std::vector<BYTE> bytes((text.size() + 1) / 2 + 1);
      const size_t count = HexToBytes(text.c_str(), int(text.size()), bytes.data(), (text.size() + 1) / 2);
      value->SetBlob(0, bytes.data(), int64_t(count));
      return true;
    }
    default:
      return true;
  }
}

void CPropertyDialog::OnOk() {
  if (!writable || !host || !host->Component) return EndDialog(IDOK);
  if (!ReadValue()) {
    ShowMessageBoxRes(IDS_ENTER_NUMBER, MB_OK | MB_ICONERROR, hwnd);
    if (HWND editor = Editor()) SetFocus(editor);
    return;
  }
  bool stored = false;
  {
    _DOC_UPDATE_INFO batch(host);
    host->LastErrorCode = 0;
    host->LastErrorDescription.clear();
    try {
      stored = host->Component->SetPropVal(long(property), &(*value)[0]);
    } catch (...) {
      stored = false;
    }
    if (stored) host->UpdateAllViews(HOST_HINT_SETTINGS);
  }
  if (stored) return EndDialog(IDOK);
  // The add-in's own reason: its AddError of this call, else its last error.
  std::wstring reason = host->LastErrorCode ? host->LastErrorDescription : std::wstring();
  if (reason.empty()) {
    try {
      host->GetLastError(&reason);
    } catch (const std::exception& e) {
      reason = ExceptionText(e);
    }
  }
  ShowMessageBox(reason.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

bool CPropertyDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDOK:
      OnOk();
      return true;
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case IDC_RADIX_DECIMAL:
    case IDC_RADIX_HEX: {
      const bool hex = id == IDC_RADIX_HEX;
      if (notifyCode != BN_CLICKED || hex == hexMode) return true;
      // A value that does not scan stays as it was.
      ReadValue();
      SetHexMode(hex);
      ShowValue();
      return true;
    }
    default:
      return CModalDialog::OnCommand(id, notifyCode, control);
  }
}
