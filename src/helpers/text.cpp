// RFC 3339 text: str_to_date and date_to_str.
#include <cstring>

#include "core/rfc3339.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/registry.hpp"

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
  const core::FieldsScanResult scan = core::scan_rfc3339_fields(text.value());
  if (TAVEX_UNLIKELY(!scan.ok())) return py::Failure::helper(core::message(scan.error));
  return py::from_fields(scan.value);
}

Result<Ref> date_to_str(const Bound& args) {
  Result<core::Fields> v = py::to_utc_fields(args[0], "d");
  if (!v.ok()) return v.failure();
  const core::Fields& f = v.value();
  char buffer[core::kRfc3339MaxLength];
  const std::size_t n = core::write_rfc3339(buffer, f.year, f.month, f.day, f.hour, f.minute,
                                            f.second, f.nanos / 1000);
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
