// The node-level machinery both joint round builders share: the tree's fixed draws and tables,
// the split search of one node (gains, factor penalty, tie-breaks, minimum child rows, acceptance),
// the partition with its missing-value rule, the children's K-vectors, and the split record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/interaction.hpp"
#include "engine/joint/build_round.hpp"
#include "engine/joint/shared_histogram.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::joint {

// One evaluated node waiting to be split: the whole split decision, both children's rows (missing
// rows already on their side) and K-vectors, so splitting it needs no further search.
struct JointLeafCandidate {
  std::optional<std::uint64_t> interaction_mask;
  std::uint32_t split_kind = 0;  // 0 numeric threshold, 1 category set
  std::uint64_t category_set = 0;
  std::vector<std::uint32_t> node_rows;
  std::uint32_t node_id = 0;
  std::vector<std::uint32_t> left_rows;
  std::vector<std::uint32_t> right_rows;
  std::vector<float> left_values;
  std::vector<float> right_values;
  ChildStats left_stats;
  ChildStats right_stats;
  std::uint32_t feature_index = 0;
  float gain = 0.0f;
  std::uint16_t threshold_bin = 0;
  bool missing_left = false;
};

// Request checks shared by both builders, each throwing JointError with its message.
void check_gradient_lengths(const JointRoundRequest& request);
void check_factor_exposures(const JointRoundRequest& request);
std::optional<InteractionConstraintIndex> build_interaction_index(const JointRoundRequest& request);

// The fixed state of one tree: working gradients, feature draw, categorical table, penalty
// settings and the one histogram buffer every node reuses.
class JointNodeSplitter {
 public:
  JointNodeSplitter(const JointRoundRequest& request, std::optional<InteractionConstraintIndex> interactions);

  // The request's rows, or all rows in order.
  std::vector<std::uint32_t> root_rows() const;
  // The root's constraint mask: all groups, or absent without constraints.
  std::optional<std::uint64_t> root_mask() const;
  // The mask both children of a split on `feature` receive.
  std::optional<std::uint64_t> child_mask(const std::optional<std::uint64_t>& mask, std::uint32_t feature) const;

  // The node's best admissible split, or nothing when the node stays a leaf: too few rows, no
  // candidate with a positive gain whose sides both keep min_data_in_leaf rows, a best gain below
  // min_split_gain, or children whose ids would not fit the tree's id space.
  std::optional<JointLeafCandidate> evaluate(std::vector<std::uint32_t> rows, std::uint32_t node_id,
                                             std::optional<std::uint64_t> mask);

  // The split record of a candidate (local node id, tree weight 1).
  static TrainedStump stump_of(const JointLeafCandidate& candidate);

 private:
  struct Best;
  void fill_histogram(const std::vector<std::uint32_t>& rows, const std::optional<std::uint64_t>& mask);
  bool allowed(const std::optional<std::uint64_t>& mask, std::size_t feature) const;
  bool sides_admissible(std::size_t feature, std::size_t threshold) const;
  float penalised(float gain, const std::vector<std::uint32_t>& rows, std::size_t feature, std::size_t threshold,
                  bool categorical, std::uint64_t set, std::size_t n_categories) const;
  void search_numeric(const std::vector<std::uint32_t>& rows, std::size_t feature, Best& best);
  void search_categorical(const std::vector<std::uint32_t>& rows, std::size_t feature, std::size_t n_categories,
                          Best& best);
  std::vector<float> leaf_values(const std::vector<std::uint32_t>& rows) const;
  ChildStats child_stats(const std::vector<std::uint32_t>& rows) const;

  const JointRoundRequest& request_;
  std::optional<InteractionConstraintIndex> interactions_;
  std::size_t n_rows_ = 0;
  std::size_t n_features_ = 0;
  std::size_t n_outputs_ = 0;
  std::size_t n_bins_ = 0;
  std::size_t threshold_count_ = 0;
  std::uint16_t missing_bin_ = 255;
  std::uint32_t min_rows_ = 1;
  std::vector<float> grad_;  // row-major n_rows x K
  std::vector<float> hess_;
  std::vector<bool> sampled_;
  std::vector<std::size_t> category_counts_;  // 0 for a numeric feature
  bool factor_active_ = false;
  std::optional<float> dro_radius_;
  MultiOutputHistogram histogram_;
  std::vector<std::uint32_t> bin_rows_;  // rows per (feature, bin) of the current node
  std::vector<float> node_grad_, node_hess_;
  std::vector<std::uint16_t> node_bins_;
  std::vector<float> gains_;
};

}  // namespace kestrune::engine::joint
