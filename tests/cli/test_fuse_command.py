"""voxwarpkit fuse: a manifest's tiles fused into an OME-Zarr image, level 0 with the bits of fuse in memory."""

import json

import numpy as np
import pytest
from support.bigstitcher import SIZES, random_affines, write_hdf5, write_xml
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run
from support.geometry import rotation

import voxwarpkit

zarr = pytest.importorskip("zarr")
pytest.importorskip("ome_zarr_models")

from ome_zarr_models import v04  # noqa: E402  (needs ome-zarr-models)


def write_tiles(folder, rng, count=3):
    """Tiles in Zarr stores, overlapping along x, with their tile -> world matrices; the manifest."""
    tiles, to_world, entries = [], [], []
    for number in range(count):
        tile = rng.integers(0, 3000, (6, 9, 12)).astype(np.uint16)
        matrix = np.eye(4)
        matrix[:3, :3] = rotation(rng, 3)
        matrix[:3, 3] = [number * 9.0, 0.5, -0.5]
        name = f"tile{number}.zarr"
        stored = zarr.create_array(folder / name, shape=tile.shape, chunks=(3, 4, 5), dtype=tile.dtype)
        stored[...] = tile
        stored.attrs["voxel_size"] = [1.0, 1.0, 1.0]
        tiles.append(tile)
        to_world.append(matrix)
        entries.append({"path": name, "to_world": matrix.tolist()})
    manifest = folder / "tiles.json"
    manifest.write_text(json.dumps({"tiles": entries}))
    return manifest, tiles, to_world


@pytest.mark.parametrize("output_type", ["uint16", None])
def test_level_0_is_fuse_in_memory_and_the_image_is_valid_ome_zarr(tmp_path, capsys, output_type):
    rng = np.random.default_rng(11)
    manifest, tiles, to_world = write_tiles(tmp_path, rng)
    out = tmp_path / "fused.ome.zarr"
    extra = [] if output_type is None else ["--output-type", output_type]
    status, printed, err = run(capsys, "fuse", manifest, out, "--levels", 2, "--chunks", 4, 8, 8, *extra)
    assert status == 0, err
    assert "fused 3 tiles" in printed
    from_world = [np.linalg.inv(m) for m in to_world]
    shape, origin = voxwarpkit.covering_grid((1, 1, 1), from_world, [t.shape for t in tiles], (1, 1, 1))
    want = voxwarpkit.fuse(tiles, (1, 1, 1), from_world, shape=shape, output_voxel_size=(1, 1, 1), origin=origin)
    want = (
        want
        if output_type is None
        else voxwarpkit.fuse(
            tiles, (1, 1, 1), from_world, shape=shape, output_voxel_size=(1, 1, 1), origin=origin, dtype=output_type
        )
    )
    group = zarr.open_group(out, mode="r")
    assert_same_bits(group["0"][...], want)
    entry = v04.Image.from_zarr(group).ome_attributes.multiscales[0]
    assert len(entry.datasets) == 2
    translation = entry.datasets[0].coordinateTransformations[1].translation
    np.testing.assert_allclose(translation[::-1], origin)


def test_a_bigstitcher_dataset_is_fused_as_its_views_place_them(tmp_path, capsys):
    pytest.importorskip("h5py")
    rng = np.random.default_rng(5)
    views = {(0, setup): rng.integers(0, 60000, (4, 6, 5)).astype(np.uint16) for setup in range(3)}
    write_hdf5(tmp_path / "dataset.h5", {key: image.view(np.int16) for key, image in views.items()})
    transforms = {key: random_affines(rng, 2) for key in views}
    write_xml(tmp_path / "dataset.xml", ("bdv.hdf5", {"hdf5": "dataset.h5"}), transforms)
    out = tmp_path / "fused.ome.zarr"
    status, _, err = run(capsys, "fuse", tmp_path / "dataset.xml", out, "--levels", 1, "--output-type", "same")
    assert status == 0, err
    from_world = []
    for (_, setup), affines in transforms.items():
        pixel_to_world = np.eye(4)
        for affine in reversed(affines):  # the first listed is applied last
            pixel_to_world = np.vstack([affine, [0, 0, 0, 1]]) @ pixel_to_world
        from_world.append(np.diag([*SIZES[setup], 1.0]) @ np.linalg.inv(pixel_to_world))
    tiles = list(views.values())
    spacings = [SIZES[setup] for _, setup in views]
    shape, origin = voxwarpkit.covering_grid(spacings, from_world, [t.shape for t in tiles], SIZES[0])
    want = voxwarpkit.fuse(
        tiles, spacings, from_world, shape=shape, output_voxel_size=SIZES[0], origin=origin, dtype=np.uint16
    )
    assert_same_bits(zarr.open_group(out, mode="r")["0"][...], want)


@pytest.mark.parametrize(
    ("manifest_text", "fragment"),
    [
        ("not json", "not a JSON manifest"),
        ('{"tiles": []}', "at least one tile"),
        ('{"tiles": [{"path": "tile0.zarr"}]}', '"to_world" or "from_world"'),
        ('{"tiles": [{"path": "tile0.zarr", "to_world": [[1, 0], [0, 1]]}]}', "must be a 4x4"),
        ('{"tiles": [{"path": "missing.zarr", "from_world": [[1,0,0,0],[0,1,0,0],[0,0,1,0]]}]}', "missing.zarr"),
        ('{"tiles": [{"path": "tile0.zarr", "to_world": [[0,0,0,0],[0,1,0,0],[0,0,1,0]]}]}', "singular"),
        (
            '{"tiles": [{"path": "tile0.zarr", "from_world": [[1,0,0,0],[0,1,0,0],[0,0,1,0]], "transforms": "w.h5"}]}',
            "transforms must list the paths of transform files",
        ),
        (
            '{"tiles": [{"path": "tile0.zarr", "from_world": [[1,0,0,0],[0,1,0,0],[0,0,1,0]], "transforms": ["w"]}]}',
            "w: no such file",
        ),
    ],
)
def test_a_bad_manifest_is_one_line_and_writes_nothing(tmp_path, capsys, manifest_text, fragment):
    write_tiles(tmp_path, np.random.default_rng(1), count=1)
    manifest = tmp_path / "bad.json"
    manifest.write_text(manifest_text)
    status, _, err = run(capsys, "fuse", manifest, tmp_path / "out.ome.zarr")
    assert_one_line_error(status, err, fragment)
    assert not (tmp_path / "out.ome.zarr").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "tile0.zarr", "tiles.json"]


def test_an_output_that_is_a_tile_is_refused_even_with_force(tmp_path, capsys):
    manifest, tiles, _ = write_tiles(tmp_path, np.random.default_rng(2), count=2)
    status, _, err = run(capsys, "fuse", manifest, tmp_path / "tile1.zarr", "--force")
    assert_one_line_error(status, err, "which this command reads")
    assert_same_bits(zarr.open_array(tmp_path / "tile1.zarr", mode="r")[...], tiles[1])


def write_shift_field(path, shift):
    """An ITK displacement field (NIfTI, (i, j, k, 1, 3), LPS+ vectors) that moves every world point by
    ``shift`` (RAS+), over a grid that holds every tile of these tests."""
    nib = pytest.importorskip("nibabel")
    affine = np.eye(4)
    affine[:3, 3] = -8.0
    vectors = np.broadcast_to(np.array(shift) * [-1.0, -1.0, 1.0], (40, 30, 30, 1, 3)).astype(np.float32)
    nib.save(nib.Nifti1Image(np.ascontiguousarray(vectors), affine), str(path))


def test_a_tile_with_a_shifting_field_fuses_as_the_shift_placed_in_its_matrix(tmp_path, capsys):
    """Every step is exact (whole-voxel shifts, unit spacings), so a field that moves points by a constant
    gives the bits of the same move made part of the tile's matrix."""
    pytest.importorskip("nitransforms", minversion="25")  # older releases read no displacement fields
    rng = np.random.default_rng(9)
    wide = rng.integers(0, 3000, (8, 10, 20)).astype(np.uint16)  # the grid is this tile's box, either way
    small = rng.integers(0, 3000, (4, 5, 6)).astype(np.uint16)
    for name, tile in (("wide.zarr", wide), ("small.zarr", small)):
        stored = zarr.create_array(tmp_path / name, shape=tile.shape, chunks=(3, 4, 5), dtype=tile.dtype)
        stored[...] = tile
        stored.attrs["voxel_size"] = [1.0, 1.0, 1.0]
    write_shift_field(tmp_path / "shift.nii.gz", (2.0, 1.0, 0.0))
    placed = np.eye(4)
    placed[:3, 3] = (4.0, 2.0, 1.0)  # the small tile's voxel 0 at world (4, 2, 1)
    shifted = np.linalg.inv(placed)
    shifted[:3, 3] += (2.0, 1.0, 0.0)  # world point p to the small tile: (p + shift) - (4, 2, 1)
    manifests = {
        "field": {"path": "small.zarr", "to_world": placed.tolist(), "transforms": ["shift.nii.gz"]},
        "matrix": {"path": "small.zarr", "from_world": shifted.tolist()},
    }
    levels = {}
    for kind, entry in manifests.items():
        manifest = tmp_path / f"{kind}.json"
        manifest.write_text(json.dumps({"tiles": [{"path": "wide.zarr", "to_world": np.eye(4).tolist()}, entry]}))
        out = tmp_path / f"{kind}.ome.zarr"
        status, _, err = run(capsys, "fuse", manifest, out, "--levels", 1, "--blend-width", 2, 2, 2)
        assert status == 0, err
        levels[kind] = zarr.open_group(out, mode="r")["0"][...]
    assert_same_bits(levels["field"], levels["matrix"])
    assert not np.array_equal(levels["field"], np.asarray(wide, np.float32))  # the small tile blends in
