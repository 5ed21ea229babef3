"""morvelin: fiducial marker, ChArUco and chessboard detection and camera pose
estimation for NumPy images.

The detectors, solvers and image generators live in the compiled extension
``morvelin.morvelin`` and are re-exported here, together with the drawing
helpers of ``morvelin.drawing``, so ``import morvelin`` gives the whole
interface. ``morvelin.dask`` (optional) spreads detection over a cluster.
"""

from . import morvelin as _native

for _name in dir(_native):
    if not _name.startswith("__"):
        globals()[_name] = getattr(_native, _name)
del _name

from .drawing import draw_charuco_corners, draw_detected_markers  # noqa: E402

__all__ = [name for name in dir(_native) if not name.startswith("_")]
__all__ += ["draw_detected_markers", "draw_charuco_corners"]
__version__ = "0.1.0"
