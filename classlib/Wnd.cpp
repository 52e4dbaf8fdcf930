#include "Wnd.h"

#include <new>

#include "Core.h"

HWND MuteNotify = nullptr;

namespace {

// CSubclassedWnd::Create's state, set only for the length of one creation.
CSubclassedWnd* s_creating = nullptr;
HHOOK s_cbtHook = nullptr;

bool HasChildStyle(HWND wnd) { return (GetWindowLongW(wnd, GWL_STYLE) & WS_CHILD) != 0; }

CWnd* LookupObject(HWND wnd) { return g_app ? g_app->LookupWindow(wnd) : nullptr; }

// `wnd`'s descendants below it, then `wnd` itself.
HWND FindInSubtree(HWND wnd, UINT id, CWnd** object) {
  if (HWND found = FindDescendantById(wnd, id, object)) return found;
  if (UINT(GetDlgCtrlID(wnd)) != id) return nullptr;
  CWnd* own = LookupObject(wnd);
  if (!own) return nullptr;
  if (object) *object = own;
  return wnd;
}

}  // namespace

// ---- CWnd ----

CWnd::~CWnd() {
  if (IsRealHandle(hwnd)) CWnd::Destroy();
}

bool CWnd::IsRealHandle(HWND wnd) {
  const INT_PTR value = INT_PTR(wnd);
  return value != 0 && value != 1 && value != -1 && value != -2;
}

bool CWnd::Create(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
                  HWND parent, UINT id) {
  hwnd = CreateWindowExW(exStyle, className, title, style, x, y, cx, cy, parent, HMENU(UINT_PTR(id)), g_hInstance,
                         this);
  return hwnd != nullptr;
}

void CWnd::Destroy() {
  if (hwnd) {
    DestroyWindow(hwnd);
    // Normally gone at WM_NCDESTROY already; a window DestroyWindow refused must not keep a dangling entry.
    if (hwnd && g_app) g_app->UnmapWindow(this);
  }
  hwnd = nullptr;
}

bool CWnd::PreTranslateMessage(MSG*) { return false; }

bool CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return false; }

LRESULT CWnd::Default() {
  const MSG& m = g_app->currentMsg;
  return DefWindowProcW(m.hwnd, m.message, m.wParam, m.lParam);
}

bool CWnd::OnCommand(UINT, UINT, HWND control) {
  CWnd* child = LookupObject(control);
  if (!child) return false;
  const MSG& m = g_app->currentMsg;
  return child->OnChildNotify(m.message, m.wParam, m.lParam, nullptr);
}

bool CWnd::OnNotify(UINT, NMHDR* header, LRESULT* result) {
  CWnd* child = LookupObject(header->hwndFrom);
  if (!child) return false;
  const MSG& m = g_app->currentMsg;
  return child->OnChildNotify(m.message, m.wParam, m.lParam, result);
}

LRESULT CWnd::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SYSCOLORCHANGE:
      if (!HasChildStyle(wnd)) SendToDescendants(wnd, WM_SYSCOLORCHANGE, 0, 0, false);
      Default();
      return 0;
    case WM_SETTINGCHANGE:
      if (!HasChildStyle(wnd)) SendToDescendants(wnd, message, wParam, lParam, true);
      return Default();
    case WM_DEVMODECHANGE:
      if (!HasChildStyle(wnd)) SendToDescendants(wnd, message, wParam, lParam, true);
      return 0;
    case WM_DRAWITEM:
    case WM_DELETEITEM: {
      HWND item = message == WM_DRAWITEM ? reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem
                                         : reinterpret_cast<DELETEITEMSTRUCT*>(lParam)->hwndItem;
      CWnd* child = LookupObject(item);
      if (!child || !child->OnChildNotify(message, wParam, lParam, nullptr)) Default();
      return 0;
    }
    case WM_MEASUREITEM: {
      auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
      CWnd* child = nullptr;
      // A menu item's CtlID is no control id: a child that happens to carry it must not measure it.
      if (measure->CtlType != ODT_MENU) FindDescendantById(wnd, measure->CtlID, &child);
      if (!child || !child->OnChildNotify(message, wParam, lParam, nullptr)) Default();
      return 0;
    }
    case WM_COMPAREITEM: {
      CWnd* child = LookupObject(reinterpret_cast<COMPAREITEMSTRUCT*>(lParam)->hwndItem);
      LRESULT result = 0;
      if (child && child->OnChildNotify(message, wParam, lParam, &result)) return int(result);
      return Default();
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (wnd == MuteNotify || !header || !header->hwndFrom) return Default();
      LRESULT result = 0;
      if (OnNotify(UINT(wParam), header, &result)) return result;
      return Default();
    }
    case WM_COMMAND:
      if (wnd == MuteNotify) return 1;
      if (OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))) return 1;
      return Default();
    case WM_PARENTNOTIFY:
      if (LOWORD(wParam) == WM_CREATE || LOWORD(wParam) == WM_DESTROY) {
        CWnd* child = LookupObject(reinterpret_cast<HWND>(lParam));
        if (!child || !child->OnChildNotify(message, wParam, lParam, nullptr)) Default();
        return 0;
      }
      return Default();
    default:
      return Default();
  }
}

int CWnd::GetWindowText(std::wstring& out) const { return GetWindowTextString(hwnd, out); }

LRESULT CALLBACK CWnd::StaticWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* object;
  if (message == WM_NCCREATE) {
    object = static_cast<CWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    if (object) {
      object->hwnd = wnd;
      SetWindowLongPtrW(wnd, GWLP_USERDATA, LONG_PTR(object));
    }
  } else {
    object = reinterpret_cast<CWnd*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  }
  if (!object) return DefWindowProcW(wnd, message, wParam, lParam);
  return object->ProcessMessage(wnd, message, wParam, lParam);
}

LRESULT CWnd::ProcessMessage(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWinApp* app = g_app;
  if (!app) return DefWindowProcW(wnd, message, wParam, lParam);
  // The outer message comes back however this one ends, so an outer handler's Default() still forwards
  // its own message after a nested send.
  struct Restore {
    CWinApp* App;
    MSG Saved;
    ~Restore() { App->currentMsg = Saved; }
  } restore{app, app->currentMsg};
  app->currentMsg.hwnd = wnd;
  app->currentMsg.message = message;
  app->currentMsg.wParam = wParam;
  app->currentMsg.lParam = lParam;
  try {
    if (message == WM_NCCREATE || message == WM_INITDIALOG) {
      app->MapWindow(this);
    } else if (message == WM_NCDESTROY) {
      app->UnmapWindow(this);
      // A window that died with its parent leaves its object without a handle, so the object's own
      // Destroy or destructor never reaches a handle Windows has since given to another window.
      if (hwnd == wnd) hwnd = nullptr;
    }
    return WindowProc(wnd, message, wParam, lParam);
  } catch (const std::exception& e) {
    return app->OnWndProcException(e, &app->currentMsg);
  }
}

// ---- CSubclassedWnd ----

CSubclassedWnd::~CSubclassedWnd() {
  if (IsRealHandle(hwnd)) {
    CSubclassedWnd::Destroy();
  } else {
    savedProc = nullptr;
  }
}

bool CSubclassedWnd::Create(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx,
                            int cy, HWND parent, UINT id) {
  if (s_creating != this) {
    if (!s_cbtHook) {
      s_cbtHook = SetWindowsHookExW(WH_CBT, &CSubclassedWnd::CbtHookProc, nullptr, GetCurrentThreadId());
      if (!s_cbtHook) throw std::bad_alloc();
    }
    s_creating = this;
  }
  hwnd = CreateWindowExW(exStyle, className, title, style, x, y, cx, cy, parent, HMENU(UINT_PTR(id)), g_hInstance,
                         this);
  if (s_cbtHook) {
    UnhookWindowsHookEx(s_cbtHook);
    s_cbtHook = nullptr;
  }
  s_creating = nullptr;
  if (!hwnd) savedProc = nullptr;  // the window the hook took over is gone again
  return hwnd != nullptr;
}

LRESULT CALLBACK CSubclassedWnd::CbtHookProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && s_creating) {
    // Only the first window made after the hook was set is the object's own; windows its creation makes
    // (children made in WM_CREATE) keep their procedures.
    CSubclassedWnd* object = s_creating;
    s_creating = nullptr;
    HWND wnd = reinterpret_cast<HWND>(wParam);
    object->hwnd = wnd;
    // The object is reachable before WM_NCCREATE too (WM_GETMINMAXINFO comes first), so such early
    // messages still reach the control's own procedure through Default.
    SetWindowLongPtrW(wnd, GWLP_USERDATA, LONG_PTR(object));
    auto previous =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(wnd, GWLP_WNDPROC, LONG_PTR(&CWnd::StaticWndProc)));
    object->savedProc = previous == &CWnd::StaticWndProc ? nullptr : previous;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool CSubclassedWnd::Attach(HWND dialog, UINT id) {
  if (savedProc && hwnd) return false;
  HWND control = GetDlgItem(dialog, int(id));
  if (!control) return false;
  hwnd = control;
  if (g_app) g_app->MapWindow(this);
  SetWindowLongPtrW(control, GWLP_USERDATA, LONG_PTR(this));
  auto previous =
      reinterpret_cast<WNDPROC>(SetWindowLongPtrW(control, GWLP_WNDPROC, LONG_PTR(&CWnd::StaticWndProc)));
  // A control already run by StaticWndProc has no procedure of its own to forward to.
  savedProc = previous == &CWnd::StaticWndProc ? nullptr : previous;
  return true;
}

void CSubclassedWnd::Restore() {
  if (!savedProc) return;
  if (hwnd) {
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, LONG_PTR(savedProc));
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    if (g_app) g_app->UnmapWindow(this);
  }
  savedProc = nullptr;
}

void CSubclassedWnd::Destroy() {
  Restore();
  if (hwnd) DestroyWindow(hwnd);
  hwnd = nullptr;
}

LRESULT CSubclassedWnd::Default() {
  if (!savedProc) return CWnd::Default();
  const MSG& m = g_app->currentMsg;
  return CallWindowProcW(savedProc, m.hwnd, m.message, m.wParam, m.lParam);
}

// ---- Notification mute ----

HWND BeginMuteNotify(HWND wnd) {
  if (MuteNotify == wnd) return HWND(-1);
  HWND saved = MuteNotify;
  MuteNotify = wnd;
  return saved;
}

void RestoreMuteNotify(HWND saved) {
  if (saved != HWND(-1)) MuteNotify = saved;
}

// ---- Helpers ----

void SendToDescendants(HWND parent, UINT message, WPARAM wParam, LPARAM lParam, bool throughObjects) {
  if (!parent) return;
  for (HWND child = GetTopWindow(parent); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!throughObjects) {
      SendMessageW(child, message, wParam, lParam);
    } else if (CWnd* object = LookupObject(child)) {
      object->ProcessMessage(child, message, wParam, lParam);
    }
    if (GetTopWindow(child)) SendToDescendants(child, message, wParam, lParam, throughObjects);
  }
}

HWND FindDescendantById(HWND parent, UINT id, CWnd** object) {
  if (!parent) return nullptr;
  HWND candidate = GetDlgItem(parent, int(id));
  if (candidate) {
    if (HWND found = FindInSubtree(candidate, id, object)) return found;
  }
  for (HWND child = GetTopWindow(parent); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (child == candidate) continue;
    if (HWND found = FindInSubtree(child, id, object)) return found;
  }
  return nullptr;
}

HWND GetTopLevelParent(HWND wnd) {
  if (!wnd) return nullptr;
  for (HWND parent = GetParent(wnd); parent; parent = GetParent(wnd)) wnd = parent;
  return wnd;
}

bool IsInMenuMode() {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  // This thread's own state: the foreground thread may be another program's, in a menu of its own.
  if (!GetGUIThreadInfo(GetCurrentThreadId(), &info)) return false;
  return (info.flags & (GUI_INMENUMODE | GUI_SYSTEMMENUMODE | GUI_POPUPMENUMODE)) != 0;
}

int GetWindowTextString(HWND wnd, std::wstring& out) {
  const int length = GetWindowTextLengthW(wnd);
  out.resize(size_t(length) + 1);
  const int copied = GetWindowTextW(wnd, &out[0], length + 1);
  out.resize(copied > 0 ? size_t(copied) : 0);
  return int(out.size());
}
