// What the module registers, in its order: class getters and method records.
#pragma once

#include "module/compat.hpp"

namespace tavex::py {

// Each returns the class object (borrowed, cached for the life of the process), creating
// it on first demand, or nullptr with the creation error set.
using ClassGetter = PyObject* (*)() noexcept;

struct ClassStep {
  const char* name;
  ClassGetter get;
};

// PyType_FromSpec with an exception on every failure: CPython 3.13.0 returns null without
// one when some of its allocations fail.
inline PyObject* type_from_spec(PyType_Spec* spec) noexcept {
  PyObject* type = PyType_FromSpec(spec);
  if (!type && !PyErr_Occurred()) PyErr_NoMemory();
  return type;
}

}  // namespace tavex::py

namespace tavex::types {
PyObject* run_mode_class() noexcept;
PyObject* trade_kind_class() noexcept;
PyObject* trade_type_class() noexcept;
PyObject* trade_side_class() noexcept;
PyObject* order_status_class() noexcept;
PyObject* candle_interval_class() noexcept;
PyObject* event_type_class() noexcept;
PyObject* pair_class() noexcept;
PyObject* candle_class() noexcept;
PyObject* order_class() noexcept;
PyObject* position_class() noexcept;
}  // namespace tavex::types

namespace tavex::helpers {
extern PyMethodDef kSafeFloatDef;
extern PyMethodDef kTruncateToDayDef;
extern PyMethodDef kStrToDateDef;
extern PyMethodDef kDateToStrDef;
extern PyMethodDef kMsToDateDef;
extern PyMethodDef kNowDateDef;
extern PyMethodDef kNowMsDef;
}  // namespace tavex::helpers
