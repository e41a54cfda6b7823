// Query groups of the ranking objectives: contiguous row ranges given by boundary offsets
// [0, b1, ..., n], group g holding rows b_g .. b_{g+1} - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// A new group starts at every row whose identifier differs from the previous row's: identifiers
// are neither sorted nor de-duplicated. No rows give [0, 0].
std::vector<std::size_t> compute_group_boundaries(std::span<const std::uint32_t> group_ids);

// The boundaries a loss uses for a prediction vector of length `len`: the train boundaries when
// they end at `len`, else the validation boundaries when they do, else the whole vector as one
// group. Choosing by length alone is ambiguous when both sets have the same row count; callers
// that know which set they score pass its boundaries to loss_with_boundaries instead.
std::vector<std::size_t> resolve_boundaries_for_len(std::span<const std::size_t> train,
                                                    const std::optional<std::vector<std::size_t>>& validation,
                                                    std::size_t len);

// Boundaries must start at 0, never decrease and end at the row count (ContractViolation
// otherwise): anything else would read outside the data or leave rows in no group.
void check_group_boundaries(std::span<const std::size_t> boundaries, std::size_t row_count);

// Inputs of a ranking gradient or loss: predictions as long as the targets, boundaries covering
// exactly those rows. Weights are not looked at by the objectives that ignore them.
void check_ranking_inputs(std::span<const float> predictions, std::span<const float> targets,
                          std::span<const std::size_t> boundaries);

// The checked per-round path of the ranking objectives: `accumulate` adds each row's gradient and
// hessian into a zeroed buffer; every hessian is then floored at 1e-7 and every pair checked.
template <typename Accumulate>
void ranking_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                            std::span<const std::size_t> boundaries, std::vector<GradientPair>& out,
                            Accumulate&& accumulate) {
  check_ranking_inputs(predictions, targets, boundaries);
  fill_or_clear(out, predictions.size(), [&](std::span<GradientPair> pairs) {
    for (GradientPair& pair : pairs) pair = GradientPair{0.0f, 0.0f};
    accumulate(pairs);
    for (GradientPair& pair : pairs) pair = checked_pair(pair.grad, floor_hessian(pair.hess));
  });
}

// The group layout every ranking objective carries.
struct GroupLayout {
  std::vector<std::size_t> train_boundaries;
  std::optional<std::vector<std::size_t>> validation_boundaries;

  std::vector<std::size_t> boundaries_for_len(std::size_t len) const {
    return resolve_boundaries_for_len(train_boundaries, validation_boundaries, len);
  }
};

// Construction shared by the ranking objectives: train boundaries from the training rows' group
// identifiers, optional validation boundaries added later.
template <typename Derived>
class GroupedObjective {
 public:
  const GroupLayout& layout() const noexcept { return layout_; }
  const std::vector<std::size_t>& train_boundaries() const noexcept { return layout_.train_boundaries; }
  const std::optional<std::vector<std::size_t>>& validation_boundaries() const noexcept {
    return layout_.validation_boundaries;
  }

  // Sets (or replaces) the validation boundaries from the validation rows' group identifiers.
  Derived with_validation_group(std::span<const std::uint32_t> validation_group_ids) && {
    layout_.validation_boundaries = compute_group_boundaries(validation_group_ids);
    return std::move(static_cast<Derived&>(*this));
  }
  Derived with_validation_group(std::span<const std::uint32_t> validation_group_ids) const& {
    Derived copy = static_cast<const Derived&>(*this);
    return std::move(copy).with_validation_group(validation_group_ids);
  }

 protected:
  explicit GroupedObjective(std::span<const std::uint32_t> train_group_ids)
      : layout_{compute_group_boundaries(train_group_ids), std::nullopt} {}

  GroupLayout layout_;
};

}  // namespace kestrune::engine::objectives
