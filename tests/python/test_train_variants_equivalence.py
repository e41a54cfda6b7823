"""The same data given as rows, as a flat list, as a numpy array and as float32 bytes trains the
same model, bit for bit; the artifact-only functions return the artifact of their summary twin."""

import struct

import numpy as np
import pytest

import _kestrune

SETTINGS = dict(learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0, min_validation_improvement=0.0,
                seed=11, deterministic=True)


def data(rows=80, features=3, seed=0, special=False):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features)).astype(np.float32)
    y = (1.5 * x[:, 0] - x[:, 1] + 0.1 * rng.normal(size=rows)).astype(np.float32)
    if special:
        # Missing values, negative zeros and subnormals must reach the quantizer unchanged.
        x[::7, 0] = np.nan
        x[1::5, 1] = -0.0
        x[2::9, 2] = np.float32(1e-40)
    return x, y


def f32_bytes(values):
    values = np.asarray(values, dtype=np.float32)
    return struct.pack(f"<{values.size}f", *values.ravel().tolist())


def as_rows(x, y, prefix=""):
    return {f"{prefix}rows": x.tolist(), f"{prefix}targets": y.tolist()}


def as_flat_list(x, y, prefix=""):
    count = "validation_row_count" if prefix else "row_count"
    extra = {} if prefix else {"feature_count": x.shape[1]}
    return {f"{prefix}values": x.ravel().tolist(), count: x.shape[0], **extra, f"{prefix}targets": y.tolist()}


def as_flat_array(x, y, prefix=""):
    given = as_flat_list(x, y, prefix)
    given[f"{prefix}values"] = x.ravel()
    given[f"{prefix}targets"] = y
    return given


def as_bytes(x, y, prefix=""):
    given = as_flat_list(x, y, prefix)
    given[f"{prefix}values_bytes"] = f32_bytes(given.pop(f"{prefix}values"))
    given[f"{prefix}targets_bytes"] = f32_bytes(given.pop(f"{prefix}targets"))
    return given


SUMMARY_FORMS = [
    (_kestrune.train_regression_artifact_with_summary, as_rows),
    (_kestrune.train_regression_artifact_dense_with_summary, as_flat_list),
    (_kestrune.train_regression_artifact_dense_with_summary, as_flat_array),
    (_kestrune.train_regression_artifact_dense_with_summary_bytes, as_bytes),
]
ARTIFACT_FORMS = [
    (_kestrune.train_regression_artifact, as_rows),
    (_kestrune.train_regression_artifact_dense, as_flat_list),
    (_kestrune.train_regression_artifact_dense, as_flat_array),
]
TIMINGS = {"bridge_prepare_seconds", "native_train_seconds"}


def summary_fields(summary):
    fields = {name: getattr(summary, name) for name in dir(summary)
              if not name.startswith("_") and name not in TIMINGS}
    fields["diagnostics_per_round"] = [
        {name: getattr(d, name) for name in dir(d) if not name.startswith("_")}
        for d in summary.diagnostics_per_round]
    return fields


def metadata_fields(metadata):
    return {name: getattr(metadata, name) for name in dir(metadata) if not name.startswith("_")}


def train_every_form(x, y, validation=None, artifact_only=True, **options):
    """The results of every summary form, and the artifacts of every artifact-only form."""
    summaries = []
    for function, form in SUMMARY_FORMS:
        given = form(x, y)
        if validation is not None:
            given.update(form(*validation, prefix="validation_"))
        summaries.append(function(**given, **SETTINGS, **options))
    artifacts = []
    if artifact_only:
        for function, form in ARTIFACT_FORMS:
            artifacts.append(function(**form(x, y), **SETTINGS, **options))
    return summaries, artifacts


def assert_all_alike(summaries, artifacts):
    first = summaries[0]
    assert first.artifact_bytes[:4] == b"KSTR"
    for result in summaries[1:]:
        assert result.artifact_bytes == first.artifact_bytes
        assert summary_fields(result.summary) == summary_fields(first.summary)
        assert metadata_fields(result.continuous_binning_metadata) == metadata_fields(
            first.continuous_binning_metadata)
        assert result.native_cat_mappings == first.native_cat_mappings
    for artifact in artifacts:
        assert type(artifact) is bytes
        assert artifact == first.artifact_bytes


@pytest.mark.parametrize(
    "dataset, options",
    [
        (dict(), dict(rounds=5)),
        (dict(special=True), dict(rounds=5)),
        (dict(seed=2), dict(rounds=4, continuous_binning_strategy="quantile", store_node_stats=True)),
        (dict(seed=3), dict(rounds=4, continuous_binning_strategy="rank", training_policy="manual",
                            continuous_binning_max_bins=300)),
        (dict(seed=4), dict(rounds=4, boosting_mode="goss", goss_top_rate=0.3, goss_other_rate=0.2)),
        (dict(seed=5), dict(rounds=3, leaf_solver="dro", dro_radius=0.1, objective="binary_crossentropy")),
        (dict(rows=40), dict(rounds=3, neutralization="per_round_gradient", factor_exposure_values=[1.0] * 40,
                             factor_exposure_row_count=40, factor_exposure_factor_count=1,
                             time_index=list(range(40)))),
    ],
)
def test_every_form_trains_the_same_model(dataset, options):
    x, y = data(**dataset)
    if options.get("objective") == "binary_crossentropy":
        y = (y > 0).astype(np.float32)
    assert_all_alike(*train_every_form(x, y, **options))


def test_tweedie_and_quantile_defaults_are_those_of_the_summary_functions():
    x, y = data(seed=6)
    y = np.abs(y)
    summaries, artifacts = train_every_form(x, y, rounds=3, objective="tweedie")
    assert_all_alike(summaries, artifacts)
    explicit = _kestrune.train_regression_artifact(**as_rows(x, y), **SETTINGS, rounds=3, objective="tweedie",
                                                   tweedie_variance_power=1.5)
    assert explicit == artifacts[0]


@pytest.mark.parametrize(
    "options",
    [
        dict(rounds=40, early_stopping_rounds=2),
        dict(rounds=4, sample_weights=[1.0, 2.0] * 30, validation_sample_weights=[0.5] * 20),
    ],
)
def test_every_summary_form_scores_the_same_validation_set(options):
    x, y = data(rows=80, seed=7)
    summaries, _ = train_every_form(x[:60], y[:60], validation=(x[60:], y[60:]), artifact_only=False, **options)
    assert_all_alike(summaries, [])
    assert len(summaries[0].summary.validation_loss) == summaries[0].summary.rounds_completed


def test_rounds_beyond_the_cap_train_as_the_cap():
    x, y = data(rows=30, features=2, seed=8)
    flat = dict(as_flat_list(x, y), **dict(SETTINGS, learning_rate=0.01, max_depth=1))
    capped = _kestrune.train_regression_artifact_dense_with_summary(**flat, rounds=5000)
    assert capped.summary.rounds_requested == 4096
    assert _kestrune.train_regression_artifact_dense(**flat, rounds=5000) == capped.artifact_bytes
    assert _kestrune.train_regression_artifact_dense(**flat, rounds=4096) == capped.artifact_bytes

