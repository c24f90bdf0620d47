// Making and reading tavex records from native code: one factory per class (fields by
// position or by name), a read-only view per class, and the class objects.
//
// Header-only, C++17 or later; needs nothing but Python.h (and dlopen from the C library).
// Works from any extension module built against the same interpreter as tavex: it takes the
// very class objects tavex exposes (through `import tavex`), allocates through their tp_alloc
// and hands the texts to tavex's deallocator in blocks from the interpreter's allocator
// (PyMem_Malloc). Before the first record it compares its record layouts with those of the
// loaded tavex, field by field, and refuses to make, view or type-check anything when one
// differs: in tavex::import() when the module's PyInit calls it, else on first use. Every
// function here must be called with the interpreter's global lock held.
#pragma once

#include "tavex/abi.hpp"

#pragma GCC visibility push(hidden)

namespace tavex {

namespace detail {

// The byte offset of the first invalid UTF-8 sequence, or -1 when the whole text is valid.
// As strict as the interpreter's decoder: no overlong forms, surrogates or code points
// above U+10FFFF.
constexpr std::ptrdiff_t invalid_utf8_at(std::string_view s) noexcept {
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if (c == 0xED) len = 3, hi = 0x9F;  // not D800..DFFF
    else if (c >= 0xE1 && c <= 0xEF) len = 3;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;  // not above U+10FFFF
    else return static_cast<std::ptrdiff_t>(i);
    if (n - i < len) return static_cast<std::ptrdiff_t>(i);
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < lo || second > hi) return static_cast<std::ptrdiff_t>(i);
    for (std::size_t k = 2; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
        return static_cast<std::ptrdiff_t>(i);
    i += len;
  }
  return -1;
}

// Each check of a field's value sets ValueError naming the field ("Order.status") and returns
// false; numbers take any value.
inline bool check_field(const char* field, std::string_view s) noexcept {
  const std::ptrdiff_t at = invalid_utf8_at(s);
  if (at < 0) return true;
  set_error(PyExc_ValueError, "%s: text is not valid UTF-8 (at byte %td)", field, at);
  return false;
}

template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
inline bool check_field(const char* field, E value) noexcept {
  const auto v = static_cast<unsigned>(value);
  if (v < enum_count<E>) return true;
  set_error(PyExc_ValueError, "%s: %u is not a valid %s value (0..%u)", field, v, enum_name<E>,
            enum_count<E> - 1u);
  return false;
}

inline bool check_field(const char* field, const DateTime& v) noexcept {
  if (v.is_valid()) return true;
  if (v.days_since_1970 < DateTime::kMinDay || v.days_since_1970 > DateTime::kMaxDay)
    set_error(PyExc_ValueError, "%s: day %lld since 1970 is outside the years %d..%d", field,
              static_cast<long long>(v.days_since_1970), DateTime::kMinYear, DateTime::kMaxYear);
  else if (v.seconds_of_day >= 86'400)
    set_error(PyExc_ValueError, "%s: second of the day %u is not in 0..86399", field,
              v.seconds_of_day);
  else if (v.nanos >= 2'000'000'000)
    set_error(PyExc_ValueError, "%s: nanoseconds %u are not in 0..1999999999", field, v.nanos);
  else
    set_error(PyExc_ValueError,
              "%s: a leap second (nanoseconds >= 1000000000) must fall on second 59 of a minute",
              field);
  return false;
}

template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
constexpr bool check_field(const char*, T) noexcept {
  return true;
}

// Copies `s` and a NUL into a block the record owns; false with MemoryError when allocation
// fails.
inline bool store_field(abi::Text& out, std::string_view s) noexcept {
  if (s.empty()) return true;
  void* block = s.size() < static_cast<std::size_t>(PY_SSIZE_T_MAX) ? PyMem_Malloc(s.size() + 1)
                                                                     : nullptr;
  if (!block) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(block, s.data(), s.size());
  static_cast<char*>(block)[s.size()] = '\0';
  out.data = static_cast<char*>(block);
  out.size = static_cast<Py_ssize_t>(s.size());
  return true;
}

inline bool store_field(abi::StoredDateTime& out, const DateTime& v) noexcept {
  out = abi::StoredDateTime::from(v);
  return true;
}

template <class T>
inline bool store_field(T& out, T v) noexcept {
  out = v;
  return true;
}

// What a view gives for a stored field: a text as a view of its UTF-8, a date-time whole.
inline std::string_view view_field(const abi::Text& t) noexcept { return text_of(t); }
inline DateTime view_field(const abi::StoredDateTime& v) noexcept { return v.to_date_time(); }
template <class T>
constexpr T view_field(T v) noexcept {
  return v;
}

// The C++ type a factory takes and a view gives for a field stored as T.
template <class T>
struct field_value {
  using type = T;
};
template <>
struct field_value<abi::Text> {
  using type = std::string_view;
};
template <>
struct field_value<abi::StoredDateTime> {
  using type = DateTime;
};
template <class T>
using field_value_t = typename field_value<T>::type;

// A new zero-filled instance of a record class; null with the exception set on failure.
template <class Object>
inline Object* alloc_record(RecordId id) noexcept {
  PyTypeObject* type = record_type(id);
  if (!type) return nullptr;
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  return reinterpret_cast<Object*>(alloc(type, 0));
}

// Drops a record whose texts could not all be copied; tavex's dealloc frees the ones that were.
inline PyObject* discard(void* record) noexcept {
  Py_DECREF(reinterpret_cast<PyObject*>(record));
  return nullptr;
}

// The view of `obj` (borrowed), or null with TypeError when it is not a record of that class.
template <class View>
inline const View* view_of(PyObject* obj, RecordId id) noexcept {
  PyTypeObject* type = record_type(id);
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    PyErr_Format(PyExc_TypeError, "expected a tavex.%s, not %.200s", kRecordNames[id],
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<const View*>(obj);
}

}  // namespace detail

// Each record class's native API, made from its field list in <tavex/abi.hpp> (the fields in
// the order of the class's documentation); for Candle:
//
//   PyObject* make_candle(TradeKind kind, std::string_view code, CandleInterval interval,
//                         DateTime open_time, DateTime close_time, double open, ...,
//                         std::int64_t trades);
//   struct CandleFields { TradeKind kind; std::string_view code; ...; std::int64_t trades; };
//   PyObject* make_candle(const CandleFields& fields);
//   PyTypeObject* candle_type();
//   class Candle { ... TradeKind kind() const; std::string_view code() const; ... };
//   const Candle* as_candle(PyObject* obj);
//
// The factories take every field, by position or by name (`tavex::make_candle({.kind = ...,
// .code = ..., ...})` in C++20), and return a new reference, or null with an exception set:
// ValueError for an enumeration value outside its class, an invalid DateTime or a text that is
// not UTF-8; RuntimeError when the installed tavex does not match this header; the import's or
// the allocator's errors otherwise.
//
// *_type() gives the class object (borrowed, kept for the life of the process), for type checks
// such as PyObject_TypeCheck(obj, tavex::order_type()); null with an exception set on failure.
//
// The views are read-only: `const tavex::Candle* c = tavex::as_candle(obj)`, then `c->close()`.
// A view is the record itself, borrowed: valid while the record lives, and the texts it hands
// out too (records never change after they are made); object() gives it back as a PyObject*.
// as_*() gives null with TypeError when `obj` is not a record of that class (RuntimeError when
// the loaded tavex does not match this header).
#define TAVEX_FIELD_TYPE(R, name) detail::field_value_t<decltype(abi::R##Object::name)>
#define TAVEX_FIELD_PARAM(R, name, doc) , TAVEX_FIELD_TYPE(R, name) name
#define TAVEX_FIELD_CHECK(R, name, doc) &&detail::check_field(#R "." #name, name)
#define TAVEX_FIELD_STORE(R, name, doc) &&detail::store_field(record->name, name)
#define TAVEX_FIELD_MEMBER(R, name, doc) TAVEX_FIELD_TYPE(R, name) name;
#define TAVEX_FIELD_ARG(R, name, doc) , fields.name
#define TAVEX_FIELD_GETTER(R, name, doc) \
  TAVEX_FIELD_TYPE(R, name) name() const noexcept { return detail::view_field(stored().name); }
#define TAVEX_DROP_FIRST(...) TAVEX_DROP_FIRST_(__VA_ARGS__)
#define TAVEX_DROP_FIRST_(nothing, ...) __VA_ARGS__

#define TAVEX_RECORD_API(R, lower, doc, FIELDS)                                              \
  inline PyObject* make_##lower(TAVEX_DROP_FIRST(FIELDS(TAVEX_FIELD_PARAM))) noexcept {      \
    if (!(true FIELDS(TAVEX_FIELD_CHECK))) return nullptr;                                   \
    auto* record = detail::alloc_record<abi::R##Object>(detail::k##R);                       \
    if (!record) return nullptr;                                                             \
    if (!(true FIELDS(TAVEX_FIELD_STORE))) return detail::discard(record);                   \
    return reinterpret_cast<PyObject*>(record);                                              \
  }                                                                                          \
                                                                                             \
  struct R##Fields {                                                                         \
    FIELDS(TAVEX_FIELD_MEMBER)                                                               \
  };                                                                                         \
  inline PyObject* make_##lower(const R##Fields& fields) noexcept {                          \
    return make_##lower(TAVEX_DROP_FIRST(FIELDS(TAVEX_FIELD_ARG)));                          \
  }                                                                                          \
                                                                                             \
  inline PyTypeObject* lower##_type() noexcept { return detail::record_type(detail::k##R); } \
                                                                                             \
  class R {                                                                                  \
   public:                                                                                   \
    R() = delete;                                                                            \
    R(const R&) = delete;                                                                    \
    R& operator=(const R&) = delete;                                                         \
    PyObject* object() const noexcept {                                                      \
      return const_cast<PyObject*>(reinterpret_cast<const PyObject*>(this));                 \
    }                                                                                        \
    FIELDS(TAVEX_FIELD_GETTER)                                                               \
                                                                                             \
   private:                                                                                  \
    const abi::R##Object& stored() const noexcept {                                          \
      return *reinterpret_cast<const abi::R##Object*>(this);                                 \
    }                                                                                        \
  };                                                                                         \
  inline const R* as_##lower(PyObject* obj) noexcept {                                       \
    return detail::view_of<R>(obj, detail::k##R);                                            \
  }

TAVEX_RECORDS(TAVEX_RECORD_API)

#undef TAVEX_RECORD_API
#undef TAVEX_DROP_FIRST_
#undef TAVEX_DROP_FIRST
#undef TAVEX_FIELD_GETTER
#undef TAVEX_FIELD_ARG
#undef TAVEX_FIELD_MEMBER
#undef TAVEX_FIELD_STORE
#undef TAVEX_FIELD_CHECK
#undef TAVEX_FIELD_PARAM
#undef TAVEX_FIELD_TYPE

}  // namespace tavex

#pragma GCC visibility pop
