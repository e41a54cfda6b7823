// Multiclass softmax over K per-class margins. Not a contract implementor: gradients are computed
// for one class at a time from the margins of every class, by the multiclass boosting loop.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// margins[k][i]: margin of class k for row i; every list holds the row count.
using ClassMargins = std::span<const std::span<const float>>;

class MultiClassSoftmaxObjective {
 public:
  // "multiclass_softmax requires at least 2 classes, got {}" (EngineError::InvalidConfig).
  static MultiClassSoftmaxObjective make(std::size_t num_classes);

  std::size_t num_classes() const noexcept { return num_classes_; }

  // Every class starts from margin 0.
  std::vector<float> initial_predictions() const;

  // Softmax pairs of class `class_index` for every row, written into `out` (cleared, storage
  // kept). A row's class is its label truncated toward zero (negative and NaN labels are class 0);
  // a class outside [0, K) is rejected.
  void compute_gradients_for_class(ClassMargins margins, std::span<const float> targets, const Weights& weights,
                                   std::size_t class_index, std::vector<GradientPair>& out) const;

  // Weighted mean negative log-likelihood of each row's class, divided by the weight sum (0 when
  // that sum is not positive).
  float loss(ClassMargins margins, std::span<const float> targets, const Weights& weights) const;

  // The same operations over per-class vectors.
  void compute_gradients_for_class(const std::vector<std::vector<float>>& margins, std::span<const float> targets,
                                   const Weights& weights, std::size_t class_index,
                                   std::vector<GradientPair>& out) const;
  float loss(const std::vector<std::vector<float>>& margins, std::span<const float> targets,
             const Weights& weights) const;

 private:
  explicit MultiClassSoftmaxObjective(std::size_t num_classes) : num_classes_(num_classes) {}
  std::size_t num_classes_;
};

}  // namespace kestrune::engine::objectives
