#include "TableCtrl.h"

#include <shlwapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "ColumnChooser.h"
#include "Core.h"
#include "File.h"
#include "Strings.h"
#include "WinApp.h"

namespace {

constexpr UINT kReReadWidths = WM_USER + 1;
constexpr UINT kReReadOrder = WM_USER + 2;
constexpr UINT_PTR kAutoScrollTimer = 1;
constexpr int kMinColumnWidth = 10;
constexpr int kTitleTipMargin = 12;
constexpr int kIndentPixels = 16;
constexpr int kScrollStepMs = 250;

// Set while the user drags a header divider in any table: WM_SIZE re-reads wait for its end.
bool s_trackingDivider = false;

int AlignFormat(int align) {
  switch (align) {
    case 1:
      return LVCFMT_RIGHT;
    case 2:
      return LVCFMT_CENTER;
    default:
      return LVCFMT_LEFT;
  }
}

int HeaderItemCount(HWND header) { return header ? int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0; }

void DiscardQueued(HWND wnd, UINT message) {
  MSG queued;
  while (PeekMessageW(&queued, wnd, message, message, PM_REMOVE)) {
  }
}

}  // namespace

void CVirtualListViewData::FireEvent() {
  if (!callback) return;
  try {
    callback(owner, this, 0);
  } catch (const std::exception& e) {
    std::wstring text;
    AnsiToWide(e.what(), int(std::strlen(e.what())), text);
    Trace(L"Exception in CVirtualListViewData::FireEvent(): %s\r\n", text.c_str());
  }
}

CTableCtrl::~CTableCtrl() {
  if (drag) EndDrag(true, false);
}

HWND CTableCtrl::Header() const { return hwnd ? HWND(SendMessageW(hwnd, LVM_GETHEADER, 0, 0)) : nullptr; }

LRESULT CTableCtrl::SendTableNotify(UINT code, NMHDR* record) {
  record->hwndFrom = hwnd;
  record->idFrom = UINT_PTR(GetDlgCtrlID(hwnd));
  record->code = code;
  return SendMessageW(GetParent(hwnd), WM_NOTIFY, record->idFrom, LPARAM(record));
}

// --- columns ---

void CTableCtrl::SetColumns(const COLUMN_SET& states, const UINT* titles) {
  columns.clear();
  columns.reserve(states.size());
  for (size_t i = 0; i < states.size(); ++i) {
    const _COLUMN_SETTINGS_INFO& state = states[i];
    // The configuration file may be edited by hand: a negative share would upset the auto-size sums.
    columns.push_back({titles[i], std::max(state.width, 0), state.align, state.order, state.flags});
  }
  visibleColumns.clear();
}

void CTableCtrl::UpdateColumns() {
  for (int item = HeaderItemCount(Header()) - 1; item >= 0; --item)
    SendMessageW(hwnd, LVM_DELETECOLUMN, item, 0);
  visibleColumns.clear();
  if (columns.empty()) return;
  // The list view forces its first column left-aligned; a throw-away first column lets the first real
  // one be right-aligned or centred.
  LVCOLUMNW column{};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  column.fmt = LVCFMT_LEFT;
  column.pszText = const_cast<wchar_t*>(L"");
  SendMessageW(hwnd, LVM_INSERTCOLUMNW, 0, LPARAM(&column));
  for (size_t i = 0; i < columns.size(); ++i) {
    const _COLUMN_INFO& record = columns[i];
    if (!(record.flags & COLUMN_VISIBLE)) continue;
    visibleColumns.push_back(int(i));
    std::wstring title;
    if (record.title) LoadStr(record.title, title);
    column.fmt = AlignFormat(record.align);
    column.cx = std::max(record.width, kMinColumnWidth);
    column.pszText = title.data();
    SendMessageW(hwnd, LVM_INSERTCOLUMNW, visibleColumns.size(), LPARAM(&column));
  }
  SendMessageW(hwnd, LVM_DELETECOLUMN, 0, 0);
  SyncColumnOrder(false);
  AutoSizeColumns();
  if (tips) UpdateHeaderTips();
  SetSort(sort);
}

void CTableCtrl::AutoSizeColumns() {
  if (columns.empty()) return;
  RECT client{};
  GetClientRect(hwnd, &client);
  int64_t free = client.right - client.left;
  int64_t shares = 0;
  int autoCount = 0;
  for (int r : visibleColumns) {
    const _COLUMN_INFO& record = columns[size_t(r)];
    if (record.flags & COLUMN_AUTOSIZE) {
      shares += std::max(record.width, 0);
      ++autoCount;
    } else {
      free -= record.width;
    }
  }
  if (autoCount == 0) return;
  // Widths come from a hand-editable file: a zero share sum means equal shares of what is free (never
  // a negative width), and the products stay in 64 bits.
  const bool equalShares = shares <= 0;
  if (equalShares) shares = std::max<int64_t>(free, 0) / autoCount;
  for (size_t h = 0; h < visibleColumns.size(); ++h) {
    const _COLUMN_INFO& record = columns[size_t(visibleColumns[h])];
    if (!(record.flags & COLUMN_AUTOSIZE)) continue;
    int64_t width = (record.width != 0 && !equalShares) ? free * record.width / shares : shares;
    width = std::clamp<int64_t>(width, kMinColumnWidth, INT_MAX);
    SendMessageW(hwnd, LVM_SETCOLUMNWIDTH, h, MAKELPARAM(int(width), 0));
  }
}

void CTableCtrl::SyncColumnOrder(bool fromControl) {
  const size_t count = visibleColumns.size();
  if (!fromControl) {
    if (count == 0) return;
    std::vector<int> display(count);
    for (size_t k = 0; k < count; ++k) display[k] = int(k);
    auto orderAt = [this](int k) { return columns[size_t(visibleColumns[size_t(k)])].order; };
    std::stable_sort(display.begin(), display.end(), [&](int a, int b) { return orderAt(a) < orderAt(b); });
    SendMessageW(hwnd, LVM_SETCOLUMNORDERARRAY, count, LPARAM(display.data()));
    return;
  }
  const int items = HeaderItemCount(Header());
  if (items <= 0 || size_t(items) != count) return;
  std::vector<int> display(count);
  if (!SendMessageW(hwnd, LVM_GETCOLUMNORDERARRAY, count, LPARAM(display.data()))) return;
  std::vector<int> values;
  for (int r : visibleColumns) values.push_back(columns[size_t(r)].order);
  std::sort(values.begin(), values.end());
  for (size_t position = 0; position < count; ++position) {
    const int k = display[position];
    if (k < 0 || size_t(k) >= count) continue;
    columns[size_t(visibleColumns[size_t(k)])].order = values[position];
  }
}

int CTableCtrl::GetHeaderIndex(int record) const {
  if (record < 0 || size_t(record) >= columns.size()) return -1;
  if (!(columns[size_t(record)].flags & COLUMN_VISIBLE)) return -1;
  int index = 0;
  for (int i = 0; i < record; ++i)
    if (columns[size_t(i)].flags & COLUMN_VISIBLE) ++index;
  return index;
}

// --- sort arrows ---

void CTableCtrl::ClearSortMark(int item) {
  HWND header = Header();
  HDITEMW hd{};
  hd.mask = HDI_FORMAT;
  if (!header || !SendMessageW(header, HDM_GETITEMW, item, LPARAM(&hd))) return;
  hd.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
  SendMessageW(header, HDM_SETITEMW, item, LPARAM(&hd));
}

void CTableCtrl::SetSortMark(int item, bool ascending) {
  HWND header = Header();
  HDITEMW hd{};
  hd.mask = HDI_FORMAT;
  if (!header || !SendMessageW(header, HDM_GETITEMW, item, LPARAM(&hd))) return;
  hd.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
  hd.fmt |= ascending ? HDF_SORTUP : HDF_SORTDOWN;
  SendMessageW(header, HDM_SETITEMW, item, LPARAM(&hd));
}

bool CTableCtrl::GetSortMark(int* item, bool* ascending) {
  *item = -1;
  *ascending = true;
  HWND header = Header();
  const int count = HeaderItemCount(header);
  for (int i = 0; i < count; ++i) {
    HDITEMW hd{};
    hd.mask = HDI_FORMAT;
    if (!SendMessageW(header, HDM_GETITEMW, i, LPARAM(&hd))) continue;
    if (hd.fmt & (HDF_SORTUP | HDF_SORTDOWN)) {
      *item = i;
      *ascending = !(hd.fmt & HDF_SORTDOWN);
      return true;
    }
  }
  return false;
}

void CTableCtrl::SetSort(int newSort) {
  sort = newSort;
  const int target = newSort != 0 ? GetHeaderIndex(std::abs(newSort) - 1) : -1;
  int current = -1;
  bool ascending = true;
  GetSortMark(&current, &ascending);
  if (target == current && ascending == (newSort > 0)) return;
  if (current != -1) ClearSortMark(current);
  if (target != -1) SetSortMark(target, newSort > 0);
}

void CTableCtrl::SetNoSortHeader(bool noSort) {
  const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  const LONG_PTR listStyle = noSort ? (style | LVS_NOSORTHEADER) : (style & ~LONG_PTR(LVS_NOSORTHEADER));
  if (listStyle != style) SetWindowLongPtrW(hwnd, GWL_STYLE, listStyle);
  HWND header = Header();
  if (!header) return;
  const LONG_PTR headerStyle = GetWindowLongPtrW(header, GWL_STYLE);
  const LONG_PTR wanted = noSort ? (headerStyle & ~LONG_PTR(HDS_BUTTONS)) : (headerStyle | HDS_BUTTONS);
  if (wanted != headerStyle) SetWindowLongPtrW(header, GWL_STYLE, wanted);
}

// --- header tips ---

void CTableCtrl::SetToolTip(CToolTipCtrl* tooltip) {
  if (tooltip == tips) return;
  RemoveHeaderTips();
  tips = tooltip;
  if (tips) UpdateHeaderTips();
}

void CTableCtrl::UpdateHeaderTips() {
  if (!tips || !tips->hwnd) return;
  HWND header = Header();
  for (size_t i = columns.size(); i < tipRegistered.size(); ++i)
    if (tipRegistered[i]) tips->DelTool(header, i + 1);
  tipRegistered.resize(columns.size());
  if (!header || HeaderItemCount(header) == 0) return;
  CClientDC dc(header);
  HGDIOBJ oldFont = SelectObject(dc.hdc, HGDIOBJ(SendMessageW(header, WM_GETFONT, 0, 0)));
  int h = 0;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!(columns[i].flags & COLUMN_VISIBLE)) {
      if (tipRegistered[i]) tips->DelTool(header, i + 1);
      tipRegistered[i] = false;
      continue;
    }
    RECT item{};
    SendMessageW(header, HDM_GETITEMRECT, h++, LPARAM(&item));
    std::wstring title;
    if (columns[i].title) LoadStr(columns[i].title, title);
    SIZE extent{};
    GetTextExtentPoint32W(dc.hdc, title.c_str(), int(title.size()), &extent);
    if (item.right - item.left < extent.cx + kTitleTipMargin) {
      TTTOOLINFOW tool{};
      tool.cbSize = sizeof tool;
      tool.hwnd = header;
      tool.uId = i + 1;
      tool.rect = item;
      tool.hinst = g_hResInstance;
      tool.lpszText = title.data();
      SendMessageW(tips->hwnd, tipRegistered[i] ? TTM_NEWTOOLRECTW : TTM_ADDTOOLW, 0, LPARAM(&tool));
      tipRegistered[i] = true;
    } else if (tipRegistered[i]) {
      tips->DelTool(header, i + 1);
      tipRegistered[i] = false;
    }
  }
  SelectObject(dc.hdc, oldFont);
}

void CTableCtrl::RemoveHeaderTips() {
  if (tips && tips->hwnd) {
    HWND header = Header();
    for (size_t i = 0; i < tipRegistered.size(); ++i)
      if (tipRegistered[i]) tips->DelTool(header, i + 1);
  }
  tipRegistered.clear();
}

// --- colours ---

COLORREF CTableCtrl::GetAltRowColor() {
  COLORREF background = COLORREF(SendMessageW(hwnd, LVM_GETBKCOLOR, 0, 0));
  if (background == CLR_NONE) background = GetSysColor(COLOR_WINDOW);
  WORD hue = 0, luminance = 0, saturation = 0;
  ColorRGBToHLS(background, &hue, &luminance, &saturation);
  luminance = luminance < 120 ? luminance + 5 : luminance - 5;
  return ColorHLSToRGB(hue, luminance, saturation);
}

void CTableCtrl::EnableAltRowColor(bool on) {
  if (on == (altRowColor != CLR_NONE)) return;
  const COLORREF color = on ? GetAltRowColor() : CLR_NONE;
  if (color == altRowColor) return;
  altRowColor = color;
  InvalidateRect(hwnd, nullptr, TRUE);
}

void CTableCtrl::OnCustomDraw(NMLVCUSTOMDRAW* draw, LRESULT* result) {
  const int row = int(draw->nmcd.dwItemSpec);
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      *result = CDRF_NOTIFYITEMDRAW;
      return;
    case CDDS_ITEMPREPAINT: {
      LRESULT answer = CDRF_DODEFAULT;
      if (altRowColor != CLR_NONE && (row & 1)) draw->clrTextBk = altRowColor;
      if (!visibleColumns.empty()) answer |= CDRF_NOTIFYPOSTPAINT;
      if (draw->nmcd.uItemState & CDIS_SELECTED) {
        // The list greys a selected row once it loses the focus; the table shows selection one way.
        draw->nmcd.uItemState &= ~UINT(CDIS_SELECTED);
        if (SendMessageW(hwnd, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED) {
          draw->clrText = g_app ? g_app->GetHighlightColor(true) : GetSysColor(COLOR_HIGHLIGHTTEXT);
          draw->clrTextBk = g_app ? g_app->GetHighlightColor(false) : GetSysColor(COLOR_HIGHLIGHT);
        }
      }
      *result = answer;
      return;
    }
    case CDDS_ITEMPOSTPAINT:
      if (!visibleColumns.empty() &&
          (SendMessageW(hwnd, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED)) {
        RedrawSelectedImages(draw);
        *result = CDRF_SKIPDEFAULT;
        return;
      }
      *result = CDRF_DODEFAULT;
      return;
    default:
      *result = CDRF_DODEFAULT;
      return;
  }
}

// With the selected state taken away, the list drew the row's images without their selection blend;
// they are drawn again plainly over the highlight.
void CTableCtrl::RedrawSelectedImages(NMLVCUSTOMDRAW* draw) {
  auto images = HIMAGELIST(SendMessageW(hwnd, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
  if (!images) return;
  const int row = int(draw->nmcd.dwItemSpec);
  const bool subItemImages = SendMessageW(hwnd, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_SUBITEMIMAGES;
  const size_t last = subItemImages ? visibleColumns.size() : 1;
  for (size_t h = 0; h < last; ++h) {
    LVITEMW item{};
    item.mask = LVIF_IMAGE | LVIF_STATE;
    item.stateMask = LVIS_OVERLAYMASK;
    item.iItem = row;
    item.iSubItem = int(h);
    item.iImage = -1;
    if (!SendMessageW(hwnd, LVM_GETITEMW, 0, LPARAM(&item)) || item.iImage < 0) continue;
    RECT icon{};
    icon.top = int(h);
    icon.left = LVIR_ICON;
    const UINT message = h == 0 ? LVM_GETITEMRECT : LVM_GETSUBITEMRECT;
    if (!SendMessageW(hwnd, message, row, LPARAM(&icon))) continue;
    ImageList_DrawEx(images, item.iImage, draw->nmcd.hdc, icon.left, icon.top, 0, 0, CLR_NONE, CLR_NONE,
                     ILD_TRANSPARENT | (item.state & LVIS_OVERLAYMASK));
  }
}

// --- notifications and commands ---

bool CTableCtrl::QueryResetColumns(std::vector<_COLUMN_INFO>* records, bool noConfirm) {
  _TBLN_RESET_INFO info{};
  info.columns = records;
  info.noConfirm = noConfirm;
  return SendTableNotify(TBLN_RESETCOLUMNS, &info.hdr) != 0;
}

void CTableCtrl::NotifyColumnsChanged(int what, int column) {
  _TBLN_COLUMNS_INFO info{};
  info.what = what;
  info.column = column;
  SendTableNotify(TBLN_COLUMNSCHANGED, &info.hdr);
}

void CTableCtrl::ShowHeaderMenu() {
  HMODULE module = FindResourceW(g_hResInstance, MAKEINTRESOURCEW(kHeaderMenuId), RT_MENU)
                       ? g_hResInstance
                       : g_hInstance;
  CMenu menu(LoadMenuW(module, MAKEINTRESOURCEW(kHeaderMenuId)));
  HMENU popup = menu.hmenu ? GetSubMenu(menu.hmenu, 0) : nullptr;
  if (!popup) return;
  for (size_t i = 0; i < columns.size(); ++i) {
    std::wstring title;
    if (columns[i].title) LoadStr(columns[i].title, title);
    const UINT checked = (columns[i].flags & COLUMN_VISIBLE) ? MF_CHECKED : MF_UNCHECKED;
    InsertMenuW(popup, UINT(i), MF_BYPOSITION | MF_STRING | checked, kFirstColumnCommand + i, title.c_str());
  }
  EnableMenuItem(popup, kDefaultColumnsCommand,
                 MF_BYCOMMAND | (QueryResetColumns(nullptr, true) ? MF_ENABLED : MF_GRAYED));
  const bool noSortHeader = g_app && g_app->GetNoSortHeader();
  CheckMenuItem(popup, kNoSortHeaderCommand, MF_BYCOMMAND | (noSortHeader ? MF_CHECKED : MF_UNCHECKED));
  _TBLN_MENU_INFO info{};
  info.menu = popup;
  SendTableNotify(TBLN_HEADERMENU, &info.hdr);
  POINT at{};
  GetCursorPos(&at);
  if (info.menu) TrackPopupMenu(info.menu, TPM_LEFTBUTTON, at.x, at.y, 0, hwnd, nullptr);
}

bool CTableCtrl::ShowColumnDialog() {
  for (size_t h = 0; h < visibleColumns.size(); ++h) {
    _COLUMN_INFO& record = columns[size_t(visibleColumns[h])];
    if (record.flags & COLUMN_AUTOSIZE) record.width = int(SendMessageW(hwnd, LVM_GETCOLUMNWIDTH, h, 0));
  }
  CColumnListDialog dialog(this);
  return dialog.DoModal(CColumnListDialog::kDialogId, GetTopLevelParent(hwnd)) == IDOK;
}

bool CTableCtrl::OnCommand(UINT id, UINT notifyCode, HWND) {
  if (id >= kFirstColumnCommand && id - kFirstColumnCommand < columns.size()) {
    ToggleColumn(int(id - kFirstColumnCommand));
  } else if (id == kCustomizeColumnsCommand) {
    ShowColumnDialog();
  } else if (id == kDefaultColumnsCommand) {
    ResetColumns();
  } else if (id == kNoSortHeaderCommand) {
    if (g_app) g_app->ToggleNoSortHeader();
  } else {
    SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(id, notifyCode), LPARAM(hwnd));
  }
  return true;
}

void CTableCtrl::ToggleColumn(int record) {
  _COLUMN_INFO& column = columns[size_t(record)];
  if (!(column.flags & COLUMN_VISIBLE)) {
    column.flags |= COLUMN_VISIBLE;
    UpdateColumns();
  } else {
    const int item = GetHeaderIndex(record);
    column.flags &= ~UINT(COLUMN_VISIBLE);
    if (item >= 0) {
      SendMessageW(hwnd, LVM_DELETECOLUMN, item, 0);
      visibleColumns.erase(visibleColumns.begin() + item);
    }
    AutoSizeColumns();
    UpdateHeaderTips();
  }
  NotifyColumnsChanged(COLCHANGE_VISIBLE, record);
}

void CTableCtrl::ResetColumns() {
  std::vector<_COLUMN_INFO> records = columns;
  if (!QueryResetColumns(&records, GetKeyState(VK_SHIFT) < 0)) return;
  columns = records;
  UpdateColumns();
  NotifyColumnsChanged(COLCHANGE_ALL, -1);
}

void CTableCtrl::OnColumnClick(int column) {
  if (column < 0 || size_t(column) >= visibleColumns.size()) return;
  const int request = visibleColumns[size_t(column)] + 1;
  _TBLN_SORT_INFO info{};
  info.sort = sort == request ? -request : request;
  SendTableNotify(TBLN_SORT, &info.hdr);
}

bool CTableCtrl::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (header->hwndFrom != Header() || !header->hwndFrom) return CWnd::OnNotify(id, header, result);
  auto* change = reinterpret_cast<NMHEADERW*>(header);
  switch (header->code) {
    case HDN_BEGINTRACKW:
      s_trackingDivider = true;
      break;
    case HDN_ENDTRACKW: {
      const int item = change->iItem;
      const bool hasWidth = change->pitem && (change->pitem->mask & HDI_WIDTH);
      if (item >= 0 && size_t(item) < visibleColumns.size() && hasWidth) {
        const int r = visibleColumns[size_t(item)];
        _COLUMN_INFO& record = columns[size_t(r)];
        if (change->pitem->cxy != record.width) {
          record.width = change->pitem->cxy;
          // The column just sized by hand keeps its width in this pass; the others share the rest.
          const UINT flags = record.flags;
          record.flags &= ~UINT(COLUMN_AUTOSIZE);
          AutoSizeColumns();
          columns[size_t(r)].flags = flags;
          UpdateHeaderTips();
          NotifyColumnsChanged(COLCHANGE_WIDTH, r);
          PostMessageW(hwnd, kReReadWidths, 0, 0);
        }
      }
      s_trackingDivider = false;
      break;
    }
    case HDN_DIVIDERDBLCLICKW:
      PostMessageW(hwnd, kReReadWidths, 0, 0);
      break;
    case HDN_ENDDRAG:
      PostMessageW(hwnd, kReReadOrder, 0, 0);
      break;
    case NM_RCLICK:
      ShowHeaderMenu();
      CWnd::OnNotify(id, header, result);
      *result = 1;
      return true;
    default:
      break;
  }
  // The list view's own procedure must still see its header's notifications, or it stops following
  // column sizes and order.
  return CWnd::OnNotify(id, header, result);
}

bool CTableCtrl::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message != WM_NOTIFY || !result) return false;
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  switch (header->code) {
    case NM_CUSTOMDRAW:
      if (visibleColumns.empty() && altRowColor == CLR_NONE) return false;
      OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam), result);
      return true;
    case LVN_COLUMNCLICK:
      OnColumnClick(reinterpret_cast<NMLISTVIEW*>(lParam)->iSubItem);
      *result = 0;
      return true;
    case LVN_BEGINDRAG:
      BeginDrag(reinterpret_cast<NMLISTVIEW*>(lParam)->ptAction);
      *result = 0;
      return true;
    case LVN_KEYDOWN:
      if (drag && reinterpret_cast<NMLVKEYDOWN*>(lParam)->wVKey == VK_ESCAPE) {
        EndDrag(true, true);
        *result = 1;
        return true;
      }
      return CListCtrl::OnChildNotify(message, wParam, lParam, result);
    default:
      return false;
  }
}

// --- re-reads ---

void CTableCtrl::ReReadWidths() {
  DiscardQueued(hwnd, kReReadWidths);
  int changed = 0;
  int changedRecord = -1;
  for (size_t h = 0; h < visibleColumns.size(); ++h) {
    _COLUMN_INFO& record = columns[size_t(visibleColumns[h])];
    if (record.flags & COLUMN_AUTOSIZE) continue;
    const int width = int(SendMessageW(hwnd, LVM_GETCOLUMNWIDTH, h, 0));
    if (width == record.width) continue;
    record.width = width;
    ++changed;
    changedRecord = visibleColumns[h];
  }
  AutoSizeColumns();
  UpdateHeaderTips();
  if (changed) NotifyColumnsChanged(COLCHANGE_WIDTH, changed == 1 ? changedRecord : -1);
}

void CTableCtrl::ReReadOrder() {
  DiscardQueued(hwnd, kReReadOrder);
  SyncColumnOrder(true);
  UpdateHeaderTips();
  NotifyColumnsChanged(COLCHANGE_ORDER, -1);
}

// --- window messages ---

LRESULT CTableCtrl::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE: {
      const LRESULT result = Default();
      if (!s_trackingDivider) PostMessageW(wnd, kReReadWidths, 0, 0);
      return result;
    }
    case kReReadWidths:
      ReReadWidths();
      return 0;
    case kReReadOrder:
      ReReadOrder();
      return 0;
    case WM_SETFONT: {
      const LRESULT result = Default();
      UpdateHeaderTips();
      return result;
    }
    case WM_SYSCOLORCHANGE: {
      const LRESULT result = Default();
      if (altRowColor != CLR_NONE) {
        altRowColor = GetAltRowColor();
        InvalidateRect(wnd, nullptr, TRUE);
      }
      return result;
    }
    case WM_GETDLGCODE: {
      LRESULT code = Default();
      if (drag || wParam == VK_RETURN) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_SETCURSOR:
      if (!drag) break;
      SetCursor(drag->cursors[drag->cursorIndex]);
      return TRUE;
    case WM_TIMER:
      if (wParam != kAutoScrollTimer) break;
      if (drag) AutoScrollStep();
      return 0;
    case WM_MOUSEMOVE:
      if (drag) OnDragMove({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
      return Default();
    case WM_LBUTTONUP:
      if (drag) {
        drag->pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        EndDrag(drag->cursorIndex == 0, true);
      }
      return Default();
    case WM_CAPTURECHANGED:
      if (drag && HWND(lParam) != wnd) EndDrag(true, true);
      return Default();
    case WM_DESTROY:
      if (drag) EndDrag(true, false);
      RemoveHeaderTips();
      columns.clear();
      visibleColumns.clear();
      return Default();
    default:
      break;
  }
  return CListCtrl::WindowProc(wnd, message, wParam, lParam);
}

// --- row drag ---

int CTableCtrl::HitTestDrop(POINT pt, bool* after, bool* onItem, int* scrollInterval) {
  *after = false;
  *onItem = false;
  if (scrollInterval) *scrollInterval = 0;
  RECT area{};
  GetClientRect(hwnd, &area);
  HWND header = Header();
  if (header && IsWindowVisible(header)) {
    RECT bar{};
    GetWindowRect(header, &bar);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&bar), 2);
    area.top = std::max(area.top, bar.bottom);
  }
  if (PtInRect(&area, pt)) {
    LVHITTESTINFO hit{};
    hit.pt = pt;
    const int row = int(SendMessageW(hwnd, LVM_HITTEST, 0, LPARAM(&hit)));
    if (row < 0) return kDropAtEnd;
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    if (SendMessageW(hwnd, LVM_GETITEMRECT, row, LPARAM(&bounds))) {
      const int height = bounds.bottom - bounds.top;
      *after = pt.y > (bounds.top + bounds.bottom) / 2;
      *onItem = pt.y >= bounds.top + height / 4 && pt.y < bounds.bottom - height / 4;
    }
    return row;
  }
  RECT first{};
  first.left = LVIR_BOUNDS;
  SendMessageW(hwnd, LVM_GETITEMRECT, 0, LPARAM(&first));
  const int height = first.bottom - first.top;
  if (height <= 0) return 0;
  const bool canScroll = scrollInterval && (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_VSCROLL);
  const int top = int(SendMessageW(hwnd, LVM_GETTOPINDEX, 0, 0));
  if (pt.y >= area.bottom) {
    const int lastVisible = top + int(SendMessageW(hwnd, LVM_GETCOUNTPERPAGE, 0, 0)) - 1;
    const int count = int(SendMessageW(hwnd, LVM_GETITEMCOUNT, 0, 0));
    if (canScroll && lastVisible < count - 1)
      *scrollInterval = kScrollStepMs / ((pt.y - area.bottom) / height + 1);
    return kDropAtEnd;
  }
  if (pt.y < area.top) {
    if (canScroll && top > 0) *scrollInterval = kScrollStepMs / ((pt.y - area.top) / height - 1);
    return 0;
  }
  return -1;
}

void CTableCtrl::BeginDrag(POINT pt) {
  if (drag) return;
  _TBLN_DRAG_INFO info{};
  info.pt = pt;
  info.row = HitTestDrop(pt, &info.after, &info.onItem, nullptr);
  info.cursor = info.row != -1 ? 1 : 0;
  if (!SendTableNotify(TBLN_BEGINDRAG, &info.hdr)) return;
  HMODULE ole = LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!ole) return;
  auto state = std::make_unique<_TABLE_DRAG_INFO>();
  // Copies, not shared cursors: they must outlive the library, which is released at once.
  for (int i = 0; i < 3; ++i)
    state->cursors[i] = HCURSOR(LoadImageW(ole, MAKEINTRESOURCEW(i + 1), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE));
  FreeLibrary(ole);
  state->pt = pt;
  state->cursorIndex = std::clamp(info.cursor, 0, 2);
  drag = state.release();
  SetFocus(hwnd);
  SetCapture(hwnd);
  if (drag) UpdateDrag(info.row, info.after, info.onItem, std::clamp(info.cursor, 0, 2), 0, true);
}

void CTableCtrl::OnDragMove(POINT pt) {
  drag->pt = pt;
  _TBLN_DRAG_INFO info{};
  info.pt = pt;
  int interval = 0;
  info.row = HitTestDrop(pt, &info.after, &info.onItem, &interval);
  info.cursor = info.row != -1 ? 1 : drag->cursorIndex;
  if (!SendTableNotify(TBLN_DRAGOVER, &info.hdr)) info.onItem = false;
  // The owner's answer may have ended the drag (a message box steals the capture).
  if (drag) UpdateDrag(info.row, info.after, info.onItem, std::clamp(info.cursor, 0, 2), interval, false);
}

void CTableCtrl::UpdateDrag(int row, bool after, bool onItem, int cursor, int interval, bool force) {
  if (cursor != drag->cursorIndex || force) {
    drag->cursorIndex = cursor;
    SetCursor(drag->cursors[cursor]);
  }
  bool redrawn = false;
  if (row != drag->row || after != drag->after || onItem != drag->onItem) {
    DrawDropMark(row, after, onItem, drag->row);
    drag->row = row;
    drag->after = after;
    drag->onItem = onItem;
    redrawn = true;
  }
  if (interval != 0) {
    if (interval != drag->scrollInterval) {
      if (SetTimer(hwnd, kAutoScrollTimer, UINT(std::abs(interval)), nullptr))
        drag->scrollInterval = interval;
      AutoScrollStep();
    }
  } else if (drag->scrollInterval != 0) {
    KillTimer(hwnd, kAutoScrollTimer);
    drag->scrollInterval = 0;
    if (!redrawn) DrawDropMark(drag->row, drag->after, drag->onItem, drag->row);
  }
}

void CTableCtrl::AutoScrollStep() {
  const int direction = drag->scrollInterval;
  if (direction == 0) return;
  const int before = int(SendMessageW(hwnd, LVM_GETTOPINDEX, 0, 0));
  SendMessageW(hwnd, WM_VSCROLL, direction > 0 ? SB_LINEDOWN : SB_LINEUP, 0);
  const int now = int(SendMessageW(hwnd, LVM_GETTOPINDEX, 0, 0));
  if (now != before) {
    // The scroll moved the painted mark along with the rows.
    DrawDropMark(drag->row, drag->after, drag->onItem, drag->row);
    return;
  }
  KillTimer(hwnd, kAutoScrollTimer);
  drag->scrollInterval = 0;
  const int row = direction > 0 ? kDropAtEnd : 0;
  DrawDropMark(row, false, false, drag->row);
  drag->row = row;
  drag->after = false;
  drag->onItem = false;
}

void CTableCtrl::DrawDropMark(int row, bool after, bool onItem, int oldRow) {
  const int count = int(SendMessageW(hwnd, LVM_GETITEMCOUNT, 0, 0));
  if (oldRow != -1) {
    if (oldRow >= count) {
      InvalidateRect(hwnd, nullptr, TRUE);
    } else {
      // A line on a row's edge reaches into its neighbour: redraw both sides.
      SendMessageW(hwnd, LVM_REDRAWITEMS, std::max(oldRow - 1, 0), std::min(oldRow + 1, count - 1));
    }
    UpdateWindow(hwnd);
  }
  if (row == -1 || count == 0) return;
  const bool pastEnd = row >= count;
  const int target = pastEnd ? count - 1 : row;
  RECT bounds{};
  bounds.left = LVIR_BOUNDS;
  if (!SendMessageW(hwnd, LVM_GETITEMRECT, target, LPARAM(&bounds))) return;
  LVITEMW item{};
  item.mask = LVIF_INDENT;
  item.iItem = target;
  if (SendMessageW(hwnd, LVM_GETITEMW, 0, LPARAM(&item)))
    bounds.left += kIndentPixels * std::max(item.iIndent, 0);
  CClientDC dc(hwnd);
  if (onItem && !pastEnd) {
    HPEN pen = CreatePen(PS_DOT, 1, RGB(0, 0, 0));
    HGDIOBJ oldPen = SelectObject(dc.hdc, pen);
    HGDIOBJ oldBrush = SelectObject(dc.hdc, GetStockObject(NULL_BRUSH));
    Rectangle(dc.hdc, bounds.left, bounds.top, bounds.right, bounds.bottom);
    SelectObject(dc.hdc, oldBrush);
    SelectObject(dc.hdc, oldPen);
    DeleteObject(pen);
    return;
  }
  const int y = (after || pastEnd) ? bounds.bottom : bounds.top;
  HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
  HGDIOBJ oldPen = SelectObject(dc.hdc, pen);
  MoveToEx(dc.hdc, bounds.left, y, nullptr);
  LineTo(dc.hdc, bounds.right, y);
  SelectObject(dc.hdc, oldPen);
  DeleteObject(pen);
}

void CTableCtrl::EndDrag(bool cancelled, bool notify) {
  std::unique_ptr<_TABLE_DRAG_INFO> state(drag);
  drag = nullptr;  // before ReleaseCapture: its WM_CAPTURECHANGED must not end the drag twice
  if (hwnd) KillTimer(hwnd, kAutoScrollTimer);
  if (hwnd && GetCapture() == hwnd) ReleaseCapture();
  if (hwnd && IsWindow(hwnd)) DrawDropMark(-1, false, false, state->row);
  // A cursor still shown is not destroyed: give the pointer the arrow back first.
  if (state->cursors[state->cursorIndex] && GetCursor() == state->cursors[state->cursorIndex])
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  for (HCURSOR cursor : state->cursors)
    if (cursor) DestroyCursor(cursor);
  if (!notify) return;
  _TBLN_DRAG_INFO info{};
  info.pt = state->pt;
  info.row = state->row;
  info.after = state->after;
  info.onItem = state->onItem;
  info.cursor = state->cursorIndex;
  info.cancelled = cancelled;
  SendTableNotify(TBLN_DROP, &info.hdr);
}

// --- shared helpers of the pages' tables ---

void ApplyGridLines(HWND list) {
  if (!list) return;
  const DWORD style = DWORD(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  const bool on = g_app && g_app->GetTableGrid();
  if (on == ((style & LVS_EX_GRIDLINES) != 0)) return;
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES, on ? LVS_EX_GRIDLINES : 0);
}

void RefreshListRows(CListCtrl& list, IVirtualListViewData& data) {
  if (!list.hwnd) return;
  const int top = int(SendMessageW(list.hwnd, LVM_GETTOPINDEX, 0, 0));
  SendMessageW(list.hwnd, LVM_SETITEMCOUNT, WPARAM(data.GetItemCount()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  list.SetTopIndex(top);
  InvalidateRect(list.hwnd, nullptr, TRUE);
}
