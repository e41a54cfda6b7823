"""The handle's quantizing paths and threshold conversions, observed through a probe model whose
score spells out the bins it sees: feature 0's bin, plus 1024 x feature 1's bin, plus 2^21 when
feature 0 is missing and 2^22 when feature 1 is."""

import math
import struct

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, linear_bin, single_output_artifact

Handle = _kestrune.NativePredictorHandle
TOP = 510
NAN_PROBE_BIN = 65535


def probe_artifact(top=TOP):
    stumps = []
    tree = 0
    for feature, step in ((0, 1.0), (1, 1024.0)):
        # One stump per bin boundary: a value of bin b goes right at exactly b of them. Missing
        # values go left, so that only the detector below counts them.
        for split in range(top):
            stumps.append(Stump(tree, 0, feature, split, 0.0, step, default_left=True))
            tree += 1
        stumps.append(Stump(tree, 0, feature, NAN_PROBE_BIN, 0.0, float(2 ** (21 + feature))))
        tree += 1
    return single_output_artifact(2, stumps)


@pytest.fixture(scope="module")
def probe():
    return probe_artifact()


def decode(score):
    score = int(score)
    nan0, nan1 = bool(score & 2 ** 21), bool(score & 2 ** 22)
    score &= 2 ** 21 - 1
    return (math.nan if nan0 else score % 1024, math.nan if nan1 else score // 1024)


def seen_bins(scores):
    return [decode(s) for s in scores]


def same(a, b):
    return np.array_equal(np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64), equal_nan=True)


def test_the_probe_reads_back_bin_rows(probe):
    rows = [[0.0, 0.0], [3.0, 509.0], [510.0, 7.0], [math.nan, 2.0], [4.0, math.nan]]
    assert same(seen_bins(Handle(probe).predict_batch(rows)), rows)


# --- byte quantizer ---------------------------------------------------------------------------

def f32_bytes(values):
    return struct.pack(f"<{len(values)}f", *values)


# Edges the many-row comparison below does not reach: constant and near-constant features.
@pytest.mark.parametrize("x, lo, hi, expected", [
    (2.5, 0.0, 254.0, 3.0),
    (3.0, 3.0, 3.0, 0.0),
    (3.5, 3.0, 3.0, 254.0),
    (3.0000002, 3.0, 3.0000005, 0.0),  # a span below 1e-6 counts as constant
])
def test_byte_quantizer_value_mapping(probe, x, lo, hi, expected):
    scores = Handle(probe).predict_dense_quantized_linear_bytes(f32_bytes([x, x]), 1, 2, [lo, lo], [hi, hi])
    assert same(seen_bins(scores), [[expected, expected]])


def test_byte_quantizer_maps_any_nan_payload_to_missing(probe):
    signalling = struct.pack("<I", 0x7F800001) + struct.pack("<I", 0xFFC01234)
    scores = Handle(probe).predict_dense_quantized_linear_bytes(signalling, 1, 2, [0.0, 0.0], [1.0, 1.0])
    assert same(seen_bins(scores), [[math.nan, math.nan]])


def test_quantizing_paths_agree_with_the_reference_rule_on_many_rows(probe):
    rng = np.random.default_rng(2)
    rows = rng.normal(size=(6000, 2)).astype(np.float32) * np.float32(3.0)
    rows[rng.random(rows.shape) < 0.05] = np.nan
    mins, maxs = [-4.0, -6.5], [4.0, 5.25]
    handle = Handle(probe)
    expected = [[linear_bin(v, mins[f], maxs[f], 254) for f, v in enumerate(row)] for row in rows.tolist()]
    from_bytes = handle.predict_dense_quantized_linear_bytes(rows.tobytes(), 6000, 2, mins, maxs)
    from_values = handle.predict_dense_quantized_linear(rows.ravel().tolist(), 6000, 2, mins, maxs)
    assert from_bytes == from_values
    assert same(seen_bins(from_bytes), expected)
    bins = np.asarray(expected, dtype=np.float32)
    assert from_bytes == handle.predict_numpy(bins)


@pytest.mark.parametrize("args, message", [
    ((bytes(7), 1, 2, [0.0], [1.0, 1.0]), "values_bytes length must be a multiple of 4 (f32)"),
    ((bytes(8), 1, 2, [0.0, 0.0], [1.0]), "feature_mins/feature_maxs length must match feature_count"),
    ((bytes(4), 1, 2, [0.0, 0.0], [1.0, 1.0]),
     "bytes length 4 does not match expected 8 (row_count=1 * feature_count=2 * 4)"),
    ((bytes(8), 2 ** 62, 2 ** 3, [0.0] * 8, [1.0] * 8), None),
    ((b"", 0, 2, [0.0, 0.0], [1.0, 1.0]), "row_count must be greater than 0"),
])
def test_byte_quantizer_length_checks(probe, args, message):
    with pytest.raises(ValueError) as error:
        Handle(probe).predict_dense_quantized_linear_bytes(*args)
    assert message is None or str(error.value) == message


def test_byte_quantizer_reads_only_the_batch_head_of_a_longer_buffer(probe):
    handle = Handle(probe)
    head = f32_bytes([1.0, 2.0, 3.0, 4.0])
    scores = handle.predict_dense_quantized_linear_bytes(head + f32_bytes([9.0] * 6), 2, 2, [0.0, 0.0], [254.0] * 2)
    assert seen_bins(scores) == [(1, 2), (3, 4)]


# --- linear and rank quantizers ---------------------------------------------------------------

@pytest.mark.parametrize("max_data_bin, top", [({}, 254), ({"max_data_bin": None}, 254),
                                                ({"max_data_bin": 510}, 510), ({"max_data_bin": 63}, 63)])
def test_linear_quantizer_top_bin(probe, max_data_bin, top):
    scores = Handle(probe).predict_dense_quantized_linear([10.0, 5.0, 0.0, 2.5], 2, 2, [0.0, 0.0], [10.0, 10.0],
                                                          **max_data_bin)
    assert seen_bins(scores) == [(top, linear_bin(5.0, 0.0, 10.0, top)), (0, linear_bin(2.5, 0.0, 10.0, top))]


@pytest.mark.parametrize("value", [-1, 65536])
def test_max_data_bin_outside_sixteen_bits_overflows(probe, value):
    with pytest.raises(OverflowError):
        Handle(probe).predict_dense_quantized_linear([1.0, 1.0], 1, 2, [0.0, 0.0], [1.0, 1.0], max_data_bin=value)


def test_rank_quantizer_bins_flagged_features_by_rank(probe):
    handle = Handle(probe)
    values = [0.0, 0.0, 3.0, 5.0, 4.0, 10.0, 100.0, math.nan]
    sorted_values = [[1.0, 2.0, 3.0, 5.0, 8.0], []]
    scores = handle.predict_dense_quantized_linear_rank(values, 4, 2, [0.0, 0.0], [10.0, 10.0], [True, False],
                                                        sorted_values)
    # Rank: the position of the last sorted value <= x, scaled from 0..4 to 0..254.
    assert same(seen_bins(scores), [[0, 0], [127, 127], [127, 254], [254, math.nan]])
    wide = handle.predict_dense_quantized_linear_rank(values, 4, 2, [0.0, 0.0], [10.0, 10.0],
                                                      [np.bool_(True), False], sorted_values, max_data_bin=508)
    assert same(seen_bins(wide), [[0, 0], [254, 254], [254, 508], [508, math.nan]])


def test_quantizer_checks(probe):
    handle = Handle(probe)
    with pytest.raises(ValueError) as error:
        handle.predict_dense_quantized_linear([1.0, 1.0, 1.0], 1, 3, [0.0] * 3, [1.0] * 3)
    assert str(error.value) == "feature_count 3 does not match model feature_count 2"
    with pytest.raises(ValueError) as error:
        handle.predict_dense_quantized_linear_rank([1.0, 1.0], 1, 2, [0.0] * 2, [1.0] * 2, [True], [[], []])
    assert str(error.value) == "rank_flags/feature_sorted_values length must match feature_count"
    with pytest.raises(TypeError):
        handle.predict_dense_quantized_linear_rank([1.0, 1.0], 1, 2, [0.0] * 2, [1.0] * 2, [1, 0], [[], []])


# --- threshold conversions --------------------------------------------------------------------

def test_min_max_conversion_moves_the_probe_to_raw_values(probe):
    handle = Handle(probe)
    handle.convert_thresholds_to_float([0.0, -10.0], [510.0, 10.0], 510)
    # Feature 0: bin t becomes t + 0.5, compared strictly. Feature 1: t becomes -10 + 20 (t + 0.5) / 510.
    rows = [[2.4, -10.0], [2.5, 10.0], [0.49, 0.0], [math.nan, -9.99]]
    expected = [[2, 0], [3, 510], [0, 255], [math.nan, 0]]
    assert same(seen_bins(handle.predict_batch(rows)), expected)
    assert same(seen_bins(handle.predict_numpy(np.asarray(rows, dtype=np.float32))), expected)


def test_failed_conversions_change_nothing(probe):
    handle = Handle(probe)
    rows = [[2.0, 3.0], [2.75, 0.5]]
    before = handle.predict_batch(rows)
    with pytest.raises(ValueError) as error:
        handle.convert_thresholds_to_float([0.0], [1.0, 1.0], 254)
    assert str(error.value) == "feature_mins/maxs length (1/2) must match feature_count 2"
    with pytest.raises(ValueError) as error:
        handle.convert_thresholds_to_float_quantile([[1.0]])
    assert str(error.value) == "feature_cuts length 1 must match feature_count 2"
    with pytest.raises(OverflowError):
        handle.convert_thresholds_to_float([0.0, 0.0], [1.0, 1.0], 65536)
    with pytest.raises(TypeError):
        handle.convert_thresholds_to_float_quantile("ab")
    assert handle.predict_batch(rows) == before
