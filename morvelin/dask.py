"""Marker detection over many image files on a dask.distributed cluster.

Needs the optional extra ``pip install 'morvelin[dask]'`` (dask.distributed
and Pillow). Each task reads a chunk of files on a worker and detects them
with one ``detect_markers_batch`` call, so every worker keeps its cores busy;
results come back per file, in input order::

    from dask.distributed import Client
    from morvelin.dask import detect_files

    client = Client(n_workers=4, threads_per_worker=1)
    results = detect_files(paths, "DICT_6X6_250", client=client, chunk_size=32)
    for path, (corners, ids) in zip(paths, results):
        ...

Workers must be able to read the paths (a shared file system) and have
morvelin installed.
"""

from __future__ import annotations

import os
from typing import Any, Literal, Sequence

from . import _parameter_fields
import morvelin as _native

__all__ = ["detect_files"]

Detection = tuple[list[list[list[float]]], list[int]]


def detect_files(paths: Sequence[str | os.PathLike[str]], dictionary: str, parameters: Any = None,
                 client: Any = None, chunk_size: int = 16,
                 on_error: Literal["raise", "none"] = "raise") -> list[Detection | None]:
    """Detects markers in every image file of `paths` on the cluster of
    `client` (default: the current dask.distributed client) and returns one
    `(corners, ids)` per path, in input order, equal to `detect_markers` on
    each image read locally.

    Files are read with Pillow on the workers: colour images are converted
    like BGR input, 16-bit ones scaled to 8 bits. A file that cannot be read
    raises on the caller (``on_error="raise"``) or gives None in its slot
    (``on_error="none"``). `parameters` travel to the workers as a dict of
    their fields, so any DetectorParameters works."""
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    if on_error not in ("raise", "none"):
        raise ValueError("on_error must be 'raise' or 'none'")
    # Fail early, on the caller, for a bad dictionary or parameters.
    _native.detect_markers(_blank(), dictionary, parameters)
    fields = None if parameters is None else _parameter_fields.to_dict(parameters)
    if client is None:
        from distributed import default_client

        client = default_client()
    names = [os.fspath(p) for p in paths]
    chunks = [names[i:i + chunk_size] for i in range(0, len(names), chunk_size)]
    futures = client.map(_detect_chunk, chunks, dictionary=dictionary, fields=fields, on_error=on_error,
                         pure=False)
    results: list[Detection | None] = []
    for chunk_result in client.gather(futures):
        results.extend(chunk_result)
    return results


def _blank():
    import numpy as np

    return np.zeros((1, 1), np.uint8)


def _detect_chunk(paths: list[str], dictionary: str, fields: dict[str, Any] | None,
                  on_error: str) -> list[Detection | None]:
    """Runs on a worker: read the files, detect them in one batch."""
    from ._cli.errors import InputError
    from ._cli.images import load_image

    parameters = None if fields is None else _parameter_fields.from_dict(fields)
    images, slots = [], []
    for k, path in enumerate(paths):
        try:
            images.append(load_image(path))
            slots.append(k)
        except InputError as error:
            if on_error == "raise":
                raise OSError(f"{path}: {error}") from None
    out: list[Detection | None] = [None] * len(paths)
    for k, (corners, ids) in zip(slots, _native.detect_markers_batch(images, dictionary, parameters)):
        out[k] = (corners, ids)
    return out
