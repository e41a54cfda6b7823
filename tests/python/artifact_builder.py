"""Model artifacts built byte by byte from the documented container and tree payload layouts,
with a float32 reference walk of the trees they hold.

Written independently of the native writers, so the predictor's results can be checked against
values computed here rather than against its own output.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from typing import Iterable, Sequence

import numpy as np

MAGIC = b"KSTR"
TREES = 1
PREDICTOR_LAYOUT = 2
MULTICLASS_TREES = 6
DART_TREE_WEIGHTS = 12
MULTI_OUTPUT_LEAF_VALUES = 13

f32 = np.float32


@dataclass
class Stump:
    """One split node; `left`/`right` are what a row adds on taking that side."""

    tree: int
    local: int
    feature: int
    split_bin: int
    left: float
    right: float
    default_left: bool = False

    def record(self) -> bytes:
        # Stored gain and side counts play no part in scoring; they are written as 0.
        return struct.pack("<IIHHfffII", self.tree << 20 | self.local, self.feature, self.split_bin,
                           1 if self.default_left else 0, 0.0, self.left, self.right, 0, 0)


def trees_payload(feature_count: int, base_score: float, stumps: Sequence[Stump]) -> bytes:
    header = struct.pack("<IIIf", 1, feature_count, len(stumps), base_score)
    return header + b"".join(s.record() for s in stumps)


def predictor_layout_payload(feature_count: int) -> bytes:
    return struct.pack("<III", 1, feature_count, 1)


def multiclass_trees_payload(feature_count: int, baselines: Sequence[float],
                             class_stumps: Sequence[Sequence[Stump]]) -> bytes:
    k = len(baselines)
    parts = [struct.pack("<III", 1, k, feature_count), struct.pack(f"<{k}f", *baselines),
             struct.pack(f"<{k}I", *(len(s) for s in class_stumps))]
    parts += [s.record() for stumps in class_stumps for s in stumps]
    return b"".join(parts)


def metadata_json(feature_count: int, objective: str, num_classes: int | None = None) -> bytes:
    names = ",".join(f'"f{i}"' for i in range(feature_count))
    text = f'{{"format_version":1,"feature_names":[{names}],"trained_device":"cpu","objective":"{objective}"'
    if num_classes is not None:
        text += f',"num_classes":{num_classes}'
    return (text + "}").encode()


def container(metadata: bytes, sections: Sequence[tuple[int, bytes]]) -> bytes:
    start = 16 + 20 * len(sections) + len(metadata)
    descriptors = []
    offset = start
    for kind, payload in sections:
        descriptors.append(struct.pack("<IQQ", kind, offset, len(payload)))
        offset += len(payload)
    header = MAGIC + struct.pack("<III", 1, len(sections), len(metadata))
    return header + b"".join(descriptors) + metadata + b"".join(p for _, p in sections)


def single_output_artifact(feature_count: int, stumps: Sequence[Stump], base_score: float = 0.0,
                           objective: str = "squared_error", with_layout: bool = True) -> bytes:
    """A Trees and PredictorLayout artifact, or a legacy lone-Trees one without the layout."""
    sections = [(TREES, trees_payload(feature_count, base_score, stumps))]
    if with_layout:
        sections.append((PREDICTOR_LAYOUT, predictor_layout_payload(feature_count)))
    return container(metadata_json(feature_count, objective), sections)


def multiclass_artifact(feature_count: int, baselines: Sequence[float],
                        class_stumps: Sequence[Sequence[Stump]], objective: str = "multiclass") -> bytes:
    sections = [(MULTICLASS_TREES, multiclass_trees_payload(feature_count, baselines, class_stumps)),
                (PREDICTOR_LAYOUT, predictor_layout_payload(feature_count))]
    return container(metadata_json(feature_count, objective, len(baselines)), sections)


def joint_artifact(feature_count: int, stumps: Sequence[Stump],
                   sides: Sequence[tuple[Sequence[float], Sequence[float]]]) -> bytes:
    """A joint multi-output model: `sides[i]` holds stump i's left and right K-vectors."""
    k = len(sides[0][0])
    values = struct.pack("<III", 1, k, len(stumps))
    values += b"".join(struct.pack(f"<I{2 * k}f", 2 * k, *left, *right) for left, right in sides)
    sections = [(TREES, trees_payload(feature_count, 0.0, stumps)),
                (PREDICTOR_LAYOUT, predictor_layout_payload(feature_count)), (MULTI_OUTPUT_LEAF_VALUES, values)]
    return container(metadata_json(feature_count, f"joint_multi_output[{k}]"), sections)


def section_payloads(artifact: bytes) -> dict[int, bytes]:
    """Section kind -> payload, read from the container header."""
    count, metadata_length = struct.unpack_from("<II", artifact, 8)
    found = {}
    for i in range(count):
        kind, offset, length = struct.unpack_from("<IQQ", artifact, 16 + 20 * i)
        found[kind] = artifact[offset:offset + length]
    return found


def stumps_of(artifact: bytes) -> list[Stump]:
    """The split records of the Trees section, in stored order."""
    trees = section_payloads(artifact)[TREES]
    count = struct.unpack_from("<I", trees, 8)[0]
    stumps = []
    for i in range(count):
        key, feature, split_bin, default_left, _, left, right, _, _ = struct.unpack_from("<IIHHfffII", trees, 16 + 32 * i)
        stumps.append(Stump(key >> 20, key & 0xFFFFF, feature, split_bin, left, right, default_left == 1))
    return stumps


def node_keys(artifact: bytes) -> list[int]:
    """The node key of every split record in the Trees section, in stored order."""
    return [s.tree << 20 | s.local for s in stumps_of(artifact)]


def random_forest(rng: np.random.Generator, tree_count: int, feature_count: int, depth: int,
                  max_bin: int = 12) -> list[Stump]:
    """Full trees of the given depth; values are multiples of 1/64 so that sums stay readable."""
    stumps = []
    for tree in range(tree_count):
        for local in range(2 ** depth - 1):
            stumps.append(Stump(
                tree, local, int(rng.integers(feature_count)), int(rng.integers(max_bin)),
                float(rng.integers(-64, 64)) / 64.0, float(rng.integers(-64, 64)) / 64.0,
                default_left=bool(rng.integers(2))))
    return stumps


# --- reference walk ---------------------------------------------------------------------------

def _forest(stumps: Iterable[Stump]) -> list[dict[int, Stump]]:
    trees: dict[int, dict[int, Stump]] = {}
    for s in stumps:
        trees.setdefault(s.tree, {})[s.local] = s
    return [trees[t] for t in sorted(trees)]


def _walk(tree: dict[int, Stump], row: Sequence[float], score: np.float32) -> np.float32:
    i = 0
    while i in tree:
        s = tree[i]
        x = f32(row[s.feature])
        if math.isnan(x):
            go_left = s.default_left
        else:
            go_left = bool(x <= f32(s.split_bin))
        score = f32(score + f32(s.left if go_left else s.right))
        i = 2 * i + 1 if go_left else 2 * i + 2
    return score


def reference_raw_scores(stumps: Sequence[Stump], base_score: float, rows: Sequence[Sequence[float]]) -> np.ndarray:
    """Bin-space raw scores in float32, trees in ascending index, path increments in order."""
    forest = _forest(stumps)
    out = np.empty(len(rows), dtype=np.float32)
    for r, row in enumerate(rows):
        score = f32(base_score)
        for tree in forest:
            score = _walk(tree, row, score)
        out[r] = score
    return out


def reference_class_margins(baselines: Sequence[float], class_stumps: Sequence[Sequence[Stump]],
                            rows: Sequence[Sequence[float]]) -> np.ndarray:
    margins = np.empty((len(rows), len(baselines)), dtype=np.float32)
    for c, stumps in enumerate(class_stumps):
        margins[:, c] = reference_raw_scores(stumps, baselines[c], rows)
    return margins


def linear_bin(x: float, lo: float, hi: float, top: int) -> float:
    """The linear quantization rule in float32: NaN kept, 0 at or below lo, top at or above hi."""
    x, lo, hi = f32(x), f32(lo), f32(hi)
    if math.isnan(x):
        return math.nan
    if x <= lo:
        return 0.0
    if x >= hi:
        return float(top)
    span = f32(hi - lo)
    if span <= f32(1e-6):
        return 0.0
    t = f32(f32(f32(x - lo) / span) * f32(top))
    rounded = math.floor(f32(t + f32(0.5))) if t >= 0 else math.ceil(f32(t - f32(0.5)))
    return float(min(max(rounded, 0), top))
