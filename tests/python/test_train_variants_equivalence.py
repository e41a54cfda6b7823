"""The same data given as rows, as a flat list, as a numpy array and as float32 bytes trains the
same model, bit for bit; the artifact-only functions return the artifact of their summary twin."""

import numpy as np
import pytest

import _kestrune
from conftest import as_bytes, as_flat, as_rows

SETTINGS = dict(learning_rate=0.3, max_depth=3, row_subsample=1.0, col_subsample=1.0, min_validation_improvement=0.0,
                seed=11, deterministic=True)


def data(rows=80, features=3, seed=0, special=False, positive=False):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features)).astype(np.float32)
    y = (1.5 * x[:, 0] - x[:, 1] + 0.1 * rng.normal(size=rows)).astype(np.float32)
    if special:
        # Missing values, negative zeros and subnormals must reach the quantizer unchanged.
        x[::7, 0] = np.nan
        x[1::5, 1] = -0.0
        x[2::9, 2] = np.float32(1e-40)
    return x, (np.abs(y) if positive else y)


def as_array(x, y, prefix=""):
    """float32 arrays, which the functions read in place."""
    return {**as_flat(x, y, prefix), f"{prefix}values": np.asarray(x, dtype=np.float32).ravel(),
            f"{prefix}targets": np.asarray(y, dtype=np.float32)}


SUMMARY_FORMS = [
    (_kestrune.train_regression_artifact_with_summary, as_rows),
    (_kestrune.train_regression_artifact_dense_with_summary, as_flat),
    (_kestrune.train_regression_artifact_dense_with_summary, as_array),
    (_kestrune.train_regression_artifact_dense_with_summary_bytes, as_bytes),
]
ARTIFACT_FORMS = [
    (_kestrune.train_regression_artifact, as_rows),
    (_kestrune.train_regression_artifact_dense, as_flat),
    (_kestrune.train_regression_artifact_dense, as_array),
]
TIMINGS = {"bridge_prepare_seconds", "native_train_seconds"}


def fields(record):
    """Every field of a result record but the timings, nested records and lists of them included."""
    if isinstance(record, list) and record and type(record[0]).__module__ == "_kestrune":
        return [fields(item) for item in record]
    if type(record).__module__ != "_kestrune":
        return record
    return {name: fields(getattr(record, name)) for name in dir(record)
            if not name.startswith("_") and name not in TIMINGS}


def assert_every_form_alike(x, y, validation=None, **options):
    """Every summary form gives the same result, field by field, and every artifact-only form (when
    there is no validation set) the same artifact."""
    results = []
    for function, form in SUMMARY_FORMS + ([] if validation else ARTIFACT_FORMS):
        given = form(x.tolist(), y.tolist())
        if validation is not None:
            given.update(form(validation[0].tolist(), validation[1].tolist(), prefix="validation_"))
        results.append(function(**given, **SETTINGS, **options))
    summaries, artifacts = results[:len(SUMMARY_FORMS)], results[len(SUMMARY_FORMS):]
    assert all(fields(result) == fields(summaries[0]) for result in summaries[1:])
    assert all(type(artifact) is bytes and artifact == summaries[0].artifact_bytes for artifact in artifacts)
    return summaries[0]


@pytest.mark.parametrize("dataset, options", [
    (dict(), dict(rounds=5)),
    (dict(special=True), dict(rounds=5)),
    (dict(seed=2), dict(rounds=4, continuous_binning_strategy="quantile", store_node_stats=True)),
    (dict(seed=3), dict(rounds=4, continuous_binning_strategy="rank", training_policy="manual",
                        continuous_binning_max_bins=300)),
    (dict(seed=4), dict(rounds=4, boosting_mode="goss", goss_top_rate=0.3, goss_other_rate=0.2)),
    (dict(seed=5), dict(rounds=3, leaf_solver="dro", dro_radius=0.1, objective="binary_crossentropy")),
    # The artifact-only functions' tweedie default is the summary functions' one.
    (dict(seed=6, positive=True), dict(rounds=3, objective="tweedie")),
    (dict(rows=40), dict(rounds=3, neutralization="per_round_gradient", factor_exposure_values=[1.0] * 40,
                         factor_exposure_row_count=40, factor_exposure_factor_count=1,
                         time_index=list(range(40)))),
])
def test_every_form_trains_the_same_model(dataset, options):
    x, y = data(**dataset)
    if options.get("objective") == "binary_crossentropy":
        y = (y > 0).astype(np.float32)
    assert_every_form_alike(x, y, **options)


@pytest.mark.parametrize("options", [
    dict(rounds=40, early_stopping_rounds=2),
    dict(rounds=4, sample_weights=[1.0, 2.0] * 30, validation_sample_weights=[0.5] * 20),
])
def test_every_summary_form_scores_the_same_validation_set(options):
    x, y = data(rows=80, seed=7)
    summary = assert_every_form_alike(x[:60], y[:60], validation=(x[60:], y[60:]), **options).summary
    assert len(summary.validation_loss) == summary.rounds_completed
    assert summary.best_validation_round == int(np.argmin(summary.validation_loss))
    assert summary.best_validation_loss == pytest.approx(min(summary.validation_loss))


def test_rounds_beyond_the_cap_train_as_the_cap():
    x, y = data(rows=30, features=2, seed=8)
    flat = dict(as_flat(x.tolist(), y.tolist()), **dict(SETTINGS, learning_rate=0.01, max_depth=1))
    capped = _kestrune.train_regression_artifact_dense_with_summary(**flat, rounds=5000)
    assert capped.summary.rounds_requested == 4096
    assert _kestrune.train_regression_artifact_dense(**flat, rounds=5000) == capped.artifact_bytes
    assert _kestrune.train_regression_artifact_dense(**flat, rounds=4096) == capped.artifact_bytes

