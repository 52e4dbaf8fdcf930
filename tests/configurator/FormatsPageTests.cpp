// The Formats page over a document fixture of five formats (a plain one, a preset, one hidden on the
// "Default" tab, one the add-in does not need, one more plain one) and two key filters, the page alone on
// a parent window. Real list-view messages where the list view sends them itself (selection, keys, item
// texts); synthetic notifications where Wine's list view never sends one (empty markup) or where a mouse
// gesture would need a modal drag loop (clicks, drops).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ThreadWindow.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Controls.h"
#include "FileDialog.h"
#include "FormatsPage.h"
#include "KeyDialog.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "TableTestSupport.h"
#include "../classlib/ModalStep.h"

namespace {

CConfigVombraApp theApp;

const wchar_t kParentClass[] = L"FormatsPageTestsParent";

// ---- Scripted questions.

struct SeenBox {
  std::wstring Content;
  bool HasDoNotAsk;
};
struct BoxAnswer {
  int Button;
  BOOL DoNotAsk;
};
std::vector<SeenBox> g_boxes;
std::deque<BoxAnswer> g_answers;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* verified) {
  g_boxes.push_back({config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"",
                     config->pszVerificationText != nullptr});
  BoxAnswer answer{IDCANCEL, FALSE};
  if (!g_answers.empty()) {
    answer = g_answers.front();
    g_answers.pop_front();
  }
  if (button) *button = answer.Button;
  if (verified) *verified = answer.DoNotAsk;
  return S_OK;
}

// ---- Counting sample renderers: calls per template.

std::map<std::wstring, int> g_renders;
enum RenderMode { RENDER_OK, RENDER_CANNOT, RENDER_THROW };
RenderMode g_renderMode = RENDER_OK;

bool CountingRender(const std::wstring& formatTemplate, const std::wstring&, UINT keyType,
                    const _KEYNUM_INFO& key, std::wstring& out) {
  ++g_renders[formatTemplate];
  if (g_renderMode == RENDER_THROW) throw std::runtime_error("renderer failed");
  if (g_renderMode == RENDER_CANNOT) return false;
  out = formatTemplate + L":" + std::to_wstring(keyType) + L":" + std::to_wstring(key.Data[0]);
  return true;
}

_FORMAT_INFO_EX MakeFormat(UINT id, const wchar_t* name, const wchar_t* tmpl, const wchar_t* params,
                           const wchar_t* comment, UINT keyFilters, UINT flags, const wchar_t* sample) {
  _FORMAT_INFO_EX format;
  format.Id = id;
  format.Name = name;
  format.Template = tmpl;
  format.Params = params;
  format.Comment = comment;
  format.KeyFilters = keyFilters;
  format.Flags = flags;
  format.Sample = sample;
  return format;
}

constexpr UINT kStored = FORMAT_MUST_STORE;

// Runs `step` on the first visible dialog of this thread once one shows, from inside the modal loop
// that shows it; a loaded machine shows it late, so it looks again every 50 ms (for ten seconds).
void RunWhenDialogShows(std::function<void(HWND)> step) {
  static std::function<void(HWND)> s_step;
  static int s_tries;
  s_step = std::move(step);
  s_tries = 0;
  struct Look {
    static void Again() {
      HWND dialog = nullptr;
      EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&dialog));
      if (dialog) {
        s_step(dialog);
      } else if (++s_tries < 200) {
        RunLater(&Look::Again, 50);
      }
    }
  };
  RunLater(&Look::Again, 50);
}


class FormatsPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kParentClass, DefWindowProcW));
    m_parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 900, 700, nullptr,
                               nullptr, nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    g_boxes.clear();
    g_answers.clear();
    g_renders.clear();
    g_renderMode = RENDER_OK;
    SampleRendererSeam.Render = nullptr;
    ResetDocument();
  }
  void TearDown() override {
    m_page.reset();
    DestroyWindow(m_parent);
    MessageBoxSeam = CMessageBoxSeam();
    SampleRendererSeam = CSampleRendererSeam();
    FileDialogSeam = CFileDialogSeam();
    ConfiguratorTest::TearDown();
  }

  // Ids 10..14: Alpha, a preset, Hidden (not on "Default"), Unsaved (the add-in needs it not), beta.
  void ResetDocument() {
    m_settings.formats = {
        MakeFormat(10, L"Alpha", L"T3", L"b", L"x", 0x1, FORMAT_SAVE_IN_VOMBRA | kStored, L"5"),
        MakeFormat(11, L"\n[P] Preset", L"T1", L"a", L"", 0x3, FORMAT_PRESET | kStored, L"12"),
        MakeFormat(12, L"Hidden", L"T2", L"a", L"x", 0x2, kStored, L"1"),
        MakeFormat(13, L"Unsaved", L"T1", L"c", L"", 0x1, 0, L""),
        MakeFormat(14, L"beta", L"", L"a", L"", 0x3, FORMAT_SAVE_IN_VOMBRA | kStored, L"5"),
    };
    for (auto& format : m_settings.formats) format.Flags |= FORMAT_SAMPLE_VALID;
    m_settings.ClearFormatIndex();
    _KEYFILTER_INFO cards;
    cards.Id = 1;
    cards.Name = L"Cards";
    cards.Flags = 1;
    _KEYFILTER_INFO tags;
    tags.Id = 2;
    tags.Name = L"Tags";
    m_settings.keyFilters = {cards, tags};
    m_settings.formatsViewFlags = 7;
    m_settings.fmtFilter = 0;
    m_settings.DefaultFormatId = 0;
    m_settings.formatsNewId = 100;
    m_settings.formatsSortColumn = 0;
    m_settings.configModified = false;
    m_settings.settingsModified = false;
  }

  void Open() {
    m_page.reset(new CFormatsPage(m_settings));
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_FORMATS, m_parent));
    ShowWindow(m_page->hwnd, SW_SHOW);
    ASSERT_NE(m_page->table.hwnd, nullptr);
  }
  HWND List() const { return m_page->table.hwnd; }

  std::vector<UINT> ShownIds() const {
    std::vector<UINT> ids;
    for (int index : m_page->data.rows) ids.push_back(m_settings.formats[size_t(index)].Id);
    return ids;
  }
  std::vector<UINT> ListIds() const {
    std::vector<UINT> ids;
    for (const auto& format : m_settings.formats) ids.push_back(format.Id);
    return ids;
  }
  // A cell's text as the list view asks the page for it.
  std::wstring CellText(int row, int kind) {
    const int column = m_page->table.GetHeaderIndex(kind);
    if (column < 0) return L"<hidden>";
    wchar_t buffer[256] = L"?";
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 256;
    SendMessageW(List(), LVM_GETITEMTEXTW, row, LPARAM(&item));
    return buffer;
  }
  int CellImage(int row, int kind) {
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iSubItem = m_page->table.GetHeaderIndex(kind);
    SendMessageW(List(), LVM_GETITEMW, 0, LPARAM(&item));
    return item.iImage;
  }
  int RowOf(UINT id) const {
    for (size_t row = 0; row < m_page->data.rows.size(); ++row)
      if (m_settings.formats[size_t(m_page->data.rows[row])].Id == id) return int(row);
    return -1;
  }
  // Selects the rows of these formats through the list view, as the user's clicks would.
  void Select(const std::vector<UINT>& ids) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
    state.state = LVIS_SELECTED;
    for (UINT id : ids) {
      const int row = RowOf(id);
      ASSERT_GE(row, 0) << id;
      SendMessageW(List(), LVM_SETITEMSTATE, row, LPARAM(&state));
    }
  }
  std::vector<UINT> SelectedIds() const {
    std::vector<UINT> ids;
    for (const auto& format : m_settings.formats)
      if (format.Flags & FORMAT_SELECTED) ids.push_back(format.Id);
    return ids;
  }
  void Key(UINT vk, bool ctrl = false, bool shift = false) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = ctrl ? 0x80 : 0;
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    keys[VK_MENU] = 0;
    SetKeyboardState(keys);
    SendMessageW(List(), WM_KEYDOWN, vk, 0);
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
  }
  LRESULT Notify(NMHDR* header, UINT code) {
    header->hwndFrom = List();
    header->idFrom = IDC_FORMATS_LIST;
    header->code = code;
    return SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_FORMATS_LIST, LPARAM(header));
  }
  // A click in the middle of a cell, as NM_CLICK reports it: x from the header item (its place in the
  // display order), y from the row.
  void ClickCell(UINT id, int kind) {
    const int column = m_page->table.GetHeaderIndex(kind);
    ASSERT_GE(column, 0);
    RECT header{};
    ASSERT_TRUE(SendMessageW(HWND(SendMessageW(List(), LVM_GETHEADER, 0, 0)), HDM_GETITEMRECT, column,
                             LPARAM(&header)));
    RECT row{};
    row.left = LVIR_BOUNDS;
    ASSERT_TRUE(SendMessageW(List(), LVM_GETITEMRECT, RowOf(id), LPARAM(&row)));
    NMITEMACTIVATE click{};
    click.iItem = RowOf(id);
    click.iSubItem = column;
    click.ptAction = {(header.left + header.right) / 2, (row.top + row.bottom) / 2};
    Notify(&click.hdr, NM_CLICK);
  }
  void ShowAllColumns() {
    for (auto& column : m_settings.formatsColumns) column.flags |= COLUMN_VISIBLE;
  }

  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CFormatsPage> m_page;
};

// ---- Rows per view flags and filter.

TEST_F(FormatsPageTest, ViewFlagsAndFilterChooseTheRows) {
  struct Case {
    UINT ViewFlags;
    UINT Filter;
    std::vector<UINT> Ids;
  };
  const Case cases[] = {
      {7, 0, {10, 11, 12, 13, 14}},  // all three: every format
      {6, 0, {10, 12, 13, 14}},      // no presets
      {5, 0, {10, 11, 13, 14}},      // no hidden: Hidden lacks bit 0
      {3, 0, {10, 11, 12, 14}},      // no unsaved
      {1, 0, {10, 11, 14}},
      {0, 0, {10, 14}},
      {5, 1, {11, 12, 14}},          // the same flags on filter 1: its own bit
      {1, 1, {11, 12, 14}},
      {4, 1, {12, 14}},
      {5, 2, {}},                    // nobody has bit 2
      {7, 2, {10, 11, 12, 13, 14}},
  };
  Open();
  for (const Case& c : cases) {
    m_settings.SetFormatsFilter(c.Filter);
    m_settings.SetFormatsViewFlags(7, false);
    m_settings.SetFormatsViewFlags(c.ViewFlags, true);
    EXPECT_EQ(ShownIds(), c.Ids) << c.ViewFlags << "/" << c.Filter;
    EXPECT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), LPARAM(c.Ids.size())) << c.ViewFlags;
    if (!c.Ids.empty()) {
      EXPECT_EQ(CellText(0, FMTCOL_NAME), m_settings.formats[size_t(m_page->data.rows[0])].Name);
    }
    for (UINT id : {ID_FORMATS_SHOW_PRESETS, ID_FORMATS_SHOW_HIDDEN, ID_FORMATS_SHOW_UNSAVED}) {
      const UINT flag = 1u << (id - ID_FORMATS_SHOW_PRESETS);
      EXPECT_EQ(IsDlgButtonChecked(m_page->hwnd, int(id)) == BST_CHECKED, (c.ViewFlags & flag) != 0) << id;
    }
  }
}

TEST_F(FormatsPageTest, ViewBoxClickTogglesItsFlagAndRebuilds) {
  Open();
  SendDlgItemMessageW(m_page->hwnd, ID_FORMATS_SHOW_PRESETS, BM_CLICK, 0, 0);
  EXPECT_EQ(m_settings.formatsViewFlags, 6u);
  EXPECT_EQ(ShownIds(), (std::vector<UINT>{10, 12, 13, 14}));
  EXPECT_FALSE(IsDlgButtonChecked(m_page->hwnd, ID_FORMATS_SHOW_PRESETS));
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_SHOW_HIDDEN, 0);  // the menu's View item
  EXPECT_EQ(m_settings.formatsViewFlags, 4u);
  EXPECT_EQ(ShownIds(), (std::vector<UINT>{10, 13, 14}));
  EXPECT_TRUE(m_settings.configModified);
}

TEST_F(FormatsPageTest, EmptyListAnswersItsMarkupCentred) {
  struct Case {
    LANGID Language;
    const wchar_t* Text;
    const wchar_t* FirstTab;
  };
  const Case cases[] = {{kEnglishUi, L"List is empty.", L"Default"},
                        {kRussianUi, L"Список пустой.", L"По умолчанию"}};
  for (const Case& c : cases) {
    SetUILanguage(c.Language);
    m_settings.formats.clear();
    Open();
    EXPECT_EQ(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), 0);
    NMLVEMPTYMARKUP markup{};
    EXPECT_EQ(Notify(&markup.hdr, LVN_GETEMPTYMARKUP), TRUE);
    EXPECT_EQ(markup.dwFlags, DWORD(EMF_CENTERED));
    EXPECT_STREQ(markup.szMarkup, c.Text);
    wchar_t tab[64] = L"";
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = tab;
    item.cchTextMax = 64;
    SendMessageW(m_page->tabCtrl, TCM_GETITEMW, 0, LPARAM(&item));
    EXPECT_STREQ(tab, c.FirstTab);
  }
}

TEST_F(FormatsPageTest, CellsShowEveryColumnKind) {
  ShowAllColumns();
  m_settings.DefaultFormatId = 12;
  Open();
  const int row = RowOf(12);
  EXPECT_EQ(CellText(row, FMTCOL_NUMBER), L"3");
  EXPECT_EQ(CellText(row, FMTCOL_ID), L"12");
  EXPECT_EQ(CellText(row, FMTCOL_NAME), L"Hidden");
  EXPECT_EQ(CellText(row, FMTCOL_TEMPLATE), L"T2");
  EXPECT_EQ(CellText(row, FMTCOL_PARAMS), L"a");
  EXPECT_EQ(CellText(row, FMTCOL_COMMENT), L"x");
  EXPECT_EQ(CellText(row, FMTCOL_SAMPLE), L"1");
  EXPECT_EQ(CellImage(row, FMTCOL_CHOICE), 4);
  EXPECT_EQ(CellImage(RowOf(10), FMTCOL_CHOICE), 3);
  EXPECT_EQ(CellImage(row, FMTCOL_SAVE), 0);
  EXPECT_EQ(CellImage(RowOf(10), FMTCOL_SAVE), 1);
  EXPECT_EQ(CellImage(row, FMTCOL_VISIBLE), 0);  // bit 0 clear
  EXPECT_EQ(CellImage(RowOf(14), FMTCOL_VISIBLE), 1);
}

// ---- Sorting.

TEST_F(FormatsPageTest, SortsByEachKindBothWaysStably) {
  struct Case {
    int Kind;
    std::vector<UINT> Ascending;
    std::vector<UINT> Descending;
  };
  // Chosen: 13. Stable: equal values keep the list order.
  const Case cases[] = {
      {FMTCOL_CHOICE, {10, 11, 12, 14, 13}, {13, 10, 11, 12, 14}},
      {FMTCOL_NUMBER, {10, 11, 12, 13, 14}, {10, 11, 12, 13, 14}},
      {FMTCOL_ID, {10, 11, 12, 13, 14}, {14, 13, 12, 11, 10}},
      {FMTCOL_NAME, {11, 10, 12, 13, 14}, {14, 13, 12, 10, 11}},  // LF first, upper case before lower
      {FMTCOL_TEMPLATE, {14, 11, 13, 12, 10}, {10, 12, 11, 13, 14}},
      {FMTCOL_PARAMS, {11, 12, 14, 10, 13}, {13, 10, 11, 12, 14}},
      {FMTCOL_COMMENT, {11, 13, 14, 10, 12}, {10, 12, 11, 13, 14}},
      {FMTCOL_SAMPLE, {13, 12, 11, 10, 14}, {10, 14, 11, 12, 13}},  // "" < "1" < "12" < "5"
      {FMTCOL_SAVE, {11, 12, 13, 10, 14}, {10, 14, 11, 12, 13}},
      {FMTCOL_VISIBLE, {12, 10, 11, 13, 14}, {10, 11, 13, 14, 12}},
  };
  for (const Case& c : cases) {
    for (int direction : {1, -1}) {
      ResetDocument();
      m_settings.DefaultFormatId = 13;
      Open();
      const int key = direction * (c.Kind + 1);
      _TBLN_SORT_INFO sort{};
      sort.sort = key;
      EXPECT_EQ(Notify(&sort.hdr, TBLN_SORT), 1);
      EXPECT_EQ(ListIds(), direction > 0 ? c.Ascending : c.Descending) << key;
      EXPECT_EQ(ShownIds(), ListIds()) << key;
      EXPECT_EQ(m_settings.formatsSortColumn, key);
      EXPECT_EQ(m_page->table.sort, key);
      EXPECT_EQ(m_settings.FindFormatIndex(m_settings.formats[0].Id), 0) << key;  // index rebuilt
    }
  }
}

TEST_F(FormatsPageTest, HeaderClicksSortAndAnEditRemovesTheMark) {
  Open();
  const int nameColumn = m_page->table.GetHeaderIndex(FMTCOL_NAME);
  NMLISTVIEW click{};
  click.iItem = -1;
  click.iSubItem = nameColumn;
  Notify(&click.hdr, LVN_COLUMNCLICK);
  EXPECT_EQ(m_settings.formatsSortColumn, FMTCOL_NAME + 1);
  EXPECT_EQ(ListIds(), (std::vector<UINT>{11, 10, 12, 13, 14}));
  Notify(&click.hdr, LVN_COLUMNCLICK);
  EXPECT_EQ(m_settings.formatsSortColumn, -(FMTCOL_NAME + 1));
  EXPECT_EQ(ListIds(), (std::vector<UINT>{14, 13, 12, 10, 11}));
  int item = -2;
  bool ascending = true;
  ASSERT_TRUE(m_page->table.GetSortMark(&item, &ascending));
  EXPECT_EQ(item, nameColumn);
  EXPECT_FALSE(ascending);

  Select({12});
  Key(VK_DELETE, false, true);  // an edit of the list
  EXPECT_EQ(m_settings.formatsSortColumn, 0);
  EXPECT_EQ(m_page->table.sort, 0);
  EXPECT_FALSE(m_page->table.GetSortMark(&item, &ascending));
}

TEST_F(FormatsPageTest, SortMarksTheConfigurationOnlyWhenSortsAreRemembered) {
  for (UINT history : {UINT(HISTORY_DEFAULT), UINT(HISTORY_POSITIONS)}) {
    ResetDocument();
    m_settings.History = history;
    Open();
    m_page->SortFormats(FMTCOL_ID + 1);
    EXPECT_EQ(m_settings.configModified, (history & HISTORY_SORT_COLUMNS) != 0) << history;
    EXPECT_EQ(m_settings.formatsSortColumn, FMTCOL_ID + 1);
  }
}

// ---- Choice, Save and Visible.

TEST_F(FormatsPageTest, TogglesFollowTheCurrentFilter) {
  struct Case {
    UINT Filter;
    int Kind;
    UINT Id;
    bool BySpace;
    UINT DefaultFormatId;  // after
    UINT CardsFormatId;    // filter 1's, after
    UINT Flags;            // the format's FORMAT_SAVE_IN_VOMBRA after
    UINT KeyFilters;       // the format's, after
  };
  const Case cases[] = {
      {0, FMTCOL_CHOICE, 12, false, 12, 0, 0, 0x2},
      {0, FMTCOL_CHOICE, 13, true, 13, 0, 0, 0x1},
      {1, FMTCOL_CHOICE, 10, false, 0, 10, FORMAT_SAVE_IN_VOMBRA, 0x1},
      {7, FMTCOL_CHOICE, 10, false, 0, 0, FORMAT_SAVE_IN_VOMBRA, 0x1},  // no such key filter: nothing
      {0, FMTCOL_SAVE, 12, false, 0, 0, FORMAT_SAVE_IN_VOMBRA, 0x2},
      {1, FMTCOL_SAVE, 10, true, 0, 0, 0, 0x1},
      {0, FMTCOL_VISIBLE, 12, false, 0, 0, 0, 0x3},
      {1, FMTCOL_VISIBLE, 14, false, 0, 0, FORMAT_SAVE_IN_VOMBRA, 0x1},
      {2, FMTCOL_VISIBLE, 10, true, 0, 0, FORMAT_SAVE_IN_VOMBRA, 0x5},
  };
  for (const Case& c : cases) {
    ResetDocument();
    m_settings.fmtFilter = c.Filter;
    // Only the toggled kind among the three is shown, so Space picks it.
    for (int kind : {int(FMTCOL_CHOICE), int(FMTCOL_SAVE), int(FMTCOL_VISIBLE)}) {
      auto& flags = m_settings.formatsColumns[size_t(kind)].flags;
      flags = kind == c.Kind ? (flags | COLUMN_VISIBLE) : (flags & ~UINT(COLUMN_VISIBLE));
    }
    Open();
    if (c.BySpace) {
      Select({c.Id});
      Key(VK_SPACE);
    } else {
      ClickCell(c.Id, c.Kind);
    }
    const _FORMAT_INFO_EX& format = m_settings.formats[size_t(m_settings.FindFormatIndex(c.Id))];
    EXPECT_EQ(m_settings.DefaultFormatId, c.DefaultFormatId) << c.Filter << "/" << c.Kind;
    EXPECT_EQ(m_settings.keyFilters[0].FormatId, c.CardsFormatId) << c.Filter << "/" << c.Kind;
    EXPECT_EQ(format.Flags & FORMAT_SAVE_IN_VOMBRA, c.Flags) << c.Filter << "/" << c.Kind;
    EXPECT_EQ(format.KeyFilters, c.KeyFilters) << c.Filter << "/" << c.Kind;
    if (c.Kind == FMTCOL_CHOICE && c.Filter != 7) {
      EXPECT_EQ(m_page->data.ChosenId, c.Id);
      EXPECT_EQ(CellImage(RowOf(c.Id), FMTCOL_CHOICE), 4);
      EXPECT_TRUE(m_settings.settingsModified);
      ClickCell(c.Id, FMTCOL_CHOICE);  // again: the default is cleared
      EXPECT_EQ(m_page->data.ChosenId, 0u);
      EXPECT_EQ(m_settings.DefaultFormatId + m_settings.keyFilters[0].FormatId, 0u);
    }
    if (c.Filter == 7) {
      EXPECT_FALSE(m_settings.settingsModified);
    }
  }
}

TEST_F(FormatsPageTest, SpaceTogglesTheLeftmostKindForEverySelectedRow) {
  for (int kind : {int(FMTCOL_CHOICE), int(FMTCOL_SAVE), int(FMTCOL_VISIBLE)})
    m_settings.formatsColumns[size_t(kind)].flags |= COLUMN_VISIBLE;
  m_settings.formatsColumns[FMTCOL_VISIBLE].order = -1;  // Visible leftmost
  Open();
  Select({10, 13});
  Key(VK_SPACE);
  EXPECT_EQ(m_settings.formats[0].KeyFilters, 0u);
  EXPECT_EQ(m_settings.formats[3].KeyFilters, 0u);
  EXPECT_EQ(m_settings.DefaultFormatId, 0u);
  EXPECT_EQ(m_settings.formats[0].Flags & FORMAT_SAVE_IN_VOMBRA, UINT(FORMAT_SAVE_IN_VOMBRA));
}

// ---- Delete.

TEST_F(FormatsPageTest, DeleteAsksAndNeverRemovesPresets) {
  struct Case {
    std::vector<UINT> Selected;
    UINT Confirm;
    bool Shift;
    BoxAnswer Answer;
    std::vector<std::wstring> Questions;
    std::vector<UINT> Remaining;
    UINT ConfirmAfter;
  };
  const Case cases[] = {
      {{10}, CONFIRM_DEFAULT, false, {IDOK, FALSE}, {L"Remove \"Alpha\"?"}, {11, 12, 13, 14},
       CONFIRM_DEFAULT},
      {{10, 14}, CONFIRM_DEFAULT, false, {IDCANCEL, FALSE}, {L"Remove 2 items?"}, {10, 11, 12, 13, 14},
       CONFIRM_DEFAULT},
      {{11}, CONFIRM_DEFAULT, false, {IDOK, FALSE}, {}, {10, 11, 12, 13, 14}, CONFIRM_DEFAULT},
      {{11}, CONFIRM_DEFAULT, true, {IDOK, FALSE}, {}, {10, 11, 12, 13, 14}, CONFIRM_DEFAULT},
      {{10, 11}, CONFIRM_DEFAULT, false, {IDOK, FALSE}, {L"Remove \"Alpha\"?"}, {11, 12, 13, 14},
       CONFIRM_DEFAULT},
      {{10, 14}, CONFIRM_DEFAULT, true, {IDCANCEL, FALSE}, {}, {11, 12, 13}, CONFIRM_DEFAULT},
      {{12, 13}, CONFIRM_DEFAULT & ~UINT(CONFIRM_DELETE_ITEM), false, {IDCANCEL, FALSE}, {}, {10, 11, 14},
       CONFIRM_DEFAULT & ~UINT(CONFIRM_DELETE_ITEM)},
      {{13}, CONFIRM_DEFAULT, false, {IDOK, TRUE}, {L"Remove \"Unsaved\"?"}, {10, 11, 12, 14},
       CONFIRM_DEFAULT & ~UINT(CONFIRM_DELETE_ITEM)},
      {{13}, CONFIRM_DEFAULT, false, {IDCANCEL, TRUE}, {L"Remove \"Unsaved\"?"}, {10, 11, 12, 13, 14},
       CONFIRM_DEFAULT & ~UINT(CONFIRM_DELETE_ITEM)},
  };
  for (const Case& c : cases) {
    ResetDocument();
    m_settings.ConfirmFlags = c.Confirm;
    g_boxes.clear();
    g_answers = {c.Answer};
    Open();
    Select(c.Selected);
    Key(VK_DELETE, false, c.Shift);
    std::vector<std::wstring> asked;
    for (const SeenBox& box : g_boxes) {
      asked.push_back(box.Content);
      EXPECT_TRUE(box.HasDoNotAsk);
    }
    EXPECT_EQ(asked, c.Questions) << c.Selected.size();
    EXPECT_EQ(ListIds(), c.Remaining) << c.Selected.size() << c.Shift;
    EXPECT_EQ(ShownIds(), c.Remaining);
    EXPECT_EQ(m_settings.ConfirmFlags, c.ConfirmAfter);
    for (const auto& format : m_settings.formats) EXPECT_FALSE(format.Flags & FORMAT_DELETED) << format.Id;
  }
}

TEST_F(FormatsPageTest, DeleteLeavesSelectedFormatsTheViewHides) {
  m_settings.formatsViewFlags = 5;  // Hidden (12) not shown
  m_settings.ConfirmFlags = 0;
  Open();
  Select({10});
  m_settings.formats[2].Flags |= FORMAT_SELECTED;
  Key(VK_DELETE);
  EXPECT_EQ(ListIds(), (std::vector<UINT>{11, 12, 13, 14}));
}

// ---- Duplicate.

TEST_F(FormatsPageTest, DuplicateInsertsUniqueCopiesAfterTheirSources) {
  struct Case {
    std::vector<UINT> Selected;
    const wchar_t* ExtraName;  // a format added first, or null
    std::vector<UINT> Ids;
    std::vector<std::wstring> CopyNames;  // of the new ids, in list order
    UINT Focused;
  };
  const Case cases[] = {
      {{11}, nullptr, {10, 11, 100, 12, 13, 14}, {L"Preset"}, 100},
      {{11}, L"Preset", {10, 11, 100, 12, 13, 14, 15}, {L"Preset (2)"}, 100},
      {{10, 14}, nullptr, {10, 101, 11, 12, 13, 14, 100}, {L"Alpha (2)", L"beta (2)"}, 101},
  };
  for (const Case& c : cases) {
    ResetDocument();
    if (c.ExtraName) {
      m_settings.formats.push_back(MakeFormat(15, c.ExtraName, L"", L"", L"", 1, kStored, L""));
      m_settings.ClearFormatIndex();
    }
    Open();
    Select(c.Selected);
    Key('D', true);
    EXPECT_EQ(ListIds(), c.Ids) << c.Selected.size();
    std::vector<std::wstring> names;
    for (const auto& format : m_settings.formats) {
      if (format.Id < 100) continue;
      names.push_back(format.Name);
      EXPECT_FALSE(format.Flags & FORMAT_PRESET);
    }
    EXPECT_EQ(names, c.CopyNames);
    EXPECT_EQ(ShownIds(), ListIds());
    // The copy of the topmost selected format is the one selected, focused row.
    EXPECT_EQ(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0), 1);
    EXPECT_EQ(int(SendMessageW(List(), LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED)), RowOf(c.Focused));
    EXPECT_EQ(SelectedIds(), (std::vector<UINT>{c.Focused}));
    EXPECT_TRUE(m_settings.configModified);
  }
}

// ---- Drag and drop.

TEST_F(FormatsPageTest, DropMovesTheSelectedShownFormats) {
  struct Case {
    UINT ViewFlags;
    std::vector<UINT> Selected;
    std::vector<UINT> SelectedHidden;  // selected in the document while the view hides them
    int Row;
    bool After;
    std::vector<UINT> Ids;
  };
  const Case cases[] = {
      {7, {10, 11}, {}, 1, false, {10, 11, 12, 13, 14}},   // onto the run
      {7, {10, 11}, {}, 1, true, {10, 11, 12, 13, 14}},    // right after it
      {7, {10, 11}, {}, 0, false, {10, 11, 12, 13, 14}},   // before its first
      {7, {10, 11}, {}, 3, false, {12, 10, 11, 13, 14}},
      {7, {10, 11}, {}, 3, true, {12, 13, 10, 11, 14}},
      {7, {10, 11}, {}, kDropAtEnd, false, {12, 13, 14, 10, 11}},
      {7, {12, 14}, {}, 0, false, {12, 14, 10, 11, 13}},
      {7, {10, 13}, {}, 4, true, {11, 12, 14, 10, 13}},    // after the last row: the end
      {5, {14}, {12}, 0, false, {14, 10, 11, 12, 13}},     // the hidden selected format stays
  };
  for (const Case& c : cases) {
    ResetDocument();
    m_settings.formatsViewFlags = c.ViewFlags;
    Open();
    Select(c.Selected);
    for (UINT id : c.SelectedHidden)
      m_settings.formats[size_t(m_settings.FindFormatIndex(id))].Flags |= FORMAT_SELECTED;
    _TBLN_DRAG_INFO drop{};
    drop.row = c.Row;
    drop.after = c.After;
    drop.cursor = 1;
    Notify(&drop.hdr, TBLN_DROP);
    EXPECT_EQ(ListIds(), c.Ids) << c.Row << c.After;
    // A drop that moves nothing edits nothing (the sort column and the modified flag stay).
    const std::vector<UINT> unchanged{10, 11, 12, 13, 14};
    EXPECT_EQ(m_settings.configModified, c.Ids != unchanged) << c.Row << c.After;
    std::vector<UINT> selected = c.Selected;
    selected.insert(selected.end(), c.SelectedHidden.begin(), c.SelectedHidden.end());
    EXPECT_EQ(SelectedIds().size(), selected.size());
  }
}

TEST_F(FormatsPageTest, CancelledDropMovesNothing) {
  Open();
  Select({10});
  _TBLN_DRAG_INFO drop{};
  drop.row = 4;
  drop.cancelled = true;
  Notify(&drop.hdr, TBLN_DROP);
  EXPECT_EQ(ListIds(), (std::vector<UINT>{10, 11, 12, 13, 14}));
  EXPECT_FALSE(m_settings.configModified);
}

// ---- Selection, reader format, buttons.

TEST_F(FormatsPageTest, SelectionLivesInTheRecords) {
  Open();
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMAT_SELECT_ALL, 0);
  EXPECT_EQ(SelectedIds(), (std::vector<UINT>{10, 11, 12, 13, 14}));
  m_page->OnIdle();
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_DELETE)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_ADD)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_CHANGE)));
  Select({});
  m_page->OnIdle();
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_ADD)));  // always
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_CHANGE)));
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMAT_CHANGE, 0);  // nothing selected: no dialog
  Select({11});
  m_page->OnIdle();
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(m_page->hwnd, ID_FORMAT_DELETE)));  // a preset only
  // Re-filtering keeps it: the row comes back selected.
  m_settings.SetFormatsViewFlags(FORMATS_VIEW_PRESETS, false);
  EXPECT_EQ(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0), 0);
  m_settings.SetFormatsViewFlags(FORMATS_VIEW_PRESETS, true);
  EXPECT_EQ(SelectedIds(), (std::vector<UINT>{11}));
  EXPECT_EQ(int(SendMessageW(List(), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)), RowOf(11));

  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_SET_READER_FORMAT, 0);
  EXPECT_EQ(m_settings.FormatId, 11u);
  Select({10, 14});
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_SET_READER_FORMAT, 0);  // two rows: nothing
  EXPECT_EQ(m_settings.FormatId, 11u);
  EXPECT_EQ(ListIds(), (std::vector<UINT>{10, 11, 12, 13, 14}));
}

// ---- Filter tabs.

TEST_F(FormatsPageTest, FilterTabsFollowTheKeyFilters) {
  m_settings.keyFilters[0].FormatId = 10;
  Open();
  HWND tabs = m_page->tabCtrl;
  ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
  auto tab = [&](int i) {
    wchar_t text[64] = L"";
    TCITEMW item{};
    item.mask = TCIF_TEXT | TCIF_PARAM | TCIF_IMAGE;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(tabs, TCM_GETITEMW, i, LPARAM(&item));
    return std::wstring(text) + L"/" + std::to_wstring(item.lParam) + L"/" + std::to_wstring(item.iImage);
  };
  EXPECT_EQ(tab(0), L"Default/0/0");
  EXPECT_EQ(tab(1), L"Cards/1/1");

  // The tab menu's item for "Tags" shows it and makes it current.
  SendMessageW(m_page->hwnd, WM_COMMAND, 2000 + 1, 0);
  ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_EQ(tab(2), L"Tags/2/0");
  EXPECT_EQ(m_settings.fmtFilter, 2u);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(ShownIds(), (std::vector<UINT>{10, 11, 12, 13, 14}));

  // Selecting a tab switches the filter.
  SendMessageW(tabs, TCM_SETCURSEL, 1, 0);
  NMHDR change{tabs, IDC_FORMATS_TABS, UINT(TCN_SELCHANGE)};
  SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_FORMATS_TABS, LPARAM(&change));
  EXPECT_EQ(m_settings.fmtFilter, 1u);
  EXPECT_EQ(m_page->data.ChosenId, 10u);

  // Hiding the current filter's tab goes back to "Default".
  SendMessageW(m_page->hwnd, WM_COMMAND, 2000 + 0, 0);
  EXPECT_EQ(m_settings.fmtFilter, 0u);
  ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
  EXPECT_EQ(tab(1), L"Tags/2/0");
}

// ---- Column sets.

TEST_F(FormatsPageTest, ChangedWidthReachesTheConfigurationFile) {
  ScratchFolder folder;
  m_settings.configPath = folder / L"ConfigVombra.xml";
  Open();
  const int column = m_page->table.GetHeaderIndex(FMTCOL_NAME);
  ASSERT_GE(column, 0);
  m_page->UpdateData(true);  // nothing changed: nothing stored
  EXPECT_FALSE(m_settings.configModified);
  SendMessageW(List(), LVM_SETCOLUMNWIDTH, column, 233);
  m_page->table.NotifyColumnsChanged(COLCHANGE_WIDTH, FMTCOL_NAME);
  EXPECT_TRUE(m_settings.configModified);
  EXPECT_TRUE(m_page->columnsDirty);
  m_page->table.columns[FMTCOL_NAME].width = 233;
  m_page->UpdateData(true);
  EXPECT_FALSE(m_page->columnsDirty);
  EXPECT_EQ(m_settings.formatsColumns[FMTCOL_NAME].width, 233);
  m_settings.SaveConfig(false);

  CAppSettings reread;
  reread.configPath = m_settings.configPath;
  reread.LoadConfig(true);  // with the layout
  ASSERT_EQ(reread.formatsColumns.size(), size_t(FMTCOL_COUNT));
  EXPECT_EQ(reread.formatsColumns[FMTCOL_NAME].width, 233);
}

TEST_F(FormatsPageTest, ResetColumnsGivesTheDefaults) {
  m_settings.ConfirmFlags = 0;
  m_settings.formatsColumns[FMTCOL_NAME].width = 999;
  Open();
  std::vector<_COLUMN_INFO> records = m_page->table.columns;
  _TBLN_RESET_INFO reset{};
  reset.columns = &records;
  EXPECT_EQ(Notify(&reset.hdr, TBLN_RESETCOLUMNS), 1);
  const COLUMN_SET defaults = DefaultColumnSet(CS_FORMATS);
  ASSERT_EQ(records.size(), defaults.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].width, defaults[i].width) << i;
    EXPECT_EQ(records[i].order, defaults[i].order) << i;
    EXPECT_EQ(records[i].flags, defaults[i].flags) << i;
  }
  // Asked first when the confirmation is on; Cancel answers 0.
  m_settings.ConfirmFlags = CONFIRM_RESET_TO_DEFAULT;
  g_answers = {{IDCANCEL, FALSE}};
  EXPECT_EQ(Notify(&reset.hdr, TBLN_RESETCOLUMNS), 0);
  EXPECT_EQ(g_boxes.size(), 1u);
}

// ---- Samples.

TEST_F(FormatsPageTest, EachShownFormatIsRenderedOnceUntilTheKeyOrListChanges) {
  SampleRendererSeam.Render = &CountingRender;
  _KEYNUM_INFO key{};
  key.Length = 5;
  key.Data[0] = 7;
  m_settings.lastKeyType = 3;
  m_settings.lastKey = key;
  for (auto& format : m_settings.formats) format.Flags &= ~FORMAT_SAMPLE_VALID;
  m_settings.formatsViewFlags = 5;  // Hidden (T2) is not shown and never rendered
  Open();
  for (int pass = 0; pass < 3; ++pass) {
    RedrawWindow(List(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    for (int row = 0; row < 4; ++row) CellText(row, FMTCOL_SAMPLE);
  }
  EXPECT_EQ(g_renders, (std::map<std::wstring, int>{{L"T3", 1}, {L"T1", 2}, {L"", 1}}));  // T1: two formats
  EXPECT_EQ(CellText(RowOf(10), FMTCOL_SAMPLE), L"T3:3:7");

  key.Data[0] = 9;
  m_settings.SetLastKey(3, key);
  for (int row = 0; row < 4; ++row) CellText(row, FMTCOL_SAMPLE);
  RedrawWindow(List(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  EXPECT_EQ(g_renders, (std::map<std::wstring, int>{{L"T3", 2}, {L"T1", 4}, {L"", 2}}));
  EXPECT_EQ(CellText(RowOf(10), FMTCOL_SAMPLE), L"T3:3:9");

  m_settings.FormatsChanged(false);
  for (int row = 0; row < 4; ++row) CellText(row, FMTCOL_SAMPLE);
  EXPECT_EQ(g_renders, (std::map<std::wstring, int>{{L"T3", 3}, {L"T1", 6}, {L"", 3}}));
}

TEST_F(FormatsPageTest, UnrenderableSamplesAreEmptyAndAskedOnce) {
  struct Case {
    RenderMode Mode;
    BYTE KeyLength;
    int Calls;  // for format 10
  };
  const Case cases[] = {{RENDER_CANNOT, 5, 1}, {RENDER_THROW, 5, 1}, {RENDER_OK, 0, 0}};
  for (const Case& c : cases) {
    ResetDocument();
    SampleRendererSeam.Render = &CountingRender;
    g_renders.clear();
    g_renderMode = c.Mode;
    m_settings.lastKey = {};
    m_settings.lastKey.Length = c.KeyLength;
    for (auto& format : m_settings.formats) format.Flags &= ~FORMAT_SAMPLE_VALID;  // stale "5" of another key
    Open();
    for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(CellText(RowOf(10), FMTCOL_SAMPLE), L"") << c.Mode;
    RedrawWindow(List(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    EXPECT_EQ(g_renders[L"T3"], c.Calls) << c.Mode;
    EXPECT_TRUE(m_settings.formats[0].Flags & FORMAT_SAMPLE_VALID);
  }
  // The configurator's own answer for now: nothing can be rendered.
  ResetDocument();
  SampleRendererSeam = CSampleRendererSeam();
  m_settings.lastKey.Length = 5;
  m_settings.formats[0].Flags &= ~FORMAT_SAMPLE_VALID;
  Open();
  EXPECT_EQ(CellText(RowOf(10), FMTCOL_SAMPLE), L"");
}

// ---- The last key and the key filters.

TEST_F(FormatsPageTest, ChangeLastKeyOpensTheKeyDialogOnTheDocumentsKey) {
  // The key dialog stores into the application's document, so the page works on that one here.
  CAppSettings& settings = theApp.settings;
  _KEYNUM_INFO key{};
  key.Length = 5;
  key.Data[0] = 0x21;
  key.Data[4] = 0xAB;
  settings.lastKey = key;
  settings.lastKeyType = 2;
  settings.keyEditFormat = KEY_INPUT_HEX;
  m_page.reset(new CFormatsPage());
  ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_FORMATS, m_parent));
  for (int answer : {IDCANCEL, IDOK}) {
    static std::wstring s_shown;
    static int s_answer;
    s_shown.clear();
    s_answer = answer;
    RunWhenDialogShows([](HWND dialog) {
      wchar_t text[64] = L"";
      GetDlgItemTextW(dialog, IDC_KEY_NUMBER, text, 64);
      s_shown = text;
      PostMessageW(dialog, WM_COMMAND, s_answer, 0);
    });
    EXPECT_EQ(m_page->OnChangeLastKey(), answer == IDOK);
    std::wstring expected;
    FormatKeyText(key, KEY_INPUT_HEX, expected);
    EXPECT_EQ(s_shown, expected);
    EXPECT_EQ(settings.lastKey.Length, 5);
    EXPECT_EQ(settings.lastKey.Data[4], 0xAB);
  }
  m_page.reset();
}

TEST_F(FormatsPageTest, AddAndChangeOpenTheFormatDialog) {
  // The format dialog edits the application's document, so the page works on that one here.
  CAppSettings& settings = theApp.settings;
  settings.formats = {MakeFormat(10, L"Alpha", L"T3", L"b", L"x", 0x1, FORMAT_SAVE_IN_VOMBRA, L"5")};
  m_page.reset(new CFormatsPage());
  ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_FORMATS, m_parent));
  struct Case {
    UINT command;
    bool selected;
    const wchar_t* name;      // the name field as the dialog opens, null: no dialog
    const wchar_t* templ;
  };
  const Case cases[] = {
      {ID_FORMAT_ADD, false, L"Format", L""},
      {ID_FORMAT_CHANGE, true, L"Alpha", L"T3"},
      {ID_FORMAT_CHANGE, false, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    static std::wstring s_name, s_template;
    static bool s_opened;
    s_name.clear();
    s_template.clear();
    s_opened = false;
    if (c.selected)
      settings.formats[0].Flags |= FORMAT_SELECTED;
    else
      settings.formats[0].Flags &= ~FORMAT_SELECTED;
    // Where no dialog may open, one that did would hang the test.
    if (c.name) {
      RunWhenDialogShows([](HWND dialog) {
        s_opened = true;
        wchar_t text[64] = L"";
        GetDlgItemTextW(dialog, IDC_FORMAT_NAME, text, 64);
        s_name = text;
        GetDlgItemTextW(dialog, IDC_FORMAT_TEMPLATE, text, 64);
        s_template = text;
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      });
    }
    SendMessageW(m_page->hwnd, WM_COMMAND, c.command, 0);
    EXPECT_EQ(s_opened, c.name != nullptr) << c.command;
    if (c.name) {
      EXPECT_EQ(s_name, c.name);
      EXPECT_EQ(s_template, c.templ);
    }
    ASSERT_EQ(settings.formats.size(), 1u);  // Cancel adds and changes nothing
    EXPECT_EQ(settings.formats[0].Template, L"T3");
  }
  m_page.reset();
}

TEST_F(FormatsPageTest, ResetToDefaultReplacesTheKeyFilters) {
  for (BoxAnswer answer : {BoxAnswer{IDCANCEL, FALSE}, BoxAnswer{IDOK, TRUE}}) {
    ResetDocument();
    m_settings.ConfirmFlags = CONFIRM_DEFAULT;
    g_boxes.clear();
    g_answers = {answer};
    Open();
    SendMessageW(m_page->hwnd, WM_COMMAND, ID_FILTER_RESET, 0);
    EXPECT_EQ(g_boxes.size(), 1u);
    const std::vector<_KEYFILTER_INFO> defaults = DefaultKeyFilters();
    if (answer.Button == IDOK) {
      ASSERT_EQ(m_settings.keyFilters.size(), defaults.size());
      EXPECT_EQ(m_settings.KeyFilterNewId, defaults.back().Id + 1);
      EXPECT_EQ(m_settings.ConfirmFlags & CONFIRM_RESET_TO_DEFAULT, 0u);
      int shown = 0;
      for (const auto& filter : defaults) shown += (filter.Flags & 1) ? 1 : 0;
      EXPECT_EQ(SendMessageW(m_page->tabCtrl, TCM_GETITEMCOUNT, 0, 0), 1 + shown);
    } else {
      EXPECT_EQ(m_settings.keyFilters.size(), 2u);
      EXPECT_EQ(m_settings.keyFilters[0].Name, L"Cards");
    }
  }
}

// ---- Menus.

TEST_F(FormatsPageTest, ListMenuShowsHotKeysAndState) {
  Open();
  Select({11});
  // Read the popup while TrackPopupMenu runs, then close it.
  static std::vector<std::wstring> s_texts;
  static UINT s_deleteState, s_duplicateState, s_readerState, s_presetCheck, s_addState;
  s_texts.clear();
  SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    HMENU menu = nullptr;
    HWND menuWnd = FindThreadWindow(L"#32768");
    if (menuWnd) menu = HMENU(SendMessageW(menuWnd, MN_GETHMENU, 0, 0));
    if (menu) {
      for (UINT cmd : {UINT(ID_FORMAT_ADD), UINT(ID_FORMAT_CHANGE), UINT(ID_FORMAT_DELETE),
                       UINT(ID_FORMAT_SELECT_ALL), UINT(ID_FORMAT_DUPLICATE)}) {
        wchar_t text[128] = L"";
        GetMenuStringW(menu, cmd, text, 128, MF_BYCOMMAND);
        s_texts.push_back(text);
      }
      s_deleteState = GetMenuState(menu, ID_FORMAT_DELETE, MF_BYCOMMAND);
      s_duplicateState = GetMenuState(menu, ID_FORMAT_DUPLICATE, MF_BYCOMMAND);
      s_readerState = GetMenuState(menu, ID_FORMATS_SET_READER_FORMAT, MF_BYCOMMAND);
      s_presetCheck = GetMenuState(menu, ID_FORMATS_SHOW_PRESETS, MF_BYCOMMAND);
      s_addState = GetMenuState(menu, ID_FORMAT_ADD, MF_BYCOMMAND);
    }
    EndMenu();
  });
  m_page->ShowListMenu({100, 100});
  ASSERT_EQ(s_texts.size(), 5u);
  const wchar_t* const plain[] = {L"&Add...", L"&Change...", L"&Delete", L"Select &All", L"Duplic&ate"};
  const WORD keys[] = {VK_INSERT, VK_RETURN, VK_DELETE, 0x200 | 'A', 0x200 | 'D'};
  for (size_t i = 0; i < 5; ++i) {
    std::wstring keyText;
    GetHotKeyText(keyText, keys[i]);
    EXPECT_FALSE(keyText.empty());
    EXPECT_EQ(s_texts[i], std::wstring(plain[i]) + L"\t" + keyText) << i;
  }
  EXPECT_TRUE(s_deleteState & MF_GRAYED);  // only a preset selected
  EXPECT_FALSE(s_duplicateState & MF_GRAYED);
  EXPECT_FALSE(s_readerState & MF_GRAYED);
  EXPECT_TRUE(s_presetCheck & MF_CHECKED);
  EXPECT_FALSE(s_addState & MF_GRAYED);
  EXPECT_TRUE(theApp.menuHotKeys.empty());  // handed back after the menu
}

// ---- The spreadsheet items and the remembered export type.

TEST_F(FormatsPageTest, SpreadsheetItemsAreGrayedUnlessTheirOfficeIsRegistered) {
  const std::vector<UINT> csvItems = {ID_FORMATS_IMPORT_CSV, ID_FORMATS_EXPORT_CSV};
  const std::vector<UINT> excelItems = {ID_FORMATS_IMPORT_EXCEL, ID_FORMATS_EXPORT_EXCEL_FILE, ID_FORMATS_EXPORT_EXCEL};
  const std::vector<UINT> calcItems = {ID_FORMATS_IMPORT_CALC, ID_FORMATS_EXPORT_CALC_FILE, ID_FORMATS_EXPORT_CALC};
  std::vector<UINT> ids = csvItems;
  ids.insert(ids.end(), excelItems.begin(), excelItems.end());
  ids.insert(ids.end(), calcItems.begin(), calcItems.end());
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
      const std::vector<UINT> states = ContextMenuStates(m_page->hwnd, List(), ids, keyboard);
      ASSERT_EQ(states.size(), ids.size()) << "the list's menu did not show";
      for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(ids[i]);
        ASSERT_NE(states[i], ~0u) << "missing from the menu";
        const bool excelItem = i >= csvItems.size() && i < csvItems.size() + excelItems.size();
        const bool calcItem = i >= csvItems.size() + excelItems.size();
        const bool grayed = (excelItem && !c.excel) || (calcItem && !c.calc);
        EXPECT_EQ((states[i] & MF_GRAYED) != 0, grayed);
      }
    }
    if (registration.office) {
      EXPECT_TRUE(registration.office->journal.empty()) << "the menu started an office";
    }
  }
}

TEST_F(FormatsPageTest, ExcelFileExportOpensOnTheExcelTypeLastChosen) {
  OfficeRegistration registration(true, true);
  ScratchFolder folder;
  FileDialogSeam.GetSaveFileName = &ScriptedFileDialog;
  m_settings.formatsExportType = 1;
  Open();
  struct Step {
    UINT command;
    DWORD opened, chosen;
    const wchar_t* name;
    UINT remembered;
    const wchar_t* saveAs;  // the workbook call the office saw; null for CSV
  } steps[] = {
      {ID_FORMATS_EXPORT_EXCEL_FILE, 2, 3, L"a", 3, L"workbook.SaveAs(\"<temp>\",56)"},
      {ID_FORMATS_EXPORT_EXCEL_FILE, 3, 3, L"b.xls", 3, L"workbook.SaveAs(\"<temp>\",56)"},
      {ID_FORMATS_EXPORT_EXCEL_FILE, 3, 2, L"c", 2, L"workbook.SaveAs(\"<temp>\")"},
      {ID_FORMATS_EXPORT_EXCEL_FILE, 2, 3, L"d", 3, L"workbook.SaveAs(\"<temp>\",56)"},
      {ID_FORMATS_EXPORT_CSV, 1, 1, L"e", 1, nullptr},
      {ID_FORMATS_EXPORT_EXCEL_FILE, 2, 2, L"f", 2, L"workbook.SaveAs(\"<temp>\")"},
      {ID_FORMATS_EXPORT_CALC_FILE, 4, 4, L"g", 5, L"document.storeAsURL(\"<temp-url>\""},
      {ID_FORMATS_EXPORT_EXCEL_FILE, 2, 3, L"h", 3, L"workbook.SaveAs(\"<temp>\",56)"},
  };
  const wchar_t* const extensions[] = {L"", L".csv", L".xlsx", L".xls", L".ods"};
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(step.name)));
    registration.office->journal.clear();
    g_file = FileScript();
    g_file.chosen = step.chosen;
    g_file.name = folder / step.name;
    SendMessageW(m_page->hwnd, WM_COMMAND, step.command, 0);
    EXPECT_EQ(g_file.opened, step.opened);
    EXPECT_EQ(m_settings.formatsExportType, step.remembered);
    std::wstring file = g_file.name;
    if (file.find(L'.', file.rfind(L'\\')) == std::wstring::npos) file += extensions[step.chosen];
    EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES) << "not written";
    if (step.saveAs) {
      bool seen = false;
      for (const std::wstring& entry : NormalisedJournal(*registration.office)) {
        seen = seen || entry.compare(0, wcslen(step.saveAs), step.saveAs) == 0;
      }
      EXPECT_TRUE(seen) << testing::PrintToString(std::wstring(step.saveAs));
    } else {
      EXPECT_TRUE(registration.office->journal.empty());
    }
  }
  EXPECT_TRUE(g_boxes.empty());
}

// "id:name:template:params:comment:save:filters" per format, in list order.
std::wstring Describe(const std::vector<_FORMAT_INFO_EX>& formats) {
  std::wstring out;
  for (const auto& f : formats) {
    out += std::to_wstring(f.Id) + L":" + f.Name + L":" + f.Template + L":" + f.Params + L":" + f.Comment +
           ((f.Flags & FORMAT_SAVE_IN_VOMBRA) ? L":save:" : L"::") + std::to_wstring(f.KeyFilters) + L"\n";
  }
  return out;
}

TEST_F(FormatsPageTest, CsvCommandsCarryTheShownFormatsOutAndBack) {
  ListSeparator separator(L",");
  ScratchFolder folder;
  FileDialogSeam.GetSaveFileName = &ScriptedFileDialog;
  FileDialogSeam.GetOpenFileName = &ScriptedFileDialog;
  m_settings.ConfirmFlags = CONFIRM_DEFAULT;
  m_settings.formatsImportType = 2;
  ShowAllColumns();
  Open();
  const std::wstring exported = Describe(m_settings.formats);
  g_file = FileScript();
  g_file.name = folder / L"formats";
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_EXPORT_CSV, 0);
  // The shown rows under the titles in display order, at the user's list separator; the preset's name as
  // it reads.
  EXPECT_EQ(ReadFileBytes(folder / L"formats.csv"),
            "\xEF\xBB\xBF#,Choice,Id,Name,Template,Parameters,Comment,Last key,Save in the settings of the Vombra,Visible\r\n"
            "1,-,10,Alpha,T3,b,x,5,+,+\r\n"
            "2,-,11,[P] Preset,T1,a,,12,-,+\r\n"
            "3,-,12,Hidden,T2,a,x,1,-,-\r\n"
            "4,-,13,Unsaved,T1,c,,,-,+\r\n"
            "5,-,14,beta,,a,,5,+,+\r\n");

  // Then the list changes: a template edited, a format added.
  m_settings.formats[0].Template = L"changed";
  m_settings.formats.push_back(MakeFormat(15, L"Extra", L"", L"", L"", 0x1, 0, L""));
  m_settings.FormatsChanged(false);
  ASSERT_EQ(CellText(RowOf(10), FMTCOL_TEMPLATE), L"changed");

  // The file brings the list back: the extra one goes after the question, the page shows the result.
  g_answers = {{IDOK, FALSE}};
  g_file = FileScript();
  g_file.name = folder / L"formats.csv";
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_IMPORT_CSV, 0);
  EXPECT_EQ(g_file.opened, 1u) << "the command's type, not the remembered one";
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].Content,
            L"1 items that the file does not name will be removed. Hold Shift when choosing Import to merge instead.");
  EXPECT_EQ(Describe(m_settings.formats), exported);
  EXPECT_EQ(m_settings.formatsImportType, 1u);
  EXPECT_EQ(ShownIds(), (std::vector<UINT>{10, 11, 12, 13, 14}));
  EXPECT_EQ(CellText(RowOf(10), FMTCOL_TEMPLATE), L"T3");

  // A file that cannot be read: its error, and the list as it was.
  const std::wstring bad = folder / L"bad.csv";
  ASSERT_TRUE(WriteFileBytes(bad, "Name,Template\r\nAlpha,x\r\n\"Beta,y\r\n"));
  g_boxes.clear();
  g_file = FileScript();
  g_file.name = bad;
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_IMPORT_CSV, 0);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].Content, bad + L", line 3: a quoted field is not closed.");
  EXPECT_EQ(Describe(m_settings.formats), exported);
  EXPECT_EQ(CellText(RowOf(10), FMTCOL_TEMPLATE), L"T3");
}

TEST_F(FormatsPageTest, AnExportedLastKeyIsRenderedForTheFileNeverStale) {
  ListSeparator separator(L";");
  ScratchFolder folder;
  FileDialogSeam.GetSaveFileName = &ScriptedFileDialog;
  SampleRendererSeam.Render = &CountingRender;
  m_settings.lastKeyType = 3;
  m_settings.lastKey = {};
  m_settings.lastKey.Length = 5;
  m_settings.lastKey.Data[0] = 7;
  for (auto& format : m_settings.formats) format.Flags &= ~FORMAT_SAMPLE_VALID;  // "5", "12"... of another key
  m_settings.DefaultFormatId = 13;
  m_settings.formatsColumns = DefaultColumnSet(CS_FORMATS);
  for (auto& column : m_settings.formatsColumns) column.flags &= ~COLUMN_VISIBLE;
  for (int kind : {FMTCOL_CHOICE, FMTCOL_NAME, FMTCOL_SAMPLE}) m_settings.formatsColumns[size_t(kind)].flags |= COLUMN_VISIBLE;
  Open();
  g_file = FileScript();
  g_file.name = folder / L"formats.csv";
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_FORMATS_EXPORT_CSV, 0);
  EXPECT_EQ(ReadFileBytes(folder / L"formats.csv"),
            "\xEF\xBB\xBF" "Choice;Name;Last key\r\n"
            "-;Alpha;T3:3:7\r\n"
            "-;[P] Preset;T1:3:7\r\n"
            "-;Hidden;T2:3:7\r\n"
            "+;Unsaved;T1:3:7\r\n"
            "-;beta;:3:7\r\n");
  EXPECT_TRUE(g_boxes.empty());
}


// ---- In the main window.

// The real main window on the application's document; it reads and writes the settings key.
class FormatsPageInFrameTest : public ConfiguratorTest {
 protected:
  void TearDown() override {
    if (m_frame) {
      if (m_frame->hwnd) DestroyWindow(m_frame->hwnd);
      delete m_frame;
      theApp.mainWnd = nullptr;
    }
    theApp.settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }
  CleanSettingsKeys m_registry;
  ScratchFolder m_folder;
  CMainFrame* m_frame = nullptr;
};

TEST_F(FormatsPageInFrameTest, TabOneIsTheFormatsPage) {
  CAppSettings& settings = theApp.settings;
  settings.ResetConfig(false);
  settings.ResetSettings();
  settings.SetConfigPath((m_folder / L"ConfigVombra.xml").c_str());
  settings.formats = {MakeFormat(10, L"Alpha", L"", L"", L"", 1, kStored, L""),
                      MakeFormat(11, L"Beta", L"", L"", L"", 1, kStored, L"")};
  settings.ClearFormatIndex();
  settings.formatsViewFlags = 7;
  ASSERT_TRUE(theApp.CreateMainFrame());
  m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
  ASSERT_TRUE(m_frame->SelectPage(1));
  auto* page = dynamic_cast<CFormatsPage*>(m_frame->GetPage(1));
  ASSERT_NE(page, nullptr);
  ASSERT_NE(page->table.hwnd, nullptr);
  EXPECT_TRUE(GetWindowLongW(page->hwnd, GWL_STYLE) & WS_VISIBLE);
  EXPECT_TRUE(GetWindowLongW(page->table.hwnd, GWL_STYLE) & WS_VISIBLE);
  EXPECT_EQ(SendMessageW(page->table.hwnd, LVM_GETITEMCOUNT, 0, 0), 2);
  RECT list;
  GetClientRect(page->table.hwnd, &list);
  RECT client;
  GetClientRect(page->hwnd, &client);
  EXPECT_GT(list.right, client.right / 2);  // laid out in the tab's display area
  EXPECT_GT(list.bottom, client.bottom / 2);
  int shownFilters = 0;
  for (const auto& filter : settings.keyFilters) shownFilters += (filter.Flags & 1) ? 1 : 0;
  EXPECT_EQ(SendMessageW(page->tabCtrl, TCM_GETITEMCOUNT, 0, 0), 1 + shownFilters);
}

}  // namespace
