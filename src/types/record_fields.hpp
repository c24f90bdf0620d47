// The four record classes as data: one field table each, made from the public field lists of
// <tavex/abi.hpp>, and checked against the public layouts.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "module/compat.hpp"
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

}  // namespace tavex::types
