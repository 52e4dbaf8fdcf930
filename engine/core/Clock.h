// The engine's one source of time: a 32-bit millisecond tick count that wraps after 49.7 days.
// Timers keep their start tick and compare elapsed time, never end ticks, so the wrap does not
// matter. Tests install a clock of their own to run timer rules without sleeping.
#pragma once

#include <windows.h>

class IClock {
 public:
  virtual DWORD Now() = 0;

 protected:
  ~IClock() = default;
};

// GetTickCount.
IClock& SystemClock();

// Never null. Replaced only while no thread that reads it runs (a test's set-up and tear-down).
extern IClock* g_pClock;

inline DWORD Ticks() { return g_pClock->Now(); }

// Milliseconds from start to now, across the wrap.
inline DWORD TicksElapsed(DWORD start, DWORD now) { return now - start; }

// A timer is off when its period is INFINITE; otherwise it has run out once period milliseconds
// have passed since start.
inline bool TimerExpired(DWORD start, DWORD period, DWORD now) {
  return period != INFINITE && TicksElapsed(start, now) >= period;
}

// What is left of period at now (0 once it has run out; INFINITE for a timer that is off), for the
// time-out of a wait.
inline DWORD TimerRemaining(DWORD start, DWORD period, DWORD now) {
  if (period == INFINITE) return INFINITE;
  DWORD elapsed = TicksElapsed(start, now);
  return elapsed >= period ? 0 : period - elapsed;
}
