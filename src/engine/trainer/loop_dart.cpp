#include "engine/trainer/loop_dart.hpp"

#include <utility>
#include <variant>

#include "support/panic.hpp"

namespace kestrune::engine::trainer {
namespace {

float weight_at(const DartTreeList& list, std::size_t position) {
  support::invariant(position < list.weights().size(), "dropped DART position outside the tree list");
  return list.weights()[position];
}

void add_tree(const DartTarget& target, std::span<const TrainedStump> tree, float weight) {
  apply_weighted_round_to_predictions(*target.predictions, *target.binned, tree, target.raw, weight);
}

}  // namespace

std::optional<core::DartBoosting> dart_settings(const core::BoostingMode& mode) {
  if (const core::DartBoosting* dart = std::get_if<core::DartBoosting>(&mode)) return *dart;
  return std::nullopt;
}

DartRound begin_dart_round(const DartTreeList& list, std::span<const TrainedStump> stumps,
                           const core::DartBoosting& settings, std::uint64_t seed, std::uint64_t iteration,
                           DartTarget training, std::optional<DartTarget> validation) {
  DartRound round;
  round.dropped = select_dropouts(list.size(), settings.dart_max_drop, settings.sample_type, list.weights(), seed,
                                  iteration, settings.dart_drop_rate);
  if (round.dropped.empty()) return round;
  round.saved_training = *training.predictions;
  if (validation) round.saved_validation = *validation->predictions;
  for (const std::size_t position : round.dropped) {
    const std::span<const TrainedStump> tree = dart_tree_stumps(list, stumps, position);
    const float weight = weight_at(list, position);
    add_tree(training, tree, -weight);
    if (validation) add_tree(*validation, tree, -weight);
  }
  return round;
}

void restore_dart_round(DartRound& round, std::vector<float>& training, std::vector<float>* validation) {
  if (round.dropped.empty()) return;
  support::invariant(round.saved_training.size() == training.size(), "saved DART predictions differ in length");
  training.swap(round.saved_training);
  if (validation != nullptr) {
    support::invariant(round.saved_validation.has_value(), "DART round saved no validation predictions");
    validation->swap(*round.saved_validation);
  }
}

void rescale_dart_round(DartRound& round, const DartTreeList& list, std::span<const TrainedStump> stumps,
                        core::DartNormalizeType normalize_type, std::span<float> working,
                        std::span<const float> reduced, const core::BinnedMatrix& binned,
                        std::optional<RawFeatureRows> raw) {
  round.scale = dart_round_scale(round.dropped.size(), normalize_type);
  scale_new_tree_contribution(working, reduced, round.scale.new_tree_weight);
  round.new_dropped_weights.clear();
  for (const std::size_t position : round.dropped) {
    const float weight = round.scale.dropped_factor * weight_at(list, position);
    round.new_dropped_weights.push_back(weight);
    apply_weighted_round_to_predictions(working, binned, dart_tree_stumps(list, stumps, position), raw, weight);
  }
}

void add_accepted_dart_round(const DartRound& round, const DartTreeList& list,
                                  std::span<const TrainedStump> stumps, std::span<const TrainedStump> new_tree,
                                  DartTarget validation) {
  support::invariant(round.new_dropped_weights.size() == round.dropped.size(), "DART round was not rescaled");
  add_tree(validation, new_tree, round.scale.new_tree_weight);
  for (std::size_t j = 0; j < round.dropped.size(); ++j) {
    add_tree(validation, dart_tree_stumps(list, stumps, round.dropped[j]), round.new_dropped_weights[j]);
  }
}

}  // namespace kestrune::engine::trainer
