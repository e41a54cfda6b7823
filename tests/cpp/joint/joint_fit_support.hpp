// A small ranking data set with three joint outputs (rank:ndcg and queryrmse on relevance labels,
// squared_error on a continuous target) and the fit call the joint fit tests share.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/joint/fit.hpp"

namespace kestrune::engine::joint::testing_support {

struct JointData {
  core::BinnedMatrix binned;
  std::vector<std::vector<float>> targets;
  std::optional<std::vector<std::uint32_t>> group_ids;
  std::vector<JointObjective> objectives;
  std::optional<core::FactorExposureMatrix> exposures;
};

inline JointData make_joint_data(std::uint64_t seed, std::size_t rows, std::size_t features) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> bin(0, 15);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<std::uint8_t> bins(rows * features);
  for (std::uint8_t& b : bins) b = rng() % 20 == 0 ? 255 : static_cast<std::uint8_t>(bin(rng));
  JointData data;
  data.targets.assign(3, std::vector<float>(rows));
  data.group_ids.emplace(rows);
  std::vector<float> exposures(rows * 2);
  for (std::size_t r = 0; r < rows; ++r) {
    auto at = [&](std::size_t f) { const int b = bins[r * features + f]; return b == 255 ? 0.5f : b / 15.0f; };
    const float s = 2.0f * at(0) - 1.5f * at(1) + at(2) * at(features - 1);
    const float relevance = std::floor(std::fmin(std::fmax((s + 1.5f + noise(rng)) * 1.2f, 0.0f), 4.0f));
    data.targets[0][r] = relevance;
    data.targets[1][r] = relevance;
    data.targets[2][r] = s + noise(rng);
    (*data.group_ids)[r] = static_cast<std::uint32_t>(r / 10);
    exposures[2 * r] = at(0) + noise(rng);
    exposures[2 * r + 1] = noise(rng);
  }
  data.binned = core::BinnedMatrix::make(rows, features, 255, std::move(bins));
  data.objectives = {JointObjective::parse("rank:ndcg"), JointObjective::parse("queryrmse"),
                     JointObjective::parse("squared_error")};
  data.exposures = core::FactorExposureMatrix::make(rows, 2, std::move(exposures));
  return data;
}

inline core::TrainParams joint_params() {
  core::TrainParams params;
  params.learning_rate = 0.3f;
  params.max_depth = 3;
  params.min_data_in_leaf = 5;
  params.lambda_l2 = 1.0f;
  params.seed = 99;
  params.max_leaves = 6;
  return params;
}

inline JointTrainingSummary fit_joint(const JointData& data, const core::TrainParams& params, std::size_t rounds,
                                      std::optional<JointWarmStartState> warm = std::nullopt,
                                      std::span<const std::pair<std::size_t, std::size_t>> categorical = {}) {
  return fit_joint_multi_output_with_warm_start(JointFitRequest{params, data.binned.feature_count, data.binned,
                                                                data.targets, data.group_ids, data.objectives, rounds,
                                                                categorical, std::move(warm), &*data.exposures});
}

// The continuation state a caller builds from a summary.
inline JointWarmStartState warm_start_of(const JointTrainingSummary& summary) {
  JointWarmStartState warm;
  warm.baselines = summary.baselines;
  warm.stumps = summary.model.stumps;
  if (summary.model.morph_metadata) warm.initial_ema_stats = summary.model.morph_metadata->ema_stats;
  warm.initial_rounds_completed = summary.rounds_completed;
  return warm;
}

}  // namespace kestrune::engine::joint::testing_support
