"""Factor neutralization. Pre-target: the trees see the targets' residuals from a weighted ridge
fit on the factor exposures, computed independently here in float64. Split penalty: splits whose
leaf values line up with the exposures are charged, so held-out predictions follow them less."""

import numpy as np
import pytest

import _kestrune
from test_train_variants_equivalence import ARTIFACT_FORMS, SETTINGS, SUMMARY_FORMS, as_rows

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


# --- split penalty ------------------------------------------------------------------------------

def penalty_data(rows, seed):
    """Feature 0 is the exposure plus noise and drives the target through a non-linear link, which
    the per-round gradient projection alone does not remove from the trees."""
    rng = np.random.default_rng(seed)
    exposure = rng.normal(size=rows).astype(np.float32)
    x = np.stack([exposure + 0.3 * rng.normal(size=rows), rng.normal(size=rows), rng.normal(size=rows)], axis=1)
    y = np.tanh(2.0 * x[:, 0]) + x[:, 1] + 0.1 * rng.normal(size=rows)
    return x.astype(np.float32), y.astype(np.float32), exposure


@pytest.mark.parametrize("function, form", SUMMARY_FORMS + ARTIFACT_FORMS[:2],
                         ids=lambda value: getattr(value, "__name__", ""))
def test_a_growing_split_penalty_decorrelates_held_out_predictions_from_the_exposures(function, form):
    x, y, exposure = penalty_data(600, 0)
    held_x, _, held_exposure = penalty_data(400, 1)
    # The binning depends on the training features alone: one summary's metadata serves every fit.
    metadata = SUMMARY_FORMS[0][0](**as_rows(x, y), **SETTINGS, rounds=1).continuous_binning_metadata
    correlations = []
    for penalty in [0.0, 2.0, 100.0]:
        result = function(**form(x, y), **SETTINGS, rounds=20, neutralization="split_penalty",
                          factor_penalty=penalty, factor_exposure_values=exposure.tolist(),
                          factor_exposure_row_count=len(exposure), factor_exposure_factor_count=1)
        handle = _kestrune.NativePredictorHandle(getattr(result, "artifact_bytes", result))
        scores = handle.predict_dense_quantized_linear(held_x.ravel().tolist(), *held_x.shape,
                                                       metadata.feature_mins, metadata.feature_maxs)
        correlations.append(abs(np.corrcoef(np.asarray(scores, dtype=np.float64), held_exposure)[0, 1]))
    assert correlations[0] > 0.2
    assert correlations[0] - correlations[1] > 0.15
    assert correlations[1] - correlations[2] > 0.02
