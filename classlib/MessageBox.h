// The configurator's message box: a task dialog with translated buttons and an optional "Do not ask" box,
// or the system message box where the task dialog is not available. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

// The system calls behind the message boxes. The program keeps the system's; a test puts its own in.
struct CMessageBoxSeam {
  // Null: TaskDialogIndirect as comctl32 exports it.
  HRESULT(WINAPI* TaskDialogIndirect)(const TASKDIALOGCONFIG*, int*, int*, BOOL*) = nullptr;
  // Null: the system's MessageBoxW.
  int(WINAPI* MessageBox)(HWND, LPCWSTR, LPCWSTR, UINT) = nullptr;
  // Behave as if comctl32 had no TaskDialogIndirect.
  bool NoTaskDialog = false;
};
extern CMessageBoxSeam MessageBoxSeam;

// Shows `text` (a string-table id when IS_INTRESOURCE) with the MB_ button, icon and default-button bits of
// `type`. A null `owner` means the main window. `doNotAsk`, when given, adds the "Do not ask" box, ticked
// when *doNotAsk is true, and receives its state. A task dialog where one exists; else MessageBoxW with
// caption 102, without the box. The answer is the pressed button's id, 0 when nothing could be shown.
int ShowMessageBox(const wchar_t* text, UINT type, HWND owner = nullptr, bool* doNotAsk = nullptr);
// The same with the text of string `id`.
int ShowMessageBoxRes(UINT id, UINT type, HWND owner = nullptr, bool* doNotAsk = nullptr);
// The task dialog alone: 0, showing nothing, when comctl32 lacks TaskDialogIndirect or the call fails.
int ShowTaskDialog(const wchar_t* text, UINT type, HWND owner = nullptr, bool* doNotAsk = nullptr);
