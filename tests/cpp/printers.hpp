// Readable gtest output for the core value types.
#pragma once

#include <ostream>

#include "core/instant.hpp"

namespace tavex::core {

inline void PrintTo(const Instant& v, std::ostream* os) {
  const Fields f = to_fields(v);
  *os << f.year << '-' << unsigned{f.month} << '-' << unsigned{f.day} << ' ' << unsigned{f.hour}
      << ':' << unsigned{f.minute} << ':' << unsigned{f.second} << " +" << f.nanos << "ns"
      << (f.leap ? " (leap)" : "") << " [day " << v.days << ']';
}

}  // namespace tavex::core
