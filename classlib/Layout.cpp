#include "Layout.h"

#include <algorithm>

// ---- CAnchorLayout ----

void CAnchorLayout::AddControl(int id, UINT flags) {
  anchors.push_back({id, flags, {}, GetDlgItem(owner, id)});
}

void CAnchorLayout::AddWindow(HWND wnd, UINT flags) {
  anchors.push_back({GetDlgCtrlID(wnd), flags, {}, wnd});
}

void CAnchorLayout::Capture() {
  GetClientRect(owner, &clientRect);
  for (_ANCHOR_INFO& anchor : anchors) {
    if (!anchor.hwnd) continue;
    GetWindowRect(anchor.hwnd, &anchor.rect);
    MapWindowPoints(nullptr, owner, reinterpret_cast<POINT*>(&anchor.rect), 2);
  }
}

HDWP CAnchorLayout::Resize(int width, int height, HDWP hdwp) {
  if (!owner) return hdwp;
  const bool ownBatch = !hdwp;
  if (ownBatch) {
    hdwp = BeginDeferWindowPos(int(anchors.size()));
    if (!hdwp) return nullptr;
  }
  const int scrollX = GetScrollPos(owner, SB_HORZ);
  const int scrollY = GetScrollPos(owner, SB_VERT);
  const RECT& c = clientRect;
  for (const _ANCHOR_INFO& anchor : anchors) {
    // A null window would fail DeferWindowPos, and a failed DeferWindowPos frees the whole batch.
    if (!anchor.hwnd) continue;
    const RECT& r = anchor.rect;
    RECT n = r;
    if (anchor.flags & ANCHOR_RIGHT) n.right = c.left + r.right + width - c.right;
    if (anchor.flags & ANCHOR_BOTTOM) n.bottom = c.top + r.bottom + height - c.bottom;
    if (!(anchor.flags & ANCHOR_TOP)) n.top = r.top + (n.bottom - r.bottom);
    if (!(anchor.flags & ANCHOR_LEFT)) n.left = n.right + r.left - r.right;
    UINT swp = SWP_NOZORDER | SWP_NOACTIVATE;
    if (anchor.flags & ANCHOR_REDRAW) swp |= SWP_NOCOPYBITS;
    hdwp = DeferWindowPos(hdwp, anchor.hwnd, nullptr, n.left - scrollX, n.top - scrollY, n.right - n.left,
                          n.bottom - n.top, swp);
    if (!hdwp) return nullptr;
  }
  if (!ownBatch) return hdwp;
  EndDeferWindowPos(hdwp);
  return nullptr;
}

// ---- CPageScroller ----

namespace {
constexpr int kLineStep = 60;
}  // namespace

void CPageScroller::OnVScroll(UINT code, int, HWND) {
  if (!window || code > SB_THUMBTRACK) return;
  int delta;
  switch (code) {
    case SB_LINEUP: delta = -kLineStep; break;
    case SB_LINEDOWN: delta = kLineStep; break;
    case SB_PAGEUP: delta = -pageHeight; break;
    case SB_PAGEDOWN: delta = pageHeight; break;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK: delta = GetTrackPos(nullptr) - posY; break;
    default: return;
  }
  // A page of 0 means the content fits (SetScrollBar): there is nowhere to scroll to.
  const int limit = pageHeight > 0 ? std::max(0, contentHeight - pageHeight) : 0;
  delta = std::clamp(posY + delta, 0, limit) - posY;
  if (delta == 0) return;
  posY += delta;
  SetScrollPos(window, SB_VERT, posY, TRUE);
  ScrollWindow(window, 0, -delta, nullptr, nullptr);
}

int CPageScroller::GetTrackPos(HWND wnd) {
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_TRACKPOS;
  GetScrollInfo(wnd ? wnd : window, SB_VERT, &si);
  return si.nTrackPos;
}

void CPageScroller::UpdateScrollBars() {
  if (!window) return;
  RECT client;
  GetClientRect(window, &client);
  RECT outer;
  GetWindowRect(window, &outer);
  POINT clientEnd{client.right, client.bottom};
  ClientToScreen(window, &clientEnd);
  // The size as if no bar were shown: a bar that is shown now may go once the content fits.
  int width = client.right;
  int height = client.bottom;
  const int barWidth = GetSystemMetrics(SM_CXVSCROLL);
  const int barHeight = GetSystemMetrics(SM_CYHSCROLL);
  if (outer.right - clientEnd.x >= barWidth) width += barWidth;
  if (outer.bottom - clientEnd.y >= barHeight) height += barHeight;
  int dx = 0;
  int dy = 0;
  SetScrollBar(SB_HORZ, width, contentWidth, &pageWidth, &posX, &dx);
  SetScrollBar(SB_VERT, height, contentHeight, &pageHeight, &posY, &dy);
  if (dx || dy) ScrollWindow(window, dx, dy, nullptr, nullptr);
}

void CPageScroller::SetScrollBar(int bar, int client, int content, int* page, int* pos, int* delta) {
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  if (client < content) {
    if (*page > 0 && *pos > 0) *pos = int(double(*pos) * client / *page);
    *page = client;
    *pos = std::min(*pos, content - client);
    *delta = GetScrollPos(window, bar) - *pos;
    si.nMax = content - 1;
    si.nPage = UINT(client);
    si.nPos = *pos;
  } else {
    *page = 0;
    *pos = 0;
    *delta = GetScrollPos(window, bar);
  }
  SetScrollInfo(window, bar, &si, TRUE);
}
