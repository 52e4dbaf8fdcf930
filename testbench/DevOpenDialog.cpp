#include "DevOpenDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cwchar>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TestVombra.h"
#include "VariantArray.h"
#include "WinApp.h"
#include "Xml.h"
#include "XmlPage.h"

namespace {

constexpr int kMinTrackWidth = 500;
constexpr int kMinTrackHeight = 400;
constexpr UINT kFormNotifyId = IDD_PARAMS_FORM;  // the form's WM_NOTIFY carries its template id

bool BoolResult(const tVariant& value) { return VariantType(&value) == VTYPE_BOOL && value.bVal; }

std::wstring TextResult(const tVariant& value) {
  if (VariantType(&value) != VTYPE_PWSTR || !value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, value.wstrLen);
}

const CMXNode* FindChildNoCase(const CMXNode& node, const wchar_t* name) {
  for (const CMXNode* child : node.GetChildren()) {
    if (CompareStringOrdinal(child->GetName().c_str(), int(child->GetName().size()), name, -1, TRUE) == CSTR_EQUAL)
      return child;
  }
  return nullptr;
}

}  // namespace

bool ReadDriverParams(const CMemXML& document, std::vector<_DRIVER_PARAM_INFO>& out) {
  out.clear();
  const CMXNode* settings = FindChildNoCase(document.GetRoot(), L"Settings");
  if (!settings) return false;
  for (const CMXNode* page : settings->GetChildren()) {
    for (const CMXNode* group : page->GetChildren()) {
      for (const CMXNode* parameter : group->GetChildren()) {
        // "SetParameter" refuses an empty name, which would block every "Save and close".
        const std::wstring& name = parameter->GetAttribute(L"Name");
        if (name.empty()) continue;
        _DRIVER_PARAM_INFO record;
        record.Name = name;
        const std::wstring& type = parameter->GetAttribute(L"TypeValue");
        record.Type = type == L"String" ? 1 : type == L"Number" ? 2 : type == L"Boolean" ? 3 : 0;
        record.Value = parameter->GetAttribute(L"DefaultValue");
        out.push_back(std::move(record));
      }
    }
  }
  return true;
}

int32_t DriverNumberValue(const std::wstring& value) {
  if (value.empty()) return 0;
  errno = 0;
  wchar_t* end = nullptr;
  const long long number = wcstoll(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != L'\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return 0;
  return int32_t(number);
}

CDevOpenDialog::CDevOpenDialog() : CDevOpenDialog(*App()->GetTestHost()) {}

CDevOpenDialog::CDevOpenDialog(CTestVombra& host) : m_host(host) {}

CDevOpenDialog::~CDevOpenDialog() {
  if (IsRealHandle(hwnd)) Destroy();
  DeletePages();
}

void CDevOpenDialog::DeletePages() {
  for (CAppPage*& page : pages) {
    delete page;
    page = nullptr;
  }
  currentPage = -1;
}

CParamsPage* CDevOpenDialog::Form() const { return static_cast<CParamsPage*>(pages[DEV_OPEN_FORM]); }

CXmlPage* CDevOpenDialog::XmlPage(int index) const {
  return index == DEV_OPEN_PARAMS_XML || index == DEV_OPEN_ACTIONS_XML ? static_cast<CXmlPage*>(pages[index]) : nullptr;
}

LRESULT CDevOpenDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CModalDialog::WindowProc(wnd, message, wParam, lParam);
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return answer;
    }
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = kMinTrackWidth;
      info->ptMinTrackSize.y = kMinTrackHeight;
      return 0;
    }
    case WM_DESTROY:
      if (g_app) g_app->ExchangeWindowPos(true, hwnd, FORM_DEV_OPEN, -1);
      DeletePages();
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

BOOL CDevOpenDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  tabCtrl = GetDlgItem(hwnd, IDC_DEV_OPEN_TABS);
  if (tabCtrl) {
    SetWindowLongW(tabCtrl, GWL_STYLE, GetWindowLongW(tabCtrl, GWL_STYLE) | WS_CLIPSIBLINGS);
    const UINT titles[DEV_OPEN_PAGE_COUNT] = {IDS_DEV_OPEN_TAB_FORM, IDS_DEV_OPEN_TAB_PARAMS_XML,
                                              IDS_DEV_OPEN_TAB_ACTIONS_XML};
    for (int i = 0; i < DEV_OPEN_PAGE_COUNT; ++i) {
      std::wstring text;
      LoadStr(titles[i], text);
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      item.pszText = &text[0];
      SendMessageW(tabCtrl, TCM_INSERTITEMW, i, LPARAM(&item));
    }
  }
  try {
    for (int i = 0; i < DEV_OPEN_PAGE_COUNT; ++i) CreatePage(i);
  } catch (const std::exception& e) {
    ShowError(e);
  }
  if (CParamsPage* form = Form()) form->SetTargets(&Params, &ActionNames);
  if (g_app) g_app->ExchangeWindowPos(false, hwnd, FORM_DEV_OPEN, -1);
  RECT client{};
  GetClientRect(hwnd, &client);
  OnSize(client.right, client.bottom);
  SelectPage(DEV_OPEN_FORM);
  try {
    LoadDriverInfo();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  return TRUE;
}

bool CDevOpenDialog::CreatePage(int index) {
  if (index < 0 || index >= DEV_OPEN_PAGE_COUNT) return false;
  CAppPage* page = nullptr;
  bool created = false;
  if (index == DEV_OPEN_FORM) {
    auto* form = new CParamsPage();
    page = form;
    created = CDialog::CreateFromTemplate(form, IDD_PARAMS_FORM, hwnd) && form->hwnd;
  } else {
    auto* xml = new CXmlPage();
    page = xml;
    try {
      created = xml->Create(hwnd);
    } catch (...) {
      delete xml;
      throw;
    }
  }
  if (!created) {
    delete page;
    return false;
  }
  if (currentPage == index) currentPage = -1;
  delete pages[index];
  pages[index] = page;
  ShowWindow(page->hwnd, SW_HIDE);
  // Above the tab control, which clips its siblings.
  SetWindowPos(page->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return true;
}

bool CDevOpenDialog::SelectPage(int index) {
  if (index == currentPage && index >= 0) return true;
  if (currentPage >= 0 && pages[currentPage] && pages[currentPage]->hwnd) {
    ShowWindow(pages[currentPage]->hwnd, SW_HIDE);
  }
  currentPage = -1;
  if (index < 0 || index >= DEV_OPEN_PAGE_COUNT) return false;
  if (!pages[index] && !CreatePage(index)) return false;
  currentPage = index;
  PlacePage(-1, -1, nullptr);
  ShowWindow(pages[index]->hwnd, SW_SHOW);
  if (tabCtrl) SendMessageW(tabCtrl, TCM_SETCURSEL, index, 0);
  return true;
}

void CDevOpenDialog::PlacePage(int width, int height, HDWP batch) {
  if (currentPage < 0 || !pages[currentPage] || !pages[currentPage]->hwnd || !tabCtrl) return;
  RECT rect{};
  if (width < 0) {
    GetClientRect(tabCtrl, &rect);
  } else {
    rect = {0, 0, width, height};
  }
  SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&rect));
  POINT origin{0, 0};
  MapWindowPoints(tabCtrl, hwnd, &origin, 1);
  OffsetRect(&rect, origin.x, origin.y);
  const int cx = std::max(0, int(rect.right - rect.left));
  const int cy = std::max(0, int(rect.bottom - rect.top));
  HWND page = pages[currentPage]->hwnd;
  if (batch) {
    DeferWindowPos(batch, page, nullptr, rect.left, rect.top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(page, nullptr, rect.left, rect.top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CDevOpenDialog::OnSize(int cx, int cy) {
  if (!tabCtrl) return;
  HDWP batch = BeginDeferWindowPos(2);
  if (batch) batch = DeferWindowPos(batch, tabCtrl, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  if (batch) {
    PlacePage(cx, cy, batch);
    EndDeferWindowPos(batch);
  } else {
    SetWindowPos(tabCtrl, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
    PlacePage(-1, -1, nullptr);
  }
}

// --- the driver ---

void CDevOpenDialog::SetPageText(int index, const std::wstring& text) {
  if (CXmlPage* page = XmlPage(index)) page->SetXmlText(text);
}

bool CDevOpenDialog::LoadDriverInfo() {
  std::wstring version;
  {
    CVariantArray values(1, &m_host);
    m_host.CallMethod(L"GetVersion", values.Values(), nullptr, 0);
    version = TextResult(values[0]);
  }
  std::wstring settingsXml;
  bool settingsText = false;
  {
    CVariantArray values(2, &m_host);
    m_host.CallMethod(L"GetParameters", values.Values(), values.Values() + 1, 1);
    if (!BoolResult(values[0])) {
      ShowAddinError();
      return false;
    }
    settingsText = VariantType(&values[1]) == VTYPE_PWSTR;
    settingsXml = TextResult(values[1]);
  }
  if (CParamsPage* form = Form()) {
    std::wstring installed;
    LoadStr(IDS_DRIVER_INSTALLED, installed);
    SetDlgItemTextW(form->hwnd, IDC_PARAMS_DRIVER, installed.c_str());
    SetDlgItemTextW(form->hwnd, IDC_PARAMS_VERSION, version.c_str());
  }
  SetPageText(DEV_OPEN_PARAMS_XML, settingsXml);
  std::wstring actionsXml;
  {
    CVariantArray values(2, &m_host);
    m_host.CallMethod(L"GetAdditionalActions", values.Values(), values.Values() + 1, 1);
    if (!BoolResult(values[0])) {
      ShowAddinError();
      return false;
    }
    actionsXml = TextResult(values[1]);
  }
  SetPageText(DEV_OPEN_ACTIONS_XML, actionsXml);

  CMemXML document;
  document.Parse(settingsXml.c_str(), settingsXml.size());
  const bool readable = settingsText && ReadDriverParams(document, Params);
  if (!readable) Params.clear();
  if (CParamsPage* form = Form()) {
    form->BuildForm(document);
    document.Parse(actionsXml.c_str(), actionsXml.size());
    form->BuildActions(document);
  }
  // An empty action description is the real add-in's answer, no error; a settings description without
  // its root leaves the form empty and "Save and close" opens with the add-in's current parameters.
  if (!readable) ShowMessageBoxRes(IDS_DRIVER_SETTINGS_UNREADABLE, MB_OK | MB_ICONERROR, hwnd);
  return true;
}

bool CDevOpenDialog::ApplyParameters() {
  for (const _DRIVER_PARAM_INFO& record : Params) {
    CVariantArray values(3, &m_host);
    values.SetString(1, record.Name.c_str());
    switch (record.Type) {
      case 2:
        values.SetInt(2, DriverNumberValue(record.Value));
        break;
      case 3:
        values.SetBool(2, record.Value == L"true");
        break;
      default:
        values.SetString(2, record.Value.c_str());
        break;
    }
    m_host.CallMethod(L"SetParameter", values.Values(), values.Values() + 1, 2);
    if (!BoolResult(values[0])) {
      ShowAddinError();
      return false;
    }
  }
  return true;
}

void CDevOpenDialog::UpdatePages() {
  for (CAppPage* page : pages) {
    if (page) page->UpdateData(true);
  }
}

bool CDevOpenDialog::TestDevice() {
  UpdatePages();
  if (!ApplyParameters()) return false;
  CVariantArray values(3, &m_host);
  m_host.CallMethod(L"DeviceTest", values.Values(), values.Values() + 1, 2);
  if (!BoolResult(values[0])) {
    ShowAddinError();
    return false;
  }
  const std::wstring message = TextResult(values[1]);
  ShowMessageBox(message.c_str(), MB_OK | MB_ICONINFORMATION, hwnd);
  return true;
}

bool CDevOpenDialog::RunAction(const std::wstring& name) {
  CVariantArray values(2, &m_host);
  values.SetString(1, name.c_str());
  m_host.CallMethod(L"DoAdditionalAction", values.Values(), values.Values() + 1, 1);
  if (BoolResult(values[0])) return true;
  ShowAddinError();
  return false;
}

bool CDevOpenDialog::OnPageNotify(UINT code, int action, bool* handled) {
  *handled = true;
  switch (code) {
    case PARAMS_NOTIFY_SAVE: {
      UpdatePages();
      if (!ApplyParameters()) return false;
      std::wstring id;
      if (!m_host.Open(&id)) {
        ShowAddinError();
        return false;
      }
      DeviceId = id;
      EndDialog(1);
      return true;
    }
    case PARAMS_NOTIFY_TEST:
      return TestDevice();
    case PARAMS_NOTIFY_ACTION:
      if (action < 0 || size_t(action) >= ActionNames.size()) return false;
      return RunAction(ActionNames[size_t(action)]);
    default:
      *handled = false;
      return false;
  }
}

void CDevOpenDialog::ShowAddinError() {
  std::wstring description;
  m_host.GetLastError(&description);
  ShowMessageBox(description.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

void CDevOpenDialog::ShowError(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

bool CDevOpenDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (id == IDCANCEL) {
    EndDialog(IDCANCEL);
    return true;
  }
  return CModalDialog::OnCommand(id, notifyCode, control);
}

bool CDevOpenDialog::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id == kFormNotifyId) {
    const auto* request = reinterpret_cast<const _PARAMS_NOTIFY*>(header);
    bool handled = false;
    // A refused call or a throwing add-in is shown here; the dialog stays open.
    try {
      *result = OnPageNotify(header->code, request->Action, &handled);
    } catch (const std::exception& e) {
      ShowError(e);
      *result = 0;
      handled = true;
    }
    return handled;
  }
  if (tabCtrl && header->hwndFrom == tabCtrl && header->code == TCN_SELCHANGE) {
    SelectPage(int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0)));
    *result = 1;
    return true;
  }
  return CModalDialog::OnNotify(id, header, result);
}
