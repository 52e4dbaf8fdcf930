// The table control driven with real messages through its parent: column layouts from stored sets
// (auto-size shares, order arrays both ways), sort requests and arrows, header tips, row colours, the header
// menu and its commands, coalesced re-reads, row drag and drop with auto-scroll, and the provider's listener.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Controls.h"
#include "Core.h"
#include "TableCtrl.h"
#include "Wnd.h"
#include "classlib/ModalStep.h"
#include "classlib/ObjectWindowClass.h"

namespace {

// The application's answers the table asks for, scripted.
class CTableTestApp : public CWindowTestApp {
 public:
  bool GetNoSortHeader() override { return noSortHeader; }
  bool GetTableGrid() override { return tableGrid; }
  void ToggleNoSortHeader() override { ++toggles; }
  COLORREF GetHighlightColor(bool text) override { return text ? RGB(255, 255, 0) : kHighlight; }

  static constexpr COLORREF kHighlight = RGB(10, 120, 200);
  bool noSortHeader = false;
  bool tableGrid = false;
  int toggles = 0;
};

CTableTestApp theApp;

const wchar_t kParentClass[] = L"TableCtrlTestsParent";
constexpr UINT kTableId = 100;
constexpr int kListWidth = 800;
// Column titles: strings the configurator's resources hold.
const UINT kTitles[] = {102, 172, 102, 172, 102, 172};

// One TBLN_* notification as the owner saw it.
struct Note {
  UINT code;
  int row = 0;
  bool after = false;
  bool onItem = false;
  int cursor = 0;
  bool cancelled = false;
  int what = 0;
  int column = 0;
  int sort = 0;
  bool noConfirm = false;
  bool withVector = false;
};

class CRowsData : public CVirtualListViewData {
 public:
  int GetItemCount() override { return count; }
  void GetDispInfo(NMLVDISPINFOW* info) override {
    if (!(info->item.mask & LVIF_TEXT)) return;
    m_text = info->item.iSubItem == 0 ? L"Row " + std::to_wstring(info->item.iItem) : L"";
    info->item.pszText = m_text.data();
  }
  void OnCacheHint(int, int) override {}

  int count = 0;

 private:
  std::wstring m_text;
};

// The table's owner: records the notifications and answers them as the test scripts.
class COwnerWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_COMMAND && HWND(lParam) == table->hwnd) {
      commands.push_back(LOWORD(wParam));
      return 0;
    }
    if (message != WM_NOTIFY) return CWnd::WindowProc(wnd, message, wParam, lParam);
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (header->hwndFrom != table->hwnd) return CWnd::WindowProc(wnd, message, wParam, lParam);
    if (header->code == LVN_GETDISPINFOW) {
      rows->GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
      return 0;
    }
    if (header->code < TBLN_BEGINDRAG || header->code > TBLN_RESETCOLUMNS)
      return CWnd::WindowProc(wnd, message, wParam, lParam);
    EXPECT_EQ(header->idFrom, kTableId);
    Note note{header->code};
    switch (header->code) {
      case TBLN_BEGINDRAG:
      case TBLN_DRAGOVER:
      case TBLN_DROP: {
        auto* info = reinterpret_cast<_TBLN_DRAG_INFO*>(lParam);
        note.row = info->row;
        note.after = info->after;
        note.onItem = info->onItem;
        note.cursor = info->cursor;
        note.cancelled = info->cancelled;
        notes.push_back(note);
        if (header->code == TBLN_DROP) return 0;
        if (dragAnswer) return dragAnswer(info);
        return 1;
      }
      case TBLN_SORT: {
        note.sort = reinterpret_cast<_TBLN_SORT_INFO*>(lParam)->sort;
        notes.push_back(note);
        table->SetSort(note.sort);
        return 1;
      }
      case TBLN_HEADERMENU:
        menu = reinterpret_cast<_TBLN_MENU_INFO*>(lParam)->menu;
        notes.push_back(note);
        return 0;
      case TBLN_COLUMNSCHANGED: {
        auto* info = reinterpret_cast<_TBLN_COLUMNS_INFO*>(lParam);
        note.what = info->what;
        note.column = info->column;
        notes.push_back(note);
        return 0;
      }
      case TBLN_RESETCOLUMNS: {
        auto* info = reinterpret_cast<_TBLN_RESET_INFO*>(lParam);
        note.noConfirm = info->noConfirm;
        note.withVector = info->columns != nullptr;
        notes.push_back(note);
        if (info->columns && resetTo) *info->columns = *resetTo;
        return resetOffered ? 1 : 0;
      }
      default:
        return 0;
    }
  }

  std::vector<Note> Take(UINT code) {
    std::vector<Note> found;
    for (const Note& note : notes)
      if (note.code == code) found.push_back(note);
    return found;
  }

  CTableCtrl* table = nullptr;
  CRowsData* rows = nullptr;
  std::vector<Note> notes;
  std::vector<UINT> commands;
  std::function<LRESULT(_TBLN_DRAG_INFO*)> dragAnswer;
  bool resetOffered = true;
  const std::vector<_COLUMN_INFO>* resetTo = nullptr;
  HMENU menu = nullptr;
};

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

struct Col {
  int width;
  UINT flags;
  int order = 0;
  int align = 0;
};
constexpr UINT V = COLUMN_VISIBLE;
constexpr UINT VA = COLUMN_VISIBLE | COLUMN_AUTOSIZE;

// The table with a count of the width re-reads (WM_USER + 1) it handled.
class CCountingTable : public CTableCtrl {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_USER + 1) ++reReads;
    return CTableCtrl::WindowProc(wnd, message, wParam, lParam);
  }
  int reReads = 0;
};

class TableCtrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    theApp.noSortHeader = false;
    theApp.toggles = 0;
    ASSERT_TRUE(RegisterObjectWindowClass(kParentClass));
    ASSERT_TRUE(owner.Create(0, kParentClass, L"Owner", WS_POPUP | WS_VISIBLE, 0, 0, 1000, 700, nullptr, 0))
        << "no display: run the tests through the project's test command";
    owner.table = &table;
    owner.rows = &rows;
  }
  void TearDown() override { Pump(); }

 public:  // the scripted endings of the drag tests reach these
  // An owner-data report list of exactly kListWidth client pixels (no border) with `count` rows.
  void MakeTable(const std::vector<Col>& cols, int count = 0, int height = 300, DWORD extra = 0) {
    rows.count = count;
    ASSERT_TRUE(table.Create(0, WC_LISTVIEWW, L"",
                             WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | extra,
                             0, 0, kListWidth, height, owner.hwnd, kTableId));
    SendMessageW(table.hwnd, LVM_SETITEMCOUNT, count, 0);
    COLUMN_SET set;
    for (const Col& c : cols) set.push_back({c.width, c.order, c.align, c.flags});
    table.SetColumns(set, kTitles);
    table.UpdateColumns();
  }

  std::vector<int> ListWidths() {
    std::vector<int> widths;
    for (size_t h = 0; h < table.visibleColumns.size(); ++h)
      widths.push_back(int(SendMessageW(table.hwnd, LVM_GETCOLUMNWIDTH, h, 0)));
    return widths;
  }

  HWND Header() { return HWND(SendMessageW(table.hwnd, LVM_GETHEADER, 0, 0)); }

  void SendHeaderNotify(UINT code, int item, HDITEMW* hd = nullptr) {
    NMHEADERW nm{};
    nm.hdr.hwndFrom = Header();
    nm.hdr.idFrom = 0;
    nm.hdr.code = code;
    nm.iItem = item;
    nm.pitem = hd;
    SendMessageW(table.hwnd, WM_NOTIFY, 0, LPARAM(&nm));
  }

  RECT RowRect(int row) {
    RECT rect{};
    rect.left = LVIR_BOUNDS;
    SendMessageW(table.hwnd, LVM_GETITEMRECT, row, LPARAM(&rect));
    return rect;
  }

  COwnerWnd owner;
  CCountingTable table;
  CRowsData rows;
};

// --- column layout ---

TEST_F(TableCtrlTest, AutoSizeSharesTheFreeWidth) {
  struct Case {
    const char* name;
    std::vector<Col> cols;
    std::vector<int> widths;  // of the list-view columns
  } cases[] = {
      {"two zero shares split evenly", {{0, VA}, {0, VA}}, {400, 400}},
      {"shares 100:300", {{100, VA}, {300, VA}}, {200, 600}},
      {"a tiny share is widened to 10", {{1, VA}, {1000, VA}}, {10, 799}},
      {"a zero share next to a share gets the share sum", {{0, VA}, {100, VA}}, {100, 800}},
      {"a negative share counts as zero", {{-100, VA}, {300, VA}}, {300, 800}},
      {"negative shares only: equal shares", {{-50, VA}, {-50, VA}}, {400, 400}},
      {"a fixed column takes its width first", {{200, V}, {0, VA}, {0, VA}}, {200, 300, 300}},
      {"fixed wider than the list: no negative widths", {{1000, V}, {0, VA}, {0, VA}}, {1000, 10, 10}},
      {"fixed wider than the list with shares", {{1000, V}, {100, VA}, {300, VA}}, {1000, 10, 10}},
      {"shares that overflow 32 bits", {{2000000000, VA}, {2000000000, VA}}, {400, 400}},
      {"a hidden auto-size column takes nothing", {{0, VA}, {0, COLUMN_AUTOSIZE}, {100, V}}, {700, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeTable(c.cols);
    RECT client{};
    GetClientRect(table.hwnd, &client);
    ASSERT_EQ(client.right, kListWidth);
    EXPECT_EQ(ListWidths(), c.widths);
    table.Destroy();
  }
}

TEST_F(TableCtrlTest, ColumnsFollowTheRecordsAndTheirAlignment) {
  MakeTable({{50, V, 0, 1}, {60, 0, 1, 0}, {70, V, 2, 2}, {5, V, 3, 0}});
  EXPECT_EQ(table.visibleColumns, (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(ListWidths(), (std::vector<int>{50, 70, 10}));
  // The first column right-aligned: the throw-away first column makes that possible.
  const int formats[] = {LVCFMT_RIGHT, LVCFMT_CENTER, LVCFMT_LEFT};
  for (int h = 0; h < 3; ++h) {
    LVCOLUMNW column{};
    column.mask = LVCF_FMT;
    ASSERT_TRUE(SendMessageW(table.hwnd, LVM_GETCOLUMNW, h, LPARAM(&column)));
    EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, formats[h]) << "column " << h;
  }
  const int headerIndex[] = {0, -1, 1, 2, -1, -1};
  for (int r = -1; r < 5; ++r)
    EXPECT_EQ(table.GetHeaderIndex(r), r < 0 ? -1 : headerIndex[r]) << "record " << r;
}

TEST_F(TableCtrlTest, OrderValuesGoBothWays) {
  // Records 0, 1, 3 shown with orders 5, 2, 9; record 2 hidden with 7.
  MakeTable({{50, V, 5}, {50, V, 2}, {50, 0, 7}, {50, V, 9}});
  std::vector<int> display(3);
  ASSERT_TRUE(SendMessageW(table.hwnd, LVM_GETCOLUMNORDERARRAY, 3, LPARAM(display.data())));
  EXPECT_EQ(display, (std::vector<int>{1, 0, 2}));

  // The user drags the last title to the front: the header tells first, then changes its order.
  HDITEMW hd{};
  SendHeaderNotify(HDN_ENDDRAG, 2, &hd);
  int dragged[] = {2, 1, 0};
  ASSERT_TRUE(SendMessageW(table.hwnd, LVM_SETCOLUMNORDERARRAY, 3, LPARAM(dragged)));
  SendHeaderNotify(HDN_ENDDRAG, 2, &hd);  // a second one in the same burst
  Pump();
  const int orders[] = {9, 5, 7, 2};
  for (int r = 0; r < 4; ++r) EXPECT_EQ(table.columns[size_t(r)].order, orders[r]) << "record " << r;
  auto changes = owner.Take(TBLN_COLUMNSCHANGED);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].what, COLCHANGE_ORDER);
  EXPECT_EQ(changes[0].column, -1);

  // Rebuilt from the records, the header shows the dragged order again.
  table.UpdateColumns();
  ASSERT_TRUE(SendMessageW(table.hwnd, LVM_GETCOLUMNORDERARRAY, 3, LPARAM(display.data())));
  EXPECT_EQ(display, (std::vector<int>{2, 1, 0}));
}

// --- sorting ---

TEST_F(TableCtrlTest, ClickingATitleAsksAscendingDescendingAscending) {
  MakeTable({{100, 0}, {100, V}, {100, V}});  // record 0 hidden: list-view column 1 is record 2
  HWND header = Header();
  RECT item{};
  ASSERT_TRUE(SendMessageW(header, HDM_GETITEMRECT, 1, LPARAM(&item)));
  const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
  for (int click = 0; click < 3; ++click) {
    SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(header, WM_LBUTTONUP, 0, at);
  }
  std::vector<int> asked;
  for (const Note& note : owner.Take(TBLN_SORT)) asked.push_back(note.sort);
  EXPECT_EQ(asked, (std::vector<int>{3, -3, 3}));
  int marked = -1;
  bool ascending = false;
  EXPECT_TRUE(table.GetSortMark(&marked, &ascending));
  EXPECT_EQ(marked, 1);
  EXPECT_TRUE(ascending);
}

TEST_F(TableCtrlTest, SortArrowFollowsItsColumn) {
  MakeTable({{100, V}, {100, V}, {100, V}});
  table.SetSort(-3);
  struct Step {
    const char* name;
    UINT command;  // 0: none
    int item;      // the arrow's header item, -1 none
  } steps[] = {
      {"descending on record 2", 0, 2},
      {"record 2 hidden: the arrow goes with it", CTableCtrl::kFirstColumnCommand + 2, -1},
      {"record 2 shown again: the arrow is back", CTableCtrl::kFirstColumnCommand + 2, 2},
      {"record 0 hidden: the arrow stays on record 2", CTableCtrl::kFirstColumnCommand + 0, 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.command) SendMessageW(table.hwnd, WM_COMMAND, step.command, 0);
    int marked = -1;
    bool ascending = true;
    EXPECT_EQ(table.GetSortMark(&marked, &ascending), step.item != -1);
    EXPECT_EQ(marked, step.item);
    if (step.item != -1) {
      EXPECT_FALSE(ascending);
    }
  }
  auto changes = owner.Take(TBLN_COLUMNSCHANGED);
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[1].what, COLCHANGE_VISIBLE);
  EXPECT_EQ(changes[1].column, 2);
  EXPECT_EQ(changes[2].column, 0);
  EXPECT_EQ(table.visibleColumns, (std::vector<int>{1, 2}));
  EXPECT_EQ(table.sort, -3);
}

TEST_F(TableCtrlTest, NoSortHeaderSwitchesBothStyles) {
  MakeTable({{100, V}});
  for (bool noSort : {true, true, false}) {
    table.SetNoSortHeader(noSort);
    EXPECT_EQ((GetWindowLongPtrW(table.hwnd, GWL_STYLE) & LVS_NOSORTHEADER) != 0, noSort);
    EXPECT_EQ((GetWindowLongPtrW(Header(), GWL_STYLE) & HDS_BUTTONS) != 0, !noSort);
  }
}

// --- header tips ---

TEST_F(TableCtrlTest, TipWhileTheTitleIsCutOff) {
  CToolTipCtrl tips;
  tips.hwnd = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP, 0, 0, 0, 0, owner.hwnd, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(tips.hwnd);
  MakeTable({{300, V}, {30, V}, {400, V}});
  std::wstring title;
  LoadStr(kTitles[1], title);
  SIZE extent{};
  {
    CClientDC dc(Header());
    HGDIOBJ old = SelectObject(dc.hdc, HGDIOBJ(SendMessageW(Header(), WM_GETFONT, 0, 0)));
    GetTextExtentPoint32W(dc.hdc, title.c_str(), int(title.size()), &extent);
    SelectObject(dc.hdc, old);
  }
  auto hasTip = [&](UINT_PTR id) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = Header();
    tool.uId = id;
    return SendMessageW(tips.hwnd, TTM_GETTOOLINFOW, 0, LPARAM(&tool)) != 0;
  };
  auto toolCount = [&] { return int(SendMessageW(tips.hwnd, TTM_GETTOOLCOUNT, 0, 0)); };
  struct Step {
    int width;  // of list-view column 1 (record 1), set behind the table's back and re-read
    bool tip;
  } steps[] = {{extent.cx + 11, true}, {extent.cx + 12, false}, {extent.cx - 5, true}};
  table.SetToolTip(&tips);
  EXPECT_TRUE(hasTip(2)) << "30 pixels cut the title off";
  for (const Step& step : steps) {
    SCOPED_TRACE(step.width - extent.cx);
    SendMessageW(table.hwnd, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(step.width, 0));
    SendMessageW(table.hwnd, WM_SIZE, 0, 0);
    Pump();
    EXPECT_EQ(hasTip(2), step.tip);
    EXPECT_FALSE(hasTip(1));
    EXPECT_FALSE(hasTip(3));
    EXPECT_EQ(toolCount(), step.tip ? 1 : 0);
  }
  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kFirstColumnCommand + 1, 0);
  EXPECT_EQ(toolCount(), 0) << "a hidden column has no tip";
  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kFirstColumnCommand + 1, 0);
  EXPECT_EQ(toolCount(), 1) << "shown again at its stored width";
  DestroyWindow(table.hwnd);  // as when its dialog goes
  EXPECT_EQ(toolCount(), 0) << "the table's tips go with it";
  EXPECT_TRUE(table.columns.empty());
  EXPECT_TRUE(table.visibleColumns.empty());
}

// --- colours ---

TEST_F(TableCtrlTest, OddRowsAndSelectedRowsColoured) {
  MakeTable({{100, V}, {300, V}}, 6, 300);
  SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  SendMessageW(table.hwnd, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(table.hwnd, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
  EXPECT_EQ(table.GetAltRowColor(), RGB(249, 249, 249));
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  state.state = LVIS_SELECTED;
  SendMessageW(table.hwnd, LVM_SETITEMSTATE, 4, LPARAM(&state));
  SetFocus(owner.hwnd);  // the list without the focus
  ASSERT_NE(GetFocus(), table.hwnd);

  // The row's colour in the middle of the second column (no text there), as the list paints itself.
  auto rowPixels = [&] {
    RECT client{};
    GetClientRect(table.hwnd, &client);
    HDC screen = GetDC(table.hwnd);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    SendMessageW(table.hwnd, WM_PRINTCLIENT, WPARAM(memory), PRF_CLIENT | PRF_ERASEBKGND);
    std::vector<COLORREF> colours;
    for (int row = 0; row < 6; ++row) {
      RECT r = RowRect(row);
      colours.push_back(GetPixel(memory, 300, (r.top + r.bottom) / 2));
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(table.hwnd, screen);
    return colours;
  };
  const COLORREF white = RGB(255, 255, 255), alt = RGB(249, 249, 249), high = CTableTestApp::kHighlight;
  struct Case {
    bool alternate;
    std::vector<COLORREF> colours;
  } cases[] = {
      {true, {white, alt, white, alt, high, alt}},
      {false, {white, white, white, white, high, white}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alternate);
    table.EnableAltRowColor(c.alternate);
    EXPECT_EQ(table.altRowColor, c.alternate ? alt : CLR_NONE);
    EXPECT_EQ(rowPixels(), c.colours);
  }
}

// --- header menu and commands ---

TEST_F(TableCtrlTest, HeaderMenuListsColumnsThenItsCommands) {
  MakeTable({{100, V}, {100, 0}, {100, V}});
  struct Item {
    UINT id;
    std::wstring text;
    bool checked;
    bool grayed;
  };
  struct Case {
    bool resetOffered;
    bool noSortHeader;
  } cases[] = {{true, false}, {false, true}};
  std::wstring t0, t1;
  LoadStr(kTitles[0], t0);
  LoadStr(kTitles[1], t1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resetOffered);
    owner.notes.clear();
    owner.resetOffered = c.resetOffered;
    theApp.noSortHeader = c.noSortHeader;
    std::vector<Item> seen;
    bool stepRan = false;
    RunLater(
        [&] {
          stepRan = true;
          const int count = GetMenuItemCount(owner.menu);
          for (int i = 0; i < count; ++i) {
            wchar_t text[128] = L"";
            MENUITEMINFOW info{};
            info.cbSize = sizeof info;
            info.fMask = MIIM_ID | MIIM_STATE | MIIM_STRING | MIIM_FTYPE;
            info.dwTypeData = text;
            info.cch = 128;
            GetMenuItemInfoW(owner.menu, UINT(i), TRUE, &info);
            const UINT id = (info.fType & MFT_SEPARATOR) ? 0 : info.wID;
            seen.push_back({id, text, (info.fState & MFS_CHECKED) != 0, (info.fState & MFS_GRAYED) != 0});
          }
          EndMenu();
        },
        100);
    NMHDR click{Header(), 0, UINT(NM_RCLICK)};
    SendMessageW(table.hwnd, WM_NOTIFY, 0, LPARAM(&click));
    ASSERT_TRUE(stepRan) << "the menu never opened";
    const std::vector<Item> expected = {
        {35000, t0, true, false},
        {35001, t1, false, false},
        {35002, t0, true, false},
        {0, L"", false, false},
        {32787, L"Don't sort by click by column", c.noSortHeader, false},
        {0, L"", false, false},
        {32786, L"A set of default columns", false, !c.resetOffered},
        {32785, L"Customize columns...", false, false},
    };
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(seen[i].id, expected[i].id);
      EXPECT_EQ(seen[i].checked, expected[i].checked);
      if (expected[i].id) {  // separators count as grayed on some systems
        EXPECT_EQ(seen[i].text, expected[i].text);
        EXPECT_EQ(seen[i].grayed, expected[i].grayed);
      }
    }
    // The reset was only asked about, without confirmation; the owner heard of the menu.
    auto resets = owner.Take(TBLN_RESETCOLUMNS);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_FALSE(resets[0].withVector);
    EXPECT_TRUE(resets[0].noConfirm);
    EXPECT_EQ(owner.Take(TBLN_HEADERMENU).size(), 1u);
  }
}

TEST_F(TableCtrlTest, HeaderCommands) {
  MakeTable({{100, V, 0}, {100, 0, 1}, {100, V, 2}});
  const std::vector<_COLUMN_INFO> defaults = {{1, 60, 1, 2, V}, {1, 70, 0, 0, V}, {1, 80, 0, 1, 0}};
  owner.resetTo = &defaults;

  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kNoSortHeaderCommand, 0);
  EXPECT_EQ(theApp.toggles, 1);

  owner.resetOffered = false;  // the owner refuses: nothing changes
  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kDefaultColumnsCommand, 0);
  EXPECT_EQ(table.visibleColumns, (std::vector<int>{0, 2}));
  EXPECT_TRUE(owner.Take(TBLN_COLUMNSCHANGED).empty());

  owner.resetOffered = true;
  owner.notes.clear();
  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kDefaultColumnsCommand, 0);
  auto resets = owner.Take(TBLN_RESETCOLUMNS);
  ASSERT_EQ(resets.size(), 1u);
  EXPECT_TRUE(resets[0].withVector);
  EXPECT_FALSE(resets[0].noConfirm) << "Shift is not held";
  EXPECT_EQ(table.visibleColumns, (std::vector<int>{0, 1}));
  EXPECT_EQ(ListWidths(), (std::vector<int>{60, 70}));
  std::vector<int> display(2);
  SendMessageW(table.hwnd, LVM_GETCOLUMNORDERARRAY, 2, LPARAM(display.data()));
  EXPECT_EQ(display, (std::vector<int>{1, 0}));
  auto changes = owner.Take(TBLN_COLUMNSCHANGED);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].what, COLCHANGE_ALL);
  EXPECT_EQ(changes[0].column, -1);

  // A command past the records and any other command go to the owner with the list as the control.
  SendMessageW(table.hwnd, WM_COMMAND, CTableCtrl::kFirstColumnCommand + 3, 0);
  SendMessageW(table.hwnd, WM_COMMAND, 4242, 0);
  EXPECT_EQ(owner.commands, (std::vector<UINT>{CTableCtrl::kFirstColumnCommand + 3, 4242}));
}

// --- re-reads ---

TEST_F(TableCtrlTest, WidthReReadsAreCoalesced) {
  struct Case {
    const char* name;
    std::vector<int> changed;  // list-view columns widened behind the table's back
    int column;                // of the one COLCHANGE_WIDTH
  } cases[] = {{"one fixed column", {1}, 2}, {"two fixed columns", {0, 1}, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeTable({{100, V}, {0, VA}, {120, V}});
    Pump();  // the re-read of its creation
    owner.notes.clear();
    // Narrower, so that no horizontal scroll bar comes and goes (its WM_SIZE would be a re-read of its own).
    for (int h : c.changed) SendMessageW(table.hwnd, LVM_SETCOLUMNWIDTH, h == 0 ? 0 : 2, MAKELPARAM(90, 0));
    table.reReads = 0;
    for (int i = 0; i < 3; ++i) SendMessageW(table.hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(kListWidth, 300));
    Pump();
    EXPECT_EQ(table.reReads, 1);
    auto changes = owner.Take(TBLN_COLUMNSCHANGED);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].what, COLCHANGE_WIDTH);
    EXPECT_EQ(changes[0].column, c.column);
    EXPECT_EQ(table.columns[2].width, 90);
    // The auto-size column took what the fixed ones left.
    EXPECT_EQ(ListWidths()[1], kListWidth - table.columns[0].width - 90);
    table.Destroy();
  }
}

TEST_F(TableCtrlTest, DividerDragStoresTheWidthAndResizesTheRest) {
  MakeTable({{100, V}, {0, VA}});
  HDITEMW hd{};
  hd.mask = HDI_WIDTH;
  hd.cxy = 250;
  SendHeaderNotify(HDN_BEGINTRACKW, 0, &hd);
  SendMessageW(table.hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(kListWidth, 300));  // no re-read while tracking
  SendHeaderNotify(HDN_ENDTRACKW, 0, &hd);
  EXPECT_EQ(table.columns[0].width, 250);
  EXPECT_EQ(ListWidths()[1], kListWidth - 250);
  SendMessageW(table.hwnd, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(250, 0));  // what the header does next
  Pump();
  auto changes = owner.Take(TBLN_COLUMNSCHANGED);
  ASSERT_EQ(changes.size(), 1u) << "the follow-up re-read finds nothing new";
  EXPECT_EQ(changes[0].what, COLCHANGE_WIDTH);
  EXPECT_EQ(changes[0].column, 0);
}

// --- row drag ---

class TableDragTest : public TableCtrlTest {
 public:  // the scripted endings below drive the fixture
  void Move(POINT pt) { SendMessageW(table.hwnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(pt.x, pt.y)); }
  void Release(POINT pt) { SendMessageW(table.hwnd, WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y)); }
  void Begin(POINT pt) {
    NMLISTVIEW nm{};
    nm.hdr = {table.hwnd, kTableId, UINT(LVN_BEGINDRAG)};
    nm.iItem = 0;
    nm.ptAction = pt;
    SendMessageW(owner.hwnd, WM_NOTIFY, kTableId, LPARAM(&nm));
  }
  POINT At(int row, double fraction) {
    RECT r = RowRect(row);
    return {50, r.top + int((r.bottom - r.top) * fraction)};
  }
};

TEST_F(TableDragTest, DragScriptsNotifyTheOwner) {
  MakeTable({{200, V}}, 5, 300);
  const RECT last = RowRect(4);
  Begin(At(1, 0.5));
  ASSERT_TRUE(table.drag);
  EXPECT_EQ(GetCapture(), table.hwnd);
  for (HCURSOR cursor : table.drag->cursors) EXPECT_TRUE(cursor) << "the drag cursors were copied";
  Move(At(3, 0.8));                   // lower quarter of row 3
  Move(At(3, 0.5));                   // its middle half
  owner.dragAnswer = [](_TBLN_DRAG_INFO*) { return LRESULT(0); };
  Move(At(2, 0.5));                   // answered 0: onItem forced off
  EXPECT_FALSE(table.drag->onItem);
  owner.dragAnswer = nullptr;
  Move({50, last.bottom + 20});       // below the last row, inside the list
  Release({50, last.bottom + 20});
  EXPECT_FALSE(table.drag);
  EXPECT_NE(GetCapture(), table.hwnd);
  struct Expected {
    UINT code;
    int row;
    bool after;
    bool onItem;
  } expected[] = {
      {TBLN_BEGINDRAG, 1, false, true},        {TBLN_DRAGOVER, 3, true, false},
      {TBLN_DRAGOVER, 3, false, true},         {TBLN_DRAGOVER, 2, false, true},
      {TBLN_DRAGOVER, INT_MAX, false, false},  {TBLN_DROP, INT_MAX, false, false},
  };
  ASSERT_EQ(owner.notes.size(), std::size(expected));
  for (size_t i = 0; i < owner.notes.size(); ++i) {
    SCOPED_TRACE(i);
    const Note& note = owner.notes[i];
    EXPECT_EQ(note.code, expected[i].code);
    EXPECT_EQ(note.row, expected[i].row);
    EXPECT_EQ(note.after, expected[i].after);
    EXPECT_EQ(note.onItem, expected[i].onItem);
    EXPECT_EQ(note.cursor, 1);
    EXPECT_FALSE(note.cancelled);
  }
}

TEST_F(TableDragTest, DropMarkDrawnAtTheTarget) {
  MakeTable({{300, V}}, 5, 300);
  UpdateWindow(table.hwnd);
  auto black = [&](int x, int y) {
    HDC dc = GetDC(table.hwnd);
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(table.hwnd, dc);
    return colour == RGB(0, 0, 0);
  };
  auto lineAt = [&](int y) { return black(200, y - 1) || black(200, y); };
  auto dotsAt = [&](int y) {
    int dots = 0;
    for (int x = 200; x < 240; ++x) dots += black(x, y) ? 1 : 0;
    return dots;
  };
  enum Mark { kLineAbove, kLineBelow, kBox };
  struct Case {
    const char* name;
    int row;
    double fraction;  // of the row's height; past 1 below the last row
    int markedRow;
    Mark mark;
  } cases[] = {
      {"lower quarter: a line under the row", 3, 0.9, 3, kLineBelow},
      {"upper quarter: a line over the row", 3, 0.1, 3, kLineAbove},
      {"middle half: a dotted box", 2, 0.5, 2, kBox},
      {"below the last row: a line under it", 4, 3.0, 4, kLineBelow},
  };
  Begin(At(0, 0.5));
  ASSERT_TRUE(table.drag);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Move(At(c.row, c.fraction));
    const RECT r = RowRect(c.markedRow);
    const int middle = (r.top + r.bottom) / 2;
    EXPECT_FALSE(black(200, middle));
    switch (c.mark) {
      case kLineAbove:
        EXPECT_TRUE(lineAt(r.top));
        EXPECT_FALSE(lineAt(r.bottom));
        break;
      case kLineBelow:
        EXPECT_TRUE(lineAt(r.bottom));
        EXPECT_FALSE(lineAt(r.top));
        break;
      case kBox: {
        const int dots = dotsAt(r.top);
        EXPECT_GT(dots, 5);
        EXPECT_LT(dots, 35) << "dotted, not solid";
        break;
      }
    }
  }
  Release(At(4, 3.0));
  const RECT last = RowRect(4);
  EXPECT_FALSE(lineAt(last.bottom)) << "the mark is erased at the end";
}

TEST_F(TableDragTest, DragEndings) {
  struct Case {
    const char* name;
    std::function<void(TableDragTest*)> end;
    bool dropSent;
    bool cancelled;
  } cases[] = {
      {"button up", [](TableDragTest* t) { t->Release(t->At(2, 0.5)); }, true, false},
      {"Escape", [](TableDragTest* t) { SendMessageW(t->table.hwnd, WM_KEYDOWN, VK_ESCAPE, 0); }, true, true},
      {"button up over cursor 0",
       [](TableDragTest* t) {
         t->owner.dragAnswer = [](_TBLN_DRAG_INFO* info) {
           info->cursor = 0;
           return LRESULT(1);
         };
         t->Move(t->At(3, 0.5));
         t->Release(t->At(3, 0.5));
       },
       true, true},
      {"capture taken", [](TableDragTest* t) { SetCapture(t->owner.hwnd); }, true, true},
      {"window destroyed", [](TableDragTest* t) { DestroyWindow(t->table.hwnd); }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    owner.notes.clear();
    owner.dragAnswer = nullptr;
    MakeTable({{200, V}}, 5, 300);
    Begin(At(1, 0.5));
    ASSERT_TRUE(table.drag);
    c.end(this);
    EXPECT_FALSE(table.drag);
    ReleaseCapture();
    auto drops = owner.Take(TBLN_DROP);
    ASSERT_EQ(drops.size(), c.dropSent ? 1u : 0u);
    if (c.dropSent) {
      EXPECT_EQ(drops[0].cancelled, c.cancelled);
    }
    if (table.hwnd) table.Destroy();
  }
}

TEST_F(TableDragTest, NoDragWithoutTheOwnersConsent) {
  MakeTable({{200, V}}, 5, 300);
  owner.dragAnswer = [](_TBLN_DRAG_INFO*) { return LRESULT(0); };
  Begin(At(1, 0.5));
  EXPECT_FALSE(table.drag);
  EXPECT_EQ(owner.notes.size(), 1u);
}

TEST_F(TableDragTest, AutoScrollIntervalsFromTheHitTest) {
  MakeTable({{200, V}}, 30, 200);
  RECT client{};
  GetClientRect(table.hwnd, &client);
  const int h = RowRect(0).bottom - RowRect(0).top;
  ASSERT_GT(h, 0);
  bool after = false, onItem = false;
  int interval = 0;
  struct Case {
    int dy;  // below the list's bottom
    int interval;
  } below[] = {{0, 250}, {h - 1, 250}, {h, 125}, {2 * h, 83}, {3 * h, 62}};
  for (const Case& c : below) {
    EXPECT_EQ(table.HitTestDrop({50, client.bottom + c.dy}, &after, &onItem, &interval), INT_MAX);
    EXPECT_EQ(interval, c.interval) << "dy " << c.dy;
  }
  EXPECT_EQ(table.HitTestDrop({50, client.bottom + 2 * h}, &after, &onItem, nullptr), INT_MAX);
  EXPECT_EQ(table.HitTestDrop({client.right + 5, client.bottom - 5}, &after, &onItem, &interval), -1);
  EXPECT_EQ(interval, 0) << "beside the list";
  EXPECT_EQ(table.HitTestDrop({50, -1}, &after, &onItem, &interval), 0);
  EXPECT_EQ(interval, 0) << "at the top already";

  // Pointer two rows below: the list scrolls to its end and the target becomes the end of the list.
  Begin(At(0, 0.5));
  ASSERT_TRUE(table.drag);
  Move({50, client.bottom + 2 * h});
  EXPECT_EQ(table.drag->scrollInterval, 83);
  const DWORD start = GetTickCount();
  while (table.drag->scrollInterval != 0 && GetTickCount() - start < 20000) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    Pump();
  }
  ASSERT_EQ(table.drag->scrollInterval, 0) << "the list never stopped";
  EXPECT_EQ(table.drag->row, INT_MAX);
  const int perPage = int(SendMessageW(table.hwnd, LVM_GETCOUNTPERPAGE, 0, 0));
  EXPECT_EQ(SendMessageW(table.hwnd, LVM_GETTOPINDEX, 0, 0), 30 - perPage);

  // Scrolled down, a pointer above the list asks to scroll up.
  RECT headerRect{};
  GetWindowRect(Header(), &headerRect);
  const int top = headerRect.bottom - headerRect.top;
  EXPECT_EQ(table.HitTestDrop({50, top - 1}, &after, &onItem, &interval), 0);
  EXPECT_EQ(interval, -250);
  EXPECT_EQ(table.HitTestDrop({50, top - h - 1}, &after, &onItem, &interval), 0);
  EXPECT_EQ(interval, -125);
  Release({50, 50});
}

// --- the provider's listener ---

struct ListenerLog {
  int calls = 0;
  CVirtualListViewData* data = nullptr;
  int event = -1;
  bool fail = false;
};

void Listen(void* owner, CVirtualListViewData* data, int event) {
  auto* log = static_cast<ListenerLog*>(owner);
  ++log->calls;
  log->data = data;
  log->event = event;
  if (log->fail) throw std::runtime_error("listener failed");
}

TEST(VirtualListViewData, FireEventReachesTheListenerAndStopsItsExceptions) {
  CRowsData rows;
  rows.FireEvent();  // no listener: nothing happens
  ListenerLog log;
  rows.owner = &log;
  rows.callback = &Listen;
  rows.FireEvent();
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.data, &rows);
  EXPECT_EQ(log.event, 0);
  log.fail = true;
  EXPECT_NO_THROW(rows.FireEvent());
  EXPECT_EQ(log.calls, 2);
}

// ---- The pages' shared helpers

TEST_F(TableCtrlTest, GridLinesFollowTheApplicationsOptionAndLeaveTheOtherStyles) {
  MakeTable({{100, V}}, 3);
  const DWORD others = LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP;
  SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, others, others);
  for (bool grid : {true, true, false, false, true}) {
    SCOPED_TRACE(grid);
    theApp.tableGrid = grid;
    ApplyGridLines(table.hwnd);
    const DWORD style = DWORD(SendMessageW(table.hwnd, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    EXPECT_EQ(style & LVS_EX_GRIDLINES, grid ? DWORD(LVS_EX_GRIDLINES) : 0u);
    EXPECT_EQ(style & others, others);
  }
  theApp.tableGrid = false;
}

TEST_F(TableCtrlTest, RowRefreshTakesTheProvidersCountAndKeepsTheFirstVisibleRow) {
  MakeTable({{100, V}}, 60, 200);
  table.SetTopIndex(20);
  ASSERT_EQ(SendMessageW(table.hwnd, LVM_GETTOPINDEX, 0, 0), 20);
  struct Case {
    int Count;
    int Top;
  } cases[] = {{80, 20}, {40, 20}, {3, 0}, {60, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Count);
    rows.count = c.Count;
    RefreshListRows(table, rows);
    EXPECT_EQ(SendMessageW(table.hwnd, LVM_GETITEMCOUNT, 0, 0), c.Count);
    EXPECT_EQ(SendMessageW(table.hwnd, LVM_GETTOPINDEX, 0, 0), c.Top);
  }
}

}  // namespace
