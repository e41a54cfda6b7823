// The fast threshold scan of several histograms at once, one histogram per SIMD lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/histogram.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::backend_cpu {

// The most histograms one lane scan takes.
inline constexpr std::size_t kSplitLaneWidth = 4;

// results[i] = best_numeric_split_fast(*histograms[i], node_id, options), bit for bit, for up to
// kSplitLaneWidth histograms of one bin count. Each histogram's totals and prefix sums are the
// scalar scan's float32 additions in the same order, side by side with the other histograms', so
// their dependency chains overlap instead of running one after another.
void best_numeric_splits_fast(std::span<const core::FeatureHistogram* const> histograms, std::uint32_t node_id,
                              const engine::SplitSelectionOptions& options,
                              std::span<std::optional<engine::SplitCandidate>> results);

}  // namespace kestrune::backend_cpu
