#include "engine/morph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

constexpr float kPi = 3.1415927f;
constexpr float kEmptyScheduleRate = 0.1f;

// round(warmup_frac x n), halves away from zero; a negative or NaN product gives 0.
std::uint32_t warmup_rounds(float warmup_frac, std::uint32_t round_count) {
  return support::saturating_cast<std::uint32_t>(std::round(warmup_frac * static_cast<float>(round_count)));
}

}  // namespace

std::vector<float> resolve_lr_schedule(core::LrScheduleKind kind, std::uint32_t round_count, float warmup_frac,
                                       float learning_rate) {
  if (round_count == 0) return {};
  if (kind == core::LrScheduleKind::Constant) return std::vector<float>(round_count, learning_rate);

  const std::uint32_t warmup = std::max(warmup_rounds(warmup_frac, round_count), std::uint32_t{1});
  const std::uint32_t ramp = std::min(warmup, round_count);
  std::vector<float> schedule;
  schedule.reserve(round_count);
  for (std::uint32_t i = 0; i < ramp; ++i) {
    schedule.push_back(learning_rate * static_cast<float>(i + 1) / static_cast<float>(ramp));
  }
  if (warmup < round_count) {
    const float floor_rate = learning_rate * 0.01f;
    const std::uint32_t decay = round_count - warmup;
    for (std::uint32_t k = 0; k < decay; ++k) {
      const float angle = static_cast<float>(k) / static_cast<float>(decay) * kPi;
      schedule.push_back(floor_rate + (learning_rate - floor_rate) * ((std::cos(angle) + 1.0f) * 0.5f));
    }
  }
  return schedule;
}

void add_morph_balance_penalty(float& gain, std::uint64_t smaller, std::uint64_t total) {
  if (total == 0) return;
  const float share = static_cast<float>(smaller) / static_cast<float>(total);
  if (share < 0.1f) gain += (1.0f - std::exp(-10.0f * share)) * -0.5f;
}

float morph_depth_scale(const core::MorphConfig& config, std::size_t depth, std::uint32_t iteration,
                        std::uint32_t total_iterations) {
  const float progress = std::fmin(
      static_cast<float>(iteration) / static_cast<float>(std::max(total_iterations, std::uint32_t{1})), 1.0f);
  return std::pow(config.depth_penalty_base, static_cast<float>(depth) / 3.0f) *
         (1.0f - progress * config.morph_rate);
}

MorphState::MorphState(const core::MorphConfig& morph_config, std::size_t output_count, std::uint32_t round_count,
                       float learning_rate)
    : ema_stats(std::max(output_count, std::size_t{1})),
      learning_rates(resolve_lr_schedule(morph_config.lr_schedule.kind, round_count,
                                         morph_config.lr_schedule.warmup_frac, learning_rate)),
      config(morph_config) {}

void MorphState::resume_ema_stats(const std::vector<core::GradientEmaStats>& stats) {
  if (stats.size() == ema_stats.size()) ema_stats = stats;
}

void MorphState::update_ema_from_gradient_pairs(std::span<const core::GradientPair> pairs, std::size_t output) {
  support::invariant(output < ema_stats.size(), "morph output index beyond the gradient statistics");
  gradient_buffer.clear();
  for (const core::GradientPair& pair : pairs) gradient_buffer.push_back(pair.grad);
  ema_stats[output].update(gradient_buffer);
}

float MorphState::learning_rate_at(std::uint64_t iteration) const {
  if (learning_rates.empty()) return kEmptyScheduleRate;
  if (iteration < learning_rates.size()) return learning_rates[static_cast<std::size_t>(iteration)];
  return learning_rates.back();
}

bool MorphState::is_in_warmup_phase(std::uint64_t iteration) const {
  if (config.lr_schedule.kind != core::LrScheduleKind::WarmupCosine) return false;
  const std::size_t n = learning_rates.size();
  if (n == 0) return false;
  const std::uint32_t warmup =
      std::max(warmup_rounds(config.lr_schedule.warmup_frac, static_cast<std::uint32_t>(n)), std::uint32_t{1});
  return iteration < std::min<std::uint64_t>(n, warmup);
}

float MorphState::lr_loss_threshold_scale(std::uint64_t iteration) const {
  float largest = -std::numeric_limits<float>::infinity();
  for (const float rate : learning_rates) largest = std::fmax(largest, rate);
  if (!(std::isfinite(largest) && largest > 0.0f)) return 1.0f;
  const float ratio = learning_rate_at(iteration) / largest;
  if (std::isnan(ratio)) return 1.0f;
  return std::clamp(ratio, 0.01f, 1.0f);
}

core::MorphMetadata morph_metadata_of(const MorphState& state, std::size_t rounds_completed,
                                      std::uint32_t scheduled_iterations) {
  return core::MorphMetadata{state.ema_stats, state.config, support::wrapping_cast<std::uint32_t>(rounds_completed),
                             scheduled_iterations};
}

MorphContext MorphState::morph_context(std::uint32_t iteration, std::uint32_t total_iterations,
                                       std::size_t output) const {
  const core::GradientEmaStats& stats = ema_stats[std::min(output, ema_stats.size() - 1)];
  return MorphContext{config, core::MorphPrecomputed::for_iteration(iteration, config), iteration, total_iterations,
                      stats.mean, stats.std};
}

}  // namespace kestrune::engine
