"""The classes survive pickle (every protocol) and copy.deepcopy with equal
state."""

import copy
import pickle

import pytest

import morvelin

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
K = [[900.0, 0.0, 640.0], [0.0, 900.0, 360.0], [0.0, 0.0, 1.0]]


def round_trips(obj):
    for protocol in PROTOCOLS:
        yield pickle.loads(pickle.dumps(obj, protocol))
    yield copy.deepcopy(obj)
    yield copy.copy(obj)


def test_detector_parameters():
    p = morvelin.DetectorParameters()
    p.corner_refinement_method = 3
    p.april_tag_quad_sigma = -0.8
    p.adaptive_thresh_constant = 5.5
    p.detect_inverted_marker = True
    p.marker_border_bits = 2
    for q in round_trips(p):
        assert q == p and q is not p
        assert repr(q) == repr(p)
    q = copy.deepcopy(p)
    q.corner_refinement_method = 1
    assert p.corner_refinement_method == 3  # independent copies
    with pytest.raises(ValueError, match="corner_refinement_method must be 0, 1, 2, or 3"):
        morvelin.DetectorParameters().__setstate__({"corner_refinement_method": 9})


def test_charuco_board():
    board = morvelin.CharucoBoard(5, 4, 0.035, 0.021, "dict_6x6_250", ids=list(range(100, 110)), legacy_pattern=True)
    for b in round_trips(board):
        assert b == board and hash(b) == hash(board)
        assert b.chessboard_corners == board.chessboard_corners and b.ids == board.ids
    assert board != morvelin.CharucoBoard(5, 4, 0.035, 0.021, "DICT_6X6_250")
    # The dictionary is stored by its canonical name, however it was spelt.
    same = morvelin.CharucoBoard(5, 4, 0.035, 0.021, "6x6_250", ids=list(range(100, 110)), legacy_pattern=True)
    assert same == board and hash(same) == hash(board) and "dictionary='DICT_6X6_250'" in repr(board)


def test_rigid_body_and_pose():
    rotations = [I3, morvelin.rodrigues([[0.0, 0.4, 0.0]])]
    body = morvelin.RigidBody(0.08, [4, 9], rotations, [[0, 0, 0], [0.15, 0.0, 0.02]])
    for b in round_trips(body):
        assert b == body and b.marker_ids == [4, 9] and b.tag_size_m == 0.08
    h = 0.04
    corners = [morvelin.project_points([[-h, h, 0], [h, h, 0], [h, -h, 0], [-h, -h, 0]], [0.1, 0.2, 0.0],
                                       [0.0, 0.0, 1.0], K)]
    pose = morvelin.estimate_rigid_body_pose(corners, [4], body, K)
    for p in round_trips(pose):
        assert p == pose
        assert (p.rvec, p.tvec, p.inlier_indices, p.inlier_marker_ids, p.used_marker_ids, p.reprojection_rmse) == \
            (pose.rvec, pose.tvec, pose.inlier_indices, pose.inlier_marker_ids, pose.used_marker_ids,
             pose.reprojection_rmse)
    assert "RigidBodyPose(rvec=" in repr(pose)


def test_camera_calibration():
    grid = [[c * 0.03, r * 0.03, 0.0] for r in range(4) for c in range(5)]
    poses = [([0.3, 0.1, 0.0], [-0.06, -0.04, 0.5]), ([-0.2, 0.3, 0.1], [-0.05, -0.05, 0.6]),
             ([0.1, -0.3, -0.1], [-0.07, -0.03, 0.55])]
    images = [morvelin.project_points(grid, r, t, K, [0.05, -0.1, 0, 0, 0]) for r, t in poses]
    cal = morvelin.calibrate_camera([grid] * 3, images, (1280, 720), reject_outliers=True)
    for c in round_trips(cal):
        assert c == cal and hash(c) == hash(cal) and repr(c) == repr(cal)
    with pytest.raises(TypeError):
        morvelin.CameraCalibration()
    # A state whose parts disagree (here: two poses for three views) is refused.
    state = cal.__reduce__()[1]
    with pytest.raises(ValueError, match="^inconsistent CameraCalibration state$"):
        cal.__reduce__()[0](*state[:3], state[3][:2], *state[4:])

