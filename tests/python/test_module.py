"""Module start-up, registration order, text signatures and the result classes."""

import inspect

import pytest

import _kestrune

CLASSES = [
    "NativeRuntimeInfo",
    "NativePredictorHandle",
    "JointPredictorHandle",
    "NativeContinuousBinningMetadata",
    "NativeTrainingSummary",
    "NativeTrainingResult",
    "NativeIterationDiagnostics",
]
FUNCTIONS = [
    "native_runtime_info",
    "predictor_predict_batch",
    "predictor_predict_batch_dense",
    "predictor_predict_batch_canonical",
    "predictor_predict_batch_canonical_dense",
    "shap_explain_rows",
    "shap_explain_rows_dense",
    "shap_explain_interactions",
    "shap_explain_interactions_dense",
    "shap_explain_interactions_with_binning",
    "shap_explain_interactions_dense_with_binning",
    "shap_global_importance",
    "shap_global_importance_dense",
    "shap_explain_rows_with_binning",
    "shap_explain_rows_dense_with_binning",
    "shap_global_importance_with_binning",
    "shap_global_importance_dense_with_binning",
    "shap_explain_rows_multi",
    "shap_explain_rows_dense_multi",
    "shap_explain_interactions_multi",
    "shap_explain_interactions_dense_multi",
    "shap_explain_rows_with_binning_multi",
    "shap_explain_rows_dense_with_binning_multi",
    "shap_explain_interactions_with_binning_multi",
    "shap_explain_interactions_dense_with_binning_multi",
    "train_regression_artifact",
    "train_regression_artifact_dense",
    "train_regression_artifact_with_summary",
    "train_regression_artifact_dense_with_summary",
    "train_regression_artifact_dense_with_summary_bytes",
    "train_joint_multi_label_ranker",
]
RESULT_CLASSES = [
    "NativeContinuousBinningMetadata",
    "NativeTrainingSummary",
    "NativeTrainingResult",
    "NativeIterationDiagnostics",
]
BINNING_PARAMETERS = ["binning_kind", "feature_mins", "feature_maxs", "max_data_bin", "feature_cuts",
                      "linear_rank_per_feature"]


def test_all_lists_what_is_registered_in_the_fixed_order():
    names = _kestrune.__all__
    assert all(isinstance(name, str) for name in names)
    assert len(set(names)) == len(names)
    # Classes first, then functions, each in its fixed order; positions not built yet are absent.
    full = CLASSES + FUNCTIONS
    assert names == [name for name in full if name in names]
    assert {"NativeRuntimeInfo", "native_runtime_info", *RESULT_CLASSES} <= set(names)
    for name in names:
        assert getattr(_kestrune, name).__name__ == name
    assert _kestrune.__doc__ == ""


def test_every_function_has_a_text_signature_and_accepts_keywords():
    for name in _kestrune.__all__:
        if name not in FUNCTIONS:
            continue
        function = getattr(_kestrune, name)
        signature = inspect.signature(function)
        assert function.__text_signature__ is not None
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
        if "_with_binning" in name:
            binning = list(signature.parameters)[-6:]
            assert binning == BINNING_PARAMETERS
            assert [signature.parameters[p].default for p in binning[1:]] == [None] * 5


def test_runtime_info_values():
    info = _kestrune.native_runtime_info()
    assert (info.name, info.version) == ("kestrune", "0.12.10")
    assert _kestrune.NativeRuntimeInfo().version == "0.12.10"
    assert type(info) is _kestrune.NativeRuntimeInfo
    assert _kestrune.NativeRuntimeInfo.__doc__ == ""
    assert _kestrune.NativeRuntimeInfo.__text_signature__ == "()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "NativeRuntimeInfo() takes 0 positional arguments but 1 was given"),
        ((), {"x": 1}, "NativeRuntimeInfo() got an unexpected keyword argument 'x'"),
    ],
)
def test_runtime_info_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        _kestrune.NativeRuntimeInfo(*args, **kwargs)


def test_runtime_info_function_takes_no_arguments():
    with pytest.raises(TypeError):
        _kestrune.native_runtime_info(1)
    assert _kestrune.native_runtime_info.__text_signature__ == "()"
    assert str(inspect.signature(_kestrune.native_runtime_info)) == "()"


@pytest.mark.parametrize("name", ["NativeRuntimeInfo", *RESULT_CLASSES])
def test_classes_are_final_without_dict_or_weakref(name):
    cls = getattr(_kestrune, name)
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "_kestrune"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("name", RESULT_CLASSES)
def test_result_classes_cannot_be_instantiated(name):
    with pytest.raises(TypeError):
        getattr(_kestrune, name)()


def test_result_class_attributes_are_read_only_getters():
    summary = _kestrune.NativeTrainingSummary
    expected = ["rounds_requested", "rounds_completed", "best_validation_round", "best_validation_loss",
                "train_rmse", "validation_rmse", "train_loss", "validation_loss", "objective", "stop_reason",
                "bridge_prepare_seconds", "native_train_seconds", "custom_metric_values", "custom_metric_name",
                "diagnostics_per_round"]
    for name in expected:
        descriptor = summary.__dict__[name]
        assert inspect.isgetsetdescriptor(descriptor)
    assert summary.train_loss.__doc__ == "Raw objective loss per completed round (no sqrt transform)."
    assert _kestrune.NativeTrainingResult.native_cat_mappings.__doc__.startswith(
        "Per-feature category\u2192ID mappings for native categorical splits.\n")
    assert _kestrune.NativeIterationDiagnostics.neutralization_effectiveness.__doc__ == (
        "`1 - projected_l2 / original_l2`, clamped to `[0, 1]`.  Higher means\n"
        "more gradient signal was projected away.")
    assert summary.__doc__ is None
    assert _kestrune.NativeIterationDiagnostics.__doc__


def test_runtime_info_is_read_only():
    info = _kestrune.native_runtime_info()
    with pytest.raises(AttributeError):
        info.name = "other"
    with pytest.raises(AttributeError):
        info.extra = 1
    with pytest.raises(TypeError):
        _kestrune.NativeRuntimeInfo.name = "x"
