#include "engine/trainer/policy.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "../engine_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using testing_support::ScopedEnv;
using testing_support::throws_engine_error;

// rows x features of bins cycling over 0..max_bin (every cell occupied when rows > max_bin), and
// targets alternating +-spread (population variance spread^2).
struct Data {
  core::TrainingDataset dataset;
  core::BinnedMatrix binned;
};

Data make_data(std::size_t rows, std::size_t features, float spread, std::uint16_t max_bin = 3, bool constant = false) {
  std::vector<std::uint8_t> bins(rows * features);
  for (std::size_t i = 0; i < bins.size(); ++i) bins[i] = constant ? 0 : static_cast<std::uint8_t>((i / features) % (max_bin + 1));
  Data data{{}, core::BinnedMatrix::make(rows, features, max_bin, std::move(bins))};
  data.dataset.matrix = core::DatasetMatrix::make_metadata_only(rows, features);
  for (std::size_t i = 0; i < rows; ++i) data.dataset.targets.push_back(i % 2 == 0 ? spread : -spread);
  return data;
}

IterationControls automatic(const core::TrainParams& params, const Data& data, std::size_t rounds, bool ranking = false) {
  return Trainer::make(params).iteration_controls_for_policy_ext(data.dataset, data.binned, rounds, true, ranking);
}

class PolicyTest : public ::testing::Test {
 protected:
  ScopedEnv manual_{kForceManualPolicyVariable, std::nullopt};
};

TEST_F(PolicyTest, ManualWhenNotAutomaticOrForcedByTheEnvironment) {
  core::TrainParams params;
  const Data data = make_data(5000, 20, 2.0f);
  const Trainer trainer = Trainer::make(params);
  const IterationControls manual = trainer.default_iteration_controls(100);
  EXPECT_EQ(trainer.iteration_controls_for_policy(data.dataset, data.binned, 100, false), manual);
  EXPECT_NE(automatic(params, data, 100), manual);
  {
    ScopedEnv forced(kForceManualPolicyVariable, " TRUE \t");
    EXPECT_EQ(automatic(params, data, 100), manual);
    // The switch wins even over data that the policy would reject.
    Data misaligned = make_data(10, 2, 1.0f);
    misaligned.dataset.matrix = core::DatasetMatrix::make_metadata_only(11, 2);
    EXPECT_EQ(Trainer::make(params).iteration_controls_for_policy(misaligned.dataset, misaligned.binned, 100, true),
              manual);
  }
}

TEST_F(PolicyTest, SmallDataOnlyShortensLongNoisyWideRuns) {
  core::TrainParams params;
  struct Case {
    std::size_t rows, features;
    float spread;
    std::size_t rounds, expected;
  };
  for (const Case& c : {Case{400, 8, 1.5f, 300, 96}, Case{400, 8, 1.5f, 256, 256}, Case{400, 7, 1.5f, 300, 300},
                        Case{400, 8, 1.0f, 300, 300}, Case{640, 10, 1.5f, 300, 300}, Case{1023, 16, 1.5f, 300, 96}}) {
    const Data data = make_data(c.rows, c.features, c.spread);
    IterationControls expected = Trainer::make(params).default_iteration_controls(c.rounds);
    expected.rounds = c.expected;
    EXPECT_EQ(automatic(params, data, c.rounds), expected) << c.rows << "x" << c.features;
  }
}

TEST_F(PolicyTest, LargerDataGetsLeafFloorsGainFloorsAndSubsampling) {
  core::TrainParams params;
  const IterationControls c = automatic(params, make_data(5000, 20, 2.0f), 100);
  EXPECT_EQ(c.rounds, 100u);
  EXPECT_EQ(c.min_rows_per_leaf, 8u);
  EXPECT_EQ(c.min_split_gain, 0.0001f);
  EXPECT_EQ(c.min_loss_improvement, 4.0f * 1e-5f);
  EXPECT_EQ(c.loss_stall_limit, 3u);
  EXPECT_EQ(c.row_subsample, 0.9f);
  EXPECT_EQ(c.col_subsample, 1.0f);  // 20 features < 32
  EXPECT_EQ(automatic(params, make_data(5000, 20, 2.0f), 64).loss_stall_limit, 1u);

  // Leaf-size floors by row count, capped at half the rows.
  EXPECT_EQ(automatic(params, make_data(1024, 4, 1.0f), 10).min_rows_per_leaf, 4u);
  EXPECT_EQ(automatic(params, make_data(2048, 4, 1.0f), 10).min_rows_per_leaf, 8u);
  EXPECT_EQ(automatic(params, make_data(8192, 4, 1.0f), 10).min_rows_per_leaf, 16u);
  params.min_data_in_leaf = 1000;
  EXPECT_EQ(automatic(params, make_data(1024, 4, 1.0f), 10).min_rows_per_leaf, 512u);
}

TEST_F(PolicyTest, GainFloorFollowsDensityAndSize) {
  core::TrainParams params;
  // Sparse bins (one of 256 per feature used): 0.001.
  EXPECT_EQ(automatic(params, make_data(1024, 8, 1.0f, 255, true), 10).min_split_gain, 0.001f);
  // Dense but fewer than 65536 cells: no floor; under 4096 rows no loss-improvement rule.
  const IterationControls small = automatic(params, make_data(1024, 8, 1.0f), 10);
  EXPECT_EQ(small.min_split_gain, 0.0f);
  EXPECT_EQ(small.min_loss_improvement, 0.0f);
  EXPECT_EQ(small.loss_stall_limit, 0u);
  params.min_split_gain = 0.5f;
  EXPECT_EQ(automatic(params, make_data(1024, 8, 1.0f, 255, true), 10).min_split_gain, 0.5f);
}

TEST_F(PolicyTest, RankingKeepsTheParameterGainAndNoStallRule) {
  core::TrainParams params;
  const IterationControls c = automatic(params, make_data(5000, 20, 2.0f, 255, true), 100, true);
  EXPECT_EQ(c.min_split_gain, 0.0f);
  EXPECT_EQ(c.min_loss_improvement, 0.0f);
  EXPECT_EQ(c.loss_stall_limit, 0u);
  EXPECT_EQ(c.min_rows_per_leaf, 8u);
  EXPECT_EQ(c.row_subsample, 0.9f);
}

TEST_F(PolicyTest, SubsampleRatesOnlyReplaceTheDefaultOfOne) {
  core::TrainParams params;
  EXPECT_EQ(automatic(params, make_data(16384, 4, 1.0f), 10).row_subsample, 0.8f);
  EXPECT_EQ(automatic(params, make_data(2047, 4, 1.0f), 10).row_subsample, 1.0f);
  EXPECT_EQ(automatic(params, make_data(1024, 32, 1.0f), 10).col_subsample, 0.8f);
  EXPECT_EQ(automatic(params, make_data(1024, 128, 1.0f), 10).col_subsample, 0.65f);
  EXPECT_EQ(automatic(params, make_data(1024, 256, 1.0f), 10).col_subsample, 0.5f);
  EXPECT_EQ(automatic(params, make_data(1024, 31, 1.0f), 10).col_subsample, 1.0f);
  params.row_subsample = 0.7f;
  params.col_subsample = 0.6f;
  const IterationControls kept = automatic(params, make_data(16384, 40, 1.0f), 10);
  EXPECT_EQ(kept.row_subsample, 0.7f);
  EXPECT_EQ(kept.col_subsample, 0.6f);
}

TEST_F(PolicyTest, ReportsMisalignedDataAndBadTargets) {
  core::TrainParams params;
  Data data = make_data(10, 2, 1.0f);
  data.dataset.matrix = core::DatasetMatrix::make_metadata_only(11, 2);
  EXPECT_TRUE(throws_engine_error([&] { automatic(params, data, 10); }, EngineErrorKind::ContractViolation,
                                  "dataset row_count 11 does not match binned row_count 10"));
  data = make_data(10, 2, 1.0f);
  data.dataset.sample_weights = std::vector<float>(10, 0.0f);
  EXPECT_TRUE(throws_engine_error([&] { automatic(params, data, 10); }, EngineErrorKind::ContractViolation,
                                  "sample weight sum must be greater than 0"));
}

TEST_F(PolicyTest, SplitOptionsComeFromParametersOrTheEnvironment) {
  ScopedEnv l2(kSplitL2Variable, "2.5");
  ScopedEnv l1(kSplitL1Variable, " 0.5 ");
  ScopedEnv hess(kMinChildHessVariable, std::nullopt);
  ScopedEnv magnitude(kSplitMinLeafMagnitudeVariable, "0.125");
  const Data data = make_data(10, 2, 1.0f);
  core::TrainParams params;
  SplitSelectionOptions options = split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned);
  EXPECT_EQ(options.split_l2, 2.5f);
  EXPECT_EQ(options.split_l1, 0.5f);
  EXPECT_EQ(options.min_child_hess, 0.0f);
  EXPECT_EQ(options.min_leaf_magnitude, 0.125f);
  EXPECT_EQ(options.missing_bin, 255u);
  EXPECT_FALSE(options.gradient_noise_strength.has_value());

  // Any non-zero regulariser in the parameters takes all three from them.
  params.min_child_hessian = 0.01f;
  options = split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned);
  EXPECT_EQ(options.split_l2, 0.0f);
  EXPECT_EQ(options.split_l1, 0.0f);
  EXPECT_EQ(options.min_child_hess, 0.01f);
  EXPECT_EQ(options.min_leaf_magnitude, 0.125f);

  params.leaf_solver = core::LeafSolver::Dro;
  params.dro_config = core::DroConfig{0.3f};
  EXPECT_EQ(split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned)
                .gradient_noise_strength,
            std::optional<float>(0.3f));
  params.dro_config = core::DroConfig{0.0f};
  EXPECT_FALSE(split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned)
                   .gradient_noise_strength.has_value());

  ScopedEnv bad(kSplitL1Variable, "abc");
  EXPECT_TRUE(throws_engine_error(
      [&] { split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned); },
      EngineErrorKind::InvalidConfig, "KESTRUNE_EXPERIMENT_SPLIT_L1 must be a finite, non-negative f32 value"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
