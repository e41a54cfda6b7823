"""Joint ranker inputs that must be refused before training, and the joint model without trees."""

import numpy as np
import pytest

import _kestrune

ROWS = 100
X = np.random.default_rng(0).integers(0, 16, (ROWS, 3)).astype(np.float32)
FLAT = X.ravel().tolist()
TARGET = (X[:, 0] / 4 + 1).tolist()
JOINT = dict(learning_rate=0.3, seed=1, max_depth=3, min_data_in_leaf=5, lambda_l2=1.0, max_bin=255)
SINGLE = dict(learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0, min_validation_improvement=0.0,
              seed=1, deterministic=True, rounds=2)


def joint(k=2, objectives=None, rows=ROWS, **kwargs):
    names = objectives or ["squared_error"] * k
    return _kestrune.train_joint_multi_label_ranker(
        FLAT[:rows * 3], rows, 3, [TARGET[:rows]] * len(names), len(names), names, None, 2, **{**JOINT, **kwargs})


def single(**kwargs):
    return _kestrune.train_regression_artifact_dense(FLAT, ROWS, 3, TARGET, **{**SINGLE, **kwargs})


NAN, INF = float("nan"), float("inf")
DART = dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2)
# (setting, whether the single-output trainers take it too, exception, message). The objective of
# a per-objective setting is the second joint output's and the single-output fit's.
BAD_SETTINGS = [
    (dict(learning_rate=NAN), True, RuntimeError, "invalid config: learning_rate must be in (0.0, 1.0]"),
    (dict(learning_rate=INF), True, RuntimeError, "invalid config: learning_rate must be in (0.0, 1.0]"),
    (dict(lambda_l2=-1.0), False, RuntimeError, "invalid config: lambda_l2 must be finite and >= 0"),
    (dict(max_leaves=0), False, RuntimeError,
     "invalid config: max_leaves must be >= 2 when set (a tree needs at least 2 leaves)"),
    (dict(min_split_gain=NAN), False, ValueError, "min_split_gain must be finite and >= 0"),
    (dict(row_subsample=0.0), True, RuntimeError, "invalid config: row_subsample must be in (0.0, 1.0]"),
    (dict(col_subsample=1.5), True, RuntimeError, "invalid config: col_subsample must be in (0.0, 1.0]"),
    ({**DART, "dart_drop_rate": NAN}, True, RuntimeError,
     "invalid config: boosting_mode='dart' requires dart_drop_rate in (0, 1), got NaN"),
    ({**DART, "dart_max_drop": 0}, True, RuntimeError, "invalid config: boosting_mode='dart' requires dart_max_drop >= 1"),
    (dict(boosting_mode="goss", goss_top_rate=0.0, goss_other_rate=0.5), True, RuntimeError,
     "invalid config: boosting_mode='goss' requires goss_top_rate in (0, 1), got 0"),
    (dict(morph_config={"morph_rate": 2.0}), True, RuntimeError,
     "invalid config: morph_config.morph_rate must be in [0, 1], got 2"),
    (dict(morph_config={"depth_penalty_base": 0.0}), True, RuntimeError,
     "invalid config: morph_config.depth_penalty_base must be in (0, 1], got 0"),
    (dict(objective="quantile", quantile_alpha=2.0), True, ValueError, "quantile_alpha must be finite and in (0.0, 1.0)"),
    (dict(objective="quantile", quantile_alpha=NAN), True, ValueError, "quantile_alpha must be finite and in (0.0, 1.0)"),
    (dict(objective="tweedie", tweedie_variance_power=3.0), True, ValueError,
     "Tweedie variance_power must satisfy 1 < p < 2 (got 3); use PoissonObjective for p=1 and GammaObjective for p=2"),
]


@pytest.mark.parametrize("setting, shared, exc_type, message", BAD_SETTINGS)
def test_settings_a_single_output_fit_refuses_are_refused_alike(setting, shared, exc_type, message):
    setting = dict(setting)
    objective = setting.pop("objective", None)
    objectives = ["squared_error", objective] if objective else None
    with pytest.raises(exc_type) as info:
        joint(objectives=objectives, **setting)
    assert str(info.value) == message
    # Warm starts are checked the same way, before the prior model is replayed.
    prior = joint(objectives=objectives)
    with pytest.raises(exc_type):
        joint(objectives=objectives, init_artifact_bytes=prior[0], init_baselines=prior[1], **setting)
    if shared:
        with pytest.raises(exc_type) as info:
            single(**setting, **({"objective": objective} if objective else {}))
        assert str(info.value) == message


def test_settings_the_joint_builders_give_a_meaning_still_train():
    # Depth 0 and minimum rows 0 act as 1; an unused quantile level is not read (as in a
    # squared-error single-output fit); the bounds of the unit rates are accepted.
    for setting in (dict(max_depth=0), dict(min_data_in_leaf=0), dict(quantile_alpha=2.0),
                    dict(learning_rate=1.0, row_subsample=1.0, col_subsample=1.0, max_leaves=2)):
        assert joint(**setting)[3] == 2
    assert isinstance(single(quantile_alpha=2.0), bytes)


def test_a_warm_start_from_a_model_of_another_output_count_is_refused():
    two = joint(2)[0]
    one_output = single()
    treeless = joint(3, rows=2)[0]  # its output count is in its objective text alone
    cases = [
        (two, 5, "warm-start: the init model has 2 outputs but n_outputs is 5"),
        (two, 1, "warm-start: the init model has 2 outputs but n_outputs is 1"),
        (treeless, 2, "warm-start: the init model has 3 outputs but n_outputs is 2"),
        (one_output, 1, "warm-start: the init model is a single-output model (1 output, no multi-output leaf values) "
                        "but n_outputs is 1"),
        (one_output, 2, "warm-start: the init model is a single-output model (1 output, no multi-output leaf values) "
                        "but n_outputs is 2"),
    ]
    for artifact, k, message in cases:
        with pytest.raises(ValueError) as info:
            joint(k, init_artifact_bytes=artifact, init_baselines=[0.0] * k)
        assert str(info.value) == message
    assert joint(3, init_artifact_bytes=treeless, init_baselines=[0.0] * 3)[3] == 2


@pytest.mark.parametrize("position, baseline, shown", [(1, NAN, "NaN"), (0, INF, "inf"), (1, -INF, "-inf")])
def test_non_finite_init_baselines_are_refused_before_any_round(position, baseline, shown):
    prior, baselines, _, _ = joint(2)
    baselines[position] = baseline
    with pytest.raises(ValueError) as info:
        joint(2, init_artifact_bytes=prior, init_baselines=baselines)
    assert str(info.value) == f"init_baselines[{position}] must be finite, got {shown}"


@pytest.mark.parametrize("rows", [1, 2])
def test_a_joint_model_without_trees_scores_its_baselines(rows):
    artifact, baselines, features, rounds = joint(3, rows=rows)
    assert rounds == 0
    handle = _kestrune.JointPredictorHandle(artifact, baselines, features)
    assert handle.n_outputs == 3
    assert handle.predict_dense(FLAT[:12]) == baselines * 4
    with pytest.raises(ValueError, match=r"^baselines length 2 != n_outputs 3$"):
        _kestrune.JointPredictorHandle(artifact, baselines[:2], features)
    # A single-output model is still no joint model.
    with pytest.raises(ValueError, match="^artifact does not carry MultiOutputLeafValues$"):
        _kestrune.JointPredictorHandle(single(), [0.0], 3)
