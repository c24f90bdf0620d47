// tavex_testing: makes tavex records through the public native factory, for tests only.
// It is a separate extension module on purpose: it sees tavex only through
// <tavex/records.hpp>, as the framework's own native code does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "tavex/tavex.hpp"

namespace {

using tavex::DateTime;

// The keyword arguments of one call, bound to the fields of a record in declared order.
template <std::size_t N>
class Fields {
 public:
  Fields(const char* function, const char* const (&names)[N]) noexcept
      : function_(function), names_(names) {}

  // Every field by keyword, none twice (a dict cannot), no positional argument, no stranger.
  bool bind(PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes keyword arguments only (%zd positional given)",
                   function_, PyTuple_GET_SIZE(args));
      return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      std::size_t i = 0;
      while (name && i < N && std::string_view(name) != names_[i]) ++i;
      if (!name || i == N) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", function_, key);
        return false;
      }
      values_[i] = value;
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (!values_[i]) {
        PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument '%s'", function_,
                     names_[i]);
        return false;
      }
    }
    return true;
  }

  // A str, or bytes taken as they are (so that tests can hand over invalid UTF-8).
  bool read(std::size_t i, std::string_view& out) noexcept {
    PyObject* o = values_[i];
    if (PyBytes_Check(o)) {
      out = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
      return true;
    }
    if (!PyUnicode_Check(o)) return wrong_type(i, "str or bytes");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
  }

  bool read(std::size_t i, double& out) noexcept {
    PyObject* o = values_[i];
    if (!PyFloat_Check(o) && !PyLong_Check(o)) return wrong_type(i, "float or int");
    out = PyFloat_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) return out_of_range(i, "a float");
    return true;
  }

  bool read(std::size_t i, std::int64_t& out) noexcept {
    PyObject* o = values_[i];
    if (!PyLong_Check(o)) return wrong_type(i, "int");
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow) return out_of_range(i, "a signed 64-bit integer");
    return !(out == -1 && PyErr_Occurred());
  }

  bool read(std::size_t i, std::int32_t& out) noexcept {
    std::int64_t v = 0;
    if (!read(i, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) return out_of_range(i, "a signed 32-bit integer");
    out = static_cast<std::int32_t>(v);
    return true;
  }

  // A member of the tavex class, or an integer value. Values 0..255 pass on to the factory,
  // which refuses those outside the class.
  template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
  bool read(std::size_t i, E& out) noexcept {
    PyObject* o = values_[i];
    if (!PyLong_Check(o)) {
      if (tavex::read_enum(o, out)) return true;
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // the layout check's error
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a %s member or an int, not %s",
                   function_, names_[i], tavex::enum_name<E>, Py_TYPE(o)->tp_name);
      return false;
    }
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 0 || v > 255) return out_of_range(i, "a discriminant byte, 0..255");
    out = static_cast<E>(v);
    return true;
  }

  // An aware datetime in UTC, or (seconds since 1970, nanoseconds 0..1999999999).
  bool read(std::size_t i, DateTime& out) noexcept {
    PyObject* o = values_[i];
    if (PyDateTime_Check(o)) return from_datetime(i, o, out);
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2 && PyLong_Check(PyTuple_GET_ITEM(o, 0)) &&
        PyLong_Check(PyTuple_GET_ITEM(o, 1))) {
      int overflow = 0;
      const long seconds = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(o, 0), &overflow);
      if (overflow) return out_of_range(i, "seconds: a signed 64-bit integer");
      const long nanos = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(o, 1), &overflow);
      if (overflow || nanos < 0 || nanos > 1'999'999'999)
        return out_of_range(i, "nanoseconds: 0..1999999999");
      if (PyErr_Occurred()) return false;
      out = DateTime::from_unix(seconds, static_cast<std::uint32_t>(nanos));
      return true;
    }
    return wrong_type(i, "datetime or (seconds, nanoseconds)");
  }

 private:
  bool from_datetime(std::size_t i, PyObject* o, DateTime& out) noexcept {
    PyObject* tz = PyObject_GetAttrString(o, "tzinfo");
    if (!tz) return false;
    int utc = tz == PyDateTime_TimeZone_UTC;
    if (!utc && tz != Py_None) utc = PyObject_RichCompareBool(tz, PyDateTime_TimeZone_UTC, Py_EQ);
    Py_DECREF(tz);
    if (utc < 0) return false;
    if (!utc) {
      PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be an aware datetime in UTC",
                   function_, names_[i]);
      return false;
    }
    // A datetime's fields are always in range, so from_civil always gives a value.
    out = *DateTime::from_civil(
        PyDateTime_GET_YEAR(o), static_cast<unsigned>(PyDateTime_GET_MONTH(o)),
        static_cast<unsigned>(PyDateTime_GET_DAY(o)),
        static_cast<unsigned>(PyDateTime_DATE_GET_HOUR(o)),
        static_cast<unsigned>(PyDateTime_DATE_GET_MINUTE(o)),
        static_cast<unsigned>(PyDateTime_DATE_GET_SECOND(o)),
        static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(o)) * 1000u);
    return true;
  }

  bool wrong_type(std::size_t i, const char* wanted) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function_, names_[i],
                 wanted, Py_TYPE(values_[i])->tp_name);
    return false;
  }

  bool out_of_range(std::size_t i, const char* wanted) noexcept {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' is out of range (%s)", function_,
                 names_[i], wanted);
    return false;
  }

  const char* function_;
  const char* const (&names_)[N];
  std::array<PyObject*, N> values_{};  // borrowed from the keyword dict
};

// One factory per record class, every field by keyword under its attribute name.
#define TESTING_NAME(R, name, doc) #name,
#define TESTING_READ(R, name, doc) &&f.read(i++, out.name)
#define TESTING_FACTORY(R, lower, doc, FIELDS)                                   \
  constexpr const char* k##R##Names[] = {FIELDS(TESTING_NAME)};                  \
  PyObject* make_##lower(PyObject*, PyObject* args, PyObject* kwargs) noexcept { \
    Fields f("make_" #lower, k##R##Names);                                       \
    tavex::R##Fields out{};                                                      \
    std::size_t i = 0;                                                           \
    if (!(f.bind(args, kwargs) FIELDS(TESTING_READ))) return nullptr;            \
    return tavex::make_##lower(out);                                             \
  }
TAVEX_RECORDS(TESTING_FACTORY)
#undef TESTING_FACTORY
#undef TESTING_READ
#undef TESTING_NAME

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

#define TESTING_METHOD(R, lower, doc, FIELDS)                                 \
  {"make_" #lower, as_cfunction(&make_##lower), METH_VARARGS | METH_KEYWORDS, \
   "make_" #lower "(**fields)\n--\n\nA new " #R "; every field by keyword."},
PyMethodDef kMethods[] = {TAVEX_RECORDS(TESTING_METHOD){nullptr, nullptr, 0, nullptr}};
#undef TESTING_METHOD

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tavex_testing",
    "For tests only: makes tavex records through the native factory of <tavex/records.hpp>.\n"
    "\n"
    "Every field is required, by keyword, under its attribute name. Enumeration fields take\n"
    "the tavex member or its integer value; date-time fields an aware datetime in UTC or a\n"
    "tuple (seconds since 1970-01-01T00:00:00Z, nanoseconds 0..1999999999); text fields a\n"
    "str, or bytes passed through as they are.",
    0,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavex_testing(void) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return nullptr;
  return PyModule_Create(&kModule);
}
