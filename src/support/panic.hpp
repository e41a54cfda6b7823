// The one exception type for broken internal invariants: a failure that only a bug can cause.
// The Python module raises it as PanicException; it is never used for bad user input.
#pragma once

#include <exception>
#include <string>

namespace kestrune::support {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// Checks an invariant that holds unless the code itself is wrong.
inline void invariant(bool holds, const char* what) {
  if (!holds) panic(std::string("internal invariant violated: ") + what);
}

}  // namespace kestrune::support
