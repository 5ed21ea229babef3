"""Command line of morvelin: ``python -m morvelin <command>`` or ``morvelin <command>``.

Defaults for photographs: the commands that detect markers (detect, charuco,
pose, calibrate) set the detector field min_side_length_canonical_img to 0, so
of any size are found; the library's default of 32 skips markers under about
32 pixels a side. A --params file that sets the field wins.

Exit codes: 0 success; 1 some input files could not be used (each is named on
stderr and skipped, the rest are processed); 2 bad command line, unknown
dictionary, bad parameter, board, pattern, camera or rigid-body file, or no
input images, reported before any image is read, or a calibration that the
usable views cannot give; 3 an optional package the command needs (Pillow) is
not installed; 141 the reader of the output went away (as in
`morvelin detect ... | head -1`): the run stops quietly.
"""

from __future__ import annotations

import argparse
import os
import sys

REFINE_CHOICES = ["none", "subpix", "contour", "apriltag"]


def _demo(args: argparse.Namespace) -> int:
    from . import _demo as demo

    return demo.run(args.output, args.data)


def _calibrate(args: argparse.Namespace) -> int:
    from ._cli.calibrate import calibrate

    return calibrate(args)


def _add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="image files (PNG, JPEG, TIFF, ...), folders or glob patterns such as 'shots/*.png'")
    parser.add_argument("-r", "--recursive", action="store_true", help="also read the subfolders of folders")
    parser.add_argument("-o", "--output", help="write results to this file instead of stdout")
    parser.add_argument("-f", "--format", choices=["jsonl", "csv"], default="jsonl",
                        help="one JSON object per image (default) or CSV rows")
    parser.add_argument("--draw", metavar="OUT_DIR", help="write annotated PNG images to this folder")
    parser.add_argument("--chunk-size", type=int, default=16, metavar="N",
                        help="images read and analysed together (default 16)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def _add_detector(parser: argparse.ArgumentParser, dictionary_required: bool) -> None:
    parser.add_argument("-d", "--dictionary", required=dictionary_required,
                        help="marker dictionary, e.g. DICT_6X6_250 or DICT_APRILTAG_36h11")
    parser.add_argument("--refine", choices=REFINE_CHOICES, help="corner refinement (overrides --params)")
    parser.add_argument("--params", metavar="FILE.json",
                        help="JSON object of DetectorParameters fields, e.g. {\"adaptive_thresh_constant\": 9}; "
                             "min_side_length_canonical_img is 0 (markers of any size) unless the file sets it")


def _add_board(parser: argparse.ArgumentParser, required: bool) -> None:
    from ._cli.settings import grid_size

    parser.add_argument("--board", type=grid_size, required=required, metavar="COLSxROWS",
                        help="ChArUco board squares, e.g. 5x7")
    parser.add_argument("--square-length", type=float, required=required, help="side of a square (board units)")
    parser.add_argument("--marker-length", type=float, required=required, help="side of a marker (board units)")
    parser.add_argument("--legacy", action="store_true", help="legacy layout: boards with an even number of "
                        "rows carry marker 0 in square (0, 0)")


def build_parser() -> argparse.ArgumentParser:
    from ._cli import commands
    from ._cli.settings import grid_size

    parser = argparse.ArgumentParser(prog="morvelin", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="run the detectors on the sample photographs that ship with morvelin")
    demo.add_argument("--output", default="demo_output", help="folder for annotated images")
    demo.add_argument("--data", metavar="DIR", help="folder with the sample photographs (default: the package's)")
    demo.set_defaults(handler=_demo)

    detect = sub.add_parser("detect", help="detect square markers in image files")
    _add_inputs(detect)
    _add_detector(detect, dictionary_required=True)
    detect.set_defaults(handler=commands.detect)

    charuco = sub.add_parser("charuco", help="detect ChArUco board corners in image files")
    _add_inputs(charuco)
    _add_detector(charuco, dictionary_required=True)
    _add_board(charuco, required=True)
    charuco.set_defaults(handler=commands.charuco)

    chess = sub.add_parser("chessboard", help="find chessboard corners in image files")
    _add_inputs(chess)
    chess.add_argument("--pattern", type=grid_size, required=True, metavar="COLSxROWS",
                       help="interior corners per row and per column, e.g. 9x6")
    chess.set_defaults(handler=commands.chessboard)

    pose = sub.add_parser("pose", help="camera pose of a ChArUco board, a rigid body or each marker")
    _add_inputs(pose)
    _add_detector(pose, dictionary_required=True)
    pose.add_argument("--camera", required=True, metavar="FILE",
                      help="intrinsics: JSON {camera_matrix, dist_coeffs} or OpenCV-style YAML")
    _add_board(pose, required=False)
    pose.add_argument("--rigid-body", metavar="FILE.json",
                      help='JSON {"tag_size_m": s, "markers": [{"id", "rotation", "translation"}]}')
    pose.add_argument("--tag-size", type=float, help="pose of every marker of this side")
    pose.set_defaults(handler=commands.pose)

    calib = sub.add_parser("calibrate", help="calibrate a camera from images of a chessboard or ChArUco board")
    calib.add_argument("inputs", nargs="+", metavar="INPUT", help="image files, folders or glob patterns")
    calib.add_argument("-r", "--recursive", action="store_true", help="also read the subfolders of folders")
    calib.add_argument("--chessboard", type=grid_size, metavar="COLSxROWS",
                       help="a chessboard of this many interior corners per row and column, e.g. 9x6")
    _add_board(calib, required=False)
    _add_detector(calib, dictionary_required=False)
    calib.add_argument("-o", "--output", required=True, metavar="CAMERA_FILE",
                       help="camera file to write: OpenCV-style YAML for .yaml/.yml, JSON otherwise")
    calib.add_argument("--distortion-terms", type=int, choices=[0, 4, 5, 8, 12], default=5,
                       help="distortion coefficients to fit (default 5: k1, k2, p1, p2, k3)")
    calib.add_argument("--reject-outliers", action="store_true", help="leave out corners with gross errors")
    calib.add_argument("--draw", metavar="OUT_DIR", help="write each view with its residuals, and coverage.png")
    calib.add_argument("--no-progress", action="store_true", help="no progress bar")
    calib.set_defaults(handler=_calibrate)

    generate = sub.add_parser("generate", help="write marker or ChArUco board images (PNG)")
    kinds = generate.add_subparsers(dest="kind", required=True, metavar="KIND")
    marker = kinds.add_parser("marker", help="marker images")
    marker.add_argument("-d", "--dictionary", required=True)
    marker.add_argument("--ids", type=commands.parse_ids, default=[0], help="ids such as 0-9,12 (default 0)")
    marker.add_argument("--size", type=int, required=True, help="marker side in pixels, border included")
    marker.add_argument("--border-bits", type=int, default=1,
                        help="black border width in cells (default 1); detect such markers with the "
                             "DetectorParameters field marker_border_bits set alike (1 to 8)")
    marker.add_argument("--margin", type=int, default=0, help="white margin around the marker, pixels")
    marker.add_argument("-o", "--output", required=True,
                        help="an image file for one id (PNG, JPEG, TIFF, ...: any format Pillow writes), "
                             "else a folder for DICT_ID.png files")
    marker.set_defaults(handler=commands.generate_marker)
    board = kinds.add_parser("charuco", help="a ChArUco board image")
    board.add_argument("-d", "--dictionary", required=True)
    _add_board(board, required=True)
    board.add_argument("--width", type=int, required=True, help="image width in pixels")
    board.add_argument("--height", type=int, required=True, help="image height in pixels")
    board.add_argument("--margin", type=int, default=0, help="white margin in pixels")
    board.add_argument("-o", "--output", required=True, help="PNG file")
    board.set_defaults(handler=commands.generate_charuco)
    return parser


def main(argv: list[str] | None = None) -> int:
    from ._cli.errors import OUTPUT_CLOSED, CliError

    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except CliError as error:
        print(f"morvelin: error: {error}", file=sys.stderr)
        return error.code
    except KeyboardInterrupt:
        print("morvelin: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        _quiet_stdout()
        return OUTPUT_CLOSED


def _quiet_stdout() -> None:
    """Points stdout at the null device, so that the interpreter's last flush
    of output nobody reads raises nothing at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):  # stdout without a file descriptor
        pass


if __name__ == "__main__":
    sys.exit(main())
