// What the module registers, and in which order. Each area of the module defines its classes
// and functions in its own file and registers them here at their fixed position; the module's
// start-up adds the classes, then the functions, in position order, each also listed in
// __all__. Positions that no file registers are simply skipped.
#pragma once

#include "arguments.hpp"
#include "errors.hpp"
#include "python.hpp"

namespace kestrune::python {

enum class ClassSlot {
  NativeRuntimeInfo = 1,
  NativePredictorHandle,
  JointPredictorHandle,
  NativeContinuousBinningMetadata,
  NativeTrainingSummary,
  NativeTrainingResult,
  NativeIterationDiagnostics,
};

enum class FunctionSlot {
  native_runtime_info = 1,
  predictor_predict_batch,
  predictor_predict_batch_dense,
  predictor_predict_batch_canonical,
  predictor_predict_batch_canonical_dense,
  shap_explain_rows,
  shap_explain_rows_dense,
  shap_explain_interactions,
  shap_explain_interactions_dense,
  shap_explain_interactions_with_binning,
  shap_explain_interactions_dense_with_binning,
  shap_global_importance,
  shap_global_importance_dense,
  shap_explain_rows_with_binning,
  shap_explain_rows_dense_with_binning,
  shap_global_importance_with_binning,
  shap_global_importance_dense_with_binning,
  shap_explain_rows_multi,
  shap_explain_rows_dense_multi,
  shap_explain_interactions_multi,
  shap_explain_interactions_dense_multi,
  shap_explain_rows_with_binning_multi,
  shap_explain_rows_dense_with_binning_multi,
  shap_explain_interactions_with_binning_multi,
  shap_explain_interactions_dense_with_binning_multi,
  train_regression_artifact,
  train_regression_artifact_dense,
  train_regression_artifact_with_summary,
  train_regression_artifact_dense_with_summary,
  train_regression_artifact_dense_with_summary_bytes,
  train_joint_multi_label_ranker,
};

// Returns the process-wide type object (created on first use), or null with the Python error set.
using TypeFactory = PyObject* (*)();

// Registers a class at its position; define one as a namespace-scope constant.
struct ClassRegistration {
  ClassRegistration(ClassSlot slot, TypeFactory factory);
};

// Registers a module function at its position; define one as a namespace-scope constant.
struct FunctionRegistration {
  FunctionRegistration(FunctionSlot slot, PyMethodDef* definition);
};

struct RegisteredClass {
  ClassSlot slot;
  TypeFactory factory;
};
struct RegisteredFunction {
  FunctionSlot slot;
  PyMethodDef* definition;
};
// In position order; two registrations of one position are a programming error (panic).
std::vector<RegisteredClass> registered_classes();
std::vector<RegisteredFunction> registered_functions();

// A function or method with parameters: its name, its documentation (the text signature,
// "\n--\n\n", then any further text) and its body. `owner` names the class of a method or a
// constructor; it is null for module functions.
using FunctionBody = PyObject* (*)(PyObject* self, Arguments& args);
struct FunctionSpec {
  const char* name;
  const char* doc;
  FunctionBody body;
  const char* owner = nullptr;
};

// The entry of a METH_FASTCALL | METH_KEYWORDS function: binds, then runs the body under the
// exception guard.
template <const FunctionSpec& Spec>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded(
      [&]() -> PyObject* {
        static const Signature signature(Spec.doc, Spec.owner);
        Arguments bound = signature.bind(args, nargs, kwnames);
        return Spec.body(self, bound);
      },
      static_cast<PyObject*>(nullptr));
}

// The tp_new slot of a class built from Python: binds the constructor's arguments against the
// class's text signature; the body receives the type as `self`.
template <const FunctionSpec& Spec>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&]() -> PyObject* {
        static const Signature signature(Spec.doc, nullptr);
        Arguments bound = signature.bind(args, kwargs);
        return Spec.body(reinterpret_cast<PyObject*>(type), bound);
      },
      static_cast<PyObject*>(nullptr));
}

template <const FunctionSpec& Spec>
PyCFunction fastcall_function() {
  // The interpreter calls it with the fast-call signature that ml_flags announces.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Spec>));
}

// Definition record of a module function (flags 0xA2, as for every function with parameters).
template <const FunctionSpec& Spec>
PyMethodDef module_function_definition() {
  return {Spec.name, fastcall_function<Spec>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, Spec.doc};
}

// Definition record of an instance method.
template <const FunctionSpec& Spec>
PyMethodDef method_definition() {
  return {Spec.name, fastcall_function<Spec>(), METH_FASTCALL | METH_KEYWORDS, Spec.doc};
}

}  // namespace kestrune::python
