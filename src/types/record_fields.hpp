// The four record classes, described by one field table each over the public layouts.
#pragma once

#include <cstddef>
#include <span>

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

}  // namespace tavex::types
