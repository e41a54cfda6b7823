// Conversion of C++ exceptions into Python exceptions at the function boundary.
//
// Every function body runs under `guarded`: whatever it throws becomes exactly one Python
// exception, chosen by `raise_current_exception`:
//   PythonErrorSet          the exception a failed Python call already set, unchanged
//   PythonError             the class and text it names (the module's own checks)
//   engine::EngineError     InvalidConfig, ContractViolation -> ValueError with the bare message;
//                           BackendUnavailable, NotImplemented -> RuntimeError with the bare
//                           message; Core -> RuntimeError with the core error's display text
//   core::CoreError         RuntimeError with its display text (a core error that a function
//                           meets in its own input checks is raised as ValueError instead:
//                           throw `core_error_as_value_error(error)`)
//   predictor::PredictorError  InvalidInput -> ValueError with the message; InvalidModel ->
//                           RuntimeError with the message; Core -> RuntimeError with the core
//                           error's display text
//   shap::ShapError         InvalidInput -> ValueError, Runtime -> RuntimeError, with the message
//   std::bad_alloc          MemoryError
//   support::Panic, and anything else: PanicException with the panic's text
#pragma once

#include <string>

#include "core/error.hpp"
#include "engine/error.hpp"
#include "predictor/error.hpp"
#include "shap/error.hpp"
#include "python.hpp"

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

// The Python exception classes the module raises by itself.
enum class PyErrorKind { ValueError, RuntimeError, TypeError, OverflowError };

// A Python exception held as a value (class and text); the exception object is created only
// when it is raised at the boundary.
class PythonError : public std::exception {
 public:
  PythonError(PyErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static PythonError value_error(std::string m) { return {PyErrorKind::ValueError, std::move(m)}; }
  static PythonError runtime_error(std::string m) { return {PyErrorKind::RuntimeError, std::move(m)}; }
  static PythonError type_error(std::string m) { return {PyErrorKind::TypeError, std::move(m)}; }
  static PythonError overflow_error(std::string m) { return {PyErrorKind::OverflowError, std::move(m)}; }

  PyErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  PyErrorKind kind_;
  std::string message_;
};

// The engine's errors as Python sees them.
PythonError engine_error_to_pyerr(const engine::EngineError& error);
// The predictor's errors as Python sees them.
PythonError predictor_error_to_pyerr(const predictor::PredictorError& error);
// The explainer's errors as Python sees them.
PythonError shap_error_to_pyerr(const shap::ShapError& error);
// A core error met in a function's own input checks: ValueError with the display text.
PythonError core_error_as_value_error(const core::CoreError& error);

// Sets `error` as the interpreter's current exception.
void raise_python_error(const PythonError& error) noexcept;

// Sets the Python exception that matches the exception currently being handled. Call it only
// from inside a catch block.
void raise_current_exception() noexcept;

// Attaches `note` to the interpreter's current exception with its add_note method; a failure
// to attach is ignored and the exception stays as it was.
void add_note_to_current_exception(const std::string& note) noexcept;

// The qualified name of `object`'s type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

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
