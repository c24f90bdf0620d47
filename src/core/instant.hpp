// The module's date-time value: a UTC instant with nanosecond resolution, and its arithmetic.
#pragma once

#include <cstdint>
#include <optional>

#include "core/civil.hpp"

namespace tavex::core {

inline constexpr std::int64_t kSecondsPerDay = 86'400;
inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
inline constexpr std::int64_t kNanosPerDay = kSecondsPerDay * kNanosPerSecond;

// An instant in UTC, no offset stored. A fraction of a second or more marks a leap second,
// which is only allowed on second 59 of a minute.
struct Instant {
  std::int64_t days;      // since 1970-01-01, kMinDay..kMaxDay
  std::uint32_t seconds;  // of the day, 0..86'399
  std::uint32_t nanos;    // 0..1'999'999'999
  friend constexpr bool operator==(const Instant&, const Instant&) = default;
};

// An instant broken into calendar fields, with a leap second folded back to second 59.
struct Fields {
  std::int32_t year;
  std::uint8_t month, day, hour, minute, second;
  std::uint32_t nanos;  // 0..999'999'999
  bool leap;
  friend constexpr bool operator==(const Fields&, const Fields&) = default;
};

constexpr Fields to_fields(const Instant& v) noexcept {
  const CivilDate date = civil_from_days(v.days);
  const bool leap = v.nanos >= kNanosPerSecond;
  return {date.year,
          date.month,
          date.day,
          static_cast<std::uint8_t>(v.seconds / 3600),
          static_cast<std::uint8_t>(v.seconds / 60 % 60),
          static_cast<std::uint8_t>(v.seconds % 60),
          static_cast<std::uint32_t>(leap ? v.nanos - kNanosPerSecond : v.nanos),
          leap};
}

// Fields already known to be valid (they come from a Python datetime).
constexpr Instant from_fields(std::int64_t year, unsigned month, unsigned day, unsigned hour,
                              unsigned minute, unsigned second, std::uint32_t nanos) noexcept {
  return {days_from_civil(year, month, day), hour * 3600u + minute * 60u + second, nanos};
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return q - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Milliseconds since 1970 (no leap seconds) to an instant; nothing outside the calendar range.
// Floor division as quotient and remainder with one correction step each, so no product can
// overflow, not even for INT64_MIN.
constexpr std::optional<Instant> from_unix_ms(std::int64_t ms) noexcept {
  std::int64_t secs = ms / 1000, rem_ms = ms % 1000;
  if (rem_ms < 0) {
    rem_ms += 1000;
    --secs;
  }
  std::int64_t days = secs / kSecondsPerDay, sod = secs % kSecondsPerDay;
  if (sod < 0) {
    sod += kSecondsPerDay;
    --days;
  }
  if (days < kMinDay || days > kMaxDay) return std::nullopt;
  return Instant{days, static_cast<std::uint32_t>(sod),
                 static_cast<std::uint32_t>(rem_ms * 1'000'000)};
}

// A clock reading at or after 1970: whole seconds and nanoseconds 0..999'999'999.
constexpr Instant from_unix(std::int64_t secs, std::uint32_t nanos) noexcept {
  const std::int64_t days = secs / kSecondsPerDay;
  return {days, static_cast<std::uint32_t>(secs - days * kSecondsPerDay), nanos};
}

// Nanoseconds since 1970 as a signed 64-bit count, or nothing if it does not fit.
constexpr std::optional<std::int64_t> to_unix_nanos(const Instant& v) noexcept {
  const std::int64_t secs = v.days * kSecondsPerDay + v.seconds;  // |secs| < 2^43
  std::int64_t out = 0;
  if (secs >= 0) {
    if (__builtin_mul_overflow(secs, kNanosPerSecond, &out) ||
        __builtin_add_overflow(out, std::int64_t{v.nanos}, &out))
      return std::nullopt;
  } else {
    // Before 1970 go through secs + 1, so the product cannot overflow where the sum fits.
    if (__builtin_mul_overflow(secs + 1, kNanosPerSecond, &out) ||
        __builtin_add_overflow(out, std::int64_t{v.nanos} - kNanosPerSecond, &out))
      return std::nullopt;
  }
  return out;
}

// Midnight that starts v's UTC day, if v lies in the signed 64-bit nanosecond window.
constexpr std::optional<Instant> truncate_to_day(const Instant& v) noexcept {
  const std::optional<std::int64_t> t = to_unix_nanos(v);
  if (!t) return std::nullopt;
  // Take t - r (t >= 0) or t - (day + r) (t < 0) as a day count: floor(t / day). The midnight
  // itself is not formed in nanoseconds, since it lies before INT64_MIN on 1677-09-21.
  return Instant{floor_div(*t, kNanosPerDay), 0, 0};
}

// Every instant of the years 1678..2261 lies inside the window, so those keep their date
// and drop the time without any arithmetic (and without the time of day).
constexpr bool truncates_by_date(std::int32_t year) noexcept { return year >= 1678 && year <= 2261; }

// The same on calendar fields.
constexpr std::optional<Fields> truncate_to_day(const Fields& f) noexcept {
  if (truncates_by_date(f.year)) [[likely]]
    return Fields{f.year, f.month, f.day, 0, 0, 0, 0, false};
  const std::optional<Instant> day = truncate_to_day(
      from_fields(f.year, f.month, f.day, f.hour, f.minute, f.second,
                  f.nanos + (f.leap ? static_cast<std::uint32_t>(kNanosPerSecond) : 0u)));
  if (!day) return std::nullopt;
  return to_fields(*day);
}

}  // namespace tavex::core
