// Test support: a lock over a critical section, for state that simulators, fake hosts and the
// soaks share between threads. MinGW's std::mutex makes an event at its first contention and keeps
// it for the mutex's life, so a lock first contended in the middle of a soak would look like a
// handle the add-in left behind; a critical section takes no handle.
#pragma once

#include <windows.h>

class CSectionLock {
 public:
  CSectionLock() { InitializeCriticalSection(&m_section); }
  ~CSectionLock() { DeleteCriticalSection(&m_section); }
  CSectionLock(const CSectionLock&) = delete;
  CSectionLock& operator=(const CSectionLock&) = delete;

  void lock() { EnterCriticalSection(&m_section); }
  void unlock() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};
