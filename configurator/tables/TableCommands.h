// What the Import and Export commands of the Formats page and the key filters dialog share: the file
// dialogs with the remembered types, the reader and writer for a file kind, the Office check, and the
// messages (question, error, nothing found).
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "TableIO.h"

// Import types 1 CSV, 2 Excel, 3 Calc; export types 1 CSV, 2 .xlsx, 3 .xls, 4 Excel window, 5 .ods,
// 6 Calc window.
enum : UINT { TABLE_CSV = 1, TABLE_EXCEL = 2, TABLE_CALC = 3 };
enum : UINT {
  EXPORT_CSV = 1,
  EXPORT_XLSX = 2,
  EXPORT_XLS = 3,
  EXPORT_EXCEL_WINDOW = 4,
  EXPORT_ODS = 5,
  EXPORT_CALC_WINDOW = 6
};

// Whether Excel or Calc is registered on this machine (their items are grayed otherwise).
bool ExcelAvailable();
bool CalcAvailable();

// The open dialog on `type` (1..3); false on Cancel. `type` becomes the file type chosen.
bool ChooseImportFile(HWND owner, UINT filterId, UINT& type, std::wstring& path);
// The save dialog on the entry of export `type`; false on Cancel. `type` becomes the export type
// chosen, and a name without extension gets the type's.
bool ChooseExportFile(HWND owner, UINT filterId, UINT& type, std::wstring& path);
// Whether the file is read as CSV: ".csv", or the CSV type for an extension other than ".xlsx".
bool IsCsvTable(UINT type, const std::wstring& path);
// The reader for the file: ".csv" CSV, ".xlsx" Excel, anything else the chosen type.
std::unique_ptr<CBTableImport> MakeTableImport(UINT type, const std::wstring& path);

// The wait cursor for one scope: put back however the command ends, an exception included.
class CTableWaitCursor {
 public:
  CTableWaitCursor() : m_old(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
  ~CTableWaitCursor() { SetCursor(m_old); }
  CTableWaitCursor(const CTableWaitCursor&) = delete;
  CTableWaitCursor& operator=(const CTableWaitCursor&) = delete;

 private:
  HCURSOR m_old;
};

// The replace question under CONFIRM_REPLACE_ITEM; "Do not ask" clears the flag. True goes on.
bool AskTableReplace(HWND owner, CAppSettings& settings, int removed);
void ShowTableNoRows(HWND owner, const std::wstring& path);
// The exception's text in an error box.
void ShowTableError(HWND owner, const std::exception& error);
