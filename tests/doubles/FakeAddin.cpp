// A scripted fake add-in for the host's tests: the exports and a component whose methods exercise what
// the real add-in never does (a refused create or Init, odd value types, multi-line errors, events from
// many threads). It reaches the host ONLY by vtable slot through plain void** tables, as a platform-
// independent add-in would, so it is also the test of the host's own slot layout.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeAddin.h"
#include "NativeApi.h"

namespace {

FakeAddinState g_state{};

// ---- the host, by slot
void* Slot(void* part, int n) { return (*static_cast<void***>(part))[n]; }

typedef void* (*Fn_Destructor)(void* self, unsigned int flags);
typedef bool (*Fn_AddError)(void* self, unsigned short code, const wchar_t* source, const wchar_t* text, long scode);
typedef bool (*Fn_Read)(void* self, wchar_t* name, tVariant* value, long* error, wchar_t** text);
typedef bool (*Fn_Write)(void* self, wchar_t* name, tVariant* value);
typedef bool (*Fn_Text)(void* self, wchar_t* text);
typedef bool (*Fn_SetDepth)(void* self, long depth);
typedef long (*Fn_GetDepth)(void* self);
typedef bool (*Fn_Event)(void* self, wchar_t* source, wchar_t* message, wchar_t* data);
typedef void (*Fn_Void)(void* self);
typedef void* (*Fn_GetInterface)(void* self, int number);
typedef bool (*Fn_Alloc)(void* self, void** memory, unsigned long bytes);
typedef void (*Fn_Free)(void* self, void** memory);
typedef bool (*Fn_Confirm)(void* self, const wchar_t* question, tVariant* answer);
typedef bool (*Fn_Alert)(void* self, const wchar_t* text);
typedef const void* (*Fn_PlatformInfo)(void* self);

struct RawHost {
  void* connection = nullptr;
  void* memory = nullptr;

  bool AddError(unsigned short code, const wchar_t* source, const wchar_t* text, long scode) const {
    return reinterpret_cast<Fn_AddError>(Slot(connection, 1))(connection, code, source, text, scode);
  }
  bool SetDepth(long depth) const { return reinterpret_cast<Fn_SetDepth>(Slot(connection, 5))(connection, depth); }
  long GetDepth() const { return reinterpret_cast<Fn_GetDepth>(Slot(connection, 6))(connection); }
  bool Event(const wchar_t* source, const wchar_t* message, const wchar_t* data) const {
    return reinterpret_cast<Fn_Event>(Slot(connection, 7))(connection, const_cast<wchar_t*>(source),
                                                           const_cast<wchar_t*>(message), const_cast<wchar_t*>(data));
  }
  void* GetInterface(int number) const {
    return reinterpret_cast<Fn_GetInterface>(Slot(connection, 11))(connection, number);
  }
  wchar_t* Copy(const wchar_t* text) const {
    void* block = nullptr;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    if (!reinterpret_cast<Fn_Alloc>(Slot(memory, 1))(memory, &block, (unsigned long)bytes)) return nullptr;
    memcpy(block, text, bytes);
    return static_cast<wchar_t*>(block);
  }
  void Free(void** block) const { reinterpret_cast<Fn_Free>(Slot(memory, 2))(memory, block); }
};

void Script(wchar_t* out, size_t chars) {
  out[0] = 0;
  GetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, out, DWORD(chars));
}

bool Scripted(const wchar_t* what) {
  wchar_t script[64];
  Script(script, 64);
  return wcscmp(script, what) == 0;
}

void Check(bool held, const wchar_t* what) {
  if (held) {
    ++g_state.SlotChecks;
  } else if (!g_state.SlotFailure[0]) {
    wcsncpy(g_state.SlotFailure, what, 127);
  }
}

const wchar_t* const kMethods[][2] = {
    {L"GetLastError", L"ПолучитьОшибку"}, {L"SetParameter", L"УстановитьПараметр"},
    {L"Open", L"Открыть"},                 {L"Close", L"Закрыть"},
    {L"UpdateReaderParameters", L"ОбновитьПараметры"}, {L"LoadSettings", L"ЗагрузитьНастройки"},
    {L"FindFormat", L"НайтиФормат"},       {L"Reconnect", L"Переподключить"},
    {L"GetKeyInfo", L"ПолучитьКлюч"},      {L"InsertFormat", L"ВставитьФормат"},
    {L"SetFormat", L"ИзменитьФормат"},     {L"CheckFormat", L"ПроверитьФормат"},
    {L"Format", L"Форматировать"},         {L"GetStatus", L"ПолучитьСостояние"},
    {L"Emit", L"Событие"},                 {L"EmitFromThreads", L"СобытияИзПотоков"},
    {L"RaiseError", L"Ошибка"},            {L"SetDepth", L"Глубина"},
    {L"Ask", L"Спросить"},                 {L"Tell", L"Сообщить"},
    {L"ProbeSlots", L"ПроверитьСлоты"},    {L"GetReaderInfo", L"ПолучитьИнформацию"},
    {L"FindNext", L"НайтиСледующий"},      {L"FindClose", L"ЗавершитьПоиск"},
    {L"GetVersion", L"ПолучитьНомерВерсии"}, {L"GetParameters", L"ПолучитьПараметры"},
    {L"GetAdditionalActions", L"ПолучитьДополнительныеДействия"},
    {L"DoAdditionalAction", L"ВыполнитьДополнительноеДействие"},
    {L"DeviceTest", L"ТестУстройства"},
};
constexpr long kMethodCount = sizeof kMethods / sizeof kMethods[0];
const wchar_t* const kProps[][2] = {{L"Port", L"Порт"}, {L"Model", L"Модель"}};
constexpr long kPropCount = 2;

long Find(const wchar_t* const (*table)[2], long count, const wchar_t* name) {
  for (int alias = 0; alias < 2; ++alias) {
    for (long i = 0; i < count; ++i) {
      if (name && wcscmp(table[i][alias], name) == 0) return i;
    }
  }
  return -1;
}

std::wstring TextOf(const tVariant& value) {
  if ((value.vt & VTYPE_TYPEMASK) != VTYPE_PWSTR || !value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, value.wstrLen);
}

const FakeReaderInfo* FindReader(const std::wstring& id) {
  for (int i = 0; i < g_state.ReaderCount && i < 8; ++i) {
    if (id == g_state.Readers[i].DeviceId) return &g_state.Readers[i];
  }
  return nullptr;
}

class CFakeComponent final : public IComponentBase {
 public:
  void* ScalarDeletingDestructor(unsigned int flags) override {
    if (flags & 1) delete this;
    return this;
  }
  bool Init(void* connection) override {
    m_host.connection = connection;
    if (Scripted(L"init-fails")) {
      m_host.SetDepth(kFakeInitFailDepth);
      return false;
    }
    return m_host.SetDepth(4096);
  }
  bool setMemManager(void* memory) override {
    m_host.memory = memory;
    return memory && !Scripted(L"memory-refused");
  }
  long GetInfo() override { return 2000; }
  void Done() override { ++g_state.DoneCalls; }

  bool RegisterExtensionAs(WCHAR_T** name) override {
    *name = m_host.Copy(L"Fake");
    return *name != nullptr;
  }
  long GetNProps() override { return kPropCount; }
  long FindProp(const WCHAR_T* name) override { return Find(kProps, kPropCount, name); }
  const WCHAR_T* GetPropName(long number, long alias) override {
    if (number < 0 || number >= kPropCount || alias < 0 || alias > 1) return nullptr;
    return m_host.Copy(kProps[number][alias]);
  }
  bool GetPropVal(const long, tVariant*) override { return false; }
  bool SetPropVal(const long number, tVariant* value) override {
    if (number != 0) return false;
    if ((value->vt & VTYPE_TYPEMASK) == VTYPE_PWSTR) return true;
    if (g_state.FailDescription[0]) m_host.AddError(1004, L"Fake", g_state.FailDescription, E_INVALIDARG);
    return false;
  }
  bool IsPropReadable(const long) override { return true; }
  bool IsPropWritable(const long) override { return true; }
  long GetNMethods() override { return kMethodCount; }
  long FindMethod(const WCHAR_T* name) override { return Find(kMethods, kMethodCount, name); }
  const WCHAR_T* GetMethodName(const long number, const long alias) override {
    if (number < 0 || number >= kMethodCount || alias < 0 || alias > 1) return nullptr;
    return m_host.Copy(kMethods[number][alias]);
  }
  long GetNParams(const long) override { return 0; }
  bool GetParamDefValue(const long, const long, tVariant*) override { return false; }
  bool HasRetVal(const long) override { return true; }
  bool CallAsProc(const long, tVariant*, const long) override { return false; }
  bool CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) override;
  void SetLocale(const WCHAR_T* locale) override {
    ++g_state.SetLocaleCalls;
    wcsncpy(g_state.Locale, locale ? locale : L"", 15);
  }

 private:
  void Journal(const wchar_t* name, tVariant* result, tVariant* params, long count);
  void PutText(tVariant& value, const wchar_t* text) {
    value.pwstrVal = m_host.Copy(text);
    value.wstrLen = uint32_t(wcslen(text));
    value.vt = VTYPE_PWSTR;
  }
  void Emit(long times, const wchar_t* message, const wchar_t* data);
  void ProbeSlots();
  bool FindNext(tVariant* result, tVariant* params, long count);

  RawHost m_host;
};

void CFakeComponent::Journal(const wchar_t* name, tVariant* result, tVariant* params, long count) {
  if (g_state.Calls >= 64) return;
  FakeAddinCall& call = g_state.Journal[g_state.Calls++];
  memset(&call, 0, sizeof call);
  wcsncpy(call.Name, name, 31);
  call.Count = count;
  call.ResultType = result->vt;
  for (long i = 0; i < count && i < 12; ++i) {
    call.Types[i] = params[i].vt;
    switch (params[i].vt) {
      case VTYPE_PWSTR:
        wcsncpy(call.Texts[i], params[i].pwstrVal ? params[i].pwstrVal : L"", 47);
        break;
      case VTYPE_I4:
      case VTYPE_UI4:
        call.Numbers[i] = params[i].ulVal;
        break;
      case VTYPE_BOOL:
        call.Numbers[i] = params[i].bVal;
        break;
      case VTYPE_BLOB:
        call.Numbers[i] = params[i].strLen;
        break;
    }
  }
}

void CFakeComponent::Emit(long times, const wchar_t* message, const wchar_t* data) {
  for (long i = 0; i < times; ++i) {
    wchar_t numbered[64];
    swprintf(numbered, 64, L"%ls#%ld", data, i);  // %ls: wide under either printf
    if (m_host.Event(L"FAKE", message, numbered)) {
      InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_state.EventsAccepted));
    } else {
      InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_state.EventsRefused));
    }
  }
}

// Every slot of the host's four interfaces, called as the platform's add-ins call them.
void CFakeComponent::ProbeSlots() {
  void* connection = m_host.connection;
  void* memory = m_host.memory;
  // With the delete flag set, as a platform releasing its references would call it: the host must stay.
  Check(reinterpret_cast<Fn_Destructor>(Slot(connection, 0))(connection, 1) != nullptr, L"connection slot 0");
  Check(reinterpret_cast<Fn_Destructor>(Slot(memory, 0))(memory, 1) != nullptr, L"memory slot 0");
  long error = 0;
  wchar_t* text = nullptr;
  tVariant value{};
  Check(!reinterpret_cast<Fn_Read>(Slot(connection, 2))(connection, const_cast<wchar_t*>(L"x"), &value, &error, &text),
        L"Read is false");
  Check(!reinterpret_cast<Fn_Write>(Slot(connection, 3))(connection, const_cast<wchar_t*>(L"x"), &value),
        L"Write is false");
  Check(!reinterpret_cast<Fn_Text>(Slot(connection, 4))(connection, const_cast<wchar_t*>(L"p")),
        L"RegisterProfileAs is false");
  Check(m_host.SetDepth(7) && m_host.GetDepth() == 7, L"depth 7 set and read back");
  Check(m_host.Event(L"S", L"M", L"D"), L"ExternalEvent queues");
  reinterpret_cast<Fn_Void>(Slot(connection, 8))(connection);  // CleanEventBuffer drops it again
  Check(reinterpret_cast<Fn_Text>(Slot(connection, 9))(connection, const_cast<wchar_t*>(L"status")),
        L"SetStatusLine is true");
  reinterpret_cast<Fn_Void>(Slot(connection, 10))(connection);
  Check(m_host.GetInterface(2) == nullptr, L"interface 2 is null");
  void* box = m_host.GetInterface(0);
  void* platform = m_host.GetInterface(1);
  Check(box && platform && box != platform, L"message box and platform interfaces");
  if (platform) {
    struct RawAppInfo {
      const wchar_t* Version;
      const wchar_t* Agent;
      int Application;
    };
    const RawAppInfo* info =
        static_cast<const RawAppInfo*>(reinterpret_cast<Fn_PlatformInfo>(Slot(platform, 0))(platform));
    Check(info && wcscmp(info->Version, L"8.3.3") == 0 && wcscmp(info->Agent, L"") == 0 && info->Application == 1,
          L"platform info 8.3.3, empty agent, type 1");
  }
  if (box) {
    Check(!reinterpret_cast<Fn_Confirm>(Slot(box, 0))(box, nullptr, &value), L"Confirm without a question");
    Check(!reinterpret_cast<Fn_Alert>(Slot(box, 1))(box, nullptr), L"Alert without a text");
  }
  void* block = nullptr;
  Check(!reinterpret_cast<Fn_Alloc>(Slot(memory, 1))(memory, nullptr, 8), L"AllocMemory without an out pointer");
  Check(reinterpret_cast<Fn_Alloc>(Slot(memory, 1))(memory, &block, 64) && block, L"AllocMemory 64 bytes");
  memset(block, 0xA5, 64);
  m_host.Free(&block);
  Check(block == nullptr, L"FreeMemory nulls the pointer");
  m_host.Free(&block);    // a pointer to null is ignored
  m_host.Free(nullptr);   // so is a null pointer
  Check(m_host.AddError(7, L"Probe", L"slot 1", 5), L"AddError is true");
}

bool CFakeComponent::CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) {
  if (method < 0 || method >= kMethodCount) return false;
  const wchar_t* name = kMethods[method][0];
  Journal(name, result, params, count);
  if (g_state.FailNext) {
    g_state.FailNext = false;
    if (g_state.FailDescription[0]) m_host.AddError(1004, L"Fake", g_state.FailDescription, E_FAIL);
    return false;
  }
  const std::wstring what = name;
  if (what == L"FindNext") return FindNext(result, params, count);
  if (what == L"FindClose") {
    ++g_state.FindCloseCalls;
    if (g_state.FindCloseThrows) throw std::runtime_error("the search would not close");
    SetBool(result, true);
    return true;
  }
  if (what == g_state.Throw) {
    if (g_state.FailDescription[0]) m_host.AddError(1004, L"Fake", g_state.FailDescription, E_FAIL);
    return false;
  }
  // FindFormat answers in the I4 the host preset; everything else in a bool.
  if (what != L"FindFormat") SetBool(result, true);
  if (what == g_state.Refuse) {
    ++g_state.RefuseSeen;
    if (g_state.RefuseAt == 0 || g_state.RefuseSeen == g_state.RefuseAt) {
      result->bVal = false;
      return true;
    }
  }
  if (what == L"GetLastError") {
    SetI4(result, g_state.LastErrorCode ? g_state.LastErrorCode : int32_t(0x80040233));
    if (count > 0) PutText(params[0], g_state.LastErrorText[0] ? g_state.LastErrorText : L"Device is not open.");
  } else if (what == L"GetVersion") {
    if (g_state.Version[0]) {
      PutText(*result, g_state.Version);
    } else {
      SetI4(result, 1957);
    }
  } else if (what == L"GetParameters") {
    if (g_state.ParametersNotText) {
      SetI4(&params[0], 7);
    } else {
      PutText(params[0], g_state.Parameters);
    }
  } else if (what == L"GetAdditionalActions") {
    PutText(params[0], g_state.Actions);
  } else if (what == L"DeviceTest") {
    PutText(params[0], g_state.TestText);
    SetBool(&params[1], false);
  } else if (what == L"Open") {
    if (g_state.OddOutValues) {
      SetI4(&params[0], 5);
    } else {
      PutText(params[0], g_state.DeviceId[0] ? g_state.DeviceId : L"FAKE1");
    }
  } else if (what == L"FindFormat") {
    // The host presets -1; a fake that has no "FormatTemp" leaves it.
  } else if (what == L"GetKeyInfo") {
    SetI4(&params[3], g_state.KeyType);
    void* bytes = nullptr;
    const uint32_t length = g_state.KeyLength;
    reinterpret_cast<Fn_Alloc>(Slot(m_host.memory, 1))(m_host.memory, &bytes, length ? length : 1);
    for (uint32_t i = 0; i < length; ++i) static_cast<uint8_t*>(bytes)[i] = uint8_t(0x11 + i);
    params[4].pstrVal = static_cast<char*>(bytes);
    params[4].strLen = length;
    params[4].vt = VTYPE_BLOB;
  } else if (what == L"InsertFormat") {
    SetI4(&params[0], 4);
    SetUI4(&params[5], 77);
  } else if (what == L"CheckFormat") {
    if (g_state.OddOutValues) {
      PutText(params[2], L"5");
    } else {
      SetI4(&params[2], 5);
    }
    result->bVal = false;
  } else if (what == L"Format") {
    if (g_state.OddOutValues) {
      SetI4(&params[0], 9);
    } else {
      PutText(params[0], L"formatted");
    }
  } else if (what == L"GetStatus") {
    const FakeReaderInfo* reader = FindReader(TextOf(params[0]));
    SetI4(result, reader ? reader->Status : 3);
  } else if (what == L"GetReaderInfo") {
    const FakeReaderInfo* reader = FindReader(TextOf(params[0]));
    if (!reader || reader->Unknown) {
      result->bVal = false;
    } else if (reader->OddTypes) {
      SetI4(&params[1], reader->Model);
      SetUI4(&params[2], uint32_t(reader->SerialNumber));
      SetI4(&params[3], int32_t(reader->Version));
      SetI4(&params[4], 0);
    } else {
      SetI4(&params[1], reader->Model);
      SetI4(&params[2], reader->SerialNumber);
      SetUI4(&params[3], reader->Version);
      SetI4(&params[4], 0);
    }
  } else if (what == L"Emit") {
    Emit(params[0].lVal, TextOf(params[1]).c_str(), TextOf(params[2]).c_str());
  } else if (what == L"EmitFromThreads") {
    std::vector<std::thread> threads;
    const std::wstring message = TextOf(params[2]);
    for (long t = 0; t < params[0].lVal; ++t) {
      threads.emplace_back([this, t, &params, &message] {
        Emit(params[1].lVal, message.c_str(), (L"T" + std::to_wstring(t)).c_str());
      });
    }
    // The host must answer every event without the GUI thread pumping: it is here, waiting.
    for (std::thread& thread : threads) thread.join();
  } else if (what == L"RaiseError") {
    result->bVal = m_host.AddError(uint16_t(params[0].lVal), L"Fake", TextOf(params[2]).c_str(), params[1].lVal);
  } else if (what == L"SetDepth") {
    result->bVal = m_host.SetDepth(params[0].lVal);
  } else if (what == L"Ask") {
    void* box = m_host.GetInterface(0);
    tVariant answer{};
    const bool shown = reinterpret_cast<Fn_Confirm>(Slot(box, 0))(box, TextOf(params[0]).c_str(), &answer);
    SetI4(result, !shown ? -1 : (answer.vt == VTYPE_BOOL ? int32_t(answer.bVal) : -2));
  } else if (what == L"Tell") {
    void* box = m_host.GetInterface(0);
    result->bVal = reinterpret_cast<Fn_Alert>(Slot(box, 1))(box, TextOf(params[0]).c_str());
  } else if (what == L"ProbeSlots") {
    ProbeSlots();
  }
  return true;
}

bool CFakeComponent::FindNext(tVariant* result, tVariant* params, long count) {
  const int index = g_state.FindNextCalls++;
  if (count < 6) return false;
  static const FakeFindAnswer kEnd = {FAKE_FIND_FALSE, L"", 0, 0, 0, false, int32_t(0x80040231), L"No more readers."};
  const FakeFindAnswer& answer = index < g_state.FindCount && index < 16 ? g_state.Find[index] : kEnd;
  char narrow[64] = "";
  switch (answer.Kind) {
    case FAKE_FIND_REFUSE:
      m_host.AddError(1004, L"Fake", answer.Text, E_FAIL);
      return false;
    case FAKE_FIND_THROW:
      WideCharToMultiByte(CP_ACP, 0, answer.Text, -1, narrow, sizeof narrow, nullptr, nullptr);
      throw std::runtime_error(narrow);
    case FAKE_FIND_FALSE:
      g_state.LastErrorCode = answer.Code;
      wcsncpy(g_state.LastErrorText, answer.Text, 63);
      SetBool(result, false);
      return true;
    default:
      break;
  }
  if (answer.OddTypes) {
    SetI4(&params[0], 7);
    PutText(params[1], L"2");
    SetUI4(&params[2], uint32_t(answer.SerialNumber));
    SetI4(&params[3], int32_t(answer.Version));
  } else {
    PutText(params[0], answer.Port);
    SetI4(&params[1], answer.Model);
    SetI4(&params[2], answer.SerialNumber);
    SetUI4(&params[3], answer.Version);
  }
  PutText(params[4], L"identified");
  SetBool(result, true);
  return true;
}

}  // namespace

extern "C" {

__declspec(dllexport) FakeAddinState* FakeAddinGetState() { return &g_state; }

__declspec(dllexport) const WCHAR_T* GetClassNames() { return L"FakeExtension|SecondClass"; }

__declspec(dllexport) long GetClassObject(const WCHAR_T* name, IComponentBase** object) {
  if (!object || *object) return 0;
  if (Scripted(L"create-fails") || !name || wcscmp(name, L"FakeExtension") != 0) return 0;
  *object = new CFakeComponent();
  return 1;
}

#ifndef FAKE_ADDIN_WITHOUT_DESTROY
__declspec(dllexport) long DestroyObject(IComponentBase** object) {
  if (!object || !*object) return -1;
  static_cast<IInitDoneBase*>(*object)->ScalarDeletingDestructor(1);
  *object = nullptr;
  return 0;
}
#endif

__declspec(dllexport) AppCapabilities SetPlatformCapabilities(const AppCapabilities) { return eAppCapabilities1; }

}  // extern "C"
