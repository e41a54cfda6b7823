#include "support/stable_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace kestrune::support {
namespace {

using Item = std::pair<float, int>;  // key, input position

bool key_less(const Item& a, const Item& b) { return a.first < b.first; }

// Deterministic keys with many ties: a small multiplicative hash folded to a few values.
float tie_heavy_key(std::size_t i, std::size_t n) {
  const std::uint32_t h = static_cast<std::uint32_t>(i * 2654435761u + n * 40503u);
  return static_cast<float>((h >> 13) % 5) - 2.0f;
}

TEST(SupportStableMergeSort, MatchesStdStableSortForEverySmallSize) {
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < n; ++i) items.emplace_back(tie_heavy_key(i, n), static_cast<int>(i));
    std::vector<Item> expected = items;
    std::stable_sort(expected.begin(), expected.end(), key_less);
    stable_merge_sort(items, key_less);
    EXPECT_EQ(items, expected) << "n = " << n;
  }
}

TEST(SupportStableMergeSort, NanKeysStayMemorySafeAndKeepEveryItem) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < n; ++i) {
      items.emplace_back(i % 3 == 0 ? nan : tie_heavy_key(i, n), static_cast<int>(i));
    }
    stable_merge_sort(items, key_less);
    std::vector<int> positions;
    for (const auto& item : items) positions.push_back(item.second);
    std::sort(positions.begin(), positions.end());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(positions[i], static_cast<int>(i)) << "n = " << n;
  }
}

TEST(SupportStableMergeSort, InconsistentComparatorStillPermutes) {
  std::vector<int> items(37);
  for (int i = 0; i < 37; ++i) items[static_cast<std::size_t>(i)] = i;
  int calls = 0;
  stable_merge_sort(items, [&calls](int, int) { return (++calls % 3) == 0; });
  std::sort(items.begin(), items.end());
  for (int i = 0; i < 37; ++i) EXPECT_EQ(items[static_cast<std::size_t>(i)], i);
}

TEST(SupportStableMergeSort, SortsASubspanInPlace) {
  std::vector<int> items{9, 5, 4, 3, 1, 0};
  stable_merge_sort(std::span<int>(items).subspan(1, 4), [](int a, int b) { return a < b; });
  EXPECT_EQ(items, (std::vector<int>{9, 1, 3, 4, 5, 0}));
}

}  // namespace
}  // namespace kestrune::support
