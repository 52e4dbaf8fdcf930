// TourDriver.exe <ConfigVombra.exe> <output folder> <language suffix>
// Takes the screen tour of the configurator: starts the real program, walks its pages and dialogs from
// outside with messages the program answers itself (tab arrow keys, system and button commands, dialog
// buttons; never one that carries a pointer) and saves each window as <output>/<name>-<suffix>.bmp. The
// caller turns the bitmaps into PNG files. Exit code: the number of pictures that could not be taken.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr UINT kAboutCommand = 32780;
constexpr UINT kLoadCommand = 32775;
constexpr UINT kAddFormatCommand = 32821;
constexpr UINT kChangeLastKeyCommand = 32839;
constexpr UINT kCustomizeColumnsCommand = 32785;  // the table's header menu
constexpr int kFormatsListId = 1001;
constexpr int kTabCtrlId = 1;
constexpr int kPortNameId = 1149;  // the Connection page's favourite-port edit and list
constexpr int kPortsListId = 1148;
constexpr UINT kNewPortCommand = 32807;
constexpr DWORD kSettleMs = 700;
constexpr DWORD kWaitMs = 20000;

// Names of the main window's pages in tab order, as the tour's pictures are called.
const wchar_t* const kPageNames[] = {L"main", L"formats", L"reading-keys", L"sound", L"configurator", L"test"};

std::wstring g_out;
std::wstring g_suffix;
DWORD g_pid = 0;
int g_failures = 0;

void Log(const wchar_t* format, const wchar_t* text) {
  fwprintf(stderr, format, text);
  fflush(stderr);
}

template <typename Predicate>
bool WaitFor(Predicate ready, DWORD timeoutMs = kWaitMs) {
  const DWORD start = GetTickCount();
  while (!ready()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

// Writes the screen's pixels under `rect` as a 24-bit bottom-up BMP file.
bool SaveScreenRect(const RECT& rect, const std::wstring& path) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD stride = (width * 3 + 3) & ~3u;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
  const int rows = GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                             DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return false;
  const bool written = fwrite(&file, sizeof(file), 1, f) == 1 && fwrite(&info, sizeof(info), 1, f) == 1 &&
                       fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  return fclose(f) == 0 && written;
}

void Shoot(HWND window, const wchar_t* name) {
  Sleep(kSettleMs);
  RECT rect{};
  const std::wstring path = g_out + L"\\" + name + L"-" + g_suffix + L".bmp";
  if (!window || !GetWindowRect(window, &rect) || !SaveScreenRect(rect, path)) {
    Log(L"tour: no picture of %ls\n", name);
    ++g_failures;
    return;
  }
  Log(L"tour: %ls\n", path.c_str());
}

// The visible top-level window of the program other than `except` (a dialog or message box it shows).
HWND FindProgramPopup(HWND except) {
  struct Search {
    HWND except;
    HWND found;
  } search{except, nullptr};
  EnumWindows(
      [](HWND wnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(wnd, &pid);
        if (pid != g_pid || wnd == s->except || !IsWindowVisible(wnd)) return TRUE;
        wchar_t className[64] = {};
        GetClassNameW(wnd, className, 64);
        if (wcscmp(className, L"#32770") != 0) return TRUE;
        s->found = wnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Opens a popup by posting `message` to `target`, pictures it and answers it with `answer`.
void ShootPopup(HWND main, HWND target, UINT message, WPARAM wParam, const wchar_t* name, UINT answer) {
  PostMessageW(target, message, wParam, 0);
  HWND popup = nullptr;
  if (!WaitFor([&] { return (popup = FindProgramPopup(main)) != nullptr; })) {
    Log(L"tour: %ls did not open\n", name);
    ++g_failures;
    return;
  }
  Shoot(popup, name);
  PostMessageW(popup, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(popup) || !IsWindowVisible(popup); }, 5000);
}

// The page the main window shows: its visible dialog child.
HWND ShownPage(HWND main) {
  for (HWND child = FindWindowExW(main, nullptr, L"#32770", nullptr); child;
       child = FindWindowExW(main, child, L"#32770", nullptr)) {
    if (IsWindowVisible(child)) return child;
  }
  return nullptr;
}

// Types `name` into the Connection page's port edit key by key and adds it as a favourite port.
void AddFavouritePort(HWND page, const wchar_t* name) {
  HWND edit = GetDlgItem(page, kPortNameId);
  HWND list = GetDlgItem(page, kPortsListId);
  const LRESULT before = SendMessageW(list, LB_GETCOUNT, 0, 0);
  PostMessageW(edit, EM_SETSEL, 0, -1);
  PostMessageW(edit, WM_CLEAR, 0, 0);
  for (const wchar_t* c = name; *c; ++c) PostMessageW(edit, WM_CHAR, *c, 1);
  PostMessageW(page, WM_COMMAND, MAKEWPARAM(kNewPortCommand, 0), 0);
  if (!WaitFor([&] { return SendMessageW(list, LB_GETCOUNT, 0, 0) == before + 1; }, 5000)) {
    Log(L"tour: favourite port %ls not added\n", name);
    ++g_failures;
  }
}

// Scrolls a page by its own scroll bar, a page at a time.
void ScrollPage(HWND page, WPARAM code, int times) {
  for (int i = 0; i < times; ++i) SendMessageW(page, WM_VSCROLL, code, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fwprintf(stderr, L"usage: TourDriver <ConfigVombra.exe> <output folder> <suffix>\n");
    return 100;
  }
  g_out = argv[2];
  g_suffix = argv[3];
  std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
  std::wstring folder = argv[1];
  folder.resize(folder.find_last_of(L"\\/") == std::wstring::npos ? 0 : folder.find_last_of(L"\\/"));

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    fwprintf(stderr, L"tour: cannot start %ls (%lu)\n", argv[1], GetLastError());
    return 101;
  }
  g_pid = process.dwProcessId;
  HWND main = nullptr;
  if (!WaitFor([&] { return (main = FindWindowW(L"ConfigVombra", nullptr)) && IsWindowVisible(main); })) {
    fwprintf(stderr, L"tour: the main window did not appear\n");
    TerminateProcess(process.hProcess, 1);
    return 102;
  }
  SetForegroundWindow(main);

  HWND tab = GetDlgItem(main, kTabCtrlId);
  HWND connection = ShownPage(main);
  AddFavouritePort(connection, L"COM12");
  AddFavouritePort(connection, L"127.0.0.1:4001");
  Shoot(main, kPageNames[0]);
  ScrollPage(connection, SB_PAGEDOWN, 10);
  Shoot(main, L"main-end");
  ScrollPage(connection, SB_PAGEUP, 10);
  for (int page = 1; page < static_cast<int>(ARRAYSIZE(kPageNames)); ++page) {
    // The tab control answers the arrow key itself and tells the window through TCN_SELCHANGE.
    PostMessageW(tab, WM_KEYDOWN, VK_RIGHT, 1);
    PostMessageW(tab, WM_KEYUP, VK_RIGHT, 0xC0000001);
    if (!WaitFor([&] { return SendMessageW(tab, TCM_GETCURSEL, 0, 0) == page; }, 5000)) {
      Log(L"tour: page %ls not reached\n", kPageNames[page]);
      ++g_failures;
      continue;
    }
    Shoot(main, kPageNames[page]);
    if (page == 1) {
      HWND formats = ShownPage(main);
      ShootPopup(main, GetDlgItem(formats, kFormatsListId), WM_COMMAND, kCustomizeColumnsCommand,
                 L"customize-columns", IDCANCEL);
      ShootPopup(main, formats, WM_COMMAND, kChangeLastKeyCommand, L"key-properties", IDCANCEL);
      ShootPopup(main, formats, WM_COMMAND, kAddFormatCommand, L"format-new", IDCANCEL);
    }
  }

  ShootPopup(main, main, WM_SYSCOMMAND, kAboutCommand, L"about", IDOK);
  ShootPopup(main, main, WM_COMMAND, kLoadCommand, L"question-load", IDCANCEL);
  // The first start holds the unsaved presets, so closing asks; "No" lets the program end.
  ShootPopup(main, main, WM_SYSCOMMAND, SC_CLOSE, L"question-close", IDNO);

  if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    fwprintf(stderr, L"tour: the program did not end\n");
    TerminateProcess(process.hProcess, 1);
    ++g_failures;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return g_failures;
}
