// The control wrappers driven with real messages: the list's own keys through the parent's reflection,
// Enter inside a dialog, selecting an item so it stands clear of the list's edge, scrolling to a top item,
// the edit's selection, removing tooltip tools, the resource holders and the hot-key texts.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Controls.h"
#include "Core.h"
#include "File.h"
#include "Wnd.h"
#include "classlib/ObjectWindowClass.h"

namespace {

CWindowTestApp theApp;

const wchar_t kParentClass[] = L"ControlsTestsParent";

// A top-level window object that records the commands it receives.
class CParentWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_COMMAND) commands.push_back(LOWORD(wParam));
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
  std::vector<UINT> commands;
};

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    ASSERT_TRUE(RegisterObjectWindowClass(kParentClass));
    ASSERT_TRUE(parent.Create(0, kParentClass, L"Parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 400,
                              nullptr, 0))
        << "no display: run the tests through the project's test command";
    GetKeyboardState(m_savedKeys);
  }
  void TearDown() override { SetKeyboardState(m_savedKeys); }

  // A report-view list of `count` rows "Row <n>", about `height` pixels tall.
  void MakeList(CListCtrl& list, int count, int height = 200) {
    ASSERT_TRUE(list.Create(0, WC_LISTVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, 10, 10, 300,
                            height, parent.hwnd, 100));
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = 200;
    column.pszText = const_cast<wchar_t*>(L"Name");
    SendMessageW(list.hwnd, LVM_INSERTCOLUMNW, 0, LPARAM(&column));
    for (int i = 0; i < count; ++i) {
      std::wstring text = L"Row " + std::to_wstring(i);
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = i;
      item.pszText = text.data();
      SendMessageW(list.hwnd, LVM_INSERTITEMW, 0, LPARAM(&item));
    }
  }

  // Holds exactly the given modifiers down for GetKeyState on this thread.
  void HoldModifiers(bool ctrl, bool shift, bool alt) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = ctrl ? 0x80 : 0;
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    keys[VK_MENU] = alt ? 0x80 : 0;
    ASSERT_TRUE(SetKeyboardState(keys));
  }

  CParentWnd parent;

 private:
  BYTE m_savedKeys[256]{};
};

std::vector<int> SelectedItems(HWND list) {
  std::vector<int> items;
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) != -1;) {
    items.push_back(i);
  }
  return items;
}

int FocusedItem(HWND list) { return int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED)); }
int TopIndex(HWND list) { return int(SendMessageW(list, LVM_GETTOPINDEX, 0, 0)); }
int CountPerPage(HWND list) { return int(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0)); }

void SelectOnly(HWND list, const std::vector<int>& items) {
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
  state.state = LVIS_SELECTED;
  for (int i : items) SendMessageW(list, LVM_SETITEMSTATE, WPARAM(i), LPARAM(&state));
}

// ---- List keys ----

struct ListKeyCase {
  const char* name;
  UINT key;
  bool ctrl, shift, alt;
  std::vector<int> selectedAfter;  // from rows 1 and 3 selected out of 0..4
};

TEST_F(ControlsTest, ListKeysSelectAllOrInvertOnlyWithTheirExactModifiers) {
  const std::vector<int> untouched{1, 3};
  const ListKeyCase cases[] = {
      {"Ctrl+A selects every row", 'A', true, false, false, {0, 1, 2, 3, 4}},
      {"Ctrl+Shift+A does nothing", 'A', true, true, false, untouched},
      {"Ctrl+Alt+A does nothing", 'A', true, false, true, untouched},
      {"A alone does nothing", 'A', false, false, false, untouched},
      {"pad * inverts each row", VK_MULTIPLY, false, false, false, {0, 2, 4}},
      {"Ctrl+pad * does nothing", VK_MULTIPLY, true, false, false, untouched},
      {"Shift+pad * does nothing", VK_MULTIPLY, false, true, false, untouched},
      {"Alt+pad * does nothing", VK_MULTIPLY, false, false, true, untouched},
  };
  CListCtrl list;
  MakeList(list, 5);
  for (const ListKeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    SelectOnly(list.hwnd, untouched);
    HoldModifiers(c.ctrl, c.shift, c.alt);
    // The list view tells its parent of the key (LVN_KEYDOWN); the parent reflects it to the list's object.
    SendMessageW(list.hwnd, WM_KEYDOWN, c.key, 0);
    HoldModifiers(false, false, false);
    EXPECT_EQ(SelectedItems(list.hwnd), c.selectedAfter);
  }
}

TEST_F(ControlsTest, EnterInADialogReachesTheListInsteadOfTheDefaultButton) {
  // A plain list view beside ours: the dialog manager turns Enter on it into IDOK.
  HWND plain = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT, 10, 220,
                               300, 100, parent.hwnd, HMENU(101), GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(plain);
  CListCtrl list;
  MakeList(list, 3);
  struct {
    HWND focus;
    bool expectOk;
  } const cases[] = {{list.hwnd, false}, {plain, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.focus == plain ? "plain list view" : "CListCtrl");
    parent.commands.clear();
    SetFocus(c.focus);
    MSG enter{c.focus, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(IsDialogMessageW(parent.hwnd, &enter));
    const bool gotOk =
        std::find(parent.commands.begin(), parent.commands.end(), UINT(IDOK)) != parent.commands.end();
    EXPECT_EQ(gotOk, c.expectOk);
  }
  MSG tab{list.hwnd, WM_KEYDOWN, VK_TAB, 0, 0, {}};
  EXPECT_EQ(SendMessageW(list.hwnd, WM_GETDLGCODE, VK_TAB, LPARAM(&tab)) & DLGC_WANTALLKEYS, 0)
      << "only Enter is claimed, Tab still moves the focus";
  DestroyWindow(plain);
}

// ---- SelectItem and SetTopIndex ----

TEST_F(ControlsTest, SelectItemLeavesOnlyThatItemSelectedAndClearOfTheEdge) {
  CListCtrl list;
  MakeList(list, 50);
  const int perPage = CountPerPage(list.hwnd);
  ASSERT_GE(perPage, 8) << "the list must show several rows";
  const int half = perPage / 2;
  const int count = 50;
  struct Case {
    const char* name;
    int startTop;
    int index;
    bool lastShown;  // the list ends at the bottom row
    int rowsBelow;   // rows shown under the item, -1: not checked
    int rowsAbove;   // rows shown over it, -1: not checked
  } const cases[] = {
      {"downward in the middle", 0, 20, false, half, -1},
      {"upward in the middle", 30, 32, false, -1, half - 1},
      {"target exactly the item count", 0, count - half, true, -1, -1},
      {"target past the item count", 0, count - 1, true, 0, -1},
      {"upward near the start: stops at row 0", 2, 3, false, -1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SendMessageW(list.hwnd, LVM_ENSUREVISIBLE, count - 1, FALSE);
    SendMessageW(list.hwnd, LVM_ENSUREVISIBLE, c.startTop, FALSE);
    ASSERT_EQ(TopIndex(list.hwnd), c.startTop);
    SelectOnly(list.hwnd, {1, 2});
    list.SelectItem(c.index);
    EXPECT_EQ(SelectedItems(list.hwnd), std::vector<int>{c.index});
    EXPECT_EQ(FocusedItem(list.hwnd), c.index);
    const int top = TopIndex(list.hwnd);
    const int bottom = top + perPage - 1;
    EXPECT_TRUE(top <= c.index && c.index <= bottom) << "top " << top << ", index " << c.index;
    if (c.lastShown) {
      EXPECT_EQ(bottom, count - 1);
    }
    if (c.rowsBelow >= 0) {
      EXPECT_EQ(bottom - c.index, c.rowsBelow);
    }
    if (c.rowsAbove >= 0) {
      EXPECT_EQ(c.index - top, c.rowsAbove);
    }
  }
}

TEST_F(ControlsTest, SelectNothingClearsSelectionAndFocusWithoutScrolling) {
  CListCtrl list;
  MakeList(list, 50);
  SendMessageW(list.hwnd, LVM_ENSUREVISIBLE, 49, FALSE);
  SendMessageW(list.hwnd, LVM_ENSUREVISIBLE, 20, FALSE);
  list.SelectItem(22);
  const int top = TopIndex(list.hwnd);
  list.SelectItem(-1);
  EXPECT_TRUE(SelectedItems(list.hwnd).empty());
  EXPECT_EQ(FocusedItem(list.hwnd), -1);
  EXPECT_EQ(TopIndex(list.hwnd), top);
}

TEST_F(ControlsTest, SetTopIndexScrollsWithinTheList) {
  CListCtrl empty;
  MakeList(empty, 0);
  EXPECT_TRUE(empty.SetTopIndex(5)) << "an empty list has nothing to scroll";
  EXPECT_EQ(TopIndex(empty.hwnd), 0);
  empty.Destroy();

  CListCtrl list;
  MakeList(list, 50);
  const int lastTop = 50 - CountPerPage(list.hwnd);
  struct {
    int index;
    int expectedTop;
  } const cases[] = {{20, 20}, {20, 20}, {3, 3}, {-5, 0}, {lastTop, lastTop}, {1000, lastTop}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_TRUE(list.SetTopIndex(c.index));
    EXPECT_EQ(TopIndex(list.hwnd), c.expectedTop);
  }
}

// ---- Edit, tooltip ----

TEST_F(ControlsTest, EditSetSelSelectsAndBringsTheCaretIntoView) {
  CEdit edit;
  ASSERT_TRUE(
      edit.Create(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 10, 10, 60, 24, parent.hwnd, 200));
  const std::wstring text(200, L'x');
  SetWindowTextW(edit.hwnd, text.c_str());
  struct {
    int start, end;
    bool scrolled;
  } const cases[] = {{3, 7, false}, {190, 200, true}, {0, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    edit.SetSel(c.start, c.end);
    DWORD start = 0, end = 0;
    SendMessageW(edit.hwnd, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    EXPECT_EQ(int(start), c.start);
    EXPECT_EQ(int(end), c.end);
    // A single-line edit answers the first character it shows.
    const int first = int(SendMessageW(edit.hwnd, EM_GETFIRSTVISIBLELINE, 0, 0));
    EXPECT_EQ(first > 0, c.scrolled) << "first shown " << first;
  }
}

TEST_F(ControlsTest, DelToolRemovesTheNamedToolOnly) {
  HWND button = CreateWindowExW(0, L"BUTTON", L"B", WS_CHILD | WS_VISIBLE, 10, 10, 60, 24, parent.hwnd,
                                HMENU(300), GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(button);
  struct {
    const char* name;
    HWND window;
    UINT_PTR id;
    bool keepsIdTool;  // the tool (parent, 7) survives
  } const cases[] = {{"tool by id", parent.hwnd, 7, false}, {"tool that is a window", button, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CToolTipCtrl tips;
    ASSERT_TRUE(
        tips.Create(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0, parent.hwnd, 0));
    TOOLINFOW byId{};
    byId.cbSize = sizeof byId;
    byId.hwnd = parent.hwnd;
    byId.uId = 7;
    byId.hinst = g_hResInstance;
    byId.lpszText = const_cast<wchar_t*>(L"by id");
    byId.rect = {0, 0, 50, 50};
    ASSERT_TRUE(SendMessageW(tips.hwnd, TTM_ADDTOOLW, 0, LPARAM(&byId)));
    TOOLINFOW byWindow = byId;
    byWindow.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    byWindow.uId = UINT_PTR(button);
    byWindow.lpszText = const_cast<wchar_t*>(L"by window");
    ASSERT_TRUE(SendMessageW(tips.hwnd, TTM_ADDTOOLW, 0, LPARAM(&byWindow)));
    ASSERT_EQ(SendMessageW(tips.hwnd, TTM_GETTOOLCOUNT, 0, 0), 2);

    tips.DelTool(c.window, c.id);
    EXPECT_EQ(SendMessageW(tips.hwnd, TTM_GETTOOLCOUNT, 0, 0), 1);
    TOOLINFOW probe{};
    probe.cbSize = sizeof probe;
    probe.hwnd = parent.hwnd;
    probe.uId = 7;
    EXPECT_EQ(SendMessageW(tips.hwnd, TTM_GETTOOLINFOW, 0, LPARAM(&probe)) != 0, c.keepsIdTool);
  }
  DestroyWindow(button);
}

// ---- Resource holders ----

TEST_F(ControlsTest, HoldersFreeTheirHandles) {
  HMENU menu = CreatePopupMenu();
  { CMenu holder(menu); }
  EXPECT_FALSE(IsMenu(menu));

  HDC memory = CreateCompatibleDC(nullptr);
  { CDC holder(memory); }
  EXPECT_EQ(GetObjectType(memory), 0u);

  HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR32, 1, 1);
  ASSERT_TRUE(images);
  {
    CImageList holder(images);
    EXPECT_EQ(ImageList_GetImageCount(holder.himl), 0);
  }

  {
    CClientDC dc(parent.hwnd);
    ASSERT_TRUE(dc.hdc);
    EXPECT_EQ(WindowFromDC(dc.hdc), parent.hwnd);
    EXPECT_EQ(dc.wnd, parent.hwnd);
  }
  EXPECT_THROW(CClientDC dc(HWND(UINT_PTR(0x7FFF0))), CResourceException);
}

// ---- Hot keys ----

TEST(HotKeyTextTest, ModifiersInTheirOrderThenTheKeyName) {
  std::wstring f5, f2, a;
  ASSERT_GT(GetKeyName(f5, VK_F5), 0);
  ASSERT_GT(GetKeyName(f2, VK_F2), 0);
  ASSERT_GT(GetKeyName(a, 'A'), 0);
  struct {
    WORD hotKey;
    std::wstring expected;
  } const cases[] = {
      {0x200 | 0x400 | VK_F5, L"Ctrl+Shift+" + f5},
      {0x100 | 'A', L"Alt+" + a},
      {0x800 | VK_F2, L"Win+" + f2},
      {0xF00 | VK_F2, L"Ctrl+Shift+Alt+Win+" + f2},
      {VK_F5, f5},
      {0x0700, L""},
      {0, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hotKey);
    std::wstring out = L"stale";
    EXPECT_EQ(GetHotKeyText(out, c.hotKey), int(c.expected.size()));
    EXPECT_EQ(out, c.expected);
  }
  EXPECT_EQ(f5, L"F5");
}

TEST(HotKeyTextTest, KeysTheLayoutCannotNameGetAFixedNameOrTheirCode) {
  std::wstring name;
  // 0xFF has no scan code in any layout.
  EXPECT_EQ(GetKeyName(name, 0xFF), 4);
  EXPECT_EQ(name, L"0xFF");
  // Only the low byte names the key.
  std::wstring high;
  GetKeyName(high, 0x1FF);
  EXPECT_EQ(high, L"0xFF");
}

}  // namespace
