#include "quantization/matrix_preparation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "engine/error.hpp"
#include "quantization/feature_statistics.hpp"
#include "quantization/kernels.hpp"
#include "quantization/linear_tail.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::quantization {
namespace {

constexpr std::size_t kMinMaxBins = 2;
constexpr std::size_t kMaxMaxBins = 65535;
constexpr std::size_t kLargestU8Storage = 255;
// Whole numbers within this distance count as bin codes.
constexpr float kWholeTolerance = 1e-6f;

bool wide_storage(std::size_t max_bins) { return max_bins > kLargestU8Storage; }

// The code that marks a missing value in quantized storage, and also the largest value an
// already-binned matrix may hold.
std::uint16_t missing_code(std::size_t max_bins) {
  return wide_storage(max_bins) ? static_cast<std::uint16_t>(max_bins - 1) : kU8MissingBin;
}

// Where the codes of an already-binned matrix go: their width and the code a missing value takes.
struct BinLayout {
  bool wide = false;
  std::uint16_t missing = kU8MissingBin;
};

BinLayout usual_layout(std::size_t max_bins) { return BinLayout{wide_storage(max_bins), missing_code(max_bins)}; }

// For a matrix that holds the usual missing code as a value: that value is an ordinary bin (the
// predictor reads it as one), so missing values take the next code. Past 255 only 16-bit codes
// hold it; max_bins is at most 65535, so the next code always fits.
BinLayout layout_past_largest_value(std::size_t max_bins) {
  return BinLayout{true, static_cast<std::uint16_t>(missing_code(max_bins) + 1)};
}

// Codes of either width, with their largest value and optional float copy.
struct Codes {
  std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>> bins;
  std::vector<float> float_values;
  std::uint16_t max_code = 0;
};

template <typename Code>
Codes from_kernel(QuantizedDenseValues<Code> quantized) {
  return Codes{std::move(quantized.bins), std::move(quantized.float_values), quantized.max_code};
}

// The view's errors pass through as core errors, with one exception: counts whose product does
// not fit a size are the caller's mistake, not a shape the data could have (no buffer holds that
// many values), so that length error is a contract violation, worded as the view words it.
core::DenseMatrixView checked_view(std::span<const float> values, std::size_t row_count, std::size_t feature_count) {
  try {
    return core::DenseMatrixView::make(row_count, feature_count, values);
  } catch (const core::CoreError& error) {
    if (!support::checked_mul(row_count, feature_count)) {
      throw engine::EngineError::contract_violation(error.display());
    }
    throw engine::EngineError(error);
  }
}

void check_targets(std::size_t row_count, std::size_t targets_length) {
  if (targets_length != row_count) {
    throw engine::EngineError::contract_violation("rows length " + std::to_string(row_count) +
                                                  " does not match targets length " + std::to_string(targets_length));
  }
}

[[noreturn]] void throw_infinite(std::size_t row, std::size_t feature) {
  throw engine::EngineError::contract_violation("row " + std::to_string(row) + " feature " + std::to_string(feature) +
                                                " must not be infinite");
}

// What the one pass over the values learns: whether every value is a whole non-negative number,
// and the largest value that is not a NaN (-inf when there is none).
struct ValueScan {
  bool binned = false;
  float largest = -std::numeric_limits<float>::infinity();
};

// One pass: refuses infinities, tells whether every value is a whole non-negative number and
// finds the largest value.
ValueScan scan_values(const core::DenseMatrixView& view, bool detect_binned) {
  ValueScan scan{detect_binned};
  for (std::size_t row = 0; row < view.row_count; ++row) {
    const std::span<const float> values = view.row(row);
    for (std::size_t feature = 0; feature < values.size(); ++feature) {
      const float x = values[feature];
      if (std::isinf(x)) throw_infinite(row, feature);
      // NaN fails every test: it clears the flag and is never the largest.
      if (scan.binned && !(x >= 0.0f && std::fabs(x - std::round(x)) <= kWholeTolerance)) scan.binned = false;
      if (x > scan.largest) scan.largest = x;
    }
  }
  return scan;
}

// The layout of bin values whose largest is `largest`: past that value when it rounds to the
// usual missing code (a larger one is refused while converting), else the usual one.
BinLayout bin_value_layout(std::size_t max_bins, float largest) {
  const BinLayout usual = usual_layout(max_bins);
  return std::round(largest) == static_cast<float>(usual.missing) ? layout_past_largest_value(max_bins) : usual;
}

// Already-binned values (training) or values of a model trained on such (validation): each value
// rounded to its code, NaN to the layout's missing code. `prefix` starts the refusal message
// ("value" or "validation value").
template <typename Code>
Codes codes_from_bin_values(std::span<const float> values, std::size_t max_bins, std::uint16_t missing,
                            bool keep_dense_values, const char* prefix) {
  const std::uint16_t largest_allowed = missing_code(max_bins);
  Codes codes;
  std::vector<Code> bins;
  bins.reserve(values.size());
  if (keep_dense_values) codes.float_values.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float x = values[i];
    std::uint16_t code = missing;  // NaN: met only in validation rows
    if (!std::isnan(x)) {
      const float rounded = std::round(x);
      if (rounded > static_cast<float>(largest_allowed)) {
        throw engine::EngineError::contract_violation(std::string(prefix) + " at index " + std::to_string(i) +
                                                      " exceeds max supported bin " + std::to_string(largest_allowed));
      }
      code = rounded < 0.0f ? std::uint16_t{0} : static_cast<std::uint16_t>(rounded);
    }
    bins.push_back(static_cast<Code>(code));
    if (keep_dense_values) codes.float_values.push_back(static_cast<float>(code));
    codes.max_code = std::max(codes.max_code, code);
  }
  codes.bins = std::move(bins);
  return codes;
}

Codes bin_values_to_codes(std::span<const float> values, std::size_t max_bins, BinLayout layout,
                          bool keep_dense_values, const char* prefix) {
  if (layout.wide) {
    return codes_from_bin_values<std::uint16_t>(values, max_bins, layout.missing, keep_dense_values, prefix);
  }
  return codes_from_bin_values<std::uint8_t>(values, max_bins, layout.missing, keep_dense_values, prefix);
}

Codes quantize_with(std::span<const float> values, std::size_t row_count, std::size_t feature_count,
                    ContinuousBinningStrategy strategy, const ContinuousBinningMetadataInternal& metadata,
                    bool keep_dense_values, std::size_t max_bins) {
  if (wide_storage(max_bins)) {
    return from_kernel(quantize_dense_values_with_metadata_wide(values, row_count, feature_count, strategy, metadata,
                                                                keep_dense_values,
                                                                static_cast<std::uint16_t>(max_bins - 2)));
  }
  return from_kernel(
      quantize_dense_values_with_metadata(values, row_count, feature_count, strategy, metadata, keep_dense_values));
}

ContinuousBinningMetadataInternal derive_metadata(std::span<const float> values, std::size_t row_count,
                                                  std::size_t feature_count, ContinuousBinningStrategy strategy,
                                                  std::size_t max_bins) {
  ContinuousBinningMetadataInternal metadata;
  metadata.uses_continuous_binning = true;
  switch (strategy) {
    case ContinuousBinningStrategy::Linear: {
      auto [minima, maxima] = derive_dense_feature_bounds(values, row_count, feature_count);
      metadata.feature_mins = std::move(minima);
      metadata.feature_maxs = std::move(maxima);
      if (linear_tail_rank_enabled_from_env()) {
        std::vector<std::vector<float>> sorted = derive_dense_sorted_feature_values(values, row_count, feature_count);
        const float threshold = linear_tail_core_span_ratio_threshold_from_env();
        std::vector<bool> flags = derive_linear_tail_rank_plan(sorted, threshold);
        if (std::find(flags.begin(), flags.end(), true) != flags.end()) metadata.feature_sorted_values = std::move(sorted);
        metadata.feature_linear_rank_flags = std::move(flags);
      }
      break;
    }
    case ContinuousBinningStrategy::Rank:
      metadata.feature_sorted_values = derive_dense_sorted_feature_values(values, row_count, feature_count);
      break;
    case ContinuousBinningStrategy::Quantile:
      metadata.feature_quantile_cuts = derive_dense_feature_quantile_cuts(values, row_count, feature_count, max_bins);
      break;
  }
  return metadata;
}

PreparedTrainingMatrices assemble(Codes codes, std::size_t row_count, std::size_t feature_count,
                                  std::span<const float> targets, std::optional<std::vector<std::int64_t>> time_index,
                                  std::optional<std::vector<float>> sample_weights,
                                  std::optional<std::vector<std::uint32_t>> group_id, BinLayout layout,
                                  bool keep_dense_values, ContinuousBinningMetadataInternal metadata) {
  return engine::with_core_errors([&] {
    core::TrainingDataset dataset{
        keep_dense_values ? core::DatasetMatrix::make(row_count, feature_count, std::move(codes.float_values))
                          : core::DatasetMatrix::make_metadata_only(row_count, feature_count),
        std::vector<float>(targets.begin(), targets.end()),
        std::move(sample_weights),
        std::move(time_index),
        std::move(group_id),
        std::nullopt,
    };
    const std::uint16_t max_bin = std::max<std::uint16_t>(codes.max_code, 1);
    // 8-bit matrices always mark missing values with 255.
    support::invariant(layout.wide || layout.missing == kU8MissingBin,
                       "8-bit codes with a missing code other than 255");
    core::BinnedMatrix binned =
        layout.wide ? core::BinnedMatrix::make_u16(row_count, feature_count, max_bin, layout.missing,
                                                   std::get<std::vector<std::uint16_t>>(std::move(codes.bins)))
                    : core::BinnedMatrix::make(row_count, feature_count, max_bin,
                                               std::get<std::vector<std::uint8_t>>(std::move(codes.bins)));
    return PreparedTrainingMatrices{std::move(binned), std::move(dataset), std::move(metadata)};
  });
}

}  // namespace

PreparedTrainingMatrices prepare_training_matrices_from_dense_values(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count, std::span<const float> targets,
    std::optional<std::vector<std::int64_t>> time_index, std::optional<std::vector<float>> sample_weights,
    std::optional<std::vector<std::uint32_t>> group_id, ContinuousBinningStrategy strategy, std::size_t max_bins,
    bool keep_dense_values) {
  if (max_bins < kMinMaxBins || max_bins > kMaxMaxBins) {
    throw engine::EngineError::invalid_config("continuous_binning_max_bins must be in [" + std::to_string(kMinMaxBins) +
                                              ", " + std::to_string(kMaxMaxBins) + "]");
  }
  const core::DenseMatrixView view = checked_view(values, row_count, feature_count);
  check_targets(row_count, targets.size());
  const ValueScan scan = scan_values(view, true);

  ContinuousBinningMetadataInternal metadata;
  Codes codes;
  BinLayout layout = usual_layout(max_bins);
  if (scan.binned) {
    layout = bin_value_layout(max_bins, scan.largest);
    codes = bin_values_to_codes(values, max_bins, layout, keep_dense_values, "value");
  } else {
    metadata = derive_metadata(values, row_count, feature_count, strategy, max_bins);
    codes = quantize_with(values, row_count, feature_count, strategy, metadata, keep_dense_values, max_bins);
  }
  return assemble(std::move(codes), row_count, feature_count, targets, std::move(time_index), std::move(sample_weights),
                  std::move(group_id), layout, keep_dense_values, std::move(metadata));
}

PreparedTrainingMatrices prepare_validation_matrices_from_dense_values(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count, std::span<const float> targets,
    std::optional<std::vector<std::int64_t>> time_index, std::optional<std::vector<float>> sample_weights,
    std::optional<std::vector<std::uint32_t>> group_id, ContinuousBinningStrategy strategy,
    const ContinuousBinningMetadataInternal& training_metadata, bool keep_dense_values, std::size_t max_bins,
    std::uint16_t training_missing_bin) {
  // The training call checked max_bins with the same value.
  support::invariant(max_bins >= kMinMaxBins && max_bins <= kMaxMaxBins, "validation max_bins was validated");
  check_targets(row_count, targets.size());
  const core::DenseMatrixView view = checked_view(values, row_count, feature_count);
  const ValueScan scan = scan_values(view, false);
  Codes codes;
  BinLayout layout = usual_layout(max_bins);
  if (training_metadata.uses_continuous_binning) {
    codes = quantize_with(values, row_count, feature_count, strategy, training_metadata, keep_dense_values, max_bins);
  } else {
    // Validation rows read their values as the training rows did: past a training matrix's moved
    // missing code too, and past their own when they hold the usual one.
    const BinLayout past = layout_past_largest_value(max_bins);
    support::invariant(training_missing_bin == layout.missing || training_missing_bin == past.missing,
                       "already-binned training matrix with a missing code of neither layout");
    layout = training_missing_bin == past.missing ? past : bin_value_layout(max_bins, scan.largest);
    codes = bin_values_to_codes(values, max_bins, layout, keep_dense_values, "validation value");
  }
  return assemble(std::move(codes), row_count, feature_count, targets, std::move(time_index), std::move(sample_weights),
                  std::move(group_id), layout, keep_dense_values, training_metadata);
}

}  // namespace kestrune::quantization
