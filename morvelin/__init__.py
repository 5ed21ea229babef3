"""morvelin: fiducial marker, ChArUco and chessboard detection and camera pose
estimation for NumPy images.

The detectors, solvers, calibration and image generators live in the compiled extension
``morvelin.morvelin`` and are re-exported here, together with the drawing
helpers of ``morvelin.drawing`` and ``load_camera`` of
``morvelin.camera_file``, so ``import morvelin`` gives the whole
interface. ``morvelin.dask`` (optional) spreads detection over a cluster.
"""

from . import morvelin as _native

for _name in dir(_native):
    if not _name.startswith("__"):
        globals()[_name] = getattr(_native, _name)
del _name

from .camera_file import load_camera  # noqa: E402
from .drawing import draw_axes, draw_charuco_corners, draw_detected_markers  # noqa: E402

__all__ = [
    "CORNER_REFINE_NONE",
    "CORNER_REFINE_SUBPIX",
    "CORNER_REFINE_CONTOUR",
    "CORNER_REFINE_APRILTAG",
    "DetectorParameters",
    "CharucoBoard",
    "RigidBody",
    "RigidBodyPose",
    "CameraCalibration",
    "detect_markers",
    "detect_markers_batch",
    "detect_charuco_board",
    "find_chessboard_corners",
    "predefined_dictionaries",
    "solve_pnp",
    "solve_pnp_ransac",
    "estimate_rigid_body_pose",
    "project_points",
    "rodrigues",
    "estimate_pose_charuco_board",
    "generate_marker_image",
    "calibrate_camera",
    "calibrate_camera_charuco",
    "load_camera",
    "undistort_points",
    "undistort_image",
    "optimal_new_camera_matrix",
    "estimate_marker_poses",
    "draw_detected_markers",
    "draw_charuco_corners",
    "draw_axes",
]
__version__ = "0.1.0"  # the package version: pyproject.toml reads it from here
