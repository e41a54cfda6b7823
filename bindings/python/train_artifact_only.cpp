// train_regression_artifact(rows, targets, ...) and train_regression_artifact_dense(values,
// row_count, feature_count, targets, ...): training with a reduced parameter set (no validation
// set, no tree-shape or regularization options, at most one categorical column) that returns
// only the model artifact, as bytes. They train through the summary functions' pipeline, so the
// artifact is the one those functions return for the same arguments.
#include <cstdint>
#include <utility>
#include <vector>

#include "conversions.hpp"
#include "f32_values.hpp"
#include "python.hpp"
#include "registry.hpp"
#include "support/panic.hpp"
#include "training_arguments.hpp"
#include "training_assembly.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {
namespace {

constexpr auto kRowsDoc = artifact_training_doc("train_regression_artifact(rows, targets, ");
constexpr auto kDenseDoc =
    artifact_training_doc("train_regression_artifact_dense(values, row_count, feature_count, targets, ");

// The artifact, copied once into a new bytes object; the rest of the result is dropped with the
// record. A bytes object that cannot be created ends the call as an internal failure
// (PanicException).
PyObject* artifact_of(const TrainingResultRecord& result) {
  const std::vector<std::uint8_t>& artifact = result.artifact_bytes;
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(artifact.data()),
                                              static_cast<Py_ssize_t>(artifact.size()));
  if (bytes == nullptr) {
    PyErr_Clear();
    support::panic("could not create the bytes object of the trained artifact");
  }
  return bytes;
}

PyObject* train_regression_artifact(PyObject*, Arguments& args) {
  std::vector<std::vector<float>> rows;
  std::vector<float> targets;
  TrainingOptions options;
  convert_artifact_options(args, options, [&] {
    rows = args.required("rows", to_f32_rows);
    targets = args.required("targets", to_f32_list);
  });
  AssembledTraining assembled = assemble_artifact_training(options, rows.size());
  const FlatRows flat = flatten_rows(rows);
  rows = {};
  const TrainingFeatures features{flat.values, flat.row_count, flat.feature_count, targets,
                                  std::nullopt, std::nullopt, std::nullopt};
  return artifact_of(run_training_pipeline(features, options, std::move(assembled)));
}

PyObject* train_regression_artifact_dense(PyObject*, Arguments& args) {
  F32Values values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  F32Values targets;
  TrainingOptions options;
  convert_artifact_options(args, options, [&] {
    values = args.required("values", to_f32_values);
    row_count = args.required("row_count", to_size);
    feature_count = args.required("feature_count", to_size);
    targets = args.required("targets", to_f32_values);
  });
  AssembledTraining assembled = assemble_artifact_training(options, row_count);
  const TrainingFeatures features{values.span(), row_count, feature_count, targets.span(),
                                  std::nullopt, std::nullopt, std::nullopt};
  return artifact_of(run_training_pipeline(features, options, std::move(assembled)));
}

constexpr FunctionSpec rows_spec = {"train_regression_artifact", kRowsDoc.data(), train_regression_artifact};
PyMethodDef rows_definition = module_function_definition<rows_spec>();
const FunctionRegistration rows_registration(FunctionSlot::train_regression_artifact, &rows_definition);

constexpr FunctionSpec dense_spec = {"train_regression_artifact_dense", kDenseDoc.data(),
                                     train_regression_artifact_dense};
PyMethodDef dense_definition = module_function_definition<dense_spec>();
const FunctionRegistration dense_registration(FunctionSlot::train_regression_artifact_dense, &dense_definition);

}  // namespace
}  // namespace kestrune::python
