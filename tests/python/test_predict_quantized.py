"""The handle's quantizing paths and threshold conversions, observed through a probe model whose
score spells out the bins it sees: feature 0's bin, plus 1024 x feature 1's bin, plus 2^21 when
feature 0 is missing and 2^22 when feature 1 is."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, linear_bin, single_output_artifact
from conftest import f32_bytes

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


@pytest.mark.parametrize("method, args, error, message", [
    ("bytes", (bytes(7), 1, 2, [0.0], [1.0, 1.0]), ValueError, "values_bytes length must be a multiple of 4 (f32)"),
    ("bytes", (bytes(8), 1, 2, [0.0, 0.0], [1.0]), ValueError,
     "feature_mins/feature_maxs length must match feature_count"),
    ("bytes", (bytes(4), 1, 2, [0.0, 0.0], [1.0, 1.0]), ValueError,
     "bytes length 4 does not match expected 8 (row_count=1 * feature_count=2 * 4)"),
    ("bytes", (bytes(8), 2 ** 62, 2 ** 3, [0.0] * 8, [1.0] * 8), ValueError, None),
    ("bytes", (b"", 0, 2, [0.0, 0.0], [1.0, 1.0]), ValueError, "row_count must be greater than 0"),
    ("", ([1.0, 1.0, 1.0], 1, 3, [0.0] * 3, [1.0] * 3), ValueError,
     "feature_count 3 does not match model feature_count 2"),
    ("", ([1.0, 1.0], 1, 2, [0.0, 0.0], [1.0, 1.0], -1), OverflowError, None),
    ("", ([1.0, 1.0], 1, 2, [0.0, 0.0], [1.0, 1.0], 65536), OverflowError, None),
    ("rank", ([1.0, 1.0], 1, 2, [0.0] * 2, [1.0] * 2, [True], [[], []]), ValueError,
     "rank_flags/feature_sorted_values length must match feature_count"),
    ("rank", ([1.0, 1.0], 1, 2, [0.0] * 2, [1.0] * 2, [1, 0], [[], []]), TypeError, None),
])
def test_quantizer_checks(probe, method, args, error, message):
    with pytest.raises(error) as raised:
        getattr(Handle(probe), "predict_dense_quantized_linear" + ("_" + method if method else ""))(*args)
    assert message is None or str(raised.value) == message


@pytest.mark.parametrize("max_data_bin, top", [({}, 254), ({"max_data_bin": 510}, 510), ({"max_data_bin": 63}, 63)])
def test_linear_quantizer_top_bin(probe, max_data_bin, top):
    # The probe reads back bin rows, and a buffer longer than the batch is read only to the batch's end.
    rows = [[0.0, 0.0], [3.0, 509.0], [510.0, 7.0], [math.nan, 2.0], [4.0, math.nan]]
    assert same(seen_bins(Handle(probe).predict_batch(rows)), rows)
    head = Handle(probe).predict_dense_quantized_linear_bytes(f32_bytes([1.0, 2.0, 3.0, 4.0, 9.0]), 2, 2, [0.0] * 2,
                                                               [254.0] * 2)
    assert seen_bins(head) == [(1, 2), (3, 4)]
    scores = Handle(probe).predict_dense_quantized_linear([10.0, 5.0, 0.0, 2.5], 2, 2, [0.0, 0.0], [10.0, 10.0],
                                                          **max_data_bin)
    assert seen_bins(scores) == [(top, linear_bin(5.0, 0.0, 10.0, top)), (0, linear_bin(2.5, 0.0, 10.0, top))]


def test_rank_quantizer_bins_flagged_features_by_rank(probe):
    # Rank: the position of the last sorted value <= x, scaled from 0..4 to 0..254; others are linear.
    values, sorted_values = [0.0, 0.0, 3.0, 5.0, 100.0, math.nan], [[1.0, 2.0, 3.0, 5.0, 8.0], []]
    scores = Handle(probe).predict_dense_quantized_linear_rank(values, 3, 2, [0.0] * 2, [10.0] * 2, [True, False],
                                                               sorted_values)
    assert same(seen_bins(scores), [[0, 0], [127, 127], [254, math.nan]])


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
