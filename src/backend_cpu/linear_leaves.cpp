#include "backend_cpu/linear_leaves.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

constexpr std::size_t kTerms = kMaxLinearLeafTerms;
constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// Applies `op(a, b)` to every entry of `into` and `from`, in one fixed order.
template <typename Op>
void combine(LeafNormalStats& into, const LeafNormalStats& from, Op op) {
  for (std::size_t i = 0; i < into.gram.size(); ++i) into.gram[i] = op(into.gram[i], from.gram[i]);
  for (std::size_t j = 0; j < kTerms; ++j) into.moments[j] = op(into.moments[j], from.moments[j]);
  into.grad_sum = op(into.grad_sum, from.grad_sum);
  into.hess_sum = op(into.hess_sum, from.hess_sum);
}

LeafNormalStats plus(LeafNormalStats a, const LeafNormalStats& b) {
  combine(a, b, [](float x, float y) { return x + y; });
  return a;
}

LeafNormalStats minus(LeafNormalStats a, const LeafNormalStats& b) {
  combine(a, b, [](float x, float y) { return x - y; });
  return a;
}

float finite_or_zero(float value) { return std::isfinite(value) ? value : 0.0f; }

void zero_non_finite(LeafNormalStats& stats) {
  for (float& entry : stats.gram) entry = finite_or_zero(entry);
  for (float& entry : stats.moments) entry = finite_or_zero(entry);
  stats.grad_sum = finite_or_zero(stats.grad_sum);
  stats.hess_sum = finite_or_zero(stats.hess_sum);
}

// Adds one row to its bin's record: each product is rounded to float32 before it is added. Only
// the upper triangle of the gram is kept: the solve reads nothing else.
void accumulate_row(LeafNormalStats& stats, const core::GradientPair& pair, const std::array<float, kTerms>& z,
                    std::size_t k) {
  stats.grad_sum = stats.grad_sum + pair.grad;
  stats.hess_sum = stats.hess_sum + pair.hess;
  for (std::size_t j = 0; j < k; ++j) {
    stats.moments[j] = stats.moments[j] + pair.grad * z[j];
    const float weighted = pair.hess * z[j];
    for (std::size_t m = j; m < k; ++m) stats.gram[j * kTerms + m] = stats.gram[j * kTerms + m] + weighted * z[m];
  }
}

// The per-bin records of the split feature over `rows`, ascending by bin; absent when a row
// lies outside the gradients or the raw values, or its bin exceeds `largest_bin`. Only bins
// that hold rows get a record: an absent bin's record would be all zero, and leaving it out of
// an ordered float sum that starts at +0 changes no bit.
template <typename Code>
std::optional<std::vector<BinNormalStats>> gather_bin_stats(std::span<const Code> codes,
                                                            const core::BinnedMatrix& binned,
                                                            std::span<const core::GradientPair> gradients,
                                                            const engine::LinearLeafPairRequest& request,
                                                            std::uint16_t largest_bin) {
  const std::size_t stride = request.raw_feature_count;
  const std::size_t k = request.term_feature_indices.size();
  std::vector<std::uint32_t> slot_of_bin(static_cast<std::size_t>(largest_bin) + 1, kNoSlot);
  std::vector<BinNormalStats> records;

  auto visit = [&](std::span<const std::uint32_t> rows) {
    for (const std::uint32_t row : rows) {
      if (row >= gradients.size()) return false;
      const std::optional<std::size_t> raw_base = support::checked_mul(row, stride);
      if (!raw_base || *raw_base > request.raw_values.size() || request.raw_values.size() - *raw_base < stride) {
        return false;
      }
      const std::optional<std::size_t> bin_base = support::checked_mul(row, binned.feature_count);
      if (!bin_base) return false;
      const std::optional<std::size_t> position = support::checked_add(*bin_base, request.split_feature_index);
      if (!position || *position >= codes.size()) {
        support::panic("linear leaf row " + std::to_string(row) + " reads a bin outside the binned matrix");
      }
      const std::uint16_t bin = codes[*position];
      if (bin > largest_bin) return false;

      // A NaN value contributes nothing for its term, as when the model is evaluated.
      std::array<float, kTerms> z{};
      for (std::size_t j = 0; j < k; ++j) {
        const std::uint32_t term = request.term_feature_indices[j];
        const float x = term < stride ? request.raw_values[*raw_base + term] : 0.0f;
        z[j] = std::isnan(x) ? 0.0f : x;
      }
      std::uint32_t& slot = slot_of_bin[bin];
      if (slot == kNoSlot) {
        slot = static_cast<std::uint32_t>(records.size());
        records.push_back(BinNormalStats{bin, {}});
      }
      accumulate_row(records[slot].stats, gradients[row], z, k);
    }
    return true;
  };
  // Which list a row came from does not matter, only its bin.
  if (!visit(request.left_rows) || !visit(request.right_rows)) return std::nullopt;

  for (BinNormalStats& record : records) zero_non_finite(record.stats);
  std::sort(records.begin(), records.end(),
            [](const BinNormalStats& a, const BinNormalStats& b) { return a.bin < b.bin; });
  return records;
}

}  // namespace

LeafNormalStatsPair leaf_linear_stats_for_split(std::span<const BinNormalStats> per_bin, std::uint16_t threshold_bin,
                                                std::uint16_t missing_bin, bool default_left) {
  LeafNormalStats missing;
  LeafNormalStats up_to_threshold;  // bins <= threshold and below the missing bin
  LeafNormalStats below_missing;    // every bin below the missing bin
  for (const BinNormalStats& record : per_bin) {
    if (record.bin == missing_bin) missing = record.stats;
    // Written as comparisons with the missing bin itself, so that missing bin 0 leaves no bin
    // below it instead of wrapping `missing_bin - 1` around.
    if (record.bin >= missing_bin) continue;
    if (record.bin <= threshold_bin) up_to_threshold = plus(up_to_threshold, record.stats);
    below_missing = plus(below_missing, record.stats);
  }
  const LeafNormalStats above_threshold = minus(below_missing, up_to_threshold);
  if (default_left) return {plus(up_to_threshold, missing), above_threshold};
  return {up_to_threshold, plus(missing, above_threshold)};
}

core::LinearLeaf solve_pl_leaf(const LeafNormalStats& stats, std::span<const std::uint32_t> terms, float scale,
                               float lambda) {
  const std::size_t k = std::min(terms.size(), kTerms);
  // A = upper triangle of the gram mirrored, plus lambda on the diagonal.
  std::array<float, kTerms * kTerms> a{};
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = r; c < k; ++c) {
      a[r * kTerms + c] = stats.gram[r * kTerms + c];
      a[c * kTerms + r] = stats.gram[r * kTerms + c];
    }
    a[r * kTerms + r] = a[r * kTerms + r] + lambda;
  }

  // Cholesky A = L L^T, row by row; a pivot that is not positive leaves every slope at zero.
  std::array<float, kTerms * kTerms> l{};
  std::array<float, kTerms> x{};
  bool factored = true;
  for (std::size_t i = 0; i < k && factored; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      float s = a[i * kTerms + j];
      for (std::size_t p = 0; p < j; ++p) s = s - l[i * kTerms + p] * l[j * kTerms + p];
      if (j == i) {
        if (s <= 0.0f) {
          factored = false;
          break;
        }
        l[i * kTerms + i] = std::sqrt(s);
      } else {
        l[i * kTerms + j] = s / l[j * kTerms + j];
      }
    }
  }
  if (factored) {
    std::array<float, kTerms> y{};
    for (std::size_t i = 0; i < k; ++i) {
      float s = -stats.moments[i];
      for (std::size_t p = 0; p < i; ++p) s = s - l[i * kTerms + p] * y[p];
      y[i] = s / l[i * kTerms + i];
    }
    for (std::size_t i = k; i-- > 0;) {
      float s = y[i];
      for (std::size_t p = i + 1; p < k; ++p) s = s - l[p * kTerms + i] * x[p];
      x[i] = s / l[i * kTerms + i];
    }
  }

  core::LinearLeaf leaf;
  leaf.coefficients.resize(k);
  for (std::size_t j = 0; j < k; ++j) leaf.coefficients[j] = x[j] * scale;
  leaf.feature_indices.assign(terms.begin(), terms.begin() + static_cast<std::ptrdiff_t>(k));
  leaf.intercept = -(scale * stats.grad_sum) / ((stats.hess_sum + lambda) + core::kLeafDenominatorEpsilon);
  return leaf;
}

std::optional<engine::LinearLeafPair> solve_pl_leaf_pair_from_partitions(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    const engine::LinearLeafPairRequest& request) {
  const std::size_t k = request.term_feature_indices.size();
  if (request.raw_feature_count == 0 || k == 0 || k > kTerms) return std::nullopt;
  if (request.split_feature_index >= binned.feature_count) return std::nullopt;

  const std::uint16_t largest_bin = std::max(binned.max_bin, binned.missing_bin);
  const std::optional<std::vector<BinNormalStats>> per_bin = binned.bins.visit(
      [&](auto codes) { return gather_bin_stats(codes, binned, gradients, request, largest_bin); });
  if (!per_bin) return std::nullopt;

  const LeafNormalStatsPair sides =
      leaf_linear_stats_for_split(*per_bin, request.threshold_bin, binned.missing_bin, request.default_left);
  return engine::LinearLeafPair{solve_pl_leaf(sides.left, request.term_feature_indices, request.scale, request.lambda),
                                solve_pl_leaf(sides.right, request.term_feature_indices, request.scale, request.lambda)};
}

}  // namespace kestrune::backend_cpu
