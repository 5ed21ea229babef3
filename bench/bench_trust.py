"""How far detections can be trusted, beside OpenCV: phantom markers on real
photographs searched with dictionaries they do not hold, and recall and false
positives on rendered frames of markers printed on white paper (and of blank
paper) against a darker surround."""

from __future__ import annotations

import pathlib

import cv2
import numpy as np

import morvelin
from common import ROOT, table
from rendering import blur, homography, marker_bits, marker_pattern, paint_homography, scene, to_uint8

REAL = ROOT.parent / "shared" / "data" / "real"
WRONG_DICTIONARIES = ["DICT_4X4_1000", "DICT_5X5_1000", "DICT_6X6_1000", "DICT_7X7_1000",
                      "DICT_APRILTAG_16h5", "DICT_APRILTAG_36h11", "DICT_ARUCO_ORIGINAL"]
PAPER_DICTIONARIES = ["DICT_4X4_50", "DICT_5X5_100", "DICT_6X6_250", "DICT_APRILTAG_36h11"]


def own_dictionary(path: pathlib.Path) -> str | None:
    """The dense dictionary of the family printed in a photo, if any."""
    name = path.name
    if name.startswith("deepcharuco"):
        return "DICT_4X4_1000"
    if name.startswith("ubiquity"):
        return "DICT_5X5_1000"
    if path.parent.name in ("aruco", "charuco") and name.startswith("opencv"):
        return "DICT_6X6_1000"
    if name.startswith("wpilib_tag2"):
        return "DICT_APRILTAG_16h5"
    if path.parent.name == "apriltag":
        return "DICT_APRILTAG_36h11"
    return None


def real_photos() -> list[pathlib.Path]:
    return sorted(p for p in REAL.glob("*/*") if p.suffix.lower() in (".jpg", ".png"))


def read_gray(path: pathlib.Path) -> np.ndarray:
    return cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)


def morvelin_params(min_side: int | None = None) -> morvelin.DetectorParameters:
    params = morvelin.DetectorParameters()
    if min_side is not None:
        params.min_side_length_canonical_img = min_side
    return params


def opencv_detector(dictionary: str, min_side: int | None = None):
    """A callable image -> (corners, ids) of OpenCV's detector (both the
    object interface of 4.7+ and the function interface before it)."""
    aruco = cv2.aruco
    params = aruco.DetectorParameters() if hasattr(aruco, "ArucoDetector") else aruco.DetectorParameters_create()
    if min_side is not None:
        params.minSideLengthCanonicalImg = min_side
    table = aruco.getPredefinedDictionary(getattr(aruco, dictionary))
    if hasattr(aruco, "ArucoDetector"):
        detect = aruco.ArucoDetector(table, params).detectMarkers
    else:
        def detect(image):
            return aruco.detectMarkers(image, table, parameters=params)

    def run(image):
        corners, ids, _ = detect(image)
        return [c.reshape(4, 2) for c in corners], ([] if ids is None else ids.ravel().tolist())
    return run


def phantoms_per_photo(min_side: int | None) -> dict[str, tuple[int, int]]:
    """Photo name -> (morvelin, OpenCV) detections with dictionaries the
    photo does not contain; every one is a phantom."""
    counts = {}
    params = morvelin_params(min_side)
    for path in real_photos():
        image = read_gray(path)
        ours = theirs = 0
        for dictionary in WRONG_DICTIONARIES:
            if dictionary == own_dictionary(path):
                continue
            ours += len(morvelin.detect_markers(image, dictionary, params)[1])
            theirs += len(opencv_detector(dictionary, min_side)(image)[1])
        counts[f"{path.parent.name}/{path.name}"] = (ours, theirs)
    return counts


def paper_frame(width: int, height: int, dictionary: str, seed: int, with_markers: bool = True):
    """Sheets of white paper on a darker textured surround, each carrying one
    marker with a margin of 0.5 to 2 cells (or blank sheets and black squares
    when `with_markers` is off). Returns (image, {id: corners})."""
    rng = np.random.default_rng(seed)
    image = scene(width, height, rng.uniform(40, 130))
    image += rng.normal(0, 5, (height // 8 + 1, width // 8 + 1)).repeat(8, 0).repeat(8, 1)[:height, :width]
    n = marker_bits(dictionary, 0).shape[0]
    cell_count = n + 2
    sub = 4  # pattern samples per cell, so margins can be fractional
    truth = {}
    cell = max(170.0, min(width, height) / 3.2)
    ids = rng.permutation(50)
    k = 0
    for r in range(int(height // cell)):
        for c in range(int(width // cell)):
            side = rng.uniform(30, 0.55 * cell)  # marker side, black border included
            margin = int(rng.integers(2, 9))      # quiet zone in quarter cells
            cells = marker_pattern(marker_bits(dictionary, int(ids[k])))
            if not with_markers:
                cells = np.zeros_like(cells) if k % 2 else np.ones_like(cells)
            pattern = np.pad(np.kron(cells, np.ones((sub, sub), np.uint8)), margin, constant_values=1)
            angle = rng.uniform(0, 2 * np.pi)
            centre = ((c + 0.5) * cell + rng.uniform(-0.1, 0.1) * cell, (r + 0.5) * cell + rng.uniform(-0.1, 0.1) * cell)
            quad = _jittered_square(rng, centre, side, angle)
            h = homography(np.array([[0, 0], [cell_count, 0], [cell_count, cell_count], [0, cell_count]], float) * sub
                           + margin, quad)
            paint_homography(image, pattern, h)
            if with_markers:
                truth[int(ids[k])] = quad
            k += 1
    image = blur(image, rng.uniform(0.4, 0.8))
    return to_uint8(image, noise=2.0, seed=seed), truth


def _jittered_square(rng, centre, side, angle):
    half = side / 2
    base = np.array([[-half, -half], [half, -half], [half, half], [-half, half]])
    rot = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    return base @ rot.T + rng.uniform(-0.08, 0.08, (4, 2)) * side + centre


def score(corners, ids, truth) -> tuple[int, int]:
    """(markers found at their true place, other detections)."""
    found = set()
    for c, i in zip(corners, ids):
        quad = truth.get(i)
        side = 0.0 if quad is None else float(np.linalg.norm(quad[0] - quad[2])) / np.sqrt(2)
        if quad is not None and i not in found and np.abs(np.asarray(c, float).reshape(4, 2) - quad).max() < 0.15 * side:
            found.add(i)
    return len(found), len(ids) - len(found)


def paper_scores(frames, min_side):
    """Recall and false positives per frame for morvelin and OpenCV."""
    params = morvelin_params(min_side)
    totals = np.zeros(4)
    markers = 0
    for dictionary, (image, truth) in frames:
        detector = opencv_detector(dictionary, min_side)
        totals[:2] += score(*morvelin.detect_markers(image, dictionary, params), truth)
        totals[2:] += score(*detector(image), truth)
        markers += len(truth)
    per_frame = len(frames)
    return (totals[0] / max(1, markers), totals[1] / per_frame, totals[2] / max(1, markers), totals[3] / per_frame)


def run() -> str:
    rows = []
    for label, min_side in (("defaults", None), ("min side 0", 0)):
        counts = phantoms_per_photo(min_side)
        rows.append([f"real photos, {label}", sum(c[0] for c in counts.values()), sum(c[1] for c in counts.values())])
    report = table("Phantoms: detections on the real photographs with 7 dense dictionaries they do not hold",
                   ["case", "morvelin", "OpenCV"], rows)
    rows = []
    for size in ((640, 480), (1280, 720)):
        for with_markers in (True, False):
            frames = [(d, paper_frame(*size, d, seed, with_markers)) for d in PAPER_DICTIONARIES for seed in range(6)]
            for label, min_side in (("defaults", None), ("min side 0", 0)):
                ours_recall, ours_fp, cv_recall, cv_fp = paper_scores(frames, min_side)
                kind = "markers on paper" if with_markers else "blank paper"
                rows.append([f"{size[0]}x{size[1]} {kind}, {label}", len(frames),
                             ours_recall if with_markers else "", cv_recall if with_markers else "",
                             ours_fp, cv_fp])
    report += table("Rendered paper scenes: recall and false positives per frame",
                    ["case", "frames", "recall", "OpenCV recall", "false pos./frame", "OpenCV false pos./frame"], rows)
    return report
