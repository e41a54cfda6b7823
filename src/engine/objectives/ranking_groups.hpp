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
#include "engine/objectives/row_parallel.hpp"

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

// The per-round path of the ranking objectives. The groups are cut into pieces of whole groups
// that run on the pool (see for_group_pieces); for each piece, `accumulate(first_group,
// last_group, pairs)` adds each row's gradient and hessian into the piece's rows, zeroed
// beforehand, and must touch no other row. Every hessian is then floored at 1e-7 and, when
// `checked`, every pair checked; the first failing row in row order is the error reported.
template <typename Accumulate>
void ranking_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                            std::span<const std::size_t> boundaries, std::vector<GradientPair>& out,
                            std::size_t rows_per_thread, Accumulate&& accumulate, bool checked = true) {
  check_ranking_inputs(predictions, targets, boundaries);
  fill_or_clear(out, predictions.size(), [&](std::span<GradientPair> pairs) {
    for_group_pieces(boundaries, rows_per_thread, [&](std::size_t first_group, std::size_t last_group) {
      const std::size_t begin = boundaries[first_group];
      const std::size_t end = boundaries[last_group];
      for (std::size_t i = begin; i < end; ++i) pairs[i] = GradientPair{0.0f, 0.0f};
      accumulate(first_group, last_group, pairs);
      if (checked) {
        for (std::size_t i = begin; i < end; ++i) pairs[i] = checked_pair(pairs[i].grad, floor_hessian(pairs[i].hess));
      } else {
        for (std::size_t i = begin; i < end; ++i) pairs[i].hess = floor_hessian(pairs[i].hess);
      }
    });
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
