"""Benchmark scenes: markers of many sizes under perspective, blur and noise,
rendered from the module's own code tables with known ground truth."""

from __future__ import annotations

import numpy as np

from rendering import blur, homography, marker_bits, marker_pattern, paint, scene, to_uint8


def random_quad(rng, cx, cy, side):
    """A perspective-distorted square around (cx, cy), clockwise from top-left."""
    angle = rng.uniform(0, 2 * np.pi)
    half = side / 2
    base = np.array([[-half, -half], [half, -half], [half, half], [-half, half]])
    rot = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    quad = base @ rot.T
    quad += rng.uniform(-0.12, 0.12, quad.shape) * side  # perspective-like corner jitter
    return quad + [cx, cy]


def marker_frame(width, height, dictionary="DICT_4X4_50", count=None, seed=0, sides=(24, 160)):
    """One frame with markers on a jittered grid; returns (image, {id: corners})."""
    rng = np.random.default_rng(seed)
    background = rng.uniform(60, 200)
    image = scene(width, height, background)
    # faint texture so the threshold sees something everywhere
    image += rng.normal(0, 6, (height // 8 + 1, width // 8 + 1)).repeat(8, 0).repeat(8, 1)[:height, :width]
    cell = max(sides[1] * 1.5, min(width, height) / 4)
    cols, rows = int(width // cell), int(height // cell)
    truth = {}
    ids = rng.permutation(50)
    k = 0
    for r in range(rows):
        for c in range(cols):
            if count is not None and k >= count:
                break
            side = rng.uniform(*sides)
            cx = (c + 0.5) * cell + rng.uniform(-0.15, 0.15) * cell
            cy = (r + 0.5) * cell + rng.uniform(-0.15, 0.15) * cell
            quad = random_quad(rng, cx, cy, side)
            marker_id = int(ids[k % 50])
            # a white quiet zone of one cell, as printed markers have
            bits = marker_bits(dictionary, marker_id)
            paint(image, marker_pattern(bits, quiet_zone=1), _with_quiet_zone(quad, bits.shape[0] + 2))
            truth[marker_id] = quad
            k += 1
    image = blur(image, rng.uniform(0.5, 1.0))
    return to_uint8(image, noise=2.0, seed=seed), truth


def clean_frame(width, height, dictionary="DICT_4X4_50", seed=0):
    """A few markers on white paper against a smooth, evenly lit surround:
    little for the threshold to find besides the markers."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    image = 150 + 30 * np.sin(xx / width * 2.0 + rng.uniform(0, 6)) * np.cos(yy / height * 1.5)
    truth = {}
    ids = rng.permutation(50)
    for k in range(4):
        side = rng.uniform(0.08, 0.2) * min(width, height)
        cx = (k % 2 + 0.5) * width / 2 + rng.uniform(-0.1, 0.1) * width
        cy = (k // 2 + 0.5) * height / 2 + rng.uniform(-0.1, 0.1) * height
        quad = random_quad(rng, cx, cy, side)
        bits = marker_bits(dictionary, int(ids[k]))
        paint(image, marker_pattern(bits, quiet_zone=2), _with_quiet_zone(quad, bits.shape[0] + 2, 2))
        truth[int(ids[k])] = quad
    return to_uint8(blur(image, 0.6), noise=1.5, seed=seed), truth


def cluttered_frame(width, height, dictionary="DICT_4X4_50", seed=0):
    """Markers among many dark and light shapes on a textured background."""
    image, truth = marker_frame(width, height, dictionary, seed=seed)
    rng = np.random.default_rng(seed + 1000)
    clutter = image.astype(float)
    for _ in range(int(width * height / 4000)):
        x, y = rng.uniform(0, width), rng.uniform(0, height)
        if any(np.hypot(*(np.mean(q, axis=0) - (x, y))) < 0.9 * np.ptp(q[:, 0]) for q in truth.values()):
            continue
        w, h = rng.uniform(3, 40, 2)
        x0, y0 = int(max(0, x - w / 2)), int(max(0, y - h / 2))
        clutter[y0:int(y + h / 2), x0:int(x + w / 2)] = rng.uniform(0, 255)
    return to_uint8(blur(clutter, 0.7), noise=3.0, seed=seed), truth


SCENE_KINDS = {"clean": clean_frame, "markers": marker_frame, "cluttered": cluttered_frame}


def _with_quiet_zone(quad, cells, zone=1):
    """Outer corners of a quiet zone `zone` cells wide round the marker
    `quad`, along the same perspective mapping."""
    h = homography(np.array([[0, 0], [cells, 0], [cells, cells], [0, cells]], float), quad)
    z = zone
    grid = np.array([[-z, -z, 1], [cells + z, -z, 1], [cells + z, cells + z, 1], [-z, cells + z, 1]], float)
    mapped = grid @ h.T
    return mapped[:, :2] / mapped[:, 2:]


def recall(found_ids, truth):
    return len(set(found_ids) & set(truth)) / max(1, len(truth))


def corner_rmse(corners, ids, truth):
    errors = []
    for c, i in zip(corners, ids):
        if i in truth:
            errors.append(np.sum((np.asarray(c, float).reshape(4, 2) - truth[i]) ** 2, axis=1))
    return float(np.sqrt(np.mean(np.concatenate(errors)))) if errors else float("nan")


# Chessboard scenes. Boards are drawn at four times the resolution and
# averaged down (exact area anti-aliasing); pixel centres sit at integer
# coordinates, so full-size x maps to 4x + 1.5 on the fine grid.
_FINE = 4


def chessboard_view(columns, rows, size, condition, seed, shift=0.0, board=True):
    """A (columns + 1) x (rows + 1) board on a paper margin, seen by a pinhole
    camera at a random pose, under `condition`: "clean", "blurred" (blur and
    noise) or "uneven" (light falling to 15-35% across the board), moved
    right by `shift` times the image width (partly out of the frame). Returns
    the image and the interior corners in board row-major order. Without
    `board` the same scene is drawn without the board."""
    import cv2

    rng = np.random.default_rng(seed)
    width, height = size
    h = np.array([[1, 0, shift * width], [0, 1, 0], [0, 0, 1]]) @ _board_pose(rng, columns + 1, rows + 1, width, height)
    fine = np.array([[_FINE, 0, 1.5], [0, _FINE, 1.5], [0, 0, 1]], float) @ h
    squares = (np.indices((rows + 3, columns + 3)).sum(axis=0) % 2 == 1).astype(np.float32)
    squares[0, :] = squares[-1, :] = squares[:, 0] = squares[:, -1] = 1.0  # paper margin
    # Board unit u lies on the edge between pattern pixels 64 (u + 1) - 1 and
    # 64 (u + 1): the margin square (0, 0) covers units [-1, 0) x [-1, 0).
    pattern = cv2.resize(squares, None, fx=64, fy=64, interpolation=cv2.INTER_NEAREST)
    to_pattern = np.array([[64, 0, 63.5], [0, 64, 63.5], [0, 0, 1]], float)
    warp = fine @ np.linalg.inv(to_pattern)
    drawn = cv2.warpPerspective(pattern * 190 + 25, warp, (width * _FINE, height * _FINE), flags=cv2.INTER_NEAREST,
                                borderMode=cv2.BORDER_CONSTANT, borderValue=-1.0)
    background = _texture(rng, width * _FINE, height * _FINE, 60, 170)
    image = np.where(drawn >= 0, drawn, background) if board else background
    image = cv2.resize(image, (width, height), interpolation=cv2.INTER_AREA).astype(float)
    if condition == "blurred":
        image = cv2.GaussianBlur(image, (0, 0), rng.uniform(1.5, 2.5))
        noise = 6.0
    else:
        image = cv2.GaussianBlur(image, (0, 0), 0.8)
        noise = 2.0
    if condition == "uneven":
        image *= _light_falloff(rng, h, columns + 1, rows + 1, width, height)
    grid = np.array([[c, r, 1.0] for r in range(1, rows + 1) for c in range(1, columns + 1)]) @ h.T
    return to_uint8(image, noise=noise, seed=seed), grid[:, :2] / grid[:, 2:]


def _board_pose(rng, squares_x, squares_y, width, height):
    """Homography from board units to image pixels: a random roll, a tilt of
    up to 35 degrees, the board spanning 45-80% of the shorter image side and
    kept a square clear of the image edges."""
    focal = 1.1 * width
    for _ in range(1000):
        ax, ay = np.radians(rng.uniform(-35, 35, 2))
        roll = rng.uniform(0, 2 * np.pi)
        rx = np.array([[1, 0, 0], [0, np.cos(ax), -np.sin(ax)], [0, np.sin(ax), np.cos(ax)]])
        ry = np.array([[np.cos(ay), 0, np.sin(ay)], [0, 1, 0], [-np.sin(ay), 0, np.cos(ay)]])
        rz = np.array([[np.cos(roll), -np.sin(roll), 0], [np.sin(roll), np.cos(roll), 0], [0, 0, 1]])
        r = rx @ ry @ rz
        span = rng.uniform(0.45, 0.8) * min(width, height)
        distance = focal * max(squares_x, squares_y) / span
        centre = np.array([squares_x / 2, squares_y / 2, 0.0])
        offset = rng.uniform(-0.25, 0.25, 2) * [width, height] / focal * distance
        t = np.array([offset[0], offset[1], distance]) - r @ centre
        k = np.array([[focal, 0, width / 2], [0, focal, height / 2], [0, 0, 1]])
        h = k @ np.c_[r[:, 0], r[:, 1], t]
        h /= h[2, 2]
        outline = np.array([[-1, -1, 1], [squares_x + 1, -1, 1], [squares_x + 1, squares_y + 1, 1],
                            [-1, squares_y + 1, 1]], float) @ h.T
        outline = outline[:, :2] / outline[:, 2:]
        if (outline.min(axis=0) > 2).all() and (outline.max(axis=0) < [width - 3, height - 3]).all():
            return h
    raise RuntimeError("no pose fits the image")


def _light_falloff(rng, h, squares_x, squares_y, width, height):
    """Light falling linearly from 1 to 0.15-0.35 between two opposite edges
    of the board, in a random direction."""
    ends = np.array([[0, 0, 1], [squares_x, squares_y, 1]], float) @ h.T
    ends = ends[:, :2] / ends[:, 2:]
    if rng.uniform() < 0.5:
        ends = ends[::-1]
    axis = ends[1] - ends[0]
    ys, xs = np.mgrid[0:height, 0:width]
    along = ((xs - ends[0, 0]) * axis[0] + (ys - ends[0, 1]) * axis[1]) / (axis @ axis)
    return 1.0 - (1.0 - rng.uniform(0.15, 0.35)) * np.clip(along, 0.0, 1.0)


def _texture(rng, width, height, low, high):
    """Smooth random texture: noise summed over several scales."""
    import cv2

    out = np.zeros((height, width))
    for cell, weight in ((256, 1.0), (64, 0.6), (16, 0.35), (4, 0.2)):
        coarse = rng.normal(0, 1, (height // cell + 2, width // cell + 2))
        out += weight * cv2.resize(coarse, (width + 2 * cell, height + 2 * cell),
                                   interpolation=cv2.INTER_CUBIC)[cell:cell + height, cell:cell + width]
    out = (out - out.min()) / max(1e-9, np.ptp(out))
    return low + (high - low) * out


def no_board_frame(kind, size, seed):
    """A frame without a chessboard: "texture" (smooth random texture),
    "rectangles" (many overlapping boxes and tiles: a wealth of quads) or
    "text" (a page of printed lines)."""
    import cv2
    from PIL import Image, ImageDraw, ImageFont

    rng = np.random.default_rng(seed)
    width, height = size
    if kind == "texture":
        image = _texture(rng, width, height, 20, 235)
    elif kind == "rectangles":
        image = _texture(rng, width, height, 90, 170)
        scale = min(width, height) / 480
        for _ in range(int(250 * scale)):
            side = rng.uniform(8, 70, 2) * scale
            box = cv2.boxPoints(((rng.uniform(0, width), rng.uniform(0, height)), tuple(side), rng.uniform(0, 90)))
            cv2.fillConvexPoly(image, np.round(box * 16).astype(np.int32), float(rng.choice([rng.uniform(10, 60),
                               rng.uniform(190, 245)])), lineType=cv2.LINE_AA, shift=4)
    elif kind == "text":
        page = Image.new("L", (width, height), 225)
        draw = ImageDraw.Draw(page)
        line = max(12, height // 30)
        font = ImageFont.load_default(size=line * 0.8)
        letters = "abcdefghijklmnopqrstuvwxyz     ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;"
        for y in range(line // 2, height - line, line):
            words = "".join(rng.choice(list(letters), 4 * width // line))
            draw.text((line // 2, y), words, fill=int(rng.uniform(15, 60)), font=font)
        image = np.asarray(page, float)
    else:
        raise ValueError(kind)
    image = cv2.GaussianBlur(image.astype(float), (0, 0), 0.8)
    return to_uint8(image, noise=2.0, seed=seed)
