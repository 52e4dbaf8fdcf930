// Opening and closing readers: the device IDs the application holds, one reader
// per port, the converter addresses on a shared port, the device test and the
// per-reader methods.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Core.h"
#include "Exceptions.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "Reader.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

// The system's comparison, not the C run-time's: it folds Cyrillic whatever the
// process locale.
bool IsAutoPort(const std::wstring& port) {
  for (const wchar_t* name : {L"Auto", L"Авто"}) {
    if (CompareStringOrdinal(port.c_str(), int(port.size()), name, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

// A port text split into its port name and converter address (-1: none). False
// for a negative address, which no converter has and no Close could ever match.
bool SplitPortText(const std::wstring& text, std::wstring& name, int& address) {
  address = -1;
  size_t slash = text.find(L'\\');
  if (slash == std::wstring::npos) {
    name = text;
    return true;
  }
  name = text.substr(0, slash);
  const wchar_t* tail = text.c_str() + slash + 1;
  wchar_t* end = nullptr;
  errno = 0;
  long number = std::wcstol(tail, &end, 10);
  if (end == tail) return true;  // no number: the port without an address
  if (number < 0) return false;
  if (errno == ERANGE || number > INT_MAX || number == 0) return true;
  address = int(number);
  return true;
}

// Lets the host-call lock go, when this thread holds it, for as long as the object lives.
class CallRelease {
 public:
  explicit CallRelease(CVombra& addin) : m_addin(addin) {
    if (m_addin.CallOwner != GetCurrentThreadId()) return;
    m_depth = m_addin.CallDepth;
    m_addin.CallDepth = 0;
    m_addin.CallOwner = 0;
    for (int i = 0; i < m_depth; ++i) LeaveCriticalSection(&m_addin.CallLock);
  }
  ~CallRelease() {
    if (m_depth == 0) return;
    for (int i = 0; i < m_depth; ++i) EnterCriticalSection(&m_addin.CallLock);
    m_addin.CallOwner = GetCurrentThreadId();
    m_addin.CallDepth = m_depth;
  }
  CallRelease(const CallRelease&) = delete;
  CallRelease& operator=(const CallRelease&) = delete;

 private:
  CVombra& m_addin;
  int m_depth = 0;
};

}  // namespace

void CVombra::WaitCommand(UINT timeout, const std::function<bool()>& settled) {
  // CommandEvent is one for the object, and WaitingReader names one reader: a command posted
  // meanwhile by another host thread takes them over, and this thread's command may then end (or
  // be broken) without the event. So a long wait also looks now and then whether its command has
  // settled.
  constexpr DWORD kLook = 250;
  if (timeout != 0 && CommandEvent) {
    // Other host threads go on meanwhile (a Close among them releases this wait).
    CallRelease release(*this);
    // Ends before the call lock is taken back, so a Done that holds it can wait for this use.
    CommandEventUse use(*this);
    const DWORD start = GetTickCount();
    // The event may be another thread's: set for its command, it stays set (manual reset), and
    // this wait then only looks, rather than ending early or spinning on it.
    bool foreign = false;
    for (;;) {
      DWORD slice = kLook;
      if (timeout != INFINITE) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeout) break;
        slice = std::min<DWORD>(slice, timeout - spent);
      }
      bool woken = false;
      if (!use.Event()) {
        break;  // the object is closing
      } else if (foreign) {
        Sleep(slice);
      } else {
        woken = WaitForSingleObject(use.Event(), slice) == WAIT_OBJECT_0;
      }
      if (settled ? settled() : woken) break;
      foreign = foreign || woken;
    }
  }
  WaitingReader = nullptr;
}

void CVombra::StopReaders() {
  if (Readers.empty()) return;
  ReleaseCommandWaits(nullptr);
  // All are told first so that they stop in parallel, and all share one bound:
  // a thread caught in a device call past it is left to end by itself.
  for (auto& entry : Readers) entry.second->RequestStop();
  DeviceIds.clear();
  std::map<std::wstring, std::unique_ptr<CReader>> stopping;
  stopping.swap(Readers);
  const DWORD start = GetTickCount();
  for (auto& entry : stopping) {
    const DWORD spent = GetTickCount() - start;
    CReader::Retire(std::move(entry.second), spent < kReaderStopWait ? kReaderStopWait - spent : 0);
  }
}

namespace {

// The port text Open and DeviceTest use; false with the last error set when
// there is none.
bool ReaderPortText(CVombra& addin, std::wstring& port) {
  port = addin.LiveParams.Port;
  if (IsAutoPort(port)) {
    if (!addin.FindReaderPort(port)) {
      addin.SetError(VOMBRA_E_READER_NOT_FOUND, nullptr);
      return false;
    }
  } else if (port.empty()) {
    addin.SetError(VOMBRA_E_PORT_NAME, nullptr);
    return false;
  }
  return true;
}

std::wstring DeviceIdOf(CVombra& addin, const std::wstring& port) {
  CCriticalSectionLock lock(&addin.Lock);
  auto entry = addin.Ports.find(port);
  if (entry != addin.Ports.end() && !entry->second.DeviceId.empty()) return entry->second.DeviceId;
  return port;
}

void ApplyParams(CReader* reader, const _READERPARAMS_INFO& params) {
  reader->SetPortParams(BYTE(params.StopBits), params.Flags, params.Model, params.Speed, false);
  reader->SetTimeouts(params.ConnectTimeout, params.ConnectPeriod, params.RxPeriod, params.RequestTimeout,
                      params.RequestTries);
  reader->SetFormatId(params.FormatId);
}

}  // namespace

bool CVombra::Open(tVariant* result, tVariant* params, long count) {
  if (!params || count < 1) return Refuse();
  if (result) SetBool(result, false);
  std::wstring port;
  if (!ReaderPortText(*this, port)) return true;
  std::wstring name;
  int address = -1;
  if (!SplitPortText(port, name, address)) {
    SetError(VOMBRA_E_PORT_NAME, nullptr);
    return true;
  }
  const std::wstring deviceId = DeviceIdOf(*this, port);

  auto known = DeviceIds.find(deviceId);
  if (known != DeviceIds.end()) {
    // Opened before: only a nudge, so a disconnected reader tries again now
    // rather than later.
    CReader* reader = known->second.Reader;
    if (reader->GetState(known->second.Address) == RS_DISCONNECTED) reader->Reconnect(known->second.Address);
  } else {
    auto served = Readers.find(name);
    if (served == Readers.end()) {
      std::unique_ptr<CReader> created(new CReader);
      CReader* reader = created.get();
      reader->Init(static_cast<IReaderEvents*>(this), name.c_str());
      ApplyParams(reader, LiveParams);
      if (address != -1) reader->AddAddress(address);
      reader->Start();
      auto inserted = Readers.emplace(name, std::move(created)).first;
      try {
        DeviceIds.emplace(deviceId, _DEVICEID_INFO{address, reader});
      } catch (...) {
        Readers.erase(inserted);
        throw;
      }
    } else {
      CReader* reader = served->second.get();
      bool hasAddresses;
      {
        CCriticalSectionLock lock(&reader->Lock);
        hasAddresses = !reader->Addresses.empty();
      }
      if ((address != -1) != hasAddresses) {
        SetError(VOMBRA_E_PORT_BUSY, nullptr);
        return true;
      }
      if (address == -1) {
        if (reader->GetState(-1) == RS_DISCONNECTED) reader->Reconnect(-1);
      } else {
        reader->AddAddress(address);
        // Closed and opened again before the reader's thread let the address go, the address keeps
        // its record; a disconnected one would wait for a reconnect request that never comes.
        if (reader->GetState(address) == RS_DISCONNECTED) reader->Reconnect(address);
      }
      // Registered in either case: a device ID handed out must be one Close and
      // the other methods know, also when another text of the same port was
      // opened first.
      try {
        DeviceIds.emplace(deviceId, _DEVICEID_INFO{address, reader});
      } catch (...) {
        if (address != -1) reader->RemoveAddress(address);
        throw;
      }
    }
  }
  StringToVariant(&params[0], deviceId.c_str());
  if (result) SetBool(result, true);
  return true;
}

bool CVombra::Close(tVariant* result, tVariant* params, long count) {
  if (!params || count < 1 || VariantType(&params[0]) != VTYPE_PWSTR) return Refuse();
  auto known = DeviceIds.find(TextByLength(params[0]));
  if (known == DeviceIds.end()) {
    if (result) {
      SetError(VOMBRA_E_NOT_OPENED, nullptr);
      SetBool(result, false);
    }
    return true;
  }
  const _DEVICEID_INFO info = known->second;
  DeviceIds.erase(known);
  if (info.Address != -1) info.Reader->RemoveAddress(info.Address);
  // The reader goes with the last device ID that leads to it, not with the
  // first one closed.
  bool stillUsed = false;
  for (const auto& entry : DeviceIds) stillUsed = stillUsed || entry.second.Reader == info.Reader;
  if (!stillUsed) {
    const std::wstring name = info.Reader->PortName;
    ReleaseCommandWaits(info.Reader);
    auto served = Readers.find(name);
    if (served != Readers.end()) {
      std::unique_ptr<CReader> reader = std::move(served->second);
      Readers.erase(served);
      CReader::Retire(std::move(reader));
    }
  }
  if (result) SetBool(result, true);
  return true;
}

bool CVombra::DeviceTest(tVariant* result, tVariant* params, long count) {
  if (!params || count < 2) return Refuse();
  if (result) SetBool(result, false);
  std::wstring port;
  if (!ReaderPortText(*this, port)) return true;

  std::unique_ptr<CReader> temporary;
  CReader* reader = nullptr;
  int address = -1;
  auto known = DeviceIds.find(port);
  if (known != DeviceIds.end()) {
    reader = known->second.Reader;
    address = known->second.Address;
  } else {
    std::wstring name;
    if (!SplitPortText(port, name, address)) {
      SetError(VOMBRA_E_PORT_NAME, nullptr);
      return true;
    }
    // An open port is tested on its own reader: a second reader could not open
    // it.
    auto served = Readers.find(name);
    if (served != Readers.end()) {
      reader = served->second.get();
    } else {
      temporary.reset(new CReader);
      reader = temporary.get();
      reader->Init(static_cast<IReaderEvents*>(this), name.c_str());
      reader->SetPortParams(BYTE(LiveParams.StopBits), LiveParams.Flags, LiveParams.Model, LiveParams.Speed, false);
    }
  }

  std::wstring description;
  const bool ok =
      reader->TestDevice(address, BYTE(LiveParams.StopBits), LiveParams.Model, LiveParams.ConnectTimeout,
                         LiveParams.RxPeriod, LiveParams.RequestTimeout, LiveParams.RequestTries, &description);
  if (!ok) {
    HRESULT code;
    std::wstring text;
    {
      CCriticalSectionLock lock(&reader->Lock);
      code = reader->LastError;
      text = reader->LastErrorText;
      auto record = reader->AddressMap.find(address);
      if (address != -1 && record != reader->AddressMap.end()) {
        code = record->second.LastError;
        text = record->second.LastErrorText;
      }
    }
    if (text.empty()) FormatMessageText(text, g_hResInstance, DWORD(code));
    SetError(code, text.c_str());
    description.clear();
  }
  CReader::Retire(std::move(temporary));
  StringToVariant(&params[0], description.c_str());
  StringToVariant(&params[1], L"");
  if (result) SetBool(result, ok);
  return true;
}

bool CVombra::UpdateReaderParameters(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 2) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR, VTYPE_BOOL};
  if (!CheckArgs(params, count, kTypes, 2)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  if (TruthOfValue(params[1])) {
    ApplyParams(reader, LiveParams);
    reader->Wake();
  } else {
    LiveParams.StopBits = reader->StopBits;
    LiveParams.Flags = reader->ConnectFlags;
    LiveParams.Model = reader->ModelSetting;
    LiveParams.Speed = reader->Speed;
    LiveParams.ConnectTimeout = reader->ConnectTimeout;
    LiveParams.ConnectPeriod = reader->ConnectPeriod;
    LiveParams.RxPeriod = reader->RxPeriod;
    LiveParams.RequestTimeout = reader->RequestTimeout;
    LiveParams.RequestTries = reader->RequestTries;
    LiveParams.FormatId = reader->FormatId;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::GetStatus(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1 || VariantType(&params[0]) != VTYPE_PWSTR) return Refuse();
  auto known = DeviceIds.find(TextByLength(params[0]));
  const UINT state = known == DeviceIds.end() ? 0u : known->second.Reader->GetState(known->second.Address);
  SetI4(result, int32_t(state));
  return true;
}

bool CVombra::Reconnect(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR};
  if (!CheckArgs(params, count, kTypes, 1)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  device->Reader->Reconnect(device->Address);
  SetBool(result, true);
  return true;
}

bool CVombra::GetReaderInfo(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 5) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kTypes[] = {VTYPE_PWSTR};
  if (!CheckArgs(params, count, kTypes, 1)) return true;
  const _DEVICEID_INFO* device = FindDevice(params[0]);
  if (!device) return true;
  CReader* reader = device->Reader;
  const int address = device->Address;
  // A converter address whose record is not built yet answers as a fresh
  // record.
  _ADDRESS_INFO info;
  {
    CCriticalSectionLock lock(&reader->Lock);
    if (address == -1) {
      info.Model = reader->Model;
      info.SerialNumber = reader->SerialNumber;
      info.Version = reader->Version;
      info.InfoText = reader->InfoText;
    } else {
      auto record = reader->AddressMap.find(address);
      if (record != reader->AddressMap.end()) info = record->second;
    }
  }
  SetI4(&params[1], int32_t(info.Model));
  SetI4(&params[2], int32_t(info.SerialNumber));
  SetUI4(&params[3], info.Version);
  StringToVariant(&params[4], info.InfoText.c_str());
  SetBool(result, true);
  return true;
}
