// The page base: the child-page styles it gives any template, the window colour behind pages and their
// statics, the keyboard and mouse messages that go to the main window first, and the page templates of
// the main window's six slots.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "AppPage.h"
#include "ConfigResourceIds.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "WinApp.h"

namespace {

constexpr UINT kCaptionedTemplate = 60200;
constexpr UINT kLabelId = 60201;
constexpr UINT kEditId = 60202;

CPageTestApp theApp;

const wchar_t kMainClass[] = L"AppPageTestsMain";

// Stands in for the main window: records what it is offered and answers as told.
class CFakeMainWnd : public CWnd {
 public:
  bool PreTranslateMessage(MSG* message) override {
    offered.push_back(message->message);
    return answer;
  }
  std::vector<UINT> offered;
  bool answer = false;
};

class AppPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kMainClass, &CWnd::StaticWndProc));
    ASSERT_TRUE(m_main.Create(0, kMainClass, L"main", WS_POPUP | WS_VISIBLE, 0, 0, 700, 600, nullptr, 0));
    theApp.mainWnd = &m_main;
  }
  void TearDown() override {
    theApp.mainWnd = nullptr;
    m_main.Destroy();
    ConfiguratorTest::TearDown();
  }

  CFakeMainWnd m_main;
};

TEST_F(AppPageTest, AnyTemplateBecomesAControlOfItsParent) {
  CAppPage page(kCaptionedTemplate);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, page.templateId, m_main.hwnd));
  const LONG style = GetWindowLongW(page.hwnd, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, 0);
  EXPECT_EQ(style & WS_DISABLED, 0);
  EXPECT_NE(style & WS_CLIPSIBLINGS, 0);
  EXPECT_NE(style & DS_CONTROL, 0);
  EXPECT_NE(style & WS_CHILD, 0);
  EXPECT_NE(GetWindowLongW(page.hwnd, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, 0);
  EXPECT_TRUE(IsWindowEnabled(page.hwnd));
}

TEST_F(AppPageTest, TheSixPageTemplatesAreChildPagesInBothLanguages) {
  for (LANGID language : {kEnglishUi, kRussianUi}) {
    SetUILanguage(language);
    for (UINT id = IDD_PAGE_FIRST; id < IDD_PAGE_FIRST + 6; ++id) {
      SCOPED_TRACE(testing::Message() << "template " << id << " language " << language);
      CAppPage page(id);
      ASSERT_TRUE(CDialog::CreateFromTemplate(&page, id, m_main.hwnd));
      const LONG style = GetWindowLongW(page.hwnd, GWL_STYLE);
      EXPECT_NE(style & WS_CHILD, 0);
      EXPECT_EQ(style & (WS_CAPTION | WS_POPUP), 0);
      EXPECT_EQ(GetParent(page.hwnd), m_main.hwnd);
      // Big enough to fill the tab area of the smallest main window without looking cut.
      RECT units = {0, 0, 400, 300};
      MapDialogRect(page.hwnd, &units);
      RECT client;
      GetClientRect(page.hwnd, &client);
      EXPECT_GE(client.right, units.right);
      EXPECT_GE(client.bottom, units.bottom);
    }
  }
}

TEST_F(AppPageTest, PagesAndStaticsAreDrawnOnTheWindowColour) {
  CAppPage page(kCaptionedTemplate);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, page.templateId, m_main.hwnd));
  HDC dc = GetDC(page.hwnd);
  SetBkMode(dc, OPAQUE);
  SetTextColor(dc, RGB(1, 2, 3));
  const LRESULT staticBrush =
      SendMessageW(page.hwnd, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(GetDlgItem(page.hwnd, kLabelId)));
  EXPECT_EQ(HBRUSH(staticBrush), GetSysColorBrush(COLOR_WINDOW));
  EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
  EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));

  SetBkMode(dc, OPAQUE);
  const LRESULT dialogBrush = SendMessageW(page.hwnd, WM_CTLCOLORDLG, WPARAM(dc), LPARAM(page.hwnd));
  EXPECT_EQ(HBRUSH(dialogBrush), GetSysColorBrush(COLOR_WINDOW));
  ReleaseDC(page.hwnd, dc);
}

TEST_F(AppPageTest, KeyboardAndMouseGoToTheMainWindowFirst) {
  CAppPage page(kCaptionedTemplate);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, page.templateId, m_main.hwnd));
  ShowWindow(page.hwnd, SW_SHOW);
  HWND edit = GetDlgItem(page.hwnd, kEditId);
  SetFocus(edit);

  struct Row {
    UINT Message;
    WPARAM WParam;
    bool MainAnswers;
    bool Offered;  // the main window is asked
    bool Result;
  };
  const Row rows[] = {
      {WM_KEYDOWN, VK_F5, true, true, true},    // an accelerator: the main window took it
      {WM_KEYDOWN, VK_TAB, false, true, true},  // then the page's own navigation
      {WM_CHAR, L'a', true, true, true},
      {WM_UNICHAR, L'a', true, true, true},     // the last keyboard message
      {WM_LBUTTONDOWN, 0, true, true, true},    // the first mouse message
      {WM_XBUTTONDBLCLK, 0, true, true, true},  // the last one that counts
      {WM_MOUSEHWHEEL, 0, true, false, false},  // past the range
      {WM_TIMER, 1, true, false, false},
      {WM_PAINT, 0, true, false, false},
      {WM_NULL, 0, true, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << row.Message);
    m_main.offered.clear();
    m_main.answer = row.MainAnswers;
    MSG message = {edit, row.Message, row.WParam, 0, 0, {0, 0}};
    EXPECT_EQ(page.PreTranslateMessage(&message), row.Result);
    EXPECT_EQ(m_main.offered, row.Offered ? std::vector<UINT>{row.Message} : std::vector<UINT>{});
  }

  // The tab the main window left alone moved the focus inside the page.
  m_main.answer = false;
  SetFocus(edit);
  MSG tab = {edit, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
  EXPECT_TRUE(page.PreTranslateMessage(&tab));
  EXPECT_NE(GetFocus(), edit);
  EXPECT_EQ(GetParent(GetFocus()), page.hwnd);

  // Without a main window the page still navigates.
  theApp.mainWnd = nullptr;
  m_main.offered.clear();
  MSG key = {edit, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
  EXPECT_TRUE(page.PreTranslateMessage(&key));
  EXPECT_TRUE(m_main.offered.empty());
}

TEST_F(AppPageTest, DeletingThePageDestroysItsWindow) {
  CAppPage* page = new CAppPage(kCaptionedTemplate);
  ASSERT_TRUE(CDialog::CreateFromTemplate(page, page->templateId, m_main.hwnd));
  HWND wnd = page->hwnd;
  ASSERT_TRUE(IsWindow(wnd));
  delete page;
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_EQ(theApp.LookupWindow(wnd), nullptr);
}

}  // namespace
