// The conversion kinds, one parameter each: accepted values, their native results, and the
// exact refusals.
#include <gtest/gtest.h>

#include <string>

#include "conversions.hpp"
#include "harness.hpp"
#include "numpy.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using testing::eval;

PyObject* as_python(float value) { return to_python(value); }
PyObject* as_python(double value) { return to_python(value); }
PyObject* as_python(bool value) { return to_python(value); }
PyObject* as_python(std::uint64_t value) { return to_python(value); }
PyObject* as_python(std::uint8_t value) { return to_python(static_cast<std::uint64_t>(value)); }
PyObject* as_python(std::uint16_t value) { return to_python(static_cast<std::uint64_t>(value)); }
PyObject* as_python(std::uint32_t value) { return to_python(value); }
PyObject* as_python(std::int8_t value) { return check(PyLong_FromLongLong(value)); }
PyObject* as_python(std::int64_t value) { return check(PyLong_FromLongLong(value)); }
PyObject* as_python(std::string_view value) { return to_python(value); }
PyObject* as_python(const std::string& value) { return to_python(std::string_view(value)); }
PyObject* as_python(const Ref& value) { return Ref::borrowed(value.get()).release(); }
PyObject* as_python(std::span<const std::uint8_t> bytes) { return bytes_to_python(bytes); }
template <typename T>
PyObject* as_python(const std::vector<T>& values) {
  Ref list(check(PyList_New(0)));
  for (const T& value : values) {
    Ref item(as_python(value));
    if (PyList_Append(list.get(), item.get()) != 0) throw PythonErrorSet{};
  }
  return list.release();
}

template <auto Convert>
PyObject* convert_value(PyObject*, Arguments& args) {
  return as_python(args.required("value", Convert));
}

std::vector<std::int8_t> to_i8_list(PyObject* object) { return list_of(to_i8)(object); }
std::vector<std::vector<std::uint32_t>> to_u32_rows(PyObject* object) { return list_of(list_of(to_u32))(object); }

PyObject* matrix_body(PyObject*, Arguments& args) {
  F32MatrixView matrix = args.required("value", to_f32_matrix);
  if (!matrix.c_contiguous()) return to_python(std::string_view("not contiguous"));
  const std::span<const float> values = matrix.values();
  Ref list(to_python(values));
  return check(Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(matrix.rows()), static_cast<Py_ssize_t>(matrix.cols()),
                             list.get()));
}

#define KIND(name, convert)                                                                   \
  constexpr FunctionSpec name##_spec = {#name, #name "(value)\n--\n\n", convert_value<convert>}; \
  PyMethodDef name##_def = module_function_definition<name##_spec>();

KIND(f32, to_f32)
KIND(f64, to_f64)
KIND(u8, to_u8)
KIND(u16, to_u16)
KIND(u32, to_u32)
KIND(i8, to_i8)
KIND(i64, to_i64)
KIND(u64, to_u64)
KIND(size, to_size)
KIND(boolean, to_bool)
KIND(text, to_text)
KIND(string, to_string)
KIND(f32_list, to_f32_list)
KIND(f32_rows, to_f32_rows)
KIND(i8_list, to_i8_list)
KIND(u32_rows, to_u32_rows)
KIND(byte_string, to_byte_string)
KIND(bytes_view, to_bytes)
KIND(dictionary, to_dict)
#undef KIND

constexpr FunctionSpec matrix_spec = {"matrix", "matrix(value)\n--\n\n", matrix_body};
PyMethodDef matrix_def = module_function_definition<matrix_spec>();

class ConversionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (PyMethodDef* def : {&f32_def, &f64_def, &u8_def, &u16_def, &u32_def, &i8_def, &i64_def, &u64_def, &size_def,
                             &boolean_def, &text_def, &string_def, &f32_list_def, &f32_rows_def, &i8_list_def,
                             &u32_rows_def, &byte_string_def, &bytes_view_def, &dictionary_def, &matrix_def}) {
      testing::define(def);
    }
    testing::run(
        "import numpy\n"
        "class Text(str): pass\n"
        "class Mapping(dict): pass\n"
        "class Index:\n"
        "    def __index__(self): return 7\n");
  }
};

struct Case {
  const char* call;
  const char* expected;
};

class ConversionCases : public ConversionTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ConversionCases, ConvertsOrRefuses) {
  const std::string result = eval(GetParam().call);
  const std::string expected = GetParam().expected;
  // A trailing "*" compares only the start: the interpreter's own texts are not fixed.
  if (!expected.empty() && expected.back() == '*') {
    EXPECT_EQ(result.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1)) << result;
  } else {
    EXPECT_EQ(result, expected);
  }
}

constexpr const char* kRange = "OverflowError: out of range integral type conversion attempted | note: while processing 'value'";

INSTANTIATE_TEST_SUITE_P(
    Floats, ConversionCases,
    ::testing::Values(Case{"f32(0.1)", "0.10000000149011612"}, Case{"f32(True)", "1.0"}, Case{"f32(1e40)", "inf"},
                      Case{"f32(float('nan'))", "nan"}, Case{"f32(3.4028235e38)", "3.4028234663852886e+38"},
                      Case{"f32(numpy.float64(0.5))", "0.5"}, Case{"f32(Index())", "7.0"},
                      Case{"f32('1.0')", "TypeError: must be real number, not str | note: while processing 'value'"},
                      Case{"f32(10**400)", "OverflowError: *"}, Case{"f32(None)", "TypeError: *"}));

INSTANTIATE_TEST_SUITE_P(
    Integers, ConversionCases,
    ::testing::Values(Case{"u8(256)", kRange}, Case{"u16(65535)", "65535"}, Case{"u16(65536)", kRange},
                      Case{"u16(True)", "1"}, Case{"u16(Index())", "7"}, Case{"u16(numpy.int64(9))", "9"},
                      Case{"u16(3.0)",
                           "TypeError: 'float' object cannot be interpreted as an integer | note: while processing "
                           "'value'"},
                      Case{"u16(2**70)", "OverflowError: *"}, Case{"u32(4294967296)", kRange}, Case{"i8(128)", kRange},
                      Case{"i64(-2**63)", "-9223372036854775808"}, Case{"i64(2**63)", "OverflowError: *"},
                      Case{"u64(2**64 - 1)", "18446744073709551615"}, Case{"u64(-1)", "OverflowError: *"},
                      Case{"size(Index())", "7"}, Case{"size(1.0)", "TypeError: *"}));

INSTANTIATE_TEST_SUITE_P(
    BoolsAndTexts, ConversionCases,
    ::testing::Values(Case{"boolean(True)", "True"}, Case{"boolean(numpy.bool_(False))", "False"},
                      Case{"boolean(1)", "TypeError: 'int' object is not an instance of 'bool' | note: while "
                                         "processing 'value'"},
                      Case{"boolean(None)", "TypeError: 'None' is not an instance of 'bool' | note: while processing "
                                            "'value'"},
                      Case{"text('abc')", "'abc'"}, Case{"text(Text('sub'))", "'sub'"}, Case{"string('\\u00e9')", "'é'"},
                      Case{"text(b'abc')",
                           "TypeError: 'bytes' object is not an instance of 'str' | note: while processing 'value'"},
                      Case{"text('\\udc80')", "UnicodeEncodeError: *"}));

INSTANTIATE_TEST_SUITE_P(
    Lists, ConversionCases,
    ::testing::Values(
        Case{"f32_list([1, 2.5])", "[1.0, 2.5]"}, Case{"f32_list(range(3))", "[0.0, 1.0, 2.0]"},
        Case{"f32_list([])", "[]"},
        Case{"f32_list(numpy.array([0.1, 2], dtype=numpy.float64))", "[0.10000000149011612, 2.0]"},
        Case{"f32_list(numpy.arange(6, dtype=numpy.float32)[::-2])", "[5.0, 3.0, 1.0]"},
        Case{"f32_list(numpy.array([1, 2], dtype=numpy.int32))", "[1.0, 2.0]"},
        Case{"f32_list(numpy.array([1e40]))", "[inf]"},
        // Only one-dimensional native-order float buffers are read as a block; anything else goes
        // item by item, with the values (or the refusal) that gives.
        Case{"f32_list(numpy.array([1.5, -2], dtype='>f4'))", "[1.5, -2.0]"},
        Case{"f32_list(numpy.array([0.1, 3], dtype='>f8'))", "[0.10000000149011612, 3.0]"},
        Case{"f32_list(numpy.array([2.5], dtype='<f4'))", "[2.5]"},
        Case{"f32_list(numpy.arange(6, dtype=numpy.float32).reshape(2, 3))", "TypeError: *"},
        Case{"f32_list(numpy.array(2.5, dtype=numpy.float32))", "TypeError: *"},
        Case{"f32_list('ab')", "TypeError: Can't extract `str` to `Vec` | note: while processing 'value'"},
        Case{"f32_list(5)", "TypeError: 'int' object is not an instance of 'Sequence' | note: while processing 'value'"},
        Case{"f32_list(None)", "TypeError: 'None' is not an instance of 'Sequence' | note: while processing 'value'"},
        Case{"f32_rows([[1], (2, 3)])", "[[1.0], [2.0, 3.0]]"},
        Case{"f32_rows(['ab'])", "TypeError: Can't extract `str` to `Vec` | note: while processing 'value'"},
        Case{"i8_list([-128, 127])", "[-128, 127]"}, Case{"i8_list([200])", kRange},
        Case{"u32_rows([[1], []])", "[[1], []]"},
        Case{"u32_rows([['a']])", "TypeError: 'str' object cannot be interpreted as an integer | note: while "
                                  "processing 'value'"}));

INSTANTIATE_TEST_SUITE_P(
    BytesAndObjects, ConversionCases,
    ::testing::Values(Case{"byte_string(b'ab')", "[97, 98]"}, Case{"byte_string([1, 255])", "[1, 255]"},
                      Case{"byte_string([256])", kRange},
                      Case{"byte_string('ab')", "TypeError: Can't extract `str` to `Vec` | note: while processing 'value'"},
                      Case{"bytes_view(b'xy')", "b'xy'"},
                      Case{"bytes_view(bytearray(b'x'))",
                           "TypeError: 'bytearray' object is not an instance of 'bytes' | note: while processing "
                           "'value'"},
                      Case{"dictionary(Mapping(a=1))", "{'a': 1}"},
                      Case{"dictionary([])",
                           "TypeError: 'list' object is not an instance of 'dict' | note: while processing 'value'"}));

INSTANTIATE_TEST_SUITE_P(
    NumpyMatrices, ConversionCases,
    ::testing::Values(
        Case{"matrix(numpy.arange(6, dtype=numpy.float32).reshape(2, 3))", "(2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0])"},
        Case{"matrix(numpy.zeros((2, 3), dtype=numpy.float32, order='F'))", "'not contiguous'"},
        Case{"matrix(numpy.arange(3, dtype=numpy.float32).reshape(1, 3, order='F'))", "(1, 3, [0.0, 1.0, 2.0])"},
        Case{"matrix(numpy.arange(4, dtype=numpy.float32).reshape(2, 2).T)", "'not contiguous'"},
        Case{"matrix(numpy.zeros((0, 3), dtype=numpy.float32))", "(0, 3, [])"},
        Case{"matrix(numpy.frombuffer(b'\\0' * 9, dtype=numpy.float32, offset=1).reshape(1, 2))", "(1, 2, [0.0, 0.0])"},
        Case{"matrix(numpy.zeros((2, 2)))",
             "TypeError: array dtype must be float32, got float64 | note: while processing 'value'"},
        Case{"matrix(numpy.zeros(2, dtype=numpy.float32))",
             "TypeError: array must be 2-dimensional, got 1 dimensions | note: while processing 'value'"},
        Case{"matrix([[1.0]])", "TypeError: 'list' object is not an instance of 'ndarray' | note: while processing "
                                "'value'"}));

TEST_F(ConversionTest, NewFloat32ArrayIsAFreshNumpyCopy) {
  const std::vector<float> values = {1.5f, -2.0f};
  testing::define_object("made", new_f32_array(values));
  EXPECT_EQ(eval("(made.dtype.name, made.shape, made.flags.c_contiguous, made.flags.writeable, made.tolist())"),
            "('float32', (2,), True, True, [1.5, -2.0])");
  testing::define_object("empty_made", new_f32_array({}));
  EXPECT_EQ(eval("empty_made.shape"), "(0,)");
}

TEST_F(ConversionTest, OwningFloat32ArrayReadsTheVectorWhereItLies) {
  std::vector<float> values = {1.5f, -2.0f, 3.25f};
  const auto address = reinterpret_cast<std::uintptr_t>(values.data());
  testing::define_object("owning", new_f32_array_owning(std::move(values)));
  EXPECT_EQ(eval("owning.ctypes.data == " + std::to_string(address)), "True");
  EXPECT_EQ(eval("(owning.dtype.name, owning.shape, owning.flags.c_contiguous, owning.flags.writeable, "
                 "owning.flags.owndata, owning.tolist())"),
            "('float32', (3,), True, True, False, [1.5, -2.0, 3.25])");
  testing::define_object("owning_empty", new_f32_array_owning({}));
  EXPECT_EQ(eval("owning_empty.shape"), "(0,)");
}

}  // namespace
}  // namespace kestrune::python
