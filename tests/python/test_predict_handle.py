"""NativePredictorHandle: loading, the scoring input forms, multiclass models, numpy inputs,
argument and predictor errors, and the borrow guard."""

import gc
import os
import sys

import numpy as np
import pytest

import _kestrune
from artifact_builder import (multiclass_artifact, random_forest, reference_class_margins,
                              reference_raw_scores, single_output_artifact)

Handle = _kestrune.NativePredictorHandle
FEATURES = 3
BASE = 0.25


@pytest.fixture(scope="module")
def forest():
    # 64 trees: batches of 256 rows and more are scored on the worker pool.
    return random_forest(np.random.default_rng(7), tree_count=64, feature_count=FEATURES, depth=3)


@pytest.fixture(scope="module")
def artifact(forest):
    return single_output_artifact(FEATURES, forest, BASE)


@pytest.fixture(scope="module")
def multiclass():
    rng = np.random.default_rng(11)
    baselines = [0.5, -0.25, 0.0]
    class_stumps = [random_forest(rng, tree_count=4, feature_count=FEATURES, depth=2) for _ in baselines]
    return multiclass_artifact(FEATURES, baselines, class_stumps), baselines, class_stumps


def bin_rows(count, seed=3, nan_share=0.1):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 14, size=(count, FEATURES)).astype(np.float32)
    rows[rng.random(rows.shape) < nan_share] = np.nan
    return rows


def all_input_forms(handle, rows):
    n, f = rows.shape
    flat = rows.ravel().tolist()
    return {
        "predict_batch": handle.predict_batch(rows.tolist()),
        "predict_dense": handle.predict_dense(flat, n, f),
        "predict_numpy": handle.predict_numpy(rows),
        "predict_numpy_array": handle.predict_numpy_array(rows),
        "predict_dense_float_bytes": handle.predict_dense_float_bytes(rows.astype("<f4").tobytes(), n, f),
    }


@pytest.mark.parametrize("row_count", [1, 300, 5000])
def test_every_input_form_gives_the_reference_scores_bit_for_bit(artifact, forest, row_count):
    rows = bin_rows(row_count)
    expected = reference_raw_scores(forest, BASE, rows.tolist())
    for name, scores in all_input_forms(Handle(artifact), rows).items():
        assert np.array_equal(np.asarray(scores, dtype=np.float32), expected), name


def test_list_results_are_python_floats_and_array_result_is_a_fresh_float32_vector(artifact):
    handle = Handle(artifact)
    rows = bin_rows(4)
    assert all(type(v) is float for v in handle.predict_numpy(rows))
    array = handle.predict_numpy_array(rows)
    assert array.dtype == np.float32 and array.shape == (4,) and array.flags.writeable and array.flags.c_contiguous


def test_array_result_takes_over_the_result_buffer_and_frees_it_with_the_array(artifact):
    handle = Handle(artifact)
    rows = bin_rows(300)
    expected = handle.predict_numpy(rows)
    array = handle.predict_numpy_array(rows)
    # The array reads the result buffer where the prediction wrote it; its base object owns it.
    assert not array.flags.owndata and array.base is not None
    owner = array.base
    view = array[1::2]
    del handle, array
    gc.collect()
    churn = [np.full(300, -1.0, dtype=np.float32) for _ in range(50)]
    assert view.tolist() == expected[1::2]  # outlives the handle and the array it was cut from
    view[:] = 5.0
    assert view.tolist() == [5.0] * 150
    assert sys.getrefcount(owner) == 3  # view and the name `owner` (and the call's argument)
    del view, churn
    assert sys.getrefcount(owner) == 2  # the last array released it: the buffer goes with `owner`


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_array_results_are_freed():
    one_tree = random_forest(np.random.default_rng(1), tree_count=1, feature_count=FEATURES, depth=1)
    handle = Handle(single_output_artifact(FEATURES, one_tree, BASE))
    rows = bin_rows(1 << 18, nan_share=0.0)  # 1 MiB of results per call
    for _ in range(3):
        handle.predict_numpy_array(rows)
    before = resident_bytes()
    for _ in range(48):
        handle.predict_numpy_array(rows)
    assert resident_bytes() - before < (16 << 20)


# --- loading ----------------------------------------------------------------------------------

def test_strict_loading_refuses_a_legacy_lone_trees_artifact(forest, artifact):
    legacy = single_output_artifact(FEATURES, forest, BASE, with_layout=False)
    with pytest.raises(RuntimeError) as error:
        Handle(legacy)
    assert str(error.value) == (
        "canonical predictor path requires strict dual-section artifact: contract violation: strict "
        "compatibility mode requires exactly one Trees and one PredictorLayout section (found Trees=1, "
        "PredictorLayout=0)")
    rows = bin_rows(10)
    assert Handle(legacy, strict=False).predict_numpy(rows) == Handle(artifact).predict_numpy(rows)


@pytest.mark.parametrize("strict", [True, False])
def test_container_failures_raise_runtime_error_with_the_core_text(strict):
    message = "serialization error: model header magic mismatch"
    with pytest.raises(RuntimeError) as error:
        Handle(b"XXXX" + bytes(12), strict=strict)
    expected = message if not strict else (
        "canonical predictor path requires strict dual-section artifact: core error: " + message)
    assert str(error.value) == expected


def test_every_truncation_and_many_corruptions_fail_cleanly(artifact):
    rows = bin_rows(3)
    for length in range(len(artifact)):
        for strict in (True, False):
            with pytest.raises(RuntimeError):
                Handle(artifact[:length], strict=strict)
    rng = np.random.default_rng(5)
    for _ in range(400):
        corrupt = bytearray(artifact)
        for position in rng.integers(0, len(corrupt), size=3):
            corrupt[position] = int(rng.integers(256))
        try:
            handle = Handle(bytes(corrupt), strict=False)
        except RuntimeError:
            continue
        try:
            handle.predict_numpy(rows)
        except (RuntimeError, ValueError):
            pass


@pytest.mark.parametrize("kwargs", [{"artifact_bytes": bytearray(b"KSTR")}, {"artifact_bytes": b"", "strict": 1}])
def test_constructor_argument_errors(kwargs):
    with pytest.raises(TypeError):
        Handle(**kwargs)


def test_constructor_accepts_a_bytes_subclass_and_numpy_bool(artifact):
    assert Handle(type("Blob", (bytes,), {})(artifact), strict=np.bool_(False)).is_multiclass() is False


# --- multiclass -------------------------------------------------------------------------------

def test_multiclass_needs_strict_false_and_scores_row_major_probabilities(multiclass):
    data, baselines, class_stumps = multiclass
    with pytest.raises(RuntimeError, match="^canonical predictor path requires strict dual-section artifact: "):
        Handle(data)
    handle = Handle(data, strict=False)
    assert handle.is_multiclass() is True and handle.num_classes() == 3
    rows = bin_rows(300)
    n, f = rows.shape
    forms = [handle.predict_multiclass(rows.tolist()), handle.predict_dense_multiclass(rows.ravel().tolist(), n, f),
             handle.predict_numpy_multiclass(rows)]
    assert forms[0] == forms[1] == forms[2]
    probabilities = np.asarray(forms[0]).reshape(n, 3)
    margins = reference_class_margins(baselines, class_stumps, rows.tolist()).astype(np.float64)
    softmax = np.exp(margins - margins.max(axis=1, keepdims=True))
    np.testing.assert_allclose(probabilities, softmax / softmax.sum(axis=1, keepdims=True), rtol=2e-6)


def test_single_output_calls_on_a_multiclass_model_are_refused(multiclass):
    handle = Handle(multiclass[0], strict=False)
    rows = bin_rows(2)
    dense = "use predict_batch_dense_multiclass for multi-class models"
    rows_message = "use predict_batch_multiclass for multi-class models"
    calls = [
        (lambda: handle.predict_batch(rows.tolist()), rows_message),
        (lambda: handle.predict_dense_float_bytes(rows.tobytes(), 2, FEATURES), rows_message),
        (lambda: handle.predict_numpy(rows), dense),
        (lambda: handle.predict_numpy_array(rows), dense),
        (lambda: handle.predict_dense_quantized_linear(rows.ravel().tolist(), 2, FEATURES, [0.0] * 3, [9.0] * 3),
         dense),
        (lambda: handle.predict_dense_quantized_linear_bytes(rows.tobytes(), 2, FEATURES, [0.0] * 3, [9.0] * 3),
         dense),
    ]
    for call, message in calls:
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value) == message


def test_multiclass_calls_on_a_single_output_model_are_refused(artifact):
    handle = Handle(artifact)
    assert handle.is_multiclass() is False and handle.num_classes() is None
    rows = bin_rows(2)
    with pytest.raises(RuntimeError, match="^predict_batch_multiclass called on single-output model$"):
        handle.predict_multiclass(rows.tolist())
    for call in (lambda: handle.predict_dense_multiclass(rows.ravel().tolist(), 2, FEATURES),
                 lambda: handle.predict_numpy_multiclass(rows)):
        with pytest.raises(RuntimeError, match="^predict_batch_dense_multiclass called on single-output model$"):
            call()


# --- predictor input errors -------------------------------------------------------------------

# The predictor's checks, one per entry point, raised as ValueError with the predictor's text.
@pytest.mark.parametrize("method, args, message", [
    ("predict_batch", ([],), "rows cannot be empty"),
    ("predict_dense", ([1.0], 2 ** 63, 3),
     "values length 1 does not match row_count * feature_count 27670116110564327424"),
    ("predict_dense_float_bytes", (bytes(20), 2, 3),
     "bytes length 20 does not match expected 24 (row_count=2 * feature_count=3 * 4)"),
])
def test_predictor_input_errors_are_value_errors(artifact, method, args, message):
    with pytest.raises(ValueError) as error:
        getattr(Handle(artifact), method)(*args)
    assert str(error.value) == message


@pytest.mark.parametrize("call, error, parameter", [
    (lambda h: h.predict_batch(["abc"]), TypeError, "rows"),
    (lambda h: h.predict_dense([1.0] * 3, 1, 2 ** 64), OverflowError, "feature_count"),
    (lambda h: h.predict_dense_float_bytes(bytearray(12), 1, 3), TypeError, "values_bytes"),
])
def test_argument_conversion_errors_name_the_parameter(artifact, call, error, parameter):
    with pytest.raises(error) as raised:
        call(Handle(artifact))
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_binding_errors_name_the_method_with_its_class(artifact):
    with pytest.raises(TypeError) as raised:
        Handle(artifact).predict_batch()
    assert str(raised.value) == "NativePredictorHandle.predict_batch() missing 1 required positional argument: 'rows'"


# --- numpy ------------------------------------------------------------------------------------

def test_numpy_arrays_must_be_two_dimensional_float32(artifact):
    handle = Handle(artifact)
    rows = bin_rows(4)
    for bad in (rows.astype(np.float64), rows.ravel(), rows.tolist()):
        for method in (handle.predict_numpy, handle.predict_numpy_array, handle.predict_numpy_multiclass):
            with pytest.raises(TypeError):
                method(bad)


def test_numpy_arrays_are_read_in_place_only_when_row_major(artifact):
    handle = Handle(artifact)
    rows = bin_rows(8)
    expected = handle.predict_numpy(rows)
    refused = [np.asfortranarray(rows[:2]), rows[::2], rows[::-1]]
    for array in refused:
        for method in (handle.predict_numpy, handle.predict_numpy_array):
            with pytest.raises(ValueError, match="^numpy array must be C-contiguous$"):
                method(array)
    # A unit dimension makes any stride contiguous.
    assert handle.predict_numpy(np.asfortranarray(rows[:1])) == expected[:1]
    assert handle.predict_numpy(rows[3:4][::-1]) == expected[3:4]
    # A read-only array and an unaligned view of valid values are accepted.
    frozen = rows.copy()
    frozen.flags.writeable = False
    assert handle.predict_numpy(frozen) == expected
    raw = np.frombuffer(b"\0" + rows.tobytes(), dtype=np.uint8)[1:]
    assert handle.predict_numpy(raw.view(np.float32).reshape(rows.shape)) == expected


def test_numpy_arrays_with_a_zero_dimension_meet_the_predictor_checks(artifact):
    handle = Handle(artifact)
    with pytest.raises(ValueError, match="^row_count must be greater than 0$"):
        handle.predict_numpy(np.zeros((0, FEATURES), dtype=np.float32))
    with pytest.raises(ValueError, match="^feature_count 0 does not match model feature_count 3$"):
        handle.predict_numpy_array(np.zeros((2, 0), dtype=np.float32))


# --- borrow guard -----------------------------------------------------------------------------

def test_reentry_from_a_conversion_hook_is_refused(artifact):
    handle = Handle(artifact)
    rows = bin_rows(2, nan_share=0.0)
    expected = handle.predict_numpy(rows)

    class Reenter:
        def __init__(self, call):
            self.call = call

        def __float__(self):
            self.call()
            return 1.0

    convert = Reenter(handle.convert_thresholds_to_float_prebinned)
    with pytest.raises(RuntimeError) as error:
        handle.predict_dense([convert, 1.0, 1.0], 1, 3)
    assert str(error.value) == "Already borrowed"
    assert error.value.__notes__ == ["while processing 'values'"]

    score = Reenter(lambda: handle.predict_batch(rows.tolist()))
    with pytest.raises(RuntimeError) as error:
        handle.convert_thresholds_to_float([score, 0.0, 0.0], [1.0, 1.0, 1.0], 254)
    assert str(error.value) == "Already mutably borrowed"
    with pytest.raises(RuntimeError, match="^Already borrowed"):
        handle.convert_thresholds_to_float([convert, 0.0, 0.0], [1.0, 1.0, 1.0], 254)
    # Nested shared borrows are fine, and every borrow was released.
    shared = Reenter(lambda: handle.predict_batch(rows.tolist()))
    handle.predict_dense([shared, 1.0, 1.0], 1, 3)
    assert handle.predict_numpy(rows) == expected
    handle.convert_thresholds_to_float_prebinned()
    assert handle.predict_numpy(rows) == expected


# --- the class --------------------------------------------------------------------------------

METHODS = {
    "predict_batch": "($self, rows)",
    "predict_dense": "($self, values, row_count, feature_count)",
    "predict_numpy": "($self, array)",
    "predict_numpy_array": "($self, array)",
    "predict_dense_float_bytes": "($self, values_bytes, row_count, feature_count)",
    "predict_dense_quantized_linear_bytes":
        "($self, values_bytes, row_count, feature_count, feature_mins, feature_maxs)",
    "predict_dense_quantized_linear":
        "($self, values, row_count, feature_count, feature_mins, feature_maxs, max_data_bin=None)",
    "convert_thresholds_to_float": "($self, feature_mins, feature_maxs, max_data_bin)",
    "convert_thresholds_to_float_quantile": "($self, feature_cuts)",
    "convert_thresholds_to_float_prebinned": "($self)",
    "predict_dense_quantized_linear_rank":
        "($self, values, row_count, feature_count, feature_mins, feature_maxs, rank_flags, "
        "feature_sorted_values, max_data_bin=None)",
    "is_multiclass": "($self)",
    "num_classes": "($self)",
    "predict_multiclass": "($self, rows)",
    "predict_dense_multiclass": "($self, values, row_count, feature_count)",
    "predict_numpy_multiclass": "($self, array)",
}


def test_methods_and_their_text_signatures():
    assert sorted(name for name in vars(Handle) if not name.startswith("__")) == sorted(METHODS)
    for name, signature in METHODS.items():
        assert getattr(Handle, name).__text_signature__ == signature, name
    with pytest.raises(AttributeError):
        Handle(single_output_artifact(1, [])).extra = 1
