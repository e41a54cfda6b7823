"""Fits with the default policy run the rounds they are asked for: a small child, a DART round
that raises the training loss or a deep leaf-wise tree no longer ends a fit early."""

import numpy as np
import pytest

import _kestrune


def gaussian_regression(rows, seed, features=20, outliers=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features)).astype(np.float32)
    y = np.sin(x[:, 0]) * 2 + x[:, 1] * x[:, 2] + 0.5 * x[:, 3] ** 2 + rng.normal(scale=0.5, size=rows)
    y[:outliers] += 1000.0
    return x, y.astype(np.float32)


def fit(x, y, rounds, learning_rate=0.3, max_depth=4, **kwargs):
    return _kestrune.train_regression_artifact_dense_with_summary_bytes(
        x.tobytes(), x.shape[0], x.shape[1], y.tobytes(), learning_rate, max_depth, 1.0, 1.0, 0.0, 7, True,
        rounds=rounds, **kwargs)


def rmse_on(result, x, y):
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    handle.convert_thresholds_to_float(metadata.feature_mins, metadata.feature_maxs, 254)
    residual = handle.predict_numpy_array(x).astype(np.float64) - y
    return float(np.sqrt(np.mean(residual ** 2)))


TEST_X, TEST_Y = gaussian_regression(5000, seed=1)
CONSTANT_RMSE = float(np.std(TEST_Y))


@pytest.mark.parametrize("rows", [1000, 4000, 16000, 64000])
def test_default_policy_fits_run_their_rounds_and_learn(rows):
    # The automatic policy raises the leaf-size floor from 1,024 rows on; the split search must
    # honour it rather than choose a split the grower then refuses.
    x, y = gaussian_regression(rows, seed=rows)
    summary = fit(x, y, rounds=150).summary
    assert summary.stop_reason == "CompletedRequestedRounds"
    assert summary.rounds_completed == summary.rounds_requested
    assert rmse_on(fit(x, y, rounds=150), TEST_X, TEST_Y) < 0.6 * CONSTANT_RMSE


@pytest.mark.parametrize("options", [dict(min_data_in_leaf=40), dict(min_data_in_leaf=3, training_policy="manual")])
def test_a_leaf_size_floor_never_ends_the_fit(options):
    x, y = gaussian_regression(3000, seed=5, outliers=5)
    summary = fit(x, y, rounds=60, **options).summary
    assert summary.rounds_completed == 60
    assert summary.stop_reason != "LeafRowsBelowThreshold"


def test_dart_fits_run_their_rounds_with_either_normalization():
    x, y = gaussian_regression(4000, seed=11)
    standard = fit(x, y, rounds=120, learning_rate=0.1)
    assert standard.summary.rounds_completed == 120
    for normalize in ["tree", "forest"]:
        for rate in [0.05, 0.3]:
            dart = fit(x, y, rounds=120, learning_rate=0.1, boosting_mode="dart", dart_drop_rate=rate,
                       dart_max_drop=50, dart_normalize_type=normalize, dart_sample_type="uniform")
            assert dart.summary.stop_reason == "CompletedRequestedRounds", (normalize, rate)
            assert dart.summary.rounds_completed == 120
            if normalize == "tree":
                # Level with LightGBM's DART without skipped drops at matched settings. "forest"
                # scales each dropped tree down to 1/(k+1) like the new one, which forgets most of
                # a model that drops many trees a round: it only has to run.
                assert rmse_on(dart, TEST_X, TEST_Y) < 0.9 * CONSTANT_RMSE, rate


def test_deep_leaf_wise_trees_stop_at_the_node_id_limit():
    # With a leaf per row allowed, a chain of splits would pass the 20-bit node ids of a tree.
    x, y = gaussian_regression(20000, seed=3)
    result = fit(x, y, rounds=2, max_depth=40, tree_growth="leaf", max_leaves=20000, training_policy="manual")
    assert result.summary.rounds_completed == 2
