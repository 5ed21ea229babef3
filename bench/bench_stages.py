"""Where a frame's time goes: each detection stage on one thread, measured by
the stage_profile tool (bench/cpp/stage_profile.cpp, built by `make bench`)
on the scene kinds of the detection benchmark."""

from __future__ import annotations

import os
import pathlib
import subprocess
import tempfile

import numpy as np

from common import ROOT
from scenes import SCENE_KINDS

TOOL = ROOT / "build" / "tools" / "stage_profile"


def write_pgm(path, image: np.ndarray) -> None:
    header = b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0])
    path.write_bytes(header + np.ascontiguousarray(image).tobytes())


def run() -> str:
    if not TOOL.exists():
        return "### Stage profile\n\nstage_profile is not built (make bench builds it).\n"
    report = ["### Stage profile (one thread, median ms per stage)\n"]
    with tempfile.TemporaryDirectory() as folder:
        files = []
        for kind, make in SCENE_KINDS.items():
            for width, height in ((1280, 720), (1920, 1080)):
                path = pathlib.Path(folder) / f"{kind}_{width}x{height}.pgm"
                write_pgm(path, make(width, height, "DICT_APRILTAG_36h11", seed=0)[0])
                files.append(str(path))
        env = dict(os.environ, MORVELIN_CORES="0")
        out = subprocess.run([str(TOOL), "DICT_APRILTAG_36h11", "7", *files], env=env, capture_output=True,
                             text=True, check=True)
    report.append(out.stdout.replace(folder + "/", ""))
    text = "\n".join(report)
    print(text, flush=True)
    return text
