// Per-feature statistics of a dense row-major float32 matrix, computed in parallel over features
// and returned in feature order. NaN values never count.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace kestrune::quantization {

// Minima and maxima of every feature; a feature without a non-NaN value has +inf and -inf.
std::pair<std::vector<float>, std::vector<float>> derive_dense_feature_bounds(std::span<const float> values,
                                                                              std::size_t row_count,
                                                                              std::size_t feature_count);

// Every non-NaN value of each feature, duplicates kept, ascending in IEEE total order (-0 before 0).
std::vector<std::vector<float>> derive_dense_sorted_feature_values(std::span<const float> values, std::size_t row_count,
                                                                   std::size_t feature_count);

// Strictly increasing cut values of each feature, at most min(n, max_bins) - 1 of them: the
// values at positions floor(i * n / k), i = 1 .. k - 1, of the sorted values, repeats skipped.
std::vector<std::vector<float>> derive_dense_feature_quantile_cuts(std::span<const float> values, std::size_t row_count,
                                                                   std::size_t feature_count, std::size_t max_bins);

// The cut rule on one feature's sorted values.
std::vector<float> quantile_cuts_of_sorted(std::span<const float> sorted, std::size_t max_bins);

}  // namespace kestrune::quantization
