// The objective names callers choose an objective by, compared exactly.
#pragma once

#include <optional>
#include <string_view>

namespace kestrune::engine::objectives {

enum class ObjectiveKind {
  SquaredError,
  BinaryCrossEntropy,
  MultiClassSoftmax,
  QueryRmse,
  RankPairwise,
  RankNdcg,
  RankXeNdcg,
  YetiRank,
  Poisson,
  Gamma,
  Tweedie,
  Quantile,
  Custom,
};

// "squared_error", "binary_crossentropy", ..., "custom".
std::string_view objective_name(ObjectiveKind kind) noexcept;
// The kind whose name is exactly `name`, nothing for any other text.
std::optional<ObjectiveKind> objective_kind_from_name(std::string_view name) noexcept;

}  // namespace kestrune::engine::objectives
