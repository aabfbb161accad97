"""OME-Zarr outputs: grids whose axes run backwards, label-map pyramids and label images.

Every check reads what was written through ome-zarr-models, the format's own models: a voxel's
world position is the level's translation plus its index times the scale, and it must hold the
input's value at that world position.
"""

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
NGFF = ["0.4", pytest.param("0.5", marks=NEEDS_ZARR_3)]
MODELS = {"0.4": v04, "0.5": v05}
SPACING = np.array([2.0, 1.5, 0.5])
ORIGIN = np.array([40.0, -20.0, 7.5])


def write_nifti(path, signs, data):
    affine = np.diag([*(np.array(signs) * SPACING), 1.0])
    affine[:3, 3] = ORIGIN
    nib.save(nib.Nifti1Image(data, affine), path)
    return affine


def levels_of(path, ngff="0.4"):
    """(values (x, y, z), scale (x, y, z), translation (x, y, z)) per level, as the model reads them."""
    group = zarr.open_group(str(path), mode="r")
    model = MODELS[ngff].Image.from_zarr(group)  # raises for metadata the model refuses
    multiscale = model.ome_attributes.multiscales[0]
    result = []
    for dataset in multiscale.datasets:
        scale, translation = dataset.coordinateTransformations
        result.append(
            (group[dataset.path][...].T, np.array(scale.scale[::-1]), np.array(translation.translation[::-1]))
        )
    return result, multiscale


def values_at_world_positions(data, affine, scale, translation, shape):
    """The input's values at the world positions of an output's voxels, which must be voxels of it."""
    world = translation[:, None] + scale[:, None] * np.indices(shape).reshape(3, -1)
    index = np.linalg.solve(affine[:3, :3], world - affine[:3, 3:])
    assert np.array_equal(index, np.round(index)), "output voxels fall between input voxels"
    return data[tuple(index.astype(int))].reshape(shape)


ROUTES = {
    "pyramid": lambda i, o, t: ("pyramid", i, o, "--levels", 2),
    "apply --levels, a matrix": lambda i, o, t: ("apply", i, o, "--levels", 2, "-m", t / "identity.txt"),
    "apply to .ome.zarr, a copy": lambda i, o, t: ("apply", i, o),
    "OME-Zarr in, onto the NIfTI grid": lambda i, o, t: (
        "apply",
        t / "in.ome.zarr",
        o.with_suffix(".zarr"),
        "--like",
        i,
    ),
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("signs", [(1, 1, 1), (-1, 1, 1), (1, -1, -1), (-1, -1, -1)])
def test_backward_axes_are_flipped_and_every_voxel_keeps_its_world_position(tmp_path, capsys, route, signs):
    data = np.random.default_rng(7).integers(0, 4000, (9, 7, 5)).astype(np.int16)
    source = tmp_path / "in.nii"
    affine = write_nifti(source, signs, data)
    (tmp_path / "identity.txt").write_text("1 0 0 0\n0 1 0 0\n0 0 1 0\n")
    assert run(capsys, "pyramid", source, tmp_path / "in.ome.zarr")[0] == 0
    output = tmp_path / "out.ome.zarr"
    argv = ROUTES[route](source, output, tmp_path)
    status, _, err = run(capsys, *argv)
    assert status == 0, err
    levels, _ = levels_of(argv[2])
    values, scale, translation = levels[0]
    assert np.all(scale > 0)
    expected = values_at_world_positions(data, affine, scale, translation, values.shape)
    assert_same_bits(values, expected.astype(values.dtype))


def label_map(seed, dtype, shape=(23, 19, 11)):
    """Slabs of a few labels, with label 0 as background, as a segmentation would hold them."""
    rng = np.random.default_rng(seed)
    index = np.indices(shape)
    return ((index[0] // 4 + 2 * (index[1] // 5) + rng.integers(0, 2, shape)) % 5 * 7).astype(dtype)


@pytest.mark.parametrize("ngff", NGFF)
@pytest.mark.parametrize("method, dtype", [("label", np.uint8), ("label", np.int32), ("nearest", np.int16)])
def test_a_label_pyramid_holds_labels_only_each_level_sampled_from_the_one_before(
    tmp_path, capsys, ngff, method, dtype
):
    labels = label_map(1, dtype)
    write_nifti(tmp_path / "seg.nii", (-1, 1, 1), labels)
    argv = ("pyramid", tmp_path / "seg.nii", tmp_path / "seg.ome.zarr", "--chunks", 4, 5, 6, "--ngff", ngff)
    status, _, err = run(capsys, *argv, "--interpolation", method)
    assert status == 0, err
    levels, multiscale = levels_of(tmp_path / "seg.ome.zarr", ngff)
    assert multiscale.type == method and multiscale.metadata["kwargs"] == {"interpolation": method}
    grids = pyramid_levels(levels[0][0].shape[::-1], tuple(levels[0][1]), tuple(levels[0][2]), chunks=(4, 5, 6))
    assert len(levels) == len(grids) > 2
    finer_values, finer = levels[0][0].T, grids[0]
    assert_same_bits(np.sort(finer_values, axis=None), np.sort(labels, axis=None))
    for (values, _, _), grid in zip(levels[1:], grids[1:]):
        assert values.dtype == dtype and set(np.unique(values)) <= set(np.unique(labels))
        expected = voxwarpkit.resample(
            finer_values,
            finer.spacing,
            level_matrix(grid, finer),
            shape=grid.shape,
            output_voxel_size=grid.spacing,
            interpolation=method,
        )
        assert_same_bits(values.T, expected)
        finer_values, finer = expected, grid


@pytest.mark.parametrize("ngff", NGFF)
def test_a_label_image_is_listed_in_its_image_once_written(tmp_path, capsys, ngff):
    """Two label images, one by each command, land under labels/ and in its list, and validate."""
    write_nifti(tmp_path / "img.nii", (1, 1, 1), np.random.default_rng(2).random((23, 19, 11)).astype(np.float32))
    write_nifti(tmp_path / "seg.nii", (1, 1, 1), label_map(3, np.uint16))
    image = tmp_path / "img.ome.zarr"
    assert run(capsys, "pyramid", tmp_path / "img.nii", image, "--ngff", ngff)[0] == 0
    assert run(capsys, "pyramid", tmp_path / "seg.nii", image, "--label", "cells", "--levels", 2)[0] == 0
    status, _, err = run(
        capsys, "apply", tmp_path / "seg.nii", image, "--levels", 2, "--label", "nuclei", "--interpolation", "nearest"
    )
    assert status == 0, err
    models = MODELS[ngff]
    listed = models.labels.Labels.from_zarr(zarr.open_group(str(image / "labels"), mode="r"))
    assert list(listed.attributes.labels if ngff == "0.4" else listed.attributes.ome.labels) == ["cells", "nuclei"]
    for name in ("cells", "nuclei"):
        label = models.image_label.ImageLabel.from_zarr(zarr.open_group(str(image / "labels" / name), mode="r"))
        attributes = label.attributes if ngff == "0.4" else label.attributes.ome
        assert attributes.image_label.source.image == "../../"
        assert set(np.unique(zarr.open_group(str(image / "labels" / name), mode="r")["1"][...])) <= set(
            np.unique(label_map(3, np.uint16))
        )


BAD_LABELS = {
    "a float map": (("--label", "f"), "img.nii", "holds integers"),
    "no image to add it to": (("--label", "s"), "seg.nii", "no OME-Zarr image there"),
    "another NGFF version": (("--label", "s", "--ngff", "0.5"), "seg.nii", "0.4 too"),
    "linear levels": (("--label", "s", "--interpolation", "linear"), "seg.nii", "copy labels"),
    "a path for a name": (("--label", "a/b"), "seg.nii", "one folder name"),
}


@pytest.mark.parametrize("case", BAD_LABELS)
def test_a_label_that_cannot_be_written_is_one_line_and_leaves_the_image_as_it_was(tmp_path, capsys, case):
    options, source, fragment = BAD_LABELS[case]
    write_nifti(tmp_path / "img.nii", (1, 1, 1), np.random.default_rng(2).random((6, 5, 4)).astype(np.float32))
    write_nifti(tmp_path / "seg.nii", (1, 1, 1), label_map(3, np.uint8, (6, 5, 4)))
    image = tmp_path / "img.ome.zarr"
    if case != "no image to add it to":
        assert run(capsys, "pyramid", tmp_path / "img.nii", image)[0] == 0
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    status, _, err = run(capsys, "pyramid", tmp_path / source, image, *options)
    assert_one_line_error(status, err, fragment, 2 if case == "linear levels" else 1)
    assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*")) == before


def test_pyramid_of_label_maps_keeps_the_type_on_numpy_and_dask_alike():
    da = pytest.importorskip("dask.array")
    labels = label_map(4, np.int16)
    eager = voxwarpkit.pyramid_of(labels, (1.0, 1.0, 2.0), interpolation="label", chunks=(4, 4, 4))
    lazy = voxwarpkit.pyramid_of(
        da.from_array(labels, chunks=5), (1.0, 1.0, 2.0), interpolation="label", chunks=(4, 4, 4)
    )
    assert len(eager) == len(lazy) > 2
    for (_, values), (_, chunked) in zip(eager, lazy):
        assert values.dtype == np.int16
        assert_same_bits(chunked.compute(), values)
    with pytest.raises(ValueError, match="interpolation"):
        voxwarpkit.pyramid_of(labels, (1.0, 1.0, 1.0), interpolation="cubic")


def shard_files(array):
    """The objects a format 3 array holds its data in: one per shard (or chunk, unsharded)."""
    return sorted(p for p in array.rglob("*") if p.is_file() and p.name != "zarr.json")


@pytest.mark.skipif(int(zarr.__version__.split(".")[0]) < 3, reason="shards need zarr 3")
@pytest.mark.parametrize("command", ["pyramid", "apply", "apply --levels"])
def test_sharded_outputs_hold_the_unsharded_bits_one_object_per_shard(tmp_path, capsys, command):
    data = np.random.default_rng(5).random((40, 36, 21)).astype(np.float32)
    write_nifti(tmp_path / "in.nii", (1, 1, 1), data)
    (tmp_path / "identity.txt").write_text("1 0 0 0\n0 1 0 0\n0 0 1 0\n")
    argv = {
        "pyramid": ("pyramid", tmp_path / "in.nii"),
        "apply": ("apply", tmp_path / "in.nii", "-m", tmp_path / "identity.txt"),
        "apply --levels": ("apply", tmp_path / "in.nii", "-m", tmp_path / "identity.txt", "--levels", 2),
    }[command]
    suffix = ".zarr" if command == "apply" else ".ome.zarr"
    plain, sharded = tmp_path / f"plain{suffix}", tmp_path / f"sharded{suffix}"
    options = ("--chunks", 4, 6, 8) + (("--ngff", "0.5") if command != "apply" else ())
    assert run(capsys, *argv, plain, *options)[0] == 0
    status, _, err = run(capsys, *argv, sharded, "--chunks", 4, 6, 8, "--shards", 8, 12, 32)
    assert status == 0, err
    if command == "apply":
        pairs = [(zarr.open_array(str(plain), mode="r"), zarr.open_array(str(sharded), mode="r"), sharded)]
    else:
        one, two = (zarr.open_group(str(path), mode="r") for path in (plain, sharded))
        MODELS["0.5"].Image.from_zarr(two)
        pairs = [(one[key], two[key], sharded / key) for key in sorted(one.array_keys())]
    for unsharded, array, folder in pairs:
        assert array.shards is not None and array.chunks == unsharded.chunks
        assert_same_bits(array[...], unsharded[...])
        grid = [-(-n // s) for n, s in zip(array.shape, array.shards)]
        assert len(shard_files(folder)) == int(np.prod(grid))


def test_shards_that_are_not_multiples_of_the_chunks_are_refused(tmp_path, capsys):
    write_nifti(tmp_path / "in.nii", (1, 1, 1), np.zeros((6, 5, 4), np.float32))
    status, _, err = run(
        capsys, "pyramid", tmp_path / "in.nii", tmp_path / "o.ome.zarr", "--chunks", 4, 4, 4, "--shards", 6, 8, 8
    )
    assert_one_line_error(status, err, "whole multiples")
    assert not (tmp_path / "o.ome.zarr").exists()
