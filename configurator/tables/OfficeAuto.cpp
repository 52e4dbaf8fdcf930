#include "OfficeAuto.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "Strings.h"
#include "TableIO.h"

namespace {

void Drop(IDispatch*& object) noexcept {
  if (object) object->Release();
  object = nullptr;
}

VARIANT Bool(bool value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

VARIANT Int(int value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// A VT_BSTR that the holder frees; the VARIANT itself is passed by value to InvokeDispatch.
class CBstrArg {
 public:
  explicit CBstrArg(const std::wstring& text) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), UINT(text.size()));
    if (!v.bstrVal) throw std::bad_alloc();
  }
  ~CBstrArg() { VariantClear(&v); }
  CBstrArg(const CBstrArg&) = delete;
  CBstrArg& operator=(const CBstrArg&) = delete;
  VARIANT v;
};

// The call's result must be an object; it replaces what `into` held.
template <typename... Args>
void GetObject(IDispatch*& into, WORD flags, IDispatch* object, const wchar_t* name, Args... args) {
  CVariant result;
  CheckAutomation(InvokeDispatch(flags, &result.v, object, name, int(sizeof...(Args)), args...));
  if (result.v.vt != VT_DISPATCH || !result.v.pdispVal) ThrowComException(E_NOINTERFACE);
  IDispatch* obtained = result.v.pdispVal;
  obtained->AddRef();
  Drop(into);
  into = obtained;
}

void PutBool(IDispatch* object, const wchar_t* name, bool value) {
  CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, object, name, 1, Bool(value)));
}

bool GetBool(IDispatch* object, const wchar_t* name) {
  CVariant result;
  CheckAutomation(InvokeDispatch(DISPATCH_METHOD, &result.v, object, name, 0));
  CheckAutomation(VariantChangeType(&result.v, &result.v, 0, VT_BOOL));
  return result.v.boolVal != VARIANT_FALSE;
}

int GetInt(IDispatch* object, const wchar_t* name) {
  CVariant result;
  CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYGET, &result.v, object, name, 0));
  CheckAutomation(VariantChangeType(&result.v, &result.v, 0, VT_I4));
  return result.v.lVal;
}

void AppendUtf8Escaped(std::wstring& url, const std::wstring& part) {
  std::string bytes;
  WideToMultiByte(part.c_str(), part.size(), bytes, CP_UTF8);
  for (unsigned char c : bytes) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == ':' || c == '/') {
      url += wchar_t(c);
    } else {
      wchar_t hex[4];
      swprintf(hex, 4, L"%%%02X", c);
      url += hex;
    }
  }
}

}  // namespace

CComInit::CComInit() {
  // S_FALSE still takes a reference that the destructor gives back.
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) CheckAutomation(hr);
}

void CheckAutomation(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  ThrowComException(hr);
}

void ThrowOfficeNotStarted(UINT nameId, HRESULT hr) {
  std::wstring name, text;
  LoadStr(nameId, name);
  LoadStrFormat(text, IDS_OFFICE_NOT_STARTED, name.c_str());
  if (FAILED(hr)) {
    std::wstring cause;
    MultiByteToWide(CComException(hr, g_hResInstance).what(), size_t(-1), cause, CP_ACP);
    text += L"\r\n" + cause;
  }
  throw CTableException(text);
}

bool IsProgIdKnown(const wchar_t* progId) {
  CLSID clsid;
  return SUCCEEDED(CLSIDFromProgID(progId, &clsid));
}

// ---- Excel ----

CExcelAuto::~CExcelAuto() { Release(); }

bool CExcelAuto::Start() {
  startError = S_OK;
  try {
    CLSID clsid;
    CheckAutomation(CLSIDFromProgID(L"Excel.Application", &clsid));
    CheckAutomation(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&excel)));
    GetObject(application, DISPATCH_PROPERTYGET, excel, L"Application");
    GetObject(workbooks, DISPATCH_PROPERTYGET, excel, L"Workbooks");
    return true;
  } catch (const CComException& e) {
    startError = e.Code();
  } catch (const std::bad_alloc&) {
    startError = E_OUTOFMEMORY;
  }
  // A created instance that cannot be used is ended, not left running hidden.
  if (excel) QuitQuietly();
  Release();
  return false;
}

void CExcelAuto::OpenWorkbook(bool hidden, const wchar_t* path) {
  PutBool(excel, L"Visible", !hidden);
  if (hidden) PutBool(excel, L"DisplayAlerts", false);
  if (path) {
    CBstrArg file(path);
    GetObject(workbook, DISPATCH_METHOD, workbooks, L"Open", file.v);
  } else {
    GetObject(workbook, DISPATCH_METHOD, workbooks, L"Add");
  }
  GetObject(sheet, DISPATCH_PROPERTYGET, workbook, L"ActiveSheet");
}

void CExcelAuto::GetRange(int column1, int row1, int column2, int row2) {
  IDispatch* cells = nullptr;
  IDispatch* first = nullptr;
  IDispatch* last = nullptr;
  try {
    GetObject(cells, DISPATCH_PROPERTYGET, sheet, L"Cells");
    GetObject(first, DISPATCH_PROPERTYGET, cells, L"Item", Int(column1), Int(row1));
    GetObject(last, DISPATCH_PROPERTYGET, cells, L"Item", Int(column2), Int(row2));
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = b.vt = VT_DISPATCH;
    a.pdispVal = first;
    b.pdispVal = last;
    GetObject(range, DISPATCH_PROPERTYGET, sheet, L"Range", b, a);
  } catch (...) {
    Drop(last);
    Drop(first);
    Drop(cells);
    throw;
  }
  Drop(last);
  Drop(first);
  Drop(cells);
}

void CExcelAuto::AutoFitColumns(int count) {
  IDispatch* columns = nullptr;
  GetObject(columns, DISPATCH_PROPERTYGET, sheet, L"Columns");
  IDispatch* column = nullptr;
  try {
    for (int i = 1; i <= count; ++i) {
      GetObject(column, DISPATCH_PROPERTYGET, columns, L"Item", Int(i));
      InvokeDispatch(DISPATCH_METHOD, nullptr, column, L"AutoFit", 0);
      Drop(column);
    }
  } catch (...) {
    Drop(column);
    Drop(columns);
    throw;
  }
  Drop(columns);
}

void CExcelAuto::Quit() {
  Drop(range);
  Drop(sheet);
  Drop(workbook);
  Drop(workbooks);
  Drop(application);
  if (!excel) return;
  // A workbook left unsaved would ask; Excel would linger hidden with the question.
  HRESULT hr = InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, excel, L"DisplayAlerts", 1, Bool(false));
  HRESULT quit = InvokeDispatch(DISPATCH_METHOD, nullptr, excel, L"Quit", 0);
  Drop(excel);
  CheckAutomation(hr);
  CheckAutomation(quit);
}

void CExcelAuto::QuitQuietly() noexcept {
  try {
    Quit();
  } catch (...) {
    // Cleanup after another failure, or of an import already read: the first cause is what counts.
  }
  Release();
}

void CExcelAuto::SaveAs(const wchar_t* path, int fileFormat) {
  PutBool(excel, L"DisplayAlerts", false);
  CBstrArg file(path);
  if (fileFormat != 0)
    CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, workbook, L"SaveAs", 2, Int(fileFormat), file.v));
  else
    CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, workbook, L"SaveAs", 1, file.v));
}

void CExcelAuto::EnableEvents(bool enable) { PutBool(application, L"EnableEvents", enable); }

void CExcelAuto::GetUsedRangeValue(VARIANT& out) {
  GetObject(range, DISPATCH_PROPERTYGET, sheet, L"UsedRange");
  VariantClear(&out);
  CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYGET, &out, range, L"Value", 0));
}

void CExcelAuto::PutRangeProperty(const wchar_t* name, const VARIANT& value) {
  CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, range, name, 1, value));
}

void CExcelAuto::Release() noexcept {
  Drop(range);
  Drop(sheet);
  Drop(workbook);
  Drop(workbooks);
  Drop(application);
  Drop(excel);
}

// ---- Calc ----

COOCalcAuto::~COOCalcAuto() { Release(); }

bool COOCalcAuto::HasComponents() {
  IDispatch* components = nullptr;
  GetObject(components, DISPATCH_METHOD, desktop, L"getComponents");
  bool has = false;
  try {
    has = GetBool(components, L"hasElements");
  } catch (...) {
    Drop(components);
    throw;
  }
  Drop(components);
  return has;
}

bool COOCalcAuto::Start() {
  startError = S_OK;
  m_hadComponents = true;
  try {
    CLSID clsid;
    CheckAutomation(CLSIDFromProgID(L"com.sun.star.ServiceManager", &clsid));
    CheckAutomation(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&serviceManager)));
    CBstrArg name(L"com.sun.star.frame.Desktop");
    GetObject(desktop, DISPATCH_METHOD, serviceManager, L"CreateInstance", name.v);
    m_hadComponents = HasComponents();
    return true;
  } catch (const CComException& e) {
    startError = e.Code();
  } catch (const std::bad_alloc&) {
    startError = E_OUTOFMEMORY;
  }
  Release();
  return false;
}

std::wstring COOCalcAuto::PathToFileUrl(const wchar_t* path) {
  std::wstring text(path);
  for (wchar_t& c : text)
    if (c == L'\\') c = L'/';
  std::wstring url;
  if (text.compare(0, 2, L"//") == 0) {
    url = L"file:";
  } else {
    url = L"file://localhost/";
  }
  AppendUtf8Escaped(url, text);
  return url;
}

void COOCalcAuto::LoadComponent(bool hidden, const wchar_t* path) {
  std::wstring url = path ? PathToFileUrl(path) : std::wstring(L"private:factory/scalc");
  m_ownsDocument = true;
  if (path) {
    // The user's own copy of the file: read it where it is, and leave it open.
    IDispatch* components = nullptr;
    IDispatch* enumeration = nullptr;
    IDispatch* component = nullptr;
    try {
      GetObject(components, DISPATCH_METHOD, desktop, L"getComponents");
      GetObject(enumeration, DISPATCH_METHOD, components, L"createEnumeration");
      while (!document && GetBool(enumeration, L"hasMoreElements")) {
        GetObject(component, DISPATCH_METHOD, enumeration, L"nextElement");
        CVariant location;
        CheckAutomation(InvokeDispatch(DISPATCH_METHOD, &location.v, component, L"getURL", 0));
        if (location.v.vt == VT_BSTR && location.v.bstrVal && _wcsicmp(location.v.bstrVal, url.c_str()) == 0) {
          document = component;
          component = nullptr;
          m_ownsDocument = false;
        }
        Drop(component);
      }
    } catch (...) {
      Drop(component);
      Drop(enumeration);
      Drop(components);
      throw;
    }
    Drop(enumeration);
    Drop(components);
  }
  if (!document) {
    SAFEARRAYBOUND bound{hidden ? 1UL : 0UL, 0};
    CVariant arguments;
    arguments.v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    if (!arguments.v.parray) throw std::bad_alloc();
    arguments.v.vt = VT_ARRAY | VT_VARIANT;
    if (hidden) {
      IDispatch* property = nullptr;
      CBstrArg type(L"com.sun.star.beans.PropertyValue");
      GetObject(property, DISPATCH_METHOD, serviceManager, L"Bridge_GetStruct", type.v);
      try {
        CBstrArg name(L"Hidden");
        CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, property, L"name", 1, name.v));
        CheckAutomation(InvokeDispatch(DISPATCH_PROPERTYPUT, nullptr, property, L"value", 1, Bool(true)));
        VARIANT element;
        VariantInit(&element);
        element.vt = VT_DISPATCH;
        element.pdispVal = property;
        LONG index = 0;
        CheckAutomation(SafeArrayPutElement(arguments.v.parray, &index, &element));  // adds its own reference
      } catch (...) {
        Drop(property);
        throw;
      }
      Drop(property);
    }
    CBstrArg target(url);
    CBstrArg frame(L"_blank");
    GetObject(document, DISPATCH_METHOD, desktop, L"LoadComponentFromURL", arguments.v, Int(0), frame.v, target.v);
    m_ownsDocument = true;
  }
  GetObject(sheets, DISPATCH_METHOD, document, L"GetSheets");
}

void COOCalcAuto::GetFirstSheet() { GetObject(sheet, DISPATCH_METHOD, sheets, L"getByIndex", Int(0)); }

void COOCalcAuto::GetUsedArea(int& startColumn, int& startRow, int& endColumn, int& endRow) {
  IDispatch* cursor = nullptr;
  IDispatch* address = nullptr;
  try {
    GetObject(cursor, DISPATCH_METHOD, sheet, L"createCursor");
    CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, cursor, L"gotoStartOfUsedArea", 1, Bool(false)));
    CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, cursor, L"gotoEndOfUsedArea", 1, Bool(true)));
    GetObject(address, DISPATCH_METHOD, cursor, L"getRangeAddress");
    startColumn = GetInt(address, L"StartColumn");
    startRow = GetInt(address, L"StartRow");
    endColumn = GetInt(address, L"EndColumn");
    endRow = GetInt(address, L"EndRow");
  } catch (...) {
    Drop(address);
    Drop(cursor);
    throw;
  }
  Drop(address);
  Drop(cursor);
}

void COOCalcAuto::GetCellRange(int column1, int row1, int column2, int row2) {
  GetObject(range, DISPATCH_METHOD, sheet, L"getCellRangeByPosition", Int(row2), Int(column2), Int(row1),
            Int(column1));
}

void COOCalcAuto::SetOptimalWidth(int lastColumn) {
  IDispatch* columns = nullptr;
  IDispatch* column = nullptr;
  GetObject(columns, DISPATCH_PROPERTYGET, sheet, L"Columns");
  try {
    for (int i = 0; i <= lastColumn; ++i) {
      GetObject(column, DISPATCH_METHOD, columns, L"getByIndex", Int(i));
      PutBool(column, L"optimalWidth", true);
      Drop(column);
    }
  } catch (...) {
    Drop(column);
    Drop(columns);
    throw;
  }
  Drop(columns);
}

void COOCalcAuto::Close() {
  HRESULT hr = S_OK;
  Drop(range);
  Drop(sheet);
  Drop(sheets);
  if (document) {
    if (m_ownsDocument) hr = InvokeDispatch(DISPATCH_METHOD, nullptr, document, L"close", 1, Bool(true));
    Drop(document);
  }
  if (desktop && SUCCEEDED(hr) && !m_hadComponents) {
    // Terminating ends every window of the office: only when it was ours alone from start to end.
    bool hasComponents = true;
    try {
      hasComponents = HasComponents();
    } catch (...) {
      Drop(desktop);
      throw;
    }
    if (!hasComponents) hr = InvokeDispatch(DISPATCH_METHOD, nullptr, desktop, L"terminate", 0);
  }
  Drop(desktop);
  CheckAutomation(hr);
}

void COOCalcAuto::CloseQuietly() noexcept {
  try {
    Close();
  } catch (...) {
    // Cleanup after another failure: the first cause is what counts.
  }
  Release();
}

void COOCalcAuto::StoreAs(const wchar_t* path, int) {
  SAFEARRAYBOUND bound{0, 0};
  CVariant arguments;
  arguments.v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
  if (!arguments.v.parray) throw std::bad_alloc();
  arguments.v.vt = VT_ARRAY | VT_VARIANT;
  CBstrArg url(PathToFileUrl(path));
  CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, document, L"storeAsURL", 2, arguments.v, url.v));
}

void COOCalcAuto::CallDocument(const wchar_t* name) {
  CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, document, name, 0));
}

void COOCalcAuto::GetDataArray(VARIANT& out) {
  VariantClear(&out);
  CheckAutomation(InvokeDispatch(DISPATCH_METHOD, &out, range, L"getDataArray", 0));
}

void COOCalcAuto::SetDataArray(const VARIANT& array) {
  CheckAutomation(InvokeDispatch(DISPATCH_METHOD, nullptr, range, L"setDataArray", 1, array));
}

void COOCalcAuto::Release() noexcept {
  Drop(range);
  Drop(sheet);
  Drop(sheets);
  Drop(document);
  Drop(desktop);
  Drop(serviceManager);
}

// ---- Cells ----

bool CellToString(const VARIANT& cell, std::wstring& out, bool calc) {
  wchar_t buffer[64];
  switch (cell.vt) {
    case VT_EMPTY:
    case VT_NULL:
      out.clear();
      return true;
    case VT_I4:
      IntToStr(cell.lVal, out);
      return true;
    case VT_UI4:
      IntToStr(int(cell.ulVal), out);
      return true;
    case VT_R4:
    case VT_R8:
      // A whole number reads back as the name it was ("2023", not "2023.000000").
      swprintf(buffer, 64, L"%.15g", cell.vt == VT_R4 ? double(cell.fltVal) : cell.dblVal);
      out = buffer;
      return true;
    case VT_I8:
      Int64ToStr(cell.llVal, out);
      return true;
    case VT_UI8:
      Int64ToStr((long long)cell.ullVal, out);
      return true;
    case VT_BSTR:
      out.assign(cell.bstrVal ? cell.bstrVal : L"", cell.bstrVal ? SysStringLen(cell.bstrVal) : 0);
      if (calc) {
        std::wstring expanded;
        for (size_t i = 0; i < out.size(); ++i) {
          expanded += out[i];
          if (out[i] == L'\r' && (i + 1 >= out.size() || out[i + 1] != L'\n')) expanded += L'\n';
        }
        out.swap(expanded);
      }
      return true;
    default:
      out.clear();
      return false;
  }
}

CellNumber CellToDouble(const VARIANT& cell, double& out) {
  switch (cell.vt) {
    case VT_I4: out = cell.lVal; return CellNumber::Value;
    case VT_UI4: out = cell.ulVal; return CellNumber::Value;
    case VT_R4: out = cell.fltVal; return CellNumber::Value;
    case VT_R8: out = cell.dblVal; return CellNumber::Value;
    case VT_I8: out = double(cell.llVal); return CellNumber::Value;
    case VT_UI8: out = double(cell.ullVal); return CellNumber::Value;
    case VT_BSTR: return CellNumber::Text;
    default: return CellNumber::NotNumber;
  }
}

CellNumber CellToInt64(const VARIANT& cell, int64_t& out) {
  switch (cell.vt) {
    case VT_I4: out = cell.lVal; return CellNumber::Value;
    case VT_UI4: out = cell.ulVal; return CellNumber::Value;
    case VT_R4: out = int64_t(std::trunc(cell.fltVal)); return CellNumber::Value;
    case VT_R8: out = int64_t(std::trunc(cell.dblVal)); return CellNumber::Value;
    case VT_I8: out = cell.llVal; return CellNumber::Value;
    case VT_UI8: out = int64_t(cell.ullVal); return CellNumber::Value;
    case VT_BSTR: return CellNumber::Text;
    default: return CellNumber::NotNumber;
  }
}
