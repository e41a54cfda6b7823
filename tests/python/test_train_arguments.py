"""train_regression_artifact_with_summary: conversion kinds, option parsing and the checks made
before any tree is grown. Binding and signatures are tested for every training function in
test_train_variants."""

import math

import numpy as np
import pytest

import _kestrune

train = _kestrune.train_regression_artifact_with_summary
ROWS = [[float(i), float(i % 3)] for i in range(12)]
TARGETS = [float(i) for i in range(12)]
REQUIRED = dict(rows=ROWS, targets=TARGETS, learning_rate=0.1, max_depth=3, row_subsample=1.0,
                col_subsample=1.0, min_validation_improvement=0.0, seed=7, deterministic=True)
# rounds=0 is refused right after conversion: a call that fails with this message converted
# every argument it was given.
CONVERTED = "rounds must be greater than 0"


def call(**overrides):
    return train(**{**REQUIRED, **overrides})


def failure(exc_type, **overrides):
    with pytest.raises(exc_type) as info:
        call(**overrides)
    return info.value


def assert_failure(exc_type, message, note=None, **overrides):
    error = failure(exc_type, **overrides)
    assert str(error) == message
    assert getattr(error, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize(
    "name, value, exc_type, message",
    [
        # None is no value for a parameter whose default is not None.
        ("min_data_in_leaf", None, TypeError, None),
        ("objective", None, TypeError, "'None' is not an instance of 'str'"),
        ("monotone_constraints", None, TypeError, "'None' is not an instance of 'Sequence'"),
        ("max_depth", 70000, OverflowError, "out of range integral type conversion attempted"),
        ("max_depth", 3.0, TypeError, None),
        ("seed", -1, OverflowError, None),
        ("deterministic", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("rows", ["ab", "cd"], TypeError, "Can't extract `str` to `Vec`"),
        ("monotone_constraints", [1, 200], OverflowError, "out of range integral type conversion attempted"),
        ("interaction_constraints", [[1], "a"], TypeError, "Can't extract `str` to `Vec`"),
        ("morph_config", [], TypeError, "'list' object is not an instance of 'dict'"),
        ("init_artifact_bytes", [1, 256], OverflowError, "out of range integral type conversion attempted"),
        ("group_id", [-1] * 12, OverflowError, "out of range integral type conversion attempted"),
        ("categorical_feature_values_list", [[1]], TypeError, "'int' object is not an instance of 'str'"),
    ],
)
def test_conversion_errors_name_the_parameter(name, value, exc_type, message):
    error = failure(exc_type, **{name: value})
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    "overrides",
    [
        dict(max_depth=True, deterministic=np.bool_(False)),
        dict(rows=np.asarray(ROWS, dtype=np.float32), targets=np.asarray(TARGETS)),
        dict(learning_rate=1e40, seed=2**64 - 1),
        dict(custom_objective_fn=1, custom_metric_fn=1),  # callables are checked when called
        dict(init_artifact_bytes=bytearray(b"KSTR")),
        dict(init_artifact_bytes=[75, 83, 84, 82]),
        dict(morph_config=type("SubDict", (dict,), {})()),
        dict(early_stopping_rounds=None, max_leaves=None, init_artifact_bytes=None, goss_top_rate=None),
        dict(validation_rows=np.zeros((2, 2)), validation_time_index=range(2)),
    ],
)
def test_accepted_values_pass_conversion(overrides):
    assert_failure(ValueError, CONVERTED, **overrides, rounds=0)


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(rounds=0, training_policy="bogus"), CONVERTED),
        (dict(training_policy="auto ", tree_growth="x"),
         "training_policy must be 'auto' or 'manual', received 'auto '"),
        (dict(continuous_binning_strategy="Linear", tree_growth="x"),
         "continuous_binning_strategy must be one of: linear, quantile, rank; received 'Linear'"),
        (dict(tree_growth="Level"), "tree_growth must be 'level' or 'leaf', received 'Level'"),
        (dict(leaf_model="Linear"), "leaf_model must be 'constant' or 'linear', got 'Linear'"),
        (dict(leaf_solver="DRO"), "leaf_solver must be 'standard' or 'dro', got 'DRO'"),
        (dict(dro_radius=-1.0, dro_metric="l2"), "dro_radius must be finite and >= 0"),
        (dict(dro_radius=math.nan), "dro_radius must be finite and >= 0"),
        (dict(dro_metric="l2"), "dro_metric must be 'wasserstein', got 'l2'"),
        (dict(neutralization="full"),
         "neutralization must be 'none', 'pre_target', 'per_round_gradient', or 'split_penalty', got 'full'"),
        (dict(factor_neutralization_lambda=math.nan), "factor_neutralization_lambda must be finite and >= 0"),
        (dict(factor_penalty=math.inf), "factor_penalty must be finite and >= 0"),
        (dict(neutralization="per_round_gradient", factor_penalty=0.5),
         "factor_penalty is only valid with neutralization='split_penalty'"),
        (dict(neutralization="split_penalty", leaf_model="linear"),
         "neutralization='split_penalty' requires leaf_model='constant'"),
        (dict(factor_exposure_values=[0.0] * 12, factor_exposure_row_count=12),
         "factor_exposure_values, factor_exposure_row_count, and factor_exposure_factor_count must be provided "
         "together"),
        (dict(factor_exposure_values=[0.0] * 11, factor_exposure_row_count=12, factor_exposure_factor_count=1),
         "validation error: factor_exposures values length 11 does not match row_count * factor_count 12"),
        (dict(boosting_mode="goss", goss_other_rate=0.1), "boosting_mode='goss' requires goss_top_rate"),
        (dict(boosting_mode="GOSS"), 'boosting_mode must be \'standard\', \'goss\', or \'dart\', got "GOSS"'),
        (dict(boosting_mode="dart", dart_drop_rate=0.1), "boosting_mode='dart' requires dart_max_drop"),
        (dict(boosting_mode="dart", dart_drop_rate=0.1, dart_max_drop=2, dart_normalize_type="Tree"),
         'dart_normalize_type must be \'tree\' or \'forest\', got "Tree"'),
        (dict(boosting_mode="dart", dart_drop_rate=0.1, dart_max_drop=2, dart_sample_type="Weighted"),
         'dart_sample_type must be \'uniform\' or \'weighted\', got "Weighted"'),
        (dict(morph_config={"lr_warmup_frac": None}), 'lr_warmup_frac requires lr_schedule="warmup_cosine"'),
        (dict(morph_config={"lr_schedule": "constant", "lr_warmup_frac": 0.2}),
         'lr_warmup_frac has no effect when lr_schedule="constant"'),
        (dict(morph_config={"lr_schedule": 'cos"ine'}),
         'unknown lr_schedule: "cos\\"ine" (expected "constant" or "warmup_cosine")'),
    ],
)
def test_option_checks_in_their_fixed_order(overrides, message):
    assert_failure(ValueError, message, **overrides)


@pytest.mark.parametrize(
    "morph_config, exc_type",
    [
        ({"morph_rate": None}, TypeError),
        ({"morph_warmup_iters": -1}, OverflowError),
        ({"lr_schedule": 3}, TypeError),
    ],
)
def test_morph_config_values_keep_their_conversion_errors(morph_config, exc_type):
    error = failure(exc_type, morph_config=morph_config)
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize(
    "overrides",
    [
        dict(leaf_solver="dro", dro_radius=-0.0),
        dict(factor_neutralization_lambda=0.0, factor_penalty=0.0),
        dict(boosting_mode="standard", goss_top_rate=5.0, dart_normalize_type="nonsense"),
        dict(morph_config={"morph_rate": 5.0, "unknown": object()}),
        dict(morph_config={"lr_schedule": "warmup_cosine"}),
    ],
)
def test_accepted_options_reach_the_trainer(overrides):
    # learning_rate 0 is refused by the trainer's parameter validation, after every option check.
    error = failure(RuntimeError, learning_rate=0.0, **overrides)
    assert str(error) == "invalid config: learning_rate must be in (0.0, 1.0]"


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(rows=[[]] * 12), "rows must include at least one feature"),
        (dict(validation_rows=[]), "rows cannot be empty"),
        (dict(validation_rows=[[1.0, 2.0, 3.0]]), "validation feature_count must match training feature_count"),
        (dict(rows=[], categorical_feature_index=0),
         "categorical_feature_values must be provided when categorical_feature_index is set"),
        (dict(categorical_feature_values=["a"] * 12),
         "categorical_feature_index must be provided when categorical_feature_values is set"),
        (dict(categorical_feature_values_list=[["a"] * 12]),
         "categorical_feature_indices must be provided when categorical_feature_values_list is set"),
        (dict(categorical_feature_indices=[0]),
         "categorical_feature_values_list must be provided when categorical_feature_indices is set"),
        (dict(categorical_feature_indices=[1, 1], categorical_feature_values_list=[["a"] * 12]),
         "categorical_feature_indices length 2 does not match categorical_feature_values_list length 1"),
        (dict(categorical_feature_indices=[1, 1], categorical_feature_values_list=[["a"] * 12] * 2),
         "duplicate categorical_feature_index: 1"),
        (dict(categorical_feature_indices=[1, 0], categorical_feature_values_list=[["a"] * 12, ["a"] * 3]),
         "categorical_feature_values for feature 0 has length 3 but row_count is 12"),
        (dict(categorical_feature_indices=[2], categorical_feature_values_list=[["a"] * 12]),
         "categorical feature index 2 is out of bounds for feature_count 2"),
        (dict(continuous_binning_max_bins=1), "continuous_binning_max_bins must be in [2, 65535]"),
    ],
)
def test_input_shape_errors(overrides, message):
    assert_failure(ValueError, message, **overrides)


def test_categorical_list_form_ignores_the_single_column_arguments():
    # Two empty lists choose the list form and resolve to no column at all.
    assert_failure(ValueError, CONVERTED, rounds=0, categorical_feature_indices=[],
                   categorical_feature_values_list=[], categorical_feature_index=5)
    assert_failure(ValueError, "training_policy must be 'auto' or 'manual', received 'x'", training_policy="x",
                   categorical_feature_indices=[], categorical_feature_values_list=[],
                   categorical_feature_index=5)


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(categorical_feature_index=1, categorical_feature_values=["a", "b"] * 6),
         "categorical target encoding is not implemented yet (categorical feature 1)"),
        (dict(categorical_feature_indices=[1, 0], categorical_feature_values_list=[["a", "b"] * 6, ["c"] * 12],
              max_cat_threshold=2),
         "categorical target encoding is not implemented yet (categorical feature 0)"),
        (dict(categorical_feature_indices=[1], categorical_feature_values_list=[["a", "b", "c"] * 4],
              max_cat_threshold=3),
         "native categorical splits are not implemented yet (categorical feature 1)"),
        (dict(neutralization="pre_target"), "neutralization='pre_target' is not implemented yet"),
    ],
)
def test_features_of_later_releases_are_refused_not_ignored(overrides, message):
    assert_failure(RuntimeError, message, **overrides)


def test_native_category_count_must_leave_the_missing_bin_free():
    values = [f"c{i:03d}" for i in range(256)]
    rows = [[float(i), 0.0] for i in range(256)]
    targets = [0.0] * 256
    assert_failure(ValueError,
                   "Native categorical feature 1 has 256 categories which would collide with the missing-value "
                   "sentinel (bin 255). Reduce max_cat_threshold or increase continuous_binning_max_bins.",
                   rows=rows, targets=targets, categorical_feature_indices=[1],
                   categorical_feature_values_list=[values], max_cat_threshold=300)


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(validation_rows=ROWS), "validation rows, targets, and row_count must be provided together"),
        (dict(validation_rows=ROWS, validation_targets=TARGETS[:5]), "rows length 12 does not match targets length 5"),
        (dict(validation_rows=ROWS, validation_targets=TARGETS, validation_sample_weights=[1.0]),
         "validation_sample_weights length 1 does not match validation row_count 12"),
        (dict(validation_rows=ROWS, validation_targets=TARGETS, validation_group_id=[0] * 13),
         "validation_group_id length 13 does not match validation row_count 12"),
        (dict(validation_rows=ROWS, validation_targets=TARGETS, validation_time_index=[0]),
         "validation_time_index length 1 does not match validation row_count 12"),
        (dict(neutralization="pre_target", objective="poisson"),
         "neutralization='pre_target' is only supported for GBMRegressor squared-error training"),
        (dict(neutralization="pre_target", validation_rows=ROWS, validation_targets=TARGETS),
         "neutralization='pre_target' does not support validation targets in this release because validation "
         "factor_exposures are not accepted"),
        (dict(objective="Squared_error"),
         "unknown objective 'Squared_error', expected one of: squared_error, binary_crossentropy, "
         "multiclass_softmax, custom, queryrmse, rank_pairwise, rank_ndcg, rank_xendcg, yetirank, poisson, "
         "gamma, tweedie"),
        (dict(objective="rank_ndcg"), "objective 'rank_ndcg' requires group_id to be provided"),
        (dict(objective="custom"), "objective 'custom' requires a custom_objective_fn to be provided"),
        (dict(objective="multiclass_softmax"), "multiclass_softmax objective requires num_classes to be specified"),
        (dict(objective="multiclass_softmax", num_classes=1), "multiclass_softmax requires num_classes >= 2, got 1"),
        (dict(objective="tweedie", tweedie_variance_power=2.0),
         "Tweedie variance_power must satisfy 1 < p < 2 (got 2); use PoissonObjective for p=1 and GammaObjective "
         "for p=2"),
    ],
)
def test_pipeline_checks(overrides, message):
    assert_failure(ValueError, message, **overrides)


def test_warm_start_bytes_are_decoded_before_training():
    error = failure(RuntimeError, init_artifact_bytes=b"KSTR")
    assert str(error).startswith("serialization error: ")
