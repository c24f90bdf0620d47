// RFC 3339 scanner: every step's error kind and offset; writer: every fraction form; round trips.
#include "tavex/time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "test_support.hpp"

namespace tavex {
namespace {

using namespace std::string_view_literals;

// Scans a copy in a buffer of exactly the text's size, so a sanitizer build sees any over-read.
rfc3339::Scan<DateTime> scan_exact(std::string_view text) {
  const auto buf = std::make_unique<char[]>(text.size());
  if (!text.empty()) std::memcpy(buf.get(), text.data(), text.size());
  return rfc3339::scan({buf.get(), text.size()});
}

struct Accepted {
  std::string_view text;
  DateTime utc;
};

class ScanAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ScanAccepts, GivesTheUtcInstant) {
  const rfc3339::Scan<DateTime> r = scan_exact(GetParam().text);
  ASSERT_TRUE(r.ok()) << rfc3339::message(r.error) << " at " << r.position;
  EXPECT_EQ(r.value, GetParam().utc);
  // The fields scan carries the offset on the clock fields instead of a day count.
  const rfc3339::Scan<DateFields> f = rfc3339::scan_fields(GetParam().text);
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(f.value == to_fields(GetParam().utc)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ScanAccepts,
    ::testing::Values(
        Accepted{"2024-01-02T03:04:05+08:00", at(2024, 1, 1, 19, 4, 5)},
        Accepted{"2024-01-02 03:04:05-00:00", at(2024, 1, 2, 3, 4, 5)},
        Accepted{"2024-01-02t03:04:05.123456789123z", at(2024, 1, 2, 3, 4, 5, 123'456'789)},
        Accepted{"2024-01-02T03:04:05.9999999Z", at(2024, 1, 2, 3, 4, 5, 999'999'900)},
        Accepted{"2024-01-02T03:04:05.5Z", at(2024, 1, 2, 3, 4, 5, 500'000'000)},
        Accepted{"2024-01-02T03:04:05.006+00:00", at(2024, 1, 2, 3, 4, 5, 6'000'000)},
        Accepted{"2024-01-02T03:04:05.000000000000000000001Z", at(2024, 1, 2, 3, 4, 5)},
        Accepted{"2024-01-02T03:04:05-05:30", at(2024, 1, 2, 8, 34, 5)},
        Accepted{"2024-01-02T03:04:05\xE2\x88\x92" "05:30", at(2024, 1, 2, 8, 34, 5)},
        Accepted{"2024-01-02T03:04:05+23:59", at(2024, 1, 1, 3, 5, 5)},
        Accepted{"2024-01-02T03:04:05-23:59", at(2024, 1, 3, 3, 3, 5)},
        Accepted{"2024-12-31T23:30:00-01:00", at(2025, 1, 1, 0, 30, 0)},
        Accepted{"2024-01-02T23:00:00-01:00", at(2024, 1, 3, 0, 0, 0)},  // exactly midnight
        Accepted{"2024-01-02T01:00:00+01:00", at(2024, 1, 2, 0, 0, 0)},
        Accepted{"2024-03-01T00:30:00+01:00", at(2024, 2, 29, 23, 30, 0)},  // leap day
        // Leap seconds after any hour and minute, also across a day boundary.
        Accepted{"2016-12-31T23:59:60Z", at(2016, 12, 31, 23, 59, 59, 1'000'000'000)},
        Accepted{"2024-01-02T00:00:60.25+01:00", at(2024, 1, 1, 23, 0, 59, 1'250'000'000)},
        // The offset may carry out of the four-digit years.
        Accepted{"0000-12-31T23:30:00-01:00", at(1, 1, 1, 0, 30, 0)},
        Accepted{"0000-01-01T00:00:00+00:01", at(-1, 12, 31, 23, 59, 0)},
        Accepted{"9999-12-31T23:30:00-01:00", at(10000, 1, 1, 0, 30, 0)}),
    CaseName());

struct Rejected {
  std::string_view text;
  rfc3339::Error error;
  std::size_t position;
};

class ScanRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(ScanRejects, WithKindAndOffset) {
  const rfc3339::Scan<DateTime> r = scan_exact(GetParam().text);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(rfc3339::message(r.error), std::string_view(rfc3339::message(GetParam().error)));
  EXPECT_EQ(r.position, GetParam().position);
}

constexpr rfc3339::Error kShort = rfc3339::Error::TooShort, kInvalid = rfc3339::Error::Invalid,
                     kRange = rfc3339::Error::OutOfRange, kLong = rfc3339::Error::TooLong;

INSTANTIATE_TEST_SUITE_P(
    DateAndTime, ScanRejects,
    ::testing::Values(Rejected{"202", kShort, 0},
                      Rejected{"2024-01-x", kShort, 8}, Rejected{"2024-01-xx", kInvalid, 8},
                      Rejected{"24-01-02T03:04:05Z", kInvalid, 2},
                      Rejected{"12024-01-02T03:04:05Z", kInvalid, 4},
                      Rejected{" 2024-01-02T03:04:05Z", kInvalid, 0},
                      Rejected{"2024-1-02T03:04:05Z", kInvalid, 6},
                      // Each range test runs before the next byte is looked at.
                      Rejected{"2024-13", kRange, 5}, Rejected{"2024-00-01T00:00Z", kRange, 5},
                      Rejected{"2024-01-00", kRange, 8}, Rejected{"2024-01-32T00:00Z", kRange, 8},
                      Rejected{"2024-01-02", kShort, 10},
                      Rejected{"2024-01-02_03:04:05Z", kInvalid, 10},
                      Rejected{"2024\0-01-02T03:04:05Z"sv, kInvalid, 4},
                      Rejected{"2024-01-02T24:00:00Z", kRange, 11},
                      Rejected{"2024-01-02T03:60:00Z", kRange, 14},
                      Rejected{"2024-01-02T03:04:61Z", kRange, 17},
                      Rejected{"2024-01-02T03", kShort, 13},
                      Rejected{"2024-01-02T03-04:05Z", kInvalid, 13},
                      Rejected{"2024-01-02T03:04:05", kShort, 19},
                      Rejected{"2024-01-02 03:04:05", kShort, 19},
                      Rejected{"2024-01-02T03:04:05.", kShort, 20},
                      Rejected{"2024-01-02T03:04:05.Z", kInvalid, 20},
                      Rejected{"2024-01-02T03:04:05.123456789123", kShort, 32},
                      Rejected{"2024-01-02T03:04:05,5Z", kInvalid, 19}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    OffsetAndEnd, ScanRejects,
    ::testing::Values(Rejected{"2024-01-02T03:04:05UTC", kInvalid, 19},
                      Rejected{"2024-01-02T03:04:05 +08:00", kInvalid, 19},
                      Rejected{"2024-01-02T03:04:05+", kShort, 20},
                      Rejected{"2024-01-02T03:04:05+0", kShort, 20},
                      Rejected{"2024-01-02T03:04:05+5:30", kInvalid, 21},
                      Rejected{"2024-01-02T03:04:05+08", kShort, 22},
                      Rejected{"2024-01-02T03:04:05+0800", kInvalid, 22},
                      Rejected{"2024-01-02T03:04:05+05:3", kShort, 23},
                      Rejected{"2024-01-02T03:04:05+05:60", kRange, 23},
                      Rejected{"2024-01-02T03:04:05+05:9x", kInvalid, 24},
                      Rejected{"2024-01-02T03:04:05+05:x0", kInvalid, 23},
                      Rejected{"2024-01-02T03:04:05+24:00", kRange, 20},
                      // Only U+2212 among the multi-byte characters: not a truncated one, not
                      // EN DASH (E2 80 93).
                      Rejected{"2024-01-02T03:04:05\xE2\x88", kInvalid, 19},
                      Rejected{"2024-01-02T03:04:05\xE2\x80\x93" "05:00", kInvalid, 19},
                      Rejected{"2024-01-02T03:04:05\xE2\x88\x92", kShort, 22},
                      Rejected{"2024-01-02T03:04:05\xFF", kInvalid, 19},
                      Rejected{"2024-01-02T03:04:05+08:00:00", kLong, 25},
                      Rejected{"2024-01-02T03:04:05Z ", kLong, 20},
                      Rejected{"2024-01-02T03:04:05Z\0"sv, kLong, 20},
                      // The calendar is checked only once the whole text has been read.
                      Rejected{"2023-02-29T00:00:00", kShort, 19},
                      Rejected{"2023-02-29T00:00:00Z ", kLong, 20},
                      Rejected{"2023-02-29T00:00:00+24:00", kRange, 20},
                      Rejected{"2023-02-29T00:00:00Z", kRange, 8}),
    CaseName());

TEST(Scan, EveryProperPrefixOfAValidTextIsTooShort) {
  for (const std::string_view full :
       {"2024-01-02T03:04:05.123456789+08:30"sv, "2016-12-31t23:59:60z"sv,
        std::string_view("2024-01-02T03:04:05\xE2\x88\x92" "05:30")}) {
    for (std::size_t k = 0; k < full.size(); ++k) {
      // A cut inside U+2212 leaves a lead byte of some other character: that one is invalid.
      if ((static_cast<unsigned char>(full[k]) & 0xC0) == 0x80) continue;
      const rfc3339::Scan<DateTime> r = scan_exact(full.substr(0, k));
      EXPECT_FALSE(r.ok()) << full.substr(0, k);
      EXPECT_EQ(r.error, rfc3339::Error::TooShort) << full.substr(0, k);
      EXPECT_LE(r.position, k);
    }
  }
}

TEST(Scan, EveryFourDigitDateAgreesWithTheCalendar) {
  char text[] = "0000-00-00T00:00:00Z";
  const auto put = [&](std::size_t at, unsigned v, int width) {
    for (int k = width - 1; k >= 0; --k, v /= 10) text[at + k] = static_cast<char>('0' + v % 10);
  };
  std::int64_t bad = 0;
  for (unsigned y = 0; y <= 9999; ++y) {
    put(0, y, 4);
    for (unsigned m = 1; m <= 12; ++m) {
      put(5, m, 2);
      for (unsigned d = 1; d <= 31; ++d) {
        put(8, d, 2);
        const rfc3339::Scan<DateTime> r = rfc3339::scan(text);
        const bool exists = d <= days_in_month(y, m);
        if (r.ok() != exists || (exists && r.value.days_since_1970 != days_from_civil(y, m, d)) ||
            (!exists && r.error != rfc3339::Error::OutOfRange))
          if (bad++ == 0) ADD_FAILURE() << text;
      }
    }
  }
  EXPECT_EQ(bad, 0);
}

TEST(Scan, Messages) {
  EXPECT_STREQ(rfc3339::message(rfc3339::Error::TooShort), "premature end of input");
  EXPECT_STREQ(rfc3339::message(rfc3339::Error::Invalid), "input contains invalid characters");
  EXPECT_STREQ(rfc3339::message(rfc3339::Error::OutOfRange), "input is out of range");
  EXPECT_STREQ(rfc3339::message(rfc3339::Error::TooLong), "trailing input");
}

struct Written {
  int year;
  unsigned month, day, hour, minute, second, micro;
  std::string_view text;
};

class Write : public ::testing::TestWithParam<Written> {};

TEST_P(Write, FractionForms) {
  const Written& w = GetParam();
  char buf[rfc3339::kMaxLength];
  std::memset(buf, '#', sizeof buf);
  const std::size_t n =
      rfc3339::write(buf, w.year, w.month, w.day, w.hour, w.minute, w.second, w.micro);
  EXPECT_EQ(std::string_view(buf, n), w.text);
  const std::size_t rest = rfc3339::kMaxLength - n;  // untouched
  EXPECT_EQ(std::string_view(buf + n, rest), std::string(rest, '#'));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Write,
    ::testing::Values(Written{2024, 1, 2, 3, 4, 5, 0, "2024-01-02T03:04:05+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 6000, "2024-01-02T03:04:05.006+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 500'000, "2024-01-02T03:04:05.500+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 999'000, "2024-01-02T03:04:05.999+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 1, "2024-01-02T03:04:05.000001+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 10, "2024-01-02T03:04:05.000010+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 123'456, "2024-01-02T03:04:05.123456+00:00"},
                      Written{2024, 1, 2, 3, 4, 5, 100'100, "2024-01-02T03:04:05.100100+00:00"},
                      Written{1, 1, 1, 0, 0, 0, 0, "0001-01-01T00:00:00+00:00"},
                      Written{0, 1, 1, 0, 0, 0, 0, "0000-01-01T00:00:00+00:00"},
                      Written{987, 6, 5, 4, 3, 2, 0, "0987-06-05T04:03:02+00:00"},
                      Written{9999, 12, 31, 23, 59, 59, 999'999,
                              "9999-12-31T23:59:59.999999+00:00"}),
    CaseName());

TEST(RoundTrip, WrittenTextScansBackToTheSameInstant) {
  // A fixed pseudo-random walk over years 0..9999, seconds of day and microseconds.
  const std::int64_t first = days_from_civil(0, 1, 1);
  const std::int64_t span = days_from_civil(10000, 1, 1) - first;
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 200'000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    // Each fraction form in turn: none, milliseconds, microseconds.
    const auto micro = static_cast<std::uint32_t>(i % 3 == 0   ? 0
                                                  : i % 3 == 1 ? x % 1000 * 1000
                                                               : x % 1'000'000);
    const DateTime v{first + static_cast<std::int64_t>(x >> 20) % span,
                    static_cast<std::uint32_t>(x >> 4) % 86'400, micro * 1000};
    const DateFields f = to_fields(v);
    char buf[rfc3339::kMaxLength];
    const std::size_t n =
        rfc3339::write(buf, f.year, f.month, f.day, f.hour, f.minute, f.second, micro);
    const rfc3339::Scan<DateTime> r = rfc3339::scan({buf, n});
    ASSERT_TRUE(r.ok()) << std::string_view(buf, n);
    ASSERT_EQ(r.value, v) << std::string_view(buf, n);
  }
}

}  // namespace
}  // namespace tavex
