// Making tavex records from native code: the record layouts and one factory per class.
//
// Header-only, C++17 or later; needs nothing but Python.h (and dlopen from the C library).
// Works from any extension module built against the same interpreter as tavex: it takes the
// very class objects tavex exposes (through `import tavex`), allocates through their tp_alloc
// and hands the texts to tavex's deallocator in blocks from the interpreter's allocator
// (PyMem_Malloc). On first use it compares its record layouts with those of the loaded tavex,
// field by field, and refuses to make or type-check anything when one differs. Every function
// here must be called with the interpreter's global lock held.
#pragma once

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<tavex/records.hpp> needs C++17 or later"
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
#include <optional>
#include <string_view>
#include <type_traits>

namespace tavex {

// The discriminants of the enumeration classes that records use, in member order.
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

template <class E>
inline constexpr std::uint8_t enum_count = 0;
template <>
inline constexpr std::uint8_t enum_count<TradeKind> = 2;
template <>
inline constexpr std::uint8_t enum_count<TradeType> = 2;
template <>
inline constexpr std::uint8_t enum_count<TradeSide> = 2;
template <>
inline constexpr std::uint8_t enum_count<OrderStatus> = 6;
template <>
inline constexpr std::uint8_t enum_count<CandleInterval> = 5;

template <class E>
inline constexpr const char* enum_name = nullptr;
template <>
inline constexpr const char* enum_name<TradeKind> = "TradeKind";
template <>
inline constexpr const char* enum_name<TradeType> = "TradeType";
template <>
inline constexpr const char* enum_name<TradeSide> = "TradeSide";
template <>
inline constexpr const char* enum_name<OrderStatus> = "OrderStatus";
template <>
inline constexpr const char* enum_name<CandleInterval> = "CandleInterval";

// Days since 1970-01-01 of a proleptic Gregorian date (year 0 exists). Exact for |year| < 2^40.
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yoe = year - era * 400;                          // [0, 399]
  const std::int64_t doy = (153 * ((month + 9) % 12) + 2) / 5 + day - 1;  // [0, 365], from March
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;     // [0, 146096]
  return era * 146097 + doe - 719468;  // 719468 days from 0000-03-01 to 1970-01-01
}

// The inverse: the proleptic Gregorian date of a day count since 1970-01-01.
constexpr void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month,
                               unsigned& day) noexcept {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);                  // [0, 146096]
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
  const unsigned mp = (5 * doy + 2) / 153;                                  // [0, 11], March = 0
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
}

// A UTC instant with nanosecond resolution, as records store it. Leap seconds: second 59
// of a minute with a fraction of 1'000'000'000 ns or more.
struct DateTime {
  std::int64_t days_since_1970;  // kMinDay..kMaxDay
  std::uint32_t seconds_of_day;  // 0..86'399
  std::uint32_t nanos;           // 0..1'999'999'999

  static constexpr std::int32_t kMinYear = -262143;
  static constexpr std::int32_t kMaxYear = 262142;
  static constexpr std::int64_t kMinDay = days_from_civil(kMinYear, 1, 1);
  static constexpr std::int64_t kMaxDay = days_from_civil(kMaxYear, 12, 31);

  // From seconds since 1970-01-01T00:00:00Z (leap seconds not counted) and a fraction; pass
  // nanos of 1e9 or more with the seconds of a :59 second to mean the leap second after it.
  static constexpr DateTime from_unix(std::int64_t seconds, std::uint32_t nanos = 0) noexcept {
    // Not seconds - floor(seconds / d) * d: that product overflows near INT64_MIN.
    const std::int64_t rem = seconds % 86'400;
    return {seconds / 86'400 - (rem < 0), static_cast<std::uint32_t>(rem < 0 ? rem + 86'400 : rem),
            nanos};
  }
  static constexpr DateTime from_unix_ms(std::int64_t ms) noexcept {
    const std::int64_t rem = ms % 1000;
    return from_unix(ms / 1000 - (rem < 0),
                     static_cast<std::uint32_t>((rem < 0 ? rem + 1000 : rem) * 1'000'000));
  }
  // From calendar fields; second 60 is a leap second. Nothing when a field is out of range.
  static constexpr std::optional<DateTime> from_civil(std::int64_t year, unsigned month,
                                                      unsigned day, unsigned hour = 0,
                                                      unsigned minute = 0, unsigned second = 0,
                                                      std::uint32_t nanos = 0) noexcept {
    constexpr unsigned char kMonthDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap_year = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
        day > kMonthDays[month] || (month == 2 && day == 29 && !leap_year) || hour > 23 ||
        minute > 59 || second > 60 || nanos > 999'999'999)
      return std::nullopt;
    const bool leap_second = second == 60;
    return DateTime{days_from_civil(year, month, day),
                    hour * 3600 + minute * 60 + (leap_second ? 59 : second),
                    leap_second ? nanos + 1'000'000'000 : nanos};
  }

  constexpr bool is_valid() const noexcept {
    return days_since_1970 >= kMinDay && days_since_1970 <= kMaxDay && seconds_of_day < 86'400 &&
           nanos < 2'000'000'000 && (nanos < 1'000'000'000 || seconds_of_day % 60 == 59);
  }
  friend constexpr bool operator==(const DateTime& a, const DateTime& b) noexcept {
    return a.days_since_1970 == b.days_since_1970 && a.seconds_of_day == b.seconds_of_day &&
           a.nanos == b.nanos;
  }
  friend constexpr bool operator!=(const DateTime& a, const DateTime& b) noexcept {
    return !(a == b);
  }
};

// The memory layout of each record class. tavex's own classes are built from these very
// definitions; the factories refuse a tavex whose layout differs (see `layout` below).
namespace abi {

// A date-time as records hold it: the UTC calendar fields of a valid DateTime, made once by
// the factory, so that a read needs no calendar arithmetic. Zero bytes are
// 1970-01-01T00:00:00. A leap second is second 59 with micros() of 1'000'000 or more.
struct StoredDateTime {
  std::int32_t year_second;    // (year - 1970) << 8 | second: the year in the upper 24 bits
  std::uint8_t month0, day0;   // month - 1, day - 1
  std::uint8_t hour, minute;
  std::uint32_t micros_nanos;  // micros (0..1'999'999) << 10 | the nanoseconds below them

  // An arithmetic shift keeps the sign (GCC and Clang; guaranteed from C++20 on).
  constexpr std::int32_t year() const noexcept { return (year_second >> 8) + 1970; }
  constexpr unsigned second() const noexcept {
    return static_cast<unsigned>(year_second) & 0xFF;
  }
  constexpr std::uint32_t micros() const noexcept { return micros_nanos >> 10; }
  constexpr std::uint32_t nanos() const noexcept {  // 0..1'999'999'999, as in DateTime
    return micros() * 1000 + (micros_nanos & 0x3FF);
  }

  static constexpr StoredDateTime from(const DateTime& v) noexcept {
    std::int64_t year = 0;
    unsigned month = 1, day = 1;
    civil_from_days(v.days_since_1970, year, month, day);
    const std::uint32_t s = v.seconds_of_day;
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(year - 1970) << 8 | s % 60),
            static_cast<std::uint8_t>(month - 1), static_cast<std::uint8_t>(day - 1),
            static_cast<std::uint8_t>(s / 3600), static_cast<std::uint8_t>(s / 60 % 60),
            v.nanos / 1000 << 10 | v.nanos % 1000};
  }
  constexpr DateTime to_date_time() const noexcept {
    return {days_from_civil(year(), month0 + 1u, day0 + 1u),
            hour * 3600u + minute * 60u + second(), nanos()};
  }
};

// UTF-8, length-counted (NUL bytes allowed), in a block from PyMem_Malloc that the record
// owns and frees with PyMem_Free. The block holds one more byte, a NUL after the text, so
// that the interpreter can read it as a C string. An empty text has no block: data is null
// and size 0.
struct Text {
  char* data;
  Py_ssize_t size;
};

// Fields are grouped by alignment, not in the order of the factory's parameters.
struct PairObject {
  PyObject_HEAD
  Text code, base, quote;
  double min_volume, min_price, min_amount;
  TradeKind kind;
};

struct CandleObject {
  PyObject_HEAD
  Text code;
  StoredDateTime open_time, close_time;
  double open, high, low, close, volume, amount;
  std::int64_t trades;
  TradeKind kind;
  CandleInterval interval;
};

struct OrderObject {
  PyObject_HEAD
  Text id, code;
  double volume, price, filled_volume, filled_price, fee;
  StoredDateTime create_time;
  TradeKind kind;
  TradeType type;
  TradeSide side;
  OrderStatus status;
};

struct PositionObject {
  PyObject_HEAD
  Text code;
  double volume, price;
  std::int32_t leverage;
  TradeKind kind;
  TradeSide side;
};

}  // namespace abi

// A record's text as a view; valid while the record lives.
inline std::string_view text_of(const abi::Text& t) noexcept {
  return t.size ? std::string_view(t.data, static_cast<std::size_t>(t.size)) : std::string_view();
}

// The record layouts as data: one row per field of each record and of the two value types
// they hold, then one row for the whole of each. Every number is taken from the definitions
// above, so a change there changes the rows. tavex exports the rows it was compiled with under
// the C symbol kSymbol; on first use the header finds that table in the loaded tavex and
// compares it with its own, row by row.
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
    static_assert(enum_name<T> != nullptr, "an enumeration field needs enum_name and enum_count");
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

#define TAVEX_LAYOUT_ROW(owner, Struct, member)                                              \
  Row {                                                                                      \
    owner, #member, type_name<decltype(Struct::member)>(), offsetof(Struct, member),         \
        sizeof(Struct::member), values_of<decltype(Struct::member)>()                        \
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

enum RecordId : int { kPair, kCandle, kOrder, kPosition };
inline constexpr const char* kRecordNames[] = {"Pair", "Candle", "Order", "Position"};
inline constexpr Py_ssize_t kRecordSizes[] = {sizeof(abi::PairObject), sizeof(abi::CandleObject),
                                              sizeof(abi::OrderObject),
                                              sizeof(abi::PositionObject)};

// The class objects, each taken from tavex once and kept (one strong reference each) for
// the life of the process.
inline PyTypeObject* g_record_types[4] = {};

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

// Set once the loaded tavex's layouts were found equal to this header's.
inline bool g_layout_checked = false;

[[gnu::cold]] inline PyTypeObject* load_record_type(RecordId id) noexcept {
  PyObject* module = PyImport_ImportModule("tavex");
  if (!module) return nullptr;
  if (!g_layout_checked) {
    if (!check_layout(module)) {
      Py_DECREF(module);
      return nullptr;
    }
    g_layout_checked = true;
  }
  PyObject* cls = PyObject_GetAttrString(module, kRecordNames[id]);
  Py_DECREF(module);
  if (!cls) return nullptr;
  if (!PyType_Check(cls)) {
    Py_DECREF(cls);
    set_error(PyExc_RuntimeError, "tavex.%s is not a class", kRecordNames[id]);
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // The table and the class agree in a sound tavex; this guards a class replaced at run time.
  if (type->tp_basicsize != kRecordSizes[id] || type->tp_itemsize != 0) {
    set_error(PyExc_RuntimeError,
              "tavex.%s instances are %zd bytes, but <tavex/records.hpp> lays them out in %zd: "
              "rebuild this module against the installed tavex",
              kRecordNames[id], type->tp_basicsize, kRecordSizes[id]);
    Py_DECREF(cls);
    return nullptr;
  }
  if (g_record_types[id]) {  // the import ran Python code, and another thread got here first
    Py_DECREF(cls);
  } else {
    g_record_types[id] = type;
  }
  return g_record_types[id];
}

inline PyTypeObject* record_type(RecordId id) noexcept {
  PyTypeObject* type = g_record_types[id];
  return type ? type : load_record_type(id);
}

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

// Each check sets ValueError naming the field ("Order.status") and returns false.
inline bool check_text(const char* field, std::string_view s) noexcept {
  const std::ptrdiff_t at = invalid_utf8_at(s);
  if (at < 0) return true;
  set_error(PyExc_ValueError, "%s: text is not valid UTF-8 (at byte %td)", field, at);
  return false;
}

template <class E>
inline bool check_enum(const char* field, E value) noexcept {
  const auto v = static_cast<unsigned>(value);
  if (v < enum_count<E>) return true;
  set_error(PyExc_ValueError, "%s: %u is not a valid %s value (0..%u)", field, v, enum_name<E>,
            enum_count<E> - 1u);
  return false;
}

inline bool check_datetime(const char* field, const DateTime& v) noexcept {
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

// Copies `s` and a NUL into a block the record owns; false with MemoryError when allocation
// fails.
inline bool own_text(abi::Text& out, std::string_view s) noexcept {
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

}  // namespace detail

// The factories: every field in the order of the class's documentation, a new reference on
// success, null with an exception set on failure (ValueError for an enumeration value
// outside its class, an invalid DateTime or a text that is not UTF-8; RuntimeError when the
// installed tavex does not match this header; the import's or the allocator's errors).

inline PyObject* make_pair(TradeKind kind, std::string_view code, std::string_view base,
                           std::string_view quote, double min_volume, double min_price,
                           double min_amount) noexcept {
  using namespace detail;
  if (!check_enum("Pair.kind", kind) || !check_text("Pair.code", code) ||
      !check_text("Pair.base", base) || !check_text("Pair.quote", quote))
    return nullptr;
  auto* r = alloc_record<abi::PairObject>(kPair);
  if (!r) return nullptr;
  r->kind = kind;
  r->min_volume = min_volume;
  r->min_price = min_price;
  r->min_amount = min_amount;
  if (!own_text(r->code, code) || !own_text(r->base, base) || !own_text(r->quote, quote))
    return discard(r);
  return reinterpret_cast<PyObject*>(r);
}

inline PyObject* make_candle(TradeKind kind, std::string_view code, CandleInterval interval,
                             DateTime open_time, DateTime close_time, double open, double high,
                             double low, double close, double volume, double amount,
                             std::int64_t trades) noexcept {
  using namespace detail;
  if (!check_enum("Candle.kind", kind) || !check_text("Candle.code", code) ||
      !check_enum("Candle.interval", interval) ||
      !check_datetime("Candle.open_time", open_time) ||
      !check_datetime("Candle.close_time", close_time))
    return nullptr;
  auto* r = alloc_record<abi::CandleObject>(kCandle);
  if (!r) return nullptr;
  r->kind = kind;
  r->interval = interval;
  r->open_time = abi::StoredDateTime::from(open_time);
  r->close_time = abi::StoredDateTime::from(close_time);
  r->open = open;
  r->high = high;
  r->low = low;
  r->close = close;
  r->volume = volume;
  r->amount = amount;
  r->trades = trades;
  if (!own_text(r->code, code)) return discard(r);
  return reinterpret_cast<PyObject*>(r);
}

inline PyObject* make_order(std::string_view id, TradeKind kind, TradeType type, TradeSide side,
                            std::string_view code, OrderStatus status, double volume,
                            double price, double filled_volume, double filled_price, double fee,
                            DateTime create_time) noexcept {
  using namespace detail;
  if (!check_text("Order.id", id) || !check_enum("Order.kind", kind) ||
      !check_enum("Order.type", type) || !check_enum("Order.side", side) ||
      !check_text("Order.code", code) || !check_enum("Order.status", status) ||
      !check_datetime("Order.create_time", create_time))
    return nullptr;
  auto* r = alloc_record<abi::OrderObject>(kOrder);
  if (!r) return nullptr;
  r->kind = kind;
  r->type = type;
  r->side = side;
  r->status = status;
  r->volume = volume;
  r->price = price;
  r->filled_volume = filled_volume;
  r->filled_price = filled_price;
  r->fee = fee;
  r->create_time = abi::StoredDateTime::from(create_time);
  if (!own_text(r->id, id) || !own_text(r->code, code)) return discard(r);
  return reinterpret_cast<PyObject*>(r);
}

inline PyObject* make_position(TradeKind kind, std::string_view code, TradeSide side,
                               double volume, double price, std::int32_t leverage) noexcept {
  using namespace detail;
  if (!check_enum("Position.kind", kind) || !check_text("Position.code", code) ||
      !check_enum("Position.side", side))
    return nullptr;
  auto* r = alloc_record<abi::PositionObject>(kPosition);
  if (!r) return nullptr;
  r->kind = kind;
  r->side = side;
  r->volume = volume;
  r->price = price;
  r->leverage = leverage;
  if (!own_text(r->code, code)) return discard(r);
  return reinterpret_cast<PyObject*>(r);
}

// The class objects (borrowed, kept for the life of the process), for type checks such as
// PyObject_TypeCheck(obj, tavex::order_type()); null with an exception set on failure.
inline PyTypeObject* pair_type() noexcept { return detail::record_type(detail::kPair); }
inline PyTypeObject* candle_type() noexcept { return detail::record_type(detail::kCandle); }
inline PyTypeObject* order_type() noexcept { return detail::record_type(detail::kOrder); }
inline PyTypeObject* position_type() noexcept { return detail::record_type(detail::kPosition); }

}  // namespace tavex
