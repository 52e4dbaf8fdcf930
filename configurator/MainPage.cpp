#include "MainPage.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "Exceptions.h"
#include "File.h"
#include "Handles.h"
#include "KeyModel.h"
#include "MessageBox.h"
#include "Strings.h"
#include "UiHelpers.h"
#include "Wnd.h"

namespace {

constexpr UINT kSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400};
constexpr int kSpeedCount = int(sizeof kSpeeds / sizeof kSpeeds[0]);
constexpr int kLogLevelCount = 7;
constexpr int kSpacing = 8;  // below the lowest control, in pixels
const wchar_t kSettingsPath[] = L"Software\\Tarvelon\\Vombra";
const wchar_t kMakerPath[] = L"Software\\Tarvelon";

// The number edits: the document field, the lowest value (the highest is INT_MAX) and the group that
// names the field in an error.
struct NumberEdit {
  UINT Id;
  UINT Spin;
  UINT CAppSettings::*Field;
  int Min;
  UINT Group;
};
const NumberEdit kNumberEdits[] = {
    {IDC_MAIN_FIND_TIMEOUT, IDC_MAIN_FIND_TIMEOUT_SPIN, &CAppSettings::FindIpTimeout, -1, IDC_MAIN_SEARCH_GROUP},
    {IDC_MAIN_FIND_TRIES, IDC_MAIN_FIND_TRIES_SPIN, &CAppSettings::FindIpTries, 1, IDC_MAIN_SEARCH_GROUP},
    {IDC_MAIN_CONNECT_TIMEOUT, IDC_MAIN_CONNECT_TIMEOUT_SPIN, &CAppSettings::ConnectTimeout, -1,
     IDC_MAIN_READER_GROUP},
    {IDC_MAIN_CONNECT_PERIOD, IDC_MAIN_CONNECT_PERIOD_SPIN, &CAppSettings::ConnectPeriod, -1, IDC_MAIN_READER_GROUP},
    {IDC_MAIN_RX_PERIOD, IDC_MAIN_RX_PERIOD_SPIN, &CAppSettings::RxPeriod, -1, IDC_MAIN_READER_GROUP},
    {IDC_MAIN_REQ_TIMEOUT, IDC_MAIN_REQ_TIMEOUT_SPIN, &CAppSettings::ReqTimeout, -1, IDC_MAIN_READER_GROUP},
    {IDC_MAIN_REQ_TRIES, IDC_MAIN_REQ_TRIES_SPIN, &CAppSettings::ReqTries, 1, IDC_MAIN_READER_GROUP},
    {IDC_MAIN_LOG_SIZE, IDC_MAIN_LOG_SIZE_SPIN, &CAppSettings::LogMaxSize, -1, IDC_MAIN_LOG_GROUP},
};

// Check boxes read on save: the box, the document field and its bit.
struct FlagBox {
  UINT Id;
  UINT CAppSettings::*Field;
  UINT Bit;
};
const FlagBox kSavedBoxes[] = {
    {IDC_MAIN_SEARCH_COM, &CAppSettings::SearchFlags, 0x1},
    {IDC_MAIN_SEARCH_VIDPID, &CAppSettings::SearchFlags, 0x4},
    {IDC_MAIN_SEARCH_DESCRIPTION, &CAppSettings::SearchFlags, 0x8},
    {IDC_MAIN_WIEGAND, &CAppSettings::ReaderFlags, RDF_WIEGAND},
    {IDC_MAIN_BINARY, &CAppSettings::ReaderFlags, RDF_BINARY},
    {IDC_MAIN_DIFFERENT_CODES, &CAppSettings::ReaderFlags, RDF_DIFFERENT_CODES},
    {IDC_MAIN_NVT, &CAppSettings::ReaderFlags, RDF_NVT},
    {IDC_MAIN_LOAD_AT_START, &CAppSettings::SettingFlags, STF_LOAD_AT_START},
    {IDC_MAIN_SAVE_AT_END, &CAppSettings::SettingFlags, STF_SAVE_AT_END},
};
// Boxes only shown from the document here (their clicks store them).
const FlagBox kClickedBoxes[] = {
    {IDC_MAIN_SEARCH_VIRTUAL, &CAppSettings::SearchFlags, 0x2},
    {IDC_MAIN_SEARCH_CCID, &CAppSettings::SearchFlags, 0x20},
    {IDC_MAIN_SEARCH_IP, &CAppSettings::SearchFlags, 0x10},
};
const UINT kEventBoxes[] = {IDC_MAIN_EVENT_CONNECT, IDC_MAIN_EVENT_DISCONNECT, IDC_MAIN_EVENT_NO_CARD,
                            IDC_MAIN_EVENT_COMMAND};
const UINT kClipGroups[] = {IDC_MAIN_READER_GROUP, IDC_MAIN_LOG_GROUP,   IDC_MAIN_SEARCH_GROUP,
                            IDC_MAIN_EVENTS_GROUP, IDC_MAIN_VOMBRA_GROUP, IDC_MAIN_PORTS_GROUP};

std::wstring ExceptionText(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  return text;
}

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

void Gray(HMENU menu, UINT id, bool gray) { EnableMenuItem(menu, id, MF_BYCOMMAND | (gray ? MF_GRAYED : MF_ENABLED)); }

// A whole decimal number, optionally signed, with spaces around it; false when the text is none or the
// value lies outside [low, high].
bool ParseNumber(const std::wstring& text, long long low, long long high, long long* value) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == L' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  const size_t digits = i;
  long long result = 0;
  while (i < n && text[i] >= L'0' && text[i] <= L'9') {
    result = result * 10 + (text[i++] - L'0');
    if (result > (long long)UINT_MAX) return false;
  }
  if (i == digits) return false;
  while (i < n && text[i] == L' ') ++i;
  if (i != n) return false;
  if (negative) result = -result;
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

// A dialog text without its mnemonic marks and its closing colon.
std::wstring Caption(HWND control) {
  std::wstring text;
  GetWindowTextString(control, text);
  text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
  while (!text.empty() && (text.back() == L':' || text.back() == L' ')) text.pop_back();
  return text;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Deletes root\Software\Tarvelon when it holds neither a value nor a subkey; a missing key is fine.
void DeleteMakerKeyIfEmpty(HKEY root) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(root, kMakerPath, 0, KEY_READ, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return;
  if (rc != ERROR_SUCCESS) ThrowOSException(DWORD(rc));
  DWORD subkeys = 0, values = 0;
  rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                        nullptr, nullptr);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) ThrowOSException(DWORD(rc));
  if (subkeys || values) return;
  rc = RegDeleteKeyW(root, kMakerPath);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) ThrowOSException(DWORD(rc));
}

}  // namespace

CMainPage::CMainPage() : CMainPage(App()->settings, App()->readersWatcher) {}

CMainPage::CMainPage(CAppSettings& settings, CCcidConnection& watcher)
    : CAppPage(IDD_PAGE_MAIN), m_settings(settings), m_watcher(watcher) {}

CMainPage::~CMainPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
  scroller.window = nullptr;
}

template <typename F>
void CMainPage::Guarded(F command) {
  try {
    command();
  } catch (const std::exception& e) {
    ShowMessageBox(ExceptionText(e).c_str(), MB_OK | MB_ICONHAND, hwnd);
  }
}

void CMainPage::Check(UINT id, bool checked) { CheckDlgButton(hwnd, int(id), checked ? BST_CHECKED : BST_UNCHECKED); }

// ---- Initialisation ----

BOOL CMainPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  // The up-downs set their buddies' texts while they are set up: none of that is an edit.
  CMuteNotifyScope mute(hwnd);
  selectedPort = -1;
  for (const NumberEdit& edit : kNumberEdits) {
    SendDlgItemMessageW(hwnd, int(edit.Spin), UDM_SETRANGE32, WPARAM(edit.Min), LPARAM(INT_MAX));
  }
  for (UINT group : kClipGroups) {
    if (HWND box = Item(group)) SetWindowLongW(box, GWL_STYLE, GetWindowLongW(box, GWL_STYLE) | WS_CLIPSIBLINGS);
  }

  if (HWND bar = Item(IDC_MAIN_PORT_TOOLBAR)) {
    SendMessageW(bar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    if (g_app) {
      if (HIMAGELIST images = App()->GetImageList()) SendMessageW(bar, TB_SETIMAGELIST, 0, LPARAM(images));
    }
    TBBUTTON buttons[4] = {};
    const int images[] = {5, 6, 0, 7};
    const int commands[] = {ID_PORT_NEW, ID_PORT_DELETE, 0, ID_PORT_APPLY};
    for (int i = 0; i < 4; ++i) {
      buttons[i].iBitmap = images[i];
      buttons[i].idCommand = commands[i];
      buttons[i].fsState = TBSTATE_ENABLED;
      buttons[i].fsStyle = BYTE(commands[i] ? BTNS_BUTTON | BTNS_AUTOSIZE : BTNS_SEP);
    }
    SendMessageW(bar, TB_ADDBUTTONSW, 4, LPARAM(buttons));
    SIZE size{};
    SendMessageW(bar, TB_GETMAXSIZE, 0, LPARAM(&size));
    RECT window, client;
    GetWindowRect(bar, &window);
    GetClientRect(bar, &client);
    POINT origin{0, 0};
    ClientToScreen(bar, &origin);
    const int borderLeft = origin.x - window.left;
    const int borderTop = origin.y - window.top;
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&window), 2);
    const int width = size.cx + borderLeft + 2;
    const int height = size.cy + borderTop;
    SetWindowPos(bar, nullptr, window.right - width, window.top + (window.bottom - window.top - height) / 2, width,
                 height, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(bar, SW_SHOWNA);
  }

  // Every control can be scrolled into view: the content ends below the lowest one.
  int bottom = 0;
  for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rect), 2);
    bottom = std::max(bottom, int(rect.bottom));
  }
  scroller.window = hwnd;
  scroller.contentWidth = 0;
  scroller.contentHeight = bottom + kSpacing;
  scroller.UpdateScrollBars();

  std::wstring text;
  HWND logLevel = Item(IDC_MAIN_LOG_LEVEL);
  for (int i = 0; i < kLogLevelCount; ++i) {
    LoadStr(IDS_LOG_LEVEL_FIRST + i, text);
    ComboBox_AddString(logLevel, text.c_str());
  }
  HWND stopBits = Item(IDC_MAIN_STOP_BITS);
  for (const wchar_t* bits : {L"1", L"1.5", L"2"}) ComboBox_AddString(stopBits, bits);
  std::wstring autoText;
  LoadStr(IDS_AUTO, autoText);
  HWND model = Item(IDC_MAIN_MODEL);
  ComboBox_AddString(model, autoText.c_str());
  for (UINT i = 1; i < READER_MODEL_COUNT; ++i) ComboBox_AddString(model, g_ReaderModelNames[i]);
  HWND speed = Item(IDC_MAIN_SPEED);
  ComboBox_AddString(speed, autoText.c_str());
  for (UINT value : kSpeeds) ComboBox_AddString(speed, std::to_wstring(value).c_str());
  HWND storage = Item(IDC_MAIN_STORAGE);
  for (UINT id : {IDS_STORAGE_HKCU, IDS_STORAGE_HKLM}) {
    LoadStr(id, text);
    ComboBox_AddString(storage, text.c_str());
  }

  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CMainPage::OnSettingsChanged, 0});

  // Once per process: the watcher also reports readers plugged in and out (WM_USER+2 through the
  // application). Without a PC/SC service the port list simply does not follow them.
  m_watcher.AddPnpNotification();

  try {
    RefreshPorts();
  } catch (const std::exception&) {
    // What could be listed is shown; a start-up is no place for an error box.
  }
  UpdateData(false);
  return TRUE;
}

// ---- Ports ----

bool CMainPage::IsAutoPortName(const std::wstring& name) {
  for (const wchar_t* word : {L"Auto", L"\u0410\u0432\u0442\u043E"}) {
    if (CompareStringOrdinal(name.c_str(), int(name.size()), word, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

void CMainPage::RefreshPorts() {
  HWND combo = Item(IDC_MAIN_PORT);
  // A refresh keeps what the combo shows, even unsaved: the first fill takes the document's port.
  std::wstring shown = m_settings.Portname;
  bool autoItem = false;
  if (combo && ComboBox_GetCount(combo) > 0) {
    GetWindowTextString(combo, shown);
    autoItem = IsAutoShown();
  }
  std::vector<std::wstring> names;
  std::string failure;
  bool failed = false;
  try {
    ListComPorts(names);
  } catch (const CException& e) {
    failed = true;
    failure = e.what();
  }
  if (SUCCEEDED(m_watcher.EstablishContext())) {
    std::vector<std::wstring> readers;
    if (SUCCEEDED(CCcidConnection::ListCcidReaders(m_watcher.Context.load(), &readers))) {
      names.insert(names.end(), readers.begin(), readers.end());
    }
  }
  portNames.swap(names);
  if (combo) {
    // Emptying an editable combo can report an edit: a refresh is no change of the settings.
    CMuteNotifyScope mute(hwnd);
    FillPortCombo(shown, autoItem);
  }
  if (failed) throw CException(failure);
}

bool CMainPage::IsAutoShown() const {
  // A text put in over the selection leaves the selection as it was: item 0 counts only while its text shows.
  HWND combo = Item(IDC_MAIN_PORT);
  if (ComboBox_GetCurSel(combo) != 0) return false;
  std::wstring shown, first;
  GetWindowTextString(combo, shown);
  LoadStr(IDS_AUTO, first);
  return shown == first;
}

void CMainPage::SelectPort(int index) { ComboBox_SetCurSel(Item(IDC_MAIN_PORT), index); }

void CMainPage::FillPortCombo(const std::wstring& text, bool autoItem) {
  HWND combo = Item(IDC_MAIN_PORT);
  ComboBox_ResetContent(combo);
  std::wstring autoText;
  LoadStr(IDS_AUTO, autoText);
  ComboBox_AddString(combo, autoText.c_str());
  for (const std::wstring& name : portNames) ComboBox_AddString(combo, name.c_str());
  if (autoItem || IsAutoPortName(text)) {
    SelectPort(0);
    return;
  }
  if (text.empty()) return;
  // Exact: a port typed in another case stays as typed.
  for (size_t i = 0; i < portNames.size(); ++i) {
    if (portNames[i] == text) {
      SelectPort(int(i + 1));
      return;
    }
  }
  SetWindowTextW(combo, text.c_str());
}

// ---- Formats ----

void CMainPage::FillFormatCombo(bool selectOnly) {
  HWND combo = Item(IDC_MAIN_FORMAT);
  if (!combo) return;
  CMuteNotifyScope mute(hwnd);
  if (!selectOnly) {
    ComboBox_ResetContent(combo);
    std::wstring autoText;
    LoadStr(IDS_AUTO, autoText);
    ComboBox_SetItemData(combo, ComboBox_AddString(combo, autoText.c_str()), 0);
    for (const _FORMAT_INFO_EX& format : m_settings.formats) {
      const wchar_t* name = format.Name.c_str();
      if (*name == L'\n') ++name;
      ComboBox_SetItemData(combo, ComboBox_AddString(combo, name), format.Id);
    }
    formatComboFilled = true;
  }
  ComboBox_SetCurSel(combo, FindComboItemByData(combo, LPARAM(m_settings.FormatId)));
}

void CMainPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* self = static_cast<CMainPage*>(owner);
  if (!(*hints & (HINT_CONNECTION | HINT_FORMATS)) || !self->hwnd) return;
  if (!(*hints & HINT_FORMATS)) {
    self->FillFormatCombo(true);
  } else if (self->formatComboFilled && IsWindowVisible(self->hwnd)) {
    self->FillFormatCombo(false);
  } else {
    self->formatComboFilled = false;
  }
}

// ---- Exchange ----

void CMainPage::UpdateData(bool save) {
  if (!hwnd) return;
  CAppSettings& s = m_settings;
  if (!save) {
    CMuteNotifyScope mute(hwnd);
    for (const FlagBox& box : kSavedBoxes) Check(box.Id, (s.*box.Field & box.Bit) != 0);
    for (const FlagBox& box : kClickedBoxes) Check(box.Id, (s.*box.Field & box.Bit) != 0);
    for (const NumberEdit& edit : kNumberEdits) SetDlgItemInt(hwnd, int(edit.Id), UINT(s.*edit.Field), TRUE);
    ComboBox_SetCurSel(Item(IDC_MAIN_MODEL), s.Model < READER_MODEL_COUNT ? int(s.Model) : -1);
    if (IsAutoPortName(s.Portname)) {
      SelectPort(0);
    } else {
      const auto found = std::find(portNames.begin(), portNames.end(), s.Portname);
      if (found != portNames.end()) {
        SelectPort(int(found - portNames.begin()) + 1);
      } else {
        SelectPort(-1);
        SetWindowTextW(Item(IDC_MAIN_PORT), s.Portname.c_str());
      }
    }
    int speed = -1;
    if (s.Speed == 0) speed = 0;
    for (int i = 0; i < kSpeedCount; ++i) {
      if (kSpeeds[i] == s.Speed) speed = i + 1;
    }
    ComboBox_SetCurSel(Item(IDC_MAIN_SPEED), speed);
    ComboBox_SetCurSel(Item(IDC_MAIN_STOP_BITS), s.StopBits < 3 ? int(s.StopBits) : -1);
    FillFormatCombo(false);
    ComboBox_SetCurSel(Item(IDC_MAIN_LOG_LEVEL), s.LogLevel < UINT(kLogLevelCount) ? int(s.LogLevel) : -1);
    Check(IDC_MAIN_EVENTS_ENABLED, s.extEventsEnabled);
    for (int i = 0; i < 4; ++i) Check(kEventBoxes[i], (s.ExternalEventFlags & (1u << i)) != 0);
    ComboBox_SetCurSel(Item(IDC_MAIN_STORAGE), s.hive == 1 ? 1 : 0);
    UpdateEventControls();
    UpdateSearchControls();
    FillAdditionalPorts();
    UpdatePortButtons();
    changedEdits = 0;
    return;
  }

  // Every changed number first: a wrong one stops the save before anything is written.
  long long numbers[sizeof kNumberEdits / sizeof kNumberEdits[0]] = {};
  for (size_t i = 0; i < sizeof kNumberEdits / sizeof kNumberEdits[0]; ++i) {
    const NumberEdit& edit = kNumberEdits[i];
    if (!(changedEdits & (1u << i))) continue;
    std::wstring text;
    GetDlgItemText(edit.Id, text);
    if (ParseNumber(text, edit.Min, INT_MAX, &numbers[i])) continue;
    HWND control = Item(edit.Id);
    SetFocus(control);
    SendMessageW(control, EM_SETSEL, 0, -1);
    const std::wstring field = Caption(Item(edit.Group)) + L" \u2014 " + Caption(GetWindow(control, GW_HWNDPREV));
    std::wstring message;
    LoadStrFormat(message, IDS_MAIN_BAD_NUMBER, field.c_str(), edit.Min, INT_MAX);
    std::string narrow;
    WideToAnsi(message.c_str(), -1, narrow);
    throw CException(narrow);
  }
  for (size_t i = 0; i < sizeof kNumberEdits / sizeof kNumberEdits[0]; ++i) {
    if (changedEdits & (1u << i)) s.*kNumberEdits[i].Field = UINT(numbers[i]);
  }
  for (const FlagBox& box : kSavedBoxes) {
    s.*box.Field = Checked(box.Id) ? (s.*box.Field | box.Bit) : (s.*box.Field & ~box.Bit);
  }
  const int model = ComboBox_GetCurSel(Item(IDC_MAIN_MODEL));
  if (model >= 0 && UINT(model) < READER_MODEL_COUNT) s.Model = UINT(model);
  HWND port = Item(IDC_MAIN_PORT);
  if (!IsAutoShown()) {
    GetWindowTextString(port, s.Portname);
  } else {
    s.Portname = L"Auto";  // whatever the interface language
  }
  const int speed = ComboBox_GetCurSel(Item(IDC_MAIN_SPEED));
  if (speed == 0) s.Speed = 0;
  if (speed >= 1 && speed <= kSpeedCount) s.Speed = kSpeeds[speed - 1];
  const int stopBits = ComboBox_GetCurSel(Item(IDC_MAIN_STOP_BITS));
  if (stopBits >= 0) s.StopBits = UINT(stopBits);
  s.extEventsEnabled = Checked(IDC_MAIN_EVENTS_ENABLED);
  s.ExternalEventFlags = 0;
  for (int i = 0; i < 4; ++i) {
    if (Checked(kEventBoxes[i])) s.ExternalEventFlags |= 1u << i;
  }
  // Stored: what is read has been written; the next save reads only what changes again.
  changedEdits = 0;
}

void CMainPage::UpdateEventControls() {
  const bool enabled = Checked(IDC_MAIN_EVENTS_ENABLED);
  for (UINT id : kEventBoxes) EnableWindow(Item(id), enabled);
}

void CMainPage::UpdateSearchControls() {
  const bool virtualPorts = Checked(IDC_MAIN_SEARCH_VIRTUAL);
  EnableWindow(Item(IDC_MAIN_SEARCH_VIDPID), virtualPorts);
  EnableWindow(Item(IDC_MAIN_SEARCH_DESCRIPTION), virtualPorts);
  const bool ip = Checked(IDC_MAIN_SEARCH_IP);
  for (UINT id : {IDC_MAIN_FIND_TIMEOUT_LABEL, IDC_MAIN_FIND_TIMEOUT, IDC_MAIN_FIND_TIMEOUT_SPIN,
                  IDC_MAIN_FIND_TRIES_LABEL, IDC_MAIN_FIND_TRIES, IDC_MAIN_FIND_TRIES_SPIN}) {
    EnableWindow(Item(id), ip);
  }
}

void CMainPage::SetSearchFlag(UINT bit, bool set) {
  m_settings.SearchFlags = set ? (m_settings.SearchFlags | bit) : (m_settings.SearchFlags & ~bit);
}

// ---- Additional ports ----

void CMainPage::FillAdditionalPorts() {
  HWND list = Item(IDC_MAIN_PORTS);
  CMuteNotifyScope mute(hwnd);
  ListBox_ResetContent(list);
  for (const std::wstring& name : m_settings.AdditionalPorts) ListBox_AddString(list, name.c_str());
  if (selectedPort >= int(m_settings.AdditionalPorts.size())) selectedPort = -1;
  ListBox_SetCurSel(list, selectedPort);
}

void CMainPage::UpdatePortButtons() {
  const bool hasText = GetWindowTextLengthW(Item(IDC_MAIN_PORT_NAME)) > 0;
  const bool selected = selectedPort >= 0;
  HWND bar = Item(IDC_MAIN_PORT_TOOLBAR);
  SendMessageW(bar, TB_ENABLEBUTTON, ID_PORT_NEW, MAKELPARAM(hasText, 0));
  SendMessageW(bar, TB_ENABLEBUTTON, ID_PORT_DELETE, MAKELPARAM(selected, 0));
  SendMessageW(bar, TB_ENABLEBUTTON, ID_PORT_APPLY, MAKELPARAM(selected && hasText, 0));
  EnableWindow(Item(ID_PORT_MOVE_UP), selectedPort > 0);
  EnableWindow(Item(ID_PORT_MOVE_DOWN),
               selected && selectedPort + 1 < int(m_settings.AdditionalPorts.size()));
}

void CMainPage::NewPort() {
  std::wstring name;
  GetDlgItemText(IDC_MAIN_PORT_NAME, name);
  if (name.empty()) {
    ShowMessageBoxRes(IDS_FIELD_REQUIRED, MB_OK | MB_ICONEXCLAMATION, hwnd);
    return;
  }
  auto& ports = m_settings.AdditionalPorts;
  if (std::find(ports.begin(), ports.end(), name) != ports.end()) {
    ShowMessageBoxRes(IDS_PORT_EXISTS, MB_OK | MB_ICONEXCLAMATION, hwnd);
    return;
  }
  ports.push_back(name);
  selectedPort = int(ports.size()) - 1;
  FillAdditionalPorts();
  m_settings.SetSettingsModified(true);
  UpdatePortButtons();
}

void CMainPage::ApplyPort() {
  auto& ports = m_settings.AdditionalPorts;
  if (selectedPort < 0 || selectedPort >= int(ports.size())) return;
  std::wstring name;
  GetDlgItemText(IDC_MAIN_PORT_NAME, name);
  if (name == ports[selectedPort]) return;
  if (name.empty()) {
    ShowMessageBoxRes(IDS_FIELD_REQUIRED, MB_OK | MB_ICONEXCLAMATION, hwnd);
    return;
  }
  if (std::find(ports.begin(), ports.end(), name) != ports.end()) {
    ShowMessageBoxRes(IDS_PORT_EXISTS, MB_OK | MB_ICONEXCLAMATION, hwnd);
    return;
  }
  ports[selectedPort] = name;
  FillAdditionalPorts();
  m_settings.SetSettingsModified(true);
  UpdatePortButtons();
}

void CMainPage::DeletePort() {
  auto& ports = m_settings.AdditionalPorts;
  if (selectedPort < 0 || selectedPort >= int(ports.size())) return;
  if (m_settings.ConfirmFlags & CONFIRM_DELETE_ITEM) {
    std::wstring question;
    LoadStrFormat(question, IDS_REMOVE_ITEM, ports[selectedPort].c_str());
    bool doNotAsk = false;
    const int answer = ShowMessageBox(question.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
    if (answer != IDOK) return;
  }
  ports.erase(ports.begin() + selectedPort);
  if (selectedPort >= int(ports.size())) selectedPort = int(ports.size()) - 1;
  FillAdditionalPorts();
  m_settings.SetSettingsModified(true);
  UpdatePortButtons();
}

void CMainPage::DeleteAllPorts() {
  auto& ports = m_settings.AdditionalPorts;
  if (ports.empty()) return;
  if (m_settings.ConfirmFlags & CONFIRM_DELETE_ITEM) {
    std::wstring question;
    LoadStrFormat(question, IDS_REMOVE_ITEMS, int(ports.size()));
    bool doNotAsk = false;
    const int answer = ShowMessageBox(question.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
    if (answer != IDOK) return;
  }
  ports.clear();
  selectedPort = -1;
  FillAdditionalPorts();
  m_settings.SetSettingsModified(true);
  UpdatePortButtons();
}

void CMainPage::SortPorts() {
  auto& ports = m_settings.AdditionalPorts;
  if (ports.size() < 2) return;
  const std::wstring selected = selectedPort >= 0 ? ports[selectedPort] : std::wstring();
  // UTF-16 code units: no locale, a proper prefix first.
  std::sort(ports.begin(), ports.end());
  if (selectedPort >= 0) selectedPort = int(std::find(ports.begin(), ports.end(), selected) - ports.begin());
  m_settings.SetSettingsModified(true);
  FillAdditionalPorts();
  UpdatePortButtons();
}

void CMainPage::MovePort(int step) {
  auto& ports = m_settings.AdditionalPorts;
  const int target = selectedPort + step;
  if (selectedPort < 0 || target < 0 || target >= int(ports.size())) return;
  std::swap(ports[selectedPort], ports[target]);
  selectedPort = target;
  m_settings.SetSettingsModified(true);
  FillAdditionalPorts();
  UpdatePortButtons();
}

// ---- Commands ----

bool CMainPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  CAppSettings& s = m_settings;
  for (size_t i = 0; i < sizeof kNumberEdits / sizeof kNumberEdits[0]; ++i) {
    if (kNumberEdits[i].Id == id && notifyCode == EN_CHANGE) {
      changedEdits |= 1u << i;
      s.SetSettingsModified(true);
      return true;
    }
  }
  switch (id) {
    case IDC_MAIN_PORT:
    case IDC_MAIN_STOP_BITS:
    case IDC_MAIN_MODEL:
      if (notifyCode == CBN_SELCHANGE || notifyCode == CBN_EDITCHANGE) s.SetSettingsModified(true);
      return true;
    case IDC_MAIN_SPEED:
      if (notifyCode == CBN_SELCHANGE) s.SetSettingsModified(true);
      return true;
    case IDC_MAIN_WIEGAND:
    case IDC_MAIN_SEARCH_COM:
    case IDC_MAIN_SEARCH_VIDPID:
    case IDC_MAIN_SEARCH_DESCRIPTION:
    case IDC_MAIN_BINARY:
    case IDC_MAIN_LOAD_AT_START:
    case IDC_MAIN_DIFFERENT_CODES:
    case IDC_MAIN_NVT:
    case IDC_MAIN_SAVE_AT_END:
      if (notifyCode == BN_CLICKED) s.SetSettingsModified(true);
      return true;
    case IDC_MAIN_SEARCH_VIRTUAL:
    case IDC_MAIN_SEARCH_IP:
    case IDC_MAIN_SEARCH_CCID:
      if (notifyCode == BN_CLICKED) {
        SetSearchFlag(id == IDC_MAIN_SEARCH_VIRTUAL ? 0x2 : id == IDC_MAIN_SEARCH_IP ? 0x10 : 0x20, Checked(id));
        UpdateSearchControls();
        s.SetSettingsModified(true);
      }
      return true;
    case IDC_MAIN_EVENTS_ENABLED:
      UpdateEventControls();
      s.SetSettingsModified(true);
      s.SetConfigModified(true);
      return true;
    case IDC_MAIN_FORMAT:
      if (notifyCode == CBN_SELCHANGE) {
        HWND combo = Item(IDC_MAIN_FORMAT);
        const int index = ComboBox_GetCurSel(combo);
        if (index >= 0) {
          _DOC_UPDATE_INFO batch(&s, this);
          s.SetFormatId(UINT(ComboBox_GetItemData(combo, index)));
        }
      }
      return true;
    case IDC_MAIN_LOG_LEVEL:
      if (notifyCode == CBN_SELCHANGE) {
        const int level = ComboBox_GetCurSel(Item(IDC_MAIN_LOG_LEVEL));
        if (level >= 0 && UINT(level) != s.LogLevel) {
          _DOC_UPDATE_INFO batch(&s, this);
          s.LogLevel = UINT(level);
          s.SetSettingsModified(true);
        }
      }
      return true;
    case IDC_MAIN_STORAGE:
      if (notifyCode == CBN_SELCHANGE) {
        const bool machine = ComboBox_GetCurSel(Item(IDC_MAIN_STORAGE)) == 1;
        if (machine != (s.hive == 1)) {
          s.hive = machine ? 1 : 0;
          s.SetSettingsModified(true);
        }
      }
      return true;
    case IDC_MAIN_REFRESH:
      Guarded([this] { RefreshPorts(); });
      return true;
    case IDC_MAIN_PORTS:
      if (notifyCode == LBN_SELCHANGE) {
        selectedPort = ListBox_GetCurSel(Item(IDC_MAIN_PORTS));
        if (selectedPort >= 0 && selectedPort < int(s.AdditionalPorts.size())) {
          CMuteNotifyScope mute(hwnd);
          SetDlgItemTextW(hwnd, IDC_MAIN_PORT_NAME, s.AdditionalPorts[selectedPort].c_str());
        }
        UpdatePortButtons();
      }
      return true;
    case IDC_MAIN_PORT_NAME:
      if (notifyCode == EN_CHANGE) UpdatePortButtons();
      return true;
    case ID_PORT_NEW:
      NewPort();
      return true;
    case ID_PORT_APPLY:
      ApplyPort();
      return true;
    case ID_PORT_DELETE:
      DeletePort();
      return true;
    case ID_PORT_DELETE_ALL:
      DeleteAllPorts();
      return true;
    case ID_PORT_SORT:
      SortPorts();
      return true;
    case ID_PORT_MOVE_UP:
      MovePort(-1);
      return true;
    case ID_PORT_MOVE_DOWN:
      MovePort(1);
      return true;
    case ID_LOG_OPEN:
      Guarded([this] { OpenLog(); });
      return true;
    case ID_LOG_GO:
      Guarded([this] { GoToLogFile(); });
      return true;
    case ID_LOG_CLEAR:
      Guarded([this] { ClearLog(); });
      return true;
    case ID_REGISTRY_OPEN:
      Guarded([this] { OpenRegistry(); });
      return true;
    case ID_REGISTRY_GO:
      Guarded([this] { GoToRegistrySettings(); });
      return true;
    case ID_REGISTRY_DELETE:
      Guarded([this] { DeleteRegistrySettings(); });
      return true;
    default:
      return CAppPage::OnCommand(id, notifyCode, control);
  }
}

bool CMainPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id == IDC_MAIN_PORT_TOOLBAR && header->code == UINT(TBN_GETINFOTIPW)) {
    auto* tip = reinterpret_cast<NMTBGETINFOTIPW*>(header);
    std::wstring text;
    LoadStr(UINT(tip->iItem), text);
    const size_t lineFeed = text.find(L'\n');
    if (lineFeed != std::wstring::npos) text.erase(0, lineFeed + 1);
    if (tip->pszText && tip->cchTextMax > 0) {
      const size_t count = std::min(text.size(), size_t(tip->cchTextMax - 1));
      wmemcpy(tip->pszText, text.c_str(), count);
      tip->pszText[count] = L'\0';
    }
    *result = 0;
    return true;
  }
  return CAppPage::OnNotify(id, header, result);
}

// ---- Log and registry ----

std::wstring CMainPage::LogFilePath() {
  std::wstring folder;
  GetAppDataFolder(folder);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder + L"\\Tarvelon\\Vombra\\Vombra.log";
}

void CMainPage::OpenLog() { ShellExecuteFile(LogFilePath().c_str(), L"open", nullptr); }

void CMainPage::GoToLogFile() {
  const std::wstring parameters = L"/select, \"" + LogFilePath() + L"\"";
  ShellExecuteFile(L"explorer.exe", L"open", parameters.c_str());
}

void CMainPage::ClearLog() {
  const std::wstring path = LogFilePath();
  if (!IsFile(path)) return;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;  // gone meanwhile: nothing to clear
    ThrowOSException(error);
  }
  const BOOL truncated = SetEndOfFile(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!truncated) ThrowOSException(error);
}

void CMainPage::OpenRegistry() { ShellExecuteFile(L"regedit.exe", L"open", nullptr); }

void CMainPage::GoToRegistrySettings() {
  std::wstring regJump;
  if (FindRegJump(regJump)) {
    const std::wstring key = std::wstring(m_settings.hive == 1 ? L"HKLM" : L"HKCU") + L"\\" + kSettingsPath;
    ShellExecuteFile(regJump.c_str(), IsWindowsVistaOrLater() ? L"runas" : L"open", key.c_str());
  } else {
    ShellExecuteFile(L"regedit.exe", L"open", nullptr);
  }
}

void CMainPage::DeleteRegistrySettings() {
  if (ShowMessageBoxRes(IDS_REALLY, MB_OKCANCEL | MB_ICONQUESTION, hwnd) != IDOK) return;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    DeleteSettingsTree(root);
    DeleteMakerKeyIfEmpty(root);
  }
}

// ---- Menus ----

bool CMainPage::OnContextMenu(HWND control, POINT screen) {
  if (IsInMenuMode()) return true;
  if (control == hwnd) {
    // Group boxes and labels let the click through to the page: take the control under the point.
    POINT client = screen;
    ScreenToClient(hwnd, &client);
    HWND child = ChildWindowFromPointEx(hwnd, client, CWP_SKIPINVISIBLE);
    if (child && child != hwnd) control = child;
  }
  if (screen.x == -1 && screen.y == -1) {
    RECT rect;
    GetWindowRect(control, &rect);
    screen = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  switch (GetDlgCtrlID(control)) {
    case IDC_MAIN_LOAD_AT_START:
    case IDC_MAIN_SAVE_AT_END:
    case IDC_MAIN_VOMBRA_GROUP:
    case IDC_MAIN_STORAGE:
      ShowRegistryMenu(screen);
      return true;
    case IDC_MAIN_LOG_GROUP:
    case IDC_MAIN_LOG_LEVEL:
      ShowLogMenu(screen);
      return true;
    case IDC_MAIN_PORTS:
      ShowPortsMenu(screen);
      return true;
    default:
      return false;
  }
}

void CMainPage::ShowRegistryMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_MAIN_REGISTRY_MENU, &bar);
  if (!popup) return;
  std::wstring regJump;
  if (!FindRegJump(regJump)) DeleteMenu(popup, ID_REGISTRY_GO, MF_BYCOMMAND);
  bool hasData = false;
  try {
    hasData = SettingsKeyHasData(HKEY_CURRENT_USER) || SettingsKeyHasData(HKEY_LOCAL_MACHINE);
  } catch (...) {
    DestroyMenu(bar);
    throw;
  }
  Gray(popup, ID_REGISTRY_DELETE, !hasData);
  const UINT command = UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

void CMainPage::ShowLogMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_MAIN_LOG_MENU, &bar);
  if (!popup) return;
  const bool present = IsFile(LogFilePath());
  for (UINT id : {ID_LOG_OPEN, ID_LOG_GO, ID_LOG_CLEAR}) Gray(popup, id, !present);
  const UINT command = UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

void CMainPage::ShowPortsMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_MAIN_PORTS_MENU, &bar);
  if (!popup) return;
  const int count = int(m_settings.AdditionalPorts.size());
  Gray(popup, ID_PORT_DELETE, selectedPort < 0);
  Gray(popup, ID_PORT_MOVE_UP, selectedPort < 1);
  Gray(popup, ID_PORT_MOVE_DOWN, selectedPort < 0 || selectedPort + 1 >= count);
  Gray(popup, ID_PORT_DELETE_ALL, count == 0);
  Gray(popup, ID_PORT_SORT, count < 2);
  const UINT command = UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

// ---- Window ----

LRESULT CMainPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      if (scroller.window) scroller.UpdateScrollBars();
      break;
    case WM_VSCROLL:
      scroller.OnVScroll(LOWORD(wParam), short(HIWORD(wParam)), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_MOUSEWHEEL: {
      if (scroller.contentHeight <= scroller.pageHeight) break;
      UINT lines = 3;
      SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
      const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
      if (lines == WHEEL_PAGESCROLL) {
        scroller.OnVScroll(delta > 0 ? SB_PAGEUP : SB_PAGEDOWN, 0, nullptr);
        return 0;
      }
      const int n = int(lines) * (std::abs(delta) / WHEEL_DELTA);
      const int steps = n < 6 ? 1 : n / 3;
      for (int i = 0; i < steps; ++i) scroller.OnVScroll(delta > 0 ? SB_LINEUP : SB_LINEDOWN, 0, nullptr);
      return 0;
    }
    case WM_SHOWWINDOW:
      if (wParam && !formatComboFilled) FillFormatCombo(false);
      break;
    case WM_CONTEXTMENU:
      if (OnContextMenu(reinterpret_cast<HWND>(wParam), {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)})) return 0;
      break;
    case WM_USER + 2:
      // The reader list changed: whatever could be listed is shown, a failure stays silent.
      try {
        RefreshPorts();
      } catch (const std::exception&) {
      }
      return 0;
    case WM_DESTROY:
      m_settings.RemoveView(viewIndex);
      scroller.window = nullptr;
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}
