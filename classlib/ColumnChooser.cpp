#include "ColumnChooser.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "Core.h"
#include "Document.h"
#include "WinApp.h"

const UINT kChooserTitles[CHOOSER_COL_COUNT] = {IDS_CHOOSER_VISIBLE, IDS_CHOOSER_NUMBER, IDS_CHOOSER_NAME,
                                                IDS_CHOOSER_ALIGN, IDS_CHOOSER_AUTOSIZE};

COLUMN_SET ChooserDefaultColumns() {
  // Orders 1..5 as the document keeps them; the chooser normalises them before it shows rows.
  return {{20, 1, 0, COLUMN_VISIBLE},
          {35, 2, 0, COLUMN_VISIBLE},
          {70, 3, 0, COLUMN_VISIBLE},
          {95, 4, 0, COLUMN_VISIBLE},
          {20, 5, 2, COLUMN_VISIBLE}};
}

namespace {

const UINT kSelectedFlag = COLUMN_SELECTED;
// The table's header-menu command that opens a chooser.
const UINT kCustomizeColumnsCommand = 32785;

// The alignment names, loaded once per process.
const std::wstring& AlignName(int align) {
  static std::wstring names[3];
  static bool loaded = false;
  if (!loaded) {
    for (int i = 0; i < 3; ++i)
      if (LoadStr(IDS_ALIGN_LEFT + i, names[i]) <= 0) names[i] = L"?";
    loaded = true;
  }
  return names[align >= 0 && align <= 2 ? align : 0];
}

int NormalAlign(int align) { return align == 1 || align == 2 ? align : 0; }

// Orders that are not a permutation of 0..n-1 (out of range or repeated) become the record indices.
void NormaliseOrders(std::vector<_COLUMN_INFO>& records) {
  const int n = int(records.size());
  std::vector<bool> seen(size_t(n), false);
  bool valid = true;
  for (const _COLUMN_INFO& record : records) {
    if (record.order < 0 || record.order >= n || seen[size_t(record.order)]) {
      valid = false;
      break;
    }
    seen[size_t(record.order)] = true;
  }
  if (valid) return;
  for (int i = 0; i < n; ++i) records[size_t(i)].order = i;
}

HMODULE ModuleWith(LPCWSTR type, UINT id) {
  if (g_hResInstance && FindResourceW(g_hResInstance, MAKEINTRESOURCEW(id), type)) return g_hResInstance;
  return g_hInstance;
}

}  // namespace

// ---- Rows ----

int CColumnsLvData::GetItemCount() { return int(rowRecords.size()); }

void CColumnsLvData::FillRow(int row, Row& out) {
  out.number = std::to_wstring(row + 1);
  out.record = row >= 0 && size_t(row) < rowRecords.size() ? rowRecords[size_t(row)] : -1;
  out.title.clear();
  if (columns && out.record >= 0 && size_t(out.record) < columns->size()) {
    const UINT title = (*columns)[size_t(out.record)].title;
    if (title) LoadStr(title, out.title);
  }
}

const CColumnsLvData::Row& CColumnsLvData::RowAt(int row) {
  if (cacheFirst >= 0 && row >= cacheFirst && size_t(row - cacheFirst) < cache.size())
    return cache[size_t(row - cacheFirst)];
  FillRow(row, spare);
  return spare;
}

void CColumnsLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (item.iItem < 0 || size_t(item.iItem) >= rowRecords.size() || !columns) return;
  int kind = -1;
  if (listVisible && listColumns && item.iSubItem >= 0 && size_t(item.iSubItem) < listVisible->size()) {
    const int record = (*listVisible)[size_t(item.iSubItem)];
    if (record >= 0 && size_t(record) < listColumns->size()) kind = record;
  }
  const Row& row = RowAt(item.iItem);
  if (row.record < 0 || size_t(row.record) >= columns->size()) return;
  const _COLUMN_INFO& column = (*columns)[size_t(row.record)];
  if (item.mask & LVIF_TEXT) {
    const wchar_t* text = L"";
    if (kind == CHOOSER_COL_NUMBER) text = row.number.c_str();
    if (kind == CHOOSER_COL_NAME) text = row.title.c_str();
    if (kind == CHOOSER_COL_ALIGN) text = AlignName(NormalAlign(column.align)).c_str();
    item.pszText = const_cast<wchar_t*>(text);
  }
  if (item.mask & LVIF_IMAGE) {
    item.iImage = I_IMAGENONE;  // only the two check columns have a picture
    if (kind == CHOOSER_COL_VISIBLE) item.iImage = (column.flags & COLUMN_VISIBLE) ? 1 : 0;
    if (kind == CHOOSER_COL_AUTOSIZE) item.iImage = (column.flags & COLUMN_AUTOSIZE) ? 1 : 0;
  }
}

void CColumnsLvData::OnCacheHint(int from, int to) {
  if (cacheFirst >= 0 && from >= cacheFirst && to < cacheFirst + int(cache.size())) return;
  cache.clear();
  cacheFirst = -1;
  if (to == from - 1) return;
  to = std::min(to, int(rowRecords.size()) - 1);
  if (from < 0 || to < from) return;
  cache.resize(size_t(to - from + 1));
  cacheFirst = from;
  for (int row = from; row <= to; ++row) FillRow(row, cache[size_t(row - from)]);
}

void CColumnsLvData::RebuildRows() {
  const int n = columns ? int(columns->size()) : 0;
  rowRecords.assign(size_t(n), 0);
  for (int i = 0; i < n; ++i) {
    const int order = (*columns)[size_t(i)].order;
    if (order >= 0 && order < n) rowRecords[size_t(order)] = i;
  }
}

void CColumnsLvData::RebuildCache() {
  if (cacheFirst < 0) return;
  const int last = std::min(cacheFirst + int(cache.size()), int(rowRecords.size()));
  cache.resize(size_t(std::max(last - cacheFirst, 0)));
  if (cache.empty()) cacheFirst = -1;
  for (size_t i = 0; i < cache.size(); ++i) FillRow(cacheFirst + int(i), cache[i]);
}

// ---- Dialog ----

CColumnListDialog::CColumnListDialog(CTableCtrl* customised) : table(customised) {}

CColumnListDialog::~CColumnListDialog() { rows.callback = nullptr; }

LRESULT CColumnListDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      CModalDialog::OnInitDialog();
      OnInitDialog();
      return TRUE;
    case WM_GETMINMAXINFO:
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {440, 250};
      return 0;
    case WM_SIZE:
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_KICKIDLE:
      if (selectionChanged) FillControls();
      return 0;
    case WM_CONTEXTMENU:
      if (HWND(wParam) == list.hwnd && list.hwnd && !IsInMenuMode()) {
        ShowContextMenu(lParam);
        return 0;
      }
      return CModalDialog::WindowProc(wnd, message, wParam, lParam);
    case WM_DESTROY:
      OnDestroy();
      return CModalDialog::WindowProc(wnd, message, wParam, lParam);
    default:
      return CModalDialog::WindowProc(wnd, message, wParam, lParam);
  }
}

void CColumnListDialog::OnInitDialog() {
  edited = table ? table->columns : std::vector<_COLUMN_INFO>();
  NormaliseOrders(edited);
  sort = 0;

  layout.owner = hwnd;
  layout.AddControl(IDC_CHOOSER_LIST, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {IDC_CHOOSER_NAME_LABEL, IDC_CHOOSER_ALIGN_LABEL, IDC_CHOOSER_ALIGN, IDC_CHOOSER_VISIBLE,
                 IDC_CHOOSER_AUTOSIZE})
    layout.AddControl(id, ANCHOR_LEFT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_CHOOSER_NAME, ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {IDOK, IDCANCEL, int(ID_CHOOSER_APPLY)}) layout.AddControl(id, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  if (list.Attach(hwnd, IDC_CHOOSER_LIST)) {
    DWORD exStyle = LVS_EX_SUBITEMIMAGES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    if (g_app && g_app->GetTableGrid()) exStyle |= LVS_EX_GRIDLINES;
    SendMessageW(list.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle | LVS_EX_GRIDLINES, exStyle);
    const HMODULE module = ModuleWith(RT_BITMAP, IDB_COLUMN_CHECKS);
    HBITMAP bitmap = HBITMAP(
        LoadImageW(module, MAKEINTRESOURCEW(IDB_COLUMN_CHECKS), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (bitmap) {
      checkImages.himl = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 0);
      if (checkImages.himl) ImageList_AddMasked(checkImages.himl, bitmap, RGB(255, 0, 255));
      DeleteObject(bitmap);
    }
    if (checkImages.himl) SendMessageW(list.hwnd, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(checkImages.himl));
    COLUMN_SET stored;
    if (!g_app || !g_app->GetChooserColumns(stored) || stored.size() != CHOOSER_COL_COUNT)
      stored = ChooserDefaultColumns();
    list.SetColumns(stored, kChooserTitles);
    list.SetSort(0);
    list.UpdateColumns();
    if (g_app) list.SetToolTip(g_app->GetSharedToolTip());
  }

  rows.columns = &edited;
  rows.listColumns = &list.columns;
  rows.listVisible = &list.visibleColumns;
  rows.RebuildRows();
  rows.owner = this;
  rows.callback = &CColumnListDialog::OnRowsChanged;
  Refresh();
  FillControls();
  SetModified(false);
  if (g_app) g_app->ExchangeWindowPos(false, hwnd, 1, -1);
}

void CColumnListDialog::OnDestroy() {
  if (g_app) g_app->ExchangeWindowPos(true, hwnd, 1, -1);
  rows.callback = nullptr;
  rows.owner = nullptr;
  list.RemoveHeaderTips();
  list.Destroy();
  if (checkImages.himl) ImageList_Destroy(checkImages.himl);
  checkImages.himl = nullptr;
}

void CColumnListDialog::OnRowsChanged(void* owner, CVirtualListViewData*, int) {
  auto* dialog = static_cast<CColumnListDialog*>(owner);
  HWND listWnd = dialog->list.hwnd;
  if (!listWnd) return;
  const int top = int(SendMessageW(listWnd, LVM_GETTOPINDEX, 0, 0));
  const int oldCount = int(SendMessageW(listWnd, LVM_GETITEMCOUNT, 0, 0));
  const int count = dialog->rows.GetItemCount();
  SendMessageW(listWnd, LVM_SETITEMCOUNT, WPARAM(count), LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
  if (dialog->list.sort != dialog->sort) dialog->list.SetSort(dialog->sort);
  dialog->list.SetTopIndex(top);
  if (count == oldCount) InvalidateRect(listWnd, nullptr, FALSE);
}

void CColumnListDialog::Refresh() {
  rows.RebuildCache();
  rows.FireEvent();
  if (!list.hwnd) return;
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  SendMessageW(list.hwnd, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
  state.state = LVIS_SELECTED;
  for (size_t row = 0; row < rows.rowRecords.size(); ++row) {
    const int record = rows.rowRecords[row];
    if (record >= 0 && size_t(record) < edited.size() && (edited[size_t(record)].flags & kSelectedFlag))
      SendMessageW(list.hwnd, LVM_SETITEMSTATE, row, LPARAM(&state));
  }
}

std::vector<int> CColumnListDialog::SelectedRows() const {
  std::vector<int> selected;
  if (!list.hwnd) return selected;
  const int n = int(rows.rowRecords.size());
  for (int i = -1; (i = int(SendMessageW(list.hwnd, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) != -1;) {
    if (i >= n) break;
    selected.push_back(i);
  }
  return selected;
}

void CColumnListDialog::FillControls() {
  selectionChanged = false;
  selectedCount = list.hwnd ? int(SendMessageW(list.hwnd, LVM_GETSELECTEDCOUNT, 0, 0)) : 0;
  for (_COLUMN_INFO& record : edited) record.flags &= ~kSelectedFlag;
  const std::vector<int> selected = SelectedRows();
  for (int row : selected) edited[size_t(rows.rowRecords[size_t(row)])].flags |= kSelectedFlag;

  if (selected.empty()) {
    uniform = shownUniform = 0;
    commonAlign = 0;
    commonVisible = true;
    commonAutoSize = false;
  } else {
    const _COLUMN_INFO& first = edited[size_t(rows.rowRecords[size_t(selected.front())])];
    commonAlign = NormalAlign(first.align);
    commonVisible = (first.flags & COLUMN_VISIBLE) != 0;
    commonAutoSize = (first.flags & COLUMN_AUTOSIZE) != 0;
    uniform = kSharedAlign | kSharedVisible | kSharedAutoSize;
    for (size_t i = 1; i < selected.size(); ++i) {
      const _COLUMN_INFO& other = edited[size_t(rows.rowRecords[size_t(selected[i])])];
      if (NormalAlign(other.align) != commonAlign) uniform &= ~kSharedAlign;
      if (((other.flags & COLUMN_VISIBLE) != 0) != commonVisible) uniform &= ~kSharedVisible;
      if (((other.flags & COLUMN_AUTOSIZE) != 0) != commonAutoSize) uniform &= ~kSharedAutoSize;
    }
    shownUniform = uniform;
  }

  std::wstring name = L"*";
  if (selected.size() == 1) {
    name.clear();
    const UINT title = edited[size_t(rows.rowRecords[size_t(selected.front())])].title;
    if (title) LoadStr(title, name);
  }
  SetDlgItemTextW(hwnd, IDC_CHOOSER_NAME, name.c_str());

  HWND combo = GetDlgItem(hwnd, IDC_CHOOSER_ALIGN);
  const bool alignShared = (uniform & kSharedAlign) != 0;
  const int wanted = alignShared ? 3 : 4;
  const int count = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  bool matches = count == wanted;
  if (matches) {
    wchar_t first[8] = L"";
    if (SendMessageW(combo, CB_GETLBTEXTLEN, 0, 0) < 8) SendMessageW(combo, CB_GETLBTEXT, 0, LPARAM(first));
    matches = (wcscmp(first, L"*") == 0) == !alignShared;
  }
  if (!matches) {
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    if (!alignShared) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(L"*"));
    for (int i = 0; i < 3; ++i) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(AlignName(i).c_str()));
  }
  SendMessageW(combo, CB_SETCURSEL, alignShared ? WPARAM(commonAlign) : 0, 0);

  const struct {
    UINT id;
    UINT bit;
    bool value;
  } boxes[] = {{IDC_CHOOSER_VISIBLE, kSharedVisible, commonVisible},
               {IDC_CHOOSER_AUTOSIZE, kSharedAutoSize, commonAutoSize}};
  for (const auto& box : boxes) {
    HWND button = GetDlgItem(hwnd, box.id);
    const bool shared = (uniform & box.bit) != 0;
    SendMessageW(button, BM_SETSTYLE, shared ? BS_AUTOCHECKBOX : BS_AUTO3STATE, TRUE);
    SendMessageW(button, BM_SETCHECK, shared ? (box.value ? BST_CHECKED : BST_UNCHECKED) : BST_INDETERMINATE,
                 0);
  }

  const BOOL any = selected.empty() ? FALSE : TRUE;
  for (int id : {IDC_CHOOSER_NAME_LABEL, IDC_CHOOSER_NAME, IDC_CHOOSER_ALIGN_LABEL, IDC_CHOOSER_ALIGN,
                 IDC_CHOOSER_VISIBLE, IDC_CHOOSER_AUTOSIZE})
    EnableWindow(GetDlgItem(hwnd, id), any);
}

void CColumnListDialog::SetModified(bool on) {
  modified = on;
  EnableWindow(GetDlgItem(hwnd, ID_CHOOSER_APPLY), on);
}

void CColumnListDialog::DropSort() {
  sort = 0;
  list.SetSort(0);
}

void CColumnListDialog::DropSortBy(int kind) {
  if (sort == kind + 1 || sort == -(kind + 1)) DropSort();
}

void CColumnListDialog::AfterEdit(int kind) {
  SetModified(true);
  DropSortBy(kind);
  rows.RebuildCache();
  rows.FireEvent();
}

void CColumnListDialog::OnAlignChanged() {
  const int entry = int(SendMessageW(GetDlgItem(hwnd, IDC_CHOOSER_ALIGN), CB_GETCURSEL, 0, 0));
  const int align = (uniform & kSharedAlign) ? entry : entry - 1;
  if (align < 0 || align > 2) return;
  bool changed = false;
  for (_COLUMN_INFO& record : edited) {
    if (!(record.flags & kSelectedFlag) || record.align == align) continue;
    record.align = align;
    changed = true;
  }
  commonAlign = align;
  uniform |= kSharedAlign;
  if (changed) AfterEdit(CHOOSER_COL_ALIGN);
  FillControls();
}

void CColumnListDialog::OnCheckClicked(UINT id) {
  const LRESULT state = SendMessageW(GetDlgItem(hwnd, id), BM_GETCHECK, 0, 0);
  if (state == BST_INDETERMINATE) return;
  const UINT flag = id == IDC_CHOOSER_VISIBLE ? COLUMN_VISIBLE : COLUMN_AUTOSIZE;
  bool changed = false;
  for (_COLUMN_INFO& record : edited) {
    if (!(record.flags & kSelectedFlag)) continue;
    const UINT flags = state == BST_CHECKED ? (record.flags | flag) : (record.flags & ~flag);
    if (flags == record.flags) continue;
    record.flags = flags;
    changed = true;
  }
  if (changed) AfterEdit(flag == COLUMN_VISIBLE ? CHOOSER_COL_VISIBLE : CHOOSER_COL_AUTOSIZE);
  FillControls();
}

void CColumnListDialog::ToggleVisibleOfSelection() {
  const std::vector<int> selected = SelectedRows();
  if (selected.empty()) return;
  for (int row : selected) edited[size_t(rows.rowRecords[size_t(row)])].flags ^= COLUMN_VISIBLE;
  rows.RebuildCache();
  SendMessageW(list.hwnd, LVM_REDRAWITEMS, WPARAM(selected.front()), LPARAM(selected.back()));
  DropSortBy(CHOOSER_COL_VISIBLE);
  FillControls();
  SetModified(true);
}

void CColumnListDialog::OnListClick(NMITEMACTIVATE* click) {
  if (click->iItem < 0 || size_t(click->iItem) >= rows.rowRecords.size()) return;
  LVHITTESTINFO hit{};
  hit.pt = click->ptAction;
  if (SendMessageW(list.hwnd, LVM_SUBITEMHITTEST, 0, LPARAM(&hit)) < 0 || hit.iItem != click->iItem) return;
  if (!(hit.flags & LVHT_ONITEMICON)) return;
  if (hit.iSubItem < 0 || size_t(hit.iSubItem) >= list.visibleColumns.size()) return;
  const int kind = list.visibleColumns[size_t(hit.iSubItem)];
  if (kind != CHOOSER_COL_VISIBLE && kind != CHOOSER_COL_AUTOSIZE) return;
  edited[size_t(rows.rowRecords[size_t(hit.iItem)])].flags ^=
      kind == CHOOSER_COL_VISIBLE ? COLUMN_VISIBLE : COLUMN_AUTOSIZE;
  AfterEdit(kind);
  FillControls();
}

void CColumnListDialog::SortRows(int newSort) {
  const int kind = std::abs(newSort) - 1;
  const bool descending = newSort < 0;
  auto key = [this, kind](int record) -> std::wstring {
    const _COLUMN_INFO& column = edited[size_t(record)];
    switch (kind) {
      case CHOOSER_COL_VISIBLE:
        return (column.flags & COLUMN_VISIBLE) ? L"1" : L"0";
      case CHOOSER_COL_NAME: {
        std::wstring title;
        if (column.title) LoadStr(column.title, title);
        return title;
      }
      case CHOOSER_COL_ALIGN:
        return std::wstring(1, wchar_t(L'0' + NormalAlign(column.align)));
      case CHOOSER_COL_AUTOSIZE:
        return (column.flags & COLUMN_AUTOSIZE) ? L"1" : L"0";
      default:
        return std::wstring();
    }
  };
  if (kind != CHOOSER_COL_NUMBER) {
    std::vector<std::pair<std::wstring, int>> keyed;
    for (int record : rows.rowRecords) keyed.emplace_back(key(record), record);
    // Stable, so that equal rows keep the order the user gave them. std::wstring compares code units.
    std::stable_sort(keyed.begin(), keyed.end(), [descending](const auto& a, const auto& b) {
      return descending ? b.first < a.first : a.first < b.first;
    });
    for (size_t i = 0; i < keyed.size(); ++i) rows.rowRecords[i] = keyed[i].second;
  }
  sort = newSort;
  Refresh();
  SetModified(true);
}

void CColumnListDialog::OnDrop(const _TBLN_DRAG_INFO* drop) {
  if (drop->cancelled || drop->row < 0) return;
  const std::vector<int> selected = SelectedRows();
  if (selected.empty()) return;
  const int n = int(rows.rowRecords.size());
  // kDropAtEnd is INT_MAX: add one only below n.
  int target = drop->row >= n ? n : drop->row + (drop->after ? 1 : 0);
  target = std::min(target, n);
  const bool contiguous = selected.back() - selected.front() == int(selected.size()) - 1;
  if (contiguous && target >= selected.front() && target <= selected.back() + 1) return;

  for (_COLUMN_INFO& record : edited) record.flags &= ~kSelectedFlag;
  std::vector<int> taken;
  std::vector<int> rest;
  size_t next = 0;
  int above = 0;
  for (int row = 0; row < n; ++row) {
    if (next < selected.size() && selected[next] == row) {
      ++next;
      const int record = rows.rowRecords[size_t(row)];
      edited[size_t(record)].flags |= kSelectedFlag;
      taken.push_back(record);
      if (row < target) ++above;
    } else {
      rest.push_back(rows.rowRecords[size_t(row)]);
    }
  }
  target -= above;
  rest.insert(rest.begin() + target, taken.begin(), taken.end());
  rows.rowRecords = rest;
  DropSort();
  Refresh();
  SetModified(true);
}

void CColumnListDialog::Apply() {
  CDocument* document = g_app ? g_app->GetSettingsDocument() : nullptr;
  std::optional<_DOC_UPDATE_INFO> batch;
  if (document) batch.emplace(document, this);
  for (size_t row = 0; row < rows.rowRecords.size(); ++row)
    edited[size_t(rows.rowRecords[row])].order = int(row);
  if (table) {
    table->columns = edited;
    table->UpdateColumns();
    table->NotifyColumnsChanged(COLCHANGE_ALL, -1);
  }
  SetModified(false);
}

void CColumnListDialog::ResetToDefaults() {
  if (!table || !table->QueryResetColumns(&edited, true)) return;
  // The owner's defaults may carry orders 1..n (the document's own sets do): normalised as at opening,
  // or one row would show twice and another not at all.
  NormaliseOrders(edited);
  DropSort();
  rows.RebuildRows();
  Refresh();
  SetModified(true);
}

void CColumnListDialog::ShowContextMenu(LPARAM point) {
  const HMODULE module = ModuleWith(RT_MENU, IDR_COLUMN_CHOOSER_MENU);
  CMenu menu(LoadMenuW(module, MAKEINTRESOURCEW(IDR_COLUMN_CHOOSER_MENU)));
  if (!menu.hmenu) return;
  HMENU popup = GetSubMenu(menu.hmenu, 0);
  if (!popup) return;
  const bool offered = table && table->QueryResetColumns(nullptr, true);
  EnableMenuItem(popup, ID_CHOOSER_DEFAULT_COLUMNS, MF_BYCOMMAND | (offered ? MF_ENABLED : MF_GRAYED));
  POINT at{GET_X_LPARAM(point), GET_Y_LPARAM(point)};
  if (point == -1) GetCursorPos(&at);
  TrackPopupMenu(popup, TPM_LEFTBUTTON, at.x, at.y, 0, hwnd, nullptr);
}

bool CColumnListDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDOK:
      if (modified) Apply();
      EndDialog(IDOK);
      return true;
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case ID_CHOOSER_APPLY:
      if (notifyCode == BN_CLICKED) Apply();
      return true;
    case ID_CHOOSER_SELECT_ALL:
      list.SelectAll();
      return true;
    case ID_CHOOSER_DEFAULT_COLUMNS:
      ResetToDefaults();
      return true;
    case IDC_CHOOSER_ALIGN:
      if (notifyCode == CBN_SELCHANGE) OnAlignChanged();
      return true;
    case IDC_CHOOSER_VISIBLE:
    case IDC_CHOOSER_AUTOSIZE:
      if (notifyCode == BN_CLICKED) OnCheckClicked(id);
      return true;
    default:
      return CModalDialog::OnCommand(id, notifyCode, control);
  }
}

bool CColumnListDialog::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id != IDC_CHOOSER_LIST || header->hwndFrom != list.hwnd)
    return CModalDialog::OnNotify(id, header, result);
  switch (header->code) {
    case TBLN_HEADERMENU: {
      // One level of nesting: a chooser opened on a chooser's own list offers no further chooser.
      auto* menu = reinterpret_cast<_TBLN_MENU_INFO*>(header);
      if (table && !table->columns.empty() && table->columns.front().title == IDS_CHOOSER_VISIBLE)
        EnableMenuItem(menu->menu, kCustomizeColumnsCommand, MF_BYCOMMAND | MF_GRAYED);
      *result = 0;
      return true;
    }
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      COLUMN_SET set;
      for (const _COLUMN_INFO& column : list.columns)
        set.push_back(
            {column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
      if (g_app) g_app->StoreChooserColumns(set);
      if (change->what & COLCHANGE_VISIBLE) {
        rows.RebuildCache();
        rows.FireEvent();
      }
      *result = 0;
      return true;
    }
    case TBLN_RESETCOLUMNS: {
      auto* reset = reinterpret_cast<_TBLN_RESET_INFO*>(header);
      if (reset->columns) {
        const COLUMN_SET defaults = ChooserDefaultColumns();
        for (size_t i = 0; i < reset->columns->size() && i < defaults.size(); ++i) {
          _COLUMN_INFO& column = (*reset->columns)[i];
          column.width = defaults[i].width;
          column.align = defaults[i].align;
          column.order = defaults[i].order;
          column.flags = defaults[i].flags;
        }
      }
      *result = 1;
      return true;
    }
    case TBLN_SORT:
      SortRows(reinterpret_cast<_TBLN_SORT_INFO*>(header)->sort);
      *result = 1;
      return true;
    case TBLN_BEGINDRAG:
      *result = 1;
      return true;
    case TBLN_DRAGOVER:
      *result = 0;
      return true;
    case TBLN_DROP:
      OnDrop(reinterpret_cast<_TBLN_DRAG_INFO*>(header));
      *result = 0;
      return true;
    case LVN_GETDISPINFOW:
      rows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      *result = 0;
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      rows.OnCacheHint(hint->iFrom, hint->iTo);
      *result = 0;
      return true;
    }
    case LVN_ITEMCHANGED: {
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      if ((change->uChanged & LVIF_STATE) && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED))
        selectionChanged = true;
      *result = 0;
      return true;
    }
    case LVN_KEYDOWN:
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_SPACE) {
        ToggleVisibleOfSelection();
        *result = 1;
        return true;
      }
      return CModalDialog::OnNotify(id, header, result);
    case NM_CLICK:
      OnListClick(reinterpret_cast<NMITEMACTIVATE*>(header));
      *result = 0;
      return true;
    default:
      return CModalDialog::OnNotify(id, header, result);
  }
}
