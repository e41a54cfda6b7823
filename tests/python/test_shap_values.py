"""The SHAP value and interaction functions: additivity on trained models, interaction rows that sum
to the SHAP values, every form alike, and the refusals in their order (arguments, dense shape, binning
arguments, artifact, rows, binning lengths)."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, linear_bin, multiclass_artifact, single_output_artifact
from conftest import fit as base_fit

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
    return base_fit(X, CLASS_Y if kind == "multiclass" else Y, rounds=6, seed=5, **FITS[kind])


def binning_args(result):
    metadata = result.continuous_binning_metadata
    return dict(binning_kind="linear", feature_mins=metadata.feature_mins, feature_maxs=metadata.feature_maxs,
                max_data_bin=TOP_BIN)


@pytest.mark.parametrize("kind", FITS)
def test_trained_models_are_explained_additively(kind):
    result = fit(kind)
    rows = X[:25].tolist()
    args = binning_args(result)
    # Every explained row passes the additivity check inside the explainer, in raw and in bin space.
    expected, per_output = _kestrune.shap_explain_rows_with_binning_multi(result.artifact_bytes, rows, **args)
    assert len(expected) == len(per_output) == (3 if kind == "multiclass" else 1)
    metadata = result.continuous_binning_metadata
    bins = [[linear_bin(v, lo, hi, TOP_BIN) for v, lo, hi in zip(row, metadata.feature_mins, metadata.feature_maxs)]
            for row in rows]
    # Raw rows routed through the context go the way their bins go: the same values.
    assert _kestrune.shap_explain_rows_multi(result.artifact_bytes, bins) == (expected, per_output)
    if kind != "multiclass":
        scores = _kestrune.predictor_predict_batch(result.artifact_bytes, bins)
        totals = np.float64(expected[0]) + np.sum(np.asarray(per_output[0], dtype=np.float64), axis=1)
        np.testing.assert_allclose(totals, scores, rtol=1e-4, atol=1e-4)
    # Interaction rows sum to the SHAP values. Exact values carry a float32 expected value,
    # interactions a float64 one rounded once.
    i_expected, matrices = _kestrune.shap_explain_interactions_with_binning_multi(result.artifact_bytes, rows[:10],
                                                                                  **args)
    np.testing.assert_allclose(i_expected, expected, rtol=1e-6)
    for output_values, output_matrices in zip(per_output, matrices):
        sums = np.sum(np.asarray(output_matrices, dtype=np.float64), axis=2)
        np.testing.assert_allclose(sums, output_values[:10], rtol=1e-5, atol=1e-5)


STUMPS = [Stump(0, 0, 0, 3, -1.0, 1.0), Stump(0, 1, 1, 2, 0.5, 0.25), Stump(1, 0, 2, 5, 2.0, -2.0)]
ARTIFACT = single_output_artifact(3, STUMPS, base_score=0.5)
ROWS = [[1.0, 2.0, 6.0], [4.0, 0.0, 1.0]]
S = _kestrune


def test_result_shapes_and_every_form_agree():
    expected, values = S.shap_explain_rows(ARTIFACT, ROWS)
    assert isinstance(expected, float) and len(values) == 2 and all(len(v) == 3 for v in values)
    # Zero covers weigh both sides equally: E = 0.5 + (0.5 * (-1 + 0.375) + 0.5 * 1) + 0 = 0.6875.
    assert expected == 0.6875
    for row, v in zip(ROWS, values):
        assert math.isclose(expected + sum(v), 0.5 + sum(
            s.left if row[s.feature] <= s.split_bin else s.right for s in STUMPS
            if s.local == 0 or (s.local == 1 and row[0] <= 3)), abs_tol=1e-6)
    i_expected, matrices = S.shap_explain_interactions(ARTIFACT, ROWS)
    assert i_expected == expected and all(len(m) == 3 and all(len(r) == 3 for r in m) for m in matrices)
    for matrix, row_values in zip(matrices, values):
        np.testing.assert_allclose(np.sum(matrix, axis=1), row_values, rtol=1e-6, atol=1e-6)
        np.testing.assert_allclose(matrix, np.transpose(matrix), atol=1e-6)  # the interaction index is symmetric
    flat = [v for row in ROWS for v in row]
    prebinned = dict(binning_kind="prebinned", feature_mins=[0.0], feature_cuts=[])
    for kind, single in (("rows", (expected, values)), ("interactions", (i_expected, matrices))):
        for suffix, args, kwargs in (("", (ROWS,), {}), ("_dense", (flat, 2, 3), {}),
                                     ("_with_binning", (ROWS,), prebinned),
                                     ("_dense_with_binning", (flat, 2, 3), prebinned)):
            name = f"shap_explain_{kind}{suffix}"
            assert getattr(S, name)(ARTIFACT, *args, **kwargs) == single, name
            assert getattr(S, name + "_multi")(ARTIFACT, *args, **kwargs) == ([single[0]], [single[1]]), name
    classes = multiclass_artifact(3, [0.0, 1.0], [STUMPS[:2], STUMPS[2:]])
    expected_k, values_k = S.shap_explain_rows_multi(classes, ROWS)
    assert len(expected_k) == len(values_k) == 2 and expected_k[1] == 1.0
    assert S.shap_explain_interactions_multi(classes, ROWS)[0] == expected_k


IMPUTE = "contains NaN/Inf. SHAP values require finite feature values."


@pytest.mark.parametrize("call, error, message", [
    (lambda: S.shap_explain_rows(bytearray(ARTIFACT), ROWS), TypeError, None),
    (lambda: S.shap_explain_rows(ARTIFACT, []), ValueError, "rows cannot be empty"),
    (lambda: S.shap_explain_rows(ARTIFACT, [[1e39, 0.0, 0.0]]), ValueError, f"row 0 feature 0 {IMPUTE}"),
    (lambda: S.shap_explain_rows(b"KSTR", ROWS), RuntimeError, None),
    (lambda: S.shap_explain_rows_dense(b"junk", [1.0] * 5, 2, 3), ValueError,
     "validation error: matrix values length 5 does not match row_count * feature_count 6"),
    (lambda: S.shap_explain_rows_dense(ARTIFACT, [1.0], 1, -1), OverflowError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, 5, feature_mins="x"), TypeError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear", max_data_bin=70000), OverflowError, None),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "Linear"), ValueError,
     "unknown binning_kind 'Linear' (expected linear|quantile|prebinned|linear_rank)"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear"), ValueError,
     "binning_kind='linear' requires feature_mins"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear", [0.0], [1.0]), ValueError,
     "binning_kind='linear' requires max_data_bin"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "quantile", feature_mins=[0.0]), ValueError,
     "binning_kind='quantile' requires feature_cuts"),
    (lambda: S.shap_explain_rows_with_binning(b"junk", ROWS, "linear_rank", [0.0], [1.0], 3), ValueError,
     "binning_kind='linear_rank' requires linear_rank_per_feature"),
    # The interaction forms share the value forms' argument handling; the model checks are their own, and short
    # binning lists are refused like the value forms' rather than read out of range. (The row and binning
    # checks themselves are tested with the explainer.)
    (lambda: S.shap_explain_interactions(ARTIFACT, []), ValueError, "rows cannot be empty"),
    (lambda: S.shap_explain_interactions_dense_with_binning(
        multiclass_artifact(3, [0.0, 0.0], [STUMPS, STUMPS]), [0.0] * 3, 1, 3, "prebinned"), RuntimeError,
     "Expected a single-output model."),
    (lambda: S.shap_explain_interactions_dense_with_binning_multi(ARTIFACT, [0.0] * 3, 1, 3, "linear", [0.0] * 2,
                                                                  [1.0] * 3, 0),
     ValueError, "BinningContext::Linear: feature_mins/feature_maxs length (2/3) must match feature_count 3"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message or "")
