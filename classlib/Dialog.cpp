#include "Dialog.h"

#include <exception>

#include "Core.h"
#include "Strings.h"

namespace {

HWND MainWindow() { return g_app && g_app->mainWnd ? g_app->mainWnd->hwnd : nullptr; }

bool HasStyle(HWND wnd, LONG bits) { return (GetWindowLongW(wnd, GWL_STYLE) & bits) != 0; }

// Messages whose answer Windows takes from the dialog procedure's return value, not DWLP_MSGRESULT.
bool AnswersByReturnValue(UINT message) {
  return (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) || message == WM_COMPAREITEM ||
         message == WM_VKEYTOITEM || message == WM_CHARTOITEM || message == WM_QUERYDRAGICON ||
         message == WM_INITDIALOG;
}

// One axis of CenterWindow: centred on [refLow, refHigh), then kept inside [areaLow, areaHigh).
int CenterOnAxis(int refLow, int refHigh, int size, int areaLow, int areaHigh) {
  int position = (refLow + refHigh) / 2 - size / 2;
  if (position + size > areaHigh) position = areaHigh - size;
  if (position < areaLow) position = areaLow;
  return position;
}

RECT WorkAreaOf(HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  GetMonitorInfoW(monitor, &info);
  return info.rcWork;
}

}  // namespace

// ---- CDialog ----

bool CDialog::CreateFromTemplate(CDialog* dialog, UINT templateId, HWND parent) {
  HINSTANCE module = g_hResInstance;
  if (!module || !FindResourceW(module, MAKEINTRESOURCEW(templateId), RT_DIALOG)) module = g_hInstance;
  HWND wnd = CreateDialogParamW(module, MAKEINTRESOURCEW(templateId), parent, &CDialog::StaticDialogProc,
                                LPARAM(dialog));
  return wnd != nullptr;
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* object;
  if (message == WM_INITDIALOG) {
    object = reinterpret_cast<CDialog*>(lParam);
    if (object) {
      object->hwnd = wnd;
      SetWindowLongPtrW(wnd, DWLP_USER, LONG_PTR(object));
    }
  } else {
    object = reinterpret_cast<CDialog*>(GetWindowLongPtrW(wnd, DWLP_USER));
  }
  if (!object) return 0;
  const LRESULT answer = object->ProcessMessage(wnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetWindowLongPtrW(wnd, DWLP_USER, 0);
  if (answer && !AnswersByReturnValue(message)) SetWindowLongPtrW(wnd, DWLP_MSGRESULT, answer);
  return answer;
}

LRESULT CDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITMENUPOPUP:
      if (g_app) g_app->OnInitMenuPopup(reinterpret_cast<HMENU>(wParam), LOWORD(lParam), HIWORD(lParam) != 0);
      return 0;
    case WM_COMMANDHELP:
      if (!helpId) return 0;
      if (g_app) g_app->ShowHelp(helpId);
      return 1;
    default:
      return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
}

bool CDialog::PreTranslateMessage(MSG* message) {
  const UINT m = message->message;
  if ((m >= WM_KEYFIRST && m <= WM_UNICHAR) || (m >= WM_MOUSEFIRST && m <= WM_XBUTTONDBLCLK)) {
    return IsDialogMessageW(hwnd, message) != FALSE;
  }
  return false;
}

LRESULT CDialog::Default() { return 0; }

void CDialog::CenterWindow() {
  RECT own;
  GetWindowRect(hwnd, &own);
  const int cx = own.right - own.left;
  const int cy = own.bottom - own.top;
  RECT reference;
  RECT area;
  if (HasStyle(hwnd, WS_CHILD)) {
    HWND parent = GetParent(hwnd);
    GetClientRect(parent, &reference);
    area = reference;
  } else {
    HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner && IsWindowVisible(owner) && !IsIconic(owner)) {
      GetWindowRect(owner, &reference);
      area = WorkAreaOf(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST));
    } else {
      HWND main = MainWindow();
      area = main ? WorkAreaOf(MonitorFromWindow(main, MONITOR_DEFAULTTOPRIMARY))
                  : WorkAreaOf(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));
      reference = area;
    }
  }
  const int x = CenterOnAxis(reference.left, reference.right, cx, area.left, area.right);
  const int y = CenterOnAxis(reference.top, reference.bottom, cy, area.top, area.bottom);
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CDialog::GetDlgItemText(UINT id, std::wstring& out) const {
  HWND control = GetDlgItem(hwnd, int(id));
  if (!control) {
    out.clear();
    return 0;
  }
  return GetWindowTextString(control, out);
}

// ---- CModalDialog ----

int CModalDialog::DoModal(UINT templateId, HWND owner, bool withHelp) {
  hwnd = nullptr;
  helpId = withHelp ? templateId : 0;
  result = -1;
  if (!CreateFromTemplate(this, templateId, owner)) return -1;
  RunModalLoop(hwnd, &result);
  Destroy();
  return result;
}

void CModalDialog::EndDialog(int answer) {
  result = answer;
  PostMessageW(hwnd, WM_NULL, 0, 0);
  ::EndDialog(hwnd, answer);
}

LRESULT CModalDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SYSCOMMAND:
      if (wParam == SC_CONTEXTHELP && helpId) {
        if (g_app) g_app->ShowHelp(helpId);
        return 1;
      }
      return Default();
    default:
      return CDialog::WindowProc(wnd, message, wParam, lParam);
  }
}

BOOL CModalDialog::OnInitDialog() {
  if (g_app && g_app->icon) SendMessageW(hwnd, WM_SETICON, ICON_SMALL, LPARAM(g_app->icon));
  if (helpId) {
    const LONG exStyle = GetWindowLongW(hwnd, GWL_EXSTYLE);
    if (!(exStyle & WS_EX_CONTEXTHELP)) SetWindowLongW(hwnd, GWL_EXSTYLE, exStyle | WS_EX_CONTEXTHELP);
  }
  return TRUE;
}

void CModalDialog::RunModalLoop(HWND dialog, int* result) {
  *result = -1;
  CWinApp* app = g_app;
  // The loop pumps through the application; without one there is nobody to dispatch.
  if (!app || !dialog) return;

  const HWND parent = GetParent(dialog);
  const HWND main = MainWindow();
  HWND owner = parent ? parent : main;
  while (owner && HasStyle(owner, WS_CHILD)) owner = GetParent(owner);
  const HWND root = GetTopLevelParent(owner);
  if (!parent && owner) owner = GetLastActivePopup(owner);

  // What this loop disabled, and so must enable again however it ends.
  struct Disabled {
    HWND Main = nullptr;
    HWND Owner = nullptr;
    HWND Root = nullptr;
    HWND Dialog = nullptr;
    HWND KeptDisabled = nullptr;
    ~Disabled() {
      if (Main) EnableWindow(Main, TRUE);
      if (Owner) {
        EnableWindow(Owner, TRUE);
        if (GetActiveWindow() == Dialog) SetActiveWindow(Owner);
      }
      if (Root && IsWindow(Root)) EnableWindow(Root, TRUE);
      // The system's EndDialog enables the dialog's owner (Wine does so for any dialog); an owner someone
      // else had disabled, such as an outer modal loop, must stay disabled.
      if (KeptDisabled && IsWindow(KeptDisabled)) EnableWindow(KeptDisabled, FALSE);
    }
  } disabled;
  disabled.Dialog = dialog;
  if (HWND systemOwner = GetWindow(dialog, GW_OWNER)) {
    if (!IsWindowEnabled(systemOwner)) disabled.KeptDisabled = systemOwner;
  }
  if (root && IsWindowEnabled(root) && root != owner) {
    EnableWindow(root, FALSE);
    disabled.Root = root;
  }
  if (owner && owner != GetDesktopWindow() && IsWindowEnabled(owner)) {
    EnableWindow(owner, FALSE);
    disabled.Owner = owner;
    if (main && IsWindowEnabled(main)) {
      EnableWindow(main, FALSE);
      disabled.Main = main;
    }
  }

  bool showPending = !HasStyle(dialog, WS_VISIBLE);
  const bool noIdleMessage = HasStyle(dialog, DS_NOIDLEMSG);
  bool idle = true;
  LPARAM count = 0;
  try {
    for (;;) {
      while (idle && !PeekMessageW(&app->msg, nullptr, 0, 0, PM_NOREMOVE)) {
        if (showPending) {
          ShowWindow(dialog, SW_SHOWNORMAL);
          UpdateWindow(dialog);
          showPending = false;
        }
        if (!noIdleMessage && parent && count == 0) {
          SendMessageW(parent, WM_ENTERIDLE, MSGF_DIALOGBOX, LPARAM(dialog));
        }
        if (!SendMessageW(dialog, WM_KICKIDLE, 0, count++)) idle = false;
      }
      bool leave = false;
      do {
        if (!app->PumpMessage()) {
          // The outer loop must still see the quit, with its exit code.
          PostQuitMessage(int(app->msg.wParam));
          *result = -1;
          leave = true;
          break;
        }
        if (*result != -1) {
          ::EndDialog(dialog, *result);
          leave = true;
          break;
        }
        if (app->IsIdleMessage(&app->msg)) {
          idle = true;
          count = 0;
        }
      } while (PeekMessageW(&app->msg, nullptr, 0, 0, PM_NOREMOVE));
      if (leave) break;
    }
    SetWindowPos(dialog, nullptr, 0, 0, 0, 0,
                 SWP_HIDEWINDOW | SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOMOVE | SWP_NOSIZE);
  } catch (const std::exception& e) {
    // The dialog ends without an answer; the caller destroys it as after any other end.
    Trace(L"Modal loop ended by an exception: %hs", e.what());
    *result = -1;
  }
}
