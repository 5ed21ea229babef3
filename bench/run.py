"""Runs the benchmarks against the peers and writes bench/results/latest.md.

    python bench/run.py [name ...]     (names: files bench/bench_<name>.py)
"""

from __future__ import annotations

import importlib
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv: list[str]) -> int:
    names = argv or sorted(p.stem.removeprefix("bench_") for p in HERE.glob("bench_*.py"))
    import morvelin
    import os
    from importlib import metadata
    peers = ", ".join(f"{name} {metadata.version(name)}" for name in ("opencv-contrib-python-headless",
                                                                      "pupil-apriltags"))
    header = (f"# morvelin benchmarks\n\nmachine: {platform.machine()}, {os.cpu_count()} logical CPUs, "
              f"Python {platform.python_version()}; peers: {peers}; ratios are morvelin / peer "
              f"(below 1 is faster)\n")
    print(header)
    report = [header]
    for name in names:
        module = importlib.import_module(f"bench_{name}")
        report.append(module.run())
    out = HERE / "results"
    out.mkdir(exist_ok=True)
    (out / "latest.md").write_text("\n".join(report))
    print(f"written {out / 'latest.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
