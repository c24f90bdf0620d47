// Binding the fast-call argument vector to a function's parameters.
#pragma once

#include <array>
#include <cstdint>

#include "module/failure.hpp"

namespace tavex::py {

inline constexpr int kMaxParams = 2;

// The static description of a function's parameters; every one is required and may be
// passed by position or by keyword.
struct ParamSpec {
  const char* function;
  std::array<const char*, kMaxParams> names;
  int count;
  int required;
};

// One borrowed reference per parameter, in declaration order.
struct Bound {
  std::array<PyObject*, kMaxParams> slots{};
  PyObject* operator[](int i) const noexcept { return slots[static_cast<std::size_t>(i)]; }
};

// The common case (only positional arguments, exactly all of them) is inline; anything
// else goes to the out-of-line binder that also writes the error texts.
[[gnu::noinline]] Result<Bound> bind_slow(const ParamSpec& params, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames);

inline Result<Bound> bind(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  if (TAVEX_LIKELY(kwnames == nullptr && nargs == params.count)) {
    Bound b;
    for (int i = 0; i < params.count; ++i) b.slots[static_cast<std::size_t>(i)] = args[i];
    return b;
  }
  return bind_slow(params, args, nargs, kwnames);
}

}  // namespace tavex::py
