// The Configurator page over a settings document: the boxes show the document, each click stores its
// bit at once, a "Do not ask" ticked elsewhere shows here live, and the display options reach every
// view with their detail.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AdvancedPage.h"
#include "ConfigResourceIds.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "WinApp.h"

namespace {

CPageTestApp theApp;

const wchar_t kParentClass[] = L"AdvancedPageTestsParent";

// A view registered under a given owner: a view whose owner were the sender would not be told.
class OwnedRecorder {
 public:
  OwnedRecorder(CAppSettings& document, void* owner) : m_document(document) {
    m_index = document.AddView({owner, &OwnedRecorder::OnHints, 0});
    s_byOwner.push_back({owner, this});
  }
  ~OwnedRecorder() {
    m_document.RemoveView(m_index);
    for (size_t i = 0; i < s_byOwner.size(); ++i) {
      if (s_byOwner[i].second == this) s_byOwner.erase(s_byOwner.begin() + i);
    }
  }
  OwnedRecorder(const OwnedRecorder&) = delete;
  OwnedRecorder& operator=(const OwnedRecorder&) = delete;
  uint64_t Hints = 0;
  UINT Detail = 0;

 private:
  static void OnHints(void* owner, CDocument* document, const uint64_t* hints) {
    for (auto& entry : s_byOwner) {
      if (entry.first != owner) continue;
      entry.second->Hints |= *hints;
      if (*hints & HINT_VIEW_OPTIONS) {
        entry.second->Detail |= static_cast<CAppSettings*>(document)->GetViewDetail();
      }
    }
  }
  static inline std::vector<std::pair<void*, OwnedRecorder*>> s_byOwner;
  CAppSettings& m_document;
  int m_index;
};

class AdvancedPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kParentClass, DefWindowProcW));
    m_parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 700, 600, nullptr,
                               nullptr, nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override {
    m_page.reset();
    DestroyWindow(m_parent);
    ConfiguratorTest::TearDown();
  }

  void Open() {
    m_page.reset(new CAdvancedPage(m_settings));
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_ADVANCED, m_parent));
    ShowWindow(m_page->hwnd, SW_SHOW);
  }
  bool Checked(UINT id) { return IsDlgButtonChecked(m_page->hwnd, int(id)) == BST_CHECKED; }
  // A user's click: the box toggles itself and tells the page.
  void Click(UINT id) { SendDlgItemMessageW(m_page->hwnd, int(id), BM_CLICK, 0, 0); }

  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CAdvancedPage> m_page;
};

struct ConfirmBox {
  UINT Id;
  UINT Flag;
};
const ConfirmBox kConfirmBoxes[] = {{1151, CONFIRM_DELETE_ITEM},
                                    {1152, CONFIRM_REPLACE_ITEM},
                                    {1153, CONFIRM_LOAD_CONFIG},
                                    {1154, CONFIRM_SAVE_CONFIG},
                                    {1155, CONFIRM_RESET_TO_DEFAULT}};

TEST_F(AdvancedPageTest, TheBoxesShowTheDocument) {
  m_settings.ConfirmFlags = CONFIRM_DELETE_ITEM | CONFIRM_LOAD_CONFIG | CONFIRM_RESET_TO_DEFAULT;
  m_settings.altListBkColor = false;
  m_settings.tableGrid = true;
  Open();
  const bool expected[] = {true, false, true, false, true, false, true};
  for (UINT id = 1151; id <= 1157; ++id) EXPECT_EQ(Checked(id), expected[id - 1151]) << id;
  EXPECT_FALSE(m_settings.configModified);  // showing changes nothing

  m_settings.ConfirmFlags = CONFIRM_REPLACE_ITEM | CONFIRM_SAVE_CONFIG;
  m_settings.altListBkColor = true;
  m_settings.tableGrid = false;
  m_page->UpdateData(true);  // stores nothing: every click is stored at once
  EXPECT_EQ(m_settings.ConfirmFlags, UINT(CONFIRM_REPLACE_ITEM | CONFIRM_SAVE_CONFIG));
  m_page->UpdateData(false);
  const bool flipped[] = {false, true, false, true, false, true, false};
  for (UINT id = 1151; id <= 1157; ++id) EXPECT_EQ(Checked(id), flipped[id - 1151]) << id;
}

TEST_F(AdvancedPageTest, EachConfirmationBoxFlipsItsOwnBit) {
  m_settings.ConfirmFlags = CONFIRM_DEFAULT;
  const bool alternate = m_settings.altListBkColor;
  const bool grid = m_settings.tableGrid;
  Open();
  for (const ConfirmBox& box : kConfirmBoxes) {
    SCOPED_TRACE(box.Id);
    HintRecorder view(m_settings);
    m_settings.configModified = false;
    const UINT before = m_settings.ConfirmFlags;
    Click(box.Id);
    EXPECT_EQ(m_settings.ConfirmFlags, before ^ box.Flag);
    EXPECT_EQ(Checked(box.Id), (m_settings.ConfirmFlags & box.Flag) != 0);
    EXPECT_TRUE(view.Hints & HINT_CONFIRM_FLAGS);
    EXPECT_TRUE(m_settings.configModified);
    Click(box.Id);
    EXPECT_EQ(m_settings.ConfirmFlags, before);
    EXPECT_EQ(Checked(box.Id), (before & box.Flag) != 0);
  }
  EXPECT_EQ(m_settings.altListBkColor, alternate);
  EXPECT_EQ(m_settings.tableGrid, grid);
}

TEST_F(AdvancedPageTest, DisplayOptionsReachEveryViewThePageToo) {
  struct Row {
    UINT Id;
    bool CAppSettings::*Field;
    UINT Detail;
  };
  const Row rows[] = {{1156, &CAppSettings::altListBkColor, VIEW_DETAIL_ALT_LIST_BK_COLOR},
                      {1157, &CAppSettings::tableGrid, VIEW_DETAIL_TABLE_GRID}};
  Open();
  for (const Row& row : rows) {
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(testing::Message() << row.Id << " pass " << pass);
      const bool before = m_settings.*row.Field;
      const UINT flags = m_settings.ConfirmFlags;
      m_settings.SetConfigModified(false);
      OwnedRecorder other(m_settings, this);
      OwnedRecorder asPage(m_settings, m_page.get());  // told only while the page is not the sender
      Click(row.Id);
      EXPECT_EQ(m_settings.*row.Field, !before);
      EXPECT_EQ(Checked(row.Id), !before);
      for (OwnedRecorder* view : {&other, &asPage}) {
        EXPECT_TRUE(view->Hints & HINT_VIEW_OPTIONS);
        EXPECT_EQ(view->Detail, row.Detail);
        EXPECT_TRUE(view->Hints & HINT_CONFIG_MODIFIED);
      }
      EXPECT_TRUE(m_settings.configModified);
      EXPECT_EQ(m_settings.ConfirmFlags, flags);
    }
  }
}

TEST_F(AdvancedPageTest, DoNotAskElsewhereUnticksTheBoxLive) {
  m_settings.ConfirmFlags = CONFIRM_DEFAULT;
  Open();
  ASSERT_TRUE(Checked(1151));
  // A delete question answered with "Do not ask" ticked, somewhere else in the program.
  m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
  EXPECT_FALSE(Checked(1151));
  m_settings.SetConfirmFlags(CONFIRM_SAVE_CONFIG, true);
  EXPECT_TRUE(Checked(1154));

  // Other hints leave the boxes as they are.
  m_settings.ConfirmFlags = 0;
  {
    _DOC_UPDATE_INFO batch(&m_settings, nullptr);
    m_settings.UpdateAllViews(HINT_FORMATS | HINT_VIEW_OPTIONS);
  }
  EXPECT_TRUE(Checked(1152));
}

TEST_F(AdvancedPageTest, TheObserverGoesWithTheWindow) {
  Open();
  auto registered = [&] {
    for (const _VIEW_INFO& view : m_settings.GetViews()) {
      if (view.owner == m_page.get()) return true;
    }
    return false;
  };
  EXPECT_TRUE(registered());
  m_page->Destroy();
  EXPECT_FALSE(registered());
  EXPECT_EQ(m_page->viewIndex, -1);
  // A change after the window is gone reaches nobody's dead window.
  EXPECT_NO_THROW(m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false));
}

// Every label of the page fits its box in both languages: the text's width in the page's font plus the
// check mark stays inside the control.
TEST_F(AdvancedPageTest, EveryLabelFitsInBothLanguages) {
  for (LANGID language : {kEnglishUi, kRussianUi}) {
    SetUILanguage(language);
    Open();
    SCOPED_TRACE(language);
    HDC dc = GetDC(m_page->hwnd);
    HGDIOBJ old = SelectObject(dc, HFONT(SendMessageW(m_page->hwnd, WM_GETFONT, 0, 0)));
    for (HWND child = GetWindow(m_page->hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      std::wstring text;
      GetWindowTextString(child, text);
      SIZE extent;
      GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &extent);
      RECT box;
      GetClientRect(child, &box);
      RECT mark = {0, 0, 14, 0};  // the check mark and its gap, in dialog units
      MapDialogRect(m_page->hwnd, &mark);
      EXPECT_LE(extent.cx + mark.right, box.right) << text;
      EXPECT_FALSE(text.empty());
    }
    SelectObject(dc, old);
    ReleaseDC(m_page->hwnd, dc);
  }
}

}  // namespace
