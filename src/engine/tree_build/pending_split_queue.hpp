// The leaf-wise grower's queue: the nodes whose best split is known, largest gain first.
//
// The discipline is spelled out rather than borrowed from std::priority_queue because the order
// among equal gains is part of the result (which of two equal-gain leaves splits first decides
// the tree under a leaf budget) and the standard heap breaks ties its own way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/split_candidate.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

struct PendingSplit {
  core::RowList rows;
  // The node's full bundle (never the interaction-filtered copy): its children's sibling is
  // derived from it by subtraction. Empty when it was handed back after the node's search.
  core::HistogramBundle histograms;
  SplitCandidate candidate;  // its gain is the queue key
  std::optional<core::LinearLeaf> linear_leaf;  // the node's own full model, when linear
  std::size_t depth = 0;
  std::uint32_t local_id = 0;
  float value = 0.0f;  // the node's full value: its children's parent value
  bool worked_on = false;  // its work has started ahead of its turn (the grower's own bookkeeping)
};

// A binary max-heap on candidate.gain stored in an array, with no secondary key:
// - push appends and moves the entry up while its gain is strictly greater than its parent's,
//   so a pushed entry stops below a parent of equal gain;
// - pop takes the root, walks a hole from the root to the bottom, each step to the child with
//   the larger gain (to the right child unless the left one is strictly greater), puts the last
//   entry there and moves it up while strictly greater than its parent.
// Only finite gains are pushed.
class PendingSplitQueue {
 public:
  bool empty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }

  void push(PendingSplit entry) {
    entries_.push_back(std::move(entry));
    sift_up(entries_.size() - 1);
  }

  // The entry pop() would return next; the queue must not be empty.
  PendingSplit& top() {
    support::invariant(!entries_.empty(), "top of an empty split queue");
    return entries_.front();
  }

  // Up to `count` entries of the largest gains, in no set order, for work done ahead of their
  // turn, into `found` (whose storage the caller keeps from call to call). Every entry left out
  // has a gain no larger than any found. Returns the least gain found when `count` entries were
  // found (+infinity for none), else -infinity. The pointers stay valid until the next push or pop.
  float largest(std::size_t count, std::vector<PendingSplit*>& found) {
    found.clear();
    if (entries_.size() <= count) {
      float least = std::numeric_limits<float>::infinity();
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        found.push_back(&entries_[i]);
        least = std::min(least, gain(i));
      }
      return entries_.size() == count ? least : -std::numeric_limits<float>::infinity();
    }
    if (count == 0) return std::numeric_limits<float>::infinity();
    // Selected on a compact copy of the keys: the entries are large, and a comparison through
    // pointers to them misses the cache.
    keys_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) keys_.push_back({gain(i), static_cast<std::uint32_t>(i)});
    std::nth_element(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(count - 1), keys_.end(),
                     [](const Key& a, const Key& b) { return a.gain > b.gain; });
    for (std::size_t i = 0; i < count; ++i) found.push_back(&entries_[keys_[i].position]);
    // No entry before the selected one's place has a smaller gain.
    return keys_[count - 1].gain;
  }

  // The entry with the largest gain; the queue must not be empty.
  PendingSplit pop() {
    support::invariant(!entries_.empty(), "pop from an empty split queue");
    // The last entry takes the root's place, then sinks.
    std::swap(entries_.front(), entries_.back());
    PendingSplit top = std::move(entries_.back());
    entries_.pop_back();
    if (!entries_.empty()) sift_down_to_bottom();
    return top;
  }

 private:
  float gain(std::size_t i) const { return entries_[i].candidate.gain; }

  struct Key {
    float gain;
    std::uint32_t position;
  };

  void sift_up(std::size_t position) {
    while (position > 0) {
      const std::size_t parent = (position - 1) / 2;
      if (!(gain(position) > gain(parent))) break;
      std::swap(entries_[position], entries_[parent]);
      position = parent;
    }
  }

  // The root entry travels down to a leaf of the heap, always towards the child with the larger
  // gain (the right one unless the left is strictly larger), then rises while strictly larger
  // than its parent.
  void sift_down_to_bottom() {
    const std::size_t end = entries_.size();
    std::size_t position = 0;
    std::size_t child = 1;
    while (end >= 2 && child <= end - 2) {
      if (!(gain(child) > gain(child + 1))) ++child;
      std::swap(entries_[position], entries_[child]);
      position = child;
      child = 2 * position + 1;
    }
    if (child == end - 1) {
      std::swap(entries_[position], entries_[child]);
      position = child;
    }
    sift_up(position);
  }

  std::vector<PendingSplit> entries_;
  std::vector<Key> keys_;  // largest()'s scratch, kept from call to call
};

}  // namespace kestrune::engine::tree_build
