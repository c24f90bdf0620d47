// Turning failures into Python exceptions, and the internal failure exception class.
#include "module/failure.hpp"

#include <sys/prctl.h>

#include <cstdio>
#include <cstring>
#include <new>

#if TAVEX_BACKTRACE
#include <execinfo.h>

#include <cstdlib>
#endif

namespace tavex::py {
namespace {

// Sets `type` with the whole text, NUL bytes included.
void set_text(PyObject* type, const std::string& text) noexcept {
  Ref msg = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                            "replace"));
  if (msg) PyErr_SetObject(type, msg.get());
}

PyObject* g_panic_type = nullptr;  // created once, kept for the life of the process

constexpr const char kPanicDoc[] =
    "Signals an internal failure of tavex: a state the module declares impossible or not yet\n"
    "implemented. Like SystemExit it derives from BaseException, not Exception, so that it\n"
    "usually propagates to the top of the program instead of being caught by accident.";

// The calling thread's name, as pthread_getname_np gives it for the calling thread; prctl is
// in every glibc's libc, where pthread_getname_np was in libpthread until 2.34.
std::string current_thread_name() {
  char name[16 + 1] = {};  // the kernel's names are 15 bytes and a NUL
  if (prctl(PR_GET_NAME, name) != 0 || name[0] == '\0') return "<unnamed>";
  return name;
}

#if TAVEX_BACKTRACE
std::string capture_backtrace() {
  void* frames[64];
  const int n = backtrace(frames, 64);
  char** symbols = backtrace_symbols(frames, n);
  std::string out;
  for (int i = 1; i < n; ++i) {  // frame 0 is this function
    out += "  ";
    out += symbols ? symbols[i] : "?";
    out += '\n';
  }
  std::free(symbols);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}
#endif

// str(exc), or nullopt when even that fails (the failure is cleared).
bool exception_text(PyObject* exc, std::string& out) {
  Ref s = Ref::steal(PyObject_Str(exc));
  if (!s) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

void print_traceback(PyObject* type, PyObject* value, PyObject* tb) {
  Ref mod = Ref::steal(PyImport_ImportModule("traceback"));
  Ref done = mod ? Ref::steal(PyObject_CallMethod(mod.get(), "print_exception", "OOO", type,
                                                  value, tb ? tb : Py_None))
                 : Ref();
  if (!done) PyErr_Clear();
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (TAVEX_LIKELY(g_panic_type != nullptr)) return g_panic_type;
  PyObject* made = PyErr_NewExceptionWithDoc("tavex.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  if (!made) return nullptr;
  if (g_panic_type) {  // another thread got there while the interpreter ran Python code
    Ref drop = Ref::steal(made);
    return g_panic_type;
  }
  g_panic_type = made;
  return g_panic_type;
}

Failure Failure::helper(std::string message) {
#if TAVEX_BACKTRACE
  message += "\n\nStack backtrace:\n";
  message += capture_backtrace();
#endif
  return Failure(Kind::Helper, std::move(message));
}

Failure Failure::panic(std::string text, SourceLocation where) {
  return Failure(Kind::Panic, std::move(text), where);
}

PyObject* Failure::raise() && noexcept {
  try {
    switch (kind_) {
      case Kind::None:  // a raise without a failure is a bug of the module
      case Kind::Pending:
        if (!PyErr_Occurred())
          PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
      case Kind::Type:
        set_text(PyExc_TypeError, detail_->text);
        return nullptr;
      case Kind::Value:
        set_text(PyExc_ValueError, detail_->text);
        return nullptr;
      case Kind::Overflow:
        set_text(PyExc_OverflowError, detail_->text);
        return nullptr;
      case Kind::Helper:
        set_text(PyExc_RuntimeError, detail_->text);
        return nullptr;
      case Kind::Panic: {
        std::fprintf(stderr, "tavex: thread '%s' hit an internal failure at %s:%u:\n%s\n",
                     current_thread_name().c_str(), detail_->where.file_name(),
                     static_cast<unsigned>(detail_->where.line()), detail_->text.c_str());
        std::fflush(stderr);
        PyObject* type = panic_exception_type();
        if (type) set_text(type, detail_->text);
        return nullptr;
      }
    }
  } catch (...) {  // only std::bad_alloc can get here, from building the thread name
    return PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* raise_unexpected_exception() noexcept {
  try {
    return Failure::panic("unexpected C++ exception").raise();
  } catch (...) {
    return PyErr_NoMemory();
  }
}

std::string refusal_text(PyObject* obj, const char* target) {
  std::string name;
  PyTypeObject* type = Py_TYPE(obj);
  const char* utf8 = nullptr;
  Ref qualname;
  // With the plain metaclass, read where type.__qualname__ reads, without allocating: running
  // out of memory then ends in MemoryError when the error is raised, not in a wrong name.
  // PyPy's type objects are not filled in so: there the attribute is read.
  if (!kPyPy && Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) {
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
      PyObject* q = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
      utf8 = q && PyUnicode_Check(q) ? PyUnicode_AsUTF8(q) : nullptr;
    } else {
      const char* dot = std::strrchr(type->tp_name, '.');
      utf8 = dot ? dot + 1 : type->tp_name;
    }
  } else {
    qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    utf8 = qualname && PyUnicode_Check(qualname.get()) ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  }
  if (utf8) {
    name = utf8;
  } else {
    PyErr_Clear();
    name = "<failed to extract type name>";
  }
  return cat({"'", name, "' object cannot be converted to '", target, "'"});
}

Failure argument_type_error(const char* param, std::string text) {
  return Failure::type(cat({"argument '", param, "': ", text}));
}

Failure collect_conversion_error(const char* param) noexcept {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return Failure::pending();  // nothing to collect: raise() reports SystemError
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
  if (tb && v) PyException_SetTraceback(v.get(), tb);

  PyObject* panic = panic_exception_type();
  if (!panic) return Failure::pending();  // its creation error replaces the original
  try {
    if (PyErr_GivenExceptionMatches(t.get(), panic)) {
      std::string text;
      if (!v || !exception_text(v.get(), text)) text = "Unwrapped panic from Python code";
      std::fprintf(stderr, "tavex: an internal failure exception was raised by Python code "
                           "while converting argument '%s'; raising it again:\n", param);
      std::fflush(stderr);
      print_traceback(t.get(), v ? v.get() : Py_None, trace.get());
      PyErr_SetString(panic, text.c_str());
      return Failure::pending();
    }
    if (t.get() == PyExc_TypeError && v) {
      std::string text;
      if (exception_text(v.get(), text)) {
        Ref cause = Ref::steal(PyException_GetCause(v.get()));
        Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %s", param, text.c_str()));
        Ref wrapped = msg ? Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr)) : Ref();
        if (!wrapped) return Failure::pending();
        if (cause) PyException_SetCause(wrapped.get(), cause.release());
        PyErr_SetObject(PyExc_TypeError, wrapped.get());
        return Failure::pending();
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return Failure::pending();
  }
  PyErr_Restore(t.release(), v.release(), trace.release());
  return Failure::pending();
}

void chain_runtime_error(const std::string& message) noexcept {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
  if (tb && v) PyException_SetTraceback(v.get(), tb);
  Ref top = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
  if (!top) return;  // the new failure is pending instead
  if (v) PyException_SetCause(top.get(), v.release());
  PyErr_SetObject(PyExc_RuntimeError, top.get());
}

}  // namespace tavex::py
