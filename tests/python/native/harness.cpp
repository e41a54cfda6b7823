#include "harness.hpp"

#include "errors.hpp"

namespace kestrune::python::testing {
namespace {

std::string text_of(PyObject* object) {
  Ref text(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<str failed>";
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<utf8 failed>";
  }
  return utf8;
}

PyObject* builtin(const char* name) {
  Ref builtins(PyImport_ImportModule("builtins"));
  return PyObject_GetAttrString(builtins.get(), name);
}

// Takes the current exception and renders it as "Type: message | note: ...".
std::string describe_current_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref(type), value_ref(value), traceback_ref(traceback);
  Ref name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  std::string text = text_of(name.get()) + ": " + text_of(value);
  Ref notes(PyObject_GetAttrString(value, "__notes__"));
  if (!notes) {
    PyErr_Clear();
  } else {
    const Py_ssize_t count = PyList_Size(notes.get());
    for (Py_ssize_t i = 0; i < count; ++i) text += " | note: " + text_of(PyList_GetItem(notes.get(), i));
  }
  return text;
}

}  // namespace

PyObject* test_namespace() {
  static PyObject* globals = [] {
    PyObject* dict = PyDict_New();
    Ref builtins(PyImport_ImportModule("builtins"));
    PyDict_SetItemString(dict, "__builtins__", builtins.get());
    return dict;
  }();
  return globals;
}

void define(PyMethodDef* definition) {
  PyObject* function = PyCFunction_NewEx(definition, nullptr, nullptr);
  ASSERT_NE(function, nullptr);
  define_object(definition->ml_name, function);
}

void define_object(const char* name, PyObject* object) {
  ASSERT_NE(object, nullptr);
  PyDict_SetItemString(test_namespace(), name, object);
  Py_DECREF(object);
}

void run(const std::string& statements) {
  Ref exec(builtin("exec"));
  Ref code(PyUnicode_FromString(statements.c_str()));
  Ref result(PyObject_CallFunctionObjArgs(exec.get(), code.get(), test_namespace(), nullptr));
  if (!result) FAIL() << describe_current_exception();
}

std::string eval(const std::string& expression) {
  Ref evaluate(builtin("eval"));
  Ref code(PyUnicode_FromString(expression.c_str()));
  Ref result(PyObject_CallFunctionObjArgs(evaluate.get(), code.get(), test_namespace(), nullptr));
  if (!result) return describe_current_exception();
  Ref repr(PyObject_Repr(result.get()));
  return text_of(repr.get());
}

}  // namespace kestrune::python::testing
