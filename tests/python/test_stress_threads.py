"""Every function called from eight Python threads at once, sharing one
DetectorParameters, CharucoBoard and RigidBody: each result must equal the
single-threaded one, and failing calls must fail the same way.

MORVELIN_STRESS_ROUNDS raises the number of rounds (the ThreadSanitizer run
uses it)."""

import os
import random
import threading

import pytest

from workloads import calls, failing_calls, plain

THREADS = 8
ROUNDS = int(os.environ.get("MORVELIN_STRESS_ROUNDS", "6"))
TIMEOUT = 120.0


def run_threads(target):
    errors = []
    start = threading.Barrier(THREADS)

    def guarded(index):
        try:
            start.wait(TIMEOUT)
            target(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if errors:
        raise errors[0]


def test_every_function_from_eight_threads_matches_single_threaded():
    work = calls("medium")
    expected = {name: plain(call()) for name, call in work.items()}
    assert all(expected[name][1] for name in ("detect_markers", "detect_markers_apriltag"))  # markers found
    assert expected["detect_charuco_board"][1] and expected["find_chessboard_corners"][0]
    mismatches = []

    def worker(index):
        order = list(work)
        rng = random.Random(index)
        for _ in range(ROUNDS):
            rng.shuffle(order)  # different interleavings in every thread
            for name in order:
                got = plain(work[name]())
                if got != expected[name]:
                    mismatches.append((index, name))

    run_threads(worker)
    assert not mismatches


def test_failing_calls_from_eight_threads_raise_the_same_errors():
    work = failing_calls("medium")

    def outcome(call):
        with pytest.raises(call.raises) as info:
            call()
        return type(info.value), str(info.value)

    expected = {name: outcome(call) for name, call in work.items()}
    seen = []

    def worker(index):
        order = list(work)
        random.Random(index).shuffle(order)
        for name in order:
            seen.append(outcome(work[name]) == expected[name])

    run_threads(worker)
    assert len(seen) == THREADS * len(work) and all(seen)
