// The categorical steps of the pipeline. Columns with 2..max_cat_threshold distinct strings are
// split on natively: their category ids (position in byte-wise order) become the column's bins
// and the trainer is told the category count. The others are target-encoded (categorical
// bridge). Validation rows get the same treatment with the training ids and encoders.
//
// Failures are engine::EngineError ContractViolation; every column is checked before the first
// bin is written, so a failure leaves the matrices as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "categorical_bridge.hpp"
#include "engine/trainer/trainer.hpp"
#include "quantization/matrix_preparation.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {

// Feature index -> category text -> category id. Ordered, so that Python sees the dicts in a
// stable order.
using CategoryMappings = std::map<std::size_t, std::map<std::string, std::uint32_t>>;

struct CategoricalPreparation {
  std::vector<engine::trainer::CategoricalFeature> native_features;  // in spec order
  CategoryMappings native_cat_mappings;
  TrainingEncoding encoding;  // no columns when nothing was target-encoded
};

// `specs` ascending by feature index, each with one string per training row.
CategoricalPreparation apply_training_categorical_columns(quantization::PreparedTrainingMatrices& training,
                                                          const std::vector<CategoricalTargetEncodingSpec>& specs,
                                                          std::size_t max_cat_threshold);

// `validation_values[k]` holds the validation strings of `specs[k]`, one per validation row.
// A string never seen in training gets the missing bin in a native column and the prior in a
// target-encoded one.
void apply_validation_categorical_columns(quantization::PreparedTrainingMatrices& validation,
                                          const CategoricalPreparation& prepared,
                                          const std::vector<CategoricalTargetEncodingSpec>& specs,
                                          const std::vector<std::vector<std::string>>& validation_values);

}  // namespace kestrune::python
