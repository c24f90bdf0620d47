// Placeholder record classes; replaced by the real records.
#include "module/registry.hpp"
#include "types/enums.hpp"

namespace tavex::types {
namespace {
struct Stub {
  PyObject_HEAD
};
PyType_Slot kSlots[] = {{Py_tp_new, py::as_slot(&refuse_construction)}, {0, nullptr}};
PyType_Spec kPair = {"builtins.Pair", sizeof(Stub), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyType_Spec kCandle = {"builtins.Candle", sizeof(Stub), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyType_Spec kOrder = {"builtins.Order", sizeof(Stub), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyType_Spec kPosition = {"builtins.Position", sizeof(Stub), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyObject* make(PyObject*& cell, PyType_Spec& spec) noexcept {
  if (!cell) cell = PyType_FromSpec(&spec);
  return cell;
}
PyObject *g_pair, *g_candle, *g_order, *g_position;
}  // namespace
PyObject* pair_class() noexcept { return make(g_pair, kPair); }
PyObject* candle_class() noexcept { return make(g_candle, kCandle); }
PyObject* order_class() noexcept { return make(g_order, kOrder); }
PyObject* position_class() noexcept { return make(g_position, kPosition); }
}  // namespace tavex::types
