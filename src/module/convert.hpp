// Conversions of arguments into the module's values and of results back into objects.
#pragma once

#include <cstdint>
#include <string_view>

#include "module/failure.hpp"
#include "tavex/time.hpp"

// For the struct layouts only: every translation unit gets its own (unused) PyDateTimeAPI;
// the one that convert.cpp loads is shared through g_datetime below.
#include <datetime.h>

namespace tavex::py {

// The datetime C API once convert.cpp has loaded it (null before the first conversion).
extern PyDateTime_CAPI* g_datetime;

// Each input conversion takes a borrowed argument and the parameter's name, and returns
// the value or a failure that follows the argument rules (prefix on exact TypeErrors).

// PyFloat_AsDouble as CPython's, for PyPy, whose own does not fall back to __index__ when
// there is no __float__. Returns -1.0 with an exception pending on failure.
double float_or_index(PyObject* o) noexcept;

inline Result<double> to_double(PyObject* o, const char* param) noexcept {
  if (TAVEX_LIKELY(PyFloat_CheckExact(o))) return PyFloat_AS_DOUBLE(o);
  const double v = kPyPy ? float_or_index(o) : PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return collect_conversion_error(param);
  return v;
}

// A C long from an int, a subclass of it, or an object with __index__; floats and objects
// that only have __int__ are refused on every interpreter. Returns -1 with an exception
// pending on failure, as PyLong_AsLong does.
long as_index_long(PyObject* o) noexcept;

inline Result<std::int64_t> to_int64(PyObject* o, const char* param) noexcept {
  const long v = TAVEX_LIKELY(PyLong_Check(o)) ? PyLong_AsLong(o) : as_index_long(o);
  if (TAVEX_UNLIKELY(v == -1) && PyErr_Occurred()) return collect_conversion_error(param);
  return std::int64_t{v};
}

Result<std::uint32_t> to_uint32(PyObject* o, const char* param) noexcept;

// The UTF-8 form of a str, borrowed from the object for the duration of the call.
Result<std::string_view> to_text(PyObject* o, const char* param) noexcept;

// Whether the time of day is read too. On PyPy each field is a call of its own, so a caller
// that needs only the date leaves the time at zero, unread.
enum class Time : bool { Read, Skip };

// The fields of a datetime as they stand (the struct macros work on every target).
inline DateFields fields_of(PyObject* o, Time time = Time::Read) noexcept {
  const std::int32_t year = PyDateTime_GET_YEAR(o);
  const auto month = static_cast<std::uint8_t>(PyDateTime_GET_MONTH(o));
  const auto day = static_cast<std::uint8_t>(PyDateTime_GET_DAY(o));
  if (time == Time::Skip) return DateFields{year, month, day, 0, 0, 0, 0, false};
  return DateFields{year, month, day,
                      static_cast<std::uint8_t>(PyDateTime_DATE_GET_HOUR(o)),
                      static_cast<std::uint8_t>(PyDateTime_DATE_GET_MINUTE(o)),
                      static_cast<std::uint8_t>(PyDateTime_DATE_GET_SECOND(o)),
                      static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(o)) * 1000u,
                      false};
}

// The fields of an aware datetime whose tzinfo equals datetime.timezone.utc, read as they
// stand and taken as UTC (the tzinfo is never asked for its offset).
Result<DateFields> to_utc_fields_slow(PyObject* o, const char* param, Time time) noexcept;
inline Result<DateFields> to_utc_fields(PyObject* o, const char* param,
                                          Time time = Time::Read) noexcept {
  // The common case inline: a plain datetime whose tzinfo is datetime.timezone.utc itself.
  // (PyPy fills the struct's tzinfo for a plain datetime too, though not for subclasses.)
  const PyDateTime_CAPI* api = g_datetime;
  const auto* dt = reinterpret_cast<const PyDateTime_DateTime*>(o);
  if (TAVEX_LIKELY(api && Py_TYPE(o) == api->DateTimeType && dt->hastzinfo &&
                   dt->tzinfo == api->TimeZone_UTC))
    return fields_of(o, time);
  return to_utc_fields_slow(o, param, time);
}

// A new aware datetime in UTC from calendar fields: a plain new reference, or nullptr with
// the exception set (for slot routines). Digits below the microsecond are dropped, and a leap
// second is second 59 with a UserWarning.
PyObject* new_datetime_slow(const DateFields& f) noexcept;
inline PyObject* new_datetime(const DateFields& f) noexcept {
  const PyDateTime_CAPI* api = g_datetime;
  if (TAVEX_LIKELY(api && !f.leap))
    return api->DateTime_FromDateAndTimeAndFold(f.year, f.month, f.day, f.hour, f.minute,
                                                 f.second, static_cast<int>(f.nanos / 1000),
                                                 api->TimeZone_UTC, 0, api->DateTimeType);
  return new_datetime_slow(f);
}

// The same as a result, for entry routines.
inline Result<Ref> make_datetime(const DateFields& f) noexcept {
  PyObject* out = new_datetime(f);
  if (!out) return Failure::pending();
  return Ref::steal(out);
}

inline Result<Ref> make_int(std::int64_t v) noexcept {
  PyObject* o = PyLong_FromLong(v);
  if (!o) return Failure::pending();
  return Ref::steal(o);
}

}  // namespace tavex::py
