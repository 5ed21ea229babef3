import importlib.util

import pytest

HAVE_CV2 = importlib.util.find_spec("cv2") is not None
HAVE_APRILTAG = importlib.util.find_spec("pupil_apriltags") is not None

needs_cv2 = pytest.mark.skipif(not HAVE_CV2, reason="OpenCV (cv2) is not installed")
needs_apriltag = pytest.mark.skipif(not HAVE_APRILTAG, reason="pupil_apriltags is not installed")


def _mapped_files():
    try:
        with open("/proc/self/maps") as maps:
            return maps.read()
    except OSError:  # no /proc on this platform
        return ""


# The sanitizer run (make sanitize) preloads AddressSanitizer's runtime.
UNDER_ADDRESS_SANITIZER = "libasan" in _mapped_files()


def apriltag_library_detector(**options):
    """A detector of the AprilTag library that is never destroyed: its
    destructor can crash the process once other code has used the heap (seen
    with pupil_apriltags 1.0.4 in plain Python, without morvelin), so the
    tests leak the few kilobytes instead."""
    import pupil_apriltags

    pupil_apriltags.Detector.__del__ = lambda self: None
    return pupil_apriltags.Detector(**options)


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true",
                     help="also run the slow checks: leak loops and huge inputs (make test-leaks, make test-hostile)")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: slow check, run only with --slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--slow"):
        return
    skip = pytest.mark.skip(reason="slow check: run with --slow (make test-leaks, make test-hostile)")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
