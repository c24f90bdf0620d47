// RFC 3339 text: str_to_date and date_to_str.
#include <cstring>

#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/registry.hpp"
#include "tavex/time.hpp"

namespace tavex::helpers {
namespace {

using py::Bound;
using py::Ref;
using py::Result;

constexpr py::ParamSpec kStrToDateParams{"str_to_date", {"s"}, 1, 1};
constexpr py::ParamSpec kDateToStrParams{"date_to_str", {"d"}, 1, 1};

Result<Ref> str_to_date(const Bound& args) {
  Result<std::string_view> text = py::to_text(args[0], "s");
  if (!text.ok()) return text.failure();
  const rfc3339::Scan<DateFields> scan = rfc3339::scan_fields(text.value());
  if (TAVEX_UNLIKELY(!scan.ok())) return py::Failure::helper(rfc3339::message(scan.error));
  return py::make_datetime(scan.value);
}

Result<Ref> date_to_str(const Bound& args) {
  Result<DateFields> v = py::to_utc_fields(args[0], "d");
  if (!v.ok()) return v.failure();
  const DateFields& f = v.value();
  char buffer[rfc3339::kMaxLength];
  const std::size_t n = rfc3339::write(buffer, f.year, f.month, f.day, f.hour, f.minute, f.second,
                                       f.nanos / 1000);
  // The text is ASCII: fill a compact str directly instead of decoding UTF-8.
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (!out) return py::Failure::pending();
  std::memcpy(PyUnicode_1BYTE_DATA(out), buffer, n);
  return Ref::steal(out);
}

}  // namespace

PyMethodDef kStrToDateDef = {"str_to_date",
                             py::as_cfunction(&py::fastcall_entry<kStrToDateParams, str_to_date>),
                             METH_FASTCALL | METH_KEYWORDS, "str_to_date(s)\n--\n\n字符串转日期"};
PyMethodDef kDateToStrDef = {"date_to_str",
                             py::as_cfunction(&py::fastcall_entry<kDateToStrParams, date_to_str>),
                             METH_FASTCALL | METH_KEYWORDS, "date_to_str(d)\n--\n\n日期转字符串"};

}  // namespace tavex::helpers
