// An embedded interpreter for testing the binding layer from C++: test functions built with the
// module's binder are placed in a namespace, and Python expressions are evaluated against it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "python.hpp"

namespace kestrune::python::testing {

// The namespace the expressions see: builtins, plus whatever `define` added.
PyObject* test_namespace();

// Adds a built-in function made from `definition` under its name.
void define(PyMethodDef* definition);
// Adds `object` (a new reference, taken over) under `name`.
void define_object(const char* name, PyObject* object);

// Runs Python statements in the test namespace; fails the test on an exception.
void run(const std::string& statements);

// Evaluates `expression` in the test namespace. Returns repr() of the result, or, when it raises,
// "ExceptionType: message" followed by " | note: ..." for each note attached to it.
std::string eval(const std::string& expression);

}  // namespace kestrune::python::testing
