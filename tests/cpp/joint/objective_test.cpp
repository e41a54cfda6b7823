// The joint trainer's per-output objectives: their names, and gradients that are those of the
// single-output objectives they stand for.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/joint/types.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/joint/error.hpp"

namespace kestrune::engine::joint {
namespace {

using namespace objectives;
using Ids = std::optional<std::span<const std::uint32_t>>;

TEST(JointObjective, ParsedNamesForwardToTheSingleOutputObjectives) {
  const std::vector<float> p = {0.5f, -1.25f, 2.0f, 0.0f, 3.5f}, y = {1.0f, 0.5f, 2.0f, 1.0f, 3.0f};
  const std::vector<std::uint32_t> groups = {7, 7, 3, 3, 3};
  const std::pair<const char*, std::function<std::vector<GradientPair>()>> cases[] = {
      {"squared_error", [&] { return SquaredErrorObjective{}.compute_gradients(p, y, {}); }},
      {"queryrmse", [&] { return SquaredErrorObjective{}.compute_gradients(p, y, {}); }},  // squared-error pairs
      {"rank:pairwise", [&] { return PairwiseRankingObjective(groups).compute_gradients(p, y, {}); }},
      {"rank:ndcg", [&] { return LambdaMARTObjective(groups).compute_gradients(p, y, {}); }},
      {"rank:xendcg", [&] { return XeNDCGObjective(groups).compute_gradients(p, y, {}); }},
      {"poisson", [&] { return PoissonObjective{}.compute_gradients(p, y, {}); }},
      {"gamma", [&] { return GammaObjective{}.compute_gradients(p, y, {}); }},
      {"tweedie", [&] { return TweedieObjective::make(1.5f).compute_gradients(p, y, {}); }},
      {"quantile", [&] { return QuantileObjective{0.5f}.compute_gradients(p, y, {}); }},
  };
  for (const auto& [name, single] : cases) {
    const JointObjective objective = JointObjective::parse(name);
    EXPECT_EQ(objective.name(), name);  // the canonical name reads back
    const auto joint = objective.compute_gradients(p, y, Ids(groups));
    const auto expected = single();
    ASSERT_EQ(joint.size(), expected.size()) << name;
    EXPECT_EQ(std::memcmp(joint.data(), expected.data(), joint.size() * sizeof(GradientPair)), 0) << name;
    // Group-wise kinds refuse an absent list.
    if (objective.requires_group_ids()) EXPECT_THROW(objective.compute_gradients(p, y, std::nullopt), JointError);
  }
}

}  // namespace
}  // namespace kestrune::engine::joint
