#include "Thread.h"

#include <exception>
#include <future>
#include <system_error>

namespace {
// An address inside the module this code is linked into.
void ThreadModuleAnchor() {}
}  // namespace

CThread::~CThread() {
  Join();
  if (m_thread.joinable()) std::terminate();
  if (m_ended) CloseHandle(m_ended);
}

void CThread::Start() {
  if (m_thread.joinable()) return;
  if (!m_ended) {
    m_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_ended) throw std::system_error(int(GetLastError()), std::system_category());
  }
  ResetEvent(m_ended);
  m_fate = kRunning;
  // Run waits until the thread object is stored: a Run that stops its own object (a self-join)
  // must see its thread as held, not the empty object of the moment before the assignment.
  std::promise<void> stored;
  std::shared_future<void> ready = stored.get_future().share();
  m_thread = std::thread([this, ready] {
    ready.wait();
    Run();
    SetEvent(m_ended);
    // After this exchange the object is touched only when it was left to this thread.
    if (m_fate.exchange(kEnded) != kAbandoned) return;
    HMODULE pin = m_pin;
    delete this;
    // The code still running here may belong to a module the host has already let go of.
    if (pin) FreeLibraryAndExitThread(pin, 0);
  });
  stored.set_value();
}

bool CThread::JoinFor(DWORD limit) {
  if (!m_thread.joinable()) return true;
  if (m_thread.get_id() == std::this_thread::get_id())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  if (WaitForSingleObject(m_ended, limit) != WAIT_OBJECT_0) return false;
  m_thread.join();
  return true;
}

bool CThread::Abandon() {
  if (!m_thread.joinable()) return false;
  // Taken before the thread may own the object: once it does, it may end at any moment.
  HMODULE pin = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadModuleAnchor), &pin);
  m_pin = pin;
  // Let go first: a thread that finds itself abandoned deletes the object at once, and the object
  // must not hold a joinable thread then.
  m_thread.detach();
  int expected = kRunning;
  if (m_fate.compare_exchange_strong(expected, kAbandoned)) return true;
  // Run returned meanwhile, and the thread no longer touches the object: it stays the caller's.
  m_pin = nullptr;
  if (pin) FreeLibrary(pin);
  return false;
}

void CThread::Join() {
  if (!m_thread.joinable()) return;
  if (m_thread.get_id() == std::this_thread::get_id())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  m_thread.join();
}
