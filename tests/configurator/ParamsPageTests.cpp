// The Connection dialog's settings form: the tabs, group boxes and typed fields made from a settings
// description, their layout and scrolling, the values written back into the dialog's records, the
// Functions menu with its notifications, and the action list. Only numbers that do not depend on the
// font are compared.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ThreadWindow.h"
#include "ConfigResourceIds.h"
#include "PageTestSupport.h"
#include "ParamsPage.h"
#include "Strings.h"
#include "Xml.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

CPageTestApp theApp;

struct Notice {
  HWND from;
  UINT_PTR id;
  UINT code;
  int action;
};
std::vector<Notice> g_notices;

LRESULT CALLBACK ParentProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NOTIFY && wParam == IDD_PARAMS_FORM) {
    const auto* notify = reinterpret_cast<const _PARAMS_NOTIFY*>(lParam);
    g_notices.push_back({notify->hdr.hwndFrom, notify->hdr.idFrom, notify->hdr.code, notify->Action});
    return 1;
  }
  return DefWindowProcW(wnd, message, wParam, lParam);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

std::wstring Text(HWND wnd) {
  std::wstring text;
  GetWindowTextString(wnd, text);
  return text;
}

RECT RectIn(HWND child, HWND parent) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// Two pages; the first with three groups (four fields, none, one), the second with one check box.
const wchar_t kDescription[] =
    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    L"<Settings>\r\n"
    L" <Page Caption=\"Parameters\">\r\n"
    L"  <Group Caption=\"Connection\">\r\n"
    L"   <Parameter Name=\"Port\" Caption=\"Port\" TypeValue=\"String\" DefaultValue=\"COM3\">\r\n"
    L"    <ChoiceList><Item Value=\"COM1\">COM1</Item><Item Value=\"COM3\">COM3</Item></ChoiceList>\r\n"
    L"   </Parameter>\r\n"
    L"   <Parameter Name=\"Speed\" Caption=\"Speed\" TypeValue=\"Number\" DefaultValue=\"9600\""
    L" MasterParameterName=\"Port\" MasterParameterValue=\"COM3\" MasterParameterOperation=\"Equal\"/>\r\n"
    L"   <Parameter Name=\"Wiegand\" Caption=\"Wiegand\" TypeValue=\"Boolean\" DefaultValue=\"true\"/>\r\n"
    L"   <Parameter Name=\"Prefix\" Caption=\"Prefix\" TypeValue=\"String\" DefaultValue=\"abc\""
    L" MasterParameterName=\"Wiegand\" MasterParameterValue=\"true\" MasterParameterOperation=\"equal\"/>\r\n"
    L"  </Group>\r\n"
    L"  <Group Caption=\"Empty\"/>\r\n"
    L"  <Group Caption=\"Format\">\r\n"
    L"   <Parameter Name=\"Model\" Caption=\"Model\" TypeValue=\"Number\" DefaultValue=\"2\">\r\n"
    L"    <ChoiceList><Item Value=\"1\">One</Item><Item Value=\"2\">Two</Item></ChoiceList>\r\n"
    L"   </Parameter>\r\n"
    L"  </Group>\r\n"
    L" </Page>\r\n"
    L" <Page Caption=\"Second\">\r\n"
    L"  <Group Caption=\"Other\">\r\n"
    L"   <Parameter Name=\"Flag\" Caption=\"Flag\" TypeValue=\"Boolean\" DefaultValue=\"false\"/>\r\n"
    L"  </Group>\r\n"
    L" </Page>\r\n"
    L"</Settings>\r\n";

// The first page's content: groups of 4, 0 and 1 fields, each 8 below the last.
constexpr int kFirstPageContent = 8 + (31 * 4 + 25) + 8 + 33 + 8 + (31 * 1 + 25);

// One line per control of a tab, in creation order: G group box, L label, E edit (n: digits only),
// C drop-down list (its items and the selected index), K check box (+ checked).
std::wstring Signature(const CXmlParsPage& tab) {
  std::wstring out;
  for (const _XML_CONTROL_INFO& control : tab.controls) {
    if (!out.empty()) out += L' ';
    const std::wstring id = std::to_wstring(GetDlgCtrlID(control.Wnd));
    const LONG style = GetWindowLongW(control.Wnd, GWL_STYLE);
    switch (control.Kind) {
      case 1:
        out += L"G" + id + L"=" + Text(control.Wnd);
        break;
      case 2:
        out += L"L" + id + L"=" + Text(control.Wnd);
        break;
      case 3:
        out += L"E" + id + ((style & ES_NUMBER) ? L"n" : L"") + L"=" + Text(control.Wnd);
        break;
      case 4: {
        out += L"C" + id + L"=";
        const int count = int(SendMessageW(control.Wnd, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
          wchar_t item[256] = L"";
          SendMessageW(control.Wnd, CB_GETLBTEXT, i, LPARAM(item));
          out += (i ? L"|" : L"") + std::wstring(item);
        }
        out += L"@" + std::to_wstring(int(SendMessageW(control.Wnd, CB_GETCURSEL, 0, 0)));
        break;
      }
      case 5:
        out += L"K" + id + (SendMessageW(control.Wnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"+" : L"-");
        break;
      default:
        out += L"?";
    }
  }
  return out;
}

struct MenuItem {
  UINT id;
  std::wstring text;  // empty for a separator
};
std::vector<MenuItem> g_menu;
bool g_menuSeen = false;

void CALLBACK ReadMenuAndClose(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  HWND menuWnd = FindThreadWindow(L"#32768");
  HMENU menu = menuWnd ? HMENU(SendMessageW(menuWnd, MN_GETHMENU, 0, 0)) : nullptr;
  if (menu) {
    g_menuSeen = true;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      wchar_t text[128] = L"";
      MENUITEMINFOW info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
      info.dwTypeData = text;
      info.cch = 128;
      GetMenuItemInfoW(menu, UINT(i), TRUE, &info);
      g_menu.push_back({(info.fType & MFT_SEPARATOR) ? 0 : info.wID, (info.fType & MFT_SEPARATOR) ? L"" : text});
    }
  }
  EndMenu();
}

class ParamsPageTest : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    g_notices.clear();
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraParamsParent", ParentProc));
    m_parent = CreateWindowExW(0, L"VombraParamsParent", L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 900,
                               750, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
    ShowWindow(m_parent, SW_SHOWNOACTIVATE);
    m_form = std::make_unique<CParamsPage>();
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_form.get(), IDD_PARAMS_FORM, m_parent));
    m_form->SetTargets(&m_params, &m_actions);
    SetWindowPos(m_form->hwnd, nullptr, 0, 0, 700, 650, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(m_form->hwnd, SW_SHOWNOACTIVATE);
  }
  void TearDown() override {
    m_form.reset();
    if (m_parent) DestroyWindow(m_parent);
  }

  void Build(const wchar_t* text) {
    CMemXML document;
    document.Parse(text);
    m_form->BuildForm(document);
  }
  void BuildActions(const wchar_t* text) {
    CMemXML document;
    document.Parse(text);
    m_form->BuildActions(document);
  }
  HWND Tabs() const { return GetDlgItem(m_form->hwnd, IDC_PARAMS_TABS); }
  CXmlParsPage& Tab(size_t index) { return *m_form->tabs.at(index); }
  // The tab's client size, through the window as its dialog would size it.
  void SizeTab(CXmlParsPage& tab, int width, int height) {
    SetWindowPos(tab.hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  HWND Control(CXmlParsPage& tab, size_t index) { return tab.controls.at(index).Wnd; }

  HWND m_parent = nullptr;
  std::unique_ptr<CParamsPage> m_form;
  std::vector<_DRIVER_PARAM_INFO> m_params;
  std::vector<std::wstring> m_actions;
};

// ---- Tabs and controls.

TEST_F(ParamsPageTest, OnePagePerTabFirstShownOthersOnSelection) {
  Build(kDescription);
  ASSERT_EQ(SendMessageW(Tabs(), TCM_GETITEMCOUNT, 0, 0), 2);
  ASSERT_EQ(m_form->tabs.size(), 2u);
  const wchar_t* const captions[] = {L"Parameters", L"Second"};
  for (int i = 0; i < 2; ++i) {
    wchar_t text[64] = L"";
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(Tabs(), TCM_GETITEMW, i, LPARAM(&item));
    EXPECT_STREQ(text, captions[i]);
    EXPECT_EQ(GetParent(Tab(size_t(i)).hwnd), m_form->hwnd);
  }
  EXPECT_EQ(m_form->currentTab, 0);
  EXPECT_EQ(SendMessageW(Tabs(), TCM_GETCURSEL, 0, 0), 0);
  EXPECT_TRUE(IsWindowVisible(Tab(0).hwnd));
  EXPECT_FALSE(IsWindowVisible(Tab(1).hwnd));

  // The shown tab fills the tab control's display area.
  RECT area{};
  GetClientRect(Tabs(), &area);
  SendMessageW(Tabs(), TCM_ADJUSTRECT, FALSE, LPARAM(&area));
  MapWindowPoints(Tabs(), m_form->hwnd, reinterpret_cast<POINT*>(&area), 2);
  const RECT placed = RectIn(Tab(0).hwnd, m_form->hwnd);
  EXPECT_TRUE(EqualRect(&placed, &area));

  SendMessageW(Tabs(), TCM_SETCURSEL, 1, 0);
  NMHDR change{Tabs(), IDC_PARAMS_TABS, UINT(TCN_SELCHANGE)};
  SendMessageW(m_form->hwnd, WM_NOTIFY, IDC_PARAMS_TABS, LPARAM(&change));
  EXPECT_EQ(m_form->currentTab, 1);
  EXPECT_FALSE(IsWindowVisible(Tab(0).hwnd));
  EXPECT_TRUE(IsWindowVisible(Tab(1).hwnd));
  const RECT second = RectIn(Tab(1).hwnd, m_form->hwnd);
  EXPECT_TRUE(EqualRect(&second, &area));

  // Building again replaces the tabs.
  Build(L"<Settings><Page Caption=\"Only\"/></Settings>");
  EXPECT_EQ(SendMessageW(Tabs(), TCM_GETITEMCOUNT, 0, 0), 1);
  ASSERT_EQ(m_form->tabs.size(), 1u);
  EXPECT_EQ(m_form->currentTab, 0);
  EXPECT_TRUE(Tab(0).controls.empty());
}

TEST_F(ParamsPageTest, ControlsTakeKindIdsAndStylesFromTheDescription) {
  Build(kDescription);
  EXPECT_EQ(Signature(Tab(0)),
            L"G-1=Connection L3000=Port: C3001=COM1|COM3@1 L3002=Speed: E3003n=9600 L3004=Wiegand: K3005+ "
            L"L3006=Prefix: E3007=abc G-1=Empty G-1=Format L3008=Model: C3009=One|Two@1");
  EXPECT_EQ(Signature(Tab(1)), L"G-1=Other L3000=Flag: K3001-");

  struct {
    int kind;
    const wchar_t* className;
    DWORD styles;  // all of them present
    DWORD absent;
    DWORD exStyles;
  } const kinds[] = {
      {1, L"Button", BS_GROUPBOX | WS_GROUP | WS_CLIPSIBLINGS, WS_TABSTOP, WS_EX_TRANSPARENT},
      {2, L"Static", SS_RIGHT | SS_CENTERIMAGE | SS_ENDELLIPSIS, WS_TABSTOP, 0},
      {3, L"Edit", ES_AUTOHSCROLL | WS_TABSTOP, 0, WS_EX_CLIENTEDGE},
      // The combo box takes WS_VSCROLL off its own style for its list, which shows the bar only when needed.
      {4, L"ComboBox", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_TABSTOP, CBS_SORT, 0},
      {5, L"Button", BS_AUTOCHECKBOX | WS_TABSTOP, 0, 0},
  };
  int seen[6] = {};
  for (const _XML_CONTROL_INFO& control : Tab(0).controls) {
    for (const auto& kind : kinds) {
      if (kind.kind != control.Kind) continue;
      ++seen[kind.kind];
      wchar_t className[64] = L"";
      GetClassNameW(control.Wnd, className, 64);
      EXPECT_EQ(_wcsicmp(className, kind.className), 0) << control.Kind;
      const DWORD style = DWORD(GetWindowLongW(control.Wnd, GWL_STYLE));
      const DWORD typeBits = kind.kind == 1 || kind.kind == 5 ? DWORD(BS_TYPEMASK) : 0;
      EXPECT_EQ(style & kind.styles & ~typeBits, kind.styles & ~typeBits) << control.Kind;
      if (typeBits) {
        EXPECT_EQ(style & typeBits, kind.styles & typeBits) << control.Kind;
      }
      EXPECT_EQ(style & kind.absent, 0u) << control.Kind;
      EXPECT_EQ(DWORD(GetWindowLongW(control.Wnd, GWL_EXSTYLE)) & kind.exStyles, kind.exStyles) << control.Kind;
      EXPECT_TRUE(style & WS_VISIBLE) << control.Kind;
    }
    // A group box has no descriptor; every other control points at its parameter's.
    if (control.Kind == 1) {
      EXPECT_EQ(control.Param, -1);
    } else {
      ASSERT_GE(control.Param, 0);
      ASSERT_LT(size_t(control.Param), Tab(0).descriptors.size());
    }
  }
  for (int kind = 1; kind <= 5; ++kind) EXPECT_GT(seen[kind], 0) << kind;

  const std::vector<_XML_PARAM_INFO>& d = Tab(0).descriptors;
  ASSERT_EQ(d.size(), 5u);
  const wchar_t* const names[] = {L"Port", L"Speed", L"Wiegand", L"Prefix", L"Model"};
  const int types[] = {1, 2, 3, 1, 2};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(d[i].Name, names[i]);
    EXPECT_EQ(d[i].Type, types[i]);
  }
  EXPECT_EQ(d[0].ChoiceValues, (std::vector<std::wstring>{L"COM1", L"COM3"}));
  EXPECT_EQ(d[4].ChoiceValues, (std::vector<std::wstring>{L"1", L"2"}));
  EXPECT_TRUE(d[1].ChoiceValues.empty());
  // The master attributes are kept as they stand; only the exact "Equal" counts as equal.
  struct {
    size_t param;
    const wchar_t *name, *value;
    bool equal;
  } const masters[] = {{0, L"", L"", false}, {1, L"Port", L"COM3", true}, {3, L"Wiegand", L"true", false}};
  for (const auto& m : masters) {
    EXPECT_EQ(d[m.param].MasterName, m.name) << m.param;
    EXPECT_EQ(d[m.param].MasterValue, m.value) << m.param;
    EXPECT_EQ(d[m.param].MasterEqual, m.equal) << m.param;
  }
}

TEST_F(ParamsPageTest, FormSpeaksEnglishAndRussian) {
  struct {
    LANGID language;
    const wchar_t *save, *functions, *title, *group, *deviceTest;
  } const cases[] = {
      {kEnglish, L"&Save and close", L"&Functions", L"Form of driver settings", L"Driver and version", L"&Device Test"},
      {MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), L"&Записать и закрыть", L"&Функции", L"Форма настроек драйвера",
       L"Драйвер и версия", L"&Тест устройства"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    SetUILanguage(c.language);
    CParamsPage form;
    ASSERT_TRUE(CDialog::CreateFromTemplate(&form, IDD_PARAMS_FORM, m_parent));
    EXPECT_EQ(Text(GetDlgItem(form.hwnd, IDC_PARAMS_SAVE)), c.save);
    EXPECT_EQ(Text(GetDlgItem(form.hwnd, IDC_PARAMS_FUNCTIONS)), c.functions);
    EXPECT_EQ(Text(GetDlgItem(form.hwnd, IDC_PARAMS_TITLE)), c.title);
    EXPECT_EQ(Text(GetDlgItem(form.hwnd, IDC_PARAMS_DRIVER_GROUP)), c.group);
    // The title in bold 12-point Arial.
    LOGFONTW title{};
    HFONT titleFont = HFONT(SendDlgItemMessageW(form.hwnd, IDC_PARAMS_TITLE, WM_GETFONT, 0, 0));
    ASSERT_EQ(GetObjectW(titleFont, sizeof title, &title), int(sizeof title));
    EXPECT_STREQ(title.lfFaceName, L"Arial");
    EXPECT_EQ(title.lfWeight, FW_BOLD);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(title.lfHeight, -MulDiv(12, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);
    for (UINT id : {IDC_PARAMS_DRIVER, IDC_PARAMS_VERSION}) {
      HWND edit = GetDlgItem(form.hwnd, int(id));
      ASSERT_NE(edit, nullptr) << id;
      EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_READONLY) << id;
    }
    g_menu.clear();
    g_menuSeen = false;
    SetTimer(nullptr, 0, 50, ReadMenuAndClose);
    form.ShowFunctionsMenu();
    Pump();
    ASSERT_TRUE(g_menuSeen);
    ASSERT_EQ(g_menu.size(), 1u);
    EXPECT_EQ(g_menu[0].text, c.deviceTest);
  }
  SetUILanguage(kEnglish);
}

// Descriptions a driver could send that the form must take without a crash, each with the controls of
// its tabs (as Signature writes them, tabs joined by " / ") and, for the last, how a save leaves the
// record of the parameter named Value.
TEST_F(ParamsPageTest, OddDescriptionsGiveTheControlsTheyCan) {
  struct {
    const char* what;
    const wchar_t* xml;
    const wchar_t* controls;
    const wchar_t* savedValue;  // null: no record to look at
  } const cases[] = {
      {"empty text", L"", L"", nullptr},
      {"not XML", L"garbage without tags", L"", nullptr},
      {"no Settings element", L"<Parameters><Page Caption=\"P\"/></Parameters>", L"", nullptr},
      {"page without groups", L"<Settings><Page Caption=\"P\"/></Settings>", L"", nullptr},
      {"names are exact", L"<settings><page Caption=\"a\"/><Page Caption=\"b\"><group Caption=\"x\"/>"
                          L"<Group Caption=\"y\"><parameter Name=\"n\" TypeValue=\"String\"/></Group></Page></settings>",
       L"G-1=y", nullptr},
      {"nameless parameter has no controls",
       L"<Settings><Page><Group Caption=\"g\"><Parameter Caption=\"Lost\" TypeValue=\"String\"/>"
       L"<Parameter Name=\"Value\" Caption=\"Kept\" TypeValue=\"String\" DefaultValue=\"v\"/></Group></Page></Settings>",
       L"G-1=g L3000=Kept: E3001=v", L"v"},
      {"unknown types give a label only",
       L"<Settings><Page><Group><Parameter Name=\"D\" Caption=\"Date\" TypeValue=\"Date\"/>"
       L"<Parameter Name=\"N\" Caption=\"Lower\" TypeValue=\"number\" DefaultValue=\"1\"/>"
       L"<Parameter Name=\"Value\" Caption=\"Bool\" TypeValue=\"Boolean\" DefaultValue=\"True\"/></Group></Page></Settings>",
       L"G-1= L3000=Date: L3001=Lower: L3002=Bool: K3003-", L"false"},
      {"number with choices is a list",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"Model\" TypeValue=\"Number\" DefaultValue=\"7\">"
       L"<ChoiceList><Item Value=\"5\">Five</Item><Item Value=\"7\">Seven</Item></ChoiceList></Parameter>"
       L"</Group></Page></Settings>",
       L"G-1= L3000=Model: C3001=Five|Seven@1", L"7"},
      {"default outside the choices keeps the record's value",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"Port\" TypeValue=\"String\" DefaultValue=\"COM9\">"
       L"<ChoiceList><Item Value=\"COM1\">COM1</Item><Item Value=\"COM2\">COM2</Item></ChoiceList></Parameter>"
       L"</Group></Page></Settings>",
       L"G-1= L3000=Port: C3001=COM1|COM2@-1", L"COM9"},
      {"item texts decoded, shown text by value",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"Prefix\" TypeValue=\"String\" DefaultValue=\"33\">"
       L"<ChoiceList><Item Value=\"0\">none</Item><Item Value=\"33\">33 (&#x21;)</Item><Item Value=\"38\">38 (&amp;)</Item>"
       L"</ChoiceList></Parameter></Group></Page></Settings>",
       L"G-1= L3000=Prefix: C3001=none|33 (!)|38 (&)@1", L"33"},
      {"list matches the shown text ignoring case",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"Mode\" TypeValue=\"String\" DefaultValue=\"fast\">"
       L"<ChoiceList><Item Value=\"s\">SLOW</Item><Item Value=\"f\">FAST</Item></ChoiceList></Parameter>"
       L"</Group></Page></Settings>",
       L"G-1= L3000=Mode: C3001=SLOW|FAST@1", L"f"},
      {"boolean with choices is a check box",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"On\" TypeValue=\"Boolean\" DefaultValue=\"true\">"
       L"<ChoiceList><Item Value=\"true\">yes</Item></ChoiceList></Parameter></Group></Page></Settings>",
       L"G-1= L3000=On: K3001+", L"true"},
      {"a caption that ends with a colon keeps one",
       L"<Settings><Page><Group><Parameter Name=\"Value\" Caption=\"Format:\" TypeValue=\"String\" DefaultValue=\"a\"/>"
       L"<Parameter Name=\"E\" TypeValue=\"String\"/></Group></Page></Settings>",
       L"G-1= L3000=Format: E3001=a L3002=: E3003=", L"a"},
      {"cut short", L"<Settings><Page Caption=\"P\"><Group Caption=\"g\"><Parameter Name=\"Value\" Caption=\"A\" Ty",
       L"G-1=g", nullptr},
      {"stray closing tags", L"</x></y><Settings></z><Page Caption=\"P\"><Group Caption=\"g\"></Group></Page></Settings>",
       L"", nullptr},
      {"two pages, the second empty",
       L"<Settings><Page><Group Caption=\"a\"/></Page><Page Caption=\"b\"/></Settings>", L"G-1=a / ", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m_params.assign(1, _DRIVER_PARAM_INFO{0, L"Value", L"from the description"});
    if (c.savedValue) {
      // The dialog takes the record's value from the description's DefaultValue, as the form shows it.
      CMemXML document;
      document.Parse(c.xml);
      const CMXNode* node = document.GetRoot().FindPath(L"Settings\\Page\\Group", false);
      for (const CMXNode* parameter : node ? node->GetChildren() : std::vector<CMXNode*>()) {
        if (parameter->GetAttribute(L"Name") == L"Value") m_params[0].Value = parameter->GetAttribute(L"DefaultValue");
      }
    }
    Build(c.xml);
    std::wstring controls;
    for (size_t i = 0; i < m_form->tabs.size(); ++i) controls += (i ? L" / " : L"") + Signature(Tab(i));
    EXPECT_EQ(controls, c.controls);
    EXPECT_EQ(size_t(SendMessageW(Tabs(), TCM_GETITEMCOUNT, 0, 0)), m_form->tabs.size());
    m_form->UpdateData(true);
    ASSERT_EQ(m_params.size(), 1u);
    if (c.savedValue) {
      EXPECT_EQ(m_params[0].Value, c.savedValue);
    }
  }
}

// ---- Layout and scrolling.

TEST_F(ParamsPageTest, GroupsStackAndRowsFollowTheInputControls) {
  Build(kDescription);
  CXmlParsPage& tab = Tab(0);
  SizeTab(tab, 600, 400);  // taller than the content: no scroll bar
  RECT client{};
  GetClientRect(tab.hwnd, &client);
  ASSERT_EQ(client.right, 600);
  ASSERT_EQ(client.bottom, 400);
  EXPECT_FALSE(GetWindowLongW(tab.hwnd, GWL_STYLE) & WS_VSCROLL);
  EXPECT_EQ(tab.contentHeight, kFirstPageContent);

  struct Box {
    size_t control;
    int top, height, fields;
  } const boxes[] = {{0, 8, 31 * 4 + 25, 4}, {9, 8 + 149 + 8, 33, 0}, {10, 165 + 33 + 8, 31 + 25, 1}};
  for (const Box& box : boxes) {
    const RECT r = RectIn(Control(tab, box.control), tab.hwnd);
    EXPECT_EQ(r.left, 8);
    EXPECT_EQ(r.top, box.top);
    EXPECT_EQ(r.right, 600 - 8);
    EXPECT_EQ(r.bottom - r.top, box.height);
    // The fields of the box: label then input, row by row.
    int labelWidth = -1;
    for (int row = 0; row < box.fields; ++row) {
      const RECT label = RectIn(Control(tab, box.control + 1 + 2 * size_t(row)), tab.hwnd);
      const RECT input = RectIn(Control(tab, box.control + 2 + 2 * size_t(row)), tab.hwnd);
      const int rowTop = box.top + 25 + 31 * row;
      EXPECT_EQ(label.left, 16);
      EXPECT_EQ(label.top, rowTop);
      EXPECT_EQ(label.bottom - label.top, 23);
      if (labelWidth < 0) labelWidth = label.right - label.left;
      EXPECT_EQ(label.right - label.left, labelWidth) << "one label column per group";
      EXPECT_GE(labelWidth, 50);
      EXPECT_EQ(input.left, labelWidth + 24);
      EXPECT_EQ(input.top, rowTop);
      EXPECT_EQ(input.right, 600 - 32);
      if (tab.controls[box.control + 2 + 2 * size_t(row)].Kind != 4) {
        EXPECT_EQ(input.bottom - input.top, 23);
      }
    }
  }

  // Wider: boxes and inputs follow the right edge, labels keep their size.
  std::vector<RECT> before;
  for (const _XML_CONTROL_INFO& control : tab.controls) before.push_back(RectIn(control.Wnd, tab.hwnd));
  SizeTab(tab, 750, 400);
  for (size_t i = 0; i < tab.controls.size(); ++i) {
    const RECT after = RectIn(tab.controls[i].Wnd, tab.hwnd);
    const int grown = tab.controls[i].Kind == 2 ? 0 : 150;
    EXPECT_EQ(after.left, before[i].left) << i;
    EXPECT_EQ(after.top, before[i].top) << i;
    EXPECT_EQ(after.right, before[i].right + grown) << i;
  }

  // The form passes its own growth on to the shown tab through the tab control.
  // The driver group follows the right edge; the tab control both edges.
  m_form->PlacePage(0, 0, nullptr);
  HWND driverGroup = GetDlgItem(m_form->hwnd, IDC_PARAMS_DRIVER_GROUP);
  HWND saveButton = GetDlgItem(m_form->hwnd, IDC_PARAMS_SAVE);
  const RECT pageBefore = RectIn(tab.hwnd, m_form->hwnd);
  const RECT tabsBefore = RectIn(Tabs(), m_form->hwnd);
  const RECT groupBefore = RectIn(driverGroup, m_form->hwnd);
  const RECT saveBefore = RectIn(saveButton, m_form->hwnd);
  RECT form{};
  GetClientRect(m_form->hwnd, &form);
  SetWindowPos(m_form->hwnd, nullptr, 0, 0, form.right + 40, form.bottom + 30, SWP_NOMOVE | SWP_NOZORDER);
  struct {
    const char* what;
    RECT before, after;
    int grownWidth, grownHeight;
  } const moved[] = {
      {"shown tab", pageBefore, RectIn(tab.hwnd, m_form->hwnd), 40, 30},
      {"tab control", tabsBefore, RectIn(Tabs(), m_form->hwnd), 40, 30},
      {"driver group", groupBefore, RectIn(driverGroup, m_form->hwnd), 40, 0},
      {"save button", saveBefore, RectIn(saveButton, m_form->hwnd), 0, 0},
  };
  for (const auto& m : moved) {
    EXPECT_EQ(m.after.left, m.before.left) << m.what;
    EXPECT_EQ(m.after.top, m.before.top) << m.what;
    EXPECT_EQ(m.after.right - m.after.left, m.before.right - m.before.left + m.grownWidth) << m.what;
    EXPECT_EQ(m.after.bottom - m.after.top, m.before.bottom - m.before.top + m.grownHeight) << m.what;
  }
}

TEST_F(ParamsPageTest, LabelColumnIsTheWidestLabelWithinLimits) {
  const std::wstring longCaption(400, L'W');
  const std::wstring xml = L"<Settings><Page><Group><Parameter Name=\"a\" Caption=\"A\" TypeValue=\"String\"/></Group>"
                           L"<Group><Parameter Name=\"b\" Caption=\"B\" TypeValue=\"String\"/>"
                           L"<Parameter Name=\"c\" Caption=\"" + longCaption + L"\" TypeValue=\"Date\"/>"
                           L"<Parameter Name=\"d\" Caption=\"D\" TypeValue=\"Boolean\"/></Group></Page></Settings>";
  Build(xml.c_str());
  CXmlParsPage& tab = Tab(0);
  SizeTab(tab, 700, 300);
  // Short captions get the least column, a long one the most; a label without an input shares the
  // next field's row.
  struct {
    size_t control;
    int width, top;
  } const labels[] = {{1, 50, 8 + 25}, {4, 500, 8 + 56 + 8 + 25}, {6, 500, 8 + 56 + 8 + 25 + 31},
                      {7, 500, 8 + 56 + 8 + 25 + 31}};
  for (const auto& l : labels) {
    ASSERT_EQ(tab.controls.at(l.control).Kind, 2);
    const RECT r = RectIn(Control(tab, l.control), tab.hwnd);
    EXPECT_EQ(r.right - r.left, l.width) << l.control;
    EXPECT_EQ(r.top, l.top) << l.control;
  }
  EXPECT_EQ(RectIn(Control(tab, 2), tab.hwnd).left, 50 + 24);
  EXPECT_EQ(RectIn(Control(tab, 5), tab.hwnd).left, 500 + 24);
  EXPECT_EQ(RectIn(Control(tab, 8), tab.hwnd).left, 500 + 24);
  EXPECT_EQ(RectIn(Control(tab, 8), tab.hwnd).top, 8 + 56 + 8 + 25 + 31);
  // Two inputs in the second box: 31 x 2 + 25 high.
  ASSERT_EQ(tab.controls.at(3).Kind, 1);
  const RECT second = RectIn(Control(tab, 3), tab.hwnd);
  EXPECT_EQ(second.bottom - second.top, 31 * 2 + 25);
}

TEST_F(ParamsPageTest, ScrollBarOnlyWhileThePageIsLowerThanItsContent) {
  Build(kDescription);
  CXmlParsPage& tab = Tab(0);
  const int content = kFirstPageContent;
  struct {
    int height;
    bool bar;
    int position;  // after the size change
    int scrollTo;  // then, -1 for no scrolling
  } const steps[] = {
      {content, false, 0, -1},
      {content - 1, true, 0, -1},
      {content - 100, true, 0, 60},
      {content - 50, true, 50, 30},  // taller: the content follows the new end
      {content + 20, false, 0, -1},  // high enough: back to the top
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.height);
    SizeTab(tab, 500, step.height);
    EXPECT_EQ(bool(GetWindowLongW(tab.hwnd, GWL_STYLE) & WS_VSCROLL), step.bar);
    EXPECT_EQ(tab.scrollPos, step.position);
    EXPECT_EQ(RectIn(Control(tab, 0), tab.hwnd).top, 8 - step.position);
    RECT client{};
    GetClientRect(tab.hwnd, &client);
    EXPECT_EQ(client.bottom, step.height);
    // The inputs end 32 before the client area's right edge, beside the bar or not.
    EXPECT_EQ(RectIn(Control(tab, 4), tab.hwnd).right, client.right - 32);
    EXPECT_EQ(RectIn(Control(tab, 0), tab.hwnd).right, client.right - 8);
    if (step.bar) {
      SCROLLINFO info{};
      info.cbSize = sizeof info;
      info.fMask = SIF_ALL;
      ASSERT_TRUE(GetScrollInfo(tab.hwnd, SB_VERT, &info));
      EXPECT_EQ(info.nMin, 0);
      EXPECT_EQ(info.nMax, content);
      EXPECT_EQ(int(info.nPage), step.height);
      EXPECT_EQ(info.nPos, step.position);
    }
    if (step.scrollTo >= 0) {
      SendMessageW(tab.hwnd, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, step.scrollTo), 0);
      ASSERT_EQ(tab.scrollPos, step.scrollTo);
    }
  }
}

TEST_F(ParamsPageTest, ScrollStepsAreShareOfTheRangeAndStayInside) {
  Build(kDescription);
  CXmlParsPage& tab = Tab(0);
  const int content = kFirstPageContent;
  struct {
    int range;  // content height - client height
    int start;
    int code;
    int thumb;
    int expected;
  } const cases[] = {
      {200, 0, SB_LINEDOWN, 0, 10},        {200, 0, SB_PAGEDOWN, 0, 20},       {200, 50, SB_LINEUP, 0, 40},
      {200, 50, SB_PAGEUP, 0, 30},         {200, 0, SB_LINEUP, 0, 0},          {200, 15, SB_PAGEUP, 0, 0},
      {200, 190, SB_PAGEDOWN, 0, 200},     {200, 200, SB_LINEDOWN, 0, 200},    {200, 0, SB_THUMBTRACK, 150, 150},
      {200, 10, SB_THUMBPOSITION, 500, 200}, {200, 50, SB_TOP, 0, 50},         {200, 50, SB_BOTTOM, 0, 50},
      {200, 50, SB_ENDSCROLL, 0, 50},      {100, 0, SB_LINEDOWN, 0, 5},        {100, 0, SB_PAGEDOWN, 0, 10},
      {40, 0, SB_LINEDOWN, 0, 5},          {40, 0, SB_PAGEDOWN, 0, 5},         {40, 38, SB_LINEDOWN, 0, 40},
      {139, 0, SB_LINEDOWN, 0, 6},         {139, 0, SB_PAGEDOWN, 0, 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "range " << c.range << " from " << c.start << " code " << c.code);
    SendMessageW(tab.hwnd, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 0), 0);
    SizeTab(tab, 500, content - c.range);
    SendMessageW(tab.hwnd, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, c.start), 0);
    ASSERT_EQ(tab.scrollPos, c.start);
    SendMessageW(tab.hwnd, WM_VSCROLL, MAKEWPARAM(c.code, c.thumb), 0);
    EXPECT_EQ(tab.scrollPos, c.expected);
    EXPECT_EQ(GetScrollPos(tab.hwnd, SB_VERT), c.expected);
    // The content moved with the position.
    EXPECT_EQ(RectIn(Control(tab, 0), tab.hwnd).top, 8 - c.expected);
    EXPECT_EQ(RectIn(Control(tab, 10), tab.hwnd).top, 206 - c.expected);
  }
}

// ---- Values back into the records.

TEST_F(ParamsPageTest, SavingWritesEachValueIntoTheFirstRecordOfItsName) {
  Build(kDescription);
  m_params = {{1, L"Port", L"COM3"},     {2, L"Speed", L"9600"}, {2, L"Speed", L"second"}, {3, L"Wiegand", L"true"},
              {2, L"model", L"2"},       {2, L"Model", L"2"},    {3, L"Flag", L"false"},   {1, L"Other", L"kept"}};
  const std::vector<_DRIVER_PARAM_INFO> original = m_params;

  // Nothing happens without a save, and a save with nothing changed keeps every value.
  m_form->UpdateData(false);
  m_form->UpdateData(true);
  for (size_t i = 0; i < m_params.size(); ++i) EXPECT_EQ(m_params[i].Value, original[i].Value) << i;

  CXmlParsPage& first = Tab(0);
  CXmlParsPage& second = Tab(1);
  SendMessageW(Control(first, 2), CB_SETCURSEL, 0, 0);       // Port: COM1
  SetWindowTextW(Control(first, 4), L"19200");               // Speed
  SendMessageW(Control(first, 6), BM_SETCHECK, BST_UNCHECKED, 0);  // Wiegand
  SetWindowTextW(Control(first, 8), L"changed");             // Prefix: no record of that name
  SendMessageW(Control(first, 12), CB_SETCURSEL, 0, 0);      // Model: the value "1" of the item "One"
  SendMessageW(Control(second, 2), BM_SETCHECK, BST_CHECKED, 0);  // Flag on the other tab
  m_form->UpdateData(true);

  const wchar_t* const expected[] = {L"COM1", L"19200", L"second", L"false", L"2", L"1", L"true", L"kept"};
  ASSERT_EQ(m_params.size(), original.size());
  for (size_t i = 0; i < m_params.size(); ++i) {
    EXPECT_EQ(m_params[i].Name, original[i].Name) << i;
    EXPECT_EQ(m_params[i].Type, original[i].Type) << i;
    EXPECT_EQ(m_params[i].Value, expected[i]) << i;
  }
}

// ---- The Functions menu and the notifications.

TEST_F(ParamsPageTest, FunctionsMenuOffersTheTestThenTheActions) {
  const wchar_t* const actions =
      L"<Actions><Action Name=\"Beep\" Caption=\"Sound a beep\"/><Action Name=\"Reset\" Caption=\"\"/></Actions>";
  struct {
    const char* how;
    const wchar_t* actions;
    std::vector<MenuItem> items;
    bool dropDown;  // the split button's arrow instead of a click
  } const cases[] = {
      {"no actions, click", L"", {{ID_PARAMS_DEVICE_TEST, L"&Device Test"}}, false},
      {"actions, click", actions,
       {{ID_PARAMS_DEVICE_TEST, L"&Device Test"}, {0, L""}, {800, L"Sound a beep"}, {801, L"Reset"}}, false},
      {"actions, drop-down arrow", actions,
       {{ID_PARAMS_DEVICE_TEST, L"&Device Test"}, {0, L""}, {800, L"Sound a beep"}, {801, L"Reset"}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    BuildActions(c.actions);
    g_menu.clear();
    g_menuSeen = false;
    SetTimer(nullptr, 0, 50, ReadMenuAndClose);
    HWND button = GetDlgItem(m_form->hwnd, IDC_PARAMS_FUNCTIONS);
    if (c.dropDown) {
      NMBCDROPDOWN drop{};
      drop.hdr = {button, IDC_PARAMS_FUNCTIONS, UINT(BCN_DROPDOWN)};
      GetClientRect(button, &drop.rcButton);
      SendMessageW(m_form->hwnd, WM_NOTIFY, IDC_PARAMS_FUNCTIONS, LPARAM(&drop));
    } else {
      SendMessageW(m_form->hwnd, WM_COMMAND, MAKEWPARAM(IDC_PARAMS_FUNCTIONS, BN_CLICKED), LPARAM(button));
    }
    Pump();
    ASSERT_TRUE(g_menuSeen);
    ASSERT_EQ(g_menu.size(), c.items.size());
    for (size_t i = 0; i < g_menu.size(); ++i) {
      EXPECT_EQ(g_menu[i].id, c.items[i].id) << i;
      EXPECT_EQ(g_menu[i].text, c.items[i].text) << i;
    }
    EXPECT_TRUE(g_notices.empty()) << "closing the menu chooses nothing";
  }
}

TEST_F(ParamsPageTest, ButtonAndMenuCommandsNotifyTheDialog) {
  BuildActions(L"<Actions><Action Name=\"Beep\" Caption=\"Beep\"/><Action Name=\"Reset\"/></Actions>");
  HWND save = GetDlgItem(m_form->hwnd, IDC_PARAMS_SAVE);
  ASSERT_NE(save, nullptr);
  struct {
    UINT id;
    HWND control;
    bool notifies;
    UINT code;
    int action;
  } const cases[] = {
      {IDC_PARAMS_SAVE, save, true, PARAMS_NOTIFY_SAVE, 0},
      {ID_PARAMS_DEVICE_TEST, nullptr, true, PARAMS_NOTIFY_TEST, 0},
      {ID_PARAMS_ACTION_FIRST, nullptr, true, PARAMS_NOTIFY_ACTION, 0},
      {ID_PARAMS_ACTION_FIRST + 1, nullptr, true, PARAMS_NOTIFY_ACTION, 1},
      {ID_PARAMS_ACTION_FIRST + 2, nullptr, false, 0, 0},  // beyond the actions
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    g_notices.clear();
    // Menu commands arrive posted, as TrackPopupMenuEx leaves them.
    PostMessageW(m_form->hwnd, WM_COMMAND, MAKEWPARAM(c.id, c.control ? BN_CLICKED : 0), LPARAM(c.control));
    Pump();
    if (!c.notifies) {
      EXPECT_TRUE(g_notices.empty());
      continue;
    }
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0].from, m_form->hwnd);
    EXPECT_EQ(g_notices[0].id, UINT_PTR(IDD_PARAMS_FORM));
    EXPECT_EQ(g_notices[0].code, c.code);
    EXPECT_EQ(g_notices[0].action, c.action);
  }
  // A real click on the default button does the same.
  g_notices.clear();
  SendMessageW(save, BM_CLICK, 0, 0);
  Pump();
  ASSERT_EQ(g_notices.size(), 1u);
  EXPECT_EQ(g_notices[0].code, UINT(PARAMS_NOTIFY_SAVE));
}

TEST_F(ParamsPageTest, ActionsTakeTheirCaptionOrName) {
  struct {
    const char* what;
    const wchar_t* xml;
    std::vector<std::wstring> names, captions;
  } const cases[] = {
      {"captions and names",
       L"<Actions><Action Name=\"A\" Caption=\"First\"/><Action Name=\"B\"/><Action Name=\"C\" Caption=\"\"/></Actions>",
       {L"A", L"B", L"C"}, {L"First", L"B", L"C"}},
      {"nameless skipped, any element name, case of Actions",
       L"<actions><Action Caption=\"Lost\"/><Item Name=\"X\" Caption=\"Ex\"/><Action Name=\"\"/></actions>",
       {L"X"}, {L"Ex"}},
      {"empty description", L"", {}, {}},
      {"no Actions element", L"<Settings><Action Name=\"A\"/></Settings>", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m_actions = {L"left over"};
    m_form->actionCaptions = {L"left over"};
    BuildActions(c.xml);
    EXPECT_EQ(m_actions, c.names);
    EXPECT_EQ(m_form->actionCaptions, c.captions);
  }
}

}  // namespace
