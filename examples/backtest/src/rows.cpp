// The rules of a row that both native feeds share; see rows.hpp.
#include "rows.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace backtest {
namespace {

// Seconds of the years 1678..2261: tavex's nanosecond time stamps (truncate_to_day) hold them.
constexpr std::int64_t kFirstS = tavex::days_from_civil(1678, 1, 1) * 86'400;
constexpr std::int64_t kEndS = tavex::days_from_civil(2262, 1, 1) * 86'400;
constexpr const char* kMonths[] = {"january", "february", "march",     "april",
                                   "may",     "june",     "july",      "august",
                                   "september", "october", "november", "december"};

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

std::string quoted(const char* column, const char* what) {
  return std::string("'") + column + "' " + what;
}
Result unreadable(std::string why) { return Verdict{kUnreadable, std::move(why)}; }
Result bad_value(std::string why) { return Verdict{kBadValue, std::move(why)}; }

unsigned digits_value(std::string_view s) noexcept {
  unsigned v = 0;
  for (char c : s) v = v * 10 + static_cast<unsigned>(c - '0');
  return v;
}

std::uint32_t nanos_of(std::string_view fraction) noexcept {
  if (fraction.size() > 9) fraction = fraction.substr(0, 9);
  std::uint32_t v = 0;
  for (char c : fraction) v = v * 10 + static_cast<std::uint32_t>(c - '0');
  for (std::size_t k = fraction.size(); k < 9; ++k) v *= 10;
  return v;
}

// Seconds since 1970 of calendar fields; a leap second or no such date is the row's reason.
Result civil(std::int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
             const char* column, std::int64_t& out) {
  if (s == 60) return bad_value(quoted(column, "is a leap second"));
  if (mo < 1 || mo > 12 || d < 1 || d > tavex::days_in_month(y, mo) || h > 23 || mi > 59 ||
      s > 59)
    return bad_value(quoted(column, "is out of range"));
  out = tavex::days_from_civil(y, mo, d) * 86'400 + h * 3600 + mi * 60 + s;
  return std::nullopt;
}

// Two digits at s[i]; false when they are not.
bool two(std::string_view s, std::size_t i) noexcept {
  return i + 2 <= s.size() && is_digit(s[i]) && is_digit(s[i + 1]);
}

template <class T>
bool attr(PyObject* obj, const char* name, T& out) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value) return false;
  if constexpr (std::is_same_v<T, bool>) {
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return false;
    out = truth != 0;
  } else if constexpr (std::is_same_v<T, std::string>) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), &n);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(n));
  } else {
    const long long v = PyLong_AsLongLong(value.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = static_cast<T>(v);
  }
  return true;
}

}  // namespace

bool read_layout(PyObject* layout, LayoutSpec& out) {
  std::string kind, separator, form, zone;
  long long fields = 0, interval = 0;
  Ref member(PyObject_GetAttrString(layout, "interval"));
  if (!member) return false;
  if (!tavex::read_enum(member.get(), out.interval_member)) return false;
  if (!attr(layout, "kind", kind) || !attr(layout, "separator", separator) ||
      !attr(layout, "wrapped", out.wrapped) || !attr(layout, "skip_lines", out.skip_lines) ||
      !attr(layout, "fields", fields) || !attr(layout, "time", out.time) ||
      !attr(layout, "time2", out.time2) || !attr(layout, "open", out.open) ||
      !attr(layout, "high", out.high) || !attr(layout, "low", out.low) ||
      !attr(layout, "close", out.close) || !attr(layout, "volume", out.volume) ||
      !attr(layout, "close_time", out.close_time) ||
      !attr(layout, "quote_volume", out.quote_volume) || !attr(layout, "trades", out.trades) ||
      !attr(layout, "time_form", form) || !attr(layout, "time_format", out.format) ||
      !attr(layout, "time_unit", out.unit) || !attr(layout, "zone", zone) ||
      !attr(layout, "interval_seconds", interval) ||
      !attr(layout, "newest_first", out.newest_first) || !attr(layout, "source", out.source))
    return false;
  out.kind = kind == "kline" ? Kind::Kline : kind == "headerless" ? Kind::Headerless : Kind::Header;
  out.separator = separator.empty() ? ',' : separator[0];
  out.fields = static_cast<std::size_t>(fields);
  out.form = form == "epoch"    ? Form::Epoch
             : form == "format" ? Form::Format
             : form == "timestamp" ? Form::Timestamp
                                   : Form::Iso;
  out.utc = zone == "UTC";
  out.interval = interval;
  // A Layout made by hand is held to what detect() guarantees: the feeds index rows with it.
  const int columns[] = {out.time,   out.time2,      out.open,         out.high,
                         out.low,    out.close,      out.volume,       out.close_time,
                         out.quote_volume, out.trades};
  bool fits = out.time >= 0 && out.open >= 0 && out.high >= 0 && out.low >= 0 &&
              out.close >= 0 && out.fields >= 1 && out.skip_lines >= 0 &&
              (interval == 60 || interval == 300 || interval == 900 || interval == 3600 ||
               interval == 86'400);
  for (int k : columns) fits = fits && k >= -1 && k < static_cast<long long>(out.fields);
  if (!fits) {
    PyErr_SetString(PyExc_ValueError,
                    "the layout's columns, fields or interval do not fit together");
    return false;
  }
  return true;
}

// YYYY-MM-DD, then optionally [Tt ]HH:MM[:SS[.fraction]][Z|z|(+|-)HH[[:]MM]].
Result read_iso(std::string_view s, const char* column, Parsed& out) {
  // RFC 3339 with an offset, the most common form, through tavex's own parser; anything else,
  // and any failure (for its reason), through the rules below, which read it to the same value.
  // A leap second is left to the rules below, which name it as the row's reason.
  const tavex::rfc3339::Scan<tavex::DateTime> fast = tavex::rfc3339::scan(s);
  if (fast.ok() && fast.value.nanos < kNanosPerSecond) {
    out = Parsed{fast.value, true};
    return std::nullopt;
  }
  const std::size_t n = s.size();
  auto fail = [&] { return unreadable(quoted(column, "is not an ISO 8601 date or date-time")); };
  if (n < 10 || !two(s, 0) || !two(s, 2) || s[4] != '-' || !two(s, 5) || s[7] != '-' ||
      !two(s, 8))
    return fail();
  unsigned h = 0, mi = 0, sec = 0;
  std::uint32_t nanos = 0;
  std::size_t i = 10;
  bool have_zone = false, utc_letter = false;
  int sign = 0;
  unsigned oh = 0, om = 0;
  if (i < n) {
    if (!(s[i] == 'T' || s[i] == 't' || s[i] == ' ') || !two(s, i + 1) || i + 3 >= n ||
        s[i + 3] != ':' || !two(s, i + 4))
      return fail();
    h = digits_value(s.substr(i + 1, 2));
    mi = digits_value(s.substr(i + 4, 2));
    i += 6;
    if (i < n && s[i] == ':') {
      if (!two(s, i + 1)) return fail();
      sec = digits_value(s.substr(i + 1, 2));
      i += 3;
      if (i < n && s[i] == '.') {
        const std::size_t from = ++i;
        while (i < n && is_digit(s[i])) ++i;
        if (i == from) return fail();
        nanos = nanos_of(s.substr(from, i - from));
      }
    }
    if (i < n && (s[i] == 'Z' || s[i] == 'z')) {
      have_zone = utc_letter = true;
      ++i;
    } else if (i < n && (s[i] == '+' || s[i] == '-' || s.substr(i, 3) == "\xE2\x88\x92")) {
      // U+2212 MINUS SIGN is ISO 8601's own minus; tavex.str_to_date reads it too.
      const std::size_t width = s[i] == '+' || s[i] == '-' ? 1 : 3;
      sign = s[i] == '+' ? 1 : -1;
      if (!two(s, i + width)) return fail();
      oh = digits_value(s.substr(i + width, 2));
      i += width + 2;
      if (i < n && s[i] == ':' && two(s, i + 1)) {
        om = digits_value(s.substr(i + 1, 2));
        i += 3;
      } else if (two(s, i)) {
        om = digits_value(s.substr(i, 2));
        i += 2;
      }
      have_zone = true;
    }
    if (i != n) return fail();
  }
  std::int64_t seconds = 0;
  if (Result r = civil(digits_value(s.substr(0, 4)), digits_value(s.substr(5, 2)),
                       digits_value(s.substr(8, 2)), h, mi, sec, column, seconds))
    return r;
  if (sign != 0) {
    if (oh > 23 || om > 59) return bad_value(quoted(column, "is out of range"));
    seconds -= sign * static_cast<std::int64_t>(oh * 3600 + om * 60);
  }
  (void)utc_letter;
  out = Parsed{tavex::DateTime::from_unix(seconds, nanos), have_zone};
  return std::nullopt;
}

// -digits[.digits], in `unit` nanoseconds, or by its magnitude: below 1e11 seconds, below 1e14
// milliseconds, below 1e17 microseconds, else nanoseconds.
Result read_epoch(std::string_view s, const char* column, std::int64_t unit, Parsed& out) {
  std::size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  i += negative;
  const std::size_t from = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  const std::string_view whole_text = s.substr(from, i - from);
  std::string_view fraction;
  if (i < s.size() && s[i] == '.') {
    const std::size_t f = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    fraction = s.substr(f, i - f);
    if (fraction.empty()) i = s.size() + 1;  // a point needs digits after it
  }
  if (whole_text.empty() || i != s.size()) return unreadable(quoted(column, "is not a number"));
  if (whole_text.size() > 19) return bad_value(quoted(column, "is out of range"));
  std::uint64_t whole = 0;
  for (char c : whole_text) whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
  const std::int64_t scale = unit ? unit
                             : whole < 100'000'000'000ULL ? kNanosPerSecond
                             : whole < 100'000'000'000'000ULL ? 1'000'000
                             : whole < 100'000'000'000'000'000ULL ? 1'000
                                                                 : 1;
  __int128 ns = static_cast<__int128>(whole) * scale;
  if (!fraction.empty()) {  // digits below a nanosecond are dropped
    int digits = 0;
    for (std::int64_t k = scale; k > 1; k /= 10) ++digits;
    const std::string_view part = fraction.substr(0, static_cast<std::size_t>(digits));
    __int128 v = 0;
    for (char c : part) v = v * 10 + (c - '0');
    for (std::size_t k = part.size(); k < static_cast<std::size_t>(digits); ++k) v *= 10;
    ns += v;
  }
  if (negative) ns = -ns;
  __int128 sec = ns / kNanosPerSecond, rem = ns % kNanosPerSecond;
  if (rem < 0) rem += kNanosPerSecond, sec -= 1;
  // Far out of range stays out of range: the row's checks refuse it.
  const __int128 limit = static_cast<__int128>(1) << 62;
  out = Parsed{tavex::DateTime::from_unix(
                   static_cast<std::int64_t>(sec > limit ? limit : sec < -limit ? -limit : sec),
                   static_cast<std::uint32_t>(rem)),
               true};
  return std::nullopt;
}

// strptime's directives, read greedily: the rules of tavex_backtest.layout.TimeFormat.
Result read_format(std::string_view s, std::string_view fmt, const char* column, Parsed& out) {
  std::int64_t year = 1970;
  unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
  std::uint32_t nanos = 0;
  bool have_offset = false, twelve = false, pm = false;
  std::int64_t offset = 0;
  std::size_t i = 0, k = 0;
  const std::size_t n = s.size();
  auto fail = [&] {
    return unreadable(quoted(column, "does not match ") + std::string(fmt));
  };
  while (k < fmt.size()) {
    const char c = fmt[k];
    if (c != '%') {
      if (i >= n || s[i] != c) return fail();
      ++i, ++k;
      continue;
    }
    if (k + 1 >= fmt.size()) return fail();
    const char d = fmt[k + 1];
    k += 2;
    switch (d) {
      case '%':
        if (i >= n || s[i] != '%') return fail();
        ++i;
        break;
      case 'Y':
      case 'y': {
        const std::size_t width = d == 'Y' ? 4 : 2;
        if (i + width > n) return fail();
        for (std::size_t j = 0; j < width; ++j)
          if (!is_digit(s[i + j])) return fail();
        const unsigned v = digits_value(s.substr(i, width));
        i += width;
        year = d == 'Y' ? v : v + (v >= 69 ? 1900 : 2000);
        break;
      }
      case 'm':
      case 'd':
      case 'H':
      case 'I':
      case 'M':
      case 'S': {
        if (i >= n || !is_digit(s[i])) return fail();
        const std::size_t width = i + 1 < n && is_digit(s[i + 1]) ? 2 : 1;
        const unsigned v = digits_value(s.substr(i, width));
        i += width;
        if (d == 'm') month = v;
        else if (d == 'd') day = v;
        else if (d == 'M') minute = v;
        else if (d == 'S') second = v;
        else hour = v, twelve = twelve || d == 'I';
        break;
      }
      case 'f': {
        const std::size_t from = i;
        while (i < n && is_digit(s[i])) ++i;
        if (i == from) return fail();
        nanos = nanos_of(s.substr(from, i - from));
        break;
      }
      case 'b':
      case 'B': {
        unsigned found = 0;
        for (unsigned m = 0; m < 12 && !found; ++m) {
          const std::string_view name = kMonths[m];
          if (i + name.size() > n) continue;
          bool same = true;
          for (std::size_t j = 0; j < name.size(); ++j) same = same && lower(s[i + j]) == name[j];
          if (same) found = m + 1, i += name.size();
        }
        for (unsigned m = 0; m < 12 && !found; ++m) {
          if (i + 3 > n) break;
          if (lower(s[i]) == kMonths[m][0] && lower(s[i + 1]) == kMonths[m][1] &&
              lower(s[i + 2]) == kMonths[m][2])
            found = m + 1, i += 3;
        }
        if (!found) return fail();
        month = found;
        break;
      }
      case 'p': {
        if (i + 2 > n) return fail();
        const char a = lower(s[i]), b = lower(s[i + 1]);
        if (!((a == 'a' || a == 'p') && b == 'm')) return fail();
        pm = a == 'p';
        i += 2;
        break;
      }
      case 'z': {
        if (i < n && (s[i] == 'Z' || s[i] == 'z')) {
          have_offset = true, offset = 0, ++i;
          break;
        }
        if (i >= n || (s[i] != '+' && s[i] != '-') || !two(s, i + 1)) return fail();
        const int sign = s[i] == '-' ? -1 : 1;
        const unsigned oh = digits_value(s.substr(i + 1, 2));
        unsigned om = 0;
        i += 3;
        if (i < n && s[i] == ':' && two(s, i + 1)) om = digits_value(s.substr(i + 1, 2)), i += 3;
        else if (two(s, i)) om = digits_value(s.substr(i, 2)), i += 2;
        if (oh > 23 || om > 59) return bad_value(quoted(column, "is out of range"));
        have_offset = true;
        offset = sign * static_cast<std::int64_t>(oh * 3600 + om * 60);
        break;
      }
      default:
        return fail();
    }
  }
  if (i != n) return fail();
  if (twelve) {
    if (hour < 1 || hour > 12) return bad_value(quoted(column, "is out of range"));
    hour = hour % 12 + (pm ? 12 : 0);
  }
  std::int64_t seconds = 0;
  if (Result r = civil(year, month, day, hour, minute, second, column, seconds)) return r;
  out = Parsed{tavex::DateTime::from_unix(have_offset ? seconds - offset : seconds, nanos),
               have_offset};
  return std::nullopt;
}

namespace {

// [+-]digits[.digits][(e|E)[+-]digits], with digits on at least one side of the point.
bool is_number(std::string_view s) noexcept {
  std::size_t i = 0, n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && is_digit(s[i])) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t first = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i == first) return false;
  }
  return i == n;
}

// The value of a text is_number() accepts, correctly rounded (infinite past the doubles).
double number_value(std::string_view s) {
  if (s.front() == '+') s.remove_prefix(1);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc() && end == s.data() + s.size()) return value;
  const std::string text(s);  // out of range: strtod rounds to infinity or towards zero
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace

Result read_number(std::string_view s, bool stray, const char* column, double& out) {
  if (stray) return unreadable(quoted(column, "has a stray double quote"));
  if (!is_number(s)) return unreadable(quoted(column, "is not a number"));
  out = number_value(s);
  if (!std::isfinite(out)) return bad_value(quoted(column, "is not finite"));
  return std::nullopt;
}

bool Core::place(Parsed& t) {
  if (t.absolute) return true;
  ++naive;
  if (layout.utc) return true;
  const std::int64_t local = unix_seconds(t.time);
  const std::int64_t day = t.time.days_since_1970;
  if (!zone_have_day || day != zone_cached_day) {
    Ref rule(PyObject_CallFunction(zone_day, "L", static_cast<long long>(day)));
    long long values[3] = {};
    if (!rule || !PyTuple_Check(rule.get()) || PyTuple_GET_SIZE(rule.get()) != 3) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "zone_day: expected 3 numbers");
      return false;
    }
    for (int k = 0; k < 3; ++k) {
      values[k] = PyLong_AsLongLong(PyTuple_GET_ITEM(rule.get(), k));
      if (values[k] == -1 && PyErr_Occurred()) return false;
    }
    zone_have_day = true;
    zone_cached_day = day;
    zone_change = values[0], zone_before = values[1], zone_after = values[2];
  }
  // Skipped by the clock: the offset before the change, which moves it forward; shown twice:
  // the first showing, unless the row before is already at or past it.
  const std::int64_t first = local - zone_before;
  std::int64_t placed = first;
  if (zone_before == zone_after) {
    t.time = tavex::DateTime::from_unix(placed, t.time.nanos);
    return true;
  }
  const std::int64_t second = local - zone_after;
  if (first < zone_change && second >= zone_change) {
    ++repeated_times;
    placed = have_last && last >= first ? second : first;
  } else if (first < zone_change) {
    placed = first;
  } else if (second >= zone_change) {
    placed = second;
  } else {
    ++skipped_times;
    placed = first;
  }
  t.time = tavex::DateTime::from_unix(placed, t.time.nanos);
  return true;
}

Result Core::checked(const Parsed& t, Row& row) {
  const std::int64_t step = layout.interval;
  const std::int64_t seconds = unix_seconds(t.time);
  if (seconds < kFirstS || seconds + step >= kEndS)
    return bad_value(quoted(layout.time_column(), "is out of range"));
  const double prices[] = {row.open, row.high, row.low, row.close};
  constexpr const char* kPriceNames[] = {"open", "high", "low", "close"};
  for (int k = 0; k < 4; ++k)
    if (!(prices[k] > 0.0)) return bad_value(quoted(kPriceNames[k], "is not positive"));
  if (row.volume < 0.0) return bad_value("'volume' is negative");
  if (row.has_amount && row.amount < 0.0) return bad_value("'quote volume' is negative");
  if (row.high < row.low) return bad_value("'high' is below 'low'");
  if (row.open < row.low || row.open > row.high) return bad_value("'open' is outside low..high");
  if (row.close < row.low || row.close > row.high)
    return bad_value("'close' is outside low..high");
  row.open_time = t.time;
  if (layout.kind == Kind::Kline && row.has_close) {
    const std::int64_t close_s = unix_seconds(row.close_time);
    if (close_s < kFirstS || close_s >= kEndS) return bad_value("'close time' is out of range");
    const __int128 span = unix_nanos(row.close_time) - unix_nanos(t.time);
    if (span < static_cast<__int128>(step - 1) * kNanosPerSecond || span > static_cast<__int128>(step) * kNanosPerSecond) {
      const char* words = step == 60     ? "a minute"
                          : step == 300  ? "5 minutes"
                          : step == 900  ? "15 minutes"
                          : step == 3600 ? "an hour"
                                         : "a day";
      return bad_value(std::string("'close time' is not ") + words + " after 'open time'");
    }
  } else {
    row.has_close = false;
    row.close_time = tavex::DateTime::from_unix(seconds + step, t.time.nanos);
  }
  if (!row.has_amount) row.amount = row.volume * row.close;
  last = seconds;
  have_last = true;
  return std::nullopt;
}

void Core::note(Reason reason, long long line, const std::string& why) {
  if (skipped[reason]++ < static_cast<long long>(kShownPerReason))
    bad_rows.push_back(layout.source + ':' + std::to_string(line) + ": skipped (" +
                       kReasonNames[reason] + "): " + why);
}

bool init_core(Core& core, PyObject* pair_obj, PyObject* layout) {
  const tavex::Pair* pair = tavex::as_pair(pair_obj);
  if (!pair) return false;
  core.code = pair->code();
  core.kind = pair->kind();
  if (!read_layout(layout, core.layout)) return false;
  Py_INCREF(layout);
  core.layout_obj = layout;
  if (!core.layout.utc && !(core.zone_day = PyObject_GetAttrString(layout, "zone_day")))
    return false;
  return true;
}

PyObject* core_reasons(const Core& core) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (int k = 0; k < kReasons; ++k) {
    if (!core.skipped[k]) continue;
    Ref count(PyLong_FromLongLong(core.skipped[k]));
    if (!count || PyDict_SetItemString(dict.get(), kReasonNames[k], count.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

PyObject* core_bad_rows(const Core& core) {
  const auto& rows = core.bad_rows;
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(rows[k].data(),
                                                      static_cast<Py_ssize_t>(rows[k].size()));
    if (!text) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), text);
  }
  return list.release();
}

}  // namespace backtest
