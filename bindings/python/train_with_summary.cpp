// train_regression_artifact_with_summary(rows, targets, ...): training from a list of feature
// rows, returning a NativeTrainingResult (artifact bytes, summary, binning metadata and native
// category mappings).
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "conversions.hpp"
#include "errors.hpp"
#include "registry.hpp"
#include "result_classes.hpp"
#include "training_arguments.hpp"
#include "training_assembly.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {
namespace {

constexpr auto kDoc = summary_training_doc("train_regression_artifact_with_summary(rows, targets, ",
                                           "validation_rows=None, validation_targets=None, ");

struct RowArguments {
  std::vector<std::vector<float>> rows;
  std::vector<float> targets;
  std::optional<std::vector<std::vector<float>>> validation_rows;
  std::optional<std::vector<float>> validation_targets;
  TrainingOptions options;
};

// Converts the 69 parameters strictly in signature order; the first failure ends the call.
RowArguments convert_arguments(Arguments& args) {
  RowArguments converted;
  convert_summary_options(
      args, converted.options,
      [&] {
        converted.rows = args.required("rows", to_f32_rows);
        converted.targets = args.required("targets", to_f32_list);
      },
      [&] {
        converted.validation_rows = args.optional("validation_rows", to_f32_rows);
        converted.validation_targets = args.optional("validation_targets", to_f32_list);
      });
  return converted;
}

TrainingResultRecord train_from_rows(RowArguments arguments) {
  TrainingOptions& options = arguments.options;
  AssembledTraining assembled = assemble_training(options, arguments.rows.size());

  const FlatRows training = flatten_rows(arguments.rows);
  arguments.rows = {};
  std::optional<FlatRows> validation;
  if (arguments.validation_rows) {
    validation = flatten_rows(*arguments.validation_rows);
    arguments.validation_rows.reset();
    if (validation->feature_count != training.feature_count) {
      throw PythonError::value_error("validation feature_count must match training feature_count");
    }
  }

  TrainingFeatures features{training.values, training.row_count, training.feature_count, arguments.targets,
                            std::nullopt, std::nullopt, std::nullopt};
  if (validation) {
    features.validation_values = std::span<const float>(validation->values);
    features.validation_row_count = validation->row_count;
  }
  if (arguments.validation_targets) features.validation_targets = std::span<const float>(*arguments.validation_targets);
  return run_training_pipeline(features, options, std::move(assembled));
}

PyObject* train_regression_artifact_with_summary(PyObject*, Arguments& args) {
  return new_training_result(train_from_rows(convert_arguments(args)));
}

constexpr FunctionSpec spec = {"train_regression_artifact_with_summary", kDoc.data(),
                               train_regression_artifact_with_summary};
PyMethodDef definition = module_function_definition<spec>();
const FunctionRegistration registration(FunctionSlot::train_regression_artifact_with_summary, &definition);

}  // namespace
}  // namespace kestrune::python
