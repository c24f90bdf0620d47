// libFuzzer target: the scanner never misbehaves, its instant and fields forms agree, and
// whatever it accepts writes and rescans to the same instant, cut to microseconds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "tavex/time.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "rfc3339_fuzz: %s: \"%.*s\"\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavex;
  // An exactly sized heap copy, so AddressSanitizer reports a read one past the end.
  const auto buf = std::make_unique<char[]>(size);
  if (size != 0) std::memcpy(buf.get(), data, size);
  const std::string_view text(buf.get(), size);

  const rfc3339::Scan<DateTime> r = rfc3339::scan(text);
  const rfc3339::Scan<DateFields> rf = rfc3339::scan_fields(text);
  if (r.ok() != rf.ok() || r.error != rf.error || r.position != rf.position)
    fail("the two scans disagree on the outcome", text);
  if (!r.ok()) {
    if (r.position > size) fail("error position past the end", text);
    return 0;
  }
  const DateTime& v = r.value;
  if (!(rf.value == to_fields(v))) fail("the two scans give different UTC fields", text);
  if (v.seconds_of_day >= kSecondsPerDay || v.nanos >= 2 * kNanosPerSecond ||
      (v.nanos >= kNanosPerSecond && v.seconds_of_day % 60 != 59))
    fail("accepted a malformed instant", text);

  const DateFields f = to_fields(v);
  if (f.year < 0 || f.year > 9999) return 0;  // the carry left the four-digit years
  char out[rfc3339::kMaxLength];
  const std::size_t n =
      rfc3339::write(out, f.year, f.month, f.day, f.hour, f.minute, f.second, f.nanos / 1000);
  const rfc3339::Scan<DateTime> again = rfc3339::scan({out, n});
  if (!again.ok()) fail("written text does not scan", text);
  // The writer drops the leap second and the digits below the microsecond.
  const DateTime expected{v.days_since_1970, v.seconds_of_day, f.nanos / 1000 * 1000};
  if (!(again.value == expected)) fail("round trip changed the instant", text);
  return 0;
}
