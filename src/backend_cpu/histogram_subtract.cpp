#include "backend_cpu/histogram_subtract.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrune::backend_cpu {

void subtract_histogram_bins(std::span<const core::HistogramBin> parent, std::span<const core::HistogramBin> child,
                             std::span<core::HistogramBin> out) {
  const std::size_t n = std::min({parent.size(), child.size(), out.size()});
  std::size_t i = 0;
#if defined(__SSE2__)
  // One bin is one vector: the three float lanes subtract as floats, the count lane as an
  // integer, and a mask picks each lane from the right result.
  const __m128 float_lanes = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
  for (; i < n; ++i) {
    const __m128 p = _mm_loadu_ps(&parent[i].grad_sum);
    const __m128 c = _mm_loadu_ps(&child[i].grad_sum);
    const __m128 floats = _mm_sub_ps(p, c);
    const __m128 counts = _mm_castsi128_ps(_mm_sub_epi32(_mm_castps_si128(p), _mm_castps_si128(c)));
    _mm_storeu_ps(&out[i].grad_sum, _mm_or_ps(_mm_and_ps(float_lanes, floats), _mm_andnot_ps(float_lanes, counts)));
  }
#endif
  for (; i < n; ++i) {
    out[i].grad_sum = parent[i].grad_sum - child[i].grad_sum;
    out[i].hess_sum = parent[i].hess_sum - child[i].hess_sum;
    out[i].grad_sq_sum = parent[i].grad_sq_sum - child[i].grad_sq_sum;
    out[i].count = parent[i].count - child[i].count;
  }
}

core::FeatureHistogram subtract_histograms(const core::FeatureHistogram& parent, const core::FeatureHistogram& child) {
  core::FeatureHistogram sibling{std::vector<core::HistogramBin>(parent.bins.size()), parent.feature_index};
  subtract_histogram_bins(parent.bins, child.bins, sibling.bins);
  return sibling;
}

}  // namespace kestrune::backend_cpu
