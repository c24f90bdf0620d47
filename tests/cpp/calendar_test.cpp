// Calendar arithmetic against a day-by-day count over the whole year range, plus fixed anchors.
#include <gtest/gtest.h>

#include <cstdint>

#include "tavex/time.hpp"
#include "test_support.hpp"

namespace tavex {
namespace {

// 1970-01-01 counted from 0001-01-01 as day 1 (Python's date.toordinal()).
constexpr std::int64_t kEpochOrdinal = 719163;

// Deliberately naive, so it shares nothing with the closed forms under test.
bool naive_leap(std::int64_t y) {
  if (y % 400 == 0) return true;
  if (y % 100 == 0) return false;
  return y % 4 == 0;
}
unsigned naive_month_length(std::int64_t y, unsigned m) {
  if (m == 2) return naive_leap(y) ? 29 : 28;
  return (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
}

TEST(Calendar, EveryDayOfTheRangeMatchesACountedCalendar) {
  std::int64_t z = DateTime::kMinDay, bad = 0, first_bad = 0;
  for (std::int64_t y = DateTime::kMinYear; y <= DateTime::kMaxYear; ++y) {
    for (unsigned m = 1; m <= 12; ++m) {
      const unsigned length = naive_month_length(y, m);
      if (days_in_month(y, m) != length && bad++ == 0) first_bad = z;
      for (unsigned d = 1; d <= length; ++d, ++z) {
        const CivilDate c = civil_from_days(z);
        const bool same = c.year == y && c.month == m && c.day == d;
        if ((!same || days_from_civil(y, m, d) != z) && bad++ == 0) first_bad = z;
      }
    }
  }
  EXPECT_EQ(bad, 0) << "first mismatch at day " << first_bad;
  EXPECT_EQ(z, DateTime::kMaxDay + 1);  // the count ends exactly on 31 December of the last year
}

TEST(Calendar, RangeLimits) {
  EXPECT_EQ(DateTime::kMinDay, -96'465'292);
  EXPECT_EQ(DateTime::kMaxDay, 95'026'236);
  // One step outside the range still computes, which the scanner's offset carry relies on.
  EXPECT_EQ(civil_from_days(DateTime::kMinDay - 1), (CivilDate{DateTime::kMinYear - 1, 12, 31}));
  EXPECT_EQ(civil_from_days(DateTime::kMaxDay + 1), (CivilDate{DateTime::kMaxYear + 1, 1, 1}));
}

struct Anchor {
  CivilDate date;
  std::int64_t days;  // since 1970-01-01
};

class CalendarAnchor : public ::testing::TestWithParam<Anchor> {};

TEST_P(CalendarAnchor, BothDirections) {
  const auto [date, days] = GetParam();
  EXPECT_EQ(days_from_civil(date.year, date.month, date.day), days);
  EXPECT_EQ(civil_from_days(days), date);
}

INSTANTIATE_TEST_SUITE_P(
    Known, CalendarAnchor,
    ::testing::Values(Anchor{{1970, 1, 1}, 0}, Anchor{{1969, 12, 31}, -1},
                      Anchor{{1, 1, 1}, 1 - kEpochOrdinal},  // Python's ordinal 1
                      Anchor{{9999, 12, 31}, 3'652'059 - kEpochOrdinal},
                      Anchor{{2000, 2, 29}, 11'016}, Anchor{{1900, 3, 1}, -25'508},
                      Anchor{{0, 2, 29}, -719'469},  // year 0 is a leap year
                      Anchor{{-4, 2, 29}, -720'930}),
    CaseName());

}  // namespace
}  // namespace tavex
