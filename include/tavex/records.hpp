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

// Copies `s` into a block the record owns; false with MemoryError when allocation fails.
inline bool own_text(abi::Text& out, std::string_view s) noexcept {
  if (s.empty()) return true;
  void* block =
      s.size() <= static_cast<std::size_t>(PY_SSIZE_T_MAX) ? PyMem_Malloc(s.size()) : nullptr;
  if (!block) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(block, s.data(), s.size());
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

// The fields of each record class by name, in the order of the class's documentation, for
// the factories below: `tavex::make_candle({.kind = ..., .code = ..., ...})` in C++20.
struct PairFields {
  TradeKind kind;
  std::string_view code, base, quote;
  double min_volume, min_price, min_amount;
};
struct CandleFields {
  TradeKind kind;
  std::string_view code;
  CandleInterval interval;
  DateTime open_time, close_time;
  double open, high, low, close, volume, amount;
  std::int64_t trades;
};
struct OrderFields {
  std::string_view id;
  TradeKind kind;
  TradeType type;
  TradeSide side;
  std::string_view code;
  OrderStatus status;
  double volume, price, filled_volume, filled_price, fee;
  DateTime create_time;
};
struct PositionFields {
  TradeKind kind;
  std::string_view code;
  TradeSide side;
  double volume;
  double price;
  std::int32_t leverage;
};

inline PyObject* make_pair(const PairFields& f) noexcept {
  return make_pair(f.kind, f.code, f.base, f.quote, f.min_volume, f.min_price, f.min_amount);
}
inline PyObject* make_candle(const CandleFields& f) noexcept {
  return make_candle(f.kind, f.code, f.interval, f.open_time, f.close_time, f.open, f.high, f.low,
                     f.close, f.volume, f.amount, f.trades);
}
inline PyObject* make_order(const OrderFields& f) noexcept {
  return make_order(f.id, f.kind, f.type, f.side, f.code, f.status, f.volume, f.price,
                    f.filled_volume, f.filled_price, f.fee, f.create_time);
}
inline PyObject* make_position(const PositionFields& f) noexcept {
  return make_position(f.kind, f.code, f.side, f.volume, f.price, f.leverage);
}

// Read-only views of records: `const tavex::Candle* c = tavex::as_candle(obj)`, then
// `c->close()`. A view is the record itself, borrowed: valid while the record lives, and the
// texts it hands out too. Records never change after they are made.
#define TAVEX_VIEW(View, Object)                                                   \
 public:                                                                           \
  View() = delete;                                                                 \
  View(const View&) = delete;                                                      \
  View& operator=(const View&) = delete;                                           \
  /* the record as an object of the interpreter (borrowed) */                      \
  PyObject* object() const noexcept {                                              \
    return const_cast<PyObject*>(reinterpret_cast<const PyObject*>(this));         \
  }                                                                                \
                                                                                   \
 private:                                                                          \
  const abi::Object& r() const noexcept {                                          \
    return *reinterpret_cast<const abi::Object*>(this);                            \
  }                                                                                \
                                                                                   \
 public:

class Pair {
  TAVEX_VIEW(Pair, PairObject)
  TradeKind kind() const noexcept { return r().kind; }
  std::string_view code() const noexcept { return text_of(r().code); }
  std::string_view base() const noexcept { return text_of(r().base); }
  std::string_view quote() const noexcept { return text_of(r().quote); }
  double min_volume() const noexcept { return r().min_volume; }
  double min_price() const noexcept { return r().min_price; }
  double min_amount() const noexcept { return r().min_amount; }
};

class Candle {
  TAVEX_VIEW(Candle, CandleObject)
  TradeKind kind() const noexcept { return r().kind; }
  std::string_view code() const noexcept { return text_of(r().code); }
  CandleInterval interval() const noexcept { return r().interval; }
  DateTime open_time() const noexcept { return r().open_time.to_date_time(); }
  DateTime close_time() const noexcept { return r().close_time.to_date_time(); }
  double open() const noexcept { return r().open; }
  double high() const noexcept { return r().high; }
  double low() const noexcept { return r().low; }
  double close() const noexcept { return r().close; }
  double volume() const noexcept { return r().volume; }
  double amount() const noexcept { return r().amount; }
  std::int64_t trades() const noexcept { return r().trades; }
};

class Order {
  TAVEX_VIEW(Order, OrderObject)
  std::string_view id() const noexcept { return text_of(r().id); }
  TradeKind kind() const noexcept { return r().kind; }
  TradeType type() const noexcept { return r().type; }
  TradeSide side() const noexcept { return r().side; }
  std::string_view code() const noexcept { return text_of(r().code); }
  OrderStatus status() const noexcept { return r().status; }
  double volume() const noexcept { return r().volume; }
  double price() const noexcept { return r().price; }
  double filled_volume() const noexcept { return r().filled_volume; }
  double filled_price() const noexcept { return r().filled_price; }
  double fee() const noexcept { return r().fee; }
  DateTime create_time() const noexcept { return r().create_time.to_date_time(); }
};

class Position {
  TAVEX_VIEW(Position, PositionObject)
  TradeKind kind() const noexcept { return r().kind; }
  std::string_view code() const noexcept { return text_of(r().code); }
  TradeSide side() const noexcept { return r().side; }
  double volume() const noexcept { return r().volume; }
  double price() const noexcept { return r().price; }
  std::int32_t leverage() const noexcept { return r().leverage; }
};

#undef TAVEX_VIEW

namespace detail {

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

// The view of `obj` (borrowed), or null with TypeError when it is not a record of that class
// (RuntimeError when the loaded tavex does not match this header).
inline const Pair* as_pair(PyObject* obj) noexcept {
  return detail::view_of<Pair>(obj, detail::kPair);
}
inline const Candle* as_candle(PyObject* obj) noexcept {
  return detail::view_of<Candle>(obj, detail::kCandle);
}
inline const Order* as_order(PyObject* obj) noexcept {
  return detail::view_of<Order>(obj, detail::kOrder);
}
inline const Position* as_position(PyObject* obj) noexcept {
  return detail::view_of<Position>(obj, detail::kPosition);
}

}  // namespace tavex

#pragma GCC visibility pop
