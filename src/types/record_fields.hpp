// The four record classes as data: one field table each, made from the public field lists of
// <tavex/abi.hpp> and checked against the public layouts; and how a field is read and a record
// freed, on every interpreter.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "module/compat.hpp"
#include "module/convert.hpp"
#include "tavex/records.hpp"
#include "types/enum_classes.hpp"

namespace tavex::types {

enum class FieldKind : std::uint8_t { Text, Float, Int64, Int32, Enum, DateTime };

// One field: its attribute name and documentation, what it holds and where in the object.
struct FieldDesc {
  const char* name;
  const char* doc;
  FieldKind kind;
  Py_ssize_t offset;
  EnumId enum_id;  // the class of an Enum field; unused otherwise
};

struct RecordDesc {
  const char* spec_name;  // "builtins.<Class>"
  const char* name;
  const char* doc;
  int basicsize;
  std::span<const FieldDesc> fields;  // in declared order
};

// Numbers are read by member descriptors; the other kinds by getters of their own.
constexpr bool is_numeric(FieldKind k) noexcept {
  return k == FieldKind::Float || k == FieldKind::Int64 || k == FieldKind::Int32;
}

// A field stored as T: its kind follows from the type.
template <class T>
constexpr FieldDesc field_desc(const char* name, const char* doc, std::size_t offset) noexcept {
  FieldDesc d{name, doc, FieldKind::Enum, static_cast<Py_ssize_t>(offset), EnumId::RunMode};
  if constexpr (std::is_same_v<T, abi::Text>) {
    d.kind = FieldKind::Text;
  } else if constexpr (std::is_same_v<T, abi::StoredDateTime>) {
    d.kind = FieldKind::DateTime;
  } else if constexpr (std::is_same_v<T, double>) {
    d.kind = FieldKind::Float;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    d.kind = FieldKind::Int64;
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    d.kind = FieldKind::Int32;
  } else {
    static_assert(std::is_enum_v<T>, "a record field of a type the module cannot read");
    d.enum_id = static_cast<EnumId>(enum_traits<T>::id);
  }
  return d;
}

#define TAVEX_FIELD_DESC(R, name, doc) \
  field_desc<decltype(abi::R##Object::name)>(#name, doc, offsetof(abi::R##Object, name)),
#define TAVEX_FIELD_TABLE(R, lower, doc, FIELDS) \
  inline constexpr FieldDesc k##R##Fields[] = {FIELDS(TAVEX_FIELD_DESC)};
#define TAVEX_RECORD_DESC(R, lower, doc, FIELDS) \
  RecordDesc{"builtins." #R, #R, doc, sizeof(abi::R##Object), k##R##Fields},
TAVEX_RECORDS(TAVEX_FIELD_TABLE)
// Indexed like the public header's RecordId.
inline constexpr RecordDesc kRecords[] = {TAVEX_RECORDS(TAVEX_RECORD_DESC)};
#undef TAVEX_RECORD_DESC
#undef TAVEX_FIELD_TABLE
#undef TAVEX_FIELD_DESC

// --- What cannot be made from the field lists is checked against them. ---

// The number of members of an aggregate: the most initializers it takes.
struct AnyMember {
  template <class T>
  operator T() const noexcept;  // never defined: only asked whether it would convert
};
template <class T, class... Members>
constexpr std::size_t member_count() noexcept {
  if constexpr (requires { T{Members{}..., AnyMember{}}; })
    return member_count<T, Members..., AnyMember>();
  else
    return sizeof...(Members);
}

// PyObject_HEAD, and on PyPy the record's own address.
inline constexpr std::size_t kRecordHeadMembers = py::kPyPy ? 2 : 1;

// The struct has no member beyond the head and the listed fields, and the layout table one row
// for each field and one for the whole.
template <class Object>
constexpr bool matches_layout(const RecordDesc& d) noexcept {
  if (member_count<Object>() != kRecordHeadMembers + d.fields.size()) return false;
  std::size_t rows = 0, whole = 0;
  for (const layout::Row& row : layout::kRows) {
    if (std::string_view(row.owner) != d.name) continue;
    ++rows;
    whole += *row.field == '\0' && row.size == sizeof(Object);
  }
  for (const FieldDesc& f : d.fields) {
    std::size_t n = 0;
    for (const layout::Row& row : layout::kRows)
      n += std::string_view(row.owner) == d.name && std::string_view(row.field) == f.name &&
           row.offset == static_cast<std::uint64_t>(f.offset);
    if (n != 1) return false;
  }
  return whole == 1 && rows == d.fields.size() + 1;
}
#define TAVEX_LAYOUT_CHECK(R, lower, doc, FIELDS)                               \
  static_assert(matches_layout<abi::R##Object>(kRecords[detail::k##R]),         \
                #R ": a member of abi::" #R "Object or a row of layout::kRows " \
                "that its field list in <tavex/abi.hpp> lacks");
TAVEX_RECORDS(TAVEX_LAYOUT_CHECK)
#undef TAVEX_LAYOUT_CHECK

template <std::size_t R>
inline constexpr std::size_t kFieldCount = kRecords[R].fields.size();

// The class objects, indexed like kRecords: each set once, never released.
inline PyTypeObject* g_record_types[std::size(kRecords)];

// --- Field reads. Each converts the stored value once; none caches the result. ---

inline PyObject* read_text(const abi::Text& t) noexcept {
  // A null block is an empty text (also in the zero-filled objects PyPy can make).
  if (!t.data || t.size == 0) return PyUnicode_FromStringAndSize("", 0);
  // Codes and identifiers are ASCII: copy them straight into a compact str.
  if (t.size <= 64) {
    unsigned char high = 0;
    for (Py_ssize_t i = 0; i < t.size; ++i) high |= static_cast<unsigned char>(t.data[i]);
    if (high < 0x80) {
      PyObject* out = PyUnicode_New(t.size, 127);
      if (out) std::memcpy(PyUnicode_1BYTE_DATA(out), t.data, static_cast<std::size_t>(t.size));
      return out;
    }
  }
  return PyUnicode_DecodeUTF8(t.data, t.size, nullptr);
}

inline PyObject* read_enum(EnumId id, std::uint8_t value) noexcept {
  if (TAVEX_UNLIKELY(value >= enum_size(id))) {  // only native code that bypassed the factory
    PyErr_Format(PyExc_SystemError, "record holds the invalid discriminant %u", unsigned{value});
    return nullptr;
  }
  return new_member(id, value);
}

// A leap second, or the datetime API not loaded yet; out of line, so the read needs no frame.
[[gnu::noinline, gnu::cold]] inline PyObject* read_datetime_slow(
    const abi::StoredDateTime& v) noexcept {
  const bool leap = v.micros() >= 1'000'000;
  return py::new_datetime_slow(DateFields{
      v.year(), static_cast<std::uint8_t>(v.month0 + 1), static_cast<std::uint8_t>(v.day0 + 1),
      v.hour, v.minute, static_cast<std::uint8_t>(v.second()),
      v.nanos() - (leap ? static_cast<std::uint32_t>(kNanosPerSecond) : 0u), leap});
}

inline PyObject* read_datetime(const abi::StoredDateTime& v) noexcept {
  const PyDateTime_CAPI* api = py::g_datetime;
  if (TAVEX_LIKELY(api && v.micros() < 1'000'000))
    return api->DateTime_FromDateAndTimeAndFold(
        v.year(), v.month0 + 1, v.day0 + 1, v.hour, v.minute, static_cast<int>(v.second()),
        static_cast<int>(v.micros()), api->TimeZone_UTC, 0, api->DateTimeType);
  return read_datetime_slow(v);
}

static_assert(sizeof(std::int64_t) == sizeof(long), "int64 fields are read as C long");

// Field I of record class R, as a new reference; nullptr with the exception set.
template <std::size_t R, std::size_t I>
PyObject* read_field(PyObject* self) noexcept {
  constexpr FieldDesc f = kRecords[R].fields[I];
  const char* at = reinterpret_cast<const char*>(self) + f.offset;
  if constexpr (f.kind == FieldKind::Text) {
    return read_text(*reinterpret_cast<const abi::Text*>(at));
  } else if constexpr (f.kind == FieldKind::Float) {
    return PyFloat_FromDouble(*reinterpret_cast<const double*>(at));
  } else if constexpr (f.kind == FieldKind::Int64) {
    return PyLong_FromLong(*reinterpret_cast<const std::int64_t*>(at));
  } else if constexpr (f.kind == FieldKind::Int32) {
    return PyLong_FromLong(*reinterpret_cast<const std::int32_t*>(at));
  } else if constexpr (f.kind == FieldKind::Enum) {
    return read_enum(f.enum_id, *reinterpret_cast<const std::uint8_t*>(at));
  } else {
    return read_datetime(*reinterpret_cast<const abi::StoredDateTime*>(at));
  }
}

template <std::size_t R>
void record_dealloc(PyObject* self) noexcept {
  char* base = reinterpret_cast<char*>(self);
  for (const FieldDesc& f : kRecords[R].fields)
    if (f.kind == FieldKind::Text) PyMem_Free(reinterpret_cast<abi::Text*>(base + f.offset)->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances hold a reference to their class
}

}  // namespace tavex::types
