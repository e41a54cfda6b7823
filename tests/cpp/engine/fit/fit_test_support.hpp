// Shared pieces of the fit tests: small synthetic datasets with their bins, targets for every
// objective family, a fresh prediction of a trained model, hooks that record or script the
// rounds, a user-code objective and a C++ metric callback.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "engine/round.hpp"
#include "engine/trainer/fit.hpp"
#include "engine/trainer/loop_hooks.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::trainer::fit_testing {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kGroupSize = 8;

// Features and their bins: raw values uniform in [0, 1), bin = floor(16 x value); about one cell
// in twenty is missing (NaN raw, bin 255).
struct Data {
  core::TrainingDataset dataset;
  core::BinnedMatrix binned;
};

enum class Target { Regression, Binary, Count, Positive, Tweedie, Relevance };

inline float signal_of(const std::vector<float>& values, std::size_t row, std::size_t features) {
  auto at = [&](std::size_t f) {
    const float v = values[row * features + f];
    return std::isnan(v) ? 0.5f : v;
  };
  return 2.0f * at(0) - 1.5f * at(1) + (features > 2 ? at(2) * at(features - 1) : 0.0f);
}

inline Data make_data(std::uint64_t seed, std::size_t rows, std::size_t features, Target target) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<float> values(rows * features);
  std::vector<std::uint8_t> bins(rows * features);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (unit(rng) < 0.05f) {
      values[i] = kNaN;
      bins[i] = 255;
    } else {
      values[i] = unit(rng);
      bins[i] = static_cast<std::uint8_t>(std::min(15.0f, std::floor(values[i] * 16.0f)));
    }
  }
  std::vector<float> targets(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const float s = signal_of(values, r, features);
    switch (target) {
      case Target::Regression: targets[r] = s + noise(rng); break;
      case Target::Binary: targets[r] = s + noise(rng) > 0.3f ? 1.0f : 0.0f; break;
      case Target::Count: targets[r] = std::floor(std::exp(s) * (0.5f + unit(rng))); break;
      case Target::Positive: targets[r] = std::exp(s) * (0.5f + unit(rng)); break;
      case Target::Tweedie: targets[r] = unit(rng) < 0.3f ? 0.0f : std::exp(s) * (0.5f + unit(rng)); break;
      case Target::Relevance:
        targets[r] = std::clamp(std::floor((s + 1.5f + noise(rng)) * 1.2f), 0.0f, 4.0f);
        break;
    }
  }
  Data data;
  data.dataset.matrix = core::DatasetMatrix::make(rows, features, std::move(values));
  data.dataset.targets = std::move(targets);
  if (target == Target::Relevance) {
    data.dataset.group_id.emplace(rows);
    for (std::size_t r = 0; r < rows; ++r) (*data.dataset.group_id)[r] = static_cast<std::uint32_t>(r / kGroupSize);
  }
  data.binned = core::BinnedMatrix::make(rows, features, 255, std::move(bins));
  return data;
}

// Bit patterns of float lists, so that lists holding NaN compare equal when they hold the same NaN.
inline std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> bits(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) bits[i] = std::bit_cast<std::uint32_t>(values[i]);
  return bits;
}

inline core::TrainParams small_params() {
  core::TrainParams params;
  params.learning_rate = 0.3f;
  params.max_depth = 3;
  return params;
}

inline Trainer make_trainer(core::TrainParams params) { return Trainer::make(std::move(params)); }

inline objectives::Weights weights_of(const core::TrainingDataset& dataset) {
  if (!dataset.sample_weights) return std::nullopt;
  return std::span<const float>(*dataset.sample_weights);
}

// What a fit is given besides the training set; absent parts are absent from the request.
struct FitOptions {
  const Data* validation = nullptr;
  std::optional<WarmStartState> warm_start = std::nullopt;
  const PerRoundMetricCallback* metric = nullptr;
};

// One fit through the loop's entry that every public fit operation calls, with the trainer's
// categorical features as those operations pass them.
template <typename O, typename Hooks = GrowerHooks>
IterationRunSummary run_fit(const Trainer& trainer, const Data& train, const O& objective,
                            const IterationControls& controls, FitOptions options = {}, const Hooks& hooks = Hooks{}) {
  std::optional<ValidationSet> set;
  if (options.validation) set = ValidationSet{&options.validation->dataset, &options.validation->binned};
  return fit_iterations_with_optional_validation_summary(
      trainer, train.dataset, train.binned, backend_cpu::CpuBackend{}, objective,
      IterationExecutionContext{controls, trainer.categorical_features(), std::move(options.warm_start), set,
                                options.metric},
      hooks);
}

// The earlier model as a continued fit receives it.
inline WarmStartState warm_start_from(const TrainedModel& model) {
  WarmStartState warm;
  warm.stumps = model.stumps;
  warm.completed_rounds = model.rounds_completed();
  warm.base_score = model.base_prediction;
  return warm;
}

// A prediction of the model made from scratch: the base score plus every tree, walked over the
// bins in stump order.
inline std::vector<float> fresh_predictions(const TrainedModel& model, const Data& data,
                                            std::optional<std::size_t> tree_limit = std::nullopt) {
  std::vector<float> predictions(data.binned.row_count, model.base_prediction);
  std::vector<TrainedStump> stumps;
  for (const TrainedStump& stump : model.stumps) {
    if (!tree_limit || tree_index_of(stump.node_id) < *tree_limit) stumps.push_back(stump);
  }
  apply_tree_to_binned_predictions(predictions, data.binned, stumps,
                                   RawFeatureRows{data.dataset.matrix.values, data.dataset.matrix.feature_count});
  return predictions;
}

// The real growers, recording what each round handed them: the training predictions the round
// started from and the rows it sampled. With before_updates, the predictions are the round's once
// it has agreed (the trainer may still be judging the round before).
struct RecordingHooks : GrowerHooks {
  mutable std::vector<std::vector<float>> round_start_predictions;
  mutable std::vector<std::vector<std::uint32_t>> round_rows;
  mutable std::vector<std::vector<core::GradientPair>> round_gradients;

  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    if (request.before_updates) {
      request.before_updates = [this, agree = std::move(request.before_updates), start = request.predictions] {
        const bool agreed = agree();
        if (agreed) round_start_predictions.emplace_back(start.begin(), start.end());
        return agreed;
      };
    } else {
      round_start_predictions.emplace_back(request.predictions.begin(), request.predictions.end());
    }
    round_rows.emplace_back(request.root_rows.begin(), request.root_rows.end());
    round_gradients.emplace_back(request.gradients.begin(), request.gradients.end());
    return GrowerHooks::build_tree(backend, std::move(request));
  }
};

// The real growers with every pass in warm-up: a pass whose tree raises the training loss is
// skipped instead of ending the fit.
struct AllWarmUp : GrowerHooks {
  bool in_warmup(std::uint64_t) const { return true; }
};

// A one-stump tree at tree `tree_index` on feature 0: bins <= 7 take `left`, the others `right`.
inline std::vector<TrainedStump> stump_tree(std::size_t tree_index, float left, float right) {
  TrainedStump stump;
  stump.node_id = encode_tree_node_id(tree_index, 0);
  stump.feature_index = 0;
  stump.split_bin = 7;
  stump.left = left;
  stump.right = right;
  return {stump};
}

// What a grower does with the tree it returns: the request's rows receive it in the predictions.
inline void apply_to_request_rows(tree_build::TreeGrowthRequest& request, std::span<const TrainedStump> stumps) {
  std::vector<float> walked(request.predictions.begin(), request.predictions.end());
  apply_round_stumps_tree_walk(walked, request.binned, stumps, std::nullopt);
  for (const std::uint32_t row : request.root_rows) request.predictions[row] = walked[row];
}

// Trees and warm-up rounds chosen by the test. `script` gets the 0-based pass of this fit and
// returns nothing to let the real grower grow the round's tree.
struct ScriptedHooks {
  static constexpr bool honours_before_updates = true;
  std::function<std::optional<std::vector<TrainedStump>>(std::size_t pass, std::size_t tree_index)> script;
  std::function<bool(std::uint64_t iteration)> warmup = [](std::uint64_t) { return false; };
  std::size_t warm_rounds = 0;

  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    const std::size_t tree_index = request.tree_index;
    std::optional<std::vector<TrainedStump>> scripted = script(tree_index - warm_rounds, tree_index);
    if (!scripted) return GrowerHooks{}.build_tree(backend, std::move(request));
    // As the growers do: a tree that splits reaches the predictions only if before_updates agrees.
    if (!scripted->empty() && (!request.before_updates || request.before_updates())) {
      apply_to_request_rows(request, *scripted);
    }
    const IterationStopReason reason =
        scripted->empty() ? IterationStopReason::GainBelowThreshold : IterationStopReason::CompletedRequestedRounds;
    return {std::move(*scripted), reason};
  }
  bool in_warmup(std::uint64_t iteration) const { return warmup(iteration); }
  float loss_threshold_scale(std::uint64_t) const { return 1.0f; }
};

// Squared-error pairs, unchecked, as user code would compute them.
inline std::vector<core::GradientPair> user_squared_pairs(std::span<const float> predictions,
                                                          std::span<const float> targets) {
  std::vector<core::GradientPair> pairs(predictions.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {predictions[i] - targets[i], 1.0f};
  return pairs;
}

// Squared error computed as user code would: unchecked pairs, an optional poisoned round, and a
// float64 mean squared loss. Its starting score must come from the fit, never from here.
struct UserCodeObjective {
  // The call (0 = the dry run before the first round) whose pairs carry `poison`.
  std::optional<std::size_t> poisoned_call;
  core::GradientPair poison{1.0f, 0.0f};
  mutable std::size_t calls = 0;

  std::vector<core::GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                                    const objectives::Weights&) const {
    std::vector<core::GradientPair> pairs = user_squared_pairs(predictions, targets);
    if (poisoned_call && *poisoned_call == calls && !pairs.empty()) pairs[pairs.size() / 2] = poison;
    ++calls;
    return pairs;
  }
  float initial_prediction(std::span<const float>, const objectives::Weights&) const {
    ADD_FAILURE() << "the fit asked a user-code objective for its starting score";
    return 0.0f;
  }
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const objectives::Weights& weights, std::vector<core::GradientPair>& out) const {
    out = compute_gradients(predictions, targets, weights);
  }
  float loss(std::span<const float> predictions, std::span<const float> targets, const objectives::Weights&) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < predictions.size(); ++i) {
      const double d = static_cast<double>(predictions[i]) - static_cast<double>(targets[i]);
      sum += d * d;
    }
    return predictions.empty() ? 0.0f : static_cast<float>(sum / static_cast<double>(predictions.size()));
  }
};

// Squared-error gradients with losses read from scripts: `training_losses` for predictions as long
// as the training set ([initial, first scored pass, ...]), `validation_losses` for any other length.
// A script that runs out repeats its last value. Judged by the training-loss rules like any
// user-code objective.
struct ScriptedLossObjective {
  std::size_t training_rows = 0;
  std::vector<float> training_losses;
  std::vector<float> validation_losses;
  mutable std::size_t training_calls = 0;
  mutable std::size_t validation_calls = 0;

  std::vector<core::GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                                    const objectives::Weights&) const {
    return user_squared_pairs(predictions, targets);
  }
  float initial_prediction(std::span<const float>, const objectives::Weights&) const { return 0.0f; }
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const objectives::Weights&, std::vector<core::GradientPair>& out) const {
    out = user_squared_pairs(predictions, targets);
  }
  float loss(std::span<const float> predictions, std::span<const float>, const objectives::Weights&) const {
    const bool training = predictions.size() == training_rows;
    const std::vector<float>& script = training ? training_losses : validation_losses;
    std::size_t& calls = training ? training_calls : validation_calls;
    return script.at(std::min(calls++, script.size() - 1));
  }
};

// A metric over the validation predictions: the RMSE, or a scripted value per evaluation.
class TestMetric : public PerRoundMetricCallback {
 public:
  explicit TestMetric(bool higher_is_better, std::vector<float> scripted = {})
      : higher_is_better_(higher_is_better), scripted_(std::move(scripted)) {}

  float evaluate(std::span<const float> predictions, std::span<const float> targets,
                 std::optional<std::span<const float>> weights) const override {
    ++evaluations;
    saw_weights = weights.has_value();
    if (!scripted_.empty()) return scripted_.at(evaluations - 1);
    double sum = 0.0;
    for (std::size_t i = 0; i < predictions.size(); ++i) {
      const double d = static_cast<double>(predictions[i]) - static_cast<double>(targets[i]);
      sum += d * d;
    }
    return static_cast<float>(std::sqrt(sum / static_cast<double>(predictions.size())));
  }
  bool higher_is_better() const override {
    ++direction_calls;
    return higher_is_better_;
  }
  std::string_view metric_name() const override {
    ++name_calls;
    return "test_rmse";
  }

  mutable std::size_t evaluations = 0;
  mutable std::size_t direction_calls = 0;
  mutable std::size_t name_calls = 0;
  mutable bool saw_weights = false;

 private:
  bool higher_is_better_;
  std::vector<float> scripted_;
};

// A metric that keeps the validation predictions of the last round it scored: the loop's own
// tracked predictions, to be set against a fresh prediction of the returned model.
class CapturingMetric : public PerRoundMetricCallback {
 public:
  float evaluate(std::span<const float> predictions, std::span<const float>,
                 std::optional<std::span<const float>>) const override {
    last_predictions.assign(predictions.begin(), predictions.end());
    return static_cast<float>(++evaluations);  // rises forever: never the reason a fit stops
  }
  bool higher_is_better() const override { return true; }
  std::string_view metric_name() const override { return "capture"; }

  mutable std::vector<float> last_predictions;
  mutable std::size_t evaluations = 0;
};

// The weight of each tree index, as its stumps carry it; the stumps of one tree must agree.
inline std::map<std::uint32_t, float> tree_weights_of(const TrainedModel& model) {
  std::map<std::uint32_t, float> weights;
  for (const TrainedStump& stump : model.stumps) {
    const auto [at, inserted] = weights.emplace(tree_index_of(stump.node_id), stump.tree_weight);
    EXPECT_TRUE(inserted || at->second == stump.tree_weight) << "tree " << at->first;
  }
  return weights;
}

// Element-wise agreement within a relative tolerance (absolute near zero).
inline void expect_close(std::span<const float> actual, std::span<const float> expected, float tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_NEAR(actual[i], expected[i], tolerance * std::max(1.0f, std::fabs(expected[i]))) << "row " << i;
  }
}

}  // namespace kestrune::engine::trainer::fit_testing

namespace kestrune::engine::trainer {
template <>
struct FitObjectiveTraits<fit_testing::UserCodeObjective> : CustomObjectiveFitTraits {};
template <>
struct FitObjectiveTraits<fit_testing::ScriptedLossObjective> : CustomObjectiveFitTraits {};
}  // namespace kestrune::engine::trainer
