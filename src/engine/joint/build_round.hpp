// Growing the one tree of a joint boosting round: a single split structure for all K outputs,
// found from the shared K-output histograms by the gain summed over the outputs, whose split
// records carry each child's K-vector (raw Newton steps, no learning rate; the fit scales them).
// Stumps carry local heap ids (root 0, children 2n + 1 and 2n + 2); the fit adds the tree index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/histogram.hpp"
#include "core/neutralization.hpp"
#include "engine/joint/morph_context.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::joint {

// Everything one round's tree is grown from, borrowed from the fit for the call.
struct JointRoundRequest {
  const core::TrainParams& params;
  const core::BinnedMatrix& binned;
  const std::vector<std::vector<core::GradientPair>>& gradients;  // K lists, one pair per row
  std::size_t n_outputs = 0;
  std::span<const std::pair<std::size_t, std::size_t>> categorical_features;  // (feature, category count)
  std::uint64_t round = 0;                                    // global round index; keys the feature draw
  const std::vector<std::uint32_t>* row_indices = nullptr;    // absent: all rows in order
  const JointMorphContext* morph = nullptr;                   // present in morph mode
  const core::FactorExposureMatrix* factor_exposures = nullptr;
};

// Level by level to depth max(max_depth, 1). Request failures throw JointError with the
// message texts: gradient list count and lengths, missing factor exposures, interaction
// constraints.
std::vector<TrainedStump> build_joint_round_inner(const JointRoundRequest& request);

// Best first: always the open node with the largest gain, at most max_leaves - 1 splits and no
// split at depth max(max_depth, 1) or deeper.
std::vector<TrainedStump> build_joint_round_leafwise(const JointRoundRequest& request, std::size_t max_leaves);

}  // namespace kestrune::engine::joint
