#include "UiHelpers.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>

#include "ConfigResourceIds.h"
#include "Controls.h"
#include "Core.h"
#include "Exceptions.h"
#include "File.h"
#include "Handles.h"
#include "MessageBox.h"
#include "TableCtrl.h"
#include "WinApp.h"
#include "Wnd.h"

namespace {

// The number of a base ending in " (n)": the text from the last space reads a space, "(", decimal digits
// and ")" (whatever follows the bracket is not looked at), with n below 2147483647. -1 otherwise.
long long TrailingNumber(const std::wstring& base, size_t* space) {
  const size_t at = base.rfind(L' ');
  if (at == std::wstring::npos) return -1;
  const wchar_t* p = base.c_str() + at + 1;
  if (*p++ != L'(') return -1;
  long long n = 0;
  const wchar_t* digits = p;
  while (*p >= L'0' && *p <= L'9') {
    n = n * 10 + (*p++ - L'0');
    if (n >= 2147483647) return -1;
  }
  if (p == digits || *p != L')') return -1;
  *space = at;
  return n;
}

bool MakeUniqueName(const wchar_t* base, UINT defaultBaseId, const std::function<bool(const wchar_t*)>& taken,
                    std::wstring& out) {
  std::wstring stem;
  UINT start = 2;
  if (base) {
    stem = base;
    size_t space = 0;
    const long long n = TrailingNumber(stem, &space);
    if (n >= 0) {
      stem.resize(space);
      start = UINT(n) + 1;
    }
  } else {
    LoadStr(defaultBaseId, stem);
  }
  if (!taken(stem.c_str())) {
    out = stem;
    return true;
  }
  // Up to the largest number first, then the numbers below the start: every number is tried once.
  auto tryNumber = [&](UINT i) {
    StrFormat(out, L"%s (%u)", stem.c_str(), i);
    return !taken(out.c_str());
  };
  for (UINT i = start;; ++i) {
    if (tryNumber(i)) return true;
    if (i == 4294967294u) break;
  }
  for (UINT i = 2; i < start; ++i) {
    if (tryNumber(i)) return true;
  }
  return false;
}

bool HasExtension(const wchar_t* name, const wchar_t* const* extensions) {
  if (!extensions) return true;
  const wchar_t* dot = wcsrchr(name, L'.');
  const wchar_t* extension = dot ? dot : L"";
  for (int i = 0; i < 3 && extensions[i]; ++i) {
    if (_wcsicmp(extension, extensions[i]) == 0) return true;
  }
  return false;
}

}  // namespace

bool MakeUniqueFilterName(const std::vector<_KEYFILTER_INFO>& filters, const wchar_t* base,
                          std::wstring& out) {
  return MakeUniqueName(
      base, IDS_FILTER_NAME, [&](const wchar_t* name) { return KeyFilterIndexByName(filters, name) >= 0; },
      out);
}

bool MakeUniqueFormatName(const std::vector<_FORMAT_INFO_EX>& formats, const wchar_t* base,
                          std::wstring& out) {
  return MakeUniqueName(
      base, IDS_FORMAT_NAME, [&](const wchar_t* name) { return FindFormatIndexByName(formats, name) >= 0; },
      out);
}

int FindFormatIndexByName(const std::vector<_FORMAT_INFO_EX>& formats, const wchar_t* name) {
  if (!name) return -1;
  const size_t length = wcslen(name);
  for (size_t i = 0; i < formats.size(); ++i) {
    const std::wstring& own = formats[i].Name;
    if (own.size() == length && std::wmemcmp(own.data(), name, length) == 0) return int(i);
  }
  return -1;
}

BOOL CALLBACK SetChildFontProc(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, WPARAM(font), TRUE);
  return TRUE;
}

int FindTabByParam(HWND tab, LPARAM value) {
  const int count = int(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    TCITEMW item = {};
    item.mask = TCIF_PARAM;
    if (SendMessageW(tab, TCM_GETITEMW, WPARAM(i), LPARAM(&item)) && item.lParam == value) return i;
  }
  return -1;
}

int FindComboItemByData(HWND combo, LPARAM data) {
  const int count = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    if (LPARAM(SendMessageW(combo, CB_GETITEMDATA, WPARAM(i), 0)) == data) return i;
  }
  return -1;
}

void FindFilesRecursive(std::vector<std::wstring>& out, const wchar_t* folder,
                        const wchar_t* const* extensions) {
  const std::wstring prefix = folder && *folder ? std::wstring(folder) + L"\\" : std::wstring();
  // Paths go to the system in MAX_PATH buffers: one that would not fit is left out rather than cut into
  // the name of some other file.
  const std::wstring pattern = prefix + L"*";
  if (pattern.size() >= MAX_PATH) return;
  CFindFile find;
  WIN32_FIND_DATAW data;
  for (bool more = find.FindFirst(pattern.c_str(), &data); more; more = find.FindNext(&data)) {
    const std::wstring path = prefix + data.cFileName;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (_wcsicmp(data.cFileName, L".") == 0 || _wcsicmp(data.cFileName, L"..") == 0) continue;
      FindFilesRecursive(out, path.c_str(), extensions);
    } else if (path.size() < MAX_PATH && HasExtension(data.cFileName, extensions)) {
      out.push_back(path);
    }
  }
}

bool PathLess(const std::wstring& a, const std::wstring& b) {
  size_t atA = 0;
  size_t atB = 0;
  for (;;) {
    const size_t endA = a.find(L'\\', atA);
    if (endA == std::wstring::npos) break;
    const size_t endB = b.find(L'\\', atB);
    if (endB == std::wstring::npos) return true;
    const size_t lengthA = endA - atA;
    const size_t lengthB = endB - atB;
    const int order = _wcsnicmp(a.c_str() + atA, b.c_str() + atB, std::min(lengthA, lengthB));
    if (order != 0) return order < 0;
    if (lengthA != lengthB) return lengthA < lengthB;
    atA = endA + 1;
    atB = endB + 1;
  }
  if (b.find(L'\\', atB) != std::wstring::npos) return false;
  return _wcsicmp(a.c_str() + atA, b.c_str() + atB) < 0;
}

void CopyTextToClipboard(const wchar_t* text, ptrdiff_t length) {
  const size_t count = length < 0 ? wcslen(text) : size_t(length);
  HWND owner = g_app && g_app->mainWnd ? g_app->mainWnd->hwnd : nullptr;
  if (!OpenClipboard(owner)) ThrowOSException(GetLastError());
  // Closes the clipboard however this ends, and frees the block until the clipboard has taken it.
  struct Open {
    HGLOBAL Block = nullptr;
    ~Open() {
      if (Block) GlobalFree(Block);
      CloseClipboard();
    }
  } open;
  EmptyClipboard();
  if (count > SIZE_MAX / sizeof(wchar_t) - 1) ThrowOSException(ERROR_NOT_ENOUGH_MEMORY);
  open.Block = GlobalAlloc(GMEM_MOVEABLE, (count + 1) * sizeof(wchar_t));
  if (!open.Block) ThrowOSException(GetLastError());
  wchar_t* copy = static_cast<wchar_t*>(GlobalLock(open.Block));
  if (!copy) ThrowOSException(GetLastError());
  if (count) std::memcpy(copy, text, count * sizeof(wchar_t));
  copy[count] = L'\0';
  GlobalUnlock(open.Block);
  if (!SetClipboardData(CF_UNICODETEXT, open.Block)) ThrowOSException(GetLastError());
  open.Block = nullptr;  // the clipboard's now
}

void ListComPorts(std::vector<std::wstring>& out) {
  CRegKey key;
  const LONG opened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, key.Receive());
  if (opened != ERROR_SUCCESS) {
    key.Detach();  // a failed open holds no key, whatever it left in the slot
    if (opened == ERROR_FILE_NOT_FOUND) return;
    ThrowOSException(DWORD(opened));
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    // One character past the 512 bytes, so a value that fills them still ends.
    wchar_t data[512 / sizeof(wchar_t) + 1];
    DWORD nameChars = 256;
    DWORD dataBytes = 512;
    DWORD type = 0;
    const LONG rc = RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // Too long for the buffers: no port name of the map, and the rest still counts.
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) ThrowOSException(DWORD(rc));
    if (type != REG_SZ) continue;
    data[dataBytes / sizeof(wchar_t)] = L'\0';
    if (!data[0]) continue;
    CharUpperW(data);
    out.emplace_back(data);
  }
}

bool SetMenuHotKeyTexts(HMENU menu, const _HOTKEY_INFO* table, size_t count) {
  constexpr size_t kTextChars = 256;
  for (size_t i = 0; i < count; ++i) {
    wchar_t text[kTextChars] = L"";
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING;
    item.dwTypeData = text;
    item.cch = kTextChars;
    if (!GetMenuItemInfoW(menu, table[i].CommandId, FALSE, &item)) return false;
    text[kTextChars - 1] = L'\0';
    std::wstring keyText;
    GetHotKeyText(keyText, table[i].HotKey);
    const std::wstring tail = L"\t" + keyText;
    const wchar_t* tab = wcsrchr(text, L'\t');
    if (tab && tail == tab) continue;
    std::wstring wanted(text, tab ? size_t(tab - text) : wcslen(text));
    wanted += tail;
    if (wanted.size() > kTextChars - 1) wanted.resize(kTextChars - 1);
    item.fMask = MIIM_STRING;
    item.dwTypeData = &wanted[0];
    item.cch = UINT(wanted.size());
    if (!SetMenuItemInfoW(menu, table[i].CommandId, FALSE, &item)) return false;
  }
  return true;
}

bool FindRegJump(std::wstring& path) {
  wchar_t found[MAX_PATH];
  // A result of MAX_PATH or more is the size a longer path would need: not found here rather than cut.
  const DWORD length = SearchPathW(nullptr, L"regjump.exe", nullptr, MAX_PATH, found, nullptr);
  if (length > 0 && length < MAX_PATH) {
    path.assign(found, length);
    return true;
  }
  return FindRegJumpAppPath(path);
}

CShellExecuteSeam ShellExecuteSeam;

void ShellExecuteFile(const wchar_t* file, const wchar_t* verb, const wchar_t* parameters) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_UNICODE;
  info.hwnd = nullptr;
  info.lpVerb = verb;
  info.lpFile = file;
  info.lpParameters = parameters;
  info.nShow = SW_SHOWNORMAL;
  auto call = ShellExecuteSeam.ShellExecuteEx ? ShellExecuteSeam.ShellExecuteEx : &ShellExecuteExW;
  if (!call(&info)) {
    const DWORD error = GetLastError();
    ThrowOSException(error);
  }
}

LRESULT ResetColumnsToDefaults(CAppSettings& settings, HWND owner, const _TBLN_RESET_INFO& reset,
                               COLUMN_SET_KIND kind) {
  if (!reset.columns) return 1;
  if (!reset.noConfirm && (settings.ConfirmFlags & CONFIRM_RESET_TO_DEFAULT)) {
    bool doNotAsk = false;
    const int answer = ShowMessageBoxRes(IDS_REALLY, MB_OKCANCEL | MB_ICONQUESTION, owner, &doNotAsk);
    if (doNotAsk) settings.SetConfirmFlags(CONFIRM_RESET_TO_DEFAULT, false);
    if (answer != IDOK) return 0;
  }
  const COLUMN_SET defaults = DefaultColumnSet(kind);
  for (size_t i = 0; i < reset.columns->size() && i < defaults.size(); ++i) {
    _COLUMN_INFO& column = (*reset.columns)[i];
    column.width = defaults[i].width;
    column.order = defaults[i].order;
    column.align = defaults[i].align;
    column.flags = defaults[i].flags;
  }
  return 1;
}
