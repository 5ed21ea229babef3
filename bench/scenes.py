"""Benchmark scenes: markers of many sizes under perspective, blur and noise,
rendered from the module's own code tables with known ground truth."""

from __future__ import annotations

import numpy as np

from rendering import blur, homography, marker_bits, marker_pattern, paint, scene, to_uint8


def random_quad(rng, cx, cy, side):
    """A perspective-distorted square around (cx, cy), clockwise from top-left."""
    angle = rng.uniform(0, 2 * np.pi)
    half = side / 2
    base = np.array([[-half, -half], [half, -half], [half, half], [-half, half]])
    rot = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    quad = base @ rot.T
    quad += rng.uniform(-0.12, 0.12, quad.shape) * side  # perspective-like corner jitter
    return quad + [cx, cy]


def marker_frame(width, height, dictionary="DICT_4X4_50", count=None, seed=0, sides=(24, 160)):
    """One frame with markers on a jittered grid; returns (image, {id: corners})."""
    rng = np.random.default_rng(seed)
    background = rng.uniform(60, 200)
    image = scene(width, height, background)
    # faint texture so the threshold sees something everywhere
    image += rng.normal(0, 6, (height // 8 + 1, width // 8 + 1)).repeat(8, 0).repeat(8, 1)[:height, :width]
    cell = max(sides[1] * 1.5, min(width, height) / 4)
    cols, rows = int(width // cell), int(height // cell)
    truth = {}
    ids = rng.permutation(50)
    k = 0
    for r in range(rows):
        for c in range(cols):
            if count is not None and k >= count:
                break
            side = rng.uniform(*sides)
            cx = (c + 0.5) * cell + rng.uniform(-0.15, 0.15) * cell
            cy = (r + 0.5) * cell + rng.uniform(-0.15, 0.15) * cell
            quad = random_quad(rng, cx, cy, side)
            marker_id = int(ids[k % 50])
            # a white quiet zone of one cell, as printed markers have
            bits = marker_bits(dictionary, marker_id)
            paint(image, marker_pattern(bits, quiet_zone=1), _with_quiet_zone(quad, bits.shape[0] + 2))
            truth[marker_id] = quad
            k += 1
    image = blur(image, rng.uniform(0.5, 1.0))
    return to_uint8(image, noise=2.0, seed=seed), truth


def _with_quiet_zone(quad, cells):
    """Outer corners of a one-cell quiet zone round the marker `quad`, along
    the same perspective mapping."""
    h = homography(np.array([[0, 0], [cells, 0], [cells, cells], [0, cells]], float), quad)
    grid = np.array([[-1, -1, 1], [cells + 1, -1, 1], [cells + 1, cells + 1, 1], [-1, cells + 1, 1]], float)
    mapped = grid @ h.T
    return mapped[:, :2] / mapped[:, 2:]


def recall(found_ids, truth):
    return len(set(found_ids) & set(truth)) / max(1, len(truth))


def corner_rmse(corners, ids, truth):
    errors = []
    for c, i in zip(corners, ids):
        if i in truth:
            errors.append(np.sum((np.asarray(c, float).reshape(4, 2) - truth[i]) ** 2, axis=1))
    return float(np.sqrt(np.mean(np.concatenate(errors)))) if errors else float("nan")
