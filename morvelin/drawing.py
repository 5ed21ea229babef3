"""Annotated copies of images: detected marker outlines, ChArUco corners and
the axes of poses.

Pure NumPy, no image library needed. The functions take a gray (H x W or
H x W x 1) or BGR (H x W x 3) ``uint8`` image, never modify it, and return a
new H x W x 3 BGR ``uint8`` image with the annotations drawn in. Coordinates
follow the detectors: pixel centres at integer (x, y), x along columns.
"""

from __future__ import annotations

import math
import numpy as np

__all__ = ["draw_detected_markers", "draw_charuco_corners", "draw_axes"]

# Colours are (blue, green, red), as the images are BGR.
MARKER_OUTLINE = (0, 255, 0)
FIRST_CORNER = (0, 0, 255)
MARKER_ID = (255, 0, 0)
CHARUCO_CORNER = (0, 0, 255)
CHARUCO_ID = (160, 0, 160)  # purple: told apart from the marker ids
NOT_FOUND = (0, 0, 255)
AXIS_COLORS = ((0, 0, 255), (0, 255, 0), (255, 0, 0))  # x red, y green, z blue

# 3 x 5 bitmap glyphs, one string of 15 cells per character, row by row.
_GLYPHS = {
    "0": "111101101101111", "1": "010110010010111", "2": "111001111100111",
    "3": "111001111001111", "4": "101101111001001", "5": "111100111001111",
    "6": "111100111101111", "7": "111001001001001", "8": "111101111101111",
    "9": "111101111001111", "-": "000000111000000", " ": "000000000000000",
    "N": "110101101101101", "O": "111101101101111", "T": "111010010010010", "F": "111100110100100",
    "U": "101101101101111", "D": "110101101101110",
}
_GLYPH_CELLS = {ch: np.array([int(c) for c in cells], bool).reshape(5, 3) for ch, cells in _GLYPHS.items()}


def draw_detected_markers(image: np.ndarray, corners, ids=None, *,
                          color: tuple[int, int, int] = MARKER_OUTLINE) -> np.ndarray:
    """Draws each marker's outline, a square on its first corner (the
    marker's top-left corner as printed) and, when `ids` is given, its id at
    its centre. `corners` is a sequence of markers of 4 (x, y) corners, as
    `detect_markers` returns them (or a list of 1 x 4 x 2 arrays, as
    OpenCV's detectors do). Markers with non-finite corners are skipped."""
    out = _bgr_copy(image)
    quads = _as_points(corners, "corners", per_item=4)
    labels = _as_ids(ids, len(quads))
    thickness = _thickness(out)
    for k, quad in enumerate(quads):
        if not np.all(np.isfinite(quad)):
            continue
        for a in range(4):
            _line(out, quad[a], quad[(a + 1) % 4], color, thickness)
        _square(out, quad[0], thickness + 2, FIRST_CORNER)
        if labels is not None:
            centre = quad.mean(axis=0)
            _text(out, str(labels[k]), centre, thickness, MARKER_ID)
    return out


def draw_charuco_corners(image: np.ndarray, corners, ids=None, *,
                         color: tuple[int, int, int] = CHARUCO_CORNER) -> np.ndarray:
    """Draws a small square on each ChArUco corner and, when `ids` is given,
    the corner's id beside it. `corners` is a sequence of (x, y) points, as
    `detect_charuco_board` returns them (or an N x 1 x 2 array, as OpenCV
    keeps them). Non-finite corners are skipped."""
    out = _bgr_copy(image)
    points = _as_points(corners, "corners", per_item=None)
    labels = _as_ids(ids, len(points))
    thickness = _thickness(out)
    for k, p in enumerate(points):
        if not np.all(np.isfinite(p)):
            continue
        _square(out, p, thickness + 1, color, filled=False, thickness=thickness)
        if labels is not None:
            offset = 3 * thickness + 4
            _text(out, str(labels[k]), p + offset, thickness, CHARUCO_ID, anchor="top-left")
    return out


def mark_not_found(image: np.ndarray) -> np.ndarray:
    """A BGR copy of `image` with a red frame and "NOT FOUND" in its top-left
    corner: the mark of an image in which the target was not found."""
    out = _bgr_copy(image)
    h, w = out.shape[:2]
    t = 2 * _thickness(out)
    for x0, y0, x1, y1 in ((0, 0, w - 1, t - 1), (0, h - t, w - 1, h - 1), (0, 0, t - 1, h - 1),
                           (w - t, 0, w - 1, h - 1)):
        _fill(out, x0, y0, x1, y1, NOT_FOUND)
    _text(out, "NOT FOUND", (2 * t + _thickness(out) + 1, 2 * t + _thickness(out) + 1), _thickness(out),
          NOT_FOUND, anchor="top-left")
    return out


def draw_axes(image: np.ndarray, camera_matrix, dist_coeffs, rvec, tvec, length: float) -> np.ndarray:
    """Draws the x (red), y (green) and z (blue) axes of the frame at pose
    (`rvec`, `tvec`), each `length` long (in the unit of `tvec`), as the
    camera of `camera_matrix` and `dist_coeffs` sees them: the convention
    of `estimate_marker_poses` and the other pose functions. An axis with an
    end behind the camera is left out."""
    import morvelin as _native  # the package, imported by now

    out = _bgr_copy(image)
    length = float(length)
    if not (math.isfinite(length) and length > 0):
        raise ValueError("length must be finite and greater than zero")
    ends = [[0.0, 0.0, 0.0], [length, 0.0, 0.0], [0.0, length, 0.0], [0.0, 0.0, length]]
    pixels = np.array(_native.project_points(ends, rvec, tvec, camera_matrix, dist_coeffs))
    rotation = np.array(_native.rodrigues([list(np.asarray(rvec, dtype=float).reshape(3))]))
    depths = np.asarray(ends) @ rotation[2] + float(np.asarray(tvec, dtype=float).reshape(3)[2])
    thickness = _thickness(out) + 1
    for axis in (3, 2, 1):  # z first, so that x and y stay on top
        ok = depths[0] > 0 and depths[axis] > 0 and np.all(np.isfinite(pixels[[0, axis]]))
        if ok:
            _line(out, pixels[0], pixels[axis], AXIS_COLORS[axis - 1], thickness)
    return out


# --- argument checks -----------------------------------------------------------

def _bgr_copy(image) -> np.ndarray:
    if not isinstance(image, np.ndarray) or image.dtype != np.uint8:
        raise TypeError("image must be a uint8 NumPy array")
    if image.ndim == 2:
        return np.repeat(image[:, :, None], 3, axis=2)
    if image.ndim == 3 and image.shape[2] == 1:
        return np.repeat(image, 3, axis=2)
    if image.ndim == 3 and image.shape[2] == 3:
        return np.array(image, dtype=np.uint8, order="C", copy=True)
    if image.ndim == 3:
        raise ValueError("image must have 1 or 3 channels")
    raise ValueError("image must be 2D (gray) or 3D (BGR)")


def _as_points(values, name: str, per_item: int | None) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of points, not {type(values).__name__}")
    try:
        array = np.asarray(values, dtype=float)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must hold numbers only: {error}") from None
    if array.size == 0:
        return array.reshape(0, 2) if per_item is None else array.reshape(0, per_item, 2)
    # OpenCV's containers: points as N x 1 x 2 or 1 x N x 2, marker corners
    # as a list of 1 x 4 x 2 arrays.
    if per_item is None and array.ndim == 3 and array.shape[2] == 2 and 1 in array.shape[:2]:
        array = array.reshape(-1, 2)
    if per_item is not None and array.ndim == 4 and array.shape[1:] == (1, per_item, 2):
        array = array.reshape(-1, per_item, 2)
    shape = "N x 2" if per_item is None else f"N x {per_item} x 2"
    if per_item is None and (array.ndim != 2 or array.shape[1] != 2):
        raise ValueError(f"{name} must be {shape} (got shape {array.shape})")
    if per_item is not None and (array.ndim != 3 or array.shape[1:] != (per_item, 2)):
        raise ValueError(f"{name} must be {shape} (got shape {array.shape})")
    return array


def _as_ids(ids, count: int) -> list[int] | None:
    if ids is None:
        return None
    labels = [int(i) for i in np.asarray(ids).reshape(-1)]
    if len(labels) != count:
        raise ValueError(f"ids has {len(labels)} entries for {count} corners")
    return labels


def _thickness(image: np.ndarray) -> int:
    return max(1, round(max(image.shape[:2]) / 600))


# --- rasterisation ----------------------------------------------------------------

def _fill(image: np.ndarray, x0: int, y0: int, x1: int, y1: int, color) -> None:
    """Fills the pixel rectangle [x0, x1] x [y0, y1], clipped to the image."""
    h, w = image.shape[:2]
    x0, y0, x1, y1 = max(x0, 0), max(y0, 0), min(x1, w - 1), min(y1, h - 1)
    if x0 <= x1 and y0 <= y1:
        image[y0:y1 + 1, x0:x1 + 1] = color


def _clip_segment(a: np.ndarray, b: np.ndarray, w: int, h: int, pad: float):
    """The part of segment a-b inside [-pad, w - 1 + pad] x [-pad, h - 1 + pad]
    (Liang-Barsky), or None."""
    t0, t1 = 0.0, 1.0
    d = b - a
    for p, q in ((-d[0], a[0] + pad), (d[0], w - 1 + pad - a[0]), (-d[1], a[1] + pad), (d[1], h - 1 + pad - a[1])):
        if p == 0:
            if q < 0:
                return None
            continue
        t = q / p
        if p < 0:
            t0 = max(t0, t)
        else:
            t1 = min(t1, t)
        if t0 > t1:
            return None
    return a + t0 * d, a + t1 * d


def _line(image: np.ndarray, a, b, color, thickness: int) -> None:
    h, w = image.shape[:2]
    clipped = _clip_segment(np.asarray(a, float), np.asarray(b, float), w, h, thickness)
    if clipped is None:
        return
    p, q = clipped
    steps = max(1, int(math.ceil(2 * float(np.hypot(*(q - p))))))
    t = np.linspace(0.0, 1.0, steps + 1)[:, None]
    pts = np.rint(p + t * (q - p)).astype(np.int64)
    r = thickness // 2
    for dy in range(-r, thickness - r):
        for dx in range(-r, thickness - r):
            xs, ys = pts[:, 0] + dx, pts[:, 1] + dy
            keep = (xs >= 0) & (xs < w) & (ys >= 0) & (ys < h)
            image[ys[keep], xs[keep]] = color


def _square(image: np.ndarray, centre, half: int, color, filled: bool = True, thickness: int = 1) -> None:
    cx, cy = (int(round(float(v))) for v in centre)
    if filled:
        _fill(image, cx - half, cy - half, cx + half, cy + half, color)
        return
    t = thickness - 1
    _fill(image, cx - half, cy - half, cx + half, cy - half + t, color)
    _fill(image, cx - half, cy + half - t, cx + half, cy + half, color)
    _fill(image, cx - half, cy - half, cx - half + t, cy + half, color)
    _fill(image, cx + half - t, cy - half, cx + half, cy + half, color)


def _text(image: np.ndarray, text: str, position, scale: int, color, anchor: str = "centre") -> None:
    """Draws `text` (digits, '-', space and the letters of NOT FOUND) with the
    bitmap font, each font cell `scale` + 1 pixels square, on a white box so
    it reads on any background."""
    cell = scale + 1
    glyphs = [_GLYPH_CELLS[ch] for ch in text if ch in _GLYPH_CELLS]
    if not glyphs:
        return
    width = (4 * len(glyphs) - 1) * cell
    height = 5 * cell
    x, y = (float(v) for v in position)
    if anchor == "centre":
        x, y = x - width / 2, y - height / 2
    left, top = int(round(x)), int(round(y))
    _fill(image, left - cell, top - cell, left + width + cell - 1, top + height + cell - 1, (255, 255, 255))
    for g, cells in enumerate(glyphs):
        for row, col in zip(*np.nonzero(cells)):
            gx = left + (4 * g + col) * cell
            gy = top + row * cell
            _fill(image, gx, gy, gx + cell - 1, gy + cell - 1, color)

