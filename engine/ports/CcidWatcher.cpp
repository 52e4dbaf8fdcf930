#include "CcidWatcher.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace {

// Pause after a failed status wait before the next try.
constexpr DWORD kRetryPause = 1000;
// How often Stop repeats its cancel while the thread has not left Run.
constexpr DWORD kCancelRepeat = 50;
// How often a reader that is gone is looked for again.
constexpr DWORD kGoneProbe = 1000;
// The service's pseudo-reader whose state changes whenever a reader is plugged in or out.
const wchar_t kPnpNotification[] = L"\\\\?PnP?\\Notification";

// Status-wait results after which the context is dead and a new one is needed.
bool IsContextLost(LONG result) {
  return result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_NO_SERVICE || result == SCARD_E_INVALID_HANDLE;
}

}  // namespace

CCcidConnection::CCcidConnection()
    : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_finished(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  InitializeCriticalSection(&m_lock);
  InitializeCriticalSection(&m_contextLock);
}

CCcidConnection::~CCcidConnection() {
  Stop(true);
  DeleteCriticalSection(&m_contextLock);
  DeleteCriticalSection(&m_lock);
}

void CCcidConnection::RefuseOnWatcherThread() const {
  // A callback that stops its own watcher would wait for itself; and while another thread holds
  // m_lock to join this thread, taking the lock here would deadlock.
  if (m_threadId.load() == GetCurrentThreadId())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
}

HRESULT CCcidConnection::EstablishContext() {
  CCriticalSectionLock lock(&m_lock);
  CCriticalSectionLock contextLock(&m_contextLock);
  if (Context.load()) return S_OK;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return E_FAIL;
  Context = context;
  return S_OK;
}

void CCcidConnection::RepointStates() {
  // The slot texts move whenever Slots grows or shrinks, so every entry is pointed at its text anew.
  for (SCARD_READERSTATEW& state : States) {
    const size_t slot = (size_t)state.pvUserData;
    if (slot) state.szReader = Slots[slot - 1].Reader.c_str();
  }
}

void CCcidConnection::StartWatching() {
  Running = 1;
  ResetEvent(m_stopEvent.Get());
  ResetEvent(m_finished.Get());
  Start();
}

HRESULT CCcidConnection::AddReader(const wchar_t* reader, _CCIDCALLBACK_INFO callback, size_t* slot) {
  if (!reader || !slot) return E_INVALIDARG;
  *slot = 0;
  RefuseOnWatcherThread();
  CCriticalSectionLock lock(&m_lock);
  Stop(false);
  if (FAILED(EstablishContext())) {
    // The readers already registered stay watched: the thread takes a context once the service is back.
    if (!States.empty()) StartWatching();
    return E_FAIL;
  }
  size_t index = 0;
  while (index < Slots.size() && !Slots[index].Reader.empty()) ++index;
  const bool appended = index == Slots.size();
  try {
    if (appended) Slots.emplace_back();
    _CCIDSLOT_INFO& filled = Slots[index];
    filled.Callback = callback;
    filled.Reader = reader;
    filled.Announced = 0;
    SCARD_READERSTATEW state{};
    state.pvUserData = (void*)(index + 1);
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    state.dwEventState = SCARD_STATE_UNKNOWN;
    States.push_back(state);
  } catch (...) {
    if (appended && Slots.size() > index) {
      Slots.pop_back();
    } else if (!appended) {
      Slots[index].Reader.clear();
      Slots[index].Announced = 0;
    }
    RepointStates();
    if (!States.empty()) StartWatching();
    throw;
  }
  RepointStates();
  *slot = index + 1;
  StartWatching();
  return S_OK;
}

HRESULT CCcidConnection::RemoveReader(size_t slot) {
  if (slot == 0) return S_OK;
  RefuseOnWatcherThread();
  CCriticalSectionLock lock(&m_lock);
  Stop(false);
  HRESULT hr = S_OK;
  if (slot > Slots.size()) {
    hr = E_INVALIDARG;
  } else {
    if (slot == Slots.size()) {
      Slots.pop_back();
    } else {
      Slots[slot - 1].Reader.clear();
      Slots[slot - 1].Announced = 0;
    }
    States.erase(std::remove_if(States.begin(), States.end(),
                                [slot](const SCARD_READERSTATEW& state) { return (size_t)state.pvUserData == slot; }),
                 States.end());
    RepointStates();
  }
  if (States.empty()) return hr;
  if (FAILED(EstablishContext())) hr = E_FAIL;
  StartWatching();
  return hr;
}

void CCcidConnection::Stop(bool releaseContext) {
  RefuseOnWatcherThread();
  CCriticalSectionLock lock(&m_lock);
  if (IsStarted()) {
    Running = 0;
    SetEvent(m_stopEvent.Get());
    // SCardCancel ends only a wait that has already begun; one that comes just before the thread
    // enters its wait is lost and the wait would block for good. So cancel again until Run is left.
    do {
      CCriticalSectionLock contextLock(&m_contextLock);
      if (Context.load()) SCardCancel(Context.load());
    } while (WaitForSingleObject(m_finished.Get(), kCancelRepeat) == WAIT_TIMEOUT);
    Join();
  }
  if (releaseContext) {
    CCriticalSectionLock contextLock(&m_contextLock);
    if (Context.load()) SCardReleaseContext(Context.load());
    Context = 0;
  }
}

bool CCcidConnection::GetSlotReader(size_t slot, std::wstring& reader) {
  CCriticalSectionLock lock(&m_lock);
  if (slot == 0 || slot > Slots.size()) return false;
  reader = Slots[slot - 1].Reader;
  return true;
}

bool CCcidConnection::IsSlotAnnounced(size_t slot) {
  CCriticalSectionLock lock(&m_lock);
  return slot != 0 && slot <= Slots.size() && Slots[slot - 1].Announced.load() != 0;
}

bool CCcidConnection::AddPnpNotification() {
  RefuseOnWatcherThread();
  CCriticalSectionLock lock(&m_lock);
  if (m_pnpAdded) return true;
  Stop(false);
  if (FAILED(EstablishContext())) {
    if (!States.empty()) StartWatching();
    return false;
  }
  SCARD_READERSTATEW state{};
  state.szReader = kPnpNotification;
  state.pvUserData = nullptr;  // no slot: a change goes to ListCallback
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  state.dwEventState = SCARD_STATE_UNKNOWN;
  try {
    States.push_back(state);
  } catch (...) {
    if (!States.empty()) StartWatching();
    throw;
  }
  m_pnpAdded = true;
  StartWatching();
  return true;
}

bool CCcidConnection::IsPnpNotificationAdded() {
  CCriticalSectionLock lock(&m_lock);
  return m_pnpAdded;
}

HRESULT CCcidConnection::ListCcidReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers) {
  readers->clear();
  wchar_t* list = nullptr;
  DWORD chars = SCARD_AUTOALLOCATE;
  const LONG result = SCardListReadersW(context, nullptr, (LPWSTR)&list, &chars);
  if (result == SCARD_E_NO_READERS_AVAILABLE) return S_OK;
  if (result != SCARD_S_SUCCESS) return E_FAIL;
  try {
    // Bounded by the length the service gave, whatever the terminators say.
    const wchar_t* end = list + chars;
    for (const wchar_t* name = list; name < end && *name;) {
      const size_t length = wcsnlen(name, end - name);
      readers->emplace_back(name, length);
      name += length + 1;
    }
  } catch (...) {
    SCardFreeMemory(context, list);
    throw;
  }
  SCardFreeMemory(context, list);
  return S_OK;
}

void CCcidConnection::RenewContext() {
  CCriticalSectionLock contextLock(&m_contextLock);
  if (Context.load()) SCardReleaseContext(Context.load());
  Context = 0;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS) Context = context;
}

void CCcidConnection::ReportChanges() {
  for (SCARD_READERSTATEW& state : States) {
    const DWORD event = state.dwEventState;
    const DWORD current = state.dwCurrentState;
    if (event == current) continue;
    const size_t slot = (size_t)state.pvUserData;
    if (slot) {
      _CCIDSLOT_INFO& info = Slots[slot - 1];
      const _CCIDCALLBACK_INFO callback = info.Callback;
      if ((event ^ current) & (SCARD_STATE_EMPTY | SCARD_STATE_PRESENT)) {
        if (event & SCARD_STATE_EMPTY) {
          info.Announced = 1;
          if (callback.Proc) callback.Proc(callback.Context, this, CCID_NO_CARD);
        }
        if (event & SCARD_STATE_PRESENT) {
          info.Announced = 1;
          if (callback.Proc) callback.Proc(callback.Context, this, CCID_CARD_PRESENT);
        }
      }
      if ((event & SCARD_STATE_IGNORE) && info.Announced.load()) {
        info.Announced = 0;
        if (callback.Proc) callback.Proc(callback.Context, this, CCID_READER_GONE);
      }
    } else if ((event & SCARD_STATE_CHANGED) && ListCallback.Proc) {
      ListCallback.Proc(ListCallback.Context, this, CCID_LIST_CHANGED);
    }
    state.dwCurrentState = event;
  }
}

DWORD CCcidConnection::Run() {
  m_threadId = GetCurrentThreadId();
  while (Running.load()) {
    ReportChanges();
    // The service leaves an entry marked SCARD_STATE_IGNORE out of the wait for good, so a reader that
    // went away would never be reported again once plugged back in: while one is gone the wait is
    // bounded and the entry is looked at afresh each time it runs out.
    bool gone = false;
    for (const SCARD_READERSTATEW& state : States)
      if (state.pvUserData && (state.dwCurrentState & SCARD_STATE_IGNORE)) gone = true;
    const SCARDCONTEXT context = Context.load();
    const LONG result = context ? SCardGetStatusChangeW(context, gone ? kGoneProbe : INFINITE, States.data(),
                                                        (DWORD)States.size())
                                : SCARD_E_NO_SERVICE;
    if (result == SCARD_S_SUCCESS) continue;
    if (!Running.load()) break;
    if (result == SCARD_E_TIMEOUT) {
      for (SCARD_READERSTATEW& state : States) {
        if (!state.pvUserData || !(state.dwCurrentState & SCARD_STATE_IGNORE)) continue;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        state.dwEventState = SCARD_STATE_UNAWARE;
      }
      continue;
    }
    // The service stopped or restarted: the old context will never work again.
    if (IsContextLost(result)) RenewContext();
    WaitForSingleObject(m_stopEvent.Get(), kRetryPause);
  }
  m_threadId = 0;
  SetEvent(m_finished.Get());
  return 0;
}
