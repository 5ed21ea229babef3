"""Type stubs of the compiled extension morvelin.morvelin, whose names the
package re-exports."""

from os import PathLike
from typing import Final, Sequence, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray
from typing_extensions import TypeAlias

# Images are uint8 arrays, H x W gray or H x W x 3 BGR, in any layout.
_Image: TypeAlias = NDArray[np.uint8]
# Point lists: N x 2 / N x 3 arrays or nested sequences of numbers.
_Points2: TypeAlias = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
_Points3: TypeAlias = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
_Floats: TypeAlias = NDArray[np.floating] | NDArray[np.integer] | Sequence[SupportsFloat]
_Matrix: TypeAlias = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
_Ints: TypeAlias = NDArray[np.integer] | Sequence[SupportsIndex]

CORNER_REFINE_NONE: Final[int]
CORNER_REFINE_SUBPIX: Final[int]
CORNER_REFINE_CONTOUR: Final[int]
CORNER_REFINE_APRILTAG: Final[int]

@final
class DetectorParameters:
    """Detector parameters for marker detection."""

    def __new__(cls) -> DetectorParameters: ...
    adaptive_thresh_win_size_min: int
    adaptive_thresh_win_size_max: int
    adaptive_thresh_win_size_step: int
    adaptive_thresh_constant: float
    polygonal_approx_accuracy_rate: float
    error_correction_rate: float
    detect_inverted_marker: bool
    min_side_length_canonical_img: int
    corner_refinement_method: int
    corner_refinement_win_size: int
    relative_corner_refinement_win_size: float
    corner_refinement_max_iterations: int
    corner_refinement_min_accuracy: float
    april_tag_quad_decimate: float
    april_tag_refine_full_resolution: bool
    april_tag_quad_sigma: float
    april_tag_min_cluster_pixels: int
    april_tag_max_nmaxima: int
    april_tag_critical_rad: float
    april_tag_max_line_fit_mse: float
    april_tag_min_white_black_diff: int
    april_tag_deglitch: bool
    marker_border_bits: int
    def __eq__(self, other: object, /) -> bool: ...

@final
class CharucoBoard:
    """A ChArUco board: a chessboard with ArUco markers in its white squares."""

    def __new__(
        cls,
        squares_x: int,
        squares_y: int,
        square_length: float,
        marker_length: float,
        dictionary: str,
        ids: _Ints | None = None,
        legacy_pattern: bool = False,
    ) -> CharucoBoard: ...
    @property
    def chessboard_corners(self) -> list[tuple[float, float, float]]: ...
    @property
    def ids(self) -> list[int]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def generate_image(self, width: int, height: int, margin_pixels: int = 0) -> NDArray[np.uint8]: ...

@final
class RigidBody:
    """A collection of square markers with fixed transforms into one reference frame."""

    def __new__(
        cls,
        tag_size_m: float,
        marker_ids: _Ints,
        rotations_marker_to_reference: Sequence[_Matrix],
        translations_marker_to_reference: _Points3,
    ) -> RigidBody: ...
    @property
    def tag_size_m(self) -> float: ...
    @property
    def marker_ids(self) -> list[int]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class RigidBodyPose:
    """Result returned by `estimate_rigid_body_pose`."""

    @property
    def rvec(self) -> list[float]: ...
    @property
    def tvec(self) -> list[float]: ...
    @property
    def inlier_indices(self) -> list[int]: ...
    @property
    def inlier_marker_ids(self) -> list[int]: ...
    @property
    def used_marker_ids(self) -> list[int]: ...
    @property
    def reprojection_rmse(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class CameraCalibration:
    """The result of `calibrate_camera` or `calibrate_camera_charuco`."""

    @property
    def rms(self) -> float: ...
    @property
    def camera_matrix(self) -> list[list[float]]: ...
    @property
    def dist_coeffs(self) -> list[float]: ...
    @property
    def rvecs(self) -> list[list[float]]: ...
    @property
    def tvecs(self) -> list[list[float]]: ...
    @property
    def per_view_errors(self) -> list[float]: ...
    @property
    def std_deviations(self) -> list[float]: ...
    @property
    def image_size(self) -> tuple[int, int]: ...
    @property
    def outliers(self) -> list[list[int]]: ...
    @property
    def view_indices(self) -> list[int]: ...
    @property
    def converged(self) -> bool: ...
    def save(self, path: str | PathLike[str]) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

_Corners: TypeAlias = list[list[list[float]]]  # markers x 4 corners x [x, y]

def detect_markers(
    image: _Image, dictionary: str, parameters: DetectorParameters | None = None
) -> tuple[_Corners, list[int]]: ...
def detect_markers_batch(
    images: Sequence[_Image], dictionary: str, parameters: DetectorParameters | None = None
) -> list[tuple[_Corners, list[int]]]: ...
def detect_charuco_board(
    image: _Image,
    board: CharucoBoard,
    parameters: DetectorParameters | None = None,
    min_markers: int = 2,
    check_markers: bool = True,
) -> tuple[list[tuple[float, float]], list[int], _Corners, list[int]]: ...
def find_chessboard_corners(
    image: _Image, pattern_size: tuple[int, int]
) -> tuple[bool, list[tuple[float, float]]]: ...
def predefined_dictionaries() -> list[str]: ...
def _corner_sub_pix(
    image: _Image, corners: _Points2, win: int, max_iters: int, eps: float
) -> list[tuple[float, float]]: ...
def solve_pnp(
    object_points: _Points3,
    image_points: _Points2,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats | None = None,
    rvec: _Floats | None = None,
    tvec: _Floats | None = None,
) -> tuple[list[float], list[float]] | None: ...
def solve_pnp_ransac(
    object_points: _Points3,
    image_points: _Points2,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats | None = None,
    iterations: int = 100,
    reprojection_error: float = 3.0,
    confidence: float = 0.99,
    seed: int = 0,
) -> tuple[list[float], list[float], list[int], float] | None: ...
def estimate_rigid_body_pose(
    marker_corners: Sequence[_Points2],
    marker_ids: _Ints,
    rigid_body: RigidBody,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats | None = None,
    iterations: int = 100,
    reprojection_error: float = 3.0,
    confidence: float = 0.99,
    seed: int = 0,
) -> RigidBodyPose | None: ...
def project_points(
    object_points: _Points3, rvec: _Floats, tvec: _Floats, camera_matrix: _Matrix, dist_coeffs: _Floats | None = None
) -> list[list[float]]: ...
def rodrigues(src: _Matrix | _Floats) -> list[list[float]]: ...
def estimate_pose_charuco_board(
    charuco_corners: _Points2,
    charuco_ids: _Ints,
    board: CharucoBoard,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats | None = None,
) -> tuple[list[float], list[float]] | None: ...
def _charuco_predict(image: _Image, board: CharucoBoard) -> tuple[list[tuple[float, float]], list[int]]: ...
def generate_marker_image(dictionary: str, id: int, side_pixels: int, border_bits: int = 1) -> NDArray[np.uint8]: ...
def _check_settings(parameters: DetectorParameters | None = None, board: CharucoBoard | None = None) -> None: ...
def _rigid_body_pose(
    rvec: _Floats,
    tvec: _Floats,
    inlier_indices: _Ints,
    inlier_marker_ids: _Ints,
    used_marker_ids: _Ints,
    reprojection_rmse: float,
) -> RigidBodyPose: ...

_Size: TypeAlias = tuple[int, int] | Sequence[SupportsIndex] | NDArray[np.integer]

def calibrate_camera(
    object_points: Sequence[_Points3],
    image_points: Sequence[_Points2],
    image_size: _Size,
    *,
    camera_matrix: _Matrix | None = None,
    dist_coeffs: _Floats | None = None,
    distortion_terms: int = 5,
    fix_principal_point: bool = False,
    fix_aspect_ratio: bool = False,
    zero_tangent_dist: bool = False,
    reject_outliers: bool = False,
    max_iterations: int = 100,
) -> CameraCalibration: ...
def calibrate_camera_charuco(
    charuco_corners: Sequence[_Points2],
    charuco_ids: Sequence[_Ints],
    board: CharucoBoard,
    image_size: _Size,
    *,
    camera_matrix: _Matrix | None = None,
    dist_coeffs: _Floats | None = None,
    distortion_terms: int = 5,
    fix_principal_point: bool = False,
    fix_aspect_ratio: bool = False,
    zero_tangent_dist: bool = False,
    reject_outliers: bool = False,
    max_iterations: int = 100,
) -> CameraCalibration: ...
def undistort_points(
    points: _Points2, camera_matrix: _Matrix, dist_coeffs: _Floats | None, new_camera_matrix: _Matrix | None = None
) -> list[list[float]]: ...
def undistort_image(
    image: _Image, camera_matrix: _Matrix, dist_coeffs: _Floats | None, new_camera_matrix: _Matrix | None = None
) -> NDArray[np.uint8]: ...
def optimal_new_camera_matrix(
    camera_matrix: _Matrix, dist_coeffs: _Floats | None, image_size: _Size, alpha: float
) -> tuple[list[list[float]], tuple[int, int, int, int]]: ...
def estimate_marker_poses(
    corners: Sequence[_Points2] | NDArray[np.floating] | NDArray[np.integer],
    marker_length: float,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats | None = None,
) -> list[tuple[list[float], list[float]] | None]: ...

def _camera_calibration(
    rms: float,
    camera_matrix: _Matrix,
    dist_coeffs: _Floats,
    rvecs: Sequence[_Floats],
    tvecs: Sequence[_Floats],
    per_view_errors: _Floats,
    std_deviations: _Floats,
    image_size: _Size,
    outliers: Sequence[_Ints],
    view_indices: _Ints,
    converged: bool,
) -> CameraCalibration: ...
