"""The demo behind ``make demo`` and ``morvelin demo``: the detectors on sample
photographs.

Reads the photographs that ship with the package (``morvelin/samples``, with
their licences in LICENSES.md there) or those of ``--data DIR``, prints what
it finds and writes annotated PNG images to the output folder.
"""

from __future__ import annotations

import pathlib

import numpy as np

import morvelin
from ._cli import settings
from ._cli.errors import CliError, require_pillow

SAMPLES = pathlib.Path(__file__).resolve().with_name("samples")
MARKER_SAMPLES = [
    ("opencv_singlemarkersoriginal.jpg", "DICT_6X6_250", morvelin.CORNER_REFINE_SUBPIX),
    ("wpilib_tag1_640_480.jpg", "DICT_APRILTAG_36h11", morvelin.CORNER_REFINE_APRILTAG),
]
CHARUCO_SAMPLE = "opencv_calib_img_01.jpg"
CHESSBOARD_SAMPLE = "opencv_left01.jpg"


def _load(path: pathlib.Path) -> np.ndarray:
    Image = require_pillow()
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))[:, :, ::-1].copy()  # BGR, as the detectors take it


def _photo_parameters(method: int = morvelin.CORNER_REFINE_NONE):
    """The command line's defaults for photographs, with this refinement."""
    params = settings.parameters(None, None)
    params.corner_refinement_method = method
    return params


def _annotate(bgr: np.ndarray, corners, ids, out: pathlib.Path) -> None:
    from PIL import Image, ImageDraw

    image = Image.fromarray(bgr[:, :, ::-1].copy())
    draw = ImageDraw.Draw(image)
    for quad, marker_id in zip(corners, ids):
        points = [tuple(p) for p in quad]
        draw.line(points + [points[0]], fill=(0, 255, 0), width=2)
        x, y = points[0]
        draw.rectangle([x - 3, y - 3, x + 3, y + 3], outline=(255, 0, 0), width=2)
        draw.text((x + 5, y - 14), str(marker_id), fill=(255, 64, 64))
    image.save(out)


def run(output: str, data: str | None = None) -> int:
    folder = SAMPLES if data is None else pathlib.Path(data)
    names = [name for name, _, _ in MARKER_SAMPLES] + [CHARUCO_SAMPLE, CHESSBOARD_SAMPLE]
    if not folder.is_dir():
        raise CliError(f"sample folder {folder} not found" + ("" if data else ": the package is incomplete"))
    missing = [name for name in names if not (folder / name).is_file()]
    if missing:
        raise CliError(f"sample folder {folder} lacks {', '.join(missing)}")
    require_pillow()
    out_dir = pathlib.Path(output)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create folder {out_dir}: {error.strerror or error}") from None
    print("morvelin", morvelin.__version__)
    print("dictionaries:", ", ".join(morvelin.predefined_dictionaries()))
    print(f"samples: {folder}")
    for name, dictionary, method in MARKER_SAMPLES:
        image = _load(folder / name)
        corners, ids = morvelin.detect_markers(image, dictionary, _photo_parameters(method))
        print(f"\n{name}: {len(ids)} {dictionary} marker(s)")
        for quad, marker_id in zip(corners, ids):
            print(f"  id {marker_id:4d}: " + "  ".join(f"({x:7.2f}, {y:7.2f})" for x, y in quad))
        target = out_dir / (pathlib.Path(name).stem + "_markers.png")
        _annotate(image, corners, ids, target)
        print(f"  annotated image: {target}")
    _charuco(folder / CHARUCO_SAMPLE)
    _chessboard(folder / CHESSBOARD_SAMPLE)
    return 0


def _charuco(path: pathlib.Path) -> None:
    image = _load(path)
    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250")
    corners, ids, _, marker_ids = morvelin.detect_charuco_board(image, board, _photo_parameters())
    print(f"\n{path.name}: ChArUco board 5x7, {len(marker_ids)} markers, {len(ids)} of "
          f"{len(board.chessboard_corners)} chessboard corners")
    camera = [[452.511, 0.0, 317.703], [0.0, 456.767, 277.752], [0.0, 0.0, 1.0]]
    dist = [0.121369, -1.085466, 0.000117868, -0.000462407, 2.954259]
    pose = morvelin.estimate_pose_charuco_board(corners, ids, board, camera, dist)
    if pose:
        rvec, tvec = pose
        print("  board pose: rvec " + " ".join(f"{v:+.4f}" for v in rvec) +
              "  tvec (m) " + " ".join(f"{v:+.4f}" for v in tvec))


def _chessboard(path: pathlib.Path) -> None:
    found, corners = morvelin.find_chessboard_corners(_load(path), (9, 6))
    print(f"\n{path.name}: 9x6 chessboard {'found' if found else 'not found'}")
    if found:
        print("  first corners: " + "  ".join(f"({x:.2f}, {y:.2f})" for x, y in corners[:3]))
