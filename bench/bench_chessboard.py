"""find_chessboard_corners against cv2.findChessboardCorners (followed by
cv2.cornerSubPix when it finds a board, as our corners come refined): the
calibration photographs, rendered boards (clean, blurred and noisy, unevenly
lit) and frames without a board, the slow case."""

from __future__ import annotations

import pathlib
import statistics
import time

import cv2
import numpy as np

import morvelin
from common import ROOT, interleaved, table
from scenes import chessboard_view, no_board_frame

PHOTOS = ROOT.parent / "shared" / "data" / "real" / "chessboard"
PATTERNS = {"opencv": (9, 6), "opencvsharp": (10, 7), "swatbotics": (7, 5)}
SIZES = [(640, 480), (1920, 1080)]
CONDITIONS = ["clean", "blurred", "uneven"]
BOARDS = [(7, 5), (9, 6), (10, 7)]
VIEWS = 6  # per board, size and condition
CRITERIA = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 15, 0.1)


def ours(image, pattern):
    found, corners = morvelin.find_chessboard_corners(image, pattern)
    return np.asarray(corners, float).reshape(-1, 2) if found else None


def opencv(image, pattern):
    ok, corners = cv2.findChessboardCorners(image, pattern)
    if not ok:
        return None
    return cv2.cornerSubPix(image, corners, (2, 2), (-1, -1), CRITERIA).reshape(-1, 2).astype(float)


def correct(corners, truth):
    """The board's own corners, each paired with a different true corner and
    within a quarter of the shortest distance between true corners."""
    if corners is None:
        return False
    d = np.linalg.norm(corners[:, None] - truth[None], axis=2)
    if len(set(d.argmin(axis=1).tolist())) != len(truth):
        return False
    spacing = np.linalg.norm(truth[:, None] - truth[None], axis=2)
    return d.min(axis=1).max() < 0.25 * spacing[spacing > 0].min()


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return result, time.perf_counter() - start


def photographs() -> str:
    rows = []
    for path in sorted(PHOTOS.glob("*")):
        image = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
        pattern = PATTERNS[path.name.split("_")[0]]
        t = interleaved({"m": lambda: ours(image, pattern), "cv": lambda: opencv(image, pattern)}, repeats=7, warmup=1)
        rows.append([path.name, f"{pattern[0]}x{pattern[1]}", ours(image, pattern) is not None,
                     opencv(image, pattern) is not None, t["m"] * 1e3, t["cv"] * 1e3, t["m"] / t["cv"]])
    found = [sum(r[k] for r in rows) for k in (2, 3)]
    total = [sum(r[k] for r in rows) for k in (4, 5)]
    rows.append(["all", "", f"{found[0]}/{len(rows)}", f"{found[1]}/{len(rows)}", total[0], total[1],
                 total[0] / total[1]])
    return table("Chessboard photographs (../shared/data/real/chessboard; ms per image)",
                 ["photo", "pattern", "morvelin found", "OpenCV found", "morvelin ms", "OpenCV ms", "ratio"], rows)


def rendered() -> str:
    rows = []
    for size in SIZES:
        for condition in CONDITIONS:
            hits = {"m": 0, "cv": 0}
            ratios = []
            for columns, rows_ in BOARDS:
                for view in range(VIEWS):
                    seed = 1000 * size[0] + 100 * CONDITIONS.index(condition) + 10 * columns + view
                    image, truth = chessboard_view(columns, rows_, size, condition, seed)
                    pattern = (columns, rows_)
                    t = interleaved({"m": lambda: ours(image, pattern), "cv": lambda: opencv(image, pattern)},
                                    repeats=3, warmup=1)
                    hits["m"] += correct(ours(image, pattern), truth)
                    hits["cv"] += correct(opencv(image, pattern), truth)
                    ratios.append(t["m"] / t["cv"])
            views = len(BOARDS) * VIEWS
            rows.append([f"{size[0]}x{size[1]}", condition, f"{hits['m']}/{views}", f"{hits['cv']}/{views}",
                         statistics.median(ratios), max(ratios)])
    return table("Rendered chessboards 7x5, 9x6, 10x7 (correct: every corner found within a quarter square)",
                 ["size", "condition", "morvelin correct", "OpenCV correct", "median ratio", "worst ratio"], rows)


def frames_without_a_board() -> str:
    """Each frame once with OpenCV (up to seconds a frame) and five times with
    morvelin, alternating frame by frame."""
    photos = [cv2.imread(str(ROOT / "tests" / "data" / "real" / name), cv2.IMREAD_GRAYSCALE)
              for name in ("opencv_singlemarkersoriginal.jpg", "opencv_calib_img_01.jpg")]
    rows = []
    for size in SIZES:
        frames = [no_board_frame(kind, size, seed) for kind in ("texture", "rectangles", "text") for seed in range(3)]
        if size == (640, 480):
            frames += photos
        cut = [chessboard_view(9, 6, size, "clean", seed, shift=0.45)[0] for seed in range(3)]
        bare = [chessboard_view(9, 6, size, "clean", seed, shift=0.45, board=False)[0] for seed in range(3)]
        for label, images in ((f"{len(frames)} frames without a board", frames),
                              ("9x6 board half out of the frame", cut),
                              ("the same 3 scenes without the board", bare)):
            mine, theirs = [], []
            for image in images:
                ours(image, (9, 6))  # warm-up
                _, t = timed(opencv, image, (9, 6))
                theirs.append(t)
                for _ in range(5):
                    found, t = timed(ours, image, (9, 6))
                    assert found is None
                    mine.append(t)
            rows.append([f"{size[0]}x{size[1]}", label, statistics.median(mine) * 1e3, max(mine) * 1e3,
                         statistics.median(theirs) * 1e3, max(theirs) * 1e3,
                         statistics.median(mine) / statistics.median(theirs)])
    return table("Chessboard 9x6 in frames without one (ms; texture, rectangles, text and photographs)",
                 ["size", "frames", "morvelin median", "morvelin worst", "OpenCV median", "OpenCV worst",
                  "ratio of medians"], rows)


def run() -> str:
    parts = [frames_without_a_board(), rendered()]
    if PHOTOS.is_dir():
        parts.insert(0, photographs())
    return "\n".join(parts)
