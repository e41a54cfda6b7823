// The path-dependent TreeSHAP recursion shared by SHAP values and SHAP interaction values: the tree
// form it runs on (leaves carrying their path's full value, splits their training-row shares) and
// one pass of the recursion over one tree for one row, plain or with one feature conditioned on
// (its value known, so it drops out of every subset) and off (its value unknown throughout).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/binning.hpp"
#include "shap/model_structure.hpp"

namespace kestrune::shap {

// One node of a tree form: a split (stump set) or a leaf carrying the sum of the side values on
// its path. The nodes of a tree sit in one flat list (children after their parent, found by
// position) rather than each split owning its children: a walk then reads contiguous memory, and
// a split keeps its left side's share of the training rows instead of its children's covers.
struct StdTreeNode {
  const engine::TrainedStump* stump = nullptr;
  std::int32_t left = -1;
  std::int32_t right = -1;
  double value = 0.0;          // leaves only
  double left_fraction = 0.5;  // splits only: the left side's share of the training rows
};

struct StdTree {
  std::vector<StdTreeNode> nodes;       // pre-order from the root
  std::size_t depth = 0;                // splits on the longest path
  std::vector<std::uint32_t> features;  // distinct split features, ascending
};

// The tree form of `tree` from its root, linear sides valued at the model's feature baseline.
StdTree build_std_tree(const StumpIndex& index, std::uint32_t tree, const engine::TrainedModel& model);

// The tree's output when no feature is known: leaves weighted by their training-row shares.
double expected_tree_value(const StdTree& tree);

// Every rooted tree of a model in its tree form, built once per explanation and shared by all rows.
struct ModelTreeForms {
  std::vector<StdTree> trees;  // ascending tree index
  std::size_t max_depth = 0;
  float expected_value = 0.0f;  // the base prediction plus each tree's expected value, in float64
};

ModelTreeForms build_model_tree_forms(const StumpIndex& index, const engine::TrainedModel& model);

struct PathElement {
  std::int32_t feature = -1;
  double zero_fraction = 0.0;
  double one_fraction = 0.0;
  double weight = 0.0;
};

// Path buffers for trees of at most `max_depth` splits: one slab per recursion level, so that a
// pass allocates nothing. One per thread.
class PathScratch {
 public:
  explicit PathScratch(std::size_t max_depth);
  PathElement* data() { return slabs_.data(); }
  std::size_t width() const { return width_; }
  // 1/k for k in [0, width]: the path's inner loops multiply by these instead of dividing.
  const double* reciprocals() const { return reciprocals_.data(); }

 private:
  std::size_t width_;  // a path holds at most one element per split plus the root's
  std::vector<PathElement> slabs_;
  std::vector<double> reciprocals_;
};

// Adds the tree's TreeSHAP values for `row` to phi (one entry per model feature; every split
// feature of the tree must be below phi's size). The tree's depth must fit `scratch`.
void add_tree_shap(const StdTree& tree, std::span<const float> row, const BinningContext* binning, PathScratch& scratch,
                   std::span<double> phi);

// The row's TreeSHAP values over every tree of `forms`, in tree order, into phi (overwritten; one
// entry per model feature).
void tree_shap_row(const ModelTreeForms& forms, std::span<const float> row, const BinningContext* binning,
                   PathScratch& scratch, std::span<double> phi);

// Adds the tree's TreeSHAP values for `row` with `feature` conditioned on (its value known in
// every subset) to phi_on, and with it conditioned off (unknown in every subset) to phi_off. Both
// come out of one traversal: the conditioned feature never enters the path, so the two differ only
// in the share of the row's weight each subtree keeps, and each gets exactly what a pass of its
// own would give.
void add_tree_shap_conditioned(const StdTree& tree, std::span<const float> row, const BinningContext* binning,
                               std::uint32_t feature, PathScratch& scratch, std::span<double> phi_on,
                               std::span<double> phi_off);

}  // namespace kestrune::shap
