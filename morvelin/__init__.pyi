"""Type stubs for morvelin."""

from typing import Final

__version__: str

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

def predefined_dictionaries() -> list[str]: ...
