"""The blends read every element type where it lies, with the bits of the image's float32 copy."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import TYPES, engine_arguments, random_case
from support.values import values, with_specials

import _voxwarpkit_testing as testing
import voxwarpkit

VARIANTS = [name for name, usable in testing.kernel_variants() if usable]
BLENDS = [("linear", "clamp"), ("linear", "transform"), ("lanczos", "clamp")]


@pytest.mark.parametrize("interpolation, edges", BLENDS)
@pytest.mark.parametrize("code", TYPES)
def test_every_type_blends_as_its_float32_copy(code, interpolation, edges):
    """In place (every variant, on one thread or several) and through the engine's own
    float copy (a layout it cannot read in place), the bits of the image as float32."""
    rng = np.random.default_rng([ord(code), len(interpolation), len(edges)])
    for case in range(4):
        image, voxel_size, matrix, kwargs = random_case(rng)
        if case == 0:  # large enough for the work to be split between threads
            image = np.empty(image.shape[:-3] + (11, 40, 70))
        image = with_specials(rng, values(rng, code, image.shape))
        kwargs.update(interpolation=interpolation, edges=edges, fill=float(kwargs["fill"]))
        # float64 past float32's range becomes an infinity; signalling NaNs become quiet ones.
        with np.errstate(over="ignore", invalid="ignore"):
            floats = image.astype(np.float32)
        want = voxwarpkit.resample(floats, voxel_size, matrix, threads=1, **kwargs)
        strided = np.repeat(image, 2, axis=-1)[..., ::2]  # not C-contiguous where x holds two voxels or more
        assert_same_bits(voxwarpkit.resample(strided, voxel_size, matrix, threads=1, **kwargs), want)
        for threads in (1, 3):
            assert_same_bits(voxwarpkit.resample(image, voxel_size, matrix, threads=threads, **kwargs), want)
        arguments = engine_arguments(image, voxel_size, matrix, kwargs)
        for variant in VARIANTS:
            assert_same_bits(testing.resample_block(*arguments, variant), want.reshape((-1,) + want.shape[-3:]))


@pytest.mark.parametrize("interpolation", ["linear", "lanczos"])
@pytest.mark.parametrize("code", TYPES)
def test_only_a_layout_the_kernel_cannot_read_is_copied(code, interpolation):
    image = values(np.random.default_rng(0), code, (2, 5, 6, 8))
    kwargs = {"interpolation": interpolation, "shape": None, "output_voxel_size": None, "fill": 0.0}
    assert not testing.copies_source(*engine_arguments(image, (1, 1, 1), np.eye(3, 4), kwargs))
    assert testing.copies_source(*engine_arguments(image[..., ::2], (1, 1, 1), np.eye(3, 4), kwargs))
