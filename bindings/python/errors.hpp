// Conversion of C++ exceptions into Python exceptions at the function boundary.
#pragma once

#include "python.hpp"
#include "support/panic.hpp"

namespace kestrune::python {

// PanicException: created once per process, derived from BaseException so that
// `except Exception` does not swallow an internal invariant failure.
PyObject* panic_exception_type();

// Thrown when a Python API call failed and already set the interpreter's exception; the
// boundary leaves that exception as it is.
struct PythonErrorSet {};

// Returns `object`, or throws PythonErrorSet when it is null (the failed call set the error).
inline PyObject* check(PyObject* object) {
  if (object == nullptr) throw PythonErrorSet{};
  return object;
}

// Sets the Python exception that matches the exception currently being handled. Call it only
// from inside a catch block.
void raise_current_exception() noexcept;

// Runs `body` and converts any C++ exception it throws; returns `failure` in that case.
template <typename F, typename R>
R guarded(F&& body, R failure) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return failure;
  }
}

}  // namespace kestrune::python
