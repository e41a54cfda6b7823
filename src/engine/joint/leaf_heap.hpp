// The open-node heap of the leaf-wise joint builder: a max-heap on the split gain kept as an
// implicit binary tree in an array. Equal gains have no other tie-break, so the order of splits
// among them is whatever these exact sift rules produce; a NaN gain compares equal to every gain.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "engine/joint/node_split.hpp"

namespace kestrune::engine::joint {

class JointCandidateHeap {
 public:
  bool empty() const noexcept { return items_.empty(); }
  std::size_t size() const noexcept { return items_.size(); }

  void push(JointLeafCandidate candidate) {
    items_.push_back(std::move(candidate));
    sift_up(items_.size() - 1);
  }

  // The root; the last element takes its place, sinks to the bottom along the larger children
  // and then rises as in push.
  std::optional<JointLeafCandidate> pop() {
    if (items_.empty()) return std::nullopt;
    JointLeafCandidate top = std::move(items_.back());
    items_.pop_back();
    if (items_.empty()) return top;
    std::swap(top, items_[0]);
    sift_down_to_bottom();
    return top;
  }

  // Gains in array order, for tests of the sift rules.
  std::vector<float> gains() const {
    std::vector<float> out;
    for (const JointLeafCandidate& item : items_) out.push_back(item.gain);
    return out;
  }

 private:
  static bool greater(float a, float b) { return a > b; }

  void sift_up(std::size_t hole) {
    JointLeafCandidate moving = std::move(items_[hole]);
    while (hole > 0) {
      const std::size_t parent = (hole - 1) / 2;
      if (!greater(moving.gain, items_[parent].gain)) break;
      items_[hole] = std::move(items_[parent]);
      hole = parent;
    }
    items_[hole] = std::move(moving);
  }

  void sift_down_to_bottom() {
    const std::size_t end = items_.size();
    JointLeafCandidate moving = std::move(items_[0]);
    std::size_t hole = 0;
    std::size_t child = 1;
    while (child + 1 < end) {
      if (!greater(items_[child].gain, items_[child + 1].gain)) child += 1;
      items_[hole] = std::move(items_[child]);
      hole = child;
      child = 2 * hole + 1;
    }
    if (child + 1 == end) {
      items_[hole] = std::move(items_[child]);
      hole = child;
    }
    items_[hole] = std::move(moving);
    sift_up(hole);
  }

  std::vector<JointLeafCandidate> items_;
};

}  // namespace kestrune::engine::joint
