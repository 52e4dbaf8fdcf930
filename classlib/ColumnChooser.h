// The column chooser: the modal "Customize Columns" dialog a table opens from its header menu. It edits a
// working copy of the table's column records (visibility, auto size, alignment, display order by sort or
// by dragging rows) and hands it to the table only on Apply or OK. GUI thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Controls.h"
#include "Dialog.h"
#include "Layout.h"
#include "TableCtrl.h"

// Resources of the chooser (ConfigChooser.rc); the ids are fixed by the table's owners and the document.
enum : UINT {
  IDD_COLUMN_CHOOSER = 910,
  IDR_COLUMN_CHOOSER_MENU = 826,
  IDB_COLUMN_CHECKS = 718,  // 16-pixel images on magenta: unchecked, checked, undetermined
  IDS_ALIGN_LEFT = 406,     // "Left"; 407 "Right", 408 "Center"
  IDS_CHOOSER_NUMBER = 510,
  IDS_CHOOSER_NAME = 511,
  IDS_CHOOSER_ALIGN = 512,
  IDS_CHOOSER_AUTOSIZE = 513,
  IDS_CHOOSER_VISIBLE = 514,
  IDC_CHOOSER_LIST = 1125,
  IDC_CHOOSER_NAME_LABEL = 1126,
  IDC_CHOOSER_NAME = 1127,
  IDC_CHOOSER_ALIGN_LABEL = 1128,
  IDC_CHOOSER_ALIGN = 1129,
  IDC_CHOOSER_VISIBLE = 1131,
  IDC_CHOOSER_AUTOSIZE = 1133,
  ID_CHOOSER_SELECT_ALL = 32788,
  ID_CHOOSER_DEFAULT_COLUMNS = 32789,
  ID_CHOOSER_APPLY = 32848,
};

// The chooser list's five column kinds, which are also its column records.
enum : int {
  CHOOSER_COL_VISIBLE = 0,
  CHOOSER_COL_NUMBER = 1,
  CHOOSER_COL_NAME = 2,
  CHOOSER_COL_ALIGN = 3,
  CHOOSER_COL_AUTOSIZE = 4,
  CHOOSER_COL_COUNT = 5,
};

// The chooser list's titles in record order, and its built-in layout (the document's reset uses the same).
extern const UINT kChooserTitles[CHOOSER_COL_COUNT];
COLUMN_SET ChooserDefaultColumns();

// The rows of the chooser list: one per column of the table being customised, in its display order.
class CColumnsLvData : public CVirtualListViewData {
 public:
  struct Row {
    std::wstring number;  // row + 1
    std::wstring title;
    int record = -1;
  };

  int GetItemCount() override;
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;

  // rowRecords from the records' order values: entry o = the record whose order is o (0 <= o < n).
  void RebuildRows();
  // Fills the cached rows again from the current records.
  void RebuildCache();

  std::vector<_COLUMN_INFO>* columns = nullptr;
  std::vector<int> rowRecords;
  std::vector<_COLUMN_INFO>* listColumns = nullptr;
  std::vector<int>* listVisible = nullptr;
  std::vector<Row> cache;
  int cacheFirst = -1;
  Row spare;

 private:
  void FillRow(int row, Row& out);
  const Row& RowAt(int row);
};

class CColumnListDialog : public CModalDialog {
 public:
  explicit CColumnListDialog(CTableCtrl* customised);
  ~CColumnListDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  static constexpr UINT kDialogId = IDD_COLUMN_CHOOSER;

  CTableCtrl* table;
  std::vector<_COLUMN_INFO> edited;
  int sort = 0;
  bool modified = false;
  CColumnsLvData rows;
  bool selectionChanged = false;
  CAnchorLayout layout;
  CTableCtrl list;
  CImageList checkImages;
  int selectedCount = 0;
  UINT shownUniform = 0;
  UINT uniform = 0;
  int commonAlign = 0;
  bool commonVisible = true;
  bool commonAutoSize = false;

 private:
  enum : UINT { kSharedAlign = 1, kSharedVisible = 2, kSharedAutoSize = 4 };

  void OnInitDialog();
  void OnDestroy();
  static void OnRowsChanged(void* owner, CVirtualListViewData* data, int event);
  void Refresh();
  void FillControls();
  void SetModified(bool on);
  void DropSort();
  void DropSortBy(int kind);
  // The records shown in the selected rows, in row order.
  std::vector<int> SelectedRows() const;
  void AfterEdit(int kind);
  void OnAlignChanged();
  void OnCheckClicked(UINT id);
  void ToggleVisibleOfSelection();
  void OnListClick(NMITEMACTIVATE* click);
  void SortRows(int newSort);
  void OnDrop(const _TBLN_DRAG_INFO* drop);
  void Apply();
  void ResetToDefaults();
  void ShowContextMenu(LPARAM point);
};
