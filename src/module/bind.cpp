// The out-of-line argument binder: keywords, and the texts of every binding error.
#include "module/bind.hpp"

#include <cstring>
#include <string>

namespace tavex::py {
namespace {

// Keyword names interned once per parameter name, so a call site's interned keyword
// matches by pointer before any text is compared.
PyObject* interned_name(const char* name) noexcept {
  struct Entry {
    const char* name;
    PyObject* str;
  };
  static Entry cache[16];
  for (Entry& e : cache) {
    if (e.name == name) return e.str;
    if (e.name == nullptr) {
      PyObject* s = PyUnicode_InternFromString(name);
      if (!s) {
        PyErr_Clear();
        return nullptr;
      }
      e = {name, s};
      return s;
    }
  }
  return nullptr;
}

Failure too_many_positional(const ParamSpec& params, Py_ssize_t nargs) {
  return Failure::type(cat({params.function, "() takes ", std::to_string(params.count),
                           " positional arguments but ", std::to_string(nargs),
                           nargs == 1 ? " was given" : " were given"}));
}

Failure missing(const ParamSpec& params, const Bound& b) {
  std::string list;
  int k = 0;
  for (int i = 0; i < params.required; ++i) {
    if (b[i]) continue;
    list.append(k++ ? " and '" : "'").append(params.names[static_cast<std::size_t>(i)]).append("'");
  }
  return Failure::type(cat({params.function, "() missing ", std::to_string(k),
                           k == 1 ? " required positional argument: " : " required positional arguments: ",
                           list}));
}

}  // namespace

Result<Bound> bind_slow(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (nargs > params.count) return too_many_positional(params, nargs);
  Bound b;
  for (Py_ssize_t i = 0; i < nargs; ++i) b.slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int found = -1;
    for (int i = 0; i < params.count; ++i)
      if (key == interned_name(params.names[static_cast<std::size_t>(i)])) found = i;
    if (found < 0) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (!text) {  // a name that is no valid UTF-8 names no parameter either
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     params.function, key);
        return Failure::pending();
      }
      for (int i = 0; i < params.count; ++i) {
        const char* name = params.names[static_cast<std::size_t>(i)];
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(name, text, static_cast<std::size_t>(size)) == 0)
          found = i;
      }
      if (found < 0)
        return Failure::type(cat({params.function, "() got an unexpected keyword argument '",
                                 std::string_view(text, static_cast<std::size_t>(size)), "'"}));
    }
    if (found < nargs)
      return Failure::type(cat({params.function, "() got multiple values for argument '",
                               params.names[static_cast<std::size_t>(found)], "'"}));
    b.slots[static_cast<std::size_t>(found)] = args[nargs + k];
  }
  for (int i = 0; i < params.required; ++i)
    if (!b[i]) return missing(params, b);
  return b;
}

}  // namespace tavex::py
