"""Type stubs for morvelin."""

from typing import Final, Sequence, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__version__: str

# Images are uint8 arrays, H x W gray or H x W x 3 BGR, in any layout.
Image = NDArray[np.uint8]
# Point lists: N x 2 / N x 3 arrays or nested sequences of numbers.
Points2 = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
Points3 = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
Floats = NDArray[np.floating] | NDArray[np.integer] | Sequence[SupportsFloat]
Matrix = NDArray[np.floating] | NDArray[np.integer] | Sequence[Sequence[SupportsFloat]]
Ints = NDArray[np.integer] | Sequence[SupportsIndex]

CORNER_REFINE_NONE: Final[int]
CORNER_REFINE_SUBPIX: Final[int]
CORNER_REFINE_CONTOUR: Final[int]
CORNER_REFINE_APRILTAG: Final[int]

class DetectorParameters:
    """Detector parameters for marker detection."""

    def __init__(self) -> None: ...
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
    def __eq__(self, other: object) -> bool: ...

class CharucoBoard:
    """A ChArUco board: a chessboard with ArUco markers in its white squares."""

    def __init__(
        self,
        squares_x: int,
        squares_y: int,
        square_length: float,
        marker_length: float,
        dictionary: str,
        ids: Ints | None = None,
        legacy_pattern: bool = False,
    ) -> None: ...
    @property
    def chessboard_corners(self) -> list[tuple[float, float, float]]: ...
    @property
    def ids(self) -> list[int]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class RigidBody:
    """A collection of square markers with fixed transforms into one reference frame."""

    def __init__(
        self,
        tag_size_m: float,
        marker_ids: Ints,
        rotations_marker_to_reference: Sequence[Matrix],
        translations_marker_to_reference: Points3,
    ) -> None: ...
    @property
    def tag_size_m(self) -> float: ...
    @property
    def marker_ids(self) -> list[int]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

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
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

Corners = list[list[list[float]]]  # markers x 4 corners x [x, y]

def detect_markers(
    image: Image, dictionary: str, parameters: DetectorParameters | None = None
) -> tuple[Corners, list[int]]: ...
def detect_markers_batch(
    images: Sequence[Image], dictionary: str, parameters: DetectorParameters | None = None
) -> list[tuple[Corners, list[int]]]: ...
def detect_charuco_board(
    image: Image,
    board: CharucoBoard,
    parameters: DetectorParameters | None = None,
    min_markers: int = 2,
    check_markers: bool = True,
) -> tuple[list[tuple[float, float]], list[int], Corners, list[int]]: ...
def find_chessboard_corners(
    image: Image, pattern_size: tuple[int, int]
) -> tuple[bool, list[tuple[float, float]]]: ...
def predefined_dictionaries() -> list[str]: ...
def _corner_sub_pix(
    image: Image, corners: Points2, win: int, max_iters: int, eps: float
) -> list[tuple[float, float]]: ...
def solve_pnp(
    object_points: Points3,
    image_points: Points2,
    camera_matrix: Matrix,
    dist_coeffs: Floats | None = None,
    rvec: Floats | None = None,
    tvec: Floats | None = None,
) -> tuple[list[float], list[float]] | None: ...
def solve_pnp_ransac(
    object_points: Points3,
    image_points: Points2,
    camera_matrix: Matrix,
    dist_coeffs: Floats | None = None,
    iterations: int = 100,
    reprojection_error: float = 3.0,
    confidence: float = 0.99,
    seed: int = 0,
) -> tuple[list[float], list[float], list[int], float] | None: ...
def estimate_rigid_body_pose(
    marker_corners: Sequence[Points2],
    marker_ids: Ints,
    rigid_body: RigidBody,
    camera_matrix: Matrix,
    dist_coeffs: Floats | None = None,
    iterations: int = 100,
    reprojection_error: float = 3.0,
    confidence: float = 0.99,
    seed: int = 0,
) -> RigidBodyPose | None: ...
def project_points(
    object_points: Points3, rvec: Floats, tvec: Floats, camera_matrix: Matrix, dist_coeffs: Floats | None = None
) -> list[list[float]]: ...
def rodrigues(src: Matrix | Floats) -> list[list[float]]: ...
def estimate_pose_charuco_board(
    charuco_corners: Points2,
    charuco_ids: Ints,
    board: CharucoBoard,
    camera_matrix: Matrix,
    dist_coeffs: Floats | None = None,
) -> tuple[list[float], list[float]] | None: ...
def _charuco_predict(image: Image, board: CharucoBoard) -> tuple[list[tuple[float, float]], list[int]]: ...
