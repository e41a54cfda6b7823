// The Python callback adapters called directly: what the callables receive, how their answers
// are read, weighted and refused, and the built-in fallbacks that involve no Python call.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "callbacks.hpp"
#include "conversions.hpp"
#include "harness.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using testing::eval;

const auto to_weights = [](PyObject* object) { return to_f32_list(object); };

PyObject* pairs_to_python(const std::vector<core::GradientPair>& pairs) {
  Ref list(check(PyList_New(0)));
  for (const core::GradientPair& pair : pairs) {
    Ref item(check(Py_BuildValue("(dd)", static_cast<double>(pair.grad), static_cast<double>(pair.hess))));
    if (PyList_Append(list.get(), item.get()) != 0) throw PythonErrorSet{};
  }
  return list.release();
}

PyObject* objective_pairs(PyObject*, Arguments& args) {
  Ref fn = args.required("fn", to_object);
  const std::vector<float> targets = args.required("targets", to_f32_list);
  const std::vector<float> predictions = args.required("predictions", to_f32_list);
  const std::optional<std::vector<float>> weights = args.optional("weights", to_weights);
  const CustomPythonObjective objective(std::move(fn), std::nullopt);
  engine::objectives::Weights view;
  if (weights) view = std::span<const float>(*weights);
  std::vector<core::GradientPair> out{{9.0f, 9.0f}};
  try {
    objective.compute_gradients_into(predictions, targets, view, out);
  } catch (...) {
    // A failed call leaves the caller's buffer as it was.
    EXPECT_EQ(out.size(), 1u);
    throw;
  }
  return pairs_to_python(out);
}

PyObject* objective_loss(PyObject*, Arguments& args) {
  const std::vector<float> targets = args.required("targets", to_f32_list);
  const std::vector<float> predictions = args.required("predictions", to_f32_list);
  std::optional<Ref> loss_fn = args.optional("loss_fn", to_object);
  const CustomPythonObjective objective(Ref::borrowed(Py_None), std::move(loss_fn));
  return to_python(objective.loss(predictions, targets, std::nullopt));
}

PyObject* objective_initial(PyObject*, Arguments& args) {
  const std::vector<float> targets = args.required("targets", to_f32_list);
  const std::optional<std::vector<float>> weights = args.optional("weights", to_weights);
  const CustomPythonObjective objective(Ref::borrowed(Py_None), std::nullopt);
  engine::objectives::Weights view;
  if (weights) view = std::span<const float>(*weights);
  return to_python(objective.initial_prediction(targets, view));
}

PyObject* metric(PyObject*, Arguments& args) {
  Ref fn = args.required("fn", to_object);
  const std::vector<float> targets = args.required("targets", to_f32_list);
  const std::vector<float> predictions = args.required("predictions", to_f32_list);
  const CustomPythonMetricCallback callback = CustomPythonMetricCallback::make(std::move(fn));
  const float value = callback.evaluate(predictions, targets, std::nullopt);
  Ref name(to_python(callback.metric_name()));
  Ref flag(to_python(callback.higher_is_better()));
  Ref number(to_python(value));
  return check(PyTuple_Pack(3, name.get(), number.get(), flag.get()));
}

PyObject* extract(PyObject*, Arguments& args) {
  PyObject* value = args.raw("value");
  return to_python(std::span<const float>(extract_f32_array(value)));
}

constexpr FunctionSpec pairs_spec = {"pairs", "pairs(fn, targets, predictions, weights=None)\n--\n\n", objective_pairs};
constexpr FunctionSpec loss_spec = {"loss", "loss(targets, predictions, loss_fn=None)\n--\n\n", objective_loss};
constexpr FunctionSpec initial_spec = {"initial", "initial(targets, weights=None)\n--\n\n", objective_initial};
constexpr FunctionSpec metric_spec = {"metric", "metric(fn, targets, predictions)\n--\n\n", metric};
constexpr FunctionSpec extract_spec = {"extract", "extract(value)\n--\n\n", extract};
PyMethodDef pairs_def = module_function_definition<pairs_spec>();
PyMethodDef loss_def = module_function_definition<loss_spec>();
PyMethodDef initial_def = module_function_definition<initial_spec>();
PyMethodDef metric_def = module_function_definition<metric_spec>();
PyMethodDef extract_def = module_function_definition<extract_spec>();

class CallbackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (PyMethodDef* def : {&pairs_def, &loss_def, &initial_def, &metric_def, &extract_def}) testing::define(def);
    testing::run(
        "import collections, numpy\n"
        "seen = []\n"
        "def residual(y, p):\n"
        "    seen.append((type(y).__name__, str(y.dtype), y.flags.c_contiguous, y.flags.writeable,\n"
        "                 y.tolist(), p.tolist()))\n"
        "    return (p - y, numpy.ones_like(y) * 2)\n"
        "Pair = collections.namedtuple('Pair', 'g h')\n"
        "def const(g, h):\n"
        "    return lambda y, p: (g, h)\n"
        "def raising(exc):\n"
        "    def fn(y, p):\n"
        "        raise exc\n"
        "    return fn\n"
        "class Outer:\n"
        "    class Failure(Exception):\n"
        "        def __str__(self): raise RuntimeError('no text')\n"
        "probes = []\n"
        "def auc(y, p):\n"
        "    probes.append((str(y.dtype), y.tolist(), p.tolist()))\n"
        "    return ('auc' if len(probes) == 1 else 'other', float(p.sum()), len(probes) == 1)\n");
  }
};

struct Case {
  const char* call;
  const char* expected;
};

class CallbackCases : public CallbackTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CallbackCases, AnswersOrRefuses) { EXPECT_EQ(eval(GetParam().call), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Objective, CallbackCases,
    ::testing::Values(
        Case{"pairs(residual, [1, 2], [0.5, 0.5])", "[(-0.5, 2.0), (-1.5, 2.0)]"},
        Case{"pairs(residual, [1, 2], [0.5, 0.5], [0.5, 2])", "[(-0.25, 1.0), (-3.0, 4.0)]"},
        Case{"pairs(lambda y, p: Pair([1.0], [2.0]), [0], [0], [0.5])", "[(0.5, 1.0)]"},
        Case{"pairs(const(numpy.array([0.1, 3]), [1, 2.5]), [0, 0], [0, 0])",
             "[(0.10000000149011612, 1.0), (3.0, 2.5)]"},
        Case{"pairs(const(numpy.arange(4, dtype=numpy.float32)[::2], (1, 1)), [0, 0], [0, 0])",
             "[(0.0, 1.0), (2.0, 1.0)]"},
        Case{"pairs(const([float('nan')], [0.0]), [0], [0])", "[(nan, 0.0)]"},
        Case{"pairs(lambda y, p: [y, y], [0], [0])",
             "ValueError: custom objective must return a tuple of (gradient, hessian)"},
        Case{"pairs(lambda y, p: (y, y, y), [0], [0])",
             "ValueError: custom objective must return exactly 2 arrays, got 3"},
        Case{"pairs(const('ab', [1.0]), [0], [0])",
             "ValueError: failed to extract array as Vec<f32>: TypeError: Can't extract `str` to `Vec`"},
        Case{"pairs(const([0.0] * 99, [1.0] * 100), [0] * 100, [0] * 100)",
             "ValueError: gradient array length 99 does not match target length 100"},
        Case{"pairs(const([0.0], [1.0, 1.0]), [0], [0])",
             "ValueError: hessian array length 2 does not match target length 1"},
        Case{"pairs(raising(Outer.Failure()), [0], [0])",
             "ValueError: custom objective callable failed: Outer.Failure: <exception str() failed>"},
        Case{"pairs(3, [0], [0])",
             "ValueError: custom objective callable failed: TypeError: 'int' object is not callable"}));

TEST_F(CallbackTest, ObjectiveCallableReceivesFreshFloat32TargetsThenScores) {
  testing::run("seen.clear()");
  EXPECT_EQ(eval("pairs(residual, [1, 2], [0.5, 0.25]) and seen"),
            "[('ndarray', 'float32', True, True, [1.0, 2.0], [0.5, 0.25])]");
}

INSTANTIATE_TEST_SUITE_P(
    Loss, CallbackCases,
    ::testing::Values(Case{"loss([0, 0], [1, 2])", "2.5"},
                      Case{"loss([0], [1], lambda y, p: numpy.float64(0.1))", "0.10000000149011612"},
                      Case{"loss([0], [1], lambda y, p: 3)", "3.0"},
                      Case{"loss([0], [1], lambda y, p: 'x')",
                           "ValueError: custom loss must return a float, got: TypeError: must be real number, not str"},
                      Case{"loss([0], [1], raising(KeyError('k')))",
                           "ValueError: custom loss callable failed: KeyError: 'k'"}));

INSTANTIATE_TEST_SUITE_P(
    InitialPrediction, CallbackCases,
    ::testing::Values(Case{"initial([])", "0.0"}, Case{"initial([1, 2, 6])", "3.0"},
                      Case{"initial([1, 3], [3, 1])", "1.5"}, Case{"initial([1, 3], [-1, 0.5])", "0.0"},
                      // A row of weight 0 takes no part, however far its target lies.
                      Case{"initial([1, 3, 8], [3, 1, 0])", "1.5"}));

INSTANTIATE_TEST_SUITE_P(
    Metric, CallbackCases,
    ::testing::Values(
        Case{"metric(lambda y, p: ('rmse', 0.25, numpy.bool_(False)), [0], [1])", "('rmse', 0.25, False)"},
        Case{"metric(lambda y, p: ['m', 1.0, True], [0], [1])",
             "ValueError: custom eval metric must return a tuple of (name, value, higher_is_better)"},
        Case{"metric(lambda y, p: ('m', 1.0), [0], [1])",
             "ValueError: custom eval metric must return exactly 3 values (name, value, higher_is_better), got 2"},
        Case{"metric(lambda y, p: (1, 1.0, True), [0], [1])",
             "ValueError: metric name must be a string: TypeError: 'int' object is not an instance of 'str'"},
        Case{"metric(lambda y, p: ('m', 'x', True), [0], [1])",
             "ValueError: metric value must be a float: TypeError: must be real number, not str"},
        Case{"metric(lambda y, p: ('m', 1.0, 1), [0], [1])",
             "ValueError: higher_is_better must be a bool: TypeError: 'int' object is not an instance of 'bool'"},
        Case{"metric(lambda y, p: ('m', 1.0 / float(y[0]), True), [0], [1])",
             "ValueError: custom eval metric callable failed: ZeroDivisionError: float division by zero"},
        Case{"metric('auc', [0], [1])",
             "ValueError: custom eval metric callable failed: TypeError: 'str' object is not callable"}));

TEST_F(CallbackTest, MetricNameAndDirectionComeFromTheProbe) {
  testing::run("probes.clear()");
  EXPECT_EQ(eval("metric(auc, [1, 1, 1], [0.5, 0.25, 1])"), "('auc', 1.75, True)");
  EXPECT_EQ(eval("probes"), "[('float32', [0.0, 0.0], [0.0, 0.0]), ('float32', [1.0, 1.0, 1.0], [0.5, 0.25, 1.0])]");
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, CallbackCases,
    ::testing::Values(Case{"extract(numpy.array([0.5, 1], dtype=numpy.float32))", "[0.5, 1.0]"},
                      // Rows are items, and a row is no number.
                      Case{"extract([[1.0], [2.0]])",
                           "ValueError: failed to extract array as Vec<f32>: TypeError: must be real number, not list"},
                      Case{"extract(numpy.array([1, 2], dtype=numpy.int8))", "[1.0, 2.0]"},
                      Case{"extract([1, 'x'])",
                           "ValueError: failed to extract array as Vec<f32>: TypeError: must be real number, "
                           "not str"}));

}  // namespace
}  // namespace kestrune::python
