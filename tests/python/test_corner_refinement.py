"""The sub-pixel refiner (through its test hook) and the marker corner
refinement methods."""

import math

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2
from rendering import blur, marker_bits, marker_pattern, paint, scene, to_uint8


def saddle_image(cx, cy, size=64, angle=0.3, sigma=1.0):
    """A chessboard saddle at (cx, cy), anti-aliased and blurred."""
    ss = 8
    offsets = (np.arange(ss) + 0.5) / ss - 0.5
    ys, xs = np.mgrid[0:size, 0:size].astype(float)
    acc = np.zeros((size, size))
    c, s = math.cos(angle), math.sin(angle)
    for dy in offsets:
        for dx in offsets:
            u = (xs + dx - cx) * c + (ys + dy - cy) * s
            v = -(xs + dx - cx) * s + (ys + dy - cy) * c
            acc += np.where(u * v > 0, 220.0, 30.0)
    return to_uint8(blur(acc / (ss * ss), sigma))


def test_docstring_and_argument_rules():
    assert morvelin._corner_sub_pix.__doc__ == (
        "Test hook: run cornerSubPix directly so it can be compared against\n"
        "cv2.cornerSubPix on identical inputs. Not part of the public API.")
    assert morvelin._corner_sub_pix.__text_signature__ == "(image, corners, win, max_iters, eps)"
    img = saddle_image(30.3, 31.7)
    assert morvelin._corner_sub_pix(img, [], 5, 30, 0.01) == []
    with pytest.raises(TypeError, match="^argument 'corners': Can't extract `str` to `Vec`$"):
        morvelin._corner_sub_pix(img, "corners", 5, 30, 0.01)
    with pytest.raises(TypeError, match=r"^argument 'corners': expected a sequence of length 2 \(got 3\)$"):
        morvelin._corner_sub_pix(img, [[1, 2, 3]], 5, 30, 0.01)
    with pytest.raises(OverflowError, match="^argument 'win': "):
        morvelin._corner_sub_pix(img, [[30, 30]], -1, 30, 0.01)
    with pytest.raises(OverflowError, match="^argument 'max_iters': "):
        morvelin._corner_sub_pix(img, [[30, 30]], 5, 2**31, 0.01)
    with pytest.raises(TypeError, match="^argument 'eps': "):
        morvelin._corner_sub_pix(img, [[30, 30]], 5, 30, "0.1")
    with pytest.raises(TypeError, match="^argument 'image': "):
        morvelin._corner_sub_pix(img.astype(np.float32), [[30, 30]], 5, 30, 0.01)


def test_converges_to_rendered_saddles():
    rng = np.random.default_rng(2)
    errors = []
    for _ in range(20):
        cx, cy = rng.uniform(24, 40, 2)
        img = saddle_image(cx, cy, angle=rng.uniform(0, 1.5))
        start = [cx + rng.uniform(-1.5, 1.5), cy + rng.uniform(-1.5, 1.5)]
        (x, y), = morvelin._corner_sub_pix(img, [start], 5, 30, 0.001)
        errors.append(math.hypot(x - cx, y - cy))
    assert max(errors) < 0.06 and np.mean(errors) < 0.03


def test_stop_rules():
    img = saddle_image(30.4, 29.6)
    start = [[28.0, 31.0]]
    one = morvelin._corner_sub_pix(img, start, 5, 1, 0.0)
    assert morvelin._corner_sub_pix(img, start, 5, 0, 0.0) == one
    assert morvelin._corner_sub_pix(img, start, 5, -5, 0.0) == one
    assert morvelin._corner_sub_pix(img, start, 5, 1000, 0.0) == morvelin._corner_sub_pix(img, start, 5, 100, 0.0)
    assert morvelin._corner_sub_pix(img, start, 5, 30, -3.0) == morvelin._corner_sub_pix(img, start, 5, 30, 0.0)
    assert morvelin._corner_sub_pix(img, start, 5, 30, math.nan) == morvelin._corner_sub_pix(img, start, 5, 30, 0.0)
    assert one != morvelin._corner_sub_pix(img, start, 5, 30, 0.0)


def test_corners_that_cannot_move_are_returned_unchanged():
    img = saddle_image(30.4, 29.6)
    h, w = img.shape
    outside = [[w, 10.0], [10.0, h], [-0.5, 10.0], [math.nan, 3.0]]
    refined = morvelin._corner_sub_pix(img, outside, 5, 30, 0.01)
    assert refined[:3] == [(float(w), 10.0), (10.0, float(h)), (-0.5, 10.0)]
    assert math.isnan(refined[3][0])
    flat = np.full((40, 40), 90, np.uint8)
    assert morvelin._corner_sub_pix(flat, [[20.25, 19.5]], 5, 30, 0.01) == [(20.25, 19.5)]
    as_float32 = [(float(np.float32(28.3)), float(np.float32(31.1)))]
    assert morvelin._corner_sub_pix(img, [[28.3, 31.1]], 0, 30, 0.01) == as_float32


def test_moves_are_bounded_by_the_window_per_axis():
    rng = np.random.default_rng(7)
    img = rng.integers(0, 256, (80, 80), dtype=np.uint8)
    starts = rng.uniform(0, 79, (200, 2))
    for win in (1, 2, 4):
        for (x0, y0), (x, y) in zip(starts, morvelin._corner_sub_pix(img, starts, win, 30, 0.0)):
            x0, y0 = np.float32(x0), np.float32(y0)
            assert abs(x - x0) <= win and abs(y - y0) <= win
            assert 0 <= x < 80 and 0 <= y < 80


def test_huge_windows_raise_memory_error_and_leave_the_process_alive():
    img = saddle_image(30.4, 29.6)
    for win in (2**62, 2**40, 2**64 - 1):
        with pytest.raises(MemoryError):
            morvelin._corner_sub_pix(img, [[30.0, 30.0]], win, 30, 0.01)
    assert morvelin._corner_sub_pix(img, [[30.0, 30.0]], 5, 30, 0.01)


@needs_cv2
def test_agrees_with_opencv_on_identical_inputs():
    import cv2
    rng = np.random.default_rng(4)
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 30, 0.001)
    diffs = []
    for _ in range(30):
        cx, cy = rng.uniform(20, 44, 2)
        img = saddle_image(cx, cy, angle=rng.uniform(0, 1.5))
        start = np.array([[cx + rng.uniform(-1, 1), cy + rng.uniform(-1, 1)]], np.float32)
        ours = np.array(morvelin._corner_sub_pix(img, start.tolist(), 5, 30, 0.001))
        ref = cv2.cornerSubPix(img, start.reshape(-1, 1, 2).copy(), (5, 5), (-1, -1), criteria).reshape(-1, 2)
        diffs.append(np.abs(ours - ref).max())
    assert np.median(diffs) < 1e-4 and max(diffs) < 0.01


# --- marker corner refinement --------------------------------------------

def inset(quad, d):
    """Corners of `quad` with every edge moved `d` pixels inward."""
    quad = np.asarray(quad, float)
    lines = []
    for i in range(4):
        a, e = quad[i], quad[(i + 1) % 4] - quad[i]
        n = np.array([-e[1], e[0]]) / np.linalg.norm(e)
        if np.dot(n, quad.mean(axis=0) - a) < 0:
            n = -n
        lines.append((a + n * d, e))
    out = []
    for i in range(4):
        (p1, d1), (p2, d2) = lines[i - 1], lines[i]
        t = np.linalg.solve(np.c_[d1, -d2], p2 - p1)
        out.append(p1 + t[0] * d1)
    return np.array(out)


@pytest.fixture(scope="module")
def warped_markers():
    rng = np.random.default_rng(0)
    scenes = []
    for trial in range(24):
        image = scene(400, 400, 128)
        quad = np.array([[80, 90], [320, 60], [340, 330], [60, 300]], float) + rng.uniform(-30, 30, (4, 2))
        paint(image, marker_pattern(marker_bits("DICT_4X4_50", trial)), quad)
        scenes.append((to_uint8(blur(image, 1.5), noise=1.0, seed=trial), quad))
    return scenes


def refined_rmse(scenes, method, reference):
    p = morvelin.DetectorParameters()
    p.corner_refinement_method = method
    errors = []
    for img, quad in scenes:
        corners, ids = morvelin.detect_markers(img, "DICT_4X4_50", p)
        assert len(ids) == 1
        errors.append(np.sum((np.array(corners[0]) - reference(quad)) ** 2, axis=1))
    return float(np.sqrt(np.mean(np.concatenate(errors))))


def test_subpix_method_beats_polygon_vertices(warped_markers):
    vertices = refined_rmse(warped_markers, morvelin.CORNER_REFINE_NONE, lambda q: q)
    subpix = refined_rmse(warped_markers, morvelin.CORNER_REFINE_SUBPIX, lambda q: q)
    assert subpix < 0.6 * vertices


def test_contour_method_fits_the_traced_border(warped_markers):
    # The traced border runs through the centres of the outermost dark pixels,
    # about half a pixel inside the printed outline; the contour fit recovers
    # the corners of that border far better than the polygon vertices do.
    border = lambda q: inset(q, 0.5)  # noqa: E731
    vertices = refined_rmse(warped_markers, morvelin.CORNER_REFINE_NONE, border)
    contour = refined_rmse(warped_markers, morvelin.CORNER_REFINE_CONTOUR, border)
    assert contour < 0.65 * vertices
