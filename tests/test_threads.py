"""Calls from several threads at once give the bits of sequential calls."""

import subprocess
import sys

SCRIPT = r"""
import threading
import numpy as np
import _voxwarpkit

rng = np.random.default_rng(5)
cases = []
for k in range(8):
    image = rng.standard_normal((2, 9, 17, 35)).astype(["f", "d", "h", "B"][k % 4])
    a = np.deg2rad(7.0 * k)
    matrix = np.float32([np.cos(a), -np.sin(a), 0, 0.3, np.sin(a), np.cos(a), 0, -0.2, 0, 0.1, 1, 0.5])
    cases.append((image, np.float32([1.0, 1.2, 0.8]), matrix))

start = threading.Barrier(len(cases))
concurrent = [None] * len(cases)

def run(k):
    start.wait()  # the first call of the process, which picks the kernel, happens here
    concurrent[k] = [_voxwarpkit.transform(*cases[k]) for _ in range(20)]

threads = [threading.Thread(target=run, args=(k,)) for k in range(len(cases))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

for k, case in enumerate(cases):
    sequential = _voxwarpkit.transform(*case).view(np.uint32)
    assert all((result.view(np.uint32) == sequential).all() for result in concurrent[k]), k
print("same bits")
"""


def test_concurrent_calls_from_a_fresh_process():
    proc = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "same bits"
