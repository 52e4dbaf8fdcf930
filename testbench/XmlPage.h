#pragma once
// A tab of the Connection dialog that shows the add-in's raw XML (settings or action description) in a
// read-only rich edit, tags coloured, with a context menu to copy the selection or the whole text.
#include <windows.h>

#include <string>

#include "AppPage.h"

class CXmlPage : public CAppPage {
 public:
  CXmlPage();
  ~CXmlPage() override;

  // Loads Msftedit.dll once per process (COSException when it cannot), then creates dialog 960 as a
  // child of `parent`. True when the window exists.
  bool Create(HWND parent);
  // Replaces the text and colours its tags; caret to the start.
  void SetXmlText(const std::wstring& text);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  // The context menu's rules: every command needs text, "Copy" a selection too.
  bool HasText() const;
  bool HasSelection() const;
  void UpdateMenu(HMENU popup) const;
  // The first popup of menu 807 at the cursor, owned by the page.
  void ShowContextMenu();

  HWND edit = nullptr;  // control 1053
};
