"""train_regression_artifact_with_summary end to end: every single-output objective, the summary
against the artifact, and warm starts."""

import math

import numpy as np
import pytest

import _kestrune
from artifact_builder import Stump, multiclass_artifact, single_output_artifact
from conftest import fit, predict

rng = np.random.default_rng(0)
X = rng.normal(size=(120, 3)).astype(np.float32)
Y = (1.5 * X[:, 0] - X[:, 1] + 0.1 * rng.normal(size=120)).astype(np.float32)
GROUPS = [i // 12 for i in range(len(Y))]
RELEVANCE = np.clip(np.round(Y + 2), 0, 4).astype(np.float32)

OBJECTIVES = [
    ("squared_error", Y, {}),
    ("binary_crossentropy", (Y > 0).astype(np.float32), {}),
    ("poisson", np.round(np.abs(Y) * 2), {}),
    ("gamma", np.abs(Y) + 0.5, {}),
    ("tweedie", np.abs(Y), dict(tweedie_variance_power=1.3)),
    ("queryrmse", Y, dict(group_id=GROUPS)),
    ("rank_pairwise", RELEVANCE, dict(group_id=GROUPS)),
    ("rank_ndcg", RELEVANCE, dict(group_id=GROUPS)),
    ("rank_xendcg", RELEVANCE, dict(group_id=GROUPS)),
    ("yetirank", RELEVANCE, dict(group_id=GROUPS)),
]


@pytest.mark.parametrize("objective, targets, extra", OBJECTIVES, ids=[o[0] for o in OBJECTIVES])
def test_every_single_output_objective_trains(objective, targets, extra):
    summary = fit(X, targets.astype(np.float32), objective=objective, **extra).summary
    assert (summary.objective, summary.rounds_requested) == (objective, 8)
    assert 1 <= summary.rounds_completed == len(summary.train_loss) == len(summary.diagnostics_per_round) <= 8
    assert summary.train_rmse == pytest.approx([math.sqrt(max(v, 0.0)) for v in summary.train_loss], rel=1e-6,
                                               abs=1e-7)
    for round_ in summary.diagnostics_per_round:
        assert round_.gradient_l2_norm >= 0.0 and round_.hessian_l2_norm > 0.0
        assert round_.n_active_rows == len(X) and round_.n_active_features == X.shape[1]
    assert summary.validation_loss == [] and summary.best_validation_round is None


def test_warm_start_continues_the_earlier_model():
    first = fit(X, Y, rounds=4)
    continued = fit(X, Y, rounds=4, init_artifact_bytes=first.artifact_bytes)
    summary = continued.summary
    assert summary.rounds_completed == 4 and summary.train_loss[0] < first.summary.train_loss[-1]
    assert np.mean((predict(continued, X) - Y) ** 2) == pytest.approx(summary.train_loss[-1], rel=1e-5)
    # Continuing is training on: eight rounds in two calls match eight rounds in one.
    straight = fit(X, Y, rounds=8)
    assert summary.train_loss[-1] == pytest.approx(straight.summary.train_loss[-1], rel=1e-5)
    assert np.mean((predict(straight, X) - Y) ** 2) == pytest.approx(straight.summary.train_loss[-1], rel=1e-5)
    # Row sampling draws from the seed alone when deterministic is set.
    sampled = [fit(X, Y, rounds=4, row_subsample=0.7).artifact_bytes for _ in range(2)]
    assert sampled[0] == sampled[1]
    with pytest.raises(ValueError, match="^init_model feature_count 3 does not match training data feature_count 4$"):
        fit(np.hstack([X, X[:, :1]]), Y, init_artifact_bytes=first.artifact_bytes)


# Two records of one tree with the same node id: an artifact the predictor refuses. A warm start
# from it would write those records back beside the new trees, so it is refused before training
# with the predictor's own exception.
@pytest.mark.parametrize("init, options, message", [
    (single_output_artifact(3, [Stump(0, 0, 0, 3, 0.5, -0.5), Stump(0, 1, 1, 2, 0.25, -0.25),
                                Stump(0, 1, 2, 5, 0.125, -0.125)]),
     {}, "tree 0 contains duplicate local node_id 1"),
    (multiclass_artifact(3, [0.0, 0.0], [[Stump(0, 0, 0, 3, 0.5, -0.5)],
                                        [Stump(1, 0, 1, 2, 0.25, -0.25), Stump(1, 0, 2, 5, 0.125, -0.125)]]),
     dict(objective="multiclass_softmax", num_classes=2), "tree 1 contains duplicate local node_id 0"),
])
def test_warm_start_refuses_an_artifact_the_predictor_refuses(init, options, message):
    for body in (lambda: _kestrune.NativePredictorHandle(init, strict=False),
                 lambda: fit(X, (Y > 0).astype(np.float32), init_artifact_bytes=init, **options)):
        with pytest.raises(RuntimeError) as info:
            body()
        assert (type(info.value), str(info.value)) == (RuntimeError, message)
