// The main window's Test page: loads and unloads the add-in in the configurator's host, lists the open
// readers with state, model, serial number and version, closes and reconnects them, and hosts the Events,
// Properties and Methods tabs. It follows the host's hints. GUI thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppPage.h"
#include "AppSettings.h"
#include "Layout.h"

class CDocument;
class CTestVombra;
class CEventsPage;
class CPropertiesPage;
class CMethodsPage;

// One row of the device list.
struct _TEST_DEVICE_INFO {
  std::wstring DeviceId;
  int Model = 0;          // READER_MODEL; 0 unknown
  int SerialNumber = -1;  // -1 not shown
  UINT Version = 0;       // packed firmware version; 0 not shown
  int Status = 0;         // READER_STATE 1..3; 0 unknown
  int Stale = 0;          // during a refresh only
};

// Ordinal order of device IDs: UTF-16 code units one by one, a prefix first.
bool DeviceIdLess(const std::wstring& a, const std::wstring& b);
// The device list's row text: "ID state - model s/n N vX", each part only when known.
void DeviceRowText(const _TEST_DEVICE_INFO& device, std::wstring& out);

enum TEST_TAB_INDEX { TEST_TAB_EVENTS, TEST_TAB_PROPERTIES, TEST_TAB_METHODS, TEST_TAB_COUNT };

class CTestPage : public CAppPage {
 public:
  // On the application's host and settings document.
  CTestPage();
  CTestPage(CTestVombra& host, CAppSettings& settings);
  ~CTestPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // Passed to each tab page that exists (Events, Properties, Methods).
  void UpdateData(bool save) override;
  void OnIdle() override;

  static void OnHostChanged(void* owner, CDocument* document, const uint64_t* hints);

  // Shows tab `index`, creating its page on first use; false (no tab shown) for a bad index or a page
  // that could not be made.
  bool SelectTab(int index);
  // Puts the shown tab page over the tab control's display area: of its client rectangle when cx is -1,
  // else of a tab control of cx x cy; into `batch` when one is given.
  void PositionTab(int cx, int cy, HDWP batch);
  void UpdateLoadButton();
  void UpdateButtons();
  // Timer 1 runs exactly while the host has open devices; then the device list is refreshed.
  void UpdateStatusTimer();
  void RefreshDevices();

  // The commands; each shows a failure in a box and leaves the page as it was.
  void OnLoadButton();
  // Runs the Connection dialog; a reader it opened is listed and selected.
  void OnOpenDevice();
  void OnCloseDevice();
  void OnReconnect();

  // The selected row's device, null when none.
  const _TEST_DEVICE_INFO* SelectedDevice() const;

  CAnchorLayout layout;
  HWND tabCtrl = nullptr;
  HWND deviceList = nullptr;
  int shownTab = -1;
  CEventsPage* eventsPage = nullptr;          // owned
  CPropertiesPage* propertiesPage = nullptr;  // owned
  CMethodsPage* methodsPage = nullptr;        // owned
  int hostViewIndex = -1;
  std::vector<_TEST_DEVICE_INFO> devices;
  bool statusTimer = false;
  // Set by the main window after it saved the settings to the registry; Reconnect then has the add-in
  // reload them first.
  bool settingsSaved = false;

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  void OnSize(int cx, int cy);
  void DeleteTabs();
  void ReadDevice(_TEST_DEVICE_INFO& device);
  // The add-in's own reason for a false answer (its GetLastError text) in a box.
  void ShowAddinError();
  void ShowError(const std::exception& e);
  CAppPage* TabPage(int index) const;

  CTestVombra& m_host;
  CAppSettings& m_settings;
  SIZE m_tabSize{};    // the tab control's size when the layout was captured
  SIZE m_clientSize{};  // the page's client size then
};
