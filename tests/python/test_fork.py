"""Detection in processes made by fork(): a child of a process whose worker
pool has run (even while other threads were using it) must detect correctly
and never hang. Every wait here has a deadline, so a hang fails the test."""

import multiprocessing
import os
import pickle
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import morvelin
from conftest import UNDER_ADDRESS_SANITIZER
from rendering import charuco_scene, marker_scene, to_uint8
from workloads import chessboard, parameters

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

DEADLINE = 60.0
CAMERA = [[700.0, 0.0, 400.0], [0.0, 700.0, 300.0], [0.0, 0.0, 1.0]]


def _markers():
    image, _ = marker_scene("DICT_4X4_50", [1, 7, 22], size=(640, 480), side=110, angle=5)
    return to_uint8(image, noise=1.0)


MARKERS = _markers()
CHARUCO, _marker_length = charuco_scene(5, 4, "DICT_4X4_50", CAMERA, [0.1, -0.2, 0.05], [-0.1, -0.08, 0.42])[:2]
BOARD = morvelin.CharucoBoard(5, 4, 0.04, _marker_length, "DICT_4X4_50")
CHESS = chessboard(7, 5, 40)
PARAMETERS = parameters()


def everything():
    """One call of each function that uses the worker pool."""
    return (
        morvelin.detect_markers(MARKERS, "DICT_4X4_50", PARAMETERS["subpix"]),
        morvelin.detect_markers(MARKERS, "DICT_4X4_50", PARAMETERS["april"]),
        morvelin.detect_markers_batch([MARKERS, MARKERS[::-1].copy(), MARKERS], "DICT_4X4_50"),
        morvelin.detect_charuco_board(CHARUCO, BOARD),
        morvelin.find_chessboard_corners(CHESS, (7, 5)),
    )


def thread_count():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def run_in_child(function):
    """Runs function() in a forked child; returns its value, or fails when the
    child raises, dies or does not answer before the deadline."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never return into the test runner
        code = 0
        try:
            os.close(read_end)
            payload = pickle.dumps(("value", function()))
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            payload, code = pickle.dumps(("error", repr(error))), 1
        with os.fdopen(write_end, "wb") as pipe:
            pipe.write(payload)
        os._exit(code)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + DEADLINE
    with os.fdopen(read_end, "rb") as pipe:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([pipe], [], [], remaining)[0]:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                pytest.fail("forked child hung")
            chunk = os.read(pipe.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    assert chunks, f"child died with status {status}"
    kind, value = pickle.loads(b"".join(chunks))
    assert kind == "value", value
    return value


# This compiler's AddressSanitizer runtime does not hold its allocator locks
# across fork(), so a child forked while another thread allocates can inherit
# a taken lock and hang in its first malloc, whatever the module does.
@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's allocator is not fork-safe")
def test_child_forked_while_other_threads_use_the_pool():
    expected = everything()
    stop = threading.Event()

    def keep_pool_busy():
        while not stop.is_set():
            morvelin.detect_markers_batch([MARKERS] * 4, "DICT_4X4_50")

    threads = [threading.Thread(target=keep_pool_busy) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for delay in (0.0, 0.005, 0.02):
            time.sleep(delay)
            results, threads_in_child = run_in_child(lambda: (everything(), thread_count()))
            assert results == expected
            # The child runs its loops on its own thread: no scheduler threads
            # were started there.
            assert threads_in_child == 1
    finally:
        stop.set()
        for t in threads:
            t.join()


def test_grandchild_after_idle_pool():
    expected = everything()
    assert run_in_child(lambda: run_in_child(everything)) == expected


def _detect_ids(image):
    return morvelin.detect_markers(image, "DICT_4X4_50")[1]


def test_multiprocessing_fork_pool():
    images = [MARKERS, MARKERS[:, ::-1].copy(), np.zeros((50, 50), np.uint8), MARKERS[::2, ::2].copy()] * 3
    expected = [_detect_ids(image) for image in images]
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        try:
            got = pool.map_async(_detect_ids, images).get(timeout=DEADLINE)
        except multiprocessing.TimeoutError:
            pool.terminate()
            pytest.fail("fork pool hung")
    assert got == expected


def _run_script(source):
    env = {k: v for k, v in os.environ.items() if k not in ("MORVELIN_CORES", "RAYON_NUM_THREADS")}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=DEADLINE, env=env, cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_child_exits_normally_after_using_an_inherited_pool():
    # The child returns through interpreter shutdown (not os._exit), so every
    # exit handler of the process runs in it.
    out = _run_script("""
        import os, numpy as np, morvelin
        image = np.zeros((200, 200), np.uint8)
        morvelin.detect_markers_batch([image] * 4, "DICT_4X4_50")
        pid = os.fork()
        if pid == 0:
            morvelin.detect_markers_batch([image] * 4, "DICT_4X4_50")
            print("child done")
        else:
            _, status = os.waitpid(pid, 0)
            print("parent", status)
    """)
    assert "child done" in out and "parent 0" in out


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
def test_child_forked_before_the_pool_started_keeps_a_parallel_pool():
    out = _run_script("""
        import os, time, numpy as np, morvelin
        pid = os.fork()
        if pid == 0:
            morvelin.detect_markers_batch([np.zeros((400, 400), np.uint8)] * 8, "DICT_4X4_50")
            for _ in range(200):
                with open("/proc/self/status") as f:
                    threads = next(int(l.split()[1]) for l in f if l.startswith("Threads:"))
                if threads > 1:
                    break
                time.sleep(0.01)
            print("threads", threads)
            os._exit(0)
        os.waitpid(pid, 0)
    """)
    assert int(out.split()[1]) > 1
