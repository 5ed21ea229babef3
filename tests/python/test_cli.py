"""The command line: python -m morvelin detect / charuco / chessboard / pose /
generate, its outputs, notes, errors and exit codes."""

import csv
import io
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import morvelin
from morvelin.__main__ import main
from morvelin._cli import settings

Image = pytest.importorskip("PIL.Image")

BOARD = ["--board", "5x7", "--square-length", "0.04", "--marker-length", "0.02", "-d", "DICT_6X6_250"]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def shots(tmp_path, capsys):
    """Marker images in several formats, a broken file and a ChArUco board."""
    folder = tmp_path / "shots"
    assert run(capsys, "generate", "marker", "-d", "DICT_6X6_250", "--ids", "0-2", "--size", "96",
               "--margin", "32", "-o", folder)[0] == 0
    gray = np.asarray(Image.open(folder / "DICT_6X6_250_2.png"))
    Image.fromarray(np.dstack([gray, gray // 2, gray])).save(folder / "colour.jpg", quality=95)
    Image.fromarray(gray.astype(np.uint16) * 16).save(folder / "deep.tif")  # 12-bit data in 16 bits
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    assert run(capsys, "generate", "charuco", *BOARD, "--width", "600", "--height", "800", "--margin", "20",
               "-o", tmp_path / "board.png")[0] == 0
    return folder


def test_detect_jsonl_over_a_folder_with_notes_and_a_bad_file(shots, capsys, tmp_path):
    code, out, err = run(capsys, "detect", shots, "-d", "DICT_6X6_250", "--chunk-size", "2",
                         "--draw", tmp_path / "drawn")
    assert code == 1  # the broken file was skipped, the rest processed
    records = {r["file"].rsplit("/", 1)[1]: r for r in map(json.loads, out.splitlines())}
    assert sorted(records) == ["DICT_6X6_250_0.png", "DICT_6X6_250_1.png", "DICT_6X6_250_2.png",
                               "colour.jpg", "deep.tif"]
    assert [m["id"] for m in records["colour.jpg"]["markers"]] == [2]
    assert [m["id"] for m in records["deep.tif"]["markers"]] == [2]
    corners = np.array(records["DICT_6X6_250_1.png"]["markers"][0]["corners"])
    assert np.abs(corners - [[32, 32], [127, 32], [127, 127], [32, 127]]).max() <= 0.5
    assert "skipping" in err and "broken.png" in err and "1 of 6 inputs skipped" in err
    assert "converted to gray" in err and "scaled from 0..4080 to 0..255" in err
    drawn = sorted(p.name for p in (tmp_path / "drawn").iterdir())
    assert drawn == ["DICT_6X6_250_0.png", "DICT_6X6_250_1.png", "DICT_6X6_250_2.png", "colour.png", "deep.png"]
    annotated = np.asarray(Image.open(tmp_path / "drawn" / "deep.png"))
    assert annotated.shape == (160, 160, 3) and (annotated == [0, 255, 0]).all(axis=2).any()


def test_detect_csv_to_a_file_with_glob_params_and_refine(shots, capsys, tmp_path):
    params = tmp_path / "params.json"
    params.write_text(json.dumps({"corner_refinement_method": "none", "adaptive_thresh_constant": 9}))
    target = tmp_path / "out.csv"
    code, out, err = run(capsys, "detect", str(shots / "DICT_*.png"), "-d", "dict_6x6_250", "-f", "csv",
                         "--params", params, "-o", target)
    assert (code, out, err) == (0, "", "")
    rows = list(csv.reader(io.StringIO(target.read_text())))
    assert rows[0] == ["file", "id", "x0", "y0", "x1", "y1", "x2", "y2", "x3", "y3"]
    assert [int(r[1]) for r in rows[1:]] == [0, 1, 2]
    assert float(rows[1][2]) == 32.0  # no refinement: the corner sits on the border pixel
    code, _, _ = run(capsys, "detect", shots / "DICT_6X6_250_0.png", "-d", "DICT_6X6_250", "-f", "csv",
                     "--params", params, "--refine", "subpix", "-o", target)
    assert code == 0 and abs(float(target.read_text().splitlines()[1].split(",")[2]) - 31.5) < 0.2


@pytest.mark.parametrize("content, message", [
    ({"bogus": 1}, "unknown field 'bogus'"),
    ({"corner_refinement_win_size": 0}, "corner_refinement_win_size: "),
    ({"adaptive_thresh_constant": "x"}, "adaptive_thresh_constant: must be real number"),
    ({"corner_refinement_method": "fancy"}, "unknown method 'fancy'"),
    ([1, 2], "must hold a JSON object"),
    ("{", "is not valid JSON"),
])
def test_bad_parameter_files_stop_with_code_2(shots, capsys, tmp_path, content, message):
    params = tmp_path / "params.json"
    params.write_text(content if isinstance(content, str) else json.dumps(content))
    code, out, err = run(capsys, "detect", shots, "-d", "DICT_6X6_250", "--params", params)
    assert code == 2 and out == "" and message in err


def test_usage_errors(shots, capsys, tmp_path):
    code, _, err = run(capsys, "detect", shots, "-d", "DICT_6X6_251")
    assert code == 2 and "unknown dictionary: DICT_6X6_251" in err
    code, _, err = run(capsys, "detect", tmp_path / "nothing-*.png", tmp_path / "missing.png", "-d", "DICT_4X4_50")
    assert code == 2 and "no input images" in err and "no files match" in err
    code, _, err = run(capsys, "generate", "marker", "-d", "DICT_4X4_50", "--ids", "50", "--size", "60",
                       "-o", tmp_path / "m.png")
    assert code == 2 and "id 50 is out of range for DICT_4X4_50" in err
    code, _, err = run(capsys, "pose", shots, "-d", "DICT_6X6_250", "--camera", tmp_path / "none.json",
                       "--tag-size", "0.05")
    assert code == 2 and "cannot read camera file" in err
    with pytest.raises(SystemExit) as info:
        main(["chessboard", str(shots), "--pattern", "nine"])
    assert info.value.code == 2


def test_missing_pillow_says_what_to_install(shots, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "PIL", None)
    code, _, err = run(capsys, "detect", shots, "-d", "DICT_6X6_250")
    assert code == 3 and "pip install 'morvelin[cli]'" in err


def test_charuco_chessboard_and_board_pose(shots, capsys, tmp_path):
    board = tmp_path / "board.png"
    code, out, _ = run(capsys, "charuco", board, *BOARD)
    record = json.loads(out)
    assert code == 0 and [c["id"] for c in record["corners"]] == list(range(24)) and len(record["markers"]) == 17

    squares = np.kron((np.add.outer(np.arange(7), np.arange(10)) % 2) * 255, np.ones((40, 40))).astype(np.uint8)
    Image.fromarray(np.pad(squares, 40, constant_values=255)).save(tmp_path / "chess.png")
    code, out, _ = run(capsys, "chessboard", tmp_path / "chess.png", "--pattern", "9x6", "-f", "csv")
    rows = out.splitlines()
    assert code == 0 and rows[0] == "file,index,x,y" and len(rows) == 1 + 54
    x, y = map(float, rows[1].split(",")[2:])
    assert abs(x - 79.5) < 0.5 and abs(y - 79.5) < 0.5

    # Board drawn at 760 / 7 pixels per square, its origin at pixel edge
    # (20 + (560 - 5 * 760 / 7) / 2, 20); camera with f = 1000 at (300, 400).
    camera = tmp_path / "camera.json"
    camera.write_text(json.dumps({"camera_matrix": [[1000, 0, 300], [0, 1000, 400], [0, 0, 1]],
                                  "dist_coeffs": [0, 0, 0, 0, 0]}))
    code, out, _ = run(capsys, "pose", board, *BOARD, "--camera", camera)
    pose = json.loads(out)["poses"][0]
    assert code == 0 and pose["target"] == "board" and np.abs(pose["rvec"]).max() < 1e-3
    z = 1000 / (760 / 7 / 0.04)
    origin = (20 + (560 - 5 * 760 / 7) / 2 - 0.5, 20 - 0.5)
    assert pose["tvec"] == pytest.approx([(origin[0] - 300) * z / 1000, (origin[1] - 400) * z / 1000, z], abs=2e-3)


def test_marker_and_rigid_body_poses(shots, capsys, tmp_path):
    camera = tmp_path / "camera.yaml"
    camera.write_text("%YAML:1.0\n---\ncamera_matrix: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
                      "   data: [ 800., 0., 80., 0., 800.,\n       80., 0., 0., 1. ]\n"
                      "distortion_coefficients: !!opencv-matrix\n   rows: 1\n   cols: 5\n   dt: d\n"
                      "   data: [ 0., 0., 0., 0., 0. ]\n")
    marker = shots / "DICT_6X6_250_1.png"
    code, out, _ = run(capsys, "pose", marker, "-d", "DICT_6X6_250", "--camera", camera, "--tag-size", "0.096")
    pose = json.loads(out)["poses"][0]
    # 96 pixels for 0.096 m at f = 800: 0.8 m away, centred, marker y up so turned half a turn about x.
    assert code == 0 and pose["id"] == 1
    assert pose["tvec"] == pytest.approx([0, 0, 0.8], abs=0.01)
    assert pose["rvec"] == pytest.approx([np.pi, 0, 0], abs=0.02) or pose["rvec"] == pytest.approx([-np.pi, 0, 0],
                                                                                                    abs=0.02)
    body = tmp_path / "body.json"
    body.write_text(json.dumps({"tag_size_m": 0.096, "markers": [
        {"id": 1, "rotation": [0, 0, 0], "translation": [0.5, 0, 0]}]}))
    code, out, _ = run(capsys, "pose", marker, "-d", "DICT_6X6_250", "--camera", camera, "--rigid-body", body,
                       "-f", "csv")
    rows = out.splitlines()
    assert code == 0 and rows[1].startswith(f"{marker},rigid_body,,")
    tx, ty, tz = map(float, rows[1].split(",")[6:])
    assert (tx, ty, tz) == pytest.approx((-0.5, 0, 0.8), abs=0.01)  # body origin 0.5 m beside the marker


def test_camera_files(tmp_path):
    yaml = tmp_path / "cam.yml"
    yaml.write_text("%YAML:1.0\n---\nimage_width: 640\nK: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n"
                    "  data: [ 1, 0, 2,\n    0, 3, 4,\n    0, 0, 1 ]\nD: [ 0.1, 0.2, 0.0, 0.0 ]\n")
    assert settings.camera(str(yaml)) == ([[1, 0, 2], [0, 3, 4], [0, 0, 1]], [0.1, 0.2, 0.0, 0.0])
    short = tmp_path / "short.yaml"
    short.write_text("camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n  data: [ 1, 0, 2 ]\n")
    with pytest.raises(settings.CliError, match="is 3x3 but holds 3 values"):
        settings.camera(str(short))
    flat = tmp_path / "cam.json"
    flat.write_text(json.dumps({"fx": 500, "fy": 510, "cx": 320, "cy": 240}))
    assert settings.camera(str(flat)) == ([[500, 0, 320], [0, 510, 240], [0, 0, 1]], None)
    flat.write_text(json.dumps({"camera_matrix": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "dist_coeffs": [1, 2, 3]}))
    with pytest.raises(settings.CliError, match="3 distortion coefficients"):
        settings.camera(str(flat))


def test_module_entry_point_and_exit_code(shots, tmp_path):
    result = subprocess.run([sys.executable, "-m", "morvelin", "detect", str(shots / "colour.jpg"),
                             str(shots / "broken.png"), "-d", "DICT_6X6_250", "-f", "csv"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert result.stdout.splitlines()[1].startswith(f"{shots / 'colour.jpg'},2,")
    assert "broken.png" in result.stderr


REAL = pathlib.Path(__file__).resolve().parents[1] / "data" / "real"


def test_photographs_get_markers_of_any_size_unless_params_say_otherwise(capsys, tmp_path):
    photo = REAL / "opencv_singlemarkersoriginal.jpg"
    code, out, _ = run(capsys, "detect", photo, "-d", "DICT_6X6_250")
    assert code == 0 and sorted(m["id"] for m in json.loads(out)["markers"]) == [23, 40, 62, 98, 124, 203]
    params = tmp_path / "library.json"
    params.write_text(json.dumps({"min_side_length_canonical_img": 32}))  # the library default
    code, out, _ = run(capsys, "detect", photo, "-d", "DICT_6X6_250", "--params", params)
    assert code == 0 and len(json.loads(out)["markers"]) < 6
    code, out, _ = run(capsys, "charuco", REAL / "opencv_calib_img_01.jpg", *BOARD)
    assert code == 0 and len(json.loads(out)["corners"]) == 24
    with pytest.raises(SystemExit):
        main(["detect", "--help"])
    assert "min_side_length_canonical_img is 0" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["detect", "-d", "DICT_4X4_50", "--params", {"adaptive_thresh_win_size_step": 0}],
     "adaptive_thresh_win_size_step must not be zero"),
    (["chessboard", "--pattern", "2x2"], "both pattern_size dimensions must be greater than 2"),
    (["charuco", "--board", "5x7", "--square-length", "0.04", "--marker-length", "0.05", "-d", "DICT_4X4_50"],
     "bad board 5x7 of DICT_4X4_50: a board needs 0 < marker_length <= square_length"),
    (["pose", "--board", "11x11", "--square-length", "0.04", "--marker-length", "0.02", "-d", "DICT_4X4_50",
      "--camera", "CAMERA"], "marker id 50 is out of range for DICT_4X4_50 (0 to 49)"),
])
def test_refused_settings_stop_before_any_image_is_read(shots, capsys, tmp_path, monkeypatch, argv, message):
    from morvelin._cli import runner

    monkeypatch.setattr(runner, "load_image", lambda *a: pytest.fail("an image was read"))
    camera = tmp_path / "camera.json"
    camera.write_text(json.dumps({"camera_matrix": [[1000, 0, 300], [0, 1000, 400], [0, 0, 1]]}))
    params = tmp_path / "params.json"
    params.write_text(json.dumps(argv[-1]) if isinstance(argv[-1], dict) else "{}")
    argv = [params if isinstance(a, dict) else camera if a == "CAMERA" else a for a in argv]
    code, out, err = run(capsys, argv[0], shots, *argv[1:])
    assert (code, out) == (2, "") and message in err and err.count("\n") == 1


def test_generated_markers_go_to_one_file_or_a_folder_checked_first(capsys, tmp_path):
    code, out, _ = run(capsys, "generate", "marker", "-d", "DICT_APRILTAG_36h11", "--ids", "5", "--size", "200",
                       "--border-bits", "2", "--margin", "40", "-o", tmp_path / "one.jpg")
    assert code == 0 and out.strip() == str(tmp_path / "one.jpg")
    with Image.open(tmp_path / "one.jpg") as written:
        assert written.format == "JPEG" and written.size == (280, 280)
    # A two-cell border is read as such when the parameters say so.
    params = tmp_path / "params.json"
    params.write_text(json.dumps({"marker_border_bits": 2, "corner_refinement_method": "subpix"}))
    code, out, _ = run(capsys, "detect", tmp_path / "one.jpg", "-d", "DICT_APRILTAG_36h11", "--params", params)
    assert code == 0 and [m["id"] for m in json.loads(out)["markers"]] == [5]

    folder = tmp_path / "markers"
    code, _, err = run(capsys, "generate", "marker", "-d", "DICT_4X4_50", "--ids", "45-60", "--size", "60",
                       "-o", folder)
    assert code == 2 and "id 60 is out of range for DICT_4X4_50 (0 to 49)" in err and not folder.exists()
    code, _, err = run(capsys, "generate", "marker", "-d", "DICT_4X4_50", "--ids", "1,2", "--size", "60",
                       "-o", tmp_path / "two.png")
    assert code == 2 and "gives 2 ids" in err and not (tmp_path / "two.png").exists()


def test_targets_not_found_are_marked_in_drawn_images(capsys, tmp_path):
    Image.fromarray(np.full((120, 160), 210, np.uint8)).save(tmp_path / "blank.png")
    camera = tmp_path / "camera.json"
    camera.write_text(json.dumps({"camera_matrix": [[200, 0, 80], [0, 200, 60], [0, 0, 1]]}))
    for command in (["chessboard", "--pattern", "9x6"], ["charuco", *BOARD], ["pose", *BOARD, "--camera", camera]):
        code, _, _ = run(capsys, command[0], tmp_path / "blank.png", *command[1:], "--draw", tmp_path / command[0])
        drawn = np.asarray(Image.open(tmp_path / command[0] / "blank.png"))
        assert code == 0 and (drawn[0] == [255, 0, 0]).all() and (drawn[:, -1] == [255, 0, 0]).all(), command


def test_demo_runs_from_any_folder_and_a_closed_pipe_ends_quietly(tmp_path, shots):
    demo = subprocess.run([sys.executable, "-m", "morvelin", "demo", "--output", "shown"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert demo.returncode == 0, demo.stderr
    assert "6 DICT_6X6_250 marker(s)" in demo.stdout and "24 of 24 chessboard corners" in demo.stdout
    assert (tmp_path / "shown" / "opencv_singlemarkersoriginal_markers.png").is_file()
    missing = subprocess.run([sys.executable, "-m", "morvelin", "demo", "--data", "nowhere"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=120)
    assert missing.returncode == 2 and "sample folder nowhere not found" in missing.stderr
    assert "Traceback" not in missing.stderr

    # The reader goes away before the first record, as `| head` does after its lines.
    piped = subprocess.Popen([sys.executable, "-m", "morvelin", "detect", str(shots), "-d", "DICT_6X6_250"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    piped.stdout.close()
    _, err = piped.communicate(timeout=120)
    assert piped.returncode == 141 and b"Traceback" not in err and b"BrokenPipe" not in err


def test_calibrate_then_pose_on_photographs(capsys, tmp_path):
    views = sorted(str(p) for p in REAL.glob("opencv_calib_img_0*.jpg"))
    camera = tmp_path / "camera.yaml"
    code, out, err = run(capsys, "calibrate", *views, REAL / "opencv_left01.jpg", *BOARD, "-o", camera,
                         "--draw", tmp_path / "drawn", "--no-progress")
    assert code == 1 and "skipping" in err and "opencv_left01.jpg: board not found" in err  # no board there
    assert "calibrated from 4 views" in out and all(v in out for v in views)
    rms = float(out.split("RMS reprojection error ")[1].split()[0])
    assert 0 < rms < 0.5
    matrix, dist = morvelin.load_camera(camera)
    assert 400 < matrix[0][0] < 520 and len(dist) == 5
    assert sorted(p.name for p in (tmp_path / "drawn").iterdir()) == [
        "coverage.png", "opencv_calib_img_00.png", "opencv_calib_img_01.png", "opencv_calib_img_02.png",
        "opencv_calib_img_03.png"]
    params = tmp_path / "params.json"
    params.write_text(json.dumps({"min_side_length_canonical_img": 0}))
    code, out, _ = run(capsys, "pose", views[1], *BOARD, "--camera", camera, "--params", params,
                       "--draw", tmp_path / "posed")
    pose = json.loads(out)["poses"][0]
    assert code == 0 and pose["target"] == "board" and 0.2 < pose["tvec"][2] < 1.0
    shown = np.asarray(Image.open(tmp_path / "posed" / "opencv_calib_img_01.png"))
    assert all((shown == colour).all(axis=2).any() for colour in ([255, 0, 0], [0, 255, 0], [0, 0, 255]))


def test_calibrate_says_why_it_cannot(capsys, tmp_path):
    code, _, err = run(capsys, "calibrate", REAL / "opencv_left01.jpg", "--chessboard", "9x6",
                       "--square-length", "0.025", "-o", tmp_path / "camera.json")
    assert code == 2 and "calibration from 1 view failed: all views show the target in parallel planes" in err
    code, _, err = run(capsys, "calibrate", REAL / "opencv_left01.jpg", "--chessboard", "9x6",
                       "-o", tmp_path / "camera.json")
    assert code == 2 and "--square-length" in err
    code, _, err = run(capsys, "calibrate", REAL / "opencv_calib_img_00.jpg", "--chessboard", "9x6",
                       "--square-length", "1", "-o", tmp_path / "camera.json")
    assert code == 2 and "no image shows the target" in err and "chessboard not found" in err
    assert not (tmp_path / "camera.json").exists()
