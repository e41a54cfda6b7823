#include "engine/trainer/loop_round.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "engine/sampling.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {
namespace {

// The round's rows are the sampling draw's, whichever way they are listed: compared with
// select_row_indices_for_round on the same gradients, after row lists holding stale rows were
// handed back for reuse.
TEST(PrepareRoundSample, RowsAreTheDrawsRows) {
  struct Case {
    std::string name;
    core::BoostingMode mode;
    float row_subsample;
    std::size_t rows;
  };
  const std::vector<Case> cases = {
      {"standard, every row", core::StandardBoosting{}, 1.0f, 1000},
      {"standard, every row of several pool tasks", core::StandardBoosting{}, 1.0f, 3 * 65536 + 5},
      {"standard, one row", core::StandardBoosting{}, 1.0f, 1},
      {"dart, every row", core::DartBoosting{0.1f, 2}, 1.0f, 300},
      {"standard, half the rows", core::StandardBoosting{}, 0.5f, 1000},
      {"goss", core::GossBoosting{0.2f, 0.1f}, 1.0f, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    backend_cpu::recycle_rows(core::RowList(2 * c.rows + 8, 7u));
    IterationControls controls;
    controls.row_subsample = c.row_subsample;
    std::vector<core::GradientPair> gradients(c.rows);
    for (std::size_t i = 0; i < c.rows; ++i) {
      gradients[i] = {static_cast<float>((i * 37) % 101) - 50.0f, 1.0f + static_cast<float>(i % 3)};
    }
    std::vector<core::GradientPair> drawn_gradients = gradients;
    const core::RowList expected =
        select_row_indices_for_round(c.mode, c.rows, 11, 3, drawn_gradients, c.row_subsample);
    const RoundSample sample = prepare_round_sample(c.mode, controls, 4, c.rows, 11, 3, nullptr, gradients);
    EXPECT_EQ(sample.rows, expected);
  }
}

// The working predictions start as an exact copy of the kept ones, however many pool tasks the
// copy takes; lists of different lengths are refused before anything is written.
TEST(CopyPredictions, CopiesEveryValue) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{3 * 65536 + 5}}) {
    SCOPED_TRACE(n);
    std::vector<float> from(n);
    for (std::size_t i = 0; i < n; ++i) from[i] = static_cast<float>(i) * 0.5f - 7.0f;
    std::vector<float> to(n, -1.0f);
    copy_predictions(from, to);
    EXPECT_EQ(to, from);
  }
  std::vector<float> shorter(3, 1.0f);
  const std::vector<float> from(4, 2.0f);
  EXPECT_THROW(copy_predictions(from, shorter), support::Panic);
  EXPECT_EQ(shorter, std::vector<float>(3, 1.0f));
}

}  // namespace
}  // namespace kestrune::engine::trainer
