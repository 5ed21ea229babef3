"""The AprilTag quad path (CORNER_REFINE_APRILTAG) against the AprilTag library
at the same decimation and thread count, on the same images."""

from __future__ import annotations

import os

import numpy as np
import pupil_apriltags

import morvelin
from common import interleaved, table
from rendering import blur, marker_bits, marker_pattern, paint, scene, to_uint8
from scenes import marker_frame, random_quad, recall

DICTIONARY = "DICT_APRILTAG_36h11"

# The library's detector destructor can crash the process once other code has
# used the heap (seen with pupil_apriltags 1.0.4 without morvelin loaded);
# the benchmark leaks its few detectors instead.
pupil_apriltags.Detector.__del__ = lambda self: None


def library_corners(detection):
    # counter-clockwise from bottom-left, pixel centres at half-integers
    return np.roll(detection.corners[::-1], 2, axis=0) - 0.5


def rmse(found, truth):
    errors = [np.sum((np.asarray(c) - truth[i]) ** 2, axis=1) for i, c in found.items() if i in truth]
    return float(np.sqrt(np.mean(np.concatenate(errors)))) if errors else float("nan")


def clean_frame(seed, sigma, width=1280, height=720):
    """Fifteen tags of 40 to 150 pixels on a light page, sharp or lightly
    blurred, without noise."""
    rng = np.random.default_rng(seed)
    image = scene(width, height, rng.uniform(150, 220))
    truth = {}
    for k, tag in enumerate(rng.permutation(50)[:15]):
        quad = random_quad(rng, (k % 5 + 0.5) * width / 5, (k // 5 + 0.5) * height / 3, rng.uniform(40, 150))
        paint(image, marker_pattern(marker_bits(DICTIONARY, int(tag))), quad)
        truth[int(tag)] = quad
    return to_uint8(blur(image, sigma) if sigma else image), truth


def corner_offsets(found_per_frame):
    """Mean signed corner offset (x, y) and RMSE over all markers found."""
    offsets = np.concatenate([np.asarray(c) - truth[i] for found, truth in found_per_frame
                              for i, c in found.items() if i in truth])
    return offsets.mean(axis=0), float(np.sqrt(np.mean(np.sum(offsets ** 2, axis=1))))


def accuracy_table(threads: int) -> str:
    rows = []
    for sigma in (0.0, 0.6):
        frames = [clean_frame(seed, sigma) for seed in range(4)]
        for decimate in (1.0, 2.0):
            library = pupil_apriltags.Detector(families="tag36h11", nthreads=threads, quad_decimate=decimate,
                                               refine_edges=1)
            theirs = [({d.tag_id: library_corners(d) for d in library.detect(f)}, g) for f, g in frames]
            (lx, ly), library_rmse = corner_offsets(theirs)
            for refit in (False, True) if decimate > 1 else (False,):
                params = morvelin.DetectorParameters()
                params.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
                params.april_tag_quad_decimate = decimate
                params.april_tag_refine_full_resolution = refit
                ours = [(dict(zip(*morvelin.detect_markers(f, DICTIONARY, params)[::-1])), g) for f, g in frames]
                (mx, my), our_rmse = corner_offsets(ours)
                rows.append([f"blur {sigma}", decimate, "on" if refit else "off", f"{mx:+.3f}, {my:+.3f}",
                             f"{lx:+.3f}, {ly:+.3f}", our_rmse, library_rmse, our_rmse / library_rmse])
    return table("AprilTag quad path corner accuracy on clean 1280x720 frames (the library with refine_edges on)",
                 ["frames", "decimate", "refit", "mean offset x, y px", "library offset x, y px", "RMSE px",
                  "library RMSE px", "RMSE ratio"], rows)


def run() -> str:
    threads = os.cpu_count() or 1
    rows = []
    for width, height in [(640, 480), (1280, 720)]:
        frames = [marker_frame(width, height, DICTIONARY, seed=s, sides=(30, 160)) for s in range(4)]
        for decimate in (1.0, 2.0):
            params = morvelin.DetectorParameters()
            params.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
            params.april_tag_quad_decimate = decimate
            library = pupil_apriltags.Detector(families="tag36h11", nthreads=threads, quad_decimate=decimate,
                                               refine_edges=0)
            image = frames[0][0]
            t = interleaved({
                "morvelin": lambda: morvelin.detect_markers(image, DICTIONARY, params),
                "library": lambda: library.detect(image),
            })
            ours, theirs = [], []
            for f, truth in frames:
                corners, ids = morvelin.detect_markers(f, DICTIONARY, params)
                ours.append(({i: c for c, i in zip(corners, ids)}, truth))
                theirs.append(({d.tag_id: library_corners(d) for d in library.detect(f)}, truth))
            rows.append([f"{width}x{height}", decimate, t["morvelin"] * 1e3, t["library"] * 1e3,
                         t["morvelin"] / t["library"],
                         np.mean([recall(list(f), g) for f, g in ours]), np.mean([recall(list(f), g) for f, g in theirs]),
                         np.mean([rmse(f, g) for f, g in ours]), np.mean([rmse(f, g) for f, g in theirs])])
    return accuracy_table(threads) + table(
        f"AprilTag quad path vs the AprilTag library ({threads} threads each, refine_edges off; ms per frame)",
                 ["frame", "decimate", "morvelin ms", "library ms", "ratio", "recall", "library recall",
                  "RMSE px", "library RMSE px"], rows)
