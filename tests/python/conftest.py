"""Shared helpers: fits through the master training function and scores of their artifacts on raw rows."""

import numpy as np

import _kestrune

train = _kestrune.train_regression_artifact_with_summary


def fit(x, y, rounds=8, learning_rate=0.3, max_depth=3, row_subsample=1.0, seed=11, **kwargs):
    return train(x, y, learning_rate, max_depth, row_subsample, 1.0, 0.0, seed, True, rounds=rounds, **kwargs)


def predict(result, x):
    """Raw scores of the trained artifact on raw features, binned as training binned them."""
    metadata = result.continuous_binning_metadata
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    scores = handle.predict_dense_quantized_linear(x.ravel().tolist(), x.shape[0], x.shape[1],
                                                   metadata.feature_mins, metadata.feature_maxs)
    return np.asarray(scores, dtype=np.float64)


def f32_bytes(values):
    return np.asarray(values, dtype="<f4").tobytes()


# The ways the training functions take a matrix and its targets, given row lists; `prefix` names
# the validation set's parameters.
def as_rows(rows, targets, prefix=""):
    return {f"{prefix}rows": rows, f"{prefix}targets": targets}


def as_flat(rows, targets, prefix=""):
    shape = {f"{prefix}row_count": len(rows), **({} if prefix else {"feature_count": len(rows[0]) if rows else 0})}
    return {f"{prefix}values": [v for row in rows for v in row], **shape, f"{prefix}targets": targets}


def as_bytes(rows, targets, prefix=""):
    flat = as_flat(rows, targets, prefix)
    flat[f"{prefix}values_bytes"] = f32_bytes(flat.pop(f"{prefix}values"))
    flat[f"{prefix}targets_bytes"] = f32_bytes(flat.pop(f"{prefix}targets"))
    return flat
