// The few shims that CPython 3.9 and PyPy 3.9 need; everything else is the common C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

static_assert(sizeof(long) == 8, "tavex assumes an LP64 platform: C long is its 64-bit integer");

#define TAVEX_LIKELY(x) __builtin_expect(!!(x), 1)
#define TAVEX_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace tavex::py {

// Which interpreter the module is built for: the code that differs on PyPy branches on this
// constant, and PyPy's own machinery lives in src/types/pypy.cpp.
#ifdef PYPY_VERSION
inline constexpr bool kPyPy = true;

// Two functions of CPython's C API that PyPy lacks. The leap-second warning's CPython path
// names them (module/convert.cpp); on PyPy it takes PyErr_WarnEx instead.
inline PyFrameObject* PyThreadState_GetFrame(PyThreadState*) noexcept {
  PyFrameObject* frame = PyEval_GetFrame();
  Py_XINCREF(reinterpret_cast<PyObject*>(frame));
  return frame;
}
inline int PyErr_WarnExplicitObject(PyObject* category, PyObject* message, PyObject* filename,
                                    int lineno, PyObject* module, PyObject* registry) noexcept {
  const char* text = PyUnicode_AsUTF8(message);
  const char* file = text ? PyUnicode_AsUTF8(filename) : nullptr;
  const char* from = file && module != Py_None ? PyUnicode_AsUTF8(module) : nullptr;
  if (!file || (module != Py_None && !from)) return -1;
  return PyErr_WarnExplicit(category, text, file, lineno, from, registry);
}
#else
inline constexpr bool kPyPy = false;
#endif

// Casts any slot or method routine to the pointer type a table wants, as CPython's
// _PyCFunction_CAST does; the detour through void(*)() keeps -Wcast-function-type quiet.
template <class F>
inline PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
template <class F>
inline void* as_slot(F* f) noexcept {
  return reinterpret_cast<void*>(f);
}

}  // namespace tavex::py
