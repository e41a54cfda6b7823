#include "support/stable_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace kestrune::support {
namespace {

using Item = std::pair<float, int>;  // key, input position

bool key_less(const Item& a, const Item& b) { return a.first < b.first; }

std::vector<int> sorted_positions(const std::vector<Item>& items) {
  std::vector<int> positions;
  for (const auto& item : items) positions.push_back(item.second);
  std::sort(positions.begin(), positions.end());
  return positions;
}

// Every size across the insertion/merge threshold, with many ties; with NaN keys (no strict weak
// order) the result must still be a permutation of the input.
TEST(SupportStableMergeSort, MatchesStdStableSortAndStaysSafeWithNanKeys) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<Item> items, with_nan;
    std::vector<int> identity;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t h = static_cast<std::uint32_t>(i * 2654435761u + n * 40503u);
      const float key = static_cast<float>((h >> 13) % 5) - 2.0f;
      items.emplace_back(key, static_cast<int>(i));
      with_nan.emplace_back(i % 3 == 0 ? nan : key, static_cast<int>(i));
      identity.push_back(static_cast<int>(i));
    }
    std::vector<Item> expected = items;
    std::stable_sort(expected.begin(), expected.end(), key_less);
    stable_merge_sort(items, key_less);
    EXPECT_EQ(items, expected) << "n = " << n;
    stable_merge_sort(with_nan, key_less);
    ASSERT_EQ(sorted_positions(with_nan), identity) << "n = " << n;
  }
}

TEST(SupportStableMergeSort, InconsistentComparatorStillPermutes) {
  std::vector<int> items(37), identity(37);
  for (int i = 0; i < 37; ++i) items[static_cast<std::size_t>(i)] = identity[static_cast<std::size_t>(i)] = i;
  int calls = 0;
  stable_merge_sort(items, [&calls](int, int) { return (++calls % 3) == 0; });
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, identity);
}

// A comparator that contradicts itself, at every size across the merge widths: still a
// permutation of the input.
TEST(SupportStableMergeSort, InconsistentComparatorPermutesAtEverySize) {
  for (int n = 0; n <= 70; ++n) {
    std::vector<int> items(static_cast<std::size_t>(n)), identity(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) items[static_cast<std::size_t>(i)] = identity[static_cast<std::size_t>(i)] = i;
    int calls = 0;
    stable_merge_sort(items, [&calls](int, int) { return (++calls % 3) == 0; });
    std::sort(items.begin(), items.end());
    ASSERT_EQ(items, identity) << "n = " << n;
  }
}

}  // namespace
}  // namespace kestrune::support
