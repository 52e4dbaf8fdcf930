// What the configurator's application answers the class library's tables: the highlight colours cached
// when it was made (a table draws its selected rows in them, focus or not), and the document's view
// options as they change, down to the Formats table of a real main window.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "AppPage.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "FormatsPage.h"
#include "MainFrame.h"
#include "SettingsTestSupport.h"
#include "TableCtrl.h"
#include "Wnd.h"
#include "../classlib/ObjectWindowClass.h"

CConfigVombraApp theApp;

namespace {

const wchar_t kOwnerClass[] = L"AppServicesTestsOwner";
constexpr UINT kTableId = 100;

class CRows : public CVirtualListViewData {
 public:
  int GetItemCount() override { return 4; }
  void GetDispInfo(NMLVDISPINFOW* info) override {
    if (!(info->item.mask & LVIF_TEXT)) return;
    m_text = info->item.iSubItem == 0 ? L"Row" : L"";
    info->item.pszText = m_text.data();
  }
  void OnCacheHint(int, int) override {}

 private:
  std::wstring m_text;
};

// The table's owner answers the list's row requests from the provider.
class COwner : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->code == LVN_GETDISPINFOW) {
      rows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
      return 0;
    }
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
  CRows rows;
};

class AppServicesTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    m_saved[0] = theApp.highlightColor;
    m_saved[1] = theApp.highlightTextColor;
  }
  void TearDown() override {
    theApp.highlightColor = m_saved[0];
    theApp.highlightTextColor = m_saved[1];
    ConfiguratorTest::TearDown();
  }

 private:
  COLORREF m_saved[2] = {};
};

TEST_F(AppServicesTest, HighlightColoursAreTheOnesCachedAtStart) {
  EXPECT_EQ(theApp.highlightColor, GetSysColor(COLOR_HIGHLIGHT));
  EXPECT_EQ(theApp.highlightTextColor, GetSysColor(COLOR_HIGHLIGHTTEXT));
  theApp.highlightColor = RGB(1, 2, 3);
  theApp.highlightTextColor = RGB(4, 5, 6);
  CWinApp* app = &theApp;
  EXPECT_EQ(app->GetHighlightColor(false), RGB(1, 2, 3));
  EXPECT_EQ(app->GetHighlightColor(true), RGB(4, 5, 6));
}

TEST_F(AppServicesTest, TableDrawsSelectedRowInTheCachedColourWithoutFocus) {
  ASSERT_TRUE(RegisterObjectWindowClass(kOwnerClass));
  COwner owner;
  ASSERT_TRUE(owner.Create(0, kOwnerClass, L"Owner", WS_POPUP | WS_VISIBLE, 0, 0, 600, 400, nullptr, 0))
      << "no display: run the tests through the project's test command";
  CTableCtrl table;
  ASSERT_TRUE(table.Create(0, WC_LISTVIEWW, L"",
                           WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0, 500,
                           300, owner.hwnd, kTableId));
  SendMessageW(table.hwnd, LVM_SETITEMCOUNT, 4, 0);
  const UINT titles[] = {102, 172};
  table.SetColumns({{100, 1, 0, COLUMN_VISIBLE}, {300, 2, 0, COLUMN_VISIBLE}}, titles);
  table.UpdateColumns();
  SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  SendMessageW(table.hwnd, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageW(table.hwnd, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  state.state = LVIS_SELECTED;
  SendMessageW(table.hwnd, LVM_SETITEMSTATE, 2, LPARAM(&state));
  SetFocus(owner.hwnd);
  ASSERT_NE(GetFocus(), table.hwnd);

  // The colour of a row in the middle of the empty second column, as the list paints itself.
  auto rowColour = [&](int row) {
    RECT client{};
    GetClientRect(table.hwnd, &client);
    HDC screen = GetDC(table.hwnd);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    SendMessageW(table.hwnd, WM_PRINTCLIENT, WPARAM(memory), PRF_CLIENT | PRF_ERASEBKGND);
    RECT r{};
    r.left = LVIR_BOUNDS;
    SendMessageW(table.hwnd, LVM_GETITEMRECT, row, LPARAM(&r));
    const COLORREF colour = GetPixel(memory, 300, (r.top + r.bottom) / 2);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(table.hwnd, screen);
    return colour;
  };
  for (COLORREF cached : {RGB(10, 200, 30), RGB(200, 20, 90)}) {
    theApp.highlightColor = cached;
    EXPECT_EQ(rowColour(2), cached);
    EXPECT_EQ(rowColour(0), RGB(255, 255, 255));
  }
  table.Destroy();
  owner.Destroy();
}

TEST_F(AppServicesTest, ViewOptionsFollowTheDocument) {
  CWinApp* app = &theApp;
  CAppSettings& settings = theApp.settings;
  for (bool on : {true, false, true}) {
    settings.tableGrid = on;
    settings.altListBkColor = !on;
    EXPECT_EQ(app->GetTableGrid(), on);
    EXPECT_EQ(app->GetAltListBkColor(), !on);
  }
  const bool before = settings.noSortHeader;
  app->ToggleNoSortHeader();
  EXPECT_EQ(app->GetNoSortHeader(), !before);
  app->ToggleNoSortHeader();
  EXPECT_EQ(app->GetNoSortHeader(), before);
}

// The main window with its Formats and Configurator pages made; the boxes of the latter switch the
// document's options, and the former's table must follow them through the document alone.
class AppServicesMainWindowTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    CAppSettings& settings = theApp.settings;
    settings.ResetConfig(false);
    settings.ResetSettings();
    settings.SetConfigPath((m_folder / L"ConfigVombra.xml").c_str());
    ASSERT_TRUE(theApp.CreateMainFrame());
    m_frame = static_cast<CMainFrame*>(theApp.mainWnd);
    ASSERT_NE(m_frame, nullptr);
  }
  void TearDown() override {
    if (m_frame) {
      if (m_frame->hwnd) DestroyWindow(m_frame->hwnd);
      delete m_frame;
      m_frame = nullptr;
      theApp.mainWnd = nullptr;
    }
    // The frame's WM_DESTROY posts WM_QUIT for a run loop that does not run here.
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    theApp.settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }

  CMainFrame* m_frame = nullptr;

 private:
  ScratchFolder m_folder;
};

TEST_F(AppServicesMainWindowTest, FormatsTableFollowsGridAndAlternateRowToggles) {
  ASSERT_TRUE(m_frame->SelectPage(PAGE_FORMATS));
  auto* formats = dynamic_cast<CFormatsPage*>(m_frame->GetPage(PAGE_FORMATS));
  ASSERT_NE(formats, nullptr);
  ASSERT_NE(formats->table.hwnd, nullptr);
  ASSERT_TRUE(m_frame->SelectPage(PAGE_ADVANCED));
  HWND advanced = m_frame->GetPage(PAGE_ADVANCED)->hwnd;
  ASSERT_NE(advanced, nullptr);

  CAppSettings& settings = theApp.settings;
  auto gridShown = [&] {
    return (SendMessageW(formats->table.hwnd, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_GRIDLINES) != 0;
  };
  auto alternateShown = [&] { return formats->table.altRowColor != CLR_NONE; };
  ASSERT_EQ(gridShown(), settings.tableGrid);
  ASSERT_EQ(alternateShown(), settings.altListBkColor);

  struct Step {
    UINT box;
    bool grid;
    bool alternate;
  };
  const bool grid0 = settings.tableGrid, alt0 = settings.altListBkColor;
  const Step steps[] = {
      {IDC_TABLE_GRID, !grid0, alt0},
      {IDC_ALT_LIST_BK_COLOR, !grid0, !alt0},
      {IDC_TABLE_GRID, grid0, !alt0},
      {IDC_ALT_LIST_BK_COLOR, grid0, alt0},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    SendDlgItemMessageW(advanced, int(step.box), BM_CLICK, 0, 0);
    EXPECT_EQ(settings.tableGrid, step.grid);
    EXPECT_EQ(settings.altListBkColor, step.alternate);
    EXPECT_EQ(theApp.GetTableGrid(), step.grid);
    EXPECT_EQ(theApp.GetAltListBkColor(), step.alternate);
    EXPECT_EQ(gridShown(), step.grid);
    EXPECT_EQ(alternateShown(), step.alternate);
  }
}

}  // namespace
