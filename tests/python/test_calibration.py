"""Camera calibration, camera files, undistortion and marker poses."""

import json
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2

K = [[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]]
DIST5 = [0.1, -0.2, 0.001, -0.002, 0.05]
DIST8 = DIST5 + [0.01, -0.02, 0.01]
PHOTOS = pathlib.Path(__file__).resolve().parents[1] / "data" / "real"
GRID = np.array([[c * 0.03, r * 0.03, 0.0] for r in range(6) for c in range(9)])  # a 9 x 6 chessboard


def views(count, dist=DIST5, noise=0.3, seed=0, grid=GRID):
    """Image points of the grid in `count` random poses, with Gaussian noise."""
    rng = np.random.default_rng(seed)
    images = []
    for _ in range(count):
        rvec = rng.normal(scale=0.4, size=3)
        tvec = [-0.12 + rng.normal(scale=0.05), -0.08 + rng.normal(scale=0.05), 0.5 + rng.uniform(0, 0.3)]
        points = np.array(morvelin.project_points(grid, rvec, tvec, K, dist))
        images.append(points + rng.normal(scale=noise, size=points.shape))
    return [grid] * count, images


def intrinsics(matrix):
    m = np.asarray(matrix)
    return m[[0, 1, 0, 1], [0, 1, 2, 2]]


# --- calibrate_camera ------------------------------------------------------------

def test_exact_views_give_back_the_camera_and_poses(tmp_path):
    objects, images = views(6, noise=0.0)
    cal = morvelin.calibrate_camera(objects, images, (640, 480))
    np.testing.assert_allclose(cal.camera_matrix, K, atol=1e-6)
    np.testing.assert_allclose(cal.dist_coeffs, DIST5, atol=1e-8)
    assert cal.rms < 1e-8 and cal.converged and cal.view_indices == list(range(6))
    for rvec, tvec, points in zip(cal.rvecs, cal.tvecs, images):
        np.testing.assert_allclose(morvelin.project_points(GRID, rvec, tvec, cal.camera_matrix, cal.dist_coeffs),
                                   points, atol=1e-6)
    # Without noise the rational model's six radial terms are redundant to
    # working precision: the camera matrix is still exact, but those
    # coefficients have no finite deviation (written as null and .Inf).
    rational = morvelin.calibrate_camera(*views(6, DIST8, noise=0.0), (640, 480), distortion_terms=12)
    np.testing.assert_allclose(rational.camera_matrix, K, atol=1e-6)
    assert np.all(np.isfinite(rational.std_deviations[:4])) and np.isinf(rational.std_deviations[4:]).any()
    rational.save(tmp_path / "rational.json")
    rational.save(tmp_path / "rational.yaml")
    assert None in json.loads((tmp_path / "rational.json").read_text())["std_deviations"]
    assert morvelin.load_camera(tmp_path / "rational.yaml")[1] == rational.dist_coeffs


def test_noisy_views_recover_the_camera_within_its_standard_deviations():
    objects, images = views(15, noise=0.3, seed=3)
    # N x 1 x 3 / N x 1 x 2 arrays, as other calibration tools keep them.
    cal = morvelin.calibrate_camera([o.reshape(-1, 1, 3) for o in objects],
                                    [i.reshape(-1, 1, 2).astype(np.float32) for i in images], np.array([640, 480]))
    assert abs(cal.rms - 0.3 * math.sqrt(2)) < 0.03  # 0.3 px per coordinate
    assert len(cal.per_view_errors) == 15 and cal.outliers == [[]] * 15
    deviations = np.array(cal.std_deviations)
    assert deviations.shape == (9,) and np.all(deviations > 0)
    errors = np.abs(np.r_[intrinsics(cal.camera_matrix), cal.dist_coeffs] - np.r_[intrinsics(K), DIST5])
    assert np.all(errors < 4 * deviations)


def test_options_hold_what_they_fix():
    objects, images = views(8, seed=1)
    guess = [[700.0, 0.0, 300.0], [0.0, 700.0 / 1.05, 250.0], [0.0, 0.0, 1.0]]
    cal = morvelin.calibrate_camera(objects, images, (640, 480), camera_matrix=guess, fix_principal_point=True,
                                    fix_aspect_ratio=True, zero_tangent_dist=True, distortion_terms=4)
    fx, fy, cx, cy = intrinsics(cal.camera_matrix)
    assert (cx, cy) == (300.0, 250.0) and fx / fy == pytest.approx(1.05, rel=1e-12)
    assert cal.dist_coeffs[2:] == [0.0, 0.0] and len(cal.dist_coeffs) == 4
    assert cal.std_deviations[2:4] == [0.0, 0.0] and cal.std_deviations[6:] == [0.0, 0.0]
    assert cal.std_deviations[0] == pytest.approx(1.05 * cal.std_deviations[1])
    none = morvelin.calibrate_camera(objects, images, (640, 480), distortion_terms=0, fix_principal_point=True)
    assert none.dist_coeffs == [] and intrinsics(none.camera_matrix)[2:].tolist() == [319.5, 239.5]


def test_non_planar_target_starts_from_the_given_camera():
    cube = np.random.default_rng(4).uniform(-0.1, 0.1, (40, 3))
    objects, images = views(5, noise=0.0, grid=cube + [0.12, 0.08, 0.0])
    with pytest.raises(ValueError, match="^view 0 is not planar; a non-planar target needs camera_matrix"):
        morvelin.calibrate_camera(objects, images, (640, 480))
    guess = [[750.0, 0.0, 330.0], [0.0, 750.0, 230.0], [0.0, 0.0, 1.0]]
    cal = morvelin.calibrate_camera(objects, images, (640, 480), camera_matrix=guess, dist_coeffs=[0.0] * 5)
    np.testing.assert_allclose(cal.camera_matrix, K, atol=1e-5)


def test_outlier_rejection_recovers_the_clean_camera():
    objects, clean = views(15, seed=7)
    rng = np.random.default_rng(8)
    dirty = [points.copy() for points in clean]
    gross = []
    for i, points in enumerate(dirty):
        bad = np.flatnonzero(rng.random(len(points)) < 0.02)
        points[bad] += rng.uniform(10, 40, (len(bad), 2)) * rng.choice([-1, 1], (len(bad), 2))
        gross.append(bad.tolist())
    reference = morvelin.calibrate_camera(objects, clean, (640, 480))
    sigma = np.array(reference.std_deviations[:4])
    plain = morvelin.calibrate_camera(objects, dirty, (640, 480))
    robust = morvelin.calibrate_camera(objects, dirty, (640, 480), reject_outliers=True)
    ref = intrinsics(reference.camera_matrix)
    assert np.max(np.abs(intrinsics(plain.camera_matrix) - ref) / sigma) > 3
    assert np.max(np.abs(intrinsics(robust.camera_matrix) - ref) / sigma) < 1
    assert all(set(g) <= set(o) for g, o in zip(gross, robust.outliers))  # every gross error found
    assert sum(map(len, robust.outliers)) <= sum(map(len, gross)) + 5      # and few good points lost
    assert abs(robust.rms - reference.rms) < 0.02


BAD_INPUT = [
    (dict(distortion_terms=6), "^distortion_terms must be 0, 4, 5, 8 or 12$"),
    (dict(max_iterations=0), "^max_iterations must be greater than zero$"),
    (dict(image_size=(0, 480)), r"^image_size must be two integers greater than zero \(width, height\)$"),
    (dict(image_size=(640,)), r"^image_size must be two integers greater than zero"),
    (dict(object_points=[], image_points=[]), "^need at least one view$"),
    (dict(image_points=[]), "^object_points and image_points must hold the same number of views$"),
    (dict(image_points=[GRID[:5, :2]]), "^view 0: object_points and image_points must have the same length$"),
    (dict(object_points=[GRID[:3]], image_points=[GRID[:3, :2]]), "^view 0 has 3 points; every view needs"),
    (dict(image_points=[np.where(GRID[:, :2] > 0.1, math.nan, GRID[:, :2])]), "^view 0: points must be finite$"),
    (dict(object_points=[GRID[:9]], image_points=[GRID[:9, :2]]), "^view 0: the object points lie on one line"),
    (dict(camera_matrix=[[0.0] * 3] * 3), "^camera_matrix must hold finite focal lengths greater than zero"),
    (dict(camera_matrix=[[1, 0], [0, 1]]), "^camera_matrix must be 3x3$"),
    (dict(dist_coeffs=[math.inf, 0, 0, 0]), "^dist_coeffs must be finite$"),
    (dict(dist_coeffs=[0.0] * 7 + [0.1]), "^dist_coeffs has non-zero terms beyond the 5 distortion_terms$"),
    (dict(object_points=[GRID[[0, 1, 2, 9, 10, 11]]], image_points=[GRID[[0, 1, 2, 9, 10, 11], :2]]),
     "^12 residuals cannot determine 15 free parameters: more points or views are needed$"),
    # Every view facing the camera: no focal length can be read off.
    (dict(image_points=[GRID[:, :2] * 1000 + 100]),
     "^cannot estimate the focal lengths from these views: tilt the target in some of them$"),
]


@pytest.mark.parametrize("change, message", BAD_INPUT)
def test_bad_input_is_a_value_error_naming_the_problem(change, message):
    args = dict(object_points=[GRID], image_points=[GRID[:, :2] * 500 + 50], image_size=(640, 480))
    args.update(change)
    with pytest.raises(ValueError, match=message):
        morvelin.calibrate_camera(args.pop("object_points"), args.pop("image_points"), args.pop("image_size"),
                                  **args)


def test_parallel_views_are_refused_not_reported():
    # The same tilted board moved about without turning: the principal point
    # is undetermined, which must not come out as a calibration.
    images = [np.array(morvelin.project_points(GRID, [0.3, 0.2, 0.0], [dx, dy, 0.6], K, DIST5))
              for dx, dy in [(-0.2, -0.1), (0.0, -0.1), (-0.1, 0.0), (0.05, 0.02)]]
    with pytest.raises(ValueError, match="^all views show the target in parallel planes, which leaves the principal"):
        morvelin.calibrate_camera([GRID] * 4, images, (640, 480))
    # With the principal point held, such views do give the focal lengths.
    cal = morvelin.calibrate_camera([GRID] * 4, images, (640, 480), camera_matrix=K, fix_principal_point=True)
    np.testing.assert_allclose(cal.camera_matrix, K, atol=1e-6)


def test_keyword_only_options_and_argument_types():
    objects, images = views(3)
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        morvelin.calibrate_camera(objects, images, (640, 480), K)
    with pytest.raises(TypeError, match="^argument 'object_points': "):
        morvelin.calibrate_camera("views", images, (640, 480))
    with pytest.raises(TypeError, match="^argument 'fix_aspect_ratio': "):
        morvelin.calibrate_camera(objects, images, (640, 480), fix_aspect_ratio=1)


@needs_cv2
@pytest.mark.parametrize("count", [5, 15, 30])
@pytest.mark.parametrize("options, flags", [
    ({}, 0), (dict(distortion_terms=8), "CALIB_RATIONAL_MODEL"), (dict(distortion_terms=4), "CALIB_FIX_K3"),
    (dict(fix_principal_point=True, zero_tangent_dist=True),
     "CALIB_FIX_PRINCIPAL_POINT | CALIB_ZERO_TANGENT_DIST")])
def test_matches_opencv_on_the_same_points(count, options, flags):
    import cv2
    objects, images = views(count, DIST8 if options.get("distortion_terms") == 8 else DIST5, seed=count)
    cv_flags = eval(flags, vars(cv2)) if flags else 0
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 200, np.finfo(float).eps)
    rms, matrix, dist, _, _, cv_deviations, _, _ = cv2.calibrateCameraExtended(
        [o.astype(np.float32) for o in objects], [i.astype(np.float32) for i in images], (640, 480), np.eye(3),
        None, flags=cv_flags, criteria=criteria)
    cal = morvelin.calibrate_camera(objects, [i.astype(np.float32) for i in images], (640, 480), **options)
    if options.get("distortion_terms") == 8 and cal.rms < rms * (1 - 1e-4):
        return  # the rational model has several minima; this fit found a lower one than OpenCV's
    assert cal.rms == pytest.approx(rms, rel=1e-4)
    np.testing.assert_allclose(intrinsics(cal.camera_matrix), intrinsics(matrix), rtol=1e-3)
    if not options:  # the rational model's extra terms are too weakly determined to compare
        np.testing.assert_allclose(cal.std_deviations, cv_deviations.ravel()[:9], rtol=1e-3)


# --- calibrate_camera_charuco -------------------------------------------------------

def test_charuco_views_are_selected_and_named():
    board = morvelin.CharucoBoard(7, 5, 0.03, 0.02, "DICT_4X4_50")
    corners3 = np.array(board.chessboard_corners)
    ids = list(range(len(corners3)))
    rng = np.random.default_rng(2)
    poses = [(rng.normal(scale=0.4, size=3), [-0.1, -0.06, 0.5 + 0.1 * k]) for k in range(5)]
    images = [np.array(morvelin.project_points(corners3, r, t, K, DIST5)) for r, t in poses]
    row = [i for i in ids if corners3[i][1] == corners3[0][1]]  # one row of corners: collinear
    corners = [images[0], images[1][:5], images[2][row], images[3], images[4]]
    cal = morvelin.calibrate_camera_charuco(corners, [ids, ids[:5], row, ids, ids], board, (640, 480))
    assert cal.view_indices == [0, 3, 4] and len(cal.rvecs) == 3
    np.testing.assert_allclose(cal.camera_matrix, K, atol=1e-5)
    with pytest.raises(ValueError, match="^charuco id 24 out of range$"):
        morvelin.calibrate_camera_charuco([images[0]], [[24] + ids[1:]], board, (640, 480))
    with pytest.raises(ValueError, match="^no view has at least 6 corners that are not collinear$"):
        morvelin.calibrate_camera_charuco([images[1][:5]], [ids[:5]], board, (640, 480))
    with pytest.raises(ValueError, match="^view 0: charuco_corners and charuco_ids must have the same length$"):
        morvelin.calibrate_camera_charuco([images[0]], [ids[:5]], board, (640, 480))
    with pytest.raises(TypeError, match="^argument 'board': "):
        morvelin.calibrate_camera_charuco([images[0]], [ids], "board", (640, 480))


# --- CameraCalibration and camera files -------------------------------------------

def test_calibration_saves_and_loads_camera_files(tmp_path):
    cal = morvelin.calibrate_camera(*views(4, seed=5), (640, 480))
    for name in ("cam.json", "cam.yaml", "CAM.YML"):
        cal.save(tmp_path / name)
        matrix, dist = morvelin.load_camera(str(tmp_path / name))
        assert matrix == cal.camera_matrix and dist == cal.dist_coeffs  # the shortest exact digits
    saved = json.loads((tmp_path / "cam.json").read_text())
    assert saved["image_size"] == [640, 480] and saved["std_deviations"] == cal.std_deviations
    with pytest.raises(OSError):
        cal.save(tmp_path / "missing" / "cam.json")
    (tmp_path / "bad.json").write_text('{"camera_matrix": [[1, 0], [0, 1]]}')
    with pytest.raises(ValueError, match="must hold 9 numbers"):
        morvelin.load_camera(tmp_path / "bad.json")


@needs_cv2
def test_saved_yaml_reads_in_opencv(tmp_path):
    import cv2
    cal = morvelin.calibrate_camera(*views(4, seed=6), (640, 480), distortion_terms=8)
    cal.save(tmp_path / "camera.yaml")
    storage = cv2.FileStorage(str(tmp_path / "camera.yaml"), cv2.FILE_STORAGE_READ)
    np.testing.assert_array_equal(storage.getNode("camera_matrix").mat(), cal.camera_matrix)
    np.testing.assert_array_equal(storage.getNode("distortion_coefficients").mat().ravel(), cal.dist_coeffs)
    assert storage.getNode("image_width").real() == 640


def test_results_do_not_depend_on_the_thread_count():
    # 40 views of 54 points: the fit runs its views on the pool.
    script = """
import pickle, sys, numpy as np, morvelin
sys.path.insert(0, {here!r})
from test_calibration import views, K, DIST5
cal = morvelin.calibrate_camera(*views(40, seed=9), (640, 480), reject_outliers=True)
image = np.random.default_rng(0).integers(0, 256, (301, 403, 3), dtype=np.uint8)
out = morvelin.undistort_image(image, K, DIST5)
sys.stdout.buffer.write(pickle.dumps((cal, out.tobytes())))
"""
    here = os.path.dirname(__file__)
    runs = [subprocess.run([sys.executable, "-c", script.format(here=here)], capture_output=True, timeout=300,
                           env={**os.environ, "MORVELIN_CORES": cores}) for cores in ("0", "all")]
    assert all(r.returncode == 0 for r in runs), runs[0].stderr
    assert runs[0].stdout == runs[1].stdout


# --- undistortion -------------------------------------------------------------------

@pytest.mark.parametrize("dist", [DIST5, DIST8 + [0.001, -0.002, 0.0005, 0.0007], [-0.3, 0.1, 0.001, -0.002]])
def test_undistort_points_inverts_project_points(dist):
    pixels = np.mgrid[0:480:40, 0:640:40].reshape(2, -1).T[:, ::-1].astype(float)
    rays = np.array(morvelin.undistort_points(pixels, K, dist))
    back = morvelin.project_points(np.c_[rays, np.ones(len(rays))], [0, 0, 0], [0, 0, 0], K, dist)
    np.testing.assert_allclose(back, pixels, atol=1e-9)
    new = [[500.0, 0.0, 300.0], [0.0, 510.0, 200.0], [0.0, 0.0, 1.0]]
    np.testing.assert_allclose(morvelin.undistort_points(pixels.reshape(-1, 1, 2), K, dist, new),
                               rays * [500, 510] + [300, 200], atol=1e-9)
    assert morvelin.undistort_points([[math.nan, 1.0]], K, dist)[0][0] != 0.0  # NaN in, NaN out


@needs_cv2
def test_undistortion_matches_opencv():
    import cv2
    k, d = np.array(K), np.array(DIST5)
    pixels = np.mgrid[0:480:24, 0:640:24].reshape(2, -1).T[:, ::-1].astype(float)
    # Iterated to convergence (by default OpenCV stops after 5 steps, short of
    # it by up to 2e-3 px at the corners of strongly distorted images).
    criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 100, 1e-15)
    if hasattr(cv2, "undistortPointsIter"):  # OpenCV 4
        converged = cv2.undistortPointsIter(pixels.reshape(-1, 1, 2), k, d, None, k, criteria).reshape(-1, 2)
    else:
        converged = cv2.undistortPoints(pixels.reshape(-1, 1, 2), k, d, P=k, criteria=criteria).reshape(-1, 2)
    np.testing.assert_allclose(morvelin.undistort_points(pixels, K, DIST5, K), converged, atol=1e-6)
    blurred = cv2.GaussianBlur(np.random.default_rng(1).integers(0, 256, (480, 640, 3), dtype=np.uint8), (0, 0), 2)
    for image in (blurred, blurred[:, :, 1], blurred[::-1, :, 1:2]):
        ours = morvelin.undistort_image(image, K, DIST5)
        assert ours.shape == image.shape and ours.dtype == np.uint8
        assert np.abs(ours.astype(int) - cv2.undistort(image, k, d).reshape(image.shape)).mean() <= 1.0
    for alpha in (0.0, 0.4, 1.0):
        matrix, roi = morvelin.optimal_new_camera_matrix(K, DIST5, (640, 480), alpha)
        cv_matrix, cv_roi = cv2.getOptimalNewCameraMatrix(k, d, (640, 480), alpha)
        np.testing.assert_allclose(matrix, cv_matrix, atol=1e-6)
        assert roi == cv_roi


def test_undistort_image_geometry_and_bad_input():
    # A white square on black, undistorted: its corners land where
    # undistort_points puts them, and rows beyond the image are black.
    image = np.zeros((240, 320), np.uint8)
    image[60:180, 80:240] = 255
    dist = [-0.25, 0.05, 0.0, 0.0]
    camera = [[300.0, 0.0, 160.0], [0.0, 300.0, 120.0], [0.0, 0.0, 1.0]]
    wide = [[200.0, 0.0, 160.0], [0.0, 200.0, 120.0], [0.0, 0.0, 1.0]]
    out = morvelin.undistort_image(image, camera, dist, wide)
    corner = morvelin.undistort_points([[79.5, 59.5]], camera, dist, wide)[0]
    x, y = round(corner[0]), round(corner[1])
    assert out[y + 2, x + 2] == 255 and out[y - 2, x - 2] == 0
    assert out[0, 0] == 0 and np.array_equal(morvelin.undistort_image(image, camera, None), image)
    for bad, message in [(dict(camera_matrix=[[math.nan] * 3] * 3), "^camera_matrix must hold finite"),
                         (dict(dist_coeffs=[math.inf] * 4), "^camera_matrix must hold finite"),
                         (dict(new_camera_matrix=[[0.0] * 3] * 3), "^new_camera_matrix must hold finite")]:
        args = dict(image=image, camera_matrix=camera, dist_coeffs=dist) | bad
        with pytest.raises(ValueError, match=message):
            morvelin.undistort_image(**args)
    with pytest.raises(ValueError, match="^alpha must be finite$"):
        morvelin.optimal_new_camera_matrix(camera, dist, (320, 240), math.nan)
    assert morvelin.undistort_image(np.zeros((0, 5, 3), np.uint8), camera, dist).shape == (0, 5, 3)


# --- marker poses ---------------------------------------------------------------------

def test_marker_poses_pick_the_right_one_of_two():
    half = 0.025
    square = [[-half, half, 0], [half, half, 0], [half, -half, 0], [-half, -half, 0]]
    truths = [([0.5, -0.3, 0.2], [0.05, -0.02, 0.4]), ([2.8, 0.3, 0.1], [-0.1, 0.05, 0.6])]
    corners = [morvelin.project_points(square, r, t, K, DIST5) for r, t in truths]
    corners.append([[1.0, 1.0]] * 4)  # collapsed: no pose
    corners.append([[math.nan, 0.0]] * 4)
    poses = morvelin.estimate_marker_poses(np.array(corners).reshape(-1, 1, 4, 2), 2 * half, K, DIST5)
    for (rvec, tvec), pose in zip(truths, poses):
        np.testing.assert_allclose(morvelin.rodrigues([pose[0]]), morvelin.rodrigues([rvec]), atol=1e-9)
        np.testing.assert_allclose(pose[1], tvec, atol=1e-9)
    assert poses[2:] == [None, None]
    with pytest.raises(ValueError, match="^marker_length must be finite and greater than zero$"):
        morvelin.estimate_marker_poses(corners, 0.0, K)
    shown = morvelin.draw_axes(np.zeros((480, 640), np.uint8), K, DIST5, *truths[0], 0.05)
    assert shown.shape == (480, 640, 3) and {(0, 0, 255), (0, 255, 0), (255, 0, 0)} <= set(map(tuple,
                                                                                               shown.reshape(-1, 3)))


@needs_cv2
def test_marker_poses_match_opencv_ippe_square_on_photographs():
    import cv2
    image = np.asarray(pytest.importorskip("PIL.Image").open(PHOTOS / "opencv_singlemarkersoriginal.jpg").convert("L"))
    # The tutorial camera of this photograph.
    camera = [[628.158, 0.0, 324.099], [0.0, 628.158, 260.908], [0.0, 0.0, 1.0]]
    dist = [0.0995485, -0.206384, 0.00754589, 0.00336531, 0.0]
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0
    corners, ids = morvelin.detect_markers(image, "DICT_6X6_250", params)
    assert len(ids) >= 5
    h = 0.025
    square = np.array([[-h, h, 0], [h, h, 0], [h, -h, 0], [-h, -h, 0]])
    for quad, (rvec, tvec) in zip(corners, morvelin.estimate_marker_poses(corners, 2 * h, camera, dist)):
        _, cv_rvec, cv_tvec = cv2.solvePnP(square, np.array(quad), np.array(camera), np.array(dist),
                                           flags=cv2.SOLVEPNP_IPPE_SQUARE)
        relative = np.array(morvelin.rodrigues([rvec])).T @ cv2.Rodrigues(cv_rvec)[0]
        assert math.degrees(math.acos(min(1.0, (np.trace(relative) - 1) / 2))) < 0.5
        np.testing.assert_allclose(tvec, cv_tvec.ravel(), rtol=1e-3)
