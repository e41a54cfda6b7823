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

// The argument of the logarithm in a row's logistic term, given exp_minus_abs = exp(-|f|): in
// [1, 2], so its logarithm cannot overflow.
inline float logistic_log_argument(float exp_minus_abs) { return exp_minus_abs + 1.0f; }

// One row's unweighted term of binary_crossentropy_loss at logit f and label y, given the
// logarithm of logistic_log_argument.
inline float logistic_loss_term_given_log(float f, float y, float log_of_argument) {
  // max(f, 0) as fmax gives it, 0 for a NaN logit (and +0 for either zero, which the positive
  // logarithm makes the same sum).
  const float positive_part = f > 0.0f ? f : 0.0f;
  return (positive_part - f * y) + log_of_argument;
}

// The same term given exp_minus_abs = exp(-|f|), which a pass that also computes the logit's
// sigmoid shares with it.
inline float logistic_loss_term(float f, float y, float exp_minus_abs) {
  return logistic_loss_term_given_log(f, y, std::log(logistic_log_argument(exp_minus_abs)));
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

// The running float total of `terms` in row order over their count, the arithmetic of
// mean_logistic_loss: given the terms its rows would give, the same float. 0 for no terms.
inline float mean_of_loss_terms(std::span<const float> terms) {
  if (terms.empty()) return 0.0f;
  float sum = 0.0f;
  for (const float term : terms) sum += term;
  return sum / static_cast<float>(terms.size());
}

// binary_crossentropy_loss for inputs whose lengths are checked, given each row's
// logistic_log_argument in `arguments`, which are turned into the rows' (weighted) terms in place:
// the logarithms on the pool's idle workers (a round's loss waits while the next tree grows), the
// sum in row order. The same float as binary_crossentropy_loss.
float mean_logistic_loss_given_arguments(std::span<const float> predictions, std::span<const float> targets,
                                         const Weights& weights, std::span<float> arguments);

// Mean of w*(max(f, 0) - f*y + ln(1 + exp(-|f|))) over the rows, f being the logit; 0 for no rows.
float binary_crossentropy_loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights);

}  // namespace kestrune::engine::objectives
