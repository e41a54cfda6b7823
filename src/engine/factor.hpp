// Factor neutralization: removing from a per-row vector the part that known factor exposures
// explain, so that a model cannot learn it. With X the rows-by-factors exposure matrix, W the
// diagonal of the sample weights (the identity without weights) and lambda the ridge term,
//
//   v <- v - X beta,   beta = (X^T W X + lambda I)^-1 X^T W v.
//
// The regularized Gram matrix is factorized once (Cholesky, float64) when the projector is
// built; each projection then costs one pass over the rows for X^T W v, two triangular solves
// and one pass for the residuals. Everything runs serially on the calling thread, so results
// are the same whatever the pool size.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/dataset.hpp"
#include "core/histogram.hpp"
#include "core/neutralization.hpp"

namespace kestrune::engine {

// Pivots at or below this bound mean the exposures are (numerically) collinear.
inline constexpr double kFactorPivotFloor = 1e-12;

class FactorProjector {
 public:
  // Borrows `exposures` and `sample_weights` for the projector's lifetime: the caller keeps
  // both alive and unchanged while the projector is used.
  //
  // ContractViolation "sample_weight length must match factor_exposures row_count" for a weight
  // list of the wrong length, "factor exposure Gram matrix is singular; increase
  // factor_neutralization_lambda" for a pivot <= 1e-12. A malformed exposure record fails as
  // EngineError::Core with the record's own error. A NaN pivot (non-finite weights or lambda)
  // is not caught here: it reaches every projected value, and the projections refuse it.
  static FactorProjector make(const core::FactorExposureMatrix& exposures,
                              std::optional<std::span<const float>> sample_weights, float lambda);
  // The projector keeps a pointer to the exposures: a temporary would dangle.
  static FactorProjector make(core::FactorExposureMatrix&& exposures, std::optional<std::span<const float>>,
                              float) = delete;

  // beta with L L^T beta = rhs, forward then backward substitution in float64.
  // ContractViolation "factor projection rhs length must match factor count".
  std::vector<double> solve_cholesky(std::span<const double> rhs) const;

  // Replaces every value by its residual. ContractViolation "value length must match
  // factor_exposures row_count", or "residualized value must be finite" when any residual
  // is NaN or infinite; on failure nothing is written.
  void residualize_values_in_place(std::span<float> values) const;

  // Replaces every gradient by its residual and leaves the hessians alone. ContractViolation
  // "gradient length must match factor_exposures row_count", or "projected gradient must be
  // finite"; on failure no pair changes.
  void project_gradient_pairs_in_place(std::span<core::GradientPair> pairs) const;

  std::size_t factor_count() const noexcept { return factor_count_; }
  std::size_t row_count() const noexcept { return exposures_->row_count; }
  // L, k x k row-major, strictly upper triangle 0.
  std::span<const double> cholesky_factor() const noexcept { return cholesky_; }

 private:
  FactorProjector(std::vector<double> cholesky, std::size_t factor_count, const core::FactorExposureMatrix& exposures,
                  std::optional<std::span<const float>> sample_weights)
      : cholesky_(std::move(cholesky)),
        factor_count_(factor_count),
        exposures_(&exposures),
        sample_weights_(sample_weights) {}

  // The residuals of `values` (one per row), all finite, or nullopt when one is not finite.
  // `values` is read through `value_at` so that gradients need no copy.
  template <typename ValueAt>
  std::optional<std::vector<float>> residuals(ValueAt value_at) const;

  std::vector<double> cholesky_;
  std::size_t factor_count_ = 0;
  const core::FactorExposureMatrix* exposures_;
  std::optional<std::span<const float>> sample_weights_;
};

// Residualizes the dataset's targets against its own exposures and sample weights, once,
// before training. ContractViolation "factor_exposures are required when neutralization is
// active" when the dataset carries no exposures, then "value length must match factor_exposures
// row_count" when the targets do not number the exposure rows; otherwise the projector's errors.
// On any error the targets are unchanged.
void apply_pre_target_neutralization(core::TrainingDataset& dataset, float lambda);

}  // namespace kestrune::engine
