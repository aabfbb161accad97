"""resample of dask arrays: the in-memory call's bits for any chunking and scheduler; Zarr files."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import random_case
from support.geometry import rotation
from support.reference import resample_general_reference
from support.values import values

import voxwarpkit
from voxwarpkit._backends import cpu as _blocks
from voxwarpkit._backends import request as _request
from voxwarpkit.cli.errors import CommandError

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

from voxwarpkit._core.grid import Grid  # noqa: E402
from voxwarpkit.cli.dask_backend import apply_zarr, nifti_to_zarr, zarr_to_nifti  # noqa: E402  (needs zarr)
from voxwarpkit.cli.options import Running, Storage  # noqa: E402


def random_chunks(rng, shape):
    """Chunks of random sizes per axis: 1-voxel, uneven and larger than the axis all occur."""
    chunks = []
    for n in shape:
        kind = rng.integers(4)
        if kind == 0 or n == 0:
            chunks.append(n + 3 if n else 1)
        elif kind == 1:
            chunks.append(1)
        else:
            cuts = np.unique(rng.integers(1, n, rng.integers(0, 4))) if n > 1 else []
            chunks.append(tuple(np.diff(np.concatenate([[0], cuts, [n]])).tolist()))
    return tuple(chunks)


def deskew_case(rng, order):
    """A light-sheet stack sheared along x by z, as deskewing does, two volumes with their own matrix."""
    image = values(rng, "f" if order else "H", (2, 9, 12, 17))
    matrices = [np.array([[1, 0, shear, -3], [0, 1, 0, 0.5], [0, 0, 1, 0]]) for shear in (0.7, -1.3)]
    kwargs = dict(shape=(10, 12, 26), output_voxel_size=(0.9, 1.0, 1.1), order=order, fill=0 if order == 0 else 7.0)
    return image, (1.0, 1.0, 2.0), np.stack(matrices), kwargs


@pytest.mark.parametrize("seed", range(40))
def test_any_chunking_gives_the_in_memory_bits(seed):
    rng = np.random.default_rng(seed)
    image, voxel_size, matrix, kwargs = random_case(rng) if seed % 4 else deskew_case(rng, seed % 8 // 4)
    want = voxwarpkit.resample(image, voxel_size, matrix, **kwargs)
    chunked = da.from_array(image, chunks=random_chunks(rng, image.shape))
    output_chunks = None if seed % 5 == 0 else random_chunks(rng, want.shape)
    got = voxwarpkit.resample(
        chunked, voxel_size, matrix, chunks=output_chunks, threads=int(rng.integers(1, 3)), **kwargs
    )
    assert isinstance(got, da.Array)
    assert_same_bits(got.compute(scheduler="threads"), want)


@pytest.mark.parametrize("order", [1, 3])
@pytest.mark.parametrize("chunks", [None, 1, (1, 1, 3)])
@pytest.mark.parametrize("shape", [(1, 1, 0), (0, 4, 5)])
def test_an_empty_input_axis_gives_the_in_memory_fill(shape, chunks, order):
    grid = dict(shape=(1, 1, 2), fill=5.0, order=order)
    want = voxwarpkit.resample(np.zeros(shape, np.float32), np.ones(3), np.eye(3, 4), **grid)
    image = da.zeros(shape, chunks=1, dtype=np.float32)
    got = voxwarpkit.resample(image, np.ones(3), np.eye(3, 4), chunks=chunks, **grid)
    assert_same_bits(got.compute(scheduler="sync"), want)


@pytest.mark.parametrize("order", [0, 1])
def test_chunks_that_end_inside_the_bands_give_the_in_memory_bits(order):
    """Input chunks of one voxel at each face, so a band's blend or extrapolation reads two chunks."""
    rng = np.random.default_rng(order)
    image = values(rng, "f" if order else "i", (8, 9, 10))
    # Shrunk about the centre so that the outer positions fall in the bands beyond each face.
    matrix = np.hstack([rotation(rng, 5) * 1.15, -0.6 * np.ones((3, 1))])
    want = voxwarpkit.resample(image, np.ones(3), matrix, order=order, fill=-1)
    chunked = da.from_array(image, chunks=tuple((1, n - 2, 1) for n in image.shape))
    got = voxwarpkit.resample(chunked, np.ones(3), matrix, order=order, fill=-1, chunks=(1, 3, 5))
    assert_same_bits(got.compute(scheduler="threads"), want)


@pytest.fixture(scope="module")
def cluster():
    # Any free ports: None would still start the dashboard on its default 8787, and with warnings
    # as errors, distributed's warning that the port is taken would fail the tests.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, scheduler_port=0, dashboard_address=":0"
    ) as local:
        with distributed.Client(local, set_as_default=False) as client:  # the later tests run on threads
            yield local, client


@pytest.mark.parametrize("seed", range(4))
def test_a_cluster_of_worker_processes_gives_the_in_memory_bits(cluster, seed):
    rng = np.random.default_rng(1000 + seed)
    image, voxel_size, matrix, kwargs = random_case(rng) if seed % 2 else deskew_case(rng, seed // 2)
    want = voxwarpkit.resample(image, voxel_size, matrix, **kwargs)
    chunked = da.from_array(image, chunks=random_chunks(rng, image.shape))
    got = voxwarpkit.resample(chunked, voxel_size, matrix, chunks=random_chunks(rng, want.shape), **kwargs)
    assert_same_bits(cluster[1].compute(got).result(), want)


def test_a_cluster_reads_a_tiff_stack_in_its_own_processes(cluster, tmp_path):
    """The lazy TIFF's graph holds the file's path, which worker processes open for themselves."""
    tifffile = pytest.importorskip("tifffile")
    from voxwarpkit.io.tiff import read_tiff

    stack = np.random.default_rng(7).integers(0, 60000, (9, 70, 50), dtype=np.uint16)
    tifffile.imwrite(tmp_path / "stack.tif", stack, tile=(32, 32))
    image = read_tiff(tmp_path / "stack.tif", (1.0, 1.0, 2.0))
    assert_same_bits(cluster[1].compute(image.data.rechunk((4, 32, 16))).result(), stack)


def index_values(location):
    """A cheap, deterministic function of the global index over ((z0, z1), (y0, y1), (x0, x1))."""
    z, y, x = np.ogrid[tuple(slice(a, b) for a, b in location)]
    return ((z * 7919 + y * 104729 + x * 15485863) % 65521).astype(np.float32)


COMPUTED = []


def lazy_values(block, block_info=None):
    COMPUTED.append(tuple(block_info[None]["chunk-location"]))
    return index_values(block_info[None]["array-location"])


def test_a_volume_past_2_31_voxels_reads_only_the_chunks_its_blocks_need():
    COMPUTED.clear()
    grid, chunk = (1300, 1400, 1300), 50
    image = da.map_blocks(lazy_values, da.empty(grid, chunks=chunk, dtype=np.float32), dtype=np.float32)
    assert image.size > 2**31
    voxel_size, output_voxel_size, shape = (0.5, 0.6, 1.0), (2.0, 2.0, 2.0), (30, 40, 50)
    matrix = np.hstack([rotation(np.random.default_rng(5), 30), [[320.0], [410.0], [650.0]]])
    got = voxwarpkit.resample(
        image, voxel_size, matrix, shape=shape, output_voxel_size=output_voxel_size, chunks=(16, 16, 16)
    )
    result = got.compute(scheduler="threads")
    request = _request.checked_request(
        grid,
        np.dtype(np.float32),
        voxel_size,
        matrix,
        shape=shape,
        output_voxel_size=output_voxel_size,
        order=1,
        fill=0.0,
        threads=1,
    )
    box = _blocks.source_box(grid, request, (0, 0, 0), shape)
    want = resample_general_reference(
        index_values(box),
        voxel_size,
        request.matrices[0],
        shape=shape,
        output_voxel_size=output_voxel_size,
        source_origin=[b[0] for b in box],
        source_grid=grid,
    )
    assert_same_bits(result, want)
    spanned = {
        (z, y, x)
        for z in range(box[0][0] // chunk, (box[0][1] - 1) // chunk + 1)
        for y in range(box[1][0] // chunk, (box[1][1] - 1) // chunk + 1)
        for x in range(box[2][0] // chunk, (box[2][1] - 1) // chunk + 1)
    }
    assert len(COMPUTED) == len(set(COMPUTED)) and set(COMPUTED) <= spanned
    assert 0 < len(COMPUTED) < len(spanned)  # the rotated blocks skip some chunks of their box


def test_an_output_past_2_31_voxels_is_made_block_by_block():
    rng = np.random.default_rng(7)
    image = values(rng, "f", (20, 30, 40))
    matrix = np.hstack([rotation(rng, 20) * 1e-4, [[19.0], [14.0], [9.0]]])
    shape = (2**11, 2**11, 2**10 + 3)
    got = voxwarpkit.resample(
        da.from_array(image, chunks=16), np.ones(3), matrix, shape=shape, chunks=(2**8, 2**8, 2**8)
    )
    assert got.size > 2**32
    corner = got[-3:, -4:, -3:].compute(scheduler="threads")  # within one block of (256, 256, 3)
    want = resample_general_reference(
        image,
        np.ones(3),
        np.float32(matrix).ravel(),
        shape=(3, 4, 3),
        out_origin=(shape[0] - 3, shape[1] - 4, shape[2] - 3),
    )
    assert_same_bits(corner, want)


@pytest.mark.parametrize(
    "chunks, message",
    [
        (-1, "output blocks of 4294967296 elements are too large"),
        ((2, 64, 2**16), "2**31 elements or more: use smaller output chunks"),
    ],
)
def test_blocks_and_windows_of_2_31_elements_are_refused(chunks, message):
    image = da.zeros((2**16, 2**16, 2**16), chunks=2**10, dtype=np.uint8)
    scale_up = np.hstack([np.diag([1.0, 1.0, 2**15]), np.zeros((3, 1))])  # each output slice reads 2**15 input slices
    with pytest.raises(ValueError, match=message.replace("*", r"\*")):
        voxwarpkit.resample(image, np.ones(3), scale_up, shape=(2, 2**15, 2**16), order=0, chunks=chunks)


def test_default_blocks_shrink_until_their_windows_fit():
    image = da.zeros((2**12,) * 3, dtype=np.uint8)
    every_16th = np.hstack([16 * np.eye(3), np.zeros((3, 1))])  # one 64 MiB block would read 2**36 voxels
    got = voxwarpkit.resample(image, np.ones(3), every_16th, shape=(256, 256, 256), order=0)
    assert 1 < got.npartitions and np.prod(got.chunksize) * 16**3 < 2**31


def test_numpy_callers_never_import_dask():
    code = (
        "import sys, numpy, voxwarpkit; voxwarpkit.resample(numpy.ones((2, 2, 2)), [1, 1, 1], numpy.eye(4));"
        "sys.exit(any(name.split('.')[0] in ('dask', 'zarr') for name in sys.modules))"
    )
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


ZARR_FORMATS = [2, 3] if int(zarr.__version__.split(".")[0]) >= 3 else [2]


def write_ome(path, data, scale, zarr_format):
    formats = {"zarr_format": zarr_format} if zarr_format == 3 else {}
    group = zarr.open_group(str(path), mode="w", **formats)
    zarr.open_array(str(path / "0"), mode="w", shape=data.shape, chunks=(5, 6, 7), dtype=data.dtype, **formats)[...] = (
        data
    )
    multiscale = {
        "axes": [{"name": n, "type": "space"} for n in "zyx"],
        "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": scale}]}],
    }
    if zarr_format == 3:
        group.attrs["ome"] = {"version": "0.5", "multiscales": [multiscale]}
    else:
        group.attrs["multiscales"] = [dict(multiscale, version="0.4")]


@pytest.mark.parametrize("zarr_format", ZARR_FORMATS)
def test_apply_zarr_reads_the_ome_scale_and_replaces_the_target_only_when_whole(tmp_path, zarr_format):
    rng = np.random.default_rng(zarr_format)
    data = values(rng, "f", (12, 15, 18))
    source, target = tmp_path / "in.ome.zarr", tmp_path / "out.zarr"
    write_ome(source, data, [2.0, 0.5, 0.25], zarr_format)
    matrix = np.hstack([rotation(rng, 25), [[0.5], [1.0], [2.0]]])
    grid = Grid((14, 12, 10), np.diag([0.3, 0.6, 2.5, 1.0]), (0.3, 0.6, 2.5))
    apply_zarr(source, target, matrix, grid=grid, storage=Storage(chunks=(5, 8, 8)), out=io.StringIO())
    written = zarr.open(str(target), mode="r")
    want = voxwarpkit.resample(data, (0.25, 0.5, 2.0), matrix, shape=(10, 12, 14), output_voxel_size=(0.3, 0.6, 2.5))
    assert_same_bits(written["0"][...], want)
    assert written["0"].attrs["voxel_size"] == [0.3, 0.6, 2.5]
    ome = dict(written.attrs)["ome"] if zarr_format == 3 else dict(written.attrs)
    assert ome["multiscales"][0]["datasets"][0]["coordinateTransformations"][0]["scale"] == [2.5, 0.6, 0.3]

    with pytest.raises(CommandError, match="exists already"):
        apply_zarr(source, target, np.eye(3, 4), out=io.StringIO())
    # Corrupt input chunks fail the run mid-way: the old target stays, no partial store is left.
    for path in (source / "0").rglob("*"):
        if path.is_file() and not path.name.startswith((".z", "zarr")):
            path.write_bytes(b"not a chunk")
    with pytest.raises(CommandError, match=f"output {target}: not written"):
        apply_zarr(source, target, np.eye(3, 4), running=Running(force=True), out=io.StringIO())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.ome.zarr", "out.zarr"]
    assert_same_bits(zarr.open(str(target), mode="r")["0"][...], want)


def test_nifti_goes_to_zarr_with_axes_reversed_and_back(tmp_path):
    nib = pytest.importorskip("nibabel")
    rng = np.random.default_rng(3)
    data = values(rng, "h", (9, 10, 11, 2))  # (i, j, k, t)
    affine = np.array([[0, 0, 1.5, 4], [0, 2.0, 0, -3], [0.5, 0, 0, 1], [0, 0, 0, 1]])
    nib.save(nib.Nifti1Image(data, affine), tmp_path / "a.nii.gz")
    nifti_to_zarr(tmp_path / "a.nii.gz", tmp_path / "a.zarr", chunks=(1, 4, 5, 6), running=Running(progress=False))
    stored = zarr.open(str(tmp_path / "a.zarr"), mode="r")
    assert_same_bits(stored[...], data.T)
    assert stored.attrs["voxel_size"] == [0.5, 2.0, 1.5]  # the zooms of i, j, k: x, y, z
    zarr_to_nifti(tmp_path / "a.zarr", tmp_path / "b.nii")
    back = nib.load(tmp_path / "b.nii")
    assert_same_bits(np.asarray(back.dataobj), data)
    np.testing.assert_array_equal(back.affine, affine)


@pytest.mark.parametrize("allowed_failures", [0, 3])
def test_a_worker_killed_mid_run_gives_the_whole_result_or_one_clear_error(cluster, tmp_path, allowed_failures):
    local, client = cluster
    rng = np.random.default_rng(11)
    data = values(rng, "f", (24, 24, 24))
    source, target, marker = tmp_path / "in.zarr", tmp_path / "out.zarr", str(tmp_path / "killed")
    stored = zarr.open_array(str(source), mode="w", shape=data.shape, chunks=(8, 8, 8), dtype="f4")
    stored[...] = data
    stored.attrs["voxel_size"] = [1.0, 1.0, 1.0]
    matrix = np.hstack([rotation(rng, 30), [[1.0], [-1.0], [0.5]]])

    class KillAfterTwoBlocks(distributed.WorkerPlugin):
        """Ends the first worker process that finishes two blocks, once."""

        done = 0

        def transition(self, key, start, finish, **kwargs):
            if finish == "memory" and "voxwarpkit-" in str(key):
                self.done += 1
                if self.done == 2:
                    try:
                        os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
                    except FileExistsError:
                        return
                    os._exit(1)

    before = local.scheduler.allowed_failures
    local.scheduler.allowed_failures = allowed_failures
    (getattr(client, "register_plugin", None) or client.register_worker_plugin)(KillAfterTwoBlocks(), name="kill")
    try:
        running = Running(scheduler=local.scheduler_address)
        apply_zarr(source, target, matrix, storage=Storage(chunks=4), running=running, out=io.StringIO())
    except CommandError as error:
        assert allowed_failures == 0 and "\n" not in str(error) and "KilledWorker" in str(error)
        assert not target.exists()
    else:
        assert_same_bits(zarr.open(str(target), mode="r")[...], voxwarpkit.resample(data, np.ones(3), matrix))
    finally:
        client.unregister_worker_plugin("kill")
        local.scheduler.allowed_failures = before
    assert os.path.exists(marker)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["in.zarr", "killed"] + (["out.zarr"] if target.exists() else [])
    )
    client.wait_for_workers(2)


@pytest.mark.parametrize("grid", [[], ["--voxel-size", "1.0", "1.5", "1.0"], ["--like", "ref.nii.gz"]], ids=str)
def test_the_command_line_gives_the_nifti_bits_through_zarr_and_back(tmp_path, monkeypatch, grid):
    nib = pytest.importorskip("nibabel")
    from voxwarpkit import cli

    monkeypatch.chdir(tmp_path)
    affine = np.array([[1.5, 0, 0.2, -10], [0, 1.2, 0, 5], [0, 0.1, 2.0, 3], [0, 0, 0, 1]])
    nib.save(nib.Nifti1Image(values(np.random.default_rng(8), "h", (21, 17, 12, 2)), affine), "in.nii.gz")
    nib.save(nib.Nifti1Image(np.zeros((15, 19, 11), np.float32), affine @ np.diag([1.2, 0.9, 1.1, 1])), "ref.nii.gz")
    np.savetxt("m.txt", [[0.99, -0.05, 0, 0.7], [0.05, 0.99, 0, -0.3], [0, 0, 1, 0.2]])
    common = ["--matrix", "m.txt", "--interpolation", "nearest", "--fill", "-7", *grid]
    assert cli.main(["apply", "in.nii.gz", "direct.nii.gz", *common]) == 0
    assert cli.main(["apply", "in.nii.gz", "out.zarr", "--chunks", "4", "5", "6", *common]) == 0
    assert cli.main(["apply", "out.zarr", "back.nii.gz"]) == 0
    direct, back = nib.load("direct.nii.gz"), nib.load("back.nii.gz")
    assert_same_bits(np.asarray(back.dataobj), np.asarray(direct.dataobj))
    np.testing.assert_allclose(back.affine, direct.affine, atol=1e-6)
    assert cli.main(["apply", "in.nii.gz", "plain.nii.gz", "--chunks", "4", "4", "4", *common]) == 2  # a usage mistake
    assert not os.path.exists("plain.nii.gz")
