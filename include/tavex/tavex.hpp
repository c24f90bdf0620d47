// tavex's C++ SDK in one include: the time core, the enumerations and the records.
#pragma once

#include "tavex/time.hpp"     // IWYU pragma: export
#include "tavex/enums.hpp"    // IWYU pragma: export
#include "tavex/records.hpp"  // IWYU pragma: export
