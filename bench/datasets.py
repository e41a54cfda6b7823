"""Synthetic data sets of the library benchmark, generated from a fixed seed.

Each set is shaped like a public benchmark (size, feature kinds, task) without downloading it:
Higgs for binary classification, YearPredictionMSD for regression, a wide sparse-signal
classification set, a MSLR-like learning-to-rank set, and a regression set with a 30-level string
column. Features are float32, as every library
under test bins float32 values; targets are float32 too.
"""

from dataclasses import dataclass, field

import numpy as np

SEED = 20260601


@dataclass
class Split:
    x: np.ndarray  # float32, C-contiguous, rows x features
    y: np.ndarray  # float32
    group: np.ndarray | None = None  # query id per row (ranking), rows of a query contiguous


@dataclass
class DataSet:
    name: str
    task: str  # "binary", "regression" or "ranking"
    train: Split
    test: Split
    # Model shape and rounds; the same for every library.
    rounds: int
    growth: str  # "leaf" (best-first, max_leaves) or "level" (depth-wise, max_depth)
    max_leaves: int | None = None
    max_depth: int | None = None
    # Columns of x that hold a level id (0, 1, ...) standing for the string level_name(id).
    categorical: list[int] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def _f32(a):
    return np.ascontiguousarray(a, dtype=np.float32)


def _higgs_rows(rng, n):
    """28 columns: 21 kinematic (7 objects x transverse momentum, pseudorapidity, azimuth) and 7
    invariant-mass-like features derived from pairs of objects, as in the Higgs set."""
    pt = rng.lognormal(mean=0.0, sigma=0.55, size=(n, 7))
    eta = rng.normal(scale=1.1, size=(n, 7))
    phi = rng.uniform(-np.pi, np.pi, size=(n, 7))
    pairs = [(0, 1), (0, 2), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6)]
    masses = np.empty((n, 7))
    for k, (a, b) in enumerate(pairs):
        m2 = 2.0 * pt[:, a] * pt[:, b] * (np.cosh(eta[:, a] - eta[:, b]) - np.cos(phi[:, a] - phi[:, b]))
        masses[:, k] = np.sqrt(np.maximum(m2, 0.0))
    low = np.stack([pt, eta, phi], axis=2).reshape(n, 21)
    x = np.hstack([low, masses])
    # Signal: a resonance in two of the masses, a transverse-momentum balance and an angular
    # correlation, with label noise through a logistic draw.
    logit = (
        1.6 * np.exp(-((masses[:, 1] - 1.2) ** 2) / 0.18)
        + 1.1 * np.exp(-((masses[:, 4] - 0.9) ** 2) / 0.25)
        - 0.8 * np.abs(pt[:, 0] - pt[:, 1])
        + 0.6 * np.cos(phi[:, 0] - phi[:, 1]) * (np.abs(eta[:, 0]) < 1.0)
        + 0.35 * np.tanh(masses[:, 6] - masses[:, 5])
        - 0.9
    )
    y = (logit + rng.logistic(size=n) > 0).astype(np.float32)
    return _f32(x), y


def _regression_rows(rng, n, w_latent, w_mix):
    """90 correlated columns (12 'means' and 78 'covariances') driven by 10 latent factors; the
    target is a nonlinear function of the factors plus noise."""
    z = rng.normal(size=(n, 10))
    x = z @ w_latent + 0.4 * rng.normal(size=(n, 90))
    x[:, 12:] = np.sign(x[:, 12:]) * np.abs(x[:, 12:]) ** 1.5 * w_mix  # skewed covariance columns
    y = (
        2.0 * np.sin(z[:, 0]) + 1.5 * z[:, 1] * z[:, 2] + np.abs(z[:, 3]) * 1.2 + 0.8 * np.maximum(z[:, 4], 0.0) ** 2
        - 0.7 * z[:, 5] * (z[:, 6] > 0.3) + 0.5 * np.tanh(3.0 * z[:, 7]) + 0.8 * rng.normal(size=n)
    )
    return _f32(x), _f32(y * 2.0 + 1998.0)  # a year-like target scale


def _wide_rows(rng, n, informative, missing_share=0.02):
    """500 columns: Gaussian, heavy-tailed and small-count columns, 2% missing values; 24 of
    them carry the signal through thresholds and pairwise interactions."""
    x = rng.normal(size=(n, 500)).astype(np.float32)
    x[:, 200:300] = rng.standard_t(df=3, size=(n, 100))
    x[:, 300:400] = rng.poisson(lam=2.0, size=(n, 100))
    x[:, 400:] = rng.exponential(size=(n, 100))
    s = x[:, informative]
    logit = (
        0.9 * s[:, 0] - 0.7 * s[:, 1] + 0.6 * (s[:, 2] > 0.5) * s[:, 3] + 0.5 * np.tanh(s[:, 4] * s[:, 5])
        + 0.4 * np.sin(2.0 * s[:, 6]) + 0.35 * (s[:, 7] > 2.0) - 0.3 * (s[:, 8] > 1.0) * (s[:, 9] < 0.0)
        + 0.25 * np.clip(s[:, 10:16], -3.0, 3.0).sum(axis=1) - 0.2 * np.abs(s[:, 16:24]).sum(axis=1) + 1.0
    )
    y = (logit + rng.logistic(size=n) > 0).astype(np.float32)
    x[rng.random(x.shape) < missing_share] = np.nan
    return _f32(x), y


def _ranking_rows(rng, queries, w_rel):
    """Queries of 10 to 50 documents, 40 features, graded relevance 0..4 from a nonlinear score
    with a per-query shift, like a web-search set."""
    sizes = rng.integers(10, 51, size=queries)
    n = int(sizes.sum())
    group = np.repeat(np.arange(queries, dtype=np.uint32), sizes)
    x = rng.normal(size=(n, 40))
    x[:, 20:30] = np.abs(x[:, 20:30]) ** 2  # skewed click and count features
    shift = rng.normal(scale=0.7, size=queries)[group]
    score = x[:, :8] @ w_rel + 0.8 * np.tanh(x[:, 8] * x[:, 9]) + 0.5 * np.log1p(x[:, 20]) + 0.6 * rng.normal(size=n)
    x[:, 39] = shift + 0.3 * rng.normal(size=n)  # a query-level feature
    score = score + shift
    # Relevance grades by fixed score cuts: most documents irrelevant, few perfect.
    y = np.digitize(score, [0.8, 1.8, 2.6, 3.4]).astype(np.float32)
    return _f32(x), y, group


CATEGORY_LEVELS = 30


def level_name(level):
    """The string of a level id; zero-padded, so byte-wise order is id order."""
    return f"lvl{int(level):02d}"


def _categorical_rows(rng, n, level_effect, level_slope, level_weights):
    """Column 0: one of 30 levels (skewed frequencies) whose effect on the target jumps up and
    down with the level id, and which also sets the slope of one numeric column; columns 1-10:
    Gaussian and uniform numbers, six of them informative."""
    level = rng.choice(CATEGORY_LEVELS, size=n, p=level_weights)
    num = rng.normal(size=(n, 10))
    num[:, 5:] = rng.uniform(-2.0, 2.0, size=(n, 5))
    y = (
        level_effect[level] + level_slope[level] * num[:, 0] + 1.2 * np.sin(1.5 * num[:, 1])
        + 0.5 * num[:, 2] * num[:, 3] + 0.7 * np.tanh(2.0 * num[:, 5]) + 0.4 * (num[:, 6] > 0.5)
        + 0.8 * rng.normal(size=n)
    )
    x = np.hstack([level[:, None].astype(np.float64), num])
    return _f32(x), _f32(y)


def make(name, scale=1.0):
    """The data set `name` with its row counts multiplied by `scale` (test rows are a fifth of
    the training rows; ranking scales its query count)."""
    rng = np.random.default_rng([SEED, sum(map(ord, name))])
    rows = lambda n: max(int(round(n * scale)), 1000)  # noqa: E731
    if name == "higgs":
        x, y = _higgs_rows(rng, rows(1_000_000))
        xt, yt = _higgs_rows(rng, rows(200_000))
        return DataSet(name, "binary", Split(x, y), Split(xt, yt), rounds=500, growth="leaf", max_leaves=255)
    if name == "regression":
        w_latent = rng.normal(size=(10, 90)) / np.sqrt(10.0)
        w_mix = rng.uniform(0.5, 2.0, size=78)
        x, y = _regression_rows(rng, rows(500_000), w_latent, w_mix)
        xt, yt = _regression_rows(rng, rows(100_000), w_latent, w_mix)
        return DataSet(name, "regression", Split(x, y), Split(xt, yt), rounds=500, growth="level", max_depth=8)
    if name == "wide":
        informative = rng.choice(500, size=24, replace=False)
        x, y = _wide_rows(rng, rows(200_000), informative)
        xt, yt = _wide_rows(rng, rows(40_000), informative)
        return DataSet(name, "binary", Split(x, y), Split(xt, yt), rounds=300, growth="level", max_depth=6)
    if name == "ranking":
        w_rel = rng.normal(size=8) * 0.6
        x, y, g = _ranking_rows(rng, max(int(round(20_000 * scale)), 200), w_rel)
        xt, yt, gt = _ranking_rows(rng, max(int(round(4_000 * scale)), 100), w_rel)
        return DataSet(name, "ranking", Split(x, y, g), Split(xt, yt, gt), rounds=300, growth="leaf", max_leaves=63)
    if name == "categorical":
        # Effects in a random order of the ids, so no threshold on the id separates them well.
        level_effect = rng.permutation(np.linspace(-2.0, 2.0, CATEGORY_LEVELS))
        level_slope = rng.choice([-0.8, 0.0, 0.8], size=CATEGORY_LEVELS)
        level_weights = 1.0 / np.arange(1, CATEGORY_LEVELS + 1) ** 0.7
        level_weights = rng.permutation(level_weights / level_weights.sum())
        args = (level_effect, level_slope, level_weights)
        x, y = _categorical_rows(rng, rows(200_000), *args)
        xt, yt = _categorical_rows(rng, rows(40_000), *args)
        return DataSet(name, "regression", Split(x, y), Split(xt, yt), rounds=300, growth="leaf", max_leaves=63,
                       categorical=[0])
    raise ValueError(f"unknown data set {name!r}")


NAMES = ("higgs", "regression", "wide", "ranking", "categorical")
