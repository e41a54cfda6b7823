#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "support/panic.hpp"

namespace kestrune::python {
namespace {

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  PyErr_SetString(type, message);
}

PyObject* exception_class(PyErrorKind kind) noexcept {
  switch (kind) {
    case PyErrorKind::ValueError:
      return PyExc_ValueError;
    case PyErrorKind::RuntimeError:
      return PyExc_RuntimeError;
    case PyErrorKind::TypeError:
      return PyExc_TypeError;
    case PyErrorKind::OverflowError:
      return PyExc_OverflowError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

PyObject* panic_exception_type() {
  // Never released: the class lives as long as the process.
  static PyObject* type =
      PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
  return type;
}

PythonError engine_error_to_pyerr(const engine::EngineError& error) {
  switch (error.kind()) {
    case engine::EngineErrorKind::InvalidConfig:
    case engine::EngineErrorKind::ContractViolation:
      return PythonError::value_error(error.message());
    case engine::EngineErrorKind::BackendUnavailable:
    case engine::EngineErrorKind::NotImplemented:
      return PythonError::runtime_error(error.message());
    case engine::EngineErrorKind::Core:
      // The wrapped error's own display text, without the engine's "core error: " prefix.
      return PythonError::runtime_error(error.core() ? error.core()->display() : error.message());
  }
  return PythonError::runtime_error(error.message());
}

PythonError predictor_error_to_pyerr(const predictor::PredictorError& error) {
  switch (error.kind()) {
    case predictor::PredictorErrorKind::InvalidInput:
      return PythonError::value_error(error.message());
    case predictor::PredictorErrorKind::InvalidModel:
      return PythonError::runtime_error(error.message());
    case predictor::PredictorErrorKind::Core:
      // The message of a wrapped core error is already its display text ("serialization error: ...").
      return PythonError::runtime_error(error.core() ? error.core()->display() : error.message());
  }
  return PythonError::runtime_error(error.message());
}

PythonError shap_error_to_pyerr(const shap::ShapError& error) {
  return error.kind() == shap::ShapErrorKind::InvalidInput ? PythonError::value_error(error.message())
                                                           : PythonError::runtime_error(error.message());
}

PythonError core_error_as_value_error(const core::CoreError& error) {
  return PythonError::value_error(error.display());
}

void raise_python_error(const PythonError& error) noexcept {
  PyErr_SetString(exception_class(error.kind()), error.message().c_str());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) raise_panic("a Python call failed without setting an exception");
  } catch (const PythonError& error) {
    raise_python_error(error);
  } catch (const engine::EngineError& error) {
    raise_python_error(engine_error_to_pyerr(error));
  } catch (const predictor::PredictorError& error) {
    raise_python_error(predictor_error_to_pyerr(error));
  } catch (const shap::ShapError& error) {
    raise_python_error(shap_error_to_pyerr(error));
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

void add_note_to_current_exception(const std::string& note) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyObject* result = PyObject_CallMethod(value, "add_note", "s#", note.data(),
                                           static_cast<Py_ssize_t>(note.size()));
    if (result == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(result);
    }
  }
  PyErr_Restore(type, value, traceback);
}

std::string type_name_of(PyObject* object) {
  Ref name(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

}  // namespace kestrune::python
