// The dry run before the first round: the starting score, and the gradient pairs at it, checked
// once for the built-in objectives and every round for user-code objectives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/factor.hpp"
#include "engine/trainer/fit_contract.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kRows = 48;

template <typename O>
IterationRunSummary fit(const Data& data, const O& objective, std::size_t rounds,
                        std::optional<WarmStartState> warm_start = std::nullopt) {
  const Trainer trainer = make_trainer(small_params());
  return run_fit(trainer, data, objective, trainer.default_iteration_controls(rounds), {nullptr, std::move(warm_start)});
}

TEST(FitContract, UserCodeGradientPairsAreCheckedInTheDryRunAndEveryRound) {
  const Data data = make_data(3, kRows, 3, Target::Regression);
  struct Case {
    std::size_t call;  // 0 is the dry run
    core::GradientPair pair;
    bool fails;
  };
  for (const Case& c : {Case{0, {1.0f, 0.0f}, true}, Case{2, {1.0f, -0.0f}, true},
                        Case{3, {0.5f, std::numeric_limits<float>::infinity()}, true},
                        Case{1, {0.5f, std::numeric_limits<float>::denorm_min()}, false}}) {
    SCOPED_TRACE(c.call);
    UserCodeObjective objective;
    objective.poisoned_call = c.call;
    objective.poison = c.pair;
    if (!c.fails) {
      EXPECT_EQ(fit(data, objective, 4).rounds_completed, 4u);
      continue;
    }
    EXPECT_TRUE(throws_engine_error([&] { fit(data, objective, 4); }, EngineErrorKind::ContractViolation,
                                    "objective produced invalid gradient/hessian values"));
    EXPECT_EQ(objective.calls, c.call + 1);
  }
  // A NaN weight makes the target-mean start NaN, which the fit refuses.
  Data weighted = data;
  weighted.dataset.sample_weights = std::vector<float>(kRows, 1.0f);
  (*weighted.dataset.sample_weights)[5] = kNaN;
  EXPECT_TRUE(throws_engine_error([&] { fit(weighted, UserCodeObjective{}, 1); }, EngineErrorKind::ContractViolation,
                                  "objective returned non-finite initial prediction"));
  // A warm start supplies the base score, but the objective must still accept the targets.
  Data gamma = make_data(3, kRows, 3, Target::Positive);
  gamma.dataset.targets[7] = 0.0f;
  WarmStartState warm;
  warm.base_score = 1.0f;
  EXPECT_TRUE(throws_engine_error([&] { fit(gamma, objectives::GammaObjective{}, 1, warm); },
                                  EngineErrorKind::ContractViolation,
                                  "Gamma targets must be finite and strictly positive (> 0)"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
