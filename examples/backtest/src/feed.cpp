// CsvFeed: one-minute candles from a CSV file, as tavex.Candle records.
//
// The file starts with the header `time,open,high,low,close,volume`; each row is a bar's
// opening time (RFC 3339, any offset) and its prices and traded volume. Rows that cannot be
// read are skipped and reported as "file:line: skipped: reason"; rows that do not open after
// the previous bar (repeated or late) are skipped and counted.
#include "common.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace backtest {
namespace {

constexpr std::string_view kHeader = "time,open,high,low,close,volume";
constexpr const char* kColumns[] = {"time", "open", "high", "low", "close", "volume"};
constexpr std::size_t kShownBadRows = 5;  // the rest are only counted

struct FeedState {
  std::FILE* file = nullptr;
  char* line = nullptr;  // getline's buffer
  std::size_t capacity = 0;
  std::string path;  // as given, for the messages
  std::string code;
  tavex::TradeKind kind = tavex::TradeKind::Spot;
  long long line_no = 0, rows = 0, bad = 0, out_of_order = 0;
  long long bytes_read = 0, size = 0;
  bool have_previous = false;
  UnixTime previous{};
  std::vector<std::string> bad_rows;

  ~FeedState() {
    if (file) std::fclose(file);
    std::free(line);
  }
};

struct FeedObject {
  PyObject_HEAD
  FeedState* state;
};

// The next line without its end-of-line characters; false at the end of the file or on a
// read error (then errno is set and the file's error flag too).
bool next_line(FeedState& st, std::string_view& out) noexcept {
  const ssize_t n = getline(&st.line, &st.capacity, st.file);
  if (n < 0) return false;
  st.bytes_read += n;
  ++st.line_no;
  std::size_t len = static_cast<std::size_t>(n);
  while (len && (st.line[len - 1] == '\n' || st.line[len - 1] == '\r')) --len;
  out = std::string_view(st.line, len);
  return true;
}

void note_bad_row(FeedState& st, const std::string& reason) {
  ++st.bad;
  if (st.bad_rows.size() < kShownBadRows)
    st.bad_rows.push_back(st.path + ':' + std::to_string(st.line_no) + ": skipped: " + reason);
}

struct Row {
  UnixTime open_time;
  double price[4];  // open, high, low, close
  double volume;
};

// Splits and converts one row; the reason when it cannot.
std::string read_row(std::string_view text, Row& row) {
  std::string_view fields[6];
  std::size_t count = 0;
  if (!text.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = text.find(',', start);
      const std::string_view field = text.substr(start, comma - start);
      if (count < 6) fields[count] = field;
      ++count;
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }
  if (count != 6) return "expected 6 fields, got " + std::to_string(count);
  if (const char* why = read_time(fields[0], row.open_time)) return why;
  for (std::size_t k = 1; k < 6; ++k) {
    double& value = k < 5 ? row.price[k - 1] : row.volume;
    const char* first = fields[k].data();
    const char* last = first + fields[k].size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last)
      return std::string("'") + kColumns[k] + "' is not a number";
    if (!std::isfinite(value)) return std::string("'") + kColumns[k] + "' is not finite";
  }
  return {};
}

PyObject* make_candle(const FeedState& st, const Row& row) noexcept {
  const auto& t = row.open_time;
  return tavex::make_candle(st.kind, st.code, tavex::CandleInterval::Min1,
                            tavex::DateTime::from_unix(t.seconds, t.nanos),
                            tavex::DateTime::from_unix(t.seconds + 60, t.nanos), row.price[0],
                            row.price[1], row.price[2], row.price[3], row.volume,
                            row.volume * row.price[3], /*trades=*/0);
}

bool later(const UnixTime& a, const UnixTime& b) noexcept {
  return a.seconds > b.seconds || (a.seconds == b.seconds && a.nanos > b.nanos);
}

PyObject* feed_next(PyObject* self) noexcept {
  FeedState& st = *reinterpret_cast<FeedObject*>(self)->state;
  try {
    std::string_view text;
    while (next_line(st, text)) {
      Row row;
      std::string why = read_row(text, row);
      if (!why.empty()) {
        note_bad_row(st, why);
        continue;
      }
      if (st.have_previous && !later(row.open_time, st.previous)) {
        ++st.out_of_order;
        continue;
      }
      st.previous = row.open_time;
      st.have_previous = true;
      ++st.rows;
      return make_candle(st, row);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (std::ferror(st.file)) {
    PyErr_SetFromErrno(PyExc_OSError);
    return nullptr;
  }
  return nullptr;  // the end: StopIteration
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
    st.file = std::fopen(st.path.c_str(), "rb");
    if (!st.file) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, st.path.c_str());
    if (std::fseek(st.file, 0, SEEK_END) == 0) st.size = std::ftell(st.file);
    std::rewind(st.file);
    std::string_view header;
    if (!next_line(st, header)) {
      if (std::ferror(st.file)) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, st.path.c_str());
      header = "nothing (the file is empty)";
    }
    if (header != kHeader) {
      const std::string got(header.substr(0, 200));
      PyErr_Format(PyExc_ValueError, "%s: expected the header %s, got %s", st.path.c_str(),
                   kHeader.data(), got.c_str());
      return nullptr;
    }
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

template <long long FeedState::*Field>
PyObject* get_count(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(reinterpret_cast<FeedObject*>(self)->state->*Field);
}

PyObject* get_bad_rows(PyObject* self, void*) noexcept {
  const auto& rows = reinterpret_cast<FeedObject*>(self)->state->bad_rows;
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

PyGetSetDef feed_getset[] = {
    {"rows", get_count<&FeedState::rows>, nullptr, "candles yielded so far", nullptr},
    {"skipped", get_count<&FeedState::bad>, nullptr, "unreadable rows skipped so far", nullptr},
    {"out_of_order", get_count<&FeedState::out_of_order>, nullptr,
     "rows skipped because they did not open after the previous bar", nullptr},
    {"bytes_read", get_count<&FeedState::bytes_read>, nullptr, "bytes of the file read so far",
     nullptr},
    {"size", get_count<&FeedState::size>, nullptr, "size of the file in bytes", nullptr},
    {"bad_rows", get_bad_rows, nullptr, "the first unreadable rows, as 'file:line: skipped: why'",
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
