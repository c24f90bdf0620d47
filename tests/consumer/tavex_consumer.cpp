// A downstream extension module: one record of each kind through <tavex/records.hpp>, and a
// field read straight from a record's layout. Builds as C++17 and C++20.
#include <tavex/records.hpp>

#include <iterator>

namespace {

using tavex::DateTime;

using Maker = PyObject* (*)() noexcept;
constexpr Maker kMakers[] = {
    []() noexcept {
      return tavex::make_pair(tavex::TradeKind::Spot, "BTCUSDT", "BTC", "USDT", 0.001, 0.01, 5.0);
    },
    []() noexcept {
      const DateTime close = DateTime::from_civil(2024, 3, 8, 9, 31).value_or(DateTime{});
      return tavex::make_candle(tavex::TradeKind::Future, "IF2406", tavex::CandleInterval::Min1,
                                DateTime::from_unix(1709890200, 500'000'000), close, 1.0, 2.0,
                                0.5, 1.5, 10.0, 15.0, -7);
    },
    []() noexcept {
      return tavex::make_order("A-1", tavex::TradeKind::Future, tavex::TradeType::Market,
                               tavex::TradeSide::Short, "IF2406",
                               tavex::OrderStatus::PartialFilled, 2.0, 3500.0, 1.0, 3499.8, 1.4,
                               DateTime::from_unix_ms(-1));
    },
    []() noexcept {
      return tavex::make_position(tavex::TradeKind::Spot, "ETHUSDT", tavex::TradeSide::Long, 3.25,
                                  2000.5, -20);
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
  PyTypeObject* type = tavex::position_type();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    PyErr_SetString(PyExc_TypeError, "expected a tavex.Position");
    return nullptr;
  }
  return PyFloat_FromDouble(reinterpret_cast<const tavex::abi::PositionObject*>(obj)->volume);
}

PyMethodDef methods[] = {
    {"make_records", make_records, METH_NOARGS, "(Pair, Candle, Order, Position)"},
    {"position_volume", position_volume, METH_O, "Position.volume read from its layout"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "tavex_consumer", "", 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tavex_consumer() { return PyModule_Create(&module); }
