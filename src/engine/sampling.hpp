// Which rows each boosting round grows its tree on: a keyed, reproducible draw of k out of n
// indices, gradient-based one-side sampling (GOSS), the per-round row selection of the
// single-output and multiclass loops, and the seed of a fit.
//
// Every draw is a pure function of (seed, round, index) through the SplitMix64 finaliser: no
// generator state survives between calls, so a fit with a fixed seed is reproducible whatever
// the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/histogram.hpp"

namespace kestrune::engine {

inline constexpr std::uint64_t kSamplingGolden = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kSamplingIndexMultiplier = 0xD6E8FD5089A47A4Dull;

// The SplitMix64 finaliser (wrapping arithmetic); a bijection on 64-bit values.
constexpr std::uint64_t splitmix64_mix(std::uint64_t z) noexcept {
  z ^= z >> 30;
  z *= 0xBF58476D1CE4E5B9ull;
  z ^= z >> 27;
  z *= 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z;
}

// `seed` when deterministic; otherwise seed XOR the wall-clock nanoseconds since the epoch (0
// before it), so two non-deterministic fits draw different rows.
std::uint64_t sampling_seed_base(std::uint64_t seed, bool deterministic);

// k = clamp(ceil(rate * n), 1, n) distinct indices below n, ascending, counted in float32 (a NaN
// rate gives 1). All of 0..n-1 when k >= n, none when n is 0. The chosen indices are those with
// the smallest keyed hashes of (seed, round, index).
std::vector<std::size_t> sampled_indices(std::size_t n, std::uint64_t seed, std::uint64_t round, float rate);

struct GossSample {
  std::vector<std::uint32_t> top;     // ascending
  std::vector<std::uint32_t> others;  // ascending
  float scale = 1.0f;                 // amplification of the sampled small-gradient rows
};

// The rows with the largest |values| (ties by smaller index), plus a keyed draw of the others,
// which carry `scale` = rest / drawn.
GossSample goss_sample_indices(std::span<const float> values, std::uint64_t seed, std::uint64_t round,
                               float top_rate, float other_rate);

// The rows of one round, ascending. Plain subsampling at `row_subsample` unless the boosting mode
// is GOSS; under GOSS the drawn small-gradient rows have gradient and hessian multiplied by the
// GOSS scale in place. `gradients` must hold at least `n` pairs.
core::RowList select_row_indices_for_round(const core::BoostingMode& mode, std::size_t n, std::uint64_t seed_base,
                                           std::uint64_t round, std::span<core::GradientPair> gradients,
                                           float row_subsample);

// The same for the multiclass loop: one row list for all classes; GOSS ranks rows by the sum of
// their absolute gradients over the classes and rescales the drawn rows in every class.
core::RowList select_row_indices_for_round_multiclass(const core::BoostingMode& mode, std::size_t n,
                                                      std::uint64_t seed_base, std::uint64_t round,
                                                      std::span<std::vector<core::GradientPair>> per_class,
                                                      float row_subsample);

}  // namespace kestrune::engine
