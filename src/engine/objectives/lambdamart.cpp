#include "engine/objectives/lambdamart.hpp"

#include "engine/objectives/ndcg.hpp"

namespace kestrune::engine::objectives {
namespace {

// Pairwise work on every row, with a sort per group: a thread repays its wake-up from a couple of
// thousand rows on.
constexpr std::size_t kRowsPerThread = 2048;

// Adds the lambdas of groups first_group .. last_group - 1 into their rows of `acc`.
void accumulate_lambdas(std::span<const std::size_t> boundaries, std::size_t first_group, std::size_t last_group,
                        std::span<const float> scores, std::span<const float> labels, std::span<GradientPair> acc) {
  RankingScratch scratch;
  for (std::size_t g = first_group; g < last_group; ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t rows = boundaries[g + 1] - begin;
    const std::span<const float> group_labels = labels.subspan(begin, rows);
    const std::span<const float> group_scores = scores.subspan(begin, rows);
    const float idcg = ideal_dcg(group_labels, rows, scratch.sorted_labels);
    if (idcg <= 0.0f) continue;
    const float inv_idcg = 1.0f / idcg;
    rank_by_score(group_scores, scratch);
    fill_gains(group_labels, scratch);
    fill_discounts(scratch);
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t j = i + 1; j < rows; ++j) {
        if (group_labels[i] == group_labels[j]) continue;
        const bool i_better = group_labels[i] > group_labels[j];
        const std::size_t hi = i_better ? i : j;
        const std::size_t lo = i_better ? j : i;
        const float rho = pair_weight(group_scores[hi] - group_scores[lo]);
        const float delta =
            swap_delta(inv_idcg, scratch.gain[hi], scratch.gain[lo], scratch.discount[hi], scratch.discount[lo]);
        const float step = rho * delta;
        const float curvature = (rho * (1.0f - rho)) * delta;
        acc[begin + hi].grad -= step;
        acc[begin + lo].grad += step;
        acc[begin + hi].hess += curvature;
        acc[begin + lo].hess += curvature;
      }
    }
  }
}

}  // namespace

std::vector<GradientPair> LambdaMARTObjective::compute_gradients(std::span<const float> predictions,
                                                                 std::span<const float> targets,
                                                                 const Weights& weights) const {
  std::vector<GradientPair> pairs;
  compute_gradients_into(predictions, targets, weights, pairs);
  return pairs;
}

float LambdaMARTObjective::initial_prediction(std::span<const float>, const Weights&) const { return 0.0f; }

void LambdaMARTObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                                 const Weights&, std::vector<GradientPair>& out) const {
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_lambdas(layout_.train_boundaries, first_group, last_group, predictions, targets,
                                              acc);
                         });
}

float LambdaMARTObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float LambdaMARTObjective::loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                                                const Weights&, std::span<const std::size_t> boundaries) const {
  return mean_ndcg_loss(predictions, targets, boundaries);
}

}  // namespace kestrune::engine::objectives
