// Replaying one finished joint tree over the training rows: each row adds the K-vector of the side
// it took at the last stump of its path (joint K-vectors are a child's own value, not increments).
// The joint fit uses it for new trees, warm-start trees and DART drops and restores.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::joint {

// For rows 0 .. n_rows - 1 (codes of row r at r * feature_count), adds (scale * weight) * v[k] to
// predictions[k][r] for k below n_outputs and the number of prediction lists. Rows are routed by
// the shared split rule on the matrix's own codes (see bin_codes.hpp). A row whose last stump has
// no K-vectors, or a tree without a root stump, changes nothing. Short lists panic.
void walk_tree_into_predictions(std::span<const TrainedStump> stumps, const core::BinnedMatrix& binned,
                                std::size_t feature_count, std::size_t n_rows, std::size_t n_outputs,
                                std::vector<std::vector<float>>& predictions, float scale, float weight);

}  // namespace kestrune::engine::joint
