#include "engine/objectives/names.hpp"

#include <array>
#include <utility>

namespace kestrune::engine::objectives {
namespace {

constexpr std::array<std::pair<ObjectiveKind, std::string_view>, 13> kNames{{
    {ObjectiveKind::SquaredError, "squared_error"},
    {ObjectiveKind::BinaryCrossEntropy, "binary_crossentropy"},
    {ObjectiveKind::MultiClassSoftmax, "multiclass_softmax"},
    {ObjectiveKind::QueryRmse, "queryrmse"},
    {ObjectiveKind::RankPairwise, "rank_pairwise"},
    {ObjectiveKind::RankNdcg, "rank_ndcg"},
    {ObjectiveKind::RankXeNdcg, "rank_xendcg"},
    {ObjectiveKind::YetiRank, "yetirank"},
    {ObjectiveKind::Poisson, "poisson"},
    {ObjectiveKind::Gamma, "gamma"},
    {ObjectiveKind::Tweedie, "tweedie"},
    {ObjectiveKind::Quantile, "quantile"},
    {ObjectiveKind::Custom, "custom"},
}};

}  // namespace

std::string_view objective_name(ObjectiveKind kind) noexcept {
  for (const auto& [k, name] : kNames) {
    if (k == kind) return name;
  }
  return {};
}

std::optional<ObjectiveKind> objective_kind_from_name(std::string_view name) noexcept {
  for (const auto& [kind, text] : kNames) {
    if (text == name) return kind;
  }
  return std::nullopt;
}

}  // namespace kestrune::engine::objectives
