"""SHAP with a binning context explains the path the predictor takes: for raw rows on a bin edge,
one float either side of it, on constant features and on native categorical columns, the expected
value plus the row's SHAP values give back the predictor's raw score, under every binning context,
through the exact explainer and TreeSHAP. The predictor scores the rows through its own quantizing
methods or converted thresholds (or, for quantile and pre-binned rows, on bins computed here with
numpy), never through the explainer."""

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, single_output_artifact

f32 = np.float32
TOP = 254
Handle = _kestrune.NativePredictorHandle

rng = np.random.default_rng(31)
X = rng.normal(size=(3000, 6)).astype(f32)
X[:15, 4] = 1000.0  # a few far values squeeze feature 4's core: the linear-tail rank plan flags it
X[:, 5] = np.round(X[:, 5] * 3.0)  # few distinct values: long runs of equal values for rank and quantile
Y = (X[:, 0] - 0.5 * X[:, 1] * X[:, 2] + np.sin(X[:, 3]) + 0.3 * X[:, 5]).astype(f32)


def around(values):
    """Each value and the floats one and two steps either side of it."""
    values = np.asarray(values, dtype=f32)
    out = [values]
    for direction in (-np.inf, np.inf):
        step = values
        for _ in range(2):
            step = np.nextafter(step, f32(direction))
            out.append(step)
    return np.concatenate(out)


def linear_edges(lo, hi):
    edges = f32(lo) + f32(f32(hi) - f32(lo)) * ((np.arange(TOP, dtype=f32) + f32(0.5)) / f32(TOP))
    return around(np.concatenate([edges, [lo, hi]]))


def edge_rows(candidates, count=2000):
    """Rows whose every value is drawn from its feature's candidates."""
    return np.stack([rng.choice(c, size=count) for c in candidates], axis=1).astype(f32)


def totals(expected, values):
    return np.float64(expected) + np.sum(np.asarray(values, dtype=np.float64), axis=1)


def explain(artifact, rows, **binning):
    rows = np.asarray(rows, dtype=f32)
    return totals(*_kestrune.shap_explain_rows_dense_with_binning(
        artifact, rows.ravel().tolist(), rows.shape[0], rows.shape[1], **binning))


# 30 features: more split features than the exact explainer takes, so TreeSHAP explains it.
WIDE_X = np.concatenate([X, rng.normal(size=(X.shape[0], 24)).astype(f32)], axis=1)
WIDE_Y = (Y + 0.3 * np.sum(WIDE_X[:, 6:], axis=1)).astype(f32)


def fit(x=X, y=Y, **kwargs):
    return _kestrune.train_regression_artifact_with_summary(x, y, 0.3, 4, 1.0, 1.0, 0.0, 5, True, rounds=25,
                                                            **kwargs)


def linear_case(wide=False):
    result = fit(WIDE_X, WIDE_Y) if wide else fit()
    m = result.continuous_binning_metadata
    rows = edge_rows([linear_edges(lo, hi) for lo, hi in zip(m.feature_mins, m.feature_maxs)])
    scores = Handle(result.artifact_bytes).predict_dense_quantized_linear(
        rows.ravel().tolist(), rows.shape[0], rows.shape[1], m.feature_mins, m.feature_maxs)
    binning = dict(binning_kind="linear", feature_mins=m.feature_mins, feature_maxs=m.feature_maxs,
                   max_data_bin=TOP)
    return result.artifact_bytes, rows, binning, scores


def quantile_case():
    result = fit(continuous_binning_strategy="quantile")
    cuts = result.continuous_binning_metadata.feature_quantile_cuts
    rows = edge_rows([around(c) for c in cuts])
    bins = np.stack([np.searchsorted(np.asarray(c, dtype=f32), rows[:, f], side="right")
                     for f, c in enumerate(cuts)], axis=1).astype(f32)
    scores = _kestrune.predictor_predict_batch(result.artifact_bytes, bins.tolist())
    return result.artifact_bytes, rows, dict(binning_kind="quantile", feature_cuts=cuts), scores


def linear_rank_case(monkeypatch):
    monkeypatch.setenv("KESTRUNE_EXPERIMENT_LINEAR_TAIL_RANK", "1")
    result = fit()
    m = result.continuous_binning_metadata
    assert any(m.feature_linear_rank_flags) and not all(m.feature_linear_rank_flags)
    candidates = [around(np.unique(s)) if flag else linear_edges(lo, hi) for flag, s, lo, hi in
                  zip(m.feature_linear_rank_flags, m.feature_sorted_values, m.feature_mins, m.feature_maxs)]
    rows = edge_rows(candidates)
    scores = Handle(result.artifact_bytes).predict_dense_quantized_linear_rank(
        rows.ravel().tolist(), rows.shape[0], rows.shape[1], m.feature_mins, m.feature_maxs,
        m.feature_linear_rank_flags, m.feature_sorted_values)
    per_feature = [s if flag else None for flag, s in zip(m.feature_linear_rank_flags, m.feature_sorted_values)]
    binning = dict(binning_kind="linear_rank", feature_mins=m.feature_mins, feature_maxs=m.feature_maxs,
                   max_data_bin=TOP, linear_rank_per_feature=per_feature)
    return result.artifact_bytes, rows, binning, scores


def prebinned_case():
    result = fit()
    m = result.continuous_binning_metadata
    rows = edge_rows([np.arange(TOP + 1, dtype=f32)] * X.shape[1])
    scores = _kestrune.predictor_predict_batch(result.artifact_bytes, rows.tolist())
    return result.artifact_bytes, rows, dict(binning_kind="prebinned"), scores


def native_categorical_case(kind):
    # A native categorical column holds category ids, which its stumps read as they are: binning
    # them by the column's bounds would send every id down one side.
    cats = ["abcde"[i] for i in rng.integers(0, 5, X.shape[0])]
    effect = {"a": 0.0, "b": 2.0, "c": -1.5, "d": 1.0, "e": 3.0}
    result = fit(y=(Y + np.asarray([effect[c] for c in cats], dtype=f32)).astype(f32), categorical_feature_indices=[5],
                 categorical_feature_values_list=[cats], max_cat_threshold=8)
    m = result.continuous_binning_metadata
    ids = np.asarray(list(result.native_cat_mappings[5].values()), dtype=f32)
    rows = edge_rows([linear_edges(lo, hi) for lo, hi in zip(m.feature_mins[:5], m.feature_maxs[:5])] + [ids])
    handle = Handle(result.artifact_bytes)
    handle.convert_thresholds_to_float(m.feature_mins, m.feature_maxs, TOP)
    scores = handle.predict_batch(rows.tolist())
    binning = dict(binning_kind=kind, feature_mins=m.feature_mins, feature_maxs=m.feature_maxs, max_data_bin=TOP)
    if kind == "linear_rank":
        binning["linear_rank_per_feature"] = [None] * 6
    return result.artifact_bytes, rows, binning, scores


def constant_feature_case(context):
    # Splits on constant and near-constant features (a span of at most 1e-6 counts as constant),
    # with the bounds far from and near zero, where a raw threshold of min + 2^-23 misroutes.
    bounds = [(1000.0, 1000.0), (0.0, 0.0), (-3.0, -3.0), (1.0, 1.0000005), (0.0, 2.0), (-1.0, 1.0)]
    stumps = [Stump(t, 0, f, split, 1.0 + t, -2.0 - t) for t, (f, split) in
              enumerate([(0, 0), (1, 0), (2, 3), (3, 0), (0, 253), (4, 127), (5, 0), (3, 200)])]
    artifact = single_output_artifact(6, stumps, base_score=0.5)
    mins, maxs = [b[0] for b in bounds], [b[1] for b in bounds]
    rows = edge_rows([around([lo, hi, f32(lo) + f32(1.1920929e-7)]) for lo, hi in bounds], count=400)
    handle = Handle(artifact)
    flat = rows.ravel().tolist()
    if context == "linear":
        scores = handle.predict_dense_quantized_linear(flat, rows.shape[0], 6, mins, maxs)
        binning = dict(binning_kind="linear", feature_mins=mins, feature_maxs=maxs, max_data_bin=TOP)
    else:
        sorted_values = [[-1.0, 0.0, 0.0, 1.0]] + [[]] * 5
        flags = [True] + [False] * 5
        scores = handle.predict_dense_quantized_linear_rank(flat, rows.shape[0], 6, mins, maxs, flags, sorted_values)
        binning = dict(binning_kind="linear_rank", feature_mins=mins, feature_maxs=maxs, max_data_bin=TOP,
                       linear_rank_per_feature=[sorted_values[0]] + [None] * 5)
    return artifact, rows, binning, scores


CASES = {
    "linear": lambda mp: linear_case(),
    "linear_tree_shap": lambda mp: linear_case(wide=True),
    "quantile": lambda mp: quantile_case(),
    "linear_rank": linear_rank_case,
    "prebinned": lambda mp: prebinned_case(),
    "native_categorical_linear": lambda mp: native_categorical_case("linear"),
    "native_categorical_linear_rank": lambda mp: native_categorical_case("linear_rank"),
    "constant_features_linear": lambda mp: constant_feature_case("linear"),
    "constant_features_linear_rank": lambda mp: constant_feature_case("linear_rank"),
}


@pytest.mark.parametrize("case", CASES)
def test_shap_adds_up_to_the_predictor_score_on_bin_edges(case, monkeypatch):
    artifact, rows, binning, scores = CASES[case](monkeypatch)
    np.testing.assert_allclose(explain(artifact, rows, **binning), scores, rtol=1e-4, atol=1e-4)
