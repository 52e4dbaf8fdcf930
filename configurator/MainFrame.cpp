#include "MainFrame.h"

#include <commctrl.h>

#include <cstdarg>
#include <cwchar>
#include <exception>
#include <string>

#include "AboutDialog.h"
#include "AdvancedPage.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "Dialog.h"
#include "FormatsPage.h"
#include "MainPage.h"
#include "MessageBox.h"
#include "ReadKeysPage.h"
#include "SoundPage.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "UiHelpers.h"

CSoundSeam SoundSeam;

namespace {

constexpr int kButtonRowOffset = 31;  // from the client bottom to the buttons' top
constexpr int kTabBottomGap = 39;     // from the client bottom to the tab control's bottom
constexpr int kButtonX = 8;
constexpr int kButtonStep = 118;
constexpr int kButtonWidth = 110;
constexpr int kButtonHeight = 23;
constexpr int kStatusX = 480;
constexpr int kMargin = 8;
constexpr int kMinTrackWidth = 700;
constexpr int kMinTrackHeight = 600;
constexpr UINT kTrainingCard = 5555;  // WM_TCARD's wParam for a command request

const UINT kButtonIds[4] = {ID_CONFIG_LOAD, ID_CONFIG_SAVE, ID_CONFIG_RESET_ALL, ID_MAIN_HELP};

BOOL PlaySoundCall(LPCWSTR sound, DWORD flags) {
  if (SoundSeam.PlaySoundProc) return SoundSeam.PlaySoundProc(sound, nullptr, flags);
  return PlaySoundW(sound, nullptr, flags);
}

MCIERROR MciCommand(const wchar_t* command, HWND notify) {
  if (SoundSeam.MciSendStringProc) return SoundSeam.MciSendStringProc(command, nullptr, 0, notify);
  return mciSendStringW(command, nullptr, 0, notify);
}

// The extension of `path` from its last '.' on, lower-cased; empty when the file name has none.
std::wstring LowerExtension(const std::wstring& path) {
  const size_t dot = path.find_last_of(L'.');
  const size_t slash = path.find_last_of(L"\\/:");
  if (dot == std::wstring::npos || (slash != std::wstring::npos && slash > dot)) return std::wstring();
  std::wstring extension = path.substr(dot);
  for (wchar_t& c : extension) c = wchar_t(towlower(c));
  return extension;
}

std::wstring ExceptionText(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  return text;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

CAppSettings& Settings() { return App()->settings; }

}  // namespace

CMainFrame::CMainFrame() = default;

CMainFrame::~CMainFrame() {
  if (IsRealHandle(hwnd)) Destroy();
  tooltips.Destroy();
  DeletePages();
  if (font) DeleteObject(font);
}

// ---- Creation and destruction ----

LRESULT CMainFrame::OnCreate() {
  // About in the system menu.
  std::wstring text;
  if (LoadStr(IDS_ABOUT_MENU_ITEM, text) > 0) {
    if (HMENU systemMenu = GetSystemMenu(hwnd, FALSE)) {
      AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(systemMenu, MF_STRING, ID_APP_ABOUT, text.c_str());
    }
  }
  // The dialog font of the window and its children.
  if (HDC dc = GetDC(hwnd)) {
    LOGFONTW logFont{};
    logFont.lfCharSet = DEFAULT_CHARSET;
    logFont.lfHeight = -MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72);
    logFont.lfWeight = FW_NORMAL;
    wcscpy(logFont.lfFaceName, L"Segoe UI");
    font = CreateFontIndirectW(&logFont);
    ReleaseDC(hwnd, dc);
  }
  // No page yet; the accelerators.
  currentPage = -1;
  DeletePages();
  accelerators = LoadAcceleratorsW(g_hInstance, MAKEINTRESOURCEW(IDR_MAIN_ACCELERATORS));
  // The tooltip control the pages' tables share.
  if (tooltips.Create(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, 0)) {
    SendMessageW(tooltips.hwnd, TTM_SETMAXTIPWIDTH, 0, 400);
    SendMessageW(tooltips.hwnd, TTM_ACTIVATE, TRUE, 0);
  }
  // The button row.
  RECT client{};
  GetClientRect(hwnd, &client);
  const int y = client.bottom - kButtonRowOffset;
  for (int i = 0; i < 4; ++i) {
    LoadStr(kButtonIds[i], text);
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (i == 0 ? WS_GROUP : 0);
    buttons[i] =
        CreateWindowExW(0, L"Button", text.c_str(), style, kButtonX + i * kButtonStep, y, kButtonWidth,
                        kButtonHeight, hwnd, HMENU(UINT_PTR(kButtonIds[i])), g_hInstance, nullptr);
  }
  // The status line after the buttons.
  statusCtrl = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE | SS_ENDELLIPSIS | SS_CENTERIMAGE,
                               kStatusX, y, client.right - kStatusX - kMargin, kButtonHeight, hwnd,
                               HMENU(UINT_PTR(IDC_MAIN_STATUS)), g_hInstance, nullptr);
  // The tab control above them, with its six tabs.
  tabCtrl =
      CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_GROUP | WS_TABSTOP,
                      client.left, client.top, client.right - client.left, y - client.top - kMargin, hwnd,
                      HMENU(UINT_PTR(IDC_MAIN_TAB)), g_hInstance, nullptr);
  for (int i = 0; i < PAGE_COUNT; ++i) {
    LoadStr(IDS_PAGE_CAPTION_BASE + i, text);
    TCITEMW item{};
    item.mask = TCIF_TEXT | TCIF_PARAM;
    item.pszText = &text[0];
    item.lParam = i + 1;
    SendMessageW(tabCtrl, TCM_INSERTITEMW, i, LPARAM(&item));
  }
  // The font for every child.
  if (font) EnumChildWindows(hwnd, &SetChildFontProc, LPARAM(font));
  // Help only with a help file.
  std::wstring helpFile;
  App()->GetHelpFile(helpFile);
  if (!FileExists(helpFile)) ShowWindow(buttons[3], SW_HIDE);
  // A view of the settings document.
  viewIndex = Settings().AddView({this, &CMainFrame::OnSettingsChanged, 0});
  SelectPage(0);
  if (tooltips.hwnd)
    SetWindowPos(tooltips.hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return 0;
}

void CMainFrame::OnDestroy() {
  PostQuitMessage(0);
  CConfigVombraApp* app = App();
  if (!app->openHelpFile.empty()) {
    CallHtmlHelp(hwnd, nullptr, HH_CLOSE_ALL, 0);
    app->openHelpFile.clear();
  }
  CallHtmlHelp(hwnd, nullptr, HH_CLOSE_ALL, 0);
  currentPage = -1;
  DeletePages();
  if (CTestVombra* host = app->testHost) {
    app->testHost = nullptr;
    host->Unload();
    delete host;
  }
  app->settings.RemoveView(viewIndex);
  app->readersWatcher.Stop(true);
  if (statusCtrl) DestroyWindow(statusCtrl);
  statusCtrl = nullptr;
  tooltips.Destroy();
  if (accelerators) DestroyAcceleratorTable(accelerators);
  accelerators = nullptr;
}

void CMainFrame::SetPage(int index, CAppPage* page) {
  if (pages[index] != page) delete pages[index];
  pages[index] = page;
}

void CMainFrame::DeletePages() {
  for (int i = 0; i < PAGE_COUNT; ++i) SetPage(i, nullptr);
}

// ---- Pages and layout ----

bool CMainFrame::SelectPage(int index) {
  if (index == currentPage) return true;
  if (index < -1 || index >= PAGE_COUNT) return false;
  if (CAppPage* shown = GetPage(currentPage)) ShowWindow(shown->hwnd, SW_HIDE);
  if (index == -1) {
    currentPage = -1;
    return true;
  }
  if (!pages[index]) {
    // Pages whose content has not been built yet are plain pages on their own template.
    CAppPage* page = index == PAGE_ADVANCED ? static_cast<CAppPage*>(new CAdvancedPage())
                     : index == PAGE_FORMATS ? static_cast<CAppPage*>(new CFormatsPage())
                     : index == PAGE_READ_KEYS ? static_cast<CAppPage*>(new CReadKeysPage())
                     : index == PAGE_SOUND   ? static_cast<CAppPage*>(new CSoundPage())
                     : index == PAGE_MAIN    ? static_cast<CAppPage*>(new CMainPage())
                     : index == PAGE_TEST    ? static_cast<CAppPage*>(new CTestPage())
                                            : new CAppPage(kPageTemplateFirst + index);
    SetPage(index, page);
    if (!CDialog::CreateFromTemplate(page, kPageTemplateFirst + index, hwnd)) {
      SetPage(index, nullptr);
      currentPage = -1;
      return false;
    }
  }
  currentPage = index;
  LayoutPage(-1, -1, nullptr);
  ShowWindow(pages[index]->hwnd, SW_SHOW);
  SendMessageW(tabCtrl, TCM_SETCURSEL, index, 0);
  return true;
}

void CMainFrame::LayoutPage(int cx, int cy, HDWP batch) {
  CAppPage* page = GetPage(currentPage);
  if (!page || !page->hwnd) return;
  RECT area{0, 0, cx, cy};
  if (cx == -1) GetClientRect(tabCtrl, &area);
  SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&area));
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  POINT origin{area.left, area.top};
  MapWindowPoints(tabCtrl, hwnd, &origin, 1);
  if (batch) {
    DeferWindowPos(batch, page->hwnd, nullptr, origin.x, origin.y, width, height, 0);
  } else {
    SetWindowPos(page->hwnd, nullptr, origin.x, origin.y, width, height, 0);
  }
}

void CMainFrame::OnSize(UINT type, int cx, int cy) {
  if (type == SIZE_MINIMIZED) return;
  HDWP batch = BeginDeferWindowPos(GetPage(currentPage) ? 7 : 6);
  if (!batch) return;
  batch = DeferWindowPos(batch, tabCtrl, nullptr, 0, 0, cx, cy - kTabBottomGap, SWP_NOZORDER);
  LayoutPage(cx, cy - kTabBottomGap, batch);
  for (int i = 0; i < 4 && batch; ++i) {
    batch = DeferWindowPos(batch, buttons[i], nullptr, kButtonX + i * kButtonStep, cy - kButtonRowOffset, 0,
                           0, SWP_NOSIZE | SWP_NOZORDER);
  }
  if (batch) {
    batch = DeferWindowPos(batch, statusCtrl, nullptr, kStatusX, cy - kButtonRowOffset,
                           cx - kStatusX - kMargin, kButtonHeight, SWP_NOZORDER | SWP_NOCOPYBITS);
  }
  if (batch) EndDeferWindowPos(batch);
}

UINT CMainFrame::CurrentHelpId() const { return currentPage >= 0 ? kPageTemplateFirst + currentPage : 0; }

void CMainFrame::RefreshPages() {
  for (CAppPage* page : pages) {
    if (page) page->UpdateData(false);
  }
}

// ---- Commands ----

bool CMainFrame::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case ID_CONFIG_LOAD:
      OnLoad();
      return true;
    case ID_CONFIG_SAVE:
      OnSave();
      return true;
    case ID_CONFIG_RESET_ALL:
      OnResetAll();
      return true;
    case ID_MAIN_HELP:
      App()->ShowHelp(CurrentHelpId());
      return true;
    case ID_APP_ABOUT:
      ShowAbout();
      return true;
    default:
      return CWnd::OnCommand(id, notifyCode, control);
  }
}

bool CMainFrame::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id == IDC_MAIN_TAB && header->code == UINT(TCN_SELCHANGE)) {
    SelectPage(int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0)));
    *result = 1;
    return true;
  }
  return CWnd::OnNotify(id, header, result);
}

bool CMainFrame::Confirm(UINT flag) {
  CAppSettings& settings = Settings();
  if (!(settings.ConfirmFlags & flag)) return true;
  bool doNotAsk = false;
  const int answer = ShowMessageBoxRes(IDS_REALLY, MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
  if (doNotAsk) settings.SetConfirmFlags(flag, false);
  return answer == IDOK;
}

void CMainFrame::SetSettingsSaved(bool saved) {
  if (auto* test = dynamic_cast<CTestPage*>(pages[PAGE_TEST])) test->settingsSaved = saved;
}

bool CMainFrame::OnLoad() {
  if (!Confirm(CONFIRM_LOAD_CONFIG)) return false;
  CAppSettings& settings = Settings();
  std::wstring error;
  bool loaded = true;
  {
    _DOC_UPDATE_INFO batch(&settings, nullptr);
    try {
      settings.LoadConfig(false);
      settings.LoadSettings();
    } catch (const std::exception& e) {
      loaded = false;
      error = ExceptionText(e);
    }
  }
  RefreshPages();
  // The add-in's settings and the registry agree again: Reconnect need not reload them.
  if (loaded) SetSettingsSaved(false);
  if (loaded) {
    SetStatusText(ID_CONFIG_LOAD, IDS_CONFIG_LOADED);
  } else {
    SetStatusText(ID_CONFIG_LOAD, IDS_CONFIG_LOAD_ERROR, error.c_str());
  }
  return loaded;
}

bool CMainFrame::OnSave() {
  if (!Confirm(CONFIRM_SAVE_CONFIG)) return false;
  CAppSettings& settings = Settings();
  std::wstring error;
  bool saved = true;
  try {
    for (CAppPage* page : pages) {
      if (page) page->UpdateData(true);
    }
  } catch (const std::exception& e) {
    saved = false;
    error = ExceptionText(e);
  }
  if (saved) {
    // The batch encloses the handler, so what was done before a failure still reaches the views.
    _DOC_UPDATE_INFO batch(&settings, nullptr);
    try {
      settings.SaveSettings();
      // The registry now differs from what the add-in loaded: Reconnect reloads it first.
      SetSettingsSaved(true);
      settings.SaveConfig(true);
    } catch (const std::exception& e) {
      saved = false;
      error = ExceptionText(e);
    }
  }
  if (saved) {
    SetStatusText(ID_CONFIG_SAVE, IDS_CONFIG_SAVED);
  } else {
    SetStatusText(ID_CONFIG_SAVE, IDS_CONFIG_SAVE_ERROR, error.c_str());
  }
  return saved;
}

bool CMainFrame::OnResetAll() {
  if (!Confirm(CONFIRM_RESET_TO_DEFAULT)) return false;
  CAppSettings& settings = Settings();
  {
    _DOC_UPDATE_INFO batch(&settings, this);
    settings.ResetConfig(true);
    settings.LoadPresetFormats(0, false);
    settings.SetConfigModified(true);
    settings.ResetSettings();
    settings.SetSettingsModified(true);
  }
  RefreshPages();
  SetStatusText(ID_CONFIG_RESET_ALL, 0);
  return true;
}

void CMainFrame::SetStatusText(UINT command, UINT stringId, ...) {
  statusCommand = command;
  std::wstring text;
  if (stringId) {
    std::wstring format;
    LoadStr(stringId, format);
    va_list args;
    va_start(args, stringId);
    StrFormatV(text, format.c_str(), args);
    va_end(args);
  }
  if (statusCtrl) SetWindowTextW(statusCtrl, text.c_str());
}

void CMainFrame::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* self = static_cast<CMainFrame*>(owner);
  const uint64_t bits = *hints;
  if ((bits & (HINT_CONFIG_MODIFIED | HINT_SETTINGS_MODIFIED)) &&
      (self->statusCommand == ID_CONFIG_LOAD || self->statusCommand == ID_CONFIG_SAVE) && self->statusCtrl) {
    SetWindowTextW(self->statusCtrl, L"");
  }
  if ((bits & HINT_SOUND_ENABLED) && !Settings().SoundEnabled && self->openSound != -1) self->StopSound();
}

// ---- Closing ----

bool CMainFrame::QueryClose() {
  CAppSettings& settings = Settings();
  int answer = 0;  // 0: nothing was asked
  if (settings.settingsModified || (settings.configModified && settings.formatsEdited)) {
    answer = ShowMessageBoxRes(IDS_SAVE_CHANGES, MB_YESNOCANCEL | MB_ICONQUESTION, hwnd);
    // A box that could not be shown keeps the window too: nothing is lost unasked.
    if (answer != IDYES && answer != IDNO) return false;
  }
  try {
    App()->ExchangeWindowPos(true, hwnd, FORM_APP_WIN, 0);
    for (CAppPage* page : pages) {
      if (page) page->UpdateData(true);
    }
    if (answer == IDYES) {
      if (settings.settingsModified) settings.SaveSettings();
      settings.SaveConfig(settings.formatsEdited);
    } else if (settings.configModified) {
      // After "No" a missing or foreign file is left alone: a whole new file would carry the formats.
      settings.SaveConfig(false, answer == IDNO ? CONFIG_SAVE_UPDATE_ONLY : CONFIG_SAVE_REWRITE);
    }
    return true;
  } catch (const std::exception& e) {
    std::wstring text;
    LoadStr(IDS_SAVE_FAILED_QUIT, text);
    text += L"\r\n\r\n";
    text += ExceptionText(e);
    return ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONHAND, hwnd) == IDOK;
  }
}

// ---- Event sounds ----

void CMainFrame::CloseOpenSound() {
  if (waveSound) {
    PlaySoundCall(nullptr, 0);
  } else {
    MciCommand(L"close media", nullptr);
  }
}

void CMainFrame::PlayEventSound(int event) {
  if (event < 0 || event >= int(SOUND_COUNT)) return;
  CAppSettings& settings = Settings();
  const std::wstring file = settings.SoundFiles[event];
  if (file.empty()) return;
  _DOC_UPDATE_INFO batch(&settings, nullptr);
  if (openSound != event) {
    if (openSound != -1) {
      CloseOpenSound();
      openSound = -1;
      mciSound = -1;
      settings.UpdateAllViews(HINT_SOUND_PLAYING);
    }
    const std::wstring extension = LowerExtension(file);
    if (extension == L".wav") {
      waveSound = true;
      openSound = event;
    } else {
      waveSound = false;
      std::wstring command;
      StrFormat(command, L"open \"%s\" type %s alias media", file.c_str(),
                extension == L".mid" ? L"sequencer" : L"mpegvideo");
      if (MciCommand(command.c_str(), nullptr) == 0) openSound = event;
    }
  }
  if (openSound == -1) return;
  if (waveSound) {
    PlaySoundCall(file.c_str(), SND_FILENAME | SND_NODEFAULT | SND_ASYNC);
  } else {
    mciSound = MciCommand(L"play media from 0 notify", hwnd) == 0 ? openSound : -1;
    settings.UpdateAllViews(HINT_SOUND_PLAYING);
  }
}

void CMainFrame::StopSound() {
  if (openSound == -1) return;
  openSound = -1;
  if (waveSound) {
    PlaySoundCall(nullptr, 0);
    return;
  }
  CAppSettings& settings = Settings();
  _DOC_UPDATE_INFO batch(&settings, nullptr);
  MciCommand(L"close media", nullptr);
  mciSound = -1;
  settings.UpdateAllViews(HINT_SOUND_PLAYING);
}

void CMainFrame::StopMedia() {
  if (mciSound == -1) return;
  // openSound keeps the device: dropping it without "close media" would leave the alias taken, and no
  // later "open" could succeed.
  CAppSettings& settings = Settings();
  _DOC_UPDATE_INFO batch(&settings, nullptr);
  MciCommand(L"stop media", nullptr);
  mciSound = -1;
  settings.UpdateAllViews(HINT_SOUND_PLAYING);
}

// ---- About, help ----

void CMainFrame::ShowAbout() {
  CAboutDialog about;
  about.DoModal(IDD_ABOUT, hwnd);
}

void CMainFrame::OnHelp() {
  for (HWND wnd = GetFocus(); wnd; wnd = GetParent(wnd)) {
    if (SendMessageW(wnd, WM_COMMANDHELP, 0, 0)) return;
  }
  for (HWND wnd = GetLastActivePopup(GetTopLevelParent(hwnd)); wnd; wnd = GetParent(wnd)) {
    if (SendMessageW(wnd, WM_COMMANDHELP, 0, 0)) return;
  }
}

// ---- Messages ----

bool CMainFrame::PreTranslateMessage(MSG* message) {
  const UINT m = message->message;
  const bool keyboard = m >= WM_KEYFIRST && m <= WM_KEYLAST;
  const bool mouse = m >= 0x200 && m <= 0x20D;
  if (keyboard && accelerators && TranslateAcceleratorW(hwnd, accelerators, message)) return true;
  if (keyboard || mouse) return IsDialogMessageW(hwnd, message) != FALSE;
  return false;
}

LRESULT CMainFrame::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate();
    case WM_DESTROY:
      OnDestroy();
      return Default();
    case WM_SIZE: {
      const LRESULT answer = Default();
      OnSize(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      return answer;
    }
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = kMinTrackWidth;
      info->ptMinTrackSize.y = kMinTrackHeight;
      return 0;
    }
    case WM_ACTIVATE: {
      const LRESULT answer = Default();
      if (LOWORD(wParam) != WA_INACTIVE) {
        if (focusWnd && IsWindowVisible(focusWnd) && IsWindowEnabled(focusWnd)) SetFocus(focusWnd);
      } else {
        focusWnd = GetFocus();
      }
      return answer;
    }
    case WM_TCARD:
      if (wParam == kTrainingCard && lParam > 0xFFFF)
        PostMessageW(wnd, WM_COMMAND, WPARAM(lParam - 0x10000), 0);
      return 0;
    case WM_HELP:
      OnHelp();
      return TRUE;
    case WM_SYSCOMMAND:
      // Our own item is compared whole; the system's commands carry state in their low four bits.
      if (wParam == ID_APP_ABOUT) {
        ShowAbout();
        return 0;
      }
      if ((wParam & 0xFFF0) == SC_CLOSE && !QueryClose()) return 0;
      return Default();
    case WM_QUERYENDSESSION:
      return QueryClose() ? TRUE : FALSE;
    case WM_INITMENUPOPUP: {
      const LRESULT answer = Default();
      const auto& hotKeys = App()->menuHotKeys;
      if (!hotKeys.empty()) {
        SetMenuHotKeyTexts(reinterpret_cast<HMENU>(wParam), hotKeys.data(), hotKeys.size());
      }
      return answer;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_COMMANDHELP:
      return App()->ShowHelp(CurrentHelpId()) ? TRUE : FALSE;
    case WM_USER + 2:
      // The PC/SC watcher's reader-list change: the Connection page rebuilds its port list.
      if (pages[PAGE_MAIN] && pages[PAGE_MAIN]->hwnd) SendMessageW(pages[PAGE_MAIN]->hwnd, WM_USER + 2, 0, 0);
      return 0;
    case MM_MCINOTIFY: {
      CAppSettings& settings = Settings();
      _DOC_UPDATE_INFO batch(&settings, nullptr);
      mciSound = -1;
      settings.UpdateAllViews(HINT_SOUND_PLAYING);
      return 0;
    }
    default:
      return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
}
