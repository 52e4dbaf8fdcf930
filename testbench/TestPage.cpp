#include "TestPage.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "DevOpenDialog.h"
#include "EventsPage.h"
#include "KeyModel.h"
#include "MessageBox.h"
#include "MethodsPage.h"
#include "PropertiesPage.h"
#include "Strings.h"
#include "TestListPage.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusPeriod = 1000;  // ms
constexpr int kReaderModelMax = 12;

// The Properties and Methods tabs rebuild their rows and buttons when the component comes or goes.
void RebuildRows(CTestListPage* page) {
  if (!page || !page->hwnd) return;
  page->Refill();
  page->UpdateButtons();
}

}  // namespace

bool DeviceIdLess(const std::wstring& a, const std::wstring& b) {
  // std::wstring compares code units one by one, a prefix first: no locale, no case folding.
  return a < b;
}

void DeviceRowText(const _TEST_DEVICE_INFO& device, std::wstring& out) {
  out = device.DeviceId;
  std::wstring part;
  if (device.Status != 0) {
    LoadStr(IDS_TEST_STATUS_BASE + UINT(device.Status), part);
    out += L' ' + part;
  }
  if (device.Model == 0) return;
  out += L" - ";
  out += ReaderModelName(READER_MODEL(device.Model));
  if (device.SerialNumber != -1) {
    LoadStrFormat(part, IDS_TEST_SERIAL_NUMBER, device.SerialNumber);
    out += L' ' + part;
  }
  if (device.Version != 0) {
    VersionToStr(device.Version, part);
    out += L" v" + part;
  }
}

CTestPage::CTestPage() : CTestPage(*App()->GetTestHost(), App()->settings) {}

CTestPage::CTestPage(CTestVombra& host, CAppSettings& settings)
    : CAppPage(IDD_PAGE_TEST), m_host(host), m_settings(settings) {}

CTestPage::~CTestPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_host.RemoveView(hostViewIndex);
  DeleteTabs();
}

void CTestPage::DeleteTabs() {
  delete eventsPage;
  eventsPage = nullptr;
  delete propertiesPage;
  propertiesPage = nullptr;
  delete methodsPage;
  methodsPage = nullptr;
  shownTab = -1;
}

CAppPage* CTestPage::TabPage(int index) const {
  switch (index) {
    case TEST_TAB_EVENTS:
      return eventsPage;
    case TEST_TAB_PROPERTIES:
      return propertiesPage;
    case TEST_TAB_METHODS:
      return methodsPage;
    default:
      return nullptr;
  }
}

LRESULT CTestPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CAppPage::WindowProc(wnd, message, wParam, lParam);
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return answer;
    }
    case WM_TIMER:
      if (wParam != kStatusTimer) break;
      try {
        UpdateStatusTimer();
      } catch (const std::exception&) {
        // Silent: the timer starts again with the next change of the open-device list.
        KillTimer(hwnd, kStatusTimer);
        statusTimer = false;
      }
      return 0;
    case WM_DESTROY:
      OnDestroy();
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CTestPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  shownTab = -1;
  statusTimer = false;
  layout.owner = hwnd;
  layout.AddControl(IDC_TEST_TABS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_TEST_LOAD, ANCHOR_LEFT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_TEST_DEVICES, ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_TEST_OPEN, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_TEST_CLOSE, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(IDC_TEST_RECONNECT, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  tabCtrl = GetDlgItem(hwnd, IDC_TEST_TABS);
  deviceList = GetDlgItem(hwnd, IDC_TEST_DEVICES);
  RECT client{};
  GetClientRect(hwnd, &client);
  m_clientSize = {client.right, client.bottom};
  if (tabCtrl) {
    RECT rect{};
    GetWindowRect(tabCtrl, &rect);
    m_tabSize = {rect.right - rect.left, rect.bottom - rect.top};
    SetWindowLongW(tabCtrl, GWL_STYLE, GetWindowLongW(tabCtrl, GWL_STYLE) | WS_CLIPSIBLINGS);
    const UINT titles[TEST_TAB_COUNT] = {IDS_TEST_TAB_EVENTS, IDS_TEST_TAB_PROPERTIES, IDS_TEST_TAB_METHODS};
    for (int i = 0; i < TEST_TAB_COUNT; ++i) {
      std::wstring text;
      LoadStr(titles[i], text);
      TCITEMW item{};
      item.mask = TCIF_TEXT | TCIF_PARAM;
      item.pszText = &text[0];
      item.lParam = i + 1;
      SendMessageW(tabCtrl, TCM_INSERTITEMW, i, LPARAM(&item));
    }
  }
  if (hostViewIndex < 0) hostViewIndex = m_host.AddView({this, &CTestPage::OnHostChanged, 0});

  UpdateLoadButton();
  UpdateButtons();
  try {
    UpdateStatusTimer();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  SelectTab(TEST_TAB_EVENTS);
  return TRUE;
}

void CTestPage::OnDestroy() {
  if (statusTimer) KillTimer(hwnd, kStatusTimer);
  statusTimer = false;
  m_host.RemoveView(hostViewIndex);
  DeleteTabs();
}

void CTestPage::UpdateData(bool save) {
  if (eventsPage) eventsPage->UpdateData(save);
  if (propertiesPage) propertiesPage->UpdateData(save);
  if (methodsPage) methodsPage->UpdateData(save);
}

void CTestPage::OnIdle() {
  if (eventsPage) eventsPage->OnIdle();
  if (propertiesPage) propertiesPage->OnIdle();
  if (methodsPage) methodsPage->OnIdle();
}

// --- tabs ---

bool CTestPage::SelectTab(int index) {
  if (index == shownTab && TabPage(index)) return true;
  if (CAppPage* shown = TabPage(shownTab)) {
    if (shown->hwnd) ShowWindow(shown->hwnd, SW_HIDE);
  }
  shownTab = -1;
  if (index < 0 || index >= TEST_TAB_COUNT) return false;
  CAppPage* page = TabPage(index);
  if (!page) {
    if (index == TEST_TAB_EVENTS) page = eventsPage = new CEventsPage(m_host, m_settings);
    if (index == TEST_TAB_PROPERTIES) page = propertiesPage = new CPropertiesPage(&m_host, &m_settings);
    if (index == TEST_TAB_METHODS) page = methodsPage = new CMethodsPage(&m_host, &m_settings);
  }
  if (!page->hwnd) {
    if (!CDialog::CreateFromTemplate(page, page->templateId, hwnd)) return false;
    SetWindowPos(page->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  shownTab = index;
  PositionTab(-1, -1, nullptr);
  ShowWindow(page->hwnd, SW_SHOW);
  if (tabCtrl) SendMessageW(tabCtrl, TCM_SETCURSEL, index, 0);
  return true;
}

void CTestPage::PositionTab(int cx, int cy, HDWP batch) {
  CAppPage* page = TabPage(shownTab);
  if (!page || !page->hwnd || !tabCtrl) return;
  RECT rect{};
  if (cx < 0) {
    GetClientRect(tabCtrl, &rect);
  } else {
    rect = {0, 0, cx, cy};
  }
  SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&rect));
  POINT origin{0, 0};
  MapWindowPoints(tabCtrl, hwnd, &origin, 1);
  OffsetRect(&rect, origin.x, origin.y);
  const int width = std::max(0, int(rect.right - rect.left));
  const int height = std::max(0, int(rect.bottom - rect.top));
  if (batch) {
    DeferWindowPos(batch, page->hwnd, nullptr, rect.left, rect.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(page->hwnd, nullptr, rect.left, rect.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CTestPage::OnSize(int cx, int cy) {
  if (!TabPage(shownTab)) {
    layout.Resize(cx, cy, nullptr);
    return;
  }
  HDWP batch = BeginDeferWindowPos(int(layout.anchors.size()) + 1);
  if (batch) batch = layout.Resize(cx, cy, batch);
  const int tabWidth = m_tabSize.cx + cx - m_clientSize.cx;
  const int tabHeight = m_tabSize.cy + cy - m_clientSize.cy;
  if (batch) {
    PositionTab(tabWidth, tabHeight, batch);
    EndDeferWindowPos(batch);
  } else {
    layout.Resize(cx, cy, nullptr);
    PositionTab(-1, -1, nullptr);
  }
}

// --- buttons and devices ---

void CTestPage::UpdateLoadButton() {
  std::wstring text;
  LoadStr(m_host.IsLoaded() ? IDS_TEST_UNLOAD_DLL : IDS_TEST_LOAD_DLL, text);
  SetDlgItemTextW(hwnd, IDC_TEST_LOAD, text.c_str());
}

void CTestPage::UpdateButtons() {
  const bool loaded = m_host.IsLoaded();
  const bool selected = loaded && SelectedDevice() != nullptr;
  if (deviceList) EnableWindow(deviceList, loaded);
  EnableWindow(GetDlgItem(hwnd, IDC_TEST_OPEN), loaded);
  EnableWindow(GetDlgItem(hwnd, IDC_TEST_CLOSE), selected);
  EnableWindow(GetDlgItem(hwnd, IDC_TEST_RECONNECT), selected);
}

const _TEST_DEVICE_INFO* CTestPage::SelectedDevice() const {
  if (!deviceList) return nullptr;
  const int row = int(SendMessageW(deviceList, CB_GETCURSEL, 0, 0));
  return row >= 0 && size_t(row) < devices.size() ? &devices[size_t(row)] : nullptr;
}

void CTestPage::UpdateStatusTimer() {
  const bool wanted = !m_host.GetOpenDevices().empty();
  if (wanted != statusTimer) {
    if (!wanted) {
      KillTimer(hwnd, kStatusTimer);
      statusTimer = false;
    } else {
      statusTimer = SetTimer(hwnd, kStatusTimer, kStatusPeriod, nullptr) != 0;
    }
  }
  RefreshDevices();
}

void CTestPage::ReadDevice(_TEST_DEVICE_INFO& device) {
  device.Model = 0;
  device.SerialNumber = 0;
  device.Version = 0;
  {
    CVariantArray values(6, &m_host);
    values.SetString(1, device.DeviceId.c_str());
    m_host.CallMethod(L"GetReaderInfo", values.Values(), values.Values() + 1, 5);
    if (values[0].vt == VTYPE_BOOL && values[0].bVal) {
      // Outputs of another type count as not shown.
      const tVariant& model = values[2];
      const tVariant& serial = values[3];
      const tVariant& version = values[4];
      device.Model = model.vt == VTYPE_I4 && model.lVal >= 1 && model.lVal <= kReaderModelMax ? model.lVal : 0;
      device.SerialNumber = serial.vt == VTYPE_I4 ? serial.lVal : -1;
      device.Version = version.vt == VTYPE_UI4 ? version.ulVal : 0;
    }
  }
  CVariantArray values(2, &m_host);
  values.SetString(1, device.DeviceId.c_str());
  m_host.CallMethod(L"GetStatus", values.Values(), values.Values() + 1, 1);
  const int32_t status = values[0].vt == VTYPE_I4 || values[0].vt == VTYPE_UI4 ? values[0].lVal : 0;
  device.Status = status >= 0 && status <= 3 ? status : 0;
}

void CTestPage::RefreshDevices() {
  if (!deviceList) return;
  const _TEST_DEVICE_INFO* selected = SelectedDevice();
  const std::wstring selectedId = selected ? selected->DeviceId : std::wstring();
  const int oldSelection = int(SendMessageW(deviceList, CB_GETCURSEL, 0, 0));
  for (_TEST_DEVICE_INFO& device : devices) device.Stale = 1;

  const std::vector<std::wstring> ids = m_host.GetOpenDevices();
  std::wstring text;
  for (const std::wstring& id : ids) {
    auto it = std::lower_bound(devices.begin(), devices.end(), id,
                               [](const _TEST_DEVICE_INFO& d, const std::wstring& key) { return DeviceIdLess(d.DeviceId, key); });
    const int index = int(it - devices.begin());
    _TEST_DEVICE_INFO read;
    read.DeviceId = id;
    ReadDevice(read);
    if (it == devices.end() || it->DeviceId != id) {
      devices.insert(it, read);
      DeviceRowText(read, text);
      SendMessageW(deviceList, CB_INSERTSTRING, index, LPARAM(text.c_str()));
      continue;
    }
    it->Stale = 0;
    if (it->Model == read.Model && it->SerialNumber == read.SerialNumber && it->Version == read.Version &&
        it->Status == read.Status) {
      continue;
    }
    *it = read;
    DeviceRowText(read, text);
    SendMessageW(deviceList, CB_DELETESTRING, index, 0);
    SendMessageW(deviceList, CB_INSERTSTRING, index, LPARAM(text.c_str()));
  }
  for (size_t i = devices.size(); i-- > 0;) {
    if (!devices[i].Stale) continue;
    devices.erase(devices.begin() + ptrdiff_t(i));
    SendMessageW(deviceList, CB_DELETESTRING, i, 0);
  }

  int selection = devices.empty() ? -1 : 0;
  bool gone = !selectedId.empty();
  for (size_t i = 0; i < devices.size() && !selectedId.empty(); ++i) {
    if (devices[i].DeviceId == selectedId) {
      selection = int(i);
      gone = false;
    }
  }
  if (selection != int(SendMessageW(deviceList, CB_GETCURSEL, 0, 0)) || selection != oldSelection || gone) {
    SendMessageW(deviceList, CB_SETCURSEL, WPARAM(selection), 0);
    UpdateButtons();
  }
}

// --- commands ---

void CTestPage::ShowError(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

void CTestPage::ShowAddinError() {
  std::wstring description;
  m_host.GetLastError(&description);
  ShowMessageBox(description.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

void CTestPage::OnLoadButton() {
  if (m_host.IsLoaded()) {
    m_host.Unload();
  } else {
    m_host.Load();
  }
  UpdateLoadButton();
  UpdateButtons();
}

void CTestPage::OnOpenDevice() {
  if (!m_host.IsLoaded()) return;
  CDevOpenDialog dialog(m_host);
  if (dialog.DoModal(IDD_DEV_OPEN, hwnd) != 1) return;
  UpdateStatusTimer();
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].DeviceId != dialog.DeviceId) continue;
    SendMessageW(deviceList, CB_SETCURSEL, WPARAM(i), 0);
    UpdateButtons();
    break;
  }
}

void CTestPage::OnCloseDevice() {
  const _TEST_DEVICE_INFO* device = SelectedDevice();
  if (!device) return;
  const std::wstring id = device->DeviceId;
  if (!m_host.Close(id.c_str())) ShowAddinError();
}

void CTestPage::OnReconnect() {
  const _TEST_DEVICE_INFO* device = SelectedDevice();
  if (!device) return;
  const std::wstring id = device->DeviceId;
  if (settingsSaved && !m_host.LoadSettings()) {
    ShowAddinError();
    return;
  }
  // The add-in has the saved settings now, whatever Reconnect answers.
  settingsSaved = false;
  if (!m_host.Reconnect(id.c_str())) ShowAddinError();
}

bool CTestPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  try {
    switch (id) {
      case IDC_TEST_LOAD:
        OnLoadButton();
        return false;
      case IDC_TEST_DEVICES:
        if (notifyCode == CBN_SELCHANGE) UpdateButtons();
        return false;
      case IDC_TEST_OPEN:
        OnOpenDevice();
        return false;
      case IDC_TEST_CLOSE:
        OnCloseDevice();
        return false;
      case IDC_TEST_RECONNECT:
        OnReconnect();
        return false;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ShowError(e);
    return false;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

bool CTestPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (tabCtrl && header->hwndFrom == tabCtrl && header->code == TCN_SELCHANGE) {
    SelectTab(int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0)));
    *result = 1;
    return true;
  }
  return CAppPage::OnNotify(id, header, result);
}

// --- host ---

void CTestPage::OnHostChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* page = static_cast<CTestPage*>(owner);
  if (!page->hwnd) return;
  const uint64_t bits = *hints;
  CTestVombra& host = page->m_host;
  // Each step on its own: one that fails leaves the others to run.
  if (bits & HOST_HINT_DEVICES) {
    try {
      page->UpdateStatusTimer();
    } catch (const std::exception&) {
      KillTimer(page->hwnd, kStatusTimer);
      page->statusTimer = false;
    }
  }
  if ((bits & HOST_HINT_LAST_EVENT) && !host.LastIsError && host.IsLoaded()) {
    try {
      int32_t keyType = 0;
      _KEYNUM_INFO key{};
      if (host.GetKeyInfo(host.LastSource.c_str(), 0, &keyType, &key)) {
        page->m_settings.SetLastKey(UINT(keyType), key);
      }
    } catch (const std::exception&) {
      // The last key stays as it was.
    }
  }
  if ((bits & HOST_HINT_EVENTS) && page->eventsPage) page->eventsPage->OnNewEvents();
  if (bits & HOST_HINT_COMPONENT) {
    page->UpdateLoadButton();
    page->UpdateButtons();
    RebuildRows(page->methodsPage);
  }
  if (bits & (HOST_HINT_COMPONENT | HOST_HINT_SETTINGS)) RebuildRows(page->propertiesPage);
}
