"""morvelin.dask.detect_files on a local cluster of worker processes."""

import numpy as np
import pytest

import morvelin

distributed = pytest.importorskip("distributed")
Image = pytest.importorskip("PIL.Image")

from morvelin.dask import detect_files  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def test_results_equal_local_detection_in_input_order(client, tmp_path):
    paths = []
    for k in range(7):
        image = np.full((220, 260), 255, np.uint8)
        image[30:30 + 96, 20:20 + 96] = morvelin.generate_marker_image("DICT_5X5_100", 10 + k, 96)
        if k % 2:
            image[100:100 + 84, 150:150 + 84] = morvelin.generate_marker_image("DICT_5X5_100", 90 - k, 84)
        path = tmp_path / f"frame{k}.png"
        Image.fromarray(image).save(path)
        paths.append(path)
    params = morvelin.DetectorParameters()
    params.corner_refinement_method = morvelin.CORNER_REFINE_SUBPIX
    params.adaptive_thresh_constant = 9.0
    local = [morvelin.detect_markers(np.asarray(Image.open(p)), "DICT_5X5_100", params) for p in paths]
    remote = detect_files(paths, "DICT_5X5_100", params, client=client, chunk_size=3)
    assert remote == local
    assert [sorted(ids) for _, ids in remote] == [[10 + k] if k % 2 == 0 else sorted([10 + k, 90 - k])
                                                  for k in range(7)]
    # The default client is found by itself; default parameters differ from these.
    assert detect_files(paths[:2], "DICT_5X5_100", chunk_size=1) == \
        [morvelin.detect_markers(np.asarray(Image.open(p)), "DICT_5X5_100") for p in paths[:2]]


def test_bad_files_and_arguments(client, tmp_path):
    good = tmp_path / "good.png"
    Image.fromarray(np.pad(morvelin.generate_marker_image("DICT_4X4_50", 3, 60), 20, constant_values=255)).save(good)
    bad = tmp_path / "bad.png"
    bad.write_bytes(b"not an image")
    assert detect_files([good, bad, good], "DICT_4X4_50", client=client, on_error="none")[1] is None
    with pytest.raises(OSError, match="bad.png"):
        detect_files([good, bad], "DICT_4X4_50", client=client)
    with pytest.raises(ValueError, match="^unknown dictionary: DICT_4X4_51$"):
        detect_files([good], "DICT_4X4_51", client=client)
    with pytest.raises(ValueError, match="chunk_size"):
        detect_files([good], "DICT_4X4_50", client=client, chunk_size=0)
    assert detect_files([], "DICT_4X4_50", client=client) == []
