// A downstream extension module built on the tavex SDK: one record of each kind through the
// factories, records and members read back through the views and read_enum, and the time core
// for the differential check against str_to_date. Builds as C++17 and C++20. Its PyInit calls
// tavex::import() unless TAVEX_CONSUMER_LAZY is defined (then the check runs on first use).
#include <tavex/tavex.hpp>

#include <iterator>
#include <string>

namespace {

using tavex::DateTime;

using Maker = PyObject* (*)() noexcept;
constexpr Maker kMakers[] = {
    []() noexcept {
      return tavex::make_pair(tavex::TradeKind::Spot, "BTCUSDT", "BTC", "USDT", 0.001, 0.01, 5.0);
    },
    []() noexcept {
      tavex::CandleFields f{};  // by name (C++20 code would use designated initializers)
      f.kind = tavex::TradeKind::Future;
      f.code = "IF2406";
      f.interval = tavex::CandleInterval::Min1;
      f.open_time = DateTime::from_unix(1709890200, 500'000'000);
      f.close_time = DateTime::from_civil(2024, 3, 8, 9, 31).value_or(DateTime{});
      f.open = 1.0;
      f.high = 2.0;
      f.low = 0.5;
      f.close = 1.5;
      f.volume = 10.0;
      f.amount = 15.0;
      f.trades = -7;
      return tavex::make_candle(f);
    },
    []() noexcept {
      return tavex::make_order("A-1", tavex::TradeKind::Future, tavex::TradeType::Market,
                               tavex::TradeSide::Short, "IF2406",
                               tavex::OrderStatus::PartialFilled, 2.0, 3500.0, 1.0, 3499.8, 1.4,
                               DateTime::from_unix_ms(-1));
    },
    []() noexcept {
      return tavex::make_position({tavex::TradeKind::Spot, "ETHUSDT", tavex::TradeSide::Long,
                                   3.25, 2000.5, -20});
    },
};

// (Pair, Candle, Order, Position); null with the first failing factory's exception.
PyObject* make_records(PyObject*, PyObject*) noexcept {
  PyObject* out = PyTuple_New(std::size(kMakers));
  for (std::size_t i = 0; out && i < std::size(kMakers); ++i) {
    PyObject* record = kMakers[i]();
    if (!record) Py_CLEAR(out);
    else PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), record);
  }
  return out;
}

PyObject* position_volume(PyObject*, PyObject* obj) noexcept {
  const tavex::Position* p = tavex::as_position(obj);
  return p ? PyFloat_FromDouble(p->volume()) : nullptr;
}

// Python values of the C++ ones a view hands out; date-times as their text.
PyObject* py(std::string_view s) noexcept {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* py(double v) noexcept { return PyFloat_FromDouble(v); }
PyObject* py(std::int64_t v) noexcept { return PyLong_FromLongLong(v); }
PyObject* py(std::int32_t v) noexcept { return PyLong_FromLong(v); }
PyObject* py(const DateTime& v) noexcept {
  const std::string text = tavex::format_rfc3339(v);
  return py(std::string_view(text));
}
template <class E, class = std::enable_if_t<std::is_enum_v<E>>>
PyObject* py(E v) noexcept {
  return tavex::enum_member(v);
}

// A dict of every field a view reads; null with the exception set.
class FieldDict {
 public:
  FieldDict() noexcept : dict_(PyDict_New()) {}
  template <class T>
  FieldDict& add(const char* name, const T& value) noexcept {
    if (!dict_) return *this;
    PyObject* v = py(value);
    if (!v || PyDict_SetItemString(dict_, name, v) < 0) Py_CLEAR(dict_);
    Py_XDECREF(v);
    return *this;
  }
  PyObject* release() noexcept { return dict_; }

 private:
  PyObject* dict_;
};

PyObject* read_back(PyObject*, PyObject* obj) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (type == reinterpret_cast<PyObject*>(tavex::pair_type())) {
    const tavex::Pair* r = tavex::as_pair(obj);
    return FieldDict().add("kind", r->kind()).add("code", r->code()).add("base", r->base())
        .add("quote", r->quote()).add("min_volume", r->min_volume())
        .add("min_price", r->min_price()).add("min_amount", r->min_amount()).release();
  }
  if (type == reinterpret_cast<PyObject*>(tavex::candle_type())) {
    const tavex::Candle* r = tavex::as_candle(obj);
    return FieldDict().add("kind", r->kind()).add("code", r->code())
        .add("interval", r->interval()).add("open_time", r->open_time())
        .add("close_time", r->close_time()).add("open", r->open()).add("high", r->high())
        .add("low", r->low()).add("close", r->close()).add("volume", r->volume())
        .add("amount", r->amount()).add("trades", r->trades()).release();
  }
  if (type == reinterpret_cast<PyObject*>(tavex::order_type())) {
    const tavex::Order* r = tavex::as_order(obj);
    return FieldDict().add("id", r->id()).add("kind", r->kind()).add("type", r->type())
        .add("side", r->side()).add("code", r->code()).add("status", r->status())
        .add("volume", r->volume()).add("price", r->price())
        .add("filled_volume", r->filled_volume()).add("filled_price", r->filled_price())
        .add("fee", r->fee()).add("create_time", r->create_time()).release();
  }
  const tavex::Position* r = tavex::as_position(obj);  // TypeError for anything else
  if (!r) return nullptr;
  return FieldDict().add("kind", r->kind()).add("code", r->code()).add("side", r->side())
      .add("volume", r->volume()).add("price", r->price()).add("leverage", r->leverage())
      .release();
}

// read_enum(class_name, obj) -> discriminant; enum_member(class_name, value) -> member.
template <class E>
PyObject* read_as(PyObject* obj) noexcept {
  E value{};
  return tavex::read_enum(obj, value) ? PyLong_FromLong(static_cast<long>(value)) : nullptr;
}
template <class E>
PyObject* member_of(long value) noexcept {
  return tavex::enum_member(static_cast<E>(value));
}

struct EnumOps {
  const char* name;
  PyObject* (*read)(PyObject*) noexcept;
  PyObject* (*member)(long) noexcept;
};
template <class E>
constexpr EnumOps ops() noexcept {
  return {tavex::enum_name<E>, read_as<E>, member_of<E>};
}
constexpr EnumOps kEnumOps[] = {ops<tavex::RunMode>(),     ops<tavex::TradeKind>(),
                                ops<tavex::TradeType>(),   ops<tavex::TradeSide>(),
                                ops<tavex::OrderStatus>(), ops<tavex::CandleInterval>(),
                                ops<tavex::EventType>()};

const EnumOps* find_ops(const char* name) noexcept {
  for (const EnumOps& e : kEnumOps)
    if (std::string_view(e.name) == name) return &e;
  PyErr_Format(PyExc_KeyError, "%s", name);
  return nullptr;
}

PyObject* read_enum(PyObject*, PyObject* args) noexcept {
  const char* name = nullptr;
  PyObject* obj = nullptr;
  if (!PyArg_ParseTuple(args, "sO", &name, &obj)) return nullptr;
  const EnumOps* e = find_ops(name);
  return e ? e->read(obj) : nullptr;
}

PyObject* enum_member(PyObject*, PyObject* args) noexcept {
  const char* name = nullptr;
  long value = 0;
  if (!PyArg_ParseTuple(args, "sl", &name, &value)) return nullptr;
  const EnumOps* e = find_ops(name);
  return e ? e->member(value) : nullptr;
}

// parse(bytes) -> (ParseError, (days, seconds, nanos) or None, the RuntimeError text or None),
// from str_to_date; parse_rfc3339 must agree with it. format(days, seconds, nanos) -> str.
PyObject* parse(PyObject*, PyObject* arg) noexcept {
  if (!PyBytes_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "parse() takes bytes");
    return nullptr;
  }
  const std::string_view text(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
  const DateTime unset{-1, 1, 1};
  DateTime v = unset, w = unset;
  const tavex::ParseError error = tavex::str_to_date(text, v);
  const char* refused = tavex::parse_rfc3339(text, w);
  if (!(v == w) || (refused == nullptr) != (tavex::message(error) == nullptr)) {
    PyErr_SetString(PyExc_AssertionError, "str_to_date and parse_rfc3339 disagree");
    return nullptr;
  }
  if (v == unset)
    return Py_BuildValue("(iOs)", static_cast<int>(error), Py_None, tavex::message(error));
  return Py_BuildValue("(i(LkI)O)", static_cast<int>(error), static_cast<long long>(v.days_since_1970),
                       static_cast<unsigned long>(v.seconds_of_day), v.nanos, Py_None);
}

PyObject* format(PyObject*, PyObject* args) noexcept {
  long long days = 0;
  unsigned long seconds = 0, nanos = 0;
  if (!PyArg_ParseTuple(args, "Lkk", &days, &seconds, &nanos)) return nullptr;
  const DateTime v{days, static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(nanos)};
  if (!v.is_valid()) {
    PyErr_SetString(PyExc_ValueError, "not a valid DateTime");
    return nullptr;
  }
  return py(v);
}

PyMethodDef methods[] = {
    {"make_records", make_records, METH_NOARGS, "(Pair, Candle, Order, Position)"},
    {"position_volume", position_volume, METH_O, "Position.volume through the view"},
    {"read_back", read_back, METH_O, "every field of a record through its view, as a dict"},
    {"read_enum", read_enum, METH_VARARGS, "read_enum(class_name, obj) -> discriminant"},
    {"enum_member", enum_member, METH_VARARGS, "enum_member(class_name, value) -> member"},
    {"parse", parse, METH_O, "parse(bytes) -> (error, (days, seconds, nanos) or None, text)"},
    {"format", format, METH_VARARGS, "format(days, seconds, nanos) -> str"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "tavex_consumer", "", 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tavex_consumer() {
#ifndef TAVEX_CONSUMER_LAZY
  if (tavex::import() < 0) return nullptr;
#endif
  return PyModule_Create(&module);
}
