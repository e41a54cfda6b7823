#include "numpy.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "conversions.hpp"
#include "errors.hpp"

namespace kestrune::python {
namespace {

// The numpy module, imported once and kept for the life of the process; null with the Python
// error set when numpy cannot be imported.
PyObject* numpy_module() {
  static PyObject* module = nullptr;
  if (module == nullptr) module = PyImport_ImportModule("numpy");
  return module;
}

PyObject* numpy_attribute(const char* name) {
  PyObject* module = check(numpy_module());
  return check(PyObject_GetAttrString(module, name));
}

std::string text_of(PyObject* object) {
  Ref text(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// numpy's C API: the function table numpy publishes in a capsule. Only entries that keep their
// place across numpy's ABI versions 1 and 2 are used, called through their documented signatures.
namespace c_api {

using npy_intp = Py_intptr_t;
constexpr std::size_t kGetNDArrayCVersion = 0;  // unsigned int (void)
constexpr std::size_t kArrayType = 2;           // PyTypeObject, numpy.ndarray
constexpr std::size_t kDescrFromType = 45;      // PyArray_Descr* (int type number)
constexpr std::size_t kNewFromDescr = 94;       // PyObject* (type, descr, nd, dims, strides, data, flags, obj)
constexpr std::size_t kSetBaseObject = 282;     // int (array, base); steals `base`, on failure too
constexpr int kFloat32TypeNumber = 11;
// C-contiguous, aligned and writeable.
constexpr int kCArrayFlags = 0x0001 | 0x0100 | 0x0400;

// The table, or null when numpy cannot be imported or has an ABI other than 1.x (0x01000009)
// or 2.x. Looked up once; the capsule is kept alive by numpy's module for the process.
void** table() {
  static bool looked_up = false;
  static void** api = nullptr;
  if (looked_up) return api;
  looked_up = true;
  Ref module(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!module) {
    PyErr_Clear();
    module = Ref(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  Ref capsule(module ? PyObject_GetAttrString(module.get(), "_ARRAY_API") : nullptr);
  if (!capsule || !PyCapsule_IsValid(capsule.get(), nullptr)) {
    PyErr_Clear();
    return nullptr;
  }
  auto** candidate = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (candidate == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  const unsigned version = reinterpret_cast<unsigned (*)()>(candidate[kGetNDArrayCVersion])();
  if (version == 0x01000009u || (version >> 24) == 2u) api = candidate;
  return api;
}

// The vector a numpy array borrows, owned by the array's base capsule.
constexpr const char* kOwnerName = "kestrune.f32_result";

void free_owned_vector(PyObject* capsule) {
  delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(capsule, kOwnerName));
}

}  // namespace c_api

}  // namespace

BufferView::BufferView(PyObject* object, int flags) {
  if (PyObject_GetBuffer(object, &view_, flags) != 0) throw PythonErrorSet{};
  held_ = true;
}

BufferView::BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}

BufferView& BufferView::operator=(BufferView&& other) noexcept {
  if (this != &other) {
    if (held_) PyBuffer_Release(&view_);
    view_ = other.view_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

bool is_numpy_array(PyObject* object) {
  PyObject* module = numpy_module();
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref ndarray(check(PyObject_GetAttrString(module, "ndarray")));
  const int result = PyObject_IsInstance(object, ndarray.get());
  if (result < 0) throw PythonErrorSet{};
  return result == 1;
}

bool numpy_dtype_is(PyObject* array, const char* dtype_name) {
  Ref dtype(check(PyObject_GetAttrString(array, "dtype")));
  Ref dtype_class(numpy_attribute("dtype"));
  Ref expected(check(PyObject_CallFunction(dtype_class.get(), "s", dtype_name)));
  const int equal = PyObject_RichCompareBool(dtype.get(), expected.get(), Py_EQ);
  if (equal < 0) throw PythonErrorSet{};
  return equal == 1;
}

F32MatrixView to_f32_matrix(PyObject* object) {
  if (!is_numpy_array(object)) throw_type_mismatch(object, "ndarray");
  if (!numpy_dtype_is(object, "float32")) {
    Ref dtype(check(PyObject_GetAttrString(object, "dtype")));
    const std::string text = "array dtype must be float32, got " + text_of(dtype.get());
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw PythonErrorSet{};
  }
  F32MatrixView matrix;
  matrix.buffer_ = BufferView(object, PyBUF_RECORDS_RO);
  const Py_buffer& view = matrix.buffer_.view();
  if (view.ndim != 2) {
    const std::string text = "array must be 2-dimensional, got " + std::to_string(view.ndim) + " dimensions";
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw PythonErrorSet{};
  }
  if (view.itemsize != static_cast<Py_ssize_t>(sizeof(float))) {
    PyErr_SetString(PyExc_TypeError, "array items must be 4-byte float32 values");
    throw PythonErrorSet{};
  }
  matrix.rows_ = static_cast<std::size_t>(view.shape[0]);
  matrix.cols_ = static_cast<std::size_t>(view.shape[1]);
  matrix.row_stride_ = view.strides[0];
  matrix.col_stride_ = view.strides[1];
  return matrix;
}

bool F32MatrixView::c_contiguous() const {
  if (rows_ == 0 || cols_ == 0) return true;
  const auto item = static_cast<Py_ssize_t>(sizeof(float));
  const bool columns_packed = cols_ == 1 || col_stride_ == item;
  const bool rows_packed = rows_ == 1 || row_stride_ == static_cast<Py_ssize_t>(cols_) * item;
  return columns_packed && rows_packed;
}

std::span<const float> F32MatrixView::values() {
  const std::size_t count = rows_ * cols_;
  if (count == 0) return {};
  const auto* data = static_cast<const char*>(buffer_.view().buf);
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {
    return {reinterpret_cast<const float*>(data), count};
  }
  if (aligned_copy_.size() != count) {
    aligned_copy_.resize(count);
    std::memcpy(aligned_copy_.data(), data, count * sizeof(float));
  }
  return aligned_copy_;
}

PyObject* new_f32_array(std::span<const float> values) {
  Ref empty(numpy_attribute("empty"));
  Ref float32(numpy_attribute("float32"));
  Ref array(check(PyObject_CallFunction(empty.get(), "nO", static_cast<Py_ssize_t>(values.size()), float32.get())));
  {
    BufferView buffer(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (!values.empty()) std::memcpy(buffer.view().buf, values.data(), values.size() * sizeof(float));
  }
  return array.release();
}

PyObject* new_f32_array_owning(std::vector<float>&& values) {
  void** api = values.empty() ? nullptr : c_api::table();
  if (api == nullptr) return new_f32_array(values);
  auto* owned = new std::vector<float>(std::move(values));
  // From here the capsule owns the vector: every failure below frees it through the capsule.
  Ref owner(PyCapsule_New(owned, c_api::kOwnerName, c_api::free_owned_vector));
  if (!owner) {
    delete owned;
    throw PythonErrorSet{};
  }
  using DescrFromType = PyObject* (*)(int);
  using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const c_api::npy_intp*, const c_api::npy_intp*,
                                     void*, int, PyObject*);
  using SetBaseObject = int (*)(PyObject*, PyObject*);
  PyObject* descr = check(reinterpret_cast<DescrFromType>(api[c_api::kDescrFromType])(c_api::kFloat32TypeNumber));
  const c_api::npy_intp dims[1] = {static_cast<c_api::npy_intp>(owned->size())};
  // NewFromDescr takes over `descr`, also when it fails.
  Ref array(check(reinterpret_cast<NewFromDescr>(api[c_api::kNewFromDescr])(
      static_cast<PyTypeObject*>(api[c_api::kArrayType]), descr, 1, dims, nullptr, owned->data(),
      c_api::kCArrayFlags, nullptr)));
  if (reinterpret_cast<SetBaseObject>(api[c_api::kSetBaseObject])(array.get(), owner.release()) < 0) {
    throw PythonErrorSet{};
  }
  return array.release();
}

}  // namespace kestrune::python
