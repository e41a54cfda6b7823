#include "engine/objectives/contract.hpp"

#include <string>

#include "engine/error.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {

void check_lengths(std::size_t predictions_len, std::size_t targets_len, const Weights& weights) {
  if (predictions_len != targets_len) {
    throw EngineError::contract_violation("predictions length " + std::to_string(predictions_len) +
                                          " does not match targets length " + std::to_string(targets_len));
  }
  check_weights_length(targets_len, weights);
}

void check_weights_length(std::size_t targets_len, const Weights& weights) {
  if (weights && weights->size() != targets_len) {
    throw EngineError::contract_violation("weights length " + std::to_string(weights->size()) +
                                          " does not match targets length " + std::to_string(targets_len));
  }
}

void check_targets_not_empty(std::size_t targets_len) {
  if (targets_len == 0) throw EngineError::contract_violation("targets cannot be empty");
}

void throw_invalid_weight() { throw EngineError::contract_violation("sample weights must be finite and > 0"); }

void checked_pair_failure(float grad, float hess) {
  with_core_errors([&] { return core::GradientPair::make(grad, hess); });
  support::panic("gradient pair rejected here but accepted by its checked constructor");
}

}  // namespace kestrune::engine::objectives
