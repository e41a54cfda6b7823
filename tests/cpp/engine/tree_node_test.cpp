#include "engine/tree_node.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_test_support.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_contract_violation;

TEST(TreeNodeIds, ChildIdsAtTheEdgeOfTheRange) {
  EXPECT_EQ(left_child_node_id(2147483647u), 4294967295u);
  EXPECT_EQ(right_child_node_id(2147483646u), 4294967294u);
  EXPECT_TRUE(throws_contract_violation([] { left_child_node_id(2147483648u); },
                                        "left child id overflow for local node 2147483648"));
  EXPECT_TRUE(throws_contract_violation([] { right_child_node_id(2147483647u); },
                                        "right child id overflow for local node 2147483647"));
}

TEST(TreeNodeIds, EncodeChecksLocalIdThenTreeIndex) {
  struct Case {
    std::uint64_t tree_index;
    std::uint32_t local;
    std::uint32_t key;
    const char* error;  // nullptr: encodes to `key`
  };
  const Case cases[] = {
      {3, 5, 3145733, nullptr},
      {4095, 1048575, 4294967295u, nullptr},
      {5000, 1048576, 0, "local node_id 1048576 exceeds supported tree-node stride 1048576"},
      {4096, 0, 0, "encoded tree node id overflowed u32 range"},
      {4294967296ull, 0, 0, "tree index 4294967296 exceeds u32::MAX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.tree_index) + ", " + std::to_string(c.local));
    if (c.error == nullptr) {
      const std::uint32_t key = encode_tree_node_id(c.tree_index, c.local);
      EXPECT_EQ(key, c.key);
      EXPECT_EQ(tree_index_of(key), c.tree_index);
      EXPECT_EQ(local_id_of(key), c.local);
    } else {
      EXPECT_TRUE(throws_contract_violation([&] { encode_tree_node_id(c.tree_index, c.local); }, c.error));
    }
  }
}

TEST(TreeNodeIds, DepthTwentyStopsAtTheStride) {
  // The deepest storable node is the first one of depth 20: 2^20 - 1.
  std::uint32_t local = 0;
  for (int depth = 0; depth < 20; ++depth) local = left_child_node_id(local);
  EXPECT_EQ(encode_tree_node_id(1, local), 2u * kTreeNodeStride - 1);
  EXPECT_TRUE(throws_contract_violation([&] { encode_tree_node_id(1, right_child_node_id(local / 2)); },
                                        "local node_id 1048576 exceeds supported tree-node stride 1048576"));
}

TEST(TreeNodeRetainedStumps, SumsThePrefixOfRoundCounts) {
  const std::vector<std::size_t> counts = {3, 5, 2};
  EXPECT_EQ(retained_stump_count_for_rounds(counts, 2), 8u);
  EXPECT_EQ(retained_stump_count_for_rounds(counts, 10), 10u);
  EXPECT_EQ(retained_stump_count_for_rounds({}, 5), 0u);
}

}  // namespace
}  // namespace kestrune::engine
