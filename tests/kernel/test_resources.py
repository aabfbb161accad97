"""Nothing leaks, nothing is allocated for refused input, nothing extra is exported."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided
from support.bits import assert_same_bits
from support.reference import resample_reference

import _voxwarpkit

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and ELF symbol tables")


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


IMAGE = np.random.default_rng(0).standard_normal((24, 32, 40)).astype(np.float32)
VOXEL = np.float32([1.0, 1.1, 1.2])
MATRIX = np.float32([1, 0.1, 0, 0.5, -0.1, 1, 0, 0.2, 0, 0, 1, -0.3])

# Success and every failure after the image has been read, when the call holds
# the most buffers.
CALLS = [
    ((IMAGE, VOXEL, MATRIX), None),
    ((IMAGE[None].repeat(2, axis=0), VOXEL, MATRIX), None),
    ((IMAGE.astype(np.int16), VOXEL, MATRIX), None),
    ((IMAGE, VOXEL[:2], MATRIX), ValueError),
    ((IMAGE, VOXEL, MATRIX.astype(np.complex64)), ValueError),
    ((IMAGE, VOXEL.astype(bool), MATRIX.astype(bool)), ValueError),
    ((IMAGE, np.zeros((3, 0), np.float32), MATRIX), ValueError),
    ((IMAGE.astype(np.uint16), VOXEL, MATRIX), ValueError),
    ((IMAGE, VOXEL, [1.0]), TypeError),
]


def call(args, error):
    if error is None:
        return _voxwarpkit.transform(*args)
    with pytest.raises(error):
        _voxwarpkit.transform(*args)
    return None


@linux_only
def test_resident_memory_is_stable_over_thousands_of_calls():
    if address_sanitizer_loaded():
        pytest.skip("AddressSanitizer holds freed memory in quarantine, so resident size cannot show a leak")
    for args, error in CALLS * 20:
        call(args, error)
    before = resident_bytes()
    for args, error in CALLS * 300:
        call(args, error)
    growth = resident_bytes() - before
    # One leaked image buffer per call would be over 300 MB.
    assert growth < 8 * 2**20, f"resident memory grew by {growth} bytes"


@linux_only
@pytest.mark.parametrize(
    "args",
    [
        (as_strided(np.zeros(1, np.float32), shape=(2, 2**30, 1), strides=(0, 0, 0)), VOXEL, MATRIX),
        (as_strided(np.zeros(1, np.uint8), shape=(1, 2**31, 1, 1), strides=(0, 0, 0, 0)), VOXEL, MATRIX),
    ],
)
def test_an_image_of_2_31_elements_is_refused_without_allocating(args):
    before = resident_bytes()
    with pytest.raises(ValueError, match="too large"):
        _voxwarpkit.transform(*args)
    assert resident_bytes() - before < 64 * 2**20


@linux_only
def test_only_the_module_init_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", _voxwarpkit.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert exported == {"PyInit__voxwarpkit"}


@pytest.mark.parametrize("shift", [0.25, 0.5, 0.999])
def test_an_image_read_in_place_is_never_read_past_its_end(shift):
    # Freshly allocated and exactly sized: under AddressSanitizer a read past
    # the last voxel (by the vector kernels' pair loads) stops the run.
    image = np.empty((3, 5, 67), np.float32)
    image[...] = np.random.default_rng(4).standard_normal(image.shape)
    matrix = np.float32([1, 0, 0, shift, 0, 1, 0, shift, 0, 0, 1, shift])
    expected = resample_reference(image, np.ones(3, np.float32), matrix)
    assert_same_bits(_voxwarpkit.transform(image, np.ones(3, np.float32), matrix), expected)


RESULT_ALLOCATION_FAILS = r"""
import os, resource, numpy as np, _voxwarpkit
image = np.zeros((1024, 1024, 1024), np.float32)  # 4 GiB of untouched pages, read in place
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (size + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    np.empty(2**31, np.uint8)
    print("the address-space limit is not enforced here")
except MemoryError:
    try:
        _voxwarpkit.transform(image, np.ones(3, np.float32), np.eye(3, 4, dtype=np.float32).ravel())
    except MemoryError as error:
        print("MemoryError:", error)
"""


@linux_only
def test_a_result_that_cannot_be_allocated_is_a_memory_error_with_the_modules_message():
    if address_sanitizer_loaded():
        pytest.skip("AddressSanitizer reserves its own address space")
    proc = subprocess.run([sys.executable, "-c", RESULT_ALLOCATION_FAILS], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if "not enforced" in proc.stdout:
        pytest.skip(proc.stdout.strip())
    assert proc.stdout.strip() == "MemoryError: Failed to allocate memory in image transform"
