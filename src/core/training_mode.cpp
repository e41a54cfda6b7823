#include "core/training_mode.hpp"

#include <cmath>

namespace kestrune::core {

void GradientEmaStats::update(std::span<const float> values) {
  if (values.empty()) return;
  float sum = 0.0f;
  float sum_sq = 0.0f;
  for (const float v : values) {
    sum += v;
    sum_sq += v * v;
  }
  const float count = static_cast<float>(values.size());
  const float batch_mean = sum / count;
  const float spread = sum_sq / count - batch_mean * batch_mean;
  const float variance = spread > 0.0f ? spread : 0.0f;  // a NaN difference counts as 0
  if (!std::isfinite(batch_mean) || !std::isfinite(variance)) return;
  mean = batch_mean * rate + mean * (1.0f - rate);
  std = std::sqrt(variance) * rate + std * (1.0f - rate);
}

MorphPrecomputed MorphPrecomputed::for_iteration(std::uint32_t iteration, const MorphConfig& config) {
  if (iteration < config.morph_warmup_iters) {
    return {0.0f, 1.0f, 0.0f, true, config.balance_penalty, true};
  }
  const float progress = std::tanh(static_cast<float>(iteration) / 20.0f);
  const float weight = config.info_score_weight;
  const float morph_weight = progress * weight;
  return {progress, 1.0f - weight, morph_weight, false, config.balance_penalty, std::fabs(morph_weight) < 1e-6f};
}

}  // namespace kestrune::core
