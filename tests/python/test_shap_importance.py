"""Global importance: the mean absolute SHAP value per feature, against a float32 recomputation
from the per-row SHAP values of the same rows, in every input form, and its refusals."""

import math

import numpy as np
import pytest

import _kestrune as S
from artifact_builder import Stump, multiclass_artifact, single_output_artifact

F = 12
# f2 and f10 carry mirror-image trees and equal values in every row: their importances tie, and
# byte order puts "f10" first. Seven features are never split on and tie at zero.
TIED = [Stump(0, 0, 2, 3, -1.0, 1.0), Stump(1, 0, 10, 3, -1.0, 1.0)]
OTHER = [Stump(2, 0, 0, 5, 0.5, -2.0), Stump(2, 1, 1, 2, 0.25, 0.75), Stump(2, 2, 11, 4, -0.5, 0.125)]
rng = np.random.default_rng(11)
ROWS = rng.integers(0, 9, size=(7, F)).astype(np.float32)
ROWS[:, 10] = ROWS[:, 2]
ROWS = ROWS.tolist()
FLAT = [v for row in ROWS for v in row]
LINEAR = dict(binning_kind="linear", feature_mins=[0.0] * F, feature_maxs=[10.0] * F, max_data_bin=254)


def reference(per_output):
    totals = np.zeros(F, dtype=np.float32)
    for values in per_output:
        for row in values:
            for i, v in enumerate(row):
                totals[i] += np.float32(abs(v))
    divisor = np.float32(len(ROWS)) * np.float32(len(per_output))
    pairs = [(f"f{i}", float(totals[i] / divisor)) for i in range(F)]
    return sorted(pairs, key=lambda p: (-p[1], p[0].encode()))


@pytest.mark.parametrize("artifact", [
    single_output_artifact(F, TIED + OTHER, base_score=0.5),
    multiclass_artifact(F, [0.0, 1.0], [TIED + OTHER, [Stump(0, 0, 0, 2, 1.5, -0.5)] + [
        Stump(s.tree + 1, s.local, s.feature, s.split_bin, s.left, s.right) for s in TIED]]),
], ids=["single", "multiclass"])
def test_importance_is_the_mean_absolute_shap_value(artifact):
    importance = S.shap_global_importance(artifact, ROWS)
    assert importance == reference(S.shap_explain_rows_multi(artifact, ROWS)[1])
    assert all(type(name) is str and type(value) is float for name, value in importance)
    names = [name for name, _ in importance]
    assert names.index("f10") + 1 == names.index("f2") and dict(importance)["f10"] > 0.0
    assert names[-7:] == [f"f{i}" for i in range(3, 10)] and all(value == 0.0 for _, value in importance[-7:])
    assert S.shap_global_importance_dense(artifact, FLAT, len(ROWS), F) == importance
    binned = S.shap_global_importance_with_binning(artifact, ROWS, **LINEAR)
    assert binned == reference(S.shap_explain_rows_with_binning_multi(artifact, ROWS, **LINEAR)[1])
    assert S.shap_global_importance_dense_with_binning(artifact, FLAT, len(ROWS), F, **LINEAR) == binned


ARTIFACT = single_output_artifact(F, TIED + OTHER)
IMPUTE = "contains NaN/Inf. SHAP values require finite feature values. If your data contains missing values, " \
         "impute them before calling shap_values()."


@pytest.mark.parametrize("call, error, message", [
    (lambda: S.shap_global_importance(bytearray(ARTIFACT), ROWS), TypeError, None),
    (lambda: S.shap_global_importance(ARTIFACT, []), ValueError, "rows cannot be empty"),
    (lambda: S.shap_global_importance(ARTIFACT, [[1.0] * 3]), ValueError,
     f"row 0 feature count 3 does not match expected {F}"),
    (lambda: S.shap_global_importance(ARTIFACT, [ROWS[0], [math.nan] * F]), ValueError, f"row 1 feature 0 {IMPUTE}"),
    (lambda: S.shap_global_importance(b"KSTR", ROWS), RuntimeError, None),
    (lambda: S.shap_global_importance_dense(b"junk", [1.0] * 5, 2, 3), ValueError,
     "validation error: matrix values length 5 does not match row_count * feature_count 6"),
    (lambda: S.shap_global_importance_with_binning(b"junk", ROWS, "quantile"), ValueError,
     "binning_kind='quantile' requires feature_cuts"),
    (lambda: S.shap_global_importance_dense_with_binning(ARTIFACT, FLAT, len(ROWS), F, "quantile", feature_cuts=[]),
     ValueError, f"BinningContext::Quantile: feature_cuts length 0 must match feature_count {F}"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message
