#include "support/stable_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrune::support {
namespace {

// Every size across the insertion/merge threshold, with many ties, against std::stable_sort; with
// NaN keys (no strict weak order) or a comparator that contradicts itself the result must still
// be a permutation of the input.
TEST(SupportStableMergeSort, MatchesStdStableSortAndStaysSafeWithoutAnOrder) {
  using Item = std::pair<float, int>;  // key, input position
  const auto key_less = [](const Item& a, const Item& b) { return a.first < b.first; };
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<Item> items, with_nan;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t h = static_cast<std::uint32_t>(i * 2654435761u + n * 40503u);
      const float key = static_cast<float>((h >> 13) % 5) - 2.0f;
      items.emplace_back(key, static_cast<int>(i));
      with_nan.emplace_back(i % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : key, static_cast<int>(i));
    }
    std::vector<Item> expected = items;
    std::stable_sort(expected.begin(), expected.end(), key_less);
    stable_merge_sort(items, key_less);
    EXPECT_EQ(items, expected) << "n = " << n;
    int calls = 0;
    stable_merge_sort(with_nan, key_less);
    stable_merge_sort(items, [&calls](const Item&, const Item&) { return (++calls % 3) == 0; });
    for (auto* sorted : {&with_nan, &items}) {
      std::sort(sorted->begin(), sorted->end(), [](const Item& a, const Item& b) { return a.second < b.second; });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ((*sorted)[i].second, static_cast<int>(i)) << "n = " << n;
    }
  }
}

}  // namespace
}  // namespace kestrune::support
