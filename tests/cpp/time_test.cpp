// Millisecond stamps to instants, the 64-bit nanosecond window, and truncation to the UTC day.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "tavex/time.hpp"
#include "test_support.hpp"

namespace tavex {
namespace {

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

struct MsCase {
  std::int64_t ms;
  std::optional<DateTime> expected;
};

class FromUnixMs : public ::testing::TestWithParam<MsCase> {};

TEST_P(FromUnixMs, SplitsWithFloorDivision) {
  EXPECT_EQ(from_unix_ms_checked(GetParam().ms), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bands, FromUnixMs,
    ::testing::Values(
        MsCase{0, at(1970, 1, 1)}, MsCase{1000, at(1970, 1, 1, 0, 0, 1)},
        MsCase{-1, at(1969, 12, 31, 23, 59, 59, 999'000'000)},
        MsCase{-86'400'000, at(1969, 12, 31)},
        MsCase{-86'400'001, at(1969, 12, 30, 23, 59, 59, 999'000'000)},
        MsCase{1'700'000'000'123, at(2023, 11, 14, 22, 13, 20, 123'000'000)},
        // Python's own year range.
        MsCase{-62'135'596'800'000, at(1, 1, 1)},
        MsCase{253'402'300'799'999, at(9999, 12, 31, 23, 59, 59, 999'000'000)},
        // Valid values that Python cannot hold.
        MsCase{-62'135'596'800'001, at(0, 12, 31, 23, 59, 59, 999'000'000)},
        MsCase{253'402'300'800'000, at(10000, 1, 1)},
        MsCase{-8'334'601'228'800'000, at(DateTime::kMinYear, 1, 1)},
        MsCase{8'210'266'876'799'999, at(DateTime::kMaxYear, 12, 31, 23, 59, 59, 999'000'000)},
        // Outside the calendar.
        MsCase{-8'334'601'228'800'001, std::nullopt}, MsCase{8'210'266'876'800'000, std::nullopt},
        MsCase{kI64Min, std::nullopt}, MsCase{kI64Max, std::nullopt}),
    CaseName());

TEST(FromUnix, ClockReading) {
  EXPECT_EQ(DateTime::from_unix(0, 0), at(1970, 1, 1));
  EXPECT_EQ(DateTime::from_unix(1'700'000'000, 123'456'789),
            at(2023, 11, 14, 22, 13, 20, 123'456'789));
  EXPECT_EQ(DateTime::from_unix(86'399, 999'999'999),
            at(1970, 1, 1, 23, 59, 59, 999'999'999));
}

struct NanosCase {
  DateTime v;
  std::optional<std::int64_t> nanos;
};

class ToUnixNanos : public ::testing::TestWithParam<NanosCase> {};

TEST_P(ToUnixNanos, SignedWindow) { EXPECT_EQ(detail::to_unix_nanos(GetParam().v), GetParam().nanos); }

INSTANTIATE_TEST_SUITE_P(
    Window, ToUnixNanos,
    ::testing::Values(
        NanosCase{at(1970, 1, 1), 0},
        NanosCase{at(1969, 12, 31, 23, 59, 59, 500'000'000), -500'000'000},
        NanosCase{at(1969, 12, 31, 23, 59, 59, 1'500'000'000), 500'000'000},  // leap second
        NanosCase{at(1677, 9, 21, 0, 12, 43, 145'224'192), kI64Min},
        NanosCase{at(1677, 9, 21, 0, 12, 43, 145'224'191), std::nullopt},
        NanosCase{at(2262, 4, 11, 23, 47, 16, 854'775'807), kI64Max},
        NanosCase{at(2262, 4, 11, 23, 47, 16, 854'775'808), std::nullopt},
        NanosCase{at(1600, 1, 1), std::nullopt}, NanosCase{at(2300, 1, 1), std::nullopt},
        NanosCase{at(DateTime::kMinYear, 1, 1), std::nullopt}, NanosCase{at(DateTime::kMaxYear, 12, 31), std::nullopt}),
    CaseName());

struct TruncCase {
  DateTime v;
  std::optional<DateTime> day;
};

class TruncateToDay : public ::testing::TestWithParam<TruncCase> {};

TEST_P(TruncateToDay, StartOfTheUtcDay) {
  EXPECT_EQ(truncate_to_day(GetParam().v), GetParam().day);
}

INSTANTIATE_TEST_SUITE_P(
    Days, TruncateToDay,
    ::testing::Values(
        TruncCase{at(2024, 3, 15, 13, 45, 30, 123'456'000), at(2024, 3, 15)},
        TruncCase{at(2024, 3, 15), at(2024, 3, 15)},
        TruncCase{at(1970, 1, 1, 0, 0, 0, 1), at(1970, 1, 1)},
        // Before 1970 the earlier midnight, not the one toward zero.
        TruncCase{at(1969, 12, 31, 12), at(1969, 12, 31)},
        TruncCase{at(1969, 12, 31), at(1969, 12, 31)},
        TruncCase{at(1969, 12, 31, 23, 59, 59, 999'999'999), at(1969, 12, 31)},
        // The first partial day of the window: its midnight lies outside the window itself.
        TruncCase{at(1677, 9, 21, 0, 12, 43, 145'224'192), at(1677, 9, 21)},
        TruncCase{at(1677, 9, 21, 0, 12, 43, 145'225'000), at(1677, 9, 21)},
        TruncCase{at(1677, 9, 21, 0, 12, 43, 145'224'000), std::nullopt},
        TruncCase{at(2262, 4, 11, 23, 47, 16, 854'775'807), at(2262, 4, 11)},
        TruncCase{at(2262, 4, 11, 23, 47, 16, 854'776'000), std::nullopt},
        TruncCase{at(1600, 6, 1, 12), std::nullopt}, TruncCase{at(2300, 6, 1, 12), std::nullopt}),
    CaseName());

}  // namespace
}  // namespace tavex
