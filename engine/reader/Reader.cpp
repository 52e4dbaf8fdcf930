// The reader object: construction, the setters of the host's threads, stopping and waking the
// thread, the command slot, the last error and the log.
// Handles.h brings Winsock 2, which must come before windows.h.
#include "Handles.h"

#include "Reader.h"

#include <algorithm>
#include <cstdarg>

#include "Core.h"
#include "Exceptions.h"
#include "Messages.h"
#include "ResourceIds.h"
#include "ReaderSupport.h"
#include "VombraContext.h"

using namespace reader_support;

INT64 FindKeyByUid(const std::vector<_KEY_INFO>& keys, UINT keyType, const _KEYNUM_INFO& uid) {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].KeyType == keyType && CompareKeyNum(keys[i].Uid, uid) == 0) return INT64(i);
  }
  return -1;
}

CReader::CReader() { InitializeCriticalSection(&Lock); }

CReader::~CReader() {
  // The thread must be gone before any member it uses.
  Stop();
  DeleteCriticalSection(&Lock);
  for (HANDLE* event : {&BreakEvent, &WakeEvent, &WriteEvent, &ReadEvent, &RxEvent}) CloseHandleField(*event);
  // Last: letting go of the context may end the add-in object.
  if (HeldContext) HeldContext->ReleaseForThread();
}

void CReader::Init(IReaderEvents* events, const wchar_t* port) {
  EventsGate.SetTarget(events);
  Events = events ? &EventsGate : nullptr;
  PortName = port ? port : L"";
  Changes |= RC_PARAMS;
  for (HANDLE* event : {&BreakEvent, &WakeEvent, &WriteEvent, &ReadEvent, &RxEvent}) {
    if (*event) continue;
    *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!*event) ThrowComException(VOMBRA_E_NO_RESOURCES);
  }
}

void CReader::SetPortParams(BYTE stopBits, UINT connectFlags, UINT modelSetting, UINT speed, bool wake) {
  bool reconnect;
  {
    CCriticalSectionLock lock(&Lock);
    reconnect = stopBits != StopBits || (Model == RM_KD6_D && ((connectFlags ^ ConnectFlags) & RDF_WIEGAND)) ||
                ((connectFlags ^ ConnectFlags) & RDF_BINARY) || modelSetting != ModelSetting;
    bool speedChanged = speed != Speed;
    StopBits = stopBits;
    ConnectFlags = connectFlags;
    ModelSetting = modelSetting;
    Speed = speed;
    Changes |= RC_PARAMS;
    if (speedChanged) Changes |= RC_SPEED;
    if (reconnect) Changes |= RC_RECONNECT;
  }
  if (wake) {
    if (reconnect) SetEvent(BreakEvent);
    SetEvent(WakeEvent);
  }
}

void CReader::SetTimeouts(UINT connectTimeout, UINT connectPeriod, UINT rxPeriod, UINT requestTimeout,
                          UINT requestTries) {
  CCriticalSectionLock lock(&Lock);
  ConnectTimeout = connectTimeout;
  ConnectPeriod = connectPeriod;
  RxPeriod = rxPeriod;
  RequestTimeout = requestTimeout;
  RequestTries = requestTries;
}

void CReader::SetFormatId(UINT id) {
  {
    CCriticalSectionLock lock(&Lock);
    if (FormatId == id) return;
    FormatId = id;
  }
  if (LogLevel() >= 5) Log(0, IDS_LOG_READER_FORMAT_SET, int(id));
}

void CReader::AddAddress(int address) {
  CCriticalSectionLock lock(&Lock);
  Addresses.push_back(address);
  Changes |= RC_ADDRESSES;
  SetEvent(WakeEvent);
}

void CReader::RemoveAddress(int address) {
  CCriticalSectionLock lock(&Lock);
  auto it = std::find(Addresses.begin(), Addresses.end(), address);
  if (it == Addresses.end()) return;
  Addresses.erase(it);
  Changes |= RC_ADDRESSES;
  SetEvent(WakeEvent);
}

UINT CReader::GetState(int address) {
  if (address == -1) return State;
  CCriticalSectionLock lock(&Lock);
  auto it = AddressMap.find(address);
  if (it != AddressMap.end()) return it->second.State;
  return std::find(Addresses.begin(), Addresses.end(), address) != Addresses.end() ? UINT(RS_DISCONNECTED) : 0u;
}

void CReader::Reconnect(int address) {
  CCriticalSectionLock lock(&Lock);
  if (address == -1) {
    Changes |= RC_RECONNECT;
    SetEvent(BreakEvent);
  } else {
    auto it = AddressMap.find(address);
    if (it == AddressMap.end()) return;
    // An address that is connecting, or due to, already does what the request asks; a second
    // connect after it would take the key just presented silently, as a key found at connect.
    if (it->second.State == RS_CONNECTING || (it->second.Flags & AF_CONNECT_DUE)) return;
    it->second.Changes |= 0x1;
    Changes |= RC_ADDRESS_RECONNECT;
  }
  SetEvent(WakeEvent);
}

void CReader::Start() {
  {
    CCriticalSectionLock lock(&Lock);
    Changes |= RC_RECONNECT;
    Leaving = false;
  }
  Running = 1;
  CThread::Start();
}

bool CReader::RequestStop() {
  if (!IsStarted()) return false;
  Running = 0;
  // A reader never initialised has no events.
  if (BreakEvent) SetEvent(BreakEvent);
  if (WakeEvent) SetEvent(WakeEvent);
  return true;
}

void CReader::Stop() {
  if (RequestStop()) Join();
  // A PC/SC reader holds no port but a watcher slot, whose callback must not outlive the reader.
  if (Port || WatcherSlot) {
    try {
      Disconnect();
    } catch (const std::exception&) {
      // Stopping never fails; the port is closed in any case.
    }
  }
}

bool CReader::StopFor(DWORD limit) {
  if (RequestStop() && !JoinFor(limit)) return false;
  Stop();
  return true;
}

void CReader::Retire(std::unique_ptr<CReader> reader, DWORD limit) {
  if (!reader || reader->StopFor(limit)) return;
  if (LogLevel() >= 2 && g_pVombra) {
    g_pVombra->LogPrintf(2, reader->PortName.c_str(), L"The reader thread did not end within %u ms; it ends by itself",
                         unsigned(limit));
  }
  reader->EventsGate.Shut(kEventsShutWait);
  IVombraContext* context = g_pVombra;
  if (context) context->HoldForThread();
  reader->HeldContext = context;
  CReader* left = reader.release();
  if (left->Abandon()) return;
  // The thread ended just now: the reader is still the caller's to finish.
  std::unique_ptr<CReader> back(left);
  back->Stop();
}

void CReader::Wake() {
  if (WakeEvent) SetEvent(WakeEvent);
}

void CReader::Post(const std::shared_ptr<_CMD_INFO>& record) {
  CCriticalSectionLock lock(&Lock);
  Command = record;
  CommandStatus = E_PENDING;
  SetEvent(WakeEvent);
}

void CReader::ContinueScan() {
  {
    CCriticalSectionLock lock(&Lock);
    Changes |= RC_CONTINUE_SCAN;
  }
  SetEvent(WakeEvent);
}

void CReader::SetLastError(HRESULT code, const wchar_t* text) {
  CCriticalSectionLock lock(&Lock);
  LastError = code;
  LastErrorText = text ? text : L"";
  if (AddressMap.empty()) return;
  if (Address == -1) {
    for (auto& entry : AddressMap) {
      entry.second.LastError = code;
      entry.second.LastErrorText = LastErrorText;
    }
  } else {
    auto it = AddressMap.find(Address);
    if (it != AddressMap.end()) {
      it->second.LastError = code;
      it->second.LastErrorText = LastErrorText;
    }
  }
}

void CReader::BreakCommand() {
  CCriticalSectionLock lock(&Lock);
  CommandStatus = E_ABORT;
}

bool CReader::CompleteCommand(_CMD_INFO* cmd, HRESULT code) {
  {
    CCriticalSectionLock lock(&Lock);
    if (!cmd || Command.get() != cmd || CommandStatus != E_PENDING) return false;
    CommandStatus = code;
  }
  if (Events) Events->OnCommandDone(this);
  return code >= 0;
}

void CReader::FailPendingCommand(HRESULT code) {
  if (CommandStatus != E_PENDING) return;
  {
    CCriticalSectionLock lock(&Lock);
    if (CommandStatus != E_PENDING) return;
    CommandStatus = code;
  }
  if (Events) Events->OnCommandDone(this);
}

std::wstring CReader::LogSource() const {
  if (Address == -1) return PortName;
  std::wstring source;
  StrFormat(source, L"%s\\%d", PortName.c_str(), Address);
  return source;
}

void CReader::Log(UINT level, UINT id, ...) {
  if (!g_pVombra) return;
  std::wstring source = LogSource();
  va_list args;
  va_start(args, id);
  g_pVombra->LogV(level, source.c_str(), id, args);
  va_end(args);
}

void CReader::RebuildAddresses() {
  for (auto& entry : AddressMap) entry.second.Flags |= AF_REBUILD_MARK;
  for (int address : Addresses) {
    auto it = AddressMap.find(address);
    if (it != AddressMap.end()) {
      it->second.Flags &= ~AF_REBUILD_MARK;
    } else {
      AddressMap.emplace(address, _ADDRESS_INFO());
    }
  }
  for (auto it = AddressMap.begin(); it != AddressMap.end();) {
    if (it->second.Flags & AF_REBUILD_MARK) {
      it = AddressMap.erase(it);
    } else {
      ++it;
    }
  }
}

void CReader::MarkAddressesForReconnect() {
  for (auto& entry : AddressMap) {
    _ADDRESS_INFO& record = entry.second;
    if (!record.Changes) continue;
    UINT changes = record.Changes;
    record.Changes = 0;
    if (changes & 0x1) {
      record.Model = 0;
      record.SerialNumber = 0xFFFFFFFF;
      record.Version = 0;
      record.InfoText.clear();
      record.Flags |= AF_CONNECT_DUE;
    }
  }
}
