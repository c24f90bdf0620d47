// What both native feeds share: the layout decided in Python (tavex_backtest.layout), the
// reading of a row's times and numbers, the checks between its values, the zone of times
// without an offset, the time order and the counts. tavex_backtest.pure holds the same rules
// in Python, reason for reason.
#pragma once

#include "common.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace backtest {

// The kinds of skipped rows, in the order they are reported.
enum Reason { kUnreadable, kBadValue, kOutOfOrder, kRepeated, kReasons };
inline constexpr const char* kReasonNames[kReasons] = {"unreadable", "bad value",
                                                       "out of order", "repeated"};
inline constexpr std::size_t kShownPerReason = 5;  // the rest are only counted

struct Verdict {
  Reason reason;
  std::string why;
};
using Result = std::optional<Verdict>;  // nothing: the row is good

// A time as read: UTC when `absolute`, else the local clock's reading, held as if it were UTC
// until the zone's rule places it.
struct Parsed {
  tavex::DateTime time{};
  bool absolute = false;
};

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Seconds since 1970 of a time (leap seconds not counted); nanoseconds, which need 128 bits
// over DateTime's whole range.
constexpr std::int64_t unix_seconds(const tavex::DateTime& t) noexcept {
  return t.days_since_1970 * 86'400 + t.seconds_of_day;
}
constexpr __int128 unix_nanos(const tavex::DateTime& t) noexcept {
  return static_cast<__int128>(unix_seconds(t)) * kNanosPerSecond + t.nanos;
}

enum class Form { Iso, Epoch, Format, Timestamp };
enum class Kind { Header, Headerless, Kline };

// tavex_backtest.layout.Layout, read once.
struct LayoutSpec {
  Kind kind = Kind::Header;
  char separator = ',';
  bool wrapped = false;
  long long skip_lines = 0;
  std::size_t fields = 6;
  int time = 0, time2 = -1, open = 1, high = 2, low = 3, close = 4, volume = 5;
  int close_time = -1, quote_volume = -1, trades = -1;
  Form form = Form::Iso;
  std::string format;
  std::int64_t unit = 0;  // epoch: nanoseconds per unit, 0 from each value's magnitude
  bool utc = true;
  std::int64_t interval = 60;  // seconds
  tavex::CandleInterval interval_member = tavex::CandleInterval::Min1;
  bool newest_first = false;
  std::string source;
  const char* time_column() const noexcept { return kind == Kind::Kline ? "open time" : "time"; }
};

// Reads `layout` (a tavex_backtest.layout.Layout); false with an exception set.
bool read_layout(PyObject* layout, LayoutSpec& out);

Result read_iso(std::string_view s, const char* column, Parsed& out);
Result read_epoch(std::string_view s, const char* column, std::int64_t unit, Parsed& out);
Result read_format(std::string_view s, std::string_view format, const char* column,
                   Parsed& out);
Result read_number(std::string_view s, bool stray, const char* column, double& out);

struct Row {
  tavex::DateTime open_time, close_time;  // UTC
  bool has_close;  // klines: the row's own close time
  double open, high, low, close, volume, amount;
  bool has_amount;
  std::int64_t trades;
  long long line;
};

// The state both feeds keep: the layout, the zone, the order, the counts.
struct Core {
  LayoutSpec layout;
  PyObject* layout_obj = nullptr;  // owned: the feed's `layout`
  PyObject* zone_day = nullptr;    // owned: layout.zone_day, for times without an offset
  std::string code;
  tavex::TradeKind kind = tavex::TradeKind::Spot;
  long long read = 0, rows = 0, gaps = 0, naive = 0, skipped_times = 0, repeated_times = 0;
  long long skipped[kReasons] = {};
  std::vector<std::string> bad_rows;
  bool started = false, have_previous = false, have_pending = false, have_last = false;
  bool have_ready = false;
  Row previous{}, pending{}, ready{};  // ready: a row in place, after the held rows before it
  std::vector<Row> held;  // rows out of place, waiting for their place; in time order
  std::int64_t last = 0;  // UTC seconds of the last row read, for the zone's rule
  std::int64_t zone_cached_day = 0;
  bool zone_have_day = false;
  std::int64_t zone_change = 0, zone_before = 0, zone_after = 0;

  ~Core() {
    Py_XDECREF(zone_day);
    Py_XDECREF(layout_obj);
  }
  // Places a local time in UTC by the zone's rule; false with an exception set.
  bool place(Parsed& t);
  // The row of its values once they pass the checks between them; `t` is placed already.
  Result checked(const Parsed& t, Row& row);
  void note(Reason reason, long long line, const std::string& why);
};

// Sets the layout and the pair of a new feed; false with an exception set.
bool init_core(Core& core, PyObject* pair_obj, PyObject* layout);

inline bool before(const Row& a, const Row& b) noexcept {
  return unix_nanos(a.open_time) < unix_nanos(b.open_time);
}

// A row out of place (later than the row after it) is held back and comes out in its place
// when it is at most this many intervals after the candle before it and fewer are held:
// rows shuffled within a few hours. Further out (a mistyped year) it is skipped.
inline constexpr std::size_t kHeld = 32;

// The next candle of a feed whose next_good_row(Row&, bool& error) yields its readable rows.
template <class State>
PyObject* next_candle(State& st) noexcept {
  try {
    Core& core = st;
    for (;;) {
      bool error = false;
      if (!core.started) {
        core.started = true;
        core.have_pending = st.next_good_row(core.pending, error);
        if (error) return nullptr;
      }
      Row row;
      if (core.have_ready) {
        // Held rows at or before the row about to come out go first, in their place.
        if (!core.held.empty() && !before(core.ready, core.held.front())) {
          row = core.held.front();
          core.held.erase(core.held.begin());
        } else {
          row = core.ready;
          core.have_ready = false;
          if (core.have_previous && !before(core.previous, row)) {
            core.note(kRepeated, row.line, "the time of the row before");
            continue;
          }
        }
      } else if (!core.have_pending) {
        if (core.held.empty()) return nullptr;
        row = core.held.front();
        core.held.erase(core.held.begin());
      } else {
        row = core.pending;
        core.have_pending = st.next_good_row(core.pending, error);
        if (error) return nullptr;
        if (core.have_previous && !before(core.previous, row)) {
          const bool repeated = core.previous.open_time == row.open_time;
          core.note(repeated ? kRepeated : kOutOfOrder, row.line,
                    repeated ? "the time of the row before" : "earlier than the row before");
          continue;
        }
        if (core.have_pending && before(core.pending, row) &&
            (!core.have_previous || before(core.previous, core.pending))) {
          const __int128 ahead = static_cast<__int128>(unix_seconds(row.open_time)) -
                                 unix_seconds(core.previous.open_time);
          if (core.have_previous && core.held.size() < kHeld &&
              ahead <= static_cast<__int128>(kHeld) * core.layout.interval) {
            auto at = core.held.begin();
            while (at != core.held.end() && before(*at, row)) ++at;
            if (at != core.held.end() && !before(row, *at))
              core.note(kRepeated, row.line, "the time of the row before");
            else
              core.held.insert(at, row);
          } else {
            core.note(kOutOfOrder, row.line, "later than the row after");
          }
          continue;
        }
        if (!core.held.empty()) {  // held rows before it go first
          core.ready = row;
          core.have_ready = true;
          continue;
        }
      }
      if (core.have_previous) {
        // A gap: at least two intervals after the row before (nights, weekends, missing bars).
        const __int128 step = unix_nanos(row.open_time) - unix_nanos(core.previous.open_time);
        if (step >= static_cast<__int128>(2 * core.layout.interval) * kNanosPerSecond) ++core.gaps;
      }
      core.previous = row;
      core.have_previous = true;
      ++core.rows;
      return tavex::make_candle(core.kind, core.code, core.layout.interval_member, row.open_time,
                                row.close_time, row.open, row.high, row.low, row.close,
                                row.volume, row.amount, row.trades);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The getters both feeds have: counts, reasons, bad rows, layout.
PyObject* core_reasons(const Core& core);
PyObject* core_bad_rows(const Core& core);

template <class State, long long Core::*Field>
PyObject* get_core_count(PyObject* self, void*) noexcept {
  const Core& core = *State::of(self);
  return PyLong_FromLongLong(core.*Field);
}
template <class State>
PyObject* get_skipped(PyObject* self, void*) noexcept {
  long long total = 0;
  for (long long n : State::of(self)->skipped) total += n;
  return PyLong_FromLongLong(total);
}
template <class State>
PyObject* get_reasons(PyObject* self, void*) noexcept {
  return core_reasons(*State::of(self));
}
template <class State>
PyObject* get_bad_rows(PyObject* self, void*) noexcept {
  return core_bad_rows(*State::of(self));
}
template <class State>
PyObject* get_layout(PyObject* self, void*) noexcept {
  PyObject* layout = State::of(self)->layout_obj;
  Py_INCREF(layout);
  return layout;
}
template <class State>
PyObject* get_newest_first(PyObject* self, void*) noexcept {
  return PyBool_FromLong(State::of(self)->layout.newest_first);
}
template <class State>
PyObject* get_path(PyObject* self, void*) noexcept {
  const std::string& path = State::of(self)->layout.source;
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// The getters of Core, for a feed's PyGetSetDef table.
#define BACKTEST_CORE_GETSET(State)                                                           \
  {"path", get_path<State>, nullptr, "the input, as messages name it", nullptr},              \
      {"read", get_core_count<State, &Core::read>, nullptr, "data lines read so far", nullptr}, \
      {"rows", get_core_count<State, &Core::rows>, nullptr, "candles yielded so far", nullptr}, \
      {"gaps", get_core_count<State, &Core::gaps>, nullptr,                                   \
       "candles opening two intervals or more after the one before", nullptr},               \
      {"naive", get_core_count<State, &Core::naive>, nullptr,                                 \
       "rows read whose time had no offset", nullptr},                                        \
      {"skipped_times", get_core_count<State, &Core::skipped_times>, nullptr,                 \
       "local times the clock skipped, moved forward", nullptr},                              \
      {"repeated_times", get_core_count<State, &Core::repeated_times>, nullptr,               \
       "local times the clock showed twice", nullptr},                                        \
      {"skipped", get_skipped<State>, nullptr, "data lines skipped so far", nullptr},         \
      {"reasons", get_reasons<State>, nullptr, "skipped lines by reason", nullptr},           \
      {"bad_rows", get_bad_rows<State>, nullptr,                                              \
       "the first skipped lines of each reason, as 'file:line: skipped (reason): why'",       \
       nullptr},                                                                              \
      {"layout", get_layout<State>, nullptr, "the Layout read by", nullptr},                 \
      {"newest_first", get_newest_first<State>, nullptr,                                      \
       "whether the input runs newest row first", nullptr}

}  // namespace backtest
