// The thread object readers and the PC/SC watcher derive from, and the scoped critical-section lock.
#pragma once

#include <windows.h>

#include <thread>

#include "Object.h"

class CThread : public CObject {
 public:
  CThread() = default;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  // Joins a thread still held: it waits for Run to return, however long that takes, and runs after
  // the derived class's members are gone; so a derived class stops its Run and joins in its own
  // destructor. Destroyed on its own thread, the object ends the process (std::terminate): a thread
  // cannot join itself, and Join's error cannot leave a destructor.
  ~CThread() override;

  // Starts Run on a new thread; does nothing while a thread is held (until Join).
  void Start();
  // Waits for the thread and lets it go. From the thread itself: std::system_error
  // (resource_deadlock_would_occur) instead of a hang.
  void Join();
  bool IsStarted() const { return m_thread.joinable(); }

 protected:
  virtual DWORD Run() = 0;

 private:
  std::thread m_thread;
};

// Holds a critical section for a scope; Release leaves it early and the destructor then does nothing.
class CCriticalSectionLock {
 public:
  explicit CCriticalSectionLock(CRITICAL_SECTION* section) : m_section(section) {
    EnterCriticalSection(m_section);
    m_held = true;
  }
  ~CCriticalSectionLock() { Release(); }
  CCriticalSectionLock(const CCriticalSectionLock&) = delete;
  CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

  void Release() {
    if (m_held) {
      m_held = false;
      LeaveCriticalSection(m_section);
    }
  }
  bool IsHeld() const { return m_held; }

 private:
  CRITICAL_SECTION* m_section;
  bool m_held = false;
};
