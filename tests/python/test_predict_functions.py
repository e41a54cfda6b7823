"""The one-shot prediction functions, and every input form on a trained model."""

import numpy as np
import pytest

import _kestrune
from artifact_builder import linear_bin, multiclass_artifact, random_forest, single_output_artifact

Handle = _kestrune.NativePredictorHandle
FEATURES = 4
BASE = -0.5
ROW_FUNCTIONS = [_kestrune.predictor_predict_batch, _kestrune.predictor_predict_batch_canonical]
DENSE_FUNCTIONS = [_kestrune.predictor_predict_batch_dense, _kestrune.predictor_predict_batch_canonical_dense]
STRICT_PREFIX = "canonical predictor path requires strict dual-section artifact: "


@pytest.fixture(scope="module")
def forest():
    return random_forest(np.random.default_rng(21), tree_count=70, feature_count=FEATURES, depth=4)


@pytest.fixture(scope="module")
def artifact(forest):
    return single_output_artifact(FEATURES, forest, BASE)


def bin_rows(count, seed=9):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 14, size=(count, FEATURES)).astype(np.float32)
    rows[rng.random(rows.shape) < 0.1] = np.nan
    return rows


def test_keywords_in_any_order(artifact):
    rows = bin_rows(2)
    expected = _kestrune.predictor_predict_batch(artifact, rows.tolist())
    assert _kestrune.predictor_predict_batch_canonical(rows=rows.tolist(), artifact_bytes=artifact) == expected
    assert _kestrune.predictor_predict_batch_dense(feature_count=FEATURES, row_count=2, values=rows.ravel().tolist(),
                                                   artifact_bytes=artifact) == expected


def test_legacy_artifacts_score_only_through_the_plain_functions(artifact, forest):
    legacy = single_output_artifact(FEATURES, forest, BASE, with_layout=False)
    rows = bin_rows(5)
    expected = _kestrune.predictor_predict_batch(artifact, rows.tolist())
    assert _kestrune.predictor_predict_batch(legacy, rows.tolist()) == expected
    assert _kestrune.predictor_predict_batch_dense(legacy, rows.ravel().tolist(), 5, FEATURES) == expected
    with pytest.raises(RuntimeError) as error:
        _kestrune.predictor_predict_batch_canonical(legacy, rows.tolist())
    assert str(error.value) == (
        STRICT_PREFIX + "contract violation: strict compatibility mode requires exactly one Trees and one "
        "PredictorLayout section (found Trees=1, PredictorLayout=0)")
    with pytest.raises(RuntimeError, match="^" + STRICT_PREFIX):
        _kestrune.predictor_predict_batch_canonical_dense(legacy, rows.ravel().tolist(), 5, FEATURES)


def test_multiclass_artifacts_are_refused():
    data = multiclass_artifact(2, [0.0, 1.0], [[], []])
    with pytest.raises(RuntimeError, match="^use predict_batch_dense_multiclass for multi-class models$"):
        _kestrune.predictor_predict_batch_dense(data, [1.0, 2.0], 1, 2)
    with pytest.raises(RuntimeError) as error:
        _kestrune.predictor_predict_batch_canonical(data, [[1.0, 2.0]])
    assert str(error.value) == (
        STRICT_PREFIX + "contract violation: strict compatibility mode requires exactly one Trees and one "
        "PredictorLayout section (found Trees=0, PredictorLayout=1)")


@pytest.mark.parametrize("function", ROW_FUNCTIONS)
def test_arguments_are_converted_before_the_artifact_is_read(function):
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`") as error:
        function(b"not an artifact", "abc")
    assert error.value.__notes__ == ["while processing 'rows'"]
    with pytest.raises(TypeError):
        function(bytearray(b"KSTR"), [[1.0]])
    with pytest.raises(RuntimeError) as error:
        function(b"KSTR", [])
    message = "serialization error: artifact too small to contain model header"
    expected = message if function is _kestrune.predictor_predict_batch else STRICT_PREFIX + "core error: " + message
    assert str(error.value) == expected


@pytest.mark.parametrize("row_function, dense_function", list(zip(ROW_FUNCTIONS, DENSE_FUNCTIONS)))
def test_prediction_input_errors_are_value_errors(artifact, row_function, dense_function):
    with pytest.raises(ValueError, match="^feature length 1 does not match model feature_count 4$"):
        row_function(artifact, [[1.0] * FEATURES, [1.0]])
    with pytest.raises(ValueError, match=r"^values length 7 does not match row_count \* feature_count 8$"):
        dense_function(artifact, [1.0] * 7, 2, FEATURES)


def test_a_trained_model_scores_identically_through_every_form():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(400, FEATURES)).astype(np.float32)
    y = (2.0 * x[:, 0] - x[:, 1] + 0.5 * x[:, 2] * x[:, 3]).astype(np.float32)
    result = _kestrune.train_regression_artifact_with_summary(x.tolist(), y.tolist(), 0.3, 4, 1.0, 1.0, 0.0, 7, True,
                                                              rounds=20)
    artifact = result.artifact_bytes
    mins, maxs = result.continuous_binning_metadata.feature_mins, result.continuous_binning_metadata.feature_maxs
    bins = np.asarray([[linear_bin(v, mins[f], maxs[f], 254) for f, v in enumerate(row)] for row in x.tolist()],
                      dtype=np.float32)
    n = len(bins)
    handle = Handle(artifact)
    expected = handle.predict_numpy(bins)
    assert handle.predict_dense_quantized_linear(x.ravel().tolist(), n, FEATURES, mins, maxs) == expected
    assert handle.predict_dense_quantized_linear_bytes(x.tobytes(), n, FEATURES, mins, maxs) == expected
    for function in ROW_FUNCTIONS:
        assert function(artifact, bins.tolist()) == expected
    for function in DENSE_FUNCTIONS:
        assert function(artifact, bins.ravel().tolist(), n, FEATURES) == expected
    # The model learned the target on its own training rows.
    assert np.mean((np.asarray(expected) - y) ** 2) < 0.5 * np.var(y)
