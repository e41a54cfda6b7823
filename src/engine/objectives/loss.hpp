// The engine's two metric functions: the losses of squared error and binary cross-entropy. Both are
// means over the row count, also when weights are given.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// Mean of w*(p - y)^2 over the rows (divided by the row count, not the weight sum); 0 for no rows.
float squared_error_loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights);

// Rows per pool thread of the logistic loss's terms (an exponential and a logarithm each).
inline constexpr std::size_t kLogisticTermsPerThread = 8192;

// One row's unweighted term of binary_crossentropy_loss at logit f and label y.
inline float logistic_loss_term(float f, float y) {
  // fmax gives 0 for a NaN logit; ln(exp(-|f|) + 1) cannot overflow.
  return (std::fmax(f, 0.0f) - f * y) + std::log(std::exp(-std::fabs(f)) + 1.0f);
}

// Mean of w*(max(f, 0) - f*y + ln(1 + exp(-|f|))) over the rows, f being the logit; 0 for no rows.
float binary_crossentropy_loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights);

}  // namespace kestrune::engine::objectives
