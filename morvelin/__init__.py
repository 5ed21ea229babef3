"""morvelin: fiducial marker, ChArUco and chessboard detection and camera pose
estimation for NumPy images.

Everything lives in the compiled extension ``morvelin.morvelin`` and is
re-exported here, so ``import morvelin`` gives the whole interface.
"""

from . import morvelin as _native

for _name in dir(_native):
    if not _name.startswith("__"):
        globals()[_name] = getattr(_native, _name)
del _name

__all__ = [
    "CORNER_REFINE_NONE",
    "CORNER_REFINE_SUBPIX",
    "CORNER_REFINE_CONTOUR",
    "CORNER_REFINE_APRILTAG",
    "DetectorParameters",
    "CharucoBoard",
    "RigidBody",
    "RigidBodyPose",
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
]
__version__ = "0.1.0"
