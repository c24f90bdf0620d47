// What the classes do differently on PyPy, defined in src/types/pypy.cpp for PyPy builds only:
// name these only where `if constexpr (py::kPyPy)` discards them on CPython, inside templates.
#pragma once

#include <cstddef>

#include "module/compat.hpp"

namespace tavex::types::pypy {

// PyPy ignores a missing Py_TPFLAGS_BASETYPE and gives every instance a __dict__: the
// PyType_Spec of enumeration class `index`, the given one's slots with a subclass veto and a
// refusal of every attribute write added (made once per class, kept for the life of the process).
PyType_Spec* enum_spec(std::size_t index, const PyType_Spec& spec) noexcept;

// The PyType_Spec of record class `record` (indexed like kRecords): numbers as member
// descriptors, the other fields filled in by finish_record_class, the same veto and refusal.
PyType_Spec* record_spec(std::size_t record) noexcept;

// cpyext puts __dict__ and __weakref__ descriptors into every class it makes; this takes them
// out of a new class, so that instances show neither. False with an exception set.
bool drop_instance_dict(PyObject* type) noexcept;

// What a record class made from record_spec still needs: drop_instance_dict, and a property
// for each text, enumeration and date-time field. False with an exception set.
bool finish_record_class(std::size_t record, PyObject* type) noexcept;

}  // namespace tavex::types::pypy
