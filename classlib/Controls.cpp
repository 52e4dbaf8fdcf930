#include "Controls.h"

#include <iterator>

#include "Core.h"
#include "File.h"

CMenu::~CMenu() {
  if (hmenu) DestroyMenu(hmenu);
}

CImageList::~CImageList() {
  if (himl) ImageList_Destroy(himl);
}

CDC::~CDC() {
  if (hdc) DeleteDC(hdc);
}

CClientDC::CClientDC(HWND window) : wnd(window) {
  hdc = GetDC(window);
  if (!hdc) ThrowResourceException();
}

CClientDC::~CClientDC() {
  // A window's DC goes back to the window; the CDC part must not delete it.
  ReleaseDC(wnd, hdc);
  hdc = nullptr;
}

void CEdit::SetSel(int start, int end) {
  SendMessageW(hwnd, EM_SETSEL, WPARAM(start), LPARAM(end));
  SendMessageW(hwnd, EM_SCROLLCARET, 0, 0);
}

// ---- CListCtrl ----

namespace {

bool KeyDown(int key) { return GetKeyState(key) < 0; }

void SetItemState(HWND list, int item, UINT state, UINT mask) {
  LVITEMW lvi{};
  lvi.state = state;
  lvi.stateMask = mask;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(item), LPARAM(&lvi));
}

}  // namespace

LRESULT CListCtrl::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_GETDLGCODE) {
    // Without it the dialog manager takes Enter for the default button before the list sees it.
    LRESULT code = Default();
    if (wParam == VK_RETURN) code |= DLGC_WANTALLKEYS;
    return code;
  }
  return CWnd::WindowProc(wnd, message, wParam, lParam);
}

bool CListCtrl::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result) {
  if (message != WM_NOTIFY || !result) return false;
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  if (header->code != LVN_KEYDOWN) return false;
  return OnKeyDown(reinterpret_cast<NMLVKEYDOWN*>(lParam), result);
}

bool CListCtrl::OnKeyDown(NMLVKEYDOWN* key, LRESULT* result) {
  const bool ctrl = KeyDown(VK_CONTROL);
  const bool shift = KeyDown(VK_SHIFT);
  const bool alt = KeyDown(VK_MENU);
  if (key->wVKey == 'A' && ctrl && !shift && !alt) {
    SelectAll();
  } else if (key->wVKey == VK_MULTIPLY && !ctrl && !shift && !alt) {
    const int count = int(SendMessageW(hwnd, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      const UINT selected =
          UINT(SendMessageW(hwnd, LVM_GETITEMSTATE, WPARAM(i), LVIS_SELECTED)) & LVIS_SELECTED;
      SetItemState(hwnd, i, selected ^ LVIS_SELECTED, LVIS_SELECTED);
    }
  } else {
    return false;
  }
  *result = 1;
  return true;
}

void CListCtrl::SelectAll() { SetItemState(hwnd, -1, LVIS_SELECTED, LVIS_SELECTED); }

void CListCtrl::SelectItem(int index) {
  SetItemState(hwnd, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (index == -1) return;
  SetItemState(hwnd, index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  const int top = int(SendMessageW(hwnd, LVM_GETTOPINDEX, 0, 0));
  const int half = int(SendMessageW(hwnd, LVM_GETCOUNTPERPAGE, 0, 0)) / 2;
  int target;
  if (index < top + half) {
    target = index - half + 1;
    if (target < 0) target = 0;
  } else {
    target = index + half;
    // Past the end (the count itself included, which names no item) the last item is the one to show.
    const int count = int(SendMessageW(hwnd, LVM_GETITEMCOUNT, 0, 0));
    if (target >= count) target = count - 1;
  }
  SendMessageW(hwnd, LVM_ENSUREVISIBLE, WPARAM(target), TRUE);
}

bool CListCtrl::SetTopIndex(int index) {
  RECT item{};
  item.left = LVIR_BOUNDS;
  if (!SendMessageW(hwnd, LVM_GETITEMRECT, 0, LPARAM(&item))) {
    return SendMessageW(hwnd, LVM_GETITEMCOUNT, 0, 0) == 0;
  }
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_RANGE | SIF_TRACKPOS;
  GetScrollInfo(hwnd, SB_VERT, &si);
  if (index < si.nMin) index = si.nMin;
  if (index > si.nMax) index = si.nMax;
  const int dy = (index - si.nTrackPos) * (item.bottom - item.top);
  if (dy == 0) return true;
  return SendMessageW(hwnd, LVM_SCROLL, 0, LPARAM(dy)) != 0;
}

void CToolTipCtrl::DelTool(HWND window, UINT_PTR id) {
  TOOLINFOW ti{};
  ti.cbSize = sizeof ti;
  ti.hinst = g_hResInstance;
  if (id) {
    ti.hwnd = window;
    ti.uId = id;
  } else {
    ti.hwnd = GetParent(window);
    ti.uId = UINT_PTR(window);
    ti.uFlags = TTF_IDISHWND;
  }
  SendMessageW(hwnd, TTM_DELTOOLW, 0, LPARAM(&ti));
}

// ---- Hot keys ----

namespace {

bool IsExtendedKey(UINT key) {
  switch (key) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
    case VK_DIVIDE:
    case VK_NUMLOCK:
    case VK_RSHIFT:
    case VK_RCONTROL:
    case VK_RMENU: return true;
    default: return false;
  }
}

const wchar_t* FixedKeyName(UINT key) {
  switch (key) {
    case VK_PAUSE: return L"Pause";
    case VK_CAPITAL: return L"Caps Lock";
    case VK_SELECT: return L"Select";
    case VK_PRINT: return L"Print";
    case VK_EXECUTE: return L"Execute";
    case VK_HELP: return L"Help";
    case VK_APPS: return L"Apps";
    case VK_SLEEP: return L"Sleep";
    case VK_SEPARATOR: return L"Sep";
    default: return nullptr;
  }
}

}  // namespace

int GetKeyName(std::wstring& out, UINT virtualKey) {
  const UINT key = virtualKey & 0xFF;
  const UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
  const LONG param = LONG((scan << 16) | (IsExtendedKey(key) ? 1u << 24 : 0u));
  wchar_t name[256];
  const int length = GetKeyNameTextW(param, name, int(std::size(name)));
  if (length > 0) {
    out.assign(name, size_t(length));
  } else if (const wchar_t* fixed = FixedKeyName(key)) {
    out = fixed;
  } else {
    StrFormat(out, L"0x%.2X", key);
  }
  return int(out.size());
}

int GetHotKeyText(std::wstring& out, WORD hotKey) {
  out.clear();
  if (!LOBYTE(hotKey)) return 0;
  if (hotKey & 0x200) out += L"Ctrl+";
  if (hotKey & 0x400) out += L"Shift+";
  if (hotKey & 0x100) out += L"Alt+";
  if (hotKey & 0x800) out += L"Win+";
  std::wstring name;
  if (GetKeyName(name, LOBYTE(hotKey)) == 0) {
    out.clear();
    return 0;
  }
  out += name;
  return int(out.size());
}
