"""Hostile input, grouped by function: degenerate and enormous images, NaN
and infinite floats, integers at their limits, extreme windows, decimation
and blur, and point lists with millions of entries. Every case must give a
defined result or a clear error, never a crash or a hang.

Cases that take long or need much memory are marked `slow` and run with
--slow (make test-hostile)."""

import math
import subprocess
import sys

import numpy as np
import pytest

import morvelin
from rendering import marker_scene, to_uint8
from workloads import inputs

D4 = "DICT_4X4_50"
K = [[700.0, 0.0, 320.0], [0.0, 700.0, 240.0], [0.0, 0.0, 1.0]]
I3 = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
INT32 = (-2**31, 2**31 - 1)
ODD_FLOATS = (math.nan, math.inf, -math.inf, 1e300, -1e300, 5e-324, -0.0)
MARKERS = to_uint8(marker_scene(D4, [1, 2], size=(320, 240), side=90)[0], noise=1.0)
BOARD = morvelin.CharucoBoard(5, 4, 0.04, 0.03, D4)


def params(**fields):
    p = morvelin.DetectorParameters()
    for name, value in fields.items():
        setattr(p, name, value)
    return p


def assert_marker_result(result):
    corners, ids = result
    assert len(corners) == len(ids) and all(type(i) is int for i in ids)
    assert all(len(c) == 4 and all(len(p) == 2 and all(type(v) is float for v in p) for p in c) for c in corners)


# --- the module itself -----------------------------------------------------------

def test_extension_loaded_again_under_other_names():
    # Tools that load extension files by path initialise the module once per
    # name; every copy must keep working and share the classes.
    script = """
import importlib.machinery, importlib.util, numpy as np, morvelin
copies = []
for k in range(40):
    name = f"copy{k}.morvelin"
    loader = importlib.machinery.ExtensionFileLoader(name, morvelin._native.__file__)
    copies.append(importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, loader.path,
                                                                                         loader=loader)))
image = np.zeros((20, 20), np.uint8)
assert morvelin.detect_markers(image, "DICT_4X4_50", copies[5].DetectorParameters()) == ([], [])
assert copies[39].detect_markers(image, "DICT_4X4_50", morvelin.DetectorParameters()) == ([], [])
assert copies[20].CharucoBoard is morvelin.CharucoBoard
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


# --- image conversion, for every function that takes an image ----------------

IMAGE_FUNCTIONS = {
    "detect_markers": lambda image: morvelin.detect_markers(image, D4),
    "detect_markers_apriltag": lambda image: morvelin.detect_markers(
        image, D4, params(corner_refinement_method=3, april_tag_quad_decimate=3.0,
                          april_tag_refine_full_resolution=True)),
    "detect_markers_batch": lambda image: morvelin.detect_markers_batch([image, image], D4),
    "detect_charuco_board": lambda image: morvelin.detect_charuco_board(image, BOARD),
    "find_chessboard_corners": lambda image: morvelin.find_chessboard_corners(image, (3, 3)),
    "_charuco_predict": lambda image: morvelin._charuco_predict(image, BOARD),
    "_corner_sub_pix": lambda image: morvelin._corner_sub_pix(image, [[0.0, 0.0]], 3, 10, 0.01),
}
NOTHING_FOUND = {
    "detect_markers": ([], []),
    "detect_markers_apriltag": ([], []),
    "detect_markers_batch": [([], []), ([], [])],
    "detect_charuco_board": ([], [], [], []),
    "find_chessboard_corners": (False, []),
    "_charuco_predict": ([(-1.0, -1.0)] * 12, [-1] * 12),
    "_corner_sub_pix": [(0.0, 0.0)],
}


@pytest.mark.parametrize("function", IMAGE_FUNCTIONS)
@pytest.mark.parametrize("shape", [(1, 1), (1, 2), (2, 1), (3, 3), (0, 7), (7, 0), (0, 0), (1, 1, 3), (1, 100_000),
                                   (100_000, 1), (2, 50_000, 3)])
def test_thin_and_empty_images_find_nothing(function, shape):
    assert IMAGE_FUNCTIONS[function](np.full(shape, 90, np.uint8)) == NOTHING_FOUND[function]


@pytest.mark.parametrize("function", IMAGE_FUNCTIONS)
def test_views_too_large_for_memory_or_for_32_bit_sizes(function):
    call = IMAGE_FUNCTIONS[function]
    # 10**12 and 2**62 pixels: refused before anything is copied.
    for shape in [(10**6, 10**6), (2**31, 2**31), (3 * 10**9, 10)]:
        with pytest.raises(MemoryError):
            call(np.broadcast_to(np.uint8(7), shape))
    for shape in [(2**32, 1), (1, 2**32), (2**32, 1, 3)]:
        with pytest.raises(ValueError, match="^image is too large: width and height must each be below 2\\*\\*32$"):
            call(np.broadcast_to(np.uint8(7), shape))


@pytest.mark.slow
def test_view_of_ten_gigapixels_fails_cleanly():
    # The grey copy (10 GB) may fit, the threshold images after it cannot: a
    # MemoryError, never a process killed by the system.
    view = np.broadcast_to(np.uint8(7), (100_000, 100_000))
    with pytest.raises(MemoryError):
        morvelin.detect_markers(view, D4)
    with pytest.raises(MemoryError):
        morvelin.detect_markers_batch([view], D4)
    assert morvelin.detect_markers(MARKERS, D4)[1]  # the module still works


# --- detection parameters at their extremes (detect_markers) -----------------

FLOAT_FIELDS = ["adaptive_thresh_constant", "polygonal_approx_accuracy_rate", "error_correction_rate"]
INT_FIELDS = ["adaptive_thresh_win_size_step", "min_side_length_canonical_img"]


@pytest.mark.parametrize("method", [0, 1, 2, 3])
@pytest.mark.parametrize("field", FLOAT_FIELDS)
def test_unchecked_float_fields_take_nan_and_infinities(method, field):
    for value in ODD_FLOATS:
        assert_marker_result(morvelin.detect_markers(MARKERS, D4, params(corner_refinement_method=method,
                                                                         **{field: value})))


@pytest.mark.parametrize("method", [0, 1, 2])
def test_nan_and_infinite_constants_convert_like_integers(method):
    def run(**fields):
        return morvelin.detect_markers(MARKERS, D4, params(corner_refinement_method=method, **fields))

    # NaN converts to 0, infinities saturate at the 32-bit limits.
    assert run(adaptive_thresh_constant=math.nan) == run(adaptive_thresh_constant=0.0)
    assert run(adaptive_thresh_constant=math.inf) == run(adaptive_thresh_constant=2.0**31)
    assert run(adaptive_thresh_constant=-math.inf) == run(adaptive_thresh_constant=-2.0**32)
    assert run(error_correction_rate=math.nan) == run(error_correction_rate=0.0)


@pytest.mark.parametrize("method", [0, 1, 2, 3])
def test_integer_fields_at_their_limits(method):
    for field in INT_FIELDS + ["corner_refinement_win_size", "corner_refinement_max_iterations",
                               "april_tag_min_cluster_pixels", "april_tag_max_nmaxima"]:
        for value in (*INT32, 0, 1, 4):
            try:
                p = params(corner_refinement_method=method, **{field: value})
            except ValueError:
                continue  # outside the field's accepted range
            try:
                assert_marker_result(morvelin.detect_markers(MARKERS, D4, p))
            except ValueError as error:
                assert field == "adaptive_thresh_win_size_step" and value == 0
                assert str(error) == "adaptive_thresh_win_size_step must not be zero"
    negative = params(corner_refinement_method=method, min_side_length_canonical_img=-1)
    if method != 3:
        assert morvelin.detect_markers(MARKERS, D4, negative) == ([], [])  # no contour is long enough


WINDOWS_MESSAGE = ("^adaptive_thresh_win_size_min, adaptive_thresh_win_size_max and adaptive_thresh_win_size_step "
                   "give {} threshold windows; at most 1024 are supported$")


@pytest.mark.parametrize("low, high, step, windows", [
    (-2**31, 23, 10, 214748368),
    (3, 2**31 - 1, 10, 214748365),
    (-2**31, 2**31 - 1, 1, 4294967296),
    (2**31 - 1, -2**31, -1, 4294967296),
    (3, 1027, 1, 1025),
])
def test_more_than_1024_threshold_windows_are_refused_at_once(low, high, step, windows):
    p = params(adaptive_thresh_win_size_min=low, adaptive_thresh_win_size_max=high,
               adaptive_thresh_win_size_step=step)
    message = WINDOWS_MESSAGE.format(windows)
    with pytest.raises(ValueError, match=message):
        morvelin.detect_markers(MARKERS, D4, p)
    with pytest.raises(ValueError, match=message):
        morvelin.detect_markers_batch([MARKERS] * 3, D4, p)
    with pytest.raises(ValueError, match=message):
        morvelin.detect_charuco_board(MARKERS, BOARD, p)
    p.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG  # no windows on the quad path
    assert sorted(morvelin.detect_markers(MARKERS, D4, p)[1]) == [1, 2]


def test_1024_windows_and_extreme_single_windows_run():
    small = MARKERS[::4, ::4].copy()
    p = params(adaptive_thresh_win_size_min=3, adaptive_thresh_win_size_max=1026, adaptive_thresh_win_size_step=1)
    assert_marker_result(morvelin.detect_markers(small, D4, p))
    for low, high, step in [(2**31 - 1, 2**31 - 1, 1), (-2**31, -2**31, 1), (-2**31, 2**31 - 1, 2**31 - 1),
                            (3, 2**31 - 1, 2**30), (23, 3, -1 << 31)]:
        p = params(adaptive_thresh_win_size_min=low, adaptive_thresh_win_size_max=high,
                   adaptive_thresh_win_size_step=step)
        assert_marker_result(morvelin.detect_markers(MARKERS, D4, p))


def test_april_tag_blur_and_decimation_extremes():
    def run(**fields):
        return morvelin.detect_markers(MARKERS, D4, params(corner_refinement_method=3, **fields))

    # |sigma| beyond the single-precision range is an infinite sigma: a flat
    # kernel bounded by the image, not a kernel of 1e300 taps.
    assert run(april_tag_quad_sigma=1e300) == run(april_tag_quad_sigma=1e39) == run(april_tag_quad_sigma=-1e300)
    assert run(april_tag_quad_sigma=5e-324) == run(april_tag_quad_sigma=0.8)  # 0 in single precision
    assert run(april_tag_quad_decimate=5e-324) == run(april_tag_quad_decimate=0.0)
    for decimate in (1e300, 2.0**31, 1e9):  # a 1 x 1 working image
        assert run(april_tag_quad_decimate=decimate, april_tag_refine_full_resolution=True) == ([], [])
    assert run(april_tag_min_cluster_pixels=2**31 - 1) == ([], [])
    for fields in [dict(april_tag_max_nmaxima=2**31 - 1), dict(april_tag_critical_rad=5e-324),
                   dict(april_tag_critical_rad=math.pi / 2 - 1e-12), dict(april_tag_max_line_fit_mse=5e-324),
                   dict(april_tag_max_line_fit_mse=1e300), dict(april_tag_min_white_black_diff=0),
                   dict(april_tag_min_white_black_diff=255), dict(april_tag_deglitch=True)]:
        assert_marker_result(run(**fields))


def test_refinement_windows_and_accuracy_extremes():
    for fields in [dict(corner_refinement_win_size=2**31 - 1), dict(relative_corner_refinement_win_size=1e300),
                   dict(relative_corner_refinement_win_size=5e-324), dict(corner_refinement_max_iterations=2**31 - 1),
                   dict(corner_refinement_min_accuracy=1e300), dict(corner_refinement_min_accuracy=0.0)]:
        for method in (1, 2):
            found = morvelin.detect_markers(MARKERS, D4, params(corner_refinement_method=method, **fields))
            assert sorted(found[1]) == [1, 2] and all(math.isfinite(v) for c in found[0] for p in c for v in p)


# --- detect_markers_batch -------------------------------------------------------

class _EndlessLength:
    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return MARKERS


def test_batch_of_many_tiny_frames_and_a_lying_sequence():
    frames = [np.zeros((1, 1), np.uint8), np.zeros((0, 0), np.uint8)] * 5000
    assert morvelin.detect_markers_batch(frames, D4) == [([], [])] * 10_000
    # Iterated, not sized: a wrong __len__ does not reserve 2**62 frames.
    assert len(morvelin.detect_markers_batch(_EndlessLength(), D4)) == 3


# --- detect_charuco_board and CharucoBoard -------------------------------------

@pytest.mark.parametrize("min_markers", [*INT32, -1, 3])
def test_charuco_min_markers_out_of_range(min_markers):
    with pytest.raises(ValueError, match="^min_markers must be 0, 1 or 2$"):
        morvelin.detect_charuco_board(MARKERS, BOARD, min_markers=min_markers)
    with pytest.raises(OverflowError):
        morvelin.detect_charuco_board(MARKERS, BOARD, min_markers=2**31)


@pytest.mark.parametrize("squares", [(2**64 - 1, 2), (2**32, 2**32), (10**6, 10**6), (2**63, 1)])
def test_boards_too_large_for_memory(squares):
    message = f"^CharucoBoard of {squares[0]} x {squares[1]} squares does not fit in memory$"
    with pytest.raises(MemoryError, match=message):
        morvelin.CharucoBoard(*squares, 0.04, 0.03, D4)


@pytest.mark.parametrize("geometry", [(4, 3, math.nan, 0.03), (4, 3, math.inf, math.inf), (4, 3, -1.0, -2.0),
                                      (4, 3, 0.04, 1.0), (4, 3, 1e300, 1e300), (4, 3, 5e-324, 5e-324),
                                      (0, 0, 1.0, 0.5), (1, 50, 1.0, 0.5), (50, 1, 1.0, 0.5), (2, 2, 1.0, 0.5)])
def test_degenerate_board_geometry_detects_soundly(geometry):
    image = inputs("small")["charuco"]
    board = morvelin.CharucoBoard(*geometry, D4)
    corners, ids, marker_corners, marker_ids = morvelin.detect_charuco_board(image, board, min_markers=0,
                                                                             check_markers=False)
    assert len(corners) == len(ids) and set(ids) <= set(range(len(board.chessboard_corners)))
    assert_marker_result((marker_corners, marker_ids))
    predicted, windows = morvelin._charuco_predict(image, board)
    assert len(predicted) == len(windows) == len(board.chessboard_corners)
    if not all(map(math.isfinite, geometry[2:])):
        assert corners == []  # no finite geometry, no corner


def test_board_ids_are_taken_as_given():
    board = morvelin.CharucoBoard(3, 3, 1.0, 0.5, D4, ids=[2**64 - 1, 1000, 0, 1])
    assert board.ids == [2**64 - 1, 1000, 0, 1]
    with pytest.raises(OverflowError):
        morvelin.CharucoBoard(3, 3, 1.0, 0.5, D4, ids=[2**64, 0, 1, 2])
    assert morvelin.detect_charuco_board(MARKERS, board)[:2] == ([], [])


# --- find_chessboard_corners -----------------------------------------------------

def test_chessboard_pattern_sizes_at_the_limits():
    for pattern in [(3, 2**63), (2**32 + 3, 3), (2**64 - 1, 2**64 - 1), (10**6, 10**6)]:
        assert morvelin.find_chessboard_corners(MARKERS, pattern) == (False, [])
    for pattern in [(2**64, 3), (-3, 3)]:
        with pytest.raises(OverflowError, match="^argument 'pattern_size': "):
            morvelin.find_chessboard_corners(MARKERS, pattern)
    with pytest.raises(ValueError, match="^both pattern_size dimensions must be greater than 2$"):
        morvelin.find_chessboard_corners(MARKERS, (2, 2**64 - 1))


# --- _corner_sub_pix ------------------------------------------------------------

def test_corner_sub_pix_extremes():
    chess = inputs("small")["chess"]
    start = [[35.5, 35.5]]

    def refine(corners=start, win=3, iterations=10, eps=0.01):
        return morvelin._corner_sub_pix(chess, corners, win, iterations, eps)

    for win in (2**64 - 1, 2**32, 100_000):  # buffers of (2 win + 3)^2 floats
        with pytest.raises(MemoryError):
            refine(win=win)
    assert refine(win=0) == [(35.5, 35.5)]
    assert refine(iterations=2**31 - 1, eps=0.0) == refine(iterations=100, eps=0.0)  # the iteration cap
    for iterations, eps in [(-2**31, math.nan), (1, math.inf), (10, -math.inf)]:
        assert len(refine(iterations=iterations, eps=eps)) == 1
    far = refine(corners=[[math.nan, math.nan], [math.inf, -math.inf], [1e300, -1e300], [-1e30, 5.0]])
    assert math.isnan(far[0][0]) and far[1] == (math.inf, -math.inf) and far[2] == (math.inf, -math.inf)
    assert len(refine(corners=np.full((1_000_000, 2), 35.5))) == 1_000_000


# --- generate_marker_image and CharucoBoard.generate_image ------------------------

def test_image_generators_at_their_limits():
    assert morvelin.generate_marker_image(D4, 49, 6).shape == (6, 6)
    for args, error in [((D4, 3, 10**6), MemoryError), ((D4, 3, 2**63 - 1), ValueError), ((D4, 3, -1), ValueError),
                        ((D4, 50, 60), ValueError), ((D4, -1, 60), ValueError), ((D4, 2**63 - 1, 60), ValueError),
                        ((D4, 3, 60, 2**63 - 1), ValueError), ((D4, 3, 60, 0), ValueError),
                        ((D4, 3, 7, 10**6), ValueError)]:
        with pytest.raises(error):
            morvelin.generate_marker_image(*args)
    with pytest.raises(OverflowError):
        morvelin.generate_marker_image(D4, 3, 2**64)
    assert BOARD.generate_image(40, 40).shape == (40, 40)  # about one pixel per marker cell
    with pytest.raises(ValueError, match="leave less than one pixel per marker cell"):
        BOARD.generate_image(1, 1)
    for args, error in [((10**6, 10**6), MemoryError), ((2**63 - 1, 2**63 - 1), ValueError), ((0, 0), ValueError),
                        ((-1, 5), ValueError), ((400, 300, 2**63 - 1), ValueError), ((400, 300, -1), ValueError)]:
        with pytest.raises(error):
            BOARD.generate_image(*args)


# --- pose functions -------------------------------------------------------------

def _pose_inputs():
    rng = np.random.default_rng(0)
    objects = np.c_[rng.uniform(-1, 1, (20, 2)), np.zeros(20)]
    return objects, np.array(morvelin.project_points(objects, [0.1, 0.2, 0.3], [0, 0, 5], K))


OBJECTS, IMAGES = _pose_inputs()
NAN_CAMERA = [[math.nan] * 3] * 3
CAMERAS = [NAN_CAMERA, [[math.inf, 0, 0], [0, math.inf, 0], [0, 0, 1]], [[0.0] * 3] * 3,
           [[1e300, 0, 1e300], [0, 1e300, 1e300], [0, 0, 1]], [[5e-324, 0, 0], [0, 5e-324, 0], [0, 0, 1]]]


def test_solve_pnp_with_non_finite_or_extreme_input_returns_none():
    bad_objects = OBJECTS.copy()
    bad_objects[3, 1] = math.nan
    infinite_objects, infinite_images = np.full_like(OBJECTS, math.inf), np.full_like(IMAGES, -math.inf)
    for objects, images in [(bad_objects, IMAGES), (infinite_objects, IMAGES), (OBJECTS * 1e300, IMAGES),
                            (OBJECTS, IMAGES * math.nan), (OBJECTS, infinite_images), (OBJECTS, IMAGES * 1e300)]:
        assert morvelin.solve_pnp(objects, images, K) is None
    for camera in CAMERAS:
        assert morvelin.solve_pnp(OBJECTS, IMAGES, camera) is None
    for dist in ([math.nan] * 5, [math.inf] * 8):
        assert morvelin.solve_pnp(OBJECTS, IMAGES, K, dist) is None
    for guess in ([math.nan] * 3, [math.inf] * 3, [1e300] * 3):
        assert morvelin.solve_pnp(OBJECTS, IMAGES, K, None, guess, guess) is None


def test_solve_pnp_ransac_rejects_non_finite_points_and_settings():
    bad = IMAGES.copy()
    bad[0, 0] = math.inf
    with pytest.raises(ValueError, match="^object_points and image_points must contain only finite values$"):
        morvelin.solve_pnp_ransac(OBJECTS, bad, K)
    for kwargs, message in [(dict(reprojection_error=math.inf), "reprojection_error must be finite"),
                            (dict(reprojection_error=math.nan), "reprojection_error must be finite"),
                            (dict(confidence=math.nan), "confidence must be finite"),
                            (dict(confidence=1.0), "confidence must be finite")]:
        with pytest.raises(ValueError, match=f"^{message}"):
            morvelin.solve_pnp_ransac(OBJECTS, IMAGES, K, **kwargs)
    for kwargs in [dict(iterations=2**64), dict(iterations=-1), dict(seed=2**64), dict(seed=-1)]:
        with pytest.raises(OverflowError):
            morvelin.solve_pnp_ransac(OBJECTS, IMAGES, K, **kwargs)
    for camera in CAMERAS:
        assert morvelin.solve_pnp_ransac(OBJECTS, IMAGES, camera) is None
    assert morvelin.solve_pnp_ransac(OBJECTS * 1e300, IMAGES, K) is None


def test_solve_pnp_ransac_integer_limits_end_at_consensus():
    expected = morvelin.solve_pnp_ransac(OBJECTS, IMAGES, K)
    # Exact data: the first consensus ends the loop, whatever the budget.
    assert morvelin.solve_pnp_ransac(OBJECTS, IMAGES, K, iterations=2**64 - 1) == expected
    for kwargs in [dict(seed=2**64 - 1), dict(confidence=5e-324), dict(confidence=1 - 2**-53),
                   dict(reprojection_error=1e300), dict(reprojection_error=5e-324)]:
        rvec, tvec, inliers, rmse = morvelin.solve_pnp_ransac(OBJECTS, IMAGES, K, **kwargs)
        np.testing.assert_allclose(rvec, expected[0], atol=1e-9)


def test_project_points_and_rodrigues_propagate_non_finite_values():
    projected = morvelin.project_points(OBJECTS[:2], [0, 0, 0], [0, 0, 1], NAN_CAMERA)
    assert all(math.isnan(v) for p in projected for v in p)
    assert morvelin.project_points(OBJECTS[:2], [0, 0, 0], [0, 0, 1], [[0.0] * 3] * 3) == [[0.0, 0.0]] * 2
    for vector in ([math.nan] * 3, [math.inf] * 3, [1e300] * 3):
        assert all(math.isnan(v) for row in morvelin.rodrigues([vector]) for v in row)
        assert all(math.isnan(v) for p in morvelin.project_points(OBJECTS[:2], vector, [0, 0, 1], K) for v in p)
    for matrix in ([[math.nan] * 3] * 3, [[math.inf] * 3] * 3):
        assert all(math.isnan(v[0]) for v in morvelin.rodrigues(matrix))
    assert morvelin.rodrigues([[0.0] * 3] * 3) == [[0.0], [0.0], [0.0]]
    assert morvelin.rodrigues([[1e300] * 3] * 3) == morvelin.rodrigues([[5e-324] * 3] * 3)  # scale-free
    with pytest.raises(ValueError, match="^tilted-sensor distortion"):
        morvelin.project_points(OBJECTS, [0, 0, 0], [0, 0, 1], K, [1e300] * 14)


def test_project_points_of_a_million_points():
    points = np.random.default_rng(1).uniform(-1, 1, (1_000_000, 3))
    projected = morvelin.project_points(points, [0.1, 0, 0], [0, 0, 5], K)
    assert len(projected) == 1_000_000 and projected[7] == morvelin.project_points(points[7:8], [0.1, 0, 0],
                                                                                   [0, 0, 5], K)[0]


class _LyingLength:
    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        return [0.0, 0.0, 0.0]


class _ShortSequence:
    def __len__(self):
        return 10

    def __getitem__(self, index):
        if index > 2:
            raise IndexError("gone")
        return [0.0, 0.0, 0.0]


def test_point_sequences_that_lie_about_their_length():
    with pytest.raises(MemoryError):
        morvelin.project_points(_LyingLength(), [0, 0, 0], [0, 0, 1], K)
    with pytest.raises(IndexError, match="^argument 'object_points': gone$"):
        morvelin.project_points(_ShortSequence(), [0, 0, 0], [0, 0, 1], K)


def test_estimate_pose_charuco_board_extremes():
    corners = morvelin.project_points(BOARD.chessboard_corners, [0.1, 0.2, 0.0], [-0.1, -0.06, 0.5], K)
    ids = list(range(len(corners)))
    assert morvelin.estimate_pose_charuco_board(corners, ids, BOARD, K) is not None
    for camera in (NAN_CAMERA, [[0.0] * 3] * 3, [[5e-324, 0, 0], [0, 5e-324, 0], [0, 0, 1]]):
        assert morvelin.estimate_pose_charuco_board(corners, ids, BOARD, camera) is None
    for bad in (2**63 - 1, 12, -1, -2**63):
        with pytest.raises(ValueError, match=f"^charuco id {bad} out of range$"):
            morvelin.estimate_pose_charuco_board(corners, [bad] * 12, BOARD, K)
    with pytest.raises(OverflowError):
        morvelin.estimate_pose_charuco_board(corners, [2**63] * 12, BOARD, K)
    many = np.zeros((1_000_000, 2))
    assert morvelin.estimate_pose_charuco_board(many, np.zeros(1_000_000, np.int64), BOARD, K) is None


def test_rigid_bodies_at_the_extremes():
    body = morvelin.RigidBody(0.1, [1, 2], [I3, I3], [[0, 0, 0], [0.2, 0, 0]])
    corners = [[[300, 200], [340, 200], [340, 240], [300, 240]], [[360, 200], [400, 200], [400, 240], [360, 240]]]
    for camera in CAMERAS:
        assert morvelin.estimate_rigid_body_pose(corners, [1, 2], body, camera) is None
    with pytest.raises(ValueError, match="^marker 1 corners must contain only finite values$"):
        morvelin.estimate_rigid_body_pose([[[math.nan, 0]] * 4, corners[1]], [1, 2], body, K)
    with pytest.raises(OverflowError):
        morvelin.estimate_rigid_body_pose(corners, [2**31, 2], body, K)
    pose = morvelin.estimate_rigid_body_pose(corners, [1, 2], body, K, iterations=2**64 - 1, seed=2**64 - 1)
    assert pose is not None and pose.used_marker_ids == [1, 2]
    # A million detections of which two belong to the body.
    many = np.zeros((1_000_000, 4, 2))
    many[1], many[2] = corners
    assert morvelin.estimate_rigid_body_pose(many, np.arange(1_000_000), body, K).used_marker_ids == [1, 2]
    limits = morvelin.RigidBody(0.1, list(INT32), [I3, I3], [[0, 0, 0], [0.2, 0, 0]])
    assert morvelin.estimate_rigid_body_pose(corners, list(INT32), limits, K).used_marker_ids == list(INT32)
    large = morvelin.RigidBody(0.1, list(range(100_000)), np.broadcast_to(np.eye(3), (100_000, 3, 3)),
                               np.zeros((100_000, 3)))
    assert len(large.marker_ids) == 100_000
    for size in (math.nan, math.inf, 0.0, -1.0):
        with pytest.raises(ValueError, match="^tag_size_m must be finite and greater than zero$"):
            morvelin.RigidBody(size, [1], [I3], [[0, 0, 0]])


@pytest.mark.slow
def test_pose_solvers_on_millions_of_points():
    points = np.c_[np.random.default_rng(2).uniform(-1, 1, (3_000_000, 2)), np.zeros(3_000_000)]
    images = np.array(morvelin.project_points(points, [0.1, 0, 0], [0, 0, 5], K))
    rvec, tvec = morvelin.solve_pnp(points, images, K)
    np.testing.assert_allclose(rvec, [0.1, 0, 0], atol=1e-9)
    rvec, tvec, inliers, rmse = morvelin.solve_pnp_ransac(points, images, K)
    assert len(inliers) == 3_000_000
    rvec, tvec = morvelin.solve_pnp(points[:1_000_000].tolist(), images[:1_000_000].tolist(), K)
    np.testing.assert_allclose(rvec, [0.1, 0, 0], atol=1e-9)


# --- calibration, undistortion and marker poses --------------------------------------

def _calibration_views():
    grid = np.array([[0.03 * c, 0.03 * r, 0.0] for r in range(4) for c in range(5)])
    poses = [([0.3, 0.1, 0.0], [-0.06, -0.04, 0.5]), ([-0.2, 0.3, 0.1], [-0.05, -0.05, 0.6]),
             ([0.1, -0.3, -0.1], [-0.07, -0.03, 0.55])]
    return [grid] * 3, [np.array(morvelin.project_points(grid, r, t, K, [0.05, -0.1, 0, 0, 0])) for r, t in poses]


GRIDS, VIEWS = _calibration_views()


@pytest.mark.parametrize("change", [
    dict(image_points=[VIEWS[0] * v for v in (1.0, 1.0, math.nan)]), dict(image_points=[VIEWS[0] * 1e300] * 3),
    dict(object_points=[GRIDS[0] * 1e300] * 3), dict(object_points=[GRIDS[0] * 5e-324] * 3),
    dict(image_size=(2**63 - 1, 2**63 - 1)), dict(image_size=(-(2**63), 480)), dict(camera_matrix=[[1e300, 0, 0]] * 3),
    dict(camera_matrix=[[5e-324, 0, 0], [0, 5e-324, 0], [0, 0, 1]]), dict(dist_coeffs=[1e300, 0, 0, 0, 0]),
    dict(dist_coeffs=[0.0] * 12 + [math.nan, 0.0]), dict(distortion_terms=2**62), dict(distortion_terms=-1),
    dict(object_points=[np.zeros((20, 3))] * 3), dict(image_points=[np.zeros((20, 2))] * 3),
])
def test_calibration_of_extreme_values_is_a_value_error(change):
    args = dict(object_points=GRIDS, image_points=VIEWS, image_size=(640, 480)) | change
    with pytest.raises(ValueError):
        morvelin.calibrate_camera(args.pop("object_points"), args.pop("image_points"), args.pop("image_size"), **args)


def test_calibration_integer_limits_and_lying_sequences():
    for kwargs in [dict(max_iterations=-1), dict(max_iterations=2**64), dict(distortion_terms=2**64)]:
        with pytest.raises(OverflowError):
            morvelin.calibrate_camera(GRIDS, VIEWS, (640, 480), **kwargs)
    with pytest.raises(OverflowError):
        morvelin.calibrate_camera(GRIDS, VIEWS, (2**64, 480))
    # Any iteration budget ends when the fit converges.
    assert morvelin.calibrate_camera(GRIDS, VIEWS, (640, 480), max_iterations=2**64 - 1).converged
    with pytest.raises(MemoryError):
        morvelin.calibrate_camera([_LyingLength()], [VIEWS[0]], (640, 480))
    with pytest.raises(IndexError, match="^argument 'object_points': gone$"):
        morvelin.calibrate_camera([_ShortSequence()], [VIEWS[0]], (640, 480))
    with pytest.raises(ValueError, match="^charuco id -1 out of range$"):
        morvelin.calibrate_camera_charuco([VIEWS[0]], [[-1] * 20], BOARD, (640, 480))


@pytest.mark.parametrize("shape", [(1, 1), (0, 7), (7, 0), (1, 100_000, 3), (100_000, 1), (3, 3, 1)])
def test_undistort_image_of_thin_and_empty_images(shape):
    out = morvelin.undistort_image(np.full(shape, 90, np.uint8), K, [0.1, -0.2, 0, 0, 0])
    assert out.shape == shape and out.dtype == np.uint8


def test_undistortion_and_marker_poses_at_the_extremes():
    for shape in [(10**6, 10**6), (3 * 10**9, 10)]:
        with pytest.raises(MemoryError):
            morvelin.undistort_image(np.broadcast_to(np.uint8(7), shape), K, None)
    with pytest.raises(ValueError, match="^image is too large"):
        morvelin.undistort_image(np.broadcast_to(np.uint8(7), (2**32, 1)), K, None)
    odd = morvelin.undistort_points([[math.nan, 0.0], [math.inf, 1e300], [1e300, -1e300]], K, [1e300] * 5)
    assert len(odd) == 3 and math.isnan(odd[0][0])
    assert len(morvelin.undistort_points(np.full((1_000_000, 2), 100.0), K, [0.1, -0.2, 0, 0, 0])) == 1_000_000
    for camera in CAMERAS[:3]:  # NaN, infinite and zero focal lengths
        with pytest.raises(ValueError, match="^camera_matrix must hold finite focal lengths"):
            morvelin.undistort_image(MARKERS, camera, None)
        with pytest.raises(ValueError, match="^camera_matrix must hold finite focal lengths"):
            morvelin.optimal_new_camera_matrix(camera, None, (640, 480), 0.5)
    for camera in CAMERAS[3:]:  # finite extremes: an image, black or not
        assert morvelin.undistort_image(MARKERS, camera, [0.1, -0.2, 0, 0, 0]).shape == MARKERS.shape
    for size, alpha in [((2**62, 2**62), 0.5), ((1, 1), 0.0), ((640, 480), 1e300)]:
        try:
            matrix, roi = morvelin.optimal_new_camera_matrix(K, [0.1, -0.2, 0, 0, 0], size, alpha)
            assert all(0 <= v <= max(size) for v in roi)
        except ValueError as error:
            assert str(error) == "the distortion gives no finite undistorted view of the image"
    square = [[300, 200], [340, 200], [340, 240], [300, 240]]
    extremes = [[[math.nan, 0]] * 4, [[1e300, 0], [0, 1e300], [-1e300, 0], [0, 0]], [[5e-324, 0]] * 4, square]
    poses = morvelin.estimate_marker_poses(extremes, 0.05, K)
    assert poses[:3] == [None, None, None] and poses[3] is not None
    for length in (math.nan, math.inf, -1.0):
        with pytest.raises(ValueError, match="^marker_length must be finite and greater than zero$"):
            morvelin.estimate_marker_poses(extremes, length, K)
    assert len(morvelin.estimate_marker_poses(np.broadcast_to(np.array(square, float), (100_000, 4, 2)), 0.05,
                                              K)) == 100_000


@pytest.mark.slow
def test_calibration_of_a_million_points():
    grid = np.c_[np.random.default_rng(3).uniform(0, 0.3, (500_000, 2)), np.zeros(500_000)]
    images = [np.array(morvelin.project_points(grid, r, [-0.15, -0.15, 0.7], K, [0.05, -0.1, 0, 0, 0]))
              for r in ([0.3, 0.1, 0.0], [-0.2, 0.3, 0.1])]
    cal = morvelin.calibrate_camera([grid, grid], images, (640, 480))
    np.testing.assert_allclose(cal.camera_matrix, K, atol=1e-6)
