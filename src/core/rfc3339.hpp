// RFC 3339 date-time text, as the module's core code names it; defined once, in <tavex/time.hpp>.
#pragma once

#include "core/instant.hpp"

namespace tavex::core {

using ParseError = rfc3339::Error;
using ScanResult = rfc3339::Scan<Instant>;
using FieldsScanResult = rfc3339::Scan<Fields>;
using rfc3339::message;
inline constexpr std::size_t kRfc3339MaxLength = rfc3339::kMaxLength;

[[gnu::always_inline]] inline ScanResult scan_rfc3339(std::string_view utf8) noexcept {
  return rfc3339::scan(utf8);
}
[[gnu::always_inline]] inline FieldsScanResult scan_rfc3339_fields(std::string_view utf8) noexcept {
  return rfc3339::scan_fields(utf8);
}
[[gnu::always_inline]] inline std::size_t write_rfc3339(char (&out)[kRfc3339MaxLength], int year,
                                                        unsigned month, unsigned day,
                                                        unsigned hour, unsigned minute,
                                                        unsigned second,
                                                        unsigned microsecond) noexcept {
  return rfc3339::write(out, year, month, day, hour, minute, second, microsecond);
}

}  // namespace tavex::core
