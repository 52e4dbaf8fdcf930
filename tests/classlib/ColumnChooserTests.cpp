// The column chooser run modally on a real table: scripted steps from a same-thread timer inside its modal
// loop (idle passes between steps, as a user's pauses give), driven with the messages the list and the
// buttons send, observed through the chooser's rows and controls, the table's header and the owner's
// notifications.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ColumnChooser.h"
#include "Core.h"
#include "Document.h"
#include "Strings.h"
#include "TableCtrl.h"
#include "Wnd.h"
#include "classlib/ModalStep.h"
#include "classlib/ObjectWindowClass.h"

namespace {

// The test program as the application: a settings document for the Apply batch, a stored chooser column
// set and a record of the window-slot exchanges.
class CChooserTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
  CDocument* GetSettingsDocument() override { return &document; }
  bool ExchangeWindowPos(bool save, HWND, int slot, int) override {
    exchanges.push_back((save ? 100 : 0) + slot);
    return true;
  }
  bool GetChooserColumns(COLUMN_SET& out) override {
    if (chooserColumns.empty()) return false;
    out = chooserColumns;
    return true;
  }
  void StoreChooserColumns(const COLUMN_SET& columns) override {
    chooserColumns = columns;
    ++chooserStores;
  }

  CDocument document;
  std::vector<int> exchanges;
  COLUMN_SET chooserColumns;
  int chooserStores = 0;
};

CChooserTestApp theApp;

const wchar_t kOwnerClass[] = L"ColumnChooserTestsOwner";
const UINT kTableId = 200;

// Titles with known English texts: Left, Right, Center, Name.
const UINT kTitles[] = {406, 407, 408, 511};

struct Change {
  int what;
  int column;
  int depth;  // the document's batch depth when it arrived
};

// The table's owner: records the column changes, answers resets with its own defaults.
class COwnerWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_NOTIFY) {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->idFrom == kTableId && header->code == TBLN_COLUMNSCHANGED) {
        auto* info = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
        changes.push_back({info->what, info->column, theApp.document.GetDepth()});
        return 0;
      }
      if (header->idFrom == kTableId && header->code == TBLN_RESETCOLUMNS) {
        auto* reset = reinterpret_cast<_TBLN_RESET_INFO*>(header);
        resetNoConfirm.push_back(reset->noConfirm);
        if (!offerReset) return 0;
        if (reset->columns) {
          for (size_t i = 0; i < reset->columns->size(); ++i) {
            (*reset->columns)[i].order = int(reset->columns->size() - 1 - i);
            (*reset->columns)[i].flags = COLUMN_VISIBLE;
            (*reset->columns)[i].align = 0;
          }
        }
        return 1;
      }
    }
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }

  std::vector<Change> changes;
  std::vector<bool> resetNoConfirm;
  bool offerReset = true;
};

// Runs the steps one after another, each from its own timer, so that the loop idles between them.
void RunSteps(std::shared_ptr<std::vector<std::function<void()>>> steps, size_t index = 0) {
  if (index >= steps->size()) return;
  RunLater(
      [steps, index] {
        (*steps)[index]();
        RunSteps(steps, index + 1);
      },
      30);
}

// ---- Observing the chooser ----

HWND ListOf(CColumnListDialog& dialog) { return dialog.list.hwnd; }

std::wstring CellText(HWND list, int row, int subItem) {
  wchar_t buffer[128] = L"";
  LVITEMW item{};
  item.iSubItem = subItem;
  item.pszText = buffer;
  item.cchTextMax = 128;
  SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(row), LPARAM(&item));
  return buffer;
}

int CellImage(HWND list, int row, int subItem) {
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  item.iSubItem = subItem;
  item.iImage = -7;
  SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&item));
  return item.iImage;
}

// The chooser's rows by the Name column.
std::vector<std::wstring> RowNames(CColumnListDialog& dialog) {
  std::vector<std::wstring> names;
  const int column = dialog.list.GetHeaderIndex(CHOOSER_COL_NAME);
  const int count = int(SendMessageW(ListOf(dialog), LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) names.push_back(CellText(ListOf(dialog), row, column));
  return names;
}

std::vector<std::wstring> RowAligns(CColumnListDialog& dialog) {
  std::vector<std::wstring> aligns;
  const int column = dialog.list.GetHeaderIndex(CHOOSER_COL_ALIGN);
  const int count = int(SendMessageW(ListOf(dialog), LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) aligns.push_back(CellText(ListOf(dialog), row, column));
  return aligns;
}

std::vector<int> SelectedRows(HWND list) {
  std::vector<int> rows;
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) != -1;)
    rows.push_back(i);
  return rows;
}

void SelectRows(HWND list, const std::vector<int>& rows) {
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
  state.state = LVIS_SELECTED;
  for (int row : rows) SendMessageW(list, LVM_SETITEMSTATE, WPARAM(row), LPARAM(&state));
}

std::vector<std::wstring> ComboItems(HWND dialog) {
  HWND combo = GetDlgItem(dialog, IDC_CHOOSER_ALIGN);
  std::vector<std::wstring> items;
  const int count = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t buffer[64] = L"";
    SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), LPARAM(buffer));
    items.push_back(buffer);
  }
  return items;
}

std::wstring ComboSelection(HWND dialog) {
  HWND combo = GetDlgItem(dialog, IDC_CHOOSER_ALIGN);
  const int index = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  wchar_t buffer[64] = L"";
  if (index >= 0) SendMessageW(combo, CB_GETLBTEXT, WPARAM(index), LPARAM(buffer));
  return buffer;
}

LRESULT CheckState(HWND dialog, UINT id) { return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0); }
bool IsThreeState(HWND dialog, UINT id) {
  return (GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE) & BS_TYPEMASK) == BS_AUTO3STATE;
}
bool ApplyEnabled(HWND dialog) { return IsWindowEnabled(GetDlgItem(dialog, ID_CHOOSER_APPLY)) != FALSE; }

void Command(HWND dialog, UINT id, UINT code = BN_CLICKED) {
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, code), LPARAM(GetDlgItem(dialog, id)));
}

// A click on a title of the chooser's list, as the list view reports it to its parent.
void ClickTitle(CColumnListDialog& dialog, int kind) {
  NMLISTVIEW click{};
  click.hdr = {ListOf(dialog), IDC_CHOOSER_LIST, UINT(LVN_COLUMNCLICK)};
  click.iItem = -1;
  click.iSubItem = dialog.list.GetHeaderIndex(kind);
  SendMessageW(dialog.hwnd, WM_NOTIFY, IDC_CHOOSER_LIST, LPARAM(&click));
}

void Drop(CColumnListDialog& dialog, int row, bool after, bool cancelled = false) {
  _TBLN_DRAG_INFO drop{};
  drop.hdr = {ListOf(dialog), IDC_CHOOSER_LIST, TBLN_DROP};
  drop.row = row;
  drop.after = after;
  drop.cursor = cancelled ? 0 : 1;
  drop.cancelled = cancelled;
  SendMessageW(dialog.hwnd, WM_NOTIFY, IDC_CHOOSER_LIST, LPARAM(&drop));
}

void PressKey(CColumnListDialog& dialog, WORD key) {
  NMLVKEYDOWN down{};
  down.hdr = {ListOf(dialog), IDC_CHOOSER_LIST, UINT(LVN_KEYDOWN)};
  down.wVKey = key;
  SendMessageW(dialog.hwnd, WM_NOTIFY, IDC_CHOOSER_LIST, LPARAM(&down));
}

// The table's header titles in display order.
std::vector<std::wstring> HeaderTitles(HWND table) {
  HWND header = HWND(SendMessageW(table, LVM_GETHEADER, 0, 0));
  const int count = int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  std::vector<int> order(size_t(std::max(count, 0)));
  if (count > 0) SendMessageW(header, HDM_GETORDERARRAY, WPARAM(count), LPARAM(order.data()));
  std::vector<std::wstring> titles;
  for (int index : order) {
    wchar_t buffer[64] = L"";
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = buffer;
    item.cchTextMax = 64;
    SendMessageW(header, HDM_GETITEMW, WPARAM(index), LPARAM(&item));
    titles.push_back(buffer);
  }
  return titles;
}

class ColumnChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    ASSERT_TRUE(RegisterObjectWindowClass(kOwnerClass));
    ASSERT_TRUE(
        owner.Create(0, kOwnerClass, L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 600, 400, nullptr, 0))
        << "no display: run the tests through the project's test command";
    ASSERT_TRUE(table.Create(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 10, 10,
                             560, 300, owner.hwnd, kTableId));
    theApp.exchanges.clear();
    theApp.chooserColumns.clear();
    theApp.chooserStores = 0;
  }

  // Columns Left, Right, Center, Name with the given orders, aligns and flags.
  void SetTable(const COLUMN_SET& set) {
    table.SetColumns(set, kTitles);
    table.UpdateColumns();
  }

  static COLUMN_SET Plain() {
    return {{80, 0, 0, COLUMN_VISIBLE},
            {80, 1, 1, COLUMN_VISIBLE},
            {80, 2, 2, COLUMN_VISIBLE},
            {80, 3, 0, COLUMN_VISIBLE}};
  }

  // Runs the chooser on the table with the steps; the last step must end it.
  int RunChooser(CColumnListDialog& dialog, std::vector<std::function<void()>> steps) {
    RunSteps(std::make_shared<std::vector<std::function<void()>>>(std::move(steps)));
    const int answer = dialog.DoModal(CColumnListDialog::kDialogId, owner.hwnd);
    g_step = nullptr;
    return answer;
  }

  COwnerWnd owner;
  CTableCtrl table;
};

// ---- Opening ----

struct OpenCase {
  const char* name;
  std::vector<int> orders;
  std::vector<std::wstring> rows;
};

TEST_F(ColumnChooserTest, OpeningShowsTheDisplayOrderOrRecordOrderForBrokenOrders) {
  const OpenCase cases[] = {
      {"a permutation is the display order", {2, 0, 3, 1}, {L"Right", L"Name", L"Left", L"Center"}},
      {"a repeated order falls back to record order", {3, 0, 3, 1}, {L"Left", L"Right", L"Center", L"Name"}},
      {"an order out of range falls back", {0, 1, 2, 9}, {L"Left", L"Right", L"Center", L"Name"}},
      {"a negative order falls back", {-1, 0, 1, 2}, {L"Left", L"Right", L"Center", L"Name"}},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    COLUMN_SET set = Plain();
    for (size_t i = 0; i < set.size(); ++i) set[i].order = c.orders[i];
    SetTable(set);
    CColumnListDialog dialog(&table);
    std::vector<std::wstring> rows;
    bool applyEnabled = true;
    const int answer = RunChooser(dialog, {[&] {
                                    rows = RowNames(dialog);
                                    applyEnabled = ApplyEnabled(dialog.hwnd);
                                    Command(dialog.hwnd, IDCANCEL);
                                  }});
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(rows, c.rows);
    EXPECT_FALSE(applyEnabled);
  }
  // Window slot 1 restored at opening and saved at closing, once per run.
  EXPECT_EQ(theApp.exchanges, std::vector<int>({1, 101, 1, 101, 1, 101, 1, 101}));
}

// ---- Shared properties of the selection ----

TEST_F(ColumnChooserTest, MixedSelectionShowsStarAndUndeterminedUntilAnAlignmentIsChosen) {
  COLUMN_SET set = Plain();
  set[0].flags = COLUMN_VISIBLE | COLUMN_AUTOSIZE;  // Left: left, auto size
  set[1].flags = COLUMN_VISIBLE;                    // Right: right-aligned, fixed
  SetTable(set);
  CColumnListDialog dialog(&table);
  std::vector<std::wstring> itemsMixed, itemsAfter, aligns;
  std::wstring selectedMixed, selectedAfter, name;
  LRESULT visible = -1, autoSize = -1;
  bool autoThreeState = false, visibleThreeState = true, applyEnabled = false;
  RunChooser(dialog, {[&] {
                        SelectRows(ListOf(dialog), {0, 1});
                      },
                      [&] {
                        itemsMixed = ComboItems(dialog.hwnd);
                        selectedMixed = ComboSelection(dialog.hwnd);
                        visible = CheckState(dialog.hwnd, IDC_CHOOSER_VISIBLE);
                        visibleThreeState = IsThreeState(dialog.hwnd, IDC_CHOOSER_VISIBLE);
                        autoSize = CheckState(dialog.hwnd, IDC_CHOOSER_AUTOSIZE);
                        autoThreeState = IsThreeState(dialog.hwnd, IDC_CHOOSER_AUTOSIZE);
                        name = [&] {
                          wchar_t buffer[32] = L"";
                          GetDlgItemTextW(dialog.hwnd, IDC_CHOOSER_NAME, buffer, 32);
                          return std::wstring(buffer);
                        }();
                        // "Right" is entry 2 behind the "*".
                        SendMessageW(GetDlgItem(dialog.hwnd, IDC_CHOOSER_ALIGN), CB_SETCURSEL, 2, 0);
                        Command(dialog.hwnd, IDC_CHOOSER_ALIGN, CBN_SELCHANGE);
                        itemsAfter = ComboItems(dialog.hwnd);
                        selectedAfter = ComboSelection(dialog.hwnd);
                        aligns = RowAligns(dialog);
                        applyEnabled = ApplyEnabled(dialog.hwnd);
                        Command(dialog.hwnd, IDOK);
                      }});
  EXPECT_EQ(itemsMixed, std::vector<std::wstring>({L"*", L"Left", L"Right", L"Center"}));
  EXPECT_EQ(selectedMixed, L"*");
  EXPECT_EQ(name, L"*");
  EXPECT_EQ(visible, BST_CHECKED);
  EXPECT_FALSE(visibleThreeState);
  EXPECT_EQ(autoSize, BST_INDETERMINATE);
  EXPECT_TRUE(autoThreeState);
  EXPECT_EQ(itemsAfter, std::vector<std::wstring>({L"Left", L"Right", L"Center"}));
  EXPECT_EQ(selectedAfter, L"Right");
  EXPECT_EQ(aligns, std::vector<std::wstring>({L"Right", L"Right", L"Center", L"Left"}));
  EXPECT_TRUE(applyEnabled);
  ASSERT_EQ(table.columns.size(), 4u);
  EXPECT_EQ(table.columns[0].align, 1);
  EXPECT_EQ(table.columns[1].align, 1);
  EXPECT_EQ(table.columns[0].flags & COLUMN_AUTOSIZE, COLUMN_AUTOSIZE)
      << "an undetermined box changed a column";
  EXPECT_EQ(table.columns[1].flags & COLUMN_AUTOSIZE, 0u);
}

TEST_F(ColumnChooserTest, CheckBoxesSetTheSharedValueAndIgnoreTheUndeterminedState) {
  COLUMN_SET set = Plain();
  set[2].flags = 0;  // Center hidden
  SetTable(set);
  CColumnListDialog dialog(&table);
  RunChooser(dialog, {[&] {
                        SelectRows(ListOf(dialog), {1, 2});
                      },
                      [&] {
                        // Undetermined: a click that leaves it so changes nothing.
                        HWND box = GetDlgItem(dialog.hwnd, IDC_CHOOSER_VISIBLE);
                        SendMessageW(box, BM_SETCHECK, BST_INDETERMINATE, 0);
                        Command(dialog.hwnd, IDC_CHOOSER_VISIBLE);
                        EXPECT_FALSE(ApplyEnabled(dialog.hwnd));
                        SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
                        Command(dialog.hwnd, IDC_CHOOSER_VISIBLE);
                        EXPECT_TRUE(ApplyEnabled(dialog.hwnd));
                        EXPECT_FALSE(IsThreeState(dialog.hwnd, IDC_CHOOSER_VISIBLE));
                        HWND autoBox = GetDlgItem(dialog.hwnd, IDC_CHOOSER_AUTOSIZE);
                        SendMessageW(autoBox, BM_SETCHECK, BST_CHECKED, 0);
                        Command(dialog.hwnd, IDC_CHOOSER_AUTOSIZE);
                        Command(dialog.hwnd, IDOK);
                      }});
  EXPECT_EQ(table.columns[0].flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE), UINT(COLUMN_VISIBLE));
  EXPECT_EQ(table.columns[1].flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE), UINT(COLUMN_AUTOSIZE));
  EXPECT_EQ(table.columns[2].flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE), UINT(COLUMN_AUTOSIZE));
  EXPECT_EQ(HeaderTitles(table.hwnd), std::vector<std::wstring>({L"Left", L"Name"}));
}

TEST_F(ColumnChooserTest, SpaceTogglesEachSelectedColumnOnItsOwn) {
  COLUMN_SET set = Plain();
  set[1].flags = 0;
  SetTable(set);
  CColumnListDialog dialog(&table);
  std::vector<int> images;
  RunChooser(dialog, {[&] {
                        SelectRows(ListOf(dialog), {0, 1});
                      },
                      [&] {
                        PressKey(dialog, VK_SPACE);
                        const int visibleColumn = dialog.list.GetHeaderIndex(CHOOSER_COL_VISIBLE);
                        for (int row = 0; row < 4; ++row)
                          images.push_back(CellImage(ListOf(dialog), row, visibleColumn));
                        Command(dialog.hwnd, IDOK);
                      }});
  EXPECT_EQ(images, std::vector<int>({0, 1, 1, 1}));
  EXPECT_EQ(HeaderTitles(table.hwnd), std::vector<std::wstring>({L"Right", L"Center", L"Name"}));
}

// ---- Moving rows ----

struct DropCase {
  const char* name;
  std::vector<int> selected;
  int row;
  bool after;
  bool cancelled;
  std::vector<std::wstring> rows;
  std::vector<int> selectedAfter;
  bool modified;
};

TEST_F(ColumnChooserTest, DroppingMovesTheSelectedRowsAsOneBlock) {
  const std::wstring l = L"Left", r = L"Right", c = L"Center", n = L"Name";
  const DropCase cases[] = {
      {"two apart to the top keep their order", {1, 3}, 0, false, false, {r, n, l, c}, {0, 1}, true},
      {"after the last row", {0, 2}, 3, true, false, {r, n, l, c}, {2, 3}, true},
      {"at the end of the list", {0}, kDropAtEnd, false, false, {r, c, n, l}, {3}, true},
      {"a block onto itself does nothing", {1, 2}, 1, true, false, {l, r, c, n}, {1, 2}, false},
      {"a block right after itself does nothing", {1, 2}, 3, false, false, {l, r, c, n}, {1, 2}, false},
      {"a cancelled drop does nothing", {1, 3}, 0, false, true, {l, r, c, n}, {1, 3}, false},
      {"no target does nothing", {1}, -1, false, false, {l, r, c, n}, {1}, false},
  };
  for (const DropCase& dc : cases) {
    SCOPED_TRACE(dc.name);
    SetTable(Plain());
    CColumnListDialog dialog(&table);
    std::vector<std::wstring> rows;
    std::vector<int> selected;
    bool applyEnabled = false;
    RunChooser(dialog, {[&] { SelectRows(ListOf(dialog), dc.selected); },
                        [&] { Drop(dialog, dc.row, dc.after, dc.cancelled); },
                        [&] {
                          rows = RowNames(dialog);
                          selected = SelectedRows(ListOf(dialog));
                          applyEnabled = ApplyEnabled(dialog.hwnd);
                          Command(dialog.hwnd, IDCANCEL);
                        }});
    EXPECT_EQ(rows, dc.rows);
    EXPECT_EQ(selected, dc.selectedAfter);
    EXPECT_EQ(applyEnabled, dc.modified);
  }
}

// ---- Sorting, OK, Apply and Cancel ----

TEST_F(ColumnChooserTest, OkAfterSortByNameDescendingGivesTheTableThatOrderInOneChange) {
  SetTable(Plain());
  owner.changes.clear();
  CColumnListDialog dialog(&table);
  std::vector<std::wstring> ascending, descending;
  int sortAfterClicks = 0;
  const int answer = RunChooser(dialog, {[&] {
                                  ClickTitle(dialog, CHOOSER_COL_NAME);
                                  ascending = RowNames(dialog);
                                  ClickTitle(dialog, CHOOSER_COL_NAME);
                                  descending = RowNames(dialog);
                                  sortAfterClicks = dialog.sort;
                                  Command(dialog.hwnd, IDOK);
                                }});
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(ascending, std::vector<std::wstring>({L"Center", L"Left", L"Name", L"Right"}));
  EXPECT_EQ(descending, std::vector<std::wstring>({L"Right", L"Name", L"Left", L"Center"}));
  EXPECT_EQ(sortAfterClicks, -(CHOOSER_COL_NAME + 1));
  EXPECT_EQ(HeaderTitles(table.hwnd), descending);
  ASSERT_EQ(owner.changes.size(), 1u);
  EXPECT_EQ(owner.changes[0].what, COLCHANGE_ALL);
  EXPECT_EQ(owner.changes[0].column, -1);
  EXPECT_EQ(owner.changes[0].depth, 1) << "Apply runs inside one settings-document batch";
}

TEST_F(ColumnChooserTest, SortIsStableAndAnEditOfTheSortedPropertyDropsTheArrow) {
  COLUMN_SET set = Plain();
  set[0].align = 2;  // Left centred, Right right, Center centred, Name left
  SetTable(set);
  CColumnListDialog dialog(&table);
  std::vector<std::wstring> byAlign, byAlignDescending;
  int sortAfterEdit = 99;
  RunChooser(dialog, {[&] {
                        ClickTitle(dialog, CHOOSER_COL_ALIGN);
                        byAlign = RowNames(dialog);
                        ClickTitle(dialog, CHOOSER_COL_ALIGN);
                        byAlignDescending = RowNames(dialog);
                        SelectRows(ListOf(dialog), {0});
                      },
                      [&] {
                        SendMessageW(GetDlgItem(dialog.hwnd, IDC_CHOOSER_ALIGN), CB_SETCURSEL, 0, 0);
                        Command(dialog.hwnd, IDC_CHOOSER_ALIGN, CBN_SELCHANGE);
                        sortAfterEdit = dialog.list.sort;
                        Command(dialog.hwnd, IDCANCEL);
                      }});
  EXPECT_EQ(byAlign, std::vector<std::wstring>({L"Name", L"Right", L"Left", L"Center"}));
  // Descending keeps equal rows in the order they had, as ascending does.
  EXPECT_EQ(byAlignDescending, std::vector<std::wstring>({L"Left", L"Center", L"Right", L"Name"}));
  EXPECT_EQ(sortAfterEdit, 0);
}

TEST_F(ColumnChooserTest, CancelAfterEditsSendsNothingAndApplySendsOnce) {
  SetTable(Plain());
  owner.changes.clear();
  const std::vector<_COLUMN_INFO> before = table.columns;
  {
    CColumnListDialog dialog(&table);
    const int answer = RunChooser(dialog, {[&] {
                                             SelectRows(ListOf(dialog), {0, 2});
                                           },
                                           [&] {
                                             PressKey(dialog, VK_SPACE);
                                             ClickTitle(dialog, CHOOSER_COL_NAME);
                                             Drop(dialog, 3, true);
                                             Command(dialog.hwnd, IDCANCEL);
                                           }});
    EXPECT_EQ(answer, IDCANCEL);
  }
  EXPECT_TRUE(owner.changes.empty());
  ASSERT_EQ(table.columns.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(table.columns[i].order, before[i].order);
    EXPECT_EQ(table.columns[i].flags, before[i].flags);
  }
  EXPECT_EQ(HeaderTitles(table.hwnd), std::vector<std::wstring>({L"Left", L"Right", L"Center", L"Name"}));

  // Apply hands over at once; OK with nothing new sends no second change.
  CColumnListDialog dialog(&table);
  bool enabledAfterApply = true;
  std::vector<std::wstring> headerAfterApply;
  RunChooser(dialog, {[&] { SelectRows(ListOf(dialog), {1}); },
                      [&] {
                        PressKey(dialog, VK_SPACE);
                        Command(dialog.hwnd, ID_CHOOSER_APPLY);
                        enabledAfterApply = ApplyEnabled(dialog.hwnd);
                        headerAfterApply = HeaderTitles(table.hwnd);
                        Command(dialog.hwnd, IDOK);
                      }});
  EXPECT_FALSE(enabledAfterApply);
  EXPECT_EQ(headerAfterApply, std::vector<std::wstring>({L"Left", L"Center", L"Name"}));
  EXPECT_EQ(owner.changes.size(), 1u);
}

TEST_F(ColumnChooserTest, ShowColumnDialogAnswersTrueOnlyForOk) {
  SetTable(Plain());
  for (UINT button : {UINT(IDOK), UINT(IDCANCEL)}) {
    SCOPED_TRACE(button);
    // Presses the button once the dialog shows (the modal loop shows it when its queue first runs empty).
    std::function<void()> press = [&press, button] {
      HWND dialog = nullptr;
      EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&dialog));
      if (!dialog) {
        RunLater(press, 30);
        return;
      }
      SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), LPARAM(GetDlgItem(dialog, button)));
    };
    RunLater(press, 30);
    EXPECT_EQ(table.ShowColumnDialog(), button == IDOK);
    g_step = nullptr;
  }
}

// ---- Default columns and nesting ----

TEST_F(ColumnChooserTest, DefaultColumnsAskTheOwnerWithoutConfirmation) {
  SetTable(Plain());
  owner.resetNoConfirm.clear();
  CColumnListDialog dialog(&table);
  std::vector<std::wstring> rows;
  RunChooser(dialog, {[&] {
               Command(dialog.hwnd, ID_CHOOSER_DEFAULT_COLUMNS);
               rows = RowNames(dialog);
               EXPECT_TRUE(ApplyEnabled(dialog.hwnd));
               Command(dialog.hwnd, IDOK);
             }});
  EXPECT_EQ(owner.resetNoConfirm, std::vector<bool>({true}));
  // The owner's defaults put the columns in reverse.
  EXPECT_EQ(rows, std::vector<std::wstring>({L"Name", L"Center", L"Right", L"Left"}));
  EXPECT_EQ(HeaderTitles(table.hwnd), rows);
}

TEST_F(ColumnChooserTest, AChooserOnTheChoosersOwnListResetsToFiveRowsAndNestsNoFurther) {
  SetTable(Plain());
  CColumnListDialog outer(&table);
  std::vector<std::wstring> innerRows, innerReset;
  UINT innerCustomize = 0, outerCustomize = MF_GRAYED;
  auto headerMenuState = [](CColumnListDialog& dialog) {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 32785, L"Customize columns...");
    _TBLN_MENU_INFO info{};
    info.hdr = {dialog.list.hwnd, IDC_CHOOSER_LIST, TBLN_HEADERMENU};
    info.menu = menu;
    SendMessageW(dialog.hwnd, WM_NOTIFY, IDC_CHOOSER_LIST, LPARAM(&info));
    const UINT state = GetMenuState(menu, 32785, MF_BYCOMMAND) & MF_GRAYED;
    DestroyMenu(menu);
    return state;
  };
  RunChooser(
      outer, {[&] {
        outerCustomize = headerMenuState(outer);
        CColumnListDialog inner(&outer.list);
        RunSteps(std::make_shared<std::vector<std::function<void()>>>(std::vector<std::function<void()>>{[&] {
          innerRows = RowNames(inner);
          innerCustomize = headerMenuState(inner);
          // Shuffle first, so that the reset has something to undo.
          ClickTitle(inner, CHOOSER_COL_NAME);
          Command(inner.hwnd, ID_CHOOSER_DEFAULT_COLUMNS);
          innerReset = RowNames(inner);
          Command(inner.hwnd, IDCANCEL);
        }}));
        inner.DoModal(CColumnListDialog::kDialogId, outer.hwnd);
        Command(outer.hwnd, IDCANCEL);
      }});
  const std::vector<std::wstring> five{L"Visible", L"#", L"Name", L"Align", L"Auto size"};
  EXPECT_EQ(innerRows, five);
  EXPECT_EQ(innerReset, five) << "the defaults' orders 1..5 must not show a column twice";
  EXPECT_EQ(outerCustomize, 0u);
  EXPECT_EQ(innerCustomize, UINT(MF_GRAYED));
}

TEST_F(ColumnChooserTest, TheChoosersOwnColumnsComeFromAndGoToTheApplication) {
  SetTable(Plain());
  // Stored: Name first, "#" hidden.
  theApp.chooserColumns = {{20, 1, 0, COLUMN_VISIBLE},
                           {35, 2, 0, 0},
                           {70, 0, 0, COLUMN_VISIBLE},
                           {95, 3, 0, COLUMN_VISIBLE},
                           {20, 4, 2, COLUMN_VISIBLE}};
  CColumnListDialog dialog(&table);
  std::vector<std::wstring> titles;
  RunChooser(dialog, {[&] {
               titles = HeaderTitles(dialog.list.hwnd);
               // The list's own header command hides "Visible" (record 0).
               SendMessageW(dialog.list.hwnd, WM_COMMAND, MAKEWPARAM(35000, 0), 0);
               Command(dialog.hwnd, IDCANCEL);
             }});
  EXPECT_EQ(titles, std::vector<std::wstring>({L"Name", L"Visible", L"Align", L"Auto size"}));
  EXPECT_EQ(theApp.chooserStores, 1);
  ASSERT_EQ(theApp.chooserColumns.size(), 5u);
  EXPECT_EQ(theApp.chooserColumns[0].flags & COLUMN_VISIBLE, 0u);
}

}  // namespace
