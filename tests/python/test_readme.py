"""The Python blocks of the README's API tour and of the calibration guide run
as written."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"


def run_blocks(path: pathlib.Path) -> dict:
    blocks = re.findall(r"^```python\n(.*?)^```", path.read_text(), flags=re.M | re.S)
    namespace: dict = {}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"{path.name} python block {number}", "exec"), namespace)
    return namespace


def test_readme_python_blocks_run_in_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = run_blocks(README)
    assert namespace["pose"] is not None  # the board pose in the tour was found
    assert namespace["calibration"].rms < 1e-6  # the tour's views are exact


def test_calibration_guide_runs_on_the_bundled_photographs(tmp_path, monkeypatch):
    pytest.importorskip("PIL")
    (tmp_path / "tests").symlink_to(ROOT / "tests")  # the guide runs from the root of the source tree
    monkeypatch.chdir(tmp_path)
    namespace = run_blocks(ROOT / "docs" / "charuco-calibration.md")
    assert namespace["calibration"].view_indices == [0, 1, 2, 3]
    assert {"board.png", "camera.yaml", "undistorted.png", "board_pose.png"} <= {p.name for p in tmp_path.iterdir()}
