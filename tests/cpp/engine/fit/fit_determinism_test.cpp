// A deterministic fit is a pure function of its inputs and seed: the same model in every run and
// whatever the pool size. The digest printed here is compared across pool sizes by ctest.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

// FNV-1a over the artifact bytes and the training losses' bits.
std::uint64_t digest_of(const IterationRunSummary& summary) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  };
  mix(summary.model.to_artifact_bytes());
  for (const std::uint32_t bits : bits_of(summary.train_loss)) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                   static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    mix(bytes);
  }
  return hash;
}

// `ranking`: query RMSE, which keeps every tree whatever the training loss does, so that a DART
// fit runs all its rounds.
IterationRunSummary sampled_fit(core::BoostingMode mode, core::TreeGrowth growth, bool ranking) {
  // Enough features for the tiles to depend on the pool size.
  const Target target = ranking ? Target::Relevance : Target::Regression;
  const Data train = make_data(77, 200, 40, target);
  const Data validation = make_data(78, 60, 40, target);
  core::TrainParams params = small_params();
  params.seed = 1234;
  params.deterministic = true;
  params.row_subsample = 0.8f;
  params.col_subsample = 0.9f;
  params.boosting_mode = mode;
  params.tree_growth = growth;
  params.max_leaves = 8;
  const Trainer trainer = make_trainer(params);
  auto fit = [&](const auto& objective) {
    return fit_iterations_with_validation_and_metric(trainer, train.dataset, train.binned, validation.dataset,
                                                     validation.binned, backend_cpu::CpuBackend{}, objective,
                                                     trainer.default_iteration_controls(6), nullptr);
  };
  if (ranking) return fit(objectives::QueryRMSEObjective(*train.dataset.group_id));
  return fit(objectives::SquaredErrorObjective{});
}

TEST(FitDeterminism, SameSeedSameModel) {
  struct Case {
    const char* name;
    core::BoostingMode mode;
    core::TreeGrowth growth;
    bool ranking = false;
  };
  const Case cases[] = {
      {"subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level},
      {"goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf},
      {"dart_level", core::DartBoosting{0.3f, 2, core::DartNormalizeType::Forest, core::DartSampleType::Weighted},
       core::TreeGrowth::Level, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const IterationRunSummary first = sampled_fit(c.mode, c.growth, c.ranking);
    const IterationRunSummary second = sampled_fit(c.mode, c.growth, c.ranking);
    EXPECT_EQ(first.rounds_completed, 6u);
    EXPECT_EQ(digest_of(first), digest_of(second));
    EXPECT_EQ(first.validation_loss, second.validation_loss);
    // Read by the ctest entry that runs this suite with one and with four pool threads.
    std::printf("fit digest %s: %016llx\n", c.name, static_cast<unsigned long long>(digest_of(first)));
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
