// CsvFeed: one-minute candles from a CSV file, as tavex.Candle records.
//
// Two layouts, told apart by the first line: the header `time,open,high,low,close,volume`
// (RFC 3339 times with a UTC offset), or exchange kline rows without a header (open time in
// epoch milliseconds, open, high, low, close, volume, close time, quote volume, trades, ...).
// The file is mapped (a pipe is read into memory) and walked oldest row first, from the end
// when it is written newest first. Every data line is accounted for: a candle, or skipped
// for a reason (unreadable, bad value, out of order, repeated) and reported with its line
// number. The pure-Python feed of the package follows the same rules, reason for reason.
#include "common.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace backtest {
namespace {

constexpr std::size_t kMaxLine = 4096;    // longer lines are refused unread
constexpr std::size_t kShownPerReason = 5;  // the rest are only counted
constexpr int kOrderSample = 32;          // rows looked at to find the file's time order
constexpr long long kOrderScanLines = 1000;

// The kinds of skipped rows, in the order they are reported.
enum Reason { kUnreadable, kBadValue, kOutOfOrder, kRepeated, kReasons };
constexpr const char* kReasonNames[kReasons] = {"unreadable", "bad value", "out of order",
                                                "repeated"};

enum class Layout { Csv, Kline };
constexpr const char* kCsvColumns[] = {"time", "open", "high", "low", "close", "volume"};
constexpr const char* kKlineColumns[] = {"open time", "open",       "high",
                                         "low",       "close",      "volume",
                                         "close time", "quote volume", "trades"};
constexpr std::size_t kKlineFields = 9;  // read; any further columns are ignored

// Milliseconds of the years 1678..2261: tavex's nanosecond time stamps (truncate_to_day)
// hold them, cut to whole years.
constexpr std::int64_t kFirstMs = tavex::days_from_civil(1678, 1, 1) * 86'400'000;
constexpr std::int64_t kLastMs = tavex::days_from_civil(2262, 1, 1) * 86'400'000 - 1;

struct Row {
  std::int64_t seconds;  // opening time
  std::uint32_t nanos;
  tavex::DateTime close_time;
  double open, high, low, close, volume, amount;
  std::int64_t trades;
  long long line;
};

bool before(const Row& a, const Row& b) noexcept {
  return a.seconds < b.seconds || (a.seconds == b.seconds && a.nanos < b.nanos);
}
bool same_time(const Row& a, const Row& b) noexcept {
  return a.seconds == b.seconds && a.nanos == b.nanos;
}

struct FeedState {
  const char* data = nullptr;  // the file's bytes: mapped, or `buffer`
  std::size_t mapped = 0;
  std::string buffer;
  const char *body = nullptr, *end = nullptr;  // the data lines
  std::string path;  // as given, for the messages
  std::string code;
  tavex::TradeKind kind = tavex::TradeKind::Spot;
  Layout layout = Layout::Csv;
  bool newest_first = false, finished = false;
  const char* cursor = nullptr;  // forward: next line's start; backward: last line's end
  long long line_no = 0;         // of the line read last
  long long read = 0, rows = 0, size = 0;
  long long skipped[kReasons] = {};
  std::vector<std::string> bad_rows;
  bool have_previous = false, have_pending = false;
  Row previous{}, pending{};

  ~FeedState() {
    if (mapped) munmap(const_cast<char*>(data), mapped);
  }
};

struct FeedObject {
  PyObject_HEAD
  FeedState* state;
};

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view strip(std::string_view s) noexcept {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// A field without its surrounding blanks and double quotes; false for a stray quote.
bool unquote(std::string_view& s) noexcept {
  s = strip(s);
  if (!s.empty() && s.front() == '"') {
    if (s.size() < 2 || s.back() != '"') return false;
    s = s.substr(1, s.size() - 2);
    if (s.find('"') != std::string_view::npos) return false;
    s = strip(s);
    return true;
  }
  return s.find('"') == std::string_view::npos;
}

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

// Digits with an optional leading '-'; false when they do not fit 64 bits.
bool whole_number(std::string_view s, std::int64_t& out, bool& fits) noexcept {
  const bool negative = !s.empty() && s.front() == '-';
  const std::string_view digits = negative ? s.substr(1) : s;
  if (digits.empty()) return false;
  for (char c : digits)
    if (!is_digit(c)) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  fits = ec == std::errc() && end == s.data() + s.size();
  return true;
}

struct Verdict {
  Reason reason;
  std::string why;
};
using Result = std::optional<Verdict>;  // nothing: the row is good

Result unreadable(std::string why) { return Verdict{kUnreadable, std::move(why)}; }
Result bad_value(std::string why) { return Verdict{kBadValue, std::move(why)}; }
std::string quoted(const char* column, const char* what) {
  return std::string("'") + column + "' " + what;
}

// The opening time of a bar: the one call that parses a time.
Result read_time(std::string_view text, Row& row) {
  UnixTime t{};
  if (const char* why = parse_time(text, t)) {
    // The parser's texts tell a value out of range from a text of another form.
    if (std::strcmp(why, "the time is a leap second") == 0)
      return bad_value("'time' is a leap second");
    if (std::strcmp(why, "the time is out of range") == 0)
      return bad_value("'time' is out of range");
    return unreadable("'time' is not RFC 3339 with a UTC offset");
  }
  // The bar's close, a minute later, must be in range too.
  if (t.seconds < kFirstMs / 1000 || t.seconds > (kLastMs + 1) / 1000 - 61)
    return bad_value("'time' is out of range");
  row.seconds = t.seconds;
  row.nanos = t.nanos;
  row.close_time = tavex::DateTime::from_unix(t.seconds + 60, t.nanos);
  return std::nullopt;
}

Result read_ms(std::string_view text, const char* column, std::int64_t& ms) {
  bool fits = false;
  if (!whole_number(text, ms, fits)) return unreadable(quoted(column, "is not a whole number"));
  if (!fits || ms < kFirstMs || ms > kLastMs) return bad_value(quoted(column, "is out of range"));
  return std::nullopt;
}

// Reads one data line; nothing when it makes a candle. Checks run in a fixed order (the
// pure-Python feed keeps it): the line, then each field in column order, then the values.
Result read_row(std::string_view line, Layout layout, Row& row) {
  if (line.size() > kMaxLine)
    return unreadable("the line is longer than " + std::to_string(kMaxLine) + " bytes");
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte > 0x7E) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", byte);
      return unreadable(std::string("the row has a byte that is not printable ASCII (") + hex +
                        ")");
    }
  }
  if (strip(line).empty()) return unreadable("the line is empty");
  std::array<std::string_view, kKlineFields> fields{};
  std::size_t count = 0, start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    if (count < fields.size()) fields[count] = line.substr(start, comma - start);
    ++count;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  const bool kline = layout == Layout::Kline;
  if (!kline && count != 6) return unreadable("expected 6 fields, got " + std::to_string(count));
  if (kline && count < kKlineFields)
    return unreadable("expected at least 9 fields, got " + std::to_string(count));
  const char* const* columns = kline ? kKlineColumns : kCsvColumns;
  const std::size_t used = kline ? kKlineFields : 6;
  double* numbers[] = {nullptr,     &row.open, &row.high, &row.low,
                       &row.close,  &row.volume, nullptr, &row.amount};  // by column
  std::int64_t open_ms = 0, close_ms = 0;
  for (std::size_t k = 0; k < used; ++k) {
    std::string_view field = fields[k];
    if (!unquote(field)) return unreadable(quoted(columns[k], "has a stray double quote"));
    Result fault;
    if (k == 0) {
      fault = kline ? read_ms(field, columns[k], open_ms) : read_time(field, row);
    } else if (k == 6) {
      fault = read_ms(field, columns[k], close_ms);
    } else if (k == 8) {
      bool fits = false;
      if (field.empty() || field.front() == '-' || !whole_number(field, row.trades, fits))
        fault = unreadable(quoted(columns[k], "is not a whole number"));
      else if (!fits)
        fault = bad_value(quoted(columns[k], "is out of range"));
    } else {
      if (!is_number(field)) return unreadable(quoted(columns[k], "is not a number"));
      double& value = *numbers[k];
      value = number_value(field);
      if (!std::isfinite(value)) fault = bad_value(quoted(columns[k], "is not finite"));
    }
    if (fault) return fault;
  }
  const double prices[] = {row.open, row.high, row.low, row.close};
  for (int k = 0; k < 4; ++k)
    if (!(prices[k] > 0.0)) return bad_value(quoted(columns[k + 1], "is not positive"));
  if (row.volume < 0.0) return bad_value("'volume' is negative");
  if (kline && row.amount < 0.0) return bad_value("'quote volume' is negative");
  if (row.high < row.low) return bad_value("'high' is below 'low'");
  if (row.open < row.low || row.open > row.high) return bad_value("'open' is outside low..high");
  if (row.close < row.low || row.close > row.high)
    return bad_value("'close' is outside low..high");
  if (kline) {
    // 59,999 ms for most exchanges, 60,000 for some; seconds or microseconds fall outside.
    if (close_ms - open_ms < 59'000 || close_ms - open_ms > 60'000)
      return bad_value("'close time' is not a minute after 'open time'");
    const tavex::DateTime opened = tavex::DateTime::from_unix_ms(open_ms);
    row.seconds = opened.days_since_1970 * 86'400 + opened.seconds_of_day;
    row.nanos = opened.nanos;
    row.close_time = tavex::DateTime::from_unix_ms(close_ms);
  } else {
    row.amount = row.volume * row.close;
    row.trades = 0;
  }
  return std::nullopt;
}

// The next line in the order of reading, without its line end; false after the last.
bool next_line(FeedState& st, std::string_view& out) noexcept {
  if (st.finished) return false;
  const char* start;
  const char* stop;
  if (!st.newest_first) {
    if (st.cursor >= st.end) return st.finished = true, false;
    start = st.cursor;
    const void* nl = std::memchr(start, '\n', static_cast<std::size_t>(st.end - start));
    stop = nl ? static_cast<const char*>(nl) : st.end;
    st.cursor = nl ? stop + 1 : st.end;
    ++st.line_no;
  } else {
    stop = st.cursor;
    const void* nl = memrchr(st.body, '\n', static_cast<std::size_t>(stop - st.body));
    start = nl ? static_cast<const char*>(nl) + 1 : st.body;
    if (start == st.body) st.finished = true;
    else st.cursor = start - 1;
    --st.line_no;
  }
  if (stop > start && stop[-1] == '\r') --stop;
  out = std::string_view(start, static_cast<std::size_t>(stop - start));
  return true;
}

void note(FeedState& st, Reason reason, long long line, const std::string& why) {
  if (st.skipped[reason]++ < static_cast<long long>(kShownPerReason))
    st.bad_rows.push_back(st.path + ':' + std::to_string(line) + ": skipped (" +
                          kReasonNames[reason] + "): " + why);
}

// The next row that makes a candle on its own, noting the others; false at the end.
bool next_good_row(FeedState& st, Row& row) {
  std::string_view text;
  while (next_line(st, text)) {
    ++st.read;
    const Result fault = read_row(text, st.layout, row);
    row.line = st.line_no;
    if (!fault) return true;
    note(st, fault->reason, st.line_no, fault->why);
  }
  return false;
}

PyObject* make_candle(const FeedState& st, const Row& row) noexcept {
  return tavex::make_candle(st.kind, st.code, tavex::CandleInterval::Min1,
                            tavex::DateTime::from_unix(row.seconds, row.nanos), row.close_time,
                            row.open, row.high, row.low, row.close, row.volume, row.amount,
                            row.trades);
}

PyObject* feed_next(PyObject* self) noexcept {
  FeedState& st = *reinterpret_cast<FeedObject*>(self)->state;
  try {
    for (;;) {
      if (!st.have_pending && !(st.have_pending = next_good_row(st, st.pending))) return nullptr;
      const Row row = st.pending;
      st.have_pending = next_good_row(st, st.pending);
      if (st.have_previous && !before(st.previous, row)) {
        const bool repeated = same_time(st.previous, row);
        note(st, repeated ? kRepeated : kOutOfOrder, row.line,
             repeated ? "the time of the row before" : "earlier than the row before");
        continue;
      }
      // A row later than the next one, which itself follows the rows before: the row is out
      // of place (a mistyped year) and costs only itself.
      if (st.have_pending && before(st.pending, row) &&
          (!st.have_previous || before(st.previous, st.pending))) {
        note(st, kOutOfOrder, row.line, "later than the row after");
        continue;
      }
      st.previous = row;
      st.have_previous = true;
      ++st.rows;
      return make_candle(st, row);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The file's bytes; false with OSError set.
bool load(FeedState& st) {
  const int fd = ::open(st.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, st.path.c_str()), false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (ok && S_ISREG(info.st_mode) && info.st_size > 0) {
    void* p = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      st.data = static_cast<const char*>(p);
      st.mapped = static_cast<std::size_t>(info.st_size);
    }
  }
  if (ok && !st.mapped) {  // a pipe, or a file that cannot be mapped: read it whole
    char chunk[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      st.buffer.append(chunk, static_cast<std::size_t>(n));
    }
    st.data = st.buffer.data();
  }
  const int saved = errno;
  ::close(fd);
  if (!ok) {
    errno = saved;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, st.path.c_str());
    return false;
  }
  const std::size_t size = st.mapped ? st.mapped : st.buffer.size();
  st.size = static_cast<long long>(size);
  st.body = st.data;
  st.end = st.data + size;
  if (size >= 3 && std::memcmp(st.data, "\xEF\xBB\xBF", 3) == 0) st.body += 3;
  return true;
}

// The header line as a message shows it: printable ASCII, other bytes as \xNN, cut short.
std::string shown(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

// Reads the first line: the header, or the first kline row; false with ValueError set.
bool read_layout(FeedState& st) {
  st.cursor = st.body;
  std::string_view first;
  if (!next_line(st, first)) {
    PyErr_Format(PyExc_ValueError, "%s: the file is empty", st.path.c_str());
    return false;
  }
  std::string_view field = first.substr(0, first.find(','));
  if (unquote(field) && !field.empty()) {
    std::string_view digits = field.front() == '-' ? field.substr(1) : field;
    bool all_digits = !digits.empty();
    for (char c : digits) all_digits = all_digits && is_digit(c);
    if (all_digits) {
      st.layout = Layout::Kline;
      st.cursor = st.body;  // the first line is a row
      st.line_no = 0;
      return true;
    }
  }
  std::size_t k = 0, start = 0;
  bool match = true;
  for (;; ++k) {
    const std::size_t comma = first.find(',', start);
    std::string_view name = first.substr(start, comma - start);
    if (k >= 6 || !unquote(name) || name.size() != std::strlen(kCsvColumns[k])) {
      match = false;
    } else {
      for (std::size_t i = 0; i < name.size(); ++i)
        match = match && (name[i] | 0x20) == kCsvColumns[k][i];
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (match && k == 5) {
    st.body = st.cursor;  // the rows follow the header
    return true;
  }
  PyErr_Format(PyExc_ValueError,
               "%s:1: expected the header time,open,high,low,close,volume or exchange kline "
               "rows, got %s",
               st.path.c_str(), shown(first).c_str());
  return false;
}

// Newest first when most steps between the first readable rows go back in time.
void find_order(FeedState& st) {
  Row row{}, last{};
  int up = 0, down = 0, seen = 0;
  std::string_view text;
  for (long long lines = 0; seen < kOrderSample && lines < kOrderScanLines &&
                            next_line(st, text);
       ++lines) {
    if (read_row(text, st.layout, row)) continue;
    if (seen++) {
      up += before(last, row);
      down += before(row, last);
    }
    last = row;
  }
  st.newest_first = down > up;
  st.finished = false;
  if (!st.newest_first) {
    st.cursor = st.body;
    st.line_no = st.layout == Layout::Csv ? 1 : 0;
    return;
  }
  long long lines = 0;  // numbered from the end: count them
  for (const char* p = st.body; p < st.end; ++lines) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(st.end - p));
    p = nl ? static_cast<const char*>(nl) + 1 : st.end;
  }
  st.line_no = lines + (st.layout == Layout::Csv ? 1 : 0) + 1;
  st.cursor = st.end > st.body && st.end[-1] == '\n' ? st.end - 1 : st.end;
  if (st.body == st.end) st.finished = true;
}

PyObject* feed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("path"), const_cast<char*>("pair"), nullptr};
  PyObject* path = nullptr;  // bytes, from PyUnicode_FSConverter
  PyObject* pair_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O:CsvFeed", names, PyUnicode_FSConverter,
                                   &path, &pair_obj))
    return nullptr;
  Ref path_ref(path);
  auto* pair = record_arg<tavex::abi::PairObject>(pair_obj, tavex::pair_type(), "Pair");
  if (!pair) return nullptr;

  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* feed = reinterpret_cast<FeedObject*>(self.get());
  try {
    feed->state = new FeedState();
    FeedState& st = *feed->state;
    st.path = PyBytes_AS_STRING(path);
    st.code = tavex::text_of(pair->code);
    st.kind = pair->kind;
    if (!load(st) || !read_layout(st)) return nullptr;
    find_order(st);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void feed_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FeedObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

FeedState& state_of(PyObject* self) noexcept { return *reinterpret_cast<FeedObject*>(self)->state; }

template <long long FeedState::*Field>
PyObject* get_count(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(state_of(self).*Field);
}

PyObject* get_bytes_read(PyObject* self, void*) noexcept {
  const FeedState& st = state_of(self);
  const char* from = st.newest_first ? st.cursor : st.data;
  const char* to = st.newest_first ? st.end : st.cursor;
  return PyLong_FromLongLong(st.finished ? st.size : static_cast<long long>(to - from));
}

PyObject* get_skipped(PyObject* self, void*) noexcept {
  const FeedState& st = state_of(self);
  long long total = 0;
  for (long long n : st.skipped) total += n;
  return PyLong_FromLongLong(total);
}

PyObject* get_reasons(PyObject* self, void*) noexcept {
  const FeedState& st = state_of(self);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (int k = 0; k < kReasons; ++k) {
    if (!st.skipped[k]) continue;
    Ref count(PyLong_FromLongLong(st.skipped[k]));
    if (!count || PyDict_SetItemString(dict.get(), kReasonNames[k], count.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

PyObject* get_bad_rows(PyObject* self, void*) noexcept {
  const auto& rows = state_of(self).bad_rows;
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

PyObject* get_path(PyObject* self, void*) noexcept {
  const std::string& path = state_of(self).path;
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* get_layout(PyObject* self, void*) noexcept {
  return PyUnicode_FromString(state_of(self).layout == Layout::Kline ? "kline" : "csv");
}

PyObject* get_newest_first(PyObject* self, void*) noexcept {
  return PyBool_FromLong(state_of(self).newest_first);
}

PyGetSetDef feed_getset[] = {
    {"path", get_path, nullptr, "the file, as given", nullptr},
    {"read", get_count<&FeedState::read>, nullptr, "data lines read so far", nullptr},
    {"rows", get_count<&FeedState::rows>, nullptr, "candles yielded so far", nullptr},
    {"skipped", get_skipped, nullptr, "data lines skipped so far", nullptr},
    {"reasons", get_reasons, nullptr, "skipped lines by reason", nullptr},
    {"bytes_read", get_bytes_read, nullptr, "bytes of the file read so far", nullptr},
    {"size", get_count<&FeedState::size>, nullptr, "size of the file in bytes", nullptr},
    {"bad_rows", get_bad_rows, nullptr,
     "the first skipped lines of each reason, as 'file:line: skipped (reason): why'", nullptr},
    {"layout", get_layout, nullptr, "'csv' (with the header) or 'kline'", nullptr},
    {"newest_first", get_newest_first, nullptr, "whether the file runs newest row first",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_doc, const_cast<char*>("CsvFeed(path, pair)\n--\n\n"
                                  "One-minute candles of `pair` read from a CSV file, as "
                                  "tavex.Candle records.")},
    {Py_tp_new, reinterpret_cast<void*>(feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feed_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(feed_next)},
    {Py_tp_getset, feed_getset},
    {0, nullptr},
};

PyType_Spec feed_spec = {"tavex_backtest._native.CsvFeed", sizeof(FeedObject), 0,
                         Py_TPFLAGS_DEFAULT, feed_slots};

}  // namespace

bool add_feed_type(PyObject* module) noexcept { return add_type(module, feed_spec); }

}  // namespace backtest
