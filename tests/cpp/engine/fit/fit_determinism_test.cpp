// A deterministic fit is a pure function of its inputs and seed: the same model in every run and
// whatever the pool size. The digests printed here are compared across pool sizes by ctest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <variant>
#include <vector>

#include "../../joint/joint_fit_support.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using multiclass_testing::make_multiclass_data;
using multiclass_testing::run_multiclass;

// FNV-1a over the artifact bytes and the losses' bits.
std::uint64_t digest_of(std::span<const std::uint8_t> artifact, std::span<const float> train_loss,
                        std::span<const float> validation_loss) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  };
  mix(artifact);
  for (const std::span<const float> losses : {train_loss, validation_loss}) {
    for (const std::uint32_t bits : bits_of(losses)) {
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                     static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
      mix(bytes);
    }
  }
  return hash;
}

// Sampled rows and columns, and enough features for the tiles to depend on the pool size.
core::TrainParams sampled_params(core::BoostingMode mode, core::TreeGrowth growth) {
  core::TrainParams params = small_params();
  params.seed = 1234;
  params.deterministic = true;
  params.row_subsample = 0.8f;
  params.col_subsample = 0.9f;
  params.boosting_mode = mode;
  params.tree_growth = growth;
  params.max_leaves = 8;
  return params;
}

struct Case {
  const char* name;
  core::BoostingMode mode;
  core::TreeGrowth growth;
  bool categorical = false;  // features 0 and 5 split by category sets (their 16 bin codes)
  core::LeafModel leaf_model = core::LeafModel::Constant;
  bool morph = false;          // warm-up cosine schedule, surprise term from the third round
  bool split_penalty = false;  // two factor exposures, one tied to feature 0, and a penalty on splits
};

// Exposures of the training rows: factor 0 follows feature 0, factor 1 is noise.
void add_exposures(Data& data) {
  const std::size_t rows = data.dataset.matrix.row_count;
  const std::size_t features = data.dataset.matrix.feature_count;
  std::mt19937_64 rng(rows);
  std::normal_distribution<float> noise(0.0f, 0.5f);
  std::vector<float> values(rows * 2);
  for (std::size_t r = 0; r < rows; ++r) {
    const float x = data.dataset.matrix.values[r * features];
    values[2 * r] = (std::isnan(x) ? 0.5f : x) + noise(rng);
    values[2 * r + 1] = noise(rng);
  }
  data.dataset.factor_exposures = core::FactorExposureMatrix::make(rows, 2, std::move(values));
}

bool has_set_split(std::span<const TrainedStump> stumps) {
  return std::any_of(stumps.begin(), stumps.end(), [](const TrainedStump& s) { return s.categorical; });
}

Trainer trainer_for(const Case& c) {
  core::TrainParams params = sampled_params(c.mode, c.growth);
  params.leaf_model = c.leaf_model;
  // A ridge term keeps the single-output leaf solves well posed on 200 rows.
  if (c.leaf_model == core::LeafModel::Linear) params.lambda_l2 = 1.0f;
  if (c.morph) {
    core::MorphConfig morph;
    morph.lr_schedule = {core::LrScheduleKind::WarmupCosine, 0.3f};
    morph.morph_warmup_iters = 2;
    params.morph_config = morph;
  }
  if (c.split_penalty) {
    params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::SplitPenalty, 1e-3f, 2.0f};
  }
  Trainer trainer = make_trainer(params);
  if (!c.categorical) return trainer;
  return std::move(trainer).with_categorical_features({{0, 16}, {5, 16}});
}

// Read by the ctest entries that run these suites with one and with four pool threads.
void print_digest(const char* name, std::uint64_t digest) {
  std::printf("fit digest %s: %016llx\n", name, static_cast<unsigned long long>(digest));
}

TEST(FitDeterminism, SameSeedSameModel) {
  const Case cases[] = {
      {"subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level},
      {"goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf},
      {"dart_level", core::DartBoosting{0.3f, 2, core::DartNormalizeType::Forest, core::DartSampleType::Weighted},
       core::TreeGrowth::Level},
      {"categorical_subsample_leaf", core::StandardBoosting{}, core::TreeGrowth::Leaf, true},
      {"linear_leaves_level", core::StandardBoosting{}, core::TreeGrowth::Level, false, core::LeafModel::Linear},
      {"linear_leaves_goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf, false,
       core::LeafModel::Linear},
      {"morph_subsample_leaf", core::StandardBoosting{}, core::TreeGrowth::Leaf, false, core::LeafModel::Constant,
       true},
      {"morph_categorical_level", core::StandardBoosting{}, core::TreeGrowth::Level, true, core::LeafModel::Constant,
       true},
      {"split_penalty_subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level, false,
       core::LeafModel::Constant, false, true},
      {"split_penalty_categorical_goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf, true,
       core::LeafModel::Constant, false, true},
      {"morph_split_penalty_categorical_leaf", core::StandardBoosting{}, core::TreeGrowth::Leaf, true,
       core::LeafModel::Constant, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // DART fits use query RMSE, which keeps every tree whatever the training loss does, so that
    // they run all their rounds.
    const bool ranking = std::holds_alternative<core::DartBoosting>(c.mode);
    const Target target = ranking ? Target::Relevance : Target::Regression;
    Data train = make_data(77, 200, 40, target);
    if (c.split_penalty) add_exposures(train);
    const Data validation = make_data(78, 60, 40, target);
    const Trainer trainer = trainer_for(c);
    auto fit = [&] {
      const IterationControls controls = trainer.default_iteration_controls(6);
      if (ranking) return run_fit(trainer, train, objectives::QueryRMSEObjective(*train.dataset.group_id), controls,
                                  {&validation});
      return run_fit(trainer, train, objectives::SquaredErrorObjective{}, controls, {&validation});
    };
    const IterationRunSummary first = fit();
    const IterationRunSummary second = fit();
    EXPECT_EQ(first.rounds_completed, 6u);
    EXPECT_EQ(has_set_split(first.model.stumps), c.categorical);
    if (c.leaf_model == core::LeafModel::Linear) {
      EXPECT_TRUE(std::ranges::any_of(first.model.stumps, [](const TrainedStump& stump) {
        return core::linear_leaf_if(stump.left) != nullptr;
      }));
    }
    if (c.split_penalty) {
      // The penalty shapes these trees: without it (gradients still projected) the losses differ.
      core::TrainParams free = trainer.params();
      free.neutralization_config->factor_penalty = 0.0f;
      const Trainer plain = make_trainer(free).with_categorical_features(trainer.categorical_features());
      EXPECT_NE(bits_of(run_fit(plain, train, objectives::SquaredErrorObjective{},
                                plain.default_iteration_controls(6), {&validation}).train_loss),
                bits_of(first.train_loss));
    }
    const std::uint64_t digest = digest_of(first.model.to_artifact_bytes(), first.train_loss, first.validation_loss);
    EXPECT_EQ(digest, digest_of(second.model.to_artifact_bytes(), second.train_loss, second.validation_loss));
    print_digest(c.name, digest);
  }
}

TEST(FitDeterminism, JointMultiOutputSameSeedSameModel) {
  using namespace joint::testing_support;
  const JointData data = make_joint_data(77, 300, 8);
  const std::pair<std::size_t, std::size_t> categorical[] = {{3, 16}};
  struct JointCase {
    const char* name;
    core::BoostingMode mode;
    core::TreeGrowth growth;
    bool morph = false;
    std::optional<core::NeutralizationKind> neutralization = std::nullopt;
  };
  const JointCase cases[] = {
      {"joint_subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level},
      {"joint_goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf},
      {"joint_dart_level", core::DartBoosting{0.3f, 2, core::DartNormalizeType::Forest, core::DartSampleType::Weighted},
       core::TreeGrowth::Level},
      {"joint_morph_per_round_gradient_leaf", core::StandardBoosting{}, core::TreeGrowth::Leaf, true,
       core::NeutralizationKind::PerRoundGradient},
      {"joint_split_penalty_level", core::StandardBoosting{}, core::TreeGrowth::Level, false,
       core::NeutralizationKind::SplitPenalty},
  };
  for (const JointCase& c : cases) {
    SCOPED_TRACE(c.name);
    core::TrainParams params = joint_params();
    params.row_subsample = 0.8f;
    params.col_subsample = 0.8f;
    params.boosting_mode = c.mode;
    params.tree_growth = c.growth;
    if (c.morph) params.morph_config = core::MorphConfig{};
    if (c.neutralization) params.neutralization_config = core::NeutralizationConfig{*c.neutralization, 1e-3f, 0.05f};
    auto digest = [&] {
      const joint::JointTrainingSummary summary = fit_joint(data, params, 6, std::nullopt, categorical);
      EXPECT_EQ(summary.rounds_completed, 6u);
      return digest_of(summary.model.to_artifact_bytes(), summary.baselines, {});
    };
    const std::uint64_t first = digest();
    EXPECT_EQ(first, digest());
    print_digest(c.name, first);
  }
}

TEST(MulticlassDeterminism, SameSeedSameModel) {
  const Case cases[] = {
      {"multiclass_subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level},
      {"multiclass_goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf},
      {"multiclass_categorical_level", core::StandardBoosting{}, core::TreeGrowth::Level, true},
      {"multiclass_linear_leaves_level", core::StandardBoosting{}, core::TreeGrowth::Level, false,
       core::LeafModel::Linear},
      {"multiclass_morph_categorical_leaf", core::StandardBoosting{}, core::TreeGrowth::Leaf, true,
       core::LeafModel::Constant, true},
      {"multiclass_split_penalty_categorical_level", core::StandardBoosting{}, core::TreeGrowth::Level, true,
       core::LeafModel::Constant, false, true},
  };
  const Data train = make_multiclass_data(77, 240, 40);
  Data exposed = make_multiclass_data(77, 240, 40);
  add_exposures(exposed);
  const Data validation = make_multiclass_data(78, 60, 40);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Trainer trainer = trainer_for(c);
    auto digest = [&] {
      MultiClassIterationRunSummary run =
          run_multiclass(trainer, c.split_penalty ? exposed : train, trainer.default_iteration_controls(5),
                         &validation);
      EXPECT_EQ(run.rounds_completed, 5u);
      EXPECT_EQ(has_set_split(run.class_stumps[0]), c.categorical);
      return digest_of(multiclass_trained_model(run).to_artifact_bytes(), run.train_loss, run.validation_loss);
    };
    const std::uint64_t first = digest();
    EXPECT_EQ(first, digest());
    print_digest(c.name, first);
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
