"""Pre-target neutralization: the trees see the targets' residuals from a weighted ridge fit on
the factor exposures, computed independently here in float64."""

import numpy as np
import pytest

import _kestrune

ROWS, FACTORS = 400, 2


def data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(ROWS, 3)).astype(np.float32)
    exposures = rng.normal(size=(ROWS, FACTORS)).astype(np.float32)
    y = (x[:, 0] + 2.0 * exposures[:, 0] - exposures[:, 1] + 0.1 * rng.normal(size=ROWS)).astype(np.float32)
    weights = rng.uniform(0.0, 2.0, size=ROWS).astype(np.float32)
    return x, y, exposures, weights


def fit(x, y, exposures=None, rounds=5, learning_rate=0.3, **kwargs):
    if exposures is not None:
        kwargs.update(factor_exposure_values=exposures.ravel().tolist(), factor_exposure_row_count=exposures.shape[0],
                      factor_exposure_factor_count=exposures.shape[1])
    return _kestrune.train_regression_artifact_with_summary(
        x, y, learning_rate, 3, 1.0, 1.0, 0.0, 3, True, rounds=rounds, training_policy="manual", **kwargs)


def ridge_residuals(y, exposures, weights, lam):
    x = exposures.astype(np.float64)
    w = np.ones(len(y)) if weights is None else weights.astype(np.float64)
    beta = np.linalg.solve(x.T @ (w[:, None] * x) + lam * np.eye(x.shape[1]), x.T @ (w * y.astype(np.float64)))
    return (y.astype(np.float64) - x @ beta).astype(np.float32)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("lam", [1e-6, 25.0])
def test_the_trees_fit_the_ridge_residuals(weighted, lam):
    x, y, exposures, weights = data()
    w = weights if weighted else None
    extra = dict(sample_weights=weights.tolist()) if weighted else {}
    result = fit(x, y, exposures, neutralization="pre_target", factor_neutralization_lambda=lam, **extra)
    residuals = ridge_residuals(y, exposures, w, lam)
    # The fit is a plain regression on the residuals.
    direct = fit(x, residuals, **extra)
    np.testing.assert_allclose(result.summary.train_loss, direct.summary.train_loss, rtol=1e-4)


def test_bad_exposures_fail_and_leave_nothing_half_done():
    x, y, exposures, _ = data()
    zeros = exposures.copy()
    zeros[:, 1] = 0.0
    with pytest.raises(ValueError, match="^factor exposure Gram matrix is singular; increase "
                                         "factor_neutralization_lambda$"):
        fit(x, y, zeros, neutralization="pre_target", factor_neutralization_lambda=0.0)
    # The default ridge term gives the zero column a coefficient of 0 instead.
    fit(x, y, zeros, neutralization="pre_target")
    # Rows of weight 0 take no part in the fit but are residualized with it: here one of them
    # leaves the float32 range.
    ones = np.ones((ROWS, 1), dtype=np.float32)
    far = np.full(ROWS, -3e38, dtype=np.float32)
    far[-1] = 3e38
    weights = np.ones(ROWS, dtype=np.float32)
    weights[-1] = 0.0
    before = far.copy()
    with pytest.raises(ValueError, match="^residualized value must be finite$"):
        fit(x, far, ones, neutralization="pre_target", sample_weights=weights.tolist())
    assert np.array_equal(far, before)
