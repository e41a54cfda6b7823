// Float32 lists read in place or copied: which inputs are borrowed, and that every input reads
// the values to_f32_list reads.
#include "f32_values.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conversions.hpp"
#include "errors.hpp"
#include "harness.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using testing::eval;

// (borrowed, values, values as to_f32_list reads them)
PyObject* f32_values_body(PyObject*, Arguments& args) {
  const Ref object = args.required("value", to_object);
  const F32Values values = to_f32_values(object.get());
  Ref read(to_python(values.span()));
  Ref reference(to_python(std::span<const float>(to_f32_list(object.get()))));
  return check(Py_BuildValue("(OOO)", values.borrowed() ? Py_True : Py_False, read.get(), reference.get()));
}

constexpr FunctionSpec f32_values_spec = {"f32_values", "f32_values(value)\n--\n\n", f32_values_body};
PyMethodDef f32_values_def = module_function_definition<f32_values_spec>();

class F32ValuesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing::define(&f32_values_def);
    testing::run("import array, numpy\n");
  }
};

TEST_F(F32ValuesTest, BorrowsOnlyPackedAlignedFloat32) {
  struct Case {
    const char* value;
    bool borrowed;
  };
  const std::vector<Case> cases = {
      {"numpy.arange(5, dtype=numpy.float32) - 2.5", true},
      {"numpy.arange(12, dtype=numpy.float32).reshape(3, 4)[1]", true},
      {"array.array('f', [1.5, float('nan'), -0.0])", true},
      {"numpy.arange(8, dtype=numpy.float32)[::3]", false},
      {"numpy.frombuffer(b'\\0\\0\\x80?' * 2 + b'\\0', dtype=numpy.float32, count=2, offset=1)", false},
      {"numpy.array([0.1, 2, 1e40])", false},
      {"numpy.array([1, 2], dtype=numpy.int32)", false},
      {"numpy.zeros(0, dtype=numpy.float32)", false},
      {"[1.0, 2.5, 3]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    // repr compares NaN and -0.0 too.
    const std::string call = "(lambda r: (r[0], repr(r[1]) == repr(r[2])))(f32_values(" + std::string(c.value) + "))";
    const std::string result = eval(call);
    EXPECT_EQ(result, std::string("(") + (c.borrowed ? "True" : "False") + ", True)");
  }
  EXPECT_EQ(eval("f32_values('ab')"), "TypeError: Can't extract `str` to `Vec`");
  EXPECT_EQ(eval("f32_values(None)"), "TypeError: 'None' is not an instance of 'Sequence'");
}

TEST_F(F32ValuesTest, BytesAreBorrowedAtAFloatAddressAndCopiedElsewhere) {
  const float expected[] = {1.0f, -2.5f, 3.0e-39f};
  alignas(float) std::uint8_t storage[sizeof(expected) + 1] = {};
  for (const std::size_t offset : {0, 1}) {
    SCOPED_TRACE(offset);
    std::memcpy(storage + offset, expected, sizeof(expected));
    const F32Values values = bytes_to_f32_values(std::span<const std::uint8_t>(storage + offset, sizeof(expected)));
    EXPECT_EQ(values.borrowed(), offset == 0);
    ASSERT_EQ(values.span().size(), 3u);
    EXPECT_EQ(std::memcmp(values.span().data(), expected, sizeof(expected)), 0);
  }
  try {
    bytes_to_f32_values(std::span<const std::uint8_t>(storage, 5));
    ADD_FAILURE() << "accepted 5 bytes";
  } catch (const PythonError& error) {
    EXPECT_STREQ(error.what(), "values_bytes length must be a multiple of 4 (f32)");
  }
}

}  // namespace
}  // namespace kestrune::python
