"""Outputs at URLs: Zarr and OME-Zarr stores written to S3 in place, chunks first and metadata last,
byte for byte what the same commands write on this machine; a stopped run leaves nothing there."""

import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from support.command_line import assert_one_line_error, run

zarr = pytest.importorskip("zarr")
s3fs = pytest.importorskip("s3fs")
pytest.importorskip("moto")
pytest.importorskip("upath")
if int(zarr.__version__.split(".")[0]) < 3:
    pytest.skip("stores at URLs are written through zarr 3", allow_module_level=True)

import voxwarpkit  # noqa: E402

CASES = {
    "apply": ["apply", "-m", "{files}/rot.txt", "--chunks", 8, 8, 8],
    "apply-cubic-sharded": ["apply", "-m", "{files}/rot.txt", "--interpolation", "cubic", "--chunks", 4, 8, 8]
    + ["--shards", 8, 16, 16],
    "apply-levels-0.4": ["apply", "-m", "{files}/rot.txt", "--levels", 2, "--ngff", "0.4", "--chunks", 8, 8, 8],
    "pyramid-0.4": ["pyramid", "--chunks", 8, 8, 8],
    "pyramid-0.5-sharded": ["pyramid", "--chunks", 4, 8, 8, "--shards", 8, 16, 16],
}


def write_files(folder, shape=(20, 26, 30), chunks=(8, 8, 8)):
    """A uint16 Zarr input and a rotation's matrix file in ``folder``."""
    folder.mkdir()
    image = np.random.default_rng(sum(shape)).integers(0, 3000, shape).astype(np.uint16)
    array = zarr.create_array(str(folder / "in.zarr"), shape=shape, chunks=chunks, dtype="u2")
    array[...] = image
    array.attrs["voxel_size"] = [0.5, 0.75, 1.0]
    rotation = voxwarpkit.rigid(shape, (0.5, 0.75, 1.0), rotation=(10, 0, -25))
    np.savetxt(folder / "rot.txt", np.asarray(rotation).reshape(3, 4))


def files_of(folder):
    """Every file under ``folder`` by its relative name, with its bytes."""
    return {path.relative_to(folder).as_posix(): path.read_bytes() for path in folder.rglob("*") if path.is_file()}


@pytest.mark.parametrize("case", CASES)
def test_a_store_written_to_s3_is_byte_for_byte_the_local_one(tmp_path, capsys, bucket, case):
    files = tmp_path / "files"
    write_files(files)
    command = CASES[case]

    def arguments(base, output):
        options = [str(a).format(files=base) for a in command[1:]]
        return [command[0], f"{base}/in.zarr", output, *options]

    status, _, err = run(capsys, *arguments(files, tmp_path / "local.zarr"))
    assert status == 0, err
    fs = s3fs.S3FileSystem()
    fs.put(str(files) + "/", f"{bucket}/files", recursive=True)
    status, _, err = run(capsys, *arguments(f"s3://{bucket}/files", f"s3://{bucket}/out.zarr"))
    assert status == 0, err
    fs.get(f"{bucket}/out.zarr/", str(tmp_path / "remote.zarr"), recursive=True)
    assert files_of(tmp_path / "remote.zarr") == files_of(tmp_path / "local.zarr")
    again = run(capsys, *arguments(f"s3://{bucket}/files", f"s3://{bucket}/out.zarr"))
    assert_one_line_error(again[0], again[2], "exists already")


def test_a_run_stopped_by_sigterm_leaves_nothing_openable_and_a_rerun_succeeds(tmp_path, bucket, s3_server):
    files = tmp_path / "files"
    write_files(files, shape=(32, 48, 64))
    fs = s3fs.S3FileSystem()
    fs.put(str(files) + "/", f"{bucket}/files", recursive=True)
    output = f"s3://{bucket}/out.zarr"
    command = [sys.executable, "-m", "voxwarpkit", "pyramid", f"s3://{bucket}/files/in.zarr", output]
    command = [str(a) for a in command]
    small_chunks = ["--chunks", "8", "8", "8", "--threads", "1"]
    stopped = subprocess.Popen(command + small_chunks, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not fs.find(f"{bucket}/out.zarr", refresh=True) and time.monotonic() < deadline:
        assert stopped.poll() is None, stopped.communicate()
        time.sleep(0.05)
    written = fs.find(f"{bucket}/out.zarr", refresh=True)
    assert written, "no chunk was written in two minutes"
    assert not [name for name in written if name.endswith(("zarr.json", ".zarray", ".zgroup", ".zattrs"))]
    stopped.send_signal(signal.SIGTERM)
    _, err = stopped.communicate(timeout=120)
    assert stopped.returncode == 128 + signal.SIGTERM, err
    fs.invalidate_cache()  # its listings of the bucket from before the stop
    assert fs.find(f"{bucket}/out.zarr") == []
    with pytest.raises(FileNotFoundError):  # nothing there opens as an image
        zarr.open(output, mode="r")
    finished = subprocess.run(command + ["--chunks", "32", "32", "32"], capture_output=True, text=True)
    assert finished.returncode == 0, finished.stderr
    assert zarr.open_group(output, mode="r")["0"].shape == (32, 48, 64)


def test_a_cluster_reads_and_writes_the_stores_at_urls_in_its_own_processes(tmp_path, capsys, bucket):
    """The workers open the input and the output from their URLs; the result is the local run's."""
    distributed = pytest.importorskip("distributed")
    files = tmp_path / "files"
    write_files(files)
    s3fs.S3FileSystem().put(str(files) + "/", f"{bucket}/files", recursive=True)
    options = ["-m", f"{files}/rot.txt", "--chunks", 8, 8, 8]
    status, _, err = run(capsys, "apply", files / "in.zarr", tmp_path / "local.zarr", *options)
    assert status == 0, err
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, scheduler_port=0, dashboard_address=":0"
    ) as cluster:
        source, output = f"s3://{bucket}/files/in.zarr", f"s3://{bucket}/out.zarr"
        status, _, err = run(capsys, "apply", source, output, *options, "--scheduler", cluster.scheduler_address)
    assert status == 0, err
    s3fs.S3FileSystem().get(f"{bucket}/out.zarr/", str(tmp_path / "remote.zarr"), recursive=True)
    assert files_of(tmp_path / "remote.zarr") == files_of(tmp_path / "local.zarr")
