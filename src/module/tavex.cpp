// The module entry: creates the module once per process and registers everything in order.
#include "module/failure.hpp"
#include "module/registry.hpp"

namespace tavex::py {
namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "tavex",
    "",       // documentation: present and empty
    0,        // no per-module state
    nullptr,  // functions are added one by one, in order
    nullptr,  // single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // the cached module, filled once and never cleared

constexpr ClassStep kClassSteps[] = {
    {"RunMode", &types::run_mode_class},
    {"TradeKind", &types::trade_kind_class},
    {"TradeType", &types::trade_type_class},
    {"TradeSide", &types::trade_side_class},
    {"OrderStatus", &types::order_status_class},
    {"CandleInterval", &types::candle_interval_class},
    {"EventType", &types::event_type_class},
    {"Pair", &types::pair_class},
    {"Candle", &types::candle_class},
    {"Order", &types::order_class},
    {"Position", &types::position_class},
};

PyMethodDef* const kFunctionSteps[] = {
    &helpers::kSafeFloatDef, &helpers::kTruncateToDayDef, &helpers::kStrToDateDef,
    &helpers::kDateToStrDef, &helpers::kMsToDateDef,      &helpers::kNowDateDef,
    &helpers::kNowMsDef,
};

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
bool module_add(PyObject* module, PyObject* name, PyObject* value) noexcept {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    try {
      std::string text = refusal_text(all.get(), "PyList");
      PyErr_SetString(PyExc_TypeError, text.c_str());
    } catch (...) {
      PyErr_NoMemory();
    }
    return false;
  }
  // A failed append fails the import: the name would otherwise be missing silently.
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) noexcept {
  Ref module_name = Ref::steal(PyUnicode_FromString("__name__"));
  if (!module_name) return false;
  Ref name = Ref::steal(PyObject_GetItem(PyModule_GetDict(module), module_name.get()));
  if (!name) {
    PyErr_SetString(PyExc_AttributeError, "__name__");
    return false;
  }
  Ref function = Ref::steal(PyCMethod_New(def, module, name.get(), nullptr));
  if (!function) return false;
  Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return false;
  if (!PyUnicode_Check(function_name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
    return false;
  }
  return module_add(module, function_name.get(), function.get());
}

bool populate(PyObject* module) noexcept {
  for (const ClassStep& step : kClassSteps) {
    PyObject* cls = step.get();
    if (!cls) return false;
    Ref name = Ref::steal(PyUnicode_InternFromString(step.name));
    if (!name || !module_add(module, name.get(), cls)) return false;
  }
  for (PyMethodDef* def : kFunctionSteps)
    if (!add_function(module, def)) return false;
  return true;
}

}  // namespace
}  // namespace tavex::py

PyMODINIT_FUNC PyInit_tavex(void) {
  using tavex::py::g_module;
  using tavex::py::Ref;
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module = Ref::steal(PyModule_Create2(&tavex::py::g_definition, 1013));
  if (!module) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if constexpr (tavex::py::kPyPy) {
    // PyPy leaves an empty m_doc unset, so __doc__ would fall back to the module type's.
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!empty || PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0) return nullptr;
  }
  if (!tavex::py::populate(module.get())) {  // `module` is released on return
    // An interpreter call that failed without an exception ran out of memory on its way.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  }
  if (!g_module) g_module = module.release();  // a racing initialisation may have won
  Py_INCREF(g_module);
  return g_module;
}
