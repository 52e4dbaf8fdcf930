#include "TestVombra.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "File.h"
#include "MessageBox.h"
#include "Thread.h"
#include "VariantArray.h"

namespace {

const wchar_t kHostWindowClass[] = L"TestVombra";
constexpr size_t kBaseNameLength = 12;  // "ConfigVombra"
constexpr UINT kEventsMessage = WM_USER + 1;
constexpr long kDefaultDepth = 32;

int32_t LocalMillisecondsOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return (now.wHour * 3600 + now.wMinute * 60 + now.wSecond) * 1000 + now.wMilliseconds;
}

const wchar_t* OrEmpty(const WCHAR_T* text) { return text ? text : L""; }

// The add-in names its events in the language of its locale; the host knows both.
bool SameEventName(const std::wstring& message, const wchar_t* name) {
  return CompareStringOrdinal(message.c_str(), int(message.size()), name, -1, TRUE) == CSTR_EQUAL;
}

std::wstring PwstrOf(const tVariant& value) {
  if (VariantType(&value) != VTYPE_PWSTR || !value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, value.wstrLen);
}

// An export bound by name; FARPROC is cast through void* so the cast says what it means.
template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

CTestVombraException::CTestVombraException(const wchar_t* text) {
  if (!text) {
    m_message = "Unknown error Test Vombra.";
    return;
  }
  WideToAnsi(text, -1, m_message);
}

void ThrowTestVombraException(const wchar_t* text) { throw CTestVombraException(text); }

// ---------------------------------------------------------------------------------------------------------

CTestVombra::CTestVombra(const wchar_t* dataFolder)
    : ThreadLocale(GetThreadLocale()), m_dataFolder(dataFolder ? dataFolder : L"") {
  InitializeCriticalSection(&m_lock);
}

CTestVombra::~CTestVombra() {
  if (Component || m_module) {
    try {
      Unload();
    } catch (const std::exception&) {
      // An observer's failure must not keep the library loaded past its host.
    }
  }
  if (m_window) {
    SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
    DestroyWindow(m_window);
    m_window = nullptr;
  }
  if (m_atom) UnregisterClassW(kHostWindowClass, GetModuleHandleW(nullptr));
  m_log.Close();
  DeleteCriticalSection(&m_lock);
}

CTestVombra* CTestVombra::Create(const wchar_t* dataFolder) {
  std::unique_ptr<CTestVombra> host(new CTestVombra(dataFolder));
  host->CreateHostWindow();
  return host.release();
}

void CTestVombra::CreateHostWindow() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  if (!GetClassInfoExW(instance, kHostWindowClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TestVombraWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = kHostWindowClass;
    m_atom = RegisterClassExW(&wc);
    if (!m_atom) ThrowOSException(::GetLastError());
  }
  // Never shown: it only carries WM_USER+1 from the reader threads to this thread.
  m_window = CreateWindowExW(WS_EX_APPWINDOW, kHostWindowClass, L"", 0, CW_USEDEFAULT, 0, 0, 0, nullptr, nullptr,
                             instance, this);
  if (!m_window) {
    const DWORD error = ::GetLastError();
    UnregisterClassW(kHostWindowClass, instance);
    m_atom = 0;
    ThrowOSException(error);
  }
}

LRESULT CALLBACK CTestVombra::TestVombraWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = DefWindowProcW(wnd, message, wParam, lParam);
  if (message == WM_CREATE) {
    const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(wnd, GWLP_USERDATA, LONG_PTR(create->lpCreateParams));
  } else if (message == kEventsMessage) {
    if (CTestVombra* host = reinterpret_cast<CTestVombra*>(GetWindowLongPtrW(wnd, GWLP_USERDATA))) {
      try {
        host->ProcessEvents();
      } catch (const std::exception&) {
        // The log could not be written: this batch is lost, the next one is tried again.
      }
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------------------
// Loading

void CTestVombra::AddInLibraryPathFor(const std::wstring& exePath, std::wstring& out) {
  const size_t slash = exePath.rfind(L'\\');
  const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
  const std::wstring name = exePath.substr(nameStart);
  std::wstring suffix;
  // The position alone decides: the name itself is not compared with ConfigVombra.
  if (name.size() > kBaseNameLength + 4) suffix = name.substr(kBaseNameLength, name.size() - kBaseNameLength - 4);
  out = exePath.substr(0, nameStart) + L"Vombra" + suffix + L".dll";
}

void CTestVombra::GetAddInLibraryPath(std::wstring& out) {
  // An install folder may be deeper than MAX_PATH; grow until the whole path fits.
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &exe[0], DWORD(exe.size()));
    if (n == 0) ThrowOSException(::GetLastError());
    if (n < exe.size()) {
      exe.resize(n);
      break;
    }
    if (exe.size() >= 32768) ThrowOSException(ERROR_INSUFFICIENT_BUFFER);
    exe.resize(exe.size() * 2);
  }
  AddInLibraryPathFor(exe, out);
}

void CTestVombra::LoadAddInLibrary(const wchar_t* path) {
  if (m_module) return;
  std::wstring library;
  if (path) {
    library = path;
  } else {
    GetAddInLibraryPath(library);
  }
  HMODULE module = LoadLibraryW(library.c_str());
  if (!module) ThrowFileOsError(::GetLastError(), library.c_str());
  m_module = module;
  m_getClassObject = Export<PFN_GET_CLASS_OBJECT>(module, "GetClassObject");
  m_destroyObject = Export<PFN_DESTROY_OBJECT>(module, "DestroyObject");
  m_getClassNames = Export<PFN_GET_CLASS_NAMES>(module, "GetClassNames");
  m_setPlatformCapabilities = Export<PFN_SET_PLATFORM_CAPABILITIES>(module, "SetPlatformCapabilities");
  if (!m_getClassObject || !m_destroyObject || !m_getClassNames || !m_setPlatformCapabilities) {
    FreeAddInLibrary();
    ThrowFileException(CAUSE_BAD_HANDLE, -1, library.c_str());
  }
}

void CTestVombra::FreeAddInLibrary() {
  if (m_module) FreeLibrary(m_module);
  m_module = nullptr;
  m_getClassObject = nullptr;
  m_destroyObject = nullptr;
  m_getClassNames = nullptr;
  m_setPlatformCapabilities = nullptr;
}

void CTestVombra::Load() {
  _DOC_UPDATE_INFO batch(this, nullptr);
  SetEventBufferDepth(kDefaultDepth);
  try {
    LoadAddInLibrary();
    m_setPlatformCapabilities(eAppCapabilities1);
    std::wstring className = OrEmpty(m_getClassNames());
    const size_t bar = className.find(L'|');
    if (bar != std::wstring::npos) className.resize(bar);
    Component = nullptr;
    if (!m_getClassObject(className.c_str(), &Component) || !Component) {
      Component = nullptr;
      FreeAddInLibrary();
      std::wstring text;
      LoadStr(IDS_HOST_CREATE_FAILED, text);
      ThrowTestVombraException(text.c_str());
    }
    if (!Component->setMemManager(static_cast<IMemoryManager*>(this)) ||
        !Component->Init(static_cast<IAddInDefBase*>(this))) {
      m_destroyObject(&Component);
      Component = nullptr;
      FreeAddInLibrary();
      std::wstring text;
      LoadStr(IDS_HOST_INIT_FAILED, text);
      ThrowTestVombraException(text.c_str());
    }
  } catch (...) {
    // Init may have asked for another depth before it failed; an unloaded host holds the default.
    SetEventBufferDepth(kDefaultDepth);
    throw;
  }
  try {
    ApplyLocale();
  } catch (...) {
    Unload();
    throw;
  }
  UpdateAllViews(HOST_HINT_COMPONENT | HOST_HINT_SETTINGS);
  EndUpdate(batch);
}

bool CTestVombra::SetLanguage(WORD language) {
  if (!IsLoaded() || PRIMARYLANGID(LANGIDFROMLCID(ThreadLocale)) == language) return false;
  ThreadLocale = MAKELCID(MAKELANGID(language, SUBLANG_DEFAULT), SORT_DEFAULT);
  ApplyLocale();
  return true;
}

void CTestVombra::ApplyLocale() {
  if (!Component) return;
  const LCID savedLocale = GetThreadLocale();
  const LANGID savedUi = GetThreadUILanguage();
  SetThreadLocale(ThreadLocale);
  bool thrown = false;
  try {
    Component->SetLocale(PRIMARYLANGID(LANGIDFROMLCID(ThreadLocale)) == LANG_RUSSIAN ? L"ru_RU" : L"en_EN");
  } catch (...) {
    thrown = true;
  }
  SetThreadLocale(savedLocale);
  SetThreadUILanguage(savedUi);
  if (thrown) ThrowTestVombraException(nullptr);
}

void CTestVombra::Unload() {
  _DOC_UPDATE_INFO batch(this, nullptr);
  if (Component) {
    Component->Done();
    if (m_destroyObject) m_destroyObject(&Component);
    Component = nullptr;
  }
  FreeAddInLibrary();
  m_devices.clear();
  UpdateAllViews(HOST_HINT_COMPONENT | HOST_HINT_DEVICES);
  EndUpdate(batch);
}

// ---------------------------------------------------------------------------------------------------------
// Events

CTestLog& CTestVombra::GetLog() {
  if (!m_log.IsOpen()) m_log.Open((m_dataFolder + L"\\TestVombra.log").c_str());
  return m_log;
}

size_t CTestVombra::GetQueuedCount() {
  CCriticalSectionLock lock(&m_lock);
  return m_queue.size();
}

void CTestVombra::ProcessEvents() {
  std::vector<_TEST_EVENT_INFO> events;
  {
    CCriticalSectionLock lock(&m_lock);
    events.swap(m_queue);
  }
  _DOC_UPDATE_INFO batch(this, nullptr);
  if (events.empty()) {
    EndUpdate(batch);
    return;
  }
  GetLog().WriteEvents(events.data(), events.size());
  UpdateAllViews(HOST_HINT_EVENTS);
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    const bool card = SameEventName(it->Message, L"TracksData") || SameEventName(it->Message, L"ДанныеКарты");
    const bool error =
        !card && (SameEventName(it->Message, L"DriverError") || SameEventName(it->Message, L"ОшибкаДрайвера"));
    if (card || error) {
      LastSource = it->Source;
      LastData = it->Data;
      LastIsError = error;
      UpdateAllViews(HOST_HINT_LAST_EVENT);
      break;
    }
  }
  EndUpdate(batch);
}

void CTestVombra::PostEventsMessage() {
  // Posted, never sent: a reader thread must not wait for the GUI.
  if (m_window) PostMessageW(m_window, kEventsMessage, 0, 0);
}

bool CTestVombra::ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) {
  CCriticalSectionLock lock(&m_lock);
  try {
    if (int64_t(m_queue.size()) >= int64_t(m_depth)) return false;
    _TEST_EVENT_INFO record;
    record.Time = LocalMillisecondsOfDay();
    record.Kind = 1;
    record.Source = OrEmpty(source);
    record.Message = OrEmpty(message);
    record.Data = OrEmpty(data);
    m_queue.push_back(std::move(record));
  } catch (const std::exception&) {
    return false;
  }
  PostEventsMessage();
  return true;
}

bool CTestVombra::AddError(unsigned short code, const WCHAR_T* source, const WCHAR_T* description, long scode) {
  try {
    _TEST_EVENT_INFO record;
    record.Time = LocalMillisecondsOfDay();
    record.Kind = 3;
    record.Source = OrEmpty(source);
    record.Message = OrEmpty(description);
    StrFormat(record.Data, L"message=%d, error=%d", int(code), int(scode));
    CCriticalSectionLock lock(&m_lock);
    if (code == 1004) {
      std::wstring errorDescription = record.Message;
      std::wstring errorSource = record.Source;
      m_queue.push_back(std::move(record));
      LastErrorCode = scode;
      LastErrorDescription.swap(errorDescription);
      LastErrorSource.swap(errorSource);
    } else {
      m_queue.push_back(std::move(record));
    }
    PostEventsMessage();
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool CTestVombra::SetEventBufferDepth(long depth) {
  CCriticalSectionLock lock(&m_lock);
  m_depth = depth;
  const size_t keep = depth < 0 ? 0 : size_t(depth);
  if (m_queue.size() > keep) m_queue.resize(keep);
  return true;
}

long CTestVombra::GetEventBufferDepth() { return m_depth; }

void CTestVombra::CleanEventBuffer() {
  CCriticalSectionLock lock(&m_lock);
  m_queue.clear();
}

void* CTestVombra::ScalarDeletingDestructor(unsigned int) { return this; }
bool CTestVombra::Read(WCHAR_T*, tVariant*, long*, WCHAR_T**) { return false; }
bool CTestVombra::Write(WCHAR_T*, tVariant*) { return false; }
bool CTestVombra::RegisterProfileAs(WCHAR_T*) { return false; }
bool CTestVombra::SetStatusLine(WCHAR_T*) { return true; }
void CTestVombra::ResetStatusLine() {}

IInterface* CTestVombra::GetInterface(Interfaces number) {
  switch (number) {
    case eIMsgBox:
      return static_cast<IMsgBox*>(this);
    case eIPlatformInfo:
      return static_cast<IPlatformInfo*>(this);
    default:
      return nullptr;
  }
}

bool CTestVombra::AllocMemory(void** memory, unsigned long bytes) {
  if (!memory) return false;
  *memory = malloc(bytes ? bytes : 1);
  return *memory != nullptr;
}

void CTestVombra::FreeMemory(void** memory) {
  if (!memory || !*memory) return;
  free(*memory);
  *memory = nullptr;
}

bool CTestVombra::Confirm(const WCHAR_T* question, tVariant* answer) {
  if (!question || !answer) return false;
  const int button = ShowMessageBox(question, MB_OKCANCEL | MB_ICONQUESTION);
  answer->ullVal = 0;
  answer->bVal = button == IDOK;
  answer->vt = VTYPE_BOOL;
  return true;
}

bool CTestVombra::Alert(const WCHAR_T* text) {
  if (!text) return false;
  ShowMessageBox(text, MB_OK | MB_ICONINFORMATION);
  return true;
}

const AppInfo* CTestVombra::GetPlatformInfo() { return &m_info; }

// ---------------------------------------------------------------------------------------------------------
// Calls

void CTestVombra::ClearLastError() {
  CCriticalSectionLock lock(&m_lock);
  LastErrorCode = 0;
}

bool CTestVombra::CallMethod(const wchar_t* name, tVariant* result, tVariant* params, long count) {
  const long method = Component->FindMethod(name);
  std::wstring text;
  if (method == -1) {
    LoadStrFormat(text, IDS_HOST_METHOD_NOT_FOUND, name);
    ThrowTestVombraException(text.c_str());
  }
  ClearLastError();
  if (Component->CallAsFunc(method, result, params, count)) return true;
  LoadStrFormat(text, IDS_HOST_METHOD_FAILED, name);
  {
    CCriticalSectionLock lock(&m_lock);
    if (LastErrorCode != 0) text += L' ' + LastErrorDescription;
  }
  ThrowTestVombraException(text.c_str());
}

void CTestVombra::SetPort(tVariant* value) {
  const long property = Component->FindProp(L"Port");
  std::wstring text;
  if (property == -1) {
    LoadStrFormat(text, IDS_HOST_PROPERTY_NOT_FOUND, L"Port");
    ThrowTestVombraException(text.c_str());
  }
  ClearLastError();
  if (Component->SetPropVal(property, value)) return;
  std::wstring shown;
  switch (VariantType(value)) {
    case VTYPE_I4:
    case VTYPE_UI4:
      StrFormat(shown, L"%d", value->lVal);
      break;
    case VTYPE_BOOL:
      shown = value->bVal ? L"true" : L"false";
      break;
    default:
      shown = L"???";
  }
  LoadStrFormat(text, IDS_HOST_SET_PROPERTY_FAILED, L"Port", shown.c_str());
  {
    CCriticalSectionLock lock(&m_lock);
    if (LastErrorCode != 0) text += L' ' + LastErrorDescription;
  }
  ThrowTestVombraException(text.c_str());
}

namespace {

// Copies a name block of the add-in and hands it back to the host's manager, also when the copy fails.
void TakeNameBlock(IMemoryManager* manager, const WCHAR_T* block, std::wstring& out) {
  void* memory = const_cast<WCHAR_T*>(block);
  struct Release {
    IMemoryManager* manager;
    void** memory;
    ~Release() { manager->FreeMemory(memory); }
  } release{manager, &memory};
  out = OrEmpty(block);
}

}  // namespace

void CTestVombra::GetPropName(std::wstring& out, long number, long alias) {
  TakeNameBlock(this, Component->GetPropName(number, alias), out);
}

void CTestVombra::GetMethodName(std::wstring& out, long number, long alias) {
  TakeNameBlock(this, Component->GetMethodName(number, alias), out);
}

void CTestVombra::Call(const wchar_t* name, CVariantArray& values, long count) {
  CallMethod(name, &values[0], count ? &values[1] : nullptr, count);
}

bool CTestVombra::IsFirstDeviceConnected() {
  if (!Component || m_devices.empty()) return false;
  CVariantArray values(2, this);
  values.SetString(1, m_devices.front().c_str());
  Call(L"GetStatus", values, 1);
  return VariantType(&values[0]) == VTYPE_I4 && values[0].lVal == 3;
}

int32_t CTestVombra::GetLastError(std::wstring* description) {
  CVariantArray values(2, this);
  Call(L"GetLastError", values, 1);
  if (description && VariantType(&values[1]) == VTYPE_PWSTR) *description = PwstrOf(values[1]);
  return values[0].lVal;
}

bool CTestVombra::SetParameter(const wchar_t* name, const wchar_t* value) {
  CVariantArray values(3, this);
  values.SetString(1, name);
  values.SetString(2, value);
  Call(L"SetParameter", values, 2);
  return values[0].bVal;
}

bool CTestVombra::SetReaderFormatId(uint32_t id) {
  CVariantArray values(3, this);
  values.SetString(1, L"ReaderFormatID");
  values.SetUInt(2, id);
  Call(L"SetParameter", values, 2);
  return values[0].bVal;
}

bool CTestVombra::Open(std::wstring* deviceId) {
  CVariantArray values(2, this);
  Call(L"Open", values, 1);
  if (!values[0].bVal) return false;
  const std::wstring id = PwstrOf(values[1]);
  if (deviceId) *deviceId = id;
  for (const std::wstring& listed : m_devices) {
    if (listed == id) return true;
  }
  _DOC_UPDATE_INFO batch(this);
  m_devices.push_back(id);
  UpdateAllViews(HOST_HINT_DEVICES);
  EndUpdate(batch);
  return true;
}

bool CTestVombra::Close(const wchar_t* deviceId) {
  CVariantArray values(2, this);
  values.SetString(1, deviceId);
  Call(L"Close", values, 1);
  if (!values[0].bVal) return false;
  for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
    if (*it == OrEmpty(deviceId)) {
      _DOC_UPDATE_INFO batch(this);
      m_devices.erase(it);
      UpdateAllViews(HOST_HINT_DEVICES);
      EndUpdate(batch);
      break;
    }
  }
  return true;
}

bool CTestVombra::UpdateReaderParameters(const wchar_t* deviceId, bool flag) {
  CVariantArray values(3, this);
  values.SetString(1, deviceId);
  values.SetBool(2, flag);
  Call(L"UpdateReaderParameters", values, 2);
  return values[0].bVal;
}

bool CTestVombra::LoadSettings() {
  CVariantArray values(2, this);
  values.SetUInt(1, 7);
  Call(L"LoadSettings", values, 1);
  _DOC_UPDATE_INFO batch(this);
  UpdateAllViews(HOST_HINT_SETTINGS);
  EndUpdate(batch);
  return values[0].bVal;
}

int32_t CTestVombra::FindFormat() {
  CVariantArray values(2, this);
  values.SetInt(0, -1);
  values.SetString(1, L"FormatTemp");
  Call(L"FindFormat", values, 1);
  return values[0].lVal;
}

bool CTestVombra::Reconnect(const wchar_t* deviceId) {
  CVariantArray values(2, this);
  values.SetString(1, deviceId);
  Call(L"Reconnect", values, 1);
  return values[0].bVal;
}

bool CTestVombra::GetKeyInfo(const wchar_t* deviceId, int32_t fallbackType, int32_t* keyType,
                             _KEYNUM_INFO* keyNumber) {
  CVariantArray values(9, this);
  values.SetString(1, deviceId);
  values.SetInt(2, 0);
  Call(L"GetKeyInfo", values, 8);
  if (!values[0].bVal) return false;
  if (keyType) {
    int32_t type = VariantType(&values[4]) == VTYPE_I4 ? values[4].lVal : fallbackType;
    if (uint32_t(type) > 21) type = 0;
    *keyType = type;
  }
  if (keyNumber) {
    std::memset(keyNumber, 0, sizeof *keyNumber);
    if (VariantType(&values[5]) == VTYPE_BLOB && values[5].pstrVal) {
      const uint32_t length = values[5].strLen < 15 ? values[5].strLen : 15;
      keyNumber->Length = BYTE(length);
      std::memcpy(keyNumber->Data, values[5].pstrVal, length);
    }
  }
  return true;
}

bool CTestVombra::InsertFormat(int32_t& index, const wchar_t* formatTemplate, const wchar_t* parameters,
                               uint32_t* id) {
  CVariantArray values(7, this);
  values.SetInt(1, index);
  values.SetString(2, L"FormatTemp");
  values.SetString(3, formatTemplate);
  values.SetString(4, parameters);
  values.SetString(5, L"");
  values.SetUInt(6, 0);
  Call(L"InsertFormat", values, 6);
  if (!values[0].bVal) return false;
  index = values[1].lVal;
  if (id) *id = values[6].ulVal;
  return true;
}

bool CTestVombra::SetFormat(int32_t index, const wchar_t* formatTemplate, const wchar_t* parameters) {
  CVariantArray values(6, this);
  values.SetInt(1, index);
  values.SetString(2, L"FormatTemp");
  values.SetString(3, formatTemplate);
  values.SetString(4, parameters);
  Call(L"SetFormat", values, 5);
  return values[0].bVal;
}

bool CTestVombra::CheckFormat(const wchar_t* formatTemplate, const wchar_t* parameters, int32_t* errorPosition) {
  CVariantArray values(4, this);
  values.SetString(1, formatTemplate);
  values.SetString(2, parameters);
  Call(L"CheckFormat", values, 3);
  if (errorPosition) *errorPosition = VariantType(&values[3]) == VTYPE_I4 ? values[3].lVal : -1;
  return values[0].bVal;
}

bool CTestVombra::Format(const wchar_t* formatTemplate, const wchar_t* parameters, uint32_t keyType,
                         const _KEYNUM_INFO& key, std::wstring& out) {
  CVariantArray values(6, this);
  values.SetString(2, formatTemplate);
  values.SetString(3, parameters);
  values.SetUInt(4, keyType);
  values.SetBlob(5, key.Data, key.Length < 15 ? key.Length : 15);
  Call(L"Format", values, 5);
  if (!values[0].bVal) return false;
  out = PwstrOf(values[1]);
  return true;
}
