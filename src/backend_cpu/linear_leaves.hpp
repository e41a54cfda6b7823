// Linear leaves: after a numeric split, each child gets a small ridge model of up to eight raw
// feature values instead of a constant. One pass over the node's rows gathers second-order
// statistics per bin of the split feature; the two children's sums are then formed from the
// bins on either side of the threshold, and each child solves its own k x k normal equations
// by Cholesky factorisation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/linear_leaf_payload.hpp"
#include "core/binned.hpp"
#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/backend_ops.hpp"

namespace kestrune::backend_cpu {

// The most terms one linear leaf carries (what an artifact stores); every matrix of the fit is at
// most this square.
inline constexpr std::size_t kMaxLinearLeafTerms = core::kMaxLinearLeafTerms;

// The normal-equation sums of a set of rows, all float32 and zero at start: `gram` (row-major
// 8 x 8, entry (j, m) = sum of h * z_j * z_m), `moments` (entry j = sum of g * z_j), and the
// plain gradient and hessian sums. Only the upper triangle of the leading k x k block and the
// first k moments are used.
struct LeafNormalStats {
  std::array<float, kMaxLinearLeafTerms * kMaxLinearLeafTerms> gram{};
  std::array<float, kMaxLinearLeafTerms> moments{};
  float grad_sum = 0.0f;
  float hess_sum = 0.0f;
};

// The statistics of one bin of the split feature.
struct BinNormalStats {
  std::uint16_t bin = 0;
  LeafNormalStats stats;
};

struct LeafNormalStatsPair {
  LeafNormalStats left;
  LeafNormalStats right;
};

// The two children's sums from the per-bin records (ascending, distinct bins; bins without rows
// may be left out, since their records are all zero), split at `threshold_bin` with the missing
// rows in bin `missing_bin` on the `default_left` side. Bins above the missing bin take no part;
// with missing bin 0 no bin lies below it. Each side is the bins up to the threshold (P) or the
// bins below the missing bin (Tot) less P, each summed in bin order, plus the missing bin's
// record on its side.
LeafNormalStatsPair leaf_linear_stats_for_split(std::span<const BinNormalStats> per_bin, std::uint16_t threshold_bin,
                                                std::uint16_t missing_bin, bool default_left);

// The ridge model of one child: slopes x solve (S + lambda I) x = -b over the first
// `terms.size()` (1 to 8) terms, with S the upper triangle of `gram` mirrored, then times
// `scale`; a non-positive pivot gives all-zero slopes. The intercept is the constant-leaf Newton
// value -(scale x G) / ((H + lambda) + 1e-6). The slopes and the intercept are solved apart and
// the raw values are not centred.
core::LinearLeaf solve_pl_leaf(const LeafNormalStats& stats, std::span<const std::uint32_t> terms, float scale,
                               float lambda);

// The backend operation: the left and right models of an applied split over the request's left
// and right rows. Never fails on input; absent when the raw matrix has no columns, the term
// count is not 1 to 8, the split feature lies outside the binned matrix, a row lies outside the
// gradients or the raw values, or a row's bin exceeds the matrix's largest bin. A raw value
// that is NaN contributes nothing for its term, as when the model is evaluated; non-finite sums
// are zeroed before solving.
std::optional<engine::LinearLeafPair> solve_pl_leaf_pair_from_partitions(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    const engine::LinearLeafPairRequest& request);

}  // namespace kestrune::backend_cpu
