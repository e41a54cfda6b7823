"""Training with a custom objective, custom loss and custom evaluation metric written in Python."""

import numpy as np
import pytest

import _kestrune

train = _kestrune.train_regression_artifact_with_summary

rng = np.random.default_rng(4)
X = rng.normal(size=(150, 3)).astype(np.float32)
Y = (X[:, 0] - 0.5 * X[:, 2] + 0.1 * rng.normal(size=150)).astype(np.float32)
TRAIN_X, TRAIN_Y, VALID_X, VALID_Y = X[:100], Y[:100], X[100:], Y[100:]


def fit(x=TRAIN_X, y=TRAIN_Y, rounds=6, **kwargs):
    return train(x, y, 0.3, 3, 1.0, 1.0, 0.0, 3, True, rounds=rounds, **kwargs)


def with_validation(**kwargs):
    return fit(validation_rows=VALID_X, validation_targets=VALID_Y, **kwargs)


def squared_error_objective(y_true, y_pred):
    return y_pred - y_true, np.ones_like(y_true)


def predict(result, x):
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    return np.asarray(handle.predict_dense_quantized_linear(x.ravel().tolist(), x.shape[0], x.shape[1],
                                                            metadata.feature_mins, metadata.feature_maxs))


def test_custom_squared_error_grows_the_built_in_model():
    custom = fit(objective="custom", custom_objective_fn=squared_error_objective)
    builtin = fit()
    assert custom.summary.objective == "custom"
    assert custom.summary.train_loss == pytest.approx(builtin.summary.train_loss, rel=1e-6)
    np.testing.assert_allclose(predict(custom, TRAIN_X), predict(builtin, TRAIN_X), rtol=1e-6, atol=1e-6)


def test_objective_is_called_with_targets_then_raw_scores():
    calls = []

    def objective(y_true, y_pred):
        calls.append((y_true.dtype, y_true.copy(), y_pred.copy()))
        return list(y_pred - y_true), tuple(np.ones(len(y_true)))

    fit(objective="custom", custom_objective_fn=objective, rounds=2)
    assert len(calls) >= 2
    dtype, y_true, y_pred = calls[0]
    assert dtype == np.float32
    np.testing.assert_array_equal(y_true, TRAIN_Y)
    # Before the first tree every raw score is the starting score, the target mean.
    assert np.all(y_pred == y_pred[0])
    assert y_pred[0] == pytest.approx(float(np.mean(TRAIN_Y.astype(np.float64))), rel=1e-6)


def test_weights_scale_the_returned_derivatives():
    weights = np.where(np.arange(100) % 2 == 0, 2.0, 0.5).astype(np.float32)
    custom = fit(objective="custom", custom_objective_fn=squared_error_objective, sample_weights=weights)
    builtin = fit(sample_weights=weights)
    np.testing.assert_allclose(predict(custom, TRAIN_X), predict(builtin, TRAIN_X), rtol=1e-5, atol=1e-5)


def test_custom_loss_is_the_reported_training_loss():
    def mean_absolute_error(y_true, y_pred):
        assert y_true.dtype == y_pred.dtype == np.float32
        return float(np.mean(np.abs(y_pred.astype(np.float64) - y_true)))

    result = fit(objective="custom", custom_objective_fn=squared_error_objective,
                 custom_loss_fn=mean_absolute_error)
    final_mae = float(np.mean(np.abs(predict(result, TRAIN_X) - TRAIN_Y)))
    assert result.summary.train_loss[-1] == pytest.approx(final_mae, rel=1e-5)


# How each answer is read is tested on the adapter itself (tests/python/native); here the failures
# must end the training call as a plain ValueError, without a chained cause.
@pytest.mark.parametrize(
    "objective, message",
    [
        (lambda y, p: (_ for _ in ()).throw(ValueError("bad")), "custom objective callable failed: ValueError: bad"),
        (lambda y, p: ((p - y)[:-1], np.ones_like(y)), "gradient array length 99 does not match target length 100"),
        (lambda y, p: (p - y, np.zeros_like(y)), "objective produced invalid gradient/hessian values"),
        (lambda y, p: (p - y + np.nan, np.ones_like(y)), "objective produced invalid gradient/hessian values"),
    ],
)
def test_objective_failures_end_the_training_call(objective, message):
    with pytest.raises(ValueError) as info:
        fit(objective="custom", custom_objective_fn=objective)
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def fails_in_round(n, error):
    calls = []

    def objective(y_true, y_pred):
        calls.append(1)
        if len(calls) >= n:  # from the n-th call on, so that a repeated run fails alike
            raise error
        return squared_error_objective(y_true, y_pred)
    return objective


def raising(error):
    def fn(y_true, y_pred):
        raise error
    return fn


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


FAILED = "custom objective callable failed: "
METRIC = "custom eval metric "
VALIDATION = dict(validation_rows=VALID_X, validation_targets=VALID_Y)


# Every kind of callback refusal, from each of the three callables and at each point of the fit,
# ends the training call as a plain ValueError without a chained cause.
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
    (dict(custom_objective_fn=lambda y, p: (p - y, np.ones(101))),
     "hessian array length 101 does not match target length 100"),
    (dict(custom_objective_fn=lambda y, p: (p - y + np.nan, np.zeros_like(y))),
     "objective produced invalid gradient/hessian values"),
    (dict(custom_objective_fn=squared_error_objective, custom_loss_fn=lambda y, p: "x"),
     "custom loss must return a float, got: TypeError: must be real number, not str"),
    (dict(custom_objective_fn=squared_error_objective, custom_loss_fn=raising(KeyError("k"))),
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
    (dict(custom_metric_fn=lambda y, p: ("m", "x", True)),
     "metric value must be a float: TypeError: must be real number, not str"),
    (dict(custom_metric_fn=lambda y, p: ("m", 1.0, 1)),
     "higher_is_better must be a bool: TypeError: 'int' object is not an instance of 'bool'"),
    # A metric that answers its probe may still fail in a round.
    (dict(custom_objective_fn=squared_error_objective, **VALIDATION,
          custom_metric_fn=lambda y, p: ("m", 0.0, True) if len(y) == 2 else {}[0]),
     METRIC + "callable failed: KeyError: 0"),
])
def test_every_callback_refusal_ends_the_training_call_without_a_cause(options, message):
    with pytest.raises(ValueError) as info:
        fit(**{"objective": "custom", **options})
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_objective_failing_in_a_later_round_ends_the_call():
    calls = []

    def objective(y_true, y_pred):
        calls.append(1)
        if len(calls) == 3:
            raise KeyError("round")
        return y_pred - y_true, np.ones_like(y_true)

    with pytest.raises(ValueError, match="^custom objective callable failed: KeyError: 'round'$"):
        fit(objective="custom", custom_objective_fn=objective)


def test_loss_failure_ends_the_training_call():
    with pytest.raises(ValueError, match="^custom loss must return a float, got: TypeError: "):
        fit(objective="custom", custom_objective_fn=squared_error_objective, custom_loss_fn=lambda y, p: "x")


class Metric:
    """Mean absolute error of the validation predictions; records what it receives."""

    def __init__(self, name="mae", higher_is_better=False, constant=None):
        self.calls = []
        self.name, self.higher_is_better, self.constant = name, higher_is_better, constant

    def __call__(self, y_true, y_pred):
        self.calls.append((y_true.copy(), y_pred.copy()))
        value = self.constant if self.constant is not None else float(np.mean(np.abs(y_pred - y_true)))
        # Later answers may rename or flip the metric: only the first answer counts.
        name = self.name if len(self.calls) == 1 else "renamed"
        return name, value, self.higher_is_better if len(self.calls) == 1 else not self.higher_is_better


def test_metric_is_probed_then_evaluated_on_the_validation_set_each_round():
    metric = Metric()
    result = with_validation(custom_metric_fn=metric)
    summary = result.summary
    assert summary.custom_metric_name == "mae"
    assert len(summary.custom_metric_values) == summary.rounds_completed == 6
    probe_true, probe_pred = metric.calls[0]
    assert probe_true.dtype == np.float32 and list(probe_true) == [0.0, 0.0] and list(probe_pred) == [0.0, 0.0]
    assert len(metric.calls) == 1 + 6
    np.testing.assert_array_equal(metric.calls[-1][0], VALID_Y)
    final_mae = float(np.mean(np.abs(predict(result, VALID_X) - VALID_Y)))
    assert summary.custom_metric_values[-1] == pytest.approx(final_mae, rel=1e-5)


def test_metric_plateau_stops_training():
    result = with_validation(custom_metric_fn=Metric(higher_is_better=True, constant=0.5), rounds=50,
                             early_stopping_rounds=2)
    summary = result.summary
    assert summary.stop_reason == "CustomMetricPlateau"
    assert summary.rounds_completed < 50
    assert set(summary.custom_metric_values) == {0.5}


def test_metric_without_validation_set_is_only_probed():
    metric = Metric()
    summary = fit(custom_metric_fn=metric).summary
    assert len(metric.calls) == 1
    assert summary.custom_metric_values == [] and summary.custom_metric_name is None


def test_metric_works_with_warm_start_and_validation():
    first = fit(rounds=2)
    metric = Metric()
    summary = with_validation(custom_metric_fn=metric, init_artifact_bytes=first.artifact_bytes, rounds=3).summary
    assert summary.custom_metric_name == "mae" and len(summary.custom_metric_values) == 3


def test_probe_failure_ends_the_call_before_training():
    objective_calls = []

    def objective(y_true, y_pred):
        objective_calls.append(1)
        return squared_error_objective(y_true, y_pred)

    with pytest.raises(ValueError, match="^custom eval metric callable failed: ZeroDivisionError: float division"):
        fit(objective="custom", custom_objective_fn=objective, custom_metric_fn=lambda y, p: 1.0 / float(y[0]))
    assert objective_calls == []


def test_metric_failing_during_the_fit_ends_the_call():
    def metric(y_true, y_pred):
        if len(y_true) != 2:
            raise RuntimeError("no score")
        return "m", 0.0, np.bool_(True)

    with pytest.raises(ValueError, match="^custom eval metric callable failed: RuntimeError: no score$"):
        with_validation(custom_metric_fn=metric)


def test_the_metric_probe_precedes_the_objective_lookup():
    with pytest.raises(ValueError, match="^custom eval metric callable failed: "):
        fit(objective="no_such_objective", custom_metric_fn=lambda y, p: 1 / 0)
