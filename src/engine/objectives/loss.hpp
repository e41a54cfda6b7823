// The engine's two metric functions: the losses of squared error and binary cross-entropy. Both are
// means over the row count, also when weights are given.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "support/exp_lanes.hpp"

namespace kestrune::engine::objectives {

// Mean of w*(p - y)^2 over the rows (divided by the row count, not the weight sum); 0 for no rows.
float squared_error_loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights);

// Rows per pool thread of the logistic loss's terms (an exponential and a logarithm each).
inline constexpr std::size_t kLogisticTermsPerThread = 8192;

// One row's unweighted term of binary_crossentropy_loss at logit f and label y, given
// exp_minus_abs = exp(-|f|), which a pass that also computes the logit's sigmoid shares with it.
inline float logistic_loss_term(float f, float y, float exp_minus_abs) {
  // max(f, 0) as fmax gives it, 0 for a NaN logit (and +0 for either zero, which the positive
  // logarithm makes the same sum); ln(exp(-|f|) + 1) cannot overflow.
  const float positive_part = f > 0.0f ? f : 0.0f;
  return (positive_part - f * y) + std::log(exp_minus_abs + 1.0f);
}

// out[k] = exp(-|f|) of logits[k]: every row's logistic term takes that exponential, and the
// sigmoid of the same logit shares it. The exponentials of a block are computed together, in
// place in `out` (the same floats as std::exp, faster). out has the logits' length.
inline void exp_minus_abs_into(std::span<const float> logits, std::span<float> out) {
  for (std::size_t k = 0; k < logits.size(); ++k) out[k] = -std::fabs(logits[k]);
  support::exp_batch(out, out);
}

// The mean of binary_crossentropy_loss for inputs whose lengths are checked, the unweighted terms
// of rows first .. first + terms.size() - 1 written by row_terms(first, terms), a block of rows
// at a time (on any pool thread), so that a pass which also needs per-row values of the same
// logits makes them alongside, and the block's exponentials are computed together.
template <typename RowTerms>
float mean_logistic_loss(std::span<const float> targets, const Weights& weights, RowTerms&& row_terms) {
  const std::size_t n = targets.size();
  if (n == 0) return 0.0f;
  float sum = 0.0f;
  // The terms (an exponential and a logarithm each) come from the pool; the sum stays one running
  // total in row order.
  fold_term_blocks_in_order<float>(
      n, kLogisticTermsPerThread,
      [&](std::size_t first, std::span<float> terms) {
        row_terms(first, terms);
        if (weights) {
          const float* const w = weights->data() + first;
          for (std::size_t k = 0; k < terms.size(); ++k) terms[k] = terms[k] * w[k];
        }
      },
      [&](float term) { sum += term; });
  return sum / static_cast<float>(n);
}

// binary_crossentropy_loss for inputs whose lengths are checked, for a loss that may wait: the
// rows' (weighted) terms are computed into `terms` (one per row) on the calling thread and on the
// pool's idle workers (for_chunks_when_idle), then added up in row order. The same float.
float mean_logistic_loss_when_idle(std::span<const float> predictions, std::span<const float> targets,
                                   const Weights& weights, std::span<float> terms);

// Mean of w*(max(f, 0) - f*y + ln(1 + exp(-|f|))) over the rows, f being the logit; 0 for no rows.
float binary_crossentropy_loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights);

}  // namespace kestrune::engine::objectives
