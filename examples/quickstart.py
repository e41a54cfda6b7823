"""Quickstart: train, evaluate, save and reload kestrune models on two real data sets.

Breast cancer (binary classification, 569 rows x 30 features) and diabetes (regression,
442 rows x 10 features), both shipped with scikit-learn. Each set is cut into training,
validation and test rows; training stops early once the validation loss stops improving.
"""

import json
import math
import tempfile
from pathlib import Path

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes

import _kestrune

SEED = 42


def split_rows(x, y, seed=SEED):
    """60% training, 20% validation, 20% test rows, shuffled with a fixed seed."""
    order = np.random.default_rng(seed).permutation(len(y))
    a, b = int(0.6 * len(y)), int(0.8 * len(y))
    parts = order[:a], order[a:b], order[b:]
    x = np.ascontiguousarray(x, dtype=np.float32)
    y = np.ascontiguousarray(y, dtype=np.float32)
    return [(x[p], y[p]) for p in parts]


def train(train_set, valid_set, objective, **options):
    (x, y), (vx, vy) = train_set, valid_set
    return _kestrune.train_regression_artifact_dense_with_summary_bytes(
        x.tobytes(), x.shape[0], x.shape[1], y.tobytes(),
        0.05,  # learning rate
        options.pop("max_depth", 4),
        1.0, 1.0,  # row and column subsample: every row and feature
        0.0,  # minimum validation improvement
        SEED, True,  # seed, deterministic
        rounds=1000, early_stopping_rounds=30, objective=objective, min_data_in_leaf=5, lambda_l2=1.0,
        # 'manual' trains with exactly these settings; the default 'auto' adapts rounds, sampling
        # and stopping rules to the size of the data.
        training_policy="manual",
        validation_values_bytes=vx.tobytes(), validation_row_count=vx.shape[0], validation_targets_bytes=vy.tobytes(),
        **options)


def print_summary(summary):
    print(f"  objective {summary.objective}: {summary.rounds_completed} of {summary.rounds_requested} rounds, "
          f"stopped by {summary.stop_reason}")
    print(f"  best validation round {summary.best_validation_round}, validation loss {summary.best_validation_loss:.5f}"
          f" (train loss {summary.train_loss[-1]:.5f}), {summary.native_train_seconds * 1000:.1f} ms in the trainer")


def raw_value_predictor(artifact_bytes, binning):
    """A predictor that scores raw feature values: a loaded model compares bin indices, so its
    thresholds are mapped back to raw values with the binning of the training call."""
    handle = _kestrune.NativePredictorHandle(artifact_bytes)
    if binning["uses_continuous_binning"]:
        handle.convert_thresholds_to_float(binning["feature_mins"], binning["feature_maxs"], 254)
    return handle


def explain(artifact_bytes, binning, test_x, names):
    """Global importance (mean |SHAP| over the test rows) and the explanation of the first row."""
    context = dict(binning_kind="linear", feature_mins=binning["feature_mins"], feature_maxs=binning["feature_maxs"],
                   max_data_bin=254)
    rows = test_x.tolist()
    ranked = _kestrune.shap_global_importance_with_binning(artifact_bytes, rows, **context)
    print("  top features by mean |SHAP|: " + ", ".join(f"{names[int(f[1:])]} {v:.3f}" for f, v in ranked[:3]))
    expected, values = _kestrune.shap_explain_rows_with_binning(artifact_bytes, rows[:1], **context)
    top = sorted(range(len(names)), key=lambda j: -abs(values[0][j]))[:3]
    print(f"  first test row: expected value {expected:.3f}, raw score {expected + sum(values[0]):.3f}; largest "
          "contributions " + ", ".join(f"{names[j]} {values[0][j]:+.3f}" for j in top))


def binning_of(result):
    meta = result.continuous_binning_metadata
    return {"uses_continuous_binning": meta.uses_continuous_binning,
            "feature_mins": meta.feature_mins, "feature_maxs": meta.feature_maxs}


def save_and_reload(result, directory, name, test_x, scores):
    """Writes the artifact and the binning it needs, reads both back and checks the reloaded
    model scores the test rows exactly as the trained one did."""
    model_path = Path(directory) / f"{name}.kstr"
    binning_path = Path(directory) / f"{name}.binning.json"
    model_path.write_bytes(result.artifact_bytes)
    binning_path.write_text(json.dumps(binning_of(result)))
    reloaded = raw_value_predictor(model_path.read_bytes(), json.loads(binning_path.read_text()))
    again = reloaded.predict_numpy_array(test_x)
    same = np.array_equal(again, scores)
    print(f"  saved {model_path.name} ({model_path.stat().st_size:,} bytes) and {binning_path.name}; "
          f"reloaded model gives {'the same' if same else 'DIFFERENT'} test scores")
    if not same:
        raise SystemExit("the reloaded model does not reproduce the trained model's scores")


def auc(scores, y):
    positive, negative = scores[y > 0.5], scores[y <= 0.5]
    wins = (positive[:, None] > negative[None, :]).sum() + 0.5 * (positive[:, None] == negative[None, :]).sum()
    return wins / (len(positive) * len(negative))


def breast_cancer(directory):
    data = load_breast_cancer()
    train_set, valid_set, (test_x, test_y) = split_rows(data.data, data.target)
    print(f"breast cancer: {len(train_set[1])} training, {len(valid_set[1])} validation, {len(test_y)} test rows, "
          f"{test_x.shape[1]} features")
    result = train(train_set, valid_set, "binary_crossentropy", tree_growth="leaf", max_leaves=15)
    print_summary(result.summary)
    handle = raw_value_predictor(result.artifact_bytes, binning_of(result))
    probability = handle.predict_numpy_array(test_x)  # the objective's output: P(benign)
    p = np.clip(probability.astype(np.float64), 1e-15, 1 - 1e-15)
    log_loss = -np.mean(test_y * np.log(p) + (1 - test_y) * np.log1p(-p))
    accuracy = np.mean((probability > 0.5) == (test_y > 0.5))
    print(f"  test: accuracy {accuracy:.4f}, AUC {auc(probability, test_y):.4f}, log loss {log_loss:.4f}")
    explain(result.artifact_bytes, binning_of(result), test_x, list(data.feature_names))
    save_and_reload(result, directory, "breast_cancer", test_x, probability)
    return accuracy


def diabetes(directory):
    data = load_diabetes()
    train_set, valid_set, (test_x, test_y) = split_rows(data.data, data.target)
    print(f"diabetes: {len(train_set[1])} training, {len(valid_set[1])} validation, {len(test_y)} test rows, "
          f"{test_x.shape[1]} features")
    result = train(train_set, valid_set, "squared_error", max_depth=3)
    print_summary(result.summary)
    handle = raw_value_predictor(result.artifact_bytes, binning_of(result))
    prediction = handle.predict_numpy_array(test_x)
    residual = test_y.astype(np.float64) - prediction
    rmse = math.sqrt(np.mean(residual ** 2))
    baseline = math.sqrt(np.mean((test_y - train_set[1].mean()) ** 2))
    r2 = 1.0 - np.sum(residual ** 2) / np.sum((test_y - test_y.mean()) ** 2)
    print(f"  test: RMSE {rmse:.2f} (predicting the training mean: {baseline:.2f}), R^2 {r2:.3f}")
    explain(result.artifact_bytes, binning_of(result), test_x, list(data.feature_names))
    save_and_reload(result, directory, "diabetes", test_x, prediction)
    return rmse, baseline


def main():
    info = _kestrune.native_runtime_info()
    print(f"{info.name} native core {info.version}")
    with tempfile.TemporaryDirectory(prefix="kestrune-quickstart-") as directory:
        accuracy = breast_cancer(directory)
        print()
        rmse, baseline = diabetes(directory)
    if accuracy < 0.9 or rmse >= baseline:
        raise SystemExit("the models did not learn: check the build")


if __name__ == "__main__":
    main()
