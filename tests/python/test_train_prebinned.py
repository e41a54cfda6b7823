"""Already-binned training matrices (whole non-negative values) whose largest allowed value is also
the usual missing-value code: every value trains as the bin the predictor reads, NaN in validation
rows stays missing, and matrices without that value train as before."""

import numpy as np
import pytest

import _kestrune

ROWS = 600


def fit(x, y, vx, vy, **options):
    return _kestrune.train_regression_artifact_with_summary(
        x, y, 0.3, 3, 1.0, 1.0, 0.0, 1, True, rounds=12, training_policy="manual", validation_rows=vx,
        validation_targets=vy, **options)


def artifact_mse(result, x, y):
    scores = _kestrune.predictor_predict_batch_dense(result.artifact_bytes, x.ravel().tolist(), *x.shape)
    return float(np.mean((np.asarray(scores, np.float64) - y.astype(np.float64)) ** 2))


def binned_data(top, seed=0, features=3):
    """Whole values 0..top in every column (each column holds both ends), targets that put the top
    value with the lowest third rather than with its neighbours, and validation rows drawn the same way."""
    rng = np.random.default_rng(seed)
    x = rng.integers(0, top + 1, size=(2 * ROWS, features)).astype(np.float32)
    x[rng.random(ROWS * 2) < 0.3, 0] = top
    x[0], x[1], x[2, 2] = 0, top, 3
    y = (np.where((x[:, 0] == top) | (x[:, 0] < top / 3), 5.0, 0.0) + x[:, 1] / top).astype(np.float32)
    return x[:ROWS], y[:ROWS], x[ROWS:], y[ROWS:]


CASES = [  # (largest value in the training rows, continuous_binning_max_bins, in the validation rows)
    (255, 255, 255),
    (255, 256, 255),
    (1023, 1024, 1023),
    (65534, 65535, 65534),
    (254, 255, 255),  # only the validation rows hold the usual missing code
]


@pytest.mark.parametrize("top, max_bins, validation_top", CASES)
@pytest.mark.parametrize("nan", [False, True], ids=["no-nan", "nan"])
def test_tracked_losses_are_those_of_the_artifact(top, max_bins, validation_top, nan):
    x, y, vx, vy = binned_data(validation_top)
    x = np.minimum(x, top)
    if nan:
        vx[::7, 0] = np.nan
    result = fit(x, y, vx, vy, continuous_binning_max_bins=max_bins)
    summary = result.summary
    assert summary.train_loss[-1] == pytest.approx(artifact_mse(result, x, y), rel=1e-5, abs=1e-9)
    assert summary.validation_loss[-1] == pytest.approx(artifact_mse(result, vx, vy), rel=1e-5, abs=1e-9)


def test_pixel_intensities_train_as_the_predictor_reads_them():
    rng = np.random.default_rng(4)
    x = rng.integers(0, 256, size=(2 * ROWS, 8)).astype(np.float32)
    x[rng.random(2 * ROWS) < 0.2, 2] = 255.0  # saturated pixels
    y = ((x[:, 2] == 255) * 3.0 + (x[:, 0] > 128) - x[:, 5] / 255).astype(np.float32)
    result = fit(x[:ROWS], y[:ROWS], x[ROWS:], y[ROWS:])
    assert result.summary.train_loss[-1] == pytest.approx(artifact_mse(result, x[:ROWS], y[:ROWS]), rel=1e-5)
    assert result.summary.validation_loss[-1] == pytest.approx(artifact_mse(result, x[ROWS:], y[ROWS:]), rel=1e-5)


def continuous_twin(x):
    """The same rows with one value made fractional: the linear quantizer, with each column's range
    0..top and top bins above 0, gives every value its own code again."""
    twin = x.copy()
    twin[2, 2] = np.float32(twin[2, 2] + 0.25)
    return twin


# An already-binned matrix trains bit for bit as its continuous twin: with the usual storage when
# it lacks the usual missing code (twin with the same max_bins), with the code after its top value
# when it holds it (twin with top + 2 max_bins, whose codes are 0..top and missing top + 1).
@pytest.mark.parametrize("top, max_bins, twin_max_bins", [(254, 255, 255), (255, 255, 257), (255, 16, 257),
                                                          (1022, 1024, 1024), (1023, 1024, 1025)])
def test_binned_matrix_trains_as_its_continuous_twin(top, max_bins, twin_max_bins):
    x, y, vx, vy = binned_data(top, seed=1)
    vx[::5, 1] = np.nan
    binned = fit(x, y, vx, vy, continuous_binning_max_bins=max_bins)
    twin = fit(continuous_twin(x), y, vx, vy, continuous_binning_max_bins=twin_max_bins)
    assert twin.continuous_binning_metadata.feature_mins is not None
    assert binned.artifact_bytes == twin.artifact_bytes
    assert binned.summary.train_loss == twin.summary.train_loss
    assert binned.summary.validation_loss == twin.summary.validation_loss


@pytest.mark.parametrize("top, max_bin, twin_max_bin", [(254, 255, 255), (255, 255, 257)])
def test_joint_ranker_bins_as_its_continuous_twin(top, max_bin, twin_max_bin):
    x, y, _, _ = binned_data(top, seed=2)
    targets = [y.tolist(), (y * 0.5).tolist()]

    def joint(values, bins):
        return _kestrune.train_joint_multi_label_ranker(values.ravel().tolist(), ROWS, 3, targets, 2,
                                                        ["squared_error"] * 2, None, 6, 0.3, 1, 3, 5, 1.0, bins)

    binned, twin = joint(x, max_bin), joint(continuous_twin(x), twin_max_bin)
    assert binned[0] == twin[0] and binned[1] == twin[1]
    handle = _kestrune.JointPredictorHandle(*binned[:3])
    scores = np.asarray(handle.predict_dense(x.ravel().tolist()), np.float64).reshape(ROWS, 2)
    assert np.mean((scores[:, 0] - y) ** 2) < 0.1 * np.var(y)
