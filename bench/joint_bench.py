"""Joint multi-output training time on the ranking set with three outputs.

    .venv/bin/python bench/joint_bench.py [--quick] [--rounds N] [--growth level|leaf]

The ranking set's relevance grades train three outputs at once (rank:ndcg, queryrmse and
squared_error) with one shared tree per round; the line printed is the wall time from the numpy
arrays to the returned artifact (binning included) and the test NDCG@10 of the rank:ndcg output
scored by JointPredictorHandle on the test rows binned as training binned them. The joint trainer
itself is serial; only the binning uses the worker pool.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _kestrune  # noqa: E402
import datasets  # noqa: E402
import metrics  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--growth", choices=["level", "leaf"], default="leaf")
    args = parser.parse_args()
    data = datasets.make("ranking", 0.1 if args.quick else 1.0)
    x, y, group = data.train.x, data.train.y, data.train.group
    rows, features = x.shape
    # Bin both splits with the training rows' linear cuts, so the handle scores test rows in the
    # same bin space the model was trained in.
    lo, hi = x.min(axis=0), x.max(axis=0)
    def to_bins(values):
        scaled = (values - lo) / np.where(hi > lo, hi - lo, 1.0) * 254.0
        return np.clip(np.floor(scaled), 0, 254).astype(np.float32)
    xb, xtb = to_bins(x), to_bins(data.test.x)
    targets = [y.tolist(), y.tolist(), y.tolist()]
    start = time.perf_counter()
    artifact, baselines, _, rounds = _kestrune.train_joint_multi_label_ranker(
        xb.ravel().tolist(), rows, features, targets, 3, ["rank:ndcg", "queryrmse", "squared_error"],
        group.tolist(), args.rounds, 0.1, 7, 8, 1, 1.0, 255, tree_growth=args.growth, max_leaves=63)
    seconds = time.perf_counter() - start
    handle = _kestrune.JointPredictorHandle(artifact, baselines, features)
    scores = np.array(handle.predict_dense(xtb.ravel().tolist())).reshape(-1, 3)
    ndcg = metrics.ndcg_at(scores[:, 0], data.test.y, data.test.group, 10)
    print(f"joint fit, ranking set ({rows} rows x {features}, 3 outputs, {rounds} rounds, {args.growth}-wise): "
          f"{seconds:.2f} s, test NDCG@10 of rank:ndcg {ndcg:.4f}")


if __name__ == "__main__":
    main()
