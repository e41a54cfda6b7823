"""The five training functions' surface: signatures, binding, conversion and the checks made before
any tree is grown, each rule once, in a table. One table describes how each function takes its
features."""

import inspect
import math
from typing import Callable, NamedTuple

import numpy as np
import pytest

import _kestrune
from conftest import as_bytes, as_flat, as_rows, f32_bytes

# The master function's signature entries; the other four functions' signatures are derived from it.
MASTER = _kestrune.train_regression_artifact_with_summary.__text_signature__[1:-1].split(", ")
assert MASTER[8:11] == ["deterministic", "rounds=...", "early_stopping_rounds=None"] and len(MASTER) == 69


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


VARIANTS = [
    Variant("train_regression_artifact", ARTIFACT, as_rows, False),
    Variant("train_regression_artifact_dense", ARTIFACT_DENSE, as_flat, False),
    Variant("train_regression_artifact_with_summary", MASTER, as_rows, True),
    Variant("train_regression_artifact_dense_with_summary", DENSE_SUMMARY, as_flat, True),
    Variant("train_regression_artifact_dense_with_summary_bytes", BYTES_SUMMARY, as_bytes, True),
]
SUMMARY, BYTES_VARIANT = VARIANTS[2], VARIANTS[4]
FLAT_VARIANTS = [v for v in VARIANTS if v.feed is not as_rows]


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


@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_signature_and_binding_errors(variant):
    function, required, total = variant.function, variant.required, len(variant.entries)
    assert function.__text_signature__ == "(" + ", ".join(variant.entries) + ")"
    parameters = inspect.signature(function).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    display, first = f"{variant.name}()", required[0]
    quoted = [f"'{name}'" for name in required]
    kwargs = {**variant.feed(ROWS, TARGETS), **SETTINGS}
    partial = {k: v for k, v in kwargs.items() if k != required[2]}
    # Names compare exactly, and a parameter of another variant is no parameter of this one.
    other = "validation_values" if variant.feed is as_rows else "rows"
    cases = [
        (lambda: function(), f"{display} missing {len(required)} required positional arguments: "
         + ", ".join(quoted[:-1]) + ", and " + quoted[-1]),
        (lambda: function(*([0] * (total + 1))),
         f"{display} takes from {len(required)} to {total} positional arguments but {total + 1} were given"),
        (lambda: function(**partial), f"{display} missing 1 required positional argument: '{required[2]}'"),
        (lambda: function(kwargs[first], **kwargs), f"{display} got multiple values for argument '{first}'"),
        (lambda: function(**kwargs, Rounds=None), f"{display} got an unexpected keyword argument 'Rounds'"),
        (lambda: function(**kwargs, **{other: None}), f"{display} got an unexpected keyword argument '{other}'"),
    ]
    for body, message in cases:
        with pytest.raises(TypeError) as info:
            body()
        assert str(info.value) == message
        assert not hasattr(info.value, "__notes__")


# A conversion failure names its parameter, and conversion runs in signature order before any
# value is checked; values of the accepted kinds pass on to the checks (here: rounds=0).
@pytest.mark.parametrize("variant, overrides, expected", [
    (VARIANTS[1], dict(values="abc"), "values"),
    (VARIANTS[1], dict(row_count=-1, quantile_alpha="x"), "row_count"),
    (BYTES_VARIANT, dict(values_bytes=bytearray(8)), "values_bytes"),
    (VARIANTS[0], dict(rounds=None), "rounds"),
    (SUMMARY, dict(max_depth=70000), "max_depth"),
    (SUMMARY, dict(monotone_constraints=[1, 200]), "monotone_constraints"),
    (SUMMARY, dict(morph_config=[]), "morph_config"),
    (SUMMARY, dict(group_id=[-1] * 12), "group_id"),
    (VARIANTS[0], dict(rounds=0, quantile_alpha="x"), "quantile_alpha"),
    (VARIANTS[1], dict(values=tuple(float(v) for v in range(24)), row_count=True), ROUNDS_ERROR),
    (VARIANTS[3], dict(values=np.arange(24, dtype=np.float64), validation_values=None), ROUNDS_ERROR),
    (VARIANTS[4], dict(values_bytes=type("Raw", (bytes,), {})(f32_bytes([0.0] * 24))), ROUNDS_ERROR),
    (SUMMARY, dict(rows=np.asarray(ROWS, dtype=np.float32), targets=np.asarray(TARGETS), seed=2**64 - 1),
     ROUNDS_ERROR),
    (SUMMARY, dict(custom_objective_fn=1, custom_metric_fn=1), ROUNDS_ERROR),  # callables are checked when called
    (SUMMARY, dict(init_artifact_bytes=bytearray(b"KSTR"), morph_config=type("SubDict", (dict,), {})()), ROUNDS_ERROR),
])
def test_conversion(variant, overrides, expected):
    if expected == ROUNDS_ERROR:
        assert str(failure(variant, ValueError, rounds=0, **overrides)) == ROUNDS_ERROR
    else:
        with pytest.raises((TypeError, OverflowError)) as info:
            call(variant, **overrides)
        assert info.value.__notes__ == [f"while processing '{expected}'"]


def matrix_length_error(length, product):
    return f"validation error: matrix values length {length} does not match row_count * feature_count {product}"


INFINITE_ROWS = [[1.0, 2.0], [math.nan, -math.inf]] + ROWS[2:]


# The flat matrices' checks in order, each row also breaking every check after its own. Counts that
# do not fit together are the core view's errors; a product that overflows a size is the caller's.
@pytest.mark.parametrize("exc_type, overrides, message", [
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
    # The validation matrix, after a training matrix that passes.
    (ValueError, dict(validation_values=[1.0] * 4), "validation rows, targets, and row_count must be provided "
     "together"),
    (ValueError, dict(validation_values=[1.0] * 4, validation_row_count=2**62, validation_targets=[1.0] * 6),
     "rows length 4611686018427387904 does not match targets length 6"),
    (RuntimeError, dict(validation_values=[1.0] * 4, validation_row_count=3, validation_targets=[1.0] * 3),
     matrix_length_error(4, 6)),
    (ValueError, dict(validation_values=[1.0, math.inf], validation_row_count=1, validation_targets=[1.0]),
     "row 0 feature 1 must not be infinite"),
])
@pytest.mark.parametrize("variant", FLAT_VARIANTS, ids=variant_ids(FLAT_VARIANTS))
def test_flat_matrix_checks_in_order(variant, exc_type, overrides, message):
    if not variant.summary and "validation_values" in overrides:
        pytest.skip("the artifact-only functions take no validation set")
    if variant is BYTES_VARIANT:
        raw = ("validation_values", "validation_targets")
        overrides = {k + "_bytes" if k in raw else k: f32_bytes(v) if k in raw else v for k, v in overrides.items()}
    error = failure(variant, exc_type, **overrides)
    assert (type(error), str(error)) == (exc_type, message)


@pytest.mark.parametrize("overrides, message", [
    (dict(validation_targets_bytes=b"\0" * 7), "values_bytes length must be a multiple of 4 (f32)"),
    (dict(values_bytes=b"\0" * 6, rounds=0, training_policy="x"),
     "values_bytes length must be a multiple of 4 (f32)"),
    (dict(validation_values_bytes=b""), "validation rows, targets, and row_count must be provided together"),
])
def test_byte_buffers_are_decoded_before_any_option_is_checked(overrides, message):
    assert str(failure(BYTES_VARIANT, ValueError, **overrides)) == message
    # Conversion still comes first.
    assert failure(BYTES_VARIANT, TypeError, values_bytes=b"\0" * 6, objective=3).__notes__ == [
        "while processing 'objective'"]


VALID = dict(validation_rows=ROWS, validation_targets=TARGETS)
DART = dict(boosting_mode="dart", dart_drop_rate=0.1, dart_max_drop=2)
CATS = [["a"] * 12]


# The master function's checks, one row per rule, known by the start of their message; where a row
# breaks two rules, the first in the fixed order wins. The engine's own checks (factor exposures,
# objective parameters, early stopping) are tested with the engine.
@pytest.mark.parametrize("overrides, message", [
    (dict(training_policy="auto ", tree_growth="x"), "training_policy must be 'auto' or 'manual', received 'auto '"),
    (dict(continuous_binning_strategy="Linear", tree_growth="x"), "continuous_binning_strategy must be one of: "),
    (dict(tree_growth="Level"), "tree_growth must be 'level' or 'leaf', received 'Level'"),
    (dict(leaf_model="Linear"), "leaf_model must be 'constant' or 'linear', got 'Linear'"),
    (dict(leaf_solver="DRO"), "leaf_solver must be 'standard' or 'dro', got 'DRO'"),
    (dict(dro_radius=math.nan, dro_metric="l2"), "dro_radius must be finite and >= 0"),
    (dict(dro_metric="l2"), "dro_metric must be 'wasserstein', got 'l2'"),
    (dict(neutralization="full"), "neutralization must be 'none', 'pre_target', 'per_round_gradient', or "),
    (dict(factor_neutralization_lambda=math.nan), "factor_neutralization_lambda must be finite and >= 0"),
    (dict(factor_penalty=math.inf), "factor_penalty must be finite and >= 0"),
    (dict(neutralization="per_round_gradient", factor_penalty=0.5), "factor_penalty is only valid with "),
    (dict(neutralization="split_penalty", leaf_model="linear"), "neutralization='split_penalty' requires leaf_model"),
    (dict(factor_exposure_values=[0.0] * 12, factor_exposure_row_count=12), "factor_exposure_values, factor_exp"),
    (dict(boosting_mode="goss", goss_other_rate=0.1), "boosting_mode='goss' requires goss_top_rate"),
    (dict(boosting_mode="GOSS"), "boosting_mode must be 'standard', 'goss', or 'dart', got \"GOSS\""),
    (dict(boosting_mode="dart", dart_drop_rate=0.1), "boosting_mode='dart' requires dart_max_drop"),
    (dict(DART, dart_normalize_type="Tree"), "dart_normalize_type must be 'tree' or 'forest', got \"Tree\""),
    (dict(DART, dart_sample_type="Weighted"), "dart_sample_type must be 'uniform' or 'weighted', got \"Weighted\""),
    (dict(morph_config={"lr_warmup_frac": None}), 'lr_warmup_frac requires lr_schedule="warmup_cosine"'),
    (dict(morph_config={"lr_schedule": "constant", "lr_warmup_frac": 0.2}), "lr_warmup_frac has no effect when "),
    (dict(morph_config={"lr_schedule": 'cos"ine'}), 'unknown lr_schedule: "cos\\"ine" (expected "constant" or '),
    (dict(rows=[[]] * 12), "rows must include at least one feature"),
    (dict(rows=ROWS[:11] + [[1.0]]), "row 11 feature count 1 does not match expected 2"),
    (dict(validation_rows=[]), "rows cannot be empty"),
    (dict(validation_rows=[[1.0, 2.0, 3.0]]), "validation feature_count must match training feature_count"),
    (dict(rows=[], categorical_feature_index=0), "categorical_feature_values must be provided when"),
    (dict(categorical_feature_values=CATS[0]), "categorical_feature_index must be provided when"),
    (dict(categorical_feature_values_list=CATS), "categorical_feature_indices must be provided when"),
    (dict(categorical_feature_indices=[0]), "categorical_feature_values_list must be provided when"),
    (dict(categorical_feature_indices=[1, 1], categorical_feature_values_list=CATS), "categorical_feature_indices "
     "length 2 does not match categorical_feature_values_list length 1"),
    (dict(categorical_feature_indices=[1, 1], categorical_feature_values_list=CATS * 2), "duplicate categorical_"),
    (dict(categorical_feature_indices=[1, 0], categorical_feature_values_list=CATS + [["a"] * 3]),
     "categorical_feature_values for feature 0 has length 3 but row_count is 12"),
    (dict(categorical_feature_indices=[2], categorical_feature_values_list=CATS), "categorical feature index 2 is "
     "out of bounds for feature_count 2"),
    # Two empty lists choose the list form and resolve to no column at all.
    (dict(rounds=0, categorical_feature_indices=[], categorical_feature_values_list=[], categorical_feature_index=5),
     ROUNDS_ERROR),
    (dict(rows=[[float(i), 0.0] for i in range(256)], targets=[0.0] * 256, categorical_feature_indices=[1],
          categorical_feature_values_list=[[f"c{i:03d}" for i in range(256)]], max_cat_threshold=300),
     "Native categorical feature 1 has 256 categories which would collide with the missing-value sentinel"),
    (dict(VALID, validation_sample_weights=[1.0]), "validation_sample_weights length 1 does not match validation "),
    (dict(VALID, validation_group_id=[0] * 13), "validation_group_id length 13 does not match validation row_count"),
    (dict(VALID, validation_time_index=[0]), "validation_time_index length 1 does not match validation row_count 12"),
    (dict(neutralization="pre_target", objective="poisson"), "neutralization='pre_target' is only supported for"),
    (dict(VALID, neutralization="pre_target"), "neutralization='pre_target' does not support validation targets"),
    (dict(objective="Squared_error"), "unknown objective 'Squared_error', expected one of: squared_error, "),
    (dict(objective="rank_ndcg"), "objective 'rank_ndcg' requires group_id to be provided"),
    (dict(objective="custom"), "objective 'custom' requires a custom_objective_fn to be provided"),
    (dict(objective="multiclass_softmax"), "multiclass_softmax objective requires num_classes to be specified"),
    (dict(objective="multiclass_softmax", num_classes=1), "multiclass_softmax requires num_classes >= 2, got 1"),
    *[(dict(objective="quantile", quantile_alpha=alpha), "quantile_alpha must be finite and in (0.0, 1.0)")
      for alpha in (0.0, 1.0, math.nan)],
])
def test_master_function_checks(overrides, message):
    error = failure(SUMMARY, ValueError, **overrides)
    assert str(error).startswith(message)
    assert not hasattr(error, "__notes__")


def test_accepted_options_reach_the_trainer_and_warm_start_bytes_are_decoded_first():
    # learning_rate 0 is refused by the trainer's parameter validation, after every option check.
    for overrides in (dict(leaf_solver="dro", dro_radius=-0.0),
                      dict(boosting_mode="standard", goss_top_rate=5.0, dart_normalize_type="nonsense"),
                      dict(morph_config={"morph_rate": 5.0, "unknown": object()})):
        error = failure(SUMMARY, RuntimeError, learning_rate=0.0, **overrides)
        assert str(error) == "invalid config: learning_rate must be in (0.0, 1.0]"
    assert str(failure(SUMMARY, RuntimeError, init_artifact_bytes=b"KSTR")).startswith("serialization error: ")
