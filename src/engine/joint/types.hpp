// The records of joint multi-output training shared outside the joint trainer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::engine::joint {

// The objective kinds of a joint output, with their stored codes.
enum class JointObjectiveKind : std::uint32_t {
  SquaredError = 0,
  QueryRmse = 1,
  RankPairwise = 2,
  RankNdcg = 3,
  RankXendcg = 4,
  Poisson = 5,
  Gamma = 6,
  Tweedie = 7,   // parameter: variance_power
  Quantile = 8,  // parameter: alpha
};

// The objective of one output of a joint fit: a kind and, for Tweedie and Quantile, its parameter.
struct JointObjective {
  JointObjectiveKind kind = JointObjectiveKind::SquaredError;
  float parameter = 0.0f;

  static JointObjective quantile(float alpha) { return {JointObjectiveKind::Quantile, alpha}; }
  static JointObjective tweedie(float variance_power) { return {JointObjectiveKind::Tweedie, variance_power}; }

  // The quantile level of a Quantile output; absent for every other kind.
  std::optional<float> quantile_alpha() const {
    if (kind == JointObjectiveKind::Quantile) return parameter;
    return std::nullopt;
  }

  // Exactly one of the nine canonical names (byte for byte); "tweedie" gives a variance power of
  // 1.5 and "quantile" an alpha of 0.5. Anything else throws JointError listing the names.
  static JointObjective parse(std::string_view name);
  // The canonical name of the kind.
  std::string_view name() const noexcept;
  // The group-wise kinds (QueryRmse, RankPairwise, RankNdcg, RankXendcg) need one group id per row.
  bool requires_group_ids() const noexcept;

  // Refuses a Tweedie variance power outside the open interval (1, 2) (NaN included) with the
  // Tweedie objective's invalid-config display text. The fit runs it for every output before the
  // first initial prediction, which has no error of its own to report it with.
  void check_parameters() const;

  // One pair per row from the matching single-output objective, without sample weights. A failure
  // below throws JointError carrying the engine error's display text.
  std::vector<core::GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                                    const std::optional<std::span<const std::uint32_t>>& group_ids) const;
  // The output's starting raw score; never fails (a failure below gives 0).
  float initial_prediction(std::span<const float> targets) const;

  friend bool operator==(const JointObjective&, const JointObjective&) = default;
};

}  // namespace kestrune::engine::joint
