"""Projection, rotation vectors, iterative PnP and RANSAC PnP."""

import math

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2

K = [[800.0, 0.0, 320.0], [0.0, 780.0, 240.0], [0.0, 0.0, 1.0]]
DIST8 = [0.1, -0.05, 0.001, -0.002, 0.01, 0.02, -0.01, 0.005]


def rotation(rvec):
    return np.array(morvelin.rodrigues([list(rvec)]))


def project(points, rvec, tvec, dist=None):
    return np.array(morvelin.project_points(points, rvec, tvec, K, dist))


def planar_points(n=12, seed=0):
    rng = np.random.default_rng(seed)
    return np.c_[rng.uniform(-0.2, 0.2, (n, 2)), np.zeros(n)]


def cloud_points(n=12, seed=0):
    return np.random.default_rng(seed).uniform(-0.2, 0.2, (n, 3))


# --- rodrigues -------------------------------------------------------------

def test_rodrigues_identity_cases():
    assert morvelin.rodrigues([[0, 0, 0]]) == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert morvelin.rodrigues([[1e-17, 0, 0]]) == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert morvelin.rodrigues(np.eye(3)) == [[0.0], [0.0], [0.0]]
    assert morvelin.rodrigues([[0.1], [0.2], [0.3]]) == morvelin.rodrigues([[0.1, 0.2, 0.3]])


def test_rodrigues_near_pi_branch():
    v = np.array(morvelin.rodrigues([[-1, 0, 0], [0, 1, 0], [0, 0, -1]])).ravel()
    np.testing.assert_allclose(v, [0, math.pi, 0], atol=1e-12)
    m = [[0, 1, 0], [1, 0, 0], [0, 0, -1]]
    v = np.array(morvelin.rodrigues(m)).ravel()
    np.testing.assert_allclose(v, math.pi * np.array([1, 1, 0]) / math.sqrt(2), atol=1e-12)


def test_rodrigues_orthonormalises_and_round_trips():
    rng = np.random.default_rng(3)
    for _ in range(20):
        r = rng.normal(size=3)
        m = np.array(morvelin.rodrigues([r]))
        np.testing.assert_allclose(m @ m.T, np.eye(3), atol=1e-12)
        back = np.array(morvelin.rodrigues(m)).ravel()
        angle = np.linalg.norm(r)
        if angle < math.pi:
            np.testing.assert_allclose(back, r, atol=1e-9)
        np.testing.assert_allclose(morvelin.rodrigues(2 * m), morvelin.rodrigues(m), atol=1e-12)


@pytest.mark.parametrize("src", [[[1, 2], [3, 4]], [[1, 2], [3, 4], [5, 6]], [[1], [2], []],
                                 [[1, 2, 3], [4, 5, 6]], [], [[1, 2, 3, 4]]])
def test_rodrigues_shape_error(src):
    with pytest.raises(ValueError) as info:
        morvelin.rodrigues(src)
    assert str(info.value) == "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)"


@needs_cv2
def test_rodrigues_matches_opencv():
    import cv2
    rng = np.random.default_rng(5)
    for _ in range(50):
        r = rng.normal(size=3)
        np.testing.assert_allclose(morvelin.rodrigues([r]), cv2.Rodrigues(r)[0], atol=1e-12)
        m = cv2.Rodrigues(r)[0]
        np.testing.assert_allclose(np.ravel(morvelin.rodrigues(m)), cv2.Rodrigues(m)[0].ravel(), atol=1e-9)


# --- project_points --------------------------------------------------------

def test_project_points_basic_cases():
    assert morvelin.project_points([], [0, 0, 0], [0, 0, 1], K) == []
    pts = cloud_points(5) + [0, 0, 2]
    base = morvelin.project_points(pts, [0.1, 0.2, 0.3], [0, 0, 1], K)
    assert base == morvelin.project_points(pts, [0.1, 0.2, 0.3], [0, 0, 1], K, [])
    assert base == morvelin.project_points(pts, [0.1, 0.2, 0.3], [0, 0, 1], K, [0.0] * 14)
    skewed = [[800.0, 5.0, 320.0], [1.0, 780.0, 240.0], [3.0, 2.0, 9.0]]
    assert base == morvelin.project_points(pts, [0.1, 0.2, 0.3], [0, 0, 1], skewed)
    # zero depth is not divided
    assert morvelin.project_points([[0.5, -0.25, 0.0]], [0, 0, 0], [0, 0, 0], K) == [[720.0, 45.0]]
    assert morvelin.project_points([[1, 1, 1]], [0, 0, 0], [math.nan, 0, 0], K)[0][0] != \
        morvelin.project_points([[1, 1, 1]], [0, 0, 0], [math.nan, 0, 0], K)[0][0]


def test_camera_model_messages():
    pts = [[0, 0, 1]]
    with pytest.raises(ValueError, match="^camera_matrix must be 3x3$"):
        morvelin.project_points(pts, [0, 0, 0], [0, 0, 0], [[1, 0, 0], [0, 1, 0]])
    with pytest.raises(ValueError, match="^camera_matrix must be 3x3$"):
        morvelin.project_points(pts, [0, 0, 0], [0, 0, 0], [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]])
    with pytest.raises(ValueError) as info:
        morvelin.project_points(pts, [0, 0, 0], [0, 0, 0], K, [0.0] * 6)
    assert str(info.value) == "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got 6"
    for tilt in ([0.0] * 13 + [1e-9], [0.0] * 12 + [math.nan, 0.0]):
        with pytest.raises(ValueError, match=r"^tilted-sensor distortion \(taux/tauy\) is not supported$"):
            morvelin.project_points(pts, [0, 0, 0], [0, 0, 0], K, tilt)
    for n in (0, 4, 5, 8, 12, 14):
        morvelin.project_points(pts, [0, 0, 0], [0, 0, 0], K, [0.0] * n)


@needs_cv2
@pytest.mark.parametrize("count", [4, 5, 8, 12])
def test_project_points_matches_opencv(count):
    import cv2
    dist = (DIST8 + [0.001, -0.002, 0.0005, 0.0007])[:count]
    pts = cloud_points(30, seed=count) + [0, 0, 1.5]
    rvec, tvec = [0.2, -0.1, 0.3], [0.05, -0.02, 0.3]
    ours = project(pts, rvec, tvec, dist)
    ref = cv2.projectPoints(pts, np.array(rvec), np.array(tvec), np.array(K), np.array(dist))[0].reshape(-1, 2)
    np.testing.assert_allclose(ours, ref, atol=1e-9)


# --- solve_pnp -------------------------------------------------------------

@pytest.mark.parametrize("points", [planar_points(), cloud_points()])
def test_solve_pnp_exact_data(points):
    rvec, tvec = np.array([0.3, -0.2, 0.1]), np.array([0.05, -0.03, 1.2])
    image = project(points, rvec, tvec, DIST8)
    pose = morvelin.solve_pnp(points, image, K, DIST8)
    assert pose is not None
    np.testing.assert_allclose(pose[0], rvec, atol=1e-8)
    np.testing.assert_allclose(pose[1], tvec, atol=1e-8)


def test_solve_pnp_tilted_plane_and_four_points():
    r = rotation([0.4, 0.5, -0.2])
    pts = planar_points(6, seed=2) @ r.T + [0.1, 0.2, 0.3]
    rvec, tvec = np.array([-0.2, 0.1, 0.05]), np.array([0.0, 0.0, 1.5])
    pose = morvelin.solve_pnp(pts, project(pts, rvec, tvec), K)
    np.testing.assert_allclose(pose[0], rvec, atol=1e-8)
    four = planar_points(4, seed=4)
    pose = morvelin.solve_pnp(four, project(four, rvec, tvec), K)
    np.testing.assert_allclose(pose[1], tvec, atol=1e-6)
    # four non-coplanar points need the general solver, which needs six
    assert morvelin.solve_pnp(cloud_points(4), project(cloud_points(4), rvec, tvec), K) is None


def test_solve_pnp_seeded_at_truth_returns_the_seed():
    pts = cloud_points(10)
    rvec, tvec = [0.3, -0.2, 0.1], [0.05, -0.03, 1.2]
    pose = morvelin.solve_pnp(pts, project(pts, rvec, tvec), K, None, rvec, tvec)
    np.testing.assert_allclose(pose[0], rvec, atol=1e-12)


def test_solve_pnp_messages_in_order():
    with pytest.raises(ValueError, match="^object_points and image_points must have the same length$"):
        morvelin.solve_pnp(cloud_points(5), np.zeros((4, 2)), [[1]])
    with pytest.raises(ValueError, match="^need at least 4 point correspondences$"):
        morvelin.solve_pnp(cloud_points(3), np.zeros((3, 2)), [[1]])
    with pytest.raises(ValueError, match="^camera_matrix must be 3x3$"):
        morvelin.solve_pnp(cloud_points(4), np.zeros((4, 2)), [[1]], None, [0, 0, 0])
    with pytest.raises(ValueError, match="^rvec and tvec must be supplied together$"):
        morvelin.solve_pnp(cloud_points(4), np.zeros((4, 2)), K, None, [0, 0, 0])
    with pytest.raises(ValueError, match="^rvec and tvec must be supplied together$"):
        morvelin.solve_pnp(cloud_points(4), np.zeros((4, 2)), K, tvec=[0, 0, 1])
    with pytest.raises(TypeError, match="^argument 'object_points': "):
        morvelin.solve_pnp("abc", np.zeros((4, 2)), K)
    nan = cloud_points(6)
    nan[2, 1] = math.nan
    assert morvelin.solve_pnp(nan, np.zeros((6, 2)) + 100, K) is None


@needs_cv2
def test_solve_pnp_agrees_with_opencv_on_noisy_data():
    import cv2
    rng = np.random.default_rng(11)
    for trial in range(10):
        pts = planar_points(20, seed=trial) if trial % 2 else cloud_points(20, seed=trial)
        rvec = rng.normal(scale=0.3, size=3)
        tvec = np.array([rng.normal(scale=0.05), rng.normal(scale=0.05), 1.0 + rng.uniform()])
        image = project(pts, rvec, tvec, DIST8) + rng.normal(scale=0.5, size=(20, 2))
        ours = morvelin.solve_pnp(pts, image, K, DIST8)
        ok, r_cv, t_cv = cv2.solvePnP(pts, image, np.array(K), np.array(DIST8), flags=cv2.SOLVEPNP_ITERATIVE)
        assert ok and ours is not None
        np.testing.assert_allclose(ours[0], r_cv.ravel(), atol=2e-3)
        np.testing.assert_allclose(ours[1], t_cv.ravel(), atol=2e-3)


# --- solve_pnp_ransac ------------------------------------------------------

def outlier_problem(n=100, fraction=0.3, seed=0, planar=False):
    rng = np.random.default_rng(seed)
    pts = planar_points(n, seed) if planar else cloud_points(n, seed)
    rvec, tvec = np.array([0.2, 0.3, -0.1]), np.array([0.02, 0.01, 1.1])
    image = project(pts, rvec, tvec) + rng.normal(scale=0.2, size=(n, 2))
    bad = rng.choice(n, int(n * fraction), replace=False)
    image[bad] += rng.uniform(40, 120, (len(bad), 2)) * rng.choice([-1, 1], (len(bad), 2))
    return pts, image, rvec, tvec, set(range(n)) - set(bad.tolist())


@pytest.mark.parametrize("planar", [False, True])
def test_ransac_rejects_gross_outliers(planar):
    pts, image, rvec, tvec, good = outlier_problem(planar=planar)
    result = morvelin.solve_pnp_ransac(pts, image, K, iterations=500)
    assert result is not None
    r, t, inliers, rmse = result
    np.testing.assert_allclose(r, rvec, atol=5e-3)
    np.testing.assert_allclose(t, tvec, atol=5e-3)
    assert set(inliers) == good
    assert inliers == sorted(inliers)
    errors = project(pts[inliers], r, t) - image[inliers]
    assert rmse == pytest.approx(math.sqrt(np.mean(np.sum(errors ** 2, axis=1))), rel=1e-9)


def test_ransac_is_deterministic_per_seed():
    pts, image, *_ = outlier_problem(n=60, fraction=0.4, seed=3)
    a = morvelin.solve_pnp_ransac(pts, image, K, seed=0)
    assert a == morvelin.solve_pnp_ransac(pts, image, K, seed=0)
    assert a == morvelin.solve_pnp_ransac(pts, image, K, seed=0x9E3779B97F4A7C15)
    assert morvelin.solve_pnp_ransac(pts, image, K, seed=7) == morvelin.solve_pnp_ransac(pts, image, K, seed=7)


def test_ransac_messages_in_order():
    pts, image = cloud_points(6), np.zeros((6, 2))
    cases = [
        ((pts, image[:5], K), {}, "object_points and image_points must have the same length"),
        ((pts[:4], image[:4], K), {}, "solve_pnp_ransac needs at least 5 point correspondences (6 for non-planar geometry)"),
        ((pts, image, K), {"iterations": 0}, "iterations must be greater than zero"),
        ((pts, image, K), {"reprojection_error": 0.0}, "reprojection_error must be finite and greater than zero"),
        ((pts, image, K), {"reprojection_error": math.inf}, "reprojection_error must be finite and greater than zero"),
        ((pts, image, K), {"confidence": 1.0}, "confidence must be finite and between 0 and 1"),
        ((pts, image, K), {"confidence": 0.0}, "confidence must be finite and between 0 and 1"),
        ((pts, image + [[math.nan, 0]], K), {}, "object_points and image_points must contain only finite values"),
        ((pts, image, [[1, 2]]), {}, "camera_matrix must be 3x3"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            morvelin.solve_pnp_ransac(*args, **kwargs)
        assert str(info.value) == message
    with pytest.raises(OverflowError):
        morvelin.solve_pnp_ransac(pts, image, K, iterations=-1)
    # five non-planar points pass the checks but cannot be sampled
    assert morvelin.solve_pnp_ransac(cloud_points(5), project(cloud_points(5), [0, 0, 0], [0, 0, 1]), K) is None
