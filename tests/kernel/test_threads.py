"""Threads: the same bits for every count and split, concurrent callers, the caller's
floating-point environment, and Ctrl-C during a long call."""

import signal
import subprocess
import sys
import threading

import numpy as np
import pytest
from support.bits import assert_same_bits

import _voxwarpkit
import _voxwarpkit_testing as testing
import voxwarpkit

MATRIX = np.float32([0.97, -0.2, 0.05, 0.4, 0.2, 0.97, 0.01, -0.3, -0.04, 0.02, 1.01, 0.2])
VOXEL = np.float32([1.0, 1.2, 0.8])

# Shapes whose splits are odd: one row, one slice, one column, a stack of one,
# fewer slices than threads, and more rows than a piece.
SHAPES = [(1, 1, 300), (1, 37, 70), (3, 1, 130), (1, 5, 9, 200), (2, 3, 40, 41), (97, 5, 65), (1, 2, 3), (40, 300, 1)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_every_thread_count_gives_the_same_bits(shape):
    rng = np.random.default_rng(len(shape) * 1000 + shape[-1])
    image = rng.standard_normal(shape).astype(np.float32)
    expected = _voxwarpkit.transform(image, VOXEL, MATRIX)
    stack = image if image.ndim == 4 else image[None]
    matrices = np.stack([MATRIX * np.float32(1 + 0.01 * k) for k in range(stack.shape[0])])
    per_volume = voxwarpkit.resample(stack, VOXEL, matrices, threads=1)
    for threads in range(2, 9):
        assert_same_bits(voxwarpkit.transform(image, VOXEL, MATRIX, threads=threads), expected)
        assert_same_bits(voxwarpkit.resample(stack, VOXEL, matrices, threads=threads), per_volume)


def test_concurrent_threaded_calls_give_the_bits_of_sequential_ones():
    rng = np.random.default_rng(5)
    cases = [
        (rng.standard_normal((2, 19, 27, 65)).astype(code), VOXEL, MATRIX * np.float32(1 + k / 50))
        for k, code in enumerate("fdhBfd")
    ]
    sequential = [_voxwarpkit.transform(*case) for case in cases]
    start = threading.Barrier(len(cases))
    results = [None] * len(cases)

    def run(k):
        start.wait()
        results[k] = [voxwarpkit.transform(*cases[k], threads=3) for _ in range(10)]

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(cases))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k, expected in enumerate(sequential):
        for result in results[k]:
            assert_same_bits(result, expected)


@pytest.mark.parametrize("rounding", ["upward", "toward zero"])
def test_worker_threads_ignore_and_keep_the_callers_environment(rounding):
    image = np.random.default_rng(1).standard_normal((3, 40, 50, 60)) * 1e-39  # subnormal floats
    expected = _voxwarpkit.transform(image, VOXEL, MATRIX)
    for call in (
        lambda: voxwarpkit.transform(image, VOXEL, MATRIX, threads=4),
        lambda: voxwarpkit.resample(image, VOXEL, MATRIX, threads=4, edges="transform"),
    ):
        result, kept = testing.call_in_float_environment(rounding, True, True, False, call)
        assert_same_bits(result, expected)
        assert kept, "the caller's floating-point environment was not restored"


INTERRUPTED = r"""
import os, signal, sys, threading, time
import numpy as np
import voxwarpkit

# Ctrl-C's own handler, even where this process was started with SIGINT ignored (a shell
# ignores it in what it starts in the background, and Python then leaves it so).
signal.signal(signal.SIGINT, signal.default_int_handler)

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

image = np.random.default_rng(0).random((64, 64, 64), dtype=np.float32)
# About 5e8 output voxels, every one sampled: several seconds of work.
shape = (800, 820, 820)
spacing = [64 / 820, 64 / 820, 64 / 800]
before = resident()
signaller = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
signaller.start()
try:
    voxwarpkit.resample(image, [1, 1, 1], np.eye(3, 4), shape=shape, output_voxel_size=spacing,
                        threads=int(sys.argv[1]))
    print("finished")
except KeyboardInterrupt:
    print("interrupted", resident() - before < 64 * 2**20)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_call_and_frees_its_result(threads):
    proc = subprocess.run(
        [sys.executable, "-c", INTERRUPTED, str(threads)], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["interrupted", "True"]
    assert signal.SIGINT  # the signal above is the one Ctrl-C sends
