// Thin wrappers over the common controls and GDI objects the pages and dialogs use, and the text of a
// hot key as menus show it. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "Object.h"
#include "Wnd.h"

// Resource holders: each owns one handle (null when it holds none) and frees it when the object goes.
// They keep a raw handle rather than an engine handle owner because the engine's owner header names a
// CModule of its own, which clashes with the class library's.
class CMenu : public CObject {
 public:
  CMenu() = default;
  explicit CMenu(HMENU menu) : hmenu(menu) {}
  ~CMenu() override;
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;

  HMENU hmenu = nullptr;
};

class CImageList : public CObject {
 public:
  CImageList() = default;
  explicit CImageList(HIMAGELIST list) : himl(list) {}
  ~CImageList() override;
  CImageList(const CImageList&) = delete;
  CImageList& operator=(const CImageList&) = delete;

  HIMAGELIST himl = nullptr;
};

class CDC : public CObject {
 public:
  CDC() = default;
  explicit CDC(HDC dc) : hdc(dc) {}
  ~CDC() override;
  CDC(const CDC&) = delete;
  CDC& operator=(const CDC&) = delete;

  HDC hdc = nullptr;
};

// The client-area DC of a window: released to that window, never deleted.
class CClientDC : public CDC {
 public:
  // GetDC of the window; throws CResourceException when there is none.
  explicit CClientDC(HWND window);
  ~CClientDC() override;

  HWND wnd = nullptr;
};

class CEdit : public CSubclassedWnd {
 public:
  // Selects [start, end) and scrolls the caret into view.
  void SetSel(int start, int end);
};

// A list view that takes Enter inside a dialog and knows Ctrl+A (select all) and the numeric pad's '*'
// (invert the selection).
class CListCtrl : public CSubclassedWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // A reflected LVN_KEYDOWN goes to OnKeyDown; nothing else is handled here.
  bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
  // True (and *result 1) for the keys the list handles itself; modifiers come from GetKeyState.
  virtual bool OnKeyDown(NMLVKEYDOWN* key, LRESULT* result);

  void SelectAll();
  // Selects and focuses the item alone (-1: clears selection and focus only) and scrolls so that it
  // stands about half a page from the edge it was approaching, the last item at most.
  void SelectItem(int index);
  // Scrolls the item to the top as far as the list allows; true when nothing needed scrolling or the list
  // scrolled, and for an empty list.
  bool SetTopIndex(int index);
};

class CToolTipCtrl : public CWnd {
 public:
  // Removes the tool (window, id); id 0 names the tool that is the window itself on its parent.
  void DelTool(HWND window, UINT_PTR id);
};

// The key's name as the keyboard layout gives it ("F5", "Num *"), or a fixed English name or "0x%.2X"
// where the layout has none.
int GetKeyName(std::wstring& out, UINT virtualKey);
// "Ctrl+Shift+Alt+Win+<key>" for a hot key: the virtual key in the low byte, modifier bits 0x100 Alt,
// 0x200 Ctrl, 0x400 Shift, 0x800 Win. Empty for key code 0.
int GetHotKeyText(std::wstring& out, WORD hotKey);
