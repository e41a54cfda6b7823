// Node numbering: heap ids inside one tree, and the 32-bit global key stored in every split
// record and artifact, (tree index << 20) | local id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrune::engine {

// Local ids per tree in the key space (2^20); 4096 trees fit in 32 bits.
inline constexpr std::uint32_t kTreeNodeStride = 1u << 20;
inline constexpr std::uint32_t kLocalNodeIdMask = kTreeNodeStride - 1;
inline constexpr std::uint32_t kTreeIndexShift = 20;
inline constexpr std::uint64_t kMaxEncodedTrees = 4096;

// 2n+1; EngineError::ContractViolation "left child id overflow for local node {n}" when n >= 2^31.
std::uint32_t left_child_node_id(std::uint32_t local);
// 2n+2; EngineError::ContractViolation "right child id overflow for local node {n}" when n > 2^31 - 2.
std::uint32_t right_child_node_id(std::uint32_t local);

// (tree_index << 20) | local. ContractViolation, in order: local id beyond the stride, tree index
// beyond u32::MAX, tree index >= 4096. Never clamps or wraps.
std::uint32_t encode_tree_node_id(std::uint64_t tree_index, std::uint32_t local);

// Whether both children of local node n get ids inside the stride (2n+2 <= 2^20 - 1): true for
// every node above depth 19, so a tree splits at depths 0 to 19 and its deepest leaves lie at
// depth 20. The growers leave the children of other nodes as leaves.
constexpr bool children_fit_tree_stride(std::uint32_t local) noexcept { return local <= (kLocalNodeIdMask - 2) / 2; }

constexpr std::uint32_t tree_index_of(std::uint32_t key) noexcept { return key >> kTreeIndexShift; }
constexpr std::uint32_t local_id_of(std::uint32_t key) noexcept { return key & kLocalNodeIdMask; }

// Split records kept when a model is cut back to its first `rounds` rounds: the sum of the
// first min(rounds, counts.size()) per-round counts.
std::size_t retained_stump_count_for_rounds(std::span<const std::size_t> per_round_counts, std::size_t rounds);

}  // namespace kestrune::engine
