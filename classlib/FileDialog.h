// The common open and save dialogs. GUI thread only.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <string>
#include <vector>

// The system calls behind ShowFileDialog. The program keeps the system's; a test puts its own in.
struct CFileDialogSeam {
  BOOL(WINAPI* GetOpenFileName)(OPENFILENAMEW*) = nullptr;  // null: GetOpenFileNameW
  BOOL(WINAPI* GetSaveFileName)(OPENFILENAMEW*) = nullptr;  // null: GetSaveFileNameW
};
extern CFileDialogSeam FileDialogSeam;

// The file-name buffer never holds fewer characters than this.
constexpr size_t kFileDialogMinBuffer = 4096;

// Shows the open (or, with `save`, the save) dialog with the filter of string `filterId` ('|' between
// descriptions and patterns), the names in `files` as its initial names and *filterIndex as the chosen
// filter. On OK `files` holds one full path per chosen file and *filterIndex the filter chosen; cancel or
// failure returns false and changes neither. `filterIndex` may be null.
bool ShowFileDialog(std::vector<std::wstring>& files, int* filterIndex, bool save, UINT filterId, HWND owner,
                    DWORD flags);
