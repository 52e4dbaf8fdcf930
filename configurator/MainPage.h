// The Connection page (the main window's first tab, "Main"): reader search, additional ports, the port
// and reader options, timeouts, the readers' key format, the add-in log, external events, the add-in's
// load/save behaviour and the registry hive of its settings; shortcuts to the log file and the settings
// key. The port combo offers the machine's serial ports and PC/SC readers and follows readers being
// plugged in and out. GUI thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "CcidWatcher.h"
#include "Layout.h"

class CMainPage : public CAppPage {
 public:
  // On the application's settings document and PC/SC watcher.
  CMainPage();
  CMainPage(CAppSettings& settings, CCcidConnection& watcher);
  // Destroys the window first, so the observer goes with it.
  ~CMainPage() override;

  // WM_INITDIALOG, scrolling, WM_SHOWWINDOW (a stale format combo is refilled), WM_CONTEXTMENU, WM_DESTROY,
  // and WM_USER+2 (the reader list changed: the port list is rebuilt, a failure kept silent).
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // The controls' notifications and the commands of the tool bar, the buttons and the menus. A log or
  // registry command, Refresh or Delete settings that fails shows its error in a box owned by the page.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  // The port tool bar's tips.
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // !save: the document to the controls (muted; number edits count as unchanged afterwards).
  // save: the controls that are read on save to the document. A number edit changed since it was loaded
  // must hold a whole number in its range, else it is selected and CException names the field before
  // any field is written; an unchanged one is not read.
  void UpdateData(bool save) override;

  BOOL OnInitDialog();
  // Rebuilds the port-name list: the serial ports, then the PC/SC readers; the combo keeps what it showed
  // (its first fill takes the document's port), and no change is reported. Serial ports that cannot be
  // listed throw after the readers were still listed and shown.
  void RefreshPorts();
  // Refills the port combo from the port-name list and shows `text` in it (item 0 for "Auto"/"Авто" or
  // `autoItem`): the item that equals it exactly, else the text as typed; an empty text leaves it empty.
  void FillPortCombo(const std::wstring& text, bool autoItem);
  // Refills the format combo (unless selectOnly) and selects the document's FormatId.
  void FillFormatCombo(bool selectOnly);
  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);

  void FillAdditionalPorts();
  void UpdatePortButtons();
  void NewPort();
  void ApplyPort();
  void DeletePort();
  void DeleteAllPorts();
  void SortPorts();
  // By -1 (up) or +1 (down) from the selected entry.
  void MovePort(int step);
  void UpdateEventControls();
  void UpdateSearchControls();

  // The menu of the control under the point (screen coordinates); false when the control has none.
  bool OnContextMenu(HWND control, POINT screen);
  void ShowRegistryMenu(POINT screen);
  void ShowLogMenu(POINT screen);
  void ShowPortsMenu(POINT screen);

  void OpenLog();
  void GoToLogFile();
  void ClearLog();
  void OpenRegistry();
  void GoToRegistrySettings();
  // Asks first; deletes the settings in HKCU, then its maker's key when empty, then the same in HKLM.
  void DeleteRegistrySettings();

  // The add-in's log file: the roaming application-data folder + "\Tarvelon\Vombra\Vombra.log".
  static std::wstring LogFilePath();
  // "Auto" or "Авто", without case.
  static bool IsAutoPortName(const std::wstring& name);

  CPageScroller scroller;
  std::vector<std::wstring> portNames;  // what the port combo offers after "Auto"
  int selectedPort = -1;                // in the additional-port list
  int viewIndex = -1;
  bool formatComboFilled = false;
  UINT changedEdits = 0;  // one bit per number edit changed since the last load

 private:
  HWND Item(UINT id) const { return GetDlgItem(hwnd, int(id)); }
  bool Checked(UINT id) const { return IsDlgButtonChecked(hwnd, int(id)) == BST_CHECKED; }
  void Check(UINT id, bool checked);
  void SetSearchFlag(UINT bit, bool set);
  void SelectPort(int index);
  // Item 0 ("Auto") is selected and shown.
  bool IsAutoShown() const;
  // Runs a command; an exception is shown in an error box owned by the page.
  template <typename F>
  void Guarded(F command);

  CAppSettings& m_settings;
  CCcidConnection& m_watcher;
};
