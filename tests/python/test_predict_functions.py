"""The one-shot prediction functions, and every input form on a trained model."""

import inspect

import numpy as np
import pytest

import _kestrune
from artifact_builder import (linear_bin, multiclass_artifact, random_forest, reference_raw_scores,
                              single_output_artifact)

Handle = _kestrune.NativePredictorHandle
FEATURES = 4
BASE = -0.5

SIGNATURES = {
    "predictor_predict_batch": "(artifact_bytes, rows)",
    "predictor_predict_batch_dense": "(artifact_bytes, values, row_count, feature_count)",
    "predictor_predict_batch_canonical": "(artifact_bytes, rows)",
    "predictor_predict_batch_canonical_dense": "(artifact_bytes, values, row_count, feature_count)",
}
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


def test_registration_and_text_signatures():
    names = _kestrune.__all__
    assert names.index("predictor_predict_batch") == names.index("native_runtime_info") + 1
    assert names[names.index("predictor_predict_batch"):][:4] == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        function = getattr(_kestrune, name)
        assert function.__text_signature__ == signature
        assert not function.__doc__
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
                   for p in inspect.signature(function).parameters.values())


@pytest.mark.parametrize("row_count", [3, 400])
def test_functions_equal_the_handle_and_the_reference(artifact, forest, row_count):
    rows = bin_rows(row_count)
    expected = reference_raw_scores(forest, BASE, rows.tolist())
    handle = Handle(artifact)
    results = [function(artifact, rows.tolist()) for function in ROW_FUNCTIONS]
    results += [function(artifact, rows.ravel().tolist(), row_count, FEATURES) for function in DENSE_FUNCTIONS]
    results += [handle.predict_batch(rows.tolist()), handle.predict_dense(rows.ravel().tolist(), row_count, FEATURES)]
    for result in results:
        assert type(result) is list
        assert np.array_equal(np.asarray(result, dtype=np.float32), expected)


def test_keywords_in_any_order(artifact):
    rows = bin_rows(2)
    expected = _kestrune.predictor_predict_batch(artifact, rows.tolist())
    assert _kestrune.predictor_predict_batch_canonical(rows=rows.tolist(), artifact_bytes=artifact) == expected
    assert _kestrune.predictor_predict_batch_dense(feature_count=FEATURES, row_count=2, values=rows.ravel().tolist(),
                                                   artifact_bytes=artifact) == expected


def test_legacy_artifacts_score_only_through_the_plain_functions(artifact, forest):
    legacy = single_output_artifact(FEATURES, forest, BASE, with_layout=False)
    rows = bin_rows(5)
    assert _kestrune.predictor_predict_batch(legacy, rows.tolist()) == _kestrune.predictor_predict_batch(
        artifact, rows.tolist())
    with pytest.raises(RuntimeError, match="^" + STRICT_PREFIX):
        _kestrune.predictor_predict_batch_canonical(legacy, rows.tolist())
    with pytest.raises(RuntimeError, match="^" + STRICT_PREFIX):
        _kestrune.predictor_predict_batch_canonical_dense(legacy, rows.ravel().tolist(), 5, FEATURES)


def test_multiclass_artifacts_are_refused():
    data = multiclass_artifact(2, [0.0, 1.0], [[], []])
    with pytest.raises(RuntimeError) as error:
        _kestrune.predictor_predict_batch(data, [[1.0, 2.0]])
    assert str(error.value) == "use predict_batch_multiclass for multi-class models"
    with pytest.raises(RuntimeError) as error:
        _kestrune.predictor_predict_batch_dense(data, [1.0, 2.0], 1, 2)
    assert str(error.value) == "use predict_batch_dense_multiclass for multi-class models"
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


@pytest.mark.parametrize("call, message", [
    (lambda f, a: f[0](a, []), "rows cannot be empty"),
    (lambda f, a: f[0](a, [[1.0] * FEATURES, [1.0]]), "feature length 1 does not match model feature_count 4"),
    (lambda f, a: f[1](a, [1.0] * 7, 2, FEATURES), "values length 7 does not match row_count * feature_count 8"),
    (lambda f, a: f[1](a, [1.0] * 6, 2, 3), "feature_count 3 does not match model feature_count 4"),
    (lambda f, a: f[1](a, [], 0, FEATURES), "row_count must be greater than 0"),
])
@pytest.mark.parametrize("functions", [(ROW_FUNCTIONS[0], DENSE_FUNCTIONS[0]), (ROW_FUNCTIONS[1], DENSE_FUNCTIONS[1])])
def test_prediction_input_errors_are_value_errors(artifact, functions, call, message):
    with pytest.raises(ValueError) as error:
        call(functions, artifact)
    assert str(error.value) == message


# --- a trained model --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def trained():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(400, FEATURES)).astype(np.float32)
    y = (2.0 * x[:, 0] - x[:, 1] + 0.5 * x[:, 2] * x[:, 3]).astype(np.float32)
    train = getattr(_kestrune, "train_regression_artifact_with_summary", None)
    if train is None:
        pytest.skip("training entry point not built")
    try:
        result = train(x.tolist(), y.tolist(), 0.3, 4, 1.0, 1.0, 0.0, 7, True, rounds=20)
    except RuntimeError as error:
        if "not available" in str(error):
            pytest.skip(str(error))
        raise
    return x, y, result


def test_trained_model_scores_identically_through_every_form(trained):
    x, y, result = trained
    artifact = result.artifact_bytes
    binning = result.continuous_binning_metadata
    mins, maxs = binning.feature_mins, binning.feature_maxs
    bins = np.asarray([[linear_bin(v, mins[f], maxs[f], 254) for f, v in enumerate(row)] for row in x.tolist()],
                      dtype=np.float32)
    n = len(bins)
    handle = Handle(artifact)
    expected = handle.predict_numpy(bins)
    assert handle.predict_batch(bins.tolist()) == expected
    assert handle.predict_dense(bins.ravel().tolist(), n, FEATURES) == expected
    assert handle.predict_numpy_array(bins).tolist() == expected
    assert handle.predict_dense_float_bytes(bins.tobytes(), n, FEATURES) == expected
    assert handle.predict_dense_quantized_linear(x.ravel().tolist(), n, FEATURES, mins, maxs) == expected
    assert handle.predict_dense_quantized_linear_bytes(x.tobytes(), n, FEATURES, mins, maxs) == expected
    for function in ROW_FUNCTIONS:
        assert function(artifact, bins.tolist()) == expected
    for function in DENSE_FUNCTIONS:
        assert function(artifact, bins.ravel().tolist(), n, FEATURES) == expected
    # The model learned the target on its own training rows.
    residual = np.asarray(expected) - y
    assert np.mean(residual ** 2) < 0.5 * np.var(y)
