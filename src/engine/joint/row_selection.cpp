#include "engine/joint/row_selection.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

#include "engine/sampling.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

std::optional<std::vector<std::uint32_t>> select_joint_row_indices_for_round(
    const core::BoostingMode& boosting_mode, std::size_t n_rows, std::uint64_t seed, std::uint64_t round,
    std::vector<std::vector<core::GradientPair>>& gradients, std::size_t n_outputs) {
  const auto* goss = std::get_if<core::GossBoosting>(&boosting_mode);
  if (goss == nullptr) return std::nullopt;
  support::invariant(gradients.size() >= n_outputs, "fewer gradient lists than outputs");
  for (std::size_t k = 0; k < n_outputs; ++k) {
    support::invariant(gradients[k].size() >= n_rows, "a gradient list is shorter than the row count");
  }

  std::vector<float> scores(n_rows);
  for (std::size_t r = 0; r < n_rows; ++r) {
    float score = -0.0f;
    for (std::size_t k = 0; k < n_outputs; ++k) score += std::fabs(gradients[k][r].grad);
    scores[r] = score;
  }
  GossSample sample = goss_sample_indices(scores, seed, round, goss->goss_top_rate, goss->goss_other_rate);

  constexpr float kEpsilon = 1.1920929e-7f;
  if (std::fabs(sample.scale - 1.0f) > kEpsilon && !sample.others.empty() && n_outputs > 0) {
    for (const std::uint32_t row : sample.others) {
      support::invariant(row < n_rows, "a GOSS row is outside the rows");
      for (std::size_t k = 0; k < n_outputs; ++k) {
        core::GradientPair& pair = gradients[k][row];
        pair.grad *= sample.scale;
        pair.hess *= sample.scale;
      }
    }
  }
  std::vector<std::uint32_t> rows = std::move(sample.top);
  rows.insert(rows.end(), sample.others.begin(), sample.others.end());
  std::sort(rows.begin(), rows.end());
  return rows;
}

}  // namespace kestrune::engine::joint
