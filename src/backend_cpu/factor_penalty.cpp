#include "backend_cpu/factor_penalty.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/error.hpp"
#include "engine/error.hpp"
#include "engine/routing.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

// Calls body(bin code, the row's K exposures) for every node row in order. Validation has put
// every row below the exposure (= binned) row count, so one check of the matrix shape covers
// every bin position r * F + feature.
template <typename Body>
void for_each_node_row(const engine::FactorSplitContext& context, std::uint32_t feature, Body&& body) {
  const core::BinnedMatrix& binned = context.binned;
  const std::size_t k = context.exposures.factor_count;
  const float* exposures = context.exposures.values.data();
  binned.bins.visit([&](auto codes) {
    std::size_t cells = 0;
    support::invariant(feature < binned.feature_count &&
                           !__builtin_mul_overflow(binned.row_count, binned.feature_count, &cells) &&
                           codes.size() >= cells,
                       "factor penalty reads a bin outside the binned matrix");
    const std::size_t stride = binned.feature_count;
    for (const std::uint32_t row : context.row_indices) {
      body(static_cast<std::uint16_t>(codes[row * stride + feature]), exposures + row * k);
    }
  });
}

void add_into(std::vector<float>& sums, const float* x) {
  for (std::size_t j = 0; j < sums.size(); ++j) sums[j] += x[j];
}

float scaled_penalty(float lambda, float sum_of_squares, std::size_t n) {
  return (lambda * sum_of_squares) / static_cast<float>(std::max<std::size_t>(n, 1));
}

}  // namespace

void validate_factor_split_context(const engine::FactorSplitContext& context) {
  const float lambda = context.penalty;
  if (!std::isfinite(lambda) || lambda < 0.0f) {
    throw engine::EngineError::contract_violation("factor split penalty must be finite and >= 0");
  }
  const core::FactorExposureMatrix& exposures = context.exposures;
  try {
    core::checked_factor_exposure_len(exposures);
    core::check_factor_exposures_finite(exposures.values);
  } catch (const core::CoreError& error) {
    throw engine::EngineError::contract_violation(error.message());
  }
  if (exposures.row_count != context.binned.row_count) {
    throw engine::EngineError::contract_violation(
        "factor_exposures row_count " + std::to_string(exposures.row_count) +
        " does not match binned matrix row_count " + std::to_string(context.binned.row_count));
  }
  for (const std::uint32_t row : context.row_indices) {
    if (row >= exposures.row_count) {
      throw engine::EngineError::contract_violation("factor split context row index " + std::to_string(row) +
                                                    " is out of bounds for row_count " +
                                                    std::to_string(exposures.row_count));
    }
  }
}

FactorSplitScratch::FactorSplitScratch(std::size_t factor_count)
    : left_sums(factor_count, 0.0f),
      right_sums(factor_count, 0.0f),
      missing_sums(factor_count, 0.0f),
      total_sums(factor_count, 0.0f) {}

void FactorSplitScratch::prepare_numeric_prefix(const engine::FactorSplitContext& context, std::uint32_t feature,
                                                std::size_t bin_count, std::size_t missing_bin) {
  const std::size_t k = context.exposures.factor_count;
  prepared_bin_count = bin_count;
  for (std::vector<float>* sums : {&left_sums, &right_sums, &missing_sums, &total_sums}) sums->assign(k, 0.0f);
  bin_sums.assign(bin_count * k, 0.0f);
  if (bin_count == 0 || context.penalty == 0.0f || context.row_indices.empty()) return;
  for_each_node_row(context, feature, [&](std::uint16_t bin, const float* x) {
    if (bin == missing_bin) {
      add_into(missing_sums, x);
      return;
    }
    if (bin < bin_count) {
      float* slot = bin_sums.data() + static_cast<std::size_t>(bin) * k;
      for (std::size_t j = 0; j < k; ++j) slot[j] += x[j];
    }
    // A bin past the scan limit (above a missing bin that is not the last) is never a threshold,
    // and the partition sends its rows right of every one: they stay in the right side's sums,
    // as they do in the split's gradient statistics.
    add_into(total_sums, x);
  });
}

void FactorSplitScratch::advance_numeric_prefix(std::size_t t) {
  const std::size_t k = left_sums.size();
  if (t >= prepared_bin_count || k == 0) return;
  add_into(left_sums, bin_sums.data() + t * k);
}

float FactorSplitScratch::numeric_prefix_penalty(bool default_left, std::size_t n, float left_value,
                                                 float right_value, float lambda) const {
  if (lambda == 0.0f) return 0.0f;
  float sum = 0.0f;
  for (std::size_t j = 0; j < left_sums.size(); ++j) {
    const float a = left_sums[j];
    const float c = missing_sums[j];
    const float d = total_sums[j];
    const float e = default_left ? (left_value * (a + c)) + (right_value * (d - a))
                                 : (left_value * a) + (right_value * (c + (d - a)));
    sum = sum + e * e;
  }
  return scaled_penalty(lambda, sum, n);
}

float factor_split_penalty_for_candidate(const engine::FactorSplitContext& context, FactorSplitScratch& scratch,
                                         const FactorPenaltyCandidate& candidate) {
  const float lambda = context.penalty;
  if (lambda == 0.0f) return 0.0f;
  std::fill(scratch.left_sums.begin(), scratch.left_sums.end(), 0.0f);
  std::fill(scratch.right_sums.begin(), scratch.right_sums.end(), 0.0f);
  support::invariant(scratch.left_sums.size() == context.exposures.factor_count &&
                         scratch.right_sums.size() == context.exposures.factor_count,
                     "factor scratch does not match the context's factor count");
  const std::uint16_t missing_bin = context.binned.missing_bin;
  for_each_node_row(context, candidate.feature_index, [&](std::uint16_t bin, const float* x) {
    bool left = false;
    if (bin == missing_bin) {
      left = candidate.default_left;
    } else if (candidate.category_bitset) {
      left = engine::category_goes_left(*candidate.category_bitset, bin);
    } else {
      left = bin <= candidate.threshold_bin;
    }
    add_into(left ? scratch.left_sums : scratch.right_sums, x);
  });
  float sum = 0.0f;
  for (std::size_t j = 0; j < scratch.left_sums.size(); ++j) {
    const float e = (candidate.left_value * scratch.left_sums[j]) + (candidate.right_value * scratch.right_sums[j]);
    sum = sum + e * e;
  }
  return scaled_penalty(lambda, sum, context.row_indices.size());
}

}  // namespace kestrune::backend_cpu
