// The key filters dialog's Import and Export commands over its working list.
#include <algorithm>

#include "ConfigResourceIds.h"
#include "CsvTable.h"
#include "KeyFiltersDialog.h"
#include "KeyFiltersTable.h"
#include "MessageBox.h"
#include "OfficeTables.h"
#include "TableCommands.h"

bool CKeyFiltersDialog::Import(UINT type, bool replace) {
  if (!CommitPanel()) return false;
  std::wstring path;
  if (!ChooseImportFile(hwnd, IDS_KEY_FILTERS_IMPORT_FILTER, type, path)) return false;
  if (type != m_settings.keyFiltersImportType) {
    _DOC_UPDATE_INFO batch(&m_settings);
    m_settings.keyFiltersImportType = type;
    m_settings.SetConfigModified(true);
  }
  bool limitReached = false;
  TABLE_IMPORT_RESULT result = TABLE_CANCELLED;
  try {
    CTableWaitCursor wait;
    // COM outlives the reader: its automation objects are released before CoUninitialize.
    std::unique_ptr<CComInit> com;
    if (!IsCsvTable(type, path)) com.reset(new CComInit);
    std::unique_ptr<CBTableImport> reader = MakeTableImport(type, path);
    result = ImportKeyFilters({&filters, &nextIdCursor, &formatsFilterId}, *reader, path.c_str(), replace,
                              [this](int removed) { return AskTableReplace(hwnd, m_settings, removed); },
                              &limitReached);
    reader.reset();
  } catch (const std::exception& e) {
    ShowTableError(hwnd, e);
    return true;
  }
  if (result == TABLE_CANCELLED) return true;
  // Rows skipped for want of an id are the limit's, not a table without rows.
  if (limitReached) ShowMessageBoxRes(IDS_KEY_FILTERS_LIMIT, MB_OK | MB_ICONERROR, hwnd);
  else if (result == TABLE_NO_ROWS) ShowTableNoRows(hwnd, path);
  if (result == TABLE_IMPORTED) {
    RemoveSortMark(0);
    Refresh();
    ReloadPanel();
    SetModified();
  }
  return true;
}

std::vector<int> CKeyFiltersDialog::ExportColumns() {
  if (table.hwnd) table.SyncColumnOrder(true);
  std::vector<int> columns;
  for (size_t k = 0; k < table.columns.size() && k < size_t(KFCOL_COUNT); ++k) {
    if (table.columns[k].flags & COLUMN_VISIBLE) columns.push_back(int(k));
  }
  std::stable_sort(columns.begin(), columns.end(), [this](int a, int b) {
    return table.columns[size_t(a)].order < table.columns[size_t(b)].order;
  });
  return columns;
}

bool CKeyFiltersDialog::Export(UINT type) {
  if (!CommitPanel()) return false;
  std::wstring path;
  if (type != EXPORT_EXCEL_WINDOW && type != EXPORT_CALC_WINDOW) {
    if (!ChooseExportFile(hwnd, IDS_KEY_FILTERS_EXPORT_FILTER, type, path)) return false;
  }
  m_settings.SetKeyFiltersExportType(type);
  const wchar_t* target = path.empty() ? nullptr : path.c_str();
  const std::vector<int> columns = ExportColumns();
  try {
    CTableWaitCursor wait;
    if (type == EXPORT_CSV) {
      CCsvTableExport writer;
      WriteKeyFiltersTable(filters, columns, writer, target);
    } else if (type == EXPORT_XLSX || type == EXPORT_XLS || type == EXPORT_EXCEL_WINDOW) {
      CComInit com;
      CExcelTableExport writer;
      if (type == EXPORT_XLS) writer.fileFormat = 56;
      // The text columns by id, wherever they stand.
      for (int id : columns) writer.numberFormats.push_back(id == KFCOL_VISIBLE || id == KFCOL_NAME ? L"@" : L"");
      WriteKeyFiltersTable(filters, columns, writer, target);
    } else {
      CComInit com;
      COOCalcTableExport writer;
      WriteKeyFiltersTable(filters, columns, writer, target);
    }
  } catch (const std::exception& e) {
    ShowTableError(hwnd, e);
  }
  return true;
}
