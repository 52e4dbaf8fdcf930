// The add-in object: the Native API component that the host creates through GetClassObject, the
// receiver of every reader report, and the context the reader engine reaches through g_pVombra.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "CcidWatcher.h"
#include "NativeApi.h"
#include "Object.h"
#include "PropNames.h"
#include "ReaderEvents.h"
#include "Reader.h"
#include "Settings.h"
#include "VombraContext.h"

class CSearchReaders;
struct _SEARCHPORT_INFO;

// A device ID handed out by Open: the converter address (-1: the port carries one reader) and the
// reader, which Readers owns.
struct _DEVICEID_INFO {
  int Address = -1;
  CReader* Reader = nullptr;
};

constexpr long VOMBRA_METHOD_COUNT = 53;

// The method name tables, indexed by number; a name is matched exactly (case matters). The property
// names are in PropNames.h.
extern const wchar_t* const g_MethodNames[VOMBRA_METHOD_COUNT];
extern const wchar_t* const g_MethodNamesRu[VOMBRA_METHOD_COUNT];

class CVombra : public IComponentBase, public IReaderEvents, public CObject, public IVombraContext {
 public:
  // Every method body: result is null when the host calls the method as a procedure. True when the
  // body ran (its outcome is in its result and the last error), false when the call was refused.
  typedef bool (CVombra::*MethodBody)(tVariant* result, tVariant* params, long count);

  explicit CVombra(const wchar_t* name);
  ~CVombra() override;
  CVombra(const CVombra&) = delete;
  CVombra& operator=(const CVombra&) = delete;

  // IInitDoneBase (slot 0 also serves ILanguageExtenderBase and LocaleBase).
  void* ScalarDeletingDestructor(unsigned int flags) override;
  bool Init(void* connection) override;
  bool setMemManager(void* memoryManager) override;
  long GetInfo() override;
  void Done() override;

  // ILanguageExtenderBase.
  bool RegisterExtensionAs(WCHAR_T** name) override;
  long GetNProps() override;
  long FindProp(const WCHAR_T* name) override;
  const WCHAR_T* GetPropName(long number, long alias) override;
  bool GetPropVal(const long number, tVariant* value) override;
  bool SetPropVal(const long number, tVariant* value) override;
  bool IsPropReadable(const long number) override;
  bool IsPropWritable(const long number) override;
  long GetNMethods() override;
  long FindMethod(const WCHAR_T* name) override;
  const WCHAR_T* GetMethodName(const long number, const long alias) override;
  long GetNParams(const long method) override;
  bool GetParamDefValue(const long method, const long parameter, tVariant* value) override;
  bool HasRetVal(const long method) override;
  bool CallAsProc(const long method, tVariant* params, const long count) override;
  bool CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) override;

  // LocaleBase.
  void SetLocale(const WCHAR_T* locale) override;

  // IReaderEvents.
  void OnNumberTransfer(CReader* reader, INT64 index) override;
  void OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) override;
  void OnKeyFound(CReader* reader, INT64 index) override;
  void OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid, const _KEYNUM_INFO* number,
                 const wchar_t* text) override;
  void OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) override;
  void OnReaderConnect(CReader* reader) override;
  void OnReaderDisconnect(CReader* reader) override;
  void OnCommandDone(CReader* reader) override;
  void OnTemicScanCycle(CReader* reader) override;

  // IVombraContext.
  CRITICAL_SECTION* GetLock() override { return &Lock; }
  UINT GetLogLevel() const override { return LogLevel; }
  void StartupWinsock() override;
  CCcidConnection* GetWatcher() override;
  void HoldForThread() override;
  void ReleaseForThread() override;
  UINT GetKeyTypes() const override { return KeyTypes; }
  UINT GetIdentKeyDelay() const override { return IdentKeyDelay; }
  UINT GetDelayKeyTypes() const override { return DelayKeyTypes; }
  const _MIFAREREAD_INFO& GetMifareC() const override { return MifareC; }
  const _MIFAREREAD_INFO& GetMifareP() const override { return MifareP; }
  const _ULREAD_INFO& GetMifareUL() const override { return MifareUL; }
  const _TEMICREAD_INFO& GetTemic() const override { return Temic; }
  const std::vector<_KEYFILTER_INFO>& GetKeyFilters() const override { return KeyFilters; }
  const std::vector<_FORMAT_INFO>& GetFormats() const override { return Formats; }
  UINT GetDefaultFormatId() const override { return DefaultFormatId; }
  // Both with the add-in lock held: they fill FormatIndexCache. NextFormatId gives 0 when no ID is left.
  int GetFormatIndex(UINT id) override;
  UINT NextFormatId();

  // The log (AddinLog.cpp). Writers return S_OK or the failure's HRESULT; level is 0 (I), 1 (W) or
  // 2 (E); a null source writes no source part.
  HRESULT Log(UINT level, const wchar_t* source, UINT id, ...) override;
  HRESULT LogV(UINT level, const wchar_t* source, UINT id, va_list args) override;
  void LogPrintf(UINT level, const wchar_t* source, const wchar_t* format, ...) override;
  HRESULT LogText(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length);

  // The method helpers (MethodSupport.cpp); the free ones are in MethodSupport.h.
  // The last error. SetError: length -1 = up to the NUL, a null text empties it. SetErrorA converts
  // from the ANSI code page. SetErrorAndReport also tells the host (a null text: the code's message).
  void SetError(HRESULT code, const wchar_t* text, size_t length = size_t(-1));
  void SetErrorA(HRESULT code, const char* text);
  void SetErrorAndReport(HRESULT code, const char* text);
  // Fills an empty LastErrorText with the message text of LastError.
  void FillLastErrorText();
  // Reports an error to the host (code 1004, source "Vombra"); nothing without a host.
  void AddError(const wchar_t* text, HRESULT code);
  // A refusal of the call: E_INVALIDARG with an empty text, and false.
  bool Refuse();
  // The argument check against one expected type per parameter (0 = not checked): a number type
  // stands for every number type, BLOB takes PSTR too. A parameter whose bit is set in optional may
  // also be EMPTY or NULL. False after setting 0x80040202 when a type is refused.
  bool CheckArgs(const tVariant* params, long count, const VARIANT_TYPE* expected, long n, UINT optional = 0);
  // The device ID's entry, or null with 0x80040233; FindCommandDevice also refuses a converter
  // address (0x8004021E).
  const _DEVICEID_INFO* FindDevice(const tVariant& deviceId);
  const _DEVICEID_INFO* FindCommandDevice(const tVariant& deviceId);
  // out := the text as a PWSTR in the host's memory; std::bad_alloc without memory.
  tVariant* StringToVariant(tVariant* out, const wchar_t* text);
  // out := a BLOB copy of the bytes in the host's memory (length 0 when there is none).
  tVariant* BlobToVariant(tVariant* out, const BYTE* data, size_t length);

  // Settings parts to and from the registry (Settings methods).
  void ReadSettings(UINT parts);
  void WriteSettings(UINT parts);

  // The driver, settings and log method bodies, numbers 0 to 4, 8 to 11, 51 and 52.
  bool GetVersion(tVariant* result, tVariant* params, long count);
  bool GetDescription(tVariant* result, tVariant* params, long count);
  bool GetLastError(tVariant* result, tVariant* params, long count);
  bool GetParameters(tVariant* result, tVariant* params, long count);
  // The port names GetParameters offers (SettingsXml.cpp).
  void ListSettingsPorts(std::vector<std::wstring>& ports);
  bool SetParameter(tVariant* result, tVariant* params, long count);
  bool GetAdditionalActions(tVariant* result, tVariant* params, long count);
  bool DoAdditionalAction(tVariant* result, tVariant* params, long count);
  bool LoadSettings(tVariant* result, tVariant* params, long count);
  bool SaveSettings(tVariant* result, tVariant* params, long count);
  bool AddLog(tVariant* result, tVariant* params, long count);
  bool ClearLog(tVariant* result, tVariant* params, long count);

  // The format and key-filter methods (FormatMethods.cpp), numbers 12 to 27.
  bool FindKeyFilterByID(tVariant* result, tVariant* params, long count);
  bool FindKeyFilterForKey(tVariant* result, tVariant* params, long count);
  bool GetKeyFilter(tVariant* result, tVariant* params, long count);
  bool SetKeyFilter(tVariant* result, tVariant* params, long count);
  bool InsertKeyFilter(tVariant* result, tVariant* params, long count);
  bool DeleteKeyFilter(tVariant* result, tVariant* params, long count);
  bool ClearKeyFilters(tVariant* result, tVariant* params, long count);
  bool FindFormatByID(tVariant* result, tVariant* params, long count);
  bool FindFormat(tVariant* result, tVariant* params, long count);
  bool GetFormat(tVariant* result, tVariant* params, long count);
  bool SetFormat(tVariant* result, tVariant* params, long count);
  bool InsertFormat(tVariant* result, tVariant* params, long count);
  bool DeleteFormat(tVariant* result, tVariant* params, long count);
  bool ClearFormats(tVariant* result, tVariant* params, long count);
  bool CheckFormat(tVariant* result, tVariant* params, long count);
  bool Format(tVariant* result, tVariant* params, long count);
  // With the add-in lock held: a free key-filter ID 1..31 from the next one on, or 0 when all are taken.
  UINT NextKeyFilterId();

  // The reader search methods (SearchMethods.cpp), numbers 28 and 29.
  bool FindNext(tVariant* result, tVariant* params, long count);
  bool FindClose(tVariant* result, tVariant* params, long count);
  // Creates and starts Search with the settings of this moment (an earlier search is deleted first).
  void StartSearch();
  // The search's candidate ports for SearchFlags, sorted by name.
  void ListSearchPorts(std::vector<_SEARCHPORT_INFO>& ports);
  // Deletes Search, which closes every port it still holds.
  void EndSearch();

  // Opening and closing readers (ReaderMethods.cpp), numbers 5 to 7 and 30 to 33.
  bool Open(tVariant* result, tVariant* params, long count);
  bool Close(tVariant* result, tVariant* params, long count);
  bool DeviceTest(tVariant* result, tVariant* params, long count);
  bool UpdateReaderParameters(tVariant* result, tVariant* params, long count);
  bool GetStatus(tVariant* result, tVariant* params, long count);
  bool Reconnect(tVariant* result, tVariant* params, long count);
  bool GetReaderInfo(tVariant* result, tVariant* params, long count);
  // The search behind the port text "Auto": true with the port found in port.
  bool FindReaderPort(std::wstring& port);
  // The card-command methods' wait for CommandEvent (0: no wait), ended early when settled says the
  // awaited command is over; WaitingReader is null afterwards.
  void WaitCommand(UINT timeout, const std::function<bool()>& settled = nullptr);
  // Stops every reader, all told first and then waited for, and empties DeviceIds and Readers.
  void StopReaders();

  // Card-command methods (CommandMethods.cpp), numbers 34 to 50.
  bool GetKeyInfo(tVariant* result, tVariant* params, long count);
  bool ContinueScanning(tVariant* result, tVariant* params, long count);
  bool ReadMifareUL(tVariant* result, tVariant* params, long count);
  bool WriteMifareUL(tVariant* result, tVariant* params, long count);
  bool ReadMifareC(tVariant* result, tVariant* params, long count);
  bool WriteMifareC(tVariant* result, tVariant* params, long count);
  bool ReadMifareP(tVariant* result, tVariant* params, long count);
  bool WriteMifareP(tVariant* result, tVariant* params, long count);
  bool WriteMifareKeysToReader(tVariant* result, tVariant* params, long count);
  bool Signal(tVariant* result, tVariant* params, long count);
  bool InitializeTemic(tVariant* result, tVariant* params, long count);
  bool FindTemic(tVariant* result, tVariant* params, long count);
  bool ReadTemic(tVariant* result, tVariant* params, long count);
  bool WriteTemic(tVariant* result, tVariant* params, long count);
  bool GetCommandStatus(tVariant* result, tVariant* params, long count);
  bool BreakCommand(tVariant* result, tVariant* params, long count);
  bool GetCommandResult(tVariant* result, tVariant* params, long count);
  bool MifareULCommand(tVariant* result, tVariant* params, long count, bool write);
  bool MifareBlockCommand(tVariant* result, tVariant* params, long count, bool write, bool plus);
  // WaitingReader := reader with CommandEvent reset.
  void WatchCommand(CReader* reader);
  // Sets CommandEvent from any thread, unless it is closed or being closed.
  void SignalCommandEvent();
  // Puts the record into the reader's slot as pending and wakes the reader.
  void PostCommand(CReader* reader, const std::shared_ptr<_CMD_INFO>& record, UINT code, UINT total);
  // Breaks the running command, posts the record and waits; false with the last error set when the
  // command did not end with success.
  bool RunCommand(CReader* reader, const std::shared_ptr<_CMD_INFO>& record, UINT code, UINT total, UINT timeout);
  // A host thread's wait for a command, listed in CommandWaits (under Lock) while the object lives.
  struct _COMMAND_WAIT {
    CReader* Reader;
    bool ReaderGone;  // the reader was closed while the thread waited
  };
  struct CommandWaitEntry {
    CommandWaitEntry(CVombra& addin, CReader* reader);
    ~CommandWaitEntry();
    CommandWaitEntry(const CommandWaitEntry&) = delete;
    CommandWaitEntry& operator=(const CommandWaitEntry&) = delete;
    CVombra& Addin;
    _COMMAND_WAIT Wait;
  };
  // WaitCommand, then read under the reader lock; false when the reader was closed meanwhile.
  bool AwaitCommand(CommandWaitEntry& entry, UINT timeout, const std::function<void()>& read);
  // Before a reader goes (null: every reader): its waiting host threads are released and touch it
  // no more.
  void ReleaseCommandWaits(CReader* reader);

  // Events to the host (Events.cpp). The one path to the host's ExternalEvent; never called with a
  // lock held.
  bool ExternalEvent(const wchar_t* source, const wchar_t* name, const wchar_t* data);
  // The reader's port text ("port" or "port\address"), with the add-in lock held; lookup replaces
  // it with the port table's device ID when there is one.
  std::wstring EventSource(CReader* reader, bool lookup);

  // Init's steps and the release that Done, a failed Init and the destructor share.
  void CreateHiddenWindow();
  void LoadStartSettings();
  void ReleaseWindowAndEvent();

  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // The watcher's list callback (context: the object's CObject part); posts 0x402 to the window.
  static void OnCcidChange(void* context, CCcidConnection* watcher, int event);
  void PostCcidChange();

  // Event sounds (Sounds.cpp). PlayEventSound runs on reader threads and answers true; PlayMedia
  // runs on the window's thread (message 0x401); CloseMedia closes the open MCI file, if any.
  bool PlayEventSound(int slot);
  void PlayMedia();
  void CloseMedia();

  // --- Members. Written by the host's thread unless said otherwise.
  std::wstring ClassName;
  MethodBody Methods[VOMBRA_METHOD_COUNT];
  std::wstring LastErrorText;
  HRESULT LastError = S_OK;
  IAddInDefBase* Host = nullptr;           // not owned
  IMemoryManager* MemoryManager = nullptr;  // not owned
  bool RussianNames = false;
  HANDLE CommandEvent = nullptr;  // completion of a waited card command
  // A host thread may still be inside its wait, and a reader thread left to end by itself may still
  // signal, when Done closes CommandEvent: every use counts itself in CommandEventUsers first, and the
  // close marks the event closing, then waits until the last use has ended.
  std::atomic<int> CommandEventUsers{0};
  std::atomic<bool> CommandEventClosing{false};
  class CommandEventUse {
   public:
    explicit CommandEventUse(CVombra& addin) : m_addin(addin) {
      ++addin.CommandEventUsers;
      m_event = addin.CommandEventClosing ? nullptr : addin.CommandEvent;
    }
    ~CommandEventUse() { --m_addin.CommandEventUsers; }
    CommandEventUse(const CommandEventUse&) = delete;
    CommandEventUse& operator=(const CommandEventUse&) = delete;
    // Null when there is no event or it is being closed.
    HANDLE Event() const { return m_event; }

   private:
    CVombra& m_addin;
    HANDLE m_event = nullptr;
  };
  // The hidden window lives from Init to Done on the thread that called Init.
  HWND Window = nullptr;
  ATOM WindowClass = 0;
  HINSTANCE WindowInstance = nullptr;  // the module the class was registered with
  bool WinsockStarted = false;         // under Lock
  // Under Lock: the log file's path, empty until the log is opened.
  std::wstring LogPath;
  // The connection parameters Open and DeviceTest use (live) and their stored form (saved).
  _READERPARAMS_INFO LiveParams;
  _AUTHKEY_INFO AuthKeyMC;
  _AUTHKEY_INFO AuthKeyMP;
  UINT ModifiedParts = 0;  // SETTINGS_PARTS changed since they were last loaded or saved
  // The add-in lock: the log file and LogPath, settings load and save, Windows Sockets start-up,
  // copies of event data and the engine's reading of the key-filter and format lists.
  CRITICAL_SECTION Lock;
  // The PC/SC watcher; its destructor stops it and releases its context.
  CCcidConnection Watcher;
  // The running reader search (owned), null when none runs; touched only by the host's calling thread.
  CSearchReaders* Search = nullptr;
  // The open readers by port name (owned) and the device IDs Open handed out; both touched only by
  // the host's calling thread.
  std::map<std::wstring, std::unique_ptr<CReader>> Readers;
  std::map<std::wstring, _DEVICEID_INFO> DeviceIds;
  // The reader whose finished card command a method waits for; compared by the reader threads
  // without a lock.
  std::atomic<CReader*> WaitingReader{nullptr};
  // The host's hold (1) and one per reader thread left to end by itself; the last let go deletes
  // the object.
  std::atomic<LONG> Holds{1};
  // Under Lock: the host threads waiting for a command, each with the reader it waits on.
  std::vector<_COMMAND_WAIT*> CommandWaits;
  // The host may call in from several threads at once, and the bodies share DeviceIds, Readers, the
  // last error and the settings: every call runs under CallLock, so a reader a method found stays
  // until the method returns. A method waiting for a card command lets the lock go for the wait
  // (WaitCommand), and finds its reader again only through its CommandWaitEntry, which a Close
  // releases. CallOwner is the holding thread (0: none), CallDepth its nesting.
  CRITICAL_SECTION CallLock;
  std::atomic<DWORD> CallOwner{0};
  int CallDepth = 0;
  struct CallScope {
    explicit CallScope(CVombra& addin);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    CVombra& Addin;
  };

  // Settings, the live values of the settings record's fields of the same names. The reader threads
  // read them at run time; the host's thread writes them.
  BYTE Hive = 0;
  BYTE LegacyNames = 0;
  UINT SettingFlags = 1;
  UINT SearchFlags = 0x2E;
  UINT FindIpTimeout = 3000;
  UINT FindIpTries = 1;
  std::vector<std::wstring> AdditionalPorts;
  UINT LogLevel = 0;
  UINT LogMaxSize = 0xFFFFFFFF;
  _READERPARAMS_INFO SavedParams;
  UINT ExternalEventFlags = 0;
  // Under Lock while reader threads may read them: the two lists, the default format and the cache.
  std::vector<_KEYFILTER_INFO> KeyFilters;
  UINT KeyFilterNewId = 1;
  UINT DefaultFormatId = 0;
  UINT KeyFilterSortCol = 0;
  std::unordered_map<std::wstring, _PORT_INFO> Ports;
  std::vector<_FORMAT_INFO> Formats;
  UINT FormatNewId = 1;
  std::unordered_map<UINT, int> FormatIndexCache;
  bool SoundEnabled = false;
  std::wstring SoundFileList[SOUND_COUNT];
  UINT KeyTypes = KEY_TYPES_ALL;
  UINT IdentKeyDelay = 1000;
  UINT DelayKeyTypes = 0;
  _MIFAREREAD_INFO MifareC;
  _MIFAREREAD_INFO MifareP;
  _ULREAD_INFO MifareUL;
  _TEMICREAD_INFO Temic;
  // The slot whose file is open as the MCI device "media" (-1: none), written on the window's
  // thread and by the property and settings closes; the slot the window plays next, written by
  // reader threads, the later request winning.
  std::atomic<int> OpenSound{-1};
  std::atomic<int> RequestedSound{-1};
};

// Finders over the two lists: the index of the first match, or -1. No lock of their own. The finders
// by name and by key are the settings record's own (Settings.h).
int KeyFilterIndexById(const std::vector<_KEYFILTER_INFO>& list, UINT id);
int FormatIndexByName(const std::vector<_FORMAT_INFO>& list, const wchar_t* name);
