// Target encoding of categorical columns in the prepared matrices. Each column's encoder is
// fitted on the training strings and targets; the encoded float32 goes into the dense matrix
// (when it holds values) and the rank code of that value into the binned matrix, in the
// matrix's own storage width. Validation rows are encoded with the training encoder and coded
// into the training column's code space, so a category reads the same bin in both matrices.
//
// Failures are engine::EngineError ContractViolation (the encoder's own errors carry its display
// text, "invalid input: ..."). Every column is encoded before any cell is written, so a failure
// leaves the matrices as they were.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "categorical/target_encoder.hpp"
#include "core/artifact/categorical_state.hpp"
#include "core/binned.hpp"
#include "quantization/matrix_preparation.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {

// What the validation encoding needs of one training column.
struct TargetEncodedColumn {
  std::size_t feature_index = 0;
  categorical::TargetEncoderState state;  // fitted on all training rows
  std::vector<float> code_space;          // the training column's distinct encoded values, ascending
};

struct TrainingEncoding {
  core::CategoricalStatePayloadV1 state;  // attached to the model's artifact
  std::vector<TargetEncodedColumn> columns;  // in spec order
};

// How many distinct encoded values a column may have: codes 0..limit-1 must stay below the
// matrix's missing-value code (255 distinct in 8-bit storage, 256 in wide storage).
std::size_t max_encoded_cardinality(const core::BinnedMatrix& binned);

// `specs` in ascending feature index. Uses the dataset's targets and time index.
TrainingEncoding apply_categorical_encoding_to_training_matrices_multi(
    quantization::PreparedTrainingMatrices& training, std::span<const CategoricalTargetEncodingSpec* const> specs);

// `validation_values[i]` holds the validation strings of `encoding.columns[i]`.
void apply_categorical_encoding_to_validation_matrices_multi(
    quantization::PreparedTrainingMatrices& validation, const TrainingEncoding& encoding,
    std::span<const std::vector<std::string>* const> validation_values);

}  // namespace kestrune::python
