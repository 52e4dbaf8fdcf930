// The Test page's Events tab: the test log as an owner-data table, newest event first. The rows are read
// from the log file through its line index when the list asks for them; a window of them is cached. New
// events refresh the list at most once a second (timer 1). Also clears the log and switches the hosted
// add-in's language. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"
#include "TableCtrl.h"

class CTestLog;
class CTestVombra;

// The Events table's data columns.
enum EVENT_COLUMN_KIND : int { EVTCOL_TIME, EVTCOL_SOURCE, EVTCOL_MESSAGE, EVTCOL_DATA, EVTCOL_COUNT };

// One displayed row of the test log.
struct _TEST_LOG_ROW_INFO {
  std::wstring Time;  // "hh:mm:ss.mmm"; empty for a time of 0
  int Kind = 0;       // 1 event, 2 warning, 3 error
  int Image = -1;     // Kind - 1 for kinds 1..3, else -1
  std::wstring Source;
  std::wstring Message;
  std::wstring Data;
};

class CTestLogView : public CVirtualListViewData {
 public:
  // The log's line count; 0 without a log or while its file is not open.
  int GetItemCount() override;
  void GetDispInfo(NMLVDISPINFOW* info) override;
  // Keeps the cache when it already covers from..to; else caches exactly that range (none when empty).
  void OnCacheHint(int from, int to) override;

  // Reloads the cached rows (as many as the log still has from the cache's first row on).
  void FillCache();
  // List row `row` is log line (line count - 1 - row).
  void LoadRow(int row, _TEST_LOG_ROW_INFO& out);
  void FreeCache();

  CTestLog* log = nullptr;                           // not owned
  const std::vector<int>* visibleColumns = nullptr;  // list-view column -> data column
  int cacheFirst = 0;
  std::vector<_TEST_LOG_ROW_INFO> cache;
  _TEST_LOG_ROW_INFO spare;  // a row asked for outside the cache
  size_t linesRead = 0;      // log lines read so far (what a refresh costs)
};

// "hh:mm:ss.mmm" of milliseconds since midnight; empty for 0.
void FormatEventTime(int32_t milliseconds, std::wstring& out);

class CEventsPage : public CAppPage {
 public:
  // On the application's host and settings document.
  CEventsPage();
  CEventsPage(CTestVombra& host, CAppSettings& settings);
  ~CEventsPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // Clear, English, Russian; a command that fails shows its text.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // !save: the columns from the document, the rows reloaded, the grid. save: nothing.
  void UpdateData(bool save) override;

  // The host wrote events: refresh at the next tick of timer 1 (started unless it runs).
  void OnNewEvents();
  // Empties the log file and the list.
  void ClearLog();
  // LANG_ENGLISH or LANG_RUSSIAN for the hosted add-in; nothing while it is not loaded or already holds it.
  void SetAddinLanguage(WORD language);
  // Context menu 804 at `screen`.
  void ShowListMenu(POINT screen);
  // Reloads the cache and refreshes the list.
  void ReloadRows();

  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);
  static void OnListDataChanged(void* owner, CVirtualListViewData* data, int event);

  CAnchorLayout layout;
  CTableCtrl table;
  CTestLogView rows;
  int viewIndex = -1;
  bool refreshTimer = false;    // timer 1 runs
  bool refreshPending = false;  // events arrived since the last refresh

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  void OnTimer();
  bool OnListNotify(NMHDR* header, LRESULT* result);
  bool OnHelp();
  void LoadColumns();
  void StoreColumns();
  void ShowError(const std::exception& e);

  CTestVombra& m_host;
  CAppSettings& m_settings;
};
