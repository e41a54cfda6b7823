// Experiment switches and split-search overrides read from the process environment. Nothing is
// cached: every call reads the environment again.
#pragma once

#include <cstddef>
#include <optional>

namespace kestrune::engine {

// The split-search regularisers that every split search receives and from which the tree
// growers take the regularisers of their leaf values.
struct SplitSelectionOptions {
  std::optional<float> gradient_noise_strength;  // widens the L1 threshold when present and > 0
  std::size_t missing_bin = 255;
  float split_l2 = 0.0f;
  float split_l1 = 0.0f;
  float min_child_hess = 0.0f;     // a child's hessian sum must be strictly greater
  float min_leaf_magnitude = 0.0f;  // when > 0, refuse splits whose two leaf values are both smaller
  // A child must hold at least this many rows (the histogram's counts, the missing bin on the
  // side the candidate sends it). Searching with it, rather than refusing the chosen split
  // afterwards, lets a node fall back to its best split that the grower will accept.
  std::size_t min_rows_per_leaf = 1;
};

inline constexpr const char* kSplitL2Variable = "KESTRUNE_EXPERIMENT_SPLIT_L2";
inline constexpr const char* kSplitL1Variable = "KESTRUNE_EXPERIMENT_SPLIT_L1";
inline constexpr const char* kMinChildHessVariable = "KESTRUNE_EXPERIMENT_MIN_CHILD_HESS";
inline constexpr const char* kSplitMinLeafMagnitudeVariable = "KESTRUNE_EXPERIMENT_SPLIT_MIN_LEAF_MAGNITUDE";
inline constexpr const char* kEnableLeafRefinementVariable = "KESTRUNE_EXPERIMENT_ENABLE_LEAF_REFINEMENT";
inline constexpr const char* kForceManualPolicyVariable = "KESTRUNE_EXPERIMENT_FORCE_MANUAL_POLICY";

// On exactly when the value, trimmed of Unicode white space and lower-cased (ASCII), is "1",
// "on", "yes" or "true". Unset, not UTF-8 or anything else is off. Never fails.
bool env_toggle_enabled(const char* name);

// Unset, not UTF-8 or blank gives 0.0; otherwise a finite, non-negative float32 (negative zero
// passes as is) or EngineError::InvalidConfig naming the variable.
float parse_nonnegative_env_f32(const char* name);

// The four overrides, parsed in the order L2, L1, min child hessian, min leaf magnitude; the
// first failure is returned at once.
SplitSelectionOptions split_selection_options_from_env();

bool experiment_leaf_refinement_enabled();

}  // namespace kestrune::engine
