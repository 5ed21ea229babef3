"""detect_markers and detect_markers_batch on rendered scenes with ground truth."""

import pathlib
import threading

import numpy as np
import pytest

import morvelin
from conftest import needs_cv2
from rendering import (blur, marker_bits, marker_pattern, marker_scene, paint, scene, square_corners,
                       to_uint8)

ALL_DICTIONARIES = morvelin.predefined_dictionaries()
DICT_SIZES = {name: int(name.split("_")[-1]) if name[5].isdigit() else None for name in ALL_DICTIONARIES}
COUNTS = {"DICT_ARUCO_ORIGINAL": 1024, "DICT_ARUCO_MIP_36h12": 250, "DICT_APRILTAG_16h5": 30,
          "DICT_APRILTAG_25h9": 35, "DICT_APRILTAG_36h10": 2320, "DICT_APRILTAG_36h11": 587}


def count(name):
    return DICT_SIZES[name] or COUNTS[name]


def corner_error(found, truth):
    return np.abs(np.asarray(found) - np.asarray(truth)).max()


# Without refinement the corners are polygon vertices: centres of the outermost
# dark pixels, up to one pixel inside the true outline.
VERTEX_TOLERANCE = 1.0 + 1e-9


@pytest.mark.parametrize("dictionary", ALL_DICTIONARIES)
def test_every_dictionary_decodes_rendered_markers(dictionary):
    n = count(dictionary)
    ids = sorted({0, 1, n // 2, n - 1})
    image, truth = marker_scene(dictionary, ids, size=(640, 400), side=100, angle=7)
    corners, found = morvelin.detect_markers(to_uint8(image), dictionary)
    assert sorted(found) == ids
    for c, marker_id in zip(corners, found):
        assert len(c) == 4 and all(len(p) == 2 and all(type(v) is float for v in p) for p in c)
        assert corner_error(c, truth[marker_id]) <= VERTEX_TOLERANCE


@pytest.mark.parametrize("angle", [0, 90, 180, 270, 35])
def test_rotation_keeps_id_and_first_corner(angle):
    image, truth = marker_scene("DICT_4X4_50", [5], size=(300, 300), side=150, angle=angle)
    corners, ids = morvelin.detect_markers(to_uint8(image), "DICT_4X4_50")
    assert ids == [5]
    assert corner_error(corners[0], truth[5]) <= VERTEX_TOLERANCE  # first corner = printed top-left


def test_perspective_and_blur():
    image = scene(640, 480)
    outer = np.array([[120, 80], [430, 120], [470, 400], [90, 360]], float)
    paint(image, marker_pattern(marker_bits("DICT_5X5_100", 42)), outer)
    corners, ids = morvelin.detect_markers(to_uint8(blur(image, 1.2), noise=2.0), "DICT_5X5_100")
    assert ids == [42]
    assert corner_error(corners[0], outer) < 1.5


def test_inverted_markers_need_the_flag():
    image, truth = marker_scene("DICT_6X6_250", [17], size=(300, 300), side=140, inverted=True, background=20)
    img = to_uint8(image)
    assert morvelin.detect_markers(img, "DICT_6X6_250") == ([], [])
    p = morvelin.DetectorParameters()
    p.detect_inverted_marker = True
    corners, ids = morvelin.detect_markers(img, "DICT_6X6_250", p)
    assert ids == [17]
    # The first decodable quad of the group is the outline of the dark band the
    # threshold leaves round the white border, a few pixels outside it.
    assert corner_error(corners[0], truth[17]) < 8.0


def test_markers_touching_the_border_margin_are_dropped():
    image = scene(300, 200, 255)
    paint(image, marker_pattern(marker_bits("DICT_4X4_50", 1)), square_corners(200, 100, 120))
    paint(image, marker_pattern(marker_bits("DICT_4X4_50", 2)), [[1.5, 30], [61.5, 30], [61.5, 90], [1.5, 90]])
    _, ids = morvelin.detect_markers(to_uint8(image), "DICT_4X4_50")
    assert ids == [1]


def test_marker_seen_in_every_window_is_reported_once():
    image, _ = marker_scene("DICT_4X4_50", [3], size=(300, 300), side=160)
    p = morvelin.DetectorParameters()
    p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max, p.adaptive_thresh_win_size_step = 3, 63, 5
    assert morvelin.detect_markers(to_uint8(image), "DICT_4X4_50", p)[1] == [3]


def test_results_are_in_order_of_decreasing_perimeter():
    image = scene(640, 360, 200)
    for marker_id, (cx, side) in zip([4, 9, 1], [(100, 80), (300, 160), (520, 120)]):
        paint(image, marker_pattern(marker_bits("DICT_4X4_50", marker_id)), square_corners(cx, 180, side))
    assert morvelin.detect_markers(to_uint8(image), "DICT_4X4_50")[1] == [9, 1, 4]


def test_window_settings():
    image, _ = marker_scene("DICT_4X4_50", [3], size=(300, 300), side=150)
    img = to_uint8(image)
    p = morvelin.DetectorParameters()
    p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max = 23, 3
    assert morvelin.detect_markers(img, "DICT_4X4_50", p) == ([], [])
    p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max, p.adaptive_thresh_win_size_step = 5, 3, 10
    assert morvelin.detect_markers(img, "DICT_4X4_50", p)[1] == [3]  # one window, 5
    p.adaptive_thresh_win_size_step = 0
    with pytest.raises(ValueError, match="^adaptive_thresh_win_size_step must not be zero$"):
        morvelin.detect_markers(img, "DICT_4X4_50", p)
    with pytest.raises(ValueError, match="^adaptive_thresh_win_size_step must not be zero$"):
        morvelin.detect_markers_batch([img], "DICT_4X4_50", p)
    for lo, hi, step in [(-2**31, 2**31 - 1, 1 << 30), (2**31 - 10, 2**31 - 1, 2**31 - 1), (3, 2**31 - 1, 2**31 - 1)]:
        p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max, p.adaptive_thresh_win_size_step = lo, hi, step
        morvelin.detect_markers(img, "DICT_4X4_50", p)  # finishes without overflow
    p.adaptive_thresh_win_size_step = 0
    p.corner_refinement_method = morvelin.CORNER_REFINE_APRILTAG
    morvelin.detect_markers(img, "DICT_4X4_50", p)  # the quad path has no windows


def test_unknown_dictionary_comes_before_image_errors():
    with pytest.raises(ValueError) as info:
        morvelin.detect_markers(np.zeros((4, 4, 4), np.uint8), "DICT_4X4_51")
    assert str(info.value) == "unknown dictionary: DICT_4X4_51"
    with pytest.raises(ValueError, match="^unknown dictionary:  DICT_4X4_50$"):
        morvelin.detect_markers_batch([], " DICT_4X4_50")
    assert morvelin.detect_markers(np.zeros((9, 9), np.uint8), "dict_4x4_50") == ([], [])


def test_batch_equals_single_frames():
    frames = []
    for k in range(5):
        image, _ = marker_scene("DICT_4X4_100", [k, k + 10], size=(320, 240), side=90, angle=11 * k)
        frames.append(to_uint8(image, noise=1.0, seed=k))
    frames.append(np.zeros((0, 0), np.uint8))
    frames.append(np.repeat(frames[0][:, :, None], 3, axis=2))
    for method in range(4):
        p = morvelin.DetectorParameters()
        p.corner_refinement_method = method
        batch = morvelin.detect_markers_batch(frames, "DICT_4X4_100", p)
        assert batch == [morvelin.detect_markers(f, "DICT_4X4_100", p) for f in frames]
    assert morvelin.detect_markers_batch(tuple(frames[:2]), "DICT_4X4_100") == \
        [morvelin.detect_markers(f, "DICT_4X4_100") for f in frames[:2]]
    assert morvelin.detect_markers_batch([], "DICT_4X4_50") == []


def test_batch_input_errors():
    good = np.zeros((10, 10), np.uint8)
    with pytest.raises(TypeError, match="^argument 'images': Can't extract `str` to `Vec`$"):
        morvelin.detect_markers_batch("abc", "DICT_4X4_50")
    with pytest.raises(TypeError, match="^argument 'images': "):
        morvelin.detect_markers_batch([good, np.zeros((10, 10), np.float64)], "DICT_4X4_50")
    with pytest.raises(ValueError, match="^image must have 1 or 3 channels$"):
        morvelin.detect_markers_batch([good, np.zeros((10, 10, 2), np.uint8)], "DICT_4X4_50")
    with pytest.raises(TypeError):
        morvelin.detect_markers_batch(5, "DICT_4X4_50")


def test_parameters_are_copied_at_the_call():
    image, _ = marker_scene("DICT_4X4_50", [3], size=(300, 300), side=150)
    p = morvelin.DetectorParameters()
    expected = morvelin.detect_markers(to_uint8(image), "DICT_4X4_50", p)
    p.corner_refinement_method = 1
    assert morvelin.detect_markers(to_uint8(image), "DICT_4X4_50") == expected


def test_threads_share_parameters_and_get_identical_results():
    image, _ = marker_scene("DICT_5X5_250", list(range(6)), size=(640, 480), side=100, angle=3)
    img = to_uint8(image, noise=2.0)
    p = morvelin.DetectorParameters()
    p.corner_refinement_method = morvelin.CORNER_REFINE_SUBPIX
    expected = morvelin.detect_markers(img, "DICT_5X5_250", p)
    results = []

    def work():
        for _ in range(5):
            results.append(morvelin.detect_markers(img, "DICT_5X5_250", p))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20 and all(r == expected for r in results)


@needs_cv2
@pytest.mark.parametrize("dictionary", ["DICT_4X4_50", "DICT_6X6_250", "DICT_APRILTAG_36h11"])
def test_same_ids_and_corners_as_opencv(dictionary):
    import cv2
    image, _ = marker_scene(dictionary, [0, 3, 7, 11, 20, 25], size=(800, 600), side=110, angle=12)
    img = to_uint8(blur(image, 0.7), noise=1.5)
    corners, ids = morvelin.detect_markers(img, dictionary)
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary)))
    cv_corners, cv_ids, _ = detector.detectMarkers(img)
    assert sorted(ids) == sorted(cv_ids.ravel().tolist())
    reference = {int(i): c.reshape(4, 2) for c, i in zip(cv_corners, cv_ids.ravel())}
    for c, marker_id in zip(corners, ids):
        assert corner_error(c, reference[marker_id]) < 1.0


# Photographs and their own family's dense dictionary; a search with any other
# dense dictionary can only find phantoms.
PHANTOM_PHOTOS = [("apriltag/aprilgrid_iphone_crop.pgm", "DICT_APRILTAG_36h11"),
                  ("apriltag/swatbotics_clipboard05.pgm", "DICT_APRILTAG_36h11"),
                  ("apriltag/duckietown_multiple_crop.pgm", "DICT_APRILTAG_36h11"),
                  ("real/opencv_singlemarkersoriginal.jpg", "DICT_6X6_1000"),
                  ("real/opencv_calib_img_01.jpg", "DICT_6X6_1000"),
                  ("charuco/choriginal.pgm", "DICT_6X6_1000"),
                  ("charuco/chocclusion.pgm", "DICT_6X6_1000")]
DENSE_DICTIONARIES = ["DICT_4X4_1000", "DICT_5X5_1000", "DICT_6X6_1000", "DICT_7X7_1000",
                      "DICT_APRILTAG_16h5", "DICT_APRILTAG_36h11", "DICT_ARUCO_ORIGINAL"]


@needs_cv2
@pytest.mark.parametrize("min_side", [32, 0])
def test_wrong_dictionaries_find_no_more_phantoms_than_opencv(min_side):
    import cv2
    params = morvelin.DetectorParameters()
    params.min_side_length_canonical_img = min_side
    cv_params = cv2.aruco.DetectorParameters()
    cv_params.minSideLengthCanonicalImg = min_side
    data = pathlib.Path(__file__).resolve().parents[1] / "data"
    for name, own in PHANTOM_PHOTOS:
        image = cv2.imread(str(data / name), cv2.IMREAD_GRAYSCALE)
        ours = theirs = 0
        for dictionary in DENSE_DICTIONARIES:
            if dictionary == own:
                continue
            ours += len(morvelin.detect_markers(image, dictionary, params)[1])
            detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(getattr(cv2.aruco, dictionary)),
                                               cv_params)
            ids = detector.detectMarkers(image)[1]
            theirs += 0 if ids is None else len(ids)
        assert ours <= theirs, name


@needs_cv2
def test_aprilgrid_tags_with_two_cell_borders_as_opencv_reads_them():
    import cv2
    image = cv2.imread(str(pathlib.Path(__file__).resolve().parents[1] / "data" / "apriltag" /
                           "aprilgrid_iphone_crop.pgm"), cv2.IMREAD_GRAYSCALE)
    cv_params = cv2.aruco.DetectorParameters()
    cv_params.markerBorderBits = 2
    cv_params.cornerRefinementMethod = cv2.aruco.CORNER_REFINE_SUBPIX
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_APRILTAG_36h11), cv_params)
    cv_corners, cv_ids, _ = detector.detectMarkers(image)
    reference = {int(i): c.reshape(4, 2) for c, i in zip(cv_corners, cv_ids.ravel())}
    assert len(reference) == 4
    params = morvelin.DetectorParameters()
    params.marker_border_bits = 2
    for method, tolerance in ((morvelin.CORNER_REFINE_SUBPIX, 1e-3), (morvelin.CORNER_REFINE_APRILTAG, 0.6)):
        params.corner_refinement_method = method
        corners, ids = morvelin.detect_markers(image, "DICT_APRILTAG_36h11", params)
        assert sorted(ids) == sorted(reference)  # of a 66-tag grid, each once
        assert max(corner_error(c, reference[i]) for c, i in zip(corners, ids)) < tolerance
