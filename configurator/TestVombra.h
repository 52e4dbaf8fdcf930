// The add-in host: loads Vombra.dll beside the configurator and plays the platform's part towards it.
// It is a document whose observers are the test pages and the dialogs that use the add-in, and it
// implements the four host interfaces the add-in calls (in the platform's binary layout). Everything runs
// on the GUI thread except the queueing calls the add-in makes on its reader threads (ExternalEvent,
// AddError and the event buffer's depth), which only append under the lock and post WM_USER+1 to the
// hidden window "TestVombra".
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "../addin/NativeApi.h"
#include "Document.h"
#include "KeyModel.h"
#include "TestLog.h"

// Hint bits the host fires.
constexpr uint64_t HOST_HINT_COMPONENT = 0x01;   // the component was created (with 0x02) or unloaded (with 0x10)
constexpr uint64_t HOST_HINT_SETTINGS = 0x02;    // the add-in's settings were (re)loaded
constexpr uint64_t HOST_HINT_EVENTS = 0x04;      // a batch of events went to the test log
constexpr uint64_t HOST_HINT_LAST_EVENT = 0x08;  // LastSource, LastData and LastIsError were set
constexpr uint64_t HOST_HINT_DEVICES = 0x10;     // the open-device list changed

// A call into the add-in failed; the message is held in the ANSI code page.
class CTestVombraException : public std::exception {
 public:
  // A null text gives "Unknown error Test Vombra.".
  explicit CTestVombraException(const wchar_t* text);
  CTestVombraException(const CTestVombraException& other) = default;
  ~CTestVombraException() override = default;
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

[[noreturn]] void ThrowTestVombraException(const wchar_t* text);

typedef long(__cdecl* PFN_GET_CLASS_OBJECT)(const WCHAR_T* name, IComponentBase** object);
typedef long(__cdecl* PFN_DESTROY_OBJECT)(IComponentBase** object);
typedef const WCHAR_T*(__cdecl* PFN_GET_CLASS_NAMES)();
typedef AppCapabilities(__cdecl* PFN_SET_PLATFORM_CAPABILITIES)(AppCapabilities capabilities);

class CTestVombra : public CDocument,
                    public IAddInDefBaseEx,
                    public IMemoryManager,
                    public IMsgBox,
                    public IPlatformInfo {
 public:
  // The test log goes to dataFolder\TestVombra.log (dataFolder without a trailing backslash).
  explicit CTestVombra(const wchar_t* dataFolder);
  // Unloads a loaded add-in, destroys the hidden window and unregisters its class when this host
  // registered it.
  ~CTestVombra() override;

  // Registers the class "TestVombra" unless it already is (keeping the atom when this host registered
  // it) and creates the hidden window with the host as its creation parameter. When no window results
  // the class is unregistered and COSException thrown; the host object itself stays usable.
  void CreateHostWindow();
  // A host with its window, as the application makes it (the host is deleted when the window fails).
  static CTestVombra* Create(const wchar_t* dataFolder);
  HWND GetHostWindow() const { return m_window; }

  // --- what the configurator calls (GUI thread)
  // Loads the library, creates and initialises the component. On failure the host is left unloaded with
  // the depth at 32: CFileException (library missing, not loadable, or an export missing, cause 6) or
  // CTestVombraException (strings 162 and 161).
  void Load();
  void Unload();
  // Switches the component to `language` (LANG_ENGLISH or LANG_RUSSIAN; a primary language): false, and
  // no call, while the add-in is not loaded or ThreadLocale already holds that primary language.
  // Otherwise ThreadLocale becomes that language's full LCID and the component is told (ApplyLocale).
  bool SetLanguage(WORD language);
  // Calls the component's SetLocale for ThreadLocale. The add-in takes the language from the calling
  // thread's locale and sets that thread's locale and UI language to it, so the call runs with the GUI
  // thread's locale set to ThreadLocale, and both are restored afterwards (else the configurator's own
  // texts would switch language). An exception from the component becomes CTestVombraException.
  void ApplyLocale();
  bool IsLoaded() const { return m_module != nullptr; }
  // Binds the add-in library; `path` null means the library beside the program (GetAddInLibraryPath).
  void LoadAddInLibrary(const wchar_t* path = nullptr);
  void FreeAddInLibrary();
  HMODULE GetModule() const { return m_module; }

  // The add-in library for a program at `exePath`: Vombra.dll in its folder, with the characters a
  // program name longer than "ConfigVombra.exe" carries between those first 12 and its last 4 inserted
  // before ".dll".
  static void AddInLibraryPathFor(const std::wstring& exePath, std::wstring& out);
  // That path for this process; the program path is read with a growing buffer.
  static void GetAddInLibraryPath(std::wstring& out);

  // The test log, created empty on first use.
  CTestLog& GetLog();
  // Takes the whole queue, writes it to the log with one append and tells the observers.
  void ProcessEvents();

  // Calls a method by its English or Russian name; true, or CTestVombraException (strings 197, 196).
  bool CallMethod(const wchar_t* name, tVariant* result, tVariant* params, long count);
  // Sets the property "Port"; CTestVombraException (strings 198, 194) on failure.
  void SetPort(tVariant* value);
  void GetPropName(std::wstring& out, long number, long alias);
  void GetMethodName(std::wstring& out, long number, long alias);
  bool IsFirstDeviceConnected();

  // The named method wrappers; each result is the method's bool unless told otherwise.
  int32_t GetLastError(std::wstring* description);
  bool SetParameter(const wchar_t* name, const wchar_t* value);
  bool SetReaderFormatId(uint32_t id);
  bool Open(std::wstring* deviceId);
  bool Close(const wchar_t* deviceId);
  bool UpdateReaderParameters(const wchar_t* deviceId, bool flag);
  bool LoadSettings();
  // The index of the add-in's format "FormatTemp", -1 when it has none.
  int32_t FindFormat();
  bool Reconnect(const wchar_t* deviceId);
  // The key the reader holds now: a type above 21 becomes 0, a number longer than 15 bytes is cut.
  bool GetKeyInfo(const wchar_t* deviceId, int32_t fallbackType, int32_t* keyType, _KEYNUM_INFO* keyNumber);
  bool InsertFormat(int32_t& index, const wchar_t* formatTemplate, const wchar_t* parameters, uint32_t* id);
  bool SetFormat(int32_t index, const wchar_t* formatTemplate, const wchar_t* parameters);
  bool CheckFormat(const wchar_t* formatTemplate, const wchar_t* parameters, int32_t* errorPosition);
  bool Format(const wchar_t* formatTemplate, const wchar_t* parameters, uint32_t keyType, const _KEYNUM_INFO& key,
              std::wstring& out);

  const std::vector<std::wstring>& GetOpenDevices() const { return m_devices; }
  // The number of queued events not yet taken by ProcessEvents.
  size_t GetQueuedCount();

  // --- IAddInDefBaseEx; slot 0 and IMemoryManager's slot 0 never delete the host.
  void* ScalarDeletingDestructor(unsigned int flags) override;
  bool AddError(unsigned short code, const WCHAR_T* source, const WCHAR_T* description, long scode) override;
  bool Read(WCHAR_T* name, tVariant* value, long* error, WCHAR_T** errorDescription) override;
  bool Write(WCHAR_T* name, tVariant* value) override;
  bool RegisterProfileAs(WCHAR_T* profileName) override;
  bool SetEventBufferDepth(long depth) override;
  long GetEventBufferDepth() override;
  bool ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) override;
  void CleanEventBuffer() override;
  bool SetStatusLine(WCHAR_T* text) override;
  void ResetStatusLine() override;
  IInterface* GetInterface(Interfaces number) override;
  // --- IMemoryManager: the C run-time heap.
  bool AllocMemory(void** memory, unsigned long bytes) override;
  void FreeMemory(void** memory) override;
  // --- IMsgBox: the configurator's message box, owned by the main window.
  bool Confirm(const WCHAR_T* question, tVariant* answer) override;
  bool Alert(const WCHAR_T* text) override;
  // --- IPlatformInfo
  const AppInfo* GetPlatformInfo() override;

  // The newest card-data or driver-error event; set by ProcessEvents.
  std::wstring LastSource;
  std::wstring LastData;
  bool LastIsError = false;
  IComponentBase* Component = nullptr;
  // The last error the add-in reported with code 1004. Written by the add-in's threads under the lock;
  // cleared by the GUI thread before each call and read after it.
  long LastErrorCode = 0;
  std::wstring LastErrorDescription;
  std::wstring LastErrorSource;
  // The locale the component is given: the GUI thread's at construction, then the language last chosen.
  LCID ThreadLocale;

 private:
  static LRESULT CALLBACK TestVombraWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);
  void ClearLastError();
  // CallMethod on `values`: value 0 the result, 1..count the parameters.
  void Call(const wchar_t* name, class CVariantArray& values, long count);
  void PostEventsMessage();

  std::wstring m_dataFolder;
  HMODULE m_module = nullptr;
  PFN_GET_CLASS_OBJECT m_getClassObject = nullptr;
  PFN_DESTROY_OBJECT m_destroyObject = nullptr;
  PFN_GET_CLASS_NAMES m_getClassNames = nullptr;
  PFN_SET_PLATFORM_CAPABILITIES m_setPlatformCapabilities = nullptr;

  // The queue and its depth: appended by the add-in's threads, taken by the GUI thread, under m_lock. The
  // depth is also read without it (a single aligned word).
  CRITICAL_SECTION m_lock;
  volatile long m_depth = 32;
  std::vector<_TEST_EVENT_INFO> m_queue;

  ATOM m_atom = 0;
  HWND m_window = nullptr;
  CTestLog m_log;
  AppInfo m_info{L"8.3.3", L"", 1};
  std::vector<std::wstring> m_devices;
};
