"""Fuzzes the Python API of morvelin.

Every public function and class is called with arguments drawn from the
fuzzer's bytes: arrays of random shape, dtype, byte order and strides (views,
transposes, read-only and Fortran-ordered arrays), nested lists, random
DetectorParameters values (NaN, infinities, extreme and out-of-range ints,
wrong types), random point lists and camera models. The documented
exceptions are TypeError, ValueError, OverflowError and MemoryError; any other
exception, a wrong result type or a crash is a finding.

Runs under atheris when it is installed (coverage-guided, libFuzzer options
on the command line); with --random, or without atheris, a plain seeded
random driver feeds the same harness:

    python fuzz/python_api.py -max_total_time=60 fuzz/corpus/python_api
    python fuzz/python_api.py --random --seconds 60 --seed 1
"""

from __future__ import annotations

import argparse
import math
import random
import struct
import sys
import time
import warnings

import numpy as np

try:
    import atheris
except ImportError:  # the plain random driver serves instead
    atheris = None

if atheris is not None:
    with atheris.instrument_imports():
        import morvelin
else:
    import morvelin

ACCEPTED = (TypeError, ValueError, OverflowError, MemoryError)

SPECIAL_FLOATS = [
    math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e-300, 1e300, -1e300,
    1.7976931348623157e308, 0.5, 1.0, -1.0, 3.0, 2.0**31, -(2.0**31), 2.0**63,
]
SPECIAL_INTS = [
    0, 1, -1, 2, 3, 4, 5, 2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**32, 2**63 - 1, 2**63, 2**64, -(2**63) - 1,
]
DTYPES = [
    np.uint8, np.int8, np.uint16, np.int16, np.int32, np.uint32, np.int64, np.uint64,
    np.float16, np.float32, np.float64, np.bool_, np.complex64, np.dtype(">u2"), np.dtype(">f8"), object,
]
DICTIONARIES = list(morvelin.predefined_dictionaries())
PARAMETER_NAMES = [
    "adaptive_thresh_win_size_min", "adaptive_thresh_win_size_max", "adaptive_thresh_win_size_step",
    "adaptive_thresh_constant", "polygonal_approx_accuracy_rate", "error_correction_rate",
    "detect_inverted_marker", "min_side_length_canonical_img", "corner_refinement_method",
    "corner_refinement_win_size", "relative_corner_refinement_win_size", "corner_refinement_max_iterations",
    "corner_refinement_min_accuracy", "april_tag_quad_decimate", "april_tag_refine_full_resolution",
    "april_tag_quad_sigma", "april_tag_min_cluster_pixels", "april_tag_max_nmaxima", "april_tag_critical_rad",
    "april_tag_max_line_fit_mse", "april_tag_min_white_black_diff", "april_tag_deglitch", "marker_border_bits",
]


class Draw:
    """Random choices from the fuzzer's bytes or from a seeded generator."""

    def __init__(self, data: bytes | None = None, rng: random.Random | None = None):
        self.fdp = atheris.FuzzedDataProvider(data) if data is not None else None
        self.rng = rng

    def int(self, lo: int, hi: int) -> int:
        if self.fdp is not None:
            return self.fdp.ConsumeIntInRange(lo, hi)
        return self.rng.randint(lo, hi)

    def bool(self) -> bool:
        return self.int(0, 1) == 1

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def float(self, lo: float = -1e3, hi: float = 1e3) -> float:
        kind = self.int(0, 5)
        if kind == 0:
            return self.pick(SPECIAL_FLOATS)
        if kind == 1:
            bits = self.int(0, 2**64 - 1)
            return struct.unpack("<d", struct.pack("<Q", bits))[0]
        if self.fdp is not None:
            return self.fdp.ConsumeFloatInRange(lo, hi)
        return self.rng.uniform(lo, hi)

    def any_int(self, lo: int, hi: int) -> int:
        return self.pick(SPECIAL_INTS) if self.int(0, 4) == 0 else self.int(lo, hi)

    def iteration_count(self, lo: int, hi: int) -> int:
        """any_int for an iteration count, but counts that convert and exceed
        1000 are asked as 1000: a RANSAC loop without consensus runs every
        iteration it is given. Out-of-range values still test the refusal."""
        value = self.any_int(lo, hi)
        return 1000 if 1000 < value < 2**31 else value

    def bytes(self, n: int) -> bytes:
        if self.fdp is not None:
            raw = self.fdp.ConsumeBytes(n)
            return raw + bytes(n - len(raw))
        return bytes(self.rng.getrandbits(8) for _ in range(n))

    def text(self) -> str:
        if self.int(0, 3) == 0:
            return self.pick(["", "DICT_", "dict_4x4_50", "4X4_50", "DICT_APRILTAG_36H11", "\x00", "DICT_4X4_50\x00"])
        n = self.int(0, 24)
        if self.fdp is not None:
            return self.fdp.ConsumeUnicodeNoSurrogates(n)
        return "".join(chr(self.rng.randint(1, 0x2FF)) for _ in range(n))


# ---- inputs ------------------------------------------------------------------

def pattern_image(d: Draw, height: int, width: int) -> np.ndarray:
    """A uint8 image of blocks, so short inputs still make squares and grids."""
    block = d.int(1, 8)
    ch, cw = -(-height // block), -(-width // block)
    coarse = np.frombuffer(d.bytes(ch * cw), dtype=np.uint8).reshape(ch, cw)
    if d.bool():
        coarse = np.where(coarse & 1, 230, 20).astype(np.uint8)
    return np.kron(coarse, np.ones((block, block), np.uint8))[:height, :width].copy()


def strided(d: Draw, a: np.ndarray) -> np.ndarray:
    """The same data in another layout: a view with steps, a transpose, Fortran order, read-only."""
    kind = d.int(0, 5)
    if kind == 1 and a.ndim >= 1:
        big = np.repeat(a, 2, axis=0)
        a = big[::2]
    elif kind == 2 and a.ndim >= 2:
        a = np.ascontiguousarray(np.swapaxes(a, 0, 1)).swapaxes(0, 1)
    elif kind == 3:
        a = np.asfortranarray(a)
    elif kind == 4 and a.ndim >= 1:
        a = a[::-1]
    if d.int(0, 4) == 0:
        a = a.view()
        a.flags.writeable = False
    return a


def random_array(d: Draw, max_side: int = 12) -> np.ndarray:
    ndim = d.int(0, 4)
    shape = tuple(d.int(0, max_side) for _ in range(ndim))
    dtype = d.pick(DTYPES)
    count = int(np.prod(shape)) if shape else 1
    if dtype is object:
        a = np.array([d.float() for _ in range(count)], dtype=object).reshape(shape)
    else:
        dt = np.dtype(dtype)
        raw = d.bytes(count * dt.itemsize)
        a = np.frombuffer(raw, dtype=dt).reshape(shape).copy()
    return strided(d, a)


def image(d: Draw) -> np.ndarray:
    kind = d.int(0, 5)
    if kind == 0:
        return random_array(d, 40)
    h, w = d.int(0, 72), d.int(0, 72)
    img = pattern_image(d, h, w)
    if kind == 1:
        img = np.repeat(img[:, :, None], d.pick([1, 3, 4]), axis=2)
    return strided(d, img)


def points(d: Draw, dim: int, max_count: int = 12, count: int | None = None):
    """n x dim points (n = count, or drawn up to max_count), sometimes of another shape."""
    n = d.int(0, max_count) if count is None else count
    if d.int(0, 7) == 0:
        return random_array(d, max_count)
    cols = dim if d.int(0, 7) else d.int(0, 4)
    rows = [[d.float(-50, 50) for _ in range(cols)] for _ in range(n)]
    kind = d.int(0, 3)
    if kind == 0:
        return rows
    if kind == 1:
        return [tuple(r) for r in rows]
    with np.errstate(all="ignore"):
        a = np.array(rows, dtype=np.float64).reshape(n, cols).astype(d.pick([np.float64, np.float32, np.int32]))
    return strided(d, a)


def camera_matrix(d: Draw):
    if d.int(0, 5) == 0:
        return d.pick([random_array(d, 4), [[1.0, 2.0], [3.0]], [], None, "K"])
    f = d.float(1.0, 2000.0)
    m = [[f, 0.0, d.float(0, 640)], [0.0, d.float(1.0, 2000.0), d.float(0, 480)], [0.0, 0.0, 1.0]]
    return strided(d, np.array(m)) if d.bool() else m


def dist_coeffs(d: Draw):
    kind = d.int(0, 4)
    if kind == 0:
        return None
    if kind == 1:
        return random_array(d, 15)
    return [d.float(-1.0, 1.0) for _ in range(d.pick([0, 4, 5, 8, 12, 14, d.int(0, 16)]))]


def vector3(d: Draw):
    if d.int(0, 5) == 0:
        return d.pick([random_array(d, 4), None, [1.0, 2.0]])
    return [d.float(-5, 5) for _ in range(3)]


def ints(d: Draw, n: int):
    if d.int(0, 5) == 0:
        return random_array(d, n)
    return [d.any_int(0, 60) for _ in range(n)]


def parameter_value(d: Draw):
    kind = d.int(0, 7)
    if kind == 0:
        return d.float()
    if kind == 1:
        return d.pick(SPECIAL_INTS)
    if kind == 2:
        return d.pick([None, "7", True, False, [], 1 + 2j, np.float32(2.5), np.int64(3), np.uint8(200)])
    return None  # keep the default


def detector_parameters(d: Draw):
    if d.int(0, 3) == 0:
        return d.pick([None, None, 7, "params"])
    p = morvelin.DetectorParameters()
    for _ in range(d.int(0, 8)):
        name = d.pick(PARAMETER_NAMES)
        value = parameter_value(d)
        if value is None:
            continue
        try:
            setattr(p, name, value)
        except ACCEPTED:
            pass
    bound_search_cost(p)
    return p


def bound_search_cost(p) -> None:
    """Keeps one detection call short: a few dozen threshold windows and
    refinement iterations at most (the API allows billions of either, which
    only takes long)."""
    lo, hi, step = p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max, p.adaptive_thresh_win_size_step
    if step != 0 and (hi - lo) // step > 40:
        p.adaptive_thresh_win_size_step = (hi - lo) // 40 + 1
    p.corner_refinement_max_iterations = min(p.corner_refinement_max_iterations, 100)


def board(d: Draw):
    try:
        return morvelin.CharucoBoard(
            d.int(1, 7) if d.int(0, 9) else d.any_int(0, 3),
            d.int(1, 7) if d.int(0, 9) else d.any_int(0, 3),
            d.float(0.0, 2.0),
            d.float(0.0, 2.0),
            d.pick(DICTIONARIES) if d.int(0, 9) else d.text(),
            None if d.int(0, 3) else ints(d, d.int(0, 30)),
            d.bool(),
        )
    except ACCEPTED:
        return None


def rigid_body(d: Draw):
    n = d.int(0, 4)
    try:
        return morvelin.RigidBody(
            d.float(0.0, 1.0),
            ints(d, n),
            [strided(d, np.eye(3)) if d.int(0, 5) else random_array(d, 4) for _ in range(n + d.int(-1, 1) * d.int(0, 1))],
            points(d, 3, count=n),
        )
    except ACCEPTED:
        return None


# ---- calls -------------------------------------------------------------------

def check_markers_result(result) -> None:
    corners, ids = result
    assert isinstance(corners, list) and isinstance(ids, list) and len(corners) == len(ids)
    for quad in corners:
        assert len(quad) == 4 and all(len(c) == 2 and all(isinstance(v, float) for v in c) for c in quad)
    assert all(isinstance(i, int) for i in ids)


def call_detect(d: Draw) -> None:
    name = d.pick(DICTIONARIES) if d.int(0, 7) else d.text()
    check_markers_result(morvelin.detect_markers(image(d), name, detector_parameters(d)))


def call_batch(d: Draw) -> None:
    images = [image(d) for _ in range(d.int(0, 3))]
    if d.int(0, 5) == 0:
        images = d.pick([tuple(images), image(d), None, [None]])
    results = morvelin.detect_markers_batch(images, d.pick(DICTIONARIES), detector_parameters(d))
    for r in results:
        check_markers_result(r)


def call_charuco(d: Draw) -> None:
    b = board(d)
    if b is None:
        return
    params = detector_parameters(d)
    if d.int(0, 3) == 0:
        morvelin._check_settings(params, b)  # the command line's check: None or ValueError
    result = morvelin.detect_charuco_board(image(d), b, params, d.any_int(0, 2), d.bool())
    corners, ids, marker_corners, marker_ids = result
    assert len(corners) == len(ids) and ids == sorted(set(ids))
    check_markers_result((marker_corners, marker_ids))
    if ids and d.bool():
        pose = morvelin.estimate_pose_charuco_board(corners, ids, b, camera_matrix(d), dist_coeffs(d))
        assert pose is None or (len(pose[0]) == 3 and len(pose[1]) == 3)


def call_chessboard(d: Draw) -> None:
    shape = d.pick([(d.int(0, 8), d.int(0, 8)), (d.any_int(0, 8), d.any_int(0, 8)), [3, 3], (3,), "33", None])
    found, corners = morvelin.find_chessboard_corners(image(d), shape)
    assert isinstance(found, bool) and (found or corners == [])


def call_pnp(d: Draw) -> None:
    n = d.int(0, 12)
    obj, img = points(d, 3, count=n), points(d, 2, count=n if d.int(0, 7) else d.int(0, 12))
    kind = d.int(0, 1)
    if kind == 0:
        pose = morvelin.solve_pnp(obj, img, camera_matrix(d), dist_coeffs(d),
                                  vector3(d) if d.bool() else None, vector3(d) if d.bool() else None)
        assert pose is None or (len(pose[0]) == 3 and len(pose[1]) == 3)
    else:
        result = morvelin.solve_pnp_ransac(obj, img, camera_matrix(d), dist_coeffs(d), d.iteration_count(1, 40),
                                           d.float(0.0, 10.0), d.float(0.0, 1.0), d.any_int(0, 100))
        if result is not None:
            rvec, tvec, inliers, rmse = result
            assert inliers == sorted(set(inliers)) and isinstance(rmse, float)


def call_rigid_body(d: Draw) -> None:
    body = rigid_body(d)
    if body is None:
        return
    n = d.int(0, 4)
    corners = [points(d, 2, count=4 if d.int(0, 7) else d.int(0, 5)) for _ in range(n)]
    pose = morvelin.estimate_rigid_body_pose(corners, ints(d, n), body, camera_matrix(d), dist_coeffs(d),
                                             d.iteration_count(1, 30), d.float(0.0, 10.0), d.float(0.0, 1.0), d.any_int(0, 9))
    assert pose is None or isinstance(pose, morvelin.RigidBodyPose)


def call_projection(d: Draw) -> None:
    if d.bool():
        out = morvelin.project_points(points(d, 3), vector3(d), vector3(d), camera_matrix(d), dist_coeffs(d))
        assert isinstance(out, list)
    else:
        src = d.pick([vector3(d), random_array(d, 4), points(d, 3, 3)])
        out = morvelin.rodrigues(src)
        assert isinstance(out, list)


def call_drawing_and_generation(d: Draw) -> None:
    kind = d.int(0, 3)
    if kind == 0:
        side = d.int(0, 200) if d.int(0, 7) else d.any_int(0, 10)
        out = morvelin.generate_marker_image(d.pick(DICTIONARIES) if d.int(0, 7) else d.text(), d.any_int(0, 60),
                                             side, d.any_int(0, 3))
        assert out.dtype == np.uint8
    elif kind == 1:
        n = d.int(0, 3)
        ids = None if d.bool() else ints(d, n)
        out = morvelin.draw_detected_markers(image(d), [points(d, 2, 4) for _ in range(n)], ids,
                                             color=d.pick([(0, 255, 0), (d.any_int(0, 255), 0, 0), (1, 2), "red"]))
        assert out.dtype == np.uint8
    elif kind == 2:
        n = d.int(0, 5)
        out = morvelin.draw_charuco_corners(image(d), points(d, 2, n), None if d.bool() else ints(d, n))
        assert out.dtype == np.uint8
    else:
        b = board(d)
        if b is not None:
            w = d.int(0, 300) if d.int(0, 7) else d.any_int(0, 10)
            h = d.int(0, 300) if d.int(0, 7) else d.any_int(0, 10)
            out = b.generate_image(w, h, d.any_int(0, 20))
            assert out.dtype == np.uint8


def calibration_options(d: Draw) -> dict:
    options = {}
    for name in ("fix_principal_point", "fix_aspect_ratio", "zero_tangent_dist", "reject_outliers"):
        if d.int(0, 3) == 0:
            options[name] = d.pick([True, False, True, False, 1, None])
    if d.bool():
        options["distortion_terms"] = d.pick([0, 4, 5, 8, 12, d.any_int(0, 13)])
    if d.int(0, 3) == 0:
        options["camera_matrix"] = camera_matrix(d)
    if d.int(0, 3) == 0:
        options["dist_coeffs"] = dist_coeffs(d)
    # Limits that are invalid or quick: a fit that creeps along a degenerate
    # valley uses every iteration it is given.
    options["max_iterations"] = d.int(1, 30) if d.int(0, 7) else d.pick([0, -1, 2**64, True])
    return options


def plausible_views(d: Draw):
    """A small grid seen in a few random poses through a random camera, with
    noise and now and then an odd value: views that reach the fit."""

    def u(lo: float, hi: float) -> float:  # finite, within [lo, hi]
        return lo + (hi - lo) * d.int(0, 1 << 20) / (1 << 20)

    grid = [[0.03 * c, 0.03 * r, 0.0] for r in range(d.int(2, 4)) for c in range(d.int(2, 5))]
    camera = [[u(100.0, 2000.0), 0.0, u(0.0, 640.0)], [0.0, u(100.0, 2000.0), u(0.0, 480.0)],
              [0.0, 0.0, 1.0]]
    dist = [u(-0.3, 0.3) for _ in range(5)]
    objects, images = [], []
    for _ in range(d.int(1, 4)):
        rvec = [u(-0.6, 0.6) for _ in range(3)]
        tvec = [u(-0.2, 0.2), u(-0.2, 0.2), u(0.2, 2.0)]
        image_points = morvelin.project_points(grid, rvec, tvec, camera, dist)
        image_points = [[x + u(-1.0, 1.0), y + u(-1.0, 1.0)] for x, y in image_points]
        if d.int(0, 7) == 0:
            image_points[d.int(0, len(image_points) - 1)][d.int(0, 1)] = d.float()
        objects.append(grid)
        images.append(image_points)
    return objects, images


def call_calibration(d: Draw) -> None:
    kind = d.int(0, 5)
    size = d.pick([(640, 480), (640, 480), (d.any_int(0, 100), d.any_int(0, 100)), [640], "wh"])
    if kind == 0:
        if d.bool():
            objects, images = plausible_views(d)
        else:
            counts = [d.int(0, 12) for _ in range(d.int(0, 4))]
            objects = [points(d, 3, count=n) for n in counts]
            images = [points(d, 2, count=n if d.int(0, 7) else d.int(0, 12)) for n in counts]
        result = morvelin.calibrate_camera(objects, images, size, **calibration_options(d))
        assert isinstance(result, morvelin.CameraCalibration) and math.isfinite(result.rms)
        assert len(result.rvecs) == len(result.per_view_errors) == len(result.view_indices)
    elif kind == 1:
        b = board(d)
        if b is None:
            return
        views = d.int(0, 3)
        counts = [d.int(0, 12) for _ in range(views)]
        result = morvelin.calibrate_camera_charuco([points(d, 2, count=n) for n in counts],
                                                   [ints(d, n) for n in counts], b, size, **calibration_options(d))
        assert all(0 <= i < views for i in result.view_indices)
    elif kind == 2:
        out = morvelin.undistort_points(points(d, 2), camera_matrix(d), dist_coeffs(d),
                                        camera_matrix(d) if d.bool() else None)
        assert isinstance(out, list)
    elif kind == 3:
        img = image(d)
        out = morvelin.undistort_image(img, camera_matrix(d), dist_coeffs(d), camera_matrix(d) if d.bool() else None)
        assert out.dtype == np.uint8 and out.shape == img.shape
    elif kind == 4:
        matrix, roi = morvelin.optimal_new_camera_matrix(camera_matrix(d), dist_coeffs(d), size, d.float(-1.0, 2.0))
        assert len(matrix) == 3 and len(roi) == 4
    else:
        n = d.int(0, 3)
        corners = [points(d, 2, count=4 if d.int(0, 7) else d.int(0, 5)) for _ in range(n)]
        poses = morvelin.estimate_marker_poses(corners, d.float(0.0, 1.0), camera_matrix(d), dist_coeffs(d))
        assert len(poses) == n
        if poses and poses[0] is not None and d.bool():
            out = morvelin.draw_axes(image(d), camera_matrix(d), dist_coeffs(d), *poses[0], d.float(0.0, 1.0))
            assert out.dtype == np.uint8


def call_subpix(d: Draw) -> None:
    out = morvelin._corner_sub_pix(image(d), points(d, 2, 6), d.any_int(1, 6), d.int(-1, 40), d.float(0.0, 1.0))
    assert isinstance(out, list)


CALLS = [call_detect, call_batch, call_charuco, call_chessboard, call_pnp, call_rigid_body, call_projection,
         call_drawing_and_generation, call_subpix, call_calibration]


def run_one(d: Draw) -> None:
    call = d.pick(CALLS)
    try:
        call(d)
    except ACCEPTED:
        pass


def test_one_input(data: bytes) -> None:
    run_one(Draw(data=data))


def random_driver(seconds: float, seed: int) -> int:
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        case_seed = rng.getrandbits(64)
        try:
            run_one(Draw(rng=random.Random(case_seed)))
        except BaseException:
            print(f"finding with case seed {case_seed} (driver seed {seed}, run {runs})", file=sys.stderr)
            raise
        runs += 1
    print(f"python_api: {runs} random runs in {seconds:g} s, no findings")
    return runs


def main() -> None:
    # NumPy's casting warnings (complex to real, float overflow) are expected
    # for the odd inputs drawn here.
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--random", action="store_true")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--case", type=int, default=None, help="replay one case seed of the random driver")
    args, rest = parser.parse_known_args()
    if args.case is not None:
        run_one(Draw(rng=random.Random(args.case)))
        return
    if args.random or atheris is None:
        random_driver(args.seconds, args.seed)
        return
    atheris.Setup([sys.argv[0], *rest], test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
