"""Corner refinement methods against OpenCV's: corner RMSE against ground
truth on the markers both find, and detection time with each method."""

from __future__ import annotations

import cv2
import numpy as np

import morvelin
from common import interleaved, table
from scenes import marker_frame

METHODS = [("none", morvelin.CORNER_REFINE_NONE, cv2.aruco.CORNER_REFINE_NONE),
           ("subpix", morvelin.CORNER_REFINE_SUBPIX, cv2.aruco.CORNER_REFINE_SUBPIX),
           ("contour", morvelin.CORNER_REFINE_CONTOUR, cv2.aruco.CORNER_REFINE_CONTOUR),
           ("apriltag", morvelin.CORNER_REFINE_APRILTAG, cv2.aruco.CORNER_REFINE_APRILTAG)]


def detectors(ours_method, cv_method):
    params = morvelin.DetectorParameters()
    params.corner_refinement_method = ours_method
    cv_params = cv2.aruco.DetectorParameters()
    cv_params.cornerRefinementMethod = cv_method
    cv = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_50), cv_params)
    return (lambda img: morvelin.detect_markers(img, "DICT_4X4_50", params)), cv


def as_dict(corners, ids):
    if ids is None:
        return {}
    ids = np.asarray(ids).ravel().tolist()
    return {int(i): np.asarray(c, float).reshape(4, 2) for c, i in zip(corners, ids)}


def run() -> str:
    frames = [marker_frame(1280, 720, seed=s, sides=(40, 160)) for s in range(8)]
    found = {}
    for name, ours_method, cv_method in METHODS:
        ours, cv = detectors(ours_method, cv_method)
        found[("morvelin", name)] = [as_dict(*ours(f)) for f, _ in frames]
        found[("opencv", name)] = [as_dict(*cv.detectMarkers(f)[:2]) for f, _ in frames]
    # RMSE over the markers that every method of both libraries found
    common = [set.intersection(*(set(v[k]) for v in found.values())) for k in range(len(frames))]
    rows = []
    image = frames[0][0]
    for name, ours_method, cv_method in METHODS:
        ours, cv = detectors(ours_method, cv_method)
        t = interleaved({"morvelin": lambda: ours(image), "opencv": lambda: cv.detectMarkers(image)})
        rmse = {}
        for lib in ("morvelin", "opencv"):
            errors = [np.sum((found[(lib, name)][k][i] - truth[i]) ** 2, axis=1)
                      for k, (_, truth) in enumerate(frames) for i in common[k]]
            rmse[lib] = float(np.sqrt(np.mean(np.concatenate(errors))))
        rows.append([name, rmse["morvelin"], rmse["opencv"], t["morvelin"] * 1e3, t["opencv"] * 1e3,
                     t["morvelin"] / t["opencv"]])
    markers = sum(len(c) for c in common)
    return table(f"Corner refinement at 1280x720 (RMSE px over {markers} markers found by all; ms per frame)",
                 ["method", "morvelin RMSE", "OpenCV RMSE", "morvelin ms", "OpenCV ms", "time ratio"], rows)
