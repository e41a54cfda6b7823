// Histogram accumulation, threshold and category-subset gains and K-vector leaf values of the
// joint trainer. Everything is float32 and summed in the stated order (bins ascending, outputs in
// order), so the numbers do not depend on how a caller scans.
#include "engine/joint/shared_histogram.hpp"

#include <algorithm>
#include <string>

#include "core/leaf.hpp"
#include "engine/joint/category_scan.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

namespace {

std::size_t checked_histogram_len(std::size_t n_features, std::size_t n_bins, std::size_t n_outputs) {
  auto len = support::checked_mul(n_features, n_bins);
  if (len) len = support::checked_mul(*len, n_outputs);
  if (len) len = support::checked_mul(*len, 2);
  if (!len) support::panic("multi-output histogram size overflows");
  return *len;
}

// Per-output (G, H) of one side of a split.
struct SideSums {
  std::vector<float> grad;
  std::vector<float> hess;
  explicit SideSums(std::size_t k) : grad(k, 0.0f), hess(k, 0.0f) {}
  void add(const MultiOutputHistogram& h, std::size_t feature, std::size_t bin) {
    for (std::size_t k = 0; k < grad.size(); ++k) {
      grad[k] += h.grad(feature, bin, k);
      hess[k] += h.hess(feature, bin, k);
    }
  }
};

std::vector<float> kvec_from_sums(const SideSums& side, std::optional<float> strength, float lambda_l2, float eps,
                                  float lambda_l1) {
  std::vector<float> values(side.grad.size());
  for (std::size_t k = 0; k < values.size(); ++k) {
    const float g = core::leaf_effective_gradient(side.grad[k], 0.0f, 1, lambda_l1, strength);
    values[k] = -g / ((lambda_l2 + side.hess[k]) + eps);
  }
  return values;
}

// Running left sums and fixed totals of the plain category-subset search.
struct PlainPrefix {
  const MultiOutputHistogram& histogram;
  std::size_t feature;
  float lambda_l2;
  float eps;
  SideSums left;
  SideSums total;

  void add(std::uint32_t category) { left.add(histogram, feature, category); }
  float gain() const {
    float sum = 0.0f;
    for (std::size_t k = 0; k < left.grad.size(); ++k) {
      const float right_g = total.grad[k] - left.grad[k];
      const float right_h = total.hess[k] - left.hess[k];
      sum += (multi_output_score(left.grad[k], left.hess[k], lambda_l2, eps) +
              multi_output_score(right_g, right_h, lambda_l2, eps)) -
             multi_output_score(total.grad[k], total.hess[k], lambda_l2, eps);
    }
    return sum;
  }
};

}  // namespace

MultiOutputHistogram MultiOutputHistogram::zeroed(std::size_t n_features, std::size_t n_bins, std::size_t n_outputs) {
  MultiOutputHistogram histogram;
  histogram.reset(n_features, n_bins, n_outputs);
  return histogram;
}

void MultiOutputHistogram::reset(std::size_t features, std::size_t bins, std::size_t outputs) {
  data.assign(checked_histogram_len(features, bins, outputs), 0.0f);
  n_features = features;
  n_bins = bins;
  n_outputs = outputs;
}

void MultiOutputHistogram::clear_feature(std::size_t feature) {
  if (n_bins == 0 || n_outputs == 0) return;
  const std::size_t begin = cell(feature, 0, 0);
  const std::size_t end = begin + n_bins * n_outputs * 2;
  for (std::size_t i = begin; i < end; ++i) data[i] = 0.0f;
}

void MultiOutputHistogram::cell_out_of_range(std::size_t feature, std::size_t bin, std::size_t k) const {
  support::panic("multi-output histogram cell (" + std::to_string(feature) + ", " + std::to_string(bin) + ", " +
                 std::to_string(k) + ") is outside " + std::to_string(n_features) + " x " + std::to_string(n_bins) +
                 " x " + std::to_string(n_outputs));
}

void build_multi_output_histogram_inplace(MultiOutputHistogram& histogram, std::size_t feature,
                                          std::span<const std::uint16_t> bins, std::span<const float> grads,
                                          std::span<const float> hess, std::size_t n_outputs) {
  if (bins.empty() || n_outputs == 0) return;
  support::invariant(n_outputs <= histogram.n_outputs, "gradient stride exceeds the histogram's output count");
  const auto values = support::checked_mul(bins.size(), n_outputs);
  support::invariant(values && grads.size() >= *values && hess.size() >= *values,
                     "histogram rows exceed the gradient lists");
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const std::size_t base = histogram.cell(feature, bins[i], 0);
    for (std::size_t k = 0; k < n_outputs; ++k) {
      histogram.data[base + 2 * k] += grads[i * n_outputs + k];
      histogram.data[base + 2 * k + 1] += hess[i * n_outputs + k];
    }
  }
}

float compute_multi_output_split_gain(const MultiOutputHistogram& histogram, std::size_t feature,
                                      std::size_t threshold, float lambda_l2, float eps) {
  float total = 0.0f;
  for (std::size_t k = 0; k < histogram.n_outputs; ++k) {
    float gl = 0.0f, hl = 0.0f, gr = 0.0f, hr = 0.0f;
    for (std::size_t b = 0; b < histogram.n_bins; ++b) {
      if (b <= threshold) {
        gl += histogram.grad(feature, b, k);
        hl += histogram.hess(feature, b, k);
      } else {
        gr += histogram.grad(feature, b, k);
        hr += histogram.hess(feature, b, k);
      }
    }
    total += (multi_output_score(gl, hl, lambda_l2, eps) + multi_output_score(gr, hr, lambda_l2, eps)) -
             multi_output_score(gl + gr, hl + hr, lambda_l2, eps);
  }
  return total;
}

void multi_output_threshold_gains(const MultiOutputHistogram& histogram, std::size_t feature,
                                  std::size_t threshold_count, float lambda_l2, float eps, std::vector<float>& gains) {
  gains.assign(threshold_count, 0.0f);
  if (threshold_count == 0 || histogram.n_outputs == 0 || histogram.n_bins == 0) return;
  std::vector<float> right_g(threshold_count), right_h(threshold_count);
  for (std::size_t k = 0; k < histogram.n_outputs; ++k) {
    // Bin by bin, each cell is added to the right sums of every threshold below it. Every right
    // sum thus still receives its bins in ascending order, but the thresholds' sums are
    // independent and the inner loop vectorises.
    std::fill(right_g.begin(), right_g.end(), 0.0f);
    std::fill(right_h.begin(), right_h.end(), 0.0f);
    for (std::size_t b = 1; b < histogram.n_bins; ++b) {
      const float g = histogram.grad(feature, b, k);
      const float h = histogram.hess(feature, b, k);
      if (g == 0.0f && h == 0.0f) continue;
      const std::size_t below = b < threshold_count ? b : threshold_count;
      for (std::size_t t = 0; t < below; ++t) {
        right_g[t] += g;
        right_h[t] += h;
      }
    }
    float gl = 0.0f, hl = 0.0f;
    for (std::size_t t = 0; t < threshold_count; ++t) {
      if (t < histogram.n_bins) {
        gl += histogram.grad(feature, t, k);
        hl += histogram.hess(feature, t, k);
      }
      const float gr = right_g[t], hr = right_h[t];
      gains[t] += (multi_output_score(gl, hl, lambda_l2, eps) + multi_output_score(gr, hr, lambda_l2, eps)) -
                  multi_output_score(gl + gr, hl + hr, lambda_l2, eps);
    }
  }
}

std::vector<std::uint32_t> order_categories_by_output0(const MultiOutputHistogram& histogram, std::size_t feature,
                                                       std::size_t n_categories, float lambda_l2, float eps) {
  support::invariant(n_categories <= 64, "at most 64 categories are ordered");
  std::vector<std::uint32_t> order(n_categories);
  std::vector<float> keys(n_categories);
  for (std::size_t c = 0; c < n_categories; ++c) {
    order[c] = static_cast<std::uint32_t>(c);
    keys[c] = histogram.grad(feature, c, 0) / ((histogram.hess(feature, c, 0) + lambda_l2) + eps);
  }
  // Insertion sort: an element moves left only past strictly greater keys, so ties (and NaN keys)
  // keep ascending category order.
  for (std::size_t i = 1; i < n_categories; ++i) {
    const std::uint32_t category = order[i];
    const float key = keys[category];
    std::size_t j = i;
    while (j > 0 && key < keys[order[j - 1]]) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = category;
  }
  return order;
}

std::optional<MultiOutputCategoricalSplit> find_best_multi_output_categorical_split(
    const MultiOutputHistogram& histogram, std::size_t feature, std::size_t n_categories, float lambda_l2, float eps,
    const CategoryRowLimit* limit) {
  if (!category_count_searchable(n_categories, histogram.n_outputs)) return std::nullopt;
  PlainPrefix prefix{histogram, feature, lambda_l2, eps, SideSums(histogram.n_outputs), SideSums(histogram.n_outputs)};
  for (std::size_t c = 0; c < n_categories; ++c) prefix.total.add(histogram, feature, c);
  const auto order = order_categories_by_output0(histogram, feature, n_categories, lambda_l2, eps);
  return scan_category_prefixes(order, prefix, limit);
}

KVectorPair derive_kvec_leaves_from_threshold_histogram(const MultiOutputHistogram& histogram, std::size_t feature,
                                                        std::size_t threshold, std::optional<float> strength,
                                                        float lambda_l2, float eps, float lambda_l1) {
  SideSums left(histogram.n_outputs), right(histogram.n_outputs);
  for (std::size_t b = 0; b < histogram.n_bins; ++b) (b <= threshold ? left : right).add(histogram, feature, b);
  return {kvec_from_sums(left, strength, lambda_l2, eps, lambda_l1),
          kvec_from_sums(right, strength, lambda_l2, eps, lambda_l1)};
}

KVectorPair derive_kvec_leaves_from_categorical_histogram(const MultiOutputHistogram& histogram, std::size_t feature,
                                                          std::uint64_t mask, std::size_t n_categories,
                                                          std::optional<float> strength, float lambda_l2, float eps,
                                                          float lambda_l1) {
  SideSums left(histogram.n_outputs), right(histogram.n_outputs);
  const std::size_t placed = n_categories < 64 ? n_categories : 64;
  for (std::size_t c = 0; c < placed; ++c) {
    (((mask >> c) & 1u) != 0 ? left : right).add(histogram, feature, c);
  }
  return {kvec_from_sums(left, strength, lambda_l2, eps, lambda_l1),
          kvec_from_sums(right, strength, lambda_l2, eps, lambda_l1)};
}

}  // namespace kestrune::engine::joint
