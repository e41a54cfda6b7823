// Float32 lists read in place or copied: which inputs are borrowed, each reading what to_f32_list reads.
#include "f32_values.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "conversions.hpp"
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
  const std::pair<const char*, bool> cases[] = {
      {"numpy.arange(12, dtype=numpy.float32).reshape(3, 4)[1]", true},
      {"array.array('f', [1.5, float('nan'), -0.0])", true},
      {"numpy.arange(8, dtype=numpy.float32)[::3]", false},
      {"numpy.frombuffer(b'\\0\\0\\x80?' * 2 + b'\\0', dtype=numpy.float32, count=2, offset=1)", false},
      {"numpy.array([0.1, 2, 1e40])", false},
      {"[1.0, 2.5, 3]", false},
  };
  for (const auto& [value, borrowed] : cases) {
    // repr compares NaN and -0.0 too.
    EXPECT_EQ(eval("(lambda r: (r[0], repr(r[1]) == repr(r[2])))(f32_values(" + std::string(value) + "))"),
              std::string("(") + (borrowed ? "True" : "False") + ", True)")
        << value;
  }
}

}  // namespace
}  // namespace kestrune::python
