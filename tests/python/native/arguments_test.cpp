// The binder: CPython's binding rules and messages, None and default handling, conversion order
// and the "while processing" notes.
#include <gtest/gtest.h>

#include <string>

#include "arguments.hpp"
#include "conversions.hpp"
#include "harness.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using testing::define;
using testing::eval;

PyObject* sample_body(PyObject*, Arguments& args) {
  const std::uint16_t a = args.required("a", to_u16);
  const std::vector<float> b = args.required("b", to_f32_list);
  const std::optional<std::size_t> c = args.optional("c", to_size);
  const std::size_t d = args.value_or("d", to_size, std::size_t{6});
  const std::string_view e = args.value_or("e", to_text, std::string_view("auto"));
  Ref list(to_python(std::span<const float>(b)));
  Ref c_value(c ? to_python(static_cast<std::uint64_t>(*c)) : none());
  return check(Py_BuildValue("(iOOns#)", static_cast<int>(a), list.get(), c_value.get(),
                             static_cast<Py_ssize_t>(d), e.data(), static_cast<Py_ssize_t>(e.size())));
}
constexpr FunctionSpec sample_spec = {"sample", "sample(a, b, c=None, d=..., e=\"auto\")\n--\n\n", sample_body};

PyObject* three_body(PyObject*, Arguments& args) {
  args.required("a", to_object);
  args.required("b", to_object);
  args.required("c", to_object);
  return none();
}
constexpr FunctionSpec three_spec = {"three", "three(a, b, c)\n--\n\n", three_body};
constexpr FunctionSpec one_spec = {"one", "one(x)\n--\n\n", [](PyObject*, Arguments& args) {
                                     args.required("x", to_object);
                                     return none();
                                   }};
constexpr FunctionSpec method_spec = {"predict", "predict($self, rows)\n--\n\n",
                                      [](PyObject*, Arguments& args) {
                                        args.required("rows", to_f32_rows);
                                        return none();
                                      },
                                      "Handle"};
// Converting backwards in the declaration order is a programming error that must not pass.
constexpr FunctionSpec backwards_spec = {"backwards", "backwards(a, b)\n--\n\n", [](PyObject*, Arguments& args) {
                                           args.required("b", to_object);
                                           args.required("a", to_object);
                                           return none();
                                         }};
// The required parameter `group` takes None as absent.
constexpr FunctionSpec nullable_spec = {"nullable", "nullable(group)\n--\n\n", [](PyObject*, Arguments& args) {
                                          const auto group = args.optional("group", list_of(to_u32));
                                          return group ? to_python(static_cast<std::uint64_t>(group->size()))
                                                       : to_python(std::string_view("absent"));
                                        }};

PyMethodDef sample_def = module_function_definition<sample_spec>();
PyMethodDef three_def = module_function_definition<three_spec>();
PyMethodDef one_def = module_function_definition<one_spec>();
PyMethodDef method_def = module_function_definition<method_spec>();
PyMethodDef backwards_def = module_function_definition<backwards_spec>();
PyMethodDef nullable_def = module_function_definition<nullable_spec>();

class BindingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    define(&sample_def);
    define(&three_def);
    define(&one_def);
    define(&method_def);
    define(&backwards_def);
    define(&nullable_def);
    testing::run("import inspect");
  }
};

struct Case {
  const char* call;
  const char* expected;
};

class BindingCases : public BindingTest, public ::testing::WithParamInterface<Case> {};

TEST_P(BindingCases, BindsAndConvertsLikeCPython) { EXPECT_EQ(eval(GetParam().call), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Calls, BindingCases,
    ::testing::Values(
        Case{"sample(1, [2.5])", "(1, [2.5], None, 6, 'auto')"},
        Case{"sample(e='x', b=(1,), a=2, d=3, c=4)", "(2, [1.0], 4, 3, 'x')"},
        Case{"sample(True, [])", "(1, [], None, 6, 'auto')"},
        // A default other than None does not make None acceptable.
        Case{"sample(1, [2], d=None)",
             "TypeError: 'NoneType' object cannot be interpreted as an integer | note: while processing 'd'"},
        Case{"sample(None, [2])",
             "TypeError: 'NoneType' object cannot be interpreted as an integer | note: while processing 'a'"},
        // Binding errors: CPython's wording, no note (the forms every training function meets are
        // tested on those functions).
        Case{"sample()", "TypeError: sample() missing 2 required positional arguments: 'a' and 'b'"},
        Case{"three(1, c=2)", "TypeError: three() missing 1 required positional argument: 'b'"},
        Case{"three(1, 2, 3, 4)", "TypeError: three() takes 3 positional arguments but 4 were given"},
        Case{"one(1, 2)", "TypeError: one() takes 1 positional argument but 2 were given"},
        Case{"sample(1, b=[2], **{'b': 3})", "TypeError: sample() got multiple values for keyword argument 'b'"},
        // A surplus positional argument is reported before a bad keyword, a bad keyword before a
        // missing argument, and binding before any conversion.
        Case{"sample(1, 2, 3, 4, 5, 6, zz=1)",
             "TypeError: sample() takes from 2 to 5 positional arguments but 6 were given"},
        Case{"sample(zz=1)", "TypeError: sample() got an unexpected keyword argument 'zz'"},
        // Conversion stops at the first failure, in declaration order, and notes the parameter.
        Case{"sample(70000, 'x')",
             "OverflowError: out of range integral type conversion attempted | note: while processing 'a'"},
        Case{"sample(1, 'x')", "TypeError: Can't extract `str` to `Vec` | note: while processing 'b'"},
        Case{"sample(1, [1, 'x'])", "TypeError: must be real number, not str | note: while processing 'b'"},
        Case{"sample(1, [2], c=-1)",
             "OverflowError: can't convert negative int to unsigned | note: while processing 'c'"},
        // Methods are named with their class.
        Case{"predict(5)", "TypeError: 'int' object is not an instance of 'Sequence' | note: while processing 'rows'"},
        Case{"predict()", "TypeError: Handle.predict() missing 1 required positional argument: 'rows'"},
        Case{"nullable(None)", "'absent'"},
        Case{"nullable([1, 2])", "2"},
        Case{"nullable()", "TypeError: nullable() missing 1 required positional argument: 'group'"},
        Case{"backwards(1, 2)",
             "PanicException: internal invariant violated: arguments are converted in declaration order"}));

TEST_F(BindingTest, TextSignatureIsTheDocumentedOne) {
  EXPECT_EQ(eval("sample.__text_signature__"), "'(a, b, c=None, d=..., e=\"auto\")'");
  EXPECT_EQ(eval("str(inspect.signature(sample))"), "\"(a, b, c=None, d=Ellipsis, e='auto')\"");
  EXPECT_EQ(eval("sample.__doc__"), "None");
}

TEST(SignatureTest, ReadsParametersFromTheTextSignature) {
  const Signature signature("f($self, a, b=\"x, y\", c=None)\n--\n\nMore text.", "Owner");
  EXPECT_EQ(signature.name(), "f");
  EXPECT_EQ(signature.display_name(), "Owner.f()");
  ASSERT_EQ(signature.parameters().size(), 3u);
  EXPECT_EQ(signature.parameters()[1].default_text, "\"x, y\"");
  EXPECT_TRUE(signature.parameters()[2].none_is_omitted());
  EXPECT_EQ(signature.required_count(), 1u);
  EXPECT_EQ(Signature("g()\n--\n\n", nullptr).parameters().size(), 0u);
}

}  // namespace
}  // namespace kestrune::python
