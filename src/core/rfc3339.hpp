// RFC 3339 date-time text: a strict one-pass scanner and a fixed-buffer UTC writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/instant.hpp"

namespace tavex::core {

enum class ParseError : std::uint8_t { TooShort, Invalid, OutOfRange, TooLong };

// The fixed message of each kind; never null.
const char* message(ParseError e) noexcept;

template <class Value>
struct Scan {
  Value value;           // only when ok()
  ParseError error;      // only when failed
  bool failed;
  std::size_t position;  // byte offset the failing step looked at (the input length on success)
  constexpr bool ok() const noexcept { return !failed; }
};
// UTC, so the offset may carry the year to 0 or 10000 (in fields also to -1).
using ScanResult = Scan<Instant>;
using FieldsScanResult = Scan<Fields>;

// Reads "YYYY-MM-DD(T|t| )HH:MM:SS[.fraction](Z|z|±HH:MM)" with a required offset and returns the
// UTC instant. One forward pass; never reads outside the view and never allocates.
ScanResult scan_rfc3339(std::string_view utf8) noexcept;

// The same scan, giving the UTC calendar fields (a leap second as second 59 with `leap`): the
// offset is taken off the clock fields directly, with no round trip through a day count.
FieldsScanResult scan_rfc3339_fields(std::string_view utf8) noexcept;

// "YYYY-MM-DDTHH:MM:SS.uuuuuu+00:00"
inline constexpr std::size_t kRfc3339MaxLength = 32;

// Writes YYYY-MM-DDTHH:MM:SS[.mmm|.uuuuuu]+00:00 and returns its length (25, 29 or 32).
// Requires year 0..9999, the other fields in their calendar ranges and microsecond < 1'000'000.
std::size_t write_rfc3339(char (&out)[kRfc3339MaxLength], int year, unsigned month, unsigned day,
                          unsigned hour, unsigned minute, unsigned second,
                          unsigned microsecond) noexcept;

}  // namespace tavex::core
