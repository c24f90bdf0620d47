// The seven enumeration classes: seven constant tables and one implementation.
#include "types/enum_classes.hpp"

#include <array>
#include <bit>
#include <span>
#include <string>
#include <string_view>

#include "module/convert.hpp"
#include "module/registry.hpp"
#include "tavex/enums.hpp"
#include "tavex/records.hpp"
#include "types/pypy.hpp"

namespace tavex::types {
namespace {

using py::Ref;

// The member layout native consumers read through <tavex/enums.hpp>.
using abi::EnumObject;

struct EnumDesc {
  const char* spec_name;  // "builtins.<Class>"
  const char* name;
  const char* doc;
  std::span<const char* const> members;
  std::span<const char* const> reprs;
};

constexpr auto& kRunModeMembers = enum_traits<RunMode>::members;
constexpr const char* kRunModeReprs[] = {"RunMode.Backtest", "RunMode.Simulation", "RunMode.Live"};
constexpr auto& kTradeKindMembers = enum_traits<TradeKind>::members;
constexpr const char* kTradeKindReprs[] = {"TradeKind.Spot", "TradeKind.Future"};
constexpr auto& kTradeTypeMembers = enum_traits<TradeType>::members;
constexpr const char* kTradeTypeReprs[] = {"TradeType.Limit", "TradeType.Market"};
constexpr auto& kTradeSideMembers = enum_traits<TradeSide>::members;
constexpr const char* kTradeSideReprs[] = {"TradeSide.Long", "TradeSide.Short"};
constexpr auto& kOrderStatusMembers = enum_traits<OrderStatus>::members;
constexpr const char* kOrderStatusReprs[] = {
    "OrderStatus.Created", "OrderStatus.Submitted", "OrderStatus.PartialFilled",
    "OrderStatus.Filled",  "OrderStatus.Canceled",  "OrderStatus.Rejected"};
constexpr auto& kCandleIntervalMembers = enum_traits<CandleInterval>::members;
constexpr const char* kCandleIntervalReprs[] = {"CandleInterval.Min1", "CandleInterval.Min5",
                                                "CandleInterval.Min15", "CandleInterval.Hour1",
                                                "CandleInterval.Day1"};
constexpr auto& kEventTypeMembers = enum_traits<EventType>::members;
constexpr const char* kEventTypeReprs[] = {
    "EventType.Initialize",    "EventType.Start",          "EventType.Stop",
    "EventType.Daily",         "EventType.Hourly",         "EventType.Minutely",
    "EventType.Secondly",      "EventType.Tick",           "EventType.QuoteChange",
    "EventType.AccountChange", "EventType.PositionChange", "EventType.OrderChange"};

constexpr EnumDesc kEnums[] = {
    {"builtins.RunMode", "RunMode", "运行模式", kRunModeMembers, kRunModeReprs},
    {"builtins.TradeKind", "TradeKind", "交易品种", kTradeKindMembers, kTradeKindReprs},
    {"builtins.TradeType", "TradeType", "交易类型", kTradeTypeMembers, kTradeTypeReprs},
    {"builtins.TradeSide", "TradeSide", "交易方向", kTradeSideMembers, kTradeSideReprs},
    {"builtins.OrderStatus", "OrderStatus", "订单状态", kOrderStatusMembers, kOrderStatusReprs},
    {"builtins.CandleInterval", "CandleInterval", "K线周期", kCandleIntervalMembers,
     kCandleIntervalReprs},
    {"builtins.EventType", "EventType", "事件类型", kEventTypeMembers, kEventTypeReprs},
};
constexpr std::size_t kEnumCount = std::size(kEnums);
// The classes in the order of EnumId, which is that of the public header's enum_traits ids:
// record fields find their class by the id of their C++ enum.
template <class... E>
constexpr bool follows_enum_traits() noexcept {
  return kEnumCount == sizeof...(E) && kEnumCount == kEnumClasses &&
         ((std::string_view(kEnums[enum_traits<E>::id].name) == enum_traits<E>::name &&
           kEnums[enum_traits<E>::id].members.size() == enum_count<E> &&
           enum_size(static_cast<EnumId>(enum_traits<E>::id)) == enum_count<E> &&
           kEnums[enum_traits<E>::id].reprs.size() == enum_count<E>) &&
          ...);
}
static_assert(follows_enum_traits<RunMode, TradeKind, TradeType, TradeSide, OrderStatus,
                                  CandleInterval, EventType>());

// The public interval lengths say what the member names say ("Min15": 15 minutes).
static_assert([] {
  for (std::uint8_t i = 0; i < enum_count<CandleInterval>; ++i) {
    const std::string_view name = enum_traits<CandleInterval>::members[i];
    const std::size_t digits = name.find_first_of("0123456789");
    std::int64_t count = 0;
    for (const char c : name.substr(digits)) count = count * 10 + (c - '0');
    const std::string_view unit = name.substr(0, digits);
    const std::int64_t unit_seconds =
        unit == "Min" ? 60 : unit == "Hour" ? 3600 : unit == "Day" ? 86'400 : 0;
    if (interval_seconds(static_cast<CandleInterval>(i)) != count * unit_seconds || count == 0)
      return false;
  }
  return interval_seconds(static_cast<CandleInterval>(enum_count<CandleInterval>)) == 0;
}());

// Process-wide state of one class: the type (kept from the moment it exists), whether its
// members are attached, and the representation texts as str objects, made once.
struct EnumState {
  PyTypeObject* type = nullptr;
  bool complete = false;
  std::array<PyObject*, kMaxMembers> reprs{};
  std::array<PyObject*, kMaxMembers> ints{};
};
EnumState g_enum_classes[kEnumCount];

template <std::size_t I>
PyObject* enum_repr(PyObject* self) noexcept {
  PyObject* text = g_enum_classes[I].reprs[reinterpret_cast<EnumObject*>(self)->value];
  Py_INCREF(text);
  return text;
}

template <std::size_t I>
PyObject* enum_int(PyObject* self) noexcept {
  PyObject* v = g_enum_classes[I].ints[reinterpret_cast<EnumObject*>(self)->value];
  Py_INCREF(v);
  return v;
}

// The integer an operand stands for, or false when it stands for none.
bool operand_value(PyObject* other, long& out) noexcept {
  out = PyLong_Check(other) ? PyLong_AsLong(other) : py::as_index_long(other);
  if (out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// CPython hands out one shared object for each int from -5 to 256; 3.11 and later keep them
// in one static array, side by side at equal steps (3.9 and 3.10 allocate most of them in a
// row). Where that is so (checked at run time, on the objects the interpreter returns), such
// an int is known by its address alone, equal or not: no call, no conversion. Any other int,
// and a layout that does not pass the check, take the general path.
struct SmallInts {
  std::uintptr_t base = 0;  // address of the object for `low`
  std::uintptr_t count = 0; // ints in the window; 0 before the check and after a failed one
  long low = 0;
  unsigned shift = 0;       // log2 of the step between two objects
  bool checked = false;
};
SmallInts g_small;

[[gnu::cold]] void find_small_ints() noexcept {
  g_small.checked = true;
  constexpr long kLow = -5, kHigh = 256;
  std::array<Ref, kHigh - kLow + 1> ints;
  for (long v = kLow; v <= kHigh; ++v)
    if (!(ints[static_cast<std::size_t>(v - kLow)] = Ref::steal(PyLong_FromLong(v)))) {
      PyErr_Clear();
      return;
    }
  const auto at = [&](long v) {
    return reinterpret_cast<std::uintptr_t>(ints[static_cast<std::size_t>(v - kLow)].get());
  };
  const std::uintptr_t step = at(1) - at(0);
  if (step == 0 || step > 1024 || !std::has_single_bit(step)) return;
  // The longest run of equal steps around 0 (3.9 puts its small ints in separate pools).
  long low = 0, high = 1;
  while (low > kLow && at(low) - at(low - 1) == step) --low;
  while (high < kHigh && at(high + 1) - at(high) == step) ++high;
  g_small = {at(low), static_cast<std::uintptr_t>(high - low + 1), low,
             static_cast<unsigned>(std::countr_zero(step)), true};
  // The window's objects stay referenced for the life of the process, so no other object
  // can ever take one of their addresses.
  for (long v = low; v <= high; ++v) (void)ints[static_cast<std::size_t>(v - kLow)].release();
}

// The value of an exact int in the window. A rotation turns an address off the step into a
// huge index, so one comparison tests both the range and the alignment.
inline bool small_int_value(PyObject* o, long& out) noexcept {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(o) - g_small.base;
  const std::uintptr_t k = std::rotr(at, static_cast<int>(g_small.shift));
  out = static_cast<long>(k) + g_small.low;
  return k < g_small.count;
}

// True, False or NotImplemented for two known values.
inline PyObject* compare_values(long lhs, long rhs, int op) noexcept {
  if (TAVEX_UNLIKELY(op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  // A select rather than a branch: which answer comes back is as random as the data.
  PyObject* out = Py_False;
  if ((lhs == rhs) == (op == Py_EQ)) out = Py_True;
  Py_INCREF(out);
  return out;
}

// Everything but the common cases below, out of line so that those need no stack frame.
// The classes admit no subclasses, so an exact type test is the class's whole type check.
template <std::size_t I>
[[gnu::noinline]] PyObject* enum_richcompare_other(PyObject* self, PyObject* other,
                                                   int op) noexcept {
  PyTypeObject* type = g_enum_classes[I].type;
  if (Py_TYPE(self) != type || op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
  if constexpr (!py::kPyPy)
    if (TAVEX_UNLIKELY(!g_small.checked)) find_small_ints();
  long rhs = 0;
  if (Py_TYPE(other) == type)
    rhs = reinterpret_cast<EnumObject*>(other)->value;
  else if (!operand_value(other, rhs))
    Py_RETURN_NOTIMPLEMENTED;
  return compare_values(reinterpret_cast<EnumObject*>(self)->value, rhs, op);
}

template <std::size_t I>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  PyTypeObject* type = g_enum_classes[I].type;
  if (TAVEX_LIKELY(Py_TYPE(self) == type && static_cast<unsigned>(op) <= Py_GE)) {
    const long lhs = reinterpret_cast<EnumObject*>(self)->value;
    if (Py_TYPE(other) == type)
      return compare_values(lhs, reinterpret_cast<EnumObject*>(other)->value, op);
    if constexpr (!py::kPyPy) {
      if (long rhs; small_int_value(other, rhs)) return compare_values(lhs, rhs, op);
    } else if (other == g_enum_classes[I].ints[static_cast<std::size_t>(lhs)]) {
      return compare_values(lhs, lhs, op);  // the member's own int, as int() returns it
    }
  }
  return enum_richcompare_other<I>(self, other, op);
}

// Records make a new member on every enumeration read, and most die soon after: their blocks
// go to a short free list instead of back to the allocator, and the next member takes one.
// That spares the allocator and the clearing that the class's tp_alloc does. The global lock
// guards the list. (On PyPy, where a new native object's cost lies in its twin, reused
// blocks measured slower than tp_alloc.)
struct MemberBlocks {
  std::array<void*, 128> blocks;
  std::size_t count = 0;
};
MemberBlocks g_blocks;

void enum_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if constexpr (py::kPyPy) type->tp_free(self);
  else if (g_blocks.count < g_blocks.blocks.size()) g_blocks.blocks[g_blocks.count++] = self;
  else PyObject_Free(self);
  Py_DECREF(type);
}

}  // namespace

// Shared with the record classes: every class of the module refuses construction.
PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  // Every class here is a heap type, whose __name__ is ht_name on CPython: read without
  // allocating, so that running out of memory ends in MemoryError rather than in "<unknown>".
  Ref name = py::kPyPy
                 ? Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"))
                 : Ref::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
  if (name && PyUnicode_Check(name.get())) {
    // Not PyErr_Format: before 3.13 it raises the class with no message, and no MemoryError,
    // when the message cannot be made.
    Ref text = Ref::steal(PyUnicode_FromFormat("No constructor defined for %U", name.get()));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  } else {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
  }
  return nullptr;
}


namespace {

template <std::size_t I>
PyType_Slot kEnumSlots[] = {
    {Py_tp_doc, const_cast<char*>(kEnums[I].doc)},
    {Py_tp_repr, py::as_slot(&enum_repr<I>)},
    {Py_nb_int, py::as_slot(&enum_int<I>)},
    {Py_tp_richcompare, py::as_slot(&enum_richcompare<I>)},
    {Py_tp_new, py::as_slot(&refuse_construction)},
    {Py_tp_dealloc, py::as_slot(&enum_dealloc)},
    {0, nullptr},
};

template <std::size_t I>
PyType_Spec kEnumSpec = {kEnums[I].spec_name, static_cast<int>(sizeof(EnumObject)), 0,
                         Py_TPFLAGS_DEFAULT, kEnumSlots<I>};

// A new instance of a class that exists; no class lookup, so it also works while the class
// is still being completed.
PyObject* alloc_member(PyTypeObject* type, std::uint8_t value) noexcept {
  PyObject* obj = nullptr;
  if constexpr (py::kPyPy) {
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    obj = alloc(type, 0);
    if (!obj) return nullptr;
  } else {
    void* block = g_blocks.count ? g_blocks.blocks[--g_blocks.count]
                                 : PyObject_Malloc(sizeof(EnumObject));
    if (TAVEX_UNLIKELY(!block)) return PyErr_NoMemory();
    obj = PyObject_Init(static_cast<PyObject*>(block), type);  // takes a type reference
  }
  reinterpret_cast<EnumObject*>(obj)->value = value;
  return obj;
}

std::string member_error(const EnumDesc& d, const char* member) {
  return py::cat({"An error occurred while initializing `", d.name, ".", member, "`"});
}

// Makes every member first, then attaches them; on failure the class stays incomplete and
// the next demand tries again.
bool complete_class(const EnumDesc& d, EnumState& s) noexcept {
  try {
    std::array<Ref, kMaxMembers> members;
    for (std::size_t v = 0; v < d.members.size(); ++v) {
      members[v] = Ref::steal(alloc_member(s.type, static_cast<std::uint8_t>(v)));
      if (!members[v]) {
        py::chain_runtime_error(member_error(d, d.members[v]));
        return false;
      }
      // The member's int and representation are made once and kept with the class.
      if (!s.ints[v]) s.ints[v] = PyLong_FromLong(static_cast<long>(v));
      if (!s.reprs[v]) s.reprs[v] = PyUnicode_InternFromString(d.reprs[v]);
      if (!s.ints[v] || !s.reprs[v]) {
        py::chain_runtime_error(member_error(d, d.members[v]));
        return false;
      }
    }
    for (std::size_t v = 0; v < d.members.size(); ++v) {
      if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(s.type), d.members[v],
                                 members[v].get()) < 0) {
        py::chain_runtime_error(
            py::cat({"An error occurred while initializing `", d.name, ".__dict__`"}));
        return false;
      }
    }
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
  s.complete = true;
  return true;
}

template <std::size_t I>
PyObject* enum_class() noexcept {
  EnumState& s = g_enum_classes[I];
  if (TAVEX_LIKELY(s.complete)) return reinterpret_cast<PyObject*>(s.type);
  const EnumDesc& d = kEnums[I];
  const std::string class_error = py::cat({"An error occurred while initializing class ", d.name});
  if (!s.type) {
    PyType_Spec* spec = &kEnumSpec<I>;
    if constexpr (py::kPyPy) spec = pypy::enum_spec(I, kEnumSpec<I>);
    PyObject* made = spec ? py::type_from_spec(spec) : nullptr;
    if constexpr (py::kPyPy)
      if (made && !pypy::drop_instance_dict(made)) Ref::steal(std::exchange(made, nullptr));
    if (!made) {
      py::chain_runtime_error(class_error);
      return nullptr;
    }
    if (s.type) Ref::steal(made);  // another thread made it while we ran Python code
    else s.type = reinterpret_cast<PyTypeObject*>(made);
  }
  if (!complete_class(d, s)) {
    py::chain_runtime_error(class_error);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(s.type);
}

using ClassFn = PyObject* (*)() noexcept;
constexpr ClassFn kClassFns[] = {&enum_class<0>, &enum_class<1>, &enum_class<2>, &enum_class<3>,
                                 &enum_class<4>, &enum_class<5>, &enum_class<6>};

}  // namespace

PyObject* run_mode_class() noexcept { return enum_class<0>(); }
PyObject* trade_kind_class() noexcept { return enum_class<1>(); }
PyObject* trade_type_class() noexcept { return enum_class<2>(); }
PyObject* trade_side_class() noexcept { return enum_class<3>(); }
PyObject* order_status_class() noexcept { return enum_class<4>(); }
PyObject* candle_interval_class() noexcept { return enum_class<5>(); }
PyObject* event_type_class() noexcept { return enum_class<6>(); }

py::Result<Ref> make_member(EnumId id, std::uint8_t value) noexcept {
  const auto i = static_cast<std::size_t>(id);
  PyTypeObject* type = g_enum_classes[i].type;
  if (TAVEX_UNLIKELY(!g_enum_classes[i].complete)) {
    if (!kClassFns[i]()) {
      PyErr_Print();  // the creation error, to standard error; this is an internal failure
      return py::Failure::panic(py::cat({"failed to create type object for ", kEnums[i].name}));
    }
    type = g_enum_classes[i].type;
  }
  PyObject* obj = alloc_member(type, value);
  if (!obj) return py::Failure::pending();
  return Ref::steal(obj);
}

PyObject* new_member(EnumId id, std::uint8_t value) noexcept {
  const auto i = static_cast<std::size_t>(id);
  if (TAVEX_LIKELY(g_enum_classes[i].complete)) return alloc_member(g_enum_classes[i].type, value);
  py::Result<Ref> made = make_member(id, value);
  return made.ok() ? made.value().release() : made.failure().raise();
}

}  // namespace tavex::types
