// Layout of resizable pages and dialogs: controls anchored to the owner's edges, and a scroller for a
// page whose content is larger than its window. GUI thread only.
#pragma once

#include <windows.h>

#include <vector>

// One laid-out control; `rect` is its rectangle in the owner's client coordinates when captured.
struct _ANCHOR_INFO {
  int id;
  UINT flags;
  RECT rect;
  HWND hwnd;
};

enum : UINT {
  ANCHOR_LEFT = 0x1,    // the left edge stays
  ANCHOR_TOP = 0x2,     // the top edge stays
  ANCHOR_RIGHT = 0x4,   // the right edge follows the owner's right edge
  ANCHOR_BOTTOM = 0x8,  // the bottom edge follows the owner's bottom edge
  ANCHOR_REDRAW = 0x10  // moved without its old bits, so it is drawn afresh
};

// Keeps controls at their distances from the owner's edges. Add the controls, Capture once the owner
// has its designed size, then Resize on every WM_SIZE. A control with neither horizontal anchor keeps
// its captured horizontal place; likewise vertically.
class CAnchorLayout {
 public:
  explicit CAnchorLayout(HWND ownerWindow = nullptr) : owner(ownerWindow) {}

  void AddControl(int id, UINT flags);
  void AddWindow(HWND wnd, UINT flags);
  // Takes the owner's client rectangle and each control's rectangle in it.
  void Capture();
  // Moves the controls for a client area of width x height, scrolled by the owner's scroll positions.
  // With hdwp null the moves are deferred and ended here and the answer is null; otherwise they join
  // the caller's batch and the answer is the batch's handle to go on with (DeferWindowPos may move it),
  // null when the batch failed. Entries without a window are skipped.
  HDWP Resize(int width, int height, HDWP hdwp);

  HWND owner;
  std::vector<_ANCHOR_INFO> anchors;
  RECT clientRect{};
};

// Scrolls the content of `window` (its children and drawing) by its own scroll bars; the owning page
// sets the content size and calls UpdateScrollBars after every size change and OnVScroll on WM_VSCROLL.
class CPageScroller {
 public:
  // Lines move 60 pixels, pages by the visible height, thumb codes to the track position; the position
  // stays within the content, and nothing moves while the content fits.
  void OnVScroll(UINT code, int position, HWND scrollBar);
  // The vertical track position of `wnd`, or of `window` for null.
  int GetTrackPos(HWND wnd);
  // Sets both bars for the current client size and scrolls the content by the position changes; when
  // the content fits in a direction, that position returns to 0.
  void UpdateScrollBars();
  // One bar: `client` is the visible size as if no bar were shown. Updates *page and *pos and gives in
  // *delta how far the content must scroll (old position - new position).
  void SetScrollBar(int bar, int client, int content, int* page, int* pos, int* delta);

  HWND window = nullptr;
  int pageWidth = 0;
  int pageHeight = 0;
  int contentWidth = 0;
  int contentHeight = 0;
  int posX = 0;
  int posY = 0;
};
