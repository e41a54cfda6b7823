"""Linear-leaf models through the handle's quantizing methods: the trees walk the bins the methods
compute, the linear leaves read the raw values they were fitted on. Two references: the
float-threshold path on the raw rows, and the training loss the fit tracked on the same rows."""

import numpy as np
import pytest

import _kestrune

Handle = _kestrune.NativePredictorHandle
ROWS, FEATURES = 1500, 4


@pytest.fixture(scope="module", params=[255, 300], ids=["8-bit", "wide"])
def linear_fit(request):
    rng = np.random.default_rng(0)
    x = (rng.normal(size=(ROWS, FEATURES)) * 3.0).astype(np.float32)
    x[rng.random(x.shape) < 0.02] = np.nan
    y = (2.0 * np.nan_to_num(x[:, 0]) - np.nan_to_num(x[:, 1]) + 0.5 * np.nan_to_num(x[:, 2]) * (x[:, 3] > 0)
         + 0.1 * rng.normal(size=ROWS)).astype(np.float32)
    result = _kestrune.train_regression_artifact_dense_with_summary(
        x.ravel().tolist(), ROWS, FEATURES, y.tolist(), 0.3, 3, 1.0, 1.0, 0.0, 7, True, rounds=12,
        leaf_model="linear", continuous_binning_max_bins=request.param)
    # The top bin: 254 in 8-bit storage, max_bins - 2 in wide storage.
    return x, y, result, request.param - 2 if request.param > 255 else 254


def test_quantizing_methods_score_linear_leaves_on_raw_values(linear_fit):
    x, y, result, top = linear_fit
    metadata = result.continuous_binning_metadata
    mins, maxs = metadata.feature_mins, metadata.feature_maxs
    reference = Handle(result.artifact_bytes)
    reference.convert_thresholds_to_float(mins, maxs, top)
    expected = np.asarray(reference.predict_numpy(x), dtype=np.float32)

    handle = Handle(result.artifact_bytes)
    values = x.ravel().tolist()
    scores = {
        "linear": handle.predict_dense_quantized_linear(values, ROWS, FEATURES, mins, maxs, max_data_bin=top),
        # No feature flagged: every feature takes the linear rule.
        "rank": handle.predict_dense_quantized_linear_rank(values, ROWS, FEATURES, mins, maxs, [False] * FEATURES,
                                                           [[]] * FEATURES, max_data_bin=top),
    }
    if top == 254:
        scores["bytes"] = handle.predict_dense_quantized_linear_bytes(x.tobytes(), ROWS, FEATURES, mins, maxs)
    for name, got in scores.items():
        got = np.asarray(got, dtype=np.float32)
        np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5, err_msg=name)
        # The fit's own rows are binned as training binned them: the loss is the one training tracked.
        mse = np.mean((got.astype(np.float64) - y) ** 2)
        assert mse == pytest.approx(result.summary.train_loss[-1], rel=1e-5), name
