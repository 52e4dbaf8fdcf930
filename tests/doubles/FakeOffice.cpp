#include "FakeOffice.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <memory>
#include <sstream>


namespace {

// {6A1E3C50-2F7B-4D0E-9C1A-5B8E7D2F4A01} and {6A1E3C51-...}: the fake's own class ids.
const CLSID kExcelClsid = {0x6a1e3c50, 0x2f7b, 0x4d0e, {0x9c, 0x1a, 0x5b, 0x8e, 0x7d, 0x2f, 0x4a, 0x01}};
const CLSID kCalcClsid = {0x6a1e3c51, 0x2f7b, 0x4d0e, {0x9c, 0x1a, 0x5b, 0x8e, 0x7d, 0x2f, 0x4a, 0x01}};

enum Kind {
  ExcelApp, ExcelApplication, Workbooks, Workbook, Worksheet, Cells, Range, Columns, Column,
  ServiceManager, PropertyValue, Desktop, Components, Enumeration, Document, Sheets, CalcSheet, Cursor,
  Address, CalcRange, CalcColumns, CalcColumn
};

enum Flag { G = DISPATCH_PROPERTYGET, P = DISPATCH_PROPERTYPUT, M = DISPATCH_METHOD };

// Signature letters: b VT_BOOL, i VT_I4, s VT_BSTR, o VT_DISPATCH, a VT_ARRAY|VT_VARIANT, v any; after
// '|' the arguments are optional.
struct Member {
  const wchar_t* name;
  WORD flag;
  const char* signature;
};

const std::vector<Member>& Members(Kind kind) {
  static const std::map<Kind, std::vector<Member>> table = {
      {ExcelApp, {{L"Application", G, ""}, {L"Workbooks", G, ""}, {L"Visible", P, "b"},
                  {L"DisplayAlerts", P, "b"}, {L"Quit", M, ""}}},
      {ExcelApplication, {{L"EnableEvents", P, "b"}}},
      {Workbooks, {{L"Open", M, "s"}, {L"Add", M, ""}}},
      {Workbook, {{L"ActiveSheet", G, ""}, {L"SaveAs", M, "s|i"}}},
      {Worksheet, {{L"Cells", G, ""}, {L"Range", G, "oo"}, {L"UsedRange", G, ""}, {L"Columns", G, ""}}},
      {Cells, {{L"Item", G, "ii"}}},
      {Range, {{L"Value", G, ""}, {L"Value", P, "v"}, {L"NumberFormat", P, "s"}}},
      {Columns, {{L"Item", G, "i"}}},
      {Column, {{L"AutoFit", M, ""}}},
      {ServiceManager, {{L"CreateInstance", M, "s"}, {L"Bridge_GetStruct", M, "s"}}},
      {PropertyValue, {{L"name", P, "s"}, {L"value", P, "v"}}},
      {Desktop, {{L"LoadComponentFromURL", M, "ssia"}, {L"getComponents", M, ""}, {L"terminate", M, ""}}},
      {Components, {{L"hasElements", M, ""}, {L"createEnumeration", M, ""}}},
      {Enumeration, {{L"hasMoreElements", M, ""}, {L"nextElement", M, ""}}},
      {Document, {{L"GetSheets", M, ""}, {L"close", M, "b"}, {L"lockControllers", M, ""},
                  {L"unLockControllers", M, ""}, {L"addActionLock", M, ""}, {L"removeActionLock", M, ""},
                  {L"storeAsURL", M, "sa"}, {L"getURL", M, ""}}},
      {Sheets, {{L"getByIndex", M, "i"}}},
      {CalcSheet, {{L"createCursor", M, ""}, {L"getCellRangeByPosition", M, "iiii"}, {L"Columns", G, ""}}},
      {Cursor, {{L"gotoStartOfUsedArea", M, "b"}, {L"gotoEndOfUsedArea", M, "b"}, {L"getRangeAddress", M, ""}}},
      {Address, {{L"StartColumn", G, ""}, {L"StartRow", G, ""}, {L"EndColumn", G, ""}, {L"EndRow", G, ""}}},
      {CalcRange, {{L"getDataArray", M, ""}, {L"setDataArray", M, "a"}}},
      {CalcColumns, {{L"getByIndex", M, "i"}}},
      {CalcColumn, {{L"optimalWidth", P, "b"}}},
  };
  return table.at(kind);
}

const wchar_t* Label(Kind kind) {
  static const wchar_t* labels[] = {L"excel", L"application", L"workbooks", L"workbook", L"sheet", L"cells",
                                    L"range", L"columns", L"column", L"serviceManager", L"property",
                                    L"desktop", L"components", L"enumeration", L"document", L"sheets",
                                    L"sheet", L"cursor", L"address", L"range", L"columns", L"column"};
  return labels[kind];
}

struct Book {
  FakeSheet cells;
  std::map<std::pair<int, int>, std::wstring> formats;  // Excel NumberFormat by cell
  std::wstring url;                                     // Calc: "" for a new document
  int controllerLocks = 0;                              // Calc: the locks die with the document
  int actionLocks = 0;
};

bool Bounds(SAFEARRAY* array, UINT dimension, LONG& lower, LONG& upper) {
  return SUCCEEDED(SafeArrayGetLBound(array, dimension, &lower)) &&
         SUCCEEDED(SafeArrayGetUBound(array, dimension, &upper));
}

std::wstring PathFromUrl(const std::wstring& url) {
  std::wstring rest;
  if (url.compare(0, 17, L"file://localhost/") == 0) rest = url.substr(17);
  else if (url.compare(0, 7, L"file://") == 0) rest = L"//" + url.substr(7);
  else return L"";
  std::string bytes;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == L'%' && i + 2 < rest.size()) {
      bytes += char(std::stoi(std::wstring(rest, i + 1, 2), nullptr, 16));
      i += 2;
    } else if (rest[i] < 0x80) {
      bytes += char(rest[i]);
    } else {
      return L"";  // unencoded non-ASCII: the office would refuse the URL
    }
  }
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
  std::wstring path(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), &path[0], n);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

bool LooksNumeric(const std::wstring& text, double& value) {
  if (text.empty() || iswspace(text[0])) return false;
  wchar_t* end = nullptr;
  value = wcstod(text.c_str(), &end);
  return end && *end == 0;
}

}  // namespace

class FakeObject : public IDispatch {
 public:
  FakeObject(FakeOffice* office, Kind kind, std::shared_ptr<Book> book = nullptr)
      : m_office(office), m_kind(kind), m_book(std::move(book)) {
    office->live.insert(this);
  }
  virtual ~FakeObject() { m_office->live.erase(this); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return E_INVALIDARG;
    const auto& members = Members(m_kind);
    for (size_t i = 0; i < members.size(); ++i) {
      if (_wcsicmp(members[i].name, names[0]) == 0) {
        *ids = DISPID(i + 1);
        return S_OK;
      }
    }
    *ids = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                      UINT*) override;

  ULONG Refs() const { return m_refs; }
  Kind kind() const { return m_kind; }
  std::shared_ptr<Book> book() const { return m_book; }
  int r1 = 1, c1 = 1, r2 = 1, c2 = 1;  // ranges, cells, cursors, addresses (1-based)
  int index = 0;                        // enumeration position

 private:
  HRESULT Perform(const Member& member, const std::vector<VARIANT*>& args, VARIANT* result);
  FakeObject* Make(Kind kind, VARIANT* result, std::shared_ptr<Book> book = nullptr) {
    auto* object = new FakeObject(m_office, kind, book ? book : m_book);
    VariantInit(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = object;  // the new object's one reference goes to the caller
    return object;
  }

  FakeOffice* m_office;
  Kind m_kind;
  std::shared_ptr<Book> m_book;
  ULONG m_refs = 1;
};

namespace {

std::wstring Render(const VARIANT& v) {
  wchar_t buffer[64];
  switch (v.vt) {
    case VT_BOOL: return v.boolVal ? L"true" : L"false";
    case VT_I4: swprintf(buffer, 64, L"%ld", long(v.lVal)); return buffer;
    case VT_BSTR: return L"\"" + std::wstring(v.bstrVal ? v.bstrVal : L"") + L"\"";
    case VT_DISPATCH: return v.pdispVal ? Label(static_cast<FakeObject*>(v.pdispVal)->kind()) : L"null";
    case VT_ARRAY | VT_VARIANT: {
      std::wstring text = L"array[";
      UINT dims = SafeArrayGetDim(v.parray);
      for (UINT d = 1; d <= dims; ++d) {
        LONG lower = 0, upper = -1;
        Bounds(v.parray, d, lower, upper);
        swprintf(buffer, 64, L"%s%ld..%ld", d > 1 ? L"," : L"", long(lower), long(upper));
        text += buffer;
      }
      text += L"]";
      if (dims == 1) {
        LONG lower = 0, upper = -1;
        Bounds(v.parray, 1, lower, upper);
        std::wstring elements;
        for (LONG i = lower; i <= upper; ++i) {
          VARIANT element;
          VariantInit(&element);
          SafeArrayGetElement(v.parray, &i, &element);
          if (element.vt == VT_DISPATCH) elements += (elements.empty() ? L"" : L",") + Render(element);
          VariantClear(&element);
        }
        if (!elements.empty()) text += L"{" + elements + L"}";
      }
      return text;
    }
    default: swprintf(buffer, 64, L"vt%u", unsigned(v.vt)); return buffer;
  }
}

bool Matches(char letter, const VARIANT& v) {
  switch (letter) {
    case 'b': return v.vt == VT_BOOL;
    case 'i': return v.vt == VT_I4;
    case 's': return v.vt == VT_BSTR;
    case 'o': return v.vt == VT_DISPATCH && v.pdispVal;
    case 'a': return v.vt == (VT_ARRAY | VT_VARIANT) && v.parray;
    default: return true;
  }
}

void SetBool(VARIANT* result, bool value) {
  if (!result) return;
  VariantInit(result);
  result->vt = VT_BOOL;
  result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetInt(VARIANT* result, int value) {
  if (!result) return;
  VariantInit(result);
  result->vt = VT_I4;
  result->lVal = value;
}

void CellToVariant(const FakeCell& cell, VARIANT& out, bool calc) {
  VariantInit(&out);
  if (cell.vt == VT_R8) {
    out.vt = VT_R8;
    out.dblVal = cell.number;
  } else if (cell.vt == VT_BSTR || calc) {
    out.vt = VT_BSTR;
    out.bstrVal = SysAllocString(cell.vt == VT_BSTR ? cell.text.c_str() : L"");
  }
}

// What a cell becomes when a value arrives: false for a type the office refuses.
bool CellFromVariant(const VARIANT& in, FakeCell& cell, bool asText, bool calc) {
  cell = FakeCell();
  switch (in.vt) {
    case VT_EMPTY: return true;
    case VT_I4: cell.vt = VT_R8; cell.number = in.lVal; return true;
    case VT_R8: cell.vt = VT_R8; cell.number = in.dblVal; return true;
    case VT_BSTR: {
      std::wstring text(in.bstrVal ? in.bstrVal : L"");
      if (text.empty()) return true;
      double number;
      if (!calc && !asText && LooksNumeric(text, number)) {
        cell.vt = VT_R8;
        cell.number = number;
      } else {
        cell.vt = VT_BSTR;
        cell.text = text;
      }
      return true;
    }
    default: return false;
  }
}

void UsedArea(const FakeSheet& cells, int& r1, int& c1, int& r2, int& c2) {
  r1 = c1 = r2 = c2 = 0;
  for (const auto& [at, cell] : cells) {
    if (cell.vt == VT_EMPTY) continue;
    if (r2 == 0) {
      r1 = r2 = at.first;
      c1 = c2 = at.second;
    }
    r1 = std::min(r1, at.first);
    r2 = std::max(r2, at.first);
    c1 = std::min(c1, at.second);
    c2 = std::max(c2, at.second);
  }
  if (r2 == 0) r1 = c1 = r2 = c2 = 1;
}

}  // namespace

STDMETHODIMP FakeObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO* info, UINT*) {
  const auto& members = Members(m_kind);
  if (id < 1 || size_t(id) > members.size()) return DISP_E_MEMBERNOTFOUND;
  // A property with a get and a put shares its name: pick the entry of the flag asked for.
  const Member* member = &members[size_t(id) - 1];
  for (const Member& candidate : members)
    if (_wcsicmp(candidate.name, member->name) == 0 && (candidate.flag & flags)) member = &candidate;
  std::vector<VARIANT*> args;
  for (UINT i = params ? params->cArgs : 0; i > 0; --i) args.push_back(&params->rgvarg[i - 1]);
  std::wstring entry = member->flag == G ? L"get " : member->flag == P ? L"put " : L"";
  entry += std::wstring(Label(m_kind)) + L"." + member->name;
  if (member->flag == P) {
    entry += L"=" + (args.empty() ? std::wstring(L"?") : Render(*args.back()));
  } else {
    entry += L"(";
    for (size_t i = 0; i < args.size(); ++i) entry += (i ? L"," : L"") + Render(*args[i]);
    entry += L")";
  }
  // Strict checks: the flag, the named put argument, the count and each type.
  std::string signature = member->signature;
  size_t optional = signature.find('|');
  std::string required = signature.substr(0, optional);
  std::string all = optional == std::string::npos ? signature : required + signature.substr(optional + 1);
  bool ok = (flags & member->flag) != 0;
  if (member->flag == P)
    ok = ok && params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
  else
    ok = ok && params->cNamedArgs == 0;
  ok = ok && args.size() >= required.size() && args.size() <= all.size();
  for (size_t i = 0; ok && i < args.size(); ++i) ok = Matches(all[i], *args[i]);
  if (!ok) {
    m_office->journal.push_back(entry + L" !bad");
    return DISP_E_TYPEMISMATCH;
  }
  if (!m_office->Step(entry)) {
    if (m_office->failWith == DISP_E_EXCEPTION && info) {
      *info = EXCEPINFO();
      info->bstrDescription = SysAllocString(L"injected failure");
    }
    return m_office->failWith;
  }
  HRESULT hr = Perform(*member, args, result);
  if (FAILED(hr)) m_office->journal.back() += L" !refused";
  return hr;
}

HRESULT FakeObject::Perform(const Member& member, const std::vector<VARIANT*>& args, VARIANT* result) {
  std::wstring name = member.name;
  FakeOffice& office = *m_office;
  auto Arg = [&](size_t i) -> VARIANT& { return *args[i]; };
  switch (m_kind) {
    case ExcelApp:
      if (name == L"Application") Make(ExcelApplication, result);
      else if (name == L"Workbooks") Make(Workbooks, result);
      else if (name == L"Visible") office.visible = Arg(0).boolVal != 0;
      else if (name == L"DisplayAlerts") office.displayAlerts = Arg(0).boolVal != 0;
      else if (name == L"Quit") ++office.quits;
      return S_OK;
    case ExcelApplication:
      office.enableEvents = Arg(0).boolVal != 0;
      return S_OK;
    case Workbooks: {
      auto book = std::make_shared<Book>();
      if (name == L"Open" && !FakeOffice::ReadWorkbook(Arg(0).bstrVal, book->cells)) return DISP_E_EXCEPTION;
      Make(Workbook, result, book);
      return S_OK;
    }
    case Workbook:
      if (name == L"ActiveSheet") {
        Make(Worksheet, result);
      } else {
        std::wstring path = Arg(0).bstrVal;
        // Excel asks before it replaces a file; with alerts off it replaces it.
        if (office.displayAlerts && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return DISP_E_EXCEPTION;
        FakeOffice::WriteWorkbook(path, m_book->cells);
        office.savedPaths.push_back(path);
      }
      return S_OK;
    case Worksheet:
      if (name == L"Cells") {
        Make(Cells, result);
      } else if (name == L"Columns") {
        Make(Columns, result);
      } else if (name == L"UsedRange") {
        FakeObject* range = Make(Range, result);
        UsedArea(m_book->cells, range->r1, range->c1, range->r2, range->c2);
      } else {
        auto* a = static_cast<FakeObject*>(Arg(0).pdispVal);
        auto* b = static_cast<FakeObject*>(Arg(1).pdispVal);
        FakeObject* range = Make(Range, result);
        range->r1 = a->r1;
        range->c1 = a->c1;
        range->r2 = b->r1;
        range->c2 = b->c1;
      }
      return S_OK;
    case Cells: {
      FakeObject* cell = Make(Range, result);
      cell->r1 = cell->r2 = Arg(0).lVal;
      cell->c1 = cell->c2 = Arg(1).lVal;
      return S_OK;
    }
    case Range: {
      int rows = r2 - r1 + 1, columns = c2 - c1 + 1;
      if (rows < 1 || columns < 1) return DISP_E_EXCEPTION;
      if (name == L"NumberFormat") {
        for (int r = r1; r <= r2; ++r)
          for (int c = c1; c <= c2; ++c) m_book->formats[{r, c}] = Arg(0).bstrVal;
        return S_OK;
      }
      if (member.flag == G) {
        if (rows == 1 && columns == 1) {
          auto found = m_book->cells.find({r1, c1});
          CellToVariant(found == m_book->cells.end() ? FakeCell() : found->second, *result, false);
          return S_OK;
        }
        SAFEARRAYBOUND bounds[2] = {{ULONG(rows), 1}, {ULONG(columns), 1}};
        SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
        for (int r = 1; r <= rows; ++r)
          for (int c = 1; c <= columns; ++c) {
            auto found = m_book->cells.find({r1 + r - 1, c1 + c - 1});
            VARIANT cell;
            CellToVariant(found == m_book->cells.end() ? FakeCell() : found->second, cell, false);
            LONG at[2] = {r, c};
            SafeArrayPutElement(array, at, &cell);
            VariantClear(&cell);
          }
        VariantInit(result);
        result->vt = VT_ARRAY | VT_VARIANT;
        result->parray = array;
        return S_OK;
      }
      // Put Value: an array exactly the range's shape, (row, column) with any lower bounds.
      VARIANT& value = Arg(0);
      if (value.vt != (VT_ARRAY | VT_VARIANT) || SafeArrayGetDim(value.parray) != 2) return DISP_E_TYPEMISMATCH;
      LONG rl, ru, cl, cu;
      Bounds(value.parray, 1, rl, ru);
      Bounds(value.parray, 2, cl, cu);
      if (ru - rl + 1 != rows || cu - cl + 1 != columns) return DISP_E_TYPEMISMATCH;
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
          LONG at[2] = {rl + r, cl + c};
          VARIANT element;
          VariantInit(&element);
          SafeArrayGetElement(value.parray, at, &element);
          bool asText = m_book->formats[{r1 + r, c1 + c}] == L"@";
          FakeCell cell;
          bool accepted = CellFromVariant(element, cell, asText, false);
          VariantClear(&element);
          if (!accepted) return DISP_E_TYPEMISMATCH;
          m_book->cells[{r1 + r, c1 + c}] = cell;
        }
      return S_OK;
    }
    case Columns:
      Make(Column, result);
      return S_OK;
    case Column:
      return S_OK;
    case ServiceManager:
      if (name == L"Bridge_GetStruct") {
        if (std::wstring(Arg(0).bstrVal) != L"com.sun.star.beans.PropertyValue") return DISP_E_EXCEPTION;
        Make(PropertyValue, result);
      } else {
        if (std::wstring(Arg(0).bstrVal) != L"com.sun.star.frame.Desktop") return DISP_E_EXCEPTION;
        Make(Desktop, result);
      }
      return S_OK;
    case PropertyValue:
      return S_OK;
    case Desktop:
      if (name == L"terminate") {
        ++office.terminates;
        return S_OK;
      }
      if (name == L"getComponents") {
        Make(Components, result);
        return S_OK;
      } else {
        std::wstring url = Arg(0).bstrVal;
        if (std::wstring(Arg(1).bstrVal) != L"_blank" || Arg(2).lVal != 0) return DISP_E_EXCEPTION;
        auto book = std::make_shared<Book>();
        if (url != L"private:factory/scalc") {
          std::wstring path = PathFromUrl(url);
          if (path.empty() || !FakeOffice::ReadWorkbook(path, book->cells)) return DISP_E_EXCEPTION;
          book->url = url;
        }
        FakeObject* document = Make(Document, result, book);
        document->AddRef();
        office.components.push_back(document);
        return S_OK;
      }
    case Components:
      if (name == L"hasElements") SetBool(result, !office.components.empty());
      else Make(Enumeration, result);
      return S_OK;
    case Enumeration:
      if (name == L"hasMoreElements") {
        SetBool(result, size_t(index) < office.components.size());
      } else {
        if (size_t(index) >= office.components.size()) return DISP_E_EXCEPTION;
        FakeObject* document = office.components[size_t(index++)];
        document->AddRef();
        VariantInit(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = document;
      }
      return S_OK;
    case Document:
      if (name == L"GetSheets") {
        Make(Sheets, result);
      } else if (name == L"getURL") {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(m_book->url.c_str());
      } else if (name == L"close") {
        auto found = std::find(office.components.begin(), office.components.end(), this);
        if (found == office.components.end()) return DISP_E_EXCEPTION;
        office.components.erase(found);
        office.controllerLocks -= m_book->controllerLocks;
        office.actionLocks -= m_book->actionLocks;
        m_book->controllerLocks = m_book->actionLocks = 0;
        Release();  // the desktop's reference
      } else if (name == L"lockControllers") {
        ++office.controllerLocks;
        ++m_book->controllerLocks;
      } else if (name == L"unLockControllers") {
        if (m_book->controllerLocks == 0) return DISP_E_EXCEPTION;
        --office.controllerLocks;
        --m_book->controllerLocks;
      } else if (name == L"addActionLock") {
        ++office.actionLocks;
        ++m_book->actionLocks;
      } else if (name == L"removeActionLock") {
        if (m_book->actionLocks == 0) return DISP_E_EXCEPTION;
        --office.actionLocks;
        --m_book->actionLocks;
      } else if (name == L"storeAsURL") {
        std::wstring path = PathFromUrl(Arg(0).bstrVal);
        if (path.empty() || SafeArrayGetDim(Arg(1).parray) != 1) return DISP_E_EXCEPTION;
        FakeOffice::WriteWorkbook(path, m_book->cells);
        office.savedPaths.push_back(path);
        office.savedUrls.push_back(Arg(0).bstrVal);
      }
      return S_OK;
    case Sheets:
      if (Arg(0).lVal != 0) return DISP_E_EXCEPTION;
      Make(CalcSheet, result);
      return S_OK;
    case CalcSheet:
      if (name == L"createCursor") {
        Make(Cursor, result);
      } else if (name == L"Columns") {
        Make(CalcColumns, result);
      } else {
        if (Arg(0).lVal < 0 || Arg(1).lVal < 0 || Arg(2).lVal < Arg(0).lVal || Arg(3).lVal < Arg(1).lVal)
          return DISP_E_EXCEPTION;
        FakeObject* range = Make(CalcRange, result);
        range->c1 = Arg(0).lVal + 1;
        range->r1 = Arg(1).lVal + 1;
        range->c2 = Arg(2).lVal + 1;
        range->r2 = Arg(3).lVal + 1;
      }
      return S_OK;
    case Cursor:
      if (name == L"getRangeAddress") {
        FakeObject* address = Make(Address, result);
        UsedArea(m_book->cells, address->r1, address->c1, address->r2, address->c2);
      }
      return S_OK;
    case Address:
      SetInt(result, (name == L"StartColumn" ? c1 : name == L"StartRow" ? r1 : name == L"EndColumn" ? c2 : r2) - 1);
      return S_OK;
    case CalcRange: {
      int rows = r2 - r1 + 1, columns = c2 - c1 + 1;
      if (name == L"getDataArray") {
        SAFEARRAYBOUND outer{ULONG(rows), 0};
        SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &outer);
        for (LONG r = 0; r < rows; ++r) {
          SAFEARRAYBOUND inner{ULONG(columns), 0};
          VARIANT line;
          VariantInit(&line);
          line.vt = VT_ARRAY | VT_VARIANT;
          line.parray = SafeArrayCreate(VT_VARIANT, 1, &inner);
          for (LONG c = 0; c < columns; ++c) {
            auto found = m_book->cells.find({r1 + r, c1 + c});
            VARIANT cell;
            CellToVariant(found == m_book->cells.end() ? FakeCell() : found->second, cell, true);
            SafeArrayPutElement(line.parray, &c, &cell);
            VariantClear(&cell);
          }
          SafeArrayPutElement(array, &r, &line);
          VariantClear(&line);
        }
        VariantInit(result);
        result->vt = VT_ARRAY | VT_VARIANT;
        result->parray = array;
        return S_OK;
      }
      // setDataArray: (column, row), the range's exact shape.
      VARIANT& value = Arg(0);
      if (SafeArrayGetDim(value.parray) != 2) return DISP_E_TYPEMISMATCH;
      LONG cl, cu, rl, ru;
      Bounds(value.parray, 1, cl, cu);
      Bounds(value.parray, 2, rl, ru);
      if (cu - cl + 1 != columns || ru - rl + 1 != rows) return DISP_E_TYPEMISMATCH;
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
          LONG at[2] = {cl + c, rl + r};
          VARIANT element;
          VariantInit(&element);
          SafeArrayGetElement(value.parray, at, &element);
          FakeCell cell;
          bool accepted = CellFromVariant(element, cell, true, true);
          VariantClear(&element);
          if (!accepted) return DISP_E_TYPEMISMATCH;
          m_book->cells[{r1 + r, c1 + c}] = cell;
        }
      return S_OK;
    }
    case CalcColumns:
      Make(CalcColumn, result);
      return S_OK;
    case CalcColumn:
      return S_OK;
  }
  return E_UNEXPECTED;
}

namespace {

class FakeFactory final : public IClassFactory {
 public:
  FakeFactory(FakeOffice* office, Kind root) : m_office(office), m_root(root) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    m_office->journal.push_back(std::wstring(L"create ") + Label(m_root));
    if (m_office->failCreate) return CO_E_SERVER_EXEC_FAILURE;
    auto* object = new FakeObject(m_office, m_root);
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  FakeOffice* m_office;
  Kind m_root;
  ULONG m_refs = 1;
};

void RegisterProgId(const wchar_t* progId, const CLSID& clsid) {
  wchar_t text[64];
  StringFromGUID2(clsid, text, 64);
  std::wstring key = std::wstring(L"Software\\Classes\\") + progId + L"\\CLSID";
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, text, DWORD((wcslen(text) + 1) * sizeof(wchar_t)));
}

void UnregisterProgId(const wchar_t* progId) {
  std::wstring key = std::wstring(L"Software\\Classes\\") + progId;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}

}  // namespace

FakeOfficeProgIdLock::FakeOfficeProgIdLock() : m_mutex(CreateMutexW(nullptr, FALSE, L"VombraFakeOfficeProgIds")) {
  // An owner that died leaves WAIT_ABANDONED: the lock is ours all the same.
  WaitForSingleObject(m_mutex, INFINITE);
}

FakeOfficeProgIdLock::~FakeOfficeProgIdLock() {
  ReleaseMutex(m_mutex);
  CloseHandle(m_mutex);
}

FakeOffice::FakeOffice() {
  RegisterProgId(L"Excel.Application", kExcelClsid);
  RegisterProgId(L"com.sun.star.ServiceManager", kCalcClsid);
  m_excelFactory = new FakeFactory(this, ExcelApp);
  m_calcFactory = new FakeFactory(this, ServiceManager);
  CoRegisterClassObject(kExcelClsid, m_excelFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_excelCookie);
  CoRegisterClassObject(kCalcClsid, m_calcFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_calcCookie);
}

FakeOffice::~FakeOffice() {
  CoRevokeClassObject(m_excelCookie);
  CoRevokeClassObject(m_calcCookie);
  m_excelFactory->Release();
  m_calcFactory->Release();
  for (FakeObject* document : std::vector<FakeObject*>(components)) document->Release();
  components.clear();
  UnregisterProgId(L"Excel.Application");
  UnregisterProgId(L"com.sun.star.ServiceManager");
}

bool FakeOffice::Step(const std::wstring& entry) {
  journal.push_back(entry);
  if (failAt != 0 && int(journal.size()) == failAt) {
    journal.back() += L" !fail";
    return false;
  }
  return true;
}

void FakeOffice::OpenUserDocument(const std::wstring& url) {
  auto book = std::make_shared<Book>();
  book->url = url;
  userDocument = new FakeObject(this, Document, book);
  components.push_back(userDocument);
}

bool FakeOffice::IsUserDocumentOpen() const {
  return userDocument && std::find(components.begin(), components.end(), userDocument) != components.end();
}

long FakeOffice::OutstandingReferences() const {
  long total = 0;
  for (FakeObject* object : live) total += long(object->Refs());
  return total - long(components.size());
}

void FakeOffice::WriteWorkbook(const std::wstring& path, const FakeSheet& sheet) {
  // One cell a line: row, column, type and the text with line breaks escaped.
  std::wstring text = L"fake-office-workbook\n";
  wchar_t head[64];
  for (const auto& [at, cell] : sheet) {
    if (cell.vt == VT_EMPTY) continue;
    swprintf(head, 64, L"%d\t%d\t%c\t", at.first, at.second, cell.vt == VT_R8 ? L'n' : L's');
    text += head;
    if (cell.vt == VT_R8) {
      swprintf(head, 64, L"%.17g", cell.number);
      text += head;
    } else {
      for (wchar_t c : cell.text) text += c == L'\\' ? L"\\\\" : c == L'\n' ? L"\\n" : c == L'\r' ? L"\\r" : std::wstring(1, c);
    }
    text += L"\n";
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), DWORD(text.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
}

bool FakeOffice::ReadWorkbook(const std::wstring& path, FakeSheet& sheet) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(file, nullptr), read = 0;
  std::wstring text(size / sizeof(wchar_t), L'\0');
  ReadFile(file, &text[0], size, &read, nullptr);
  CloseHandle(file);
  std::wistringstream lines(text);
  std::wstring line;
  if (!std::getline(lines, line) || line != L"fake-office-workbook") return false;
  sheet.clear();
  while (std::getline(lines, line)) {
    int row = 0, column = 0;
    wchar_t type = 0;
    int consumed = 0;
    if (swscanf(line.c_str(), L"%d\t%d\t%lc\t%n", &row, &column, &type, &consumed) < 3) return false;
    FakeCell cell;
    std::wstring value = line.substr(size_t(consumed));
    if (type == L'n') {
      cell.vt = VT_R8;
      cell.number = wcstod(value.c_str(), nullptr);
    } else {
      cell.vt = VT_BSTR;
      for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == L'\\' && i + 1 < value.size()) {
          wchar_t e = value[++i];
          cell.text += e == L'n' ? L'\n' : e == L'r' ? L'\r' : e;
        } else {
          cell.text += value[i];
        }
      }
    }
    sheet[{row, column}] = cell;
  }
  return true;
}

std::vector<std::wstring> NormalisedJournal(const FakeOffice& office) {
  std::vector<std::wstring> out = office.journal;
  auto replace = [&out](const std::wstring& what, const wchar_t* with) {
    for (std::wstring& entry : out) {
      size_t at;
      while ((at = entry.find(what)) != std::wstring::npos) entry.replace(at, what.size(), with);
    }
  };
  for (const std::wstring& url : office.savedUrls) replace(url, L"<temp-url>");
  for (const std::wstring& saved : office.savedPaths) replace(saved, L"<temp>");
  return out;
}
