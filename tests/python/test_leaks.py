"""Leak checks: every function, succeeding and failing at each stage of
argument handling, called again and again must not hold on to memory or to
references.

The reference-count check runs with the default suite. The long loops are
marked `slow` and run only with --slow (make test-leaks): 10**5 calls of each
function with resident memory compared before and after, and the Python
allocations traced across 2000 calls."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import morvelin
from workloads import calls, failing_calls

CALLS = {**calls("tiny"), **failing_calls("tiny")}
CLASSES = (morvelin.DetectorParameters, morvelin.CharucoBoard, morvelin.RigidBody, morvelin.RigidBodyPose,
           morvelin.CameraCalibration)
PAGE = os.sysconf("SC_PAGE_SIZE")


def watched(call):
    """Objects whose reference counts must not change: the call's container,
    array and class-instance arguments, and the module's classes. Numbers and
    strings are left out, being shared by the interpreter."""
    kinds = (list, tuple, dict, np.ndarray, *CLASSES)
    return [obj for obj in call.arguments() if isinstance(obj, kinds)] + list(CLASSES)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@pytest.mark.parametrize("name", CALLS)
def test_reference_counts_of_arguments_and_classes_stay_put(name):
    call = CALLS[name]
    call.repeat(5)
    gc.collect()
    objects = watched(call)
    before = [sys.getrefcount(obj) for obj in objects]
    call.repeat(200)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    grown = [(type(obj).__name__, b, a) for obj, b, a in zip(objects, before, after) if a != b]
    assert not grown


@pytest.mark.slow
@pytest.mark.parametrize("name", CALLS)
def test_python_allocations_and_objects_do_not_grow(name):
    call = CALLS[name]
    call.repeat(200)
    gc.collect()
    objects_before = len(gc.get_objects())
    call.repeat(2000)
    gc.collect()
    assert len(gc.get_objects()) - objects_before < 20  # objects tracked by the collector
    tracemalloc.start()
    try:
        # Caches of other libraries (NumPy's dtype names, for one) fill up
        # during the first traced calls; only a second round is compared.
        call.repeat(2000)
        gc.collect()
        first = tracemalloc.take_snapshot()
        call.repeat(2000)
        gc.collect()
        second = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    growth = sum(stat.size_diff for stat in second.filter_traces(ignore).compare_to(first.filter_traces(ignore),
                                                                                    "filename"))
    # One object kept per call would add at least 2000 x 16 bytes; NumPy's own
    # strings (dtype names in error messages) account for a few kilobytes.
    assert growth < 16 * 1024


@pytest.mark.slow
@pytest.mark.parametrize("name", CALLS)
def test_resident_memory_stays_flat_over_100000_calls(name):
    call = CALLS[name]
    call.repeat(3000)
    gc.collect()
    before = resident_bytes()
    call.repeat(100_000)
    gc.collect()
    grown = resident_bytes() - before
    # Even 16 bytes kept per call would add 1.6 MB.
    assert grown < 1 << 20, f"{grown} bytes"
