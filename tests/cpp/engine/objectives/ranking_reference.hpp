// Float64 reference computations of the pairwise ranking terms, written directly from their
// definitions, for comparison with the float32 objectives.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <vector>

namespace kestrune::engine::objectives::testing {

struct ReferenceTerms {
  std::vector<double> grad;
  std::vector<double> hess;
};

inline double reference_rho(double x) { return 1.0 / (1.0 + std::exp(x)); }

// LambdaMART terms of one group: pairs weighted by the NDCG change of a swap in the order that
// `rank_scores` gives (highest first, ties by position); the logistic weight uses `scores`.
// Added into `terms` scaled by `scale`.
inline void add_lambda_terms(std::span<const float> labels, std::span<const float> scores,
                             std::span<const float> rank_scores, double scale, ReferenceTerms& terms) {
  const std::size_t n = labels.size();
  std::vector<double> sorted(labels.begin(), labels.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](double a, double b) { return a > b; });
  double idcg = 0.0;
  for (std::size_t i = 0; i < n; ++i) idcg += (std::exp2(sorted[i]) - 1.0) / std::log2(i + 2.0);
  if (idcg <= 0.0) return;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rank_scores[a] > rank_scores[b]; });
  std::vector<double> discount(n);
  for (std::size_t r = 0; r < n; ++r) discount[order[r]] = 1.0 / std::log2(r + 2.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (labels[i] == labels[j]) continue;
      const std::size_t hi = labels[i] > labels[j] ? i : j;
      const std::size_t lo = hi == i ? j : i;
      const double rho = reference_rho(static_cast<double>(scores[hi]) - scores[lo]);
      const double delta =
          std::fabs((std::exp2(labels[hi]) - std::exp2(labels[lo])) * (discount[hi] - discount[lo])) / idcg;
      terms.grad[hi] -= scale * rho * delta;
      terms.grad[lo] += scale * rho * delta;
      terms.hess[hi] += scale * rho * (1.0 - rho) * delta;
      terms.hess[lo] += scale * rho * (1.0 - rho) * delta;
    }
  }
}

}  // namespace kestrune::engine::objectives::testing
