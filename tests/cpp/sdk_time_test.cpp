// The public time functions: what Python cannot hold still writes and reads back, errors leave
// the output alone, and milliseconds fold a leap second as a datetime does.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tavex/time.hpp"
#include "test_support.hpp"

namespace {

using tavex::DateTime;

DateTime civil(std::int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
               std::uint32_t ns) {
  return DateTime::from_civil(y, mo, d, h, mi, s, ns).value();
}

struct FormatCase {
  DateTime value;
  const char* text;
};

class FormatOutsidePython : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatOutsidePython, WritesATextThatReadsBack) {
  const auto& [value, text] = GetParam();
  EXPECT_EQ(tavex::format_rfc3339(value), text);
  DateTime back{};
  ASSERT_EQ(tavex::parse_rfc3339(text, back), nullptr);
  EXPECT_EQ(back, value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatOutsidePython,
    ::testing::Values(
        FormatCase{civil(2024, 1, 2, 3, 4, 5, 123'456'789), "2024-01-02T03:04:05.123456789+00:00"},
        FormatCase{civil(2016, 12, 31, 23, 59, 60, 0), "2016-12-31T23:59:60+00:00"},
        FormatCase{civil(2016, 12, 31, 23, 59, 60, 500'000'000), "2016-12-31T23:59:60.500+00:00"},
        FormatCase{civil(0, 2, 29, 0, 0, 0, 1000), "0000-02-29T00:00:00.000001+00:00"},
        FormatCase{civil(10000, 1, 1, 23, 58, 59, 0), "9999-12-31T23:59:59-23:59"},
        FormatCase{civil(-1, 12, 31, 0, 1, 0, 0), "0000-01-01T00:00:00+23:59"}));

TEST(Format, YearsNoOffsetReachesUseTheExpandedForm) {
  EXPECT_EQ(tavex::format_rfc3339(civil(10000, 1, 1, 23, 59, 0, 0)),
            "+010000-01-01T23:59:00+00:00");
  EXPECT_EQ(tavex::format_rfc3339(civil(DateTime::kMinYear, 1, 1, 0, 0, 0, 0)),
            "-262143-01-01T00:00:00+00:00");
}

TEST(Parse, AnErrorIsTheModulesTextAndLeavesTheOutputAlone) {
  DateTime out{1, 2, 3};
  EXPECT_STREQ(tavex::parse_rfc3339("2024-01-02T03:04:05", out), "premature end of input");
  EXPECT_STREQ(tavex::parse_rfc3339("2023-02-29T00:00:00Z", out), "input is out of range");
  EXPECT_EQ(out, (DateTime{1, 2, 3}));
  ASSERT_EQ(tavex::parse_rfc3339("2024-01-02 03:04:05.1234567891\xE2\x88\x92" "01:30", out),
            nullptr);
  EXPECT_EQ(out, civil(2024, 1, 2, 4, 34, 5, 123'456'789));
}

struct VerdictCase {
  const char* text;
  tavex::ParseError error;
  std::optional<DateTime> value;  // what `out` holds afterwards; nothing: left as it was
};

class StrToDate : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(StrToDate, SaysWhatTheModuleDoes) {
  const auto& [text, error, value] = GetParam();
  const DateTime before{1, 2, 3};
  DateTime out = before;
  EXPECT_EQ(tavex::str_to_date(text, out), error) << text;
  EXPECT_EQ(out, value.value_or(before)) << text;
  // A text parse_rfc3339 refuses is refused with the same RuntimeError text.
  DateTime again{};
  const char* refused = tavex::parse_rfc3339(text, again);
  EXPECT_STREQ(tavex::message(error), refused) << text;
}

using E = tavex::ParseError;
INSTANTIATE_TEST_SUITE_P(
    Verdicts, StrToDate,
    ::testing::Values(
        VerdictCase{"0001-01-01T00:00:00Z", E::None, civil(1, 1, 1, 0, 0, 0, 0)},
        VerdictCase{"9999-12-31T23:59:59.999999999Z", E::None,
                    civil(9999, 12, 31, 23, 59, 59, 999'999'999)},
        VerdictCase{"2016-12-31T23:59:60Z", E::None, civil(2016, 12, 31, 23, 59, 60, 0)},
        VerdictCase{"0001-01-01T00:00:00+00:01", E::YearOutOfRange, civil(0, 12, 31, 23, 59, 0, 0)},
        VerdictCase{"9999-12-31T23:59:59-00:01", E::YearOutOfRange, civil(10000, 1, 1, 0, 0, 59, 0)},
        VerdictCase{"2024-01-02T03:04:05", E::TooShort, std::nullopt},
        VerdictCase{"2024-01-0xT03:04:05Z", E::Invalid, std::nullopt},
        VerdictCase{"2023-02-29T00:00:00Z", E::OutOfRange, std::nullopt},
        VerdictCase{"2024-01-02T03:04:05Zx", E::TooLong, std::nullopt}),
    tavex::CaseName());

TEST(UnixMs, RoundTripsAndFoldsTheLeapSecond) {
  for (const std::int64_t ms : {INT64_C(-62135596800000), INT64_C(-1), INT64_C(0),
                                INT64_C(1700000000123), INT64_C(253402300799999)})
    EXPECT_EQ(tavex::to_unix_ms(tavex::from_unix_ms_checked(ms).value()), ms) << ms;
  EXPECT_EQ(tavex::to_unix_ms(civil(2016, 12, 31, 23, 59, 60, 250'000'000)),
            tavex::to_unix_ms(civil(2016, 12, 31, 23, 59, 59, 250'000'000)));
  EXPECT_FALSE(tavex::from_unix_ms_checked(INT64_MIN));
}

}  // namespace
