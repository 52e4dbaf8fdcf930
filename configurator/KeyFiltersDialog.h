// "Key filters": the modal dialog behind the Formats page's "Customize tab..." that edits a working copy
// of the document's key filters. The list order is the filters' matching priority. One or several
// selected filters are edited at once in the panel under the list; nothing reaches the document before
// Apply or OK, and Apply writes in one update batch with the dialog as sender. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "Dialog.h"
#include "Layout.h"
#include "TableCtrl.h"
#include "UiHelpers.h"

// Flags of a working filter: the Formats page tab, and the dialog's own marks (meaningless outside the
// operation that sets them).
enum : UINT {
  KEYFILTER_SHOW_TAB = 0x1,
  KEYFILTER_MARK = 0x1000,
  KEYFILTER_SELECTED = 0x4000,
};

// The column records of the filter table (the document's key-filter column set).
enum KEY_FILTER_COLUMN_KIND : int {
  KFCOL_VISIBLE,
  KFCOL_NUMBER,
  KFCOL_ID,
  KFCOL_NAME,
  KFCOL_KEY_TYPES,
  KFCOL_KEY_SIZE,
  KFCOL_COUNT
};

// Which fields the panel holds for the whole selection (agreeScope) and which it applies (panelScope).
enum : UINT {
  PANEL_NAME = 0x1,
  PANEL_KEY_TYPES = 0x2,
  PANEL_KEY_SIZE = 0x4,
  PANEL_SHOW_TAB = 0x8,
  PANEL_ALL = 0xF,
};

// "All" for every type, one type's display name, several types' short names joined by ", ", or empty.
std::wstring KeyTypesCellText(UINT keyTypes);

// The rows of the filter table over the dialog's working list.
class CKeyFiltersLvData : public CVirtualListViewData {
 public:
  int GetItemCount() override { return filters ? int(filters->size()) : 0; }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;
  // Forgets the cached texts (the list changed).
  void Invalidate() { cacheCount = 0; }

  struct Row {
    std::wstring Number, Id, KeyTypes, KeySize;
  };
  std::vector<_KEYFILTER_INFO>* filters = nullptr;
  const std::vector<int>* visibleColumns = nullptr;  // list column -> record
  std::vector<Row> cache;
  int cacheFirst = 0;
  int cacheCount = 0;
  Row scratch;

 private:
  void Fill(int row, Row& out);
};

// The 22 key types of the panel, each checked, unchecked or indeterminate.
class CKeyFilterTypesLvData : public CVirtualListViewData {
 public:
  int GetItemCount() override { return kTypeCount; }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int, int) override {}
  // State image 1 unchecked, 2 checked, 3 indeterminate.
  int StateImage(int type) const;

  static constexpr int kTypeCount = 22;
  const UINT* keyTypes = nullptr;
  const UINT* agreeTypes = nullptr;
};

class CKeyFiltersDialog : public CModalDialog {
 public:
  // On the application's settings document.
  CKeyFiltersDialog();
  explicit CKeyFiltersDialog(CAppSettings& settings);
  ~CKeyFiltersDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);

  // The operations behind the commands; each commits the panel first where it must.
  void OnAdd();
  void OnDuplicate();
  // Asks first unless `noQuestion` or the confirmation is off.
  void OnDelete(bool noQuestion);
  void OnMove(bool up);
  // The selected filters go before `row` (after it with `after`); kDropAtEnd appends.
  void DropSelection(int row, bool after);
  void OnDefaultFilters();
  // n: the signed column number of TBLN_SORT.
  void SortFilters(int n);
  // Applies the working copy to the document; false when the panel could not be committed.
  bool Apply();

  // The panel.
  bool CommitPanel();
  void ReloadPanel();
  void RecomputeOverlap();
  // One click on a type's state image: the agreed cycle or the three-state one.
  void CyclePanelType(int type);
  // Check (`check`) or uncheck the types of `mask` in the panel and pass them to the selection.
  void SetPanelTypes(UINT mask, bool check);
  void ApplyPanelTypes();
  void OnShowTabClicked();
  void OnIndeterminateClicked();
  void ToggleShowTab(int row);
  void ToggleSelectedShowTab();

  void Refresh();
  // The rows marked KEYFILTER_SELECTED become the list's selection.
  void SelectMarked();
  void MarkSelection();
  int SelectedCount() const;
  void UpdateButtons();
  void SetModified();
  void RemoveSortMark(int column);
  void ShowFiltersMenu(POINT screen);
  // Table import and export (KeyFiltersTableCommands.cpp): import type 1..3 (`replace` unless Shift was
  // held), export type 1..6; false when the file dialog is cancelled.
  bool Import(UINT type, bool replace);
  bool Export(UINT type);
  // The visible column ids in display order.
  std::vector<int> ExportColumns();
  void ShowTypesMenu(POINT screen);

  std::vector<_KEYFILTER_INFO> filters;
  UINT nextIdCursor = 1;
  UINT formatsFilterId = 0;
  int sortColumn = 0;
  bool modified = false;

  bool panelReload = false;
  bool panelDirty = false;
  int selectedCount = 0;
  UINT panelScope = 0;
  UINT agreeScope = 0;
  std::wstring panelName;
  UINT panelKeyTypes = 0;
  UINT panelAgreeTypes = KEY_TYPES_MASK;
  UINT loadAgreeTypes = KEY_TYPES_MASK;
  UINT panelKeySize = 0;
  bool panelShowTab = false;
  UINT overlapTypes = 0;

  CTableCtrl table;
  CKeyFiltersLvData data;
  CListCtrl typesList;
  CKeyFilterTypesLvData typesData;
  CAnchorLayout layout;
  HIMAGELIST typeImages = nullptr;
  int viewIndex = -1;
  bool updating = false;  // the list's selection is being set by the dialog

  static constexpr UINT KEY_TYPES_MASK = 0x3FFFFF;
  // The hot keys menu 810 shows.
  static const _HOTKEY_INFO kListHotKeys[4];

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  bool OnFiltersNotify(NMHDR* header, LRESULT* result);
  bool OnTypesNotify(NMHDR* header, LRESULT* result);
  void LoadColumns();
  void ShowPanelSize();
  // Reads edit 1205; false when it holds no number 0..65535.
  bool ReadKeySize(UINT* size) const;
  bool FailCommit(UINT focusId);

  CAppSettings& m_settings;
};
