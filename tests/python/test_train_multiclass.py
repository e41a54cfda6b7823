"""Multiclass training: the summary against the artifact's probabilities, warm starts through the
artifact, and the multiclass refusals."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import linear_bin, single_output_artifact
from conftest import train

CLASSES = 3


def class_data(rows=240, features=4, seed=0, noise=0.1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(rows, features)).astype(np.float32)
    y = np.argmax(np.stack([x[:, 0], x[:, 1], 0.3 - x[:, 0] - x[:, 1]], axis=1), axis=1)
    flip = rng.uniform(size=rows) < noise
    y[flip] = rng.integers(0, CLASSES, size=int(flip.sum()))
    return x, y.astype(np.float32)


def fit(x, y, rounds=6, learning_rate=0.3, max_depth=3, min_validation_improvement=0.0, **kwargs):
    kwargs.setdefault("num_classes", CLASSES)
    return train(x, y, learning_rate, max_depth, 1.0, 1.0, min_validation_improvement, 7, True, rounds=rounds,
                 objective="multiclass_softmax", **kwargs)


def probabilities(result, x):
    """Row-major class probabilities of the artifact on rows binned as training binned them."""
    metadata = result.continuous_binning_metadata
    bins = [[linear_bin(v, lo, hi, 254) for v, lo, hi in zip(row, metadata.feature_mins, metadata.feature_maxs)]
            for row in x.tolist()]
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes, strict=False)
    assert handle.is_multiclass() and handle.num_classes() == CLASSES
    return np.asarray(handle.predict_multiclass(bins), dtype=np.float64).reshape(len(bins), CLASSES)


def log_loss(p, y):
    return float(-np.mean(np.log(p[np.arange(len(y)), np.asarray(y, dtype=np.int64)])))


X, Y = class_data()


def test_probabilities_are_those_of_the_training_state_and_warm_starts_continue():
    straight = fit(X, Y, rounds=6)
    summary = straight.summary
    assert (summary.objective, summary.rounds_completed, summary.stop_reason) == (
        "multiclass_softmax", 6, "CompletedRequestedRounds")
    assert summary.train_rmse == pytest.approx([math.sqrt(v) for v in summary.train_loss], rel=1e-6)
    assert summary.train_loss == sorted(summary.train_loss, reverse=True)
    p = probabilities(straight, X)
    np.testing.assert_allclose(p.sum(axis=1), 1.0, rtol=1e-6)
    assert log_loss(p, Y) == pytest.approx(summary.train_loss[-1], rel=1e-5)
    assert float(np.mean(np.argmax(p, axis=1) == Y)) > 0.8
    continued = fit(X, Y, rounds=3, init_artifact_bytes=fit(X, Y, rounds=3).artifact_bytes)
    assert continued.summary.train_loss == pytest.approx(summary.train_loss[3:], rel=1e-6)
    assert continued.artifact_bytes == straight.artifact_bytes


@pytest.mark.parametrize("kwargs, message", [
    (dict(num_classes=4, init_artifact_bytes=True), "init_model num_classes 3 does not match training num_classes 4"),
    (dict(x=np.hstack([X, X[:, :1]]), init_artifact_bytes=True),
     "init_model feature_count 4 does not match training data feature_count 5"),
    (dict(init_artifact_bytes=single_output_artifact(4, [])), "model artifact missing required MultiClassTrees"),
])
def test_refusals(kwargs, message):
    kwargs = dict(kwargs)
    if kwargs.get("init_artifact_bytes") is True:
        kwargs["init_artifact_bytes"] = fit(X, Y, rounds=2).artifact_bytes
    with pytest.raises(ValueError) as info:
        fit(kwargs.pop("x", X), Y, **kwargs)
    assert str(info.value).startswith(message)
