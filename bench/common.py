"""Shared benchmark helpers: interleaved timing against peers, medians, tables.

Every benchmark times morvelin and its peer on the same inputs in the same run,
alternating between them so that drifts of the machine hit both alike, and
reports the median of the repeats and the ratio morvelin / peer.
"""

from __future__ import annotations

import os
import pathlib
import statistics
import sys
import time
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))  # the scene renderer

REPEATS = int(os.environ.get("MORVELIN_BENCH_REPEATS", "15"))


def interleaved(candidates: dict[str, Callable[[], object]], repeats: int = REPEATS,
                warmup: int = 2) -> dict[str, float]:
    """Median wall time in seconds of each callable, run in alternation."""
    for _ in range(warmup):
        for fn in candidates.values():
            fn()
    samples: dict[str, list[float]] = {name: [] for name in candidates}
    for _ in range(repeats):
        for name, fn in candidates.items():
            start = time.perf_counter()
            fn()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def table(title: str, header: list[str], rows: list[list[object]]) -> str:
    """A Markdown table, printed and returned for the report."""
    def cell(v: object) -> str:
        if isinstance(v, float):
            return f"{v:.3f}" if abs(v) < 1000 else f"{v:.0f}"
        return str(v)

    lines = [f"### {title}", "", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(cell(v) for v in row) + " |" for row in rows]
    text = "\n".join(lines) + "\n"
    print(text, flush=True)
    return text


def ms(seconds: float) -> float:
    return seconds * 1000.0
