#include "ParamsPage.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Controls.h"
#include "Core.h"
#include "TestListPage.h"
#include "Xml.h"

namespace {

// Layout of a generated tab, in pixels.
constexpr int kMargin = 8;            // around the usable area and between group boxes
constexpr int kFirstRow = 25;         // from a group box's top to its first row
constexpr int kRowStep = 31;
constexpr int kRowHeight = 23;
constexpr int kEmptyGroupHeight = 33;
constexpr int kLabelLeft = 16;
constexpr int kInputGap = 24;         // from the label column's left edge past its width
constexpr int kInputRightGap = 32;    // from the input's right edge to the page's
constexpr int kComboDropHeight = 173;
constexpr int kMinLabelWidth = 50;
constexpr int kMaxLabelWidth = 500;
constexpr int kMinScrollStep = 5;

int ParamType(const std::wstring& typeValue) {
  if (typeValue == L"String") return 1;
  if (typeValue == L"Number") return 2;
  if (typeValue == L"Boolean") return 3;
  return 0;
}

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

// Split buttons came with Common Controls 6.
bool HasSplitButtons() {
  HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
  auto get = comctl ? reinterpret_cast<HRESULT(CALLBACK*)(DLLVERSIONINFO*)>(
                          reinterpret_cast<void*>(GetProcAddress(comctl, "DllGetVersion")))
                    : nullptr;
  DLLVERSIONINFO info{};
  info.cbSize = sizeof info;
  return get && SUCCEEDED(get(&info)) && info.dwMajorVersion >= 6;
}

// A changed WS_VSCROLL takes effect on the frame only when the window is told so.
void FrameChanged(HWND wnd) {
  SetWindowPos(wnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

RECT ChildRect(HWND child, HWND parent) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

}  // namespace

// ---- CXmlParsPage ----

CXmlParsPage::CXmlParsPage(std::vector<_DRIVER_PARAM_INFO>* params) : CAppPage(IDD_PARAMS_TAB), Params(params) {
  helpId = IDD_PARAMS_TAB;
}

CXmlParsPage::~CXmlParsPage() = default;

LRESULT CXmlParsPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      CAppPage::OnInitDialog();
      return TRUE;
    case WM_SIZE:
      UpdateLayout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_VSCROLL:
      OnVScroll(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_DESTROY:
      DestroyControls();
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

void CXmlParsPage::DestroyControls() {
  for (const _XML_CONTROL_INFO& control : controls) {
    if (control.Wnd) DestroyWindow(control.Wnd);
  }
  controls.clear();
  descriptors.clear();
  groups.clear();
  contentHeight = 0;
}

void CXmlParsPage::BuildControls(const CMXNode& page) {
  DestroyControls();
  if (!hwnd) return;
  if (scrollPos != 0) {
    scrollPos = 0;
    SetScrollPos(hwnd, SB_VERT, 0, TRUE);
  }
  UINT nextId = IDC_PARAMS_FIRST_FIELD;
  HINSTANCE instance = g_hInstance;
  auto add = [&](int kind, HWND wnd, int param) {
    controls.push_back({kind, wnd, param});
    return int(controls.size() - 1);
  };
  for (const CMXNode* groupNode : page.GetChildren()) {
    if (groupNode->GetName() != L"Group") continue;
    _GROUP_LAYOUT group;
    HWND box = CreateWindowExW(WS_EX_TRANSPARENT, L"Button", groupNode->GetAttribute(L"Caption").c_str(),
                               WS_CHILD | WS_CLIPSIBLINGS | WS_GROUP | BS_GROUPBOX, 0, 0, 0, 0, hwnd,
                               reinterpret_cast<HMENU>(INT_PTR(-1)), instance, nullptr);
    // A control that cannot be made is left out; its group's parameters still get theirs.
    if (box) group.box = add(1, box, -1);
    for (const CMXNode* paramNode : groupNode->GetChildren()) {
      if (paramNode->GetName() != L"Parameter") continue;
      const std::wstring& name = paramNode->GetAttribute(L"Name");
      // Without a name the value could never reach the add-in, which refuses an empty name.
      if (name.empty()) continue;
      _XML_PARAM_INFO info;
      info.Type = ParamType(paramNode->GetAttribute(L"TypeValue"));
      info.Name = name;
      std::vector<std::wstring> itemTexts;
      if (const CMXNode* list = paramNode->FindChild(L"ChoiceList")) {
        for (const CMXNode* item : list->GetChildren()) {
          info.ChoiceValues.push_back(item->GetAttribute(L"Value"));
          itemTexts.push_back(item->GetText());
        }
      }
      info.MasterName = paramNode->GetAttribute(L"MasterParameterName");
      info.MasterValue = paramNode->GetAttribute(L"MasterParameterValue");
      info.MasterEqual = paramNode->GetAttribute(L"MasterParameterOperation") == L"Equal";
      descriptors.push_back(info);
      const int param = int(descriptors.size() - 1);

      // A label ends with one colon: the add-in's "Format:" caption already carries it.
      std::wstring labelText = paramNode->GetAttribute(L"Caption");
      if (labelText.empty() || labelText.back() != L':') labelText += L':';
      HWND label = CreateWindowExW(0, L"Static", labelText.c_str(),
                                   WS_CHILD | SS_RIGHT | SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOPREFIX, 0, 0, 0, 0,
                                   hwnd, reinterpret_cast<HMENU>(UINT_PTR(nextId++)), instance, nullptr);
      _ROW_LAYOUT row;
      if (label) row.label = add(2, label, param);

      const std::wstring& defaultValue = paramNode->GetAttribute(L"DefaultValue");
      std::wstring shown = defaultValue;
      for (size_t i = 0; i < info.ChoiceValues.size(); ++i) {
        if (info.ChoiceValues[i] == defaultValue) {
          shown = itemTexts[i];
          break;
        }
      }
      HWND input = nullptr;
      int kind = 0;
      if ((info.Type == 1 || info.Type == 2) && info.ChoiceValues.empty()) {
        kind = 3;
        DWORD style = WS_CHILD | WS_TABSTOP | ES_AUTOHSCROLL;
        if (info.Type == 2) style |= ES_NUMBER;
        input = CreateWindowExW(WS_EX_CLIENTEDGE, L"Edit", shown.c_str(), style, 0, 0, 0, 0, hwnd,
                                reinterpret_cast<HMENU>(UINT_PTR(nextId)), instance, nullptr);
      } else if (info.Type == 1 || info.Type == 2) {
        kind = 4;
        input = CreateWindowExW(0, L"ComboBox", L"",
                                WS_CHILD | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_HASSTRINGS, 0, 0, 0, 0,
                                hwnd, reinterpret_cast<HMENU>(UINT_PTR(nextId)), instance, nullptr);
        if (input) {
          for (const std::wstring& text : itemTexts) SendMessageW(input, CB_ADDSTRING, 0, LPARAM(text.c_str()));
          const LRESULT found = SendMessageW(input, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(shown.c_str()));
          SendMessageW(input, CB_SETCURSEL, found == CB_ERR ? WPARAM(-1) : WPARAM(found), 0);
        }
      } else if (info.Type == 3) {
        kind = 5;
        input = CreateWindowExW(0, L"Button", L"", WS_CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 0, 0, 0, hwnd,
                                reinterpret_cast<HMENU>(UINT_PTR(nextId)), instance, nullptr);
        if (input) SendMessageW(input, BM_SETCHECK, defaultValue == L"true" ? BST_CHECKED : BST_UNCHECKED, 0);
      }
      if (kind != 0) ++nextId;
      if (input) row.input = add(kind, input, param);
      group.rows.push_back(row);
    }
    // Above its fields in the z-order; being transparent, the box leaves them visible.
    if (box) SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    groups.push_back(group);
  }
  LayOut();
  RECT client{};
  GetClientRect(hwnd, &client);
  UpdateLayout(client.right, client.bottom);
}

void CXmlParsPage::LayOut() {
  HFONT font = HFONT(SendMessageW(hwnd, WM_GETFONT, 0, 0));
  for (const _XML_CONTROL_INFO& control : controls) SendMessageW(control.Wnd, WM_SETFONT, WPARAM(font), FALSE);

  RECT client{};
  GetClientRect(hwnd, &client);
  const int width = client.right;
  HDC dc = GetDC(hwnd);
  HGDIOBJ oldFont = dc && font ? SelectObject(dc, font) : nullptr;
  HDWP batch = BeginDeferWindowPos(int(controls.size()));
  auto place = [&](HWND wnd, int x, int y, int cx, int cy) {
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW;
    if (batch) {
      batch = DeferWindowPos(batch, wnd, nullptr, x, y, cx, cy, flags);
    } else {
      SetWindowPos(wnd, nullptr, x, y, cx, cy, flags);
    }
  };
  int top = kMargin;
  contentHeight = 0;
  for (const _GROUP_LAYOUT& group : groups) {
    int labelWidth = kMinLabelWidth;
    for (const _ROW_LAYOUT& row : group.rows) {
      if (row.label < 0 || !dc) continue;
      std::wstring text;
      GetWindowTextString(controls[size_t(row.label)].Wnd, text);
      SIZE extent{};
      GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &extent);
      labelWidth = std::max(labelWidth, std::min(int(extent.cx), kMaxLabelWidth));
    }
    const int inputLeft = labelWidth + kInputGap;
    int rowTop = top + kFirstRow;
    int inputs = 0;
    for (const _ROW_LAYOUT& row : group.rows) {
      if (row.label >= 0) place(controls[size_t(row.label)].Wnd, kLabelLeft, rowTop, labelWidth, kRowHeight);
      if (row.input < 0) continue;
      const _XML_CONTROL_INFO& input = controls[size_t(row.input)];
      place(input.Wnd, inputLeft, rowTop, std::max(0, width - kInputRightGap - inputLeft),
            input.Kind == 4 ? kComboDropHeight : kRowHeight);
      rowTop += kRowStep;
      ++inputs;
    }
    const int height = inputs > 0 ? kRowStep * inputs + kFirstRow : kEmptyGroupHeight;
    if (group.box >= 0) place(controls[size_t(group.box)].Wnd, kMargin, top, std::max(0, width - 2 * kMargin), height);
    contentHeight = top + height;
    top += height + kMargin;
  }
  if (batch) EndDeferWindowPos(batch);
  if (oldFont) SelectObject(dc, oldFont);
  if (dc) ReleaseDC(hwnd, dc);
}

void CXmlParsPage::UpdateLayout(int, int height) {
  if (!hwnd || m_inLayout) return;
  // Showing or hiding the scroll bar sends WM_SIZE again, with the width left beside the bar.
  m_inLayout = true;
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  if (height < contentHeight) {
    // A taller page may leave the position beyond the new end: scroll the content back to it.
    const int limit = contentHeight - height;
    if (scrollPos > limit) {
      ScrollWindow(hwnd, 0, scrollPos - limit, nullptr, nullptr);
      scrollPos = limit;
    }
    if (!(style & WS_VSCROLL)) SetWindowLongW(hwnd, GWL_STYLE, style | WS_VSCROLL);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = contentHeight;
    info.nPage = UINT(std::max(0, height));
    info.nPos = scrollPos;
    SetScrollInfo(hwnd, SB_VERT, &info, TRUE);
    if (!(style & WS_VSCROLL)) {
      FrameChanged(hwnd);
    }
  } else if (style & WS_VSCROLL) {
    if (scrollPos != 0) ScrollWindow(hwnd, 0, scrollPos, nullptr, nullptr);
    scrollPos = 0;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    SetScrollInfo(hwnd, SB_VERT, &info, FALSE);
    ShowScrollBar(hwnd, SB_VERT, FALSE);
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) & ~WS_VSCROLL);
    FrameChanged(hwnd);
  }
  // The client width as it is now, beside the bar or not.
  RECT client{};
  GetClientRect(hwnd, &client);
  const int width = client.right;
  HDWP batch = BeginDeferWindowPos(int(controls.size()));
  for (const _XML_CONTROL_INFO& control : controls) {
    if (control.Kind == 2 || !control.Wnd) continue;  // labels keep their size
    const RECT rect = ChildRect(control.Wnd, hwnd);
    const int cx = control.Kind == 1 ? width - 2 * kMargin : width - kInputRightGap - rect.left;
    const int cy = rect.bottom - rect.top;
    const UINT flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
    if (batch) {
      batch = DeferWindowPos(batch, control.Wnd, nullptr, 0, 0, std::max(0, cx), cy, flags);
    } else {
      SetWindowPos(control.Wnd, nullptr, 0, 0, std::max(0, cx), cy, flags);
    }
  }
  if (batch) EndDeferWindowPos(batch);
  m_inLayout = false;
}

void CXmlParsPage::OnVScroll(int code, int position) {
  if (!hwnd) return;
  RECT client{};
  GetClientRect(hwnd, &client);
  const int range = contentHeight - client.bottom;
  if (range <= 0) return;
  const int line = std::max(range / 20, kMinScrollStep);
  const int page = std::max(range / 10, kMinScrollStep);
  int target;
  switch (code) {
    case SB_LINEUP: target = scrollPos - line; break;
    case SB_LINEDOWN: target = scrollPos + line; break;
    case SB_PAGEUP: target = scrollPos - page; break;
    case SB_PAGEDOWN: target = scrollPos + page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: target = position; break;
    default: return;
  }
  target = std::clamp(target, 0, range);
  if (target == scrollPos) return;
  ScrollWindow(hwnd, 0, scrollPos - target, nullptr, nullptr);
  scrollPos = target;
  SetScrollPos(hwnd, SB_VERT, scrollPos, TRUE);
}

void CXmlParsPage::UpdateData(bool save) {
  if (!save || !Params) return;
  for (const _XML_CONTROL_INFO& control : controls) {
    if (control.Param < 0 || size_t(control.Param) >= descriptors.size() || !control.Wnd) continue;
    const _XML_PARAM_INFO& info = descriptors[size_t(control.Param)];
    std::wstring value;
    switch (control.Kind) {
      case 3:
        GetWindowTextString(control.Wnd, value);
        break;
      case 4: {
        const LRESULT selected = SendMessageW(control.Wnd, CB_GETCURSEL, 0, 0);
        // Nothing selected: the record keeps the description's value (a stored port missing from the
        // list would go to the add-in as an empty text, which it refuses).
        if (selected == CB_ERR || size_t(selected) >= info.ChoiceValues.size()) continue;
        value = info.ChoiceValues[size_t(selected)];
        break;
      }
      case 5:
        value = SendMessageW(control.Wnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"true" : L"false";
        break;
      default:
        continue;
    }
    for (_DRIVER_PARAM_INFO& record : *Params) {
      if (record.Name == info.Name) {
        record.Value = value;
        break;
      }
    }
  }
}

// ---- CParamsPage ----

CParamsPage::CParamsPage() : CAppPage(IDD_PARAMS_FORM) { helpId = IDD_PARAMS_FORM; }

CParamsPage::~CParamsPage() {
  DeleteTabs();
  if (titleFont) DeleteObject(titleFont);
}

void CParamsPage::SetTargets(std::vector<_DRIVER_PARAM_INFO>* params, std::vector<std::wstring>* actionNames) {
  Params = params;
  ActionNames = actionNames;
  for (CXmlParsPage* tab : tabs) tab->Params = params;
}

LRESULT CParamsPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_DESTROY:
      DeleteTabs();
      if (m_buttonIcon) {
        DestroyIcon(m_buttonIcon);
        m_buttonIcon = nullptr;
      }
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CParamsPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  if (HDC dc = GetDC(hwnd)) {
    const int height = -MulDiv(12, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(hwnd, dc);
    if (!titleFont) {
      titleFont = CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
    }
    if (titleFont) SendDlgItemMessageW(hwnd, IDC_PARAMS_TITLE, WM_SETFONT, WPARAM(titleFont), FALSE);
  }
  tabCtrl = GetDlgItem(hwnd, IDC_PARAMS_TABS);
  if (tabCtrl) SetWindowLongW(tabCtrl, GWL_STYLE, GetWindowLongW(tabCtrl, GWL_STYLE) | WS_CLIPSIBLINGS);
  layout.owner = hwnd;
  layout.AddControl(IDC_PARAMS_DRIVER_GROUP, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_PARAMS_TABS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();
  if (!HasSplitButtons()) {
    // Under older controls the split button has no drop-down part: a plain button with the menu's arrow
    // image, which opens the menu on a click.
    HWND button = GetDlgItem(hwnd, IDC_PARAMS_FUNCTIONS);
    if (button) {
      const LONG style = GetWindowLongW(button, GWL_STYLE);
      SetWindowLongW(button, GWL_STYLE, (style & ~LONG(BS_TYPEMASK)) | BS_PUSHBUTTON);
      CConfigVombraApp* app = ConfigApp();
      if (HIMAGELIST images = app ? app->GetImageList() : nullptr) {
        m_buttonIcon = ImageList_GetIcon(images, 4, ILD_NORMAL);
        if (m_buttonIcon) SendMessageW(button, BM_SETIMAGE, IMAGE_ICON, LPARAM(m_buttonIcon));
      }
    }
  }
  return TRUE;
}

void CParamsPage::OnSize(int width, int height) {
  HDWP batch = BeginDeferWindowPos(int(layout.anchors.size()) + 1);
  if (!batch) {
    layout.Resize(width, height, nullptr);
    PlacePage(0, 0, nullptr);
    return;
  }
  batch = layout.Resize(width, height, batch);
  if (!batch) return;
  // The tab control's size once the batch has moved it.
  int tabWidth = 0, tabHeight = 0;
  for (const _ANCHOR_INFO& anchor : layout.anchors) {
    if (anchor.hwnd != tabCtrl || !tabCtrl) continue;
    tabWidth = std::max(0, int(anchor.rect.right - anchor.rect.left) + width - int(layout.clientRect.right));
    tabHeight = std::max(0, int(anchor.rect.bottom - anchor.rect.top) + height - int(layout.clientRect.bottom));
  }
  PlacePage(tabWidth, tabHeight, batch);
  EndDeferWindowPos(batch);
}

CXmlParsPage* CParamsPage::CurrentTab() const {
  return currentTab >= 0 && size_t(currentTab) < tabs.size() ? tabs[size_t(currentTab)] : nullptr;
}

void CParamsPage::PlacePage(int width, int height, HDWP batch) {
  CXmlParsPage* tab = CurrentTab();
  if (!tab || !tab->hwnd || !tabCtrl) return;
  RECT rect{};
  if (width > 0 || height > 0) {
    rect = {0, 0, width, height};
  } else {
    GetClientRect(tabCtrl, &rect);
  }
  SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&rect));
  POINT origin{0, 0};
  MapWindowPoints(tabCtrl, hwnd, &origin, 1);
  OffsetRect(&rect, origin.x, origin.y);
  const int cx = std::max(0, int(rect.right - rect.left));
  const int cy = std::max(0, int(rect.bottom - rect.top));
  if (batch) {
    DeferWindowPos(batch, tab->hwnd, nullptr, rect.left, rect.top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(tab->hwnd, nullptr, rect.left, rect.top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CParamsPage::DeleteTabs() {
  std::vector<CXmlParsPage*> doomed;
  doomed.swap(tabs);
  currentTab = -1;
  for (CXmlParsPage* tab : doomed) delete tab;
}

void CParamsPage::ShowTab(int index) {
  if (index == currentTab) return;
  if (CXmlParsPage* shown = CurrentTab()) ShowWindow(shown->hwnd, SW_HIDE);
  currentTab = index >= 0 && size_t(index) < tabs.size() ? index : -1;
  CXmlParsPage* tab = CurrentTab();
  if (!tab) return;
  PlacePage(0, 0, nullptr);
  ShowWindow(tab->hwnd, SW_SHOW);
}

void CParamsPage::BuildForm(const CMemXML& document) {
  DeleteTabs();
  if (tabCtrl) SendMessageW(tabCtrl, TCM_DELETEALLITEMS, 0, 0);
  if (!hwnd || !tabCtrl) return;
  const CMXNode* settings = document.GetRoot().FindChild(L"Settings");
  if (!settings) return;
  for (const CMXNode* pageNode : settings->GetChildren()) {
    if (pageNode->GetName() != L"Page") continue;
    std::wstring caption = pageNode->GetAttribute(L"Caption");
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = &caption[0];
    const int count = int(SendMessageW(tabCtrl, TCM_GETITEMCOUNT, 0, 0));
    const int index = int(SendMessageW(tabCtrl, TCM_INSERTITEMW, count, LPARAM(&item)));
    if (index < 0) continue;
    auto* tab = new CXmlParsPage(Params);
    if (!CDialog::CreateFromTemplate(tab, IDD_PARAMS_TAB, hwnd) || !tab->hwnd) {
      delete tab;
      // Keep the tab items and the pages in step.
      SendMessageW(tabCtrl, TCM_DELETEITEM, index, 0);
      continue;
    }
    // Above the tab control, which only clips itself against it.
    SetWindowPos(tab->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    tabs.push_back(tab);
    if (currentTab < 0) {
      currentTab = 0;
      SendMessageW(tabCtrl, TCM_SETCURSEL, 0, 0);
      PlacePage(0, 0, nullptr);
      ShowWindow(tab->hwnd, SW_SHOW);
    }
    tab->BuildControls(*pageNode);
  }
}

void CParamsPage::BuildActions(const CMemXML& document) {
  if (ActionNames) ActionNames->clear();
  actionCaptions.clear();
  const CMXNode* actions = document.GetRoot().FindChild(L"Actions");
  if (!actions) return;
  for (const CMXNode* action : actions->GetChildren()) {
    const std::wstring& name = action->GetAttribute(L"Name");
    if (name.empty()) continue;
    const std::wstring& caption = action->GetAttribute(L"Caption");
    if (ActionNames) ActionNames->push_back(name);
    actionCaptions.push_back(caption.empty() ? name : caption);
  }
}

void CParamsPage::UpdateData(bool save) {
  for (CXmlParsPage* tab : tabs) tab->UpdateData(save);
}

bool CParamsPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (id == IDC_PARAMS_SAVE && notifyCode == BN_CLICKED) {
    Notify(PARAMS_NOTIFY_SAVE, 0);
    return true;
  }
  if (id == IDC_PARAMS_FUNCTIONS && notifyCode == BN_CLICKED) {
    ShowFunctionsMenu();
    return true;
  }
  if (id == ID_PARAMS_DEVICE_TEST && !control) {
    Notify(PARAMS_NOTIFY_TEST, 0);
    return true;
  }
  if (id >= ID_PARAMS_ACTION_FIRST && id < ID_PARAMS_ACTION_FIRST + actionCaptions.size() && !control) {
    Notify(PARAMS_NOTIFY_ACTION, int(id - ID_PARAMS_ACTION_FIRST));
    return true;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

bool CParamsPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id == IDC_PARAMS_FUNCTIONS && header->code == BCN_DROPDOWN) {
    ShowFunctionsMenu();
    *result = 0;
    return true;
  }
  // The form's own tabs: show the page of the tab now selected.
  if (id == IDC_PARAMS_TABS && header->code == TCN_SELCHANGE) {
    ShowTab(int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0)));
    *result = 0;
    return true;
  }
  return CAppPage::OnNotify(id, header, result);
}

void CParamsPage::ShowFunctionsMenu() {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_PARAMS_FUNCTIONS_MENU, &bar);
  CMenu owner(bar);
  if (!popup) return;
  if (!actionCaptions.empty()) AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
  for (size_t i = 0; i < actionCaptions.size(); ++i) {
    AppendMenuW(popup, MF_STRING, ID_PARAMS_ACTION_FIRST + i, actionCaptions[i].c_str());
  }
  HWND button = GetDlgItem(hwnd, IDC_PARAMS_FUNCTIONS);
  RECT rect{};
  if (button) GetWindowRect(button, &rect);
  TPMPARAMS params{};
  params.cbSize = sizeof params;
  params.rcExclude = rect;
  // The chosen command comes back as WM_COMMAND to the form.
  TrackPopupMenuEx(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_VERTICAL | TPM_NOANIMATION | TPM_RIGHTBUTTON, rect.left,
                   rect.bottom, hwnd, &params);
}

void CParamsPage::Notify(UINT code, int action) {
  HWND parent = hwnd ? GetParent(hwnd) : nullptr;
  if (!parent) return;
  _PARAMS_NOTIFY notify{};
  notify.hdr.hwndFrom = hwnd;
  notify.hdr.idFrom = IDD_PARAMS_FORM;
  notify.hdr.code = code;
  notify.Action = action;
  SendMessageW(parent, WM_NOTIFY, IDD_PARAMS_FORM, LPARAM(&notify));
}
