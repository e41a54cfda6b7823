"""Joint multi-output ranker: training from Python, scoring with JointPredictorHandle, warm start."""

import numpy as np
import pytest

import _kestrune
from artifact_builder import DART_TREE_WEIGHTS, Stump, joint_artifact, section_payloads

ROWS, FEATURES = 240, 5
OBJECTIVES = ["rank:ndcg", "queryrmse", "squared_error"]


def make_data(seed=0):
    # Whole-number features are taken as already binned, so the same values score with the handle,
    # which works in bin space; 255 is an ordinary bin there as in training.
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
    return np.array(handle.predict_dense(x.ravel().tolist())).reshape(ROWS, 3)


VARIANTS = {
    "level": {},
    "leaf": dict(tree_growth="leaf", max_leaves=6),
    "dart": dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2),
    "goss_leaf": dict(boosting_mode="goss", goss_top_rate=0.3, goss_other_rate=0.3, tree_growth="leaf",
                      max_leaves=6),
    "morph": dict(morph_config={"morph_warmup_iters": 1}),
    "per_round_gradient": dict(neutralization="per_round_gradient", factor_neutralization_lambda=1e-3),
    "subsampled": dict(row_subsample=0.8, col_subsample=0.8),
    "goss_leaf_subsampled": dict(boosting_mode="goss", goss_top_rate=0.3, goss_other_rate=0.3, tree_growth="leaf",
                                 max_leaves=6, row_subsample=0.8, col_subsample=0.8),
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
    for k in (0, 1):
        agree = total = 0
        for g in range(ROWS // 10):
            rel, score = np.array(targets[k][g * 10:(g + 1) * 10]), predicted[g * 10:(g + 1) * 10, k]
            i, j = np.triu_indices(10, 1)
            keep = rel[i] != rel[j]
            agree += np.sum(np.sign(rel[i] - rel[j])[keep] == np.sign(score[i] - score[j])[keep])
            total += keep.sum()
        assert agree > 0.6 * total


def test_one_round_stump_scores_are_the_side_means_of_the_squared_error_target():
    # With learning rate 1, no regularisation and one split, each side's squared-error value is the
    # Newton step from the baseline (the target mean) to the side's own mean target.
    x, targets, groups = make_data(3)
    result = train(1, x, targets, groups, learning_rate=1.0, lambda_l2=0.0, max_depth=1)
    predicted = scores(result, x)[:, 2]
    y = np.array(targets[2], dtype=np.float64)
    sides = np.unique(predicted)
    assert len(sides) == 2
    for value in sides:
        assert value == pytest.approx(y[predicted == value].mean(), rel=1e-4, abs=1e-4)


@pytest.mark.parametrize("growth", [{}, dict(tree_growth="leaf", max_leaves=5)])
def test_warm_start_continues_bit_for_bit_like_one_longer_fit(growth):
    kwargs = dict(row_subsample=0.9, **growth)
    whole = train(8, **kwargs)
    first = train(5, **kwargs)
    rest = train(3, init_artifact_bytes=first[0], init_baselines=first[1], init_rounds_completed=first[3], **kwargs)
    assert rest[3] == 8
    assert rest[0] == whole[0] and rest[1] == whole[1]


def test_a_resume_without_a_round_count_continues_after_the_priors_trees():
    whole, prior = train(7), train(4)
    rest = train(3, init_artifact_bytes=prior[0], init_baselines=prior[1])
    assert rest[3] == 7 and rest[0] == whole[0]
    # A count that would hand the new trees the prior's tree numbers is refused.
    with pytest.raises(ValueError) as info:
        train(3, init_artifact_bytes=prior[0], init_baselines=prior[1], init_rounds_completed=3)
    assert str(info.value) == "warm-start: init_rounds_completed 3 is smaller than the 4 rounds the init model holds"


# Tree 1 repeats its root before tree 0 repeats anything, and tree 0 repeats local id 2 before 1:
# the lowest tree is named, with its first repeat in stored order.
@pytest.mark.parametrize("keys, message", [
    ([(0, 0), (0, 1), (0, 1)], "tree 0 contains duplicate local node_id 1"),
    ([(1, 0), (1, 0), (0, 0), (0, 2), (0, 1), (0, 2), (0, 1)], "tree 0 contains duplicate local node_id 2"),
], ids=["within_one_tree", "lowest_tree_first_repeat"])
def test_a_joint_artifact_that_repeats_a_node_key_is_refused_on_load_and_as_a_prior(keys, message):
    stumps = [Stump(tree, local, local, 7, 0.5, -0.5) for tree, local in keys]
    artifact = joint_artifact(FEATURES, stumps, [([0.5] * 3, [-0.5] * 3)] * len(stumps))
    with pytest.raises(ValueError) as loading:
        _kestrune.JointPredictorHandle(artifact, [0.0] * 3, FEATURES)
    with pytest.raises(ValueError) as resuming:
        train(1, init_artifact_bytes=artifact, init_baselines=[0.0] * 3)
    assert str(loading.value) == str(resuming.value) == message


def test_bad_inputs_are_refused_with_their_messages():
    x, targets, groups = make_data()
    flat = x.ravel().tolist()
    base = dict(learning_rate=0.3, seed=7, max_depth=3, min_data_in_leaf=5, lambda_l2=1.0, max_bin=255)
    call = _kestrune.train_joint_multi_label_ranker
    cases = [
        (lambda: call(flat, ROWS, FEATURES, targets, 2, OBJECTIVES[:2], groups, 1, **base),
         "targets_per_output length 3 != n_outputs 2"),
        (lambda: call(flat, ROWS, FEATURES, [], 0, [], groups, 1, **base), "n_outputs must be > 0"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, ["rank:NDCG", "queryrmse", "squared_error"], groups, 1,
                      **base),
         'invalid objective "rank:NDCG": joint multi-output trainer does not support objective "rank:NDCG"; '
         "supported: squared_error, queryrmse, rank:pairwise, rank:ndcg, rank:xendcg, poisson, gamma, tweedie, "
         "quantile"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, None, 1, **base),
         "at least one ranking objective requires group_id"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, **{**base, "max_bin": 1}),
         "continuous_binning_max_bins must be in [2, 65535]"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, tree_growth="Leaf", **base),
         "unknown tree_growth \"Leaf\"; expected 'level' or 'leaf'"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, tree_growth="leaf", **base),
         "tree_growth='leaf' requires max_leaves to be set on the joint trainer"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, categorical_feature_indices=[7],
                      max_cat_threshold=10, **base),
         "categorical_feature_indices contains 7 which exceeds feature_count 5"),
        (lambda: call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, init_artifact_bytes=b"xx", **base),
         "init_baselines is required when init_artifact_bytes is provided"),
    ]
    for body, message in cases:
        with pytest.raises(ValueError) as info:
            body()
        assert str(info.value) == message
    with pytest.raises(OverflowError) as info:
        call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, groups, 1, **{**base, "max_depth": 70000})
    assert "while processing 'max_depth'" in info.value.__notes__
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'group_id'"):
        call(flat, ROWS, FEATURES, targets, 3, OBJECTIVES, n_estimators=1, **base)


def test_native_categorical_ids_split_by_category_sets():
    x, targets, groups = make_data(5)
    x[:, 3] = np.arange(ROWS) % 6  # dense ids 0..5
    result = train(4, x, targets, groups, categorical_feature_indices=[3], max_cat_threshold=8)
    assert np.isfinite(scores(result, x)).all()
    x[0, 3] = 2.5
    with pytest.raises(ValueError, match="contains non-integer value 2.5; joint mode requires dense"):
        train(1, x, targets, groups, categorical_feature_indices=[3], max_cat_threshold=8)


def test_handle_checks_its_inputs():
    result = train(2)
    handle = _kestrune.JointPredictorHandle(result[0], result[1], FEATURES)
    assert handle.predict_dense([]) == []
    with pytest.raises(ValueError, match=r"^values length 7 not divisible by feature_count 5$"):
        handle.predict_dense([0.0] * 7)
    with pytest.raises(ValueError, match=r"^feature_count must be > 0$"):
        _kestrune.JointPredictorHandle(result[0], result[1], 0).predict_dense([])
    with pytest.raises(ValueError, match=r"^baselines length 2 != n_outputs 3$"):
        _kestrune.JointPredictorHandle(result[0], result[1][:2], FEATURES)
    with pytest.raises(TypeError):
        _kestrune.JointPredictorHandle(bytearray(result[0]), result[1], FEATURES)
    with pytest.raises(AttributeError):
        handle.n_outputs = 2


def test_signature_lists_44_parameters_of_which_14_are_required():
    import inspect
    parameters = list(inspect.signature(_kestrune.train_joint_multi_label_ranker).parameters.values())
    assert len(parameters) == 44
    assert [p.name for p in parameters if p.default is inspect.Parameter.empty][-1] == "max_bin"
    assert sum(p.default is inspect.Parameter.empty for p in parameters) == 14
    # Callers may pass every required parameter by name.
    assert [p.name for p in parameters[:14]] == [
        "x_values", "row_count", "feature_count", "targets_per_output", "n_outputs", "per_output_objective_names",
        "group_id", "n_estimators", "learning_rate", "seed", "max_depth", "min_data_in_leaf", "lambda_l2", "max_bin"]
    assert _kestrune.train_joint_multi_label_ranker.__doc__.splitlines()[0] == (
        "Train a joint multi-output model that shares trees across K outputs.")
    assert _kestrune.JointPredictorHandle.predict_dense.__text_signature__ == "($self, values)"


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
    cases = [
        (dict(neutralization="split_penalty", factor_penalty=0.1, **exposures), plain,
         "warm-start neutralization contract violated: prior fit was unneutralized but current fit requests "
         "neutralization (kind=SplitPenalty). Resuming raw-gradient trees in a residual space would silently "
         "mis-train. Either fit the prior model with the same neutralization, or fit fresh without warm_start=True."),
        (dict(neutralization="per_round_gradient", factor_neutralization_lambda=1e-5, **exposures), neutral,
         "warm-start neutralization contract violated: prior fit used neutralization (kind=PerRoundGradient, "
         "ridge_lambda=0.000001, split_penalty=0) but current fit uses (kind=PerRoundGradient, "
         "ridge_lambda=0.00001, split_penalty=0). The prior trees were trained in a different residual / "
         "split-penalty space; resuming under a different config would produce inconsistent gradients. Use the "
         "same neutralization parameters for both fits, or fit fresh without warm_start=True."),
        ({}, neutral,
         "warm-start neutralization contract violated: prior fit used neutralization (kind=PerRoundGradient) but "
         "current fit has neutralization='none'. Resuming an in-residual model in raw gradient space would "
         "silently mis-train. Pass the same neutralization config to the resume fit, or fit fresh without "
         "warm_start=True."),
    ]
    for kwargs, prior, message in cases:
        with pytest.raises(ValueError) as info:
            resume(prior, **kwargs)
        assert str(info.value) == message
    with pytest.raises(ValueError, match=r"^init_artifact_bytes decode: "):
        train(1, x, targets, groups, init_artifact_bytes=b"\x01\x02\x03", init_baselines=[0.0, 0.0, 0.0])


def test_a_dart_resume_counted_past_the_priors_rounds_drops_and_weighs_only_its_trees():
    # Every tree is dropped each round, so the draws do not depend on the round number: tree
    # numbers left unused between the prior's trees and the new one must change nothing.
    dart = dict(boosting_mode="dart", dart_drop_rate=0.999, dart_max_drop=1000)
    x, targets, groups = make_data()
    prior = train(4, **dart)
    resumed = [train(1, init_artifact_bytes=prior[0], init_baselines=prior[1], init_rounds_completed=count, **dart)
               for count in (4, 10, 40)]
    assert [r[3] for r in resumed] == [5, 11, 41]
    for other in resumed[1:]:
        # Every tree, the new one included, weighs what it does in the resume that leaves no gap.
        weights = section_payloads(other[0])[DART_TREE_WEIGHTS]
        assert weights == section_payloads(resumed[0][0])[DART_TREE_WEIGHTS]
        np.testing.assert_array_equal(scores(other, x), scores(resumed[0], x))


@pytest.mark.parametrize("settings", [{}, dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2),
                                      dict(morph_config={"morph_warmup_iters": 1})], ids=["standard", "dart", "morph"])
def test_a_round_count_beyond_the_4096_tree_numbers_is_refused_before_anything_is_sized(settings):
    prior = train(2)
    warm = dict(init_artifact_bytes=prior[0], init_baselines=prior[1])
    for count, rounds in [(4094, 3), (2**28, 1), (2**32 - 2, 1), (2**64 - 1, 1), (None, 4097)]:
        resume = {} if count is None else dict(warm, init_rounds_completed=count)
        with pytest.raises(ValueError) as info:
            train(rounds, **resume, **settings)
        assert str(info.value) == (f"init_rounds_completed {count or 0} + n_estimators {rounds} exceeds the 4096 "
                                   "trees a joint model can number")
    # The last tree number is still open, and a count of 4096 may still resume for no round.
    assert train(2, **warm, init_rounds_completed=4094, **settings)[3] == 4096
    assert train(0, **warm, init_rounds_completed=4096, **settings)[3] == 4096
