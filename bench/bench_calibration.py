"""Camera calibration, undistortion and marker poses against OpenCV on the same
inputs: time ratios and how far the results lie apart."""

from __future__ import annotations

import math

import cv2
import numpy as np

import morvelin
from common import ROOT, interleaved, table

K = np.array([[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]])
DIST5 = np.array([0.1, -0.2, 0.001, -0.002, 0.05])
DIST8 = np.array([0.1, -0.2, 0.001, -0.002, 0.05, 0.01, -0.02, 0.01])
GRID = np.array([[c * 0.03, r * 0.03, 0.0] for r in range(6) for c in range(9)])
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, np.finfo(float).eps)
FLAGS = {5: 0, 8: cv2.CALIB_RATIONAL_MODEL, 4: cv2.CALIB_FIX_K3}
PHOTOS = ROOT / "tests" / "data" / "real"
SHARED_CHESSBOARDS = ROOT.parent / "shared" / "data" / "real" / "chessboard"


def synthetic_views(count, dist, seed, noise=0.3, outliers=0.0):
    rng = np.random.default_rng(seed)
    images = []
    for _ in range(count):
        rvec = rng.normal(scale=0.4, size=3)
        tvec = np.array([-0.12 + rng.normal(scale=0.05), -0.08 + rng.normal(scale=0.05), 0.5 + rng.uniform(0, 0.3)])
        points = cv2.projectPoints(GRID, rvec, tvec, K, dist)[0].reshape(-1, 2) + rng.normal(scale=noise, size=(54, 2))
        bad = rng.random(54) < outliers
        points[bad] += rng.uniform(10, 40, (bad.sum(), 2)) * rng.choice([-1, 1], (bad.sum(), 2))
        images.append(points.astype(np.float32))
    return [GRID.astype(np.float32)] * count, images


def intrinsics(matrix):
    return np.asarray(matrix)[[0, 1, 0, 1], [0, 1, 2, 2]]


def compare(name, objects, images, size, terms):
    ours = morvelin.calibrate_camera(objects, images, size, distortion_terms=terms)
    rms, matrix, _, _, _ = cv2.calibrateCamera(objects, images, size, None, None, flags=FLAGS[terms],
                                               criteria=CRITERIA)
    t = interleaved({
        "morvelin": lambda: morvelin.calibrate_camera(objects, images, size, distortion_terms=terms),
        "opencv": lambda: cv2.calibrateCamera(objects, images, size, None, None, flags=FLAGS[terms],
                                              criteria=CRITERIA),
    })
    k_ours, k_cv = intrinsics(ours.camera_matrix), intrinsics(matrix)
    return [name, terms, ours.rms, f"{(ours.rms - rms) / rms:.1e}", f"{np.max(np.abs(k_ours - k_cv) / k_cv):.1e}",
            "yes" if ours.converged else "no", t["morvelin"] * 1e3, t["opencv"] * 1e3, t["morvelin"] / t["opencv"]]


def chessboard_photos():
    """OpenCV's corners of the 9x6 stereo photographs (left camera), so that
    both calibrate the same points."""
    from PIL import Image

    objects, images = [], []
    for path in sorted(SHARED_CHESSBOARDS.glob("opencv_left*.jpg")):
        gray = np.asarray(Image.open(path).convert("L"))
        found, corners = cv2.findChessboardCorners(gray, (9, 6))
        if found:
            corners = cv2.cornerSubPix(gray, corners, (11, 11), (-1, -1),
                                       (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 30, 0.01))
            objects.append((GRID / 0.03 * 0.025).astype(np.float32))
            images.append(corners.reshape(-1, 2))
    return objects, images


def charuco_photos():
    from PIL import Image

    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250")
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0
    objects, images = [], []
    for path in sorted(PHOTOS.glob("opencv_calib_img_*.jpg")):
        corners, ids, _, _ = morvelin.detect_charuco_board(np.asarray(Image.open(path).convert("L")), board, params)
        objects.append(np.array([board.chessboard_corners[i] for i in ids], np.float32))
        images.append(np.array(corners, np.float32))
    return objects, images


def calibration_rows():
    rows = []
    for count in (5, 15, 30):
        for terms, dist in ((5, DIST5), (8, DIST8)):
            rows.append(compare(f"synthetic, {count} views", *synthetic_views(count, dist, seed=count), (640, 480),
                                terms))
    objects, images = chessboard_photos()
    if objects:
        for terms in (5, 8):
            rows.append(compare(f"9x6 photos, {len(objects)} views", objects, images, (640, 480), terms))
    rows.append(compare("ChArUco photos, 4 views", *charuco_photos(), (640, 480), 5))
    return rows


def outlier_rows():
    """Intrinsics with 2% of the corners moved by 10-40 px, in standard
    deviations of the clean calibration from the clean intrinsics."""
    rows = []
    for seed in range(3):
        objects, clean = synthetic_views(15, DIST5, seed=100 + seed)
        _, dirty = synthetic_views(15, DIST5, seed=100 + seed, outliers=0.02)
        reference = morvelin.calibrate_camera(objects, clean, (640, 480))
        sigma = np.array(reference.std_deviations[:4])

        def off(calibration):
            return float(np.max(np.abs(intrinsics(calibration.camera_matrix) - intrinsics(reference.camera_matrix))
                                / sigma))

        robust = morvelin.calibrate_camera(objects, dirty, (640, 480), reject_outliers=True)
        _, cv_matrix, _, _, _ = cv2.calibrateCamera(objects, dirty, (640, 480), None, None, criteria=CRITERIA)
        rows.append([f"15 views, seed {seed}", off(morvelin.calibrate_camera(objects, dirty, (640, 480))), off(robust),
                     float(np.max(np.abs(intrinsics(cv_matrix) - intrinsics(reference.camera_matrix)) / sigma)),
                     sum(map(len, robust.outliers))])
    return rows


def undistortion_rows():
    rows = []
    pixels = np.random.default_rng(0).uniform([0, 0], [640, 480], (1000, 2))
    converged = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 100, 1e-15)
    for name, dist in (("5 terms", DIST5), ("strong barrel", np.array([-0.35, 0.12, 0.001, -0.002, 0.0]))):
        ours = np.array(morvelin.undistort_points(pixels, K, dist, K))
        reference = cv2.undistortPoints(pixels.reshape(-1, 1, 2), K, dist, P=K, criteria=converged).reshape(-1, 2)
        default = cv2.undistortPoints(pixels.reshape(-1, 1, 2), K, dist, P=K).reshape(-1, 2)
        t = interleaved({"morvelin": lambda: morvelin.undistort_points(pixels, K, dist, K),
                         "opencv": lambda: cv2.undistortPoints(pixels.reshape(-1, 1, 2), K, dist, P=K,
                                                               criteria=converged)}, repeats=50)
        rows.append([f"undistort_points, 1000 points, {name}", "max px vs converged / 5-step OpenCV",
                     f"{np.abs(ours - reference).max():.1e} / {np.abs(ours - default).max():.1e}",
                     t["morvelin"] * 1e3, t["opencv"] * 1e3, t["morvelin"] / t["opencv"]])
    rng = np.random.default_rng(1)
    for shape in ((480, 640), (480, 640, 3), (1080, 1920), (1080, 1920, 3)):
        image = cv2.GaussianBlur(rng.integers(0, 256, shape, dtype=np.uint8), (0, 0), 1.5)
        difference = np.abs(morvelin.undistort_image(image, K, DIST5).astype(int) - cv2.undistort(image, K, DIST5))
        t = interleaved({"morvelin": lambda: morvelin.undistort_image(image, K, DIST5),
                         "opencv": lambda: cv2.undistort(image, K, DIST5)}, repeats=41)
        rows.append([f"undistort_image {shape[1]}x{shape[0]}{' BGR' if len(shape) == 3 else ''}",
                     "mean abs difference (grey levels)", f"{difference.mean():.3f}", t["morvelin"] * 1e3,
                     t["opencv"] * 1e3, t["morvelin"] / t["opencv"]])
    matrix, _ = morvelin.optimal_new_camera_matrix(K, DIST5, (640, 480), 0.5)
    cv_matrix, _ = cv2.getOptimalNewCameraMatrix(K, DIST5, (640, 480), 0.5)
    t = interleaved({"morvelin": lambda: morvelin.optimal_new_camera_matrix(K, DIST5, (640, 480), 0.5),
                     "opencv": lambda: cv2.getOptimalNewCameraMatrix(K, DIST5, (640, 480), 0.5)}, repeats=100)
    rows.append(["optimal_new_camera_matrix, alpha 0.5", "max difference", f"{np.abs(np.array(matrix) - cv_matrix).max():.1e}",
                 t["morvelin"] * 1e3, t["opencv"] * 1e3, t["morvelin"] / t["opencv"]])
    return rows


def marker_pose_rows():
    from PIL import Image

    camera = np.array([[628.158, 0.0, 324.099], [0.0, 628.158, 260.908], [0.0, 0.0, 1.0]])
    dist = np.array([0.0995485, -0.206384, 0.00754589, 0.00336531, 0.0])
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0
    image = np.asarray(Image.open(PHOTOS / "opencv_singlemarkersoriginal.jpg").convert("L"))
    corners, _ = morvelin.detect_markers(image, "DICT_6X6_250", params)
    h = 0.025
    square = np.array([[-h, h, 0], [h, h, 0], [h, -h, 0], [-h, -h, 0]])
    quads = [np.array(q) for q in corners]

    def opencv():
        return [cv2.solvePnP(square, q, camera, dist, flags=cv2.SOLVEPNP_IPPE_SQUARE) for q in quads]

    worst = 0.0
    for (rvec, _), (_, cv_rvec, _) in zip(morvelin.estimate_marker_poses(corners, 2 * h, camera, dist), opencv()):
        relative = np.array(morvelin.rodrigues([rvec])).T @ cv2.Rodrigues(cv_rvec)[0]
        worst = max(worst, math.degrees(math.acos(min(1.0, (np.trace(relative) - 1) / 2))))
    t = interleaved({"morvelin": lambda: morvelin.estimate_marker_poses(corners, 2 * h, camera, dist),
                     "opencv": opencv}, repeats=100)
    return [[f"estimate_marker_poses, {len(quads)} markers of a photo", "max angle to IPPE_SQUARE (deg)",
             f"{worst:.1e}", t["morvelin"] * 1e3, t["opencv"] * 1e3, t["morvelin"] / t["opencv"]]]


def run() -> str:
    text = table("Camera calibration against cv2.calibrateCamera on the same points (ms per call)",
                 ["views", "terms", "RMS px", "RMS rel. diff (ours - OpenCV)", "fx..cy max rel. diff", "converged",
                  "morvelin ms", "OpenCV ms", "ratio"], calibration_rows())
    text += "\n" + table("2% gross corner errors: intrinsics off the clean calibration, in its standard deviations",
                         ["case", "plain", "reject_outliers", "OpenCV", "points rejected"], outlier_rows())
    text += "\n" + table("Undistortion and marker poses against OpenCV (ms per call)",
                         ["case", "measure", "value", "morvelin ms", "OpenCV ms", "ratio"],
                         undistortion_rows() + marker_pose_rows())
    return text
