// A deterministic multiclass fit is a pure function of its inputs and seed: the same model in
// every run and whatever the pool size. The digest printed here is compared across pool sizes by
// ctest.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace multiclass_testing;
using fit_testing::bits_of;
using fit_testing::Data;
using fit_testing::make_trainer;
using fit_testing::small_params;

// FNV-1a over the artifact bytes and the training and validation losses' bits.
std::uint64_t digest_of(MultiClassIterationRunSummary run) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  };
  auto mix_floats = [&](std::span<const float> values) {
    for (const std::uint32_t bits : bits_of(values)) {
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                     static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
      mix(bytes);
    }
  };
  mix_floats(run.train_loss);
  mix_floats(run.validation_loss);
  mix(multiclass_trained_model(run).to_artifact_bytes());
  return hash;
}

MultiClassIterationRunSummary sampled_fit(core::BoostingMode mode, core::TreeGrowth growth) {
  // Enough features for the tiles to depend on the pool size.
  const Data train = make_multiclass_data(77, 240, 40);
  const Data validation = make_multiclass_data(78, 60, 40);
  core::TrainParams params = small_params();
  params.seed = 1234;
  params.deterministic = true;
  params.row_subsample = 0.8f;
  params.col_subsample = 0.9f;
  params.boosting_mode = mode;
  params.tree_growth = growth;
  params.max_leaves = 8;
  const Trainer trainer = make_trainer(params);
  return fit_multiclass_iterations_impl(trainer, train.dataset, train.binned, validation_of(validation),
                                        backend_cpu::CpuBackend{}, softmax(), trainer.default_iteration_controls(5),
                                        std::nullopt);
}

TEST(MulticlassDeterminism, SameSeedSameModel) {
  struct Case {
    const char* name;
    core::BoostingMode mode;
    core::TreeGrowth growth;
  };
  const Case cases[] = {
      {"multiclass_subsample_level", core::StandardBoosting{}, core::TreeGrowth::Level},
      {"multiclass_goss_leaf", core::GossBoosting{0.3f, 0.3f}, core::TreeGrowth::Leaf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MultiClassIterationRunSummary first = sampled_fit(c.mode, c.growth);
    const MultiClassIterationRunSummary second = sampled_fit(c.mode, c.growth);
    EXPECT_EQ(first.rounds_completed, 5u);
    const std::uint64_t digest = digest_of(first);
    EXPECT_EQ(digest, digest_of(second));
    // Read by the ctest entry that runs this suite with one and with four pool threads.
    std::printf("fit digest %s: %016llx\n", c.name, static_cast<unsigned long long>(digest));
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
