#include "engine/tree_node.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/error.hpp"

namespace kestrune::engine {

std::uint32_t left_child_node_id(std::uint32_t local) {
  if (local >= (1u << 31)) {
    throw EngineError::contract_violation("left child id overflow for local node " + std::to_string(local));
  }
  return 2 * local + 1;
}

std::uint32_t right_child_node_id(std::uint32_t local) {
  if (local > 0x7FFFFFFEu) {
    throw EngineError::contract_violation("right child id overflow for local node " + std::to_string(local));
  }
  return 2 * local + 2;
}

std::uint32_t encode_tree_node_id(std::uint64_t tree_index, std::uint32_t local) {
  if (local > kLocalNodeIdMask) {
    throw EngineError::contract_violation("local node_id " + std::to_string(local) +
                                          " exceeds supported tree-node stride " + std::to_string(kTreeNodeStride));
  }
  if (tree_index > std::numeric_limits<std::uint32_t>::max()) {
    throw EngineError::contract_violation("tree index " + std::to_string(tree_index) + " exceeds u32::MAX");
  }
  if (tree_index >= kMaxEncodedTrees) {
    throw EngineError::contract_violation("encoded tree node id overflowed u32 range");
  }
  return (static_cast<std::uint32_t>(tree_index) << kTreeIndexShift) | local;
}

std::size_t retained_stump_count_for_rounds(std::span<const std::size_t> per_round_counts, std::size_t rounds) {
  const std::size_t kept = std::min(rounds, per_round_counts.size());
  std::size_t total = 0;
  for (std::size_t i = 0; i < kept; ++i) total += per_round_counts[i];
  return total;
}

}  // namespace kestrune::engine
