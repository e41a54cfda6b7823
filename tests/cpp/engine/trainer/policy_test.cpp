#include "engine/trainer/policy.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "../engine_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using testing_support::ScopedEnv;
using testing_support::throws_engine_error;

// rows x features of bins cycling over 0..max_bin (every cell occupied when rows > max_bin), or all
// in bin 0 when `sparse`, and targets alternating +-spread (population variance spread^2).
struct Data {
  core::TrainingDataset dataset;
  core::BinnedMatrix binned;
};

Data make_data(std::size_t rows, std::size_t features, float spread = 1.0f, bool sparse = false) {
  const std::uint16_t max_bin = sparse ? 255 : 3;
  std::vector<std::uint8_t> bins(rows * features);
  for (std::size_t i = 0; i < bins.size(); ++i) bins[i] = sparse ? 0 : static_cast<std::uint8_t>((i / features) % 4);
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
  const core::TrainParams params;
  const Data data = make_data(5000, 20, 2.0f);
  const Trainer trainer = Trainer::make(params);
  const IterationControls manual = trainer.default_iteration_controls(100);
  EXPECT_EQ(trainer.iteration_controls_for_policy(data.dataset, data.binned, 100, false), manual);
  EXPECT_NE(automatic(params, data, 100), manual);
  ScopedEnv forced(kForceManualPolicyVariable, " TRUE \t");
  EXPECT_EQ(automatic(params, data, 100), manual);
  // The switch wins even over data that the policy would reject.
  Data misaligned = make_data(10, 2);
  misaligned.dataset.matrix = core::DatasetMatrix::make_metadata_only(11, 2);
  EXPECT_EQ(automatic(params, misaligned, 100), manual);
}

TEST_F(PolicyTest, SmallDataOnlyShortensLongNoisyWideRuns) {
  struct Case {
    std::size_t rows, features;
    float spread;
    std::size_t rounds, expected;
  };
  for (const Case& c : {Case{400, 8, 1.5f, 300, 96}, Case{400, 8, 1.5f, 256, 256}, Case{400, 7, 1.5f, 300, 300},
                        Case{400, 8, 1.0f, 300, 300}, Case{640, 10, 1.5f, 300, 300}, Case{1023, 16, 1.5f, 300, 96}}) {
    IterationControls expected = Trainer::make({}).default_iteration_controls(c.rounds);
    expected.rounds = c.expected;
    EXPECT_EQ(automatic({}, make_data(c.rows, c.features, c.spread), c.rounds), expected) << c.rows << "x" << c.features;
  }
}

TEST_F(PolicyTest, ControlsFollowTheDataSizeDensityAndTask) {
  struct Case {
    const char* name;
    std::size_t rows, features;
    float spread;
    bool sparse, ranking;
    std::size_t rounds;
    IterationControls expected;
  };
  auto controls = [](std::size_t rows_per_leaf, float gain, float loss, std::size_t stall, float row, float col) {
    IterationControls c = IterationControls::make(1, rows_per_leaf, stall, gain, 0.0f, 1e6f, loss);
    c.row_subsample = row;
    c.col_subsample = col;
    return c;
  };
  const Case cases[] = {
      // From 4096 rows a loss-improvement rule scaled by the target variance; dense data of at least
      // 65536 cells gets a gain floor, sparse data a higher one.
      {"large dense", 5000, 20, 2.0f, false, false, 100, controls(8, 1e-4f, 4e-5f, 3, 0.9f, 1.0f)},
      {"large, short run", 5000, 20, 2.0f, false, false, 64, controls(8, 1e-4f, 4e-5f, 1, 0.9f, 1.0f)},
      {"ranking: no gain floor or stall rule", 5000, 20, 2.0f, true, true, 100, controls(8, 0.0f, 0.0f, 0, 0.9f, 1.0f)},
      {"small sparse", 1024, 8, 1.0f, true, false, 10, controls(4, 0.001f, 0.0f, 0, 1.0f, 1.0f)},
      {"2048 rows", 2048, 4, 1.0f, false, false, 10, controls(8, 0.0f, 0.0f, 0, 0.9f, 1.0f)},
      {"16384 rows", 16384, 4, 1.0f, false, false, 10, controls(16, 1e-4f, 1e-5f, 1, 0.8f, 1.0f)},
      {"32 features", 1024, 32, 1.0f, false, false, 10, controls(4, 0.0f, 0.0f, 0, 1.0f, 0.8f)},
      {"128 features", 1024, 128, 1.0f, false, false, 10, controls(4, 1e-4f, 0.0f, 0, 1.0f, 0.65f)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const IterationControls got = automatic({}, make_data(c.rows, c.features, c.spread, c.sparse), c.rounds, c.ranking);
    EXPECT_EQ(got.min_rows_per_leaf, c.expected.min_rows_per_leaf);
    EXPECT_EQ(got.min_split_gain, c.expected.min_split_gain);
    EXPECT_EQ(got.min_loss_improvement, c.expected.min_loss_improvement);
    EXPECT_EQ(got.loss_stall_limit, c.expected.loss_stall_limit);
    EXPECT_EQ(got.row_subsample, c.expected.row_subsample);
    EXPECT_EQ(got.col_subsample, c.expected.col_subsample);
  }
}

TEST_F(PolicyTest, ParametersSetByTheUserWin) {
  core::TrainParams params;
  params.min_data_in_leaf = 1000;  // capped at half the rows
  params.min_split_gain = 0.5f;
  params.row_subsample = 0.7f;
  params.col_subsample = 0.6f;
  const IterationControls kept = automatic(params, make_data(16384, 40, 1.0f, true), 10);
  EXPECT_EQ(kept.min_rows_per_leaf, 1000u);
  EXPECT_EQ(kept.min_split_gain, 0.5f);
  EXPECT_EQ(kept.row_subsample, 0.7f);
  EXPECT_EQ(kept.col_subsample, 0.6f);
  EXPECT_EQ(automatic(params, make_data(1024, 4), 10).min_rows_per_leaf, 512u);
}

TEST_F(PolicyTest, ReportsMisalignedDataAndBadTargets) {
  Data data = make_data(10, 2);
  data.dataset.matrix = core::DatasetMatrix::make_metadata_only(11, 2);
  EXPECT_TRUE(throws_engine_error([&] { automatic({}, data, 10); }, EngineErrorKind::ContractViolation,
                                  "dataset row_count 11 does not match binned row_count 10"));
  data = make_data(10, 2);
  data.dataset.sample_weights = std::vector<float>(10, 0.0f);
  EXPECT_TRUE(throws_engine_error([&] { automatic({}, data, 10); }, EngineErrorKind::ContractViolation,
                                  "sample weight sum must be greater than 0"));
}

TEST_F(PolicyTest, SplitOptionsComeFromParametersOrTheEnvironment) {
  ScopedEnv l2(kSplitL2Variable, "2.5");
  ScopedEnv l1(kSplitL1Variable, " 0.5 ");
  ScopedEnv hess(kMinChildHessVariable, std::nullopt);
  ScopedEnv magnitude(kSplitMinLeafMagnitudeVariable, "0.125");
  const Data data = make_data(10, 2);
  core::TrainParams params;
  IterationControls controls;
  controls.min_rows_per_leaf = 7;
  const auto options = [&] {
    return split_selection_options_for_training(Trainer::make(params), data.dataset, data.binned, controls);
  };
  SplitSelectionOptions from_env = options();
  EXPECT_EQ(from_env.split_l2, 2.5f);
  EXPECT_EQ(from_env.split_l1, 0.5f);
  EXPECT_EQ(from_env.min_child_hess, 0.0f);
  EXPECT_EQ(from_env.min_leaf_magnitude, 0.125f);
  EXPECT_FALSE(from_env.gradient_noise_strength.has_value());
  EXPECT_EQ(from_env.min_rows_per_leaf, 7u);

  // Any non-zero regulariser in the parameters takes all three from them.
  params.min_child_hessian = 0.01f;
  const SplitSelectionOptions from_params = options();
  EXPECT_EQ(from_params.split_l2, 0.0f);
  EXPECT_EQ(from_params.split_l1, 0.0f);
  EXPECT_EQ(from_params.min_child_hess, 0.01f);
  EXPECT_EQ(from_params.min_leaf_magnitude, 0.125f);

  params.leaf_solver = core::LeafSolver::Dro;
  params.dro_config = core::DroConfig{0.3f};
  EXPECT_EQ(options().gradient_noise_strength, std::optional<float>(0.3f));
  params.dro_config = core::DroConfig{0.0f};
  EXPECT_FALSE(options().gradient_noise_strength.has_value());

  ScopedEnv bad(kSplitL1Variable, "abc");
  EXPECT_TRUE(throws_engine_error(options, EngineErrorKind::InvalidConfig,
                                  "KESTRUNE_EXPERIMENT_SPLIT_L1 must be a finite, non-negative f32 value"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
