"""Camera files: a camera's intrinsics as a JSON object or as OpenCV-style
YAML (``!!opencv-matrix`` nodes), as ``CameraCalibration.save`` writes them
and the command line's ``--camera`` option reads them."""

from __future__ import annotations

import json
import os
import pathlib
import re
from typing import Any

import numpy as np

__all__ = ["load_camera"]

_MATRIX_KEYS = ("camera_matrix", "cameraMatrix", "K", "intrinsics", "intrinsic_matrix")
_DIST_KEYS = ("dist_coeffs", "distortion_coefficients", "distCoeffs", "D", "distortion")


def load_camera(path: str | os.PathLike[str]) -> tuple[list[list[float]], list[float]]:
    """Reads `(camera_matrix, dist_coeffs)` from a camera file: OpenCV-style
    YAML when the name ends in .yaml or .yml, JSON otherwise. The matrix is
    under one of the keys camera_matrix, cameraMatrix, K, intrinsics or
    intrinsic_matrix (a JSON file may give fx, fy, cx, cy instead); the
    coefficients, if any, under dist_coeffs, distortion_coefficients,
    distCoeffs, D or distortion (an empty list when there are none). Raises
    OSError when the file cannot be read and ValueError when it holds no
    valid intrinsics."""
    path = os.fspath(path)
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"camera file {path} is not UTF-8 text") from None
    if pathlib.Path(path).suffix.lower() in (".yaml", ".yml"):
        entries = _read_opencv_yaml(text, path)
    else:
        try:
            entries = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"camera file {path} is not valid JSON: {error}") from None
        if not isinstance(entries, dict):
            raise ValueError(f"camera file {path} must hold a JSON object")
        if "camera_matrix" not in entries and all(k in entries for k in ("fx", "fy", "cx", "cy")):
            entries = dict(entries, camera_matrix=[[entries["fx"], 0, entries["cx"]],
                                                   [0, entries["fy"], entries["cy"]], [0, 0, 1]])
    matrix = next((entries[k] for k in _MATRIX_KEYS if k in entries), None)
    if matrix is None:
        raise ValueError(f"camera file {path} has no camera matrix (one of: {', '.join(_MATRIX_KEYS)})")
    dist = next((entries[k] for k in _DIST_KEYS if k in entries), None)
    try:
        k = np.asarray(matrix, dtype=float).reshape(3, 3)
        d = np.zeros(0) if dist is None else np.asarray(dist, dtype=float).reshape(-1)
    except (TypeError, ValueError):
        raise ValueError(f"camera file {path}: the camera matrix must hold 9 numbers and the distortion "
                         "coefficients a list of numbers") from None
    if not np.all(np.isfinite(k)) or not np.all(np.isfinite(d)):
        raise ValueError(f"camera file {path}: the intrinsics must be finite numbers")
    if d.size not in (0, 4, 5, 8, 12, 14):
        raise ValueError(f"camera file {path}: {d.size} distortion coefficients; expected 0, 4, 5, 8, 12 or 14")
    return k.tolist(), d.tolist()


def _read_opencv_yaml(text: str, path: str) -> dict[str, Any]:
    """Top-level `name: !!opencv-matrix` nodes (rows, cols, dt, data) and
    plain `name: [numbers]` entries of an OpenCV-style YAML file. Other
    content is ignored."""
    lines = text.splitlines()
    entries: dict[str, Any] = {}
    i = 0
    while i < len(lines):
        match = re.match(r"^([A-Za-z_][\w-]*)\s*:\s*(.*?)\s*$", lines[i])
        i += 1
        if not match:
            continue
        key, rest = match.groups()
        if rest.startswith("!!opencv-matrix") or (rest == "" and i < len(lines) and
                                                  re.match(r"^\s+rows\s*:", lines[i])):
            node: dict[str, str] = {}
            while i < len(lines) and (lines[i].startswith((" ", "\t")) or not lines[i].strip()):
                node_line = lines[i].strip()
                i += 1
                field = re.match(r"^(\w+)\s*:\s*(.*)$", node_line)
                if not field:
                    continue
                name, value = field.groups()
                if name == "data":
                    while "]" not in value and i < len(lines):
                        value += " " + lines[i].strip()
                        i += 1
                node[name] = value
            entries[key] = _opencv_matrix(node, key, path)
        elif rest.startswith("["):
            while "]" not in rest and i < len(lines):
                rest += " " + lines[i].strip()
                i += 1
            entries[key] = _numbers(rest, key, path)
    return entries


def _numbers(text: str, key: str, path: str) -> list[float]:
    inner = text.strip().lstrip("[").split("]")[0]
    try:  # YAML writes infinities and NaN as .Inf, -.Inf, .NaN
        return [float(v.replace(".", "", 1) if v.lower().lstrip("+-").startswith((".inf", ".nan")) else v)
                for v in inner.replace(",", " ").split()]
    except ValueError:
        raise ValueError(f"camera file {path}: {key} holds something that is not a number") from None


def _opencv_matrix(node: dict[str, str], key: str, path: str) -> list[list[float]]:
    try:
        rows, cols = int(node["rows"]), int(node["cols"])
    except (KeyError, ValueError):
        raise ValueError(f"camera file {path}: matrix {key} needs integer rows and cols") from None
    data = _numbers(node.get("data", "[]"), key, path)
    if len(data) != rows * cols:
        raise ValueError(f"camera file {path}: matrix {key} is {rows}x{cols} but holds {len(data)} values")
    return [data[r * cols:(r + 1) * cols] for r in range(rows)]
