"""Random arguments for voxwarpkit.resample: grids, element types, matrices, interpolation and fill."""

import numpy as np

from support.geometry import rotation
from support.values import values
from voxwarpkit._backends import request as _request
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES

TYPES = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d"]


def random_case(rng):
    """Random grids, element types, matrices (shared or per volume), interpolation and fill."""
    rank = int(rng.integers(3, 5))
    nvol = int(rng.integers(1, 4)) if rank == 4 else 1
    extent = [int(n) for n in rng.choice([1, 2, 3, 7, 16, 17, 33], 3)]
    if rng.random() < 0.1:  # an empty axis: nothing can be sampled, every output is fill
        extent[int(rng.integers(3))] = 0
    extent = tuple(extent)
    dtype = rng.choice(TYPES)
    image = values(rng, dtype, ((nvol,) if rank == 4 else ()) + extent)
    voxel_size = rng.uniform(0.4, 2.5, 3)
    shape = tuple(int(n) for n in rng.integers(1, 40, 3)) if rng.random() < 0.8 or 0 in extent else None
    output_voxel_size = None
    if rng.random() < 0.8:  # about the input's physical extent, sometimes more, sometimes less
        output_voxel_size = voxel_size * np.maximum(extent[::-1], 1) / np.array((shape or extent)[::-1])
        output_voxel_size *= rng.uniform(0.6, 1.4, 3)
    count = nvol if rank == 4 and rng.random() < 0.5 else 1
    # Output centre to about the input's centre, so most positions sample and the edges are crossed.
    out_extent = np.array((shape or extent)[::-1]) - 1.0
    centre_in = (np.array(extent[::-1]) - 1.0) * voxel_size / 2
    centre_out = out_extent * (voxel_size if output_voxel_size is None else output_voxel_size) / 2
    linears = [rotation(rng, 30) * rng.uniform(0.7, 1.4) for _ in range(count)]
    matrices = np.stack(
        [np.hstack([a, (centre_in - a @ centre_out + rng.uniform(-2, 2, 3))[:, None]]).ravel() for a in linears]
    )
    interpolation = str(rng.choice(["nearest", "linear", "label", "lanczos", "cubic"]))
    copies = interpolation in ("nearest", "label")
    fill = 0 if copies and np.dtype(dtype).kind in "biu" else float(rng.choice([0.0, -0.0, 7.0, np.nan]))
    if np.dtype(dtype).kind in "iu" and rng.random() < 0.5:
        fill = int(np.iinfo(dtype).min)
    edges = str(rng.choice(["clamp", "transform"]))
    kwargs = dict(shape=shape, output_voxel_size=output_voxel_size, interpolation=interpolation, fill=fill, edges=edges)
    return image, voxel_size, matrices if count > 1 else matrices[0], kwargs


def engine_arguments(image, voxel_size, matrix, kwargs):
    """The package engine's resample arguments for one call over the whole image, on one thread."""
    request = _request.checked_request(image.shape, image.dtype, voxel_size, matrix, threads=1, **kwargs)
    stack = image if image.ndim == 4 else image[None]
    if request.copies_elements:
        stack = np.ascontiguousarray(stack, dtype=stack.dtype.newbyteorder("="))
    spacing = tuple(float(s) for s in request.voxel_size)
    output_spacing = tuple(float(s) for s in request.output_voxel_size)
    return (
        stack,
        (0, 0, 0),
        stack.shape[1:],
        spacing,
        request.matrices,
        request.shape,
        (0, 0, 0),
        output_spacing,
        METHOD_CODES[request.interpolation],
        EDGE_RULE_CODES[request.edges],
        request.fill,
    )
