"""NativePredictorHandle: loading, the scoring input forms against a float32 reference walk,
multiclass models, numpy inputs, argument and predictor errors, and the borrow guard."""

import contextlib

import numpy as np
import pytest

import _kestrune
from artifact_builder import multiclass_artifact, random_forest, reference_raw_scores, single_output_artifact

Handle = _kestrune.NativePredictorHandle
FEATURES = 3
BASE = 0.25
STRICT = "canonical predictor path requires strict dual-section artifact: "


# 64 trees: batches of 256 rows and more are scored on the worker pool.
FOREST = random_forest(np.random.default_rng(7), tree_count=64, feature_count=FEATURES, depth=3)
ARTIFACT = single_output_artifact(FEATURES, FOREST, BASE)
BASELINES = [0.5, -0.25, 0.0]
CLASS_STUMPS = [random_forest(np.random.default_rng(11 + c), tree_count=4, feature_count=FEATURES, depth=2)
                for c in range(3)]
MULTICLASS = multiclass_artifact(FEATURES, BASELINES, CLASS_STUMPS)


def bin_rows(count, seed=3, nan_share=0.1):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 14, size=(count, FEATURES)).astype(np.float32)
    rows[rng.random(rows.shape) < nan_share] = np.nan
    return rows


@pytest.mark.parametrize("row_count", [1, 300, 5000])
def test_every_input_form_gives_the_reference_scores_bit_for_bit(row_count):
    rows = bin_rows(row_count)
    n, f = rows.shape
    handle = Handle(ARTIFACT)
    forms = {
        "predict_batch": handle.predict_batch(rows.tolist()),
        "predict_dense": handle.predict_dense(rows.ravel().tolist(), n, f),
        "predict_numpy": handle.predict_numpy(rows),
        "predict_numpy_array": handle.predict_numpy_array(rows),
        "predict_dense_float_bytes": handle.predict_dense_float_bytes(rows.astype("<f4").tobytes(), n, f),
    }
    expected = reference_raw_scores(FOREST, BASE, rows.tolist())
    for name, scores in forms.items():
        assert np.array_equal(np.asarray(scores, dtype=np.float32), expected), name
    array = forms["predict_numpy_array"]
    assert array.dtype == np.float32 and array.flags.writeable and array.flags.owndata


def test_loading():
    legacy = single_output_artifact(FEATURES, FOREST, BASE, with_layout=False)
    magic = "serialization error: model header magic mismatch"
    cases = [
        (lambda: Handle(legacy), STRICT + "contract violation: strict compatibility mode requires exactly one Trees "
         "and one PredictorLayout section (found Trees=1, PredictorLayout=0)"),
        (lambda: Handle(b"XXXX" + bytes(12)), STRICT + "core error: " + magic),
        (lambda: Handle(b"XXXX" + bytes(12), strict=False), magic),
    ]
    for body, message in cases:
        with pytest.raises(RuntimeError) as error:
            body()
        assert str(error.value) == message
    rows = bin_rows(10)
    assert Handle(legacy, strict=False).predict_numpy(rows) == Handle(ARTIFACT).predict_numpy(rows)
    assert Handle(type("Blob", (bytes,), {})(ARTIFACT), strict=np.bool_(False)).is_multiclass() is False


def test_every_truncation_and_many_corruptions_fail_cleanly():
    rows = bin_rows(3)
    for length in range(len(ARTIFACT)):
        for strict in (True, False):
            with pytest.raises(RuntimeError):
                Handle(ARTIFACT[:length], strict=strict)
    rng = np.random.default_rng(5)
    for _ in range(400):
        corrupt = bytearray(ARTIFACT)
        for position in rng.integers(0, len(corrupt), size=3):
            corrupt[position] = int(rng.integers(256))
        # Loading may refuse it and scoring may refuse the rows; neither may crash.
        with contextlib.suppress(RuntimeError, ValueError):
            Handle(bytes(corrupt), strict=False).predict_numpy(rows)


def test_multiclass_needs_strict_false_and_scores_row_major_probabilities():
    with pytest.raises(RuntimeError, match="^" + STRICT):
        Handle(MULTICLASS)
    handle = Handle(MULTICLASS, strict=False)
    assert handle.is_multiclass() is True and handle.num_classes() == 3
    rows = bin_rows(300)
    n, f = rows.shape
    forms = [handle.predict_multiclass(rows.tolist()), handle.predict_dense_multiclass(rows.ravel().tolist(), n, f),
             handle.predict_numpy_multiclass(rows)]
    assert forms[0] == forms[1] == forms[2]
    margins = np.stack([reference_raw_scores(stumps, base, rows.tolist()) for stumps, base in
                        zip(CLASS_STUMPS, BASELINES)], axis=1).astype(np.float64)
    softmax = np.exp(margins - margins.max(axis=1, keepdims=True))
    np.testing.assert_allclose(np.asarray(forms[0]).reshape(n, 3), softmax / softmax.sum(axis=1, keepdims=True),
                               rtol=2e-6)


DENSE = "use predict_batch_dense_multiclass for multi-class models"
LISTED = "use predict_batch_multiclass for multi-class models"


# `h` scores a single-output model, `m` a multiclass one.
@pytest.mark.parametrize("call, error, message", [
    (lambda h, m: m.predict_batch(bin_rows(2).tolist()), RuntimeError, LISTED),
    (lambda h, m: m.predict_dense_float_bytes(bin_rows(2).tobytes(), 2, FEATURES), RuntimeError, LISTED),
    (lambda h, m: m.predict_numpy(bin_rows(2)), RuntimeError, DENSE),
    (lambda h, m: m.predict_dense_quantized_linear([0.0] * 6, 2, FEATURES, [0.0] * 3, [9.0] * 3), RuntimeError, DENSE),
    (lambda h, m: h.predict_multiclass([[1.0] * 3]), RuntimeError, "predict_batch_multiclass called on single-output "
     "model"),
    (lambda h, m: h.predict_numpy_multiclass(bin_rows(2)), RuntimeError, "predict_batch_dense_multiclass called on "
     "single-output model"),
    (lambda h, m: h.predict_batch([]), ValueError, "rows cannot be empty"),
    (lambda h, m: h.predict_dense([1.0], 2 ** 63, 3), ValueError,
     "values length 1 does not match row_count * feature_count 27670116110564327424"),
    (lambda h, m: h.predict_dense_float_bytes(bytes(20), 2, 3), ValueError,
     "bytes length 20 does not match expected 24 (row_count=2 * feature_count=3 * 4)"),
    (lambda h, m: h.predict_numpy(np.zeros((0, FEATURES), dtype=np.float32)), ValueError,
     "row_count must be greater than 0"),
    (lambda h, m: h.predict_numpy_array(np.zeros((2, 0), dtype=np.float32)), ValueError,
     "feature_count 0 does not match model feature_count 3"),
    (lambda h, m: h.predict_numpy(np.asfortranarray(bin_rows(2))), ValueError, "numpy array must be C-contiguous"),
    (lambda h, m: h.predict_numpy(bin_rows(2).astype(np.float64)), TypeError, None),
    (lambda h, m: h.predict_numpy_multiclass(bin_rows(2).tolist()), TypeError, None),
    (lambda h, m: h.predict_batch(["abc"]), TypeError, "while processing 'rows'"),
    (lambda h, m: h.predict_batch(), TypeError, "NativePredictorHandle.predict_batch() missing 1 required positional "
     "argument: 'rows'"),
    (lambda h, m: h.predict_dense([1.0] * 3, 1, 2 ** 64), OverflowError, "while processing 'feature_count'"),
])
def test_input_errors(call, error, message):
    assert Handle(ARTIFACT).num_classes() is None
    with pytest.raises(error) as raised:
        call(Handle(ARTIFACT), Handle(MULTICLASS, strict=False))
    if message is not None and message.startswith("while processing"):
        assert raised.value.__notes__ == [message]
    elif message is not None:
        assert str(raised.value) == message


def test_numpy_arrays_read_in_place_where_their_layout_allows():
    handle = Handle(ARTIFACT)
    rows = bin_rows(8)
    expected = handle.predict_numpy(rows)
    frozen = rows.copy()
    frozen.flags.writeable = False
    unaligned = np.frombuffer(b"\0" + rows.tobytes(), dtype=np.uint8)[1:].view(np.float32).reshape(rows.shape)
    # A unit dimension makes any stride contiguous; read-only and unaligned arrays are accepted.
    for array, rows_of in ((np.asfortranarray(rows[:1]), slice(0, 1)), (rows[3:4][::-1], slice(3, 4)),
                           (frozen, slice(None)), (unaligned, slice(None))):
        assert handle.predict_numpy(array) == expected[rows_of]


def test_reentry_from_a_conversion_hook_is_refused():
    handle = Handle(ARTIFACT)
    rows = bin_rows(2, nan_share=0.0)
    expected = handle.predict_numpy(rows)

    class Reenter:
        def __init__(self, call):
            self.call = call

        def __float__(self):
            self.call()
            return 1.0

    # Converting thresholds while a scoring call reads its values, or scoring while thresholds are
    # converted, is refused; nested scoring calls are fine, and every borrow is released.
    with pytest.raises(RuntimeError, match="^Already borrowed"):
        handle.predict_dense([Reenter(handle.convert_thresholds_to_float_prebinned), 1.0, 1.0], 1, 3)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed"):
        handle.convert_thresholds_to_float([Reenter(lambda: handle.predict_batch(rows.tolist())), 0.0, 0.0], [1.0] * 3,
                                           254)
    handle.predict_dense([Reenter(lambda: handle.predict_batch(rows.tolist())), 1.0, 1.0], 1, 3)
    assert handle.predict_numpy(rows) == expected
    handle.convert_thresholds_to_float_prebinned()
    assert handle.predict_numpy(rows) == expected
