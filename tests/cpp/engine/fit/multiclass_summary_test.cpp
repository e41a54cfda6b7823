// The round counts of a multiclass run summary: the requested rounds in both of their fields,
// and the completed rounds beside their 32-bit copy.
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/trainer/multiclass_finish.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

TEST(MulticlassSummaryCounts, RequestedTwiceCompletedWrappedTo32Bits) {
  const core::TrainParams params;
  struct Case {
    std::size_t requested;
    std::size_t completed;  // after any cut back
  };
  const std::uint64_t past_32_bits = (std::uint64_t{1} << 32) + 5;
  for (const Case c : {Case{60, 7}, Case{5, 5}, Case{0, 0}, Case{3, static_cast<std::size_t>(past_32_bits)}}) {
    SCOPED_TRACE(::testing::Message() << c.requested << " requested, " << c.completed << " completed");
    MultiClassFinals finals;
    finals.rounds_completed = c.completed;
    const MultiClassIterationRunSummary summary =
        assemble_multiclass_summary(MultiClassOutcome{}, finals, MultiClassRunShape{3, 4, c.requested, 2, &params});
    EXPECT_EQ(summary.rounds_requested, c.requested);
    EXPECT_EQ(summary.rounds_planned, c.requested);
    EXPECT_EQ(summary.rounds_completed, c.completed);
    EXPECT_EQ(summary.rounds_completed_u32, static_cast<std::uint32_t>(c.completed % (std::uint64_t{1} << 32)));
  }

  // Through a fit.
  const fit_testing::Data train = multiclass_testing::make_multiclass_data(21, 120, 3);
  const Trainer trainer = fit_testing::make_trainer(fit_testing::small_params());
  const MultiClassIterationRunSummary run =
      multiclass_testing::run_multiclass(trainer, train, trainer.default_iteration_controls(3));
  EXPECT_EQ(run.rounds_planned, 3u);
  EXPECT_EQ(run.rounds_completed_u32, run.rounds_completed);
}

}  // namespace
}  // namespace kestrune::engine::trainer
