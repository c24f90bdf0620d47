// Failures as values: a failed call is kept as data until its entry routine raises it, once.
#pragma once

#include <cstdint>
#include <source_location>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

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
  Pending,   // the interpreter's error indicator is already set
  Type,      // TypeError
  Value,     // ValueError
  Overflow,  // OverflowError
  Helper,    // a helper error: RuntimeError with its message
  Panic,     // the internal failure exception
};

class Failure {
 public:
  static Failure pending() noexcept { return Failure(Kind::Pending, {}); }
  [[gnu::cold]] static Failure type(std::string text) { return Failure(Kind::Type, std::move(text)); }
  [[gnu::cold]] static Failure value(std::string text) { return Failure(Kind::Value, std::move(text)); }
  [[gnu::cold]] static Failure overflow(std::string text) {
    return Failure(Kind::Overflow, std::move(text));
  }
  // A helper error; carries a stack trace when the build captures them.
  [[gnu::cold]] static Failure helper(std::string message);
  // An internal failure: a state the module declares impossible or unimplemented.
  [[gnu::cold]] static Failure panic(std::string text,
                                     std::source_location where = std::source_location::current());

  Kind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }

  // Sets the interpreter's error indicator from this failure; always returns nullptr.
  [[gnu::cold]] PyObject* raise() && noexcept;

 private:
  Failure(Kind k, std::string t) noexcept : kind_(k), text_(std::move(t)) {}
  Kind kind_;
  std::string text_;
  std::source_location where_{};
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T v) noexcept(std::is_nothrow_move_constructible_v<T>) : v_(std::move(v)) {}
  Result(Failure f) noexcept : v_(std::move(f)) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() noexcept { return *std::get_if<0>(&v_); }
  Failure&& failure() noexcept { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, Failure> v_;
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
