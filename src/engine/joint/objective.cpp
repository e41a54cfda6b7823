// The per-output objectives of the joint trainer. Each kind forwards to the single-output
// objective of the same loss, always without sample weights; the group-wise kinds rebuild their
// query groups from the caller's group ids on every call.
#include <array>
#include <string>
#include <utility>

#include "engine/error.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/types.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/ranking_groups.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "support/debug_text.hpp"

namespace kestrune::engine::joint {

namespace {

using objectives::Weights;

// Canonical names in kind order.
constexpr std::array<std::string_view, 9> kNames = {
    "squared_error", "queryrmse", "rank:pairwise", "rank:ndcg", "rank:xendcg",
    "poisson",       "gamma",     "tweedie",       "quantile",
};

constexpr float kDefaultVariancePower = 1.5f;
constexpr float kDefaultAlpha = 0.5f;

// Runs one single-output operation, turning its engine error into the joint trainer's text.
template <typename F>
decltype(auto) with_display_text(F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const EngineError& error) {
    throw JointError(error.display());
  }
}

// The group ids of a group-wise kind, or its fixed refusal when they are absent.
std::span<const std::uint32_t> required_group_ids(const JointObjective& objective,
                                                  const std::optional<std::span<const std::uint32_t>>& group_ids) {
  if (!group_ids) throw JointError(std::string(objective.name()) + " objective requires group identifiers");
  return *group_ids;
}

}  // namespace

JointObjective JointObjective::parse(std::string_view name) {
  for (std::size_t kind = 0; kind < kNames.size(); ++kind) {
    if (name != kNames[kind]) continue;
    const auto parsed = static_cast<JointObjectiveKind>(kind);
    if (parsed == JointObjectiveKind::Tweedie) return tweedie(kDefaultVariancePower);
    if (parsed == JointObjectiveKind::Quantile) return quantile(kDefaultAlpha);
    return JointObjective{parsed, 0.0f};
  }
  throw JointError("joint multi-output trainer does not support objective " + support::debug_quote(name) +
                   "; supported: squared_error, queryrmse, rank:pairwise, rank:ndcg, rank:xendcg, poisson, gamma, "
                   "tweedie, quantile");
}

std::string_view JointObjective::name() const noexcept {
  const auto index = static_cast<std::uint32_t>(kind);
  return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

bool JointObjective::requires_group_ids() const noexcept {
  switch (kind) {
    case JointObjectiveKind::QueryRmse:
    case JointObjectiveKind::RankPairwise:
    case JointObjectiveKind::RankNdcg:
    case JointObjectiveKind::RankXendcg:
      return true;
    default:
      return false;
  }
}

void JointObjective::check_parameters() const {
  if (kind == JointObjectiveKind::Tweedie) {
    with_display_text([&] { return objectives::TweedieObjective::make(parameter); });
  }
}

std::vector<core::GradientPair> JointObjective::compute_gradients(
    std::span<const float> predictions, std::span<const float> targets,
    const std::optional<std::span<const std::uint32_t>>& group_ids) const {
  const Weights none = std::nullopt;
  switch (kind) {
    case JointObjectiveKind::SquaredError:
      return with_display_text([&] { return objectives::SquaredErrorObjective{}.compute_gradients(predictions, targets, none); });
    case JointObjectiveKind::QueryRmse:
      // Query RMSE's gradients are plain squared error; only the presence of groups is required.
      required_group_ids(*this, group_ids);
      return with_display_text([&] { return objectives::SquaredErrorObjective{}.compute_gradients(predictions, targets, none); });
    case JointObjectiveKind::RankPairwise: {
      const auto ids = required_group_ids(*this, group_ids);
      return with_display_text(
          [&] { return objectives::PairwiseRankingObjective(ids).compute_gradients(predictions, targets, none); });
    }
    case JointObjectiveKind::RankNdcg: {
      const auto ids = required_group_ids(*this, group_ids);
      return with_display_text(
          [&] { return objectives::LambdaMARTObjective(ids).compute_gradients(predictions, targets, none); });
    }
    case JointObjectiveKind::RankXendcg: {
      const auto ids = required_group_ids(*this, group_ids);
      return with_display_text(
          [&] { return objectives::XeNDCGObjective(ids).compute_gradients(predictions, targets, none); });
    }
    case JointObjectiveKind::Poisson:
      return with_display_text([&] { return objectives::PoissonObjective{}.compute_gradients(predictions, targets, none); });
    case JointObjectiveKind::Gamma:
      return with_display_text([&] { return objectives::GammaObjective{}.compute_gradients(predictions, targets, none); });
    case JointObjectiveKind::Tweedie:
      return with_display_text([&] {
        return objectives::TweedieObjective::make(parameter).compute_gradients(predictions, targets, none);
      });
    case JointObjectiveKind::Quantile:
      return with_display_text(
          [&] { return objectives::QuantileObjective{parameter}.compute_gradients(predictions, targets, none); });
  }
  throw JointError("unknown joint objective kind " + std::to_string(static_cast<std::uint32_t>(kind)));
}

float JointObjective::initial_prediction(std::span<const float> targets) const {
  const Weights none = std::nullopt;
  // The log-link and quantile starts refuse some targets; the joint fit then starts that output
  // at 0 instead of failing.
  auto or_zero = [](auto&& start) {
    try {
      return start();
    } catch (const EngineError&) {
      return 0.0f;
    }
  };
  switch (kind) {
    case JointObjectiveKind::SquaredError: {
      if (targets.empty()) return 0.0f;
      float sum = 0.0f;
      for (const float y : targets) sum += y;
      return sum / static_cast<float>(targets.size());
    }
    case JointObjectiveKind::QueryRmse:
    case JointObjectiveKind::RankPairwise:
    case JointObjectiveKind::RankNdcg:
    case JointObjectiveKind::RankXendcg:
      return 0.0f;
    case JointObjectiveKind::Poisson:
      return or_zero([&] { return objectives::PoissonObjective{}.initial_prediction(targets, none); });
    case JointObjectiveKind::Gamma:
      return or_zero([&] { return objectives::GammaObjective{}.initial_prediction(targets, none); });
    case JointObjectiveKind::Tweedie:
      // A power outside (1, 2) is refused by check_parameters before any fit asks for this.
      return or_zero([&] { return objectives::TweedieObjective::make(parameter).initial_prediction(targets, none); });
    case JointObjectiveKind::Quantile:
      return or_zero([&] { return objectives::weighted_quantile(targets, none, parameter); });
  }
  return 0.0f;
}

}  // namespace kestrune::engine::joint
