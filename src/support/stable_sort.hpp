// A stable merge sort that stays memory-safe whatever the comparator does. std::sort and
// std::stable_sort need a strict weak order; comparisons involving NaN keys break that and
// make them undefined behaviour. This sort only ever reads and writes inside its buffers, and
// ties (less(a, b) and less(b, a) both false) keep their input order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace kestrune::support {

template <typename T, typename Less>
void stable_merge_sort(std::span<T> items, Less less) {
  const std::size_t n = items.size();
  if (n < 2) return;
  std::vector<T> scratch(items.begin(), items.end());
  T* source = scratch.data();
  T* target = items.data();
  // Bottom-up: runs of width 1, 2, 4, ... merged alternately between the two buffers. Start from
  // the scratch copy so that the final pass lands in `items` after an even or odd number of
  // passes; a final copy fixes the odd case.
  bool result_in_items = false;
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t left = 0; left < n; left += 2 * width) {
      const std::size_t middle = std::min(left + width, n);
      const std::size_t right = std::min(left + 2 * width, n);
      std::size_t i = left, j = middle, k = left;
      while (i < middle && j < right) {
        // Take from the right run only when it is strictly smaller: ties keep input order.
        if (less(source[j], source[i])) {
          target[k++] = std::move(source[j++]);
        } else {
          target[k++] = std::move(source[i++]);
        }
      }
      while (i < middle) target[k++] = std::move(source[i++]);
      while (j < right) target[k++] = std::move(source[j++]);
    }
    std::swap(source, target);
    result_in_items = (source == items.data());
  }
  if (!result_in_items) {
    for (std::size_t k = 0; k < n; ++k) items[k] = std::move(source[k]);
  }
}

template <typename T, typename Less>
void stable_merge_sort(std::vector<T>& items, Less less) {
  stable_merge_sort(std::span<T>(items), less);
}

}  // namespace kestrune::support
