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
    GradientPair* const group_acc = acc.data() + begin;
    for (std::size_t i = 0; i < rows; ++i) {
      // Row i's sums stay in registers while its pairs are visited: the same additions in the same
      // order, without a store and reload of the same sum for every pair. The better row of a
      // pair gives up the step and the other takes it (x - s equals x + -s).
      const float label_i = group_labels[i];
      const float score_i = group_scores[i];
      const float gain_i = scratch.gain[i];
      const float discount_i = scratch.discount[i];
      float grad_i = group_acc[i].grad;
      float hess_i = group_acc[i].hess;
      for (std::size_t j = i + 1; j < rows; ++j) {
        if (label_i == group_labels[j]) continue;
        const bool i_better = label_i > group_labels[j];
        const float score_j = group_scores[j];
        const float gain_j = scratch.gain[j];
        const float discount_j = scratch.discount[j];
        const float rho = pair_weight(i_better ? score_i - score_j : score_j - score_i);
        const float delta = i_better ? swap_delta(inv_idcg, gain_i, gain_j, discount_i, discount_j)
                                     : swap_delta(inv_idcg, gain_j, gain_i, discount_j, discount_i);
        const float step = rho * delta;
        const float curvature = (rho * (1.0f - rho)) * delta;
        grad_i += i_better ? -step : step;
        group_acc[j].grad += i_better ? step : -step;
        hess_i += curvature;
        group_acc[j].hess += curvature;
      }
      group_acc[i].grad = grad_i;
      group_acc[i].hess = hess_i;
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
