// Training and validation matrices: raw float32 features become a binned matrix plus a training
// dataset, with the binning metadata that bins later rows of the same model the same way.
//
// Storage, from max_bins (continuous_binning_max_bins):
//   2..255        8-bit codes; Linear and Rank codes 0..254; missing-value code 255
//   256..65535    16-bit codes; Linear and Rank codes 0..max_bins - 2; missing code max_bins - 1
// Quantile codes count cuts (at most max_bins - 2 in 16-bit storage, so never the missing code).
// The binned matrix's max_bin is the largest code written (missing codes included), at least 1.
//
// A matrix whose values are all whole and non-negative is taken as already binned: its values are
// its codes, up to 255 (8-bit) or max_bins - 1 (16-bit). It holds no missing value, and the
// predictor reads each value as the bin it is, so a matrix that holds that largest value as a
// value gets its missing-value code past it: 16-bit codes with missing code 256 or max_bins.
// Every other already-binned matrix keeps the storage and missing code of the table above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "quantization/metadata.hpp"

namespace kestrune::quantization {

struct PreparedTrainingMatrices {
  core::BinnedMatrix binned;
  // The dense matrix holds the codes as float32 when they were kept, else only the counts.
  core::TrainingDataset dataset;
  ContinuousBinningMetadataInternal binning_metadata;
};

// Throws EngineError, first failure wins, in this order: InvalidConfig for max_bins outside
// [2, 65535]; Core for the dense view's errors (a zero count, a values length other than
// row_count x feature_count), except ContractViolation when that product overflows a size;
// ContractViolation for a targets length other than row_count, an infinite value, and an
// already-binned value above the largest code; Core for the dense and binned matrices' errors.
PreparedTrainingMatrices prepare_training_matrices_from_dense_values(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count, std::span<const float> targets,
    std::optional<std::vector<std::int64_t>> time_index, std::optional<std::vector<float>> sample_weights,
    std::optional<std::vector<std::uint32_t>> group_id, ContinuousBinningStrategy strategy, std::size_t max_bins,
    bool keep_dense_values);

// Bins validation rows with the training call's metadata (and its strategy, max_bins and
// keep_dense_values); the result carries a copy of that metadata. The targets length is checked
// before the view, then the view and the infinity scan as in training (no max_bins check).
// Rows of an already-binned training matrix take its storage and missing code
// (`training_missing_bin`, the training matrix's), or the one past their largest value when
// they hold the usual missing code as a value; NaN stays missing.
PreparedTrainingMatrices prepare_validation_matrices_from_dense_values(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count, std::span<const float> targets,
    std::optional<std::vector<std::int64_t>> time_index, std::optional<std::vector<float>> sample_weights,
    std::optional<std::vector<std::uint32_t>> group_id, ContinuousBinningStrategy strategy,
    const ContinuousBinningMetadataInternal& training_metadata, bool keep_dense_values, std::size_t max_bins,
    std::uint16_t training_missing_bin);

}  // namespace kestrune::quantization
