// safe_float: published with its signature, but without a computation yet.
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/registry.hpp"

namespace tavex::helpers {
namespace {

using py::Bound;
using py::Ref;
using py::Result;

constexpr py::ParamSpec kSafeFloatParams{"safe_float", {"value", "decimals"}, 2, 2};

Result<Ref> safe_float(const Bound& args) {
  Result<double> value = py::to_double(args[0], "value");
  if (!value.ok()) return value.failure();
  Result<std::uint32_t> decimals = py::to_uint32(args[1], "decimals");
  if (!decimals.ok()) return decimals.failure();
  return py::Failure::panic("not yet implemented");
}

}  // namespace

PyMethodDef kSafeFloatDef = {"safe_float",
                             py::as_cfunction(&py::fastcall_entry<kSafeFloatParams, safe_float>),
                             METH_FASTCALL | METH_KEYWORDS,
                             "safe_float(value, decimals)\n--\n\n安全浮点数"};

}  // namespace tavex::helpers
