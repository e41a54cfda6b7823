// What the module registers, in registration order. Each area of the module contributes its
// classes and function definitions here.
#pragma once

#include "python.hpp"

namespace kestrune::python {

// Classes: returns the process-wide type object (created on first use), or null with the
// Python error set.
PyObject* native_runtime_info_type();

// Functions.
extern PyMethodDef native_runtime_info_def;

}  // namespace kestrune::python
