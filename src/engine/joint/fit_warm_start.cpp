#include "engine/joint/fit_warm_start.hpp"

#include <map>
#include <set>
#include <string>
#include <variant>

#include "engine/joint/error.hpp"
#include "engine/joint/predictor.hpp"
#include "engine/joint/tree_walk.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::joint {

JointTreeBook replay_joint_warm_start(const JointWarmStartState& warm, const core::TrainParams& params,
                                      const core::BinnedMatrix& binned, std::size_t feature_count,
                                      std::size_t n_outputs, std::vector<std::vector<float>>& predictions) {
  const auto other_output_count = [&](std::size_t count) {
    return JointError("warm-start: the init model has " + std::to_string(count) + " outputs but n_outputs is " +
                      std::to_string(n_outputs));
  };
  // Checked before anything else, trees or not: resuming a model of another output count would
  // hand its baselines and trees to the wrong outputs.
  if (warm.output_count && *warm.output_count != n_outputs) throw other_output_count(*warm.output_count);
  JointTreeBook book;
  const std::vector<TrainedStump>& stumps = warm.stumps;
  if (stumps.empty()) return book;
  // Replaying a tree of another output count would skip a single-output model's scalar leaves
  // and read a shorter K-vector past its end.
  for (const TrainedStump& stump : stumps) {
    if (!stump.multi_output) {
      throw JointError("warm-start: the init model is a single-output model (1 output, no multi-output leaf "
                       "values) but n_outputs is " + std::to_string(n_outputs));
    }
    const MultiOutputValues& values = *stump.multi_output;
    if (values.left.size() != n_outputs || values.right.size() != n_outputs) {
      throw other_output_count(values.left.size());
    }
  }
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    if (stumps[i].feature_index >= feature_count) {
      throw JointError("warm-start: prior stump " + std::to_string(i) + " references feature_index " +
                       std::to_string(stumps[i].feature_index) + " which is >= the current feature_count " +
                       std::to_string(feature_count) +
                       ". The init_model appears to have been trained on a wider feature set than the current X; "
                       "either pad X to match the prior schema or fit fresh without `warm_start=True`.");
    }
  }
  // Each tree's stumps must form one run: DART finds a tree by its range, and a scattered tree
  // would have the wrong stumps dropped and re-weighted.
  std::map<std::uint32_t, std::pair<std::size_t, std::size_t>> trees;  // tree -> (first, count)
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    const std::uint32_t tree = tree_index_of(stumps[i].node_id);
    auto [it, inserted] = trees.try_emplace(tree, i, 0);
    if (!inserted && it->second.first + it->second.second != i) {
      throw JointError("warm-start: the stumps of tree " + std::to_string(tree) +
                       " are not contiguous (prior stump " + std::to_string(i) +
                       " follows stumps of another tree); a joint model lists each tree's stumps together");
    }
    it->second.second += 1;
  }
  // The new rounds number their trees from initial_rounds_completed on: a smaller count would
  // give them the numbers of the prior's own trees, and each such pair would share its node keys.
  const std::size_t prior_rounds = std::size_t{trees.rbegin()->first} + 1;
  if (warm.initial_rounds_completed < prior_rounds) {
    throw JointError("warm-start: init_rounds_completed " + std::to_string(warm.initial_rounds_completed) +
                     " is smaller than the " + std::to_string(prior_rounds) + " rounds the init model holds");
  }
  check_unique_node_keys(stumps);

  const bool dart = std::holds_alternative<core::DartBoosting>(params.boosting_mode);
  if (dart && warm.initial_dart_tree_weights &&
      warm.initial_dart_tree_weights->size() != warm.initial_rounds_completed) {
    throw JointError("warm_start.initial_dart_tree_weights length " +
                     std::to_string(warm.initial_dart_tree_weights->size()) + " != initial_rounds_completed " +
                     std::to_string(warm.initial_rounds_completed));
  }
  for (const auto& [tree, run] : trees) {
    // Each tree comes back at the weight the returned model gives it, its stored DART weight, in
    // every boosting mode: the new trees then fit the residuals of the model that is returned.
    const float weight = dart && warm.initial_dart_tree_weights ? (*warm.initial_dart_tree_weights)[tree]
                                                                 : stumps[run.first].tree_weight;
    walk_tree_into_predictions(std::span<const TrainedStump>(stumps).subspan(run.first, run.second), binned,
                               feature_count, binned.row_count, n_outputs, predictions, 1.0f, weight);
    // The book holds the trees alone: a tree number that holds none (a resume counted past the
    // prior's rounds) is neither drawn to drop nor counted in a round's normalisation.
    if (dart) {
      book.slots.push_back(run);
      book.weights.push_back(weight);
    }
  }
  return book;
}

}  // namespace kestrune::engine::joint
