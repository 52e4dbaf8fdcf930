#include "FileDialog.h"

#include <utility>

#include "Core.h"

CFileDialogSeam FileDialogSeam;

namespace {

// The chosen paths from a buffer the dialog filled with OFN_ALLOWMULTISELECT: one full path alone, or the
// folder followed by the names (NUL-separated in Explorer style, space-separated with short names in the
// old style).
std::vector<std::wstring> SplitMultiSelection(const std::wstring& buffer, bool explorer) {
  std::vector<std::wstring> parts;
  if (explorer) {
    size_t start = 0;
    while (start < buffer.size() && buffer[start] != L'\0') {
      const size_t end = buffer.find(L'\0', start);
      parts.push_back(buffer.substr(start, end - start));
      if (end == std::wstring::npos) break;
      start = end + 1;
    }
  } else {
    const std::wstring first(buffer.c_str());
    size_t start = 0;
    while (start < first.size()) {
      size_t end = first.find(L' ', start);
      if (end == std::wstring::npos) end = first.size();
      if (end > start) parts.push_back(first.substr(start, end - start));
      start = end + 1;
    }
  }
  std::vector<std::wstring> paths;
  if (parts.size() <= 1) {
    // One chosen file: the buffer holds its full path alone.
    if (!parts.empty()) paths.push_back(parts[0]);
    return paths;
  }
  std::wstring folder = parts[0];
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  for (size_t i = 1; i < parts.size(); ++i) paths.push_back(folder + parts[i]);
  return paths;
}

// The old-style dialog hands out short names; the file's own long name replaces the name part.
void ToLongName(std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  FindClose(search);
  const size_t slash = path.find_last_of(L"\\/");
  path.replace(slash == std::wstring::npos ? 0 : slash + 1, std::wstring::npos, found.cFileName);
}

}  // namespace

bool ShowFileDialog(std::vector<std::wstring>& files, int* filterIndex, bool save, UINT filterId, HWND owner,
                    DWORD flags) {
  std::wstring filter;
  LoadStr(filterId, filter);
  for (wchar_t& c : filter) {
    if (c == L'|') c = L'\0';
  }
  filter.push_back(L'\0');  // with the string's own terminator: the double NUL that ends the list

  std::wstring buffer;
  for (const std::wstring& name : files) {
    buffer += name;
    buffer.push_back(L'\0');
  }
  buffer.push_back(L'\0');
  if (buffer.size() < kFileDialogMinBuffer) buffer.resize(kFileDialogMinBuffer, L'\0');

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.hInstance = g_hInstance;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = filterIndex ? DWORD(*filterIndex) : 0;
  ofn.lpstrFile = &buffer[0];
  ofn.nMaxFile = DWORD(buffer.size());
  ofn.Flags = flags;

  BOOL chosen;
  if (save) {
    chosen = (FileDialogSeam.GetSaveFileName ? FileDialogSeam.GetSaveFileName : &GetSaveFileNameW)(&ofn);
  } else {
    chosen = (FileDialogSeam.GetOpenFileName ? FileDialogSeam.GetOpenFileName : &GetOpenFileNameW)(&ofn);
  }
  if (!chosen) return false;

  if (flags & OFN_ALLOWMULTISELECT) {
    std::vector<std::wstring> paths = SplitMultiSelection(buffer, (flags & OFN_EXPLORER) != 0);
    if (!(flags & OFN_EXPLORER)) {
      for (std::wstring& path : paths) ToLongName(path);
    }
    files = std::move(paths);
  } else {
    files.assign(1, std::wstring(buffer.c_str()));
  }
  if (filterIndex) *filterIndex = int(ofn.nFilterIndex);
  return true;
}
