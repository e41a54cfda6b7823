#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "core/error.hpp"
#include "engine/error.hpp"
#include "support/panic.hpp"

namespace kestrune::python {
namespace {

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  PyErr_SetString(type, message);
}

}  // namespace

PyObject* panic_exception_type() {
  // Never released: the class lives as long as the process.
  static PyObject* type =
      PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
  return type;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) raise_panic("a Python call failed without setting an exception");
  } catch (const engine::EngineError& error) {
    switch (error.kind()) {
      case engine::EngineErrorKind::InvalidConfig:
      case engine::EngineErrorKind::ContractViolation:
        PyErr_SetString(PyExc_ValueError, error.message().c_str());
        break;
      default:
        // A wrapped core error shows its own display text, without the engine's prefix.
        PyErr_SetString(PyExc_RuntimeError, error.message().c_str());
    }
  } catch (const core::CoreError& error) {
    PyErr_SetString(PyExc_RuntimeError, error.display().c_str());
  } catch (const support::Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("panic with a non-text payload");
  }
}

}  // namespace kestrune::python
