"""BigStitcher dataset.xml tile sets written with ElementTree, h5py and zarr, read back as fusion's inputs."""

import numpy as np
import pytest
from support.bigstitcher import SHAPE, SIZES, random_affines, write_hdf5, write_xml

from voxwarpkit._lazy.windows import Windows
from voxwarpkit.io.bigstitcher import read_bigstitcher
from voxwarpkit.io.errors import FileError

h5py = pytest.importorskip("h5py")
zarr = pytest.importorskip("zarr")


def values(image):
    """All of a view's image, read as fusion's tasks read it: a Windows' array, or a zarr.Array."""
    return np.asarray((image.array if isinstance(image, Windows) else image)[(slice(None),) * 3])


@pytest.mark.parametrize("count", [2, 3])
def test_matrices_map_world_to_each_tiles_physical_corners(tmp_path, count):
    rng = np.random.default_rng(count)
    transforms = {(0, setup): random_affines(rng, count) for setup in SIZES}
    images = {view: rng.integers(0, 65535, SHAPE, dtype=np.uint16) for view in transforms}
    write_hdf5(tmp_path / "dataset.h5", {view: image.view(np.int16) for view, image in images.items()})
    write_xml(tmp_path / "dataset.xml", ("bdv.hdf5", {"hdf5": "dataset.h5"}), transforms)
    views = read_bigstitcher(tmp_path / "dataset.xml")
    assert [v.setup for v in views] == list(SIZES)
    nz, ny, nx = SHAPE
    corners = np.array([[x, y, z, 1.0] for x in (0, nx - 1) for y in (0, ny - 1) for z in (0, nz - 1)])
    for view in views:
        # BigDataViewer applies the first listed transform last.
        pixel_to_world = np.linalg.multi_dot([np.vstack([a, [0, 0, 0, 1]]) for a in transforms[(0, view.setup)]])
        world = corners @ pixel_to_world.T
        physical = corners[:, :3] * SIZES[view.setup]
        np.testing.assert_allclose((world @ view.matrix.T)[:, :3], physical, atol=1e-9)
        assert view.voxel_size == SIZES[view.setup] and view.shape == SHAPE
        np.testing.assert_array_equal(values(view.image), images[(0, view.setup)])


def stored_in(group, name, data):
    """``data`` as the array ``name`` of ``group``, in zarr 3 and in zarr 2 (Python 3.8 to 3.10)."""
    return group.create_array(name, data=data) if hasattr(group, "create_array") else group.array(name, data)


def test_zarr_groups_are_read_by_zgroup_or_layout_with_selection_and_missing_views(tmp_path):
    rng = np.random.default_rng(5)
    images = {(t, s): rng.random(SHAPE).astype(np.float32) for t in (0, 1) for s in SIZES}
    root = zarr.open_group(tmp_path / "tiles.zarr", mode="w")
    for (t, s), image in images.items():
        if s == 0:  # an OME-Zarr image of axes t c z y x, named by a zgroup
            group = root.create_group(f"tile{s}-t{t}.ome.zarr")
            group.attrs["multiscales"] = [{"datasets": [{"path": "0"}]}]
            stored_in(group, "0", image[None, None])
        else:  # BigDataViewer's own layout
            stored_in(root.create_group(f"setup{s}/timepoint{t}"), "s0", image)
    transforms = {view: random_affines(rng, 2) for view in images}
    write_xml(
        tmp_path / "d.xml",
        ("bdv.multimg.zarr", {"zarr": "tiles.zarr"}),
        transforms,
        missing=[(1, 2)],
        channels={1: 1, 2: 1},
        timepoints=(0, 1),
        zgroups={(t, 0): f"tile0-t{t}.ome.zarr" for t in (0, 1)},
    )
    views = read_bigstitcher(tmp_path / "d.xml", timepoint=1, attributes={"channel": 1})
    assert [(v.timepoint, v.setup) for v in views] == [(1, 1)]  # setup 2 is missing at timepoint 1
    for view in read_bigstitcher(tmp_path / "d.xml"):
        np.testing.assert_array_equal(values(view.image), images[(0, view.setup)])


# A fault put in a good HDF5 tile set (a file removed, or text of the XML replaced), and words its message holds.
FAULTS = {
    "no such xml": ("dataset.xml", None, "no such file"),
    "missing element": ("ViewRegistrations>", "Other>", "<ViewRegistrations>"),
    "loader format": ('format="bdv.hdf5"', 'format="bdv.n5"', "bdv.n5"),
    "missing image": ("dataset.h5", None, "does not exist"),
    "shapes disagree": ("<size>5 6 4</size>", "<size>5 6 7</size>", "but its image"),
    "non-affine": ('type="affine"', 'type="thinplate"', "thinplate"),
    "short affine": ("<affine>1.0 ", "<affine>", "12 numbers"),
}


@pytest.mark.parametrize("old, new, words", FAULTS.values(), ids=FAULTS.keys())
def test_each_bad_tile_set_is_one_file_error_naming_the_xml(tmp_path, old, new, words):
    write_hdf5(tmp_path / "dataset.h5", {(0, s): np.zeros(SHAPE, np.uint8) for s in SIZES})
    xml = tmp_path / "dataset.xml"
    write_xml(xml, ("bdv.hdf5", {"hdf5": "dataset.h5"}), {(0, s): [np.eye(4)[:3]] for s in SIZES})
    if new is None:
        (tmp_path / old).unlink()
    else:
        xml.write_text(xml.read_text().replace(old, new))
    with pytest.raises(FileError) as raised:
        read_bigstitcher(xml)
    message = str(raised.value)
    assert str(xml) in message and words in message and "\n" not in message
