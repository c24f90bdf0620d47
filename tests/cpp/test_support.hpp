// Shared by the core tests: an instant from fields, readable gtest output, stable case names.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "tavex/time.hpp"

namespace tavex {

// Nanoseconds of 1e9 or more on second 59 make a leap second, as in DateTime itself.
inline DateTime at(std::int64_t y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0,
                   unsigned s = 0, std::uint32_t ns = 0) {
  return {days_from_civil(y, mo, d), h * 3600 + mi * 60 + s, ns};
}

inline void PrintTo(const DateTime& v, std::ostream* os) {
  const DateFields f = to_fields(v);
  *os << f.year << '-' << unsigned{f.month} << '-' << unsigned{f.day} << ' ' << unsigned{f.hour}
      << ':' << unsigned{f.minute} << ':' << unsigned{f.second} << " +" << f.nanos << "ns"
      << (f.leap ? " (leap)" : "") << " [day " << v.days_since_1970 << ']';
}

// Names parameterized cases "c<index>" or "c<index>_<text>", so ctest sees stable names instead
// of raw bytes of each parameter.
struct CaseName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    std::string name(1, 'c');  // appended, not "c" + ...: that trips GCC 12's -Wrestrict
    name += std::to_string(info.index);
    if constexpr (requires { info.param.text; }) {
      name += '_';
      for (const char ch : std::string_view(info.param.text).substr(0, 32))
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name;
  }
};

}  // namespace tavex
