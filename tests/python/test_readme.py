"""The Python blocks of the README and of every docs page run as written, in
order, page by page, as a user would paste them into a script."""

import importlib.util
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

# Pages whose blocks are not run, with the reason.
NOT_RUN: dict[str, str] = {}

# Optional packages a page may need; without them the page is skipped.
OPTIONAL = ("distributed", "dask", "PIL")


def python_blocks(page: pathlib.Path) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", page.read_text(), flags=re.M | re.S)


@pytest.mark.parametrize("page", [pytest.param(p, id=p.name, marks=pytest.mark.skip(reason=NOT_RUN[p.name]))
                                  if p.name in NOT_RUN else pytest.param(p, id=p.name) for p in PAGES])
def test_python_blocks_run_in_order(page, tmp_path, monkeypatch):
    blocks = python_blocks(page)
    for module in OPTIONAL:
        if re.search(rf"^\s*(from|import) {module}\b", "".join(blocks), flags=re.M) and \
                importlib.util.find_spec(module) is None:
            pytest.skip(f"{page.name} needs {module}")
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__main__"}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"{page.name} python block {number}", "exec"), namespace)
    if page.name == "README.md":
        assert len(blocks) >= 4 and namespace["pose"] is not None  # the board pose of the tour was found
        assert namespace["calibration"].rms < 1e-6  # the tour's views are exact
    if page.name == "charuco-calibration.md":
        assert namespace["calibration"].view_indices == [0, 1, 2, 3]  # every sample photograph is a view


def test_every_page_with_python_is_run_or_excluded_with_a_reason():
    assert {p.name for p in PAGES if python_blocks(p)} - set(NOT_RUN) >= {"README.md", "poses.md", "dask.md",
                                                                           "detecting-markers.md",
                                                                           "charuco-calibration.md"}
    assert all((ROOT / "docs" / name).exists() for name in NOT_RUN)  # no stale exclusions
