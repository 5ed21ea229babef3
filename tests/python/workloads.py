"""Representative calls of every module function, and calls that fail in the
binding layer at each conversion or validation stage. Shared by the thread
stress test, the leak checks and the memory-checker script.

`calls(size)` returns {name: zero-argument callable}. The inputs are rendered
once per size; DetectorParameters, CharucoBoard and RigidBody instances are
shared by all calls, as a multi-threaded caller would share them.
"""

from __future__ import annotations

import functools
import math

import numpy as np

import morvelin
from rendering import charuco_scene, marker_scene, to_uint8

K = [[700.0, 0.0, 320.0], [0.0, 700.0, 240.0], [0.0, 0.0, 1.0]]
DIST = [0.05, -0.02, 0.001, 0.0005, 0.0]
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def plain(value):
    """Results as plain data, so that RigidBodyPose instances compare by value."""
    if isinstance(value, morvelin.RigidBodyPose):
        return ("RigidBodyPose", value.rvec, value.tvec, value.inlier_indices, value.inlier_marker_ids,
                value.used_marker_ids, value.reprojection_rmse)
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    return value


def chessboard(columns, rows, square):
    """A crisp chessboard of (columns + 1) x (rows + 1) squares on a white margin."""
    cells = (np.indices((rows + 1, columns + 1)).sum(axis=0) % 2 * 225 + 15).astype(np.uint8)
    return np.pad(np.kron(cells, np.ones((square, square), np.uint8)), square, constant_values=240)


@functools.lru_cache(maxsize=None)
def _inputs(size: str):
    width, height = {"small": (240, 180), "medium": (480, 360)}[size]
    side = height * 0.35
    markers, _ = marker_scene("DICT_4X4_50", [3, 17], size=(width, height), side=side, angle=8)
    markers = to_uint8(markers, noise=1.0)
    camera = [[width * 1.1, 0.0, width / 2], [0.0, width * 1.1, height / 2], [0.0, 0.0, 1.0]]
    squares = (4, 3)
    charuco, marker_length = charuco_scene(*squares, "DICT_4X4_50", camera, [0.05, -0.1, 0.02],
                                           [-0.08, -0.06, 0.17 if size == "small" else 0.3],
                                           size=(width, height))[:2]
    board = morvelin.CharucoBoard(*squares, 0.04, marker_length, "DICT_4X4_50")
    chess = chessboard(4, 3, max(8, height // 10))
    params = morvelin.DetectorParameters()
    params.corner_refinement_method = morvelin.CORNER_REFINE_SUBPIX
    april = morvelin.DetectorParameters()
    april.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
    april.april_tag_quad_decimate = 2.0
    april.april_tag_refine_full_resolution = True
    contour = morvelin.DetectorParameters()
    contour.corner_refinement_method = morvelin.CORNER_REFINE_CONTOUR

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
    corner_ids = list(range(len(board.chessboard_corners)))
    charuco_points = morvelin.project_points(board.chessboard_corners, rvec, [-0.06, -0.04, 0.5], K)
    return dict(markers=markers, charuco=charuco, board=board, chess=chess, params=params, april=april,
                contour=contour, objects=objects, images=images, rvec=rvec, tvec=tvec, body=body,
                body_corners=body_corners, charuco_points=charuco_points, corner_ids=corner_ids)


def calls(size: str = "small"):
    """Successful calls of every function, property and constructor."""
    d = _inputs(size)
    m, board, body = d["markers"], d["board"], d["body"]
    return {
        "detect_markers": lambda: morvelin.detect_markers(m, "DICT_4X4_50"),
        "detect_markers_subpix": lambda: morvelin.detect_markers(m, "DICT_4X4_50", d["params"]),
        "detect_markers_contour": lambda: morvelin.detect_markers(m, "DICT_4X4_50", d["contour"]),
        "detect_markers_apriltag": lambda: morvelin.detect_markers(m, "DICT_4X4_50", d["april"]),
        "detect_markers_bgr": lambda: morvelin.detect_markers(np.dstack([m, m, m]), "DICT_4X4_50"),
        "detect_markers_batch": lambda: morvelin.detect_markers_batch([m, m[::-1], d["charuco"]], "DICT_4X4_50",
                                                                       d["params"]),
        "detect_markers_batch_apriltag": lambda: morvelin.detect_markers_batch([m, m.T], "DICT_4X4_50", d["april"]),
        "detect_charuco_board": lambda: morvelin.detect_charuco_board(d["charuco"], board, d["params"]),
        "find_chessboard_corners": lambda: morvelin.find_chessboard_corners(d["chess"], (4, 3)),
        "solve_pnp_ransac": lambda: morvelin.solve_pnp_ransac(d["objects"], d["images"], K, DIST, seed=3),
        "estimate_rigid_body_pose": lambda: morvelin.estimate_rigid_body_pose(d["body_corners"], [1, 2, 3], body,
                                                                               K),
        "solve_pnp": lambda: morvelin.solve_pnp(d["objects"], d["images"], K, DIST),
        "solve_pnp_guess": lambda: morvelin.solve_pnp(d["objects"].tolist(), d["images"].tolist(), K, DIST,
                                                      d["rvec"], d["tvec"]),
        "project_points": lambda: morvelin.project_points(d["objects"], d["rvec"], d["tvec"], K, DIST),
        "rodrigues_vector": lambda: morvelin.rodrigues([d["rvec"]]),
        "rodrigues_matrix": lambda: morvelin.rodrigues(morvelin.rodrigues([d["rvec"]])),
        "estimate_pose_charuco_board": lambda: morvelin.estimate_pose_charuco_board(
            d["charuco_points"], d["corner_ids"], board, K),
        "corner_sub_pix": lambda: morvelin._corner_sub_pix(d["chess"], [[23.5, 24.2], [41.0, 39.0]], 3, 30, 0.01),
        "charuco_predict": lambda: morvelin._charuco_predict(d["charuco"], board),
        "predefined_dictionaries": morvelin.predefined_dictionaries,
        "parameters_repr": lambda: repr(d["params"]),
        "parameters_new": lambda: morvelin.DetectorParameters() == d["params"],
        "board_properties": lambda: (board.chessboard_corners, board.ids, repr(board)),
        "board_new": lambda: morvelin.CharucoBoard(5, 4, 0.04, 0.03, "DICT_5X5_100", legacy_pattern=True).ids,
        "body_properties": lambda: (body.marker_ids, body.tag_size_m, repr(body)),
        "body_new": lambda: morvelin.RigidBody(0.05, [4], [I3], [[0.0, 0.0, 0.0]]).marker_ids,
        "rigid_body_pose_repr": lambda: repr(morvelin.estimate_rigid_body_pose(d["body_corners"], [1, 2, 3],
                                                                               body, K)),
    }


def _set(obj, name, value):
    setattr(obj, name, value)


def failing_calls(size: str = "small"):
    """Calls that raise, each at a different stage of argument handling:
    {name: (callable, exception type)}. Several fail on a late argument,
    after earlier ones were converted."""
    d = _inputs(size)
    m, board, body = d["markers"], d["board"], d["body"]
    obj, img = d["objects"], d["images"]
    return {
        "detect_markers_unknown_dictionary": (lambda: morvelin.detect_markers(m, "DICT_9X9_1"), ValueError),
        "detect_markers_bad_parameters": (lambda: morvelin.detect_markers(m, "DICT_4X4_50", 5), TypeError),
        "detect_markers_channels": (lambda: morvelin.detect_markers(np.zeros((4, 4, 4), np.uint8), "DICT_4X4_50"),
                                    ValueError),
        "detect_markers_float_image": (lambda: morvelin.detect_markers(m.astype(np.float32), "DICT_4X4_50"),
                                       TypeError),
        "detect_markers_keyword": (lambda: morvelin.detect_markers(m, "DICT_4X4_50", nope=1), TypeError),
        "detect_markers_step_zero": (lambda: morvelin.detect_markers(m, "DICT_4X4_50", _step_zero()), ValueError),
        "batch_bad_item": (lambda: morvelin.detect_markers_batch([m, m, "x"], "DICT_4X4_50"), TypeError),
        "batch_bad_shape": (lambda: morvelin.detect_markers_batch([m, np.zeros((2, 2, 2), np.uint8)],
                                                                  "DICT_4X4_50"), ValueError),
        "batch_failing_iterator": (lambda: morvelin.detect_markers_batch(_FailingSequence(m), "DICT_4X4_50"),
                                   RuntimeError),
        "charuco_min_markers": (lambda: morvelin.detect_charuco_board(d["charuco"], board, min_markers=3),
                                ValueError),
        "charuco_board_type": (lambda: morvelin.detect_charuco_board(d["charuco"], "board"), TypeError),
        "chessboard_pattern_value": (lambda: morvelin.find_chessboard_corners(d["chess"], (2, 9)), ValueError),
        "chessboard_pattern_type": (lambda: morvelin.find_chessboard_corners(d["chess"], [4, 3]), TypeError),
        "ransac_too_few": (lambda: morvelin.solve_pnp_ransac(obj[:4], img[:4], K), ValueError),
        "ransac_bad_row": (lambda: morvelin.solve_pnp_ransac(obj, img.tolist()[:-1] + [[1.0]], K), TypeError),
        "ransac_bad_confidence": (lambda: morvelin.solve_pnp_ransac(obj, img, K, confidence=math.nan), ValueError),
        "ransac_bad_camera": (lambda: morvelin.solve_pnp_ransac(obj, img, [[1.0, 2.0]]), ValueError),
        "rigid_body_bad_ids": (lambda: morvelin.estimate_rigid_body_pose(d["body_corners"], [1, 2, "x"], body, K),
                               TypeError),
        "rigid_body_lengths": (lambda: morvelin.estimate_rigid_body_pose(d["body_corners"], [1, 2], body, K),
                               ValueError),
        "rigid_body_seed": (lambda: morvelin.estimate_rigid_body_pose(d["body_corners"], [1, 2, 3], body, K,
                                                                      seed=-1), OverflowError),
        "solve_pnp_bad_rvec": (lambda: morvelin.solve_pnp(obj, img, K, None, [1.0, 2.0]), TypeError),
        "solve_pnp_mismatch": (lambda: morvelin.solve_pnp(obj, img[:5], K), ValueError),
        "project_points_str": (lambda: morvelin.project_points("abc", [0, 0, 0], [0, 0, 1], K), TypeError),
        "project_points_dist": (lambda: morvelin.project_points(obj, [0, 0, 0], [0, 0, 1], K, [1.0, 2.0, 3.0]),
                                ValueError),
        "rodrigues_shape": (lambda: morvelin.rodrigues([[1.0, 2.0]]), ValueError),
        "pose_charuco_ids": (lambda: morvelin.estimate_pose_charuco_board(d["charuco_points"], ["a"] * 12, board,
                                                                          K), TypeError),
        "corner_sub_pix_win": (lambda: morvelin._corner_sub_pix(d["chess"], [[20.0, 20.0]], -1, 30, 0.01),
                               OverflowError),
        "charuco_predict_image": (lambda: morvelin._charuco_predict([[0]], board), TypeError),
        "board_new_ids": (lambda: morvelin.CharucoBoard(5, 4, 0.04, 0.03, "DICT_4X4_50", ids=[1, 2]), ValueError),
        "board_new_dictionary": (lambda: morvelin.CharucoBoard(5, 4, 0.04, 0.03, "DICT_X"), ValueError),
        "body_new_rotation": (lambda: morvelin.RigidBody(0.1, [1], [[[2, 0, 0], [0, 1, 0], [0, 0, 1]]],
                                                         [[0, 0, 0]]), ValueError),
        "body_new_rows": (lambda: morvelin.RigidBody(0.1, [1], [I3], [[0, 0]]), TypeError),
        "parameters_value": (lambda: _set(morvelin.DetectorParameters(), "april_tag_quad_sigma", math.inf),
                             ValueError),
        "parameters_overflow": (lambda: _set(morvelin.DetectorParameters(), "corner_refinement_win_size", 2**40),
                                OverflowError),
        "parameters_delete": (lambda: delattr(morvelin.DetectorParameters(), "adaptive_thresh_constant"),
                              AttributeError),
    }


def _step_zero():
    p = morvelin.DetectorParameters()
    p.adaptive_thresh_win_size_step = 0
    return p


class _FailingSequence:
    """A sequence whose iteration raises after the first image."""

    def __init__(self, image):
        self.image = image

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 0:
            return self.image
        raise RuntimeError("camera unplugged")
