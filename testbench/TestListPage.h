#pragma once
// What the Properties and Methods tabs share: a sortable owner-data table over the hosted add-in's members,
// its column set and sort code kept in the settings document, and buttons updated when idle.
#include <windows.h>

#include <cstdint>
#include <string>

#include "../addin/NativeApi.h"

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"
#include "TableCtrl.h"

class CTestVombra;
class CConfigVombraApp;

// The configurator's application when the program runs one; null under another application.
CConfigVombraApp* ConfigApp();
// That application's settings document; a document of the test bench's own under another application.
CAppSettings& BenchSettings();
// The value as the configurator shows it; empty (false) for a type it does not show.
bool BenchDisplayText(const tVariant& value, std::wstring& out);
// The display name of a value type (the variant type names); "?" for a type without one.
std::wstring BenchTypeName(uint16_t vt);

// Rows of one table: the host, the table's columns and the sort code.
class CTestLvData : public CVirtualListViewData {
 public:
  void OnCacheHint(int, int) override {}
  // Rebuilds the rows from the host's component and fires the listener.
  virtual void Refill() = 0;
  // The data column of list-view column `subItem`, -1 outside the visible-column map.
  int DataColumn(int subItem) const;
  static void PutText(NMLVDISPINFOW* info, const std::wstring* text);

  CTestVombra* host = nullptr;  // not owned
  const std::vector<_COLUMN_INFO>* columns = nullptr;
  const std::vector<int>* visibleColumns = nullptr;
  int sort = 0;
};

class CTestListPage : public CAppPage {
 public:
  // A null host is taken from the application when the page is made.
  CTestListPage(UINT templateId, UINT listId, COLUMN_SET_KIND kind, UINT firstTitle, UINT viewDetail,
                CTestLvData& rows, CTestVombra* host, CAppSettings* settings);
  ~CTestListPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  void UpdateData(bool save) override;
  void OnIdle() override;

  virtual void UpdateButtons() = 0;
  // Enter or a double click on one row.
  virtual void OnActivateRow() = 0;
  // The selected row's English name for help; empty without one.
  virtual std::wstring SelectedName() = 0;

  // The first selected row, -1 when none.
  int FirstSelectedRow() const;
  int SelectedCount() const;
  bool IsLoaded() const;
  // Rebuilds the rows; a component call that throws shows its text.
  void Refill();
  static void OnListDataChanged(void* owner, CVirtualListViewData* data, int event);
  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);

  CAnchorLayout layout;
  CTableCtrl table;
  CTestVombra* host = nullptr;
  int viewIndex = -1;
  bool buttonsDirty = false;

 protected:
  COLUMN_SET& Columns();
  int& SortColumn();
  void LoadColumns();
  void ShowError(const std::exception& e);

  UINT m_listId;
  COLUMN_SET_KIND m_kind;
  UINT m_titles[6];
  UINT m_viewDetail;
  CTestLvData& m_rows;

 public:
  CAppSettings& settings;
};

// The message of a std::exception in the GUI's text.
std::wstring ExceptionText(const std::exception& e);
