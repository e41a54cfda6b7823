// train_regression_artifact_dense_with_summary(values, row_count, feature_count, targets, ...):
// training from one flat row-major list of feature values with explicit counts (and likewise for
// the validation rows), returning a NativeTrainingResult.
#include <utility>

#include "conversions.hpp"
#include "f32_values.hpp"
#include "registry.hpp"
#include "result_classes.hpp"
#include "training_arguments.hpp"
#include "training_assembly.hpp"

namespace kestrune::python {
namespace {

constexpr auto kDoc = summary_training_doc(
    "train_regression_artifact_dense_with_summary(values, row_count, feature_count, targets, ",
    "validation_values=None, validation_row_count=None, validation_targets=None, ");

PyObject* train_regression_artifact_dense_with_summary(PyObject*, Arguments& args) {
  DenseTrainingData data;
  TrainingOptions options;
  // The lists are stored as converted (float32 arrays borrowed), neither measured nor reshaped:
  // the pipeline checks them against their counts.
  convert_summary_options(
      args, options,
      [&] {
        data.values = args.required("values", to_f32_values);
        data.row_count = args.required("row_count", to_size);
        data.feature_count = args.required("feature_count", to_size);
        data.targets = args.required("targets", to_f32_values);
      },
      [&] {
        data.validation_values = args.optional("validation_values", to_f32_values);
        data.validation_row_count = args.optional("validation_row_count", to_size);
        data.validation_targets = args.optional("validation_targets", to_f32_values);
      });
  return new_training_result(train_dense_with_summary(data, options));
}

constexpr FunctionSpec spec = {"train_regression_artifact_dense_with_summary", kDoc.data(),
                               train_regression_artifact_dense_with_summary};
PyMethodDef definition = module_function_definition<spec>();
const FunctionRegistration registration(FunctionSlot::train_regression_artifact_dense_with_summary, &definition);

}  // namespace
}  // namespace kestrune::python
