#include "conversions.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrune::python {
namespace {

constexpr const char* kIntegerRangeMessage = "out of range integral type conversion attempted";

[[noreturn]] void throw_overflow() {
  PyErr_SetString(PyExc_OverflowError, kIntegerRangeMessage);
  throw PythonErrorSet{};
}

std::int64_t to_signed_64(PyObject* object) {
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  return static_cast<std::int64_t>(value);
}

template <typename T>
T to_narrow_integer(PyObject* object) {
  const std::int64_t value = to_signed_64(object);
  if (value < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
      value > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
    throw_overflow();
  }
  return static_cast<T>(value);
}

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (std::strcmp(text, "bool_") != 0 && std::strcmp(text, "bool") != 0) return false;
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  const char* module_text = PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
  if (module_text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::strcmp(module_text, "numpy") == 0;
}

// A one-dimensional float32 or float64 buffer read in one pass; false (nothing read, no error
// set) for anything else.
bool read_float_buffer(PyObject* object, std::vector<float>& out) {
  if (!PyObject_CheckBuffer(object) || PyBytes_Check(object) || PyByteArray_Check(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  if (view.ndim != 1 || view.format == nullptr || view.shape == nullptr || view.strides == nullptr) return false;
  std::string_view format(view.format);
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
  const bool is_f32 = format == "f" && view.itemsize == 4;
  const bool is_f64 = format == "d" && view.itemsize == 8;
  if (!is_f32 && !is_f64) return false;
  const auto count = static_cast<std::size_t>(view.shape[0]);
  const Py_ssize_t stride = view.strides[0];
  const char* base = static_cast<const char*>(view.buf);
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char* item = base + static_cast<Py_ssize_t>(i) * stride;
    if (is_f32) {
      std::memcpy(&out[i], item, sizeof(float));
    } else {
      double value;
      std::memcpy(&value, item, sizeof(double));
      out[i] = narrow_to_f32(value);
    }
  }
  return true;
}

}  // namespace

void throw_type_mismatch(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    const std::string type = type_name_of(object);
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type.c_str(), expected);
  }
  throw PythonErrorSet{};
}

float narrow_to_f32(double value) noexcept {
  // Half an ulp above the largest float32: from there on, rounding to nearest gives infinity.
  constexpr double kOverflow = static_cast<double>(FLT_MAX) + 0x1p103;
  if (value >= kOverflow) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

float to_f32(PyObject* object) { return narrow_to_f32(to_f64(object)); }

double to_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

std::uint8_t to_u8(PyObject* object) { return to_narrow_integer<std::uint8_t>(object); }
std::uint16_t to_u16(PyObject* object) { return to_narrow_integer<std::uint16_t>(object); }
std::uint32_t to_u32(PyObject* object) { return to_narrow_integer<std::uint32_t>(object); }
std::int8_t to_i8(PyObject* object) { return to_narrow_integer<std::int8_t>(object); }
std::int64_t to_i64(PyObject* object) { return to_signed_64(object); }

std::uint64_t to_u64(PyObject* object) {
  Ref index(check(PyNumber_Index(object)));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return static_cast<std::uint64_t>(value);
}

std::size_t to_size(PyObject* object) {
  static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "size is an unsigned 64-bit integer");
  return static_cast<std::size_t>(to_u64(object));
}

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonErrorSet{};
    return truth != 0;
  }
  throw_type_mismatch(object, "bool");
}

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_type_mismatch(object, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw PythonErrorSet{};
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::string to_string(PyObject* object) { return std::string(to_text(object)); }

void check_list_source(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PythonErrorSet{};
  }
  if (!PySequence_Check(object)) throw_type_mismatch(object, "Sequence");
}

std::vector<std::uint8_t> to_byte_string(PyObject* object) {
  if (PyBytes_Check(object)) {
    const auto view = to_bytes(object);
    return std::vector<std::uint8_t>(view.begin(), view.end());
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    const Py_ssize_t size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) throw PythonErrorSet{};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    return std::vector<std::uint8_t>(bytes, bytes + size);
  }
  return list_of(to_u8)(object);
}

std::span<const std::uint8_t> to_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) throw_type_mismatch(object, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) throw PythonErrorSet{};
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

Ref to_dict(PyObject* object) {
  if (!PyDict_Check(object)) throw_type_mismatch(object, "dict");
  return Ref::borrowed(object);
}

Ref to_object(PyObject* object) { return Ref::borrowed(object); }

std::vector<float> to_f32_list(PyObject* object) {
  check_list_source(object);
  std::vector<float> values;
  if (read_float_buffer(object, values)) return values;
  return list_of(to_f32)(object);
}

std::vector<std::vector<float>> to_f32_rows(PyObject* object) { return list_of(to_f32_list)(object); }

PyObject* to_python(bool value) { return check(PyBool_FromLong(value ? 1 : 0)); }
PyObject* to_python(float value) { return check(PyFloat_FromDouble(static_cast<double>(value))); }
PyObject* to_python(double value) { return check(PyFloat_FromDouble(value)); }
PyObject* to_python(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}
PyObject* to_python(std::uint32_t value) {
  return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}
PyObject* to_python(std::string_view value) {
  return check(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
PyObject* to_python(std::span<const float> values) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(values.size()))));
  for (std::size_t i = 0; i < values.size(); ++i) {
    // PyList_SetItem steals the new float, also on failure.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i])) != 0) {
      throw PythonErrorSet{};
    }
  }
  return list.release();
}
PyObject* bytes_to_python(std::span<const std::uint8_t> bytes) {
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size())));
}
PyObject* none() { Py_RETURN_NONE; }

}  // namespace kestrune::python
