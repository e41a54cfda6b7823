// The artifact-driven batch predictor: a self-contained model built from the bytes of a model
// artifact, scoring rows of float32 values without the training engine.
//
// Rows hold bin indices as floats until one of the threshold conversions rewrites the split
// thresholds into raw-value space; afterwards they hold raw feature values. NaN is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/categorical_state.hpp"
#include "core/artifact/metadata_json.hpp"
#include "predictor/forest.hpp"

namespace kestrune::predictor {

struct Predictor {
  std::optional<std::size_t> num_classes;  // the class count K of a multiclass model
  core::ModelMetadata metadata;            // its feature names fix the feature count
  Forest trees;                            // single-output trees; empty for a multiclass model
  std::optional<core::CategoricalStatePayloadV1> categorical_state;  // kept, not consulted
  std::optional<std::vector<float>> class_baselines;                 // multiclass: K values
  std::optional<std::vector<Forest>> class_trees;                    // multiclass: one forest per class
  float base_score = 0.0f;
  bool thresholds_are_float = false;

  // Parses the container and the tree payloads (Trees or MultiClassTrees) with the optional
  // categorical, native categorical split, linear-leaf and DART weight sections. Container and
  // section decoder failures are PredictorError::Core, malformed payloads InvalidModel.
  static Predictor from_artifact_bytes(std::span<const std::uint8_t> bytes);

  std::size_t feature_count() const { return metadata.feature_names.size(); }
  // Trees of the whole model: single-output trees, or all classes' trees together.
  std::size_t total_tree_count() const;

  // Single-output batches: one transformed score per row, in row order.
  std::vector<float> predict_batch(std::span<const std::vector<float>> rows) const;
  std::vector<float> predict_batch_dense(std::span<const float> values, std::size_t row_count,
                                         std::size_t feature_count) const;
  // Little-endian float32 bytes, row-major; always on the worker pool.
  std::vector<float> predict_batch_dense_bytes(std::span<const std::uint8_t> bytes, std::size_t row_count,
                                               std::size_t feature_count) const;

  // Single-output batches of raw rows that the caller has binned: numeric node tests read `bins`
  // (bin indices as floats); categorical node tests and linear leaves read the same rows' raw
  // feature values, given as floats (as many as bins) or as little-endian float32 bytes (at least
  // as many; the rest is not read), since category sets hold category ids, not bins of them, and
  // linear leaves are fitted on raw values. Checks as predict_batch_dense. A model with neither
  // never reads the raw values and scores exactly as predict_batch_dense(bins).
  std::vector<float> predict_batch_dense_binned(std::span<const float> bins, std::span<const float> raw,
                                                std::size_t row_count, std::size_t feature_count) const;
  std::vector<float> predict_batch_dense_binned_bytes(std::span<const float> bins,
                                                      std::span<const std::uint8_t> raw_bytes, std::size_t row_count,
                                                      std::size_t feature_count) const;
  bool has_linear_leaves() const;
  bool has_categorical_splits() const;

  // Multiclass batches: K class probabilities per row, flat and row-major.
  std::vector<float> predict_batch_multiclass(std::span<const std::vector<float>> rows) const;
  std::vector<float> predict_batch_dense_multiclass(std::span<const float> values, std::size_t row_count,
                                                    std::size_t feature_count) const;

  // The raw single-output score of one row (no output transform). A node whose feature is not
  // below `feature_count` fails when the row reaches it; `feature_count` must not exceed the row.
  float predict_row_with_feature_count(std::span<const float> row, std::size_t feature_count) const;
  float predict_row_dense_unchecked(std::span<const float> row, std::size_t feature_count) const;

  // Threshold conversions into raw-value space; each rewrites every node threshold of every
  // tree (all classes included) and sets thresholds_are_float. A failed check changes nothing.
  void convert_bin_thresholds_to_float(std::span<const float> feature_mins, std::span<const float> feature_maxs,
                                       std::uint16_t max_data_bin);
  void convert_bin_thresholds_to_float_quantile(std::span<const std::vector<float>> feature_cuts);
  void convert_bin_thresholds_to_float_prebinned();
};

// Whether a batch of `rows` rows over `trees` trees is scored on the worker pool: at least 256
// rows and at least 16384 row-tree evaluations. Smaller batches run serially in row order.
bool uses_parallel_evaluation(std::size_t rows, std::size_t trees);

}  // namespace kestrune::predictor
