// The fake add-in of the Properties and Methods tabs' tests (FakeMembersAddin.h).
#include "FakeMembersAddin.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "NativeApi.h"

namespace {

FakeMembersState g_state{};

const wchar_t* const kProps[FAKE_PROP_COUNT][2] = {
    {L"Text", L"Текст"},       {L"Unsigned", L"Беззнаковое"}, {L"Flag", L"Флаг"},
    {L"Bytes", L"Байты"},      {L"Wide", L"Широкое"},         {L"Odd", L"Странное"},
    {L"Failing", L"Сбойное"},  {L"Throwing", L"Бросающее"},   {L"ReadOnly", L"ТолькоЧтение"},
    {L"Picky", L"Разборчивое"}};
const wchar_t* const kMethods[FAKE_METH_COUNT][2] = {
    {L"NoParams", L"БезПараметров"}, {L"Sum", L"Сумма"},       {L"Proc", L"Процедура"},
    {L"Throw", L"Бросить"},          {L"Grow", L"Расти"},      {L"Ghost", L"Призрак"},
    {L"GetLastError", L"ПолучитьОшибку"}};

class CFakeMembers final : public IComponentBase {
 public:
  CFakeMembers() {
    SetText(m_values[FAKE_PROP_TEXT], L"COM3");
    m_values[FAKE_PROP_UNSIGNED].vt = VTYPE_UI4;
    m_values[FAKE_PROP_UNSIGNED].ulVal = 4294967295u;
    m_values[FAKE_PROP_FLAG].vt = VTYPE_BOOL;
    m_values[FAKE_PROP_FLAG].bVal = true;
    m_bytes[0] = 1;
    m_bytes[1] = 2;
    m_byteCount = 2;
    m_values[FAKE_PROP_WIDE].vt = VTYPE_I8;
    m_values[FAKE_PROP_WIDE].llVal = -5;
    m_values[FAKE_PROP_ODD].vt = VTYPE_R8;
    m_values[FAKE_PROP_ODD].dblVal = 1.5;
    m_values[FAKE_PROP_READ_ONLY].vt = VTYPE_I4;
    m_values[FAKE_PROP_READ_ONLY].lVal = 7;
    m_values[FAKE_PROP_PICKY].vt = VTYPE_I4;
    m_values[FAKE_PROP_PICKY].lVal = 1;
  }
  void* ScalarDeletingDestructor(unsigned int flags) override {
    if (flags & 1) delete this;
    return this;
  }
  bool Init(void* connection) override {
    m_connection = static_cast<IAddInDefBaseEx*>(connection);
    return true;
  }
  bool setMemManager(void* memory) override {
    m_memory = static_cast<IMemoryManager*>(memory);
    return m_memory != nullptr;
  }
  long GetInfo() override { return 2000; }
  void Done() override {}
  bool RegisterExtensionAs(WCHAR_T** name) override {
    *name = Copy(L"FakeMembers");
    return *name != nullptr;
  }
  long GetNProps() override { return FAKE_PROP_COUNT; }
  long FindProp(const WCHAR_T* name) override { return Find(kProps, FAKE_PROP_COUNT, name); }
  const WCHAR_T* GetPropName(long number, long alias) override {
    if (number < 0 || number >= FAKE_PROP_COUNT || alias < 0 || alias > 1) return nullptr;
    return Copy(kProps[number][alias]);
  }
  bool GetPropVal(const long number, tVariant* value) override {
    if (number < 0 || number >= FAKE_PROP_COUNT || number == FAKE_PROP_FAILING) return false;
    if (number == FAKE_PROP_THROWING) throw std::runtime_error("property broke");
    if (number == FAKE_PROP_TEXT) {
      value->pwstrVal = Copy(m_text);
      value->wstrLen = uint32_t(wcslen(m_text));
      value->vt = VTYPE_PWSTR;
      return true;
    }
    if (number == FAKE_PROP_BYTES) {
      void* block = nullptr;
      m_memory->AllocMemory(&block, m_byteCount ? m_byteCount : 1);
      memcpy(block, m_bytes, m_byteCount);
      value->pstrVal = static_cast<char*>(block);
      value->strLen = m_byteCount;
      value->vt = VTYPE_BLOB;
      return true;
    }
    *value = m_values[number];
    return true;
  }
  bool SetPropVal(const long number, tVariant* value) override {
    ++g_state.SetPropCalls;
    g_state.SetPropIndex = number;
    g_state.SetPropType = value->vt;
    g_state.SetPropNumber = value->vt == VTYPE_UI4 ? int64_t(value->ulVal) : value->vt == VTYPE_BOOL ? value->bVal
                            : value->vt == VTYPE_I8 ? value->llVal : value->lVal;
    g_state.SetPropText[0] = 0;
    if (value->vt == VTYPE_PWSTR && value->pwstrVal) wcsncpy(g_state.SetPropText, value->pwstrVal, 63);
    g_state.SetPropLength = 0;
    if (value->vt == VTYPE_BLOB) {
      g_state.SetPropLength = value->strLen;
      memcpy(g_state.SetPropBytes, value->pstrVal, value->strLen < 16 ? value->strLen : 16);
    }
    if (number == FAKE_PROP_PICKY) {
      if (g_state.RefuseText[0]) m_connection->AddError(1004, L"Fake", g_state.RefuseText, E_INVALIDARG);
      return false;
    }
    if (number == FAKE_PROP_TEXT && value->vt == VTYPE_PWSTR) {
      wcsncpy(m_text, value->pwstrVal ? value->pwstrVal : L"", 63);
    } else if (number == FAKE_PROP_BYTES && value->vt == VTYPE_BLOB) {
      m_byteCount = value->strLen < 16 ? value->strLen : 16;
      memcpy(m_bytes, value->pstrVal, m_byteCount);
    } else if (number >= 0 && number < FAKE_PROP_COUNT) {
      m_values[number] = *value;
    }
    return true;
  }
  bool IsPropReadable(const long) override { return true; }
  bool IsPropWritable(const long number) override { return number != FAKE_PROP_READ_ONLY; }
  long GetNMethods() override { return FAKE_METH_COUNT; }
  long FindMethod(const WCHAR_T* name) override {
    const long found = Find(kMethods, FAKE_METH_COUNT, name);
    return found == FAKE_METH_GHOST ? -1 : found;
  }
  const WCHAR_T* GetMethodName(const long number, const long alias) override {
    if (number < 0 || number >= FAKE_METH_COUNT || alias < 0 || alias > 1) return nullptr;
    return Copy(kMethods[number][alias]);
  }
  long GetNParams(const long method) override {
    switch (method) {
      case FAKE_METH_SUM: return 3;
      case FAKE_METH_PROC:
      case FAKE_METH_GHOST:
      case FAKE_METH_GET_LAST_ERROR: return 1;
      case FAKE_METH_GROW: return g_state.GrowParams;
      default: return 0;
    }
  }
  bool GetParamDefValue(const long method, const long param, tVariant* value) override {
    if (method != FAKE_METH_SUM) return false;
    if (param == 0) {
      value->vt = VTYPE_I4;
      value->lVal = 10;
      return true;
    }
    if (param == 1) {
      value->pwstrVal = Copy(L"abc");
      value->wstrLen = 3;
      value->vt = VTYPE_PWSTR;
      return true;
    }
    return false;
  }
  bool HasRetVal(const long method) override { return method != FAKE_METH_PROC && method != FAKE_METH_GHOST; }
  bool CallAsProc(const long method, tVariant* params, const long count) override {
    Journal(method, params, count);
    if (method != FAKE_METH_PROC) return false;
    if (!g_state.ProcAnswer && g_state.RefuseText[0]) {
      m_connection->AddError(1004, L"Fake", g_state.RefuseText, E_FAIL);
    }
    return g_state.ProcAnswer;
  }
  bool CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) override {
    Journal(method, params, count);
    switch (method) {
      case FAKE_METH_THROW:
        throw std::runtime_error("method broke");
      case FAKE_METH_SUM: {
        wchar_t text[64];
        swprintf(text, 64, L"%ld|%ls|%d", params[0].lVal,
                 params[1].vt == VTYPE_PWSTR && params[1].pwstrVal ? params[1].pwstrVal : L"-",
                 params[2].vt == VTYPE_BOOL ? int(params[2].bVal) : -1);
        result->pwstrVal = Copy(text);
        result->wstrLen = uint32_t(wcslen(text));
        result->vt = VTYPE_PWSTR;
        params[0].vt = VTYPE_I4;
        params[0].lVal = 99;
        return true;
      }
      case FAKE_METH_GET_LAST_ERROR:
        result->vt = VTYPE_I4;
        result->lVal = 1;
        if (count > 0) {
          params[0].pwstrVal = Copy(L"Fake last error.");
          params[0].wstrLen = uint32_t(wcslen(L"Fake last error."));
          params[0].vt = VTYPE_PWSTR;
        }
        return true;
      default:
        result->vt = VTYPE_BOOL;
        result->bVal = true;
        return true;
    }
  }
  void SetLocale(const WCHAR_T*) override {}

 private:
  static long Find(const wchar_t* const (*table)[2], long count, const wchar_t* name) {
    for (int alias = 0; alias < 2; ++alias) {
      for (long i = 0; i < count; ++i) {
        if (name && wcscmp(table[i][alias], name) == 0) return i;
      }
    }
    return -1;
  }
  wchar_t* Copy(const wchar_t* text) const {
    void* block = nullptr;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    if (!m_memory || !m_memory->AllocMemory(&block, (unsigned long)bytes)) return nullptr;
    memcpy(block, text, bytes);
    return static_cast<wchar_t*>(block);
  }
  void SetText(tVariant&, const wchar_t* text) { wcsncpy(m_text, text, 63); }
  void Journal(long method, tVariant* params, long count) {
    ++g_state.Calls;
    g_state.CallMethod = method;
    g_state.CallCount = count;
    for (long i = 0; i < count && i < 8; ++i) {
      const tVariant& p = params[i];
      g_state.CallTypes[i] = p.vt;
      g_state.CallNumbers[i] = p.vt == VTYPE_BOOL ? p.bVal : p.lVal;
      g_state.CallTexts[i][0] = 0;
      if (p.vt == VTYPE_PWSTR && p.pwstrVal) wcsncpy(g_state.CallTexts[i], p.pwstrVal, 31);
      g_state.CallLengths[i] = p.vt == VTYPE_BLOB ? p.strLen : 0;
    }
  }

  IAddInDefBaseEx* m_connection = nullptr;
  IMemoryManager* m_memory = nullptr;
  tVariant m_values[FAKE_PROP_COUNT] = {};
  wchar_t m_text[64] = {};
  uint8_t m_bytes[16] = {};
  uint32_t m_byteCount = 0;
};

}  // namespace

extern "C" {

__declspec(dllexport) FakeMembersState* FakeMembersGetState() { return &g_state; }

__declspec(dllexport) const WCHAR_T* GetClassNames() { return L"FakeMembers"; }

__declspec(dllexport) long GetClassObject(const WCHAR_T*, IComponentBase** object) {
  if (!object || *object) return 0;
  *object = new CFakeMembers();
  return 1;
}

__declspec(dllexport) long DestroyObject(IComponentBase** object) {
  if (!object || !*object) return -1;
  static_cast<IInitDoneBase*>(*object)->ScalarDeletingDestructor(1);
  *object = nullptr;
  return 0;
}

__declspec(dllexport) AppCapabilities SetPlatformCapabilities(const AppCapabilities) { return eAppCapabilities1; }

}  // extern "C"
