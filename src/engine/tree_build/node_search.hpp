// The split search of one node as both growers run it: the interaction filter of the node's
// mask, the factor context, and the choice between the plain and the morph search.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>

#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/error.hpp"
#include "engine/factor_split_context.hpp"
#include "engine/interaction.hpp"
#include "engine/morph.hpp"
#include "engine/split_candidate.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

// The interaction index of one tree and the group mask of every node that has one (keyed by
// local id). Without constraints there is no index and no node has a mask.
class InteractionMasks {
 public:
  // EngineError::InvalidConfig from the index for more than 64 groups or a feature out of range.
  static InteractionMasks for_tree(const core::TrainParams& params, std::size_t feature_count);

  std::optional<std::uint64_t> mask_of(std::uint32_t local_id) const;
  // Both children get the parent's mask narrowed by the split feature's groups; nothing happens
  // when the parent has no mask.
  void assign_children(std::uint32_t parent_local_id, std::uint32_t split_feature, std::uint32_t left_local_id,
                       std::uint32_t right_local_id);
  // The node's histograms as the search may see them: a filtered copy under a mask, else none
  // (search the node's own bundle).
  std::optional<core::HistogramBundle> filtered(const core::HistogramBundle& bundle, std::uint32_t local_id) const;

 private:
  std::optional<InteractionConstraintIndex> index_;
  // Node tasks read masks while the grower assigns those of other nodes' children.
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
  std::unordered_map<std::uint32_t, std::uint64_t> masks_;
};

// True when a node's search must carry a factor context: the split penalty is on with a
// non-zero strength and exposures are given.
bool factor_penalty_applies(const TreeGrowthRequest& request);

// The plain search, or the morph search when a morph context is given.
template <BackendOps Backend>
std::optional<SplitCandidate> find_best_split_dispatch(const Backend& backend, const core::HistogramBundle& bundle,
                                                       const SplitSelectionOptions& options,
                                                       std::span<const float> feature_weights,
                                                       std::span<const CategoricalFeature> categorical_features,
                                                       const MorphTreeContext* morph,
                                                       const FactorSplitContext* factor_context) {
  if (morph != nullptr) {
    support::invariant(morph->state != nullptr, "morph tree context without its state");
    const MorphContext context = morph->state->morph_context(morph->iteration, morph->total_rounds, morph->output_index);
    return backend.best_split_morph_with_factor_context(bundle, options, feature_weights, categorical_features, context,
                                                        factor_context);
  }
  return backend.best_split_with_factor_context(bundle, options, feature_weights, categorical_features, factor_context);
}

// The factor context of a node search over `rows`, absent unless the split penalty applies.
std::optional<FactorSplitContext> factor_context_for_node(const TreeGrowthRequest& request,
                                                          std::span<const std::uint32_t> rows);

// The best split of one node's full bundle, filtered by its interaction mask; `rows` are the
// node's rows, read only by the factor split penalty.
template <BackendOps Backend>
std::optional<SplitCandidate> search_node(const Backend& backend, const TreeGrowthRequest& request,
                                          const InteractionMasks& masks, const core::HistogramBundle& bundle,
                                          std::uint32_t local_id, std::span<const std::uint32_t> rows) {
  const std::optional<FactorSplitContext> factor = factor_context_for_node(request, rows);
  const std::optional<core::HistogramBundle> filtered = masks.filtered(bundle, local_id);
  return find_best_split_dispatch(backend, filtered ? *filtered : bundle, request.options, request.feature_weights,
                                  request.categorical_features, request.morph ? &*request.morph : nullptr,
                                  factor ? &*factor : nullptr);
}

// Whether a candidate may be split at all: a finite gain above min_split_gain.
inline bool gain_passes(const SplitCandidate& candidate, float min_split_gain) {
  return std::isfinite(candidate.gain) && candidate.gain > min_split_gain;
}

}  // namespace kestrune::engine::tree_build
