// Layout driven with real windows: where anchored controls end up when their owner is resized (directly and
// through a real WM_SIZE), and how the page scroller moves a page's content and clamps its position.
#include <windows.h>

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "Core.h"
#include "Layout.h"
#include "Wnd.h"
#include "classlib/ObjectWindowClass.h"

namespace {

CWindowTestApp theApp;

const wchar_t kOwnerClass[] = L"LayoutTestsOwner";

// An owner that lays out its controls on every WM_SIZE, as a resizable page does.
class COwnerWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_SIZE && layout) layout->Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
  CAnchorLayout* layout = nullptr;
};

// The window's rectangle in its parent's client coordinates.
RECT PlaceOf(HWND wnd) {
  RECT r;
  GetWindowRect(wnd, &r);
  MapWindowPoints(nullptr, GetParent(wnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

::testing::AssertionResult SameRect(const RECT& actual, const RECT& expected) {
  if (EqualRect(&actual, &expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "at (" << actual.left << ", " << actual.top << ", " << actual.right << ", " << actual.bottom
         << "), expected (" << expected.left << ", " << expected.top << ", " << expected.right << ", "
         << expected.bottom << ")";
}

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterObjectWindowClass(kOwnerClass));
    // A child owner has no frame, so its client area is exactly the size given.
    ASSERT_TRUE(
        top.Create(0, kOwnerClass, L"Top", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 700, nullptr, 0))
        << "no display: run the tests through the project's test command";
    ASSERT_TRUE(owner.Create(0, kOwnerClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 300, 200, top.hwnd, 1));
  }

  HWND AddStatic(HWND parent, UINT id, const RECT& r) {
    return CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, r.left, r.top, r.right - r.left,
                           r.bottom - r.top, parent, HMENU(UINT_PTR(id)), GetModuleHandleW(nullptr), nullptr);
  }

  COwnerWnd top;
  COwnerWnd owner;
};

// ---- Anchors ----

struct AnchorCase {
  const char* name;
  UINT flags;
  RECT after;  // placed at (10, 20, 110, 50) in a 300 x 200 owner grown to 400 x 260
};

const AnchorCase kAnchorCases[] = {
    {"left and top stay", ANCHOR_LEFT | ANCHOR_TOP, {10, 20, 110, 50}},
    {"left and right widen", ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_TOP, {10, 20, 210, 50}},
    {"right only moves", ANCHOR_RIGHT | ANCHOR_TOP, {110, 20, 210, 50}},
    {"top and bottom grow in height", ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_BOTTOM, {10, 20, 110, 110}},
    {"bottom only moves down", ANCHOR_LEFT | ANCHOR_BOTTOM, {10, 80, 110, 110}},
    {"right and bottom move both ways", ANCHOR_RIGHT | ANCHOR_BOTTOM, {110, 80, 210, 110}},
    {"all four grow both ways", ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM, {10, 20, 210, 110}},
    {"no anchor keeps its place", 0, {10, 20, 110, 50}},
    {"redraw alone keeps its place", ANCHOR_REDRAW, {10, 20, 110, 50}},
    {"redraw with right and bottom", ANCHOR_RIGHT | ANCHOR_BOTTOM | ANCHOR_REDRAW, {110, 80, 210, 110}},
};

TEST_F(LayoutTest, AnchoredControlsFollowTheirEdges) {
  const RECT placed{10, 20, 110, 50};
  CAnchorLayout layout(owner.hwnd);
  std::vector<HWND> controls;
  for (size_t i = 0; i < std::size(kAnchorCases); ++i) {
    const UINT id = UINT(100 + i);
    controls.push_back(AddStatic(owner.hwnd, id, placed));
    ASSERT_TRUE(controls.back());
    // Half by id, half by window: both must lay out alike.
    if (i % 2) {
      layout.AddControl(int(id), kAnchorCases[i].flags);
    } else {
      layout.AddWindow(controls.back(), kAnchorCases[i].flags);
    }
  }
  layout.Capture();
  EXPECT_TRUE(layout.Resize(400, 260, nullptr) == nullptr);
  for (size_t i = 0; i < std::size(kAnchorCases); ++i) {
    SCOPED_TRACE(kAnchorCases[i].name);
    EXPECT_EQ(layout.anchors[i].id, int(100 + i));
    EXPECT_TRUE(SameRect(PlaceOf(controls[i]), kAnchorCases[i].after));
  }
  // Back to the captured size: everything is where it was designed.
  layout.Resize(300, 200, nullptr);
  for (size_t i = 0; i < std::size(kAnchorCases); ++i) {
    SCOPED_TRACE(kAnchorCases[i].name);
    EXPECT_TRUE(SameRect(PlaceOf(controls[i]), placed));
  }
}

TEST_F(LayoutTest, RealResizeOfTheOwnerMovesItsControls) {
  HWND list = AddStatic(owner.hwnd, 10, {10, 10, 290, 150});
  HWND ok = AddStatic(owner.hwnd, IDOK, {210, 160, 290, 190});
  HWND label = AddStatic(owner.hwnd, 11, {10, 160, 100, 190});
  CAnchorLayout layout(owner.hwnd);
  layout.AddControl(10, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDOK, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(11, ANCHOR_LEFT | ANCHOR_BOTTOM);
  layout.Capture();
  owner.layout = &layout;
  struct {
    int width, height;
    RECT list, ok, label;
  } const cases[] = {
      {500, 350, {10, 10, 490, 300}, {410, 310, 490, 340}, {10, 310, 100, 340}},
      {250, 180, {10, 10, 240, 130}, {160, 140, 240, 170}, {10, 140, 100, 170}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    ASSERT_TRUE(SetWindowPos(owner.hwnd, nullptr, 0, 0, c.width, c.height, SWP_NOMOVE | SWP_NOZORDER));
    EXPECT_TRUE(SameRect(PlaceOf(list), c.list));
    EXPECT_TRUE(SameRect(PlaceOf(ok), c.ok));
    EXPECT_TRUE(SameRect(PlaceOf(label), c.label));
  }
  owner.layout = nullptr;
}

TEST_F(LayoutTest, MissingControlDoesNotStopTheOthers) {
  HWND button = AddStatic(owner.hwnd, 20, {200, 150, 280, 180});
  CAnchorLayout layout(owner.hwnd);
  layout.AddControl(999, ANCHOR_RIGHT | ANCHOR_BOTTOM);  // no such control
  layout.AddControl(20, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();
  layout.Resize(350, 230, nullptr);
  EXPECT_TRUE(SameRect(PlaceOf(button), {250, 180, 330, 210}));
}

TEST_F(LayoutTest, CallersBatchGetsTheMovesAndItsHandleBack) {
  HWND button = AddStatic(owner.hwnd, 20, {200, 150, 280, 180});
  CAnchorLayout layout(owner.hwnd);
  layout.AddControl(20, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();
  HDWP batch = BeginDeferWindowPos(1);
  ASSERT_TRUE(batch);
  batch = layout.Resize(350, 230, batch);
  ASSERT_TRUE(batch);
  EXPECT_TRUE(SameRect(PlaceOf(button), {200, 150, 280, 180}))
      << "nothing moves before the caller ends the batch";
  EXPECT_TRUE(EndDeferWindowPos(batch));
  EXPECT_TRUE(SameRect(PlaceOf(button), {250, 180, 330, 210}));
}

TEST_F(LayoutTest, ScrolledOwnerPlacesControlsShiftedByItsPosition) {
  HWND button = AddStatic(owner.hwnd, 20, {200, 150, 280, 180});
  CAnchorLayout layout(owner.hwnd);
  layout.AddControl(20, ANCHOR_LEFT | ANCHOR_TOP);
  layout.Capture();
  SetWindowLongW(owner.hwnd, GWL_STYLE, GetWindowLongW(owner.hwnd, GWL_STYLE) | WS_VSCROLL | WS_HSCROLL);
  SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, 999, 100, 0, 0};
  si.nPos = 40;
  SetScrollInfo(owner.hwnd, SB_VERT, &si, FALSE);
  si.nPos = 15;
  SetScrollInfo(owner.hwnd, SB_HORZ, &si, FALSE);
  layout.Resize(300, 200, nullptr);
  EXPECT_TRUE(SameRect(PlaceOf(button), {185, 110, 265, 140}));
}

// ---- Page scroller ----

class PageScrollerTest : public LayoutTest {
 protected:
  void SetUp() override {
    LayoutTest::SetUp();
    ASSERT_TRUE(page.Create(0, kOwnerClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 200, kPageHeight, top.hwnd, 2));
    item = AddStatic(page.hwnd, 30, {10, kItemTop, 100, kItemTop + 20});
    scroller.window = page.hwnd;
    scroller.contentWidth = 100;
    scroller.contentHeight = kContentHeight;
    scroller.UpdateScrollBars();
  }

  // Checks the position everywhere a user sees it: the scroller, the bar, the content.
  void ExpectScrolledTo(int y) {
    EXPECT_EQ(scroller.posY, y);
    EXPECT_EQ(GetScrollPos(page.hwnd, SB_VERT), y);
    EXPECT_EQ(PlaceOf(item).top, kItemTop - y);
  }

  static constexpr int kPageHeight = 150;
  static constexpr int kContentHeight = 500;
  static constexpr int kItemTop = 260;
  static constexpr int kLimit = kContentHeight - kPageHeight;
  COwnerWnd page;
  HWND item = nullptr;
  CPageScroller scroller;
};

TEST_F(PageScrollerTest, TallContentGetsAVerticalBarOnly) {
  EXPECT_EQ(scroller.pageHeight, kPageHeight);
  EXPECT_EQ(scroller.pageWidth, 0) << "the content is narrower than the page";
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  ASSERT_TRUE(GetScrollInfo(page.hwnd, SB_VERT, &si));
  EXPECT_EQ(si.nMax, kContentHeight - 1);
  EXPECT_EQ(int(si.nPage), kPageHeight);
  ExpectScrolledTo(0);
}

TEST_F(PageScrollerTest, ScrollCodesMoveWithinTheContent) {
  struct {
    const char* name;
    std::vector<UINT> codes;
    int expected;
  } const cases[] = {
      {"line up at the start", {SB_LINEUP}, 0},
      {"one line", {SB_LINEDOWN}, 60},
      {"line down and back", {SB_LINEDOWN, SB_LINEUP}, 0},
      {"one page", {SB_PAGEDOWN}, kPageHeight},
      {"pages past the end", {SB_PAGEDOWN, SB_PAGEDOWN, SB_PAGEDOWN}, kLimit},
      {"a line near the end", {SB_PAGEDOWN, SB_PAGEDOWN, SB_LINEDOWN}, kLimit},
      {"page back from the end", {SB_PAGEDOWN, SB_PAGEDOWN, SB_PAGEDOWN, SB_PAGEUP}, kLimit - kPageHeight},
      {"page up past the start", {SB_LINEDOWN, SB_PAGEUP}, 0},
      {"thumb where it is", {SB_LINEDOWN, SB_THUMBTRACK}, 60},
      {"end of scrolling is no move", {SB_LINEDOWN, SB_ENDSCROLL}, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    while (scroller.posY > 0) scroller.OnVScroll(SB_PAGEUP, 0, nullptr);
    ExpectScrolledTo(0);
    for (UINT code : c.codes) scroller.OnVScroll(code, 0, nullptr);
    ExpectScrolledTo(c.expected);
  }
}

TEST_F(PageScrollerTest, GrowingUntilTheContentFitsScrollsItBackIntoPlace) {
  scroller.OnVScroll(SB_PAGEDOWN, 0, nullptr);
  ExpectScrolledTo(kPageHeight);
  ASSERT_TRUE(SetWindowPos(page.hwnd, nullptr, 0, 0, 200, kContentHeight + 50, SWP_NOMOVE | SWP_NOZORDER));
  scroller.UpdateScrollBars();
  EXPECT_EQ(scroller.pageHeight, 0);
  ExpectScrolledTo(0);
  // With nothing to scroll, a stray line-down (the wheel, the keyboard) leaves the content alone.
  scroller.OnVScroll(SB_LINEDOWN, 0, nullptr);
  ExpectScrolledTo(0);
}

TEST_F(PageScrollerTest, GrowingKeepsTheProportionalPositionWithinTheNewLimit) {
  scroller.OnVScroll(SB_LINEDOWN, 0, nullptr);
  scroller.OnVScroll(SB_LINEDOWN, 0, nullptr);
  ExpectScrolledTo(120);
  // 120 x 300 / 150 = 240, but a 300 pixel page of 500 scrolls 200 at most.
  ASSERT_TRUE(SetWindowPos(page.hwnd, nullptr, 0, 0, 200, 300, SWP_NOMOVE | SWP_NOZORDER));
  scroller.UpdateScrollBars();
  EXPECT_EQ(scroller.pageHeight, 300);
  ExpectScrolledTo(200);
}

TEST_F(PageScrollerTest, NoWindowNoScrolling) {
  CPageScroller idle;
  idle.contentHeight = 1000;
  idle.pageHeight = 100;
  idle.OnVScroll(SB_LINEDOWN, 0, nullptr);
  idle.UpdateScrollBars();
  EXPECT_EQ(idle.posY, 0);
  EXPECT_EQ(idle.pageHeight, 100);
}

}  // namespace
