// NativeRuntimeInfo and native_runtime_info(): the name and version of the native module.
#include <string>

#include "conversions.hpp"
#include "record_object.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

struct RuntimeInfo {
  std::string name;
  std::string version;
};

RuntimeInfo current_runtime_info() { return {"kestrune", KESTRUNE_VERSION}; }

PyObject* get_name(PyObject* self, void*) {
  return guarded([&] { return to_python(std::string_view(record_of<RuntimeInfo>(self).name)); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* get_version(PyObject* self, void*) {
  return guarded([&] { return to_python(std::string_view(record_of<RuntimeInfo>(self).version)); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* construct(PyObject* type, Arguments&) { return new_record_object(type, current_runtime_info()); }

constexpr FunctionSpec constructor_spec = {"NativeRuntimeInfo", "NativeRuntimeInfo()\n--\n\n", construct};

PyGetSetDef runtime_info_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"version", get_version, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runtime_info_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor_entry<constructor_spec>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<RuntimeInfo>)},
    {Py_tp_getset, runtime_info_getset},
    {Py_tp_doc, const_cast<char*>(constructor_spec.doc)},
    {0, nullptr},
};

PyType_Spec runtime_info_spec = {
    "_kestrune.NativeRuntimeInfo", static_cast<int>(sizeof(RecordObject<RuntimeInfo>)), 0, kFinalClassFlags,
    runtime_info_slots,
};

PyObject* native_runtime_info_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, runtime_info_spec);
}

PyObject* native_runtime_info(PyObject*, PyObject*) {
  return guarded([&] { return new_record_object(native_runtime_info_type, "NativeRuntimeInfo", current_runtime_info()); },
                 static_cast<PyObject*>(nullptr));
}

// The one function without parameters: METH_NOARGS (flags 0x24).
PyMethodDef native_runtime_info_definition = {
    "native_runtime_info",
    native_runtime_info,
    METH_NOARGS | METH_STATIC,
    "native_runtime_info()\n--\n\n",
};

const ClassRegistration class_registration(ClassSlot::NativeRuntimeInfo, native_runtime_info_type);
const FunctionRegistration function_registration(FunctionSlot::native_runtime_info, &native_runtime_info_definition);

}  // namespace
}  // namespace kestrune::python
