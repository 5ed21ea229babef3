"""detect_markers and detect_markers_batch against OpenCV's ArUco detector."""

from __future__ import annotations

import cv2

import morvelin
from common import interleaved, table
from scenes import marker_frame, recall

SIZES = [(640, 480), (1280, 720), (1920, 1080)]
DICTIONARY = "DICT_4X4_50"


def opencv_detector(min_side=32):
    params = cv2.aruco.DetectorParameters()
    params.minSideLengthCanonicalImg = min_side
    return cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50), params)


def run() -> str:
    rows = []
    default = morvelin.DetectorParameters()
    small = morvelin.DetectorParameters()
    small.min_side_length_canonical_img = 0
    cv_default = opencv_detector()
    for width, height in SIZES:
        frames = [marker_frame(width, height, DICTIONARY, seed=s) for s in range(4)]
        image, truth = frames[0]
        t = interleaved({
            "morvelin": lambda: morvelin.detect_markers(image, DICTIONARY, default),
            "opencv": lambda: cv_default.detectMarkers(image),
        })
        ours = sum(recall(morvelin.detect_markers(f, DICTIONARY, default)[1], g) for f, g in frames) / 4
        ours0 = sum(recall(morvelin.detect_markers(f, DICTIONARY, small)[1], g) for f, g in frames) / 4
        theirs = sum(recall(_ids(cv_default.detectMarkers(f)[1]), g) for f, g in frames) / 4
        rows.append([f"{width}x{height} single frame", t["morvelin"] * 1e3, t["opencv"] * 1e3,
                     t["morvelin"] / t["opencv"], ours, ours0, theirs])

        batch = [f for f, _ in frames] * 8  # 32 frames
        t = interleaved({
            "morvelin": lambda: morvelin.detect_markers_batch(batch, DICTIONARY, default),
            "opencv": lambda: [cv_default.detectMarkers(f) for f in batch],
        }, repeats=5, warmup=1)
        rows.append([f"{width}x{height} batch of 32", t["morvelin"] * 1e3, t["opencv"] * 1e3,
                     t["morvelin"] / t["opencv"], "", "", ""])
    return table("Marker detection, default parameters (median ms per call)",
                 ["case", "morvelin ms", "OpenCV ms", "ratio", "recall", "recall (min side 0)", "OpenCV recall"],
                 rows)


def _ids(ids):
    return [] if ids is None else ids.ravel().tolist()
