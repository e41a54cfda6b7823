// The records of joint multi-output training shared outside the joint trainer.
#pragma once

#include <cstdint>
#include <optional>

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

  friend bool operator==(const JointObjective&, const JointObjective&) = default;
};

}  // namespace kestrune::engine::joint
