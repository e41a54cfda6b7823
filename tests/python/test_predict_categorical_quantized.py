"""Native categorical models through the handle's quantizing methods: numeric splits read the bins
the methods compute, categorical splits read the category ids themselves (their sets hold ids, not
bins of ids). The reference is the float-threshold path of the same artifact on the same rows."""

import numpy as np
import pytest

import _kestrune

Handle = _kestrune.NativePredictorHandle
ROWS, FEATURES, CAT = 3000, 4, 3
# Ids no training row had, out-of-range and fractional values, and missing ones.
ODD_IDS = [7.0, 12.0, 40.0, 200.0, 70000.0, 1e30, np.inf, -1.0, -0.5, -np.inf, 1.7, np.nan]


@pytest.fixture(scope="module", params=[
    ("level", "constant", 3), ("leaf", "constant", 7), ("level", "linear", 7), ("leaf", "linear", 12)],
    ids=lambda p: "-".join(map(str, p)))
def categorical_fit(request):
    growth, leaf_model, levels = request.param
    rng = np.random.default_rng(levels)
    ids = rng.integers(0, levels, ROWS)
    x = (rng.normal(size=(ROWS, FEATURES)) * 3.0).astype(np.float32)
    # Names whose order is their id's: the ids the fit assigns are then the values the column held,
    # which linear leaves may have read as a regressor.
    names = [f"level{i:02d}" for i in ids]
    x[:, CAT] = ids
    effect = rng.normal(size=levels) * 3.0
    y = (x[:, 0] - 0.5 * x[:, 1] + effect[ids] * (1.0 + (x[:, 2] > 0)) + 0.1 * rng.normal(size=ROWS)).astype(np.float32)
    result = _kestrune.train_regression_artifact_dense_with_summary(
        x.ravel().tolist(), ROWS, FEATURES, y.tolist(), 0.3, 4, 1.0, 1.0, 0.0, 7, True, rounds=20,
        tree_growth=growth, max_leaves=12 if growth == "leaf" else None, leaf_model=leaf_model, max_cat_threshold=8 if levels < 8 else 16,
        categorical_feature_indices=[CAT], categorical_feature_values_list=[names])
    mapping = result.native_cat_mappings[CAT]
    x[:, CAT] = [mapping[name] for name in names]
    return x, y, result


def quantized_scores(artifact, x, mins, maxs):
    handle = Handle(artifact)
    values = x.ravel().tolist()
    scores = {
        "linear": handle.predict_dense_quantized_linear(values, len(x), FEATURES, mins, maxs),
        "rank": handle.predict_dense_quantized_linear_rank(values, len(x), FEATURES, mins, maxs, [False] * FEATURES,
                                                           [[]] * FEATURES),
        "bytes": handle.predict_dense_quantized_linear_bytes(x.tobytes(), len(x), FEATURES, mins, maxs),
    }
    return {name: np.asarray(got, dtype=np.float32) for name, got in scores.items()}


def test_quantizing_methods_read_category_ids(categorical_fit):
    x, y, result = categorical_fit
    mins = result.continuous_binning_metadata.feature_mins
    maxs = result.continuous_binning_metadata.feature_maxs
    reference = Handle(result.artifact_bytes)
    reference.convert_thresholds_to_float(mins, maxs, 254)

    odd = x[:len(ODD_IDS) * 20].copy()
    odd[:, CAT] = np.resize(np.asarray(ODD_IDS, dtype=np.float32), len(odd))
    for rows in (x, odd):
        expected = np.asarray(reference.predict_numpy(rows), dtype=np.float32)
        for name, got in quantized_scores(result.artifact_bytes, rows, mins, maxs).items():
            np.testing.assert_array_equal(got, expected, err_msg=name)
    # The reference itself scores the training rows as training did.
    train_scores = np.asarray(reference.predict_numpy(x), dtype=np.float64)
    assert np.mean((train_scores - y) ** 2) == pytest.approx(result.summary.train_loss[-1], rel=1e-5)
