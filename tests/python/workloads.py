"""Representative calls of every module function, and calls that fail in the
binding layer at each conversion or validation stage. Shared by the thread
stress test, the leak checks and the memory-checker script.

`calls(size)` and `failing_calls(size)` return {name: Call}. The inputs are
rendered once per size; the DetectorParameters, CharucoBoard and RigidBody
instances are shared by all calls, as a multi-threaded caller shares them.
A Call keeps its arguments, so the leak checks can watch their reference
counts.
"""

from __future__ import annotations

import functools
import math
import pickle

import numpy as np

import morvelin
from rendering import charuco_bitmap, charuco_scene, marker_scene, to_uint8

K = [[700.0, 0.0, 320.0], [0.0, 700.0, 240.0], [0.0, 0.0, 1.0]]
DIST = [0.05, -0.02, 0.001, 0.0005, 0.0]
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
# tiny: one marker per image and a crisp 3 x 3 board, for loops of many calls
SIZES = {"tiny": (80, 80), "small": (240, 180), "medium": (480, 360)}


class Call:
    """function(*args, **kwargs); `raises` is the exception type a failing
    call raises."""

    def __init__(self, function, *args, raises=None, **kwargs):
        self.function, self.args, self.kwargs, self.raises = function, args, kwargs, raises

    def __call__(self):
        return self.function(*self.args, **self.kwargs)

    def arguments(self):
        """Every argument object, and the items of list and tuple arguments
        down to two levels (rows of point lists)."""
        found, pending = [], [(obj, 0) for obj in (*self.args, *self.kwargs.values())]
        while pending:
            obj, depth = pending.pop()
            found.append(obj)
            if depth < 2 and isinstance(obj, (list, tuple)):
                pending.extend((item, depth + 1) for item in obj)
        return found

    def repeat(self, times):
        """Calls it `times` times; a failing call must raise its own type."""
        for _ in range(times):
            try:
                self()
            except Exception as error:  # noqa: BLE001 - only the expected type passes
                if self.raises is None or not isinstance(error, self.raises):
                    raise


def plain(value):
    """Results as plain data, so that instances of the module's classes
    compare by value."""
    if isinstance(value, morvelin.RigidBodyPose):
        return ("RigidBodyPose", value.rvec, value.tvec, value.inlier_indices, value.inlier_marker_ids,
                value.used_marker_ids, value.reprojection_rmse)
    if isinstance(value, morvelin.CharucoBoard):
        return repr(value), value.ids, value.chessboard_corners
    if isinstance(value, (morvelin.RigidBody, morvelin.DetectorParameters)):
        return repr(value)
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    return value


def chessboard(columns, rows, square):
    """A crisp chessboard of (columns + 1) x (rows + 1) squares on a white margin."""
    cells = (np.indices((rows + 1, columns + 1)).sum(axis=0) % 2 * 225 + 15).astype(np.uint8)
    return np.pad(np.kron(cells, np.ones((square, square), np.uint8)), square, constant_values=240)


def parameters():
    """DetectorParameters for each corner refinement path, and settings with
    a zero threshold-window step."""
    subpix = morvelin.DetectorParameters()
    subpix.corner_refinement_method = morvelin.CORNER_REFINE_SUBPIX
    april = morvelin.DetectorParameters()
    april.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
    april.april_tag_quad_decimate = 2.0
    april.april_tag_refine_full_resolution = True
    contour = morvelin.DetectorParameters()
    contour.corner_refinement_method = morvelin.CORNER_REFINE_CONTOUR
    step_zero = morvelin.DetectorParameters()
    step_zero.adaptive_thresh_win_size_step = 0
    return dict(subpix=subpix, april=april, contour=contour, step_zero=step_zero)


@functools.lru_cache(maxsize=None)
def inputs(size: str):
    width, height = SIZES[size]
    if size == "tiny":
        markers, _ = marker_scene("DICT_4X4_50", [3], size=(width, height), side=44)
    else:
        markers, _ = marker_scene("DICT_4X4_50", [3, 17], size=(width, height), side=height * 0.35, angle=8)
    markers = to_uint8(markers, noise=1.0)
    camera = [[width * 1.1, 0.0, width / 2], [0.0, width * 1.1, height / 2], [0.0, 0.0, 1.0]]
    if size == "tiny":  # a crisp, upright 3 x 3 board at 6 pixels per cell
        bitmap = np.pad((charuco_bitmap(3, 3, "DICT_4X4_50", 30, 18) * 220 + 20).astype(np.uint8), 8,
                        constant_values=240)
        charuco = np.kron(bitmap, np.ones((2, 2), np.uint8))
        board = morvelin.CharucoBoard(3, 3, 0.04, 0.024, "DICT_4X4_50")
    else:
        squares = (4, 3)
        charuco, marker_length = charuco_scene(*squares, "DICT_4X4_50", camera, [0.05, -0.1, 0.02],
                                               [-0.08, -0.06, 0.3 if size == "medium" else 0.17],
                                               size=(width, height))[:2]
        board = morvelin.CharucoBoard(*squares, 0.04, marker_length, "DICT_4X4_50")
    chess = chessboard(4, 3, max(8, height // 10))

    rng = np.random.default_rng(7)
    objects = np.c_[rng.uniform(-0.2, 0.2, (12, 2)), np.zeros(12)]
    rvec, tvec = [0.2, -0.1, 0.05], [0.02, -0.01, 1.2]
    images = np.array(morvelin.project_points(objects, rvec, tvec, K, DIST))
    images[3] += [25.0, -12.0]  # one outlier for RANSAC to reject

    rotations = [I3, morvelin.rodrigues([[0.0, 0.5, 0.0]]), morvelin.rodrigues([[0.3, 0.0, 0.2]])]
    translations = [[0.0, 0.0, 0.0], [0.2, 0.0, 0.05], [-0.1, 0.15, 0.0]]
    body = morvelin.RigidBody(0.1, [1, 2, 3], rotations, translations)
    half = 0.05
    local = np.array([[-half, half, 0], [half, half, 0], [half, -half, 0], [-half, -half, 0]])
    body_corners = [morvelin.project_points(local @ np.asarray(r).T + t, rvec, tvec, K)
                    for r, t in zip(rotations, translations)]
    charuco_points = morvelin.project_points(board.chessboard_corners, rvec, [-0.06, -0.04, 0.5], K)
    # Three views of a 5 x 4 grid for the calibration calls, and of the
    # 12 corners of a 5 x 4 ChArUco board.
    grid = [[0.03 * c, 0.03 * r, 0.0] for r in range(4) for c in range(5)]
    view_poses = [([0.3, 0.1, 0.0], [-0.06, -0.04, 0.5]), ([-0.2, 0.3, 0.1], [-0.05, -0.05, 0.6]),
                  ([0.1, -0.3, -0.1], [-0.07, -0.03, 0.55])]
    calibration_board = morvelin.CharucoBoard(5, 4, 0.03, 0.02, "DICT_4X4_50")
    return dict(grid=grid, grid_views=[morvelin.project_points(grid, r, t, K, DIST) for r, t in view_poses],
                calibration_board=calibration_board,
                board_views=[morvelin.project_points(calibration_board.chessboard_corners, r, t, K, DIST)
                             for r, t in view_poses],
                calibration=morvelin.calibrate_camera([grid] * 3, [morvelin.project_points(grid, r, t, K, DIST)
                                                                   for r, t in view_poses], (640, 480)),
markers=markers, bgr=np.ascontiguousarray(np.dstack([markers] * 3)), flipped=markers[::-1],
                transposed=markers.T, charuco=charuco, board=board, chess=chess, **parameters(), objects=objects, object_list=objects.tolist(),
                images=images, image_list=images.tolist(), rvec=rvec, tvec=tvec, body=body,
                body_corners=body_corners, charuco_points=charuco_points, rotation=morvelin.rodrigues([rvec]),
                corner_ids=list(range(len(board.chessboard_corners))),
                pose=morvelin.estimate_rigid_body_pose(body_corners, [1, 2, 3], body, K))


def _pose_repr(*args):
    return repr(morvelin.estimate_rigid_body_pose(*args))


def _pickled(obj):
    return pickle.loads(pickle.dumps(obj))


def calls(size: str = "small"):
    """Successful calls of every function, property and constructor."""
    d = inputs(size)
    m, board, body, dict4 = d["markers"], d["board"], d["body"], "DICT_4X4_50"
    return {
        "detect_markers": Call(morvelin.detect_markers, m, dict4),
        "detect_markers_subpix": Call(morvelin.detect_markers, m, dict4, d["subpix"]),
        "detect_markers_contour": Call(morvelin.detect_markers, m, dict4, parameters=d["contour"]),
        "detect_markers_apriltag": Call(morvelin.detect_markers, m, dict4, d["april"]),
        "detect_markers_bgr": Call(morvelin.detect_markers, d["bgr"], dict4),
        "detect_markers_batch": Call(morvelin.detect_markers_batch,
                                     [m, d["flipped"], d["transposed" if size == "tiny" else "charuco"]], dict4,
                                     d["subpix"]),
        "detect_markers_batch_apriltag": Call(morvelin.detect_markers_batch, (m, d["transposed"]), dict4,
                                              d["april"]),
        "detect_charuco_board": Call(morvelin.detect_charuco_board, d["charuco"], board, d["subpix"]),
        "find_chessboard_corners": Call(morvelin.find_chessboard_corners, d["chess"], (4, 3)),
        "solve_pnp_ransac": Call(morvelin.solve_pnp_ransac, d["objects"], d["images"], K, DIST, seed=3),
        "estimate_rigid_body_pose": Call(morvelin.estimate_rigid_body_pose, d["body_corners"], [1, 2, 3], body, K),
        "solve_pnp": Call(morvelin.solve_pnp, d["objects"], d["images"], K, DIST),
        "solve_pnp_guess": Call(morvelin.solve_pnp, d["object_list"], d["image_list"], K, DIST, d["rvec"],
                                d["tvec"]),
        "project_points": Call(morvelin.project_points, d["objects"], d["rvec"], d["tvec"], K, DIST),
        "rodrigues_vector": Call(morvelin.rodrigues, [d["rvec"]]),
        "rodrigues_matrix": Call(morvelin.rodrigues, d["rotation"]),
        "estimate_pose_charuco_board": Call(morvelin.estimate_pose_charuco_board, d["charuco_points"],
                                            d["corner_ids"], board, K),
        "corner_sub_pix": Call(morvelin._corner_sub_pix, d["chess"], [[23.5, 24.2], [41.0, 39.0]], 3, 30, 0.01),
        "charuco_predict": Call(morvelin._charuco_predict, d["charuco"], board),
        "predefined_dictionaries": Call(morvelin.predefined_dictionaries),
        "parameters_repr": Call(repr, d["subpix"]),
        "parameters_get": Call(getattr, d["april"], "april_tag_critical_rad"),
        "parameters_set": Call(setattr, morvelin.DetectorParameters(), "adaptive_thresh_constant", 5.0),
        "parameters_new": Call(morvelin.DetectorParameters),
        "board_corners": Call(getattr, board, "chessboard_corners"),
        "board_ids": Call(getattr, board, "ids"),
        "board_repr": Call(repr, board),
        "board_new": Call(morvelin.CharucoBoard, 5, 4, 0.04, 0.03, "DICT_5X5_100", legacy_pattern=True),
        "body_ids": Call(getattr, body, "marker_ids"),
        "body_repr": Call(repr, body),
        "body_new": Call(morvelin.RigidBody, 0.05, [4], [I3], [[0.0, 0.0, 0.0]]),
        "rigid_body_pose_repr": Call(_pose_repr, d["body_corners"], [1, 2, 3], body, K),
        "generate_marker_image": Call(morvelin.generate_marker_image, dict4, 7, 48),
        "board_generate_image": Call(board.generate_image, 120, 90, 4),
        "pickle_parameters": Call(_pickled, d["april"]),
        "pickle_board": Call(_pickled, board),
        "pickle_body": Call(_pickled, body),
        "pickle_pose": Call(_pickled, d["pose"]),
        "calibrate_camera": Call(morvelin.calibrate_camera, [d["grid"]] * 3, d["grid_views"], (640, 480),
                                 reject_outliers=True),
        "calibrate_camera_charuco": Call(morvelin.calibrate_camera_charuco, d["board_views"], [list(range(12))] * 3,
                                         d["calibration_board"], (640, 480), distortion_terms=4),
        "calibration_rvecs": Call(getattr, d["calibration"], "rvecs"),
        "calibration_repr": Call(repr, d["calibration"]),
        "pickle_calibration": Call(_pickled, d["calibration"]),
        "undistort_points": Call(morvelin.undistort_points, d["images"], K, DIST, K),
        "undistort_image": Call(morvelin.undistort_image, d["bgr"], K, DIST),
        "optimal_new_camera_matrix": Call(morvelin.optimal_new_camera_matrix, K, DIST, (640, 480), 0.5),
        "estimate_marker_poses": Call(morvelin.estimate_marker_poses, d["body_corners"], 0.1, K, DIST),
    }


class FailingSequence:
    """A sequence of images whose iteration raises after the first one."""

    def __init__(self, image):
        self.image = image

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 0:
            return self.image
        raise RuntimeError("camera unplugged")


def failing_calls(size: str = "small"):
    """Calls that raise, each at a different stage of argument handling;
    several fail on a late argument, after earlier ones were converted."""
    d = inputs(size)
    m, board, body, dict4 = d["markers"], d["board"], d["body"], "DICT_4X4_50"
    obj, img, corners = d["objects"], d["images"], d["body_corners"]
    return {
        "detect_markers_unknown_dictionary": Call(morvelin.detect_markers, m, "DICT_9X9_1", raises=ValueError),
        "detect_markers_bad_parameters": Call(morvelin.detect_markers, m, dict4, 5, raises=TypeError),
        "detect_markers_channels": Call(morvelin.detect_markers, np.zeros((4, 4, 4), np.uint8), dict4,
                                        raises=ValueError),
        "detect_markers_float_image": Call(morvelin.detect_markers, m.astype(np.float32), dict4, raises=TypeError),
        "detect_markers_keyword": Call(morvelin.detect_markers, m, dict4, nope=1, raises=TypeError),
        "detect_markers_step_zero": Call(morvelin.detect_markers, m, dict4, d["step_zero"], raises=ValueError),
        "batch_bad_item": Call(morvelin.detect_markers_batch, [m, m, "x"], dict4, raises=TypeError),
        "batch_bad_shape": Call(morvelin.detect_markers_batch, [m, np.zeros((2, 2, 2), np.uint8)], dict4,
                                raises=ValueError),
        "batch_failing_iterator": Call(morvelin.detect_markers_batch, FailingSequence(m), dict4,
                                       raises=RuntimeError),
        "charuco_min_markers": Call(morvelin.detect_charuco_board, d["charuco"], board, min_markers=3,
                                    raises=ValueError),
        "charuco_board_type": Call(morvelin.detect_charuco_board, d["charuco"], "board", raises=TypeError),
        "chessboard_pattern_value": Call(morvelin.find_chessboard_corners, d["chess"], (2, 9), raises=ValueError),
        "chessboard_pattern_type": Call(morvelin.find_chessboard_corners, d["chess"], [4, 3], raises=TypeError),
        "ransac_too_few": Call(morvelin.solve_pnp_ransac, obj[:4], img[:4], K, raises=ValueError),
        "ransac_bad_row": Call(morvelin.solve_pnp_ransac, obj, d["image_list"][:-1] + [[1.0]], K,
                               raises=TypeError),
        "ransac_bad_confidence": Call(morvelin.solve_pnp_ransac, obj, img, K, confidence=math.nan,
                                      raises=ValueError),
        "ransac_bad_camera": Call(morvelin.solve_pnp_ransac, obj, img, [[1.0, 2.0]], raises=ValueError),
        "rigid_body_bad_ids": Call(morvelin.estimate_rigid_body_pose, corners, [1, 2, "x"], body, K,
                                   raises=TypeError),
        "rigid_body_lengths": Call(morvelin.estimate_rigid_body_pose, corners, [1, 2], body, K, raises=ValueError),
        "rigid_body_seed": Call(morvelin.estimate_rigid_body_pose, corners, [1, 2, 3], body, K, seed=-1,
                                raises=OverflowError),
        "rigid_body_camera": Call(morvelin.estimate_rigid_body_pose, corners, [1, 2, 3], body, [[1.0] * 3] * 2,
                                  raises=ValueError),
        "solve_pnp_bad_rvec": Call(morvelin.solve_pnp, obj, img, K, None, [1.0, 2.0], raises=TypeError),
        "solve_pnp_mismatch": Call(morvelin.solve_pnp, obj, img[:5], K, raises=ValueError),
        "project_points_str": Call(morvelin.project_points, "abc", [0, 0, 0], [0, 0, 1], K, raises=TypeError),
        "project_points_dist": Call(morvelin.project_points, obj, [0, 0, 0], [0, 0, 1], K, [1.0, 2.0, 3.0],
                                    raises=ValueError),
        "rodrigues_shape": Call(morvelin.rodrigues, [[1.0, 2.0]], raises=ValueError),
        "pose_charuco_ids": Call(morvelin.estimate_pose_charuco_board, d["charuco_points"], ["a"] * 12, board, K,
                                 raises=TypeError),
        "corner_sub_pix_win": Call(morvelin._corner_sub_pix, d["chess"], [[20.0, 20.0]], -1, 30, 0.01,
                                   raises=OverflowError),
        "charuco_predict_image": Call(morvelin._charuco_predict, [[0]], board, raises=TypeError),
        "board_new_ids": Call(morvelin.CharucoBoard, 5, 4, 0.04, 0.03, dict4, ids=[1, 2], raises=ValueError),
        "board_new_dictionary": Call(morvelin.CharucoBoard, 5, 4, 0.04, 0.03, "DICT_X", raises=ValueError),
        "body_new_rotation": Call(morvelin.RigidBody, 0.1, [1], [[[2, 0, 0], [0, 1, 0], [0, 0, 1]]], [[0, 0, 0]],
                                  raises=ValueError),
        "body_new_rows": Call(morvelin.RigidBody, 0.1, [1], [I3], [[0, 0]], raises=TypeError),
        "parameters_value": Call(setattr, d["subpix"], "april_tag_quad_sigma", math.inf, raises=ValueError),
        "parameters_overflow": Call(setattr, d["subpix"], "corner_refinement_win_size", 2**40,
                                    raises=OverflowError),
        "parameters_bool": Call(setattr, d["subpix"], "april_tag_deglitch", 1, raises=TypeError),
        "parameters_delete": Call(delattr, d["subpix"], "adaptive_thresh_constant", raises=AttributeError),
        "pose_new": Call(morvelin.RigidBodyPose, raises=TypeError),
        "marker_image_id": Call(morvelin.generate_marker_image, dict4, 50, 48, raises=ValueError),
        "marker_image_size": Call(morvelin.generate_marker_image, dict4, 7, 2**63 - 1, raises=ValueError),
        "board_image_margin": Call(board.generate_image, 120, 90, 60, raises=ValueError),
        "pose_restore_arguments": Call(morvelin._rigid_body_pose, [0.0] * 3, [0.0] * 3, [], raises=TypeError),
        "calibrate_terms": Call(morvelin.calibrate_camera, [d["grid"]] * 3, d["grid_views"], (640, 480),
                                distortion_terms=6, raises=ValueError),
        "calibrate_late_option": Call(morvelin.calibrate_camera, [d["grid"]] * 3, d["grid_views"], (640, 480),
                                      max_iterations=-1, raises=OverflowError),
        "calibrate_bad_view": Call(morvelin.calibrate_camera, [d["grid"]] * 3, d["grid_views"][:2] + [[[1.0]]],
                                   (640, 480), raises=TypeError),
        "calibrate_charuco_board": Call(morvelin.calibrate_camera_charuco, d["board_views"], [list(range(12))] * 3,
                                        "board", (640, 480), raises=TypeError),
        "calibration_restore": Call(morvelin.morvelin._camera_calibration, *d["calibration"].__reduce__()[1][:10],
                                    "yes", raises=TypeError),
        "undistort_image_camera": Call(morvelin.undistort_image, m, [[math.nan] * 3] * 3, None, raises=ValueError),
        "marker_poses_length": Call(morvelin.estimate_marker_poses, corners, -1.0, K, raises=ValueError),
    }
