// train_regression_artifact_dense_with_summary_bytes(values_bytes, row_count, feature_count,
// targets_bytes, ...): the dense summary function with the training and validation features and
// targets given as raw little-endian float32 `bytes`, read without a Python object per value.
#include <optional>
#include <span>
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
    "train_regression_artifact_dense_with_summary_bytes(values_bytes, row_count, feature_count, targets_bytes, ",
    "validation_values_bytes=None, validation_row_count=None, validation_targets_bytes=None, ");

// Views of the callers' bytes objects, which are immutable and referenced by the call.
struct ByteBuffers {
  std::span<const std::uint8_t> values;
  std::span<const std::uint8_t> targets;
  std::optional<std::span<const std::uint8_t>> validation_values;
  std::optional<std::span<const std::uint8_t>> validation_targets;
};

// Every argument is converted before any buffer is decoded, and the buffers are decoded before
// any option is checked, in this order, so the first malformed one is the one reported. The
// bytes objects outlive the call's data, so aligned ones are read in place.
DenseTrainingData decode(const ByteBuffers& buffers, DenseTrainingData data) {
  data.values = bytes_to_f32_values(buffers.values);
  data.targets = bytes_to_f32_values(buffers.targets);
  if (buffers.validation_values) data.validation_values = bytes_to_f32_values(*buffers.validation_values);
  if (buffers.validation_targets) data.validation_targets = bytes_to_f32_values(*buffers.validation_targets);
  return data;
}

PyObject* train_regression_artifact_dense_with_summary_bytes(PyObject*, Arguments& args) {
  ByteBuffers buffers;
  DenseTrainingData counts;
  TrainingOptions options;
  convert_summary_options(
      args, options,
      [&] {
        buffers.values = args.required("values_bytes", to_bytes);
        counts.row_count = args.required("row_count", to_size);
        counts.feature_count = args.required("feature_count", to_size);
        buffers.targets = args.required("targets_bytes", to_bytes);
      },
      [&] {
        buffers.validation_values = args.optional("validation_values_bytes", to_bytes);
        counts.validation_row_count = args.optional("validation_row_count", to_size);
        buffers.validation_targets = args.optional("validation_targets_bytes", to_bytes);
      });
  const DenseTrainingData data = decode(buffers, std::move(counts));
  return new_training_result(train_dense_with_summary(data, options));
}

constexpr FunctionSpec spec = {"train_regression_artifact_dense_with_summary_bytes", kDoc.data(),
                               train_regression_artifact_dense_with_summary_bytes};
PyMethodDef definition = module_function_definition<spec>();
const FunctionRegistration registration(FunctionSlot::train_regression_artifact_dense_with_summary_bytes,
                                        &definition);

}  // namespace
}  // namespace kestrune::python
