"""Exact SHAP throughput: rows per second of shap_explain_rows on a 100-tree model that splits on
12 features (depth 6, trained on generated data).

    python3 bench/shap_bench.py [--rows 400] [--repeats 3]

Set RAYON_NUM_THREADS to fix the pool size (rows are explained in parallel on the pool).
The `_kestrune` module must be importable.
"""

import argparse
import time

import numpy as np

import _kestrune


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=400)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    x = rng.normal(size=(5000, 12)).astype(np.float32)
    y = (x @ rng.normal(size=12) + np.sin(3 * x[:, 0]) * x[:, 1]).astype(np.float32)
    result = _kestrune.train_regression_artifact_with_summary(x, y, 0.1, 6, 1.0, 1.0, 0.0, 1, True, rounds=100)
    metadata = result.continuous_binning_metadata
    binning = dict(binning_kind="linear", feature_mins=metadata.feature_mins, feature_maxs=metadata.feature_maxs,
                   max_data_bin=254)
    rows = x[: args.rows].tolist()
    _kestrune.shap_explain_rows_with_binning(result.artifact_bytes, rows[:4], **binning)
    best = float("inf")
    for _ in range(args.repeats):
        start = time.perf_counter()
        _kestrune.shap_explain_rows_with_binning(result.artifact_bytes, rows, **binning)
        best = min(best, time.perf_counter() - start)
    print(f"exact SHAP, 100 trees, 12 features, depth 6: {args.rows / best:.0f} rows/s ({best:.3f} s for {args.rows} rows)")


if __name__ == "__main__":
    main()
