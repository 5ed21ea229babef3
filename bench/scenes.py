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


def clean_frame(width, height, dictionary="DICT_4X4_50", seed=0):
    """A few markers on white paper against a smooth, evenly lit surround:
    little for the threshold to find besides the markers."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    image = 150 + 30 * np.sin(xx / width * 2.0 + rng.uniform(0, 6)) * np.cos(yy / height * 1.5)
    truth = {}
    ids = rng.permutation(50)
    for k in range(4):
        side = rng.uniform(0.08, 0.2) * min(width, height)
        cx = (k % 2 + 0.5) * width / 2 + rng.uniform(-0.1, 0.1) * width
        cy = (k // 2 + 0.5) * height / 2 + rng.uniform(-0.1, 0.1) * height
        quad = random_quad(rng, cx, cy, side)
        bits = marker_bits(dictionary, int(ids[k]))
        paint(image, marker_pattern(bits, quiet_zone=2), _with_quiet_zone(quad, bits.shape[0] + 2, 2))
        truth[int(ids[k])] = quad
    return to_uint8(blur(image, 0.6), noise=1.5, seed=seed), truth


def cluttered_frame(width, height, dictionary="DICT_4X4_50", seed=0):
    """Markers among many dark and light shapes on a textured background."""
    image, truth = marker_frame(width, height, dictionary, seed=seed)
    rng = np.random.default_rng(seed + 1000)
    clutter = image.astype(float)
    for _ in range(int(width * height / 4000)):
        x, y = rng.uniform(0, width), rng.uniform(0, height)
        if any(np.hypot(*(np.mean(q, axis=0) - (x, y))) < 0.9 * np.ptp(q[:, 0]) for q in truth.values()):
            continue
        w, h = rng.uniform(3, 40, 2)
        x0, y0 = int(max(0, x - w / 2)), int(max(0, y - h / 2))
        clutter[y0:int(y + h / 2), x0:int(x + w / 2)] = rng.uniform(0, 255)
    return to_uint8(blur(clutter, 0.7), noise=3.0, seed=seed), truth


SCENE_KINDS = {"clean": clean_frame, "markers": marker_frame, "cluttered": cluttered_frame}


def _with_quiet_zone(quad, cells, zone=1):
    """Outer corners of a quiet zone `zone` cells wide round the marker
    `quad`, along the same perspective mapping."""
    h = homography(np.array([[0, 0], [cells, 0], [cells, cells], [0, cells]], float), quad)
    z = zone
    grid = np.array([[-z, -z, 1], [cells + z, -z, 1], [cells + z, cells + z, 1], [-z, cells + z, 1]], float)
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
