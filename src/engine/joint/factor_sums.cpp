#include "engine/joint/factor_sums.hpp"

#include "engine/joint/bin_codes.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

std::pair<std::vector<float>, std::vector<float>> accumulate_factor_sums_for_threshold(
    const core::BinnedMatrix& binned, const core::FactorExposureMatrix& exposures,
    std::span<const std::uint32_t> rows, std::size_t feature_index, std::uint16_t threshold_bin, bool is_categorical,
    std::uint64_t category_mask) {
  const std::size_t factors = exposures.factor_count;
  std::vector<float> left(factors, 0.0f);
  std::vector<float> right(factors, 0.0f);
  const std::uint16_t missing_bin = joint_missing_bin(binned);
  for (const std::uint32_t row : rows) {
    const std::uint16_t bin = joint_bin(binned, binned.feature_count, row, feature_index);
    if (bin == missing_bin) continue;
    bool goes_right = false;
    if (is_categorical) {
      goes_right = bin >= 64 || ((category_mask >> bin) & 1u) == 0;
    } else {
      goes_right = bin > threshold_bin;
    }
    const auto begin = support::checked_mul(row, factors);
    support::invariant(begin && *begin + factors <= exposures.values.size(), "exposure row outside the matrix");
    std::vector<float>& side = goes_right ? right : left;
    for (std::size_t j = 0; j < factors; ++j) side[j] += exposures.values[*begin + j];
  }
  return {std::move(left), std::move(right)};
}

}  // namespace kestrune::engine::joint
