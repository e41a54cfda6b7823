// Module start-up: multi-phase initialisation with one execution slot that adds the registered
// classes and then the registered functions, in their fixed order, each also listed in __all__.
// Nothing else happens at import: no worker pool, no environment reading.
#include "errors.hpp"
#include "registry.hpp"
#include "support/panic.hpp"

namespace kestrune::python {
namespace {

void append_to_all(PyObject* module, PyObject* name) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    all = Ref(check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PythonErrorSet{};
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) != 0) {
    PyErr_Clear();
    support::panic("could not append __name__ to __all__");
  }
}

void add_named(PyObject* module, PyObject* name, PyObject* object) {
  append_to_all(module, name);
  if (PyObject_SetAttr(module, name, object) != 0) throw PythonErrorSet{};
}

void add_class(PyObject* module, TypeFactory factory) {
  PyObject* type = check(factory());
  Ref name(check(PyObject_GetAttrString(type, "__name__")));
  add_named(module, name.get(), type);
}

void add_function(PyObject* module, PyMethodDef* definition) {
  Ref module_name(check(PyModule_GetNameObject(module)));
  Ref function(check(PyCFunction_NewEx(definition, module, module_name.get())));
  Ref name(check(PyObject_GetAttrString(function.get(), "__name__")));
  add_named(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
  return guarded(
      [&] {
        if (module == nullptr) {
          if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
          }
          throw PythonErrorSet{};
        }
        if (!PyModule_Check(module)) {
          const std::string type = type_name_of(module);
          PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'", type.c_str());
          throw PythonErrorSet{};
        }
        for (const RegisteredClass& entry : registered_classes()) add_class(module, entry.factory);
        for (const RegisteredFunction& entry : registered_functions()) add_function(module, entry.definition);
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
