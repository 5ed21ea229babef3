import importlib.util

import pytest

HAVE_CV2 = importlib.util.find_spec("cv2") is not None
HAVE_APRILTAG = importlib.util.find_spec("pupil_apriltags") is not None

needs_cv2 = pytest.mark.skipif(not HAVE_CV2, reason="OpenCV (cv2) is not installed")
needs_apriltag = pytest.mark.skipif(not HAVE_APRILTAG, reason="pupil_apriltags is not installed")


def pytest_addoption(parser):
    parser.addoption("--leaks", action="store_true", help="also run the long leak loops (make test-leaks)")


def pytest_configure(config):
    config.addinivalue_line("markers", "leak: long leak loop, run with --leaks (make test-leaks)")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--leaks"):
        return
    skip = pytest.mark.skip(reason="long leak loop: run with --leaks (make test-leaks)")
    for item in items:
        if "leak" in item.keywords:
            item.add_marker(skip)
