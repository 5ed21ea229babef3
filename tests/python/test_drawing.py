"""draw_detected_markers and draw_charuco_corners: new BGR images with the
annotations where the points are, inputs untouched."""

import numpy as np
import pytest

import morvelin
from morvelin import drawing

GREEN, RED, BLUE = (0, 255, 0), (0, 0, 255), (255, 0, 0)


def scene():
    image = np.pad(morvelin.generate_marker_image("DICT_4X4_50", 7, 120), 60, constant_values=255)
    corners, ids = morvelin.detect_markers(image, "DICT_4X4_50")
    assert ids == [7]
    return image, corners, ids


def is_colour(image, x, y, colour):
    return tuple(image[int(round(y)), int(round(x))]) == colour


@pytest.mark.parametrize("layout", ["gray", "gray1", "bgr", "strided"])
def test_markers_drawn_on_a_copy(layout):
    gray, corners, ids = scene()
    image = {"gray": gray, "gray1": gray[:, :, None], "bgr": np.dstack([gray, gray // 2, gray]),
             "strided": np.asfortranarray(np.dstack([gray] * 3))}[layout]
    before = image.copy()
    out = morvelin.draw_detected_markers(image, corners, ids)
    assert np.array_equal(image, before)
    assert out.shape == gray.shape + (3,) and out.dtype == np.uint8 and not np.shares_memory(out, image)
    quad = np.array(corners[0])
    # Outline along every side (away from the first-corner mark), first corner red, id at the centre.
    for a in range(4):
        b = (a + 1) % 4
        for t in (0.3, 0.5, 0.7):
            x, y = quad[a] + t * (quad[b] - quad[a])
            assert is_colour(out, x, y, GREEN), (a, t)
    assert is_colour(out, *quad[0], RED)
    assert not is_colour(out, *quad[2], RED)
    centre = quad.mean(axis=0).round().astype(int)
    window = out[centre[1] - 6:centre[1] + 7, centre[0] - 6:centre[0] + 7]
    assert (window == BLUE).all(axis=2).sum() >= 10  # the digit "7"
    # Pixels away from the marker keep their values.
    base = np.broadcast_to(image.reshape(image.shape[0], image.shape[1], -1), out.shape)
    assert np.array_equal(out[:30], base[:30]) and np.array_equal(out[:, -30:], base[:, -30:])
    # Without ids nothing is written inside the marker.
    plain = morvelin.draw_detected_markers(image, corners)
    inner = plain[centre[1] - 6:centre[1] + 7, centre[0] - 6:centre[0] + 7]
    assert not (inner == BLUE).all(axis=2).any()


def test_charuco_corners_and_ids():
    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250")
    image = board.generate_image(500, 700, 20)
    corners, ids, _, _ = morvelin.detect_charuco_board(image, board)
    before = image.copy()
    out = morvelin.draw_charuco_corners(image, corners, ids)
    assert np.array_equal(image, before) and out.shape == (700, 500, 3)
    changed = (out != np.dstack([image] * 3)).any(axis=2)
    for x, y in corners:  # a square outline around every corner
        xi, yi = int(round(x)), int(round(y))
        assert changed[yi - 3:yi + 4, xi - 3:xi + 4].any()
    # Corner ids in their own colour, told apart from marker ids.
    assert drawing.CHARUCO_ID not in (drawing.MARKER_ID, drawing.MARKER_OUTLINE, drawing.FIRST_CORNER)
    labels = (out == drawing.CHARUCO_ID).all(axis=2)
    x, y = np.array(corners[23]).round().astype(int)
    assert labels[y:y + 20, x:x + 30].sum() >= 10  # "23" beside the last corner
    assert changed.sum() < 0.1 * changed.size


def test_not_found_mark():
    image = np.full((120, 200), 200, np.uint8)
    out = drawing.mark_not_found(image)
    assert (image == 200).all() and out.shape == (120, 200, 3)
    red = (out == RED).all(axis=2)
    assert red[0].all() and red[-1].all() and red[:, 0].all() and red[:, -1].all()  # a frame
    assert red[5:20, 5:60].sum() > 40 and not red[40:100, 40:160].any()  # and the words in the corner


def test_bad_inputs_are_refused_or_skipped():
    gray = np.zeros((50, 60), np.uint8)
    quad = [[[10, 10], [40, 10], [40, 40], [10, 40]]]
    with pytest.raises(TypeError):
        morvelin.draw_detected_markers(gray.astype(np.float32), quad)
    with pytest.raises(TypeError):
        morvelin.draw_detected_markers(gray.tolist(), quad)
    with pytest.raises(ValueError, match="1 or 3 channels"):
        morvelin.draw_detected_markers(np.zeros((5, 5, 4), np.uint8), quad)
    with pytest.raises(ValueError, match="2D"):
        morvelin.draw_charuco_corners(np.zeros(5, np.uint8), [])
    with pytest.raises(ValueError, match="N x 4 x 2"):
        morvelin.draw_detected_markers(gray, [[[1, 2], [3, 4]]])
    with pytest.raises(ValueError, match="N x 2"):
        morvelin.draw_charuco_corners(gray, [[1, 2, 3]])
    with pytest.raises(ValueError, match="ids has 2 entries for 1 corners"):
        morvelin.draw_detected_markers(gray, quad, [1, 2])
    with pytest.raises(TypeError):
        morvelin.draw_charuco_corners(gray, "12")
    # Nothing to draw, non-finite and far-away points: no error, nothing drawn off-image.
    assert np.array_equal(morvelin.draw_detected_markers(gray, [], []), np.zeros((50, 60, 3), np.uint8))
    out = morvelin.draw_detected_markers(gray, [[[np.nan, 1], [2, 2], [3, 3], [4, 4]]], [1])
    assert not out.any()
    far = morvelin.draw_detected_markers(gray, [[[-1e12, -1e12], [1e12, -1e12], [1e12, 1e12], [-1e12, 1e12]]])
    assert not far.any()
    crossing = morvelin.draw_detected_markers(gray, [[[-1e9, 25], [1e9, 25], [1e9, 26], [-1e9, 26]]])
    assert (crossing[25] == GREEN).all()
    edge = morvelin.draw_charuco_corners(gray, [[0, 0], [59, 49], [1e9, 1e9]], [1, 2, 3])
    assert edge[:4, :4].any() and edge[-4:, -4:].any() and not edge[22:40, 22:45].any()
