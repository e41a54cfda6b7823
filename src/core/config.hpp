// The training parameters: the one record that tells the trainer how to grow a model. It has no
// constructor; the Python layer fills it field by field and `validate_train_params` guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace kestrune::core {

enum class TreeGrowth { Level, Leaf };
enum class LeafModel { Constant, Linear };
enum class LeafSolver { Standard, Dro };

enum class DroMetric { Wasserstein };
struct DroConfig {
  float radius = 0.0f;
  DroMetric metric = DroMetric::Wasserstein;
};

enum class NeutralizationKind { None, PreTarget, PerRoundGradient, SplitPenalty };
struct NeutralizationConfig {
  NeutralizationKind kind = NeutralizationKind::None;
  float factor_neutralization_lambda = 0.0f;  // ridge term of the factor projection
  float factor_penalty = 0.0f;                // split penalty strength, split_penalty kind only
};

enum class LrScheduleKind { Constant = 0, WarmupCosine = 1 };
struct LrSchedule {
  LrScheduleKind kind = LrScheduleKind::Constant;
  float warmup_frac = 0.0f;  // meaningful for WarmupCosine only
};

// Morph mode settings; the defaults are those of an empty Python dict.
struct MorphConfig {
  LrSchedule lr_schedule;
  float morph_rate = 0.1f;
  float evolution_pressure = 0.2f;
  std::uint32_t morph_warmup_iters = 5;
  float info_score_weight = 0.3f;
  float depth_penalty_base = 0.9f;
  bool balance_penalty = true;
};

enum class DartNormalizeType { Tree, Forest };
enum class DartSampleType { Uniform, Weighted };

struct StandardBoosting {};
struct GossBoosting {
  float goss_top_rate = 0.0f;
  float goss_other_rate = 0.0f;
};
struct DartBoosting {
  float dart_drop_rate = 0.0f;
  std::size_t dart_max_drop = 0;
  DartNormalizeType normalize_type = DartNormalizeType::Tree;
  DartSampleType sample_type = DartSampleType::Uniform;
};
using BoostingMode = std::variant<StandardBoosting, GossBoosting, DartBoosting>;

struct TrainParams {
  float learning_rate = 0.1f;
  std::uint16_t max_depth = 6;
  float row_subsample = 1.0f;
  float col_subsample = 1.0f;
  float min_validation_improvement = 0.0f;
  std::uint64_t seed = 0;
  bool deterministic = true;
  std::optional<std::uint16_t> early_stopping_rounds;
  std::uint32_t min_data_in_leaf = 1;
  float lambda_l1 = 0.0f;
  float lambda_l2 = 0.0f;
  float min_child_hessian = 0.0f;
  float min_split_gain = 0.0f;
  std::vector<std::int8_t> monotone_constraints;
  std::vector<float> feature_weights;
  std::vector<std::vector<std::uint32_t>> interaction_constraints;
  std::optional<std::size_t> max_leaves;
  TreeGrowth tree_growth = TreeGrowth::Level;
  LeafModel leaf_model = LeafModel::Constant;
  LeafSolver leaf_solver = LeafSolver::Standard;
  std::optional<DroConfig> dro_config;  // present exactly when leaf_solver is Dro
  std::optional<NeutralizationConfig> neutralization_config;  // absent for no neutralization
  std::optional<MorphConfig> morph_config;
  BoostingMode boosting_mode = StandardBoosting{};
  float tweedie_variance_power = 1.5f;
  float quantile_alpha = 0.5f;
};

// Rule by rule, first failure wins: CoreError::InvalidConfig with the rule's fixed message.
void validate_train_params(const TrainParams& params);

// The neutralization kind, None when no configuration is present.
inline NeutralizationKind neutralization_kind(const TrainParams& params) {
  return params.neutralization_config ? params.neutralization_config->kind : NeutralizationKind::None;
}

}  // namespace kestrune::core
