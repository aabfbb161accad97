"""Label and Lanczos on every kernel variant: the reference model's bits, where the vector paths and the
scalar lanes meet (uniform regions, ties, edges, stacks, every element size, NaN sums)."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import engine_arguments
from support.geometry import rotation
from support.output_types import result_of_sums
from support.reference import resample_general_reference
from support.values import values, with_specials

import _voxwarpkit_testing as testing
from voxwarpkit._backends import request as _request
from voxwarpkit._backends.cpu import result_code

VARIANTS = [name for name, usable in testing.kernel_variants() if usable]
# Widths about the vector's lanes and Lanczos's six taps; a stack of three volumes.
SHAPE = (3, 9, 12, 37)


def label_map(rng, code, scene):
    """Labels of type `code` that differ from volume to volume, drawn from random bit patterns
    (for floats: a NaN payload and -0.0 beside 0.0, each its own label): boxes of six labels
    in the lower slices (most positions see one label on all eight neighbours) over three
    labels at random in the upper ones (where the weights often pick another than the nearest
    voxel's), or a checkerboard of two (every position between voxels ties)."""
    nvol, nz, ny, nx = SHAPE
    palette = values(rng, code, (nvol, 6))
    if np.dtype(code).kind == "f":
        palette[:, :2] = [0.0, -0.0]
        palette.view(f"u{palette.itemsize}")[:, 2] = {4: 0x7FC00005, 8: 0x7FF8000000000005}[palette.itemsize]
    z, y, x = np.indices((nz, ny, nx))
    if scene == "checkerboard":
        index = (x + y + z) % 2
    else:
        index = np.where(z < nz // 2, (x // 5 + 2 * (y // 4) + 3 * (z // 3)) % 6, rng.integers(0, 3, z.shape))
    return np.stack([palette[v][index] for v in range(nvol)])


def matrix_for(rng, scene):
    """Half-voxel shifts for the ties; otherwise a small turn about the centre and a shift, past
    the edges for "edges"."""
    if scene == "checkerboard":
        return np.hstack([np.eye(3), np.full((3, 1), 0.5)]).ravel()
    turn = rotation(rng, 12)
    centre = (np.array(SHAPE[:0:-1]) - 1) / 2
    shift = rng.uniform(-2.5, 2.5, 3) if scene == "edges" else rng.uniform(-0.5, 0.5, 3)
    return np.hstack([turn, (centre - turn @ centre + shift)[:, None]]).ravel()


def check_every_variant(image, matrix, kwargs):
    want = resample_general_reference(image, (1.0, 1.0, 1.0), matrix, **kwargs)
    arguments = engine_arguments(image, (1.0, 1.0, 1.0), matrix, kwargs)
    for variant in VARIANTS:
        assert_same_bits(testing.resample_block(*arguments, variant), want)


@pytest.mark.parametrize("scene", ["regions", "checkerboard", "edges"])
@pytest.mark.parametrize("code", ["B", "H", "I", "Q", "f", "d"])
def test_label(code, scene):
    rng = np.random.default_rng([ord(code), len(scene)])
    image = label_map(rng, code, scene)
    fill = 7 if np.dtype(code).kind in "iu" else float("nan")
    shape = (11, 16, 45) if scene == "edges" else None
    kwargs = dict(shape=shape, output_voxel_size=None, interpolation="label", fill=fill)
    check_every_variant(image, matrix_for(rng, scene), kwargs)


@pytest.mark.parametrize("scene", ["regions", "edges"])
@pytest.mark.parametrize("specials", [False, True])
def test_lanczos(scene, specials):
    """float64 results hold the sums themselves, whose last bits a float32 result would round away."""
    rng = np.random.default_rng([len(scene), specials])
    image = (rng.standard_normal(SHAPE) * 100).astype(np.float32)
    if specials:  # NaN and infinite sums, replayed by the scalar routine
        image = with_specials(rng, image)
    shape = (11, 16, 45) if scene == "edges" else None
    matrix = matrix_for(rng, scene)
    kwargs = dict(shape=shape, output_voxel_size=None, interpolation="lanczos")
    sums = resample_general_reference(image, (1.0, 1.0, 1.0), matrix, blend_sums=True, **kwargs)
    for dtype in (np.dtype(np.float32), np.dtype(np.float64)):
        fill = -3.0
        want = result_of_sums(sums, dtype, np.array(fill, dtype)[()])
        request_kwargs = dict(kwargs, fill=fill, dtype=dtype)
        request = _request.checked_request(image.shape, image.dtype, (1, 1, 1), matrix, threads=1, **request_kwargs)
        arguments = engine_arguments(image, (1.0, 1.0, 1.0), matrix, request_kwargs)
        for variant in VARIANTS:
            got = testing.engine_resample(variant, 1, *arguments, None, None, result_code(request))
            assert_same_bits(got, want)
