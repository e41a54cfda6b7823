"""The SHAP value and interaction functions: additivity on the models the training functions produce,
interaction rows that sum to the SHAP values, the shapes of the results, dense and list forms alike,
and the refusals with their messages in the documented order (arguments, dense shape, binning
arguments, artifact, rows, binning lengths)."""

import math
import re

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, linear_bin, multiclass_artifact, single_output_artifact

train = _kestrune.train_regression_artifact_with_summary
TOP_BIN = 254

rng = np.random.default_rng(3)
X = rng.uniform(-1.0, 1.0, size=(200, 4)).astype(np.float32)
Y = (1.5 * X[:, 0] - X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=200)).astype(np.float32)
CLASS_Y = np.argmax(np.stack([X[:, 0], X[:, 1], 0.2 - X[:, 0]], axis=1), axis=1).astype(np.float32)

FITS = {
    "standard": dict(),
    "dart": dict(boosting_mode="dart", dart_drop_rate=0.3, dart_max_drop=2),
    "multiclass": dict(objective="multiclass_softmax", num_classes=3),
}


def fit(kind):
    y = CLASS_Y if kind == "multiclass" else Y
    return train(X, y, 0.3, 3, 1.0, 1.0, 0.0, 5, True, rounds=6, **FITS[kind])


def binning_args(result):
    metadata = result.continuous_binning_metadata
    return dict(binning_kind="linear", feature_mins=metadata.feature_mins, feature_maxs=metadata.feature_maxs,
                max_data_bin=TOP_BIN)


@pytest.mark.parametrize("kind", FITS)
def test_trained_models_are_explained_additively(kind):
    result = fit(kind)
    rows = X[:25].tolist()
    # Every explained row passes the additivity check inside the explainer, in raw and in bin space.
    expected, per_output = _kestrune.shap_explain_rows_with_binning_multi(result.artifact_bytes, rows,
                                                                          **binning_args(result))
    assert len(expected) == len(per_output) == (3 if kind == "multiclass" else 1)
    metadata = result.continuous_binning_metadata
    bins = [[linear_bin(v, lo, hi, TOP_BIN) for v, lo, hi in zip(row, metadata.feature_mins, metadata.feature_maxs)]
            for row in rows]
    bin_expected, bin_values = _kestrune.shap_explain_rows_multi(result.artifact_bytes, bins)
    assert bin_expected == expected
    # Raw rows routed through the context go the way their bins go: the same values.
    assert bin_values == per_output
    if kind in ("standard", "dart"):
        scores = _kestrune.predictor_predict_batch(result.artifact_bytes, bins)
        totals = np.float64(expected[0]) + np.sum(np.asarray(per_output[0], dtype=np.float64), axis=1)
        np.testing.assert_allclose(totals, scores, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("kind", FITS)
def test_interaction_rows_sum_to_the_shap_values(kind):
    result = fit(kind)
    rows = X[:10].tolist()
    args = binning_args(result)
    expected, values = _kestrune.shap_explain_rows_with_binning_multi(result.artifact_bytes, rows, **args)
    i_expected, matrices = _kestrune.shap_explain_interactions_with_binning_multi(result.artifact_bytes, rows, **args)
    # Exact values carry a float32 expected value, interactions a float64 one rounded once.
    np.testing.assert_allclose(i_expected, expected, rtol=1e-6)
    for output_values, output_matrices in zip(values, matrices):
        sums = np.sum(np.asarray(output_matrices, dtype=np.float64), axis=2)
        np.testing.assert_allclose(sums, output_values, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("features", [2, 26])  # the exact explainer, then TreeSHAP
def test_a_nan_leaf_off_the_path_fails_the_additivity_check(features):
    # The predictor scores the row; its explanation would carry a NaN expected value and NaN values.
    stumps = [Stump(0, 0, 0, 3, math.nan, 1.0)] + [Stump(t, 0, t, 3, 2.0, -1.0) for t in range(1, features)]
    artifact = single_output_artifact(features, stumps, base_score=0.5)
    row = [5.0] + [1.0] * (features - 1)
    score = _kestrune.predictor_predict_batch(artifact, [row])[0]
    assert score == 0.5 + 1.0 + 2.0 * (features - 1)
    with pytest.raises(RuntimeError, match=re.escape(f"row 0 additivity check failed: predicted={score:g}, "
                                                     "reconstructed=NaN, tolerance=")):
        _kestrune.shap_explain_rows(artifact, [row])


STUMPS = [Stump(0, 0, 0, 3, -1.0, 1.0), Stump(0, 1, 1, 2, 0.5, 0.25), Stump(1, 0, 2, 5, 2.0, -2.0)]
ARTIFACT = single_output_artifact(3, STUMPS, base_score=0.5)
ROWS = [[1.0, 2.0, 6.0], [4.0, 0.0, 1.0]]


def test_trained_linear_leaf_models_are_explained_additively():
    # Linear terms read the raw row values: the explanation of raw rows adds up to the raw-value
    # prediction.
    result = train(X, Y, 0.3, 3, 1.0, 1.0, 0.0, 5, True, rounds=6, leaf_model="linear", lambda_l2=1.0)
    rows = X[:25]
    expected, values = _kestrune.shap_explain_rows_with_binning(result.artifact_bytes, rows.tolist(),
                                                                **binning_args(result))
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    handle.convert_thresholds_to_float(metadata.feature_mins, metadata.feature_maxs, TOP_BIN)
    totals = np.float64(expected) + np.sum(np.asarray(values, dtype=np.float64), axis=1)
    np.testing.assert_allclose(totals, handle.predict_numpy_array(rows), rtol=1e-4, atol=1e-4)


def test_result_shapes_and_dense_forms_agree():
    expected, values = _kestrune.shap_explain_rows(ARTIFACT, ROWS)
    assert isinstance(expected, float) and len(values) == 2 and all(len(v) == 3 for v in values)
    # Zero covers weigh both sides equally: E = 0.5 + (0.5 * (-1 + 0.375) + 0.5 * 1) + 0 = 0.6875.
    assert expected == 0.6875
    for row, v in zip(ROWS, values):
        assert math.isclose(expected + sum(v), 0.5 + sum(
            s.left if row[s.feature] <= s.split_bin else s.right for s in STUMPS
            if s.local == 0 or (s.local == 1 and row[0] <= 3)), abs_tol=1e-6)
    flat = [v for row in ROWS for v in row]
    assert _kestrune.shap_explain_rows_dense(ARTIFACT, flat, 2, 3) == (expected, values)
    assert _kestrune.shap_explain_rows_multi(ARTIFACT, ROWS) == ([expected], [values])
    assert _kestrune.shap_explain_rows_dense_multi(ARTIFACT, flat, 2, 3) == ([expected], [values])
    prebinned = dict(binning_kind="prebinned", feature_mins=[0.0], feature_cuts=[])
    assert _kestrune.shap_explain_rows_with_binning(ARTIFACT, ROWS, **prebinned) == (expected, values)
    assert _kestrune.shap_explain_rows_dense_with_binning_multi(ARTIFACT, flat, 2, 3, **prebinned) == (
        [expected], [values])
    assert _kestrune.shap_explain_rows_dense_with_binning(ARTIFACT, flat, 2, 3, **prebinned) == (expected, values)
    assert _kestrune.shap_explain_rows_with_binning_multi(ARTIFACT, ROWS, **prebinned) == ([expected], [values])
    classes = multiclass_artifact(3, [0.0, 1.0], [STUMPS[:2], STUMPS[2:]])
    expected_k, values_k = _kestrune.shap_explain_rows_multi(classes, ROWS)
    assert len(expected_k) == len(values_k) == 2 and expected_k[1] == 1.0


def test_interaction_shapes_and_forms_agree():
    expected, matrices = _kestrune.shap_explain_interactions(ARTIFACT, ROWS)
    _, values = _kestrune.shap_explain_rows(ARTIFACT, ROWS)
    assert expected == 0.6875 and len(matrices) == 2 and all(len(m) == 3 and all(len(r) == 3 for r in m)
                                                             for m in matrices)
    for matrix, row_values in zip(matrices, values):
        np.testing.assert_allclose(np.sum(matrix, axis=1), row_values, rtol=1e-6, atol=1e-6)
        np.testing.assert_allclose(matrix, np.transpose(matrix), atol=1e-6)  # the interaction index is symmetric
    flat = [v for row in ROWS for v in row]
    prebinned = dict(binning_kind="prebinned", feature_mins=[0.0], feature_cuts=[])
    single = (expected, matrices)
    assert _kestrune.shap_explain_interactions_dense(ARTIFACT, flat, 2, 3) == single
    assert _kestrune.shap_explain_interactions_with_binning(ARTIFACT, ROWS, **prebinned) == single
    assert _kestrune.shap_explain_interactions_dense_with_binning(ARTIFACT, flat, 2, 3, **prebinned) == single
    multi = ([expected], [matrices])
    assert _kestrune.shap_explain_interactions_multi(ARTIFACT, ROWS) == multi
    assert _kestrune.shap_explain_interactions_dense_multi(ARTIFACT, flat, 2, 3) == multi
    assert _kestrune.shap_explain_interactions_with_binning_multi(ARTIFACT, ROWS, **prebinned) == multi
    assert _kestrune.shap_explain_interactions_dense_with_binning_multi(ARTIFACT, flat, 2, 3, **prebinned) == multi
    classes = multiclass_artifact(3, [0.0, 1.0], [STUMPS[:2], STUMPS[2:]])
    expected_k, matrices_k = _kestrune.shap_explain_interactions_multi(classes, ROWS)
    assert expected_k == _kestrune.shap_explain_rows_multi(classes, ROWS)[0] and len(matrices_k) == 2


IMPUTE = "contains NaN/Inf. SHAP values require finite feature values. If your data contains missing values, " \
         "impute them before calling shap_values()."
S = _kestrune


@pytest.mark.parametrize("call, error, message", [
    (lambda: S.shap_explain_rows(bytearray(ARTIFACT), ROWS), TypeError, None),
    (lambda: S.shap_explain_rows(ARTIFACT, "ab"), TypeError, None),
    (lambda: S.shap_explain_rows(ARTIFACT, []), ValueError, "rows cannot be empty"),
    (lambda: S.shap_explain_rows(ARTIFACT, [[1.0, 2.0]]), ValueError, "row 0 feature count 2 does not match expected 3"),
    (lambda: S.shap_explain_rows(ARTIFACT, [ROWS[0], [1.0, math.nan, 0.0]]), ValueError, f"row 1 feature 1 {IMPUTE}"),
    (lambda: S.shap_explain_rows(ARTIFACT, [[1e39, 0.0, 0.0]]), ValueError, f"row 0 feature 0 {IMPUTE}"),
    (lambda: S.shap_explain_rows(b"KSTR", ROWS), RuntimeError, None),
    (lambda: S.shap_explain_rows(multiclass_artifact(3, [0.0, 0.0], [STUMPS, STUMPS]), ROWS), RuntimeError,
     "Expected a single-output model. For multi-class/multi-output models, use the _per_output variants."),
    (lambda: S.shap_explain_rows_dense(b"junk", [1.0] * 5, 2, 3), ValueError,
     "validation error: matrix values length 5 does not match row_count * feature_count 6"),
    (lambda: S.shap_explain_rows_dense(b"junk", [], 0, 3), ValueError,
     "validation error: row_count must be greater than 0"),
    (lambda: S.shap_explain_rows_dense(ARTIFACT, [1.0], 1, -1), OverflowError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, 5, feature_mins="x"), TypeError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear", max_data_bin=70000), OverflowError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear", max_data_bin=-1), OverflowError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "Linear"), ValueError,
     "unknown binning_kind 'Linear' (expected linear|quantile|prebinned|linear_rank)"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear "), ValueError,
     "unknown binning_kind 'linear ' (expected linear|quantile|prebinned|linear_rank)"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear"), ValueError,
     "binning_kind='linear' requires feature_mins"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear", [0.0], [1.0]), ValueError,
     "binning_kind='linear' requires max_data_bin"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "quantile", feature_mins=[0.0]), ValueError,
     "binning_kind='quantile' requires feature_cuts"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear_rank", [0.0], [1.0], 3), ValueError,
     "binning_kind='linear_rank' requires linear_rank_per_feature"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear_rank", linear_rank_per_feature=[None]),
     ValueError, "binning_kind='linear_rank' requires feature_mins"),
    (lambda: S.shap_explain_rows_with_binning(ARTIFACT, ROWS, "quantile", feature_cuts=[]), ValueError,
     "BinningContext::Quantile: feature_cuts length 0 must match feature_count 3"),
    (lambda: S.shap_explain_rows_dense_with_binning(ARTIFACT, [0.0] * 3, 1, 3, "linear", [0.0] * 3, [1.0] * 4, 0),
     ValueError, "BinningContext::Linear: feature_mins/feature_maxs length (3/4) must match feature_count 3"),
    (lambda: S.shap_explain_rows_with_binning_multi(ARTIFACT, ROWS, "linear_rank", [0.0] * 3, [1.0] * 3, 4,
                                                    linear_rank_per_feature=[None, [1.0, 2.0]]),
     ValueError, "BinningContext::LinearRank: per_feature/feature_mins/feature_maxs lengths (2/3/3) must all match "
                 "feature_count 3"),
    # The interaction forms share the value forms' argument handling; the model checks are their own, and short
    # binning lists are refused like the value forms' rather than read out of range.
    (lambda: S.shap_explain_interactions(ARTIFACT, []), ValueError, "rows cannot be empty"),
    (lambda: S.shap_explain_interactions_dense_with_binning(
        multiclass_artifact(3, [0.0, 0.0], [STUMPS, STUMPS]), [0.0] * 3, 1, 3, "prebinned"), RuntimeError,
     "Expected a single-output model. For multi-class/multi-output models, use the _per_output variants."),
    (lambda: S.shap_explain_interactions_with_binning(ARTIFACT, ROWS, "quantile", feature_cuts=[[1.0]]), ValueError,
     "BinningContext::Quantile: feature_cuts length 1 must match feature_count 3"),
    (lambda: S.shap_explain_interactions_dense_with_binning_multi(ARTIFACT, [0.0] * 3, 1, 3, "linear", [0.0] * 2,
                                                                  [1.0] * 3, 0),
     ValueError, "BinningContext::Linear: feature_mins/feature_maxs length (2/3) must match feature_count 3"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


def _large_valued_fit(scale, features):
    # Signed targets of a large scale: the path values near the target's scale cancel to
    # predictions near 0 on some rows, where float32 sums round by more than the prediction's share.
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, size=(5000, features)).astype(np.float32)
    y = (scale * (x[:, 0] - x[:, 1] + 0.3 * x[:, 2] * x[:, 3] + 0.05 * rng.normal(size=5000))).astype(np.float32)
    return x, train(x, y, 0.1, 4, 1.0, 1.0, 0.0, 5, True, rounds=100)


@pytest.mark.parametrize("features", [6, 30])  # the exact explainer, then TreeSHAP
@pytest.mark.parametrize("scale", [1e3, 1e4, 1e5])
def test_large_valued_models_are_explained_on_every_row(scale, features):
    x, result = _large_valued_fit(scale, features)
    args = binning_args(result)
    metadata = result.continuous_binning_metadata
    lows, highs = np.asarray(metadata.feature_mins, np.float32), np.asarray(metadata.feature_maxs, np.float32)
    bins = np.rint(np.clip((x - lows) / (highs - lows), 0, 1) * TOP_BIN).astype(np.float32)
    n = len(x)
    calls = []
    for rows, context in ((x, args), (bins, {})):
        suffix = "_with_binning" if context else ""
        for name in ("shap_explain_rows", "shap_global_importance"):
            calls.append((name + suffix, (rows.tolist(),), context))
            calls.append((name + "_dense" + suffix, (rows.ravel().tolist(), n, features), context))
        calls.append(("shap_explain_rows" + suffix + "_multi", (rows.tolist(),), context))
    for name, positional, context in calls:
        getattr(_kestrune, name)(result.artifact_bytes, *positional, **context)
    # The wide model must be beyond the exact explainer's reach, or TreeSHAP goes untested.
    if features > 25:
        assert np.count_nonzero(_kestrune.shap_global_importance(result.artifact_bytes, bins.tolist())) > 25


def assert_agrees_with_tree_shap(values, matrices):
    """Each row's exact values within 1e-4 of its largest value of TreeSHAP's: the row sums of the
    interaction values, which sum each tree in float64 by another algorithm."""
    tree_shap = np.sum(np.asarray(matrices, dtype=np.float64), axis=2)
    row_scale = np.max(np.abs(tree_shap), axis=1, keepdims=True)
    np.testing.assert_array_less(np.abs(np.asarray(values, dtype=np.float64) - tree_shap),
                                 np.broadcast_to(1e-4 * row_scale, tree_shap.shape))


# A large base sits in the model's base prediction; large leaves come from a warm start, which
# keeps its prior's base (a fit on the signal alone) while the new trees take up the offset.
@pytest.mark.parametrize("base, leaves", [(1e8, 0.0), (1.7e9, 0.0), (0.0, 1e7), (0.0, 1.7e9)])
def test_exact_values_do_not_carry_the_rounding_of_a_large_base(base, leaves):
    # The base, and the part of each tree's leaves shared by all of them, cancel in every
    # difference the exact values are made of, so they agree with TreeSHAP's (the row sums of the
    # interaction values, which never see the base and sum each tree in float64) within the float32
    # rounding of the values themselves, row by row.
    rng = np.random.default_rng(0)
    x = rng.integers(0, 255, size=(2000, 6)).astype(np.float32)
    u = x / 254.0
    signal = np.sin(6 * u[:, 0]) + u[:, 1] ** 2 - 0.5 * u[:, 3] * u[:, 5] + 0.1 * rng.normal(size=2000)
    fit = dict(training_policy="manual")
    if leaves:
        fit["init_artifact_bytes"] = train(x, (1000 * signal).astype(np.float32), 0.1, 5, 1.0, 1.0, 0.0, 5, True,
                                           rounds=10, **fit).artifact_bytes
    result = train(x, (base + leaves + 1000 * signal).astype(np.float32), 0.1, 5, 1.0, 1.0, 0.0, 5, True, rounds=300,
                   **fit)
    rows = x[:120].tolist()
    _, values = _kestrune.shap_explain_rows(result.artifact_bytes, rows)
    _, matrices = _kestrune.shap_explain_interactions(result.artifact_bytes, rows)
    assert_agrees_with_tree_shap(values, matrices)


def test_exact_values_of_trees_whose_leaves_lie_far_from_their_centre_add_up():
    # At learning rate 1 two of the classes grow leaves at the leaf cap that few rows reach, so
    # each such tree's cover-weighted centre lies far from the leaves the rows do reach. Every row
    # must still add up to its prediction, and its values agree with TreeSHAP's row by row.
    rng = np.random.default_rng(0)
    x = rng.integers(0, 255, size=(2000, 6)).astype(np.float32)
    u = x / 254.0
    signal = np.sin(3 * u[:, 0]) + np.sin(3 * u[:, 1]) + u[:, 2] * u[:, 3] + u[:, 4] - u[:, 5] ** 2
    y = np.digitize(signal, np.quantile(signal, [1 / 3, 2 / 3])).astype(np.float32)
    result = train(x, y, 1.0, 5, 1.0, 1.0, 0.0, 5, True, rounds=30, objective="multiclass_softmax",
                   num_classes=3, training_policy="manual")
    rows = x.tolist()
    _, values = _kestrune.shap_explain_rows_multi(result.artifact_bytes, rows)
    _, matrices = _kestrune.shap_explain_interactions_multi(result.artifact_bytes, rows)
    for output, output_matrices in zip(values, matrices):
        assert_agrees_with_tree_shap(output, output_matrices)
