#include "MifarePages.h"

#include <windowsx.h>

#include <cstring>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "ReadKeysPage.h"
#include "Strings.h"
#include "Wnd.h"

namespace {

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool ParseAuthKey(const wchar_t* text, size_t bytes, _AUTHKEY_INFO& out) {
  if (!text) return false;
  const wchar_t* digits = text;
  if (digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) digits += 2;
  const size_t count = wcslen(digits);
  if (count == 0 || count > bytes * 2) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!IsHexDigit(digits[i])) return false;
  }
  BYTE data[16] = {};
  HexToBytesReversed(digits, int(count), data, bytes);
  std::memset(&out, 0, sizeof out);
  out.Length = BYTE(bytes);
  std::memcpy(out.Data, data, bytes);
  return true;
}

bool SameKey(const _AUTHKEY_INFO& a, const _AUTHKEY_INFO& b) {
  return a.Length == b.Length && std::memcmp(a.Data, b.Data, a.Length) == 0;
}

HMENU LoadMenuResource(UINT id) {
  HMENU bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!bar && g_hResInstance != g_hInstance) bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return bar;
}

int ComboSelection(HWND page, UINT id) { return int(SendDlgItemMessageW(page, int(id), CB_GETCURSEL, 0, 0)); }

}  // namespace

bool ParseAuthKeyMC(const wchar_t* text, _AUTHKEY_INFO& out) { return ParseAuthKey(text, 6, out); }
bool ParseAuthKeyMP(const wchar_t* text, _AUTHKEY_INFO& out) { return ParseAuthKey(text, 16, out); }

std::wstring AuthKeyText(const _AUTHKEY_INFO& key) {
  std::wstring text;
  BytesToHexStrReversed(key.Data, std::min<size_t>(key.Length, sizeof key.Data), text);
  return text;
}

// ---- Cell rows ----

void CMCKeysViewData::MakeRow(int row, ROW& out) {
  out.text.clear();
  LoadStrAppendFormat(out.text, IDS_KEY_CELL, row);
  out.cell = row;
}

void CMCKeysViewData::FillCache(int from, int to) {
  if (from < 0) from = 0;
  if (to > 31) to = 31;
  cache.clear();
  cacheFrom = from;
  for (int row = from; row <= to; ++row) {
    cache.emplace_back();
    MakeRow(row, cache.back());
  }
}

void CMCKeysViewData::OnCacheHint(int from, int to) {
  if (from >= cacheFrom && to < cacheFrom + int(cache.size())) return;
  FillCache(from, to);
}

const CMCKeysViewData::ROW& CMCKeysViewData::GetRow(int row) {
  if (row >= cacheFrom && row < cacheFrom + int(cache.size())) return cache[size_t(row - cacheFrom)];
  MakeRow(row, spare);
  return spare;
}

void CMCKeysViewData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (item.iItem < 0 || item.iItem >= 32) return;
  const ROW& row = GetRow(item.iItem);
  if (item.mask & LVIF_TEXT) item.pszText = const_cast<wchar_t*>(row.text.c_str());
  if (item.mask & LVIF_STATE) {
    const bool on = (mask >> (row.cell % 32)) & 1;
    item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    item.stateMask |= LVIS_STATEIMAGEMASK;
  }
}

// ---- Pages ----

CMifareCPage::CMifareCPage() : CMifareCPage(App()->settings) {}

CMifareCPage::CMifareCPage(CAppSettings& settings)
    : CMifareCPage(settings, settings.MifareC, new CMCKeysViewData, IDD_READ_KEYS_MIFARE_C) {}

CMifareCPage::CMifareCPage(CAppSettings& settings, _MIFAREREAD_INFO& group, CMCKeysViewData* data,
                           UINT templateId)
    : CAppPage(templateId),
      data(data),
      m_settings(settings),
      m_group(group),
      m_plus(templateId == IDD_READ_KEYS_MIFARE_P) {}

CMifareCPage::~CMifareCPage() {
  if (IsRealHandle(hwnd)) Destroy();
  delete data;
}

CMifarePPage::CMifarePPage() : CMifarePPage(App()->settings) {}

CMifarePPage::CMifarePPage(CAppSettings& settings)
    : CMifareCPage(settings, settings.MifareP, new CMPKeysViewData, IDD_READ_KEYS_MIFARE_P) {}

bool CMifareCPage::ParseKey(const wchar_t* text, _AUTHKEY_INFO& out) const {
  return m_plus ? ParseAuthKeyMP(text, out) : ParseAuthKeyMC(text, out);
}

LRESULT CMifareCPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_DESTROY:
      data->owner = nullptr;
      data->callback = nullptr;
      return 0;
    case WM_CONTEXTMENU: {
      HWND list = GetDlgItem(hwnd, IDC_RK_KEY_CELLS);
      if (HWND(wParam) != list) break;
      if (IsInMenuMode()) return 0;
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (at.x == -1 && at.y == -1) {
        RECT rect;
        GetWindowRect(list, &rect);
        at = {rect.left + 8, rect.top + 8};
      }
      HMENU bar = LoadMenuResource(IDR_KEY_CELLS_MENU);
      if (HMENU popup = bar ? GetSubMenu(bar, 0) : nullptr)
        TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd, nullptr);
      if (bar) DestroyMenu(bar);
      return 0;
    }
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CMifareCPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  FillNumberCombo(GetDlgItem(hwnd, IDC_RK_SECTOR), 0, 39);
  // "0x" and the digits of the page's key: 12 for Classic, 32 for Plus.
  SendDlgItemMessageW(hwnd, IDC_RK_AUTH_KEY, EM_LIMITTEXT, m_plus ? 34 : 14, 0);
  HWND list = GetDlgItem(hwnd, IDC_RK_KEY_CELLS);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);
  SendMessageW(list, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
  data->owner = this;
  data->callback = &CMifareCPage::OnListDataEvent;
  // The cell list takes the key edit's place: the two take turns.
  RECT edit;
  GetWindowRect(GetDlgItem(hwnd, IDC_RK_AUTH_KEY), &edit);
  MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&edit), 2);
  SetWindowPos(list, nullptr, edit.left, edit.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  layout.owner = hwnd;
  layout.anchors.clear();
  layout.AddControl(IDC_RK_AUTH_KEY, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_RK_KEY_CELLS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.Capture();
  UpdateData(false);
  return TRUE;
}

void CMifareCPage::UpdateKeySource() {
  CMuteNotifyScope mute(hwnd);
  const bool cells = (m_group.Flags & 0x2) != 0;
  CheckRadioButton(hwnd, IDC_RK_KEY_VALUE, IDC_RK_KEY_CELLS_MODE, cells ? IDC_RK_KEY_CELLS_MODE : IDC_RK_KEY_VALUE);
  ShowWindow(GetDlgItem(hwnd, IDC_RK_AUTH_KEY), cells ? SW_HIDE : SW_SHOWNA);
  ShowWindow(GetDlgItem(hwnd, IDC_RK_KEY_CELLS), cells ? SW_SHOWNA : SW_HIDE);
}

void CMifareCPage::FillBlockCombo() {
  HWND combo = GetDlgItem(hwnd, IDC_RK_BLOCK);
  const int last = m_group.Sect < 32 ? 3 : 15;
  FillNumberCombo(combo, 0, last);
  SendMessageW(combo, CB_SETCURSEL, m_group.Block <= UINT(last) ? WPARAM(m_group.Block) : WPARAM(-1), 0);
}

void CMifareCPage::EnableControls() {
  const bool on = m_group.Enabled;
  EnableWithLabel(hwnd, IDC_RK_AUTH_KEY_A, on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_AUTH_KEY_B), on);
  EnableWithLabel(hwnd, IDC_RK_KEY_VALUE, on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_KEY_CELLS_MODE), on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_AUTH_KEY), on);
  EnableWindow(GetDlgItem(hwnd, IDC_RK_KEY_CELLS), on);
  EnableWithLabel(hwnd, IDC_RK_SECTOR, on);
  EnableWithLabel(hwnd, IDC_RK_BLOCK, on);
}

bool CMifareCPage::StoreAuthKey() {
  std::wstring text;
  GetDlgItemText(IDC_RK_AUTH_KEY, text);
  _AUTHKEY_INFO key;
  if (!ParseKey(text.c_str(), key)) return false;
  if (!SameKey(key, m_group.AuthKey)) {
    m_group.AuthKey = key;
    m_settings.SetSettingsModified(true);
  }
  keyChanged = false;
  return true;
}

void CMifareCPage::SetMask(UINT mask) {
  if (m_plus) {
    m_settings.SetMifarePMask(mask);
  } else {
    m_settings.SetMifareCMask(mask);
  }
  data->mask = m_group.Mask;
}

void CMifareCPage::ToggleCell(int row) {
  if (row < 0 || row >= 32) return;
  SetMask(m_group.Mask ^ (1u << (data->GetRow(row).cell % 32)));
  SendDlgItemMessageW(hwnd, IDC_RK_KEY_CELLS, LVM_REDRAWITEMS, row, row);
}

void CMifareCPage::OnListDataEvent(void* owner, CVirtualListViewData*, int) {
  auto* self = static_cast<CMifareCPage*>(owner);
  HWND list = GetDlgItem(self->hwnd, IDC_RK_KEY_CELLS);
  SendMessageW(list, LVM_SETITEMCOUNT, 32, LVSICF_NOSCROLL);
  InvalidateRect(list, nullptr, TRUE);
}

void CMifareCPage::UpdateData(bool save) {
  if (!hwnd) return;
  if (save) {
    m_group.Enabled = IsChecked(hwnd, IDC_RK_MIFARE_ENABLED);
    // A combo without a selection (a stored value it does not offer) keeps the stored value.
    const int sector = ComboSelection(hwnd, IDC_RK_SECTOR);
    if (sector != CB_ERR) m_group.Sect = UINT(sector);
    const int block = ComboSelection(hwnd, IDC_RK_BLOCK);
    if (block != CB_ERR) m_group.Block = UINT(block);
    UINT flags = m_group.Flags & ~0x3u;
    if (!IsChecked(hwnd, IDC_RK_AUTH_KEY_A)) flags |= 0x1;
    if (!IsChecked(hwnd, IDC_RK_KEY_VALUE)) flags |= 0x2;
    m_group.Flags = flags;
    if (keyChanged && !StoreAuthKey())
      throw CRefusedTextException(GetDlgItem(hwnd, IDC_RK_AUTH_KEY),
                                  m_plus ? IDS_RK_REFUSED_MP_KEY : IDS_RK_REFUSED_MC_KEY);
    return;
  }
  CMuteNotifyScope mute(hwnd);
  SetChecked(hwnd, IDC_RK_MIFARE_ENABLED, m_group.Enabled);
  CheckRadioButton(hwnd, IDC_RK_AUTH_KEY_A, IDC_RK_AUTH_KEY_B,
                   (m_group.Flags & 0x1) ? IDC_RK_AUTH_KEY_B : IDC_RK_AUTH_KEY_A);
  UpdateKeySource();
  SendDlgItemMessageW(hwnd, IDC_RK_SECTOR, CB_SETCURSEL, m_group.Sect < 40 ? WPARAM(m_group.Sect) : WPARAM(-1), 0);
  SetDlgItemTextW(hwnd, IDC_RK_AUTH_KEY, AuthKeyText(m_group.AuthKey).c_str());
  keyChanged = false;
  FillBlockCombo();
  data->mask = m_group.Mask;
  data->FillCache(0, 31);
  data->FireEvent();
  EnableControls();
}

bool CMifareCPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDC_RK_AUTH_KEY_A:
    case IDC_RK_AUTH_KEY_B: {
      const UINT flag = IsChecked(hwnd, IDC_RK_AUTH_KEY_B) ? 0x1 : 0;
      if ((m_group.Flags & 0x1) != flag) {
        m_group.Flags = (m_group.Flags & ~0x1u) | flag;
        m_settings.SetSettingsModified(true);
      }
      return true;
    }
    case IDC_RK_KEY_VALUE:
    case IDC_RK_KEY_CELLS_MODE: {
      const UINT flag = IsChecked(hwnd, IDC_RK_KEY_CELLS_MODE) ? 0x2 : 0;
      if ((m_group.Flags & 0x2) != flag) {
        m_group.Flags = (m_group.Flags & ~0x2u) | flag;
        m_settings.SetSettingsModified(true);
        UpdateKeySource();
      }
      return true;
    }
    case IDC_RK_MIFARE_ENABLED: {
      const bool on = IsChecked(hwnd, IDC_RK_MIFARE_ENABLED);
      if (on != m_group.Enabled) StoreReadEnabled(m_settings, this, m_group.Enabled, on);
      EnableControls();
      return true;
    }
    case IDC_RK_SECTOR:
      if (notifyCode == CBN_SELCHANGE) {
        const int sector = ComboSelection(hwnd, IDC_RK_SECTOR);
        if (sector != CB_ERR) m_group.Sect = UINT(sector);
        m_settings.SetSettingsModified(true);
        FillBlockCombo();
      }
      return true;
    case IDC_RK_BLOCK:
      if (notifyCode == CBN_SELCHANGE) {
        const int block = ComboSelection(hwnd, IDC_RK_BLOCK);
        if (block != CB_ERR) m_group.Block = UINT(block);
        m_settings.SetSettingsModified(true);
      }
      return true;
    case IDC_RK_AUTH_KEY:
      if (notifyCode == EN_CHANGE) {
        keyChanged = true;
        StoreAuthKey();
      } else if (notifyCode == EN_KILLFOCUS && keyChanged) {
        StoreAuthKey();
      }
      return true;
    case ID_KEY_CELLS_CHECK_ALL:
    case ID_KEY_CELLS_UNCHECK_ALL:
      if (control) break;
      SetMask(id == ID_KEY_CELLS_CHECK_ALL ? 0xFFFFFFFF : 0);
      data->FillCache(0, 31);
      data->FireEvent();
      return true;
    default:
      break;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

bool CMifareCPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id != IDC_RK_KEY_CELLS) return CAppPage::OnNotify(id, header, result);
  switch (header->code) {
    case LVN_GETDISPINFOW:
      data->GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      data->OnCacheHint(hint->iFrom, hint->iTo);
      return true;
    }
    case NM_CLICK: {
      auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
      int item = -1;
      if (click->iItem >= 0 && click->iSubItem == 0 && HitsStateIcon(header->hwndFrom, click->ptAction, &item) &&
          item == click->iItem) {
        ToggleCell(item);
        *result = 0;
        return true;
      }
      break;
    }
    case LVN_KEYDOWN:
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_SPACE) {
        ToggleCell(int(SendMessageW(header->hwndFrom, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED)));
        return true;
      }
      break;
    default:
      break;
  }
  return CAppPage::OnNotify(id, header, result);
}
