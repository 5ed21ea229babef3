"""The calibrate command: find the target in every image, calibrate, write the
camera file and say how good the calibration is."""

from __future__ import annotations

import math
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import morvelin as native
from .. import drawing
from . import errors, output, settings
from .errors import CliError
from .images import load_image
from .runner import _LockedNotes, _guard, _reason, input_files

MIN_CHARUCO_CORNERS = 6
RESIDUAL_SCALE = 50  # residual vectors are drawn this many times their length
VIEW_COLORS = [(0, 0, 255), (0, 160, 0), (255, 0, 0), (0, 140, 255), (200, 0, 200), (160, 160, 0)]


def calibrate(args) -> int:
    if (args.chessboard is None) == (args.board is None):
        raise CliError("calibrate needs exactly one target: --chessboard COLSxROWS, or --board COLSxROWS with "
                       "--marker-length and -d")
    if args.square_length is None or not (math.isfinite(args.square_length) and args.square_length > 0):
        raise CliError("--square-length must be a positive number")
    find = _chessboard_finder(args) if args.chessboard is not None else _charuco_finder(args)
    expansion = input_files(args)
    skipped = list(expansion.problems)
    views = _find_targets(expansion.files, find, skipped, show_progress=not args.no_progress)
    for path, reason in skipped:
        print(f"morvelin: skipping {path}: {reason}", file=sys.stderr)
    if not views:
        raise CliError("no image shows the target; nothing to calibrate")
    size = (views[0]["image"].shape[1], views[0]["image"].shape[0])
    try:
        calibration = native.calibrate_camera(
            [v["object"] for v in views], [v["corners"] for v in views], size,
            distortion_terms=args.distortion_terms, reject_outliers=args.reject_outliers)
    except ValueError as error:
        raise CliError(f"calibration from {len(views)} view{'s' if len(views) != 1 else ''} failed: {error}") from None
    try:
        calibration.save(args.output)
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    _report(calibration, views, args.output)
    if args.draw:
        _draw(calibration, views, args.draw)
    if skipped:
        total = len(expansion.files) + len(expansion.problems)
        print(f"morvelin: {len(skipped)} of {total} inputs skipped", file=sys.stderr)
        return errors.SOME_INPUTS_FAILED
    return errors.OK


# --- finding the target --------------------------------------------------------------

def _chessboard_finder(args):
    columns, rows = args.chessboard
    grid = [[c * args.square_length, r * args.square_length, 0.0] for r in range(rows) for c in range(columns)]

    def find(image):
        found, corners = native.find_chessboard_corners(image, (columns, rows))
        if not found:
            return None, "chessboard not found"
        return (grid, corners), None

    return find


def _charuco_finder(args):
    if args.marker_length is None or args.dictionary is None:
        raise CliError("--board needs --marker-length and -d DICTIONARY")
    board = settings.charuco_board(args)
    params = settings.parameters(args.params, args.refine)  # the photographs' defaults
    points = board.chessboard_corners

    def find(image):
        corners, ids, _, _ = native.detect_charuco_board(image, board, params)
        if len(ids) < MIN_CHARUCO_CORNERS:
            return None, f"board not found ({len(ids)} corners; a view needs {MIN_CHARUCO_CORNERS})"
        object_points = [points[i] for i in ids]
        if _collinear(object_points):
            return None, "the board's corners found lie on one line"
        return (object_points, corners), None

    return find


def _collinear(points) -> bool:
    xy = np.asarray(points, dtype=float)[:, :2]
    centred = xy - xy.mean(axis=0)
    return bool(np.linalg.matrix_rank(centred, tol=1e-9 * max(1.0, float(np.abs(centred).max()))) < 2)


def _find_targets(files: list[str], find, skipped: list, show_progress: bool) -> list[dict[str, Any]]:
    """Reads and searches every image on a thread pool (the detectors release
    the interpreter lock); keeps those that show the target, in input order."""
    notes = _LockedNotes()
    progress = output.Progress(len(files), enabled=show_progress)

    def work(path):
        image = load_image(path, notes)
        found, reason = find(image)
        return image, found, reason

    views: list[dict[str, Any]] = []
    try:
        with ThreadPoolExecutor(max_workers=2) as pool:
            for path, future in [(p, pool.submit(_guard, work, p)) for p in files]:
                result = future.result()
                progress.update(1)
                if isinstance(result, Exception):
                    skipped.append((path, _reason(result)))
                    continue
                image, found, reason = result
                if found is None:
                    skipped.append((path, reason))
                    continue
                if views and image.shape[:2] != views[0]["image"].shape[:2]:
                    skipped.append((path, f"{image.shape[1]}x{image.shape[0]} image; the first image used is "
                                          f"{views[0]['image'].shape[1]}x{views[0]['image'].shape[0]}"))
                    continue
                views.append({"file": path, "image": image, "object": found[0], "corners": found[1]})
    finally:
        progress.close()
        notes.summary()
    return views


# --- report and drawings -------------------------------------------------------------

def _report(calibration, views, camera_file: str) -> None:
    (fx, _, cx), (_, fy, cy), _ = calibration.camera_matrix
    deviations = calibration.std_deviations
    names = ["k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6", "s1", "s2", "s3", "s4"]
    print(f"calibrated from {len(views)} views: RMS reprojection error {calibration.rms:.4f} px")
    if not calibration.converged:
        print("warning: the fit stopped at its iteration limit before converging")
    print(f"fx = {fx:.3f} ± {deviations[0]:.3f}   fy = {fy:.3f} ± {deviations[1]:.3f}")
    print(f"cx = {cx:.3f} ± {deviations[2]:.3f}   cy = {cy:.3f} ± {deviations[3]:.3f}")
    for name, value, deviation in zip(names, calibration.dist_coeffs, deviations[4:]):
        print(f"{name} = {value:.6g} ± {deviation:.2g}")
    print("per view (RMS px):")
    for view, error, rejected in zip(views, calibration.per_view_errors, calibration.outliers):
        note = f"   {len(rejected)} outliers left out" if rejected else ""
        print(f"  {error:8.4f}  {view['file']}{note}")
    print(f"written {camera_file}")


def _draw(calibration, views, folder: str) -> None:
    target = output.AnnotationFolder(folder)
    matrix, dist = calibration.camera_matrix, calibration.dist_coeffs
    for view, rvec, tvec in zip(views, calibration.rvecs, calibration.tvecs):
        corners = np.asarray(view["corners"], dtype=float)
        projected = np.asarray(native.project_points(view["object"], rvec, tvec, matrix, dist))
        shown = drawing.draw_charuco_corners(view["image"], corners)
        thickness = max(1, round(max(shown.shape[:2]) / 600))
        for start, end in zip(corners, corners + RESIDUAL_SCALE * (projected - corners)):
            drawing._line(shown, start, end, (255, 0, 255), thickness + 1)
        _save(shown, target.target(view["file"]))
    _save(_coverage(views, calibration.image_size), target.target("coverage"))
    print(f"drawn {len(views)} views (residuals x{RESIDUAL_SCALE}) and coverage.png in {folder}")


def _coverage(views, size) -> np.ndarray:
    """Where the corners of all views fell: a dot per corner, one colour per
    view, on a grey image of the calibration's size."""
    width, height = size
    canvas = np.full((height, width, 3), 64, np.uint8)
    half = max(1, round(max(width, height) / 300))
    for k, view in enumerate(views):
        color = VIEW_COLORS[k % len(VIEW_COLORS)]
        for x, y in view["corners"]:
            drawing._square(canvas, (x, y), half, color)
    return canvas


def _save(image: np.ndarray, path) -> None:
    try:
        output.save_bgr(image, path)
    except (OSError, ValueError) as error:
        raise CliError(f"cannot write {path}: {error}") from None
