// The conversion kinds of the module's parameters: how one Python value becomes one native
// value. Each converter either returns the value or throws with the Python exception set (the
// binder then attaches the "while processing" note naming the parameter).
//
//   float32, float64    float conversion (objects with __float__ or __index__); float32 rounds
//                       to nearest, beyond its range to infinity
//   u8, u16, u32, i8    read as a signed 64-bit integer (__index__), then range-checked:
//                       OverflowError "out of range integral type conversion attempted"
//   i64                 signed 64-bit integer
//   u64, size           unsigned 64-bit integer; negative or too large: the interpreter's error
//   bool                a Python bool or a numpy boolean scalar, nothing else
//   text, string        a str (or subclass); text borrows its UTF-8 form, string copies it
//   list of K           any sequence but a str, items converted in order
//   byte string         bytes or bytearray (copied), or a sequence of u8
//   bytes               a bytes object only, borrowed in place
//   dict, object        a new strong reference
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "errors.hpp"
#include "python.hpp"

namespace kestrune::python {

// Raises TypeError "'{type}' object is not an instance of '{expected}'" ("'None' is not an
// instance of '{expected}'" for None).
[[noreturn]] void throw_type_mismatch(PyObject* object, const char* expected);

float to_f32(PyObject* object);
double to_f64(PyObject* object);
std::uint8_t to_u8(PyObject* object);
std::uint16_t to_u16(PyObject* object);
std::uint32_t to_u32(PyObject* object);
std::int8_t to_i8(PyObject* object);
std::int64_t to_i64(PyObject* object);
std::uint64_t to_u64(PyObject* object);
std::size_t to_size(PyObject* object);
bool to_bool(PyObject* object);
// Valid while `object` is alive (the caller's argument, for the whole call).
std::string_view to_text(PyObject* object);
std::string to_string(PyObject* object);
std::vector<std::uint8_t> to_byte_string(PyObject* object);
// Valid while `object` is alive.
std::span<const std::uint8_t> to_bytes(PyObject* object);
Ref to_dict(PyObject* object);
Ref to_object(PyObject* object);

// The double nearest to float32, rounding to nearest and overflowing to infinity.
float narrow_to_f32(double value) noexcept;

// The outer rules of a list kind: a str is refused with "Can't extract `str` to `Vec`", an
// object that is no sequence with the type mismatch naming "Sequence".
void check_list_source(PyObject* object);

// A converter for a list of items of one kind.
template <typename Convert>
auto list_of(Convert convert_item) {
  return [convert_item](PyObject* object) {
    using Item = std::invoke_result_t<const Convert&, PyObject*>;
    check_list_source(object);
    std::vector<Item> items;
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
      PyErr_Clear();
    } else {
      items.reserve(static_cast<std::size_t>(size));
    }
    Ref iterator(check(PyObject_GetIter(object)));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
      Ref item(raw);
      items.push_back(convert_item(item.get()));
    }
    if (PyErr_Occurred()) throw PythonErrorSet{};
    return items;
  };
}

// List of float32, with a block read for one-dimensional float32 or float64 buffers (numpy
// arrays, array.array, memoryview); the values are the same as item by item.
std::vector<float> to_f32_list(PyObject* object);
// List of lists of float32.
std::vector<std::vector<float>> to_f32_rows(PyObject* object);

// Native values as new Python objects; each throws PythonErrorSet on failure.
PyObject* to_python(bool value);
PyObject* to_python(float value);
PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::uint32_t value);
PyObject* to_python(std::string_view value);
PyObject* to_python(std::span<const float> values);
PyObject* bytes_to_python(std::span<const std::uint8_t> bytes);
PyObject* none();

}  // namespace kestrune::python
