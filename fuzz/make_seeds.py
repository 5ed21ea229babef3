"""Writes the structured seed inputs of the image and pose fuzz targets.

The targets read their input through FuzzedDataProvider, which takes
integers and floats from the end of the input; the Stream below records
choices in the order a target consumes them and lays the bytes out the way
the provider reads them. Each seed makes a target see a real scene (a marker,
an AprilTag, a chessboard, a ChArUco board, consistent 3-D/2-D
correspondences), so fuzzing starts from inputs that reach the decoding,
refinement and pose stages. Run with the sanitizer environment's Python
(any build of morvelin draws the scenes):

    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
        .venv-asan/bin/python fuzz/make_seeds.py
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

import morvelin

CORPUS = Path(__file__).resolve().parent / "corpus"
NAMES = morvelin.predefined_dictionaries()
U64 = 2**64 - 1


class Stream:
    """Choices in consumption order, encoded as FuzzedDataProvider reads them."""

    def __init__(self) -> None:
        self.consumed: list[int] = []

    def int_in(self, lo: int, hi: int, value: int) -> None:
        span = hi - lo
        assert lo <= value <= hi
        offset = value - lo
        nbytes = 0
        while nbytes < 8 and (span >> (8 * nbytes)) > 0:
            nbytes += 1
        # The most significant byte is consumed first.
        self.consumed += list(offset.to_bytes(nbytes, "big")) if nbytes else []

    def bool(self, value: bool) -> None:
        self.int_in(0, 255, int(value))

    def byte(self, value: int) -> None:
        self.int_in(0, 255, value)

    def float_in(self, lo: float, hi: float, value: float) -> None:
        """ConsumeFloatingPointInRange for ranges below the largest double."""
        p = (value - lo) / (hi - lo)
        self.int_in(0, U64, min(U64, max(0, round(p * U64))))

    def float32_in(self, lo: float, hi: float, value: float) -> None:
        """The same for float, whose probability takes 32 bits."""
        p = (value - lo) / (hi - lo)
        self.int_in(0, 2**32 - 1, min(2**32 - 1, max(0, round(p * (2**32 - 1)))))

    def plain_double(self, lo: float, hi: float, value: float) -> None:
        """fuzz::any_double taking its in-range branch."""
        self.int_in(0, 9, 6)
        self.float_in(lo, hi, value)

    def plain_int32(self, lo: int, hi: int, value: int) -> None:
        """fuzz::any_int32 taking its in-range branch."""
        self.int_in(0, 7, 3)
        self.int_in(lo, hi, value)

    def data(self) -> bytes:
        return bytes(reversed(self.consumed))


def image_choices(s: Stream, image: np.ndarray, max_side: int) -> None:
    """fuzz::small_image with block 1 and raw grey levels."""
    h, w = image.shape
    assert w <= max_side and h <= max_side
    s.int_in(0, max_side, w)
    s.int_in(0, max_side, h)
    s.int_in(1, 8, 1)
    s.bool(False)
    for v in image.reshape(-1):
        s.byte(int(v))


def default_contour_parameters(s: Stream) -> None:
    s.int_in(-8, 40, 3)     # window min
    s.int_in(-8, 40, 20)    # window max - min
    s.int_in(-4, 20, 10)    # window step
    s.bool(False)           # no extreme windows
    s.plain_double(-20.0, 40.0, 7.0)
    s.plain_double(-0.1, 0.3, 0.03)
    s.plain_double(-1.0, 2.0, 0.6)
    s.bool(False)           # detect_inverted_marker
    s.plain_int32(-4, 40, 0)  # perimeter-rate rule: small images keep small markers


def refinement_parameters(s: Stream, method: int, allow_apriltag: bool) -> None:
    s.int_in(0, 3 if allow_apriltag else 2, method)
    s.bool(True)
    s.int_in(1, 12, 5)
    s.bool(True)
    s.float_in(1e-6, 3.0, 0.3)
    s.int_in(1, 100, 30)
    s.bool(True)
    s.float_in(0.0, 2.0, 0.1)


def apriltag_parameters(s: Stream, decimate: float, deglitch: bool) -> None:
    s.bool(True)
    s.float_in(0.0, 4.0, decimate)
    s.bool(True)            # refine at full resolution
    s.bool(True)
    s.float_in(-3.0, 3.0, 0.0)
    s.plain_int32(1, 200, 5)
    s.plain_int32(4, 20, 10)
    s.bool(True)
    s.float_in(1e-300, 1.5707963267948963, math.pi / 18)
    s.bool(True)
    s.float_in(1e-12, 100.0, 10.0)
    s.int_in(0, 255, 5)
    s.bool(deglitch)


def marker_scene(name: str, marker_id: int, side: int, canvas: int, offset: int) -> np.ndarray:
    marker = np.asarray(morvelin.generate_marker_image(name, marker_id, side))
    image = np.full((canvas, canvas), 255, np.uint8)
    image[offset:offset + side, offset:offset + side] = marker
    return image


def chessboard_scene(cols: int, rows: int, square: int, margin: int) -> np.ndarray:
    h, w = rows * square + 2 * margin, cols * square + 2 * margin
    image = np.full((h, w), 255, np.uint8)
    for r in range(rows):
        for c in range(cols):
            if (r + c) % 2 == 0:
                image[margin + r * square:margin + (r + 1) * square, margin + c * square:margin + (c + 1) * square] = 0
    return image


def write(target: str, name: str, data: bytes) -> None:
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def contour_seeds() -> None:
    for name, marker_id, method in (("DICT_4X4_50", 3, 0), ("DICT_6X6_250", 17, 1), ("DICT_5X5_100", 9, 2)):
        s = Stream()
        default_contour_parameters(s)
        refinement_parameters(s, method, False)
        s.int_in(0, 21, NAMES.index(name))
        s.plain_double(0.0, 0.2, 0.03)
        image_choices(s, marker_scene(name, marker_id, 40, 64, 12), 96)
        write("fuzz_detect_contours", f"seed-{name.lower()}-method{method}", s.data())


def apriltag_seeds() -> None:
    for name, marker_id, decimate, deglitch in (("DICT_APRILTAG_36h11", 5, 0.0, False),
                                                ("DICT_APRILTAG_16h5", 2, 2.0, True)):
        s = Stream()
        apriltag_parameters(s, decimate, deglitch)
        s.plain_double(0.0, 1.0, 0.6)     # error_correction_rate
        s.bool(False)                     # detect_inverted_marker
        s.int_in(0, 21, NAMES.index(name))
        for x, y in ((14.5, 14.5), (49.5, 14.5), (49.5, 49.5), (14.5, 49.5)):  # extra outline: the tag's
            s.int_in(0, 7, 1)
            s.float32_in(-4.0, 100.0, x)
            s.int_in(0, 7, 1)
            s.float32_in(-4.0, 100.0, y)
        image_choices(s, marker_scene(name, marker_id, 40, 64, 12), 96)
        write("fuzz_apriltag", f"seed-{name.lower()}-decimate{decimate:g}", s.data())


def chessboard_seeds() -> None:
    for cols, rows, square in ((5, 4, 10), (4, 4, 12), (7, 5, 8)):
        s = Stream()
        s.int_in(0, 9, cols - 1)
        s.int_in(0, 9, rows - 1)
        s.int_in(0, 15, 1)
        s.int_in(0, 15, 1)
        image_choices(s, chessboard_scene(cols, rows, square, 12), 80)
        write("fuzz_chessboard", f"seed-{cols - 1}x{rows - 1}", s.data())


def charuco_seeds() -> None:
    for squares, name, legacy, method in ((3, "DICT_4X4_50", False, 0), (4, "DICT_4X4_50", True, 1),
                                          (3, "DICT_APRILTAG_16h5", False, 3)):
        s = Stream()
        s.int_in(1, 7, squares)
        s.int_in(1, 7, squares)
        s.plain_double(0.0, 2.0, 1.0)
        s.plain_double(0.0, 2.0, 0.75)
        s.int_in(0, 21, NAMES.index(name))
        s.bool(legacy)
        s.int_in(-1, 3, 1)      # min_markers
        s.bool(True)            # check_markers
        default_contour_parameters(s)
        refinement_parameters(s, method, True)
        if method == 3:
            apriltag_parameters(s, 0.0, False)
        board = morvelin.CharucoBoard(squares, squares, 1.0, 0.75, name, legacy_pattern=legacy)
        image_choices(s, np.asarray(board.generate_image(96, 96, 6)), 96)
        write("fuzz_charuco", f"seed-{squares}x{squares}-{name.lower()}-method{method}", s.data())


def pnp_seeds() -> None:
    rng = np.random.default_rng(3)
    for planar, n, outliers in ((True, 8, 0), (False, 10, 0), (True, 12, 3)):
        obj = rng.uniform(-5, 5, (n, 3))
        if planar:
            obj[:, 2] = 0.0
        rvec, tvec = [0.1, -0.2, 0.05], [0.3, -0.2, 20.0]
        k = [[500.0, 0.0, 0.0], [0.0, 500.0, 0.0], [0.0, 0.0, 1.0]]
        img = np.array(morvelin.project_points(obj, rvec, tvec, k))
        img[:outliers] += 40.0
        s = Stream()
        s.bool(False)               # not wild
        s.bool(planar)
        s.int_in(0, 24, n)
        s.bool(True)                # as many image points
        s.int_in(0, 7, 1)           # not ragged
        for row in k:
            for v in row:
                s.float_in(-1e3, 1e3, v)
        s.bool(False)               # no distortion
        s.bool(False)               # no rvec
        s.bool(False)               # no tvec
        for p in obj:
            s.float_in(-10.0, 10.0, p[0])
            s.float_in(-10.0, 10.0, p[1])
            if not planar:
                s.float_in(-10.0, 10.0, p[2])
        for p in img:
            s.float_in(-10.0, 10.0, p[0] / 50.0)
            s.float_in(-10.0, 10.0, p[1] / 50.0)
        s.int_in(0, 40, 30)         # RANSAC iterations
        s.plain_double(0.0, 20.0, 3.0)
        s.plain_double(0.0, 1.0, 0.99)
        s.int_in(0, U64, 1)         # seed
        write("fuzz_pnp", f"seed-{'planar' if planar else 'general'}-{n}-outliers{outliers}", s.data())


def polygon_seeds() -> None:
    # A square of side 20 as a chain of 8-neighbour steps (east, south,
    # west, north), and the same square with cut corners (diagonal steps).
    for name, steps in (("square", [0] * 20 + [2] * 20 + [4] * 20 + [6] * 20),
                        ("octagon", [0] * 12 + [1] * 4 + [2] * 12 + [3] * 4 + [4] * 12 + [5] * 4 + [6] * 12 + [7] * 4)):
        s = Stream()
        s.plain_double(0.0, 20.0, 2.0)  # epsilon
        s.int_in(0, 2, 0)               # 8-neighbour chain
        s.int_in(0, 600, len(steps))
        for step in steps:
            s.int_in(0, 7, step)
        write("fuzz_polygon", f"seed-{name}", s.data())


def main() -> None:
    polygon_seeds()
    contour_seeds()
    apriltag_seeds()
    chessboard_seeds()
    charuco_seeds()
    pnp_seeds()


if __name__ == "__main__":
    main()
