// The seven enumeration classes of tavex from native code: a member object to its C++ enum
// (read_enum) and back (enum_member), and the length of a candle interval (interval_seconds).
// The C++ enums themselves are defined in <tavex/abi.hpp>.
//
// Header-only, C++17 or later; the same layout check as <tavex/records.hpp> runs before the
// first conversion (or in tavex::import()). Call with the interpreter's global lock held.
#pragma once

#include "tavex/abi.hpp"

#pragma GCC visibility push(hidden)

namespace tavex {

// The member `obj` stands for: true for a member of E's class (the class attribute, or a
// member read from a record field); false with TypeError for anything else: ints, floats,
// strings and members of another class are refused (RuntimeError when the loaded tavex does
// not match this header).
template <class E>
inline bool read_enum(PyObject* obj, E& out) noexcept {
  PyTypeObject* type = detail::enum_type<E>();
  if (!type) return false;
  if (__builtin_expect(Py_TYPE(obj) != type, 0)) {
    PyErr_Format(PyExc_TypeError, "expected a tavex.%s member, not %.200s", enum_name<E>,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const std::uint8_t value = reinterpret_cast<const abi::EnumObject*>(obj)->value;
  if (__builtin_expect(value >= enum_count<E>, 0)) {  // not from tavex's own constructors
    PyErr_Format(PyExc_SystemError, "tavex.%s member holds the invalid discriminant %u",
                 enum_name<E>, unsigned{value});
    return false;
  }
  out = static_cast<E>(value);
  return true;
}

// A new reference to the member of `value`'s class; null with ValueError when `value` is no
// member of it (or the import's or the check's exception).
template <class E>
inline PyObject* enum_member(E value) noexcept {
  const auto v = static_cast<unsigned>(value);
  if (v >= enum_count<E>) {
    PyErr_Format(PyExc_ValueError, "%u is not a valid %s value (0..%u)", v, enum_name<E>,
                 enum_count<E> - 1u);
    return nullptr;
  }
  PyObject*& slot = detail::g_state.members[enum_traits<E>::id][v];
  if (!slot) {
    PyTypeObject* type = detail::enum_type<E>();
    if (!type) return nullptr;
    PyObject* member =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), enum_traits<E>::members[v]);
    if (!member) return nullptr;
    if (Py_TYPE(member) != type) {  // guards a class changed at run time
      Py_DECREF(member);
      PyErr_Format(PyExc_RuntimeError, "tavex.%s.%s is not a member of its class",
                   enum_name<E>, enum_traits<E>::members[v]);
      return nullptr;
    }
    if (slot) Py_DECREF(member);  // the lookup ran Python code that got here first
    else slot = member;
  }
  Py_INCREF(slot);
  return slot;
}

// The length of a candle of `interval` in seconds (Min15: 900); 0 for a value that is no member.
constexpr std::int64_t interval_seconds(CandleInterval interval) noexcept {
  switch (interval) {
    case CandleInterval::Min1: return 60;
    case CandleInterval::Min5: return 5 * 60;
    case CandleInterval::Min15: return 15 * 60;
    case CandleInterval::Hour1: return 60 * 60;
    case CandleInterval::Day1: return kSecondsPerDay;
  }
  return 0;
}

}  // namespace tavex

#pragma GCC visibility pop
