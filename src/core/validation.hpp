// Checks of the feature matrices and of a fit's dataset. Each stops at the first failing rule
// and throws CoreError::Validation with that rule's message; the rule order is fixed, since the
// first failure is the one reported.
#pragma once

#include "core/binned.hpp"
#include "core/dataset.hpp"

namespace kestrune::core {

// row_count > 0, feature_count > 0, max_bin > 0, bins length == row_count * feature_count,
// then every entry <= max_bin or == missing_bin. Only the primary `bins` list is read.
void validate_binned_matrix(const BinnedMatrix& matrix);

// row_count > 0, feature_count > 0, values empty or of length row_count * feature_count.
void validate_dataset_matrix(const DatasetMatrix& matrix);

// As validate_dataset_matrix, but an empty buffer is a length mismatch too.
void validate_dense_matrix_view(const DenseMatrixView& view);

// The matrix, then the targets, sample_weights, time_index and group_id lengths against the
// row count, then the factor exposures' shape and finiteness. Values are not inspected.
void validate_training_dataset(const TrainingDataset& dataset);

}  // namespace kestrune::core
