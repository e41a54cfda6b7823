// The factor split penalty: a split is charged for how much its two leaf values line up with the
// factor exposures of the node's rows. With v_L and v_R the children's unscaled values, E_L,f and
// E_R,f the sums of factor f's exposures over the rows sent left and right, n the node's rows
// and lambda the strength,
//
//   penalty = lambda * sum_f (v_L * E_L,f + v_R * E_R,f)^2 / max(n, 1).
//
// Numeric thresholds read E from per-bin exposure sums and a running prefix (one pass over the
// node's rows per feature); an arbitrary candidate (a category set) routes every row again.
// Float32 throughout, factors summed in ascending order, rows in the node's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/factor_split_context.hpp"

namespace kestrune::backend_cpu {

// Checks a context once before a search reads it; EngineError::ContractViolation, first failure
// in this order: a NaN, infinite or negative strength (negative zero passes); the exposure
// record's own shape and finiteness rules; exposure and binned row counts that differ; a node
// row outside the exposures.
void validate_factor_split_context(const engine::FactorSplitContext& context);

// One searched histogram's working sums, reused for every candidate of that histogram.
struct FactorSplitScratch {
  std::vector<float> left_sums;     // K: rows on the left (numeric scan: the prefix over bins 0..t)
  std::vector<float> right_sums;    // K: rows on the right (candidate routing only)
  std::vector<float> missing_sums;  // K: rows in the missing bin
  std::vector<float> total_sums;    // K: every non-missing row
  std::vector<float> bin_sums;      // prepared_bin_count x K, bin-major
  std::vector<std::uint8_t> bitset_buffer;  // one categorical candidate's left set
  std::size_t prepared_bin_count = 0;

  explicit FactorSplitScratch(std::size_t factor_count);

  // Fills missing_sums, total_sums and bin_sums for `feature` over the context's rows and resets
  // the running prefix. A row in `missing_bin` counts as missing; a row whose bin is at or above
  // `bin_count` (and not missing) has no bin sum but counts in the total, on the right of every
  // threshold. With no bins, no rows or a zero strength every sum stays 0. The context must have
  // been validated.
  void prepare_numeric_prefix(const engine::FactorSplitContext& context, std::uint32_t feature,
                              std::size_t bin_count, std::size_t missing_bin);

  // Adds bin t's sums to the running prefix; the threshold scan calls it before scoring t.
  void advance_numeric_prefix(std::size_t t);

  // The penalty of the current threshold with the missing rows on the `default_left` side.
  float numeric_prefix_penalty(bool default_left, std::size_t n, float left_value, float right_value,
                               float lambda) const;
};

// What the candidate penalty reads of a split.
struct FactorPenaltyCandidate {
  std::optional<std::span<const std::uint8_t>> category_bitset;  // present for a category-set split
  std::uint32_t feature_index = 0;
  float left_value = 0.0f;
  float right_value = 0.0f;
  std::uint16_t threshold_bin = 0;
  bool default_left = false;
};

// The penalty of any candidate, routing every node row as the partition will: the missing bin to
// the default side, then by the bitset when there is one (a category past its end goes right),
// else by the threshold. Uses the scratch's left and right sums; the context must have been
// validated.
float factor_split_penalty_for_candidate(const engine::FactorSplitContext& context, FactorSplitScratch& scratch,
                                         const FactorPenaltyCandidate& candidate);

}  // namespace kestrune::backend_cpu
