// SimBroker: the simulated broker of a back-test. It turns order requests into tavex.Order
// records, fills them against the following candles and keeps the tavex.Position.
//
// Rules (the pure-Python broker of the package follows the same ones, operation for
// operation, so that both give the same trades):
//   - a request is Rejected below the pair's minimum volume, price (limit orders) or amount
//     (volume times the limit price, or the last close for a market order), when a buy costs
//     more than the cash, or when a sell exceeds what is held and not already being sold;
//     otherwise it is Submitted;
//   - on each candle, the orders waiting fill in the order they came, at most
//     `participation` times the candle's volume in all: a market order at the open, a limit
//     buy when the low reaches its price (at that price, or the open if lower), a limit sell
//     when the high does; each fill pays `fee_rate` of its amount and makes the order
//     PartialFilled or Filled;
//   - cancel() ends a waiting order as Canceled, with what it filled so far.
#include "common.hpp"

#include <cmath>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace backtest {
namespace {

using tavex::OrderStatus;
using tavex::TradeSide;
using tavex::TradeType;

constexpr double kDust = 1e-9;  // a holding below this is none (sums of fills round)

struct Pending {
  std::string id;
  TradeType type;
  TradeSide side;
  double volume, price, filled = 0.0, filled_price = 0.0, fee = 0.0;
  tavex::DateTime create_time{};
};

struct BrokerState {
  std::string code;
  tavex::TradeKind kind;
  double min_volume, min_price, min_amount;
  double fee_rate, participation;
  double cash, fees = 0.0, realized = 0.0;
  double held = 0.0, held_price = 0.0;
  double last_close = NAN;
  long long next_id = 1;
  std::vector<Pending> pending{};
  std::string reject_reason{};
};

struct BrokerObject {
  PyObject_HEAD
  BrokerState* state;
};

BrokerState& state_of(PyObject* self) noexcept {
  return *reinterpret_cast<BrokerObject*>(self)->state;
}

PyObject* order_record(const BrokerState& st, const Pending& o, OrderStatus status) noexcept {
  return tavex::make_order(o.id, st.kind, o.type, o.side, st.code, status, o.volume, o.price,
                           o.filled, o.filled_price, o.fee, o.create_time);
}

// Why the request cannot be placed, or null.
const char* check_request(const BrokerState& st, const Pending& o) noexcept {
  if (!(o.volume >= st.min_volume) || !(o.volume > 0.0)) return "volume below the minimum";
  if (o.type == TradeType::Limit && !(o.price >= st.min_price)) return "price below the minimum";
  const double reference = o.type == TradeType::Limit ? o.price : st.last_close;
  if (std::isnan(reference)) return "no price seen yet";
  const double amount = o.volume * reference;
  if (!(amount >= st.min_amount)) return "amount below the minimum";
  if (o.side == TradeSide::Long) {
    if (amount + amount * st.fee_rate > st.cash) return "not enough cash";
  } else {
    double selling = 0.0;
    for (const Pending& p : st.pending)
      if (p.side == TradeSide::Short) selling += p.volume - p.filled;
    if (o.volume > st.held - selling + kDust) return "not enough held";
  }
  return nullptr;
}

PyObject* broker_submit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("side"), const_cast<char*>("type"),
                          const_cast<char*>("volume"), const_cast<char*>("price"),
                          const_cast<char*>("time_ms"), nullptr};
  PyObject *side_obj, *type_obj;
  double volume, price;
  long long time_ms;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOddL:submit", names, &side_obj, &type_obj,
                                   &volume, &price, &time_ms))
    return nullptr;
  const auto side = enum_arg<TradeSide>(side_obj, "side");
  if (!side) return nullptr;
  const auto type = enum_arg<TradeType>(type_obj, "type");
  if (!type) return nullptr;
  BrokerState& st = state_of(self);
  try {
    Pending o{"O-" + std::to_string(st.next_id++), *type, *side, volume,
              *type == TradeType::Limit ? price : 0.0};
    o.create_time = tavex::DateTime::from_unix_ms(time_ms);
    if (const char* why = check_request(st, o)) {
      st.reject_reason = why;
      return order_record(st, o, OrderStatus::Rejected);
    }
    Ref record(order_record(st, o, OrderStatus::Submitted));
    if (record) st.pending.push_back(std::move(o));
    return record.release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Fills what the candle allows; updates the cash and the holding. Returns the fill price, or
// NaN when the order does not trade on this candle.
double fill_price(const Pending& o, const tavex::Candle& c) noexcept {
  if (o.type == TradeType::Market) return c.open();
  if (o.side == TradeSide::Long) return c.low() <= o.price ? std::fmin(o.price, c.open()) : NAN;
  return c.high() >= o.price ? std::fmax(o.price, c.open()) : NAN;
}

void fill(BrokerState& st, Pending& o, double price, double volume, bool completes) noexcept {
  const double cost = volume * price;
  const double fee = cost * st.fee_rate;
  o.filled_price = (o.filled_price * o.filled + cost) / (o.filled + volume);
  o.filled = completes ? o.volume : o.filled + volume;
  o.fee += fee;
  st.fees += fee;
  if (o.side == TradeSide::Long) {
    st.cash -= cost + fee;
    st.held_price = (st.held_price * st.held + cost) / (st.held + volume);
    st.held += volume;
  } else {
    st.cash += cost - fee;
    st.realized += (price - st.held_price) * volume;
    st.held -= volume;
    if (st.held < kDust) st.held = st.held_price = 0.0;
  }
}

// The orders that traded on this candle (None when none did).
PyObject* broker_on_candle(PyObject* self, PyObject* candle_obj) noexcept {
  const tavex::Candle* c = tavex::as_candle(candle_obj);
  if (!c) return nullptr;
  BrokerState& st = state_of(self);
  st.last_close = c->close();
  if (st.pending.empty()) Py_RETURN_NONE;
  Ref changed;
  double room = st.participation * c->volume();
  std::size_t kept = 0;
  for (std::size_t k = 0; k < st.pending.size(); ++k) {
    Pending& o = st.pending[k];
    const double price = room > 0.0 ? fill_price(o, *c) : NAN;
    bool done = false;
    if (!std::isnan(price)) {
      const double remaining = o.volume - o.filled;
      const bool completes = remaining <= room;
      const double volume = completes ? remaining : room;
      room -= volume;
      fill(st, o, price, volume, completes);
      done = completes;
      if (!changed && !changed.reset(PyList_New(0))) return nullptr;
      Ref record(order_record(st, o, completes ? OrderStatus::Filled : OrderStatus::PartialFilled));
      if (!record || PyList_Append(changed.get(), record.get()) < 0) return nullptr;
    }
    if (!done) {
      if (kept != k) st.pending[kept] = std::move(o);
      ++kept;
    }
  }
  st.pending.resize(kept);
  if (!changed) Py_RETURN_NONE;
  return changed.release();
}

PyObject* broker_cancel(PyObject* self, PyObject* id_obj) noexcept {
  Py_ssize_t size;
  const char* id = PyUnicode_AsUTF8AndSize(id_obj, &size);
  if (!id) return nullptr;
  BrokerState& st = state_of(self);
  const std::string_view wanted(id, static_cast<std::size_t>(size));
  for (auto it = st.pending.begin(); it != st.pending.end(); ++it) {
    if (it->id != wanted) continue;
    PyObject* record = order_record(st, *it, OrderStatus::Canceled);
    if (record) st.pending.erase(it);
    return record;
  }
  Py_RETURN_NONE;  // already filled, canceled or never placed
}

PyObject* broker_position(PyObject* self, PyObject*) noexcept {
  const BrokerState& st = state_of(self);
  return tavex::make_position(st.kind, st.code, TradeSide::Long, st.held, st.held_price,
                              /*leverage=*/1);
}

PyObject* broker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("pair"), const_cast<char*>("cash"),
                          const_cast<char*>("fee_rate"), const_cast<char*>("participation"),
                          nullptr};
  PyObject* pair_obj;
  double cash, fee_rate, participation;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oddd:SimBroker", names, &pair_obj, &cash,
                                   &fee_rate, &participation))
    return nullptr;
  const tavex::Pair* pair = tavex::as_pair(pair_obj);
  if (!pair) return nullptr;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    auto* st = new BrokerState{std::string(pair->code()), pair->kind(), pair->min_volume(),
                               pair->min_price(), pair->min_amount(), fee_rate, participation,
                               cash};
    reinterpret_cast<BrokerObject*>(self.get())->state = st;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void broker_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<BrokerObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

template <double BrokerState::*Field>
PyObject* get_double(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(state_of(self).*Field);
}

PyObject* get_pending(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(state_of(self).pending.size());
}

PyObject* get_reject_reason(PyObject* self, void*) noexcept {
  const std::string& why = state_of(self).reject_reason;
  return PyUnicode_FromStringAndSize(why.data(), static_cast<Py_ssize_t>(why.size()));
}

PyMethodDef broker_methods[] = {
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(broker_submit)),
     METH_VARARGS | METH_KEYWORDS,
     "submit($self, side, type, volume, price, time_ms)\n--\n\n"
     "Place an order; returns it as a tavex.Order, Submitted or Rejected."},
    {"on_candle", broker_on_candle, METH_O,
     "on_candle($self, candle, /)\n--\n\n"
     "Fill the waiting orders against a candle; returns the orders that traded, or None."},
    {"cancel", broker_cancel, METH_O,
     "cancel($self, order_id, /)\n--\n\n"
     "Cancel a waiting order; returns it Canceled, or None when it is not waiting."},
    {"position", broker_position, METH_NOARGS,
     "position($self, /)\n--\n\nThe holding, as a tavex.Position."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef broker_getset[] = {
    {"cash", get_double<&BrokerState::cash>, nullptr, "cash left", nullptr},
    {"fees", get_double<&BrokerState::fees>, nullptr, "fees paid so far", nullptr},
    {"realized_pnl", get_double<&BrokerState::realized>, nullptr,
     "profit and loss of the sales, before fees", nullptr},
    {"pending", get_pending, nullptr, "number of orders waiting", nullptr},
    {"reject_reason", get_reject_reason, nullptr, "why the last rejected request was", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot broker_slots[] = {
    {Py_tp_doc, const_cast<char*>("SimBroker(pair, cash, fee_rate, participation)\n--\n\n"
                                  "The simulated broker of a back-test.")},
    {Py_tp_new, reinterpret_cast<void*>(broker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(broker_dealloc)},
    {Py_tp_methods, broker_methods},
    {Py_tp_getset, broker_getset},
    {0, nullptr},
};

PyType_Spec broker_spec = {"tavex_backtest._native.SimBroker", sizeof(BrokerObject), 0,
                           Py_TPFLAGS_DEFAULT, broker_slots};

}  // namespace

bool add_broker_type(PyObject* module) noexcept { return add_type(module, broker_spec); }

}  // namespace backtest
