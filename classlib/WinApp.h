// The application object: the message pump, the message being handled and the map from window handles to
// window objects. Exactly one exists while windows live; its constructor makes it g_app, through which the
// class library reaches it (a test program is its own application).
#pragma once

#include <windows.h>

#include <exception>
#include <unordered_map>

#include "Object.h"

class CWnd;

class CWinApp : public CObject {
 public:
  CWinApp();
  // Destroys icon, frees richEditModule, then drops the window map.
  ~CWinApp() override;

  virtual void ShowHelp(UINT helpContextId) = 0;
  // The answer for a message whose handling threw: WM_CREATE -1 (creation fails), WM_PAINT validates the
  // whole window and answers 0 (so it is not sent again at once), anything else 0.
  virtual LRESULT OnWndProcException(const std::exception& e, const MSG* failed);
  // Called before a dialog's popup menu opens.
  virtual void OnInitMenuPopup(HMENU menu, UINT index, bool systemMenu);
  // GetMessageW into msg, then PreTranslateMessage or translate and dispatch; false on WM_QUIT.
  virtual bool PumpMessage();
  virtual bool PreTranslateMessage(MSG* message) = 0;
  // True for every message but WM_PAINT: after it an idle phase may begin again.
  virtual bool IsIdleMessage(const MSG* message);

  // The object of a live window; null for a null or unknown handle.
  CWnd* LookupWindow(HWND wnd) const;
  // Enters the object under its current handle, replacing what that handle had.
  void MapWindow(CWnd* wnd);
  // Removes the entry of the object's current handle when it is this object's.
  void UnmapWindow(CWnd* wnd);

  MSG msg{};         // the pump's message
  MSG currentMsg{};  // the message a window object is handling right now
 private:
  std::unordered_map<HWND, CWnd*> m_windows;

 public:
  CWnd* mainWnd = nullptr;
  HICON icon = nullptr;
  HMODULE richEditModule = nullptr;
};

// The one application object; null before it is made and after it is gone.
extern CWinApp* g_app;
