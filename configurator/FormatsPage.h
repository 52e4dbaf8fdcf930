// The Formats page (the main window's second tab): the document's key-number formats in an owner-data
// table, viewed per key filter and view flag; sorted, toggled, duplicated, deleted and reordered here.
// Every edit goes through the settings document in a batch whose sender is the page. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "KeyModel.h"
#include "Layout.h"
#include "TableCtrl.h"
#include "UiHelpers.h"

class CBTableExport;

// How the "Last key" column gets its text: the key formatted with a format's template and parameters.
// The program keeps the hosted add-in's Format (nothing while no add-in is loaded); a test puts a
// counting renderer in.
struct CSampleRendererSeam {
  // True with `out` set when the key could be rendered; false (or an exception) when it cannot. Null:
  // nothing can be rendered.
  bool (*Render)(const std::wstring& formatTemplate, const std::wstring& params, UINT keyType,
                 const _KEYNUM_INFO& key, std::wstring& out) = nullptr;
};
extern CSampleRendererSeam SampleRendererSeam;
// The program's renderer: the application's add-in host when it holds a loaded component.
bool RenderSampleWithHost(const std::wstring& formatTemplate, const std::wstring& params, UINT keyType,
                          const _KEYNUM_INFO& key, std::wstring& out);

// The column kinds of the Formats table (the records of the document's Formats column set).
enum FORMAT_COLUMN_KIND : int {
  FMTCOL_CHOICE,
  FMTCOL_NUMBER,
  FMTCOL_ID,
  FMTCOL_NAME,
  FMTCOL_TEMPLATE,
  FMTCOL_PARAMS,
  FMTCOL_COMMENT,
  FMTCOL_SAMPLE,
  FMTCOL_SAVE,
  FMTCOL_VISIBLE,
  FMTCOL_COUNT
};

// One cached row: the texts a row needs beyond its format's own strings.
struct _FORMAT_ROW_INFO {
  bool Chosen = false;
  std::wstring RowText;
  std::wstring IdText;
  int FormatIndex = -1;
  _FORMAT_INFO_EX* Format = nullptr;
};

// The rows of the Formats table over the document's format list.
class CFormatsLvData : public CVirtualListViewData {
 public:
  int GetItemCount() override { return int(rows.size()); }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;

  // The rows of the formats the view shows, in list order; refills the cache and fires the listener.
  void Rebuild();
  // Whether the view shows `format`.
  bool Shows(const _FORMAT_INFO_EX& format) const;
  // Fills what the visible columns need of `row`; renders the sample once per FORMAT_SAMPLE_VALID.
  void FillRow(int row, _FORMAT_ROW_INFO& record);

  CAppSettings* settings = nullptr;
  UINT Filter = 0;
  UINT ChosenId = 0;
  UINT ViewFlags = FORMATS_VIEW_DEFAULT;
  const std::vector<_COLUMN_INFO>* columns = nullptr;  // the table's; kind = record index
  const std::vector<int>* visibleColumns = nullptr;    // header position -> kind
  std::vector<int> rows;                               // row -> index in the format list
  std::vector<_FORMAT_ROW_INFO> cache;
  int CacheFirst = 0;
  _FORMAT_ROW_INFO spare;

 private:
  void FillCache();
  void RenderSample(_FORMAT_INFO_EX& format);
};

class CFormatsPage : public CAppPage {
 public:
  // On the application's settings document.
  CFormatsPage();
  explicit CFormatsPage(CAppSettings& settings);
  ~CFormatsPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // !save: tabs, columns, view state and options from the document. save: the column set back to the
  // document when the user changed it.
  void UpdateData(bool save) override;
  void OnIdle() override;

  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);
  static void OnListDataChanged(void* owner, CVirtualListViewData* data, int event);

  // Filter, chosen format and view flags from the document, then the rows.
  void ApplyViewState();
  void FillFilterTabs();
  void UpdateTabImages();
  void UpdateButtons();
  // The three view boxes from the document's view flags.
  void CheckViewBoxes();
  void Layout(int width, int height);

  // key: kind + 1, negative for descending, 0 unsorted (TBLN_SORT). Stable: ties keep the list order.
  void SortFormats(int key);
  // The Choice, Save or Visible value of the format shown at `row`.
  void ToggleCell(int kind, int row);
  // Space: the leftmost of Choice, Save and Visible for the selected rows (Choice: the first only).
  void ToggleSelection();
  // Deletes the selected non-presets; asks first unless `noQuestion` or the confirmation is off.
  void OnDelete(bool noQuestion);
  void OnAdd();
  void OnChange();
  void OnDuplicate();
  // Moves the selected shown formats before the format at `row` (the end when past the last row).
  void MoveSelectedFormats(int row);
  void OnSelectAll();
  void OnSetReaderFormat();
  bool OnChangeLastKey();
  void ShowListMenu(POINT screen);
  void ShowTabMenu(POINT screen);
  void ToggleFilterTab(size_t index);
  void ResetKeyFilters();
  // Table import and export (FormatsTableCommands.cpp). Import type 1..3 and export type 1..6, or 0
  // for the remembered one; false when the file dialog is cancelled. `replace` is read from Shift by
  // the command.
  bool Import(UINT type, bool replace);
  bool Export(UINT type);
  // The shown rows under the visible columns in display order.
  void WriteTable(const wchar_t* path, CBTableExport& writer);
  // The visible column kinds in display order.
  std::vector<int> ExportKinds();

  // The five hot keys menu 805 shows.
  static const _HOTKEY_INFO kListHotKeys[5];

  HWND tabCtrl = nullptr;
  CTableCtrl table;
  CFormatsLvData data;
  CAnchorLayout layout;
  HIMAGELIST images = nullptr;
  HIMAGELIST tabImages = nullptr;
  std::wstring emptyText;
  bool buttonsDirty = false;
  bool updating = false;
  bool columnsDirty = false;
  int viewIndex = -1;

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  bool OnListNotify(NMHDR* header, LRESULT* result);
  void OnListKeyDown(NMLVKEYDOWN* key, LRESULT* result);
  void OnListClick(NMITEMACTIVATE* click);
  void LoadColumns();
  void StoreSelection(int from, int to, bool selected);
  int SelectedCount(int* nonPresets, const _FORMAT_INFO_EX** firstNonPreset) const;
  _KEYFILTER_INFO* CurrentKeyFilter();

  CAppSettings& m_settings;
};
