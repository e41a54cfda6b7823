"""Linear leaves from Python: they fit piecewise-linear data better than constant leaves of the same
depth and rounds, and the artifact predicts, on raw rows, exactly what training tracked."""

import numpy as np
import pytest

import _kestrune

train = _kestrune.train_regression_artifact_with_summary


def piecewise_linear(rows, seed, nan_rate=0.0):
    """Two linear pieces in features 1 and 2, chosen by the sign of feature 0."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 2.0, size=(rows, 5)).astype(np.float32)
    y = np.where(x[:, 0] > 0, 2.0 * x[:, 1] + x[:, 2], 3.0 * x[:, 2] - x[:, 1]) + 0.05 * rng.normal(size=rows)
    x[rng.uniform(size=(rows, 5)) < nan_rate] = np.nan
    return x, y.astype(np.float32)


def fit(x, y, leaf_model, max_depth=2, rounds=15, **kwargs):
    # Quantile bins: their cuts turn split bins into raw thresholds exactly, so the artifact can be
    # scored on the raw rows its linear leaves read.
    return train(x, y, 0.3, max_depth, 1.0, 1.0, 0.0, 5, True, rounds=rounds, lambda_l2=1.0, leaf_model=leaf_model,
                 continuous_binning_strategy="quantile", **kwargs)


def quantile_handle(result, strict=True):
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes, strict=strict)
    handle.convert_thresholds_to_float_quantile(result.continuous_binning_metadata.feature_quantile_cuts)
    return handle


def predict_raw(result, x):
    return np.asarray(quantile_handle(result).predict_numpy_array(np.ascontiguousarray(x)), dtype=np.float32)


def weighted_squared_loss(predictions, targets):
    """The objective's loss with unit weights: a float32 running sum in row order, then the mean."""
    total = np.float32(0.0)
    for p, t in zip(predictions.astype(np.float32), targets.astype(np.float32)):
        d = np.float32(p - t)
        total = np.float32(total + np.float32(np.float32(1.0) * np.float32(d * d)))
    return np.float32(total / np.float32(len(targets)))


@pytest.mark.parametrize("growth", [dict(tree_growth="level"), dict(tree_growth="leaf", max_leaves=4)])
def test_linear_leaves_beat_constant_leaves_on_piecewise_linear_data(growth):
    x, y = piecewise_linear(600, seed=1)
    x_held, y_held = piecewise_linear(300, seed=2)
    held_mse = {}
    for leaf_model in ("constant", "linear"):
        result = fit(x, y, leaf_model, **growth)
        held_mse[leaf_model] = float(np.mean((predict_raw(result, x_held) - y_held) ** 2))
    assert held_mse["linear"] < 0.4 * held_mse["constant"], held_mse


@pytest.mark.parametrize("growth", [dict(tree_growth="level"), dict(tree_growth="leaf", max_leaves=6)])
def test_artifact_scores_what_training_tracked(growth):
    # Missing values too: a NaN raw value adds nothing for its term, in training as in prediction.
    x, y = piecewise_linear(600, seed=3, nan_rate=0.03)
    x_valid, y_valid = piecewise_linear(200, seed=4, nan_rate=0.03)
    result = fit(x, y, "linear", max_depth=3, sample_weights=[1.0] * len(y), validation_rows=x_valid,
                 validation_targets=y_valid, validation_sample_weights=[1.0] * len(y_valid), **growth)
    summary = result.summary
    assert summary.rounds_completed == 15
    # Bit for bit: the losses the loop tracked are the losses of the artifact's raw-row scores,
    # on the training rows and on the validation rows (which need their raw values too).
    assert weighted_squared_loss(predict_raw(result, x), y) == np.float32(summary.train_loss[-1])
    assert weighted_squared_loss(predict_raw(result, x_valid), y_valid) == np.float32(summary.validation_loss[-1])


def test_multiclass_trains_linear_leaves_that_the_artifact_scores():
    rng = np.random.default_rng(4)
    x = rng.uniform(-1.0, 1.0, size=(300, 3)).astype(np.float32)
    y = np.argmax(np.stack([x[:, 0] + x[:, 1], x[:, 1] - x[:, 2], 0.2 * x[:, 0]], axis=1), axis=1).astype(np.float32)
    result = train(x, y, 0.3, 2, 1.0, 1.0, 0.0, 7, True, rounds=5, objective="multiclass_softmax", num_classes=3,
                   leaf_model="linear", continuous_binning_strategy="quantile")
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes, strict=False)
    handle.convert_thresholds_to_float_quantile(result.continuous_binning_metadata.feature_quantile_cuts)
    p = np.asarray(handle.predict_numpy_multiclass(x), dtype=np.float64).reshape(300, 3)
    loss = -np.mean(np.log(p[np.arange(300), y.astype(np.int64)]))
    assert loss == pytest.approx(result.summary.train_loss[-1], rel=1e-5)
    assert result.summary.train_loss[-1] < result.summary.train_loss[0]


def squared_error_of_artifact(result, x, y):
    return float(np.mean((predict_raw(result, x).astype(np.float64) - y.astype(np.float64)) ** 2))


def softmax_loss_of_artifact(result, x, labels):
    p = np.asarray(quantile_handle(result, strict=False).predict_numpy_multiclass(x), dtype=np.float64)
    p = p.reshape(len(labels), -1)
    return float(-np.mean(np.log(p[np.arange(len(labels)), labels.astype(np.int64)])))


MULTICLASS = dict(objective="multiclass_softmax", num_classes=3)


# A continuation replays the earlier model's linear leaves with their slopes, whatever leaf model
# it grows itself: the losses it reports, early stopping's included, and the residuals its trees
# fit are those of the model it returns, as the predictor scores it.
@pytest.mark.parametrize("rounds, stopping, objective",
                         [(1, {}, {}), (4, {}, {}), (30, dict(early_stopping_rounds=1), {}), (3, {}, MULTICLASS)])
def test_continuing_a_linear_model_with_constant_leaves_reports_the_returned_models_losses(rounds, stopping, objective):
    x, y = piecewise_linear(400, seed=5)
    x_valid, y_valid = piecewise_linear(150, seed=6)
    loss_of = squared_error_of_artifact
    if objective:
        # Three classes: below -1, up to 1, above.
        y, y_valid = (np.digitize(t, [-1.0, 1.0]).astype(np.float32) for t in (y, y_valid))
        loss_of = softmax_loss_of_artifact
    prior = fit(x, y, "linear", rounds=2, **objective)
    result = fit(x, y, "constant", rounds=rounds, init_artifact_bytes=prior.artifact_bytes, validation_rows=x_valid,
                 validation_targets=y_valid, **stopping, **objective)
    summary = result.summary
    assert summary.train_loss[-1] == pytest.approx(loss_of(result, x, y), rel=1e-5)
    assert summary.validation_loss[-1] == pytest.approx(loss_of(result, x_valid, y_valid), rel=1e-5)
