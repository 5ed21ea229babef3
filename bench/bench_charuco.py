"""detect_charuco_board against OpenCV's ChArUco detector on the same images:
time, corners found, corner RMSE against ground truth."""

from __future__ import annotations

import cv2
import numpy as np

import morvelin
from common import interleaved, table
from rendering import charuco_scene

K = [[900.0, 0.0, 640.0], [0.0, 900.0, 360.0], [0.0, 0.0, 1.0]]
BOARDS = [((5, 7), "DICT_6X6_250", cv2.aruco.DICT_6X6_250), ((12, 9), "DICT_4X4_100", cv2.aruco.DICT_4X4_100)]


def views(squares_x, squares_y, seed):
    rng = np.random.default_rng(seed)
    square = 0.03
    for _ in range(3):
        rvec = rng.uniform(-0.35, 0.35, 3)
        distance = max(squares_x, squares_y) * square * 1.6
        tvec = (-squares_x * square / 2, -squares_y * square / 2, distance * rng.uniform(0.9, 1.2))
        yield rvec, tvec, square


def rmse(corners, ids, truth):
    if not len(ids):
        return float("nan")
    return float(np.sqrt(np.mean(np.sum((np.asarray(corners) - truth[ids]) ** 2, axis=1))))


def run() -> str:
    rows = []
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0  # OpenCV's default minimum marker size
    for (sx, sy), name, cv_dict in BOARDS:
        for k, (rvec, tvec, square) in enumerate(views(sx, sy, seed=sx)):
            image, marker_length, _, _, truth = charuco_scene(sx, sy, name, K, rvec, tvec, size=(1280, 720),
                                                              square=square, ratio=0.6)
            board = morvelin.CharucoBoard(sx, sy, square, marker_length, name)
            cv_board = cv2.aruco.CharucoBoard((sx, sy), square, marker_length, cv2.aruco.getPredefinedDictionary(cv_dict))
            detector = cv2.aruco.CharucoDetector(cv_board)
            t = interleaved({
                "morvelin": lambda: morvelin.detect_charuco_board(image, board, params),
                "opencv": lambda: detector.detectBoard(image),
            })
            corners, ids, _, _ = morvelin.detect_charuco_board(image, board, params)
            cv_corners, cv_ids, _, _ = detector.detectBoard(image)
            cv_ids = [] if cv_ids is None else cv_ids.ravel().tolist()
            cv_corners = [] if cv_corners is None else cv_corners.reshape(-1, 2)
            rows.append([f"{sx}x{sy} {name} view {k}", len(truth), len(ids), len(cv_ids), rmse(corners, ids, truth),
                         rmse(cv_corners, cv_ids, truth), t["morvelin"] * 1e3, t["opencv"] * 1e3,
                         t["morvelin"] / t["opencv"]])
    return table("ChArUco boards at 1280x720 (corners found; RMSE px against ground truth; ms per frame)",
                 ["board", "corners", "morvelin found", "OpenCV found", "morvelin RMSE", "OpenCV RMSE",
                  "morvelin ms", "OpenCV ms", "ratio"], rows)
