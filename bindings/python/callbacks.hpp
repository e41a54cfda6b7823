// Python callables inside a fit: the custom objective ("custom"), its optional loss, and the
// per-round evaluation metric. Each callable is called as fn(y_true, y_pred) with two fresh
// one-dimensional float32 numpy arrays (targets first, then the raw scores of the same rows);
// sample weights and query groups are never passed to Python.
//
// Every failure is engine::EngineError ContractViolation carrying a fixed message; an exception
// raised by the callable is rendered into it as "{type qualname}: {str(exception)}" and then
// dropped (no chaining). The adapters hold the interpreter lock for each Python interaction and
// must only ever be called on the thread that built them, the training call's: a call from any
// other thread (a pool task) is an internal failure, never a wait for the lock.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/histogram.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/trainer/fit_objective.hpp"
#include "engine/trainer/metric_callback.hpp"
#include "python.hpp"

namespace kestrune::python {

// A float32 list from an array-like a callable returned: a one-dimensional float32 or float64
// buffer is read in one pass, anything else item by item through float conversion; a str is
// refused. Failure: "failed to extract array as Vec<f32>: {rendered exception}".
std::vector<float> extract_f32_array(PyObject* object);

// "{type qualname}: {str(exception)}" of the interpreter's current exception, which is cleared.
std::string take_rendered_python_exception();

class CustomPythonObjective {
 public:
  CustomPythonObjective(Ref objective_fn, std::optional<Ref> loss_fn);

  // Calls objective_fn(y, p); the callable returns unweighted per-row derivatives and the
  // weights are applied here. The pairs are not checked: the trainer validates them.
  std::vector<core::GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                                    const engine::objectives::Weights& weights) const;
  // On failure `out` is left as it was.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const engine::objectives::Weights& weights, std::vector<core::GradientPair>& out) const;
  // Weighted mean of the targets in float64; no Python call.
  float initial_prediction(std::span<const float> targets, const engine::objectives::Weights& weights) const;
  // loss_fn(y, p) as float32, or the unweighted mean squared error without a loss callable.
  float loss(std::span<const float> predictions, std::span<const float> targets,
             const engine::objectives::Weights& weights) const;

 private:
  Ref objective_fn_;
  std::optional<Ref> loss_fn_;
  std::thread::id owner_thread_;
};

static_assert(engine::objectives::ObjectiveOps<CustomPythonObjective>);

// What one call of the metric callable answered.
struct MetricAnswer {
  std::string name;
  float value = 0.0f;
  bool higher_is_better = false;
};

class CustomPythonMetricCallback final : public engine::trainer::PerRoundMetricCallback {
 public:
  // Probes the callable once with two all-zero float32 arrays of length 2 and keeps the name and
  // direction it answers; they hold for the whole training call.
  static CustomPythonMetricCallback make(Ref metric_fn);

  // Calls metric_fn(y, p) and validates the whole answer; only the value is used.
  float evaluate(std::span<const float> predictions, std::span<const float> targets,
                 std::optional<std::span<const float>> weights) const override;
  bool higher_is_better() const override { return higher_is_better_; }
  std::string_view metric_name() const override { return name_; }

  // The one routine that calls a metric callable and checks its answer.
  static MetricAnswer call_python_static(PyObject* metric_fn, std::span<const float> predictions,
                                         std::span<const float> targets);

 private:
  CustomPythonMetricCallback(std::string name, Ref metric_fn, bool higher_is_better);

  std::string name_;
  Ref metric_fn_;
  bool higher_is_better_;
  std::thread::id owner_thread_;
};

}  // namespace kestrune::python

// The boosting loop takes the custom objective's starting score from the target mean and checks
// its gradient pairs every round, since they come from user code.
template <>
struct kestrune::engine::trainer::FitObjectiveTraits<kestrune::python::CustomPythonObjective>
    : kestrune::engine::trainer::CustomObjectiveFitTraits {};
