#include "callbacks.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "conversions.hpp"
#include "engine/error.hpp"
#include "errors.hpp"
#include "numpy.hpp"
#include "support/panic.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;

// The interpreter lock for one Python interaction. The training call already holds it, so this
// only counts up and back down.
class InterpreterLock {
 public:
  InterpreterLock() : state_(PyGILState_Ensure()) {}
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;
  ~InterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Taking the lock from a pool thread would wait for the training thread, which waits for the
// pool: refuse instead.
void check_owner_thread(std::thread::id owner) {
  support::invariant(std::this_thread::get_id() == owner, "Python callables run on the training call's thread");
}

// The UTF-8 form of a str, or nothing (error cleared) when it has none.
std::optional<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string rendered_exception_value(PyObject* type, PyObject* value) {
  std::optional<std::string> type_name;
  if (type != nullptr && PyType_Check(type)) {
    Ref qualname(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (qualname) type_name = utf8_of(qualname.get());
    PyErr_Clear();
  }
  std::optional<std::string> text;
  if (value != nullptr) {
    Ref str(PyObject_Str(value));
    if (str) text = utf8_of(str.get());
    PyErr_Clear();
  }
  return type_name.value_or("<unknown>") + ": " + text.value_or("<exception str() failed>");
}

// Calls `callable(y_true, y_pred)`. Failing to build the arguments or the call raising ends with
// "{failure_prefix}{rendered exception}".
Ref call_with_arrays(PyObject* callable, std::span<const float> targets, std::span<const float> predictions,
                     const char* failure_prefix) {
  try {
    Ref y_true(new_f32_array(targets));
    Ref y_pred(new_f32_array(predictions));
    Ref arguments(check(PyTuple_Pack(2, y_true.get(), y_pred.get())));
    return Ref(check(PyObject_Call(callable, arguments.get(), nullptr)));
  } catch (const PythonErrorSet&) {
    throw EngineError::contract_violation(failure_prefix + take_rendered_python_exception());
  }
}

// Item `index` of a tuple, or "{failure_prefix}{rendered exception}".
Ref tuple_item(PyObject* tuple, Py_ssize_t index, const char* failure_prefix) {
  PyObject* item = PyTuple_GetItem(tuple, index);
  if (item == nullptr) throw EngineError::contract_violation(failure_prefix + take_rendered_python_exception());
  return Ref::borrowed(item);
}

// Runs a conversion of a returned value; its Python exception becomes "{failure_prefix}{...}".
template <typename Convert>
auto convert_or_fail(Convert&& convert, const char* failure_prefix) {
  try {
    return convert();
  } catch (const PythonErrorSet&) {
    throw EngineError::contract_violation(failure_prefix + take_rendered_python_exception());
  }
}

std::string length_mismatch(const char* what, std::size_t length, std::size_t targets) {
  return std::string(what) + " array length " + std::to_string(length) + " does not match target length " +
         std::to_string(targets);
}

}  // namespace

std::string take_rendered_python_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "<unknown>: <exception str() failed>";
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type);
  Ref owned_value(value);
  Ref owned_traceback(traceback);
  return rendered_exception_value(type, value);
}

std::vector<float> extract_f32_array(PyObject* object) {
  return convert_or_fail([&] { return to_f32_list(object); }, "failed to extract array as Vec<f32>: ");
}

// ---- CustomPythonObjective ----

CustomPythonObjective::CustomPythonObjective(Ref objective_fn, std::optional<Ref> loss_fn)
    : objective_fn_(std::move(objective_fn)), loss_fn_(std::move(loss_fn)), owner_thread_(std::this_thread::get_id()) {}

std::vector<core::GradientPair> CustomPythonObjective::compute_gradients(
    std::span<const float> predictions, std::span<const float> targets,
    const engine::objectives::Weights& weights) const {
  check_owner_thread(owner_thread_);
  const std::size_t n = targets.size();
  std::vector<float> gradient;
  std::vector<float> hessian;
  {
    InterpreterLock lock;
    const Ref result =
        call_with_arrays(objective_fn_.get(), targets, predictions, "custom objective callable failed: ");
    if (!PyTuple_Check(result.get())) {
      throw EngineError::contract_violation("custom objective must return a tuple of (gradient, hessian)");
    }
    const Py_ssize_t size = PyTuple_Size(result.get());
    if (size != 2) {
      throw EngineError::contract_violation("custom objective must return exactly 2 arrays, got " +
                                            std::to_string(size));
    }
    const Ref gradient_item = tuple_item(result.get(), 0, "failed to get gradient array: ");
    const Ref hessian_item = tuple_item(result.get(), 1, "failed to get hessian array: ");
    gradient = extract_f32_array(gradient_item.get());
    hessian = extract_f32_array(hessian_item.get());
    if (gradient.size() != n) throw EngineError::contract_violation(length_mismatch("gradient", gradient.size(), n));
    if (hessian.size() != n) throw EngineError::contract_violation(length_mismatch("hessian", hessian.size(), n));
  }
  // Weights come from the trainer, one per target; a shorter list would read past its end.
  engine::objectives::check_weights_length(n, weights);
  std::vector<core::GradientPair> pairs(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (weights) {
      const float w = (*weights)[i];
      pairs[i] = core::GradientPair{gradient[i] * w, hessian[i] * w};
    } else {
      pairs[i] = core::GradientPair{gradient[i], hessian[i]};
    }
  }
  return pairs;
}

void CustomPythonObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                                   const engine::objectives::Weights& weights,
                                                   std::vector<core::GradientPair>& out) const {
  std::vector<core::GradientPair> pairs = compute_gradients(predictions, targets, weights);
  out.clear();
  out.insert(out.end(), pairs.begin(), pairs.end());
}

float CustomPythonObjective::initial_prediction(std::span<const float> targets,
                                                const engine::objectives::Weights& weights) const {
  const std::size_t n = targets.size();
  if (n == 0) return 0.0f;
  if (!weights) {
    double sum = 0.0;
    for (const float y : targets) sum += static_cast<double>(y);
    return static_cast<float>(sum / static_cast<double>(n));
  }
  double total_weight = 0.0;
  for (const float w : *weights) total_weight += static_cast<double>(w);
  if (!(total_weight > 0.0)) return 0.0f;
  const std::size_t paired = std::min(n, weights->size());
  double weighted_sum = 0.0;
  for (std::size_t i = 0; i < paired; ++i) {
    weighted_sum += static_cast<double>(targets[i]) * static_cast<double>((*weights)[i]);
  }
  return static_cast<float>(weighted_sum / total_weight);
}

float CustomPythonObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                  const engine::objectives::Weights&) const {
  if (loss_fn_) {
    check_owner_thread(owner_thread_);
    InterpreterLock lock;
    const Ref result = call_with_arrays(loss_fn_->get(), targets, predictions, "custom loss callable failed: ");
    const double value =
        convert_or_fail([&] { return to_f64(result.get()); }, "custom loss must return a float, got: ");
    return narrow_to_f32(value);
  }
  if (predictions.empty()) return 0.0f;
  const std::size_t paired = std::min(predictions.size(), targets.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < paired; ++i) {
    const float d = predictions[i] - targets[i];
    sum += static_cast<double>(d) * static_cast<double>(d);
  }
  return static_cast<float>(sum / static_cast<double>(predictions.size()));
}

// ---- CustomPythonMetricCallback ----

CustomPythonMetricCallback::CustomPythonMetricCallback(std::string name, Ref metric_fn, bool higher_is_better)
    : name_(std::move(name)),
      metric_fn_(std::move(metric_fn)),
      higher_is_better_(higher_is_better),
      owner_thread_(std::this_thread::get_id()) {}

CustomPythonMetricCallback CustomPythonMetricCallback::make(Ref metric_fn) {
  const std::vector<float> zeros(2, 0.0f);
  MetricAnswer probe = call_python_static(metric_fn.get(), zeros, zeros);
  return CustomPythonMetricCallback(std::move(probe.name), std::move(metric_fn), probe.higher_is_better);
}

float CustomPythonMetricCallback::evaluate(std::span<const float> predictions, std::span<const float> targets,
                                           std::optional<std::span<const float>>) const {
  check_owner_thread(owner_thread_);
  return call_python_static(metric_fn_.get(), predictions, targets).value;
}

MetricAnswer CustomPythonMetricCallback::call_python_static(PyObject* metric_fn, std::span<const float> predictions,
                                                            std::span<const float> targets) {
  InterpreterLock lock;
  const Ref result = call_with_arrays(metric_fn, targets, predictions, "custom eval metric callable failed: ");
  if (!PyTuple_Check(result.get())) {
    throw EngineError::contract_violation("custom eval metric must return a tuple of (name, value, higher_is_better)");
  }
  const Py_ssize_t size = PyTuple_Size(result.get());
  if (size != 3) {
    throw EngineError::contract_violation(
        "custom eval metric must return exactly 3 values (name, value, higher_is_better), got " + std::to_string(size));
  }
  MetricAnswer answer;
  const Ref name = tuple_item(result.get(), 0, "failed to get metric name: ");
  answer.name = convert_or_fail([&] { return to_string(name.get()); }, "metric name must be a string: ");
  const Ref value = tuple_item(result.get(), 1, "failed to get metric value: ");
  answer.value = narrow_to_f32(convert_or_fail([&] { return to_f64(value.get()); }, "metric value must be a float: "));
  const Ref flag = tuple_item(result.get(), 2, "failed to get higher_is_better: ");
  answer.higher_is_better = convert_or_fail([&] { return to_bool(flag.get()); }, "higher_is_better must be a bool: ");
  return answer;
}

}  // namespace kestrune::python
