#include "AppPage.h"

#include "WinApp.h"

CAppPage::~CAppPage() {
  if (IsRealHandle(hwnd)) Destroy();
}

bool CAppPage::PreTranslateMessage(MSG* message) {
  const UINT m = message->message;
  const bool keyboard = m >= WM_KEYFIRST && m <= WM_KEYLAST;
  const bool mouse = m >= WM_MOUSEFIRST && m <= WM_XBUTTONDBLCLK;
  if (!keyboard && !mouse) return false;
  // The main window's accelerators and keys win over the page's own navigation.
  CWnd* main = g_app ? g_app->mainWnd : nullptr;
  if (main && main != this && main->PreTranslateMessage(message)) return true;
  return hwnd && IsDialogMessageW(hwnd, message) != FALSE;
}

LRESULT CAppPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_CTLCOLORDLG:
      return LRESULT(GetSysColorBrush(COLOR_WINDOW));
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return LRESULT(GetSysColorBrush(COLOR_WINDOW));
    }
    default:
      return CDialog::WindowProc(wnd, message, wParam, lParam);
  }
}

void CAppPage::UpdateData(bool) {}

void CAppPage::OnIdle() {}

BOOL CAppPage::OnInitDialog() {
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  SetWindowLongW(hwnd, GWL_STYLE, (style & ~LONG(WS_CAPTION | WS_DISABLED)) | WS_CLIPSIBLINGS | DS_CONTROL);
  const LONG exStyle = GetWindowLongW(hwnd, GWL_EXSTYLE);
  SetWindowLongW(hwnd, GWL_EXSTYLE, exStyle | WS_EX_CONTROLPARENT);
  return TRUE;
}
