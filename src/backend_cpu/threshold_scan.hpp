// What the threshold scans share: the totals a scan starts from, the two children of a threshold,
// the candidate record, and the fast scan's gain, scored for several candidates at once.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "backend_cpu/split_gain.hpp"
#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

// The totals, the missing bin's statistics and the scan limit of one histogram.
struct ScanSetup {
  core::HistogramBin total;        // every bin, the missing one included
  core::HistogramBin missing;      // the missing bin, zero when it lies outside the histogram
  core::HistogramBin non_missing;  // total minus missing, the count floored at 0
  std::size_t limit = 0;           // thresholds 0 .. limit - 1
};

// The two children of threshold t with the missing bin on either side, from the prefix sums.
inline core::HistogramBin missing_left_left(const ScanSetup& s, const core::HistogramBin& prefix) {
  return {s.missing.grad_sum + prefix.grad_sum, s.missing.hess_sum + prefix.hess_sum,
          s.missing.grad_sq_sum + prefix.grad_sq_sum, prefix.count + s.missing.count};
}
inline core::HistogramBin missing_left_right(const ScanSetup& s, const core::HistogramBin& prefix) {
  return {s.non_missing.grad_sum - prefix.grad_sum, s.non_missing.hess_sum - prefix.hess_sum,
          s.non_missing.grad_sq_sum - prefix.grad_sq_sum, saturating_count_sub(s.non_missing.count, prefix.count)};
}
inline core::HistogramBin missing_right_right(const ScanSetup& s, const core::HistogramBin& prefix) {
  return {s.missing.grad_sum + (s.non_missing.grad_sum - prefix.grad_sum),
          s.missing.hess_sum + (s.non_missing.hess_sum - prefix.hess_sum),
          s.missing.grad_sq_sum + (s.non_missing.grad_sq_sum - prefix.grad_sq_sum),
          saturating_count_sub(s.non_missing.count, prefix.count) + s.missing.count};
}

inline engine::SplitCandidate make_candidate(std::uint32_t node_id, std::uint32_t feature_index, float gain,
                                             std::size_t threshold, bool default_left, const core::HistogramBin& left,
                                             const core::HistogramBin& right) {
  engine::SplitCandidate candidate;
  candidate.left_stats = left;
  candidate.right_stats = right;
  candidate.node_id = node_id;
  candidate.feature_index = feature_index;
  candidate.gain = gain;
  // The scan limit is at most the missing bin's u16 value or the bin count; thresholds fit
  // 16 bits for every histogram of at most 65536 bins.
  support::invariant(threshold <= 0xFFFF, "split threshold does not fit 16 bits");
  candidate.threshold_bin = static_cast<std::uint16_t>(threshold);
  candidate.default_left = default_left;
  candidate.is_categorical = false;
  return candidate;
}

// The winning candidate of a fast scan from its threshold's prefix sums.
inline engine::SplitCandidate fast_scan_candidate(std::uint32_t node_id, std::uint32_t feature_index, float gain,
                                                  std::size_t threshold, bool default_left, const ScanSetup& s,
                                                  const core::HistogramBin& prefix) {
  if (default_left) {
    return make_candidate(node_id, feature_index, gain, threshold, true, missing_left_left(s, prefix),
                          missing_left_right(s, prefix));
  }
  return make_candidate(node_id, feature_index, gain, threshold, false, prefix, missing_right_right(s, prefix));
}

// --- the fast scan's gain ----------------------------------------------------------------------

// Four candidates side by side, one per lane. Every operation acts on each lane alone in plain
// IEEE float32, so a lane's bits are those of the scalar formula on its candidate.
using FloatLanes = float __attribute__((vector_size(4 * sizeof(float))));
using MaskLanes = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
using CountLanes = std::uint32_t __attribute__((vector_size(4 * sizeof(std::uint32_t))));

// What every candidate of a fast scan shares, from the options.
struct FastScanConstants {
  float l1;
  float l2;
  float min_child_hess;
  float min_leaf_magnitude;
  // A child is refused when its count is not above 0 or is below min_rows_per_leaf. Child counts
  // are sums and differences of whole numbers in float32, so never NaN and always whole: both
  // tests together are `count < max(min_rows_per_leaf, 1)`.
  float min_rows;

  static FastScanConstants of(const engine::SplitSelectionOptions& options) {
    return {options.split_l1, options.split_l2, options.min_child_hess, options.min_leaf_magnitude,
            std::max(static_cast<float>(options.min_rows_per_leaf), 1.0f)};
  }
  // The soft threshold applies (an L1 term that is not above 0, NaN included, leaves sums as they
  // are), and the leaf magnitude test.
  bool l1_applies() const { return l1 > 0.0f; }
  bool magnitude_applies() const { return min_leaf_magnitude > 0.0f; }
};

// The soft threshold of the fast scan, for a positive L1 term (a NaN sum gives 0).
inline float fast_effective_gradient(float grad_sum, float l1) {
  if (!(l1 > 0.0f)) return grad_sum;
  if (grad_sum > l1) return grad_sum - l1;
  if (grad_sum < -l1) return grad_sum + l1;
  return 0.0f;
}

template <bool L1>
FloatLanes fast_effective_gradient(FloatLanes grad_sum, float l1) {
  if constexpr (!L1) return grad_sum;
  const FloatLanes zero = {};
  return grad_sum > l1 ? grad_sum - l1 : (grad_sum < -l1 ? grad_sum + l1 : zero);
}

inline FloatLanes absolute(FloatLanes x) {
  return std::bit_cast<FloatLanes>(std::bit_cast<MaskLanes>(x) & 0x7FFFFFFF);
}

// A parent's term, doubled, as every candidate's gain subtracts it.
inline float fast_parent_term_doubled(float grad_sum, float hess_sum, const FastScanConstants& k) {
  const float g = fast_effective_gradient(grad_sum, k.l1);
  const float term = (g * (g * 0.5f)) / ((k.l2 + hess_sum) + core::kLeafDenominatorEpsilon);
  return term + term;
}

// The gain of one candidate per lane, and the lanes where the candidate is refused.
struct GainLanes {
  FloatLanes gain;
  MaskLanes refused;
};

// L1 and Magnitude say whether the soft threshold and the leaf magnitude test apply
// (k.l1_applies(), k.magnitude_applies()). parent_term_doubled is one value for all lanes or one
// per lane.
template <bool L1, bool Magnitude, typename ParentTerm>
[[gnu::always_inline]] inline GainLanes fast_gain_lanes(FloatLanes left_grad, FloatLanes left_hess,
                                                       FloatLanes left_count, FloatLanes right_grad,
                                                       FloatLanes right_hess, FloatLanes right_count,
                                                       const FastScanConstants& k, ParentTerm parent_term_doubled) {
  constexpr float kEpsilon = core::kLeafDenominatorEpsilon;
  const FloatLanes gl = fast_effective_gradient<L1>(left_grad, k.l1);
  const FloatLanes gr = fast_effective_gradient<L1>(right_grad, k.l1);
  const FloatLanes den_l = (k.l2 + left_hess) + kEpsilon;
  const FloatLanes den_r = (k.l2 + right_hess) + kEpsilon;
  const FloatLanes term_l = (gl * (gl * 0.5f)) / den_l;
  const FloatLanes term_r = (gr * (gr * 0.5f)) / den_r;
  const FloatLanes gain = ((term_l + term_l) + (term_r + term_r)) - parent_term_doubled;
  MaskLanes refused = (left_hess <= k.min_child_hess) | (right_hess <= k.min_child_hess) | (left_count < k.min_rows) |
                      (right_count < k.min_rows);
  if constexpr (Magnitude) {
    refused |= (absolute(gl) / den_l < k.min_leaf_magnitude) & (absolute(gr) / den_r < k.min_leaf_magnitude);
  }
  return {gain, refused};
}

// scan.template operator()<L1, Magnitude>() with the flags of fast_gain_lanes that `k` calls for,
// so that a scan tests them once instead of at every threshold.
template <typename Scan>
decltype(auto) with_gain_flags(const FastScanConstants& k, Scan&& scan) {
  if (k.l1_applies()) {
    if (k.magnitude_applies()) return scan.template operator()<true, true>();
    return scan.template operator()<true, false>();
  }
  if (k.magnitude_applies()) return scan.template operator()<false, true>();
  return scan.template operator()<false, false>();
}

// The gains of one candidate per lane, minus infinity where it is refused.
template <typename ParentTerm>
FloatLanes fast_gains(FloatLanes left_grad, FloatLanes left_hess, FloatLanes left_count, FloatLanes right_grad,
                      FloatLanes right_hess, FloatLanes right_count, const FastScanConstants& k,
                      ParentTerm parent_term_doubled) {
  const GainLanes g = with_gain_flags(k, [&]<bool L1, bool Magnitude>() {
    return fast_gain_lanes<L1, Magnitude>(left_grad, left_hess, left_count, right_grad, right_hess, right_count, k,
                                          parent_term_doubled);
  });
  const FloatLanes minus_infinity = FloatLanes{} - std::numeric_limits<float>::infinity();
  return g.refused ? minus_infinity : g.gain;
}

}  // namespace kestrune::backend_cpu
