"""Categorical columns from Python: target-encoded columns train through every training function
in both argument forms, their bins agree between training and validation rows, native columns
split on category sets, and bad categorical arguments are refused with nothing trained."""

import struct

import numpy as np
import pytest

import _kestrune
from artifact_builder import linear_bin, section_payloads
from test_train_arguments import ROWS, SUMMARY, TARGETS, VARIANTS, call, variant_ids

CATEGORICAL_STATE = 4
CATS = ["x", "y", "z", "y"] * 3
SINGLE = dict(categorical_feature_index=1, categorical_feature_values=CATS)
LIST = dict(categorical_feature_indices=[1], categorical_feature_values_list=[CATS])
TIMED = dict(SINGLE, categorical_time_aware=True, time_index=[i // 2 for i in range(12)])


def categorical_state(artifact):
    version, flags, count, _ = struct.unpack_from("<IIII", section_payloads(artifact)[CATEGORICAL_STATE])
    return version, flags, list(struct.unpack_from(f"<{count}I", section_payloads(artifact)[CATEGORICAL_STATE], 16))


def artifact_of(variant, **overrides):
    result = call(variant, rounds=3, **overrides)
    return result.artifact_bytes if variant.summary else result


@pytest.mark.parametrize("form, reference, flags", [(SINGLE, SINGLE, 0), (LIST, SINGLE, 0), (TIMED, TIMED, 1)],
                         ids=["single", "list", "time_aware"])
@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_target_encoded_columns_train_through_every_function(variant, form, reference, flags):
    if form is LIST and not variant.summary:
        pytest.skip("the artifact-only functions take the single form only")
    artifact = artifact_of(variant, **form)
    # Every function and both forms give the master function's single-form model.
    assert artifact == artifact_of(SUMMARY, **reference)
    assert categorical_state(artifact) == (1, flags, [1])
    assert artifact != artifact_of(SUMMARY)


def test_list_form_pairs_each_validation_list_with_its_column():
    other = ["p", "q", "q"] * 4
    given = [(1, CATS), (0, other)]
    results = []
    for order in (given, given[::-1]):
        results.append(call(SUMMARY, rounds=3, validation_rows=ROWS[:6], validation_targets=TARGETS[:6],
                            categorical_feature_indices=[i for i, _ in order],
                            categorical_feature_values_list=[v for _, v in order],
                            validation_categorical_feature_values_list=[v[6:] for _, v in order]))
    assert results[0].artifact_bytes == results[1].artifact_bytes
    assert results[0].summary.validation_loss == results[1].summary.validation_loss
    assert categorical_state(results[0].artifact_bytes) == (1, 0, [0, 1])


def test_multiclass_fit_carries_the_categorical_state():
    result = call(SUMMARY, data=(ROWS, [float(i % 3) for i in range(12)]), objective="multiclass_softmax",
                  num_classes=3, rounds=2, **LIST)
    assert categorical_state(result.artifact_bytes) == (1, 0, [1])
    assert result.native_cat_mappings == {}


# Native columns (2..max_cat_threshold distinct strings) split on category sets: every function
# that takes max_cat_threshold trains them, and the artifact it returns loads in the predictor.
@pytest.mark.parametrize("variant", VARIANTS[2:], ids=variant_ids(VARIANTS[2:]))
@pytest.mark.parametrize("objective", [{}, dict(objective="multiclass_softmax", num_classes=3)], ids=["single", "multi"])
def test_native_columns_train(variant, objective):
    result = call(variant, data=(ROWS, [float(i % 3) for i in range(12)]), max_cat_threshold=3, **LIST, **objective)
    assert result.native_cat_mappings == {1: {"x": 0, "y": 1, "z": 2}}
    assert _kestrune.NativePredictorHandle(result.artifact_bytes, strict=False).is_multiclass() == bool(objective)


VALIDATION = dict(validation_rows=ROWS[:6], validation_targets=TARGETS[:6])


# The resolver's own refusals are in test_train_arguments; these come after it, and the
# encoder's keep its "invalid input: " prefix.
@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(SINGLE, categorical_feature_index=2), "categorical feature index 2 is out of bounds for feature_count 2"),
        (dict(SINGLE, categorical_time_aware=True), "invalid input: time_aware target encoding requires time_index"),
    ],
)
@pytest.mark.parametrize("variant", VARIANTS, ids=variant_ids(VARIANTS))
def test_refusals_after_the_resolver(variant, overrides, message):
    with pytest.raises(ValueError) as info:
        call(variant, **overrides)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(categorical_feature_indices=[0, 5], categorical_feature_values_list=[CATS, CATS]),
         "categorical feature index 5 is out of bounds for feature_count 2"),
        (dict(LIST, **VALIDATION), "validation categorical values list length 0 does not match categorical specs count 1"),
        (dict(LIST, **VALIDATION, validation_categorical_feature_values_list=[CATS]),
         "categorical values length 12 does not match row_count 6"),
        (dict(LIST, **VALIDATION, validation_categorical_feature_values_list=[CATS[:5]], max_cat_threshold=3),
         "categorical values length 5 does not match row_count 6"),
    ],
)
@pytest.mark.parametrize("variant", VARIANTS[2:], ids=variant_ids(VARIANTS[2:]))
def test_list_form_and_validation_refusals(variant, overrides, message):
    if "validation_rows" in overrides:
        overrides = dict(overrides)
        overrides.update(variant.feed(overrides.pop("validation_rows"), overrides.pop("validation_targets"),
                                      "validation_"))
    with pytest.raises(ValueError) as info:
        call(variant, **overrides)
    assert str(info.value) == message


def encoded_means(cats, targets, smoothing):
    """Smoothed category means in float64, stored as float32."""
    targets = np.asarray(targets, dtype=np.float64)
    prior = targets.mean()
    out = {}
    for c in set(cats):
        rows = targets[[i for i, v in enumerate(cats) if v == c]]
        w = len(rows) / (smoothing + len(rows))
        out[c] = np.float32(rows.mean() * w + prior * (1.0 - w))
    return out


def test_validation_rows_read_the_training_bins_of_their_categories():
    """The validation loss is that of the artifact scored on bins built here: the numeric column
    by the linear rule, the categorical column by the rank of its category's encoding among the
    training column's encoded values. A validation set lacking the lowest-encoded category would
    shift every rank if it were coded on its own."""
    rng = np.random.default_rng(3)
    n = 200
    cats = [f"c{k}" for k in rng.integers(0, 9, size=n)]
    x0 = rng.uniform(-1.0, 1.0, size=n).astype(np.float32)
    y = (np.array([int(c[1:]) for c in cats]) * 0.5 + x0).astype(np.float32)
    rows = [[float(a), 0.0] for a in x0]
    means = encoded_means(cats, y.tolist(), 20.0)
    lowest = min(means, key=means.get)
    keep = [i for i in range(n) if cats[i] != lowest][:60]
    result = SUMMARY.function(
        rows=rows, targets=y.tolist(), learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0,
        min_validation_improvement=0.0, seed=7, deterministic=True, rounds=4,
        validation_rows=[rows[i] for i in keep], validation_targets=[float(y[i]) for i in keep],
        categorical_feature_index=1, categorical_feature_values=cats,
        validation_categorical_feature_values=[cats[i] for i in keep])
    distinct = np.unique(np.asarray([means[c] for c in cats], dtype=np.float32))
    meta = result.continuous_binning_metadata
    bins = [[linear_bin(x0[i], meta.feature_mins[0], meta.feature_maxs[0], 254),
             float(np.searchsorted(distinct, means[cats[i]]))] for i in keep]
    handle = _kestrune.NativePredictorHandle(result.artifact_bytes, strict=False)
    predictions = np.asarray(handle.predict_batch(bins), dtype=np.float64)
    expected = np.mean((predictions - y[keep].astype(np.float64)) ** 2)
    assert result.summary.validation_loss[-1] == pytest.approx(expected, rel=1e-5)
