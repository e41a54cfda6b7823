// Module start-up: multi-phase initialisation with one execution slot that registers the
// classes and then the functions, each also listed in __all__.
#include "errors.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

void append_to_all(PyObject* module, const char* name) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    all = Ref(check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PythonErrorSet{};
  }
  Ref text(check(PyUnicode_FromString(name)));
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) != 0) {
    PyErr_Clear();
    support::panic("could not append __name__ to __all__");
  }
}

void add_named(PyObject* module, const char* name, PyObject* object) {
  append_to_all(module, name);
  if (PyObject_SetAttrString(module, name, object) != 0) throw PythonErrorSet{};
}

void add_class(PyObject* module, PyObject* (*type_of)()) {
  PyObject* type = check(type_of());
  Ref name(check(PyObject_GetAttrString(type, "__name__")));
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) throw PythonErrorSet{};
  add_named(module, text, type);
}

void add_function(PyObject* module, PyMethodDef* definition) {
  Ref module_name(check(PyModule_GetNameObject(module)));
  Ref function(check(PyCFunction_NewEx(definition, module, module_name.get())));
  Ref name(check(PyObject_GetAttrString(function.get(), "__name__")));
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) throw PythonErrorSet{};
  add_named(module, text, function.get());
}

int exec_module(PyObject* module) {
  return guarded(
      [&] {
        if (!PyModule_Check(module)) {
          PyErr_SetString(PyExc_TypeError, "expected a module object");
          throw PythonErrorSet{};
        }
        add_class(module, native_runtime_info_type);
        add_function(module, &native_runtime_info_def);
        return 0;
      },
      -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_kestrune", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrune::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kestrune() {
  return PyModuleDef_Init(&kestrune::python::module_definition);
}
