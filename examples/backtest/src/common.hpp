// Small pieces shared by the feed and the broker: an owning reference, argument helpers and
// the type objects the module publishes. Records are read through the SDK's public views
// (tavex::as_pair, tavex::as_candle), never through their layouts.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <tavex/tavex.hpp>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace backtest {

// An owned reference, released when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Takes `owned` in place of the reference held; false when it is null.
  bool reset(PyObject* owned) noexcept {
    Py_XDECREF(p_);
    p_ = owned;
    return p_ != nullptr;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A tavex enumeration member as the typed enum; nothing with TypeError set when `value` is
// not a member of E's class.
template <class E>
std::optional<E> enum_arg(PyObject* value, const char*) noexcept {
  E out{};
  if (!tavex::read_enum(value, out)) return std::nullopt;
  return out;
}

// Makes a class from its spec and adds it to the module under the last part of its dotted
// name; false with an exception set.
inline bool add_type(PyObject* module, PyType_Spec& spec) noexcept {
  Ref type(PyType_FromSpec(&spec));
  if (!type) return false;
  const char* dot = std::strrchr(spec.name, '.');
  if (PyModule_AddObject(module, dot ? dot + 1 : spec.name, type.get()) < 0) return false;
  type.release();  // the module holds it now
  return true;
}

// Add the classes CsvFeed, ArrowFeed and SimBroker to the module; false with an exception set.
bool add_feed_type(PyObject* module) noexcept;
bool add_arrow_type(PyObject* module) noexcept;
bool add_broker_type(PyObject* module) noexcept;

}  // namespace backtest
