// The engine's two metric functions: the losses of squared error and binary cross-entropy. Both are
// means over the row count, also when weights are given.
#pragma once

#include <span>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// Mean of w*(p - y)^2 over the rows (divided by the row count, not the weight sum); 0 for no rows.
float squared_error_loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights);

// Mean of w*(max(f, 0) - f*y + ln(1 + exp(-|f|))) over the rows, f being the logit; 0 for no rows.
float binary_crossentropy_loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights);

}  // namespace kestrune::engine::objectives
