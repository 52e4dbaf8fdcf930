// The Sound page (the main window's fourth tab): the add-in's event-sound switch and the seven event
// sounds in a table with Play, Go and Browse cells. A file is typed or picked in an in-place combo over
// its cell, chosen with the Open dialog or cleared with Delete; it is played through the main window's
// sound player and shown in Explorer. Every edit goes to the settings document at once, with the page
// as the batch's sender. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"
#include "TableCtrl.h"
#include "UiHelpers.h"

// The column kinds of the Sounds table (the records of the document's Sounds column set).
enum SOUND_COLUMN_KIND : int { SNDCOL_EVENT, SNDCOL_FILE, SNDCOL_PLAY, SNDCOL_GO, SNDCOL_BROWSE, SNDCOL_COUNT };

// Images of the application's shared list (bitmap 712) the table shows.
enum : int {
  SOUND_IMAGE_FOLDER = 0,
  SOUND_IMAGE_GO = 1,
  SOUND_IMAGE_PLAY = 2,
  SOUND_IMAGE_STOP = 3,
};

// The longest sound path the add-in's loader takes: the registry value must fit its MAX_PATH buffer.
constexpr size_t kMaxSoundPath = MAX_PATH - 1;

// How "Go" reaches Explorer. The program keeps the system's ShellExecuteExW; a test puts its own in.
struct CExplorerSeam {
  BOOL(WINAPI* ShellExecuteEx)(SHELLEXECUTEINFOW* info) = nullptr;  // null: ShellExecuteExW
};
extern CExplorerSeam ExplorerSeam;

// The rows of the Sounds table: one per sound event, over the document's seven files.
class CSoundsLvData : public CVirtualListViewData {
 public:
  int GetItemCount() override { return int(SOUND_COUNT); }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int, int) override {}

  // The display names of the events (strings 135..141), loaded once per process; "?" for a string that
  // cannot be loaded.
  static void LoadEventNames();
  static const std::wstring& EventName(int event);

  const std::wstring* files = nullptr;                 // the document's SOUND_COUNT files
  const std::vector<_COLUMN_INFO>* columns = nullptr;  // the table's; kind = record index
  const std::vector<int>* visibleColumns = nullptr;    // list-view column -> kind
};

// The event whose MCI sound plays now (the main window's), -1 when none or without a main window.
int PlayingSoundEvent();

class CSoundPage : public CAppPage {
 public:
  // On the application's settings document.
  CSoundPage();
  explicit CSoundPage(CAppSettings& settings);
  ~CSoundPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // !save: the switch, the columns, the rows and the grid from the document. save: nothing (every edit is
  // stored at once).
  void UpdateData(bool save) override;

  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);
  static void OnListDataChanged(void* owner, CVirtualListViewData* data, int event);

  // The in-place edit's cell: commits a running edit and stops a pending timer when it changes.
  void SetCurrentCell(int row, int column);
  // Timer 1: the combo over the current cell with the row's file.
  void BeginEdit();
  // Hides the combo; with `commit` the text (up to " \t// ") is stored unless it differs only in case.
  void EndEdit(bool commit);
  // The combo over the current cell, the cell's edges from the header item.
  void PlaceEditor();
  // The media files of the Windows folder, each with its display name, in path order.
  void FillMediaCombo();
  // A drop-down entry: path, tab expanded, display name.
  void DrawComboItem(DRAWITEMSTRUCT* draw);
  void ChooseFile(int row);
  void ShowFileInExplorer(int row);
  // Stops the playing MCI sound; with none playing, plays the row's file from the start.
  void PlayOrStop(int row);
  // Empties the selected rows' files; asks first unless `noConfirm` or the confirmation is off.
  void ClearFiles(bool noConfirm);
  void ShowListMenu(POINT screen);
  // The first selected row, -1 when none.
  int FirstSelectedRow() const;
  void RedrawRow(int row);

  static LRESULT CALLBACK EditBoxProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);

  // The two hot keys menu 827 shows.
  static const _HOTKEY_INFO kListHotKeys[2];

  CAnchorLayout layout;
  int viewIndex = -1;
  CTableCtrl table;
  CSoundsLvData rows;
  int editRow = -1;
  int editColumn = -1;    // list-view column
  DWORD rowChangeTick = 0;  // when editRow last changed to a row
  bool editTimer = false;   // timer 1 runs
  HWND combo = nullptr;
  HWND editBox = nullptr;   // the combo's edit field, subclassed on the first edit
  WNDPROC editBoxSavedProc = nullptr;
  bool editing = false;     // the combo is shown

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  bool OnListNotify(NMHDR* header, LRESULT* result);
  void OnListClick(NMITEMACTIVATE* click);
  void OnItemChanged(NMLISTVIEW* change);
  void StopEditTimer();
  void EnableList();
  void LoadColumns();

  CAppSettings& m_settings;
};
