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

}  // namespace kestrune::python
