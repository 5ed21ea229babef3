"""detect_markers and detect_markers_batch against OpenCV's ArUco detector."""

from __future__ import annotations

import cv2

import morvelin
from common import ROOT, interleaved, table
from scenes import marker_frame, recall

SIZES = [(640, 480), (1280, 720), (1920, 1080)]
DICTIONARY = "DICT_4X4_50"


def opencv_detector(min_side=32):
    params = cv2.aruco.DetectorParameters()
    params.minSideLengthCanonicalImg = min_side
    return cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50), params)


# AprilGrid calibration targets: DICT_APRILTAG_36h11 tags with a two-cell
# border; the photographs and the number of tags on each grid.
APRILGRIDS = {"aprilgrid_TUM_VI.png": 36, "aprilgrid_r45.png": 36, "aprilgrid_iphone.png": 66,
              "aprilgrid_two_boards.png": 72}


def aprilgrid_table() -> str:
    """Tags found with a two-cell border beside OpenCV (markerBorderBits 2),
    with ids outside the grid and repeated ids counted as faults."""
    folder = ROOT.parent / "shared" / "data" / "real" / "apriltag"
    cv_params = cv2.aruco.DetectorParameters()
    cv_params.markerBorderBits = 2
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_APRILTAG_36h11), cv_params)
    rows, totals = [], [0, 0, 0]
    for name, tags in APRILGRIDS.items():
        image = cv2.imread(str(folder / name), cv2.IMREAD_GRAYSCALE)
        if image is None:
            continue
        row = [name, tags, len(_ids(detector.detectMarkers(image)[1]))]
        totals[0] += row[2]
        for k, min_side in enumerate((32, 0)):
            params = morvelin.DetectorParameters()
            params.marker_border_bits = 2
            params.min_side_length_canonical_img = min_side
            ids = morvelin.detect_markers(image, "DICT_APRILTAG_36h11", params)[1]
            row += [len(ids), sum(i >= tags for i in ids) + len(ids) - len(set(ids))]
            totals[k + 1] += len(ids)
        t = interleaved({"morvelin": lambda: morvelin.detect_markers(image, "DICT_APRILTAG_36h11", params),
                         "opencv": lambda: detector.detectMarkers(image)}, repeats=5, warmup=1)
        rows.append(row + [t["morvelin"] / t["opencv"]])
    rows.append(["all", sum(APRILGRIDS.values()), *totals[:2], "", totals[2], "", ""])
    return table("AprilGrid photographs, two-cell tag borders (marker_border_bits 2; OpenCV markerBorderBits 2)",
                 ["photo", "tags", "OpenCV found", "found", "faults", "found (min side 0)", "faults (min side 0)",
                  "time ratio (min side 0)"], rows)


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
                 rows) + aprilgrid_table()


def _ids(ids):
    return [] if ids is None else ids.ravel().tolist()
