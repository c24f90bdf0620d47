// The seven enumeration classes.
#pragma once

#include <cstdint>

#include "module/failure.hpp"
#include "tavex/abi.hpp"

namespace tavex::types {

enum class EnumId : std::uint8_t {
  RunMode,
  TradeKind,
  TradeType,
  TradeSide,
  OrderStatus,
  CandleInterval,
  EventType,
};

// Member conversion: a new member object of the class holding `value`, which must be one
// of the class's discriminants. Creates the class if needed.
py::Result<py::Ref> make_member(EnumId id, std::uint8_t value) noexcept;

// The same as a plain new reference, or nullptr with the exception set; `value` must be valid.
PyObject* new_member(EnumId id, std::uint8_t value) noexcept;

// The number of members of a class (discriminants are 0..count-1).
constexpr std::uint8_t enum_size(EnumId id) noexcept {
  constexpr std::uint8_t kCounts[] = {
      enum_count<RunMode>,     enum_count<TradeKind>,      enum_count<TradeType>,
      enum_count<TradeSide>,   enum_count<OrderStatus>,    enum_count<CandleInterval>,
      enum_count<EventType>};
  return kCounts[static_cast<std::size_t>(id)];
}

// tp_new of every class of the module: Python code cannot construct them.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tavex::types
