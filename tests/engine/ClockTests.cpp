// Timer arithmetic on the 32-bit tick count: elapsed time, expiry and the remaining wait, across the
// wrap, with INFINITE as the switched-off timer; and the clock a test installs.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>

#include "Clock.h"
#include "doubles/FakeClock.h"

namespace {

struct TimerCase {
  const char* name;
  DWORD start;
  DWORD period;
  DWORD now;
  DWORD elapsed;
  bool expired;
  DWORD remaining;
};

void PrintTo(const TimerCase& c, std::ostream* os) { *os << c.name; }

class TimerTable : public ::testing::TestWithParam<TimerCase> {};

TEST_P(TimerTable, ElapsedExpiredRemaining) {
  const TimerCase& c = GetParam();
  EXPECT_EQ(TicksElapsed(c.start, c.now), c.elapsed);
  EXPECT_EQ(TimerExpired(c.start, c.period, c.now), c.expired);
  EXPECT_EQ(TimerRemaining(c.start, c.period, c.now), c.remaining);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerTable,
    ::testing::Values(TimerCase{"JustStarted", 1000, 3000, 1000, 0, false, 3000},
                      TimerCase{"Running", 1000, 3000, 2500, 1500, false, 1500},
                      TimerCase{"OneShort", 1000, 3000, 3999, 2999, false, 1},
                      TimerCase{"ExactlyDue", 1000, 3000, 4000, 3000, true, 0},
                      TimerCase{"LongOverdue", 1000, 3000, 90000, 89000, true, 0},
                      // started 0x100 before the wrap, 0x200 after it: 0x300 = 768 ms have passed
                      TimerCase{"RunningAcrossWrap", 0xFFFFFF00, 3000, 0x200, 0x300, false, 3000 - 0x300},
                      TimerCase{"DueAcrossWrap", 0xFFFFFF00, 3000, 0xAB8, 0xBB8, true, 0},
                      TimerCase{"ZeroPeriodIsDueAtOnce", 500, 0, 500, 0, true, 0},
                      TimerCase{"InfiniteNeverExpires", 0, INFINITE, 0xFFFFFFFE, 0xFFFFFFFE, false, INFINITE}),
    [](const ::testing::TestParamInfo<TimerCase>& info) { return info.param.name; });

TEST(Clock, InstalledClockIsTheEnginesTimeUntilTheScopeEnds) {
  IClock* system = g_pClock;
  {
    CFakeClock clock(0xFFFFFFF0);
    ScopedClock installed(&clock);
    EXPECT_EQ(Ticks(), 0xFFFFFFF0u);
    clock.Advance(0x20);
    EXPECT_EQ(Ticks(), 0x10u);
  }
  EXPECT_EQ(g_pClock, system);
  EXPECT_EQ(g_pClock, &SystemClock());
}

TEST(Clock, SystemClockIsTheTickCount) {
  const DWORD before = GetTickCount();
  const DWORD now = SystemClock().Now();
  const DWORD after = GetTickCount();
  EXPECT_LE(TicksElapsed(before, now), TicksElapsed(before, after));
}

}  // namespace
