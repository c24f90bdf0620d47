// The ground every tavex header stands on: the enumerations as C++ enums, the memory layout
// of the record and member objects, the layout table and the handshake with the loaded tavex.
// Included by <tavex/enums.hpp> and <tavex/records.hpp>; a consumer includes those.
//
// Every function here must be called with the interpreter's global lock held. The state the
// headers keep (class objects, the result of the layout check) belongs to the module that
// includes them: every module makes its own check against the loaded tavex.
#pragma once

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "the tavex headers need C++17 or later"
#endif

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "tavex/time.hpp"

// Hidden: an inline variable with default visibility is one process-wide symbol (GNU unique)
// shared by every module that includes this header, whatever RTLD_LOCAL says.
#pragma GCC visibility push(hidden)

namespace tavex {

// The enumeration classes, discriminants in member order.
enum class RunMode : std::uint8_t { Backtest, Simulation, Live };
enum class TradeKind : std::uint8_t { Spot, Future };
enum class TradeType : std::uint8_t { Limit, Market };
enum class TradeSide : std::uint8_t { Long, Short };
enum class OrderStatus : std::uint8_t {
  Created,
  Submitted,
  PartialFilled,
  Filled,
  Canceled,
  Rejected,
};
enum class CandleInterval : std::uint8_t { Min1, Min5, Min15, Hour1, Day1 };
enum class EventType : std::uint8_t {
  Initialize,
  Start,
  Stop,
  Daily,
  Hourly,
  Minutely,
  Secondly,
  Tick,
  QuoteChange,
  AccountChange,
  PositionChange,
  OrderChange,
};

// Each class's name, index among the seven and member names, in discriminant order.
template <class E>
struct enum_traits;
#define TAVEX_ENUM_TRAITS(E, index, ...)                                      \
  template <>                                                                 \
  struct enum_traits<E> {                                                     \
    static constexpr const char* name = #E;                                   \
    static constexpr int id = index;                                          \
    static constexpr const char* members[] = {__VA_ARGS__};                   \
    static constexpr std::uint8_t count = sizeof members / sizeof members[0]; \
  }
TAVEX_ENUM_TRAITS(RunMode, 0, "Backtest", "Simulation", "Live");
TAVEX_ENUM_TRAITS(TradeKind, 1, "Spot", "Future");
TAVEX_ENUM_TRAITS(TradeType, 2, "Limit", "Market");
TAVEX_ENUM_TRAITS(TradeSide, 3, "Long", "Short");
TAVEX_ENUM_TRAITS(OrderStatus, 4, "Created", "Submitted", "PartialFilled", "Filled", "Canceled",
                  "Rejected");
TAVEX_ENUM_TRAITS(CandleInterval, 5, "Min1", "Min5", "Min15", "Hour1", "Day1");
TAVEX_ENUM_TRAITS(EventType, 6, "Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely",
                  "Secondly", "Tick", "QuoteChange", "AccountChange", "PositionChange",
                  "OrderChange");
#undef TAVEX_ENUM_TRAITS
inline constexpr int kEnumClasses = 7;
inline constexpr std::uint8_t kMaxMembers = 12;

template <class E>
inline constexpr std::uint8_t enum_count = enum_traits<E>::count;
template <class E>
inline constexpr const char* enum_name = enum_traits<E>::name;

// The memory layout of each record class and of the members. tavex's own classes are built from
// these very definitions; the headers refuse a tavex whose layout differs (see `layout` below).
namespace abi {

// A date-time as records hold it: the UTC calendar fields of a valid DateTime, made once by
// the factory, so that a read needs no calendar arithmetic. Zero bytes are
// 1970-01-01T00:00:00. A leap second is second 59 with micros() of 1'000'000 or more.
struct StoredDateTime {
  std::int32_t year_second;    // (year - kEpochYear) << kYearShift | second
  std::uint8_t month0, day0;   // month - 1, day - 1
  std::uint8_t hour, minute;
  std::uint32_t micros_nanos;  // micros (0..1'999'999) << kMicrosShift | the nanoseconds below

  // The packing of the two words above, which tavex's PyPy getters unpack too.
  static constexpr int kEpochYear = 1970;
  static constexpr int kYearShift = 8;  // the year in the upper 24 bits, the second below
  static constexpr std::uint32_t kSecondMask = 0xFF;
  static constexpr int kMicrosShift = 10;
  static constexpr std::uint32_t kNanosMask = 0x3FF;

  // An arithmetic shift keeps the sign (GCC and Clang; guaranteed from C++20 on).
  constexpr std::int32_t year() const noexcept { return (year_second >> kYearShift) + kEpochYear; }
  constexpr unsigned second() const noexcept {
    return static_cast<unsigned>(year_second) & kSecondMask;
  }
  constexpr std::uint32_t micros() const noexcept { return micros_nanos >> kMicrosShift; }
  constexpr std::uint32_t nanos() const noexcept {  // 0..1'999'999'999, as in DateTime
    return micros() * 1000 + (micros_nanos & kNanosMask);
  }

  static constexpr StoredDateTime from(const DateTime& v) noexcept {
    std::int64_t year = 0;
    unsigned month = 1, day = 1;
    civil_from_days(v.days_since_1970, year, month, day);
    const std::uint32_t s = v.seconds_of_day;
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(year - kEpochYear) << kYearShift |
                                      s % 60),
            static_cast<std::uint8_t>(month - 1), static_cast<std::uint8_t>(day - 1),
            static_cast<std::uint8_t>(s / 3600), static_cast<std::uint8_t>(s / 60 % 60),
            v.nanos / 1000 << kMicrosShift | v.nanos % 1000};
  }
  constexpr DateTime to_date_time() const noexcept {
    return {days_from_civil(year(), month0 + 1u, day0 + 1u),
            hour * 3600u + minute * 60u + second(), nanos()};
  }
};

// UTF-8, length-counted (NUL bytes allowed), in a block from PyMem_Malloc that the record
// owns and frees with PyMem_Free. The block holds one more byte, a NUL after the text, so
// that it can also be read as a C string. An empty text has no block: data is null
// and size 0.
struct Text {
  char* data;
  Py_ssize_t size;
};

// A member of an enumeration class.
struct EnumObject {
  PyObject_HEAD
  std::uint8_t value;  // the discriminant
};

// On PyPy a record also holds its own address, which the class's allocator writes: there the
// fields' getters are Python code, and they read the record through it (see records.cpp).
#ifdef PYPY_VERSION
#define TAVEX_RECORD_HEAD \
  PyObject_HEAD           \
  std::uintptr_t address;
#else
#define TAVEX_RECORD_HEAD PyObject_HEAD
#endif

// Fields are grouped by alignment, not in the order of the factory's parameters.
struct PairObject {
  TAVEX_RECORD_HEAD
  Text code, base, quote;
  double min_volume, min_price, min_amount;
  TradeKind kind;
};

struct CandleObject {
  TAVEX_RECORD_HEAD
  Text code;
  StoredDateTime open_time, close_time;
  double open, high, low, close, volume, amount;
  std::int64_t trades;
  TradeKind kind;
  CandleInterval interval;
};

struct OrderObject {
  TAVEX_RECORD_HEAD
  Text id, code;
  double volume, price, filled_volume, filled_price, fee;
  StoredDateTime create_time;
  TradeKind kind;
  TradeType type;
  TradeSide side;
  OrderStatus status;
};

struct PositionObject {
  TAVEX_RECORD_HEAD
  Text code;
  double volume, price;
  std::int32_t leverage;
  TradeKind kind;
  TradeSide side;
};

#undef TAVEX_RECORD_HEAD

}  // namespace abi

// Each record's fields in the order of its documentation, which is the order the factories take
// them in: X(Record, field, documentation of the Python attribute). The factories, the *Fields
// structs, the views (<tavex/records.hpp>) and tavex's own attribute tables are made from these
// lists, each field's C++ type from its member above. The structs above lay the same fields out
// by alignment and the layout rows below describe them: tavex's build checks both against the
// lists, member for member.
#define TAVEX_PAIR_FIELDS(X)          \
  X(Pair, kind, "交易品种")           \
  X(Pair, code, "交易代码")           \
  X(Pair, base, "基础货币")           \
  X(Pair, quote, "计价货币")          \
  X(Pair, min_volume, "最小下单数量") \
  X(Pair, min_price, "最小下单价格")  \
  X(Pair, min_amount, "最小下单金额")
#define TAVEX_CANDLE_FIELDS(X)      \
  X(Candle, kind, "交易品种")       \
  X(Candle, code, "交易代码")       \
  X(Candle, interval, "K线周期")    \
  X(Candle, open_time, "开盘时间")  \
  X(Candle, close_time, "收盘时间") \
  X(Candle, open, "开盘价")         \
  X(Candle, high, "最高价")         \
  X(Candle, low, "最低价")          \
  X(Candle, close, "收盘价")        \
  X(Candle, volume, "成交量")       \
  X(Candle, amount, "成交额")       \
  X(Candle, trades, "交易笔数")
#define TAVEX_ORDER_FIELDS(X)           \
  X(Order, id, "订单ID")                \
  X(Order, kind, "交易品种")            \
  X(Order, type, "交易类型")            \
  X(Order, side, "交易方向")            \
  X(Order, code, "交易代码")            \
  X(Order, status, "订单状态")          \
  X(Order, volume, "下单数量")          \
  X(Order, price, "下单价格")           \
  X(Order, filled_volume, "已成交数量") \
  X(Order, filled_price, "已成交均价")  \
  X(Order, fee, "交易手续费")           \
  X(Order, create_time, "下单时间")
#define TAVEX_POSITION_FIELDS(X)  \
  X(Position, kind, "交易品种")   \
  X(Position, code, "交易代码")   \
  X(Position, side, "交易方向")   \
  X(Position, volume, "持仓数量") \
  X(Position, price, "持仓均价")  \
  X(Position, leverage, "杠杆倍率")

// The record classes in the module's order: X(Class, lower-case name, documentation of the
// class, its field list).
#define TAVEX_RECORDS(X)                        \
  X(Pair, pair, "交易对", TAVEX_PAIR_FIELDS)    \
  X(Candle, candle, "K线", TAVEX_CANDLE_FIELDS) \
  X(Order, order, "订单", TAVEX_ORDER_FIELDS)   \
  X(Position, position, "持仓", TAVEX_POSITION_FIELDS)

// A record's text as a view; valid while the record lives.
inline std::string_view text_of(const abi::Text& t) noexcept {
  return t.size ? std::string_view(t.data, static_cast<std::size_t>(t.size)) : std::string_view();
}

// The layouts as data: one row per field of the member objects, of each record and of the two
// value types records hold, then one row for the whole of each. Every number is taken from the
// definitions above, so a change there changes the rows. tavex exports the rows it was compiled
// with under the C symbol kSymbol; tavex::import() (or else the first use) finds that table in
// the loaded tavex and compares it with its own, row by row.
namespace layout {

inline constexpr std::uint32_t kFormat = 1;  // of Row and Table themselves
inline constexpr const char kSymbol[] = "tavex_records_layout";

struct Row {
  const char* owner;      // "Candle", ...; "Text" and "StoredDateTime" for the value types
  const char* field;      // "" for the row of the whole object
  const char* type;       // "double", "TradeKind", "StoredDateTime", ...
  std::uint64_t offset;   // in bytes from the start of the owner
  std::uint64_t size;     // in bytes
  std::uint64_t values;   // the number of valid values of an enumeration; 0 for other types
};

struct Table {
  std::uint32_t format;  // kFormat; a reader must check it before anything else
  std::uint32_t count;
  const Row* rows;
  const char* version;  // tavex's own, for error texts
};

// The name of each field type. A field of a type not named here does not compile: name it.
template <class T>
constexpr const char* type_name() noexcept {
  if constexpr (std::is_enum_v<T>) {
    return enum_name<T>;
  } else if constexpr (std::is_same_v<T, abi::Text>) {
    return "Text";
  } else if constexpr (std::is_same_v<T, abi::StoredDateTime>) {
    return "StoredDateTime";
  } else if constexpr (std::is_same_v<T, double>) {
    return "double";
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return "int64";
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return "int32";
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return "uint32";
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    return "uint8";
  } else {
    static_assert(std::is_same_v<T, char*>, "a field type without a name in the layout table");
    return "char*";
  }
}

template <class T>
constexpr std::uint64_t values_of() noexcept {
  if constexpr (std::is_enum_v<T>) return enum_count<T>;
  else return 0;
}

#define TAVEX_LAYOUT_ROW(owner, Struct, member)                                      \
  Row {                                                                              \
    owner, #member, type_name<decltype(Struct::member)>(), offsetof(Struct, member), \
        sizeof(Struct::member), values_of<decltype(Struct::member)>()                \
  }
#define TAVEX_LAYOUT_WHOLE(owner, Struct) \
  Row { owner, "", owner, 0, sizeof(Struct), 0 }

inline constexpr Row kRows[] = {
    TAVEX_LAYOUT_ROW("Text", abi::Text, data),
    TAVEX_LAYOUT_ROW("Text", abi::Text, size),
    Row{"Text", "data[size]", "NUL", 0, 1, 0},  // the terminator after the text's block
    TAVEX_LAYOUT_WHOLE("Text", abi::Text),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, year_second),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, month0),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, day0),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, hour),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, minute),
    TAVEX_LAYOUT_ROW("StoredDateTime", abi::StoredDateTime, micros_nanos),
    TAVEX_LAYOUT_WHOLE("StoredDateTime", abi::StoredDateTime),
#ifdef PYPY_VERSION
    // The same place in every record, written by tavex's allocator and by no consumer.
    Row{"Record", "address", "uintptr", offsetof(abi::PairObject, address), sizeof(std::uintptr_t),
        0},
#endif
    TAVEX_LAYOUT_ROW("Enum", abi::EnumObject, value),
    TAVEX_LAYOUT_WHOLE("Enum", abi::EnumObject),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, code),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, base),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, quote),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, min_volume),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, min_price),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, min_amount),
    TAVEX_LAYOUT_ROW("Pair", abi::PairObject, kind),
    TAVEX_LAYOUT_WHOLE("Pair", abi::PairObject),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, code),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, open_time),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, close_time),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, open),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, high),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, low),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, close),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, volume),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, amount),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, trades),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, kind),
    TAVEX_LAYOUT_ROW("Candle", abi::CandleObject, interval),
    TAVEX_LAYOUT_WHOLE("Candle", abi::CandleObject),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, id),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, code),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, create_time),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, volume),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, price),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, filled_volume),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, filled_price),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, fee),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, kind),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, type),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, side),
    TAVEX_LAYOUT_ROW("Order", abi::OrderObject, status),
    TAVEX_LAYOUT_WHOLE("Order", abi::OrderObject),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, code),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, volume),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, price),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, leverage),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, kind),
    TAVEX_LAYOUT_ROW("Position", abi::PositionObject, side),
    TAVEX_LAYOUT_WHOLE("Position", abi::PositionObject),
};

#undef TAVEX_LAYOUT_ROW
#undef TAVEX_LAYOUT_WHOLE

}  // namespace layout

namespace detail {

#define TAVEX_RECORD_ID(R, r, doc, fields) k##R,
#define TAVEX_RECORD_NAME(R, r, doc, fields) #R,
#define TAVEX_RECORD_SIZE(R, r, doc, fields) sizeof(abi::R##Object),
enum RecordId : int { TAVEX_RECORDS(TAVEX_RECORD_ID) };
inline constexpr const char* kRecordNames[] = {TAVEX_RECORDS(TAVEX_RECORD_NAME)};
inline constexpr Py_ssize_t kRecordSizes[] = {TAVEX_RECORDS(TAVEX_RECORD_SIZE)};
inline constexpr int kRecordClasses = static_cast<int>(sizeof kRecordNames / sizeof kRecordNames[0]);
#undef TAVEX_RECORD_ID
#undef TAVEX_RECORD_NAME
#undef TAVEX_RECORD_SIZE

// What this module took from the loaded tavex: the class objects and members, each taken
// once and kept (one strong reference each) for the life of the process.
struct ModuleState {
  bool checked = false;  // the loaded tavex's layout table equals this header's
  PyTypeObject* records[kRecordClasses] = {};
  PyTypeObject* enums[kEnumClasses] = {};
  PyObject* members[kEnumClasses][kMaxMembers] = {};
};
inline ModuleState g_state;

[[gnu::cold, gnu::format(printf, 2, 3)]] inline void set_error(PyObject* type, const char* format,
                                                              ...) noexcept {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  PyErr_SetString(type, text);
}

inline bool same_text(const char* a, const char* b) noexcept {
  return std::strcmp(a ? a : "", b ? b : "") == 0;
}

// The table of the loaded tavex: looked up in the shared object that `tavex.__file__` names
// (it is loaded already, so RTLD_NOLOAD finds it and loads nothing), or in the process itself
// when tavex was linked into the interpreter. Null with RuntimeError when there is none.
[[gnu::cold]] inline const layout::Table* loaded_layout(PyObject* module, char* where,
                                                         std::size_t where_size) noexcept {
  std::snprintf(where, where_size, "(linked into the interpreter)");
  void* symbol = nullptr;
  PyObject* file = PyObject_GetAttrString(module, "__file__");
  PyObject* path = file && PyUnicode_Check(file) ? PyUnicode_EncodeFSDefault(file) : nullptr;
  Py_XDECREF(file);
  if (path) {
    std::snprintf(where, where_size, "%s", PyBytes_AS_STRING(path));
    if (void* handle = dlopen(PyBytes_AS_STRING(path), RTLD_NOW | RTLD_NOLOAD)) {
      symbol = dlsym(handle, layout::kSymbol);
      dlclose(handle);  // only drops the count that RTLD_NOLOAD took; tavex stays loaded
    }
    Py_DECREF(path);
  } else {
    PyErr_Clear();
    symbol = dlsym(RTLD_DEFAULT, layout::kSymbol);
  }
  if (!symbol) {
    set_error(PyExc_RuntimeError,
              "the loaded tavex (%s) exports no record layout table (%s): it is older than the "
              "<tavex/records.hpp> this module was compiled with; rebuild this module against "
              "the installed tavex (python -m tavex_sdk --cflags)",
              where, layout::kSymbol);
    return nullptr;
  }
  return static_cast<const layout::Table*>(symbol);
}

[[gnu::cold]] inline void layout_mismatch(const layout::Row& row, const char* what,
                                          const char* theirs, const char* mine,
                                          const layout::Table& table, const char* where) noexcept {
  set_error(PyExc_RuntimeError,
            "tavex record layout mismatch at %s%s%s: %s %s in the loaded tavex %s (%s), %s in "
            "the <tavex/records.hpp> this module was compiled with; rebuild this module "
            "against the installed tavex (python -m tavex_sdk --cflags)",
            row.owner, *row.field ? "." : "", row.field, what, theirs, table.version, where,
            mine);
}

// Compares the loaded tavex's layout table with this header's, row by row; true when they are
// the same, else false with RuntimeError naming the first difference.
[[gnu::cold]] inline bool check_layout(PyObject* module) noexcept {
  char where[256];
  const layout::Table* table = loaded_layout(module, where, sizeof where);
  if (!table) return false;
  if (table->format != layout::kFormat) {
    set_error(PyExc_RuntimeError,
              "the loaded tavex (%s) describes its record layouts in format %u, but the "
              "<tavex/records.hpp> this module was compiled with reads format %u; rebuild this "
              "module against the installed tavex (python -m tavex_sdk --cflags)",
              where, table->format, layout::kFormat);
    return false;
  }
  const auto find = [](const layout::Row* rows, std::size_t n, const layout::Row& key) {
    for (std::size_t i = 0; i < n; ++i)
      if (same_text(rows[i].owner, key.owner) && same_text(rows[i].field, key.field))
        return &rows[i];
    return static_cast<const layout::Row*>(nullptr);
  };
  constexpr std::size_t kMine = sizeof layout::kRows / sizeof layout::kRows[0];
  for (const layout::Row& mine : layout::kRows) {
    const layout::Row* theirs = find(table->rows, table->count, mine);
    if (!theirs) {
      layout_mismatch(mine, "the field is", "missing", "present", *table, where);
      return false;
    }
    char a[32], b[32];
    if (!same_text(theirs->type, mine.type)) {
      layout_mismatch(mine, "the type is", theirs->type, mine.type, *table, where);
      return false;
    }
    const struct {
      const char* what;
      std::uint64_t theirs, mine;
    } numbers[] = {{"the offset is", theirs->offset, mine.offset},
                   {"the size is", theirs->size, mine.size},
                   {"the number of values is", theirs->values, mine.values}};
    for (const auto& n : numbers) {
      if (n.theirs == n.mine) continue;
      std::snprintf(a, sizeof a, "%llu", static_cast<unsigned long long>(n.theirs));
      std::snprintf(b, sizeof b, "%llu", static_cast<unsigned long long>(n.mine));
      layout_mismatch(mine, n.what, a, b, *table, where);
      return false;
    }
  }
  for (std::uint32_t i = 0; i < table->count; ++i) {
    if (!find(layout::kRows, kMine, table->rows[i])) {
      layout_mismatch(table->rows[i], "the field is", "present", "missing", *table, where);
      return false;
    }
  }
  return true;
}

// tavex, imported, with its layouts checked against this header's (once per module while they
// agree, on every call while they do not); a new reference, or null with the exception set.
[[gnu::cold]] inline PyObject* checked_tavex() noexcept {
  PyObject* module = PyImport_ImportModule("tavex");
  if (!module) return nullptr;
  if (!g_state.checked) {
    if (!check_layout(module)) {
      Py_DECREF(module);
      return nullptr;
    }
    g_state.checked = true;
  }
  return module;
}

// One class of tavex, stored in `slot` on success; null with the exception set.
[[gnu::cold]] inline PyTypeObject* load_class(PyTypeObject*& slot, const char* name,
                                              Py_ssize_t size) noexcept {
  PyObject* module = checked_tavex();
  if (!module) return nullptr;
  PyObject* cls = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  if (!cls) return nullptr;
  if (!PyType_Check(cls)) {
    Py_DECREF(cls);
    set_error(PyExc_RuntimeError, "tavex.%s is not a class", name);
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // The table and the class agree in a sound tavex; this guards a class replaced at run time.
  if (type->tp_basicsize != size || type->tp_itemsize != 0) {
    set_error(PyExc_RuntimeError,
              "tavex.%s instances are %zd bytes, but <tavex/records.hpp> lays them out in %zd: "
              "rebuild this module against the installed tavex",
              name, type->tp_basicsize, size);
    Py_DECREF(cls);
    return nullptr;
  }
  if (slot) {  // the import ran Python code, and another thread got here first
    Py_DECREF(cls);
  } else {
    slot = type;
  }
  return slot;
}

inline PyTypeObject* record_type(RecordId id) noexcept {
  PyTypeObject* type = g_state.records[id];
  return type ? type : load_class(g_state.records[id], kRecordNames[id], kRecordSizes[id]);
}

template <class E>
inline PyTypeObject* enum_type() noexcept {
  PyTypeObject* type = g_state.enums[enum_traits<E>::id];
  return type ? type
              : load_class(g_state.enums[enum_traits<E>::id], enum_name<E>,
                           sizeof(abi::EnumObject));
}

}  // namespace detail

// For a consumer's PyInit, as numpy's import_array(): imports tavex, compares the record
// layouts this module was compiled with against the loaded tavex's, and takes the classes
// the factories, views and enum conversions use. Returns 0, or -1 with the exception set
// (RuntimeError naming the first field that differs, both values and what to rebuild), so
// that a stale module fails at its own import. Without it the same check runs on first use.
inline int import() noexcept {
  using namespace detail;
  for (int id = 0; id < kRecordClasses; ++id)
    if (!record_type(static_cast<RecordId>(id))) return -1;
  const bool ok = enum_type<RunMode>() && enum_type<TradeKind>() && enum_type<TradeType>() &&
                  enum_type<TradeSide>() && enum_type<OrderStatus>() &&
                  enum_type<CandleInterval>() && enum_type<EventType>();
  return ok ? 0 : -1;
}

}  // namespace tavex

#pragma GCC visibility pop
