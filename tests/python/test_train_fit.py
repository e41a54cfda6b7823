"""train_regression_artifact_with_summary end to end: every single-output objective, the summary
against the fit and the artifact, early stopping on a validation set, and warm starts."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, multiclass_artifact, single_output_artifact

train = _kestrune.train_regression_artifact_with_summary

STOP_REASONS = {"CompletedRequestedRounds", "DepthBudgetReached", "NoSplitCandidate", "GainBelowThreshold",
                "LeafRowsBelowThreshold", "LeafMagnitudeBelowThreshold", "LossImprovementBelowThreshold",
                "MonotoneConstraintViolation", "MaxLeavesReached", "ValidationLossPlateau", "CustomMetricPlateau"}


def regression_data(rows=120, features=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features)).astype(np.float32)
    y = (1.5 * x[:, 0] - x[:, 1] + 0.1 * rng.normal(size=rows)).astype(np.float32)
    return x, y


def fit(x, y, rounds=8, learning_rate=0.3, max_depth=3, **kwargs):
    return train(x, y, learning_rate, max_depth, 1.0, 1.0, 0.0, 11, True, rounds=rounds, **kwargs)


def predict(result, x):
    """Raw scores of the trained artifact on raw features, binned as training binned them."""
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    scores = handle.predict_dense_quantized_linear(x.ravel().tolist(), x.shape[0], x.shape[1],
                                                   metadata.feature_mins, metadata.feature_maxs)
    return np.asarray(scores, dtype=np.float64)


def mse(scores, y):
    return float(np.mean((scores - np.asarray(y, dtype=np.float64)) ** 2))


X, Y = regression_data()
GROUPS = [i // 12 for i in range(len(Y))]
RELEVANCE = np.clip(np.round(Y + 2), 0, 4).astype(np.float32)

OBJECTIVES = [
    ("squared_error", Y, {}),
    ("binary_crossentropy", (Y > 0).astype(np.float32), {}),
    ("poisson", np.round(np.abs(Y) * 2), {}),
    ("gamma", np.abs(Y) + 0.5, {}),
    ("tweedie", np.abs(Y), dict(tweedie_variance_power=1.3)),
    ("queryrmse", Y, dict(group_id=GROUPS)),
    ("rank_pairwise", RELEVANCE, dict(group_id=GROUPS)),
    ("rank_ndcg", RELEVANCE, dict(group_id=GROUPS)),
    ("rank_xendcg", RELEVANCE, dict(group_id=GROUPS)),
    ("yetirank", RELEVANCE, dict(group_id=GROUPS)),
]


def assert_summary_consistent(summary, objective, rounds):
    assert summary.objective == objective
    assert summary.rounds_requested == rounds
    assert 1 <= summary.rounds_completed <= rounds
    assert summary.stop_reason in STOP_REASONS
    completed = summary.rounds_completed
    assert len(summary.train_loss) == len(summary.train_rmse) == len(summary.diagnostics_per_round) == completed
    expected_rmse = [math.sqrt(max(loss, 0.0)) for loss in summary.train_loss]
    assert summary.train_rmse == pytest.approx(expected_rmse, rel=1e-6, abs=1e-7)
    assert summary.native_train_seconds > 0.0
    for round_ in summary.diagnostics_per_round:
        assert round_.gradient_l2_norm >= 0.0 and round_.hessian_l2_norm > 0.0
        # Every feature is sampled (col_subsample 1.0); tiles are not what is counted.
        assert round_.n_active_rows == len(X) and round_.n_active_features == X.shape[1]
        assert round_.original_gradient_l2_norm is None and round_.neutralization_effectiveness is None


@pytest.mark.parametrize("objective, targets, extra", OBJECTIVES, ids=[o[0] for o in OBJECTIVES])
def test_every_single_output_objective_trains(objective, targets, extra):
    result = fit(X, targets.astype(np.float32), objective=objective, **extra)
    assert result.artifact_bytes[:4] == b"KSTR"
    summary = result.summary
    assert_summary_consistent(summary, objective, 8)
    assert summary.validation_loss == [] and summary.validation_rmse == []
    assert summary.best_validation_round is None and summary.best_validation_loss is None
    assert summary.custom_metric_values == [] and summary.custom_metric_name is None


@pytest.mark.parametrize("training_policy", ["auto", "manual"])
def test_summary_losses_are_those_of_the_artifact(training_policy):
    result = fit(X, Y, training_policy=training_policy)
    summary = result.summary
    assert summary.train_loss[-1] < summary.train_loss[0]
    assert mse(predict(result, X), Y) == pytest.approx(summary.train_loss[-1], rel=1e-5)


def test_fixed_seed_and_deterministic_training_repeat_exactly():
    # Row and column sampling draw from the seed alone when deterministic is set.
    first = train(X, Y, 0.3, 3, 0.7, 0.8, 0.0, 5, True, rounds=6)
    second = train(X, Y, 0.3, 3, 0.7, 0.8, 0.0, 5, True, rounds=6)
    assert first.artifact_bytes == second.artifact_bytes
    assert first.summary.train_loss == second.summary.train_loss


def test_node_statistics_are_stored_on_request():
    plain = fit(X, Y)
    with_stats = fit(X, Y, store_node_stats=True)
    assert len(with_stats.artifact_bytes) > len(plain.artifact_bytes)
    assert with_stats.summary.train_loss == plain.summary.train_loss


def test_validation_set_and_early_stopping():
    x, y = regression_data(rows=300, seed=3)
    train_x, train_y, valid_x, valid_y = x[:200], y[:200], x[200:], y[200:]
    result = fit(train_x, train_y, rounds=300, learning_rate=0.5, max_depth=4, validation_rows=valid_x,
                 validation_targets=valid_y, early_stopping_rounds=3)
    summary = result.summary
    assert summary.stop_reason == "ValidationLossPlateau"
    assert summary.rounds_completed < 300
    assert len(summary.validation_loss) == len(summary.validation_rmse) == summary.rounds_completed
    best = int(np.argmin(summary.validation_loss))
    assert summary.best_validation_round == best
    assert summary.best_validation_loss == pytest.approx(min(summary.validation_loss))
    assert summary.validation_rmse == pytest.approx([math.sqrt(v) for v in summary.validation_loss], rel=1e-6)
    # The returned model is the best round's: its validation error is the best loss.
    assert mse(predict(result, valid_x), valid_y) == pytest.approx(summary.best_validation_loss, rel=1e-5)


def test_validation_without_early_stopping_runs_every_round():
    result = fit(X[:90], Y[:90], rounds=5, validation_rows=X[90:], validation_targets=Y[90:],
                 validation_sample_weights=[1.0] * 30)
    summary = result.summary
    assert summary.rounds_completed == 5 and summary.stop_reason == "CompletedRequestedRounds"
    assert len(summary.validation_loss) == 5
    assert mse(predict(result, X[90:]), Y[90:]) == pytest.approx(summary.validation_loss[-1], rel=1e-5)


def test_early_stopping_needs_a_validation_set():
    with pytest.raises(ValueError, match="^validation early stopping requires a validation dataset$"):
        fit(X, Y, early_stopping_rounds=2)


def test_warm_start_continues_the_earlier_model():
    first = fit(X, Y, rounds=4)
    continued = fit(X, Y, rounds=4, init_artifact_bytes=first.artifact_bytes)
    assert continued.artifact_bytes[:4] == b"KSTR"
    assert len(continued.artifact_bytes) > len(first.artifact_bytes)
    summary = continued.summary
    assert summary.rounds_completed == 4
    assert summary.train_loss[0] < first.summary.train_loss[-1]
    assert mse(predict(continued, X), Y) == pytest.approx(summary.train_loss[-1], rel=1e-5)
    # Continuing is training on: eight rounds in two calls match eight rounds in one.
    straight = fit(X, Y, rounds=8)
    assert summary.train_loss[-1] == pytest.approx(straight.summary.train_loss[-1], rel=1e-5)


def test_warm_start_model_must_match_the_feature_count():
    first = fit(X, Y, rounds=2)
    wider = np.hstack([X, X[:, :1]])
    with pytest.raises(ValueError, match="^init_model feature_count 3 does not match training data feature_count 4$"):
        fit(wider, Y, init_artifact_bytes=first.artifact_bytes)


# Two records of one tree with the same node id: an artifact the predictor refuses. A warm start
# from it would write those records back beside the new trees, so it is refused before training
# with the predictor's own exception.
@pytest.mark.parametrize(
    "init, options, message",
    [
        (single_output_artifact(3, [Stump(0, 0, 0, 3, 0.5, -0.5), Stump(0, 1, 1, 2, 0.25, -0.25),
                                    Stump(0, 1, 2, 5, 0.125, -0.125)]),
         {}, "tree 0 contains duplicate local node_id 1"),
        (multiclass_artifact(3, [0.0, 0.0], [[Stump(0, 0, 0, 3, 0.5, -0.5)],
                                            [Stump(1, 0, 1, 2, 0.25, -0.25), Stump(1, 0, 2, 5, 0.125, -0.125)]]),
         dict(objective="multiclass_softmax", num_classes=2), "tree 1 contains duplicate local node_id 0"),
    ],
)
def test_warm_start_refuses_an_artifact_the_predictor_refuses(init, options, message):
    with pytest.raises(RuntimeError) as loading:
        _kestrune.NativePredictorHandle(init, strict=False)
    assert str(loading.value) == message
    labels = (Y > 0).astype(np.float32)
    with pytest.raises(RuntimeError) as training:
        fit(X, labels, init_artifact_bytes=init, **options)
    assert type(training.value) is type(loading.value)
    assert str(training.value) == message
