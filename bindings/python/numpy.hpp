// numpy without a compile-time dependency: arrays are read through the buffer protocol and made
// by calling numpy itself. numpy is imported on first use, never at module import.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "python.hpp"

namespace kestrune::python {

// A Py_buffer held for the duration of a call and released on scope exit.
class BufferView {
 public:
  BufferView() = default;
  // Requests `flags` from `object`; throws PythonErrorSet when the object refuses.
  BufferView(PyObject* object, int flags);
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView(BufferView&& other) noexcept;
  BufferView& operator=(BufferView&& other) noexcept;
  ~BufferView();

  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// True when `object` is a numpy.ndarray (or a subclass); false when numpy is not installed.
bool is_numpy_array(PyObject* object);
// True when `array`'s dtype compares equal to numpy's dtype named `dtype_name` ("float32").
bool numpy_dtype_is(PyObject* array, const char* dtype_name);

// A read-only view of a two-dimensional float32 numpy array's own memory.
class F32MatrixView {
 public:
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  // C-contiguous in the sense that matters for row-major reading: unit dimensions may have any
  // stride. An array with a zero dimension counts as contiguous.
  bool c_contiguous() const;
  // The rows() x cols() values in row-major order; call only when c_contiguous(). Points into
  // the array, or into a private aligned copy when the array's memory is not float-aligned.
  std::span<const float> values();

 private:
  friend F32MatrixView to_f32_matrix(PyObject* object);
  BufferView buffer_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  Py_ssize_t row_stride_ = 0;  // bytes
  Py_ssize_t col_stride_ = 0;  // bytes
  std::vector<float> aligned_copy_;
};

// The float32 matrix kind: a two-dimensional numpy array of dtype float32. A non-array is the
// type mismatch naming 'ndarray'; another dtype or dimension count is a TypeError.
F32MatrixView to_f32_matrix(PyObject* object);

// A new one-dimensional, C-contiguous, writable float32 numpy array holding a copy of `values`.
PyObject* new_f32_array(std::span<const float> values);

// A new one-dimensional, C-contiguous, writable float32 numpy array over the memory of `values`
// itself, without a copy: the vector moves into the array's base object and is freed when the
// array (and every view of it) is. Falls back to a copy when numpy's C API is not one this module
// knows.
PyObject* new_f32_array_owning(std::vector<float>&& values);

}  // namespace kestrune::python
