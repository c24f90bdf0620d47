// Proleptic Gregorian calendar arithmetic on plain integers (no Python here).
#pragma once

#include <cstdint>

namespace tavex::core {

// The calendar range of the module's date-time value; wider than Python's 1..9999.
inline constexpr std::int32_t kMinYear = -262143;
inline constexpr std::int32_t kMaxYear = 262142;

struct CivilDate {
  std::int32_t year;
  std::uint8_t month;  // 1..12
  std::uint8_t day;    // 1..31
  friend constexpr bool operator==(const CivilDate&, const CivilDate&) = default;
};

constexpr bool is_leap_year(std::int64_t y) noexcept {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
  constexpr unsigned char kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29u : kDays[m];
}

// Days since 1970-01-01. The year is shifted to start in March so the leap day comes last.
// Exact for |y| < 2^40; the module only uses kMinYear..kMaxYear (and one year either side).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                                  // [0, 399]
  const std::int64_t mp = (m + 9) % 12;                                    // [0, 11], March = 0
  const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;                     // [0, 365]
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;          // [0, 146096]
  return era * 146097 + doe - 719468;  // 719468 days from 0000-03-01 to 1970-01-01
}

// Inverse of days_from_civil, without signed division: the day count is shifted by whole
// 400-year eras so it is positive, then split with multiply-and-shift steps.
// Exact from kMinDay - 1000 to kMaxDay + 1000 (the shifted count stays below 2^30).
constexpr CivilDate civil_from_days(std::int64_t z) noexcept {
  constexpr std::int64_t kEras = 700;  // shifts kMinDay - 1 above zero; 4n + 3 stays below 2^32
  const auto n = static_cast<std::uint32_t>(z + 719468 + kEras * 146097);  // days since a March 1
  const std::uint32_t n1 = 4 * n + 3, century = n1 / 146097, nc = n1 % 146097 / 4;
  const std::uint64_t p2 = std::uint64_t{2939745} * (4 * nc + 3);
  const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
  const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2939745 / 4;  // from March 1
  const std::uint32_t n3 = 2141 * day_of_year + 197913;
  const std::uint32_t m = n3 >> 16, d = (n3 & 0xFFFF) / 2141 + 1;
  const std::uint32_t j = day_of_year >= 306;  // January or February: next calendar year
  const std::int64_t y = std::int64_t{100 * century + year_of_century + j} - kEras * 400;
  return {static_cast<std::int32_t>(y), static_cast<std::uint8_t>(j ? m - 12 : m),
          static_cast<std::uint8_t>(d)};
}

inline constexpr std::int64_t kMinDay = days_from_civil(kMinYear, 1, 1);
inline constexpr std::int64_t kMaxDay = days_from_civil(kMaxYear, 12, 31);
// 1970-01-01 counted from 0001-01-01 as day 1 (Python's date.toordinal()).
inline constexpr std::int64_t kEpochOrdinal = 719163;

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(days_from_civil(1, 1, 1) == 1 - kEpochOrdinal);
static_assert(civil_from_days(kMinDay) == CivilDate{kMinYear, 1, 1});
static_assert(civil_from_days(kMaxDay) == CivilDate{kMaxYear, 12, 31});

}  // namespace tavex::core
