// The module's date-time value and its arithmetic; defined once, in <tavex/time.hpp>.
#pragma once

#include "core/civil.hpp"

namespace tavex::core {

using Instant = tavex::DateTime;
using Fields = tavex::DateFields;
using tavex::from_fields;
using tavex::from_unix_ms;
using tavex::kNanosPerDay;
using tavex::kNanosPerSecond;
using tavex::kSecondsPerDay;
using tavex::to_fields;
using tavex::truncate_to_day;
using tavex::detail::floor_div;
using tavex::detail::to_unix_nanos;
using tavex::detail::truncates_by_date;
// A clock reading at or after 1970.
constexpr Instant from_unix(std::int64_t secs, std::uint32_t nanos) noexcept {
  return tavex::detail::from_clock(secs, nanos);
}

}  // namespace tavex::core
