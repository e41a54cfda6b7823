"""Rules of the training functions that cut across their options: which of two faults a call
reports, what a NaN weight is called, the per-round gradient projection of a single-output fit
against a float64 projection, and the linear strategy's rank fallback switched on from the
environment."""

import math

import numpy as np
import pytest

import _kestrune

SETTINGS = dict(learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0, min_validation_improvement=0.0,
                seed=7, deterministic=True)
ROWS = [[float(i) + 0.5, float(i % 3)] for i in range(12)]
TARGETS = [float(i) for i in range(12)]


def artifact_only(dense, rows=ROWS, targets=TARGETS, **overrides):
    if dense:
        data = dict(values=[v for row in rows for v in row], row_count=len(rows), feature_count=len(rows[0]))
        return _kestrune.train_regression_artifact_dense(**data, targets=targets, **SETTINGS, **overrides)
    return _kestrune.train_regression_artifact(rows=rows, targets=targets, **SETTINGS, **overrides)


# --- which fault is reported ---------------------------------------------------------------------

MORPH = 'unknown lr_schedule: "cosine" (expected "constant" or "warmup_cosine")'
LEAF_MODEL = "leaf_model must be 'constant' or 'linear', got 'Linear'"
LEAF_SOLVER = "leaf_solver must be 'standard' or 'dro', got 'DRO'"
DRO = "dro_metric must be 'wasserstein', got 'l2'"
NEUTRALIZATION = "neutralization must be 'none', 'pre_target', 'per_round_gradient', or 'split_penalty', got 'full'"
LAMBDA = "factor_neutralization_lambda must be finite and >= 0"
SPLIT_PENALTY = "neutralization='split_penalty' requires leaf_model='constant'"
EXPOSURES = ("factor_exposure_values, factor_exposure_row_count, and factor_exposure_factor_count must be provided "
             "together")
ROUNDS = "rounds must be greater than 0"
POLICY = "training_policy must be 'auto' or 'manual', received 'x'"
STRATEGY = "continuous_binning_strategy must be one of: linear, quantile, rank; received 'y'"
BOOSTING = 'boosting_mode must be \'standard\', \'goss\', or \'dart\', got "GOSS"'
CATEGORICAL = "categorical_feature_values must be provided when categorical_feature_index is set"


# Each call breaks two consecutive checks of the artifact-only functions; the earlier one is
# reported. Together the rows fix the whole order, from the morph settings to the pipeline.
RAGGED = dict(rows=ROWS[:5] + [[1.0]] + ROWS[6:], targets=TARGETS[:7])
ORDER = [
    (dict(morph_config={"lr_schedule": "cosine"}, leaf_model="Linear"), MORPH),
    (dict(leaf_model="Linear", leaf_solver="DRO"), LEAF_MODEL),
    (dict(leaf_solver="DRO", dro_metric="l2"), LEAF_SOLVER),
    (dict(dro_metric="l2", neutralization="full"), DRO),
    (dict(neutralization="split_penalty", factor_neutralization_lambda=math.nan, leaf_model="linear"), LAMBDA),
    (dict(neutralization="split_penalty", leaf_model="linear", factor_exposure_row_count=12), SPLIT_PENALTY),
    (dict(factor_exposure_row_count=12, rounds=0), EXPOSURES),
    (dict(rounds=0, training_policy="x"), ROUNDS),
    (dict(training_policy="x", continuous_binning_strategy="y"), POLICY),
    (dict(continuous_binning_strategy="y", boosting_mode="GOSS"), STRATEGY),
    (dict(boosting_mode="GOSS", categorical_feature_index=0), BOOSTING),
    # The categorical column before the rows' shape (plain) or the pipeline's checks (dense).
    (dict(categorical_feature_index=0, **RAGGED), CATEGORICAL),
]


@pytest.mark.parametrize(
    "dense, overrides, message",
    [(dense, *case) for case in ORDER for dense in (False, True)]
    # The rows' shape before the pipeline's checks (the targets' count).
    + [(False, RAGGED, "row 5 feature count 1 does not match expected 2")],
)
def test_artifact_only_functions_report_the_earlier_of_two_faults(dense, overrides, message):
    with pytest.raises(ValueError) as info:
        artifact_only(dense, **overrides)
    assert str(info.value) == message


def neutralized(exposure_rows, weights=None, **overrides):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(30, 3)).astype(np.float32)
    exposures = rng.normal(size=(exposure_rows, 2)).astype(np.float32)
    extra = {} if weights is None else dict(sample_weights=[1.0] * weights)
    return _kestrune.train_regression_artifact_with_summary(
        x, x[:, 0].copy(), **SETTINGS, rounds=2, neutralization="pre_target",
        factor_exposure_values=exposures.ravel().tolist(), factor_exposure_row_count=exposure_rows,
        factor_exposure_factor_count=2, **extra, **overrides)


ROW_MISMATCH = "value length must match factor_exposures row_count"


# Pre-target neutralization: exposures that cover other rows than the targets are named as such,
# before the weights' length or the Gram matrix are looked at; the objective and validation
# checks come first.
@pytest.mark.parametrize(
    "exposure_rows, weights, overrides, message",
    [
        (20, None, {}, ROW_MISMATCH),
        (20, 30, {}, ROW_MISMATCH),
        (20, 29, dict(factor_neutralization_lambda=0.0), ROW_MISMATCH),
        (30, 29, {}, "sample_weight length must match factor_exposures row_count"),
        (20, 29, dict(objective="poisson"),
         "neutralization='pre_target' is only supported for GBMRegressor squared-error training"),
    ],
)
def test_pre_target_shape_checks_in_order(exposure_rows, weights, overrides, message):
    with pytest.raises(ValueError) as info:
        neutralized(exposure_rows, weights, **overrides)
    assert str(info.value) == message


# A NaN weight makes the weight sum NaN, which is not "<= 0": under either policy the fit then
# names the weight itself.
@pytest.mark.parametrize("policy", ["auto", "manual"])
@pytest.mark.parametrize("nan_rows", [[4], list(range(12))], ids=["one", "all"])
def test_a_nan_weight_is_reported_as_a_bad_weight_under_every_policy(policy, nan_rows):
    weights = [1.0] * 12
    for row in nan_rows:
        weights[row] = math.nan
    with pytest.raises(ValueError) as info:
        _kestrune.train_regression_artifact_with_summary(ROWS, TARGETS, **SETTINGS, rounds=2, sample_weights=weights,
                                                         training_policy=policy)
    assert str(info.value) == "sample weights must be finite and > 0"


# --- per-round gradient projection ---------------------------------------------------------------

@pytest.mark.parametrize("lam", [0.0, 3.0])
def test_each_round_fits_the_gradients_projected_off_the_exposures(lam):
    """One distinct feature value per row and a deep tree give every row its own leaf, so each
    round moves each row's score by -learning_rate times its projected gradient (squared error,
    unit hessians). The float64 reference replays the rounds and the diagnostics' norms."""
    rows, rounds, learning_rate = 16, 3, 0.5
    rng = np.random.default_rng(3)
    x = (np.arange(rows, dtype=np.float32) + 0.5).reshape(rows, 1)
    exposures = rng.normal(size=(rows, 2)).astype(np.float32)
    y = (exposures @ np.array([1.0, -0.5], dtype=np.float32) + rng.normal(size=rows)).astype(np.float32)
    result = _kestrune.train_regression_artifact_with_summary(
        x, y, learning_rate, 16, 1.0, 1.0, 0.0, 1, True, rounds=rounds, training_policy="manual",
        neutralization="per_round_gradient", factor_neutralization_lambda=lam,
        factor_exposure_values=exposures.ravel().tolist(), factor_exposure_row_count=rows,
        factor_exposure_factor_count=2)

    e = exposures.astype(np.float64)
    target = y.astype(np.float64)

    def project(g):
        return g - e @ np.linalg.solve(e.T @ e + lam * np.eye(2), e.T @ g)

    scores = np.full(rows, target.mean())
    diagnostics = result.summary.diagnostics_per_round
    assert len(diagnostics) == rounds
    for d in diagnostics:
        g = scores - target
        projected = project(g)
        original_norm, projected_norm = np.linalg.norm(g), np.linalg.norm(projected)
        assert d.original_gradient_l2_norm == pytest.approx(original_norm, rel=1e-5)
        assert d.projected_gradient_l2_norm == pytest.approx(projected_norm, rel=1e-5)
        assert d.gradient_l2_norm == d.projected_gradient_l2_norm
        assert d.neutralization_effectiveness == pytest.approx(1.0 - projected_norm / original_norm, abs=1e-5)
        assert d.hessian_l2_norm == pytest.approx(math.sqrt(rows))
        scores = scores - learning_rate * projected
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    predicted = handle.predict_dense_quantized_linear(x.ravel().tolist(), rows, 1, metadata.feature_mins,
                                                      metadata.feature_maxs)
    np.testing.assert_allclose(predicted, scores, atol=1e-5)
    # The projection took something away in the first round (the targets follow the exposures).
    assert diagnostics[0].neutralization_effectiveness > 0.3


def test_a_projection_that_leaves_float32_is_refused():
    """Finite gradients +-3e38 on exposures 2 and 1: their residuals overflow float32. (The
    projector's other message, a gradient count other than the exposure rows, cannot come from a
    fit: its own checks catch that count first.)"""
    rows = 16
    exposures = np.where(np.arange(rows) % 2 == 0, 2.0, 1.0).astype(np.float32)

    def objective(targets, scores):
        return np.where(np.arange(len(targets)) % 2 == 0, -3e38, 3e38).astype(np.float32), np.ones_like(targets)

    x = (np.arange(rows, dtype=np.float32) + 0.5).reshape(rows, 1)
    with pytest.raises(ValueError, match="^projected gradient must be finite$"):
        _kestrune.train_regression_artifact_with_summary(
            x, np.zeros(rows, dtype=np.float32), **SETTINGS, rounds=2, training_policy="manual", objective="custom",
            custom_objective_fn=objective, neutralization="per_round_gradient", factor_neutralization_lambda=0.0,
            factor_exposure_values=exposures.tolist(), factor_exposure_row_count=rows, factor_exposure_factor_count=1)


# --- the linear strategy's rank fallback ----------------------------------------------------------

RANK_SWITCH = "KESTRUNE_EXPERIMENT_LINEAR_TAIL_RANK"
RANK_RATIO = "KESTRUNE_EXPERIMENT_LINEAR_TAIL_CORE_SPAN_RATIO"


def core_span_ratio(column):
    """How much of a feature's range its middle values span: a tenth trimmed off each end."""
    s = np.sort(column[~np.isnan(column)])
    n = len(s)
    k = max(int(np.floor(np.float32(n) * np.float32(0.1))), 1)
    span = s[-1] - s[0]
    if n < 5 or span <= 1e-6 or n <= 2 * k:
        return math.inf
    return float((s[n - 1 - k] - s[k]) / span)


@pytest.mark.parametrize(
    "switch, ratio, threshold",
    [
        (None, None, None),
        ("on", None, 0.1),
        (" Yes ", "0", 0.0),
        ("true", "7", 1.0),
        ("y", "1", None),
    ],
)
def test_the_rank_fallback_follows_the_environment_at_each_call(monkeypatch, switch, ratio, threshold):
    for name, value in ((RANK_SWITCH, switch), (RANK_RATIO, ratio)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    rng = np.random.default_rng(1)
    rows = 200
    heavy = rng.normal(size=rows).astype(np.float32)
    heavy[:3] = [400.0, -300.0, 900.0]
    x = np.stack([heavy, rng.normal(size=rows).astype(np.float32)], axis=1)
    y = (np.tanh(x[:, 0]) + x[:, 1]).astype(np.float32)
    result = _kestrune.train_regression_artifact_with_summary(x, y, **SETTINGS, rounds=5, training_policy="manual")
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    if threshold is None:
        assert metadata.feature_linear_rank_flags is None and metadata.feature_sorted_values is None
        scores = handle.predict_dense_quantized_linear(x.ravel().tolist(), rows, 2, metadata.feature_mins,
                                                       metadata.feature_maxs)
    else:
        flags = [core_span_ratio(x[:, f]) <= threshold for f in range(2)]
        assert metadata.feature_linear_rank_flags == flags
        if any(flags):
            for f in range(2):
                assert metadata.feature_sorted_values[f] == np.sort(x[:, f]).tolist()
        else:
            assert metadata.feature_sorted_values is None
        scores = handle.predict_dense_quantized_linear_rank(x.ravel().tolist(), rows, 2, metadata.feature_mins,
                                                            metadata.feature_maxs, flags,
                                                            metadata.feature_sorted_values or [[], []])
    # The fit binned flagged features by rank: the rank quantizer reproduces what it tracked.
    mse = float(np.mean((np.asarray(scores, dtype=np.float64) - y) ** 2))
    assert result.summary.train_loss[-1] == pytest.approx(mse, rel=1e-5)
