// Target encoding of a categorical column: each category becomes the smoothed mean target of its
// training rows, a float32 that can be binned and split like any numeric feature.
//
// Blend of a category with target sum s over c rows and prior p (all float64):
//   c < min_samples_leaf  -> p
//   smoothing == 0        -> s / c
//   otherwise             -> m * w + p * (1 - w), m = s / c, w = c / (smoothing + c)
// stored as float32. Texts are compared as bytes; nothing is trimmed or case-folded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "categorical/error.hpp"

namespace kestrune::categorical {

struct TargetEncoderConfig {
  double smoothing = 20.0;            // finite, >= 0: the weight of the prior
  std::uint32_t min_samples_leaf = 1;  // > 0
  // Encode each training row from rows of strictly earlier time stamps only.
  bool time_aware = false;
};

struct CategoryTargetStats {
  std::string category;
  std::uint32_t count = 0;
  float mean = 0.0f;
  float encoded = 0.0f;  // what transform gives this category
};

struct TargetEncoderState {
  // One per distinct category, ascending byte-wise (a prefix before its extensions).
  std::vector<CategoryTargetStats> stats;
  TargetEncoderConfig config;
  float prior = 0.0f;  // mean target of all training rows
};

struct FitTransformResult {
  TargetEncoderState state;
  std::vector<float> encoded;  // one per training row, in row order
};

// CategoricalError::InvalidInput, first failure wins: smoothing, min_samples_leaf, empty values,
// length mismatch, the first non-finite target, then (time_aware only) the time index.
TargetEncoderState fit_target_encoder(const TargetEncoderConfig& config, std::span<const std::string> values,
                                      std::span<const float> targets,
                                      std::optional<std::span<const std::int64_t>> time_index);

// A category absent from the state is encoded as the prior. InvalidInput for no values.
std::vector<float> transform_target_encoder(const TargetEncoderState& state, std::span<const std::string> values);

// Fit, then encode the training rows: with the fitted state, or, when time_aware, each row from
// the rows of strictly earlier time stamps (rows of the earliest time stamp get 0).
FitTransformResult fit_transform_target_encoder(const TargetEncoderConfig& config,
                                                std::span<const std::string> values, std::span<const float> targets,
                                                std::optional<std::span<const std::int64_t>> time_index);

}  // namespace kestrune::categorical
