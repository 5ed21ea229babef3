"""RigidBody, RigidBodyPose and estimate_rigid_body_pose."""

import math
import threading

import numpy as np
import pytest

import morvelin

K = [[900.0, 0.0, 640.0], [0.0, 900.0, 360.0], [0.0, 0.0, 1.0]]
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def body(ids=(1, 2, 3), size=0.1):
    rotations = [I3, morvelin.rodrigues([[0.0, 0.5, 0.0]]), morvelin.rodrigues([[0.3, 0.0, 0.2]])][:len(ids)]
    translations = [[0.0, 0.0, 0.0], [0.2, 0.0, 0.05], [-0.1, 0.15, 0.0]][:len(ids)]
    return morvelin.RigidBody(size, list(ids), rotations, translations)


def marker_corners_ref(b, index):
    """Reference-frame corners of marker `index`, from the documented layout."""
    h = b.tag_size_m / 2
    rotations = [np.eye(3), np.array(morvelin.rodrigues([[0.0, 0.5, 0.0]])), np.array(morvelin.rodrigues([[0.3, 0.0, 0.2]]))]
    translations = [[0.0, 0.0, 0.0], [0.2, 0.0, 0.05], [-0.1, 0.15, 0.0]]
    local = np.array([[-h, h, 0], [h, h, 0], [h, -h, 0], [-h, -h, 0]])
    return local @ rotations[index].T + translations[index]


def detections(b, rvec, tvec, indices):
    corners = [morvelin.project_points(marker_corners_ref(b, i), rvec, tvec, K) for i in indices]
    return corners, [b.marker_ids[i] for i in indices]


RVEC, TVEC = [0.2, -0.3, 0.1], [0.05, -0.02, 1.5]


def test_construction_and_properties():
    b = body()
    assert b.tag_size_m == 0.1 and b.marker_ids == [1, 2, 3]
    b.marker_ids.append(9)
    assert b.marker_ids == [1, 2, 3]
    assert morvelin.RigidBody.__doc__.startswith("A collection of square markers")
    assert morvelin.RigidBody.__text_signature__ == (
        "(tag_size_m, marker_ids, rotations_marker_to_reference, translations_marker_to_reference)")
    assert morvelin.RigidBodyPose.__doc__ == "Result returned by `estimate_rigid_body_pose`."
    with pytest.raises(TypeError):
        morvelin.RigidBodyPose()
    with pytest.raises(AttributeError):
        b.tag_size_m = 2.0


@pytest.mark.parametrize("args, message", [
    ((0.0, [1], [I3], [[0, 0, 0]]), "tag_size_m must be finite and greater than zero"),
    ((math.nan, [1], [I3], [[0, 0, 0]]), "tag_size_m must be finite and greater than zero"),
    ((0.1, [], [], []), "rigid body must contain at least one marker"),
    ((0.1, [1, 2], [I3], [[0, 0, 0]]),
     "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length"),
    ((0.1, [4, 4], [I3, I3], [[0, 0, 0], [0, 0, 0]]), "duplicate marker id 4"),
    ((0.1, [5], [I3], [[0, math.inf, 0]]), "marker 5 transform must contain only finite values"),
    ((0.1, [6], [[[1.01, 0, 0], [0, 1, 0], [0, 0, 1]]], [[0, 0, 0]]),
     "marker 6 rotation must be an orthonormal matrix with determinant +1"),
    ((0.1, [7], [[[-1, 0, 0], [0, 1, 0], [0, 0, 1]]], [[0, 0, 0]]),
     "marker 7 rotation must be an orthonormal matrix with determinant +1"),
])
def test_construction_messages(args, message):
    with pytest.raises(ValueError) as info:
        morvelin.RigidBody(*args)
    assert str(info.value) == message


def test_near_orthonormal_rotation_is_accepted():
    morvelin.RigidBody(0.1, [1], [[[1.0004, 0, 0], [0, 1, 0], [0, 0, 1]]], [[0, 0, 0]])


def test_single_known_marker_uses_pnp():
    b = body()
    corners, ids = detections(b, RVEC, TVEC, [0])
    corners.append([[10, 10], [20, 10], [20, 20], [10, 20]])
    ids.append(77)  # unknown: ignored
    pose = morvelin.estimate_rigid_body_pose(corners, ids, b, K)
    assert pose.used_marker_ids == [1]
    assert pose.inlier_indices == [0, 1, 2, 3]
    assert pose.inlier_marker_ids == [1]
    np.testing.assert_allclose(pose.rvec, RVEC, atol=1e-6)
    np.testing.assert_allclose(pose.tvec, TVEC, atol=1e-6)
    assert pose.reprojection_rmse < 1e-6


def test_several_markers_use_ransac_and_reject_bad_corners():
    b = body()
    corners, ids = detections(b, RVEC, TVEC, [0, 1, 2])
    corners[1][2] = [corners[1][2][0] + 60.0, corners[1][2][1]]
    pose = morvelin.estimate_rigid_body_pose(corners, ids, b, K)
    assert pose.used_marker_ids == [1, 2, 3]
    assert 6 not in pose.inlier_indices and len(pose.inlier_indices) == 11
    assert pose.inlier_marker_ids == [1, 2, 3]
    corners[1][3] = [corners[1][3][0] - 60.0, corners[1][3][1]]
    pose = morvelin.estimate_rigid_body_pose(corners, ids, b, K)
    assert pose.inlier_marker_ids == [1, 3]
    assert pose.used_marker_ids == [1, 2, 3]
    np.testing.assert_allclose(pose.tvec, TVEC, atol=1e-4)


def test_estimate_messages_and_none():
    b = body()
    corners, ids = detections(b, RVEC, TVEC, [0, 1])
    assert morvelin.estimate_rigid_body_pose([[[0, 0]] * 4], [50], b, [[1]]) is None
    cases = [
        ({"iterations": 0}, "iterations must be greater than zero"),
        ({"reprojection_error": -1.0}, "reprojection_error must be finite and greater than zero"),
        ({"confidence": 1.0}, "confidence must be finite and between 0 and 1"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            morvelin.estimate_rigid_body_pose(corners, ids, b, K, **kwargs)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="^marker_corners and marker_ids must have the same length$"):
        morvelin.estimate_rigid_body_pose(corners, ids[:1], b, K)
    with pytest.raises(ValueError, match="^duplicate detected marker id 50$"):
        morvelin.estimate_rigid_body_pose([[[0, 0]] * 4] * 2, [50, 50], b, K)
    bad = [list(c) for c in corners]
    bad[0][0] = [math.nan, 0.0]
    with pytest.raises(ValueError, match="^marker 1 corners must contain only finite values$"):
        morvelin.estimate_rigid_body_pose(bad, ids, b, K)
    with pytest.raises(TypeError, match="^argument 'rigid_body': "):
        morvelin.estimate_rigid_body_pose(corners, ids, "body", K)


def test_body_shared_across_threads():
    b = body()
    corners, ids = detections(b, RVEC, TVEC, [0, 1, 2])
    expected = morvelin.estimate_rigid_body_pose(corners, ids, b, K)
    results = []

    def run():
        for _ in range(20):
            p = morvelin.estimate_rigid_body_pose(corners, ids, b, K)
            results.append((p.rvec, p.tvec, p.inlier_indices))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == (expected.rvec, expected.tvec, expected.inlier_indices) for r in results)
