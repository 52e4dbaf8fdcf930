#include "WinApp.h"

#include "Wnd.h"

CWinApp* g_app = nullptr;

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (icon) DestroyIcon(icon);
  if (richEditModule) FreeLibrary(richEditModule);
  if (g_app == this) g_app = nullptr;
}

LRESULT CWinApp::OnWndProcException(const std::exception&, const MSG* failed) {
  switch (failed->message) {
    case WM_CREATE:
      return -1;
    case WM_PAINT:
      // An unvalidated window would be sent WM_PAINT again at once, and throw again.
      ValidateRect(failed->hwnd, nullptr);
      return 0;
    default:
      return 0;
  }
}

void CWinApp::OnInitMenuPopup(HMENU, UINT, bool) {}

bool CWinApp::PumpMessage() {
  if (!GetMessageW(&msg, nullptr, 0, 0)) return false;
  if (!PreTranslateMessage(&msg)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

bool CWinApp::IsIdleMessage(const MSG* message) { return message->message != WM_PAINT; }

bool CWinApp::GetNoSortHeader() { return false; }

void CWinApp::ToggleNoSortHeader() {}

bool CWinApp::GetTableGrid() { return false; }

bool CWinApp::GetAltListBkColor() { return true; }

CToolTipCtrl* CWinApp::GetSharedToolTip() { return nullptr; }

COLORREF CWinApp::GetHighlightColor(bool text) { return GetSysColor(text ? COLOR_HIGHLIGHTTEXT : COLOR_HIGHLIGHT); }

CDocument* CWinApp::GetSettingsDocument() { return nullptr; }

bool CWinApp::ExchangeWindowPos(bool, HWND, int, int) { return false; }

bool CWinApp::GetChooserColumns(COLUMN_SET&) { return false; }

void CWinApp::StoreChooserColumns(const COLUMN_SET&) {}

CWnd* CWinApp::LookupWindow(HWND wnd) const {
  if (!wnd) return nullptr;
  auto found = m_windows.find(wnd);
  return found == m_windows.end() ? nullptr : found->second;
}

void CWinApp::MapWindow(CWnd* wnd) {
  if (wnd->hwnd) m_windows[wnd->hwnd] = wnd;
}

void CWinApp::UnmapWindow(CWnd* wnd) {
  auto found = m_windows.find(wnd->hwnd);
  if (found != m_windows.end() && found->second == wnd) m_windows.erase(found);
}
