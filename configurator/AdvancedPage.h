// The Configurator page (the main window's fifth tab): which operations ask first, and the two display
// options every table follows. Each click goes to the settings document at once.
#pragma once

#include <windows.h>

#include <cstdint>

#include "AppPage.h"
#include "AppSettings.h"

class CAdvancedPage : public CAppPage {
 public:
  // On the application's settings document.
  CAdvancedPage();
  explicit CAdvancedPage(CAppSettings& settings);
  // Destroys the window first, so the observer goes with it.
  ~CAdvancedPage() override;

  // WM_INITDIALOG: child-page styles, observer, values; WM_DESTROY: observer removed.
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // BN_CLICKED of the seven boxes goes to the document; the command is never reported as handled.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  // save: nothing (every click is stored at once); !save: the boxes from the document.
  void UpdateData(bool save) override;

  // The view callback: HINT_CONFIRM_FLAGS refreshes the boxes, other hints are ignored.
  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);

  int viewIndex = -1;  // the observer entry in the settings document, -1 none

 private:
  // A display option: stored, detail added and HINT_VIEW_OPTIONS fired when the box differs from it.
  void SetViewOption(bool& option, UINT detail, bool checked);

  CAppSettings& m_settings;
};
