"""detect_markers and detect_markers_batch against OpenCV's ArUco detector, by
scene kind and resolution, and how a single frame and a batch scale from one
core to all of them."""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile

import cv2
import numpy as np

import morvelin
from common import ROOT, interleaved, table
from scenes import SCENE_KINDS, recall

SIZES = [(640, 480), (1280, 720), (1920, 1080)]
DICTIONARY = "DICT_4X4_50"


def opencv_detector(min_side=32):
    params = cv2.aruco.DetectorParameters()
    params.minSideLengthCanonicalImg = min_side
    return cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50), params)


def parameters(min_side):
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = min_side
    return params


def frames(kind, width, height, count=4):
    return [SCENE_KINDS[kind](width, height, DICTIONARY, seed=s) for s in range(count)]


def scene_table() -> str:
    rows = []
    ratios = {32: [], 0: []}
    for kind in SCENE_KINDS:
        for width, height in SIZES:
            scenes = frames(kind, width, height)
            for min_side in (32, 0):
                ours, theirs = parameters(min_side), opencv_detector(min_side)
                image = scenes[0][0]
                t = interleaved({
                    "morvelin": lambda: morvelin.detect_markers(image, DICTIONARY, ours),
                    "opencv": lambda: theirs.detectMarkers(image),
                })
                ratio = t["morvelin"] / t["opencv"]
                ratios[min_side].append(ratio)
                found = sum(recall(morvelin.detect_markers(f, DICTIONARY, ours)[1], g) for f, g in scenes) / len(scenes)
                cv_found = sum(recall(_ids(theirs.detectMarkers(f)[1]), g) for f, g in scenes) / len(scenes)
                rows.append([f"{kind} {width}x{height}", min_side, t["morvelin"] * 1e3, t["opencv"] * 1e3, ratio,
                             found, cv_found])
    for min_side, values in ratios.items():
        rows.append([f"pooled (geometric mean of ratios)", min_side, "", "", _geometric_mean(values), "", ""])
    return table("Marker detection by scene kind (median ms per frame, both on every core)",
                 ["scene", "min side", "morvelin ms", "OpenCV ms", "ratio", "recall", "OpenCV recall"], rows)


SCALING_PROBE = """
import json, sys, time, statistics
import numpy as np
import morvelin
frames = np.load(sys.argv[1])
params = morvelin.DetectorParameters()
out = {{}}

def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)

# A new process runs its first few dozen milliseconds of parallel loops
# before its second worker is fully in play; the rates are those of a
# running loop, so each kind is warmed up for a quarter of a second first.
for kind, image in zip({kinds!r}, frames):
    warm_until = time.perf_counter() + 0.25
    while time.perf_counter() < warm_until:
        morvelin.detect_markers(image, {dictionary!r}, params)
    single = median_time(lambda: morvelin.detect_markers(image, {dictionary!r}, params), 61)
    batch = [image] * 8
    many = median_time(lambda: morvelin.detect_markers_batch(batch, {dictionary!r}, params), 5)
    out[kind] = {{"single": 1.0 / single, "batch": len(batch) / many}}
print(json.dumps(out))
"""
SCALING_KINDS = ("markers", "cluttered", "clean")
SCALING_ROUNDS = 6


def scaling_table() -> str:
    """Frames per second of 1280x720 detection with the pool sized for one
    core and for all cores, each in its own process. The machine's speed
    drifts, so one-core and all-core runs alternate and the speed-up is the
    median of the rounds' ratios."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "frames.npy")
        np.save(path, np.stack([SCENE_KINDS[kind](1280, 720, DICTIONARY, seed=0)[0] for kind in SCALING_KINDS]))
        probe = SCALING_PROBE.format(kinds=SCALING_KINDS, dictionary=DICTIONARY)
        rounds = []
        for _ in range(SCALING_ROUNDS):
            rates = {}
            for cores in ("0", "all"):
                env = dict(os.environ, MORVELIN_CORES=cores)
                out = subprocess.run([sys.executable, "-P", "-c", probe, path], env=env, capture_output=True,
                                     text=True, check=True)
                rates[cores] = json.loads(out.stdout)
            rounds.append(rates)
    rows = []
    for kind in SCALING_KINDS:
        for call in ("single", "batch"):
            one = statistics.median(r["0"][kind][call] for r in rounds)
            every = statistics.median(r["all"][kind][call] for r in rounds)
            speedup = statistics.median(r["all"][kind][call] / r["0"][kind][call] for r in rounds)
            rows.append([f"{kind} {call}", one, every, speedup])
    return table(f"Scaling, 1280x720 frames ({os.cpu_count()} logical CPUs; frames per second, "
                 f"median of {SCALING_ROUNDS} alternating rounds)", ["call", "one core", "all cores", "speed-up"], rows)


def batch_table() -> str:
    rows = []
    default = parameters(32)
    cv_default = opencv_detector()
    for width, height in SIZES:
        batch = [f for f, _ in frames("markers", width, height)] * 8  # 32 frames
        t = interleaved({
            "morvelin": lambda: morvelin.detect_markers_batch(batch, DICTIONARY, default),
            "opencv": lambda: [cv_default.detectMarkers(f) for f in batch],
        }, repeats=5, warmup=1)
        rows.append([f"{width}x{height} batch of 32", t["morvelin"] * 1e3, t["opencv"] * 1e3,
                     t["morvelin"] / t["opencv"]])
    return table("Batches of marker frames, default parameters (median ms per batch)",
                 ["case", "morvelin ms", "OpenCV ms", "ratio"], rows)


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
    return scene_table() + batch_table() + scaling_table() + aprilgrid_table()


def _ids(ids):
    return [] if ids is None else ids.ravel().tolist()


def _geometric_mean(values):
    product = 1.0
    for v in values:
        product *= v
    return product ** (1.0 / len(values))
