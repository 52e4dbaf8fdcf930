#include "ReadKeysPage.h"

#include <windowsx.h>

#include <string>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "MainFrame.h"
#include "MifarePages.h"
#include "Strings.h"
#include "UltralightTemicPages.h"
#include "Wnd.h"

namespace {

HMENU LoadMenuResource(UINT id) {
  HMENU bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!bar && g_hResInstance != g_hInstance) bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return bar;
}

bool IsStatic(HWND wnd) {
  wchar_t name[16] = {};
  GetClassNameW(wnd, name, 16);
  return lstrcmpiW(name, L"Static") == 0;
}

HWND LabelBefore(HWND control) {
  HWND previous = control ? GetWindow(control, GW_HWNDPREV) : nullptr;
  return previous && IsStatic(previous) ? previous : nullptr;
}

}  // namespace

// ---- Shared helpers ----

CRefusedTextException::CRefusedTextException(HWND edit, UINT messageId) : edit(edit) {
  std::wstring text;
  LoadStr(messageId, text);
  WideToAnsi(text.c_str(), -1, m_message);
}

bool ParseDelayText(const wchar_t* text, UINT* out) {
  if (!text) return false;
  const wchar_t* p = text;
  const bool negative = *p == L'-';
  if (negative) ++p;
  if (!*p) return false;
  long long value = 0;
  for (; *p; ++p) {
    if (*p < L'0' || *p > L'9') return false;
    value = value * 10 + (*p - L'0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  if (value < -1 || value > 2147483647LL) return false;
  *out = UINT(int(value));
  return true;
}

bool HitsStateIcon(HWND list, POINT point, int* item) {
  LVHITTESTINFO hit{};
  hit.pt = point;
  SendMessageW(list, LVM_HITTEST, 0, LPARAM(&hit));
  if (item) *item = hit.iItem;
  return hit.iItem >= 0 && (hit.flags & LVHT_ONITEMSTATEICON) != 0;
}

void EnableWithLabel(HWND page, UINT id, bool enable) {
  HWND control = GetDlgItem(page, int(id));
  if (!control) return;
  EnableWindow(control, enable);
  if (HWND label = LabelBefore(control)) EnableWindow(label, enable);
}

void ShowWithLabel(HWND page, UINT id, bool show) {
  HWND control = GetDlgItem(page, int(id));
  if (!control) return;
  ShowWindow(control, show ? SW_SHOWNA : SW_HIDE);
  if (HWND label = LabelBefore(control)) ShowWindow(label, show ? SW_SHOWNA : SW_HIDE);
}

void FillNumberCombo(HWND combo, int first, int last) {
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (int i = first; i <= last; ++i) {
    const std::wstring text = std::to_wstring(i);
    SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(text.c_str()));
  }
}

void StoreReadEnabled(CAppSettings& settings, void* sender, bool& field, bool on) {
  _DOC_UPDATE_INFO batch(&settings, sender);
  field = on;
  settings.UpdateAllViews(HINT_READ_ENABLED);
  settings.SetSettingsModified(true);
}

const _KEY_TYPES_GROUP kKeyTypeGroups[7] = {
    {32867, 32875, 0x70},          // radio fobs
    {32868, 32876, 0x201C00},      // Mifare Classic 1K, 2K, 4K, Mini
    {32869, 32877, 0x7E000},       // Mifare Plus and Smart MX
    {32870, 32878, 0x27FC00},      // both of the above
    {32871, 32879, 0x200},         // Mifare Ultralight
    {32872, 32880, 0x100},         // Temic
    {ID_KEY_TYPES_CHECK_ALL, ID_KEY_TYPES_UNCHECK_ALL, KEY_TYPES_MASK},
};

void SetKeyTypesMenuChecks(HMENU menu, UINT keyTypes) {
  for (const _KEY_TYPES_GROUP& group : kKeyTypeGroups) {
    if (group.checkId == ID_KEY_TYPES_CHECK_ALL) continue;  // "Check all" and "Uncheck all" carry none
    const UINT set = keyTypes & group.mask;
    CheckMenuItem(menu, group.checkId, MF_BYCOMMAND | (set == group.mask ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, group.uncheckId, MF_BYCOMMAND | (set == 0 ? MF_CHECKED : MF_UNCHECKED));
  }
}

// ---- Key-type rows ----

CKeyTypesLvData::CKeyTypesLvData() {
  if (auto* app = dynamic_cast<CConfigVombraApp*>(g_app)) app->LoadKeyTypeNames();
}

void CKeyTypesLvData::FillCache(int from, int to) {
  if (from < 0) from = 0;
  if (to > 21) to = 21;
  for (int row = from; row <= to; ++row) cache[row] = row;
  cacheFrom = from;
  cacheTo = to;
}

void CKeyTypesLvData::OnCacheHint(int from, int to) {
  if (from >= cacheFrom && to <= cacheTo) return;
  FillCache(from, to);
}

void CKeyTypesLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (item.iItem < 0 || item.iItem >= 22) return;
  const int type = item.iItem >= cacheFrom && item.iItem <= cacheTo ? cache[item.iItem] : item.iItem;
  if (item.mask & LVIF_TEXT) {
    static wchar_t empty[] = L"";
    auto* app = dynamic_cast<CConfigVombraApp*>(g_app);
    const wchar_t* name = app && app->keyTypeNames[type] ? app->keyTypeNames[type] : empty;
    item.pszText = const_cast<wchar_t*>(name);
  }
  if (item.mask & LVIF_STATE) {
    const bool on = (mask >> type) & 1;
    item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    item.stateMask |= LVIS_STATEIMAGEMASK;
  }
}

// ---- General sub-page ----

CReadKeysGeneralPage::CReadKeysGeneralPage(CAppSettings& settings)
    : CAppPage(IDD_READ_KEYS_GENERAL), m_settings(settings) {}

LRESULT CReadKeysGeneralPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_DESTROY:
      data.owner = nullptr;
      data.callback = nullptr;
      return 0;
    case WM_CONTEXTMENU: {
      HWND list = GetDlgItem(hwnd, IDC_RK_KEY_TYPES);
      if (HWND(wParam) != list) break;
      if (IsInMenuMode()) return 0;
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (at.x == -1 && at.y == -1) {  // from the keyboard: at the list's corner
        RECT rect;
        GetWindowRect(list, &rect);
        at = {rect.left + 8, rect.top + 8};
      }
      ShowKeyTypesMenu(at);
      return 0;
    }
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CReadKeysGeneralPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  HWND list = GetDlgItem(hwnd, IDC_RK_KEY_TYPES);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);
  SendMessageW(list, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
  SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, 150);
  data.owner = this;
  data.callback = &CReadKeysGeneralPage::OnListDataEvent;
  // 16-bit ranges cannot hold 2147483647.
  SendDlgItemMessageW(hwnd, IDC_RK_DELAY_SPIN, UDM_SETRANGE32, WPARAM(-1), 0x7FFFFFFF);
  layout.owner = hwnd;
  layout.anchors.clear();
  const UINT stretch = ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT;
  layout.AddControl(IDC_RK_KEY_TYPES_GROUP, stretch);
  layout.AddControl(IDC_RK_KEY_TYPES, stretch);
  layout.AddControl(IDC_RK_DELAY_GROUP, stretch);
  layout.Capture();
  UpdateData(false);
  return TRUE;
}

void CReadKeysGeneralPage::UpdateData(bool save) {
  static const UINT kHoldBoxes[4] = {IDC_RK_HOLD_MIFARE_C, IDC_RK_HOLD_MIFARE_P, IDC_RK_HOLD_MIFARE_UL,
                                     IDC_RK_HOLD_TEMIC};
  if (!hwnd) return;
  if (save) {
    UINT hold = 0;
    for (int i = 0; i < 4; ++i) {
      if (IsChecked(hwnd, kHoldBoxes[i])) hold |= 1u << i;
    }
    m_settings.DelayKeyTypes = (m_settings.DelayKeyTypes & ~0xFu) | hold;
    if (delayChanged) {
      std::wstring text;
      GetDlgItemText(IDC_RK_DELAY, text);
      UINT delay = 0;
      if (!ParseDelayText(text.c_str(), &delay))
        throw CRefusedTextException(GetDlgItem(hwnd, IDC_RK_DELAY), IDS_RK_REFUSED_DELAY);
      m_settings.IdentKeyDelay = delay;
      delayChanged = false;
    }
    return;
  }
  CMuteNotifyScope mute(hwnd);
  for (int i = 0; i < 4; ++i) SetChecked(hwnd, kHoldBoxes[i], (m_settings.DelayKeyTypes >> i) & 1);
  SetDlgItemTextW(hwnd, IDC_RK_DELAY, std::to_wstring(int(m_settings.IdentKeyDelay)).c_str());
  delayChanged = false;
  data.mask = m_settings.KeyTypes;
  data.FillCache(0, 21);
  data.FireEvent();
}

void CReadKeysGeneralPage::OnListDataEvent(void* owner, CVirtualListViewData*, int) {
  auto* self = static_cast<CReadKeysGeneralPage*>(owner);
  HWND list = GetDlgItem(self->hwnd, IDC_RK_KEY_TYPES);
  SendMessageW(list, LVM_SETITEMCOUNT, 22, LVSICF_NOSCROLL);
  InvalidateRect(list, nullptr, TRUE);
}

void CReadKeysGeneralPage::ChangeKeyTypes(UINT clear, UINT set) {
  if (!m_settings.SetKeyTypes((m_settings.KeyTypes & ~clear) | set)) return;
  data.mask = m_settings.KeyTypes;
  data.FillCache(0, 21);
  data.FireEvent();
}

void CReadKeysGeneralPage::ToggleKeyType(int row) {
  if (row < 0 || row >= 22) return;
  m_settings.SetKeyTypes(m_settings.KeyTypes ^ (1u << row));
  data.mask = m_settings.KeyTypes;
  SendDlgItemMessageW(hwnd, IDC_RK_KEY_TYPES, LVM_REDRAWITEMS, row, row);
}

void CReadKeysGeneralPage::ShowKeyTypesMenu(POINT screen) {
  HMENU bar = LoadMenuResource(IDR_KEY_TYPES_MENU);
  HMENU popup = bar ? GetSubMenu(bar, 0) : nullptr;
  if (!popup) {
    if (bar) DestroyMenu(bar);
    return;
  }
  SetKeyTypesMenuChecks(popup, m_settings.KeyTypes);
  TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr);
  DestroyMenu(bar);
}

bool CReadKeysGeneralPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (id == IDC_RK_DELAY) {
    if (notifyCode == EN_CHANGE) {
      delayChanged = true;
      m_settings.SetSettingsModified(true);
    }
    return true;
  }
  if (id >= IDC_RK_HOLD_MIFARE_C && id <= IDC_RK_HOLD_TEMIC) {
    if (notifyCode == BN_CLICKED) m_settings.SetSettingsModified(true);
    return true;
  }
  if (!control) {
    for (const _KEY_TYPES_GROUP& group : kKeyTypeGroups) {
      if (id == group.checkId) {
        ChangeKeyTypes(0, group.mask);
        return true;
      }
      if (id == group.uncheckId) {
        ChangeKeyTypes(group.mask, 0);
        return true;
      }
    }
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

bool CReadKeysGeneralPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id != IDC_RK_KEY_TYPES) return CAppPage::OnNotify(id, header, result);
  switch (header->code) {
    case LVN_GETDISPINFOW:
      data.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      data.OnCacheHint(hint->iFrom, hint->iTo);
      return true;
    }
    case NM_CLICK: {
      auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
      int item = -1;
      // Only the box toggles: a click on the name selects, as in any list.
      if (click->iItem >= 0 && click->iSubItem == 0 && HitsStateIcon(header->hwndFrom, click->ptAction, &item) &&
          item == click->iItem) {
        ToggleKeyType(item);
        *result = 0;
        return true;
      }
      break;
    }
    case LVN_KEYDOWN:
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_SPACE) {
        ToggleKeyType(int(SendMessageW(header->hwndFrom, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED)));
        return true;
      }
      break;
    default:
      break;
  }
  return CAppPage::OnNotify(id, header, result);
}

// ---- Tab host ----

CReadKeysPage::CReadKeysPage() : CReadKeysPage(App()->settings) {}

CReadKeysPage::CReadKeysPage(CAppSettings& settings) : CAppPage(IDD_PAGE_READ_KEYS), m_settings(settings) {}

CReadKeysPage::~CReadKeysPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
  for (CAppPage*& page : subPages) {
    delete page;
    page = nullptr;
  }
  if (tabImages) ImageList_Destroy(tabImages);
}

LRESULT CReadKeysPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const int cx = LOWORD(lParam), cy = HIWORD(lParam);
      if (!GetSubPage(shown) || !subPages[shown]->hwnd) {
        SetWindowPos(tabCtrl, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOMOVE);
        return 0;
      }
      HDWP batch = BeginDeferWindowPos(2);
      if (batch) batch = DeferWindowPos(batch, tabCtrl, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOMOVE);
      if (batch) batch = LayoutSubPage(cx, cy, batch);
      if (batch) EndDeferWindowPos(batch);
      return 0;
    }
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CReadKeysPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  shown = -1;
  tabCtrl = GetDlgItem(hwnd, IDC_RK_TABS);
  SetWindowLongW(tabCtrl, GWL_STYLE, GetWindowLongW(tabCtrl, GWL_STYLE) | WS_CLIPSIBLINGS);
  HBITMAP bitmap = HBITMAP(LoadImageW(g_hResInstance, MAKEINTRESOURCEW(IDB_FORMATS_TAB_IMAGES), IMAGE_BITMAP, 0,
                                      0, LR_CREATEDIBSECTION));
  if (!bitmap && g_hResInstance != g_hInstance)
    bitmap = HBITMAP(LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDB_FORMATS_TAB_IMAGES), IMAGE_BITMAP, 0, 0,
                                LR_CREATEDIBSECTION));
  if (bitmap) {
    if (!tabImages) tabImages = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 2, 2);
    if (tabImages) ImageList_AddMasked(tabImages, bitmap, RGB(255, 0, 255));
    DeleteObject(bitmap);
    SendMessageW(tabCtrl, TCM_SETIMAGELIST, 0, LPARAM(tabImages));
  }
  for (int i = 0; i < RK_COUNT; ++i) {
    std::wstring text;
    LoadStr(IDD_READ_KEYS_GENERAL + UINT(i), text);
    TCITEMW item{};
    item.mask = TCIF_TEXT | TCIF_PARAM | TCIF_IMAGE;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    item.iImage = -1;
    item.lParam = i + 1;
    SendMessageW(tabCtrl, TCM_INSERTITEMW, i, LPARAM(&item));
  }
  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CReadKeysPage::OnSettingsChanged, 0});
  UpdateData(false);
  ShowSubPage(0);
  return TRUE;
}

void CReadKeysPage::OnDestroy() {
  m_settings.RemoveView(viewIndex);
  for (CAppPage*& page : subPages) {
    delete page;
    page = nullptr;
  }
  shown = -1;
}

CAppPage* CReadKeysPage::MakeSubPage(int index) {
  switch (index) {
    case RK_GENERAL:
      return new CReadKeysGeneralPage(m_settings);
    case RK_MIFARE_C:
      return new CMifareCPage(m_settings);
    case RK_MIFARE_P:
      return new CMifarePPage(m_settings);
    case RK_MIFARE_UL:
      return new CMifareULPage(m_settings);
    case RK_TEMIC:
      return new CTemicPage(m_settings);
    default:
      return nullptr;
  }
}

bool CReadKeysPage::ShowSubPage(int index) {
  if (index == shown) return true;
  if (index < 0 || index >= RK_COUNT) return false;
  if (CAppPage* current = GetSubPage(shown)) ShowWindow(current->hwnd, SW_HIDE);
  if (!subPages[index]) {
    CAppPage* page = MakeSubPage(index);
    if (!CDialog::CreateFromTemplate(page, IDD_READ_KEYS_GENERAL + UINT(index), hwnd)) {
      delete page;
      shown = -1;
      return false;
    }
    SetWindowPos(page->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    subPages[index] = page;
  }
  shown = index;
  LayoutSubPage(-1, -1, nullptr);
  ShowWindow(subPages[index]->hwnd, SW_SHOW);
  SendMessageW(tabCtrl, TCM_SETCURSEL, index, 0);
  return true;
}

HDWP CReadKeysPage::LayoutSubPage(int width, int height, HDWP batch) {
  CAppPage* page = GetSubPage(shown);
  if (!page || !page->hwnd) return batch;
  RECT area{0, 0, width, height};
  if (width == -1) GetClientRect(tabCtrl, &area);
  SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&area));
  POINT origin{area.left, area.top};
  MapWindowPoints(tabCtrl, hwnd, &origin, 1);
  const int cx = area.right - area.left, cy = area.bottom - area.top;
  if (batch) return DeferWindowPos(batch, page->hwnd, nullptr, origin.x, origin.y, cx, cy, SWP_NOZORDER);
  SetWindowPos(page->hwnd, nullptr, origin.x, origin.y, cx, cy, SWP_NOZORDER);
  return nullptr;
}

void CReadKeysPage::UpdateTabImages() {
  if (!tabCtrl) return;
  const bool enabled[RK_COUNT] = {false, m_settings.MifareC.Enabled, m_settings.MifareP.Enabled,
                                  m_settings.MifareUL.Enabled, m_settings.Temic.Enabled};
  for (int i = RK_MIFARE_C; i < RK_COUNT; ++i) {
    TCITEMW item{};
    item.mask = TCIF_IMAGE;
    item.iImage = enabled[i] ? 1 : 0;
    SendMessageW(tabCtrl, TCM_SETITEMW, i, LPARAM(&item));
  }
}

void CReadKeysPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  if (*hints & HINT_READ_ENABLED) static_cast<CReadKeysPage*>(owner)->UpdateTabImages();
}

void CReadKeysPage::UpdateData(bool save) {
  if (!save) UpdateTabImages();
  for (int i = 0; i < RK_COUNT; ++i) {
    CAppPage* page = subPages[i];
    if (!page || !page->hwnd) continue;
    if (!save) {
      page->UpdateData(false);
      continue;
    }
    try {
      page->UpdateData(true);
    } catch (const CRefusedTextException& refused) {
      // The user is taken to the text that was refused.
      auto* frame = dynamic_cast<CMainFrame*>(g_app ? g_app->mainWnd : nullptr);
      if (frame && frame->GetPage(PAGE_READ_KEYS) == this) frame->SelectPage(PAGE_READ_KEYS);
      ShowSubPage(i);
      // Not from under a modal dialog (the format dialog's live test commits the pages too).
      if (IsWindowVisible(refused.edit) && IsWindowEnabled(GetAncestor(refused.edit, GA_ROOT)))
        SetFocus(refused.edit);
      SendMessageW(refused.edit, EM_SETSEL, 0, -1);
      throw;
    }
  }
}

bool CReadKeysPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id == IDC_RK_TABS && header->code == UINT(TCN_SELCHANGE)) {
    ShowSubPage(int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0)));
    *result = 1;
    return true;
  }
  return CAppPage::OnNotify(id, header, result);
}
