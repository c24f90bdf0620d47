// tavex's time core: the proleptic Gregorian calendar, the UTC date-time value records hold,
// Unix milliseconds, truncation to the day, and RFC 3339 text in both directions. tavex
// itself is built on these very definitions, so C++ code reads and writes times exactly as
// str_to_date, date_to_str, ms_to_date and truncate_to_day do.
//
// Header-only, C++17 or later, no Python.h; nothing here allocates except format_rfc3339.
#pragma once

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<tavex/time.hpp> needs C++17 or later"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// Everything a header of tavex defines stays inside the module that includes it: an inline
// variable with default visibility would be one process-wide symbol shared by every module.
#pragma GCC visibility push(hidden)

namespace tavex {

constexpr bool is_leap_year(std::int64_t y) noexcept {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
  constexpr unsigned char kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29u : kDays[m];
}

// Days since 1970-01-01 of a proleptic Gregorian date (year 0 exists). The year is shifted to
// start in March so the leap day comes last. Exact for |year| < 2^40.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                                  // [0, 399]
  const std::int64_t mp = (m + 9) % 12;                                    // [0, 11], March = 0
  const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;                     // [0, 365]
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;          // [0, 146096]
  return era * 146097 + doe - 719468;  // 719468 days from 0000-03-01 to 1970-01-01
}

struct CivilDate {
  std::int32_t year;
  std::uint8_t month;  // 1..12
  std::uint8_t day;    // 1..31
  friend constexpr bool operator==(const CivilDate& a, const CivilDate& b) noexcept {
    return a.year == b.year && a.month == b.month && a.day == b.day;
  }
  friend constexpr bool operator!=(const CivilDate& a, const CivilDate& b) noexcept {
    return !(a == b);
  }
};

// Inverse of days_from_civil, without signed division: the day count is shifted by whole
// 400-year eras so it is positive, then split with multiply-and-shift steps.
// Exact from DateTime::kMinDay - 1000 to DateTime::kMaxDay + 1000.
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

// The same, into separate fields.
constexpr void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month,
                               unsigned& day) noexcept {
  const CivilDate c = civil_from_days(days);
  year = c.year;
  month = c.month;
  day = c.day;
}

inline constexpr std::int64_t kSecondsPerDay = 86'400;
inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
inline constexpr std::int64_t kNanosPerDay = kSecondsPerDay * kNanosPerSecond;

// A UTC instant with nanosecond resolution, as records store it. Leap seconds: second 59
// of a minute with a fraction of 1'000'000'000 ns or more.
struct DateTime {
  std::int64_t days_since_1970;  // kMinDay..kMaxDay
  std::uint32_t seconds_of_day;  // 0..86'399
  std::uint32_t nanos;           // 0..1'999'999'999

  static constexpr std::int32_t kMinYear = -262143;
  static constexpr std::int32_t kMaxYear = 262142;
  static constexpr std::int64_t kMinDay = days_from_civil(kMinYear, 1, 1);
  static constexpr std::int64_t kMaxDay = days_from_civil(kMaxYear, 12, 31);

  // From seconds since 1970-01-01T00:00:00Z (leap seconds not counted) and a fraction; pass
  // nanos of 1e9 or more with the seconds of a :59 second to mean the leap second after it.
  static constexpr DateTime from_unix(std::int64_t seconds, std::uint32_t nanos = 0) noexcept {
    // Not seconds - floor(seconds / d) * d: that product overflows near INT64_MIN.
    const std::int64_t rem = seconds % 86'400;
    return {seconds / 86'400 - (rem < 0), static_cast<std::uint32_t>(rem < 0 ? rem + 86'400 : rem),
            nanos};
  }
  // Milliseconds since 1970 (no range check: see tavex::from_unix_ms_checked).
  static constexpr DateTime from_unix_ms(std::int64_t ms) noexcept {
    const std::int64_t rem = ms % 1000;
    return from_unix(ms / 1000 - (rem < 0),
                     static_cast<std::uint32_t>((rem < 0 ? rem + 1000 : rem) * 1'000'000));
  }
  // From calendar fields; second 60 is a leap second. Nothing when a field is out of range.
  static constexpr std::optional<DateTime> from_civil(std::int64_t year, unsigned month,
                                                      unsigned day, unsigned hour = 0,
                                                      unsigned minute = 0, unsigned second = 0,
                                                      std::uint32_t nanos = 0) noexcept {
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 60 ||
        nanos > 999'999'999)
      return std::nullopt;
    const bool leap_second = second == 60;
    return DateTime{days_from_civil(year, month, day),
                    hour * 3600 + minute * 60 + (leap_second ? 59 : second),
                    leap_second ? nanos + 1'000'000'000 : nanos};
  }

  constexpr bool is_valid() const noexcept {
    return days_since_1970 >= kMinDay && days_since_1970 <= kMaxDay && seconds_of_day < 86'400 &&
           nanos < 2'000'000'000 && (nanos < 1'000'000'000 || seconds_of_day % 60 == 59);
  }
  friend constexpr bool operator==(const DateTime& a, const DateTime& b) noexcept {
    return a.days_since_1970 == b.days_since_1970 && a.seconds_of_day == b.seconds_of_day &&
           a.nanos == b.nanos;
  }
  friend constexpr bool operator!=(const DateTime& a, const DateTime& b) noexcept {
    return !(a == b);
  }
};

// A date-time broken into UTC calendar fields, with a leap second folded back to second 59
// and `leap` set: the fields a Python datetime holds, plus the digits below the microsecond.
struct DateFields {
  std::int32_t year;
  std::uint8_t month, day, hour, minute, second;
  std::uint32_t nanos;  // 0..999'999'999
  bool leap;
  friend constexpr bool operator==(const DateFields& a, const DateFields& b) noexcept {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.nanos == b.nanos && a.leap == b.leap;
  }
  friend constexpr bool operator!=(const DateFields& a, const DateFields& b) noexcept {
    return !(a == b);
  }
};

constexpr DateFields to_fields(const DateTime& v) noexcept {
  const CivilDate date = civil_from_days(v.days_since_1970);
  const bool leap = v.nanos >= kNanosPerSecond;
  return {date.year,
          date.month,
          date.day,
          static_cast<std::uint8_t>(v.seconds_of_day / 3600),
          static_cast<std::uint8_t>(v.seconds_of_day / 60 % 60),
          static_cast<std::uint8_t>(v.seconds_of_day % 60),
          static_cast<std::uint32_t>(leap ? v.nanos - kNanosPerSecond : v.nanos),
          leap};
}

// The inverse of to_fields, for fields already known to be valid (no check: see
// DateTime::from_civil for the checked form).
constexpr DateTime from_fields(const DateFields& f) noexcept {
  return {days_from_civil(f.year, f.month, f.day),
          f.hour * 3600u + f.minute * 60u + f.second,
          f.leap ? f.nanos + static_cast<std::uint32_t>(kNanosPerSecond) : f.nanos};
}

// Milliseconds since 1970 (no leap seconds) to a date-time, as ms_to_date reads them; nothing
// outside the years DateTime::kMinYear..kMaxYear. Floor division as quotient and remainder
// with one correction step each, so no product can overflow, not even for INT64_MIN.
constexpr std::optional<DateTime> from_unix_ms_checked(std::int64_t ms) noexcept {
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
  if (days < DateTime::kMinDay || days > DateTime::kMaxDay) return std::nullopt;
  return DateTime{days, static_cast<std::uint32_t>(sod),
                  static_cast<std::uint32_t>(rem_ms * 1'000'000)};
}

// Milliseconds since 1970, rounded toward the past; a leap second counts as the second 59
// before it, as it does once the value is a Python datetime. Always fits for a valid value.
constexpr std::int64_t to_unix_ms(const DateTime& v) noexcept {
  const std::uint32_t nanos = v.nanos % static_cast<std::uint32_t>(kNanosPerSecond);
  return (v.days_since_1970 * kSecondsPerDay + v.seconds_of_day) * 1000 + nanos / 1'000'000;
}

namespace detail {

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return q - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Nanoseconds since 1970 as a signed 64-bit count, or nothing if it does not fit.
constexpr std::optional<std::int64_t> to_unix_nanos(const DateTime& v) noexcept {
  const std::int64_t secs = v.days_since_1970 * kSecondsPerDay + v.seconds_of_day;  // < 2^43
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

}  // namespace detail

// Every instant of the years 1678..2261 lies inside the signed 64-bit nanosecond window, so
// truncate_to_day keeps their date and drops the time, which it then need not know.
constexpr bool truncates_by_date(std::int32_t year) noexcept { return year >= 1678 && year <= 2261; }

// Midnight that starts v's UTC day, as truncate_to_day gives it: nothing when v lies outside
// the signed 64-bit nanosecond window (1677-09-21 to 2262-04-11).
constexpr std::optional<DateTime> truncate_to_day(const DateTime& v) noexcept {
  const std::optional<std::int64_t> t = detail::to_unix_nanos(v);
  if (!t) return std::nullopt;
  // floor(t / day) as a day count: the midnight itself is not formed in nanoseconds, since it
  // lies before INT64_MIN on 1677-09-21.
  return DateTime{detail::floor_div(*t, kNanosPerDay), 0, 0};
}

// The same on calendar fields.
constexpr std::optional<DateFields> truncate_to_day(const DateFields& f) noexcept {
  if (__builtin_expect(truncates_by_date(f.year), 1))
    return DateFields{f.year, f.month, f.day, 0, 0, 0, 0, false};
  const std::optional<DateTime> day = truncate_to_day(from_fields(f));
  if (!day) return std::nullopt;
  return to_fields(*day);
}

// ---- RFC 3339 ----

namespace rfc3339 {

enum class Error : std::uint8_t { TooShort, Invalid, OutOfRange, TooLong };

// The text str_to_date raises for each kind.
constexpr const char* message(Error e) noexcept {
  switch (e) {
    case Error::TooShort: return "premature end of input";
    case Error::Invalid: return "input contains invalid characters";
    case Error::OutOfRange: return "input is out of range";
    case Error::TooLong: return "trailing input";
  }
  return "input contains invalid characters";  // not reached: the switch covers every kind
}

template <class Value>
struct Scan {
  Value value;           // only when ok()
  Error error;           // only when failed
  bool failed;
  std::size_t position;  // byte offset the failing step looked at (the input length on success)
  constexpr bool ok() const noexcept { return !failed; }
};

namespace detail {

constexpr unsigned digit_value(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - unsigned{'0'};  // > 9 if no digit
}

// A forward-only cursor. A failing step records its kind and offset and returns false.
class Cursor {
 public:
  explicit constexpr Cursor(std::string_view s) noexcept : s_(s) {}

  constexpr std::size_t pos() const noexcept { return pos_; }
  constexpr std::size_t left() const noexcept { return s_.size() - pos_; }
  constexpr char peek(std::size_t k = 0) const noexcept { return s_[pos_ + k]; }
  constexpr void advance(std::size_t k) noexcept { pos_ += k; }

  [[gnu::cold]] constexpr bool fail(Error e, std::size_t at) noexcept {
    error_ = e;
    at_ = at;
    return false;
  }
  template <class Value>
  constexpr Scan<Value> failure() const noexcept {
    return {Value{}, error_, true, at_};
  }

  // Exactly N ASCII digits. The length test comes first, so "2024-01-x" is too short rather
  // than invalid.
  template <std::size_t N>
  constexpr bool digits(unsigned& out) noexcept {
    if (__builtin_expect(left() < N, 0)) return fail(Error::TooShort, pos_);
    unsigned v = 0;
    bool bad = false;  // one branch for all N digits
    for (std::size_t k = 0; k < N; ++k) {
      const unsigned d = digit_value(s_[pos_ + k]);
      bad |= d > 9;
      v = v * 10 + d;
    }
    if (__builtin_expect(bad, 0)) {
      std::size_t k = 0;
      while (digit_value(s_[pos_ + k]) <= 9) ++k;
      return fail(Error::Invalid, pos_ + k);
    }
    pos_ += N;
    out = v;
    return true;
  }

  // Exactly N digits whose value must lie in lo..hi, tested before anything after them is read.
  template <std::size_t N>
  constexpr bool field(unsigned& out, unsigned lo, unsigned hi) noexcept {
    const std::size_t at = pos_;
    if (!digits<N>(out)) return false;
    if (__builtin_expect(out < lo || out > hi, 0)) return fail(Error::OutOfRange, at);
    return true;
  }

  constexpr bool literal(char c) noexcept {
    if (__builtin_expect(left() == 0, 0)) return fail(Error::TooShort, pos_);
    if (__builtin_expect(s_[pos_] != c, 0)) return fail(Error::Invalid, pos_);
    ++pos_;
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
  Error error_ = Error::Invalid;
  std::size_t at_ = 0;
};

inline constexpr std::uint32_t kScale[10] = {1'000'000'000, 100'000'000, 10'000'000, 1'000'000,
                                             100'000,       10'000,      1'000,      100,
                                             10,            1};

// Nanoseconds from the digits after '.': the first nine count, any further ones are skipped.
inline bool fraction(Cursor& c, std::uint32_t& nanos) noexcept {
  if (__builtin_expect(c.left() == 0, 0)) return c.fail(Error::TooShort, c.pos());
  if (__builtin_expect(digit_value(c.peek()) > 9, 0)) return c.fail(Error::Invalid, c.pos());
  std::uint32_t v = 0;
  std::size_t k = 0;
  for (; k < 9 && c.left() > 0; ++k) {
    const unsigned d = digit_value(c.peek());
    if (d > 9) break;
    v = v * 10 + d;
    c.advance(1);
  }
  nanos = v * kScale[k];
  while (c.left() > 0 && digit_value(c.peek()) <= 9) c.advance(1);
  return true;
}

// Minutes east of UTC, -1439..1439.
inline bool offset(Cursor& c, std::int32_t& minutes) noexcept {
  if (__builtin_expect(c.left() == 0, 0)) return c.fail(Error::TooShort, c.pos());
  const char first = c.peek();
  if (first == 'Z' || first == 'z') {
    c.advance(1);
    minutes = 0;
    return true;
  }
  // The sign is one whole character: '+', '-' or U+2212 MINUS SIGN (E2 88 92), which some
  // locales and word processors put in place of the hyphen. A lead byte E2 that does not
  // complete that sequence starts some other character.
  bool negative = true;
  if (first == '+') {
    negative = false;
    c.advance(1);
  } else if (first == '-') {
    c.advance(1);
  } else if (c.left() >= 3 && first == '\xE2' && c.peek(1) == '\x88' && c.peek(2) == '\x92') {
    c.advance(3);
  } else {
    return c.fail(Error::Invalid, c.pos());
  }

  const std::size_t hours_at = c.pos();
  unsigned hours = 0;
  if (!c.digits<2>(hours) || !c.literal(':')) return false;

  // Minutes: a tens digit of 6..9 is a number, just too large; anything else is not a number.
  if (__builtin_expect(c.left() < 2, 0)) return c.fail(Error::TooShort, c.pos());
  const unsigned tens = digit_value(c.peek());
  const unsigned ones = digit_value(c.peek(1));
  if (__builtin_expect(tens > 9, 0)) return c.fail(Error::Invalid, c.pos());
  if (__builtin_expect(ones > 9, 0)) return c.fail(Error::Invalid, c.pos() + 1);
  if (__builtin_expect(tens > 5, 0)) return c.fail(Error::OutOfRange, c.pos());
  c.advance(2);

  const auto magnitude = static_cast<std::int32_t>(hours * 60 + tens * 10 + ones);
  if (__builtin_expect(magnitude > 23 * 60 + 59, 0)) return c.fail(Error::OutOfRange, hours_at);
  minutes = negative ? -magnitude : magnitude;
  return true;
}

inline constexpr std::size_t kDayAt = 8;  // "YYYY-MM-" precedes the day

// Calendar for four-digit years without a divide instruction. GCC estimates the end of a long
// chain of checks as cold and would emit real divisions there, even for constant divisors.
constexpr unsigned div100(unsigned n) noexcept { return n * 5243u >> 19; }  // exact for n < 43'690

constexpr bool is_leap_year4(unsigned y) noexcept {
  return (y & 3) == 0 && (y != div100(y) * 100 || (div100(y) & 3) == 0);
}

inline constexpr std::uint8_t kMonthLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
inline constexpr std::uint16_t kDaysBeforeMonth[13] = {0,   0,   31,  59,  90,  120, 151,
                                                       181, 212, 243, 273, 304, 334};

// Days since 1970-01-01 for year 0..9999. The year is shifted by one 400-year cycle, which keeps
// the leap pattern and makes every quotient non-negative; n counts the years before it.
constexpr std::int64_t days_from_date(unsigned y, unsigned m, unsigned d, bool leap) noexcept {
  const unsigned n = y + 399;                                            // [399, 10398]
  const unsigned start = 365 * (n + 1) + (n >> 2) - div100(n) + (div100(n) >> 2);
  const unsigned day_of_year = kDaysBeforeMonth[m] + unsigned{leap && m > 2} + d - 1;
  constexpr unsigned kEpoch = 865'624;  // start of 1970
  return std::int64_t{start + day_of_year} - kEpoch;
}

static_assert(days_from_date(1970, 1, 1, false) == 0, "");
static_assert(days_from_date(0, 1, 1, true) == days_from_civil(0, 1, 1), "");
static_assert(days_from_date(2000, 12, 31, true) == days_from_civil(2000, 12, 31), "");
static_assert(days_from_date(9999, 12, 31, false) == days_from_civil(9999, 12, 31), "");

// The fields as the text gives them, in its own offset; second 60 is still 60.
struct Local {
  unsigned year, month, day, hour, minute, second;
  std::uint32_t nanos;
  std::int32_t offset_minutes;
  bool leap_year;
};

// Steps every scan shares; false with the failure recorded in the cursor.
[[gnu::always_inline]] inline bool scan_local(Cursor& c, Local& l) noexcept {
  l.nanos = 0;
  if (!c.digits<4>(l.year) || !c.literal('-') || !c.field<2>(l.month, 1, 12) ||
      !c.literal('-') || !c.field<2>(l.day, 1, 31))
    return false;

  if (c.left() == 0) return c.fail(Error::TooShort, c.pos());
  if (const char sep = c.peek(); sep != 'T' && sep != 't' && sep != ' ')
    return c.fail(Error::Invalid, c.pos());
  c.advance(1);

  if (!c.field<2>(l.hour, 0, 23) || !c.literal(':') || !c.field<2>(l.minute, 0, 59) ||
      !c.literal(':') || !c.field<2>(l.second, 0, 60))
    return false;

  if (c.left() > 0 && c.peek() == '.') {
    c.advance(1);
    if (!fraction(c, l.nanos)) return false;
  }
  if (!offset(c, l.offset_minutes)) return false;
  if (c.left() != 0) return c.fail(Error::TooLong, c.pos());

  // The calendar test waits until the whole text has been read, so a missing offset on
  // "2023-02-29T00:00:00" reports the missing offset.
  l.leap_year = is_leap_year4(l.year);
  if (l.day > kMonthLength[l.month] + unsigned{l.leap_year && l.month == 2})
    return c.fail(Error::OutOfRange, kDayAt);
  return true;
}

inline constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> t{};
  for (std::size_t i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

inline void put2(char* p, unsigned v) noexcept {  // v < 100
  std::memcpy(p, &kTwoDigits[2 * v], 2);
}

}  // namespace detail

// Reads "YYYY-MM-DD(T|t| )HH:MM:SS[.fraction](Z|z|±HH:MM)" with a required offset and returns
// the UTC instant (the offset may carry the year to -1 or 10000). One forward pass; never
// reads outside the view and never allocates.
inline Scan<DateTime> scan(std::string_view utf8) noexcept {
  detail::Cursor c(utf8);
  detail::Local l;
  if (!detail::scan_local(c, l)) return c.failure<DateTime>();

  // A leap second is second 59 plus a whole second of fraction.
  std::uint32_t nanos = l.nanos;
  unsigned second = l.second;
  if (second == 60) {
    second = 59;
    nanos += static_cast<std::uint32_t>(kNanosPerSecond);
  }

  // |offset| < one day, so moving to UTC carries at most one day either way.
  std::int64_t days = detail::days_from_date(l.year, l.month, l.day, l.leap_year);
  std::int32_t secs = static_cast<std::int32_t>(l.hour * 3600 + l.minute * 60 + second) -
                      l.offset_minutes * 60;
  if (secs < 0) {
    secs += kSecondsPerDay;
    --days;
  } else if (secs >= kSecondsPerDay) {
    secs -= kSecondsPerDay;
    ++days;
  }
  return {DateTime{days, static_cast<std::uint32_t>(secs), nanos}, Error::TooShort, false,
          c.pos()};
}

// The same scan, giving the UTC calendar fields (a leap second as second 59 with `leap`): the
// offset is taken off the clock fields directly, with no round trip through a day count.
inline Scan<DateFields> scan_fields(std::string_view utf8) noexcept {
  using detail::kMonthLength;
  detail::Cursor c(utf8);
  detail::Local l;
  if (!detail::scan_local(c, l)) return c.failure<DateFields>();

  auto year = static_cast<std::int32_t>(l.year);
  unsigned month = l.month, day = l.day, hour = l.hour, minute = l.minute;
  if (l.offset_minutes != 0) {
    // Less than a day either way: the minutes of the day carry at most one day, which may
    // carry into the month and the year.
    auto t = static_cast<std::int32_t>(hour * 60 + minute) - l.offset_minutes;
    if (t < 0) {
      t += 24 * 60;
      if (--day == 0) {
        if (--month == 0) {
          month = 12;
          --year;
        }
        day = kMonthLength[month] + unsigned{l.leap_year && month == 2};
      }
    } else if (t >= 24 * 60) {
      t -= 24 * 60;
      if (++day > kMonthLength[month] + unsigned{l.leap_year && month == 2}) {
        day = 1;
        if (++month == 13) {
          month = 1;
          ++year;
        }
      }
    }
    hour = static_cast<unsigned>(t) / 60;
    minute = static_cast<unsigned>(t) % 60;
  }
  const bool leap_second = l.second == 60;
  return {DateFields{year, static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day),
                     static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                     static_cast<std::uint8_t>(leap_second ? 59 : l.second), l.nanos,
                     leap_second},
          Error::TooShort, false, c.pos()};
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuu+00:00"
inline constexpr std::size_t kMaxLength = 32;

// Writes YYYY-MM-DDTHH:MM:SS[.mmm|.uuuuuu]+00:00, date_to_str's text, and returns its length
// (25, 29 or 32). Requires year 0..9999, the other fields in their calendar ranges and
// microsecond < 1'000'000.
inline std::size_t write(char (&out)[kMaxLength], int year, unsigned month, unsigned day,
                         unsigned hour, unsigned minute, unsigned second,
                         unsigned microsecond) noexcept {
  using detail::put2;
  const auto y = static_cast<unsigned>(year);
  char* p = out;
  put2(p, y / 100);
  put2(p + 2, y % 100);
  p[4] = '-';
  put2(p + 5, month);
  p[7] = '-';
  put2(p + 8, day);
  p[10] = 'T';
  put2(p + 11, hour);
  p[13] = ':';
  put2(p + 14, minute);
  p[16] = ':';
  put2(p + 17, second);
  p += 19;

  if (microsecond != 0) {
    *p++ = '.';
    if (microsecond % 1000 == 0) {  // whole milliseconds keep the short form
      const unsigned ms = microsecond / 1000;
      *p = static_cast<char>('0' + ms / 100);
      put2(p + 1, ms % 100);
      p += 3;
    } else {
      put2(p, microsecond / 10'000);
      put2(p + 2, microsecond / 100 % 100);
      put2(p + 4, microsecond % 100);
      p += 6;
    }
  }
  std::memcpy(p, "+00:00", 6);
  return static_cast<std::size_t>(p + 6 - out);
}

}  // namespace rfc3339

// Reads an RFC 3339 date-time as str_to_date does (the same grammar: 'T', 't' or ' ' between
// date and time, 'Z', 'z' or an offset whose sign may be U+2212, fraction digits past the
// ninth skipped) into `out`, in UTC. A leap second stays one: second 59 with nanos >= 1e9.
// Returns null on success, else the text str_to_date raises for that input (`out` unchanged).
inline const char* parse_rfc3339(std::string_view text, DateTime& out) noexcept {
  const rfc3339::Scan<DateTime> r = rfc3339::scan(text);
  if (__builtin_expect(r.failed, 0)) return rfc3339::message(r.error);
  out = r.value;
  return nullptr;
}

// What str_to_date does with a text, as a value.
enum class ParseError : std::uint8_t {
  None,            // it returns the datetime (a leap second with a UserWarning)
  TooShort,        // RuntimeError "premature end of input"
  Invalid,         // RuntimeError "input contains invalid characters"
  OutOfRange,      // RuntimeError "input is out of range"
  TooLong,         // RuntimeError "trailing input"
  YearOutOfRange,  // ValueError from datetime: a valid time whose UTC year is outside 1..9999;
                   // its text is the interpreter's ("year 0 is out of range" on CPython)
};

// The text of str_to_date's RuntimeError for `e`; null for None and YearOutOfRange.
constexpr const char* message(ParseError e) noexcept {
  switch (e) {
    case ParseError::TooShort: return rfc3339::message(rfc3339::Error::TooShort);
    case ParseError::Invalid: return rfc3339::message(rfc3339::Error::Invalid);
    case ParseError::OutOfRange: return rfc3339::message(rfc3339::Error::OutOfRange);
    case ParseError::TooLong: return rfc3339::message(rfc3339::Error::TooLong);
    case ParseError::None:
    case ParseError::YearOutOfRange: break;
  }
  return nullptr;
}

// parse_rfc3339 with str_to_date's verdict on the text as its result: `out` is set for None and
// for YearOutOfRange (the value is exact here, only a Python datetime cannot hold it), and left
// as it was for the others.
inline ParseError str_to_date(std::string_view text, DateTime& out) noexcept {
  const rfc3339::Scan<DateTime> r = rfc3339::scan(text);
  if (__builtin_expect(r.failed, 0)) {
    switch (r.error) {
      case rfc3339::Error::TooShort: return ParseError::TooShort;
      case rfc3339::Error::Invalid: return ParseError::Invalid;
      case rfc3339::Error::OutOfRange: return ParseError::OutOfRange;
      case rfc3339::Error::TooLong: return ParseError::TooLong;
    }
  }
  out = r.value;
  constexpr std::int64_t kFirstDay = days_from_civil(1, 1, 1);
  constexpr std::int64_t kLastDay = days_from_civil(9999, 12, 31);
  return r.value.days_since_1970 < kFirstDay || r.value.days_since_1970 > kLastDay
             ? ParseError::YearOutOfRange
             : ParseError::None;
}

// The text of a valid date-time: date_to_str's text for every value a Python datetime can
// hold (years 1..9999, whole microseconds, no leap second). Other values get a text that
// parse_rfc3339 reads back to the same value where the grammar can express it: nine fraction
// digits for nanoseconds, second 60 for a leap second, year 0 as "0000", and the day either
// side of years 0..9999 through an offset of 23:59. Years beyond that are written in the
// expanded form "+YYYYYY-..." / "-YYYYYY-...", which RFC 3339 does not allow.
inline std::string format_rfc3339(const DateTime& v) {
  using rfc3339::detail::put2;
  DateFields f = to_fields(v);
  if (__builtin_expect(f.year >= 1 && !f.leap && f.nanos % 1000 == 0, 1) && f.year <= 9999) {
    char buf[rfc3339::kMaxLength];
    const std::size_t n = rfc3339::write(buf, f.year, f.month, f.day, f.hour, f.minute,
                                         f.second, f.nanos / 1000);
    return std::string(buf, n);
  }
  int offset = 0;  // minutes east of UTC written after the time
  if (f.year < 0 || f.year > 9999) {
    offset = f.year < 0 ? 1439 : -1439;
    const std::int64_t s = std::int64_t{v.seconds_of_day} + offset * 60;
    const std::int64_t carry = s < 0 ? -1 : s >= kSecondsPerDay ? 1 : 0;
    const DateFields local = to_fields(
        {v.days_since_1970 + carry, static_cast<std::uint32_t>(s - carry * kSecondsPerDay),
         v.nanos});
    if (local.year >= 0 && local.year <= 9999) f = local;
    else offset = 0;
  }
  char buf[64];
  char* p = buf;
  if (f.year < 0 || f.year > 9999) {
    const auto y = static_cast<unsigned>(f.year < 0 ? -f.year : f.year);
    *p++ = f.year < 0 ? '-' : '+';
    put2(p, y / 10000);
    put2(p + 2, y / 100 % 100);
    put2(p + 4, y % 100);
    p += 6;
  } else {
    put2(p, static_cast<unsigned>(f.year) / 100);
    put2(p + 2, static_cast<unsigned>(f.year) % 100);
    p += 4;
  }
  *p++ = '-';
  put2(p, f.month);
  p[2] = '-';
  put2(p + 3, f.day);
  p[5] = 'T';
  put2(p + 6, f.hour);
  p[8] = ':';
  put2(p + 9, f.minute);
  p[11] = ':';
  put2(p + 12, f.leap ? 60u : f.second);
  p += 14;
  if (f.nanos != 0) {
    *p++ = '.';
    std::uint32_t n = f.nanos;
    int digits = 9;
    if (n % 1000 == 0) {
      n /= 1000;
      digits = 6;
      if (n % 1000 == 0) {
        n /= 1000;
        digits = 3;
      }
    }
    for (int i = digits - 1; i >= 0; --i, n /= 10) p[i] = static_cast<char>('0' + n % 10);
    p += digits;
  }
  const unsigned magnitude = static_cast<unsigned>(offset < 0 ? -offset : offset);
  *p++ = offset < 0 ? '-' : '+';
  put2(p, magnitude / 60);
  p[2] = ':';
  put2(p + 3, magnitude % 60);
  p += 5;
  return std::string(buf, static_cast<std::size_t>(p - buf));
}

}  // namespace tavex

#pragma GCC visibility pop
