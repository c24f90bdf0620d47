// tavex_backtest._native: the native half of the back-test, a CSV candle feed and a
// simulated broker that make tavex records through <tavex/records.hpp>.
#include "common.hpp"

namespace {

PyObject* make_pair(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("kind"), const_cast<char*>("code"),
                          const_cast<char*>("base"), const_cast<char*>("quote"),
                          const_cast<char*>("min_volume"), const_cast<char*>("min_price"),
                          const_cast<char*>("min_amount"), nullptr};
  PyObject* kind_obj;
  const char *code, *base, *quote;
  Py_ssize_t code_n, base_n, quote_n;
  double min_volume, min_price, min_amount;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#s#s#ddd:make_pair", names, &kind_obj, &code,
                                   &code_n, &base, &base_n, &quote, &quote_n, &min_volume,
                                   &min_price, &min_amount))
    return nullptr;
  const auto kind = backtest::enum_arg<tavex::TradeKind>(kind_obj, "kind");
  if (!kind) return nullptr;
  auto view = [](const char* s, Py_ssize_t n) {
    return std::string_view(s, static_cast<std::size_t>(n));
  };
  return tavex::make_pair(*kind, view(code, code_n), view(base, base_n), view(quote, quote_n),
                          min_volume, min_price, min_amount);
}

PyMethodDef module_methods[] = {
    {"make_pair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_pair)),
     METH_VARARGS | METH_KEYWORDS,
     "make_pair(kind, code, base, quote, min_volume, min_price, min_amount)\n--\n\n"
     "The instrument of a back-test, as a tavex.Pair."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tavex_backtest._native",
    "The native half of the back-test: candle feeds (files, Arrow columns) and a simulated broker.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  if (tavex::import() < 0) return nullptr;  // a tavex this module was not built for fails here
  backtest::Ref module(PyModule_Create(&module_def));
  if (!module || !backtest::add_feed_type(module.get()) || !backtest::add_arrow_type(module.get()) ||
      !backtest::add_broker_type(module.get()))
    return nullptr;
  return module.release();
}
