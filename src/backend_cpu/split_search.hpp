// Numeric split search: the best bin threshold of each feature histogram of a node, scored with
// the regularised gain of the leaf formulas, and the best feature by weighted gain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::backend_cpu {

// Bundles searched in at least this many tasks (a lane group or a lone histogram each) are
// searched on the worker pool...
inline constexpr std::size_t kParallelSplitTasks = 2;
// ...and only when they hold at least this many bins in all. Histograms scanned four to a lane
// group cost about 1.5 ns a bin with an empty missing bin, 2 ns without, less where bins are empty
// in all four (alone, about 3-4 ns). On an idle pool 16 histograms of 256 bins take 5.9 us on one
// thread and 2.3-4 us on 2 to 4; 8 of them take 2.9 us on one thread and 2.0 us on 2, too little
// to wake workers for.
inline constexpr std::size_t kParallelSplitBins = 4096;
// A parallel search uses one thread per this many bins (at most the pool), about 3 us of work
// each: a bundle of 28 x 256 bins uses 3 threads, 64 x 256 all 8. Leaf-wise trees often grow
// along a chain of nodes, each split as soon as its parent is committed, so a node's search
// latency is on the tree's critical path even while other workers are busy; but the workers a
// search takes are not building other nodes' histograms. 300,000 x 28 binary, 127 leaves,
// 8 threads, 100 rounds, 20 alternating runs each: median 1.05 s with 1,536 or 2,048 bins per
// thread, 1.10 s with 1,024 (7 threads, 5.0 us a search alone) and 1.085 s with 3,072; with
// 1,000,000 rows and 255 leaves, 1,024 and 2,048 were even.
inline constexpr std::size_t kSplitBinsPerThread = 2048;

// The best split of the bundle, absent when no histogram yields one. Among the candidates of
// greatest weighted gain (gain x feature_weights[feature], or the plain gain for a feature past
// the list) the earliest histogram of the bundle wins; the candidate keeps its unweighted gain.
// A histogram whose feature is in categorical_features is searched by category sets (the first
// matching entry gives the category count), every other one by bin thresholds. With a factor
// context (validated first: its EngineError::ContractViolation is thrown before any search) every
// candidate's gain is reduced by its factor split penalty, and numeric features take the general
// scan.
std::optional<engine::SplitCandidate> best_split_with_factor_context(
    const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
    std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
    const engine::FactorSplitContext* factor_context);

// The morph-mode search: the same selection, with every candidate scored by the morph gain and
// every numeric feature by the general threshold scan; a factor context is validated and applied
// as in the plain search.
std::optional<engine::SplitCandidate> best_split_morph_with_factor_context(
    const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
    std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
    const engine::MorphContext& morph_context, const engine::FactorSplitContext* factor_context);

// The selection over features behind both searches, once a factor context has been validated:
// every histogram searched (with the morph gain when a morph context is given), the best by
// weighted gain kept with the tie rule above.
std::optional<engine::SplitCandidate> best_split_with_options_internal(
    const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
    std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
    const engine::MorphContext* morph_context, const engine::FactorSplitContext* factor_context);

// x.gain x feature_weights[x.feature_index] when the index is inside the list, else x.gain.
float weighted_gain(const engine::SplitCandidate& candidate, std::span<const float> feature_weights);

// The threshold scan without gradient noise, factor penalty or morph gain. Candidate order: every
// missing-left threshold ascending, then every missing-right threshold ascending; a later
// candidate wins only with a strictly greater gain, and only positive gains are returned. One pass
// over the bins, four thresholds at a time, without allocating; when the missing bin is empty
// (count 0, sums exactly 0) the missing-right candidates, which tie their missing-left twins and
// so cannot win, are not scored.
std::optional<engine::SplitCandidate> best_numeric_split_fast(const core::FeatureHistogram& histogram,
                                                              std::uint32_t node_id,
                                                              const engine::SplitSelectionOptions& options);

// The general threshold scan (gradient noise widens the soft threshold). Candidate order: for
// each threshold ascending, missing left then missing right; candidates whose gain is not finite
// are dropped. A morph context scores candidates with the morph gain. With a factor context
// (already validated) each gain is then reduced by the threshold's factor split penalty before
// the test.
std::optional<engine::SplitCandidate> best_split_for_feature_inner(const core::FeatureHistogram& histogram,
                                                                   std::uint32_t node_id,
                                                                   const engine::SplitSelectionOptions& options,
                                                                   const engine::MorphContext* morph_context,
                                                                   const engine::FactorSplitContext* factor_context);

}  // namespace kestrune::backend_cpu
