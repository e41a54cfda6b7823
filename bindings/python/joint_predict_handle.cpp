// JointPredictorHandle(artifact_bytes, baselines, feature_count): a joint multi-output artifact
// loaded once, with its per-output baselines, that scores flat row-major batches of bin values
// for all K outputs at once. Immutable after construction: every access is a shared borrow.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "borrow.hpp"
#include "conversions.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/predictor.hpp"
#include "record_object.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using engine::joint::JointError;
using engine::joint::JointPredictor;

struct JointHandleState {
  JointPredictor predictor;
  std::uint64_t feature_count = 0;
  BorrowFlag borrow;

  JointHandleState(JointPredictor loaded, std::uint64_t features)
      : predictor(std::move(loaded)), feature_count(features) {}
  JointHandleState(JointHandleState&& other)
      : predictor(std::move(other.predictor)), feature_count(other.feature_count) {}
};

JointHandleState& state_of(PyObject* self) { return record_of<JointHandleState>(self); }

PyObject* construct(PyObject* type, Arguments& args) {
  const std::span<const std::uint8_t> artifact = args.required("artifact_bytes", to_bytes);
  std::vector<float> baselines = args.required("baselines", to_f32_list);
  const std::uint64_t feature_count = args.required("feature_count", to_u64);
  try {
    JointPredictor loaded = JointPredictor::from_artifact_bytes(artifact, std::move(baselines));
    return new_record_object(type, JointHandleState(std::move(loaded), feature_count));
  } catch (const JointError& error) {
    throw PythonError::value_error(error.what());
  }
}

PyObject* predict_dense(PyObject* self, Arguments& args) {
  JointHandleState& state = state_of(self);
  const auto borrow = state.borrow.borrow_shared();
  const std::vector<float> values = args.required("values", to_f32_list);
  if (state.feature_count == 0) throw PythonError::value_error("feature_count must be > 0");
  if (values.size() % state.feature_count != 0) {
    throw PythonError::value_error("values length " + std::to_string(values.size()) +
                                   " not divisible by feature_count " + std::to_string(state.feature_count));
  }
  const std::vector<float> scores = state.predictor.predict_batch(values, static_cast<std::size_t>(state.feature_count));
  return to_python(std::span<const float>(scores));
}

PyObject* get_baselines(PyObject* self, void*) {
  return guarded(
      [&] {
        JointHandleState& state = state_of(self);
        const auto borrow = state.borrow.borrow_shared();
        return to_python(std::span<const float>(state.predictor.baselines()));
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* get_n_outputs(PyObject* self, void*) {
  return guarded(
      [&] {
        JointHandleState& state = state_of(self);
        const auto borrow = state.borrow.borrow_shared();
        return to_python(static_cast<std::uint64_t>(state.predictor.n_outputs()));
      },
      static_cast<PyObject*>(nullptr));
}

constexpr const char* kClassName = "JointPredictorHandle";
constexpr FunctionSpec constructor_spec = {
    kClassName,
    "JointPredictorHandle(artifact_bytes, baselines, feature_count)\n--\n\n"
    "PyO3 handle that wraps `kestrune_engine::joint::JointPredictor` for K-output\n"
    "prediction from Python. `MultiLabelGBMRanker(training_mode=\"joint\")` is the\n"
    "primary consumer.",
    construct};
constexpr FunctionSpec predict_dense_spec = {
    "predict_dense",
    "predict_dense($self, values)\n--\n\n"
    "Predict K outputs for each row. Returns a flat row-major Vec<f32> of\n"
    "length `n_rows * n_outputs`; the Python wrapper reshapes.",
    predict_dense, kClassName};

PyMethodDef handle_methods[] = {
    method_definition<predict_dense_spec>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"baselines", get_baselines, nullptr, nullptr, nullptr},
    {"n_outputs", get_n_outputs, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor_entry<constructor_spec>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<JointHandleState>)},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {Py_tp_doc, const_cast<char*>(constructor_spec.doc)},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "_kestrune.JointPredictorHandle", static_cast<int>(sizeof(RecordObject<JointHandleState>)), 0,
    kFinalClassFlags, handle_slots,
};

PyObject* joint_predictor_handle_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, handle_spec);
}

const ClassRegistration class_registration(ClassSlot::JointPredictorHandle, joint_predictor_handle_type);

}  // namespace
}  // namespace kestrune::python
