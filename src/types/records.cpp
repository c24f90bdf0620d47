// The record classes Pair, Candle, Order and Position: read-only views of native data.
#include "types/record_fields.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

#include "module/convert.hpp"
#include "module/registry.hpp"

#ifdef PYPY_VERSION
#include <structmember.h>  // T_DOUBLE and READONLY for the member descriptors
#endif

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
static_assert(sizeof(std::int64_t) == sizeof(long), "int64 fields are read as C long");

PyTypeObject* g_types[std::size(kRecords)];  // each set once, never released

// --- Field reads. Each converts the stored value once; none caches the result. ---

PyObject* read_text(const abi::Text& t) noexcept {
  // A null block is an empty text (also in the zero-filled objects PyPy can make).
  if (!t.data || t.size == 0) return PyUnicode_FromStringAndSize("", 0);
  // Codes and identifiers are ASCII: copy them straight into a compact str.
  if (t.size <= 64) {
    unsigned char high = 0;
    for (Py_ssize_t i = 0; i < t.size; ++i) high |= static_cast<unsigned char>(t.data[i]);
    if (high < 0x80) {
      PyObject* out = PyUnicode_New(t.size, 127);
      if (out) std::memcpy(PyUnicode_1BYTE_DATA(out), t.data, static_cast<std::size_t>(t.size));
      return out;
    }
  }
  return PyUnicode_DecodeUTF8(t.data, t.size, nullptr);
}

PyObject* read_enum(EnumId id, std::uint8_t value) noexcept {
  if (TAVEX_UNLIKELY(value >= enum_size(id))) {  // only native code that bypassed the factory
    PyErr_Format(PyExc_SystemError, "record holds the invalid discriminant %u", unsigned{value});
    return nullptr;
  }
  return new_member(id, value);
}

// A leap second, or the datetime API not loaded yet; out of line, so the read needs no frame.
[[gnu::noinline, gnu::cold]] PyObject* read_datetime_slow(const abi::StoredDateTime& v) noexcept {
  const bool leap = v.micros() >= 1'000'000;
  return py::new_datetime_slow(DateFields{
      v.year(), static_cast<std::uint8_t>(v.month0 + 1), static_cast<std::uint8_t>(v.day0 + 1),
      v.hour, v.minute, static_cast<std::uint8_t>(v.second()),
      v.nanos() - (leap ? static_cast<std::uint32_t>(kNanosPerSecond) : 0u), leap});
}

PyObject* read_datetime(const abi::StoredDateTime& v) noexcept {
  const PyDateTime_CAPI* api = py::g_datetime;
  if (TAVEX_LIKELY(api && v.micros() < 1'000'000))
    return api->DateTime_FromDateAndTimeAndFold(
        v.year(), v.month0 + 1, v.day0 + 1, v.hour, v.minute, static_cast<int>(v.second()),
        static_cast<int>(v.micros()), api->TimeZone_UTC, 0, api->DateTimeType);
  return read_datetime_slow(v);
}

template <std::size_t R, std::size_t I>
PyObject* read_field(PyObject* self) noexcept {
  constexpr FieldDesc f = kRecords[R].fields[I];
  const char* at = reinterpret_cast<const char*>(self) + f.offset;
  if constexpr (f.kind == FieldKind::Text) {
    return read_text(*reinterpret_cast<const abi::Text*>(at));
  } else if constexpr (f.kind == FieldKind::Float) {
    return PyFloat_FromDouble(*reinterpret_cast<const double*>(at));
  } else if constexpr (f.kind == FieldKind::Int64) {
    return PyLong_FromLong(*reinterpret_cast<const std::int64_t*>(at));
  } else if constexpr (f.kind == FieldKind::Int32) {
    return PyLong_FromLong(*reinterpret_cast<const std::int32_t*>(at));
  } else if constexpr (f.kind == FieldKind::Enum) {
    return read_enum(f.enum_id, *reinterpret_cast<const std::uint8_t*>(at));
  } else {
    return read_datetime(*reinterpret_cast<const abi::StoredDateTime*>(at));
  }
}

// --- The attribute tables, expanded from the field tables at compile time. ---

template <std::size_t R>
constexpr std::size_t kFieldCount = kRecords[R].fields.size();

#ifndef PYPY_VERSION

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

#else

// PyPy drops the documentation of getset descriptors. There numbers are read-only member
// descriptors, and the other fields properties; both keep it. Every C call costs PyPy a
// crossing and every object made in C a twin, so the date-time and text getters are Python
// code its JIT compiles: one member descriptor, which the class makes but does not keep (taken
// out of its dict at once), gives the record's own address, and the getter reads the stored
// bytes from there through cffi and builds the result itself. What it cannot build exactly (a
// leap second, a year outside 1..9999, an empty text) it leaves to the native getter, which
// also raises the errors. Enumerations keep the native getter: a member is a native object
// either way.
constexpr bool reads_in_python(FieldKind k) noexcept {
  return k == FieldKind::DateTime || k == FieldKind::Text;
}
template <std::size_t R>
constexpr std::size_t count_numeric() noexcept {
  std::size_t n = 0;
  for (const FieldDesc& f : kRecords[R].fields) n += is_numeric(f.kind);
  return n;
}
constexpr const char kAddressMember[] = "0";

static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(std::uintptr_t) == sizeof(Py_ssize_t));
constexpr Py_ssize_t kAddressAt = offsetof(abi::PairObject, address);
static_assert(offsetof(abi::CandleObject, address) == kAddressAt &&
              offsetof(abi::OrderObject, address) == kAddressAt &&
              offsetof(abi::PositionObject, address) == kAddressAt);

// The allocator of every record class: a zero-filled object that knows where it is.
PyObject* record_alloc(PyTypeObject* type, Py_ssize_t items) noexcept {
  PyObject* self = PyType_GenericAlloc(type, items);
  if (self)
    *reinterpret_cast<std::uintptr_t*>(reinterpret_cast<char*>(self) + kAddressAt) =
        reinterpret_cast<std::uintptr_t>(self);
  return self;
}

constexpr int member_type(FieldKind k) noexcept {
  return k == FieldKind::Float ? T_DOUBLE : k == FieldKind::Int64 ? T_LONG : T_INT;
}
template <std::size_t R>
constexpr auto build_members() noexcept {
  std::array<PyMemberDef, count_numeric<R>() + 2> out{};  // ends with a zeroed sentinel
  std::size_t n = 0;
  for (const FieldDesc& f : kRecords[R].fields)
    if (is_numeric(f.kind))
      out[n++] = PyMemberDef{f.name, member_type(f.kind), f.offset, READONLY, f.doc};
  out[n] = PyMemberDef{kAddressMember, T_PYSSIZET, kAddressAt, READONLY, nullptr};
  return out;
}
template <std::size_t R>
constinit auto g_members = build_members<R>();

template <std::size_t R, std::size_t I>
PyObject* property_get(PyObject*, PyObject* record) noexcept {
  if (TAVEX_UNLIKELY(!PyObject_TypeCheck(record, g_types[R]))) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                 kRecords[R].fields[I].name, kRecords[R].name, Py_TYPE(record)->tp_name);
    return nullptr;
  }
  return read_field<R, I>(record);
}
template <std::size_t R, std::size_t I>
constexpr void add_method(auto& out, std::size_t& n) noexcept {
  constexpr FieldDesc f = kRecords[R].fields[I];
  if constexpr (!is_numeric(f.kind))
    out[n++] = PyMethodDef{f.name, &property_get<R, I>, METH_O, f.doc};
}
template <std::size_t R, std::size_t... I>
constexpr auto build_methods(std::index_sequence<I...>) noexcept {
  std::array<PyMethodDef, kFieldCount<R> - count_numeric<R>()> out{};
  std::size_t n = 0;
  (add_method<R, I>(out, n), ...);
  return out;
}
template <std::size_t R>
constinit auto g_property_getters = build_methods<R>(std::make_index_sequence<kFieldCount<R>>());

// Each factory takes the class, the bound __get__ of its address member, where the field lies
// in the record and the native getter, and gives the field's getter. `type(self) is cls` keeps
// every other object on the native getter, which refuses it with the usual error; so does a
// zero address (an instance PyPy made without the class's allocator). The date-time getter
// learns the datetime class and UTC from its first native result, as the datetime module is
// imported on first use. It builds the result with the pure-Python datetime's own fields when
// a sample of both ways gives equal objects, which it checks once, and else with the
// constructor.
constexpr const char kGetterSource[] = R"(
try:
    from _cffi_backend import FFI
    ffi = FFI()
    cast, unpack = ffi.cast, ffi.unpack
    WORDS, CHARS, SIZES = ffi.typeof("uint32_t *"), ffi.typeof("char **"), ffi.typeof("intptr_t *")
except ImportError:
    cast = None

made = {}  # the datetime class -> how to build one, checked once for every getter

def builder(DateTime, UTC):
    if DateTime in made:
        return made[DateTime]
    def plain(y, mo, d, h, mi, s, us):
        return DateTime(y, mo, d, h, mi, s, us, UTC)
    make = plain
    try:
        from __pypy__._pypydatetime import dateinterop
        new = dateinterop.__new__
        def direct(y, mo, d, h, mi, s, us):
            o = new(DateTime)
            o._year = y; o._month = mo; o._day = d; o._hour = h; o._minute = mi
            o._second = s; o._microsecond = us; o._tzinfo = UTC; o._hashcode = -1; o._fold = 0
            return o
        if set(DateTime.__slots__) == {"_year", "_month", "_day", "_hour", "_minute", "_second",
                                       "_microsecond", "_tzinfo", "_hashcode", "_fold"}:
            for v in ((1, 1, 1, 0, 0, 0, 0), (2024, 2, 29, 23, 59, 59, 999999),
                      (9999, 12, 31, 12, 30, 7, 1)):
                a, b = direct(*v), plain(*v)
                if (type(a) is not type(b) or a != b or repr(a) != repr(b) or hash(a) != hash(b)
                        or a.__reduce__() != b.__reduce__() or a.fold != b.fold
                        or a.tzinfo is not b.tzinfo or a.timestamp() != b.timestamp()):
                    break
            else:
                make = direct
    except Exception:
        pass
    made[DateTime] = make
    return make

# PyPy makes a long object of an int from C; a parsed one is a machine int, added in a register.
def date_time(cls, address, at, native):
    if cast is None:
        return native
    at = int(str(at))
    make = None
    def get(self):
        nonlocal make
        if type(self) is cls and make is not None:
            a = address(self)
            if a:
                w = cast(WORDS, a + at)
                ys, t, us = w[0], w[1], w[2] >> 10
                year = ((ys >> 8) ^ 0x800000) - 0x800000 + 1970  # the upper 24 bits, signed
                if 0 < year < 10000 and us < 1000000:
                    return make(year, (t & 255) + 1, (t >> 8 & 255) + 1, t >> 16 & 255, t >> 24,
                                ys & 255, us)
        out = native(self)
        if make is None:
            make = builder(type(out), out.tzinfo)
        return out
    return get

def text(cls, address, at, native):
    if cast is None:
        return native
    at = int(str(at))
    def get(self):
        if type(self) is cls:
            a = address(self)
            if a:
                data, size = cast(CHARS, a + at)[0], cast(SIZES, a + at + 8)[0]
                if data and size > 0:
                    return unpack(data, size).decode()
        return native(self)
    return get
)";

// Where each getter finds its field's bytes; the source reads them at these offsets.
static_assert(offsetof(abi::StoredDateTime, month0) == 4 &&
              offsetof(abi::StoredDateTime, day0) == 5 && offsetof(abi::StoredDateTime, hour) == 6 &&
              offsetof(abi::StoredDateTime, minute) == 7 &&
              offsetof(abi::StoredDateTime, micros_nanos) == 8);
static_assert(offsetof(abi::Text, data) == 0 && offsetof(abi::Text, size) == 8);

// The module holding the two getter factories, made once (never released). A module, not a
// plain dict: PyPy's JIT folds the lookups of a module's globals and builtins.
PyObject* getter_factories() noexcept {
  static PyObject* made = nullptr;
  if (made) return made;
  Ref module = Ref::steal(PyModule_New("tavex"));
  PyObject* ns = module ? PyModule_GetDict(module.get()) : nullptr;
  if (!ns || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  Ref done = Ref::steal(PyRun_String(kGetterSource, Py_file_input, ns, ns));
  if (!done) return nullptr;
  if (!made) made = module.release();
  return made;
}

// Takes the address member out of the class: the bound __get__ of its descriptor.
Ref take_address(PyObject* type) noexcept {
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
  Ref descr = Ref::borrow(PyDict_GetItemString(dict, kAddressMember));
  if (!descr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "the address member is missing");
    return Ref();
  }
  if (PyDict_DelItemString(dict, kAddressMember) < 0) return Ref();
  return Ref::steal(PyObject_GetAttrString(descr.get(), "__get__"));
}

template <std::size_t R>
bool attach_properties(PyObject* type) noexcept {
  PyObject* factories = getter_factories();
  Ref address = factories ? take_address(type) : Ref();
  if (!address) return false;
  std::size_t m = 0;
  for (const FieldDesc& f : kRecords[R].fields) {
    if (is_numeric(f.kind)) continue;
    PyMethodDef& def = g_property_getters<R>[m++];
    Ref getter = Ref::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
    Ref doc = Ref::steal(PyUnicode_FromString(def.ml_doc));
    if (!getter || !doc) return false;
    if (reads_in_python(f.kind)) {
      Ref factory = Ref::steal(PyObject_GetAttrString(
          factories, f.kind == FieldKind::DateTime ? "date_time" : "text"));
      Ref at = Ref::steal(PyLong_FromSsize_t(f.offset));
      if (!factory || !at) return false;
      Ref native = std::move(getter);
      getter = Ref::steal(PyObject_CallFunctionObjArgs(factory.get(), type, address.get(), at.get(),
                                                       native.get(), nullptr));
      Ref name = Ref::steal(PyUnicode_FromString(f.name));
      if (!getter || !name) return false;
      if (getter.get() != native.get() &&
          (PyObject_SetAttrString(getter.get(), "__name__", name.get()) < 0 ||
           PyObject_SetAttrString(getter.get(), "__qualname__", name.get()) < 0 ||
           PyObject_SetAttrString(getter.get(), "__doc__", doc.get()) < 0))
        return false;
    }
    Ref property = Ref::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get(), Py_None, Py_None, doc.get(),
        nullptr));
    if (!property || PyObject_SetAttrString(type, f.name, property.get()) < 0) return false;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
}

// PyPy gives instances a __dict__ anyway; refuse every write with the texts CPython gives.
template <std::size_t R>
int record_setattro(PyObject*, PyObject* name, PyObject*) noexcept {
  const RecordDesc& d = kRecords[R];
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'",
                 Py_TYPE(name)->tp_name);
    return -1;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (!utf8) return -1;
  const std::string_view wanted(utf8, static_cast<std::size_t>(size));
  for (const FieldDesc& f : d.fields) {
    if (wanted == f.name) {
      PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable", name,
                   d.name);
      return -1;
    }
  }
  PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", d.name, name);
  return -1;
}

#endif

template <std::size_t R>
void record_dealloc(PyObject* self) noexcept {
  char* base = reinterpret_cast<char*>(self);
  for (const FieldDesc& f : kRecords[R].fields)
    if (f.kind == FieldKind::Text) PyMem_Free(reinterpret_cast<abi::Text*>(base + f.offset)->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances hold a reference to their class
}

#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030D0000
// CPython 3.13.0 enters a class's getsets into its dict with PyDict_SetDefaultRef, which
// reports success when its resize fails and leaves the dict broken: the next insertion
// crashes. So on 3.13 the field descriptors are entered after creation, with PyDict_SetItem.
#define TAVEX_GETSETS_AFTER_CREATION 1

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
#endif

template <std::size_t R>
PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRecords[R].doc)},
    {Py_tp_new, py::as_slot(&refuse_construction)},
    {Py_tp_dealloc, py::as_slot(&record_dealloc<R>)},
#if defined(TAVEX_GETSETS_AFTER_CREATION)
#elif !defined(PYPY_VERSION)
    {Py_tp_getset, g_getsets<R>.data()},
#else
    {Py_tp_alloc, py::as_slot(&record_alloc)},
    {Py_tp_members, g_members<R>.data()},
    {Py_tp_methods, kPyPyTypeMethods},
    {Py_tp_setattro, py::as_slot(&record_setattro<R>)},
#endif
    {0, nullptr},
};

template <std::size_t R>
PyType_Spec g_spec = {kRecords[R].spec_name, kRecords[R].basicsize, 0, Py_TPFLAGS_DEFAULT,
                      g_slots<R>};

// The class object (borrowed), made on first demand. A failure caches nothing, so a later
// demand tries again.
template <std::size_t R>
PyObject* record_class() noexcept {
  if (TAVEX_LIKELY(g_types[R] != nullptr)) return reinterpret_cast<PyObject*>(g_types[R]);
  Ref made = Ref::steal(py::type_from_spec(&g_spec<R>));
  if (!made) return nullptr;
#if defined(TAVEX_GETSETS_AFTER_CREATION)
  if (!add_getsets<R>(made.get())) return nullptr;
#elif defined(PYPY_VERSION)
  if (!drop_instance_dict(made.get()) || !attach_properties<R>(made.get())) return nullptr;
#endif
  if (!g_types[R]) g_types[R] = reinterpret_cast<PyTypeObject*>(made.release());
  return reinterpret_cast<PyObject*>(g_types[R]);
}

}  // namespace

PyObject* pair_class() noexcept { return record_class<detail::kPair>(); }
PyObject* candle_class() noexcept { return record_class<detail::kCandle>(); }
PyObject* order_class() noexcept { return record_class<detail::kOrder>(); }
PyObject* position_class() noexcept { return record_class<detail::kPosition>(); }

}  // namespace tavex::types
