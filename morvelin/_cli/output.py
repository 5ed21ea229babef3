"""Results as JSON lines or CSV, annotated images, and the progress bar."""

from __future__ import annotations

import csv
import json
import pathlib
import sys
from typing import Any, Iterable, TextIO

from .errors import CliError


class ResultWriter:
    """Writes one record per input file: a JSON object per line, or CSV rows
    under one header line."""

    def __init__(self, stream: TextIO, fmt: str, header: list[str]):
        self.stream = stream
        self.fmt = fmt
        self.csv = csv.writer(stream, lineterminator="\n") if fmt == "csv" else None
        if self.csv:
            self.csv.writerow(header)

    def write(self, record: dict[str, Any], rows: Iterable[list[Any]]) -> None:
        if self.csv:
            self.csv.writerows(rows)
        else:
            self.stream.write(json.dumps(record) + "\n")

    def flush(self) -> None:
        self.stream.flush()


def open_output(path: str | None):
    if path is None or path == "-":
        return sys.stdout, False
    try:
        return open(path, "w", encoding="utf-8", newline=""), True
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None


class AnnotationFolder:
    """File names for annotated images: the input's stem with .png, made
    unique when inputs from different folders share a stem."""

    def __init__(self, folder: str):
        self.folder = pathlib.Path(folder)
        try:
            self.folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise CliError(f"cannot create folder {folder}: {error.strerror or error}") from None
        self.used: set[str] = set()

    def target(self, source: str) -> pathlib.Path:
        stem = pathlib.Path(source).stem or "image"
        name, n = f"{stem}.png", 2
        while name in self.used:
            name, n = f"{stem}-{n}.png", n + 1
        self.used.add(name)
        return self.folder / name


def save_bgr(image, path: pathlib.Path) -> None:
    from .errors import require_pillow

    Image = require_pillow()
    Image.fromarray(image[:, :, ::-1].copy()).save(path)


class Progress:
    """A tqdm bar on stderr for long runs when tqdm is installed and stderr is
    a terminal; otherwise nothing."""

    def __init__(self, total: int, enabled: bool, unit: str = "image"):
        self.bar = None
        if not enabled or total < 2 or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            return
        self.bar = tqdm(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True, leave=False)

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def write(self, text: str) -> None:
        """A message on stderr that does not tear the bar."""
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
