#include "KeyFiltersDialog.h"

#include <windowsx.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Controls.h"
#include "Core.h"
#include "KeyModel.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TableCommands.h"
#include "UiHelpers.h"

namespace {

constexpr int kWindowSlot = 2;
constexpr int kStateUnchecked = 1;
constexpr int kStateChecked = 2;
constexpr int kStateIndeterminate = 3;
constexpr COLORREF kOverlapClaimed = RGB(255, 0, 0);
constexpr COLORREF kOverlapOther = RGB(128, 128, 128);

const UINT kColumnTitles[KFCOL_COUNT] = {IDS_KFCOL_VISIBLE,   IDS_KFCOL_NUMBER,    IDS_KFCOL_ID,
                                         IDS_KFCOL_NAME,      IDS_KFCOL_KEY_TYPES, IDS_KFCOL_KEY_SIZE};

// The key-type groups of menu 801, in command order.
const UINT kTypeGroups[] = {0x70, 0x201C00, 0x7E000, 0x27FC00, 0x200, 0x100};
constexpr UINT kGroupCount = UINT(sizeof kTypeGroups / sizeof kTypeGroups[0]);

std::wstring LoadText(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

void Gray(HMENU menu, UINT id, bool gray) {
  EnableMenuItem(menu, id, MF_BYCOMMAND | (gray ? MF_GRAYED : MF_ENABLED));
}

HBITMAP LoadBitmapResource(UINT id) {
  HBITMAP bitmap = HBITMAP(LoadImageW(g_hResInstance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (!bitmap && g_hResInstance != g_hInstance)
    bitmap = HBITMAP(LoadImageW(g_hInstance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  return bitmap;
}

bool IsMarked(const _KEYFILTER_INFO& filter) { return (filter.Flags & KEYFILTER_SELECTED) != 0; }

}  // namespace

std::wstring KeyTypesCellText(UINT keyTypes) {
  keyTypes &= CKeyFiltersDialog::KEY_TYPES_MASK;
  if (keyTypes == CKeyFiltersDialog::KEY_TYPES_MASK) return LoadText(IDS_ALL);
  std::wstring text;
  int count = 0;
  int single = -1;
  for (UINT type = 0; type < KEY_TYPE_COUNT; ++type) {
    if (!(keyTypes & (1u << type))) continue;
    if (count++) text += L", ";
    text += KeyTypeName(type);
    single = int(type);
  }
  if (count == 1) {
    CConfigVombraApp* app = App();
    if (app) {
      app->LoadKeyTypeNames();
      const wchar_t* name = app->keyTypeNames[single];
      if (name && *name) return name;
    }
  }
  return text;
}

// --- rows

void CKeyFiltersLvData::Fill(int row, Row& out) {
  const _KEYFILTER_INFO& filter = (*filters)[size_t(row)];
  out.Number = std::to_wstring(row + 1);
  out.Id = std::to_wstring(filter.Id);
  out.KeyTypes = KeyTypesCellText(filter.KeyTypes);
  out.KeySize = filter.KeySize ? std::to_wstring(filter.KeySize) : LoadText(IDS_ALL);
}

void CKeyFiltersLvData::OnCacheHint(int from, int to) {
  const int count = GetItemCount();
  from = std::max(0, from);
  to = std::min(to, count - 1);
  if (from > to) return;
  if (cacheCount > 0 && from >= cacheFirst && to < cacheFirst + cacheCount) return;
  cache.resize(size_t(to - from + 1));
  for (int row = from; row <= to; ++row) Fill(row, cache[size_t(row - from)]);
  cacheFirst = from;
  cacheCount = to - from + 1;
}

void CKeyFiltersLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (!filters || item.iItem < 0 || item.iItem >= GetItemCount()) return;
  const _KEYFILTER_INFO& filter = (*filters)[size_t(item.iItem)];
  if (item.mask & LVIF_STATE) {
    const int image = (filter.Flags & KEYFILTER_SHOW_TAB) ? kStateChecked : kStateUnchecked;
    item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(UINT(image));
    item.stateMask |= LVIS_STATEIMAGEMASK;
  }
  if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
  const int kind = visibleColumns && item.iSubItem >= 0 && size_t(item.iSubItem) < visibleColumns->size()
                       ? (*visibleColumns)[size_t(item.iSubItem)]
                       : -1;
  const Row* row = nullptr;
  if (kind != KFCOL_VISIBLE && kind != KFCOL_NAME && kind >= 0) {
    if (cacheCount > 0 && item.iItem >= cacheFirst && item.iItem < cacheFirst + cacheCount) {
      row = &cache[size_t(item.iItem - cacheFirst)];
    } else {
      Fill(item.iItem, scratch);
      row = &scratch;
    }
  }
  const wchar_t* text = L"";
  switch (kind) {
    case KFCOL_NUMBER: text = row->Number.c_str(); break;
    case KFCOL_ID: text = row->Id.c_str(); break;
    case KFCOL_NAME: text = filter.Name.c_str(); break;
    case KFCOL_KEY_TYPES: text = row->KeyTypes.c_str(); break;
    case KFCOL_KEY_SIZE: text = row->KeySize.c_str(); break;
    default: break;
  }
  lstrcpynW(item.pszText, text, item.cchTextMax);
}

int CKeyFilterTypesLvData::StateImage(int type) const {
  const UINT bit = 1u << type;
  if (!(*agreeTypes & bit)) return kStateIndeterminate;
  return (*keyTypes & bit) ? kStateChecked : kStateUnchecked;
}

void CKeyFilterTypesLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (item.iItem < 0 || item.iItem >= kTypeCount) return;
  if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
    const wchar_t* name = nullptr;
    if (CConfigVombraApp* app = App()) name = app->keyTypeNames[item.iItem];
    if (!name || !*name) name = KeyTypeName(UINT(item.iItem));
    lstrcpynW(item.pszText, name, item.cchTextMax);
  }
  if ((item.mask & LVIF_STATE) && keyTypes && agreeTypes) {
    item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(UINT(StateImage(item.iItem)));
    item.stateMask |= LVIS_STATEIMAGEMASK;
  }
}

// --- the dialog

const _HOTKEY_INFO CKeyFiltersDialog::kListHotKeys[4] = {{VK_INSERT, ID_KEY_FILTER_ADD},
                                                         {VK_DELETE, ID_KEY_FILTER_DELETE},
                                                         {0x200 | 'A', ID_KEY_FILTER_SELECT_ALL},
                                                         {0x200 | 'D', ID_KEY_FILTER_DUPLICATE}};

CKeyFiltersDialog::CKeyFiltersDialog() : CKeyFiltersDialog(App()->settings) {}

CKeyFiltersDialog::CKeyFiltersDialog(CAppSettings& settings) : m_settings(settings) {
  data.filters = &filters;
  typesData.keyTypes = &panelKeyTypes;
  typesData.agreeTypes = &panelAgreeTypes;
}

CKeyFiltersDialog::~CKeyFiltersDialog() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
  if (typeImages) ImageList_Destroy(typeImages);
}

LRESULT CKeyFiltersDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_DESTROY:
      OnDestroy();
      break;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {440, 540};
      return 0;
    }
    case WM_CONTEXTMENU: {
      if (IsInMenuMode()) return 0;
      HWND source = reinterpret_cast<HWND>(wParam);
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      // The menu key and Shift+F10 give no point: the menu goes to the control's corner.
      const bool byKeyboard = pt.x == -1 && pt.y == -1;
      if (byKeyboard) {
        RECT rect;
        GetWindowRect(source, &rect);
        pt = {rect.left + 8, rect.top + 8};
      }
      if (source == table.hwnd) {
        // The header has a menu of its own; the corner the menu key takes lies on it, and is the list's.
        RECT header;
        HWND headerWnd = HWND(SendMessageW(table.hwnd, LVM_GETHEADER, 0, 0));
        if (!byKeyboard && headerWnd && GetWindowRect(headerWnd, &header) && PtInRect(&header, pt)) return 0;
        ShowFiltersMenu(pt);
        return 0;
      }
      if (source == typesList.hwnd) {
        ShowTypesMenu(pt);
        return 0;
      }
      break;
    }
    case WM_INITMENUPOPUP:
      if (g_app) g_app->OnInitMenuPopup(reinterpret_cast<HMENU>(wParam), LOWORD(lParam), HIWORD(lParam) != 0);
      return 0;
    case WM_KICKIDLE:
      // The panel follows the selection once the list has settled, not on each of its notifications.
      if (panelReload) ReloadPanel();
      return 0;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

BOOL CKeyFiltersDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  if (CConfigVombraApp* app = App()) app->LoadKeyTypeNames();

  filters = m_settings.keyFilters;
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_MARK);
  nextIdCursor = m_settings.KeyFilterNewId;
  sortColumn = int(m_settings.KeyFilterSortCol);
  formatsFilterId = m_settings.fmtFilter;

  if (table.Attach(hwnd, IDC_KEY_FILTERS_LIST)) {
    const DWORD exStyle = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_LABELTIP;
    SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle, exStyle);
    SendMessageW(table.hwnd, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
    if (g_app) table.SetToolTip(g_app->GetSharedToolTip());
    LoadColumns();
    table.EnableAltRowColor(m_settings.altListBkColor);
    table.UpdateColumns();
  }
  data.visibleColumns = &table.visibleColumns;
  data.owner = this;
  data.callback = [](void* owner, CVirtualListViewData*, int) { static_cast<CKeyFiltersDialog*>(owner)->Refresh(); };

  if (typesList.Attach(hwnd, IDC_KEY_FILTER_TYPES)) {
    if (HBITMAP bitmap = LoadBitmapResource(IDB_CC_CHECKS)) {
      typeImages = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 3);
      if (typeImages) ImageList_AddMasked(typeImages, bitmap, RGB(255, 0, 255));
      DeleteObject(bitmap);
    }
    if (typeImages) SendMessageW(typesList.hwnd, LVM_SETIMAGELIST, LVSIL_STATE, LPARAM(typeImages));
    SendMessageW(typesList.hwnd, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
    SendMessageW(typesList.hwnd, LVM_SETCOLUMNWIDTH, 0, 150);
    SendMessageW(typesList.hwnd, LVM_SETITEMCOUNT, CKeyFilterTypesLvData::kTypeCount, 0);
  }
  // A 16-bit range would do for 65535 only unsigned; the 32-bit message keeps it plain.
  SendDlgItemMessageW(hwnd, IDC_KEY_FILTER_SIZE_SPIN, UDM_SETRANGE32, 0, 65535);
  SendDlgItemMessageW(hwnd, IDC_KEY_FILTER_SIZE, EM_LIMITTEXT, 5, 0);

  layout.owner = hwnd;
  layout.AddControl(IDC_KEY_FILTERS_LIST, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {ID_KEY_FILTER_ADD, ID_KEY_FILTER_DELETE, ID_KEY_FILTER_MOVE_UP, ID_KEY_FILTER_MOVE_DOWN})
    layout.AddControl(id, ANCHOR_RIGHT);
  for (int id : {IDC_KEY_FILTER_NAME_LABEL, IDC_KEY_FILTER_TYPES_LABEL, IDC_KEY_FILTER_SIZE,
                 IDC_KEY_FILTER_SIZE_SPIN, IDC_KEY_FILTER_SIZE_LABEL, IDC_KEY_FILTER_SHOW_TAB})
    layout.AddControl(id, ANCHOR_BOTTOM);
  layout.AddControl(IDC_KEY_FILTER_NAME, ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_KEY_FILTER_TYPES, ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {IDC_KEY_FILTER_INDETERMINATE, IDOK, IDCANCEL, ID_KEY_FILTERS_APPLY})
    layout.AddControl(id, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  Refresh();
  SelectMarked();
  if (table.hwnd) {
    SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES,
                 m_settings.tableGrid ? LVS_EX_GRIDLINES : 0);
    table.SetNoSortHeader(m_settings.noSortHeader);
  }
  panelReload = true;
  modified = false;
  UpdateButtons();
  if (g_app) g_app->ExchangeWindowPos(false, hwnd, kWindowSlot, -1);
  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CKeyFiltersDialog::OnSettingsChanged, 0});
  return TRUE;
}

void CKeyFiltersDialog::OnDestroy() {
  m_settings.RemoveView(viewIndex);
  if (g_app) g_app->ExchangeWindowPos(true, hwnd, kWindowSlot, -1);
  data.callback = nullptr;
  data.owner = nullptr;
  if (table.hwnd) {
    table.RemoveHeaderTips();
    table.Destroy();
  }
  if (typesList.hwnd) typesList.Destroy();
}

void CKeyFiltersDialog::LoadColumns() {
  COLUMN_SET set = m_settings.keyFiltersColumns;
  if (set.size() != KFCOL_COUNT) set = DefaultColumnSet(CS_KEY_FILTERS);
  table.SetColumns(set, kColumnTitles);
}

void CKeyFiltersDialog::OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints) {
  auto* self = static_cast<CKeyFiltersDialog*>(owner);
  if (!self->hwnd || !(*hints & HINT_VIEW_OPTIONS) || !self->table.hwnd) return;
  const UINT detail = static_cast<CAppSettings*>(document)->GetViewDetail();
  CAppSettings& settings = self->m_settings;
  if (detail & VIEW_DETAIL_KEY_FILTERS_COLUMNS) {
    SendMessageW(self->table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    self->LoadColumns();
    self->table.UpdateColumns();
    self->table.SetSort(self->sortColumn);
    self->Refresh();
  }
  if (detail & VIEW_DETAIL_ALT_LIST_BK_COLOR) {
    self->table.EnableAltRowColor(settings.altListBkColor);
    InvalidateRect(self->table.hwnd, nullptr, TRUE);
  }
  if (detail & VIEW_DETAIL_TABLE_GRID)
    SendMessageW(self->table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES,
                 settings.tableGrid ? LVS_EX_GRIDLINES : 0);
  if (detail & VIEW_DETAIL_NO_SORT_HEADER) self->table.SetNoSortHeader(settings.noSortHeader);
}

// --- the list and the selection

void CKeyFiltersDialog::Refresh() {
  data.Invalidate();
  if (!table.hwnd) return;
  const int top = int(SendMessageW(table.hwnd, LVM_GETTOPINDEX, 0, 0));
  SendMessageW(table.hwnd, LVM_SETITEMCOUNT, filters.size(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  table.SetSort(sortColumn);
  if (top > 0 && size_t(top) < filters.size()) table.SetTopIndex(top);
  InvalidateRect(table.hwnd, nullptr, TRUE);
}

void CKeyFiltersDialog::SelectMarked() {
  if (!table.hwnd) return;
  updating = true;
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = 0;
  SendMessageW(table.hwnd, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
  int first = -1;
  for (size_t i = 0; i < filters.size(); ++i) {
    if (!IsMarked(filters[i])) continue;
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    if (first < 0) {
      first = int(i);
      state.stateMask |= LVIS_FOCUSED;
      state.state |= LVIS_FOCUSED;
    }
    SendMessageW(table.hwnd, LVM_SETITEMSTATE, i, LPARAM(&state));
  }
  if (first >= 0) {
    // Shift with the arrow keys extends the selection from here.
    SendMessageW(table.hwnd, LVM_SETSELECTIONMARK, 0, first);
    SendMessageW(table.hwnd, LVM_ENSUREVISIBLE, first, FALSE);
  }
  updating = false;
  panelReload = true;
  UpdateButtons();
}

void CKeyFiltersDialog::MarkSelection() {
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_SELECTED);
  if (!table.hwnd) return;
  int row = -1;
  while ((row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
    if (size_t(row) < filters.size()) filters[size_t(row)].Flags |= KEYFILTER_SELECTED;
  }
}

int CKeyFiltersDialog::SelectedCount() const {
  return table.hwnd ? int(SendMessageW(table.hwnd, LVM_GETSELECTEDCOUNT, 0, 0)) : 0;
}

void CKeyFiltersDialog::UpdateButtons() {
  if (!hwnd) return;
  std::vector<bool> selected(filters.size(), false);
  int count = 0;
  if (table.hwnd) {
    int row = -1;
    while ((row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
      if (size_t(row) >= filters.size()) break;
      selected[size_t(row)] = true;
      ++count;
    }
  }
  auto enable = [this](int id, bool on) { EnableWindow(GetDlgItem(hwnd, id), on); };
  enable(ID_KEY_FILTERS_APPLY, modified);
  enable(ID_KEY_FILTER_DELETE, count > 0);
  enable(ID_KEY_FILTER_MOVE_UP, count > 0 && !selected.front());
  enable(ID_KEY_FILTER_MOVE_DOWN, count > 0 && filters.size() >= 2 && !selected.back());
  const bool rows = selectedCount > 0;
  const bool types = rows && (panelScope & PANEL_KEY_TYPES);
  enable(IDC_KEY_FILTER_TYPES, types);
  enable(IDC_KEY_FILTER_TYPES_LABEL, types);
  const bool size = rows && (panelScope & PANEL_KEY_SIZE);
  enable(IDC_KEY_FILTER_SIZE, size);
  enable(IDC_KEY_FILTER_SIZE_SPIN, size);
  enable(IDC_KEY_FILTER_SIZE_LABEL, size);
}

void CKeyFiltersDialog::SetModified() {
  modified = true;
  UpdateButtons();
}

void CKeyFiltersDialog::RemoveSortMark(int column) {
  if (column == 0 || std::abs(sortColumn) == column) {
    sortColumn = 0;
    table.SetSort(0);
  }
}

// --- the panel

void CKeyFiltersDialog::ReloadPanel() {
  panelReload = false;
  if (!CommitPanel()) return;
  MarkSelection();
  selectedCount = 0;
  const _KEYFILTER_INFO* first = nullptr;
  agreeScope = 0;
  loadAgreeTypes = KEY_TYPES_MASK;
  for (const _KEYFILTER_INFO& filter : filters) {
    if (!IsMarked(filter)) continue;
    if (++selectedCount == 1) {
      first = &filter;
      agreeScope = PANEL_ALL;
      continue;
    }
    if (filter.Name != first->Name) agreeScope &= ~UINT(PANEL_NAME);
    loadAgreeTypes &= ~((filter.KeyTypes ^ first->KeyTypes) & KEY_TYPES_MASK);
    if (filter.KeySize != first->KeySize) agreeScope &= ~UINT(PANEL_KEY_SIZE);
    if ((filter.Flags ^ first->Flags) & KEYFILTER_SHOW_TAB) agreeScope &= ~UINT(PANEL_SHOW_TAB);
  }
  panelScope = agreeScope;
  panelName = first ? first->Name : std::wstring();
  panelKeyTypes = first ? first->KeyTypes : 0;
  panelAgreeTypes = first ? loadAgreeTypes : KEY_TYPES_MASK;
  panelKeySize = first ? first->KeySize : 0;
  panelShowTab = first && (first->Flags & KEYFILTER_SHOW_TAB);

  {
    CMuteNotifyScope mute(hwnd);
    SetDlgItemTextW(hwnd, IDC_KEY_FILTER_NAME, selectedCount > 1 ? L"*" : panelName.c_str());
    EnableWindow(GetDlgItem(hwnd, IDC_KEY_FILTER_NAME), selectedCount == 1);
    EnableWindow(GetDlgItem(hwnd, IDC_KEY_FILTER_NAME_LABEL), selectedCount == 1);
    SetDlgItemTextW(hwnd, IDC_KEY_FILTER_SIZE, std::to_wstring(panelKeySize).c_str());
    HWND showTab = GetDlgItem(hwnd, IDC_KEY_FILTER_SHOW_TAB);
    if (selectedCount > 0 && !(agreeScope & PANEL_SHOW_TAB)) {
      SendMessageW(showTab, BM_SETSTYLE, BS_AUTO3STATE, TRUE);
      SendMessageW(showTab, BM_SETCHECK, BST_INDETERMINATE, 0);
    } else {
      SendMessageW(showTab, BM_SETSTYLE, BS_AUTOCHECKBOX, TRUE);
      SendMessageW(showTab, BM_SETCHECK, panelShowTab ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    EnableWindow(showTab, selectedCount > 0);
    const bool sizesDiffer = selectedCount > 0 && !(agreeScope & PANEL_KEY_SIZE);
    CheckDlgButton(hwnd, IDC_KEY_FILTER_INDETERMINATE, sizesDiffer ? BST_CHECKED : BST_UNCHECKED);
    ShowWindow(GetDlgItem(hwnd, IDC_KEY_FILTER_INDETERMINATE), sizesDiffer ? SW_SHOWNA : SW_HIDE);
  }
  RecomputeOverlap();
  panelDirty = false;
  UpdateButtons();
}

bool CKeyFiltersDialog::FailCommit(UINT focusId) {
  SelectMarked();
  panelReload = false;  // the panel still holds the refused edit
  HWND edit = GetDlgItem(hwnd, int(focusId));
  SetFocus(edit);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  return false;
}

bool CKeyFiltersDialog::ReadKeySize(UINT* size) const {
  std::wstring text;
  GetDlgItemText(IDC_KEY_FILTER_SIZE, text);
  if (text.empty() || text.size() > 5) return false;
  UINT value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + UINT(c - L'0');
  }
  if (value > 65535) return false;
  *size = value;
  return true;
}

bool CKeyFiltersDialog::CommitPanel() {
  if (!panelDirty) return true;
  bool changed = false;
  if ((panelScope & PANEL_NAME) && selectedCount == 1) {
    auto target = std::find_if(filters.begin(), filters.end(), IsMarked);
    if (target != filters.end()) {
      std::wstring name;
      GetDlgItemText(IDC_KEY_FILTER_NAME, name);
      if (name.empty()) {
        ShowMessageBoxRes(IDS_FIELD_REQUIRED, MB_OK | MB_ICONERROR, hwnd);
        return FailCommit(IDC_KEY_FILTER_NAME);
      }
      const int other = KeyFilterIndexByName(filters, name.c_str());
      if (other >= 0 && filters.begin() + other != target) {
        std::wstring text;
        LoadStrAppendFormat(text, IDS_FILTER_NAME_EXISTS, name.c_str());
        ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
        return FailCommit(IDC_KEY_FILTER_NAME);
      }
      if (target->Name != name) {
        target->Name = name;
        panelName = name;
        changed = true;
        RemoveSortMark(KFCOL_NAME + 1);
      }
    }
  }
  const bool indeterminate = IsDlgButtonChecked(hwnd, IDC_KEY_FILTER_INDETERMINATE) == BST_CHECKED;
  if (selectedCount > 0 && ((agreeScope & PANEL_KEY_SIZE) || !indeterminate)) {
    UINT size = 0;
    if (!ReadKeySize(&size)) {
      ShowMessageBoxRes(IDS_KEY_SIZE_INVALID, MB_OK | MB_ICONERROR, hwnd);
      return FailCommit(IDC_KEY_FILTER_SIZE);
    }
    panelScope |= PANEL_KEY_SIZE;
    panelKeySize = size;
    bool sizeChanged = false;
    for (_KEYFILTER_INFO& filter : filters) {
      if (!IsMarked(filter) || filter.KeySize == size) continue;
      filter.KeySize = size;
      sizeChanged = true;
    }
    if (sizeChanged) {
      changed = true;
      RemoveSortMark(KFCOL_KEY_SIZE + 1);
    }
  }
  if (changed) {
    modified = true;
    Refresh();
  }
  panelDirty = false;
  UpdateButtons();
  return true;
}

void CKeyFiltersDialog::RecomputeOverlap() {
  overlapTypes = 0;
  if (selectedCount > 0 && (panelScope & (PANEL_KEY_TYPES | PANEL_KEY_SIZE))) {
    for (const _KEYFILTER_INFO& filter : filters) {
      if (IsMarked(filter)) continue;
      if (panelKeySize != 0 && filter.KeySize != 0 && filter.KeySize != panelKeySize) continue;
      overlapTypes |= filter.KeyTypes & panelAgreeTypes & KEY_TYPES_MASK;
    }
  }
  if (typesList.hwnd) InvalidateRect(typesList.hwnd, nullptr, TRUE);
}

void CKeyFiltersDialog::CyclePanelType(int type) {
  if (type < 0 || type >= CKeyFilterTypesLvData::kTypeCount || selectedCount == 0) return;
  const UINT bit = 1u << type;
  if (loadAgreeTypes & bit) {
    panelKeyTypes ^= bit;
    panelAgreeTypes |= bit;
  } else if (!(panelAgreeTypes & bit)) {  // indeterminate -> unchecked
    panelAgreeTypes |= bit;
    panelKeyTypes &= ~bit;
  } else if (!(panelKeyTypes & bit)) {  // unchecked -> checked
    panelKeyTypes |= bit;
  } else {  // checked -> indeterminate
    panelAgreeTypes &= ~bit;
  }
  ApplyPanelTypes();
}

void CKeyFiltersDialog::SetPanelTypes(UINT mask, bool check) {
  if (selectedCount == 0) return;
  mask &= KEY_TYPES_MASK;
  panelAgreeTypes |= mask;
  if (check) {
    panelKeyTypes |= mask;
  } else {
    panelKeyTypes &= ~mask;
  }
  ApplyPanelTypes();
}

void CKeyFiltersDialog::ApplyPanelTypes() {
  if (panelScope & PANEL_KEY_TYPES) {
    const UINT determinate = panelAgreeTypes & KEY_TYPES_MASK;
    bool changed = false;
    for (_KEYFILTER_INFO& filter : filters) {
      if (!IsMarked(filter)) continue;
      const UINT types = (filter.KeyTypes & ~determinate) | (panelKeyTypes & determinate);
      if (types == filter.KeyTypes) continue;
      filter.KeyTypes = types;
      changed = true;
    }
    if (changed) {
      RemoveSortMark(KFCOL_KEY_TYPES + 1);
      modified = true;
      Refresh();
    }
  }
  RecomputeOverlap();
  UpdateButtons();
}

void CKeyFiltersDialog::OnShowTabClicked() {
  HWND box = GetDlgItem(hwnd, IDC_KEY_FILTER_SHOW_TAB);
  const LRESULT state = SendMessageW(box, BM_GETCHECK, 0, 0);
  if (state == BST_INDETERMINATE || selectedCount == 0) return;
  // A three-state box whose click has applied must alternate from now on; left three-state, its next
  // click would land on "indeterminate" and do nothing.
  SendMessageW(box, BM_SETSTYLE, BS_AUTOCHECKBOX, TRUE);
  panelShowTab = state == BST_CHECKED;
  panelScope |= PANEL_SHOW_TAB;
  bool changed = false;
  for (_KEYFILTER_INFO& filter : filters) {
    if (!IsMarked(filter) || ((filter.Flags & KEYFILTER_SHOW_TAB) != 0) == panelShowTab) continue;
    filter.Flags ^= KEYFILTER_SHOW_TAB;
    changed = true;
  }
  if (!changed) return;
  RemoveSortMark(KFCOL_VISIBLE + 1);
  modified = true;
  Refresh();
  UpdateButtons();
}

void CKeyFiltersDialog::OnIndeterminateClicked() {
  const bool checked = IsDlgButtonChecked(hwnd, IDC_KEY_FILTER_INDETERMINATE) == BST_CHECKED;
  if ((agreeScope & PANEL_KEY_SIZE) || !checked) {
    panelScope |= PANEL_KEY_SIZE;
    UINT size = 0;
    if (ReadKeySize(&size)) panelKeySize = size;
  } else {
    panelScope &= ~UINT(PANEL_KEY_SIZE);
  }
  panelDirty = true;
  RecomputeOverlap();
  SetModified();
}

void CKeyFiltersDialog::ToggleShowTab(int row) {
  if (row < 0 || size_t(row) >= filters.size()) return;
  filters[size_t(row)].Flags ^= KEYFILTER_SHOW_TAB;
  RemoveSortMark(KFCOL_VISIBLE + 1);
  Refresh();
  SetModified();
  panelReload = true;
}

void CKeyFiltersDialog::ToggleSelectedShowTab() {
  if (!table.hwnd) return;
  bool any = false;
  int row = -1;
  while ((row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
    if (size_t(row) >= filters.size()) break;
    filters[size_t(row)].Flags ^= KEYFILTER_SHOW_TAB;
    any = true;
  }
  if (!any) return;
  RemoveSortMark(KFCOL_VISIBLE + 1);
  Refresh();
  SetModified();
  panelReload = true;
}

// --- commands

void CKeyFiltersDialog::OnAdd() {
  if (!CommitPanel()) return;
  const UINT savedCursor = nextIdCursor;
  const UINT id = NextFreeKeyFilterId(filters, nextIdCursor);
  if (id == 0) {
    ShowMessageBoxRes(IDS_KEY_FILTERS_LIMIT, MB_OK | MB_ICONERROR, hwnd);
    return;
  }
  std::wstring name;
  if (!MakeUniqueFilterName(filters, nullptr, name)) {
    nextIdCursor = savedCursor;
    return;
  }
  RemoveSortMark(0);
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_SELECTED);
  filters.push_back({id, name, KEY_TYPES_MASK, 0, KEYFILTER_SHOW_TAB | KEYFILTER_SELECTED, 0});
  Refresh();
  SelectMarked();
  if (table.hwnd) table.SelectItem(int(filters.size()) - 1);
  ReloadPanel();
  SetModified();
}

void CKeyFiltersDialog::OnDuplicate() {
  if (!CommitPanel()) return;
  if (SelectedCount() == 0) return;
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_MARK);
  int row = -1;
  while ((row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
    if (size_t(row) < filters.size()) filters[size_t(row)].Flags |= KEYFILTER_MARK;
  }
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_SELECTED);
  bool any = false;
  for (size_t i = filters.size(); i-- > 0;) {
    if (!(filters[i].Flags & KEYFILTER_MARK)) continue;
    const UINT id = NextFreeKeyFilterId(filters, nextIdCursor);
    if (id == 0) {
      ShowMessageBoxRes(IDS_KEY_FILTERS_LIMIT, MB_OK | MB_ICONERROR, hwnd);
      break;
    }
    std::wstring name;
    if (!MakeUniqueFilterName(filters, filters[i].Name.c_str(), name)) continue;
    _KEYFILTER_INFO copy = filters[i];
    copy.Id = id;
    copy.Name = name;
    copy.Flags = (copy.Flags & ~UINT(KEYFILTER_MARK)) | KEYFILTER_SELECTED;
    filters.insert(filters.begin() + std::ptrdiff_t(i) + 1, copy);
    any = true;
  }
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_MARK);
  if (!any) {
    // Nothing copied: the selection stays where it was.
    MarkSelection();
    return;
  }
  Refresh();
  SelectMarked();
  SetModified();
}

void CKeyFiltersDialog::OnDelete(bool noQuestion) {
  const int count = SelectedCount();
  if (count == 0) return;
  if (!noQuestion && (m_settings.ConfirmFlags & CONFIRM_DELETE_ITEM)) {
    std::wstring text;
    if (count == 1) {
      const int row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
      LoadStrAppendFormat(text, IDS_REMOVE_ITEM, filters[size_t(row)].Name.c_str());
    } else {
      LoadStrAppendFormat(text, IDS_REMOVE_ITEMS, count);
    }
    bool doNotAsk = false;
    const int answer = ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
    if (answer != IDOK) return;
  }
  std::vector<bool> selected(filters.size(), false);
  int row = -1;
  int last = -1;
  while ((row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
    if (size_t(row) >= filters.size()) break;
    selected[size_t(row)] = true;
    last = row;
  }
  std::vector<_KEYFILTER_INFO> kept;
  for (size_t i = 0; i < filters.size(); ++i) {
    if (!selected[i]) kept.push_back(std::move(filters[i]));
  }
  filters = std::move(kept);
  // The panel's edits belonged to filters that are gone.
  panelDirty = false;
  if (formatsFilterId &&
      std::none_of(filters.begin(), filters.end(), [this](const _KEYFILTER_INFO& f) { return f.Id == formatsFilterId; }))
    formatsFilterId = 0;
  for (_KEYFILTER_INFO& filter : filters) filter.Flags &= ~UINT(KEYFILTER_SELECTED);
  if (!filters.empty()) filters[size_t(std::min(last, int(filters.size()) - 1))].Flags |= KEYFILTER_SELECTED;
  Refresh();
  SelectMarked();
  ReloadPanel();
  SetModified();
}

void CKeyFiltersDialog::OnMove(bool up) {
  if (!CommitPanel()) return;
  MarkSelection();
  const size_t n = filters.size();
  bool moved = false;
  if (up) {
    for (size_t i = 1; i < n; ++i) {
      if (IsMarked(filters[i]) && !IsMarked(filters[i - 1])) {
        std::swap(filters[i], filters[i - 1]);
        moved = true;
      }
    }
  } else {
    for (size_t i = n - 1; i-- > 0;) {
      if (IsMarked(filters[i]) && !IsMarked(filters[i + 1])) {
        std::swap(filters[i], filters[i + 1]);
        moved = true;
      }
    }
  }
  if (!moved) return;
  RemoveSortMark(0);
  Refresh();
  SelectMarked();
  SetModified();
}

void CKeyFiltersDialog::DropSelection(int row, bool after) {
  MarkSelection();
  std::vector<_KEYFILTER_INFO> taken;
  std::vector<_KEYFILTER_INFO> kept;
  const size_t target =
      row == kDropAtEnd || row < 0 || size_t(row) >= filters.size() ? filters.size() : size_t(row) + (after ? 1 : 0);
  size_t insertAt = 0;
  for (size_t i = 0; i < filters.size(); ++i) {
    if (i == target) insertAt = kept.size();
    if (IsMarked(filters[i])) {
      taken.push_back(filters[i]);
    } else {
      kept.push_back(filters[i]);
    }
  }
  if (taken.empty()) return;
  if (target >= filters.size()) insertAt = kept.size();
  kept.insert(kept.begin() + std::ptrdiff_t(insertAt), taken.begin(), taken.end());
  bool same = true;
  for (size_t i = 0; i < kept.size() && same; ++i) same = kept[i].Id == filters[i].Id;
  if (same) return;
  filters = std::move(kept);
  RemoveSortMark(0);
  Refresh();
  SelectMarked();
  SetModified();
}

void CKeyFiltersDialog::OnDefaultFilters() {
  filters = DefaultKeyFilters();
  if (formatsFilterId &&
      std::none_of(filters.begin(), filters.end(), [this](const _KEYFILTER_INFO& f) { return f.Id == formatsFilterId; }))
    formatsFilterId = 0;
  panelDirty = false;
  Refresh();
  SelectMarked();
  SetModified();
}

void CKeyFiltersDialog::SortFilters(int n) {
  MarkSelection();
  const int column = std::abs(n);
  const bool descending = n < 0;
  auto key = [column](const _KEYFILTER_INFO& f) -> long long {
    switch (column) {
      case KFCOL_VISIBLE + 1: return (f.Flags & KEYFILTER_SHOW_TAB) ? 1 : 0;
      case KFCOL_KEY_TYPES + 1: return (long long)(f.KeyTypes);
      case KFCOL_KEY_SIZE + 1: return (long long)(int(f.KeySize));
      default: return 0;
    }
  };
  // Stable: filters the key cannot tell apart keep their priority.
  if (column == KFCOL_NAME + 1) {
    std::stable_sort(filters.begin(), filters.end(), [descending](const _KEYFILTER_INFO& a, const _KEYFILTER_INFO& b) {
      return descending ? b.Name.compare(a.Name) < 0 : a.Name.compare(b.Name) < 0;
    });
  } else if (column == KFCOL_VISIBLE + 1 || column == KFCOL_KEY_TYPES + 1 || column == KFCOL_KEY_SIZE + 1) {
    std::stable_sort(filters.begin(), filters.end(), [&](const _KEYFILTER_INFO& a, const _KEYFILTER_INFO& b) {
      return descending ? key(b) < key(a) : key(a) < key(b);
    });
  }
  sortColumn = n;
  Refresh();
  SelectMarked();
  SetModified();
}

bool CKeyFiltersDialog::Apply() {
  if (!CommitPanel()) return false;
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    m_settings.keyFilters = filters;
    for (_KEYFILTER_INFO& filter : m_settings.keyFilters) filter.Flags &= ~UINT(KEYFILTER_MARK);
    m_settings.KeyFilterNewId = nextIdCursor;
    m_settings.KeyFiltersChanged();
    if (UINT(sortColumn) != m_settings.KeyFilterSortCol) {
      m_settings.KeyFilterSortCol = UINT(sortColumn);
      if (m_settings.History & HISTORY_SORT_COLUMNS) m_settings.SetConfigModified(true);
    }
    // KeyFiltersChanged clears the Formats filter when its id went; an id still there comes back here.
    m_settings.SetFormatsFilter(formatsFilterId);
    m_settings.EndUpdate(batch);
  }
  modified = false;
  UpdateButtons();
  return true;
}

bool CKeyFiltersDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDC_KEY_FILTER_NAME:
      if (notifyCode == EN_CHANGE) {
        panelDirty = true;
        SetModified();
      }
      return true;
    case IDC_KEY_FILTER_SIZE:
      if (notifyCode == EN_CHANGE) {
        panelDirty = true;
        UINT size = 0;
        if ((panelScope & PANEL_KEY_SIZE) && ReadKeySize(&size)) {
          panelKeySize = size;
          RecomputeOverlap();
        }
        SetModified();
      }
      return true;
    case IDC_KEY_FILTER_INDETERMINATE:
      if (notifyCode == BN_CLICKED) OnIndeterminateClicked();
      return true;
    case IDC_KEY_FILTER_SHOW_TAB:
      if (notifyCode == BN_CLICKED) OnShowTabClicked();
      return true;
    default:
      break;
  }
  if (control && control != table.hwnd && control != typesList.hwnd && notifyCode != BN_CLICKED)
    return CModalDialog::OnCommand(id, notifyCode, control);
  switch (id) {
    case IDOK:
      if (!modified || Apply()) EndDialog(IDOK);
      return true;
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case ID_KEY_FILTERS_APPLY:
      Apply();
      return true;
    case ID_KEY_FILTER_ADD:
      OnAdd();
      return true;
    case ID_KEY_FILTER_DUPLICATE:
      OnDuplicate();
      return true;
    case ID_KEY_FILTER_DELETE:
      OnDelete(GetKeyState(VK_SHIFT) < 0);
      return true;
    case ID_KEY_FILTER_SELECT_ALL:
      if (table.hwnd) table.SelectAll();
      return true;
    case ID_KEY_FILTER_MOVE_UP:
    case ID_KEY_FILTER_MOVE_DOWN:
      OnMove(id == ID_KEY_FILTER_MOVE_UP);
      return true;
    case ID_KEY_FILTER_DEFAULTS:
      OnDefaultFilters();
      return true;
    case ID_KEY_FILTERS_IMPORT_CSV:
    case ID_KEY_FILTERS_IMPORT_EXCEL:
    case ID_KEY_FILTERS_IMPORT_CALC:
      // Shift at the command's start merges instead of replacing.
      Import(id - ID_KEY_FILTERS_IMPORT_CSV + 1, GetKeyState(VK_SHIFT) >= 0);
      return true;
    case ID_KEY_FILTERS_EXPORT_CSV:
      Export(1);
      return true;
    case ID_KEY_FILTERS_EXPORT_EXCEL_FILE:
      Export(m_settings.keyFiltersExportType == 3 ? 3 : 2);
      return true;
    case ID_KEY_FILTERS_EXPORT_EXCEL:
      Export(4);
      return true;
    case ID_KEY_FILTERS_EXPORT_CALC_FILE:
      Export(5);
      return true;
    case ID_KEY_FILTERS_EXPORT_CALC:
      Export(6);
      return true;
    case ID_KEY_TYPES_CHECK_ALL:
    case ID_KEY_TYPES_UNCHECK_ALL:
      SetPanelTypes(KEY_TYPES_MASK, id == ID_KEY_TYPES_CHECK_ALL);
      return true;
    default:
      break;
  }
  if (id >= ID_KEY_TYPES_CHECK_FIRST && id < ID_KEY_TYPES_CHECK_FIRST + kGroupCount) {
    SetPanelTypes(kTypeGroups[id - ID_KEY_TYPES_CHECK_FIRST], true);
    return true;
  }
  if (id >= ID_KEY_TYPES_UNCHECK_FIRST && id < ID_KEY_TYPES_UNCHECK_FIRST + kGroupCount) {
    SetPanelTypes(kTypeGroups[id - ID_KEY_TYPES_UNCHECK_FIRST], false);
    return true;
  }
  return CModalDialog::OnCommand(id, notifyCode, control);
}

// --- notifications

bool CKeyFiltersDialog::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (table.hwnd && header->hwndFrom == table.hwnd) {
    if (CModalDialog::OnNotify(id, header, result)) return true;
    return OnFiltersNotify(header, result);
  }
  if (typesList.hwnd && header->hwndFrom == typesList.hwnd) {
    if (OnTypesNotify(header, result)) return true;
  }
  return CModalDialog::OnNotify(id, header, result);
}

bool CKeyFiltersDialog::OnFiltersNotify(NMHDR* header, LRESULT* result) {
  *result = 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      data.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      data.OnCacheHint(hint->iFrom, hint->iTo);
      return true;
    }
    case LVN_ITEMCHANGED: {
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      if (!updating && (change->uChanged & LVIF_STATE) && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED)) {
        panelReload = true;
        UpdateButtons();
      }
      return true;
    }
    case LVN_ODSTATECHANGED: {
      auto* change = reinterpret_cast<NMLVODSTATECHANGE*>(header);
      if (!updating && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED)) {
        panelReload = true;
        UpdateButtons();
      }
      return true;
    }
    case LVN_KEYDOWN: {
      // Only the list's own keys: Delete in the name edit edits its text.
      auto* key = reinterpret_cast<NMLVKEYDOWN*>(header);
      const bool ctrl = GetKeyState(VK_CONTROL) < 0;
      const bool shift = GetKeyState(VK_SHIFT) < 0;
      const bool alt = GetKeyState(VK_MENU) < 0;
      if (key->wVKey == VK_INSERT && !ctrl && !shift && !alt) {
        OnAdd();
        *result = 1;
      } else if (key->wVKey == VK_DELETE && !ctrl && !alt) {
        OnDelete(shift);
        *result = 1;
      } else if (key->wVKey == 'D' && ctrl && !shift && !alt) {
        OnDuplicate();
        *result = 1;
      } else if (key->wVKey == VK_SPACE && !ctrl && !alt) {
        ToggleSelectedShowTab();
        *result = 1;
      }
      return true;
    }
    case NM_CLICK: {
      LVHITTESTINFO hit{};
      hit.pt = reinterpret_cast<NMITEMACTIVATE*>(header)->ptAction;
      if (SendMessageW(table.hwnd, LVM_HITTEST, 0, LPARAM(&hit)) >= 0 && (hit.flags & LVHT_ONITEMSTATEICON))
        ToggleShowTab(hit.iItem);
      return true;
    }
    case TBLN_BEGINDRAG:
    case TBLN_DRAGOVER:
      *result = 1;
      return true;
    case TBLN_DROP: {
      auto* drop = reinterpret_cast<_TBLN_DRAG_INFO*>(header);
      if (!drop->cancelled && drop->row >= 0) DropSelection(drop->row, drop->after);
      return true;
    }
    case TBLN_SORT:
      SortFilters(reinterpret_cast<_TBLN_SORT_INFO*>(header)->sort);
      *result = 1;
      return true;
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      _DOC_UPDATE_INFO batch(&m_settings, this);
      m_settings.SetConfigModified(true);
      COLUMN_SET set;
      for (const _COLUMN_INFO& column : table.columns)
        set.push_back({column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
      m_settings.keyFiltersColumns = set;
      m_settings.EndUpdate(batch);
      if (change->what & COLCHANGE_VISIBLE) Refresh();
      return true;
    }
    case TBLN_RESETCOLUMNS:
      *result = ResetColumnsToDefaults(m_settings, hwnd, *reinterpret_cast<_TBLN_RESET_INFO*>(header), CS_KEY_FILTERS);
      return true;
    default:
      return false;
  }
}

bool CKeyFiltersDialog::OnTypesNotify(NMHDR* header, LRESULT* result) {
  *result = 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      typesData.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT:
      return true;
    case NM_CLICK: {
      LVHITTESTINFO hit{};
      hit.pt = reinterpret_cast<NMITEMACTIVATE*>(header)->ptAction;
      if (SendMessageW(typesList.hwnd, LVM_HITTEST, 0, LPARAM(&hit)) >= 0 && (hit.flags & LVHT_ONITEMSTATEICON))
        CyclePanelType(hit.iItem);
      return true;
    }
    case LVN_KEYDOWN: {
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey != VK_SPACE) return false;
      int row = -1;
      while ((row = int(SendMessageW(typesList.hwnd, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) CyclePanelType(row);
      *result = 1;
      return true;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
        *result = CDRF_NOTIFYITEMDRAW;
      } else if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const int type = int(draw->nmcd.dwItemSpec);
        if (type >= 0 && type < CKeyFilterTypesLvData::kTypeCount && (overlapTypes & (1u << type))) {
          draw->clrText = typesData.StateImage(type) == kStateChecked ? kOverlapClaimed : kOverlapOther;
          *result = CDRF_NEWFONT;
        } else {
          *result = CDRF_DODEFAULT;
        }
      } else {
        *result = CDRF_DODEFAULT;
      }
      return true;
    }
    default:
      return false;
  }
}

// --- menus

void CKeyFiltersDialog::ShowFiltersMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_KEY_FILTERS_MENU, &bar);
  if (!popup) return;
  const bool none = SelectedCount() == 0;
  Gray(popup, ID_KEY_FILTER_DUPLICATE, none);
  Gray(popup, ID_KEY_FILTER_DELETE, none);
  // The spreadsheet items need the office registered on this machine.
  const bool excel = ExcelAvailable();
  const bool calc = CalcAvailable();
  for (UINT id : {ID_KEY_FILTERS_IMPORT_EXCEL, ID_KEY_FILTERS_EXPORT_EXCEL_FILE, ID_KEY_FILTERS_EXPORT_EXCEL}) {
    Gray(popup, id, !excel);
  }
  for (UINT id : {ID_KEY_FILTERS_IMPORT_CALC, ID_KEY_FILTERS_EXPORT_CALC_FILE, ID_KEY_FILTERS_EXPORT_CALC}) {
    Gray(popup, id, !calc);
  }
  CConfigVombraApp* app = App();
  std::vector<_HOTKEY_INFO> saved;
  if (app) {
    saved.swap(app->menuHotKeys);
    app->menuHotKeys.assign(std::begin(kListHotKeys), std::end(kListHotKeys));
  }
  const UINT command =
      UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  if (app) app->menuHotKeys.swap(saved);
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

void CKeyFiltersDialog::ShowTypesMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_KEY_TYPES_MENU, &bar);
  if (!popup) return;
  const UINT checked = panelKeyTypes & panelAgreeTypes;
  const UINT unchecked = ~panelKeyTypes & panelAgreeTypes;
  for (UINT g = 0; g < kGroupCount; ++g) {
    const UINT mask = kTypeGroups[g];
    CheckMenuItem(popup, ID_KEY_TYPES_CHECK_FIRST + g, MF_BYCOMMAND | ((checked & mask) == mask ? MF_CHECKED : 0));
    CheckMenuItem(popup, ID_KEY_TYPES_UNCHECK_FIRST + g,
                  MF_BYCOMMAND | ((unchecked & mask) == mask ? MF_CHECKED : 0));
  }
  const bool none = selectedCount == 0;
  for (UINT id : {UINT(ID_KEY_TYPES_CHECK_ALL), UINT(ID_KEY_TYPES_UNCHECK_ALL)}) Gray(popup, id, none);
  for (UINT g = 0; g < kGroupCount; ++g) {
    Gray(popup, ID_KEY_TYPES_CHECK_FIRST + g, none);
    Gray(popup, ID_KEY_TYPES_UNCHECK_FIRST + g, none);
  }
  const UINT command =
      UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}
