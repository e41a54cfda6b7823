"""Multiclass training from Python: the summary against the artifact's probabilities, validation
and early stopping, warm starts through the artifact, and the refusals of the multiclass branch."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import linear_bin, single_output_artifact

train = _kestrune.train_regression_artifact_with_summary
Handle = _kestrune.NativePredictorHandle
CLASSES = 3
TOP_BIN = 254


def class_data(rows=240, features=4, seed=0, noise=0.1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(rows, features)).astype(np.float32)
    scores = np.stack([x[:, 0], x[:, 1], 0.3 - x[:, 0] - x[:, 1]], axis=1)
    y = np.argmax(scores, axis=1)
    flip = rng.uniform(size=rows) < noise
    y[flip] = rng.integers(0, CLASSES, size=int(flip.sum()))
    return x, y.astype(np.float32)


def fit(x, y, rounds=6, learning_rate=0.3, max_depth=3, min_validation_improvement=0.0, **kwargs):
    kwargs.setdefault("num_classes", CLASSES)
    return train(x, y, learning_rate, max_depth, 1.0, 1.0, min_validation_improvement, 7, True, rounds=rounds,
                 objective="multiclass_softmax", **kwargs)


def probabilities(result, x, classes=CLASSES):
    """Row-major class probabilities of the artifact on rows binned as training binned them."""
    metadata = result.continuous_binning_metadata
    bins = [[linear_bin(v, lo, hi, TOP_BIN) for v, lo, hi in zip(row, metadata.feature_mins, metadata.feature_maxs)]
            for row in x.tolist()]
    handle = Handle(result.artifact_bytes, strict=False)
    assert handle.is_multiclass() and handle.num_classes() == classes
    return np.asarray(handle.predict_multiclass(bins), dtype=np.float64).reshape(len(bins), classes)


def log_loss(p, y):
    return float(-np.mean(np.log(p[np.arange(len(y)), np.asarray(y, dtype=np.int64)])))


X, Y = class_data()


def test_trains_and_the_probabilities_are_those_of_the_training_state():
    result = fit(X, Y, rounds=6)
    summary = result.summary
    assert summary.objective == "multiclass_softmax"
    assert summary.rounds_requested == summary.rounds_completed == 6
    assert summary.stop_reason == "CompletedRequestedRounds"
    assert len(summary.diagnostics_per_round) == 6
    assert summary.train_rmse == pytest.approx([math.sqrt(v) for v in summary.train_loss], rel=1e-6)
    assert summary.train_loss == sorted(summary.train_loss, reverse=True)
    assert summary.validation_loss == [] and summary.best_validation_round is None
    p = probabilities(result, X)
    np.testing.assert_allclose(p.sum(axis=1), 1.0, rtol=1e-6)
    assert log_loss(p, Y) == pytest.approx(summary.train_loss[-1], rel=1e-5)
    assert float(np.mean(np.argmax(p, axis=1) == Y)) > 0.8


def test_validation_and_early_stopping_keep_the_best_round():
    x, y = class_data(rows=400, seed=3, noise=0.3)
    train_x, train_y, valid_x, valid_y = x[:300], y[:300], x[300:], y[300:]
    result = fit(train_x, train_y, rounds=200, learning_rate=0.6, max_depth=5, validation_rows=valid_x,
                 validation_targets=valid_y, early_stopping_rounds=3)
    summary = result.summary
    assert summary.stop_reason == "ValidationLossPlateau"
    assert 0 < summary.rounds_completed < 200
    assert len(summary.validation_loss) == len(summary.train_loss) == summary.rounds_completed
    best = int(np.argmin(summary.validation_loss))
    assert summary.best_validation_round == best == summary.rounds_completed - 1
    assert summary.best_validation_loss == pytest.approx(min(summary.validation_loss))
    # The artifact is the best round's model.
    assert log_loss(probabilities(result, valid_x), valid_y) == pytest.approx(summary.best_validation_loss, rel=1e-5)
    assert log_loss(probabilities(result, train_x), train_y) == pytest.approx(summary.train_loss[-1], rel=1e-5)


def test_warm_start_continues_through_the_artifact():
    first = fit(X, Y, rounds=3)
    continued = fit(X, Y, rounds=3, init_artifact_bytes=first.artifact_bytes)
    straight = fit(X, Y, rounds=6)
    summary = continued.summary
    assert summary.rounds_completed == 3
    assert summary.train_loss == pytest.approx(straight.summary.train_loss[3:], rel=1e-6)
    assert continued.artifact_bytes == straight.artifact_bytes
    assert log_loss(probabilities(continued, X), Y) == pytest.approx(summary.train_loss[-1], rel=1e-5)


def test_artifacts_round_trip_unchanged():
    first = fit(X[:180], Y[:180], rounds=3)
    # A continuation whose rounds never beat the starting validation loss keeps only the earlier
    # model: decoded and written again, it must give the same bytes.
    continued = fit(X[:180], Y[:180], rounds=5, init_artifact_bytes=first.artifact_bytes, validation_rows=X[180:],
                    validation_targets=Y[180:], early_stopping_rounds=1, min_validation_improvement=1e6)
    assert continued.summary.stop_reason == "ValidationLossPlateau"
    assert continued.summary.rounds_completed == 0 and continued.summary.best_validation_round is None
    assert continued.artifact_bytes == first.artifact_bytes


def test_dart_artifacts_predict_with_their_tree_weights():
    dart = dict(boosting_mode="dart", dart_drop_rate=0.3, dart_max_drop=3, dart_normalize_type="tree",
                dart_sample_type="uniform")
    result = fit(X[:180], Y[:180], rounds=8, validation_rows=X[180:], validation_targets=Y[180:], **dart)
    summary = result.summary
    assert summary.rounds_completed >= 3  # later rounds drop and rescale earlier trees
    # The artifact carries the final weights: its scores are the ones the run tracked.
    assert log_loss(probabilities(result, X[:180]), Y[:180]) == pytest.approx(summary.train_loss[-1], rel=1e-4)
    assert log_loss(probabilities(result, X[180:]), Y[180:]) == pytest.approx(summary.validation_loss[-1], rel=1e-4)
    continued = fit(X[:180], Y[:180], rounds=2, init_artifact_bytes=result.artifact_bytes, **dart)
    assert continued.summary.rounds_completed >= 1
    assert log_loss(probabilities(continued, X[:180]), Y[:180]) == pytest.approx(continued.summary.train_loss[-1],
                                                                                rel=1e-4)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(num_classes=2), ValueError, "target at index 1 is 2, expected integer in [0, 2)"),
    (dict(validation_rows=X[:3], validation_targets=[0.0, 1.5, 0.0]), ValueError,
     "validation target at index 1 is 1.5, expected integer in [0, 3)"),
    (dict(early_stopping_rounds=2), ValueError, "validation early stopping requires a validation dataset"),
])
def test_refusals(kwargs, error, message):
    y = Y.copy()
    y[:3] = [0.0, 2.0, 1.0]
    with pytest.raises(error) as info:
        fit(X, y, **kwargs)
    assert str(info.value) == message


def test_warm_start_model_must_match():
    first = fit(X, Y, rounds=2)
    with pytest.raises(ValueError, match=r"^init_model num_classes 3 does not match training num_classes 4$"):
        fit(X, Y, num_classes=4, init_artifact_bytes=first.artifact_bytes)
    with pytest.raises(ValueError, match=r"^init_model feature_count 4 does not match training data feature_count 5$"):
        fit(np.hstack([X, X[:, :1]]), Y, init_artifact_bytes=first.artifact_bytes)
    single = single_output_artifact(4, [])
    with pytest.raises(ValueError, match=r"^model artifact missing required MultiClassTrees section$"):
        fit(X, Y, init_artifact_bytes=single)


def test_a_metric_function_is_probed_but_never_evaluated():
    calls = []

    def metric(targets, predictions):
        calls.append(len(predictions))
        return "m", 0.0, False

    result = fit(X[:180], Y[:180], rounds=2, validation_rows=X[180:], validation_targets=Y[180:],
                 custom_metric_fn=metric)
    assert calls == [2]
    assert result.summary.custom_metric_values == [] and result.summary.custom_metric_name is None
