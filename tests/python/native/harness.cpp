#include "harness.hpp"

namespace kestrune::python::testing {
namespace {

PyObject* test_namespace() {
  static PyObject* globals = [] {
    PyObject* dict = PyDict_New();
    Ref builtins(PyImport_ImportModule("builtins"));
    PyDict_SetItemString(dict, "__builtins__", builtins.get());
    return dict;
  }();
  return globals;
}

// Calls the builtin `name` ("exec" or "eval") on `code` in the test namespace; prints any exception.
PyObject* call_builtin(const char* name, const std::string& code) {
  Ref builtins(PyImport_ImportModule("builtins"));
  Ref function(PyObject_GetAttrString(builtins.get(), name));
  Ref text(PyUnicode_FromString(code.c_str()));
  PyObject* result = PyObject_CallFunctionObjArgs(function.get(), text.get(), test_namespace(), nullptr);
  if (result == nullptr) PyErr_Print();
  return result;
}

}  // namespace

void define(PyMethodDef* definition) {
  Ref function(PyCFunction_NewEx(definition, nullptr, nullptr));
  ASSERT_TRUE(function);
  PyDict_SetItemString(test_namespace(), definition->ml_name, function.get());
}

void run(const std::string& statements) { EXPECT_TRUE(Ref(call_builtin("exec", statements))) << statements; }

std::string eval(const std::string& expression) {
  Ref result(call_builtin("eval", expression));
  if (!result) return "<exception>";
  Ref repr(PyObject_Repr(result.get()));
  const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  return utf8 != nullptr ? utf8 : "<repr failed>";
}

}  // namespace kestrune::python::testing
