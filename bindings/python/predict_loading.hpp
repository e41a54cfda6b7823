// Loading a predictor from artifact bytes for the predictor handle and the one-shot prediction
// functions, and the handle's quantizing prediction paths (raw values to bins, then the bin-space
// predictor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "predictor/predictor.hpp"

namespace kestrune::python {

// With `strict`, the artifact must first load as a single-output model in the strict
// required-section mode (exactly one Trees and one PredictorLayout section); a failure is a
// PredictorError InvalidModel "canonical predictor path requires strict dual-section artifact: "
// followed by the engine error's display text. The checked model is dropped at once; the
// predictor is then built from the same bytes.
predictor::Predictor load_predictor_from_artifact_impl(std::span<const std::uint8_t> artifact_bytes, bool strict);

// The quantizing paths. Each checks its list lengths (ValueError) before quantizing, quantizes
// the whole batch, then scores the bins with Predictor::predict_batch_dense_binned, so the
// predictor's own checks (model kind, feature count, row count) come after the quantization.
// Numeric splits read the bins; categorical splits read the caller's raw values (the category ids
// their sets hold) and so do linear leaves, which were fitted on them.

// Linear bins 0..max_data_bin (254 when absent).
std::vector<float> predict_dense_quantized_linear(const predictor::Predictor& predictor, std::span<const float> values,
                                                  std::size_t row_count, std::size_t feature_count,
                                                  std::span<const float> feature_mins,
                                                  std::span<const float> feature_maxs,
                                                  std::optional<std::uint16_t> max_data_bin);

// Rank bins where rank_flags[f] is set, linear bins elsewhere; 0..max_data_bin (254 when absent).
std::vector<float> predict_dense_quantized_linear_rank(
    const predictor::Predictor& predictor, std::span<const float> values, std::size_t row_count,
    std::size_t feature_count, std::span<const float> feature_mins, std::span<const float> feature_maxs,
    const std::vector<bool>& rank_flags, std::span<const std::vector<float>> feature_sorted_values,
    std::optional<std::uint16_t> max_data_bin);

// Linear bins 0..254 from little-endian float32 bytes, read in place. Bytes beyond
// row_count x feature_count values are not read; a shorter buffer is refused.
std::vector<float> predict_dense_quantized_linear_bytes(const predictor::Predictor& predictor,
                                                        std::span<const std::uint8_t> values_bytes,
                                                        std::size_t row_count, std::size_t feature_count,
                                                        std::span<const float> feature_mins,
                                                        std::span<const float> feature_maxs);

}  // namespace kestrune::python
