// An embedded interpreter for the binding layer's own tests: functions built with the module's binder
// are placed in a namespace, and Python expressions are evaluated against it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "python.hpp"

namespace kestrune::python::testing {

// Adds a built-in function made from `definition` to the test namespace under its name.
void define(PyMethodDef* definition);

// Runs Python statements in the test namespace; fails the test on an exception.
void run(const std::string& statements);

// Evaluates `expression` in the test namespace. Returns repr() of the result, or "<exception>"
// (the exception printed) when it raises.
std::string eval(const std::string& expression);

}  // namespace kestrune::python::testing
