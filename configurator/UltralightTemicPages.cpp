#include "UltralightTemicPages.h"

#include <cwchar>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "ReadKeysPage.h"
#include "Wnd.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// One item "a,b" or "a,b,c" of [begin, end).
bool ParseScanItem(const wchar_t* begin, const wchar_t* end, UINT* entry) {
  static const UINT kLimits[3] = {255, 255, 65535};
  UINT numbers[3] = {};
  int count = 0;
  const wchar_t* p = begin;
  for (;;) {
    while (p < end && IsBlank(*p)) ++p;
    UINT value = 0;
    int digits = 0;
    for (; p < end && *p >= L'0' && *p <= L'9'; ++p, ++digits) {
      value = value * 10 + UINT(*p - L'0');
      if (value > kLimits[count]) return false;
    }
    if (!digits) return false;
    numbers[count++] = value;
    if (p == end) break;
    if (*p != L',' || count == 3) return false;
    ++p;
  }
  if (count < 2) return false;
  *entry = numbers[0] | numbers[1] << 8 | numbers[2] << 16;
  return true;
}

int ComboSelection(HWND page, UINT id) { return int(SendDlgItemMessageW(page, int(id), CB_GETCURSEL, 0, 0)); }

}  // namespace

bool ParseTemicScanParams(const wchar_t* text, std::vector<UINT>& list) {
  list.clear();
  if (!text) return false;
  const wchar_t* p = text;
  while (*p) {
    const wchar_t* end = wcschr(p, L';');
    if (!end) end = p + wcslen(p);
    if (end > p) {
      UINT entry = 0;
      if (!ParseScanItem(p, end, &entry)) return false;
      list.push_back(entry);
    }
    p = *end ? end + 1 : end;
  }
  return !list.empty();
}

std::wstring TemicScanParamsText(const std::vector<UINT>& list) {
  std::wstring text;
  for (UINT entry : list) StrAppendFormat(text, L"%u,%u,%u;", entry & 0xFF, (entry >> 8) & 0xFF, entry >> 16);
  return text;
}

bool ParseTemicPassword(const wchar_t* text, UINT* out) {
  if (!text) return false;
  const wchar_t* digits = text;
  if (digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) digits += 2;
  const size_t count = wcslen(digits);
  if (count == 0 || count > 8) return false;
  UINT value = 0;
  for (size_t i = 0; i < count; ++i) {
    const wchar_t c = digits[i];
    if (!IsHexDigit(c)) return false;
    value = value << 4 | UINT(c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
  }
  *out = value;
  return true;
}

// ---- Mifare Ultralight ----

CMifareULPage::CMifareULPage() : CMifareULPage(App()->settings) {}

CMifareULPage::CMifareULPage(CAppSettings& settings) : CAppPage(IDD_READ_KEYS_MIFARE_UL), m_settings(settings) {}

LRESULT CMifareULPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  if (message == WM_DESTROY) return 0;
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CMifareULPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  FillNumberCombo(GetDlgItem(hwnd, IDC_RK_UL_PAGE), 0, 15);
  FillNumberCombo(GetDlgItem(hwnd, IDC_RK_UL_COUNT), 1, 4);
  UpdateData(false);
  return TRUE;
}

void CMifareULPage::EnableControls() {
  EnableWithLabel(hwnd, IDC_RK_UL_PAGE, m_settings.MifareUL.Enabled);
  EnableWithLabel(hwnd, IDC_RK_UL_COUNT, m_settings.MifareUL.Enabled);
}

void CMifareULPage::UpdateData(bool save) {
  if (!hwnd) return;
  _ULREAD_INFO& group = m_settings.MifareUL;
  if (save) {
    group.Enabled = IsChecked(hwnd, IDC_RK_UL_ENABLED);
    const int page = ComboSelection(hwnd, IDC_RK_UL_PAGE);
    if (page != CB_ERR) group.Page = UINT(page);
    const int count = ComboSelection(hwnd, IDC_RK_UL_COUNT);
    if (count != CB_ERR) group.Count = UINT(count) + 1;
    return;
  }
  CMuteNotifyScope mute(hwnd);
  SetChecked(hwnd, IDC_RK_UL_ENABLED, group.Enabled);
  SendDlgItemMessageW(hwnd, IDC_RK_UL_PAGE, CB_SETCURSEL, group.Page <= 15 ? WPARAM(group.Page) : WPARAM(-1), 0);
  SendDlgItemMessageW(hwnd, IDC_RK_UL_COUNT, CB_SETCURSEL,
                      group.Count >= 1 && group.Count <= 4 ? WPARAM(group.Count - 1) : WPARAM(-1), 0);
  EnableControls();
}

bool CMifareULPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  _ULREAD_INFO& group = m_settings.MifareUL;
  switch (id) {
    case IDC_RK_UL_ENABLED: {
      const bool on = IsChecked(hwnd, IDC_RK_UL_ENABLED);
      if (on != group.Enabled) StoreReadEnabled(m_settings, this, group.Enabled, on);
      EnableControls();
      return true;
    }
    case IDC_RK_UL_PAGE:
    case IDC_RK_UL_COUNT:
      if (notifyCode == CBN_SELCHANGE) {
        const int selection = ComboSelection(hwnd, id);
        if (selection != CB_ERR) {
          if (id == IDC_RK_UL_PAGE) {
            group.Page = UINT(selection);
          } else {
            group.Count = UINT(selection) + 1;
          }
        }
        m_settings.SetSettingsModified(true);
      }
      return true;
    default:
      return CAppPage::OnCommand(id, notifyCode, control);
  }
}

// ---- Temic ----

CTemicPage::CTemicPage() : CTemicPage(App()->settings) {}

CTemicPage::CTemicPage(CAppSettings& settings) : CAppPage(IDD_READ_KEYS_TEMIC), m_settings(settings) {}

LRESULT CTemicPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_DESTROY:
      return 0;
    default:
      return CAppPage::WindowProc(wnd, message, wParam, lParam);
  }
}

BOOL CTemicPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  FillNumberCombo(GetDlgItem(hwnd, IDC_RK_TEMIC_BLOCK), 0, 7);
  FillNumberCombo(GetDlgItem(hwnd, IDC_RK_TEMIC_COUNT), 1, 4);
  SendDlgItemMessageW(hwnd, IDC_RK_TEMIC_PASSWORD, EM_LIMITTEXT, 10, 0);
  // The manufacturer's-code box and the block/count row take turns in one place.
  RECT box, combo;
  HWND fullId = GetDlgItem(hwnd, IDC_RK_TEMIC_FULL_ID);
  GetWindowRect(fullId, &box);
  GetWindowRect(GetDlgItem(hwnd, IDC_RK_TEMIC_BLOCK), &combo);
  MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&box), 2);
  MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&combo), 2);
  SetWindowPos(fullId, nullptr, box.left, combo.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  layout.owner = hwnd;
  layout.anchors.clear();
  const UINT stretch = ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT;
  layout.AddControl(IDC_RK_TEMIC_SCAN_GROUP, stretch);
  layout.AddControl(IDC_RK_TEMIC_SCAN, stretch);
  layout.AddControl(IDC_RK_TEMIC_READ_GROUP, stretch);
  layout.Capture();
  UpdateData(false);
  return TRUE;
}

void CTemicPage::EnableControls() {
  const _TEMICREAD_INFO& group = m_settings.Temic;
  const bool on = group.Enabled;
  EnableWithLabel(hwnd, IDC_RK_TEMIC_UID, on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_TEMIC_DATA), on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_TEMIC_USE_PASSWORD), on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_TEMIC_PASSWORD), on && (group.Flags & TF_PASSWORD));
  const bool data = (group.Flags & TF_DATA) != 0;
  HWND fullId = GetDlgItem(hwnd, IDC_RK_TEMIC_FULL_ID);
  ShowWindow(fullId, data ? SW_HIDE : SW_SHOWNA);
  EnableWindow(fullId, on);
  for (UINT id : {UINT(IDC_RK_TEMIC_BLOCK), UINT(IDC_RK_TEMIC_COUNT)}) {
    ShowWithLabel(hwnd, id, data);
    EnableWithLabel(hwnd, id, on);
  }
}

bool CTemicPage::StoreScanParams() {
  std::wstring text;
  GetDlgItemText(IDC_RK_TEMIC_SCAN, text);
  std::vector<UINT> list;
  if (!ParseTemicScanParams(text.c_str(), list)) return false;
  if (list != m_settings.Temic.ScanParams) {
    m_settings.Temic.ScanParams = list;
    m_settings.SetSettingsModified(true);
  }
  scanChanged = false;
  return true;
}

bool CTemicPage::StorePassword() {
  std::wstring text;
  GetDlgItemText(IDC_RK_TEMIC_PASSWORD, text);
  UINT password = 0;
  if (!ParseTemicPassword(text.c_str(), &password)) return false;
  if (password != m_settings.Temic.Password) {
    m_settings.Temic.Password = password;
    m_settings.SetSettingsModified(true);
  }
  passwordChanged = false;
  return true;
}

void CTemicPage::UpdateData(bool save) {
  if (!hwnd) return;
  _TEMICREAD_INFO& group = m_settings.Temic;
  if (save) {
    if (scanChanged && !StoreScanParams())
      throw CRefusedTextException(GetDlgItem(hwnd, IDC_RK_TEMIC_SCAN), IDS_RK_REFUSED_SCAN);
    if (passwordChanged && !StorePassword())
      throw CRefusedTextException(GetDlgItem(hwnd, IDC_RK_TEMIC_PASSWORD), IDS_RK_REFUSED_PASSWORD);
    return;
  }
  CMuteNotifyScope mute(hwnd);
  SetDlgItemTextW(hwnd, IDC_RK_TEMIC_SCAN, TemicScanParamsText(group.ScanParams).c_str());
  scanChanged = false;
  SetChecked(hwnd, IDC_RK_TEMIC_ENABLED, group.Enabled);
  SetChecked(hwnd, IDC_RK_TEMIC_FULL_ID, group.Flags & TF_FULL_ID);
  CheckRadioButton(hwnd, IDC_RK_TEMIC_UID, IDC_RK_TEMIC_DATA,
                   (group.Flags & TF_DATA) ? IDC_RK_TEMIC_DATA : IDC_RK_TEMIC_UID);
  SendDlgItemMessageW(hwnd, IDC_RK_TEMIC_BLOCK, CB_SETCURSEL, group.Block <= 7 ? WPARAM(group.Block) : WPARAM(-1),
                      0);
  SendDlgItemMessageW(hwnd, IDC_RK_TEMIC_COUNT, CB_SETCURSEL,
                      group.Count >= 1 && group.Count <= 4 ? WPARAM(group.Count - 1) : WPARAM(-1), 0);
  SetChecked(hwnd, IDC_RK_TEMIC_USE_PASSWORD, group.Flags & TF_PASSWORD);
  wchar_t password[16];
  swprintf(password, 16, L"%08X", group.Password);
  SetDlgItemTextW(hwnd, IDC_RK_TEMIC_PASSWORD, password);
  passwordChanged = false;
  EnableControls();
}

bool CTemicPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  _TEMICREAD_INFO& group = m_settings.Temic;
  switch (id) {
    case IDC_RK_TEMIC_UID:
    case IDC_RK_TEMIC_DATA: {
      const UINT flag = IsChecked(hwnd, IDC_RK_TEMIC_DATA) ? UINT(TF_DATA) : 0;
      if ((group.Flags & TF_DATA) != flag) {
        group.Flags = (group.Flags & ~UINT(TF_DATA)) | flag;
        m_settings.SetSettingsModified(true);
      }
      {
        CMuteNotifyScope mute(hwnd);
        CheckRadioButton(hwnd, IDC_RK_TEMIC_UID, IDC_RK_TEMIC_DATA, flag ? IDC_RK_TEMIC_DATA : IDC_RK_TEMIC_UID);
      }
      EnableControls();
      return true;
    }
    case IDC_RK_TEMIC_USE_PASSWORD:
      group.Flags = IsChecked(hwnd, id) ? group.Flags | TF_PASSWORD : group.Flags & ~UINT(TF_PASSWORD);
      m_settings.SetSettingsModified(true);
      EnableControls();
      return true;
    case IDC_RK_TEMIC_ENABLED:
      if (notifyCode == BN_CLICKED) {
        const bool on = IsChecked(hwnd, id);
        if (on != group.Enabled) StoreReadEnabled(m_settings, this, group.Enabled, on);
        EnableControls();
      }
      return true;
    case IDC_RK_TEMIC_FULL_ID:
      if (notifyCode == BN_CLICKED) {
        group.Flags = IsChecked(hwnd, id) ? group.Flags | TF_FULL_ID : group.Flags & ~UINT(TF_FULL_ID);
        m_settings.SetSettingsModified(true);
      }
      return true;
    case IDC_RK_TEMIC_SCAN:
      if (notifyCode == EN_CHANGE) {
        scanChanged = true;
        StoreScanParams();
      } else if (notifyCode == EN_KILLFOCUS && scanChanged) {
        StoreScanParams();
      }
      return true;
    case IDC_RK_TEMIC_PASSWORD:
      if (notifyCode == EN_CHANGE) {
        passwordChanged = true;
        StorePassword();
      } else if (notifyCode == EN_KILLFOCUS && passwordChanged) {
        StorePassword();
      }
      return true;
    case IDC_RK_TEMIC_BLOCK:
    case IDC_RK_TEMIC_COUNT:
      if (notifyCode == CBN_SELCHANGE) {
        const int selection = ComboSelection(hwnd, id);
        if (selection != CB_ERR) {
          if (id == IDC_RK_TEMIC_BLOCK) {
            group.Block = UINT(selection);
          } else {
            group.Count = UINT(selection) + 1;
          }
        }
        m_settings.SetSettingsModified(true);
      }
      return true;
    default:
      return CAppPage::OnCommand(id, notifyCode, control);
  }
}
