// The K-output histogram of one node and what the joint round builders compute from it: the gain
// of a numeric threshold summed over the outputs, the best category subset of a categorical
// feature, and the K-vector leaf values of a chosen split's two children.
//
// For one output with gradient sum G and hessian sum H the score term is
// S(G, H) = G^2 / ((lambda_l2 + H) + eps), float32; the builders pass eps = 1e-6.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace kestrune::engine::joint {

// Two float32 per (feature, bin, output): the gradient sum at ((feature * n_bins + bin) * K + k) * 2
// and the hessian sum right after it.
struct MultiOutputHistogram {
  std::vector<float> data;
  std::size_t n_features = 0;
  std::size_t n_bins = 0;
  std::size_t n_outputs = 0;

  // All cells zero. The size is overflow-checked (panic on overflow).
  static MultiOutputHistogram zeroed(std::size_t n_features, std::size_t n_bins, std::size_t n_outputs);
  // Zeroes every cell for the next node, keeping the allocation when the shape still fits: a
  // builder keeps one histogram for the whole tree instead of allocating one per node.
  void reset(std::size_t features, std::size_t bins, std::size_t outputs);
  // Zeroes one feature's cells.
  void clear_feature(std::size_t feature);

  // Position of the gradient sum of (feature, bin, k); panics outside the histogram. Inline: the
  // scans read every cell once per threshold.
  std::size_t cell(std::size_t feature, std::size_t bin, std::size_t k) const {
    if (feature >= n_features || bin >= n_bins || k >= n_outputs) cell_out_of_range(feature, bin, k);
    return ((feature * n_bins + bin) * n_outputs + k) * 2;
  }
  float grad(std::size_t feature, std::size_t bin, std::size_t k) const { return data[cell(feature, bin, k)]; }
  float hess(std::size_t feature, std::size_t bin, std::size_t k) const { return data[cell(feature, bin, k) + 1]; }

 private:
  [[noreturn]] void cell_out_of_range(std::size_t feature, std::size_t bin, std::size_t k) const;
};

// S(G, H) above.
inline float multi_output_score(float grad, float hess, float lambda_l2, float eps) {
  return (grad * grad) / ((lambda_l2 + hess) + eps);
}

// Adds the node rows into one feature's cells: row i (bin bins[i]) adds grads[i * n_outputs + k]
// and hess[i * n_outputs + k] to output k's cell. Nothing happens for no rows or no outputs. A
// bin outside the histogram, short gradient lists or n_outputs above the histogram's K panic.
void build_multi_output_histogram_inplace(MultiOutputHistogram& histogram, std::size_t feature,
                                          std::span<const std::uint16_t> bins, std::span<const float> grads,
                                          std::span<const float> hess, std::size_t n_outputs);

// Sum over outputs (in order) of S(GL, HL) + S(GR, HR) - S(GL + GR, HL + HR), left being bins <= threshold
// and right the other bins of 0 .. n_bins - 1, each side summed in ascending bin order. 0 for K = 0.
float compute_multi_output_split_gain(const MultiOutputHistogram& histogram, std::size_t feature,
                                      std::size_t threshold, float lambda_l2, float eps);

// compute_multi_output_split_gain for every threshold 0 .. threshold_count - 1 of one feature,
// bit for bit, written to gains (resized). The left sums are a running prefix; each right sum is
// still added in ascending bin order, skipping only empty cells (adding +0 changes no sum here,
// since sums start at +0 and never become -0).
void multi_output_threshold_gains(const MultiOutputHistogram& histogram, std::size_t feature,
                                  std::size_t threshold_count, float lambda_l2, float eps, std::vector<float>& gains);

// A category subset: bit c of mask set sends category c left, everything else goes right.
struct MultiOutputCategoricalSplit {
  std::uint64_t mask = 0;
  float gain = 0.0f;
  std::uint32_t n_categories = 0;

  friend bool operator==(const MultiOutputCategoricalSplit&, const MultiOutputCategoricalSplit&) = default;
};

// Whether both children of a split keep at least min_rows rows, the missing rows joining the side
// with more non-missing rows (the left one on a tie), as the partition places them.
inline bool children_keep_min_rows(std::uint64_t left, std::uint64_t right, std::uint64_t missing,
                                   std::uint32_t min_rows) {
  if (left >= right) {
    left += missing;
  } else {
    right += missing;
  }
  return left >= min_rows && right >= min_rows;
}

// The node's row counts a category search checks each prefix against: rows per category bin
// (0 .. n_categories - 1), all non-missing rows, missing rows.
struct CategoryRowLimit {
  std::span<const std::uint32_t> category_rows;
  std::uint64_t non_missing_rows = 0;
  std::uint64_t missing_rows = 0;
  std::uint32_t min_rows = 1;
};

// Categories 0 .. n_categories - 1 ordered by output 0's G / ((H + lambda_l2) + eps), ascending.
// A stable insertion sort with a plain less-than: deterministic whatever the keys (NaN keys
// compare neither less nor greater), and it never reads outside the list. n_categories <= 64.
std::vector<std::uint32_t> order_categories_by_output0(const MultiOutputHistogram& histogram, std::size_t feature,
                                                       std::size_t n_categories, float lambda_l2, float eps);

// The best prefix of the ordered categories (at least one category stays right) by the summed
// gain; only a positive gain wins, the earliest of equal gains. None for fewer than 2 or more than
// 64 categories, or K = 0. Bins at or above n_categories (the missing bin among them) are on
// neither side. With a limit, prefixes that would leave a child below its minimum rows are skipped.
std::optional<MultiOutputCategoricalSplit> find_best_multi_output_categorical_split(
    const MultiOutputHistogram& histogram, std::size_t feature, std::size_t n_categories, float lambda_l2, float eps,
    const CategoryRowLimit* limit = nullptr);

// The children's K-vectors: per output, v = -g' / ((lambda_l2 + H) + eps) with g' the side's
// gradient sum soft-thresholded by max(lambda_l1, 0) (leaf_effective_gradient with count 1 and no
// squared sum, so `strength` adds nothing). No learning rate. Left = bins <= threshold.
using KVectorPair = std::pair<std::vector<float>, std::vector<float>>;
KVectorPair derive_kvec_leaves_from_threshold_histogram(const MultiOutputHistogram& histogram, std::size_t feature,
                                                        std::size_t threshold, std::optional<float> strength,
                                                        float lambda_l2, float eps, float lambda_l1);
// The same for a category set: categories 0 .. min(n_categories, 64) - 1 go left when their bit is
// set, right otherwise; other bins are on neither side.
KVectorPair derive_kvec_leaves_from_categorical_histogram(const MultiOutputHistogram& histogram, std::size_t feature,
                                                          std::uint64_t mask, std::size_t n_categories,
                                                          std::optional<float> strength, float lambda_l2, float eps,
                                                          float lambda_l1);

}  // namespace kestrune::engine::joint
