"""The subcommands: detect, charuco, chessboard, pose and generate
(calibrate is in calibrate.py)."""

from __future__ import annotations

import pathlib
import re

import numpy as np

from .. import drawing
import morvelin as native
from . import errors, settings
from .errors import CliError
from .runner import Analysis, per_image, run


def _markers(corners, ids) -> list[dict]:
    return [{"id": i, "corners": quad} for quad, i in zip(corners, ids)]


# --- detect -------------------------------------------------------------------

def detect(args) -> int:
    dictionary = settings.dictionary(args.dictionary)
    params = settings.parameters(args.params, args.refine)

    def analyse_chunk(pool, images):
        try:
            return native.detect_markers_batch(images, dictionary, params)
        except Exception:  # find the image at fault: one at a time
            return per_image(lambda image: native.detect_markers(image, dictionary, params))(pool, images)

    def record(path, result):
        corners, ids = result
        rows = [[path, i, *(v for xy in quad for v in xy)] for quad, i in zip(corners, ids)]
        return {"file": path, "markers": _markers(corners, ids)}, rows

    header = ["file", "id", "x0", "y0", "x1", "y1", "x2", "y2", "x3", "y3"]
    return run(args, Analysis(header, analyse_chunk, record,
                              lambda image, r: drawing.draw_detected_markers(image, r[0], r[1])))


# --- charuco ---------------------------------------------------------------------

def charuco(args) -> int:
    board = settings.charuco_board(args)
    params = settings.parameters(args.params, args.refine)

    def analyse(image):
        return native.detect_charuco_board(image, board, params)

    def record(path, result):
        corners, ids, marker_corners, marker_ids = result
        points = [{"id": i, "x": x, "y": y} for (x, y), i in zip(corners, ids)]
        rows = [[path, i, x, y] for (x, y), i in zip(corners, ids)]
        return {"file": path, "corners": points, "markers": _markers(marker_corners, marker_ids)}, rows

    def annotate(image, result):
        corners, ids, marker_corners, marker_ids = result
        shown = drawing.draw_charuco_corners(drawing.draw_detected_markers(image, marker_corners, marker_ids),
                                             corners, ids)
        return shown if ids else drawing.mark_not_found(shown)

    return run(args, Analysis(["file", "id", "x", "y"], per_image(analyse), record, annotate))


# --- chessboard ------------------------------------------------------------------

def chessboard(args) -> int:
    pattern = settings.chessboard_pattern(args.pattern)

    def record(path, result):
        found, corners = result
        rows = [[path, k, x, y] for k, (x, y) in enumerate(corners)]
        return {"file": path, "found": found, "corners": [list(p) for p in corners]}, rows

    def annotate(image, result):
        found, corners = result
        if not found:
            return drawing.mark_not_found(drawing.draw_charuco_corners(image, corners))
        return drawing.draw_charuco_corners(image, corners, list(range(len(corners))))

    return run(args, Analysis(["file", "index", "x", "y"],
                              per_image(lambda image: native.find_chessboard_corners(image, pattern)),
                              record, annotate))


# --- pose ------------------------------------------------------------------------

def pose(args) -> int:
    matrix, dist = settings.camera(args.camera)
    params = settings.parameters(args.params, args.refine)
    targets = [t for t in ("board", "rigid_body", "tag_size") if getattr(args, t) is not None]
    if len(targets) != 1:
        raise CliError("pose needs exactly one target: --board (with --square-length and --marker-length), "
                       "--rigid-body FILE or --tag-size SIDE")
    if args.board is not None:
        if args.square_length is None or args.marker_length is None:
            raise CliError("--board needs --square-length and --marker-length")
        board = settings.charuco_board(args)
        axis_length = 2 * args.square_length

        def analyse(image):
            corners, ids, marker_corners, marker_ids = native.detect_charuco_board(image, board, params)
            found = native.estimate_pose_charuco_board(corners, ids, board, matrix, dist) if ids else None
            poses = [] if found is None else [{"target": "board", "id": None, "rvec": found[0], "tvec": found[1],
                                               "corners": len(ids)}]
            return poses, marker_corners, marker_ids
    elif args.rigid_body is not None:
        body = settings.rigid_body(args.rigid_body)
        dictionary = settings.dictionary(args.dictionary)
        axis_length = 2 * body.tag_size_m

        def analyse(image):
            corners, ids = native.detect_markers(image, dictionary, params)
            found = native.estimate_rigid_body_pose(corners, ids, body, matrix, dist)
            poses = [] if found is None else [{
                "target": "rigid_body", "id": None, "rvec": found.rvec, "tvec": found.tvec,
                "used_marker_ids": found.used_marker_ids, "inlier_marker_ids": found.inlier_marker_ids,
                "reprojection_rmse": found.reprojection_rmse}]
            return poses, corners, ids
    else:
        square = settings.marker_square(args.tag_size)
        dictionary = settings.dictionary(args.dictionary)
        axis_length = args.tag_size

        def analyse(image):
            corners, ids = native.detect_markers(image, dictionary, params)
            poses = []
            # The closed-form square pose settles which of the two mirror
            # poses it is; iterative PnP from there refines it.
            starts = native.estimate_marker_poses(corners, args.tag_size, matrix, dist) if corners else []
            for quad, marker_id, start in zip(corners, ids, starts):
                found = native.solve_pnp(square, quad, matrix, dist, *start) if start else None
                if found is not None:
                    poses.append({"target": "marker", "id": marker_id, "rvec": found[0], "tvec": found[1]})
            return poses, corners, ids

    def record(path, result):
        poses = result[0]
        rows = [[path, p["target"], "" if p["id"] is None else p["id"], *p["rvec"], *p["tvec"]] for p in poses]
        return {"file": path, "poses": poses}, rows

    def annotate(image, result):
        poses, corners, ids = result
        shown = drawing.draw_detected_markers(image, corners, ids)
        for p in poses:  # x red, y green, z blue
            shown = drawing.draw_axes(shown, matrix, dist, p["rvec"], p["tvec"], axis_length)
        return shown if poses or args.board is None else drawing.mark_not_found(shown)

    header = ["file", "target", "id", "rx", "ry", "rz", "tx", "ty", "tz"]
    return run(args, Analysis(header, per_image(analyse), record, annotate))


# --- generate --------------------------------------------------------------------

def parse_ids(text: str) -> list[int]:
    """'0-3,7' -> [0, 1, 2, 3, 7]; used as an argparse type."""
    ids: list[int] = []
    for part in text.split(","):
        match = re.fullmatch(r"\s*(\d+)\s*(?:-\s*(\d+)\s*)?", part)
        if not match:
            import argparse
            raise argparse.ArgumentTypeError(f"expected ids such as 0-9,12, got {text!r}")
        first = int(match.group(1))
        last = int(match.group(2)) if match.group(2) else first
        if last < first or last - first > 100000:
            import argparse
            raise argparse.ArgumentTypeError(f"bad id range {part.strip()!r}")
        ids.extend(range(first, last + 1))
    return ids


def generate_marker(args) -> int:
    Image = errors.require_pillow()
    dictionary = settings.dictionary(args.dictionary)
    if args.margin < 0:
        raise CliError("--margin must not be negative")
    target = pathlib.Path(args.output)
    one_file = not target.is_dir() and _writable_image_format(Image, target) is not None
    if one_file and len(args.ids) > 1:
        raise CliError(f"-o {target} names one image file but --ids gives {len(args.ids)} ids; "
                       "give a folder for the DICT_ID.png files")
    # The whole request is checked before anything is written: an id enters
    # the checks only through its range, so the smallest and the largest id
    # stand for all of them.
    for marker_id in sorted({min(args.ids), max(args.ids)}):
        _marker_image(dictionary, marker_id, args)
    folder = target.parent if one_file else target
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create folder {folder}: {error.strerror or error}") from None
    for marker_id in args.ids:
        path = target if one_file else target / f"{dictionary}_{marker_id}.png"
        _save_image(Image, _marker_image(dictionary, marker_id, args), path)
        print(path)
    return errors.OK


def _marker_image(dictionary: str, marker_id: int, args) -> np.ndarray:
    try:
        image = native.generate_marker_image(dictionary, marker_id, args.size, args.border_bits)
    except (ValueError, MemoryError) as error:
        raise CliError(str(error)) from None
    return np.pad(image, args.margin, constant_values=255) if args.margin else image


def _writable_image_format(Image, path: pathlib.Path) -> str | None:
    """The Pillow format that writes files named like `path`, if any."""
    Image.init()
    name = Image.registered_extensions().get(path.suffix.lower())
    return name if name in Image.SAVE else None


def generate_charuco(args) -> int:
    Image = errors.require_pillow()
    board = settings.charuco_board(args)
    try:
        image = board.generate_image(args.width, args.height, args.margin)
    except (ValueError, MemoryError) as error:
        raise CliError(str(error)) from None
    _save_image(Image, image, pathlib.Path(args.output), "PNG")
    print(args.output)
    return errors.OK


def _save_image(Image, image: np.ndarray, path: pathlib.Path, format: str | None = None) -> None:
    """Writes a gray image; the format follows the file name unless given."""
    try:
        Image.fromarray(image).save(path, format=format)
    except (OSError, ValueError, KeyError) as error:
        raise CliError(f"cannot write {path}: {error}") from None
