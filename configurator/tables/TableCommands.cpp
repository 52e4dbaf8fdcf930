#include "TableCommands.h"

#include <commdlg.h>

#include "ConfigResourceIds.h"
#include "CsvTable.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "OfficeTables.h"
#include "Strings.h"

namespace {

bool HasExtension(const std::wstring& path, const wchar_t* extension) {
  return _wcsicmp(GetFileExtension(path.c_str()), extension) == 0;
}

}  // namespace

bool ExcelAvailable() { return IsProgIdKnown(L"Excel.Application"); }
bool CalcAvailable() { return IsProgIdKnown(L"com.sun.star.ServiceManager"); }

bool ChooseImportFile(HWND owner, UINT filterId, UINT& type, std::wstring& path) {
  std::vector<std::wstring> files;
  int index = int(type >= TABLE_CSV && type <= TABLE_CALC ? type : TABLE_CSV);
  if (!ShowFileDialog(files, &index, false, filterId, owner,
                      OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_ENABLESIZING) ||
      files.empty()) {
    return false;
  }
  type = index >= 1 && index <= 3 ? UINT(index) : TABLE_CSV;
  path = files[0];
  return true;
}

bool ChooseExportFile(HWND owner, UINT filterId, UINT& type, std::wstring& path) {
  static const UINT kTypes[4] = {EXPORT_CSV, EXPORT_XLSX, EXPORT_XLS, EXPORT_ODS};
  static const wchar_t* const kExtensions[4] = {L".csv", L".xlsx", L".xls", L".ods"};
  int index = 1;
  for (int i = 0; i < 4; ++i) {
    if (kTypes[i] == type) index = i + 1;
  }
  std::vector<std::wstring> files;
  if (!ShowFileDialog(files, &index, true, filterId, owner,
                      OFN_OVERWRITEPROMPT | OFN_EXPLORER | OFN_LONGNAMES | OFN_ENABLESIZING) ||
      files.empty()) {
    return false;
  }
  if (index < 1 || index > 4) index = 1;
  type = kTypes[index - 1];
  path = files[0];
  if (*GetFileExtension(path.c_str()) == L'\0') path += kExtensions[index - 1];
  return true;
}

bool IsCsvTable(UINT type, const std::wstring& path) {
  return HasExtension(path, L".csv") || (type == TABLE_CSV && !HasExtension(path, L".xlsx"));
}

std::unique_ptr<CBTableImport> MakeTableImport(UINT type, const std::wstring& path) {
  if (HasExtension(path, L".csv")) type = TABLE_CSV;
  else if (HasExtension(path, L".xlsx")) type = TABLE_EXCEL;
  switch (type) {
    case TABLE_EXCEL: return std::unique_ptr<CBTableImport>(new CExcelTableImport);
    case TABLE_CALC: return std::unique_ptr<CBTableImport>(new COOCalcTableImport);
    default: return std::unique_ptr<CBTableImport>(new CCsvTableImport);
  }
}

bool AskTableReplace(HWND owner, CAppSettings& settings, int removed) {
  if (!(settings.ConfirmFlags & CONFIRM_REPLACE_ITEM)) return true;
  std::wstring text;
  LoadStrAppendFormat(text, IDS_IMPORT_REPLACE_QUESTION, removed);
  bool doNotAsk = false;
  const int answer = ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONQUESTION, owner, &doNotAsk);
  if (doNotAsk) settings.SetConfirmFlags(CONFIRM_REPLACE_ITEM, false);
  return answer == IDOK;
}

void ShowTableNoRows(HWND owner, const std::wstring& path) {
  std::wstring text;
  LoadStrAppendFormat(text, IDS_IMPORT_NO_ROWS, path.c_str());
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONINFORMATION, owner);
}

void ShowTableError(HWND owner, const std::exception& error) {
  std::wstring text;
  if (auto* table = dynamic_cast<const CTableException*>(&error)) text = table->Text();
  else MultiByteToWide(error.what(), size_t(-1), text, CP_ACP);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, owner);
}
