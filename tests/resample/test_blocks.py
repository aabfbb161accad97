"""resample of numpy arrays past what one engine job holds: in blocks, with the bits of one call."""

import math
import os

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import random_case
from support.geometry import rotation

import voxwarpkit
from voxwarpkit import _resample


@pytest.mark.parametrize("seed", range(40))
def test_blocks_give_the_bits_of_one_call(seed, monkeypatch):
    rng = np.random.default_rng(seed)
    largest = 0
    while largest <= 16:  # large enough that a job limit of 8 or more still cuts it
        image, voxel_size, matrix, kwargs = random_case(rng)
        shape = kwargs["shape"] or image.shape[-3:]
        largest = max(image.size, math.prod(image.shape[:-3]) * math.prod(shape))
    layout = rng.integers(3)  # the engine reads C-contiguous native windows in place; others are copied
    if layout == 1:
        image = np.asfortranarray(image)
    elif layout == 2:
        image = image.byteswap().view(image.dtype.newbyteorder())
    want = voxwarpkit.resample(image, voxel_size, matrix, **kwargs)
    monkeypatch.setattr(_resample, "JOB_LIMIT", int(rng.integers(8, largest)))
    monkeypatch.setattr(_resample, "BLOCK_ELEMENTS", int(rng.integers(2, 200)))
    assert_same_bits(voxwarpkit.resample(image, voxel_size, matrix, **kwargs), want)


@pytest.mark.skipif(
    os.environ.get("VOXWARPKIT_X86_CPU") is not None,
    reason="2 GiB takes minutes on an emulated processor; the native runs check it",
)
def test_an_image_and_an_output_of_2_31_elements_are_resampled():
    # 16 volumes sharing one array of 2**27 bytes: a read-only view of 2**31 elements, and an output of
    # 2 GiB whose slices past the input's top are fill (they cost no sampling, so the test takes seconds).
    rng = np.random.default_rng(0)
    volume = rng.integers(0, 256, (2**9,) * 3, dtype=np.uint8)
    image = np.broadcast_to(volume, (16,) + volume.shape)
    centre = np.full(3, 255.5)
    matrices = []
    for _ in range(16):
        linear = rotation(rng, 5)
        shift = [rng.uniform(-3, 3), 0.25, 450.5]
        matrices.append(np.hstack([linear, (centre - linear @ centre + shift)[:, None]]).ravel())
    got = voxwarpkit.resample(image, (1, 1, 1), np.array(matrices), order=0, fill=7)
    for v in (0, 9):
        assert_same_bits(got[v], voxwarpkit.resample(volume, (1, 1, 1), matrices[v], order=0, fill=7))
