#include "engine/trainer/multiclass_dart.hpp"

#include <string>

#include "engine/error.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

MultiClassDart make_multiclass_dart(const core::DartBoosting& settings, std::size_t num_classes,
                                    std::span<const std::vector<TrainedStump>> class_stumps, std::size_t warm_rounds,
                                    const std::optional<std::vector<float>>& initial_weights) {
  support::invariant(class_stumps.size() == num_classes && num_classes > 0, "one stump list per class");
  const std::optional<std::size_t> expected = support::checked_mul(warm_rounds, num_classes);
  support::invariant(expected.has_value(), "warm-start tree positions overflow");
  MultiClassDart dart;
  dart.settings = settings;
  dart.num_classes = num_classes;
  dart.warm_rounds = warm_rounds;
  if (initial_weights) {
    if (initial_weights->size() != *expected) {
      throw EngineError::contract_violation(
          "warm-start initial_dart_tree_weights length " + std::to_string(initial_weights->size()) +
          " != initial_rounds_completed * K = " + std::to_string(warm_rounds) + " * " + std::to_string(num_classes) +
          " = " + std::to_string(*expected));
    }
    dart.state.tree_weights = *initial_weights;
  } else {
    dart.state.tree_weights.assign(*expected, 1.0f);
  }
  dart.state.dropped_sets.resize(warm_rounds);
  dart.class_runs.reserve(num_classes);
  for (const std::vector<TrainedStump>& stumps : class_stumps) {
    dart.class_runs.push_back(tree_runs_by_index(stumps, warm_rounds));
    support::invariant(dart.class_runs.back().size() == warm_rounds, "a warm-start tree lies past its rounds");
  }
  dart.warm_weights = dart.state.tree_weights;
  return dart;
}

std::vector<std::size_t> select_multiclass_dropouts(const MultiClassDart& dart, std::uint64_t seed_base,
                                                    std::uint64_t iteration) {
  const std::vector<float>& weights = dart.state.tree_weights;
  return select_dropouts(weights.size(), dart.settings.dart_max_drop, dart.settings.sample_type, weights, seed_base,
                         iteration, dart.settings.dart_drop_rate);
}

std::span<const TrainedStump> multiclass_dart_tree(const MultiClassDart& dart,
                                                   std::span<const std::vector<TrainedStump>> class_stumps,
                                                   std::size_t position) {
  const std::size_t klass = position % dart.num_classes;
  const std::size_t round = position / dart.num_classes;
  support::invariant(klass < class_stumps.size() && klass < dart.class_runs.size(), "DART class outside the model");
  const std::vector<TreeRun>& runs = dart.class_runs[klass];
  if (round >= runs.size()) return {};
  const TreeRun& run = runs[round];
  const std::vector<TrainedStump>& stumps = class_stumps[klass];
  support::invariant(run.offset <= stumps.size() && run.size <= stumps.size() - run.offset,
                     "DART tree run outside its class list");
  return std::span<const TrainedStump>(stumps).subspan(run.offset, run.size);
}

void add_dart_trees(const MultiClassDart& dart, std::span<const std::vector<TrainedStump>> class_stumps,
                    std::span<const std::size_t> dropped, std::span<const float> weights,
                    std::vector<std::vector<float>>& margins, const core::BinnedMatrix& binned,
                    std::optional<RawFeatureRows> raw) {
  support::invariant(dropped.size() == weights.size(), "one weight per dropped tree");
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    const std::size_t klass = dropped[i] % dart.num_classes;
    support::invariant(klass < margins.size(), "DART class outside the margins");
    apply_weighted_round_to_predictions(margins[klass], binned, multiclass_dart_tree(dart, class_stumps, dropped[i]),
                                        raw, weights[i]);
  }
}

void remove_dart_trees(const MultiClassDart& dart, std::span<const std::vector<TrainedStump>> class_stumps,
                       std::span<const std::size_t> dropped, std::span<const float> weights,
                       std::vector<std::vector<float>>& margins, const core::BinnedMatrix& binned,
                       std::optional<RawFeatureRows> raw) {
  std::vector<float> negated(weights.size());
  for (std::size_t i = 0; i < negated.size(); ++i) negated[i] = -weights[i];
  add_dart_trees(dart, class_stumps, dropped, negated, margins, binned, raw);
}

std::vector<float> dart_weights_of(const MultiClassDart& dart, std::span<const std::size_t> dropped) {
  std::vector<float> weights;
  weights.reserve(dropped.size());
  for (const std::size_t position : dropped) {
    support::invariant(position < dart.state.tree_weights.size(), "dropped DART position outside the weights");
    weights.push_back(dart.state.tree_weights[position]);
  }
  return weights;
}

void record_multiclass_dart_round(MultiClassDart& dart, std::span<const std::size_t> dropped,
                                  std::span<const float> new_dropped_weights, float new_tree_weight,
                                  std::span<const std::size_t> counts_before, std::span<const std::size_t> added) {
  support::invariant(dropped.size() == new_dropped_weights.size(), "one new weight per dropped tree");
  support::invariant(counts_before.size() == dart.num_classes && added.size() == dart.num_classes,
                     "one stump count per class");
  std::vector<float>& weights = dart.state.tree_weights;
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    support::invariant(dropped[i] < weights.size(), "dropped DART position outside the weights");
    weights[dropped[i]] = new_dropped_weights[i];
  }
  dart.state.dropped_sets.emplace_back(dropped.begin(), dropped.end());
  for (std::size_t c = 0; c < dart.num_classes; ++c) {
    dart.class_runs[c].push_back({counts_before[c], added[c]});
    weights.push_back(new_tree_weight);
  }
}

void truncate_multiclass_dart(MultiClassDart& dart, std::size_t kept_rounds) {
  const std::size_t rounds = dart.warm_rounds + kept_rounds;
  support::invariant(rounds <= dart.state.dropped_sets.size(), "more kept DART rounds than recorded");
  dart.state.dropped_sets.resize(rounds);
  for (std::vector<TreeRun>& runs : dart.class_runs) runs.resize(rounds);
  std::vector<float>& weights = dart.state.tree_weights;
  weights = dart.warm_weights;
  for (std::size_t q = dart.warm_rounds; q < rounds; ++q) {
    const std::vector<std::size_t>& dropped = dart.state.dropped_sets[q];
    const DartRoundScale scale = dart_round_scale(dropped.size(), dart.settings.normalize_type);
    for (const std::size_t position : dropped) {
      support::invariant(position < weights.size(), "replayed DART drop outside the weights");
      weights[position] = weights[position] * scale.dropped_factor;
    }
    weights.insert(weights.end(), dart.num_classes, scale.new_tree_weight);
  }
}

void add_dart_round_to_validation(const MultiClassDart& dart, MultiClassValidation& validation,
                                  std::span<const std::vector<TrainedStump>> class_stumps,
                                  std::span<const std::size_t> counts_before, std::span<const std::size_t> dropped,
                                  std::span<const float> old_weights, std::span<const float> new_weights,
                                  float new_tree_weight) {
  support::invariant(
      counts_before.size() == class_stumps.size() && validation.predictions.size() == class_stumps.size(),
      "one validation margin vector and count per class");
  remove_dart_trees(dart, class_stumps, dropped, old_weights, validation.predictions, *validation.binned,
                    validation.raw);
  for (std::size_t k = 0; k < class_stumps.size(); ++k) {
    apply_weighted_round_to_predictions(validation.predictions[k], *validation.binned,
                                        round_trees_of_class(class_stumps[k], counts_before[k]), validation.raw,
                                        new_tree_weight);
  }
  add_dart_trees(dart, class_stumps, dropped, new_weights, validation.predictions, *validation.binned, validation.raw);
}

void write_multiclass_dart_weights(const MultiClassDart& dart, std::vector<std::vector<TrainedStump>>& class_stumps) {
  support::invariant(class_stumps.size() == dart.num_classes, "one stump list per class");
  for (std::size_t c = 0; c < dart.num_classes; ++c) {
    const std::vector<TreeRun>& runs = dart.class_runs[c];
    for (std::size_t q = 0; q < runs.size(); ++q) {
      const std::size_t position = q * dart.num_classes + c;
      support::invariant(position < dart.state.tree_weights.size(), "DART tree position outside the weights");
      support::invariant(runs[q].offset <= class_stumps[c].size() &&
                             runs[q].size <= class_stumps[c].size() - runs[q].offset,
                         "DART tree run outside its class list");
      for (std::size_t i = 0; i < runs[q].size; ++i) {
        class_stumps[c][runs[q].offset + i].tree_weight = dart.state.tree_weights[position];
      }
    }
  }
}

}  // namespace kestrune::engine::trainer
