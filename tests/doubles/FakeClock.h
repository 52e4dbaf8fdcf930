// Test double: a clock the test moves by hand, or one that follows real time from a chosen tick (to
// put a real wait across the 32-bit wrap). Install it with ScopedClock for the length of a test.
#pragma once

#include <windows.h>

#include <atomic>

#include "Clock.h"

class CFakeClock : public IClock {
 public:
  explicit CFakeClock(DWORD start = 0) : m_now(start) {}

  DWORD Now() override { return m_follow ? GetTickCount() + m_offset.load() : m_now.load(); }
  void Set(DWORD now) { m_now = now; }
  void Advance(DWORD milliseconds) { m_now += milliseconds; }
  // From now on the clock runs with real time, reading start at this moment.
  void FollowSystemFrom(DWORD start) {
    m_offset = start - GetTickCount();
    m_follow = true;
  }
  bool IsManual() const { return !m_follow; }

 private:
  std::atomic<DWORD> m_now;
  std::atomic<DWORD> m_offset{0};
  std::atomic<bool> m_follow{false};
};

class ScopedClock {
 public:
  explicit ScopedClock(IClock* clock) : m_previous(g_pClock) { g_pClock = clock; }
  ~ScopedClock() { g_pClock = m_previous; }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  IClock* m_previous;
};
