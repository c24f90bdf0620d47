// Shared by the core tests: an instant from fields, readable gtest output, stable case names.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "core/instant.hpp"

namespace tavex::core {

inline Instant at(std::int64_t y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0,
                  unsigned s = 0, std::uint32_t ns = 0) {
  return from_fields(y, mo, d, h, mi, s, ns);
}

inline void PrintTo(const Instant& v, std::ostream* os) {
  const Fields f = to_fields(v);
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

}  // namespace tavex::core
