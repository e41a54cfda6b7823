// The training procedure behind train_joint_multi_label_ranker: per-output checks, objectives,
// binning, option parsing, native categorical ids, the warm-start contract, the joint fit and
// the artifact. Every failure throws the Python exception the call raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python.hpp"

namespace kestrune::python {

// The 44 converted arguments, in declaration order.
struct JointRankerInputs {
  std::vector<float> x_values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  std::vector<std::vector<float>> targets_per_output;
  std::size_t n_outputs = 0;
  std::vector<std::string> per_output_objective_names;
  std::optional<std::vector<std::uint32_t>> group_id;
  std::size_t n_estimators = 0;
  float learning_rate = 0.0f;
  std::uint64_t seed = 0;
  std::uint16_t max_depth = 0;
  std::uint32_t min_data_in_leaf = 0;
  float lambda_l2 = 0.0f;
  std::size_t max_bin = 0;
  float min_split_gain = 0.0f;
  float row_subsample = 1.0f;
  float col_subsample = 1.0f;
  std::vector<std::vector<std::uint32_t>> interaction_constraints;
  std::string tree_growth = "level";
  std::optional<std::size_t> max_leaves;
  std::vector<std::size_t> categorical_feature_indices;
  std::size_t max_cat_threshold = 0;
  std::string boosting_mode = "standard";
  std::optional<float> goss_top_rate;
  std::optional<float> goss_other_rate;
  std::optional<float> dart_drop_rate;
  std::optional<std::size_t> dart_max_drop;
  std::optional<std::string> dart_normalize_type;
  std::optional<std::string> dart_sample_type;
  std::optional<std::vector<std::uint8_t>> init_artifact_bytes;
  std::optional<std::vector<float>> init_baselines;
  std::optional<std::size_t> init_rounds_completed;
  std::optional<Ref> morph_config;
  std::string leaf_solver = "standard";
  float dro_radius = 0.05f;
  std::string dro_metric = "wasserstein";
  std::optional<std::vector<float>> factor_exposure_values;
  std::optional<std::size_t> factor_exposure_row_count;
  std::optional<std::size_t> factor_exposure_factor_count;
  std::string neutralization = "none";
  float factor_neutralization_lambda = 1e-6f;
  float factor_penalty = 0.0f;
  std::optional<float> tweedie_variance_power;
  std::optional<float> quantile_alpha;
};

struct JointRankerResult {
  std::vector<std::uint8_t> artifact;
  std::vector<float> baselines;
  std::size_t feature_count = 0;
  std::size_t rounds = 0;
};

JointRankerResult train_joint_ranker(JointRankerInputs inputs);

}  // namespace kestrune::python
