"""Test-quality metrics, computed the same way for every library's scores."""

import numpy as np


def rmse(scores, y):
    return float(np.sqrt(np.mean((scores - y.astype(np.float64)) ** 2)))


def log_loss(probabilities, y):
    p = np.clip(probabilities, 1e-15, 1.0 - 1e-15)
    y = y.astype(np.float64)
    return float(-np.mean(y * np.log(p) + (1.0 - y) * np.log1p(-p)))


def auc(scores, y):
    """Area under the ROC curve from the rank sum; tied scores share their average rank."""
    order = np.argsort(scores, kind="mergesort")
    ranked = scores[order]
    _, inverse, counts = np.unique(ranked, return_inverse=True, return_counts=True)
    average_rank = np.cumsum(counts) - (counts - 1) / 2.0
    ranks = average_rank[inverse]
    positive = y[order] > 0.5
    n_pos = int(positive.sum())
    n_neg = len(y) - n_pos
    if n_pos == 0 or n_neg == 0:
        return float("nan")
    return float((ranks[positive].sum() - n_pos * (n_pos + 1) / 2.0) / (n_pos * n_neg))


def ndcg_at(scores, y, group, k=10):
    """Mean NDCG@k over queries (gain 2^rel - 1, discount 1/log2(position + 2)); a query without
    any relevant document counts as 1, as LightGBM and XGBoost count it. Documents of a query are
    contiguous; ties in score keep the input order."""
    starts = np.flatnonzero(np.r_[True, group[1:] != group[:-1]])
    ends = np.r_[starts[1:], len(group)]
    discount = 1.0 / np.log2(np.arange(2, k + 2))
    total = 0.0
    for a, b in zip(starts, ends):
        rel = y[a:b].astype(np.float64)
        gains = 2.0 ** rel - 1.0
        ideal = np.sort(gains)[::-1][:k]
        idcg = float(ideal @ discount[: len(ideal)])
        if idcg <= 0.0:
            total += 1.0
            continue
        top = gains[np.argsort(-scores[a:b], kind="stable")][:k]
        total += float(top @ discount[: len(top)]) / idcg
    return total / len(starts)


def quality(task, scores, split):
    """The task's test metrics: name -> (value, True when higher is better)."""
    if task == "binary":
        return {"AUC": (auc(scores, split.y), True), "log loss": (log_loss(scores, split.y), False)}
    if task == "regression":
        return {"RMSE": (rmse(scores, split.y), False)}
    return {"NDCG@10": (ndcg_at(scores, split.y, split.group), True)}
