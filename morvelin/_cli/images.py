"""Input files: expansion of files, folders and globs, and reading images
into the uint8 arrays the detectors take."""

from __future__ import annotations

import glob
import os
import pathlib
import sys
from dataclasses import dataclass, field
from typing import TextIO

import numpy as np

from .errors import InputError, require_pillow

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".pgm", ".ppm", ".pnm", ".webp"}


@dataclass
class Expansion:
    files: list[str] = field(default_factory=list)
    problems: list[tuple[str, str]] = field(default_factory=list)  # (argument, reason)


def expand_inputs(arguments: list[str], recursive: bool = False) -> Expansion:
    """Files in command-line order: a file as given, a folder's image files
    sorted by name (with `recursive`, of its subfolders too), a glob's
    matches sorted. Arguments that name nothing are reported, not fatal."""
    out = Expansion()
    seen: set[str] = set()

    def add(path: str) -> None:
        if path not in seen:
            seen.add(path)
            out.files.append(path)

    for argument in arguments:
        path = pathlib.Path(argument)
        if path.is_dir():
            pattern = "**/*" if recursive else "*"
            found = sorted(str(p) for p in path.glob(pattern) if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES)
            if not found:
                out.problems.append((argument, "folder holds no image files"))
            for p in found:
                add(p)
        elif path.exists():
            add(argument)
        elif glob.has_magic(argument):
            matches = sorted(p for p in glob.glob(argument, recursive=True) if os.path.isfile(p))
            if not matches:
                out.problems.append((argument, "no files match"))
            for p in matches:
                add(p)
        else:
            out.problems.append((argument, "no such file or folder"))
    return out


class Notes:
    """Conversion notes on stderr: the first file of each kind is named, the
    rest are counted and summed up at the end."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self.stream = stream or sys.stderr
        self.counts: dict[str, int] = {}

    def note(self, kind: str, path: str, text: str) -> None:
        count = self.counts.get(kind, 0)
        self.counts[kind] = count + 1
        if count == 0:
            print(f"morvelin: note: {path}: {text} (further files like this are not named)", file=self.stream)

    def summary(self) -> None:
        for kind, count in self.counts.items():
            if count > 1:
                print(f"morvelin: note: {count} files in all: {kind}", file=self.stream)


def load_image(path: str, notes: Notes | None = None) -> np.ndarray:
    """The first frame of an image file as an H x W gray or H x W x 3 BGR
    uint8 array. Colour becomes BGR (the detectors turn it to gray), alpha is
    dropped, 16-bit and wider images are scaled so their largest value is
    255. Raises InputError with the reason when the file cannot be read."""
    Image = require_pillow()
    try:
        with Image.open(path) as image:
            image.load()
            return _to_array(image, path, notes)
    except InputError:
        raise
    except FileNotFoundError:
        raise InputError("file not found") from None
    except IsADirectoryError:
        raise InputError("is a folder") from None
    except PermissionError:
        raise InputError("permission denied") from None
    except Image.UnidentifiedImageError:
        raise InputError("not an image file Pillow can read") from None
    except (OSError, EOFError, ValueError, SyntaxError) as error:  # truncated or corrupt data
        raise InputError(f"unreadable image: {error}") from None
    except Image.DecompressionBombError as error:
        raise InputError(str(error)) from None


def _to_array(image, path: str, notes: Notes | None) -> np.ndarray:
    mode = image.mode
    if mode == "L":
        return np.asarray(image, dtype=np.uint8).copy()
    if mode == "1":
        return np.asarray(image.convert("L"), dtype=np.uint8).copy()
    if mode in ("I;16", "I;16B", "I;16L", "I;16N", "I", "F"):
        return _scale_wide(np.asarray(image), mode, path, notes)
    if mode == "LA":
        if notes:
            notes.note("alpha channel dropped", path, "alpha channel dropped")
        return np.asarray(image.convert("L"), dtype=np.uint8).copy()
    rgb = np.asarray(image.convert("RGB"), dtype=np.uint8)
    if notes:
        if mode in ("RGBA", "PA") or (mode == "P" and "transparency" in image.info):
            notes.note("alpha channel dropped", path, "alpha channel dropped")
        notes.note("colour images converted to gray", path,
                   f"{mode} colour image converted to gray for detection")
    return np.ascontiguousarray(rgb[:, :, ::-1])


def _scale_wide(values: np.ndarray, mode: str, path: str, notes: Notes | None) -> np.ndarray:
    values = values.astype(np.float64)
    finite = values[np.isfinite(values)]
    low = min(float(finite.min()), 0.0) if finite.size else 0.0
    high = float(finite.max()) if finite.size else 0.0
    if low >= 0.0 and high <= 255.0:
        scaled = np.nan_to_num(values)
        text = f"{mode} image with values up to {high:g} read as 8 bits unchanged"
    else:
        span = high - low if high > low else 1.0
        scaled = (np.nan_to_num(values, nan=low) - low) * (255.0 / span)
        text = f"{mode} image scaled from {low:g}..{high:g} to 0..255"
    if notes:
        notes.note("wide (16-bit or more) images scaled to 8 bits", path, text)
    return np.clip(np.rint(scaled), 0, 255).astype(np.uint8)
