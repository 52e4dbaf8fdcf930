#include "Thread.h"

#include <exception>
#include <system_error>

CThread::~CThread() {
  Join();
  if (m_thread.joinable()) std::terminate();
}

void CThread::Start() {
  if (m_thread.joinable()) return;
  m_thread = std::thread([this] { Run(); });
}

void CThread::Join() {
  if (!m_thread.joinable()) return;
  if (m_thread.get_id() == std::this_thread::get_id())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  m_thread.join();
}
