#include "engine/objectives/multiclass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/error.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {
namespace {

// A row costs one exponential per class: a thread repays its wake-up from a few thousand
// exponentials on.
std::size_t rows_per_thread(std::size_t num_classes) { return std::max<std::size_t>(16384 / num_classes, 1); }

// Checks shared by both operations, in the order callers see them.
std::size_t checked_row_count(ClassMargins margins, std::size_t num_classes, std::span<const float> targets,
                              const Weights& weights) {
  if (margins.size() != num_classes) {
    throw EngineError::contract_violation("expected " + std::to_string(num_classes) + " class prediction arrays, got " +
                                          std::to_string(margins.size()));
  }
  const std::size_t n = margins[0].size();
  if (targets.size() != n) {
    throw EngineError::contract_violation("targets length " + std::to_string(targets.size()) +
                                          " does not match predictions length " + std::to_string(n));
  }
  if (weights && weights->size() != targets.size()) {
    throw EngineError::contract_violation("sample_weights length " + std::to_string(weights->size()) +
                                          " does not match predictions length " + std::to_string(n));
  }
  for (std::size_t k = 1; k < margins.size(); ++k) {
    if (margins[k].size() != n) {
      throw EngineError::contract_violation("class " + std::to_string(k) + " predictions length " +
                                            std::to_string(margins[k].size()) + " does not match predictions length " +
                                            std::to_string(n));
    }
  }
  return n;
}

// The class of a label, checked against the class count: the label indexes the margins.
std::size_t class_of(float label, std::size_t num_classes) {
  const std::uint64_t c = support::saturating_cast<std::uint64_t>(label);
  if (c >= num_classes) {
    throw EngineError::contract_violation("target class " + std::to_string(c) + " is out of range for " +
                                          std::to_string(num_classes) + " classes");
  }
  return static_cast<std::size_t>(c);
}

// Largest margin of row i; a NaN margin never becomes the maximum.
float row_max(ClassMargins margins, std::size_t i) {
  float m = -std::numeric_limits<float>::infinity();
  for (const auto& column : margins) {
    if (column[i] > m) m = column[i];
  }
  return m;
}

std::vector<std::span<const float>> as_spans(const std::vector<std::vector<float>>& margins) {
  return {margins.begin(), margins.end()};
}

}  // namespace

MultiClassSoftmaxObjective MultiClassSoftmaxObjective::make(std::size_t num_classes) {
  if (num_classes < 2) {
    throw EngineError::invalid_config("multiclass_softmax requires at least 2 classes, got " +
                                      std::to_string(num_classes));
  }
  return MultiClassSoftmaxObjective(num_classes);
}

std::vector<float> MultiClassSoftmaxObjective::initial_predictions() const {
  return std::vector<float>(num_classes_, 0.0f);
}

void MultiClassSoftmaxObjective::compute_gradients_for_class(ClassMargins margins, std::span<const float> targets,
                                                             const Weights& weights, std::size_t class_index,
                                                             std::vector<GradientPair>& out) const {
  const std::size_t n = checked_row_count(margins, num_classes_, targets, weights);
  out.clear();
  if (n == 0) return;
  if (class_index >= num_classes_) {
    support::panic("class index " + std::to_string(class_index) + " is out of range for " +
                   std::to_string(num_classes_) + " classes");
  }
  fill_or_clear(out, n, [&](std::span<GradientPair> pairs) {
    const std::span<const float> own = margins[class_index];
    for_row_chunks(n, rows_per_thread(num_classes_), [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; ++i) {
        const float m = row_max(margins, i);
        float sum = 0.0f;
        for (const auto& column : margins) sum += std::exp(column[i] - m);
        const float p = std::exp(own[i] - m) / sum;
        const float y = class_of(targets[i], num_classes_) == class_index ? 1.0f : 0.0f;
        const float w = weights ? (*weights)[i] : 1.0f;
        pairs[i] = GradientPair{(p - y) * w, floor_hessian((p * (1.0f - p)) * w)};
      }
    });
  });
}

float MultiClassSoftmaxObjective::loss(ClassMargins margins, std::span<const float> targets,
                                       const Weights& weights) const {
  const std::size_t n = checked_row_count(margins, num_classes_, targets, weights);
  // Each row's weighted log-likelihood comes from the pool; the two totals stay running sums in
  // row order.
  double total = 0.0;
  double weight_sum = 0.0;
  fold_terms_in_order<double>(
      n, rows_per_thread(num_classes_),
      [&](std::size_t i) {
        const std::size_t c = class_of(targets[i], num_classes_);
        const double w = weights ? static_cast<double>((*weights)[i]) : 1.0;
        const float m = row_max(margins, i);
        double sum = 0.0;
        for (const auto& column : margins) sum += std::exp(static_cast<double>(column[i] - m));
        const double z = static_cast<double>(margins[c][i] - m);
        return w * (z - std::log(sum));
      },
      [&](double term) { total -= term; });
  for (std::size_t i = 0; i < n; ++i) weight_sum += weights ? static_cast<double>((*weights)[i]) : 1.0;
  if (weight_sum <= 0.0) return 0.0f;
  return static_cast<float>(total / weight_sum);
}

void MultiClassSoftmaxObjective::compute_gradients_for_class(const std::vector<std::vector<float>>& margins,
                                                             std::span<const float> targets, const Weights& weights,
                                                             std::size_t class_index,
                                                             std::vector<GradientPair>& out) const {
  const auto spans = as_spans(margins);
  compute_gradients_for_class(ClassMargins(spans), targets, weights, class_index, out);
}

float MultiClassSoftmaxObjective::loss(const std::vector<std::vector<float>>& margins, std::span<const float> targets,
                                       const Weights& weights) const {
  const auto spans = as_spans(margins);
  return loss(ClassMargins(spans), targets, weights);
}

}  // namespace kestrune::engine::objectives
