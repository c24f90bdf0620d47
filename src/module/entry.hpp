// The entry routines the interpreter calls: bind, run, and raise a failure once.
#pragma once

#include <new>

#include "module/bind.hpp"

namespace tavex::py {

[[gnu::cold]] PyObject* raise_unexpected_exception() noexcept;

template <const ParamSpec& P, Result<Ref> (*Impl)(const Bound&)>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  try {
    Result<Bound> bound = bind(P, args, nargs, kwnames);
    if (TAVEX_UNLIKELY(!bound.ok())) return bound.failure().raise();
    Result<Ref> out = Impl(bound.value());
    return TAVEX_LIKELY(out.ok()) ? out.value().release() : out.failure().raise();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_unexpected_exception();
  }
}

template <Result<Ref> (*Impl)()>
PyObject* noargs_entry(PyObject*, PyObject*) noexcept {
  try {
    Result<Ref> out = Impl();
    return TAVEX_LIKELY(out.ok()) ? out.value().release() : out.failure().raise();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_unexpected_exception();
  }
}

}  // namespace tavex::py
