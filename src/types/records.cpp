// The record classes Pair, Candle, Order and Position: read-only views of native data.
#include "types/record_fields.hpp"

#include <array>
#include <utility>

#include "module/registry.hpp"
#include "types/pypy.hpp"

namespace tavex::types {
namespace {

using py::Ref;

// Records hold date-times as UTC calendar fields; the factory converts each once.
static_assert(sizeof(abi::StoredDateTime) == 12);
static_assert([] {
  using abi::StoredDateTime;
  for (const DateTime v :
       {DateTime{0, 0, 0}, DateTime{-1, 86'399, 999'999'999}, DateTime{DateTime::kMinDay, 0, 1},
        DateTime{DateTime::kMaxDay, 86'399, 1'999'999'999},
        DateTime{days_from_civil(2000, 2, 29), 45'299, 1'000'000'999}}) {
    const StoredDateTime f = StoredDateTime::from(v);
    const DateFields c = to_fields(v);
    if (!(f.to_date_time() == v) || f.year() != c.year || f.month0 + 1 != c.month ||
        f.day0 + 1 != c.day || f.hour != c.hour || f.minute != c.minute ||
        f.second() != c.second || f.nanos() != v.nanos)
      return false;
  }
  return StoredDateTime{}.to_date_time() == DateTime{0, 0, 0};  // zero-filled: 1970-01-01
}());

// The public header's helpers, checked where they are compiled anyway.
static_assert(DateTime::from_unix(-1) == DateTime{-1, 86'399, 0});
static_assert(DateTime::from_unix(INT64_MIN).days_since_1970 == -106'751'991'167'301);
static_assert(DateTime::from_unix_ms(-1) == DateTime{-1, 86'399, 999'000'000});
static_assert(DateTime::from_civil(2016, 12, 31, 23, 59, 60, 5) ==
              DateTime{days_from_civil(2016, 12, 31), 86'399, 1'000'000'005});
static_assert(!DateTime::from_civil(2023, 2, 29) && !DateTime::from_civil(262143, 1, 1));
static_assert(DateTime{0, 59, 1'999'999'999}.is_valid() &&
              !DateTime{0, 58, 1'000'000'000}.is_valid());
static_assert(detail::invalid_utf8_at("a\xC3\xA9\xF4\x8F\xBF\xBF") == -1 &&
              detail::invalid_utf8_at("ab\xC0\x80") == 2 &&        // overlong
              detail::invalid_utf8_at("\xED\xA0\x80") == 0 &&      // surrogate
              detail::invalid_utf8_at("\xE2\x82") == 0 &&          // truncated
              detail::invalid_utf8_at("\xF4\x90\x80\x80") == 0);  // above U+10FFFF

// --- The attribute tables of CPython, expanded from the field tables at compile time (PyPy's
// are in pypy.cpp). ---

// One getset per field, in declared order, with no setter: every write fails alike.
template <std::size_t R, std::size_t I>
PyObject* getset_get(PyObject* self, void*) noexcept {
  return read_field<R, I>(self);
}
template <std::size_t R, std::size_t... I>
constexpr auto build_getsets(std::index_sequence<I...>) noexcept {
  return std::array<PyGetSetDef, kFieldCount<R> + 1>{  // ends with a zeroed sentinel
      PyGetSetDef{kRecords[R].fields[I].name, &getset_get<R, I>, nullptr,
                  kRecords[R].fields[I].doc, nullptr}...};
}
template <std::size_t R>
constinit auto g_getsets = build_getsets<R>(std::make_index_sequence<kFieldCount<R>>());

// CPython 3.13.0 enters a class's getsets into its dict with PyDict_SetDefaultRef, which
// reports success when its resize fails and leaves the dict broken: the next insertion
// crashes. So on 3.13 the field descriptors are entered after creation, with PyDict_SetItem.
constexpr bool kGetsetsAfterCreation = PY_VERSION_HEX >= 0x030D0000;

template <std::size_t R>
bool add_getsets(PyObject* cls) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  for (std::size_t i = 0; i < kFieldCount<R>; ++i) {
    Ref descr = Ref::steal(PyDescr_NewGetSet(type, &g_getsets<R>[i]));
    if (!descr || PyDict_SetItem(type->tp_dict, PyDescr_NAME(descr.get()), descr.get()) < 0)
      return false;
  }
  PyType_Modified(type);
  return true;
}

template <std::size_t R>
PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRecords[R].doc)},
    {Py_tp_new, py::as_slot(&refuse_construction)},
    {Py_tp_dealloc, py::as_slot(&record_dealloc<R>)},
    // On 3.13 a zero here ends the table: the getsets come after creation.
    {kGetsetsAfterCreation ? 0 : Py_tp_getset, g_getsets<R>.data()},
    {0, nullptr},
};

template <std::size_t R>
PyType_Spec g_spec = {kRecords[R].spec_name, kRecords[R].basicsize, 0, Py_TPFLAGS_DEFAULT,
                      g_slots<R>};

// The class object (borrowed), made on first demand. A failure caches nothing, so a later
// demand tries again.
template <std::size_t R>
PyObject* record_class() noexcept {
  PyTypeObject*& kept = g_record_types[R];
  if (TAVEX_LIKELY(kept != nullptr)) return reinterpret_cast<PyObject*>(kept);
  PyType_Spec* spec = &g_spec<R>;
  if constexpr (py::kPyPy) spec = pypy::record_spec(R);
  Ref made = Ref::steal(py::type_from_spec(spec));
  if (!made) return nullptr;
  if constexpr (py::kPyPy) {
    if (!pypy::finish_record_class(R, made.get())) return nullptr;
  } else if constexpr (kGetsetsAfterCreation) {
    if (!add_getsets<R>(made.get())) return nullptr;
  }
  if (!kept) kept = reinterpret_cast<PyTypeObject*>(made.release());
  return reinterpret_cast<PyObject*>(kept);
}

}  // namespace

PyObject* pair_class() noexcept { return record_class<detail::kPair>(); }
PyObject* candle_class() noexcept { return record_class<detail::kCandle>(); }
PyObject* order_class() noexcept { return record_class<detail::kOrder>(); }
PyObject* position_class() noexcept { return record_class<detail::kPosition>(); }

}  // namespace tavex::types
