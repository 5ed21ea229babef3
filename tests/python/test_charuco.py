"""CharucoBoard, detect_charuco_board, _charuco_predict and
estimate_pose_charuco_board."""

import pathlib

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2
from rendering import charuco_scene

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
K = [[700.0, 0.0, 400.0], [0.0, 700.0, 300.0], [0.0, 0.0, 1.0]]


# --- the board model ---------------------------------------------------------

def test_board_layout():
    board = morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4X4_50")
    assert board.ids == list(range(17))
    corners = board.chessboard_corners
    assert len(corners) == 24
    assert corners[0] == (1.0, 1.0, 0.0) and corners[4] == (1.0, 2.0, 0.0)
    corners.append(None)
    assert len(board.chessboard_corners) == 24  # every read builds a new list
    assert morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250", ids=[10 + i for i in range(17)]).ids[0] == 10
    assert morvelin.CharucoBoard(1, 9, 1.0, 0.5, "DICT_4X4_50").chessboard_corners == []
    assert morvelin.CharucoBoard(0, 0, 1.0, 0.5, "DICT_4X4_50").ids == []


def test_board_errors():
    with pytest.raises(ValueError, match="^unknown dictionary: DICT_4x4_51$"):
        morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4x4_51")
    with pytest.raises(ValueError) as info:
        morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4X4_50", ids=[])
    assert str(info.value) == "Size of ids must be equal to the number of markers: 17"
    with pytest.raises(OverflowError):
        morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4X4_50", ids=[-1] * 17)
    with pytest.raises(OverflowError):
        morvelin.CharucoBoard(-5, 7, 1.0, 0.5, "DICT_4X4_50")
    with pytest.raises((ValueError, MemoryError)):
        morvelin.CharucoBoard(2**40, 2**40, 1.0, 0.5, "DICT_4X4_50")
    with pytest.raises(TypeError, match="^argument 'legacy_pattern': "):
        morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4X4_50", legacy_pattern=1)


def test_board_class_surface():
    cls = morvelin.CharucoBoard
    assert cls.__text_signature__ == (
        "(squares_x, squares_y, square_length, marker_length, dictionary, ids=None, legacy_pattern=False)")
    assert cls.__doc__.startswith("A ChArUco board: a chessboard with ArUco markers in its white squares.")
    assert cls.chessboard_corners.__doc__ == "Interior chessboard corners in board coordinates, as (x, y, z) triples."
    assert cls.ids.__doc__ == "Marker ids laid out on the board."
    board = cls(5, 7, 1.0, 0.5, "DICT_4X4_50")
    with pytest.raises(AttributeError):
        board.ids = [1]


# --- detection on rendered boards --------------------------------------------

def render(squares_x, squares_y, dictionary, legacy=False, rvec=(0.2, -0.15, 0.05), tvec=None, ratio=0.6,
           ids=None):
    """A board seen by camera K: the image, the board, the true corners, the
    bitmap-to-image homography and the board units per bitmap pixel."""
    square = 0.04
    if tvec is None:
        tvec = (-squares_x * square / 2, -squares_y * square / 2, 0.42)
    image, marker_length, h, units, truth = charuco_scene(squares_x, squares_y, dictionary, K, rvec, tvec,
                                                          square=square, ratio=ratio, legacy=legacy, ids=ids)
    board = morvelin.CharucoBoard(squares_x, squares_y, square, marker_length, dictionary, ids, legacy)
    return image, board, truth, h, units


def small_marker_params():
    # The rendered markers are 30 to 45 pixels wide; the default minimum
    # outline of 128 pixels would drop the smaller ones.
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0
    return params


@pytest.mark.parametrize("squares, dictionary, legacy", [
    ((5, 7), "DICT_6X6_250", False), ((6, 4), "DICT_4X4_50", True), ((8, 6), "DICT_5X5_100", False),
    ((4, 4), "DICT_APRILTAG_36h11", False)])
def test_rendered_boards(squares, dictionary, legacy):
    image, board, truth, _, _ = render(*squares, dictionary, legacy=legacy)
    corners, ids, marker_corners, marker_ids = morvelin.detect_charuco_board(image, board, small_marker_params())
    assert ids == list(range(len(board.chessboard_corners)))
    assert all(b > a for a, b in zip(ids, ids[1:]))
    assert sorted(marker_ids) == sorted(board.ids)
    assert all(len(c) == 4 for c in marker_corners)
    errors = np.linalg.norm(np.asarray(corners) - truth[ids], axis=1)
    assert errors.max() < 0.25 and errors.mean() < 0.1


def test_min_markers_with_an_occluded_marker():
    image, board, truth, h, units = render(5, 7, "DICT_6X6_250")
    # Cover marker 8 (row 3, column 2) so its corners keep only one neighbour.
    centre = h @ [(2.5 * 0.04) / units, (3.5 * 0.04) / units, 1.0]
    cx, cy = (centre[:2] / centre[2]).astype(int)
    occluded = image.copy()
    occluded[cy - 16:cy + 16, cx - 16:cx + 16] = 255
    params = small_marker_params()
    ids = {m: morvelin.detect_charuco_board(occluded, board, params, min_markers=m, check_markers=False)[1]
           for m in (0, 1, 2)}
    assert 8 not in morvelin.detect_charuco_board(occluded, board, params)[3]
    assert set(ids[0]) == set(ids[1]) and len(ids[0]) == 24
    assert len(ids[2]) < 24 and set(ids[2]) < set(ids[1])
    for m in (3, -1):
        with pytest.raises(ValueError) as info:
            morvelin.detect_charuco_board(image, board, min_markers=m)
        assert str(info.value) == "min_markers must be 0, 1 or 2"


def test_marker_check_empties_corners_on_inconsistent_markers():
    # The board says markers 0 and 1 are swapped compared with the print.
    image, _, _, _, _ = render(5, 7, "DICT_6X6_250")
    ids = list(range(17))
    ids[0], ids[1] = ids[1], ids[0]
    swapped = morvelin.CharucoBoard(5, 7, 0.04, 0.024, "DICT_6X6_250", ids=ids)
    params = small_marker_params()
    corners, cids, mcorners, mids = morvelin.detect_charuco_board(image, swapped, params)
    assert corners == [] and cids == [] and len(mids) == 17
    assert morvelin.detect_charuco_board(image, swapped, params, check_markers=False)[1] != []


def test_nothing_found_gives_four_empty_lists():
    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250")
    assert morvelin.detect_charuco_board(np.full((200, 200), 128, np.uint8), board) == ([], [], [], [])
    corners, windows = morvelin._charuco_predict(np.full((200, 200), 128, np.uint8), board)
    assert corners == [(-1.0, -1.0)] * 24 and windows == [-1] * 24


def test_predict_hook():
    image, board, truth, _, _ = render(5, 7, "DICT_6X6_250")
    corners, windows = morvelin._charuco_predict(image, board)  # default parameters
    assert len(corners) == len(windows) == 24
    predicted = [k for k, c in enumerate(corners) if c != (-1.0, -1.0)]
    assert len(predicted) >= 20
    assert np.abs(np.asarray(corners)[predicted] - truth[predicted]).max() < 1.5
    assert all((1 <= windows[k] <= 10) == (k in predicted) for k in range(24))
    assert morvelin._charuco_predict.__doc__ == "Test hook: interpolated charuco corners and window sizes, pre-refinement."
    with pytest.raises(TypeError, match="^argument 'board': "):
        morvelin._charuco_predict(image, "board")


def test_argument_errors():
    image, board, _, _, _ = render(5, 7, "DICT_6X6_250")
    with pytest.raises(TypeError, match="^argument 'board': "):
        morvelin.detect_charuco_board(image, None)
    with pytest.raises(TypeError, match="^argument 'check_markers': "):
        morvelin.detect_charuco_board(image, board, check_markers=0)
    with pytest.raises(ValueError, match="^image must have 1 or 3 channels$"):
        morvelin.detect_charuco_board(np.zeros((5, 5, 2), np.uint8), board)


# --- board pose ---------------------------------------------------------------

def test_board_pose_matches_the_rendering_pose():
    rvec, tvec = (0.25, -0.2, 0.1), (-0.09, -0.13, 0.5)
    image, board, _, _, _ = render(5, 7, "DICT_6X6_250", rvec=rvec, tvec=tvec)
    corners, ids, _, _ = morvelin.detect_charuco_board(image, board, small_marker_params())
    r, t = morvelin.estimate_pose_charuco_board(corners, ids, board, K)
    np.testing.assert_allclose(r, rvec, atol=3e-3)
    np.testing.assert_allclose(t, tvec, atol=1e-3)


def test_board_pose_none_and_errors():
    board = morvelin.CharucoBoard(5, 7, 1.0, 0.5, "DICT_4X4_50")
    pts = [[10.0, 10.0], [20.0, 10.0], [20.0, 20.0], [10.0, 20.0]]
    assert morvelin.estimate_pose_charuco_board(pts[:3], [0, 1, 4], board, [[1]]) is None
    assert morvelin.estimate_pose_charuco_board(pts, [0, 1, 2, 3], board, K) is None  # one row: collinear
    assert morvelin.estimate_pose_charuco_board(pts, [5, 5, 5, 5], board, K) is None  # coincident
    assert morvelin.estimate_pose_charuco_board(pts, [0, 1, 5, 4], board, K) is not None  # a 2 x 2 block
    with pytest.raises(ValueError, match="^charuco_corners and charuco_ids must have the same length$"):
        morvelin.estimate_pose_charuco_board(pts, [0, 1], board, [[1]])
    with pytest.raises(ValueError, match="^camera_matrix must be 3x3$"):
        morvelin.estimate_pose_charuco_board(pts, [0, 1, 5, 24], board, [[1]])
    with pytest.raises(ValueError, match="^charuco id 24 out of range$"):
        morvelin.estimate_pose_charuco_board(pts, [0, 1, 5, 24], board, K)
    assert morvelin.estimate_pose_charuco_board(pts, [0, 1, 5, 23], board, K) is not None


# --- photographs ------------------------------------------------------------------

def read_pgm(path):
    data = path.read_bytes()
    parts = data.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    return np.frombuffer(parts[4][-width * height:], np.uint8).reshape(height, width)


def photo_board_and_params():
    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250")
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = 0  # the markers are about 30 pixels wide
    return board, params


def test_photographs_of_the_tutorial_board():
    board, params = photo_board_and_params()
    corners, ids, _, marker_ids = morvelin.detect_charuco_board(read_pgm(DATA / "charuco" / "choriginal.pgm"),
                                                                board, params)
    assert sorted(marker_ids) == list(range(17)) and ids == list(range(24))
    _, ids, _, marker_ids = morvelin.detect_charuco_board(read_pgm(DATA / "charuco" / "chocclusion.pgm"),
                                                          board, params)
    assert sorted(marker_ids) == list(range(11)) + [12, 15]
    assert len(ids) == 16


@needs_cv2
def test_same_corners_as_opencv():
    import cv2
    board, params = photo_board_and_params()
    cv_board = cv2.aruco.CharucoBoard((5, 7), 0.04, 0.02, cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_6X6_250))
    detector = cv2.aruco.CharucoDetector(cv_board)
    images = [read_pgm(DATA / "charuco" / "choriginal.pgm"), render(5, 7, "DICT_6X6_250", ratio=0.5)[0]]
    for image in images:
        corners, ids, _, _ = morvelin.detect_charuco_board(image, board, params)
        cv_corners, cv_ids, _, _ = detector.detectBoard(image)
        assert ids == sorted(cv_ids.ravel().tolist())
        order = np.argsort(cv_ids.ravel())
        reference = cv_corners.reshape(-1, 2)[order]
        if int(cv2.__version__.split(".")[0]) < 5:
            reference = reference - 0.5  # earlier releases put pixel centres at half-integers here
        assert np.abs(np.asarray(corners) - reference).max() < 0.1
