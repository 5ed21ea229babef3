"""Settings read from the command line and from files: detector parameters,
dictionaries, board sizes, camera intrinsics and rigid bodies."""

from __future__ import annotations

import json
import math
import pathlib
import re
from typing import Any

import numpy as np

from .. import _parameter_fields, camera_file
import morvelin as native
from .errors import CliError


def dictionary(name: str) -> str:
    """The dictionary name as given, once the module knows it."""
    try:
        native.detect_markers(np.zeros((1, 1), np.uint8), name)
    except ValueError:
        raise CliError(f"unknown dictionary: {name} (known: {', '.join(native.predefined_dictionaries())})") from None
    return name


def _read_json(path: str, what: str) -> Any:
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8")
    except OSError as error:
        raise CliError(f"cannot read {what} {path}: {error.strerror or error}") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise CliError(f"{what} {path} is not valid JSON: {error}") from None


# Where the command line departs from the library's defaults, for photographs:
# markers of any size are candidates (the library skips markers under about
# 32 pixels a side). A parameter file may set these fields back. Every
# command that detects markers starts from here.
PHOTO_DEFAULTS: dict[str, Any] = {"min_side_length_canonical_img": 0}


def parameters(path: str | None, refine: str | None):
    """DetectorParameters from PHOTO_DEFAULTS, then a JSON object of field
    values (any of the fields; the rest keep their defaults), then `refine`
    on top. Values the detector would refuse stop the command here, before
    any image is read."""
    values: dict[str, Any] = dict(PHOTO_DEFAULTS)
    if path is not None:
        loaded = _read_json(path, "parameter file")
        if not isinstance(loaded, dict):
            raise CliError(f"parameter file {path} must hold a JSON object of field names and values")
        values.update(loaded)
    if refine is not None:
        values["corner_refinement_method"] = refine
    where = f"parameter file {path}: " if path else "parameters: "
    try:
        params = _parameter_fields.from_dict(values)
        native._check_settings(params)
    except KeyError as error:
        raise CliError(f"parameter file {path}: unknown field {error.args[0]!r}; fields are: "
                       f"{', '.join(_parameter_fields.field_names())}") from None
    except (TypeError, ValueError, OverflowError) as error:
        raise CliError(f"{where}{error}") from None
    return params


def grid_size(text: str) -> tuple[int, int]:
    """'5x7' -> (5, 7); used as an argparse type."""
    match = re.fullmatch(r"\s*(\d+)\s*[xX,]\s*(\d+)\s*", text)
    if not match:
        import argparse
        raise argparse.ArgumentTypeError(f"expected COLUMNSxROWS such as 5x7, got {text!r}")
    return int(match.group(1)), int(match.group(2))


def charuco_board(args) -> Any:
    """The board of --board, --square-length, --marker-length, -d and
    --legacy; one that cannot exist on paper stops the command."""
    columns, rows = args.board
    try:
        board = native.CharucoBoard(columns, rows, args.square_length, args.marker_length,
                                    dictionary(args.dictionary), legacy_pattern=args.legacy)
        native._check_settings(board=board)
    except (ValueError, MemoryError) as error:
        raise CliError(f"bad board {columns}x{rows} of {args.dictionary}: {error}") from None
    return board


def chessboard_pattern(pattern: tuple[int, int]) -> tuple[int, int]:
    """The pattern size, once the chessboard finder accepts it (it answers
    at once for a one-pixel image)."""
    try:
        native.find_chessboard_corners(np.zeros((1, 1), np.uint8), pattern)
    except (ValueError, OverflowError) as error:
        raise CliError(f"--pattern {pattern[0]}x{pattern[1]}: {error}") from None
    return pattern


# --- camera intrinsics ----------------------------------------------------------

def camera(path: str) -> tuple[list[list[float]], list[float] | None]:
    """Camera matrix and distortion coefficients (None when there are none)
    of a camera file (see morvelin.camera_file)."""
    try:
        matrix, dist = camera_file.load_camera(path)
    except OSError as error:
        raise CliError(f"cannot read camera file {path}: {error.strerror or error}") from None
    except ValueError as error:
        raise CliError(str(error)) from None
    return matrix, (dist or None)


# --- rigid bodies -------------------------------------------------------------------

def rigid_body(path: str):
    """A RigidBody from JSON: {"tag_size_m": s, "markers": [{"id": i,
    "rotation": 3x3 matrix or rotation vector, "translation": [x, y, z]}]}."""
    layout = _read_json(path, "rigid body file")
    try:
        markers = layout["markers"]
        ids = [m["id"] for m in markers]
        rotations = [_rotation(m["rotation"]) for m in markers]
        translations = [m["translation"] for m in markers]
        return native.RigidBody(layout["tag_size_m"], ids, rotations, translations)
    except KeyError as error:
        raise CliError(f"rigid body file {path}: missing {error.args[0]!r}") from None
    except (TypeError, ValueError) as error:
        raise CliError(f"rigid body file {path}: {error}") from None


def _rotation(value) -> list[list[float]]:
    array = np.asarray(value, dtype=float)
    if array.shape == (3,):
        return native.rodrigues([array.tolist()])
    return array.tolist()


def marker_square(side: float) -> list[list[float]]:
    """A square marker's corners in its own frame, in detection order: centre
    at the origin, x to the right, y up as printed."""
    h = side / 2
    if not (math.isfinite(side) and side > 0):
        raise CliError("--tag-size must be a positive number")
    return [[-h, h, 0.0], [h, h, 0.0], [h, -h, 0.0], [-h, -h, 0.0]]
