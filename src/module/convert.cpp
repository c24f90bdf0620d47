// Argument and result conversions. Every use of the datetime C API lives in this file:
// CPython's header gives each translation unit its own copy of PyDateTimeAPI.
#include "module/convert.hpp"

#include <datetime.h>

namespace tavex::py {

PyDateTime_CAPI* g_datetime = nullptr;

namespace {

constexpr const char kLeapWarning[] =
    "ignored leap-second, `datetime` does not support leap-seconds";

// Loads the datetime C API on first use; it is kept for the life of the process. (On PyPy
// PyDateTimeAPI is one global that another module may have loaded already.)
inline bool datetime_api_ready() noexcept {
  if (TAVEX_LIKELY(g_datetime != nullptr)) return true;
  PyDateTime_IMPORT;
  g_datetime = PyDateTimeAPI;
  return g_datetime != nullptr;
}

// The tzinfo of a datetime (or of a subclass) as a new reference; None when naive.
inline Ref tzinfo_of(PyObject* dt) noexcept {
  // PyPy's struct fields are wrong for subclasses; the attribute is always right.
  if constexpr (kPyPy) return Ref::steal(PyObject_GetAttrString(dt, "tzinfo"));
#if PY_VERSION_HEX < 0x030A0000
  auto* d = reinterpret_cast<PyDateTime_DateTime*>(dt);
  return Ref::borrow(d->hastzinfo ? d->tzinfo : Py_None);
#else
  return Ref::borrow(PyDateTime_DATE_GET_TZINFO(dt));
#endif
}

// The leap-second warning as PyErr_WarnEx(UserWarning, text, 0) gives it, without its crash
// (PyPy has no such crash, and takes PyErr_WarnEx itself). CPython names the warning's place itself: the calling Python frame, or "<sys>" ("sys" before
// 3.12) when there is none. From 3.11 it makes the frame's object on demand and, when that
// allocation fails, takes the frameless branch, whose name it makes without checking: one more
// failure there and it dereferences null. So the frame object is made here first (the warning
// then reuses it), and without a frame the warning goes out with the same place, made here.
[[gnu::cold]] int warn_leap_second() noexcept {
  if constexpr (kPyPy) return PyErr_WarnEx(PyExc_UserWarning, kLeapWarning, 0);
  Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
  if (frame) return PyErr_WarnEx(PyExc_UserWarning, kLeapWarning, 0);
  if (PyEval_GetGlobals() != nullptr) {  // a Python frame whose object could not be made
    PyErr_NoMemory();
    return -1;
  }
  constexpr bool kAngled = PY_VERSION_HEX >= 0x030C0000;
  Ref message = Ref::steal(PyUnicode_FromString(kLeapWarning));
  Ref filename = Ref::steal(PyUnicode_FromString(kAngled ? "<sys>" : "sys"));
  if (!message || !filename) return -1;
  // The registry and module name that the interpreter would take from the sys module.
  Ref registry = Ref::borrow(PySys_GetObject("__warningregistry__"));
  if (!registry) {
    if (PyErr_Occurred()) return -1;
    registry = Ref::steal(PyDict_New());
    if (!registry || PySys_SetObject("__warningregistry__", registry.get()) < 0) return -1;
  }
  Ref module = Ref::borrow(PySys_GetObject("__name__"));
  if (!module || (module.get() != Py_None && !PyUnicode_Check(module.get()))) {
    if (PyErr_Occurred()) return -1;
    module = Ref::steal(PyUnicode_FromString("<string>"));
    if (!module) return -1;
  }
  return PyErr_WarnExplicitObject(PyExc_UserWarning, message.get(), filename.get(),
                                  kAngled ? 0 : 1, module.get(), registry.get());
}

// Hands the pending exception to sys.unraisablehook with `obj` as the hook's object.
inline void write_unraisable(PyObject* obj) noexcept {
  if constexpr (kPyPy) {
    // PyPy's PyErr_WriteUnraisable passes object=None; its own reporter passes the object.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    if (tb && v) PyException_SetTraceback(v.get(), tb);
    Ref pypy = Ref::steal(PyImport_ImportModule("__pypy__"));
    Ref done = pypy && v ? Ref::steal(PyObject_CallMethod(pypy.get(), "write_unraisable", "sOO",
                                                           "", v.get(), obj))
                         : Ref();
    if (done) return;
    PyErr_Clear();
    PyErr_Restore(t.release(), v.release(), trace.release());
  }
  PyErr_WriteUnraisable(obj);
}

}  // namespace

long as_index_long(PyObject* o) noexcept {
  Ref index = Ref::steal(PyNumber_Index(o));
  return index ? PyLong_AsLong(index.get()) : -1;
}

double float_or_index(PyObject* o) noexcept {
  // cpyext fills nb_float for every class, so the type is asked for __float__ by name.
  if (!PyFloat_Check(o) && PyIndex_Check(o) &&
      !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__float__")) {
    Ref index = Ref::steal(PyNumber_Index(o));
    return index ? PyLong_AsDouble(index.get()) : -1.0;
  }
  return PyFloat_AsDouble(o);
}

Result<std::uint32_t> to_uint32(PyObject* o, const char* param) noexcept {
  Result<std::int64_t> v = to_int64(o, param);
  if (!v.ok()) return v.failure();
  if (v.value() < 0 || v.value() > 0xFFFF'FFFF)
    return Failure::overflow("out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(v.value());
}

Result<std::string_view> to_text(PyObject* o, const char* param) noexcept {
  if (TAVEX_UNLIKELY(!PyUnicode_Check(o)))
    return argument_type_error(param, refusal_text(o, "PyString"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (!utf8) return collect_conversion_error(param);
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<DateFields> to_utc_fields_slow(PyObject* o, const char* param, Time time) noexcept {
  if (!datetime_api_ready()) return Failure::pending();
  if (TAVEX_UNLIKELY(!PyDateTime_Check(o)))
    return argument_type_error(param, refusal_text(o, "PyDateTime"));
  // The common case takes no reference of its own: the datetime keeps its tzinfo alive (not
  // on PyPy, whose struct fields are wrong for subclasses).
  const auto* dt = reinterpret_cast<const PyDateTime_DateTime*>(o);
  if (!kPyPy && TAVEX_LIKELY(dt->hastzinfo && dt->tzinfo == PyDateTime_TimeZone_UTC))
    return fields_of(o, time);
  Ref tz = tzinfo_of(o);
  if (!tz) return collect_conversion_error(param);
  if (TAVEX_UNLIKELY(tz.get() != PyDateTime_TimeZone_UTC)) {
    if (tz.get() == Py_None)
      return argument_type_error(param, "expected a datetime with non-None tzinfo");
    Ref eq = Ref::steal(PyObject_RichCompare(tz.get(), PyDateTime_TimeZone_UTC, Py_EQ));
    const int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
    if (truth < 0) return collect_conversion_error(param);
    if (truth == 0) return Failure::value("expected datetime.timezone.utc");
  }
  return fields_of(o, time);
}

PyObject* new_datetime_slow(const DateFields& f) noexcept {
  if (!datetime_api_ready()) return nullptr;
  PyObject* out = PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
      f.year, f.month, f.day, f.hour, f.minute, f.second, static_cast<int>(f.nanos / 1000),
      PyDateTime_TimeZone_UTC, 0, PyDateTimeAPI->DateTimeType);
  if (!out) return nullptr;
  if (TAVEX_UNLIKELY(f.leap) && warn_leap_second() < 0)
    write_unraisable(out);  // the value is still good; the warning went astray
  return out;
}

}  // namespace tavex::py
