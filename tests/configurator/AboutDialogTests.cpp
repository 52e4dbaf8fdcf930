// The About box, run modally: its title in large bold type, the version with the build date in the
// language's own date form, and the buttons that end it.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cwctype>
#include <regex>
#include <string>
#include <vector>

#include "AboutDialog.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "../classlib/ModalStep.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "WinApp.h"

namespace {

CPageTestApp theApp;

constexpr int kTimedOut = 999;
CAboutDialog* g_open = nullptr;

void CALLBACK WatchdogProc(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_open && g_open->hwnd) g_open->EndDialog(kTimedOut);
}

class AboutDialogTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LINK_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
  }
  void TearDown() override {
    g_open = nullptr;
    g_step = nullptr;
    ConfiguratorTest::TearDown();
  }

  // DoModal with `step` run inside the loop and a watchdog that ends a loop the step did not end.
  int Run(CAboutDialog& dialog, std::function<void()> step) {
    g_open = &dialog;
    RunLater(std::move(step), 50);
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 1500, &WatchdogProc);
    const int result = dialog.DoModal(IDD_ABOUT, nullptr);
    KillTimer(nullptr, watchdog);
    g_open = nullptr;
    return result;
  }
};

std::wstring ItemText(HWND dialog, UINT id) {
  std::wstring text;
  GetWindowTextString(GetDlgItem(dialog, int(id)), text);
  return text;
}

LOGFONTW FontOf(HWND wnd) {
  LOGFONTW font = {};
  GetObjectW(HFONT(SendMessageW(wnd, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

// The short date forms: month/day/year under English (United States), day.month.year under Russian.
struct DateCase {
  const char* Date;
  const char* Time;
  int Day;
  int Month;
  int Year;
};
const DateCase kDates[] = {{"Mar  5 2024", "13:45:10", 5, 3, 2024},
                           {"Dec 31 2023", "23:59:59", 31, 12, 2023},
                           {"Jan  1 2030", "00:00:00", 1, 1, 2030},
                           {"Oct 12 1999", "08:01:02", 12, 10, 1999}};

std::wregex DatePattern(LANGID language, const DateCase& row) {
  const std::wstring day = L"0?" + std::to_wstring(row.Day);
  const std::wstring month = L"0?" + std::to_wstring(row.Month);
  const std::wstring year = L"(" + std::to_wstring(row.Year) + L"|" + std::to_wstring(row.Year % 100) + L")";
  return std::wregex(language == kRussianUi ? day + L"\\." + month + L"\\." + year
                                            : month + L"/" + day + L"/" + year);
}

TEST_F(AboutDialogTest, TheBuildDateFollowsTheLanguagesDateForm) {
  for (LANGID language : {kEnglishUi, kRussianUi}) {
    SetUILanguage(language);
    for (const DateCase& row : kDates) {
      std::wstring text;
      CAboutDialog::FormatBuildDate(row.Date, row.Time, text);
      EXPECT_TRUE(std::regex_match(text, DatePattern(language, row)))
          << row.Date << " gave " << testing::PrintToString(text) << " for language " << language;
    }
  }
}

TEST_F(AboutDialogTest, ABuildDateThatDoesNotParseGivesNoDate) {
  const char* const dates[][2] = {
      {"Foo 12 2024", "10:00:00"},  // no such month
      {"anF 12 2024", "10:00:00"},  // a match that does not start a month
      {"Ma 12 2024", "10:00:00"},   // too short
      {"Mar 12", "10:00:00"},       // no year
      {"Mar 12 2024", "10:00"},     // no seconds
  };
  for (const auto& row : dates) {
    std::wstring text = L"junk";
    CAboutDialog::FormatBuildDate(row[0], row[1], text);
    EXPECT_EQ(text, L"") << row[0] << " " << row[1];
  }
}

TEST_F(AboutDialogTest, ShowsTitleVersionAndDateInBothLanguages) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  // The program's version is 1.9.5.7; a program file without a version resource shows none.
  const std::wstring version = GetFileVersionNumber(self) ? L"1.9.5.7" : L"";
  struct Row {
    LANGID Language;
    const wchar_t* Title;
  };
  for (const Row& row : {Row{kEnglishUi, L"Vombra Configurator"}, Row{kRussianUi, L"Конфигуратор Vombra"}}) {
    SCOPED_TRACE(row.Language);
    SetUILanguage(row.Language);
    std::wstring date;
    CAboutDialog::FormatBuildDate(CAboutDialog::kBuildDate, CAboutDialog::kBuildTime, date);
    ASSERT_FALSE(date.empty());
    CAboutDialog about;
    std::wstring title, versionText;
    LOGFONTW titleFont = {}, dialogFont = {};
    bool fontOwned = false;
    const int result = Run(about, [&] {
      title = ItemText(about.hwnd, IDC_ABOUT_TITLE);
      versionText = ItemText(about.hwnd, IDC_ABOUT_VERSION);
      titleFont = FontOf(GetDlgItem(about.hwnd, IDC_ABOUT_TITLE));
      dialogFont = FontOf(about.hwnd);
      fontOwned = about.titleFont && HFONT(SendDlgItemMessageW(about.hwnd, IDC_ABOUT_TITLE, WM_GETFONT, 0,
                                                               0)) == about.titleFont;
      SendMessageW(about.hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   LPARAM(GetDlgItem(about.hwnd, IDOK)));
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(title, row.Title);
    EXPECT_EQ(versionText, L"v" + version + L" (" + date + L")");
    EXPECT_TRUE(fontOwned);
    EXPECT_EQ(titleFont.lfWeight, FW_BOLD);
    EXPECT_STREQ(titleFont.lfFaceName, L"Arial");
    EXPECT_GT(std::abs(titleFont.lfHeight), std::abs(dialogFont.lfHeight));
    EXPECT_EQ(about.titleFont, nullptr);  // freed with the window
    EXPECT_EQ(about.hwnd, nullptr);
  }
}

TEST_F(AboutDialogTest, OnlyOkAndCancelEndIt) {
  struct Row {
    UINT Command;
    int Result;
  };
  for (const Row& row : {Row{IDCANCEL, IDCANCEL}, Row{IDOK, IDOK}, Row{IDC_ABOUT_WEB_LINK, kTimedOut},
                         Row{IDC_ABOUT_MAIL_LINK, kTimedOut}}) {
    CAboutDialog about;
    bool alive = false;
    const int result = Run(about, [&] {
      SendMessageW(about.hwnd, WM_COMMAND, MAKEWPARAM(row.Command, BN_CLICKED), 0);
      alive = about.hwnd && IsWindow(about.hwnd) && about.result == -1;
    });
    EXPECT_EQ(result, row.Result) << row.Command;
    EXPECT_EQ(alive, row.Result == kTimedOut) << row.Command;
  }
}

// Every text of the box is whole in both languages, the title in its large font included: the text's
// width in the control's own font stays inside the control.
TEST_F(AboutDialogTest, EveryTextFitsInBothLanguages) {
  for (LANGID language : {kEnglishUi, kRussianUi}) {
    SCOPED_TRACE(language);
    SetUILanguage(language);
    CAboutDialog about;
    std::vector<std::wstring> cut;
    int measured = 0;
    Run(about, [&] {
      HDC dc = GetDC(about.hwnd);
      for (HWND child = GetWindow(about.hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = L"";
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Static") != 0 && _wcsicmp(className, L"Button") != 0) continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
        std::wstring text;
        GetWindowTextString(child, text);
        HGDIOBJ old = SelectObject(dc, HFONT(SendMessageW(child, WM_GETFONT, 0, 0)));
        SIZE extent;
        GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &extent);
        SelectObject(dc, old);
        RECT box;
        GetClientRect(child, &box);
        if (extent.cx > box.right || extent.cy > box.bottom) cut.push_back(text);
        ++measured;
      }
      ReleaseDC(about.hwnd, dc);
      about.EndDialog(IDOK);
    });
    EXPECT_GE(measured, 5);  // title, label, version, notice, OK
    EXPECT_TRUE(cut.empty()) << testing::PrintToString(cut);
  }
}

// A click on a link is shown but not followed: the dialog stays, nothing is started.
TEST_F(AboutDialogTest, LinksShowThePlaceholdersAndClicksDoNothing) {
  CAboutDialog about;
  std::wstring web, mail;
  bool alive = false;
  const int result = Run(about, [&] {
    web = ItemText(about.hwnd, IDC_ABOUT_WEB_LINK);
    mail = ItemText(about.hwnd, IDC_ABOUT_MAIL_LINK);
    NMLINK click = {};
    click.hdr.hwndFrom = GetDlgItem(about.hwnd, IDC_ABOUT_WEB_LINK);
    click.hdr.idFrom = IDC_ABOUT_WEB_LINK;
    click.hdr.code = NM_CLICK;
    SendMessageW(about.hwnd, WM_NOTIFY, IDC_ABOUT_WEB_LINK, LPARAM(&click));
    alive = IsWindow(about.hwnd) && about.result == -1;
    SendMessageW(about.hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(alive);
  EXPECT_NE(web.find(L"https://tarvelon.example/vombra"), std::wstring::npos) << web;
  EXPECT_NE(mail.find(L"@tarvelon.example"), std::wstring::npos) << mail;
}

}  // namespace
