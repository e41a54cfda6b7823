#include "engine/factor.hpp"

#include <cmath>
#include <string>

#include "engine/error.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {

namespace {

std::span<const float> exposure_row(const core::FactorExposureMatrix& exposures, std::size_t row) {
  return with_core_errors([&] { return exposures.row(row); });
}

std::size_t square_len(std::size_t k) {
  const std::optional<std::size_t> cells = support::checked_mul(k, k);
  // k is a count of values held in memory, so k * k cannot overflow in practice.
  support::invariant(cells.has_value(), "factor Gram matrix size overflows");
  return *cells;
}

}  // namespace

FactorProjector FactorProjector::make(const core::FactorExposureMatrix& exposures,
                                      std::optional<std::span<const float>> sample_weights, float lambda) {
  const std::size_t rows = exposures.row_count;
  if (sample_weights && sample_weights->size() != rows) {
    throw EngineError::contract_violation("sample_weight length must match factor_exposures row_count");
  }
  const std::size_t k = exposures.factor_count;

  // Lower triangle of X^T W X, rows in order; the upper triangle is never read.
  std::vector<double> gram(square_len(k), 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    const double w = sample_weights ? static_cast<double>((*sample_weights)[r]) : 1.0;
    const std::span<const float> x = exposure_row(exposures, r);
    for (std::size_t i = 0; i < k; ++i) {
      const double wx_i = w * static_cast<double>(x[i]);
      for (std::size_t j = 0; j <= i; ++j) gram[i * k + j] += wx_i * static_cast<double>(x[j]);
    }
  }
  const double ridge = static_cast<double>(lambda);
  for (std::size_t i = 0; i < k; ++i) gram[i * k + i] += ridge;

  // Cholesky in place, row by row. `!(s > floor)` would also reject a NaN pivot; the plain
  // comparison lets it through on purpose, and the projections' finiteness checks stop it.
  std::vector<double>& l = gram;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      double s = l[i * k + j];
      for (std::size_t m = 0; m < j; ++m) s -= l[i * k + m] * l[j * k + m];
      l[i * k + j] = s / l[j * k + j];
    }
    double s = l[i * k + i];
    for (std::size_t m = 0; m < i; ++m) s -= l[i * k + m] * l[i * k + m];
    if (s <= kFactorPivotFloor) {
      throw EngineError::contract_violation(
          "factor exposure Gram matrix is singular; increase factor_neutralization_lambda");
    }
    l[i * k + i] = std::sqrt(s);
    for (std::size_t j = i + 1; j < k; ++j) l[i * k + j] = 0.0;
  }
  return FactorProjector(std::move(gram), k, exposures, sample_weights);
}

std::vector<double> FactorProjector::solve_cholesky(std::span<const double> rhs) const {
  const std::size_t k = factor_count_;
  if (rhs.size() != k) throw EngineError::contract_violation("factor projection rhs length must match factor count");
  const std::vector<double>& l = cholesky_;
  std::vector<double> y(k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    double s = rhs[i];
    for (std::size_t j = 0; j < i; ++j) s -= l[i * k + j] * y[j];
    y[i] = s / l[i * k + i];
  }
  // L^T x = y: column i of L below the diagonal is row i of L^T right of it.
  std::vector<double> x(k, 0.0);
  for (std::size_t i = k; i-- > 0;) {
    double s = y[i];
    for (std::size_t j = i + 1; j < k; ++j) s -= l[j * k + i] * x[j];
    x[i] = s / l[i * k + i];
  }
  return x;
}

template <typename ValueAt>
std::optional<std::vector<float>> FactorProjector::residuals(ValueAt value_at) const {
  const std::size_t rows = exposures_->row_count;
  const std::size_t k = factor_count_;

  std::vector<double> rhs(k, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const float> x = exposure_row(*exposures_, r);
    const double v = static_cast<double>(value_at(r));
    if (sample_weights_) {
      const double w = static_cast<double>((*sample_weights_)[r]);
      for (std::size_t f = 0; f < k; ++f) rhs[f] += (w * static_cast<double>(x[f])) * v;
    } else {
      for (std::size_t f = 0; f < k; ++f) rhs[f] += static_cast<double>(x[f]) * v;
    }
  }
  const std::vector<double> beta = solve_cholesky(rhs);

  std::vector<float> out(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const float> x = exposure_row(*exposures_, r);
    double fitted = 0.0;
    for (std::size_t f = 0; f < k; ++f) fitted += beta[f] * static_cast<double>(x[f]);
    const float residual = static_cast<float>(static_cast<double>(value_at(r)) - fitted);
    if (!std::isfinite(residual)) return std::nullopt;
    out[r] = residual;
  }
  return out;
}

void FactorProjector::residualize_values_in_place(std::span<float> values) const {
  if (values.size() != exposures_->row_count) {
    throw EngineError::contract_violation("value length must match factor_exposures row_count");
  }
  const std::optional<std::vector<float>> next = residuals([&](std::size_t r) { return values[r]; });
  if (!next) throw EngineError::contract_violation("residualized value must be finite");
  for (std::size_t r = 0; r < values.size(); ++r) values[r] = (*next)[r];
}

void FactorProjector::project_gradient_pairs_in_place(std::span<core::GradientPair> pairs) const {
  if (pairs.size() != exposures_->row_count) {
    throw EngineError::contract_violation("gradient length must match factor_exposures row_count");
  }
  const std::optional<std::vector<float>> next = residuals([&](std::size_t r) { return pairs[r].grad; });
  if (!next) throw EngineError::contract_violation("projected gradient must be finite");
  for (std::size_t r = 0; r < pairs.size(); ++r) pairs[r].grad = (*next)[r];
}

void apply_pre_target_neutralization(core::TrainingDataset& dataset, float lambda) {
  if (!dataset.factor_exposures) {
    throw EngineError::contract_violation("factor_exposures are required when neutralization is active");
  }
  // The targets must cover the exposure rows before the Gram matrix is built, so that a caller
  // whose exposures describe other rows hears that, not a consequence of it (a weight count or a
  // singular matrix).
  if (dataset.targets.size() != dataset.factor_exposures->row_count) {
    throw EngineError::contract_violation("value length must match factor_exposures row_count");
  }
  std::optional<std::span<const float>> weights;
  if (dataset.sample_weights) weights = std::span<const float>(*dataset.sample_weights);
  const FactorProjector projector = FactorProjector::make(*dataset.factor_exposures, weights, lambda);
  projector.residualize_values_in_place(dataset.targets);
}

}  // namespace kestrune::engine
