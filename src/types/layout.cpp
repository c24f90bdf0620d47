// The record layouts this tavex was built with, exported for the native factories of other
// modules: <tavex/records.hpp> compares them with its own on first use.
#include <iterator>

#include "tavex/records.hpp"

#ifndef TAVEX_VERSION  // the CMake build names the release; a hand-made build may not
#define TAVEX_VERSION "(unversioned build)"
#endif

extern "C" {
// Default visibility: found with dlsym; no name is added to the Python module.
[[gnu::visibility("default")]] extern const tavex::layout::Table tavex_records_layout;
const tavex::layout::Table tavex_records_layout = {
    tavex::layout::kFormat, static_cast<std::uint32_t>(std::size(tavex::layout::kRows)),
    tavex::layout::kRows, TAVEX_VERSION};
}
