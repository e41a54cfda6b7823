"""Quantile fits through the Python training function: each level's model sits at that quantile
of the targets, levels are ordered, and the reported loss is the artifact's pinball loss."""

import numpy as np
import pytest

import _kestrune

train = _kestrune.train_regression_artifact_with_summary

rng = np.random.default_rng(5)
X = rng.normal(size=(400, 3)).astype(np.float32)
Y = (X[:, 0] + np.exp(0.5 * X[:, 1]) * rng.normal(size=400)).astype(np.float32)
ALPHAS = (0.2, 0.5, 0.8)


def quantile_fit(alpha, **kwargs):
    return train(X, Y, 0.3, 3, 1.0, 1.0, 0.0, 11, True, rounds=10, objective="quantile", quantile_alpha=alpha,
                 **kwargs)


def predict(result):
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    return np.asarray(handle.predict_dense_quantized_linear(X.ravel().tolist(), X.shape[0], X.shape[1],
                                                            metadata.feature_mins, metadata.feature_maxs))


def pinball(scores, alpha):
    d = Y.astype(np.float64) - scores
    return float(np.mean(np.where(d > 0, alpha * d, (alpha - 1) * d)))


@pytest.fixture(scope="module")
def fits():
    return {alpha: quantile_fit(alpha) for alpha in ALPHAS}


@pytest.mark.parametrize("alpha", ALPHAS)
def test_each_level_covers_its_share_and_reports_its_own_loss(fits, alpha):
    result = fits[alpha]
    scores = predict(result)
    assert result.summary.objective == "quantile"
    assert abs(float(np.mean(Y <= scores)) - alpha) < 0.06
    losses = result.summary.train_loss
    assert losses[-1] == pytest.approx(pinball(scores, alpha), rel=1e-5)
    assert losses[-1] < losses[0]


def test_higher_levels_predict_higher(fits):
    low, mid, high = (predict(fits[alpha]) for alpha in ALPHAS)
    assert np.mean(low <= mid) > 0.95 and np.mean(mid <= high) > 0.95


@pytest.mark.parametrize("alpha", [0.0, 1.0, float("nan")])
def test_levels_outside_the_open_interval_are_refused(alpha):
    with pytest.raises(ValueError, match=r"^quantile_alpha must be finite and in \(0\.0, 1\.0\)$"):
        quantile_fit(alpha)
