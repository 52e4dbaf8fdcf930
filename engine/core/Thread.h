// The thread object readers and the PC/SC watcher derive from, and the scoped critical-section lock.
#pragma once

#include <windows.h>

#include <atomic>

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
  // Join, but waiting no longer than limit ms for Run to return; false (the thread still held) when
  // it has not.
  bool JoinFor(DWORD limit);
  // Leaves a thread that JoinFor gave up on to end by itself: from now on the thread owns the object
  // and deletes it once Run returns, and it keeps the module that holds its code loaded until then.
  // True when the object now belongs to the thread; false when Run returned meanwhile (the caller
  // still owns the object, and no thread is held any more). Never terminates the thread.
  bool Abandon();
  bool IsStarted() const { return m_handle != nullptr; }

 protected:
  virtual DWORD Run() = 0;

 private:
  enum : int { kRunning, kEnded, kAbandoned };

  static unsigned __stdcall Entry(void* context);
  // Closes the handle of a thread that has ended or was let go.
  void Release();

  // A Windows thread, not std::thread: the threading runtime linked into the add-in would give a
  // host thread that joins one a record of its own, handles included, that nothing frees when the
  // host unloads the add-in.
  HANDLE m_handle = nullptr;  // the thread held; null: none
  DWORD m_id = 0;
  HANDLE m_ended = nullptr;  // manual reset: Run of the current thread has returned
  std::atomic<int> m_fate{kRunning};
  HMODULE m_pin = nullptr;  // the module reference an abandoned thread gives back as it ends
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
