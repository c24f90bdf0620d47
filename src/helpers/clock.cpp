// The clock and time-stamp helpers: now_ms, now_date, ms_to_date, truncate_to_day.
#include <time.h>

#include <string>

#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/registry.hpp"

namespace tavex::helpers {
namespace {

using py::Bound;
using py::Failure;
using py::Ref;
using py::Result;

constexpr py::ParamSpec kMsToDateParams{"ms_to_date", {"ts"}, 1, 1};
constexpr py::ParamSpec kTruncateToDayParams{"truncate_to_day", {"date"}, 1, 1};

[[gnu::cold]] Failure clock_before_epoch(const timespec& now) {
  // How far before 1970 the clock reads, as seconds and nanoseconds.
  const long long behind_ns = -(static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
  const std::string fraction = std::to_string(1'000'000'000 + behind_ns % 1'000'000'000);
  return Failure::panic(py::cat({"system time before Unix epoch: the clock reads ",
                                 std::to_string(behind_ns / 1'000'000'000), ".",
                                 std::string_view(fraction).substr(1),
                                 " s before 1970-01-01T00:00:00Z"}));
}

// One read of the wall clock; no other system call.
inline Result<timespec> read_clock() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (TAVEX_UNLIKELY(now.tv_sec < 0)) return clock_before_epoch(now);
  return now;
}

Result<Ref> now_ms() {
  Result<timespec> now = read_clock();
  if (!now.ok()) return now.failure();
  return py::make_int(std::int64_t{now.value().tv_sec} * 1000 + now.value().tv_nsec / 1'000'000);
}

Result<Ref> now_date() {
  Result<timespec> now = read_clock();
  if (!now.ok()) return now.failure();
  return py::make_datetime(to_fields(
      DateTime::from_unix(now.value().tv_sec, static_cast<std::uint32_t>(now.value().tv_nsec))));
}

Result<Ref> ms_to_date(const Bound& args) {
  Result<std::int64_t> ts = py::to_int64(args[0], "ts");
  if (!ts.ok()) return ts.failure();
  const std::optional<DateTime> v = from_unix_ms_checked(ts.value());
  if (TAVEX_UNLIKELY(!v)) return Failure::helper("时间戳转换失败");
  return py::make_datetime(to_fields(*v));
}

Result<Ref> truncate_to_day(const Bound& args) {
  // On PyPy each field read is a call into it: the date first, and the time of day only near
  // the ends of the nanosecond window, where it decides (the argument has passed its checks).
  constexpr py::Time kTime = py::kPyPy ? py::Time::Skip : py::Time::Read;
  Result<DateFields> v = py::to_utc_fields(args[0], "date", kTime);
  if (!v.ok()) return v.failure();
  if (kTime == py::Time::Skip && TAVEX_UNLIKELY(!truncates_by_date(v.value().year)))
    v = py::fields_of(args[0]);
  const std::optional<DateFields> day = tavex::truncate_to_day(v.value());
  if (TAVEX_UNLIKELY(!day)) return Failure::helper("timestamp exceeds num_nanoseconds limit");
  return py::make_datetime(*day);
}

}  // namespace

PyMethodDef kTruncateToDayDef = {
    "truncate_to_day",
    py::as_cfunction(&py::fastcall_entry<kTruncateToDayParams, truncate_to_day>),
    METH_FASTCALL | METH_KEYWORDS, "truncate_to_day(date)\n--\n\n截断日期到天"};
PyMethodDef kMsToDateDef = {"ms_to_date",
                            py::as_cfunction(&py::fastcall_entry<kMsToDateParams, ms_to_date>),
                            METH_FASTCALL | METH_KEYWORDS, "ms_to_date(ts)\n--\n\n时间戳转日期"};
PyMethodDef kNowDateDef = {"now_date", py::as_cfunction(&py::noargs_entry<now_date>),
                           METH_NOARGS, "now_date()\n--\n\n获取当前时间"};
PyMethodDef kNowMsDef = {"now_ms", py::as_cfunction(&py::noargs_entry<now_ms>), METH_NOARGS,
                         "now_ms()\n--\n\n获取当前时间戳"};

}  // namespace tavex::helpers
