"""Joint multi-output ranker: training from Python, scoring with JointPredictorHandle, warm start."""

import numpy as np
import pytest

import _kestrune

ROWS, FEATURES = 240, 5
OBJECTIVES = ["rank:ndcg", "queryrmse", "squared_error"]


def make_data(seed=0):
    # Whole-number features in 0..15 are taken as already binned (255 marks a missing value), so
    # the same values, with NaN for 255, score with the handle, which works in bin space.
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 16, size=(ROWS, FEATURES)).astype(np.float32)
    x[rng.random(x.shape) < 0.05] = 255.0
    filled = np.where(x == 255.0, 7.5, x) / 15.0
    signal = 2.0 * filled[:, 0] - 1.5 * filled[:, 1] + filled[:, 2] * filled[:, 4]
    relevance = np.clip(np.floor((signal + 1.5 + rng.normal(0, 0.3, ROWS)) * 1.2), 0, 4).astype(np.float32)
    regression = (signal + rng.normal(0, 0.3, ROWS)).astype(np.float32)
    groups = [i // 10 for i in range(ROWS)]
    return x, [relevance.tolist(), relevance.tolist(), regression.tolist()], groups


def train(rounds=6, x=None, targets=None, groups=None, **kwargs):
    if x is None:
        x, targets, groups = make_data()
    args = dict(learning_rate=0.3, seed=7, max_depth=3, min_data_in_leaf=5, lambda_l2=1.0, max_bin=255)
    args.update(kwargs)
    return _kestrune.train_joint_multi_label_ranker(
        x.ravel().tolist(), ROWS, FEATURES, targets, len(targets), OBJECTIVES[:len(targets)], groups, rounds, **args)


def scores(result, x):
    handle = _kestrune.JointPredictorHandle(result[0], result[1], result[2])
    assert handle.n_outputs == 3 and handle.baselines == result[1]
    return np.array(handle.predict_dense(np.where(x == 255.0, np.nan, x).ravel().tolist())).reshape(ROWS, 3)


VARIANTS = {
    "level": {},
    "leaf": dict(tree_growth="leaf", max_leaves=6),
    "dart": dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2),
    "goss_leaf": dict(boosting_mode="goss", goss_top_rate=0.3, goss_other_rate=0.3, tree_growth="leaf",
                      max_leaves=6, row_subsample=0.8, col_subsample=0.8),
    "morph": dict(morph_config={"morph_warmup_iters": 1}),
    "per_round_gradient": dict(neutralization="per_round_gradient", factor_neutralization_lambda=1e-3),
    "categorical": dict(categorical_feature_indices=[3], max_cat_threshold=8),
}


@pytest.mark.parametrize("variant", list(VARIANTS))
def test_joint_fits_improve_every_output_and_score_through_the_handle(variant):
    x, targets, groups = make_data()
    kwargs = dict(VARIANTS[variant])
    if variant == "categorical":
        x[:, 3] = np.arange(ROWS) % 6  # dense category ids 0..5
    if variant == "per_round_gradient":
        # Factors unrelated to the targets: projecting them out leaves the signal to learn.
        exposures = np.random.default_rng(1).normal(size=(ROWS, 2)).astype(np.float32)
        kwargs.update(factor_exposure_values=exposures.ravel().tolist(), factor_exposure_row_count=ROWS,
                      factor_exposure_factor_count=2)
    result = train(12, x, targets, groups, **kwargs)
    artifact, baselines, feature_count, rounds = result
    assert (type(artifact), len(baselines), feature_count, rounds) == (bytes, 3, FEATURES, 12)
    predicted = scores(result, x)
    assert np.isfinite(predicted).all()
    # The squared-error output fits its target better than its baseline does.
    y = np.array(targets[2])
    assert np.mean((predicted[:, 2] - y) ** 2) < 0.9 * np.mean((baselines[2] - y) ** 2)
    # The ranking outputs order rows inside their query groups by relevance more often than not.
    i, j = np.triu_indices(10, 1)
    for k in (0, 1):
        rel, score = np.array(targets[k]).reshape(-1, 10), predicted[:, k].reshape(-1, 10)
        keep = rel[:, i] != rel[:, j]
        agree = np.sign(rel[:, i] - rel[:, j]) == np.sign(score[:, i] - score[:, j])
        assert agree[keep].sum() > 0.6 * keep.sum()


@pytest.mark.parametrize("growth", [{}, dict(tree_growth="leaf", max_leaves=5)])
def test_warm_start_continues_bit_for_bit_like_one_longer_fit(growth):
    kwargs = dict(row_subsample=0.9, **growth)
    first, whole = train(5, **kwargs), train(8, **kwargs)
    rest = train(3, init_artifact_bytes=first[0], init_baselines=first[1], init_rounds_completed=first[3], **kwargs)
    assert (rest[0], rest[1], rest[3]) == (whole[0], whole[1], 8)


def test_bad_inputs_are_refused_with_their_messages():
    x, targets, groups = make_data()
    given = dict(x_values=x.ravel().tolist(), row_count=ROWS, feature_count=FEATURES, targets_per_output=targets,
                 n_outputs=3, per_output_objective_names=OBJECTIVES, group_id=groups, n_estimators=1,
                 learning_rate=0.3, seed=7, max_depth=3, min_data_in_leaf=5, lambda_l2=1.0, max_bin=255)

    def call(**overrides):
        return _kestrune.train_joint_multi_label_ranker(**{**given, **overrides})

    result = train(2)
    Joint = _kestrune.JointPredictorHandle
    handle = Joint(result[0], result[1], FEATURES)
    assert handle.predict_dense([]) == []
    x[0, 3] = 2.5
    cases = [
        (lambda: call(n_outputs=2, per_output_objective_names=OBJECTIVES[:2]), "targets_per_output length 3 != "),
        (lambda: call(targets_per_output=[], n_outputs=0, per_output_objective_names=[]), "n_outputs must be > 0"),
        (lambda: call(per_output_objective_names=["rank:NDCG", "queryrmse", "squared_error"]),
         'invalid objective "rank:NDCG": joint multi-output trainer does not support objective "rank:NDCG"; '),
        (lambda: call(group_id=None), "at least one ranking objective requires group_id"),
        (lambda: call(max_bin=1), "continuous_binning_max_bins must be in [2, 65535]"),
        (lambda: call(tree_growth="Leaf"), "unknown tree_growth \"Leaf\"; expected 'level' or 'leaf'"),
        (lambda: call(tree_growth="leaf"), "tree_growth='leaf' requires max_leaves to be set on the joint trainer"),
        (lambda: call(categorical_feature_indices=[7], max_cat_threshold=10), "categorical_feature_indices contains 7 "
         "which exceeds feature_count 5"),
        (lambda: train(1, x, targets, groups, categorical_feature_indices=[3], max_cat_threshold=8),
         "Native categorical feature 3 contains non-integer value 2.5; joint mode requires dense"),
        (lambda: call(init_artifact_bytes=b"xx"), "init_baselines is required when init_artifact_bytes is provided"),
        (lambda: handle.predict_dense([0.0] * 7), "values length 7 not divisible by feature_count 5"),
        (lambda: Joint(result[0], result[1], 0).predict_dense([]), "feature_count must be > 0"),
        (lambda: Joint(result[0], result[1][:2], FEATURES), "baselines length 2 != n_outputs 3"),
    ]
    for body, message in cases:
        with pytest.raises(ValueError) as info:
            body()
        assert str(info.value).startswith(message), message
    with pytest.raises(OverflowError) as info:
        call(max_depth=70000)
    assert info.value.__notes__ == ["while processing 'max_depth'"]
    del given["group_id"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'group_id'"):
        call()


def test_warm_start_keeps_the_neutralization_of_the_prior_fit():
    x, targets, groups = make_data()
    exposures = dict(factor_exposure_values=np.random.default_rng(2).normal(size=ROWS * 2).tolist(),
                     factor_exposure_row_count=ROWS, factor_exposure_factor_count=2)
    plain = train(2, x, targets, groups)
    neutral = train(2, x, targets, groups, neutralization="per_round_gradient", **exposures)

    def resume(prior, **kwargs):
        return train(1, x, targets, groups, init_artifact_bytes=prior[0], init_baselines=prior[1],
                     init_rounds_completed=prior[3], **kwargs)

    # A zero split penalty counts as no neutralization.
    assert resume(plain, neutralization="split_penalty", factor_penalty=0.0, **exposures)[3] == 3
    contract = "warm-start neutralization contract violated: prior fit "
    cases = [
        (dict(neutralization="split_penalty", factor_penalty=0.1, **exposures), plain,
         contract + "was unneutralized but current fit requests neutralization (kind=SplitPenalty)."),
        (dict(neutralization="per_round_gradient", factor_neutralization_lambda=1e-5, **exposures), neutral,
         contract + "used neutralization (kind=PerRoundGradient, ridge_lambda=0.000001, split_penalty=0) but current "
         "fit uses (kind=PerRoundGradient, ridge_lambda=0.00001, split_penalty=0)."),
        ({}, neutral, contract + "used neutralization (kind=PerRoundGradient) but current fit has neutralization="),
    ]
    for kwargs, prior, message in cases:
        with pytest.raises(ValueError) as info:
            resume(prior, **kwargs)
        assert str(info.value).startswith(message)
    with pytest.raises(ValueError, match=r"^init_artifact_bytes decode: "):
        train(1, x, targets, groups, init_artifact_bytes=b"\x01\x02\x03", init_baselines=[0.0, 0.0, 0.0])
