#include "ConfigVombraApp.h"

#include <exception>
#include <string>

#include "AppPage.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "File.h"
#include "Handles.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TestVombra.h"

CHtmlHelpSeam HtmlHelpSeam;

namespace {

const wchar_t kMainClassName[] = L"ConfigVombra";
const wchar_t kMutexName[] = L"ConfigVombra";
const wchar_t kConfigFileName[] = L"ConfigVombra.xml";
const wchar_t kPortableMarker[] = L"portable_mode_enabled";
constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
constexpr int kMainWidth = 700;
constexpr int kMainHeight = 600;
constexpr DWORD kModulePathStart = MAX_PATH;
constexpr DWORD kModulePathLimit = 32768;
constexpr UINT kHelpContextBase = 0x20000;
constexpr UINT kReadersChangedMessage = WM_USER + 2;

static_assert(kMainStyle == 0x06CF0000, "the main window's style");
static_assert(sizeof(HH_AKLINK) == 56, "HTML Help's keyword record on x64");

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Holds a waited-for mutex; releases it (without closing the handle) when the scope ends.
class CMutexLock {
 public:
  explicit CMutexLock(HANDLE mutex) : m_mutex(mutex) {}
  ~CMutexLock() { Release(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;
  void Release() {
    if (m_mutex) ReleaseMutex(m_mutex);
    m_mutex = nullptr;
  }

 private:
  HANDLE m_mutex;
};

// Splits `text` at '|' into `count` names.
void SplitNames(std::wstring& text, const wchar_t** names, int count) {
  size_t position = 0;
  for (int i = 0; i < count; ++i) {
    const size_t bar = text.find(L'|', position);
    if (bar == std::wstring::npos) {
      names[i] = L"";
      continue;
    }
    text[bar] = L'\0';
    names[i] = text.c_str() + position;
    position = bar + 1;
  }
}

}  // namespace

HWND CallHtmlHelp(HWND caller, const wchar_t* file, UINT command, DWORD_PTR data) {
  if (HtmlHelpSeam.HtmlHelp) return HtmlHelpSeam.HtmlHelp(caller, file, command, data);
  typedef HWND(WINAPI * HtmlHelpProc)(HWND, LPCWSTR, UINT, DWORD_PTR);
  static HtmlHelpProc proc = [] {
    HMODULE module = LoadLibraryW(L"hhctrl.ocx");
    return module
               ? reinterpret_cast<HtmlHelpProc>(reinterpret_cast<void*>(GetProcAddress(module, "HtmlHelpW")))
               : nullptr;
  }();
  return proc ? proc(caller, file, command, data) : nullptr;
}

void GetModuleFolder(HMODULE module, std::wstring& out) {
  out.clear();
  std::wstring path;
  for (DWORD size = kModulePathStart; size <= kModulePathLimit; size *= 2) {
    path.resize(size);
    const DWORD length = GetModuleFileNameW(module, &path[0], size);
    if (length == 0) return;
    if (length < size) {
      path.resize(length);
      break;
    }
    if (size == kModulePathLimit) return;  // longer than any Windows path
  }
  const size_t cut = path.find_last_of(L"\\:");
  if (cut == std::wstring::npos) {
    path.clear();
  } else {
    path.resize(path[cut] == L':' ? cut + 1 : cut);
  }
  out = path + L'\\';
}

bool IsPortableFolder(const std::wstring& programFolder) {
  return IsFile(programFolder + kConfigFileName) || IsFile(programFolder + kPortableMarker);
}

int MergeShowCommand(int storedState, UINT history, int nCmdShow) {
  if (history & HISTORY_SHOW_STATE) return storedState;
  switch (nCmdShow) {
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
      return storedState | SHOW_STATE_MINIMIZED;
    case SW_SHOWMAXIMIZED:
      return storedState | SHOW_STATE_MAXIMIZED;
    default:
      return storedState;
  }
}

int CenterInRange(int refLow, int refHigh, int size, int areaLow, int areaHigh) {
  int low = (refLow + refHigh) / 2 - size / 2;
  if (low + size > areaHigh) low = areaHigh - size;
  if (low < areaLow) low = areaLow;
  return low;
}

void ParseKeyTypeNames(const void* data, size_t size, std::wstring& text, const wchar_t** names) {
  for (int i = 0; i < kKeyTypeCount; ++i) names[i] = L"";
  text.clear();
  const char* bytes = static_cast<const char*>(data);
  if (!bytes) return;
  UINT codePage = CP_ACP;
  if (size > 2 && static_cast<BYTE>(bytes[0]) == 0xEF && static_cast<BYTE>(bytes[1]) == 0xBB &&
      static_cast<BYTE>(bytes[2]) == 0xBF) {
    bytes += 3;
    size -= 3;
    codePage = CP_UTF8;
  }
  MultiByteToWide(bytes, size, text, codePage);
  size_t position = 0;
  for (int i = 0; i < kKeyTypeCount; ++i) {
    names[i] = text.c_str() + position;
    const size_t cr = text.find(L'\r', position);
    if (cr == std::wstring::npos) break;
    text[cr] = L'\0';
    position = cr + 1;
    if (position < text.size() && text[position] == L'\n') text[position++] = L'\0';
  }
}

CConfigVombraApp::CConfigVombraApp() = default;

CConfigVombraApp::~CConfigVombraApp() {
  DestroyMainFrame();
  delete testHost;  // unloads a loaded add-in and destroys the hidden window
  testHost = nullptr;
  if (imageList) ImageList_Destroy(imageList);
  imageList = nullptr;
}

CTestVombra* CConfigVombraApp::GetTestHost() {
  if (!testHost) {
    testHost = new CTestVombra(dataFolder.c_str());
    testHost->AddView({this, &CConfigVombraApp::OnTestHostChanged, 0});
  }
  if (!testHost->GetHostWindow()) testHost->CreateHostWindow();
  return testHost;
}

void CConfigVombraApp::OnTestHostChanged(void* owner, CDocument*, const uint64_t* hints) {
  // The Formats page's samples come from the add-in: samples of the last key rendered without it (empty)
  // or by an add-in now gone are stale.
  if (!(*hints & HOST_HINT_COMPONENT)) return;
  CAppSettings& settings = static_cast<CConfigVombraApp*>(owner)->settings;
  _DOC_UPDATE_INFO batch(&settings, nullptr);
  settings.UpdateAllViews(HINT_LAST_KEY);
}

void CConfigVombraApp::DestroyMainFrame() {
  if (!mainWnd) return;
  mainWnd->Destroy();
  delete mainWnd;
  mainWnd = nullptr;
}

int CConfigVombraApp::InitInstance(int nCmdShow) {
  SetExceptionStringIds(IDS_CONFIG_SYSTEM_ERROR, IDS_CONFIG_COM_ERROR);
  // Windows hands out the newer controls (SysLink among them) only after they were registered.
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES |
                                                         ICC_LINK_CLASS | ICC_USEREX_CLASSES |
                                                         ICC_DATE_CLASSES};
  InitCommonControlsEx(&controls);

  _DOC_UPDATE_INFO batch(&settings, nullptr);
  try {
    // 1. Language.
    if (LANGIDFROMLCID(GetSystemDefaultLCID()) == 1049) SetUILanguage(1049);
    // 2 to 4. Program folder, portable mode and the data folder.
    std::wstring programFolder;
    GetModuleFolder(nullptr, programFolder);
    if (programFolder.empty()) return -1;
    portableMode = IsPortableFolder(programFolder);
    if (portableMode) {
      dataFolder.assign(programFolder, 0, programFolder.size() - 1);
    } else {
      std::wstring appData;
      GetAppDataFolder(appData);
      if (appData.empty()) return -1;
      if (appData.back() == L'\\') appData.pop_back();
      dataFolder = appData + L"\\Tarvelon\\Vombra";
      if (!IsFolder(dataFolder) && !CreateDirectoryPath(dataFolder.c_str())) return -1;
    }
    // 6, 7. The configuration, or the built-in presets without one.
    const std::wstring configPath = dataFolder + L'\\' + kConfigFileName;
    if (configPath != settings.configPath) settings.SetConfigPath(configPath.c_str());
    if (IsFile(configPath)) {
      settings.LoadConfig(true);
    } else {
      settings.LoadPresetFormats(0, false);
    }
    // 8, 9. One configurator at a time: whoever holds the mutex either finds the other's window or
    // makes its own before the next one looks.
    CKernelHandle mutex(CreateMutexW(nullptr, FALSE, kMutexName));
    if (!mutex) return -1;
    WaitForSingleObject(mutex.Get(), INFINITE);
    CMutexLock lock(mutex.Get());
    if (FindWindowW(kMainClassName, nullptr)) return -1;
    // 10 to 13.
    settings.LoadSettings();
    readersWatcher.ListCallback = {this, &CConfigVombraApp::OnReadersChanged};
    if (!CreateMainFrame()) return -1;
    lock.Release();
    // 14, 15. The window was made hidden; its stored placement shows it.
    settings.showStates[0] = MergeShowCommand(settings.showStates[0], settings.History, nCmdShow);
    ExchangeWindowPos(false, mainWnd->hwnd, FORM_APP_WIN, 0);
    return 0;
  } catch (const std::exception& e) {
    std::wstring text;
    MultiByteToWide(e.what(), size_t(-1), text, CP_ACP);
    ShowMessageBox(text.c_str(), MB_ICONHAND);
    return -1;
  }
}

bool CConfigVombraApp::CreateMainFrame() {
  if (!mainWnd) mainWnd = new CMainFrame;
  if (!mainClassAtom) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &CWnd::StaticWndProc;
    windowClass.hInstance = g_hInstance;
    windowClass.hIcon = LoadIconW(g_hInstance, MAKEINTRESOURCEW(IDI_APP));
    if (!icon) {
      const int side = GetSystemMetrics(SM_CXSMICON);
      icon = side > 0 ? static_cast<HICON>(
                            LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, side, side, 0))
                      : LoadIconW(g_hInstance, MAKEINTRESOURCEW(IDI_APP));
    }
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kMainClassName;
    mainClassAtom = RegisterClassExW(&windowClass);
  }
  std::wstring title;
  LoadStr(IDS_APP_CAPTION, title);
  mainWnd->Create(0, kMainClassName, title.c_str(), kMainStyle, CW_USEDEFAULT, CW_USEDEFAULT, kMainWidth,
                  kMainHeight, nullptr, 0);
  return mainWnd->hwnd && IsWindow(mainWnd->hwnd);
}

int CConfigVombraApp::Run() {
  bool idle = true;
  int idleCount = 0;
  for (;;) {
    // An idle period gives the created pages at most two passes.
    while (idle && !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (auto* frame = dynamic_cast<CMainFrame*>(mainWnd)) {
        for (int i = 0; i < PAGE_COUNT; ++i) {
          if (CAppPage* page = frame->GetPage(i)) page->OnIdle();
        }
      }
      if (idleCount++ >= 1) idle = false;
    }
    do {
      if (!PumpMessage()) {
        DestroyMainFrame();
        if (mainClassAtom) UnregisterClassW(kMainClassName, g_hInstance);
        mainClassAtom = 0;
        if (icon) DestroyIcon(icon);
        icon = nullptr;
        if (imageList) ImageList_Destroy(imageList);
        imageList = nullptr;
        return static_cast<int>(msg.wParam);
      }
      if (IsIdleMessage(&msg)) {
        idle = true;
        idleCount = 0;
      }
    } while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  }
}

bool CConfigVombraApp::PreTranslateMessage(MSG* message) {
  if (!mainWnd) return false;
  auto* frame = dynamic_cast<CMainFrame*>(mainWnd);
  if (frame && frame->tooltips.hwnd) {
    SendMessageW(frame->tooltips.hwnd, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(message));
  }
  for (HWND wnd = message->hwnd; wnd; wnd = GetParent(wnd)) {
    CWnd* object = LookupWindow(wnd);
    if (object && object->PreTranslateMessage(message)) return true;
    if (wnd == mainWnd->hwnd) break;
  }
  // A dialog's keys still reach the main window's accelerators.
  if (message->hwnd && GetTopLevelParent(message->hwnd) != mainWnd->hwnd)
    return mainWnd->PreTranslateMessage(message);
  return false;
}

void CConfigVombraApp::OnInitMenuPopup(HMENU menu, UINT, bool) {
  if (!menuHotKeys.empty()) SetMenuHotKeyTexts(menu, menuHotKeys.data(), menuHotKeys.size());
}

void CConfigVombraApp::ToggleNoSortHeader() {
  _DOC_UPDATE_INFO batch(&settings);
  settings.noSortHeader = !settings.noSortHeader;
  settings.AddViewDetail(VIEW_DETAIL_NO_SORT_HEADER);
  settings.SetConfigModified(true);
  settings.UpdateAllViews(HINT_VIEW_OPTIONS);
}

CToolTipCtrl* CConfigVombraApp::GetSharedToolTip() {
  auto* frame = dynamic_cast<CMainFrame*>(mainWnd);
  return frame && frame->tooltips.hwnd ? &frame->tooltips : nullptr;
}

bool CConfigVombraApp::GetChooserColumns(COLUMN_SET& out) {
  out = settings.chooserColumns;
  return !out.empty();
}

void CConfigVombraApp::StoreChooserColumns(const COLUMN_SET& columns) {
  _DOC_UPDATE_INFO batch(&settings);
  settings.chooserColumns = columns;
  settings.SetConfigModified(true);
}

void CConfigVombraApp::GetHelpFile(std::wstring& out) {
  wchar_t language[16] = {};
  GetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_SABBREVLANGNAME, language, 16);
  std::wstring folder;
  GetModuleFolder(nullptr, folder);
  std::wstring name;
  StrFormat(name, L"Vombra_%s.chm", language);
  out = folder + L"Help\\" + name;
  if (IsFile(out)) return;
  StrFormat(name, L"Vombra_%s.chm", L"RUS");
  out = folder + name;
}

void CConfigVombraApp::SwitchHelpFile(const std::wstring& file) {
  if (!openHelpFile.empty() && openHelpFile != file) {
    CallHtmlHelp(nullptr, nullptr, HH_CLOSE_ALL, 0);
    openHelpFile.clear();
  }
  openHelpFile = file;
}

bool CConfigVombraApp::ShowHelp(UINT helpContextId) {
  std::wstring file;
  GetHelpFile(file);
  if (!IsFile(file)) return false;
  SwitchHelpFile(file);
  HWND owner = mainWnd ? mainWnd->hwnd : nullptr;
  if (helpContextId == 0) {
    CallHtmlHelp(owner, file.c_str(), HH_DISPLAY_TOPIC, 0);
  } else {
    CallHtmlHelp(owner, file.c_str(), HH_HELP_CONTEXT, helpContextId + kHelpContextBase);
  }
  return true;
}

bool CConfigVombraApp::ShowHelpKeyword(const wchar_t* keyword) {
  std::wstring file;
  GetHelpFile(file);
  if (!IsFile(file)) return false;
  SwitchHelpFile(file);
  HH_AKLINK link = {};
  link.cbStruct = sizeof(link);
  link.fReserved = FALSE;
  link.pszKeywords = keyword;
  link.fIndexOnFail = FALSE;
  HWND owner = mainWnd ? mainWnd->hwnd : nullptr;
  return CallHtmlHelp(owner, file.c_str(), HH_KEYWORD_LOOKUP, reinterpret_cast<DWORD_PTR>(&link)) != nullptr;
}

bool CConfigVombraApp::ExchangeWindowPos(bool save, HWND window, int slot, int showSlot) {
  if (slot < 0 || slot >= FORM_SLOT_COUNT) return false;
  const bool withShow = showSlot >= 0 && showSlot < SHOW_STATE_COUNT;
  _DOC_UPDATE_INFO batch(&settings, this);
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  if (save) {
    if (!GetWindowPlacement(window, &placement)) return false;
    if (withShow) {
      int state = 0;
      if (placement.showCmd == SW_SHOWMINIMIZED) {
        state = (placement.flags & WPF_RESTORETOMAXIMIZED) ? SHOW_STATE_MINIMIZED | SHOW_STATE_MAXIMIZED
                                                           : SHOW_STATE_MINIMIZED;
      } else if (placement.showCmd == SW_SHOWMAXIMIZED) {
        state = SHOW_STATE_MAXIMIZED;
      }
      if (state != settings.showStates[showSlot]) {
        settings.showStates[showSlot] = state;
        if (settings.History & HISTORY_SHOW_STATE) settings.SetConfigModified(true);
      }
    }
    const RECT& normal = placement.rcNormalPosition;
    POINT& position = settings.positions[slot];
    if (position.x != normal.left || position.y != normal.top) {
      position = {normal.left, normal.top};
      if (settings.History & HISTORY_POSITIONS) settings.SetConfigModified(true);
    }
    SIZE& size = settings.sizes[slot];
    const SIZE current = {normal.right - normal.left, normal.bottom - normal.top};
    if (size.cx != current.cx || size.cy != current.cy) {
      size = current;
      if (settings.History & HISTORY_SIZES) settings.SetConfigModified(true);
    }
    return true;
  }

  placement.flags = 0;
  placement.showCmd = SW_HIDE;
  int x = settings.positions[slot].x;
  int y = settings.positions[slot].y;
  int cx = settings.sizes[slot].cx;
  int cy = settings.sizes[slot].cy;
  if (cx == FORM_POS_UNSET || cy == FORM_POS_UNSET) {
    WINDOWPLACEMENT current = {};
    current.length = sizeof(current);
    if (!GetWindowPlacement(window, &current)) return false;
    if (cx == FORM_POS_UNSET) cx = current.rcNormalPosition.right - current.rcNormalPosition.left;
    if (cy == FORM_POS_UNSET) cy = current.rcNormalPosition.bottom - current.rcNormalPosition.top;
  }
  if (x == FORM_POS_UNSET || y == FORM_POS_UNSET) {
    HWND reference = nullptr;
    if (mainWnd && mainWnd->hwnd && mainWnd->hwnd != window) {
      const LONG style = GetWindowLongW(mainWnd->hwnd, GWL_STYLE);
      if ((style & WS_VISIBLE) && !(style & WS_MINIMIZE)) reference = mainWnd->hwnd;
    }
    HMONITOR monitor = reference ? MonitorFromWindow(reference, MONITOR_DEFAULTTOPRIMARY)
                                 : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(monitor, &info);
    const RECT area = info.rcWork;
    RECT around = area;
    if (reference) GetWindowRect(reference, &around);
    if (x == FORM_POS_UNSET) x = CenterInRange(around.left, around.right, cx, area.left, area.right);
    if (y == FORM_POS_UNSET) y = CenterInRange(around.top, around.bottom, cy, area.top, area.bottom);
  }
  placement.rcNormalPosition = {x, y, x + cx, y + cy};
  if (withShow) {
    const int state = settings.showStates[showSlot];
    if (state & SHOW_STATE_MINIMIZED) {
      placement.showCmd = SW_SHOWMINIMIZED;
      if (state & SHOW_STATE_MAXIMIZED) placement.flags |= WPF_RESTORETOMAXIMIZED;
    } else {
      placement.showCmd = (state & SHOW_STATE_MAXIMIZED) ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    }
  }
  return SetWindowPlacement(window, &placement) != FALSE;
}

HIMAGELIST CConfigVombraApp::GetImageList() {
  if (!imageList) {
    imageList = ImageList_LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDB_APP_IMAGES), 16, 4, RGB(0xFF, 0, 0xFF),
                                     IMAGE_BITMAP, LR_CREATEDIBSECTION | LR_SHARED);
  }
  return imageList;
}

void CConfigVombraApp::LoadKeyTypeNames() {
  if (keyTypeNames[0]) return;
  for (auto& name : keyTypeNames) name = L"";
  HMODULE module = g_hResInstance;
  HRSRC resource = module ? FindResourceW(module, MAKEINTRESOURCEW(IDR_KEY_TYPE_NAMES), RT_RCDATA) : nullptr;
  if (!resource) {
    module = g_hInstance;
    resource = FindResourceW(module, MAKEINTRESOURCEW(IDR_KEY_TYPE_NAMES), RT_RCDATA);
  }
  if (!resource) return;
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return;
  ParseKeyTypeNames(data, SizeofResource(module, resource), keyTypeNamesText, keyTypeNames);
}

void CConfigVombraApp::LoadVariantTypeNames() {
  if (variantTypeNames[0]) return;
  variantTypeNamesText.clear();
  std::wstring name;
  for (UINT id = IDS_VARIANT_TYPE_FIRST; id < IDS_VARIANT_TYPE_FIRST + kVariantTypeNameCount; ++id) {
    LoadStr(id, name);
    variantTypeNamesText += name;
    variantTypeNamesText += L'|';
  }
  SplitNames(variantTypeNamesText, variantTypeNames, kVariantTypeNameCount);
}

void CConfigVombraApp::LoadBoolNames() {
  if (boolNames[0]) return;
  std::wstring name;
  LoadStr(IDS_FALSE, boolNamesText);
  LoadStr(IDS_TRUE, name);
  boolNamesText += L'|';
  boolNamesText += name;
  boolNamesText += L'|';
  SplitNames(boolNamesText, boolNames, 2);
}

int CConfigVombraApp::VariantTypeIndex(uint16_t vt) {
  switch (vt) {
    case VTYPE_EMPTY:
      return 2;
    case VTYPE_NULL:
      return 1;
    case VTYPE_I4:
    case VTYPE_UI4:
      return 3;
    case VTYPE_PWSTR:
      return 4;
    case VTYPE_BOOL:
      return 5;
    case VTYPE_PSTR:
    case VTYPE_BLOB:
      return 6;
    default:
      return 0;
  }
}

bool CConfigVombraApp::VariantToDisplayText(const tVariant& value, std::wstring& out) {
  out.clear();
  switch (value.vt) {
    case VTYPE_EMPTY:
      LoadStr(IDS_VARIANT_TYPE_FIRST + 2, out);
      return true;
    case VTYPE_NULL:
      LoadStr(IDS_VARIANT_TYPE_FIRST + 1, out);
      return true;
    // A host need not clear the bytes above a narrow value: each is read at its own width.
    case VTYPE_I1:
      IntToStr(value.i8Val, out);
      return true;
    case VTYPE_I2:
      IntToStr(value.shortVal, out);
      return true;
    case VTYPE_UI1:
      IntToStr(value.ui8Val, out);
      return true;
    case VTYPE_UI2:
      IntToStr(value.ushortVal, out);
      return true;
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_INT:
    case VTYPE_UINT:
      IntToStr(value.lVal, out);
      return true;
    case VTYPE_PSTR:
    case VTYPE_BLOB: {
      const uint32_t length = value.pstrVal ? value.strLen : 0;
      std::wstring hex;
      BytesToHexStr(reinterpret_cast<const BYTE*>(value.pstrVal), length, hex);
      StrFormat(out, L"[%d]{%s}", int(length), hex.c_str());
      return true;
    }
    case VTYPE_BOOL:
      LoadStr(value.bVal ? IDS_TRUE : IDS_FALSE, out);
      return true;
    case VTYPE_PWSTR:
      out = L'"';
      if (value.pwstrVal) out.append(value.pwstrVal, value.wstrLen);
      out += L'"';
      return true;
    default:
      return false;
  }
}

void CConfigVombraApp::OnReadersChanged(void* context, CCcidConnection*, int) {
  auto* app = static_cast<CConfigVombraApp*>(context);
  HWND main = app && app->mainWnd ? app->mainWnd->hwnd : nullptr;
  if (main) PostMessageW(main, kReadersChangedMessage, 0, 0);
}
