// ArrowFeed: candles from Arrow columns (a pandas or Polars frame, a pyarrow table, a Parquet
// file), read through the Arrow C stream interface of the object's __arrow_c_stream__ (the
// PyCapsule protocol), so the build needs no Arrow headers: the structs below are the
// interface's published C ABI. The records are made here from the column buffers; no row
// becomes a Python object on the way. tavex_backtest.frames prepares the columns (time,
// open, high, low, close[, volume]) and their Layout; the rows then pass the same checks
// as a file's.
#include "rows.hpp"

#include <cmath>
#include <cstring>
#include <new>

extern "C" {
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};
struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};
}

namespace backtest {
namespace {

// How a column's values are stored, from its format string.
enum class Type { Float64, Float32, Int64, Int32, Utf8, LargeUtf8, Timestamp, Other };

struct Column {
  Type type = Type::Other;
  std::int64_t unit = 1;  // a time stamp's nanoseconds per unit
  bool zoned = false;     // a time stamp with a zone: an instant
  std::string format;
};

Column column_of(const char* format) {
  Column c;
  c.format = format;
  const std::string_view f = format;
  if (f == "g") c.type = Type::Float64;
  else if (f == "f") c.type = Type::Float32;
  else if (f == "l") c.type = Type::Int64;
  else if (f == "i") c.type = Type::Int32;
  else if (f == "u") c.type = Type::Utf8;
  else if (f == "U") c.type = Type::LargeUtf8;
  else if (f.size() >= 4 && f.substr(0, 2) == "ts" && f[3] == ':') {
    c.type = Type::Timestamp;
    c.unit = f[2] == 's' ? 1'000'000'000 : f[2] == 'm' ? 1'000'000 : f[2] == 'u' ? 1'000 : 1;
    c.zoned = f.size() > 4;
  }
  return c;
}

struct ArrowState : Core {
  std::vector<ArrowArray> batches;  // owned: released in the destructor
  std::vector<Column> columns;      // by child
  std::vector<long long> starts;    // rows before each batch
  long long total = 0, done = 0;
  std::size_t batch = 0;
  long long index = 0;  // within the batch; backward: one past the next row
  bool forward = true;
  std::string text;

  ~ArrowState() {
    for (ArrowArray& a : batches)
      if (a.release) a.release(&a);
  }
  bool next_good_row(Row& row, bool& error);
  static ArrowState* of(PyObject* self) noexcept;
};

struct ArrowObject {
  PyObject_HEAD
  ArrowState* state;
};

ArrowState* ArrowState::of(PyObject* self) noexcept {
  return reinterpret_cast<ArrowObject*>(self)->state;
}

bool is_null(const ArrowArray& parent, const ArrowArray& child, std::int64_t i) noexcept {
  const auto* valid = static_cast<const std::uint8_t*>(child.buffers[0]);
  if (!valid || child.null_count == 0) return false;
  const std::int64_t at = parent.offset + child.offset + i;
  return !(valid[at >> 3] & (1u << (at & 7)));
}

template <class T>
T value_at(const ArrowArray& parent, const ArrowArray& child, std::int64_t i) noexcept {
  return static_cast<const T*>(child.buffers[1])[parent.offset + child.offset + i];
}

std::string_view text_at(const ArrowArray& parent, const ArrowArray& child, std::int64_t i,
                         bool large) noexcept {
  const std::int64_t at = parent.offset + child.offset + i;
  const char* data = static_cast<const char*>(child.buffers[2]);
  std::int64_t from, to;
  if (large) {
    const auto* offsets = static_cast<const std::int64_t*>(child.buffers[1]);
    from = offsets[at], to = offsets[at + 1];
  } else {
    const auto* offsets = static_cast<const std::int32_t*>(child.buffers[1]);
    from = offsets[at], to = offsets[at + 1];
  }
  return {data + from, static_cast<std::size_t>(to - from)};
}

Result missing(const char* column) {
  return Verdict{kUnreadable, std::string("'") + column + "' is missing"};
}

// Reads row i of a batch; nothing when it makes a candle. The order of the checks is a file's:
// time, open, high, low, close, volume, then the values.
Result read_row(ArrowState& st, const ArrowArray& a, std::int64_t i, Row& row, bool& error) {
  const LayoutSpec& L = st.layout;
  const char* column = "time";
  const ArrowArray& tc = *a.children[L.time];
  const Column& tt = st.columns[static_cast<std::size_t>(L.time)];
  if (is_null(a, tc, i)) return missing(column);
  Parsed t;
  Result fault;
  switch (tt.type) {
    case Type::Timestamp: {
      const __int128 ns = static_cast<__int128>(value_at<std::int64_t>(a, tc, i)) * tt.unit;
      __int128 sec = ns / 1'000'000'000, rem = ns % 1'000'000'000;
      if (rem < 0) rem += 1'000'000'000, sec -= 1;
      t = Parsed{tavex::DateTime::from_unix(static_cast<std::int64_t>(sec),
                                            static_cast<std::uint32_t>(rem)),
                 tt.zoned};
      break;
    }
    case Type::Int64:
    case Type::Int32: {
      const std::int64_t v = tt.type == Type::Int64 ? value_at<std::int64_t>(a, tc, i)
                                                    : value_at<std::int32_t>(a, tc, i);
      const std::string digits = std::to_string(v);
      fault = read_epoch(digits, column, L.unit, t);
      break;
    }
    case Type::Float64: {
      // An epoch number held as a double: its unit from the magnitude of its whole part,
      // the product rounded to the nanosecond.
      const double v = value_at<double>(a, tc, i);
      if (!std::isfinite(v)) return Verdict{kUnreadable, "'time' is not a number"};
      const double whole = std::trunc(std::fabs(v));
      const double scale = L.unit ? static_cast<double>(L.unit)
                           : whole < 1e11 ? 1e9
                           : whole < 1e14 ? 1e6
                           : whole < 1e17 ? 1e3
                                          : 1.0;
      const double ns = std::nearbyint(v * scale);
      const double limit = 4e18;
      const __int128 n = static_cast<__int128>(ns > limit ? limit : ns < -limit ? -limit : ns);
      __int128 sec = n / 1'000'000'000, rem = n % 1'000'000'000;
      if (rem < 0) rem += 1'000'000'000, sec -= 1;
      t = Parsed{tavex::DateTime::from_unix(static_cast<std::int64_t>(sec),
                                            static_cast<std::uint32_t>(rem)),
                 true};
      break;
    }
    default: {
      const std::string_view s = text_at(a, tc, i, tt.type == Type::LargeUtf8);
      fault = L.form == Form::Iso     ? read_iso(s, column, t)
              : L.form == Form::Epoch ? read_epoch(s, column, L.unit, t)
                                      : read_format(s, L.format, column, t);
    }
  }
  if (fault) return fault;
  const int roles[] = {L.open, L.high, L.low, L.close, L.volume};
  double* values[] = {&row.open, &row.high, &row.low, &row.close, &row.volume};
  constexpr const char* kNames[] = {"open", "high", "low", "close", "volume"};
  row.volume = 0.0;
  for (int k = 0; k < 5; ++k) {
    if (roles[k] < 0) continue;
    const ArrowArray& c = *a.children[roles[k]];
    if (is_null(a, c, i)) return missing(kNames[k]);
    switch (st.columns[static_cast<std::size_t>(roles[k])].type) {
      case Type::Float64: *values[k] = value_at<double>(a, c, i); break;
      case Type::Float32: *values[k] = value_at<float>(a, c, i); break;
      case Type::Int64: *values[k] = static_cast<double>(value_at<std::int64_t>(a, c, i)); break;
      default: *values[k] = static_cast<double>(value_at<std::int32_t>(a, c, i));
    }
    if (!std::isfinite(*values[k]))
      return Verdict{kBadValue, std::string("'") + kNames[k] + "' is not finite"};
  }
  row.has_close = row.has_amount = false;
  row.trades = 0;
  if (!st.place(t)) {
    error = true;
    return std::nullopt;
  }
  return st.checked(t, row);
}

bool ArrowState::next_good_row(Row& row, bool& error) {
  while (batch < batches.size()) {
    const ArrowArray& a = batches[batch];
    std::int64_t i;
    if (forward) {
      if (index >= a.length) {
        ++batch, index = 0;
        continue;
      }
      i = index++;
    } else {
      if (index <= 0) {
        if (batch == 0) break;
        --batch;
        index = batches[batch].length;
        continue;
      }
      i = --index;
    }
    ++read, ++done;
    const long long line = starts[batch] + 1 + i;
    const Result fault = read_row(*this, a, i, row, error);
    if (error) return false;
    row.line = line;
    if (!fault) return true;
    note(fault->reason, line, fault->why);
  }
  batch = batches.size();
  return false;
}

PyObject* arrow_next(PyObject* self) noexcept { return next_candle(*ArrowState::of(self)); }

[[gnu::cold]] bool stream_error(ArrowArrayStream& s, int code, const char* what) {
  const char* text = s.get_last_error ? s.get_last_error(&s) : nullptr;
  PyErr_Format(PyExc_ValueError, "the Arrow stream failed to give its %s: %s", what,
               text ? text : std::strerror(code));
  return false;
}

// Takes every batch of the object's stream; false with an exception set.
bool take_stream(ArrowState& st, PyObject* source) {
  Ref capsule(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* given = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (!given) return false;
  ArrowArrayStream stream = *given;  // moved out: the capsule no longer releases it
  given->release = nullptr;
  struct Releaser {
    ArrowArrayStream& s;
    ~Releaser() {
      if (s.release) s.release(&s);
    }
  } releaser{stream};
  ArrowSchema schema{};
  if (const int code = stream.get_schema(&stream, &schema)) return stream_error(stream, code, "schema");
  bool ok = std::strcmp(schema.format, "+s") == 0;
  if (ok) {
    for (std::int64_t k = 0; k < schema.n_children; ++k)
      st.columns.push_back(column_of(schema.children[k]->format));
  }
  if (schema.release) schema.release(&schema);
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "the Arrow stream is not one of record batches");
    return false;
  }
  const LayoutSpec& L = st.layout;
  const int used[] = {L.time, L.open, L.high, L.low, L.close, L.volume};
  for (int k = 0; k < 6; ++k) {
    if (used[k] < 0) continue;
    if (used[k] >= static_cast<int>(st.columns.size())) {
      PyErr_Format(PyExc_ValueError, "the Arrow stream has %zd columns, the layout names %d",
                   static_cast<Py_ssize_t>(st.columns.size()), used[k] + 1);
      return false;
    }
    const Type type = st.columns[static_cast<std::size_t>(used[k])].type;
    const bool fits = k == 0 ? type != Type::Other
                             : type == Type::Float64 || type == Type::Float32 ||
                                   type == Type::Int64 || type == Type::Int32;
    if (!fits) {
      PyErr_Format(PyExc_TypeError, "Arrow column %d has the type '%s', which the feed does not read",
                   used[k] + 1, st.columns[static_cast<std::size_t>(used[k])].format.c_str());
      return false;
    }
  }
  for (;;) {
    ArrowArray array{};
    if (const int code = stream.get_next(&stream, &array)) return stream_error(stream, code, "rows");
    if (!array.release) break;  // the end of the stream
    st.batches.push_back(array);
    st.starts.push_back(st.total);
    st.total += array.length;
    if (array.n_children != static_cast<std::int64_t>(st.columns.size())) {
      PyErr_SetString(PyExc_ValueError, "an Arrow batch does not match the stream's schema");
      return false;
    }
  }
  return true;
}

PyObject* arrow_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("source"), const_cast<char*>("pair"),
                          const_cast<char*>("layout"), nullptr};
  PyObject *source = nullptr, *pair_obj = nullptr, *layout = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:ArrowFeed", names, &source, &pair_obj,
                                   &layout))
    return nullptr;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* feed = reinterpret_cast<ArrowObject*>(self.get());
  try {
    feed->state = new ArrowState();
    ArrowState& st = *feed->state;
    if (!init_core(st, pair_obj, layout) || !take_stream(st, source)) return nullptr;
    if (st.layout.newest_first) {
      st.forward = false;
      st.batch = st.batches.empty() ? 0 : st.batches.size() - 1;
      st.index = st.batches.empty() ? 0 : st.batches.back().length;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void arrow_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ArrowObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_rows_done(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(ArrowState::of(self)->done);
}
PyObject* get_total(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(ArrowState::of(self)->total);
}

PyGetSetDef arrow_getset[] = {
    BACKTEST_CORE_GETSET(ArrowState),
    {"bytes_read", get_rows_done, nullptr, "rows of the table read so far", nullptr},
    {"size", get_total, nullptr, "rows of the table", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot arrow_slots[] = {
    {Py_tp_doc, const_cast<char*>("ArrowFeed(source, pair, layout)\n--\n\n"
                                  "Candles of `pair` read from the Arrow columns of `source` "
                                  "(an object with __arrow_c_stream__), as tavex.Candle "
                                  "records.")},
    {Py_tp_new, reinterpret_cast<void*>(arrow_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(arrow_next)},
    {Py_tp_getset, arrow_getset},
    {0, nullptr},
};

PyType_Spec arrow_spec = {"tavex_backtest._native.ArrowFeed", sizeof(ArrowObject), 0,
                          Py_TPFLAGS_DEFAULT, arrow_slots};

}  // namespace

bool add_arrow_type(PyObject* module) noexcept { return add_type(module, arrow_spec); }

}  // namespace backtest
