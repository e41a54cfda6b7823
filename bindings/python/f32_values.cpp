#include "f32_values.hpp"

#include <bit>
#include <optional>
#include <string_view>
#include <utility>

#include "conversions.hpp"
#include "errors.hpp"
#include "float32_bytes.hpp"

namespace kestrune::python {
namespace {

bool float_aligned(const void* data) { return reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0; }

// The buffer of a one-dimensional float32 object whose items lie packed at a float address, or
// nothing (no error set) for anything else, which is then read item by item or block-copied.
std::optional<BufferView> packed_f32_buffer(PyObject* object) {
  // Bytes-like objects iterate as integers, not as float32 items.
  if (!PyObject_CheckBuffer(object) || PyBytes_Check(object) || PyByteArray_Check(object)) return std::nullopt;
  BufferView buffer;
  try {
    buffer = BufferView(object, PyBUF_RECORDS_RO);
  } catch (const PythonErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || view.format == nullptr || view.shape == nullptr || view.strides == nullptr) return std::nullopt;
  std::string_view format(view.format);
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
  if (format != "f" || view.itemsize != static_cast<Py_ssize_t>(sizeof(float))) return std::nullopt;
  if (view.shape[0] > 1 && view.strides[0] != static_cast<Py_ssize_t>(sizeof(float))) return std::nullopt;
  if (!float_aligned(view.buf)) return std::nullopt;
  return buffer;
}

}  // namespace

F32Values to_f32_values(PyObject* object) {
  check_list_source(object);
  if (std::optional<BufferView> buffer = packed_f32_buffer(object)) {
    F32Values values;
    const Py_buffer& view = buffer->view();
    const auto count = static_cast<std::size_t>(view.shape[0]);
    values.buffer_ = std::move(*buffer);
    if (count > 0) values.values_ = {static_cast<const float*>(values.buffer_.view().buf), count};
    return values;
  }
  return F32Values(to_f32_list(object));
}

F32Values bytes_to_f32_values(std::span<const std::uint8_t> bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    if (bytes.size() % sizeof(float) == 0 && float_aligned(bytes.data())) {
      F32Values values;
      if (!bytes.empty()) values.values_ = {reinterpret_cast<const float*>(bytes.data()), bytes.size() / sizeof(float)};
      return values;
    }
  }
  return F32Values(bytes_to_f32_vec(bytes));
}

}  // namespace kestrune::python
