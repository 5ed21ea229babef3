#!/usr/bin/env python3
"""Make the real-photo fixtures of tests/cpp/test_chessboard.cpp.

Each chosen calibration photo of ../shared/data/real/chessboard is cropped
round its board, converted to grey and written as a binary PGM (the C++
tests cannot decode JPEG); beside it a text file holds the pattern size and
OpenCV's corners for the crop: cv2.findChessboardCorners with default flags,
then cv2.cornerSubPix with winSize (2, 2) -- a 5 x 5 window, the window our
finder refines with -- zeroZone (-1, -1) and 30 iterations or 0.01 px.

Run:  python tools/make_chessboard_fixtures.py  (needs opencv-python)
"""

from __future__ import annotations

import pathlib

import cv2
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT.parent.parent / "shared" / "data" / "real" / "chessboard"
OUT = ROOT / "tests" / "data" / "chessboard"

# (file, (columns, rows), crop (x0, y0, x1, y1), licence line)
PHOTOS = [
    ("opencv_left01.jpg", (9, 6), (170, 12, 587, 339),
     "kyamagu/mexopencv test/left01.jpg @ d29007b2a484d0fd92e6e941dc5fd4750014fa6a, BSD-3-Clause "
     "(OpenCV stereo sample image; OpenCV: 3-clause BSD / Apache-2.0)"),
    ("opencvsharp_calibration_00.jpg", (10, 7), (136, 0, 591, 428),
     "shimat/opencvsharp test/OpenCvSharp.Tests/_data/image/calibration/00.jpg @ "
     "58f69364772258c762e2bd3a0cced74ac8202e30, Apache-2.0"),
    ("swatbotics_calib_IMG_1434.JPG", (7, 5), (336, 192, 538, 360),
     "swatbotics/apriltag images/mapping_feb_2014/calibration/IMG_1434.JPG @ "
     "427a42ce24578e0fcc483eaf35794b986352070d, BSD-2-Clause"),
    ("swatbotics_calib_IMG_1438.JPG", (7, 5), (164, 70, 536, 497),
     "swatbotics/apriltag images/mapping_feb_2014/calibration/IMG_1438.JPG @ "
     "427a42ce24578e0fcc483eaf35794b986352070d, BSD-2-Clause"),
]


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 30, 0.01)
    for name, pattern, (x0, y0, x1, y1), licence in PHOTOS:
        grey = cv2.imread(str(SOURCE / name), cv2.IMREAD_GRAYSCALE)[y0:y1, x0:x1].copy()
        stem = pathlib.Path(name).stem
        cv2.imwrite(str(OUT / f"{stem}.pgm"), grey)
        found, corners = cv2.findChessboardCorners(grey, pattern)
        if not found:
            raise SystemExit(f"OpenCV finds no board in the crop of {name}")
        corners = cv2.cornerSubPix(grey, corners, (2, 2), (-1, -1), criteria).reshape(-1, 2)
        lines = [
            f"# {licence}",
            f"# cropped to x {x0}..{x1 - 1}, y {y0}..{y1 - 1} and converted to grey: {stem}.pgm",
            "# corners: cv2.findChessboardCorners + cv2.cornerSubPix, winSize (2, 2), in OpenCV's order",
            f"pattern {pattern[0]} {pattern[1]}",
        ]
        lines += [f"{x:.3f} {y:.3f}" for x, y in corners]
        (OUT / f"{stem}.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
