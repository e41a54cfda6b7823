// Sibling histograms by subtraction: a split builds the smaller child's histograms from its
// rows and derives the larger child's as parent minus child, one pass over the bins.
#pragma once

#include <span>

#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// out[i] = parent[i] - child[i] for every i below the shortest of the three lengths: the float
// lanes in float32, the count as a 32-bit unsigned (wrapping) difference. Bins past that length
// are left as they are.
void subtract_histogram_bins(std::span<const core::HistogramBin> parent, std::span<const core::HistogramBin> child,
                             std::span<core::HistogramBin> out);

// The sibling of `child` within `parent`: parent's feature index and bin count, each bin the
// difference above; bins past the child's length are zero.
core::FeatureHistogram subtract_histograms(const core::FeatureHistogram& parent, const core::FeatureHistogram& child);

}  // namespace kestrune::backend_cpu
