import importlib.util

import pytest

HAVE_CV2 = importlib.util.find_spec("cv2") is not None
HAVE_APRILTAG = importlib.util.find_spec("pupil_apriltags") is not None

needs_cv2 = pytest.mark.skipif(not HAVE_CV2, reason="OpenCV (cv2) is not installed")
needs_apriltag = pytest.mark.skipif(not HAVE_APRILTAG, reason="pupil_apriltags is not installed")
