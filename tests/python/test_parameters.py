"""DetectorParameters: defaults, conversion rules and validation messages."""

import math

import numpy as np
import pytest

import morvelin

DEFAULTS = {
    "adaptive_thresh_win_size_min": 3,
    "adaptive_thresh_win_size_max": 23,
    "adaptive_thresh_win_size_step": 10,
    "adaptive_thresh_constant": 7.0,
    "polygonal_approx_accuracy_rate": 0.03,
    "error_correction_rate": 0.6,
    "detect_inverted_marker": False,
    "min_side_length_canonical_img": 32,
    "corner_refinement_method": 0,
    "corner_refinement_win_size": 5,
    "relative_corner_refinement_win_size": 0.3,
    "corner_refinement_max_iterations": 30,
    "corner_refinement_min_accuracy": 0.1,
    "april_tag_quad_decimate": 0.0,
    "april_tag_refine_full_resolution": False,
    "april_tag_quad_sigma": 0.0,
    "april_tag_min_cluster_pixels": 5,
    "april_tag_max_nmaxima": 10,
    "april_tag_critical_rad": math.pi / 18,
    "april_tag_max_line_fit_mse": 10.0,
    "april_tag_min_white_black_diff": 5,
    "april_tag_deglitch": False,
    "marker_border_bits": 1,
}


def test_defaults_and_types():
    p = morvelin.DetectorParameters()
    for name, value in DEFAULTS.items():
        got = getattr(p, name)
        assert type(got) is type(value), name
        assert got == value, name
    assert p.april_tag_critical_rad == 0.17453292519943295
    with pytest.raises(TypeError):
        morvelin.DetectorParameters(3)
    with pytest.raises(TypeError):
        morvelin.DetectorParameters(adaptive_thresh_win_size_min=3)


@pytest.mark.parametrize("name, rejected, accepted, message", [
    ("april_tag_critical_rad", [0.0, math.pi / 2, -1.0, math.nan, math.inf], [1e-310, 1.5],
     "april_tag_critical_rad must be between 0 and pi/2"),
    ("april_tag_quad_decimate", [-1e-310, math.nan, math.inf], [-0.0, 0.0, 4.0],
     "april_tag_quad_decimate must be nonnegative and finite"),
    ("corner_refinement_min_accuracy", [-1e-310, math.inf], [-0.0, 0.0, 2.0],
     "corner_refinement_min_accuracy must be nonnegative and finite"),
    ("april_tag_max_line_fit_mse", [0.0, -0.0, math.nan], [1e-9],
     "april_tag_max_line_fit_mse must be positive and finite"),
    ("relative_corner_refinement_win_size", [0.0, -0.0, math.inf], [0.5],
     "relative_corner_refinement_win_size must be positive and finite"),
    ("april_tag_quad_sigma", [math.nan, math.inf, -math.inf], [-0.8, 0.0, 2.0],
     "april_tag_quad_sigma must be finite"),
    ("corner_refinement_method", [-1, 4], [0, 3], "corner_refinement_method must be 0, 1, 2, or 3"),
    ("april_tag_min_white_black_diff", [256, -1], [0, 255],
     "april_tag_min_white_black_diff must be in 0..=255"),
    ("april_tag_max_nmaxima", [3, -5], [4], "april_tag_max_nmaxima must be at least four"),
    ("corner_refinement_win_size", [0], [1], "corner_refinement_win_size must be positive"),
    ("april_tag_min_cluster_pixels", [0], [1], "april_tag_min_cluster_pixels must be positive"),
    ("corner_refinement_max_iterations", [0], [1], "corner_refinement_max_iterations must be positive"),
    ("marker_border_bits", [0, 9, -1], [1, 8], "marker_border_bits must be in 1..=8"),
])
def test_validation(name, rejected, accepted, message):
    p = morvelin.DetectorParameters()
    for value in accepted:
        setattr(p, name, value)
        assert getattr(p, name) == value or (value != value)
    before = getattr(p, name)
    for value in rejected:
        with pytest.raises(ValueError) as info:
            setattr(p, name, value)
        assert str(info.value) == message
        assert getattr(p, name) == before  # a rejected value leaves the field unchanged


def test_unvalidated_fields_take_any_value():
    p = morvelin.DetectorParameters()
    p.adaptive_thresh_constant = math.nan
    assert math.isnan(p.adaptive_thresh_constant)
    p.error_correction_rate = -math.inf
    p.adaptive_thresh_win_size_step = 0
    p.adaptive_thresh_win_size_min = -(2**31)
    p.adaptive_thresh_win_size_max = 2**31 - 1
    assert (p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max) == (-(2**31), 2**31 - 1)


def test_conversion_errors_name_v():
    p = morvelin.DetectorParameters()
    with pytest.raises(OverflowError, match="argument 'v'"):
        p.adaptive_thresh_win_size_min = 2**31
    with pytest.raises(OverflowError):
        p.corner_refinement_method = -(2**31) - 1
    with pytest.raises(TypeError, match="^argument 'v': "):
        p.adaptive_thresh_win_size_min = 3.0
    with pytest.raises(TypeError, match="^argument 'v': "):
        p.adaptive_thresh_constant = "7"
    with pytest.raises(TypeError, match="^argument 'v': "):
        p.detect_inverted_marker = 1
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del p.adaptive_thresh_constant


def test_numpy_scalars_and_index_objects_convert():
    class Seven:
        def __index__(self):
            return 7

    p = morvelin.DetectorParameters()
    p.adaptive_thresh_win_size_step = Seven()
    p.detect_inverted_marker = np.bool_(True)
    p.adaptive_thresh_constant = np.float32(2.5)
    p.adaptive_thresh_win_size_min = np.int64(5)
    assert (p.adaptive_thresh_win_size_step, p.detect_inverted_marker,
            p.adaptive_thresh_constant, p.adaptive_thresh_win_size_min) == (7, True, 2.5, 5)


def test_repr_and_equality():
    a, b = morvelin.DetectorParameters(), morvelin.DetectorParameters()
    assert a == b and not (a != b)
    b.corner_refinement_method = 2
    assert a != b
    assert "corner_refinement_method=2" in repr(b)
    assert repr(a).startswith("DetectorParameters(adaptive_thresh_win_size_min=3, ")
    assert repr(a).endswith(", april_tag_deglitch=False, marker_border_bits=1)")  # after the 22 others
    c = morvelin.DetectorParameters()
    c.marker_border_bits = 2
    assert c != a
    with pytest.raises(TypeError):
        hash(a)  # mutable record
    assert (a == 5) is False


def test_every_property_documents_itself():
    cls = morvelin.DetectorParameters
    assert cls.april_tag_refine_full_resolution.__doc__ == (
        "Refit each decoded marker's border with the AprilTag quad fitter in a\n"
        "full-resolution crop: after a decimated AprilTag search, or after any ArUco\n"
        "pipeline method (0-2). A tag missed by the coarse search cannot be recovered.")
    for name in DEFAULTS:
        doc = getattr(cls, name).__doc__
        assert doc and ("default" in doc or name == "april_tag_refine_full_resolution"), name
    assert "32 px" in cls.min_side_length_canonical_img.__doc__
    for function in (morvelin.detect_markers, morvelin.detect_charuco_board):
        assert "set that field to 0" in function.__doc__


def test_settings_check_refuses_what_detection_refuses():
    image = np.zeros((8, 8), np.uint8)
    p = morvelin.DetectorParameters()
    assert morvelin._check_settings(p) is None and morvelin._check_settings() is None
    for fields, message in [({"adaptive_thresh_win_size_step": 0}, "adaptive_thresh_win_size_step must not be zero"),
                            ({"adaptive_thresh_win_size_min": -(2**31)}, "214748368 threshold windows")]:
        for name, value in fields.items():
            setattr(p, name, value)
        with pytest.raises(ValueError, match=message):
            morvelin._check_settings(p)
        with pytest.raises(ValueError, match=message):
            morvelin.detect_markers(image, "DICT_4X4_50", p)
        p.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG  # no threshold windows on this path
        morvelin._check_settings(p)
        assert morvelin.detect_markers(image, "DICT_4X4_50", p) == ([], [])
        p = morvelin.DetectorParameters()
    with pytest.raises(TypeError, match="^argument 'parameters': "):
        morvelin._check_settings(7)
