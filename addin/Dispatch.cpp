// The host's side of the object: names, parameter counts and defaults, calls by number with their
// call log, and the turning of exceptions into the last error and into the host's error report.
#include <cwchar>
#include <new>

#include "Core.h"
#include "Exceptions.h"
#include "MethodSupport.h"
#include "NameTables.h"
#include "ResourceIds.h"
#include "Vombra.h"

namespace {

long FindName(const wchar_t* const* english, const wchar_t* const* russian, long count, const WCHAR_T* name) {
  if (!name) return -1;
  for (long i = 0; i < count; ++i) {
    if (wcscmp(english[i], name) == 0) return i;
  }
  for (long i = 0; i < count; ++i) {
    if (wcscmp(russian[i], name) == 0) return i;
  }
  return -1;
}

// The log text of a parameter array: each value's text, separated by ", ".
void ParamsToText(const tVariant* params, int count, std::wstring& out) {
  if (!params) return;
  size_t start = out.size();
  for (int i = 0; i < count; ++i) {
    std::wstring text;
    VariantToText(&params[i], text);
    out += text;
    out += L", ";
  }
  if (out.size() >= start + 2) out.resize(out.size() - 2);
}

}  // namespace

CVombra::CallScope::CallScope(CVombra& addin) : Addin(addin) {
  EnterCriticalSection(&Addin.CallLock);
  Addin.CallOwner = GetCurrentThreadId();
  ++Addin.CallDepth;
}

CVombra::CallScope::~CallScope() {
  if (--Addin.CallDepth == 0) Addin.CallOwner = 0;
  LeaveCriticalSection(&Addin.CallLock);
}

bool CVombra::RegisterExtensionAs(WCHAR_T** name) {
  WCHAR_T* copy = CopyToHost(MemoryManager, ClassName.c_str());
  if (!copy) {
    AddError(L"bad allocation", E_FAIL);
    return false;
  }
  if (name) *name = copy;
  return true;
}

long CVombra::GetNProps() { return VOMBRA_PROP_COUNT; }

long CVombra::FindProp(const WCHAR_T* name) {
  return FindName(g_PropNames, g_PropNamesRu, VOMBRA_PROP_COUNT, name);
}

const WCHAR_T* CVombra::GetPropName(long number, long alias) {
  if (number < 0 || number >= VOMBRA_PROP_COUNT || (alias != 0 && alias != 1)) return nullptr;
  return CopyToHost(MemoryManager, alias == 0 ? g_PropNames[number] : g_PropNamesRu[number]);
}

bool CVombra::IsPropReadable(const long number) { return number >= 0 && number < VOMBRA_PROP_COUNT; }

// FormatCount and KeyFilterCount are counts, not settings.
bool CVombra::IsPropWritable(const long number) {
  if (number < 0 || number >= VOMBRA_PROP_COUNT) return false;
  return number != PROP_FORMAT_COUNT && number != PROP_KEY_FILTER_COUNT;
}

long CVombra::GetNMethods() { return VOMBRA_METHOD_COUNT; }

long CVombra::FindMethod(const WCHAR_T* name) {
  return FindName(g_MethodNames, g_MethodNamesRu, VOMBRA_METHOD_COUNT, name);
}

const WCHAR_T* CVombra::GetMethodName(const long number, const long alias) {
  if (number < 0 || number >= VOMBRA_METHOD_COUNT || (alias != 0 && alias != 1)) return nullptr;
  return CopyToHost(MemoryManager, alias == 0 ? g_MethodNames[number] : g_MethodNamesRu[number]);
}

long CVombra::GetNParams(const long method) {
  return method >= 0 && method < VOMBRA_METHOD_COUNT ? g_MethodParamCounts[method] : 0;
}

bool CVombra::GetParamDefValue(const long method, const long parameter, tVariant* value) {
  if (!value) return false;
  value->vt = VTYPE_EMPTY;
  if (method < 0 || method >= VOMBRA_METHOD_COUNT || parameter < 0 || parameter >= g_MethodParamCounts[method]) {
    return false;
  }
  const MethodDefault* entry = FindMethodDefault(method, parameter);
  if (!entry) return false;
  switch (entry->Type) {
    case VTYPE_I4:
      value->lVal = entry->Value;
      break;
    case VTYPE_UI4:
      value->ulVal = static_cast<uint32_t>(entry->Value);
      break;
    case VTYPE_BOOL:
      value->bVal = entry->Value != 0;
      break;
    default:
      break;
  }
  value->vt = entry->Type;
  return true;
}

bool CVombra::HasRetVal(const long method) { return method >= 0 && method < VOMBRA_METHOD_COUNT; }

bool CVombra::CallAsProc(const long method, tVariant* params, const long count) {
  CallScope call(*this);
  if (LogLevel >= 6) {
    std::wstring text;
    ParamsToText(params, count, text);
    Log(0, nullptr, IDS_LOG_CALL_PROCEDURE, MethodLogName(method).c_str(), text.c_str());
  }
  if (method < 0 || method >= VOMBRA_METHOD_COUNT) return false;

  bool answer = false;
  try {
    answer = (this->*Methods[method])(nullptr, params, count);
  } catch (const CComException& e) {
    SetErrorAndReport(e.Code(), e.what());
  } catch (const std::bad_alloc&) {
    SetErrorAndReport(E_OUTOFMEMORY, nullptr);
  } catch (const std::exception& e) {
    SetErrorAndReport(E_FAIL, e.what());
  }

  if (LogLevel >= 6) {
    if (answer) {
      std::wstring text;
      ParamsToText(params, count, text);
      Log(0, nullptr, IDS_LOG_PROCEDURE_DONE, text.c_str());
    } else {
      FillLastErrorText();
      Log(2, nullptr, IDS_LOG_PROCEDURE_ERROR, LastError, LastErrorText.c_str());
    }
  }
  return answer;
}

bool CVombra::CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) {
  CallScope call(*this);
  if (LogLevel >= 6) {
    std::wstring text;
    ParamsToText(params, count, text);
    Log(0, nullptr, IDS_LOG_CALL_FUNCTION, MethodLogName(method).c_str(), text.c_str());
  }
  if (method < 0 || method >= VOMBRA_METHOD_COUNT) return false;

  bool answer = false;
  bool thrown = true;
  try {
    answer = (this->*Methods[method])(result, params, count);
    thrown = false;
  } catch (const CComException& e) {
    SetErrorA(e.Code(), e.what());
  } catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY, nullptr);
  } catch (const std::exception& e) {
    SetErrorA(E_FAIL, e.what());
  }
  if (thrown) {
    if (result && VariantType(result) == VTYPE_BOOL) {
      // The body had begun and set its result: the application sees false and asks GetLastError.
      result->bVal = false;
      answer = true;
    } else {
      FillLastErrorText();
      AddError(LastErrorText.c_str(), HostErrorCode(LastError));
      answer = false;
    }
  }

  if (LogLevel >= 6) {
    if (answer) {
      std::wstring value;
      std::wstring text;
      if (result) VariantToText(result, value);
      ParamsToText(params, count, text);
      Log(0, nullptr, IDS_LOG_FUNCTION_DONE, value.c_str(), text.c_str());
    } else {
      FillLastErrorText();
      Log(2, nullptr, IDS_LOG_FUNCTION_ERROR, LastError, LastErrorText.c_str());
    }
  }
  return answer;
}
