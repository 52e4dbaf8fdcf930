// Small UI helpers several pages and dialogs share: unique names for new filters and formats, lookups in
// tab controls and combo boxes, a recursive file search with its path order, the clipboard, the serial
// ports of the registry map, hot-key texts in menus and the search for the registry-jump tool.
// GUI thread only.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "AppSettings.h"
#include "Settings.h"

// A name no filter has: `base` ("Filter" when null) as it stands, else "<base> (n)" with the first free
// n. A base ending in " (n)" is cut there and numbering starts at n + 1. False when every number is taken
// (`out` then holds the last text tried).
bool MakeUniqueFilterName(const std::vector<_KEYFILTER_INFO>& filters, const wchar_t* base,
                          std::wstring& out);
// The same over the formats, with "Format" as the default base.
bool MakeUniqueFormatName(const std::vector<_FORMAT_INFO_EX>& formats, const wchar_t* base,
                          std::wstring& out);
// The first format whose Name equals `name` exactly (length and UTF-16 code units); -1 when none.
int FindFormatIndexByName(const std::vector<_FORMAT_INFO_EX>& formats, const wchar_t* name);

// EnumChildWindows callback: WM_SETFONT with `font` (an HFONT) and redraw to each child. TRUE.
BOOL CALLBACK SetChildFontProc(HWND child, LPARAM font);
// The index of the first tab item whose TCIF_PARAM equals `value`; -1 when none.
int FindTabByParam(HWND tab, LPARAM value);
// The index of the first combo box item whose item data equals `data`; -1 when none.
int FindComboItemByData(HWND combo, LPARAM data);

// Appends the files below `folder`, depth first, subfolders searched where the file system lists them.
// `extensions`: null takes every file, else three entries (".wav" form, a null entry ends the list
// early) compared without case with the name's extension from its last dot; a name without a dot has
// none. Paths are folder + "\" + name (the bare name for an empty folder, which searches the current
// folder). A folder, subfolder or file whose path would not fit MAX_PATH is skipped, never cut.
void FindFilesRecursive(std::vector<std::wstring>& out, const wchar_t* folder,
                        const wchar_t* const* extensions);
// Path order for FindFilesRecursive's results: folder by folder, without case, a subfolder's contents
// before the files of the folder holding it.
bool PathLess(const std::wstring& a, const std::wstring& b);

// Puts `length` characters of `text` (negative: up to its NUL) on the clipboard as CF_UNICODETEXT, owned
// by the main window. Throws COSException when the clipboard cannot be opened or the data not placed; the
// clipboard is closed again on every way out.
void CopyTextToClipboard(const wchar_t* text, ptrdiff_t length);

// Appends the port names of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM in enumeration order, upper case; empty
// and non-text values are left out, as is a value whose name or data does not fit the buffers (256
// characters, 512 bytes). A missing key appends nothing; other registry errors throw COSException.
void ListComPorts(std::vector<std::wstring>& out);

// One row of a menu's hot-key table: the hot key (virtual key | 0x100 Alt | 0x200 Ctrl | 0x400 Shift |
// 0x800 Win) and the command it runs.
struct _HOTKEY_INFO {
  WORD HotKey;
  WORD CommandId;
};
// Makes each command's menu text end in a tab and the hot key's text, replacing what followed its last
// tab; an item already ending so is left alone. False when an item is missing or cannot be written.
bool SetMenuHotKeyTexts(HMENU menu, const _HOTKEY_INFO* table, size_t count);

// The full path of regjump.exe: on the search path, else as registered under App Paths. False when
// neither gives one (a path too long for MAX_PATH counts as not found).
bool FindRegJump(std::wstring& path);

// The shell execution behind the pages' log and registry commands. The program keeps the system's; a test
// puts its own in.
struct CShellExecuteSeam {
  // Null: the system's ShellExecuteExW.
  BOOL(WINAPI* ShellExecuteEx)(SHELLEXECUTEINFOW* info) = nullptr;
};
extern CShellExecuteSeam ShellExecuteSeam;
// Starts `file` with the verb and parameters (either may be null) through the seam: no UI of the shell's
// own, no owner window, shown normally. Throws COSException with the error code when the call fails.
void ShellExecuteFile(const wchar_t* file, const wchar_t* verb, const wchar_t* parameters);

struct _TBLN_RESET_INFO;
// A table's "reset columns" request: asks "Really?" under the reset confirmation (its "Do not ask" clears
// the flag), then gives the request's columns the default widths, order, alignment and flags of `kind`.
// Answers the notification's result: 0 when the user declined, else 1.
LRESULT ResetColumnsToDefaults(CAppSettings& settings, HWND owner, const _TBLN_RESET_INFO& reset,
                               COLUMN_SET_KIND kind);
