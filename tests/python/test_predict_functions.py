"""The one-shot prediction functions, and every input form on a trained model."""

import numpy as np
import pytest

import _kestrune
from artifact_builder import linear_bin, multiclass_artifact, random_forest, single_output_artifact
from conftest import fit

K = _kestrune
FEATURES = 4
STRICT = "canonical predictor path requires strict dual-section artifact: "
ROW_FUNCTIONS = [K.predictor_predict_batch, K.predictor_predict_batch_canonical]
DENSE_FUNCTIONS = [K.predictor_predict_batch_dense, K.predictor_predict_batch_canonical_dense]
FOREST = random_forest(np.random.default_rng(21), tree_count=70, feature_count=FEATURES, depth=4)
ARTIFACT = single_output_artifact(FEATURES, FOREST, -0.5)
LEGACY = single_output_artifact(FEATURES, FOREST, -0.5, with_layout=False)
MULTICLASS = multiclass_artifact(2, [0.0, 1.0], [[], []])
ROWS = np.random.default_rng(9).integers(0, 14, size=(5, FEATURES)).astype(np.float32).tolist()


def test_legacy_artifacts_score_through_the_plain_functions_keywords_in_any_order():
    assert K.predictor_predict_batch(LEGACY, ROWS) == K.predictor_predict_batch_canonical(rows=ROWS,
                                                                                         artifact_bytes=ARTIFACT)
    assert K.predictor_predict_batch_dense(feature_count=FEATURES, row_count=5, values=sum(ROWS, []),
                                           artifact_bytes=LEGACY) == K.predictor_predict_batch(ARTIFACT, ROWS)


TOO_SMALL = "serialization error: artifact too small to contain model header"
LAYOUT = "contract violation: strict compatibility mode requires exactly one Trees and one PredictorLayout section " \
    "(found Trees="


@pytest.mark.parametrize("call, error, message", [
    (lambda: K.predictor_predict_batch_canonical(LEGACY, ROWS), RuntimeError, STRICT + LAYOUT + "1, Predictor"),
    (lambda: K.predictor_predict_batch_dense(MULTICLASS, [1.0, 2.0], 1, 2), RuntimeError,
     "use predict_batch_dense_multiclass for multi-class models"),
    # Arguments are converted before the artifact is read.
    (lambda: K.predictor_predict_batch(b"not an artifact", "abc"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda: K.predictor_predict_batch(b"KSTR", []), RuntimeError, TOO_SMALL),
    (lambda: K.predictor_predict_batch_canonical(b"KSTR", []), RuntimeError, STRICT + "core error: " + TOO_SMALL),
    (lambda: K.predictor_predict_batch(ARTIFACT, [[1.0] * FEATURES, [1.0]]), ValueError,
     "feature length 1 does not match model feature_count 4"),
    (lambda: K.predictor_predict_batch_canonical_dense(ARTIFACT, [1.0] * 7, 2, FEATURES), ValueError,
     "values length 7 does not match row_count * feature_count 8"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message or "")


def test_a_trained_model_scores_identically_through_every_form():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(400, FEATURES)).astype(np.float32)
    y = (2.0 * x[:, 0] - x[:, 1] + 0.5 * x[:, 2] * x[:, 3]).astype(np.float32)
    result = fit(x.tolist(), y.tolist(), rounds=20, max_depth=4, seed=7)
    artifact = result.artifact_bytes
    mins, maxs = result.continuous_binning_metadata.feature_mins, result.continuous_binning_metadata.feature_maxs
    bins = np.asarray([[linear_bin(v, mins[f], maxs[f], 254) for f, v in enumerate(row)] for row in x.tolist()],
                      dtype=np.float32)
    n = len(bins)
    handle = K.NativePredictorHandle(artifact)
    expected = handle.predict_numpy(bins)
    assert handle.predict_dense_quantized_linear(x.ravel().tolist(), n, FEATURES, mins, maxs) == expected
    assert handle.predict_dense_quantized_linear_bytes(x.tobytes(), n, FEATURES, mins, maxs) == expected
    for function in ROW_FUNCTIONS:
        assert function(artifact, bins.tolist()) == expected
    for function in DENSE_FUNCTIONS:
        assert function(artifact, bins.ravel().tolist(), n, FEATURES) == expected
    # The model learned the target on its own training rows.
    assert np.mean((np.asarray(expected) - y) ** 2) < 0.5 * np.var(y)
