// Late-bound automation of Microsoft Excel and OpenOffice/LibreOffice Calc: thin holders of the office
// objects that issue every call through InvokeDispatch and turn failures into exceptions.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>

#include "Object.h"

// COM on the calling thread for one scope. S_FALSE (already initialised) is balanced too; any failure,
// RPC_E_CHANGED_MODE included, throws CComException (E_OUTOFMEMORY: std::bad_alloc).
class CComInit {
 public:
  CComInit();
  ~CComInit() { CoUninitialize(); }
  CComInit(const CComInit&) = delete;
  CComInit& operator=(const CComInit&) = delete;
};

// An owned VARIANT, cleared when replaced or destroyed.
class CVariant {
 public:
  CVariant() { VariantInit(&v); }
  ~CVariant() { VariantClear(&v); }
  CVariant(const CVariant&) = delete;
  CVariant& operator=(const CVariant&) = delete;
  void Clear() { VariantClear(&v); }
  VARIANT v;
};

// Throws CComException for a failed HRESULT, std::bad_alloc for E_OUTOFMEMORY.
void CheckAutomation(HRESULT hr);
// The office application named could not be started: an error whose text names it and the cause.
[[noreturn]] void ThrowOfficeNotStarted(UINT nameId, HRESULT hr);
// Whether the registry knows the ProgID (the commands for that office are offered only then).
bool IsProgIdKnown(const wchar_t* progId);

class CExcelAuto : public CObject {
 public:
  CExcelAuto() = default;
  ~CExcelAuto() override;
  CExcelAuto(const CExcelAuto&) = delete;
  CExcelAuto& operator=(const CExcelAuto&) = delete;

  // False when Excel cannot be created or answers wrongly; startError then holds the cause and nothing
  // is held. An instance that was created is quit again.
  bool Start();
  // Shows or hides Excel, then opens `path` or adds a new workbook, and takes its active sheet. A hidden
  // instance gets DisplayAlerts off first: a prompt nobody sees would hang the call.
  void OpenWorkbook(bool hidden, const wchar_t* path);
  void GetRange(int column1, int row1, int column2, int row2);
  // A column Excel cannot fit is left as it is.
  void AutoFitColumns(int count);
  // Drops the workbook's objects, quits the instance (alerts off, so nothing asks) and drops it. The
  // objects are dropped even when the call fails; the failure is then thrown.
  void Quit();
  // Quit for cleanup paths: failures are ignored.
  void QuitQuietly() noexcept;
  void SaveAs(const wchar_t* path, int fileFormat);
  void EnableEvents(bool enable);
  // "Value" of the sheet's "UsedRange", which becomes `range`.
  void GetUsedRangeValue(VARIANT& out);
  // Puts the property on `range`.
  void PutRangeProperty(const wchar_t* name, const VARIANT& value);
  // Drops every held pointer, last obtained first.
  void Release() noexcept;

  IDispatch* excel = nullptr;
  IDispatch* application = nullptr;
  IDispatch* workbooks = nullptr;
  IDispatch* workbook = nullptr;
  IDispatch* sheet = nullptr;
  IDispatch* range = nullptr;
  HRESULT startError = S_OK;
};

class COOCalcAuto : public CObject {
 public:
  COOCalcAuto() = default;
  ~COOCalcAuto() override;
  COOCalcAuto(const COOCalcAuto&) = delete;
  COOCalcAuto& operator=(const COOCalcAuto&) = delete;

  // False when the service manager or the desktop cannot be had; startError holds the cause. Notes
  // whether the desktop already showed documents: an office the user works in is never terminated.
  bool Start();
  // Loads `path` (or a new spreadsheet) hidden or shown. A file the user already has open is used as it
  // is and left open afterwards.
  void LoadComponent(bool hidden, const wchar_t* path);
  // file://localhost/C:/... (file://server/share/... for UNC), UTF-8 percent-encoded outside the
  // unreserved characters, ":" and "/".
  static std::wstring PathToFileUrl(const wchar_t* path);
  void GetFirstSheet();
  void GetUsedArea(int& startColumn, int& startRow, int& endColumn, int& endRow);
  void GetCellRange(int column1, int row1, int column2, int row2);
  void SetOptimalWidth(int lastColumn);
  // Closes the document this object loaded or made, then ends the office when it started without
  // documents and has none left. Pointers are dropped even when a call fails; the failure is thrown.
  void Close();
  void CloseQuietly() noexcept;
  void StoreAs(const wchar_t* path, int fileFormat);
  // A method without arguments on `document` ("lockControllers", "addActionLock" and their undoing).
  void CallDocument(const wchar_t* name);
  void GetDataArray(VARIANT& out);
  void SetDataArray(const VARIANT& array);
  void Release() noexcept;

  IDispatch* serviceManager = nullptr;
  IDispatch* desktop = nullptr;
  IDispatch* document = nullptr;
  IDispatch* sheets = nullptr;
  IDispatch* sheet = nullptr;
  IDispatch* range = nullptr;
  HRESULT startError = S_OK;

 private:
  bool HasComponents();
  bool m_hadComponents = true;  // until known, the office counts as the user's
  bool m_ownsDocument = false;
};

// Cell conversions of the spreadsheet readers by the cell's VARIANT type. Numbers read as text without
// trailing decimals ("%.15g"); an empty cell reads as empty text. `calc`: a lone CR in text becomes CR LF.
bool CellToString(const VARIANT& cell, std::wstring& out, bool calc);
// Text cells fall back on the text rules (`fromText`).
enum class CellNumber { Value, NotNumber, Text };
CellNumber CellToDouble(const VARIANT& cell, double& out);
CellNumber CellToInt64(const VARIANT& cell, int64_t& out);
