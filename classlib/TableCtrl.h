// The table every page shows: an owner-data report list whose rows come from a data provider and whose
// columns are described by column records kept in the settings document; with stored column layouts,
// header tips, the header menu, sort arrows, alternate rows and row drag and drop. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <climits>
#include <vector>

#include "ColumnSettings.h"
#include "Controls.h"
#include "Object.h"

// How a list view asks its provider for rows. No destructor in the interface: providers are objects of
// their own (CVirtualListViewData) and are never deleted through it.
class IVirtualListViewData {
 public:
  virtual int GetItemCount() = 0;
  // Fills what the item's mask asks for (LVIF_TEXT: a pointer valid until the next call; LVIF_IMAGE;
  // LVIF_INDENT) for row iItem, list-view column iSubItem.
  virtual void GetDispInfo(NMLVDISPINFOW* info) = 0;
  // LVN_ODCACHEHINT: rows from..to are about to be asked for.
  virtual void OnCacheHint(int from, int to) = 0;

 protected:
  ~IVirtualListViewData() = default;
};

class CVirtualListViewData : public CObject, public IVirtualListViewData {
 public:
  typedef void (*Listener)(void* owner, CVirtualListViewData* data, int event);

  // Calls the listener with event 0 (the rows changed). A std::exception from the listener goes to the
  // trace and stops here; without a listener nothing happens.
  void FireEvent();

  void* owner = nullptr;  // null = no listener
  Listener callback = nullptr;
};

enum : UINT {
  COLUMN_SELECTED = 0x4000,  // the column chooser's working copy only
};

// One column of a table, in the owner's column-record order (fixed while the table lives).
struct _COLUMN_INFO {
  UINT title;  // string id; 0 = empty title
  int width;   // fixed: the width in pixels; auto-size: its share of the free width
  int align;   // 1 right, 2 centre, else left
  int order;   // display position among the visible columns (smaller = further left)
  UINT flags;  // COLUMN_VISIBLE, COLUMN_AUTOSIZE, COLUMN_SELECTED
};

// The table's notifications (WM_NOTIFY to the parent with the table's control id).
enum : UINT {
  TBLN_BEGINDRAG = 1,       // _TBLN_DRAG_INFO; non-zero starts the drag
  TBLN_DRAGOVER = 2,        // _TBLN_DRAG_INFO; 0 forces onItem false
  TBLN_DROP = 3,            // _TBLN_DRAG_INFO with cancelled
  TBLN_SORT = 4,            // _TBLN_SORT_INFO; non-zero = handled
  TBLN_HEADERMENU = 5,      // _TBLN_MENU_INFO
  TBLN_COLUMNSCHANGED = 6,  // _TBLN_COLUMNS_INFO
  TBLN_RESETCOLUMNS = 7,    // _TBLN_RESET_INFO; non-zero = offered (query) or applied
};
enum : int {
  COLCHANGE_WIDTH = 1,
  COLCHANGE_ORDER = 4,
  COLCHANGE_VISIBLE = 8,
  COLCHANGE_ALL = 31,
};

// Drop targets: INT_MAX is the end of the list, -1 no target.
constexpr int kDropAtEnd = INT_MAX;

struct _TBLN_DRAG_INFO {
  NMHDR hdr;
  POINT pt;  // list client coordinates
  int row;
  bool after;
  bool onItem;
  int cursor;  // 0 no drop, 1 and 2 the two kinds of drop
  bool cancelled;  // TBLN_DROP only
};
struct _TBLN_SORT_INFO {
  NMHDR hdr;
  int sort;  // as CTableCtrl::sort
};
struct _TBLN_MENU_INFO {
  NMHDR hdr;
  HMENU menu;  // the popup about to open; the owner may change or replace it
};
struct _TBLN_COLUMNS_INFO {
  NMHDR hdr;
  int what;    // COLCHANGE_*
  int column;  // the record concerned; -1 several or all
};
struct _TBLN_RESET_INFO {
  NMHDR hdr;
  std::vector<_COLUMN_INFO>* columns;  // null = only asking whether a reset is offered
  bool noConfirm;
};

// A row drag in progress.
struct _TABLE_DRAG_INFO {
  HCURSOR cursors[3] = {};  // 0 = no drop possible
  POINT pt{};
  int row = -1;
  bool after = false;
  bool onItem = false;
  int cursorIndex = 0;
  int scrollInterval = 0;  // ms; > 0 scrolling down, < 0 up, 0 none
};

class CTableCtrl : public CListCtrl {
 public:
  // The header menu (from the resource module when it holds it, else the main module) and its commands;
  // the command of record i is kFirstColumnCommand + i.
  static constexpr UINT kHeaderMenuId = 825;
  static constexpr UINT kCustomizeColumnsCommand = 32785;
  static constexpr UINT kDefaultColumnsCommand = 32786;
  static constexpr UINT kNoSortHeaderCommand = 32787;
  static constexpr UINT kFirstColumnCommand = 35000;

  CTableCtrl() = default;
  ~CTableCtrl() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // The header menu's commands; any other command goes to the parent with the list as the control.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  // The header's notifications; they go on to the list's own procedure afterwards.
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // Reflected custom draw, column clicks, drag starts and keys.
  bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  // Replaces the records, record i titled titles[i] (at least states.size() entries). Stored widths below
  // 0 count as 0. UpdateColumns shows them.
  void SetColumns(const COLUMN_SET& states, const UINT* titles);
  void UpdateColumns();
  // Spreads the free client width over the visible auto-size columns by their shares.
  void AutoSizeColumns();
  // false: records' order to the control; true: the control's display order back into the records.
  void SyncColumnOrder(bool fromControl);
  // The list-view column of a record; -1 when hidden or out of range.
  int GetHeaderIndex(int record) const;

  // Stores `sort` (record + 1 ascending, -(record + 1) descending, 0 none) and moves the arrow.
  void SetSort(int newSort);
  void ClearSortMark(int item);
  void SetSortMark(int item, bool ascending);
  // The first header item carrying an arrow (-1 and ascending when none); true when there is one.
  bool GetSortMark(int* item, bool* ascending);
  void SetNoSortHeader(bool noSort);

  void SetToolTip(CToolTipCtrl* tooltip);
  void UpdateHeaderTips();
  void RemoveHeaderTips();

  void EnableAltRowColor(bool on);
  // The list's background one step lighter or darker.
  COLORREF GetAltRowColor();

  bool QueryResetColumns(std::vector<_COLUMN_INFO>* records, bool noConfirm);
  void NotifyColumnsChanged(int what, int column);
  void ShowHeaderMenu();
  // Stores the auto-size columns' current widths, then runs the column chooser; true when it ended with OK.
  bool ShowColumnDialog();

  // The drop target under `pt` (list client coordinates): a row, kDropAtEnd or -1; with `scrollInterval`
  // also the auto-scroll interval the position asks for (0 none).
  int HitTestDrop(POINT pt, bool* after, bool* onItem, int* scrollInterval);

  _TABLE_DRAG_INFO* drag = nullptr;
  CToolTipCtrl* tips = nullptr;  // borrowed
  std::vector<bool> tipRegistered;
  std::vector<_COLUMN_INFO> columns;
  int sort = 0;
  std::vector<int> visibleColumns;
  COLORREF altRowColor = CLR_NONE;

 private:
  LRESULT SendTableNotify(UINT code, NMHDR* record);
  void OnCustomDraw(NMLVCUSTOMDRAW* draw, LRESULT* result);
  void RedrawSelectedImages(NMLVCUSTOMDRAW* draw);
  void OnColumnClick(int column);
  void OnHeaderCommand(UINT id);
  void ToggleColumn(int record);
  void ResetColumns();
  void ReReadWidths();
  void ReReadOrder();
  void BeginDrag(POINT pt);
  void OnDragMove(POINT pt);
  void UpdateDrag(int row, bool after, bool onItem, int cursor, int interval, bool force);
  void AutoScrollStep();
  void DrawDropMark(int row, bool after, bool onItem, int oldRow);
  // Frees the drag state, releases the capture and erases the mark; sends TBLN_DROP when `notify`.
  void EndDrag(bool cancelled, bool notify);
  HWND Header() const;
};

// Sets LVS_EX_GRIDLINES on `list` while the application's table-grid option is on and clears it while
// off; the style is written only when it changes. Without an application the grid is off.
void ApplyGridLines(HWND list);
// The refresh an owner-data table's provider listener runs after its rows changed: the item count becomes
// the provider's, the first visible row stays where it was (as far as the list still reaches), and the
// whole list is redrawn.
void RefreshListRows(CListCtrl& list, IVirtualListViewData& data);
