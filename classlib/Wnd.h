// Window objects: one CWnd per live window, reached by Windows through CWnd::StaticWndProc, with
// reflection of child notifications, the notification mute and subclassing of system controls.
// GUI thread only.
#pragma once

#include <windows.h>

#include <string>

#include "Object.h"
#include "WinApp.h"

class CWnd : public CObject {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  // Destroys the window when hwnd is a real handle (not 0, 1, -1 or -2).
  ~CWnd() override;

  // CreateWindowExW with g_hInstance, the id as menu handle and this object as creation parameter.
  virtual bool Create(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
                      HWND parent, UINT id);
  virtual void Destroy();
  virtual bool PreTranslateMessage(MSG* message);
  virtual LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Reflects a control's WM_COMMAND to the control's own object; false when it has none.
  virtual bool OnCommand(UINT id, UINT notifyCode, HWND control);
  // Reflects WM_NOTIFY to the sender's object; false when it has none.
  virtual bool OnNotify(UINT id, NMHDR* header, LRESULT* result);
  // DefWindowProcW of g_app->currentMsg.
  virtual LRESULT Default();
  // A control's answer to a message its parent reflected; false = not handled.
  virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  int GetWindowText(std::wstring& out) const;

  // The window procedure of every class the configurator registers and of every subclassed control.
  static LRESULT CALLBACK StaticWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);
  // The common entry: makes this message g_app->currentMsg for the call, maps the object at WM_NCCREATE
  // and WM_INITDIALOG, unmaps it and forgets the handle at WM_NCDESTROY, and answers a std::exception
  // thrown on the way with g_app->OnWndProcException.
  LRESULT ProcessMessage(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd = nullptr;

 protected:
  static bool IsRealHandle(HWND wnd);
};

// A system control (edit, list view) whose window procedure is taken over by its object from the
// control's first message, through a CBT hook held for the length of Create.
class CSubclassedWnd : public CWnd {
 public:
  CSubclassedWnd() = default;
  // Puts the saved procedure back, then destroys the window as Destroy does.
  ~CSubclassedWnd() override;

  // As CWnd::Create; throws std::bad_alloc when the hook cannot be installed.
  bool Create(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
              HWND parent, UINT id) override;
  // Puts savedProc back and unmaps, then DestroyWindow.
  void Destroy() override;
  // The control's own procedure (savedProc) with g_app->currentMsg.
  LRESULT Default() override;

  // Takes over the dialog's control `id` as if this object had created it; false when there is no such
  // control or the object already holds a live one.
  bool Attach(HWND dialog, UINT id);

  WNDPROC savedProc = nullptr;

 private:
  void Restore();
  static LRESULT CALLBACK CbtHookProc(int code, WPARAM wParam, LPARAM lParam);
};

// The one window whose WM_COMMAND (answered 1) and WM_NOTIFY (to Default) are ignored while code fills
// its controls; null when nothing is muted.
extern HWND MuteNotify;
// Mutes `wnd` and returns what RestoreMuteNotify needs: the previous MuteNotify, or HWND(-1) when `wnd`
// already was the muted window (then it stays muted at the end).
HWND BeginMuteNotify(HWND wnd);
void RestoreMuteNotify(HWND saved);

// Mutes a window for the length of a scope, however the scope is left.
class CMuteNotifyScope {
 public:
  explicit CMuteNotifyScope(HWND wnd) : m_saved(BeginMuteNotify(wnd)) {}
  ~CMuteNotifyScope() { RestoreMuteNotify(m_saved); }
  CMuteNotifyScope(const CMuteNotifyScope&) = delete;
  CMuteNotifyScope& operator=(const CMuteNotifyScope&) = delete;

 private:
  HWND m_saved;
};

// Sends to every descendant of `parent`, depth first in z-order: through their objects' ProcessMessage
// (children without an object get nothing, their children still do) or by SendMessageW.
void SendToDescendants(HWND parent, UINT message, WPARAM wParam, LPARAM lParam, bool throughObjects);
// The first descendant with control id `id` that has an object (GetDlgItem's candidate first); null when
// none. `object`, when given, receives its object.
HWND FindDescendantById(HWND parent, UINT id, CWnd** object);
// The last window GetParent reaches (parent or owner); null gives null.
HWND GetTopLevelParent(HWND wnd);
// The calling thread is in a menu, a system menu or a popup menu.
bool IsInMenuMode();
int GetWindowTextString(HWND wnd, std::wstring& out);
