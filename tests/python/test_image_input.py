"""Image and point-list arguments: accepted layouts, BGR to gray, errors."""

import numpy as np
import pytest

import morvelin
from rendering import marker_scene, to_uint8


def gray_probe(image):
    """Refined corners of a textured probe: identical for identical gray images."""
    corners = [[10.3, 12.7], [30.1, 20.2], [45.5, 40.5]]
    return morvelin._corner_sub_pix(image, corners, 4, 10, 0.001)


@pytest.fixture(scope="module")
def textured():
    rng = np.random.default_rng(1)
    base = rng.integers(0, 256, (60, 70), dtype=np.uint8)
    base[20:40, 25:50] = 240
    return base


def test_layouts_give_the_same_gray_image(textured):
    expected = gray_probe(textured)
    assert gray_probe(textured[:, :, None]) == expected            # H x W x 1
    assert gray_probe(np.asfortranarray(textured)) == expected      # Fortran order
    assert gray_probe(textured.T.copy().T) == expected              # transposed view
    flipped = textured[::-1, ::-1].copy()[::-1, ::-1]               # negative strides
    assert gray_probe(flipped) == expected
    wide = np.zeros((60, 140), np.uint8)
    wide[:, ::2] = textured
    assert gray_probe(wide[:, ::2]) == expected                     # column stride 2
    readonly = textured.copy()
    readonly.setflags(write=False)
    assert gray_probe(readonly) == expected


def test_bgr_conversion_values():
    # Pixels known from the conversion rule; a one-row image probed through a
    # flat refinement (the image must at least convert).
    bgr = np.array([[[0, 0, 255], [255, 0, 0], [0, 255, 0], [255, 255, 255], [0, 0, 0]]], np.uint8)
    expected = np.array([[76, 29, 150, 255, 0]], np.uint8)
    big_bgr = np.tile(bgr, (20, 4, 1))
    big_gray = np.tile(expected, (20, 4))
    assert gray_probe_small(big_bgr) == gray_probe_small(big_gray)
    # Every layout of a BGR image converts identically.
    assert gray_probe_small(np.asfortranarray(big_bgr)) == gray_probe_small(big_gray)
    planar = np.ascontiguousarray(big_bgr.transpose(2, 0, 1)).transpose(1, 2, 0)
    assert gray_probe_small(planar) == gray_probe_small(big_gray)


def gray_probe_small(image):
    return morvelin._corner_sub_pix(image, [[5.2, 5.3], [11.6, 9.4]], 3, 5, 0.0)


def test_bgr_detection_equals_gray_detection():
    image, truth = marker_scene("DICT_4X4_50", [3, 7], size=(640, 480))  # converted in bands of rows
    gray = to_uint8(image)
    bgr = np.repeat(gray[:, :, None], 3, axis=2)
    expected = morvelin.detect_markers(gray, "DICT_4X4_50")
    assert morvelin.detect_markers(bgr, "DICT_4X4_50") == expected
    # A contiguous gray array is read in place, from whatever address it
    # starts at, and left as it was.
    unaligned = np.empty(gray.size + 1, np.uint8)[1:].reshape(gray.shape)
    unaligned[:] = gray
    assert morvelin.detect_markers(unaligned, "DICT_4X4_50") == expected
    assert morvelin.detect_markers_batch([unaligned, bgr], "DICT_4X4_50") == [expected] * 2
    np.testing.assert_array_equal(unaligned, gray)


@pytest.mark.parametrize("shape, message", [
    ((10, 10, 4), "image must have 1 or 3 channels"),
    ((10, 10, 2), "image must have 1 or 3 channels"),
    ((10,), "image must be 2D (gray) or 3D (BGR)"),
    ((2, 10, 10, 3), "image must be 2D (gray) or 3D (BGR)"),
])
def test_shape_errors(shape, message):
    with pytest.raises(ValueError) as info:
        morvelin.detect_markers(np.zeros(shape, np.uint8), "DICT_4X4_50")
    assert str(info.value) == message


@pytest.mark.parametrize("image", [
    np.zeros((10, 10), np.float32), np.zeros((10, 10), np.int8), np.zeros((10, 10), bool),
    [[0, 1], [2, 3]], b"abc", None, "image",
])
def test_non_uint8_images_are_type_errors(image):
    with pytest.raises(TypeError, match="^argument 'image': "):
        morvelin.detect_markers(image, "DICT_4X4_50")


def test_empty_images_detect_nothing():
    for shape in [(0, 0), (0, 10), (10, 0), (0, 0, 3), (1, 1), (3, 500)]:
        assert morvelin.detect_markers(np.zeros(shape, np.uint8), "DICT_4X4_50") == ([], [])


def test_point_lists_accept_sequences_and_arrays(textured):
    as_list = morvelin._corner_sub_pix(textured, [[10.3, 12.7], [30.1, 20.2]], 4, 10, 0.001)
    assert morvelin._corner_sub_pix(textured, ((10.3, 12.7), (30.1, 20.2)), 4, 10, 0.001) == as_list
    assert morvelin._corner_sub_pix(textured, np.array([[10.3, 12.7], [30.1, 20.2]]), 4, 10, 0.001) == as_list
    as_f32 = np.array([[10.3, 12.7], [30.1, 20.2]], np.float32)
    assert morvelin._corner_sub_pix(textured, as_f32, 4, 10, 0.001) == as_list
    strided = np.array([[10.3, 0, 12.7], [30.1, 0, 20.2]])[:, ::2]
    assert morvelin._corner_sub_pix(textured, strided, 4, 10, 0.001) == as_list
    ints = morvelin._corner_sub_pix(textured, np.array([[10, 12]], np.int64), 4, 10, 0.001)
    assert ints == morvelin._corner_sub_pix(textured, [[10.0, 12.0]], 4, 10, 0.001)


# The containers OpenCV returns and takes: point lists as N x 1 x k or 1 x N x k
# arrays (float32 or float64), id lists as N x 1 int32 arrays, marker corners
# as a list of 1 x 4 x 2 arrays, rotation vectors flat or as 3 x 1 arrays.
OPENCV_SHAPES = [(lambda a: a[:, None, :], np.float32), (lambda a: a[None], np.float64),
                 (lambda a: a[:, None, :], np.float64), (lambda a: a, np.float32)]


@pytest.mark.parametrize("shape, dtype", OPENCV_SHAPES)
def test_opencv_containers_give_the_same_results(textured, shape, dtype):
    def cv(points):  # an OpenCV-shaped array, and the same values as nested lists
        array = np.asarray(points, dtype)
        return shape(array), array.astype(float).tolist()

    def ids(values):
        return np.array(values, np.int32).reshape(-1, 1)

    K = [[800.0, 0.0, 320.0], [0.0, 800.0, 240.0], [0.0, 0.0, 1.0]]
    rvec, tvec = [0.1, -0.2, 0.05], [-0.1, -0.1, 1.0]
    grid, grid_list = cv([[x, y, 0.0] for x in (0.0, 0.1, 0.2) for y in (0.0, 0.1, 0.2)])
    projected = morvelin.project_points(grid_list, rvec, tvec, K)
    assert morvelin.project_points(grid, np.array(rvec, dtype), np.array(tvec, dtype).reshape(3, 1), K) == \
        morvelin.project_points(grid_list, np.array(rvec, dtype).tolist(), np.array(tvec, dtype).tolist(), K)
    image_points, image_list = cv(projected)
    assert morvelin.solve_pnp(grid, image_points, np.array(K)) == morvelin.solve_pnp(grid_list, image_list, K)
    assert morvelin.solve_pnp_ransac(grid, image_points, K) == morvelin.solve_pnp_ransac(grid_list, image_list, K)
    probe, probe_list = cv([[10.3, 12.7], [30.1, 20.2]])
    assert morvelin._corner_sub_pix(textured, probe, 4, 10, 0.001) == \
        morvelin._corner_sub_pix(textured, probe_list, 4, 10, 0.001)

    board = morvelin.CharucoBoard(3, 3, 0.1, 0.05, "DICT_4X4_50", ids=ids([0, 1, 2, 3]))
    corners = morvelin.project_points(board.chessboard_corners, rvec, tvec, K)
    charuco, charuco_list = cv(corners)
    assert morvelin.estimate_pose_charuco_board(charuco, ids([0, 1, 2, 3]), board, K) == \
        morvelin.estimate_pose_charuco_board(charuco_list, [0, 1, 2, 3], board, K)

    body = morvelin.RigidBody(0.05, ids([4, 9]), [np.eye(3)] * 2, cv([[0, 0, 0], [0.1, 0, 0]])[0])
    h = 0.025
    quads = [cv(morvelin.project_points([[x - h, h, 0], [x + h, h, 0], [x + h, -h, 0], [x - h, -h, 0]],
                                        rvec, tvec, K)) for x in (0.0, 0.1)]
    as_cv2 = [q.reshape(1, 4, 2) for q, _ in quads]  # what cv2.aruco's detectors return
    pose = morvelin.estimate_rigid_body_pose(as_cv2, ids([4, 9]), body, K)
    assert pose == morvelin.estimate_rigid_body_pose([q for _, q in quads], [4, 9], body, K)
    assert pose.tvec == pytest.approx(tvec, abs=1e-3)  # the points are exact up to float32 rounding
    drawn = morvelin.draw_detected_markers(textured, as_cv2, ids([4, 9]))
    assert np.array_equal(drawn, morvelin.draw_detected_markers(textured, [q for _, q in quads], [4, 9]))
    assert np.array_equal(morvelin.draw_charuco_corners(textured, charuco, ids([0, 1, 2, 3])),
                          morvelin.draw_charuco_corners(textured, charuco_list, [0, 1, 2, 3]))

    matrix = morvelin.rodrigues([rvec])
    for flat in (rvec, tuple(rvec), np.array(rvec), np.array(rvec).reshape(3, 1)):
        assert morvelin.rodrigues(flat) == matrix  # a 3x3 list of floats, as for [rvec]
    assert morvelin.rodrigues(np.array(matrix, dtype)) == morvelin.rodrigues(np.array(matrix, dtype).tolist())


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # numpy.matrix
def test_point_list_errors(textured):
    with pytest.raises(TypeError) as info:
        morvelin._corner_sub_pix(textured, "abc", 4, 10, 0.1)
    assert str(info.value) == "argument 'corners': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError, match=r"^argument 'corners': expected a sequence of length 2 \(got 3\)"):
        morvelin._corner_sub_pix(textured, [[1.0, 2.0, 3.0]], 4, 10, 0.1)
    with pytest.raises(TypeError, match=r"expected a sequence of length 2 \(got 3\)"):
        morvelin._corner_sub_pix(textured, np.zeros((2, 3)), 4, 10, 0.1)
    with pytest.raises(TypeError, match="^argument 'corners': "):
        morvelin._corner_sub_pix(textured, 5, 4, 10, 0.1)
    with pytest.raises(TypeError, match="^argument 'corners': "):
        morvelin._corner_sub_pix(textured, [[1.0, "x"]], 4, 10, 0.1)
    assert morvelin._corner_sub_pix(textured, [], 4, 10, 0.1) == []
    # A matrix stays 1 x N when flattened: refused, not flattened forever.
    with pytest.raises(TypeError, match="^argument 'ids': "):
        morvelin.CharucoBoard(3, 3, 0.1, 0.05, "DICT_4X4_50", ids=np.matrix([[0, 1, 2, 3]]))


def test_argument_matching():
    img = np.zeros((10, 10), np.uint8)
    with pytest.raises(TypeError):
        morvelin.detect_markers(img)
    with pytest.raises(TypeError):
        morvelin.detect_markers(img, "DICT_4X4_50", None, 5)
    with pytest.raises(TypeError):
        morvelin.detect_markers(img, "DICT_4X4_50", colour=True)
    with pytest.raises(TypeError):
        morvelin.detect_markers(img, "DICT_4X4_50", image=img)
    assert morvelin.detect_markers(image=img, dictionary="DICT_4X4_50", parameters=None) == ([], [])
    with pytest.raises(TypeError, match="^argument 'parameters': "):
        morvelin.detect_markers(img, "DICT_4X4_50", parameters={})
    with pytest.raises(TypeError, match="^argument 'dictionary': "):
        morvelin.detect_markers(img, 5)
