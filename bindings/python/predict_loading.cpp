#include "predict_loading.hpp"

#include <string>

#include "engine/error.hpp"
#include "engine/trained_model.hpp"
#include "errors.hpp"
#include "predictor/error.hpp"
#include "quantization/prediction_quantizers.hpp"
#include "support/casts.hpp"

namespace kestrune::python {
namespace {

constexpr std::uint32_t kStrictRequiredSections = 0;
constexpr std::uint16_t kDefaultTopBin = 254;

void check_bounds_lengths(std::span<const float> feature_mins, std::span<const float> feature_maxs,
                          std::size_t feature_count) {
  if (feature_mins.size() != feature_count || feature_maxs.size() != feature_count) {
    throw PythonError::value_error("feature_mins/feature_maxs length must match feature_count");
  }
}

[[noreturn]] void fail_strict_check(const engine::EngineError& error) {
  throw predictor::PredictorError::invalid_model("canonical predictor path requires strict dual-section artifact: " +
                                                 error.display());
}

}  // namespace

predictor::Predictor load_predictor_from_artifact_impl(std::span<const std::uint8_t> artifact_bytes, bool strict) {
  if (strict) {
    try {
      (void)engine::TrainedModel::from_artifact_bytes_with_mode(artifact_bytes, kStrictRequiredSections);
    } catch (const engine::EngineError& error) {
      fail_strict_check(error);
    } catch (const core::CoreError& error) {
      fail_strict_check(engine::EngineError(error));
    }
  }
  return predictor::Predictor::from_artifact_bytes(artifact_bytes);
}

std::vector<float> predict_dense_quantized_linear(const predictor::Predictor& predictor, std::span<const float> values,
                                                  std::size_t row_count, std::size_t feature_count,
                                                  std::span<const float> feature_mins,
                                                  std::span<const float> feature_maxs,
                                                  std::optional<std::uint16_t> max_data_bin) {
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  const std::vector<float> bins = quantization::quantize_dense_values_linear_inplace_wide(
      values, row_count, feature_count, feature_mins, feature_maxs, max_data_bin.value_or(kDefaultTopBin));
  return predictor.predict_batch_dense_binned(bins, values, row_count, feature_count);
}

std::vector<float> predict_dense_quantized_linear_rank(
    const predictor::Predictor& predictor, std::span<const float> values, std::size_t row_count,
    std::size_t feature_count, std::span<const float> feature_mins, std::span<const float> feature_maxs,
    const std::vector<bool>& rank_flags, std::span<const std::vector<float>> feature_sorted_values,
    std::optional<std::uint16_t> max_data_bin) {
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  if (rank_flags.size() != feature_count || feature_sorted_values.size() != feature_count) {
    throw PythonError::value_error("rank_flags/feature_sorted_values length must match feature_count");
  }
  const std::vector<float> bins = quantization::quantize_dense_values_linear_rank_inplace_wide(
      values, row_count, feature_count, feature_mins, feature_maxs, rank_flags, feature_sorted_values,
      max_data_bin.value_or(kDefaultTopBin));
  return predictor.predict_batch_dense_binned(bins, values, row_count, feature_count);
}

std::vector<float> predict_dense_quantized_linear_bytes(const predictor::Predictor& predictor,
                                                        std::span<const std::uint8_t> values_bytes,
                                                        std::size_t row_count, std::size_t feature_count,
                                                        std::span<const float> feature_mins,
                                                        std::span<const float> feature_maxs) {
  if (values_bytes.size() % sizeof(float) != 0) {
    throw PythonError::value_error("values_bytes length must be a multiple of 4 (f32)");
  }
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  // Callers may hand a larger buffer whose head holds the batch; only that head is read. A zero
  // feature count, an overflowing size or a short buffer is left to the quantizer to refuse.
  if (const auto cells = support::checked_mul(row_count, feature_count); cells && feature_count != 0) {
    if (const auto needed = support::checked_mul(*cells, sizeof(float)); needed && values_bytes.size() > *needed) {
      values_bytes = values_bytes.first(*needed);
    }
  }
  const std::vector<float> bins =
      quantization::quantize_f32_bytes_linear(values_bytes, row_count, feature_count, feature_mins, feature_maxs);
  return predictor.predict_batch_dense_binned_bytes(bins, values_bytes, row_count, feature_count);
}

}  // namespace kestrune::python
