#include "engine/objectives/ranking_groups.hpp"

#include <string>

#include "engine/error.hpp"

namespace kestrune::engine::objectives {

std::vector<std::size_t> compute_group_boundaries(std::span<const std::uint32_t> group_ids) {
  std::vector<std::size_t> boundaries{0};
  for (std::size_t i = 1; i < group_ids.size(); ++i) {
    if (group_ids[i] != group_ids[i - 1]) boundaries.push_back(i);
  }
  boundaries.push_back(group_ids.size());
  return boundaries;
}

std::vector<std::size_t> resolve_boundaries_for_len(std::span<const std::size_t> train,
                                                    const std::optional<std::vector<std::size_t>>& validation,
                                                    std::size_t len) {
  if (!train.empty() && train.back() == len) return {train.begin(), train.end()};
  if (validation && !validation->empty() && validation->back() == len) return *validation;
  return {0, len};
}

void check_group_boundaries(std::span<const std::size_t> boundaries, std::size_t row_count) {
  if (boundaries.empty() || boundaries.front() != 0) {
    throw EngineError::contract_violation("group boundaries must start at 0");
  }
  for (std::size_t g = 1; g < boundaries.size(); ++g) {
    if (boundaries[g] < boundaries[g - 1]) {
      throw EngineError::contract_violation("group boundaries must not decrease (" +
                                            std::to_string(boundaries[g - 1]) + " followed by " +
                                            std::to_string(boundaries[g]) + ")");
    }
  }
  if (boundaries.back() != row_count) {
    throw EngineError::contract_violation("group boundaries end at " + std::to_string(boundaries.back()) +
                                          " but there are " + std::to_string(row_count) + " rows");
  }
}

void check_ranking_inputs(std::span<const float> predictions, std::span<const float> targets,
                          std::span<const std::size_t> boundaries) {
  check_lengths(predictions.size(), targets.size(), std::nullopt);
  check_group_boundaries(boundaries, predictions.size());
}

}  // namespace kestrune::engine::objectives
