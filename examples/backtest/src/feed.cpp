// CsvFeed: candles from a text file, as tavex.Candle records, in the Layout that
// tavex_backtest.layout.detect() found (separator, header lines, columns, time form, zone,
// interval, order). The file is mapped (a pipe is read into memory) and walked oldest row
// first, from the end when it is written newest first. Every data line is accounted for: a
// candle, or skipped for a reason (unreadable, bad value, out of order, repeated) and
// reported with its line number. The pure-Python feed of the package follows the same rules,
// reason for reason.
#include "rows.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>

namespace backtest {
namespace {

constexpr std::size_t kMaxLine = 4096;  // longer lines are refused unread

struct Field {
  std::string_view text;
  bool stray;
};

struct FeedState : Core {
  const char* data = nullptr;  // the file's bytes: mapped, or `buffer`
  std::size_t mapped = 0;
  std::string buffer;
  const char *body = nullptr, *end = nullptr;  // the data lines
  std::string path;
  bool forward = true, finished = false;
  const char* cursor = nullptr;  // forward: next line's start; backward: last line's end
  long long line_no = 0;         // of the line read last
  long long size = 0;
  std::vector<Field> fields;      // of the line being read
  std::deque<std::string> texts;  // quoted fields with doubled quotes, the joined time
  std::string time_text;

  ~FeedState() {
    if (mapped) munmap(const_cast<char*>(data), mapped);
  }
  bool next_good_row(Row& row, bool& error);
  static FeedState* of(PyObject* self) noexcept;
};

struct FeedObject {
  PyObject_HEAD
  FeedState* state;
};

FeedState* FeedState::of(PyObject* self) noexcept {
  return reinterpret_cast<FeedObject*>(self)->state;
}

bool is_blank(char c, char separator) noexcept {
  return c == ' ' || (c == '\t' && separator != '\t');
}

std::string_view strip(std::string_view s, char separator) noexcept {
  while (!s.empty() && is_blank(s.front(), separator)) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back(), separator)) s.remove_suffix(1);
  return s;
}

// The fields of a line, blanks around them and their quotes removed, a field with a stray
// double quote marked; two quotes inside a quoted field stand for one.
void split(FeedState& st, std::string_view line) {
  const char sep = st.layout.separator;
  auto& out = st.fields;
  out.clear();
  if (st.layout.wrapped) {
    const std::string_view inner = strip(line, '\0');
    if (inner.size() >= 2 && inner.front() == '"' && inner.back() == '"')
      line = inner.substr(1, inner.size() - 2);
  }
  if (line.find('"') == std::string_view::npos) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t at = line.find(sep, start);
      out.push_back({strip(line.substr(start, at - start), sep), false});
      if (at == std::string_view::npos) return;
      start = at + 1;
    }
  }
  const std::size_t n = line.size();
  std::size_t i = 0;
  for (;;) {
    std::size_t j = i;
    while (j < n && is_blank(line[j], sep)) ++j;
    std::size_t end;
    if (j < n && line[j] == '"') {
      std::size_t k = j + 1;
      bool stray = false, doubled = false;
      std::string value;
      for (;;) {
        const std::size_t q = line.find('"', k);
        if (q == std::string_view::npos) {
          value.append(line.substr(k));
          k = n, stray = true;
          break;
        }
        value.append(line.substr(k, q - k));
        if (q + 1 < n && line[q + 1] == '"') {
          value += '"', doubled = true, k = q + 2;
          continue;
        }
        k = q + 1;
        break;
      }
      const std::size_t closed = k;
      while (k < n && is_blank(line[k], sep)) ++k;
      end = line.find(sep, k);
      if (end == std::string_view::npos) end = n;
      if (end != k) stray = true;
      if (doubled) {
        st.texts.push_back(std::move(value));
        out.push_back({strip(st.texts.back(), sep), stray});
      } else {
        out.push_back({strip(line.substr(j + 1, closed - j - 2 + (stray && closed == n)), sep),
                       stray});
      }
    } else {
      end = line.find(sep, i);
      if (end == std::string_view::npos) end = n;
      const std::string_view text = line.substr(i, end - i);
      out.push_back({strip(text, sep), text.find('"') != std::string_view::npos});
    }
    if (end >= n) return;
    i = end + 1;
  }
}

// The offset of the first byte the interpreter's UTF-8 decoder refuses (the rule str applies),
// -1 when it reads the whole line, -2 with an exception set when decoding failed otherwise.
std::ptrdiff_t invalid_utf8_at(std::string_view line) noexcept {
  Ref text(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict"));
  if (text) return -1;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -2;
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
  Ref error(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  Ref error(value);
#endif
  Ref start(PyObject_GetAttrString(error.get(), "start"));
  if (!start) return -2;
  const Py_ssize_t at = PyLong_AsSsize_t(start.get());
  return at == -1 && PyErr_Occurred() ? -2 : at;
}

std::string hex_byte(unsigned char byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", byte);
  return hex;
}

// Reads one data line; nothing when it makes a candle. Checks run in a fixed order (the
// pure-Python feed keeps it): the line, the number of fields, each field by role (time, open,
// high, low, close, volume, then a kline's close time, quote volume, trades), the values.
Result read_row(FeedState& st, std::string_view line, Row& row, bool& error) {
  const LayoutSpec& L = st.layout;
  if (line.size() > kMaxLine)
    return Verdict{kUnreadable, "the line is longer than " + std::to_string(kMaxLine) + " bytes"};
  bool wide = false;
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F)
      return Verdict{kUnreadable, "the row has a control character (" + hex_byte(byte) + ")"};
    wide |= byte > 0x7F;
  }
  if (wide) {
    const std::ptrdiff_t at = invalid_utf8_at(line);
    if (at == -2) {
      error = true;
      return std::nullopt;
    }
    if (at >= 0)
      return Verdict{kUnreadable, "the row has a byte that is not UTF-8 (" +
                                      hex_byte(static_cast<unsigned char>(line[at])) + ")"};
  }
  if (strip(line, '\0').empty()) return Verdict{kUnreadable, "the line is empty"};
  if (!st.texts.empty()) st.texts.clear();
  split(st, line);
  const auto& f = st.fields;
  const bool kline = L.kind == Kind::Kline;
  if (kline && f.size() < L.fields)
    return Verdict{kUnreadable, "expected at least " + std::to_string(L.fields) + " fields, got " +
                                    std::to_string(f.size())};
  if (!kline && f.size() != L.fields)
    return Verdict{kUnreadable, "expected " + std::to_string(L.fields) + " fields, got " +
                                    std::to_string(f.size())};
  const char* column = L.time_column();
  const Field& time = f[static_cast<std::size_t>(L.time)];
  if (time.stray) return Verdict{kUnreadable, std::string("'") + column + "' has a stray double quote"};
  std::string_view text = time.text;
  if (L.time2 >= 0) {
    const Field& clock = f[static_cast<std::size_t>(L.time2)];
    if (clock.stray)
      return Verdict{kUnreadable, std::string("'") + column + "' has a stray double quote"};
    st.time_text.assign(time.text);
    st.time_text += ' ';
    st.time_text.append(clock.text);
    text = st.time_text;
  }
  Parsed t;
  Result fault = L.form == Form::Iso      ? read_iso(text, column, t)
                 : L.form == Form::Epoch ? read_epoch(text, column, L.unit, t)
                                         : read_format(text, L.format, column, t);
  if (fault) return fault;
  const int roles[] = {L.open, L.high, L.low, L.close};
  double* values[] = {&row.open, &row.high, &row.low, &row.close};
  constexpr const char* kNames[] = {"open", "high", "low", "close"};
  for (int k = 0; k < 4; ++k) {
    const Field& field = f[static_cast<std::size_t>(roles[k])];
    if ((fault = read_number(field.text, field.stray, kNames[k], *values[k]))) return fault;
  }
  row.volume = 0.0;
  if (L.volume >= 0) {
    const Field& field = f[static_cast<std::size_t>(L.volume)];
    if ((fault = read_number(field.text, field.stray, "volume", row.volume))) return fault;
  }
  row.has_close = row.has_amount = false;
  row.trades = 0;
  if (kline) {
    if (L.close_time >= 0) {
      const Field& field = f[static_cast<std::size_t>(L.close_time)];
      if (field.stray) return Verdict{kUnreadable, "'close time' has a stray double quote"};
      Parsed c;
      if ((fault = read_epoch(field.text, "close time", L.unit, c))) return fault;
      row.has_close = true;
      row.close_time = c.time;
    }
    if (L.quote_volume >= 0) {
      const Field& field = f[static_cast<std::size_t>(L.quote_volume)];
      if ((fault = read_number(field.text, field.stray, "quote volume", row.amount))) return fault;
      row.has_amount = true;
    }
    if (L.trades >= 0) {
      const Field& field = f[static_cast<std::size_t>(L.trades)];
      if (field.stray) return Verdict{kUnreadable, "'trades' has a stray double quote"};
      const std::string_view s = field.text;
      bool digits = !s.empty();
      for (char c : s) digits = digits && c >= '0' && c <= '9';
      if (!digits) return Verdict{kUnreadable, "'trades' is not a whole number"};
      const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), row.trades);
      if (ec != std::errc() || end != s.data() + s.size())
        return Verdict{kBadValue, "'trades' is out of range"};
    }
  }
  if (!st.place(t)) {
    error = true;
    return std::nullopt;
  }
  return st.checked(t, row);
}

// The next line in the order of reading, without its line end; false after the last.
bool next_line(FeedState& st, std::string_view& out) noexcept {
  if (st.finished) return false;
  const char* start;
  const char* stop;
  if (st.forward) {
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

// The next row that makes a candle on its own, noting the others; false at the end, or
// with `error` set when Python raised (the zone's rules).
bool FeedState::next_good_row(Row& row, bool& error) {
  std::string_view text;
  while (next_line(*this, text)) {
    ++read;
    const Result fault = read_row(*this, text, row, error);
    if (error) return false;
    row.line = line_no;
    if (!fault) return true;
    note(fault->reason, line_no, fault->why);
  }
  return false;
}

PyObject* feed_next(PyObject* self) noexcept { return next_candle(*FeedState::of(self)); }

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

// Skips the lines before the rows; when the file runs newest first, counts the lines and
// starts from the last one, so that the rows come oldest first.
void position(FeedState& st) {
  st.cursor = st.body;
  std::string_view skipped;
  for (long long k = 0; k < st.layout.skip_lines && next_line(st, skipped); ++k) {
  }
  st.body = st.cursor;
  st.finished = false;
  if (!st.layout.newest_first) return;
  long long lines = 0;  // numbered from the end: count them
  for (const char* p = st.body; p < st.end; ++lines) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(st.end - p));
    p = nl ? static_cast<const char*>(nl) + 1 : st.end;
  }
  st.line_no = lines + st.layout.skip_lines + 1;
  st.cursor = st.end > st.body && st.end[-1] == '\n' ? st.end - 1 : st.end;
  st.forward = false;
  if (st.body == st.end) st.finished = true;
}

PyObject* feed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static char* names[] = {const_cast<char*>("path"), const_cast<char*>("pair"),
                          const_cast<char*>("layout"), nullptr};
  PyObject* path = nullptr;  // bytes, from PyUnicode_FSConverter
  PyObject* pair_obj = nullptr;
  PyObject* layout = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&OO:CsvFeed", names, PyUnicode_FSConverter,
                                   &path, &pair_obj, &layout))
    return nullptr;
  Ref path_ref(path);
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* feed = reinterpret_cast<FeedObject*>(self.get());
  try {
    feed->state = new FeedState();
    FeedState& st = *feed->state;
    st.path = PyBytes_AS_STRING(path);
    if (!init_core(st, pair_obj, layout)) return nullptr;
    st.layout.source = st.path;
    if (!load(st)) return nullptr;
    position(st);
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

PyObject* get_bytes_read(PyObject* self, void*) noexcept {
  const FeedState& st = *FeedState::of(self);
  const char* from = st.forward ? st.data : st.cursor;
  const char* to = st.forward ? st.cursor : st.end;
  return PyLong_FromLongLong(st.finished ? st.size : static_cast<long long>(to - from));
}

PyObject* get_size(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(FeedState::of(self)->size);
}

PyGetSetDef feed_getset[] = {
    BACKTEST_CORE_GETSET(FeedState),
    {"bytes_read", get_bytes_read, nullptr, "bytes of the file read so far", nullptr},
    {"size", get_size, nullptr, "size of the file in bytes", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_doc, const_cast<char*>("CsvFeed(path, pair, layout)\n--\n\n"
                                  "Candles of `pair` read from a text file in `layout` "
                                  "(tavex_backtest.layout.detect), as tavex.Candle records.")},
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
