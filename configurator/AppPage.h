// The page base: every page of the main window, every sub-page of a page, is a modeless child dialog that
// exchanges its values with the settings document, follows its hints and gets idle passes. Plus the small
// UI helpers several pages and dialogs share. GUI thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Dialog.h"

class CAppPage : public CDialog {
 public:
  explicit CAppPage(UINT templateId) : templateId(templateId) {}
  // Destroys the window if it still exists.
  ~CAppPage() override;

  // Keyboard and mouse messages: the main window's PreTranslateMessage first (accelerators), then
  // IsDialogMessageW on the page.
  bool PreTranslateMessage(MSG* message) override;
  // WM_INITDIALOG -> OnInitDialog; pages and their statics drawn on the window colour.
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;

  // save: controls -> settings document; !save: document -> controls.
  virtual void UpdateData(bool save);
  // Idle work; the run loop calls it at most twice per idle period.
  virtual void OnIdle();

  // The child-page styles: no caption, not disabled, clips siblings, a control of its parent. TRUE.
  BOOL OnInitDialog();

  UINT templateId;
};
