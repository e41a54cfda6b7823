#include "engine/dart.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "engine/error.hpp"
#include "engine/sampling.hpp"
#include "engine/tree_node.hpp"
#include "support/panic.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::engine {

namespace {

struct KeyedTree {
  float key;
  std::size_t index;
};

std::vector<std::size_t> candidates_uniform(float rate, const std::vector<float>& keys) {
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] < rate) chosen.push_back(i);
  }
  return chosen;
}

std::vector<std::size_t> candidates_weighted(std::size_t n, std::span<const float> weights, float rate,
                                             const std::vector<float>& keys) {
  const std::size_t summed = std::min(weights.size(), n);
  float total = 0.0f;
  for (std::size_t j = 0; j < summed; ++j) total = total + std::fabs(weights[j]);
  // A zero sum (or no weights at all) leaves no tree with a share; NaN goes on, and every
  // share then counts as 1.
  if (weights.empty() || total <= 0.0f) return {};
  support::invariant(weights.size() >= n, "weighted dropout draw needs a weight for every existing tree");
  const float expected = rate * static_cast<float>(n);
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < n; ++i) {
    const float share = (std::fabs(weights[i]) / total) * expected;
    const float probability = std::isnan(share) ? 1.0f : std::fmin(1.0f, share);
    if (keys[i] < probability) chosen.push_back(i);
  }
  return chosen;
}

}  // namespace

float dart_draw_key(std::uint64_t seed, std::uint64_t iteration, std::uint64_t tree_index) {
  const std::uint64_t x = (tree_index * kSamplingIndexMultiplier) ^ (iteration * kSamplingGolden) ^ seed;
  // The finaliser's last step (z ^ z >> 31) leaves the top 24 bits alone, so the full mix serves.
  const std::uint64_t z = splitmix64_mix(x + kSamplingGolden);
  return static_cast<float>(static_cast<std::uint32_t>(z >> 40)) / 16777216.0f;
}

std::vector<std::size_t> select_dropouts(std::size_t n_existing, std::size_t max_drop, core::DartSampleType sample_type,
                                         std::span<const float> weights, std::uint64_t seed, std::uint64_t iteration,
                                         float rate) {
  if (n_existing == 0 || !(rate > 0.0f) || max_drop == 0) return {};
  std::vector<float> keys(n_existing);
  for (std::size_t i = 0; i < n_existing; ++i) keys[i] = dart_draw_key(seed, iteration, i);

  std::vector<std::size_t> chosen = sample_type == core::DartSampleType::Uniform
                                        ? candidates_uniform(rate, keys)
                                        : candidates_weighted(n_existing, weights, rate, keys);
  if (chosen.empty()) {
    // A round with earlier trees always drops one: the smallest key, the lowest index on ties.
    std::size_t best = 0;
    for (std::size_t i = 1; i < n_existing; ++i) {
      if (keys[i] < keys[best]) best = i;
    }
    return {best};
  }
  if (chosen.size() > max_drop) {
    std::vector<KeyedTree> keyed;
    keyed.reserve(chosen.size());
    for (std::size_t i : chosen) keyed.push_back({keys[i], i});
    support::stable_merge_sort(keyed, [](const KeyedTree& a, const KeyedTree& b) { return a.key < b.key; });
    keyed.resize(max_drop);
    chosen.clear();
    for (const KeyedTree& entry : keyed) chosen.push_back(entry.index);
    std::sort(chosen.begin(), chosen.end());
  }
  return chosen;
}

DartRoundScale dart_round_scale(std::size_t dropped_count, core::DartNormalizeType normalize_type) {
  const float k = static_cast<float>(dropped_count);
  const float inverse = 1.0f / (k + 1.0f);
  const float fraction = k / (k + 1.0f);
  return {inverse, normalize_type == core::DartNormalizeType::Forest ? inverse : fraction};
}

void apply_normalization(std::vector<float>& weights, std::span<const std::size_t> dropped,
                         core::DartNormalizeType normalize_type, std::size_t new_tree_index) {
  const DartRoundScale scale = dart_round_scale(dropped.size(), normalize_type);
  for (std::size_t d : dropped) {
    if (d < weights.size()) weights[d] = weights[d] * scale.dropped_factor;
  }
  if (new_tree_index < weights.size()) {
    weights[new_tree_index] = scale.new_tree_weight;
  } else {
    weights.push_back(scale.new_tree_weight);
  }
}

void scale_new_tree_contribution(std::span<float> working, std::span<const float> base, float new_tree_weight) {
  support::invariant(working.size() == base.size(), "scaled predictions and their base differ in length");
  for (std::size_t r = 0; r < working.size(); ++r) working[r] = base[r] + (working[r] - base[r]) * new_tree_weight;
}

std::vector<TreeRun> tree_runs_by_index(std::span<const TrainedStump> stumps, std::size_t min_positions) {
  std::vector<TreeRun> runs;
  std::size_t start = 0;
  while (start < stumps.size()) {
    const std::uint32_t tree = tree_index_of(stumps[start].node_id);
    if (tree < runs.size()) {
      // The previous run sits at runs.size() - 1 >= tree: this tree's position is taken or passed.
      throw EngineError::contract_violation("trees are out of order: tree index " + std::to_string(tree) +
                                            " follows tree index " + std::to_string(runs.size() - 1));
    }
    std::size_t end = start + 1;
    while (end < stumps.size() && tree_index_of(stumps[end].node_id) == tree) ++end;
    while (runs.size() < tree) runs.push_back({start, 0});
    runs.push_back({start, end - start});
    start = end;
  }
  while (runs.size() < min_positions) runs.push_back({stumps.size(), 0});
  return runs;
}

DartTreeList dart_tree_list_from_warm_start(std::span<const TrainedStump> warm_stumps,
                                            const std::optional<std::vector<float>>& per_stump_weights) {
  DartTreeList list;
  list.runs = tree_runs_by_index(warm_stumps);
  list.state.tree_weights.reserve(list.runs.size());
  for (const TreeRun& run : list.runs) {
    float weight = 1.0f;
    if (run.size > 0 && per_stump_weights && run.offset < per_stump_weights->size()) {
      weight = (*per_stump_weights)[run.offset];
    }
    list.state.tree_weights.push_back(weight);
  }
  list.state.dropped_sets.resize(list.runs.size());
  list.warm_start_weights = list.state.tree_weights;
  return list;
}

std::span<const TrainedStump> dart_tree_stumps(const DartTreeList& list, std::span<const TrainedStump> stumps,
                                               std::size_t position) {
  support::invariant(position < list.runs.size(), "DART tree position outside the tree list");
  const TreeRun& run = list.runs[position];
  support::invariant(run.offset <= stumps.size() && run.size <= stumps.size() - run.offset,
                     "DART tree run outside the stump list");
  return stumps.subspan(run.offset, run.size);
}

void record_dart_tree(DartTreeList& list, std::uint64_t iteration, std::span<const std::size_t> dropped,
                      std::span<const float> new_dropped_weights, float new_tree_weight, std::size_t first_stump,
                      std::size_t stump_count) {
  support::invariant(dropped.size() == new_dropped_weights.size(), "one new weight per dropped tree");
  support::invariant(iteration >= list.runs.size(), "DART tree position already taken");
  support::invariant(iteration < std::numeric_limits<std::size_t>::max(), "DART tree position out of range");
  std::vector<float>& weights = list.state.tree_weights;
  while (list.runs.size() < iteration) {
    list.runs.push_back({first_stump, 0});
    weights.push_back(1.0f);
    list.state.dropped_sets.emplace_back();
  }
  for (std::size_t j = 0; j < dropped.size(); ++j) {
    support::invariant(dropped[j] < weights.size(), "dropped DART position outside the tree list");
    weights[dropped[j]] = new_dropped_weights[j];
  }
  weights.push_back(new_tree_weight);
  list.state.dropped_sets.emplace_back(dropped.begin(), dropped.end());
  list.runs.push_back({first_stump, stump_count});
}

void renormalize_dart_after_truncation(DartTreeList& list, std::size_t kept_rounds,
                                       core::DartNormalizeType normalize_type) {
  const std::size_t warm_positions = list.warm_start_weights.size();
  support::invariant(warm_positions <= list.runs.size(), "DART tree list shorter than its warm start");
  // The entries after the warm start's are this fit's: fillers (no stumps) and one per accepted round.
  std::size_t keep = warm_positions;
  if (kept_rounds > 0) {
    keep = list.runs.size();
    std::size_t seen = 0;
    for (std::size_t p = warm_positions; p < list.runs.size(); ++p) {
      if (list.runs[p].size == 0) continue;
      if (++seen == kept_rounds) {
        keep = p + 1;
        break;
      }
    }
  }
  list.runs.resize(keep);
  list.state.dropped_sets.resize(keep);
  std::vector<float>& weights = list.state.tree_weights;
  weights = list.warm_start_weights;
  weights.resize(keep, 1.0f);
  for (std::size_t p = warm_positions; p < keep; ++p) {
    apply_normalization(weights, list.state.dropped_sets[p], normalize_type, p);
  }
}

void write_dart_weights_into_stumps(std::span<TrainedStump> stumps, std::span<const float> tree_weights) {
  for (TrainedStump& stump : stumps) {
    const std::uint32_t tree = tree_index_of(stump.node_id);
    if (tree < tree_weights.size()) stump.tree_weight = tree_weights[tree];
  }
}

}  // namespace kestrune::engine
