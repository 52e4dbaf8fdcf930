// The Formats page's Import and Export commands: file dialogs, the reader or writer of the chosen
// kind, and the messages; what goes into the cells is FormatsTable's.
#include <algorithm>

#include "ConfigResourceIds.h"
#include "CsvTable.h"
#include "FormatsPage.h"
#include "FormatsTable.h"
#include "OfficeTables.h"
#include "TableCommands.h"

bool CFormatsPage::Import(UINT type, bool replace) {
  if (type == 0) type = m_settings.formatsImportType;
  std::wstring path;
  if (!ChooseImportFile(hwnd, IDS_FORMATS_IMPORT_FILTER, type, path)) return false;
  if (type != m_settings.formatsImportType) {
    _DOC_UPDATE_INFO batch(&m_settings);
    m_settings.formatsImportType = type;
    m_settings.SetConfigModified(true);
  }
  try {
    CTableWaitCursor wait;
    // COM outlives the reader: its automation objects are released before CoUninitialize.
    std::unique_ptr<CComInit> com;
    if (!IsCsvTable(type, path)) com.reset(new CComInit);
    std::unique_ptr<CBTableImport> reader = MakeTableImport(type, path);
    const TABLE_IMPORT_RESULT result =
        ImportFormats(m_settings, m_settings.fmtFilter, *reader, path.c_str(), replace,
                      [this](int removed) { return AskTableReplace(hwnd, m_settings, removed); });
    reader.reset();
    if (result == TABLE_NO_ROWS) ShowTableNoRows(hwnd, path);
  } catch (const std::exception& e) {
    ShowTableError(hwnd, e);
  }
  ApplyViewState();
  return true;
}

bool CFormatsPage::Export(UINT type) {
  if (type == 0) type = m_settings.formatsExportType;
  std::wstring path;
  if (type != EXPORT_EXCEL_WINDOW && type != EXPORT_CALC_WINDOW) {
    if (!ChooseExportFile(hwnd, IDS_FORMATS_EXPORT_FILTER, type, path)) return false;
  }
  m_settings.SetFormatsExportType(type);
  const wchar_t* target = path.empty() ? nullptr : path.c_str();
  try {
    CTableWaitCursor wait;
    if (type == EXPORT_CSV) {
      CCsvTableExport writer;
      WriteTable(target, writer);
    } else if (type == EXPORT_XLSX || type == EXPORT_XLS || type == EXPORT_EXCEL_WINDOW) {
      CComInit com;
      CExcelTableExport writer;
      if (type == EXPORT_XLS) writer.fileFormat = 56;
      // Text columns stay text: Excel would read "0012" or "1E5" as numbers.
      for (int kind : ExportKinds()) {
        const bool text = kind == FMTCOL_CHOICE || (kind >= FMTCOL_NAME && kind <= FMTCOL_VISIBLE);
        writer.numberFormats.push_back(text ? L"@" : L"");
      }
      WriteTable(target, writer);
    } else {
      CComInit com;
      COOCalcTableExport writer;
      WriteTable(target, writer);
    }
  } catch (const std::exception& e) {
    ShowTableError(hwnd, e);
  }
  return true;
}

std::vector<int> CFormatsPage::ExportKinds() {
  if (table.hwnd) table.SyncColumnOrder(true);
  std::vector<int> kinds;
  for (size_t k = 0; k < table.columns.size() && k < size_t(FMTCOL_COUNT); ++k) {
    if (table.columns[k].flags & COLUMN_VISIBLE) kinds.push_back(int(k));
  }
  std::stable_sort(kinds.begin(), kinds.end(),
                   [this](int a, int b) { return table.columns[size_t(a)].order < table.columns[size_t(b)].order; });
  return kinds;
}

void CFormatsPage::WriteTable(const wchar_t* path, CBTableExport& writer) {
  const std::vector<int> kinds = ExportKinds();
  // A "Last key" not rendered yet is rendered for the file, never written stale.
  auto sample = [this](int row) {
    _FORMAT_ROW_INFO record;
    data.FillRow(row, record);
    return record.Format ? record.Format->Sample : std::wstring();
  };
  WriteFormatsTable(m_settings, data.Filter, data.ChosenId, data.rows, kinds, sample, writer, path);
}
