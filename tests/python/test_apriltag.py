"""The AprilTag quad detector as candidate search, and the full-resolution refit."""

import numpy as np
import pytest

import morvelin
from conftest import apriltag_library_detector, needs_apriltag
from rendering import blur, marker_bits, marker_pattern, marker_scene, paint, scene, square_corners, to_uint8


def apriltag_params(decimate=0.0, refine=False):
    p = morvelin.DetectorParameters()
    p.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
    p.april_tag_quad_decimate = decimate
    p.april_tag_refine_full_resolution = refine
    return p


def errors(corners, ids, truth):
    return np.array([np.abs(np.asarray(c) - truth[i]).max() for c, i in zip(corners, ids)])


@pytest.mark.parametrize("dictionary, ids", [
    ("DICT_APRILTAG_36h11", [0, 5, 586]), ("DICT_APRILTAG_36h10", [1, 2000]),
    ("DICT_APRILTAG_25h9", [3, 34]), ("DICT_APRILTAG_16h5", [0, 29]), ("DICT_4X4_50", [7, 8])])
def test_tag_families_are_found_with_subpixel_corners(dictionary, ids):
    image, truth = marker_scene(dictionary, ids, size=(640, 400), side=110, angle=17)
    corners, found = morvelin.detect_markers(to_uint8(blur(image, 0.8)), dictionary, apriltag_params())
    assert sorted(found) == sorted(ids)
    # refined edges put the corners on the true outline, pixel centres at integers
    assert errors(corners, found, truth).max() < 0.15


def test_light_on_dark_outlines_are_not_quads():
    image = scene(200, 200, 30)
    pattern = 1 - marker_pattern(marker_bits("DICT_APRILTAG_36h11", 4))
    paint(image, pattern, square_corners(100, 100, 120))
    assert morvelin.detect_markers(to_uint8(image), "DICT_APRILTAG_36h11", apriltag_params()) == ([], [])


def test_corners_are_subpixel_and_unbiased_with_decimation_and_refit():
    image, truth = marker_scene("DICT_APRILTAG_36h11", [1, 2, 3, 4], size=(800, 600), side=140, angle=8)
    img = to_uint8(blur(image, 0.7), noise=1.0)
    full = morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params())
    half = morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params(2.0))
    refit = morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params(2.0, refine=True))
    assert sorted(full[1]) == sorted(half[1]) == [1, 2, 3, 4]
    assert half[1] == refit[1]
    for corners, ids in (full, half, refit):
        assert errors(corners, ids, truth).max() < 0.15
        offsets = np.concatenate([np.asarray(c) - truth[i] for c, i in zip(corners, ids)])
        assert np.abs(offsets.mean(axis=0)).max() < 0.03
    # without decimation the search is already at full resolution: no refit
    assert morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params(1.0, refine=True)) == \
        morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params(1.0))


def test_refit_after_contour_methods_keeps_ids_and_improves_corners():
    image, truth = marker_scene("DICT_5X5_100", [10, 20, 30, 40, 50, 60], size=(900, 600), side=130, angle=21)
    img = to_uint8(blur(image, 1.0), noise=1.0)
    for method in (0, 1, 2):
        p = morvelin.DetectorParameters()
        p.corner_refinement_method = method
        plain = morvelin.detect_markers(img, "DICT_5X5_100", p)
        p.april_tag_refine_full_resolution = True
        refit = morvelin.detect_markers(img, "DICT_5X5_100", p)
        assert refit[1] == plain[1] and len(refit[0]) == len(plain[0])
        assert errors(*refit, truth).mean() < errors(*plain, truth).mean()
        assert errors(*refit, truth).max() < 0.35


def test_batch_matches_single_frames_on_the_quad_path():
    frames = [to_uint8(marker_scene("DICT_APRILTAG_36h11", [k, k + 1], size=(320, 240), side=80, angle=9 * k)[0])
              for k in range(4)]
    for decimate in (0.0, 2.0):
        p = apriltag_params(decimate, refine=True)
        assert morvelin.detect_markers_batch(frames, "DICT_APRILTAG_36h11", p) == \
            [morvelin.detect_markers(f, "DICT_APRILTAG_36h11", p) for f in frames]


def test_extreme_preprocessing_settings_are_safe():
    image, _ = marker_scene("DICT_APRILTAG_36h11", [3], size=(160, 120), side=80)
    img = to_uint8(image)
    p = apriltag_params()
    for sigma in (1e300, -1e300, 5.0, -5.0):
        p.april_tag_quad_sigma = sigma
        morvelin.detect_markers(img, "DICT_APRILTAG_36h11", p)
    p.april_tag_quad_sigma = 0.0
    for decimate in (1e300, 1000.0, 1.5):
        p.april_tag_quad_decimate = decimate
        morvelin.detect_markers(img, "DICT_APRILTAG_36h11", p)
    p.april_tag_quad_sigma = -0.8
    a = morvelin.detect_markers(img, "DICT_APRILTAG_36h11", p)
    p.april_tag_quad_sigma = 0.8
    assert morvelin.detect_markers(img, "DICT_APRILTAG_36h11", p) == a


@needs_apriltag
def test_same_ids_and_corners_as_the_apriltag_library():
    image, truth = marker_scene("DICT_APRILTAG_36h11", [0, 11, 22, 33, 44, 55], size=(800, 600), side=120, angle=14)
    img = to_uint8(blur(image, 0.7), noise=1.0)
    corners, ids = morvelin.detect_markers(img, "DICT_APRILTAG_36h11", apriltag_params())
    detector = apriltag_library_detector(families="tag36h11", quad_decimate=1.0, refine_edges=0)
    reference = {d.tag_id: d.corners for d in detector.detect(img)}
    assert sorted(ids) == sorted(reference)
    for c, i in zip(corners, ids):
        ref = reference[i]
        # the library orders corners counter-clockwise from bottom-left and
        # places pixel centres at half-integers
        ref = np.roll(ref[::-1], 2, axis=0) - 0.5
        assert np.abs(np.asarray(c) - ref).max() < 0.3
