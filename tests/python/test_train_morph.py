"""Morph mode through the Python training function: the artifact predicts what the fit tracked,
a continued fit resumes the gradient statistics and the schedule from the artifact, and
multiclass fits train in morph mode too."""

import numpy as np
import pytest

import _kestrune
from test_train_dart import Capture, predict
from test_train_multiclass import class_data, fit as multiclass_fit, log_loss, probabilities

train = _kestrune.train_regression_artifact_with_summary

rng = np.random.default_rng(4)
X = rng.normal(size=(150, 3)).astype(np.float32)
Y = (1.5 * X[:, 0] - X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=150)).astype(np.float32)

# The surprise term steers splits from the first round; without progress terms (whose schedule
# length differs between a paused fit and a straight one) a continued fit is the straight fit.
STEADY = {"morph_warmup_iters": 0, "info_score_weight": 0.5, "evolution_pressure": 0.0, "morph_rate": 0.0}


def morph_fit(morph_config, rounds=8, **kwargs):
    return train(X, Y, 0.3, 3, 0.8, 1.0, 0.0, 5, True, rounds=rounds, morph_config=morph_config, **kwargs)


@pytest.mark.parametrize("morph_config, extra", [
    ({}, {}),
    ({"lr_schedule": "warmup_cosine", "lr_warmup_frac": 0.3, "morph_warmup_iters": 2}, {}),
    ({"morph_warmup_iters": 1}, dict(objective="quantile", quantile_alpha=0.6)),
    ({"lr_schedule": "warmup_cosine"}, dict(tree_growth="leaf", max_leaves=6)),
])
def test_artifact_predicts_what_the_fit_tracked(morph_config, extra):
    capture = Capture()
    result = morph_fit(morph_config, validation_rows=X, validation_targets=Y, custom_metric_fn=capture, **extra)
    assert result.summary.rounds_completed >= 3
    np.testing.assert_allclose(predict(result, X), capture.last, rtol=1e-5, atol=1e-5)


def test_a_continued_fit_resumes_the_statistics_and_the_schedule():
    straight = morph_fit(STEADY, rounds=7)
    first = morph_fit(STEADY, rounds=4)
    continued = morph_fit(STEADY, rounds=3, init_artifact_bytes=first.artifact_bytes)
    assert continued.summary.rounds_completed == 3
    assert continued.summary.train_loss == straight.summary.train_loss[4:]
    np.testing.assert_array_equal(predict(continued, X), predict(straight, X))
    # The morph section records this fit's rounds, the rest of the artifacts agree.
    assert continued.artifact_bytes != straight.artifact_bytes
    assert len(continued.artifact_bytes) == len(straight.artifact_bytes)


def test_multiclass_morph_fits_and_continues():
    x, y = class_data()
    config = {"lr_schedule": "warmup_cosine", "lr_warmup_frac": 0.2, "morph_warmup_iters": 1}
    first = multiclass_fit(x, y, rounds=4, morph_config=config)
    assert first.summary.rounds_completed == 4
    assert log_loss(probabilities(first, x), y) == pytest.approx(first.summary.train_loss[-1], rel=1e-5)
    continued = multiclass_fit(x, y, rounds=3, morph_config=config, init_artifact_bytes=first.artifact_bytes)
    assert continued.summary.rounds_completed == 3
    assert continued.summary.train_loss[-1] < first.summary.train_loss[-1]
    assert log_loss(probabilities(continued, x), y) == pytest.approx(continued.summary.train_loss[-1], rel=1e-5)
