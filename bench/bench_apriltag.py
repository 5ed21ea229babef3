"""The AprilTag quad path (CORNER_REFINE_APRILTAG) against the AprilTag library
at the same decimation and thread count, on the same images."""

from __future__ import annotations

import os

import numpy as np
import pupil_apriltags

import morvelin
from common import interleaved, table
from scenes import marker_frame, recall

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
    return table(f"AprilTag quad path vs the AprilTag library ({threads} threads each, refine_edges off; ms per frame)",
                 ["frame", "decimate", "morvelin ms", "library ms", "ratio", "recall", "library recall",
                  "RMSE px", "library RMSE px"], rows)
