// The reader wing's shared rules: the loop's timer check that shortens the next wait but never
// lengthens it, and how a reader's line is told apart (the empty-field line, a key line, an
// identification line) with its line end cut.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ReaderSupport.h"

namespace {

using reader_support::CutLineEnd;
using reader_support::IsNoCard;
using reader_support::LooksLikeKeyLine;
using reader_support::TimerDue;

struct DueCase {
  const char* Name;
  DWORD Start;
  UINT Period;
  DWORD Now;
  UINT WaitBefore;
  bool Due;
  UINT WaitAfter;
};

void PrintTo(const DueCase& c, std::ostream* os) { *os << c.Name; }

class TimerDueTable : public ::testing::TestWithParam<DueCase> {};

TEST_P(TimerDueTable, DueOrTheWaitShortenedToWhatIsLeft) {
  const DueCase& c = GetParam();
  UINT wait = c.WaitBefore;
  EXPECT_EQ(c.Due, TimerDue(wait, c.Start, c.Period, c.Now));
  EXPECT_EQ(c.WaitAfter, wait);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerDueTable,
    ::testing::Values(DueCase{"RunningShortensTheWait", 1000, 3000, 2500, INFINITE, false, 1500},
                      DueCase{"RunningKeepsAShorterWait", 1000, 3000, 2500, 200, false, 200},
                      DueCase{"OneShort", 1000, 3000, 3999, INFINITE, false, 1},
                      DueCase{"DueLeavesTheWait", 1000, 3000, 4000, 700, true, 700},
                      DueCase{"LongOverdue", 1000, 3000, 90000, INFINITE, true, INFINITE},
                      // 0x100 before the wrap to 0x200 after it: 768 ms have passed
                      DueCase{"RunningAcrossTheWrap", 0xFFFFFF00, 3000, 0x200, INFINITE, false, 3000 - 0x300},
                      DueCase{"DueAcrossTheWrap", 0xFFFFFF00, 3000, 0xAB8, INFINITE, true, INFINITE},
                      DueCase{"ZeroPeriodIsDueAtOnce", 500, 0, 500, 50, true, 50}),
    [](const ::testing::TestParamInfo<DueCase>& info) { return std::string(info.param.Name); });

struct LineCase {
  const char* Name;
  const wchar_t* Line;
  bool NoCard;
  bool KeyLine;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.Name; }

class ReaderLineTable : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReaderLineTable, ToldApart) {
  const LineCase& c = GetParam();
  EXPECT_EQ(c.NoCard, IsNoCard(c.Line));
  EXPECT_EQ(c.KeyLine, LooksLikeKeyLine(c.Line));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReaderLineTable,
    ::testing::Values(LineCase{"NoCard", L"No card", true, false},
                      LineCase{"NoCardInAnyCase", L"NO CARD", true, false},
                      LineCase{"NoCardWithMore", L"No card now", false, false},
                      LineCase{"EmMarineKey", L"Em-Marine[0A1B] 123,45678", false, true},
                      LineCase{"DallasKey", L"DALLAS[0102030405060708] 000,00000", false, true},
                      LineCase{"Identification", L"KD-6 A S/N: 555 [301]", false, false},
                      LineCase{"NoBrackets", L"Software version: 2.1", false, false},
                      LineCase{"Empty", L"", false, false}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.Name); });

TEST(ReaderLineEnd, OnlyTheTrailingBreaksGo) {
  const struct {
    const wchar_t* Line;
    const wchar_t* Cut;
  } cases[] = {
      {L"No card\r\n", L"No card"},
      {L"No card\n\r\r", L"No card"},
      {L"a\rb\nc", L"a\rb\nc"},
      {L"\r\n", L""},
      {L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring line = c.Line;
    CutLineEnd(&line);
    EXPECT_EQ(std::wstring(c.Cut), line);
  }
}

}  // namespace
