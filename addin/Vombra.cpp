// The add-in object's life: construction, Init and Done, the locale, the hidden window and the end.
// Windows Sockets' header must come before <windows.h>.
#include <winsock2.h>

#include "Vombra.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <iterator>

#include "Core.h"
#include "Exceptions.h"
#include "Handles.h"
#include "Messages.h"
#include "ResourceIds.h"
#include "Thread.h"

namespace {

const wchar_t SETTINGS_KEY[] = L"Software\\Tarvelon\\Vombra";
const wchar_t WINDOW_CLASS[] = L"Vombra";
constexpr UINT WM_PLAY_MEDIA = WM_USER + 1;
constexpr UINT WM_CCID_CHANGE = WM_USER + 2;
constexpr long EVENT_BUFFER_DEPTH = 4096;
constexpr long NATIVE_API_VERSION = 2000;

// Whether the process's program is a Windows GUI program. Only a main module that plainly says
// otherwise (a readable PE header with another subsystem) counts as a console host.
bool IsGuiHost() {
  const BYTE* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  if (!base) return true;
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return true;
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return true;
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

// The method bodies by method number, the order of the name tables.
const CVombra::MethodBody kMethodBodies[] = {
    // 0..11: the driver calls and the settings
    &CVombra::GetVersion,
    &CVombra::GetDescription,
    &CVombra::GetLastError,
    &CVombra::GetParameters,
    &CVombra::SetParameter,
    &CVombra::Open,
    &CVombra::Close,
    &CVombra::DeviceTest,
    &CVombra::GetAdditionalActions,
    &CVombra::DoAdditionalAction,
    &CVombra::LoadSettings,
    &CVombra::SaveSettings,
    // 12..18: key filters
    &CVombra::FindKeyFilterByID,
    &CVombra::FindKeyFilterForKey,
    &CVombra::GetKeyFilter,
    &CVombra::SetKeyFilter,
    &CVombra::InsertKeyFilter,
    &CVombra::DeleteKeyFilter,
    &CVombra::ClearKeyFilters,
    // 19..27: formats
    &CVombra::FindFormatByID,
    &CVombra::FindFormat,
    &CVombra::GetFormat,
    &CVombra::SetFormat,
    &CVombra::InsertFormat,
    &CVombra::DeleteFormat,
    &CVombra::ClearFormats,
    &CVombra::CheckFormat,
    &CVombra::Format,
    // 28..29: the reader search
    &CVombra::FindNext,
    &CVombra::FindClose,
    // 30..33: readers
    &CVombra::UpdateReaderParameters,
    &CVombra::GetStatus,
    &CVombra::Reconnect,
    &CVombra::GetReaderInfo,
    // 34..43: keys and card commands
    &CVombra::GetKeyInfo,
    &CVombra::ContinueScanning,
    &CVombra::ReadMifareUL,
    &CVombra::WriteMifareUL,
    &CVombra::ReadMifareC,
    &CVombra::WriteMifareC,
    &CVombra::ReadMifareP,
    &CVombra::WriteMifareP,
    &CVombra::WriteMifareKeysToReader,
    &CVombra::Signal,
    // 44..47: Temic
    &CVombra::InitializeTemic,
    &CVombra::FindTemic,
    &CVombra::ReadTemic,
    &CVombra::WriteTemic,
    // 48..50: the command state
    &CVombra::GetCommandStatus,
    &CVombra::BreakCommand,
    &CVombra::GetCommandResult,
    // 51..52: the log
    &CVombra::AddLog,
    &CVombra::ClearLog,
};
static_assert(std::size(kMethodBodies) == VOMBRA_METHOD_COUNT, "one body per method number");

void FillAuthKey(_AUTHKEY_INFO& key, BYTE length) {
  std::memset(&key, 0, sizeof key);
  key.Length = length;
  std::memset(key.Data, 0xFF, length);
}

}  // namespace

CVombra::CVombra(const wchar_t* name) : ClassName(name ? name : L"") {
  std::copy(std::begin(kMethodBodies), std::end(kMethodBodies), Methods);

  FillAuthKey(AuthKeyMC, 6);
  FillAuthKey(AuthKeyMP, 16);
  FillAuthKey(MifareC.AuthKey, 6);
  FillAuthKey(MifareP.AuthKey, 16);
  Temic.ScanParams = {0x00000002, 0x00000101, 0x00000102, 0x00000001, 0x03E800FF};
  FormatIndexCache.max_load_factor(1.0f);
  FormatIndexCache.rehash(8);
  InitializeCriticalSection(&Lock);
  InitializeCriticalSection(&CallLock);
  g_pVombra = this;
}

CVombra::~CVombra() {
  if (LogLevel >= 6) Log(0, nullptr, IDS_LOG_FINISH);
  // Reader threads call into this object; they end before anything of it goes.
  StopReaders();
  // The search logs its end and closes its ports and sockets while the lock, the log and Windows
  // Sockets are still there.
  EndSearch();
  // The watcher thread must not call back into an object half destroyed.
  Watcher.Stop(true);
  // Whatever Done did not release (Done never called, or Init failed half-way) goes here, so that no
  // window outlives the object or the module its procedure lives in.
  ReleaseWindowAndEvent();
  if (WinsockStarted) WSACleanup();
  DeleteCriticalSection(&CallLock);
  DeleteCriticalSection(&Lock);
  if (g_pVombra == this) g_pVombra = nullptr;
}

// The one destructor slot of all three interface parts, as the platform's compiler lays it out.
void* CVombra::ScalarDeletingDestructor(unsigned int flags) {
  if (flags & 1) {
    // The readers stop while the object is whole, so a thread left to end by itself can still hold
    // it; the object goes with the last hold.
    StopReaders();
    // The window's procedure lives in this module, which the host may unload once this returns.
    ReleaseWindowAndEvent();
    ReleaseForThread();
  } else {
    this->~CVombra();
  }
  return this;
}

void CVombra::HoldForThread() { ++Holds; }

void CVombra::ReleaseForThread() {
  if (--Holds == 0) delete this;
}

bool CVombra::setMemManager(void* memoryManager) {
  MemoryManager = static_cast<IMemoryManager*>(memoryManager);
  return MemoryManager != nullptr;
}

long CVombra::GetInfo() { return NATIVE_API_VERSION; }

bool CVombra::Init(void* connection) {
  Host = static_cast<IAddInDefBase*>(connection);
  if (Host) {
    try {
      if (Host->SetEventBufferDepth(EVENT_BUFFER_DEPTH)) {
        SoundEnabled = false;
        if (IsGuiHost()) CreateHiddenWindow();
        CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!CommandEvent) ThrowComException(VOMBRA_E_NO_RESOURCES);
        LoadStartSettings();
      }
    } catch (const std::exception& e) {
      ReleaseWindowAndEvent();
      SetErrorA(E_FAIL, e.what());
      AddError(LastErrorText.c_str(), E_FAIL);
      return false;
    }
  }
  if (LogLevel >= 5) LogText(0, nullptr, 0, L"CVombra::Init()", -1);
  LiveParams = SavedParams;
  Watcher.ListCallback = {static_cast<CObject*>(this), &CVombra::OnCcidChange};
  return true;
}

void CVombra::CreateHiddenWindow() {
  WindowInstance = g_hInstance ? g_hInstance : GetModuleHandleW(L"Vombra.dll");
  if (WindowClass == 0) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &CVombra::WndProc;
    windowClass.hInstance = WindowInstance;
    windowClass.lpszClassName = WINDOW_CLASS;
    WindowClass = RegisterClassW(&windowClass);
    // Without a class the add-in runs without a window; sounds that need it stay silent.
    if (WindowClass == 0) return;
  }
  Window = CreateWindowExW(WS_EX_APPWINDOW, WINDOW_CLASS, nullptr, 0, CW_USEDEFAULT, 0, 0, 0, nullptr, nullptr,
                           WindowInstance, this);
  if (!Window) {
    DWORD error = ::GetLastError();
    UnregisterClassW(WINDOW_CLASS, WindowInstance);
    WindowClass = 0;
    SetLastError(error);
  }
}

void CVombra::LoadStartSettings() {
  Hive = 0;
  CRegKey key;
  LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, key.Receive());
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, key.Receive());
    if (rc == ERROR_SUCCESS) Hive = 1;
  }
  if (rc == ERROR_FILE_NOT_FOUND) {
    ReadSettings(SP_ALL);
    return;
  }
  if (rc != ERROR_SUCCESS) ThrowOSException(rc);

  DWORD flags = 0;
  DWORD type = 0;
  DWORD size = sizeof flags;
  rc = RegQueryValueExW(key.Get(), L"SettingFlags", nullptr, &type, reinterpret_cast<BYTE*>(&flags), &size);
  // Closed before the settings are read, which opens the key again.
  key.Close();
  if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && type != REG_DWORD)) {
    flags = STF_LOAD_AT_START;
  } else if (rc == ERROR_MORE_DATA && type != REG_DWORD) {
    // A text longer than a DWORD: not a DWORD, so the flags default.
    flags = STF_LOAD_AT_START;
  } else if (rc != ERROR_SUCCESS) {
    ThrowOSException(rc);
  }

  if (flags & STF_LOAD_AT_START) {
    ReadSettings(SP_ALL);
    return;
  }
  _FORMAT_INFO format;
  CCriticalSectionLock lock(&Lock);
  format.Id = NextFormatId();
  format.Name = L"SentrelSaaS";
  format.Template = L"%.3u,%.5u";
  format.Params = L"b2 w01";
  format.KeyFilters = 1;
  format.Flags = 0;
  Formats.push_back(std::move(format));
  FormatIndexCache.clear();
  DefaultFormatId = Formats.back().Id;
}

void CVombra::Done() {
  CallScope call(*this);
  if ((SettingFlags & STF_SAVE_AT_END) && ModifiedParts != 0) {
    // Done reports nothing to the host; a failed save keeps ModifiedParts and the log has it.
    try {
      WriteSettings(ModifiedParts);
    } catch (const std::exception& e) {
      if (LogLevel >= 2) {
        std::wstring text;
        AnsiToWide(e.what(), -1, text);
        Log(2, nullptr, IDS_LOG_ERROR, text.c_str());
      }
    }
  }
  StopReaders();
  Watcher.Stop(true);
  CloseMedia();
  ReleaseWindowAndEvent();
  if (LogLevel >= 5) LogText(0, nullptr, 0, L"CVombra::Done()", -1);
}

void CVombra::ReleaseWindowAndEvent() {
  if (Window) {
    // The procedure must not reach this object any more, even if the window cannot be destroyed
    // from this thread.
    SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    DestroyWindow(Window);
    Window = nullptr;
  }
  if (WindowClass != 0) {
    UnregisterClassW(WINDOW_CLASS, WindowInstance);
    WindowClass = 0;
  }
  if (CommandEvent) {
    // A host thread still waiting is released; the handle goes only after its last use.
    ReleaseCommandWaits(nullptr);
    CommandEventClosing = true;
    while (CommandEventUsers > 0) {
      SetEvent(CommandEvent);
      Sleep(1);
    }
    CloseHandleField(CommandEvent);
    CommandEventClosing = false;
  }
}

void CVombra::SetLocale(const WCHAR_T* locale) {
  CallScope call(*this);
  if (locale) _wsetlocale(LC_ALL, locale);
  g_lcid = GetThreadLocale();
  ApplyThreadLocale();
  RussianNames = PRIMARYLANGID(LANGIDFROMLCID(g_lcid)) == LANG_RUSSIAN;
  // Nothing changes; the wake lets each reader thread take the new locale on itself.
  for (auto& entry : Readers) {
    CReader* reader = entry.second.get();
    reader->SetPortParams(reader->StopBits, reader->ConnectFlags, reader->ModelSetting, reader->Speed, true);
  }
}

LRESULT CALLBACK CVombra::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_CREATE: {
      const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_PLAY_MEDIA: {
      CVombra* object = reinterpret_cast<CVombra*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (object) {
        // Nothing may leave a window procedure; a sound that cannot play stays silent.
        try {
          object->PlayMedia();
        } catch (const std::exception&) {
        }
        result = 0;
      }
      break;
    }
    case WM_CCID_CHANGE:
      // The list change needs nothing beyond waking the thread.
      if (GetWindowLongPtrW(window, GWLP_USERDATA) != 0) result = 0;
      break;
    default:
      break;
  }
  return result;
}

void CVombra::OnCcidChange(void* context, CCcidConnection*, int) {
  CVombra* object = dynamic_cast<CVombra*>(static_cast<CObject*>(context));
  if (object) object->PostCcidChange();
}

void CVombra::PostCcidChange() {
  if (Window) PostMessageW(Window, WM_CCID_CHANGE, 0, 0);
}

void CVombra::StartupWinsock() {
  CCriticalSectionLock lock(&Lock);
  if (WinsockStarted) return;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) ThrowComException(VOMBRA_E_WINSOCK_STARTUP);
  WinsockStarted = true;
}

CCcidConnection* CVombra::GetWatcher() { return &Watcher; }

int CVombra::GetFormatIndex(UINT id) {
  auto cached = FormatIndexCache.find(id);
  if (cached != FormatIndexCache.end()) return cached->second;
  int index = -1;
  for (size_t i = 0; i < Formats.size(); ++i) {
    if (Formats[i].Id == id) {
      index = int(i);
      break;
    }
  }
  FormatIndexCache.emplace(id, index);
  return index;
}

UINT CVombra::NextFormatId() {
  // A stored next ID of 0 (a load without the subkey) must not hand out 0.
  const UINT start = FormatNewId ? FormatNewId : 1;
  for (UINT id = start; id != 0 && id <= 0xFFFFFFFEu; ++id) {
    bool used = GetFormatIndex(id) >= 0;
    FormatNewId = id + 1;
    if (!used) return id;
  }
  FormatNewId = 1;
  for (UINT id = 1; id < start; ++id) {
    bool used = GetFormatIndex(id) >= 0;
    FormatNewId = id + 1;
    if (!used) return id;
  }
  return 0;
}
