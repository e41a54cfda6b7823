// Morph mode: a per-fit state that gives every round its learning rate (constant, or a linear
// warm-up followed by a cosine decay), keeps an exponential moving average of each output's
// gradient mean and spread, and hands each searched node the record its split gain reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/artifact/morph_metadata.hpp"
#include "core/config.hpp"
#include "core/histogram.hpp"
#include "core/training_mode.hpp"

namespace kestrune::engine {

// What the morph split search of one node reads: the configuration, the round's factors, where
// the round stands, and the moving averages of the output being grown.
struct MorphContext {
  core::MorphConfig config;
  core::MorphPrecomputed precomputed;
  std::uint32_t iteration = 0;
  std::uint32_t total_iterations = 0;
  float ema_mean = 0.0f;
  float ema_std = 1.0f;
};

// The learning rate of each of `round_count` rounds. Warm-up cosine ramps linearly over
// W = max(round(warmup_frac x n), 1) rounds up to `learning_rate`, then decays along a half
// cosine towards 1% of it (never reaching it); a schedule of at most W rounds is all ramp.
std::vector<float> resolve_lr_schedule(core::LrScheduleKind kind, std::uint32_t round_count, float warmup_frac,
                                       float learning_rate);

// The small-child penalty of the morph gain: when the smaller side holds under 10% of the
// split's `total` rows, (1 - exp(-10 x share)) x 0.5 is taken off `gain`; nothing otherwise.
void add_morph_balance_penalty(float& gain, std::uint64_t smaller, std::uint64_t total);

// The damping of a split's child values: depth_penalty_base^(depth / 3) x (1 - r x morph_rate),
// `depth` counting the split node's level from 1 at the root and r = min(iteration / total, 1).
float morph_depth_scale(const core::MorphConfig& config, std::size_t depth, std::uint32_t iteration,
                        std::uint32_t total_iterations);

struct MorphState {
  std::vector<core::GradientEmaStats> ema_stats;  // one per output, at least one
  std::vector<float> learning_rates;              // one per round of the fit
  std::vector<float> gradient_buffer;             // reused by every update
  core::MorphConfig config;

  MorphState(const core::MorphConfig& config, std::size_t output_count, std::uint32_t round_count,
             float learning_rate);

  // Statistics carried over from an earlier model replace the fresh ones when there is one per
  // output; any other count is ignored.
  void resume_ema_stats(const std::vector<core::GradientEmaStats>& stats);

  // Updates output `output`'s averages from the gradients of `pairs`. An output without
  // statistics is a broken invariant (panic), never a read past the list.
  void update_ema_from_gradient_pairs(std::span<const core::GradientPair> pairs, std::size_t output);

  // The schedule's entry for `iteration`: its last entry past the end, 0.1 for an empty schedule.
  float learning_rate_at(std::uint64_t iteration) const;

  // True during the learning-rate ramp of a warm-up cosine schedule.
  bool is_in_warmup_phase(std::uint64_t iteration) const;

  // The round's learning rate relative to the schedule's largest, clamped to [0.01, 1]; 1 when
  // that maximum is not finite and positive.
  float lr_loss_threshold_scale(std::uint64_t iteration) const;

  // The search record of one node of output `output` (clamped into the outputs there are).
  MorphContext morph_context(std::uint32_t iteration, std::uint32_t total_iterations, std::size_t output) const;
};

// What a model trained in morph mode records: the statistics and configuration at the end of the
// fit, its completed rounds and the round count its schedule was built for (both wrapped to 32
// bits), so that a warm start can continue the averages and the schedule position.
core::MorphMetadata morph_metadata_of(const MorphState& state, std::size_t rounds_completed,
                                      std::uint32_t scheduled_iterations);

}  // namespace kestrune::engine
