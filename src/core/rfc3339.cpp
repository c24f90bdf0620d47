// RFC 3339 scanner and writer; every error is a code plus the byte offset, never an exception.
#include "core/rfc3339.hpp"

#include <array>
#include <cassert>
#include <cstring>

namespace tavex::core {

const char* message(ParseError e) noexcept {
  switch (e) {
    case ParseError::TooShort: return "premature end of input";
    case ParseError::Invalid: return "input contains invalid characters";
    case ParseError::OutOfRange: return "input is out of range";
    case ParseError::TooLong: return "trailing input";
  }
  return "input contains invalid characters";  // not reached: the switch covers every kind
}

namespace {

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

  [[gnu::cold]] constexpr bool fail(ParseError e, std::size_t at) noexcept {
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
    if (left() < N) [[unlikely]] return fail(ParseError::TooShort, pos_);
    unsigned v = 0;
    bool bad = false;  // one branch for all N digits
    for (std::size_t k = 0; k < N; ++k) {
      const unsigned d = digit_value(s_[pos_ + k]);
      bad |= d > 9;
      v = v * 10 + d;
    }
    if (bad) [[unlikely]] {
      std::size_t k = 0;
      while (digit_value(s_[pos_ + k]) <= 9) ++k;
      return fail(ParseError::Invalid, pos_ + k);
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
    if (out < lo || out > hi) [[unlikely]] return fail(ParseError::OutOfRange, at);
    return true;
  }

  constexpr bool literal(char c) noexcept {
    if (left() == 0) [[unlikely]] return fail(ParseError::TooShort, pos_);
    if (s_[pos_] != c) [[unlikely]] return fail(ParseError::Invalid, pos_);
    ++pos_;
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
  ParseError error_ = ParseError::Invalid;
  std::size_t at_ = 0;
};

constexpr std::uint32_t kScale[10] = {1'000'000'000, 100'000'000, 10'000'000, 1'000'000, 100'000,
                                      10'000,        1'000,       100,        10,        1};

// Nanoseconds from the digits after '.': the first nine count, any further ones are skipped.
bool fraction(Cursor& c, std::uint32_t& nanos) noexcept {
  if (c.left() == 0) [[unlikely]] return c.fail(ParseError::TooShort, c.pos());
  if (digit_value(c.peek()) > 9) [[unlikely]] return c.fail(ParseError::Invalid, c.pos());
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
bool offset(Cursor& c, std::int32_t& minutes) noexcept {
  if (c.left() == 0) [[unlikely]] return c.fail(ParseError::TooShort, c.pos());
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
    return c.fail(ParseError::Invalid, c.pos());
  }

  const std::size_t hours_at = c.pos();
  unsigned hours = 0;
  if (!c.digits<2>(hours) || !c.literal(':')) return false;

  // Minutes: a tens digit of 6..9 is a number, just too large; anything else is not a number.
  if (c.left() < 2) [[unlikely]] return c.fail(ParseError::TooShort, c.pos());
  const unsigned tens = digit_value(c.peek());
  const unsigned ones = digit_value(c.peek(1));
  if (tens > 9) [[unlikely]] return c.fail(ParseError::Invalid, c.pos());
  if (ones > 9) [[unlikely]] return c.fail(ParseError::Invalid, c.pos() + 1);
  if (tens > 5) [[unlikely]] return c.fail(ParseError::OutOfRange, c.pos());
  c.advance(2);

  const std::int32_t magnitude = static_cast<std::int32_t>(hours * 60 + tens * 10 + ones);
  if (magnitude > 23 * 60 + 59) [[unlikely]] return c.fail(ParseError::OutOfRange, hours_at);
  minutes = negative ? -magnitude : magnitude;
  return true;
}

constexpr std::size_t kDayAt = 8;  // "YYYY-MM-" precedes the day

// Calendar for four-digit years without a divide instruction. GCC estimates the end of a long
// chain of checks as cold and would emit real divisions there, even for constant divisors.
constexpr unsigned div100(unsigned n) noexcept { return n * 5243u >> 19; }  // exact for n < 43'690

constexpr bool is_leap_year4(unsigned y) noexcept {
  return (y & 3) == 0 && (y != div100(y) * 100 || (div100(y) & 3) == 0);
}

constexpr std::uint8_t kMonthLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr std::uint16_t kDaysBeforeMonth[13] = {0,   0,   31,  59,  90,  120, 151,
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

static_assert(days_from_date(1970, 1, 1, false) == 0);
static_assert(days_from_date(0, 1, 1, true) == days_from_civil(0, 1, 1));
static_assert(days_from_date(2000, 12, 31, true) == days_from_civil(2000, 12, 31));
static_assert(days_from_date(9999, 12, 31, false) == days_from_civil(9999, 12, 31));

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

  if (c.left() == 0) return c.fail(ParseError::TooShort, c.pos());
  if (const char sep = c.peek(); sep != 'T' && sep != 't' && sep != ' ')
    return c.fail(ParseError::Invalid, c.pos());
  c.advance(1);

  if (!c.field<2>(l.hour, 0, 23) || !c.literal(':') || !c.field<2>(l.minute, 0, 59) ||
      !c.literal(':') || !c.field<2>(l.second, 0, 60))
    return false;

  if (c.left() > 0 && c.peek() == '.') {
    c.advance(1);
    if (!fraction(c, l.nanos)) return false;
  }
  if (!offset(c, l.offset_minutes)) return false;
  if (c.left() != 0) return c.fail(ParseError::TooLong, c.pos());

  // The calendar test waits until the whole text has been read, so a missing offset on
  // "2023-02-29T00:00:00" reports the missing offset.
  l.leap_year = is_leap_year4(l.year);
  if (l.day > kMonthLength[l.month] + unsigned{l.leap_year && l.month == 2})
    return c.fail(ParseError::OutOfRange, kDayAt);
  return true;
}

}  // namespace

ScanResult scan_rfc3339(std::string_view utf8) noexcept {
  Cursor c(utf8);
  Local l;
  if (!scan_local(c, l)) return c.failure<Instant>();

  // A leap second is second 59 plus a whole second of fraction.
  std::uint32_t nanos = l.nanos;
  unsigned second = l.second;
  if (second == 60) {
    second = 59;
    nanos += static_cast<std::uint32_t>(kNanosPerSecond);
  }

  // |offset| < one day, so moving to UTC carries at most one day either way.
  std::int64_t days = days_from_date(l.year, l.month, l.day, l.leap_year);
  std::int32_t secs = static_cast<std::int32_t>(l.hour * 3600 + l.minute * 60 + second) -
                      l.offset_minutes * 60;
  if (secs < 0) {
    secs += kSecondsPerDay;
    --days;
  } else if (secs >= kSecondsPerDay) {
    secs -= kSecondsPerDay;
    ++days;
  }
  return {Instant{days, static_cast<std::uint32_t>(secs), nanos}, ParseError::TooShort, false,
          c.pos()};
}

FieldsScanResult scan_rfc3339_fields(std::string_view utf8) noexcept {
  Cursor c(utf8);
  Local l;
  if (!scan_local(c, l)) return c.failure<Fields>();

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
  return {Fields{year, static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day),
                 static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                 static_cast<std::uint8_t>(leap_second ? 59 : l.second), l.nanos, leap_second},
          ParseError::TooShort, false, c.pos()};
}

namespace {

constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

inline void put2(char* p, unsigned v) noexcept {  // v < 100
  std::memcpy(p, &kTwoDigits[2 * v], 2);
}

}  // namespace

std::size_t write_rfc3339(char (&out)[kRfc3339MaxLength], int year, unsigned month, unsigned day,
                          unsigned hour, unsigned minute, unsigned second,
                          unsigned microsecond) noexcept {
  assert(year >= 0 && year <= 9999 && month < 100 && day < 100 && hour < 100 && minute < 100 &&
         second < 100 && microsecond < 1'000'000);
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

}  // namespace tavex::core
