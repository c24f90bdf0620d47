// The calendar, as the module's core code names it; defined once, in <tavex/time.hpp>.
#pragma once

#include <cstdint>

#include "tavex/time.hpp"

namespace tavex::core {

using tavex::CivilDate;
using tavex::civil_from_days;
using tavex::days_from_civil;
using tavex::days_in_month;
using tavex::is_leap_year;

// The calendar range of the module's date-time value; wider than Python's 1..9999.
inline constexpr std::int32_t kMinYear = DateTime::kMinYear;
inline constexpr std::int32_t kMaxYear = DateTime::kMaxYear;
inline constexpr std::int64_t kMinDay = DateTime::kMinDay;
inline constexpr std::int64_t kMaxDay = DateTime::kMaxDay;
// 1970-01-01 counted from 0001-01-01 as day 1 (Python's date.toordinal()).
inline constexpr std::int64_t kEpochOrdinal = 719163;

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(days_from_civil(1, 1, 1) == 1 - kEpochOrdinal);
static_assert(civil_from_days(kMinDay) == CivilDate{kMinYear, 1, 1});
static_assert(civil_from_days(kMaxDay) == CivilDate{kMaxYear, 12, 31});

}  // namespace tavex::core
