// Failures as values: a failed call is kept as data until its entry routine raises it, once.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <memory>
#include <type_traits>

#include "module/ref.hpp"

namespace tavex::py {

// Joins texts for error messages (gcc 12 misreads `"..." + std::string` at -O3 as an
// overlapping copy, so messages are built by appending).
[[gnu::cold]] inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

enum class Kind : std::uint8_t {
  None,      // no failure: the Result holds a value
  Pending,   // the interpreter's error indicator is already set
  Type,      // TypeError
  Value,     // ValueError
  Overflow,  // OverflowError
  Helper,    // a helper error: RuntimeError with its message
  Panic,     // the internal failure exception
};

// Where an internal failure was made. std::source_location needs a newer standard library
// than the oldest compilers the wheels are built with (GCC 10, libstdc++ under clang 14);
// the builtins behind it are older and give the same answer.
struct SourceLocation {
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          int line = __builtin_LINE()) noexcept {
    return {file, line};
  }
  const char* file_name() const noexcept { return file_; }
  int line() const noexcept { return line_; }
  const char* file_ = "";
  int line_ = 0;
};

// A failed call, kept as data until the entry routine raises it. It is one byte and a
// pointer, so that a Result costs next to nothing on the path that succeeds; the text is
// allocated only when a failure is made.
class Failure {
 public:
  Failure() noexcept = default;  // no failure
  static Failure pending() noexcept { return Failure(Kind::Pending); }
  [[gnu::cold]] static Failure type(std::string text) { return Failure(Kind::Type, std::move(text)); }
  [[gnu::cold]] static Failure value(std::string text) { return Failure(Kind::Value, std::move(text)); }
  [[gnu::cold]] static Failure overflow(std::string text) {
    return Failure(Kind::Overflow, std::move(text));
  }
  // A helper error; carries a stack trace when the build captures them.
  [[gnu::cold]] static Failure helper(std::string message);
  // An internal failure: a state the module declares impossible or unimplemented.
  [[gnu::cold]] static Failure panic(std::string text,
                                     SourceLocation where = SourceLocation::current());

  Failure(Failure&&) noexcept = default;
  Failure& operator=(Failure&&) noexcept = default;
  // Only a failure with a text owns a detail. Testing the kind first lets the compiler drop
  // this destructor wherever ok() has just been tested, i.e. on every success path.
  ~Failure() {
    if (kind_ <= Kind::Pending) static_cast<void>(detail_.release());
  }

  Kind kind() const noexcept { return kind_; }

  // Sets the interpreter's error indicator from this failure; always returns nullptr.
  [[gnu::cold]] PyObject* raise() && noexcept;

 private:
  struct Detail {
    std::string text;
    SourceLocation where;
  };
  explicit Failure(Kind k) noexcept : kind_(k) {}
  Failure(Kind k, std::string t, SourceLocation where = {})
      : kind_(k), detail_(std::make_unique<Detail>(Detail{std::move(t), where})) {}
  Kind kind_ = Kind::None;
  std::unique_ptr<Detail> detail_;
};

// A value or a failure. T must be cheap to default-construct (a Ref, a number, a view).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T v) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(v)) {}
  Result(Failure f) noexcept : failure_(std::move(f)) {}
  bool ok() const noexcept { return failure_.kind() == Kind::None; }
  T& value() noexcept { return value_; }
  Failure&& failure() noexcept { return std::move(failure_); }

 private:
  T value_{};
  Failure failure_;
};

// The internal failure exception class, created on first use and never released.
// Returns a borrowed reference, or nullptr with the indicator set.
PyObject* panic_exception_type() noexcept;

// Takes the exception the interpreter just raised while converting the argument `param`
// and applies the argument rules: an exact TypeError is raised again with the prefix
// "argument '<param>': "; an internal failure exception from Python code becomes a fresh
// one; anything else stays as it is. Returns a pending failure.
[[gnu::cold]] Failure collect_conversion_error(const char* param) noexcept;

// "'<qualname>' object cannot be converted to '<target>'", for an object of the wrong kind.
[[gnu::cold]] std::string refusal_text(PyObject* obj, const char* target);

// Raises a TypeError that carries the argument prefix.
[[gnu::cold]] Failure argument_type_error(const char* param, std::string text);

// Raises `top` (a RuntimeError with this message) whose __cause__ is the pending exception.
[[gnu::cold]] void chain_runtime_error(const std::string& message) noexcept;

}  // namespace tavex::py
