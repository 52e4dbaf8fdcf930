#include "XmlPage.h"

#include <richedit.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "UiHelpers.h"

namespace {

constexpr int kMargin = 8;

// Loaded with the first page and kept for the process: a rich edit window outlives any one page's
// reference count otherwise.
HMODULE g_richEdit = nullptr;

HMODULE ModuleWith(LPCWSTR type, UINT id) {
  if (g_hResInstance && FindResourceW(g_hResInstance, MAKEINTRESOURCEW(id), type)) return g_hResInstance;
  return g_hInstance;
}

// Also the indexes of the RTF colour table: 0 the automatic colour, 1 red (RGB 255, 0, 0) for "<", "/"
// and ">", 2 blue (RGB 0, 0, 255) for the tag's name.
enum : char { kMarkText = 0, kMarkTag = 1, kMarkName = 2 };

// A mark per character: "<", "/" and ">" of a tag, its name, or neither.
void MarkXmlTags(const std::wstring& held, std::vector<char>& marks) {
  marks.assign(held.size(), kMarkText);
  const size_t n = held.size();
  size_t pos = 0;
  for (;;) {
    const size_t open = held.find(L'<', pos);
    if (open == std::wstring::npos) break;
    marks[open] = kMarkTag;
    size_t nameStart = open + 1;
    if (nameStart < n && held[nameStart] == L'/') marks[nameStart++] = kMarkTag;
    const size_t close = held.find(L'>', nameStart);
    if (close == std::wstring::npos) break;
    marks[close] = kMarkTag;
    size_t tagEnd = close;
    if (close - nameStart >= 2 && held[close - 1] == L'/') marks[tagEnd = close - 1] = kMarkTag;
    size_t nameEnd = held.find(L' ', nameStart);
    if (nameEnd == std::wstring::npos || nameEnd > tagEnd) nameEnd = tagEnd;
    for (size_t i = nameStart; i < nameEnd; ++i) marks[i] = kMarkName;
    pos = close + 1;
  }
}

// The held text as RTF in the control's face and size (half points), each run in its mark's colour;
// unmarked text keeps the automatic colour.
void ColouredRtf(const std::wstring& held, const std::vector<char>& marks, LONG halfPoints, std::string& rtf) {
  rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fmodern Courier New;}}"
        "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}\\f0\\fs";
  rtf += std::to_string(halfPoints);
  rtf += ' ';
  char current = kMarkText;
  for (size_t i = 0; i < held.size(); ++i) {
    if (marks[i] != current) {
      current = marks[i];
      rtf += "\\cf";
      rtf += char('0' + current);
      rtf += ' ';
    }
    const wchar_t c = held[i];
    if (c == L'\r') {
      rtf += "\\par ";
    } else if (c == L'\t') {
      rtf += "\\tab ";
    } else if (c == L'\\' || c == L'{' || c == L'}') {
      rtf += '\\';
      rtf += char(c);
    } else if (c >= 0x20 && c < 0x80) {
      rtf += char(c);
    } else {
      rtf += "\\u" + std::to_string(int(int16_t(c))) + '?';
    }
  }
  // A stream's last paragraph end stands for the control's own final one.
  if (!held.empty() && held.back() == L'\r') rtf += "\\par ";
  rtf += '}';
}

// The control's text as it holds it: a paragraph end is one CR, so positions are the control's own.
std::wstring HeldText(HWND edit, DWORD flags) {
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE | (flags & GT_USECRLF ? GTL_USECRLF : 0u), 1200};
  const LRESULT chars = SendMessageW(edit, EM_GETTEXTLENGTHEX, WPARAM(&length), 0);
  if (chars <= 0) return std::wstring();
  std::wstring text(size_t(chars) + 1, L'\0');
  GETTEXTEX get{};
  get.cb = DWORD(text.size() * sizeof(wchar_t));
  get.flags = flags;
  get.codepage = 1200;
  const LRESULT copied = SendMessageW(edit, EM_GETTEXTEX, WPARAM(&get), LPARAM(&text[0]));
  text.resize(size_t(copied > 0 ? copied : 0));
  return text;
}

}  // namespace

CXmlPage::CXmlPage() : CAppPage(IDD_XML_PAGE) { helpId = IDD_XML_PAGE; }

CXmlPage::~CXmlPage() {
  if (IsRealHandle(hwnd)) Destroy();
}

bool CXmlPage::Create(HWND parent) {
  if (!g_richEdit) {
    g_richEdit = LoadLibraryW(L"Msftedit.dll");
    if (!g_richEdit) throw COSException(::GetLastError());
  }
  return CDialog::CreateFromTemplate(this, IDD_XML_PAGE, parent) && hwnd;
}

LRESULT CXmlPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      CAppPage::OnInitDialog();
      edit = GetDlgItem(hwnd, IDC_XML_TEXT);
      if (edit) {
        // The template leaves ES_SELECTIONBAR out: it is the WS_MAXIMIZE bit and would maximize the
        // control over the whole page.
        SendMessageW(edit, EM_SETOPTIONS, ECOOP_OR, ECO_SELECTIONBAR);
        CHARFORMAT2W format{};
        format.cbSize = sizeof format;
        format.dwMask = CFM_FACE;
        wcscpy(format.szFaceName, L"Courier New");
        SendMessageW(edit, EM_SETCHARFORMAT, SCF_DEFAULT, LPARAM(&format));
        SendMessageW(edit, EM_SETEVENTMASK, 0, ENM_MOUSEEVENTS);
        // Nothing here is undone, and every colour change would otherwise keep an undo record.
        SendMessageW(edit, EM_SETUNDOLIMIT, 0, 0);
      }
      return TRUE;
    }
    case WM_SIZE:
      if (edit) {
        const int cx = LOWORD(lParam), cy = HIWORD(lParam);
        MoveWindow(edit, kMargin, kMargin, cx > 2 * kMargin ? cx - 2 * kMargin : 0,
                   cy > 2 * kMargin ? cy - 2 * kMargin : 0, TRUE);
      }
      return 0;
    default:
      return CAppPage::WindowProc(wnd, message, wParam, lParam);
  }
}

void CXmlPage::SetXmlText(const std::wstring& text) {
  if (!edit) return;
  SendMessageW(edit, WM_SETREDRAW, FALSE, 0);
  SETTEXTEX set{ST_DEFAULT, 1200};
  SendMessageW(edit, EM_SETTEXTEX, WPARAM(&set), LPARAM(text.c_str()));
  // The marks are found in the text as the control holds it, a line end being one CR there.
  const std::wstring held = HeldText(edit, GT_DEFAULT);
  std::vector<char> marks;
  MarkXmlTags(held, marks);
  if (std::find(marks.begin(), marks.end(), char(kMarkTag)) != marks.end() ||
      std::find(marks.begin(), marks.end(), char(kMarkName)) != marks.end()) {
    // One colour change costs a selection and a format message; Wine's rich edit takes some 0.3 ms for
    // each pair, which a description of several hundred tags turns into seconds. The same text with its
    // colours goes in as one RTF stream instead.
    CHARFORMAT2W format{};
    format.cbSize = sizeof format;
    SendMessageW(edit, EM_GETCHARFORMAT, SCF_DEFAULT, LPARAM(&format));
    std::string rtf;
    ColouredRtf(held, marks, format.yHeight > 0 ? format.yHeight / 10 : 20, rtf);
    SETTEXTEX coloured{ST_DEFAULT, CP_ACP};
    SendMessageW(edit, EM_SETTEXTEX, WPARAM(&coloured), LPARAM(rtf.c_str()));
  }
  CHARRANGE start{0, 0};
  SendMessageW(edit, EM_EXSETSEL, 0, LPARAM(&start));
  SendMessageW(edit, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(edit, nullptr, TRUE);
}

bool CXmlPage::HasText() const {
  if (!edit) return false;
  GETTEXTLENGTHEX length{GTL_NUMCHARS, 1200};
  return SendMessageW(edit, EM_GETTEXTLENGTHEX, WPARAM(&length), 0) > 0;
}

bool CXmlPage::HasSelection() const {
  if (!edit) return false;
  CHARRANGE range{};
  SendMessageW(edit, EM_EXGETSEL, 0, LPARAM(&range));
  return range.cpMin != range.cpMax;
}

void CXmlPage::UpdateMenu(HMENU popup) const {
  const bool text = HasText();
  EnableMenuItem(popup, ID_XML_COPY, MF_BYCOMMAND | (text && HasSelection() ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(popup, ID_XML_COPY_ALL, MF_BYCOMMAND | (text ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(popup, ID_XML_SELECT_ALL, MF_BYCOMMAND | (text ? MF_ENABLED : MF_GRAYED));
}

void CXmlPage::ShowContextMenu() {
  HMENU bar = LoadMenuW(ModuleWith(RT_MENU, IDR_XML_PAGE_MENU), MAKEINTRESOURCEW(IDR_XML_PAGE_MENU));
  if (!bar) return;
  HMENU popup = GetSubMenu(bar, 0);
  if (popup) {
    UpdateMenu(popup);
    POINT at{};
    GetCursorPos(&at);
    TrackPopupMenu(popup, TPM_LEFTBUTTON | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd, nullptr);
  }
  DestroyMenu(bar);
}

bool CXmlPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  // The menu's rules hold for a command however it arrives.
  switch (id) {
    case ID_XML_COPY:
      if (HasText() && HasSelection()) SendMessageW(edit, WM_COPY, 0, 0);
      return true;
    case ID_XML_COPY_ALL:
      if (HasText()) {
        const std::wstring text = HeldText(edit, GT_USECRLF);
        CopyTextToClipboard(text.c_str(), ptrdiff_t(text.size()));
      }
      return true;
    case ID_XML_SELECT_ALL:
      if (HasText()) {
        SetFocus(edit);
        CHARRANGE all{0, -1};
        SendMessageW(edit, EM_EXSETSEL, 0, LPARAM(&all));
      }
      return true;
    default:
      return CAppPage::OnCommand(id, notifyCode, control);
  }
}

bool CXmlPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (edit && header->hwndFrom == edit && header->code == EN_MSGFILTER) {
    const auto* filter = reinterpret_cast<const MSGFILTER*>(header);
    if (filter->msg == WM_RBUTTONDOWN) {
      ShowContextMenu();
      *result = 1;
      return true;
    }
    if (filter->msg == WM_RBUTTONUP) {
      *result = 1;
      return true;
    }
  }
  return CAppPage::OnNotify(id, header, result);
}
