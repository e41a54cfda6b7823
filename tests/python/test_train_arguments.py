"""The five training functions: train_regression_artifact_with_summary, its flat-list and
float32-bytes twins and the two artifact-only functions. One table describes how each takes its
features; signatures, binding, conversion, option parsing and the checks made before any tree is
grown are tested through it."""

import inspect
import math
import struct
from typing import Callable, NamedTuple

import numpy as np
import pytest

import _kestrune

# The master parameter list with each parameter's signature entry.
MASTER = (
    "rows, targets, learning_rate, max_depth, row_subsample, col_subsample, min_validation_improvement, seed, "
    "deterministic, rounds=..., early_stopping_rounds=None, min_data_in_leaf=1, lambda_l1=0.0, lambda_l2=0.0, "
    "min_child_hessian=0.0, sample_weights=None, group_id=None, min_split_gain=0.0, validation_rows=None, "
    "validation_targets=None, validation_sample_weights=None, validation_group_id=None, "
    "validation_time_index=None, categorical_feature_index=None, categorical_feature_values=None, "
    "validation_categorical_feature_values=None, training_policy=\"auto\", store_node_stats=False, "
    "categorical_smoothing=20.0, categorical_min_samples_leaf=1, categorical_time_aware=False, time_index=None, "
    "continuous_binning_strategy=\"linear\", continuous_binning_max_bins=255, objective=\"squared_error\", "
    "monotone_constraints=..., feature_weights=..., interaction_constraints=..., max_leaves=None, "
    "tree_growth=\"level\", categorical_feature_indices=None, categorical_feature_values_list=None, "
    "validation_categorical_feature_values_list=None, init_artifact_bytes=None, num_classes=None, "
    "custom_objective_fn=None, custom_loss_fn=None, custom_metric_fn=None, max_cat_threshold=0, "
    "morph_config=None, leaf_model=\"constant\", leaf_solver=\"standard\", dro_radius=0.05, "
    "dro_metric=\"wasserstein\", neutralization=\"none\", factor_neutralization_lambda=1e-6, factor_penalty=0.0, "
    "factor_exposure_values=None, factor_exposure_row_count=None, factor_exposure_factor_count=None, "
    "boosting_mode=\"standard\", goss_top_rate=None, goss_other_rate=None, dart_drop_rate=None, "
    "dart_max_drop=None, dart_normalize_type=None, dart_sample_type=None, tweedie_variance_power=None, "
    "quantile_alpha=None"
).split(", ")
assert len(MASTER) == 69


def replace(entries, old, new):
    at = entries.index(old)
    return entries[:at] + new + entries[at + 1:]


DENSE_SUMMARY = replace(replace(MASTER, "rows", ["values", "row_count", "feature_count"]), "validation_rows=None",
                        ["validation_values=None", "validation_row_count=None"])
BYTES_SUMMARY = [{"values": "values_bytes", "targets": "targets_bytes", "validation_values=None":
                  "validation_values_bytes=None", "validation_targets=None": "validation_targets_bytes=None"}
                 .get(entry, entry) for entry in DENSE_SUMMARY]
ARTIFACT = MASTER[0:11] + MASTER[23:25] + MASTER[26:35] + MASTER[49:69]
ARTIFACT_DENSE = replace(ARTIFACT, "rows", ["values", "row_count", "feature_count"])


def name_of(entry):
    return entry.split("=")[0]


def f32_bytes(values):
    return struct.pack(f"<{len(values)}f", *values)


def feed_rows(rows, targets, prefix=""):
    return {f"{prefix}rows": rows, f"{prefix}targets": targets}


def feed_flat(rows, targets, prefix=""):
    count = {"": ["row_count", "feature_count"], "validation_": ["validation_row_count"]}[prefix]
    shape = dict(zip(count, [len(rows), len(rows[0]) if rows else 0]))
    return {f"{prefix}values": [v for row in rows for v in row], **shape, f"{prefix}targets": targets}


def feed_bytes(rows, targets, prefix=""):
    flat = feed_flat(rows, targets, prefix)
    flat[f"{prefix}values_bytes"] = f32_bytes(flat.pop(f"{prefix}values"))
    flat[f"{prefix}targets_bytes"] = f32_bytes(flat.pop(f"{prefix}targets"))
    return flat


class Variant(NamedTuple):
    name: str
    entries: list
    feed: Callable
    summary: bool

    @property
    def function(self):
        return getattr(_kestrune, self.name)

    @property
    def required(self):
        return [e for e in self.entries if "=" not in e]

    @property
    def names(self):
        return [name_of(e) for e in self.entries]


VARIANTS = [
    Variant("train_regression_artifact", ARTIFACT, feed_rows, False),
    Variant("train_regression_artifact_dense", ARTIFACT_DENSE, feed_flat, False),
    Variant("train_regression_artifact_with_summary", MASTER, feed_rows, True),
    Variant("train_regression_artifact_dense_with_summary", DENSE_SUMMARY, feed_flat, True),
    Variant("train_regression_artifact_dense_with_summary_bytes", BYTES_SUMMARY, feed_bytes, True),
]
NEW_VARIANTS = [v for v in VARIANTS if v.name != "train_regression_artifact_with_summary"]
SUMMARY = VARIANTS[2]
FLAT_VARIANTS = [v for v in VARIANTS if v.feed is not feed_rows]


def variant_ids(variants):
    return [v.name.replace("train_regression_artifact", "t") for v in variants]


ROWS = [[float(i), float(i % 3)] for i in range(12)]
TARGETS = [float(i) for i in range(12)]
SETTINGS = dict(learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0, min_validation_improvement=0.0,
                seed=7, deterministic=True)
ROUNDS_ERROR = "rounds must be greater than 0"


def call(variant, data=(ROWS, TARGETS), **overrides):
    return variant.function(**{**variant.feed(*data), **SETTINGS, **overrides})


def failure(variant, exc_type, **overrides):
    with pytest.raises(exc_type) as info:
        call(variant, **overrides)
    return info.value


def outcome(variant, **overrides):
    """The artifact a call returns, or the type and text of what it raises."""
    try:
        result = call(variant, **overrides)
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return type(error), str(error)
    return result.artifact_bytes if variant.summary else result


def assert_failure(exc_type, message, **overrides):
    """The master function refuses the call with `message` and no parameter note."""
    error = failure(SUMMARY, exc_type, **overrides)
    assert str(error) == message
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_text_signature_defaults_and_doc(variant):
    function = variant.function
    assert function.__text_signature__ == "(" + ", ".join(variant.entries) + ")"
    assert function.__doc__ is None
    parameters = list(inspect.signature(function).parameters.values())
    assert [p.name for p in parameters] == variant.names
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert [p.name for p in parameters if p.default is inspect.Parameter.empty] == variant.required


@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_binding_errors(variant):
    function, required, total = variant.function, variant.required, len(variant.entries)
    display = f"{variant.name}()"
    with pytest.raises(TypeError) as info:
        function()
    quoted = [f"'{name}'" for name in required]
    assert str(info.value) == (f"{display} missing {len(required)} required positional arguments: "
                               + ", ".join(quoted[:-1]) + ", and " + quoted[-1])
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(TypeError) as info:
        function(*([0] * (total + 1)))
    assert str(info.value) == (f"{display} takes from {len(required)} to {total} positional arguments but "
                               f"{total + 1} were given")
    kwargs = {**variant.feed(ROWS, TARGETS), **SETTINGS}
    del kwargs[required[2]]
    with pytest.raises(TypeError, match=rf"^{display[:-2]}\(\) missing 1 required positional argument: "
                                        rf"'{required[2]}'$"):
        function(**kwargs)
    with pytest.raises(TypeError, match=rf"got multiple values for argument '{required[0]}'$"):
        function(kwargs[required[0]], **kwargs)
    # Names compare exactly, and a parameter of another variant is no parameter of this one.
    for name in ("Rounds", "validation_values" if variant.feed is feed_rows else "rows"):
        with pytest.raises(TypeError) as info:
            function(**kwargs, **{name: None})
        assert str(info.value) == f"{display} got an unexpected keyword argument '{name}'"


BYTES_VARIANT = VARIANTS[4]


@pytest.mark.parametrize(
    "variant, name, value, exc_type, message",
    [
        (VARIANTS[1], "values", "abc", TypeError, "Can't extract `str` to `Vec`"),
        (VARIANTS[3], "values", {1.0, 2.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (VARIANTS[1], "row_count", -1, OverflowError, None),
        (VARIANTS[3], "validation_row_count", 2.0, TypeError, None),
        (BYTES_VARIANT, "values_bytes", bytearray(8), TypeError, "'bytearray' object is not an instance of 'bytes'"),
        (BYTES_VARIANT, "targets_bytes", None, TypeError, "'None' is not an instance of 'bytes'"),
        (BYTES_VARIANT, "validation_targets_bytes", "abcd", TypeError, "'str' object is not an instance of 'bytes'"),
        (VARIANTS[0], "rounds", None, TypeError, None),
        # None is no value for a parameter whose default is not None.
        (SUMMARY, "min_data_in_leaf", None, TypeError, None),
        (SUMMARY, "objective", None, TypeError, "'None' is not an instance of 'str'"),
        (SUMMARY, "monotone_constraints", None, TypeError, "'None' is not an instance of 'Sequence'"),
        (SUMMARY, "max_depth", 70000, OverflowError, "out of range integral type conversion attempted"),
        (SUMMARY, "max_depth", 3.0, TypeError, None),
        (SUMMARY, "seed", -1, OverflowError, None),
        (SUMMARY, "deterministic", 1, TypeError, "'int' object is not an instance of 'bool'"),
        (SUMMARY, "rows", ["ab", "cd"], TypeError, "Can't extract `str` to `Vec`"),
        (SUMMARY, "monotone_constraints", [1, 200], OverflowError, "out of range integral type conversion attempted"),
        (SUMMARY, "interaction_constraints", [[1], "a"], TypeError, "Can't extract `str` to `Vec`"),
        (SUMMARY, "morph_config", [], TypeError, "'list' object is not an instance of 'dict'"),
        (SUMMARY, "init_artifact_bytes", [1, 256], OverflowError, "out of range integral type conversion attempted"),
        (SUMMARY, "group_id", [-1] * 12, OverflowError, "out of range integral type conversion attempted"),
        (SUMMARY, "categorical_feature_values_list", [[1]], TypeError, "'int' object is not an instance of 'str'"),
    ],
)
def test_conversion_errors_name_the_parameter(variant, name, value, exc_type, message):
    error = failure(variant, exc_type, **{name: value})
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_conversion_errors_come_in_signature_order_before_any_value_error(variant):
    first = variant.required[0]
    error = failure(variant, TypeError, **{first: 5, "quantile_alpha": "x"})
    assert error.__notes__ == [f"while processing '{first}'"]
    error = failure(variant, TypeError, rounds=0, quantile_alpha="x")
    assert error.__notes__ == ["while processing 'quantile_alpha'"]


@pytest.mark.parametrize(
    "variant, overrides",
    [
        (VARIANTS[1], dict(values=tuple(float(v) for v in range(24)), row_count=True)),
        (VARIANTS[1], dict(values=range(24), feature_count=np.int64(2))),
        (VARIANTS[3], dict(values=np.arange(24, dtype=np.float64), validation_values=None, validation_row_count=None)),
        (VARIANTS[4], dict(values_bytes=type("Raw", (bytes,), {})(f32_bytes([0.0] * 24)),
                           validation_values_bytes=None, validation_targets_bytes=None)),
        (VARIANTS[0], dict(rows=[[1.0, 2.0], [3.0]], morph_config={})),
        (SUMMARY, dict(max_depth=True, deterministic=np.bool_(False))),
        (SUMMARY, dict(rows=np.asarray(ROWS, dtype=np.float32), targets=np.asarray(TARGETS))),
        (SUMMARY, dict(learning_rate=1e40, seed=2**64 - 1)),
        (SUMMARY, dict(custom_objective_fn=1, custom_metric_fn=1)),  # callables are checked when called
        (SUMMARY, dict(init_artifact_bytes=bytearray(b"KSTR"))),
        (SUMMARY, dict(init_artifact_bytes=[75, 83, 84, 82])),
        (SUMMARY, dict(morph_config=type("SubDict", (dict,), {})())),
        (SUMMARY, dict(early_stopping_rounds=None, max_leaves=None, init_artifact_bytes=None, goss_top_rate=None)),
        (SUMMARY, dict(validation_rows=np.zeros((2, 2)), validation_time_index=range(2))),
    ],
)
def test_accepted_values_pass_conversion(variant, overrides):
    error = failure(variant, ValueError, rounds=0, **overrides)
    assert str(error) == ROUNDS_ERROR


# Pairs of faults: the artifact-only assembly looks at morph_config, the leaf settings and the
# factor exposures before rounds, training_policy and the binning strategy; the summary assembly
# starts with rounds, training_policy, the binning strategy and tree_growth.
@pytest.mark.parametrize(
    "overrides, artifact_message, summary_message",
    [
        (dict(rounds=0, leaf_model="Linear"), "leaf_model must be 'constant' or 'linear', got 'Linear'",
         ROUNDS_ERROR),
        (dict(rounds=0, morph_config={"lr_schedule": "cosine"}),
         'unknown lr_schedule: "cosine" (expected "constant" or "warmup_cosine")', ROUNDS_ERROR),
        (dict(rounds=0, dro_metric="l2"), "dro_metric must be 'wasserstein', got 'l2'", ROUNDS_ERROR),
        (dict(rounds=0, neutralization="split_penalty", leaf_model="linear"),
         "neutralization='split_penalty' requires leaf_model='constant'", ROUNDS_ERROR),
        (dict(rounds=0, factor_exposure_row_count=12),
         "factor_exposure_values, factor_exposure_row_count, and factor_exposure_factor_count must be provided "
         "together", ROUNDS_ERROR),
        (dict(training_policy="Auto", leaf_solver="DRO"), "leaf_solver must be 'standard' or 'dro', got 'DRO'",
         "training_policy must be 'auto' or 'manual', received 'Auto'"),
        (dict(rounds=0, training_policy="x"), ROUNDS_ERROR, ROUNDS_ERROR),
        (dict(training_policy="x", continuous_binning_strategy="y"),
         "training_policy must be 'auto' or 'manual', received 'x'",
         "training_policy must be 'auto' or 'manual', received 'x'"),
        (dict(continuous_binning_strategy="y", boosting_mode="z"),
         "continuous_binning_strategy must be one of: linear, quantile, rank; received 'y'",
         "continuous_binning_strategy must be one of: linear, quantile, rank; received 'y'"),
        (dict(boosting_mode="goss", goss_top_rate=0.2, categorical_feature_index=0),
         "boosting_mode='goss' requires goss_other_rate", "boosting_mode='goss' requires goss_other_rate"),
        (dict(categorical_feature_index=0, categorical_feature_values=["a"] * 3),
         "categorical_feature_values length 3 does not match row_count 12",
         "categorical_feature_values length 3 does not match row_count 12"),
    ],
)
@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_option_checks_in_each_functions_order(variant, overrides, artifact_message, summary_message):
    error = failure(variant, ValueError, **overrides)
    assert str(error) == (summary_message if variant.summary else artifact_message)


@pytest.mark.parametrize(
    "rows, overrides, message",
    [
        ([[1.0, 2.0, 3.0]] * 2 + [[1.0, 2.0]] + [[0.0] * 3], {}, "row 2 feature count 2 does not match expected 3"),
        ([[1.0, 2.0, 3.0]] * 2 + [[1.0, 2.0]] + [[0.0] * 3],
         dict(categorical_feature_index=0, categorical_feature_values=["a"] * 3),
         "categorical_feature_values length 3 does not match row_count 4"),
        ([], {}, "rows cannot be empty"),
        ([], dict(categorical_feature_index=0, categorical_feature_values=[]), "rows cannot be empty"),
    ],
)
def test_row_shape_is_checked_after_the_categorical_column(rows, overrides, message):
    error = failure(VARIANTS[0], ValueError, data=(rows, [0.0] * len(rows)), **overrides)
    assert str(error) == message


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(validation_targets_bytes=b"\0" * 7), "values_bytes length must be a multiple of 4 (f32)"),
        (dict(values_bytes=b"\0" * 6, rounds=0, training_policy="x"),
         "values_bytes length must be a multiple of 4 (f32)"),
        # Present though empty: the validation features come without their count and targets.
        (dict(validation_values_bytes=b""), "validation rows, targets, and row_count must be provided together"),
        (dict(validation_targets_bytes=f32_bytes([1.0])),
         "validation rows, targets, and row_count must be provided together"),
    ],
)
def test_byte_buffers_are_decoded_before_any_option_is_checked(overrides, message):
    error = failure(BYTES_VARIANT, ValueError, **overrides)
    assert str(error) == message
    assert not hasattr(error, "__notes__")


def test_byte_buffer_conversion_comes_before_decoding():
    error = failure(BYTES_VARIANT, TypeError, values_bytes=b"\0" * 6, objective=3)
    assert error.__notes__ == ["while processing 'objective'"]


def matrix_length_error(length, product):
    return f"validation error: matrix values length {length} does not match row_count * feature_count {product}"


INFINITE_ROWS = [[1.0, 2.0], [math.nan, -math.inf]] + ROWS[2:]


# The flat matrices' checks in their order: each row also breaks every check after its own, so
# it proves that its check comes first. Counts that do not fit together are the core view's
# errors (RuntimeError); a product that overflows a size is the caller's error (ValueError).
@pytest.mark.parametrize(
    "exc_type, overrides, message",
    [
        (ValueError, dict(continuous_binning_max_bins=1, row_count=0, data=(INFINITE_ROWS, TARGETS[:5])),
         "continuous_binning_max_bins must be in [2, 65535]"),
        (RuntimeError, dict(row_count=0, feature_count=0, data=(INFINITE_ROWS, TARGETS[:5])),
         "validation error: row_count must be greater than 0"),
        (RuntimeError, dict(feature_count=0, data=(INFINITE_ROWS, TARGETS[:5])),
         "validation error: feature_count must be greater than 0"),
        (RuntimeError, dict(row_count=11, data=(INFINITE_ROWS, TARGETS[:5])), matrix_length_error(24, 22)),
        # The product is never wrapped into the platform width: 2**63 x 4 is no small length.
        (ValueError, dict(row_count=2**63, feature_count=4, data=(INFINITE_ROWS, TARGETS[:5])),
         matrix_length_error(24, 2**65)),
        (ValueError, dict(data=(INFINITE_ROWS, TARGETS[:5])), "rows length 12 does not match targets length 5"),
        (ValueError, dict(data=(INFINITE_ROWS, TARGETS)), "row 1 feature 1 must not be infinite"),
    ],
)
@pytest.mark.parametrize("variant", FLAT_VARIANTS, ids=variant_ids(FLAT_VARIANTS))
def test_flat_matrix_checks_in_order(variant, exc_type, overrides, message):
    error = failure(variant, exc_type, **overrides)
    assert str(error) == message
    assert type(error) is exc_type


# The validation matrix, after a training matrix that passes: the presence rule, then its targets
# against its row count before the view's checks.
@pytest.mark.parametrize(
    "exc_type, rows, targets, validation, message",
    [
        (ValueError, ROWS[:6], TARGETS[:6], dict(validation_row_count=None),
         "validation rows, targets, and row_count must be provided together"),
        (ValueError, ROWS[:6], TARGETS[:6], dict(validation_targets=None),
         "validation rows, targets, and row_count must be provided together"),
        (ValueError, ROWS[:6], TARGETS[:6], dict(validation_row_count=2**62),
         "rows length 4611686018427387904 does not match targets length 6"),
        (ValueError, ROWS[:6], TARGETS[:5], dict(validation_row_count=0),
         "rows length 0 does not match targets length 5"),
        (RuntimeError, [], [], {}, "validation error: row_count must be greater than 0"),
        (RuntimeError, ROWS[:6], TARGETS[:5], dict(validation_row_count=5), matrix_length_error(12, 10)),
        (ValueError, INFINITE_ROWS[:6], TARGETS[:6], {}, "row 1 feature 1 must not be infinite"),
    ],
)
@pytest.mark.parametrize("variant", [VARIANTS[3], VARIANTS[4]], ids=variant_ids(VARIANTS[3:]))
def test_flat_validation_matrix_checks_in_order(variant, exc_type, rows, targets, validation, message):
    given = variant.feed(rows, targets, prefix="validation_")
    if "validation_targets" in validation and variant is BYTES_VARIANT:
        validation = dict(validation_targets_bytes=None)
    error = failure(variant, exc_type, **{**given, **validation})
    assert str(error) == message
    assert type(error) is exc_type


# Features that are not built yet: every function refuses them as the master function does (or,
# once they exist, trains them alike).
LATER_FEATURES = [
    dict(categorical_feature_index=1, categorical_feature_values=["a", "b"] * 6),
    dict(neutralization="pre_target", objective="poisson"),
    dict(boosting_mode="dart", dart_drop_rate=0.1, dart_max_drop=2),
    dict(leaf_model="linear"),
]


@pytest.mark.parametrize("overrides", LATER_FEATURES)
@pytest.mark.parametrize("variant", NEW_VARIANTS, ids=variant_ids(NEW_VARIANTS))
def test_features_of_later_releases_behave_as_in_the_master_function(variant, overrides):
    expected = outcome(SUMMARY, **overrides)
    assert outcome(variant, **overrides) == expected


@pytest.mark.parametrize(
    "overrides",
    [
        dict(objective="multiclass_softmax", num_classes=12),
        dict(categorical_feature_indices=[1], categorical_feature_values_list=[["a", "b", "c"] * 4],
             max_cat_threshold=3),
    ],
)
@pytest.mark.parametrize("variant", [VARIANTS[3], VARIANTS[4]], ids=variant_ids(VARIANTS[3:]))
def test_summary_only_features_of_later_releases_behave_as_in_the_master_function(variant, overrides):
    expected = outcome(SUMMARY, **overrides)
    # Trained (the artifact is compared) or refused as not built yet.
    assert isinstance(expected, bytes) or expected[0] is RuntimeError
    assert outcome(variant, **overrides) == expected


# --- checks of the master function ------------------------------------------------------------

@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(rounds=0, training_policy="bogus"), ROUNDS_ERROR),
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
        (dict(factor_exposure_values=[0.0] * 11 + [math.nan], factor_exposure_row_count=12,
              factor_exposure_factor_count=1), "validation error: factor_exposures must contain only finite values"),
        (dict(factor_exposure_values=[], factor_exposure_row_count=12, factor_exposure_factor_count=0),
         "validation error: factor_exposures factor_count must be greater than 0"),
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
    error = failure(SUMMARY, exc_type, morph_config=morph_config)
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
    error = failure(SUMMARY, RuntimeError, learning_rate=0.0, **overrides)
    assert str(error) == "invalid config: learning_rate must be in (0.0, 1.0]"


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(rows=[[]] * 12), "rows must include at least one feature"),
        (dict(rows=ROWS[:11] + [[1.0]]), "row 11 feature count 1 does not match expected 2"),
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
    assert_failure(ValueError, ROUNDS_ERROR, rounds=0, categorical_feature_indices=[],
                   categorical_feature_values_list=[], categorical_feature_index=5)
    assert_failure(ValueError, "training_policy must be 'auto' or 'manual', received 'x'", training_policy="x",
                   categorical_feature_indices=[], categorical_feature_values_list=[],
                   categorical_feature_index=5)


# A matrix that holds 255 as a value keeps missing values in bin 256, so one more category fits.
@pytest.mark.parametrize("largest_value, count, missing_bin", [(254, 256, 255), (255, 257, 256)])
def test_native_category_count_must_leave_the_missing_bin_free(largest_value, count, missing_bin):
    values = [f"c{i:03d}" for i in range(count)]
    rows = [[float(min(i, largest_value)), 0.0] for i in range(count)]
    targets = [0.0] * count
    assert_failure(ValueError,
                   f"Native categorical feature 1 has {count} categories which would collide with the missing-value "
                   f"sentinel (bin {missing_bin}). Reduce max_cat_threshold or increase continuous_binning_max_bins.",
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
        (dict(neutralization="pre_target", objective="squared_error",
              custom_objective_fn=lambda y, p: (p - y, 1 + 0 * p)),
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
    error = failure(SUMMARY, RuntimeError, init_artifact_bytes=b"KSTR")
    assert str(error).startswith("serialization error: ")
