#include "engine/tree_build/node_search.hpp"

#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

InteractionMasks InteractionMasks::for_tree(const core::TrainParams& params, std::size_t feature_count) {
  InteractionMasks masks;
  masks.index_ = InteractionConstraintIndex::from_constraints(params.interaction_constraints, feature_count);
  if (masks.index_) masks.masks_.emplace(0u, masks.index_->root_mask());
  return masks;
}

std::optional<std::uint64_t> InteractionMasks::mask_of(std::uint32_t local_id) const {
  if (!index_) return std::nullopt;
  const std::lock_guard<std::mutex> lock(*mutex_);
  const auto found = masks_.find(local_id);
  if (found == masks_.end()) return std::nullopt;
  return found->second;
}

void InteractionMasks::assign_children(std::uint32_t parent_local_id, std::uint32_t split_feature,
                                       std::uint32_t left_local_id, std::uint32_t right_local_id) {
  const std::optional<std::uint64_t> parent = mask_of(parent_local_id);
  if (!parent || !index_) return;
  const std::uint64_t child = index_->child_mask(*parent, split_feature);
  const std::lock_guard<std::mutex> lock(*mutex_);
  masks_.insert_or_assign(left_local_id, child);
  masks_.insert_or_assign(right_local_id, child);
}

std::optional<core::HistogramBundle> InteractionMasks::filtered(const core::HistogramBundle& bundle,
                                                                std::uint32_t local_id) const {
  const std::optional<std::uint64_t> mask = mask_of(local_id);
  if (!mask || !index_) return std::nullopt;
  return index_->filter(bundle, *mask);
}

bool factor_penalty_applies(const TreeGrowthRequest& request) {
  const std::optional<core::NeutralizationConfig>& config = request.params.neutralization_config;
  return config && config->kind == core::NeutralizationKind::SplitPenalty && config->factor_penalty != 0.0f &&
         request.factor_exposures != nullptr;
}

std::optional<FactorSplitContext> factor_context_for_node(const TreeGrowthRequest& request,
                                                          std::span<const std::uint32_t> rows) {
  if (!factor_penalty_applies(request)) return std::nullopt;
  // The threshold scan reads the missing bin from the options and the candidate routing reads the
  // matrix's; the driver sets the one from the other, and the penalty is only exact while they agree.
  support::invariant(request.options.missing_bin == request.binned.missing_bin,
                     "split options and binned matrix name different missing bins");
  return FactorSplitContext{request.binned, *request.factor_exposures, rows,
                            request.params.neutralization_config->factor_penalty};
}

}  // namespace kestrune::engine::tree_build
