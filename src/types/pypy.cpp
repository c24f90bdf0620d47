// The classes on PyPy: sealed by hand where cpyext does not seal them, and record fields read
// by Python getters that PyPy's JIT compiles (src/types/pypy_records.py, embedded by the build).
#include "types/pypy.hpp"

#ifdef PYPY_VERSION

#include <structmember.h>  // T_DOUBLE and READONLY for the member descriptors

#include <array>
#include <bit>
#include <string_view>
#include <utility>

#include "pypy_records_py.hpp"  // kPyPyRecords: generated from src/types/pypy_records.py
#include "types/record_fields.hpp"

namespace tavex::types::pypy {
namespace {

using py::Ref;

// --- Sealing ---

// The class statement fails, as CPython's does without the base-class flag.
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) noexcept {
  PyObject* base = reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(cls)->tp_base);
  Ref name = Ref::steal(PyObject_GetAttrString(base, "__name__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "type '%U' is not an acceptable base type", name.get());
  return nullptr;
}
PyMethodDef kSealedClassMethods[] = {
    {"__init_subclass__", py::as_cfunction(&refuse_subclass),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Members have no attributes of their own to write.
int enum_setattro(PyObject* self, PyObject* name, PyObject*) noexcept {
  Ref type_name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
  if (!type_name) return -1;
  PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name.get(), name);
  return -1;
}

// Records refuse every write with the texts CPython gives.
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

// --- Record fields ---

// PyPy drops the documentation of getset descriptors. There numbers are read-only member
// descriptors, and the other fields properties; both keep it. The date-time and text getters
// are the Python ones of pypy_records.py, which read the record through its own address: one
// member descriptor, which the class makes but does not keep (taken out of its dict at once),
// gives it. Enumerations keep the native getter: a member is a native object either way.
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

// The value of the line `NAME = <integer>` of the embedded source; -1 when it has none.
consteval long python_constant(std::string_view name) {
  const std::string_view source = kPyPyRecords;
  for (std::size_t at = source.find(name); at != std::string_view::npos;
       at = source.find(name, at + 1)) {
    std::string_view rest = source.substr(at + name.size());
    if ((at != 0 && source[at - 1] != '\n') || !rest.starts_with(" = ")) continue;
    rest.remove_prefix(3);
    const int base = rest.starts_with("0x") ? 16 : 10;
    if (base == 16) rest.remove_prefix(2);
    long value = 0;
    for (const char c : rest) {
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0 || digit >= base) break;
      value = value * base + digit;
    }
    return value;
  }
  return -1;
}
// Where the getters find a field's bytes and how they unpack them: the source's numbers are
// the header's.
static_assert(python_constant("EPOCH_YEAR") == abi::StoredDateTime::kEpochYear &&
              python_constant("YEAR_SHIFT") == abi::StoredDateTime::kYearShift &&
              python_constant("SECOND_MASK") == abi::StoredDateTime::kSecondMask &&
              python_constant("MICROS_SHIFT") == abi::StoredDateTime::kMicrosShift &&
              python_constant("TEXT_SIZE_AT") == offsetof(abi::Text, size),
              "src/types/pypy_records.py unpacks records otherwise than <tavex/abi.hpp> packs them");
static_assert(offsetof(abi::StoredDateTime, year_second) == 0 &&
              offsetof(abi::StoredDateTime, month0) == 4 &&
              offsetof(abi::StoredDateTime, day0) == 5 && offsetof(abi::StoredDateTime, hour) == 6 &&
              offsetof(abi::StoredDateTime, minute) == 7 &&
              offsetof(abi::StoredDateTime, micros_nanos) == 8 && offsetof(abi::Text, data) == 0,
              "the three words src/types/pypy_records.py reads");

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

// The native getter of a field: as a method of the property's, it gets the record as argument.
template <std::size_t R, std::size_t I>
PyObject* property_get(PyObject*, PyObject* record) noexcept {
  if (TAVEX_UNLIKELY(!PyObject_TypeCheck(record, g_record_types[R]))) {
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

// The module of pypy_records.py, made once (never released). A module, not a plain dict:
// PyPy's JIT folds the lookups of a module's globals and builtins.
PyObject* getter_factories() noexcept {
  static PyObject* made = nullptr;
  if (made) return made;
  Ref code = Ref::steal(Py_CompileString(kPyPyRecords, kPyPyRecordsFile, Py_file_input));
  Ref module = code ? Ref::steal(PyModule_New("tavex.pypy_records")) : Ref();
  PyObject* ns = module ? PyModule_GetDict(module.get()) : nullptr;
  if (!ns || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns, ns));
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
      Ref name = Ref::steal(PyUnicode_FromString(f.name));
      Ref at = Ref::steal(PyLong_FromSsize_t(f.offset));
      if (!factory || !name || !at) return false;
      Ref native = std::move(getter);
      getter = Ref::steal(PyObject_CallFunctionObjArgs(factory.get(), type, name.get(), doc.get(),
                                                       address.get(), at.get(), native.get(),
                                                       nullptr));
      if (!getter) return false;
    }
    Ref property = Ref::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get(), Py_None, Py_None, doc.get(),
        nullptr));
    if (!property || PyObject_SetAttrString(type, f.name, property.get()) < 0) return false;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
}

template <std::size_t R>
PyType_Slot g_record_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRecords[R].doc)},
    {Py_tp_new, py::as_slot(&refuse_construction)},
    {Py_tp_dealloc, py::as_slot(&record_dealloc<R>)},
    {Py_tp_alloc, py::as_slot(&record_alloc)},
    {Py_tp_members, g_members<R>.data()},
    {Py_tp_methods, kSealedClassMethods},
    {Py_tp_setattro, py::as_slot(&record_setattro<R>)},
    {0, nullptr},
};
template <std::size_t R>
PyType_Spec g_record_spec = {kRecords[R].spec_name, kRecords[R].basicsize, 0, Py_TPFLAGS_DEFAULT,
                             g_record_slots<R>};

struct RecordClass {
  PyType_Spec* spec;
  bool (*attach)(PyObject*) noexcept;
};
template <std::size_t... R>
constexpr std::array<RecordClass, sizeof...(R)> record_classes(std::index_sequence<R...>) {
  return {RecordClass{&g_record_spec<R>, &attach_properties<R>}...};
}
constexpr auto kRecordClasses = record_classes(std::make_index_sequence<std::size(kRecords)>());

}  // namespace

PyType_Spec* enum_spec(std::size_t index, const PyType_Spec& spec) noexcept {
  static std::array<PyType_Slot, 16> slots[kEnumClasses];
  static PyType_Spec specs[kEnumClasses];
  std::array<PyType_Slot, 16>& out = slots[index];
  std::size_t n = 0;
  for (const PyType_Slot* s = spec.slots; s->slot != 0; ++s) {
    if (n + 3 == out.size()) {  // no room left for the two slots below and the end
      PyErr_SetString(PyExc_SystemError, "an enumeration class with too many slots");
      return nullptr;
    }
    out[n++] = *s;
  }
  out[n++] = {Py_tp_methods, kSealedClassMethods};
  out[n++] = {Py_tp_setattro, py::as_slot(&enum_setattro)};
  out[n] = {0, nullptr};
  specs[index] = spec;
  specs[index].slots = out.data();
  return &specs[index];
}

PyType_Spec* record_spec(std::size_t record) noexcept { return kRecordClasses[record].spec; }

bool drop_instance_dict(PyObject* type) noexcept {
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
  for (const char* name : {"__dict__", "__weakref__"})
    if (PyDict_GetItemString(dict, name) && PyDict_DelItemString(dict, name) < 0) return false;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
}

bool finish_record_class(std::size_t record, PyObject* type) noexcept {
  return drop_instance_dict(type) && kRecordClasses[record].attach(type);
}

}  // namespace tavex::types::pypy

#endif  // PyPy
