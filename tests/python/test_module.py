"""Module start-up: registration order, text signatures and the shape of the exposed classes."""

import inspect

import pytest

import _kestrune

CLASSES = ["NativeRuntimeInfo", "NativePredictorHandle", "JointPredictorHandle", "NativeContinuousBinningMetadata",
           "NativeTrainingSummary", "NativeTrainingResult", "NativeIterationDiagnostics"]
FUNCTIONS = ["native_runtime_info", "predictor_predict_batch", "predictor_predict_batch_dense",
             "predictor_predict_batch_canonical", "predictor_predict_batch_canonical_dense", "shap_explain_rows",
             "shap_explain_rows_dense", "shap_explain_interactions", "shap_explain_interactions_dense",
             "shap_explain_interactions_with_binning", "shap_explain_interactions_dense_with_binning",
             "shap_global_importance", "shap_global_importance_dense", "shap_explain_rows_with_binning",
             "shap_explain_rows_dense_with_binning", "shap_global_importance_with_binning",
             "shap_global_importance_dense_with_binning", "shap_explain_rows_multi", "shap_explain_rows_dense_multi",
             "shap_explain_interactions_multi", "shap_explain_interactions_dense_multi",
             "shap_explain_rows_with_binning_multi", "shap_explain_rows_dense_with_binning_multi",
             "shap_explain_interactions_with_binning_multi", "shap_explain_interactions_dense_with_binning_multi",
             "train_regression_artifact", "train_regression_artifact_dense",
             "train_regression_artifact_with_summary", "train_regression_artifact_dense_with_summary",
             "train_regression_artifact_dense_with_summary_bytes", "train_joint_multi_label_ranker"]
RESULT_CLASSES = ["NativeContinuousBinningMetadata", "NativeTrainingSummary", "NativeTrainingResult",
                  "NativeIterationDiagnostics"]
# The training functions' signatures are checked with their parameter tables in test_train_variants.
SIGNATURES = {
    "NativeRuntimeInfo": "()",
    "NativePredictorHandle": "(artifact_bytes, strict=True)",
    "JointPredictorHandle": "(artifact_bytes, baselines, feature_count)",
    "native_runtime_info": "()",
    "predictor_predict_batch": "(artifact_bytes, rows)",
    "predictor_predict_batch_dense": "(artifact_bytes, values, row_count, feature_count)",
    "predictor_predict_batch_canonical": "(artifact_bytes, rows)",
    "predictor_predict_batch_canonical_dense": "(artifact_bytes, values, row_count, feature_count)",
}
_R, _D = "artifact_bytes, rows", "artifact_bytes, values, row_count, feature_count"
_B = (", binning_kind, feature_mins=None, feature_maxs=None, max_data_bin=None, feature_cuts=None, "
      "linear_rank_per_feature=None")
for _suffix, _params in [("", _R), ("_dense", _D), ("_with_binning", _R + _B), ("_dense_with_binning", _D + _B)]:
    SIGNATURES[f"shap_explain_rows{_suffix}"] = f"({_params})"
    SIGNATURES[f"shap_explain_rows{_suffix}_multi"] = f"({_params})"
    SIGNATURES[f"shap_explain_interactions{_suffix}"] = f"({_params})"
    SIGNATURES[f"shap_explain_interactions{_suffix}_multi"] = f"({_params})"
    SIGNATURES[f"shap_global_importance{_suffix}"] = f"({_params})"


def test_all_lists_what_is_registered_in_the_fixed_order():
    names = _kestrune.__all__
    # Classes first, then functions, each in its fixed order; positions not built yet are absent.
    assert names == [name for name in CLASSES + FUNCTIONS if name in names]
    assert set(SIGNATURES) | set(RESULT_CLASSES) <= set(names)
    # Every position is built now: none may go missing.
    assert len(names) == len(CLASSES) + len(FUNCTIONS)
    for name in names:
        assert getattr(_kestrune, name).__name__ == name
    for name, signature in SIGNATURES.items():
        assert getattr(_kestrune, name).__text_signature__ == signature


def test_every_function_takes_its_parameters_by_position_or_keyword():
    for name in set(_kestrune.__all__) & set(FUNCTIONS):
        parameters = inspect.signature(getattr(_kestrune, name)).parameters.values()
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters), name


def test_runtime_info():
    info = _kestrune.native_runtime_info()
    assert type(info) is _kestrune.NativeRuntimeInfo
    assert (info.name, info.version) == ("kestrune", "0.12.10") == (info.name, _kestrune.NativeRuntimeInfo().version)
    with pytest.raises(TypeError, match=r"^NativeRuntimeInfo\(\) takes 0 positional arguments but 1 was given$"):
        _kestrune.NativeRuntimeInfo(1)
    with pytest.raises(TypeError, match=r"^NativeRuntimeInfo\(\) got an unexpected keyword argument 'x'$"):
        _kestrune.NativeRuntimeInfo(x=1)
    with pytest.raises(TypeError):
        _kestrune.native_runtime_info(1)
    with pytest.raises(AttributeError):
        info.name = "other"


@pytest.mark.parametrize("name", ["NativeRuntimeInfo", "NativePredictorHandle", "JointPredictorHandle",
                                  *RESULT_CLASSES])
def test_classes_are_final_without_dict_or_weakref(name):
    cls = getattr(_kestrune, name)
    assert cls.__bases__ == (object,) and cls.__module__ == "_kestrune"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
    if name in RESULT_CLASSES:
        with pytest.raises(TypeError):
            cls()
        # Results expose read-only getters only.
        getters = [value for key, value in vars(cls).items() if not key.startswith("__")]
        assert getters and all(inspect.isgetsetdescriptor(value) for value in getters)
