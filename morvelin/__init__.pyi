"""Type stubs for morvelin: the extension's names (morvelin/morvelin.pyi) and the
drawing helpers, re-exported."""

from .camera_file import load_camera as load_camera
from .drawing import draw_axes as draw_axes
from .drawing import draw_charuco_corners as draw_charuco_corners
from .drawing import draw_detected_markers as draw_detected_markers
from .morvelin import CORNER_REFINE_NONE as CORNER_REFINE_NONE
from .morvelin import CORNER_REFINE_SUBPIX as CORNER_REFINE_SUBPIX
from .morvelin import CORNER_REFINE_CONTOUR as CORNER_REFINE_CONTOUR
from .morvelin import CORNER_REFINE_APRILTAG as CORNER_REFINE_APRILTAG
from .morvelin import DetectorParameters as DetectorParameters
from .morvelin import CharucoBoard as CharucoBoard
from .morvelin import RigidBody as RigidBody
from .morvelin import RigidBodyPose as RigidBodyPose
from .morvelin import CameraCalibration as CameraCalibration
from .morvelin import detect_markers as detect_markers
from .morvelin import detect_markers_batch as detect_markers_batch
from .morvelin import detect_charuco_board as detect_charuco_board
from .morvelin import find_chessboard_corners as find_chessboard_corners
from .morvelin import predefined_dictionaries as predefined_dictionaries
from .morvelin import solve_pnp as solve_pnp
from .morvelin import solve_pnp_ransac as solve_pnp_ransac
from .morvelin import estimate_rigid_body_pose as estimate_rigid_body_pose
from .morvelin import project_points as project_points
from .morvelin import rodrigues as rodrigues
from .morvelin import estimate_pose_charuco_board as estimate_pose_charuco_board
from .morvelin import generate_marker_image as generate_marker_image
from .morvelin import calibrate_camera as calibrate_camera
from .morvelin import calibrate_camera_charuco as calibrate_camera_charuco
from .morvelin import undistort_points as undistort_points
from .morvelin import undistort_image as undistort_image
from .morvelin import optimal_new_camera_matrix as optimal_new_camera_matrix
from .morvelin import estimate_marker_poses as estimate_marker_poses
from .morvelin import _corner_sub_pix as _corner_sub_pix
from .morvelin import _charuco_predict as _charuco_predict
from .morvelin import _check_settings as _check_settings
from .morvelin import _rigid_body_pose as _rigid_body_pose
from .morvelin import _camera_calibration as _camera_calibration

__version__: str
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

