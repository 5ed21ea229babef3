"""Writes the grey images of tests/data/apriltag, the inputs whose AprilTag
candidates and markers test_apriltag_regression.cpp pins bit for bit: two
rendered tag36h11 scenes (one with heavy noise) and crops of three
photographs of the real-image set (../shared/data/real/apriltag next to the
repository, or the folder given as the argument):

    python3 tools/make_apriltag_regression_images.py [PHOTO_FOLDER]
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
from scenes import marker_frame  # noqa: E402

PHOTOS = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT.parent / "shared" / "data" / "real" / "apriltag"
OUT = ROOT / "tests" / "data" / "apriltag"


def save_pgm(name: str, image: np.ndarray) -> None:
    image = np.ascontiguousarray(image, dtype=np.uint8)
    header = b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0])
    (OUT / name).write_bytes(header + image.tobytes())


def photo(name: str, box=None) -> np.ndarray:
    grey = np.asarray(Image.open(PHOTOS / name).convert("L"))
    if box is not None:
        x, y, w, h = box
        grey = grey[y:y + h, x:x + w]
    return grey


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    scene, _ = marker_frame(480, 360, "DICT_APRILTAG_36h11", seed=0, sides=(20, 80))
    save_pgm("rendered_tags.pgm", scene)
    scene, _ = marker_frame(480, 360, "DICT_APRILTAG_36h11", seed=11, sides=(20, 80))
    noise = np.random.default_rng(11).normal(0.0, 12.0, scene.shape)
    save_pgm("rendered_tags_noisy.pgm", np.clip(np.round(scene + noise), 0, 255))
    save_pgm("swatbotics_clipboard05.pgm", photo("swatbotics_clipboard05.png"))
    save_pgm("duckietown_multiple_crop.pgm", photo("duckietown_test_image_multiple_01.png", (100, 120, 480, 360)))
    save_pgm("aprilgrid_iphone_crop.pgm", photo("aprilgrid_iphone.png", (800, 480, 400, 300)))


if __name__ == "__main__":
    main()
