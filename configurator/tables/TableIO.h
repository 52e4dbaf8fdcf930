// Reading and writing a table cell by cell: the interfaces that the formats and key filter commands
// speak to, whatever file kind (CSV, Excel, Calc) stands behind them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Exceptions.h"
#include "Object.h"

// An error of a table command in the user's words. The text is kept whole beside the ANSI message,
// which loses what the ANSI code page cannot hold (Russian texts under a Western code page, a file
// name in another script); the commands show the text.
class CTableException : public CException {
 public:
  explicit CTableException(std::wstring text);
  const std::wstring& Text() const { return m_text; }

 private:
  std::wstring m_text;
};

// Reads a table: Open, then cells of the current row, then NextRow until it returns false.
class CBTableImport : public CObject {
 public:
  CBTableImport() = default;
  ~CBTableImport() override = default;
  CBTableImport(const CBTableImport&) = delete;
  CBTableImport& operator=(const CBTableImport&) = delete;

  // Opens the table at its first (header) row, column 0. Failures throw; a table without a row
  // leaves rowCount 0.
  virtual void Open(const wchar_t* path) = 0;
  // False, and no move, when the new column would lie outside 0 .. columnCount - 1.
  virtual bool MoveColumn(int delta) = 0;
  // The next row at column 0; false at the end of the table.
  virtual bool NextRow() = 0;
  virtual bool GetString(std::wstring& out) = 0;
  // The cell's text as a number ("12abc" reads as 12); a zero counts only when a digit was consumed.
  virtual bool GetDouble(double& out);
  virtual bool GetInt64(int64_t& out);

  int columnCount = 0;
  // Rows including the header; INT_MAX when not known in advance.
  int rowCount = 0;
  int column = 0;
  int row = 0;
};

// Writes a table: Create, PutString/PutInteger per column, NextRow per row, Finish, Close.
class CBTableExport : public CObject {
 public:
  CBTableExport() = default;
  ~CBTableExport() override = default;
  CBTableExport(const CBTableExport&) = delete;
  CBTableExport& operator=(const CBTableExport&) = delete;

  // A null path shows the table to the user instead (spreadsheet writers only). Failures throw.
  virtual void Create(int columns, int rows, const wchar_t* path) = 0;
  virtual bool PutInteger(int value) = 0;
  virtual bool PutString(const wchar_t* text) = 0;
  // False once `rows` rows have been completed.
  virtual bool NextRow() = 0;
  virtual void Finish() = 0;
  // Without discard the result is saved over the path (or left open for the user); with it, or when
  // the writer is destroyed unclosed, the target keeps the bytes it had.
  virtual void Close(bool discard) = 0;

  int columnCount = 0;
  int rowCount = 0;
  int column = 0;
  int row = 0;
};

// A file written beside its target and moved over it only when complete, so that a failed or
// abandoned export never leaves a half-written target. The temporary has the target's extension
// (spreadsheet programs pick the format by it) and lies in the target's folder (the move is a rename).
class CTempTarget {
 public:
  CTempTarget() = default;
  ~CTempTarget() { Discard(); }
  CTempTarget(const CTempTarget&) = delete;
  CTempTarget& operator=(const CTempTarget&) = delete;

  // Picks a fresh temporary name for target and creates it empty (so the name stays ours); throws
  // CFileException naming the target on failure.
  void Begin(const wchar_t* target);
  // Moves the temporary over the target; the writer must have closed it. Throws on failure, then
  // the temporary is gone and the target unchanged.
  void Commit();
  // Deletes the temporary, if any.
  void Discard();

  const std::wstring& TempPath() const { return m_temp; }
  const std::wstring& TargetPath() const { return m_target; }

 private:
  std::wstring m_target;
  std::wstring m_temp;
};

// String `id` of the resource module in `language` (the titles of a table written in either language
// are recognised); empty when that language has none.
std::wstring LoadStrIn(UINT id, LANGID language);

// Whether a table cell reads as a set mark ("+"): anything but empty or "-".
inline bool TableMarkSet(const std::wstring& text) { return !text.empty() && text != L"-"; }
