"""DART through the Python training function: the artifact predicts exactly what the fit tracked
(every tree at its DART weight), seeded runs repeat, and a continued fit reads the earlier trees'
weights back from the artifact."""

import numpy as np
import pytest

import _kestrune

train = _kestrune.train_regression_artifact_with_summary

rng = np.random.default_rng(0)
X = rng.normal(size=(120, 3)).astype(np.float32)
Y = (1.5 * X[:, 0] - X[:, 1] + 0.1 * rng.normal(size=120)).astype(np.float32)
GROUPS = [i // 12 for i in range(len(Y))]


def dart_fit(rounds=8, seed=11, **kwargs):
    return train(X, Y, 0.3, 3, 0.8, 1.0, 0.0, seed, True, rounds=rounds, boosting_mode="dart",
                 dart_drop_rate=0.3, dart_max_drop=2, **kwargs)


def predict(result, x):
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    return np.asarray(handle.predict_dense_quantized_linear(x.ravel().tolist(), x.shape[0], x.shape[1],
                                                            metadata.feature_mins, metadata.feature_maxs))


class Capture:
    """A metric that keeps the validation predictions the fit tracked in its last round."""

    def __init__(self):
        self.last = None
        self.rounds = 0

    def __call__(self, targets, predictions):
        self.last = np.array(predictions, dtype=np.float64)
        self.rounds += 1
        return ("capture", float(self.rounds), True)


def tracked_fit(**kwargs):
    """A DART fit whose validation set is its training set, so the tracked predictions are on X."""
    capture = Capture()
    result = dart_fit(validation_rows=X, validation_targets=Y, custom_metric_fn=capture, **kwargs)
    return result, capture


@pytest.mark.parametrize("objective, extra", [
    ("squared_error", {}),
    ("queryrmse", dict(group_id=GROUPS, validation_group_id=GROUPS)),
    ("quantile", dict(quantile_alpha=0.6)),
])
def test_artifact_predicts_what_the_fit_tracked(objective, extra):
    result, capture = tracked_fit(objective=objective, **extra)
    assert result.summary.rounds_completed >= 3
    np.testing.assert_allclose(predict(result, X), capture.last, rtol=1e-5, atol=1e-5)


def test_seeded_runs_repeat_and_the_seed_keys_the_drops():
    first, second, other = dart_fit(), dart_fit(), dart_fit(seed=12)
    assert first.artifact_bytes == second.artifact_bytes
    assert first.summary.train_loss == second.summary.train_loss
    assert other.artifact_bytes != first.artifact_bytes


def test_a_continued_fit_keeps_the_earlier_weights():
    first = dart_fit(rounds=4)
    continued, capture = tracked_fit(rounds=4, init_artifact_bytes=first.artifact_bytes)
    # The tracked predictions began with the earlier trees at the weights their artifact stored.
    np.testing.assert_allclose(predict(continued, X), capture.last, rtol=1e-5, atol=1e-5)
