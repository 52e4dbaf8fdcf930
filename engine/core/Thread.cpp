#include "Thread.h"

#include <exception>
#include <future>
#include <system_error>

CThread::~CThread() {
  Join();
  if (m_thread.joinable()) std::terminate();
}

void CThread::Start() {
  if (m_thread.joinable()) return;
  // Run waits until the thread object is stored: a Run that stops its own object (a self-join)
  // must see its thread as held, not the empty object of the moment before the assignment.
  std::promise<void> stored;
  std::shared_future<void> ready = stored.get_future().share();
  m_thread = std::thread([this, ready] {
    ready.wait();
    Run();
  });
  stored.set_value();
}

void CThread::Join() {
  if (!m_thread.joinable()) return;
  if (m_thread.get_id() == std::this_thread::get_id())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  m_thread.join();
}
