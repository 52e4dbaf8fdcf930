#include "Thread.h"

#include <process.h>

#include <cerrno>
#include <exception>
#include <system_error>

namespace {
// An address inside the module this code is linked into.
void ThreadModuleAnchor() {}
}  // namespace

CThread::~CThread() {
  Join();
  if (m_handle) std::terminate();
  if (m_ended) CloseHandle(m_ended);
}

unsigned __stdcall CThread::Entry(void* context) {
  CThread* self = static_cast<CThread*>(context);
  self->Run();
  SetEvent(self->m_ended);
  // After this exchange the object is touched only when it was left to this thread.
  if (self->m_fate.exchange(kEnded) != kAbandoned) return 0;
  HMODULE pin = self->m_pin;
  delete self;
  // The code still running here may belong to a module the host has already let go of.
  if (pin) FreeLibraryAndExitThread(pin, 0);
  return 0;
}

void CThread::Start() {
  if (m_handle) return;
  if (!m_ended) {
    m_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_ended) throw std::system_error(int(GetLastError()), std::system_category());
  }
  ResetEvent(m_ended);
  m_fate = kRunning;
  // Suspended until the handle is stored: a Run that stops its own object (a self-join) must see
  // its thread as held, not the empty object of the moment before.
  unsigned id = 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CThread::Entry, this, CREATE_SUSPENDED, &id));
  if (!handle) throw std::system_error(errno, std::generic_category());
  m_handle = handle;
  m_id = id;
  ResumeThread(handle);
}

void CThread::Release() {
  CloseHandle(m_handle);
  m_handle = nullptr;
  m_id = 0;
}

bool CThread::JoinFor(DWORD limit) {
  if (!m_handle) return true;
  if (m_id == GetCurrentThreadId())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  if (WaitForSingleObject(m_ended, limit) != WAIT_OBJECT_0) return false;
  WaitForSingleObject(m_handle, INFINITE);
  Release();
  return true;
}

bool CThread::Abandon() {
  if (!m_handle) return false;
  // Taken before the thread may own the object: once it does, it may end at any moment.
  HMODULE pin = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadModuleAnchor), &pin);
  m_pin = pin;
  // Let go first: a thread that finds itself abandoned deletes the object at once, and the object
  // must not hold the thread then.
  Release();
  int expected = kRunning;
  if (m_fate.compare_exchange_strong(expected, kAbandoned)) return true;
  // Run returned meanwhile, and the thread no longer touches the object: it stays the caller's.
  m_pin = nullptr;
  if (pin) FreeLibrary(pin);
  return false;
}

void CThread::Join() {
  if (!m_handle) return;
  if (m_id == GetCurrentThreadId())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  WaitForSingleObject(m_handle, INFINITE);
  Release();
}
