"""generate_marker_image and CharucoBoard.generate_image: the images decode
back to what was drawn."""

import numpy as np
import pytest

import morvelin
from rendering import marker_bits

SIZES = {"DICT_ARUCO_ORIGINAL": 1024, "DICT_ARUCO_MIP_36h12": 250, "DICT_APRILTAG_16h5": 30,
         "DICT_APRILTAG_25h9": 35, "DICT_APRILTAG_36h10": 2320, "DICT_APRILTAG_36h11": 587}


def dictionary_size(name):
    return SIZES.get(name) or int(name.rsplit("_", 1)[1])


def subpix():
    params = morvelin.DetectorParameters()
    params.corner_refinement_method = morvelin.CORNER_REFINE_SUBPIX
    return params


def outline(pad, side):
    """The marker's outer edge in pixel-centre coordinates."""
    a, b = pad - 0.5, pad + side - 0.5
    return np.array([[a, a], [b, a], [b, b], [a, b]])


@pytest.mark.parametrize("dictionary", morvelin.predefined_dictionaries())
def test_every_dictionary_round_trips(dictionary):
    size = dictionary_size(dictionary)
    n = marker_bits(dictionary, 0).shape[0]
    for marker_id, side in ((0, 12 * (n + 2)), (size // 2, 12 * (n + 2) + 5), (size - 1, 97)):
        image = morvelin.generate_marker_image(dictionary, marker_id, side)
        assert image.shape == (side, side) and image.dtype == np.uint8
        # The data cells are the table's bits as printed (white = 1).
        cell = side / (n + 2)
        centres = ((np.arange(n) + 1.5) * cell).astype(int)
        assert np.array_equal(image[np.ix_(centres, centres)] // 255, marker_bits(dictionary, marker_id))
        pad = 40
        scene = np.pad(image, pad, constant_values=255)
        corners, ids = morvelin.detect_markers(scene, dictionary, subpix())
        assert ids == [marker_id], (dictionary, marker_id, side)
        assert np.abs(np.array(corners[0]) - outline(pad, side)).max() <= 0.25, (dictionary, marker_id)


@pytest.mark.parametrize("method, refit", [(0, False), (1, False), (2, False), (3, False), (0, True)])
def test_wider_borders_are_read_with_marker_border_bits(method, refit):
    pad, side = 40, 160  # 16 px cells for 6x6 data with two-cell borders, 20 px with 4x4 data
    for dictionary, marker_id, bits in (("DICT_APRILTAG_36h11", 5, 2), ("DICT_4X4_50", 9, 3)):
        scene = np.pad(morvelin.generate_marker_image(dictionary, marker_id, side, border_bits=bits), pad,
                       constant_values=255)
        params = subpix() if method == 1 else morvelin.DetectorParameters()
        params.corner_refinement_method = method
        params.april_tag_refine_full_resolution = refit
        params.marker_border_bits = bits
        corners, ids = morvelin.detect_markers(scene, dictionary, params)
        assert ids == [marker_id], (dictionary, method)
        assert np.abs(np.array(corners[0]) - outline(pad, side)).max() <= (0.25 if method in (1, 3) or refit
                                                                          else 0.51)


def test_marker_image_array_borders_and_errors():
    image = morvelin.generate_marker_image("dict_4x4_50", 7, 60, border_bits=2)
    assert image.flags.c_contiguous and image.flags.writeable and image.base is None
    assert set(np.unique(image)) == {0, 255}
    assert not image[:15].any() and not image[:, :15].any() and not image[-15:].any()  # two 7.5-pixel cells
    assert np.array_equal(morvelin.generate_marker_image("DICT_4X4_50", 7, 60, 2), image)

    with pytest.raises(ValueError, match="^unknown dictionary: DICT_4X4_51$"):
        morvelin.generate_marker_image("DICT_4X4_51", 0, 60)
    with pytest.raises(ValueError, match=r"^id 50 is out of range for DICT_4X4_50 \(0 to 49\)$"):
        morvelin.generate_marker_image("DICT_4X4_50", 50, 60)
    with pytest.raises(ValueError, match="^id -1 is out of range"):
        morvelin.generate_marker_image("DICT_4X4_50", -1, 60)
    with pytest.raises(ValueError, match="^side_pixels must be at least 8 .* got 7$"):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 7)
    with pytest.raises(ValueError, match="^side_pixels must be at least 10 .* got 9$"):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 9, border_bits=2)
    with pytest.raises(ValueError, match="^border_bits must be at least 1, got 0$"):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 60, border_bits=0)
    with pytest.raises(ValueError, match="^side_pixels must be at least more than"):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 60, border_bits=2**62)
    with pytest.raises(ValueError, match="^side_pixels must be at most 4294967295"):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 2**32)
    with pytest.raises(MemoryError):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 2**32 - 1)
    with pytest.raises(TypeError, match="^argument 'id': "):
        morvelin.generate_marker_image("DICT_6X6_50", "3", 60)
    with pytest.raises(TypeError, match="^argument 'dictionary': "):
        morvelin.generate_marker_image(6, 3, 60)
    with pytest.raises(OverflowError, match="^argument 'side_pixels': "):
        morvelin.generate_marker_image("DICT_6X6_50", 0, 2**70)
    assert morvelin.generate_marker_image.__text_signature__ == "(dictionary, id, side_pixels, border_bits=1)"


def expected_corners(board, squares, width, height, margin):
    """Image positions of the interior corners of a board drawn by
    generate_image: scaled to fit inside the margin, centred."""
    columns, rows = squares
    room_x, room_y = width - 2 * margin, height - 2 * margin
    scale = min(room_x / columns, room_y / rows)  # pixels per square
    ox = margin + (room_x - columns * scale) / 2
    oy = margin + (room_y - rows * scale) / 2
    points = np.array(board.chessboard_corners)[:, :2] / 0.04
    return np.c_[ox + points[:, 0] * scale - 0.5, oy + points[:, 1] * scale - 0.5]


@pytest.mark.parametrize("squares, dictionary, legacy, size, margin", [
    ((5, 7), "DICT_6X6_250", False, (1000, 1400), 50),
    ((5, 4), "DICT_4X4_50", True, (1200, 900), 0),
    ((8, 6), "DICT_APRILTAG_36h11", False, (1500, 1000), 30),
])
def test_generated_boards_round_trip(squares, dictionary, legacy, size, margin):
    board = morvelin.CharucoBoard(*squares, 0.04, 0.03, dictionary, legacy_pattern=legacy)
    image = board.generate_image(*size, margin)
    assert image.shape == (size[1], size[0]) and image.dtype == np.uint8
    # The margin is white; square (0, 0) is dark unless the legacy rule puts a marker there.
    assert (image[:margin] == 255).all() and (image[:, :margin] == 255).all()
    truth = expected_corners(board, squares, *size, margin)
    corner00 = np.round(truth[0] - (truth[1] - truth[0]) * 0.75).astype(int)  # inside square (0, 0)
    assert image[corner00[1], corner00[0]] == (255 if legacy and squares[1] % 2 == 0 else 0)
    corners, ids, _, marker_ids = morvelin.detect_charuco_board(image, board, subpix())
    assert sorted(marker_ids) == sorted(board.ids)
    assert ids == list(range(len(board.chessboard_corners)))
    assert np.abs(np.array(corners) - truth).max() < 0.6


def test_board_with_custom_ids_and_bad_requests():
    ids = list(range(100, 117))
    board = morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_6X6_250", ids=ids)
    image = board.generate_image(700, 900, margin_pixels=20)
    _, corner_ids, _, marker_ids = morvelin.detect_charuco_board(image, board)
    assert sorted(marker_ids) == ids and len(corner_ids) == 24

    with pytest.raises(ValueError, match="^marker id 60 is out of range for DICT_4X4_50"):
        morvelin.CharucoBoard(5, 7, 0.04, 0.02, "DICT_4X4_50", ids=[60] * 17).generate_image(500, 700)
    with pytest.raises(ValueError, match="leaves no room"):
        board.generate_image(500, 700, 250)
    with pytest.raises(ValueError, match="less than one pixel per marker cell"):
        board.generate_image(50, 70)
    with pytest.raises(ValueError, match="^width and height must be between 1 and"):
        board.generate_image(0, 70)
    with pytest.raises(ValueError, match="marker_length <= square_length"):
        morvelin.CharucoBoard(5, 7, 0.04, 0.05, "DICT_4X4_50").generate_image(500, 700)
    with pytest.raises(ValueError, match="without squares"):
        morvelin.CharucoBoard(0, 7, 0.04, 0.02, "DICT_4X4_50").generate_image(500, 700)
    with pytest.raises(MemoryError):
        board.generate_image(2**32 - 1, 2**32 - 1)
    with pytest.raises(TypeError, match="^argument 'margin_pixels': "):
        board.generate_image(500, 700, margin_pixels=1.5)
    assert morvelin.CharucoBoard.generate_image.__text_signature__ == "($self, /, width, height, margin_pixels=0)"
