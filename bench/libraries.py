"""Training and prediction of one data set with one library, with matched parameters.

Every library gets 255 bins, the same learning rate, rounds and tree shape, the same L2 leaf
penalty and minimum leaf hessian, no leaf-size floor, no row or column sampling, and every thread
of the benchmark. Training time runs from the numpy arrays to a
trained model (binning included), also as CPU seconds of all threads; prediction time from raw float32 test features to scores, on a
model already in memory, best of three runs.
"""

import time

import numpy as np

LEARNING_RATE = 0.1
MAX_BINS = 255
LAMBDA_L2 = 1.0
# No leaf-size floor (XGBoost has none); the minimum hessian guards the leaves instead. With a
# floor of 20 rows kestrune ends the whole fit at the first tree whose best root split leaves a
# child below the floor (stop reason LeafRowsBelowThreshold), long before the requested rounds,
# and the libraries would no longer train the same number of trees.
MIN_DATA_IN_LEAF = 1
MIN_CHILD_HESSIAN = 1e-3
# Leaf-wise trees are shaped by their leaf count; the depth cap, the same for all three, is the
# deepest level a kestrune tree can hold (its node ids stay below 2^20).
LEAF_WISE_DEPTH_CAP = 19
PREDICT_REPEATS = 3
# Most categories one native categorical split considers; the categorical set has 30 levels, so
# every library may split on any subset order of them.
MAX_CAT_THRESHOLD = 32


def _best_time(fn):
    best, out = float("inf"), None
    for _ in range(PREDICT_REPEATS):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def _group_sizes(group):
    return np.bincount(group).astype(np.int64)


# --- kestrune -----------------------------------------------------------------------------------

KESTRUNE_OBJECTIVES = {"binary": "binary_crossentropy", "regression": "squared_error", "ranking": "rank_ndcg"}


def _level_strings(column):
    import datasets

    return [datasets.level_name(v) for v in column]


def run_kestrune(ds, threads, seed, binning="linear", native_categorical=True):
    """With native_categorical=False the data set's categorical columns are left as plain numbers
    (their level ids), for contrast with the category-set splits."""
    import _kestrune

    tr, te = ds.train, ds.test
    n, f = tr.x.shape
    kwargs = dict(
        rounds=ds.rounds, min_data_in_leaf=MIN_DATA_IN_LEAF, lambda_l2=LAMBDA_L2,
        min_child_hessian=MIN_CHILD_HESSIAN, objective=KESTRUNE_OBJECTIVES[ds.task],
        continuous_binning_strategy=binning, continuous_binning_max_bins=MAX_BINS,
        # The automatic policy would add row and column sampling and loss-stall stopping on data of
        # this size; the benchmark trains with exactly the settings given to every library.
        training_policy="manual",
    )
    if ds.growth == "leaf":
        kwargs.update(tree_growth="leaf", max_leaves=ds.max_leaves)
        depth = LEAF_WISE_DEPTH_CAP
    else:
        kwargs.update(tree_growth="level")
        depth = ds.max_depth
    categorical = ds.categorical if native_categorical else []
    start = time.perf_counter()
    cpu_start = time.process_time()
    if tr.group is not None:
        # Any sequence of ids is accepted; the array itself costs no Python list of 600k ints.
        kwargs["group_id"] = tr.group
    if categorical:
        # Categories arrive as one string per row, as a caller would pass them.
        kwargs.update(categorical_feature_indices=list(categorical), max_cat_threshold=MAX_CAT_THRESHOLD,
                      categorical_feature_values_list=[_level_strings(tr.x[:, j]) for j in categorical])
    # Float32 C-contiguous arrays are read in place: the flat view costs no copy of the features.
    result = _kestrune.train_regression_artifact_dense_with_summary(
        tr.x.reshape(-1), n, f, tr.y, LEARNING_RATE, depth, 1.0, 1.0, 0.0, seed, True, **kwargs)
    train_seconds = time.perf_counter() - start
    train_cpu_seconds = time.process_time() - cpu_start
    summary = result.summary
    test_x = te.x
    if categorical:
        # A categorical node routes on the category id (the column's bin code) whether or not the
        # thresholds were converted, so a test row carries the training id of its string; a string
        # unseen in training is missing. Done once, before the timed prediction.
        mappings = result.native_cat_mappings
        if sorted(mappings) != sorted(categorical):
            raise RuntimeError(f"expected native splits on columns {categorical}, got {sorted(mappings)}")
        test_x = te.x.copy()
        for j in categorical:
            ids = mappings[j]
            test_x[:, j] = [ids.get(s, np.nan) for s in _level_strings(te.x[:, j])]

    # A loaded predictor compares bin indices; turning its thresholds into raw feature values once
    # lets it score raw float32 rows straight from the numpy buffer.
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes)
    meta = result.continuous_binning_metadata
    notes = []
    if meta.uses_continuous_binning:
        if binning == "quantile":
            handle.convert_thresholds_to_float_quantile(meta.feature_quantile_cuts)
        else:
            handle.convert_thresholds_to_float(meta.feature_mins, meta.feature_maxs, MAX_BINS - 1)
    predict_seconds, scores = _best_time(lambda: handle.predict_numpy_array(test_x))
    if categorical:
        # The training rows' own scores (the summary's fitted values are not kept): the first rows
        # scored through the converted predictor must match the bin-space scoring of the same
        # rows, whose categorical column already holds ids.
        notes.extend(_check_categorical_scoring(_kestrune, result, tr, categorical, handle))
    if meta.uses_continuous_binning and binning == "linear" and not categorical:
        # The quantizing path bins the raw values the way training did: both must agree.
        binned = np.asarray(_kestrune.NativePredictorHandle(result.artifact_bytes).predict_dense_quantized_linear_bytes(
            te.x.tobytes(), te.x.shape[0], f, meta.feature_mins, meta.feature_maxs), dtype=np.float32)
        differ = int(np.count_nonzero(binned != scores))
        if differ:
            notes.append(f"{differ} of {len(scores)} test rows score differently through the quantizing path")
    return dict(
        train_seconds=train_seconds, train_cpu_seconds=train_cpu_seconds, predict_seconds=predict_seconds,
        scores=np.asarray(scores, dtype=np.float64), native_train_seconds=summary.native_train_seconds, rounds_completed=summary.rounds_completed,
        stop_reason=summary.stop_reason,
        artifact_bytes=len(result.artifact_bytes), notes=notes,
    )


def _check_categorical_scoring(_kestrune, result, tr, categorical, handle, rows=2000):
    """Scores the training rows, their categorical columns set to the training ids, through the
    converted predictor, and compares them with two bin-space scorings of the same model: row by
    row with the quantizing path on a fresh predictor (a categorical column quantized over 0..top
    bin keeps its ids), and as a whole with the training RMSE of the last round. Returns notes of
    every disagreement."""
    x = tr.x.copy()
    for j in categorical:
        ids = result.native_cat_mappings[j]
        x[:, j] = [ids[s] for s in _level_strings(tr.x[:, j])]
    scores = np.asarray(handle.predict_numpy_array(x), dtype=np.float32)
    meta = result.continuous_binning_metadata
    mins, maxs = list(meta.feature_mins), list(meta.feature_maxs)
    for j in categorical:
        mins[j], maxs[j] = 0.0, float(MAX_BINS - 1)
    head = np.ascontiguousarray(x[:rows])
    binned = np.asarray(_kestrune.NativePredictorHandle(result.artifact_bytes).predict_dense_quantized_linear_bytes(
        head.tobytes(), head.shape[0], head.shape[1], mins, maxs), dtype=np.float32)
    notes = []
    differ = int(np.count_nonzero(binned != scores[:rows]))
    if differ:
        notes.append(f"{differ} of {rows} training rows score differently in bin space")
    if not result.summary.train_rmse:
        return notes
    rmse = float(np.sqrt(np.mean((scores.astype(np.float64) - tr.y) ** 2)))
    reported = float(result.summary.train_rmse[-1])
    if abs(rmse - reported) > 1e-4 * reported:
        notes.append(f"training RMSE {rmse:.6f} from the predictor against {reported:.6f} reported by training")
    return notes


def run_kestrune_ids(ds, threads, seed, binning="linear"):
    return run_kestrune(ds, threads, seed, binning, native_categorical=False)


# --- LightGBM -----------------------------------------------------------------------------------

def run_lightgbm(ds, threads, seed):
    import lightgbm as lgb

    tr, te = ds.train, ds.test
    params = dict(
        objective={"binary": "binary", "regression": "regression", "ranking": "lambdarank"}[ds.task],
        learning_rate=LEARNING_RATE, max_bin=MAX_BINS, lambda_l2=LAMBDA_L2, min_data_in_leaf=MIN_DATA_IN_LEAF,
        min_sum_hessian_in_leaf=MIN_CHILD_HESSIAN, num_threads=threads, seed=seed,
        bagging_fraction=1.0, feature_fraction=1.0, verbosity=-1,
    )
    if ds.growth == "leaf":
        params.update(num_leaves=ds.max_leaves, max_depth=LEAF_WISE_DEPTH_CAP)
    else:
        # LightGBM grows best-first only; a depth cap with room for every leaf of the full tree
        # gives the level-wise shape.
        params.update(num_leaves=2 ** ds.max_depth, max_depth=ds.max_depth)
    if ds.task == "ranking":
        # Every pair of a query counts, as in the other two libraries' full LambdaMART.
        params.update(lambdarank_truncation_level=int(_group_sizes(tr.group).max()))
    if ds.categorical:
        # kestrune orders a node's categories by gradient sum over (hessian sum + L2) and tries
        # every prefix of that order, with no extra penalty, per-category floor or one-hot mode:
        # the same here (cat_smooth takes the L2's place in the order).
        params.update(max_cat_threshold=MAX_CAT_THRESHOLD,
                      max_cat_to_onehot=1, cat_smooth=LAMBDA_L2, cat_l2=0.0, min_data_per_group=MIN_DATA_IN_LEAF)
    start = time.perf_counter()
    cpu_start = time.process_time()
    train_set = lgb.Dataset(tr.x, label=tr.y, group=_group_sizes(tr.group) if tr.group is not None else None,
                            categorical_feature=list(ds.categorical) or "auto",
                            params={"max_bin": MAX_BINS, "verbosity": -1})
    booster = lgb.train(params, train_set, num_boost_round=ds.rounds)
    train_seconds = time.perf_counter() - start
    train_cpu_seconds = time.process_time() - cpu_start
    predict_seconds, scores = _best_time(lambda: booster.predict(te.x, num_threads=threads))
    return dict(train_seconds=train_seconds, train_cpu_seconds=train_cpu_seconds, predict_seconds=predict_seconds,
                scores=np.asarray(scores, dtype=np.float64), rounds_completed=booster.current_iteration(), notes=[])


# --- XGBoost ------------------------------------------------------------------------------------

def run_xgboost(ds, threads, seed):
    import xgboost as xgb

    tr, te = ds.train, ds.test
    params = dict(
        objective={"binary": "binary:logistic", "regression": "reg:squarederror", "ranking": "rank:ndcg"}[ds.task],
        tree_method="hist", max_bin=MAX_BINS, eta=LEARNING_RATE, reg_lambda=LAMBDA_L2,
        min_child_weight=MIN_CHILD_HESSIAN, nthread=threads, seed=seed, subsample=1.0, colsample_bytree=1.0,
    )
    if ds.growth == "leaf":
        params.update(grow_policy="lossguide", max_leaves=ds.max_leaves, max_depth=LEAF_WISE_DEPTH_CAP)
    else:
        params.update(grow_policy="depthwise", max_depth=ds.max_depth)
    if ds.task == "ranking":
        params.update(lambdarank_pair_method="topk", lambdarank_num_pair_per_sample=int(_group_sizes(tr.group).max()))
    categorical = {}
    if ds.categorical:
        # Partition-based category splits (XGBoost also sorts categories by leaf value).
        params.update(max_cat_to_onehot=1, max_cat_threshold=MAX_CAT_THRESHOLD)
        kinds = ["c" if j in ds.categorical else "q" for j in range(tr.x.shape[1])]
        categorical = dict(feature_types=kinds, enable_categorical=True)
    start = time.perf_counter()
    cpu_start = time.process_time()
    train_set = xgb.QuantileDMatrix(tr.x, label=tr.y, qid=tr.group, max_bin=MAX_BINS, nthread=threads, **categorical)
    booster = xgb.train(params, train_set, num_boost_round=ds.rounds)
    train_seconds = time.perf_counter() - start
    train_cpu_seconds = time.process_time() - cpu_start
    booster.set_param({"nthread": threads})
    # The booster keeps the feature kinds, so raw rows score in place on a categorical set too.
    predict_seconds, scores = _best_time(lambda: booster.inplace_predict(te.x))
    return dict(train_seconds=train_seconds, train_cpu_seconds=train_cpu_seconds, predict_seconds=predict_seconds,
                scores=np.asarray(scores, dtype=np.float64), rounds_completed=booster.num_boosted_rounds(), notes=[])


RUNNERS = {"kestrune": run_kestrune, "lightgbm": run_lightgbm, "xgboost": run_xgboost,
           "kestrune-ids": run_kestrune_ids}
# Runners that only mean something on a data set with categorical columns.
CATEGORICAL_ONLY = ("kestrune-ids",)
LIBRARIES = tuple(RUNNERS)
