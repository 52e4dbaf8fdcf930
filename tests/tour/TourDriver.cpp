// TourDriver.exe <ConfigVombra.exe> <output folder> <language suffix>
// Takes the screen tour of the configurator: starts the real program, walks its pages and dialogs from
// outside with messages the program answers itself (tab arrow keys, system and button commands, dialog
// buttons, texts; never one with a pointer the system does not carry across) and saves each window as
// <output>/<name>-<suffix>.bmp. The caller turns the bitmaps into PNG files. Exit code: the number of
// pictures that could not be taken.
// The format dialog's live test reads keys from a simulated text reader on a loopback port, served by
// this program; its port goes into the prefix's stored settings before the configurator starts, and the
// arguments of "GetKeyInfo" (that reader, index 0) into the scratch copy's ConfigVombra.xml.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "RealSearchFlags.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr UINT kAboutCommand = 32780;
constexpr UINT kLoadCommand = 32775;
constexpr UINT kAddFormatCommand = 32821;
constexpr UINT kChangeLastKeyCommand = 32839;
constexpr UINT kCustomizeColumnsCommand = 32785;  // the table's header menu
constexpr int kFormatsListId = 1001;
constexpr int kReadKeysTabsId = 1212;
constexpr int kSoundListId = 1097;
constexpr int kSoundComboId = 1035;
constexpr int kSoundEventColumnWidth = 150;  // the Sounds table's default layout, in pixels
constexpr int kSoundFileColumnWidth = 200;
constexpr UINT kCustomizeTabCommand = 32784;  // the Formats page's key filters dialog
constexpr UINT kDuplicateFilterCommand = 32811;
constexpr UINT kCheckTemicCommand = 32872;
constexpr int kKeyFiltersListId = 1200;
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
HWND FindProgramPopup(HWND except, HWND alsoExcept = nullptr) {
  struct Search {
    HWND except;
    HWND alsoExcept;
    HWND found;
  } search{except, alsoExcept, nullptr};
  EnumWindows(
      [](HWND wnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(wnd, &pid);
        if (pid != g_pid || wnd == s->except || wnd == s->alsoExcept || !IsWindowVisible(wnd)) return TRUE;
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

void PostKey(HWND window, UINT key) {
  PostMessageW(window, WM_KEYDOWN, key, 1);
  PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

void SendKey(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  SendInput(1, &input, sizeof input);
}

// The key filters dialog with two filters selected that differ in one key type and share types that an
// unselected filter also claims: Em-Marine,RK-73 copied twice, the second copy given Temic, both copies
// selected (Shift+Up, which needs real keyboard input).
void ShootKeyFilters(HWND main, HWND formats) {
  PostMessageW(formats, WM_COMMAND, kCustomizeTabCommand, 0);
  HWND dialog = nullptr;
  if (!WaitFor([&] { return (dialog = FindProgramPopup(main)) != nullptr; })) {
    Log(L"tour: %ls did not open\n", L"key-filters");
    ++g_failures;
    return;
  }
  HWND list = GetDlgItem(dialog, kKeyFiltersListId);
  SetForegroundWindow(dialog);
  PostMessageW(dialog, WM_NEXTDLGCTL, WPARAM(list), TRUE);
  PostKey(list, VK_HOME);
  PostKey(list, VK_DOWN);
  PostKey(list, VK_DOWN);
  Sleep(kSettleMs);
  PostMessageW(dialog, WM_COMMAND, kDuplicateFilterCommand, 0);
  Sleep(kSettleMs);
  PostMessageW(dialog, WM_COMMAND, kDuplicateFilterCommand, 0);
  Sleep(kSettleMs);
  PostMessageW(dialog, WM_COMMAND, kCheckTemicCommand, 0);
  Sleep(kSettleMs);
  SendKey(VK_SHIFT, false);
  SendKey(VK_UP, false);
  SendKey(VK_UP, true);
  SendKey(VK_SHIFT, true);
  Shoot(dialog, L"key-filters");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, 5000);
}

// --- Table import and export: menu 805 on its Export submenu, the replace question, a CSV error.

constexpr UINT kImportCsvCommand = 32830;

void WriteTourFile(const std::wstring& path, const char* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes, DWORD(strlen(bytes)), &written, nullptr);
  CloseHandle(file);
}

// Runs "Import CSV file..." on `path` through the open dialog; returns the popup that follows (a question
// or an error), or null when none came.
HWND ImportThroughDialog(HWND main, HWND formats, const std::wstring& path) {
  PostMessageW(formats, WM_COMMAND, kImportCsvCommand, 0);
  HWND dialog = nullptr;
  if (!WaitFor([&] { return (dialog = FindProgramPopup(main)) != nullptr; })) return nullptr;
  Sleep(kSettleMs);
  SetDlgItemTextW(dialog, 1148, path.c_str());  // the Explorer-style name box
  SetDlgItemTextW(dialog, 1152, path.c_str());  // the old-style one
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, 5000);
  HWND next = nullptr;
  WaitFor([&] { return (next = FindProgramPopup(main, dialog)) != nullptr; }, 3000);
  return next;
}

void ShootTables(HWND main, HWND formats) {
  HWND list = GetDlgItem(formats, kFormatsListId);
  RECT rect{};
  GetWindowRect(list, &rect);
  SetForegroundWindow(main);
  PostMessageW(formats, WM_CONTEXTMENU, WPARAM(list), MAKELPARAM(rect.left + 40, rect.top + 60));
  if (WaitFor([] { return FindWindowW(L"#32768", nullptr) != nullptr; }, 5000)) {
    Sleep(kSettleMs);
    // From the bottom: Change last key, Set format for reader, then Export, whose submenu opens.
    for (WORD key : {VK_UP, VK_UP, VK_UP, VK_RIGHT}) {
      SendKey(key, false);
      SendKey(key, true);
      Sleep(150);
    }
    Shoot(main, L"formats-export-menu");
    for (int i = 0; i < 2; ++i) {
      SendKey(VK_ESCAPE, false);
      SendKey(VK_ESCAPE, true);
      Sleep(150);
    }
    WaitFor([] { return FindWindowW(L"#32768", nullptr) == nullptr || !IsWindowVisible(FindWindowW(L"#32768", nullptr)); }, 3000);
  } else {
    Log(L"tour: %ls did not open\n", L"formats-export-menu");
    ++g_failures;
  }

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring two = std::wstring(temp) + L"vombra-tour-two.csv";
  const std::wstring one = std::wstring(temp) + L"vombra-tour-one.csv";
  const std::wstring broken = std::wstring(temp) + L"vombra-tour-broken.csv";
  WriteTourFile(two, "Name;Template\r\nDoor A;%N\r\nDoor B;%N\r\n");
  WriteTourFile(one, "Name;Template\r\nDoor C;%N\r\n");
  WriteTourFile(broken, "Name;Comment\r\nDoor D;\"not closed\r\n");
  // Two formats of the tour's own first (accepting a question should earlier formats be there)...
  if (HWND popup = ImportThroughDialog(main, formats, two)) {
    PostMessageW(popup, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(popup) || !IsWindowVisible(popup); }, 5000);
  }
  // ...which a file naming a third would remove.
  HWND question = ImportThroughDialog(main, formats, one);
  if (question) {
    Shoot(question, L"question-replace");
    PostMessageW(question, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(question) || !IsWindowVisible(question); }, 5000);
  } else {
    Log(L"tour: %ls did not open\n", L"question-replace");
    ++g_failures;
  }
  HWND error = ImportThroughDialog(main, formats, broken);
  if (error) {
    Shoot(error, L"error-csv");
    PostMessageW(error, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(error) || !IsWindowVisible(error); }, 5000);
  } else {
    Log(L"tour: %ls did not open\n", L"error-csv");
    ++g_failures;
  }
}

// The page the main window shows: its visible dialog child.
HWND ShownPage(HWND main) {
  for (HWND child = FindWindowExW(main, nullptr, L"#32770", nullptr); child;
       child = FindWindowExW(main, child, L"#32770", nullptr)) {
    if (IsWindowVisible(child)) return child;
  }
  return nullptr;
}

// --- The format dialog with the add-in: two formats at once, the live test, samples on the page.

constexpr char kSimKeyLine[] = "Em-Marine[0000] 012,12345";

// The simulated reader's port in the settings the configurator and the add-in read at their start; no
// search beyond it (no COM ports, no broadcast).
bool StoreReaderPort(const std::wstring& port) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tarvelon\\Vombra", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  const DWORD searchFlags = kTourSearchFlags;
  // The Connection dialog's port list offers the additional ports (a multi-string).
  const std::wstring additional = port + L'\0';
  const bool stored =
      RegSetValueExW(key, L"Portname", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                     DWORD((port.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"AdditionalPorts", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(additional.c_str()),
                     DWORD((additional.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"SearchFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&searchFlags),
                     sizeof searchFlags) == ERROR_SUCCESS;
  RegCloseKey(key);
  return stored;
}

// The remembered arguments of "GetKeyInfo" in a configuration beside the program (portable mode reads it):
// the simulated reader's ID and key index 0. An empty Formats element still brings the built-in presets.
bool StoreKeyInfoArguments(const std::wstring& folder, const std::wstring& port) {
  std::string portUtf8(port.begin(), port.end());  // a loopback address: ASCII
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<Vombra><Configurator version=\"2.1\"><Formats/><MethArgs><GetKeyInfo>"
      "<Item0 type=\"22\" width=\"110\"><Item>" + portUtf8 + "</Item></Item0>"
      "<Item1 type=\"3\" width=\"50\"><Item>0</Item></Item1>"
      "</GetKeyInfo></MethArgs></Configurator></Vombra>\r\n";
  HANDLE file = CreateFileW((folder + L"\\ConfigVombra.xml").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool stored = WriteFile(file, xml.data(), DWORD(xml.size()), &written, nullptr) && written == xml.size();
  CloseHandle(file);
  return stored;
}

std::wstring ItemText(HWND dialog, int id) {
  wchar_t text[256] = L"";
  SendMessageW(GetDlgItem(dialog, id), WM_GETTEXT, 256, LPARAM(text));
  return text;
}

// Types into a control of another program: WM_SETTEXT carries its text across.
void SetItemText(HWND dialog, int id, const wchar_t* text) {
  SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, LPARAM(text));
}

void ClickCheckBox(HWND dialog, int id, bool checked) {
  HWND box = GetDlgItem(dialog, id);
  SendMessageW(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(box));
}

// Opens a dialog of the program by posting `command` to `target`; null when none showed.
HWND OpenPopup(HWND main, HWND target, UINT command, const wchar_t* name) {
  PostMessageW(target, WM_COMMAND, command, 0);
  HWND popup = nullptr;
  if (!WaitFor([&] { return (popup = FindProgramPopup(main)) != nullptr; })) {
    Log(L"tour: %ls did not open\n", name);
    ++g_failures;
  }
  return popup;
}

void ClosePopup(HWND popup, UINT answer) {
  PostMessageW(popup, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(popup) || !IsWindowVisible(popup); }, 5000);
}

// Clicks the Name cell of a row of the Formats table, with Ctrl to add it to the selection. The row
// height is the table's own answer for one and two rows (no message here carries a pointer).
void ClickFormatRow(HWND list, int row, bool addToSelection) {
  HWND header = FindWindowExW(list, nullptr, L"SysHeader32", nullptr);
  RECT headerRect{};
  if (header) GetClientRect(header, &headerRect);
  const LRESULT one = SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(-1, -1));
  const LRESULT two = SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 2, MAKELPARAM(-1, -1));
  int rowHeight = HIWORD(two) - HIWORD(one);
  if (rowHeight <= 0) rowHeight = 18;
  // The choice, number and name columns, in their first order.
  const int x = int(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0) +
                    SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0) +
                    SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0) / 2);
  const int y = headerRect.bottom + rowHeight * row + rowHeight / 2;
  const WPARAM keys = MK_LBUTTON | (addToSelection ? MK_CONTROL : 0);
  PostMessageW(list, WM_LBUTTONDOWN, keys, MAKELPARAM(x, y));
  PostMessageW(list, WM_LBUTTONUP, keys & ~WPARAM(MK_LBUTTON), MAKELPARAM(x, y));
  Sleep(300);
}

// The format dialog for the table's first two formats: the fields they disagree on show "*".
void ShootTwoFormats(HWND main, HWND formats) {
  HWND list = GetDlgItem(formats, kFormatsListId);
  ClickFormatRow(list, 0, false);
  ClickFormatRow(list, 1, true);
  ShootPopup(main, formats, WM_COMMAND, ID_FORMAT_CHANGE, L"format-multi", IDCANCEL);
}

// The key the samples are rendered from, typed into the key dialog as Em-Marine prints it.
void EnterLastKey(HWND main, HWND formats) {
  HWND dialog = OpenPopup(main, formats, kChangeLastKeyCommand, L"the key dialog");
  if (!dialog) return;
  HWND inputFormat = GetDlgItem(dialog, IDC_KEY_INPUT_FORMAT);
  SendMessageW(inputFormat, CB_SETCURSEL, 0, 0);  // Em-Marine
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_KEY_INPUT_FORMAT, CBN_SELCHANGE), LPARAM(inputFormat));
  Sleep(200);
  SetItemText(dialog, IDC_KEY_NUMBER, L"[0000] 012,12345");
  ClosePopup(dialog, IDOK);
}

// A new format checked by the add-in (which stays loaded) and tried live: the simulated reader's key
// comes out by the typed template.
void ShootLiveTest(HWND main, HWND formats, CTextReaderSim& sim) {
  HWND dialog = OpenPopup(main, formats, kAddFormatCommand, L"format-live");
  if (!dialog) return;
  SetItemText(dialog, IDC_FORMAT_TEMPLATE, L"%.3u,%.5u");
  SetItemText(dialog, IDC_FORMAT_PARAMS, L"b2 w01");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_CHECK, BN_CLICKED),
               LPARAM(GetDlgItem(dialog, IDC_FORMAT_CHECK)));
  HWND box = nullptr;
  if (WaitFor([&] { return (box = FindProgramPopup(main, dialog)) != nullptr; })) {
    ClosePopup(box, IDOK);
  } else {
    Log(L"tour: %ls\n", L"Check showed no answer");
  }
  const int connections = sim.Connections();
  ClickCheckBox(dialog, IDC_FORMAT_TEST, true);
  if (!sim.WaitConnections(connections + 1, kWaitMs)) Log(L"tour: %ls\n", L"the reader was never connected");
  Sleep(1500);  // the reader is identified before it reads keys
  std::wstring sample;
  const bool shown = WaitFor([&] {
    sim.SendLine(kSimKeyLine);
    Sleep(500);
    sample = ItemText(dialog, IDC_FORMAT_SAMPLE);
    return sample.find(L"12345") != std::wstring::npos;
  });
  if (shown) {
    Shoot(dialog, L"format-live");
  } else {
    Log(L"tour: no number in the live test (%ls)\n", sample.c_str());
    ++g_failures;
  }
  ClickCheckBox(dialog, IDC_FORMAT_TEST, false);
  Sleep(500);
  ClosePopup(dialog, IDCANCEL);
}

void ShootFormatsWithAddIn(HWND main, HWND formats, CTextReaderSim& sim) {
  ShootTwoFormats(main, formats);
  EnterLastKey(main, formats);
  ShootLiveTest(main, formats, sim);
  // The add-in the check loaded renders every shown format's sample of the key.
  InvalidateRect(GetDlgItem(formats, kFormatsListId), nullptr, TRUE);
  Shoot(main, L"formats-samples");
}

// --- The Connection dialog: the simulated reader opened through the Test page's "Open...".

// Selects the item showing `text` in the first combo box below `parent` that has one.
bool SelectComboText(HWND parent, const std::wstring& text) {
  struct Search {
    const std::wstring* text;
    bool done;
  } search{&text, false};
  EnumChildWindows(
      parent,
      [](HWND wnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        wchar_t className[32] = {};
        GetClassNameW(wnd, className, 32);
        if (_wcsicmp(className, L"ComboBox") != 0) return TRUE;
        const LRESULT index = SendMessageW(wnd, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(s->text->c_str()));
        if (index == CB_ERR) return TRUE;
        SendMessageW(wnd, CB_SETCURSEL, WPARAM(index), 0);
        s->done = true;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.done;
}

// The form page of the Connection dialog: its child dialog holding "Save and close".
HWND ConnectionForm(HWND dialog) {
  for (HWND child = FindWindowExW(dialog, nullptr, L"#32770", nullptr); child;
       child = FindWindowExW(dialog, child, L"#32770", nullptr)) {
    if (GetDlgItem(child, IDC_PARAMS_SAVE)) return child;
  }
  return nullptr;
}

void ShootConnection(HWND main, const std::wstring& port) {
  constexpr int kLoadButtonId = 1026;
  HWND test = ShownPage(main);
  HWND open = test ? GetDlgItem(test, IDC_TEST_OPEN) : nullptr;
  if (!open) {
    Log(L"tour: %ls\n", L"the Test page has no Open button");
    ++g_failures;
    return;
  }
  if (!IsWindowEnabled(open)) PostMessageW(GetDlgItem(test, kLoadButtonId), BM_CLICK, 0, 0);
  WaitFor([&] { return IsWindowEnabled(open) != FALSE; });
  HWND dialog = OpenPopup(main, test, IDC_TEST_OPEN, L"connection-form");
  if (!dialog) return;
  HWND form = nullptr;
  // The form is built once the driver answered: wait for its fields.
  WaitFor([&] { return (form = ConnectionForm(dialog)) != nullptr && SelectComboText(form, port); });
  if (!form) {
    Log(L"tour: %ls\n", L"the Connection dialog has no form");
    ++g_failures;
    ClosePopup(dialog, IDCANCEL);
    return;
  }
  Shoot(dialog, L"connection-form");
  HWND tabs = GetDlgItem(dialog, IDC_DEV_OPEN_TABS);
  PostMessageW(tabs, WM_KEYDOWN, VK_RIGHT, 1);
  PostMessageW(tabs, WM_KEYUP, VK_RIGHT, 0xC0000001);
  if (WaitFor([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 1; }, 5000)) {
    Shoot(dialog, L"connection-xml");
  } else {
    Log(L"tour: %ls\n", L"the XML tab was not reached");
    ++g_failures;
  }
  PostMessageW(tabs, WM_KEYDOWN, VK_LEFT, 1);
  PostMessageW(tabs, WM_KEYUP, VK_LEFT, 0xC0000001);
  WaitFor([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 0; }, 5000);
  PostMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PARAMS_SAVE, BN_CLICKED), LPARAM(GetDlgItem(form, IDC_PARAMS_SAVE)));
  if (!WaitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, kWaitMs)) {
    Log(L"tour: %ls\n", L"the reader was not opened");
    ++g_failures;
    if (HWND box = FindProgramPopup(main, dialog)) ClosePopup(box, IDOK);
    ClosePopup(dialog, IDCANCEL);
    return;
  }
  HWND devices = GetDlgItem(test, IDC_TEST_DEVICES);
  if (!WaitFor([&] { return SendMessageW(devices, CB_GETCURSEL, 0, 0) >= 0; }, 5000)) {
    Log(L"tour: %ls\n", L"the opened reader is not listed");
    ++g_failures;
  }
}

// The Test page's Events tab with the reader's events: the live test above loaded the add-in and its key
// went to the test log; a page that finds the add-in unloaded loads it.
void ShootTestEvents(HWND main) {
  constexpr int kLoadButtonId = 1026;
  constexpr int kEventsListId = 1025;
  HWND test = ShownPage(main);
  HWND events = test ? ShownPage(test) : nullptr;
  HWND list = events ? GetDlgItem(events, kEventsListId) : nullptr;
  if (!list) {
    Log(L"tour: %ls\n", L"the Events tab is missing");
    ++g_failures;
    return;
  }
  if (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0) PostMessageW(GetDlgItem(test, kLoadButtonId), BM_CLICK, 0, 0);
  if (!WaitFor([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > 0; })) {
    Log(L"tour: %ls\n", L"no events on the Test page");
    ++g_failures;
    return;
  }
  Shoot(main, L"test-events");
}

// A row of a report list clicked on its English-name column, scrolled into view first.
void ClickListRow(HWND list, int row) {
  SendMessageW(list, LVM_ENSUREVISIBLE, row, FALSE);
  Sleep(200);
  HWND header = FindWindowExW(list, nullptr, L"SysHeader32", nullptr);
  RECT headerRect{};
  if (header) GetClientRect(header, &headerRect);
  const LRESULT one = SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(-1, -1));
  const LRESULT two = SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 2, MAKELPARAM(-1, -1));
  int rowHeight = HIWORD(two) - HIWORD(one);
  if (rowHeight <= 0) rowHeight = 18;
  const int top = int(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
  const int x = int(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0) + SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0) +
                    SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0) / 2);
  const int y = headerRect.bottom + rowHeight * (row - top) + rowHeight / 2;
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
  Sleep(300);
}

// Calls the method of the Methods tab's row `row` in the method dialog and waits for its protocol; the
// dialog stays open (null when it did not open).
HWND CallMethodOfRow(HWND main, HWND list, int row, const wchar_t* name) {
  constexpr UINT kMethExecuteCommand = 32888;
  constexpr UINT kMethodExecuteId = 1117;
  constexpr int kMethodProtocolId = 1118;
  ClickListRow(list, row);
  HWND method = OpenPopup(main, GetParent(list), kMethExecuteCommand, name);
  if (!method) return nullptr;
  // Room for every argument's column and the whole protocol of a call with eight out values.
  SetWindowPos(method, nullptr, 0, 0, 720, 440, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  PostMessageW(method, WM_COMMAND, MAKEWPARAM(kMethodExecuteId, BN_CLICKED), 0);
  // The protocol is written line by line: complete once its length stops growing. The edit's text is
  // asked for by message: GetWindowTextLength does not ask a window of another process.
  HWND protocol = GetDlgItem(method, kMethodProtocolId);
  int length = 0;
  if (!WaitFor([&] {
        const int before = length;
        Sleep(300);
        length = int(SendMessageW(protocol, WM_GETTEXTLENGTH, 0, 0));
        return length > 0 && length == before;
      })) {
    Log(L"tour: %ls wrote no protocol\n", name);
    ++g_failures;
  }
  return method;
}

// The Test page's Properties and Methods tabs over the loaded add-in, the property dialog on a number and
// on a text, the method dialog after a call of GetKeyInfo on a presented key, and the argument dialog's
// Number editor.
void ShootTestTabs(HWND main, CTextReaderSim& sim) {
  constexpr int kTestTabsId = 1052;
  constexpr int kPropListId = 1054;
  constexpr UINT kPropChangeId = 1069;
  constexpr int kMethListId = 1056;
  constexpr int kMethodArgsId = 1116;
  constexpr int kMethodProtocolId = 1118;
  constexpr int kArgTypeId = 1120;
  constexpr int kPortProperty = 6;
  constexpr int kConnectTimeoutProperty = 10;
  constexpr int kGetKeyInfoMethod = 34;
  HWND test = ShownPage(main);
  HWND tabs = test ? GetDlgItem(test, kTestTabsId) : nullptr;
  auto nextTab = [&](int index, int listId) -> HWND {
    PostMessageW(tabs, WM_KEYDOWN, VK_RIGHT, 1);
    PostMessageW(tabs, WM_KEYUP, VK_RIGHT, 0xC0000001);
    HWND list = nullptr;
    WaitFor([&] {
      HWND page = SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == index ? ShownPage(test) : nullptr;
      list = page ? GetDlgItem(page, listId) : nullptr;
      return list && SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > 0;
    });
    return list;
  };
  HWND list = tabs ? nextTab(1, kPropListId) : nullptr;
  if (!list) {
    Log(L"tour: %ls\n", L"the Properties tab has no rows");
    ++g_failures;
    return;
  }
  // The Value column's default width (25 pixels) cuts every value: widened as a user would.
  constexpr int kPropValueColumn = 4;
  SendMessageW(list, LVM_SETCOLUMNWIDTH, kPropValueColumn, 120);
  Shoot(main, L"test-properties");
  HWND page = GetParent(list);
  const struct {
    int Row;
    const wchar_t* Name;
  } properties[] = {{kConnectTimeoutProperty, L"property-number"}, {kPortProperty, L"property-text"}};
  for (const auto& property : properties) {
    ClickListRow(list, property.Row);
    if (HWND dialog = OpenPopup(main, page, kPropChangeId, property.Name)) {
      Shoot(dialog, property.Name);
      ClosePopup(dialog, IDCANCEL);
    }
  }

  list = nextTab(2, kMethListId);
  if (!list) {
    Log(L"tour: %ls\n", L"the Methods tab has no rows");
    ++g_failures;
    return;
  }
  Shoot(main, L"test-methods");
  // The key is in the reader's field while GetKeyInfo reads it with the remembered arguments.
  sim.SendLine(kSimKeyLine);
  Sleep(500);
  HWND method = CallMethodOfRow(main, list, kGetKeyInfoMethod, L"method-getkeyinfo");
  if (!method) return;
  wchar_t protocol[2048] = L"";
  SendMessageW(GetDlgItem(method, kMethodProtocolId), WM_GETTEXT, 2048, LPARAM(protocol));
  if (!wcsstr(protocol, L"[5]{39300C0000}")) {  // kSimKeyLine: 12345 low byte first, series 12, code 0000
    Log(L"tour: %ls\n", L"GetKeyInfo did not read the key");
    ++g_failures;
  }
  Shoot(method, L"method-getkeyinfo");
  // The Value cell of argument 1, then the Number type chosen in the argument dialog.
  HWND args = GetDlgItem(method, kMethodArgsId);
  HWND header = FindWindowExW(args, nullptr, L"SysHeader32", nullptr);
  RECT headerRect{};
  if (header) GetClientRect(header, &headerRect);
  const int x = int(SendMessageW(args, LVM_GETCOLUMNWIDTH, 0, 0) + SendMessageW(args, LVM_GETCOLUMNWIDTH, 1, 0) +
                    SendMessageW(args, LVM_GETCOLUMNWIDTH, 2, 0) / 2);
  const int y = headerRect.bottom + 8;
  PostMessageW(args, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(args, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
  PostMessageW(args, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(args, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
  HWND argument = nullptr;
  if (WaitFor([&] { return (argument = FindProgramPopup(main, method)) != nullptr; })) {
    HWND type = GetDlgItem(argument, kArgTypeId);
    SendMessageW(type, CB_SETCURSEL, 2, 0);  // Number
    PostMessageW(argument, WM_COMMAND, MAKEWPARAM(kArgTypeId, CBN_SELCHANGE), LPARAM(type));
    Sleep(300);
    Shoot(argument, L"method-parameter");
    ClosePopup(argument, IDCANCEL);
  } else {
    Log(L"tour: %ls\n", L"the argument dialog did not open");
    ++g_failures;
  }
  ClosePopup(method, IDCANCEL);
}

// The Methods tab's reader search after it ended: the PC/SC readers that the winscard double beside the
// program plugs (tools/tour.sh names them), found one step a second.
void ShootSearchReaders(HWND main) {
  constexpr int kSearchButtonId = 1090;
  constexpr int kSearchAgainId = 4;
  HWND test = ShownPage(main);
  HWND methods = test ? ShownPage(test) : nullptr;
  if (!methods || !GetDlgItem(methods, kSearchButtonId)) {
    Log(L"tour: %ls\n", L"the Methods tab is not shown");
    ++g_failures;
    return;
  }
  HWND dialog = OpenPopup(main, methods, kSearchButtonId, L"search-readers");
  if (!dialog) return;
  if (!WaitFor([&] { return IsWindowEnabled(GetDlgItem(dialog, kSearchAgainId)) != FALSE; })) {
    Log(L"tour: %ls\n", L"the search did not end");
    ++g_failures;
  } else {
    Shoot(dialog, L"search-readers");
  }
  ClosePopup(dialog, IDCANCEL);
}

// The Reading keys page's sub-pages, each in a state worth seeing: the button clicks (posted BM_CLICK to a
// control id) and the menu command posted before the picture.
struct ReadKeysShot {
  const wchar_t* name;
  UINT command;     // 0: none
  int clicks[3];    // control ids, 0 ends
};
const ReadKeysShot kReadKeysShots[] = {
    {L"reading-keys-general", 32876, {0}},           // "Mifare Classic" unchecked
    {L"reading-keys-classic", 0, {1103, 0}},         // enabled, with its key
    {L"reading-keys-plus", 0, {1103, 1101, 0}},      // enabled, key cells
    {L"reading-keys-ultralight", 0, {1108, 0}},      // enabled
    {L"reading-keys-temic", 0, {1181, 1161, 1162}},  // enabled, Data mode, password
};

void ShootReadKeys(HWND main) {
  HWND host = ShownPage(main);
  HWND tabs = host ? GetDlgItem(host, kReadKeysTabsId) : nullptr;
  for (int sub = 0; sub < static_cast<int>(ARRAYSIZE(kReadKeysShots)); ++sub) {
    const ReadKeysShot& shot = kReadKeysShots[sub];
    if (sub > 0) {
      PostMessageW(tabs, WM_KEYDOWN, VK_RIGHT, 1);
      PostMessageW(tabs, WM_KEYUP, VK_RIGHT, 0xC0000001);
    }
    if (!tabs || !WaitFor([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == sub; }, 5000)) {
      Log(L"tour: %ls not reached\n", shot.name);
      ++g_failures;
      continue;
    }
    HWND page = ShownPage(host);
    if (shot.command) PostMessageW(page, WM_COMMAND, shot.command, 0);
    for (int id : shot.clicks) {
      if (id) PostMessageW(GetDlgItem(page, id), BM_CLICK, 0, 0);
    }
    Shoot(main, shot.name);
  }
}

// Three event sounds from the media folder (which tools/tour.sh fills) in the settings the program loads.
void StoreTourSounds() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tarvelon\\Vombra", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  const DWORD on = 1;
  RegSetValueExW(key, L"SoundEnabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
  HKEY list = nullptr;
  if (RegCreateKeyExW(key, L"SoundFileList", 0, nullptr, 0, KEY_WRITE, nullptr, &list, nullptr) == ERROR_SUCCESS) {
    wchar_t windows[MAX_PATH] = L"C:\\windows";
    GetWindowsDirectoryW(windows, MAX_PATH);
    const wchar_t* const files[7] = {L"chimes.wav", L"ding.wav", L"", L"", L"", L"notify.wav", L""};
    for (int i = 0; i < 7; ++i) {
      const std::wstring name = L"Item" + std::to_wstring(i + 1);
      const std::wstring path = *files[i] ? std::wstring(windows) + L"\\Media\\" + files[i] : std::wstring();
      RegSetValueExW(list, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                     DWORD((path.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(list);
  }
  RegCloseKey(key);
}

// A left click the control handles itself, at `pt` in its client area.
void ClickAt(HWND control, POINT pt) {
  PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pt.x, pt.y));
  PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y));
}

// The Sound page's in-place combo over the first row's file, opened as a user does: a click selects the
// row, a second click on its file a little later opens the editor; its list dropped down.
void ShootSoundCombo(HWND main) {
  HWND page = ShownPage(main);
  HWND list = GetDlgItem(page, kSoundListId);
  HWND combo = GetDlgItem(page, kSoundComboId);
  HWND header = list ? FindWindowExW(list, nullptr, L"SysHeader32", nullptr) : nullptr;
  RECT headerRect{};
  if (!combo || !header || !GetWindowRect(header, &headerRect)) {
    Log(L"tour: %ls not found\n", L"sound-combo");
    ++g_failures;
    return;
  }
  const POINT cell{kSoundEventColumnWidth + kSoundFileColumnWidth / 2, headerRect.bottom - headerRect.top + 8};
  SetForegroundWindow(main);
  ClickAt(list, cell);
  Sleep(800);
  ClickAt(list, cell);
  if (!WaitFor([&] { return IsWindowVisible(combo) != FALSE; }, 5000)) {
    Log(L"tour: %ls did not open\n", L"sound-combo");
    ++g_failures;
    return;
  }
  SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
  Shoot(main, L"sound-combo");
  SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
  // Esc drops the edit.
  HWND edit = GetWindow(combo, GW_CHILD);
  PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageW(edit, WM_KEYUP, VK_ESCAPE, 0xC0000001);
  WaitFor([&] { return !IsWindowVisible(combo); }, 5000);
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

// wine explorer /desktop does not hand the driver's exit code back to the shell: a run that missed
// something leaves tour-<suffix>.failed in the output folder for tools/tour.sh to find.
int Finish(int code) {
  if (code != 0) {
    const std::wstring path = g_out + L"\\tour-" + g_suffix + L".failed";
    if (FILE* file = _wfopen(path.c_str(), L"w")) {
      fwprintf(file, L"%d\n", code);
      fclose(file);
    }
  }
  return code;
}

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

  CTextReaderSim sim(SimIdentity(), true);
  if (!sim.Listening() || !StoreReaderPort(sim.PortName())) {
    fwprintf(stderr, L"tour: the simulated reader has no port\n");
    ++g_failures;
  }
  if (!StoreKeyInfoArguments(folder.empty() ? L"." : folder, sim.PortName())) {
    fwprintf(stderr, L"tour: the arguments of GetKeyInfo were not stored\n");
    ++g_failures;
  }

  StoreTourSounds();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    fwprintf(stderr, L"tour: cannot start %ls (%lu)\n", argv[1], GetLastError());
    return Finish(101);
  }
  g_pid = process.dwProcessId;
  HWND main = nullptr;
  if (!WaitFor([&] { return (main = FindWindowW(L"ConfigVombra", nullptr)) && IsWindowVisible(main); })) {
    fwprintf(stderr, L"tour: the main window did not appear\n");
    TerminateProcess(process.hProcess, 1);
    return Finish(102);
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
      ShootFormatsWithAddIn(main, formats, sim);
      ShootKeyFilters(main, formats);
      ShootTables(main, formats);
    }
    if (page == 2) ShootReadKeys(main);
    if (page == 3) ShootSoundCombo(main);
    if (page == 5) ShootConnection(main, sim.PortName());
    if (page == 5) ShootTestEvents(main);
    if (page == 5) ShootTestTabs(main, sim);
    if (page == 5) ShootSearchReaders(main);
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
  return Finish(g_failures);
}
