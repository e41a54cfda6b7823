"""Training with a custom objective, custom loss and custom evaluation metric written in Python: the
answers each callable may give, how they are read, and the refusals that end the training call."""

import collections

import numpy as np
import pytest

from conftest import fit as base_fit, predict

rng = np.random.default_rng(4)
X = rng.normal(size=(150, 3)).astype(np.float32)
Y = (X[:, 0] - 0.5 * X[:, 2] + 0.1 * rng.normal(size=150)).astype(np.float32)
TRAIN_X, TRAIN_Y, VALID_X, VALID_Y = X[:100], Y[:100], X[100:], Y[100:]
VALIDATION = dict(validation_rows=VALID_X, validation_targets=VALID_Y)
WEIGHTS = np.where(np.arange(100) % 2 == 0, 2.0, 0.5).astype(np.float32)
Pair = collections.namedtuple("Pair", "g h")


def fit(rounds=6, **kwargs):
    return base_fit(TRAIN_X, TRAIN_Y, rounds=rounds, seed=3, **kwargs)


def squared_error(y, p):
    return p - y, np.ones_like(y)


def raising(error):
    def fn(y, p):
        raise error
    return fn


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


# Any pair of float sequences will do: lists, tuples, a namedtuple, arrays of any dtype or stride.
@pytest.mark.parametrize("objective", [
    squared_error,
    lambda y, p: Pair(list(p - y), tuple(np.ones(len(y)))),
    lambda y, p: ((p - y).astype(np.float64), np.ones(2 * len(y), dtype=np.int8)[::2]),
])
@pytest.mark.parametrize("weights", [None, WEIGHTS])
def test_custom_squared_error_grows_the_built_in_model(objective, weights):
    # The derivatives are weighted, and the starting score is the weighted target mean.
    custom = fit(objective="custom", custom_objective_fn=objective, sample_weights=weights)
    builtin = fit(sample_weights=weights)
    assert custom.summary.objective == "custom"
    if weights is None:  # a custom loss is the plain mean, whatever the weights
        assert custom.summary.train_loss == pytest.approx(builtin.summary.train_loss, rel=1e-5)
    np.testing.assert_allclose(predict(custom, TRAIN_X), predict(builtin, TRAIN_X), rtol=1e-5, atol=1e-5)


def test_custom_loss_is_the_reported_training_loss():
    def mean_absolute_error(y, p):
        assert y.dtype == p.dtype == np.float32
        return np.float64(np.mean(np.abs(p.astype(np.float64) - y)))

    result = fit(objective="custom", custom_objective_fn=squared_error, custom_loss_fn=mean_absolute_error)
    final_mae = float(np.mean(np.abs(predict(result, TRAIN_X) - TRAIN_Y)))
    assert result.summary.train_loss[-1] == pytest.approx(final_mae, rel=1e-5)


def fails_in_round(n, error):
    calls = []

    def objective(y, p):
        calls.append(1)
        if len(calls) == n:
            raise error
        return squared_error(y, p)
    return objective


FAILED = "custom objective callable failed: "
METRIC = "custom eval metric "


# Every refusal ends the training call as a plain ValueError, without a chained cause.
@pytest.mark.parametrize("options, message", [
    (dict(custom_objective_fn=fails_in_round(3, KeyError("round"))), FAILED + "KeyError: 'round'"),
    (dict(custom_objective_fn=raising(Unprintable())), FAILED + "Unprintable: <exception str() failed>"),
    (dict(custom_objective_fn=3), FAILED + "TypeError: 'int' object is not callable"),
    (dict(custom_objective_fn=lambda y, p: [p - y, y]), "custom objective must return a tuple of (gradient, hessian)"),
    (dict(custom_objective_fn=lambda y, p: (y, y, y)), "custom objective must return exactly 2 arrays, got 3"),
    (dict(custom_objective_fn=lambda y, p: ("ab", y)),
     "failed to extract array as Vec<f32>: TypeError: Can't extract `str` to `Vec`"),
    (dict(custom_objective_fn=lambda y, p: ([[1.0]] * len(y), y)),
     "failed to extract array as Vec<f32>: TypeError: must be real number, not list"),
    (dict(custom_objective_fn=lambda y, p: ((p - y)[:-1], np.ones_like(y))),
     "gradient array length 99 does not match target length 100"),
    (dict(custom_objective_fn=lambda y, p: (p - y, np.ones(101))), "hessian array length 101 does not match target "
     "length 100"),
    (dict(custom_objective_fn=lambda y, p: (p - y + np.nan, np.zeros_like(y))),
     "objective produced invalid gradient/hessian values"),
    (dict(custom_objective_fn=squared_error, custom_loss_fn=lambda y, p: "x"),
     "custom loss must return a float, got: TypeError: must be real number, not str"),
    (dict(custom_objective_fn=squared_error, custom_loss_fn=raising(KeyError("k"))),
     "custom loss callable failed: KeyError: 'k'"),
    # The metric is probed before training and before the objective is looked up.
    (dict(custom_objective_fn=fails_in_round(1, AssertionError()), custom_metric_fn=lambda y, p: 1 / 0),
     METRIC + "callable failed: ZeroDivisionError: division by zero"),
    (dict(objective="no_such_objective", custom_metric_fn="auc"),
     METRIC + "callable failed: TypeError: 'str' object is not callable"),
    (dict(custom_metric_fn=lambda y, p: ["m", 1.0, True]),
     METRIC + "must return a tuple of (name, value, higher_is_better)"),
    (dict(custom_metric_fn=lambda y, p: ("m", 1.0)),
     METRIC + "must return exactly 3 values (name, value, higher_is_better), got 2"),
    (dict(custom_metric_fn=lambda y, p: (1, 1.0, True)),
     "metric name must be a string: TypeError: 'int' object is not an instance of 'str'"),
    (dict(custom_metric_fn=lambda y, p: ("m", "x", True)), "metric value must be a float: TypeError: must be real "
     "number, not str"),
    (dict(custom_metric_fn=lambda y, p: ("m", 1.0, 1)),
     "higher_is_better must be a bool: TypeError: 'int' object is not an instance of 'bool'"),
    # A metric that answers its probe may still fail in a round.
    (dict(custom_objective_fn=squared_error, custom_metric_fn=lambda y, p: ("m", 0.0, True) if len(y) == 2 else {}[0],
          **VALIDATION), METRIC + "callable failed: KeyError: 0"),
])
def test_callback_refusals_end_the_training_call(options, message):
    with pytest.raises(ValueError) as info:
        fit(**{"objective": "custom", **options})
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def metric(calls, constant=None, higher_is_better=False):
    """Mean absolute error of the validation predictions, or a constant; records what it receives.
    Later answers rename the metric and flip its direction: only the first answer counts."""
    def fn(y, p):
        calls.append((y.copy(), p.copy()))
        first = len(calls) == 1
        value = float(np.mean(np.abs(p - y))) if constant is None else constant
        return "mae" if first else "renamed", value, np.bool_(higher_is_better == first)
    return fn


def test_metric_is_probed_then_evaluated_on_the_validation_set_each_round():
    calls = []
    result = fit(custom_metric_fn=metric(calls), **VALIDATION)
    summary = result.summary
    assert summary.custom_metric_name == "mae"
    assert len(summary.custom_metric_values) == summary.rounds_completed == 6 == len(calls) - 1
    assert calls[0][0].dtype == np.float32 and list(calls[0][0]) == [0.0, 0.0] and list(calls[0][1]) == [0.0, 0.0]
    np.testing.assert_array_equal(calls[-1][0], VALID_Y)
    final_mae = float(np.mean(np.abs(predict(result, VALID_X) - VALID_Y)))
    assert summary.custom_metric_values[-1] == pytest.approx(final_mae, rel=1e-5)
    # Without a validation set the metric is only probed.
    calls = []
    summary = fit(custom_metric_fn=metric(calls)).summary
    assert len(calls) == 1 and summary.custom_metric_values == [] and summary.custom_metric_name is None
    # The direction is the first answer's: a constant metric that is to grow plateaus.
    summary = fit(50, custom_metric_fn=metric([], 0.5, True), early_stopping_rounds=2, **VALIDATION).summary
    assert summary.stop_reason == "CustomMetricPlateau" and summary.rounds_completed < 50
