"""Joint fits against independent references: a one-output joint fit of depth-one trees grows the
stumps the single-output trainer grows, a resumed joint fit continues the straight one, and a
round's leaves hold what their rows' residuals say (a quantile, a Newton step)."""

import numpy as np
import pytest

import _kestrune
from artifact_builder import node_keys, stumps_of

ROWS = 300
RNG = np.random.default_rng(0)
X = RNG.integers(0, 16, (ROWS, 3)).astype(np.float32)  # whole numbers: taken as already binned
FLAT = X.ravel().tolist()
FACTORS = RNG.normal(size=(ROWS, 2)).astype(np.float32)
# Positive targets with a factor component, so every objective and the neutralization have work.
Y = (np.exp(X[:, 0] / 8 - X[:, 1] / 16) + 0.3 * np.abs(FACTORS[:, 0]) + RNG.gamma(2.0, 0.2, ROWS)).astype(np.float32)
EXPOSURES = dict(factor_exposure_values=FACTORS.ravel().tolist(), factor_exposure_row_count=ROWS,
                 factor_exposure_factor_count=2)
LOG_LINK = {"poisson", "gamma", "tweedie"}


def joint_scores(result):
    handle = _kestrune.JointPredictorHandle(result[0], result[1], 3)
    return np.array(handle.predict_dense(FLAT), dtype=np.float64).reshape(ROWS, handle.n_outputs)


def one_output_joint(objective, rounds=5, **kwargs):
    return _kestrune.train_joint_multi_label_ranker(FLAT, ROWS, 3, [Y.tolist()], 1, [objective], None, rounds, 0.5, 1,
                                                    1, 1, 0.0, 255, **kwargs)


def single_output_raw(objective, rounds=5, **kwargs):
    artifact = _kestrune.train_regression_artifact_dense(FLAT, ROWS, 3, Y.tolist(), 0.5, 1, 1.0, 1.0, 0.0, 1, True,
                                                         rounds=rounds, objective=objective,
                                                         training_policy="manual", **kwargs)
    scores = np.array(_kestrune.NativePredictorHandle(artifact).predict_dense(FLAT, ROWS, 3), dtype=np.float64)
    return np.log(scores) if objective in LOG_LINK else scores


def lower_quantile(values, alpha):
    # The smallest value with at least the share alpha (as the float32 the fit reads) at or below it.
    ordered = np.sort(np.asarray(values, dtype=np.float64))
    return ordered[int(np.ceil(float(np.float32(alpha)) * len(ordered))) - 1]


# (objective, settings, the first baseline computed in float64 from the targets, or None).
AGREEMENT = [
    ("poisson", {}, np.log(np.mean(Y, dtype=np.float64))),
    ("gamma", {}, np.log(np.mean(Y, dtype=np.float64))),
    ("tweedie", dict(tweedie_variance_power=1.3), np.log(np.mean(Y, dtype=np.float64))),
    ("quantile", dict(quantile_alpha=0.8), lower_quantile(Y, 0.8)),
    ("squared_error", dict(neutralization="pre_target", **EXPOSURES), None),
    ("squared_error", dict(leaf_solver="dro", dro_radius=0.2), None),
]


@pytest.mark.parametrize("objective, settings, baseline", AGREEMENT,
                         ids=["poisson", "gamma", "tweedie", "quantile", "pre_target", "dro"])
def test_one_output_joint_fit_grows_the_single_output_stumps(objective, settings, baseline):
    result = one_output_joint(objective, **settings)
    assert result[3] == 5
    scores = joint_scores(result)[:, 0]
    np.testing.assert_allclose(scores, single_output_raw(objective, **settings), rtol=0, atol=2e-6)
    if baseline is not None:
        assert result[1][0] == pytest.approx(baseline, rel=1e-6)
    # The objective or the setting is reached: without it the model differs.
    plain = joint_scores(one_output_joint("squared_error"))[:, 0]
    assert np.max(np.abs(scores - plain)) > 1e-3


def two_output_fit(rounds, **kwargs):
    targets = [Y.tolist(), (2.0 * X[:, 2] - Y).tolist()]
    return _kestrune.train_joint_multi_label_ranker(FLAT, ROWS, 3, targets, 2, ["squared_error"] * 2, None, rounds,
                                                    0.5, 7, 2, 5, 1.0, 255, **kwargs)


RESUMES = {
    "dart_tree": dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2),
    "dart_forest_weighted": dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=3,
                                 dart_normalize_type="forest", dart_sample_type="weighted"),
}


@pytest.mark.parametrize("count_given", [True, False], ids=["count_given", "count_omitted"])
@pytest.mark.parametrize("variant", list(RESUMES))
def test_a_resumed_joint_fit_continues_the_straight_fit(variant, count_given):
    settings = RESUMES[variant]
    whole = two_output_fit(8, **settings)
    first = two_output_fit(5, **settings)
    # Without a count the resume counts the prior's own trees.
    count = dict(init_rounds_completed=first[3]) if count_given else {}
    rest = two_output_fit(3, init_artifact_bytes=first[0], init_baselines=first[1], **count, **settings)
    # Every prior tree is kept under its own numbers and the new ones follow them.
    assert rest[3] == 8 and rest[1] == whole[1] and node_keys(rest[0]) == node_keys(whole[0])
    # A DART replay adds the earlier trees at their final weights in one pass, where the straight
    # fit reached them through drops and restores: the same model up to float32 rounding.
    np.testing.assert_allclose(joint_scores(rest), joint_scores(whole), rtol=0, atol=1e-5)
    assert np.max(np.abs(joint_scores(first) - joint_scores(whole))) > 1e-2


def last_tree_leaves(artifact, x):
    """Rows grouped by the leaf of the model's last tree that they reach (x holds no missing bins)."""
    stumps = stumps_of(artifact)
    tree = {s.local: s for s in stumps if s.tree == max(t.tree for t in stumps)}
    ends = []
    for row in x:
        node = 0
        while node in tree:
            node = 2 * node + (1 if row[tree[node].feature] <= tree[node].split_bin else 2)
        ends.append(node)
    ends = np.array(ends)
    return [np.flatnonzero(ends == leaf) for leaf in np.unique(ends)]


QUANTILE_X = np.random.default_rng(21).integers(0, 12, (240, 3)).astype(np.float32)
QUANTILE_Y = [
    (QUANTILE_X[:, 0] * 1.2 - QUANTILE_X[:, 1] + np.random.default_rng(22).normal(0, 1, 240)).astype(np.float32),
    (QUANTILE_X[:, 2] * 0.7 + np.random.default_rng(23).standard_t(3, 240)).astype(np.float32),
]


@pytest.mark.parametrize("growth", [dict(max_depth=2), dict(max_depth=4), dict(max_depth=6, tree_growth="leaf",
                                                                                max_leaves=7)],
                         ids=["depth2", "depth4", "leafwise"])
def test_a_joint_quantile_leaf_is_the_learning_rate_times_its_rows_quantile(growth):
    # One round from the baselines: a leaf's quantile value is 0.4 x the 0.25-quantile of its rows'
    # residuals, however deep the leaf lies.
    settings = dict(dict(max_depth=1, min_data_in_leaf=5, tree_growth="level"), **growth)
    result = _kestrune.train_joint_multi_label_ranker(
        QUANTILE_X.ravel().tolist(), 240, 3, [y.tolist() for y in QUANTILE_Y], 2, ["squared_error", "quantile"], None,
        1, 0.4, 1, settings.pop("max_depth"), settings.pop("min_data_in_leaf"), 0.0, 255, quantile_alpha=0.25,
        **settings)
    handle = _kestrune.JointPredictorHandle(result[0], result[1], 3)
    added = np.array(handle.predict_dense(QUANTILE_X.ravel().tolist())).reshape(240, 2)[:, 1] - result[1][1]
    leaves = last_tree_leaves(result[0], QUANTILE_X)
    assert len(leaves) >= 3
    residuals = QUANTILE_Y[1] - np.float32(result[1][1])
    for rows in leaves:
        expected = 0.4 * lower_quantile(residuals[rows], 0.25)
        np.testing.assert_allclose(added[rows], expected, rtol=0, atol=1e-5)


@pytest.mark.parametrize("prior_mode", [dict(boosting_mode="dart", dart_drop_rate=0.5, dart_max_drop=2), {}],
                         ids=["dart_prior", "standard_prior"])
def test_a_resume_fits_its_new_tree_to_the_prior_as_the_joint_predictor_scores_it(prior_mode):
    # A standard squared-error round gives each leaf the learning rate times its rows' Newton step
    # against the prior's scores, those of the returned model, whatever the prior's stored weights.
    prior = two_output_fit(4, **prior_mode)
    resumed = two_output_fit(1, init_artifact_bytes=prior[0], init_baselines=prior[1])
    added = joint_scores(resumed) - joint_scores(prior)
    residuals = np.stack([Y, 2.0 * X[:, 2] - Y], axis=1).astype(np.float64) - joint_scores(prior)
    for rows in last_tree_leaves(resumed[0], X):
        # lambda_l2 is 1: one more row's worth of hessian in the denominator.
        newton = 0.5 * residuals[rows].sum(axis=0) / (len(rows) + 1.0)
        np.testing.assert_allclose(added[rows], np.broadcast_to(newton, added[rows].shape), rtol=0, atol=2e-5)
