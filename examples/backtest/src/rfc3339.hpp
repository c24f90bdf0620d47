// Reading the times of the candle file: RFC 3339 date-times with any UTC offset.
#pragma once

#include <tavex/records.hpp>

#include <cstdint>
#include <string_view>

namespace backtest {

struct UnixTime {
  std::int64_t seconds;  // since 1970-01-01T00:00:00Z
  std::uint32_t nanos;
};

// Reads "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)" ('t', 'z' and a space for 'T'
// also accepted); fraction digits past the ninth are dropped. Returns null and fills `out`
// on success, or the reason the text is not such a time. A leap second is refused: a
// one-minute bar never opens on one.
inline const char* parse_rfc3339(std::string_view s, UnixTime& out) noexcept {
  std::size_t i = 0;
  bool short_input = false;
  auto digits = [&](std::size_t n, unsigned& value) {
    value = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (i + k >= s.size()) {
        short_input = true;
        return false;
      }
      const char c = s[i + k];
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    i += n;
    return true;
  };
  auto expect = [&](auto accept) {
    if (i >= s.size()) {
      short_input = true;
      return false;
    }
    return accept(s[i++]);
  };
  auto is = [](char want) { return [want](char c) { return c == want; }; };

  unsigned year, month, day, hour, minute, second;
  if (!(digits(4, year) && expect(is('-')) && digits(2, month) && expect(is('-')) &&
        digits(2, day) && expect([](char c) { return c == 'T' || c == 't' || c == ' '; }) &&
        digits(2, hour) && expect(is(':')) && digits(2, minute) && expect(is(':')) &&
        digits(2, second)))
    return short_input ? "the time ends early" : "the time is not RFC 3339";
  std::uint32_t nanos = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    const std::size_t first = i;
    std::uint32_t scale = 100'000'000;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
      nanos += static_cast<std::uint32_t>(s[i] - '0') * scale;
    if (i == first) return "the time has no digits after '.'";
  }
  if (i >= s.size()) return "the time has no UTC offset";
  std::int64_t offset = 0;
  const char sign = s[i++];
  if (sign == '+' || sign == '-') {
    unsigned oh, om;
    if (!(digits(2, oh) && expect(is(':')) && digits(2, om)) || oh > 23 || om > 59)
      return "the time's UTC offset is not +HH:MM or -HH:MM";
    offset = (sign == '-' ? -1 : 1) * static_cast<std::int64_t>(oh * 3600 + om * 60);
  } else if (sign != 'Z' && sign != 'z') {
    return "the time has no UTC offset";
  }
  if (i != s.size()) return "the time is followed by other text";
  if (second == 60) return "the time is a leap second";
  const auto civil = tavex::DateTime::from_civil(year, month, day, hour, minute, second);
  if (!civil) return "the time is out of range";
  // Python's datetime holds years 1..9999, and the bar's close a minute later must fit too.
  constexpr std::int64_t kFirst = tavex::days_from_civil(1, 1, 1) * 86'400;
  constexpr std::int64_t kLast = tavex::days_from_civil(10000, 1, 1) * 86'400 - 61;
  const std::int64_t seconds = civil->days_since_1970 * 86'400 + civil->seconds_of_day - offset;
  if (seconds < kFirst || seconds > kLast) return "the time is out of range";
  out.seconds = seconds;
  out.nanos = nanos;
  return nullptr;
}

}  // namespace backtest
