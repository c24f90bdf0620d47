// SimBroker: the simulated broker of a back-test. It turns order requests into tavex.Order
// records, fills them against the following candles and keeps the tavex.Position, the equity
// at every close and the summary of every period (a UTC day; a month for daily candles).
//
// Rules (the pure-Python broker of the package follows the same ones, operation for
// operation, so that both give the same trades):
//   - a request is Rejected below the pair's minimum volume, price (limit orders) or amount
//     (volume times the limit price, or the last close for a market order); on a spot pair
//     when a buy costs more than the cash, or a sell exceeds what is held and not already
//     being sold; on a future pair (leverage 1) when the position it would leave, with the
//     orders waiting, is worth more at its price than the equity less the order's fee;
//     otherwise it is Submitted;
//   - on each candle, the orders waiting fill in the order they came, at most
//     `participation` times the candle's volume in all (no limit when it is 0): a market order
//     at the open moved by `slippage` against it, a limit buy when the low reaches its price
//     (at that price, or the open if lower), a limit sell when the high does; each fill pays
//     `fee_rate` of its amount and makes the order PartialFilled or Filled;
//   - cancel() ends a waiting order as Canceled, with what it filled so far.
#include "common.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
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

// The period a candle opens in: its UTC day, or its month (days of the month's first day).
struct Period {
  std::int64_t key = 0, start_day = 0, end_ms = 0;  // end: the first ms of the next period
  long long candles = 0, fills = 0;
  double open = 0.0, fees_before = 0.0, equity_before = 0.0;
};

struct BrokerState {
  std::string code;
  tavex::TradeKind kind;
  double min_volume, min_price, min_amount;
  double fee_rate, participation, slippage;
  double cash, fees = 0.0, realized = 0.0;
  double held = 0.0, held_price = 0.0;  // held < 0: a short (future pairs)
  double last_close = NAN;
  long long next_id = 1, exposed = 0;
  std::int64_t start_ms = 0;  // the first candle's open time
  std::vector<Pending> pending{};
  std::string reject_reason{};
  std::vector<double> equity{};           // at each candle's close
  // tavex_backtest.stats.Running, operation for operation: the returns' sums, the peak,
  // the largest fall from it and the longest time under it.
  double previous = 0.0, sum_r = 0.0, squares = 0.0, losses = 0.0, peak = 0.0, worst = 0.0;
  std::int64_t peak_ms = 0, longest = 0;
  bool under = false;
  std::vector<std::int64_t> close_ms{};   // each candle's close time
  bool have_period = false;
  Period period{};
};

struct BrokerObject {
  PyObject_HEAD
  BrokerState* state;
  PyObject* feed;  // while streaming: the feed and the callbacks (owned)
  PyObject* on_fills;
  PyObject* on_period;
};

BrokerState& state_of(PyObject* self) noexcept {
  return *reinterpret_cast<BrokerObject*>(self)->state;
}

PyObject* order_record(const BrokerState& st, const Pending& o, OrderStatus status) noexcept {
  return tavex::make_order(o.id, st.kind, o.type, o.side, st.code, status, o.volume, o.price,
                           o.filled, o.filled_price, o.fee, o.create_time);
}

// The signed volume an order adds to the position.
double signed_volume(const Pending& o, double volume) noexcept {
  return o.side == TradeSide::Long ? volume : -volume;
}

// Why the request cannot be placed, or null.
const char* check_request(const BrokerState& st, const Pending& o) noexcept {
  if (!(o.volume >= st.min_volume) || !(o.volume > 0.0)) return "volume below the minimum";
  if (o.type == TradeType::Limit && !(o.price >= st.min_price)) return "price below the minimum";
  const double reference = o.type == TradeType::Limit ? o.price : st.last_close;
  if (std::isnan(reference)) return "no price seen yet";
  const double amount = o.volume * reference;
  if (!(amount >= st.min_amount)) return "amount below the minimum";
  if (st.kind == tavex::TradeKind::Future) {
    double projected = st.held + signed_volume(o, o.volume);
    for (const Pending& p : st.pending) projected += signed_volume(p, p.volume - p.filled);
    if (std::fabs(projected) * reference + amount * st.fee_rate > st.cash + st.held * reference)
      return "not enough margin";
  } else if (o.side == TradeSide::Long) {
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

// The price the order fills at on this candle, or NaN when it does not trade on it.
double fill_price(const BrokerState& st, const Pending& o, const tavex::Candle& c) noexcept {
  if (o.type == TradeType::Market)
    return o.side == TradeSide::Long ? c.open() * (1.0 + st.slippage) : c.open() * (1.0 - st.slippage);
  if (o.side == TradeSide::Long) return c.low() <= o.price ? std::fmin(o.price, c.open()) : NAN;
  return c.high() >= o.price ? std::fmax(o.price, c.open()) : NAN;
}

// Books a fill: the order's average, the cash, the fees, the holding and the realized P&L.
void fill(BrokerState& st, Pending& o, double price, double volume, bool completes) noexcept {
  const double cost = volume * price;
  const double fee = cost * st.fee_rate;
  o.filled_price = (o.filled_price * o.filled + cost) / (o.filled + volume);
  o.filled = completes ? o.volume : o.filled + volume;
  o.fee += fee;
  st.fees += fee;
  if (o.side == TradeSide::Long) {
    st.cash -= cost + fee;
    if (st.held >= 0.0) {
      st.held_price = (st.held_price * st.held + cost) / (st.held + volume);
      st.held += volume;
      return;
    }
    const double covered = std::fmin(volume, -st.held);  // a short bought back
    st.realized += (st.held_price - price) * covered;
    st.held += volume;
    if (st.held > kDust) st.held_price = price;  // past flat: a long of the rest
    else if (st.held > -kDust) st.held = st.held_price = 0.0;
    return;
  }
  st.cash += cost - fee;
  if (st.held > 0.0 && volume <= st.held + kDust) {
    st.realized += (price - st.held_price) * volume;
    st.held -= volume;
    if (st.held < kDust) st.held = st.held_price = 0.0;
  } else if (st.held > 0.0) {  // past flat: a short of the rest (future pairs)
    st.realized += (price - st.held_price) * st.held;
    st.held -= volume;
    st.held_price = price;
  } else {  // a short opened or added to
    st.held_price = (st.held_price * -st.held + cost) / (-st.held + volume);
    st.held -= volume;
  }
}

// Fills what the candle allows and records the equity at its close; the orders that traded
// (null: none did; an exception when making a record failed, with `failed` set).
PyObject* trade(BrokerState& st, const tavex::Candle& c, std::int64_t close_ms,
                bool& failed) noexcept {
  st.last_close = c.close();
  Ref changed;
  if (!st.pending.empty()) {
    double room = st.participation > 0.0 ? st.participation * c.volume() : INFINITY;
    std::size_t kept = 0;
    for (std::size_t k = 0; k < st.pending.size(); ++k) {
      Pending& o = st.pending[k];
      const double price = room > 0.0 ? fill_price(st, o, c) : NAN;
      bool done = false;
      if (!std::isnan(price)) {
        const double remaining = o.volume - o.filled;
        const bool completes = remaining <= room;
        const double volume = completes ? remaining : room;
        room -= volume;
        fill(st, o, price, volume, completes);
        done = completes;
        Ref record(order_record(st, o, completes ? OrderStatus::Filled : OrderStatus::PartialFilled));
        if ((!changed && !changed.reset(PyList_New(0))) || !record ||
            PyList_Append(changed.get(), record.get()) < 0) {
          failed = true;
          return nullptr;
        }
      }
      if (!done) {
        if (kept != k) st.pending[kept] = std::move(o);
        ++kept;
      }
    }
    st.pending.resize(kept);
  }
  if (st.equity.empty()) st.start_ms = st.peak_ms = tavex::to_unix_ms(c.open_time());
  const double equity = st.cash + st.held * c.close();
  st.equity.push_back(equity);
  const double r = equity / st.previous - 1.0;
  st.previous = equity;
  st.sum_r += r;
  st.squares += r * r;
  if (r < 0.0) st.losses += r * r;
  if (equity >= st.peak) {
    if (st.under) {  // back at the peak: the fall lasted from the peak to here
      st.longest = std::max(st.longest, close_ms - st.peak_ms);
      st.under = false;
    }
    st.peak = equity;
    st.peak_ms = close_ms;
  } else {
    st.under = true;
    st.worst = std::max(st.worst, 1.0 - equity / st.peak);
  }
  st.close_ms.push_back(close_ms);
  if (st.held != 0.0) ++st.exposed;
  return changed.release();
}

// The orders that traded on this candle (None when none did).
PyObject* broker_on_candle(PyObject* self, PyObject* candle_obj) noexcept {
  const tavex::Candle* c = tavex::as_candle(candle_obj);
  if (!c) return nullptr;
  bool failed = false;
  try {
    PyObject* changed = trade(state_of(self), *c, tavex::to_unix_ms(c->close_time()), failed);
    if (changed || failed) return changed;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// The period of a candle opening at `t`: its UTC day, or for daily candles its month.
Period period_of(const tavex::DateTime& t, bool monthly) noexcept {
  Period p;
  p.key = p.start_day = t.days_since_1970;
  std::int64_t end_day = p.start_day + 1;
  if (monthly) {
    const tavex::CivilDate d = tavex::civil_from_days(t.days_since_1970);
    p.key = std::int64_t{d.year} * 12 + d.month;
    p.start_day = tavex::days_from_civil(d.year, d.month, 1);
    end_day = d.month == 12 ? tavex::days_from_civil(d.year + 1, 1, 1)
                            : tavex::days_from_civil(d.year, d.month + 1u, 1);
  }
  p.end_ms = end_day * 86'400'000;
  return p;
}

// Calls on_period(start_ms, candles, open, close, fills, fees, equity, pnl) for the period
// that ends; false with an exception set.
bool close_period(BrokerObject& b) noexcept {
  const BrokerState& st = *b.state;
  const Period& p = st.period;
  const double equity = st.cash + st.held * st.last_close;
  Ref result(PyObject_CallFunction(b.on_period, "LLddLddd", static_cast<long long>(p.start_day * 86'400'000),
                                   p.candles, p.open, st.last_close, p.fills,
                                   st.fees - p.fees_before, equity, equity - p.equity_before));
  return static_cast<bool>(result);
}

void stop_stream(BrokerObject& b) noexcept {
  Py_CLEAR(b.feed);
  Py_CLEAR(b.on_fills);
  Py_CLEAR(b.on_period);
}

// stream(): the next candle of the feed, once its fills are booked and handed to on_fills.
PyObject* broker_next(PyObject* self) noexcept {
  auto& b = *reinterpret_cast<BrokerObject*>(self);
  if (!b.feed) return nullptr;
  BrokerState& st = *b.state;
  // The feed's own next, called from here: on PyPy PyIter_Next would go through the
  // interpreter and back into C for every candle.
  Ref candle(Py_TYPE(b.feed)->tp_iternext(b.feed));
  if (!candle) {  // the end, or the feed's error: the last period closes only at the end
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
    if (!PyErr_Occurred() && st.have_period) close_period(b);
    st.have_period = false;
    stop_stream(b);
    return nullptr;
  }
  const tavex::Candle* c = tavex::as_candle(candle.get());
  if (!c) return nullptr;
  try {
    // A candle that closes before the period's end opens in it: only the others are placed.
    const std::int64_t close_ms = tavex::to_unix_ms(c->close_time());
    const bool inside = st.have_period && close_ms < st.period.end_ms;
    Period next = inside ? st.period
                         : period_of(c->open_time(), c->interval() == tavex::CandleInterval::Day1);
    if (!st.have_period || next.key != st.period.key) {
      const double equity = st.have_period ? st.cash + st.held * st.last_close : st.cash;
      if (st.have_period && !close_period(b)) return nullptr;
      next.open = c->open();
      next.fees_before = st.fees;
      next.equity_before = equity;
      st.period = next;
      st.have_period = true;
    }
    bool failed = false;
    Ref changed(trade(st, *c, close_ms, failed));
    if (failed) return nullptr;
    ++st.period.candles;
    if (changed) {
      st.period.fills += PyList_GET_SIZE(changed.get());
      Ref result(PyObject_CallFunctionObjArgs(b.on_fills, changed.get(), nullptr));
      if (!result) return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return candle.release();
}

PyObject* broker_stream(PyObject* self, PyObject* args) noexcept {
  auto& b = *reinterpret_cast<BrokerObject*>(self);
  PyObject *feed, *on_fills, *on_period;
  if (!PyArg_ParseTuple(args, "OOO:stream", &feed, &on_fills, &on_period)) return nullptr;
  Ref it(PyObject_GetIter(feed));
  if (!it) return nullptr;
  stop_stream(b);
  b.feed = it.release();
  Py_INCREF(on_fills);
  b.on_fills = on_fills;
  Py_INCREF(on_period);
  b.on_period = on_period;
  b.state->have_period = false;
  Py_INCREF(self);
  return self;
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
  return tavex::make_position(st.kind, st.code, st.held < 0.0 ? TradeSide::Short : TradeSide::Long,
                              std::fabs(st.held), st.held_price, /*leverage=*/1);
}

PyObject* broker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("pair"), const_cast<char*>("cash"),
                          const_cast<char*>("fee_rate"), const_cast<char*>("participation"),
                          const_cast<char*>("slippage"), nullptr};
  PyObject* pair_obj;
  double cash, fee_rate, participation, slippage = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oddd|d:SimBroker", names, &pair_obj, &cash,
                                   &fee_rate, &participation, &slippage))
    return nullptr;
  const tavex::Pair* pair = tavex::as_pair(pair_obj);
  if (!pair) return nullptr;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    auto* st = new BrokerState{std::string(pair->code()), pair->kind(), pair->min_volume(),
                               pair->min_price(), pair->min_amount(), fee_rate, participation,
                               slippage, cash};
    st->previous = st->peak = cash;
    reinterpret_cast<BrokerObject*>(self.get())->state = st;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

int broker_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  auto& b = *reinterpret_cast<BrokerObject*>(self);
  Py_VISIT(b.feed);
  Py_VISIT(b.on_fills);
  Py_VISIT(b.on_period);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int broker_clear(PyObject* self) noexcept {
  stop_stream(*reinterpret_cast<BrokerObject*>(self));
  return 0;
}

void broker_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  stop_stream(*reinterpret_cast<BrokerObject*>(self));
  delete reinterpret_cast<BrokerObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

template <double BrokerState::*Field>
PyObject* get_double(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(state_of(self).*Field);
}

// The simulated clock: the last candle's close time, ms since 1970; None before the first.
PyObject* get_clock_ms(PyObject* self, void*) noexcept {
  const BrokerState& st = state_of(self);
  if (st.close_ms.empty()) Py_RETURN_NONE;
  return PyLong_FromLongLong(st.close_ms.back());
}

PyObject* get_start_ms(PyObject* self, void*) noexcept {
  const BrokerState& st = state_of(self);
  if (st.close_ms.empty()) Py_RETURN_NONE;
  return PyLong_FromLongLong(st.start_ms);
}

// (closes, last equity, sum, squares, losses, peak, worst, longest ms) as Running.values()
// gives them.
PyObject* get_moments(PyObject* self, void*) noexcept {
  const BrokerState& st = state_of(self);
  const std::int64_t last = st.close_ms.empty() ? 0 : st.close_ms.back();
  const std::int64_t longest = st.under ? std::max(st.longest, last - st.peak_ms) : st.longest;
  return Py_BuildValue("(nddddddL)", static_cast<Py_ssize_t>(st.equity.size()), st.previous,
                       st.sum_r, st.squares, st.losses, st.peak, st.worst,
                       static_cast<long long>(longest));
}

PyObject* get_exposed(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(state_of(self).exposed);
}

template <class T, std::vector<T> BrokerState::*Field>
PyObject* get_series(PyObject* self, void*) noexcept {
  const std::vector<T>& values = state_of(self).*Field;
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < values.size(); ++k) {
    PyObject* item;
    if constexpr (std::is_same_v<T, double>) item = PyFloat_FromDouble(values[k]);
    else item = PyLong_FromLongLong(values[k]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
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
    {"stream", broker_stream, METH_VARARGS,
     "stream($self, feed, on_fills, on_period, /)\n--\n\n"
     "Iterate over the broker: each candle of `feed` once its fills are booked; on_fills gets "
     "the orders that traded, on_period(start_ms, candles, open, close, fills, fees, equity, "
     "pnl) each period's summary as it ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef broker_getset[] = {
    {"cash", get_double<&BrokerState::cash>, nullptr, "cash left", nullptr},
    {"fees", get_double<&BrokerState::fees>, nullptr, "fees paid so far", nullptr},
    {"realized_pnl", get_double<&BrokerState::realized>, nullptr,
     "profit and loss of the sales, before fees", nullptr},
    {"pending", get_pending, nullptr, "number of orders waiting", nullptr},
    {"reject_reason", get_reject_reason, nullptr, "why the last rejected request was", nullptr},
    {"equity", get_series<double, &BrokerState::equity>, nullptr,
     "cash and holding at each candle's close", nullptr},
    {"close_ms", get_series<std::int64_t, &BrokerState::close_ms>, nullptr,
     "each candle's close time, ms since 1970", nullptr},
    {"exposed", get_exposed, nullptr, "candles that closed with a position", nullptr},
    {"moments", get_moments, nullptr,
     "(closes, last equity, sum, squares, losses, peak, worst, longest ms) of the equity: "
     "stats.Running's", nullptr},
    {"clock_ms", get_clock_ms, nullptr, "the last candle's close time (ms), or None", nullptr},
    {"start_ms", get_start_ms, nullptr, "the first candle's open time (ms), or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot broker_slots[] = {
    {Py_tp_doc, const_cast<char*>("SimBroker(pair, cash, fee_rate, participation, slippage=0.0)\n--\n\n"
                                  "The simulated broker of a back-test.")},
    {Py_tp_new, reinterpret_cast<void*>(broker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(broker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(broker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(broker_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(broker_next)},
    {Py_tp_methods, broker_methods},
    {Py_tp_getset, broker_getset},
    {0, nullptr},
};

PyType_Spec broker_spec = {"tavex_backtest._native.SimBroker", sizeof(BrokerObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, broker_slots};

}  // namespace

bool add_broker_type(PyObject* module) noexcept { return add_type(module, broker_spec); }

}  // namespace backtest
