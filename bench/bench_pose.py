"""Per-call time of the pose functions against OpenCV's, same inputs, same run."""

from __future__ import annotations

import cv2
import numpy as np

import morvelin
from common import interleaved, table

K = np.array([[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]])
DIST = np.array([0.1, -0.05, 0.001, -0.002, 0.01])
RVEC, TVEC = np.array([0.2, -0.3, 0.1]), np.array([0.05, -0.02, 1.4])


def problem(n: int, outliers: float = 0.0, planar: bool = False, seed: int = 0):
    rng = np.random.default_rng(seed)
    pts = rng.uniform(-0.3, 0.3, (n, 3))
    if planar:
        pts[:, 2] = 0.0
    image = cv2.projectPoints(pts, RVEC, TVEC, K, DIST)[0].reshape(-1, 2)
    image += rng.normal(scale=0.3, size=image.shape)
    bad = rng.choice(n, int(n * outliers), replace=False)
    image[bad] += rng.uniform(30, 100, (len(bad), 2))
    return pts, image


def run() -> str:
    rows = []
    k_list, d_list = K.tolist(), DIST.tolist()

    pts, img = problem(4, planar=True)
    t = interleaved({
        "morvelin": lambda: morvelin.solve_pnp(pts, img, k_list, d_list),
        "opencv": lambda: cv2.solvePnP(pts, img, K, DIST, flags=cv2.SOLVEPNP_ITERATIVE),
    }, repeats=200)
    rows.append(["solve_pnp, 4 planar points", t["morvelin"] * 1e6, t["opencv"] * 1e6, t["morvelin"] / t["opencv"]])

    pts, img = problem(100)
    t = interleaved({
        "morvelin": lambda: morvelin.solve_pnp(pts, img, k_list, d_list),
        "opencv": lambda: cv2.solvePnP(pts, img, K, DIST, flags=cv2.SOLVEPNP_ITERATIVE),
    }, repeats=100)
    rows.append(["solve_pnp, 100 points", t["morvelin"] * 1e6, t["opencv"] * 1e6, t["morvelin"] / t["opencv"]])

    pts, img = problem(100, outliers=0.3)
    t = interleaved({
        "morvelin": lambda: morvelin.solve_pnp_ransac(pts, img, k_list, d_list, iterations=100),
        "opencv": lambda: cv2.solvePnPRansac(pts, img, K, DIST, iterationsCount=100, reprojectionError=3.0,
                                             confidence=0.99, flags=cv2.SOLVEPNP_ITERATIVE),
    }, repeats=50)
    rows.append(["solve_pnp_ransac, 100 points, 30% outliers", t["morvelin"] * 1e6, t["opencv"] * 1e6,
                 t["morvelin"] / t["opencv"]])

    pts, _ = problem(1000)
    t = interleaved({
        "morvelin": lambda: morvelin.project_points(pts, RVEC, TVEC, k_list, d_list),
        "opencv": lambda: cv2.projectPoints(pts, RVEC, TVEC, K, DIST),
    }, repeats=100)
    rows.append(["project_points, 1000 points", t["morvelin"] * 1e6, t["opencv"] * 1e6, t["morvelin"] / t["opencv"]])

    r = cv2.Rodrigues(RVEC)[0]
    t = interleaved({
        "morvelin": lambda: morvelin.rodrigues(r),
        "opencv": lambda: cv2.Rodrigues(r),
    }, repeats=500)
    rows.append(["rodrigues, matrix to vector", t["morvelin"] * 1e6, t["opencv"] * 1e6, t["morvelin"] / t["opencv"]])

    return table("Pose estimation (median µs per call, Python call included)",
                 ["case", "morvelin µs", "OpenCV µs", "ratio"], rows)
