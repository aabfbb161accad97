"""fuse: tiles blended into one volume, against a float64 model of the definition written from it alone."""

import importlib

import dask.array as da
import numpy as np
import pytest
import zarr
from support.bits import assert_same_bits
from support.chain_reference import FieldStep, apply_matrix, chain_indices, clamped_sum
from support.geometry import rotation
from support.output_types import result_of_sums
from support.reference import NOT_SAMPLED, resample_general_reference

import voxwarpkit
from voxwarpkit import _engine
from voxwarpkit._lazy import chunk_cache

fuse_module = importlib.import_module("voxwarpkit._lazy.fusion")

SINE_TERMS = [
    "-0x1.5555555555555p-3",
    "0x1.1111111111111p-7",
    "-0x1.a01a01a01a01ap-13",
    "0x1.71de3a556c734p-19",
    "-0x1.ae64567f544e4p-26",
    "0x1.6124613a86d09p-33",
    "-0x1.ae7f3e733b81fp-41",
    "0x1.952c77030ad4ap-49",
    "-0x1.2f49b46814157p-57",
]


def cos_pi(t):
    """cos(pi t) by the documented polynomial: sin(x) at x = pi (1/2 - t), innermost term first."""
    x = np.pi * (0.5 - t)
    x2 = x * x
    total = np.full_like(x, float.fromhex(SINE_TERMS[-1]))
    for term in reversed(SINE_TERMS[:-1]):
        total = float.fromhex(term) + x2 * total
    return x + x * (x2 * total)


def model_weights(positions, extent, spacing, width, blending):
    """A tile's weight at tile index positions (3, ...) along x, y, z."""
    inside = np.ones(positions.shape[1:], dtype=bool)
    product = None
    for axis in range(3):
        p, last = positions[axis], float(extent[axis] - 1)
        inside &= (p >= 0.0) & (p <= last)
        with np.errstate(divide="ignore", invalid="ignore"):
            t = (np.minimum(p, last - p) + 1.0) * (spacing[axis] / width[axis])
        ramp = t if blending == "linear" else 0.5 - 0.5 * cos_pi(np.where(t < 1.0, t, 0.0))
        factor = np.where(t < 1.0, ramp, 1.0)
        product = factor if product is None else product * factor
    if blending in ("average", "max"):
        product = np.ones_like(product)
    return np.where(inside, product, 0.0)


def as_field_step(field):
    """A voxwarpkit.Field as the chain model's float32 step."""
    components = np.moveaxis(np.asarray(field.displacements), 3, 0).astype(np.float32)
    return FieldStep(components, np.float32(field.origin), np.float32(field.voxel_size))


def model_chain_positions(steps, shape, output_spacing, spacing):
    """A chain's tile indices in double: every matrix step and field step (its clamped sum not rounded)
    in float64, from the output voxel's offset from the origin, then over the tile's spacing."""
    k, j, i = np.indices(shape).astype(np.float64)
    p = [i * output_spacing[0], j * output_spacing[1], k * output_spacing[2]]
    for step in steps:
        if isinstance(step, FieldStep):
            index = [(p[a] - np.float64(step.origin[a])) / np.float64(step.spacing[a]) for a in range(3)]
            found = [clamped_sum(step.components[a], *index) for a in range(3)]
            p = [np.where(inside, p[a] + total, p[a]) for a, (inside, total) in enumerate(found)]
        else:
            p = apply_matrix(np.asarray(step, dtype=np.float64).ravel(), p)
    return np.array([p[a] / spacing[a] for a in range(3)])


def model_fusion(tiles, spacings, matrices, shape, output_spacing, origin, blending, width, interpolation, dtype, fill):
    """The fused volume as the definition states it, in float64, tile by tile in order."""
    volumes = tiles[0].shape[0] if tiles[0].ndim == 4 else 1
    sums = np.zeros((volumes, *shape))
    weights = np.zeros(shape)
    k, j, i = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in shape), indexing="ij")
    for tile, spacing, matrix in zip(tiles, spacings, matrices):
        chain = list(matrix) if isinstance(matrix, list) else None
        first = matrix if chain is None else (np.eye(4) if isinstance(chain[0], voxwarpkit.Field) else chain.pop(0))
        a = np.asarray(first, dtype=np.float64)[:3]
        moved = a.copy()
        moved[:, 3] = ((a[:, 0] * origin[0] + a[:, 1] * origin[1]) + a[:, 2] * origin[2]) + a[:, 3]
        indices = None
        if chain is not None:
            later = [as_field_step(step) if isinstance(step, voxwarpkit.Field) else step[:3] for step in chain]
            single = [moved.astype(np.float32).ravel()] + [
                step if isinstance(step, FieldStep) else step.astype(np.float32).ravel() for step in later
            ]
            indices = chain_indices(shape, np.float32(output_spacing), np.float32(spacing), single)
        blends = resample_general_reference(
            tile.astype(np.float32) if interpolation != "nearest" else tile,
            np.float32(spacing),
            moved.astype(np.float32).ravel(),
            shape=shape,
            output_voxel_size=np.float32(output_spacing),
            edges="clamp",
            interpolation=interpolation,
            blend_sums=interpolation != "nearest",
            indices=indices,
        ).astype(np.float64)
        blends = blends.reshape(volumes, *shape)
        if chain is None:
            index = [(moved[r, c] * output_spacing[c]) / spacing[r] for r in range(3) for c in range(3)]
            positions = np.array(
                [
                    index[3 * r] * i + ((index[3 * r + 1] * j + index[3 * r + 2] * k) + moved[r, 3] / spacing[r])
                    for r in range(3)
                ]
            )
        else:
            positions = model_chain_positions([moved, *later], shape, output_spacing, spacing)
        w = model_weights(positions, tile.shape[-3:][::-1], spacing, width, blending)
        held = w > 0
        if blending == "max":
            first = held & (weights == 0)
            larger = held & ~np.isnan(sums) & (np.isnan(blends) | (blends > sums))
            sums = np.where(first | larger, blends, sums)
            weights = weights + held
        else:
            sums = np.where(held, sums + w * np.where(held, blends, 0.0), sums)
            weights = weights + w
    covered = np.broadcast_to(weights > 0, sums.shape)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = sums if blending == "max" else sums / weights
    means[np.isnan(means)] = np.nan
    means[~covered] = np.array(NOT_SAMPLED, dtype=np.uint64).view(np.float64)
    fused = result_of_sums(means, dtype, np.array(fill, dtype)[()])
    return fused if tiles[0].ndim == 4 else fused[0]


def random_field(rng, extent, spacing):
    """A field of displacements below a voxel over most of a tile's box, so that some positions miss it."""
    field_spacing = rng.uniform(1.0, 2.0, 3)
    field_origin = rng.uniform(-1.0, 1.0, 3)
    voxels = (np.array(extent[::-1]) * spacing / field_spacing).astype(int)
    displacements = rng.uniform(-0.6, 0.6, (*voxels[::-1], 3))
    return voxwarpkit.Field(displacements, field_spacing, origin=field_origin)


def random_chain(rng, matrix, extent, spacing):
    """The matrix as a chain with a field: (matrix, field, a small turn and shift) or (field, matrix)."""
    field = random_field(rng, extent, spacing)
    if rng.integers(2):
        return [field, matrix]
    after = np.eye(4)
    after[:3, :3] = rotation(rng, 3)
    after[:3, 3] = rng.uniform(-0.5, 0.5, 3)
    return [matrix, field, after]


def random_tiles(rng, count, volumes, with_nan, chained=False):
    """Overlapping tiles along x, each turned a little and shifted, with their spacings and matrices;
    with ``chained``, every other tile's matrix is a chain with a displacement field."""
    tiles, spacings, matrices = [], [], []
    for t in range(count):
        extent = tuple(int(n) for n in rng.integers(5, 10, 3))
        tile = rng.uniform(-50, 300, ((volumes,) if volumes else ()) + extent).astype(np.float32)
        if with_nan:
            tile.flat[rng.integers(0, tile.size, 2)] = np.nan
        spacing = rng.uniform(0.7, 1.4, 3)
        matrix = np.eye(4)
        matrix[:3, :3] = rotation(rng, 6) if t % 2 else np.eye(3)  # axis-aligned rows hold one position
        matrix[:3, 3] = rng.uniform(-1.5, 1.5, 3) - np.array([4.0 * t, 0.0, 0.0])
        tiles.append(tile)
        spacings.append(spacing)
        matrices.append(random_chain(rng, matrix, extent, spacing) if chained and t % 2 == 0 else matrix)
    return tiles, spacings, matrices


@pytest.mark.parametrize("chained", [False, True])
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("blending", ["cosine", "linear", "average", "max"])
def test_fusion_has_the_models_bits_for_any_blocks_and_threads(seed, blending, chained, monkeypatch):
    rng = np.random.default_rng([seed, len(blending), chained])
    # Blocks are fused a slab of planes at a time: slabs of one plane, a few, and whole blocks.
    monkeypatch.setattr(fuse_module, "SLAB_VOXELS", int(rng.choice([1, 70, 2**18])))
    volumes = int(rng.choice([0, 2]))
    interpolation = ["linear", "nearest", "lanczos", "cubic"][seed % 4]
    tiles, spacings, matrices = random_tiles(rng, int(rng.integers(2, 4)), volumes, seed == 1, chained)
    dtype = np.dtype(["float32", "uint8", "int16", "float64", "float16", "uint16"][seed])
    fill = 7
    shape = (6, 7, 9 + 4 * len(tiles))
    output_spacing = tuple(rng.uniform(0.8, 1.3, 3))
    origin = tuple(rng.uniform(-2, 2, 3))
    width = tuple(rng.uniform(0.5, 4.0, 3))
    options = dict(shape=shape, output_voxel_size=output_spacing, origin=origin, blending=blending)
    options.update(blend_width=width, interpolation=interpolation, dtype=dtype, fill=fill)
    want = model_fusion(
        tiles, spacings, matrices, shape, output_spacing, origin, blending, width, interpolation, dtype, fill
    )
    assert_same_bits(voxwarpkit.fuse(tiles, spacings, matrices, threads=int(rng.integers(1, 4)), **options), want)
    if interpolation == "cubic":
        return
    chunks = tuple(int(n) for n in rng.integers(2, 6, 3))
    lazy = [da.from_array(tile, chunks=3) for tile in tiles]
    got = voxwarpkit.fuse(lazy, spacings, matrices, chunks=chunks, **options)
    assert_same_bits(got.compute(), want)


@pytest.mark.parametrize("seed", range(8))
def test_tile_cover_is_the_smallest_box_of_the_voxels_a_tile_weighs(seed):
    """Tiles are resampled only over the box tile_cover gives: it must hold every voxel blend_tile
    weighs, and no larger box is needed."""
    rng = np.random.default_rng(seed)
    block = tuple(int(n) for n in rng.integers(1, 12, 3))
    origin = tuple(int(n) for n in rng.integers(-6, 6, 3))
    tile = tuple(int(n) for n in rng.integers(1, 8, 3))
    turn = rotation(rng, 40) if seed % 2 else np.eye(3)
    matrix = tuple(np.hstack([turn * rng.uniform(0.5, 2.0), rng.uniform(-6, 6, (3, 1))]).ravel())
    sums, weights = np.zeros((1, *block)), np.zeros(block)
    _engine.blend_tile(sums, weights, np.ones((1, *block)), origin, (0, 0, 0), matrix, tile, (1.0, 1.0, 1.0), 2)
    held = np.nonzero(weights)
    cover = _engine.tile_cover(origin, block, matrix, tile)
    if not held[0].size:
        assert cover is None
        return
    assert cover == tuple((int(axis.min()), int(axis.max()) + 1) for axis in held)
    # The tile's values over that box alone give the whole block's sums.
    at = tuple(start for start, _ in cover)
    inside = np.ones((1, *(stop - start for start, stop in cover)))
    boxed_sums, boxed_weights = np.zeros((1, *block)), np.zeros(block)
    _engine.blend_tile(boxed_sums, boxed_weights, inside, origin, at, matrix, tile, (1.0, 1.0, 1.0), 2)
    assert_same_bits(boxed_weights, weights)


@pytest.mark.parametrize("blending", ["cosine", "linear", "average", "max"])
@pytest.mark.parametrize("leading", [False, True])
def test_a_zero_field_between_exact_matrices_fuses_as_their_product(blending, leading):
    """With dyadic matrices, spacings and origin every product and sum is exact, in float32 and in
    double, so a field of zeros moves no position: the chain tile's values and weights are the bits of
    the tile with the product of its matrices. (With rounding the two weigh a little differently.)"""
    rng = np.random.default_rng(8)
    tiles = [rng.uniform(0, 100, (5, 6, 8)).astype(np.float32) for _ in range(2)]
    first = np.eye(4)
    first[:3, :3] = [[0, 1, 0], [1, 0, 0], [0, 0, -1]]
    first[:3, 3] = (0.5, -1.25, 4.0)
    second = np.eye(4)
    second[:3, 3] = (-0.25, 0.75, 0.0)
    beside = second @ first
    beside[0, 3] -= 1.5  # the second tile one and a half units along the first's x: they overlap
    zero = voxwarpkit.Field(np.zeros((3, 4, 3, 3)), (2.0, 2.0, 2.0), origin=(-1.0, 0.5, -1.0))  # part of the tile
    chain = [zero, second @ first] if leading else [first, zero, second]
    options = dict(shape=(5, 7, 12), output_voxel_size=(0.5, 1.0, 1.0), origin=(0.5, -2.0, 1.0), blending=blending)
    options.update(blend_width=(2.0, 1.0, 2.0), dtype="float64")
    spacings = [(1.0, 0.5, 2.0), (0.5, 1.0, 1.0)]
    want = voxwarpkit.fuse(tiles, spacings, [second @ first, beside], **options)
    assert_same_bits(voxwarpkit.fuse(tiles, spacings, [chain, beside], **options), want)


@pytest.mark.parametrize("volumes", [0, 2])
@pytest.mark.parametrize("held_as", ["zarr", "from_zarr"])
def test_zarr_tiles_are_read_a_window_at_a_time_with_the_same_bits(tmp_path, monkeypatch, held_as, volumes):
    """As zarr arrays or as da.from_zarr gives them: either way the tasks read their own windows of
    the stores, so the graph holds no task that reads a stored chunk on its own; their chunks pass
    through the cache of decoded chunks, which lets each go after the last task that reads it."""
    monkeypatch.setattr(chunk_cache, "CACHED_CHUNK_BYTES", (0, 2**30))
    rng = np.random.default_rng(3)
    tiles, spacings, matrices = random_tiles(rng, 3, volumes, with_nan=False)
    stored = []
    for number, tile in enumerate(tiles):
        path = str(tmp_path / f"tile{number}.zarr")
        chunks = (1,) * (tile.ndim - 3) + (3, 3, 3)
        array = zarr.open_array(path, mode="w", shape=tile.shape, chunks=chunks, dtype=tile.dtype)
        array[...] = tile
        stored.append(array if held_as == "zarr" else da.from_zarr(array))
    options = dict(shape=(7, 8, 20), output_voxel_size=(1, 1, 1), dtype="uint16")
    want = voxwarpkit.fuse(tiles, spacings, matrices, **options)
    fused = voxwarpkit.fuse(stored, spacings, matrices, chunks=(4, 5, 6), **options)
    assert not [name for name in fused.dask.layers if "zarr" in name]
    assert_same_bits(fused.compute(scheduler="threads"), want)
    plan = next(task[1] for task in dict(fused.dask).values() if task[0] is fuse_module.fused_block)
    caches = {id(tile.source.read.cache): tile.source.read.cache for tile in plan.tiles if tile.source.read.cached}
    assert len(caches) == 1
    assert [(cache.held, len(cache.chunks), cache.unread) for cache in caches.values()] == [(0, 0, {})]


@pytest.mark.parametrize("stack", [False, True])
def test_a_computed_dask_tile_is_computed_once_for_a_task_not_for_each_slab(monkeypatch, stack):
    """Tiles whose graphs compute their chunks (not a store's windows), fused in blocks of many slabs:
    each chunk is computed at most once for each task that reads it, and the bits are those of the
    tiles in memory."""
    monkeypatch.setattr(fuse_module, "SLAB_VOXELS", 40)  # a slab of a plane or two: many slabs a block
    rng = np.random.default_rng(9)
    tiles, spacings, matrices = random_tiles(rng, 3, 0, with_nan=False)
    if stack:
        tiles = [np.stack([tile, tile * 2]) for tile in tiles]
    computed = []

    def counted(values, block_info=None):
        computed.append(block_info[0]["chunk-location"])
        return values

    lazy = [da.from_array(tile, chunks=3).map_blocks(counted, dtype=tile.dtype) for tile in tiles]
    options = dict(shape=(7, 8, 20), output_voxel_size=(1, 1, 1), dtype="float32")
    want = voxwarpkit.fuse(tiles, spacings, matrices, **options)
    fused = voxwarpkit.fuse(lazy, spacings, matrices, chunks=(7, 4, 5), **options)
    computed.clear()
    assert_same_bits(fused.compute(scheduler="threads"), want)
    tasks = len([key for key in fused.dask if "fuse-task" in str(key[0])])
    assert computed and max(computed.count(chunk) for chunk in computed) <= tasks


def test_one_tile_on_its_own_grid_is_the_tile_and_fill_lies_outside():
    tile = np.random.default_rng(4).uniform(0, 1000, (6, 7, 8)).astype(np.float32)
    shifted = np.eye(4)
    shifted[0, 3] = -3.0  # output voxel x = 3 is the tile's first
    fused = voxwarpkit.fuse([tile], (1, 1, 1), [shifted], shape=(6, 7, 13), output_voxel_size=(1, 1, 1), fill=-1)
    np.testing.assert_allclose(fused[..., 3:11], tile, rtol=1e-6)
    assert np.all(fused[..., :3] == -1) and np.all(fused[..., 11:] == -1)


def test_covering_grid_holds_every_tiles_corners():
    rng = np.random.default_rng(5)
    _, spacings, matrices = random_tiles(rng, 3, 0, with_nan=False)
    tile_shapes = [(5, 6, 7), (8, 5, 6), (6, 6, 6)]
    shape, origin = voxwarpkit.covering_grid(spacings, matrices, tile_shapes, (0.5, 0.5, 0.5))
    for spacing, matrix, tile_shape in zip(spacings, matrices, tile_shapes):
        inverse = np.linalg.inv(matrix)
        for corner in np.ndindex(2, 2, 2):
            physical = np.array(corner) * (np.array(tile_shape[::-1]) - 1) * spacing
            index = (inverse[:3, :3] @ physical + inverse[:3, 3] - origin) / 0.5
            assert np.all(index >= -1e-6) and np.all(index <= np.array(shape[::-1]) - 1 + 1e-6)


ZERO_FIELD = voxwarpkit.Field(np.zeros((2, 2, 2, 3)), (1, 1, 1))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (dict(tiles=[]), "non-empty list"),
        (dict(matrices=[np.eye(4)]), "one matrix per tile"),
        (dict(blending="median"), "blending must be one of"),
        (dict(interpolation="label"), "does not fuse"),
        (dict(blend_width=(-1, 2, 3)), "blend_width"),
        (dict(dtype="complex64"), "dtype must be"),
        (dict(fill=300, dtype="uint8"), "does not fit"),
        (dict(voxel_sizes=[(1, 1, 0)] * 2), "positive"),
        (dict(interpolation="cubic", chunks=4), "cubic fusion"),
        (dict(matrices=[[np.eye(4), ZERO_FIELD, np.ones(5)], np.eye(4)]), "step 2 of a chain must be a Field or a"),
        (dict(matrices=[[np.stack([np.eye(4)] * 2), ZERO_FIELD], np.eye(4)]), "step 0 of a chain"),
        (dict(matrices=[[ZERO_FIELD, "shift"], np.eye(4)]), "step 1 of a chain"),
    ],
)
def test_bad_arguments_are_refused_with_a_clear_message(change, message):
    tiles = [np.zeros((4, 4, 4), np.float32)] * 2
    arguments = dict(tiles=tiles, voxel_sizes=(1, 1, 1), matrices=[np.eye(4)] * 2)
    arguments.update(change)
    options = {key: arguments.pop(key) for key in list(arguments) if key not in ("tiles", "voxel_sizes", "matrices")}
    with pytest.raises(ValueError, match=message):
        voxwarpkit.fuse(**arguments, shape=(4, 4, 4), output_voxel_size=(1, 1, 1), **options)
