// Test support for the table import and export commands of the Formats page and the key filters
// dialog: the menu a right click brings up, the office's ProgIDs, the user's list separator, scripted
// file dialogs and file bytes.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ThreadWindow.h"
#include "doubles/FakeOffice.h"

// The states of `ids` in the popup menu a WM_CONTEXTMENU from `source` makes `owner` show, read while the
// menu's own loop runs, which is then ended. Empty when no menu showed; an item the menu lacks reads ~0u.
// `keyboard`: the message as the menu key and Shift+F10 send it, without a point.
inline std::vector<UINT>& PopupMenuIds() {
  static std::vector<UINT> ids;
  return ids;
}
inline std::vector<UINT>& PopupMenuStates() {
  static std::vector<UINT> states;
  return states;
}
inline std::vector<UINT> ContextMenuStates(HWND owner, HWND source, std::vector<UINT> ids, bool keyboard = false) {
  PopupMenuIds() = std::move(ids);
  PopupMenuStates().clear();
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    HWND menuWnd = FindThreadWindow(L"#32768");
    HMENU menu = menuWnd ? HMENU(SendMessageW(menuWnd, MN_GETHMENU, 0, 0)) : nullptr;
    if (menu) {
      for (UINT cmd : PopupMenuIds()) PopupMenuStates().push_back(GetMenuState(menu, cmd, MF_BYCOMMAND));
    }
    EndMenu();
  });
  // Low in the list, clear of its header (a right click on the header has a menu of its own).
  RECT rect;
  GetWindowRect(source, &rect);
  const LPARAM at = keyboard ? LPARAM(-1) : MAKELPARAM(rect.left + 30, rect.bottom - 20);
  SendMessageW(owner, WM_CONTEXTMENU, WPARAM(source), at);
  KillTimer(nullptr, timer);
  return PopupMenuStates();
}

// Registers the fake office's ProgIDs, or some of them, on a thread with COM; the lock keeps other
// suites' registrations out meanwhile.
class OfficeRegistration {
 public:
  OfficeRegistration(bool excel, bool calc) {
    CoInitialize(nullptr);
    if (excel || calc) office.reset(new FakeOffice);
    if (!excel) RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Excel.Application");
    if (!calc) RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\com.sun.star.ServiceManager");
  }
  ~OfficeRegistration() {
    office.reset();
    CoUninitialize();
  }
  OfficeRegistration(const OfficeRegistration&) = delete;
  OfficeRegistration& operator=(const OfficeRegistration&) = delete;

  FakeOfficeProgIdLock lock;
  std::unique_ptr<FakeOffice> office;
};

// The user's list separator ("sList") for one test; one test at a time changes it, and it is put back.
class ListSeparator {
 public:
  explicit ListSeparator(const wchar_t* separator) : m_mutex(CreateMutexW(nullptr, FALSE, L"VombraListSeparator")) {
    WaitForSingleObject(m_mutex, INFINITE);
    wchar_t old[64] = L"";
    DWORD bytes = sizeof old;
    m_had = RegGetValueW(HKEY_CURRENT_USER, kKey, L"sList", RRF_RT_REG_SZ, nullptr, old, &bytes) == ERROR_SUCCESS;
    m_old = old;
    Set(separator);
  }
  ~ListSeparator() {
    if (m_had) Set(m_old.c_str());
    else RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"sList");
    ReleaseMutex(m_mutex);
    CloseHandle(m_mutex);
  }
  ListSeparator(const ListSeparator&) = delete;
  ListSeparator& operator=(const ListSeparator&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"Control Panel\\International";
  static void Set(const wchar_t* value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"sList", REG_SZ, value, DWORD((wcslen(value) + 1) * sizeof(wchar_t)));
  }
  HANDLE m_mutex;
  bool m_had = false;
  std::wstring m_old;
};

// The open and save dialogs as the commands show them (through FileDialogSeam): the entry each opened
// on; they answer with a name and an entry, or with Cancel.
struct FileScript {
  DWORD opened = 0;
  DWORD chosen = 1;
  std::wstring name;
  BOOL ok = TRUE;
};
inline FileScript g_file;

inline BOOL WINAPI ScriptedFileDialog(OPENFILENAMEW* ofn) {
  g_file.opened = ofn->nFilterIndex;
  if (!g_file.ok) return FALSE;
  wcsncpy(ofn->lpstrFile, g_file.name.c_str(), ofn->nMaxFile);
  ofn->nFilterIndex = g_file.chosen;
  return TRUE;
}

inline std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<absent>";
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}
