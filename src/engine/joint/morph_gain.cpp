// Morph gains of the joint trainer, float32 throughout.
#include "engine/joint/morph_gain.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/joint/category_scan.hpp"
#include "engine/morph.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

namespace {

constexpr float kMorphEpsilon = 1e-6f;
constexpr float kStdFloor = 1e-10f;

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return b > std::numeric_limits<std::uint32_t>::max() - a ? std::numeric_limits<std::uint32_t>::max() : a + b;
}

float surprise(std::uint32_t count, float grad_sum, float ema_mean, float ema_std, float damping) {
  if (count == 0) return 0.0f;
  const float mean = grad_sum / static_cast<float>(count);
  const float z = (mean - ema_mean) / (ema_std + kStdFloor);
  return (std::log(std::fabs(mean) + 1.0f) * std::fabs(z)) / damping;
}

// The output's running statistics; an output beyond the context's lists is a caller bug.
std::pair<float, float> ema_of(const JointMorphContext& morph, std::size_t k) {
  support::invariant(k < morph.ema_means.size() && k < morph.ema_stds.size(),
                     "morph statistics hold fewer entries than outputs");
  return {morph.ema_means[k], morph.ema_stds[k]};
}

float morph_gain_of_output(const JointMorphContext& morph, std::size_t k, std::uint32_t n_left, std::uint32_t n_right,
                           float gl, float hl, float gr, float hr, float lambda_l2) {
  const auto [mean, std] = ema_of(morph, k);
  return morph_gain_per_output(n_left, n_right, morph.precomputed, morph.iteration, morph.total_iterations, gl, hl, gr,
                               hr, lambda_l2, morph.config.evolution_pressure, mean, std);
}

// Running left sums and counts of the morph category-subset search.
struct MorphPrefix {
  const MultiOutputHistogram& histogram;
  std::size_t feature;
  float lambda_l2;
  const JointMorphContext& morph;
  std::vector<float> left_g, left_h, total_g, total_h;
  std::vector<std::uint32_t> left_n, total_n;

  void add_to(std::vector<float>& g, std::vector<float>& h, std::vector<std::uint32_t>& n, std::size_t category) {
    for (std::size_t k = 0; k < g.size(); ++k) {
      g[k] += histogram.grad(feature, category, k);
      const float hess = histogram.hess(feature, category, k);
      h[k] += hess;
      n[k] = saturating_add(n[k], morph_row_count(hess));
    }
  }
  void add(std::uint32_t category) { add_to(left_g, left_h, left_n, category); }
  float gain() const {
    float sum = 0.0f;
    for (std::size_t k = 0; k < left_g.size(); ++k) {
      const std::uint32_t right_n = total_n[k] >= left_n[k] ? total_n[k] - left_n[k] : 0u;
      sum += morph_gain_of_output(morph, k, left_n[k], right_n, left_g[k], left_h[k], total_g[k] - left_g[k],
                                  total_h[k] - left_h[k], lambda_l2);
    }
    return sum;
  }
};

}  // namespace

std::uint32_t morph_row_count(float hess_sum) {
  if (!(std::isfinite(hess_sum) && hess_sum > 0.0f)) return 0;
  return std::max<std::uint32_t>(support::saturating_cast<std::uint32_t>(std::ceil(hess_sum)), 1u);
}

float morph_gain_per_output(std::uint32_t n_left, std::uint32_t n_right, const core::MorphPrecomputed& precomputed,
                            std::uint32_t iteration, std::uint32_t total_iterations, float g_left, float h_left,
                            float g_right, float h_right, float lambda_l2, float evolution_pressure, float ema_mean,
                            float ema_std) {
  const float g_parent = g_left + g_right;
  const float base = (g_left * g_left) / ((h_left + lambda_l2) + kMorphEpsilon) +
                     (g_right * g_right) / ((h_right + lambda_l2) + kMorphEpsilon) -
                     (g_parent * g_parent) / (((h_left + h_right) + lambda_l2) + kMorphEpsilon);
  const std::uint32_t n = saturating_add(n_left, n_right);
  float gain = base;
  if (!precomputed.in_warmup && !precomputed.negligible) {
    const float progress = static_cast<float>(iteration) / static_cast<float>(std::max<std::uint32_t>(total_iterations, 1));
    const float damping = 1.0f + evolution_pressure * progress;
    const float surprise_gain = (surprise(n_left, g_left, ema_mean, ema_std, damping) +
                                 surprise(n_right, g_right, ema_mean, ema_std, damping)) -
                                surprise(n, g_parent, ema_mean, ema_std, damping);
    gain = base * precomputed.base_weight + surprise_gain * precomputed.morph_weight;
  }
  if (precomputed.balance_penalty) add_morph_balance_penalty(gain, std::min(n_left, n_right), n);
  return gain;
}

float compute_multi_output_split_gain_morph(const MultiOutputHistogram& histogram, std::size_t feature,
                                            std::size_t threshold, const JointMorphContext& morph, float lambda_l2) {
  float total = 0.0f;
  for (std::size_t k = 0; k < histogram.n_outputs; ++k) {
    float gl = 0.0f, hl = 0.0f, gr = 0.0f, hr = 0.0f;
    std::uint32_t nl = 0, nr = 0;
    for (std::size_t b = 0; b < histogram.n_bins; ++b) {
      const float g = histogram.grad(feature, b, k);
      const float h = histogram.hess(feature, b, k);
      if (b <= threshold) {
        gl += g;
        hl += h;
        nl = saturating_add(nl, morph_row_count(h));
      } else {
        gr += g;
        hr += h;
        nr = saturating_add(nr, morph_row_count(h));
      }
    }
    total += morph_gain_of_output(morph, k, nl, nr, gl, hl, gr, hr, lambda_l2);
  }
  return total;
}

std::optional<MultiOutputCategoricalSplit> find_best_multi_output_categorical_split_morph(
    const MultiOutputHistogram& histogram, std::size_t feature, std::size_t n_categories, float lambda_l2, float eps,
    const JointMorphContext& morph, const CategoryRowLimit* limit) {
  const std::size_t k_count = histogram.n_outputs;
  if (!category_count_searchable(n_categories, k_count)) return std::nullopt;
  MorphPrefix prefix{histogram,
                     feature,
                     lambda_l2,
                     morph,
                     std::vector<float>(k_count, 0.0f),
                     std::vector<float>(k_count, 0.0f),
                     std::vector<float>(k_count, 0.0f),
                     std::vector<float>(k_count, 0.0f),
                     std::vector<std::uint32_t>(k_count, 0u),
                     std::vector<std::uint32_t>(k_count, 0u)};
  for (std::size_t c = 0; c < n_categories; ++c) prefix.add_to(prefix.total_g, prefix.total_h, prefix.total_n, c);
  const auto order = order_categories_by_output0(histogram, feature, n_categories, lambda_l2, eps);
  return scan_category_prefixes(order, prefix, limit);
}

}  // namespace kestrune::engine::joint
