#include "OfficeTables.h"

#include <new>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "Strings.h"

namespace {

constexpr int kXlsFormat = 56;
constexpr int kXlsMaxRows = 65536;  // Excel cuts an .xls sheet there without a word

// A new VT_VARIANT array with lower bound 1 in both dimensions.
void MakeArray(CVariant& array, ULONG extent1, ULONG extent2) {
  array.Clear();
  SAFEARRAYBOUND bounds[2] = {{extent1, 1}, {extent2, 1}};
  array.v.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!array.v.parray) throw std::bad_alloc();
  array.v.vt = VT_ARRAY | VT_VARIANT;
}

bool StoreCell(CVariant& array, LONG index1, LONG index2, const VARIANT& cell) {
  if (!(array.v.vt & VT_ARRAY) || !array.v.parray) return false;
  LONG indices[2] = {index1, index2};
  return SUCCEEDED(SafeArrayPutElement(array.v.parray, indices, const_cast<VARIANT*>(&cell)));
}

bool SetText(CVariant& cell, const wchar_t* text) {
  cell.Clear();
  cell.v.bstrVal = SysAllocString(text ? text : L"");
  if (!cell.v.bstrVal) throw std::bad_alloc();
  cell.v.vt = VT_BSTR;
  return true;
}

void SetInt(CVariant& cell, int value) {
  cell.Clear();
  cell.v.vt = VT_I4;
  cell.v.lVal = value;
}

LONG Extent(SAFEARRAY* array, UINT dimension) {
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(array, dimension, &lower)) || FAILED(SafeArrayGetUBound(array, dimension, &upper)))
    return 0;
  return upper >= lower ? upper - lower + 1 : 0;
}

}  // namespace

// ---- Excel import ----

CExcelTableImport::~CExcelTableImport() {
  if (data) SafeArrayUnaccessData(value.v.parray);
  data = rowStart = cell = nullptr;
  value.Clear();
  excel.QuitQuietly();
}

void CExcelTableImport::Open(const wchar_t* path) {
  column = row = 0;
  if (!excel.Start()) ThrowOfficeNotStarted(IDS_OFFICE_EXCEL, excel.startError);
  try {
    excel.OpenWorkbook(true, path);
    excel.GetUsedRangeValue(value.v);
    // The user's Excel is not ours to keep busy while the table is parsed.
    excel.Quit();
  } catch (...) {
    value.Clear();
    excel.QuitQuietly();
    throw;
  }
  if (value.v.vt != (VT_ARRAY | VT_VARIANT) || !value.v.parray || SafeArrayGetDim(value.v.parray) != 2) return;
  int rows = Extent(value.v.parray, 1);
  int columns = Extent(value.v.parray, 2);
  if (rows <= 0 || columns <= 0) return;
  void* first = nullptr;
  CheckAutomation(SafeArrayAccessData(value.v.parray, &first));
  data = rowStart = cell = static_cast<VARIANT*>(first);
  rowCount = rows;
  columnCount = columns;
}

bool CExcelTableImport::MoveColumn(int delta) {
  int next = column + delta;
  if (!data || next < 0 || next >= columnCount) return false;
  column = next;
  cell = rowStart + ptrdiff_t(column) * rowCount;
  return true;
}

bool CExcelTableImport::NextRow() {
  if (!data || row + 1 >= rowCount) return false;
  ++row;
  ++rowStart;
  cell = rowStart;
  column = 0;
  return true;
}

bool CExcelTableImport::GetString(std::wstring& out) {
  if (!cell) return false;
  return CellToString(*cell, out, false);
}

bool CExcelTableImport::GetDouble(double& out) {
  if (!cell) return false;
  switch (CellToDouble(*cell, out)) {
    case CellNumber::Value: return true;
    case CellNumber::Text: return CBTableImport::GetDouble(out);
    default: return false;
  }
}

bool CExcelTableImport::GetInt64(int64_t& out) {
  if (!cell) return false;
  switch (CellToInt64(*cell, out)) {
    case CellNumber::Value: return true;
    case CellNumber::Text: return CBTableImport::GetInt64(out);
    default: return false;
  }
}

// ---- Calc import ----

COOCalcTableImport::~COOCalcTableImport() {
  UnlockRow();
  if (data) SafeArrayUnaccessData(value.v.parray);
  data = rowVariant = nullptr;
  value.Clear();
  calc.CloseQuietly();
}

void COOCalcTableImport::Open(const wchar_t* path) {
  column = row = 0;
  if (!calc.Start()) ThrowOfficeNotStarted(IDS_OFFICE_CALC, calc.startError);
  int columns = 0, rows = 0;
  try {
    calc.LoadComponent(true, path);
    calc.GetFirstSheet();
    int startColumn = 0, startRow = 0, endColumn = -1, endRow = -1;
    calc.GetUsedArea(startColumn, startRow, endColumn, endRow);
    columns = endColumn - startColumn + 1;
    rows = endRow - startRow + 1;
    if (columns >= 1 && rows >= 1) {
      calc.GetCellRange(startColumn, startRow, endColumn, endRow);
      calc.GetDataArray(value.v);
    }
    calc.Close();
    calc.Release();
  } catch (...) {
    value.Clear();
    calc.CloseQuietly();
    throw;
  }
  if (columns < 1 || rows < 1) return;
  if (value.v.vt != (VT_ARRAY | VT_VARIANT) || !value.v.parray || SafeArrayGetDim(value.v.parray) != 1) return;
  m_rowsHeld = Extent(value.v.parray, 1);
  if (m_rowsHeld <= 0) return;
  void* first = nullptr;
  CheckAutomation(SafeArrayAccessData(value.v.parray, &first));
  data = rowVariant = static_cast<VARIANT*>(first);
  columnCount = columns;
  rowCount = rows < m_rowsHeld ? rows : m_rowsHeld;
  LockRow();
}

bool COOCalcTableImport::LockRow() {
  rowCells = cell = nullptr;
  m_rowLength = 0;
  if (rowVariant->vt != (VT_ARRAY | VT_VARIANT) || !rowVariant->parray) return true;  // a row without cells
  void* cells = nullptr;
  CheckAutomation(SafeArrayAccessData(rowVariant->parray, &cells));
  rowCells = static_cast<VARIANT*>(cells);
  m_rowLength = Extent(rowVariant->parray, 1);
  cell = rowCells;
  return true;
}

void COOCalcTableImport::UnlockRow() {
  if (rowCells) SafeArrayUnaccessData(rowVariant->parray);
  rowCells = cell = nullptr;
  m_rowLength = 0;
}

const VARIANT* COOCalcTableImport::Current() const {
  // A row array shorter than the used area reads as empty cells.
  return rowCells && column < m_rowLength ? rowCells + column : nullptr;
}

bool COOCalcTableImport::MoveColumn(int delta) {
  int next = column + delta;
  if (!data || next < 0 || next >= columnCount) return false;
  column = next;
  cell = rowCells ? rowCells + column : nullptr;
  return true;
}

bool COOCalcTableImport::NextRow() {
  if (!data || row + 1 >= rowCount) return false;
  UnlockRow();
  ++rowVariant;
  ++row;
  column = 0;
  return LockRow();
}

bool COOCalcTableImport::GetString(std::wstring& out) {
  if (!data) return false;
  const VARIANT* current = Current();
  if (!current) {
    out.clear();
    return true;
  }
  return CellToString(*current, out, true);
}

bool COOCalcTableImport::GetDouble(double& out) {
  const VARIANT* current = Current();
  if (!current) return false;
  switch (CellToDouble(*current, out)) {
    case CellNumber::Value: return true;
    case CellNumber::Text: return CBTableImport::GetDouble(out);
    default: return false;
  }
}

bool COOCalcTableImport::GetInt64(int64_t& out) {
  const VARIANT* current = Current();
  if (!current) return false;
  switch (CellToInt64(*current, out)) {
    case CellNumber::Value: return true;
    case CellNumber::Text: return CBTableImport::GetInt64(out);
    default: return false;
  }
}

// ---- Excel export ----

CExcelTableExport::~CExcelTableExport() { Abandon(); }

void CExcelTableExport::Abandon() noexcept {
  if (m_eventsOff && excel.application) {
    try {
      excel.EnableEvents(true);
    } catch (...) {
      // Quitting follows; the events die with the instance.
    }
  }
  m_eventsOff = false;
  excel.QuitQuietly();
  m_target.Discard();
}

void CExcelTableExport::Create(int columns, int rows, const wchar_t* target) {
  if (fileFormat == kXlsFormat && rows > kXlsMaxRows) {
    std::wstring text;
    LoadStrFormat(text, IDS_XLS_TOO_MANY_ROWS, rows);
    throw CTableException(text);
  }
  path = target ? target : L"";
  columnCount = columns;
  rowCount = rows;
  if (target) m_target.Begin(target);
  if (!excel.Start()) {
    m_target.Discard();
    ThrowOfficeNotStarted(IDS_OFFICE_EXCEL, excel.startError);
  }
  try {
    excel.OpenWorkbook(target != nullptr, nullptr);
    excel.EnableEvents(false);
    m_eventsOff = true;
    if (columns > 0 && rows > 0) MakeArray(array, ULONG(rows), ULONG(columns));
  } catch (...) {
    Abandon();
    throw;
  }
  column = row = 1;
}

bool CExcelTableExport::Store() {
  if (column > columnCount) return false;
  StoreCell(array, row, column, cellValue.v);
  ++column;
  return true;
}

bool CExcelTableExport::PutInteger(int value) {
  SetInt(cellValue, value);
  return Store();
}

bool CExcelTableExport::PutString(const wchar_t* text) {
  SetText(cellValue, text);
  if (column <= columnCount && row > (hasHeader ? 1 : 0)) m_textColumns.resize(size_t(columnCount), false);
  if (column <= columnCount && row > (hasHeader ? 1 : 0)) m_textColumns[size_t(column) - 1] = true;
  return Store();
}

bool CExcelTableExport::NextRow() {
  if (row > rowCount) return false;
  ++row;
  column = 1;
  return true;
}

void CExcelTableExport::Finish() {
  if (!excel.excel || !(array.v.vt & VT_ARRAY)) return;
  try {
    int firstDataRow = hasHeader ? 2 : 1;
    // Excel reads a text that looks like a number ("0012", "2023", "1e3") as that number: a column the
    // caller wrote as text is formatted as text ("@") before the values arrive, unless told otherwise.
    std::vector<std::wstring> formats = numberFormats;
    if (formats.empty())
      for (bool text : m_textColumns) formats.push_back(text ? L"@" : L"");
    for (int i = 1; i <= columnCount && size_t(i) <= formats.size(); ++i) {
      const std::wstring& format = formats[size_t(i) - 1];
      if (format.empty() || firstDataRow > rowCount) continue;
      excel.GetRange(i, firstDataRow, i, rowCount);
      CVariant text;
      SetText(text, format.c_str());
      excel.PutRangeProperty(L"NumberFormat", text.v);
    }
    excel.GetRange(1, 1, columnCount, rowCount);
    excel.PutRangeProperty(L"Value", array.v);
    excel.AutoFitColumns(columnCount);
  } catch (...) {
    Abandon();
    throw;
  }
}

void CExcelTableExport::Close(bool discard) {
  if (!excel.excel) {
    m_target.Discard();
    return;
  }
  try {
    excel.EnableEvents(true);
    m_eventsOff = false;
    if (discard) {
      excel.Quit();
      m_target.Discard();
    } else if (!path.empty()) {
      excel.SaveAs(m_target.TempPath().c_str(), fileFormat);
      excel.Quit();
      m_target.Commit();
    }
    // Without a path the visible workbook now belongs to the user.
    excel.Release();
  } catch (...) {
    Abandon();
    throw;
  }
}

// ---- Calc export ----

COOCalcTableExport::~COOCalcTableExport() { Abandon(); }

void COOCalcTableExport::Abandon() noexcept {
  try {
    Unlock();
  } catch (...) {
    // The document is closed next; its locks go with it.
  }
  m_controllersLocked = m_actionLocked = false;
  calc.CloseQuietly();
  m_target.Discard();
}

void COOCalcTableExport::Unlock() {
  HRESULT hr = S_OK;
  if (m_controllersLocked) {
    m_controllersLocked = false;
    hr = InvokeDispatch(DISPATCH_METHOD, nullptr, calc.document, L"unLockControllers", 0);
  }
  if (m_actionLocked) {
    m_actionLocked = false;
    HRESULT removed = InvokeDispatch(DISPATCH_METHOD, nullptr, calc.document, L"removeActionLock", 0);
    if (SUCCEEDED(hr)) hr = removed;
  }
  CheckAutomation(hr);
}

void COOCalcTableExport::Create(int columns, int rows, const wchar_t* target) {
  path = target ? target : L"";
  columnCount = columns;
  rowCount = rows;
  if (target) m_target.Begin(target);
  if (!calc.Start()) {
    m_target.Discard();
    ThrowOfficeNotStarted(IDS_OFFICE_CALC, calc.startError);
  }
  try {
    calc.LoadComponent(target != nullptr, nullptr);
    calc.GetFirstSheet();
    calc.CallDocument(L"lockControllers");
    m_controllersLocked = true;
    calc.CallDocument(L"addActionLock");
    m_actionLocked = true;
    if (columns > 0 && rows > 0) MakeArray(array, ULONG(columns), ULONG(rows));
  } catch (...) {
    Abandon();
    throw;
  }
  column = row = 1;
}

bool COOCalcTableExport::Store() {
  if (column > columnCount) return false;
  StoreCell(array, column, row, cellValue.v);
  ++column;
  return true;
}

bool COOCalcTableExport::PutInteger(int value) {
  SetInt(cellValue, value);
  return Store();
}

bool COOCalcTableExport::PutString(const wchar_t* text) {
  SetText(cellValue, text);
  return Store();
}

bool COOCalcTableExport::NextRow() {
  if (row > rowCount) return false;
  ++row;
  column = 1;
  return true;
}

void COOCalcTableExport::Finish() {
  if (!calc.document || !(array.v.vt & VT_ARRAY)) return;
  try {
    calc.GetCellRange(0, 0, columnCount - 1, rowCount - 1);
    calc.SetDataArray(array.v);
    calc.SetOptimalWidth(columnCount - 1);
  } catch (...) {
    Abandon();
    throw;
  }
}

void COOCalcTableExport::Close(bool discard) {
  if (!calc.desktop) {
    m_target.Discard();
    return;
  }
  try {
    Unlock();
    if (discard) {
      calc.Close();
      m_target.Discard();
    } else if (!path.empty()) {
      calc.StoreAs(m_target.TempPath().c_str(), fileFormat);
      calc.Close();
      m_target.Commit();
    }
    calc.Release();
  } catch (...) {
    Abandon();
    throw;
  }
}
