// Tables read from and written to Excel and Calc workbooks through automation. The whole table crosses in
// one array per call: Excel's indexed (row, column), Calc's export (column, row), Calc's import an array
// of row arrays. Every failure, the office not starting included, is thrown; the objects, the office's
// locks and events, and the target file are left as they were.
#pragma once

#include <string>
#include <vector>

#include "OfficeAuto.h"
#include "TableIO.h"

class CExcelTableImport : public CBTableImport {
 public:
  CExcelTableImport() = default;
  ~CExcelTableImport() override;

  // Copies the sheet's used range out and ends Excel before the caller reads a cell. A used range of a
  // single cell is a single value, not a table: rowCount stays 0.
  void Open(const wchar_t* path) override;
  bool MoveColumn(int delta) override;
  bool NextRow() override;
  bool GetString(std::wstring& out) override;
  bool GetDouble(double& out) override;
  bool GetInt64(int64_t& out) override;

  CExcelAuto excel;
  CVariant value;
  VARIANT* data = nullptr;
  VARIANT* rowStart = nullptr;
  VARIANT* cell = nullptr;
};

class COOCalcTableImport : public CBTableImport {
 public:
  COOCalcTableImport() = default;
  ~COOCalcTableImport() override;

  // Copies the used area out and closes what it opened before the caller reads a cell.
  void Open(const wchar_t* path) override;
  bool MoveColumn(int delta) override;
  bool NextRow() override;
  bool GetString(std::wstring& out) override;
  bool GetDouble(double& out) override;
  bool GetInt64(int64_t& out) override;

  COOCalcAuto calc;
  CVariant value;
  VARIANT* data = nullptr;
  VARIANT* rowCells = nullptr;
  VARIANT* rowVariant = nullptr;
  VARIANT* cell = nullptr;

 private:
  bool LockRow();
  void UnlockRow();
  const VARIANT* Current() const;
  int m_rowLength = 0;  // cells the current row's array holds
  int m_rowsHeld = 0;   // rows the outer array holds
};

class CExcelTableExport : public CBTableExport {
 public:
  CExcelTableExport() = default;
  ~CExcelTableExport() override;

  // A path is saved hidden; without one the workbook is shown and handed to the user at Close.
  void Create(int columns, int rows, const wchar_t* path) override;
  bool PutInteger(int value) override;
  bool PutString(const wchar_t* text) override;
  bool NextRow() override;
  void Finish() override;
  void Close(bool discard) override;

  int fileFormat = 0;  // 56 for .xls
  // By column; left empty, every column whose data cells were put as text gets "@".
  std::vector<std::wstring> numberFormats;
  bool hasHeader = true;
  std::wstring path;
  CExcelAuto excel;
  CVariant array;
  CVariant cellValue;

 private:
  bool Store();
  void Abandon() noexcept;
  CTempTarget m_target;
  bool m_eventsOff = false;
  std::vector<bool> m_textColumns;  // data cells put as text, by column
};

class COOCalcTableExport : public CBTableExport {
 public:
  COOCalcTableExport() = default;
  ~COOCalcTableExport() override;

  void Create(int columns, int rows, const wchar_t* path) override;
  bool PutInteger(int value) override;
  bool PutString(const wchar_t* text) override;
  bool NextRow() override;
  void Finish() override;
  void Close(bool discard) override;

  int fileFormat = 0;
  std::wstring path;
  COOCalcAuto calc;
  CVariant array;
  CVariant cellValue;

 private:
  bool Store();
  void Unlock();
  void Abandon() noexcept;
  CTempTarget m_target;
  bool m_controllersLocked = false;
  bool m_actionLocked = false;
};
