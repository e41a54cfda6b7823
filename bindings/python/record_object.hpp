// Python objects that hold one C++ record, for the module's read-only result classes and
// handles: the record lives inside the object, is moved in at creation and dropped with it.
#pragma once

#include <new>
#include <string>
#include <utility>

#include "errors.hpp"
#include "python.hpp"
#include "support/panic.hpp"

namespace kestrune::python {

template <typename T>
struct RecordObject {
  PyObject ob_base;
  T value;
};

template <typename T>
T& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<T>*>(self)->value;
}

template <typename T>
void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of<T>(self).~T();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // heap types own a reference from each instance
}

// A new instance of `type` (a class holding T) owning `value`; throws PythonErrorSet when the
// allocation fails (the record is then dropped).
template <typename T>
PyObject* new_record_object(PyObject* type, T value) {
  auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(heap_type, Py_tp_alloc));
  PyObject* self = check(alloc(heap_type, 0));
  new (&record_of<T>(self)) T(std::move(value));
  return self;
}

// The same for a class whose type object is made on demand: a type that cannot be created is an
// internal failure.
template <typename T>
PyObject* new_record_object(PyObject* (*type_factory)(), const char* class_name, T value) {
  PyObject* type = type_factory();
  if (type == nullptr) {
    PyErr_Clear();
    support::panic(std::string("failed to create type object for `") + class_name + "`");
  }
  return new_record_object(type, std::move(value));
}

// Creates a heap type from `spec` once per process; later calls return the same object.
inline PyObject* type_from_spec_once(PyObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = PyType_FromSpec(&spec);
  return slot;
}

// Flags of the module's classes: final (no subclassing from Python) and immutable.
constexpr unsigned int kFinalClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// ...and for result classes that only native code creates.
constexpr unsigned int kResultClassFlags = kFinalClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace kestrune::python
