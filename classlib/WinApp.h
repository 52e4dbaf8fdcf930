// The application object: the message pump, the message being handled and the map from window handles to
// window objects. Exactly one exists while windows live; its constructor makes it g_app, through which the
// class library reaches it (a test program is its own application).
#pragma once

#include <windows.h>

#include <exception>
#include <unordered_map>

#include "ColumnSettings.h"
#include "Object.h"

class CDocument;
class CToolTipCtrl;
class CWnd;

class CWinApp : public CObject {
 public:
  CWinApp();
  // Destroys icon, frees richEditModule, then drops the window map.
  ~CWinApp() override;

  // False when no help could be shown.
  virtual bool ShowHelp(UINT helpContextId) = 0;
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

  // What every table asks of the application (the document's view options, the shared tooltip, the
  // colours cached at start). The defaults suit a program without a settings document.
  // The document's "no sort by click on a title" option; false by default.
  virtual bool GetNoSortHeader();
  // Flips that option (a view-option change of the document); does nothing by default.
  virtual void ToggleNoSortHeader();
  // The document's grid-lines option for tables; false by default.
  virtual bool GetTableGrid();
  // The document's alternate-row-background option; true by default.
  virtual bool GetAltListBkColor();
  // The main window's tooltip control that carries the tables' header tips; none by default.
  virtual CToolTipCtrl* GetSharedToolTip();
  // The highlight colours for selected rows (text true: COLOR_HIGHLIGHTTEXT, else COLOR_HIGHLIGHT); by
  // default the system's current ones.
  virtual COLORREF GetHighlightColor(bool text);

  // What the column chooser asks of the application.
  // The settings document whose update batch wraps the chooser's Apply; null (no batch) by default.
  virtual CDocument* GetSettingsDocument();
  // Restores (save false) or remembers (save true) the placement of `window` in window slot `slot` (and its
  // show state in `showSlot`); false, doing nothing, by default.
  virtual bool ExchangeWindowPos(bool save, HWND window, int slot, int showSlot);
  // The document's column set of the chooser's own list into `out`; false (the chooser's built-in layout)
  // by default.
  virtual bool GetChooserColumns(COLUMN_SET& out);
  // Stores the chooser list's column set in the document and marks the configuration modified; nothing by
  // default.
  virtual void StoreChooserColumns(const COLUMN_SET& columns);

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
