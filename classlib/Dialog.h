// Dialogs: CDialog, the modeless base that pages derive from, and CModalDialog with its own modal loop,
// which pumps through the application object. GUI thread only.
#pragma once

#include <windows.h>

#include <string>

#include "Wnd.h"

// Message 0x36A: sent to a modal dialog while its queue is empty, lParam = the idle count of the period;
// a non-zero answer asks for another call.
constexpr UINT WM_KICKIDLE = 0x36A;
// Message 0x365: a help request routed to the dialog.
constexpr UINT WM_COMMANDHELP = 0x365;

// A dialog window made from a dialog resource and driven through CWnd's virtual operations. Messages the
// dialog does not handle go back to the dialog manager (Default answers 0).
class CDialog : public CWnd {
 public:
  // Creates `dialog` from template `templateId`, taken from g_hResInstance when that module holds it, else
  // from g_hInstance, with `parent` as parent or owner. Result: a window exists.
  static bool CreateFromTemplate(CDialog* dialog, UINT templateId, HWND parent);
  // The dialog procedure: the object arrives with WM_INITDIALOG and lives in DWLP_USER; earlier messages
  // answer 0. A non-zero answer is also left in DWLP_MSGRESULT except for the messages whose answer
  // Windows takes from the return value.
  static INT_PTR CALLBACK StaticDialogProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // Keyboard and mouse messages go through IsDialogMessageW of this dialog.
  bool PreTranslateMessage(MSG* message) override;
  LRESULT Default() override;

  // Centres the dialog (size unchanged) on its parent's client area (a child), on its visible owner
  // within the owner's monitor, or on the work area of the main window's monitor; kept inside that area.
  void CenterWindow();
  // The control's text; a missing control gives an empty text. Result: the length.
  int GetDlgItemText(UINT id, std::wstring& out) const;

  UINT helpId = 0;  // the dialog's help context, 0 for none
};

class CModalDialog : public CDialog {
 public:
  // Creates the dialog from `templateId` owned by `owner`, with helpId = the template id (0 when
  // `withHelp` is false), runs the modal loop and destroys the window. The answer is `result`: -1 when the
  // window could not be made or the loop ended without an answer.
  int DoModal(UINT templateId, HWND owner, bool withHelp = true);
  // Stores the answer, wakes a waiting loop with WM_NULL and ends the system's dialog.
  void EndDialog(int answer);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // Sets the application's small icon and, with a help context, the title bar's help button. TRUE.
  BOOL OnInitDialog();

  // Runs `dialog` modally until *result is no longer -1 (then the system's EndDialog and the dialog is
  // hidden), a WM_QUIT (posted again for the outer loop, *result -1) or an exception (*result -1, not
  // hidden). The owner chain and the main window are disabled for the loop and enabled again on every way
  // out. While the queue is empty the dialog is shown if still hidden, the parent gets WM_ENTERIDLE once
  // (unless DS_NOIDLEMSG) and the dialog WM_KICKIDLE until it answers 0; any message but WM_PAINT starts a
  // new idle period.
  static void RunModalLoop(HWND dialog, int* result);

  int result = -1;  // -1 while the dialog runs
};
