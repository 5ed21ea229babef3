"""Test scenes with known ground truth, rendered from the module's own code
tables (read from the generated sources), warped by exact homographies and
anti-aliased by supersampling.

Coordinates follow the module's convention: pixel centres at integer
coordinates, so pixel (x, y) covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5].
"""

from __future__ import annotations

import functools
import pathlib
import re

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
TABLES = ROOT / "src" / "dictionary" / "generated"

# dictionary name -> (table file, marker size)
_FAMILY = {
    "4X4": ("4x4", 4), "5X5": ("5x5", 5), "6X6": ("6x6", 6), "7X7": ("7x7", 7),
    "ARUCO_ORIGINAL": ("aruco_original", 5), "ARUCO_MIP_36H12": ("36h12", 6),
    "APRILTAG_16H5": ("16h5", 4), "APRILTAG_25H9": ("25h9", 5),
    "APRILTAG_36H10": ("36h10", 6), "APRILTAG_36H11": ("36h11", 6),
}


def _family(dictionary: str) -> tuple[str, int]:
    key = dictionary.upper().removeprefix("DICT_")
    key = re.sub(r"_\d+$", "", key) if key[:3] in ("4X4", "5X5", "6X6", "7X7") else key
    return _FAMILY[key]


@functools.lru_cache(maxsize=None)
def _table(name: str) -> list[list[int]]:
    text = (TABLES / f"{name}.cpp").read_text()
    rows = re.findall(r"^\s+((?:0x[0-9a-f]{2},)+)\s+//", text, flags=re.M)
    return [[int(b, 16) for b in row.rstrip(",").split(",")] for row in rows]


def marker_bits(dictionary: str, marker_id: int) -> np.ndarray:
    """The n x n data cells of a marker as printed, 1 = white."""
    name, n = _family(dictionary)
    entry = _table(name)[marker_id]
    bits = n * n
    out = np.zeros(bits, np.uint8)
    for k in range(bits):
        byte = k // 8
        width = bits % 8 if byte == bits // 8 else 8
        out[k] = (entry[byte] >> (width - 1 - k % 8)) & 1
    return out.reshape(n, n)


def marker_pattern(bits: np.ndarray, border: int = 1, quiet_zone: int = 0, inverted: bool = False) -> np.ndarray:
    """Cells of the printed marker: data, black border, optional white quiet zone."""
    cells = np.pad(bits, border, constant_values=0)
    if inverted:
        cells = 1 - cells
    if quiet_zone:
        cells = np.pad(cells, quiet_zone, constant_values=1)
    return cells


def homography(src: np.ndarray, dst: np.ndarray) -> np.ndarray:
    """3x3 matrix mapping the four src points onto the four dst points."""
    a = []
    for (x, y), (u, v) in zip(src, dst):
        a.append([x, y, 1, 0, 0, 0, -u * x, -u * y, -u])
        a.append([0, 0, 0, x, y, 1, -v * x, -v * y, -v])
    _, _, vt = np.linalg.svd(np.asarray(a, float))
    h = vt[-1].reshape(3, 3)
    return h / h[2, 2]


def paint(image: np.ndarray, pattern: np.ndarray, corners, supersample: int = 4,
          levels: tuple[float, float] = (20.0, 235.0)) -> None:
    """Paints `pattern` (cells, 1 = white) into float image `image` so that
    its outer corners land on `corners` (top-left, top-right, bottom-right,
    bottom-left, in pixel coordinates)."""
    rows, cols = pattern.shape
    h = homography(np.array([[0, 0], [cols, 0], [cols, rows], [0, rows]], float), np.asarray(corners, float))
    paint_homography(image, pattern, h, supersample, levels)


def paint_homography(image: np.ndarray, pattern: np.ndarray, h: np.ndarray, supersample: int = 4,
                     levels: tuple[float, float] = (20.0, 235.0)) -> None:
    """Paints `pattern` through the homography `h`, which maps pattern
    coordinates (column, row; cell (i, j) covers [j, j+1) x [i, i+1)) to image
    pixel coordinates."""
    rows, cols = pattern.shape
    outline = np.array([[0, 0, 1], [cols, 0, 1], [cols, rows, 1], [0, rows, 1]], float) @ h.T
    outline = outline[:, :2] / outline[:, 2:]
    hinv = np.linalg.inv(h)
    x0, y0 = np.floor(outline.min(axis=0) - 1).astype(int)
    x1, y1 = np.ceil(outline.max(axis=0) + 1).astype(int)
    x0, y0 = max(x0, 0), max(y0, 0)
    x1, y1 = min(x1, image.shape[1] - 1), min(y1, image.shape[0] - 1)
    if x1 < x0 or y1 < y0:
        return
    offsets = (np.arange(supersample) + 0.5) / supersample - 0.5
    ys, xs = np.mgrid[y0:y1 + 1, x0:x1 + 1]
    acc = np.zeros(xs.shape, float)
    covered = np.zeros(xs.shape, float)
    for dy in offsets:
        for dx in offsets:
            px, py = xs + dx, ys + dy
            w = hinv[2, 0] * px + hinv[2, 1] * py + hinv[2, 2]
            u = (hinv[0, 0] * px + hinv[0, 1] * py + hinv[0, 2]) / w
            v = (hinv[1, 0] * px + hinv[1, 1] * py + hinv[1, 2]) / w
            inside = (u >= 0) & (u < cols) & (v >= 0) & (v < rows) & (w > 0)
            cu = np.clip(u.astype(int), 0, cols - 1)
            cv = np.clip(v.astype(int), 0, rows - 1)
            value = np.where(pattern[cv, cu] > 0, levels[1], levels[0])
            acc += np.where(inside, value, 0.0)
            covered += inside
    region = image[y0:y1 + 1, x0:x1 + 1]
    n = supersample * supersample
    region[...] = region * (1 - covered / n) + acc / n


def square_corners(cx: float, cy: float, side: float, angle_deg: float = 0.0) -> np.ndarray:
    """Corners of a square centred at (cx, cy), clockwise on screen from the
    top-left, turned by angle_deg."""
    half = side / 2
    local = np.array([[-half, -half], [half, -half], [half, half], [-half, half]])
    a = np.deg2rad(angle_deg)
    rot = np.array([[np.cos(a), -np.sin(a)], [np.sin(a), np.cos(a)]])
    return local @ rot.T + [cx, cy]


def inner_corners(outer: np.ndarray, cells: int, quiet_zone: int) -> np.ndarray:
    """Corners of the black-bordered marker inside a pattern with a quiet zone."""
    if not quiet_zone:
        return np.asarray(outer, float)
    size = cells + 2 * quiet_zone
    h = homography(np.array([[0, 0], [size, 0], [size, size], [0, size]], float), np.asarray(outer, float))
    q = quiet_zone
    pts = np.array([[q, q, 1], [size - q, q, 1], [size - q, size - q, 1], [q, size - q, 1]], float)
    mapped = pts @ h.T
    return mapped[:, :2] / mapped[:, 2:]


def scene(width: int, height: int, background: float = 128.0) -> np.ndarray:
    return np.full((height, width), background, float)


def to_uint8(image: np.ndarray, noise: float = 0.0, seed: int = 0) -> np.ndarray:
    if noise:
        image = image + np.random.default_rng(seed).normal(0, noise, image.shape)
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def blur(image: np.ndarray, sigma: float) -> np.ndarray:
    """Separable Gaussian blur of a float image (reflecting border)."""
    radius = max(1, int(3 * sigma + 0.5))
    x = np.arange(-radius, radius + 1)
    k = np.exp(-0.5 * (x / sigma) ** 2)
    k /= k.sum()
    padded = np.pad(image, radius, mode="reflect")
    tmp = np.apply_along_axis(lambda r: np.convolve(r, k, mode="valid"), 1, padded)
    return np.apply_along_axis(lambda c: np.convolve(c, k, mode="valid"), 0, tmp)


def marker_scene(dictionary: str, ids, size=(640, 480), side=120.0, angle=0.0, background=128.0,
                 quiet_zone=0, inverted=False, supersample=4):
    """A scene with markers laid out on a grid; returns (image, {id: corners})."""
    width, height = size
    image = scene(width, height, background)
    truth = {}
    cols = max(1, int(width // (side * 1.6)))
    for k, marker_id in enumerate(ids):
        cx = side * 0.8 + (k % cols) * side * 1.6
        cy = side * 0.8 + (k // cols) * side * 1.6
        bits = marker_bits(dictionary, marker_id)
        pattern = marker_pattern(bits, quiet_zone=quiet_zone, inverted=inverted)
        outer = square_corners(cx, cy, side, angle)
        paint(image, pattern, outer, supersample)
        truth[marker_id] = inner_corners(outer, bits.shape[0] + 2, quiet_zone)
    return image, truth


def charuco_bitmap(squares_x, squares_y, dictionary, pixels_per_square, marker_pixels, legacy=False, ids=None):
    """The printed board as a bitmap (1 = white), `pixels_per_square` per
    square and `marker_pixels` per marker side; origin at the outer corner of
    square (0, 0)."""
    bitmap = np.ones((squares_y * pixels_per_square, squares_x * pixels_per_square), np.uint8)
    inset = (pixels_per_square - marker_pixels) // 2
    k = 0
    for i in range(squares_y):
        for j in range(squares_x):
            y, x = i * pixels_per_square, j * pixels_per_square
            marker_square = (i + j) % 2 == 1 if (not legacy or squares_y % 2 == 1) else (i + j) % 2 == 0
            if not marker_square:
                bitmap[y:y + pixels_per_square, x:x + pixels_per_square] = 0
                continue
            cells = marker_pattern(marker_bits(dictionary, ids[k] if ids else k))
            scale = marker_pixels // cells.shape[0]
            bitmap[y + inset:y + inset + marker_pixels, x + inset:x + inset + marker_pixels] = \
                np.kron(cells, np.ones((scale, scale), np.uint8))
            k += 1
    return bitmap


def board_homography(camera, rvec, tvec, units_per_pixel):
    """Homography from bitmap pixels to image pixels for a board on z = 0
    seen by a pinhole camera without distortion."""
    rvec = np.asarray(rvec, float)
    theta = np.linalg.norm(rvec)
    if theta < 1e-15:
        r = np.eye(3)
    else:
        k = rvec / theta
        kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
        r = np.eye(3) + np.sin(theta) * kx + (1 - np.cos(theta)) * kx @ kx
    plane = np.c_[r[:, 0], r[:, 1], np.asarray(tvec, float)]
    return np.asarray(camera, float) @ plane @ np.diag([units_per_pixel, units_per_pixel, 1.0])


def charuco_scene(squares_x, squares_y, dictionary, camera, rvec, tvec, size=(800, 600), square=0.04, ratio=0.6,
                  legacy=False, ids=None, blur_sigma=0.7, noise=1.0, background=128.0):
    """A ChArUco board on z = 0 seen by a pinhole camera. Returns the image,
    the marker length that matches the print, the homography from bitmap
    pixels to the image, the board units per bitmap pixel, and the true image
    position of every interior chessboard corner in row-major order."""
    n = marker_bits(dictionary, 0).shape[0]
    marker_px = (n + 2) * 4
    pixels_per_square = int(round(marker_px / ratio))
    pixels_per_square += (pixels_per_square - marker_px) % 2
    bitmap = charuco_bitmap(squares_x, squares_y, dictionary, pixels_per_square, marker_px, legacy, ids)
    units = square / pixels_per_square
    h = board_homography(camera, rvec, tvec, units)
    image = scene(*size, background)
    paint_homography(image, bitmap, h)
    truth = []
    for r in range(1, squares_y):
        for c in range(1, squares_x):
            p = h @ [c * pixels_per_square, r * pixels_per_square, 1.0]
            truth.append(p[:2] / p[2])
    return to_uint8(blur(image, blur_sigma), noise=noise), marker_px * units, h, units, np.array(truth)
