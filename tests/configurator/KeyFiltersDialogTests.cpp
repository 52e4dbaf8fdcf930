// The key filters dialog over a document fixture of five filters, made modeless so that a test drives it
// step by step: the panel a selection loads, the refused names and sizes, the three-state key types and
// their overlap colours, the list operations (moves, drops, Delete, Duplicate, Add, sorts, defaults), and
// what Apply, OK and Cancel leave in the document. Selection, texts and keys are real list-view and
// control messages; clicks and drops are synthetic notifications, because the mouse gestures behind them
// run modal loops of the list view's own. The idle pass of the modal loop is sent by hand.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "FileDialog.h"
#include "FormatsPage.h"
#include "KeyFiltersDialog.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "Strings.h"
#include "TableTestSupport.h"
#include "../classlib/ModalStep.h"

namespace {

CConfigVombraApp theApp;

// ---- Scripted questions.

struct BoxAnswer {
  int Button;
  BOOL DoNotAsk;
};
std::vector<std::wstring> g_boxes;
std::deque<BoxAnswer> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  g_boxes.push_back(config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"");
  BoxAnswer answer{IDOK, FALSE};
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer.Button;
  if (verified) *verified = answer.DoNotAsk;
  return S_OK;
}

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::wstring Format(UINT id, const wchar_t* name) {
  std::wstring text;
  LoadStrAppendFormat(text, id, name);
  return text;
}

constexpr UINT kHid = 1u << 2;
constexpr UINT kEm = 1u << 1;

// A: EM, any size, B: EM+HID size 4, C: HID size 4, D: all size 7, E: Mifare 1K hidden.
std::vector<_KEYFILTER_INFO> Fixture() {
  return {{1, L"A", kEm, 0, KEYFILTER_SHOW_TAB, 0},
          {2, L"B", kEm | kHid, 4, KEYFILTER_SHOW_TAB, 11},
          {3, L"C", kHid, 4, KEYFILTER_SHOW_TAB, 0},
          {4, L"D", 0x3FFFFF, 7, KEYFILTER_SHOW_TAB, 0},
          {5, L"E", 1u << 10, 0, 0, 0}};
}

// A view that counts deliveries and what the dialog's own slot held meanwhile.
struct RecordingView {
  int calls = 0;
  uint64_t hints = 0;
  int dialogView = -1;
  uint64_t dialogPending = 0;
  static void Callback(void* owner, CDocument* document, const uint64_t* bits) {
    auto* self = static_cast<RecordingView*>(owner);
    ++self->calls;
    self->hints |= *bits;
    const auto& views = document->GetViews();
    if (self->dialogView >= 0 && size_t(self->dialogView) < views.size())
      self->dialogPending |= views[size_t(self->dialogView)].pending;
  }
};

class KeyFiltersDialogTest : public ConfiguratorTest {
 public:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&classes);
    CAppSettings& settings = theApp.settings;
    settings.keyFilters = Fixture();
    settings.KeyFilterNewId = 6;
    settings.KeyFilterSortCol = 0;
    settings.fmtFilter = 0;
    settings.ConfirmFlags = CONFIRM_DEFAULT;
    settings.keyFiltersColumns = DefaultColumnSet(CS_KEY_FILTERS);
    for (_COLUMN_SETTINGS_INFO& column : settings.keyFiltersColumns) column.flags |= COLUMN_VISIBLE;
    settings.settingsModified = false;
    settings.configModified = false;
    MessageBoxSeam = CMessageBoxSeam();
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    g_boxes.clear();
    g_answers.clear();
  }
  void TearDown() override {
    m_dialog.reset();
    MessageBoxSeam = CMessageBoxSeam();
    FileDialogSeam = CFileDialogSeam();
    ConfiguratorTest::TearDown();
  }

  // Left hidden: hiding a shown top-level window costs Wine two seconds under a bare X server.
  CKeyFiltersDialog& Open() {
    m_dialog.reset(new CKeyFiltersDialog(theApp.settings));
    EXPECT_TRUE(CDialog::CreateFromTemplate(m_dialog.get(), IDD_KEY_FILTERS, nullptr));
    Idle();
    return *m_dialog;
  }

  HWND Item(UINT id) { return GetDlgItem(m_dialog->hwnd, int(id)); }
  HWND List() { return Item(IDC_KEY_FILTERS_LIST); }
  HWND Types() { return Item(IDC_KEY_FILTER_TYPES); }
  std::wstring Text(UINT id) {
    std::wstring text;
    GetWindowTextString(Item(id), text);
    return text;
  }
  void Idle() { SendMessageW(m_dialog->hwnd, WM_KICKIDLE, 0, 1); }
  void Command(UINT id, UINT code = BN_CLICKED, HWND control = nullptr) {
    SendMessageW(m_dialog->hwnd, WM_COMMAND, MAKEWPARAM(id, code), LPARAM(control));
  }
  void Click(UINT id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
  // As typing does: the edit tells its change.
  void Type(UINT id, const wchar_t* text) { SetWindowTextW(Item(id), text); }

  void Select(const std::vector<int>& rows) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
    for (int row : rows) {
      state.state = LVIS_SELECTED;
      state.stateMask = LVIS_SELECTED;
      SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(row), LPARAM(&state));
    }
    Idle();
  }
  std::vector<int> Selected() {
    std::vector<int> rows;
    int row = -1;
    while ((row = int(SendMessageW(List(), LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) rows.push_back(row);
    return rows;
  }
  std::vector<UINT> Ids() {
    std::vector<UINT> ids;
    for (const _KEYFILTER_INFO& f : m_dialog->filters) ids.push_back(f.Id);
    return ids;
  }
  static std::vector<UINT> Ids(const std::vector<_KEYFILTER_INFO>& filters) {
    std::vector<UINT> ids;
    for (const _KEYFILTER_INFO& f : filters) ids.push_back(f.Id);
    return ids;
  }
  // The cell text the list view shows for a column record.
  std::wstring Cell(int row, int record) {
    const int column = m_dialog->table.GetHeaderIndex(record);
    wchar_t buffer[128] = L"";
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 128;
    SendMessageW(List(), LVM_GETITEMTEXTW, row, LPARAM(&item));
    return buffer;
  }
  int TypeState(int type) {
    return int((SendMessageW(Types(), LVM_GETITEMSTATE, type, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) >> 12);
  }
  // A click as the list view reports it, at the state image (true) or the text of a row.
  void ClickRow(HWND list, int row, bool onStateImage) {
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    SendMessageW(list, LVM_GETITEMRECT, row, LPARAM(&bounds));
    RECT label{};
    label.left = LVIR_LABEL;
    SendMessageW(list, LVM_GETITEMRECT, row, LPARAM(&label));
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = list;
    click.hdr.idFrom = UINT_PTR(GetDlgCtrlID(list));
    click.hdr.code = NM_CLICK;
    click.iItem = row;
    click.ptAction = onStateImage ? POINT{bounds.left + 8, (bounds.top + bounds.bottom) / 2}
                                  : POINT{label.left + 10, (label.top + label.bottom) / 2};
    SendMessageW(m_dialog->hwnd, WM_NOTIFY, click.hdr.idFrom, LPARAM(&click));
  }
  void Key(WORD key) {
    NMLVKEYDOWN down{};
    down.hdr.hwndFrom = List();
    down.hdr.idFrom = IDC_KEY_FILTERS_LIST;
    down.hdr.code = LVN_KEYDOWN;
    down.wVKey = key;
    SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDC_KEY_FILTERS_LIST, LPARAM(&down));
  }
  LRESULT TableNotify(UINT code, NMHDR* header) {
    header->hwndFrom = List();
    header->idFrom = IDC_KEY_FILTERS_LIST;
    header->code = code;
    return SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDC_KEY_FILTERS_LIST, LPARAM(header));
  }
  void Drop(int row, bool after) {
    _TBLN_DRAG_INFO drop{};
    drop.row = row;
    drop.after = after;
    TableNotify(TBLN_DROP, &drop.hdr);
  }
  void Sort(int n) {
    _TBLN_SORT_INFO sort{};
    sort.sort = n;
    TableNotify(TBLN_SORT, &sort.hdr);
  }
  // The text colour a custom draw of the key-type row gets, CLR_NONE when the dialog leaves it.
  COLORREF DrawColour(int type) {
    NMLVCUSTOMDRAW draw{};
    draw.nmcd.hdr.hwndFrom = Types();
    draw.nmcd.hdr.idFrom = IDC_KEY_FILTER_TYPES;
    draw.nmcd.hdr.code = NM_CUSTOMDRAW;
    draw.nmcd.dwDrawStage = CDDS_PREPAINT;
    SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDC_KEY_FILTER_TYPES, LPARAM(&draw));
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.dwItemSpec = DWORD_PTR(type);
    draw.clrText = CLR_NONE;
    const LRESULT answer = SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDC_KEY_FILTER_TYPES, LPARAM(&draw));
    return (answer & CDRF_NEWFONT) ? draw.clrText : CLR_NONE;
  }

  std::unique_ptr<CKeyFiltersDialog> m_dialog;
};

// ---- The panel follows the selection

TEST_F(KeyFiltersDialogTest, ThePanelShowsWhatTheSelectedFiltersShare) {
  enum { kUnchecked = 1, kChecked = 2, kMixed = 3 };
  struct Case {
    const char* what;
    std::vector<int> rows;
    const wchar_t* name;
    bool nameEnabled;
    const wchar_t* size;
    bool sizeEnabled;
    bool indeterminateShown;
    int showTab;  // BM_GETCHECK
    bool showTabThreeState;
    bool showTabEnabled;
    int em, hid;  // state images of the two types
  };
  const Case cases[] = {
      {"nothing", {}, L"", false, L"0", false, false, BST_UNCHECKED, false, false, kUnchecked, kUnchecked},
      {"A", {0}, L"A", true, L"0", true, false, BST_CHECKED, false, true, kChecked, kUnchecked},
      {"B and C", {1, 2}, L"*", false, L"4", true, false, BST_CHECKED, false, true, kMixed, kChecked},
      {"sizes 4, 4, 7", {1, 2, 3}, L"*", false, L"4", false, true, BST_CHECKED, false, true, kMixed, kChecked},
      {"show tab differs", {0, 4}, L"*", false, L"0", true, false, BST_INDETERMINATE, true, true, kMixed, kUnchecked},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Select(c.rows);
    EXPECT_EQ(Text(IDC_KEY_FILTER_NAME), c.name);
    EXPECT_EQ(IsWindowEnabled(Item(IDC_KEY_FILTER_NAME)) != 0, c.nameEnabled);
    EXPECT_EQ(Text(IDC_KEY_FILTER_SIZE), c.size);
    EXPECT_EQ(IsWindowEnabled(Item(IDC_KEY_FILTER_SIZE)) != 0, c.sizeEnabled);
    EXPECT_EQ((GetWindowLongW(Item(IDC_KEY_FILTER_INDETERMINATE), GWL_STYLE) & WS_VISIBLE) != 0,
              c.indeterminateShown);
    if (c.indeterminateShown) {
      EXPECT_EQ(IsDlgButtonChecked(m_dialog->hwnd, IDC_KEY_FILTER_INDETERMINATE), BST_CHECKED);
    }
    EXPECT_EQ(int(SendMessageW(Item(IDC_KEY_FILTER_SHOW_TAB), BM_GETCHECK, 0, 0)), c.showTab);
    EXPECT_EQ((GetWindowLongW(Item(IDC_KEY_FILTER_SHOW_TAB), GWL_STYLE) & BS_TYPEMASK) == BS_AUTO3STATE,
              c.showTabThreeState);
    EXPECT_EQ(IsWindowEnabled(Item(IDC_KEY_FILTER_SHOW_TAB)) != 0, c.showTabEnabled);
    EXPECT_EQ(IsWindowEnabled(Types()) != 0, !c.rows.empty());
    EXPECT_EQ(TypeState(1), c.em);
    EXPECT_EQ(TypeState(2), c.hid);
  }
  EXPECT_FALSE(m_dialog->modified) << "loading the panel is no edit";
}

TEST_F(KeyFiltersDialogTest, AnIndeterminateSizeUncheckedGoesToEverySelectedFilter) {
  Open();
  Select({1, 2, 3});
  ASSERT_FALSE(IsWindowEnabled(Item(IDC_KEY_FILTER_SIZE)));
  Click(IDC_KEY_FILTER_INDETERMINATE);
  EXPECT_TRUE(IsWindowEnabled(Item(IDC_KEY_FILTER_SIZE)));
  Type(IDC_KEY_FILTER_SIZE, L"9");
  Command(ID_KEY_FILTERS_APPLY);
  std::vector<UINT> sizes;
  for (const _KEYFILTER_INFO& f : theApp.settings.keyFilters) sizes.push_back(f.KeySize);
  EXPECT_EQ(sizes, (std::vector<UINT>{0, 9, 9, 9, 0}));
}

TEST_F(KeyFiltersDialogTest, AMixedTypeClickedGoesUncheckedThenCheckedForBoth) {
  Open();
  Select({0, 1});  // A: EM, B: EM+HID
  ASSERT_EQ(TypeState(2), 3);
  ClickRow(Types(), 2, false);
  EXPECT_EQ(TypeState(2), 3) << "a click on the text is no toggle";
  ClickRow(Types(), 2, true);
  EXPECT_EQ(TypeState(2), 1);
  EXPECT_EQ(m_dialog->filters[0].KeyTypes, kEm);
  EXPECT_EQ(m_dialog->filters[1].KeyTypes, kEm);
  ClickRow(Types(), 2, true);
  EXPECT_EQ(TypeState(2), 2);
  EXPECT_EQ(m_dialog->filters[0].KeyTypes, kEm | kHid);
  EXPECT_EQ(m_dialog->filters[1].KeyTypes, kEm | kHid);
  ClickRow(Types(), 2, true);
  EXPECT_EQ(TypeState(2), 3) << "the three-state cycle returns to indeterminate";
  ClickRow(Types(), 1, true);  // agreed at load: two states only
  EXPECT_EQ(TypeState(1), 1);
  EXPECT_EQ(m_dialog->filters[0].KeyTypes & kEm, 0u);
  ClickRow(Types(), 1, true);
  EXPECT_EQ(TypeState(1), 2);
  EXPECT_TRUE(m_dialog->modified);
  EXPECT_TRUE(IsWindowEnabled(Item(ID_KEY_FILTERS_APPLY)));
}

TEST_F(KeyFiltersDialogTest, TypeGroupCommandsActOnThePanelWithinTheirMask) {
  struct Case {
    const char* what;
    int row;
    UINT command;
    UINT types;
    bool modified;
  };
  const Case cases[] = {
      {"uncheck Mifare Classic on all", 3, ID_KEY_TYPES_UNCHECK_FIRST + 1, 0x1FE3FF, true},
      {"check all on all", 3, ID_KEY_TYPES_CHECK_ALL, 0x3FFFFF, false},
      {"check Radio on EM", 0, ID_KEY_TYPES_CHECK_FIRST + 0, kEm | 0x70, true},
      {"uncheck all", 1, ID_KEY_TYPES_UNCHECK_ALL, 0, true},
      {"uncheck Temic when none is set", 0, ID_KEY_TYPES_UNCHECK_FIRST + 5, kEm, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open();
    Select({c.row});
    Command(c.command, 0);
    EXPECT_EQ(m_dialog->filters[size_t(c.row)].KeyTypes, c.types);
    EXPECT_EQ(m_dialog->modified, c.modified);
  }
}

TEST_F(KeyFiltersDialogTest, ShowTabOnAMixedSelectionAppliesOnceThenAlternates) {
  Open();
  Select({0, 4});
  HWND box = Item(IDC_KEY_FILTER_SHOW_TAB);
  Click(IDC_KEY_FILTER_SHOW_TAB);  // indeterminate -> unchecked
  EXPECT_EQ(m_dialog->filters[0].Flags & KEYFILTER_SHOW_TAB, 0u);
  EXPECT_EQ(m_dialog->filters[4].Flags & KEYFILTER_SHOW_TAB, 0u);
  EXPECT_EQ(GetWindowLongW(box, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
  Click(IDC_KEY_FILTER_SHOW_TAB);
  EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(m_dialog->filters[0].Flags & KEYFILTER_SHOW_TAB, UINT(KEYFILTER_SHOW_TAB));
  EXPECT_EQ(m_dialog->filters[4].Flags & KEYFILTER_SHOW_TAB, UINT(KEYFILTER_SHOW_TAB));
  // The Visible cell's state image toggles one filter; Space every selected one.
  ClickRow(List(), 2, true);
  EXPECT_EQ(m_dialog->filters[2].Flags & KEYFILTER_SHOW_TAB, 0u);
  Key(VK_SPACE);
  EXPECT_EQ(m_dialog->filters[0].Flags & KEYFILTER_SHOW_TAB, 0u);
  EXPECT_EQ(m_dialog->filters[4].Flags & KEYFILTER_SHOW_TAB, 0u);
  EXPECT_EQ(m_dialog->filters[2].Flags & KEYFILTER_SHOW_TAB, 0u);
}

// ---- Refused edits keep the selection

TEST_F(KeyFiltersDialogTest, RefusedNamesAndSizesKeepTheSelectionAndFocusTheField) {
  struct Case {
    const char* what;
    UINT field;
    const wchar_t* typed;
    std::wstring message;
  };
  const Case cases[] = {
      {"empty name", IDC_KEY_FILTER_NAME, L"", Str(IDS_FIELD_REQUIRED)},
      {"another filter's name", IDC_KEY_FILTER_NAME, L"B", Format(IDS_FILTER_NAME_EXISTS, L"B")},
      {"size above 65535", IDC_KEY_FILTER_SIZE, L"65536", Str(IDS_KEY_SIZE_INVALID)},
      {"size not a number", IDC_KEY_FILTER_SIZE, L"1x", Str(IDS_KEY_SIZE_INVALID)},
      {"empty size", IDC_KEY_FILTER_SIZE, L"", Str(IDS_KEY_SIZE_INVALID)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open();
    g_boxes.clear();
    Select({0});
    Type(c.field, c.typed);
    Select({2});
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], c.message);
    EXPECT_EQ(Selected(), std::vector<int>{0});
    EXPECT_EQ(GetFocus(), Item(c.field));
    EXPECT_EQ(m_dialog->filters[0].Name, L"A");
    EXPECT_EQ(m_dialog->filters[0].KeySize, 0u);
    // Apply refuses the same way and writes nothing.
    g_boxes.clear();
    Command(ID_KEY_FILTERS_APPLY);
    EXPECT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(theApp.settings.keyFilters[0].Name, L"A");
    EXPECT_FALSE(theApp.settings.settingsModified);
    // So do the moves: the filter stays where it is.
    g_boxes.clear();
    Command(ID_KEY_FILTER_MOVE_DOWN);
    EXPECT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(Ids(), (std::vector<UINT>{1, 2, 3, 4, 5}));
  }
}

TEST_F(KeyFiltersDialogTest, ANameAndSizeCommitWhenTheSelectionMoves) {
  Open();
  Select({0});
  Type(IDC_KEY_FILTER_NAME, L"Gate");
  Type(IDC_KEY_FILTER_SIZE, L"5");
  Select({1});
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(m_dialog->filters[0].Name, L"Gate");
  EXPECT_EQ(m_dialog->filters[0].KeySize, 5u);
  EXPECT_EQ(Cell(0, KFCOL_NAME), L"Gate");
  EXPECT_EQ(Cell(0, KFCOL_KEY_SIZE), L"5");
}

// ---- Cells

TEST_F(KeyFiltersDialogTest, CellsShowNumberIdTypesAndSize) {
  theApp.settings.keyFilters = {{7, L"All", 0x3FFFFF, 0, 1, 0},
                                {3, L"One", kHid, 5, 1, 0},
                                {9, L"Two", kEm | kHid, 0, 1, 0},
                                {2, L"None", 0, 0, 1, 0},
                                {4, L"Beyond", 0xFFFFFFFF, 0, 1, 0}};
  Open();
  struct Row {
    const wchar_t* number;
    const wchar_t* id;
    std::wstring types;
    std::wstring size;
  };
  theApp.LoadKeyTypeNames();
  const Row rows[] = {{L"1", L"7", Str(IDS_ALL), Str(IDS_ALL)},
                      {L"2", L"3", theApp.keyTypeNames[2], L"5"},
                      {L"3", L"9", L"EM, HID", Str(IDS_ALL)},
                      {L"4", L"2", L"", Str(IDS_ALL)},
                      {L"5", L"4", Str(IDS_ALL), Str(IDS_ALL)}};
  ASSERT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), 5);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Cell(i, KFCOL_NUMBER), rows[i].number);
    EXPECT_EQ(Cell(i, KFCOL_ID), rows[i].id);
    EXPECT_EQ(Cell(i, KFCOL_KEY_TYPES), rows[i].types);
    EXPECT_EQ(Cell(i, KFCOL_KEY_SIZE), rows[i].size);
  }
  EXPECT_NE(std::wstring(theApp.keyTypeNames[2]), L"HID") << "one type shows its display name";
}

// ---- Overlap colours

TEST_F(KeyFiltersDialogTest, TypesOtherFiltersClaimAreRedWhenCheckedAndGreyOtherwise) {
  Open();
  Select({0});  // A: EM, any size; B (EM+HID, 4), C (HID, 4), D (all, 7) and E claim the rest
  EXPECT_EQ(DrawColour(1), RGB(255, 0, 0)) << "EM checked here and claimed by B";
  EXPECT_EQ(DrawColour(2), RGB(128, 128, 128)) << "HID claimed but unchecked here";
  Select({1});  // B: size 4; D has size 7, so only A (any size) and C (size 4) overlap
  EXPECT_EQ(DrawColour(1), RGB(255, 0, 0));
  EXPECT_EQ(DrawColour(2), RGB(255, 0, 0));
  EXPECT_EQ(DrawColour(3), CLR_NONE) << "iCode is only D's, whose size differs";
  EXPECT_EQ(DrawColour(10), RGB(128, 128, 128)) << "E (any size) claims Mifare 1K, unchecked here";
  Select({});
  EXPECT_EQ(DrawColour(1), CLR_NONE) << "no selection, no overlap";
}

// ---- List operations

enum Op { kMoveUp, kMoveDown, kDropBefore, kDropAfter, kDelete, kShiftDelete, kDuplicate, kAdd, kDefaults, kSort };

struct OperationCase {
  const char* what;
  std::vector<int> rows;
  Op op;
  int arg;  // the drop row or the signed sort column
  std::vector<BoxAnswer> answers;
  std::vector<UINT> ids;  // after
  std::vector<int> selected;
  bool modified;
  int sortColumn;
  size_t questions;
};

TEST_F(KeyFiltersDialogTest, OperationsReorderSelectAndMark) {
  const std::vector<UINT> same = {1, 2, 3, 4, 5};
  const OperationCase cases[] = {
      {"block up", {2, 3}, kMoveUp, 0, {}, {1, 3, 4, 2, 5}, {1, 2}, true, 0, 0},
      {"block down", {0, 1}, kMoveDown, 0, {}, {3, 1, 2, 4, 5}, {1, 2}, true, 0, 0},
      {"first row up", {0}, kMoveUp, 0, {}, same, {0}, false, 4, 0},
      {"drop before row 1", {3, 4}, kDropBefore, 1, {}, {1, 4, 5, 2, 3}, {1, 2}, true, 0, 0},
      {"drop after row 2", {0}, kDropAfter, 2, {}, {2, 3, 1, 4, 5}, {2}, true, 0, 0},
      {"drop at the end", {1}, kDropBefore, kDropAtEnd, {}, {1, 3, 4, 5, 2}, {4}, true, 0, 0},
      {"drop onto itself", {1, 2}, kDropAfter, 2, {}, same, {1, 2}, false, 4, 0},
      {"drop before its own first", {1, 2}, kDropBefore, 1, {}, same, {1, 2}, false, 4, 0},
      {"delete one, OK", {1}, kDelete, 0, {{IDOK, FALSE}}, {1, 3, 4, 5}, {1}, true, 4, 1},
      {"delete two, Cancel", {1, 3}, kDelete, 0, {{IDCANCEL, FALSE}}, same, {1, 3}, false, 4, 1},
      {"delete the last with Shift", {4}, kShiftDelete, 0, {}, {1, 2, 3, 4}, {3}, true, 4, 0},
      {"delete two, OK", {0, 2}, kDelete, 0, {{IDOK, FALSE}}, {2, 4, 5}, {2}, true, 4, 1},
      {"duplicate two", {1, 3}, kDuplicate, 0, {}, {1, 2, 7, 3, 4, 6, 5}, {2, 5}, true, 4, 0},
      {"add", {0}, kAdd, 0, {}, {1, 2, 3, 4, 5, 6}, {5}, true, 0, 0},
      {"defaults", {0}, kDefaults, 0, {}, {1, 2, 3, 4, 5}, {}, true, 4, 0},
      {"name descending", {0}, kSort, -(KFCOL_NAME + 1), {}, {5, 4, 3, 2, 1}, {4}, true, -(KFCOL_NAME + 1), 0},
      {"size ascending, stable", {1}, kSort, KFCOL_KEY_SIZE + 1, {}, {1, 5, 2, 3, 4}, {2}, true, KFCOL_KEY_SIZE + 1, 0},
      {"size descending, stable", {}, kSort, -(KFCOL_KEY_SIZE + 1), {}, {4, 2, 3, 1, 5}, {}, true, -(KFCOL_KEY_SIZE + 1), 0},
      {"types ascending", {}, kSort, KFCOL_KEY_TYPES + 1, {}, {1, 3, 2, 5, 4}, {}, true, KFCOL_KEY_TYPES + 1, 0},
      {"visible ascending, stable", {}, kSort, KFCOL_VISIBLE + 1, {}, {5, 1, 2, 3, 4}, {}, true, KFCOL_VISIBLE + 1, 0},
      {"# keeps the order", {}, kSort, KFCOL_NUMBER + 1, {}, same, {}, true, KFCOL_NUMBER + 1, 0},
      {"Id keeps the order", {}, kSort, -(KFCOL_ID + 1), {}, same, {}, true, -(KFCOL_ID + 1), 0},
  };
  for (const OperationCase& c : cases) {
    SCOPED_TRACE(c.what);
    theApp.settings.keyFilters = Fixture();
    theApp.settings.KeyFilterSortCol = KFCOL_NAME + 1;  // sorted by Name: moves and adds remove the mark
    g_boxes.clear();
    g_answers.assign(c.answers.begin(), c.answers.end());
    Open();
    Select(c.rows);
    switch (c.op) {
      case kMoveUp: Command(ID_KEY_FILTER_MOVE_UP); break;
      case kMoveDown: Command(ID_KEY_FILTER_MOVE_DOWN); break;
      case kDropBefore: Drop(c.arg, false); break;
      case kDropAfter: Drop(c.arg, true); break;
      case kDelete: Key(VK_DELETE); break;
      case kShiftDelete: m_dialog->OnDelete(true); break;
      case kDuplicate: Command(ID_KEY_FILTER_DUPLICATE, 0); break;
      case kAdd: Key(VK_INSERT); break;
      case kDefaults: Command(ID_KEY_FILTER_DEFAULTS, 0); break;
      case kSort: Sort(c.arg); break;
    }
    Idle();
    EXPECT_EQ(Ids(), c.ids);
    EXPECT_EQ(Selected(), c.selected);
    EXPECT_EQ(m_dialog->modified, c.modified);
    EXPECT_EQ(m_dialog->sortColumn, c.sortColumn);
    EXPECT_EQ(g_boxes.size(), c.questions);
    EXPECT_EQ(m_dialog->table.sort, c.sortColumn) << "the header's mark follows";
  }
}

TEST_F(KeyFiltersDialogTest, DeleteAsksByNameOrCountAndDoNotAskClearsTheFlag) {
  Open();
  g_answers = {{IDCANCEL, FALSE}, {IDOK, TRUE}};
  Select({1});
  Key(VK_DELETE);
  Select({1, 2});
  Key(VK_DELETE);
  ASSERT_EQ(g_boxes.size(), 2u);
  EXPECT_EQ(g_boxes[0], Format(IDS_REMOVE_ITEM, L"B"));
  std::wstring two;
  LoadStrAppendFormat(two, IDS_REMOVE_ITEMS, 2);
  EXPECT_EQ(g_boxes[1], two);
  EXPECT_EQ(Ids(), (std::vector<UINT>{1, 4, 5}));
  EXPECT_EQ(theApp.settings.ConfirmFlags & CONFIRM_DELETE_ITEM, 0u);
  Select({0});
  Key(VK_DELETE);
  EXPECT_EQ(g_boxes.size(), 2u) << "no question once the flag is off";
  EXPECT_EQ(Ids(), (std::vector<UINT>{4, 5}));
}

TEST_F(KeyFiltersDialogTest, DuplicateNamesCopiesAndIgnoresAStaleMark) {
  theApp.settings.keyFilters.push_back({8, L"B (2)", kEm, 0, 1, 0});
  Open();
  m_dialog->filters[4].Flags |= KEYFILTER_MARK;  // left over: E is not selected
  Select({1});
  Command(ID_KEY_FILTER_DUPLICATE, 0);
  std::vector<std::wstring> names;
  for (const _KEYFILTER_INFO& f : m_dialog->filters) names.push_back(f.Name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"B", L"B (3)", L"C", L"D", L"E", L"B (2)"}));
  EXPECT_EQ(m_dialog->filters[2].FormatId, 11u) << "the copy keeps the format";
  EXPECT_EQ(m_dialog->filters[2].KeySize, 4u);
  for (const _KEYFILTER_INFO& f : m_dialog->filters) EXPECT_EQ(f.Flags & KEYFILTER_MARK, 0u) << f.Id;
}

TEST_F(KeyFiltersDialogTest, ThirtyOneFiltersRefuseAddAndDuplicateAndTheCursorWraps) {
  std::vector<_KEYFILTER_INFO> filters;
  for (UINT id = 1; id <= 31; ++id) {
    if (id != 2) filters.push_back({id, L"F" + std::to_wstring(id), kEm, 0, 1, 0});
  }
  theApp.settings.keyFilters = filters;
  theApp.settings.KeyFilterNewId = 31;
  Open();
  Command(ID_KEY_FILTER_ADD);
  ASSERT_EQ(m_dialog->filters.size(), 31u);
  EXPECT_EQ(m_dialog->filters.back().Id, 2u) << "31 is taken: the cursor wraps and skips 1";
  EXPECT_EQ(m_dialog->nextIdCursor, 3u);
  EXPECT_TRUE(g_boxes.empty());
  Command(ID_KEY_FILTER_ADD);
  Select({0, 1});
  Command(ID_KEY_FILTER_DUPLICATE, 0);
  ASSERT_EQ(g_boxes.size(), 2u);
  EXPECT_EQ(g_boxes[0], Str(IDS_KEY_FILTERS_LIMIT));
  EXPECT_EQ(g_boxes[1], Str(IDS_KEY_FILTERS_LIMIT));
  EXPECT_EQ(m_dialog->filters.size(), 31u);
  for (const _KEYFILTER_INFO& f : m_dialog->filters) EXPECT_EQ(f.Flags & KEYFILTER_MARK, 0u) << f.Id;
}

// ---- Layout, view options and columns

TEST_F(KeyFiltersDialogTest, TheDialogHasAMinimumSizeStretchesTheListAndKeepsSlotTwo) {
  Open();
  MINMAXINFO info{};
  SendMessageW(m_dialog->hwnd, WM_GETMINMAXINFO, 0, LPARAM(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, 440);
  EXPECT_EQ(info.ptMinTrackSize.y, 540);
  RECT window{}, list{}, apply{};
  GetWindowRect(m_dialog->hwnd, &window);
  GetWindowRect(List(), &list);
  GetWindowRect(Item(ID_KEY_FILTERS_APPLY), &apply);
  SetWindowPos(m_dialog->hwnd, nullptr, 0, 0, window.right - window.left + 100, window.bottom - window.top + 60,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT list2{}, apply2{};
  GetWindowRect(List(), &list2);
  GetWindowRect(Item(ID_KEY_FILTERS_APPLY), &apply2);
  EXPECT_EQ(list2.right - list2.left, list.right - list.left + 100);
  EXPECT_EQ(list2.bottom - list2.top, list.bottom - list.top + 60);
  EXPECT_EQ(apply2.left - apply.left, 100);
  EXPECT_EQ(apply2.top - apply.top, 60);
  GetWindowRect(m_dialog->hwnd, &window);
  m_dialog.reset();
  EXPECT_EQ(theApp.settings.sizes[2].cx, window.right - window.left);
  EXPECT_EQ(theApp.settings.sizes[2].cy, window.bottom - window.top);
}

TEST_F(KeyFiltersDialogTest, ViewOptionHintsReachTheTable) {
  Open();
  auto deliver = [](UINT detail) {
    _DOC_UPDATE_INFO batch(&theApp.settings, nullptr);
    theApp.settings.AddViewDetail(detail);
    theApp.settings.UpdateAllViews(HINT_VIEW_OPTIONS);
    theApp.settings.EndUpdate(batch);
  };
  theApp.settings.tableGrid = true;
  deliver(VIEW_DETAIL_TABLE_GRID);
  EXPECT_TRUE(SendMessageW(List(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_GRIDLINES);
  theApp.settings.noSortHeader = true;
  deliver(VIEW_DETAIL_NO_SORT_HEADER);
  EXPECT_TRUE(GetWindowLongW(List(), GWL_STYLE) & LVS_NOSORTHEADER);
  theApp.settings.altListBkColor = false;
  deliver(VIEW_DETAIL_ALT_LIST_BK_COLOR);
  EXPECT_EQ(m_dialog->table.altRowColor, CLR_NONE);
  ASSERT_GE(m_dialog->table.GetHeaderIndex(KFCOL_NAME), 0);
  theApp.settings.keyFiltersColumns[KFCOL_NAME].flags &= ~UINT(COLUMN_VISIBLE);
  deliver(VIEW_DETAIL_KEY_FILTERS_COLUMNS);
  EXPECT_EQ(m_dialog->table.GetHeaderIndex(KFCOL_NAME), -1);
  EXPECT_EQ(Cell(0, KFCOL_KEY_SIZE), Str(IDS_ALL)) << "the rows follow the new columns";
}

TEST_F(KeyFiltersDialogTest, ColumnChangesReachTheDocumentAndAResetAsksFirst) {
  Open();
  m_dialog->table.columns[KFCOL_NAME].width = 222;
  _TBLN_COLUMNS_INFO change{};
  change.what = COLCHANGE_WIDTH;
  change.column = KFCOL_NAME;
  TableNotify(TBLN_COLUMNSCHANGED, &change.hdr);
  EXPECT_EQ(theApp.settings.keyFiltersColumns[KFCOL_NAME].width, 222);
  EXPECT_TRUE(theApp.settings.configModified);

  struct Case {
    const char* what;
    bool noConfirm;
    BoxAnswer answer;
    LRESULT result;
    size_t questions;
    int nameWidth;  // after
  };
  const COLUMN_SET defaults = DefaultColumnSet(CS_KEY_FILTERS);
  const Case cases[] = {
      {"asked, OK", false, {IDOK, FALSE}, 1, 1, defaults[KFCOL_NAME].width},
      {"asked, Cancel", false, {IDCANCEL, FALSE}, 0, 1, 5},
      {"no confirmation", true, {IDCANCEL, FALSE}, 1, 0, defaults[KFCOL_NAME].width},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_boxes.clear();
    g_answers = {c.answer};
    std::vector<_COLUMN_INFO> columns = m_dialog->table.columns;
    columns[KFCOL_NAME].width = 5;
    _TBLN_RESET_INFO reset{};
    reset.columns = &columns;
    reset.noConfirm = c.noConfirm;
    EXPECT_EQ(TableNotify(TBLN_RESETCOLUMNS, &reset.hdr), c.result);
    EXPECT_EQ(g_boxes.size(), c.questions);
    if (c.questions && !g_boxes.empty()) {
      EXPECT_EQ(g_boxes[0], Str(IDS_REALLY));
    }
    EXPECT_EQ(columns[KFCOL_NAME].width, c.nameWidth);
  }
  _TBLN_RESET_INFO query{};
  EXPECT_EQ(TableNotify(TBLN_RESETCOLUMNS, &query.hdr), 1) << "a reset is offered";
}

// ---- Apply, OK and Cancel

TEST_F(KeyFiltersDialogTest, ApplyReachesOtherViewsOnceInOneUpdateAndNotTheDialog) {
  RecordingView recorder;
  int recorderIndex = theApp.settings.AddView({&recorder, &RecordingView::Callback, 0});
  Open();
  recorder.dialogView = m_dialog->viewIndex;
  ASSERT_GT(recorder.dialogView, recorderIndex) << "the recorder is called first";
  Select({3});
  Command(ID_KEY_FILTER_MOVE_UP);
  Sort(KFCOL_KEY_SIZE + 1);
  Command(ID_KEY_FILTERS_APPLY);
  EXPECT_EQ(recorder.calls, 1);
  EXPECT_TRUE(recorder.hints & HINT_KEY_FILTERS);
  EXPECT_TRUE(recorder.hints & HINT_SETTINGS_MODIFIED);
  EXPECT_EQ(recorder.dialogPending, 0u) << "the dialog is the sender";
  EXPECT_EQ(Ids(theApp.settings.keyFilters), (std::vector<UINT>{1, 5, 2, 3, 4}));
  EXPECT_EQ(int(theApp.settings.KeyFilterSortCol), KFCOL_KEY_SIZE + 1);
  EXPECT_TRUE(theApp.settings.configModified) << "History keeps sort columns";
  EXPECT_FALSE(m_dialog->modified);
  EXPECT_FALSE(IsWindowEnabled(Item(ID_KEY_FILTERS_APPLY)));
  theApp.settings.RemoveView(recorderIndex);
}

TEST_F(KeyFiltersDialogTest, CancelLeavesTheDocumentAsItWas) {
  Open();
  Select({1});
  Type(IDC_KEY_FILTER_NAME, L"Changed");
  Command(ID_KEY_FILTER_MOVE_UP);
  Command(ID_KEY_FILTER_ADD);
  Command(IDCANCEL);
  EXPECT_EQ(m_dialog->result, IDCANCEL);
  EXPECT_EQ(Ids(theApp.settings.keyFilters), (std::vector<UINT>{1, 2, 3, 4, 5}));
  EXPECT_EQ(theApp.settings.keyFilters[1].Name, L"B");
  EXPECT_EQ(theApp.settings.KeyFilterNewId, 6u);
  EXPECT_FALSE(theApp.settings.settingsModified);
}

TEST_F(KeyFiltersDialogTest, TheFormatsFilterGoesWithItsFilterOnly) {
  struct Case {
    const char* what;
    UINT chosen;
    std::function<void(KeyFiltersDialogTest&)> act;
    UINT after;
  };
  const Case cases[] = {
      {"its filter deleted", 2,
       [](KeyFiltersDialogTest& t) {
         t.Select({1});
         t.m_dialog->OnDelete(true);
       },
       0},
      {"another filter deleted", 3,
       [](KeyFiltersDialogTest& t) {
         t.Select({1});
         t.m_dialog->OnDelete(true);
       },
       3},
      {"defaults without its id", 9,
       [](KeyFiltersDialogTest& t) { t.Command(ID_KEY_FILTER_DEFAULTS, 0); }, 0},
      {"defaults with its id", 4,
       [](KeyFiltersDialogTest& t) { t.Command(ID_KEY_FILTER_DEFAULTS, 0); }, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    theApp.settings.keyFilters = Fixture();
    theApp.settings.keyFilters.push_back({9, L"Nine", kEm, 0, 1, 0});
    theApp.settings.fmtFilter = c.chosen;
    Open();
    c.act(*this);
    Command(ID_KEY_FILTERS_APPLY);
    EXPECT_EQ(theApp.settings.fmtFilter, c.after);
  }
}

TEST_F(KeyFiltersDialogTest, TheModalLoopReloadsThePanelAndOkApplies) {
  CKeyFiltersDialog dialog(theApp.settings);
  std::wstring shown;
  RunLater(
      [&] {
        LVITEMW state{};
        state.state = state.stateMask = LVIS_SELECTED;
        SendMessageW(GetDlgItem(dialog.hwnd, IDC_KEY_FILTERS_LIST), LVM_SETITEMSTATE, 2, LPARAM(&state));
        RunLater(
            [&] {
              // The loop idled in between: the panel shows C.
              GetWindowTextString(GetDlgItem(dialog.hwnd, IDC_KEY_FILTER_NAME), shown);
              SetDlgItemTextW(dialog.hwnd, IDC_KEY_FILTER_NAME, L"Gate");
              SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
              if (dialog.result == -1) dialog.EndDialog(IDABORT);  // OK refused: end the loop anyway
            },
            50);
      },
      50);
  EXPECT_EQ(dialog.DoModal(IDD_KEY_FILTERS, nullptr), IDOK);
  EXPECT_EQ(shown, L"C");
  EXPECT_EQ(theApp.settings.keyFilters[2].Name, L"Gate");
  EXPECT_TRUE(theApp.settings.settingsModified);
}

TEST_F(KeyFiltersDialogTest, TheFormatsPageCustomizeCommandRunsTheDialogModally) {
  const wchar_t kParentClass[] = L"KeyFiltersDialogTestsParent";
  ASSERT_TRUE(RegisterTestWindowClass(kParentClass, DefWindowProcW));
  HWND parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP, 0, 0, 900, 700, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(parent);
  auto page = std::make_unique<CFormatsPage>(theApp.settings);
  ASSERT_TRUE(CDialog::CreateFromTemplate(page.get(), IDD_PAGE_FORMATS, parent));
  int rows = -1;
  RunLater(
      [&rows] {
        HWND dialog = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND wnd, LPARAM found) -> BOOL {
              if (!GetDlgItem(wnd, IDC_KEY_FILTERS_LIST)) return TRUE;
              *reinterpret_cast<HWND*>(found) = wnd;
              return FALSE;
            },
            LPARAM(&dialog));
        if (!dialog) return;
        rows = int(SendDlgItemMessageW(dialog, IDC_KEY_FILTERS_LIST, LVM_GETITEMCOUNT, 0, 0));
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      },
      100);
  SendMessageW(page->hwnd, WM_COMMAND, ID_FILTER_CUSTOMIZE, 0);
  EXPECT_EQ(rows, 5) << "the dialog showed the document's five filters";
  page.reset();
  DestroyWindow(parent);
}

// ---- Import and export

TEST_F(KeyFiltersDialogTest, SpreadsheetItemsAreGrayedUnlessTheirOfficeIsRegistered) {
  const std::vector<UINT> ids = {ID_KEY_FILTERS_IMPORT_CSV,        ID_KEY_FILTERS_EXPORT_CSV,
                                 ID_KEY_FILTERS_IMPORT_EXCEL,      ID_KEY_FILTERS_EXPORT_EXCEL_FILE,
                                 ID_KEY_FILTERS_EXPORT_EXCEL,      ID_KEY_FILTERS_IMPORT_CALC,
                                 ID_KEY_FILTERS_EXPORT_CALC_FILE,  ID_KEY_FILTERS_EXPORT_CALC};
  struct Case {
    const char* what;
    bool excel, calc;
  } cases[] = {{"no office", false, false}, {"Excel only", true, false}, {"Calc only", false, true},
               {"both", true, true}};
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OfficeRegistration registration(c.excel, c.calc);
    // By the mouse, and by the menu key where no point is given.
    for (bool keyboard : {false, true}) {
      SCOPED_TRACE(keyboard ? "menu key" : "right click");
      const std::vector<UINT> states = ContextMenuStates(m_dialog->hwnd, List(), ids, keyboard);
      ASSERT_EQ(states.size(), ids.size()) << "the list's menu did not show";
      for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(ids[i]);
        ASSERT_NE(states[i], ~0u) << "missing from the menu";
        const bool grayed = (i >= 2 && i < 5 && !c.excel) || (i >= 5 && !c.calc);
        EXPECT_EQ((states[i] & MF_GRAYED) != 0, grayed);
      }
    }
    if (registration.office) {
      EXPECT_TRUE(registration.office->journal.empty()) << "the menu started an office";
    }
  }
}

// "id:name:types:size:tab" per filter, in list order.
std::wstring Describe(const std::vector<_KEYFILTER_INFO>& filters) {
  std::wstring out;
  for (const _KEYFILTER_INFO& f : filters) {
    out += std::to_wstring(f.Id) + L":" + f.Name + L":" + std::to_wstring(f.KeyTypes) + L":" +
           std::to_wstring(f.KeySize) + ((f.Flags & KEYFILTER_SHOW_TAB) ? L":tab " : L": ");
  }
  return out;
}

const std::wstring kFixtureList = L"1:A:2:0:tab 2:B:6:4:tab 3:C:4:4:tab 4:D:4194303:7:tab 5:E:1024:0: ";

TEST_F(KeyFiltersDialogTest, CsvExportWritesTheWorkingListInTheInterfaceLanguage) {
  ListSeparator separator(L"|");
  ScratchFolder folder;
  FileDialogSeam.GetSaveFileName = &ScriptedFileDialog;
  struct Case {
    LANGID language;
    std::string header;
  } cases[] = {
      {kEnglishUi, "Visible|#|Id|Name|Key types|Key size"},
      {kRussianUi, "\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB8\xD0\xBC\xD1\x8B\xD0\xB9|#|Id|\xD0\x98\xD0\xBC\xD1\x8F|"
                   "\xD0\xA2\xD0\xB8\xD0\xBF\xD1\x8B \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\xD0\xB5\xD0\xB9|"
                   "\xD0\xA0\xD0\xB0\xD0\xB7\xD0\xBC\xD0\xB5\xD1\x80 \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\xD0\xB0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    SetUILanguage(c.language);
    theApp.settings.keyFiltersExportType = 2;
    Open();
    // A name typed but not yet committed, with the separator and a quote in it: the file has it.
    Select({1});
    Type(IDC_KEY_FILTER_NAME, L"B \"x\"|y");
    g_file = FileScript();
    g_file.name = folder / L"filters";
    Command(ID_KEY_FILTERS_EXPORT_CSV);
    EXPECT_EQ(g_file.opened, 1u);
    EXPECT_EQ(ReadFileBytes(folder / L"filters.csv"),
              "\xEF\xBB\xBF" + c.header + "\r\n"
              "+|1|1|A|2|0\r\n"
              "+|2|2|\"B \"\"x\"\"|y\"|6|4\r\n"
              "+|3|3|C|4|4\r\n"
              "+|4|4|D|4194303|7\r\n"
              "-|5|5|E|1024|0\r\n");
    EXPECT_EQ(theApp.settings.keyFiltersExportType, 1u);
    EXPECT_EQ(Describe(theApp.settings.keyFilters), kFixtureList) << "the export changed the document";
    EXPECT_TRUE(g_boxes.empty());
  }
}

TEST_F(KeyFiltersDialogTest, CsvImportReplacesOrMergesTheWorkingListUntilApply) {
  ListSeparator separator(L"|");
  ScratchFolder folder;
  const std::wstring path = folder / L"in.csv";
  // Sizes and tabs for D, a new filter, and a second mention of D that updates it in its first place.
  ASSERT_TRUE(WriteFileBytes(path, "\xEF\xBB\xBFName|Key size|Visible\r\nD|9|-\r\nNew|2|+\r\nD|8|-\r\n"));
  FileDialogSeam.GetOpenFileName = &ScriptedFileDialog;
  struct Case {
    const char* what;
    UINT command;
    bool shift;
    BOOL dialogOk;
    int answer;
    std::vector<std::wstring> questions;
    std::wstring list;
    UINT formatsFilter;  // after Apply
  } cases[] = {
      {"replace", ID_KEY_FILTERS_IMPORT_CSV, false, TRUE, IDOK,
       {L"4 items that the file does not name will be removed. Hold Shift when choosing Import to merge instead."},
       L"4:D:4194303:8: 6:New:0:2:tab ", 0},
      {"replace refused", ID_KEY_FILTERS_IMPORT_CSV, false, TRUE, IDCANCEL,
       {L"4 items that the file does not name will be removed. Hold Shift when choosing Import to merge instead."},
       kFixtureList, 2},
      {"merge with Shift", ID_KEY_FILTERS_IMPORT_CSV, true, TRUE, IDOK, {},
       L"4:D:4194303:8: 6:New:0:2:tab 1:A:2:0:tab 2:B:6:4:tab 3:C:4:4:tab 5:E:1024:0: ", 2},
      {"the CSV file from the Excel item", ID_KEY_FILTERS_IMPORT_EXCEL, true, TRUE, IDOK, {},
       L"4:D:4194303:8: 6:New:0:2:tab 1:A:2:0:tab 2:B:6:4:tab 3:C:4:4:tab 5:E:1024:0: ", 2},
      {"file dialog cancelled", ID_KEY_FILTERS_IMPORT_CSV, false, FALSE, IDOK, {}, kFixtureList, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    theApp.settings.keyFilters = Fixture();
    theApp.settings.KeyFilterNewId = 6;
    theApp.settings.fmtFilter = 2;
    theApp.settings.settingsModified = false;
    Open();
    g_boxes.clear();
    g_answers = {{c.answer, FALSE}};
    g_file = FileScript();
    g_file.name = path;
    g_file.chosen = c.command - ID_KEY_FILTERS_IMPORT_CSV + 1;
    g_file.ok = c.dialogOk;
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = c.shift ? 0x80 : 0;
    SetKeyboardState(keys);
    Command(c.command);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    EXPECT_EQ(g_file.opened, c.command - ID_KEY_FILTERS_IMPORT_CSV + 1);
    EXPECT_EQ(g_boxes, c.questions);
    EXPECT_EQ(Describe(m_dialog->filters), c.list);
    // The list shows the working list.
    ASSERT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), LPARAM(m_dialog->filters.size()));
    for (size_t row = 0; row < m_dialog->filters.size(); ++row) {
      EXPECT_EQ(Cell(int(row), KFCOL_NAME), m_dialog->filters[row].Name) << row;
    }
    // Nothing reaches the document before Apply.
    EXPECT_EQ(Describe(theApp.settings.keyFilters), kFixtureList);
    EXPECT_EQ(theApp.settings.fmtFilter, 2u);
    EXPECT_FALSE(theApp.settings.settingsModified);
    const bool changed = c.list != kFixtureList;
    EXPECT_EQ(IsWindowEnabled(Item(ID_KEY_FILTERS_APPLY)) != FALSE, changed);
    Command(ID_KEY_FILTERS_APPLY);
    EXPECT_EQ(Describe(theApp.settings.keyFilters), c.list);
    EXPECT_EQ(theApp.settings.fmtFilter, c.formatsFilter);
  }
}

TEST_F(KeyFiltersDialogTest, AReplaceQuestionSilencedStaysSilentAndAnEmptyTableIsTold) {
  ListSeparator separator(L"|");
  ScratchFolder folder;
  const std::wstring table = folder / L"in.csv", empty = folder / L"empty.csv";
  ASSERT_TRUE(WriteFileBytes(table, "Name|Key size\r\nD|9\r\n"));
  ASSERT_TRUE(WriteFileBytes(empty, "Name|Key size\r\n"));
  FileDialogSeam.GetOpenFileName = &ScriptedFileDialog;
  auto import = [&](const std::wstring& path) {
    theApp.settings.keyFilters = Fixture();
    Open();
    g_boxes.clear();
    g_file = FileScript();
    g_file.name = path;
    Command(ID_KEY_FILTERS_IMPORT_CSV);
  };
  // Nothing to import: said so, and nothing removed.
  import(empty);
  EXPECT_EQ(g_boxes, std::vector<std::wstring>{L"No rows to import were found in " + empty + L"."});
  EXPECT_EQ(Describe(m_dialog->filters), kFixtureList);
  EXPECT_FALSE(IsWindowEnabled(Item(ID_KEY_FILTERS_APPLY)));
  // "Do not ask" with OK: this replace goes on, the next one is not asked.
  g_answers = {{IDOK, TRUE}};
  import(table);
  EXPECT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(theApp.settings.ConfirmFlags & CONFIRM_REPLACE_ITEM, 0u);
  EXPECT_EQ(Describe(m_dialog->filters), L"4:D:4194303:9:tab ");
  g_answers = {{IDCANCEL, FALSE}};
  import(table);
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(Describe(m_dialog->filters), L"4:D:4194303:9:tab ");
}

TEST_F(KeyFiltersDialogTest, TheLimitIsToldOnceAndOnlyForAnImportThatGoesOn) {
  ListSeparator separator(L"|");
  ScratchFolder folder;
  std::vector<_KEYFILTER_INFO> full;
  for (UINT id = 1; id <= 31; ++id) full.push_back({id, L"F" + std::to_wstring(id), kEm, 0, KEYFILTER_SHOW_TAB, 0});
  const std::wstring limit = L"Key Filters Limit Reached (maximum 31).";
  const std::wstring question = L"31 items that the file does not name will be removed. Hold Shift when choosing "
                                L"Import to merge instead.";
  std::string newNames = "Name\r\n";  // one more than there are ids
  for (int i = 1; i <= 32; ++i) newNames += "N" + std::to_string(i) + "\r\n";
  struct Case {
    const char* what;
    std::string bytes;
    bool shift;
    int answer;
    std::vector<std::wstring> boxes;
    size_t count;  // filters in the list afterwards
  } cases[] = {
      {"merge of new names only", "Name\r\nNew1\r\nNew2\r\n", true, IDOK, {limit}, 31},
      {"merge updating one, the new skipped", "Name\r\nF3\r\nNew1\r\nNew2\r\n", true, IDOK, {limit}, 31},
      {"replace refused", newNames, false, IDCANCEL, {question}, 31},
      {"replace accepted", newNames, false, IDOK, {question, limit}, 31},
  };
  FileDialogSeam.GetOpenFileName = &ScriptedFileDialog;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    theApp.settings.keyFilters = full;
    theApp.settings.KeyFilterNewId = 32;
    const std::wstring path = folder / L"in.csv";
    ASSERT_TRUE(WriteFileBytes(path, c.bytes));
    Open();
    g_boxes.clear();
    g_answers = {{c.answer, FALSE}};
    g_file = FileScript();
    g_file.name = path;
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = c.shift ? 0x80 : 0;
    SetKeyboardState(keys);
    Command(ID_KEY_FILTERS_IMPORT_CSV);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    EXPECT_EQ(g_boxes, c.boxes);
    EXPECT_EQ(m_dialog->filters.size(), c.count);
  }
}

TEST_F(KeyFiltersDialogTest, AFailedImportShowsItsErrorAndChangesNothing) {
  ListSeparator separator(L"|");
  ScratchFolder folder;
  OfficeRegistration registration(true, true);
  registration.office->failCreate = true;
  // The second name is Cyrillic: no Western ANSI code page holds it, nor the Russian message.
  const std::wstring csv = folder / L"bad.csv", cyrillic = folder / L"\x043F\x043B\x043E\x0445\x043E\x0439.csv",
                     workbook = folder / L"in.xls";
  ASSERT_TRUE(WriteFileBytes(csv, "Name|Key size\r\nD|9\r\n\"New|2\r\n"));
  ASSERT_TRUE(WriteFileBytes(cyrillic, "Name|Key size\r\nD|9\r\n\"New|2\r\n"));
  FakeOffice::WriteWorkbook(workbook, {{{1, 1}, {VT_BSTR, 0, L"Name"}}, {{2, 1}, {VT_BSTR, 0, L"D"}}});
  FileDialogSeam.GetOpenFileName = &ScriptedFileDialog;
  struct Case {
    const char* what;
    LANGID language;
    UINT command;
    std::wstring path;
    std::wstring error;
  } cases[] = {
      {"a quote open at the end", kEnglishUi, ID_KEY_FILTERS_IMPORT_CSV, csv,
       csv + L", line 3: a quoted field is not closed."},
      {"in Russian, a Cyrillic file name", kRussianUi, ID_KEY_FILTERS_IMPORT_CSV, cyrillic,
       cyrillic + L", \x0441\x0442\x0440\x043E\x043A\x0430 3: \x043F\x043E\x043B\x0435 \x0432 "
                  L"\x043A\x0430\x0432\x044B\x0447\x043A\x0430\x0445 \x043D\x0435 "
                  L"\x0437\x0430\x043A\x0440\x044B\x0442\x043E."},
      {"Excel does not start", kEnglishUi, ID_KEY_FILTERS_IMPORT_EXCEL, workbook,
       L"Microsoft Excel could not be started."},
      {"Excel does not start, in Russian", kRussianUi, ID_KEY_FILTERS_IMPORT_EXCEL, workbook,
       L"\x041D\x0435 \x0443\x0434\x0430\x043B\x043E\x0441\x044C \x0437\x0430\x043F\x0443\x0441\x0442\x0438\x0442\x044C "
       L"Microsoft Excel."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUILanguage(c.language);
    for (bool shift : {false, true}) {
      Open();
      Select({1});
      g_boxes.clear();
      g_file = FileScript();
      g_file.name = c.path;
      g_file.chosen = c.command - ID_KEY_FILTERS_IMPORT_CSV + 1;
      BYTE keys[256];
      GetKeyboardState(keys);
      keys[VK_SHIFT] = shift ? 0x80 : 0;
      SetKeyboardState(keys);
      HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
      SetCursor(arrow);
      Command(c.command);
      keys[VK_SHIFT] = 0;
      SetKeyboardState(keys);
      EXPECT_EQ(GetCursor(), arrow) << "the wait cursor stayed";
      ASSERT_EQ(g_boxes.size(), 1u) << "one error box, no question";
      EXPECT_EQ(g_boxes[0].substr(0, c.error.size()), c.error);
      EXPECT_EQ(Describe(m_dialog->filters), kFixtureList);
      EXPECT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), 5);
      EXPECT_EQ(Selected(), std::vector<int>{1});
      EXPECT_FALSE(m_dialog->modified);
      EXPECT_FALSE(IsWindowEnabled(Item(ID_KEY_FILTERS_APPLY)));
      EXPECT_EQ(Describe(theApp.settings.keyFilters), kFixtureList);
    }
  }
  EXPECT_EQ(registration.office->OutstandingReferences(), 0);
}

TEST_F(KeyFiltersDialogTest, ExcelFileExportOpensOnTheExcelTypeLastChosen) {
  OfficeRegistration registration(true, true);
  ScratchFolder folder;
  FileDialogSeam.GetSaveFileName = &ScriptedFileDialog;
  theApp.settings.keyFiltersExportType = 1;
  Open();
  struct Step {
    UINT command;
    DWORD opened, chosen;
    const wchar_t* name;
    UINT remembered;
    const wchar_t* file;
  } steps[] = {
      {ID_KEY_FILTERS_EXPORT_EXCEL_FILE, 2, 3, L"a", 3, L"a.xls"},
      {ID_KEY_FILTERS_EXPORT_EXCEL_FILE, 3, 2, L"b", 2, L"b.xlsx"},
      {ID_KEY_FILTERS_EXPORT_EXCEL_FILE, 2, 3, L"c", 3, L"c.xls"},
      {ID_KEY_FILTERS_EXPORT_CALC_FILE, 4, 4, L"d", 5, L"d.ods"},
      {ID_KEY_FILTERS_EXPORT_EXCEL_FILE, 2, 3, L"e", 3, L"e.xls"},
      {ID_KEY_FILTERS_EXPORT_EXCEL_FILE, 3, 3, L"f", 3, L"f.xls"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(step.file)));
    g_file = FileScript();
    g_file.chosen = step.chosen;
    g_file.name = folder / step.name;
    const size_t saved = registration.office->savedPaths.size();
    Command(step.command);
    EXPECT_EQ(g_file.opened, step.opened);
    EXPECT_EQ(theApp.settings.keyFiltersExportType, step.remembered);
    FakeSheet sheet;
    EXPECT_TRUE(FakeOffice::ReadWorkbook(folder / step.file, sheet)) << "not written";
    EXPECT_EQ(registration.office->savedPaths.size(), saved + 1);
    // An .xls goes out as Excel 97-2003, whatever Excel's default.
    const std::vector<std::wstring> journal = NormalisedJournal(*registration.office);
    const bool xls = std::find(journal.begin(), journal.end(), L"workbook.SaveAs(\"<temp>\",56)") != journal.end();
    EXPECT_EQ(xls, step.remembered == 3);
    registration.office->journal.clear();
  }
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(KeyFiltersDialogTest, TextsExistInBothLanguages) {
  for (LANGID language : {kEnglishUi, kRussianUi}) {
    SetUILanguage(language);
    for (UINT id : {UINT(IDS_FILTER_NAME_EXISTS), UINT(IDS_KEY_FILTERS_LIMIT), UINT(IDS_KFCOL_VISIBLE),
                    UINT(IDS_KFCOL_NAME), UINT(IDS_KFCOL_KEY_TYPES), UINT(IDS_KFCOL_KEY_SIZE), UINT(IDS_ALL),
                    UINT(IDS_KEY_SIZE_INVALID)})
      EXPECT_FALSE(Str(id).empty()) << id << " in " << language;
  }
  SetUILanguage(kRussianUi);
  EXPECT_EQ(Str(IDS_ALL), L"Все");
  Open();
  EXPECT_EQ(Text(IDCANCEL), L"Отмена");
}

}  // namespace
