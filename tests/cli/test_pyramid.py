"""OME-Zarr pyramids: the levels' grids, their metadata as the format's models and readers see it, and
each level equal to the in-memory resampling of the input onto its grid."""

import math

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run

import voxwarpkit
from voxwarpkit.pyramid import level_matrix, pyramid_levels

nib = pytest.importorskip("nibabel")
zarr = pytest.importorskip("zarr")
pytest.importorskip("ome_zarr_models")

from ome_zarr_models import v04, v05  # noqa: E402  (needs ome-zarr-models)

NEEDS_ZARR_3 = pytest.mark.skipif(int(zarr.__version__.split(".")[0]) < 3, reason="OME-Zarr 0.5 needs zarr 3")


@pytest.mark.parametrize("seed", range(20))
def test_each_level_halves_the_finest_axes_and_covers_the_image(seed):
    rng = np.random.default_rng(seed)
    shape = tuple(int(n) for n in rng.integers(1, 300, 3))
    spacing = tuple(float(s) for s in rng.choice([0.5, 1.0, 1.3, 4.0], 3))
    chunks = tuple(int(n) for n in rng.integers(1, 70, 3))
    levels = pyramid_levels(shape, spacing, (1.0, -2.0, 3.0), chunks=chunks)
    for finer, level in zip(levels, levels[1:]):
        finest = min(finer.spacing)
        for a in range(3):  # x, y, z
            halved = finer.spacing[a] <= finest * (1 + 1e-6)
            assert level.spacing[a] == finer.spacing[a] * (2 if halved else 1)
            n, m = finer.shape[2 - a], level.shape[2 - a]
            assert m * level.spacing[a] >= n * finer.spacing[a] and (m - 1) * level.spacing[a] < n * finer.spacing[a]
            # Voxel 0's centre is the middle of the finer level's first two (or its first, when not halved).
            middle = finer.translation[a] + (finer.spacing[a] / 2 if halved else 0.0)
            assert level.translation[a] == middle
    assert any(n <= c for n, c in zip(levels[-1].shape, chunks))
    assert all(not any(n <= c for n, c in zip(level.shape, chunks)) for level in levels[:-1])


def test_an_anisotropic_stack_halves_its_fine_axes_until_they_reach_the_coarse_one():
    # A count of levels is kept even past the level that fits one chunk.
    levels = pyramid_levels((64, 1024, 1024), (1.0, 1.0, 4.0), levels=5, chunks=(64, 64, 64))
    assert [level.spacing for level in levels] == [(1, 1, 4), (2, 2, 4), (4, 4, 4), (8, 8, 8), (16, 16, 16)]


def write_input(path, seed, zooms, origin, volumes=()):
    data = np.random.default_rng(seed).integers(0, 4000, (37, 29, 21, *volumes)).astype(np.uint16)
    affine = np.diag([*zooms, 1.0])
    affine[:3, 3] = origin
    image = nib.Nifti1Image(data, affine)
    image.header.set_xyzt_units("micron")
    nib.save(image, path)
    return image


@pytest.mark.parametrize("ngff", ["0.4", pytest.param("0.5", marks=NEEDS_ZARR_3)])
@pytest.mark.parametrize("zooms", [(1.0, 1.0, 1.0), (0.104, 0.104, 0.4)])
def test_every_level_is_the_one_before_resampled_onto_its_grid_and_validates(tmp_path, capsys, ngff, zooms):
    """Level 0 is the input as float32, bit for bit, whatever its spacing; every next level the one
    before it resampled in memory."""
    image = write_input(tmp_path / "in.nii", 1, zooms, (-3.0, 5.0, 7.5))
    status, out, err = run(
        capsys, "pyramid", tmp_path / "in.nii", tmp_path / "out.zarr", "--chunks", 4, 5, 6, "--ngff", ngff
    )
    assert status == 0, err
    group = zarr.open_group(str(tmp_path / "out.zarr"), mode="r")
    model = (v04 if ngff == "0.4" else v05).Image.from_zarr(group)  # raises for metadata the model refuses
    datasets = model.ome_attributes.multiscales[0].datasets
    assert [axis.unit for axis in model.ome_attributes.multiscales[0].axes] == ["micrometer"] * 3
    stored = [float(z) for z in image.header.get_zooms()]  # the header's float32 numbers
    levels = pyramid_levels((21, 29, 37), stored, (-3.0, 5.0, 7.5), chunks=(4, 5, 6))
    assert len(datasets) == len(levels) > 2
    expected, finer = np.asanyarray(image.dataobj).T, levels[0]
    for dataset, level in zip(datasets, levels):
        scale, translation = dataset.coordinateTransformations
        assert scale.scale == list(level.spacing[::-1])
        assert translation.translation == list(level.translation[::-1])
        if level is levels[0]:
            expected = expected.astype(np.float32)
        else:
            expected = voxwarpkit.resample(
                expected,
                finer.spacing,
                level_matrix(level, finer),
                shape=level.shape,
                output_voxel_size=level.spacing,
                antialias=True,
            )
        assert_same_bits(group[dataset.path][...], expected)
        finer = level


def test_the_translation_puts_voxel_centres_where_they_are(tmp_path, capsys):
    """A linear ramp of world position survives smoothing and linear sampling away from the edges:
    each level's voxel (i, j, k) holds the ramp at translation + (i, j, k) * scale."""
    zooms, origin = np.array([0.5, 0.75, 2.0]), np.array([-3.0, 5.0, 7.5])
    index = np.indices((40, 36, 20), dtype=np.float64)
    world = [origin[a] + zooms[a] * index[a] for a in range(3)]
    slope = np.array([0.3, -0.2, 0.1])
    ramp = sum(s * w for s, w in zip(slope, world)).astype(np.float32)
    affine = np.diag([*zooms, 1.0])
    affine[:3, 3] = origin
    nib.save(nib.Nifti1Image(ramp, affine), tmp_path / "ramp.nii")
    assert (
        run(capsys, "pyramid", tmp_path / "ramp.nii", tmp_path / "ramp.zarr", "--chunks", 8, 8, 8, "--levels", 4)[0]
        == 0
    )
    reader = pytest.importorskip("ome_zarr.reader")
    io = pytest.importorskip("ome_zarr.io")
    node = next(iter(reader.Reader(io.parse_url(str(tmp_path / "ramp.zarr")))()))
    transforms = node.metadata["coordinateTransformations"]
    assert len(node.data) > 2
    for data, (scale, translation) in zip(node.data, transforms):
        level = np.asarray(data).T  # (x, y, z)
        spacing, start = np.array(scale["scale"][::-1]), np.array(translation["translation"][::-1])
        centres = np.indices(level.shape, dtype=np.float64)
        expected = sum(s * (t + d * c) for s, t, d, c in zip(slope, start, spacing, centres))
        # Away from the ends, where the mirrored ramp bends: 4 sigma of the smoothing and a voxel more.
        margin = [math.ceil(2 * (d / z - 1)) + 2 for d, z in zip(spacing, zooms)]
        inside = tuple(slice(m, n - m) for m, n in zip(margin, level.shape))
        np.testing.assert_allclose(level[inside], expected[inside], rtol=0, atol=1e-4)


@pytest.mark.parametrize(
    "case, fragment",
    [
        ("rotated", "rotated or sheared"),
        ("exists", "exists already"),
        ("name", "must end in .zarr"),
    ],
)
def test_bad_inputs_are_one_line_errors_that_leave_nothing(tmp_path, capsys, case, fragment):
    write_input(tmp_path / "in.nii", 2, (1.0, 1.0, 1.0), (0.0, 0.0, 0.0))
    target = tmp_path / ("out.nii" if case == "name" else "out.zarr")
    if case == "rotated":
        turned = np.array([[0.0, -1, 0, 0], [1, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])
        nib.save(nib.Nifti1Image(np.zeros((5, 6, 7), np.float32), turned), tmp_path / "in.nii")
    if case == "exists":
        target.mkdir()
    before = sorted(p.name for p in tmp_path.iterdir())
    status, _, err = run(capsys, "pyramid", tmp_path / "in.nii", target)
    assert_one_line_error(status, err, fragment)
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("volumes", [(), (2,)])
def test_apply_levels_is_apply_then_pyramid_in_one_pass(tmp_path, capsys, volumes):
    """apply --levels writes what apply followed by pyramid writes, levels and metadata alike."""
    write_input(tmp_path / "in.nii", 3, (0.5, 0.5, 2.0), (1.0, 2.0, 3.0), volumes)
    matrix = tmp_path / "m.txt"
    np.savetxt(matrix, [[0.96, -0.28, 0.0, 1.5], [0.28, 0.96, 0.0, -0.5], [0.0, 0.0, 1.0, 0.25]])
    resampling = ["-m", matrix, "--voxel-size", 0.4, 0.6, 1.0, "--antialias", "--chunks", 5, 6, 7]
    both = ["--levels", 3, "--chunks", 5, 6, 7]
    assert run(capsys, "apply", tmp_path / "in.nii", tmp_path / "one.zarr", *resampling, "--levels", 3)[0] == 0
    assert run(capsys, "apply", tmp_path / "in.nii", tmp_path / "mid.zarr", *resampling)[0] == 0
    assert run(capsys, "pyramid", tmp_path / "mid.zarr", tmp_path / "two.zarr", *both)[0] == 0
    one, two = (zarr.open_group(str(tmp_path / name), mode="r") for name in ("one.zarr", "two.zarr"))
    entries = [v04.Image.from_zarr(group).ome_attributes.multiscales[0] for group in (one, two)]
    assert entries[0].datasets == entries[1].datasets and len(entries[0].datasets) == 3
    for dataset in entries[0].datasets:
        assert_same_bits(one[dataset.path][...], two[dataset.path][...])


@pytest.mark.parametrize(
    "options, fragment",
    [
        (["--levels", 2, "--label", "cells"], "copy labels"),
        (["--ngff", "0.5"], "go with --levels"),
        (["--label", "cells", "--interpolation", "label"], "go with --levels"),
        (["--levels", 2, "--chunks", 1, 4, 4, 4], "takes 3 numbers"),
    ],
)
def test_apply_levels_usage_errors(tmp_path, capsys, options, fragment):
    write_input(tmp_path / "in.nii", 2, (1.0, 1.0, 1.0), (0.0, 0.0, 0.0))
    status, _, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.zarr", "--voxel-size", 2, 2, 2, *options)
    assert_one_line_error(status, err, fragment, expected_status=2)
    assert not (tmp_path / "out.zarr").exists()


@pytest.mark.parametrize("seed", range(4))
def test_pyramid_of_gives_the_same_levels_in_memory_and_on_dask(seed):
    """Each level is the one before it resampled with antialias, numpy or dask, for any chunking."""
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(seed)
    image = rng.standard_normal((2,) * (seed % 2) + (19, 23, 30)).astype(np.float64)
    spacing = tuple(float(s) for s in rng.choice([0.5, 1.0, 2.0], 3))
    chunks = tuple(int(n) for n in rng.integers(3, 12, 3))
    levels = voxwarpkit.pyramid_of(image, spacing, levels=3, chunks=chunks)
    lazy = voxwarpkit.pyramid_of(da.from_array(image, chunks=5), spacing, levels=3, chunks=chunks)
    assert [grid for grid, _ in levels] == pyramid_levels(image.shape[-3:], spacing, levels=3)
    assert_same_bits(levels[0][1], image.astype(np.float32))
    for (finer, before), (level, values), (_, lazy_values) in zip(levels, levels[1:], lazy[1:]):
        expected = voxwarpkit.resample(
            before,
            finer.spacing,
            level_matrix(level, finer),
            shape=level.shape,
            output_voxel_size=level.spacing,
            antialias=True,
        )
        assert_same_bits(values, expected)
        assert_same_bits(lazy_values.compute(), values)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(voxel_size=(1.0, float("nan"), 1.0)), "voxel_size must be three positive"),
        (dict(voxel_size=(1.0, 0.0, 1.0)), "voxel_size must be three positive"),
        (dict(chunks=(0, 8, 8)), "chunks must be three whole numbers"),
        (dict(origin=(0.0, float("inf"), 0.0)), "origin must be three finite"),
        (dict(image=np.zeros((4, 5, 6), np.complex64)), "element type"),
    ],
)
def test_pyramid_of_refuses_what_would_loop_or_mislead(kwargs, message):
    arguments = dict(image=np.zeros((4, 5, 6), np.float32), voxel_size=(1.0, 1.0, 1.0)) | kwargs
    with pytest.raises(ValueError, match=message):
        voxwarpkit.pyramid_of(arguments.pop("image"), arguments.pop("voxel_size"), **arguments)


@pytest.mark.parametrize("stored_chunks", [(8, 16, 16), (16, 8, 32)])
def test_a_pyramid_of_a_store_runs_few_tasks_per_block_of_each_level(tmp_path, capsys, monkeypatch, stored_chunks):
    """Level 0's tasks each copy whole stored chunks, read as one window (a read, a conversion to
    float32 and a write), each later level's one task a block: a scheduler's memory grows with
    its tasks. Run in batches of two writes."""
    pytest.importorskip("dask")
    backend = pytest.importorskip("voxwarpkit.cli.runner")
    image = np.random.default_rng(5).integers(0, 500, (128, 128, 256)).astype(np.uint16)  # 8 blocks
    source = zarr.open_array(str(tmp_path / "in.zarr"), mode="w", shape=image.shape, chunks=stored_chunks, dtype="u2")
    source[...] = image
    source.attrs["voxel_size"] = [1.0, 1.0, 1.0]
    run_in_batches, counted = backend.run_in_batches, []

    def counting(graph, writes, run, size=None):
        counted.append((len(graph), sum(map(len, writes)), len(writes[0]), len(writes)))
        return run_in_batches(graph, writes, run, 2)

    monkeypatch.setattr(backend, "run_in_batches", counting)
    status, _, err = run(capsys, "pyramid", tmp_path / "in.zarr", tmp_path / "out.zarr", "--chunks", 32, 64, 64)
    assert status == 0, err
    ((tasks, blocks, copies, levels),) = counted
    assert blocks > levels and tasks <= blocks + 2 * copies + levels  # and each level's array to read
    assert_same_bits(zarr.open_group(str(tmp_path / "out.zarr"), mode="r")["0"][...], image.astype(np.float32))


@pytest.mark.parametrize("volumes", [(), (2,)])
def test_levels_in_small_batches_are_those_of_one_graph(tmp_path, capsys, monkeypatch, volumes):
    """apply --levels, whose tasks make blocks of two levels at once, and pyramid, whose levels
    each wait for the one before, write the same bytes in batches of one write as in one."""
    batches = pytest.importorskip("voxwarpkit.cli.batches")
    write_input(tmp_path / "in.nii", 3, (0.5, 0.5, 2.0), (1.0, 2.0, 3.0), volumes)
    matrix = tmp_path / "m.txt"
    np.savetxt(matrix, [[0.96, -0.28, 0.0, 1.5], [0.28, 0.96, 0.0, -0.5], [0.0, 0.0, 1.0, 0.25]])
    commands = {
        "apply": ["apply", tmp_path / "in.nii", "-m", matrix, "--voxel-size", 0.4, 0.6, 1.0, "--levels", 3],
        "pyramid": ["pyramid", tmp_path / "in.nii", "--levels", 3],
    }
    sizes = (batches.BATCH_WRITES, 1)
    for name, command in commands.items():
        for size in sizes:
            monkeypatch.setattr(batches, "BATCH_WRITES", size)
            target = tmp_path / f"{name}-{size}.zarr"
            status, _, err = run(capsys, *command[:2], target, *command[2:], "--chunks", 5, 6, 7)
            assert status == 0, err
        one, many = (zarr.open_group(str(tmp_path / f"{name}-{size}.zarr"), mode="r") for size in sizes)
        assert sorted(one.array_keys()) == sorted(many.array_keys()) == ["0", "1", "2"]
        for path in one.array_keys():
            assert_same_bits(one[path][...], many[path][...])
