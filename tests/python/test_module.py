"""Module start-up: what is registered, text signatures and the shape of the exposed classes."""

import inspect

import pytest

import _kestrune

RESULT_CLASSES = ["NativeContinuousBinningMetadata", "NativeTrainingSummary", "NativeTrainingResult",
                  "NativeIterationDiagnostics"]
CLASSES = ["NativeRuntimeInfo", "NativePredictorHandle", "JointPredictorHandle", *RESULT_CLASSES]
# The training functions' signatures are checked with their parameter table in test_train_arguments.
SIGNATURES = {
    "NativePredictorHandle": "(artifact_bytes, strict=True)",
    "JointPredictorHandle": "(artifact_bytes, baselines, feature_count)",
    "predictor_predict_batch_canonical_dense": "(artifact_bytes, values, row_count, feature_count)",
    "shap_explain_interactions_dense_with_binning_multi": "(artifact_bytes, values, row_count, feature_count, "
    "binning_kind, feature_mins=None, feature_maxs=None, max_data_bin=None, feature_cuts=None, "
    "linear_rank_per_feature=None)",
}


def test_all_lists_the_classes_first_then_the_functions_with_their_signatures():
    # Every function is called by the other tests; here __all__ names them, classes first.
    names = _kestrune.__all__
    assert names[:len(CLASSES)] == CLASSES
    assert len(names) == len(CLASSES) + 31 and len(set(names)) == len(names)
    for name in names:
        assert getattr(_kestrune, name).__name__ == name
    for name in names[len(CLASSES):]:
        parameters = inspect.signature(getattr(_kestrune, name)).parameters.values()
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters), name
    for name, signature in SIGNATURES.items():
        assert getattr(_kestrune, name).__text_signature__ == signature
    info = _kestrune.native_runtime_info()
    assert (info.name, info.version) == ("kestrune", "0.12.10") == (info.name, _kestrune.NativeRuntimeInfo().version)


def test_classes_are_final_without_dict_or_weakref_and_results_are_read_only():
    for name in CLASSES:
        cls = getattr(_kestrune, name)
        assert cls.__bases__ == (object,) and cls.__module__ == "_kestrune"
        assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        if name in RESULT_CLASSES:
            with pytest.raises(TypeError):
                cls()
            getters = [value for key, value in vars(cls).items() if not key.startswith("__")]
            assert getters and all(inspect.isgetsetdescriptor(value) for value in getters)
