"""SHAP throughput, rows per second, against XGBoost and the shap package:

- exact SHAP (shap_explain_rows) on a 100-tree model that splits on 12 features (depth 6);
- TreeSHAP (shap_explain_rows) on a 100-tree model that splits on 40 features, against the shap
  package's TreeExplainer given the same trees, thresholds and covers (its values, and its
  interaction values on 20 rows, must agree within 1e-4 relative) and against XGBoost's
  pred_contribs on an XGBoost model of the same shape;
- TreeSHAP on a higgs-shaped model: 500 trees of 255 leaves (leaf-wise) over 28 features,
  against the same references;
- interaction values (shap_explain_interactions) on every model, against XGBoost's
  pred_interactions.

    .venv/bin/python bench/shap_bench.py [--rows 400] [--repeats 3]

Set RAYON_NUM_THREADS to fix the pool size (rows are explained in parallel on the pool); XGBoost
uses every core. The `_kestrune` module must be importable; XGBoost and shap are optional (their
lines are skipped when they are not installed).
"""

import argparse
import struct
import time

import numpy as np

import _kestrune

TREES_SECTION = 1
TOP_BIN = 254

try:
    import xgboost
except ImportError:
    xgboost = None
try:
    import shap
except ImportError:
    shap = None


def best_time(call, repeats):
    call()  # warm-up
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def report(label, rows, seconds):
    print(f"{label}: {rows / seconds:,.0f} rows/s ({seconds:.3f} s for {rows} rows)")


# (features, rounds, max_leaves or None for level-wise depth 6, training rows)
MODELS = ((12, 100, None, 5000), (40, 100, None, 5000), (28, 500, 255, 20000))


def model_data(feature_count, row_count):
    rng = np.random.default_rng(feature_count)
    x = rng.normal(size=(row_count, feature_count)).astype(np.float32)
    y = (x @ rng.normal(size=feature_count) + np.sin(3 * x[:, 0]) * x[:, 1]).astype(np.float32)
    return x, y


def bin_rows(x, metadata):
    """The rows as bin numbers by the linear rule (rounding aside): the models' own threshold space."""
    lo = np.asarray(metadata.feature_mins, dtype=np.float64)
    hi = np.asarray(metadata.feature_maxs, dtype=np.float64)
    scaled = (x - lo) / np.where(hi > lo, hi - lo, 1.0) * TOP_BIN
    return np.clip(np.floor(scaled + 0.5), 0, TOP_BIN).astype(np.float32)


def trees_section(artifact):
    """(base prediction, [(node_id, feature, split_bin, default_left, left, right, left_n, right_n)])."""
    _, count, metadata_length = struct.unpack_from("<III", artifact, 4)
    for i in range(count):
        kind, offset, length = struct.unpack_from("<IQQ", artifact, 16 + 20 * i)
        if kind == TREES_SECTION:
            _, _, stumps, base = struct.unpack_from("<IIIf", artifact, offset)
            records = [struct.unpack_from("<IIHHfffII", artifact, offset + 16 + 32 * k) for k in range(stumps)]
            return base, [(r[0], r[1], r[2], r[3] & 1, r[5], r[6], r[7], r[8]) for r in records]
    raise ValueError("artifact without a Trees section")


def shap_tree_model(artifact):
    """The artifact's trees in the shap package's dictionary form: leaves carry their path's sum of
    side values and the stored row count of their side, splits the sum of the covers below them."""
    base, stumps = trees_section(artifact)
    by_tree = {}
    for stump in stumps:
        by_tree.setdefault(stump[0] >> 20, {})[stump[0] & 0xFFFFF] = stump
    trees = []
    for index in sorted(by_tree):
        nodes = by_tree[index]
        left, right, default, features, thresholds, values, covers = [], [], [], [], [], [], []

        def add(local, path_value, cover):
            position = len(left)
            for column in (left, right, default, features):
                column.append(-1)
            thresholds.append(0.0)
            values.append(path_value)
            covers.append(cover)
            stump = nodes.get(local)
            if stump is None:
                return position, path_value * cover, cover
            _, feature, split_bin, default_left, lv, rv, ln, rn = stump
            l_pos, l_sum, l_cover = add(2 * local + 1, path_value + lv, float(ln))
            r_pos, r_sum, r_cover = add(2 * local + 2, path_value + rv, float(rn))
            left[position], right[position] = l_pos, r_pos
            default[position] = l_pos if default_left else r_pos
            features[position], thresholds[position] = feature, float(split_bin)
            covers[position] = l_cover + r_cover
            values[position] = (l_sum + r_sum) / covers[position] if covers[position] > 0 else 0.0
            return position, l_sum + r_sum, covers[position]

        root = nodes[0]
        add(0, 0.0, float(root[6] + root[7]))
        trees.append({"children_left": np.array(left), "children_right": np.array(right),
                      "children_default": np.array(default), "features": np.array(features),
                      "thresholds": np.array(thresholds), "values": np.array(values).reshape(-1, 1),
                      "node_sample_weight": np.array(covers)})
    return {"trees": trees, "base_offset": float(base)}


def print_agreement(what, ours, theirs):
    # Relative to each entry, floored at 1e-3 of the largest one so that near-zero entries do not dominate.
    scale = np.maximum(np.abs(theirs), np.max(np.abs(theirs)) * 1e-3)
    worst = float(np.max(np.abs(ours - theirs) / scale))
    print(f"  agreement with TreeExplainer, {what}: largest relative difference {worst:.2e}"
          f" ({'within' if worst <= 1e-4 else 'OUTSIDE'} 1e-4)")


def xgboost_booster(x, y, rounds, max_leaves):
    params = {"max_depth": 6, "eta": 0.1, "lambda": 1.0, "min_child_weight": 0.0, "tree_method": "hist",
              "max_bin": 256}
    if max_leaves is not None:
        params.update(grow_policy="lossguide", max_leaves=max_leaves, max_depth=0)
    return xgboost.train(params, xgboost.DMatrix(x, label=y), num_boost_round=rounds)


def bench_model(feature_count, rounds, max_leaves, row_count, args):
    x, y = model_data(feature_count, row_count)
    shape = dict(tree_growth="leaf", max_leaves=max_leaves) if max_leaves is not None else {}
    depth = 64 if max_leaves is not None else 6
    result = _kestrune.train_regression_artifact_with_summary(x, y, 0.1, depth, 1.0, 1.0, 0.0, 1, True,
                                                              rounds=rounds, **shape)
    artifact = result.artifact_bytes
    binned = bin_rows(x[: args.rows], result.continuous_binning_metadata)
    rows = binned.tolist()
    method = "exact SHAP" if feature_count <= 25 else "TreeSHAP"
    tree_shape = f"{max_leaves} leaves" if max_leaves is not None else "depth 6"
    name = f"{rounds} trees, {feature_count} features, {tree_shape}"
    report(f"kestrune {method}, {name}", args.rows,
           best_time(lambda: _kestrune.shap_explain_rows(artifact, rows), args.repeats))
    interaction_rows = rows[: args.interaction_rows]
    report(f"kestrune interactions, {name}", len(interaction_rows),
           best_time(lambda: _kestrune.shap_explain_interactions(artifact, interaction_rows), args.repeats))
    if xgboost is not None:
        booster = xgboost_booster(x, y, rounds, max_leaves)
        matrix = xgboost.DMatrix(x[: args.rows])
        report(f"xgboost pred_contribs, {name}", args.rows,
               best_time(lambda: booster.predict(matrix, pred_contribs=True), args.repeats))
        interaction_matrix = xgboost.DMatrix(x[: len(interaction_rows)])
        report(f"xgboost pred_interactions, {name}", len(interaction_rows),
               best_time(lambda: booster.predict(interaction_matrix, pred_interactions=True), args.repeats))
    else:
        print("xgboost not installed: its lines are skipped")
    if shap is not None:
        explainer = shap.TreeExplainer(shap_tree_model(artifact), feature_perturbation="tree_path_dependent")
        report(f"shap TreeExplainer (same trees), {name}", args.rows,
               best_time(lambda: explainer.shap_values(binned, check_additivity=False), args.repeats))
        ours = np.asarray(_kestrune.shap_explain_rows(artifact, rows)[1], dtype=np.float64)
        theirs = explainer.shap_values(binned, check_additivity=False)
        print_agreement("values", ours, theirs)
        sample = binned[:20]
        ours = np.asarray(_kestrune.shap_explain_interactions(artifact, sample.tolist())[1], dtype=np.float64)
        print_agreement("interactions (20 rows)", ours, explainer.shap_interaction_values(sample))
    else:
        print("shap not installed: the TreeExplainer line and the agreement check are skipped")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=400)
    parser.add_argument("--interaction-rows", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    for feature_count, rounds, max_leaves, row_count in MODELS:
        bench_model(feature_count, rounds, max_leaves, row_count, args)


if __name__ == "__main__":
    main()
