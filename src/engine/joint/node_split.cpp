#include "engine/joint/node_split.hpp"

#include <string>
#include <utility>

#include "core/leaf.hpp"
#include "engine/error.hpp"
#include "engine/joint/bin_codes.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/draws.hpp"
#include "engine/joint/factor_sums.hpp"
#include "engine/joint/morph_gain.hpp"
#include "engine/tree_node.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {
namespace {

// The builders' leaf denominator epsilon.
constexpr float kEps = 1e-6f;

bool split_penalty_active(const core::TrainParams& params) {
  return core::neutralization_kind(params) == core::NeutralizationKind::SplitPenalty &&
         params.neutralization_config->factor_penalty > 0.0f;
}

// The set as little-endian bytes cut after its highest non-zero byte (an empty set keeps one).
std::vector<std::uint8_t> category_bytes(std::uint64_t set) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(set >> (8 * i)));
  while (bytes.size() > 1 && bytes.back() == 0) bytes.pop_back();
  return bytes;
}

}  // namespace

struct JointNodeSplitter::Best {
  bool found = false;
  float gain = 0.0f;
  std::size_t feature = 0;
  bool categorical = false;
  std::size_t threshold = 0;
  std::uint64_t set = 0;
};

void check_gradient_lengths(const JointRoundRequest& request) {
  for (std::size_t k = 0; k < request.gradients.size(); ++k) {
    if (request.gradients[k].size() != request.binned.row_count) {
      throw JointError("gradient vector for output " + std::to_string(k) + " has length " +
                       std::to_string(request.gradients[k].size()) + " != " +
                       std::to_string(request.binned.row_count));
    }
  }
}

void check_factor_exposures(const JointRoundRequest& request) {
  if (split_penalty_active(request.params) && request.factor_exposures == nullptr) {
    throw JointError("factor_exposures are required when neutralization='split_penalty'");
  }
}

std::optional<InteractionConstraintIndex> build_interaction_index(const JointRoundRequest& request) {
  try {
    return InteractionConstraintIndex::from_constraints(request.params.interaction_constraints,
                                                        request.binned.feature_count);
  } catch (const EngineError& error) {
    throw JointError("interaction_constraints: " + error.debug());
  }
}

JointNodeSplitter::JointNodeSplitter(const JointRoundRequest& request,
                                     std::optional<InteractionConstraintIndex> interactions)
    : request_(request), interactions_(std::move(interactions)) {
  const core::TrainParams& params = request.params;
  n_rows_ = request.binned.row_count;
  n_features_ = request.binned.feature_count;
  n_outputs_ = request.n_outputs;
  support::invariant(n_outputs_ >= 1 && request.gradients.size() >= n_outputs_,
                     "a joint round needs one gradient list per output");
  n_bins_ = joint_histogram_bin_count(request.binned);
  threshold_count_ = joint_threshold_count(request.binned);
  missing_bin_ = joint_missing_bin(request.binned);
  min_rows_ = params.min_data_in_leaf > 0 ? params.min_data_in_leaf : 1u;
  grad_.resize(n_rows_ * n_outputs_);
  hess_.resize(n_rows_ * n_outputs_);
  for (std::size_t k = 0; k < n_outputs_; ++k) {
    for (std::size_t r = 0; r < n_rows_; ++r) {
      grad_[r * n_outputs_ + k] = request.gradients[k][r].grad;
      hess_[r * n_outputs_ + k] = request.gradients[k][r].hess;
    }
  }
  sampled_ = joint_feature_sample(n_features_, params.col_subsample, params.seed, request.round);
  category_counts_.assign(n_features_, 0);
  for (const auto& [feature, count] : request.categorical_features) {
    if (feature < n_features_) category_counts_[feature] = count;
  }
  factor_active_ = split_penalty_active(params);
  if (params.leaf_solver == core::LeafSolver::Dro && params.dro_config && params.dro_config->radius > 0.0f) {
    dro_radius_ = params.dro_config->radius;
  }
}

std::vector<std::uint32_t> JointNodeSplitter::root_rows() const {
  if (request_.row_indices != nullptr) return *request_.row_indices;
  std::vector<std::uint32_t> rows(n_rows_);
  for (std::size_t r = 0; r < n_rows_; ++r) rows[r] = static_cast<std::uint32_t>(r);
  return rows;
}

std::optional<std::uint64_t> JointNodeSplitter::root_mask() const {
  if (!interactions_) return std::nullopt;
  return interactions_->root_mask();
}

std::optional<std::uint64_t> JointNodeSplitter::child_mask(const std::optional<std::uint64_t>& mask,
                                                           std::uint32_t feature) const {
  if (!interactions_ || !mask) return mask;
  return interactions_->child_mask(*mask, feature);
}

bool JointNodeSplitter::allowed(const std::optional<std::uint64_t>& mask, std::size_t feature) const {
  if (!interactions_ || !mask) return true;
  return interactions_->allows(*mask, static_cast<std::uint32_t>(feature));
}

void JointNodeSplitter::fill_histogram(const std::vector<std::uint32_t>& rows,
                                       const std::optional<std::uint64_t>& mask) {
  // One buffer for the whole tree: a node only zeroes it.
  histogram_.reset(n_features_, n_bins_, n_outputs_);
  bin_rows_.assign(n_features_ * n_bins_, 0u);
  const std::size_t n = rows.size();
  node_grad_.resize(n * n_outputs_);
  node_hess_.resize(n * n_outputs_);
  for (std::size_t i = 0; i < n; ++i) {
    support::invariant(rows[i] < n_rows_, "a node row lies beyond the training rows");
    for (std::size_t k = 0; k < n_outputs_; ++k) {
      node_grad_[i * n_outputs_ + k] = grad_[std::size_t{rows[i]} * n_outputs_ + k];
      node_hess_[i * n_outputs_ + k] = hess_[std::size_t{rows[i]} * n_outputs_ + k];
    }
  }
  node_bins_.resize(n);
  // The column-major copy keeps one feature's codes together; both copies hold the same codes.
  const core::BinStorage& column_major = request_.binned.bins_column_major;
  const bool by_column = column_major.size() == n_rows_ * n_features_ && n_rows_ * n_features_ > 0;
  const core::BinStorage& storage = by_column ? column_major : request_.binned.bins;
  support::invariant(storage.size() >= n_rows_ * n_features_, "the bins are shorter than rows x features");
  storage.visit([&](auto codes) {
    for (std::size_t f = 0; f < n_features_; ++f) {
      // Features the search will not visit are left out; their cells are never read.
      if (!sampled_[f] || !allowed(mask, f)) continue;
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = by_column ? f * n_rows_ + rows[i] : std::size_t{rows[i]} * n_features_ + f;
        node_bins_[i] = codes[at];
        support::invariant(node_bins_[i] < n_bins_, "a bin lies beyond the histogram");
        bin_rows_[f * n_bins_ + node_bins_[i]] += 1u;
      }
      build_multi_output_histogram_inplace(histogram_, f, node_bins_, node_grad_, node_hess_, n_outputs_);
    }
  });
}

bool JointNodeSplitter::sides_admissible(std::size_t feature, std::size_t threshold) const {
  std::uint64_t left = 0, right = 0, missing = 0;
  for (std::size_t b = 0; b < n_bins_; ++b) {
    const std::uint32_t count = bin_rows_[feature * n_bins_ + b];
    if (b == missing_bin_) {
      missing += count;
    } else if (b <= threshold) {
      left += count;
    } else {
      right += count;
    }
  }
  return children_keep_min_rows(left, right, missing, min_rows_);
}

float JointNodeSplitter::penalised(float gain, const std::vector<std::uint32_t>& rows, std::size_t feature,
                                   std::size_t threshold, bool categorical, std::uint64_t set,
                                   std::size_t n_categories) const {
  if (!factor_active_) return gain;
  const float lambda_l2 = request_.params.lambda_l2;
  const float lambda_l1 = request_.params.lambda_l1;
  const KVectorPair values =
      categorical ? derive_kvec_leaves_from_categorical_histogram(histogram_, feature, set, n_categories, dro_radius_,
                                                                  lambda_l2, kEps, lambda_l1)
                  : derive_kvec_leaves_from_threshold_histogram(histogram_, feature, threshold, dro_radius_, lambda_l2,
                                                                kEps, lambda_l1);
  const auto [left_sums, right_sums] = accumulate_factor_sums_for_threshold(
      request_.binned, *request_.factor_exposures, rows, feature,
      static_cast<std::uint16_t>(categorical ? 0 : threshold), categorical, set);
  float penalty = 0.0f;
  for (std::size_t k = 0; k < n_outputs_; ++k) {
    for (std::size_t j = 0; j < left_sums.size(); ++j) {
      const float term = values.first[k] * left_sums[j] + values.second[k] * right_sums[j];
      penalty += term * term;
    }
  }
  const float lambda = request_.params.neutralization_config->factor_penalty;
  return gain - (lambda * penalty) / static_cast<float>(rows.size());
}

void JointNodeSplitter::search_numeric(const std::vector<std::uint32_t>& rows, std::size_t feature, Best& best) {
  const core::TrainParams& params = request_.params;
  if (request_.morph == nullptr) {
    multi_output_threshold_gains(histogram_, feature, threshold_count_, params.lambda_l2, kEps, gains_);
  }
  for (std::size_t t = 0; t < threshold_count_; ++t) {
    const float raw = request_.morph != nullptr
                          ? compute_multi_output_split_gain_morph(histogram_, feature, t, *request_.morph,
                                                                  params.lambda_l2)
                          : gains_[t];
    // The penalty only lowers a gain (or makes it NaN), so a threshold that cannot beat zero or
    // the best so far is settled before the penalty is computed.
    if (!(raw > 0.0f) || (best.found && !(raw > best.gain))) continue;
    if (!sides_admissible(feature, t)) continue;
    const float gain = penalised(raw, rows, feature, t, false, 0, 0);
    if (gain > 0.0f && (!best.found || gain > best.gain)) best = Best{true, gain, feature, false, t, 0};
  }
}

void JointNodeSplitter::search_categorical(const std::vector<std::uint32_t>& rows, std::size_t feature,
                                           std::size_t n_categories, Best& best) {
  const core::TrainParams& params = request_.params;
  std::uint64_t non_missing = 0, missing = 0;
  for (std::size_t b = 0; b < n_bins_; ++b) {
    (b == missing_bin_ ? missing : non_missing) += bin_rows_[feature * n_bins_ + b];
  }
  const std::size_t listed = n_categories < n_bins_ ? n_categories : n_bins_;
  const CategoryRowLimit limit{std::span<const std::uint32_t>(bin_rows_).subspan(feature * n_bins_, listed),
                               non_missing, missing, min_rows_};
  const std::optional<MultiOutputCategoricalSplit> split =
      request_.morph != nullptr
          ? find_best_multi_output_categorical_split_morph(histogram_, feature, n_categories, params.lambda_l2, kEps,
                                                           *request_.morph, &limit)
          : find_best_multi_output_categorical_split(histogram_, feature, n_categories, params.lambda_l2, kEps,
                                                     &limit);
  if (!split) return;
  const float gain = penalised(split->gain, rows, feature, 0, true, split->mask, n_categories);
  if (gain > (best.found ? best.gain : 0.0f)) best = Best{true, gain, feature, true, 0, split->mask};
}

std::vector<float> JointNodeSplitter::leaf_values(const std::vector<std::uint32_t>& rows) const {
  const core::TrainParams& params = request_.params;
  std::vector<float> values(n_outputs_);
  for (std::size_t k = 0; k < n_outputs_; ++k) {
    float g = 0.0f, h = 0.0f, g2 = 0.0f;
    for (const std::uint32_t row : rows) {
      const float grad = grad_[std::size_t{row} * n_outputs_ + k];
      g += grad;
      h += hess_[std::size_t{row} * n_outputs_ + k];
      g2 += grad * grad;
    }
    const float effective = core::leaf_effective_gradient(g, g2, static_cast<std::uint32_t>(rows.size()),
                                                          params.lambda_l1, dro_radius_);
    values[k] = -effective / ((h + params.lambda_l2) + kEps);
  }
  return values;
}

ChildStats JointNodeSplitter::child_stats(const std::vector<std::uint32_t>& rows) const {
  ChildStats stats;
  for (std::size_t k = 0; k < n_outputs_; ++k) {
    for (const std::uint32_t row : rows) {
      stats.grad_sum += grad_[std::size_t{row} * n_outputs_ + k];
      stats.hess_sum += hess_[std::size_t{row} * n_outputs_ + k];
    }
  }
  stats.count = static_cast<std::uint32_t>(rows.size());
  return stats;
}

std::optional<JointLeafCandidate> JointNodeSplitter::evaluate(std::vector<std::uint32_t> rows,
                                                              std::uint32_t node_id,
                                                              std::optional<std::uint64_t> mask) {
  // A split whose children could not be numbered inside the tree's id space would make the
  // whole fit fail when the round is committed; such a node stays a leaf instead.
  if (!children_fit_tree_stride(node_id)) return std::nullopt;
  if (rows.size() < 2 * std::size_t{min_rows_}) return std::nullopt;
  fill_histogram(rows, mask);
  Best best;
  for (std::size_t f = 0; f < n_features_; ++f) {
    if (!sampled_[f] || !allowed(mask, f)) continue;
    if (category_counts_[f] > 0) {
      search_categorical(rows, f, category_counts_[f], best);
    } else {
      search_numeric(rows, f, best);
    }
  }
  if (!best.found || best.gain < request_.params.min_split_gain) return std::nullopt;

  JointLeafCandidate candidate;
  std::vector<std::uint32_t> missing;
  for (const std::uint32_t row : rows) {
    const std::uint16_t bin = joint_bin(request_.binned, n_features_, row, best.feature);
    bool left = false;
    if (bin == missing_bin_) {
      missing.push_back(row);
      continue;
    }
    if (best.categorical) {
      left = bin < 64 && ((best.set >> bin) & 1u) != 0;
    } else {
      left = bin <= best.threshold;
    }
    (left ? candidate.left_rows : candidate.right_rows).push_back(row);
  }
  candidate.missing_left = candidate.right_rows.size() <= candidate.left_rows.size();
  std::vector<std::uint32_t>& missing_side = candidate.missing_left ? candidate.left_rows : candidate.right_rows;
  missing_side.insert(missing_side.end(), missing.begin(), missing.end());
  if (candidate.left_rows.size() < min_rows_ || candidate.right_rows.size() < min_rows_) return std::nullopt;

  candidate.interaction_mask = mask;
  candidate.split_kind = best.categorical ? 1u : 0u;
  candidate.category_set = best.set;
  candidate.node_id = node_id;
  candidate.left_values = leaf_values(candidate.left_rows);
  candidate.right_values = leaf_values(candidate.right_rows);
  candidate.left_stats = child_stats(candidate.left_rows);
  candidate.right_stats = child_stats(candidate.right_rows);
  candidate.feature_index = static_cast<std::uint32_t>(best.feature);
  candidate.gain = best.gain;
  candidate.threshold_bin = static_cast<std::uint16_t>(best.categorical ? 0 : best.threshold);
  candidate.node_rows = std::move(rows);
  return candidate;
}

TrainedStump JointNodeSplitter::stump_of(const JointLeafCandidate& candidate) {
  TrainedStump stump;
  stump.node_id = candidate.node_id;
  stump.feature_index = candidate.feature_index;
  stump.split_bin = candidate.threshold_bin;
  stump.default_left = candidate.missing_left;
  stump.categorical = candidate.split_kind == 1;
  if (stump.categorical) stump.category_bitset = category_bytes(candidate.category_set);
  stump.gain = candidate.gain;
  stump.left_stats = candidate.left_stats;
  stump.right_stats = candidate.right_stats;
  stump.left = candidate.left_values.at(0);
  stump.right = candidate.right_values.at(0);
  stump.multi_output = MultiOutputValues{candidate.left_values, candidate.right_values};
  stump.tree_weight = 1.0f;
  return stump;
}

}  // namespace kestrune::engine::joint
