// The Connection dialog's XML page: a read-only rich edit whose tags are coloured character by
// character, caret at the start, and its context menu's Copy, Copy All and Select All with their rules.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "PageTestSupport.h"
#include "XmlPage.h"

namespace {

CPageTestApp theApp;

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c == L'\r' ? '~' : char(c);
  return out;
}

std::wstring ClipboardText() {
  std::wstring text = L"<nothing>";
  if (!OpenClipboard(nullptr)) return L"<closed>";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

void PutOnClipboard(const wchar_t* text) {
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  memcpy(GlobalLock(block), text, bytes);
  GlobalUnlock(block);
  SetClipboardData(CF_UNICODETEXT, block);
  CloseClipboard();
}

class XmlPageFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraXmlPageParent", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraXmlPageParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 700, 500, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
    m_page = std::make_unique<CXmlPage>();
    ASSERT_TRUE(m_page->Create(m_parent));
    ASSERT_NE(m_page->edit, nullptr);
  }
  void TearDown() override {
    m_page.reset();
    if (m_parent) DestroyWindow(m_parent);
  }

  // One letter per character of the text as the control holds it: r red, b blue, . the default colour,
  // ? anything else.
  std::wstring Colours() {
    GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
    const LONG count = LONG(SendMessageW(m_page->edit, EM_GETTEXTLENGTHEX, WPARAM(&length), 0));
    std::wstring marks;
    for (LONG i = 0; i < count; ++i) {
      CHARRANGE one{i, i + 1};
      SendMessageW(m_page->edit, EM_EXSETSEL, 0, LPARAM(&one));
      CHARFORMAT2W format{};
      format.cbSize = sizeof format;
      SendMessageW(m_page->edit, EM_GETCHARFORMAT, SCF_SELECTION, LPARAM(&format));
      if (format.dwEffects & CFE_AUTOCOLOR) {
        marks += L'.';
      } else if (format.crTextColor == kRed) {
        marks += L'r';
      } else if (format.crTextColor == kBlue) {
        marks += L'b';
      } else if (format.crTextColor == GetSysColor(COLOR_WINDOWTEXT)) {
        marks += L'.';
      } else {
        marks += L'?';
      }
    }
    return marks;
  }
  CHARRANGE Selection() {
    CHARRANGE range{-2, -2};
    SendMessageW(m_page->edit, EM_EXGETSEL, 0, LPARAM(&range));
    return range;
  }
  void Command(UINT id) { SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

  HWND m_parent = nullptr;
  std::unique_ptr<CXmlPage> m_page;
};

TEST_F(XmlPageFixture, TagsAreColouredCharacterByCharacter) {
  // Each case: the text given, then one mark per character as the control holds it (a line end is
  // one CR there).
  const struct {
    const wchar_t* Text;
    const wchar_t* Marks;
  } cases[] = {
      // The declaration: "?xml" is the name; the "?" before ">" keeps the default colour.
      {L"<?xml version=\"1.0\"?>",
       L"rbbbb...............r"},
      {L"<Item/>", L"rbbbbrr"},
      {L"<a/>", L"rbrr"},
      {L"</Group>", L"rrbbbbbr"},
      {L"<Page Caption=\"P\">", L"rbbbb............r"},
      {L"<Item Value=\"1\">One</Item>", L"rbbbb..........r...rrbbbbr"},
      {L"<P Name=\"a/b\" X=\"1\"/>", L"rb.................rr"},
      // A "<" without a ">" after it is red and ends the colouring.
      {L"<a>b<c", L"rbr.r."},
      // A "<" opens a tag up to the next ">", a space right after it leaves the name empty.
      {L"x < y <b>", L"..r.....r"},
      {L"<>", L"rr"},
      {L"</>", L"rrr"},
      // Lines: positions are the control's, so the second line is coloured where it stands.
      {L"<a>\r\n<b/>\r\n</a>", L"rbr.rbrr.rrbr"},
      {L"<Settings>\r\n <Page Caption=\"x\"/>\r\n</Settings>",
       L"rbbbbbbbbr..rbbbb............rr.rrbbbbbbbbr"},
      {L"plain text", L".........."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.Text));
    m_page->SetXmlText(c.Text);
    EXPECT_EQ(Narrow(Colours()), Narrow(c.Marks));
  }
}

TEST_F(XmlPageFixture, TheCaretGoesToTheStartAndTheFaceIsCourierNew) {
  m_page->SetXmlText(L"<a>one</a>");
  CHARRANGE all{0, -1};
  SendMessageW(m_page->edit, EM_EXSETSEL, 0, LPARAM(&all));
  m_page->SetXmlText(L"<Settings>\r\n <Page/>\r\n</Settings>");
  const CHARRANGE caret = Selection();
  EXPECT_EQ(caret.cpMin, 0);
  EXPECT_EQ(caret.cpMax, 0);

  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  SendMessageW(m_page->edit, EM_GETCHARFORMAT, SCF_DEFAULT, LPARAM(&format));
  EXPECT_STREQ(format.szFaceName, L"Courier New");
  // The text itself takes the face, coloured or not.
  for (LONG at : {0L, 1L, 11L}) {
    CHARRANGE one{at, at + 1};
    SendMessageW(m_page->edit, EM_EXSETSEL, 0, LPARAM(&one));
    CHARFORMAT2W held{};
    held.cbSize = sizeof held;
    SendMessageW(m_page->edit, EM_GETCHARFORMAT, SCF_SELECTION, LPARAM(&held));
    EXPECT_STREQ(held.szFaceName, L"Courier New") << at;
  }
  EXPECT_TRUE(SendMessageW(m_page->edit, EM_GETOPTIONS, 0, 0) & ECO_SELECTIONBAR);
  EXPECT_TRUE(SendMessageW(m_page->edit, EM_GETOPTIONS, 0, 0) & ECO_READONLY);
  EXPECT_TRUE(SendMessageW(m_page->edit, EM_GETEVENTMASK, 0, 0) & ENM_MOUSEEVENTS);

  // The control keeps an 8-pixel margin inside the page.
  SetWindowPos(m_page->hwnd, nullptr, 0, 0, 400, 300, SWP_NOZORDER | SWP_NOMOVE);
  RECT client{}, edit{};
  GetClientRect(m_page->hwnd, &client);
  GetWindowRect(m_page->edit, &edit);
  MapWindowPoints(nullptr, m_page->hwnd, reinterpret_cast<POINT*>(&edit), 2);
  EXPECT_EQ(edit.left, 8);
  EXPECT_EQ(edit.top, 8);
  EXPECT_EQ(edit.right, client.right - 8);
  EXPECT_EQ(edit.bottom, client.bottom - 8);
}

TEST_F(XmlPageFixture, MenuCommandsFollowTheTextAndTheSelection) {
  HMENU bar = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_XML_PAGE_MENU));
  ASSERT_NE(bar, nullptr);
  HMENU popup = GetSubMenu(bar, 0);
  ASSERT_NE(popup, nullptr);
  const struct {
    const char* Case;
    const wchar_t* Text;
    LONG SelStart, SelEnd;
    bool Copy, CopyAll, SelectAll;
  } cases[] = {
      {"empty", L"", 0, 0, false, false, false},
      {"empty, everything selected", L"", 0, -1, false, false, false},
      {"text, no selection", L"<a>b</a>", 2, 2, false, true, true},
      {"text, a selection", L"<a>b</a>", 1, 3, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Case);
    m_page->SetXmlText(c.Text);
    CHARRANGE range{c.SelStart, c.SelEnd};
    SendMessageW(m_page->edit, EM_EXSETSEL, 0, LPARAM(&range));
    m_page->UpdateMenu(popup);
    EXPECT_EQ(!(GetMenuState(popup, ID_XML_COPY, MF_BYCOMMAND) & MF_GRAYED), c.Copy);
    EXPECT_EQ(!(GetMenuState(popup, ID_XML_COPY_ALL, MF_BYCOMMAND) & MF_GRAYED), c.CopyAll);
    EXPECT_EQ(!(GetMenuState(popup, ID_XML_SELECT_ALL, MF_BYCOMMAND) & MF_GRAYED), c.SelectAll);
  }
  // Three commands, a separator before the last.
  EXPECT_EQ(GetMenuItemCount(popup), 4);
  EXPECT_EQ(GetMenuItemID(popup, 0), UINT(ID_XML_COPY));
  EXPECT_EQ(GetMenuItemID(popup, 1), UINT(ID_XML_COPY_ALL));
  EXPECT_TRUE(GetMenuState(popup, 2, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(GetMenuItemID(popup, 3), UINT(ID_XML_SELECT_ALL));
  DestroyMenu(bar);
}

TEST_F(XmlPageFixture, CopyAllPutsTheTextWithCrLfAndCopyAndSelectAllWork) {
  // Braces, backslashes, tabs, Cyrillic and a last line end survive as they came.
  for (const wchar_t* input : {L"<a>{x}\\y\tz</a>\r\n", L"<Item Value=\"33\">33 (!)</Item>\r\n\r\n<b/>"}) {
    m_page->SetXmlText(input);
    Command(ID_XML_COPY_ALL);
    EXPECT_EQ(ClipboardText(), input);
  }
  const std::wstring text =
      L"<?xml version=\"1.0\"?>\r\n<Settings>\r\n  <Page Caption=\"Параметры\"/>\r\n</Settings>";
  m_page->SetXmlText(text);
  Command(ID_XML_COPY_ALL);
  EXPECT_EQ(ClipboardText(), text);

  Command(ID_XML_SELECT_ALL);
  CHARRANGE all = Selection();
  EXPECT_EQ(all.cpMin, 0);
  EXPECT_GE(all.cpMax, LONG(text.size() - 3)) << "three line ends of one CR each";
  EXPECT_EQ(GetFocus(), m_page->edit);

  CHARRANGE tag{23, 31};  // "Settings" on the second line, as the control counts
  SendMessageW(m_page->edit, EM_EXSETSEL, 0, LPARAM(&tag));
  Command(ID_XML_COPY);
  EXPECT_EQ(ClipboardText(), L"Settings");

  // Without text nothing is copied or selected, however the command arrives.
  m_page->SetXmlText(L"");
  PutOnClipboard(L"kept");
  Command(ID_XML_COPY_ALL);
  Command(ID_XML_COPY);
  EXPECT_EQ(ClipboardText(), L"kept");
}

TEST_F(XmlPageFixture, TheRightButtonNeverReachesTheControl) {
  m_page->SetXmlText(L"<a/>");
  MSGFILTER filter{};
  filter.nmhdr = {m_page->edit, IDC_XML_TEXT, EN_MSGFILTER};
  filter.msg = WM_RBUTTONUP;
  EXPECT_EQ(SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_XML_TEXT, LPARAM(&filter)), 1);
  EXPECT_EQ(GetWindowLongPtrW(m_page->hwnd, DWLP_MSGRESULT), 1);
  filter.msg = WM_LBUTTONDOWN;
  SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_XML_TEXT, LPARAM(&filter));
  EXPECT_EQ(GetWindowLongPtrW(m_page->hwnd, DWLP_MSGRESULT), 0) << "other mouse messages go on";
}

}  // namespace
