"""find_chessboard_corners on rendered boards and calibration photographs."""

import math
import pathlib

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2
from rendering import blur, homography, to_uint8

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SHARED_PHOTOS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "real" / "chessboard"


def render_board(columns, rows, square=30.0, size=(480, 400), angle=0.0, tilt=0.0, centre=None,
                 gradient=0.0, missing=None, sigma=0.8):
    """A board of (columns + 1) x (rows + 1) squares, dark at (0, 0), with a
    white margin; returns the image and the interior corners in row-major
    order of the board's own grid."""
    width, height = size
    cols, rws = columns + 1, rows + 1
    board_w, board_h = cols * square, rws * square
    cx, cy = centre if centre else (width / 2, height / 2)
    a = math.radians(angle)
    rot = np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    local = np.array([[-board_w / 2, -board_h / 2], [board_w / 2, -board_h / 2],
                      [board_w / 2, board_h / 2], [-board_w / 2, board_h / 2]])
    local[:2, 0] *= 1 - tilt  # far edge shorter: perspective
    quad = local @ rot.T + [cx, cy]
    h = homography(np.array([[0, 0], [cols, 0], [cols, rws], [0, rws]], float), quad)
    hinv = np.linalg.inv(h)
    ss = 4
    offsets = (np.arange(ss) + 0.5) / ss - 0.5
    ys, xs = np.mgrid[0:height, 0:width].astype(float)
    acc = np.zeros((height, width))
    for dy in offsets:
        for dx in offsets:
            px, py = xs + dx, ys + dy
            w = hinv[2, 0] * px + hinv[2, 1] * py + hinv[2, 2]
            u = (hinv[0, 0] * px + hinv[0, 1] * py + hinv[0, 2]) / w
            v = (hinv[1, 0] * px + hinv[1, 1] * py + hinv[1, 2]) / w
            inside = (u >= 0) & (u < cols) & (v >= 0) & (v < rws)
            iu, iv = np.floor(u).astype(int), np.floor(v).astype(int)
            dark = inside & ((iu + iv) % 2 == 0)
            if missing is not None:
                dark &= ~((iu == missing[0]) & (iv == missing[1]))
            acc += np.where(dark, 25.0, 230.0)
    image = acc / (ss * ss)
    if gradient:
        image = image * (1 - gradient * xs / width) + gradient * 40 * xs / width
    grid = np.array([[c, r, 1.0] for r in range(1, rws) for c in range(1, cols)]) @ h.T
    return to_uint8(blur(image, sigma)), grid[:, :2] / grid[:, 2:]


def match_error(found, truth):
    """Largest distance from a found corner to its true corner. The finder
    orders the grid by its own rule, so corners are paired by proximity; the
    pairing must be one to one."""
    found = np.asarray(found)
    distances = np.linalg.norm(found[:, None, :] - truth[None, :, :], axis=2)
    nearest = distances.argmin(axis=1)
    assert len(set(nearest.tolist())) == len(truth)
    return distances.min(axis=1).max()


@pytest.mark.parametrize("columns, rows", [(3, 3), (5, 4), (7, 5), (9, 6)])
def test_rendered_boards_of_several_sizes(columns, rows):
    image, truth = render_board(columns, rows, square=32, size=(520, 440), angle=5)
    found, corners = morvelin.find_chessboard_corners(image, (columns, rows))
    assert found and len(corners) == columns * rows
    assert all(type(x) is float and type(y) is float for x, y in corners)
    assert match_error(corners, truth) < 0.25  # a 5 x 5 refinement window


@pytest.mark.parametrize("angle, tilt", [(0, 0.0), (37, 0.0), (90, 0.0), (160, 0.2), (250, 0.3), (300, 0.15)])
def test_rotations_and_perspective(angle, tilt):
    image, truth = render_board(7, 5, square=34, size=(560, 520), angle=angle, tilt=tilt)
    found, corners = morvelin.find_chessboard_corners(image, (7, 5))
    assert found
    assert match_error(corners, truth) < 0.2


@pytest.mark.parametrize("angle", [0, 90, 180, 270])
def test_square_patterns_start_where_the_orientation_rule_says(angle):
    image, _ = render_board(5, 5, square=36, size=(460, 460), angle=angle + 3)
    found, corners = morvelin.find_chessboard_corners(image, (5, 5))
    assert found
    p0, p1, p2 = np.array(corners[0]), np.array(corners[4]), np.array(corners[5])
    assert p1[0] >= p0[0]  # the first row runs towards increasing x
    assert (p1[0] - p0[0]) * (p2[1] - p0[1]) - (p1[1] - p0[1]) * (p2[0] - p0[0]) >= 0
    assert p0[1] < np.mean(np.array(corners)[:, 1])  # and starts on the upper side


def test_illumination_gradient_needs_the_adaptive_thresholds():
    image, truth = render_board(6, 4, square=40, size=(520, 400), gradient=0.85)
    found, corners = morvelin.find_chessboard_corners(image, (6, 4))
    assert found
    assert match_error(corners, truth) < 0.3


def test_incomplete_boards_are_not_found():
    image, _ = render_board(7, 5, square=34, missing=(3, 1))
    assert morvelin.find_chessboard_corners(image, (7, 5)) == (False, [])
    image, _ = render_board(7, 5, square=34)
    assert morvelin.find_chessboard_corners(image, (8, 5)) == (False, [])
    assert morvelin.find_chessboard_corners(np.full((300, 300), 128, np.uint8), (7, 5)) == (False, [])


def test_frames_without_a_board():
    # A ChArUco photograph and a heap of boxes: many dark quadrilaterals,
    # none of them a chessboard of the size asked for.
    rng = np.random.default_rng(4)
    boxes = np.full((480, 640), 150, np.uint8)
    for _ in range(300):
        x, y = rng.integers(0, 620), rng.integers(0, 460)
        w, h = rng.integers(8, 60, 2)
        boxes[y:y + h, x:x + w] = rng.choice([rng.integers(10, 60), rng.integers(190, 250)])
    photo = read_pgm(DATA / "charuco" / "choriginal.pgm")
    for image in (photo, boxes):
        for pattern in ((9, 6), (7, 5)):
            assert morvelin.find_chessboard_corners(image, pattern) == (False, [])


def test_crisp_board_with_touching_squares_is_found():
    # Square edges on pixel boundaries: the dark squares touch at their corners.
    square, cols, rws = 24, 8, 6
    image = np.full((rws * square + 80, cols * square + 80), 255, np.uint8)
    for r in range(rws):
        for c in range(cols):
            if (r + c) % 2 == 0:
                image[40 + r * square:40 + (r + 1) * square, 40 + c * square:40 + (c + 1) * square] = 0
    found, corners = morvelin.find_chessboard_corners(image, (cols - 1, rws - 1))
    assert found
    truth = np.array([[40 + c * square - 0.5, 40 + r * square - 0.5] for r in range(1, rws) for c in range(1, cols)])
    assert match_error(corners, truth) < 0.3


def test_pattern_size_rules():
    image, _ = render_board(3, 3, square=40, size=(300, 300))
    with pytest.raises(ValueError) as info:
        morvelin.find_chessboard_corners(image, (2, 5))
    assert str(info.value) == "both pattern_size dimensions must be greater than 2"
    assert morvelin.find_chessboard_corners(image, (3, 3))[0]
    for bad in ([3, 3], (3,), (3, 3, 3), "33", (3.0, 3)):
        with pytest.raises(TypeError, match="^argument 'pattern_size': "):
            morvelin.find_chessboard_corners(image, bad)
    with pytest.raises(OverflowError):
        morvelin.find_chessboard_corners(image, (-3, 3))
    assert morvelin.find_chessboard_corners(image, (2**63, 2**63)) == (False, [])


def test_small_images_are_not_searched():
    assert morvelin.find_chessboard_corners(np.zeros((15, 200), np.uint8), (3, 3)) == (False, [])
    assert morvelin.find_chessboard_corners(np.zeros((0, 0), np.uint8), (3, 3)) == (False, [])


def test_results_do_not_change_between_calls():
    image, _ = render_board(7, 5, square=30, size=(560, 460), angle=20, tilt=0.2)
    first = morvelin.find_chessboard_corners(image, (7, 5))
    assert all(morvelin.find_chessboard_corners(image, (7, 5)) == first for _ in range(5))


def read_pgm(path):
    data = path.read_bytes()
    parts = data.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    return np.frombuffer(parts[4][-width * height:], np.uint8).reshape(height, width)


@needs_cv2
@pytest.mark.parametrize("name, pattern", [("opencv_left01", (9, 6)), ("opencvsharp_calibration_00", (10, 7)),
                                           ("swatbotics_calib_IMG_1434", (7, 5)),
                                           ("swatbotics_calib_IMG_1438", (7, 5))])
def test_calibration_photographs_match_opencv(name, pattern):
    import cv2
    image = read_pgm(DATA / "chessboard" / f"{name}.pgm")
    found, corners = morvelin.find_chessboard_corners(image, pattern)
    ok, reference = cv2.findChessboardCorners(image, pattern)
    assert found and ok
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 30, 0.01)
    reference = cv2.cornerSubPix(image, reference, (2, 2), (-1, -1), criteria).reshape(-1, 2)
    errors = np.linalg.norm(np.asarray(corners) - reference, axis=1)
    errors_reversed = np.linalg.norm(np.asarray(corners)[::-1] - reference, axis=1)
    best = errors if errors.mean() < errors_reversed.mean() else errors_reversed
    assert best.max() < 0.8 and best.mean() < 0.15


@needs_cv2
@pytest.mark.skipif(not SHARED_PHOTOS.is_dir(), reason="the shared photographs are not here")
@pytest.mark.parametrize("name", ["opencv_left05.jpg", "opencv_left09.jpg"])
def test_photographs_where_neighbouring_squares_merge(name):
    # Under every threshold some dark squares stay joined at a corner or
    # their corners too far apart; the recovery on the board's lattice finds
    # the board, refined with a window wider than 5 x 5.
    import cv2
    image = cv2.imread(str(SHARED_PHOTOS / name), cv2.IMREAD_GRAYSCALE)
    found, corners = morvelin.find_chessboard_corners(image, (9, 6))
    ok, reference = cv2.findChessboardCorners(image, (9, 6))
    assert found and ok
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 30, 0.01)
    reference = cv2.cornerSubPix(image, reference, (5, 5), (-1, -1), criteria).reshape(-1, 2)
    distances = np.linalg.norm(np.asarray(corners)[:, None] - reference[None], axis=2)
    assert len(set(distances.argmin(axis=1).tolist())) == 54
    nearest = distances.min(axis=1)
    assert nearest.max() < 0.4 and nearest.mean() < 0.15
