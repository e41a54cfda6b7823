// NativeRuntimeInfo and native_runtime_info(): the name and version of the native module.
#include <string>

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
  const std::string& text = record_of<RuntimeInfo>(self).name;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_version(PyObject* self, void*) {
  const std::string& text = record_of<RuntimeInfo>(self).version;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* runtime_info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const bool has_kwargs = kwargs != nullptr && PyDict_Size(kwargs) != 0;
  if (PyTuple_Size(args) != 0 || has_kwargs) {
    PyErr_Format(PyExc_TypeError, "NativeRuntimeInfo() takes no arguments");
    return nullptr;
  }
  return guarded([&] { return new_record_object(reinterpret_cast<PyObject*>(type), current_runtime_info()); },
                 static_cast<PyObject*>(nullptr));
}

PyGetSetDef runtime_info_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"version", get_version, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runtime_info_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(runtime_info_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<RuntimeInfo>)},
    {Py_tp_getset, runtime_info_getset},
    {Py_tp_doc, const_cast<char*>("NativeRuntimeInfo()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec runtime_info_spec = {
    "_kestrune.NativeRuntimeInfo",
    static_cast<int>(sizeof(RecordObject<RuntimeInfo>)),
    0,
    Py_TPFLAGS_DEFAULT,
    runtime_info_slots,
};

PyObject* native_runtime_info(PyObject*, PyObject*) {
  PyObject* type = native_runtime_info_type();
  if (type == nullptr) return nullptr;
  return guarded([&] { return new_record_object(type, current_runtime_info()); }, static_cast<PyObject*>(nullptr));
}

}  // namespace

PyObject* native_runtime_info_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, runtime_info_spec);
}

PyMethodDef native_runtime_info_def = {
    "native_runtime_info",
    native_runtime_info,
    METH_NOARGS | METH_STATIC,
    "native_runtime_info()\n--\n\n",
};

}  // namespace kestrune::python
