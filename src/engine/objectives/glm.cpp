#include "engine/objectives/glm.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "engine/error.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "support/float_text.hpp"

namespace kestrune::engine::objectives {
namespace {

// An exponential (Tweedie: and two powers) per row: a thread repays its wake-up from a few
// thousand rows on.
constexpr std::size_t kRowsPerThread = 8192;

// One family's per-row formulas; `pc` is the clamped score, the weight is applied by the caller of
// `pair` and `term` through `w`.
struct PoissonFamily {
  static constexpr const char* kTargetMessage = "Poisson targets must be finite and non-negative";
  static bool target_ok(float y) { return std::isfinite(y) && y >= 0.0f; }
  GradientPair pair(float pc, float y, float w) const {
    const float m = std::exp(pc);
    return {w * (m - y), w * floor_hessian(m)};
  }
  float term(float pc, float y, float w) const { return w * (std::exp(pc) - y * pc); }
};

struct GammaFamily {
  static constexpr const char* kTargetMessage = "Gamma targets must be finite and strictly positive (> 0)";
  static bool target_ok(float y) { return std::isfinite(y) && y > 0.0f; }
  GradientPair pair(float pc, float y, float w) const {
    const float m = floor_hessian(std::exp(pc));
    const float r = y / m;
    return {w * (1.0f - r), w * floor_hessian(r)};
  }
  float term(float pc, float y, float w) const {
    const float m = floor_hessian(std::exp(pc));
    const float r = floor_hessian(y / m);
    return w * ((r - std::log(r)) - 1.0f);
  }
};

struct TweedieFamily {
  static constexpr const char* kTargetMessage = "Tweedie targets must be finite and non-negative";
  static bool target_ok(float y) { return std::isfinite(y) && y >= 0.0f; }
  explicit TweedieFamily(float q)
      : one_minus_q(1.0f - q), two_minus_q(2.0f - q), denominator((1.0f - q) * (2.0f - q)) {}
  GradientPair pair(float pc, float y, float w) const {
    const float m = std::exp(pc);
    const float a = std::pow(m, one_minus_q);
    const float b = std::pow(m, two_minus_q);
    return {w * (b - y * a), w * floor_hessian(b)};
  }
  float term(float pc, float y, float w) const {
    const float m = std::exp(pc);
    const float a = std::pow(m, one_minus_q);
    const float b = std::pow(m, two_minus_q);
    const float t = y > 0.0f ? std::pow(y, two_minus_q) / denominator : 0.0f;
    return (w + w) * (b / two_minus_q + (t - (y * a) / one_minus_q));
  }
  float one_minus_q;
  float two_minus_q;
  float denominator;
};

template <typename Family>
void checked_gradients_into(const Family& family, std::span<const float> predictions, std::span<const float> targets,
                            const Weights& weights, std::vector<GradientPair>& out) {
  check_lengths(predictions.size(), targets.size(), weights);
  fill_or_clear(out, targets.size(), [&](std::span<GradientPair> pairs) {
    for_row_chunks(pairs.size(), kRowsPerThread, [&](std::size_t first, std::size_t last) {
      if (weights) {
        const std::span<const float> w = *weights;
        for (std::size_t i = first; i < last; ++i) {
          check_weight(w[i]);
          const GradientPair p = family.pair(clamp_log_link_score(predictions[i]), targets[i], w[i]);
          pairs[i] = checked_pair(p.grad, p.hess);
        }
      } else {
        for (std::size_t i = first; i < last; ++i) {
          const GradientPair p = family.pair(clamp_log_link_score(predictions[i]), targets[i], 1.0f);
          pairs[i] = checked_pair(p.grad, p.hess);
        }
      }
    });
  });
}

template <typename Family>
std::vector<GradientPair> checked_gradients(const Family& family, std::span<const float> predictions,
                                            std::span<const float> targets, const Weights& weights) {
  std::vector<GradientPair> pairs;
  checked_gradients_into(family, predictions, targets, weights, pairs);
  return pairs;
}

template <typename Family>
float log_mean_target(std::span<const float> targets, const Weights& weights) {
  check_targets_not_empty(targets.size());
  for (const float y : targets) {
    if (!Family::target_ok(y)) throw EngineError::contract_violation(Family::kTargetMessage);
  }
  const auto [sum, weight_sum] = glm_weighted_target_sum(targets, weights);
  if (weight_sum <= 0.0f) throw EngineError::contract_violation("sample weight sum must be > 0");
  return std::log(floor_hessian(sum / weight_sum));
}

template <typename Family>
float mean_loss(const Family& family, std::span<const float> predictions, std::span<const float> targets,
                const Weights& weights) {
  check_lengths(predictions.size(), targets.size(), weights);
  // The terms come from the pool; the sum and the divisor are each one running total in row order.
  float sum = 0.0f;
  float divisor = 0.0f;
  const float* w = weights ? weights->data() : nullptr;
  fold_terms_in_order<float>(
      targets.size(), kRowsPerThread,
      [&](std::size_t i) {
        return family.term(clamp_log_link_score(predictions[i]), targets[i], w != nullptr ? w[i] : 1.0f);
      },
      [&](float term) { sum += term; });
  if (w != nullptr) {
    for (std::size_t i = 0; i < targets.size(); ++i) divisor += w[i];
  } else {
    // The divisor counts rows in float32, as the sum does.
    for (std::size_t i = 0; i < targets.size(); ++i) divisor += 1.0f;
  }
  if (targets.empty() || divisor <= 0.0f) return 0.0f;
  return sum / divisor;
}

}  // namespace

std::pair<float, float> glm_weighted_target_sum(std::span<const float> targets, const Weights& weights) {
  if (!weights) {
    float sum = 0.0f;
    for (const float y : targets) sum += y;
    return {sum, static_cast<float>(targets.size())};
  }
  check_weights_length(targets.size(), weights);
  const std::span<const float> w = *weights;
  float sum = 0.0f;
  float weight_sum = 0.0f;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    check_weight(w[i]);
    sum += w[i] * targets[i];
    weight_sum += w[i];
  }
  return {sum, weight_sum};
}

// ---- Poisson ----

std::vector<GradientPair> PoissonObjective::compute_gradients(std::span<const float> predictions,
                                                              std::span<const float> targets,
                                                              const Weights& weights) const {
  return checked_gradients(PoissonFamily{}, predictions, targets, weights);
}
float PoissonObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  return log_mean_target<PoissonFamily>(targets, weights);
}
void PoissonObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights, std::vector<GradientPair>& out) const {
  checked_gradients_into(PoissonFamily{}, predictions, targets, weights, out);
}
float PoissonObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights) const {
  return mean_loss(PoissonFamily{}, predictions, targets, weights);
}

// ---- Gamma ----

std::vector<GradientPair> GammaObjective::compute_gradients(std::span<const float> predictions,
                                                            std::span<const float> targets,
                                                            const Weights& weights) const {
  return checked_gradients(GammaFamily{}, predictions, targets, weights);
}
float GammaObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  return log_mean_target<GammaFamily>(targets, weights);
}
void GammaObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                            const Weights& weights, std::vector<GradientPair>& out) const {
  checked_gradients_into(GammaFamily{}, predictions, targets, weights, out);
}
float GammaObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                           const Weights& weights) const {
  return mean_loss(GammaFamily{}, predictions, targets, weights);
}

// ---- Tweedie ----

TweedieObjective TweedieObjective::make(float variance_power) {
  if (!(std::isfinite(variance_power) && variance_power > 1.0f && variance_power < 2.0f)) {
    throw EngineError::invalid_config("Tweedie variance_power must satisfy 1 < p < 2 (got " +
                                      support::format_f32(variance_power) +
                                      "); use PoissonObjective for p=1 and GammaObjective for p=2");
  }
  return TweedieObjective(variance_power);
}
std::vector<GradientPair> TweedieObjective::compute_gradients(std::span<const float> predictions,
                                                              std::span<const float> targets,
                                                              const Weights& weights) const {
  return checked_gradients(TweedieFamily(variance_power_), predictions, targets, weights);
}
float TweedieObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  return log_mean_target<TweedieFamily>(targets, weights);
}
void TweedieObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights, std::vector<GradientPair>& out) const {
  checked_gradients_into(TweedieFamily(variance_power_), predictions, targets, weights, out);
}
float TweedieObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights) const {
  return mean_loss(TweedieFamily(variance_power_), predictions, targets, weights);
}

}  // namespace kestrune::engine::objectives
