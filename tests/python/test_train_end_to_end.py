"""The loop's variants end to end: an artifact predicts what its fit tracked (DART weights, the morph
schedule, quantile and linear leaves), a continued fit picks up where the artifact stopped, and
factor neutralization does what it promises against an independent float64 reference."""

import numpy as np
import pytest

import _kestrune
from conftest import fit, predict

rng = np.random.default_rng(4)
X = rng.normal(size=(150, 3)).astype(np.float32)
Y = (1.5 * X[:, 0] - X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=150)).astype(np.float32)
GROUPS = [i // 15 for i in range(150)]
DART = dict(boosting_mode="dart", dart_drop_rate=0.3, dart_max_drop=2)
# Without progress terms (whose schedule length differs between a paused fit and a straight one) a
# continued morph fit is the straight fit.
STEADY = {"morph_warmup_iters": 0, "info_score_weight": 0.5, "evolution_pressure": 0.0, "morph_rate": 0.0}


class Capture:
    """A metric that keeps the validation predictions the fit tracked in its last round."""

    def __init__(self):
        self.last = None

    def __call__(self, targets, predictions):
        self.last = np.array(predictions, dtype=np.float64)
        return ("capture", 0.0, True)


def tracked_fit(**kwargs):
    capture = Capture()
    result = fit(X, Y, row_subsample=0.8, seed=5, validation_rows=X, validation_targets=Y, custom_metric_fn=capture,
                 **kwargs)
    return result, capture


@pytest.mark.parametrize("extra", [
    DART,
    dict(DART, objective="queryrmse", group_id=GROUPS, validation_group_id=GROUPS),
    dict(DART, objective="quantile", quantile_alpha=0.6),
    dict(morph_config={}),
    dict(morph_config={"lr_schedule": "warmup_cosine", "lr_warmup_frac": 0.3, "morph_warmup_iters": 2}),
    dict(morph_config={"morph_warmup_iters": 1}, objective="quantile", quantile_alpha=0.6),
    dict(morph_config={"lr_schedule": "warmup_cosine"}, tree_growth="leaf", max_leaves=6),
])
def test_artifact_predicts_what_the_fit_tracked(extra):
    result, capture = tracked_fit(**extra)
    assert result.summary.rounds_completed >= 3
    np.testing.assert_allclose(predict(result, X), capture.last, rtol=1e-5, atol=1e-5)


def test_continued_fits_resume_from_the_artifact():
    # Morph: the gradient statistics and the schedule come back, so 4 + 3 rounds are 7 rounds.
    straight = fit(X, Y, rounds=7, row_subsample=0.8, seed=5, morph_config=STEADY)
    first = fit(X, Y, rounds=4, row_subsample=0.8, seed=5, morph_config=STEADY)
    continued = fit(X, Y, rounds=3, row_subsample=0.8, seed=5, morph_config=STEADY,
                    init_artifact_bytes=first.artifact_bytes)
    assert continued.summary.train_loss == straight.summary.train_loss[4:]
    np.testing.assert_array_equal(predict(continued, X), predict(straight, X))
    # DART: the earlier trees enter the tracked predictions at the weights their artifact stored.
    first = fit(X, Y, rounds=4, **DART)
    continued, capture = tracked_fit(rounds=4, init_artifact_bytes=first.artifact_bytes, **DART)
    np.testing.assert_allclose(predict(continued, X), capture.last, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("growth", [dict(tree_growth="level"), dict(tree_growth="leaf", max_leaves=6)])
def test_linear_leaves_score_on_raw_rows_what_training_tracked(growth):
    x = rng.uniform(-2.0, 2.0, size=(600, 5)).astype(np.float32)
    y = np.where(x[:, 0] > 0, 2.0 * x[:, 1] + x[:, 2], 3.0 * x[:, 2] - x[:, 1]).astype(np.float32)
    x[rng.uniform(size=x.shape) < 0.03] = np.nan  # a missing raw value adds nothing for its term
    result = fit(x, y, rounds=15, lambda_l2=1.0, leaf_model="linear", continuous_binning_strategy="quantile",
                 sample_weights=[1.0] * len(y), **growth)
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    handle.convert_thresholds_to_float_quantile(result.continuous_binning_metadata.feature_quantile_cuts)
    scores = np.asarray(handle.predict_numpy_array(x), dtype=np.float32)
    # The loop's loss: a float32 running sum in row order, then the mean.
    total = np.float32(0.0)
    for p, t in zip(scores, y):
        total = np.float32(total + np.float32(np.float32(p - t) ** 2))
    assert np.float32(total / np.float32(len(y))) == np.float32(result.summary.train_loss[-1])
    assert result.summary.train_loss[-1] < 0.2 * result.summary.train_loss[0]


def exposures_for(x, seed):
    return np.random.default_rng(seed).normal(size=(len(x), 2)).astype(np.float32)


def with_exposures(exposures):
    return dict(factor_exposure_values=exposures.ravel().tolist(), factor_exposure_row_count=exposures.shape[0],
                factor_exposure_factor_count=exposures.shape[1])


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("lam", [1e-6, 25.0])
def test_pre_target_neutralization_fits_the_float64_ridge_residuals(weighted, lam):
    exposures = exposures_for(X, 1)
    y = (Y + 2.0 * exposures[:, 0] - exposures[:, 1]).astype(np.float32)
    w = np.random.default_rng(2).uniform(0.0, 2.0, size=len(y)) if weighted else np.ones(len(y))
    extra = dict(sample_weights=w.tolist()) if weighted else {}
    e = exposures.astype(np.float64)
    beta = np.linalg.solve(e.T @ (w[:, None] * e) + lam * np.eye(2), e.T @ (w * y.astype(np.float64)))
    residuals = (y - e @ beta).astype(np.float32)
    result = fit(X, y, neutralization="pre_target", factor_neutralization_lambda=lam, **with_exposures(exposures),
                 **extra)
    np.testing.assert_allclose(result.summary.train_loss, fit(X, residuals, **extra).summary.train_loss, rtol=1e-4)


def test_pre_target_refusals_leave_the_targets_untouched():
    exposures = exposures_for(X, 1)
    exposures[:, 1] = 0.0
    with pytest.raises(ValueError, match="^factor exposure Gram matrix is singular; increase "
                                         "factor_neutralization_lambda$"):
        fit(X, Y, neutralization="pre_target", factor_neutralization_lambda=0.0, **with_exposures(exposures))
    # Rows of weight 0 take no part in the ridge fit but are residualized with it: here one of them
    # leaves the float32 range.
    far = np.full(len(Y), -3e38, dtype=np.float32)
    far[-1] = 3e38
    weights = [1.0] * (len(Y) - 1) + [0.0]
    before = far.copy()
    with pytest.raises(ValueError, match="^residualized value must be finite$"):
        fit(X, far, neutralization="pre_target", sample_weights=weights,
            **with_exposures(np.ones((len(Y), 1), dtype=np.float32)))
    assert np.array_equal(far, before)


def test_a_growing_split_penalty_decorrelates_held_out_predictions_from_the_exposures():
    def data(rows, seed):
        # Feature 0 is the exposure plus noise and drives the target through a non-linear link.
        g = np.random.default_rng(seed)
        exposure = g.normal(size=rows).astype(np.float32)
        x = np.stack([exposure + 0.3 * g.normal(size=rows), g.normal(size=rows), g.normal(size=rows)], axis=1)
        return x.astype(np.float32), (np.tanh(2.0 * x[:, 0]) + x[:, 1]).astype(np.float32), exposure

    x, y, exposure = data(600, 0)
    held_x, _, held_exposure = data(400, 1)
    correlations = []
    for penalty in [0.0, 2.0, 100.0]:
        result = fit(x, y, rounds=20, neutralization="split_penalty", factor_penalty=penalty,
                     **with_exposures(exposure[:, None]))
        correlations.append(abs(np.corrcoef(predict(result, held_x), held_exposure)[0, 1]))
    assert correlations[0] > 0.2
    assert correlations[0] - correlations[1] > 0.15
    assert correlations[1] - correlations[2] > 0.02
