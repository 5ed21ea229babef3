"""The loop shared by the commands that analyse image files: expand the
inputs, read them on a thread pool one chunk ahead, analyse each chunk,
write results in input order, report bad files and go on."""

from __future__ import annotations

import os
import sys
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import errors, output
from .errors import CliError, InputError
from .images import Notes, expand_inputs, load_image


@dataclass
class Analysis:
    """What a command does with each image."""

    header: list[str]
    # images of one chunk -> one result (or an exception) per image
    analyse_chunk: Callable[[ThreadPoolExecutor, list[np.ndarray]], list[Any]]
    # (file, result) -> (JSON record, CSV rows)
    record: Callable[[str, Any], tuple[dict[str, Any], list[list[Any]]]]
    # (image, result) -> annotated BGR image
    annotate: Callable[[np.ndarray, Any], np.ndarray] | None = None


def per_image(function: Callable[[np.ndarray], Any]):
    """An analyse_chunk that runs `function` on every image of the chunk in
    the thread pool (the detectors release the interpreter lock)."""

    def analyse(pool: ThreadPoolExecutor, images: list[np.ndarray]) -> list[Any]:
        return [f.result() for f in [pool.submit(_guard, function, image) for image in images]]

    return analyse


def _guard(function, *args):
    try:
        return function(*args)
    except Exception as error:  # reported per file by the caller
        return error


class _LockedNotes(Notes):
    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()

    def note(self, kind, path, text):
        with self.lock:
            super().note(kind, path, text)


def input_files(args):
    """The expanded inputs; stops the command when they name no image file."""
    expansion = expand_inputs(args.inputs, recursive=args.recursive)
    if not expansion.files:
        for argument, reason in expansion.problems:
            print(f"morvelin: {argument}: {reason}", file=sys.stderr)
        raise CliError("no input images")
    errors.require_pillow()
    return expansion


def run(args, analysis: Analysis) -> int:
    expansion = input_files(args)
    stream, owned = output.open_output(args.output)
    writer = output.ResultWriter(stream, args.format, analysis.header)
    annotations = output.AnnotationFolder(args.draw) if args.draw else None
    notes = _LockedNotes()
    progress = output.Progress(len(expansion.files), enabled=not args.no_progress)
    failed = 0

    def report(path: str, reason: str) -> None:
        nonlocal failed
        failed += 1
        progress.write(f"morvelin: skipping {path}: {reason}")

    for argument, reason in expansion.problems:
        report(argument, reason)
    files = expansion.files
    size = max(1, args.chunk_size)
    chunks = [files[i:i + size] for i in range(0, len(files), size)]
    try:
        with ThreadPoolExecutor(max_workers=max(2, os.cpu_count() or 2)) as pool:
            def load_chunk(chunk: list[str]) -> list[Future]:
                return [pool.submit(_guard, load_image, path, notes) for path in chunk]

            pending = load_chunk(chunks[0])
            for index, chunk in enumerate(chunks):
                loaded = [f.result() for f in pending]
                if index + 1 < len(chunks):
                    pending = load_chunk(chunks[index + 1])  # read ahead while this chunk is analysed
                good = []
                for path, image in zip(chunk, loaded):
                    if isinstance(image, Exception):
                        report(path, _reason(image))
                    else:
                        good.append((path, image))
                results = analysis.analyse_chunk(pool, [image for _, image in good]) if good else []
                saves = []
                for (path, image), result in zip(good, results):
                    if isinstance(result, Exception):
                        report(path, f"analysis failed: {type(result).__name__}: {result}")
                        continue
                    record, rows = analysis.record(path, result)
                    writer.write(record, rows)
                    if annotations is not None and analysis.annotate is not None:
                        target = annotations.target(path)
                        saves.append((path, target, pool.submit(_guard, _save, analysis.annotate, image, result,
                                                                  target)))
                writer.flush()
                for path, target, future in saves:
                    problem = future.result()
                    if isinstance(problem, Exception):
                        report(path, f"cannot write {target}: {problem}")
                progress.update(len(chunk))
    finally:
        progress.close()
        notes.summary()
        if owned:
            stream.close()
    if failed:
        total = len(files) + len(expansion.problems)
        print(f"morvelin: {failed} of {total} inputs skipped", file=sys.stderr)
        return errors.SOME_INPUTS_FAILED
    return errors.OK


def _save(annotate, image, result, target) -> None:
    output.save_bgr(annotate(image, result), target)


def _reason(error: Exception) -> str:
    if isinstance(error, InputError):
        return str(error)
    return f"{type(error).__name__}: {error}"
