"""find_chessboard_corners against cv2.findChessboardCorners, with a board in
view and without one (the slow case)."""

from __future__ import annotations

import pathlib

import cv2
import numpy as np

import morvelin
from common import ROOT, interleaved, table

DATA = ROOT / "tests" / "data"


def read_pgm(path: pathlib.Path) -> np.ndarray:
    data = path.read_bytes()
    parts = data.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    return np.frombuffer(parts[4][-width * height:], np.uint8).reshape(height, width)


def read_photo(name: str) -> np.ndarray:
    from PIL import Image

    with Image.open(DATA / "real" / name) as image:
        return np.asarray(image.convert("L")).copy()


def run() -> str:
    cases = [
        ("9x6 board, 640x480 photo", read_photo("opencv_left01.jpg"), (9, 6)),
        ("10x7 board, photo crop", read_pgm(DATA / "chessboard" / "opencvsharp_calibration_00.pgm"), (10, 7)),
        ("7x5 board, photo crop", read_pgm(DATA / "chessboard" / "swatbotics_calib_IMG_1438.pgm"), (7, 5)),
        ("no board: desk photo 640x480", read_photo("opencv_singlemarkersoriginal.jpg"), (9, 6)),
        ("no board: ChArUco photo", read_photo("opencv_calib_img_01.jpg"), (9, 6)),
        ("no board: noise 640x480", np.random.default_rng(0).integers(0, 256, (480, 640), dtype=np.uint8), (9, 6)),
    ]
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 15, 0.1)

    def opencv(image, pattern):
        ok, corners = cv2.findChessboardCorners(image, pattern)
        if ok:  # our finder refines its corners too
            cv2.cornerSubPix(image, corners, (2, 2), (-1, -1), criteria)
        return ok

    rows = []
    for name, image, pattern in cases:
        t = interleaved({
            "morvelin": lambda: morvelin.find_chessboard_corners(image, pattern),
            "opencv": lambda: opencv(image, pattern),
        }, repeats=7, warmup=1)
        rows.append([name, morvelin.find_chessboard_corners(image, pattern)[0], opencv(image, pattern),
                     t["morvelin"] * 1e3, t["opencv"] * 1e3, t["morvelin"] / t["opencv"]])
    return table("Chessboard corners (ms per image; OpenCV includes cornerSubPix when found)",
                 ["image", "morvelin found", "OpenCV found", "morvelin ms", "OpenCV ms", "ratio"], rows)
