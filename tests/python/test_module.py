"""The module surface: constants, classes, functions, docstrings, import."""

import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import morvelin
from conftest import UNDER_ADDRESS_SANITIZER

DICTIONARY_NAMES = [
    "DICT_4X4_50", "DICT_4X4_100", "DICT_4X4_250", "DICT_4X4_1000",
    "DICT_5X5_50", "DICT_5X5_100", "DICT_5X5_250", "DICT_5X5_1000",
    "DICT_6X6_50", "DICT_6X6_100", "DICT_6X6_250", "DICT_6X6_1000",
    "DICT_7X7_50", "DICT_7X7_100", "DICT_7X7_250", "DICT_7X7_1000",
    "DICT_ARUCO_ORIGINAL", "DICT_ARUCO_MIP_36h12", "DICT_APRILTAG_16h5",
    "DICT_APRILTAG_25h9", "DICT_APRILTAG_36h10", "DICT_APRILTAG_36h11",
]


def test_constants_are_plain_ints():
    assert [morvelin.CORNER_REFINE_NONE, morvelin.CORNER_REFINE_SUBPIX,
            morvelin.CORNER_REFINE_CONTOUR, morvelin.CORNER_REFINE_APRILTAG] == [0, 1, 2, 3]
    assert all(type(v) is int for v in (morvelin.CORNER_REFINE_NONE, morvelin.CORNER_REFINE_APRILTAG))


def test_predefined_dictionaries_fixed_order_and_fresh_list():
    first = morvelin.predefined_dictionaries()
    assert first == DICTIONARY_NAMES
    first.append("x")
    assert morvelin.predefined_dictionaries() == DICTIONARY_NAMES
    assert morvelin.predefined_dictionaries.__doc__ == (
        "List the names of the predefined dictionaries this build supports.")
    assert morvelin.predefined_dictionaries.__text_signature__ == "()"
    with pytest.raises(TypeError):
        morvelin.predefined_dictionaries(1)


def test_class_names_and_docstrings():
    cls = morvelin.DetectorParameters
    assert repr(cls) == "<class 'morvelin.DetectorParameters'>"
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ == (
        "Detector parameters for marker detection. `corner_refinement_method` accepts\n"
        "`CORNER_REFINE_NONE`, `CORNER_REFINE_SUBPIX`, `CORNER_REFINE_CONTOUR`, or\n"
        "`CORNER_REFINE_APRILTAG`. The latter uses the AprilTag 2 quad candidate path.")


def test_every_function_carries_its_text_signature():
    for name in dir(morvelin):
        obj = getattr(morvelin, name)
        if inspect.isbuiltin(obj):
            assert obj.__text_signature__ is not None, name
            inspect.signature(obj)  # parses


def test_all_lists_every_public_name():
    native = {name for name in dir(morvelin.morvelin) if not name.startswith("_")}
    assert native <= set(morvelin.__all__)
    assert all(hasattr(morvelin, name) for name in morvelin.__all__)
    for private in ("_corner_sub_pix", "_charuco_predict"):
        assert callable(getattr(morvelin, private))


def test_stub_file_names_every_public_name():
    stub = pathlib.Path(morvelin.__file__).with_name("__init__.pyi").read_text()
    for name in morvelin.__all__:
        assert name in stub, name
    for shipped in ("py.typed", "morvelin.pyi"):  # the extension's own stub, for stubtest and type checkers
        assert pathlib.Path(morvelin.__file__).with_name(shipped).exists()


def test_version_and_licence_have_one_source():
    import importlib.metadata
    distribution = importlib.metadata.distribution("morvelin")
    assert morvelin.__version__ == distribution.version
    licence = next(f for f in distribution.files if f.name == "LICENSE")
    assert distribution.metadata["License"] == "BSD-3-Clause"
    assert licence.read_text().startswith("BSD 3-Clause License")


# Under the sanitizer run the interpreter needs its preloaded runtime in child
# processes too.
SANITIZER_ENV = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def test_worker_pool_variables_never_break_import():
    script = "import morvelin; print(len(morvelin.predefined_dictionaries()))"
    for env in ({"MORVELIN_CORES": "0-18446744073709551615"}, {"MORVELIN_CORES": "3-1"},
                {"MORVELIN_CORES": "all"}, {"MORVELIN_CORES": "0,1", "RAYON_NUM_THREADS": "3"},
                {"RAYON_NUM_THREADS": "junk"}):
        out = subprocess.run([sys.executable, "-c", script], env={**env, **SANITIZER_ENV, "PATH": "/usr/bin:/bin"},
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, (env, out.stderr)
        assert out.stdout.strip() == "22"


def test_allocator_is_mimalloc():
    # Core buffers are served by mimalloc, loaded privately by the module.
    import numpy as np
    morvelin.predefined_dictionaries()
    maps = pathlib.Path("/proc/self/maps")
    if not maps.exists():
        pytest.skip("no /proc on this platform")
    if not hasattr(morvelin, "detect_markers"):
        pytest.skip("no function allocating core buffers is registered yet")
    if UNDER_ADDRESS_SANITIZER:
        pytest.skip("sanitizer build: module memory comes from the system allocator")
    morvelin.detect_markers(np.zeros((8, 8), np.uint8), "DICT_4X4_50")
    assert "libmimalloc" in maps.read_text()
