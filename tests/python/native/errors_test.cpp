// The error-conversion table, family by family, as Python sees it at a function boundary.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "conversions.hpp"
#include "core/error.hpp"
#include "engine/error.hpp"
#include "errors.hpp"
#include "harness.hpp"
#include "registry.hpp"
#include "support/panic.hpp"

namespace kestrune::python {
namespace {

using testing::eval;

PyObject* fail_body(PyObject*, Arguments& args) {
  const std::size_t which = args.required("which", to_size);
  switch (which) {
    case 0:
      throw engine::EngineError::invalid_config("rounds must be greater than 0");
    case 1:
      throw engine::EngineError::contract_violation("objective returned 3 gradients for row_count 4");
    case 2:
      throw engine::EngineError::backend_unavailable("no backend");
    case 3:
      throw engine::EngineError::not_implemented("later");
    case 4:
      throw engine::EngineError(core::CoreError::serialization("bad magic"));
    case 5:
      throw core::CoreError::validation("row_count must be greater than 0");
    case 6:
      throw core_error_as_value_error(core::CoreError::validation("factor_exposures row_count must be greater than 0"));
    case 7:
      throw PythonError::value_error("own check");
    case 8:
      support::panic("mins validated");
    case 9:
      throw std::bad_alloc();
    case 10:
      throw 42;
    default:
      PyErr_SetString(PyExc_KeyError, "already set");
      throw PythonErrorSet{};
  }
}
constexpr FunctionSpec fail_spec = {"fail", "fail(which)\n--\n\n", fail_body};
PyMethodDef fail_def = module_function_definition<fail_spec>();

class ErrorConversionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::define(&fail_def); }
};

struct Case {
  int which;
  const char* expected;
};

class ErrorConversionCases : public ErrorConversionTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ErrorConversionCases, RaisesTheMappedClassWithItsText) {
  EXPECT_EQ(eval("fail(" + std::to_string(GetParam().which) + ")"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Families, ErrorConversionCases,
    ::testing::Values(
        // Engine configuration and contract errors: ValueError with the bare message.
        Case{0, "ValueError: rounds must be greater than 0"},
        Case{1, "ValueError: objective returned 3 gradients for row_count 4"},
        // The rest of the engine: RuntimeError, bare message.
        Case{2, "RuntimeError: no backend"}, Case{3, "RuntimeError: later"},
        // A wrapped core error: its own display text, no "core error: " prefix.
        Case{4, "RuntimeError: serialization error: bad magic"},
        Case{5, "RuntimeError: validation error: row_count must be greater than 0"},
        // A core error met in a function's own input checks.
        Case{6, "ValueError: validation error: factor_exposures row_count must be greater than 0"},
        Case{7, "ValueError: own check"}, Case{8, "PanicException: mins validated"},
        Case{9, "MemoryError: "}, Case{10, "PanicException: panic with a non-text payload"},
        Case{11, "KeyError: 'already set'"}));

TEST_F(ErrorConversionTest, PanicExceptionEscapesExceptHandlersForException) {
  testing::run(
      "try:\n"
      "    fail(8)\n"
      "except Exception:\n"
      "    caught = 'Exception'\n"
      "except BaseException as error:\n"
      "    caught = type(error)\n");
  EXPECT_EQ(eval("(caught.__module__, caught.__name__, issubclass(caught, Exception), caught.__bases__)"),
            "('pyo3_runtime', 'PanicException', False, (<class 'BaseException'>,))");
  // One class for the whole process.
  testing::run(
      "try:\n"
      "    fail(10)\n"
      "except BaseException as error:\n"
      "    second = type(error)\n");
  EXPECT_EQ(eval("second is caught"), "True");
}

}  // namespace
}  // namespace kestrune::python
